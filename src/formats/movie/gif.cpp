// GIF reader (FF_GIF). Frames are found by walking the block structure of
// the file: a byte search for the extension or separator signatures also
// finds them inside comments, application data and compressed pixels, and
// then decodes garbage or loses frames. Every size and offset read from the
// file is checked before use; a damaged tail ends the frame list.
#include "formats/movie/gif.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/byte_fields.h"
#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"
#include "platform/system/system.h"

namespace vek {

namespace {

constexpr FormatRow kRead[] = {
    {1, {kFmtGIF, 0x0B, ".gif.giff", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"}},
};
// Writing is this library's extension: the row exists only while the
// extension formats are on.
constexpr FormatRow kWrite[] = {
    {1, {kFmtGIF, 0x0B, ".gif", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"}, true},
};
constexpr int32_t kDepthsGif[6] = {8, 8, 8, 8, 8, 8};

constexpr const char* kGifCompression = "Variable-Length-Code LZW (Lempel-Ziv & Welch)";

// What the last full scan found, so that opening the same unchanged file
// again does not read its frames again. A file is the same when its device,
// inode, size and both change times are; a file rewritten within one tick
// of the file system's clock keeps them all, so only a file whose last
// change lies well before the scan began is kept (a later change then gets
// a later change time). Recently changed files are scanned every time.
struct ScanCache {
  bool valid = false;
  std::string name;
  platform::FileVersion stamp;
  int32_t frames = 0;
  double fps = 0;
  bool partial_frames = false;
  bool true_colour = false;
  std::vector<GifFramePos> pos;
};
ScanCache& Cache() {
  static ScanCache cache;
  return cache;
}

// Sequential reading in blocks of 64 KiB for the scan.
class BufReader {
 public:
  BufReader(const TrackedFile& f, int64_t pos) : f_(f), pos_(pos) {
    buf_.Alloc(kSize, 1, "FF_GIF.GIFOpen.GIFCmpsBuf", kMemNew);
    f_.Seek(pos);
  }
  int64_t Pos() const { return pos_; }
  int Byte() {
    if (at_ == have_ && !Fill()) return -1;
    ++pos_;
    return buf_[static_cast<size_t>(at_++)];
  }
  bool Read(uint8_t* dst, int64_t n) {
    while (n > 0) {
      if (at_ == have_ && !Fill()) return false;
      const int64_t m = std::min(n, have_ - at_);
      std::memcpy(dst, buf_.get() + at_, static_cast<size_t>(m));
      dst += m;
      n -= m;
      at_ += m;
      pos_ += m;
    }
    return true;
  }
  bool Skip(int64_t n) {
    while (n > 0) {
      if (at_ == have_ && !Fill()) return false;
      const int64_t m = std::min(n, have_ - at_);
      n -= m;
      at_ += m;
      pos_ += m;
    }
    return true;
  }
  // Steps over data sub-blocks up to and including the empty one.
  bool SkipSubBlocks() {
    for (;;) {
      const int len = Byte();
      if (len < 0) return false;
      if (len == 0) return true;
      if (!Skip(len)) return false;
    }
  }

 private:
  static constexpr int64_t kSize = 64 * 1024;
  bool Fill() {
    FReadSome(f_.id(), buf_.get(), kSize, have_);
    at_ = 0;
    return have_ > 0;
  }
  const TrackedFile& f_;
  Tracked<uint8_t> buf_;
  int64_t at_ = 0, have_ = 0;
  int64_t pos_;
};

// Graphic control values that apply to the next image.
struct Control {
  int32_t disposal = 0;
  int32_t delay = 0;       // hundredths of a second
  int32_t transparent = -1;
};

Control ParseControl(const uint8_t* block, int len) {
  Control c;
  if (len < 4) return c;
  c.disposal = (block[0] >> 2) & 7;
  c.delay = static_cast<int32_t>(Get16(block + 1));
  // Only a set flag makes the index transparent; the byte alone means nothing.
  if (block[0] & 1) c.transparent = block[3];
  return c;
}

bool CoversScreen(const GifState& gf, uint32_t left, uint32_t top, uint32_t w, uint32_t h) {
  return left == 0 && top == 0 && w >= static_cast<uint32_t>(gf.width) &&
         h >= static_cast<uint32_t>(gf.height);
}

void AddFrame(GifState& gf, int32_t index, GifFramePos p) {
  if (index >= gf.pos.size()) {
    const int64_t n = std::max<int64_t>(64, gf.pos.size() * 2);
    gf.pos.Alloc(n, 2, "FF_GIF.GIFChk4ImgFPos_.ImgFPos", kMemRealloc);
  }
  gf.pos[static_cast<size_t>(index)] = p;
}

// Walks the blocks after the header and records every frame; stops after
// `limit` frames, at the trailer, at the end of the file, or at a byte that
// starts no block.
void ScanFrames(GifState& gf, int64_t start, int32_t limit, int32_t& first_delay,
                int64_t& total_delay) {
  BufReader in(gf.file, start);
  int64_t frame_start = start;
  Control ctl;
  bool any_local = false;
  first_delay = 0;
  total_delay = 0;
  while (gf.frames < limit) {
    const int b = in.Byte();
    if (b < 0 || b == 0x3B) break;
    if (b == 0) {  // a stray pad byte between blocks, as some writers leave
      continue;
    }
    if (b == 0x21) {
      const int label = in.Byte();
      if (label < 0) break;
      if (label == 0xF9) {
        const int len = in.Byte();
        if (len < 0) break;
        uint8_t block[255];
        if (!in.Read(block, len)) break;
        ctl = ParseControl(block, len);
      }
      if (!in.SkipSubBlocks()) break;
      continue;
    }
    if (b != 0x2C) break;
    uint8_t d[9];
    if (!in.Read(d, 9)) break;
    const uint32_t left = Get16(d), top = Get16(d + 2), w = Get16(d + 4), h = Get16(d + 6);
    bool complete = true;
    if (d[8] & 0x80) {
      complete = in.Skip(3 * (int64_t{2} << (d[8] & 7)));
      any_local = true;
    }
    complete = complete && in.Byte() >= 0 && in.SkipSubBlocks();
    // A frame cut off by the end of the file still shows what it has.
    AddFrame(gf, gf.frames, {frame_start, complete ? in.Pos() : gf.file_size});
    if (gf.frames == 0) first_delay = ctl.delay;
    total_delay += ctl.delay;
    if (gf.frames > 0 && (!CoversScreen(gf, left, top, w, h) || ctl.transparent >= 0))
      gf.partial_frames = true;
    ++gf.frames;
    if (!complete) break;
    frame_start = in.Pos();
    ctl = Control{};
  }
  gf.true_colour = any_local && gf.partial_frames;
}

// LZW code table, decoded strings are written backwards from it.
struct LzwTable {
  uint16_t prefix[4096];
  uint16_t length[4096];  // string length
  uint8_t suffix[4096];
  uint8_t first[4096];
};

// Puts decoded pixels of a frame into the picture: rows in file order
// (interlaced or not), clipped to the screen, transparent pixels left out.
struct Sink {
  uint8_t* pixels;
  const uint8_t* palette;  // true colour: the frame's colours, blue, green, red
  int32_t bytespp;         // 1, or 3 for true colour
  int32_t screen_w, screen_h;
  int32_t left, top, w, h;
  int32_t transparent;
  bool interlaced;
  int32_t x = 0, y = 0, rows = 0, pass = 0;
  bool done = false;

  void NextRow() {
    static constexpr int32_t kStart[4] = {0, 4, 2, 1};
    static constexpr int32_t kStep[4] = {8, 8, 4, 2};
    if (++rows >= h) {
      done = true;
      return;
    }
    if (!interlaced) {
      ++y;
    } else {
      y += kStep[pass];
      while (y >= h && pass < 3) y = kStart[++pass];
    }
    // Below the screen in the last pass nothing more can show: a frame far
    // larger than the screen is not decoded to its end.
    if ((!interlaced || pass == 3) && int64_t{top} + y >= screen_h) done = true;
  }

  void Put(const uint8_t* s, int64_t n) {
    while (n > 0 && !done) {
      const int64_t m = std::min<int64_t>(n, w - x);
      const int64_t sy = int64_t{top} + y;
      const int64_t sx = int64_t{left} + x;
      if (sy < screen_h && sx < screen_w && bytespp == 3) {
        const int64_t vis = std::min<int64_t>(m, screen_w - sx);
        uint8_t* d = pixels + (sy * screen_w + sx) * 3;
        for (int64_t i = 0; i < vis; ++i, d += 3) {
          if (s[i] == transparent) continue;
          const uint8_t* c = palette + 3 * s[i];
          d[0] = c[0];
          d[1] = c[1];
          d[2] = c[2];
        }
      } else if (sy < screen_h && sx < screen_w) {
        const int64_t vis = std::min<int64_t>(m, screen_w - sx);
        uint8_t* d = pixels + sy * screen_w + sx;
        if (transparent < 0) {
          std::memcpy(d, s, static_cast<size_t>(vis));
        } else {
          const uint8_t t = static_cast<uint8_t>(transparent);
          for (int64_t i = 0; i < vis; ++i)
            if (s[i] != t) d[i] = s[i];
        }
      }
      s += m;
      n -= m;
      x += static_cast<int32_t>(m);
      if (x == w) {
        x = 0;
        NextRow();
      }
    }
  }
};

// Decodes the code stream `data` (sub-block payloads joined) with minimum
// code size m into the sink. False on codes that cannot occur before any
// pixel; a damaged stream that already gave pixels ends there, keeping them
// (as other decoders do), so one bad frame does not cost the frames after it.
bool LzwDecode(const uint8_t* data, int64_t size, int32_t m, LzwTable& t, Sink& sink) {
  if (m < 1 || m > 11) return false;
  const int32_t clear = 1 << m;
  const int32_t eoi = clear + 1;
  int32_t code_size = m + 1;
  int32_t next = clear + 2;
  int32_t mask = (1 << code_size) - 1;
  int32_t prev = -1;
  bool any = false;  // a pixel came out
  for (int32_t i = 0; i < clear; ++i) {
    t.length[i] = 1;
    t.first[i] = static_cast<uint8_t>(i);
    t.suffix[i] = static_cast<uint8_t>(i);
  }
  // Output is gathered and handed to the sink in pieces.
  constexpr int32_t kOut = 16384;
  uint8_t out[kOut];
  int32_t used = 0;
  const uint8_t* ip = data;
  const uint8_t* const iend = data + size;
  uint64_t acc = 0;
  int32_t nbits = 0;
  for (;;) {
    if (used > kOut - 4097) {
      sink.Put(out, used);
      used = 0;
      if (sink.done) break;
    }
    while (nbits < code_size) {
      if (ip == iend) goto finished;
      acc |= static_cast<uint64_t>(*ip++) << nbits;
      nbits += 8;
    }
    const int32_t code = static_cast<int32_t>(acc & static_cast<uint64_t>(mask));
    acc >>= code_size;
    nbits -= code_size;
    if (code == clear) {
      code_size = m + 1;
      mask = (1 << code_size) - 1;
      next = clear + 2;
      prev = -1;
      continue;
    }
    if (code == eoi) break;
    if (prev < 0) {
      if (code >= clear) {
        if (any) goto finished;
        return false;
      }
      any = true;
      out[used++] = static_cast<uint8_t>(code);
      prev = code;
      continue;
    }
    uint8_t fc;
    if (code < next) {
      const int32_t len = t.length[code];
      int32_t c = code;
      uint8_t* o = out + used + len - 1;
      while (c >= clear) {
        *o-- = t.suffix[c];
        c = t.prefix[c];
      }
      *o = static_cast<uint8_t>(c);
      used += len;
      fc = t.first[code];
    } else if (code == next) {
      // The code being defined: the previous string and its first byte.
      const int32_t len = t.length[prev];
      int32_t c = prev;
      uint8_t* o = out + used + len - 1;
      while (c >= clear) {
        *o-- = t.suffix[c];
        c = t.prefix[c];
      }
      *o = static_cast<uint8_t>(c);
      fc = t.first[prev];
      out[used + len] = fc;
      used += len + 1;
    } else {
      goto finished;  // `prev` was decoded: pixels came out
    }
    if (next < 4096) {
      t.prefix[next] = static_cast<uint16_t>(prev);
      t.suffix[next] = fc;
      t.first[next] = t.first[prev];
      t.length[next] = static_cast<uint16_t>(t.length[prev] + 1);
      ++next;
      if (next > mask && code_size < 12) {
        ++code_size;
        mask = (1 << code_size) - 1;
      }
    }
    prev = code;
  }
finished:
  if (used > 0) sink.Put(out, used);
  return true;
}

// Fills a rectangle with the background: its index, or in true colour the
// colour the global table gives it (black without a table).
void FillRect(const GifState& gf, QImg& img, int32_t left, int32_t top, int32_t w, int32_t h) {
  const uint8_t index = static_cast<uint8_t>(gf.background);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* d = img.pixels + (int64_t{top + y} * img.width + left) * img.bytespp;
    if (img.bytespp == 1) {
      std::memset(d, index, static_cast<size_t>(w));
      continue;
    }
    const uint8_t* c = gf.global_palette + 3 * index;
    for (int32_t x = 0; x < w; ++x, d += 3) {
      d[0] = gf.background >= 0 ? c[0] : 0;
      d[1] = gf.background >= 0 ? c[1] : 0;
      d[2] = gf.background >= 0 ? c[2] : 0;
    }
  }
}

// The part of a frame rectangle that lies on the screen.
void ClipRect(const GifState& gf, int64_t left, int64_t top, int64_t w, int64_t h, int32_t r[4]) {
  const int64_t x0 = std::min<int64_t>(left, gf.width), y0 = std::min<int64_t>(top, gf.height);
  const int64_t x1 = std::min<int64_t>(left + w, gf.width), y1 = std::min<int64_t>(top + h, gf.height);
  r[0] = static_cast<int32_t>(x0);
  r[1] = static_cast<int32_t>(y0);
  r[2] = static_cast<int32_t>(x1 - x0);
  r[3] = static_cast<int32_t>(y1 - y0);
}

// The screen is allocated whole for every picture: one the library cannot
// hold, or far more than the file's codes could ever paint, is refused
// before anything is allocated. Screens up to kFreePixels are taken from any
// file (a small sprite on a large screen is legal); beyond that the file
// must be large enough for its codes to cover the screen at the best ratio
// LZW reaches (a 12-bit code for a string of up to 4096 bytes).
constexpr int64_t kMaxImageBytes = int64_t{1} << 30;
constexpr int64_t kFreePixels = int64_t{1} << 24;
constexpr int64_t kLzwBestRatio = 4096 * 8 / 12 + 1;

void CheckScreen(const GifState& gf, int32_t bytespp) {
  const int64_t pixels = int64_t{gf.width} * gf.height;
  if (pixels * bytespp > kMaxImageBytes) ErrReportCode(kGrpImage, kImgUnsupported, 22);
  if (pixels > kFreePixels && pixels / kLzwBestRatio > gf.file_size)
    ErrReportCode(kGrpImage, kImgCorrupted, 23);
}

}  // namespace

void GIFOpen(GifState& gf, const std::string& name, bool quick) {
  Monitored("FF_GIF.GIFOpen", [&] {
    gf.file.Open(name, kFmRead);
    gf.file_size = gf.file.Size();
    uint8_t h[13];
    int64_t got = 0;
    FReadSome(gf.file.id(), h, 13, got);
    if (got < 13 || std::memcmp(h, "GIF", 3) != 0 ||
        (std::memcmp(h + 3, "87a", 3) != 0 && std::memcmp(h + 3, "89a", 3) != 0))
      ErrReportCode(kGrpImage, kImgInvalid, 3);
    gf.width = static_cast<int32_t>(Get16(h + 6));
    gf.height = static_cast<int32_t>(Get16(h + 8));
    gf.bytespp = 1;
    gf.bits = 8;
    gf.background = -1;
    CheckScreen(gf, 1);
    int64_t start = 13;
    if (h[10] & 0x80) {
      const int32_t entries = 2 << (h[10] & 7);
      uint8_t rgb[768];
      FReadSome(gf.file.id(), rgb, entries * 3, got);
      if (got < entries * 3) ErrReportCode(kGrpImage, kImgHeader, 4);
      for (int32_t i = 0; i < entries; ++i) {
        gf.global_palette[3 * i] = rgb[3 * i + 2];
        gf.global_palette[3 * i + 1] = rgb[3 * i + 1];
        gf.global_palette[3 * i + 2] = rgb[3 * i];
      }
      gf.background = h[11];
      start += entries * 3;
    }
    // Taken before the frames are read: a change while they are read makes
    // the file unsettled.
    const int64_t now = platform::FileClockNs();
    platform::FileVersion stamp;
    const bool known = platform::FileVersionOf(name, stamp);
    ScanCache& cache = Cache();
    if (!quick && cache.valid && cache.name == name && known && cache.stamp == stamp &&
        stamp.size == gf.file_size) {
      gf.frames = 0;
      for (const GifFramePos& p : cache.pos) AddFrame(gf, gf.frames++, p);
      gf.fps = cache.fps;
      gf.partial_frames = cache.partial_frames;
      gf.true_colour = cache.true_colour;
      gf.bytespp = gf.true_colour ? 3 : 1;
      gf.bits = gf.true_colour ? 24 : 8;
      return;
    }
    int32_t first_delay = 0;
    int64_t total_delay = 0;
    ScanFrames(gf, start, quick ? 1 : INT32_MAX, first_delay, total_delay);
    if (gf.frames == 0) ErrReportCode(kGrpImage, kImgHeader, 5);
    if (quick) gf.true_colour = false;  // the first frame alone needs one table only
    if (gf.true_colour) CheckScreen(gf, 3);
    gf.bytespp = gf.true_colour ? 3 : 1;
    gf.bits = gf.true_colour ? 24 : 8;
    if (quick)
      gf.fps = first_delay > 0 ? static_cast<double>(100 / first_delay) : 0.0;
    else
      gf.fps = total_delay > 0 ? gf.frames * 100.0 / static_cast<double>(total_delay) : 0.0;
    if (!quick) {
      cache.valid = false;
      if (!known || !platform::FileVersionSettled(stamp, now) || stamp.size != gf.file_size) return;
      cache.name = name;
      cache.stamp = stamp;
      cache.frames = gf.frames;
      cache.fps = gf.fps;
      cache.partial_frames = gf.partial_frames;
      cache.true_colour = gf.true_colour;
      cache.pos.assign(gf.pos.get(), gf.pos.get() + gf.frames);
      cache.valid = true;
    }
  });
}

void GIFLoadNext(GifState& gf, QImg& image) {
  Monitored("FF_GIF.GIFLoadNext", [&] {
    const int32_t k = gf.current;
    if (gf.frames == 0 || k >= gf.frames || k < 0) ErrReportCode(kGrpMovie, kMviEnd, 6);
    ImgAlloc(&image, gf.width, gf.height, gf.bits, 7, "FF_GIF.GIFLoadNext.ih");
    const int32_t bpp = image.bytespp;

    // The frame's blocks, read whole.
    const GifFramePos p = gf.pos[static_cast<size_t>(k)];
    const int64_t len = std::min(p.end, gf.file_size) - p.start;
    if (p.start < 0 || len < 1) ErrReportCode(kGrpImage, kImgCorrupted, 8);
    Tracked<uint8_t> buf(len, 9, "FF_GIF.GIFLoadNext.GIFCmpsBuf");
    gf.file.Seek(p.start);
    int64_t got = 0;
    FReadSome(gf.file.id(), buf.get(), len, got);
    if (got < 1) ErrReportCode(kGrpImage, kImgCorrupted, 10);
    const uint8_t* q = buf.get();
    const uint8_t* const end = q + got;

    // Extensions up to the image descriptor; the last control block counts.
    Control ctl;
    for (;;) {
      if (q >= end) ErrReportCode(kGrpImage, kImgHeader, 11);
      const uint8_t b = *q++;
      if (b == 0x2C) break;
      if (b == 0) continue;
      if (b != 0x21 || q >= end) ErrReportCode(kGrpImage, kImgHeader, 12);
      const uint8_t label = *q++;
      bool first = true;
      for (;;) {
        if (q >= end) ErrReportCode(kGrpImage, kImgHeader, 13);
        const int32_t n = *q++;
        if (n == 0) break;
        if (end - q < n) ErrReportCode(kGrpImage, kImgHeader, 14);
        if (first && label == 0xF9) ctl = ParseControl(q, n);
        first = false;
        q += n;
      }
    }
    if (end - q < 9) ErrReportCode(kGrpImage, kImgHeader, 15);
    const int32_t left = static_cast<int32_t>(Get16(q)), top = static_cast<int32_t>(Get16(q + 2));
    const int32_t fw = static_cast<int32_t>(Get16(q + 4)), fh = static_cast<int32_t>(Get16(q + 6));
    const uint8_t packed = q[8];
    q += 9;

    // Palette.
    if (packed & 0x80) {
      const int32_t entries = 2 << (packed & 7);
      if (end - q < entries * 3) ErrReportCode(kGrpImage, kImgHeader, 16);
      std::memset(image.palette, 0, sizeof image.palette);
      for (int32_t i = 0; i < entries; ++i) {
        image.palette[3 * i] = q[3 * i + 2];
        image.palette[3 * i + 1] = q[3 * i + 1];
        image.palette[3 * i + 2] = q[3 * i];
      }
      q += entries * 3;
      gf.palette_changed = true;
      gf.local_palette = true;
    } else {
      std::memcpy(image.palette, gf.global_palette, sizeof gf.global_palette);
      gf.palette_changed = k == 1 || gf.local_palette;
      gf.local_palette = false;
    }

    // What the frame before asked for; the first frame starts from the
    // background, never from whatever the image held before.
    if (k == 0) {
      FillRect(gf, image, 0, 0, gf.width, gf.height);
    } else if (gf.prev_disposal == 2) {
      FillRect(gf, image, gf.prev_left, gf.prev_top, gf.prev_width, gf.prev_height);
    } else if (gf.prev_disposal == 3 && gf.saved_window &&
               gf.saved_window.size() == int64_t{gf.prev_width} * gf.prev_height * bpp) {
      for (int32_t y = 0; y < gf.prev_height; ++y)
        std::memcpy(image.pixels + (int64_t{gf.prev_top + y} * gf.width + gf.prev_left) * bpp,
                    gf.saved_window.get() + int64_t{y} * gf.prev_width * bpp,
                    static_cast<size_t>(gf.prev_width) * bpp);
    }

    // This frame's own disposal, and what lies under it when it asks for it.
    int32_t r[4];
    ClipRect(gf, left, top, fw, fh, r);
    gf.prev_disposal = ctl.disposal;
    gf.prev_left = r[0];
    gf.prev_top = r[1];
    gf.prev_width = r[2];
    gf.prev_height = r[3];
    gf.saved_window.Reset();
    if (ctl.disposal == 3 && r[2] > 0 && r[3] > 0) {
      gf.saved_window.Alloc(int64_t{r[2]} * r[3] * bpp, 17, "FF_GIF.GIFLoadNext.gf.PrevImg", kMemNew);
      for (int32_t y = 0; y < r[3]; ++y)
        std::memcpy(gf.saved_window.get() + int64_t{y} * r[2] * bpp,
                    image.pixels + (int64_t{r[1] + y} * gf.width + r[0]) * bpp,
                    static_cast<size_t>(r[2]) * bpp);
    }

    // The code stream: sub-block payloads joined in place.
    if (q >= end) ErrReportCode(kGrpImage, kImgCorrupted, 18);
    const int32_t min_code = *q++;
    uint8_t* const data = const_cast<uint8_t*>(q);
    int64_t data_len = 0;
    while (q < end) {
      const int64_t n = *q++;
      if (n == 0) break;
      const int64_t take = std::min<int64_t>(n, end - q);  // a cut-off file gives what it has
      std::memmove(data + data_len, q, static_cast<size_t>(take));
      data_len += take;
      q += take;
    }
    if (fw > 0 && fh > 0 && left < gf.width && top < gf.height) {  // else nothing shows
      Tracked<LzwTable> table(1, 19, "FF_GIF.GIFLoadNext.GIFLZWChBuf");
      Sink sink{image.pixels, image.palette, bpp, gf.width, gf.height, left, top, fw, fh,
                ctl.transparent, (packed & 0x40) != 0};
      // A later frame whose codes give nothing leaves the picture as it was,
      // as other decoders do, rather than ending the animation there; a
      // code size no GIF can have still fails.
      const bool valid_size = min_code >= 1 && min_code <= 11;
      if (!LzwDecode(data, data_len, min_code, *table.get(), sink) && (gf.current == 0 || !valid_size))
        ErrReportCode(kGrpImage, kImgDecompress, 20);
    }
    ++gf.current;
    gf.new_picture = true;
  });
}

void GIFLoad(GifState& gf, QImg& image, int32_t n, bool forward) {
  Monitored("FF_GIF.GIFLoad", [&] {
    gf.new_picture = false;
    if (n < 0 || n > gf.frames) ErrReportCode(kGrpMovie, kMviInvalidFormat, 21);
    if (n == 0 || n == gf.current + 1) {
      GIFLoadNext(gf, image);
      return;
    }
    // The picture is already there, unless the image lost it (a failed
    // load releases what it allocated).
    if (forward && n == gf.current && ImgValid(&image) && image.width == gf.width &&
        image.height == gf.height && image.bits == gf.bits)
      return;
    if (!gf.partial_frames) {
      // Every frame after the first paints the whole screen by itself.
      gf.current = n - 1;
      gf.prev_disposal = 0;
      GIFLoadNext(gf, image);
      return;
    }
    if (!forward || gf.current >= n) {
      gf.current = 0;
      gf.prev_disposal = 0;
    }
    while (gf.current < n) GIFLoadNext(gf, image);
  });
}

void GIFClose(GifState& gf) {
  Monitored("FF_GIF.GIFClose", [&] {
    gf.saved_window.Reset();
    gf.pos.Reset();
    gf.file.Close();
  });
}

void GIFInfo(const std::string& name, QffInfo& info, bool full_scan) {
  Monitored("FF_GIF.GIFInfo", [&] {
    GifState gf;
    GIFOpen(gf, name, !full_scan);
    info.size = gf.file_size;
    info.width = gf.width;
    info.height = gf.height;
    info.bytespp = gf.bytespp;
    info.bits = gf.bits;
    info.frames = gf.frames;
    info.fps = gf.fps;
    SetText(info.compression, kGifCompression);
    info.imagesValid = info.imagesSupported = gf.width > 0 ? -1 : 0;
    GIFClose(gf);
  });
}

void GIFLoadStill(const std::string& name, QImg& image) {
  Monitored("FF_GIF.GIFLoadStill", [&] {
    GifState gf;
    GIFOpen(gf, name, true);
    GIFLoadNext(gf, image);
    GIFClose(gf);
  });
}

namespace {

MovieView GifView(const void* s) {
  const GifState& gf = *static_cast<const GifState*>(s);
  MovieView v{};
  v.width = gf.width;
  v.height = gf.height;
  v.bytespp = gf.bytespp;
  v.bits = gf.bits;
  v.frames = gf.frames;
  v.current = gf.current;
  v.new_picture = gf.new_picture;
  if (gf.writer) {
    v.width = gf.writer->width;
    v.height = gf.writer->height;
    v.bytespp = 1;
    v.bits = 8;
    v.frames = v.current = gf.writer->frames;
    v.writing = true;
  }
  return v;
}

const MovieOps kGifMovie{
    .state_size = StateOps<GifState>::size,
    .construct = StateOps<GifState>::Construct,
    .destroy = StateOps<GifState>::Destroy,
    .tag = "GIF",
    .open = [](void* s, const std::string& name) { GIFOpen(*static_cast<GifState*>(s), name, false); },
    .img_load = [](void* s, QImg& img, int32_t frame, int32_t mode) {
      GIFLoad(*static_cast<GifState*>(s), img, frame, (mode & 1) != 0);
    },
    .snd_load = nullptr,
    .create = [](void* s, const std::string& name, double fps, int32_t, int32_t) {
      GifState& gf = *static_cast<GifState*>(s);
      gf.writer = std::make_unique<GifWriter>();
      GifWriterCreate(*gf.writer, name, fps, false);
    },
    .img_save = [](void* s, QImg& img) { GifWriterSave(*static_cast<GifState*>(s)->writer, img); },
    .snd_save = nullptr,
    .close = [](void* s) {
      GifState& gf = *static_cast<GifState*>(s);
      if (gf.writer)
        GifWriterClose(*gf.writer);
      else
        GIFClose(gf);
    },
    .set_custom_info = nullptr,
    .view = GifView,
};

}  // namespace

extern const FormatDescriptor kGifFormat{
    .id = kFmtGIF,
    .tag = "GIF",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsGif,
    .kind = FormatKindRule::kAnimation,
    .delta_frames = true,
    .save = {.dialog = true,
             .codec_name = [](const VekSaveOpts&) -> std::string { return kGifCompression; }},
    .output = {},
    .load = GIFLoadStill,
    .save_image = GIFSaveStill,
    .info = [](const std::string& name, QffInfo& info) { GIFInfo(name, info, true); },
    .codec = nullptr,
    .movie = &kGifMovie,
};

}  // namespace vek
