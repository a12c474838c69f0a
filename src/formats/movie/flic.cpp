// Autodesk FLIC animations (FF_FLC). The reader decodes every chunk kind of
// FLI and FLC files with each size and count checked against the data it
// has; the writer stores the first frame as byte runs, later frames as line
// deltas from the frame before, raw frames where that does not pay, and a
// ring frame leading from the last frame back to the first.
#include "platform/system/paths.h"
#include "formats/movie/flic.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>

#include "foundation/byte_fields.h"
#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"

namespace vek {

namespace {

constexpr FormatRow kRead[] = {
    {3, {kFmtFLIC, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"}},
};
constexpr FormatRow kWrite[] = {
    {2, {kFmtFLIC, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"}},
};
constexpr int32_t kDepthsFlic[6] = {8, 8, 8, 8, 8, 8};

constexpr const char* kFlicCompression = "RLE + pixel difference from previous frame";

constexpr int64_t kMaxImageBytes = int64_t{1} << 30;
constexpr int64_t kFreePixels = int64_t{1} << 24;
// A byte run paints at most 127 pixels with 2 bytes.
constexpr int64_t kBestRunRatio = 64;

// Reading cursor over one sub-chunk's data.
struct Cursor {
  const uint8_t* p;
  const uint8_t* end;
  bool Has(int64_t n) const { return end - p >= n; }
  uint8_t U8() { return *p++; }
  uint32_t U16() {
    const uint32_t v = Get16(p);
    p += 2;
    return v;
  }
};

// ---- decoding ----

void DecodePalette(FlicState& ff, Cursor c, int32_t shift) {
  if (!c.Has(2)) return;
  const uint32_t packets = c.U16();
  int32_t index = 0;
  for (uint32_t k = 0; k < packets && c.Has(2); ++k) {
    index += c.U8();
    int32_t count = c.U8();
    if (count == 0) count = 256;
    for (int32_t i = 0; i < count && c.Has(3); ++i, ++index) {
      const uint8_t r = c.U8(), g = c.U8(), b = c.U8();
      if (index < 256) {
        ff.palette[3 * index] = static_cast<uint8_t>(b << shift);
        ff.palette[3 * index + 1] = static_cast<uint8_t>(g << shift);
        ff.palette[3 * index + 2] = static_cast<uint8_t>(r << shift);
      }
    }
  }
  ff.palette_changed = true;
}

// Writes up to n bytes at column x of a line of width w; what lies beyond
// the line is dropped.
inline void PutBytes(uint8_t* line, int64_t w, int64_t x, const uint8_t* s, int64_t n) {
  if (x >= w) return;
  std::memcpy(line + x, s, static_cast<size_t>(std::min(n, w - x)));
}
inline void FillBytes(uint8_t* line, int64_t w, int64_t x, uint8_t v, int64_t n) {
  if (x >= w) return;
  std::memset(line + x, v, static_cast<size_t>(std::min(n, w - x)));
}

// Byte runs. Lines are filled by their width: the packet count byte wraps
// for wide lines and is not to be trusted.
void DecodeByteRun(QImg& img, Cursor c) {
  const int64_t w = img.width;
  for (int32_t y = 0; y < img.height; ++y) {
    if (!c.Has(1)) return;
    c.U8();
    uint8_t* line = img.pixels + y * w;
    int64_t x = 0;
    while (x < w) {
      if (!c.Has(1)) return;
      const int8_t n = static_cast<int8_t>(c.U8());
      if (n >= 0) {
        if (!c.Has(1)) return;
        FillBytes(line, w, x, c.U8(), n);
        x += n;
      } else {
        const int64_t m = -int64_t{n};
        if (!c.Has(m)) return;
        PutBytes(line, w, x, c.p, m);
        c.p += m;
        x += m;
      }
      if (n == 0) break;  // a zero run would never end the line
    }
  }
}

// Byte-oriented line delta.
void DecodeLineDelta(QImg& img, Cursor c) {
  if (!c.Has(4)) return;
  const int64_t w = img.width;
  int64_t y = c.U16();
  const uint32_t lines = c.U16();
  for (uint32_t k = 0; k < lines && y < img.height; ++k, ++y) {
    if (!c.Has(1)) return;
    const int32_t packets = c.U8();
    uint8_t* line = img.pixels + y * w;
    int64_t x = 0;
    for (int32_t i = 0; i < packets; ++i) {
      if (!c.Has(2)) return;
      x += c.U8();
      const int8_t n = static_cast<int8_t>(c.U8());
      if (n >= 0) {
        if (!c.Has(n)) return;
        PutBytes(line, w, x, c.p, n);
        c.p += n;
        x += n;
      } else {
        if (!c.Has(1)) return;
        FillBytes(line, w, x, c.U8(), -int64_t{n});
        x += -int64_t{n};
      }
    }
  }
}

// Word-oriented delta.
void DecodeWordDelta(QImg& img, Cursor c) {
  if (!c.Has(2)) return;
  const int64_t w = img.width;
  const uint32_t lines = c.U16();
  int64_t y = 0;
  for (uint32_t k = 0; k < lines; ++k) {
    int32_t packets = -1;
    while (packets < 0) {
      if (!c.Has(2)) return;
      const uint32_t word = c.U16();
      if ((word & 0xC000) == 0xC000) {
        y += 0x10000 - word;  // skip lines
        if (y >= img.height) return;
      } else if (word & 0x8000) {
        // The last pixel of an odd-width line, then the packet count.
        if (y < img.height && w > 0) img.pixels[y * w + w - 1] = static_cast<uint8_t>(word);
      } else {
        packets = static_cast<int32_t>(word);
      }
    }
    if (y >= img.height) return;
    uint8_t* line = img.pixels + y * w;
    int64_t x = 0;
    for (int32_t i = 0; i < packets; ++i) {
      if (!c.Has(2)) return;
      x += c.U8();
      const int8_t n = static_cast<int8_t>(c.U8());
      if (n >= 0) {
        const int64_t bytes = 2 * int64_t{n};
        if (!c.Has(bytes)) return;
        PutBytes(line, w, x, c.p, bytes);
        c.p += bytes;
        x += bytes;
      } else {
        if (!c.Has(2)) return;
        const uint8_t a = c.U8(), b = c.U8();
        for (int64_t j = 0; j < -int64_t{n}; ++j, x += 2) {
          if (x < w) line[x] = a;
          if (x + 1 < w) line[x + 1] = b;
        }
      }
    }
    ++y;
  }
}

// Raw pixels: rows of width bytes, or rows padded to a multiple of 4 bytes
// as some writers (and FFmpeg's reader) have them.
void DecodeRaw(QImg& img, Cursor c) {
  const int64_t w = img.width, h = img.height;
  const int64_t padded = (w + 3) / 4 * 4;
  const int64_t stride = padded != w && h > 1 && c.end - c.p >= padded * h ? padded : w;
  for (int64_t y = 0; y < h && c.Has(1); ++y, c.p += std::min<int64_t>(stride, c.end - c.p))
    PutBytes(img.pixels + y * w, w, 0, c.p, std::min<int64_t>(w, c.end - c.p));
}

// ---- encoding ----

// Growing output of one frame's image data.
struct Out {
  uint8_t* p;
  int64_t n = 0;
  void U8(uint32_t v) { p[n++] = static_cast<uint8_t>(v); }
  void Bytes(const uint8_t* s, int64_t m) {
    std::memcpy(p + n, s, static_cast<size_t>(m));
    n += m;
  }
};

// One line as byte runs: runs of 2 or more equal bytes up to 127, literals
// up to 127 between them.
void ByteRunLine(const uint8_t* px, int64_t w, Out& o) {
  const int64_t count_at = o.n;
  o.U8(0);
  uint32_t packets = 0;
  int64_t x = 0;
  while (x < w) {
    int64_t r = 1;
    while (x + r < w && r < 127 && px[x + r] == px[x]) ++r;
    if (r >= 2) {
      o.U8(static_cast<uint32_t>(r));
      o.U8(px[x]);
      x += r;
      ++packets;
      continue;
    }
    int64_t l = 1;
    while (x + l < w && l < 127 && !(x + l + 1 < w && px[x + l] == px[x + l + 1])) ++l;
    o.U8(static_cast<uint32_t>(-l) & 0xFF);
    o.Bytes(px + x, l);
    x += l;
    ++packets;
  }
  o.p[count_at] = static_cast<uint8_t>(packets);  // wraps on very wide lines; readers go by width
}

// One changed line as a line delta against the old line. Returns the packet
// count; `literal_only` codes the changed stretch as plain literals, which
// needs far fewer packets on lines that alternate between runs and single
// bytes.
int64_t LineDeltaLine(const uint8_t* nw, const uint8_t* old, int64_t w, Out& o, bool literal_only) {
  const int64_t count_at = o.n;
  o.U8(0);
  int64_t packets = 0;
  int64_t x = 0;
  // Last changed pixel: nothing after it needs a packet.
  int64_t last = w - 1;
  while (last >= 0 && nw[last] == old[last]) --last;
  while (x <= last) {
    int64_t s = 0;
    while (nw[x] == old[x]) ++x, ++s;  // stops at `last` at the latest
    // Skips longer than a byte: skip 255 and copy one byte, as often as needed.
    while (s > 255) {
      o.U8(255);
      o.U8(1);
      o.U8(nw[x - s + 255]);
      s -= 256;
      ++packets;
    }
    // The changed stretch reaches up to 3 unchanged pixels in a row.
    int64_t e = x;
    while (e <= last) {
      if (nw[e] != old[e]) {
        ++e;
        continue;
      }
      int64_t m = 0;
      while (e + m <= last && nw[e + m] == old[e + m]) ++m;
      if (m >= 3) break;
      e += m;
    }
    while (x < e) {
      int64_t r = 1;
      if (!literal_only)
        while (x + r < e && r < 127 && nw[x + r] == nw[x]) ++r;
      if (r >= 3) {
        o.U8(static_cast<uint32_t>(s));
        o.U8(static_cast<uint32_t>(-r) & 0xFF);
        o.U8(nw[x]);
        x += r;
      } else {
        int64_t l = 1;
        if (literal_only) {
          l = std::min<int64_t>(127, e - x);
        } else {
          while (x + l < e && l < 127 &&
                 !(x + l + 2 < e && nw[x + l] == nw[x + l + 1] && nw[x + l] == nw[x + l + 2]))
            ++l;
        }
        o.U8(static_cast<uint32_t>(s));
        o.U8(static_cast<uint32_t>(l));
        o.Bytes(nw + x, l);
        x += l;
      }
      s = 0;
      ++packets;
    }
  }
  o.p[count_at] = static_cast<uint8_t>(packets);
  return packets;
}

// The image data of one frame: byte runs for the first, line deltas for the
// others, raw pixels when either grows beyond 95 % of the pixel count (or a
// line needs more packets than its count byte holds). Returns the sub-chunk
// type; the data is in `out`.
uint16_t EncodeFrame(const QImg& img, const uint8_t* prev, Out& out) {
  const int64_t w = img.width, h = img.height;
  const int64_t limit = std::llround(0.95 * static_cast<double>(w * h));
  const uint8_t* px = img.pixels;
  if (!prev) {
    for (int64_t y = 0; y < h; ++y) {
      ByteRunLine(px + y * w, w, out);
      if (out.n > limit) return kFlicRaw;
    }
    return kFlicByteRun;
  }
  int64_t first = 0;
  while (first < h && std::memcmp(px + first * w, prev + first * w, static_cast<size_t>(w)) == 0)
    ++first;
  out.n = 4;
  int64_t lines = 0, pending = 0;
  for (int64_t y = first; y < h; ++y) {
    const uint8_t* a = px + y * w;
    const uint8_t* b = prev + y * w;
    ++lines;
    if (std::memcmp(a, b, static_cast<size_t>(w)) == 0) {
      out.U8(0);
      ++pending;
      if (out.n > limit) return kFlicRaw;
      continue;
    }
    pending = 0;
    const int64_t at = out.n;
    if (LineDeltaLine(a, b, w, out, false) > 255) {
      out.n = at;
      if (LineDeltaLine(a, b, w, out, true) > 255) return kFlicRaw;
    }
    if (out.n > limit) return kFlicRaw;
  }
  lines -= pending;
  out.n -= pending;  // the trailing unchanged lines' zero counts
  Put16(out.p, static_cast<uint32_t>(first));
  Put16(out.p + 2, static_cast<uint32_t>(lines));
  return kFlicLineDelta;
}

// Bound on one frame's image data: the raw limit plus one encoded line, or
// byte runs of every line (a count byte and a packet byte per 127 pixels
// beyond the pixels themselves).
int64_t EncodeBound(int64_t w, int64_t h) { return w * h + h * (3 + w / 127) + 4 * w + 64; }

// Chunk types that may lead a frame: frames, and the prefix and segment
// chunks some editors put between them.
bool KnownChunk(uint32_t type) { return type == kFlicFrameType || type == 0xF100 || type == 0xF1FB; }

// The header of the chunk at `at`: its size and type. False when the file
// has no 16 bytes there.
bool ChunkAt(const FlicState& ff, int64_t at, int64_t& size, uint32_t& type) {
  if (at < 0 || ff.file_size - at < 16) return false;
  uint8_t ch[16];
  ff.file.Seek(at);
  ff.file.Read(ch, 16);
  size = Get32(ch);
  type = Get16(ch + 4);
  return true;
}

// Finds the frame chunk at or after `at`, stepping over other chunks. Some
// writers give chunks odd sizes and pad them to an even length: a chunk that
// does not make sense at an odd place is looked for one byte further. False
// when no whole frame is left.
bool FindFrame(const FlicState& ff, int64_t& at, int64_t& size) {
  for (;;) {
    uint32_t type = 0;
    if (!ChunkAt(ff, at, size, type)) return false;
    const bool sane = size >= 16 && KnownChunk(type) && size <= ff.file_size - at;
    if (!sane && (at & 1)) {
      int64_t size2 = 0;
      uint32_t type2 = 0;
      if (ChunkAt(ff, at + 1, size2, type2) && size2 >= 16 && KnownChunk(type2) &&
          size2 <= ff.file_size - at - 1) {
        ++at;
        size = size2;
        type = type2;
      }
    }
    if (size < 16 || size > ff.file_size - at) return false;
    if (type == kFlicFrameType) return true;
    at += size;
  }
}

// Sub-chunk types a frame may carry.
bool KnownSubChunk(uint32_t type) {
  return (type >= 4 && type <= 7) || (type >= 11 && type <= 18) || (type >= 25 && type <= 27);
}

double SpeedToFps(const FlicState& ff) {
  const uint32_t speed = Get32(ff.header + 16);
  if (speed == 0) return 0;
  // FLI counts in 1/70 s (16 bits), FLC in milliseconds.
  const bool fli = ff.Magic() == kFliMagic;
  if (fli && (speed & 0xFFFF) == 0) return 0;
  const double ticks = fli ? 70.0 / (speed & 0xFFFF) : 1000.0 / speed;
  return std::nearbyint(ticks * 10) * 0.1;
}

}  // namespace

void FLCOpen(FlicState& ff, const std::string& name) {
  Monitored("FF_FLC.FLCOpen", [&] {
    ff.file.Open(name, kFmRead);
    ff.file_name = name;
    ff.file_size = ff.file.Size();
    int64_t got = 0;
    FReadSome(ff.file.id(), ff.header, 128, got);
    if (got < 128 || (ff.Magic() != kFliMagic && ff.Magic() != kFlcMagic))
      ErrReportCode(kGrpImage, kImgInvalid, 1);
    ff.pixel_count = int64_t{ff.Width()} * ff.Height();
    // Every frame is decoded into a picture of the header's size: one the
    // library cannot hold, or far beyond what the file could paint, is
    // refused before anything is allocated. Pictures up to kFreePixels are
    // taken from any file (a black-frame chunk paints any size in 6 bytes);
    // beyond that the file must hold byte runs for the first frame.
    if (ff.pixel_count > kMaxImageBytes) ErrReportCode(kGrpImage, kImgUnsupported, 15);
    if (ff.pixel_count > kFreePixels && ff.pixel_count / kBestRunRatio > ff.file_size)
      ErrReportCode(kGrpImage, kImgCorrupted, 16);
    ff.bytespp = 1;
    ff.bits = 8;
    ff.fps = SpeedToFps(ff);
    // The frames actually there: a file that ends before the header's
    // count gives the frames it has, the same to every reader.
    ff.readable = 0;
    int64_t at = 128, size = 0;
    while (ff.readable < ff.Frames() && FindFrame(ff, at, size)) {
      ++ff.readable;
      at += size;
    }
    if (ff.readable == 0 && ff.Frames() > 0) ErrReportCode(kGrpImage, kImgInvalid, 17);
    ff.next_chunk = 128;
    ff.current = 0;
  });
}

void FLCRewind(FlicState& ff) {
  Monitored("FF_FLC.FLCRewind", [&] {
    ff.next_chunk = 128;
    ff.current = 0;
  });
}

void FLCLoadNext(FlicState& ff, QImg& image) {
  Monitored("FF_FLC.FLCLoadNext", [&] {
    ff.palette_changed = false;
    if (ff.Available() < ff.current + 1) ErrReportCode(kGrpFlic, kFlicEnd, 2);
    ImgAlloc(&image, ff.Width(), ff.Height(), 8, 3, "FF_FLC.FLCLoadNext.ih");
    if (ff.current == 0) {
      // The first frame starts from black, never from what the image held.
      std::memset(image.pixels, 0, static_cast<size_t>(image.size));
      std::memset(ff.palette, 0, sizeof ff.palette);
    }
    // The next frame chunk; other chunks are stepped over.
    int64_t at = ff.next_chunk;
    int64_t size = 0;
    if (!FindFrame(ff, at, size)) ErrReportCode(kGrpImage, kImgInvalid, 4);
    uint8_t ch[16];
    ff.file.Seek(at);
    ff.file.Read(ch, 16);
    const int64_t data_len = size - 16;
    Tracked<uint8_t> data(std::max<int64_t>(data_len, 1), 6, "FF_FLC.FLCLoadNext.IMGvars.cmpsdata");
    if (data_len > 0) ff.file.Read(data.get(), data_len);
    const uint32_t chunks = Get16(ch + 6);
    const uint8_t* p = data.get();
    const uint8_t* const end = p + data_len;
    bool after_odd = false;
    for (uint32_t k = 0; k < chunks && end - p >= 6; ++k) {
      int64_t sub = Get32(p);
      uint32_t type = Get16(p + 4);
      // A pad byte after a sub-chunk of odd size, as some writers leave.
      if (after_odd && end - p >= 7 && !(sub >= 6 && sub <= end - p && KnownSubChunk(type))) {
        const int64_t sub2 = Get32(p + 1);
        const uint32_t type2 = Get16(p + 5);
        if (sub2 >= 6 && sub2 <= end - p - 1 && KnownSubChunk(type2)) {
          ++p;
          sub = sub2;
          type = type2;
        }
      }
      after_odd = (sub & 1) != 0;
      if (sub < 6) ErrReportCode(kGrpMovie, kMviDecompress, 7);
      sub = std::min<int64_t>(sub, end - p);
      const Cursor c{p + 6, p + sub};
      switch (type) {
        case kFlicColor256: DecodePalette(ff, c, 0); break;
        case kFlicColor64: DecodePalette(ff, c, 2); break;
        case kFlicWordDelta: DecodeWordDelta(image, c); break;
        case kFlicLineDelta: DecodeLineDelta(image, c); break;
        case kFlicBlack: std::memset(image.pixels, 0, static_cast<size_t>(image.size)); break;
        case kFlicByteRun: DecodeByteRun(image, c); break;
        case kFlicRaw: DecodeRaw(image, c); break;
        default: break;
      }
      p += sub;
    }
    std::memcpy(image.palette, ff.palette, sizeof ff.palette);
    ff.next_chunk = at + size;
    ++ff.current;
    ff.new_picture = true;
  });
}

void FLCLoad(FlicState& ff, QImg& image, int32_t n, bool forward) {
  Monitored("FF_FLC.FLCLoad", [&] {
    ff.new_picture = false;
    if (n < 0 || n > ff.Available()) ErrReportCode(kGrpMovie, kMviInvalidFormat, 8);
    if (n == 0 || n == ff.current + 1) {
      FLCLoadNext(ff, image);
      return;
    }
    // The picture is already there, unless the image lost it (a failed
    // load releases what it allocated).
    if (forward && n == ff.current && ImgValid(&image) && image.width == ff.Width() &&
        image.height == ff.Height() && image.bits == 8)
      return;
    if (!forward || ff.current >= n) FLCRewind(ff);
    while (ff.current < n) FLCLoadNext(ff, image);
  });
}

void FLCCreate(FlicState& ff, const std::string& name, double fps) {
  Monitored("FF_FLC.FLCCreate", [&] {
    FDelete(name);
    ff.base_name = paths::StripExtension(name);
    if (ff.base_name.size() > 255) ff.base_name.resize(255);
    std::memset(ff.header, 0, sizeof ff.header);
    Put16(ff.header + 12, 8);   // depth
    Put16(ff.header + 14, 3);   // flags
    Put16(ff.header + 38, 1);   // aspect 1 : 1
    Put16(ff.header + 40, 1);
    Put32(ff.header + 80, 128); // first frame
    ff.writing = true;
    ff.fps = fps;
  });
}

namespace {

// A palette sub-chunk with all 256 colours.
int64_t PaletteChunk(const FlicState& ff, const uint8_t* bgr, uint8_t* o) {
  Put32(o, 778);
  Put16(o + 4, ff.fli_mode ? kFlicColor64 : kFlicColor256);
  Put16(o + 6, 1);
  o[8] = 0;
  o[9] = 0;  // 256 colours
  const int shift = ff.fli_mode ? 2 : 0;
  for (int i = 0; i < 256; ++i) {
    o[10 + 3 * i] = static_cast<uint8_t>(bgr[3 * i + 2] >> shift);
    o[11 + 3 * i] = static_cast<uint8_t>(bgr[3 * i + 1] >> shift);
    o[12 + 3 * i] = static_cast<uint8_t>(bgr[3 * i] >> shift);
  }
  return 778;
}

// Appends one frame chunk: a palette when the colours differ from the last
// written ones, then the image data.
void WriteFrame(FlicState& ff, const QImg& img) {
  const int64_t w = img.width, h = img.height;
  const bool first = !ff.prev_img;
  Tracked<uint8_t> buf(16 + 778 + 6 + EncodeBound(w, h) + 2, 20, "FF_FLC.FLICmpsDiff_.IMGvars.cmpsdata");
  uint8_t* const frame = buf.get();
  std::memset(frame, 0, 16);
  int64_t n = 16;
  int32_t chunks = 0;
  if (first || std::memcmp(ff.palette, img.palette, sizeof ff.palette) != 0) {
    n += PaletteChunk(ff, img.palette, frame + n);
    std::memcpy(ff.palette, img.palette, sizeof ff.palette);
    ++chunks;
  }
  uint8_t* const sub = frame + n;
  Out out{sub + 6};
  uint16_t type = EncodeFrame(img, first ? nullptr : ff.prev_img.get(), out);
  if (type == kFlicRaw && w % 4 != 0) {
    // Readers disagree on raw rows of widths that are not a multiple of 4
    // (FFmpeg wants them padded, the format's own readers do not): such
    // frames are stored as byte runs, which every reader takes alike.
    out.n = 0;
    for (int64_t y = 0; y < h; ++y) ByteRunLine(img.pixels + y * w, w, out);
    type = kFlicByteRun;
  } else if (type == kFlicRaw) {
    out.n = 0;
    out.Bytes(img.pixels, w * h);
  }
  // Frames that change nothing need no image chunk.
  const bool empty = type == kFlicLineDelta && Get16(out.p + 2) == 0;
  if (!empty) {
    if (out.n & 1) out.U8(0);  // even chunk sizes, as the format's readers expect
    Put32(sub, static_cast<uint32_t>(6 + out.n));
    Put16(sub + 4, type);
    n += 6 + out.n;
    ++chunks;
  }
  Put32(frame, static_cast<uint32_t>(n));
  Put16(frame + 4, kFlicFrameType);
  Put16(frame + 6, static_cast<uint32_t>(chunks));
  ff.file.Write(frame, n);
}

}  // namespace

void FLCSave(FlicState& ff, QImg& image) {
  Monitored("FF_FLC.FLCSave", [&] {
    if (!ff.writing) ErrReportCode(kGrpMovie, kMviWrite, 9);
    if (!ff.header_written) {
      if (image.width < 1 || image.height < 1 || image.width > 0xFFFF || image.height > 0xFFFF)
        ErrReportCode(kGrpImage, kImgInvalid, 10);
      Put16(ff.header + 8, static_cast<uint32_t>(image.width));
      Put16(ff.header + 10, static_cast<uint32_t>(image.height));
      ff.fli_mode = image.width == 320 && image.height == 200;
      double speed = 0;
      if (ff.fps > 0) speed = std::nearbyint((ff.fli_mode ? 70.0 : 1000.0) / ff.fps);
      speed = std::clamp(speed, 0.0, ff.fli_mode ? 65535.0 : 4294967295.0);
      Put16(ff.header + 4, ff.fli_mode ? kFliMagic : kFlcMagic);
      Put32(ff.header + 16, static_cast<uint32_t>(speed));
      ff.file_name = ff.base_name + (ff.fli_mode ? ".fli" : ".flc");
      FDelete(ff.file_name);
      ff.file.Open(ff.file_name, kFmCreate);
      ff.file.Write(ff.header, 128);
      ff.header_written = true;
      ff.pixel_count = int64_t{image.width} * image.height;
    }
    if (image.width != ff.Width() || image.height != ff.Height() || image.bytespp != 1 ||
        !image.pixels)
      ErrReportCode(kGrpImage, kImgInvalid, 11);
    if (ff.Frames() >= 0xFFFF) ErrReportCode(kGrpMovie, kMviCompress, 12);
    const bool first = !ff.prev_img;
    WriteFrame(ff, image);
    if (first) {
      Put32(ff.header + 84, static_cast<uint32_t>(ff.file.Pos()));
      ImgCopy(&image, &ff.first_frame);
      ff.prev_img.Alloc(ff.pixel_count, 13, "FF_FLC.FLCSave.ff.previmg", kMemNew);
    }
    std::memcpy(ff.prev_img.get(), image.pixels, static_cast<size_t>(ff.pixel_count));
    Put16(ff.header + 6, static_cast<uint32_t>(ff.Frames() + 1));
    ++ff.current;
  });
}

void FLCClose(FlicState& ff) {
  Monitored("FF_FLC.FLCClose", [&] {
    if (ff.writing && ff.header_written && ff.prev_img) {
      // The ring frame leads from the last frame back to the first.
      WriteFrame(ff, ff.first_frame);
      Put32(ff.header, static_cast<uint32_t>(ff.file.Pos()));
      ff.file.Seek(0);
      ff.file.Write(ff.header, 128);
    }
    ImgFree(&ff.first_frame);
    ff.prev_img.Reset();
    ff.file.Close();
    ff.writing = false;
  });
}

void FLCInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_FLC.FLCInfo", [&] {
    FlicState ff;
    FLCOpen(ff, name);
    info.size = ff.file_size;
    info.width = ff.Width();
    info.height = ff.Height();
    info.bytespp = 1;
    info.bits = 8;
    info.frames = ff.Available();
    info.fps = ff.fps;
    SetText(info.compression, kFlicCompression);
    info.imagesValid = info.imagesSupported = ff.Width() > 0 ? -1 : 0;
    FLCClose(ff);
  });
}

namespace {

MovieView FlicView(const void* s) {
  const FlicState& ff = *static_cast<const FlicState*>(s);
  MovieView v{};
  v.width = ff.Width();
  v.height = ff.Height();
  v.bytespp = ff.bytespp;
  v.bits = ff.bits;
  v.frames = ff.Available();
  v.current = ff.current;
  v.writing = ff.writing;
  v.new_picture = ff.new_picture;
  return v;
}

const MovieOps kFlicMovie{
    .state_size = StateOps<FlicState>::size,
    .construct = StateOps<FlicState>::Construct,
    .destroy = StateOps<FlicState>::Destroy,
    .tag = "FLC",
    .open = [](void* s, const std::string& name) { FLCOpen(*static_cast<FlicState*>(s), name); },
    .img_load = [](void* s, QImg& img, int32_t frame, int32_t mode) {
      FLCLoad(*static_cast<FlicState*>(s), img, frame, (mode & 1) != 0);
    },
    .snd_load = nullptr,
    .create = [](void* s, const std::string& name, double fps, int32_t, int32_t) {
      FLCCreate(*static_cast<FlicState*>(s), name, fps);
    },
    .img_save = [](void* s, QImg& img) { FLCSave(*static_cast<FlicState*>(s), img); },
    .snd_save = nullptr,
    .close = [](void* s) { FLCClose(*static_cast<FlicState*>(s)); },
    .set_custom_info = nullptr,
    .view = FlicView,
};

}  // namespace

extern const FormatDescriptor kFlicFormat{
    .id = kFmtFLIC,
    .tag = "FLC",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsFlic,
    .kind = FormatKindRule::kMovie,
    .delta_frames = true,
    .save = {.codec_name = [](const VekSaveOpts&) -> std::string {
          return "RLE + pixel difference from previous frame";
        },},
    .output = {},
    .load = nullptr,
    .save_image = nullptr,
    .info = FLCInfo,
    .codec = nullptr,
    .movie = &kFlicMovie,
};

}  // namespace vek
