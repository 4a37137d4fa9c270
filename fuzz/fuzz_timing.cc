// timing.json as preparation reads it from a meeting folder.
#include <cmath>

#include "fuzz_support.h"
#include "store/format.h"
#include "store/timing.h"

using namespace halden;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path& folder = fuzz::scratchFolder();
  fuzz::writeBytes(folder / timingFileName, data, size);
  const Result<TimingMap> timing = readTiming(folder);
  if (!timing.ok()) return 0;
  HALDEN_FUZZ_CHECK(size <= timingFileLimit);

  const Result<double> earliest = earliestStart(*timing);
  bool finite = true;
  for (const auto& [track, seconds] : *timing) finite = finite && std::isfinite(seconds);
  HALDEN_FUZZ_CHECK(earliest.ok() == finite);
  if (!finite) return 0;
  for (const auto& [track, seconds] : *timing) HALDEN_FUZZ_CHECK(*earliest <= seconds);

  // Finite timing survives the writer and the reader unchanged.
  const std::filesystem::path again = folder / "again";
  std::filesystem::create_directory(again);
  HALDEN_FUZZ_CHECK(writeTiming(*timing, again).ok());
  const Result<TimingMap> reread = readTiming(again);
  // The writer may need more than the reader's limit for many short numbers.
  if (std::filesystem::file_size(again / timingFileName) <= timingFileLimit) {
    HALDEN_FUZZ_CHECK(reread.ok() && *reread == *timing);
  }
  return 0;
}
