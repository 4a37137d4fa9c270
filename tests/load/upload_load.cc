// Load test of the upload path: many meetings of random length, prepared and
// uploaded as the app does, against the stand-in service with random planned
// faults, every failed meeting retried as the user retries it (the page's
// "Retry upload" and the folder chooser, through the application delegate).
//
// After every attempt it compares the meeting folder with the service's
// records: a folder may be gone only once the service holds every chunk with
// the identity the documented mix gives and has recorded the summary request.
// Prints its counts and exits non-zero when a meeting was lost, a folder went
// early, stored audio differs, or an attempt's outcome disagrees with the
// faults planned for it.
//
//   halden_upload_load [--seed N] [--meetings N] [--min-seconds S] [--max-seconds S]
#include <glib.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "app/app_delegate.h"
#include "base/main_context.h"
#include "load/fault_plan.h"
#include "load/synthetic_meeting.h"
#include "service/http_transport.h"
#include "service/meeting_upload.h"
#include "testing/devservice_process.h"
#include "testing/fake_desktop.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden::load {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view sessionValue = "load-test-session";
// A meeting gets this many attempts; the last one is planned without a
// failing fault, so a meeting that is still not uploaded then is lost.
constexpr int attemptsPerMeeting = 6;
// A wait for one attempt longer than this is a hang, not slowness: the
// largest meeting is a few chunks on loopback.
constexpr double attemptLimitSeconds = 600;

struct Options {
  uint64_t seed = 0;
  int meetings = 20;
  double minSeconds = 1;
  double maxSeconds = 40;
};

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  options.seed = std::random_device()() ^
                 static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    char* end = nullptr;
    const char* value = argv[i + 1];
    if (name == "--seed") {
      options.seed = std::strtoull(value, &end, 10);
    } else if (name == "--meetings") {
      options.meetings = static_cast<int>(std::strtol(value, &end, 10));
    } else if (name == "--min-seconds") {
      options.minSeconds = std::strtod(value, &end);
    } else if (name == "--max-seconds") {
      options.maxSeconds = std::strtod(value, &end);
    } else {
      return std::nullopt;
    }
    if (!end || *end != '\0') return std::nullopt;
  }
  if (argc % 2 == 0 || options.meetings < 1 || options.minSeconds <= 0 ||
      options.maxSeconds < options.minSeconds || options.maxSeconds > 14'400) {
    return std::nullopt;
  }
  return options;
}

// The web view's cookie jar, holding the session the service was started with.
class SessionCookies final : public CookieStore {
 public:
  Task<std::vector<Cookie>> getAll() override {
    Cookie session;
    session.name = sessionCookieMarker;
    session.value = sessionValue;
    session.domain = "127.0.0.1";
    co_return std::vector<Cookie>{session};
  }
  Task<Result<void>> add(Cookie) override { co_return success(); }
};

// Nothing is recorded here: meetings are written as finished folders.
class NoCapture final : public CaptureService {
 public:
  void requestMicrophoneAccess(std::function<void(bool)> done) override { done(false); }
  void findSystemAudio(
      std::function<void(Result<std::optional<SystemAudioDevice>>)> done) override {
    done(std::optional<SystemAudioDevice>());
  }
  Result<std::unique_ptr<CaptureStream>> createStream(const SystemAudioDevice&, CaptureStreamId,
                                                      CaptureStreamOutput&, SerialQueue&) override {
    return failure("No capture in the load test.");
  }
};

// The service's control API; any failure to reach it ends the run.
class Control {
 public:
  explicit Control(const std::string& baseUrl) : client_(baseUrl) {}
  json get(const std::string& path) {
    httplib::Result answer = client_.Get(path);
    check(answer, path);
    return json::parse(answer->body);
  }
  std::string bytes(const std::string& path) {
    httplib::Result answer = client_.Get(path);
    check(answer, path);
    return answer->body;
  }
  void post(const std::string& path, const json& body) {
    httplib::Result answer = client_.Post(path, body.dump(), "application/json");
    check(answer, path);
  }

 private:
  static void check(const httplib::Result& answer, const std::string& path) {
    if (answer && answer->status == 200) return;
    std::cerr << "control " << path
              << " failed: " << (answer ? answer->body : httplib::to_string(answer.error()))
              << "\n";
    std::exit(2);
  }
  httplib::Client client_;
};

// One meeting between its folder being written and its verification.
struct Meeting {
  std::string meetingId;
  fs::path folder;
  std::vector<std::string> expected;  // chunk identities
  int attempts = 0;
};

struct Counts {
  int meetings = 0, chunks = 0, attempts = 0, failedAttempts = 0, retries = 0;
  double audioSeconds = 0;
  std::map<std::string, int> faults;
  int deletions = 0, earlyDeletions = 0, lost = 0, audioDiffers = 0;
  int wrongIdentities = 0, unexpectedOutcomes = 0, unconsumedFaults = 0, folderProblems = 0;

  int problems() const {
    return earlyDeletions + lost + audioDiffers + wrongIdentities + unexpectedOutcomes +
           unconsumedFaults + folderProblems;
  }
};

class LoadRun {
 public:
  explicit LoadRun(const Options& options) : options_(options), random_(options.seed) {}

  int run() {
    testing::DevServiceOptions serviceOptions;
    serviceOptions.dataFolder = temp_.folder("service");
    serviceOptions.sessions = {std::string(sessionValue)};
    std::optional<std::string> base = service_.tryStart(serviceOptions);
    if (!base) {
      std::cerr << "halden-devservice did not start:\n" << service_.stderrText();
      return 2;
    }
    baseUrl_ = *base;
    control_.emplace(baseUrl_);
    const ServiceUrl appUrl = *ServiceUrl::parse(baseUrl_);
    origin_ = appUrl.text();
    transport_ = createCurlTransport();
    client_.emplace(appUrl, *transport_, cookies_);
    UploadHooks hooks;  // the real preparation and removal
    hooks.emit = [](const std::string&, const std::string&) {};
    hooks.requestAttention = [] {};
    uploader_.emplace(*client_, std::move(hooks));
    delegate_ = std::make_unique<AppDelegate>(appUrl, shell_, view_, *transport_,
                                              std::make_unique<NoCapture>(),
                                              AppDelegate::Options{.root = root_});
    delegate_->launch();

    const auto minFrames = std::max<int64_t>(1, static_cast<int64_t>(options_.minSeconds * 16000));
    const auto maxFrames = static_cast<int64_t>(options_.maxSeconds * 16000);
    for (int i = 0; i < options_.meetings; ++i) {
      if (!startMeeting(minFrames, maxFrames)) return 2;
      // A user retries some saved meetings soon, others much later.
      while (!saved_.empty() && (saved_.size() > 4 || std::bernoulli_distribution(0.5)(random_))) {
        retryOne(std::uniform_int_distribution<std::size_t>(0, saved_.size() - 1)(random_));
      }
    }
    while (!saved_.empty()) retryOne(0);
    return 0;
  }

  const Counts& counts() const { return counts_; }

 private:
  bool startMeeting(int64_t minFrames, int64_t maxFrames) {
    SyntheticMeeting synthetic = makeMeeting(random_, minFrames, maxFrames);
    Result<fs::path> folder = writeMeetingFolder(synthetic, root_, origin_);
    if (!folder.ok()) {
      std::cerr << "cannot write meeting " << synthetic.meetingId << ": "
                << folder.error().description() << "\n";
      return false;
    }
    Meeting meeting{synthetic.meetingId, *folder, expectedChunkHashes(synthetic)};
    ++counts_.meetings;
    counts_.chunks += static_cast<int>(meeting.expected.size());
    counts_.audioSeconds += static_cast<double>(synthetic.frames) / 16000;
    // The end of a recording hands the folder to the uploader.
    if (!attempt(meeting, [&] { return uploader_->upload(meeting.folder, meeting.meetingId); })) {
      saved_.push_back(std::move(meeting));
    }
    return true;
  }

  void retryOne(std::size_t index) {
    Meeting meeting = std::move(saved_[index]);
    saved_.erase(saved_.begin() + static_cast<std::ptrdiff_t>(index));
    ++counts_.retries;
    // "Retry upload" on the page, then the meeting's folder in the chooser.
    const bool done = attempt(meeting, [&]() -> Task<Result<void>> {
      shell_.chosenFolders.push_back(meeting.folder);
      view_.scripts.clear();
      delegate_->scriptMessage(true, baseUrl_ + "/clients/workspace", R"({"action":"retry"})");
      auto recovered = waitFor([this] { return !delegate_->state().recovering; });
      co_await recovered;
      // A refused retry sends the page nothing; every other ends with an event.
      if (view_.scripts.empty()) co_return failure("The retry was refused.");
      const SessionState& state = delegate_->state();
      if (state.noticeState == "ready") co_return success();
      co_return failure(state.notice);
    });
    if (done) return;
    if (meeting.attempts >= attemptsPerMeeting) {
      std::cout << "LOST " << meeting.meetingId << " after " << meeting.attempts
                << " attempts; its folder stays in " << meeting.folder << "\n";
      ++counts_.lost;
      return;
    }
    saved_.push_back(std::move(meeting));
  }

  // Resumes once `done` holds, looking every few milliseconds.
  template <typename Condition>
  Task<void> waitFor(Condition done) {
    while (!done()) co_await sleepFor(std::chrono::milliseconds(5));
  }

  // Runs one attempt and checks the folder against the service. True when
  // the meeting is finished with: uploaded and verified, or gone wrongly.
  template <typename Start>
  bool attempt(Meeting& meeting, Start start) {
    const bool mayFail = meeting.attempts + 1 < attemptsPerMeeting;
    const AttemptPlan plan =
        planAttempt(random_, meeting.meetingId, meeting.expected.size(), mayFail);
    for (const json& fault : plan.faults) control_->post("/__control/faults", fault);
    ++meeting.attempts;
    ++counts_.attempts;

    std::optional<Result<void>> outcome;
    spawn([](Start begin, std::optional<Result<void>>& out) -> Task<void> {
      auto attempted = begin();
      out.emplace(co_await attempted);
    }(start, outcome));
    const gint64 limit = g_get_monotonic_time() + static_cast<gint64>(attemptLimitSeconds * 1e6);
    while (!outcome) {
      if (!g_main_context_iteration(context_.get(), FALSE)) g_usleep(1000);
      if (g_get_monotonic_time() > limit) {
        std::cerr << "attempt " << meeting.attempts << " of " << meeting.meetingId
                  << " did not end\n";
        std::exit(2);
      }
    }
    if (!outcome->ok()) ++counts_.failedAttempts;

    const json pending = control_->get("/__control/faults").at("faults");
    int unconsumed = 0;
    for (const json& fault : pending) {
      if (fault.at("path").get<std::string>().find(meeting.meetingId) != std::string::npos) {
        ++unconsumed;
      }
    }
    if (unconsumed > 0) {
      std::cout << "UNCONSUMED faults of " << meeting.meetingId << ": " << pending.dump() << "\n";
      ++counts_.unconsumedFaults;
    } else {
      for (const auto& [kind, n] : plan.kinds) counts_.faults[kind] += n;
    }
    if (plan.fails == outcome->ok()) {
      std::cout << "UNEXPECTED outcome of " << meeting.meetingId << " attempt " << meeting.attempts
                << ": planned to " << (plan.fails ? "fail" : "succeed") << ", got "
                << (outcome->ok() ? std::string("success") : outcome->error().description())
                << "\n";
      ++counts_.unexpectedOutcomes;
    }
    return checkFolder(meeting, outcome->ok());
  }

  bool checkFolder(Meeting& meeting, bool succeeded) {
    const std::string id = meeting.meetingId;
    const json stored = control_->get("/__control/chunks?meeting=" + id).at("chunks");
    bool complete = stored.size() == meeting.expected.size();
    for (const auto& [key, digest] : stored.items()) {
      const std::size_t k = std::stoul(key);
      const bool right = k < meeting.expected.size() && digest == meeting.expected[k];
      if (!right) {
        std::cout << "WRONG identity of chunk " << key << " of " << id << "\n";
        ++counts_.wrongIdentities;
      }
      complete = complete && right;
    }
    bool summarized = false;
    const json summaries = control_->get("/__control/summaries").at("summaries");
    for (const json& summary : summaries) {
      summarized = summarized || (summary.at("meetingId") == id &&
                                  summary.at("expectedChunks") == meeting.expected.size());
    }

    std::error_code error;
    const bool gone = !fs::exists(meeting.folder, error) && !error;
    if (!gone) {
      if (succeeded) {
        std::cout << "KEPT " << id << ": the upload succeeded but its folder stayed\n";
        ++counts_.folderProblems;
        return true;
      }
      return false;  // saved for a retry
    }
    ++counts_.deletions;
    if (!succeeded) {
      std::cout << "REMOVED " << id << " although its attempt failed\n";
      ++counts_.folderProblems;
    }
    if (!complete || !summarized) {
      std::cout << "EARLY removal of " << id << ": service holds " << stored.size() << " of "
                << meeting.expected.size() << " chunks, summary "
                << (summarized ? "recorded" : "missing") << "\n";
      ++counts_.earlyDeletions;
      ++counts_.lost;
      return true;
    }
    // The audio itself, hashed here rather than trusting the service's digest.
    for (std::size_t k = 0; k < meeting.expected.size(); ++k) {
      const std::string bytes =
          control_->bytes("/__control/chunk?meeting=" + id + "&sequence=" + std::to_string(k));
      if (sha256Hex(bytes.data(), bytes.size()) != meeting.expected[k]) {
        std::cout << "AUDIO of chunk " << k << " of " << id << " differs\n";
        ++counts_.audioDiffers;
      }
    }
    // What was verified goes; partial chunks of saved meetings may go with
    // it, as every retry sends all chunks again.
    if (saved_.empty() || ++verifiedSinceReset_ >= 20) {
      control_->post("/__control/reset", json::object());
      verifiedSinceReset_ = 0;
    }
    return true;
  }

  Options options_;
  std::mt19937_64 random_;
  Counts counts_;
  testing::PrivateMainContext context_;
  testing::TempFolder temp_;  // outlives the service, which writes into it
  fs::path root_ = temp_.path() / "data" / "Halden" / "Recordings";
  testing::DevService service_;
  std::string baseUrl_, origin_;
  std::optional<Control> control_;
  SessionCookies cookies_;
  std::unique_ptr<HttpTransport> transport_;
  std::optional<ServiceClient> client_;
  std::optional<MeetingUploader> uploader_;  // the end of a recording's
  testing::FakeShell shell_;
  testing::FakeView view_{cookies_};
  std::unique_ptr<AppDelegate> delegate_;  // the "Retry upload" path
  std::deque<Meeting> saved_;              // failed meetings awaiting a retry
  int verifiedSinceReset_ = 0;
};

void print(const Options& options, const Counts& counts, double seconds) {
  std::printf("seed %llu (rerun: --seed %llu --meetings %d --min-seconds %g --max-seconds %g)\n",
              static_cast<unsigned long long>(options.seed),
              static_cast<unsigned long long>(options.seed), options.meetings, options.minSeconds,
              options.maxSeconds);
  std::printf("meetings %d, audio %.1f s, chunks %d\n", counts.meetings, counts.audioSeconds,
              counts.chunks);
  std::printf("attempts %d, failed attempts %d, retries %d\n", counts.attempts,
              counts.failedAttempts, counts.retries);
  std::printf("faults injected:");
  int total = 0;
  for (const auto& [kind, n] : counts.faults) {
    std::printf(" %s %d", kind.c_str(), n);
    total += n;
  }
  std::printf(" (total %d)\n", total);
  std::printf(
      "folders removed %d, removed before the service held every chunk and the summary %d\n",
      counts.deletions, counts.earlyDeletions);
  std::printf("meetings lost %d\n", counts.lost);
  std::printf("meetings whose stored audio differs from the expected %d\n", counts.audioDiffers);
  std::printf(
      "wrong chunk identities %d, outcomes unlike the plan %d, faults not reached %d, "
      "folder kept or removed against the outcome %d\n",
      counts.wrongIdentities, counts.unexpectedOutcomes, counts.unconsumedFaults,
      counts.folderProblems);
  std::printf("run time %.1f s\n", seconds);
  const int failed = counts.problems() > 0 ? 1 : 0;
  std::printf("load: %d passed, %d failed\n", 1 - failed, failed);
}

}  // namespace
}  // namespace halden::load

int main(int argc, char** argv) {
  using namespace halden::load;
  const std::optional<Options> options = parseOptions(argc, argv);
  if (!options) {
    std::cerr << "usage: " << argv[0]
              << " [--seed N] [--meetings N] [--min-seconds S] [--max-seconds S]\n";
    return 2;
  }
  std::printf("seed %llu\n", static_cast<unsigned long long>(options->seed));
  std::fflush(stdout);
  const auto began = std::chrono::steady_clock::now();
  Counts counts;
  {
    LoadRun run(*options);
    if (const int status = run.run(); status != 0) return status;
    counts = run.counts();
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  print(*options, counts, took.count());
  return counts.problems() > 0 ? 1 : 0;
}
