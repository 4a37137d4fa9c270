// CPU cost of sample intake: 48 kHz stereo float buffers for both sources go
// through the real intake (down-mix, soxr to 16 kHz, aligned writer, 16-bit
// CAF tracks with their header rewritten on every append) into real files.
//
// Prints the CPU seconds the intake takes per hour of recorded audio (both
// tracks together) and that as a fraction of real time; the last line is
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

namespace {

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One second of a stereo 48 kHz float signal, cut into `frames`-frame buffers
// that the benchmark cycles through (so generating audio costs nothing).
std::vector<halden::CaptureBuffer> secondOfBuffers(halden::CaptureSource source, int64_t frames,
                                                   double frequency) {
  const halden::AudioFormat format{halden::SampleFormat::float32, 48000, 2};
  std::vector<halden::CaptureBuffer> buffers;
  for (int64_t start = 0; start < 48000; start += frames) {
    halden::CaptureBuffer buffer;
    buffer.source = source;
    buffer.format = format;
    buffer.frameCount = frames;
    std::vector<float> samples(static_cast<std::size_t>(frames) * 2);
    for (int64_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(start + i) / 48000;
      samples[2 * i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * frequency * t));
      samples[2 * i + 1] =
          static_cast<float>(0.2 * std::sin(2 * std::numbers::pi * 3 * frequency * t));
    }
    buffer.samples.resize(samples.size() * sizeof(float));
    std::memcpy(buffer.samples.data(), samples.data(), buffer.samples.size());
    buffers.push_back(std::move(buffer));
  }
  return buffers;
}

}  // namespace

int main(int argc, char** argv) {
  // Minutes of audio per track; an hour's figure is scaled from it.
  const double minutes = argc > 1 ? std::atof(argv[1]) : 20;
  constexpr int64_t bufferFrames = 480;  // 10 ms: the platform's smaller buffers
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("halden-capture-intake-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);

  auto system = secondOfBuffers(halden::CaptureSource::system, bufferFrames, 440);
  auto microphone = secondOfBuffers(halden::CaptureSource::microphone, bufferFrames, 220);
  halden::SampleIntake intake;
  intake.reset(folder);

  const auto seconds = static_cast<int64_t>(minutes * 60);
  const double began = cpuSeconds();
  double timestamp = 1000;
  for (int64_t second = 0; second < seconds; ++second) {
    for (std::size_t i = 0; i < system.size(); ++i) {
      system[i].timestamp = timestamp;
      microphone[i].timestamp = timestamp + 0.25;
      if (auto error = intake.take(system[i])) {
        std::fprintf(stderr, "intake failed: %s\n", error->description().c_str());
        return 1;
      }
      if (auto error = intake.take(microphone[i])) {
        std::fprintf(stderr, "intake failed: %s\n", error->description().c_str());
        return 1;
      }
      timestamp += static_cast<double>(bufferFrames) / 48000;
    }
  }
  intake.close();
  const double cpu = cpuSeconds() - began;
  std::uintmax_t bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".caf") bytes += entry.file_size();
  }
  std::filesystem::remove_all(folder);

  const double audioSeconds = static_cast<double>(seconds);
  const double perHour = cpu * 3600 / audioSeconds;
  std::printf("audio: %.0f s on each of two tracks (48 kHz stereo float, %lld-frame buffers)\n",
              audioSeconds, static_cast<long long>(bufferFrames));
  std::printf("tracks written: %.1f MB; intake CPU: %.2f s\n", static_cast<double>(bytes) / 1e6,
              cpu);
  std::printf("capture_intake cpu_per_audio_hour_s=%.2f realtime_fraction=%.5f\n", perHour,
              perHour / 3600);
  return 0;
}
