#include "store/chunk_manifest.h"

#include <sys/stat.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "store/files.h"
#include "store/format.h"
#include "store/json_text.h"
#include "store/wave.h"

namespace halden {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view invalidManifestMessage = "The recording manifest is invalid.";
constexpr std::string_view invalidChunkNameMessage =
    "The recording manifest has an invalid chunk name.";
constexpr std::string_view changedChunkMessage =
    "A saved audio chunk changed after preparation. Its source audio has been kept.";

// The names of an earlier-form manifest: a JSON array of strings.
std::optional<std::vector<std::string>> earlierFormNames(std::string_view json) {
  const nlohmann::json array = parseJsonText(json);
  if (!array.is_array()) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& element : array) {
    if (!element.is_string()) return std::nullopt;
    names.push_back(element.get<std::string>());
  }
  return names;
}

}  // namespace

std::string ChunkManifest::toJson() const {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Chunk& chunk : chunks) {
    list.push_back({{"name", chunk.name}, {"sha256", chunk.sha256}});
  }
  nlohmann::ordered_json object;
  object["version"] = version;
  object["chunks"] = std::move(list);
  return object.dump();
}

Result<ChunkManifest> ChunkManifest::fromJson(std::string_view json) {
  auto invalid = [] { return failure(std::string(invalidManifestMessage)); };
  const nlohmann::json object = parseJsonText(json);
  if (!object.is_object()) return invalid();
  const auto version = object.find("version");
  const auto chunks = object.find("chunks");
  if (version == object.end() || !version->is_number_integer()) return invalid();
  if (chunks == object.end() || !chunks->is_array()) return invalid();
  ChunkManifest manifest;
  // A version too large for 64 bits does not decode; one that fits but is
  // not 1 is refused by the caller.
  if (version->is_number_unsigned() &&
      version->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
    return invalid();
  }
  manifest.version = version->get<int64_t>();
  for (const auto& element : *chunks) {
    if (!element.is_object()) return invalid();
    const auto name = element.find("name");
    const auto sha256 = element.find("sha256");
    if (name == element.end() || !name->is_string()) return invalid();
    if (sha256 == element.end() || !sha256->is_string()) return invalid();
    manifest.chunks.push_back({name->get<std::string>(), sha256->get<std::string>()});
  }
  return manifest;
}

Result<ChunkManifest::Chunk> manifestEntry(const fs::path& chunk, const fs::path& folder) {
  const Bytes bytes = HALDEN_TRY(validateChunk(chunk, folder));
  return ChunkManifest::Chunk{chunk.filename().string(), audioHash(bytes)};
}

Result<void> writeChunkManifest(const ChunkManifest& manifest, const fs::path& folder) {
  return writeFileAtomically(folder / manifestFileName, manifest.toJson());
}

Result<void> saveChunkManifest(const ChunkList& chunks, const fs::path& folder) {
  ChunkManifest manifest;
  manifest.version = manifestVersion;
  for (const fs::path& chunk : chunks) {
    manifest.chunks.push_back(HALDEN_TRY(manifestEntry(chunk, folder)));
  }
  return writeChunkManifest(manifest, folder);
}

Result<std::optional<ChunkList>> savedChunks(const fs::path& folder) {
  const fs::path file = folder / manifestFileName;
  // Without the link check a dangling link would read as "not prepared" and
  // the meeting would be prepared again under new identities.
  struct stat info;
  if (::lstat(file.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::optional<ChunkList>();
    return Error::fromErrno(errno);
  }
  HALDEN_TRY(regularRecordingFile(file, folder));
  const Bytes bytes = HALDEN_TRY(readFile(file, manifestFileLimit));
  if (bytes.size() > manifestFileLimit) return failure(std::string(invalidManifestMessage));
  const std::string_view json(reinterpret_cast<const char*>(bytes.data()), bytes.size());

  std::vector<std::string> names;
  std::vector<std::string> expected;  // identities; empty for the earlier form
  bool earlierForm = false;
  bool versionAccepted = false;
  if (auto current = ChunkManifest::fromJson(json); current.ok()) {
    versionAccepted = current->version == manifestVersion;
    for (ChunkManifest::Chunk& chunk : current->chunks) {
      names.push_back(std::move(chunk.name));
      expected.push_back(std::move(chunk.sha256));
    }
  } else if (auto earlier = earlierFormNames(json)) {
    earlierForm = true;
    names = std::move(*earlier);
  }
  if (names.empty() || names.size() > maximumChunkCount || !(earlierForm || versionAccepted)) {
    return failure(std::string(invalidManifestMessage));
  }

  ChunkManifest verified;
  verified.version = manifestVersion;
  ChunkList locations;
  for (std::size_t i = 0; i < names.size(); ++i) {
    // Only the fixed names can ever be opened: no separators, no "..".
    if (names[i] != chunkFileName(i)) return failure(std::string(invalidChunkNameMessage));
    const fs::path location = folder / names[i];
    ChunkManifest::Chunk chunk = HALDEN_TRY(manifestEntry(location, folder));
    if (!earlierForm && chunk.sha256 != expected[i]) {
      return failure(std::string(changedChunkMessage));
    }
    verified.chunks.push_back(std::move(chunk));
    locations.push_back(location);
  }
  if (earlierForm) HALDEN_TRY(writeChunkManifest(verified, folder));
  return std::optional<ChunkList>(std::move(locations));
}

}  // namespace halden
