#include "devservice/http_util.h"

#include <algorithm>
#include <cctype>

namespace halden::devservice {
namespace {

std::string trimmed(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

}  // namespace

std::string jsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void replyJson(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(jsonText(body), "application/json");
}

void replyError(httplib::Response& response, int status, const std::string& message) {
  replyJson(response, status, {{"error", message}});
}

void replyHtml(httplib::Response& response, int status, const std::string& html) {
  response.status = status;
  response.set_content(html, "text/html; charset=utf-8");
}

std::vector<std::pair<std::string, std::string>> parseCookies(const std::string& header) {
  std::vector<std::pair<std::string, std::string>> cookies;
  std::size_t start = 0;
  while (start <= header.size()) {
    std::size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    std::string piece = header.substr(start, end - start);
    std::size_t equals = piece.find('=');
    if (equals != std::string::npos) {
      std::string name = trimmed(piece.substr(0, equals));
      std::string value = trimmed(piece.substr(equals + 1));
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      if (!name.empty()) cookies.emplace_back(std::move(name), std::move(value));
    }
    start = end + 1;
  }
  return cookies;
}

std::string mediaType(const std::string& contentType) {
  std::string type = trimmed(contentType.substr(0, contentType.find(';')));
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return type;
}

nlohmann::json parseJson(const std::string& body) {
  return nlohmann::json::parse(body, nullptr, false);
}

}  // namespace halden::devservice
