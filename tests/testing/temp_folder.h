// A private folder under $TMPDIR for one test, removed with everything in it.
#pragma once

#include <filesystem>
#include <string_view>

#include "store/files.h"

namespace halden::testing {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

  // Creates a subfolder (and parents) and returns its path.
  std::filesystem::path folder(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

// Writes `bytes` to `file` plainly (not atomically), replacing it. Aborts the
// test on failure.
void writeBytes(const std::filesystem::path& file, std::string_view bytes);
void writeBytes(const std::filesystem::path& file, const Bytes& bytes);
Bytes readBytes(const std::filesystem::path& file);

}  // namespace halden::testing
