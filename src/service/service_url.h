// Absolute URLs of the service, relative-reference resolution and the trust
// test that keeps every request and page on the service's own origin.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halden {

// An absolute URL: scheme ":" ["//" [userinfo "@"] host [":" port]] path
// ["?" query] ["#" fragment], parsed strictly by GLib's GUri. Scheme and host
// are kept in lower case; the port is the explicit port only (443 written out
// is not the same as no port). The text must already be percent-encoded
// ASCII: a space, a control character, a backslash, a non-ASCII byte or a '%'
// that starts no escape makes it no URL rather than being silently repaired.
// A host is a name of unreserved characters or a bracketed IPv6 literal;
// escapes in it are refused unless they stand for unreserved characters.
class ServiceUrl {
 public:
  // std::nullopt when `text` is not an absolute URL of that form.
  static std::optional<ServiceUrl> parse(std::string_view text);

  // Resolves `reference` against this URL as a browser resolves a relative
  // reference (RFC 3986 reference resolution, dot segments removed). A reference that
  // begins with "//" names another authority; one that begins with "/"
  // replaces the whole path. An empty port ("host:") is not carried into the
  // result. std::nullopt when no URL results.
  std::optional<ServiceUrl> resolve(std::string_view reference) const;

  const std::string& scheme() const { return scheme_; }
  // Absent for URLs without an authority (mailto:, about:blank).
  const std::optional<std::string>& host() const { return host_; }
  const std::optional<uint16_t>& port() const { return port_; }
  const std::string& path() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  // The absolute text, character for character as parsed apart from the
  // lower-cased scheme and host, escapes in their RFC 3986 normal form (those
  // of unreserved characters decoded, hex digits in upper case) and the port
  // in plain decimal.
  std::string text() const;

  // The "Origin" header of requests made against this base: text() with
  // every leading and trailing "/" removed.
  std::string originText() const;

  bool operator==(const ServiceUrl&) const = default;

 private:
  ServiceUrl() = default;

  std::string scheme_;
  std::optional<std::string> userinfo_;
  std::optional<std::string> host_;
  std::optional<uint16_t> port_;
  bool emptyPort_ = false;  // written as "host:", which text() keeps
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// A URL as a web engine reports it. Its path, query and fragment may keep
// characters that RFC 3986 wants escaped ('|', '{', '}', '^', '`', '"', a '%'
// that starts no escape); they are escaped here so that the strict parser sees
// the same URL. The scheme and authority are left as written: anything odd
// there makes the text no URL, so it can never borrow the trusted origin.
std::optional<ServiceUrl> parseWebUrl(std::string_view text);

// True when `url` is present and its scheme, host and explicit port each equal
// those of `appUrl` (absent equals only absent). Path, query and fragment play
// no part.
bool trusted(const ServiceUrl& appUrl, const std::optional<ServiceUrl>& url);
// The same test for URL text as a web engine reports it, parsed by
// parseWebUrl (no URL: not trusted). The web view and its web process
// decide with this one test.
bool trusted(const ServiceUrl& appUrl, std::string_view url);

// Percent-encodes every byte of `text` except the RFC 3986 unreserved
// characters (A-Z a-z 0-9 - . _ ~), so that any text can be placed in a
// query value.
std::string percentEncode(std::string_view text);

}  // namespace halden
