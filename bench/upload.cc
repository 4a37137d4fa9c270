// Measures the upload of a long meeting to the stand-in service on loopback
// against what sending the same chunk files costs the curl command-line tool.
//
//   upload [--hours H]
//
// Builds a meeting folder (two 16-bit CAF tracks of H hours), starts
// halden-devservice as a child process, and times MeetingUploader::upload
// from start to "ready": chunk preparation (on its background thread), every
// chunk re-checked and sent, the summary, the folder's removal. Just before
// the removal the chunk files are hard-linked aside; one curl process then
// sends those same files, with the same headers and cookie, in one run of
// --next entries (and once more with a fresh connection per transfer, which
// is printed for comparison). The floor is preparation plus curl's sending
// over its reused connection; the last line is
//   upload hours=H total_s=… prepare_s=… curl_s=… over_floor=… peak_rss_mb=…
// Peak RSS is this process's own (the service and curl are children).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/main_context.h"
#include "bench_support.h"
#include "service/meeting_upload.h"
#include "store/format.h"
#include "store/prepare_chunks.h"
#include "store/timing.h"
#include "store/track_file.h"

namespace {
namespace fs = std::filesystem;
using halden::bench::die;
using halden::bench::now;
using halden::bench::writeTrack;
using namespace halden;

constexpr std::string_view sessionToken = "bench-session";
constexpr std::string_view meetingId = "0d9c6a8e-2f4b-4e61-9a3c-7b5e1f2d4c80";

// The stand-in service as a child process on a free loopback port.
class Service {
 public:
  explicit Service(const fs::path& data) {
    int out[2];
    if (pipe(out) != 0) die("pipe failed");
    pid_ = fork();
    if (pid_ < 0) die("fork failed");
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::freopen("/dev/null", "w", stderr);
      execl(HALDEN_DEVSERVICE_BINARY, HALDEN_DEVSERVICE_BINARY, "--port", "0", "--data",
            data.c_str(), "--session", std::string(sessionToken).c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FILE* ready = fdopen(out[0], "r");
    char line[256] = {};
    if (!std::fgets(line, sizeof line, ready)) die("halden-devservice did not start");
    std::fclose(ready);
    std::string text(line);
    const std::string prefix = "halden-devservice listening on ";
    if (!text.starts_with(prefix)) die("unexpected ready line: " + text);
    url_ = text.substr(prefix.size());
    while (!url_.empty() && (url_.back() == '\n' || url_.back() == '\r')) url_.pop_back();
  }
  ~Service() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  const std::string& url() const { return url_; }

 private:
  pid_t pid_ = -1;
  std::string url_;
};

class SessionCookieStore : public CookieStore {
 public:
  explicit SessionCookieStore(Cookie cookie) : cookie_(std::move(cookie)) {}
  Task<std::vector<Cookie>> getAll() override { co_return std::vector<Cookie>{cookie_}; }
  Task<Result<void>> add(Cookie) override { co_return success(); }

 private:
  Cookie cookie_;
};

// Sends `chunks` with one curl process, as the client sends them.
// With `fresh`, every transfer asks for its own connection ("Connection:
// close"), as the client's one-handle-per-request does; otherwise curl reuses
// one connection for all of them. `meeting` must be new to the service, as
// the uploaded meeting was: storing a chunk the service already holds (a
// replacement) costs it less than storing a new one.
double sendWithCurl(const std::string& base, std::string_view meeting,
                    const std::vector<fs::path>& chunks, const fs::path& config, bool fresh) {
  {
    std::ofstream out(config);
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      if (k > 0) out << "next\n";
      out << "url = \"" << base << "/api/meetings/" << meeting << "/audio?sequence=" << k << "\"\n"
          << "data-binary = \"@" << chunks[k].string() << "\"\n"
          << "header = \"Content-Type: audio/wav\"\n"
          << "header = \"Origin: " << base << "\"\n"
          << "header = \"Cookie: authjs.session-token=" << sessionToken << "\"\n"
          << "header = \"Expect:\"\n"
          << (fresh ? "header = \"Connection: close\"\n" : "") << "output = \"/dev/null\"\n"
          << "silent\nfail\n";
    }
  }
  const std::string command = "curl --config '" + config.string() + "'";
  // Every measured phase starts without dirty pages, as the upload did: the
  // write-back of what an earlier phase stored would otherwise slow this one.
  ::sync();
  const double start = now();
  const int status = std::system(command.c_str());
  const double seconds = now() - start;
  if (status != 0) die("curl failed: " + command);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  double hours = 4;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--hours" && i + 1 < argc) {
      hours = std::atof(argv[++i]);
    } else {
      die("usage: upload [--hours H]");
    }
  }
  if (!(hours > 0 && hours <= 4)) die("--hours must be in (0, 4]");

  char pattern[] = "/tmp/halden-upload-bench-XXXXXX";
  if (!mkdtemp(pattern)) die("mkdtemp failed");
  const fs::path root = pattern;
  const fs::path folder = root / meetingId;
  const fs::path aside = root / "aside";
  fs::create_directories(folder);
  fs::create_directories(aside);
  fs::create_directories(root / "service");

  const auto frames = static_cast<int64_t>(hours * 3600 * meetingSampleRate);
  std::fprintf(stderr, "writing %.2f h of two tracks...\n", hours);
  writeTrack(folder / "system.caf", frames, 440.0, 1);
  writeTrack(folder / "microphone.caf", frames - 8000, 523.25, 2);
  if (auto written = writeTiming({{"system", 1000.0}, {"microphone", 1000.5}}, folder); !written) {
    die(written.error().description());
  }
  // Flush the generator's writes, so that their write-back does not compete
  // with the upload being measured.
  ::sync();

  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  double curlSeconds = 0;
  double curlFreshSeconds = 0;
  double prepareSeconds = 0;
  double totalSeconds = 0;
  std::vector<fs::path> kept;
  {
    Service service(root / "service");
    const ServiceUrl base = *ServiceUrl::parse(service.url());
    Cookie cookie;
    cookie.name = "authjs.session-token";
    cookie.value = std::string(sessionToken);
    cookie.domain = base.host().value_or("");
    SessionCookieStore cookies(cookie);
    auto transport = createCurlTransport();
    ServiceClient client(base, *transport, cookies);

    std::vector<std::string> events;
    std::vector<double> eventTimes;
    UploadHooks hooks;
    hooks.emit = [&](const std::string& state, const std::string& message) {
      events.push_back(state + ": " + message);
      eventTimes.push_back(now());
    };
    hooks.requestAttention = [] {};
    hooks.prepare = [&prepareSeconds](const fs::path& meeting) {
      const double start = now();
      Result<ChunkList> chunks = prepareChunks(meeting);
      prepareSeconds = now() - start;
      return chunks;
    };
    hooks.removeFolder = [&](const fs::path& meeting) -> Result<void> {
      for (const auto& entry : fs::directory_iterator(meeting)) {
        if (entry.path().extension() == ".wav") {
          kept.push_back(aside / entry.path().filename());
          fs::create_hard_link(entry.path(), kept.back());
        }
      }
      std::error_code error;
      fs::remove_all(meeting, error);
      if (error) return Error::fromErrno(error.value());
      return success();
    };
    MeetingUploader uploader(client, hooks);

    const double start = now();
    Result<void> uploaded = runToCompletion(uploader.upload(folder, std::string(meetingId)));
    totalSeconds = now() - start;
    if (!uploaded.ok()) die("upload failed: " + uploaded.error().description());
    if (events.empty() || !events.back().starts_with("ready: ")) die("no ready event");
    // Phases: preparation (up to the first part's event), sending every
    // chunk (up to the summary's event), then the summary and the removal.
    if (eventTimes.size() >= 4) {
      const double sending = eventTimes[eventTimes.size() - 2] - eventTimes[1];
      std::fprintf(
          stderr, "phases: to_first_chunk_s=%.2f sending_s=%.2f summary_and_removal_s=%.2f\n",
          eventTimes[1] - start, sending, eventTimes.back() - eventTimes[eventTimes.size() - 2]);
    }
    std::sort(kept.begin(), kept.end());
    std::fprintf(stderr, "uploaded %zu chunks; sending them again with curl...\n", kept.size());
    curlSeconds = sendWithCurl(service.url(), "5b0e3c7a-8d21-4f96-b4e8-1c9a2f6d3e57", kept,
                               root / "curl.config", false);
    curlFreshSeconds = sendWithCurl(service.url(), "9e4d2b1f-6a3c-4d87-8f05-3b7c1e9a2d64", kept,
                                    root / "curl-fresh.config", true);
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  fs::remove_all(root);

  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const double peakRssMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  std::printf("chunks=%zu curl_fresh_connections_s=%.2f\n", kept.size(), curlFreshSeconds);
  std::printf(
      "upload hours=%g total_s=%.2f prepare_s=%.2f curl_s=%.2f over_floor=%.3f "
      "peak_rss_mb=%.1f\n",
      hours, totalSeconds, prepareSeconds, curlSeconds,
      totalSeconds / (prepareSeconds + curlSeconds), peakRssMb);
  return 0;
}
