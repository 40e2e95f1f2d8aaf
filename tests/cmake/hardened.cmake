# Run as: cmake -DREADELF=<readelf> -DPROGRAM=<shipped program> -DFORTIFY=<ON|OFF>
#   -P hardened.cmake
# Fails (FATAL_ERROR) when the program lacks what the hardened build gives it:
# PIE, RELRO bound at start-up, the stack protector and (FORTIFY) checked libc
# calls.
execute_process(COMMAND "${READELF}" -W -h -l -d --dyn-syms "${PROGRAM}"
  OUTPUT_VARIABLE elf RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot read ${PROGRAM}: ${errors}")
endif()
set(missing "")
foreach(check "Type: +DYN:position-independent executable" "GNU_RELRO:RELRO segment"
    "FLAGS[^\n]*BIND_NOW|FLAGS_1[^\n]*NOW:binding at start-up (-z now)"
    "__stack_chk_fail:stack protector")
  string(REPLACE ":" ";" parts "${check}")
  list(GET parts 0 pattern)
  list(GET parts 1 name)
  if(NOT elf MATCHES "${pattern}")
    list(APPEND missing "${name}")
  endif()
endforeach()
if(FORTIFY AND NOT elf MATCHES "__[a-z]+_chk@")
  list(APPEND missing "_FORTIFY_SOURCE (no __*_chk call)")
endif()
if(missing)
  string(REPLACE ";" ", " missing "${missing}")
  message(FATAL_ERROR "${PROGRAM} is not hardened: no ${missing}")
endif()
message(STATUS "${PROGRAM} is hardened")
