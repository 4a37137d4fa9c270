// Strict decoding of service answers, and acknowledgements.
//
// Audio is deleted only after the service has said, as a JSON Boolean true,
// that it holds the meeting: an HTML page, a truncated body or a truthy number
// never counts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/error.h"

namespace halden {

// A decoded answer: always a JSON object (nlohmann keeps true apart from 1).
using JsonObject = nlohmann::json;

inline constexpr std::size_t responseBodyLimit = 2'000'000;  // bytes

inline constexpr std::string_view unexpectedResponseMessage =
    "Halden returned an unexpected response. The recording remains saved for recovery.";
inline constexpr std::string_view unconfirmedMessage =
    "Halden did not confirm that the recording was saved. Retry it from Saved recordings.";

// Accepts `body` only if it holds at most 2,000,000 bytes and parses as a JSON
// object. Fails with unexpectedResponseMessage otherwise.
Result<JsonObject> decodeObjectResponse(std::span<const unsigned char> body);
Result<JsonObject> decodeObjectResponse(std::string_view body);

// Accepts `object` only if "ok" is the Boolean true, "sequence" (when present
// and not null) is an integer in the signed 64-bit range, and, when `sequence`
// is given, "sequence" equals it. Fails with unconfirmedMessage otherwise.
Result<void> requireAcknowledgement(const JsonObject& object, std::optional<int64_t> sequence);

}  // namespace halden
