// The messages between the web-process extension and the application.
//
// The extension runs inside every web process of the workspace view. It is
// the only place that knows, at the moment something happens, which frame it
// happens in: the application's side of WebKit cannot tell a main-frame
// navigation from a sub-frame one, nor which frame posted a script message.
// Both facts travel with these messages, read from WebKit and not from
// anything the page supplies.
#pragma once

namespace halden::extension {

// The extension's initialization data: the service base URL as a string
// GVariant, the origin against which navigations are trusted.

// From the page: window.webkit.messageHandlers.haldenDesktop.postMessage(body).
// Parameters "(bss)": the sender frame is the main frame, the sender frame's
// document URL ("" when it has none), the body as JSON text ("" when it has no
// JSON form).
inline constexpr const char* scriptMessage = "haldenDesktop.postMessage";

// A document load of a frame to an address not of the service's origin,
// which the extension cancelled before its request left the web process.
// Parameters "(sb)": the address, the frame is the main frame. The application
// then does what its navigation rules say for that frame (open the address in
// the browser, or nothing).
inline constexpr const char* foreignDocument = "haldenDesktop.foreignDocument";

// The extension's file name, which the application looks for in the
// extension folder before it starts any web process.
inline constexpr const char* moduleFileName = "libhalden-web-extension.so";

}  // namespace halden::extension
