// The two-way channel between the workspace page and the application, as
// pure logic: which page messages are accepted and what each one changes, and
// the script that delivers a recording event to the page.
//
// The page posts objects to the handler "haldenDesktop"; the application
// answers with the DOM event "halden:recording" on the page's window. The
// caller owns the web view and the session; everything here runs on the main
// context and keeps no state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/format.h"
#include "workspace/session_state.h"
#include "workspace/navigation_policy.h"

namespace halden {

inline constexpr std::string_view scriptHandlerName = "haldenDesktop";
inline constexpr std::string_view recordingEventName = "halden:recording";
inline constexpr std::string_view waitingForConfirmationMessage =
    "Waiting for recording confirmation and microphone access\u2026";


enum class PageRequestType { status, start, stop, retry };

// A page message that passed every test that does not depend on the session.
struct PageRequest {
  PageRequestType type = PageRequestType::status;
  // start: the meeting identifier exactly as sent (UUID text, not normalised).
  // Absent for the other requests.
  std::optional<std::string> meetingId = std::nullopt;
  // start: "clientId" and "clientName" when they were strings.
  std::optional<std::string> clientId = std::nullopt;
  std::optional<std::string> clientName = std::nullopt;

  bool operator==(const PageRequest&) const = default;
};

// The request carried by one message posted to "haldenDesktop", or nothing
// when the message is to be dropped silently: it came from a sub-frame
// (`fromMainFrame` false, whatever its origin), the document of the sending
// frame (`frameUrl`) is not trusted, `body` (the posted value serialised as
// JSON text) is not an object, "action" is not one of "status", "start",
// "stop", "retry", or a "start" lacks a string "meetingId" in UUID text.
// Keys other than "action", "meetingId", "clientId" and "clientName" are
// ignored, and a recognised key whose value is not a string counts as absent.
std::optional<PageRequest> acceptPageMessage(const NavigationPolicy& policy, bool fromMainFrame,
                                             std::optional<std::string_view> frameUrl,
                                             std::string_view body);

// One recording event as the page receives it in the event's detail.
struct RecordingEvent {
  std::string state;    // "idle", "processing", "recording", "ready" or "error"
  std::string message;  // a user-facing sentence
  std::optional<std::string> meetingId = std::nullopt;
  std::optional<std::string> clientId = std::nullopt;
  std::optional<std::string> clientName = std::nullopt;
};

// The event's detail as compact JSON: "state" and "message" always, the other
// three members only when present. Every string reaches the page unchanged,
// except that a byte sequence that is not UTF-8 (from a platform message)
// becomes U+FFFD. The text holds no raw line terminator (U+2028 and U+2029
// are escaped too) and no NUL byte, so it stands in any script as one
// object literal.
std::string recordingEventDetail(const RecordingEvent& event);

// The script that dispatches `event` on the window of the page now shown at
// `currentUrl`, or nothing when that page is not the workspace's (no URL, or
// not trusted): the event is then not sent. The caller has remembered the
// event's state and message either way.
std::optional<std::string> recordingEventScript(const NavigationPolicy& policy,
                                                std::optional<std::string_view> currentUrl,
                                                const RecordingEvent& event);

// What the page's requests read and write: the session's own state, and
// whether an upload runs (which the uploader, not the session, knows).
struct BridgeState : SessionState {
  bool uploading = false;

  bool operator==(const BridgeState&) const = default;
};

// What the caller starts, as a task on the main context, after applying a
// step's state and sending its event.
enum class BridgeTask {
  none,
  startFlow,     // the start flow, with the request's meetingId and clientName
  endRecording,  // which itself tests isRecording and stopping again
  recovery,
};

struct BridgeNotice {
  std::string state;
  std::string message;
  bool operator==(const BridgeNotice&) const = default;
};

// The outcome of one accepted message. A refused one has `accepted` false,
// `state` equal to the input, no event and no task.
struct BridgeStep {
  bool accepted = false;
  BridgeState state;
  std::optional<BridgeNotice> event;  // to emit, after storing `state`
  BridgeTask task = BridgeTask::none;
};

// Applies `request` to `state`:
//   status: always; emits ("recording" while recording, else noticeState,
//           notice).
//   start:  refused while starting, stopping, isRecording, uploading or
//           recovering; else sets starting, clears captureStartError, stores
//           the client fields (absent ones clear old values), emits
//           "processing" and starts the start flow. meetingId is not changed.
//   stop:   refused unless isRecording is set and stopping is not; else starts
//           endRecording.
//   retry:  refused as start is; else sets recovering and starts recovery.
// signingIn refuses nothing.
BridgeStep dispatchPageRequest(const PageRequest& request, const BridgeState& state);

}  // namespace halden
