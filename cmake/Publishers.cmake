# Checks of the publisher names and key pins a build is given, at configure
# time.

# solvane_check_publishers(<names> <pins> <what>): fails the configuration on
# a pin that is not 64 hex digits, on pins without names, and on a name with
# a line break.
function(solvane_check_publishers names pins what)
  foreach(name IN LISTS names)
    if(name MATCHES "[\r\n]")
      message(FATAL_ERROR "${what}: a publisher name with a line break: '${name}'")
    endif()
  endforeach()
  foreach(pin IN LISTS pins)
    if(NOT pin MATCHES "^[0-9A-Fa-f]+$")
      message(FATAL_ERROR "${what}: not a SHA-256 in hex: '${pin}'")
    endif()
    string(LENGTH "${pin}" length)
    if(NOT length EQUAL 64)
      message(FATAL_ERROR "${what}: not a SHA-256 in hex: '${pin}'")
    endif()
  endforeach()
  if(NOT pins STREQUAL "" AND names STREQUAL "")
    message(FATAL_ERROR "${what}: publisher pins need publisher names")
  endif()
endfunction()
