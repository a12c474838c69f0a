// The AVI video format dialog's logic over a catalogue the test makes up.
#include <gtest/gtest.h>

#include <cstring>

#include "formats/format_descriptor.h"
#include "ui/avi_dialog.h"
#include "ui_formats/fake_view.h"

namespace vek::ui {
namespace {

using testing::FakeView;
using D = AviDialog;

QAviCodec Codec(const char (&fcc)[5], const char* desc, bool quality, bool keys, bool rate, bool encoder,
                bool available, int32_t ow, int32_t oh, int32_t bits) {
  QAviCodec c{};
  c.handler = FourCC(fcc);
  std::snprintf(c.description, sizeof c.description, "%s", desc);
  c.can_quality = quality;
  c.can_key_frames = keys;
  c.can_data_rate = rate;
  c.encoder = encoder ? -1 : 0;
  c.available = available ? -1 : 0;
  c.out_width = ow;
  c.out_height = oh;
  c.bits = bits;
  c.key_frame_every = keys ? 15 : 0;
  c.quality = quality ? 75 : 0;
  return c;
}

class FakeSource : public AviCodecSource {
 public:
  std::vector<QAviCodec> list;  // without the end record
  QAviCodec current{};
  int queries = 0, reloads = 0, stores = 0, abouts = 0, configures = 0;
  QAviCodec stored{};
  int32_t kf = -1, q = -1, dr = -1;

  const QAviCodec* Query(int32_t, int32_t, int32_t, int32_t& count) override {
    ++queries;
    view_ = list;
    for (size_t i = 0; i < view_.size(); ++i) view_[i].index = int32_t(i) + 1;
    view_.push_back(QAviCodec{});
    count = int32_t(list.size());
    return view_.data();
  }
  void Reload() override { ++reloads; }
  void Current(QAviCodec& c) override { c = current; }
  void Store(const QAviCodec& c, int32_t k, int32_t qq, int32_t d) override {
    ++stores;
    stored = c;
    kf = k, q = qq, dr = d;
  }
  void About(uint32_t) override { ++abouts; }
  void Configure(QAviCodec&) override { ++configures; }

 private:
  std::vector<QAviCodec> view_;
};

class AviDialogLogic : public ::testing::Test {
 protected:
  void SetUp() override {
    QAviCodec cvid = Codec("cvid", "Cinepak Codec by Radius", true, true, true, true, true, 320, 240, 24);
    cvid.has_configure = -1;
    QAviCodec mrle = Codec("MRLE", "Microsoft RLE", false, false, false, true, false, 0, 0, 0);
    mrle.has_about = -1;
    QAviCodec dec = Codec("h264", "H.264 decoder only", false, false, false, false, false, 0, 0, 0);
    QAviCodec even = Codec("mp42", "Rounds to even sizes", true, true, true, true, true, 320, 240, 24);
    QAviCodec dib = Codec("DIB ", "Full frames, uncompressed", false, false, false, true, true, 320, 240, 24);
    src.list = {cvid, mrle, dec, even, dib};
    src.current = cvid;
    src.current.handler = FourCC("CVID");  // the case of the stored handler does not matter
    src.current.key_frame_every = 30;
    src.current.quality = 60;
    src.current.data_rate = 200;
  }
  FakeSource src;
};

TEST_F(AviDialogLogic, OpensOnTheCurrentCodecWithItsValues) {
  D logic(src, 320, 240, 24);
  FakeView v(logic);
  v.Open();
  EXPECT_EQ(v.spec().caption, "Select AVI Video Format");
  // The wait line first, then the compatible codecs.
  const auto& list = v.At(D::kLstCodecs);
  ASSERT_GE(list.item_history.size(), 2u);
  EXPECT_EQ(list.item_history[0], std::vector<std::string>{"   Retrieving codec info, please wait..."});
  EXPECT_EQ(v.wait_cursor, 0);  // on and off again
  EXPECT_EQ(v.At(D::kLstWhat).items,
            (std::vector<std::string>{"Codecs compatible with current settings", "All compression capable codecs",
                                      "All installed codecs"}));
  EXPECT_EQ(v.At(D::kLstWhat).selected, 0);
  EXPECT_EQ(list.items, (std::vector<std::string>{"Cinepak Codec by Radius", "Rounds to even sizes",
                                                  "Full frames, uncompressed"}));
  EXPECT_EQ(list.selected, 0);
  EXPECT_EQ(v.focus, D::kLstCodecs);
  EXPECT_EQ(logic.current().handler, FourCC("cvid"));
  EXPECT_EQ(v.At(D::kBarQuality).position, 60);
  EXPECT_TRUE(v.Enabled(D::kBarQuality));
  EXPECT_EQ(v.Text(D::kLabQuality), "60%");
  EXPECT_TRUE(v.Checked(D::kChkKFM));
  EXPECT_EQ(v.Text(D::kEdKFM), "30");
  EXPECT_TRUE(v.Enabled(D::kEdKFM));
  EXPECT_EQ(v.Text(D::kEdDataRate), "200");
  EXPECT_TRUE(v.Enabled(D::kBtnConfig));
  EXPECT_FALSE(v.Enabled(D::kBtnAbout));
  EXPECT_EQ(v.Text(D::kLabFCC), "cvid,  64697663h");
  EXPECT_EQ(v.Text(D::kLabEncode), "Yes");
  EXPECT_EQ(v.Text(D::kLabInRes), "320x240, 24-bit");
  EXPECT_EQ(v.Text(D::kLabOutRes), "320x240, 24-bit");
  EXPECT_FALSE(v.At(D::kLabOutRes).bold);
  EXPECT_TRUE(v.messages.empty());

  v.Click(D::kBtnConfig);
  EXPECT_EQ(src.configures, 1);
  v.Click(D::kBtnCancel);
  EXPECT_EQ(v.closed(), 2);
  EXPECT_EQ(src.stores, 0);
}

TEST_F(AviDialogLogic, CaptionsOfEveryControl) {
  D logic(src, 320, 240, 24);
  FakeView v(logic);
  const std::pair<int, const char*> texts[] = {
      {D::kLabCodecs, "&Compressor:"}, {D::kLabWhat, "&Show:"}, {D::kLabQualTitle, "Compression &Quality:"},
      {D::kChkKFM, "&Key Frame Every"}, {D::kLabKFM, "frames"}, {D::kChkDataRate, "&Data Rate"},
      {D::kLabDataRate, "kB/sec"}, {D::kBtnConfig, "Con&figure..."}, {D::kBtnAbout, "&About..."},
      {D::kBoxCodecInfo, "Codec Information"}, {D::kLabResTitle, "Image Resolution:"}, {D::kLabBefore, "Before:"},
      {D::kLabAfter, "After:"}, {D::kLabFCCTitle, "FourCC:"}, {D::kLabEncodeTitle, "Encoder:"},
      {D::kButton1, "System Defaults..."}, {D::kBtnOK, "OK"}, {D::kBtnCancel, "Cancel"}};
  for (auto [id, text] : texts) EXPECT_EQ(v.At(id).spec.caption, text);
  EXPECT_EQ(v.At(D::kBtnOK).spec.modal_result, 1);
  EXPECT_TRUE(v.At(D::kBtnOK).spec.is_default);
  EXPECT_EQ(v.At(D::kBtnCancel).spec.modal_result, 2);
  // No control leaves the window or overlaps another (the group frames hold theirs).
  const auto& cs = v.spec().controls;
  for (const auto& a : cs) {
    EXPECT_LE(a.x + a.w, v.spec().width) << a.name;
    EXPECT_LE(a.y + a.h, v.spec().height) << a.name;
    for (const auto& b : cs) {
      if (&a == &b || a.kind == toolkit::ControlKind::Group || b.kind == toolkit::ControlKind::Group) continue;
      const bool apart = a.x + a.w <= b.x || b.x + b.w <= a.x || a.y + a.h <= b.y || b.y + b.h <= a.y;
      EXPECT_TRUE(apart) << a.name << " overlaps " << b.name;
    }
  }
}

TEST_F(AviDialogLogic, FiltersAndACodecWithoutQuality) {
  D logic(src, 320, 240, 24);
  FakeView v(logic);
  v.Open();
  v.Choose(D::kLstWhat, 1);
  EXPECT_EQ(v.At(D::kLstCodecs).items.size(), 4u);  // the decoder is no encoder
  v.Choose(D::kLstWhat, 2);
  ASSERT_EQ(v.At(D::kLstCodecs).items.size(), 5u);
  EXPECT_EQ(v.At(D::kLstCodecs).selected, 0);  // still the current codec
  v.Choose(D::kLstCodecs, 1);                   // Microsoft RLE: no quality, no key frames
  EXPECT_FALSE(v.Enabled(D::kBarQuality));
  EXPECT_EQ(v.At(D::kBarQuality).maximum, 0);
  EXPECT_EQ(v.At(D::kBarQuality).position, 0);
  EXPECT_EQ(v.Text(D::kLabQuality), "0%");
  EXPECT_FALSE(v.Enabled(D::kChkKFM));
  EXPECT_FALSE(v.Checked(D::kChkKFM));
  EXPECT_FALSE(v.Enabled(D::kEdKFM));
  EXPECT_FALSE(v.Enabled(D::kBtnConfig));
  EXPECT_TRUE(v.Enabled(D::kBtnAbout));
  EXPECT_EQ(v.Text(D::kLabOutRes), "not supported");
  EXPECT_TRUE(v.At(D::kLabOutRes).bold);
  v.Click(D::kBtnAbout);
  EXPECT_EQ(src.abouts, 1);
  v.Click(D::kBtnOK);
  EXPECT_EQ(v.closed(), 1);
  ASSERT_EQ(src.stores, 1);
  EXPECT_EQ(src.stored.handler, FourCC("MRLE"));
  EXPECT_EQ(src.q, 0);
  EXPECT_EQ(src.kf, 0);
  EXPECT_EQ(src.dr, 0);
}

TEST_F(AviDialogLogic, OkWritesTheThreeValues) {
  D logic(src, 320, 240, 24);
  FakeView v(logic);
  v.Open();
  v.Move(D::kBarQuality, 42);
  EXPECT_EQ(v.Text(D::kLabQuality), "42%");
  v.Tick(D::kChkKFM, false);
  EXPECT_FALSE(v.Enabled(D::kEdKFM));
  v.Type(D::kEdDataRate, "512");
  v.Click(D::kBtnOK);
  ASSERT_EQ(src.stores, 1);
  EXPECT_EQ(src.stored.handler, FourCC("cvid"));
  EXPECT_EQ(src.kf, 0);  // unticked
  EXPECT_EQ(src.q, 42);
  EXPECT_EQ(src.dr, 512);

  // Ticking again enables the edit; letters keep the codec's interval.
  D l2(src, 320, 240, 24);
  FakeView v2(l2);
  v2.Open();
  v2.Tick(D::kChkDataRate, false);
  v2.Tick(D::kChkDataRate, true);
  EXPECT_TRUE(v2.Enabled(D::kEdDataRate));
  v2.Type(D::kEdKFM, "often");
  v2.Click(D::kBtnOK);
  EXPECT_EQ(src.kf, 30);
}

TEST_F(AviDialogLogic, AfterIsBoldWhenTheCodecChangesTheSize) {
  src.list[3].out_width = 320;  // rounds 321 down
  D logic(src, 321, 240, 24);
  FakeView v(logic);
  v.Open();
  v.Choose(D::kLstCodecs, 1);
  EXPECT_EQ(v.Text(D::kLabInRes), "321x240, 24-bit");
  EXPECT_EQ(v.Text(D::kLabOutRes), "320x240, 24-bit");
  EXPECT_TRUE(v.At(D::kLabOutRes).bold);
  src.list[3].out_width = 321;
  D l2(src, 321, 240, 24);
  FakeView v2(l2);
  v2.Open();
  v2.Choose(D::kLstCodecs, 1);
  EXPECT_FALSE(v2.At(D::kLabOutRes).bold);
  // The same size in other bits differs too.
  src.list[3].bits = 16;
  D l3(src, 321, 240, 24);
  FakeView v3(l3);
  v3.Open();
  v3.Choose(D::kLstCodecs, 1);
  EXPECT_EQ(v3.Text(D::kLabOutRes), "321x240, 16-bit");
  EXPECT_TRUE(v3.At(D::kLabOutRes).bold);
}

TEST_F(AviDialogLogic, NoCompatibleCodec) {
  for (auto& c : src.list) c.available = 0;
  D logic(src, 5000, 5000, 24);
  FakeView v(logic);
  v.Open();
  EXPECT_TRUE(v.At(D::kLstCodecs).items.empty());
  ASSERT_EQ(v.messages.size(), 1u);
  EXPECT_EQ(v.messages[0], "No compatible codec can be found.");
  // OK keeps the codec it opened on.
  v.Click(D::kBtnOK);
  EXPECT_EQ(src.stored.handler, FourCC("cvid"));
}

TEST_F(AviDialogLogic, SystemDefaultsAsksFirst) {
  src.current.handler = FourCC("zzzz");  // not in the catalogue: the first entry
  D logic(src, 320, 240, 24);
  FakeView v(logic);
  v.Open();
  EXPECT_EQ(logic.current().handler, FourCC("cvid"));
  v.answer = false;
  v.Click(D::kButton1);
  ASSERT_EQ(v.questions.size(), 1u);
  EXPECT_EQ(v.questions[0], "Do you want to reload system default settings? This will affect all AVI codecs.");
  EXPECT_EQ(src.reloads, 0);
  v.answer = true;
  v.Click(D::kButton1);
  EXPECT_EQ(src.reloads, 1);
  EXPECT_EQ(src.queries, 2);
  EXPECT_EQ(logic.current().quality, 75);  // the catalogue's values after the reload
}

TEST(AviDialogTexts, FourCCAndResolution) {
  EXPECT_EQ(AviFourCCText(FourCC("DIB ")), "DIB ,  20424944h");
  EXPECT_EQ(AviResText(320, 240, 24), "320x240, 24-bit");
  EXPECT_EQ(AviResText(320, 0, 24), "not supported");
  EXPECT_EQ(AviResText(320, 240, 0), "not supported");
}

}  // namespace
}  // namespace vek::ui
