// What the application delegate needs of the desktop beyond the workspace
// session's needs: the confirmation of a quit that was answered "later".
#pragma once

#include "workspace/workspace_shell.h"

namespace halden {

class AppShell : public WorkspaceShell {
 public:
  // Lets a quit held back with QuitAnswer::later go ahead.
  virtual void replyToQuit() = 0;
};

}  // namespace halden
