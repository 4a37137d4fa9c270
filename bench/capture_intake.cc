// CPU cost of sample intake: buffers for both sources go through the real
// intake (down-mix, soxr to 16 kHz, aligned writer, 16-bit CAF tracks with
// their header rewritten on every append) into real files; 48 kHz stereo at
// a fixed rate and through the source clocks, and what the PulseAudio stream
// delivers (16 kHz mono) through the source clocks.
//
// Prints the CPU seconds the intake takes per hour of recorded audio (both
// tracks together); the last line, for the PulseAudio stream's path, is
//   capture_intake cpu_per_audio_hour_s=<s> realtime_fraction=<f>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "capture/sample_intake.h"
#include "capture/source_clock.h"

namespace {

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One second of a signal in `format` (float), cut into `frames`-frame
// buffers that the benchmark cycles through (so generating audio costs
// nothing).
std::vector<halden::CaptureBuffer> secondOfBuffers(halden::CaptureSource source,
                                                   const halden::AudioFormat& format,
                                                   int64_t frames, double frequency) {
  const auto rate = static_cast<int64_t>(format.sampleRate);
  const auto channels = static_cast<std::size_t>(format.channelCount);
  std::vector<halden::CaptureBuffer> buffers;
  for (int64_t start = 0; start < rate; start += frames) {
    halden::CaptureBuffer buffer;
    buffer.source = source;
    buffer.format = format;
    buffer.frameCount = frames;
    std::vector<float> samples(static_cast<std::size_t>(frames) * channels);
    for (int64_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(start + i) / format.sampleRate;
      for (std::size_t c = 0; c < channels; ++c) {
        samples[static_cast<std::size_t>(i) * channels + c] = static_cast<float>(
            0.3 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(c + 1) * t));
      }
    }
    buffer.samples.resize(samples.size() * sizeof(float));
    std::memcpy(buffer.samples.data(), samples.data(), buffer.samples.size());
    buffers.push_back(std::move(buffer));
  }
  return buffers;
}

struct Measurement {
  double cpuPerHour = 0;  // seconds of CPU per hour of audio, both tracks
  double megabytes = 0;   // tracks written
};

// Runs `minutes` of audio on both tracks through the intake. A clocked run
// reads every buffer through its source's clock first, the microphone's
// device running 100 ppm fast, as the PulseAudio stream does; the converters
// then resample by the estimated ratio.
Measurement measure(const halden::AudioFormat& format, int64_t bufferFrames, bool clocked,
                    double minutes) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("halden-capture-intake-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  auto system = secondOfBuffers(halden::CaptureSource::system, format, bufferFrames, 440);
  auto microphone = secondOfBuffers(halden::CaptureSource::microphone, format, bufferFrames, 220);
  halden::SampleIntake intake;
  intake.reset(folder);
  halden::SourceClock systemClock(format.sampleRate), microphoneClock(format.sampleRate);
  std::vector<halden::CaptureBuffer> ready;
  auto take = [&](const halden::CaptureBuffer& buffer) {
    if (auto error = intake.take(buffer)) {
      std::fprintf(stderr, "intake failed: %s\n", error->description().c_str());
      std::exit(1);
    }
  };

  const auto seconds = static_cast<int64_t>(minutes * 60);
  const double duration = static_cast<double>(bufferFrames) / format.sampleRate;
  const double began = cpuSeconds();
  double timestamp = 1000;
  for (int64_t second = 0; second < seconds; ++second) {
    for (std::size_t i = 0; i < system.size(); ++i) {
      if (!clocked) {
        system[i].timestamp = timestamp;
        microphone[i].timestamp = timestamp + 0.25;
        take(system[i]);
        take(microphone[i]);
      } else {
        systemClock.take(timestamp, bufferFrames, system[i], ready);
        microphoneClock.take(timestamp * (1 - 100e-6) + 0.25, bufferFrames, microphone[i], ready);
        for (const halden::CaptureBuffer& buffer : ready) take(buffer);
        ready.clear();
      }
      timestamp += duration;
    }
  }
  intake.close();
  const double cpu = cpuSeconds() - began;
  std::uintmax_t bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".caf") bytes += entry.file_size();
  }
  std::filesystem::remove_all(folder);
  return {cpu * 3600 / static_cast<double>(seconds), static_cast<double>(bytes) / 1e6};
}

}  // namespace

int main(int argc, char** argv) {
  // Minutes of audio per track and run; an hour's figure is scaled from it.
  const double minutes = argc > 1 ? std::atof(argv[1]) : 20;
  const halden::AudioFormat stereo48{halden::SampleFormat::float32, 48000, 2};
  const halden::AudioFormat mono16{halden::SampleFormat::float32, 16000, 1};

  // 10 ms of 48 kHz stereo at fixed rate: the heaviest conversion.
  const Measurement fixed = measure(stereo48, 480, false, minutes);
  std::printf("48 kHz stereo float, 480-frame buffers, fixed rate: %.2f s CPU per audio hour "
              "(%.1f MB of tracks)\n",
              fixed.cpuPerHour, fixed.megabytes);
  const Measurement clocked48 = measure(stereo48, 960, true, minutes);
  std::printf("48 kHz stereo float, 960-frame buffers, following the source clocks: %.2f s\n",
              clocked48.cpuPerHour);
  // What the PulseAudio stream delivers: 20 ms of 16 kHz mono, each source
  // on its own clock.
  const Measurement clocked = measure(mono16, 320, true, minutes);
  std::printf("16 kHz mono float, 320-frame buffers, following the source clocks: %.2f s\n",
              clocked.cpuPerHour);
  std::printf("capture_intake cpu_per_audio_hour_s=%.2f realtime_fraction=%.5f\n",
              clocked.cpuPerHour, clocked.cpuPerHour / 3600);
  return 0;
}
