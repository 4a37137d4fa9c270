// meeting.json of a folder the user chose for a new upload attempt. The first
// byte picks the folder: its name in lower case, in mixed case, or a link to
// the lower-case folder named as the mixed-case identifier in lower case.
#include <algorithm>
#include <cctype>

#include "fuzz_support.h"
#include "recovery/saved_meeting.h"
#include "store/format.h"

using namespace halden;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view origin = "https://app.halden.io";
constexpr std::string_view lowerId = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr std::string_view mixedId = "7C9E6679-7425-40de-944B-E07FC1F90AE7";

const fs::path& recordings() {
  static const fs::path root = [] {
    fs::path made = fuzz::scratchFolder() / "Recordings";
    fs::create_directories(made / lowerId);
    fs::create_directories(made / mixedId);
    fs::create_directory_symlink(made / lowerId, made / "7c9e6679-7425-40de-944b-e07fc1f90ae7");
    return made;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const fs::path& root = recordings();
  fs::path chosen;
  switch (data[0] % 3) {
    case 0: chosen = root / lowerId; break;
    case 1: chosen = root / mixedId; break;
    default: chosen = root / "7c9e6679-7425-40de-944b-e07fc1f90ae7"; break;
  }
  ++data;
  --size;
  const fs::path file = fs::canonical(chosen) / meetingFileName;
  fuzz::writeBytes(file, data, size);

  const Result<SavedMeeting> meeting = checkSavedMeeting(root, chosen, origin);
  // The checks read only.
  HALDEN_FUZZ_CHECK(fuzz::readText(file).size() == size);
  if (!meeting.ok()) return 0;
  HALDEN_FUZZ_CHECK(size <= meetingFileLimit);
  HALDEN_FUZZ_CHECK(isUuidText(meeting->meetingId));
  HALDEN_FUZZ_CHECK(meeting->folder == fs::canonical(chosen));
  HALDEN_FUZZ_CHECK(meeting->folder.parent_path() == fs::canonical(root));
  // Both the chosen name and the real folder's name are the identifier, so
  // the link (another name for the lower-case folder) is never accepted.
  std::string lowered = meeting->meetingId;
  std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string folderName = meeting->folder.filename().string();
  std::transform(folderName.begin(), folderName.end(), folderName.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  HALDEN_FUZZ_CHECK(lowered == folderName);
  HALDEN_FUZZ_CHECK(chosen.filename() != "7c9e6679-7425-40de-944b-e07fc1f90ae7");
  return 0;
}
