#include "formats/still/bmp.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"

namespace vek {

namespace {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;

// One channel of a bit-field pixel, scaled to 8 bits.
struct Channel {
  uint32_t shift = 0;
  uint32_t bits = 0;
  uint32_t max = 0;
};

Channel ChannelOf(uint32_t mask) {
  Channel c;
  if (mask == 0) return c;
  c.shift = static_cast<uint32_t>(std::countr_zero(mask));
  const uint32_t v = mask >> c.shift;
  c.bits = static_cast<uint32_t>(std::countr_one(v));  // contiguous low part only
  c.max = c.bits >= 32 ? UINT32_MAX : (1u << c.bits) - 1;
  return c;
}

inline uint8_t Scale(uint32_t v, const Channel& c) {
  if (c.bits == 0) return 0;
  const uint32_t x = (v >> c.shift) & c.max;
  if (c.bits >= 8) return static_cast<uint8_t>(x >> (c.bits - 8));
  return static_cast<uint8_t>((x * 255 + c.max / 2) / c.max);
}

// Run-length decoding of 8 and 4-bit bitmaps into a zeroed 8-bit image.
// Pixels past the end of a line are dropped, end-of-line moves to the next
// line, and a delta may skip pixels; false when the data ends inside a
// command or before the bitmap is complete.
bool DecodeRle(const uint8_t* p, int64_t n, QImg& img, bool rle4, bool bottom_up) {
  const uint8_t* end = p + n;
  const int64_t w = img.width;
  const int64_t h = img.height;
  int64_t x = 0;
  int64_t y = 0;
  auto row = [&]() { return img.pixels + (bottom_up ? h - 1 - y : y) * w; };
  while (y < h) {
    if (end - p < 2) return y == h - 1 && x >= w;
    const uint32_t count = p[0];
    const uint32_t value = p[1];
    p += 2;
    if (count != 0) {
      if (x < w) {
        const int64_t m = std::min<int64_t>(count, w - x);
        uint8_t* d = row() + x;
        if (!rle4) {
          std::memset(d, static_cast<int>(value), static_cast<size_t>(m));
        } else {
          const uint8_t hi = static_cast<uint8_t>(value >> 4), lo = value & 15;
          for (int64_t i = 0; i < m; ++i) d[i] = (i & 1) ? lo : hi;
        }
      }
      x += count;
    } else if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of bitmap
      return true;
    } else if (value == 2) {  // delta
      if (end - p < 2) return false;
      x += p[0];
      y += p[1];
      p += 2;
    } else {  // literal pixels, padded to a 16-bit boundary
      const int64_t bytes = rle4 ? (value + 1) / 2 : value;
      const int64_t padded = (bytes + 1) & ~int64_t{1};
      if (end - p < bytes) return false;
      if (x < w) {
        const int64_t m = std::min<int64_t>(value, w - x);
        uint8_t* d = row() + x;
        if (!rle4) {
          std::memcpy(d, p, static_cast<size_t>(m));
        } else {
          for (int64_t i = 0; i < m; ++i) d[i] = (i & 1) ? (p[i / 2] & 15) : (p[i / 2] >> 4);
        }
      }
      x += value;
      p += std::min<int64_t>(padded, end - p);
    }
  }
  return true;
}

}  // namespace

void DIBOpen_(const std::string& name, QImgFile& imgf) {
  Monitored("ConForm.DIBOpen_", [&] {
    RasterOpenRead(imgf, name);
    uint8_t h[18];
    imgf.file.Read(h, 18);
    if (h[0] != 'B' || h[1] != 'M') ErrRaise(kGrpImage, kImgInvalid, 1);
    imgf.data_offset = Get32(h + 10);
    const uint32_t header = Get32(h + 14);
    int64_t width = 0;
    int64_t height = 0;
    uint32_t bitcount = 0;
    uint32_t compression = kBiRgb;
    if (header == 12) {
      uint8_t c[8];
      imgf.file.Read(c, 8);
      width = Get16(c);
      height = Get16(c + 2);
      bitcount = Get16(c + 6);
      imgf.old_style = true;
      imgf.pal_entry_size = 3;
    } else {
      // 16 and 64 (OS/2), 40 and the longer Windows headers share these fields.
      if (header < 16 || header > 1024) ErrRaise(kGrpImage, kImgInvalid, 2);
      uint8_t c[36] = {};
      imgf.file.Read(c, std::min<uint32_t>(36, header - 4));
      width = static_cast<int32_t>(Get32(c));
      height = static_cast<int32_t>(Get32(c + 4));
      bitcount = Get16(c + 10);
      compression = header >= 20 ? Get32(c + 12) : kBiRgb;
      imgf.pal_entry_size = 4;
    }
    // A negative height marks rows stored top-down.
    imgf.bottom_up = height >= 0;
    height = height < 0 ? -height : height;
    imgf.width = static_cast<int32_t>(std::min<int64_t>(width, INT32_MAX));
    imgf.height = static_cast<int32_t>(std::min<int64_t>(height, INT32_MAX));
    imgf.file_bits = static_cast<int32_t>(bitcount);
    imgf.compression = static_cast<int32_t>(compression);
    imgf.compressed = (bitcount == 8 && compression == kBiRle8) ||
                      (bitcount == 4 && compression == kBiRle4);

    bool layout_ok = compression == kBiRgb || imgf.compressed;
    switch (bitcount) {
      case 1:
      case 4:
      case 8: imgf.bits = 8; break;
      case 16: imgf.bits = 15; break;
      case 24: imgf.bits = 24; break;
      case 32: imgf.bits = 32; break;
      default: imgf.bits = static_cast<int32_t>(std::min<uint32_t>(bitcount, 32)); break;
    }
    if ((bitcount == 16 || bitcount == 32) &&
        (compression == kBiBitfields || compression == kBiAlphaBitfields) &&
        (header >= 52 || imgf.data_offset >= 66)) {
      uint8_t m[12];
      imgf.file.Seek(54);
      imgf.file.Read(m, 12);
      const uint32_t r = Get32(m), g = Get32(m + 4), b = Get32(m + 8);
      layout_ok = true;
      if (bitcount == 16 && r == 0x7C00 && g == 0x03E0 && b == 0x001F) {
        imgf.bits = 15;
      } else if (bitcount == 16 && r == 0xF800 && g == 0x07E0 && b == 0x001F) {
        imgf.bits = 16;
      } else if (!(bitcount == 32 && r == 0xFF0000 && g == 0xFF00 && b == 0xFF)) {
        // Any other arrangement is unpacked channel by channel.
        imgf.masks[0] = r;
        imgf.masks[1] = g;
        imgf.masks[2] = b;
        imgf.bits = bitcount == 16 ? 24 : 32;
      }
    }
    imgf.supported = layout_ok && (bitcount == 1 || bitcount == 4 || bitcount == 8 ||
                                   bitcount == 16 || bitcount == 24 || bitcount == 32);
    imgf.bytespp = (imgf.bits + 7) / 8;
    imgf.row_bytes = static_cast<int64_t>(imgf.width) * imgf.bytespp;
    // Lying sizes must not overflow before they are checked.
    if (imgf.width <= 0 || imgf.height <= 0)
      imgf.img_bytes = 0;
    else if (imgf.row_bytes > INT64_MAX / imgf.height)
      imgf.img_bytes = INT64_MAX;
    else
      imgf.img_bytes = imgf.row_bytes * imgf.height;
    imgf.pal_offset = 14 + static_cast<int64_t>(header);
    imgf.pal_size = std::clamp<int64_t>(imgf.data_offset - header - 14, 0,
                                        imgf.old_style ? 768 : 1024);
  });
}

void DIBLoad_(const std::string& name, QImg& img) {
  Monitored("ConForm.DIBLoad_", [&] {
    QImgFile imgf;
    DIBOpen_(name, imgf);
    if (!imgf.supported) ErrRaise(kGrpImage, kImgUnsupported, 3);
    RasterCheckDims(imgf);
    const int64_t stored_row = (static_cast<int64_t>(imgf.width) * imgf.file_bits + 7) / 8;
    const int64_t gap = (4 - stored_row % 4) % 4;
    if (!imgf.compressed)
      RasterNeed(imgf, imgf.data_offset, (stored_row + gap) * (imgf.height - 1) + stored_row);
    else
      RasterCheckCoded(imgf.img_bytes, imgf.file_size - imgf.data_offset);

    uint8_t pal[1024] = {};
    if (imgf.bits == 8 && imgf.pal_size > 0) {
      imgf.file.Seek(imgf.pal_offset);
      imgf.file.Read(pal, imgf.pal_size);
    }
    ImgLoadGuard loading(img);
    _imgalloc_(&img, imgf.width, imgf.height, imgf.bits, 4, "ConForm.DIBLoad_.ih");
    if (imgf.bits == 8) {
      const int32_t e = imgf.pal_entry_size;
      for (int32_t i = 0; i < 256; ++i) std::memcpy(img.palette + 3 * i, pal + e * i, 3);
    }

    if (imgf.compressed) {
      GetCmpsData_(imgf);
      std::memset(img.pixels, 0, static_cast<size_t>(imgf.img_bytes));
      if (!DecodeRle(imgf.cmps_data.get(), imgf.cmps_size, img, imgf.file_bits == 4,
                     imgf.bottom_up))
        ErrRaise(kGrpImage, kImgDecompress, 5);
    } else if (imgf.file_bits == 1 || imgf.file_bits == 4) {
      const int32_t w = imgf.width;
      const int32_t fb = imgf.file_bits;
      RasterReadRows(imgf, stored_row, gap, [&](const uint8_t* src, int64_t y) {
        uint8_t* d = img.pixels + y * w;
        if (fb == 1) {
          for (int32_t x = 0; x < w; ++x) d[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        } else {
          for (int32_t x = 0; x < w; ++x) d[x] = (x & 1) ? (src[x >> 1] & 15) : (src[x >> 1] >> 4);
        }
      });
    } else if (imgf.masks[0] | imgf.masks[1] | imgf.masks[2]) {
      const Channel r = ChannelOf(imgf.masks[0]);
      const Channel g = ChannelOf(imgf.masks[1]);
      const Channel b = ChannelOf(imgf.masks[2]);
      const int32_t w = imgf.width;
      const int32_t in = imgf.file_bits / 8;
      const int32_t out = imgf.bytespp;
      RasterReadRows(imgf, stored_row, gap, [&](const uint8_t* src, int64_t y) {
        uint8_t* d = img.pixels + y * imgf.row_bytes;
        for (int32_t x = 0; x < w; ++x, src += in, d += out) {
          const uint32_t v = in == 2 ? Get16(src) : Get32(src);
          d[0] = Scale(v, b);
          d[1] = Scale(v, g);
          d[2] = Scale(v, r);
          if (out == 4) d[3] = 0;
        }
      });
    } else {
      Dsk2Mem_(imgf, img.pixels, gap);
      if (imgf.bits == 15) {
        // The unused top bit is not always written as 0.
        uint8_t* p = img.pixels;
        for (int64_t i = 1; i < imgf.img_bytes; i += 2) p[i] &= 0x7F;
      }
    }
  });
}

void DIBSave_(const std::string& name, QImg& img) {
  Monitored("ConForm.DIBSave_", [&] {
    RasterCheckSave(img, INT32_MAX);
    const int32_t out_bits = img.bits == 8 || img.bits == 15 ? img.bits : 24;
    const int32_t out_bpp = (out_bits + 7) / 8;
    RowConv conv = img.bits == 16 ? Row16To24 : img.bits == 32 ? Row32To24 : nullptr;
    const int64_t row = static_cast<int64_t>(img.width) * out_bpp;
    const int64_t pad = (4 - row % 4) % 4;
    const int64_t s = (row + pad) * img.height;
    const int64_t p = img.bits == 8 ? 1024 : 0;
    if (54 + p + s > UINT32_MAX) ErrRaise(kGrpImage, kImgUnsupported, 6);

    uint8_t h[54] = {};
    h[0] = 'B';
    h[1] = 'M';
    Put32(h + 2, static_cast<uint32_t>(54 + p + s));
    Put32(h + 10, static_cast<uint32_t>(54 + p));
    Put32(h + 14, 40);
    Put32(h + 18, static_cast<uint32_t>(img.width));
    Put32(h + 22, static_cast<uint32_t>(img.height));
    Put16(h + 26, 1);
    Put16(h + 28, static_cast<uint32_t>(out_bpp * 8));
    Put32(h + 34, static_cast<uint32_t>(s));
    Put32(h + 46, static_cast<uint32_t>(p / 4));
    Put32(h + 50, static_cast<uint32_t>(p / 4));

    QImgFile imgf;
    RasterCreate(imgf, name);
    imgf.file.Write(h, 54);
    if (p) {
      uint8_t pal[1024] = {};
      for (int32_t i = 0; i < 256; ++i) std::memcpy(pal + 4 * i, img.palette + 3 * i, 3);
      imgf.file.Write(pal, 1024);
    }
    Mem2Dsk_(imgf, img, pad, conv, row);
    imgf.file.Close();
  });
}

void DIBInfo(const std::string& name, QffInfo& info) {
  Monitored("ConForm.DIBInfo", [&] {
    QImgFile imgf;
    DIBOpen_(name, imgf);
    RasterFillInfo(imgf, info, imgf.width > 0 && imgf.height > 0);
  });
}

namespace {
constexpr FormatRow kBmpRead[] = {
    {2, {kFmtBMP, 0x09, ".bmp.dib.rle", "BMP", "Windows Device Independent Bitmap",
         "BMP/DIB, Windows Device Independent Bitmap"}},
};
constexpr FormatRow kBmpWrite[] = {
    {1, {kFmtBMP, 0x09, ".bmp.dib", "BMP", "Windows Device Independent Bitmap",
         "BMP/DIB, Windows Device Independent Bitmap"}},
};
}  // namespace

extern const FormatDescriptor kBmpFormat{
    .id = kFmtBMP,
    .tag = "BMP",
    .read_rows = kBmpRead,
    .read_count = 1,
    .write_rows = kBmpWrite,
    .write_count = 1,
    .depths = kDepthsPal15,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .load = DIBLoad_,
    .save_image = DIBSave_,
    .info = DIBInfo,
};

}  // namespace vek
