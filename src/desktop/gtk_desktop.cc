#include "desktop/gtk_desktop.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include "base/main_context.h"

namespace halden {
namespace {

constexpr const char* applicationTitle = "Halden";
constexpr const char* endItemTitle = "End recording & prepare review";
// The tray item reserves room for its longest label.
constexpr const char* longestStatusTitle = "\u25CF Recording";
constexpr int contentWidth = 1320, contentHeight = 860;
constexpr int minimumWidth = 900, minimumHeight = 640;

// One entry of the application menu; both the menu bar and the tray item
// are built from this list, in this order. A null title is a separator.
struct MenuEntry {
  const char* title;
  MenuCommand command;
  guint key;  // 0: no shortcut; otherwise Ctrl+key in the window
};

constexpr MenuEntry applicationMenu[] = {
    {"Sign in through browser", MenuCommand::signIn, GDK_KEY_l},
    {"Client workspace", MenuCommand::showWorkspace, GDK_KEY_1},
    {endItemTitle, MenuCommand::endRecording, GDK_KEY_e},
    {"Saved recordings", MenuCommand::showRecordings, 0},
    {nullptr, MenuCommand::quit, 0},
    {"Quit Halden", MenuCommand::quit, GDK_KEY_q},
};

struct EditEntry {
  const char* title;
  const char* command;  // the web view's editing command
  guint key;
};

constexpr EditEntry editMenu[] = {
    {"Undo", "Undo", GDK_KEY_z},   {"Cut", "Cut", GDK_KEY_x},
    {"Copy", "Copy", GDK_KEY_c},   {"Paste", "Paste", GDK_KEY_v},
    {"Select All", "SelectAll", GDK_KEY_a},
};

// Connects "activate" of `item` to `action`, which lives as long as the item.
void onActivate(GtkWidget* item, std::function<void()> action) {
  g_signal_connect_data(
      item, "activate",
      G_CALLBACK(+[](GtkMenuItem*, gpointer data) { (*static_cast<std::function<void()>*>(data))(); }),
      new std::function<void()>(std::move(action)),
      [](gpointer data, GClosure*) { delete static_cast<std::function<void()>*>(data); },
      GConnectFlags(0));
}

}  // namespace

struct GtkDesktop::Impl {
  GtkApplication* application = nullptr;
  DesktopCommands commands;
  GtkWidget* window = nullptr;
  GtkAccelGroup* accelerators = nullptr;
  GtkWidget* windowEndItem = nullptr;
  GtkWidget* trayMenu = nullptr;
  GtkWidget* trayEndItem = nullptr;
  AppIndicator* indicator = nullptr;
  guint inhibitCookie = 0;
  std::optional<std::string> busyReason;

  // The application menu's items into `menu`; Ctrl shortcuts when
  // `accelerators` is given. Returns the end item.
  GtkWidget* fillApplicationMenu(GtkWidget* menu, GtkAccelGroup* group) {
    GtkWidget* endItem = nullptr;
    for (const MenuEntry& entry : applicationMenu) {
      if (!entry.title) {
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
        continue;
      }
      GtkWidget* item = gtk_menu_item_new_with_label(entry.title);
      if (group && entry.key) {
        gtk_widget_add_accelerator(item, "activate", group, entry.key, GDK_CONTROL_MASK,
                                   GTK_ACCEL_VISIBLE);
      }
      onActivate(item, [this, command = entry.command] { commands.menu(command); });
      if (entry.command == MenuCommand::endRecording) {
        gtk_widget_set_sensitive(item, FALSE);
        endItem = item;
      }
      gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    }
    return endItem;
  }

  GtkWidget* buildMenuBar() {
    GtkWidget* bar = gtk_menu_bar_new();
    GtkWidget* appItem = gtk_menu_item_new_with_label(applicationTitle);
    GtkWidget* appMenu = gtk_menu_new();
    gtk_menu_set_accel_group(GTK_MENU(appMenu), accelerators);
    windowEndItem = fillApplicationMenu(appMenu, accelerators);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(appItem), appMenu);
    gtk_menu_shell_append(GTK_MENU_SHELL(bar), appItem);

    GtkWidget* editItem = gtk_menu_item_new_with_label("Edit");
    GtkWidget* edit = gtk_menu_new();
    gtk_menu_set_accel_group(GTK_MENU(edit), accelerators);
    for (const EditEntry& entry : editMenu) {
      GtkWidget* item = gtk_menu_item_new_with_label(entry.title);
      gtk_widget_add_accelerator(item, "activate", accelerators, entry.key, GDK_CONTROL_MASK,
                                 GTK_ACCEL_VISIBLE);
      onActivate(item, [this, command = entry.command] { commands.edit(command); });
      gtk_menu_shell_append(GTK_MENU_SHELL(edit), item);
    }
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(editItem), edit);
    gtk_menu_shell_append(GTK_MENU_SHELL(bar), editItem);
    return bar;
  }

  void buildWindow(GtkWidget* content, const std::string& iconName) {
    window = gtk_application_window_new(application);
    gtk_window_set_title(GTK_WINDOW(window), applicationTitle);
    gtk_window_set_icon_name(GTK_WINDOW(window), iconName.c_str());
    GdkGeometry minimum{};
    minimum.min_width = minimumWidth;
    minimum.min_height = minimumHeight;
    gtk_window_set_geometry_hints(GTK_WINDOW(window), nullptr, &minimum, GDK_HINT_MIN_SIZE);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    accelerators = gtk_accel_group_new();
    gtk_window_add_accel_group(GTK_WINDOW(window), accelerators);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget* menuBar = buildMenuBar();
    gtk_box_pack_start(GTK_BOX(box), menuBar, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), content, TRUE, TRUE, 0);
    gtk_container_add(GTK_CONTAINER(window), box);
    gtk_widget_show_all(box);
    // The content is the web view; the menu bar comes on top of it.
    int menuBarHeight = 0;
    gtk_widget_get_preferred_height(menuBar, nullptr, &menuBarHeight);
    gtk_window_set_default_size(GTK_WINDOW(window), contentWidth, contentHeight + menuBarHeight);

    // Closing the window only hides it; "Client workspace" shows it again.
    g_signal_connect(window, "delete-event",
                     G_CALLBACK(+[](GtkWidget* widget, GdkEvent*, gpointer) -> gboolean {
                       gtk_widget_hide(widget);
                       return TRUE;
                     }),
                     nullptr);
    g_signal_connect(window, "focus-in-event",
                     G_CALLBACK(+[](GtkWidget* widget, GdkEvent*, gpointer) -> gboolean {
                       gtk_window_set_urgency_hint(GTK_WINDOW(widget), FALSE);
                       return FALSE;
                     }),
                     nullptr);
  }

  void buildTray(const std::string& iconName) {
    trayMenu = gtk_menu_new();
    g_object_ref_sink(trayMenu);
    trayEndItem = fillApplicationMenu(trayMenu, nullptr);
    gtk_widget_show_all(trayMenu);
    indicator = app_indicator_new("com.tallowmere.halden", iconName.c_str(),
                                  APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_title(indicator, applicationTitle);
    app_indicator_set_label(indicator, applicationTitle, longestStatusTitle);
    app_indicator_set_menu(indicator, GTK_MENU(trayMenu));
    app_indicator_set_status(indicator, APP_INDICATOR_STATUS_ACTIVE);
  }
};

GtkDesktop::GtkDesktop(GtkApplication* application, GtkWidget* content,
                       const std::string& iconName, DesktopCommands commands)
    : impl_(std::make_unique<Impl>()) {
  impl_->application = application;
  impl_->commands = std::move(commands);
  impl_->buildWindow(content, iconName);
  impl_->buildTray(iconName);
}

GtkDesktop::~GtkDesktop() {
  if (impl_->inhibitCookie) gtk_application_uninhibit(impl_->application, impl_->inhibitCookie);
  g_object_unref(impl_->indicator);
  gtk_widget_destroy(impl_->trayMenu);
  g_object_unref(impl_->trayMenu);
  gtk_widget_destroy(impl_->window);
  g_object_unref(impl_->accelerators);
}

Task<std::size_t> GtkDesktop::alert(std::string title, std::string message,
                                    std::vector<std::string> buttons) {
  if (buttons.empty()) buttons.push_back("OK");
  const std::size_t count = buttons.size();
  auto answered = awaitCallback<std::size_t>([&](Resolver<std::size_t> resolve) {
    // Texts are plain text, never markup: they may carry a client's name.
    GtkWidget* dialog =
        gtk_message_dialog_new(GTK_WINDOW(impl_->window), GTK_DIALOG_MODAL,
                               GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", title.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    if (!message.empty()) {
      gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", message.c_str());
    }
    for (std::size_t i = 0; i < count; ++i) {
      gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), static_cast<int>(i));
    }
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
    struct Pending {
      Resolver<std::size_t> resolve;
      std::size_t count;
    };
    g_signal_connect_data(
        dialog, "response",
        G_CALLBACK(+[](GtkDialog* shown, int response, gpointer data) {
          auto* pending = static_cast<Pending*>(data);
          const bool chosen = response >= 0 && static_cast<std::size_t>(response) < pending->count;
          pending->resolve(chosen ? static_cast<std::size_t>(response) : pending->count);
          gtk_widget_destroy(GTK_WIDGET(shown));
        }),
        new Pending{std::move(resolve), count},
        [](gpointer data, GClosure*) { delete static_cast<Pending*>(data); }, GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dialog));
  });
  co_return co_await answered;
}

void GtkDesktop::setWindowTitle(const std::string& title) {
  gtk_window_set_title(GTK_WINDOW(impl_->window), title.c_str());
}

void GtkDesktop::setStatusTitle(const std::string& title) {
  app_indicator_set_label(impl_->indicator, title.c_str(), longestStatusTitle);
  app_indicator_set_title(impl_->indicator, title.c_str());
}

void GtkDesktop::setEndItemsEnabled(bool enabled) {
  gtk_widget_set_sensitive(impl_->windowEndItem, enabled);
  gtk_widget_set_sensitive(impl_->trayEndItem, enabled);
}

void GtkDesktop::openUrl(const std::string& url) {
  GdkAppLaunchContext* context =
      gdk_display_get_app_launch_context(gtk_widget_get_display(impl_->window));
  g_app_info_launch_default_for_uri_async(
      url.c_str(), G_APP_LAUNCH_CONTEXT(context), nullptr,
      [](GObject*, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::string> opened(static_cast<std::string*>(data));
        GError* error = nullptr;
        if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
          std::cerr << "halden: could not open " << *opened << ": "
                    << (error ? error->message : "no application handles it") << std::endl;
          g_clear_error(&error);
        }
      },
      new std::string(url));
  g_object_unref(context);
}

Task<std::optional<std::filesystem::path>> GtkDesktop::chooseFolder(std::string title,
                                                                    std::filesystem::path start) {
  using Chosen = std::optional<std::filesystem::path>;
  auto chosen = awaitCallback<Chosen>([&](Resolver<Chosen> resolve) {
    GtkWidget* chooser = gtk_file_chooser_dialog_new(
        title.c_str(), GTK_WINDOW(impl_->window), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
        "_Cancel", GTK_RESPONSE_CANCEL, "_Select", GTK_RESPONSE_ACCEPT, nullptr);
    gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
    std::error_code error;
    if (std::filesystem::is_directory(start, error)) {
      gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), start.c_str());
    }
    g_signal_connect_data(
        chooser, "response",
        G_CALLBACK(+[](GtkDialog* shown, int response, gpointer data) {
          auto* done = static_cast<Resolver<Chosen>*>(data);
          Chosen folder;
          if (response == GTK_RESPONSE_ACCEPT) {
            if (char* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(shown))) {
              folder = std::filesystem::path(name);
              g_free(name);
            }
          }
          (*done)(std::move(folder));
          gtk_widget_destroy(GTK_WIDGET(shown));
        }),
        new Resolver<Chosen>(std::move(resolve)),
        [](gpointer data, GClosure*) { delete static_cast<Resolver<Chosen>*>(data); },
        GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(chooser));
  });
  co_return co_await chosen;
}

void GtkDesktop::requestAttention() {
  if (!gtk_window_is_active(GTK_WINDOW(impl_->window))) {
    gtk_window_set_urgency_hint(GTK_WINDOW(impl_->window), TRUE);
  }
}

void GtkDesktop::showWindow() { gtk_window_present(GTK_WINDOW(impl_->window)); }

void GtkDesktop::replyToQuit() { impl_->commands.quitConfirmed(); }

void GtkDesktop::setBusy(std::optional<std::string> reason) {
  if (reason == impl_->busyReason) return;
  if (impl_->inhibitCookie) gtk_application_uninhibit(impl_->application, impl_->inhibitCookie);
  impl_->inhibitCookie = 0;
  impl_->busyReason = std::move(reason);
  if (impl_->busyReason) {
    // 0 when the session offers no inhibitor; the work goes on regardless.
    impl_->inhibitCookie = gtk_application_inhibit(
        impl_->application, GTK_WINDOW(impl_->window),
        GtkApplicationInhibitFlags(GTK_APPLICATION_INHIBIT_LOGOUT | GTK_APPLICATION_INHIBIT_SUSPEND),
        impl_->busyReason->c_str());
  }
}

void GtkDesktop::notify(const HealthNotice& notice) {
  GNotification* shown = g_notification_new(notice.title.c_str());
  g_notification_set_body(shown, notice.body.c_str());
  g_application_send_notification(G_APPLICATION(impl_->application), notice.id.c_str(), shown);
  g_object_unref(shown);
}

bool GtkDesktop::windowFocused() const {
  return gtk_widget_get_visible(impl_->window) && gtk_window_is_active(GTK_WINDOW(impl_->window));
}

}  // namespace halden
