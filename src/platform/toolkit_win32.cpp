// The dialogs' toolkit on Windows. The native dialogs are not built yet, so
// the library says there is no display for them and every dialog fails with
// that error; nothing is faked.
#include "platform/toolkit.h"

namespace vek::toolkit {

namespace {
TestDriver g_driver;
}  // namespace

bool DisplayAvailable() { return false; }

int RunModal(DialogLogic&) { return 0; }

void SetTestDriver(const TestDriver& driver) { g_driver = driver; }

bool SaveWindowPng(DialogView&, const std::string&) { return false; }

}  // namespace vek::toolkit
