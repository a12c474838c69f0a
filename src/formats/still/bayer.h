// Raw sensor images of a colour-filter-array camera (FF_BAY): the BAY file
// format and raw cell buffers of any size, turned into image records by a
// fixed 2 x 2 cell scheme.
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "foundation/files.h"
#include "image/image.h"

namespace vek {

// The two sizes a BAY file has: 512 x 144 or 512 x 384 sensor bytes and a
// trailer of 1024 bytes.
inline constexpr int32_t kBayWidth = 512;
inline constexpr int64_t kBaySmallSize = 74752;   // 144 rows
inline constexpr int64_t kBayLargeSize = 197632;  // 384 rows
inline constexpr int32_t kBayTrailerBytes = 1024;
inline constexpr char kBayTag[] = "BAY 2";

// The first 12 trailer bytes as stored.
struct QBayTrailer {
  char source[2];   // "ML", "EK", "RO" or another maker
  uint8_t unused1;
  char tag[5];      // "BAY 2"
  uint8_t mode;     // 1 colour, 2 monochrome
  uint8_t unused2[2];
  uint8_t speed;    // speed code
};
static_assert(sizeof(QBayTrailer) == 12, "the trailer head is 12 bytes");

// One BAY file examined by BayOpen_.
struct QBayFile {
  TrackedFile file;
  int64_t file_size = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytespp = 0;       // 3 colour, 1 monochrome, 0 unsupported
  bool color_order = true;   // always true for files
  double speed = kUndefinedD;  // the undefined marker when the codes give none
  char source[3] = {0, 0, 0};  // two-letter source code
  QBayTrailer trailer{};
};

// Opens the file and reads the trailer head; leaves the file at 0.
void BayOpen_(const std::string& name, QBayFile& bay);
// The speed value of a source code and speed code, or the undefined marker.
double BaySpeed(const char source[2], int32_t code);
// Description given as the compression name: the camera, then the mode.
std::string BayDescription(const char source[2], int32_t bytespp);

void BayLoad(const std::string& name, QImg& img);
void BayInfo(const std::string& name, QffInfo& info);
// The first width x height bytes of any file as raw cells: mono 1 gives an
// 8-bit grey image, any other value a 24-bit one. Sides below 2 hold no
// complete cell and are refused.
void BayLoadCustom(const std::string& name, QImg& img, int32_t width, int32_t color_order,
                   int32_t mono, int32_t height);
// Copies up to `size` bytes (at most 1024) of the trailer of a 512 x 384
// file into `buffer`; returns the count.
int32_t BayGetHdr(const std::string& name, void* buffer, int32_t size);

// Cell conversion: `src` holds (width / 2) x (height / 2) cells of four
// bytes s0 s1 s2 s3; `dst` is width x height pixels of 1 (mono) or 3 bytes.
// Monochrome: s0 s1 make the upper pixels, s2 s3 the lower. Colour: all
// four pixels share red and blue; with the colour order set red = s1,
// blue = s2, upper green = s0, lower green = s3; cleared red = s3,
// blue = s0, upper green = s2, lower green = s1. An odd last row or column
// is left as it is; sides below 2 write nothing.
void BayConvert(const uint8_t* src, uint8_t* dst, int32_t width, int32_t color_order,
                int32_t mono, int32_t height);

}  // namespace vek
