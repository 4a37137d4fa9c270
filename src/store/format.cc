#include "store/format.h"

#include <cstdio>

namespace halden {

std::string chunkFileName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "chunk-%03zu.wav", index);
  return name;
}

bool isUuidText(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (hyphen ? c != '-' : !hex) return false;
  }
  return true;
}

}  // namespace halden
