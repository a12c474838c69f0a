// The dialogs drawn with Windows' own controls. A dialog is a top-level
// window of our class (a dialog class: DefDlgProc gives it Tab, access keys,
// Enter and Escape) holding one child control a ControlSpec; it runs modally
// in its own message loop with the host's window disabled, so the host keeps
// its main loop. The track bar comes from comctl32, loaded when the first
// dialog opens so that the DLL's imports stay Windows' base DLLs.
#include "platform/toolkit/toolkit.h"
#include "platform/toolkit/toolkit_shared.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>


namespace vek::toolkit {

namespace {

constexpr int kFontHeight = 13;  // pixels: the layouts are made for this size
constexpr int kIdBase = 1000;    // control ids: clear of IDOK and IDCANCEL
const wchar_t kDialogClass[] = L"VekDialog";
const wchar_t kDisplayClass[] = L"VekDisplay";

TestDriver g_driver;
HINSTANCE g_instance = nullptr;
bool g_registered = false;

// A host's 8-bit texts (captions, file names) are in the ANSI code page, as
// everything else it hands to the "A" functions of the system.
std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) {  // cannot happen for a single-byte code page; keep the bytes
    std::wstring out;
    for (unsigned char c : s) out += static_cast<wchar_t>(c);
    return out;
  }
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string Narrow(const std::wstring& s) {
  if (s.empty()) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring WindowString(HWND w) {
  const int n = GetWindowTextLengthW(w);
  if (n <= 0) return {};
  std::wstring s(static_cast<size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(w, s.data(), n + 1);
  s.resize(static_cast<size_t>(std::max(got, 0)));
  return s;
}

// IDC_ARROW (32512) and IDC_WAIT (32514), asked by number for the wide API.
HCURSOR SystemCursor(int id) { return LoadCursorW(nullptr, MAKEINTRESOURCEW(id)); }

HINSTANCE ModuleInstance() {
  if (!g_instance) {
    // The DLL's own module: the classes are registered for it.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleInstance), &g_instance);
  }
  return g_instance;
}

// The track bar's class; false when comctl32 cannot be had.
bool LoadCommonControls() {
  static int state = 0;  // 0 not tried, 1 loaded, -1 failed
  if (state == 0) {
    state = -1;
    if (HMODULE m = LoadLibraryW(L"comctl32.dll")) {
      using InitEx = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
      auto init = reinterpret_cast<InitEx>(reinterpret_cast<void*>(GetProcAddress(m, "InitCommonControlsEx")));
      INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES};
      if (init && init(&icc)) state = 1;
    }
  }
  return state == 1;
}

// 24-bit bottom-up DIB rows (BGR, padded to 4 bytes) of a picture.
bool ImageToDib(const PixelView* img, std::vector<uint8_t>& dib, int& stride) {
  std::vector<uint8_t> rgb;
  if (!ImageRgb(img, rgb)) return false;
  stride = (img->width * 3 + 3) & ~3;
  dib.assign(static_cast<size_t>(stride) * img->height, 0);
  for (int y = 0; y < img->height; ++y) {
    const uint8_t* s = rgb.data() + static_cast<size_t>(y) * img->width * 3;
    uint8_t* d = dib.data() + static_cast<size_t>(img->height - 1 - y) * stride;
    for (int x = 0; x < img->width; ++x, s += 3, d += 3) d[0] = s[2], d[1] = s[1], d[2] = s[0];
  }
  return true;
}

class Win32View;

struct Ctl {
  ControlSpec spec;
  HWND hwnd = nullptr;
  std::string text;  // caption as the logic gave it
  std::vector<std::string> items;
  std::vector<HWND> radios;  // RadioGroup
  int minimum = 0, maximum = 0, line = 1, page = 1, position = 0;
  int reported = 0;  // track bar: position at the last change reported
  bool bold = false;
  bool has_color = false;
  uint32_t color = 0;
  HBRUSH brush = nullptr;
  // Display
  std::vector<uint8_t> dib;
  int stride = 0, iw = 0, ih = 0;
  bool captured = false;
  int pressed = 0;
};

class Win32View final : public ViewBase {
 public:
  explicit Win32View(DialogLogic& logic) : ViewBase(logic) {}
  ~Win32View() override {
    dead_ = true;
    if (hwnd_) DestroyWindow(hwnd_);
    for (auto& c : ctls_)
      if (c->brush) DeleteObject(c->brush);
    if (font_) DeleteObject(font_);
    if (bold_font_) DeleteObject(bold_font_);
  }

  bool Build(const DialogSpec& spec, HWND owner) {
    caption_ = spec.caption;
    font_ = CreateFontW(-kFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_SWISS, L"Tahoma");
    bold_font_ = CreateFontW(-kFontHeight, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_SWISS, L"Tahoma");
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    const DWORD ex = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    RECT r{0, 0, std::max(spec.width, 1), std::max(spec.height, 1)};
    AdjustWindowRectEx(&r, style, FALSE, ex);
    const int ww = r.right - r.left, wh = r.bottom - r.top;
    // Centred on the screen's work area.
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int x = std::max<int>(work.left, work.left + (work.right - work.left - ww) / 2);
    const int y = std::max<int>(work.top, work.top + (work.bottom - work.top - wh) / 2);
    building_ = true;
    hwnd_ = CreateWindowExW(ex, kDialogClass, Wide(spec.caption).c_str(), style, x, y, ww, wh, owner,
                            nullptr, ModuleInstance(), this);
    if (!hwnd_) return false;
    for (const ControlSpec& c : spec.controls) Add(c);
    // Enter presses the default button, wherever the focus is.
    for (size_t i = 0; i < ctls_.size(); ++i)
      if (ctls_[i]->spec.kind == ControlKind::Button && ctls_[i]->spec.is_default)
        SendMessageW(hwnd_, DM_SETDEFID, static_cast<WPARAM>(kIdBase + 64 * static_cast<int>(i)), 0);
    building_ = false;
    return true;
  }

  HWND hwnd() const { return hwnd_; }

  // ---- DialogView ----
  void SetText(int id, const std::string& text) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    c->text = text;
    switch (c->spec.kind) {
      case ControlKind::Edit:
        SetWindowTextW(c->hwnd, Wide(text).c_str());
        if (c->spec.show_end) {
          // A long path shows its end, where the name is.
          const LRESULT n = SendMessageW(c->hwnd, WM_GETTEXTLENGTH, 0, 0);
          SendMessageW(c->hwnd, EM_SETSEL, n, n);
          SendMessageW(c->hwnd, EM_SCROLLCARET, 0, 0);
        } else {
          SendMessageW(c->hwnd, EM_SETSEL, 0, 0);
        }
        break;
      case ControlKind::Combo: case ControlKind::List: case ControlKind::TrackBar:
      case ControlKind::ScrollBar: case ControlKind::Display: case ControlKind::Panel:
        break;
      default:
        SetWindowTextW(c->hwnd, Wide(text).c_str());
        InvalidateParent(c);
        break;
    }
  }
  std::string Text(int id) const override {
    const Ctl* c = Find(id);
    if (!c) return {};
    if (c->spec.kind == ControlKind::Edit) return Narrow(WindowString(c->hwnd));
    if (c->spec.kind == ControlKind::Combo || c->spec.kind == ControlKind::List) {
      const int i = Selected(id);
      return i >= 0 && i < static_cast<int>(c->items.size()) ? c->items[i] : std::string();
    }
    return c->text;
  }
  void SetEnabled(int id, bool enabled) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    EnableWindow(c->hwnd, enabled);
    for (HWND r : c->radios) EnableWindow(r, enabled);
  }
  bool Enabled(int id) const override {
    const Ctl* c = Find(id);
    return c && IsWindowEnabled(c->hwnd);
  }
  void SetChecked(int id, bool checked) override {
    Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::Check && c->spec.kind != ControlKind::Radio)) return;
    Quiet q(this);
    SendMessageW(c->hwnd, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
    if (checked && c->spec.kind == ControlKind::Radio) ClearOtherRadios(c);
  }
  bool Checked(int id) const override {
    const Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::Check && c->spec.kind != ControlKind::Radio)) return false;
    return SendMessageW(c->hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void SetBold(int id, bool bold) override {
    Ctl* c = Find(id);
    if (!c) return;
    c->bold = bold;
    SendMessageW(c->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(bold ? bold_font_ : font_), TRUE);
  }
  void SetItems(int id, const std::vector<std::string>& items) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    c->items = items;
    switch (c->spec.kind) {
      case ControlKind::Combo:
        SendMessageW(c->hwnd, CB_RESETCONTENT, 0, 0);
        for (const std::string& s : items)
          SendMessageW(c->hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(s).c_str()));
        SendMessageW(c->hwnd, CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        break;
      case ControlKind::List:
        SendMessageW(c->hwnd, LB_RESETCONTENT, 0, 0);
        for (const std::string& s : items)
          SendMessageW(c->hwnd, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(s).c_str()));
        SendMessageW(c->hwnd, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        break;
      case ControlKind::RadioGroup: {
        for (HWND r : c->radios) DestroyWindow(r);
        c->radios.clear();
        const int step = kFontHeight + 9;
        const bool enabled = IsWindowEnabled(c->hwnd);
        for (size_t i = 0; i < items.size(); ++i) {
          // Children of the dialog (not of the frame), so their clicks reach it.
          HWND b = CreateWindowExW(0, L"BUTTON", Wide(items[i]).c_str(),
                                   WS_CHILD | WS_VISIBLE | BS_RADIOBUTTON | (i == 0 ? WS_GROUP | WS_TABSTOP : 0),
                                   c->spec.x + 10, c->spec.y + kFontHeight + 6 + static_cast<int>(i) * step,
                                   std::max(c->spec.w - 20, 1), step - 2, hwnd_,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(RadioId(c, i))),
                                   ModuleInstance(), nullptr);
          if (!b) continue;
          SendMessageW(b, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
          SetWindowPos(b, c->hwnd, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
          EnableWindow(b, enabled);
          if (!IsWindowVisible(c->hwnd) && !building_) ShowWindow(b, SW_HIDE);
          c->radios.push_back(b);
        }
        break;
      }
      default:
        break;
    }
  }
  void SetSelected(int id, int index) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    const bool in = index >= 0 && index < static_cast<int>(c->items.size());
    switch (c->spec.kind) {
      case ControlKind::Combo:
        SendMessageW(c->hwnd, CB_SETCURSEL, in ? index : -1, 0);
        break;
      case ControlKind::List:
        SendMessageW(c->hwnd, LB_SETCURSEL, in ? index : -1, 0);
        break;
      case ControlKind::RadioGroup:
        for (size_t i = 0; i < c->radios.size(); ++i)
          SendMessageW(c->radios[i], BM_SETCHECK, in && static_cast<int>(i) == index ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
      default:
        break;
    }
  }
  int Selected(int id) const override {
    const Ctl* c = Find(id);
    if (!c) return -1;
    int v = -1;
    switch (c->spec.kind) {
      case ControlKind::Combo:
        v = static_cast<int>(SendMessageW(c->hwnd, CB_GETCURSEL, 0, 0));
        break;
      case ControlKind::List:
        v = static_cast<int>(SendMessageW(c->hwnd, LB_GETCURSEL, 0, 0));
        break;
      case ControlKind::RadioGroup:
        for (size_t i = 0; i < c->radios.size(); ++i)
          if (SendMessageW(c->radios[i], BM_GETCHECK, 0, 0) == BST_CHECKED) v = static_cast<int>(i);
        break;
      default:
        break;
    }
    return v >= 0 && v < static_cast<int>(c->items.size()) ? v : -1;
  }
  void SetRange(int id, int minimum, int maximum, int line_step, int page_step) override {
    Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::TrackBar && c->spec.kind != ControlKind::ScrollBar)) return;
    Quiet q(this);
    if (maximum < minimum) maximum = minimum;
    c->minimum = minimum, c->maximum = maximum;
    c->line = std::max(1, line_step);
    c->page = std::max(1, page_step);
    c->position = std::clamp(c->position, minimum, maximum);
    ApplyRange(c);
  }
  void SetPosition(int id, int position) override {
    Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::TrackBar && c->spec.kind != ControlKind::ScrollBar)) return;
    Quiet q(this);
    c->position = std::clamp(position, c->minimum, c->maximum);
    c->reported = c->position;
    ApplyPosition(c);
  }
  int Position(int id) const override {
    const Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::TrackBar && c->spec.kind != ControlKind::ScrollBar)) return 0;
    return c->position;
  }
  void SetBounds(int id, int x, int y, int w, int h) override {
    Ctl* c = Find(id);
    if (!c) return;
    c->spec.x = x, c->spec.y = y, c->spec.w = std::max(w, 0), c->spec.h = std::max(h, 0);
    const int wh = c->spec.kind == ControlKind::Combo ? c->spec.h + 200 : c->spec.h;
    MoveWindow(c->hwnd, x, y, c->spec.w, wh, TRUE);
    InvalidateRect(hwnd_, nullptr, TRUE);
  }
  void SetVisible(int id, bool visible) override {
    Ctl* c = Find(id);
    if (!c) return;
    ShowWindow(c->hwnd, visible ? SW_SHOWNA : SW_HIDE);
    for (HWND r : c->radios) ShowWindow(r, visible ? SW_SHOWNA : SW_HIDE);
    InvalidateRect(hwnd_, nullptr, TRUE);
  }
  bool Visible(int id) const override {
    const Ctl* c = Find(id);
    return c && (GetWindowLongW(c->hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
  }
  void SetDialogSize(int width, int height) override {
    if (!hwnd_) return;
    RECT r{0, 0, std::max(width, 1), std::max(height, 1)};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_EXSTYLE)));
    SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  void Focus(int id) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    HWND target = c->radios.empty() ? c->hwnd : c->radios.front();
    SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(target), TRUE);
  }
  void ShowImage(int id, const PixelView* image) override {
    Ctl* c = Find(id);
    if (!c || c->spec.kind != ControlKind::Display) return;
    if (ImageToDib(image, c->dib, c->stride)) {
      c->iw = image->width, c->ih = image->height;
    } else {
      c->dib.clear();
      c->iw = c->ih = 0;
    }
    InvalidateRect(c->hwnd, nullptr, FALSE);
    UpdateWindow(c->hwnd);
  }
  void SetColor(int id, uint32_t color) override {
    Ctl* c = Find(id);
    if (!c) return;
    c->has_color = true;
    c->color = color & 0xFFFFFF;  // COLORREF is 0x00BBGGRR too
    if (c->brush) DeleteObject(c->brush);
    c->brush = CreateSolidBrush(c->color);
    InvalidateRect(c->hwnd, nullptr, TRUE);
  }
  void SetWaitCursor(bool wait) override {
    wait_ = wait;
    SetCursor(SystemCursor(wait ? 32514 : 32512));
  }
  bool AskYesNo(const std::string& text) override { return Ask(text, true); }
  void Message(const std::string& text) override { Ask(text, false); }
  void Close(int modal_result) override {
    if (!MarkClosed(modal_result)) return;
    // Wakes the modal loop when this ran inside a message sent from elsewhere.
    if (hwnd_) PostMessageW(hwnd_, WM_NULL, 0, 0);
  }
  std::string Caption() const override { return caption_; }

  // ---- events ----
  void Dispatch(Ctl* c, UserAction action) {
    if (!Silent() && !building_) Route(c->spec, action);
  }

  // Enter: the default button, as a click on it.
  void DefaultButton() {
    for (auto& c : ctls_)
      if (c->spec.kind == ControlKind::Button && c->spec.is_default) {
        if (IsWindowEnabled(c->hwnd) && IsWindowVisible(c->hwnd)) Dispatch(c.get(), UserAction::Click);
        return;
      }
  }

  // The test driver's action, as the control's own notification raises it.
  void Act(int id, UserAction action) {
    Ctl* c = Find(id);
    if (!c || closed_) return;
    if (!IsWindowEnabled(c->hwnd) && action == UserAction::Click) return;  // as a user could not
    if (c->spec.kind == ControlKind::Radio) {
      SendMessageW(c->hwnd, BM_SETCHECK, BST_CHECKED, 0);
      ClearOtherRadios(c);
    }
    Dispatch(c, action);
  }

  void ClearOtherRadios(Ctl* c) {
    for (auto& o : ctls_)
      if (o.get() != c && o->spec.kind == ControlKind::Radio && o->spec.group_id == c->spec.group_id)
        SendMessageW(o->hwnd, BM_SETCHECK, BST_UNCHECKED, 0);
  }

  // ---- window messages ----
  LRESULT Command(WPARAM wp, LPARAM lp) {
    const int wid = LOWORD(wp), code = HIWORD(wp);
    if (wid == IDCANCEL && lp == 0) {  // Escape
      WindowClosing();
      return 0;
    }
    if (wid == IDOK && lp == 0) {  // Enter
      DefaultButton();
      return 0;
    }
    Ctl* c = FromWindowId(wid);
    // A disabled control takes no input, however the message came.
    if (!c || !IsWindowEnabled(reinterpret_cast<HWND>(lp))) return 0;
    switch (c->spec.kind) {
      case ControlKind::Button:
        if (code == BN_CLICKED) Dispatch(c, UserAction::Click);
        break;
      case ControlKind::Check:
        if (code == BN_CLICKED) {
          if (quiet_ == 0)
            SendMessageW(c->hwnd, BM_SETCHECK,
                         SendMessageW(c->hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
          Dispatch(c, UserAction::Change);
        }
        break;
      case ControlKind::Radio:
        if (code == BN_CLICKED) {
          // A click on a ticked radio leaves it ticked; a new one clears its group.
          if (quiet_ == 0) {
            SendMessageW(c->hwnd, BM_SETCHECK, BST_CHECKED, 0);
            ClearOtherRadios(c);
          }
          Dispatch(c, UserAction::Change);
        }
        break;
      case ControlKind::RadioGroup:
        if (code == BN_CLICKED && quiet_ == 0) {
          const size_t index = static_cast<size_t>(wid - RadioId(c, 0));
          for (size_t i = 0; i < c->radios.size(); ++i)
            SendMessageW(c->radios[i], BM_SETCHECK, i == index ? BST_CHECKED : BST_UNCHECKED, 0);
          Dispatch(c, UserAction::Change);
        }
        break;
      case ControlKind::Edit:
        if (code == EN_CHANGE) Dispatch(c, UserAction::Change);
        else if (code == EN_KILLFOCUS) Dispatch(c, UserAction::Leave);
        break;
      case ControlKind::Combo:
        if (code == CBN_SELCHANGE) Dispatch(c, UserAction::Change);
        break;
      case ControlKind::List:
        if (code == LBN_SELCHANGE) Dispatch(c, UserAction::Change);
        break;
      default:
        break;
    }
    return 0;
  }

  void Scroll(HWND from, int code) {
    Ctl* c = FromHwnd(from);
    if (!c || quiet_ > 0 || closed_) return;
    if (c->spec.kind == ControlKind::TrackBar) {
      const int pos = static_cast<int>(SendMessageW(c->hwnd, TBM_GETPOS, 0, 0));
      c->position = std::clamp(pos, c->minimum, c->maximum);
      if (code == TB_THUMBTRACK) {
        Dispatch(c, UserAction::Track);
      } else if (code == TB_ENDTRACK || code == TB_THUMBPOSITION) {
        // One change an action: the release after a drag, or a key or click.
        if (code == TB_ENDTRACK && c->position == c->reported && !tracking_) return;
        tracking_ = false;
        c->reported = c->position;
        Dispatch(c, UserAction::Change);
      }
      if (code == TB_THUMBTRACK) tracking_ = true;
      return;
    }
    if (c->spec.kind != ControlKind::ScrollBar) return;
    int pos = c->position;
    switch (code) {
      case SB_LINELEFT: pos -= c->line; break;
      case SB_LINERIGHT: pos += c->line; break;
      case SB_PAGELEFT: pos -= c->page; break;
      case SB_PAGERIGHT: pos += c->page; break;
      case SB_LEFT: pos = c->minimum; break;
      case SB_RIGHT: pos = c->maximum; break;
      case SB_THUMBTRACK: case SB_THUMBPOSITION: {
        SCROLLINFO si{sizeof(si), SIF_TRACKPOS, 0, 0, 0, 0, 0};
        GetScrollInfo(c->hwnd, SB_CTL, &si);
        pos = si.nTrackPos;
        break;
      }
      default:
        return;
    }
    pos = std::clamp(pos, c->minimum, c->maximum);
    if (pos == c->position) return;
    c->position = pos;
    ApplyPosition(c);
    Dispatch(c, UserAction::Change);
  }

  HBRUSH ControlColor(HDC dc, HWND from) {
    Ctl* c = FromHwnd(from);
    if (!c || !c->has_color || !c->brush) return nullptr;
    SetBkColor(dc, c->color);
    return c->brush;
  }

  bool waiting() const { return wait_; }

  void DisplayPaint(Ctl* c) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(c->hwnd, &ps);
    RECT r;
    GetClientRect(c->hwnd, &r);
    HBRUSH bg = CreateSolidBrush(c->has_color ? c->color : 0);
    FillRect(dc, &r, bg);
    DeleteObject(bg);
    if (c->iw > 0 && c->ih > 0) {
      BITMAPINFO bi{};
      bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
      bi.bmiHeader.biWidth = c->iw;
      bi.bmiHeader.biHeight = c->ih;
      bi.bmiHeader.biPlanes = 1;
      bi.bmiHeader.biBitCount = 24;
      bi.bmiHeader.biCompression = BI_RGB;
      SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(c->iw), static_cast<DWORD>(c->ih), 0, 0, 0,
                        static_cast<UINT>(c->ih), c->dib.data(), &bi, DIB_RGB_COLORS);
    }
    EndPaint(c->hwnd, &ps);
  }

  void DisplayMouse(Ctl* c, UINT msg, WPARAM wp, LPARAM lp) {
    if (Silent()) return;
    const int x = static_cast<short>(LOWORD(lp)), y = static_cast<short>(HIWORD(lp));
    int button = 0;
    MouseEvent ev = MouseEvent::Move;
    switch (msg) {
      case WM_LBUTTONDOWN: button = 1; ev = MouseEvent::Down; break;
      case WM_RBUTTONDOWN: button = 2; ev = MouseEvent::Down; break;
      case WM_MBUTTONDOWN: button = 4; ev = MouseEvent::Down; break;
      case WM_LBUTTONUP: button = 1; ev = MouseEvent::Up; break;
      case WM_RBUTTONUP: button = 2; ev = MouseEvent::Up; break;
      case WM_MBUTTONUP: button = 4; ev = MouseEvent::Up; break;
      default:
        button = (wp & MK_LBUTTON) ? 1 : (wp & MK_RBUTTON) ? 2 : (wp & MK_MBUTTON) ? 4 : 0;
        break;
    }
    try {
      if (ev == MouseEvent::Down) {
        c->pressed = button;
        SetCapture(c->hwnd);
      }
      logic_.OnMouse(*this, c->spec.id, ev, button, x, y);
      if (ev == MouseEvent::Up) {
        if (GetCapture() == c->hwnd) ReleaseCapture();
        RECT r;
        GetClientRect(c->hwnd, &r);
        const POINT p{x, y};
        if (PtInRect(&r, p) && !closed_) logic_.OnMouse(*this, c->spec.id, MouseEvent::Click, button, x, y);
      }
    } catch (...) {
      Close(0);
    }
  }

  Ctl* FromHwnd(HWND h) {
    for (auto& c : ctls_)
      if (c->hwnd == h) return c.get();
    return nullptr;
  }

 private:

  Ctl* Find(int id) {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : ctls_[it->second].get();
  }
  const Ctl* Find(int id) const {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : ctls_[it->second].get();
  }
  // Window ids: kIdBase + 64 * index, the radios of a group after their frame.
  int RadioId(const Ctl* c, size_t i) const { return WindowId(c) + 1 + static_cast<int>(i); }
  int WindowId(const Ctl* c) const {
    for (size_t i = 0; i < ctls_.size(); ++i)
      if (ctls_[i].get() == c) return kIdBase + 64 * static_cast<int>(i);
    return 0;
  }
  Ctl* FromWindowId(int wid) {
    if (wid < kIdBase) return nullptr;
    const size_t i = static_cast<size_t>((wid - kIdBase) / 64);
    return i < ctls_.size() ? ctls_[i].get() : nullptr;
  }

  void InvalidateParent(Ctl* c) {
    // Group frames and labels paint over the dialog's background.
    RECT r;
    GetWindowRect(c->hwnd, &r);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
    InvalidateRect(hwnd_, &r, TRUE);
  }

  void ApplyRange(Ctl* c) {
    if (c->spec.kind == ControlKind::TrackBar) {
      SendMessageW(c->hwnd, TBM_SETRANGEMIN, FALSE, c->minimum);
      SendMessageW(c->hwnd, TBM_SETRANGEMAX, FALSE, c->maximum);
      SendMessageW(c->hwnd, TBM_SETLINESIZE, 0, c->line);
      SendMessageW(c->hwnd, TBM_SETPAGESIZE, 0, c->page);
      SendMessageW(c->hwnd, TBM_SETPOS, TRUE, c->position);
    } else {
      // The thumb's range ends at the last position (nMax counts the page).
      SCROLLINFO si{sizeof(si), SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL, c->minimum,
                    c->maximum + c->page - 1, static_cast<UINT>(c->page), c->position, 0};
      SetScrollInfo(c->hwnd, SB_CTL, &si, TRUE);
    }
  }
  void ApplyPosition(Ctl* c) {
    if (c->spec.kind == ControlKind::TrackBar) {
      SendMessageW(c->hwnd, TBM_SETPOS, TRUE, c->position);
    } else {
      SCROLLINFO si{sizeof(si), SIF_POS, 0, 0, 0, c->position, 0};
      SetScrollInfo(c->hwnd, SB_CTL, &si, TRUE);
    }
  }

  bool Ask(const std::string& text, bool yes_no) {
    Quiet q(this);
    if (g_driver.run) {
      return g_driver.answer ? g_driver.answer(*this, text, yes_no, g_driver.user) == 1 : false;
    }
    const UINT type = yes_no ? (MB_YESNO | MB_ICONQUESTION) : (MB_OK | MB_ICONINFORMATION);
    const int r = MessageBoxW(hwnd_, Wide(text).c_str(), Wide(caption_).c_str(), type);
    return yes_no ? r == IDYES : true;
  }

  void Add(const ControlSpec& spec) {
    auto c = std::make_unique<Ctl>();
    c->spec = spec;
    c->text = spec.caption;
    const int x = spec.x, y = spec.y, w = std::max(spec.w, 1);
    int h = std::max(spec.h, 1);
    const wchar_t* cls = L"STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD ex = 0;
    std::wstring caption = Wide(spec.caption);
    switch (spec.kind) {
      case ControlKind::Label:
        style |= SS_LEFT | SS_CENTERIMAGE | SS_ENDELLIPSIS;
        break;
      case ControlKind::Edit:
        cls = L"EDIT";
        style |= WS_TABSTOP | ES_AUTOHSCROLL | (spec.read_only ? ES_READONLY : 0);
        ex = WS_EX_CLIENTEDGE;
        caption.clear();
        break;
      case ControlKind::Button:
        cls = L"BUTTON";
        style |= WS_TABSTOP | (spec.is_default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        break;
      case ControlKind::Check:
        cls = L"BUTTON";
        style |= WS_TABSTOP | BS_CHECKBOX;  // ticked here, only when enabled
        break;
      case ControlKind::Radio:
        cls = L"BUTTON";
        style |= WS_TABSTOP | BS_RADIOBUTTON;
        break;
      case ControlKind::RadioGroup: case ControlKind::Group:
        cls = L"BUTTON";
        style |= BS_GROUPBOX;
        break;
      case ControlKind::Combo:
        cls = L"COMBOBOX";
        style |= WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
        h += 200;  // the window's height includes the dropped list
        caption.clear();
        break;
      case ControlKind::List:
        cls = L"LISTBOX";
        // Whole rows only (integral height), texts cut at the edge.
        style |= WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY;
        ex = WS_EX_CLIENTEDGE;
        caption.clear();
        break;
      case ControlKind::TrackBar:
        cls = LoadCommonControls() ? TRACKBAR_CLASSW : L"STATIC";
        style |= WS_TABSTOP | TBS_HORZ | TBS_NOTICKS;
        caption.clear();
        break;
      case ControlKind::ScrollBar:
        cls = L"SCROLLBAR";
        style |= WS_TABSTOP | SBS_HORZ;
        caption.clear();
        break;
      case ControlKind::Panel:
        style |= SS_SUNKEN;  // a border of one pixel, as the preview expects
        caption.clear();
        break;
      case ControlKind::Display:
        cls = kDisplayClass;
        caption.clear();
        break;
    }
    const size_t index = ctls_.size();
    const int wid = kIdBase + 64 * static_cast<int>(index);
    c->hwnd = CreateWindowExW(ex, cls, caption.c_str(), style, x, y, w, h, hwnd_,
                              reinterpret_cast<HMENU>(static_cast<INT_PTR>(wid)), ModuleInstance(),
                              nullptr);
    if (!c->hwnd) throw std::bad_alloc();
    SetWindowLongPtrW(c->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(c.get()));
    SendMessageW(c->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    if (spec.kind == ControlKind::Combo)
      SendMessageW(c->hwnd, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), std::max(spec.h - 6, 8));
    if (spec.kind == ControlKind::TrackBar) {
      SendMessageW(c->hwnd, TBM_SETRANGEMIN, FALSE, 0);
      SendMessageW(c->hwnd, TBM_SETRANGEMAX, TRUE, 0);
    }
    index_[spec.id] = index;
    ctls_.push_back(std::move(c));
  }

  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  HFONT bold_font_ = nullptr;
  std::string caption_;
  std::vector<std::unique_ptr<Ctl>> ctls_;
  std::map<int, size_t> index_;
  bool building_ = false;
  bool tracking_ = false;
  bool wait_ = false;
};

Win32View* ViewOf(HWND h) { return reinterpret_cast<Win32View*>(GetWindowLongPtrW(h, DWLP_USER)); }

LRESULT CALLBACK DialogProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(h, DWLP_USER, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    return DefDlgProcW(h, msg, wp, lp);
  }
  Win32View* v = ViewOf(h);
  if (v) {
    switch (msg) {
      case WM_COMMAND:
        return v->Command(wp, lp);
      case WM_HSCROLL:
        v->Scroll(reinterpret_cast<HWND>(lp), LOWORD(wp));
        return 0;
      case WM_CLOSE:
        v->WindowClosing();
        return 0;
      case WM_CTLCOLORSTATIC: case WM_CTLCOLORBTN: {
        if (HBRUSH b = v->ControlColor(reinterpret_cast<HDC>(wp), reinterpret_cast<HWND>(lp)))
          return reinterpret_cast<LRESULT>(b);
        break;
      }
      case WM_SETCURSOR:
        if (v->waiting()) {
          SetCursor(SystemCursor(32514));
          return TRUE;
        }
        break;
      default:
        break;
    }
  }
  return DefDlgProcW(h, msg, wp, lp);
}

LRESULT CALLBACK DisplayProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto* c = reinterpret_cast<Ctl*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  Win32View* v = c ? ViewOf(GetParent(h)) : nullptr;
  if (c && v) {
    switch (msg) {
      case WM_PAINT:
        v->DisplayPaint(c);
        return 0;
      case WM_ERASEBKGND:
        return 1;
      case WM_LBUTTONDOWN: case WM_RBUTTONDOWN: case WM_MBUTTONDOWN:
      case WM_LBUTTONUP: case WM_RBUTTONUP: case WM_MBUTTONUP: case WM_MOUSEMOVE:
        v->DisplayMouse(c, msg, wp, lp);
        return 0;
      default:
        break;
    }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

bool RegisterClasses() {
  if (g_registered) return true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DialogProc;
  wc.cbWndExtra = DLGWINDOWEXTRA;
  wc.hInstance = ModuleInstance();
  wc.hCursor = SystemCursor(32512);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kDialogClass;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  WNDCLASSEXW dc{};
  dc.cbSize = sizeof(dc);
  dc.lpfnWndProc = DisplayProc;
  dc.hInstance = ModuleInstance();
  dc.hCursor = SystemCursor(32512);
  dc.lpszClassName = kDisplayClass;
  if (!RegisterClassExW(&dc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  g_registered = true;
  return true;
}

void DeliverAction(DialogView& view, int id, UserAction action) {
  if (auto* v = dynamic_cast<Win32View*>(&view)) v->Act(id, action);
}

// Lets the window's pending messages (paint, focus) run.
void Pump() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
}

}  // namespace

bool DisplayAvailable() {
  // An interactive window station with a desktop that windows can be made on
  // (under Wine: an X display).
  HWINSTA station = GetProcessWindowStation();
  if (!station) return false;
  USEROBJECTFLAGS flags{};
  if (GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
      !(flags.dwFlags & WSF_VISIBLE))
    return false;
  if (!RegisterClasses()) return false;
  HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                               ModuleInstance(), nullptr);
  if (!probe) return false;
  DestroyWindow(probe);
  return GetSystemMetrics(SM_CXSCREEN) > 0;
}

int TextWidth(const std::string& text) {
  if (!DisplayAvailable()) return 0;
  HDC dc = GetDC(nullptr);
  if (!dc) return 0;
  HFONT font = CreateFontW(-kFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                           DEFAULT_PITCH | FF_SWISS, L"Tahoma");
  HGDIOBJ old = SelectObject(dc, font);
  const std::wstring w = Wide(text);
  SIZE size{0, 0};
  GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &size);
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
  return size.cx;
}

int RunModal(DialogLogic& logic) {
  if (!DisplayAvailable()) return 0;
  try {
    // The host's active window (or an outer dialog) waits while this one runs.
    HWND owner = GetActiveWindow();
    Win32View view(logic);
    if (!view.Build(logic.Layout(), owner)) return 0;
    const bool owner_enabled = owner && IsWindowEnabled(owner);
    if (owner_enabled) EnableWindow(owner, FALSE);
    ShowWindow(view.hwnd(), SW_SHOW);
    SetForegroundWindow(view.hwnd());
    UpdateWindow(view.hwnd());
    Pump();
    view.Opened();
    // The first control that takes the focus, unless OnOpen chose one.
    if (!GetFocus() || GetAncestor(GetFocus(), GA_ROOT) != view.hwnd())
      SendMessageW(view.hwnd(), WM_NEXTDLGCTL, 0, FALSE);
    if (!view.closed()) {
      if (g_driver.run) {
        Pump();
        g_driver.run(view, DeliverAction, g_driver.user);
        if (!view.closed()) view.Close(2);
      } else {
        MSG m;
        while (!view.closed() && IsWindow(view.hwnd())) {
          const BOOL got = GetMessageW(&m, nullptr, 0, 0);
          if (got == 0) {  // WM_QUIT belongs to the host's loop: hand it back
            PostQuitMessage(static_cast<int>(m.wParam));
            view.Close(2);
            break;
          }
          if (got < 0) {
            view.Close(2);
            break;
          }
          if (!IsDialogMessageW(view.hwnd(), &m)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
          }
        }
      }
    }
    // The owner takes the activation back before this window goes.
    if (owner_enabled) EnableWindow(owner, TRUE);
    if (owner) SetActiveWindow(owner);
    return view.result();
  } catch (...) {
    return 0;
  }
}

void SetTestDriver(const TestDriver& driver) { g_driver = driver; }

bool SaveWindowPng(DialogView& view, const std::string& path) {
  auto* v = dynamic_cast<Win32View*>(&view);
  if (!v || !v->hwnd()) return false;
  Pump();
  RedrawWindow(v->hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT r;
  GetClientRect(v->hwnd(), &r);
  const int width = r.right, height = r.bottom;
  if (width <= 0 || height <= 0) return false;
  HDC wdc = GetDC(v->hwnd());
  if (!wdc) return false;
  HDC mem = CreateCompatibleDC(wdc);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(wdc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  std::vector<uint8_t> rgb;
  if (mem && bmp && bits) {
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, width, height, wdc, 0, 0, SRCCOPY);
    GdiFlush();
    rgb.resize(static_cast<size_t>(width) * height * 3);
    const auto* p = static_cast<const uint8_t*>(bits);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
      rgb[3 * i] = p[4 * i + 2], rgb[3 * i + 1] = p[4 * i + 1], rgb[3 * i + 2] = p[4 * i];
    }
    SelectObject(mem, old);
  }
  if (bmp) DeleteObject(bmp);
  if (mem) DeleteDC(mem);
  ReleaseDC(v->hwnd(), wdc);
  if (rgb.empty()) return false;
  return SaveRgbPng(path, width, height, rgb.data());
}

}  // namespace vek::toolkit
