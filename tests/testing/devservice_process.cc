#include "testing/devservice_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace halden::testing {
namespace {

constexpr std::string_view readyPrefix = "halden-devservice listening on ";
constexpr auto readyTimeout = std::chrono::seconds(20);
constexpr auto terminateGrace = std::chrono::seconds(10);

std::vector<std::string> commandLine(const DevServiceOptions& options) {
  std::vector<std::string> args = {HALDEN_DEVSERVICE_BINARY, "--host", "127.0.0.1", "--port", "0"};
  if (!options.dataFolder.empty()) args.insert(args.end(), {"--data", options.dataFolder.string()});
  if (!options.tlsCertificate.empty()) {
    args.insert(args.end(), {"--tls-cert", options.tlsCertificate.string(), "--tls-key",
                             options.tlsKey.string()});
  }
  for (const std::string& session : options.sessions)
    args.insert(args.end(), {"--session", session});
  return args;
}

}  // namespace

DevService::~DevService() { stop(); }

std::string DevService::start(const DevServiceOptions& options) {
  if (std::string problem = launch(options); !problem.empty()) {
    ADD_FAILURE() << "halden-devservice did not start: " << problem << "\nstderr:\n"
                  << stderrText();
    return "";
  }
  return baseUrl_;
}

std::optional<std::string> DevService::tryStart(const DevServiceOptions& options) {
  if (!launch(options).empty()) return std::nullopt;
  return baseUrl_;
}

std::string DevService::launch(const DevServiceOptions& options) {
  if (running()) return "already running";
  port_ = 0;
  baseUrl_.clear();
  child_.emplace(commandLine(options), ChildOutput::pipe(), ChildOutput::memory());
  // The service prints nothing on stdout but this line.
  std::optional<std::string> line = child_->readLine(readyTimeout);
  child_->closeOutput();
  if (!line || !line->ends_with('\n')) return "no ready line";
  line->pop_back();
  if (!line->starts_with(readyPrefix)) return "unexpected first line: " + *line;
  std::string url = line->substr(readyPrefix.size());
  std::size_t colon = url.rfind(':');
  port_ = colon == std::string::npos ? 0 : std::atoi(url.c_str() + colon + 1);
  if (port_ <= 0) return "no port in the ready line: " + *line;
  baseUrl_ = url;
  return "";
}

int DevService::stop() { return running() ? child_->stop(SIGTERM, terminateGrace) : -1; }

}  // namespace halden::testing
