#include "store/wave.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;

const std::string damaged(damagedChunkMessage);
const std::string invalidFormat(invalidWaveMessage);
const std::string invalidFile(invalidFileMessage);

uint32_t uint32At(const Bytes& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<uint32_t>(bytes[at + 3]) << 24;
}
void putUint32(Bytes& bytes, std::size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}
void putUint16(Bytes& bytes, std::size_t at, uint16_t value) {
  bytes[at] = static_cast<unsigned char>(value);
  bytes[at + 1] = static_cast<unsigned char>(value >> 8);
}

Bytes payload(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
  return bytes;
}

TEST(Wave, HeaderOfEmptyPayloadIsFortyFourBytes) {
  const Bytes bytes = wave({});
  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
  EXPECT_EQ(uint32At(bytes, 4), 36u);
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(uint32At(bytes, 16), 16u);
  EXPECT_EQ(bytes[20] | bytes[21] << 8, 1);
  EXPECT_EQ(bytes[22] | bytes[23] << 8, 1);
  EXPECT_EQ(uint32At(bytes, 24), 16000u);
  EXPECT_EQ(uint32At(bytes, 28), 32000u);
  EXPECT_EQ(bytes[32] | bytes[33] << 8, 2);
  EXPECT_EQ(bytes[34] | bytes[35] << 8, 16);
  EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
  EXPECT_EQ(uint32At(bytes, 40), 0u);
}

TEST(Wave, PayloadFollowsTheHeaderUnchanged) {
  const Bytes pcm = payload(1000);
  const Bytes bytes = wave(pcm);
  ASSERT_EQ(bytes.size(), 1044u);
  EXPECT_EQ(uint32At(bytes, 4), 1036u);
  EXPECT_EQ(uint32At(bytes, 40), 1000u);
  EXPECT_EQ(Bytes(bytes.begin() + 44, bytes.end()), pcm);
}

TEST(AudioHash, MatchesKnownSha256Digests) {
  EXPECT_EQ(audioHash({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string abc = "abc";
  EXPECT_EQ(audioHash(std::span(reinterpret_cast<const unsigned char*>(abc.data()), abc.size())),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(AudioHash, CoversTheHeader) {
  Bytes first = wave(payload(64));
  Bytes second = first;
  second[24] = 1;  // same samples, another sample-rate field
  EXPECT_NE(audioHash(first), audioHash(second));
  for (char c : audioHash(first)) EXPECT_TRUE(std::isxdigit(c) && !std::isupper(c)) << c;
}

class ValidateChunkTest : public ::testing::Test {
 protected:
  Result<Bytes> validate(const Bytes& bytes) {
    writeBytes(folder_ / "chunk-000.wav", bytes);
    return validateChunk(folder_ / "chunk-000.wav", folder_);
  }
  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
};

TEST_F(ValidateChunkTest, AcceptsWhatWaveWritesUpToOneMinute) {
  for (std::size_t size : {2u, 32u, 1'920'000u}) {
    const Bytes bytes = wave(payload(size));
    auto read = validate(bytes);
    ASSERT_TRUE(read.ok()) << size << ": " << read.error().description();
    EXPECT_EQ(*read, bytes);
  }
}

struct Refusal {
  const char* name;
  std::function<Bytes()> make;
  const std::string& message;
};

// One case per check, in the order the checks run.
TEST_F(ValidateChunkTest, RefusesEachFieldWithItsMessage) {
  auto edited = [](const std::function<void(Bytes&)>& edit) {
    return [edit] {
      Bytes bytes = wave(payload(32));
      edit(bytes);
      return bytes;
    };
  };
  const std::vector<Refusal> refusals = {
      {"header only", [] { return wave({}); }, damaged},
      {"43 bytes",
       [] {
         Bytes bytes = wave(payload(2));
         bytes.resize(43);
         return bytes;
       },
       damaged},
      {"one sample over a minute", [] { return wave(payload(1'920'002)); }, damaged},
      {"RIFX", edited([](Bytes& b) { b[3] = 'X'; }), damaged},
      {"WAVEfmt without space", edited([](Bytes& b) { b[15] = '_'; }), damaged},
      {"wave in lower case", edited([](Bytes& b) { b[8] = 'w'; }), damaged},
      {"DATA", edited([](Bytes& b) { b[36] = 'D'; }), damaged},
      {"RIFF size one short", edited([](Bytes& b) { putUint32(b, 4, 32 + 35); }), invalidFormat},
      {"fmt size 18", edited([](Bytes& b) { putUint32(b, 16, 18); }), invalidFormat},
      {"float format", edited([](Bytes& b) { putUint16(b, 20, 3); }), invalidFormat},
      {"two channels", edited([](Bytes& b) { putUint16(b, 22, 2); }), invalidFormat},
      {"15873 Hz", edited([](Bytes& b) { b[24] = 1; }), invalidFormat},
      {"44100 Hz", edited([](Bytes& b) { putUint32(b, 24, 44100); }), invalidFormat},
      {"byte rate", edited([](Bytes& b) { putUint32(b, 28, 64000); }), invalidFormat},
      {"block align", edited([](Bytes& b) { putUint16(b, 32, 4); }), invalidFormat},
      {"8 bits", edited([](Bytes& b) { putUint16(b, 34, 8); }), invalidFormat},
      {"data size says a minute",
       [] {
         Bytes bytes = wave(payload(1'000'000));
         putUint32(bytes, 40, 1'920'000);
         return bytes;
       },
       invalidFormat},
      {"odd payload", [] { return wave(payload(33)); }, invalidFormat},
      {"odd payload of one byte", [] { return wave(payload(1)); }, invalidFormat},
      // The identifiers are checked before any field.
      {"missing data and wrong rate", edited([](Bytes& b) {
         b[36] = 'x';
         putUint32(b, 24, 8000);
       }),
       damaged},
      // Sizes are checked before the identifiers.
      {"header only, no identifiers", [] { return Bytes(44, 0); }, damaged},
  };
  for (const Refusal& refusal : refusals) {
    auto read = validate(refusal.make());
    ASSERT_FALSE(read.ok()) << refusal.name;
    EXPECT_TRUE(read.error().isFailure()) << refusal.name;
    EXPECT_EQ(read.error().description(), refusal.message) << refusal.name;
  }
}

TEST_F(ValidateChunkTest, MissingFileGivesThePlatformError) {
  auto read = validateChunk(folder_ / "chunk-000.wav", folder_);
  ASSERT_FALSE(read.ok());
  EXPECT_FALSE(read.error().isFailure());
  EXPECT_EQ(read.error(), Error::fromErrno(ENOENT));
}

TEST_F(ValidateChunkTest, NeverChangesTheFile) {
  const Bytes bytes = wave(payload(33));
  ASSERT_FALSE(validate(bytes).ok());
  EXPECT_EQ(readBytes(folder_ / "chunk-000.wav"), bytes);
}

// Links and other kinds of file are refused wherever they point.
TEST_F(ValidateChunkTest, RefusesAnythingButARegularFileInTheFolder) {
  const Bytes valid = wave(payload(32));
  writeBytes(folder_ / "chunk-000.wav", valid);
  const fs::path other = temp_.folder("other");
  writeBytes(other / "chunk-000.wav", valid);

  fs::create_symlink(folder_ / "chunk-000.wav", folder_ / "chunk-001.wav");
  fs::create_symlink("chunk-000.wav", folder_ / "chunk-002.wav");  // relative, same folder
  fs::create_symlink(other / "chunk-000.wav", folder_ / "chunk-003.wav");
  fs::create_symlink(folder_ / "missing.wav", folder_ / "chunk-004.wav");
  fs::create_directory(folder_ / "chunk-005.wav");
  ASSERT_EQ(::mkfifo((folder_ / "chunk-006.wav").c_str(), 0600), 0);

  for (const char* name : {"chunk-001.wav", "chunk-002.wav", "chunk-003.wav", "chunk-004.wav",
                           "chunk-005.wav", "chunk-006.wav"}) {
    auto read = validateChunk(folder_ / name, folder_);
    ASSERT_FALSE(read.ok()) << name;
    EXPECT_EQ(read.error().description(), invalidFile) << name;
  }
  // A file of another folder is refused even though it is a valid chunk.
  auto outside = validateChunk(other / "chunk-000.wav", folder_);
  ASSERT_FALSE(outside.ok());
  EXPECT_EQ(outside.error().description(), invalidFile);
}

TEST_F(ValidateChunkTest, FolderReachedThroughALinkIsFine) {
  const Bytes valid = wave(payload(32));
  writeBytes(folder_ / "chunk-000.wav", valid);
  const fs::path linkedFolder = temp_ / "linked";
  fs::create_directory_symlink(folder_, linkedFolder);

  EXPECT_TRUE(validateChunk(linkedFolder / "chunk-000.wav", linkedFolder).ok());
  EXPECT_TRUE(validateChunk(linkedFolder / "chunk-000.wav", folder_).ok());
  EXPECT_TRUE(validateChunk(folder_ / "chunk-000.wav", linkedFolder.string() + "/").ok());
}

}  // namespace
}  // namespace halden
