#include "store/chunk_manifest.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "store/format.h"
#include "store/wave.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;

const std::string invalidManifest = "The recording manifest is invalid.";
const std::string invalidName = "The recording manifest has an invalid chunk name.";
const std::string changed =
    "A saved audio chunk changed after preparation. Its source audio has been kept.";

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class ChunkManifestTest : public ::testing::Test {
 protected:
  // Writes `count` small distinct chunk files and returns their locations.
  ChunkList writeChunks(std::size_t count) {
    ChunkList chunks;
    for (std::size_t i = 0; i < count; ++i) {
      Bytes pcm(2 * (i + 1), static_cast<unsigned char>(i));
      chunks.push_back(folder_ / chunkFileName(i));
      writeBytes(chunks.back(), wave(pcm));
    }
    return chunks;
  }
  std::string hashOf(const fs::path& file) { return audioHash(readBytes(file)); }
  void writeManifest(const std::string& json) { writeBytes(folder_ / "chunks.json", json); }
  Bytes manifestBytes() { return readBytes(folder_ / "chunks.json"); }

  // The failure of savedChunks, after checking it wrote nothing.
  Error refusal() {
    const Bytes before = manifestBytes();
    auto saved = savedChunks(folder_);
    EXPECT_FALSE(saved.ok());
    EXPECT_EQ(manifestBytes(), before) << "the manifest was rewritten";
    return saved.ok() ? Error("test", 0, "no error") : saved.error();
  }

  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
};

TEST(ChunkManifestJson, RoundTripsAndWritesCompactVersionOne) {
  ChunkManifest manifest;
  manifest.chunks = {{"chunk-000.wav", std::string(64, 'a')}, {"chunk-001.wav", "b"}};
  const std::string json = manifest.toJson();
  EXPECT_EQ(json.find(' '), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(json)["version"], 1);
  auto decoded = ChunkManifest::fromJson(json);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, manifest);
}

TEST(ChunkManifestJson, RequiresBothKeysAndIgnoresOthers) {
  auto extra = ChunkManifest::fromJson(
      R"({"extra":[1],"chunks":[{"sha256":"x","size":3,"name":"chunk-000.wav"}],"version":7})");
  ASSERT_TRUE(extra.ok());
  EXPECT_EQ(extra->version, 7);
  ASSERT_EQ(extra->chunks.size(), 1u);
  EXPECT_EQ(extra->chunks[0].name, "chunk-000.wav");

  for (const char* json : {
           R"({"chunks":[]})",
           R"({"version":1})",
           R"({"version":true,"chunks":[]})",
           R"({"version":"1","chunks":[]})",
           R"({"version":1.5,"chunks":[]})",
           R"({"version":18446744073709551615,"chunks":[]})",
           R"({"version":1,"chunks":{}})",
           R"({"version":1,"chunks":[{"name":"chunk-000.wav"}]})",
           R"({"version":1,"chunks":[{"sha256":"x"}]})",
           R"({"version":1,"chunks":[{"name":0,"sha256":"x"}]})",
           R"({"version":1,"chunks":["chunk-000.wav"]})",
           R"(["chunk-000.wav"])",
           "not json",
       }) {
    EXPECT_FALSE(ChunkManifest::fromJson(json).ok()) << json;
  }
}

TEST_F(ChunkManifestTest, NoManifestMeansNoList) {
  writeChunks(2);
  auto saved = savedChunks(folder_);
  ASSERT_TRUE(saved.ok());
  EXPECT_FALSE(saved->has_value());
}

TEST_F(ChunkManifestTest, SavedManifestIsReusedUnchanged) {
  const ChunkList chunks = writeChunks(3);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  auto manifest = ChunkManifest::fromJson(text(manifestBytes()));
  ASSERT_TRUE(manifest.ok());
  ASSERT_EQ(manifest->chunks.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(manifest->chunks[i].name, chunkFileName(i));
    EXPECT_EQ(manifest->chunks[i].sha256, hashOf(chunks[i]));
  }

  const Bytes before = manifestBytes();
  auto saved = savedChunks(folder_);
  ASSERT_TRUE(saved.ok()) << saved.error().description();
  ASSERT_TRUE(saved->has_value());
  EXPECT_EQ(**saved, chunks);
  EXPECT_EQ(manifestBytes(), before);
}

TEST_F(ChunkManifestTest, SaveFailureKeepsThePreviousManifest) {
  const ChunkList chunks = writeChunks(2);
  writeManifest("previous");
  writeBytes(chunks[1], wave(Bytes(3)));  // odd payload
  auto saved = saveChunkManifest(chunks, folder_);
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().description(), std::string(invalidWaveMessage));
  EXPECT_EQ(text(manifestBytes()), "previous");
}

TEST_F(ChunkManifestTest, EarlierFormIsUpgradedWithTheIdentitiesFound) {
  const ChunkList chunks = writeChunks(2);
  const Bytes chunkBefore = readBytes(chunks[0]);
  writeManifest(R"(["chunk-000.wav", "chunk-001.wav"])");

  auto saved = savedChunks(folder_);
  ASSERT_TRUE(saved.ok()) << saved.error().description();
  ASSERT_TRUE(saved->has_value());
  EXPECT_EQ(**saved, chunks);
  EXPECT_EQ(readBytes(chunks[0]), chunkBefore);
  auto upgraded = ChunkManifest::fromJson(text(manifestBytes()));
  ASSERT_TRUE(upgraded.ok());
  EXPECT_EQ(upgraded->version, 1);
  ASSERT_EQ(upgraded->chunks.size(), 2u);
  EXPECT_EQ(upgraded->chunks[1].name, "chunk-001.wav");
  EXPECT_EQ(upgraded->chunks[1].sha256, hashOf(chunks[1]));

  // From now on it is a current-form manifest, reused as it is.
  const Bytes after = manifestBytes();
  ASSERT_TRUE(savedChunks(folder_).ok());
  EXPECT_EQ(manifestBytes(), after);
}

TEST_F(ChunkManifestTest, EarlierFormRecordsAnAlteredChunkAsItIsNow) {
  const ChunkList chunks = writeChunks(1);
  Bytes altered = readBytes(chunks[0]);
  altered[44] ^= 1;
  writeBytes(chunks[0], altered);
  writeManifest(R"(["chunk-000.wav"])");
  ASSERT_TRUE(savedChunks(folder_).ok());
  auto upgraded = ChunkManifest::fromJson(text(manifestBytes()));
  ASSERT_TRUE(upgraded.ok());
  EXPECT_EQ(upgraded->chunks[0].sha256, audioHash(altered));
}

TEST_F(ChunkManifestTest, EarlierFormIsNotUpgradedUnlessEveryEntryPasses) {
  writeChunks(1);
  writeManifest(R"(["chunk-000.wav","chunk-001.wav"])");
  EXPECT_EQ(refusal(), Error::fromErrno(ENOENT));
  writeManifest(R"(["chunk-000.wav","chunk-2.wav"])");
  EXPECT_EQ(refusal().description(), invalidName);
}

TEST_F(ChunkManifestTest, ChangedSampleIsRefusedAndTheOldIdentityKept) {
  const ChunkList chunks = writeChunks(2);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  Bytes bytes = readBytes(chunks[1]);
  bytes[45] ^= 0x80;
  writeBytes(chunks[1], bytes);
  EXPECT_EQ(refusal().description(), changed);
}

TEST_F(ChunkManifestTest, UppercaseIdentityCountsAsChanged) {
  const ChunkList chunks = writeChunks(1);
  std::string hash = hashOf(chunks[0]);
  for (char& c : hash) c = static_cast<char>(std::toupper(c));
  writeManifest(R"({"version":1,"chunks":[{"name":"chunk-000.wav","sha256":")" + hash + "\"}]}");
  EXPECT_EQ(refusal().description(), changed);
}

TEST_F(ChunkManifestTest, DeletedChunkGivesThePlatformError) {
  const ChunkList chunks = writeChunks(2);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  fs::remove(chunks[0]);
  const Error error = refusal();
  EXPECT_FALSE(error.isFailure());
  EXPECT_EQ(error, Error::fromErrno(ENOENT));
}

TEST_F(ChunkManifestTest, DamagedChunkGivesTheWaveMessages) {
  const ChunkList chunks = writeChunks(2);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  writeBytes(chunks[1], "RIFF");
  EXPECT_EQ(refusal().description(), std::string(damagedChunkMessage));
}

TEST_F(ChunkManifestTest, RefusesInvalidManifests) {
  const ChunkList chunks = writeChunks(1);
  const std::string entry = R"({"name":"chunk-000.wav","sha256":")" + hashOf(chunks[0]) + "\"}";
  std::string tooMany = "[";
  for (std::size_t i = 0; i < 241; ++i) tooMany += (i ? ",\"" : "\"") + chunkFileName(i) + "\"";
  tooMany += "]";
  std::string oversized = R"({"version":1,"chunks":[)" + entry + "]}";
  oversized.resize(100'001, ' ');

  for (const std::string& json : {
           R"({"version":2,"chunks":[)" + entry + "]}",
           R"({"version":0,"chunks":[)" + entry + "]}",
           std::string(R"({"version":1,"chunks":[]})"),
           std::string("[]"),
           std::string(R"(["chunk-000.wav",7])"),
           std::string(R"({"chunks":["chunk-000.wav"]})"),
           std::string("{}"),
           std::string(""),
           std::string("chunk-000.wav"),
           tooMany,
           oversized,
       }) {
    writeManifest(json);
    EXPECT_EQ(refusal().description(), invalidManifest) << json.substr(0, 80);
  }
}

TEST_F(ChunkManifestTest, AcceptsAManifestOfExactlyTheSizeLimit) {
  const ChunkList chunks = writeChunks(1);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  std::string json = text(manifestBytes());
  json.resize(100'000, ' ');
  writeManifest(json);
  EXPECT_TRUE(savedChunks(folder_).ok());
}

TEST_F(ChunkManifestTest, AcceptsTwoHundredFortyChunks) {
  const ChunkList chunks = writeChunks(240);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  auto saved = savedChunks(folder_);
  ASSERT_TRUE(saved.ok()) << saved.error().description();
  EXPECT_EQ(saved->value().size(), 240u);
}

TEST_F(ChunkManifestTest, RefusesAnyNameButTheFixedOne) {
  writeChunks(2);
  writeBytes(temp_ / "other.wav", wave(Bytes(2)));
  for (const char* names : {
           R"(["../other.wav"])",
           R"(["chunk-00.wav"])",
           R"(["chunk-0.wav"])",
           R"(["chunk-001.wav"])",
           R"(["CHUNK-000.wav"])",
           R"(["chunk-000.WAV"])",
           R"(["./chunk-000.wav"])",
           R"(["chunk-0000.wav"])",
           R"(["chunk-000.wav","chunk-000.wav"])",
           R"(["chunk-000.wav","chunk-002.wav"])",
       }) {
    writeManifest(names);
    EXPECT_EQ(refusal().description(), invalidName) << names;
  }
  // The same rule in the current form.
  writeManifest(R"({"version":1,"chunks":[{"name":"../other.wav","sha256":"x"}]})");
  EXPECT_EQ(refusal().description(), invalidName);
}

TEST_F(ChunkManifestTest, RefusesAManifestThatIsNotARegularFile) {
  const ChunkList chunks = writeChunks(1);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  fs::rename(folder_ / "chunks.json", folder_ / "saved.json");

  fs::create_symlink("saved.json", folder_ / "chunks.json");
  auto linked = savedChunks(folder_);
  ASSERT_FALSE(linked.ok());
  EXPECT_EQ(linked.error().description(), std::string(invalidFileMessage));

  fs::remove(folder_ / "chunks.json");
  fs::create_symlink("missing.json", folder_ / "chunks.json");
  auto dangling = savedChunks(folder_);
  ASSERT_FALSE(dangling.ok());
  EXPECT_EQ(dangling.error().description(), std::string(invalidFileMessage));

  fs::remove(folder_ / "chunks.json");
  fs::create_directory(folder_ / "chunks.json");
  auto directory = savedChunks(folder_);
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().description(), std::string(invalidFileMessage));
}

TEST_F(ChunkManifestTest, RefusesAListedChunkThatIsALink) {
  const ChunkList chunks = writeChunks(2);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  // Same bytes, so only the link itself can make it fail.
  fs::rename(chunks[1], folder_ / "copy.wav");
  fs::create_symlink("copy.wav", chunks[1]);
  EXPECT_EQ(refusal().description(), std::string(invalidFileMessage));
}

TEST_F(ChunkManifestTest, FolderReachedThroughALinkIsFine) {
  const ChunkList chunks = writeChunks(1);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  const fs::path linked = temp_ / "linked";
  fs::create_directory_symlink(folder_, linked);
  auto saved = savedChunks(linked);
  ASSERT_TRUE(saved.ok()) << saved.error().description();
  EXPECT_EQ(saved->value(), ChunkList{linked / "chunk-000.wav"});
}

}  // namespace
}  // namespace halden
