// The Recordings folder as the "Saved recordings" menu item shows it: made
// if it is missing, and named by a URI the desktop's file browser can open.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "base/error.h"

namespace halden {

// Folders made for the Recordings folder and its missing parents are the
// owner's alone, as meeting folders and the parents made with them are: the
// folder names are meeting identifiers.
inline constexpr mode_t recordingsFolderMode = 0700;

// Makes `root` and every missing folder above it with recordingsFolderMode
// (createFolders).
Result<void> createRecordingsRoot(const std::filesystem::path& root);

// "file://" followed by the absolute `folder`, every byte other than an
// unreserved character (A-Z a-z 0-9 - . _ ~) and "/" percent-encoded, so a
// name holding a space, "#", "%" or non-ASCII still names that folder.
std::string folderUri(const std::filesystem::path& folder);

}  // namespace halden
