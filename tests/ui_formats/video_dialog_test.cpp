// The MP4 and WebM options dialog's logic, driven through a view without a window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/video_dialog.h"
#include "ui_formats/fake_view.h"

namespace vek::ui {
namespace {

using testing::FakeView;

TEST(VideoDialogs, ShowsEditsAndClampsTheValues) {
  VideoDesc d{"MP4 Settings", 60, 2000, 50, {}, 0};
  VideoDialog logic(d);
  FakeView v(logic);
  v.Open();
  EXPECT_EQ(v.spec().caption, "MP4 Settings");
  EXPECT_EQ(v.Position(VideoDialog::kBarQuality), 60);
  EXPECT_EQ(v.At(VideoDialog::kBarQuality).maximum, 100);
  EXPECT_EQ(v.Text(VideoDialog::kLabQualityValue), "60%");
  EXPECT_EQ(v.Text(VideoDialog::kEdRate), "2000");
  EXPECT_EQ(v.Text(VideoDialog::kEdKey), "50");
  v.Move(VideoDialog::kBarQuality, 85);
  EXPECT_EQ(v.Text(VideoDialog::kLabQualityValue), "85%");
  // Clamped on leaving; text that is no number puts the last value back.
  struct Edit {
    int id;
    const char* typed;
    const char* shown;
  } edits[] = {{VideoDialog::kEdRate, "999999999", "200000"}, {VideoDialog::kEdRate, "-5", "0"},
               {VideoDialog::kEdRate, "fast", "0"},           {VideoDialog::kEdRate, " 4500 ", "4500"},
               {VideoDialog::kEdKey, "20000", "10000"},       {VideoDialog::kEdKey, "1e3", "10000"},
               {VideoDialog::kEdKey, "12", "12"}};
  for (const Edit& e : edits) {
    v.TypeAndLeave(e.id, e.typed);
    EXPECT_EQ(v.Text(e.id), e.shown) << e.typed;
  }
  // Numbers typed and confirmed at once are not lost.
  v.Type(VideoDialog::kEdKey, "250");
  v.Click(VideoDialog::kBtnOK);
  EXPECT_EQ(v.closed(), 1);
  EXPECT_EQ(d.quality, 85);
  EXPECT_EQ(d.bit_rate, 4500);
  EXPECT_EQ(d.key_frames, 250);
}

TEST(VideoDialogs, CancelKeepsTheDescriptionAndPresetsAppearOnlyWhenOffered) {
  VideoDesc plain{"WebM Settings", 75, 0, 0, {}, 0};
  VideoDialog l1(plain);
  FakeView v1(l1);
  v1.Open();
  for (const auto& c : v1.spec().controls) {
    EXPECT_NE(c.id, VideoDialog::kCmbPreset);
    EXPECT_LE(c.x + c.w, v1.spec().width);  // every control inside the window
    EXPECT_LE(c.y + c.h, v1.spec().height);
  }
  v1.Move(VideoDialog::kBarQuality, 10);
  v1.TypeAndLeave(VideoDialog::kEdRate, "300");
  v1.Click(VideoDialog::kBtnCancel);
  EXPECT_EQ(v1.closed(), 2);
  EXPECT_EQ(plain.quality, 75);
  EXPECT_EQ(plain.bit_rate, 0);

  VideoDesc presets{"MP4 Settings", 75, 0, 0, {"fast", "medium", "slow"}, 7};
  VideoDialog l2(presets);
  FakeView v2(l2);
  v2.Open();
  EXPECT_EQ(v2.At(VideoDialog::kCmbPreset).items, presets.presets);
  EXPECT_EQ(v2.Selected(VideoDialog::kCmbPreset), 2);  // out of range: the last
  EXPECT_GT(v2.spec().height, v1.spec().height);
  v2.Choose(VideoDialog::kCmbPreset, 0);
  v2.Click(VideoDialog::kBtnOK);
  EXPECT_EQ(presets.preset, 0);
}

}  // namespace
}  // namespace vek::ui
