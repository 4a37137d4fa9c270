// WAV chunk validation: the in-memory check and the file read that the upload
// repeats before every chunk is sent.
#include <cstring>

#include "fuzz_support.h"
#include "store/format.h"
#include "store/wave.h"

using namespace halden;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes bytes(data, data + size);
  const Result<void> checked = checkChunkBytes(bytes);

  const std::filesystem::path& folder = fuzz::scratchFolder();
  const std::filesystem::path file = folder / "chunk-000.wav";
  fuzz::writeBytes(file, data, size);
  const Result<Bytes> read = validateChunk(file, folder);

  // Reading from disk adds only the file checks: same verdict, same bytes.
  HALDEN_FUZZ_CHECK(read.ok() == checked.ok());
  if (!checked.ok()) {
    HALDEN_FUZZ_CHECK(read.error() == checked.error());
    return 0;
  }
  HALDEN_FUZZ_CHECK(*read == bytes);
  // The only accepted layout is the one wave() writes for the same samples.
  HALDEN_FUZZ_CHECK(size > waveHeaderSize && size <= maximumChunkFileSize);
  const Bytes rebuilt = wave(std::span<const unsigned char>(data + waveHeaderSize,
                                                           size - waveHeaderSize));
  HALDEN_FUZZ_CHECK(rebuilt == bytes);
  return 0;
}
