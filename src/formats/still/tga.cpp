#include "formats/still/tga.h"

#include <algorithm>
#include <cstring>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"

namespace vek {

namespace {

// The process-wide settings of the TGA writer (hosts and dialogs set them).
struct TgaSettings {
  int32_t rle = 1;  // run-length output
} g_tga;

// Fills `count` pixels of `bpp` bytes with one pixel.
inline void FillPixels(uint8_t* d, const uint8_t* px, int64_t count, int32_t bpp) {
  switch (bpp) {
    case 1: std::memset(d, px[0], static_cast<size_t>(count)); break;
    case 2: {
      const uint8_t a = px[0], b = px[1];
      for (int64_t i = 0; i < count; ++i) {
        d[2 * i] = a;
        d[2 * i + 1] = b;
      }
      break;
    }
    case 3: {
      const uint8_t a = px[0], b = px[1], c = px[2];
      for (int64_t i = 0; i < count; ++i) {
        d[3 * i] = a;
        d[3 * i + 1] = b;
        d[3 * i + 2] = c;
      }
      break;
    }
    default: {
      uint32_t v;
      std::memcpy(&v, px, 4);
      for (int64_t i = 0; i < count; ++i) std::memcpy(d + 4 * i, &v, 4);
      break;
    }
  }
}

// Run-length decoding; packets may cross rows. Rows of a bottom-up file go
// to the image from its last row. False when the data ends before the
// image is complete or inside a packet.
bool DecodeRle(const uint8_t* p, int64_t n, QImg& img, bool bottom_up) {
  const uint8_t* end = p + n;
  const int32_t bpp = img.bytespp;
  const int64_t w = img.width;
  const int64_t h = img.height;
  const int64_t row_bytes = w * bpp;
  int64_t y = 0;
  int64_t x = 0;
  uint8_t* row = img.pixels + (bottom_up ? h - 1 : 0) * row_bytes;
  const int64_t step = bottom_up ? -row_bytes : row_bytes;
  while (y < h) {
    if (p >= end) return false;
    const uint32_t head = *p++;
    int64_t count = (head & 0x7F) + 1;
    // Packets may cross rows: each step fills what is left of the row.
    auto advance = [&](int64_t m) {
      x += m;
      count -= m;
      if (x == w) {
        x = 0;
        ++y;
        row += step;
      }
    };
    if (head & 0x80) {
      if (end - p < bpp) return false;
      const uint8_t* px = p;
      p += bpp;
      while (count > 0 && y < h) {
        const int64_t m = std::min(count, w - x);
        FillPixels(row + x * bpp, px, m, bpp);
        advance(m);
      }
    } else {
      if ((end - p) / bpp < count) return false;
      while (count > 0 && y < h) {
        const int64_t m = std::min(count, w - x);
        std::memcpy(row + x * bpp, p, static_cast<size_t>(m * bpp));
        p += m * bpp;
        advance(m);
      }
    }
  }
  return true;
}

template <int B>
inline bool SamePixel(const uint8_t* a, const uint8_t* b) {
  if constexpr (B == 1) return a[0] == b[0];
  if constexpr (B == 2) return a[0] == b[0] && a[1] == b[1];
  if constexpr (B == 3) return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
  if constexpr (B == 4) return std::memcmp(a, b, 4) == 0;
}

// Encodes one row; runs of two or more equal pixels become run packets of at
// most 128, everything else literal packets of at most 128. Returns the
// bytes written to `out`, which holds at least 2 x row bytes + 2.
template <int B>
int64_t EncodeRow(const uint8_t* px, int32_t w, uint8_t* out) {
  uint8_t* o = out;
  int32_t i = 0;
  while (i < w) {
    int32_t j = i + 1;
    while (j < w && j - i < 128 && SamePixel<B>(px + B * j, px + B * i)) ++j;
    if (j - i >= 2) {
      *o++ = static_cast<uint8_t>(128 + (j - i - 1));
      std::memcpy(o, px + B * i, B);
      o += B;
      i = j;
      continue;
    }
    // A literal packet reaches up to the next pair of equal pixels, which
    // starts a run, and is copied in one piece.
    int32_t k = j;
    while (k < w && k - i < 128 && !(k + 1 < w && SamePixel<B>(px + B * k, px + B * (k + 1)))) ++k;
    *o++ = static_cast<uint8_t>(k - i - 1);
    std::memcpy(o, px + B * i, static_cast<size_t>(B) * static_cast<size_t>(k - i));
    o += B * (k - i);
    i = k;
  }
  return o - out;
}

int64_t EncodeRowAny(const uint8_t* px, int32_t w, int32_t bpp, uint8_t* out) {
  switch (bpp) {
    case 1: return EncodeRow<1>(px, w, out);
    case 2: return EncodeRow<2>(px, w, out);
    case 3: return EncodeRow<3>(px, w, out);
    default: return EncodeRow<4>(px, w, out);
  }
}

}  // namespace

int32_t TGASetRLE(int32_t flag) {
  if (flag != kUndefined) g_tga.rle = flag != 0 ? 1 : 0;
  return g_tga.rle;
}

void TGAOpen_(const std::string& name, QImgFile& imgf) {
  Monitored("ConForm.TGAOpen_", [&] {
    RasterOpenRead(imgf, name);
    uint8_t h[18];
    imgf.file.Read(h, 18);
    const uint32_t id_length = h[0];
    const uint32_t map_type = h[1];
    const uint32_t type = h[2];
    if (type != 1 && type != 2 && type != 3 && type != 9 && type != 10 && type != 11)
      ErrRaise(kGrpImage, kImgInvalid, 1);
    imgf.compressed = (type & 8) != 0;
    imgf.grey = (type & 7) == 3;
    imgf.pal_first = static_cast<int32_t>(Get16(h + 3));
    const int64_t map_length = Get16(h + 5);
    imgf.pal_entry_size = (h[7] + 7) / 8;
    imgf.width = static_cast<int32_t>(Get16(h + 12));
    imgf.height = static_cast<int32_t>(Get16(h + 14));
    const int32_t depth = h[16];
    imgf.file_bits = depth;
    imgf.bits = depth == 16 ? 15 : depth;
    imgf.bytespp = (depth + 7) / 8;
    const bool indexed = (type & 7) != 2;
    // Grey levels come alone (8 bits) or followed by alpha (16 bits).
    imgf.supported = imgf.grey   ? depth == 8 || depth == 16
                     : indexed ? depth == 8
                               : (depth == 15 || depth == 16 || depth == 24 || depth == 32);
    if (imgf.grey && depth == 16) imgf.bits = 8;
    imgf.bottom_up = (h[17] & 0x20) == 0;
    imgf.right_to_left = (h[17] & 0x10) != 0;
    imgf.pal_offset = 18 + id_length;
    imgf.pal_size = map_length * imgf.pal_entry_size;
    imgf.data_offset = imgf.pal_offset + (map_type != 0 ? imgf.pal_size : 0);
    imgf.row_bytes = static_cast<int64_t>(imgf.width) * imgf.bytespp;
    imgf.img_bytes = imgf.row_bytes * imgf.height;
    // Only a colour map that is present is read.
    if (map_type == 0) imgf.pal_size = 0;
  });
}

void TGALoad_(const std::string& name, QImg& img) {
  Monitored("ConForm.TGALoad_", [&] {
    QImgFile imgf;
    TGAOpen_(name, imgf);
    if (!imgf.supported) ErrRaise(kGrpImage, kImgUnsupported, 2);
    RasterCheckDims(imgf);
    if (!imgf.compressed) RasterNeed(imgf, imgf.data_offset, imgf.img_bytes);

    uint8_t map[1024];
    const int64_t map_bytes = std::min<int64_t>(imgf.pal_size, 1024);
    if (imgf.pal_entry_size >= 2 && imgf.pal_entry_size <= 4 && map_bytes > 0) {
      imgf.file.Seek(imgf.pal_offset);
      imgf.file.Read(map, map_bytes);
    }
    if (imgf.compressed) {
      GetCmpsData_(imgf);
      // A packet gives at most 128 pixels: data too short for the image
      // fails before anything is allocated for it.
      const int64_t packets = (imgf.cmps_size + imgf.bytespp) / (1 + imgf.bytespp);
      if (static_cast<int64_t>(imgf.width) * imgf.height > packets * 128)
        ErrRaise(kGrpImage, kImgDecompress, 8);
    }
    // Grey with alpha is read as 16-bit pixels first; the grey byte of each
    // is kept.
    const bool grey_alpha = imgf.grey && imgf.bytespp == 2;
    struct Pairs {
      QImg r{};
      // Plain release: this may run while an error unwinds the block.
      ~Pairs() { MemFree(r.pixels); }
    } pairs;
    QImg& dst = grey_alpha ? pairs.r : img;
    if (grey_alpha) _imgalloc_(&pairs.r, imgf.width, imgf.height, 16, 9, "ConForm.TGALoad_.pairs");
    ImgLoadGuard loading(img);
    _imgalloc_(&img, imgf.width, imgf.height, imgf.bits, 3, "ConForm.TGALoad_.ih");
    if (imgf.bits == 8) {
      std::memset(img.palette, 0, kPaletteBytes);
      if (imgf.grey) {
        for (int32_t i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
      } else if (imgf.pal_entry_size >= 2 && imgf.pal_entry_size <= 4) {
        const int32_t e = imgf.pal_entry_size;
        const int64_t entries = map_bytes / e;
        for (int64_t k = 0; k < entries && imgf.pal_first + k < 256; ++k) {
          const uint8_t* s = map + k * e;
          uint8_t* d = img.palette + 3 * (imgf.pal_first + k);
          if (e == 2) {
            const uint32_t v = Get16(s);
            d[0] = static_cast<uint8_t>(v << 3);
            d[1] = static_cast<uint8_t>((v >> 5) << 3);
            d[2] = static_cast<uint8_t>((v >> 10) << 3);
          } else {
            std::memcpy(d, s, 3);
          }
        }
      }
    }

    if (imgf.compressed) {
      if (!DecodeRle(imgf.cmps_data.get(), imgf.cmps_size, dst, imgf.bottom_up))
        ErrRaise(kGrpImage, kImgDecompress, 4);
    } else {
      Dsk2Mem_(imgf, dst.pixels, 0);
    }
    if (grey_alpha) {
      const int64_t n = static_cast<int64_t>(img.width) * img.height;
      for (int64_t i = 0; i < n; ++i) img.pixels[i] = pairs.r.pixels[2 * i];
    }
    if (imgf.bits == 15) {
      // Bit 15 is the attribute bit of the file, 0 in the record.
      for (int64_t i = 1; i < imgf.img_bytes; i += 2) img.pixels[i] &= 0x7F;
    }
    if (imgf.right_to_left) MirrorRows(img.pixels, img.width, img.height, img.bytespp);
  });
}

void TGASave_(const std::string& name, QImg& img) {
  Monitored("ConForm.TGASave_", [&] {
    RasterCheckSave(img, 65535);
    const int32_t out_bits = img.bits == 8 || img.bits == 15 ? img.bits : 24;
    const int32_t out_bpp = (out_bits + 7) / 8;
    RowConv conv = img.bits == 16 ? Row16To24 : img.bits == 32 ? Row32To24 : nullptr;
    const bool rle = g_tga.rle != 0;
    const int64_t row = static_cast<int64_t>(img.width) * out_bpp;

    uint8_t h[18] = {};
    h[1] = img.bits == 8 ? 1 : 0;
    h[2] = static_cast<uint8_t>((img.bits == 8 ? 1 : 2) + (rle ? 8 : 0));
    if (img.bits == 8) {
      Put16(h + 5, 256);
      h[7] = 24;
    }
    Put16(h + 12, static_cast<uint32_t>(img.width));
    Put16(h + 14, static_cast<uint32_t>(img.height));
    h[16] = static_cast<uint8_t>(out_bpp * 8);

    QImgFile imgf;
    RasterCreate(imgf, name);
    imgf.file.Write(h, 18);
    if (img.bits == 8) imgf.file.Write(img.palette, kPaletteBytes);
    if (!rle) {
      Mem2Dsk_(imgf, img, 0, conv, row);
      imgf.file.Close();
      return;
    }
    // Encoded rows are gathered in one buffer and written when it fills.
    const int64_t worst = 2 * row + 2;
    const int64_t cap = std::max<int64_t>(worst, kRasterChunkBytes);
    imgf.cmps_data.Alloc(cap, 5, "ConForm.TGASave_.imgf.CmpsData", kMemNew);
    Tracked<uint8_t> conv_row;
    if (conv) conv_row.Alloc(row, 6, "ConForm.TGASave_.tmplin", kMemNew);
    const int64_t in_row = static_cast<int64_t>(img.width) * img.bytespp;
    int64_t used = 0;
    for (int64_t y = img.height - 1; y >= 0; --y) {
      const uint8_t* src = img.pixels + y * in_row;
      if (conv) {
        conv(src, conv_row.get(), img.width);
        src = conv_row.get();
      }
      if (cap - used < worst) {
        imgf.file.Write(imgf.cmps_data.get(), used);
        used = 0;
      }
      const int64_t n = EncodeRowAny(src, img.width, out_bpp, imgf.cmps_data.get() + used);
      if (n <= 0 || n > worst) ErrRaise(kGrpImage, kImgCompress, 7);
      used += n;
    }
    imgf.file.Write(imgf.cmps_data.get(), used);
    imgf.file.Close();
  });
}

void TGAInfo(const std::string& name, QffInfo& info) {
  Monitored("ConForm.TGAInfo", [&] {
    QImgFile imgf;
    TGAOpen_(name, imgf);
    RasterFillInfo(imgf, info, imgf.bits >= 1 && imgf.bits <= 32);
  });
}

namespace {
constexpr FormatRow kTgaRead[] = {
    {14, {kFmtTGA, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"}},
};
constexpr FormatRow kTgaWrite[] = {
    {7, {kFmtTGA, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"}},
};
}  // namespace

extern const FormatDescriptor kTgaFormat{
    .id = kFmtTGA,
    .tag = "TGA",
    .read_rows = kTgaRead,
    .read_count = 1,
    .write_rows = kTgaWrite,
    .write_count = 1,
    .depths = kDepthsPal15,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
             .set_codec = StoreOption<&VekSaveOpts::tgaCodec>,
             .codec_name = RleWhenSet<&VekSaveOpts::tgaCodec>,
             .prepare = PrepareCodec<&VekSaveOpts::tgaCodec>,
             .apply = [](const VekSaveOpts& o) { TGASetRLE(o.prepCodec); }},
    .load = TGALoad_,
    .save_image = TGASave_,
    .info = TGAInfo,
};

}  // namespace vek
