# Refuses, at configure time, a service base URL that is not an absolute URL
# made of a scheme and a host (with an optional port) and nothing else. The
# application takes the value as parsed without a second check, so nothing
# the URL parser would refuse may pass: a port is 1 to 65535 without leading
# zeros.
function(halden_check_service_url url)
  set(valid FALSE)
  if(url MATCHES "^https?://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:([1-9][0-9]?[0-9]?[0-9]?[0-9]?))?$")
    if(NOT CMAKE_MATCH_3 OR CMAKE_MATCH_3 LESS_EQUAL 65535)
      set(valid TRUE)
    endif()
  endif()
  if(NOT valid)
    message(FATAL_ERROR
      "HALDEN_SERVICE_URL must be an absolute URL of scheme and host, such as "
      "https://app.example.com or http://127.0.0.1:8787, without path or trailing "
      "slash; got '${url}'")
  endif()
endfunction()
