// The Recordings folder as the "Saved recordings" menu item shows it: made
// if it is missing, and named by a URI the desktop's file browser can open.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
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

// The meeting folders in `root`: directories (not links) named by a meeting
// identifier. 0 when `root` is missing or cannot be read.
std::size_t countMeetingFolders(const std::filesystem::path& root);

// The bytes available to the user on the file system that holds `root`, or
// its nearest existing parent before it is made; nothing when that cannot be
// found. May block: call it off the main context.
std::optional<uint64_t> availableSpace(std::filesystem::path root);

}  // namespace halden
