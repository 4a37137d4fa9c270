// Load test of the upload path: many meetings of random length, prepared and
// uploaded as the app does, against the stand-in service with random planned
// faults, every failed meeting retried as the user retries it (the page's
// "Retry upload" and the folder chooser, through the application delegate).
//
// After every attempt it compares the meeting folder with the service's
// records: a folder may be gone only once the service holds every chunk with
// the identity the documented mix gives and has recorded the summary request.
// Prints each problem and exits 1 when a meeting was lost, a folder went
// early or stayed, stored audio differs, or an attempt's outcome disagrees
// with the faults planned for it; 2 when the run itself could not go on.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "base/main_context.h"
#include "service/http_transport.h"
#include "service/meeting_upload.h"
#include "store/files.h"
#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "store/wave.h"
#include "testing/devservice_process.h"
#include "testing/fake_desktop.h"
#include "testing/main_context.h"
#include "testing/reference_mix.h"
#include "testing/stand_in_control.h"
#include "testing/temp_folder.h"

namespace halden::load {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::mixRate;

constexpr std::string_view sessionValue = "load-test-session";
// A meeting gets this many attempts; the last one is planned without a
// failing fault, so a meeting that is still not uploaded then is lost.
constexpr int attemptsPerMeeting = 6;
// A wait for one attempt longer than this is a hang, not slowness: the
// largest meeting is a few chunks on loopback.
constexpr unsigned attemptLimitSeconds = 600;

// The load test's draws, all from one generator, so that its seed replays a run.
int64_t uniform(std::mt19937_64& random, int64_t low, int64_t high) {
  return std::uniform_int_distribution<int64_t>(low, high)(random);
}
bool chance(std::mt19937_64& random, double probability) {
  return std::bernoulli_distribution(probability)(random);
}
double uniformReal(std::mt19937_64& random, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(random);
}
// The page makes lower-case identifiers; recovery must take either case.
std::string uuidText(std::mt19937_64& random) {
  const char* digits = chance(random, 0.1) ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text += '-';
    text += digits[uniform(random, 0, 15)];
  }
  return text;
}

// A tone with noise; now and then a second far beyond full scale, so that
// two loud tracks together drive the mix into saturation at both ends.
std::vector<int16_t> trackAudio(std::mt19937_64& random, int64_t frames) {
  const double frequency = uniformReal(random, 80, 2000);
  const double amplitude = uniformReal(random, 0.05, 0.6);
  const double noise = uniformReal(random, 0, 0.2);
  std::vector<int16_t> samples(static_cast<std::size_t>(frames));
  double gain = amplitude;
  for (int64_t i = 0; i < frames; ++i) {
    if (i % mixRate == 0) gain = chance(random, 0.05) ? 1.4 : amplitude;
    const double t = static_cast<double>(i) / mixRate;
    const double x =
        gain * std::sin(2 * std::numbers::pi * frequency * t) + noise * uniformReal(random, -1, 1);
    samples[static_cast<std::size_t>(i)] =
        static_cast<int16_t>(std::clamp(std::lround(x * 32767), -32767L, 32767L));
  }
  return samples;
}

// A meeting as capture leaves it: a random but reproducible layout of tracks
// (lengths, start times, missing tracks, with or without timing.json) and
// deterministic audio. One track ends where the mixed meeting ends, none later.
struct SyntheticMeeting {
  std::string meetingId;                               // UUID text, the folder name
  std::map<std::string, std::vector<int16_t>> tracks;  // "system", "microphone": 16-bit samples
  std::optional<TimingMap> timing;                     // nothing: no timing.json
};

// A meeting of `minFrames` to `maxFrames` frames (16 kHz). Lengths near a
// chunk boundary are drawn more often than chance would draw them.
// REQUIRES: 1 <= minFrames <= maxFrames.
SyntheticMeeting makeMeeting(std::mt19937_64& random, int64_t minFrames, int64_t maxFrames) {
  SyntheticMeeting meeting;
  meeting.meetingId = uuidText(random);
  int64_t frames = uniform(random, minFrames, maxFrames);
  if (maxFrames >= testing::mixChunkFrames - 1 && chance(random, 0.15)) {
    // Exactly on a chunk boundary, or one frame either side of it.
    const int64_t boundary =
        testing::mixChunkFrames *
        uniform(random, 1, std::max<int64_t>(1, maxFrames / testing::mixChunkFrames));
    frames = std::clamp(boundary + uniform(random, -1, 1), minFrames, maxFrames);
  }

  // Both tracks (most meetings), with or without timing.json, or a single
  // track whose timing may still name the other, earlier source.
  const int64_t layout = uniform(random, 0, 99);
  std::vector<std::string> present = {std::string(systemTrackName),
                                      std::string(microphoneTrackName)};
  if (layout >= 80) present.erase(present.begin() + uniform(random, 0, 1));
  const double base = uniformReal(random, 1'000, 90'000);
  // Keeps every offset below half the meeting, so each track holds a frame.
  const double maxShift = std::min(2.0, static_cast<double>(frames - 1) / mixRate / 2);
  const double shift = uniformReal(random, -maxShift, maxShift);
  TimingMap starts = {{std::string(systemTrackName), base},
                      {std::string(microphoneTrackName), base + shift}};
  if (layout >= 80 && layout < 90) {
    std::erase_if(starts, [&](const auto& s) { return s.first != present.front(); });
  }
  if (layout < 70 || layout >= 80) meeting.timing = starts;

  const std::size_t longest = static_cast<std::size_t>(uniform(random, 0, std::ssize(present) - 1));
  for (std::size_t i = 0; i < present.size(); ++i) {
    const int64_t room =
        frames - testing::mixOffset(meeting.timing.value_or(TimingMap{}), present[i]);
    const int64_t length = i == longest ? room : uniform(random, 1, room);
    meeting.tracks[present[i]] = trackAudio(random, length);
  }
  return meeting;
}

// Creates root/<meetingId> with meeting.json naming `origin`, the tracks
// (written through the store's track writer in one-second appends) and
// timing.json. Checks that every track reads back as written.
Result<fs::path> writeMeetingFolder(const SyntheticMeeting& meeting, const fs::path& root,
                                    const std::string& origin) {
  const fs::path folder = root / meeting.meetingId;
  HALDEN_TRY(createFolders(folder, 0700));
  HALDEN_TRY(writeFileAtomically(
      folder / meetingFileName,
      json{{"meetingId", meeting.meetingId}, {"origin", origin}}.dump()));
  for (const auto& [name, samples] : meeting.tracks) {
    const fs::path file = folder / trackFileName(name);
    // A stored n reads as n / 32768 (exact in float); written back, that frame
    // must be stored as n again.
    std::vector<float> frames(samples.begin(), samples.end());
    for (float& frame : frames) frame /= 32768;
    std::unique_ptr<TrackWriter> writer = HALDEN_TRY(TrackWriter::create(file));
    for (std::size_t at = 0; at < frames.size(); at += mixRate) {
      const std::size_t size = std::min<std::size_t>(mixRate, frames.size() - at);
      HALDEN_TRY(writer->append(std::span(frames).subspan(at, size)));
    }
    HALDEN_TRY(writer->close());
    std::unique_ptr<TrackReader> reader = HALDEN_TRY(TrackReader::open(file));
    std::vector<int16_t> stored(samples.size());
    if (!reader->storesPcm16() || reader->length() != static_cast<int64_t>(stored.size()) ||
        HALDEN_TRY(reader->readPcm16(0, stored)) != stored.size() || stored != samples) {
      return failure(file.string() + " does not read back as written");
    }
  }
  if (meeting.timing) HALDEN_TRY(writeTiming(*meeting.timing, folder));
  return folder;
}

struct Options {
  uint64_t seed =
      std::random_device()() ^
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  double meetings = 20, minSeconds = 1, maxSeconds = 40;
};

// "--name value" pairs; nothing when an argument is unknown or out of range.
std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  const std::map<std::string, double*> numbers = {{"--meetings", &options.meetings},
                                                  {"--min-seconds", &options.minSeconds},
                                                  {"--max-seconds", &options.maxSeconds}};
  for (int i = 1; i + 1 < argc; i += 2) {
    char* end = nullptr;
    if (std::string(argv[i]) == "--seed") {
      options.seed = std::strtoull(argv[i + 1], &end, 10);
    } else if (const auto number = numbers.find(argv[i]); number != numbers.end()) {
      *number->second = std::strtod(argv[i + 1], &end);
    }
    if (!end || *end != '\0') return std::nullopt;
  }
  if (argc % 2 == 0 || options.meetings < 1 || std::trunc(options.meetings) != options.meetings ||
      options.minSeconds <= 0 || options.maxSeconds < options.minSeconds ||
      options.maxSeconds > 14'400) {
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

// A meeting whose folder is written and not yet finished with.
struct Meeting {
  std::string meetingId;
  fs::path folder;
  std::vector<std::string> expected;  // chunk identities
  int attempts = 0;
};

class LoadRun {
 public:
  explicit LoadRun(const Options& options) : options_(options), random_(options.seed) {}

  // The exit status.
  int run() {
    testing::DevServiceOptions serviceOptions;
    serviceOptions.dataFolder = temp_.folder("service");
    serviceOptions.sessions = {std::string(sessionValue)};
    const std::optional<std::string> base = service_.tryStart(serviceOptions);
    if (!base) {
      std::cerr << "halden-devservice did not start:\n" << service_.stderrText();
      return 2;
    }
    baseUrl_ = *base;
    control_.emplace(baseUrl_);
    const ServiceUrl appUrl = *ServiceUrl::parse(baseUrl_);
    transport_ = createCurlTransport();
    client_.emplace(appUrl, *transport_, cookies_);
    // No page to tell, and the real preparation and removal.
    uploader_.emplace(*client_, UploadHooks{[](auto&, auto&) {}, [] {}, nullptr, nullptr});
    delegate_ = std::make_unique<AppDelegate>(appUrl, shell_, view_, *transport_,
                                              std::make_unique<NoCapture>(),
                                              AppDelegate::Options{.root = root_});
    delegate_->launch();

    const auto minFrames =
        std::max<int64_t>(1, static_cast<int64_t>(options_.minSeconds * mixRate));
    const auto maxFrames = static_cast<int64_t>(options_.maxSeconds * mixRate);
    int started = 0;
    while (started < options_.meetings || !saved_.empty()) {
      // A user retries some saved meetings soon, others much later.
      if (!saved_.empty() && (started == options_.meetings || saved_.size() > 4 || chance(0.5))) {
        const auto index = uniform(0, std::ssize(saved_) - 1);
        Meeting meeting = std::move(saved_[index]);
        saved_.erase(saved_.begin() + index);
        attempt(std::move(meeting));
        continue;
      }
      ++started;
      const SyntheticMeeting synthetic = makeMeeting(random_, minFrames, maxFrames);
      const Result<fs::path> folder = writeMeetingFolder(synthetic, root_, appUrl.text());
      if (!folder.ok()) {
        std::cerr << synthetic.meetingId << ": " << folder.error().description() << "\n";
        return 2;
      }
      // The chunk identities the folder must reach the service with.
      Meeting meeting{synthetic.meetingId, *folder, {}};
      for (const Bytes& chunk : testing::referenceChunks(
               testing::referenceMix(synthetic.tracks, synthetic.timing.value_or(TimingMap{})))) {
        meeting.expected.push_back(audioHash(chunk));
      }
      chunks_ += static_cast<int>(meeting.expected.size());
      attempt(std::move(meeting));
    }
    std::cout << started << " meetings, " << chunks_ << " chunks, " << attempts_ << " attempts ("
              << failedAttempts_ << " failed), faults " << json(faultKinds_).dump() << ", "
              << problems_ << " problems\n";
    return problems_ > 0 ? 1 : 0;
  }

 private:
  int64_t uniform(int64_t low, int64_t high) { return load::uniform(random_, low, high); }
  bool chance(double probability) { return load::chance(random_, probability); }

  void problem(const std::string& what) {
    std::cout << what << std::endl;
    ++problems_;
  }

  // A fault that must make the attempt fail.
  json failingFault(bool chunk) {
    // Not wrongSequence (first) for a summary: there it answers
    // {"ok":true,"sequence":1}, an acknowledgement for which the service records nothing.
    static const std::vector<std::string> kinds = {"wrongSequence", "html200", "missingOk",
                                                   "okAsNumber",    "status",  "redirect",
                                                   "oversized",     "drop"};
    json fault = {{"kind", kinds[uniform(chunk ? 0 : 1, std::ssize(kinds) - 1)]}};
    if (fault["kind"] == "status") {
      static const std::vector<int> statuses = {200, 400, 401, 403, 404, 409,
                                                413, 429, 500, 502, 503, 504};
      fault["status"] = statuses[uniform(0, std::ssize(statuses) - 1)];
      const json bodies[] = {json::object(),  // {}, an error or an HTML page
                             {{"error", "The service is resting."}},
                             {{"body", "<html>Bad gateway</html>"}, {"contentType", "text/html"}}};
      fault.update(bodies[uniform(0, 2)]);
    } else if (fault["kind"] == "redirect") {
      fault["json"] = chance(0.5);
    }
    return fault;
  }

  // The faults of one attempt, and whether it must fail. Its requests are the
  // chunks 0..N-1 on one path, then the summary on another; each path's faults
  // are taken in order, so a fault reaches chunk k behind k pass-through
  // entries. With `mayFail`, half the attempts get one failing fault on a
  // random request and nothing beyond it, so every planned fault is taken
  // before the attempt ends. Harmless faults (a delay, a stray cookie) must
  // change nothing.
  std::pair<std::vector<json>, bool> planAttempt(const Meeting& meeting, bool mayFail) {
    const std::string summaryPath = "/api/meetings/" + meeting.meetingId;
    const std::string chunkPath = summaryPath + "/audio";
    const int64_t count = std::ssize(meeting.expected);
    const bool fails = mayFail && chance(0.5);
    const int64_t last = fails ? uniform(0, count) : count;
    std::vector<json> faults;
    const auto add = [&faults](json fault, const std::string& path) {
      fault.update({{"path", path}, {"match", "exact"}});
      faults.push_back(std::move(fault));
    };
    int passes = 0;
    for (int64_t request = 0; request <= last; ++request) {
      const bool chunk = request < count;
      json fault;
      if (fails && request == last) {
        fault = failingFault(chunk);
      } else if (chance(0.15)) {
        fault = chance(0.7) ? json{{"kind", "delay"}, {"delayMs", uniform(1, 400)}}
                            : json{{"kind", "setCookie"}};
      } else {
        ++passes;
        continue;
      }
      const json passThrough = {{"kind", "delay"}, {"delayMs", 0}, {"count", passes}};
      if (chunk && passes > 0) add(passThrough, chunkPath);
      passes = 0;
      ++faultKinds_[fault["kind"].get<std::string>()];
      add(std::move(fault), chunk ? chunkPath : summaryPath);
    }
    return {faults, fails};
  }

  // "Retry upload" on the page, then the meeting's folder in the chooser.
  Task<Result<void>> retryUpload(fs::path folder) {
    shell_.chosenFolders.push_back(std::move(folder));
    view_.scripts.clear();
    delegate_->scriptMessage(true, baseUrl_ + "/clients/workspace", R"({"action":"retry"})");
    while (delegate_->state().recovering) co_await sleepFor(std::chrono::milliseconds(5));
    // A refused retry sends the page nothing; every other ends with an event.
    if (view_.scripts.empty()) co_return failure("The retry was refused.");
    if (delegate_->state().noticeState == "ready") co_return success();
    co_return failure(delegate_->state().notice);
  }

  // Runs the meeting's next attempt, the first as the end of a recording
  // starts it, and checks its outcome against its plan and the service's
  // records; saves the meeting for a retry unless it is finished with.
  void attempt(Meeting meeting) {
    const auto [faults, fails] = planAttempt(meeting, meeting.attempts + 1 < attemptsPerMeeting);
    for (const json& fault : faults) control_->addFault(fault);
    const bool retry = meeting.attempts++ > 0;
    ++attempts_;
    ::alarm(attemptLimitSeconds);  // a hang ends the run by SIGALRM
    const Result<void> outcome = runToCompletion(
        retry ? retryUpload(meeting.folder) : uploader_->upload(meeting.folder, meeting.meetingId));
    ::alarm(0);
    if (!outcome.ok()) ++failedAttempts_;

    const std::string id = meeting.meetingId;
    for (const json& fault : control_->faults()) {
      if (fault.at("path").get<std::string>().find(id) != std::string::npos) {
        problem("UNCONSUMED fault of " + id + ": " + fault.dump());
      }
    }
    if (fails == outcome.ok()) {
      problem("UNEXPECTED outcome of " + id + " attempt " + std::to_string(meeting.attempts) +
              ": " + (outcome.ok() ? "success" : outcome.error().description()));
    }
    if (finished(meeting, outcome.ok())) return;
    if (meeting.attempts < attemptsPerMeeting) {
      saved_.push_back(std::move(meeting));
    } else {
      problem("LOST " + id + "; its folder stays in " + meeting.folder.string());
    }
  }

  // Checks the folder against the service. True when the meeting is finished
  // with: uploaded and verified, or gone wrongly.
  bool finished(const Meeting& meeting, bool succeeded) {
    const std::string& id = meeting.meetingId;
    const std::size_t count = meeting.expected.size();
    const json stored = control_->chunks(id);
    bool complete = stored.size() == count;
    for (const auto& [key, digest] : stored.items()) {
      const std::size_t k = std::stoul(key);
      if (k >= count || digest != meeting.expected[k]) {
        problem("WRONG identity of chunk " + key + " of " + id);
        complete = false;
      }
    }
    const json summaries = control_->summaries();
    const bool summarized = std::any_of(summaries.begin(), summaries.end(), [&](const json& s) {
      return s.at("meetingId") == id && s.at("expectedChunks") == count;
    });

    std::error_code error;
    if (fs::exists(meeting.folder, error) || error) {
      if (succeeded) problem("KEPT " + id + ": the upload succeeded but its folder stayed");
      return succeeded;
    }
    if (!succeeded) problem("REMOVED " + id + " although its attempt failed");
    if (!complete || !summarized) {
      problem("EARLY removal of " + id + ": the service holds " + std::to_string(stored.size()) +
              " of " + std::to_string(count) + " chunks, summary " +
              (summarized ? "recorded" : "missing"));
      return true;
    }
    // The audio itself, hashed here rather than trusting the service's digest.
    for (std::size_t k = 0; k < count; ++k) {
      const std::optional<std::string> bytes = control_->chunk(id, static_cast<int>(k));
      if (!bytes || audioHash(Bytes(bytes->begin(), bytes->end())) != meeting.expected[k]) {
        problem("AUDIO of chunk " + std::to_string(k) + " of " + id + " differs");
      }
    }
    // What was verified goes; partial chunks of saved meetings may go with
    // it, as every retry sends all chunks again.
    if (saved_.empty() || ++verifiedSinceReset_ >= 20) {
      control_->reset();
      verifiedSinceReset_ = 0;
    }
    return true;
  }

  Options options_;
  std::mt19937_64 random_;
  int chunks_ = 0, attempts_ = 0, failedAttempts_ = 0, problems_ = 0, verifiedSinceReset_ = 0;
  std::map<std::string, int> faultKinds_;  // planned, pass-throughs aside
  testing::PrivateMainContext context_;
  testing::TempFolder temp_;  // outlives the service, which writes into it
  fs::path root_ = temp_.path() / "data" / "Halden" / "Recordings";
  testing::DevService service_;
  std::string baseUrl_;
  std::optional<testing::StandInControl> control_;
  SessionCookies cookies_;
  std::unique_ptr<HttpTransport> transport_;
  std::optional<ServiceClient> client_;
  std::optional<MeetingUploader> uploader_;  // the end of a recording's
  testing::FakeShell shell_;
  testing::FakeView view_{cookies_};
  std::unique_ptr<AppDelegate> delegate_;  // the "Retry upload" path
  std::vector<Meeting> saved_;             // failed meetings awaiting a retry
};

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
  // First, so that a run that hangs or crashes can be replayed.
  std::cout << "seed " << options->seed << std::endl;
  try {
    return LoadRun(*options).run();
  } catch (const halden::testing::StandInControl::Error& error) {
    std::cerr << error.what() << "\n";  // the service, not the app, failed
    return 2;
  }
}
