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

// Sets the umask for one test and puts the old one back.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }
  Umask(const Umask&) = delete;
  Umask& operator=(const Umask&) = delete;

 private:
  mode_t old_;
};

struct Case {
  std::string name;
  // Prepares the temporary folder and returns the Recordings folder to create.
  std::function<fs::path(const fs::path& top)> root;
  std::optional<Error> error;
  // Path below the temporary folder -> mode expected afterwards.
  std::map<std::string, int> modes;
};

TEST(CreateRecordingsRoot, MakesOnlyTheMissingFoldersAndOnlyForTheOwner) {
  const Umask umask(022);
  const std::vector<Case> cases = {
      {"nothing exists", [](const fs::path& top) { return top / "data/Halden/Recordings"; },
       std::nullopt, {{"data", 0700}, {"data/Halden", 0700}, {"data/Halden/Recordings", 0700}}},
      {"the data folder exists",
       [](const fs::path& top) {
         fs::create_directory(top / "data");
         fs::permissions(top / "data", static_cast<fs::perms>(0755));
         return top / "data/Halden/Recordings";
       },
       std::nullopt, {{"data", 0755}, {"data/Halden", 0700}, {"data/Halden/Recordings", 0700}}},
      {"the root exists with another mode",
       [](const fs::path& top) {
         fs::create_directories(top / "Recordings");
         fs::permissions(top / "Recordings", static_cast<fs::perms>(0750));
         return top / "Recordings";
       },
       std::nullopt, {{"Recordings", 0750}}},
      {"a trailing separator",
       [](const fs::path& top) { return fs::path((top / "Halden/Recordings").string() + "/"); },
       std::nullopt, {{"Halden", 0700}, {"Halden/Recordings", 0700}}},
      {"the root a link to a folder",
       [](const fs::path& top) {
         fs::create_directory(top / "real");
         fs::permissions(top / "real", static_cast<fs::perms>(0755));
         fs::create_directory_symlink("real", top / "Recordings");
         return top / "Recordings";
       },
       std::nullopt, {{"Recordings", 0755}}},
      {"the Halden folder a link to a folder",
       [](const fs::path& top) {
         fs::create_directory(top / "real");
         fs::create_directory_symlink("real", top / "Halden");
         return top / "Halden/Recordings";
       },
       std::nullopt, {{"real/Recordings", 0700}}},
      {"the root a file",
       [](const fs::path& top) {
         testing::writeBytes(top / "Recordings", "x");
         return top / "Recordings";
       },
       Error::fromErrno(ENOTDIR), {{"Recordings", 0644}}},
      {"a parent a file",
       [](const fs::path& top) {
         testing::writeBytes(top / "Halden", "x");
         return top / "Halden/Recordings";
       },
       Error::fromErrno(ENOTDIR), {{"Halden", 0644}}},
      {"the root a dangling link",
       [](const fs::path& top) {
         fs::create_symlink("missing", top / "Recordings");
         return top / "Recordings";
       },
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
}

TEST(FolderUri, EncodesEveryByteThatWouldChangeWhichFolderItNames) {
  const struct {
    std::string path;
    std::string uri;
  } rows[] = {
      {"/home/ada/.local/share/Halden/Recordings",
       "file:///home/ada/.local/share/Halden/Recordings"},
      {"/home/a b/Recordings", "file:///home/a%20b/Recordings"},
      {"/srv/#1/50%/?x", "file:///srv/%231/50%25/%3Fx"},
      {"/home/j\xC3\xB6rg/Recordings", "file:///home/j%C3%B6rg/Recordings"},
      {"/a/./b/../Recordings", "file:///a/Recordings"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(folderUri(row.path), row.uri) << row.path;
  }
  EXPECT_EQ(folderUri("Recordings"), folderUri(fs::current_path() / "Recordings"));
}

TEST(RecordingsFolder, CountsOnlyMeetingFoldersThatAreDirectories) {
  testing::TempFolder temp;
  const std::filesystem::path root = temp.path() / "Recordings";
  EXPECT_EQ(countMeetingFolders(root), 0u);  // not made yet
  std::filesystem::create_directories(root / "6f1c2f0e-8a3b-4c5d-9e7f-0a1b2c3d4e5f");
  std::filesystem::create_directories(root / "a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d");
  std::filesystem::create_directories(root / "notes");
  testing::writeBytes(root / "11111111-2222-4333-8444-555555555555", "a file");
  std::filesystem::create_directory_symlink(root / "notes",
                                            root / "99999999-8888-4777-8666-555555555555");
  EXPECT_EQ(countMeetingFolders(root), 2u);
  EXPECT_TRUE(availableSpace(root / "not" / "made").has_value());
}

}  // namespace
}  // namespace halden
