// The format option dialogs' logic, driven through a view without a window.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "engine/save_options.h"
#include "formats/format_descriptor.h"
#include "foundation/errors.h"
#include "ui/option_dialogs.h"
#include "ui_formats/fake_view.h"
#include "formats/movie/avi.h"
#include "formats/movie/mpeg.h"
#include "platform/toolkit/toolkit.h"
#include "vek/vek.h"

namespace vek::ui {
namespace {

using testing::FakeView;

QSaveOpts OptsFor(int32_t format) {
  QSaveOpts o;
  FFSaveReset(o);
  FFSaveSetFormat(o, format);
  return o;
}

std::vector<std::string> Texts(const ChoiceDesc& d) { return {d.texts, d.texts + d.count}; }
std::vector<int32_t> Values(const ChoiceDesc& d) { return {d.values, d.values + d.count}; }

TEST(ChoiceDialogs, OptionSetsOfTheFormats) {
  const ChoiceDesc tga = ChoiceFor(OptsFor(kFmtTGA));
  EXPECT_EQ(tga.title, "TGA Compression");
  EXPECT_EQ(Texts(tga), (std::vector<std::string>{"RLE Compressed", "Uncompressed"}));
  EXPECT_EQ(Values(tga), (std::vector<int32_t>{1, 0}));
  EXPECT_EQ(tga.current, 1);
  EXPECT_EQ(ChoiceFor(OptsFor(kFmtSGI)).title, "SGI Compression");
  EXPECT_EQ(Texts(ChoiceFor(OptsFor(kFmtSGI))), Texts(tga));
  EXPECT_EQ(ChoiceFor(OptsFor(kFmtRAS)).title, "RAS Compression");
  EXPECT_EQ(Values(ChoiceFor(OptsFor(kFmtRAS))), Values(tga));
  const ChoiceDesc pnm = ChoiceFor(OptsFor(kFmtPNM));
  EXPECT_EQ(pnm.title, "PNM Format");
  EXPECT_EQ(Texts(pnm), (std::vector<std::string>{"Binary Encoded", "ASCII Encoded"}));
  EXPECT_EQ(Values(pnm), (std::vector<int32_t>{0, 1}));
  const ChoiceDesc tif = ChoiceFor(OptsFor(kFmtTIFF));
  EXPECT_EQ(tif.title, "TIFF Compression");
  EXPECT_EQ(Texts(tif), (std::vector<std::string>{"PackBits (Macintosh RLE)", "JPEG DCT", "Deflate (ZIP)",
                                                  "LZW Compressed", "Uncompressed"}));
  EXPECT_EQ(Values(tif), (std::vector<int32_t>{32773, 7, 32946, 5, 1}));
  EXPECT_EQ(tif.current, 1);

  // The chosen value lands in its own field and nowhere else.
  QSaveOpts o = OptsFor(kFmtSGI);
  const QSaveOpts before = o;
  ChoiceDesc d = ChoiceFor(o);
  d.current = 0;
  StoreChoice(o, d);
  EXPECT_EQ(o.sgiCodec, 0);
  o.sgiCodec = before.sgiCodec;
  EXPECT_EQ(std::memcmp(&o, &before, sizeof o), 0);
}

TEST(ChoiceDialogs, SelectsTheCurrentValueAndSizesToTheTexts) {
  ChoiceDesc d = ChoiceFor(OptsFor(kFmtTIFF));
  d.current = 5;
  {
    ChoiceDialog logic(d);
    FakeView v(logic);
    v.Open();
    EXPECT_EQ(v.spec().caption, "TIFF Compression");
    auto& rad = v.At(ChoiceDialog::kRadOpt);
    ASSERT_EQ(rad.items.size(), 5u);
    EXPECT_EQ(rad.items[rad.selected], "LZW Compressed");
    // Taller than a group of two, and as wide as the widest text plus 50.
    ChoiceDesc two = ChoiceFor(OptsFor(kFmtTGA));
    ChoiceDialog small(two);
    EXPECT_GT(rad.spec.h, FakeView(small).At(ChoiceDialog::kRadOpt).spec.h);
    EXPECT_GT(rad.spec.w, 50 + 20 * 7);
    const auto& ok = v.At(ChoiceDialog::kBtnOK).spec;
    EXPECT_GE(ok.x, rad.spec.x + rad.spec.w);
    EXPECT_LE(ok.x + ok.w, v.spec().width);
    EXPECT_GE(v.spec().height, rad.spec.y + rad.spec.h);
    v.Choose(ChoiceDialog::kRadOpt, 2);
    v.Click(ChoiceDialog::kBtnOK);
    EXPECT_EQ(v.closed(), 1);
    EXPECT_EQ(d.current, 32946);
  }
  d.current = 12345;  // no option has it: the first one
  {
    ChoiceDialog logic(d);
    FakeView v(logic);
    v.Open();
    EXPECT_EQ(v.At(ChoiceDialog::kRadOpt).selected, 0);
    v.Choose(ChoiceDialog::kRadOpt, 3);
    v.Click(ChoiceDialog::kBtnCancel);
    EXPECT_EQ(v.closed(), 2);
    EXPECT_EQ(d.current, 12345);
  }
  // A count beyond five is cut.
  ChoiceDesc two = ChoiceFor(OptsFor(kFmtTGA));
  two.count = 9;
  ChoiceDialog logic9(two);
  FakeView v9(logic9);
  v9.Open();
  EXPECT_EQ(v9.At(ChoiceDialog::kRadOpt).items.size(), 5u);
}

TEST(SliderDialogs, CtlSliderArithmetic) {
  Slider png(0, 9, 1, 1, 0);
  EXPECT_EQ(png.ScrollMax(), 9);
  EXPECT_EQ(png.LargeChange(), 1);
  png.SetValue(7);
  EXPECT_EQ(png.Position(), 7);
  png.SetValue(12);
  EXPECT_EQ(png.Value(), 9);
  Slider jpeg(0, 100, 1, 10, 0);
  EXPECT_EQ(jpeg.LargeChange(), 10);
  // A step that does not divide the range and two decimals.
  Slider s(10, 20, 0.5, 2, 2);
  EXPECT_EQ(s.ScrollMax(), 20);
  EXPECT_EQ(s.LargeChange(), 4);
  s.SetValue(12.3);
  EXPECT_EQ(s.Position(), 4);  // 2.3 x 20 / 10 = 4.6, truncated
  s.SetPosition(5);
  EXPECT_DOUBLE_EQ(s.Value(), 12.5);
  EXPECT_EQ(s.Text(), "12.50");
  Slider t(0, 1, 0.1, 0.3, 1);
  t.SetValue(0.3);
  EXPECT_EQ(t.Position(), 3);  // not 2: 0.3 x 10 is a hair below 3 in doubles
  Slider flat(5, 5, 1, 1, 0);
  EXPECT_FALSE(flat.Enabled());
  flat.SetValue(8);
  EXPECT_EQ(flat.Value(), 5);
  EXPECT_EQ(flat.Position(), 0);
}

TEST(SliderDialogs, PngLevelAndJpegQuality) {
  QSaveOpts o = OptsFor(kFmtPNG);
  SliderDesc d = SliderFor(o);
  EXPECT_EQ(d.title, "PNG Compression Level");
  EXPECT_EQ(d.value, 7);
  SliderDialog logic(d);
  FakeView v(logic);
  v.Open();
  auto& bar = v.At(SliderDialog::kScrollBar1);
  EXPECT_EQ(bar.maximum, 9);
  EXPECT_EQ(bar.position, 7);
  EXPECT_EQ(bar.line, 1);
  EXPECT_TRUE(bar.enabled);
  EXPECT_EQ(v.Text(SliderDialog::kEdValue), "7");
  EXPECT_TRUE(v.At(SliderDialog::kEdValue).spec.read_only);
  v.Move(SliderDialog::kScrollBar1, 3);
  EXPECT_EQ(v.Text(SliderDialog::kEdValue), "3");
  v.Click(SliderDialog::kBtnOK);
  StoreSlider(o, d);
  EXPECT_EQ(o.pngLevel, 3);

  QSaveOpts j = OptsFor(kFmtJPEG);
  SliderDesc dj = SliderFor(j);
  EXPECT_EQ(dj.title, "JPEG Quality");
  SliderDialog lj(dj);
  FakeView vj(lj);
  vj.Open();
  EXPECT_EQ(vj.At(SliderDialog::kScrollBar1).maximum, 100);
  EXPECT_EQ(vj.At(SliderDialog::kScrollBar1).page, 10);
  EXPECT_EQ(vj.At(SliderDialog::kScrollBar1).position, 85);
  vj.Move(SliderDialog::kScrollBar1, 40);
  vj.Click(SliderDialog::kBtnCancel);
  EXPECT_EQ(dj.value, 85);
}

TEST(HavDialogs, CodecAndKeyFrames) {
  QSaveOpts o = OptsFor(kFmtHAV);
  o.havCodec = 0;
  HavDesc d = HavFor(o);
  EXPECT_EQ(d.title, "HAV Settings");
  HavDialog logic(d);
  FakeView v(logic);
  v.Open();
  const auto& rad = v.At(HavDialog::kRadCompr);
  EXPECT_EQ(rad.spec.caption, "Compression Method");
  EXPECT_EQ(rad.items, (std::vector<std::string>{"FAST Codec", "BEST Codec"}));
  EXPECT_EQ(rad.selected, 1);
  EXPECT_EQ(v.Text(HavDialog::kEdKFM), "25");
  EXPECT_EQ(v.Text(HavDialog::kLabKFM), "Key frame every");
  EXPECT_EQ(v.Text(HavDialog::kLabFrames), "frame(s)");
  v.Choose(HavDialog::kRadCompr, 0);
  v.TypeAndLeave(HavDialog::kEdKFM, "-4");
  v.Click(HavDialog::kBtnOK);
  EXPECT_EQ(d.codec, 1);
  EXPECT_EQ(d.key_frames, 0);
  StoreHav(o, d);
  EXPECT_EQ(o.havCodec, 1);
  EXPECT_EQ(o.havKeyFrameRate, 0);

  // Letters keep the interval; an unknown codec opens on the first option.
  HavDesc e = HavFor(OptsFor(kFmtHAV));
  e.codec = 7;
  HavDialog l2(e);
  FakeView v2(l2);
  v2.Open();
  EXPECT_EQ(v2.At(HavDialog::kRadCompr).selected, 0);
  v2.Type(HavDialog::kEdKFM, "ten");
  v2.Click(HavDialog::kBtnOK);
  EXPECT_EQ(e.key_frames, 25);
  EXPECT_EQ(e.codec, 1);
}

// A fresh job opens the dialog at the MPEG-1 standard rate; a rate a host
// sets comes back from the catalogue as it was set, and shows as its kilobits.
TEST(MpegDialogs, FreshJobAndHostRates) {
  VekJob* job = VekAlloc();
  ASSERT_NE(job, nullptr);
  VekSetOutputFile(job, "clip.mpg", nullptr);
  ASSERT_EQ(job->saveOpts.format, kFmtMPEG);
  MpegDesc fresh = MpegFor(job->saveOpts);
  EXPECT_EQ(fresh.bit_rate, 1125);
  {
    MpegDialog logic(fresh);
    FakeView v(logic);
    v.Open();
    EXPECT_EQ(v.Text(MpegDialog::kEdBits), "1125");
    EXPECT_EQ(v.Text(MpegDialog::kEdBytes), "140");
    // "MPEG-1 Standard" is the rate it opened with.
    v.Choose(MpegDialog::kLstPresets, 0);
    EXPECT_EQ(v.Text(MpegDialog::kEdBits), "1125");
    v.Click(MpegDialog::kBtnOK);
    EXPECT_EQ(fresh.bit_rate, 1125);
  }
  int32_t codec = 0, quality = 0, rate = 0, key = 0;
  EXPECT_EQ(VekGetVideoFormat(job, kFmtMPEG, 320, 240, 24, &codec, &quality, &rate, &key), VEK_STATUS_OK);
  EXPECT_EQ(codec, 1);
  EXPECT_EQ(rate, 140);  // kilobytes per second, as hosts set it
  for (int32_t set : {1, 300, 610, 12800}) {
    VekSetDataRate(job, kFmtMPEG, set);
    EXPECT_EQ(VekGetVideoFormat(job, kFmtMPEG, 320, 240, 24, &codec, &quality, &rate, &key), VEK_STATUS_OK);
    EXPECT_EQ(rate, set);
    EXPECT_EQ(MpegFor(job->saveOpts).bit_rate, set * 8);
  }
  // The stored kilobits reach the writer unchanged.
  FFSaveApply(job->saveOpts);
  EXPECT_EQ(MpgSetBitRate(kUndefined), 12800 * 8);
  VekFree(job);
  QSaveOpts reset = OptsFor(kFmtMPEG);
  FFSavePrepare(reset, 320, 240, 24);
  FFSaveApply(reset);
  EXPECT_EQ(MpgSetBitRate(kUndefined), 1125);
}

TEST(MpegDialogs, RatesPresetsAndEditRules) {
  QSaveOpts o = OptsFor(kFmtMPEG);
  MpegDesc d = MpegFor(o);
  EXPECT_EQ(d.title, "MPEG Compression");
  MpegDialog logic(d);
  FakeView v(logic);
  v.Open();
  const auto& presets = v.At(MpegDialog::kLstPresets);
  EXPECT_EQ(presets.items,
            (std::vector<std::string>{"MPEG-1 Standard", "MPEG-2 Standard", "28 kilobits/sec (modem)",
                                      "300 kilobytes/sec (CDROM x 2)", "600 kilobytes/sec (CDROM x 4)",
                                      "1200 kilobytes/sec (CDROM x 8)", "Custom"}));
  EXPECT_EQ(presets.selected, -1);
  EXPECT_TRUE(v.Checked(MpegDialog::kRadMpeg1));
  EXPECT_FALSE(v.Checked(MpegDialog::kRadMpeg2));
  EXPECT_EQ(v.At(MpegDialog::kRadMpeg1).spec.caption, "MPEG-1");
  EXPECT_EQ(v.At(MpegDialog::kRadMpeg2).spec.caption, "MPEG-2");
  for (auto [id, text] : {std::pair{MpegDialog::kLabBits, "Bit Rate"}, {MpegDialog::kLabBitsUnit, "kilobits/sec"},
                          {MpegDialog::kLabBytes, "Byte Rate"}, {MpegDialog::kLabBytesUnit, "kilobytes/sec"}})
    EXPECT_EQ(v.Text(id), text);
  EXPECT_EQ(v.Text(MpegDialog::kEdBits), "1125");
  EXPECT_EQ(v.Text(MpegDialog::kEdBytes), "140");

  v.TypeAndLeave(MpegDialog::kEdBytes, "100");
  EXPECT_EQ(v.Text(MpegDialog::kEdBits), "800");
  EXPECT_EQ(v.Text(MpegDialog::kEdBytes), "100");
  v.TypeAndLeave(MpegDialog::kEdBits, "200000");
  EXPECT_EQ(v.Text(MpegDialog::kEdBits), "102400");
  EXPECT_EQ(v.Text(MpegDialog::kEdBytes), "12800");
  v.TypeAndLeave(MpegDialog::kEdBits, "-3");
  EXPECT_EQ(v.Text(MpegDialog::kEdBits), "1");
  v.TypeAndLeave(MpegDialog::kEdBits, "12x");  // no number: the last rate again
  EXPECT_EQ(v.Text(MpegDialog::kEdBits), "1");
  v.TypeAndLeave(MpegDialog::kEdBytes, "99999999999999999999");
  EXPECT_EQ(v.Text(MpegDialog::kEdBits), "102400");

  v.Choose(MpegDialog::kLstPresets, 3);
  EXPECT_EQ(v.Text(MpegDialog::kEdBits), "2400");
  EXPECT_EQ(v.Text(MpegDialog::kEdBytes), "300");
  EXPECT_FALSE(v.Enabled(MpegDialog::kEdBits));
  EXPECT_FALSE(v.Enabled(MpegDialog::kEdBytes));
  v.Choose(MpegDialog::kLstPresets, 6);  // Custom
  EXPECT_TRUE(v.Enabled(MpegDialog::kEdBits));
  EXPECT_TRUE(v.Enabled(MpegDialog::kEdBytes));
  EXPECT_EQ(v.Text(MpegDialog::kEdBits), "2400");

  // A byte rate typed and confirmed at once is not lost.
  v.Click(MpegDialog::kRadMpeg2);
  v.Type(MpegDialog::kEdBytes, "50");
  v.Click(MpegDialog::kBtnOK);
  EXPECT_EQ(d.codec, 2);
  EXPECT_EQ(d.bit_rate, 400);
  StoreMpeg(o, d);
  EXPECT_EQ(o.mpegCodec, 2);
  EXPECT_EQ(o.mpegDataRate, 400);

  // A rate outside the range opens clamped; MPEG-2 ticks its own box.
  MpegDesc big{"MPEG Compression", 2, 1, 102400, 500000};
  MpegDialog l2(big);
  FakeView v2(l2);
  v2.Open();
  EXPECT_TRUE(v2.Checked(MpegDialog::kRadMpeg2));
  EXPECT_EQ(v2.Text(MpegDialog::kEdBits), "102400");
  v2.Click(MpegDialog::kBtnCancel);
  EXPECT_EQ(big.bit_rate, 500000);
}

TEST(FormatDialogs, FormatsWithoutSettingsRefuseSilently) {
  QSaveOpts o = OptsFor(kFmtBMP);
  EXPECT_EQ(o.dialog, 0);
  EXPECT_FALSE(MonitoredBoundary("test", [&] { return FFSaveDlg(o, 320, 240, 24); }));
  EXPECT_TRUE(ErrNone());
  for (int32_t id : {kFmtTGA, kFmtAVI, kFmtHAV, kFmtJPEG, kFmtPNG, kFmtTIFF, kFmtMPEG, kFmtSGI, kFmtRAS, kFmtPNM})
    EXPECT_EQ(OptsFor(id).dialog, -1) << id;
}

// The catalogue's own has-settings flag is a fixed answer to hosts, which is
// not the same set as the formats with a dialog: TGA, AVI, HAV, PNG, SGI, Sun
// raster and PNM say yes, every other id (also beyond the table) no.
TEST(FormatDialogs, CatalogueHasSettingsFlag) {
  for (int32_t id = -1; id <= 21; ++id) {
    const bool yes = id == 1 || id == 6 || id == 7 || id == 9 || id == 13 || id == 14 || id == 15;
    VekCodecsInit(id, 320, 240, 24);
    for (int32_t index : {1, 2}) {
      VekCodecInfo info;
      std::memset(&info, 0x5A, sizeof info);
      VekCodecsGetInfo(id, &info, index);
      EXPECT_EQ(info.hasSettings, yes ? -1 : 0) << "format " << id << " index " << index;
    }
  }
}

// The AVI dialog lists the catalogue by name: no two rows share one, so the
// user can tell MJPG from LJPG (and v210 from v210x); the first keeps the
// plain name.
TEST(FormatDialogs, AviCatalogueNamesTellCodecsApart) {
  const QAviCodec* cat = nullptr;
  const int32_t n = AviCodecsQuery(&cat, 0, 0, 0);
  ASSERT_GT(n, 1);
  // The long names the dialog lists, and the short ones the exports give.
  std::map<std::string, uint32_t> seen, short_seen;
  for (int32_t i = 0; i < n; ++i) {
    const std::string name(cat[i].description, strnlen(cat[i].description, sizeof cat[i].description));
    const auto [at, fresh] = seen.emplace(name, cat[i].handler);
    EXPECT_TRUE(fresh) << "\"" << name << "\" names two rows: " << at->second << ", " << cat[i].handler;
    const std::string short_name(cat[i].name, strnlen(cat[i].name, sizeof cat[i].name));
    EXPECT_TRUE(short_seen.emplace(short_name, cat[i].handler).second) << short_name;
  }
  EXPECT_TRUE(seen.count("Motion JPEG"));
  EXPECT_TRUE(seen.count("Motion JPEG (LJPG)"));
}

// Without a display every dialog says so, and nothing changes.
TEST(FormatDialogs, NoDisplayIsAClearError) {
#ifdef _WIN32
  _putenv("DISPLAY=");
#else
  unsetenv("DISPLAY");
#endif
  if (toolkit::DisplayAvailable()) GTEST_SKIP() << "a display is still open";
  for (int32_t id : {kFmtTGA, kFmtAVI, kFmtHAV, kFmtJPEG, kFmtPNG, kFmtTIFF, kFmtMPEG, kFmtSGI, kFmtRAS, kFmtPNM}) {
    QSaveOpts o = OptsFor(id);
    const QSaveOpts before = o;
    ErrClear();
    EXPECT_FALSE(MonitoredBoundary("test", [&] { return FFSaveDlg(o, 320, 240, 24); })) << id;
    EXPECT_EQ(ErrGroup(), kGrpText) << id;
    EXPECT_EQ(ErrText(), "No display available for dialogs.") << id;
    EXPECT_EQ(std::memcmp(&o, &before, sizeof o), 0) << id;
  }
  ErrClear();
  EXPECT_FALSE(MonitoredBoundary("test", [] { return AviSelectVC(320, 240, 24); }));
  EXPECT_EQ(ErrText(), "No display available for dialogs.");
  VekJob* job = VekAlloc();
  EXPECT_EQ(VekCodecDlg(job, kFmtPNG, 320, 240, 24), 0);
  VekLastError e{};
  VekGetLastError(&e);
  EXPECT_EQ(e.status, 1000);
  EXPECT_EQ(e.group, kGrpText);
  VekFree(job);
}

}  // namespace
}  // namespace vek::ui
