// The options dialog of the MP4 and WebM writers: quality, data rate,
// key-frame interval and, where the encoder has them, its speed presets.
// Like the other format dialogs it edits a copy of its description and hands
// the values back only on "OK"; the logic draws nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/save_options.h"
#include "ui/dialog_guard.h"

namespace vek::ui {

// Highest data rate the dialog takes, in kilobits per second (far above what
// any player streams; the encoders clamp again).
inline constexpr int32_t kVideoMaxRate = 200000;
// Highest key-frame interval, in frames.
inline constexpr int32_t kVideoMaxKeyFrames = 10000;

struct VideoDesc {
  std::string title;
  int32_t quality = 75;    // 0..100
  int32_t bit_rate = 0;    // kilobits per second; 0: the quality alone decides
  int32_t key_frames = 0;  // a key frame every n frames; 0: the encoder's choice
  std::vector<std::string> presets;  // the encoder's presets; empty: none offered
  int32_t preset = 0;                // index into presets
};

class VideoDialog : public toolkit::DialogLogic {
 public:
  enum Id {
    kLabQuality = 1, kBarQuality, kLabQualityValue, kLabRate, kEdRate, kLabRateUnit, kLabKey, kEdKey,
    kLabKeyUnit, kLabPreset, kCmbPreset, kBtnOK, kBtnCancel
  };
  explicit VideoDialog(VideoDesc& desc);
  toolkit::DialogSpec Layout() override;
  void OnOpen(toolkit::DialogView& v) override;
  void OnChange(toolkit::DialogView& v, int id) override;
  void OnTrack(toolkit::DialogView& v, int id) override { OnChange(v, id); }
  void OnLeave(toolkit::DialogView& v, int id) override;
  bool OnClose(toolkit::DialogView& v, int result) override;

 private:
  void Take(toolkit::DialogView& v, int id);

  VideoDesc& desc_;
  int32_t rate_, key_frames_;
};

// Shown modally; true on "OK" with the chosen values written back (as DlgMPG).
bool DlgVideo(VideoDesc& desc);

// The description of an MP4 or WebM output's options as the save options
// hold them, and the values chosen written back.
VideoDesc VideoFor(const QSaveOpts& opts);
void StoreVideo(QSaveOpts& opts, const VideoDesc& desc);

}  // namespace vek::ui
