#include "ui/avi_dialog.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "foundation/errors.h"
#include "ui/option_dialogs.h"

namespace vek::ui {

using toolkit::ControlKind;
using toolkit::Control;
using toolkit::ControlSpec;
using toolkit::DialogSpec;
using toolkit::DialogView;

// ---------------------------------------------------------------- the AVI module

const QAviCodec* AviModuleSource::Query(int32_t width, int32_t height, int32_t bits, int32_t& count) {
  const QAviCodec* entries = nullptr;
  count = AviCodecsQuery(&entries, width, height, bits);
  return entries;
}

void AviModuleSource::Reload() { AviCodecsInit(); }

void AviModuleSource::Current(QAviCodec& codec) { AviSettingsGet(codec); }

void AviModuleSource::Store(const QAviCodec& codec, int32_t key_frames, int32_t quality,
                            int32_t data_rate) {
  AviSettingsSet(codec);
  AviSettingsSetKeyFrameEvery(key_frames);
  AviSettingsSetQuality(quality);
  AviSettingsSetDataRate(data_rate);
}

void AviModuleSource::About(uint32_t handler) { AviCodecAbout(handler); }

void AviModuleSource::Configure(QAviCodec& codec) { AviCodecConfigure(codec); }

// ---------------------------------------------------------------- texts

std::string AviResText(int32_t width, int32_t height, int32_t bits) {
  if (width == 0 || height == 0 || bits == 0) return "not supported";
  return std::to_string(width) + "x" + std::to_string(height) + ", " + std::to_string(bits) + "-bit";
}

std::string AviFourCCText(uint32_t handler) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = static_cast<unsigned char>((handler >> (8 * i)) & 0xFF);
    s += std::isprint(c) ? static_cast<char>(c) : ' ';
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08Xh", handler);
  return s + ",  " + hex;
}

namespace {

uint32_t Upper(uint32_t h) {
  uint32_t r = 0;
  for (int i = 0; i < 4; ++i)
    r |= uint32_t(std::toupper(static_cast<unsigned char>((h >> (8 * i)) & 0xFF))) << (8 * i);
  return r;
}

// OK is the default button here.
ControlSpec Ctl(int id, ControlKind kind, const char* name, const char* caption, int x, int y, int w, int h,
                int result = 0) {
  ControlSpec c = Control(id, kind, name, caption, x, y, w, h, result);
  c.is_default = result == 1;
  return c;
}

bool IsEnd(const QAviCodec& r) { return r.index == 0 && r.handler == 0; }

}  // namespace

// ---------------------------------------------------------------- dialog

AviDialog::AviDialog(AviCodecSource& source, int32_t width, int32_t height, int32_t bits)
    : source_(source) {
  data_.Alloc(1, 1, "wDlgAvi.DlgAVI.pData", kMemNew);
  std::memset(data_.get(), 0, sizeof(AviDlgData));
  data_.get()->width = width;
  data_.get()->height = height;
  data_.get()->bits = bits;
  cur_.Alloc(1, 2, "wDlgAvi.InitControls.pData^.pCurCodec", kMemNew);
  *cur_.get() = QAviCodec{};
}

DialogSpec AviDialog::Layout() {
  DialogSpec s;
  s.caption = "Select AVI Video Format";
  s.width = 520;
  s.height = 478;
  auto add = [&](ControlSpec c) { s.controls.push_back(std::move(c)); };
  add(Ctl(kLabCodecs, ControlKind::Label, "labCodecs", "&Compressor:", 10, 8, 200, 22));
  add(Ctl(kLstCodecs, ControlKind::List, "lstCodecs", "", 10, 30, 350, 164));
  add(Ctl(kLabWhat, ControlKind::Label, "labWhat", "&Show:", 10, 202, 50, 26));
  add(Ctl(kLstWhat, ControlKind::Combo, "lstWhat", "", 62, 202, 298, 26));
  add(Ctl(kBtnOK, ControlKind::Button, "btnOK", "OK", 372, 30, 138, 26, 1));
  add(Ctl(kBtnCancel, ControlKind::Button, "btnCancel", "Cancel", 372, 62, 138, 26, 2));
  add(Ctl(kBtnConfig, ControlKind::Button, "btnConfig", "Con&figure...", 372, 104, 138, 26));
  add(Ctl(kBtnAbout, ControlKind::Button, "btnAbout", "&About...", 372, 136, 138, 26));
  add(Ctl(kButton1, ControlKind::Button, "Button1", "System Defaults...", 372, 202, 138, 26));
  add(Ctl(kLabQualTitle, ControlKind::Label, "labQualTitle", "Compression &Quality:", 10, 242, 160, 24));
  add(Ctl(kBarQuality, ControlKind::ScrollBar, "barQuality", "", 172, 244, 268, 20));
  add(Ctl(kLabQuality, ControlKind::Label, "labQuality", "", 448, 242, 62, 24));
  add(Ctl(kChkKFM, ControlKind::Check, "chkKFM", "&Key Frame Every", 10, 274, 160, 26));
  add(Ctl(kEdKFM, ControlKind::Edit, "edKFM", "", 172, 274, 70, 26));
  add(Ctl(kLabKFM, ControlKind::Label, "labKFM", "frames", 248, 274, 70, 26));
  add(Ctl(kChkDataRate, ControlKind::Check, "chkDataRate", "&Data Rate", 10, 306, 160, 26));
  add(Ctl(kEdDataRate, ControlKind::Edit, "edDataRate", "", 172, 306, 70, 26));
  add(Ctl(kLabDataRate, ControlKind::Label, "labDataRate", "kB/sec", 248, 306, 70, 26));
  add(Ctl(kBoxCodecInfo, ControlKind::Group, "boxCodecInfo", "Codec Information", 10, 352, 500, 116));
  add(Ctl(kLabResTitle, ControlKind::Label, "labResTitle", "Image Resolution:", 22, 364, 150, 22));
  add(Ctl(kLabBefore, ControlKind::Label, "labBefore", "Before:", 36, 386, 56, 22));
  add(Ctl(kLabInRes, ControlKind::Label, "labInRes", "", 94, 386, 150, 22));
  add(Ctl(kLabAfter, ControlKind::Label, "labAfter", "After:", 256, 386, 48, 22));
  add(Ctl(kLabOutRes, ControlKind::Label, "labOutRes", "", 306, 386, 196, 22));
  add(Ctl(kLabFCCTitle, ControlKind::Label, "labFCCTitle", "FourCC:", 22, 412, 70, 22));
  add(Ctl(kLabFCC, ControlKind::Label, "labFCC", "", 94, 412, 408, 22));
  add(Ctl(kLabEncodeTitle, ControlKind::Label, "labEncodeTitle", "Encoder:", 22, 436, 70, 22));
  add(Ctl(kLabEncode, ControlKind::Label, "labEncode", "", 94, 436, 150, 22));
  return s;
}

void AviDialog::Query() {
  // The entries copied before belong to the catalogue that is replaced.
  entries_ = nullptr;
  int32_t count = 0;
  const AviDlgData& d = *data_.get();
  entries_ = source_.Query(d.width, d.height, d.bits, count);
  data_.get()->count = entries_ ? std::max(count, 0) : 0;
}

void AviDialog::InitControls(DialogView& v) {
  AviDlgData& d = *data_.get();
  d.ready = 0;
  v.SetItems(kLstCodecs, {kAviWaitLine});
  v.SetItems(kLstWhat, {kAviFilters[0], kAviFilters[1], kAviFilters[2]});
  v.SetSelected(kLstWhat, 0);
  for (int id : {kLabInRes, kLabOutRes, kLabFCC, kLabEncode}) v.SetText(id, "");
  v.SetWaitCursor(true);
  struct WaitEnd {
    DialogView& v;
    ~WaitEnd() { v.SetWaitCursor(false); }
  } wait_end{v};
  Query();
  QAviCodec& cur = *cur_.get();
  source_.Current(cur);
  // The catalogue's entry for the current handler, with the current values.
  const QAviCodec* match = nullptr;
  for (int32_t i = 0; i < d.count && !IsEnd(entries_[i]); ++i)
    if (Upper(entries_[i].handler) == Upper(cur.handler)) {
      match = &entries_[i];
      break;
    }
  if (!match && d.count > 0 && !IsEnd(entries_[0])) match = &entries_[0];
  if (match) {
    const int32_t kf = cur.key_frame_every, q = cur.quality, dr = cur.data_rate;
    cur = *match;
    cur.key_frame_every = kf;
    cur.quality = q;
    cur.data_rate = dr;
  } else {
    // Nothing to point at once the dialog ends.
    cur.state = nullptr;
    cur.state_size = 0;
  }
}

void AviDialog::FillList(DialogView& v) {
  AviDlgData& d = *data_.get();
  const int filter = v.Selected(kLstWhat);
  std::vector<std::string> lines;
  int sel = -1;
  d.lines = 0;
  for (int32_t i = 0; i < d.count && !IsEnd(entries_[i]) && d.lines < kAviMaxLines; ++i) {
    const QAviCodec& e = entries_[i];
    const bool shown = filter == 2 ? true : filter == 1 ? e.encoder != 0 : e.available != 0;
    if (!shown) continue;
    if (sel < 0 && e.handler == cur_.get()->handler) sel = d.lines;
    d.shown[d.lines++] = i;
    lines.emplace_back(e.description, strnlen(e.description, sizeof e.description));
  }
  v.SetItems(kLstCodecs, lines);
  v.SetSelected(kLstCodecs, lines.empty() ? -1 : std::max(sel, 0));
}

void AviDialog::ShowQuality(DialogView& v) {
  v.SetText(kLabQuality, std::to_string(v.Position(kBarQuality)) + "%");
}

void AviDialog::SelectLine(DialogView& v, bool copy) {
  const AviDlgData& d = *data_.get();
  const int line = v.Selected(kLstCodecs);
  if (line < 0 || line >= d.lines) {
    v.Message(kAviNoCodec);
    return;
  }
  const QAviCodec& e = entries_[d.shown[line]];
  v.SetEnabled(kBtnConfig, e.has_configure != 0);
  v.SetEnabled(kBtnAbout, e.has_about != 0);
  v.SetText(kLabFCC, AviFourCCText(e.handler));
  v.SetText(kLabEncode, e.encoder ? "Yes" : "No");
  v.SetText(kLabInRes, AviResText(d.width, d.height, d.bits));
  v.SetText(kLabOutRes, AviResText(e.out_width, e.out_height, e.bits));
  v.SetBold(kLabOutRes, e.out_width != d.width || e.out_height != d.height || e.bits != d.bits);
  QAviCodec& cur = *cur_.get();
  if (copy) cur = e;
  if (e.can_quality) {
    v.SetRange(kBarQuality, 0, 100, 1, 10);
    v.SetPosition(kBarQuality, std::clamp(cur.quality, 0, 100));
  } else {
    v.SetRange(kBarQuality, 0, 0, 1, 1);
    v.SetPosition(kBarQuality, 0);
  }
  v.SetEnabled(kBarQuality, e.can_quality != 0);
  ShowQuality(v);
  v.SetEnabled(kChkKFM, e.can_key_frames != 0);
  v.SetChecked(kChkKFM, cur.key_frame_every > 0);
  v.SetText(kEdKFM, std::to_string(cur.key_frame_every));
  v.SetEnabled(kEdKFM, e.can_key_frames != 0 && cur.key_frame_every > 0);
  v.SetEnabled(kChkDataRate, e.can_data_rate != 0);
  v.SetChecked(kChkDataRate, cur.data_rate > 0);
  v.SetText(kEdDataRate, std::to_string(cur.data_rate));
  v.SetEnabled(kEdDataRate, e.can_data_rate != 0 && cur.data_rate > 0);
}

void AviDialog::OnOpen(DialogView& v) {
  Guard(v, "wDlgAvi.FormActivate", [&] {
    if (data_.get()->ready) return;
    InitControls(v);
    FillList(v);
    v.Focus(kLstCodecs);
    data_.get()->ready = 1;
    SelectLine(v, false);
  });
}

void AviDialog::OnChange(DialogView& v, int id) {
  Guard(v, "wDlgAvi.OnChange", [&] {
    if (!data_.get()->ready) return;
    switch (id) {
      case kLstCodecs:
        SelectLine(v, true);
        break;
      case kLstWhat:
        FillList(v);
        SelectLine(v, true);
        break;
      case kBarQuality:
        ShowQuality(v);
        break;
      case kChkKFM:
        v.SetEnabled(kEdKFM, v.Checked(kChkKFM) && v.Enabled(kChkKFM));
        break;
      case kChkDataRate:
        v.SetEnabled(kEdDataRate, v.Checked(kChkDataRate) && v.Enabled(kChkDataRate));
        break;
      default:
        break;
    }
  });
}

void AviDialog::OnTrack(DialogView& v, int id) {
  if (id == kBarQuality) OnChange(v, id);
}

void AviDialog::OnCommand(DialogView& v, int id) {
  Guard(v, "wDlgAvi.OnCommand", [&] {
    if (id == kBtnConfig) {
      source_.Configure(*cur_.get());
    } else if (id == kBtnAbout) {
      source_.About(cur_.get()->handler);
    } else if (id == kButton1) {
      if (!v.AskYesNo(kAviDefaultsQuestion)) return;
      // The stored states go with the old catalogue.
      cur_.get()->state = nullptr;
      cur_.get()->state_size = 0;
      entries_ = nullptr;
      data_.get()->count = 0;
      source_.Reload();
      Query();
      FillList(v);
      SelectLine(v, true);
    }
  });
}

bool AviDialog::OnClose(DialogView& v, int result) {
  return GuardClose(v, "wDlgAvi.btnOKClick", [&]() -> bool {
    if (result != 1) return true;
    int64_t n = 0;
    QAviCodec& cur = *cur_.get();
    // Text that is no number keeps the value the codec had.
    int32_t kf = 0, dr = 0;
    if (v.Checked(kChkKFM)) kf = ParseInt(v.Text(kEdKFM), n) ? int32_t(std::clamp<int64_t>(n, 0, INT32_MAX)) : cur.key_frame_every;
    if (v.Checked(kChkDataRate))
      dr = ParseInt(v.Text(kEdDataRate), n) ? int32_t(std::clamp<int64_t>(n, 0, INT32_MAX)) : cur.data_rate;
    const int32_t q = v.Position(kBarQuality);
    cur.key_frame_every = kf;
    cur.quality = q;
    cur.data_rate = dr;
    source_.Store(cur, kf, q, dr);
    return true;
  });
}

bool DlgAVI(int32_t width, int32_t height, int32_t bits) {
  return Monitored("wDlgAvi.DlgAVI", [&]() -> bool {
    AviModuleSource source;
    AviDialog dialog(source, width, height, bits);
    return RunGuarded(dialog, 11);
  });
}

}  // namespace vek::ui
