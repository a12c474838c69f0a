// What every format dialog shares: its event handlers run inside boundary
// blocks, so an error ends the dialog with false (and a message box) instead
// of escaping into the toolkit, and showing it without a display is an error.
#pragma once

#include <utility>

#include "foundation/errors.h"
#include "platform/toolkit.h"

namespace vek::ui {

inline constexpr const char* kNoDisplayText = "No display available: the dialog cannot be shown.";

class GuardedLogic : public toolkit::DialogLogic {
 public:
  bool failed() const { return failed_; }

 protected:
  // Runs an event handler; an error is recorded, shown, and closes the dialog.
  template <class F>
  void Guard(toolkit::DialogView& v, const char* procedure, F&& body) {
    if (failed_) return;
    MonitoredBoundary(procedure, std::forward<F>(body));
    if (ErrNone()) return;
    failed_ = true;
    v.Message(ErrMsgLast());
    v.Close(2);
  }
  // The same for OnClose, which answers whether the window may close.
  template <class F>
  bool GuardClose(toolkit::DialogView& v, const char* procedure, F&& body) {
    bool ok = true;
    Guard(v, procedure, [&] { ok = body(); });
    return failed_ || ok;
  }

 private:
  bool failed_ = false;
};

// Shows the logic modally; true when the user confirmed ("OK", modal result
// 1) and no error ended the dialog. Without a display: the error above.
bool RunGuarded(GuardedLogic& logic, int32_t site);

}  // namespace vek::ui
