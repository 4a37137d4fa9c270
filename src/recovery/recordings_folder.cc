#include "recovery/recordings_folder.h"

#include "store/files.h"

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

}  // namespace halden
