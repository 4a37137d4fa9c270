// The client workspace page of the stand-in service: what the desktop app
// shows in its window during a local demo. Self-contained (no external
// resources). It speaks the page contract: posts "status", "start", "stop" and
// "retry" to window.webkit.messageHandlers.haldenDesktop and shows every
// "halden:recording" event in a status line and a log.
//
// For scripted tests: every event detail is appended to window.haldenEvents,
// and window.haldenPost(object) posts any object to the app (false when the
// page runs outside the app).
#pragma once

#include <string>

namespace halden::devservice {

// `origin`: the service's origin (links are absolute on it); `signedIn`:
// whether the request carried a valid session.
std::string workspacePage(const std::string& origin, bool signedIn);

}  // namespace halden::devservice
