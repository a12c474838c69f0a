// Silicon Graphics images (FF_SGI): planar channels stored bottom-up, raw
// or run-length encoded row by row with a table of row offsets and lengths.
#include "formats/still/sgi.h"

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

constexpr int32_t kMagic = 474;
constexpr int64_t kHeaderBytes = 512;

struct SgiSettings {
  int32_t rle = 1;
};
SgiSettings g_sgi;


// A 16-bit sample to 8 bits, rounded to the nearest level.
inline uint8_t Narrow16(uint32_t v) { return static_cast<uint8_t>((v * 255 + 32767) / 65535); }

// Channel planes of one row into the record's pixel order: red, green and
// blue go to bytes 2, 1 and 0, alpha to byte 3.
void Interleave(const uint8_t* planes, int32_t w, int32_t z, uint8_t* row) {
  const uint8_t* r = planes;
  const uint8_t* g = planes + w;
  const uint8_t* b = planes + 2 * static_cast<int64_t>(w);
  if (z == 3) {
    for (int32_t x = 0; x < w; ++x) {
      row[3 * x] = b[x];
      row[3 * x + 1] = g[x];
      row[3 * x + 2] = r[x];
    }
  } else {
    const uint8_t* a = planes + 3 * static_cast<int64_t>(w);
    for (int32_t x = 0; x < w; ++x) {
      row[4 * x] = b[x];
      row[4 * x + 1] = g[x];
      row[4 * x + 2] = r[x];
      row[4 * x + 3] = a[x];
    }
  }
}

// One row of any depth as blue, green, red.
void RowTo24(const QImg& img, int64_t y, uint8_t* dst) {
  const uint8_t* src = img.pixels + y * img.width * static_cast<int64_t>(img.bytespp);
  switch (img.bits) {
    case 8:
      for (int32_t x = 0; x < img.width; ++x) std::memcpy(dst + 3 * x, img.palette + 3 * src[x], 3);
      break;
    case 15: Row15To24(src, dst, img.width); break;
    case 16: Row16To24(src, dst, img.width); break;
    case 32: Row32To24(src, dst, img.width); break;
    default: std::memcpy(dst, src, static_cast<size_t>(img.width) * 3); break;
  }
}

}  // namespace

int32_t SGISetCompression(int32_t flag) {
  if (flag != kUndefined) g_sgi.rle = flag != 0 ? 1 : 0;
  return g_sgi.rle;
}

int32_t SGIDecodeRow(const uint8_t* src, int64_t n, uint8_t* dst, int32_t width) {
  const uint8_t* p = src;
  const uint8_t* const end = src + std::max<int64_t>(n, 0);
  uint8_t* o = dst;
  uint8_t* const oe = dst + std::max(width, 0);
  while (p < end && o < oe) {
    const uint32_t c = *p++;
    const int64_t count = c & 0x7F;
    if (count == 0) break;
    const int64_t room = oe - o;
    if (c & 0x80) {
      const int64_t m = std::min({count, room, static_cast<int64_t>(end - p)});
      std::memcpy(o, p, static_cast<size_t>(m));
      o += m;
      p += m;
      if (m < count && m < room) break;  // the input ended inside the packet
    } else {
      if (p >= end) break;
      const int64_t m = std::min(count, room);
      std::memset(o, *p++, static_cast<size_t>(m));
      o += m;
    }
  }
  return static_cast<int32_t>(o - dst);
}

int32_t SGIDecodeRow16(const uint8_t* src, int64_t n, uint8_t* dst, int32_t width) {
  // The same packets with 16-bit counts and samples, big-endian.
  const int64_t words = std::max<int64_t>(n, 0) / 2;
  int64_t i = 0;
  int32_t o = 0;
  while (i < words && o < width) {
    const uint32_t c = GetBe16(src + 2 * i++);
    const int64_t count = c & 0x7F;
    if (count == 0) break;
    const int64_t m = std::min<int64_t>(count, width - o);
    if (c & 0x80) {
      const int64_t k = std::min(m, words - i);
      for (int64_t j = 0; j < k; ++j) dst[o++] = Narrow16(GetBe16(src + 2 * (i + j)));
      i += count;
      if (k < m) break;  // the input ended inside the packet
    } else {
      if (i >= words) break;
      std::memset(dst + o, Narrow16(GetBe16(src + 2 * i++)), static_cast<size_t>(m));
      o += static_cast<int32_t>(m);
    }
  }
  return o;
}

int64_t SGIEncodeRow(const uint8_t* src, int32_t n, uint8_t* dst) {
  uint8_t* o = dst;
  int32_t i = 0;
  while (i < n) {
    // A run of two or more equal bytes, at most 126 to a packet.
    int32_t j = i + 1;
    while (j < n && j - i < 126 && src[j] == src[i]) ++j;
    if (j - i >= 2) {
      *o++ = static_cast<uint8_t>(j - i);
      *o++ = src[i];
      i = j;
      continue;
    }
    // Literal bytes up to the next equal pair, at most 125 to a packet.
    int32_t k = i + 1;
    while (k < n && k - i < 125 && !(k + 1 < n && src[k] == src[k + 1])) ++k;
    *o++ = static_cast<uint8_t>(0x80 + (k - i));
    std::memcpy(o, src + i, static_cast<size_t>(k - i));
    o += k - i;
    i = k;
  }
  *o++ = 0;
  return o - dst;
}

void SGIOpen_(const std::string& name, QSgiFile& sgi) {
  Monitored("FF_SGI.SGIOpen_", [&] {
    sgi.file.Open(name, kFmRead);
    sgi.file_size = sgi.file.Size();
    if (sgi.file_size < 108) ErrReportCode(kGrpImage, kImgInvalid, 1);
    uint8_t h[108];
    sgi.file.Read(h, 108);
    if (GetBe16(h) != kMagic) ErrReportCode(kGrpImage, kImgInvalid, 2);
    sgi.storage = h[2];
    sgi.bpc = h[3];
    sgi.dimension = static_cast<int32_t>(GetBe16(h + 4));
    sgi.width = static_cast<int32_t>(GetBe16(h + 6));
    sgi.height = static_cast<int32_t>(GetBe16(h + 8));
    sgi.channels = static_cast<int32_t>(GetBe16(h + 10));
    sgi.colormap = GetBe32(h + 104);
    switch (sgi.dimension) {
      case 1: sgi.height = 1; sgi.channels = 1; break;
      case 2: sgi.channels = 1; break;
      case 3: break;
      default: sgi.channels = 0; break;
    }
    sgi.supported = (sgi.bpc == 1 || sgi.bpc == 2) && (sgi.storage == 0 || sgi.storage == 1) && sgi.channels >= 1 &&
                    sgi.channels <= 4 && sgi.colormap == 0;
  });
}

namespace {
int32_t LoadBits(int32_t channels) { return channels <= 2 ? 8 : channels * 8; }
}  // namespace

void SGILoad(const std::string& name, QImg& img) {
  Monitored("FF_SGI.SGILoad", [&] {
    QSgiFile sgi;
    SGIOpen_(name, sgi);
    if (!sgi.supported) ErrReportCode(kGrpImage, kImgUnsupported, 3);
    const int64_t w = sgi.width, h = sgi.height, z = sgi.channels;
    const int64_t bpc = sgi.bpc;
    if (w <= 0 || h <= 0) ErrReportCode(kGrpImage, kImgInvalid, 4);
    const int32_t bits = LoadBits(sgi.channels);
    const int64_t bpp = bits / 8;
    const int64_t plane = w * h;
    QImgFile dims;
    dims.width = sgi.width;
    dims.height = sgi.height;
    dims.bytespp = static_cast<int32_t>(bpp);
    RasterCheckDims(dims);

    // Everything the pixels need is checked against the file before the
    // image is allocated.
    Tracked<uint8_t> data;
    Tracked<uint32_t> linetbl, lentbl;
    // Two channels: only the first (grey) is kept.
    const int64_t keep = z == 2 ? 1 : z;
    if (sgi.storage == 0) {
      if (sgi.file_size - kHeaderBytes < plane * z * bpc) ErrReportCode(kGrpFile, kFileRead, 5);
      const int64_t want = plane * keep * bpc;
      data.Alloc(want, 6, "FF_SGI.SGILoad.data", kMemNew);
      sgi.file.Seek(kHeaderBytes);
      sgi.file.Read(data.get(), want);
    } else {
      const int64_t entries = h * z;
      if (sgi.file_size - kHeaderBytes < 8 * entries) ErrReportCode(kGrpFile, kFileRead, 7);
      // A row cannot hold more than 127 pixels per two samples: data too
      // short for the picture is refused before the image is allocated.
      const int64_t rest = sgi.file_size - kHeaderBytes - 8 * entries;
      if (w > (rest / bpc + 1) / 2 * 127) ErrReportCode(kGrpImage, kImgDecompress, 8);
      RasterCheckCoded(plane * bpp, rest);
      data.Alloc(sgi.file_size, 9, "FF_SGI.SGILoad.data", kMemNew);
      sgi.file.Seek(0);
      sgi.file.Read(data.get(), sgi.file_size);
      linetbl.Alloc(entries, 10, "FF_SGI.SGILoad.linetbl", kMemNew);
      lentbl.Alloc(entries, 11, "FF_SGI.SGILoad.lentbl", kMemNew);
      const uint8_t* t = data.get() + kHeaderBytes;
      for (int64_t i = 0; i < entries; ++i) {
        linetbl.get()[i] = GetBe32(t + 4 * i);
        lentbl.get()[i] = GetBe32(t + 4 * (entries + i));
      }
    }
    sgi.file.Close();

    _imgalloc_(&img, sgi.width, sgi.height, bits, 12, "FF_SGI.SGILoad.ih");
    const int64_t row_bytes = w * bpp;
    // Rows are stored bottom-up.
    auto image_row = [&](int64_t y) { return img.pixels + (h - 1 - y) * row_bytes; };
    Tracked<uint8_t> templine(w * z, 13, "FF_SGI.SGILoad.templine", kMemNew);

    if (sgi.storage == 0) {
      for (int64_t y = 0; y < h; ++y) {
        uint8_t* line = z <= 2 ? image_row(y) : templine.get();
        for (int64_t c = 0; c < keep; ++c) {
          const uint8_t* src = data.get() + (c * plane + y * w) * bpc;
          if (bpc == 1)
            std::memcpy(line + c * w, src, static_cast<size_t>(w));
          else
            for (int64_t x = 0; x < w; ++x) line[c * w + x] = Narrow16(GetBe16(src + 2 * x));
        }
        if (z > 2) Interleave(templine.get(), sgi.width, sgi.channels, image_row(y));
      }
    } else {
      // Packets of one sample each fill a row in 2 x width + 1 samples:
      // more of a stored row is never looked at.
      const int64_t useful = (2 * w + 2) * bpc;
      for (int64_t y = 0; y < h; ++y) {
        uint8_t* line = z <= 2 ? image_row(y) : templine.get();
        std::memset(line, 0, static_cast<size_t>(w * keep));
        for (int64_t c = 0; c < keep; ++c) {
          const int64_t off = linetbl.get()[c * h + y];
          const int64_t len = lentbl.get()[c * h + y];
          if (off >= sgi.file_size) ErrReportCode(kGrpImage, kImgDecompress, 15);
          const int64_t n = std::min({len, useful, sgi.file_size - off});
          if (bpc == 1)
            SGIDecodeRow(data.get() + off, n, line + c * w, sgi.width);
          else
            SGIDecodeRow16(data.get() + off, n, line + c * w, sgi.width);
        }
        if (z > 2) Interleave(templine.get(), sgi.width, sgi.channels, image_row(y));
      }
    }
    if (bits == 8)
      for (int32_t i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
  });
}

void SGISave(const std::string& name, QImg& img) {
  Monitored("FF_SGI.SGISave", [&] {
    RasterCheckSave(img, 65535);
    const int64_t w = img.width, h = img.height;
    const bool rle = g_sgi.rle != 0;

    uint8_t hdr[kHeaderBytes] = {};
    PutBe16(hdr, kMagic);
    hdr[2] = rle ? 1 : 0;
    hdr[3] = 1;
    PutBe16(hdr + 4, 3);
    PutBe16(hdr + 6, static_cast<uint32_t>(w));
    PutBe16(hdr + 8, static_cast<uint32_t>(h));
    PutBe16(hdr + 10, 3);
    PutBe32(hdr + 16, 255);

    QImgFile out;
    RasterCreate(out, name);
    out.file.Write(hdr, kHeaderBytes);

    Tracked<uint8_t> px(w * 3, 1, "FF_SGI.SGISave.px", kMemNew);
    Tracked<uint8_t> templine(w, 2, "FF_SGI.SGISave.templine", kMemNew);
    // Channel c of the file is byte 2 - c of a pixel.
    auto pick = [&](int64_t y, int c) {
      const uint8_t* row = img.pixels + y * w * 3;
      if (img.bits != 24) {
        RowTo24(img, y, px.get());
        row = px.get();
      }
      const uint8_t* s = row + (2 - c);
      uint8_t* d = templine.get();
      for (int64_t x = 0; x < w; ++x) d[x] = s[3 * x];
    };

    if (!rle) {
      // Whole channel rows gathered in chunks: few writes.
      const int64_t per = std::max<int64_t>(1, kRasterChunkBytes / w);
      Tracked<uint8_t> buf(std::min(per, h) * w, 3, "FF_SGI.SGISave.buf", kMemNew);
      for (int c = 0; c < 3; ++c) {
        int64_t used = 0;
        for (int64_t y = h - 1; y >= 0; --y) {
          pick(y, c);
          std::memcpy(buf.get() + used, templine.get(), w);
          used += w;
          if (used + w > buf.size()) {
            out.file.Write(buf.get(), used);
            used = 0;
          }
        }
        out.file.Write(buf.get(), used);
      }
      out.file.Close();
      return;
    }

    const int64_t entries = h * 3;
    Tracked<uint8_t> tables(8 * entries, 4, "FF_SGI.SGISave.linetbl", kMemNew);
    std::memset(tables.get(), 0, static_cast<size_t>(tables.size()));
    out.file.Write(tables.get(), tables.size());
    int64_t pos = kHeaderBytes + 8 * entries;
    const int64_t worst = 2 * w + 2;
    const int64_t cap = std::max(worst, kRasterChunkBytes);
    Tracked<uint8_t> buf(cap, 5, "FF_SGI.SGISave.cmpsline", kMemNew);
    int64_t used = 0;
    for (int c = 0; c < 3; ++c) {
      for (int64_t y = h - 1; y >= 0; --y) {
        pick(y, c);
        if (cap - used < worst) {
          out.file.Write(buf.get(), used);
          used = 0;
        }
        const int64_t n = SGIEncodeRow(templine.get(), img.width, buf.get() + used);
        // Offsets are 32 bits wide.
        if (pos + n > UINT32_MAX) ErrReportCode(kGrpImage, kImgCompress, 6);
        const int64_t file_row = h - 1 - y;
        PutBe32(tables.get() + 4 * (c * h + file_row), static_cast<uint32_t>(pos));
        PutBe32(tables.get() + 4 * (entries + c * h + file_row), static_cast<uint32_t>(n));
        pos += n;
        used += n;
      }
    }
    out.file.Write(buf.get(), used);
    out.file.Seek(kHeaderBytes);
    out.file.Write(tables.get(), tables.size());
    out.file.Close();
  });
}

void SGIInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_SGI.SGIInfo", [&] {
    QSgiFile sgi;
    SGIOpen_(name, sgi);
    info.size = sgi.file_size;
    info.width = sgi.width;
    info.height = sgi.height;
    info.bits = sgi.channels >= 1 ? LoadBits(sgi.channels) : 0;
    info.bytespp = info.bits / 8;
    info.frames = 1;
    if (sgi.storage == 1) SetText(info.compression, kRleName);
    info.imagesValid = sgi.width > 0 ? -1 : 0;
    info.imagesSupported = sgi.supported ? -1 : 0;
  });
}

namespace {
constexpr FormatRow kRead[] = {
    {5, {kFmtSGI, 0x09, ".rgb.rgba.bw.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"}},
};
constexpr FormatRow kWrite[] = {
    {10, {kFmtSGI, 0x09, ".rgb.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"}},
};
}  // namespace

extern const FormatDescriptor kSgiFormat{
    .id = kFmtSGI,
    .tag = "SGI",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::sgiCodec>,
        .codec_name = RleWhenSet<&VekSaveOpts::sgiCodec>,
        .prepare = PrepareCodec<&VekSaveOpts::sgiCodec>,
        .apply = [](const VekSaveOpts& o) { SGISetCompression(o.prepCodec); }},
    .load = SGILoad,
    .save_image = SGISave,
    .info = SGIInfo,
};

}  // namespace vek
