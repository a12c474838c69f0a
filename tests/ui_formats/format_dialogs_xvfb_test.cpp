// The format option dialogs and the AVI codec dialog as a user meets them:
// opened through the save options (and the exported codec dialog) under a
// real X display, driven through the toolkit's widgets or by xdotool.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/save_options.h"
#include "formats/format_descriptor.h"
#include "formats/movie/avi.h"
#include "foundation/errors.h"
#include "platform/toolkit/toolkit.h"
#include "ui/avi_dialog.h"
#include "ui/option_dialogs.h"
#include "ui/video_dialog.h"
#include "xvfb_display.h"
#include "api/job.h"
#include "vek/vek.h"

namespace vek::ui {
namespace {

using toolkit::DialogView;
using toolkit::UserAction;
using Act = void (*)(DialogView&, int, UserAction);

const bool kXvfb = vektest::UseOwnXvfb();

// The driver of the dialogs opened next; `answers` are given to message boxes.
std::function<void(DialogView&, Act)> g_script;
std::vector<std::string> g_asked;
int g_answer = 1;

void Drive(std::function<void(DialogView&, Act)> script) {
  g_script = std::move(script);
  g_asked.clear();
  toolkit::TestDriver d;
  d.run = [](DialogView& v, Act act, void*) { g_script(v, act); };
  d.answer = [](DialogView&, const std::string& text, bool, void*) {
    g_asked.push_back(text);
    return g_answer;
  };
  toolkit::SetTestDriver(d);
}

void Undrive() { toolkit::SetTestDriver(toolkit::TestDriver{}); }

QSaveOpts OptsFor(int32_t format) {
  QSaveOpts o;
  FFSaveReset(o);
  FFSaveSetFormat(o, format);
  return o;
}

bool RunDlg(QSaveOpts& o, int32_t w = 320, int32_t h = 240, int32_t bits = 24) {
  const bool r = MonitoredBoundary("test", [&] { return FFSaveDlg(o, w, h, bits); });
  if (!ErrNone()) ADD_FAILURE() << "dialog error: " << ErrMsgLast() << " at " << ErrPath();
  return r;
}

bool Same(const QSaveOpts& a, const QSaveOpts& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Items of a list or combo, read through the view (setting a selection raises no event).
std::vector<std::string> Items(DialogView& v, int id) {
  const int keep = v.Selected(id);
  std::vector<std::string> out;
  for (int i = 0; i < 64; ++i) {
    v.SetSelected(id, i);
    if (v.Selected(id) != i) break;
    out.push_back(v.Text(id));
  }
  v.SetSelected(id, keep);
  return out;
}

class FormatDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!toolkit::DisplayAvailable()) GTEST_SKIP() << "no X display (set DISPLAY or install Xvfb)";
    ErrClear();
  }
  void TearDown() override { Undrive(); }
};

TEST_F(FormatDialogs, ChoiceFormatsOkAndCancel) {
  struct Case {
    int32_t format;
    const char* title;
    int32_t QSaveOpts::*field;
    int choose;
    int32_t want;
  } cases[] = {
      {kFmtTGA, "TGA Compression", &QSaveOpts::tgaCodec, 1, 0},
      {kFmtTIFF, "TIFF Compression", &QSaveOpts::tiffCompression, 3, 5},
      {kFmtSGI, "SGI Compression", &QSaveOpts::sgiCodec, 1, 0},
      {kFmtRAS, "RAS Compression", &QSaveOpts::rasCodec, 1, 0},
      {kFmtPNM, "PNM Format", &QSaveOpts::pnmAscii, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    for (bool ok : {false, true}) {
      QSaveOpts o = OptsFor(c.format);
      const QSaveOpts before = o;
      std::string caption;
      int first = -2;
      Drive([&](DialogView& v, Act act) {
        caption = v.Caption();
        first = v.Selected(ChoiceDialog::kRadOpt);
        EXPECT_EQ(v.Text(ChoiceDialog::kBtnOK), "OK");
        EXPECT_EQ(v.Text(ChoiceDialog::kBtnCancel), "Cancel");
        v.SetSelected(ChoiceDialog::kRadOpt, c.choose);
        act(v, ChoiceDialog::kRadOpt, UserAction::Change);
        act(v, ok ? ChoiceDialog::kBtnOK : ChoiceDialog::kBtnCancel, UserAction::Click);
      });
      EXPECT_EQ(RunDlg(o), ok);
      EXPECT_TRUE(ErrNone()) << ErrMsgLast();
      EXPECT_EQ(caption, c.title);
      // The reset value is selected: TIFF's "Uncompressed" is its last option.
      EXPECT_EQ(first, c.format == kFmtTIFF ? 4 : c.format == kFmtPNM ? 0 : 0);
      QSaveOpts want = before;
      if (ok) want.*c.field = c.want;
      EXPECT_TRUE(Same(o, want)) << o.*c.field;
    }
  }
}

// GIF (an extension format): palette mode, plays and refinement passes, all
// process-wide; refinement is offered with the optimiser alone, Cancel keeps
// everything, and a play count beyond the format's field is clamped.
TEST_F(FormatDialogs, GifPaletteAndPlays) {
  VekExtSetFormats(-1);
  const int32_t mode = VekExtSetPaletteMode(VEK_UNDEFINED), loop = VekExtSetLoopCount(VEK_UNDEFINED),
                refine = VekExtSetPaletteRefinement(VEK_UNDEFINED);
  for (bool ok : {false, true}) {
    SCOPED_TRACE(ok ? "OK" : "Cancel");
    QSaveOpts o = OptsFor(kFmtGIF);
    const QSaveOpts before = o;
    std::string caption;
    bool refine_at_open = true, refine_with_optimiser = false;
    Drive([&](DialogView& v, Act act) {
      caption = v.Caption();
      EXPECT_EQ(v.Selected(GifDialog::kRadPalette), 0);
      EXPECT_EQ(v.Text(GifDialog::kEdLoop), "0");
      refine_at_open = v.Enabled(GifDialog::kEdRefine);
      v.SetSelected(GifDialog::kRadPalette, 1);
      act(v, GifDialog::kRadPalette, UserAction::Change);
      refine_with_optimiser = v.Enabled(GifDialog::kEdRefine);
      v.SetText(GifDialog::kEdLoop, "3");
      act(v, GifDialog::kEdLoop, UserAction::Change);
      v.SetText(GifDialog::kEdRefine, "2");
      act(v, GifDialog::kEdRefine, UserAction::Change);
      act(v, ok ? GifDialog::kBtnOK : GifDialog::kBtnCancel, UserAction::Click);
    });
    EXPECT_EQ(RunDlg(o), ok);
    EXPECT_EQ(caption, "GIF Settings");
    EXPECT_FALSE(refine_at_open);
    EXPECT_TRUE(refine_with_optimiser);
    EXPECT_TRUE(Same(o, before));  // nothing of the job's options
    EXPECT_EQ(VekExtSetPaletteMode(VEK_UNDEFINED), ok ? 1 : mode);
    EXPECT_EQ(VekExtSetLoopCount(VEK_UNDEFINED), ok ? 3 : loop);
    EXPECT_EQ(VekExtSetPaletteRefinement(VEK_UNDEFINED), ok ? 2 : refine);
  }
  QSaveOpts o = OptsFor(kFmtGIF);
  Drive([&](DialogView& v, Act act) {
    EXPECT_EQ(v.Selected(GifDialog::kRadPalette), 1);  // as stored by the OK above
    v.SetText(GifDialog::kEdLoop, "99999");
    act(v, GifDialog::kBtnOK, UserAction::Click);
  });
  EXPECT_TRUE(RunDlg(o));
  EXPECT_EQ(VekExtSetLoopCount(VEK_UNDEFINED), 65536);
  VekExtSetPaletteMode(mode);
  VekExtSetLoopCount(loop);
  VekExtSetPaletteRefinement(refine);
  VekExtSetFormats(0);
}

TEST_F(FormatDialogs, SlidersJpegAndPng) {
  for (int32_t format : {kFmtJPEG, kFmtPNG}) {
    QSaveOpts o = OptsFor(format);
    const QSaveOpts before = o;
    std::string caption, shown, moved;
    int max = -1;
    bool grey_edit_enabled = true;
    Drive([&](DialogView& v, Act act) {
      caption = v.Caption();
      shown = v.Text(SliderDialog::kEdValue);
      v.SetPosition(SliderDialog::kScrollBar1, 100000);
      max = v.Position(SliderDialog::kScrollBar1);
      v.SetPosition(SliderDialog::kScrollBar1, 4);
      act(v, SliderDialog::kScrollBar1, UserAction::Change);
      moved = v.Text(SliderDialog::kEdValue);
      grey_edit_enabled = v.Enabled(SliderDialog::kEdValue);
      act(v, SliderDialog::kBtnOK, UserAction::Click);
    });
    EXPECT_TRUE(RunDlg(o));
    (void)grey_edit_enabled;
    if (format == kFmtJPEG) {
      EXPECT_EQ(caption, "JPEG Quality");
      EXPECT_EQ(shown, "85");
      EXPECT_EQ(max, 100);
      EXPECT_EQ(o.jpegQuality, 4);
    } else {
      EXPECT_EQ(caption, "PNG Compression Level");
      EXPECT_EQ(shown, "7");
      EXPECT_EQ(max, 9);
      EXPECT_EQ(o.pngLevel, 4);
    }
    EXPECT_EQ(moved, "4");
    // Cancel after a move leaves the options as they are.
    QSaveOpts again = o;
    Drive([&](DialogView& v, Act act) {
      v.SetPosition(SliderDialog::kScrollBar1, 1);
      act(v, SliderDialog::kScrollBar1, UserAction::Change);
      act(v, SliderDialog::kBtnCancel, UserAction::Click);
    });
    EXPECT_FALSE(RunDlg(o));
    EXPECT_TRUE(Same(o, again));
    (void)before;
  }
}

TEST_F(FormatDialogs, HavCodecAndKeyFrames) {
  QSaveOpts o = OptsFor(kFmtHAV);
  QSaveOpts before = o;
  Drive([&](DialogView& v, Act act) {
    EXPECT_EQ(v.Caption(), "HAV Settings");
    EXPECT_EQ(v.Selected(HavDialog::kRadCompr), 0);  // FAST, the reset codec 1
    EXPECT_EQ(v.Text(HavDialog::kEdKFM), "25");
    v.SetSelected(HavDialog::kRadCompr, 1);
    act(v, HavDialog::kRadCompr, UserAction::Change);
    v.SetText(HavDialog::kEdKFM, "12");
    act(v, HavDialog::kEdKFM, UserAction::Change);
    act(v, HavDialog::kBtnOK, UserAction::Click);
  });
  EXPECT_TRUE(RunDlg(o));
  before.havCodec = 0;
  before.havKeyFrameRate = 12;
  EXPECT_TRUE(Same(o, before));
}

TEST_F(FormatDialogs, MpegPresetsAndRates) {
  // The options of a fresh job (the captions are the logic tests' to check).
  QSaveOpts o = OptsFor(kFmtMPEG);
  QSaveOpts before = o;
  Drive([&](DialogView& v, Act act) {
    EXPECT_EQ(v.Caption(), "MPEG Compression");
    EXPECT_EQ(Items(v, MpegDialog::kLstPresets).size(), 7u);
    EXPECT_EQ(v.Selected(MpegDialog::kLstPresets), -1);
    EXPECT_TRUE(v.Checked(MpegDialog::kRadMpeg1));
    EXPECT_EQ(v.Text(MpegDialog::kEdBits), "1125");
    EXPECT_EQ(v.Text(MpegDialog::kEdBytes), "140");
    v.SetText(MpegDialog::kEdBytes, "100");
    act(v, MpegDialog::kEdBytes, UserAction::Change);
    act(v, MpegDialog::kEdBytes, UserAction::Leave);
    EXPECT_EQ(v.Text(MpegDialog::kEdBits), "800");
    v.SetText(MpegDialog::kEdBits, "200000");
    act(v, MpegDialog::kEdBits, UserAction::Leave);
    EXPECT_EQ(v.Text(MpegDialog::kEdBits), "102400");
    EXPECT_EQ(v.Text(MpegDialog::kEdBytes), "12800");
    v.SetSelected(MpegDialog::kLstPresets, 3);
    act(v, MpegDialog::kLstPresets, UserAction::Change);
    EXPECT_EQ(v.Text(MpegDialog::kEdBits), "2400");
    EXPECT_FALSE(v.Enabled(MpegDialog::kEdBits));
    EXPECT_FALSE(v.Enabled(MpegDialog::kEdBytes));
    v.SetChecked(MpegDialog::kRadMpeg2, true);
    act(v, MpegDialog::kRadMpeg2, UserAction::Click);
    act(v, MpegDialog::kBtnOK, UserAction::Click);
  });
  EXPECT_TRUE(RunDlg(o));
  before.mpegCodec = 2;
  before.mpegDataRate = 2400;
  EXPECT_TRUE(Same(o, before)) << o.mpegCodec << " " << o.mpegDataRate;
}

// ---------------------------------------------------------------- MP4 and WebM

// The extension formats switched on for one test.
struct ExtFormats {
  ExtFormats() { VekExtSetFormats(1); }
  ~ExtFormats() { VekExtSetFormats(0); }
};

TEST_F(FormatDialogs, Mp4AndWebmThroughTheCodecExport) {
  ExtFormats on;
  for (auto [format, title] : {std::pair{kFmtMP4, "MP4 Settings"}, {kFmtWEBM, "WebM Settings"}}) {
    SCOPED_TRACE(title);
    VekJob* job = VekAlloc();
    ASSERT_NE(job, nullptr);
    int32_t q0 = 0, r0 = 0, k0 = 0;
    ASSERT_EQ(VekGetVideoFormat(job, format, 64, 48, 24, nullptr, &q0, &r0, &k0), VEK_STATUS_OK);
    std::string shown_quality;
    Drive([&](DialogView& v, Act act) {
      EXPECT_EQ(v.Caption(), title);
      shown_quality = v.Text(VideoDialog::kLabQualityValue);
      v.SetPosition(VideoDialog::kBarQuality, 40);
      act(v, VideoDialog::kBarQuality, UserAction::Change);
      EXPECT_EQ(v.Text(VideoDialog::kLabQualityValue), "40%");
      v.SetText(VideoDialog::kEdRate, "2400");
      act(v, VideoDialog::kEdRate, UserAction::Change);
      act(v, VideoDialog::kEdRate, UserAction::Leave);
      v.SetText(VideoDialog::kEdKey, "abc");
      act(v, VideoDialog::kEdKey, UserAction::Leave);
      EXPECT_EQ(v.Text(VideoDialog::kEdKey), std::to_string(k0));  // no number: as it was
      v.SetText(VideoDialog::kEdKey, "75");
      act(v, VideoDialog::kEdKey, UserAction::Change);
      act(v, VideoDialog::kBtnOK, UserAction::Click);
    });
    EXPECT_EQ(VekCodecDlg(job, format, 64, 48, 24), -1);
    EXPECT_EQ(shown_quality, std::to_string(q0) + "%");
    int32_t q = 0, rate = 0, key = 0;
    ASSERT_EQ(VekGetVideoFormat(job, format, 64, 48, 24, nullptr, &q, &rate, &key), VEK_STATUS_OK);
    EXPECT_EQ(q, 40);
    EXPECT_EQ(rate, 2400 / 8);  // hosts read kilobytes per second
    EXPECT_EQ(key, 75);
    // Cancel after changes leaves the job as it was.
    const VekJob before = *job;
    Drive([&](DialogView& v, Act act) {
      v.SetPosition(VideoDialog::kBarQuality, 3);
      act(v, VideoDialog::kBarQuality, UserAction::Change);
      v.SetText(VideoDialog::kEdRate, "9");
      act(v, VideoDialog::kEdRate, UserAction::Leave);
      act(v, VideoDialog::kBtnCancel, UserAction::Click);
    });
    EXPECT_EQ(VekCodecDlg(job, format, 64, 48, 24), 0);
    EXPECT_EQ(std::memcmp(&before, job, sizeof before), 0);
    VekFree(job);
  }
  // Switched off, the ids name no format: the export refuses without a window.
  VekExtSetFormats(0);
  VekJob* job = VekAlloc();
  Drive([&](DialogView& v, Act act) {
    ADD_FAILURE() << "a dialog opened: " << v.Caption();
    act(v, VideoDialog::kBtnCancel, UserAction::Click);
  });
  EXPECT_EQ(VekCodecDlg(job, kFmtMP4, 64, 48, 24), 0);
  VekFree(job);
}

// ---------------------------------------------------------------- AVI

class AviDialogs : public FormatDialogs {
 protected:
  void SetUp() override {
    FormatDialogs::SetUp();
    if (IsSkipped()) return;
    AviSettingsSelect(FourCC("cvid"));
  }
};

int LineOf(DialogView& v, const std::string& text) {
  const auto items = Items(v, AviDialog::kLstCodecs);
  for (size_t i = 0; i < items.size(); ++i)
    if (items[i] == text) return int(i);
  return -1;
}

TEST_F(AviDialogs, FiltersAndAChoiceWithoutQuality) {
  QSaveOpts o = OptsFor(kFmtAVI);
  QAviCodec mrle{};
  const QAviCodec* cat = nullptr;
  const int32_t n = AviCodecsQuery(&cat, 0, 0, 0);
  for (int32_t i = 0; i < n; ++i)
    if (cat[i].handler == FourCC("MRLE")) mrle = cat[i];
  ASSERT_EQ(mrle.handler, FourCC("MRLE"));
  Drive([&](DialogView& v, Act act) {
    EXPECT_EQ(v.Caption(), "Select AVI Video Format");
    EXPECT_EQ(v.Text(AviDialog::kLabInRes), "320x240, 24-bit");
    EXPECT_EQ(v.Text(AviDialog::kLabFCC), "cvid,  64697663h");
    EXPECT_EQ(v.Text(AviDialog::kLabEncode), "Yes");
    EXPECT_FALSE(v.Enabled(AviDialog::kBtnAbout));  // no boxes on this platform
    EXPECT_FALSE(v.Enabled(AviDialog::kBtnConfig));
    // Microsoft RLE takes 8-bit frames only: not among the compatible ones.
    EXPECT_EQ(LineOf(v, mrle.description), -1);
    v.SetSelected(AviDialog::kLstWhat, 2);
    act(v, AviDialog::kLstWhat, UserAction::Change);
    const int line = LineOf(v, mrle.description);
    ASSERT_GE(line, 0);
    v.SetSelected(AviDialog::kLstCodecs, line);
    act(v, AviDialog::kLstCodecs, UserAction::Change);
    EXPECT_FALSE(v.Enabled(AviDialog::kBarQuality));
    EXPECT_EQ(v.Position(AviDialog::kBarQuality), 0);
    EXPECT_EQ(v.Text(AviDialog::kLabQuality), "0%");
    EXPECT_EQ(v.Text(AviDialog::kLabOutRes), "not supported");
    act(v, AviDialog::kBtnOK, UserAction::Click);
  });
  EXPECT_TRUE(RunDlg(o));
  EXPECT_TRUE(ErrNone()) << ErrMsgLast();
  EXPECT_EQ(o.avi.handler, FourCC("MRLE"));
  EXPECT_EQ(o.avi.quality, 0);
  QAviCodec cur{};
  AviSettingsGet(cur);
  EXPECT_EQ(cur.handler, FourCC("MRLE"));
  EXPECT_EQ(cur.quality, 0);
  EXPECT_EQ(FFSaveCodecName(o), "(MRLE) Microsoft RLE");
}

TEST_F(AviDialogs, KeyFramesQualityAndCancelKeepsEverything) {
  QSaveOpts o = OptsFor(kFmtAVI);
  o.avi.keyFrameRate = 10;
  o.avi.dataRate = 300;
  Drive([&](DialogView& v, Act act) {
    EXPECT_TRUE(v.Checked(AviDialog::kChkKFM));
    EXPECT_EQ(v.Text(AviDialog::kEdKFM), "10");  // the job's values, on its codec
    EXPECT_EQ(v.Text(AviDialog::kEdDataRate), "300");
    EXPECT_TRUE(v.Enabled(AviDialog::kBarQuality));  // Cinepak takes a quality, 75 by default
    EXPECT_EQ(v.Text(AviDialog::kLabQuality), "75%");
    v.SetChecked(AviDialog::kChkKFM, false);
    act(v, AviDialog::kChkKFM, UserAction::Change);
    EXPECT_FALSE(v.Enabled(AviDialog::kEdKFM));
    act(v, AviDialog::kBtnOK, UserAction::Click);
  });
  EXPECT_TRUE(RunDlg(o));
  EXPECT_EQ(o.avi.handler, FourCC("cvid"));
  EXPECT_EQ(o.avi.keyFrameRate, 0);
  EXPECT_EQ(o.avi.quality, 75);
  EXPECT_EQ(o.avi.dataRate, 300);

  // Motion JPEG takes a quality.
  FFSaveSetCodec(o, static_cast<int32_t>(FourCC("MJPG")));
  Drive([&](DialogView& v, Act act) {
    EXPECT_TRUE(v.Enabled(AviDialog::kBarQuality));
    EXPECT_FALSE(v.Enabled(AviDialog::kChkKFM));
    v.SetPosition(AviDialog::kBarQuality, 33);
    act(v, AviDialog::kBarQuality, UserAction::Change);
    EXPECT_EQ(v.Text(AviDialog::kLabQuality), "33%");
    act(v, AviDialog::kBtnOK, UserAction::Click);
  });
  EXPECT_TRUE(RunDlg(o));
  EXPECT_EQ(o.avi.handler, FourCC("MJPG"));
  EXPECT_EQ(o.avi.quality, 33);

  QAviCodec before{};
  AviSettingsGet(before);
  const QSaveOpts kept = o;
  g_answer = 1;
  Drive([&](DialogView& v, Act act) {
    v.SetSelected(AviDialog::kLstWhat, 2);
    act(v, AviDialog::kLstWhat, UserAction::Change);
    v.SetSelected(AviDialog::kLstCodecs, 0);
    act(v, AviDialog::kLstCodecs, UserAction::Change);
    act(v, AviDialog::kButton1, UserAction::Click);  // "System Defaults...", Yes
    act(v, AviDialog::kBtnCancel, UserAction::Click);
  });
  EXPECT_FALSE(RunDlg(o));
  EXPECT_TRUE(ErrNone());
  ASSERT_EQ(g_asked.size(), 1u);
  EXPECT_EQ(g_asked[0], "Do you want to reload system default settings? This will affect all AVI codecs.");
  EXPECT_TRUE(Same(o, kept));
  QAviCodec after{};
  AviSettingsGet(after);
  EXPECT_EQ(after.handler, before.handler);
  EXPECT_EQ(after.quality, before.quality);
  EXPECT_EQ(after.key_frame_every, before.key_frame_every);
}

TEST_F(AviDialogs, SelectVCPicksAUsableCodec) {
  // The user confirms a codec that cannot take 8-bit frames: not usable.
  Drive([&](DialogView& v, Act act) { act(v, AviDialog::kBtnOK, UserAction::Click); });
  const bool usable = MonitoredBoundary("test", [] { return AviSelectVC(320, 240, 24); });
  EXPECT_TRUE(usable);
  // No compatible codec for such frames except uncompressed ones: the
  // "compatible" list still offers those.
  std::vector<std::string> lines;
  Drive([&](DialogView& v, Act act) {
    lines = Items(v, AviDialog::kLstCodecs);
    act(v, AviDialog::kBtnCancel, UserAction::Click);
  });
  EXPECT_FALSE(MonitoredBoundary("test", [] { return AviSelectVC(3, 3, 8); }));
  EXPECT_FALSE(lines.empty());
}

TEST_F(FormatDialogs, CodecDialogExport) {
  VekJob* job = VekAlloc();
  ASSERT_NE(job, nullptr);
  Drive([&](DialogView& v, Act act) {
    EXPECT_EQ(v.Caption(), "TIFF Compression");
    v.SetSelected(ChoiceDialog::kRadOpt, 1);
    act(v, ChoiceDialog::kRadOpt, UserAction::Change);
    act(v, ChoiceDialog::kBtnOK, UserAction::Click);
  });
  EXPECT_EQ(VekCodecDlg(job, kFmtTIFF, 64, 48, 24), -1);
  VekLastError e{};
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(job->saveOpts.tiffCompression, 7);
  EXPECT_EQ(job->saveOpts.format, kFmtTIFF);
  // Cancel: the export answers 0 without an error.
  Drive([&](DialogView& v, Act act) { act(v, ChoiceDialog::kBtnCancel, UserAction::Click); });
  EXPECT_EQ(VekCodecDlg(job, kFmtTIFF, 64, 48, 24), 0);
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(job->saveOpts.tiffCompression, 7);
  // A format without settings is an error of the export.
  EXPECT_EQ(VekCodecDlg(job, kFmtBMP, 64, 48, 24), 0);
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 1000);
  EXPECT_EQ(e.group, kGrpGeneral);
  EXPECT_EQ(e.code, kGenNotSupported);
  VekFree(job);
}

// Real input: xdotool clicks the second option and "OK".
TEST_F(FormatDialogs, XdotoolClicks) {
  if (access("/usr/bin/xdotool", X_OK) != 0) GTEST_SKIP() << "xdotool is not installed";
  Undrive();
  QSaveOpts o = OptsFor(kFmtTGA);
  ChoiceDesc d = ChoiceFor(o);
  ChoiceDialog probe(d);
  const toolkit::DialogSpec spec = probe.Layout();
  const auto& grp = spec.controls[0];
  const auto& ok = spec.controls[1];
  // The second radio row of the group, and the middle of "OK".
  const int rx = grp.x + 20, ry = grp.y + 21 + 22 + 10;
  const int ox = ok.x + ok.w / 2, oy = ok.y + ok.h / 2;
  const pid_t child = fork();
  if (child == 0) {
    alarm(20);
    const std::string cmd =
        "timeout 15 xdotool search --sync --name '^TGA Compression$' sleep 0.5 "
        "mousemove --window %1 " + std::to_string(rx) + " " + std::to_string(ry) + " click 1 sleep 0.3 "
        "mousemove --window %1 " + std::to_string(ox) + " " + std::to_string(oy) + " click 1";
    const int r = std::system(cmd.c_str());
    if (r != 0) std::system("timeout 5 xdotool search --name '^TGA Compression$' key --window %1 Escape");
    _exit(r == 0 ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  alarm(30);  // a dialog nobody closes ends the test program, not the suite's time
  const bool confirmed = RunDlg(o);
  alarm(0);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(confirmed);
  EXPECT_EQ(o.tgaCodec, 0);
}

}  // namespace
}  // namespace vek::ui

namespace vek::ui {
namespace {

// Every dialog as a picture: into $VEK_SCREENSHOT_DIR when set (the project
// keeps them in docs/screenshots), else into the test's temporary folder.
TEST(Screenshots, EveryFormatDialog) {
  if (!toolkit::DisplayAvailable()) GTEST_SKIP() << "no X display (set DISPLAY or install Xvfb)";
  const char* dir_env = std::getenv("VEK_SCREENSHOT_DIR");
  const std::string dir = dir_env && *dir_env ? std::string(dir_env) + "/" : ::testing::TempDir();
  struct Shot {
    int32_t format;
    const char* file;
  } shots[] = {{kFmtTGA, "option_tga.png"},   {kFmtTIFF, "option_tiff.png"}, {kFmtSGI, "option_sgi.png"},
               {kFmtRAS, "option_ras.png"},   {kFmtPNM, "option_pnm.png"},   {kFmtJPEG, "option_jpeg.png"},
               {kFmtPNG, "option_png.png"},   {kFmtHAV, "option_hav.png"},   {kFmtMPEG, "option_mpeg.png"},
               {kFmtAVI, "avi_codecs.png"},   {kFmtGIF, "option_gif.png"}};
  VekExtSetFormats(-1);  // GIF's writing row
  for (const Shot& s : shots) {
    SCOPED_TRACE(s.file);
    QSaveOpts o = OptsFor(s.format);
    const std::string path = dir + s.file;
    bool saved = false;
    Drive([&](DialogView& v, Act act) {
      if (s.format == kFmtMPEG) {
        v.SetSelected(MpegDialog::kLstPresets, 3);
        act(v, MpegDialog::kLstPresets, UserAction::Change);
      }
      saved = toolkit::SaveWindowPng(v, path);
      act(v, ChoiceDialog::kBtnCancel, UserAction::Click);
      v.Close(2);
    });
    RunDlg(o);
    EXPECT_TRUE(saved);
  }
  VekExtSetFormats(0);
  {
    ExtFormats on;
    for (auto [format, file] : {std::pair{kFmtMP4, "option_mp4.png"}, {kFmtWEBM, "option_webm.png"}}) {
      QSaveOpts o = OptsFor(format);
      bool saved = false;
      Drive([&](DialogView& v, Act) {
        saved = toolkit::SaveWindowPng(v, dir + file);
        v.Close(2);
      });
      RunDlg(o);
      EXPECT_TRUE(saved) << file;
    }
  }
  // The AVI dialog with every codec listed and one without quality chosen.
  bool saved = false;
  AviSettingsSelect(FourCC("MRLE"));
  Drive([&](DialogView& v, Act act) {
    v.SetSelected(AviDialog::kLstWhat, 2);
    act(v, AviDialog::kLstWhat, UserAction::Change);
    saved = toolkit::SaveWindowPng(v, dir + "avi_all_codecs.png");
    v.Close(2);
  });
  MonitoredBoundary("test", [] { return AviSelectVC(321, 240, 8); });
  EXPECT_TRUE(saved);
  Undrive();
}

}  // namespace
}  // namespace vek::ui

// Under the leak checker: fontconfig keeps its font caches for the life of
// the process, which the toolkit's fonts fill.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
