// A dialog view without a window: holds what the logic puts into each
// control and plays the user's part (typing, clicking, choosing), so that
// dialog logic is tested without a display.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/toolkit/toolkit.h"

namespace vek::testing {

class FakeView : public toolkit::DialogView {
 public:
  struct Control {
    toolkit::ControlSpec spec;
    std::string text;
    bool enabled = true, checked = false, bold = false, visible = true;
    std::vector<std::string> items;
    std::vector<std::vector<std::string>> item_history;
    int selected = -1;
    int minimum = 0, maximum = 100, line = 1, page = 10, position = 0;
  };

  explicit FakeView(toolkit::DialogLogic& logic) : logic_(logic) {
    spec_ = logic.Layout();
    for (const auto& c : spec_.controls) {
      Control& k = controls_[c.id];
      k.spec = c;
      k.text = c.caption;
    }
  }
  void Open() { logic_.OnOpen(*this); }

  // ---- the user's part
  void Type(int id, const std::string& text) {
    At(id).text = text;
    logic_.OnChange(*this, id);
  }
  void Leave(int id) { logic_.OnLeave(*this, id); }
  void TypeAndLeave(int id, const std::string& text) {
    Type(id, text);
    Leave(id);
  }
  void Choose(int id, int index) {
    At(id).selected = index;
    logic_.OnChange(*this, id);
  }
  void Tick(int id, bool on) {
    At(id).checked = on;
    logic_.OnChange(*this, id);
  }
  void Move(int id, int position) {
    At(id).position = position;
    logic_.OnChange(*this, id);
  }
  void Click(int id) {
    const auto& c = At(id);
    if (c.spec.kind == toolkit::ControlKind::Radio) {
      for (auto& [other, k] : controls_)
        if (k.spec.kind == toolkit::ControlKind::Radio && k.spec.group_id == c.spec.group_id)
          k.checked = other == id;
      logic_.OnChange(*this, id);
      return;
    }
    if (c.spec.modal_result != 0) {
      if (closed_ == 0 && logic_.OnClose(*this, c.spec.modal_result) && closed_ == 0)
        closed_ = c.spec.modal_result;
      return;
    }
    logic_.OnCommand(*this, id);
  }
  int closed() const { return closed_; }

  // ---- what the logic left
  Control& At(int id) {
    auto it = controls_.find(id);
    if (it == controls_.end()) {
      ADD_FAILURE() << "no control " << id;
      return dummy_;
    }
    return it->second;
  }
  const toolkit::DialogSpec& spec() const { return spec_; }
  std::vector<std::string> messages, questions;
  bool answer = true;
  int wait_cursor = 0;  // changes of the wait cursor, on +1, off -1

  // ---- DialogView
  void SetText(int id, const std::string& t) override { At(id).text = t; }
  std::string Text(int id) const override { return Get(id).text; }
  void SetEnabled(int id, bool e) override { At(id).enabled = e; }
  bool Enabled(int id) const override { return Get(id).enabled; }
  void SetChecked(int id, bool c) override {
    auto& k = At(id);
    if (c && k.spec.kind == toolkit::ControlKind::Radio)
      for (auto& [other, o] : controls_)
        if (o.spec.kind == toolkit::ControlKind::Radio && o.spec.group_id == k.spec.group_id) o.checked = false;
    k.checked = c;
  }
  bool Checked(int id) const override { return Get(id).checked; }
  void SetBold(int id, bool b) override { At(id).bold = b; }
  void SetItems(int id, const std::vector<std::string>& items) override {
    At(id).items = items;
    At(id).item_history.push_back(items);
    At(id).selected = -1;
  }
  void SetSelected(int id, int index) override {
    auto& k = At(id);
    k.selected = index >= 0 && index < int(k.items.size()) ? index : -1;
  }
  int Selected(int id) const override { return Get(id).selected; }
  void SetRange(int id, int mn, int mx, int line, int page) override {
    auto& k = At(id);
    k.minimum = mn;
    k.maximum = mx;
    k.line = line;
    k.page = page;
    if (k.position < mn) k.position = mn;
    if (k.position > mx) k.position = mx;
  }
  void SetPosition(int id, int p) override { At(id).position = p; }
  int Position(int id) const override { return Get(id).position; }
  void SetBounds(int id, int x, int y, int w, int h) override {
    auto& s = At(id).spec;
    s.x = x, s.y = y, s.w = w, s.h = h;
  }
  void SetVisible(int id, bool v) override { At(id).visible = v; }
  bool Visible(int id) const override { return Get(id).visible; }
  void SetDialogSize(int w, int h) override { spec_.width = w, spec_.height = h; }
  void Focus(int id) override { focus = id; }
  void ShowImage(int, const toolkit::PixelView*) override {}
  void SetColor(int, uint32_t) override {}
  void SetWaitCursor(bool wait) override { wait_cursor += wait ? 1 : -1; }
  bool AskYesNo(const std::string& text) override {
    questions.push_back(text);
    return answer;
  }
  void Message(const std::string& text) override { messages.push_back(text); }
  void Close(int result) override {
    if (closed_ == 0) closed_ = result;
  }
  int focus = 0;

 private:
  const Control& Get(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? dummy_ : it->second;
  }
  toolkit::DialogLogic& logic_;
  toolkit::DialogSpec spec_;
  std::map<int, Control> controls_;
  Control dummy_;
  int closed_ = 0;
};

}  // namespace vek::testing
