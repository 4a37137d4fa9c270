#include "service/service_url.h"

#include <glib.h>

#include <algorithm>

namespace halden {
namespace {

// Strict parsing: the first "@" ends the user information and a ";" belongs
// to the host, so that the host GUri reports is never shorter than the one a
// web engine would connect to. ENCODED keeps escapes as written (GUri only
// decodes those of unreserved characters and upper-cases hex digits); NON_DNS
// keeps them encoded in the host too, where a decoded "%2F" or "%3A" would
// change the authority.
constexpr auto uriFlags = static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_NON_DNS);

bool isUnreserved(char c) {
  return g_ascii_isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// GUri escapes a space and passes a backslash or a non-ASCII byte through, so
// the characters allowed anywhere in URL text are checked first: unreserved,
// the general and sub-delimiters and the '%' of escapes. Everything else
// (space, controls, '"', '<', '>', '\\', '^', '`', '{', '|', '}', non-ASCII,
// NUL) makes the text no URL.
bool isUrlText(std::string_view text) {
  static constexpr std::string_view delimiters = ":/?#[]@!$&'()*+,;=%";
  return std::all_of(text.begin(), text.end(), [](char c) {
    return isUnreserved(c) || delimiters.find(c) != std::string_view::npos;
  });
}

// GUri has checked an IPv6 literal (its brackets removed) but takes any other
// host as written. Zone identifiers ('%') are refused, as web engines do.
bool isHost(std::string_view host) {
  if (host.find(':') != std::string_view::npos) {
    return std::all_of(host.begin(), host.end(),
                       [](char c) { return g_ascii_isxdigit(c) || c == ':' || c == '.'; });
  }
  return std::all_of(host.begin(), host.end(), isUnreserved);
}

std::optional<std::string> optionalText(const char* text) {
  return text ? std::optional<std::string>(text) : std::nullopt;
}

bool isUrlCharacter(char c) {
  static constexpr std::string_view others = "-._~:/?#[]@!$&'()*+,;=%";
  return g_ascii_isalnum(c) || others.find(c) != std::string_view::npos;
}

}  // namespace

std::optional<ServiceUrl> ServiceUrl::parse(std::string_view text) {
  if (!isUrlText(text)) return std::nullopt;
  g_autofree char* scheme = nullptr;
  g_autofree char* userinfo = nullptr;
  g_autofree char* host = nullptr;
  g_autofree char* path = nullptr;
  g_autofree char* query = nullptr;
  g_autofree char* fragment = nullptr;
  int port = -1;
  if (!g_uri_split(std::string(text).c_str(), uriFlags, &scheme, &userinfo, &host, &port, &path,
                   &query, &fragment, nullptr) ||
      !scheme) {
    return std::nullopt;
  }
  ServiceUrl url;
  url.scheme_ = scheme;  // GUri lower-cases it
  url.userinfo_ = optionalText(userinfo);
  url.path_ = path;
  url.query_ = optionalText(query);
  url.fragment_ = optionalText(fragment);
  const bool web = url.scheme_ == "http" || url.scheme_ == "https";
  if (!host) return web ? std::nullopt : std::optional(url);
  std::string name = host;
  if ((web && name.empty()) || !isHost(name)) return std::nullopt;
  std::transform(name.begin(), name.end(), name.begin(), g_ascii_tolower);
  url.host_ = name.find(':') == std::string::npos ? name : "[" + name + "]";
  if (port >= 0) url.port_ = static_cast<uint16_t>(port);
  // GUri reports "host:" as no port; the ':' is kept so that text() gives the
  // text back. A host never ends in ':' (a literal ends in ']').
  std::string_view authority = text.substr(url.scheme_.size() + 3);
  url.emptyPort_ = port < 0 && authority.substr(0, authority.find_first_of("/?#")).ends_with(':');
  return url;
}

std::optional<ServiceUrl> ServiceUrl::resolve(std::string_view reference) const {
  if (!isUrlText(reference)) return std::nullopt;
  g_autofree char* resolved =
      g_uri_resolve_relative(text().c_str(), std::string(reference).c_str(), uriFlags, nullptr);
  if (!resolved) return std::nullopt;
  return parse(resolved);
}

std::string ServiceUrl::text() const {
  std::string out = scheme_ + ":";
  if (host_) {
    out += "//";
    if (userinfo_) out += *userinfo_ + "@";
    out += *host_;
    if (port_) out += ":" + std::to_string(*port_);
    if (emptyPort_) out += ":";
  }
  out += path_;
  if (query_) out += "?" + *query_;
  if (fragment_) out += "#" + *fragment_;
  return out;
}

std::string ServiceUrl::originText() const {
  std::string out = text();
  std::size_t first = out.find_first_not_of('/');
  if (first == std::string::npos) return {};
  std::size_t last = out.find_last_not_of('/');
  return out.substr(first, last - first + 1);
}

bool trusted(const ServiceUrl& appUrl, const std::optional<ServiceUrl>& url) {
  return url && url->scheme() == appUrl.scheme() && url->host() == appUrl.host() &&
         url->port() == appUrl.port();
}

std::optional<ServiceUrl> parseWebUrl(std::string_view text) {
  std::size_t tail = 0;
  if (std::size_t colon = text.find(':');
      colon != std::string_view::npos && colon < text.find_first_of("/?#")) {
    tail = colon + 1;
    if (text.substr(tail).starts_with("//")) {
      tail = text.find_first_of("/?#", tail + 2);
      if (tail == std::string_view::npos) tail = text.size();
    }
  }
  std::string escaped(text.substr(0, tail));
  static constexpr char hex[] = "0123456789ABCDEF";
  for (std::size_t i = tail; i < text.size(); ++i) {
    const char c = text[i];
    const bool escapes =
        i + 2 < text.size() && g_ascii_isxdigit(text[i + 1]) && g_ascii_isxdigit(text[i + 2]);
    if (c == '%' ? escapes : isUrlCharacter(c)) {
      escaped += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      escaped += '%';
      escaped += hex[byte >> 4];
      escaped += hex[byte & 0x0F];
    }
  }
  return ServiceUrl::parse(escaped);
}

bool trusted(const ServiceUrl& appUrl, std::string_view url) {
  return trusted(appUrl, parseWebUrl(url));
}

std::string percentEncode(std::string_view text) {
  g_autofree char* encoded =
      g_uri_escape_bytes(reinterpret_cast<const guint8*>(text.data()), text.size(), nullptr);
  return encoded;
}

}  // namespace halden
