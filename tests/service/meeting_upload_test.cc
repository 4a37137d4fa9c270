// Meeting uploads against the stand-in service on loopback.
#include "service/meeting_upload.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>

#include "base/main_context.h"
#include "service/client_test_support.h"
#include "store/format.h"
#include "store/prepare_chunks.h"
#include "store/store_fixtures.h"
#include "store/timing.h"
#include "store/wave.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Events = std::vector<std::pair<std::string, std::string>>;
using Strings = std::vector<std::string>;

constexpr std::string_view meetingId = "6f1c2a4e-9b7d-4c1e-8a53-2d0e9f4b7a10";
const std::string meetingPath = "/api/meetings/" + std::string(meetingId);

// A meeting of 150 s (three chunks: 60 s, 60 s, 30 s) in an existing folder:
// both tracks with distinct audio, and a timing.json that lines them up.
void writeMeeting(const fs::path& folder) {
  const auto frames = static_cast<std::size_t>(150 * meetingSampleRate);
  std::vector<float> samples(frames);
  for (std::string_view name : {systemTrackName, microphoneTrackName}) {
    const double frequency = name == systemTrackName ? 440.0 : 523.25;
    for (std::size_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(i) / meetingSampleRate;
      samples[i] =
          static_cast<float>(0.4 * std::sin(2 * M_PI * frequency * t) + 0.05 * std::sin(7 * t));
    }
    ASSERT_NO_FATAL_FAILURE(testing::writeTrack(folder / trackFileName(name), samples));
  }
  const std::string system(systemTrackName), microphone(microphoneTrackName);
  ASSERT_TRUE(writeTiming({{system, 100.0}, {microphone, 100.25}}, folder).ok());
}

// Relative path -> SHA-256 of every file below `folder`.
std::map<std::string, std::string> folderHashes(const fs::path& folder) {
  std::map<std::string, std::string> hashes;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    hashes[fs::relative(entry.path(), folder).string()] =
        audioHash(testing::readBytes(entry.path()));
  }
  return hashes;
}

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(writeMeeting(folder_));
    cookies_.cookies = {
        testing::cookie("authjs.session-token", std::string(testing::sessionValue), "127.0.0.1")};
  }

  // An uploader that records its progress events and attention requests.
  std::unique_ptr<MeetingUploader> makeUploader(UploadHooks hooks = {}) {
    hooks.emit = [this](const std::string& state, const std::string& message) {
      events_.emplace_back(state, message);
    };
    hooks.requestAttention = [this] { events_.emplace_back("attention", ""); };
    return std::make_unique<MeetingUploader>(client_, std::move(hooks));
  }
  Result<void> upload() {
    return runToCompletion(uploader_->upload(folder_, std::string(meetingId)));
  }
  // Member `key` of each logged request to `path`.
  Strings logged(const std::string& key, const std::string& path) {
    Strings values;
    for (const json& entry : control_.requests()) {
      if (entry["path"] == path) values.push_back(entry[key]);
    }
    return values;
  }

  testing::PrivateMainContext context_;
  testing::TempFolder temp_;
  const testing::SharedService& setup_ = testing::sharedService(false);
  testing::StandInControl& control_ = *setup_.control;
  const fs::path folder_ = temp_.folder(meetingId);
  testing::MemoryCookieStore cookies_;
  std::unique_ptr<HttpTransport> transport_ = createCurlTransport(setup_.transportOptions());
  ServiceClient client_{*ServiceUrl::parse(setup_.baseUrl), *transport_, cookies_};
  Events events_;
  std::unique_ptr<MeetingUploader> uploader_ = makeUploader();
};

// What each kind of answer or transport failure becomes is decided by the
// client (service_client_test) and the acknowledgement check (response_test),
// and the load test plans every kind at every chunk and at the summary. Here
// one of each way an upload ends early: an acknowledgement refused at a chunk
// and at the summary, the service's failure passed on, a transport error.
TEST_F(UploadTest, EveryRefusalKeepsTheFolderAndARetrySendsEverythingAgainInOrder) {
  const std::string chunkPath = meetingPath + "/audio";
  const std::string unconfirmed(unconfirmedMessage);
  const struct {
    json fault;
    bool atSummary;  // else at the first chunk
    std::string outcome;
  } rows[] = {
      {{{"kind", "wrongSequence"}}, false, unconfirmed},
      {{{"kind", "okAsNumber"}}, true, unconfirmed},
      {{{"kind", "status"}, {"status", 500}, {"error", "Full."}}, true, "Full."},
      {{{"kind", "drop"}},
       false,
       std::string(curlErrorDomain) + " " + std::to_string(CURLE_PARTIAL_FILE)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault.dump());
    control_.reset();
    events_.clear();
    if (!fs::exists(folder_)) {
      ASSERT_NO_FATAL_FAILURE(writeMeeting(temp_.folder(meetingId)));
    }
    ASSERT_TRUE(prepareChunks(folder_).ok());
    const std::map<std::string, std::string> before = folderHashes(folder_);
    const Strings chunkHashes = {before.at("chunk-000.wav"), before.at("chunk-001.wav"),
                                 before.at("chunk-002.wav")};
    json fault = row.fault;
    fault["path"] = row.atSummary ? meetingPath : chunkPath;
    fault["match"] = "exact";
    control_.addFault(fault);
    Result<void> result = upload();
    ASSERT_FALSE(result.ok());
    const Error& error = result.error();
    EXPECT_EQ(error.isFailure() ? error.description()
                                : error.domain() + " " + std::to_string(error.code()),
              row.outcome);
    EXPECT_EQ(folderHashes(folder_), before);
    // Preparing, then one event per chunk begun, then the summary's.
    EXPECT_EQ(events_.size(), row.atSummary ? 5u : 2u);
    const std::size_t sent = row.atSummary ? 3 : 1;
    testing::waitForLog(control_, sent);  // a dropped request is logged late
    EXPECT_EQ(logged("bodySha256", chunkPath),
              Strings(chunkHashes.begin(), chunkHashes.begin() + sent));
    EXPECT_EQ(logged("query", meetingPath).size(), row.atSummary ? 1u : 0u);

    // The user's retry: every chunk again from sequence 0, byte for byte,
    // then the summary; the folder goes.
    control_.reset();
    Result<void> retry = upload();
    ASSERT_TRUE(retry.ok()) << retry.error().description();
    EXPECT_EQ(logged("query", chunkPath), (Strings{"sequence=0", "sequence=1", "sequence=2"}));
    EXPECT_EQ(logged("bodySha256", chunkPath), chunkHashes);
    EXPECT_FALSE(fs::exists(folder_));
  }
}

// The meeting is not prepared yet: the upload prepares it. A removal killed
// half-way left its folder under the hidden name; other meetings and other
// hidden folders are no such remains.
TEST_F(UploadTest, ASecondUploadFailsAtOnceAndTheFolderGoesWithWhatACutShortRemovalLeft) {
  const fs::path remains = temp_.folder(".0b6e2f8a-3c1d-4e5f-9a7b-1c2d3e4f5a6b.removing");
  testing::writeBytes(remains / "system.caf", "partly removed");
  const fs::path otherMeeting = temp_.folder("0b6e2f8a-3c1d-4e5f-9a7b-1c2d3e4f5a6b");
  testing::writeBytes(otherMeeting / "meeting.json", "{}");
  const fs::path notRemains = temp_.folder(".notes.removing");
  // The first chunk is answered late, so the first upload is surely under way.
  control_.addFault({{"path", meetingPath + "/audio"}, {"kind", "delay"}, {"delayMs", 300}});
  std::optional<Result<void>> first;
  spawn([](MeetingUploader& uploader, fs::path folder,
           std::optional<Result<void>>& out) -> Task<void> {
    out.emplace(co_await uploader.upload(folder, std::string(meetingId)));
  }(*uploader_, folder_, first));
  while (!uploader_->uploading()) g_main_context_iteration(context_.get(), TRUE);
  EXPECT_EQ(upload().error(), failure(std::string(uploadInProgressMessage)));
  EXPECT_TRUE(uploader_->uploading());
  while (!first) g_main_context_iteration(context_.get(), TRUE);
  ASSERT_TRUE(first->ok()) << first->error().description();
  EXPECT_FALSE(uploader_->uploading());
  ASSERT_EQ(events_.size(), 7u);  // the second emitted nothing
  EXPECT_EQ(events_[5], Events::value_type("ready", readyRemovedMessage));
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(temp_.path())) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{otherMeeting.filename().string(),
                                         notRemains.filename().string()}));
}

TEST_F(UploadTest, AFailedPreparationOrAChunkDamagedSinceStopsTheUploadBeforeItIsSent) {
  for (const char* track : {"system.caf", "microphone.caf"})
    fs::rename(folder_ / track, temp_ / track);
  Result<void> result = upload();
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().isFailure());
  EXPECT_EQ(events_.size(), 1u);  // preparing
  EXPECT_TRUE(control_.requests().empty());
  EXPECT_FALSE(uploader_->uploading());
  for (const char* track : {"system.caf", "microphone.caf"})
    fs::rename(temp_ / track, folder_ / track);
  UploadHooks hooks;
  hooks.prepare = [](const fs::path& folder) -> Result<ChunkList> {
    Result<ChunkList> chunks = prepareChunks(folder);
    if (chunks.ok()) fs::resize_file(chunks.value()[1], 1000);
    return chunks;
  };
  uploader_ = makeUploader(std::move(hooks));
  result = upload();
  Result<Bytes> recheck = validateChunk(folder_ / "chunk-001.wav", folder_);
  ASSERT_FALSE(result.ok() || recheck.ok());
  EXPECT_EQ(result.error(), recheck.error());
  EXPECT_EQ(logged("query", meetingPath + "/audio"), Strings{"sequence=0"});
  EXPECT_TRUE(fs::exists(folder_ / "microphone.caf"));
  EXPECT_FALSE(uploader_->uploading());
}

TEST_F(UploadTest, AFolderThatCannotBeRemovedStillEndsReady) {
  // An immutable file (chattr +i) cannot be removed, even by root.
  const fs::path pinned = folder_ / "timing.json";
  if (std::system(("chattr +i '" + pinned.string() + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr +i is not available here";
  }
  Result<void> result = upload();
  std::system(("chattr -i '" + pinned.string() + "'").c_str());
  ASSERT_TRUE(result.ok()) << result.error().description();
  ASSERT_EQ(events_.size(), 7u);
  EXPECT_EQ(events_[5], Events::value_type("ready", readyKeptMessage));
  EXPECT_TRUE(fs::exists(pinned));
}

}  // namespace
}  // namespace halden
