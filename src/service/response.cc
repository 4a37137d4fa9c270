#include "service/response.h"

#include <limits>
#include <string>

#include "store/json_text.h"

namespace halden {
namespace {

Error unexpectedResponse() { return failure(std::string(unexpectedResponseMessage)); }
Error unconfirmed() { return failure(std::string(unconfirmedMessage)); }

// The "sequence" member as a signed 64-bit integer: std::nullopt when absent
// or null, an error when it is anything but a JSON integer in range. A number
// written with a fraction part (3.0 included) is not an integer: the service
// sends integers, and only an exact answer may authorise deleting audio.
Result<std::optional<int64_t>> acknowledgedSequence(const JsonObject& object) {
  auto member = object.find("sequence");
  if (member == object.end() || member->is_null()) return std::optional<int64_t>();
  if (member->is_number_integer() && !member->is_number_unsigned()) {
    return std::optional<int64_t>(member->get<int64_t>());
  }
  if (member->is_number_unsigned()) {
    const uint64_t value = member->get<uint64_t>();
    if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return std::optional<int64_t>(static_cast<int64_t>(value));
    }
  }
  return unconfirmed();
}

}  // namespace

Result<JsonObject> decodeObjectResponse(std::span<const unsigned char> body) {
  if (body.size() > responseBodyLimit) return unexpectedResponse();
  JsonObject parsed = parseJsonText(body);
  if (!parsed.is_object()) return unexpectedResponse();
  return parsed;
}

Result<JsonObject> decodeObjectResponse(std::string_view body) {
  return decodeObjectResponse(std::span<const unsigned char>(
      reinterpret_cast<const unsigned char*>(body.data()), body.size()));
}

// The verdicts of a typed decode of {"ok": Boolean, "sequence": Int64?}, taken
// from the parsed values directly. No round trip through JSON text: nothing
// is copied or serialised, so a deeply nested member elsewhere in the answer
// cannot cost a recursion per level, and members other than "ok" and
// "sequence" are never looked at.
Result<void> requireAcknowledgement(const JsonObject& object, std::optional<int64_t> sequence) {
  if (!object.is_object()) return unconfirmed();
  auto ok = object.find("ok");
  if (ok == object.end() || !ok->is_boolean()) return unconfirmed();
  const bool confirmed = ok->get<bool>();
  Result<std::optional<int64_t>> acknowledged = acknowledgedSequence(object);
  if (!acknowledged) return std::move(acknowledged).error();
  if (!confirmed) return unconfirmed();
  if (sequence && *acknowledged != sequence) return unconfirmed();
  return success();
}

}  // namespace halden
