// What the preview shows: fitted, centred, aspect kept; and the screenshots
// of the settings dialog (Screenshots.*, run alone by the ui_screenshots
// target, which writes them into docs/screenshots).
#include <gtest/gtest.h>

#include "host_tools.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/memory.h"
#include "image/image.h"
#include "platform/toolkit/toolkit.h"
#include "ui/preview.h"
#include "ui/settings_dialog.h"
#include "vek/vek.h"
#include "xvfb_display.h"

using namespace vek;
using namespace vek::toolkit;
using namespace vek::ui;

namespace {

const bool kXvfb = vektest::UseOwnXvfb();
const std::string kData = std::string(VEK_TEST_DATA) + "/ui/";

// A view that only records what the preview asks of it.
struct RecordingView : DialogView {
  int x = 0, y = 0, w = 0, h = 0, shown_w = 0, shown_h = 0;
  uint32_t color = 0xFFFFFFFF;
  void SetText(int, const std::string&) override {}
  std::string Text(int) const override { return {}; }
  void SetEnabled(int, bool) override {}
  bool Enabled(int) const override { return true; }
  void SetChecked(int, bool) override {}
  bool Checked(int) const override { return false; }
  void SetBold(int, bool) override {}
  void SetItems(int, const std::vector<std::string>&) override {}
  void SetSelected(int, int) override {}
  int Selected(int) const override { return -1; }
  void SetRange(int, int, int, int, int) override {}
  void SetPosition(int, int) override {}
  int Position(int) const override { return 0; }
  void SetBounds(int, int bx, int by, int bw, int bh) override { x = bx, y = by, w = bw, h = bh; }
  bool visible = true;
  void SetVisible(int, bool v) override { visible = v; }
  bool Visible(int) const override { return visible; }
  void SetDialogSize(int, int) override {}
  void Focus(int) override {}
  void ShowImage(int, const PixelView* image) override {
    shown_w = image ? image->width : 0;
    shown_h = image ? image->height : 0;
    shown_bits = image ? image->bits : 0;
    pixels.assign(image ? image->pixels : nullptr, image ? image->pixels + image->size : nullptr);
  }
  int shown_bits = 0;
  std::vector<uint8_t> pixels;
  void SetColor(int, uint32_t c) override { color = c; }
  void SetWaitCursor(bool) override {}
  bool AskYesNo(const std::string&) override { return false; }
  void Message(const std::string&) override {}
  void Close(int) override {}
};

TEST(Preview, FitsLargePicturesAndCentresSmallOnes) {
  const int32_t before = MemCount();
  RecordingView view;
  ControlSpec panel;
  panel.x = 20, panel.y = 30, panel.w = 302, panel.h = 302;  // a 300 x 300 box inside a border of 1
  TPreview p;
  Preview_Init(p, view, panel, 7, 1);
  EXPECT_EQ(view.w, 16);
  EXPECT_EQ(view.h, 16);
  EXPECT_EQ(view.color, 0u);  // black
  struct Case {
    int iw, ih, w, h, x, y;
  } cases[] = {
      {100, 50, 100, 50, 20 + 1 + 100, 30 + 1 + 125},  // shown at its own size, centred
      {600, 300, 300, 150, 21, 31 + 75},               // halved, aspect kept
      {300, 900, 100, 300, 21 + 100, 31},
      {301, 2, 300, 2, 21, 31 + 149},                   // 1.99 rounds to 2
      {5000, 1, 300, 1, 21, 31 + 149},                  // never below 1
  };
  for (const Case& c : cases) {
    QImg img{};
    ImgAlloc(&img, c.iw, c.ih, 24, 1, "test.img");
    Preview_Show(p, &img);
    EXPECT_EQ(view.w, c.w) << c.iw << "x" << c.ih;
    EXPECT_EQ(view.h, c.h) << c.iw << "x" << c.ih;
    EXPECT_EQ(view.x, c.x) << c.iw << "x" << c.ih;
    EXPECT_EQ(view.y, c.y) << c.iw << "x" << c.ih;
    EXPECT_EQ(view.shown_w, c.w);
    EXPECT_EQ(view.shown_h, c.h);
    ImgFree(&img);
  }
  Preview_Show(p, nullptr);
  EXPECT_EQ(view.shown_w, 0);
  Preview_Done(p);
  EXPECT_EQ(p.display, nullptr);
  EXPECT_EQ(MemCount(), before);
}

// A focus frame is painted over the whole control: picture, background and
// the frame's dotted lines, one rectangle per line, each a pixel larger.
TEST(Display, FocusFramePaintsTheWholeControl) {
  const int32_t before = MemCount();
  RecordingView view;
  TDisplayControl* d = Display_Create_VCL(view, 3, 0, 0, 20, 10);
  Display_SetColor(d, 0x000000FF);  // red background
  QImg img{};
  ImgAlloc(&img, 4, 4, 24, 1, "test.img");
  std::memset(img.pixels, 0, static_cast<size_t>(img.size));  // black picture
  Display_ShowImg(d, &img, true);
  EXPECT_NE(img.pixels, nullptr);  // copied
  EXPECT_EQ(view.shown_w, 4);
  Display_SetFocusFrame(d, 8, 3, 6, 4, 2);
  ASSERT_EQ(view.shown_w, 20);
  ASSERT_EQ(view.shown_h, 10);
  ASSERT_EQ(view.shown_bits, 24);
  auto px = [&](int x, int y) {
    const uint8_t* p = &view.pixels[(static_cast<size_t>(y) * 20 + x) * 3];
    return (p[2] << 16) | (p[1] << 8) | p[0];
  };
  EXPECT_EQ(px(0, 0), 0x000000);   // picture
  EXPECT_EQ(px(19, 9), 0xFF0000);  // background (red)
  EXPECT_EQ(px(9, 3), 0x00FFFF);   // first frame: red inverted
  EXPECT_EQ(px(8, 3), 0xFF0000);   // dotted: every second pixel
  EXPECT_EQ(px(7, 2), 0xFF0000);   // second frame, a dot skipped ((7 + 2) odd)
  EXPECT_EQ(px(8, 2), 0x00FFFF);
  EXPECT_EQ(px(11, 5), 0xFF0000);  // inside the frame: untouched
  // Moving a picture in leaves the caller's record empty.
  Display_ShowImg(d, &img, false);
  EXPECT_EQ(img.pixels, nullptr);
  Display_Free(d);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(MemCount(), before);
}

using Act = void (*)(DialogView&, int, UserAction);

// Opens the settings dialog on `job` and saves its window to `path`.
bool Shoot(VekJob* job, VekList* list, const std::string& path, bool allow = true) {
  static std::string target;
  static bool saved;
  target = path;
  saved = false;
  TestDriver d;
  d.run = [](DialogView& v, Act act, void*) {
    saved = SaveWindowPng(v, target);
    act(v, kSetBtnCancel, UserAction::Click);
  };
  SetTestDriver(d);
  VekOutputDlg(job, list, "Output Settings", allow ? 1 : 0);
  SetTestDriver({});
  return saved;
}

using vektest::Shell;

// The preview inside the screenshot, measured by ImageMagick: the box of
// what is not background within the panel.
TEST(Preview, ShownInTheDialogWithItsAspect) {
  VEK_REQUIRE_DISPLAY();
  if (system("convert -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick missing";
  const std::string src = ::testing::TempDir() + "white_400x100.png";
  ASSERT_EQ(system(("convert -size 400x100 xc:white '" + src + "'").c_str()), 0);
  const DialogSpec layout = SettingsLayout("");
  ControlSpec panel;
  for (const ControlSpec& c : layout.controls)
    if (c.id == kSetPanView) panel = c;
  const int bw = panel.w - 2, bh = panel.h - 2;
  struct Case {
    int w, h;
  } cases[] = {{400, 100}, {100, 50}, {200, 800}};
  for (const Case& c : cases) {
    VekJob* job = VekAlloc();
    VekSetOutputFile(job, "o.bmp", nullptr);
    VekSetResolution(job, c.w, c.h);
    VekList* list = VekListAlloc();
    VekListAdd(list, src.c_str(), VEK_LIST_ANY);
    const std::string shot = ::testing::TempDir() + "preview_shot.png";
    ASSERT_TRUE(Shoot(job, list, shot));
    char crop[64];
    std::snprintf(crop, sizeof crop, "%dx%d+%d+%d", bw, bh, panel.x + 1, panel.y + 1);
    const std::string got = Shell("convert '" + shot + "' -crop " + crop +
                                " +repage -fuzz 10% -trim -format '%w %h %X %Y' info:");
    // Expected by the fitting rule, worked out here by hand.
    int ew = c.w, eh = c.h;
    if (c.w > bw || c.h > bh) {
      const double sx = double(bw) / c.w, sy = double(bh) / c.h;
      if (sx >= sy) eh = bh, ew = int(std::nearbyint(sy * c.w));
      else ew = bw, eh = int(std::nearbyint(sx * c.h));
    }
    char want[64];
    std::snprintf(want, sizeof want, "%d %d +%d +%d", ew, eh, (bw - ew) / 2, (bh - eh) / 2);
    EXPECT_EQ(got, want) << c.w << "x" << c.h;
    VekListFree(list);
    VekFree(job);
    std::remove(shot.c_str());
  }
  std::remove(src.c_str());
}

// The settings dialog with a photo in its preview, at two output sizes.
TEST(Screenshots, SettingsDialog) {
  VEK_REQUIRE_DISPLAY();
  const char* dir_env = std::getenv("VEK_SCREENSHOT_DIR");
  const std::string dir = dir_env && *dir_env ? std::string(dir_env) + "/" : ::testing::TempDir();
  struct Shot {
    const char* out;
    int w, h, bpp;
    bool allow;
    const char* name;
  } shots[] = {
      {"holiday.avi", 640, 480, 24, true, "settings-640x480.png"},
      {"thumbs.flc", 160, 120, 8, true, "settings-160x120.png"},
  };
  // The pictures from a neutral folder: the file name field shows
  // "/tmp/vek-demo/Pictures/chelsea.jpg", not where the build happens to be.
  // Copied under a private name and renamed, so that runs in parallel never
  // see half a file; left in place for the next run.
  const std::string home = "/tmp/vek-demo/Pictures/";
  const std::string tag = std::to_string(getpid());
  for (const char* f : {"chelsea.jpg", "coffee.jpg"})
    ASSERT_EQ(system(("mkdir -p " + home + " && cp '" + kData + f + "' " + home + f + "." + tag + " && mv -f " +
                      home + f + "." + tag + " " + home + f).c_str()),
              0);
  for (const Shot& s : shots) {
    VekJob* job = VekAlloc();
    VekSetOutputFile(job, s.out, nullptr);
    VekSetResolution(job, s.w, s.h);
    VekSetBpp(job, s.bpp);
    VekList* list = VekListAlloc();
    VekListAdd(list, (home + "chelsea.jpg").c_str(), VEK_LIST_ANY);
    VekListAdd(list, (home + "coffee.jpg").c_str(), VEK_LIST_ANY);
    const std::string path = dir + s.name;
    EXPECT_TRUE(Shoot(job, list, path, s.allow)) << path;
    const std::string size = Shell("identify -format '%w %h' '" + path + "' 2>/dev/null");
    const DialogSpec layout = SettingsLayout("");
    EXPECT_EQ(size, std::to_string(layout.width) + " " + std::to_string(layout.height));
    VekListFree(list);
    VekFree(job);
  }
}

}  // namespace
