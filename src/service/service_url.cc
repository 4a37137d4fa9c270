#include "service/service_url.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <vector>

namespace halden {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUnreserved(char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// Characters that may appear anywhere in URL text: unreserved, the general
// and sub-delimiters, and '%' of percent-encoding. Everything else (space,
// controls, '"', '<', '>', '\\', '^', '`', '{', '|', '}', non-ASCII) makes the
// text no URL.
bool isUrlCharacter(char c) {
  if (isUnreserved(c)) return true;
  static constexpr std::string_view delimiters = ":/?#[]@!$&'()*+,;=%";
  return delimiters.find(c) != std::string_view::npos;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

// A URI reference split into its five components (RFC 3986, appendix B).
struct Reference {
  std::optional<std::string> scheme;
  std::optional<std::string> authority;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;
};

std::optional<Reference> splitReference(std::string_view text) {
  if (!std::all_of(text.begin(), text.end(), isUrlCharacter)) return std::nullopt;
  Reference out;
  std::size_t colon = text.find(':');
  std::size_t firstDelimiter = text.find_first_of("/?#");
  if (colon != std::string_view::npos && colon > 0 && colon < firstDelimiter && isAlpha(text[0]) &&
      std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
      })) {
    out.scheme = lowered(text.substr(0, colon));
    text.remove_prefix(colon + 1);
  }
  if (std::size_t hash = text.find('#'); hash != std::string_view::npos) {
    out.fragment = std::string(text.substr(hash + 1));
    text = text.substr(0, hash);
  }
  if (std::size_t question = text.find('?'); question != std::string_view::npos) {
    out.query = std::string(text.substr(question + 1));
    text = text.substr(0, question);
  }
  if (text.starts_with("//")) {
    text.remove_prefix(2);
    std::size_t slash = text.find('/');
    out.authority = std::string(text.substr(0, slash));
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash);
  }
  out.path = std::string(text);
  return out;
}

// RFC 3986 remove_dot_segments: "." and ".." segments are resolved away.
std::string removeDotSegments(std::string_view path) {
  std::vector<std::string_view> segments;
  bool absolute = path.starts_with('/');
  if (absolute) path.remove_prefix(1);
  bool trailingSlash = false;
  while (true) {
    std::size_t slash = path.find('/');
    std::string_view segment = path.substr(0, slash);
    bool last = slash == std::string_view::npos;
    if (segment == ".") {
      trailingSlash = last;
    } else if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
      trailingSlash = last;
    } else {
      segments.push_back(segment);
      trailingSlash = false;
    }
    if (last) break;
    path.remove_prefix(slash + 1);
  }
  std::string out = absolute ? "/" : "";
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) out += '/';
    out += segments[i];
  }
  if (trailingSlash && !segments.empty() && !out.ends_with('/')) out += '/';
  return out;
}

std::string compose(const Reference& r) {
  std::string out;
  if (r.scheme) out += *r.scheme + ":";
  if (r.authority) out += "//" + *r.authority;
  out += r.path;
  if (r.query) out += "?" + *r.query;
  if (r.fragment) out += "#" + *r.fragment;
  return out;
}

bool isHostCharacter(char c) { return isUnreserved(c); }

}  // namespace

std::optional<ServiceUrl> ServiceUrl::parse(std::string_view text) {
  std::optional<Reference> parts = splitReference(text);
  if (!parts || !parts->scheme) return std::nullopt;
  ServiceUrl url;
  url.scheme_ = *parts->scheme;
  url.path_ = parts->path;
  url.query_ = parts->query;
  url.fragment_ = parts->fragment;
  bool web = url.scheme_ == "http" || url.scheme_ == "https";
  if (parts->authority) {
    std::string_view authority = *parts->authority;
    if (std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
      url.userinfo_ = std::string(authority.substr(0, at));
      authority.remove_prefix(at + 1);
    }
    std::string_view host;
    std::string_view port;
    bool hasPort = false;
    if (authority.starts_with('[')) {
      std::size_t close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      host = authority.substr(0, close + 1);
      if (!std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
          }))
        return std::nullopt;
      std::string_view rest = authority.substr(close + 1);
      if (!rest.empty()) {
        if (rest[0] != ':') return std::nullopt;
        hasPort = true;
        port = rest.substr(1);
      }
    } else {
      std::size_t colon = authority.find(':');
      host = authority.substr(0, colon);
      if (!std::all_of(host.begin(), host.end(), isHostCharacter)) return std::nullopt;
      if (colon != std::string_view::npos) {
        hasPort = true;
        port = authority.substr(colon + 1);
      }
    }
    if (hasPort && !port.empty()) {
      if (!std::all_of(port.begin(), port.end(), isDigit)) return std::nullopt;
      unsigned value = 0;
      auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
      if (error != std::errc() || end != port.data() + port.size() || value > 65535)
        return std::nullopt;
      url.port_ = static_cast<uint16_t>(value);
    }
    if (web && host.empty()) return std::nullopt;
    url.host_ = lowered(host);
    if (hasPort) url.portText_ = std::string(port);
  } else if (web) {
    return std::nullopt;
  }
  return url;
}

std::optional<ServiceUrl> ServiceUrl::resolve(std::string_view referenceText) const {
  std::optional<Reference> reference = splitReference(referenceText);
  if (!reference) return std::nullopt;
  Reference target;
  if (reference->scheme) {
    target = *reference;
    target.path = removeDotSegments(reference->path);
  } else {
    target.scheme = scheme_;
    target.fragment = reference->fragment;
    if (reference->authority) {
      target.authority = reference->authority;
      target.path = removeDotSegments(reference->path);
      target.query = reference->query;
    } else {
      target.authority = authorityText();
      if (reference->path.empty()) {
        target.path = path_;
        target.query = reference->query ? reference->query : query_;
      } else {
        if (reference->path.starts_with('/')) {
          target.path = removeDotSegments(reference->path);
        } else if (host_ && path_.empty()) {
          target.path = removeDotSegments("/" + reference->path);
        } else {
          std::size_t slash = path_.rfind('/');
          std::string merged =
              (slash == std::string::npos ? std::string() : path_.substr(0, slash + 1)) +
              reference->path;
          target.path = removeDotSegments(merged);
        }
        target.query = reference->query;
      }
    }
  }
  return parse(compose(target));
}

std::optional<std::string> ServiceUrl::authorityText() const {
  if (!host_) return std::nullopt;
  std::string out;
  if (userinfo_) out += *userinfo_ + "@";
  out += *host_;
  if (portText_) out += ":" + *portText_;
  return out;
}

std::string ServiceUrl::text() const {
  Reference parts;
  parts.scheme = scheme_;
  parts.authority = authorityText();
  parts.path = path_;
  parts.query = query_;
  parts.fragment = fragment_;
  return compose(parts);
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

bool trusted(const ServiceUrl& appUrl, std::string_view url) {
  return trusted(appUrl, ServiceUrl::parse(url));
}

std::string percentEncode(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (isUnreserved(c)) {
      out += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace halden
