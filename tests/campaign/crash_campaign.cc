// Crash campaign: kills capture, preparation and upload at random moments
// (SIGKILL, from a seeded generator), recovers each meeting the way a retry of
// a saved meeting does, and checks what the stand-in service received:
//   - capture: each track holds the played signal up to at most one second
//     before the kill, and the uploaded chunks equal, byte for byte, the
//     reference mix of the tracks;
//   - preparation and upload: the uploaded chunks equal, byte for byte, those
//     of an uninterrupted preparation of the same folder, which is itself the
//     reference mix of its tracks;
//   - no chunk the service acknowledged is ever replaced by other bytes, and
//     every meeting's summary is requested for all its chunks.
//
//   halden_crash_campaign [--runs N] [--seed S]
//
// Runs cycle through capture, preparation and upload. Exit status 0 when
// every run passed.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/pulse_rig.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "testing/child_process.h"
#include "testing/devservice_process.h"
#include "testing/reference_mix.h"
#include "testing/stand_in_control.h"
#include "testing/temp_folder.h"

namespace halden::campaign {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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
constexpr auto chunkDelay = 60ms;
constexpr const char* trackNames[] = {"system", "microphone"};

// The sound server's devices at the tracks' own format, 16 kHz mono float, so
// that the signal reaches capture unconverted.
constexpr const char* soundDevices[] = {
    "unload-module module-remap-source",
    "unload-module module-null-sink",
    "load-module module-null-sink sink_name=speakers rate=16000 channels=1 format=float32le",
    "load-module module-null-sink sink_name=micsink rate=16000 channels=1 format=float32le",
    ("load-module module-remap-source source_name=mic master=micsink.monitor rate=16000 "
     "channels=1 format=float32le"),
    "set-default-sink speakers",
    "set-default-source mic",
};

constexpr std::size_t windowFrames = 1600;  // 0.1 s
// The resampler's first output is its filter filling up.
constexpr std::size_t skippedFrames = 800;
// From one 0.1 s window to the next the resampler's ratio (within 1 +- 0.2 %)
// moves a track by well under a frame; three frames is ample.
constexpr int64_t driftFrames = 3;
constexpr int64_t firstSearchFrames = 8000;

// Normalized correlation of track[from, from + n) with signal[at, at + n);
// the track's scale (16-bit samples) cancels out.
double correlation(const std::vector<int16_t>& track, std::size_t from,
                   const std::vector<float>& signal, int64_t at, std::size_t n) {
  if (at < 0 || static_cast<std::size_t>(at) + n > signal.size()) return -1;
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = track[from + i], b = signal[static_cast<std::size_t>(at) + i];
    ab += a * b;
    aa += a * a;
    bb += b * b;
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1;
}

// The samples of a 16 kHz mono 16-bit little-endian CAF track, as many as
// its header's data size counts (all bytes to the end when it says "unknown",
// never more than the file holds); nullopt for any other file. Read without
// the store's reader, from the format description alone.
std::optional<std::vector<int16_t>> readPcm16Track(const fs::path& file) {
  const Bytes bytes = testing::readBytes(file);      // none when absent
  const auto word = [&](std::size_t at, int size) {  // big-endian
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
    return value;
  };
  const auto tag = [&](std::size_t at) {
    return std::string_view(reinterpret_cast<const char*>(&bytes[at]), 4);
  };
  if (bytes.size() < 8 || tag(0) != "caff") return std::nullopt;
  bool described = false;
  for (std::size_t pos = 8; pos + 12 <= bytes.size();) {
    const auto size = static_cast<int64_t>(word(pos + 4, 8));
    const std::size_t body = pos + 12;
    if (tag(pos) == "desc") {
      if (size < 32 || body + 32 > bytes.size()) return std::nullopt;
      // Linear PCM, flags 2 (integer, little-endian), 2 bytes and 1 frame a
      // packet, 1 channel, 16 bits.
      described = std::bit_cast<double>(word(body, 8)) == rate && tag(body + 8) == "lpcm" &&
                  word(body + 12, 4) == 2 && word(body + 16, 4) == 2 && word(body + 20, 4) == 1 &&
                  word(body + 24, 4) == 1 && word(body + 28, 4) == 16;
      if (!described) return std::nullopt;
    } else if (tag(pos) == "data") {
      if (!described || body + 4 > bytes.size()) return std::nullopt;
      const std::size_t start = body + 4;  // after the edit count
      std::size_t length = bytes.size() - start;
      if (size >= 4) length = std::min(length, static_cast<std::size_t>(size - 4));
      std::vector<int16_t> samples(length / 2);
      for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(bytes[start + 2 * i] | bytes[start + 2 * i + 1] << 8);
      }
      return samples;
    }
    if (size < 0) return std::nullopt;
    pos = body + static_cast<std::size_t>(size);
  }
  return std::nullopt;
}

// Noise band-limited to 1 kHz, deterministic for `seed`, RMS about 0.2.
std::vector<float> bandLimitedNoise(uint64_t seed, std::size_t frames) {
  // A Hann-windowed sinc of 129 taps, cut off at 1 kHz.
  constexpr int half = 64;
  constexpr double cutoff = 1000.0 / rate;
  std::vector<double> taps(2 * half + 1);
  for (int k = -half; k <= half; ++k) {
    const double x = 2 * cutoff * k;
    const double sinc = k == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
    taps[static_cast<std::size_t>(k + half)] =
        2 * cutoff * sinc * (0.5 + 0.5 * std::cos(M_PI * k / (half + 1)));
  }
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> white(frames + taps.size());
  for (double& sample : white) sample = uniform(random);
  std::vector<float> out(frames);
  // Uniform noise has RMS 0.577; a 1 kHz band of it keeps sqrt(2 x 1/16).
  const double gain = 0.2 / (0.577 * std::sqrt(2 * cutoff));
  for (std::size_t i = 0; i < frames; ++i) {
    double sum = 0;
    for (std::size_t k = 0; k < taps.size(); ++k) sum += taps[k] * white[i + k];
    out[i] = static_cast<float>(std::clamp(sum * gain, -0.9, 0.9));
  }
  return out;
}

// Where a captured track lies in the signal it recorded.
struct Alignment {
  // Signal frame just past the track's last frame; nullopt when the track
  // holds too little audio to be placed.
  std::optional<int64_t> end;
  double worstCorrelation = 1;
  std::string problem;  // empty when found, else why it was not
};

// Follows `track` through `signal` window by window (0.1 s), allowing the
// few frames of drift a resampler that follows the source clock brings.
// The first window is searched within +-0.5 s of `expectedStart`. Every
// window must correlate with the signal at `threshold` or better. A track
// with less audio than one window after the skipped start (a kill before
// the sinks had played much) is not placed.
Alignment alignTrack(const std::vector<int16_t>& track, const std::vector<float>& signal,
                     int64_t expectedStart, double threshold) {
  Alignment result;
  // A track opens with silence until its source's first audio arrived.
  std::size_t lead = 0;
  while (lead < track.size() && track[lead] == 0) ++lead;
  const std::size_t first = lead + skippedFrames;
  // lag: signal frame minus track frame. The first window is searched around
  // the expected start, every next one around the lag of the one before.
  int64_t lag = expectedStart;
  std::size_t from = first;
  for (; from + windowFrames <= track.size(); from += windowFrames) {
    const int64_t reach = from == first ? firstSearchFrames : driftFrames;
    std::pair<double, int64_t> best{-2, 0};
    for (int64_t at = lag - reach; at <= lag + reach; ++at) {
      const double c =
          correlation(track, from, signal, static_cast<int64_t>(from) + at, windowFrames);
      if (c > best.first) best = {c, at};
    }
    if (best.first < threshold) {
      result.problem =
          "frame " + std::to_string(from) + " correlates " + std::to_string(best.first);
      return result;
    }
    lag = best.second;
    result.worstCorrelation = std::min(result.worstCorrelation, best.first);
  }
  if (from != first) result.end = lag + static_cast<int64_t>(track.size());
  return result;
}

enum Kind { capture, preparation, upload };
constexpr const char* kindNames[] = {"capture", "preparation", "upload"};

std::string text(const fs::path& file) {
  const Bytes bytes = testing::readBytes(file);  // none when absent
  return {bytes.begin(), bytes.end()};
}

int msSince(Clock::time_point start) { return static_cast<int>((Clock::now() - start) / 1ms); }

bool fail(const std::string& what) {
  std::printf("    FAILED: %s\n", what.c_str());
  return false;
}

class Campaign {
 public:
  explicit Campaign(uint64_t seed) : random_(seed) {}

  bool setUp() {
    if (!startSound()) return false;
    testing::DevServiceOptions options;
    options.sessions = {session};
    baseUrl_ = service_.start(options);
    if (baseUrl_.empty()) return false;
    control_.emplace(baseUrl_);
    baseUrl_ += "/";  // the service URL as the app writes it into meeting.json

    // 200 s of system audio and 190 s of microphone 2.5 s later: four chunks,
    // the last one partial, with the two tracks overlapping across boundaries.
    std::map<std::string, std::vector<int16_t>> tracks;
    for (const std::string name : trackNames) {
      std::vector<float> signal = bandLimitedNoise(name[0], (name == "system" ? 200 : 190) * rate);
      // Loud passages, so the saturation is part of what is compared.
      for (std::size_t i = 0; i < signal.size(); i += 5 * rate) {
        for (std::size_t j = i; j < std::min(signal.size(), i + rate / 2); ++j) signal[j] *= 4;
      }
      const fs::path file = prepared_ / (name + ".caf");
      auto writer = TrackWriter::create(file, TrackEncoding::pcm16);
      if (!writer.ok() || !(*writer)->append(signal).ok() || !(*writer)->close().ok()) return false;
      tracks[name] = readPcm16Track(file).value_or(std::vector<int16_t>{});
    }
    const TimingMap timing{{"system", 5000.0}, {"microphone", 5002.5}};
    if (!writeTiming(timing, prepared_).ok()) return false;

    const Clock::time_point started = Clock::now();
    if (runFor({"prepare", prepared_.string()}, "reference", 120s) != 0) {
      return fail("the reference preparation failed: " + text(temp_ / "reference.log"));
    }
    prepareMs_ = msSince(started);
    // The uninterrupted preparation itself must be the reference mix of its tracks.
    reference_ = testing::referenceChunks(testing::referenceMix(tracks, timing));
    for (std::size_t k = 0; k <= reference_.size(); ++k) {  // and not one chunk more
      const Bytes file = testing::readBytes(prepared_ / ("chunk-00" + std::to_string(k) + ".wav"));
      if (file != (k < reference_.size() ? reference_[k] : Bytes{})) {
        return fail("the uninterrupted preparation differs from the reference mix of its tracks");
      }
    }

    // Uninterrupted uploads, unprepared and prepared, for the range of kill moments.
    for (const bool prepared : {false, true}) {
      const std::string id = newMeetingId();
      const fs::path folder = newMeeting(id, true, prepared);
      planDelays(id);
      const Clock::time_point start = Clock::now();
      if (!recover(folder, "reference-upload")) return false;
      uploadMs_[prepared] = msSince(start);
      if (!checkChunks(id, reference_)) return false;
    }
    return true;
  }

  // The next run, of the next kind in turn: starts its work on a new meeting, kills
  // it at a random moment, recovers the meeting and checks what the service holds.
  void run() {
    const auto kind = static_cast<Kind>(runs_++ % 3);
    const int index = runs_;
    const std::string name = "run" + std::to_string(index);
    const std::string id = newMeetingId();
    const bool prepared = kind == upload && index % 2 == 0;
    fs::path folder = newMeeting(id, kind != capture, prepared);
    const int killMs = kind == capture       ? killDelay(300, 6000)
                       : kind == preparation ? killDelay(0, prepareMs_ * 6 / 5)
                                             : killDelay(0, uploadMs_[prepared] * 11 / 10);
    std::vector<Bytes> expected = reference_;
    bool ok = true;
    if (kind == capture) {
      ok = killCapture(folder, name, killMs, expected);
      // A sound server that ended under the recording took the signal with
      // it: the run is made again on a new one (which killCapture starts).
      if (!ok && !sound_->ended().empty()) {
        fs::remove_all(folder);
        folder = newMeeting(id, false, false);
        ok = killCapture(folder, name, killMs, expected);
      }
    } else {
      if (kind == upload) planDelays(id);
      const auto args = kind == upload ? uploadArgs(folder)
                                       : std::vector<std::string>{"prepare", folder.string()};
      killed_[kind] += !runFor(args, name, killMs * 1ms);
    }
    if (ok && expected.empty()) {
      // Nothing was captured: there is nothing to recover, and a retry must
      // say so and keep the folder.
      const std::optional<int> status = runFor(uploadArgs(folder), name + "-recovery", 60s);
      ok = (status && *status != 0 && fs::exists(folder)) ||
           fail("a retry of a meeting without audio did not fail and keep the folder");
    } else if (ok) {
      // An upload may have finished before its kill.
      ok = (kind == upload && !fs::exists(folder)) || recover(folder, name + "-recovery");
      // Requests of the killed upload that the service still held back.
      if (kind == upload) std::this_thread::sleep_for(3 * chunkDelay);
      ok = ok && checkChunks(id, expected);
    }
    std::printf("run %d %s: kill at %d ms: %s\n", index, kindNames[kind], killMs,
                ok ? "ok" : "FAILED");
    failures_ += !ok;
  }

  // Prints the totals; true when every run passed.
  bool summary() const {
    std::printf("killed while working: capture %d, preparation %d, upload %d\n", killed_[capture],
                killed_[preparation], killed_[upload]);
    std::printf("worst correlation with the signal %.4f, worst loss at a kill %lld ms\n",
                worstCorrelation_, static_cast<long long>(worstLoss_ * 1000 / rate));
    if (soundServerEnds_) std::printf("the sound server ended %d time(s)\n", soundServerEnds_);
    std::printf("%s: %d of %d runs failed\n", failures_ ? "FAILED" : "ok", failures_, runs_);
    return failures_ == 0;
  }

 private:
  // Meeting identities need only be valid and distinct within the campaign.
  std::string newMeetingId() {
    return "00000000-0000-4000-8000-" + std::to_string(100'000'000'000 + ++meetings_);
  }
  int killDelay(int low, int high) { return std::uniform_int_distribution(low, high)(random_); }

  // A new private server; an earlier one stops first.
  bool startSound() {
    sound_.emplace(testing::SoundServer::Kind::pulseAudio);
    bool ok = sound_->ok();
    for (const char* command : soundDevices) ok = ok && sound_->pactl(command);
    return ok || fail("no 16 kHz devices: " + text(sound_->folder() / "pulseaudio.log"));
  }
  // A sound server that ended is the server's fault, not the recorder's:
  // the campaign says how it ended and goes on with a new one, once.
  bool soundServerRunning() {
    const std::string ended = sound_->ended();
    if (ended.empty()) return true;
    std::printf("    the sound server ended (%s); its log:\n%s", ended.c_str(),
                text(sound_->folder() / "pulseaudio.log").c_str());
    if (++soundServerEnds_ > 1) return fail("the sound server ended a second time");
    return startSound();
  }

  // A meeting folder in the Recordings folder with its meeting.json, and the
  // synthetic meeting's tracks and timing (and its prepared chunks) when asked.
  fs::path newMeeting(const std::string& id, bool withTracks, bool prepared) {
    const fs::path folder = root_ / id;
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all);
    testing::writeBytes(folder / "meeting.json",
                        json{{"meetingId", id}, {"origin", baseUrl_}}.dump());
    for (const auto& entry : fs::directory_iterator(prepared_)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("chunk") ? prepared : withTracks) {
        fs::copy_file(entry.path(), folder / name);
      }
    }
    return folder;
  }

  // The helper running `args`, its stdout piped back, its stderr in <log>.log.
  testing::ChildProcess helper(std::vector<std::string> args, const std::string& log) const {
    args.insert(args.begin(), HALDEN_CAMPAIGN_HELPER);
    return testing::ChildProcess(std::move(args), testing::ChildOutput::pipe(),
                                 testing::ChildOutput::appendTo(temp_ / (log + ".log")));
  }
  // Runs the helper with `args` until it ends, or kills it after `limit` as a
  // crash would. Its wait status; nullopt when it was killed while working.
  std::optional<int> runFor(std::vector<std::string> args, const std::string& log,
                            std::chrono::milliseconds limit) const {
    testing::ChildProcess child = helper(std::move(args), log);
    if (child.wait(limit) || !child.kill()) return child.poll();
    return std::nullopt;
  }
  // The retry of a saved meeting, as the app runs it.
  std::vector<std::string> uploadArgs(const fs::path& folder) const {
    return {"upload", root_.string(), folder.string(), baseUrl_, session};
  }
  // The retry run to its end: it must succeed and remove the folder.
  bool recover(const fs::path& folder, const std::string& log) const {
    if (runFor(uploadArgs(folder), log, 120s) != 0) {
      return fail("recovery failed: " + text(temp_ / (log + ".log")));
    }
    return !fs::exists(folder) || fail("recovery succeeded but kept the folder");
  }

  // Slows every chunk upload and the summary request of the meeting, so that
  // kills fall inside the sending too, not only around it.
  void planDelays(const std::string& id) {
    json summary{{"path", "/api/meetings/" + id}, {"kind", "delay"}, {"delayMs", chunkDelay / 1ms}};
    json chunks = summary;
    chunks["path"] = "/api/meetings/" + id + "/audio";
    chunks["count"] = reference_.size();
    summary["match"] = "exact";
    control_->addFault(chunks);
    control_->addFault(summary);
  }

  // Records into `folder` while signals play, kills the recorder `killMs`
  // after capture started and checks each track against what had played by
  // then. `expected` becomes the chunks the tracks must give: none when
  // nothing was captured.
  bool killCapture(const fs::path& folder, const std::string& name, int killMs,
                   std::vector<Bytes>& expected) {
    std::vector<float> signals[2];
    for (auto& signal : signals) signal = bandLimitedNoise(random_(), signalLength / 1s * rate);
    if (!soundServerRunning()) return false;
    testing::TonePlayer player;
    if (!player.play({{"speakers", signals[0]}, {"micsink", signals[1]}})) {
      return fail("the signal cannot play: " + player.error());
    }
    // The signal is already playing when capture starts.
    std::this_thread::sleep_for(300ms);
    int64_t startPlayed[2], killPlayed[2];
    double killSeconds;  // CLOCK_MONOTONIC, as timing.json's members
    {
      testing::ChildProcess recorder = helper({"record", folder.string()}, name);
      if (recorder.readLine(20s) != "recording\n") {
        return fail("capture did not start: " + text(temp_ / (name + ".log")));
      }
      for (int i = 0; i < 2; ++i) startPlayed[i] = player.playedFrames(i);
      std::this_thread::sleep_for(killMs * 1ms);
      for (int i = 0; i < 2; ++i) killPlayed[i] = player.playedFrames(i);
      killSeconds = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
      killed_[capture] += recorder.kill();
    }

    // What reached each track, against what had played by the kill.
    // The store's reader: the store tests pin timing.json's form, alignment its values.
    const Result<TimingMap> read = readTiming(folder);
    const TimingMap timing = read.ok() ? *read : TimingMap{};
    std::map<std::string, std::vector<int16_t>> tracks;
    for (int i = 0; i < 2; ++i) {
      const std::string track = trackNames[i];
      std::optional<std::vector<int16_t>> samples = readPcm16Track(folder / (track + ".caf"));
      if (!samples && fs::exists(folder / (track + ".caf"))) {
        return fail(track + ".caf is no readable track");
      }
      int64_t captured = startPlayed[i];  // signal frame just past the track's end
      if (samples && !samples->empty()) {
        if (!timing.contains(track)) return fail("timing.json lacks " + track);
        const auto expectedStart = static_cast<int64_t>(static_cast<double>(killPlayed[i]) -
                                                        (killSeconds - timing.at(track)) * rate);
        const Alignment aligned =
            alignTrack(*samples, signals[i], expectedStart, correlationThreshold);
        if (!aligned.problem.empty()) return fail(track + ": " + aligned.problem);
        worstCorrelation_ = std::min(worstCorrelation_, aligned.worstCorrelation);
        // Too little to place: counted as holding nothing of the signal.
        captured = aligned.end.value_or(captured);
        tracks[track] = std::move(*samples);
      }
      const int64_t loss = killPlayed[i] - captured;
      worstLoss_ = std::max(worstLoss_, loss);
      if (loss > allowedLoss) {
        return fail(track + " lost " + std::to_string(loss) + " frames before the kill");
      }
    }
    expected = testing::referenceChunks(testing::referenceMix(tracks, timing));
    return true;
  }

  // The service holds `expected` for the meeting, chunk for chunk and byte
  // for byte, no acknowledged chunk upload carried other bytes than an earlier
  // acknowledged one of the same sequence number, and the summary was asked for.
  bool checkChunks(const std::string& id, const std::vector<Bytes>& expected) {
    std::map<std::string, std::string> identities;  // sequence -> SHA-256
    for (const json& entry : control_->requests()) {
      if (entry.value("path", "") != "/api/meetings/" + id + "/audio") continue;
      if (entry.value("status", 0) != 200) continue;
      const std::string identity = entry.value("bodySha256", "");
      const auto [known, added] = identities.emplace(entry.value("query", ""), identity);
      if (!added && known->second != identity) {
        return fail("chunk " + known->first + " replaced: " + known->second + " then " + identity);
      }
    }
    const std::size_t stored = control_->chunks(id).size();
    if (stored != expected.size()) {
      return fail("the service holds " + std::to_string(stored) + " chunks, expected " +
                  std::to_string(expected.size()));
    }
    for (std::size_t k = 0; k < stored; ++k) {
      const std::optional<std::string> file = control_->chunk(id, static_cast<int>(k));
      if (!file || Bytes(file->begin(), file->end()) != expected[k]) {
        return fail("chunk " + std::to_string(k) + " differs from the reference");
      }
    }
    for (const json& summary : control_->summaries()) {
      if (summary.value("meetingId", "") == id && summary.value("expectedChunks", 0u) == stored) {
        return true;
      }
    }
    return fail("no summary request for " + std::to_string(stored) + " chunks");
  }

  std::mt19937_64 random_;
  testing::TempFolder temp_;
  fs::path root_ = temp_.folder("Recordings");
  // The synthetic meeting's tracks and timing, and its chunks prepared
  // without interruption.
  fs::path prepared_ = temp_.folder("reference");
  std::optional<testing::SoundServer> sound_;
  testing::DevService service_;
  std::string baseUrl_;
  std::optional<testing::StandInControl> control_;
  std::vector<Bytes> reference_;          // chunk files of the uninterrupted preparation
  int prepareMs_ = 0, uploadMs_[2] = {};  // uploads unprepared, prepared
  int meetings_ = 0, runs_ = 0, killed_[3] = {}, failures_ = 0, soundServerEnds_ = 0;
  int64_t worstLoss_ = 0;
  double worstCorrelation_ = 1;
};

}  // namespace
}  // namespace halden::campaign

int main(int argc, char** argv) {
  using namespace halden::campaign;
  unsigned long long runs = 15, seed = std::random_device()();
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 == argc || (option != "--runs" && option != "--seed")) {
      std::fprintf(stderr, "usage: %s [--runs N] [--seed S]\n", argv[0]);
      return 2;
    }
    (option == "--runs" ? runs : seed) = std::stoull(argv[i + 1]);
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress as it comes
  std::printf("crash campaign: %llu runs, seed %llu (repeat with --seed %llu)\n", runs, seed, seed);
  Campaign campaign(seed);
  try {
    const bool ready = campaign.setUp() || fail("setup failed");
    for (unsigned long long i = 0; ready && i < runs; ++i) campaign.run();
    return ready && campaign.summary() ? 0 : 1;
  } catch (const halden::testing::StandInControl::Error& error) {
    fail(error.what());
    return 1;
  }
}
