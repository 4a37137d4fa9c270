// The application delegate driven as the desktop, the page and the service
// drive it: a fake desktop and web view, the scripted capture stream, and the
// real stand-in service on loopback.
#include "app/app_delegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "capture/scripted_capture.h"
#include "service/client_test_support.h"
#include "store/format.h"
#include "store/track_file.h"
#include "testing/fake_desktop.h"
#include "testing/file_size_limit.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char meetingId[] = "6f1c2a8e-3b4d-4e5f-8a9b-0c1d2e3f4a5b";
constexpr char scriptPrefix[] = "window.dispatchEvent(new CustomEvent('halden:recording',{detail:";
constexpr char scriptSuffix[] = "}))";
const AudioFormat mono16{SampleFormat::float32, 16000, 1};

// One event the page received.
struct Event {
  std::string state, message;
  std::optional<std::string> meetingId, clientId, clientName;
  bool operator==(const Event&) const = default;
};

void PrintTo(const Event& e, std::ostream* out) {
  *out << e.state << " \"" << e.message << "\" id=" << e.meetingId.value_or("-")
       << " client=" << e.clientId.value_or("-") << "/" << e.clientName.value_or("-");
}

Event eventOf(const std::string& script) {
  EXPECT_TRUE(script.starts_with(scriptPrefix) && script.ends_with(scriptSuffix)) << script;
  const std::string json = script.substr(sizeof scriptPrefix - 1,
                                         script.size() - sizeof scriptPrefix - sizeof scriptSuffix + 2);
  const nlohmann::json detail = nlohmann::json::parse(json);
  auto field = [&](const char* key) -> std::optional<std::string> {
    return detail.contains(key) ? std::optional(detail[key].get<std::string>()) : std::nullopt;
  };
  return {detail.at("state"), detail.at("message"), field("meetingId"), field("clientId"),
          field("clientName")};
}

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(service_.baseUrl.empty());
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
  void post(const nlohmann::json& body) {
    delegate_->scriptMessage(true, workspaceUrl(), body.dump());
  }
  void start(const char* id = meetingId) {
    post({{"action", "start"}, {"meetingId", id}, {"clientId", "c-7"}, {"clientName", "Acme"}});
  }
  // Runs the main context until `done` holds (at most 20 s).
  template <typename Condition>
  bool runUntil(Condition done) {
    for (int i = 0; i < 20000 && !done(); ++i) {
      if (!g_main_context_iteration(context_.get(), FALSE)) g_usleep(1000);
    }
    return done();
  }
  void settle() { runUntil([] { return false; }); }
  void idle(int iterations = 50) {
    for (int i = 0; i < iterations; ++i) {
      context_.drain();
      g_usleep(1000);
    }
  }
  std::vector<Event> events() const {
    std::vector<Event> all;
    for (const std::string& script : view_.scripts) all.push_back(eventOf(script));
    return all;
  }
  std::vector<std::string> states() const {
    std::vector<std::string> all;
    for (const Event& e : events()) all.push_back(e.state);
    return all;
  }
  bool sawState(const std::string& state) const {
    for (const Event& e : events()) {
      if (e.state == state) return true;
    }
    return false;
  }
  testing::ScriptedStreamEnd& stream() { return *capture_->streams.back(); }
  std::filesystem::path folder(const char* id = meetingId) const { return root_ / id; }
  // Delivers `seconds` of a tone on both sources and waits until the tracks
  // hold it.
  void record(int seconds) {
    for (int s = 0; s < seconds; ++s) {
      for (CaptureSource source : {CaptureSource::system, CaptureSource::microphone}) {
        stream().deliver(testing::sineBuffer(source, mono16, 16000, 100 + s,
                                             source == CaptureSource::system ? 440 : 660, 0.3,
                                             16000 * s));
      }
    }
    auto frames = [this](std::string_view track) -> int64_t {
      auto reader = TrackReader::open(folder() / trackFileName(track));
      return reader.ok() ? (*reader)->length() : 0;
    };
    ASSERT_TRUE(runUntil([&] {
      return frames(systemTrackName) >= seconds * 16000 &&
             frames(microphoneTrackName) >= seconds * 16000;
    }));
  }

  testing::PrivateMainContext context_;
  const testing::SharedService& service_ = testing::sharedService(false);
  testing::TempFolder temp_;
  std::filesystem::path root_ = temp_.path() / "data" / "Halden" / "Recordings";
  testing::MemoryCookieStore cookies_;
  std::unique_ptr<HttpTransport> transport_ = createCurlTransport(service_.transportOptions());
  testing::FakeShell shell_;
  testing::FakeView view_{cookies_};
  std::shared_ptr<testing::ScriptedCaptureService::State> capture_;
  std::unique_ptr<AppDelegate> delegate_;
};

// What the service receives (chunk bytes, summary) is the uploader's, checked
// in meeting_upload_test and end to end by the desktop meeting test; here the
// session around it.
TEST_F(AppDelegateTest, AWholeMeetingGoesFromStartToReadyAndLeavesNothingBehind) {
  ASSERT_EQ(view_.loads.size(), 1u);  // the launch shows the workspace
  EXPECT_EQ(view_.loads[0].first, workspaceUrl());

  start();
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  ASSERT_EQ(shell_.alerts.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(testing::readBytes(folder() / "meeting.json")),
            (nlohmann::json{{"meetingId", meetingId}, {"origin", service_.baseUrl}}));
  EXPECT_TRUE(shell_.endItemsEnabled);
  EXPECT_EQ(shell_.statusTitles.back(), "\u25CF Recording");
  EXPECT_EQ(shell_.windowTitles.back(), "Recording \u2014 Halden");
  EXPECT_TRUE(view_.muted);

  record(65);  // two chunks
  post({{"action", "stop"}});
  ASSERT_TRUE(runUntil([&] { return sawState("ready") || sawState("error"); }));
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().stopping; }));
  // Logout and suspend were held back for the recording, then its upload,
  // and are let go with "ready".
  ASSERT_TRUE(runUntil([&] { return !shell_.busyReasons.back(); }));
  std::vector<std::optional<std::string>> reasons;
  for (const auto& reason : shell_.busyReasons) {
    if (reasons.empty() || reasons.back() != reason) reasons.push_back(reason);
  }
  EXPECT_THAT(reasons, ElementsAre(std::nullopt, "Recording a meeting", "Uploading a meeting",
                                   std::nullopt));

  const std::string transcribing = ". You can keep this window in the background.";
  const std::optional<std::string> id = meetingId, client = "c-7", name = "Acme";
  EXPECT_THAT(
      events(),
      ElementsAre(
          Event{"processing", "Waiting for recording confirmation and microphone access\u2026",
                std::nullopt, client, name},
          Event{"recording", "Recording microphone and Mac audio. You can keep working in Halden.",
                id, client, name},
          Event{"processing", "Finishing the recording\u2026", id, client, name},
          Event{"processing", "Preparing the recording\u2026", id, client, name},
          Event{"processing", "Transcribing part 1 of 2" + transcribing, id, client, name},
          Event{"processing", "Transcribing part 2 of 2" + transcribing, id, client, name},
          Event{"processing", "Preparing the summary and proposed memories\u2026", id, client,
                name},
          Event{"ready",
                "Meeting ready to review. The uploaded audio has been removed from this Mac.", id,
                client, name}));
  EXPECT_FALSE(std::filesystem::exists(folder()));
  EXPECT_TRUE(std::filesystem::exists(root_));
  EXPECT_FALSE(view_.muted);
  EXPECT_EQ(shell_.statusTitles.back(), "Halden");
  EXPECT_EQ(shell_.windowTitles.back(), "Halden");
  EXPECT_FALSE(shell_.endItemsEnabled);
  EXPECT_EQ(shell_.attentionRequests, 1);
  EXPECT_TRUE(shell_.notices.empty());  // in the foreground, and healthy
  const SessionState& state = delegate_->state();
  EXPECT_FALSE(state.isRecording || state.starting || state.stopping || delegate_->uploading());
}

const Error lostServer("PulseAudio", 10, "Connection terminated");
constexpr char finishing[] = "Finishing the recording\u2026";
constexpr char lostMessage[] =
    "Recording stopped: Connection terminated. Recover the saved recording to upload it.";

TEST_F(AppDelegateTest, CancelOrAnExistingFolderEndsTheStartAndTouchesNothing) {
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return 1; };  // "Cancel"
  start();
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().starting; }));
  EXPECT_THAT(states(), ElementsAre("processing", "idle"));
  EXPECT_EQ(events().back().message, "Recording was canceled.");
  EXPECT_FALSE(std::filesystem::exists(root_));
  EXPECT_THAT(view_.muteChanges, IsEmpty());
  EXPECT_TRUE(capture_->streams.empty());

  // A folder already there (a saved recording) stays exactly as it was.
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return 0; };
  std::filesystem::create_directories(folder());
  testing::writeBytes(folder() / "meeting.json", std::string_view("{}"));
  start();
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().starting; }));
  EXPECT_THAT(states(), ElementsAre("processing", "idle", "processing", "error"));
  EXPECT_EQ(events().back().message,
            "This meeting already has a saved recording. Recover it instead.");
  EXPECT_EQ(testing::readBytes(folder() / "meeting.json"), (Bytes{'{', '}'}));
  EXPECT_FALSE(delegate_->state().meetingId.has_value());
  EXPECT_THAT(view_.muteChanges, IsEmpty());

  // A meeting.json that cannot be written leaves no folder behind, so the
  // meeting can still be recorded once there is room.
  std::filesystem::remove_all(folder());
  {
    testing::FileSizeLimit cap(8);
    start();
    ASSERT_TRUE(runUntil([&] { return !delegate_->state().starting; }));
  }
  EXPECT_EQ(events().back().message, "File too large");
  EXPECT_FALSE(std::filesystem::exists(folder()));
  EXPECT_TRUE(capture_->streams.empty());
}

TEST_F(AppDelegateTest, AFailingCaptureStartOrStopIsAnErrorAndTheFolderStays) {
  capture_->script.startError = lostServer;
  start();
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().starting; }));
  EXPECT_THAT(states(), ElementsAre("processing", "error"));
  EXPECT_EQ(events().back().message, "Connection terminated");
  EXPECT_EQ(events().back().meetingId, meetingId);  // the folder was made
  EXPECT_TRUE(std::filesystem::exists(folder() / "meeting.json"));
  EXPECT_THAT(view_.muteChanges, ElementsAre(true, false));
  EXPECT_FALSE(shell_.endItemsEnabled);

  // A second meeting whose capture cannot be stopped: no upload follows.
  capture_->script.startError.reset();
  capture_->script.stopError = lostServer;
  const char other[] = "0b5a5f1e-9c3d-4d2e-8f1a-2b3c4d5e6f70";
  start(other);
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  post({{"action", "stop"}});
  ASSERT_TRUE(runUntil([&] { return view_.scripts.size() == 6; }));
  EXPECT_THAT(states(), ElementsAre("processing", "error", "processing", "recording",
                                    "processing", "error"));
  EXPECT_EQ(events()[4].message, finishing);
  EXPECT_EQ(events().back().message, "Connection terminated");
  EXPECT_TRUE(std::filesystem::exists(folder(other)));
  EXPECT_THAT(testing::serviceLog(service_.service), IsEmpty());
  const SessionState& state = delegate_->state();
  EXPECT_FALSE(state.isRecording || state.starting || state.stopping);
  EXPECT_EQ(shell_.windowTitles.back(), "Halden");
  EXPECT_THAT(view_.muteChanges, ElementsAre(true, false, true, false));
}

TEST_F(AppDelegateTest, ACaptureFailureEndsTheRecordingWithoutUpload) {
  start();
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  ASSERT_TRUE(shell_.endItemsEnabled);
  stream().reportStop(lostServer);
  ASSERT_TRUE(runUntil([&] { return sawState("error"); }));
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().stopping; }));
  EXPECT_THAT(states(), ElementsAre("processing", "recording", "error"));
  EXPECT_EQ(events().back().message, lostMessage);
  EXPECT_FALSE(shell_.endItemsEnabled);
  EXPECT_EQ(shell_.statusTitles.back(), "Halden");
  EXPECT_EQ(shell_.windowTitles.back(), "Halden");
  const SessionState& state = delegate_->state();
  EXPECT_FALSE(state.isRecording || state.starting || state.stopping || delegate_->uploading());
  EXPECT_TRUE(std::filesystem::exists(folder()));
  EXPECT_THAT(testing::serviceLog(service_.service), IsEmpty());
  EXPECT_THAT(view_.muteChanges, ElementsAre(true, false));
}

TEST_F(AppDelegateTest, ACaptureFailureWhileTheStartWaitsIsReportedTwice) {
  // The platform stops the stream while the start flow waits for it.
  capture_->script.onStart = [this] {
    stream().reportStop(lostServer);
    stream().drain();
  };
  start();
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().starting && !delegate_->state().stopping; }));
  idle();
  EXPECT_THAT(states(), ElementsAre("processing", "error", "error"));
  EXPECT_EQ(events()[1].message, lostMessage);
  EXPECT_EQ(events()[2].message, lostMessage);
  EXPECT_FALSE(delegate_->state().isRecording);
  EXPECT_FALSE(shell_.endItemsEnabled);
  EXPECT_FALSE(view_.muted);
}

TEST_F(AppDelegateTest, RequestsDuringAnEndingOrAnOpenConfirmationAreRefused) {
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return std::nullopt; };
  start();
  idle();
  ASSERT_EQ(shell_.openAlerts(), 1u);
  start();  // refused: the first start is still asking
  post({{"action", "stop"}});
  idle();
  EXPECT_EQ(shell_.alerts.size(), 1u);
  EXPECT_THAT(states(), ElementsAre("processing"));
  shell_.answer(0);
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  record(2);

  // The service holds the upload back; meanwhile the page and the menu try
  // to end the recording again, and the platform reports a failure.
  testing::addFault(service_.service,
                    {{"path", std::string("/api/meetings/") + meetingId + "/audio"},
                     {"kind", "delay"},
                     {"delayMs", 1500}});
  capture_->script.onStop = [this] { stream().reportStop(lostServer); };
  post({{"action", "stop"}});
  ASSERT_TRUE(runUntil([&] { return delegate_->uploading(); }));
  post({{"action", "stop"}});
  post({{"action", "start"}, {"meetingId", "0b5a5f1e-9c3d-4d2e-8f1a-2b3c4d5e6f70"}});
  post({{"action", "retry"}});
  delegate_->endFromMenu();
  ASSERT_TRUE(runUntil([&] { return sawState("ready"); }));
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().stopping; }));
  EXPECT_THAT(states(), ElementsAre("processing", "recording", "processing", "processing",
                                    "processing", "processing", "ready"));
  EXPECT_TRUE(shell_.chooserTitles.empty());
}

// What "status" answers in each state is the bridge's (script_bridge_test).
TEST_F(AppDelegateTest, StatusAnswersWithTheLastEventEvenOneThatCouldNotBeSent) {
  start();
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  record(1);
  // While the view shows another origin nothing reaches it; "status" from the
  // workspace afterwards tells what was missed.
  view_.show("https://elsewhere.example/page");
  const std::size_t sent = view_.scripts.size();
  post({{"action", "stop"}});
  ASSERT_TRUE(runUntil([&] { return delegate_->state().noticeState == "ready"; }));
  EXPECT_EQ(view_.scripts.size(), sent);
  view_.show(workspaceUrl());
  post({{"action", "status"}});
  EXPECT_EQ(events().back().state, "ready");
  EXPECT_EQ(events().back().message,
            "Meeting ready to review. The uploaded audio has been removed from this Mac.");
}

// That a recovered meeting reaches the service whole, chunk by chunk, is the
// load test's, which retries every failed meeting through this path.
TEST_F(AppDelegateTest, AFolderLeftByAFailedUploadIsRecoveredThroughTheChooser) {
  shell_.focused = false;  // the user works elsewhere: outcomes are notified
  start();
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  record(2);
  testing::addFault(service_.service, {{"path", std::string("/api/meetings/") + meetingId},
                                       {"kind", "status"},
                                       {"status", 503},
                                       {"error", "The service is resting."},
                                       {"count", 2}});
  post({{"action", "stop"}});
  ASSERT_TRUE(runUntil([&] { return sawState("error"); }));
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().stopping; }));
  EXPECT_EQ(events().back().message, "The service is resting.");
  EXPECT_THAT(shell_.notices, ElementsAre("meeting"));
  ASSERT_TRUE(std::filesystem::exists(folder() / "chunks.json"));

  // Refused choices change nothing; a cancelled chooser says nothing.
  view_.scripts.clear();
  shell_.chosenFolders = {root_, std::nullopt, folder()};
  post({{"action", "retry"}});
  ASSERT_TRUE(runUntil([&] { return !view_.scripts.empty(); }));
  EXPECT_EQ(events().back().message,
            "Choose a meeting folder from Halden\u2019s Recordings folder.");
  EXPECT_EQ(events().back().clientId, "c-7");  // still the last start's
  post({{"action", "retry"}});
  idle();
  EXPECT_EQ(view_.scripts.size(), 1u);
  EXPECT_EQ(shell_.chooserStarts.back(), root_);

  testing::resetService(service_.service);
  post({{"action", "retry"}});
  ASSERT_TRUE(runUntil([&] { return sawState("ready"); }));
  const std::optional<std::string> id = meetingId;
  EXPECT_EQ(events()[1], (Event{"processing", "Preparing the recording\u2026", id, std::nullopt,
                                std::nullopt}));
  EXPECT_EQ(events().back().meetingId, meetingId);
  EXPECT_FALSE(events().back().clientId.has_value());
  EXPECT_FALSE(std::filesystem::exists(folder()));
  EXPECT_FALSE(delegate_->uploading());
  // A refused choice is no failed upload; the recovered meeting is ready.
  EXPECT_THAT(shell_.notices, ElementsAre("meeting", "meeting"));
}

// The entries below `top` (itself included) that others could read or enter:
// folders other than 0700, files with any group or other permission bit.
std::vector<std::string> notPrivate(const std::filesystem::path& top) {
  std::vector<std::string> exposed;
  auto check = [&](const std::filesystem::path& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return exposed.push_back(path.string() + " missing");
    const mode_t mode = info.st_mode & 07777;
    if (S_ISDIR(info.st_mode) ? mode != 0700 : (mode & 077) != 0) {
      char octal[8];
      std::snprintf(octal, sizeof octal, "%o", static_cast<unsigned>(mode));
      exposed.push_back(path.string() + " " + octal);
    }
  };
  check(top);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) check(entry.path());
  return exposed;
}

// With no umask to narrow them, the folders and files of a kept meeting are
// still the user's alone: the audio tracks, the prepared chunks and every
// JSON file.
TEST_F(AppDelegateTest, AMeetingKeptUnderAnOpenUmaskIsReadableByItsOwnerOnly) {
  const mode_t old = ::umask(0);
  start();
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  record(2);
  testing::addFault(
      service_.service,
      {{"path", std::string("/api/meetings/") + meetingId}, {"kind", "status"}, {"status", 503}});
  post({{"action", "stop"}});
  ASSERT_TRUE(runUntil([&] { return sawState("error"); }));
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().stopping; }));
  ::umask(old);
  ASSERT_TRUE(std::filesystem::exists(folder() / "chunk-000.wav"));
  ASSERT_TRUE(std::filesystem::exists(folder() / trackFileName(microphoneTrackName)));
  EXPECT_THAT(notPrivate(temp_.path() / "data"), IsEmpty());
}

// Quit requests, answered as the user would.
class QuitGuardTest : public AppDelegateTest {
 protected:
  QuitAnswer quit() { return runToCompletion(delegate_->shouldTerminate()); }
};

TEST_F(QuitGuardTest, QuitsAtOnceWhileNothingRecordsOrUploads) {
  EXPECT_EQ(quit(), QuitAnswer::now);
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return std::nullopt; };
  start();  // still asking for confirmation
  ASSERT_TRUE(delegate_->state().starting);
  EXPECT_EQ(quit(), QuitAnswer::now);
  EXPECT_EQ(shell_.alerts.size(), 1u);  // only the confirmation
  shell_.answer(1);
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().starting; }));

  // A sign-in waiting for the browser side asks nothing either.
  delegate_->signIn();
  ASSERT_TRUE(runUntil([&] { return !shell_.openedUrls.empty(); }));
  ASSERT_TRUE(delegate_->signingIn());
  EXPECT_EQ(quit(), QuitAnswer::now);
  EXPECT_EQ(shell_.alerts.size(), 1u);
}

TEST_F(QuitGuardTest, ARecordingIsKeptOrLetGoWithItsTracksClosed) {
  makeDelegate(std::chrono::milliseconds(3000));
  start();
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return 0; };  // keep open
  EXPECT_EQ(quit(), QuitAnswer::cancel);
  EXPECT_EQ(shell_.alerts.size(), 2u);  // its texts: the desktop quit test
  EXPECT_TRUE(delegate_->state().isRecording);
  // The length timer still runs: the recording ends and uploads by itself.
  record(1);
  ASSERT_TRUE(runUntil([&] { return sawState("ready"); }));

  const char second[] = "0b5a5f1e-9c3d-4d2e-8f1a-2b3c4d5e6f70";
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return 0; };
  start(second);
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  stream().deliver(testing::sineBuffer(CaptureSource::microphone, mono16, 16000, 5));
  testing::resetService(service_.service);
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return 1; };
  const std::size_t sent = view_.scripts.size();
  EXPECT_EQ(quit(), QuitAnswer::later);
  EXPECT_FALSE(delegate_->state().isRecording);
  ASSERT_TRUE(runUntil([&] { return shell_.quitReplies == 1; }));
  EXPECT_EQ(capture_->streams.back()->stopCalls, 1);
  EXPECT_TRUE(std::filesystem::exists(folder(second) / "meeting.json"));
  EXPECT_EQ(view_.scripts.size(), sent);  // no event
  EXPECT_FALSE(view_.muted);
  idle(200);  // the timer, had it not been stopped, would fire now
  EXPECT_THAT(testing::serviceLog(service_.service), IsEmpty());
  EXPECT_TRUE(std::filesystem::exists(folder(second)));
}

TEST_F(QuitGuardTest, DuringAnUploadTheQuestionNamesTheUpload) {
  start();
  ASSERT_TRUE(runUntil([&] { return delegate_->state().isRecording; }));
  record(1);
  testing::addFault(service_.service,
                    {{"path", std::string("/api/meetings/") + meetingId + "/audio"},
                     {"kind", "delay"},
                     {"delayMs", 1500}});
  post({{"action", "stop"}});
  ASSERT_TRUE(runUntil([&] { return delegate_->uploading(); }));
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return 0; };
  EXPECT_EQ(quit(), QuitAnswer::cancel);
  EXPECT_EQ(shell_.alerts.back().title, "An upload is in progress");
  shell_.answerRule = [](const auto&) -> std::optional<std::size_t> { return 1; };
  EXPECT_EQ(quit(), QuitAnswer::now);
  ASSERT_TRUE(runUntil([&] { return !delegate_->state().stopping; }));
}

}  // namespace
}  // namespace halden
