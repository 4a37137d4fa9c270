// The stand-in service's small HTML pages (besides the workspace page) and the
// text it serves as downloads. Every value placed in a page is HTML-escaped.
#pragma once

#include <string>

namespace halden::devservice {

std::string htmlEscape(const std::string& text);

// The web sign-in page at /login.
std::string loginPage();

// The browser side of the desktop sign-in: shows `code` and an Approve button
// that posts `id` to /desktop/connect/approve.
std::string connectPage(const std::string& id, const std::string& code);
std::string connectApprovedPage();
std::string connectUnknownPage();

std::string notFoundPage();

// /clients/navigation: one link or button for each kind of navigation the
// app's window must handle, a frame of this service that posts "start", and,
// when `foreignFrame` is not empty, a frame showing that address.
std::string navigationPage(const std::string& origin, const std::string& foreignFrame);
// /clients/frame-start: posts a start request to the app as soon as it loads.
std::string frameStartPage();

// The text of /downloads/<name>.
std::string downloadText(const std::string& name);

}  // namespace halden::devservice
