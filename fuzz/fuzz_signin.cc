// The desktop sign-in against answers from the input: the "begin" answer,
// then every "redeem" answer, each with its status and body. Whatever they
// hold, the browser only opens the service's own connect page, and a session
// cookie is only kept for the service's host with a name and value that fit a
// Cookie header.
#include <fuzzer/FuzzedDataProvider.h>

#include "base/main_context.h"
#include "fuzz_support.h"
#include "service/desktop_signin.h"

using namespace halden;

namespace {

class Recorder : public SignInShell, public CookieStore {
 public:
  void openInBrowser(const std::string& url) override { opened.push_back(url); }
  void showHtml(const std::string& html, const std::string&) override { shown.push_back(html); }
  void showWorkspace() override { ++workspaces; }
  Task<void> alert(std::string, std::string) override {
    ++alerts;
    co_return;
  }
  Task<std::vector<Cookie>> getAll() override { co_return cookies; }
  Task<Result<void>> add(Cookie cookie) override {
    cookies.push_back(std::move(cookie));
    co_return success();
  }

  std::vector<std::string> opened;
  std::vector<std::string> shown;
  std::vector<Cookie> cookies;
  int workspaces = 0;
  int alerts = 0;
};

class AnswersFromInput : public HttpTransport {
 public:
  explicit AnswersFromInput(FuzzedDataProvider& input) : input_(input) {}
  Task<Result<HttpResponse>> send(HttpRequest request) override {
    urls.push_back(request.url);
    if (input_.remaining_bytes() == 0) co_return Error("libcurl", 7, "no answer");
    HttpResponse response;
    response.status = input_.ConsumeBool() ? 200 : input_.ConsumeIntegralInRange(100, 599);
    response.body = input_.ConsumeRandomLengthString(8192);
    co_return response;
  }
  std::vector<std::string> urls;

 private:
  FuzzedDataProvider& input_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool https = input.ConsumeBool();
  const ServiceUrl appUrl =
      *ServiceUrl::parse(https ? "https://app.halden.io" : "http://127.0.0.1:18787");
  AnswersFromInput transport(input);
  Recorder shell;
  ServiceClient client(appUrl, transport, shell);
  int sleeps = 0;
  DesktopSignIn signIn(client, shell, shell, [&sleeps](std::chrono::milliseconds) -> Task<void> {
    ++sleeps;
    co_return;
  });
  signIn.signIn();
  GMainContext* context = g_main_context_default();
  while (signIn.signingIn()) g_main_context_iteration(context, TRUE);

  HALDEN_FUZZ_CHECK(shell.opened.size() <= 1 && shell.shown.size() == shell.opened.size());
  HALDEN_FUZZ_CHECK(transport.urls.size() <= 1 + static_cast<std::size_t>(signInMaximumPolls));
  for (const std::string& url : transport.urls) HALDEN_FUZZ_CHECK(trusted(appUrl, url));
  if (!shell.opened.empty()) {
    const std::optional<ServiceUrl> connect = ServiceUrl::parse(shell.opened[0]);
    HALDEN_FUZZ_CHECK(connect && trusted(appUrl, connect));
    HALDEN_FUZZ_CHECK(connect->path() == "/desktop/connect" && !connect->fragment());
    HALDEN_FUZZ_CHECK(connect->query() && connect->query()->starts_with("id=") &&
                      connect->query()->find_first_of("&#") == std::string::npos);
    // The code page keeps the service's text out of its markup.
    const std::string& page = shell.shown[0];
    const std::size_t start = page.find("letter-spacing:10px'>");
    HALDEN_FUZZ_CHECK(start != std::string::npos);
    const std::string code = page.substr(start + 21, page.find("</p>", start) - start - 21);
    HALDEN_FUZZ_CHECK(code.find_first_of("<>\"'") == std::string::npos);
  }
  // Signed in exactly when a cookie was kept, and then nothing is alerted.
  HALDEN_FUZZ_CHECK(shell.cookies.size() == static_cast<std::size_t>(shell.workspaces));
  HALDEN_FUZZ_CHECK(shell.workspaces <= 1 && shell.workspaces + shell.alerts == 1);
  for (const Cookie& cookie : shell.cookies) {
    HALDEN_FUZZ_CHECK(cookie.domain == *appUrl.host() && cookie.path == "/");
    HALDEN_FUZZ_CHECK(cookie.secure == https && cookie.httpOnly);
    HALDEN_FUZZ_CHECK(!cookie.name.empty() &&
                      cookie.name.find_first_of("; =") == std::string::npos);
    for (char c : cookie.name + cookie.value) {
      HALDEN_FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && c != ';');
    }
  }
  return 0;
}
