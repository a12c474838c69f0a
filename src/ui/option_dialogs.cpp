#include "ui/option_dialogs.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "formats/format_descriptor.h"
#include "formats/movie/avi.h"
#include "formats/movie/gif_writer.h"
#include "foundation/errors.h"
#include "image/palette.h"
#include "image/palette_histogram.h"
#include "ui/avi_dialog.h"
#include "ui/dialog_guard.h"
#include "ui/video_dialog.h"

namespace vek::ui {

using toolkit::ControlKind;
using toolkit::Control;
using toolkit::ControlSpec;
using toolkit::DialogSpec;
using toolkit::DialogView;

namespace {

constexpr int kBtnW = 80, kBtnH = 26;

// Width of a text in the dialogs' font, generous enough for the widest
// glyphs of the option texts.
int TextWidth(const std::string& s) { return static_cast<int>(s.size()) * 7; }

ControlSpec Button(int id, const char* name, const char* caption, int x, int y, int result) {
  ControlSpec c = Control(id, ControlKind::Button, name, caption, x, y, kBtnW, kBtnH);
  c.modal_result = result;
  c.is_default = result == 1;
  return c;
}

int32_t Saturate(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace

// ---------------------------------------------------------------- numbers

bool ParseInt(const std::string& text, int64_t& value) {
  size_t i = 0, n = text.size();
  while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  while (n > i && std::isspace(static_cast<unsigned char>(text[n - 1]))) --n;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i >= n) return false;
  int64_t v = 0;
  for (; i < n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    if (v < int64_t(1) << 40) v = v * 10 + (text[i] - '0');  // saturates far above any range
  }
  value = negative ? -v : v;
  return true;
}

// ---------------------------------------------------------------- CtlSlider

Slider::Slider(double minimum, double maximum, double line_step, double page_step, int32_t decimals)
    : min_(std::min(minimum, maximum)), max_(std::max(minimum, maximum)),
      decimals_(std::clamp(decimals, 0, 9)) {
  const double span = max_ - min_;
  if (span > 0 && line_step > 0) {
    scroll_max_ = static_cast<int32_t>(std::clamp(std::round(span / line_step), 0.0, 1e9));
    if (scroll_max_ > 0)
      large_change_ = static_cast<int32_t>(std::clamp(page_step * scroll_max_ / span, 0.0, 1e9));
  }
  SetValue(min_);
}

void Slider::SetValue(double value) {
  if (!std::isfinite(value)) value = min_;
  value_ = std::clamp(value, min_, max_);
  // A hair above the exact quotient, so that 7 of 9 is not truncated to 6.
  position_ = scroll_max_ > 0
                  ? static_cast<int32_t>((value_ - min_) * scroll_max_ / (max_ - min_) + 1e-9)
                  : 0;
}

void Slider::SetPosition(int32_t position) {
  position = std::clamp(position, 0, scroll_max_);
  double v = scroll_max_ > 0 ? min_ + (max_ - min_) * position / scroll_max_ : min_;
  const double scale = std::pow(10.0, decimals_);
  v = std::round(v * scale) / scale;
  value_ = std::clamp(v, min_, max_);
  position_ = position;
}

std::string Slider::Text() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals_, value_);
  return buf;
}

// ---------------------------------------------------------------- choice

ChoiceDialog::ChoiceDialog(ChoiceDesc& desc) : desc_(desc), count_(std::clamp(desc.count, 1, 5)) {}

DialogSpec ChoiceDialog::Layout() {
  int widest = 0;
  for (int i = 0; i < count_; ++i) widest = std::max(widest, TextWidth(desc_.texts[i]));
  // Rows of 22 pixels under the frame's top line, as the toolkit sets them.
  const int gw = widest + 50;
  const int gh = std::max(count_, 2) * 22 + 26;
  DialogSpec s;
  s.caption = desc_.title;
  s.controls.push_back(Control(kRadOpt, ControlKind::RadioGroup, "radOpt", "", 10, 10, gw, gh));
  const int bx = 10 + gw + 12;
  s.controls.push_back(Button(kBtnOK, "btnOK", "OK", bx, 14, 1));
  s.controls.push_back(Button(kBtnCancel, "btnCancel", "Cancel", bx, 48, 2));
  s.width = bx + kBtnW + 10;
  s.height = std::max(10 + gh + 10, 48 + kBtnH + 10);
  return s;
}

void ChoiceDialog::OnOpen(DialogView& v) {
  std::vector<std::string> items(desc_.texts, desc_.texts + count_);
  v.SetItems(kRadOpt, items);
  int sel = 0;
  for (int i = 0; i < count_; ++i)
    if (desc_.values[i] == desc_.current) {
      sel = i;
      break;
    }
  v.SetSelected(kRadOpt, sel);
}

bool ChoiceDialog::OnClose(DialogView& v, int result) {
  if (result == 1) {
    const int sel = std::clamp(v.Selected(kRadOpt), 0, count_ - 1);
    desc_.current = desc_.values[sel];
  }
  return true;
}

// ---------------------------------------------------------------- slider

SliderDialog::SliderDialog(SliderDesc& desc)
    : desc_(desc), slider_(desc.minimum, desc.maximum, desc.line_step, desc.page_step, desc.decimals) {}

DialogSpec SliderDialog::Layout() {
  DialogSpec s;
  s.caption = desc_.title;
  s.controls.push_back(Control(kGroupBox1, ControlKind::Group, "GroupBox1", "", 10, 8, 300, 58));
  ControlSpec ed = Control(kEdValue, ControlKind::Edit, "edValue", "", 22, 24, 64, 26);
  ed.read_only = true;
  s.controls.push_back(ed);
  s.controls.push_back(Control(kScrollBar1, ControlKind::ScrollBar, "ScrollBar1", "", 96, 27, 202, 20));
  s.controls.push_back(Button(kBtnOK, "btnOK", "OK", 140, 76, 1));
  s.controls.push_back(Button(kBtnCancel, "btnCancel", "Cancel", 230, 76, 2));
  s.width = 320;
  s.height = 76 + kBtnH + 10;
  return s;
}

void SliderDialog::OnOpen(DialogView& v) {
  slider_.SetValue(desc_.value);
  v.SetRange(kScrollBar1, 0, slider_.ScrollMax(), 1, std::max(slider_.LargeChange(), 1));
  v.SetPosition(kScrollBar1, slider_.Position());
  v.SetEnabled(kScrollBar1, slider_.Enabled());
  v.SetText(kEdValue, slider_.Text());
  v.Focus(kScrollBar1);
}

void SliderDialog::OnChange(DialogView& v, int id) {
  if (id != kScrollBar1) return;
  slider_.SetPosition(v.Position(kScrollBar1));
  v.SetText(kEdValue, slider_.Text());
}

bool SliderDialog::OnClose(DialogView&, int result) {
  if (result == 1) desc_.value = slider_.Value();
  return true;
}

// ---------------------------------------------------------------- HAV

HavDialog::HavDialog(HavDesc& desc) : desc_(desc) {}

DialogSpec HavDialog::Layout() {
  DialogSpec s;
  s.caption = desc_.title;
  s.controls.push_back(
      Control(kRadCompr, ControlKind::RadioGroup, "radCompr", "Compression Method", 10, 24, 220, 66));
  s.controls.push_back(Control(kLabKFM, ControlKind::Label, "Label1", "Key frame every", 10, 102, 124, 26));
  s.controls.push_back(Control(kEdKFM, ControlKind::Edit, "edKFM", "", 136, 102, 56, 26));
  s.controls.push_back(Control(kLabFrames, ControlKind::Label, "Label2", "frame(s)", 198, 102, 72, 26));
  s.controls.push_back(Button(kBtnOK, "btnOK", "OK", 250, 24, 1));
  s.controls.push_back(Button(kBtnCancel, "btnCancel", "Cancel", 250, 58, 2));
  s.width = 340;
  s.height = 140;
  return s;
}

void HavDialog::OnOpen(DialogView& v) {
  v.SetItems(kRadCompr, {desc_.texts[0], desc_.texts[1]});
  v.SetSelected(kRadCompr, desc_.values[1] == desc_.codec && desc_.values[0] != desc_.codec ? 1 : 0);
  v.SetText(kEdKFM, std::to_string(desc_.key_frames));
}

bool HavDialog::OnClose(DialogView& v, int result) {
  if (result != 1) return true;
  desc_.codec = desc_.values[std::clamp(v.Selected(kRadCompr), 0, 1)];
  int64_t n = 0;
  // Text that is no number keeps the interval the dialog opened with.
  if (ParseInt(v.Text(kEdKFM), n)) desc_.key_frames = Saturate(std::max<int64_t>(n, 0));
  desc_.key_frames = std::max(desc_.key_frames, 0);
  return true;
}

// ---------------------------------------------------------------- GIF

GifDialog::GifDialog(GifDesc& desc) : desc_(desc) {}

DialogSpec GifDialog::Layout() {
  DialogSpec s;
  s.caption = desc_.title;
  s.controls.push_back(Control(kRadPalette, ControlKind::RadioGroup, "radPalette", "Palette", 10, 10, 290, 96));
  s.controls.push_back(Control(kLabLoop, ControlKind::Label, "labLoop", "Play", 10, 118, 96, 26));
  s.controls.push_back(Control(kEdLoop, ControlKind::Edit, "edLoop", "", 110, 118, 64, 26));
  s.controls.push_back(Control(kLabLoopUnit, ControlKind::Label, "labLoopUnit", "time(s), 0: forever", 180, 118, 150, 26));
  s.controls.push_back(Control(kLabRefine, ControlKind::Label, "labRefine", "Refinement", 10, 152, 96, 26));
  s.controls.push_back(Control(kEdRefine, ControlKind::Edit, "edRefine", "", 110, 152, 64, 26));
  s.controls.push_back(Button(kBtnOK, "btnOK", "OK", 320, 14, 1));
  s.controls.push_back(Button(kBtnCancel, "btnCancel", "Cancel", 320, 48, 2));
  s.width = 410;
  s.height = 192;
  return s;
}

void GifDialog::OnOpen(DialogView& v) {
  v.SetItems(kRadPalette, {desc_.texts[0], desc_.texts[1], desc_.texts[2]});
  int pick = 0;
  for (int i = 0; i < 3; ++i)
    if (desc_.values[i] == desc_.mode) pick = i;
  v.SetSelected(kRadPalette, pick);
  v.SetText(kEdLoop, std::to_string(desc_.loop));
  v.SetText(kEdRefine, std::to_string(desc_.refine));
  OnChange(v, kRadPalette);
}

void GifDialog::OnChange(DialogView& v, int id) {
  if (id == kRadPalette) {
    const bool optimiser = desc_.values[std::clamp(v.Selected(kRadPalette), 0, 2)] == kPalModeOptimiser;
    v.SetEnabled(kLabRefine, optimiser);
    v.SetEnabled(kEdRefine, optimiser);
  }
}

bool GifDialog::OnClose(DialogView& v, int result) {
  if (result != 1) return true;
  desc_.mode = desc_.values[std::clamp(v.Selected(kRadPalette), 0, 2)];
  int64_t n = 0;
  // Text that is no number keeps the value the dialog opened with; the
  // setters clamp the rest.
  if (ParseInt(v.Text(kEdLoop), n)) desc_.loop = Saturate(n);
  if (ParseInt(v.Text(kEdRefine), n)) desc_.refine = Saturate(n);
  return true;
}

// ---------------------------------------------------------------- MPEG

MpegDialog::MpegDialog(MpegDesc& desc) : desc_(desc), rate_(0) { rate_ = Clamp(desc.bit_rate); }

int32_t MpegDialog::Clamp(int64_t rate) const {
  const int32_t lo = std::min(desc_.min_rate, desc_.max_rate);
  const int32_t hi = std::max(desc_.min_rate, desc_.max_rate);
  return static_cast<int32_t>(std::clamp<int64_t>(rate, lo, hi));
}

DialogSpec MpegDialog::Layout() {
  DialogSpec s;
  s.caption = desc_.title;
  s.controls.push_back(Control(kLstPresets, ControlKind::List, "lstPresets", "", 10, 10, 240, 150));
  s.controls.push_back(Control(kGrpFormat, ControlKind::Group, "grpFormat", "", 262, 6, 260, 40));
  ControlSpec r1 = Control(kRadMpeg1, ControlKind::Radio, "radMpeg1", "MPEG-1", 274, 14, 100, 24);
  r1.group_id = 1;
  ControlSpec r2 = Control(kRadMpeg2, ControlKind::Radio, "radMpeg2", "MPEG-2", 384, 14, 100, 24);
  r2.group_id = 1;
  s.controls.push_back(r1);
  s.controls.push_back(r2);
  s.controls.push_back(Control(kLabBits, ControlKind::Label, "labBits", "Bit Rate", 262, 60, 74, 26));
  s.controls.push_back(Control(kEdBits, ControlKind::Edit, "edBits", "", 338, 60, 70, 26));
  s.controls.push_back(Control(kLabBitsUnit, ControlKind::Label, "labBitsUnit", "kilobits/sec", 412, 60, 110, 26));
  s.controls.push_back(Control(kLabBytes, ControlKind::Label, "labBytes", "Byte Rate", 262, 94, 74, 26));
  s.controls.push_back(Control(kEdBytes, ControlKind::Edit, "edBytes", "", 338, 94, 70, 26));
  s.controls.push_back(
      Control(kLabBytesUnit, ControlKind::Label, "labBytesUnit", "kilobytes/sec", 412, 94, 110, 26));
  s.controls.push_back(Button(kBtnOK, "btnOK", "OK", 352, 134, 1));
  s.controls.push_back(Button(kBtnCancel, "btnCancel", "Cancel", 442, 134, 2));
  s.width = 532;
  s.height = 170;
  return s;
}

void MpegDialog::Show(DialogView& v) {
  v.SetText(kEdBits, std::to_string(rate_));
  v.SetText(kEdBytes, std::to_string(rate_ / 8));
  edited_ = 0;
}

void MpegDialog::OnOpen(DialogView& v) {
  std::vector<std::string> names;
  for (const MpegPreset& p : kMpegPresets) names.push_back(p.name);
  v.SetItems(kLstPresets, names);
  v.SetSelected(kLstPresets, -1);
  v.SetChecked(kRadMpeg1, desc_.codec == 1);
  v.SetChecked(kRadMpeg2, desc_.codec != 1);
  v.SetEnabled(kEdBits, true);
  v.SetEnabled(kEdBytes, true);
  Show(v);
}

// Text that is no number puts the last rate back.
void MpegDialog::TakeBits(DialogView& v) {
  int64_t n = 0;
  if (ParseInt(v.Text(kEdBits), n)) rate_ = Clamp(n);
  Show(v);
}

void MpegDialog::TakeBytes(DialogView& v) {
  int64_t n = 0;
  if (ParseInt(v.Text(kEdBytes), n)) rate_ = Clamp(n * 8);
  Show(v);
}

void MpegDialog::OnChange(DialogView& v, int id) {
  if (id == kEdBits || id == kEdBytes) {
    edited_ = id;
    return;
  }
  if (id != kLstPresets) return;
  const int sel = v.Selected(kLstPresets);
  const int n = static_cast<int>(std::size(kMpegPresets));
  const bool preset = sel >= 0 && sel < n && kMpegPresets[sel].bit_rate > 0;
  if (preset) {
    rate_ = Clamp(kMpegPresets[sel].bit_rate);
    Show(v);
  }
  v.SetEnabled(kEdBits, !preset);
  v.SetEnabled(kEdBytes, !preset);
}

void MpegDialog::OnLeave(DialogView& v, int id) {
  if (id == kEdBits) TakeBits(v);
  if (id == kEdBytes) TakeBytes(v);
}

bool MpegDialog::OnClose(DialogView& v, int result) {
  if (result != 1) return true;
  // A byte rate typed and confirmed at once counts as if the edit was left.
  if (edited_ == kEdBytes && v.Enabled(kEdBytes)) TakeBytes(v);
  desc_.codec = v.Checked(kRadMpeg1) ? 1 : 2;
  int64_t n = 0;
  desc_.bit_rate = ParseInt(v.Text(kEdBits), n) ? Clamp(n) : rate_;
  return true;
}

// ---------------------------------------------------------------- running

namespace {

// A format dialog behind the boundary of the common guard.
template <class Logic, class Desc>
class Guarded final : public GuardedLogic {
 public:
  explicit Guarded(Desc& desc) : inner_(desc) {}
  DialogSpec Layout() override { return inner_.Layout(); }
  void OnOpen(DialogView& v) override { Guard(v, "FFDlg.OnOpen", [&] { inner_.OnOpen(v); }); }
  void OnCommand(DialogView& v, int id) override {
    Guard(v, "FFDlg.OnCommand", [&] { inner_.OnCommand(v, id); });
  }
  void OnChange(DialogView& v, int id) override {
    Guard(v, "FFDlg.OnChange", [&] { inner_.OnChange(v, id); });
  }
  void OnTrack(DialogView& v, int id) override { Guard(v, "FFDlg.OnTrack", [&] { inner_.OnTrack(v, id); }); }
  void OnLeave(DialogView& v, int id) override { Guard(v, "FFDlg.OnLeave", [&] { inner_.OnLeave(v, id); }); }
  bool OnClose(DialogView& v, int result) override {
    return GuardClose(v, "FFDlg.OnClose", [&] { return inner_.OnClose(v, result); });
  }

 private:
  Logic inner_;
};

// The dialog edits a copy; the caller's description changes only on "OK".
template <class Logic, class Desc>
bool Run(Desc& desc, const char* procedure, int32_t site) {
  return Monitored(procedure, [&]() -> bool {
    Desc copy = desc;
    Guarded<Logic, Desc> logic(copy);
    if (!RunGuarded(logic, site)) return false;
    desc = copy;
    return true;
  });
}

}  // namespace

bool RunGuarded(GuardedLogic& logic, int32_t site) {
  if (!toolkit::DisplayAvailable()) ErrRaiseText(kGrpText, kNoDisplayText, site);
  const int result = toolkit::RunModal(logic);
  if (logic.failed()) logic.RaiseFailure(site + 1);
  // 0 without an error of the dialog's own: the window could not be shown.
  if (result == 0) {
    if (ErrNone()) ErrRaiseText(kGrpText, kNoDisplayText, site + 2);
    if (ErrCode() == kFreeTextCode) ErrRaiseText(ErrGroup(), ErrText(), site + 2);
    ErrRaise(ErrGroup(), ErrCode(), site + 2);
  }
  return result == 1;
}

bool DlgSelect(ChoiceDesc& desc) { return Run<ChoiceDialog>(desc, "FFDlg.DlgSelect", 1); }
bool DlgOne(SliderDesc& desc) { return Run<SliderDialog>(desc, "FFDlg.DlgOne", 3); }
bool DlgHAV(HavDesc& desc) { return Run<HavDialog>(desc, "FFDlg.DlgHAV", 5); }
bool DlgMPG(MpegDesc& desc) { return Run<MpegDialog>(desc, "FFDlg.DlgMPG", 7); }
bool DlgGIF(GifDesc& desc) { return Run<GifDialog>(desc, "FFDlg.DlgGIF", 8); }
bool DlgVideo(VideoDesc& desc) { return Run<VideoDialog>(desc, "FFDlg.DlgVideo", 11); }

// ---------------------------------------------------------------- option sets

namespace {

const ChoiceDesc kRleChoice = {"", 2, {"RLE Compressed", "Uncompressed"}, {1, 0}, 0};

// The save-options field a choice dialog edits, by format.
int32_t QSaveOpts::*ChoiceField(int32_t format) {
  switch (format) {
    case kFmtTGA: return &QSaveOpts::tgaCodec;
    case kFmtTIFF: return &QSaveOpts::tiffCompression;
    case kFmtSGI: return &QSaveOpts::sgiCodec;
    case kFmtRAS: return &QSaveOpts::rasCodec;
    case kFmtPNM: return &QSaveOpts::pnmAscii;
    default: return nullptr;
  }
}

}  // namespace

ChoiceDesc ChoiceFor(const QSaveOpts& opts) {
  ChoiceDesc d = kRleChoice;
  switch (opts.format) {
    case kFmtTGA: d.title = "TGA Compression"; break;
    case kFmtSGI: d.title = "SGI Compression"; break;
    case kFmtRAS: d.title = "RAS Compression"; break;
    case kFmtPNM:
      d = ChoiceDesc{"PNM Format", 2, {"Binary Encoded", "ASCII Encoded"}, {0, 1}, 0};
      break;
    case kFmtTIFF:
      d = ChoiceDesc{"TIFF Compression",
                     5,
                     {"PackBits (Macintosh RLE)", "JPEG DCT", "Deflate (ZIP)", "LZW Compressed",
                      "Uncompressed"},
                     {32773, 7, 32946, 5, 1},
                     0};
      break;
    default: break;
  }
  if (int32_t QSaveOpts::*f = ChoiceField(opts.format)) d.current = opts.*f;
  return d;
}

void StoreChoice(QSaveOpts& opts, const ChoiceDesc& desc) {
  if (int32_t QSaveOpts::*f = ChoiceField(opts.format)) opts.*f = desc.current;
}

SliderDesc SliderFor(const QSaveOpts& opts) {
  if (opts.format == kFmtPNG) return SliderDesc{"PNG Compression Level", 0, 9, 1, 1, 0, double(opts.pngLevel)};
  return SliderDesc{"JPEG Quality", 0, 100, 1, 10, 0, double(opts.jpegQuality)};
}

void StoreSlider(QSaveOpts& opts, const SliderDesc& desc) {
  const int32_t v = static_cast<int32_t>(std::trunc(desc.value));
  if (opts.format == kFmtPNG) opts.pngLevel = v;
  else if (opts.format == kFmtJPEG) opts.jpegQuality = v;
}

HavDesc HavFor(const QSaveOpts& opts) {
  return HavDesc{"HAV Settings", {"FAST Codec", "BEST Codec"}, {1, 0}, opts.havCodec, opts.havKeyFrameRate};
}

void StoreHav(QSaveOpts& opts, const HavDesc& desc) {
  opts.havCodec = desc.codec;
  opts.havKeyFrameRate = desc.key_frames;
}

MpegDesc MpegFor(const QSaveOpts& opts) {
  return MpegDesc{"MPEG Compression", opts.mpegCodec, kMpegMinRate, kMpegMaxRate, opts.mpegDataRate};
}

void StoreMpeg(QSaveOpts& opts, const MpegDesc& desc) {
  opts.mpegCodec = desc.codec;
  opts.mpegDataRate = desc.bit_rate;
}

ChoiceDesc GifChoice() {
  return ChoiceDesc{"GIF Palette",
                    3,
                    {"Automatic (histogram quantiser)", "Palette optimiser", "Histogram quantiser"},
                    {kPalModeAuto, kPalModeOptimiser, kPalModeHistogram},
                    PalSetMode(kUndefined)};
}

GifDesc GifFor() {
  const ChoiceDesc c = GifChoice();
  return GifDesc{"GIF Settings",
                 {c.texts[0], c.texts[1], c.texts[2]},
                 {c.values[0], c.values[1], c.values[2]},
                 c.current,
                 GifSetLoopCount(kUndefined),
                 PalSetRefinement(kUndefined)};
}

void StoreGif(const GifDesc& desc) {
  PalSetMode(desc.mode);
  GifSetLoopCount(desc.loop);
  PalSetRefinement(desc.refine);
}

bool FormatOptionsDialog(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits) {
  return Monitored("FFDlg.FormatOptionsDialog", [&]() -> bool {
    switch (opts.format) {
      case kFmtTGA:
      case kFmtTIFF:
      case kFmtSGI:
      case kFmtRAS:
      case kFmtPNM: {
        ChoiceDesc d = ChoiceFor(opts);
        if (!DlgSelect(d)) return false;
        StoreChoice(opts, d);
        return true;
      }
      case kFmtJPEG:
      case kFmtPNG: {
        SliderDesc d = SliderFor(opts);
        if (!DlgOne(d)) return false;
        StoreSlider(opts, d);
        return true;
      }
      case kFmtHAV: {
        HavDesc d = HavFor(opts);
        if (!DlgHAV(d)) return false;
        StoreHav(opts, d);
        return true;
      }
      case kFmtMPEG: {
        MpegDesc d = MpegFor(opts);
        if (!DlgMPG(d)) return false;
        StoreMpeg(opts, d);
        return true;
      }
      case kFmtMP4:
      case kFmtWEBM: {
        VideoDesc d = VideoFor(opts);
        if (!DlgVideo(d)) return false;
        StoreVideo(opts, d);
        return true;
      }
      case kFmtAVI:
        return AviSelectVCFor(opts.avi, width, height, bits);
      case kFmtGIF: {
        // Process-wide settings of the extension, not fields of the options.
        GifDesc d = GifFor();
        if (!DlgGIF(d)) return false;
        StoreGif(d);
        return true;
      }
      default:
        ErrRaise(kGrpGeneral, kGenNotSupported, 9);
    }
  });
}

void InstallFormatDialogs() {
  for (int32_t id : {kFmtTGA, kFmtTIFF, kFmtSGI, kFmtRAS, kFmtPNM, kFmtJPEG, kFmtPNG, kFmtHAV, kFmtMPEG,
                     kFmtAVI, kFmtGIF, kFmtMP4, kFmtWEBM})
    FFSaveSetDialog(id, FormatOptionsDialog);
  AviSetDialog(DlgAVI);
}

namespace {
// Installed when the library is loaded, before any host can ask for a dialog.
const bool g_installed = (InstallFormatDialogs(), true);
}  // namespace

}  // namespace vek::ui
