// Crash campaign: kills capture, preparation and upload at random moments
// (SIGKILL, from a seeded generator), recovers each meeting the way a retry of
// a saved meeting does, and checks what the stand-in service received:
//   - capture: each track holds the played signal up to at most one second
//     before the kill, and the uploaded mix equals, sample for sample, the
//     mix of the tracks as the format defines it;
//   - preparation and upload: the uploaded chunks equal, byte for byte, those
//     of an uninterrupted preparation of the same folder;
//   - no chunk the service acknowledged is ever replaced by other bytes.
//
//   halden_crash_campaign [--runs N] [--seed S]
//
// Runs cycle through capture, preparation and upload. Exit status 0 when
// every run passed.
#include <httplib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "campaign/campaign_rig.h"
#include "campaign/reference.h"
#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "testing/devservice_process.h"
#include "testing/temp_folder.h"

namespace halden::campaign {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* session = "crash-campaign-session";
constexpr int64_t rate = 16000;
constexpr int64_t allowedLoss = rate;  // the last second
// A track is the played signal resampled by a ratio within 1 +- 0.2 %: placed
// to the nearest frame, a 1 kHz band loses at most cos(2 pi 1000 / 32000)
// (0.98) of its correlation to the half-frame offset, 16-bit rounding nothing
// measurable. Anything else in a window (a gap, a repeat, foreign samples)
// takes it far lower.
constexpr double correlationThreshold = 0.97;
constexpr auto signalLength = 20s;
constexpr int chunkDelayMs = 60;

enum Kind { capture, preparation, upload };
constexpr const char* kindNames[] = {"capture", "preparation", "upload"};

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string text(const std::string& file) {
  std::error_code error;
  if (!fs::exists(file, error)) return "";
  const Bytes bytes = testing::readBytes(file);
  return std::string(bytes.begin(), bytes.end());
}

// The stand-in service's control API.
class Control {
 public:
  explicit Control(const std::string& baseUrl) : client_(baseUrl) {}
  json get(const std::string& path) {
    httplib::Result answer = client_.Get(path);
    if (!answer || answer->status != 200) return json();
    return json::parse(answer->body, nullptr, false);
  }
  std::optional<std::string> bytes(const std::string& path) {
    httplib::Result answer = client_.Get(path);
    if (!answer || answer->status != 200) return std::nullopt;
    return answer->body;
  }
  bool post(const std::string& path, const json& body) {
    httplib::Result answer = client_.Post(path, body.dump(), "application/json");
    return answer && answer->status == 200;
  }

 private:
  httplib::Client client_;
};

struct Totals {
  int runs[3] = {};
  std::vector<int> killMs[3];
  int killedBeforeEnd[3] = {};
  int64_t samplesCompared = 0;
  int64_t trackFramesAligned = 0;
  int64_t worstLossFrames = 0;
  double worstCorrelation = 1;
  int replaced = 0;
  int failures = 0;
};

class Campaign {
 public:
  Campaign(uint64_t seed, const fs::path& helper) : random_(seed), helper_(helper) {}

  bool setUp(bool withSound);
  void run(int index, Kind kind);
  const Totals& totals() const { return totals_; }

 private:
  std::string newMeetingId();
  fs::path newMeeting(const std::string& id, bool withTracks, bool prepared);
  std::optional<int> runHelper(const std::vector<std::string>& args, std::chrono::seconds limit,
                               const std::string& name);
  bool recover(const fs::path& folder, const std::string& name);
  std::optional<std::vector<std::string>> received(const std::string& id);
  int replacedIdentities(const std::string& id);
  bool summarized(const std::string& id, std::size_t chunks);
  void planDelays(const std::string& id);
  bool checkAgainstReference(const std::string& id, const std::string& name);
  bool checkMix(const std::string& id, const std::vector<int16_t>& mix, const std::string& name);
  bool runCapture(int index, std::string& note);
  bool runPreparation(int index, std::string& note);
  bool runUpload(int index, std::string& note);
  int killDelay(int low, int high) { return std::uniform_int_distribution(low, high)(random_); }
  void fail(const std::string& what) {
    std::printf("    FAILED: %s\n", what.c_str());
    std::fflush(stdout);
  }

  std::mt19937_64 random_;
  fs::path helper_;
  testing::TempFolder temp_;
  fs::path root_ = temp_.folder("Recordings");
  fs::path base_ = temp_.folder("base");      // tracks and timing of the synthetic meeting
  fs::path prepared_ = temp_.folder("ref");   // the same, prepared without interruption
  std::optional<SoundDaemon> sound_;
  testing::DevService service_;
  std::string baseUrl_;
  std::optional<Control> control_;
  std::vector<std::string> reference_;        // chunk files of the uninterrupted preparation
  int prepareMs_ = 0, uploadMs_ = 0, uploadPreparedMs_ = 0;
  Totals totals_;
};

std::string Campaign::newMeetingId() {
  std::uniform_int_distribution<int> digit(0, 15);
  std::string id;
  for (int i = 0; i < 32; ++i) {
    int d = digit(random_);
    if (i == 12) d = 4;
    if (i == 16) d = 8 | (d & 3);
    if (i == 8 || i == 12 || i == 16 || i == 20) id += '-';
    id += "0123456789abcdef"[d];
  }
  return id;
}

// A meeting folder in the Recordings folder with its meeting.json, and the
// synthetic meeting's tracks (and its prepared chunks) when asked.
fs::path Campaign::newMeeting(const std::string& id, bool withTracks, bool prepared) {
  const fs::path folder = root_ / id;
  fs::create_directory(folder);
  fs::permissions(folder, fs::perms::owner_all);
  testing::writeBytes(folder / "meeting.json",
                      json{{"meetingId", id}, {"origin", baseUrl_}}.dump());
  if (withTracks) {
    for (const char* name : {"system.caf", "microphone.caf", "timing.json"}) {
      fs::copy_file(base_ / name, folder / name);
    }
  }
  if (prepared) {
    for (const auto& entry : fs::directory_iterator(prepared_)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("chunk") && !fs::exists(folder / name)) {
        fs::copy_file(entry.path(), folder / name);
      }
    }
  }
  return folder;
}

std::optional<int> Campaign::runHelper(const std::vector<std::string>& args,
                                       std::chrono::seconds limit, const std::string& name) {
  std::vector<std::string> argv = {helper_.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Child(argv, temp_ / (name + ".log")).wait(limit);
}

// The retry of a saved meeting, run to its end.
bool Campaign::recover(const fs::path& folder, const std::string& name) {
  const std::optional<int> status = runHelper(
      {"upload", root_.string(), folder.string(), baseUrl_, session}, 120s, name + "-recovery");
  if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
    if (fs::exists(folder)) {
      fail("recovery succeeded but kept the folder");
      return false;
    }
    return true;
  }
  fail("recovery failed: " + text(temp_ / (name + "-recovery.log")));
  return false;
}

// The chunk files the service stores for the meeting, in sequence order;
// nullopt when their numbers are not 0 ... n-1.
std::optional<std::vector<std::string>> Campaign::received(const std::string& id) {
  const json chunks = control_->get("/__control/chunks?meeting=" + id);
  if (!chunks.is_object() || !chunks.contains("chunks")) return std::nullopt;
  std::vector<std::string> files;
  for (std::size_t k = 0; k < chunks["chunks"].size(); ++k) {
    if (!chunks["chunks"].contains(std::to_string(k))) return std::nullopt;
    auto file = control_->bytes("/__control/chunk?meeting=" + id + "&sequence=" + std::to_string(k));
    if (!file) return std::nullopt;
    files.push_back(std::move(*file));
  }
  return files;
}

// Acknowledged chunk uploads of the meeting, in arrival order, whose bytes
// differ from an earlier acknowledged upload of the same sequence number.
int Campaign::replacedIdentities(const std::string& id) {
  const json log = control_->get("/__control/log");
  std::map<std::string, std::string> identities;  // sequence -> SHA-256
  int replaced = 0;
  for (const json& entry : log.value("requests", json::array())) {
    if (entry.value("path", "") != "/api/meetings/" + id + "/audio") continue;
    if (entry.value("status", 0) != 200) continue;
    const std::string sequence = entry.value("query", "");
    const std::string identity = entry.value("bodySha256", "");
    auto [known, added] = identities.emplace(sequence, identity);
    if (!added && known->second != identity) {
      ++replaced;
      fail("chunk " + sequence + " replaced: " + known->second + " then " + identity);
    }
  }
  return replaced;
}

bool Campaign::summarized(const std::string& id, std::size_t chunks) {
  for (const json& summary : control_->get("/__control/summaries").value("summaries", json())) {
    if (summary.value("meetingId", "") == id && summary.value("expectedChunks", 0u) == chunks) {
      return true;
    }
  }
  fail("no summary request for " + std::to_string(chunks) + " chunks");
  return false;
}

// Slows every chunk upload and the summary request of the meeting, so that
// kills fall inside the sending too, not only around it.
void Campaign::planDelays(const std::string& id) {
  control_->post("/__control/faults", {{"path", "/api/meetings/" + id + "/audio"},
                                       {"kind", "delay"},
                                       {"delayMs", chunkDelayMs},
                                       {"count", reference_.size()}});
  control_->post("/__control/faults", {{"path", "/api/meetings/" + id},
                                       {"match", "exact"},
                                       {"kind", "delay"},
                                       {"delayMs", chunkDelayMs}});
}

// The stored chunks equal the uninterrupted preparation's, byte for byte.
bool Campaign::checkAgainstReference(const std::string& id, const std::string& name) {
  (void)name;
  totals_.replaced += replacedIdentities(id);
  const auto files = received(id);
  if (!files || files->size() != reference_.size()) {
    fail("the service holds " + (files ? std::to_string(files->size()) : "no sequence of") +
         " chunks, the preparation made " + std::to_string(reference_.size()));
    return false;
  }
  for (std::size_t k = 0; k < files->size(); ++k) {
    if ((*files)[k] != reference_[k]) {
      fail("chunk " + std::to_string(k) + " differs from the uninterrupted preparation");
      return false;
    }
    totals_.samplesCompared += static_cast<int64_t>((reference_[k].size() - waveHeaderSize) / 2);
  }
  return summarized(id, files->size());
}

// The stored chunks, concatenated, equal `mix` sample for sample, each
// holding 60 s but the last.
bool Campaign::checkMix(const std::string& id, const std::vector<int16_t>& mix,
                        const std::string& name) {
  (void)name;
  totals_.replaced += replacedIdentities(id);
  const auto files = received(id);
  if (!files || files->empty()) {
    fail("the service holds no complete sequence of chunks");
    return false;
  }
  std::vector<int16_t> got;
  for (std::size_t k = 0; k < files->size(); ++k) {
    const std::string& file = (*files)[k];
    const std::size_t frames = (file.size() - waveHeaderSize) / 2;
    if (k + 1 < files->size() && frames != static_cast<std::size_t>(chunkFrameCount)) {
      fail("chunk " + std::to_string(k) + " holds " + std::to_string(frames) + " frames");
      return false;
    }
    for (std::size_t i = 0; i < frames; ++i) {
      const auto* p = reinterpret_cast<const unsigned char*>(file.data()) + waveHeaderSize + 2 * i;
      got.push_back(static_cast<int16_t>(p[0] | p[1] << 8));
    }
  }
  if (got.size() != mix.size()) {
    fail("the service holds " + std::to_string(got.size()) + " frames, the tracks mix to " +
         std::to_string(mix.size()));
    return false;
  }
  const auto differs = std::mismatch(got.begin(), got.end(), mix.begin());
  if (differs.first != got.end()) {
    fail("mixed frame " + std::to_string(differs.first - got.begin()) + " is " +
         std::to_string(*differs.first) + ", the tracks give " + std::to_string(*differs.second));
    return false;
  }
  totals_.samplesCompared += static_cast<int64_t>(mix.size());
  return summarized(id, files->size());
}

bool Campaign::setUp(bool withSound) {
  if (withSound) {
    sound_.emplace();
    if (!sound_->ok()) {
      std::printf("the PulseAudio daemon did not start:\n%s\n",
                  text(sound_->folder() / "pulseaudio.log").c_str());
      return false;
    }
  }
  testing::DevServiceOptions options;
  options.sessions = {session};
  baseUrl_ = service_.start(options);
  if (baseUrl_.empty()) return false;
  baseUrl_ += "/";  // the service URL as the app writes it into meeting.json
  control_.emplace(service_.baseUrl());

  // 200 s of system audio and 190 s of microphone 2.5 s later: four chunks,
  // the last one partial, with the two tracks overlapping across boundaries.
  const std::size_t frames = 200 * rate;
  for (const char* name : {"system", "microphone"}) {
    std::vector<float> signal = bandLimitedNoise(name[0], name[0] == 's' ? frames : frames - 10 * rate);
    // Loud passages, so the saturation is part of what is compared.
    for (std::size_t i = 0; i < signal.size(); i += 5 * rate) {
      for (std::size_t j = i; j < std::min(signal.size(), i + rate / 2); ++j) signal[j] *= 4;
    }
    auto writer = TrackWriter::create(base_ / (std::string(name) + ".caf"), TrackEncoding::pcm16);
    if (!writer.ok() || !(*writer)->append(signal).ok() || !(*writer)->close().ok()) return false;
  }
  if (!writeTiming({{"system", 5000.0}, {"microphone", 5002.5}}, base_).ok()) return false;
  for (const char* name : {"system.caf", "microphone.caf", "timing.json"}) {
    fs::copy_file(base_ / name, prepared_ / name);
  }

  auto started = std::chrono::steady_clock::now();
  std::optional<int> status = runHelper({"prepare", prepared_.string()}, 120s, "reference");
  prepareMs_ = static_cast<int>((std::chrono::steady_clock::now() - started) / 1ms);
  if (!status || *status != 0) {
    std::printf("the reference preparation failed: %s\n", text(temp_ / "reference.log").c_str());
    return false;
  }
  for (int k = 0; fs::exists(prepared_ / ("chunk-00" + std::to_string(k) + ".wav")); ++k) {
    const Bytes file = testing::readBytes(prepared_ / ("chunk-00" + std::to_string(k) + ".wav"));
    reference_.emplace_back(file.begin(), file.end());
  }
  // The uninterrupted preparation itself must be the mix the format defines.
  std::map<std::string, std::vector<int16_t>> tracks;
  for (const char* name : {"system", "microphone"}) {
    tracks[name] = readPcm16Track(base_ / (std::string(name) + ".caf")).value_or(std::vector<int16_t>{});
  }
  std::vector<int16_t> mix = referenceMix(tracks, *readTimingFile(base_));
  std::vector<int16_t> prepared;
  for (const std::string& file : reference_) {
    for (std::size_t i = waveHeaderSize; i + 1 < file.size(); i += 2) {
      prepared.push_back(static_cast<int16_t>(static_cast<unsigned char>(file[i]) |
                                              static_cast<unsigned char>(file[i + 1]) << 8));
    }
  }
  if (prepared != mix) {
    std::printf("the uninterrupted preparation differs from the mix of its tracks\n");
    return false;
  }

  // Uninterrupted uploads, unprepared and prepared, for the range of kill moments.
  for (bool withChunks : {false, true}) {
    const std::string id = newMeetingId();
    const fs::path folder = newMeeting(id, true, withChunks);
    planDelays(id);
    started = std::chrono::steady_clock::now();
    if (!recover(folder, "reference-upload")) return false;
    (withChunks ? uploadPreparedMs_ : uploadMs_) =
        static_cast<int>((std::chrono::steady_clock::now() - started) / 1ms);
    if (!checkAgainstReference(id, "reference-upload")) return false;
  }
  std::printf("reference: %zu chunks, preparation %d ms, upload %d ms (%d ms prepared)\n",
              reference_.size(), prepareMs_, uploadMs_, uploadPreparedMs_);
  totals_.samplesCompared = 0;
  return true;
}

bool Campaign::runCapture(int index, std::string& note) {
  const std::string id = newMeetingId();
  const fs::path folder = newMeeting(id, false, false);
  const char* trackNames[] = {"system", "microphone"};
  std::vector<float> signals[2];
  for (int i = 0; i < 2; ++i) {
    signals[i] = bandLimitedNoise(random_(), static_cast<std::size_t>(signalLength / 1s * rate));
  }
  testing::TonePlayer player;
  if (!player.play({{"speakers", signals[0]}, {"micsink", signals[1]}})) {
    fail("the signal cannot play: " + player.error());
    return false;
  }
  // The signal is already playing when capture starts.
  std::this_thread::sleep_for(300ms);
  const int killMs = killDelay(300, 6000);
  totals_.killMs[capture].push_back(killMs);
  const std::string name = "run" + std::to_string(index);
  int64_t startPlayed[2], killPlayed[2];
  double killTime;
  {
    Child recorder({helper_.string(), "record", folder.string()}, temp_ / (name + ".log"));
    if (recorder.readLine(20s) != "recording\n") {
      fail("capture did not start: " + text(temp_ / (name + ".log")));
      return false;
    }
    for (int i = 0; i < 2; ++i) startPlayed[i] = player.playedFrames(i);
    std::this_thread::sleep_for(std::chrono::milliseconds(killMs));
    for (int i = 0; i < 2; ++i) killPlayed[i] = player.playedFrames(i);
    killTime = monotonicSeconds();
    if (recorder.kill()) ++totals_.killedBeforeEnd[capture];
  }
  note = std::to_string(killMs) + " ms";

  // What reached each track, against what had played by the kill.
  const auto timing = readTimingFile(folder);
  std::map<std::string, std::vector<int16_t>> tracks;
  bool ok = true;
  for (int i = 0; i < 2; ++i) {
    const std::string trackName = trackNames[i];
    std::optional<std::vector<int16_t>> track =
        readPcm16Track(folder / (trackName + ".caf"));
    int64_t loss;
    if (!track || track->empty()) {
      if (fs::exists(folder / (trackName + ".caf")) && !track) {
        fail(trackName + ".caf is no readable track");
        ok = false;
      }
      loss = killPlayed[i] - startPlayed[i];
      note += ", " + trackName + " none";
    } else {
      if (!timing || !timing->contains(trackName)) {
        fail("timing.json lacks " + trackName);
        ok = false;
        continue;
      }
      const auto expected = static_cast<int64_t>(
          static_cast<double>(killPlayed[i]) - (killTime - timing->at(trackName)) * rate);
      const Alignment aligned = alignTrack(*track, signals[i], expected, correlationThreshold);
      if (!aligned.found) {
        fail(trackName + ": " + aligned.problem);
        ok = false;
        continue;
      }
      totals_.trackFramesAligned += aligned.compared;
      totals_.worstCorrelation = std::min(totals_.worstCorrelation, aligned.worstCorrelation);
      loss = killPlayed[i] - aligned.end;
      note += ", " + trackName + " " + std::to_string(track->size()) + " frames";
      tracks[trackName] = std::move(*track);
    }
    note += " lost " + std::to_string(loss * 1000 / rate) + " ms";
    totals_.worstLossFrames = std::max(totals_.worstLossFrames, loss);
    if (loss > allowedLoss) {
      fail(trackName + " lost " + std::to_string(loss) + " frames before the kill");
      ok = false;
    }
  }
  if (!ok) return false;
  if (tracks.empty()) {
    // Nothing was captured: there is nothing to recover, and a retry must
    // say so and keep the folder.
    const std::optional<int> status = runHelper(
        {"upload", root_.string(), folder.string(), baseUrl_, session}, 60s, name + "-recovery");
    if (!status || *status == 0 || !fs::exists(folder)) {
      fail("a retry of a meeting without audio did not fail and keep the folder");
      return false;
    }
    return true;
  }
  const std::vector<int16_t> mix = referenceMix(tracks, timing.value_or(std::map<std::string, double>{}));
  if (!recover(folder, name)) return false;
  return checkMix(id, mix, name);
}

bool Campaign::runPreparation(int index, std::string& note) {
  const std::string id = newMeetingId();
  const fs::path folder = newMeeting(id, true, false);
  const int killMs = killDelay(0, prepareMs_ * 6 / 5);
  totals_.killMs[preparation].push_back(killMs);
  const std::string name = "run" + std::to_string(index);
  {
    Child preparing({helper_.string(), "prepare", folder.string()}, temp_ / (name + ".log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(killMs));
    if (preparing.kill()) ++totals_.killedBeforeEnd[preparation];
  }
  int chunks = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    chunks += entry.path().filename().string().starts_with("chunk-");
  }
  note = std::to_string(killMs) + " ms, " + std::to_string(chunks) + " chunk files" +
         (fs::exists(folder / "chunks.json") ? " and manifest" : "");
  if (!recover(folder, name)) return false;
  return checkAgainstReference(id, name);
}

bool Campaign::runUpload(int index, std::string& note) {
  const std::string id = newMeetingId();
  const bool withChunks = index % 2 == 0;
  const fs::path folder = newMeeting(id, true, withChunks);
  const int killMs = killDelay(0, (withChunks ? uploadPreparedMs_ : uploadMs_) * 11 / 10);
  totals_.killMs[upload].push_back(killMs);
  const std::string name = "run" + std::to_string(index);
  planDelays(id);
  {
    Child uploading({helper_.string(), "upload", root_.string(), folder.string(), baseUrl_, session},
                    temp_ / (name + ".log"));
    std::this_thread::sleep_for(std::chrono::milliseconds(killMs));
    if (uploading.kill()) ++totals_.killedBeforeEnd[upload];
  }
  const json chunks = control_->get("/__control/chunks?meeting=" + id);
  note = std::to_string(killMs) + " ms" + (withChunks ? " (prepared)" : "") + ", " +
         std::to_string(chunks.value("chunks", json::object()).size()) + " chunks stored";
  if (fs::exists(folder)) {
    if (!recover(folder, name)) return false;
  } else {
    note += ", upload had finished";
  }
  // Requests of the killed upload that the service still held back.
  std::this_thread::sleep_for(std::chrono::milliseconds(3 * chunkDelayMs));
  return checkAgainstReference(id, name);
}

void Campaign::run(int index, Kind kind) {
  ++totals_.runs[kind];
  std::string note;
  bool ok = false;
  switch (kind) {
    case capture: ok = runCapture(index, note); break;
    case preparation: ok = runPreparation(index, note); break;
    case upload: ok = runUpload(index, note); break;
  }
  std::printf("run %d %s: kill at %s: %s\n", index, kindNames[kind], note.c_str(),
              ok ? "ok" : "FAILED");
  std::fflush(stdout);
  if (!ok) ++totals_.failures;
}

std::string joined(const std::vector<int>& values) {
  std::string out;
  for (int value : values) out += (out.empty() ? "" : " ") + std::to_string(value);
  return out;
}

}  // namespace
}  // namespace halden::campaign

int main(int argc, char** argv) {
  using namespace halden::campaign;
  int runs = 15;
  uint64_t seed = std::random_device()();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--runs") {
      runs = std::stoi(argv[i + 1]);
    } else if (option == "--seed") {
      seed = std::stoull(argv[i + 1]);
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--seed S]\n", argv[0]);
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: %s [--runs N] [--seed S]\n", argv[0]);
    return 2;
  }
  std::printf("crash campaign: %d runs, seed %llu (repeat with --seed %llu)\n", runs,
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  Campaign campaign(seed, HALDEN_CAMPAIGN_HELPER);
  if (!campaign.setUp(runs > 0)) {
    std::printf("setup failed\n");
    return 1;
  }
  for (int i = 0; i < runs; ++i) campaign.run(i + 1, static_cast<Kind>(i % 3));
  const Totals& totals = campaign.totals();
  std::printf("runs: capture %d, preparation %d, upload %d\n", totals.runs[capture],
              totals.runs[preparation], totals.runs[upload]);
  for (int kind = 0; kind < 3; ++kind) {
    std::printf("kill moments (ms), %s: %s (%d killed while working)\n", kindNames[kind],
                joined(totals.killMs[kind]).c_str(), totals.killedBeforeEnd[kind]);
  }
  std::printf("samples compared: %lld uploaded samples exactly, %lld track frames against the "
              "played signal (worst correlation %.4f)\n",
              static_cast<long long>(totals.samplesCompared),
              static_cast<long long>(totals.trackFramesAligned), totals.worstCorrelation);
  std::printf("worst loss at the end: %lld frames (%lld ms)\n",
              static_cast<long long>(totals.worstLossFrames),
              static_cast<long long>(totals.worstLossFrames * 1000 / rate));
  std::printf("replaced identities: %d\n", totals.replaced);
  std::printf("%s: %d of %d runs failed\n", totals.failures ? "FAILED" : "ok", totals.failures,
              runs);
  return totals.failures || totals.replaced ? 1 : 0;
}
