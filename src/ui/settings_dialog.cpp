#include "ui/settings_dialog.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/format_registry.h"
#include "engine/media_access.h"
#include "engine/save_options.h"
#include "foundation/errors.h"
#include "foundation/memory.h"
#include "foundation/value_list.h"
#include "image/geometry.h"
#include "ui/preview.h"

namespace vek::ui {

namespace {

using toolkit::ControlKind;
using toolkit::Control;
using toolkit::ControlSpec;
using toolkit::DialogSpec;
using toolkit::DialogView;

constexpr int kMinSize = 4;
constexpr int kMaxSize = 4096;

std::string JobText(const VekShortStr& s) {
  return std::string(s.text, std::min<size_t>(s.len, sizeof s.text));
}

class SettingsLogic final : public toolkit::DialogLogic {
 public:
  SettingsLogic(VekJob& work, VekJob& backup, const std::vector<std::string>& files,
                const std::string& caption, bool allow)
      : work_(work), backup_(backup), files_(files), caption_(caption), allow_(allow) {}
  ~SettingsLogic() override {
    Preview_Done(preview_);
    ImgFree(&source_);
    VList_Free(&depths_);
  }

  DialogSpec Layout() override { return SettingsLayout(caption_); }

  void OnOpen(DialogView& v) override {
    Monitored("wSettings.TfrmSet.InitControls", [&] { InitControls(v); });
  }

  void OnChange(DialogView& v, int id) override {
    if (updating_) return;
    switch (id) {
      case kSetBarFrame:
        EvFrameChanged(v);
        break;
      case kSetLstBPP: {
        const int32_t bits = SelectedDepth(v);
        if (bits > 0) work_.bpp = bits;
        v.SetEnabled(kSetChkDither, allow_ && bits == 8);
        break;
      }
      case kSetChkDither:
        work_.dither = v.Checked(kSetChkDither) ? -1 : 0;
        break;
      default:
        break;
    }
  }

  void OnTrack(DialogView& v, int id) override {
    // While the knob is dragged only the position follows; the picture
    // waits for the release.
    if (id == kSetBarFrame && !updating_ && !busy_) ShowPosition(v, v.Position(kSetBarFrame));
  }

  void OnLeave(DialogView& v, int id) override {
    if (updating_ || (id != kSetEdResX && id != kSetEdResY)) return;
    Monitored("wSettings.TfrmSet.EvSizeChanged", [&] {
      ReadControls(v);
      MakePreview(v);
    });
  }

  void OnMouse(DialogView&, int id, toolkit::MouseEvent event, int button, int x, int y) override {
    if (id == kSetDisplay) Display_Mouse(preview_.display, event, button, x, y);
  }

  void OnCommand(DialogView& v, int id) override {
    if (id == kSetBtnCodec) EvChangeCodec(v);
    if (id == kSetBtnUndo) EvUndoChanges(v);
  }

  bool OnClose(DialogView& v, int result) override {
    if (result == 1) Monitored("wSettings.TfrmSet.ReadControls", [&] { ReadControls(v); });
    return true;
  }

 private:
  void InitControls(DialogView& v) {
    const DialogSpec spec = Layout();
    const auto panel = std::find_if(spec.controls.begin(), spec.controls.end(),
                                    [](const ControlSpec& c) { return c.id == kSetPanView; });
    Preview_Init(preview_, v, *panel, kSetDisplay, 1);
    has_files_ = !files_.empty();
    if (work_.compatible) {
      work_.width = std::min(kMaxSize, (work_.width + 15) / 16 * 16);
      work_.height = std::min(kMaxSize, (work_.height + 15) / 16 * 16);
    }
    std::memcpy(&backup_, &work_, sizeof work_);
    FFSaveSetFormat(work_.saveOpts, work_.vidFmt);

    VList_Prepare2(&depths_);
    static const struct {
      int32_t bits;
      const char* text;
    } kDepths[] = {{24, "24-bit  (16M colors)"},
                   {16, "16-bit  (65k colors)"},
                   {15, "15-bit  (32k colors)"},
                   {8, "8-bit  (256 colors)"}};
    std::vector<std::string> items;
    for (const auto& d : kDepths) {
      if (FmtDepth(work_.vidFmt, d.bits) != d.bits) continue;
      VList_Add2(&depths_, d.text, d.bits);
      items.emplace_back(d.text);
    }
    v.SetItems(kSetLstBPP, items);

    const int count = static_cast<int>(files_.size());
    v.SetRange(kSetBarFrame, 0, has_files_ ? count - 1 : 0, 1, 1);
    v.SetPosition(kSetBarFrame, 0);
    v.SetEnabled(kSetBarFrame, has_files_);
    for (int id : {kSetBoxSize, kSetLabResX, kSetEdResX, kSetLabResY, kSetEdResY, kSetLabBPP, kSetLstBPP,
                   kSetChkDither, kSetBoxFormat, kSetLabName, kSetEdName, kSetLabCodec, kSetEdCodec,
                   kSetBtnCodec, kSetBtnUndo})
      v.SetEnabled(id, allow_);
    WriteControls(v);
  }

  void WriteControls(DialogView& v) {
    updating_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{updating_};
    v.SetText(kSetEdResX, std::to_string(work_.width));
    v.SetText(kSetEdResY, std::to_string(work_.height));
    v.SetText(kSetEdName, JobText(work_.vidFile));
    v.SetText(kSetEdCodec, FFSaveCodecName(work_.saveOpts));
    // Only a format with settings of its own has a dialog to open.
    v.SetEnabled(kSetBtnCodec, allow_ && HasFormat() && work_.saveOpts.dialog != 0);
    const int32_t row = VList_FindInt(&depths_, 1, work_.bpp, -1);
    v.SetSelected(kSetLstBPP, row);
    // Without a choice of depths the output is taken as 24 bits.
    const int32_t bits = VList_GetCount(&depths_) == 0 ? 24 : work_.bpp;
    v.SetEnabled(kSetChkDither, allow_ && bits == 8);
    v.SetChecked(kSetChkDither, work_.dither != 0);
    updating_ = false;
    last_position_ = -1;
    EvFrameChanged(v);
  }

  bool HasFormat() const {
    return work_.saveOpts.format != kUndefined && FmtIsWritable(work_.saveOpts.format);
  }

  int32_t SelectedDepth(DialogView& v) const {
    return VList_GetInt(&depths_, v.Selected(kSetLstBPP), 1, kUndefined);
  }

  void ReadControls(DialogView& v) {
    int32_t value = 0;
    if (ParseSize(v.Text(kSetEdResX), value)) work_.width = value;
    if (ParseSize(v.Text(kSetEdResY), value)) work_.height = value;
    // What was typed is shown as it is taken (a bad entry as the old value).
    v.SetText(kSetEdResX, std::to_string(work_.width));
    v.SetText(kSetEdResY, std::to_string(work_.height));
    work_.sourceRes = 0;
    // No selection (a depth the list does not offer) keeps the job's depth.
    const int32_t bits = SelectedDepth(v);
    if (bits != kUndefined) work_.bpp = bits;
    work_.dither = v.Checked(kSetChkDither) ? -1 : 0;
  }

  std::string NameAt(int position) const {
    const int count = static_cast<int>(files_.size());
    if (position < 0 || position >= count) return {};
    return files_[static_cast<size_t>(work_.direction == 1 ? position : count - 1 - position)];
  }

  void ShowPosition(DialogView& v, int position) {
    const int count = static_cast<int>(files_.size());
    v.SetText(kSetEdFrame, has_files_ ? std::to_string(position + 1) + " / " + std::to_string(count)
                                      : std::string("0 / 0"));
  }

  void EvFrameChanged(DialogView& v) {
    if (updating_ || busy_) return;
    busy_ = true;
    struct Reset {
      bool& flag;
      ~Reset() { flag = false; }
    } reset{busy_};
    const int position = v.Position(kSetBarFrame);
    ShowPosition(v, position);
    v.SetText(kSetEdFilename, NameAt(position));
    if (!has_files_ || position == last_position_) return;
    last_position_ = position;
    v.SetWaitCursor(true);
    LoadSource(NameAt(position));
    v.SetWaitCursor(false);
    MakePreview(v);
  }

  // A file that cannot be read leaves the preview as it was; the error stays
  // recorded and the dialog open.
  void LoadSource(const std::string& name) {
    MonitoredBoundary("wSettings.TfrmSet.LoadSource", [&] {
      QUniInfo info{};
      if (!UniInfo(name, info, 1, false)) {
        const int32_t g = ErrGroup(), c = ErrCode();
        if (g != 0 && c != 0) ErrRaise(g, c, 3411);
        ErrRaise(kGrpImage, kImgOpen, 3412);
      }
      QUniHandle h{};
      QImg frame{};
      ImgGuard frame_guard(frame);
      UniOpen(h, info);
      MonitoredBoundary("wSettings.TfrmSet.LoadFrame", [&] { UniImgLoad(h, frame, 1, 0); });
      const int32_t g = ErrGroup(), c = ErrCode();
      MonitoredBoundary("wSettings.TfrmSet.CloseSource", [&] { UniClose(h); });
      if (g != 0 && c != 0) ErrRaise(g, c, 3414);
      if (!frame.pixels || frame.width <= 0 || frame.height <= 0) ErrRaise(kGrpImage, kImgCorrupted, 3413);
      // The frame's block moves into the dialog's record as it is.
      ImgFree(&source_);
      source_ = frame;
      frame = QImg{};
      preview_error_ = false;
    });
    if (!ErrNone()) preview_error_ = true;
  }

  void MakePreview(DialogView&) {
    if (!source_.pixels) return;
    Monitored("wSettings.TfrmSet.MakePreview", [&] {
      QImg sized{};
      ImgGuard guard(sized);
      ImgResize(&source_, &sized, work_.width, work_.height);
      Preview_Show(preview_, &sized);
    });
  }

  void EvChangeCodec(DialogView& v) {
    if (FFSaveDlg(work_.saveOpts, work_.width, work_.height, work_.bpp))
      v.SetText(kSetEdCodec, FFSaveCodecName(work_.saveOpts));
  }

  void EvUndoChanges(DialogView& v) {
    if (!v.AskYesNo("Undo all changes made in this dialog?")) return;
    std::memcpy(&work_, &backup_, sizeof work_);
    // The backup was taken before the output format was selected.
    FFSaveSetFormat(work_.saveOpts, work_.vidFmt);
    WriteControls(v);
  }

 public:
  bool preview_error_ = false;

 private:
  VekJob& work_;
  VekJob& backup_;
  const std::vector<std::string>& files_;
  std::string caption_;
  bool allow_;
  bool has_files_ = false;
  bool updating_ = false;
  bool busy_ = false;
  int last_position_ = -1;
  VList depths_{};
  QImg source_{};
  TPreview preview_;
};

}  // namespace

bool ParseSize(const std::string& text, int32_t& value) {
  size_t i = 0, n = text.size();
  while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  while (n > i && std::isspace(static_cast<unsigned char>(text[n - 1]))) --n;
  if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
  if (i >= n) return false;
  int64_t v = 0;
  for (; i < n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    v = std::min<int64_t>(v * 10 + (text[i] - '0'), int64_t{1} << 40);
  }
  value = static_cast<int32_t>(std::clamp<int64_t>(v, kMinSize, kMaxSize));
  return true;
}

DialogSpec SettingsLayout(const std::string& caption) {
  DialogSpec d;
  d.caption = caption;
  d.width = 760;
  d.height = 400;
  auto& c = d.controls;
  // Group frames first, so the controls inside draw over them.
  c.push_back(Control(kSetBoxSize, ControlKind::Group, "boxSize", "Resolution and Color Depth", 372, 8, 378, 170));
  c.push_back(Control(kSetBoxFormat, ControlKind::Group, "boxFormat", "Output File", 372, 188, 378, 132));
  c.push_back(Control(kSetPanView, ControlKind::Panel, "panView", "", 10, 10, 352, 272));
  c.push_back(Display_Control(kSetDisplay, 11, 11, 16, 16));
  c.push_back(Control(kSetEdFrame, ControlKind::Edit, "edFrame", "", 10, 290, 90, 24));
  c.back().read_only = true;
  c.push_back(Control(kSetEdFilename, ControlKind::Edit, "edFilename", "", 106, 290, 256, 24));
  c.back().read_only = true;
  c.back().show_end = true;
  c.push_back(Control(kSetBarFrame, ControlKind::TrackBar, "barFrame", "", 10, 322, 352, 24));
  c.push_back(Control(kSetLabResX, ControlKind::Label, "labResX", "Width", 386, 34, 96, 22));
  c.push_back(Control(kSetEdResX, ControlKind::Edit, "edResX", "", 486, 33, 110, 24));
  c.push_back(Control(kSetLabResY, ControlKind::Label, "labResY", "Height", 386, 64, 96, 22));
  c.push_back(Control(kSetEdResY, ControlKind::Edit, "edResY", "", 486, 63, 110, 24));
  c.push_back(Control(kSetLabBPP, ControlKind::Label, "labBPP", "Bits per pixel", 386, 94, 350, 22));
  c.push_back(Control(kSetLstBPP, ControlKind::Combo, "lstBPP", "", 386, 117, 350, 24));
  c.push_back(Control(kSetChkDither, ControlKind::Check, "chkDither", "Dithering", 386, 147, 350, 22));
  c.push_back(Control(kSetLabName, ControlKind::Label, "labName", "Name:", 386, 214, 50, 22));
  c.push_back(Control(kSetEdName, ControlKind::Edit, "edName", "", 440, 213, 296, 24));
  c.back().read_only = true;
  c.back().show_end = true;
  c.push_back(Control(kSetLabCodec, ControlKind::Label, "labCodec", "Codec:", 386, 244, 50, 22));
  c.push_back(Control(kSetEdCodec, ControlKind::Edit, "edCodec", "", 440, 243, 296, 24));
  c.back().read_only = true;
  c.push_back(Control(kSetBtnCodec, ControlKind::Button, "btnCodec", "&Codec Settings...", 576, 278, 160, 28));
  c.push_back(Control(kSetBtnUndo, ControlKind::Button, "btnUndo", "Revert...", 10, 360, 100, 28));
  c.push_back(Control(kSetBtnOK, ControlKind::Button, "btnOK", "OK", 554, 360, 94, 28));
  c.back().modal_result = 1;
  c.back().is_default = true;
  c.push_back(Control(kSetBtnCancel, ControlKind::Button, "btnCancel", "Cancel", 656, 360, 94, 28));
  c.back().modal_result = 2;
  return d;
}

bool DlgSettings(VekJob& job, const std::vector<std::string>& files, const std::string& caption,
                 bool allow_changes) {
  return Monitored("wSettings.DlgSettings", [&]() -> bool {
    if (!toolkit::DisplayAvailable()) return false;
    Tracked<VekJob> work(1, 3401, "wSettings.DlgSettings.frmSet.dataP");
    Tracked<VekJob> backup(1, 3402, "wSettings.DlgSettings.frmSet.backupP");
    std::memcpy(work.get(), &job, sizeof job);
    std::memcpy(backup.get(), &job, sizeof job);
    SettingsLogic logic(*work.get(), *backup.get(), files, caption, allow_changes);
    const int result = toolkit::RunModal(logic);
    // An error of a handler ended the dialog: it travels on to the caller.
    if (result == 0 && !ErrNone()) ErrRaise(ErrGroup(), ErrCode(), 3403);
    if (result != 1) return false;
    std::memcpy(&job, work.get(), sizeof job);
    // The user confirmed: a source that could not be previewed is no failure.
    if (logic.preview_error_) ErrClear();
    return true;
  });
}

}  // namespace vek::ui
