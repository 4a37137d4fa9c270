// Records into the meeting folder given as its argument until it is killed;
// exits 1 with the error when recording cannot start.
#include <unistd.h>

#include <cstdio>

#include "base/main_context.h"
#include "capture/audio_recorder.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  halden::AudioRecorder recorder(halden::createPulseCaptureService());
  halden::Result<void> started = halden::runToCompletion(recorder.start(argv[1]));
  if (!started.ok()) {
    std::fprintf(stderr, "%s\n", started.error().description().c_str());
    return 1;
  }
  for (;;) pause();
}
