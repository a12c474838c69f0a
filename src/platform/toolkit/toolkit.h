// Modal dialogs: the window toolkit behind the library's dialogs.
//
// A dialog is written once as logic (DialogLogic: which controls exist, what
// they show, enable, validate and write back) and drawn by the toolkit of the
// platform, which turns the control list into real widgets, runs the window
// modally inside the host's process without taking over its main loop, and
// reports the user's actions back as events. The logic never touches a
// widget; it talks to the open window through DialogView only, so a native
// Windows build can draw the same dialogs with its own controls.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vek::toolkit {

// A picture for a display control: rows top-down and unpadded, 8 bits with a
// palette of 256 blue, green, red entries, or 15, 16, 24, 32 bits (blue first).
struct PixelView {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bits = 0;
  const uint8_t* pixels = nullptr;
  int64_t size = 0;  // bytes at pixels
  const uint8_t* palette = nullptr;
};

enum class ControlKind {
  Label,       // static text
  Edit,        // one-line text entry (read_only: grey, not editable)
  Button,      // push button; modal_result != 0 closes the dialog with it (after OnClose)
  Check,       // check box
  Radio,       // one radio button; radios in the same group_id exclude each other
  RadioGroup,  // framed group of radio buttons built from its items (SetItems)
  Combo,       // drop-down list (choice only)
  List,        // list box
  TrackBar,    // horizontal track bar (range, position)
  ScrollBar,   // horizontal scroll bar (range, position, line and page step)
  Group,       // framed group box with a caption; purely visual
  Panel,       // sunken panel; purely visual
  Display,     // image display (ShowImage), with a background colour
};

// Geometry in pixels, relative to the dialog's client area.
struct ControlSpec {
  int id = 0;
  ControlKind kind = ControlKind::Label;
  std::string name;     // the control's resource name ("edResX"), used by tests and traces
  std::string caption;  // text; a '&' marks the access key ("&Codec Settings...")
  int x = 0, y = 0, w = 0, h = 0;
  int modal_result = 0;     // buttons: 1 OK, 2 Cancel, 0 none
  bool read_only = false;   // edits
  bool is_default = false;  // buttons: pressed by Enter
  int group_id = 0;         // radios
  bool show_end = false;    // read-only edits: a text too long to fit shows its end (paths)
};

inline ControlSpec Control(int id, ControlKind kind, std::string name, std::string caption, int x,
                           int y, int w, int h, int modal_result = 0) {
  ControlSpec c;
  c.id = id;
  c.kind = kind;
  c.name = std::move(name);
  c.caption = std::move(caption);
  c.x = x, c.y = y, c.w = w, c.h = h;
  c.modal_result = modal_result;
  return c;
}

struct DialogSpec {
  std::string caption;
  int width = 0, height = 0;
  std::vector<ControlSpec> controls;
};

// The open window as the logic sees it. Calls naming an unknown id do nothing
// (getters give empty text, false, -1 or 0).
class DialogView {
 public:
  virtual ~DialogView() = default;
  virtual void SetText(int id, const std::string& text) = 0;
  virtual std::string Text(int id) const = 0;
  virtual void SetEnabled(int id, bool enabled) = 0;
  virtual bool Enabled(int id) const = 0;
  virtual void SetChecked(int id, bool checked) = 0;  // Check, Radio
  virtual bool Checked(int id) const = 0;
  virtual void SetBold(int id, bool bold) = 0;  // Label
  // Lists: Combo, List, RadioGroup. Index -1 selects nothing.
  virtual void SetItems(int id, const std::vector<std::string>& items) = 0;
  virtual void SetSelected(int id, int index) = 0;
  virtual int Selected(int id) const = 0;
  // TrackBar, ScrollBar.
  virtual void SetRange(int id, int minimum, int maximum, int line_step, int page_step) = 0;
  virtual void SetPosition(int id, int position) = 0;
  virtual int Position(int id) const = 0;
  virtual void SetBounds(int id, int x, int y, int w, int h) = 0;
  // Hidden controls draw nothing and take no input; every control starts shown.
  virtual void SetVisible(int id, bool visible) = 0;
  virtual bool Visible(int id) const = 0;
  virtual void SetDialogSize(int width, int height) = 0;
  virtual void Focus(int id) = 0;
  // Display: draws a copy of the picture at the control's origin; null shows
  // the background colour (0x00BBGGRR).
  virtual void ShowImage(int id, const PixelView* image) = 0;
  virtual void SetColor(int id, uint32_t color) = 0;
  virtual void SetWaitCursor(bool wait) = 0;
  // Message boxes owned by the dialog.
  virtual bool AskYesNo(const std::string& text) = 0;
  virtual void Message(const std::string& text) = 0;
  // Ends the modal loop with the result (OnClose is not asked again).
  virtual void Close(int modal_result) = 0;
  // The dialog's caption (lets a test driver tell nested dialogs apart).
  virtual std::string Caption() const { return {}; }
};

enum class MouseEvent { Down, Move, Up, Click };

// One dialog's behaviour. Events arrive only from the user's actions (and
// from the test driver); changes the logic makes through the view raise none.
// Edits report OnChange on every keystroke and OnLeave when they lose the
// focus; a TrackBar reports OnTrack while its knob is dragged and OnChange
// when it is released or moved by keys; a ScrollBar reports OnChange on every
// move. Captions of Edit, Combo, List, TrackBar, ScrollBar, Panel and Display
// controls are not drawn (their labels are Label controls of their own).
class DialogLogic {
 public:
  virtual ~DialogLogic() = default;
  virtual DialogSpec Layout() = 0;
  virtual void OnOpen(DialogView&) {}               // the window is shown
  virtual void OnCommand(DialogView&, int) {}       // a button without modal result
  virtual void OnChange(DialogView&, int) {}        // text, check, selection or position changed
  virtual void OnTrack(DialogView&, int) {}         // track bar moved while dragging
  virtual void OnLeave(DialogView&, int) {}         // an edit lost the focus
  // Mouse on a Display control, at control coordinates; button 1 left,
  // 2 right, 4 middle. A release inside the control is followed by a click.
  virtual void OnMouse(DialogView&, int, MouseEvent, int button, int x, int y) {
    (void)button, (void)x, (void)y;
  }
  // A button with a modal result, or the window closed (2); false keeps it open.
  virtual bool OnClose(DialogView&, int modal_result) { (void)modal_result; return true; }
};

// True when windows can be shown (on X11: a display can be opened).
bool DisplayAvailable();

// Width in pixels of a text in the dialogs' font; 0 without a display.
int TextWidth(const std::string& text);

// Shows the dialog modally and returns its modal result (2 when the window is
// closed by other means, or by Escape). Dialogs may nest (a button of one may
// run another). Throws nothing; without a display it returns 0 at once, and
// callers report that as their error. An exception escaping one of the
// logic's handlers ends the dialog with 0 (an error it recorded stays in the
// error state for the caller).
int RunModal(DialogLogic& logic);

// Test hook: when set, RunModal calls it once the window is shown, instead of
// waiting for a user, with the open view and a function that delivers an event
// as a user's action would (through the real widget: it sets the value the
// view holds and runs the widget's callback). The driver must end the dialog
// (press a button or Close); one that does not is closed with 2. The driver
// also runs for nested dialogs (view.Caption() tells which one is open).
// While a driver is set, message boxes are not shown: `answer` is asked
// instead (result 1 = Yes or OK, 0 = No); without it every question is
// answered No. An empty driver (run null) switches the hook off.
enum class UserAction { Click, Change, Track, Leave };
struct TestDriver {
  void (*run)(DialogView& view, void (*act)(DialogView&, int id, UserAction), void* user) = nullptr;
  void* user = nullptr;
  int (*answer)(DialogView& view, const std::string& text, bool yes_no, void* user) = nullptr;
};
void SetTestDriver(const TestDriver& driver);

// Writes the open dialog's window as a PNG (for screenshots); false on failure.
bool SaveWindowPng(DialogView& view, const std::string& path);

}  // namespace vek::toolkit
