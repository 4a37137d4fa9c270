#include "recovery/recordings_folder.h"

#include "store/files.h"
#include "store/format.h"

namespace halden {

namespace fs = std::filesystem;

Result<void> createRecordingsRoot(const fs::path& root) {
  return createFolders(root, recordingsFolderMode);
}

std::string folderUri(const fs::path& folder) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (char c : fs::absolute(folder).lexically_normal().string()) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      uri += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      uri += '%';
      uri += hex[byte >> 4];
      uri += hex[byte & 0x0F];
    }
  }
  return uri;
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
