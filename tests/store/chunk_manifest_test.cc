#include "store/chunk_manifest.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "store/format.h"
#include "store/store_fixtures.h"
#include "store/wave.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::errorOf;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;

const Error invalidManifest = failure("The recording manifest is invalid.");
const Error invalidName = failure("The recording manifest has an invalid chunk name.");
const Error changed =
    failure("A saved audio chunk changed after preparation. Its source audio has been kept.");

class ChunkManifestTest : public ::testing::Test {
 protected:
  // Writes `count` small distinct chunk files and returns their locations.
  ChunkList writeChunks(std::size_t count) {
    ChunkList chunks;
    for (std::size_t i = 0; i < count; ++i) {
      chunks.push_back(folder_ / chunkFileName(i));
      writeBytes(chunks.back(), wave(Bytes(2 * (i + 1), static_cast<unsigned char>(i))));
    }
    return chunks;
  }
  std::string hashOf(const fs::path& file) { return audioHash(readBytes(file)); }
  void writeManifest(const std::string& json) { writeBytes(folder_ / "chunks.json", json); }
  Bytes manifestBytes() { return readBytes(folder_ / "chunks.json"); }
  ChunkManifest manifest() {
    const Bytes bytes = manifestBytes();
    auto decoded = ChunkManifest::fromJson(std::string(bytes.begin(), bytes.end()));
    EXPECT_TRUE(decoded.ok());
    return decoded.ok() ? *decoded : ChunkManifest{};
  }

  // The failure of savedChunks, after checking it wrote nothing.
  Error refusal() {
    const Bytes before = manifestBytes();
    const Error error = errorOf(savedChunks(folder_));
    EXPECT_EQ(manifestBytes(), before) << "the manifest was rewritten";
    return error;
  }

  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
};

// What the writer gives back is read back unchanged: the fuzz target's
// invariant, and SavedManifestIsReusedUnchangedAtItsLimits.
TEST(ChunkManifestJson, IgnoresOtherMembersAndRequiresBothKeys) {
  auto extra = ChunkManifest::fromJson(
      R"({"extra":[1],"chunks":[{"sha256":"x","size":3,"name":"chunk-000.wav"}],"version":7})");
  ASSERT_TRUE(extra.ok());
  EXPECT_EQ(extra->version, 7);
  EXPECT_EQ(extra->chunks, (std::vector<ChunkManifest::Chunk>{{"chunk-000.wav", "x"}}));

  for (const char* invalid :
       {R"({"chunks":[]})", R"({"version":1})", R"({"version":true,"chunks":[]})",
        R"({"version":"1","chunks":[]})", R"({"version":1.5,"chunks":[]})",
        R"({"version":18446744073709551615,"chunks":[]})", R"({"version":1,"chunks":{}})",
        R"({"version":1,"chunks":[{"name":"chunk-000.wav"}]})",
        R"({"version":1,"chunks":[{"sha256":"x"}]})",
        R"({"version":1,"chunks":[{"name":0,"sha256":"x"}]})",
        R"({"version":1,"chunks":["chunk-000.wav"]})", R"(["chunk-000.wav"])", "not json"}) {
    EXPECT_FALSE(ChunkManifest::fromJson(invalid).ok()) << invalid;
  }
}

// The most chunks, in a file of the largest size, read back unchanged.
TEST_F(ChunkManifestTest, SavedManifestIsReusedUnchangedAtItsLimits) {
  const ChunkList chunks = writeChunks(240);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  ChunkManifest expected;
  for (std::size_t i = 0; i < 240; ++i)
    expected.chunks.push_back({chunkFileName(i), hashOf(chunks[i])});
  EXPECT_EQ(manifest(), expected);
  Bytes padded = manifestBytes();
  padded.resize(100'000, ' ');
  writeBytes(folder_ / "chunks.json", padded);
  EXPECT_EQ(savedChunks(folder_).value(), chunks);
  EXPECT_EQ(manifestBytes(), padded);
}

// Upgraded with the identities the chunks have now, altered or not.
TEST_F(ChunkManifestTest, EarlierFormIsUpgradedWithTheIdentitiesFound) {
  const ChunkList chunks = writeChunks(2);
  Bytes altered = readBytes(chunks[0]);
  altered[44] ^= 1;
  writeBytes(chunks[0], altered);
  writeManifest(R"(["chunk-000.wav", "chunk-001.wav"])");

  EXPECT_EQ(savedChunks(folder_).value(), chunks);
  ChunkManifest upgraded;  // version 1
  upgraded.chunks = {{"chunk-000.wav", audioHash(altered)}, {"chunk-001.wav", hashOf(chunks[1])}};
  EXPECT_EQ(manifest(), upgraded);
}

// Each way a saved chunk can stop matching its manifest, and what it gives.
TEST_F(ChunkManifestTest, RefusesAChunkThatNoLongerMatches) {
  const ChunkList chunks = writeChunks(2);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  const Bytes saved = readBytes(chunks[1]);
  Bytes changedSample = saved;
  changedSample[45] ^= 0x80;
  writeBytes(chunks[1], changedSample);
  EXPECT_EQ(refusal(), changed);
  writeBytes(chunks[1], "RIFF");
  EXPECT_EQ(refusal(), failure(std::string(damagedChunkMessage)));
  writeBytes(chunks[1], saved);  // the same bytes, but behind a link
  testing::makeIrregular(chunks[1], testing::irregularKinds[0]);
  EXPECT_EQ(refusal(), failure(std::string(invalidFileMessage)));
  fs::remove(chunks[1]);
  EXPECT_EQ(refusal(), Error::fromErrno(ENOENT));

  std::string hash = hashOf(chunks[0]);
  for (char& c : hash) c = static_cast<char>(std::toupper(c));
  writeManifest(R"({"version":1,"chunks":[{"name":"chunk-000.wav","sha256":")" + hash + "\"}]}");
  EXPECT_EQ(refusal(), changed);
}

TEST_F(ChunkManifestTest, RefusesInvalidManifestsNamesAndFiles) {
  const ChunkList chunks = writeChunks(2);
  writeBytes(temp_ / "other.wav", wave(Bytes(2)));
  const std::string hash = hashOf(chunks[0]);
  const std::string entry = R"({"name":"chunk-000.wav","sha256":")" + hash + "\"}";
  std::string tooMany = "[";
  for (std::size_t i = 0; i < 241; ++i) tooMany += (i ? ",\"" : "\"") + chunkFileName(i) + "\"";
  tooMany += "]";
  std::string oversized = R"({"version":1,"chunks":[)" + entry + "]}";
  oversized.resize(100'001, ' ');

  for (const std::string& json :
       {R"({"version":2,"chunks":[)" + entry + "]}", R"({"version":0,"chunks":[)" + entry + "]}",
        std::string(R"({"version":1,"chunks":[]})"), std::string("[]"),
        std::string(R"(["chunk-000.wav",7])"), std::string(R"({"chunks":["chunk-000.wav"]})"),
        std::string("{}"), std::string(""), std::string("chunk-000.wav"), tooMany, oversized,
        // The parser alone would take a NUL for the end of the text.
        R"({"version":1,"chunks":[)" + entry + "]}" + std::string("\0junk", 5),
        std::string("[\"chunk-000.wav\"]\0", 18),
        R"({"version":1,"chunks":[{"name":"chunk-000.wav","sha256":")" + hash.substr(0, 32) + '\0' +
            hash.substr(32) + "\"}]}",
        std::string(1, '\0')}) {
    writeManifest(json);
    EXPECT_EQ(refusal(), invalidManifest) << json.substr(0, 80);
  }
  for (const char* names :
       {R"(["../other.wav"])", R"(["chunk-00.wav"])", R"(["chunk-0.wav"])", R"(["chunk-001.wav"])",
        R"(["CHUNK-000.wav"])", R"(["chunk-000.WAV"])", R"(["./chunk-000.wav"])",
        R"(["chunk-0000.wav"])", R"(["chunk-000.wav","chunk-000.wav"])",
        R"(["chunk-000.wav","chunk-002.wav"])",
        R"({"version":1,"chunks":[{"name":"../other.wav","sha256":"x"}]})"}) {
    writeManifest(names);
    EXPECT_EQ(refusal(), invalidName) << names;
  }
  // Absolute names, also one that names the folder's own first chunk.
  for (const fs::path& name : {folder_ / "chunk-000.wav", temp_ / "other.wav"}) {
    writeManifest(nlohmann::json::array({name.string()}).dump());
    EXPECT_EQ(refusal(), invalidName) << name;
  }
  // An earlier form is not upgraded unless every entry passes.
  writeManifest(R"(["chunk-000.wav","chunk-001.wav","chunk-002.wav"])");
  EXPECT_EQ(refusal(), Error::fromErrno(ENOENT));

  // A dangling link is not an absent manifest: it must not mean "not prepared".
  for (const std::string& kind : testing::irregularKinds) {
    fs::remove_all(folder_ / "chunks.json");
    ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
    testing::makeIrregular(folder_ / "chunks.json", kind);
    EXPECT_EQ(errorOf(savedChunks(folder_)), failure(std::string(invalidFileMessage))) << kind;
  }
}

}  // namespace
}  // namespace halden
