// The output settings dialog driven as a user would: through the widgets of
// a real window (test driver) and, once, through real X input (xdotool).
#include <gtest/gtest.h>

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/save_options.h"
#include "platform/toolkit/toolkit.h"
#include "ui/settings_dialog.h"
#include "vek/vek.h"
#include "xvfb_display.h"

using namespace vek::toolkit;
using namespace vek::ui;

namespace {

const bool kXvfb = vektest::UseOwnXvfb();

const std::string kData = std::string(VEK_TEST_DATA) + "/ui/";
using Act = void (*)(DialogView&, int, UserAction);

// Runs `body` as the driver of the next dialog(s).
struct Driver {
  std::function<void(DialogView&, Act)> body;
  std::function<int(const std::string&, bool)> answer;
  explicit Driver(std::function<void(DialogView&, Act)> b) : body(std::move(b)) {
    TestDriver d;
    d.user = this;
    d.run = [](DialogView& v, Act act, void* u) { static_cast<Driver*>(u)->body(v, act); };
    d.answer = [](DialogView&, const std::string& text, bool yes_no, void* u) {
      auto* self = static_cast<Driver*>(u);
      return self->answer ? self->answer(text, yes_no) : 0;
    };
    SetTestDriver(d);
  }
  ~Driver() { SetTestDriver({}); }
};

struct Job {
  VekJob* job = VekAlloc();
  VekList* list = VekListAlloc();
  explicit Job(const char* out, std::vector<std::string> files = {"chelsea.jpg", "coffee.jpg"}) {
    VekSetOutputFile(job, out, nullptr);
    for (const std::string& f : files) VekListAdd(list, (kData + f).c_str(), VEK_LIST_ANY);
  }
  ~Job() {
    VekListFree(list);
    VekFree(job);
  }
  VekJob copy() const { return *job; }
};

bool SameBytes(const VekJob& a, const VekJob& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<std::string> DepthItems(DialogView& v) {
  std::vector<std::string> items;
  for (int i = 0; i < 8; ++i) {
    v.SetSelected(kSetLstBPP, i);
    if (v.Selected(kSetLstBPP) != i) break;
    items.push_back(v.Text(kSetLstBPP));
  }
  return items;
}

void Press(DialogView& v, Act act, int id) { act(v, id, UserAction::Click); }
void Type(DialogView& v, Act act, int id, const std::string& text) {
  v.SetText(id, text);
  act(v, id, UserAction::Change);
  act(v, id, UserAction::Leave);
}

TEST(SettingsDialog, EveryCaptionAndText) {
  VEK_REQUIRE_DISPLAY();
  Job j("out.tga");
  std::vector<std::string> items;
  Driver d([&](DialogView& v, Act act) {
    EXPECT_EQ(v.Caption(), "Output settings");
    EXPECT_EQ(v.Text(kSetBoxSize), "Resolution and Color Depth");
    EXPECT_EQ(v.Text(kSetLabResX), "Width");
    EXPECT_EQ(v.Text(kSetLabResY), "Height");
    EXPECT_EQ(v.Text(kSetLabBPP), "Bits per pixel");
    EXPECT_EQ(v.Text(kSetChkDither), "Dithering");
    EXPECT_EQ(v.Text(kSetBoxFormat), "Output File");
    EXPECT_EQ(v.Text(kSetLabName), "Name:");
    EXPECT_EQ(v.Text(kSetLabCodec), "Codec:");
    EXPECT_EQ(v.Text(kSetBtnCodec), "&Codec Settings...");
    EXPECT_EQ(v.Text(kSetBtnUndo), "Revert...");
    EXPECT_EQ(v.Text(kSetBtnOK), "OK");
    EXPECT_EQ(v.Text(kSetBtnCancel), "Cancel");
    EXPECT_EQ(v.Text(kSetEdResX), "320");
    EXPECT_EQ(v.Text(kSetEdResY), "240");
    EXPECT_EQ(v.Text(kSetEdName), "out.tga");
    EXPECT_EQ(v.Text(kSetEdCodec), "Run Length Encoding (RLE)");
    EXPECT_EQ(v.Text(kSetEdFrame), "1 / 2");
    EXPECT_EQ(v.Text(kSetEdFilename), kData + "chelsea.jpg");
    EXPECT_EQ(v.Text(kSetLstBPP), "24-bit  (16M colors)");
    EXPECT_FALSE(v.Enabled(kSetChkDither));  // only for 8 bits
    EXPECT_TRUE(v.Enabled(kSetBtnCodec));
    EXPECT_TRUE(v.Enabled(kSetBarFrame));
    EXPECT_TRUE(v.Visible(kSetDisplay));
    items = DepthItems(v);
    Press(v, act, kSetBtnCancel);
  });
  EXPECT_EQ(VekOutputDlg(j.job, j.list, "Output settings", 1), 0);
  // TGA keeps 8, 15 and 24 bits; 16 becomes 24.
  EXPECT_EQ(items, (std::vector<std::string>{"24-bit  (16M colors)", "15-bit  (32k colors)",
                                             "8-bit  (256 colors)"}));
}

TEST(SettingsDialog, DepthListFollowsTheFormat) {
  VEK_REQUIRE_DISPLAY();
  struct Case {
    const char* out;
    std::vector<std::string> items;
  } cases[] = {
      {"o.jpg", {"24-bit  (16M colors)"}},
      {"o.hav", {"24-bit  (16M colors)", "16-bit  (65k colors)", "8-bit  (256 colors)"}},
      {"o.wav", {}},
  };
  for (const Case& c : cases) {
    Job j(c.out);
    std::vector<std::string> items;
    Driver d([&](DialogView& v, Act act) {
      items = DepthItems(v);
      Press(v, act, kSetBtnCancel);
    });
    VekOutputDlg(j.job, j.list, "", 1);
    EXPECT_EQ(items, c.items) << c.out;
  }
}

// "Codec Settings..." opens something only where the format has settings.
TEST(SettingsDialog, CodecButtonOnlyForFormatsWithSettings) {
  VEK_REQUIRE_DISPLAY();
  for (const char* out : {"o.wav", "o.bmp", "o.pcx", "o.flc", "o.tga", "o.mpg", "o.avi", "o.jpg"}) {
    const bool settings = std::strstr(".tga.mpg.avi.jpg", std::strrchr(out, '.')) != nullptr;
    Job j(out);
    bool enabled = !settings;
    Driver d([&](DialogView& v, Act act) {
      enabled = v.Enabled(kSetBtnCodec);
      Press(v, act, kSetBtnCancel);
    });
    VekOutputDlg(j.job, j.list, "", 1);
    EXPECT_EQ(enabled, settings) << out;
  }
}

// Every codec name a writable format can show fits the codec field whole,
// the FLIC one (the longest) also as the open dialog shows it.
TEST(SettingsDialog, LongCodecNamesFit) {
  VEK_REQUIRE_DISPLAY();
  int field = 0;
  for (const ControlSpec& c : SettingsLayout("").controls)
    if (c.id == kSetEdCodec) field = c.w;
  const int room = field - 10;  // the edit's frame and margins
  VekJob* job = VekAlloc();
  std::vector<std::string> names;
  for (const char* out : {"a.tga", "a.pcx", "a.bmp", "a.flc", "a.hav", "a.jpg", "a.png", "a.tif", "a.mpg",
                          "a.rgb", "a.ras", "a.ppm", "a.xpm", "a.wav"}) {
    VekSetOutputFile(job, out, nullptr);
    names.push_back(vek::FFSaveCodecName(job->saveOpts));
    for (int32_t codec : {0, 1, 2, 5, 7, 9, 32773, 32946}) {
      VekSetCodec(job, job->vidFmt, codec);
      names.push_back(vek::FFSaveCodecName(job->saveOpts));
    }
  }
  VekFree(job);
  for (const std::string& n : names) EXPECT_LE(TextWidth(n), room) << n;
  Job flic("anim.flc");
  std::string shown;
  Driver d([&](DialogView& v, Act act) {
    shown = v.Text(kSetEdCodec);
    Press(v, act, kSetBtnCancel);
  });
  VekOutputDlg(flic.job, flic.list, "", 1);
  EXPECT_EQ(shown, "RLE + pixel difference from previous frame");
  EXPECT_GT(TextWidth(shown), 200);  // the font is measured, not guessed
  EXPECT_LE(TextWidth(shown), room);
}

TEST(SettingsDialog, CancelLeavesTheJobAsItWas) {
  VEK_REQUIRE_DISPLAY();
  Job j("out.tga");
  const VekJob before = j.copy();
  Driver d([&](DialogView& v, Act act) {
    Type(v, act, kSetEdResX, "640");
    Type(v, act, kSetEdResY, "100");
    v.SetSelected(kSetLstBPP, 2);
    act(v, kSetLstBPP, UserAction::Change);
    EXPECT_TRUE(v.Enabled(kSetChkDither));
    v.SetChecked(kSetChkDither, true);
    act(v, kSetChkDither, UserAction::Change);
    Press(v, act, kSetBtnCancel);
  });
  EXPECT_EQ(VekOutputDlg(j.job, j.list, "", 1), 0);
  EXPECT_TRUE(SameBytes(*j.job, before));
  VekLastError e{};
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 0);
}

// The codec button runs the format's own dialog (a nested window, cancelled
// here); the settings dialog goes on as before.
TEST(SettingsDialog, CodecButtonRunsTheFormatsDialog) {
  VEK_REQUIRE_DISPLAY();
  Job j("out.tga");
  const VekJob before = j.copy();
  int nested = 0;
  Driver d([&](DialogView& v, Act act) {
    if (v.Caption() != "Output settings") {
      ++nested;
      v.Close(2);
      return;
    }
    const std::string codec = v.Text(kSetEdCodec);
    Press(v, act, kSetBtnCodec);
    EXPECT_EQ(v.Text(kSetEdCodec), codec);
    EXPECT_EQ(v.Text(kSetEdResX), "320");
    Press(v, act, kSetBtnCancel);
  });
  EXPECT_EQ(VekOutputDlg(j.job, j.list, "Output settings", 1), 0);
  EXPECT_LE(nested, 1);
  EXPECT_TRUE(SameBytes(*j.job, before));
}

TEST(SettingsDialog, OkWritesExactlyTheChangedFields) {
  VEK_REQUIRE_DISPLAY();
  Job j("out.tga");
  VekJob expect = j.copy();
  Driver d([&](DialogView& v, Act act) {
    Type(v, act, kSetEdResX, "640");
    v.SetSelected(kSetLstBPP, 2);  // 8-bit
    act(v, kSetLstBPP, UserAction::Change);
    v.SetChecked(kSetChkDither, true);
    act(v, kSetChkDither, UserAction::Change);
    Press(v, act, kSetBtnOK);
  });
  EXPECT_EQ(VekOutputDlg(j.job, j.list, "", 1), -1);
  expect.width = 640;
  expect.bpp = 8;
  expect.dither = -1;
  expect.sourceRes = 0;  // the dialog's size is explicit
  EXPECT_EQ(j.job->width, 640);
  EXPECT_EQ(j.job->height, 240);
  EXPECT_TRUE(SameBytes(*j.job, expect));
}

TEST(SettingsDialog, BadSizesNeverReachTheJob) {
  VEK_REQUIRE_DISPLAY();
  Job j("out.tga");
  struct Entry {
    const char* typed;
    const char* shown;
  } entries[] = {{"abc", "320"}, {"12abc", "320"}, {"", "320"},     {"-500", "500"},
                 {"2", "4"},     {"-2", "4"},      {"0", "4"},      {"99999999999999999999", "4096"},
                 {"4097", "4096"}, {" 800 ", "800"}};
  Driver d([&](DialogView& v, Act act) {
    int32_t last = 320;
    for (const Entry& e : entries) {
      v.SetText(kSetEdResX, "320");
      act(v, kSetEdResX, UserAction::Leave);
      Type(v, act, kSetEdResX, e.typed);
      EXPECT_EQ(v.Text(kSetEdResX), e.shown) << "typed '" << e.typed << "'";
      last = std::atoi(e.shown);
    }
    EXPECT_EQ(last, 800);
    Type(v, act, kSetEdResY, "-x1");
    EXPECT_EQ(v.Text(kSetEdResY), "240");
    Type(v, act, kSetEdResX, "-320");
    EXPECT_EQ(v.Text(kSetEdResX), "320");
    v.SetText(kSetEdResX, "oops");  // typed, then OK straight away
    Press(v, act, kSetBtnOK);
  });
  EXPECT_EQ(VekOutputDlg(j.job, j.list, "", 1), -1);
  EXPECT_EQ(j.job->width, 320);
  EXPECT_EQ(j.job->height, 240);
}

TEST(SettingsDialog, RevertAsksAndRestores) {
  VEK_REQUIRE_DISPLAY();
  Job j("out.tga");
  VekSetResolution(j.job, 320, 240);  // clears keep-source-size, as OK does
  const VekJob before = j.copy();
  std::vector<std::string> questions;
  for (int answer : {0, 1}) {
    Driver d([&](DialogView& v, Act act) {
      Type(v, act, kSetEdResX, "1000");
      v.SetSelected(kSetLstBPP, 2);
      act(v, kSetLstBPP, UserAction::Change);
      Press(v, act, kSetBtnUndo);
      if (answer == 1) {
        EXPECT_EQ(v.Text(kSetEdResX), "320");
        EXPECT_EQ(v.Text(kSetLstBPP), "24-bit  (16M colors)");
        EXPECT_FALSE(v.Enabled(kSetChkDither));
      } else {
        EXPECT_EQ(v.Text(kSetEdResX), "1000");
      }
      Press(v, act, kSetBtnOK);
    });
    d.answer = [&](const std::string& text, bool yes_no) {
      questions.push_back(text + (yes_no ? " [yes/no]" : ""));
      return answer;
    };
    EXPECT_EQ(VekOutputDlg(j.job, j.list, "", 1), -1);
    if (answer == 1) {
      EXPECT_TRUE(SameBytes(*j.job, before));
    } else {
      EXPECT_EQ(j.job->width, 1000);
      EXPECT_EQ(j.job->bpp, 8);
      *j.job = before;
    }
  }
  EXPECT_EQ(questions, (std::vector<std::string>(2, "Undo all changes made in this dialog? [yes/no]")));
}

TEST(SettingsDialog, WithoutChangesAllowedTheOutputIsGreyed) {
  VEK_REQUIRE_DISPLAY();
  Job j("out.tga");
  const VekJob before = j.copy();
  Driver d([&](DialogView& v, Act act) {
    for (int id : {kSetEdResX, kSetEdResY, kSetLstBPP, kSetChkDither, kSetBtnCodec, kSetBtnUndo,
                   kSetEdName, kSetEdCodec})
      EXPECT_FALSE(v.Enabled(id)) << id;
    EXPECT_TRUE(v.Enabled(kSetBarFrame));
    EXPECT_TRUE(v.Enabled(kSetBtnOK));
    Press(v, act, kSetBtnUndo);  // greyed: nothing asked
    Press(v, act, kSetBtnCancel);
  });
  bool asked = false;
  d.answer = [&](const std::string&, bool) {
    asked = true;
    return 1;
  };
  EXPECT_EQ(VekOutputDlg(j.job, j.list, "", 0), 0);
  EXPECT_FALSE(asked);
  EXPECT_TRUE(SameBytes(*j.job, before));
}

TEST(SettingsDialog, TrackBarWalksTheFilesInTheJobsOrder) {
  VEK_REQUIRE_DISPLAY();
  for (int direction : {1, 0}) {
    Job j("out.png");
    j.job->direction = direction;
    std::vector<std::string> names;
    Driver d([&](DialogView& v, Act act) {
      names.push_back(v.Text(kSetEdFilename));
      v.SetPosition(kSetBarFrame, 1);
      act(v, kSetBarFrame, UserAction::Track);
      EXPECT_EQ(v.Text(kSetEdFrame), "2 / 2");
      act(v, kSetBarFrame, UserAction::Change);
      names.push_back(v.Text(kSetEdFilename));
      v.SetPosition(kSetBarFrame, 7);  // beyond the last file: stays on it
      EXPECT_EQ(v.Position(kSetBarFrame), 1);
      Press(v, act, kSetBtnCancel);
    });
    VekOutputDlg(j.job, j.list, "", 1);
    const std::string a = kData + "chelsea.jpg", b = kData + "coffee.jpg";
    EXPECT_EQ(names, direction == 1 ? (std::vector<std::string>{a, b}) : (std::vector<std::string>{b, a}));
  }
}

TEST(SettingsDialog, EmptyListAndUnreadableFiles) {
  VEK_REQUIRE_DISPLAY();
  {
    Job j("out.png", {});
    Driver d([&](DialogView& v, Act act) {
      EXPECT_FALSE(v.Enabled(kSetBarFrame));
      EXPECT_FALSE(v.Visible(kSetDisplay));  // no empty square in the panel
      v.SetPosition(kSetBarFrame, 3);
      EXPECT_EQ(v.Position(kSetBarFrame), 0);  // range 0..0
      EXPECT_EQ(v.Text(kSetEdFilename), "");
      Press(v, act, kSetBtnOK);
    });
    EXPECT_EQ(VekOutputDlg(j.job, nullptr, "", 1), -1);
  }
  {
    // A file that is no picture: the dialog stays open and works.
    const std::string bad = ::testing::TempDir() + "not_a_picture.bmp";
    FILE* f = std::fopen(bad.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fputs("BM this is not a bitmap", f);
    std::fclose(f);
    VekJob* job = VekAlloc();
    VekSetOutputFile(job, "x.bmp", nullptr);
    VekList* list = VekListAlloc();
    VekListAdd(list, bad.c_str(), VEK_LIST_BY_EXTENSION);
    int files = VekListGetFileCount(list);
    Driver d([&](DialogView& v, Act act) {
      if (files > 0) {
        EXPECT_EQ(v.Text(kSetEdFrame), "1 / 1");
      }
      Type(v, act, kSetEdResX, "200");
      Press(v, act, kSetBtnOK);
    });
    EXPECT_EQ(VekOutputDlg(job, list, "", 1), -1);
    EXPECT_EQ(job->width, 200);
    VekListFree(list);
    VekFree(job);
    std::remove(bad.c_str());
  }
}

TEST(SettingsDialog, HandleChecksAndNoDisplay) {
  Job j("out.tga");
  const VekJob before = j.copy();
  VekLastError e{};
  char text[1100];
  EXPECT_EQ(VekOutputDlg(nullptr, j.list, "", 1), 0);
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 1000);
  VekMakeErrorStr(&e, text);
  EXPECT_STREQ(text, "Invalid job handle.");
  const char* old = std::getenv("DISPLAY");
  const std::string keep = old ? old : "";
  unsetenv("DISPLAY");
  EXPECT_EQ(VekOutputDlg(j.job, j.list, "", 1), 0);
  if (!keep.empty()) setenv("DISPLAY", keep.c_str(), 1);
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 1000);
  VekMakeErrorStr(&e, text);
  EXPECT_STREQ(text, "No display available for dialogs.");
  EXPECT_TRUE(SameBytes(*j.job, before));
}

void CloseAllWindows(void*) {
  for (Fl_Window* w = Fl::first_window(); w; w = Fl::first_window()) w->hide();
}

// Real X input: the pointer clicks into the width edit, the keyboard types,
// the pointer presses OK.
TEST(SettingsDialog, RealInputWithXdotool) {
  VEK_REQUIRE_DISPLAY();
  if (access("/usr/bin/xdotool", X_OK) != 0) GTEST_SKIP() << "xdotool is not installed";
  Job j("out.tga");
  const DialogSpec layout = SettingsLayout("Settings by xdotool");
  auto centre = [&](int id, int& x, int& y) {
    for (const ControlSpec& c : layout.controls)
      if (c.id == id) x = c.x + c.w / 2, y = c.y + c.h / 2;
  };
  int ex = 0, ey = 0, ox = 0, oy = 0;
  centre(kSetEdResX, ex, ey);
  centre(kSetBtnOK, ox, oy);
  char script[1024];
  std::snprintf(script, sizeof script,
                "W=$(xdotool search --sync --onlyvisible --name 'Settings by xdotool' | head -1) && "
                "xdotool mousemove --window $W %d %d click 1 && sleep 0.2 && "
                "xdotool key --window $W ctrl+a && xdotool type --delay 30 '1280' && "
                "xdotool key Tab && sleep 0.2 && "
                "xdotool mousemove --window $W %d %d click 1",
                ex, ey, ox, oy);
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", script, static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  // Should the input go astray, the dialog is closed after a while.
  Fl::add_timeout(20.0, CloseAllWindows);
  const int32_t result = VekOutputDlg(j.job, j.list, "Settings by xdotool", 1);
  Fl::remove_timeout(CloseAllWindows);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(j.job->width, 1280);
  EXPECT_EQ(j.job->height, 240);
}

}  // namespace
