#include "store/wave.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "store/store_fixtures.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::errorOf;
using testing::readBytes;
using testing::writeBytes;

// One refusal per check, the identifiers' and the size's as damage, the
// fields' as an invalid format; the file is never changed. A folder reached
// through a link is fine; a link is refused wherever it points, and so is a
// file of another folder.
TEST(ValidateChunk, AcceptsWhatWaveWritesInARegularFileOfTheFolderAndRefusesEachField) {
  testing::TempFolder temp;
  const fs::path folder = temp.folder("meeting"), file = folder / "chunk-000.wav";
  EXPECT_EQ(errorOf(validateChunk(file, folder)), Error::fromErrno(ENOENT));
  for (std::size_t size : {2u, 1'920'000u}) {  // a frame, a minute
    writeBytes(file, wave(Bytes(size, 7)));
    EXPECT_EQ(validateChunk(file, folder).value(), wave(Bytes(size, 7))) << size;
  }

  const std::string damaged(damagedChunkMessage), invalid(invalidWaveMessage);
  const struct {
    const char* name;
    std::size_t payloadSize;
    std::size_t at;  // where `value` is written, `width` bytes little-endian
    uint32_t value;
    int width;
    const std::string& message;
  } refusals[] = {
      {"header only", 0, 0, 0, 0, damaged},
      {"one sample over a minute", 1'920'002, 0, 0, 0, damaged},
      {"RIFX", 32, 3, 'X', 1, damaged},
      {"WAVEfmt without space", 32, 15, '_', 1, damaged},
      {"DATA", 32, 36, 'D', 1, damaged},
      {"RIFF size one short", 32, 4, 32 + 35, 4, invalid},
      {"fmt size 18", 32, 16, 18, 4, invalid},
      {"float format", 32, 20, 3, 2, invalid},
      {"two channels", 32, 22, 2, 2, invalid},
      {"8 kHz", 32, 24, 8000, 4, invalid},
      {"byte rate", 32, 28, 64000, 4, invalid},
      {"block align", 32, 32, 4, 2, invalid},
      {"8 bits", 32, 34, 8, 2, invalid},
      {"data size says a minute", 32, 40, 1'920'000, 4, invalid},
      {"odd payload", 33, 0, 0, 0, invalid},
  };
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    Bytes bytes = wave(Bytes(refusal.payloadSize, 7));
    for (int i = 0; i < refusal.width; ++i) {
      bytes[refusal.at + i] = static_cast<unsigned char>(refusal.value >> (8 * i));
    }
    writeBytes(file, bytes);
    EXPECT_EQ(errorOf(validateChunk(file, folder)), failure(refusal.message));
    EXPECT_EQ(readBytes(file), bytes);
  }

  fs::remove(file);
  writeBytes(folder / "valid.wav", wave(Bytes(32, 7)));
  fs::create_symlink("valid.wav", file);
  EXPECT_EQ(errorOf(validateChunk(file, folder)), failure(std::string(invalidFileMessage)));

  fs::remove(file);
  fs::rename(folder / "valid.wav", file);
  const fs::path linked = temp / "linked";
  fs::create_directory_symlink(folder, linked);
  EXPECT_TRUE(validateChunk(linked / "chunk-000.wav", folder).ok());
  EXPECT_TRUE(validateChunk(file, linked.string() + "/").ok());
  const fs::path other = temp.folder("other") / "chunk-000.wav";
  fs::copy_file(file, other);
  EXPECT_EQ(errorOf(validateChunk(other, folder)), failure(std::string(invalidFileMessage)));
}

}  // namespace
}  // namespace halden
