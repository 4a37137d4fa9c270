// A desktop for the application's tests: alerts the test answers (at once by
// a rule, or later by hand), titles remembered with their history, and a
// workspace view that shows whatever URL the test says.
#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/app_shell.h"
#include "base/main_context.h"
#include "service/cookie_store.h"

namespace halden::testing {

class FakeShell final : public AppShell {
 public:
  struct Alert {
    std::string title;
    std::string message;
    std::vector<std::string> buttons;
  };

  // Answers an alert as it opens: the index of a button, or nothing to leave
  // it open until answer() is called.
  std::function<std::optional<std::size_t>(const Alert&)> answerRule =
      [](const Alert&) -> std::optional<std::size_t> { return 0; };

  Task<std::size_t> alert(std::string title, std::string message,
                          std::vector<std::string> buttons) override {
    alerts.push_back({std::move(title), std::move(message), std::move(buttons)});
    const std::optional<std::size_t> now = answerRule(alerts.back());
    auto shown = awaitCallback<std::size_t>([this, now](Resolver<std::size_t> resolve) {
      if (now) {
        resolve(*now);
      } else {
        open_.push_back(std::move(resolve));
      }
    });
    co_return co_await shown;
  }
  // Answers the oldest alert still open with button `index`.
  void answer(std::size_t index) {
    Resolver<std::size_t> resolve = std::move(open_.front());
    open_.pop_front();
    resolve(index);
  }
  std::size_t openAlerts() const { return open_.size(); }

  void setWindowTitle(const std::string& title) override { windowTitles.push_back(title); }
  void setStatusTitle(const std::string&) override {}
  void setEndItemsEnabled(bool enabled) override { endItemsEnabled = enabled; }
  void openUrl(const std::string& url) override { openedUrls.push_back(url); }
  Task<std::optional<std::filesystem::path>> chooseFolder(std::string title,
                                                          std::filesystem::path start) override {
    chooserTitles.push_back(std::move(title));
    chooserStarts.push_back(std::move(start));
    std::optional<std::filesystem::path> chosen;
    if (!chosenFolders.empty()) {
      chosen = std::move(chosenFolders.front());
      chosenFolders.pop_front();
    }
    co_return chosen;
  }
  void requestAttention() override { ++attentionRequests; }
  void showWindow() override {}
  void replyToQuit() override {}
  void setBusy(std::optional<std::string> reason) override { busyReasons.push_back(reason); }
  void notify(const HealthNotice& notice) override { notices.push_back(notice.id); }
  bool windowFocused() const override { return focused; }

  std::vector<Alert> alerts;
  std::vector<std::string> windowTitles, openedUrls, chooserTitles;
  std::vector<std::filesystem::path> chooserStarts;
  std::deque<std::optional<std::filesystem::path>> chosenFolders;  // the chooser's answers
  bool endItemsEnabled = false;
  int attentionRequests = 0;
  std::vector<std::optional<std::string>> busyReasons;
  std::vector<std::string> notices;
  bool focused = true;

 private:
  std::deque<Resolver<std::size_t>> open_;
};

class FakeView final : public WorkspaceView {
 public:
  explicit FakeView(CookieStore& cookies) : cookies_(cookies) {}

  void openHere(const std::string&) override {}
  void load(const std::string& url, std::chrono::seconds) override { url_ = url; }
  std::optional<std::string> currentUrl() const override { return url_; }
  void evaluateScript(const std::string& script) override { scripts.push_back(script); }
  void loadHtml(const std::string&, const std::string& baseUrl) override { url_ = baseUrl; }
  void setMuted(bool silent) override { muteChanges.push_back(silent); }
  CookieStore& cookies() override { return cookies_; }

  // The page the view shows now, as if the user had navigated there.
  void show(std::optional<std::string> url) { url_ = std::move(url); }

  std::vector<std::string> scripts;
  std::vector<bool> muteChanges;

 private:
  CookieStore& cookies_;
  std::optional<std::string> url_;
};

}  // namespace halden::testing
