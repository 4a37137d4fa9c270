// The meeting folder's vocabulary: every file name, rate, limit and size that
// the formats described in doc/meeting-folder.md fix. One place, so that the
// writers and readers of a folder cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halden {

// Frames per second of every track, of the mix and of every chunk.
inline constexpr double meetingSampleRate = 16000.0;
// The most frames a track or a mixed meeting may hold: 4 h x 3600 s x 16 000.
inline constexpr int64_t maximumMeetingFrames = 230'400'000;

// Track names; the track file is the name plus ".caf", and the names are the
// keys of timing.json. "system" is all audio the computer plays.
inline constexpr std::string_view systemTrackName = "system";
inline constexpr std::string_view microphoneTrackName = "microphone";
inline constexpr std::string_view trackFileExtension = ".caf";

// True for a UUID in its textual form: 32 hexadecimal digits, either letter
// case, in groups of 8-4-4-4-12 joined by hyphens, and nothing else. Meeting
// identifiers are such texts; they name meeting folders.
bool isUuidText(std::string_view text);

inline constexpr std::string_view meetingFileName = "meeting.json";
inline constexpr std::string_view timingFileName = "timing.json";
inline constexpr std::string_view manifestFileName = "chunks.json";

// Size limits enforced by the readers before anything is parsed, in bytes.
inline constexpr std::size_t timingFileLimit = 4096;
inline constexpr std::size_t meetingFileLimit = 4096;
inline constexpr std::size_t manifestFileLimit = 100'000;

// WAV chunks: 44-byte header, 16-bit little-endian mono PCM at 16 kHz.
inline constexpr int64_t chunkFrameCount = 960'000;  // 60 s
inline constexpr std::size_t waveHeaderSize = 44;
inline constexpr std::size_t maximumChunkFileSize = waveHeaderSize + 2 * chunkFrameCount;
inline constexpr std::size_t maximumChunkCount = 240;  // four hours of 60-second chunks

// Current (and only accepted) manifest version.
inline constexpr int64_t manifestVersion = 1;

// Mixing: every track sample is multiplied by this 32-bit float gain before
// summing (the nearest float to 0.7), and the sum is scaled by 32767.
inline constexpr float mixGain = 0.7f;
inline constexpr float outputScale = 32767.0f;

// Largest distance of a track's first timestamp from the earliest one, seconds.
inline constexpr double meetingTimeLimit = 14'400.0;

// "chunk-%03d.wav" of `index`.
std::string chunkFileName(std::size_t index);

// The track file name of a track: "system.caf" or "microphone.caf".
inline std::string trackFileName(std::string_view trackName) {
  return std::string(trackName) + std::string(trackFileExtension);
}

}  // namespace halden
