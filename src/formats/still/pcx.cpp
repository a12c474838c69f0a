#include "formats/still/pcx.h"

#include <algorithm>
#include <cstring>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"

namespace vek {

namespace {

// Decoder position in the run-length stream; runs may continue across lines.
struct PcxStream {
  const uint8_t* p;
  const uint8_t* end;
  uint32_t run = 0;  // bytes of the current run still to give
  uint8_t value = 0;
};

// The header's 16-colour palette (red, green, blue) as blue, green, red.
void HeaderPalette(const uint8_t* h, uint8_t* palette) {
  for (int32_t i = 0; i < 16; ++i) {
    palette[3 * i] = h[16 + 3 * i + 2];
    palette[3 * i + 1] = h[16 + 3 * i + 1];
    palette[3 * i + 2] = h[16 + 3 * i];
  }
}

// Appends the encoding of `n` bytes: runs of 2 to 63 equal bytes become
// (192 + length, byte), single bytes below 192 stay as they are, single
// bytes of 192 or more become (193, byte).
int64_t EncodeBytes(const uint8_t* s, int64_t n, uint8_t* out) {
  uint8_t* o = out;
  int64_t i = 0;
  while (i < n) {
    const uint8_t b = s[i];
    int64_t j = i + 1;
    while (j < n && j - i < 63 && s[j] == b) ++j;
    const int64_t len = j - i;
    if (len >= 2 || b >= 192) *o++ = static_cast<uint8_t>(192 + len);
    *o++ = b;
    i = j;
  }
  return o - out;
}

}  // namespace

// Decodes `n` bytes of the stream into `dst`; false when the stream ends first.
static bool PCXunCmps_(PcxStream& s, uint8_t* dst, int64_t n) {
  while (n > 0) {
    if (s.run > 0) {
      const int64_t m = std::min<int64_t>(s.run, n);
      std::memset(dst, s.value, static_cast<size_t>(m));
      dst += m;
      n -= m;
      s.run -= static_cast<uint32_t>(m);
      continue;
    }
    // Literal bytes up to the next run marker in one go.
    const uint8_t* q = s.p;
    const uint8_t* lim = s.p + std::min<int64_t>(n, s.end - s.p);
    while (q < lim && *q < 192) ++q;
    if (q > s.p) {
      const int64_t m = q - s.p;
      std::memcpy(dst, s.p, static_cast<size_t>(m));
      dst += m;
      n -= m;
      s.p = q;
      continue;
    }
    if (s.end - s.p < 2) return false;
    s.run = s.p[0] & 63;
    s.value = s.p[1];
    s.p += 2;
  }
  return true;
}

// True when the decoded lines hold three planes of `width` bytes with the
// pad bytes at the end of the line, rather than each plane padded to
// `plane_bytes`: some line has data where a padded plane has its pad byte,
// and every line ends in zeros where the unpadded planes leave them.
static bool PadsAfterPlanes(const uint8_t* lines, int64_t line, int64_t height, int32_t width,
                            int64_t plane_bytes) {
  const int64_t pad = plane_bytes - width;
  bool data_in_plane_pads = false;
  for (int64_t y = 0; y < height; ++y) {
    const uint8_t* l = lines + y * line;
    for (int64_t k = 3 * width; k < line; ++k)
      if (l[k] != 0) return false;
    for (int p = 0; p < 2 && !data_in_plane_pads; ++p)
      for (int64_t k = 0; k < pad; ++k)
        if (l[(p + 1) * plane_bytes - pad + k] != 0) data_in_plane_pads = true;
  }
  return data_in_plane_pads;
}

// Interleaves the red, green and blue planes of a line into blue, green, red pixels.
static void PCX24Fix_(const uint8_t* line, int64_t plane_bytes, uint8_t* dst, int32_t width) {
  const uint8_t* r = line;
  const uint8_t* g = line + plane_bytes;
  const uint8_t* b = line + 2 * plane_bytes;
  for (int32_t x = 0; x < width; ++x) {
    dst[3 * x] = b[x];
    dst[3 * x + 1] = g[x];
    dst[3 * x + 2] = r[x];
  }
}

void PCXOpen_(const std::string& name, QImgFile& imgf) {
  Monitored("ConForm.PCXOpen_", [&] {
    RasterOpenRead(imgf, name);
    uint8_t h[128];
    imgf.file.Read(h, 128);
    if (h[0] != 10) ErrRaise(kGrpImage, kImgInvalid, 1);
    const int32_t encoding = h[2];
    const int32_t bpp = h[3];
    imgf.planes = h[65];
    const int64_t width = static_cast<int64_t>(Get16(h + 8)) - Get16(h + 4) + 1;
    const int64_t height = static_cast<int64_t>(Get16(h + 10)) - Get16(h + 6) + 1;
    imgf.width = static_cast<int32_t>(std::max<int64_t>(width, 0));
    imgf.height = static_cast<int32_t>(std::max<int64_t>(height, 0));
    imgf.file_bits = bpp * imgf.planes;
    const bool layout_ok = (bpp == 8 && (imgf.planes == 1 || imgf.planes == 3)) ||
                           (bpp == 1 && (imgf.planes == 1 || imgf.planes == 4)) ||
                           (bpp == 4 && imgf.planes == 1);
    imgf.supported = encoding == 1 && layout_ok;
    imgf.bits = imgf.planes == 3 && bpp == 8 ? 24 : 8;
    imgf.bytespp = imgf.bits / 8;
    imgf.compressed = true;
    imgf.data_offset = 128;
    imgf.row_bytes = static_cast<int64_t>(imgf.width) * imgf.bytespp;
    imgf.img_bytes = imgf.row_bytes * imgf.height;
    // Lines are as long as the header says when that holds the pixels;
    // otherwise the width rounded up to even.
    const int64_t need = (static_cast<int64_t>(imgf.width) * std::max(bpp, 1) + 7) / 8;
    const int64_t given = Get16(h + 66);
    imgf.line_bytes = static_cast<int32_t>(given >= need ? given : (need + 1) & ~int64_t{1});
    if (imgf.bits == 8 && bpp == 8) {
      imgf.pal_offset = imgf.file_size - 768;
      imgf.pal_size = 768;
    }
  });
}

void PCXLoad_(const std::string& name, QImg& img) {
  Monitored("ConForm.PCXLoad_", [&] {
    QImgFile imgf;
    PCXOpen_(name, imgf);
    if (!imgf.supported) ErrRaise(kGrpImage, kImgUnsupported, 2);
    RasterCheckDims(imgf);
    const bool eight = imgf.file_bits == 8;
    uint8_t pal[768] = {};
    if (eight) {
      // The palette is the last 768 bytes, after a marker byte.
      RasterNeed(imgf, 128, 769);
      imgf.file.Seek(imgf.pal_offset);
      imgf.file.Read(pal, 768);
    } else if (imgf.bits == 8) {
      uint8_t h[128];
      imgf.file.Seek(0);
      imgf.file.Read(h, 128);
      HeaderPalette(h, pal);
    }
    GetCmpsData_(imgf);
    if (eight) imgf.cmps_size -= 769;
    // Two bytes give at most 63: data too short for the image fails before
    // anything is allocated for it.
    const int64_t line = static_cast<int64_t>(imgf.line_bytes) * imgf.planes;
    if (line * imgf.height > std::max<int64_t>(imgf.cmps_size, 0) * 32)
      ErrRaise(kGrpImage, kImgDecompress, 6);
    ImgLoadGuard loading(img);
    _imgalloc_(&img, imgf.width, imgf.height, imgf.bits, 3, "ConForm.PCXLoad_.ih");
    if (eight) {
      for (int32_t i = 0; i < 256; ++i) {
        img.palette[3 * i] = pal[3 * i + 2];
        img.palette[3 * i + 1] = pal[3 * i + 1];
        img.palette[3 * i + 2] = pal[3 * i];
      }
    } else if (imgf.bits == 8) {
      std::memset(img.palette, 0, kPaletteBytes);
      std::memcpy(img.palette, pal, 48);
      // Two-colour pictures are black and white whatever the header palette
      // holds: writers leave it empty or fill it with anything.
      if (imgf.file_bits == 1) {
        std::memset(img.palette, 0, 3);
        std::memset(img.palette + 3, 255, 3);
      }
    }

    PcxStream s{imgf.cmps_data.get(), imgf.cmps_data.get() + std::max<int64_t>(imgf.cmps_size, 0)};
    const int32_t w = imgf.width;
    // Odd-width 24-bit files come in two layouts: planes padded to the
    // header's line length inside the stream (what most writers do), or
    // planes of exactly the width with the pad bytes after the row's stream.
    // Both decode to lines of the same length; the pad positions tell them apart.
    Tracked<uint8_t> lines;
    int64_t plane_stride = imgf.line_bytes;
    if (imgf.bits == 24 && imgf.line_bytes > w) {
      lines.Alloc(line * imgf.height, 7, "ConForm.PCXLoad_.lines", kMemNew);
      if (!PCXunCmps_(s, lines.get(), line * imgf.height)) ErrRaise(kGrpImage, kImgDecompress, 8);
      if (PadsAfterPlanes(lines.get(), line, imgf.height, w, imgf.line_bytes)) plane_stride = w;
    }
    Tracked<uint8_t> lintmp(line, 4, "ConForm.PCX24Fix_.lintmp");
    for (int64_t y = 0; y < imgf.height; ++y) {
      uint8_t* d = img.pixels + y * imgf.row_bytes;
      uint8_t* l = lines ? lines.get() + y * line : lintmp.get();
      if (!lines && !PCXunCmps_(s, l, line)) ErrRaise(kGrpImage, kImgDecompress, 5);
      if (imgf.bits == 24) {
        PCX24Fix_(l, plane_stride, d, w);
      } else if (eight) {
        std::memcpy(d, l, static_cast<size_t>(w));
      } else if (imgf.planes == 1 && imgf.file_bits == 4) {
        for (int32_t x = 0; x < w; ++x) d[x] = (x & 1) ? (l[x >> 1] & 15) : (l[x >> 1] >> 4);
      } else {
        // One bit per plane; plane k gives bit k of the index.
        const int64_t lb = imgf.line_bytes;
        for (int32_t x = 0; x < w; ++x) {
          const int32_t shift = 7 - (x & 7);
          uint8_t v = 0;
          for (int32_t k = 0; k < imgf.planes; ++k)
            v |= static_cast<uint8_t>(((l[k * lb + (x >> 3)] >> shift) & 1) << k);
          d[x] = v;
        }
      }
    }
  });
}

void PCXSave_(const std::string& name, QImg& img) {
  Monitored("ConForm.PCXSave_", [&] {
    RasterCheckSave(img, 65536);
    const bool eight = img.bits == 8;
    const int32_t planes = eight ? 1 : 3;
    const int64_t w = img.width;
    const int64_t bpl = (w + 1) & ~int64_t{1};
    uint8_t h[128] = {};
    h[0] = 10;
    h[1] = 5;
    h[2] = 1;
    h[3] = 8;
    Put16(h + 8, static_cast<uint32_t>(w - 1));
    Put16(h + 10, static_cast<uint32_t>(img.height - 1));
    Put16(h + 12, static_cast<uint32_t>(w));
    Put16(h + 14, static_cast<uint32_t>(img.height));
    h[65] = static_cast<uint8_t>(planes);
    Put16(h + 66, static_cast<uint32_t>(bpl));

    QImgFile imgf;
    RasterCreate(imgf, name);
    imgf.file.Write(h, 128);
    // Each line holds every plane padded to the even line length, encoded as
    // one stream; encoded lines are gathered and written when the buffer fills.
    const int64_t line = bpl * planes;
    const int64_t worst = 2 * line;
    const int64_t cap = std::max<int64_t>(worst, kRasterChunkBytes);
    imgf.cmps_data.Alloc(cap, 3, "ConForm.PCXSave_.imgf.CmpsData", kMemNew);
    Tracked<uint8_t> tmplin(line, 4, "ConForm.PCXSave_.tmplin");
    Tracked<uint8_t> rgb;
    if (!eight && img.bits != 24) rgb.Alloc(w * 3, 6, "ConForm.PCXSave_.rgb", kMemNew);
    std::memset(tmplin.get(), 0, static_cast<size_t>(line));
    const int64_t in_row = w * img.bytespp;
    int64_t used = 0;
    for (int64_t y = 0; y < img.height; ++y) {
      const uint8_t* src = img.pixels + y * in_row;
      uint8_t* t = tmplin.get();
      if (eight) {
        std::memcpy(t, src, static_cast<size_t>(w));
      } else {
        if (img.bits != 24) {
          if (img.bits == 15)
            Row15To24(src, rgb.get(), img.width);
          else if (img.bits == 16)
            Row16To24(src, rgb.get(), img.width);
          else
            Row32To24(src, rgb.get(), img.width);
          src = rgb.get();
        }
        uint8_t* r = t;
        uint8_t* g = t + bpl;
        uint8_t* b = t + 2 * bpl;
        for (int64_t x = 0; x < w; ++x) {
          b[x] = src[3 * x];
          g[x] = src[3 * x + 1];
          r[x] = src[3 * x + 2];
        }
      }
      if (cap - used < worst) {
        imgf.file.Write(imgf.cmps_data.get(), used);
        used = 0;
      }
      const int64_t n = EncodeBytes(t, line, imgf.cmps_data.get() + used);
      if (n <= 0 || n > worst) ErrRaise(kGrpImage, kImgCompress, 7);
      used += n;
    }
    imgf.file.Write(imgf.cmps_data.get(), used);
    if (eight) {
      uint8_t pal[769];
      pal[0] = 12;
      for (int32_t i = 0; i < 256; ++i) {
        pal[1 + 3 * i] = img.palette[3 * i + 2];
        pal[2 + 3 * i] = img.palette[3 * i + 1];
        pal[3 + 3 * i] = img.palette[3 * i];
      }
      imgf.file.Write(pal, 769);
    }
    imgf.file.Close();
  });
}

void PCXInfo(const std::string& name, QffInfo& info) {
  Monitored("ConForm.PCXInfo", [&] {
    QImgFile imgf;
    PCXOpen_(name, imgf);
    RasterFillInfo(imgf, info, imgf.width > 0 && imgf.height > 0);
  });
}

namespace {
constexpr FormatRow kPcxRead[] = {
    {7, {kFmtPCX, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"}},
};
constexpr FormatRow kPcxWrite[] = {
    {5, {kFmtPCX, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"}},
};
}  // namespace

extern const FormatDescriptor kPcxFormat{
    .id = kFmtPCX,
    .tag = "PCX",
    .read_rows = kPcxRead,
    .read_count = 1,
    .write_rows = kPcxWrite,
    .write_count = 1,
    .depths = kDepthsPal24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.codec_name = [](const VekSaveOpts&) -> std::string { return kRleName; }},
    .load = PCXLoad_,
    .save_image = PCXSave_,
    .info = PCXInfo,
};

}  // namespace vek
