#include "recovery/recordings_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "store/store_fixtures.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

namespace fs = std::filesystem;
using testing::errorOf;

// Permission bits of `path` (links followed); -1 when it does not exist.
int modeOf(const fs::path& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

// A file at `path`, a link at `at` to `target`; each returns the path it made.
fs::path file(const fs::path& path) {
  testing::writeBytes(path, "x");
  return path;
}
fs::path link(const fs::path& target, const fs::path& at) {
  fs::create_symlink(target, at);
  return at;
}

TEST(CreateRecordingsRoot, MakesOnlyTheMissingFoldersAndOnlyForTheOwner) {
  // Under a umask that lets group and others read, only the mode asked for
  // keeps the folders private; folders made here get 0755.
  const mode_t oldUmask = ::umask(022);
  const struct {
    std::string name;
    // Prepares the temporary folder and returns the Recordings folder to create.
    std::function<fs::path(const testing::TempFolder& top)> root;
    std::optional<Error> error;
    // Path below the temporary folder -> mode expected afterwards.
    std::map<std::string, int> modes;
  } cases[] = {
      {"the data folder exists",
       [](const auto& top) { return top.folder("data") / "Halden/Recordings"; },
       std::nullopt, {{"data", 0755}, {"data/Halden", 0700}, {"data/Halden/Recordings", 0700}}},
      {"the root a link to a folder",
       [](const auto& top) { return link(top.folder("real"), top / "Recordings"); },
       std::nullopt, {{"Recordings", 0755}}},
      {"the Halden folder a link to a folder",
       [](const auto& top) { return link(top.folder("real"), top / "Halden") / "Recordings"; },
       std::nullopt, {{"real/Recordings", 0700}}},
      {"the root a file", [](const auto& top) { return file(top / "Recordings"); },
       Error::fromErrno(ENOTDIR), {{"Recordings", 0644}}},
      {"a parent a file", [](const auto& top) { return file(top / "Halden") / "Recordings"; },
       Error::fromErrno(ENOTDIR), {{"Halden", 0644}}},
      {"the root a dangling link",
       [](const auto& top) { return link("missing", top / "Recordings"); },
       Error::fromErrno(ENOENT), {{"missing", -1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempFolder temp;
    const fs::path root = c.root(temp);
    const Result<void> created = createRecordingsRoot(root);
    if (c.error) {
      EXPECT_EQ(errorOf(created), *c.error);
    } else {
      EXPECT_TRUE(created.ok()) << created.error().description();
    }
    for (const auto& [path, mode] : c.modes) {
      EXPECT_EQ(modeOf(temp / path), mode) << path;
    }
  }
  ::umask(oldUmask);
}

TEST(FolderUri, EncodesEveryByteThatWouldChangeWhichFolderItNames) {
  EXPECT_EQ(folderUri("/home/a b/#1/50%/?x/j\xC3\xB6rg/./c/../Recordings"),
            "file:///home/a%20b/%231/50%25/%3Fx/j%C3%B6rg/Recordings");
  EXPECT_EQ(folderUri("Recordings"), folderUri(fs::current_path() / "Recordings"));
}

TEST(RecordingsFolder, CountsOnlyMeetingFoldersThatAreDirectories) {
  testing::TempFolder temp;
  const fs::path root = temp.path() / "Recordings";
  EXPECT_EQ(countMeetingFolders(root), 0u);  // not made yet
  fs::create_directories(root / "6f1c2f0e-8a3b-4c5d-9e7f-0a1b2c3d4e5f");
  fs::create_directories(root / "notes");
  testing::writeBytes(root / "11111111-2222-4333-8444-555555555555", "a file");
  fs::create_directory_symlink(root / "notes", root / "99999999-8888-4777-8666-555555555555");
  EXPECT_EQ(countMeetingFolders(root), 1u);
  EXPECT_TRUE(availableSpace(root / "not" / "made").has_value());
}

}  // namespace
}  // namespace halden
