// Tagged Image File Format through libtiff: load, save, file information and
// reading single tags (FF_TIF).
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "image/image.h"

namespace vek {

// Loads 8-bit grey, palette, RGB and RGBA files in strips or tiles,
// uncompressed, LZW, JPEG, PackBits or Deflate, row by row; every other
// picture libtiff can decode (other sample sizes, fax codes, separate
// planes, CMYK, CIE Lab, LogLuv, old-style JPEG...) through its RGBA
// interface, as 8-bit grey or 24-bit colour. Alpha is dropped; a file of
// several pages gives its first.
void TIFLoad(const std::string& name, QImg& img);
// Writes 8-bit images with their palette and every other depth as 24 bits,
// compressed as the compression setting says.
void TIFSave(const std::string& name, QImg& img);
void TIFInfo(const std::string& name, QffInfo& info);

// Tag types of a directory entry.
enum TiffTagType : int32_t {
  kTiffByte = 1, kTiffAscii = 2, kTiffShort = 3, kTiffLong = 4, kTiffRational = 5,
  kTiffSByte = 6, kTiffUndefined = 7, kTiffSShort = 8, kTiffSLong = 9, kTiffSRational = 10,
  kTiffFloat = 11, kTiffDouble = 12,
};
// The tag whose value is returned as a whole byte array.
inline constexpr int32_t kTiffByteArrayTag = 34071;

// Bytes of one value of a tag type, 0 for types without a fixed size.
int32_t TiffTypeSize(int32_t type);

// Looks a tag up in the first directory of a TIFF file (either byte order)
// without libtiff. Tag 34071 gives its whole byte array; any other tag one
// value of its type, in little-endian byte order. Answers the value's size
// in bytes and, with a buffer, copies at most `length` bytes of it (and
// answers what was copied); 0 when the tag is not there or the file is no
// TIFF file.
int32_t TIFGetTag(const std::string& name, int32_t tag, void* buffer, int32_t length);

// 16 when a colour map holds 16-bit values (any entry of 256 or more), else 8.
int32_t checkpal_(int32_t count, const uint16_t* red, const uint16_t* green,
                  const uint16_t* blue);

// The name of a compression code, null for codes without one.
const char* TiffCompressionName(int32_t code);

// The process-wide compression of the writer (1 at load): stored and
// returned; the undefined marker only queries. Codes other than 1, 5, 7,
// 32773 and 32946 are written as 1.
int32_t TIFSetCompression(int32_t code);

}  // namespace vek
