// The desktop around the workspace on GTK 3: the window with its menu bar,
// the tray item with its own copy of the application menu, modal alerts,
// the folder chooser, the user's default handlers, the attention request and
// the logout/suspend inhibitor.
//
// Main thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "app/app_shell.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWidget GtkWidget;

namespace halden {

// The commands of the menus.
enum class MenuCommand { signIn, showWorkspace, endRecording, showRecordings, quit };

struct DesktopCommands {
  std::function<void(MenuCommand)> menu;
  // An Edit item: the name of the web view's editing command to run
  // ("Undo", "Cut", "Copy", "Paste", "SelectAll").
  std::function<void(const char* command)> edit;
  // A quit answered "later" may now go ahead.
  std::function<void()> quitConfirmed;
};

class GtkDesktop final : public AppShell {
 public:
  // Builds the window around `content` (the web view) and the tray item, in
  // that order; the window is not shown yet. `iconName` names the themed
  // icon of the window and the tray item.
  GtkDesktop(GtkApplication* application, GtkWidget* content, const std::string& iconName,
             DesktopCommands commands);
  ~GtkDesktop() override;
  GtkDesktop(const GtkDesktop&) = delete;
  GtkDesktop& operator=(const GtkDesktop&) = delete;

  // WorkspaceShell
  Task<std::size_t> alert(std::string title, std::string message,
                          std::vector<std::string> buttons) override;
  void setWindowTitle(const std::string& title) override;
  void setStatusTitle(const std::string& title) override;
  void setEndItemsEnabled(bool enabled) override;
  void openUrl(const std::string& url) override;
  Task<std::optional<std::filesystem::path>> chooseFolder(std::string title,
                                                          std::filesystem::path start) override;
  void requestAttention() override;
  void showWindow() override;

  // AppShell
  void replyToQuit() override;
  void setBusy(std::optional<std::string> reason) override;
  void notify(const HealthNotice& notice) override;
  bool windowFocused() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halden
