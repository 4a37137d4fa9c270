#include "store/format.h"

#include <glib.h>

#include <cstdio>

namespace halden {

std::string chunkFileName(std::size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "chunk-%03zu.wav", index);
  return name;
}

bool isUuidText(std::string_view text) {
  // GLib stops at a NUL: without the length check, a UUID followed by a NUL
  // and more text would pass.
  return text.size() == 36 && g_uuid_string_is_valid(std::string(text).c_str());
}

}  // namespace halden
