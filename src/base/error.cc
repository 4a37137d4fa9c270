#include "base/error.h"

#include <cstring>

namespace halden {

Error Error::fromErrno(int errnoValue) {
  char buffer[256];
  // GNU strerror_r returns a pointer that may or may not be `buffer`.
  const char* text = strerror_r(errnoValue, buffer, sizeof buffer);
  return Error(std::string(posixDomain), errnoValue, text);
}

}  // namespace halden
