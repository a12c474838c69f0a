// The format tables: which file names belong to which format, what each
// format can carry, and at which depth it writes images.
#pragma once

#include <cstdint>
#include <string>

namespace vek {

enum FormatId : int32_t {
  kFmtTGA = 1,
  kFmtPCX = 2,
  kFmtBMP = 3,
  kFmtGIF = 4,
  kFmtFLIC = 5,
  kFmtAVI = 6,
  kFmtHAV = 7,
  kFmtJPEG = 8,
  kFmtPNG = 9,
  kFmtTIFF = 10,
  kFmtMPEG = 11,
  kFmtWAV = 12,
  kFmtSGI = 13,
  kFmtRAS = 14,
  kFmtPNM = 15,
  kFmtBAY = 16,
  kFmtXPM = 17,
  kFmtMP2 = 18,
  kFmtOGG = 19,
};

// Capability flags of a format description.
enum FormatFlags : int32_t {
  kFfStill = 0x01,     // one still image per file
  kFfFrames = 0x02,    // several frames in one file
  kFfSoundOnly = 0x04,
  kFfImages = 0x08,
  kFfSound = 0x10,
};

inline constexpr int kReadTable = 1;
inline constexpr int kWriteTable = 2;

struct QffDesc {
  int32_t id;
  int32_t flags;
  const char* extensions;
  const char* short_name;
  const char* long_name;
  const char* full_name;
};

// The table rows themselves, in lookup order.
const QffDesc* FmtTable(int table, int& count);

QffDesc FmtFind(const std::string& file_name, int table);
int32_t FmtId(const std::string& file_name, int table);
int32_t FmtFlags(int32_t id, int table);
bool FmtIsWritable(int32_t id);
int32_t FmtDepth(int32_t id, int32_t bits);
// 0 no format, 1 single still image, 2 numbered still sequence, 3 movie or sound file.
int32_t FmtKind(int32_t id, int32_t frames);
// Full name of the first reading-table row with the id, empty when none.
const char* FmtFullName(int32_t id);

}  // namespace vek
