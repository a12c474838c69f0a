// The FLTK toolkit under a real (virtual) X display: widgets, events, images
// drawn from every pixel format, and window screenshots.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <FL/Fl.H>
#include <FL/Fl_Browser.H>
#include <FL/Fl_Window.H>

#include "image/image.h"
#include "platform/toolkit/toolkit.h"
#include "xvfb_display.h"

using namespace vek::toolkit;

namespace {

const bool kXvfb = vektest::UseOwnXvfb();

enum { kLabel = 1, kEdit, kCheck, kCombo, kBar, kShow, kDisp, kOK, kCancel, kPanel, kRadioA, kRadioB };

struct Probe : DialogLogic {
  std::vector<std::string> events;
  DialogSpec Layout() override {
    DialogSpec d{"Toolkit probe", 300, 200, {}};
    d.controls.push_back({kLabel, ControlKind::Label, "lab", "&Width", 10, 10, 60, 22});
    d.controls.push_back({kEdit, ControlKind::Edit, "ed", "", 80, 10, 80, 22});
    d.controls.push_back({kCheck, ControlKind::Check, "chk", "Dithering", 10, 40, 100, 22});
    d.controls.push_back({kCombo, ControlKind::Combo, "cb", "", 120, 40, 170, 22});
    d.controls.push_back({kBar, ControlKind::TrackBar, "bar", "", 10, 70, 200, 22});
    d.controls.push_back({kShow, ControlKind::Button, "show", "&Show", 220, 70, 70, 24});
    d.controls.push_back({kPanel, ControlKind::Panel, "pan", "", 10, 100, 66, 66});
    d.controls.push_back({kDisp, ControlKind::Display, "disp", "", 11, 101, 64, 64});
    ControlSpec ra{kRadioA, ControlKind::Radio, "ra", "A", 90, 100, 50, 22};
    ra.group_id = 1;
    ControlSpec rb{kRadioB, ControlKind::Radio, "rb", "B", 140, 100, 50, 22};
    rb.group_id = 1;
    d.controls.push_back(ra);
    d.controls.push_back(rb);
    ControlSpec ok{kOK, ControlKind::Button, "ok", "OK", 130, 170, 75, 24};
    ok.modal_result = 1;
    ok.is_default = true;
    ControlSpec cancel{kCancel, ControlKind::Button, "cancel", "Cancel", 215, 170, 75, 24};
    cancel.modal_result = 2;
    d.controls.push_back(ok);
    d.controls.push_back(cancel);
    return d;
  }
  void OnOpen(DialogView& v) override {
    // None of these may come back as events.
    v.SetText(kEdit, "320");
    v.SetItems(kCombo, {"24-bit  (16M colors)", "A/B & C", "8-bit  (256 colors)"});
    v.SetSelected(kCombo, 0);
    v.SetRange(kBar, 0, 9, 1, 1);
    v.SetPosition(kBar, 3);
    v.SetChecked(kCheck, true);
    v.SetChecked(kRadioA, true);
    v.Focus(kEdit);
    v.Focus(kCombo);
    events.push_back("open");
  }
  void OnCommand(DialogView&, int id) override { events.push_back("cmd " + std::to_string(id)); }
  void OnChange(DialogView& v, int id) override {
    events.push_back("change " + std::to_string(id));
    if (id == kEdit) v.SetText(kEdit, v.Text(kEdit) + "!");  // no echo
  }
  void OnTrack(DialogView&, int id) override { events.push_back("track " + std::to_string(id)); }
  void OnLeave(DialogView&, int id) override { events.push_back("leave " + std::to_string(id)); }
  bool OnClose(DialogView&, int r) override {
    events.push_back("close " + std::to_string(r));
    return allow_close;
  }
  bool allow_close = true;
};

using Act = void (*)(DialogView&, int, UserAction);

// The driver of the next dialogs (kept until the next call).
void Drive(std::function<void(DialogView&, Act)> f) {
  static std::function<void(DialogView&, Act)> fn;
  fn = std::move(f);
  TestDriver d;
  d.run = [](DialogView& v, Act act, void*) { fn(v, act); };
  SetTestDriver(d);
}

std::string Join(const std::vector<std::string>& v) {
  std::string s;
  for (auto& e : v) s += e + ";";
  return s;
}

TEST(Toolkit, EventsComeOnlyFromUserActions) {
  VEK_REQUIRE_DISPLAY();
  Probe p;
  std::string seen;
  Drive([&](DialogView& v, void (*act)(DialogView&, int, UserAction)) {
    EXPECT_EQ(v.Caption(), "Toolkit probe");
    EXPECT_EQ(v.Text(kEdit), "320");
    EXPECT_EQ(v.Text(kCombo), "24-bit  (16M colors)");
    EXPECT_EQ(v.Text(kLabel), "&Width");
    EXPECT_EQ(v.Position(kBar), 3);
    EXPECT_TRUE(v.Checked(kCheck));
    v.SetText(kEdit, "640");
    act(v, kEdit, UserAction::Change);
    EXPECT_EQ(v.Text(kEdit), "640!");
    act(v, kEdit, UserAction::Leave);
    v.SetPosition(kBar, 7);
    act(v, kBar, UserAction::Track);
    act(v, kBar, UserAction::Change);
    v.SetSelected(kCombo, 1);
    EXPECT_EQ(v.Text(kCombo), "A/B & C");  // no submenu, literal '&'
    act(v, kCombo, UserAction::Change);
    act(v, kShow, UserAction::Click);
    v.SetEnabled(kShow, false);
    act(v, kShow, UserAction::Click);  // greyed: nothing
    v.SetChecked(kRadioB, true);
    EXPECT_FALSE(v.Checked(kRadioA));
    v.SetSelected(kCombo, 99);
    EXPECT_EQ(v.Selected(kCombo), -1);
    EXPECT_EQ(v.Text(999), "");
    EXPECT_EQ(v.Selected(999), -1);
    p.allow_close = false;
    act(v, kOK, UserAction::Click);  // refused: stays open
    p.allow_close = true;
    act(v, kCancel, UserAction::Click);
  });
  EXPECT_EQ(RunModal(p), 2);
  SetTestDriver({});
  EXPECT_EQ(Join(p.events),
            "open;change 2;leave 2;track 5;change 5;change 4;cmd 6;close 1;close 2;");
}

TEST(Toolkit, DriverThatDoesNotCloseGetsCancel) {
  VEK_REQUIRE_DISPLAY();
  Probe p;
  Drive([&](DialogView&, void (*)(DialogView&, int, UserAction)) {});
  EXPECT_EQ(RunModal(p), 2);
  SetTestDriver({});
}

TEST(Toolkit, QuestionsGoToTheDriver) {
  VEK_REQUIRE_DISPLAY();
  Probe p;
  Drive([&](DialogView& v, void (*)(DialogView&, int, UserAction)) {
    EXPECT_FALSE(v.AskYesNo("Really?"));  // no answer hook: No
    v.Close(1);
  });
  EXPECT_EQ(RunModal(p), 1);
  TestDriver d;
  d.run = [](DialogView& v, void (*)(DialogView&, int, UserAction), void*) {
    EXPECT_TRUE(v.AskYesNo("Undo?"));
    v.Close(1);
  };
  d.answer = [](DialogView&, const std::string& text, bool yes_no, void*) {
    return text == "Undo?" && yes_no ? 1 : 0;
  };
  SetTestDriver(d);
  EXPECT_EQ(RunModal(p), 1);
  SetTestDriver({});
}

// Reads one pixel of a PNG with ImageMagick (an independent decoder).
bool PixelAt(const std::string& png, int x, int y, int rgb[3]) {
  const std::string cmd = "convert '" + png + "' -crop 1x1+" + std::to_string(x) + "+" +
                          std::to_string(y) + " -depth 8 txt:- 2>/dev/null";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return false;
  char line[512];
  bool ok = false;
  while (fgets(line, sizeof line, f)) {
    const char* p = std::strchr(line, '(');
    if (line[0] != '#' && p && std::sscanf(p, "(%d,%d,%d", &rgb[0], &rgb[1], &rgb[2]) == 3)
      ok = true;
  }
  pclose(f);
  return ok;
}

// Each pixel format shows the same four colours: red, green, blue, white.
TEST(Toolkit, DisplayDrawsEveryPixelFormat) {
  VEK_REQUIRE_DISPLAY();
  if (system("convert -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick missing";
  struct Case {
    int bits;
    std::vector<uint8_t> px;  // 4 pixels in a 2x2 image
  };
  std::vector<Case> cases = {
      {8, {0, 1, 2, 3}},
      {15, {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0xFF, 0x7F}},
      {16, {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0xFF, 0xFF}},
      {24, {0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255}},
      {32, {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 255, 255, 255, 0}},
  };
  for (const Case& c : cases) {
    struct Shot : Probe {
      const vek::QImg* img = nullptr;
      std::string path;
      bool saved = false;
    } p;
    vek::QImg img{};
    std::vector<uint8_t> px = c.px;
    img.pixels = px.data();
    img.width = 2;
    img.height = 2;
    img.bits = c.bits;
    img.bytespp = (c.bits + 7) / 8;
    img.size = static_cast<int32_t>(px.size());
    img.external = 1;
    const uint8_t pal[12] = {0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255};  // BGR
    std::memcpy(img.palette, pal, sizeof pal);
    p.img = &img;
    p.path = ::testing::TempDir() + "toolkit_" + std::to_string(c.bits) + ".png";
    static Shot* cur;
    cur = &p;
    TestDriver d;
    d.run = [](DialogView& v, void (*)(DialogView&, int, UserAction), void*) {
      v.SetColor(kDisp, 0x00808080);
      v.SetBounds(kDisp, 11, 101, 2, 2);
      const vek::QImg& im = *cur->img;
      const PixelView view{im.width, im.height, im.bits, im.pixels, im.size, im.palette};
      v.ShowImage(kDisp, &view);
      cur->saved = SaveWindowPng(v, cur->path);
      v.Close(2);
    };
    SetTestDriver(d);
    RunModal(p);
    SetTestDriver({});
    ASSERT_TRUE(p.saved) << c.bits;
    const int want[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    for (int i = 0; i < 4; ++i) {
      int got[3];
      ASSERT_TRUE(PixelAt(p.path, 11 + i % 2, 101 + i / 2, got));
      EXPECT_EQ(got[0], want[i][0]) << c.bits << " bits, pixel " << i;
      EXPECT_EQ(got[1], want[i][1]) << c.bits << " bits, pixel " << i;
      EXPECT_EQ(got[2], want[i][2]) << c.bits << " bits, pixel " << i;
    }
    std::remove(p.path.c_str());
  }
}

// A list shows whole rows: however tall its layout, the last row drawn is
// not cut, also with texts wider than the list. Hidden controls are hidden.
struct ListProbe : DialogLogic {
  int height;
  explicit ListProbe(int h) : height(h) {}
  DialogSpec Layout() override {
    DialogSpec d{"List probe", 300, 260, {}};
    d.controls.push_back({kCombo, ControlKind::List, "lst", "", 10, 10, 150, height});
    d.controls.push_back({kDisp, ControlKind::Display, "disp", "", 170, 10, 16, 16});
    return d;
  }
  void OnOpen(DialogView& v) override {
    std::vector<std::string> items;
    for (int i = 0; i < 40; ++i) items.push_back("Codec number " + std::to_string(i) + " with a long name");
    v.SetItems(kCombo, items);
  }
};

// The browser's own geometry, which FLTK keeps protected: member pointers
// taken through a derived class reach it on any browser without a cast.
struct BrowserPeek : Fl_Browser {
  static auto Bbox() { return &BrowserPeek::bbox; }
  static auto FullHeight() { return &BrowserPeek::full_height; }
};

TEST(Toolkit, ListsShowWholeRowsAndControlsHide) {
  VEK_REQUIRE_DISPLAY();
  for (int h : {100, 164, 171, 200}) {
    SCOPED_TRACE(h);
    int box_h = -1, row = 0, shown = 0;
    bool visible_before = false, visible_after = true;
    Drive([&](DialogView& v, Act) {
      for (Fl_Window* w = Fl::first_window(); w && !row; w = Fl::next_window(w))
        for (int i = 0; i < w->children(); ++i)
          if (auto* b = dynamic_cast<Fl_Browser*>(w->child(i))) {
            int x, y, bw, bh;
            (b->*BrowserPeek::Bbox())(x, y, bw, bh);
            box_h = bh;
            row = (b->*BrowserPeek::FullHeight())() / b->size();
            for (int line = 1; line <= b->size(); ++line) shown += b->displayed(line) ? 1 : 0;
          }
      visible_before = v.Visible(kDisp);
      v.SetVisible(kDisp, false);
      visible_after = v.Visible(kDisp);
      v.Close(2);
    });
    ListProbe p(h);
    EXPECT_EQ(RunModal(p), 2);
    ASSERT_GT(row, 0);
    EXPECT_EQ(box_h, shown * row);
    EXPECT_GE(box_h, h - row - 4);  // at most one row less than asked
    EXPECT_TRUE(visible_before);
    EXPECT_FALSE(visible_after);
  }
  SetTestDriver({});
}

TEST(Toolkit, NoDisplayMeansNoWindow) {
  const char* old = std::getenv("DISPLAY");
  const std::string keep = old ? old : "";
  unsetenv("DISPLAY");
  EXPECT_FALSE(DisplayAvailable());
  Probe p;
  EXPECT_EQ(RunModal(p), 0);
  EXPECT_TRUE(p.events.empty());
  if (!keep.empty()) setenv("DISPLAY", keep.c_str(), 1);
  // A display name that names no server.
  setenv("DISPLAY", ":1999", 1);
  if (!keep.empty()) {
    // FLTK already holds the real one; only the environment check applies.
  } else {
    EXPECT_FALSE(DisplayAvailable());
  }
  if (!keep.empty()) setenv("DISPLAY", keep.c_str(), 1); else unsetenv("DISPLAY");
}

}  // namespace

// Xft keeps the fonts it matched through fontconfig for the life of the
// process; the leak checker would count those caches at exit.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
