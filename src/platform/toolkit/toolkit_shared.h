// What the toolkits of both builds share: pictures of image records, the
// routing of a user's action to the dialog logic, and window pictures
// saved as PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/toolkit/toolkit.h"

namespace vek::toolkit {

// A picture as top-down RGB triples; false when it holds no drawable picture.
bool ImageRgb(const PixelView* img, std::vector<uint8_t>& rgb);

// Calls the logic's handler for a user's action on a control; true when the
// dialog is to close with the control's modal result.
bool RouteAction(DialogLogic& logic, DialogView& view, const ControlSpec& spec, UserAction action);

// What every toolkit's view does with the dialog's logic: events reach it
// only while the view is open and not changing its own controls (a Quiet
// scope), and a logic that throws closes the dialog with 0 instead of
// unwinding through the toolkit's event loop.
class ViewBase : public DialogView {
 public:
  explicit ViewBase(DialogLogic& logic) : logic_(logic) {}
  bool closed() const { return closed_; }
  int result() const { return result_; }
  // No event reaches the logic now.
  bool Silent() const { return quiet_ > 0 || closed_ || dead_; }

  // ---- event entry points of the toolkits ----
  void WindowClosing() {
    if (Silent()) return;
    Guarded([&] {
      if (logic_.OnClose(*this, 2)) Close(2);
    });
  }
  void Opened() {
    Guarded([&] {
      Quiet q(this);  // what OnOpen does to the controls raises nothing
      logic_.OnOpen(*this);
    });
  }

 protected:
  // Suppresses events while the view or the logic changes the controls.
  struct Quiet {
    explicit Quiet(ViewBase* v) : v_(v) { ++v_->quiet_; }
    ~Quiet() { --v_->quiet_; }
    ViewBase* v_;
  };
  // Records the modal result once; false when the dialog was closed before.
  bool MarkClosed(int modal_result) {
    if (closed_) return false;
    closed_ = true;
    result_ = modal_result;
    return true;
  }
  template <class Step>
  void Guarded(Step&& step) {
    try {
      step();
    } catch (...) {
      Close(0);
    }
  }
  // A user's action on a control, routed to the logic.
  void Route(const ControlSpec& spec, UserAction action) {
    Guarded([&] {
      if (RouteAction(logic_, *this, spec, action)) Close(spec.modal_result);
    });
  }

  DialogLogic& logic_;
  int quiet_ = 0;
  bool closed_ = false;
  bool dead_ = false;  // being destroyed

 private:
  int result_ = 2;
};

// Top-down RGB rows as a PNG file; no file is left behind on failure.
bool SaveRgbPng(const std::string& path, int width, int height, const uint8_t* rgb);

}  // namespace vek::toolkit
