#include "formats/still/raster_io.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "foundation/errors.h"

namespace vek {

void RasterOpenRead(QImgFile& imgf, const std::string& name) {
  imgf.file.Open(name, kFmRead);
  imgf.file_size = imgf.file.Size();
  if (imgf.file_size < 0) ErrRaise(kGrpFile, kFileRead, 1);
}

void RasterCreate(QImgFile& imgf, const std::string& name) { imgf.file.Create(name); }

void RasterNeed(const QImgFile& imgf, int64_t offset, int64_t bytes) {
  if (offset < 0 || bytes < 0 || offset > imgf.file_size || bytes > imgf.file_size - offset)
    ErrRaise(kGrpFile, kFileRead, 2);
}

void RasterCheckDims(const QImgFile& imgf) {
  if (imgf.width <= 0 || imgf.height <= 0) ErrRaise(kGrpImage, kImgInvalid, 3);
  const int64_t row = static_cast<int64_t>(imgf.width) * std::max(imgf.bytespp, 1);
  if (row > kStillMaxBytes / imgf.height) ErrRaise(kGrpImage, kImgUnsupported, 4);
}

void RasterCheckCoded(int64_t decoded, int64_t coded) {
  if (decoded > kStillFreeBytes && decoded / kStillMaxRatio > std::max<int64_t>(coded, 0))
    ErrRaise(kGrpImage, kImgDecompress, 10);
}

void RasterCheckSave(const QImg& img, int32_t max_side) {
  const int32_t b = img.bits;
  const bool depth_ok = b == 8 || b == 15 || b == 16 || b == 24 || b == 32;
  if (!img.pixels || !depth_ok || img.bytespp != (b + 7) / 8 || img.width <= 0 ||
      img.height <= 0 ||
      static_cast<int64_t>(img.width) * img.height * img.bytespp != img.size)
    ErrRaise(kGrpImage, kImgCorrupted, 5);
  if (img.width > max_side || img.height > max_side)
    ErrRaise(kGrpImage, kImgUnsupported, 6);
}

void RasterFillInfo(const QImgFile& imgf, QffInfo& info, bool valid) {
  info.size = imgf.file_size;
  info.width = imgf.width;
  info.height = imgf.height;
  info.bytespp = imgf.bytespp;
  info.bits = imgf.bits;
  info.frames = 1;
  if (imgf.compressed) SetText(info.compression, "Run Length Encoding (RLE)");
  info.imagesValid = valid ? -1 : 0;
  info.imagesSupported = imgf.supported ? -1 : 0;
}

void Dsk2Mem_(QImgFile& imgf, uint8_t* pixels, int64_t gap) {
  Monitored("ConForm.Dsk2Mem_", [&] {
    const int64_t row = imgf.row_bytes;
    const int64_t h = imgf.height;
    if (row <= 0 || h <= 0) return;
    imgf.file.Seek(imgf.data_offset);
    if (gap == 0 && !imgf.bottom_up) {
      imgf.file.Read(pixels, row * h);
      return;
    }
    RasterReadRows(imgf, row, gap, [&](const uint8_t* src, int64_t y) {
      std::memcpy(pixels + y * row, src, static_cast<size_t>(row));
    });
  });
}

void Mem2Dsk_(QImgFile& imgf, const QImg& img, int64_t gap, RowConv conv, int64_t out_row_bytes) {
  Monitored("ConForm.Mem2Dsk_", [&] {
    const int64_t in_row = static_cast<int64_t>(img.width) * img.bytespp;
    const int64_t row = conv ? out_row_bytes : in_row;
    const int64_t h = img.height;
    const int64_t stride = row + gap;
    if (row <= 0 || h <= 0) return;
    const int64_t per_chunk = std::max<int64_t>(1, kRasterChunkBytes / stride);
    Tracked<uint8_t> buf(std::min(per_chunk, h) * stride, 8, "ConForm.Mem2Dsk_.buf");
    if (gap > 0) std::memset(buf.get(), 0, static_cast<size_t>(buf.size()));
    for (int64_t y = h - 1; y >= 0;) {
      const int64_t n = std::min(per_chunk, y + 1);
      uint8_t* dst = buf.get();
      for (int64_t i = 0; i < n; ++i, --y, dst += stride) {
        const uint8_t* src = img.pixels + y * in_row;
        if (conv)
          conv(src, dst, img.width);
        else
          std::memcpy(dst, src, static_cast<size_t>(row));
      }
      imgf.file.Write(buf.get(), n * stride);
    }
  });
}

void GetCmpsData_(QImgFile& imgf) {
  Monitored("ConForm.GetCmpsData_", [&] {
    imgf.cmps_size = 0;
    const int64_t size = imgf.file_size - imgf.data_offset;
    if (size <= 0) return;  // nothing to decode: the decoder reports the short data
    imgf.cmps_data.Alloc(size, 9, "ConForm.GetCmpsData_.imgf.CmpsData", kMemNew);
    imgf.file.Seek(imgf.data_offset);
    imgf.file.Read(imgf.cmps_data.get(), size);
    imgf.cmps_size = size;
  });
}

void Row16To15(const uint8_t* src, uint8_t* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x) {
    const uint32_t w = src[2 * x] | (src[2 * x + 1] << 8);
    const uint32_t v = (((w >> 6) << 5) & 0x7FFF) | (w & 0x1F);
    dst[2 * x] = static_cast<uint8_t>(v);
    dst[2 * x + 1] = static_cast<uint8_t>(v >> 8);
  }
}

void Row32To24(const uint8_t* src, uint8_t* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x) {
    dst[3 * x] = src[4 * x];
    dst[3 * x + 1] = src[4 * x + 1];
    dst[3 * x + 2] = src[4 * x + 2];
  }
}

void Row15To24(const uint8_t* src, uint8_t* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x) {
    const uint32_t w = src[2 * x] | (src[2 * x + 1] << 8);
    dst[3 * x] = static_cast<uint8_t>(w << 3);
    dst[3 * x + 1] = static_cast<uint8_t>((w >> 5) << 3);
    dst[3 * x + 2] = static_cast<uint8_t>((w >> 7) & 0xF8);
  }
}

void Row16To24(const uint8_t* src, uint8_t* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x) {
    const uint32_t w = src[2 * x] | (src[2 * x + 1] << 8);
    dst[3 * x] = static_cast<uint8_t>(w << 3);
    dst[3 * x + 1] = static_cast<uint8_t>((w >> 5) << 2);
    dst[3 * x + 2] = static_cast<uint8_t>((w >> 8) & 0xF8);
  }
}

void MirrorRows(uint8_t* pixels, int32_t width, int32_t height, int32_t bytespp) {
  const int64_t row = static_cast<int64_t>(width) * bytespp;
  for (int64_t y = 0; y < height; ++y) {
    uint8_t* l = pixels + y * row;
    uint8_t* r = l + row - bytespp;
    for (; l < r; l += bytespp, r -= bytespp)
      for (int32_t k = 0; k < bytespp; ++k) std::swap(l[k], r[k]);
  }
}

}  // namespace vek
