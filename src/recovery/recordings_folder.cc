#include "recovery/recordings_folder.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

namespace halden {

namespace fs = std::filesystem;

Result<void> createRecordingsRoot(const fs::path& root) {
  const fs::path target = fs::absolute(root).lexically_normal();
  // The deepest folder that exists ends the walk up; only what lies below it
  // is made, top down.
  std::vector<fs::path> missing;
  for (fs::path at = target; at.has_relative_path(); at = at.parent_path()) {
    if (!at.has_filename()) continue;  // "a/b/" is "a/b"
    struct stat info;
    if (::stat(at.c_str(), &info) == 0) break;
    if (errno != ENOENT) return Error::fromErrno(errno);
    missing.push_back(at);
  }
  for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
    // Another process may make the same folder meanwhile.
    if (::mkdir(at->c_str(), recordingsFolderMode) != 0 && errno != EEXIST) {
      return Error::fromErrno(errno);
    }
  }
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) return Error::fromErrno(errno);
  if (!S_ISDIR(info.st_mode)) return Error::fromErrno(ENOTDIR);
  return success();
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
