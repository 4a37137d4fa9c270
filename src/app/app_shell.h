// What the application delegate needs of the desktop beyond the workspace
// session's needs: the confirmation of a quit that was answered "later", and
// holding off logout and suspend while work that only this process can finish
// is under way.
#pragma once

#include <optional>
#include <string>

#include "app/health_monitor.h"
#include "workspace/workspace_shell.h"

namespace halden {

class AppShell : public WorkspaceShell {
 public:
  // Lets a quit held back with QuitAnswer::later go ahead.
  virtual void replyToQuit() = 0;
  // What the application is busy with ("Recording a meeting", "Uploading a
  // meeting"), or nothing. Called whenever it may have changed.
  virtual void setBusy(std::optional<std::string> reason) = 0;
  // Shows `notice` through the desktop's notification service.
  virtual void notify(const HealthNotice& notice) = 0;
  // True while the window is shown and has the keyboard focus.
  virtual bool windowFocused() const = 0;
};

}  // namespace halden
