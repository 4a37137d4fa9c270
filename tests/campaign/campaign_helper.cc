// The work the crash campaign kills, one kind per command, each through the
// library path the app takes:
//   record FOLDER: records from the default sound server into the meeting
//       folder; prints "recording" once capture runs, then records until killed.
//   prepare FOLDER: prepares the folder's chunks, as an upload does first.
//   upload ROOT FOLDER BASE_URL SESSION: uploads a saved meeting as the app's
//       retry does: the folder must pass the saved-meeting checks against ROOT
//       (the Recordings folder) and BASE_URL; the cookie SESSION signs in.
// Exit status 0 on success; 1 with the error on stderr; 2 for a bad command line.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/main_context.h"
#include "capture/audio_recorder.h"
#include "recovery/saved_meeting.h"
#include "service/cookie_store.h"
#include "service/http_transport.h"
#include "service/meeting_upload.h"
#include "service/service_client.h"
#include "service/service_url.h"
#include "store/prepare_chunks.h"

namespace {

using namespace halden;

int fail(const Error& error) {
  std::fprintf(stderr, "%s\n", error.description().c_str());
  return 1;
}

// The web view's cookie jar, holding the session the service was started with.
struct SessionCookies : CookieStore {
  Task<std::vector<Cookie>> getAll() override { co_return std::vector<Cookie>{session}; }
  Task<Result<void>> add(Cookie) override { co_return success(); }
  Cookie session;
};

int record(const std::string& folder) {
  AudioRecorder recorder(createPulseCaptureService());
  Result<void> started = runToCompletion(recorder.start(folder));
  if (!started.ok()) return fail(started.error());
  std::printf("recording\n");
  std::fflush(stdout);
  for (;;) pause();
}

int prepare(const std::string& folder) {
  Result<ChunkList> chunks = prepareChunks(folder);
  return chunks.ok() ? 0 : fail(chunks.error());
}

int upload(const std::string& root, const std::string& chosen, const std::string& baseUrl,
           const std::string& session) {
  std::optional<ServiceUrl> url = ServiceUrl::parse(baseUrl);
  if (!url) return 2;
  Result<SavedMeeting> meeting = checkSavedMeeting(root, chosen, url->text());
  if (!meeting.ok()) return fail(meeting.error());
  SessionCookies cookies;
  cookies.session.name = "authjs.session-token";
  cookies.session.value = session;
  cookies.session.domain = url->host().value_or("");
  std::unique_ptr<HttpTransport> transport = createCurlTransport();
  ServiceClient client(*url, *transport, cookies);
  MeetingUploader uploader(client, {[](const std::string&, const std::string&) {}, [] {}, {}, {}});
  Result<void> uploaded = runToCompletion(uploader.upload(meeting->folder, meeting->meetingId));
  return uploaded.ok() ? 0 : fail(uploaded.error());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "record") return record(args[1]);
  if (args.size() == 2 && args[0] == "prepare") return prepare(args[1]);
  if (args.size() == 5 && args[0] == "upload") return upload(args[1], args[2], args[3], args[4]);
  std::fprintf(stderr, "campaign_helper: bad command line\n");
  return 2;
}
