// Remapping pixels to the optimised palette: plain, threshold-matrix
// dithering (light) and error diffusion (heavy); the single-image conversion.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "image/palette.h"
#include "image/palette_internal.h"

namespace vek {


// ---- tables ----

void _MakeErrTable(int32_t* table, int32_t w) {
  std::fill(table, table + 513, 0);
  for (int32_t i = 0; i < 20; ++i) {
    // Half to even, the default rounding mode.
    const int32_t b = static_cast<int32_t>(std::nearbyint(w * i * 0.0625));
    table[256 + i] = b;
    table[256 - i] = -b;
    table[275 + i] = b / 2;
    table[237 - i] = -(b / 2);
    table[294 + i] = b / 4;
    table[218 - i] = -(b / 4);
  }
}

namespace {

// A dispersed-dot arrangement: the 64 levels of an 8 x 8 recursive pattern,
// tiled over 128 x 128, so every level appears 256 times and neighbours differ widely.
std::array<uint8_t, 128 * 128> MakeThresholdMatrix() {
  std::array<uint8_t, 128 * 128> m{};
  for (int32_t y = 0; y < 128; ++y)
    for (int32_t x = 0; x < 128; ++x) {
      int32_t level = 0;
      // Bit-interleave (x xor y) and y, most significant from the lowest bits.
      for (int32_t bit = 0; bit < 3; ++bit) {
        const int32_t xb = (x >> bit) & 1, yb = (y >> bit) & 1;
        level = (level << 2) | ((xb ^ yb) << 1) | yb;
      }
      // k * 255 / 63 never ends in exactly one half, so this is the rounded level.
      m[static_cast<size_t>(y) * 128 + x] = static_cast<uint8_t>((level * 255 + 31) / 63);
    }
  return m;
}

}  // namespace

const uint8_t* PalThresholdMatrix() {
  static const std::array<uint8_t, 128 * 128> matrix = MakeThresholdMatrix();
  return matrix.data();
}

namespace {

inline uint8_t Clamp255(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// The map index of a colour, searching (and remembering) the nearest entry
// for colours that lie outside every box.
inline int32_t IndexOf(PalState& s, int32_t r, int32_t g, int32_t b) {
  const int32_t cell = PalCellIndex(r, g, b);
  const int32_t v = s.cells[cell];
  return v >= 0 ? v : pal::Learn(s, cell, r, g, b);
}

// Step is 3 or 4 bytes per source pixel (blue, green, red first).
template <int Step>
void Remap24(PalState& s, const uint8_t* src, int64_t n, uint8_t* dst) {
  Monitored("PalOpt.Remap24", [&] {
    int32_t* cells = s.cells;
    for (int64_t i = 0; i < n; ++i, src += Step) {
      const int32_t cell = PalCellIndex(src[2], src[1], src[0]);
      int32_t v = cells[cell];
      // Colours never counted get their nearest entry rather than index 255.
      if (v < 0) [[unlikely]]
        v = pal::Learn(s, cell, src[2], src[1], src[0]);
      dst[i] = static_cast<uint8_t>(v);
    }
  });
}

void Remap8(PalState& s, const QImg* source, uint8_t* dst) {
  Monitored("PalOpt.Remap8", [&] {
    uint8_t table[256];
    for (int32_t i = 0; i < 256; ++i) {
      const uint8_t* e = source->palette + 3 * i;
      table[i] = static_cast<uint8_t>(IndexOf(s, e[2], e[1], e[0]));
    }
    const uint8_t* src = source->pixels;
    const int64_t n = source->size;
    for (int64_t i = 0; i < n; ++i) dst[i] = table[src[i]];
  });
}

// Error diffusion. The errors go into copies of the current and the next
// row, so the caller's pixels stay as they were.
template <int Step>
void RemapDitherHeavy24(PalState& s, const uint8_t* src, int32_t width, int32_t height,
                        uint8_t* dst) {
  Monitored("PalOpt.RemapDitherHeavy24", [&] {
    int32_t t7[513], t5[513], t3[513], t1[513];
    _MakeErrTable(t1, 1);
    _MakeErrTable(t3, 3);
    _MakeErrTable(t5, 5);
    _MakeErrTable(t7, 7);
    const int64_t row3 = int64_t{width} * 3;
    Tracked<uint8_t> rows(2 * row3, 1, "PalOpt.RemapDitherHeavy24.rows");
    uint8_t* cur = rows.get();
    uint8_t* next = cur + row3;
    auto load = [&](uint8_t* out, int32_t y) {
      const uint8_t* p = src + int64_t{y} * width * Step;
      if constexpr (Step == 3) {
        std::memcpy(out, p, static_cast<size_t>(row3));
      } else {
        for (int32_t x = 0; x < width; ++x) {
          out[3 * x] = p[4 * x];
          out[3 * x + 1] = p[4 * x + 1];
          out[3 * x + 2] = p[4 * x + 2];
        }
      }
    };
    auto add = [](uint8_t* px, const int32_t* t, int32_t eb, int32_t eg, int32_t er) {
      px[0] = Clamp255(px[0] + t[256 + eb]);
      px[1] = Clamp255(px[1] + t[256 + eg]);
      px[2] = Clamp255(px[2] + t[256 + er]);
    };
    const uint8_t* pal = s.palette;
    load(cur, 0);
    for (int32_t y = 0; y < height; ++y) {
      const bool below = y + 1 < height;
      if (below) load(next, y + 1);
      uint8_t* out = dst + int64_t{y} * width;
      for (int32_t x = 0; x < width; ++x) {
        uint8_t* px = cur + 3 * x;
        const int32_t b = px[0], g = px[1], r = px[2];
        const int32_t index = IndexOf(s, r, g, b);
        out[x] = static_cast<uint8_t>(index);
        if (x == 0 && (y & 1) == 0) continue;
        const uint8_t* e = pal + 3 * index;
        const int32_t eb = b - e[0], eg = g - e[1], er = r - e[2];
        const bool right = x + 1 < width;
        if (right) add(px + 3, t7, eb, eg, er);
        if (below) {
          uint8_t* nx = next + 3 * x;
          if (x > 0) add(nx - 3, t3, eb, eg, er);
          add(nx, t5, eb, eg, er);
          if (right) add(nx + 3, t1, eb, eg, er);
        }
      }
      std::swap(cur, next);
    }
  });
}

// Threshold matrix: each channel is pushed away from the nearest entry by
// a level of the matrix, then looked up again.
template <int Step>
void RemapDitherLite24(PalState& s, const uint8_t* src, int32_t width, int32_t height,
                       uint8_t* dst) {
  Monitored("PalOpt.RemapDitherLite24", [&] {
    const uint8_t* matrix = PalThresholdMatrix();
    const uint8_t* pal = s.palette;
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* mrow = matrix + (y & 127) * 128;
      const uint8_t* p = src + int64_t{y} * width * Step;
      uint8_t* out = dst + int64_t{y} * width;
      for (int32_t x = 0; x < width; ++x, p += Step) {
        const int32_t b = p[0], g = p[1], r = p[2];
        const uint8_t* e = pal + 3 * IndexOf(s, r, g, b);
        const int32_t m = 2 * mrow[x & 127];
        const int32_t b2 = Clamp255(e[0] + m * (b - e[0]) / 255);
        const int32_t g2 = Clamp255(e[1] + m * (g - e[1]) / 255);
        const int32_t r2 = Clamp255(e[2] + m * (r - e[2]) / 255);
        out[x] = static_cast<uint8_t>(IndexOf(s, r2, g2, b2));
      }
    }
  });
}

// 15 and 16-bit words to blue, green, red bytes; the low bits stay 0.
void Expand24(const QImg* source, uint8_t* out) {
  const uint8_t* p = source->pixels;
  const int64_t n = int64_t{source->width} * source->height;
  if (source->bits == 16) {
    for (int64_t i = 0; i < n; ++i) {
      const uint32_t w = p[2 * i] | (p[2 * i + 1] << 8);
      out[3 * i] = static_cast<uint8_t>(w << 3);
      out[3 * i + 1] = static_cast<uint8_t>((w >> 5) << 2);
      out[3 * i + 2] = static_cast<uint8_t>((w >> 8) & 0xF8);
    }
  } else {
    for (int64_t i = 0; i < n; ++i) {
      const uint32_t w = p[2 * i] | (p[2 * i + 1] << 8);
      out[3 * i] = static_cast<uint8_t>(w << 3);
      out[3 * i + 1] = static_cast<uint8_t>((w >> 5) << 3);
      out[3 * i + 2] = static_cast<uint8_t>((w >> 7) & 0xF8);
    }
  }
}

template <int Step>
void RemapTrue(PalState& s, const uint8_t* src, int32_t width, int32_t height, uint8_t* dst,
               int32_t mode) {
  switch (mode) {
    case kRemapPlain: Remap24<Step>(s, src, int64_t{width} * height, dst); break;
    case kRemapLight: RemapDitherLite24<Step>(s, src, width, height, dst); break;
    default: RemapDitherHeavy24<Step>(s, src, width, height, dst); break;
  }
}

}  // namespace

void PalRemap(QImg* source, QImg* destination, int32_t mode) {
  Monitored("PalOpt.PalRemap", [&] {
    if (mode < kRemapPlain || mode > kRemapHeavy) return;
    PalState& s = pal::State(1);
    if (!pal::g_reduced) ErrRaise(kGrpImage, kImgInitFunction, 2);  // no palette yet
    if (!destination) ErrRaise(kGrpGeneral, kGenOutOfRange, 3);
    pal::CheckPixels(source, 4);
    const int32_t width = source->width, height = source->height;

    QImg temp24{};
    ImgGuard guard_temp24(temp24);
    const uint8_t* px = source->pixels;
    int32_t step = source->bytespp;
    if (source->bits == 15 || source->bits == 16) {
      _imgalloc_(&temp24, width, height, 24, 5, "PalOpt.PalRemap.temp24");
      Expand24(source, temp24.pixels);
      px = temp24.pixels;
      step = 3;
    }
    // Remapping onto the source itself builds the result aside first.
    QImg aside{};
    ImgGuard guard_aside(aside);
    QImg* out = destination == source ? &aside : destination;
    _imgalloc_(out, width, height, 8, 6, "PalOpt.PalRemap.img8bit");
    std::memcpy(out->palette, s.palette, kPaletteBytes);
    if (source->bits == 8)
      Remap8(s, source, out->pixels);
    else if (step == 4)
      RemapTrue<4>(s, px, width, height, out->pixels, mode);
    else
      RemapTrue<3>(s, px, width, height, out->pixels, mode);
    ImgFree(&temp24);

    if (out == &aside) {
      ImgFree(source);
      *source = aside;
      aside = QImg{};  // the pixels now belong to the source
    }
  });
}

void ConvTo8bit(QImg* source, QImg* destination, int32_t mode) {
  Monitored("PalOpt.ConvTo8bit", [&] {
    // The state goes on every path, as on the normal one.
    MonSetCleanup([] { pal::FreeState(); });
    PalInit();
    PalCountColors(source);
    PalReduceChosen(256);
    PalRemap(source, destination, mode);
    PalDone();
  });
}

}  // namespace vek
