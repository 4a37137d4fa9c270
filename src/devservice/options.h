// Command line of halden-devservice.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace halden::devservice {

struct ServiceOptions {
  std::string host = "127.0.0.1";
  int port = 0;                          // 0: the kernel picks a free port.
  std::filesystem::path dataFolder;      // Empty: a fresh temporary folder removed at exit.
  std::filesystem::path tlsCertificate;  // Both set: serve HTTPS.
  std::filesystem::path tlsKey;
  std::vector<std::string> sessions;  // Session tokens valid from the start.
  std::string origin;                 // Empty: the listening URL.
  bool help = false;
};

struct OptionsOrMessage {
  std::optional<ServiceOptions> options;
  std::string message;  // Why the command line was refused, when `options` is empty.
};

// Parses argv[1..]. Refuses unknown switches, missing values, a port outside
// 0..65535, a certificate without a key (or the reverse), a host that is not a
// loopback address and an origin that is not an http(s) URL of scheme and host.
OptionsOrMessage parseOptions(const std::vector<std::string>& arguments);

// True for literal addresses in 127.0.0.0/8 and for ::1. Names are refused:
// what a name resolves to can change after the check.
bool isLoopbackAddress(const std::string& host);

// "scheme://host[:port]" with an IPv6 host in brackets.
std::string urlFor(bool tls, const std::string& host, int port);

// Returns the origin text of an absolute http(s) URL (scheme, host and explicit
// port; lower-case scheme and host; no path), or nullopt when `url` is not one.
std::optional<std::string> originOf(const std::string& url);

extern const char* const usageText;

}  // namespace halden::devservice
