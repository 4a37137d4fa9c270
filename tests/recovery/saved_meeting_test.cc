#include "recovery/saved_meeting.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "store/files.h"
#include "store/store_fixtures.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

namespace fs = std::filesystem;
using testing::errorOf;
using testing::writeBytes;

constexpr std::string_view origin = "https://app.halden.io";
const std::string meetingId = "6f1c2a4e-9b7d-4c1e-8a53-2d0e9f4b7a10";
const std::string upperMeetingId = "6F1C2A4E-9B7D-4C1E-8A53-2D0E9F4B7A10";
const std::string otherMeetingId = "0b6d0c1e-51a4-4f0e-9d2b-7c3e8f1a2b4c";

std::string meetingJson(const std::string& id, std::string_view recordedOrigin = origin) {
  return R"({"meetingId":")" + id + R"(","origin":")" + std::string(recordedOrigin) + R"("})";
}

// meeting.json of exactly `size` bytes: the intact object padded with blanks,
// which JSON allows after a value.
std::string paddedMeetingJson(std::size_t size) {
  std::string text = meetingJson(meetingId);
  text.resize(size, ' ');
  return text;
}

// Every entry below a folder: its kind, mode, size, modification time, link
// target and bytes, so that any change by the checks shows.
std::map<std::string, std::string> snapshot(const fs::path& top) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    struct stat info;
    EXPECT_EQ(::lstat(entry.path().c_str(), &info), 0);
    std::string& line = entries[fs::relative(entry.path(), top).string()];
    line = std::to_string(info.st_mode) + " " + std::to_string(info.st_size) + " " +
           std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
    if (S_ISLNK(info.st_mode)) {
      line += " -> " + fs::read_symlink(entry.path()).string();
    } else if (S_ISREG(info.st_mode)) {
      const Bytes bytes = testing::readBytes(entry.path());
      line += " " + std::string(bytes.begin(), bytes.end());
    }
  }
  return entries;
}

// What the checks must give: the meeting, found in root/folderName, or an error.
struct Outcome {
  std::string meetingId;
  std::string folderName;
  std::optional<Error> error;
  bool anyParseError = false;  // any error of the JSON parser
};
Outcome accepted(const std::string& id, const std::string& folderName) {
  return {id, folderName, std::nullopt, false};
}
Outcome refused(Error error) { return {"", "", std::move(error), false}; }
Outcome parseError() { return {"", "", std::nullopt, true}; }

const Error notInRecordings = failure(std::string(notInRecordingsMessage));
const Error invalidMetadata = failure(std::string(invalidMetadataMessage));
const Error otherWorkspace = failure(std::string(otherWorkspaceMessage));
const Error invalidFile = failure(std::string(invalidFileMessage));

// The Recordings folder inside a temporary folder, and places around it.
struct Scene {
  testing::TempFolder temp;
  fs::path root = temp.folder("data/Halden/Recordings");
  fs::path elsewhere = temp.folder("elsewhere");

  // A folder `name` in `parent` holding meeting.json with `json`.
  fs::path meeting(const fs::path& parent, const std::string& name,
                   const std::string& json = meetingJson(meetingId)) {
    const fs::path folder = parent / name;
    fs::create_directories(folder);
    writeBytes(folder / "meeting.json", json);
    return folder;
  }
  fs::path meeting(const std::string& name, const std::string& json = meetingJson(meetingId)) {
    return meeting(root, name, json);
  }
};

struct Case {
  std::string name;
  // Prepares the scene and returns the folder the user chose.
  std::function<fs::path(Scene&)> chosen;
  Outcome outcome;
};

// A meeting folder whose meeting.json holds `json`.
Case withJson(std::string name, std::string json, Outcome outcome) {
  return {std::move(name), [json](Scene& s) { return s.meeting(meetingId, json); },
          std::move(outcome)};
}

TEST(CheckSavedMeeting, RefusesEveryFolderButASavedMeetingOfThisWorkspaceAndChangesNothing) {
  std::vector<Case> cases = {
      // Accepted, with the identifier as the file writes it.
      {"intact meeting", [](Scene& s) { return s.meeting(meetingId); },
       accepted(meetingId, meetingId)},
      {"folder named in upper case", [](Scene& s) { return s.meeting(upperMeetingId); },
       accepted(meetingId, upperMeetingId)},
      {"identifier written in upper case",
       [](Scene& s) { return s.meeting(meetingId, meetingJson(upperMeetingId)); },
       accepted(upperMeetingId, meetingId)},
      {"chosen with a trailing separator",
       [](Scene& s) { return fs::path(s.meeting(meetingId).string() + "/"); },
       accepted(meetingId, meetingId)},
      {"root reached through a link",
       [](Scene& s) {
         s.meeting(meetingId);
         fs::create_directory_symlink(s.temp / "data", s.temp / "linked-data");
         return s.temp / "linked-data/Halden/Recordings" / meetingId;
       },
       accepted(meetingId, meetingId)},
      {"link of the meeting's name from elsewhere into the root",
       [](Scene& s) {
         fs::create_directory_symlink(s.meeting(meetingId), s.elsewhere / meetingId);
         return s.elsewhere / meetingId;
       },
       accepted(meetingId, meetingId)},
      {"4096 bytes", [](Scene& s) { return s.meeting(meetingId, paddedMeetingJson(4096)); },
       accepted(meetingId, meetingId)},
      withJson("extra string member", R"({"meetingId":")" + meetingId +
                                          R"(","origin":"https://app.halden.io","note":"x"})",
               accepted(meetingId, meetingId)),

      // Not a direct child of the Recordings folder.
      {"the root itself", [](Scene& s) { return s.root; }, refused(notInRecordings)},
      {"the root with a trailing separator",
       [](Scene& s) {
         s.meeting(meetingId);
         return fs::path(s.root.string() + "/");
       },
       refused(notInRecordings)},
      {"a folder inside a meeting folder",
       [](Scene& s) { return s.meeting(s.meeting(meetingId), otherMeetingId,
                                       meetingJson(otherMeetingId)); },
       refused(notInRecordings)},
      {"an intact meeting elsewhere",
       [](Scene& s) { return s.meeting(s.elsewhere, meetingId); }, refused(notInRecordings)},
      {"a link in the root to a meeting elsewhere",
       [](Scene& s) {
         fs::create_directory_symlink(s.meeting(s.elsewhere, meetingId), s.root / meetingId);
         return s.root / meetingId;
       },
       refused(notInRecordings)},
      {"a link in the root to the root's parent",
       [](Scene& s) {
         fs::create_directory_symlink("..", s.root / meetingId);
         return s.root / meetingId;
       },
       refused(notInRecordings)},
      {"dot-dot back up to the root",
       [](Scene& s) { return s.meeting(meetingId) / ".."; }, refused(notInRecordings)},

      // Not this meeting's folder.
      {"renamed copy",
       [](Scene& s) { return s.meeting("copy of meeting"); }, refused(otherWorkspace)},
      {"folder named by another identifier",
       [](Scene& s) { return s.meeting(otherMeetingId); }, refused(otherWorkspace)},
      {"link of the meeting's name to a renamed folder of the root",
       [](Scene& s) {
         fs::create_directory_symlink(s.meeting("renamed"), s.root / meetingId);
         return s.root / meetingId;
       },
       refused(otherWorkspace)},

      // meeting.json too large, checked before it is parsed.
      {"4097 bytes of valid JSON",
       [](Scene& s) { return s.meeting(meetingId, paddedMeetingJson(4097)); },
       refused(invalidMetadata)},
      withJson("4097 bytes of anything", std::string(4097, 'x'), refused(invalidMetadata)),
      // meeting.json missing or no regular file of the folder.
      {"no meeting.json",
       [](Scene& s) {
         fs::create_directories(s.root / meetingId);
         return s.root / meetingId;
       },
       refused(Error::fromErrno(ENOENT))},
      {"meeting.json a link to a file outside",
       [](Scene& s) {
         const fs::path folder = s.meeting(meetingId);
         writeBytes(s.elsewhere / "meeting.json", meetingJson(meetingId));
         fs::remove(folder / "meeting.json");
         fs::create_symlink(s.elsewhere / "meeting.json", folder / "meeting.json");
         return folder;
       },
       refused(invalidFile)},
      {"meeting.json a fifo",
       [](Scene& s) {
         const fs::path folder = s.root / meetingId;
         fs::create_directories(folder);
         EXPECT_EQ(::mkfifo((folder / "meeting.json").c_str(), 0600), 0);
         return folder;
       },
       refused(invalidFile)},
  };

  // Not JSON text.
  for (const auto& [name, json] : std::vector<std::pair<std::string, std::string>>{
           {"empty", ""},
           {"cut short", meetingJson(meetingId).substr(0, 30)},
           {"trailing text", meetingJson(meetingId) + "x"},
           {"NUL byte after the object", meetingJson(meetingId) + std::string(1, '\0') + "x"},
           {"invalid UTF-8 in a value", R"({"meetingId":")" + meetingId +
                                            R"(","origin":"https://app.halden.io","n":")" +
                                            "\xC3\x28" + R"("})"}}) {
    cases.push_back(withJson(name, json, parseError()));
  }
  // JSON, but not a meeting of this workspace. What is UUID text is the
  // page's check too (script_bridge_test); here that this one is made.
  const std::string tail = R"(","origin":"https://app.halden.io")";
  for (const auto& [name, json] : std::vector<std::pair<std::string, std::string>>{
           {"extra number member", R"({"meetingId":")" + meetingId + tail + R"(,"size":1})"},
           {"extra null member", R"({"meetingId":")" + meetingId + tail + R"(,"x":null})"},
           {"array", "[" + meetingJson(meetingId) + "]"},
           {"string", R"(")" + meetingId + R"(")"},
           {"empty object", "{}"},
           {"no meetingId", R"({"origin":"https://app.halden.io"})"},
           {"meetingId a number", R"({"meetingId":6,"origin":"https://app.halden.io"})"},
           {"meetingId without hyphens", meetingJson("6f1c2a4e9b7d4c1e8a532d0e9f4b7a10")},
           {"meetingId naming a folder outside the root",
            meetingJson("../elsewhere/" + meetingId)},
           {"no origin", R"({"meetingId":")" + meetingId + R"("})"},
           {"origin with a trailing slash", meetingJson(meetingId, "https://app.halden.io/")},
           {"origin in upper case", meetingJson(meetingId, "HTTPS://APP.HALDEN.IO")},
           {"origin of another service", meetingJson(meetingId, "https://app.example.com")},
           {"origin with a port", meetingJson(meetingId, "https://app.halden.io:443")}}) {
    cases.push_back(withJson(name, json, refused(otherWorkspace)));
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene scene;
    const fs::path chosen = c.chosen(scene);
    const auto before = snapshot(scene.temp.path());
    const Result<SavedMeeting> result = checkSavedMeeting(scene.root, chosen, origin);
    EXPECT_EQ(snapshot(scene.temp.path()), before);
    if (c.outcome.anyParseError) {
      const Error error = errorOf(result);
      EXPECT_EQ(error.domain(), jsonErrorDomain) << error.description();
      EXPECT_FALSE(error.description().empty());
    } else if (c.outcome.error) {
      EXPECT_EQ(errorOf(result), *c.outcome.error);
    } else {
      ASSERT_TRUE(result.ok()) << result.error().description();
      EXPECT_EQ(result->meetingId, c.outcome.meetingId);
      EXPECT_EQ(result->folder, resolvedPath(scene.root) / c.outcome.folderName);
    }
  }
}

TEST(CheckSavedMeeting, ANulByteIsReportedWhereItStands) {
  Scene scene;
  const std::string json = meetingJson(meetingId);
  const fs::path folder = scene.meeting(meetingId, json + std::string(1, '\0'));
  const Error error = errorOf(checkSavedMeeting(scene.root, folder, origin));
  EXPECT_EQ(error.domain(), jsonErrorDomain);
  EXPECT_NE(error.description().find("byte " + std::to_string(json.size() + 1)),
            std::string::npos)
      << error.description();
}

}  // namespace
}  // namespace halden
