# Refuses, at configure time, a service base URL that is not an absolute URL
# made of a scheme and a host (with an optional port) and nothing else.
function(halden_check_service_url url)
  if(NOT url MATCHES "^(https?)://([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?$")
    message(FATAL_ERROR
      "HALDEN_SERVICE_URL must be an absolute URL of scheme and host, such as "
      "https://app.example.com or http://127.0.0.1:8787, without path or trailing "
      "slash; got '${url}'")
  endif()
endfunction()
