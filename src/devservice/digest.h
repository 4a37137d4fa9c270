// SHA-256 and random tokens for the stand-in service (OpenSSL).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace halden::devservice {

// 64 lowercase hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

// `length` characters from `alphabet`, drawn from OpenSSL's CSPRNG without
// modulo bias. Aborts if the generator fails: nothing sensible can follow.
std::string randomToken(std::size_t length, std::string_view alphabet);

extern const std::string_view urlSafeAlphabet;  // A-Z a-z 0-9 - _

}  // namespace halden::devservice
