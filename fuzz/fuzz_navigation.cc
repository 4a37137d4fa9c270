// Navigation decisions and the trust test on arbitrary URL text, against
// three service base URLs (https without port, http with port, an IPv6
// literal). Checks the decisions against an independent reading of the text:
// a trusted URL names the service's scheme, host and port before its path.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>

#include "fuzz_support.h"
#include "service/service_url.h"
#include "workspace/navigation_policy.h"

using namespace halden;

namespace {

struct Service {
  NavigationPolicy policy;
  std::string scheme;
  std::string host;
  std::string port;  // empty: none written
};

const Service& service(int which) {
  static const Service services[] = {
      {NavigationPolicy(*ServiceUrl::parse("https://app.halden.io")), "https", "app.halden.io", ""},
      {NavigationPolicy(*ServiceUrl::parse("http://127.0.0.1:18787")), "http", "127.0.0.1",
       "18787"},
      {NavigationPolicy(*ServiceUrl::parse("http://[::1]:8080/")), "http", "[::1]", "8080"},
  };
  return services[which];
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// `text` with the escapes of unreserved characters decoded, as in a host.
std::string decodeUnreserved(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      const char c = static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
          c == '~') {
        out += c;
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// The text's scheme, host and port as written, read without any URL library.
bool namesService(std::string_view url, const Service& s) {
  const std::size_t colon = url.find("://");
  if (colon == std::string_view::npos || lower(url.substr(0, colon)) != s.scheme) return false;
  std::string_view rest = url.substr(colon + 3);
  const std::string decoded = decodeUnreserved(rest.substr(0, rest.find_first_of("/?#")));
  std::string_view authority = decoded;
  if (std::count(authority.begin(), authority.end(), '@') > 1) return false;
  if (std::size_t at = authority.find('@'); at != std::string_view::npos) {
    authority = authority.substr(at + 1);
  }
  if (lower(authority.substr(0, s.host.size())) != s.host) return false;
  std::string_view port = authority.substr(s.host.size());
  if (port.empty()) return s.port.empty();
  if (port[0] != ':') return false;
  port.remove_prefix(1);
  if (port.empty()) return s.port.empty();
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  while (port.size() > 1 && port[0] == '0') port.remove_prefix(1);
  return port == s.port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const Service& s = service(input.ConsumeIntegralInRange(0, 2));
  const auto target = static_cast<TargetFrame>(input.ConsumeIntegralInRange(0, 2));
  const bool signingIn = input.ConsumeBool();
  const std::string reference = input.ConsumeRandomLengthString(256);
  const std::string url = input.ConsumeRemainingBytesAsString();

  const bool trusted = s.policy.trusted(url);
  if (trusted) HALDEN_FUZZ_CHECK(namesService(url, s));
  const NavigationDecision decision = s.policy.decide(url, target, signingIn);
  switch (decision) {
    case NavigationDecision::allow:
    case NavigationDecision::loadInThisView:
    case NavigationDecision::startSignIn:
      HALDEN_FUZZ_CHECK(trusted);
      break;
    case NavigationDecision::openExternally:
      HALDEN_FUZZ_CHECK(target != TargetFrame::subFrame || trusted);
      HALDEN_FUZZ_CHECK(trusted || url.starts_with("https:") || url.starts_with("http:") ||
                        url.starts_with("mailto:"));
      break;
    case NavigationDecision::cancel:
      break;
  }
  if (target == TargetFrame::none && trusted) {
    HALDEN_FUZZ_CHECK(decision != NavigationDecision::allow);
  }

  // The strict parser: its text parses back to the same URL, trust included.
  if (std::optional<ServiceUrl> parsed = ServiceUrl::parse(url)) {
    const std::optional<ServiceUrl> again = ServiceUrl::parse(parsed->text());
    HALDEN_FUZZ_CHECK(again && *again == *parsed);
    HALDEN_FUZZ_CHECK(halden::trusted(s.policy.appUrl(), parsed) == halden::trusted(s.policy.appUrl(), again));
    if (halden::trusted(s.policy.appUrl(), parsed)) HALDEN_FUZZ_CHECK(trusted);
  }
  // Requests resolve "/" + path against the base; the client relies on the
  // trust test to catch one that leaves the origin.
  if (std::optional<ServiceUrl> resolved = s.policy.appUrl().resolve("/" + reference)) {
    const std::optional<ServiceUrl> again = ServiceUrl::parse(resolved->text());
    HALDEN_FUZZ_CHECK(again && *again == *resolved);
    if (halden::trusted(s.policy.appUrl(), resolved)) {
      HALDEN_FUZZ_CHECK(namesService(resolved->text(), s));
    }
  }
  return 0;
}
