// The application mode: one GtkApplication per user session, owning the
// window, the web view, the tray item and the application delegate.
#pragma once

namespace halden {

// The GApplication id, also the name of the desktop entry and the icon.
inline constexpr const char* applicationId = "com.tallowmere.halden";

// Runs the desktop application until a quit that the quit guard lets
// through; returns the process's exit status. A second launch in the same
// session raises the running window and returns at once.
int runDesktopApplication(const char* programPath);

}  // namespace halden
