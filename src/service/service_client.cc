#include "service/service_client.h"

#include <utility>

namespace halden {

Task<Result<JsonObject>> ServiceClient::request(std::string path, Bytes body,
                                                std::string contentType, bool authenticated) {
  std::optional<ServiceUrl> url = appUrl_.resolve("/" + path);
  // A path such as "/evil.example/x" becomes "//evil.example/x", a reference
  // to another host; the trust test refuses it before anything is sent.
  if (!url || !trusted(appUrl_, url)) co_return failure(std::string(invalidRequestMessage));

  HttpRequest http;
  http.url = url->text();
  http.body = std::move(body);
  http.headers.emplace_back("Content-Type", std::move(contentType));
  http.headers.emplace_back("Origin", appUrl_.originText());
  if (authenticated) {
    std::vector<Cookie> all = co_await cookies_.getAll();
    if (auto header = cookieHeaderValue(selectSessionCookies(all, appUrl_.host()))) {
      http.headers.emplace_back("Cookie", std::move(*header));
    }
  }

  HALDEN_CO_TRY(HttpResponse response, co_await transport_.send(std::move(http)));
  HALDEN_CO_TRY(JsonObject object, decodeObjectResponse(std::string_view(response.body)));
  if (response.status && *response.status >= 200 && *response.status <= 299) co_return object;
  if (auto error = object.find("error"); error != object.end() && error->is_string()) {
    co_return failure(error->get<std::string>());
  }
  co_return failure(std::string(unprocessedMessage));
}

Task<Result<JsonObject>> ServiceClient::post(std::string path, JsonObject object,
                                             bool authenticated) {
  std::string text;
  try {
    text = object.dump();
  } catch (const nlohmann::json::exception& e) {
    co_return Error("nlohmann::json", e.id, e.what());
  }
  co_return co_await request(std::move(path), Bytes(text.begin(), text.end()), "application/json",
                             authenticated);
}

}  // namespace halden
