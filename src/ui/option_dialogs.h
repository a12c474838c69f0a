// The option dialogs of the still and movie formats (FFDlg): a choice among
// a few values, one number on a slider, the HAV settings and the MPEG
// settings. Each edits a copy of its description and hands the values back
// only on "OK". The logic classes draw nothing; the Dlg* functions show them
// through the platform toolkit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/save_options.h"
#include "platform/toolkit/toolkit.h"

namespace vek::ui {

// ---------------------------------------------------------------- descriptions

struct ChoiceDesc {
  std::string title;
  int32_t count = 0;  // clamped to 1..5
  std::string texts[5];
  int32_t values[5] = {};
  int32_t current = 0;
};

struct SliderDesc {
  std::string title;
  double minimum = 0, maximum = 0, line_step = 1, page_step = 1;
  int32_t decimals = 0;
  double value = 0;
};

struct HavDesc {
  std::string title;
  std::string texts[2];
  int32_t values[2] = {};
  int32_t codec = 0;
  int32_t key_frames = 0;
};

// The GIF writer's settings (process-wide, like the other extensions).
struct GifDesc {
  std::string title;
  std::string texts[3];   // palette modes
  int32_t values[3] = {};
  int32_t mode = 0;       // palette mode
  int32_t loop = 0;       // plays, 0 forever
  int32_t refine = 0;     // refinement passes of the palette optimiser
};

inline constexpr int32_t kMpegMinRate = 1;
inline constexpr int32_t kMpegMaxRate = 102400;

struct MpegDesc {
  std::string title;
  int32_t codec = 1;  // 1 MPEG-1, 2 MPEG-2
  int32_t min_rate = kMpegMinRate, max_rate = kMpegMaxRate;
  int32_t bit_rate = 0;  // kilobits per second
};

// ---------------------------------------------------------------- slider arithmetic (CtlSlider)

// Maps a value range with a step onto integer scroll positions 0..ScrollMax.
class Slider {
 public:
  Slider(double minimum, double maximum, double line_step, double page_step, int32_t decimals);
  int32_t ScrollMax() const { return scroll_max_; }
  int32_t LargeChange() const { return large_change_; }
  bool Enabled() const { return scroll_max_ > 0; }
  // Clamps and stores the value; the position follows.
  void SetValue(double value);
  // The value of a bar position, rounded to the decimals and clamped.
  void SetPosition(int32_t position);
  double Value() const { return value_; }
  int32_t Position() const { return position_; }
  std::string Text() const;  // the value with its decimals

 private:
  double min_, max_;
  int32_t decimals_;
  int32_t scroll_max_ = 0, large_change_ = 0;
  double value_ = 0;
  int32_t position_ = 0;
};

// Text to number for the dialogs' edit fields: an optional sign and digits,
// surrounding blanks allowed; huge numbers saturate. False for anything else.
bool ParseInt(const std::string& text, int64_t& value);

// ---------------------------------------------------------------- dialogs

// TfrmDlgSelect: a radio group of up to five options.
class ChoiceDialog : public toolkit::DialogLogic {
 public:
  enum Id { kRadOpt = 1, kBtnOK, kBtnCancel };
  explicit ChoiceDialog(ChoiceDesc& desc);
  toolkit::DialogSpec Layout() override;
  void OnOpen(toolkit::DialogView& v) override;
  bool OnClose(toolkit::DialogView& v, int result) override;

 private:
  ChoiceDesc& desc_;
  int32_t count_;
};

// TfrmDlgOne: one number shown in a grey edit and set with a scroll bar.
class SliderDialog : public toolkit::DialogLogic {
 public:
  enum Id { kGroupBox1 = 1, kEdValue, kScrollBar1, kBtnOK, kBtnCancel };
  explicit SliderDialog(SliderDesc& desc);
  toolkit::DialogSpec Layout() override;
  void OnOpen(toolkit::DialogView& v) override;
  void OnChange(toolkit::DialogView& v, int id) override;
  void OnTrack(toolkit::DialogView& v, int id) override { OnChange(v, id); }
  bool OnClose(toolkit::DialogView& v, int result) override;

 private:
  SliderDesc& desc_;
  Slider slider_;
};

// TfrmDlgHAV: codec choice and key-frame interval.
class HavDialog : public toolkit::DialogLogic {
 public:
  enum Id { kRadCompr = 1, kLabKFM, kEdKFM, kLabFrames, kBtnOK, kBtnCancel };
  explicit HavDialog(HavDesc& desc);
  toolkit::DialogSpec Layout() override;
  void OnOpen(toolkit::DialogView& v) override;
  bool OnClose(toolkit::DialogView& v, int result) override;

 private:
  HavDesc& desc_;
};

// The GIF options: palette mode, plays and refinement passes (these only
// matter to the optimiser, so they are enabled with it alone).
class GifDialog : public toolkit::DialogLogic {
 public:
  enum Id { kRadPalette = 1, kLabLoop, kEdLoop, kLabLoopUnit, kLabRefine, kEdRefine, kBtnOK, kBtnCancel };
  explicit GifDialog(GifDesc& desc);
  toolkit::DialogSpec Layout() override;
  void OnOpen(toolkit::DialogView& v) override;
  void OnChange(toolkit::DialogView& v, int id) override;
  bool OnClose(toolkit::DialogView& v, int result) override;

 private:
  GifDesc& desc_;
};

struct MpegPreset {
  const char* name;
  int32_t bit_rate;  // kilobits per second; 0: "Custom"
};
inline constexpr MpegPreset kMpegPresets[] = {
    {"MPEG-1 Standard", 1125},
    {"MPEG-2 Standard", 4882},
    {"28 kilobits/sec (modem)", 28},
    {"300 kilobytes/sec (CDROM x 2)", 2400},
    {"600 kilobytes/sec (CDROM x 4)", 4800},
    {"1200 kilobytes/sec (CDROM x 8)", 9600},
    {"Custom", 0},
};

// TfrmDlgMPG: MPEG-1 or MPEG-2, and the bit rate typed, in bytes, or from a preset.
class MpegDialog : public toolkit::DialogLogic {
 public:
  enum Id {
    kLabPresets = 1, kLstPresets, kGrpFormat, kRadMpeg1, kRadMpeg2, kLabBits, kEdBits, kLabBitsUnit,
    kLabBytes, kEdBytes, kLabBytesUnit, kBtnOK, kBtnCancel
  };
  explicit MpegDialog(MpegDesc& desc);
  toolkit::DialogSpec Layout() override;
  void OnOpen(toolkit::DialogView& v) override;
  void OnChange(toolkit::DialogView& v, int id) override;
  void OnLeave(toolkit::DialogView& v, int id) override;
  bool OnClose(toolkit::DialogView& v, int result) override;

 private:
  int32_t Clamp(int64_t rate) const;
  void Show(toolkit::DialogView& v);
  void TakeBits(toolkit::DialogView& v);
  void TakeBytes(toolkit::DialogView& v);

  MpegDesc& desc_;
  int32_t rate_;
  int edited_ = 0;  // the edit typed into since its numbers were last taken
};

// Shown modally; true on "OK" with the chosen values written back. An error
// while the dialog runs ends it with false, leaves the description as it was
// and is shown to the user in a message box (when a window was open).
bool DlgSelect(ChoiceDesc& desc);
bool DlgOne(SliderDesc& desc);
bool DlgHAV(HavDesc& desc);
bool DlgMPG(MpegDesc& desc);
bool DlgGIF(GifDesc& desc);

// The descriptions of a format's options as the save options hold them, and
// the values chosen written back (the same pair the format dialog uses).
ChoiceDesc ChoiceFor(const QSaveOpts& opts);  // TGA, TIFF, SGI, RAS, PNM
void StoreChoice(QSaveOpts& opts, const ChoiceDesc& desc);
SliderDesc SliderFor(const QSaveOpts& opts);  // JPEG, PNG
void StoreSlider(QSaveOpts& opts, const SliderDesc& desc);
HavDesc HavFor(const QSaveOpts& opts);
void StoreHav(QSaveOpts& opts, const HavDesc& desc);
MpegDesc MpegFor(const QSaveOpts& opts);
// The palette modes with the current one.
ChoiceDesc GifChoice();
// The GIF options as the process-wide settings hold them, and stored back.
GifDesc GifFor();
void StoreGif(const GifDesc& desc);
void StoreMpeg(QSaveOpts& opts, const MpegDesc& desc);

// The options dialog of the options' format; true when the user confirmed.
bool FormatOptionsDialog(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits);

// Hands the format dialogs and the AVI codec dialog to the engine and the AVI
// module (idempotent; also done when the library is loaded).
void InstallFormatDialogs();

}  // namespace vek::ui
