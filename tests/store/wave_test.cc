#include "store/wave.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "store/store_fixtures.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::errorOf;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;

const std::string damaged(damagedChunkMessage);
const std::string invalidFormat(invalidWaveMessage);
const std::string invalidFile(invalidFileMessage);

// Writes `value` as `width` little-endian bytes at `at`.
void put(Bytes& bytes, std::size_t at, uint32_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

Bytes payload(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
  return bytes;
}

// The identity (audioHash) is checked against the service's own SHA-256 of
// what it received, in meeting_upload_test.
TEST(Wave, WritesTheFixedHeaderThenThePayload) {
  const Bytes pcm = payload(1000);
  const Bytes bytes = wave(pcm);
  // RIFF size 1036, 16-byte fmt: PCM, mono, 16000 Hz, 32000 B/s, align 2, 16 bits; data 1000.
  const Bytes header = {'R', 'I', 'F',  'F',  0x0c, 0x04, 0,    0,    'W',  'A', 'V',
                        'E', 'f', 'm',  't',  ' ',  16,   0,    0,    0,    1,   0,
                        1,   0,   0x80, 0x3e, 0,    0,    0x00, 0x7d, 0,    0,   2,
                        0,   16,  0,    'd',  'a',  't',  'a',  0xe8, 0x03, 0,   0};
  ASSERT_EQ(bytes.size(), 1044u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 44), header);
  EXPECT_EQ(Bytes(bytes.begin() + 44, bytes.end()), pcm);
  EXPECT_EQ(wave({}).size(), 44u);
}

class ValidateChunkTest : public ::testing::Test {
 protected:
  Result<Bytes> validate(const Bytes& bytes) {
    writeBytes(file_, bytes);
    return validateChunk(file_, folder_);
  }
  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
  fs::path file_ = folder_ / "chunk-000.wav";
};

// One refusal per check, in the order the checks run; the file is never changed.
TEST_F(ValidateChunkTest, AcceptsWhatWaveWritesAndRefusesEachFieldWithItsMessage) {
  for (std::size_t size : {2u, 32u, 1'920'000u}) {
    const Bytes bytes = wave(payload(size));
    EXPECT_EQ(validate(bytes).value(), bytes) << size;
  }

  struct Refusal {
    const char* name;
    std::size_t payloadSize;
    std::function<void(Bytes&)> edit;
    const std::string& message;
  };
  const std::vector<Refusal> refusals = {
      {"header only", 0, [](Bytes&) {}, damaged},
      {"43 bytes", 2, [](Bytes& b) { b.resize(43); }, damaged},
      {"one sample over a minute", 1'920'002, [](Bytes&) {}, damaged},
      {"RIFX", 32, [](Bytes& b) { b[3] = 'X'; }, damaged},
      {"WAVEfmt without space", 32, [](Bytes& b) { b[15] = '_'; }, damaged},
      {"wave in lower case", 32, [](Bytes& b) { b[8] = 'w'; }, damaged},
      {"DATA", 32, [](Bytes& b) { b[36] = 'D'; }, damaged},
      {"RIFF size one short", 32, [](Bytes& b) { put(b, 4, 32 + 35, 4); }, invalidFormat},
      {"fmt size 18", 32, [](Bytes& b) { put(b, 16, 18, 4); }, invalidFormat},
      {"float format", 32, [](Bytes& b) { put(b, 20, 3, 2); }, invalidFormat},
      {"two channels", 32, [](Bytes& b) { put(b, 22, 2, 2); }, invalidFormat},
      {"15873 Hz", 32, [](Bytes& b) { b[24] = 1; }, invalidFormat},
      {"byte rate", 32, [](Bytes& b) { put(b, 28, 64000, 4); }, invalidFormat},
      {"block align", 32, [](Bytes& b) { put(b, 32, 4, 2); }, invalidFormat},
      {"8 bits", 32, [](Bytes& b) { put(b, 34, 8, 2); }, invalidFormat},
      {"data size says a minute", 32, [](Bytes& b) { put(b, 40, 1'920'000, 4); }, invalidFormat},
      {"odd payload", 33, [](Bytes&) {}, invalidFormat},
      // The identifiers are checked before any field.
      {"missing data and wrong rate", 32,
       [](Bytes& b) {
         b[36] = 'x';
         put(b, 24, 8000, 4);
       },
       damaged},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    Bytes bytes = wave(payload(refusal.payloadSize));
    refusal.edit(bytes);
    EXPECT_EQ(errorOf(validate(bytes)), failure(refusal.message));
    EXPECT_EQ(readBytes(file_), bytes);
  }
}

// A folder reached through a link is fine; links and other kinds of file are
// refused wherever they point.
TEST_F(ValidateChunkTest, TakesOnlyARegularFileOfTheFolder) {
  EXPECT_EQ(errorOf(validateChunk(file_, folder_)), Error::fromErrno(ENOENT));
  const Bytes valid = wave(payload(32));
  writeBytes(file_, valid);
  const fs::path linked = temp_ / "linked";
  fs::create_directory_symlink(folder_, linked);
  EXPECT_TRUE(validateChunk(linked / "chunk-000.wav", linked).ok());
  EXPECT_TRUE(validateChunk(linked / "chunk-000.wav", folder_).ok());
  EXPECT_TRUE(validateChunk(file_, linked.string() + "/").ok());

  for (const std::string& kind : testing::irregularKinds) {
    SCOPED_TRACE(kind);
    fs::remove_all(file_);
    writeBytes(file_, valid);
    testing::makeIrregular(file_, kind);
    EXPECT_EQ(errorOf(validateChunk(file_, folder_)), failure(invalidFile));
  }
  const fs::path other = temp_.folder("other");
  writeBytes(other / "chunk-000.wav", valid);
  fs::remove_all(file_);
  fs::create_symlink(other / "chunk-000.wav", file_);
  EXPECT_EQ(errorOf(validateChunk(file_, folder_)), failure(invalidFile));
  ASSERT_EQ(::mkfifo((folder_ / "chunk-001.wav").c_str(), 0600), 0);
  EXPECT_EQ(errorOf(validateChunk(folder_ / "chunk-001.wav", folder_)), failure(invalidFile));
  // A file of another folder is refused even though it is a valid chunk.
  EXPECT_EQ(errorOf(validateChunk(other / "chunk-000.wav", folder_)), failure(invalidFile));
}

}  // namespace
}  // namespace halden
