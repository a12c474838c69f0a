// The AVI video format dialog (wDlgAvi): the installed video codecs, filtered
// three ways, what the selected one makes of the frames, and its quality,
// key-frame interval and data rate. "OK" makes the choice the AVI module's
// current codec settings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/movie/avi.h"
#include "foundation/memory.h"
#include "ui/dialog_guard.h"

namespace vek::ui {

// What the dialog asks of the AVI module (the real one, or a test's).
class AviCodecSource {
 public:
  virtual ~AviCodecSource() = default;
  // The catalogue for frames of that size and depth, ending with a zeroed
  // record; entries stay valid until the next query or reload.
  virtual const QAviCodec* Query(int32_t width, int32_t height, int32_t bits, int32_t& count) = 0;
  // Builds the catalogue again from the installed codecs.
  virtual void Reload() = 0;
  virtual void Current(QAviCodec& codec) = 0;
  // Makes the record current with the three values.
  virtual void Store(const QAviCodec& codec, int32_t key_frames, int32_t quality, int32_t data_rate) = 0;
  virtual void About(uint32_t handler) = 0;
  virtual void Configure(QAviCodec& codec) = 0;
};

// The AVI module behind the interface above.
class AviModuleSource final : public AviCodecSource {
 public:
  const QAviCodec* Query(int32_t width, int32_t height, int32_t bits, int32_t& count) override;
  void Reload() override;
  void Current(QAviCodec& codec) override;
  void Store(const QAviCodec& codec, int32_t key_frames, int32_t quality, int32_t data_rate) override;
  void About(uint32_t handler) override;
  void Configure(QAviCodec& codec) override;
};

inline constexpr int32_t kAviMaxLines = 256;

// The dialog data, one tracked block while the dialog lives.
struct AviDlgData {
  int32_t count;  // entries of the last catalogue query
  int32_t shown[kAviMaxLines];  // catalogue index of each line of the list
  int32_t lines;
  int32_t width, height, bits;
  int32_t ready;
};

// TfrmDlgAVI.
class AviDialog final : public GuardedLogic {
 public:
  enum Id {
    kLabCodecs = 1, kLstCodecs, kLabWhat, kLstWhat, kLabQualTitle, kBarQuality, kLabQuality, kChkKFM,
    kEdKFM, kLabKFM, kChkDataRate, kEdDataRate, kLabDataRate, kBtnConfig, kBtnAbout, kBoxCodecInfo,
    kLabResTitle, kLabBefore, kLabInRes, kLabAfter, kLabOutRes, kLabFCCTitle, kLabFCC, kLabEncodeTitle,
    kLabEncode, kButton1, kBtnOK, kBtnCancel
  };
  AviDialog(AviCodecSource& source, int32_t width, int32_t height, int32_t bits);

  toolkit::DialogSpec Layout() override;
  void OnOpen(toolkit::DialogView& v) override;
  void OnCommand(toolkit::DialogView& v, int id) override;
  void OnChange(toolkit::DialogView& v, int id) override;
  void OnTrack(toolkit::DialogView& v, int id) override;
  bool OnClose(toolkit::DialogView& v, int result) override;

  // The codec being edited (for tests).
  const QAviCodec& current() const { return *cur_.get(); }

 private:
  void InitControls(toolkit::DialogView& v);
  void Query();
  void FillList(toolkit::DialogView& v);
  void SelectLine(toolkit::DialogView& v, bool copy);
  void ShowQuality(toolkit::DialogView& v);

  AviCodecSource& source_;
  Tracked<AviDlgData> data_;
  Tracked<QAviCodec> cur_;
  const QAviCodec* entries_ = nullptr;
};

inline constexpr const char* kAviFilters[] = {"Codecs compatible with current settings",
                                              "All compression capable codecs", "All installed codecs"};
inline constexpr const char* kAviWaitLine = "   Retrieving codec info, please wait...";
inline constexpr const char* kAviNoCodec = "No compatible codec can be found.";
inline constexpr const char* kAviDefaultsQuestion =
    "Do you want to reload system default settings? This will affect all AVI codecs.";

// "320x240, 24-bit", or "not supported" when a number is 0.
std::string AviResText(int32_t width, int32_t height, int32_t bits);
// "cvid,  64697663h".
std::string AviFourCCText(uint32_t handler);

// Shows the dialog for frames of that size and depth; true on "OK", when the
// choice became the AVI module's current codec settings.
bool DlgAVI(int32_t width, int32_t height, int32_t bits);

}  // namespace vek::ui
