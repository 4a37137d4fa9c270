#include "devservice/pages.h"

namespace halden::devservice {
namespace {

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
         htmlEscape(title) +
         "</title><style>"
         "body{margin:0;font:16px/1.5 system-ui,sans-serif;background:#f8fafc;color:#0f2d5e}"
         ".banner{background:#fef3c7;color:#78350f;padding:8px 24px;font-size:13px}"
         "main{max-width:560px;margin:64px auto;background:#fff;border:1px solid #d9e1ec;"
         "border-radius:10px;padding:28px 32px}"
         "h1{font-size:22px;margin-top:0}.code{font-size:40px;letter-spacing:8px;"
         "font-family:ui-monospace,monospace;margin:16px 0}"
         "button{font:inherit;padding:8px 18px;border-radius:6px;border:1px solid #2563eb;"
         "background:#2563eb;color:#fff;cursor:pointer}.muted{color:#5b6b84;font-size:14px}"
         "</style></head><body><div class=\"banner\">Local stand-in service for development "
         "and demos &mdash; not the Halden service.</div><main>" +
         body + "</main></body></html>\n";
}

}  // namespace

std::string htmlEscape(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string loginPage() {
  return page("Sign in to Halden",
              "<h1>Sign in to Halden</h1>"
              "<p>This is the web sign-in page of the local stand-in service.</p>"
              "<p class=\"muted\">In the Halden desktop app, choose <b>Sign in through "
              "browser</b> from the Halden menu: the app shows a code, and the page it opens "
              "here approves it.</p>");
}

std::string connectPage(const std::string& id, const std::string& code) {
  return page("Connect Halden desktop",
              "<h1>Connect Halden desktop</h1>"
              "<p>Check that the desktop app shows this code:</p>"
              "<div class=\"code\" id=\"code\">" +
                  htmlEscape(code) +
                  "</div>"
                  "<form method=\"post\" action=\"/desktop/connect/approve\">"
                  "<input type=\"hidden\" name=\"id\" value=\"" +
                  htmlEscape(id) +
                  "\"><button type=\"submit\" id=\"approve\">Approve</button></form>"
                  "<p class=\"muted\">The request expires five minutes after the app began "
                  "it.</p>");
}

std::string connectApprovedPage() {
  return page("Halden desktop connected",
              "<h1>Halden desktop connected</h1>"
              "<p>You can close this page and return to the Halden desktop app; it signs in "
              "within a few seconds.</p>");
}

std::string connectUnknownPage() {
  return page("Sign-in request not found",
              "<h1>Sign-in request not found</h1>"
              "<p>This sign-in request is unknown or has expired. Start the sign-in again "
              "from the Halden desktop app.</p>");
}

std::string notFoundPage() {
  return page("Not found", "<h1>Not found</h1><p>There is nothing at this address.</p>");
}

std::string navigationPage(const std::string& origin, const std::string& foreignFrame) {
  const std::string own = htmlEscape(origin);
  std::string body =
      "<h1>Navigation checks</h1>"
      "<p class=\"muted\">Each link below tries one kind of navigation. In the Halden app, "
      "only pages of this service open in the window; downloads and other sites go to the "
      "browser, mail links to the mail client, and nothing else opens.</p><ul>"
      "<li><a id=\"trusted\" href=\"" + own + "/clients/workspace?via=link\">Workspace page</a></li>"
      "<li><a id=\"loose\" href=\"" + own +
      "/clients/workspace?via=loose&amp;q=a|b{c}^\">Workspace at a loosely written address</a></li>"
      "<li><a id=\"download\" href=\"" + own + "/downloads/checks.txt\">Download a file</a></li>"
      "<li><a id=\"login\" href=\"" + own + "/login\">Web sign-in</a></li>"
      "<li><a id=\"blank\" target=\"_blank\" href=\"" + own +
      "/clients/workspace?via=blank\">Workspace in a new window</a></li>"
      "<li><button id=\"open\" onclick=\"window.open('" + own +
      "/clients/workspace?via=open')\">Open a window by script</button></li>"
      "<li><form method=\"post\" target=\"_blank\" action=\"" + own +
      "/clients/workspace?via=post\"><input type=\"hidden\" name=\"note\" value=\"kept\">"
      "<button id=\"post\">Post to a new window</button></form></li>"
      "<li><a id=\"external\" href=\"https://www.example.com/checks\">Another site</a></li>"
      "<li><button id=\"scripted\" onclick=\"location.href='https://www.example.com/scripted'\">"
      "Go to another site by script</button></li>"
      "<li><a id=\"mail\" href=\"mailto:checks@example.com\">Send mail</a></li>"
      "<li><a id=\"tel\" href=\"tel:+15550100\">Call</a></li></ul>"
      "<p>A frame of this service that asks to start a recording:</p>"
      "<iframe id=\"own\" title=\"Own frame\" src=\"" + own + "/clients/frame-start\"></iframe>";
  if (!foreignFrame.empty()) {
    body += "<p>A frame of another origin:</p><iframe id=\"foreign\" title=\"Foreign frame\" src=\"" +
            htmlEscape(foreignFrame) + "\"></iframe>";
  }
  return page("Navigation checks", body);
}

std::string frameStartPage() {
  return page("Frame",
              "<p id=\"result\">Not sent.</p><script>"
              "var h = window.webkit && window.webkit.messageHandlers &&"
              " window.webkit.messageHandlers.haldenDesktop;"
              "if (h) { h.postMessage({action: 'start', meetingId: crypto.randomUUID(),"
              " clientId: 'frame', clientName: 'From a frame'});"
              " document.getElementById('result').textContent = 'Sent start from a frame.'; }"
              "</script>");
}

std::string downloadText(const std::string& name) {
  return "Halden meeting notes (" + name +
         ")\n\nThis file comes from the local stand-in service. It stands for a document "
         "that the workspace offers as a download.\n";
}

}  // namespace halden::devservice
