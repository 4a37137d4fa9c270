#include "recovery/saved_meeting.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>

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

// What the checks must give: the meeting `meetingId` (as the file writes it),
// found in root/folderName, or an error; of the JSON parser's errors only the
// domain matters.
struct Outcome {
  std::string folderName;
  std::optional<Error> error = std::nullopt;
};
Outcome refused(std::string_view message) { return {"", failure(std::string(message))}; }
const Outcome parseError{"", Error(std::string(jsonErrorDomain), 101, "")};

// The Recordings folder inside a temporary folder, and places around it.
struct Scene {
  testing::TempFolder temp;
  fs::path root = temp.folder("data/Halden/Recordings");
  fs::path elsewhere = temp.folder("elsewhere");

  // A folder `name` in `parent` (the root when empty) holding meeting.json with `json`.
  fs::path meeting(const std::string& name, const std::string& json = meetingJson(meetingId),
                   const fs::path& parent = {}) {
    const fs::path folder = (parent.empty() ? root : parent) / name;
    fs::create_directories(folder);
    writeBytes(folder / "meeting.json", json);
    return folder;
  }
  static fs::path link(const fs::path& target, const fs::path& at) {
    fs::create_directory_symlink(target, at);
    return at;
  }
};

struct Case {
  std::string name;
  // Prepares the scene and returns the folder the user chose.
  std::function<fs::path(Scene&)> chosen;
  Outcome outcome;
};

TEST(CheckSavedMeeting, RefusesEveryFolderButASavedMeetingOfThisWorkspaceAndChangesNothing) {
  std::vector<Case> cases = {
      // Accepted, with the identifier as the file writes it.
      {"folder named in upper case",
       [](Scene& s) { return s.meeting(upperMeetingId); },
       {upperMeetingId}},
      {"chosen with a trailing separator",
       [](Scene& s) { return fs::path(s.meeting(meetingId).string() + "/"); },
       {meetingId}},
      {"root reached through a link",
       [](Scene& s) {
         s.meeting(meetingId);
         return s.link(s.temp / "data", s.temp / "linked-data") / "Halden/Recordings" / meetingId;
       },
       {meetingId}},
      {"link of the meeting's name from elsewhere into the root",
       [](Scene& s) { return s.link(s.meeting(meetingId), s.elsewhere / meetingId); },
       {meetingId}},

      // Not a direct child of the Recordings folder.
      {"an intact meeting elsewhere",
       [](Scene& s) { return s.meeting(meetingId, meetingJson(meetingId), s.elsewhere); },
       refused(notInRecordingsMessage)},
      {"a link in the root to a meeting elsewhere",
       [](Scene& s) {
         return s.link(s.meeting(meetingId, meetingJson(meetingId), s.elsewhere),
                       s.root / meetingId);
       },
       refused(notInRecordingsMessage)},
      {"a link in the root to the root's parent",
       [](Scene& s) { return s.link("..", s.root / meetingId); }, refused(notInRecordingsMessage)},
      {"dot-dot back up to the root", [](Scene& s) { return s.meeting(meetingId) / ".."; },
       refused(notInRecordingsMessage)},

      // Not this meeting's folder.
      {"folder named by another identifier", [](Scene& s) { return s.meeting(otherMeetingId); },
       refused(otherWorkspaceMessage)},
      {"link of the meeting's name to a renamed folder of the root",
       [](Scene& s) { return s.link(s.meeting("renamed"), s.root / meetingId); },
       refused(otherWorkspaceMessage)},

      // meeting.json missing or no regular file of the folder.
      {"no meeting.json",
       [](Scene& s) { return s.temp.folder("data/Halden/Recordings/" + meetingId); },
       {"", Error::fromErrno(ENOENT)}},
      {"meeting.json a link to a file outside",
       [](Scene& s) {
         const fs::path folder = s.meeting(meetingId);
         writeBytes(s.elsewhere / "meeting.json", meetingJson(meetingId));
         fs::remove(folder / "meeting.json");
         fs::create_symlink(s.elsewhere / "meeting.json", folder / "meeting.json");
         return folder;
       },
       refused(invalidFileMessage)},
  };

  // meeting.json as text: JSON, but with an extra string member or else not a
  // meeting of this workspace; too large, checked before it is parsed; no JSON
  // text (a NUL byte, which the parser would take for the end, is reported
  // where it stands). What is UUID text is the page's check too
  // (script_bridge_test); here that this one is made.
  const std::string intact = meetingJson(meetingId), head = R"({"meetingId":")" + meetingId;
  const std::string tail = R"(","origin":"https://app.halden.io")";
  const Outcome other = refused(otherWorkspaceMessage);
  const std::tuple<std::string, std::string, Outcome> texts[] = {
      {"extra string member", head + tail + R"(,"note":"x"})", {meetingId}},
      {"extra number member", head + tail + R"(,"size":1})", other},
      {"array", "[" + intact + "]", other},
      {"no meetingId", R"({"origin":"https://app.halden.io"})", other},
      {"meetingId naming a folder outside the root", meetingJson("../elsewhere/" + meetingId),
       other},
      {"origin with a trailing slash", meetingJson(meetingId, "https://app.halden.io/"), other},
      {"4097 bytes of valid JSON", intact + std::string(4097 - intact.size(), ' '),
       refused(invalidMetadataMessage)},
      {"cut short", intact.substr(0, 30), parseError},
      {"NUL byte after the object", intact + '\0' + "x", parseError},
  };
  for (const auto& [name, json, outcome] : texts) {
    cases.push_back(
        {name, [json = json](Scene& s) { return s.meeting(meetingId, json); }, outcome});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene scene;
    const fs::path chosen = c.chosen(scene);
    const auto before = snapshot(scene.temp.path());
    const Result<SavedMeeting> result = checkSavedMeeting(scene.root, chosen, origin);
    EXPECT_EQ(snapshot(scene.temp.path()), before);
    const std::optional<Error>& expected = c.outcome.error;
    if (expected && expected->domain() == jsonErrorDomain) {
      EXPECT_EQ(errorOf(result).domain(), jsonErrorDomain) << errorOf(result).description();
    } else if (expected) {
      EXPECT_EQ(errorOf(result), *expected);
    } else {
      ASSERT_TRUE(result.ok()) << result.error().description();
      EXPECT_EQ(result->meetingId, meetingId);
      EXPECT_EQ(result->folder, resolvedPath(scene.root) / c.outcome.folderName);
    }
  }
}

}  // namespace
}  // namespace halden
