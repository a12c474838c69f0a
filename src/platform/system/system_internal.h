// The calls each backend of the system service answers its own way, for the
// code both share (system_common.cpp).
#pragma once

#include <string>

namespace vek::platform {

// The running program's file, empty when the system cannot tell.
std::string ExecutablePath();
// The running program's name as a title, empty when the system cannot tell.
std::string ProgramName();

}  // namespace vek::platform
