// The AVI module's side of the codec dialog: the installed dialog, the job's
// choice made current only on "OK", the codec boxes this platform lacks.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/save_options.h"
#include "formats/format_descriptor.h"
#include "formats/movie/avi.h"
#include "foundation/errors.h"
#include "ui/option_dialogs.h"

namespace vek {
namespace {

// A dialog that picks `g_pick` with fixed values, or refuses.
uint32_t g_pick = 0;
int g_calls = 0;
bool PickingDialog(int32_t, int32_t, int32_t) {
  ++g_calls;
  if (g_pick == 0) return false;
  QAviCodec rec{};
  AviSettingsSelect(g_pick);
  AviSettingsGet(rec);
  AviSettingsSet(rec);
  AviSettingsSetQuality(55);
  AviSettingsSetKeyFrameEvery(7);
  AviSettingsSetDataRate(99);
  return true;
}

class AviHooks : public ::testing::Test {
 protected:
  void SetUp() override {
    AviSettingsSelect(FourCC("cvid"));
    AviSetDialog(PickingDialog);
    g_calls = 0;
    ErrClear();
  }
  void TearDown() override { ui::InstallFormatDialogs(); }
};

TEST_F(AviHooks, JobChoiceChangesOnlyOnOk) {
  QSaveOpts o;
  FFSaveReset(o);
  FFSaveSetFormat(o, kFmtAVI);
  FFSaveSetCodec(o, static_cast<int32_t>(FourCC("MJPG")));
  const QSaveOpts before = o;
  g_pick = 0;  // Cancel
  EXPECT_FALSE(AviSelectVCFor(o.avi, 320, 240, 24));
  EXPECT_EQ(std::memcmp(&o, &before, sizeof o), 0);
  QAviCodec cur{};
  AviSettingsGet(cur);
  EXPECT_EQ(cur.handler, FourCC("cvid"));  // the job's codec was shown, then put back

  g_pick = FourCC("MSVC");
  EXPECT_TRUE(AviSelectVCFor(o.avi, 320, 240, 24));
  EXPECT_EQ(o.avi.handler, FourCC("MSVC"));
  EXPECT_EQ(o.avi.quality, 55);
  EXPECT_EQ(o.avi.keyFrameRate, 7);
  EXPECT_EQ(o.avi.dataRate, 99);
  AviSettingsGet(cur);
  EXPECT_EQ(cur.handler, FourCC("MSVC"));
  EXPECT_EQ(cur.key_frame_every, 7);
  // The catalogue entry keeps the values too.
  const QAviCodec* cat = nullptr;
  const int32_t n = AviCodecsQuery(&cat, 0, 0, 0);
  for (int32_t i = 0; i < n; ++i) {
    if (cat[i].handler == FourCC("MSVC")) {
      EXPECT_EQ(cat[i].data_rate, 99);
    }
  }
}

TEST_F(AviHooks, SetVcAsksTheUserBeforeFallingBack) {
  // Microsoft RLE takes no 24-bit frames: the user picks Motion JPEG.
  AviSettingsSelect(FourCC("MRLE"));
  g_pick = FourCC("MJPG");
  AviSetVC(320, 240, 24, true);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(g_calls, 1);
  QAviCodec cur{};
  AviSettingsGet(cur);
  EXPECT_EQ(cur.handler, FourCC("MJPG"));
  // A refusal falls back to Cinepak; without the dialog allowed nobody is asked.
  AviSettingsSelect(FourCC("MRLE"));
  g_pick = 0;
  AviSetVC(320, 240, 24, true);
  AviSettingsGet(cur);
  EXPECT_EQ(cur.handler, FourCC("cvid"));
  AviSettingsSelect(FourCC("MRLE"));
  AviSetVC(320, 240, 24, false);
  EXPECT_EQ(g_calls, 2);
  // A choice that cannot take the frames is no usable choice.
  AviSettingsSelect(FourCC("cvid"));
  g_pick = FourCC("MRLE");
  EXPECT_FALSE(MonitoredBoundary("test", [] { return AviSelectVC(320, 240, 24); }));
  EXPECT_TRUE(ErrNone());
}

TEST_F(AviHooks, NoDialogAndNoCodecBoxes) {
  AviSetDialog(nullptr);
  EXPECT_FALSE(MonitoredBoundary("test", [] { return AviSelectVC(320, 240, 24); }));
  EXPECT_EQ(ErrGroup(), kGrpAvi);
  EXPECT_EQ(ErrCode(), kAviInitCodec);
  ErrClear();
  // Codecs here have no about box or configuration dialog: the codec
  // interface's answer, not a pretended success.
  MonitoredBoundary("test", [] { AviCodecAbout(FourCC("cvid")); });
  EXPECT_EQ(ErrGroup(), kGrpVfw);
  ErrClear();
  QAviCodec rec{};
  AviSettingsGet(rec);
  MonitoredBoundary("test", [&] { AviCodecConfigure(rec); });
  EXPECT_EQ(ErrGroup(), kGrpVfw);
  ErrClear();
  rec.handler = FourCC("zzzz");
  MonitoredBoundary("test", [&] { AviCodecConfigure(rec); });
  EXPECT_EQ(ErrGroup(), kGrpVfw);
  ErrClear();
}

TEST_F(AviHooks, SettingsSetKeepsItsOwnState) {
  QAviCodec rec{};
  const QAviCodec* cat = nullptr;
  const int32_t n = AviCodecsQuery(&cat, 0, 0, 0);
  for (int32_t i = 0; i < n; ++i)
    if (cat[i].handler == FourCC("MJPG")) rec = cat[i];
  ASSERT_EQ(rec.handler, FourCC("MJPG"));
  ASSERT_GT(rec.state_size, 0);
  AviSettingsSet(rec);
  AviCodecsInit();  // frees the catalogue the record pointed into
  QAviCodec cur{};
  AviSettingsGet(cur);
  EXPECT_EQ(cur.handler, FourCC("MJPG"));
  ASSERT_NE(cur.state, nullptr);
  EXPECT_NE(cur.state, rec.state);
  AviSettingsSet(cur);  // its own block again
  QAviCodec again{};
  AviSettingsGet(again);
  EXPECT_EQ(again.state, cur.state);
  // The uncompressed entry under any of its names.
  rec = QAviCodec{};
  rec.handler = FourCC("RGB ");
  AviSettingsSet(rec);
  EXPECT_TRUE(AviSettingsUncompressed());
  AviSettingsGet(cur);
  EXPECT_EQ(cur.handler, FourCC("DIB "));
}

}  // namespace
}  // namespace vek
