// FFmpeg's log, routed into the library for every FFmpeg user (the MPEG,
// AVI codec and sound decoder layers): nothing reaches the host's stderr.
// Error-level lines are kept as the last library message so that a failure
// can be reported with FFmpeg's own text; everything else is dropped.
#pragma once

#include <string>

namespace vek::platform {

// Installs the callback; cheap and idempotent, call before any FFmpeg use.
void AvLogInstall();
// The last error-level line FFmpeg logged since the last take or clear.
std::string AvLogTake();
void AvLogClear();

}  // namespace vek::platform
