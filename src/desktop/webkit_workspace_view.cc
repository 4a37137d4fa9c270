#include "desktop/webkit_workspace_view.h"

#include <gtk/gtk.h>
#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <iostream>
#include <system_error>
#include <utility>
#include <vector>

#include "base/main_context.h"
#include "desktop/extension_protocol.h"
#include "store/files.h"

namespace halden {
namespace {

namespace fs = std::filesystem;

constexpr const char* loadTimedOutMessage = "The request timed out.";

std::optional<std::string> text(const char* value) {
  if (!value) return std::nullopt;
  return std::string(value);
}

Cookie fromSoup(SoupCookie* cookie) {
  Cookie converted;
  converted.name = soup_cookie_get_name(cookie);
  converted.value = soup_cookie_get_value(cookie);
  converted.domain = soup_cookie_get_domain(cookie);
  if (const char* path = soup_cookie_get_path(cookie)) converted.path = path;
  if (GDateTime* expires = soup_cookie_get_expires(cookie)) {
    converted.expires = std::chrono::system_clock::from_time_t(g_date_time_to_unix(expires));
  }
  converted.httpOnly = soup_cookie_get_http_only(cookie);
  converted.secure = soup_cookie_get_secure(cookie);
  switch (soup_cookie_get_same_site_policy(cookie)) {
    case SOUP_SAME_SITE_POLICY_LAX:
      converted.sameSite = "Lax";
      break;
    case SOUP_SAME_SITE_POLICY_STRICT:
      converted.sameSite = "Strict";
      break;
    case SOUP_SAME_SITE_POLICY_NONE:
      converted.sameSite = "None";
      break;
  }
  return converted;
}

SoupCookie* toSoup(const Cookie& cookie) {
  SoupCookie* converted = soup_cookie_new(cookie.name.c_str(), cookie.value.c_str(),
                                          cookie.domain.c_str(), cookie.path.c_str(), -1);
  if (cookie.expires) {
    GDateTime* expires =
        g_date_time_new_from_unix_utc(std::chrono::system_clock::to_time_t(*cookie.expires));
    soup_cookie_set_expires(converted, expires);
    g_date_time_unref(expires);
  }
  soup_cookie_set_http_only(converted, cookie.httpOnly);
  soup_cookie_set_secure(converted, cookie.secure);
  if (cookie.sameSite == "Lax")
    soup_cookie_set_same_site_policy(converted, SOUP_SAME_SITE_POLICY_LAX);
  if (cookie.sameSite == "Strict")
    soup_cookie_set_same_site_policy(converted, SOUP_SAME_SITE_POLICY_STRICT);
  if (cookie.sameSite == "None")
    soup_cookie_set_same_site_policy(converted, SOUP_SAME_SITE_POLICY_NONE);
  return converted;
}

class WebKitCookies final : public CookieStore {
 public:
  explicit WebKitCookies(WebKitCookieManager* manager) : manager_(manager) {}

  Task<std::vector<Cookie>> getAll() override {
    auto read = awaitCallback<std::vector<Cookie>>([this](Resolver<std::vector<Cookie>> resolve) {
      webkit_cookie_manager_get_all_cookies(
          manager_, nullptr,
          [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Resolver<std::vector<Cookie>>> done(
                static_cast<Resolver<std::vector<Cookie>>*>(data));
            GList* list = webkit_cookie_manager_get_all_cookies_finish(
                WEBKIT_COOKIE_MANAGER(source), result, nullptr);
            std::vector<Cookie> cookies;
            for (GList* item = list; item; item = item->next) {
              cookies.push_back(fromSoup(static_cast<SoupCookie*>(item->data)));
            }
            g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
            (*done)(std::move(cookies));
          },
          new Resolver<std::vector<Cookie>>(std::move(resolve)));
    });
    co_return co_await read;
  }

  Task<Result<void>> add(Cookie cookie) override {
    auto added = awaitCallback<Result<void>>([this, &cookie](Resolver<Result<void>> resolve) {
      SoupCookie* converted = toSoup(cookie);
      webkit_cookie_manager_add_cookie(
          manager_, converted, nullptr,
          [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Resolver<Result<void>>> done(
                static_cast<Resolver<Result<void>>*>(data));
            GError* error = nullptr;
            if (webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result,
                                                        &error)) {
              (*done)(Result<void>());
            } else {
              std::string message = error ? error->message : "The cookie could not be stored.";
              g_clear_error(&error);
              (*done)(failure(std::move(message)));
            }
          },
          new Resolver<Result<void>>(std::move(resolve)));
      soup_cookie_free(converted);
    });
    co_return co_await added;
  }

 private:
  WebKitCookieManager* manager_;
};

// A link followed or a form sent. Its target is taken to be the main frame:
// a process swap makes a main-frame load cancelled in the web process leave
// the view blank, and a user's click on a foreign link belongs in the
// browser even from within a frame.
bool followsTheUser(WebKitNavigationAction* action) {
  switch (webkit_navigation_action_get_navigation_type(action)) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
      return true;
    default:
      return false;
  }
}

// Why WebKit's sandbox cannot start here (bubblewrap's own words), or
// nullopt when it can: the namespaces its web processes get, around a
// program that does nothing.
std::optional<std::string> sandboxFailure() {
  // Where WebKit runs it from.
  const char* argv[] = {"/usr/bin/bwrap", "--ro-bind",     "/",    "/",    "--unshare-pid",
                        "--unshare-ipc",  "--unshare-uts", "true", nullptr};
  gchar* errors = nullptr;
  gint status = 0;
  GError* error = nullptr;
  const bool ran =
      g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr,
                   nullptr, nullptr, &errors, &status, &error);
  std::optional<std::string> failure;
  if (!ran) {
    failure = error->message;
  } else if (!g_spawn_check_wait_status(status, nullptr)) {
    failure = g_strstrip(errors);
    if (failure->ends_with('.')) failure->pop_back();  // it goes inside a sentence
  }
  g_clear_error(&error);
  g_free(errors);
  return failure;
}

bool isWebScheme(std::string_view url) {
  return url.starts_with("http:") || url.starts_with("https:");
}

}  // namespace

std::optional<fs::path> findWebExtension(const fs::path& executable, const fs::path& installed) {
  std::error_code error;
  for (const fs::path& folder : {executable.parent_path() / "web-extension", installed}) {
    if (fs::is_regular_file(folder / extension::moduleFileName, error)) return folder;
  }
  return std::nullopt;
}

struct WebKitWorkspaceView::Impl {
  WorkspaceViewEvents events;
  bool framesKnown = false;
  std::string serviceUrl;
  std::optional<fs::path> extensionFolder;
  WebKitWebsiteDataManager* dataManager = nullptr;
  WebKitWebContext* context = nullptr;
  WebKitWebView* view = nullptr;
  std::unique_ptr<WebKitCookies> cookies;
  guint loadTimer = 0;
  std::optional<std::string> restoreAfterBlank;
  // The request of the last new-window action decided, for openHere().
  WebKitURIRequest* newWindowRequest = nullptr;
  // Why the page cannot run here: WebKit's sandbox cannot start, and
  // WebKit would abort the whole application at the first web process.
  // Set, no page is ever loaded; every load reports this instead.
  std::optional<std::string> sandboxBroken;

  // False, and the reason reported, when the page cannot run.
  bool pageCanRun() {
    if (!sandboxBroken) return true;
    stopLoadTimer();
    events.pageEnded(*sandboxBroken);
    return false;
  }

  void keepNewWindowRequest(WebKitURIRequest* request) {
    if (request) g_object_ref(request);
    if (newWindowRequest) g_object_unref(newWindowRequest);
    newWindowRequest = request;
  }

  void stopLoadTimer() {
    if (loadTimer) g_source_remove(loadTimer);
    loadTimer = 0;
  }

  static void initializeExtensions(WebKitWebContext* context, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (!self->extensionFolder) return;
    webkit_web_context_set_web_extensions_directory(context, self->extensionFolder->c_str());
    webkit_web_context_set_web_extensions_initialization_user_data(
        context, g_variant_new_string(self->serviceUrl.c_str()));
  }

  static gboolean decidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                               WebKitPolicyDecisionType type, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
      return FALSE;  // responses: WebKit's default
    }
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const std::optional<std::string> url =
        text(webkit_uri_request_get_uri(webkit_navigation_action_get_request(action)));
    bool allowed;
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
      self->keepNewWindowRequest(webkit_navigation_action_get_request(action));
      allowed = self->events.decide(url, TargetFrame::none);
    } else if (url && self->framesKnown && isWebScheme(*url) && !self->events.trusted(*url) &&
               !followsTheUser(action)) {
      // A load the page started by itself (a frame's source, a script):
      // which frame it is for is known only in the web process, where the
      // extension cancels the request before it leaves and reports it.
      allowed = true;
    } else {
      // Everything else is decided alike for the main frame and a
      // sub-frame; without the extension a foreign page is never loaded.
      allowed = self->events.decide(url, TargetFrame::mainFrame);
    }
    if (allowed) {
      webkit_policy_decision_use(decision);
    } else {
      webkit_policy_decision_ignore(decision);
    }
    return TRUE;
  }

  // window.open(): never a second view.
  static GtkWidget* createView(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    self->keepNewWindowRequest(request);
    self->events.decide(text(webkit_uri_request_get_uri(request)), TargetFrame::none);
    return nullptr;
  }

  static void loadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (event != WEBKIT_LOAD_COMMITTED) return;
    self->stopLoadTimer();
    std::optional<std::string> restore = std::exchange(self->restoreAfterBlank, std::nullopt);
    const std::optional<std::string> shown = text(webkit_web_view_get_uri(view));
    if (restore && shown == "about:blank") webkit_web_view_load_uri(view, restore->c_str());
  }

  static gboolean loadFailed(WebKitWebView*, WebKitLoadEvent event, gchar*, GError* error,
                             gpointer data) {
    auto* self = static_cast<Impl*>(data);
    if (event == WEBKIT_LOAD_STARTED) {
      self->stopLoadTimer();
      self->events.provisionalFailure(g_quark_to_string(error->domain), error->code,
                                      error->message ? error->message : "");
    }
    return TRUE;  // never WebKit's own error page
  }

  static gboolean loadTimedOut(gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->loadTimer = 0;
    webkit_web_view_stop_loading(self->view);
    self->events.provisionalFailure(g_quark_to_string(G_IO_ERROR), G_IO_ERROR_TIMED_OUT,
                                    loadTimedOutMessage);
    return G_SOURCE_REMOVE;
  }

  static void webProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                   gpointer data) {
    auto* self = static_cast<Impl*>(data);
    self->stopLoadTimer();
    if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API) return;  // never asked for
    if (reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT) {
      self->events.pageEnded("The workspace page stopped: it used more memory than allowed.");
      return;
    }
    self->events.pageEnded("The workspace page stopped: its web process ended unexpectedly.");
  }

  static gboolean userMessage(WebKitWebView*, WebKitUserMessage* message, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    const std::string_view name = webkit_user_message_get_name(message);
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (name == extension::scriptMessage && parameters &&
        g_variant_is_of_type(parameters, G_VARIANT_TYPE("(bss)"))) {
      gboolean mainFrame = FALSE;
      const char* frameUrl = nullptr;
      const char* body = nullptr;
      g_variant_get(parameters, "(b&s&s)", &mainFrame, &frameUrl, &body);
      self->events.scriptMessage(mainFrame, frameUrl, body);
      return TRUE;
    }
    if (name == extension::foreignDocument && parameters &&
        g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sb)"))) {
      const char* url = nullptr;
      gboolean mainFrame = FALSE;
      g_variant_get(parameters, "(&sb)", &url, &mainFrame);
      // A main-frame load cancelled in a fresh web process leaves that
      // process showing about:blank: the page that was shown comes back.
      if (mainFrame) self->restoreAfterBlank = text(webkit_web_view_get_uri(self->view));
      // Already cancelled; what is left is the rule's side effect.
      (void)self->events.decide(std::string(url),
                                mainFrame ? TargetFrame::mainFrame : TargetFrame::subFrame);
      return TRUE;
    }
    return FALSE;
  }
};

WebKitWorkspaceView::WebKitWorkspaceView(const WorkspaceViewFolders& folders,
                                         const std::string& serviceUrl, WorkspaceViewEvents events)
    : impl_(std::make_unique<Impl>()) {
  Impl& impl = *impl_;
  impl.events = std::move(events);
  impl.serviceUrl = serviceUrl;
  impl.extensionFolder = folders.extension;
  impl.framesKnown = folders.extension.has_value();
  // The cookie database is created world-readable inside; its folder is not.
  (void)createFolders(folders.data, 0700);
  (void)createFolders(folders.cache, 0700);
  impl.dataManager =
      webkit_website_data_manager_new("base-data-directory", folders.data.c_str(),
                                      "base-cache-directory", folders.cache.c_str(), nullptr);
  WebKitCookieManager* cookieManager =
      webkit_website_data_manager_get_cookie_manager(impl.dataManager);
  webkit_cookie_manager_set_persistent_storage(cookieManager,
                                               (folders.data / "cookies.sqlite").c_str(),
                                               WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  impl.cookies = std::make_unique<WebKitCookies>(cookieManager);
  impl.context = webkit_web_context_new_with_website_data_manager(impl.dataManager);
  g_signal_connect(impl.context, "initialize-web-extensions",
                   G_CALLBACK(Impl::initializeExtensions), &impl);
  // The page runs scripts from the network: its web process sees only what
  // WebKit's sandbox gives it (its own data, the display, the sound server)
  // and the extension, read-only; never the recordings or the home folder.
  webkit_web_context_set_sandbox_enabled(impl.context, TRUE);
  if (const std::optional<std::string> failure = sandboxFailure()) {
    impl.sandboxBroken =
        "The workspace page cannot run, because its sandbox cannot start on this computer (" +
        (failure->empty() ? std::string("bubblewrap failed") : *failure) + ").";
    std::cerr << "halden: " << *impl.sandboxBroken << std::endl;
  }
  if (folders.extension) {
    webkit_web_context_add_path_to_sandbox(impl.context, folders.extension->c_str(), TRUE);
  }
  impl.view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(impl.context));
  g_object_ref_sink(impl.view);
  g_signal_connect(impl.view, "decide-policy", G_CALLBACK(Impl::decidePolicy), &impl);
  g_signal_connect(impl.view, "create", G_CALLBACK(Impl::createView), &impl);
  g_signal_connect(impl.view, "load-changed", G_CALLBACK(Impl::loadChanged), &impl);
  g_signal_connect(impl.view, "load-failed", G_CALLBACK(Impl::loadFailed), &impl);
  g_signal_connect(impl.view, "user-message-received", G_CALLBACK(Impl::userMessage), &impl);
  g_signal_connect(impl.view, "web-process-terminated", G_CALLBACK(Impl::webProcessTerminated),
                   &impl);
}

WebKitWorkspaceView::~WebKitWorkspaceView() {
  impl_->stopLoadTimer();
  impl_->keepNewWindowRequest(nullptr);
  g_signal_handlers_disconnect_by_data(impl_->view, impl_.get());
  g_signal_handlers_disconnect_by_data(impl_->context, impl_.get());
  g_object_unref(impl_->view);
  g_object_unref(impl_->context);
  g_object_unref(impl_->dataManager);
}

GtkWidget* WebKitWorkspaceView::widget() const { return GTK_WIDGET(impl_->view); }

void WebKitWorkspaceView::executeEditingCommand(const char* command) {
  if (impl_->sandboxBroken) return;  // no page to edit
  webkit_web_view_execute_editing_command(impl_->view, command);
}

void WebKitWorkspaceView::load(const std::string& url, std::chrono::seconds timeout) {
  if (!impl_->pageCanRun()) return;
  impl_->stopLoadTimer();
  webkit_web_view_load_uri(impl_->view, url.c_str());
  impl_->loadTimer =
      g_timeout_add_seconds(static_cast<guint>(timeout.count()), Impl::loadTimedOut, impl_.get());
}

void WebKitWorkspaceView::openHere(const std::string& url) {
  // The page asked for this load; its failure is the page's to handle, so no
  // timer of the workspace page's runs for it.
  if (!impl_->pageCanRun()) return;
  impl_->stopLoadTimer();
  WebKitURIRequest* request = std::exchange(impl_->newWindowRequest, nullptr);
  if (request && text(webkit_uri_request_get_uri(request)) == url) {
    webkit_web_view_load_request(impl_->view, request);
  } else {
    webkit_web_view_load_uri(impl_->view, url.c_str());
  }
  if (request) g_object_unref(request);
}

std::optional<std::string> WebKitWorkspaceView::currentUrl() const {
  return text(webkit_web_view_get_uri(impl_->view));
}

void WebKitWorkspaceView::evaluateScript(const std::string& script) {
  if (impl_->sandboxBroken) return;  // no page to run it in
  webkit_web_view_evaluate_javascript(impl_->view, script.c_str(),
                                      static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
}

void WebKitWorkspaceView::loadHtml(const std::string& html, const std::string& baseUrl) {
  if (!impl_->pageCanRun()) return;
  webkit_web_view_load_html(impl_->view, html.c_str(), baseUrl.c_str());
}

void WebKitWorkspaceView::setMuted(bool muted) { webkit_web_view_set_is_muted(impl_->view, muted); }

CookieStore& WebKitWorkspaceView::cookies() { return *impl_->cookies; }

}  // namespace halden
