// The checks that make a folder the user chose a saved meeting of this
// workspace, before it is uploaded again. They read meeting.json and change
// nothing on disk, whatever they find.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "base/error.h"

namespace halden {

inline constexpr std::string_view chooseSavedMeetingTitle = "Choose a saved Halden meeting";
inline constexpr std::string_view notInRecordingsMessage =
    "Choose a meeting folder from Halden\u2019s Recordings folder.";
inline constexpr std::string_view invalidMetadataMessage = "This recording has invalid metadata.";
inline constexpr std::string_view otherWorkspaceMessage =
    "This recording belongs to a different Halden workspace.";

// The JSON parser's errors (its exception id as code, its text as
// description). A NUL byte, which the parser itself would take for the end of
// the text, is reported in the same domain with code 101, a syntax error.
inline constexpr std::string_view jsonErrorDomain = "nlohmann::json";

// A folder that passed every check: the session takes it over as `directory`
// and `meetingId` and gives both to the upload.
struct SavedMeeting {
  // The meeting folder with every symbolic link resolved: a real folder
  // directly in the resolved Recordings folder. The upload writes chunks into
  // it and removes it, so it must not be a link, which removal would take
  // for the folder while the audio stayed behind.
  std::filesystem::path folder;
  // "meetingId" exactly as meeting.json writes it (its letter case kept):
  // UUID text, safe to insert into the service's paths unescaped.
  std::string meetingId;
};

// Checks `chosen`, a folder the user picked, as a saved meeting of the
// workspace whose base URL text is `origin` (the "origin" that this build
// writes into meeting.json). `root` is the Recordings folder; it need not
// exist. Reads at most meeting.json's limit + 1 bytes of one file; creates,
// changes and removes nothing.
//
// The checks, in order, with the failure each one gives:
//  1. `chosen`, with its symbolic links resolved, lies directly in `root`,
//     resolved too (not the root itself, nothing deeper, nothing elsewhere):
//     notInRecordingsMessage.
//  2. Its meeting.json is a regular file lying directly in it, not a link:
//     invalidFileMessage; a missing file gives the platform's error (ENOENT).
//  3. The file can be read: the platform's error.
//  4. It holds at most 4096 bytes: invalidMetadataMessage.
//  5. It is JSON text: the parser's error (jsonErrorDomain).
//  6. It is an object whose every value is a string, with a "meetingId" in
//     UUID text that equals, letter case aside, both the chosen folder's name
//     and the resolved folder's name, and an "origin" equal to `origin`
//     character for character: otherWorkspaceMessage.
//
// A refusal is meant to change nothing in the session either: the caller
// reports it with the meeting identifier and folder it already had.
Result<SavedMeeting> checkSavedMeeting(const std::filesystem::path& root,
                                       const std::filesystem::path& chosen,
                                       std::string_view origin);

}  // namespace halden
