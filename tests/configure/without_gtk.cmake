# Configures the project where pkg-config finds no package at all, as on a
# machine without GTK, and checks the outcome for SOLVANE_WITH_GTK=WITH_GTK:
# ON must stop with a message that names the way out, OFF must configure the
# program with its text-only progress window.
#
#   cmake -DSOURCE=<repo> -DWORK=<scratch folder> -DWITH_GTK=ON|OFF -P without_gtk.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/no-packages")
set(ENV{PKG_CONFIG_LIBDIR} "${WORK}/no-packages")
set(ENV{PKG_CONFIG_PATH} "")
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -DSOLVANE_WITH_GTK=${WITH_GTK}
    -DSOLVANE_BUILD_TESTS=OFF -DSOLVANE_BUILD_TOOLS=OFF
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)

if(WITH_GTK)
  if(result EQUAL 0)
    message(FATAL_ERROR "configured without GTK although SOLVANE_WITH_GTK=ON:\n${output}")
  endif()
  if(NOT output MATCHES "GTK 3 was not found.*-DSOLVANE_WITH_GTK=OFF")
    message(FATAL_ERROR "the configure failed, but not for want of GTK:\n${output}")
  endif()
else()
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "SOLVANE_WITH_GTK=OFF did not configure without GTK:\n${output}")
  endif()
  file(READ "${WORK}/build/compile_commands.json" commands)
  if(NOT commands MATCHES "progress_window_headless\\.cpp" OR commands MATCHES "progress_window_gtk|gtk-3")
    message(FATAL_ERROR "SOLVANE_WITH_GTK=OFF does not build the text-only window")
  endif()
endif()
file(REMOVE_RECURSE "${WORK}")
