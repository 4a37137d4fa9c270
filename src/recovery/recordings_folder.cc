#include "recovery/recordings_folder.h"

#include <glib.h>

#include "store/files.h"
#include "store/format.h"

namespace halden {

namespace fs = std::filesystem;

Result<void> createRecordingsRoot(const fs::path& root) {
  return createFolders(root, recordingsFolderMode);
}

std::string folderUri(const fs::path& folder) {
  const std::string path = fs::absolute(folder).lexically_normal().string();
  g_autofree char* escaped =
      g_uri_escape_bytes(reinterpret_cast<const guint8*>(path.data()), path.size(), "/");
  return "file://" + std::string(escaped);
}

std::size_t countMeetingFolders(const fs::path& root) {
  std::error_code error;
  std::size_t count = 0;
  for (auto it = fs::directory_iterator(root, error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error) &&
        isUuidText(it->path().filename().string())) {
      ++count;
    }
  }
  return count;
}

std::optional<uint64_t> availableSpace(fs::path root) {
  std::error_code error;
  while (!fs::exists(root, error) && root != root.parent_path()) root = root.parent_path();
  const fs::space_info space = fs::space(root, error);
  if (error) return std::nullopt;
  return space.available;
}

}  // namespace halden
