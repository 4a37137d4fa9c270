#include "store/timing.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <nlohmann/json.hpp>

#include "store/files.h"
#include "store/format.h"
#include "store/json_text.h"

namespace halden {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view damagedTimingMessage =
    "The recording timing data is damaged. The source audio has been kept.";

}  // namespace

Result<void> writeTiming(const TimingMap& timing, const fs::path& folder) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [track, seconds] : timing) object[track] = seconds;
  return writeFileAtomically(folder / timingFileName, object.dump());
}

Result<TimingMap> readTiming(const fs::path& folder) {
  const fs::path file = folder / timingFileName;
  // Only a file that is not there at all means "all tracks start together". A
  // dangling link is still there: it must be refused, not read as absent.
  struct stat info;
  if (::lstat(file.c_str(), &info) != 0) {
    if (errno == ENOENT) return TimingMap{};
    return Error::fromErrno(errno);
  }
  HALDEN_TRY(regularRecordingFile(file, folder));
  const Bytes bytes = HALDEN_TRY(readFile(file, timingFileLimit));
  if (bytes.size() > timingFileLimit) return failure(std::string(damagedTimingMessage));

  const nlohmann::json object = parseJsonText(bytes);
  if (!object.is_object()) return failure(std::string(damagedTimingMessage));
  TimingMap timing;
  for (const auto& [track, value] : object.items()) {
    // is_number() is false for Booleans, which nlohmann keeps apart. A number
    // beyond the range of a double (1e999) does not parse, so it is reported
    // as damaged, never read as infinite.
    if (!value.is_number()) return failure(std::string(damagedTimingMessage));
    timing[track] = value.get<double>();
  }
  return timing;
}

Result<double> earliestStart(const TimingMap& timing) {
  double earliest = 0.0;
  bool first = true;
  for (const auto& [track, seconds] : timing) {
    if (!std::isfinite(seconds)) return failure("The recording timing data is invalid.");
    earliest = first ? seconds : std::min(earliest, seconds);
    first = false;
  }
  return earliest;
}

}  // namespace halden
