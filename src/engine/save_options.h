// Per-format codec choices a caller makes before writing, kept side by side
// so that a setting for one format survives while another is selected.
#pragma once

#include <cstdint>
#include <string>

#include "vek/vek.h"

namespace vek {

// Four-character code as the platform stores it: first character lowest.
constexpr uint32_t FourCC(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}
std::string FourCCText(uint32_t code);

using QAviCodecSettings = VekAviCodecSettings;
using QSaveOpts = VekSaveOpts;

void FFSaveReset(QSaveOpts& opts);
void FFSaveSetFormat(QSaveOpts& opts, int32_t id);
void FFSaveSetCodec(QSaveOpts& opts, int32_t codec);
void FFSaveSetQuality(QSaveOpts& opts, int32_t quality);
void FFSaveSetKeyFrameRate(QSaveOpts& opts, int32_t frames);
void FFSaveSetDataRate(QSaveOpts& opts, int32_t rate);
bool FFSaveDlg(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits);
std::string FFSaveCodecName(const QSaveOpts& opts);
int32_t FFSavePrepare(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits);

}  // namespace vek
