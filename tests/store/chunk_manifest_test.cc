#include "store/chunk_manifest.h"

#include <gtest/gtest.h>

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
using testing::writeBytes;

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
  // The failure of savedChunks, after checking it wrote nothing.
  Error refusal() {
    const Bytes before = readBytes(manifest_);
    const Error error = errorOf(savedChunks(folder_));
    EXPECT_EQ(readBytes(manifest_), before) << "the manifest was rewritten";
    return error;
  }

  testing::TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
  fs::path manifest_ = folder_ / "chunks.json";
};

// The most chunks, in a file of the largest size, read back unchanged; the
// manifest saved holds the names and identities savedChunks checks.
TEST_F(ChunkManifestTest, SavedManifestIsReusedUnchangedAtItsLimits) {
  const ChunkList chunks = writeChunks(240);
  ASSERT_TRUE(saveChunkManifest(chunks, folder_).ok());
  Bytes padded = readBytes(manifest_);
  padded.resize(100'000, ' ');
  writeBytes(manifest_, padded);
  EXPECT_EQ(savedChunks(folder_).value(), chunks);
  EXPECT_EQ(readBytes(manifest_), padded);
}

// One row per check of the decoder and of savedChunks. Failures of the chunks
// themselves are validateChunk's (wave_test).
TEST_F(ChunkManifestTest, RefusesInvalidManifestsNamesFilesAndChunksChangedSinceAnUpgrade) {
  const ChunkList chunks = writeChunks(2);
  const std::string entry =
      R"({"name":"chunk-000.wav","sha256":")" + audioHash(readBytes(chunks[0])) + "\"}";
  const std::string one = "[" + entry + "]";
  const auto current = [](const std::string& version, const std::string& list) {
    return R"({"version":)" + version + R"(,"chunks":)" + list + "}";
  };
  nlohmann::json tooMany;
  for (std::size_t i = 0; i < 241; ++i) tooMany.push_back(chunkFileName(i));
  std::string oversized = current("1", one);
  oversized.resize(100'001, ' ');
  // The parser alone would take a NUL for the end of the text.
  const std::string nul("\0junk", 5);
  for (const std::string& json :
       {std::string(), current("1", one) + nul, current("2", one), current("1.5", one),
        R"({"chunks":)" + one + "}", std::string(R"({"version":1})"),
        current("1", R"({"0":)" + entry + "}"), current("1", R"([{"name":0,"sha256":"x"}])"),
        current("1", R"([{"name":"chunk-000.wav"}])"), current("1", "[]"),
        std::string(R"(["chunk-000.wav",7])"), tooMany.dump(), oversized}) {
    writeBytes(manifest_, json);
    EXPECT_EQ(refusal(), failure("The recording manifest is invalid.")) << json.substr(0, 80);
  }

  // Only the fixed names, in order: no path leads out of the folder, nor an
  // absolute one to its own first chunk.
  writeBytes(temp_ / "other.wav", wave(Bytes(2)));
  for (const std::string& names :
       {std::string(R"(["../other.wav"])"),
        nlohmann::json::array({(folder_ / "chunk-000.wav").string()}).dump(),
        std::string(R"(["chunk-000.wav","chunk-000.wav"])")}) {
    writeBytes(manifest_, names);
    EXPECT_EQ(refusal(), failure("The recording manifest has an invalid chunk name.")) << names;
  }
  // An earlier form is upgraded only when every entry passes, with the
  // identities the chunks have now, altered or not; from then on a chunk whose
  // bytes change is refused, never given a new identity. (The upgraded bytes:
  // PreparationFaultTest.AManifestThatCannotBeRewrittenStaysAsItWas.)
  writeBytes(manifest_, R"(["chunk-000.wav","chunk-001.wav","chunk-002.wav"])");
  EXPECT_EQ(refusal(), Error::fromErrno(ENOENT));
  Bytes altered = readBytes(chunks[0]);
  altered[44] ^= 1;
  writeBytes(chunks[0], altered);
  writeBytes(manifest_, R"(["chunk-000.wav", "chunk-001.wav"])");
  EXPECT_EQ(savedChunks(folder_).value(), chunks);  // upgrades it
  EXPECT_EQ(savedChunks(folder_).value(), chunks);  // checks the identities it found
  altered[45] ^= 0x80;
  writeBytes(chunks[0], altered);
  EXPECT_EQ(refusal(), failure("A saved audio chunk changed after preparation. Its source audio "
                               "has been kept."));

  // A dangling link is not an absent manifest: it must not mean "not prepared".
  fs::remove(manifest_);
  fs::create_symlink("missing", manifest_);
  EXPECT_EQ(errorOf(savedChunks(folder_)), failure(std::string(invalidFileMessage)));
}

}  // namespace
}  // namespace halden
