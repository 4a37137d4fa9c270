// halden-devservice: the stand-in Halden service for local demos and tests.
// Wires the command line, the data folder, the server and the signals.
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "devservice/options.h"
#include "devservice/server.h"

namespace fs = std::filesystem;
using namespace halden::devservice;

int main(int argc, char** argv) {
  OptionsOrMessage parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!parsed.options) {
    std::cerr << "halden-devservice: " << parsed.message << "\n" << usageText;
    return 2;
  }
  const ServiceOptions& options = *parsed.options;
  if (options.help) {
    std::cout << usageText;
    return 0;
  }

  // SIGINT and SIGTERM are taken by sigwait below; every thread started from
  // here on inherits the mask, so none of them is interrupted. A client that
  // hangs up must not kill the service through SIGPIPE.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  fs::path dataFolder = options.dataFolder;
  bool temporaryData = dataFolder.empty();
  std::error_code error;
  if (temporaryData) {
    std::string pattern = (fs::temp_directory_path() / "halden-devservice-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::perror("halden-devservice: cannot create a temporary data folder");
      return 1;
    }
    dataFolder = pattern;
  } else if (fs::create_directories(dataFolder, error); error) {
    std::cerr << "halden-devservice: cannot create " << dataFolder << ": " << error.message()
              << "\n";
    return 1;
  }
  auto removeTemporary = [&] {
    if (temporaryData) fs::remove_all(dataFolder, error);
  };

  std::string problem;
  std::unique_ptr<DevServer> server = DevServer::create(options, dataFolder, &problem);
  if (!server) {
    std::cerr << "halden-devservice: " << problem << "\n";
    removeTemporary();
    return 1;
  }
  int port = server->bind(options.host, options.port);
  if (port < 0) {
    std::cerr << "halden-devservice: cannot listen on " << options.host << " port " << options.port
              << "\n";
    removeTemporary();
    return 1;
  }
  std::string url = urlFor(server->tls(), options.host, port);
  server->setOrigin(options.origin.empty() ? *originOf(url) : options.origin);

  std::thread serving([&] {
    if (!server->run()) std::cerr << "halden-devservice: the listener failed\n";
    // Wakes the main thread if the listener ends on its own.
    kill(getpid(), SIGTERM);
  });
  std::cerr << "halden-devservice: data in " << dataFolder.string() << "\n";
  std::cout << "halden-devservice listening on " << url << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  server->stop();
  serving.join();
  server.reset();
  removeTemporary();
  std::cerr << "halden-devservice: stopped\n";
  return 0;
}
