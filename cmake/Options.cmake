option(SOLVANE_BUILD_TESTS "Build the GoogleTest suite" ON)
option(SOLVANE_BUILD_TOOLS "Build solvane-publish" ON)
option(SOLVANE_BUILD_BENCH "Build the benchmarks" OFF)
option(SOLVANE_BUILD_FUZZ "Build the libFuzzer targets (clang only)" OFF)
option(SOLVANE_WITH_GTK "GTK 3 progress window on Linux (OFF: text progress only)" ON)
# The longest random wait of a due unforced check before its first request,
# so that machines started together do not ask the release server together.
# 0 turns it off (the test and demo programs are built so).
set(SOLVANE_CHECK_SPREAD_SECONDS 600 CACHE STRING
  "Longest random wait in seconds before an unforced update check (0: none)")
if(NOT SOLVANE_CHECK_SPREAD_SECONDS MATCHES "^[0-9]+$" OR SOLVANE_CHECK_SPREAD_SECONDS GREATER 86400)
  message(FATAL_ERROR "SOLVANE_CHECK_SPREAD_SECONDS must be a whole number of seconds, 0 to 86400")
endif()
option(SOLVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra)
endif()

if(SOLVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Hardening as Debian builds its packages: a stack protector on both targets
# (MinGW links its libssp statically, so the exe still needs no DLL of ours),
# and on Linux fortified libc calls, a read-only relocation table bound at
# start-up, and a position-independent executable. _FORTIFY_SOURCE needs an
# optimised build and would hide faults from the sanitizers, so the sanitizer
# and fuzz builds leave it out.
option(SOLVANE_HARDEN "Build with stack protector, _FORTIFY_SOURCE, RELRO and PIE" ON)
if(SOLVANE_HARDEN AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-fstack-protector-strong)
  add_link_options(-fstack-protector-strong)
  if(NOT WIN32)
    if(NOT SOLVANE_SANITIZE AND NOT SOLVANE_BUILD_FUZZ)
      add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
    endif()
    add_link_options(LINKER:-z,relro,-z,now)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES C CXX)
  endif()
endif()
