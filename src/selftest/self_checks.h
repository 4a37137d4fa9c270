// The built-in audio self-test behind `halden --self-test`.
#pragma once

#include <iosfwd>

#include "base/error.h"

namespace halden {

// Runs the 25 checks of the audio pipeline on synthetic audio in a private
// folder under the temporary directory, writing one "PASS: …" line per check
// and the summary line to `out`. The folder is removed on every way out.
// Fails when a check's expectation does not hold (message names the check) or
// when an operation the checks need fails (that operation's error).
Result<void> runAudioSelfTests(std::ostream& out);

}  // namespace halden
