// The reader state that the BMP, TGA and PCX modules share, and the row
// copies between files and image records (ConForm).
#pragma once

#include <cstdint>
#include <string>

#include "foundation/byte_fields.h"
#include "formats/file_info.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"

namespace vek {

// One open raster file. Value-initialised before use; the file and the
// compressed data are tracked, so a failing monitored block releases both.
struct QImgFile {
  TrackedFile file;
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytespp = 0;        // bytes per pixel of the image record
  int32_t bits = 0;           // depth of the image record (16 in BMP/TGA is 15)
  int64_t file_size = 0;
  int64_t pal_offset = 0;
  int64_t pal_size = 0;       // bytes
  int64_t data_offset = 0;    // first pixel byte
  Tracked<uint8_t> cmps_data; // compressed pixel data (compressed files only)
  int64_t cmps_size = 0;
  int32_t pal_entry_size = 0; // bytes per palette entry
  int32_t pal_first = 0;      // first palette index (TGA)
  int64_t row_bytes = 0;      // width * bytespp
  int64_t img_bytes = 0;      // row_bytes * height
  bool compressed = false;
  bool supported = false;
  bool bottom_up = false;
  bool old_style = false;     // BMP with the 12-byte core header

  // What the stored pixels look like where it differs from the record.
  int32_t file_bits = 0;      // bits per stored pixel (BMP 1/4, PCX bits * planes)
  int32_t planes = 1;         // PCX colour planes
  int32_t line_bytes = 0;     // PCX bytes per plane line
  int32_t compression = 0;    // BMP compression field
  bool right_to_left = false; // TGA descriptor bit 4
  bool grey = false;          // TGA grey-level image
  uint32_t masks[3] = {0, 0, 0};  // BMP bit fields: red, green, blue
};

// Converts `width` pixels of a row to the layout a writer stores.
using RowConv = void (*)(const uint8_t* src, uint8_t* dst, int32_t width);

// Reads `height` rows of `row_bytes` from the pixel data offset, skipping
// `gap` bytes after each stored row; bottom-up files fill the buffer from
// its last row.
void Dsk2Mem_(QImgFile& imgf, uint8_t* pixels, int64_t gap);
// Writes the image's rows from the last to the first, each followed by `gap`
// zero bytes. With `conv`, each row is first converted to `out_row_bytes`.
void Mem2Dsk_(QImgFile& imgf, const QImg& img, int64_t gap, RowConv conv = nullptr,
              int64_t out_row_bytes = 0);
// Reads everything from the pixel data offset to the end of the file.
void GetCmpsData_(QImgFile& imgf);

// Reads `height` stored rows of `stored_row` bytes from the pixel data
// offset, each followed by `gap` bytes, in chunks; calls fn(row, y) with the
// image row y each one belongs to (bottom-up files start at the last row).
template <class Fn>
void RasterReadRows(QImgFile& imgf, int64_t stored_row, int64_t gap, Fn&& fn);

// Opens `name` for reading into the state and records its size.
void RasterOpenRead(QImgFile& imgf, const std::string& name);
// Deletes an existing file of that name and creates it anew; the file is
// removed again unless the writer completes it with imgf.file.Close().
void RasterCreate(QImgFile& imgf, const std::string& name);
// Checks that the record holds pixels the writers can store.
void RasterCheckSave(const QImg& img, int32_t max_side);
// Reports a truncated file (the read error) before anything is allocated
// when the file cannot hold `bytes` from `offset`.
void RasterNeed(const QImgFile& imgf, int64_t offset, int64_t bytes);
// Checks the dimensions of a file before the image is allocated: both
// sides positive (else "Invalid image format.") and the picture within the
// library's limit (else "Image format not supported.").
void RasterCheckDims(const QImgFile& imgf);
// Refuses, with "Cannot decompress image data.", coded data far too short
// for the `decoded` bytes it claims to unpack to.
void RasterCheckCoded(int64_t decoded, int64_t coded);

// The largest picture a reader allocates: the record counts its bytes in
// 32 bits, and a gigabyte is more than any file of these formats needs.
inline constexpr int64_t kStillMaxBytes = int64_t{1} << 30;
// Run-length codes may skip or repeat a lot, but a picture of more than
// kStillFreeBytes needs at least one coded byte per kStillMaxRatio of its
// bytes: a few kilobytes never claim half a gigabyte.
inline constexpr int64_t kStillFreeBytes = int64_t{16} << 20;
inline constexpr int64_t kStillMaxRatio = 1024;

// Fills the file info record from the state: size, geometry, one frame,
// the compression name of compressed files, and the two flags.
void RasterFillInfo(const QImgFile& imgf, QffInfo& info, bool valid);

// Row conversions for the writers and readers.
void Row16To15(const uint8_t* src, uint8_t* dst, int32_t width);
void Row32To24(const uint8_t* src, uint8_t* dst, int32_t width);
void Row15To24(const uint8_t* src, uint8_t* dst, int32_t width);
void Row16To24(const uint8_t* src, uint8_t* dst, int32_t width);
// Mirrors every row of a pixel buffer in place.
void MirrorRows(uint8_t* pixels, int32_t width, int32_t height, int32_t bytespp);

// Rows move between file and image in chunks of about this many bytes: few
// system calls, and the chunk stays in the cache while its rows are copied.
inline constexpr int64_t kRasterChunkBytes = 512 * 1024;

template <class Fn>
void RasterReadRows(QImgFile& imgf, int64_t stored_row, int64_t gap, Fn&& fn) {
  const int64_t h = imgf.height;
  if (stored_row <= 0 || h <= 0) return;
  imgf.file.Seek(imgf.data_offset);
  const int64_t stride = stored_row + gap;
  const int64_t per_chunk = kRasterChunkBytes / stride > 1 ? kRasterChunkBytes / stride : 1;
  const int64_t chunk_rows = per_chunk < h ? per_chunk : h;
  Tracked<uint8_t> buf(chunk_rows * stride, 7, "ConForm.Dsk2Mem_.buf");
  for (int64_t y = 0; y < h;) {
    const int64_t n = per_chunk < h - y ? per_chunk : h - y;
    // The last row's padding may be missing from the file.
    imgf.file.Read(buf.get(), n * stride - (y + n == h ? gap : 0));
    const uint8_t* src = buf.get();
    for (int64_t i = 0; i < n; ++i, src += stride) fn(src, imgf.bottom_up ? h - 1 - (y + i) : y + i);
    y += n;
  }
}

}  // namespace vek
