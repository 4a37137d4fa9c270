// Desktop sign-in: the user signs in in the system browser with a one-time
// code, and the session cookie the service then hands out goes into the
// workspace's cookie store.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "base/task.h"
#include "service/cookie_store.h"
#include "service/service_client.h"

namespace halden {

inline constexpr std::string_view signInAlertTitle = "Sign-in needs attention";
inline constexpr std::string_view signInStartMessage = "Could not start desktop sign-in.";
inline constexpr std::string_view signInExpiredMessage =
    "Sign-in expired. Choose Sign in through browser from the Halden menu to try again.";
inline constexpr std::string_view signInSaveMessage = "Could not save the sign-in session.";

inline constexpr std::chrono::milliseconds signInPollInterval{4000};
inline constexpr int signInMaximumPolls = 70;
inline constexpr std::chrono::seconds sessionCookieLifetime{86'400};

// The parts of the desktop shell the sign-in drives. All calls come on the
// main context.
class SignInShell {
 public:
  virtual ~SignInShell() = default;
  // Opens `url` in the user's default browser; whether it opened is not known.
  virtual void openInBrowser(const std::string& url) = 0;
  // Shows `html` in the workspace view, with `baseUrl` as its base.
  virtual void showHtml(const std::string& html, const std::string& baseUrl) = 0;
  // Loads the workspace page again and shows the window.
  virtual void showWorkspace() = 0;
  // A modal alert; resumes when the user has dismissed it.
  virtual Task<void> alert(std::string title, std::string message) = 0;
};

// The code page shown while the browser side is approved; `code` is inserted
// as escaped HTML text.
std::string signInCodePage(std::string_view code);

// The session cookie for a base URL: `name`/`value` from the service, domain
// the base's host exactly, path "/", expiring `now` + 24 h, HttpOnly,
// SameSite=Lax, secure only for an https base.
Cookie sessionCookie(const ServiceUrl& appUrl, std::string name, std::string value,
                     std::chrono::system_clock::time_point now);

// Runs on the main context. Invariant: signingIn() is true from signIn()
// starting a flow until that flow has ended (after its alert, if any, was
// dismissed); at most one flow runs.
//
// REQUIRES: the client, cookie store and shell outlive this object, and this
// object outlives every flow it started.
class DesktopSignIn {
 public:
  // Waits before each redeem request; tests pass one that returns at once.
  using Sleep = std::function<Task<void>(std::chrono::milliseconds)>;

  DesktopSignIn(ServiceClient& client, CookieStore& cookies, SignInShell& shell,
                Sleep sleep = defaultSleep);

  bool signingIn() const { return signingIn_; }

  // Starts the sign-in flow as a task of its own and returns at once; does
  // nothing while a flow runs.
  void signIn();

 private:
  static Task<void> defaultSleep(std::chrono::milliseconds duration);
  Task<void> run();
  Task<Result<void>> flow();

  ServiceClient& client_;
  CookieStore& cookies_;
  SignInShell& shell_;
  Sleep sleep_;
  bool signingIn_ = false;
};

}  // namespace halden
