// The pages a browser or the app's web view loads: the workspace, the web
// sign-in page, downloads and the browser side of the desktop sign-in.
#include "devservice/http_util.h"
#include "devservice/pages.h"
#include "devservice/service_state.h"
#include "devservice/workspace_page.h"

namespace halden::devservice {
namespace {

bool isSafeFileName(const std::string& name) {
  if (name.empty() || name.size() > 100 || name.front() == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

constexpr std::string_view downloadsPrefix = "/downloads/";

// The same service under its other loopback name: another origin to a web
// view, and one whose requests arrive here, where a test can see them.
std::string otherOrigin(const std::string& origin) {
  for (auto [from, to] : {std::pair{"://127.0.0.1", "://localhost"},
                          std::pair{"://localhost", "://127.0.0.1"}}) {
    if (const std::size_t at = origin.find(from); at != std::string::npos) {
      return std::string(origin).replace(at, std::string_view(from).size(), to);
    }
  }
  return "";
}

}  // namespace

void handlePages(ServiceState& state, const httplib::Request& request,
                 httplib::Response& response) {
  const std::string& path = request.path;
  const bool get = request.method == "GET" || request.method == "HEAD";

  if (path == "/" && get) {
    response.status = 302;
    response.set_header("Location", "/clients/workspace");
    return replyHtml(response, 302, "<a href=\"/clients/workspace\">Client workspace</a>");
  }
  // A form may post to the workspace page; what it posts is only logged.
  if (path == "/clients/workspace" && (get || request.method == "POST")) {
    response.set_header("Cache-Control", "no-store");
    return replyHtml(response, 200, workspacePage(state.origin, state.authenticated(request)));
  }
  if (path == "/clients/navigation" && get) {
    std::string foreign = request.get_param_value("foreign");
    if (foreign.empty() && !otherOrigin(state.origin).empty()) {
      foreign = otherOrigin(state.origin) + "/clients/frame-start?from=foreign";
    }
    return replyHtml(response, 200, navigationPage(state.origin, foreign));
  }
  if (path == "/clients/frame-start" && get) return replyHtml(response, 200, frameStartPage());
  if (path == "/login" && get) return replyHtml(response, 200, loginPage());
  if (path.starts_with(downloadsPrefix) && get) {
    std::string name = path.substr(downloadsPrefix.size());
    if (!isSafeFileName(name)) return replyHtml(response, 404, notFoundPage());
    response.status = 200;
    response.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
    response.set_content(downloadText(name), "text/plain; charset=utf-8");
    return;
  }
  if (path == "/desktop/connect" && get) {
    std::string id = request.get_param_value("id");
    std::optional<std::string> code = state.signins.pendingCode(id);
    if (!code) return replyHtml(response, 404, connectUnknownPage());
    response.set_header("Cache-Control", "no-store");
    return replyHtml(response, 200, connectPage(id, *code));
  }
  if (path == "/desktop/connect/approve" && request.method == "POST") {
    // A page of another origin must not be able to approve a sign-in that
    // someone else began.
    if (!state.originAllowed(request)) {
      return replyHtml(response, 403, connectUnknownPage());
    }
    if (!state.signins.approve(request.get_param_value("id"))) {
      return replyHtml(response, 404, connectUnknownPage());
    }
    return replyHtml(response, 200, connectApprovedPage());
  }
  replyHtml(response, 404, notFoundPage());
}

}  // namespace halden::devservice
