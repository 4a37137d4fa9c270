// Absolute URLs of the service, relative-reference resolution and the trust
// test that keeps every request and page on the service's own origin.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halden {

// An absolute URL: scheme ":" ["//" [userinfo "@"] host [":" port]] path
// ["?" query] ["#" fragment]. Scheme and host are kept in lower case; the port
// is the explicit port only (443 written out is not the same as no port).
// Paths, queries and fragments must already be percent-encoded ASCII: a space,
// a control character, a backslash or a non-ASCII byte makes the text no URL
// rather than being silently repaired.
class ServiceUrl {
 public:
  // std::nullopt when `text` is not an absolute URL of that form.
  static std::optional<ServiceUrl> parse(std::string_view text);

  // Resolves `reference` against this URL as a browser resolves a relative
  // reference (RFC 3986 reference resolution, dot segments removed). A reference that
  // begins with "//" names another authority; one that begins with "/"
  // replaces the whole path. std::nullopt when no URL results.
  std::optional<ServiceUrl> resolve(std::string_view reference) const;

  const std::string& scheme() const { return scheme_; }
  // Absent for URLs without an authority (mailto:, about:blank).
  const std::optional<std::string>& host() const { return host_; }
  const std::optional<uint16_t>& port() const { return port_; }
  const std::string& path() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  // The absolute text, character for character as parsed (apart from the
  // lower-cased scheme and host).
  std::string text() const;

  // The "Origin" header of requests made against this base: text() with
  // every leading and trailing "/" removed.
  std::string originText() const;

  bool operator==(const ServiceUrl&) const = default;

 private:
  ServiceUrl() = default;
  std::optional<std::string> authorityText() const;

  std::string scheme_;
  std::optional<std::string> userinfo_;
  std::optional<std::string> host_;
  std::optional<uint16_t> port_;
  std::optional<std::string> portText_;  // as written after ':', possibly empty
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

// True when `url` is present and its scheme, host and explicit port each equal
// those of `appUrl` (absent equals only absent). Path, query and fragment play
// no part.
bool trusted(const ServiceUrl& appUrl, const std::optional<ServiceUrl>& url);
// The same test for URL text, which is first parsed (no URL: not trusted).
bool trusted(const ServiceUrl& appUrl, std::string_view url);

// Percent-encodes every byte of `text` except the RFC 3986 unreserved
// characters (A-Z a-z 0-9 - . _ ~), so that any text can be placed in a
// query value.
std::string percentEncode(std::string_view text);

}  // namespace halden
