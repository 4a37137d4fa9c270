#include "devservice/options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace halden::devservice {

const char* const usageText =
    "usage: halden-devservice [--host 127.0.0.1] [--port N] [--data DIR]\n"
    "                         [--tls-cert FILE --tls-key FILE] [--session VALUE]...\n"
    "                         [--origin URL]\n";

namespace {

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

bool isLoopbackAddress(const std::string& host) {
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    return IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

std::string urlFor(bool tls, const std::string& host, int port) {
  std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return std::string(tls ? "https" : "http") + "://" + shownHost + ":" + std::to_string(port);
}

std::optional<std::string> originOf(const std::string& url) {
  std::string text = url;
  std::size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) return std::nullopt;
  std::string scheme = lowered(text.substr(0, schemeEnd));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  std::string rest = text.substr(schemeEnd + 3);
  std::string authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.empty() || authority.find('@') != std::string::npos) return std::nullopt;
  std::string host = authority;
  std::string port;
  if (authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
    std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
    }
  } else if (std::size_t colon = authority.rfind(':'); colon != std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  for (char c : host) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == '<' || c == '>' || c == '"' ||
        c == '\'') {
      return std::nullopt;
    }
  }
  if (authority.find(':') != std::string::npos && authority.front() != '[' && port.empty()) {
    return std::nullopt;
  }
  if (!port.empty()) {
    int value = 0;
    auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (error != std::errc() || end != port.data() + port.size() || value < 0 || value > 65535) {
      return std::nullopt;
    }
  }
  return scheme + "://" + lowered(host) + (port.empty() ? "" : ":" + port);
}

OptionsOrMessage parseOptions(const std::vector<std::string>& arguments) {
  ServiceOptions options;
  auto refuse = [](std::string message) { return OptionsOrMessage{std::nullopt, message}; };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (name == "--help" || name == "-h") {
      options.help = true;
      continue;
    }
    bool takesValue = name == "--host" || name == "--port" || name == "--data" ||
                      name == "--tls-cert" || name == "--tls-key" || name == "--session" ||
                      name == "--origin";
    if (!takesValue) return refuse("unknown argument: " + name);
    if (i + 1 >= arguments.size()) return refuse(name + " needs a value");
    const std::string& value = arguments[++i];
    if (name == "--host") {
      options.host = value;
    } else if (name == "--port") {
      int port = -1;
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
      if (error != std::errc() || end != value.data() + value.size() || port < 0 || port > 65535) {
        return refuse("--port needs a number from 0 to 65535, not " + value);
      }
      options.port = port;
    } else if (name == "--data") {
      if (value.empty()) return refuse("--data needs a folder");
      options.dataFolder = value;
    } else if (name == "--tls-cert") {
      options.tlsCertificate = value;
    } else if (name == "--tls-key") {
      options.tlsKey = value;
    } else if (name == "--session") {
      if (value.empty()) return refuse("--session needs a non-empty value");
      options.sessions.push_back(value);
    } else if (name == "--origin") {
      std::optional<std::string> origin = originOf(value);
      if (!origin) return refuse("--origin needs an http or https URL of scheme and host");
      options.origin = *origin;
    }
  }
  if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
    return refuse("--tls-cert and --tls-key go together");
  }
  if (!isLoopbackAddress(options.host)) {
    return refuse("refusing to listen on " + options.host +
                  ": the stand-in service listens on a loopback address only "
                  "(127.0.0.0/8 or ::1)");
  }
  return OptionsOrMessage{options, ""};
}

}  // namespace halden::devservice
