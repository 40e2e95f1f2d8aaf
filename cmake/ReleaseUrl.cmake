# solvane_check_release_url(<url> <allow plain http>): stops configuring
# unless <url> is a release base URL the program may be built with: it ends
# in '/', and it is https://, or http:// to a loopback host (the test builds'
# local servers), or http:// anywhere when the vendor opted in explicitly.
function(solvane_check_release_url url allow_plain_http)
  if(NOT url MATCHES "/$")
    message(FATAL_ERROR "release base URL must end in '/': ${url}")
  endif()
  string(TOLOWER "${url}" lower)
  if(lower MATCHES "^https://[^/]")
    return()
  endif()
  if(NOT lower MATCHES "^http://([^/]+)/")
    message(FATAL_ERROR "release base URL must be https:// (or http://): ${url}")
  endif()
  # The authority without user info and port.
  string(REGEX REPLACE "^.*@" "" host "${CMAKE_MATCH_1}")
  if(host MATCHES "^\\[")
    string(REGEX REPLACE "\\]:[0-9]*$" "]" host "${host}")
  else()
    string(REGEX REPLACE ":[0-9]*$" "" host "${host}")
  endif()
  if(host MATCHES "^127\\.[0-9]+\\.[0-9]+\\.[0-9]+$" OR host STREQUAL "localhost"
     OR host STREQUAL "[::1]")
    return()
  endif()
  if(allow_plain_http)
    message(WARNING "release base URL is plain HTTP (SOLVANE_ALLOW_PLAIN_HTTP): ${url}")
    return()
  endif()
  message(FATAL_ERROR
    "release base URL is plain HTTP to a host that is not loopback: ${url}\n"
    "Anyone on the path could serve their own manifest. Use https://, or configure "
    "with -DSOLVANE_ALLOW_PLAIN_HTTP=ON if this is really wanted.")
endfunction()
