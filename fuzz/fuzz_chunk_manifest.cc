// chunks.json in both forms (a JSON array of names, and the current object
// with identities), read by savedChunks from a folder with real chunk files:
// chunk-000.wav and chunk-001.wav are valid, chunk-002.wav is damaged.
#include <cstring>

#include "fuzz_support.h"
#include "store/chunk_manifest.h"
#include "store/format.h"
#include "store/wave.h"

using namespace halden;
namespace fs = std::filesystem;

namespace {

const fs::path& meetingFolder() {
  static const fs::path folder = [] {
    fs::path made = fuzz::scratchFolder() / "meeting";
    fs::create_directory(made);
    const unsigned char first[] = {0x01, 0x00, 0xff, 0x7f};
    const unsigned char second[] = {0x00, 0x80, 0x10, 0x20, 0x30, 0x40};
    const Bytes a = wave(first);
    const Bytes b = wave(second);
    Bytes damaged = wave(second);
    damaged[22] = 2;  // stereo: refused
    fuzz::writeBytes(made / chunkFileName(0), a.data(), a.size());
    fuzz::writeBytes(made / chunkFileName(1), b.data(), b.size());
    fuzz::writeBytes(made / chunkFileName(2), damaged.data(), damaged.size());
    return made;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The decoder alone: whatever it accepts, its own writer gives back.
  if (Result<ChunkManifest> decoded = ChunkManifest::fromJson(text); decoded.ok()) {
    const std::string json = decoded->toJson();
    const Result<ChunkManifest> again = ChunkManifest::fromJson(json);
    HALDEN_FUZZ_CHECK(again.ok() && *again == *decoded);
    const fs::path other = fuzz::scratchFolder() / "written";
    fs::create_directory(other);
    HALDEN_FUZZ_CHECK(writeChunkManifest(*decoded, other).ok());
    HALDEN_FUZZ_CHECK(fuzz::readText(other / manifestFileName) == json);
  }

  const fs::path& folder = meetingFolder();
  const fs::path file = folder / manifestFileName;
  fuzz::writeBytes(file, data, size);
  const Result<std::optional<ChunkList>> chunks = savedChunks(folder);
  if (!chunks.ok()) {
    // A refused manifest is left exactly as it was.
    HALDEN_FUZZ_CHECK(fuzz::readText(file) == text);
    return 0;
  }
  HALDEN_FUZZ_CHECK(chunks->has_value());  // the file is there
  const ChunkList& list = **chunks;
  HALDEN_FUZZ_CHECK(!list.empty() && list.size() <= 2);
  for (std::size_t i = 0; i < list.size(); ++i) {
    HALDEN_FUZZ_CHECK(list[i] == folder / chunkFileName(i));
  }

  // Afterwards chunks.json is the current form with the real identities
  // (an earlier form was upgraded), and reading it again changes nothing.
  const std::string stored = fuzz::readText(file);
  const Result<ChunkManifest> current = ChunkManifest::fromJson(stored);
  HALDEN_FUZZ_CHECK(current.ok() && current->version == manifestVersion);
  HALDEN_FUZZ_CHECK(current->chunks.size() == list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Result<ChunkManifest::Chunk> entry = manifestEntry(list[i], folder);
    HALDEN_FUZZ_CHECK(entry.ok() && *entry == current->chunks[i]);
  }
  const Result<std::optional<ChunkList>> again = savedChunks(folder);
  HALDEN_FUZZ_CHECK(again.ok() && again->has_value() && **again == list);
  HALDEN_FUZZ_CHECK(fuzz::readText(file) == stored);
  return 0;
}
