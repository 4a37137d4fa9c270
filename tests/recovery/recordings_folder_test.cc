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

// A folder at `path` with `mode`, a file at `path`, a link at `at` to
// `target`; each returns the path it made.
fs::path folder(const fs::path& path, int mode) {
  fs::create_directory(path);
  fs::permissions(path, static_cast<fs::perms>(mode));
  return path;
}
fs::path file(const fs::path& path) {
  testing::writeBytes(path, "x");
  return path;
}
fs::path link(const fs::path& target, const fs::path& at) {
  fs::create_symlink(target, at);
  return at;
}

struct Case {
  std::string name;
  // Prepares the temporary folder and returns the Recordings folder to create.
  std::function<fs::path(const fs::path& top)> root;
  std::optional<Error> error;
  // Path below the temporary folder -> mode expected afterwards.
  std::map<std::string, int> modes;
};

TEST(CreateRecordingsRoot, MakesOnlyTheMissingFoldersAndOnlyForTheOwner) {
  // Under a umask that lets group and others read, only the mode asked for
  // keeps the folders private.
  const mode_t oldUmask = ::umask(022);
  const std::vector<Case> cases = {
      {"the data folder exists",
       [](const fs::path& top) { return folder(top / "data", 0755) / "Halden/Recordings"; },
       std::nullopt, {{"data", 0755}, {"data/Halden", 0700}, {"data/Halden/Recordings", 0700}}},
      {"the root a link to a folder",
       [](const fs::path& top) { return link(folder(top / "real", 0755), top / "Recordings"); },
       std::nullopt, {{"Recordings", 0755}}},
      {"the Halden folder a link to a folder",
       [](const fs::path& top) {
         return link(folder(top / "real", 0755), top / "Halden") / "Recordings";
       },
       std::nullopt, {{"real/Recordings", 0700}}},
      {"the root a file", [](const fs::path& top) { return file(top / "Recordings"); },
       Error::fromErrno(ENOTDIR), {{"Recordings", 0644}}},
      {"a parent a file", [](const fs::path& top) { return file(top / "Halden") / "Recordings"; },
       Error::fromErrno(ENOTDIR), {{"Halden", 0644}}},
      {"the root a dangling link",
       [](const fs::path& top) { return link("missing", top / "Recordings"); },
       Error::fromErrno(ENOENT), {{"missing", -1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempFolder temp;
    const fs::path root = c.root(temp.path());
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
