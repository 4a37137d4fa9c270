// File primitives of the meeting folder: bounded whole-file reads, atomic
// replacement, and the regular-file check that guards every read.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"

namespace halden {

using Bytes = std::vector<unsigned char>;

// Reads the whole file. If it holds more than `limit` bytes, reads only
// limit + 1 of them, so that the caller sees it is too large without the file
// ever being loaded whole. A symbolic link as the last component is never
// followed (ELOOP). Errors: the platform's (ENOENT, EISDIR, ELOOP, ...).
Result<Bytes> readFile(const std::filesystem::path& file,
                       std::size_t limit = static_cast<std::size_t>(-1));

// Replaces `file` atomically: the bytes go to a new temporary file in the same
// folder, which is flushed to disk (fsync) and renamed over `file`; the folder
// is then flushed so the rename itself is durable. A reader sees the old file
// or the new one, never a mix. On failure the temporary file is removed and
// `file` is as it was. New files get mode 0600.
Result<void> writeFileAtomically(const std::filesystem::path& file,
                                 std::span<const unsigned char> bytes);
Result<void> writeFileAtomically(const std::filesystem::path& file, std::string_view text);

// Resolves every symbolic link in `path`, the last component included. Parts
// that do not exist are kept as they are (a missing file resolves to itself
// under its resolved folder). Always absolute.
std::filesystem::path resolvedPath(const std::filesystem::path& path);

// Succeeds when `file` is a regular file (not a symbolic link, directory or
// other kind) lying directly in `folder` once all symbolic links of both paths
// are resolved. Fails with "The saved recording contains an invalid file. Its
// audio has been kept." otherwise, or with the platform's error when the
// file's kind cannot be read (a missing file). Reads nothing of the contents.
Result<void> regularRecordingFile(const std::filesystem::path& file,
                                  const std::filesystem::path& folder);

// Makes `folder` and every missing folder above it, each with `mode` (less
// if the umask says so). Folders that exist keep their mode; an existing
// link to a folder counts as a folder. Fails with the platform's error
// (ENOTDIR when `folder` exists but is no folder).
Result<void> createFolders(const std::filesystem::path& folder, mode_t mode);

// Removes a meeting folder with everything in it, crash-safely: it is first
// renamed to ".<name>.removing" beside itself, which no listing takes for a
// meeting, and remains of earlier removals cut short are cleared first. When
// the removal fails the folder is renamed back. Fails with the platform's
// error.
Result<void> removeFolderEntirely(const std::filesystem::path& folder);

inline constexpr std::string_view invalidFileMessage =
    "The saved recording contains an invalid file. Its audio has been kept.";

}  // namespace halden
