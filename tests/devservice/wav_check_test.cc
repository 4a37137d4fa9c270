#include "devservice/wav_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "devservice/service_fixture.h"

namespace halden::devservice {
namespace {

using testing::wavChunk;

void putLe(std::string& bytes, std::size_t offset, std::uint32_t value, int width) {
  for (int i = 0; i < width; ++i) {
    bytes[offset + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xff);
  }
}

struct ChunkCase {
  const char* name;
  std::function<std::string()> make;
  bool accepted;
};

TEST(WavCheck, AcceptsOnlyTheLayoutHaldenWrites) {
  const ChunkCase cases[] = {
      {"one sample", [] { return wavChunk(1); }, true},
      {"one minute", [] { return wavChunk(960'000); }, true},
      {"header only", [] { return wavChunk(0); }, false},
      {"empty body", [] { return std::string(); }, false},
      {"one sample too many", [] { return wavChunk(960'001); }, false},
      {"odd payload, sizes consistent",
       [] {
         std::string b = wavChunk(1) + "x";
         putLe(b, 4, static_cast<std::uint32_t>(b.size() - 8), 4);
         putLe(b, 40, static_cast<std::uint32_t>(b.size() - 44), 4);
         return b;
       },
       false},
      {"RIFF misspelt",
       [] {
         std::string b = wavChunk(8);
         b[0] = 'X';
         return b;
       },
       false},
      {"WAVEfmt misspelt",
       [] {
         std::string b = wavChunk(8);
         b[15] = '_';
         return b;
       },
       false},
      {"data misspelt",
       [] {
         std::string b = wavChunk(8);
         b[36] = 'D';
         return b;
       },
       false},
      {"RIFF size off by one",
       [] {
         std::string b = wavChunk(8);
         putLe(b, 4, 16 + 36 + 1, 4);
         return b;
       },
       false},
      {"data size larger than the body",
       [] {
         std::string b = wavChunk(500'000);
         putLe(b, 40, 1'920'000, 4);
         return b;
       },
       false},
      {"truncated after writing",
       [] {
         std::string b = wavChunk(100);
         b.resize(b.size() - 2);
         return b;
       },
       false},
      {"fmt size 18",
       [] {
         std::string b = wavChunk(8);
         putLe(b, 16, 18, 4);
         return b;
       },
       false},
      {"float format",
       [] {
         std::string b = wavChunk(8);
         putLe(b, 20, 3, 2);
         return b;
       },
       false},
      {"stereo",
       [] {
         std::string b = wavChunk(8);
         putLe(b, 22, 2, 2);
         return b;
       },
       false},
      {"44.1 kHz",
       [] {
         std::string b = wavChunk(8);
         putLe(b, 24, 44100, 4);
         return b;
       },
       false},
      {"byte rate",
       [] {
         std::string b = wavChunk(8);
         putLe(b, 28, 64000, 4);
         return b;
       },
       false},
      {"block align",
       [] {
         std::string b = wavChunk(8);
         putLe(b, 32, 4, 2);
         return b;
       },
       false},
      {"8-bit",
       [] {
         std::string b = wavChunk(8);
         putLe(b, 34, 8, 2);
         return b;
       },
       false},
  };
  for (const ChunkCase& c : cases) {
    std::optional<std::string> problem = checkChunk(c.make());
    EXPECT_EQ(!problem.has_value(), c.accepted) << c.name << ": " << problem.value_or("");
    if (problem) {
      EXPECT_FALSE(problem->empty()) << c.name;
    }
  }
}

}  // namespace
}  // namespace halden::devservice
