// Messages the page posts to the script handler, with the facts of the frame
// that sent them (main frame or not, its document's URL), then the bridge
// step for the accepted request and the event detail built from page text.
#include <fuzzer/FuzzedDataProvider.h>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "store/format.h"
#include "workspace/script_bridge.h"

using namespace halden;

namespace {

const NavigationPolicy& policy(int which) {
  static const NavigationPolicy policies[] = {
      NavigationPolicy(*ServiceUrl::parse("https://app.halden.io")),
      NavigationPolicy(*ServiceUrl::parse("http://127.0.0.1:18787")),
  };
  return policies[which];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const NavigationPolicy& chosen = policy(input.ConsumeBool() ? 1 : 0);
  const bool fromMainFrame = input.ConsumeBool();
  std::optional<std::string> frameUrl;
  if (input.ConsumeBool()) frameUrl = input.ConsumeRandomLengthString(512);
  BridgeState state;
  state.isRecording = input.ConsumeBool();
  state.starting = input.ConsumeBool();
  state.stopping = input.ConsumeBool();
  state.recovering = input.ConsumeBool();
  state.uploading = input.ConsumeBool();
  const std::string body = input.ConsumeRemainingBytesAsString();

  const std::optional<PageRequest> request = acceptPageMessage(
      chosen, fromMainFrame,
      frameUrl ? std::optional<std::string_view>(*frameUrl) : std::nullopt, body);
  if (request) {
    // Only the workspace's own document in the main frame is ever heard.
    HALDEN_FUZZ_CHECK(fromMainFrame);
    HALDEN_FUZZ_CHECK(frameUrl && chosen.trusted(*frameUrl));
    const nlohmann::json object = nlohmann::json::parse(body, nullptr, false);
    HALDEN_FUZZ_CHECK(object.is_object());
    HALDEN_FUZZ_CHECK(request->meetingId.has_value() == (request->type == PageRequestType::start));
    if (request->meetingId) HALDEN_FUZZ_CHECK(isUuidText(*request->meetingId));

    const BridgeStep step = dispatchPageRequest(*request, state);
    if (!step.accepted) {
      HALDEN_FUZZ_CHECK(step.state == state && !step.event && step.task == BridgeTask::none);
    }
    if (step.task == BridgeTask::startFlow || step.task == BridgeTask::recovery) {
      HALDEN_FUZZ_CHECK(!state.starting && !state.stopping && !state.isRecording &&
                        !state.uploading && !state.recovering);
    }
  }

  // Event details carry page and platform text; they must stay one literal.
  RecordingEvent event{"error", body, std::nullopt, frameUrl, std::nullopt};
  const std::string detail = recordingEventDetail(event);
  HALDEN_FUZZ_CHECK(detail.find('\0') == std::string::npos);
  HALDEN_FUZZ_CHECK(detail.find('\n') == std::string::npos &&
                    detail.find('\r') == std::string::npos);
  HALDEN_FUZZ_CHECK(detail.find("\u2028") == std::string::npos &&
                    detail.find("\u2029") == std::string::npos);
  const nlohmann::json parsed = nlohmann::json::parse(detail, nullptr, false);
  HALDEN_FUZZ_CHECK(parsed.is_object() && parsed["state"] == "error");
  return 0;
}
