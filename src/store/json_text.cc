#include "store/json_text.h"

#include <algorithm>

namespace halden {

nlohmann::json parseJsonText(std::span<const unsigned char> text) {
  // JSON text never holds a raw NUL byte, but the parser takes one for the end
  // of its input and would accept whatever follows it.
  if (std::find(text.begin(), text.end(), 0) != text.end()) {
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
  return nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

nlohmann::json parseJsonText(std::string_view text) {
  return parseJsonText(std::span<const unsigned char>(
      reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

}  // namespace halden
