#include "formats/movie/gif_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "formats/movie/gif_lzw.h"
#include "foundation/errors.h"
#include "image/palette.h"
#include "image/palette_histogram.h"

namespace vek {

namespace {

constexpr int32_t kMaxSide = 0xFFFF;
constexpr uint8_t kDisposeKeep = 1;  // the next frame is drawn over this one
int32_t g_loop_count = 0;

// Smallest table (2 to 256 entries) with room for n entries.
int32_t BitsFor(int32_t n) {
  int32_t bits = 1;
  while (bits < 8 && (1 << bits) < n) ++bits;
  return bits;
}

int32_t UsedCount(const QImg& image) {
  uint8_t top = 0;
  const size_t n = size_t(image.width) * image.height;
  for (size_t i = 0; i < n; ++i) top = std::max(top, image.pixels[i]);
  return top + 1;
}

// Entries of the run's palette, when the frame carries it (0 otherwise): the
// global table must hold every entry later frames may use.
int32_t RunPaletteCount(const uint8_t* palette) {
  if (HqReady()) {
    int32_t n = 0;
    const uint8_t* p = HqPalette(n);
    if (n > 0 && std::memcmp(p, palette, size_t(3) * n) == 0) return n;
  }
  if (const PalState* s = PalCurrentState();
      s && s->box_count > 0 && std::memcmp(s->palette, palette, kPaletteBytes) == 0)
    return std::min(s->box_count, 256);
  return 0;
}

inline uint32_t Rgb(const uint8_t* bgr) { return uint32_t(bgr[2]) << 16 | uint32_t(bgr[1]) << 8 | bgr[0]; }

void Put16(std::vector<uint8_t>& o, uint32_t v) {
  o.push_back(static_cast<uint8_t>(v));
  o.push_back(static_cast<uint8_t>(v >> 8));
}

// `base` entries (the transparent one) come before the colours.
void PutTable(std::vector<uint8_t>& o, const uint8_t* bgr, int32_t count, int32_t bits, int32_t base) {
  for (int32_t i = 0; i < (1 << bits); ++i) {
    if (i >= base && i < base + count) {
      o.push_back(bgr[3 * (i - base) + 2]);
      o.push_back(bgr[3 * (i - base) + 1]);
      o.push_back(bgr[3 * (i - base)]);
    } else {
      o.insert(o.end(), 3, 0);
    }
  }
}

// Hundredths of a second frame n is shown: the rounding is carried, so that
// any number of frames lasts exactly as long as the rate says.
uint32_t Delay(double fps, int32_t n) {
  if (!(fps > 0)) return 0;
  const double d = std::llround((n + 1) * 100.0 / fps) - std::llround(n * 100.0 / fps);
  return static_cast<uint32_t>(std::clamp(d, 0.0, 65535.0));
}

void WriteHeader(GifWriter& gw) {
  std::vector<uint8_t>& o = gw.out;
  const char sig[] = "GIF89a";
  o.insert(o.end(), sig, sig + 6);
  Put16(o, static_cast<uint32_t>(gw.width));
  Put16(o, static_cast<uint32_t>(gw.height));
  o.push_back(static_cast<uint8_t>(0x80 | 0x70 | (gw.global_bits - 1)));
  o.push_back(0);  // background
  o.push_back(0);  // square pixels
  PutTable(o, gw.global, gw.global_count, gw.global_bits, gw.global_base);
  gw.header_size = o.size();
}

// The looping block, once a second frame shows the file is an animation.
void WriteLoop(GifWriter& gw) {
  if (g_loop_count == 1) return;
  const uint32_t repeats = g_loop_count == 0 ? 0 : static_cast<uint32_t>(g_loop_count - 1);
  const uint8_t o[19] = {0x21, 0xFF, 11,  'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0',
                         3,    1,    static_cast<uint8_t>(repeats), static_cast<uint8_t>(repeats >> 8), 0};
  gw.out.insert(gw.out.begin() + static_cast<ptrdiff_t>(gw.header_size), o, o + sizeof o);
}

}  // namespace

int32_t GifSetLoopCount(int32_t count) {
  if (count != kUndefined) g_loop_count = std::clamp(count, 0, 65536);
  return g_loop_count;
}

void GifWriterCreate(GifWriter& gw, const std::string& name, double fps, bool still) {
  Monitored("FF_GIF.GifWriterCreate", [&] {
    gw.name = name;
    if (gw.name.size() > 255) gw.name.resize(255);
    gw.fps = fps;
    gw.still = still;
    gw.frames = 0;
  });
}

void GifWriterSave(GifWriter& gw, QImg& image) {
  Monitored("FF_GIF.GifWriterSave", [&] {
    if (!ImgValid(&image) || image.width < 1 || image.height < 1)
      ErrRaise(kGrpImage, kImgInvalid, 1);
    QImg own{};
    ImgGuard guard(own);
    const QImg* f = &image;
    int32_t count;
    if (image.bits != 8) {
      HqConvTo8bit(&image, &own, 255, true, true);
      f = &own;
      count = UsedCount(own);
    } else {
      count = std::max(UsedCount(image), RunPaletteCount(image.palette));
    }
    const bool animation = !gw.still;
    if (gw.frames == 0) {
      if (image.width > kMaxSide || image.height > kMaxSide) ErrRaise(kGrpImage, kImgInvalid, 2);
      gw.width = image.width;
      gw.height = image.height;
      gw.global_count = count;
      // Animations keep an entry free for the pixels a frame leaves unchanged.
      gw.global_base = animation && count < 256 ? 1 : 0;
      gw.global_bits = BitsFor(count + gw.global_base);
      std::memcpy(gw.global, f->palette, kPaletteBytes);
      gw.canvas.assign(size_t(gw.width) * gw.height, 0);
      gw.file.Create(gw.name);
      WriteHeader(gw);
    } else if (image.width != gw.width || image.height != gw.height) {
      ErrRaise(kGrpImage, kImgInvalid, 3);
    }
    if (gw.frames >= 0x7FFFFFFF) ErrRaise(kGrpMovie, kMviCompress, 4);

    const bool global = count <= gw.global_count &&
                        std::memcmp(f->palette, gw.global, size_t(3) * count) == 0;
    // Entry 0 is the transparent one and the colours follow, most used
    // first (the palette comes ordered so): a frame that uses only the first
    // few entries is coded with shorter codes than the table's size needs.
    const int32_t base = global ? gw.global_base : animation && count < 256 ? 1 : 0;
    const int32_t table_bits = global ? gw.global_bits : BitsFor(count + base);
    const int32_t transparent = gw.frames > 0 && base > 0 ? 0 : -1;

    // The rectangle that changed.
    const int32_t w = gw.width, h = gw.height;
    int32_t x0 = 0, y0 = 0, x1 = w - 1, y1 = h - 1;
    const uint8_t* px = f->pixels;
    const uint8_t* pal = f->palette;
    uint32_t colour[256];
    for (int32_t i = 0; i < 256; ++i) colour[i] = Rgb(pal + 3 * i);
    if (gw.frames > 0) {
      x0 = w, y0 = h, x1 = -1, y1 = -1;
      for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = px + size_t(y) * w;
        const uint32_t* shown = &gw.canvas[size_t(y) * w];
        int32_t first = -1, last = -1;
        for (int32_t x = 0; x < w; ++x)
          if (colour[row[x]] != shown[x]) {
            if (first < 0) first = x;
            last = x;
          }
        if (first < 0) continue;
        x0 = std::min(x0, first);
        x1 = std::max(x1, last);
        y0 = std::min(y0, y);
        y1 = y;
      }
      if (x1 < 0) x0 = y0 = x1 = y1 = 0;  // nothing changed: one pixel, as it was
    }
    const int32_t rw = x1 - x0 + 1, rh = y1 - y0 + 1;
    std::vector<uint8_t> plain(size_t(rw) * rh);
    uint8_t top = 0;
    for (int32_t y = 0; y < rh; ++y) {
      const uint8_t* row = px + size_t(y0 + y) * w + x0;
      uint8_t* to = &plain[size_t(y) * rw];
      for (int32_t x = 0; x < rw; ++x) top = std::max(top, to[x] = static_cast<uint8_t>(row[x] + base));
    }
    const int32_t min_code = std::max(2, BitsFor(top + 1));
    std::vector<uint8_t> data, data_holes;
    GifLzwEncode(plain.data(), plain.size(), min_code, data);
    bool use_holes = false;
    if (transparent >= 0) {
      // Pixels that did not change may be coded transparent where that
      // makes longer strings; kept only when the result is shorter.
      std::vector<uint8_t> wild(plain.size());
      size_t kept = 0;
      for (int32_t y = 0; y < rh; ++y) {
        const uint32_t* shown = &gw.canvas[size_t(y0 + y) * w + x0];
        const uint8_t* row = &plain[size_t(y) * rw];
        uint8_t* flag = &wild[size_t(y) * rw];
        for (int32_t x = 0; x < rw; ++x) kept += flag[x] = colour[row[x] - base] == shown[x];
      }
      // Without unchanged pixels there is nothing to gain from a second pass.
      if (kept * 16 >= wild.size())
        GifLzwEncode(plain.data(), plain.size(), min_code, data_holes, wild.data(), transparent);
      use_holes = !data_holes.empty() && data_holes.size() < data.size();
      if (use_holes) data.swap(data_holes);
    }

    std::vector<uint8_t>& o = gw.out;
    if (gw.frames == 1) WriteLoop(gw);
    o.push_back(0x21);  // graphic control
    o.push_back(0xF9);
    o.push_back(4);
    o.push_back(static_cast<uint8_t>(kDisposeKeep << 2 | (use_holes ? 1 : 0)));
    Put16(o, Delay(gw.fps, gw.frames));
    o.push_back(0);  // the transparent entry
    o.push_back(0);
    o.push_back(0x2C);  // image descriptor
    Put16(o, static_cast<uint32_t>(x0));
    Put16(o, static_cast<uint32_t>(y0));
    Put16(o, static_cast<uint32_t>(rw));
    Put16(o, static_cast<uint32_t>(rh));
    o.push_back(global ? 0 : static_cast<uint8_t>(0x80 | (table_bits - 1)));
    if (!global) PutTable(o, pal, count, table_bits, base);
    o.push_back(static_cast<uint8_t>(min_code));
    for (size_t at = 0; at < data.size(); at += 255) {
      const size_t n = std::min<size_t>(255, data.size() - at);
      o.push_back(static_cast<uint8_t>(n));
      o.insert(o.end(), data.begin() + static_cast<ptrdiff_t>(at),
               data.begin() + static_cast<ptrdiff_t>(at + n));
    }
    o.push_back(0);
    // The first frame waits: whether the looping block goes before it is
    // known with the second.
    if (gw.frames > 0) {
      gw.file.Write(o.data(), static_cast<int64_t>(o.size()));
      o.clear();
    }

    for (int32_t y = 0; y < rh; ++y) {
      uint32_t* shown = &gw.canvas[size_t(y0 + y) * w + x0];
      const uint8_t* row = &plain[size_t(y) * rw];
      for (int32_t x = 0; x < rw; ++x) shown[x] = colour[row[x] - base];
    }
    ++gw.frames;
  });
}

void GifWriterClose(GifWriter& gw) {
  Monitored("FF_GIF.GifWriterClose", [&] {
    if (gw.frames > 0) {
      gw.out.push_back(0x3B);  // trailer
      gw.file.Write(gw.out.data(), static_cast<int64_t>(gw.out.size()));
      gw.out.clear();
    }
    gw.file.Close();
    gw.canvas.clear();
  });
}

void GIFSaveStill(const std::string& name, QImg& image) {
  Monitored("FF_GIF.GIFSaveStill", [&] {
    GifWriter gw;
    GifWriterCreate(gw, name, 0, true);
    GifWriterSave(gw, image);
    GifWriterClose(gw);
  });
}

}  // namespace vek
