#include "ui/video_dialog.h"

#include <algorithm>

#include "ui/option_dialogs.h"

namespace vek::ui {

using toolkit::Control;
using toolkit::ControlKind;
using toolkit::ControlSpec;
using toolkit::DialogSpec;
using toolkit::DialogView;

namespace {

constexpr int kBtnW = 80, kBtnH = 26;
constexpr int kRow = 36;  // rows of the dialog, top to top

int32_t ClampRate(int64_t rate) { return static_cast<int32_t>(std::clamp<int64_t>(rate, 0, kVideoMaxRate)); }
int32_t ClampKeys(int64_t n) { return static_cast<int32_t>(std::clamp<int64_t>(n, 0, kVideoMaxKeyFrames)); }

}  // namespace

VideoDialog::VideoDialog(VideoDesc& desc)
    : desc_(desc), rate_(ClampRate(desc.bit_rate)), key_frames_(ClampKeys(desc.key_frames)) {}

DialogSpec VideoDialog::Layout() {
  DialogSpec s;
  s.caption = desc_.title;
  int y = 12;
  auto label = [&](int id, const char* name, const char* text, int x, int w) {
    s.controls.push_back(Control(id, ControlKind::Label, name, text, x, y, w, 26));
  };
  label(kLabQuality, "labQuality", "&Quality", 10, 120);
  s.controls.push_back(Control(kBarQuality, ControlKind::ScrollBar, "barQuality", "", 134, y + 3, 210, 20));
  label(kLabQualityValue, "labQualityValue", "", 352, 60);
  y += kRow;
  label(kLabRate, "labRate", "&Data rate", 10, 120);
  s.controls.push_back(Control(kEdRate, ControlKind::Edit, "edRate", "", 134, y, 80, 26));
  label(kLabRateUnit, "labRateUnit", "kilobits/sec (0: by quality)", 222, 200);
  y += kRow;
  label(kLabKey, "labKey", "&Key frame every", 10, 120);
  s.controls.push_back(Control(kEdKey, ControlKind::Edit, "edKey", "", 134, y, 80, 26));
  label(kLabKeyUnit, "labKeyUnit", "frame(s) (0: automatic)", 222, 200);
  y += kRow;
  // Only an encoder with speed presets gets the row (neither writer offers
  // any yet: OpenH264 runs at its high complexity, VP9 at cpu-used 4).
  if (!desc_.presets.empty()) {
    label(kLabPreset, "labPreset", "Encoder &preset", 10, 120);
    s.controls.push_back(Control(kCmbPreset, ControlKind::Combo, "cmbPreset", "", 134, y, 210, 26));
    y += kRow;
  }
  y += 6;
  ControlSpec ok = Control(kBtnOK, ControlKind::Button, "btnOK", "OK", 252, y, kBtnW, kBtnH, 1);
  ok.is_default = true;
  s.controls.push_back(ok);
  s.controls.push_back(Control(kBtnCancel, ControlKind::Button, "btnCancel", "Cancel", 342, y, kBtnW, kBtnH, 2));
  s.width = 432;
  s.height = y + kBtnH + 10;
  return s;
}

void VideoDialog::OnOpen(DialogView& v) {
  v.SetRange(kBarQuality, 0, 100, 1, 10);
  v.SetPosition(kBarQuality, std::clamp(desc_.quality, 0, 100));
  v.SetText(kLabQualityValue, std::to_string(v.Position(kBarQuality)) + "%");
  if (!desc_.presets.empty()) {
    v.SetItems(kCmbPreset, desc_.presets);
    v.SetSelected(kCmbPreset, std::clamp(desc_.preset, 0, static_cast<int32_t>(desc_.presets.size()) - 1));
  }
  v.SetText(kEdRate, std::to_string(rate_));
  v.SetText(kEdKey, std::to_string(key_frames_));
}

// Reads one edit (the other keeps what was typed into it): text that is no
// number puts the last value back; numbers are clamped.
void VideoDialog::Take(DialogView& v, int id) {
  int64_t n = 0;
  if (id == kEdRate) {
    if (ParseInt(v.Text(kEdRate), n)) rate_ = ClampRate(n);
    v.SetText(kEdRate, std::to_string(rate_));
  } else if (id == kEdKey) {
    if (ParseInt(v.Text(kEdKey), n)) key_frames_ = ClampKeys(n);
    v.SetText(kEdKey, std::to_string(key_frames_));
  }
}

void VideoDialog::OnChange(DialogView& v, int id) {
  if (id == kBarQuality) v.SetText(kLabQualityValue, std::to_string(v.Position(kBarQuality)) + "%");
}

void VideoDialog::OnLeave(DialogView& v, int id) {
  if (id == kEdRate || id == kEdKey) Take(v, id);
}

bool VideoDialog::OnClose(DialogView& v, int result) {
  if (result != 1) return true;
  // Numbers typed and confirmed at once count as if their edits were left.
  Take(v, kEdRate);
  Take(v, kEdKey);
  desc_.quality = std::clamp(v.Position(kBarQuality), 0, 100);
  desc_.bit_rate = rate_;
  desc_.key_frames = key_frames_;
  if (!desc_.presets.empty())
    desc_.preset = std::clamp(v.Selected(kCmbPreset), 0, static_cast<int32_t>(desc_.presets.size()) - 1);
  return true;
}

// Both writers keep their options in fields of the save options record that
// they share with other formats (the record's layout is the host's): the
// quality in the JPEG quality, the data rate in kilobits per second in the
// MPEG rate, the key-frame interval in HAV's.
VideoDesc VideoFor(const QSaveOpts& opts) {
  VideoDesc d;
  d.title = opts.format == kFmtWEBM ? "WebM Settings" : "MP4 Settings";
  d.quality = opts.jpegQuality;
  d.bit_rate = opts.mpegDataRate;
  d.key_frames = opts.havKeyFrameRate;
  return d;
}

void StoreVideo(QSaveOpts& opts, const VideoDesc& desc) {
  opts.jpegQuality = desc.quality;
  opts.mpegDataRate = desc.bit_rate;
  opts.havKeyFrameRate = desc.key_frames;
}

}  // namespace vek::ui
