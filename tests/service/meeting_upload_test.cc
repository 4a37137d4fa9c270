// Meeting uploads against the real stand-in service on loopback.
#include "service/meeting_upload.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "base/main_context.h"
#include "service/client_test_support.h"
#include "store/prepare_chunks.h"
#include "store/wave.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Events = std::vector<std::pair<std::string, std::string>>;

constexpr std::string_view meetingId = "6f1c2a4e-9b7d-4c1e-8a53-2d0e9f4b7a10";
constexpr double meetingSeconds = 150.0;  // three chunks: 60 s, 60 s, 30 s

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setup_ = &testing::sharedService(false);
    ASSERT_FALSE(setup_->baseUrl.empty());
    testing::resetService(service());
    folder_ = temp_.folder(meetingId);
    ASSERT_NO_FATAL_FAILURE(testing::writeMeeting(folder_, meetingSeconds));
    Cookie session;
    session.name = "authjs.session-token";
    session.value = std::string(testing::sessionValue);
    session.domain = "127.0.0.1";
    cookies_.cookies = {session};
    makeUploader(CurlTransportOptions{});
  }

  void makeUploader(CurlTransportOptions options, UploadHooks hooks = {}) {
    uploader_.reset();
    client_.reset();
    transport_ = createCurlTransport(std::move(options));
    client_ =
        std::make_unique<ServiceClient>(*ServiceUrl::parse(setup_->baseUrl), *transport_, cookies_);
    hooks.emit = [this](const std::string& state, const std::string& message) {
      events_.emplace_back(state, message);
    };
    hooks.requestAttention = [this] { events_.emplace_back("attention", ""); };
    uploader_ = std::make_unique<MeetingUploader>(*client_, std::move(hooks));
  }

  const testing::DevService& service() const { return *setup_->service; }

  Result<void> upload() {
    return runToCompletion(uploader_->upload(folder_, std::string(meetingId)));
  }

  // Prepares the chunks up front, so that the folder no upload changes can be
  // compared byte for byte.
  std::vector<std::string> prepareNow() {
    Result<ChunkList> chunks = prepareChunks(folder_);
    EXPECT_TRUE(chunks.ok()) << chunks.error().description();
    std::vector<std::string> hashes;
    for (const fs::path& chunk : chunks.value()) {
      hashes.push_back(audioHash(testing::readBytes(chunk)));
    }
    return hashes;
  }

  // Sequence numbers and body hashes of the chunk uploads in the service log,
  // and the summaries' bodies, in arrival order.
  struct Wire {
    std::vector<std::string> chunkQueries;
    std::vector<std::string> chunkHashes;
    int summaries = 0;
  };
  Wire wire() {
    Wire out;
    const std::string chunkPath = "/api/meetings/" + std::string(meetingId) + "/audio";
    for (const json& entry : testing::serviceLog(service())) {
      if (entry["path"] == chunkPath) {
        out.chunkQueries.push_back(entry["query"]);
        out.chunkHashes.push_back(entry["bodySha256"]);
      } else if (entry["path"] == "/api/meetings/" + std::string(meetingId)) {
        ++out.summaries;
      }
    }
    return out;
  }

  static Events successEvents(std::string_view readyMessage) {
    return {{"processing", "Preparing the recording\u2026"},
            {"processing", "Transcribing part 1 of 3. You can keep this window in the background."},
            {"processing", "Transcribing part 2 of 3. You can keep this window in the background."},
            {"processing", "Transcribing part 3 of 3. You can keep this window in the background."},
            {"processing", "Preparing the summary and proposed memories\u2026"},
            {"ready", std::string(readyMessage)},
            {"attention", ""}};
  }

  testing::PrivateMainContext context_;
  testing::TempFolder temp_;
  const testing::SharedService* setup_ = nullptr;
  fs::path folder_;
  testing::MemoryCookieStore cookies_;
  std::unique_ptr<HttpTransport> transport_;
  std::unique_ptr<ServiceClient> client_;
  std::unique_ptr<MeetingUploader> uploader_;
  Events events_;
};

TEST_F(UploadTest, AThreeChunkMeetingIsSentInOrderSummarisedAndRemoved) {
  std::vector<std::string> chunkHashes = prepareNow();
  ASSERT_EQ(chunkHashes.size(), 3u);

  Result<void> result = upload();
  ASSERT_TRUE(result.ok()) << result.error().description();

  EXPECT_EQ(events_, successEvents(readyRemovedMessage));
  EXPECT_FALSE(uploader_->uploading());
  EXPECT_FALSE(fs::exists(folder_));

  std::vector<json> log = testing::serviceLog(service());
  ASSERT_EQ(log.size(), 4u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(log[k]["method"], "POST");
    EXPECT_EQ(log[k]["path"], "/api/meetings/" + std::string(meetingId) + "/audio");
    EXPECT_EQ(log[k]["query"], "sequence=" + std::to_string(k));
    EXPECT_EQ(log[k]["contentType"], "audio/wav");
    EXPECT_EQ(log[k]["origin"], setup_->baseUrl);
    EXPECT_EQ(log[k]["cookie"], "authjs.session-token=" + std::string(testing::sessionValue));
    EXPECT_EQ(log[k]["bodySha256"], chunkHashes[k]);
    EXPECT_EQ(log[k]["status"], 200);
  }
  const std::string summary = R"({"action":"summarize","expectedChunks":3})";
  EXPECT_EQ(log[3]["path"], "/api/meetings/" + std::string(meetingId));
  EXPECT_EQ(log[3]["contentType"], "application/json");
  EXPECT_EQ(log[3]["bodySha256"], audioHash(Bytes(summary.begin(), summary.end())));

  // What the service stored is what was on disk.
  json stored =
      testing::control(service(), "GET", "/__control/chunks?meeting=" + std::string(meetingId))
          .json();
  EXPECT_EQ(stored["chunks"],
            (json{{"0", chunkHashes[0]}, {"1", chunkHashes[1]}, {"2", chunkHashes[2]}}));
  testing::ControlAnswer middle = testing::control(
      service(), "GET", "/__control/chunk?meeting=" + std::string(meetingId) + "&sequence=1");
  EXPECT_EQ(audioHash(Bytes(middle.body.begin(), middle.body.end())), chunkHashes[1]);
  json summaries = testing::control(service(), "GET", "/__control/summaries").json();
  EXPECT_EQ(summaries["summaries"],
            (json::array({{{"meetingId", meetingId}, {"expectedChunks", 3}}})));
}

TEST_F(UploadTest, WithoutAPreparedFolderTheUploadPreparesItFirst) {
  ASSERT_TRUE(upload().ok());
  EXPECT_EQ(events_, successEvents(readyRemovedMessage));
  EXPECT_EQ(wire().chunkQueries,
            (std::vector<std::string>{"sequence=0", "sequence=1", "sequence=2"}));
}

struct RefusalRow {
  const char* name;
  json fault;              // "path" is filled in from `at`
  const char* at;          // "chunk": the chunk uploads; "summary": the summary request
  std::size_t chunksSent;  // chunk requests that reached the service
  std::string message;     // empty: a libcurl error with code `curlCode`
  int curlCode = 0;
  int timeoutMs = 0;  // 0: the default time-out
};

TEST_F(UploadTest, EveryRefusalKeepsTheFolderAndARetrySendsTheSameChunksFromZero) {
  const std::string unexpected(unexpectedResponseMessage);
  const std::string unconfirmed(unconfirmedMessage);
  const std::string unprocessed(unprocessedMessage);
  const RefusalRow rows[] = {
      {"wrong sequence", {{"kind", "wrongSequence"}}, "chunk", 1, unconfirmed},
      {"html with 200 for a chunk", {{"kind", "html200"}}, "chunk", 1, unexpected},
      {"html with 200 for the summary", {{"kind", "html200"}}, "summary", 3, unexpected},
      {"summary without ok", {{"kind", "missingOk"}}, "summary", 3, unconfirmed},
      {"chunk without ok", {{"kind", "missingOk"}}, "chunk", 1, unconfirmed},
      {"ok as a number", {{"kind", "okAsNumber"}}, "summary", 3, unconfirmed},
      {"500 with error",
       {{"kind", "status"}, {"status", 500}, {"error", "Storage is full."}},
       "chunk",
       1,
       "Storage is full."},
      {"500 without error", {{"kind", "status"}, {"status", 500}}, "chunk", 1, unprocessed},
      {"302", {{"kind", "redirect"}}, "chunk", 1, unexpected},
      {"oversized body", {{"kind", "oversized"}}, "summary", 3, unexpected},
      {"dropped connection", {{"kind", "drop"}}, "chunk", 1, "", CURLE_PARTIAL_FILE},
      {"time-out",
       {{"kind", "delay"}, {"delayMs", 1500}},
       "chunk",
       1,
       "",
       CURLE_OPERATION_TIMEDOUT,
       300},
  };
  for (const RefusalRow& row : rows) {
    SCOPED_TRACE(row.name);
    testing::resetService(service());
    events_.clear();
    fs::remove_all(folder_);
    ASSERT_NO_FATAL_FAILURE(testing::writeMeeting(folder_, meetingSeconds));
    std::vector<std::string> chunkHashes = prepareNow();
    const std::map<std::string, std::string> before = testing::folderHashes(folder_);

    json fault = row.fault;
    fault["path"] = std::string(row.at) == "chunk"
                        ? "/api/meetings/" + std::string(meetingId) + "/audio"
                        : "/api/meetings/" + std::string(meetingId);
    fault["match"] = "exact";
    testing::addFault(service(), fault);
    CurlTransportOptions options;
    if (row.timeoutMs > 0) options.timeout = std::chrono::milliseconds(row.timeoutMs);
    makeUploader(options);

    Result<void> result = upload();
    ASSERT_FALSE(result.ok());
    if (row.message.empty()) {
      EXPECT_EQ(result.error().domain(), curlErrorDomain);
      EXPECT_EQ(result.error().code(), row.curlCode) << result.error().description();
    } else {
      EXPECT_EQ(result.error(), failure(row.message));
    }
    EXPECT_FALSE(uploader_->uploading());
    EXPECT_EQ(testing::folderHashes(folder_), before);
    ASSERT_FALSE(events_.empty());
    EXPECT_NE(events_.back().first, "ready");
    if (row.timeoutMs > 0) {
      // The service answers the abandoned request later; let that happen
      // before the retry, so that its log holds the retry alone.
      testing::waitForLog(service(), 1);
    }
    Wire first = wire();
    EXPECT_EQ(first.chunkQueries.size(), row.chunksSent);
    EXPECT_EQ(first.summaries, std::string(row.at) == "summary" ? 1 : 0);

    // The user's retry: every chunk again from sequence 0, byte for byte.
    testing::resetService(service());
    makeUploader(CurlTransportOptions{});
    Result<void> retry = upload();
    ASSERT_TRUE(retry.ok()) << retry.error().description();
    Wire second = wire();
    EXPECT_EQ(second.chunkQueries,
              (std::vector<std::string>{"sequence=0", "sequence=1", "sequence=2"}));
    EXPECT_EQ(second.chunkHashes, chunkHashes);
    for (std::size_t k = 0; k < first.chunkHashes.size(); ++k) {
      EXPECT_EQ(first.chunkHashes[k], chunkHashes[k]);
    }
    EXPECT_FALSE(fs::exists(folder_));
  }
}

TEST_F(UploadTest, ASecondUploadDuringOneFailsAtOnceAndLeavesTheFlag) {
  // The first chunk is answered late, so the first upload is surely under way.
  testing::addFault(service(), {{"path", "/api/meetings/" + std::string(meetingId) + "/audio"},
                                {"kind", "delay"},
                                {"delayMs", 300}});
  std::optional<Result<void>> first;
  spawn([](MeetingUploader& uploader, fs::path folder,
           std::optional<Result<void>>& out) -> Task<void> {
    out.emplace(co_await uploader.upload(folder, std::string(meetingId)));
  }(*uploader_, folder_, first));
  while (!uploader_->uploading()) g_main_context_iteration(context_.get(), TRUE);

  Result<void> second = upload();
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), failure(std::string(uploadInProgressMessage)));
  EXPECT_TRUE(uploader_->uploading());

  while (!first) g_main_context_iteration(context_.get(), TRUE);
  ASSERT_TRUE(first->ok()) << first->error().description();
  EXPECT_FALSE(uploader_->uploading());
  EXPECT_EQ(events_, successEvents(readyRemovedMessage));  // the second emitted nothing
}

TEST_F(UploadTest, AChunkDamagedAfterPreparationIsRefusedBeforeItIsSent) {
  UploadHooks hooks;
  hooks.prepare = [](const fs::path& folder) -> Result<ChunkList> {
    Result<ChunkList> chunks = prepareChunks(folder);
    if (chunks.ok()) fs::resize_file(chunks.value()[1], 1000);
    return chunks;
  };
  makeUploader(CurlTransportOptions{}, std::move(hooks));
  Result<void> result = upload();
  ASSERT_FALSE(result.ok());
  Result<Bytes> recheck = validateChunk(folder_ / "chunk-001.wav", folder_);
  ASSERT_FALSE(recheck.ok());
  EXPECT_EQ(result.error(), recheck.error());
  EXPECT_EQ(wire().chunkQueries, std::vector<std::string>{"sequence=0"});
  EXPECT_TRUE(fs::exists(folder_ / "microphone.caf"));
  EXPECT_FALSE(uploader_->uploading());
}

TEST_F(UploadTest, APreparationFailureEndsTheUploadBeforeAnythingIsSent) {
  fs::remove(folder_ / "system.caf");
  fs::remove(folder_ / "microphone.caf");
  Result<void> result = upload();
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().isFailure());
  EXPECT_EQ(events_, (Events{{"processing", "Preparing the recording\u2026"}}));
  EXPECT_TRUE(testing::serviceLog(service()).empty());
  EXPECT_FALSE(uploader_->uploading());
}

TEST_F(UploadTest, AFolderThatCannotBeRemovedStillEndsReady) {
  UploadHooks hooks;
  hooks.removeFolder = [](const fs::path&) -> Result<void> { return Error::fromErrno(EBUSY); };
  makeUploader(CurlTransportOptions{}, std::move(hooks));
  ASSERT_TRUE(upload().ok());
  EXPECT_EQ(events_, successEvents(readyKeptMessage));
  EXPECT_FALSE(uploader_->uploading());
  EXPECT_TRUE(fs::exists(folder_));
}

// The same on the real file system: an immutable file (chattr +i) cannot be
// removed even by root, so the folder's removal really fails.
TEST_F(UploadTest, AnImmutableFileKeepsTheFolderAndTheUploadStillEndsReady) {
  const fs::path pinned = folder_ / "timing.json";
  const std::string pin = "chattr +i '" + pinned.string() + "' 2>/dev/null";
  if (std::system(pin.c_str()) != 0) GTEST_SKIP() << "chattr +i is not available here";
  Result<void> result = upload();
  std::system(("chattr -i '" + pinned.string() + "'").c_str());
  ASSERT_TRUE(result.ok()) << result.error().description();
  EXPECT_EQ(events_, successEvents(readyKeptMessage));
  EXPECT_FALSE(uploader_->uploading());
  EXPECT_TRUE(fs::exists(pinned));
}

}  // namespace
}  // namespace halden
