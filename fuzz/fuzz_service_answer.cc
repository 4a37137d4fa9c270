// Service answers: the strict decoder and the acknowledgement test alone, then
// a whole upload of a two-chunk meeting whose answers (status and body of
// each request) come from the input. The audio may only go after every chunk
// and the summary were acknowledged with a JSON true and the right number.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <iterator>
#include <thread>

#include "base/main_context.h"
#include "fuzz_support.h"
#include "service/meeting_upload.h"
#include "service/response.h"
#include "store/format.h"
#include "store/wave.h"

using namespace halden;
namespace fs = std::filesystem;

namespace {

class NoCookies : public CookieStore {
 public:
  Task<std::vector<Cookie>> getAll() override { co_return std::vector<Cookie>{}; }
  Task<Result<void>> add(Cookie) override { co_return success(); }
};

// Answers from the input, in request order; a transport error once it is used up.
class AnswersFromInput : public HttpTransport {
 public:
  explicit AnswersFromInput(FuzzedDataProvider& input) : input_(input) {}
  Task<Result<HttpResponse>> send(HttpRequest) override {
    if (input_.remaining_bytes() == 0) co_return Error("libcurl", 7, "no answer");
    HttpResponse response;
    if (input_.ConsumeBool()) response.status = input_.ConsumeIntegralInRange(100, 599);
    response.body = input_.ConsumeRandomLengthString(responseBodyLimit + 1);
    answers.push_back(response);
    co_return response;
  }
  std::vector<HttpResponse> answers;

 private:
  FuzzedDataProvider& input_;
};

// Threads of this process, as the kernel lists them.
std::ptrdiff_t threadCount() {
  std::error_code error;
  return std::distance(fs::directory_iterator("/proc/self/task", error), fs::directory_iterator());
}

const fs::path& meetingFolder() {
  static const fs::path folder = [] {
    fs::path made = fuzz::scratchFolder() / "meeting";
    fs::create_directory(made);
    const unsigned char samples[] = {0x01, 0x00, 0xff, 0x7f};
    const Bytes chunk = wave(samples);
    for (std::size_t i = 0; i < 2; ++i) {
      fuzz::writeBytes(made / chunkFileName(i), chunk.data(), chunk.size());
    }
    return made;
  }();
  return folder;
}

// What an answer must have been for the upload to go on after it.
bool acknowledges(const HttpResponse& answer, std::optional<int64_t> sequence) {
  if (!answer.status || *answer.status < 200 || *answer.status > 299) return false;
  const nlohmann::json body = nlohmann::json::parse(answer.body, nullptr, false);
  if (!body.is_object()) return false;
  const auto ok = body.find("ok");
  if (ok == body.end() || *ok != nlohmann::json(true) || !ok->is_boolean()) return false;
  const auto number = body.find("sequence");
  if (number == body.end() || number->is_null()) return true;
  if (!number->is_number_integer()) return false;
  if (!sequence) return true;
  return number->is_number_unsigned() ? number->get<uint64_t>() == static_cast<uint64_t>(*sequence)
                                      : number->get<int64_t>() == *sequence;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::ptrdiff_t threadsBefore = threadCount();

  // The decoder and the acknowledgement test on one body.
  const std::optional<int64_t> expected =
      input.ConsumeBool() ? std::optional<int64_t>(input.ConsumeIntegral<int64_t>())
                          : std::nullopt;
  const std::string body = input.ConsumeRandomLengthString(4096);
  if (Result<JsonObject> decoded = decodeObjectResponse(body); decoded.ok()) {
    HALDEN_FUZZ_CHECK(decoded->is_object());
    if (requireAcknowledgement(*decoded, expected).ok()) {
      HALDEN_FUZZ_CHECK(acknowledges(HttpResponse{200, body}, expected));
    }
  }

  // The upload.
  AnswersFromInput transport(input);
  NoCookies cookies;
  ServiceClient client(*ServiceUrl::parse("https://app.halden.io"), transport, cookies);
  bool removed = false;
  UploadHooks hooks;
  hooks.emit = [](const std::string&, const std::string&) {};
  hooks.requestAttention = [] {};
  hooks.prepare = [](const fs::path& folder) -> Result<ChunkList> {
    return ChunkList{folder / chunkFileName(0), folder / chunkFileName(1)};
  };
  hooks.removeFolder = [&removed](const fs::path&) -> Result<void> {
    removed = true;
    return success();
  };
  MeetingUploader uploader(client, std::move(hooks));
  const Result<void> uploaded =
      runToCompletion(uploader.upload(meetingFolder(), "0f8fad5b-d9cb-469f-a165-70867728950e"));

  // The upload prepares on a thread of its own, which hands its result to
  // the main context and then ends. Its exit frees GLib's per-thread caches
  // (2,032 bytes of slice magazines, and more); a leak check that ran while
  // it was still on its way out would report them. The kernel drops the
  // thread from the list only after its exit destructors have run.
  for (int i = 0; i < 100'000 && threadCount() > threadsBefore; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }

  HALDEN_FUZZ_CHECK(removed == uploaded.ok());
  if (uploaded.ok()) {
    HALDEN_FUZZ_CHECK(transport.answers.size() == 3);
    HALDEN_FUZZ_CHECK(acknowledges(transport.answers[0], 0));
    HALDEN_FUZZ_CHECK(acknowledges(transport.answers[1], 1));
    HALDEN_FUZZ_CHECK(acknowledges(transport.answers[2], std::nullopt));
  }
  return 0;
}
