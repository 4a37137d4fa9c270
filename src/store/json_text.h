// JSON text from outside the process (meeting-folder files, service answers),
// parsed the one way the system accepts it.
#pragma once

#include <nlohmann/json.hpp>
#include <span>
#include <string_view>

namespace halden {

// Parses `text` as exactly one JSON value. Returns a discarded value
// (is_discarded()) for anything else: malformed text, trailing data, comments,
// invalid UTF-8, a number beyond the range of a double, and any raw NUL byte.
// Never throws. The parser is iterative, so deep nesting cannot exhaust the
// stack.
nlohmann::json parseJsonText(std::span<const unsigned char> text);
nlohmann::json parseJsonText(std::string_view text);

}  // namespace halden
