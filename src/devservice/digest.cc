#include "devservice/digest.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>

namespace halden::devservice {

const std::string_view urlSafeAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    std::abort();
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(hex[digest[i] >> 4]);
    text.push_back(hex[digest[i] & 0x0f]);
  }
  return text;
}

std::string randomToken(std::size_t length, std::string_view alphabet) {
  // Rejection sampling: bytes at or above the largest multiple of the
  // alphabet size would favour the first letters.
  const unsigned limit = 256 - 256 % alphabet.size();
  std::string token;
  token.reserve(length);
  unsigned char buffer[64];
  while (token.size() < length) {
    if (RAND_bytes(buffer, sizeof buffer) != 1) std::abort();
    for (unsigned char byte : buffer) {
      if (byte >= limit) continue;
      token.push_back(alphabet[byte % alphabet.size()]);
      if (token.size() == length) break;
    }
  }
  return token;
}

}  // namespace halden::devservice
