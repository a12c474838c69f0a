// What every format dialog shares: its event handlers run inside boundary
// blocks, so an error ends the dialog with false (and a message box) instead
// of escaping into the toolkit, and showing it without a display is an error.
#pragma once

#include <string>
#include <utility>

#include "foundation/errors.h"
#include "platform/toolkit/toolkit.h"

namespace vek::ui {

inline constexpr const char* kNoDisplayText = "No display available for dialogs.";

class GuardedLogic : public toolkit::DialogLogic {
 public:
  bool failed() const { return failed_; }
  // Raises the error that ended the dialog again, for the dialog's caller.
  [[noreturn]] void RaiseFailure(int32_t site) const {
    if (code_ == kFreeTextCode) ErrRaiseText(group_, text_, site);
    ErrRaise(group_, code_, site);
  }

 protected:
  // Runs an event handler; an error is recorded, shown, and closes the dialog.
  template <class F>
  void Guard(toolkit::DialogView& v, const char* procedure, F&& body) {
    if (failed_) return;
    MonitoredBoundary(procedure, std::forward<F>(body));
    if (ErrNone()) return;
    failed_ = true;
    group_ = ErrGroup();
    code_ = ErrCode();
    text_ = ErrMsgLast();
    v.Message(text_);
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
  int32_t group_ = 0, code_ = 0;
  std::string text_;
};

// Shows the logic modally; true when the user confirmed ("OK", modal result
// 1). An error that ended the dialog is raised again for the caller (the
// values stay as they were); without a display: the error above.
bool RunGuarded(GuardedLogic& logic, int32_t site);

}  // namespace vek::ui
