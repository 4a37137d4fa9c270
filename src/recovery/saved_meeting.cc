#include "recovery/saved_meeting.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "store/files.h"
#include "store/format.h"
#include "store/json_text.h"

namespace halden {
namespace {

namespace fs = std::filesystem;

// ASCII letters only: a meeting identifier is ASCII, and no other character
// lower-cases to one of its letters, so a wider mapping could match nothing more.
std::string asciiLowerCase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

// "a/b/" and "a/b/." name the folder "a/b", whose last component is "b".
fs::path withoutTrailingSeparator(const fs::path& path) {
  fs::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
    normal = normal.parent_path();
  }
  return normal;
}

// Why `text`, which parseJsonText refused, is no JSON text, in the parser's words.
Error jsonError(const Bytes& text) {
  const std::string domain(jsonErrorDomain);
  if (auto nul = std::find(text.begin(), text.end(), 0); nul != text.end()) {
    return Error(domain, 101,
                 "parse error at byte " + std::to_string(nul - text.begin() + 1) +
                     ": syntax error - a NUL byte is not allowed in JSON text");
  }
  try {
    const nlohmann::json parsed = nlohmann::json::parse(text.begin(), text.end());
    (void)parsed;
  } catch (const nlohmann::json::exception& error) {
    return Error(domain, error.id, error.what());
  }
  // Without a NUL byte the two parsers agree; this is never reached.
  return Error(domain, 101, "parse error: syntax error");
}

const std::string* stringMember(const nlohmann::json& object, const std::string& key) {
  auto member = object.find(key);
  return member == object.end() ? nullptr : member->get_ptr<const std::string*>();
}

}  // namespace

Result<SavedMeeting> checkSavedMeeting(const fs::path& root, const fs::path& chosen,
                                       std::string_view origin) {
  const fs::path named = withoutTrailingSeparator(chosen);
  const fs::path folder = resolvedPath(named);
  // The root itself has the root's parent as parent, a deeper folder a
  // meeting folder or below, and a link out of the root its target's.
  if (folder.parent_path() != resolvedPath(root)) {
    return failure(std::string(notInRecordingsMessage));
  }

  // Everything from here on goes through the resolved folder, the one the
  // upload will be given, not through links that could be changed meanwhile.
  const fs::path file = folder / meetingFileName;
  HALDEN_TRY(regularRecordingFile(file, folder));
  const Bytes bytes = HALDEN_TRY(readFile(file, meetingFileLimit));
  if (bytes.size() > meetingFileLimit) return failure(std::string(invalidMetadataMessage));
  const nlohmann::json object = parseJsonText(bytes);
  if (object.is_discarded()) return jsonError(bytes);

  const Error otherWorkspace = failure(std::string(otherWorkspaceMessage));
  if (!object.is_object()) return otherWorkspace;
  if (!std::all_of(object.begin(), object.end(),
                   [](const nlohmann::json& value) { return value.is_string(); })) {
    return otherWorkspace;
  }
  const std::string* meetingId = stringMember(object, "meetingId");
  if (!meetingId || !isUuidText(*meetingId)) return otherWorkspace;
  // A copy under another name, or a link of the right name to a folder of
  // another name, is not this meeting's folder.
  const std::string identifier = asciiLowerCase(*meetingId);
  if (asciiLowerCase(named.filename().string()) != identifier ||
      asciiLowerCase(folder.filename().string()) != identifier) {
    return otherWorkspace;
  }
  const std::string* recordedOrigin = stringMember(object, "origin");
  if (!recordedOrigin || *recordedOrigin != origin) return otherWorkspace;

  return SavedMeeting{folder, *meetingId};
}

}  // namespace halden
