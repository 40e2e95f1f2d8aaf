# Cross-building for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model: std::thread and std::mutex, which GoogleTest needs). Programs built
# here run under wine in a prefix of their own, so nothing touches ~/.wine.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# Libraries that Debian does not ship for MinGW (libcurl, GoogleTest, the
# header-only cpp-httplib, and nlohmann-json copied out of /usr so that
# /usr/include never reaches the cross compiler) live in per-version prefixes
# below $SOLVANE_MINGW_CACHE (default /var/cache/solvane-mingw);
# scripts/build-mingw-deps.sh makes them.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
set(CMAKE_AR ${_mingw}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${_mingw}-gcc-ranlib-posix CACHE FILEPATH "")

# One self-contained exe: no libgcc, libstdc++ or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
# Release builds ship without symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

if(DEFINED ENV{SOLVANE_MINGW_CACHE})
  set(_cache "$ENV{SOLVANE_MINGW_CACHE}")
else()
  set(_cache "/var/cache/solvane-mingw")
endif()

# Every completed dependency prefix, newest version first within a name.
set(_roots "/usr/${_mingw}")
file(GLOB _prefixes LIST_DIRECTORIES true "${_cache}/*")
list(SORT _prefixes COMPARE NATURAL ORDER DESCENDING)
foreach(_p IN LISTS _prefixes)
  if(EXISTS "${_p}/.complete")
    list(APPEND _roots "${_p}")
  endif()
endforeach()
set(CMAKE_FIND_ROOT_PATH ${_roots})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run through wine, each build folder with its own prefix.
get_filename_component(_repo "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT DEFINED SOLVANE_WINEPREFIX)
  if(DEFINED ENV{SOLVANE_WINEPREFIX})
    set(SOLVANE_WINEPREFIX "$ENV{SOLVANE_WINEPREFIX}")
  else()
    set(SOLVANE_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  endif()
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR "${_repo}/scripts/wine-run.sh;--prefix;${SOLVANE_WINEPREFIX}")
