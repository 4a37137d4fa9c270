#include "store/format.h"

#include <cstdio>

namespace halden {

std::string chunkFileName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "chunk-%03zu.wav", index);
  return name;
}

}  // namespace halden
