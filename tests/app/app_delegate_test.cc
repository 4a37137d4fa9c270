// The application delegate driven through a fake desktop and web view, the
// scripted capture stream and the real stand-in service: what the desktop
// end-to-end tests do not reach, or only slowly (logout held across a meeting,
// failures, refusals, recovery, quit answers).
#include "app/app_delegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "capture/scripted_capture.h"
#include "service/client_test_support.h"
#include "testing/fake_desktop.h"
#include "testing/file_size_limit.h"
#include "testing/main_context.h"
#include "testing/stand_in_control.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using json = nlohmann::json;

constexpr char meetingId[] = "6f1c2a8e-3b4d-4e5f-8a9b-0c1d2e3f4a5b";
const AudioFormat mono16{SampleFormat::float32, 16000, 1};
const Error lostServer("PulseAudio", 10, "Connection terminated");
constexpr char lostMessage[] =
    "Recording stopped: Connection terminated. Recover the saved recording to upload it.";

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cookies_.cookies = {testing::cookie(std::string(sessionCookieMarker),
                                        std::string(testing::sessionValue), "127.0.0.1")};
    makeDelegate();
  }

  void makeDelegate(std::chrono::milliseconds lengthLimit = recordingLengthLimit) {
    capture_ = std::make_shared<testing::ScriptedCaptureService::State>();
    delegate_ = std::make_unique<AppDelegate>(
        *ServiceUrl::parse(service_.baseUrl), shell_, view_, *transport_,
        std::make_unique<testing::ScriptedCaptureService>(capture_),
        AppDelegate::Options{.root = root_, .recordingLengthLimit = lengthLimit});
    delegate_->launch();
  }

  std::string workspaceUrl() const { return service_.baseUrl + "/clients/workspace"; }
  void post(const json& body) { delegate_->scriptMessage(true, workspaceUrl(), body.dump()); }
  void start(const char* id = meetingId) {
    post({{"action", "start"}, {"meetingId", id}, {"clientId", "c-7"}, {"clientName", "Acme"}});
  }
  void stop() { post({{"action", "stop"}}); }
  // Runs the main context until `done` holds (at most `limit` idle passes of
  // a millisecond).
  template <typename Condition>
  bool runUntil(Condition done, int limit = 20000) {
    for (int i = 0; i < limit && !done(); ++i) {
      if (!g_main_context_iteration(context_.get(), FALSE)) g_usleep(1000);
    }
    return done();
  }
  bool recording() const { return delegate_->state().isRecording; }
  bool settled() const {
    const SessionState& state = delegate_->state();
    return !state.isRecording && !state.starting && !state.stopping && !delegate_->uploading();
  }
  void idle() {
    runUntil([] { return false; }, 50);
  }
  // The detail of every event the page received.
  std::vector<json> events() const {
    std::vector<json> all;
    for (std::string_view script : view_.scripts) {
      const std::size_t open = script.find('{', script.find("detail:"));
      all.push_back(json::parse(script.substr(open, script.rfind('}') - open)));
    }
    return all;
  }
  // The states of those events, in order and separated by spaces.
  std::string states() const {
    std::string all;
    for (const json& event : events()) all += " " + event.at("state").get<std::string>();
    return all.empty() ? all : all.substr(1);
  }
  QuitAnswer quit() { return runToCompletion(delegate_->shouldTerminate()); }
  testing::ScriptedStreamEnd& stream() { return *capture_->streams.back(); }
  std::filesystem::path folder() const { return root_ / meetingId; }
  // Delivers `seconds` of a tone on both sources and waits until the
  // recorder has taken it (a stop drops what it has not).
  void record(int seconds) {
    for (int s = 0; s < seconds; ++s) {
      for (CaptureSource source : {CaptureSource::system, CaptureSource::microphone}) {
        stream().deliver(testing::sineBuffer(source, mono16, 16000, 100 + s, 440, 0.3, 16000 * s));
      }
    }
    stream().drain();
  }

  testing::PrivateMainContext context_;
  const testing::SharedService& service_ = testing::sharedService(false);
  testing::StandInControl control_{service_.baseUrl};
  testing::TempFolder temp_;
  std::filesystem::path root_ = temp_.path() / "data" / "Halden" / "Recordings";
  testing::MemoryCookieStore cookies_;
  std::unique_ptr<HttpTransport> transport_ = createCurlTransport(service_.transportOptions());
  testing::FakeShell shell_;
  testing::FakeView view_{cookies_};
  std::shared_ptr<testing::ScriptedCaptureService::State> capture_;
  std::unique_ptr<AppDelegate> delegate_;
  std::optional<testing::FileSizeLimit> sizeLimit_;
};

// Logout and suspend are held back for the recording, then for every chunk of
// its upload, and let go with "ready": an inhibitor once stayed held after a
// meeting. Events are remembered while the view shows another origin and
// nothing reaches it; "status" from the workspace tells what was missed.
TEST_F(AppDelegateTest, AMeetingHoldsLogoutUntilReadyAndStatusTellsWhatTheViewMissed) {
  start();
  ASSERT_TRUE(runUntil([&] { return recording(); }));
  record(65);  // two chunks
  view_.show("https://elsewhere.example/page");
  const std::size_t sent = view_.scripts.size();
  stop();
  ASSERT_TRUE(runUntil(
      [&] { return delegate_->state().noticeState == "ready" && !shell_.busyReasons.back(); }));
  EXPECT_EQ(view_.scripts.size(), sent);
  view_.show(workspaceUrl());
  post({{"action", "status"}});
  EXPECT_EQ(states(), "processing recording ready");
  std::vector<std::optional<std::string>> reasons = shell_.busyReasons;
  reasons.erase(std::unique(reasons.begin(), reasons.end()), reasons.end());
  EXPECT_THAT(reasons, ElementsAre(std::nullopt, "Recording a meeting", "Uploading a meeting",
                                   std::nullopt));
  EXPECT_EQ(control_.summaries().at(0).at("expectedChunks"), 2);
  EXPECT_THAT(view_.muteChanges, ElementsAre(true, false));  // the app's sound kept out
  EXPECT_EQ(shell_.attentionRequests, 1);
  EXPECT_TRUE(shell_.notices.empty());  // in the foreground, and healthy
}

// A start or a recording that ends without an upload, and what the page and
// the disk show afterwards.
struct EndingCase {
  const char* name;
  const char* states;
  const char* message;
  bool folderStays, captureStarted;
};

const EndingCase endings[] = {
    {"Canceled", "processing idle", "Recording was canceled.", false, false},
    // A saved recording of the meeting, which must stay exactly as it was.
    {"FolderAlreadyThere", "processing error",
     "This meeting already has a saved recording. Recover it instead.", true, false},
    // No half-made folder blocks the meeting once there is room.
    {"MeetingJsonCannotBeWritten", "processing error", "File too large", false, false},
    {"CaptureCannotStart", "processing error", "Connection terminated", true, true},
    // The platform stops the stream while the start flow waits for it.
    {"CaptureLostWhileStarting", "processing error error", lostMessage, true, true},
    {"CaptureLostWhileRecording", "processing recording error", lostMessage, true, true},
    {"CaptureCannotStop", "processing recording processing error", "Connection terminated", true,
     true},
};

class EndingTest : public AppDelegateTest, public ::testing::WithParamInterface<EndingCase> {};

TEST_P(EndingTest, LeavesTheSessionIdleAndUploadsNothing) {
  const EndingCase& row = GetParam();
  const std::string_view name = row.name;
  if (name == "Canceled") shell_.answerRule = [](auto&) { return 1u; };
  if (name == "MeetingJsonCannotBeWritten") sizeLimit_.emplace(8);
  if (name == "CaptureCannotStart") capture_->script.startError = lostServer;
  if (name == "CaptureCannotStop") capture_->script.stopError = lostServer;
  if (name == "FolderAlreadyThere") {
    std::filesystem::create_directories(folder());
    testing::writeBytes(folder() / "meeting.json", std::string_view("{}"));
  }
  if (name == "CaptureLostWhileStarting") {
    capture_->script.onStart = [this] {
      stream().reportStop(lostServer);
      stream().drain();
    };
  }
  start();
  if (std::string_view(row.states).starts_with("processing recording")) {
    ASSERT_TRUE(runUntil([&] { return recording(); }));
    name == "CaptureCannotStop" ? stop() : stream().reportStop(lostServer);
  }
  ASSERT_TRUE(runUntil([&] { return states() == row.states && settled(); })) << states();
  sizeLimit_.reset();
  idle();
  EXPECT_EQ(events().back().at("message"), row.message);
  EXPECT_EQ(std::filesystem::exists(folder()), row.folderStays);
  EXPECT_EQ(std::filesystem::exists(root_), name != "Canceled");
  if (name == "FolderAlreadyThere") {
    EXPECT_EQ(testing::readBytes(folder() / "meeting.json"), (Bytes{'{', '}'}));
    EXPECT_FALSE(delegate_->state().meetingId);
  }
  // Muted only for a confirmed recording whose capture hears the page too.
  const bool confirmed = std::string_view(row.states).find("recording") != std::string_view::npos;
  EXPECT_EQ(view_.muteChanges, (confirmed ? std::vector{true, false} : std::vector<bool>()));
  EXPECT_EQ(capture_->streams.empty(), !row.captureStarted);
  EXPECT_FALSE(shell_.busyReasons.back());
  EXPECT_FALSE(shell_.endItemsEnabled);
  EXPECT_TRUE(shell_.windowTitles.empty() || shell_.windowTitles.back() == "Halden");
  EXPECT_THAT(control_.requests(), IsEmpty());
  EXPECT_EQ(quit(), QuitAnswer::now);  // nothing to ask about
}

std::string endingName(const ::testing::TestParamInfo<EndingCase>& row) { return row.param.name; }
INSTANTIATE_TEST_SUITE_P(AppDelegate, EndingTest, ::testing::ValuesIn(endings), endingName);

// In the background, the outcome is notified.
TEST_F(AppDelegateTest, RequestsDuringAnOpenConfirmationOrAnUploadAreRefusedQuitIsAsked) {
  shell_.focused = false;
  shell_.answerRule = [](auto&) { return std::nullopt; };
  start();
  idle();
  ASSERT_EQ(shell_.openAlerts(), 1u);
  start();  // refused: the first start is still asking
  stop();
  idle();
  EXPECT_EQ(quit(), QuitAnswer::now);  // an unconfirmed start holds nothing back
  EXPECT_EQ(shell_.alerts.size(), 1u);
  EXPECT_EQ(states(), "processing");
  shell_.answer(0);
  ASSERT_TRUE(runUntil([&] { return recording(); }));
  record(2);

  // While the upload is held back the page and the menu try to end the
  // recording again, the platform reports a failure, and the user quits.
  control_.addFault({{"path", std::string("/api/meetings/") + meetingId + "/audio"},
                     {"kind", "delay"},
                     {"delayMs", 1500}});
  capture_->script.onStop = [this] { stream().reportStop(lostServer); };
  stop();
  ASSERT_TRUE(runUntil([&] { return delegate_->uploading(); }));
  shell_.answerRule = [](auto&) { return 0u; };  // keep open
  EXPECT_EQ(quit(), QuitAnswer::cancel);
  shell_.answerRule = [](auto&) { return 1u; };
  EXPECT_EQ(quit(), QuitAnswer::now);
  stop();
  post({{"action", "start"}, {"meetingId", "0b5a5f1e-9c3d-4d2e-8f1a-2b3c4d5e6f70"}});
  post({{"action", "retry"}});
  delegate_->endFromMenu();
  ASSERT_TRUE(runUntil([&] { return states().ends_with("ready") && settled(); }));
  EXPECT_EQ(states(), "processing recording processing processing processing processing ready");
  EXPECT_TRUE(shell_.chooserTitles.empty());
  EXPECT_THAT(shell_.notices, ElementsAre("meeting"));
}

// A cancelled folder chooser says nothing; a folder that holds no meeting is
// an error and uploads nothing. (A failed meeting kept private and recovered
// through the chooser: the desktop security and quit tests.)
TEST_F(AppDelegateTest, ARetryWithoutAMeetingChosenUploadsNothing) {
  std::filesystem::create_directories(root_);
  shell_.chosenFolders = {std::nullopt, root_};
  post({{"action", "retry"}});
  idle();
  EXPECT_EQ(shell_.chooserStarts.back(), root_);
  EXPECT_THAT(view_.scripts, IsEmpty());
  post({{"action", "retry"}});
  ASSERT_TRUE(runUntil([&] { return !view_.scripts.empty() && settled(); }));
  EXPECT_EQ(states(), "error");
  EXPECT_THAT(control_.requests(), IsEmpty());
}

TEST_F(AppDelegateTest, ASignInWaitingForTheBrowserDoesNotHoldTheQuitBack) {
  delegate_->signIn();
  ASSERT_TRUE(runUntil([&] { return delegate_->signingIn() && !shell_.openedUrls.empty(); }));
  EXPECT_EQ(quit(), QuitAnswer::now);
  EXPECT_THAT(shell_.alerts, IsEmpty());
}

// "Quit and recover later" stopping with no upload and no event: the desktop
// quit test.
TEST_F(AppDelegateTest, AKeptRecordingStillEndsByItsTimer) {
  makeDelegate(std::chrono::milliseconds(2000));
  start();
  ASSERT_TRUE(runUntil([&] { return recording(); }));
  shell_.answerRule = [](auto&) { return 0u; };  // keep open
  EXPECT_EQ(quit(), QuitAnswer::cancel);
  EXPECT_EQ(shell_.alerts.size(), 2u);  // its texts: the desktop quit test
  EXPECT_TRUE(recording());
  ASSERT_TRUE(runUntil([&] { return settled(); }));  // ended by the timer: nothing to upload
  EXPECT_TRUE(states().starts_with("processing recording processing")) << states();
}

}  // namespace
}  // namespace halden
