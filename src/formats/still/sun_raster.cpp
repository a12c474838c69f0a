// Sun raster images (FF_RAS): a 32-byte big-endian header, an optional
// colour map of three planes, and rows raw or byte-encoded.
#include "formats/still/sun_raster.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "formats/still/raster_io.h"
#include "foundation/errors.h"
#include "foundation/memory.h"
#include "foundation/byte_fields.h"

namespace vek {

namespace {

constexpr uint32_t kMagic = 0x59A66A95;
constexpr int64_t kHeaderBytes = 32;
constexpr int32_t kTypeStandard = 1;
constexpr int32_t kTypeEncoded = 2;
constexpr int32_t kTypeRgb = 3;

struct RasSettings {
  int32_t rle = 1;
};
RasSettings g_ras;


// Stored rows are padded to a multiple of 16 bits.
int64_t StoredRow(int64_t width, int32_t depth) { return (width * depth + 15) / 16 * 2; }
int32_t LoadBits(int32_t depth) { return depth <= 8 ? 8 : 24; }

}  // namespace

int32_t RASSetCompression(int32_t flag) {
  if (flag != kUndefined) g_ras.rle = flag != 0 ? 1 : 0;
  return g_ras.rle;
}

int64_t RASDecode(const uint8_t* src, int64_t n, uint8_t* dst, int64_t capacity) {
  const uint8_t* p = src;
  const uint8_t* const end = src + std::max<int64_t>(n, 0);
  uint8_t* o = dst;
  uint8_t* const oe = dst + std::max<int64_t>(capacity, 0);
  while (p < end && o < oe) {
    // Literal stretches are copied in one piece.
    const uint8_t* q = p;
    const int64_t lim = std::min<int64_t>(end - p, oe - o);
    while (q < p + lim && *q != 0x80) ++q;
    if (q > p) {
      std::memcpy(o, p, static_cast<size_t>(q - p));
      o += q - p;
      p = q;
      continue;
    }
    // An escape: 0x80 0 is the byte 0x80 itself, 0x80 n v is n + 1 copies of v.
    if (end - p < 2) break;
    const uint32_t count = p[1];
    if (count == 0) {
      *o++ = 0x80;
      p += 2;
      continue;
    }
    if (end - p < 3) break;
    const int64_t m = std::min<int64_t>(count + 1, oe - o);
    std::memset(o, p[2], static_cast<size_t>(m));
    o += m;
    p += 3;
  }
  return o - dst;
}

int64_t RASEncodeRow(const uint8_t* src, int64_t n, uint8_t* dst) {
  uint8_t* o = dst;
  int64_t i = 0;
  while (i < n) {
    const uint8_t v = src[i];
    int64_t j = i + 1;
    while (j < n && j - i < 256 && src[j] == v) ++j;
    const int64_t r = j - i - 1;  // repeats after the first byte
    if (r > 0) {
      *o++ = 0x80;
      *o++ = static_cast<uint8_t>(r);
      *o++ = v;
    } else if (v == 0x80) {
      *o++ = 0x80;
      *o++ = 0;
    } else {
      *o++ = v;
    }
    i = j;
  }
  return o - dst;
}

void RASOpen_(const std::string& name, QRasFile& ras) {
  Monitored("FF_RAS.RASOpen_", [&] {
    ras.file.Open(name, kFmRead);
    ras.file_size = ras.file.Size();
    if (ras.file_size < kHeaderBytes) ErrReportCode(kGrpImage, kImgInvalid, 1);
    uint8_t h[kHeaderBytes];
    ras.file.Read(h, kHeaderBytes);
    if (GetBe32(h) != kMagic) ErrReportCode(kGrpImage, kImgInvalid, 2);
    // Sizes beyond 31 bits are no sizes: they read as 0, which is invalid.
    auto field = [&](int i) {
      const uint32_t v = GetBe32(h + 4 * i);
      return v > INT32_MAX ? 0 : static_cast<int32_t>(v);
    };
    ras.width = field(1);
    ras.height = field(2);
    ras.depth = field(3);
    ras.length = GetBe32(h + 16);
    ras.type = field(5);
    ras.map_type = field(6);
    ras.map_length = GetBe32(h + 28);
    ras.supported = ras.type >= 0 && ras.type <= 5 &&
                    (ras.depth == 1 || ras.depth == 8 || ras.depth == 24 || ras.depth == 32);
  });
}

void RASLoad(const std::string& name, QImg& img) {
  Monitored("FF_RAS.RASLoad", [&] {
    QRasFile ras;
    RASOpen_(name, ras);
    if (!ras.supported) ErrReportCode(kGrpImage, kImgUnsupported, 3);
    if (ras.width <= 0 || ras.height <= 0) ErrReportCode(kGrpImage, kImgInvalid, 4);
    const int64_t w = ras.width, h = ras.height;
    const int32_t bits = LoadBits(ras.depth);
    QImgFile dims;
    dims.width = ras.width;
    dims.height = ras.height;
    dims.bytespp = std::max(ras.depth / 8, bits / 8);
    RasterCheckDims(dims);

    const int64_t data_offset = kHeaderBytes + static_cast<int64_t>(ras.map_length);
    if (data_offset > ras.file_size) ErrReportCode(kGrpFile, kFileRead, 5);
    uint8_t map[768] = {};
    int32_t map_entries = 0;
    if (ras.map_type == 1 && ras.map_length >= 3) {
      // Three planes; entries beyond 256 cannot be indexed and are skipped.
      const int64_t per_plane = ras.map_length / 3;
      map_entries = static_cast<int32_t>(std::min<int64_t>(per_plane, 256));
      Tracked<uint8_t> planes(3 * per_plane, 6, "FF_RAS.RASLoad.map", kMemNew);
      ras.file.Read(planes.get(), 3 * per_plane);
      for (int32_t i = 0; i < map_entries; ++i) {
        map[3 * i] = planes.get()[2 * per_plane + i];
        map[3 * i + 1] = planes.get()[per_plane + i];
        map[3 * i + 2] = planes.get()[i];
      }
    }

    // The standard layout pads rows to 16 bits; files with rows packed
    // without padding exist as well and are told apart by their data size.
    const int64_t stored = StoredRow(w, ras.depth);
    const int64_t packed = w * ras.depth / 8;
    const bool can_pack = ras.depth >= 8 && packed != stored;
    const int64_t full = stored * h;
    // Rows that need no padding removed or pixels reshaped go straight
    // into the image.
    const bool direct = stored == packed && (ras.depth == 8 || ras.depth == 24);
    Tracked<uint8_t> raw;
    uint8_t* dst = nullptr;
    auto target = [&](int32_t site) {
      if (direct) {
        _imgalloc_(&img, ras.width, ras.height, bits, site, "FF_RAS.RASLoad.ih");
        dst = img.pixels;
      } else {
        raw.Alloc(full, site, "FF_RAS.RASLoad.data", kMemNew);
        dst = raw.get();
      }
    };
    int64_t have = 0;
    ras.file.Seek(data_offset);
    const int64_t avail = ras.file_size - data_offset;
    if (ras.type == kTypeEncoded) {
      // Three bytes give at most 256: too little data for the picture is
      // refused before anything is allocated.
      if (full > (avail / 3 + 1) * 256) ErrReportCode(kGrpImage, kImgDecompress, 7);
      Tracked<uint8_t> cmps(std::max<int64_t>(avail, 1), 8, "FF_RAS.RASLoad.cmpsData", kMemNew);
      ras.file.Read(cmps.get(), avail);
      target(9);
      have = RASDecode(cmps.get(), avail, dst, full);
      std::memset(dst + have, 0, static_cast<size_t>(full - have));
    } else {
      // The padding after the last row may be missing.
      const int64_t need_padded = full - (stored - packed);
      if (avail < need_padded && !(can_pack && avail >= packed * h))
        ErrReportCode(kGrpFile, kFileRead, 10);
      have = std::min(avail, full);
      target(11);
      ras.file.Read(dst, have);
      std::memset(dst + have, 0, static_cast<size_t>(full - have));
    }
    ras.file.Close();
    const int64_t row = can_pack && have < full - (stored - packed) && have >= packed * h ? packed
                                                                                          : stored;

    if (!direct) _imgalloc_(&img, ras.width, ras.height, bits, 12, "FF_RAS.RASLoad.ih");
    const int64_t out_row = w * (bits / 8);
    for (int64_t y = 0; y < h; ++y) {
      const uint8_t* s = direct ? nullptr : raw.get() + y * row;
      uint8_t* d = img.pixels + y * out_row;
      switch (direct ? 0 : ras.depth) {
        case 0: break;
        case 1:
          for (int64_t x = 0; x < w; ++x) d[x] = (s[x >> 3] >> (7 - (x & 7))) & 1;
          break;
        case 32:
          // The first byte of each pixel is padding.
          for (int64_t x = 0; x < w; ++x) {
            d[3 * x] = s[4 * x + 1];
            d[3 * x + 1] = s[4 * x + 2];
            d[3 * x + 2] = s[4 * x + 3];
          }
          break;
        default: std::memcpy(d, s, static_cast<size_t>(out_row)); break;
      }
      if (bits == 24 && ras.type == kTypeRgb)
        for (int64_t x = 0; x < w; ++x) std::swap(d[3 * x], d[3 * x + 2]);
    }
    if (bits == 8) {
      if (map_entries > 0) {
        std::memcpy(img.palette, map, kPaletteBytes);
      } else if (ras.depth == 1) {
        // Without a map, set bits are black.
        std::memset(img.palette, 0, kPaletteBytes);
        std::memset(img.palette, 255, 3);
      } else {
        for (int32_t i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
      }
    }
  });
}

void RASSave(const std::string& name, QImg& img) {
  Monitored("FF_RAS.RASSave", [&] {
    RasterCheckSave(img, INT32_MAX);
    const int32_t depth = img.bits == 8 ? 8 : 24;
    const int64_t w = img.width, h = img.height;
    const int64_t packed = w * depth / 8;
    const int64_t stored = StoredRow(w, depth);
    if (stored * h > UINT32_MAX) ErrReportCode(kGrpImage, kImgUnsupported, 1);
    const bool rle = g_ras.rle != 0;

    uint8_t hdr[kHeaderBytes];
    PutBe32(hdr, kMagic);
    PutBe32(hdr + 4, static_cast<uint32_t>(w));
    PutBe32(hdr + 8, static_cast<uint32_t>(h));
    PutBe32(hdr + 12, static_cast<uint32_t>(depth));
    PutBe32(hdr + 16, static_cast<uint32_t>(stored * h));
    PutBe32(hdr + 20, rle ? kTypeEncoded : kTypeStandard);
    PutBe32(hdr + 24, depth == 8 ? 1 : 0);
    PutBe32(hdr + 28, depth == 8 ? 768 : 0);

    QImgFile out;
    RasterCreate(out, name);
    out.file.Write(hdr, kHeaderBytes);
    if (depth == 8) {
      uint8_t map[768];
      for (int i = 0; i < 256; ++i) {
        map[i] = img.palette[3 * i + 2];
        map[256 + i] = img.palette[3 * i + 1];
        map[512 + i] = img.palette[3 * i];
      }
      out.file.Write(map, sizeof map);
    }

    const RowConv conv = img.bits == 15   ? Row15To24
                         : img.bits == 16 ? Row16To24
                         : img.bits == 32 ? Row32To24
                                          : nullptr;
    const int64_t in_row = w * img.bytespp;
    Tracked<uint8_t> line(stored, 2, "FF_RAS.RASSave.line", kMemNew);
    std::memset(line.get(), 0, static_cast<size_t>(stored));
    const int64_t worst = 2 * stored + 1;
    const int64_t cap = std::max(worst, kRasterChunkBytes);
    Tracked<uint8_t> buf(cap, 3, "FF_RAS.RASSave.cmpsData", kMemNew);
    int64_t used = 0, total = 0;
    for (int64_t y = 0; y < h; ++y) {
      const uint8_t* src = img.pixels + y * in_row;
      if (conv)
        conv(src, line.get(), img.width);
      else
        std::memcpy(line.get(), src, static_cast<size_t>(packed));
      if (cap - used < worst) {
        out.file.Write(buf.get(), used);
        total += used;
        used = 0;
      }
      if (rle) {
        used += RASEncodeRow(line.get(), stored, buf.get() + used);
      } else {
        std::memcpy(buf.get() + used, line.get(), static_cast<size_t>(stored));
        used += stored;
      }
    }
    out.file.Write(buf.get(), used);
    // Readers take the length field as the size of the stored data, which
    // for encoded rows is known only now.
    if (rle) {
      const int64_t stored_bytes = total + used;
      if (stored_bytes > UINT32_MAX) ErrReportCode(kGrpImage, kImgCompress, 4);
      uint8_t len[4];
      PutBe32(len, static_cast<uint32_t>(stored_bytes));
      out.file.Seek(16);
      out.file.Write(len, 4);
    }
    out.file.Close();
  });
}

void RASInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_RAS.RASInfo", [&] {
    QRasFile ras;
    RASOpen_(name, ras);
    info.size = ras.file_size;
    info.width = ras.width;
    info.height = ras.height;
    info.bits = ras.supported ? LoadBits(ras.depth) : ras.depth;
    info.bytespp = static_cast<int32_t>((static_cast<int64_t>(info.bits) + 7) / 8);
    info.frames = 1;
    if (ras.type == kTypeEncoded) SetText(info.compression, kRleName);
    info.imagesValid = ras.width > 0 ? -1 : 0;
    info.imagesSupported = ras.supported ? -1 : 0;
  });
}

namespace {
constexpr FormatRow kRead[] = {
    {4, {kFmtRAS, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"}},
};
constexpr FormatRow kWrite[] = {
    {11, {kFmtRAS, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"}},
};
}  // namespace

extern const FormatDescriptor kSunRasterFormat{
    .id = kFmtRAS,
    .tag = "RAS",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsPal24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::rasCodec>,
        .codec_name = RleWhenSet<&VekSaveOpts::rasCodec>,
        .prepare = PrepareCodec<&VekSaveOpts::rasCodec>,
        .apply = [](const VekSaveOpts& o) { RASSetCompression(o.prepCodec); }},
    .load = RASLoad,
    .save_image = RASSave,
    .info = RASInfo,
};

}  // namespace vek
