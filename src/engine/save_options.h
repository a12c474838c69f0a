// Per-format codec choices a caller makes before writing, kept side by side
// so that a setting for one format survives while another is selected. What
// each call does for a format is the format descriptor's to say.
#pragma once

#include <cstdint>
#include <string>

#include "formats/format_descriptor.h"
#include "vek/vek.h"

namespace vek {

using QAviCodecSettings = VekAviCodecSettings;
using QSaveOpts = VekSaveOpts;

void FFSaveReset(QSaveOpts& opts);
void FFSaveSetFormat(QSaveOpts& opts, int32_t id);
void FFSaveSetCodec(QSaveOpts& opts, int32_t codec);
void FFSaveSetQuality(QSaveOpts& opts, int32_t quality);
void FFSaveSetKeyFrameRate(QSaveOpts& opts, int32_t frames);
void FFSaveSetDataRate(QSaveOpts& opts, int32_t rate);
// Shows the options dialog of the format; true when the user confirmed.
bool FFSaveDlg(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits);
// The dialogs live in the dialog layer above the engine, which installs one
// per format that has the dialog flag (null removes it). The function edits
// the fields of its format and answers whether the user confirmed.
using SaveDialogFn = bool (*)(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits);
void FFSaveSetDialog(int32_t format, SaveDialogFn dialog);
std::string FFSaveCodecName(const QSaveOpts& opts);
int32_t FFSavePrepare(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits);
// Hands the prepared options to the writer settings of the chosen format.
void FFSaveApply(const QSaveOpts& opts);

// The sound a run can hand to any sound output: PCM of 8 or 16 bits per
// sample, one or two channels, at a rate the sound conversion reaches.
inline constexpr int32_t kSndOutMinRate = 1000;
inline constexpr int32_t kSndOutMaxRate = 384000;
bool FFSoundFormatOk(const VekWaveFormat& format);
// Refuses any other format with "Invalid audio format.", so that a run
// never starts on sound its outputs cannot take.
void FFSoundCheck(const VekWaveFormat& format);

}  // namespace vek
