// Portable any-maps (FF_PNM): a text header of whitespace-separated tokens
// with comments, then samples as bytes, 16-bit words or decimal text.
#include "formats/still/pnm.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "formats/still/raster_io.h"
#include "foundation/errors.h"

namespace vek {

namespace {

constexpr int32_t kReadBuf = 4096;

struct PnmSettings {
  int32_t ascii = 0;
};
PnmSettings g_pnm;

inline bool IsSpace(int c) { return c == 9 || c == 10 || c == 13 || c == 32; }

// Next byte of the file, or -1 at its end.
int NextByte(QPnmFile& pnm) {
  if (pnm.buf_pos >= pnm.buf_len) {
    int64_t got = 0;
    FReadSome(pnm.file.id(), pnm.buf.get(), kReadBuf, got);
    pnm.buf_len = static_cast<int32_t>(got);
    pnm.buf_pos = 0;
    if (got <= 0) return -1;
  }
  ++pnm.consumed;
  return pnm.buf.get()[pnm.buf_pos++];
}

// Refill of the read buffer; a refill that yields nothing is corrupt data.
int PNMReadBuf_(QPnmFile& pnm) {
  const int c = NextByte(pnm);
  if (c < 0) ErrReportCode(kGrpImage, kImgCorrupted, 20);
  return c;
}

// The first byte after whitespace and comments.
int NextSignificant(QPnmFile& pnm) {
  int c = PNMReadBuf_(pnm);
  while (IsSpace(c) || c == '#') {
    if (c == '#')
      while (c != 10 && c != 13) c = PNMReadBuf_(pnm);
    c = PNMReadBuf_(pnm);
  }
  return c;
}

// Reads one token of at most `limit` characters, skipping whitespace and
// comments; the whitespace byte that ends it is consumed as well.
int32_t ReadToken(QPnmFile& pnm, char* out, int32_t limit) {
  int c = NextSignificant(pnm);
  int32_t n = 0;
  while (n < limit) {
    out[n++] = static_cast<char>(c);
    if (n == limit) break;
    c = PNMReadBuf_(pnm);
    if (IsSpace(c)) break;
    if (c == '#') {
      // A comment right after a token ends it.
      while (c != 10 && c != 13) c = PNMReadBuf_(pnm);
      break;
    }
  }
  out[n] = '\0';
  return n;
}

// A decimal header field; anything but digits makes the header invalid.
int32_t ReadNumber(QPnmFile& pnm) {
  char tok[513];
  const int32_t n = ReadToken(pnm, tok, 512);
  int64_t v = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (tok[i] < '0' || tok[i] > '9') ErrReportCode(kGrpImage, kImgInvalid, 21);
    v = std::min<int64_t>(v * 10 + (tok[i] - '0'), INT32_MAX);
  }
  return static_cast<int32_t>(v);
}

// Swaps the first and third byte of `n` three-byte pixels from `src` into
// `dst` (which must not overlap): one 32-bit load and store per pixel,
// the fourth byte of each store being overwritten by the next pixel.
void SwapRB(const uint8_t* src, uint8_t* dst, int64_t n) {
  int64_t i = 0;
  for (; i + 1 < n; ++i) {
    uint32_t v;
    std::memcpy(&v, src + 3 * i, 4);
    v = (v & 0xFF00FF00u) | ((v & 0xFFu) << 16) | ((v >> 16) & 0xFFu);
    std::memcpy(dst + 3 * i, &v, 4);
  }
  for (; i < n; ++i) {
    dst[3 * i] = src[3 * i + 2];
    dst[3 * i + 1] = src[3 * i + 1];
    dst[3 * i + 2] = src[3 * i];
  }
}

// Samples of maximum `maxval` to 0..255, rounded; larger samples are white.
inline uint8_t Scale(uint32_t v, uint32_t maxval) {
  if (v >= maxval) return 255;
  return static_cast<uint8_t>((v * 255u + maxval / 2) / maxval);
}

}  // namespace

int32_t PNMSetAscii(int32_t flag) {
  if (flag != kUndefined) g_pnm.ascii = flag != 0 ? 1 : 0;
  return g_pnm.ascii;
}

void PNMOpen_(const std::string& name, QPnmFile& pnm) {
  Monitored("FF_PNM.PNMOpen_", [&] {
    pnm.file.Open(name, kFmRead);
    pnm.file_size = pnm.file.Size();
    pnm.buf.Alloc(kReadBuf, 1, "FF_PNM.PNMOpen_.buf", kMemNew);
    char tok[3];
    const int32_t n = ReadToken(pnm, tok, 2);
    if (n < 1 || tok[0] != 'P') ErrReportCode(kGrpImage, kImgInvalid, 2);
    pnm.magic = n == 2 && tok[1] >= '0' && tok[1] <= '9' ? tok[1] - '0' : 0;
    switch (pnm.magic) {
      case 1: pnm.bytespp = 1; pnm.ascii = true; pnm.bitmap = true; break;
      case 4: pnm.bytespp = 1; pnm.bitmap = true; break;
      case 2: pnm.bytespp = 1; pnm.ascii = true; break;
      case 3: pnm.bytespp = 3; pnm.ascii = true; break;
      case 5: pnm.bytespp = 1; break;
      case 6: pnm.bytespp = 3; break;
      default: pnm.bytespp = 0; break;
    }
    pnm.width = ReadNumber(pnm);
    pnm.height = ReadNumber(pnm);
    // Bitmaps have no maximum value.
    if (pnm.bitmap)
      pnm.maxval = 1;
    else if (pnm.bytespp != 0)
      pnm.maxval = ReadNumber(pnm);
    // Any size the library holds: what we and netpbm write reads back.
    pnm.supported = pnm.bytespp != 0 && pnm.width >= 1 && pnm.height >= 1 &&
                    static_cast<int64_t>(pnm.width) * pnm.bytespp <= kStillMaxBytes / pnm.height &&
                    pnm.maxval >= 1 && pnm.maxval <= 65535;
  });
}

void PNMLoad(const std::string& name, QImg& img) {
  Monitored("FF_PNM.PNMLoad", [&] {
    QPnmFile pnm;
    PNMOpen_(name, pnm);
    if (!pnm.supported) ErrReportCode(kGrpImage, kImgUnsupported, 3);
    const int64_t samples = static_cast<int64_t>(pnm.width) * pnm.height * pnm.bytespp;
    const uint32_t maxval = static_cast<uint32_t>(pnm.maxval);
    const int64_t sample_bytes = maxval > 255 ? 2 : 1;
    // Binary bitmap rows are packed eight pixels to the byte.
    const int64_t packed_row = (static_cast<int64_t>(pnm.width) + 7) / 8;
    const int64_t stored = pnm.bitmap ? packed_row * pnm.height : samples * sample_bytes;
    if (!pnm.ascii && pnm.file_size - pnm.consumed < stored) ErrReportCode(kGrpFile, kFileRead, 4);
    // Text bitmaps may run their digits together: one byte a pixel at least.
    if (pnm.ascii && pnm.bitmap && pnm.file_size - pnm.consumed < samples)
      ErrReportCode(kGrpImage, kImgCorrupted, 11);
    // Every text sample takes two bytes at least (the last one may end the file).
    if (pnm.ascii && !pnm.bitmap && pnm.file_size - pnm.consumed < 2 * samples - 1)
      ErrReportCode(kGrpImage, kImgCorrupted, 5);

    _imgalloc_(&img, pnm.width, pnm.height, pnm.bytespp * 8, 6, "FF_PNM.PNMLoad.ih");
    uint8_t* px = img.pixels;
    uint8_t lut[256];
    for (uint32_t v = 0; v < 256; ++v) lut[v] = Scale(v, maxval);

    if (pnm.bitmap) {
      // A set bit (or the digit 1) is black.
      if (!pnm.ascii) {
        pnm.file.Seek(pnm.consumed);
        Tracked<uint8_t> row(packed_row, 12, "FF_PNM.PNMLoad.tmpdata", kMemNew);
        for (int64_t y = 0; y < pnm.height; ++y) {
          pnm.file.Read(row.get(), packed_row);
          uint8_t* d = px + y * pnm.width;
          for (int64_t x = 0; x < pnm.width; ++x)
            d[x] = (row.get()[x >> 3] >> (7 - (x & 7))) & 1 ? 0 : 255;
        }
      } else {
        for (int64_t i = 0; i < samples; ++i) {
          int c = NextSignificant(pnm);
          if (c != '0' && c != '1') ErrReportCode(kGrpImage, kImgCorrupted, 13);
          px[i] = c == '1' ? 0 : 255;
        }
      }
    } else if (!pnm.ascii) {
      pnm.file.Seek(pnm.consumed);
      if (sample_bytes == 1 && pnm.bytespp == 3) {
        // In chunks that stay in the cache, swapped to blue, green, red on
        // the way into the image.
        const int64_t chunk_px = std::min<int64_t>(samples / 3, 32768);
        Tracked<uint8_t> chunk(3 * chunk_px, 10, "FF_PNM.PNMLoad.tmpdata", kMemNew);
        for (int64_t done = 0; done < samples / 3;) {
          const int64_t n = std::min(chunk_px, samples / 3 - done);
          uint8_t* c = chunk.get();
          pnm.file.Read(c, 3 * n);
          if (maxval != 255)
            for (int64_t i = 0; i < 3 * n; ++i) c[i] = lut[c[i]];
          SwapRB(c, px + 3 * done, n);
          done += n;
        }
      } else if (sample_bytes == 1) {
        pnm.file.Read(px, samples);
        if (maxval != 255)
          for (int64_t i = 0; i < samples; ++i) px[i] = lut[px[i]];
      } else {
        const int64_t row = static_cast<int64_t>(pnm.width) * pnm.bytespp;
        Tracked<uint8_t> words(2 * row, 7, "FF_PNM.PNMLoad.tmpdata", kMemNew);
        for (int64_t y = 0; y < pnm.height; ++y) {
          pnm.file.Read(words.get(), 2 * row);
          const uint8_t* w = words.get();
          uint8_t* d = px + y * row;
          for (int64_t i = 0; i < row; ++i) d[i] = Scale((uint32_t(w[2 * i]) << 8) | w[2 * i + 1], maxval);
        }
      }
    } else {
      for (int64_t i = 0; i < samples; ++i) {
        int c = NextSignificant(pnm);
        if (c < '0' || c > '9') ErrReportCode(kGrpImage, kImgCorrupted, 8);
        uint32_t v = 0;
        // The last sample may end the file without whitespace.
        while (c >= '0' && c <= '9') {
          v = std::min<uint32_t>(v * 10 + (c - '0'), 1u << 20);
          c = NextByte(pnm);
        }
        if (c >= 0 && !IsSpace(c) && c != '#') ErrReportCode(kGrpImage, kImgCorrupted, 9);
        if (c == '#')
          while (c >= 0 && c != 10 && c != 13) c = NextByte(pnm);
        px[i] = Scale(v, maxval);
      }
    }
    if (pnm.bytespp == 1) {
      for (int32_t i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
    } else if ((pnm.ascii || sample_bytes == 2) && !pnm.bitmap) {
      for (int64_t i = 0; i < samples; i += 3) std::swap(px[i], px[i + 2]);
    }
  });
}

namespace {

// Buffered output: pieces are gathered and written when the next would not fit.
struct PnmWriter {
  QImgFile& out;
  Tracked<uint8_t> buf;
  int64_t used = 0;
  explicit PnmWriter(QImgFile& o) : out(o), buf(64 * 1024, 1, "FF_PNM.PNMSave.buf", kMemNew) {}
  void Put(const void* p, int64_t n) {
    if (used + n > buf.size()) Flush();
    if (n > buf.size()) {
      out.file.Write(p, n);
      return;
    }
    std::memcpy(buf.get() + used, p, static_cast<size_t>(n));
    used += n;
  }
  void Flush() {
    out.file.Write(buf.get(), used);
    used = 0;
  }
};

int32_t Decimal(int64_t v, char* s) {
  char t[24];
  int32_t n = 0;
  do {
    t[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v > 0);
  for (int32_t i = 0; i < n; ++i) s[i] = t[n - 1 - i];
  return n;
}

}  // namespace

void PNMSave(const std::string& name, QImg& img) {
  Monitored("FF_PNM.PNMSave", [&] {
    RasterCheckSave(img, INT32_MAX);
    const bool ascii = g_pnm.ascii != 0;
    QImgFile out;
    RasterCreate(out, name);
    PnmWriter wr(out);
    char head[64];
    int32_t n = 0;
    head[n++] = 'P';
    head[n++] = ascii ? '3' : '6';
    head[n++] = '\n';
    n += Decimal(img.width, head + n);
    head[n++] = ' ';
    n += Decimal(img.height, head + n);
    std::memcpy(head + n, "\n255\n", 5);
    n += 5;
    wr.Put(head, n);

    const int64_t w = img.width;
    const int64_t in_row = w * img.bytespp;
    Tracked<uint8_t> tmpdata(3 * w, 2, "FF_PNM.PNMSave.tmpdata", kMemNew);
    uint8_t* t = tmpdata.get();
    // Sample texts "0\n" to "255\n", looked up rather than formatted.
    char text[256][4];
    uint8_t text_len[256];
    for (int v = 0; v < 256; ++v) {
      text_len[v] = static_cast<uint8_t>(Decimal(v, text[v]));
      text[v][text_len[v]++] = '\n';
    }
    Tracked<char> line;
    if (ascii) line.Alloc(12 * w, 3, "FF_PNM.PNMSave.line", kMemNew);
    for (int64_t y = 0; y < img.height; ++y) {
      const uint8_t* s = img.pixels + y * in_row;
      switch (img.bits) {
        case 8:
          for (int64_t x = 0; x < w; ++x) {
            const uint8_t* p = img.palette + 3 * s[x];
            t[3 * x] = p[2];
            t[3 * x + 1] = p[1];
            t[3 * x + 2] = p[0];
          }
          break;
        case 15: Row15To24(s, t, img.width); break;
        case 16: Row16To24(s, t, img.width); break;
        case 32: Row32To24(s, t, img.width); break;
        default: SwapRB(s, t, w); break;
      }
      if (img.bits != 8 && img.bits != 24)
        for (int64_t x = 0; x < w; ++x) std::swap(t[3 * x], t[3 * x + 2]);
      if (!ascii) {
        wr.Put(t, 3 * w);
        continue;
      }
      char* l = line.get();
      for (int64_t i = 0; i < 3 * w; ++i) {
        std::memcpy(l, text[t[i]], 4);
        l += text_len[t[i]];
      }
      wr.Put(line.get(), l - line.get());
    }
    wr.Flush();
    out.file.Close();
  });
}

void PNMInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_PNM.PNMInfo", [&] {
    QPnmFile pnm;
    PNMOpen_(name, pnm);
    info.size = pnm.file_size;
    info.width = pnm.width;
    info.height = pnm.height;
    info.bytespp = pnm.bytespp;
    info.bits = pnm.bytespp * 8;
    info.frames = 1;
    SetText(info.compression, pnm.ascii ? "Ascii encoded" : "Binary encoded");
    info.imagesValid = pnm.width > 0 ? -1 : 0;
    info.imagesSupported = pnm.supported ? -1 : 0;
  });
}

namespace {
constexpr FormatRow kRead[] = {
    {6, {kFmtPNM, 0x09, ".pnm.ppm.pgm.pbm", "PNM", "Portable Image", "PNM, Portable Image"}},
};
constexpr FormatRow kWrite[] = {
    {12, {kFmtPNM, 0x09, ".ppm.pnm", "PPM", "Portable PixelMap", "PPM, Portable PixelMap"}},
};
}  // namespace

extern const FormatDescriptor kPnmFormat{
    .id = kFmtPNM,
    .tag = "PNM",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::pnmAscii>,
        .codec_name = [](const VekSaveOpts& o) -> std::string {
          return o.pnmAscii != 0 ? "ASCII encoded" : "Binary encoded";
        },
        .prepare = PrepareCodec<&VekSaveOpts::pnmAscii>,
        .apply = [](const VekSaveOpts& o) { PNMSetAscii(o.prepCodec); }},
    .load = PNMLoad,
    .save_image = PNMSave,
    .info = PNMInfo,
};

}  // namespace vek
