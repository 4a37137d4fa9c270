#include "app/halden_main.h"

#include <csignal>
#include <exception>
#include <iostream>
#include <string_view>

#include "desktop/desktop_application.h"
#include "selftest/self_checks.h"

namespace halden {
namespace {

constexpr std::string_view selfTestSwitch = "--self-test";

bool selfTestRequested(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (argv[i] && std::string_view(argv[i]) == selfTestSwitch) return true;
  }
  return false;
}

int runSelfTest() {
  Result<void> result = runAudioSelfTests(std::cout);
  if (!result) {
    std::cerr << result.error().description() << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace

int HaldenMain::main(int argc, char** argv) {
  // Under a file size limit (ulimit -f) a write past it would end the process
  // with SIGXFSZ, taking the audio still on its way to the track files with
  // it; ignored, the write fails with EFBIG and the recording ends with the
  // message that the audio could not be saved, the tracks closed.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    if (selfTestRequested(argc, argv)) return runSelfTest();
    return runDesktopApplication(argc > 0 && argv[0] ? argv[0] : "halden");
  } catch (const std::exception& error) {
    // Nothing below is meant to throw; an allocation failure still ends the
    // process with a message rather than an abort.
    std::cerr << "halden: " << error.what() << std::endl;
    return 1;
  }
}

}  // namespace halden
