// Lookup-table adjustments, 3x3 filters and image averaging.
#include "image/image_adjust.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/image_internal.h"
#include "foundation/byte_fields.h"

// The filter loops are written for the vectoriser; GCC only applies it with
// its full cost model from -O3 on.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif

// On x86-64 ELF builds the filter rows are compiled for AVX2 and for the
// baseline, and the loader picks one.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__)
#define VEK_CLONES __attribute__((target_clones("avx2", "default")))
#define VEK_INLINE inline __attribute__((always_inline))
#else
#define VEK_CLONES
#define VEK_INLINE inline
#endif

namespace vek {

namespace {

using img::CheckImage;

inline uint8_t Clamp255(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Clamps into [lo, hi]; a NaN takes the neutral value instead of poisoning
// the tables.
double ClampParam(double v, const ImgParamRange& range) {
  if (std::isnan(v)) return range.initial;
  return std::clamp(v, range.minimum, range.maximum);
}

// ln(i / 255) for i = 1..254, filled once.
const std::array<double, 256>& GammaLogs() {
  static const std::array<double, 256> logs = [] {
    std::array<double, 256> t{};
    for (int i = 1; i < 255; ++i) t[i] = std::log(i / 255.0);
    return t;
  }();
  return logs;
}

// Rounds half to even, whatever the caller left in the rounding mode.
double RoundEven(double v) {
  const double f = std::floor(v);
  const double d = v - f;
  if (d > 0.5) return f + 1;
  if (d < 0.5) return f;
  return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

// Units are blue, green, red triples: pixels of a 24-bit image or the
// entries of a palette. Reads a unit before writing it, so in-place is fine.
void RemapUnits(const uint8_t* in, uint8_t* out, int64_t units, const uint8_t* table) {
  const uint8_t* red = table;
  const uint8_t* green = table + 256;
  const uint8_t* blue = table + 512;
  for (int64_t i = 0; i < units; ++i) {
    const uint8_t b = in[3 * i], g = in[3 * i + 1], r = in[3 * i + 2];
    out[3 * i] = blue[b];
    out[3 * i + 1] = green[g];
    out[3 * i + 2] = red[r];
  }
}

// Sets up `op`, remaps the units through `table` and winds up.
void RunTables(int32_t op, QImg* source, QImg* destination, const uint8_t* table) {
  ImgOpDesc desc;
  ImgOpFrame f;
  ImgInfo(&desc, op);
  ImgInit(&desc, &f, source, destination);
  RemapUnits(f.src_unit_ptr, f.dst_unit_ptr, f.units, table);
  ImgDone(&f);
}

// Copies the source when the adjustment would change nothing; in-place
// work then has nothing to do.
void PlainCopy(QImg* source, QImg* destination) {
  if (!destination || destination == source) {
    CheckImage(source, 1);
    return;
  }
  ImgCopy(source, destination);
}

// ---- filters ----

// One output byte from its nine neighbours. The sum is kept to 16 bits
// (products and sums wrap there), shifted arithmetically, biased, clamped.
template <class K>
VEK_INLINE uint8_t Tap(const K& k, const uint8_t* a, const uint8_t* c, const uint8_t* b,
                       int64_t l, int64_t m, int64_t r) {
  const int16_t s = static_cast<int16_t>(k.w(0) * a[l] + k.w(1) * a[m] + k.w(2) * a[r] +
                                         k.w(3) * c[l] + k.w(4) * c[m] + k.w(5) * c[r] +
                                         k.w(6) * b[l] + k.w(7) * b[m] + k.w(8) * b[r]);
  const int v = (s >> k.shift()) + k.bias();
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Kernels known at compile time: constant weights let the compiler use
// shifts and adds in 16-bit lanes.
template <int W0, int W1, int W2, int W3, int W4, int W5, int W6, int W7, int W8, int S, int B>
struct FixedKernel {
  static constexpr int kW[9] = {W0, W1, W2, W3, W4, W5, W6, W7, W8};
  constexpr int w(int i) const { return kW[i]; }
  constexpr int shift() const { return S; }
  constexpr int bias() const { return B; }
};
using SoftenK = FixedKernel<1, 1, 1, 1, 8, 1, 1, 1, 1, 4, 0>;
using SharpenK = FixedKernel<0, -1, 0, -1, 8, -1, 0, -1, 0, 2, 0>;
using EdgeK = FixedKernel<-1, -2, -1, -2, 16, -2, -1, -2, -1, 2, 0>;

struct RuntimeKernel {
  int kw[9];
  int s;
  int bi;
  int w(int i) const { return kw[i]; }
  int shift() const { return s; }
  int bias() const { return bi; }
};

// One row of `n` bytes (3 per pixel); the first and last pixel take the
// centre column for their missing neighbour.
template <class K>
VEK_INLINE void FilterRow(const K& k, const uint8_t* __restrict a, const uint8_t* __restrict c,
                          const uint8_t* __restrict b, uint8_t* __restrict out, int64_t n) {
  if (n <= 3) {  // one pixel: it is its own left and right neighbour
    for (int64_t j = 0; j < n; ++j) out[j] = Tap(k, a, c, b, j, j, j);
    return;
  }
  for (int64_t j = 0; j < 3; ++j) out[j] = Tap(k, a, c, b, j, j, j + 3);
  for (int64_t j = 3; j < n - 3; ++j) out[j] = Tap(k, a, c, b, j - 3, j, j + 3);
  for (int64_t j = n - 3; j < n; ++j) out[j] = Tap(k, a, c, b, j - 3, j, j);
}

template <class K>
VEK_INLINE void FilterRowsT(const K& k, const uint8_t* in, uint8_t* out, int32_t width,
                            int32_t height) {
  const int64_t n = int64_t{width} * 3;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* c = in + n * y;
    const uint8_t* a = y > 0 ? c - n : c;
    const uint8_t* b = y + 1 < height ? c + n : c;
    FilterRow(k, a, c, b, out + n * y, n);
  }
}

VEK_CLONES void FilterSoften(const uint8_t* in, uint8_t* out, int32_t w, int32_t h) {
  FilterRowsT(SoftenK{}, in, out, w, h);
}
VEK_CLONES void FilterSharpen(const uint8_t* in, uint8_t* out, int32_t w, int32_t h) {
  FilterRowsT(SharpenK{}, in, out, w, h);
}
VEK_CLONES void FilterEdge(const uint8_t* in, uint8_t* out, int32_t w, int32_t h) {
  FilterRowsT(EdgeK{}, in, out, w, h);
}
VEK_CLONES void FilterAny(const RuntimeKernel& k, const uint8_t* in, uint8_t* out, int32_t w,
                          int32_t h) {
  FilterRowsT(k, in, out, w, h);
}

bool Same(const FilterKernel& a, const FilterKernel& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---- averaging ----

struct AverageRec {
  bool started = false;
  Tracked<uint32_t> buffer;  // blue, green, red sums per pixel
  int32_t width = 0;
  int32_t height = 0;
  uint32_t count = 0;
};
AverageRec g_average;

// Sums stay exact while count * 255 fits in 32 bits.
constexpr uint32_t kMaxAveraged = UINT32_MAX / 255;


}  // namespace

// ---- table builders ----

void BrightnessCalc_(double value, uint8_t* table) {
  const int x = static_cast<int>(value);
  const int b = x == 0 ? 0 : static_cast<int>(std::trunc(x * 255 * 0.01));
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(std::clamp(i + b, 0, 255));
}

void ContrastCalc_(double value, uint8_t* table) {
  const int x = static_cast<int>(std::trunc(value));
  if (x == 0) {
    for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i);
    return;
  }
  const int b = std::abs(x);
  const int k = static_cast<int>(std::trunc(128 / (128 - 127 * b * 0.01)));
  for (int i = 0; i < 256; ++i) {
    int v;
    if (x > 0)
      v = i < 128 ? std::max(0, i - k - b * (127 - i) / 100)
                  : std::min(255, i + k + b * (i - 128) / 100);
    else
      v = i < 128 ? std::min(128, i + k + b * (127 - i) / 100)
                  : std::max(128, i - k - b * (i - 128) / 100);
    table[i] = static_cast<uint8_t>(v);
  }
}

void GammaCalc_(double value, uint8_t* table) {
  const std::array<double, 256>& logs = GammaLogs();
  table[0] = 0;
  table[255] = 255;
  for (int i = 1; i < 255; ++i)
    table[i] = Clamp255(RoundEven(255 * std::exp(logs[i] / value)));
}

void WhiteBalanceCalc_(double red, double green, double blue, uint8_t* table) {
  const double r = red == 0 ? 1 : red, g = green == 0 ? 1 : green, b = blue == 0 ? 1 : blue;
  const double m = std::max({r, g, b});
  const double h = ((m - r) + (m - g) + (m - b)) / 9;
  const double v[3] = {r, g, b};
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 256; ++i) {
      const double scaled = std::clamp(i * m / v[c], 0.0, 255.0);
      table[256 * c + i] = Clamp255(std::trunc(std::clamp(scaled - h, 0.0, 255.0)));
    }
}

// ---- adjustments ----

void AutoTune_(int32_t op, QImg* source, QImg* destination, double red, double green,
               double blue, ToneTableFn builder) {
  Monitored("impress.AutoTune_", [&] {
    if (!builder) ErrRaise(kGrpGeneral, kGenOutOfRange, 2);
    // 0 everywhere means "unchanged" for every adjustment.
    if (red == 0 && green == 0 && blue == 0) {
      PlainCopy(source, destination);
      return;
    }
    // Gamma has two spellings of "no change": 1.0 and 100 (a percentage, which
    // the range would otherwise clamp to 5.0). It still runs as an operation
    // with identity tables, so that depths other than 8 become 24-bit as every
    // other gamma does.
    auto neutral_gamma = [](double v) { return v == 1 || v == 100; };
    const bool identity =
        op == kOpGamma && neutral_gamma(red) && neutral_gamma(green) && neutral_gamma(blue);
    ImgOpDesc desc;
    ImgOpFrame f;
    ImgInfo(&desc, op);
    ImgInit(&desc, &f, source, destination);
    uint8_t table[768];
    if (identity) {
      for (int i = 0; i < 768; ++i) table[i] = static_cast<uint8_t>(i & 0xFF);
    } else {
      builder(ClampParam(red, desc.params[0]), table);
      builder(ClampParam(green, desc.params[1]), table + 256);
      builder(ClampParam(blue, desc.params[2]), table + 512);
    }
    RemapUnits(f.src_unit_ptr, f.dst_unit_ptr, f.units, table);
    ImgDone(&f);
  });
}

void ImgBrightness(QImg* source, QImg* destination, int32_t red, int32_t green, int32_t blue) {
  Monitored("impress.ImgBrightness", [&] {
    AutoTune_(kOpBrightness, source, destination, red, green, blue, BrightnessCalc_);
  });
}

void ImgContrast(QImg* source, QImg* destination, int32_t red, int32_t green, int32_t blue) {
  Monitored("impress.ImgContrast", [&] {
    AutoTune_(kOpContrast, source, destination, red, green, blue, ContrastCalc_);
  });
}

void ImgGamma(QImg* source, QImg* destination, double red, double green, double blue) {
  Monitored("impress.ImgGamma",
            [&] { AutoTune_(kOpGamma, source, destination, red, green, blue, GammaCalc_); });
}

void ImgWhiteBalance(QImg* source, QImg* destination, int32_t red, int32_t green,
                     int32_t blue) {
  Monitored("impress.ImgWhiteBalance", [&] {
    if (red == 255 && green == 255 && blue == 255) {
      PlainCopy(source, destination);
      return;
    }
    uint8_t table[768];
    WhiteBalanceCalc_(red, green, blue, table);
    RunTables(kOpWhiteBalance, source, destination, table);
  });
}

// ---- filters ----

void AutoFilter_(int32_t op, QImg* source, QImg* destination, const FilterKernel& kernel) {
  Monitored("impress.AutoFilter_", [&] {
    ImgOpDesc desc;
    ImgOpFrame f;
    ImgInfo(&desc, op);
    ImgInit(&desc, &f, source, destination);
    const uint8_t* in = f.src->pixels;
    uint8_t* out = f.dst->pixels;
    const int32_t w = f.src->width, h = f.src->height;
    if (Same(kernel, kSoftenKernel)) {
      FilterSoften(in, out, w, h);
    } else if (Same(kernel, kSharpenKernel)) {
      FilterSharpen(in, out, w, h);
    } else if (Same(kernel, kEdgeEnhanceKernel)) {
      FilterEdge(in, out, w, h);
    } else {
      RuntimeKernel k{};
      for (int i = 0; i < 9; ++i) k.kw[i] = kernel.weight[i];
      // A shift beyond the 16-bit sum leaves only its sign.
      k.s = std::clamp<int>(kernel.shift, 0, 15);
      k.bi = kernel.bias;
      FilterAny(k, in, out, w, h);
    }
    ImgDone(&f);
  });
}

void ImgSoften(QImg* source, QImg* destination) {
  Monitored("impress.ImgSoften", [&] { AutoFilter_(kOpSoften, source, destination, kSoftenKernel); });
}

void ImgSharpen(QImg* source, QImg* destination) {
  Monitored("impress.ImgSharpen",
            [&] { AutoFilter_(kOpSharpen, source, destination, kSharpenKernel); });
}

void ImgEdgeEnhance(QImg* source, QImg* destination) {
  Monitored("impress.ImgEdgeEnhance",
            [&] { AutoFilter_(kOpEdge, source, destination, kEdgeEnhanceKernel); });
}

// ---- averaging ----

void ImgAverage(const QImg* image) {
  Monitored("impress.ImgAverage", [&] {
    CheckImage(image, 3);
    AverageRec& acc = g_average;
    if (acc.started && (image->width != acc.width || image->height != acc.height))
      ErrRaise(kGrpGeneral, kGenOutOfRange, 4);  // "Out of range."; nothing added
    if (acc.started && acc.count >= kMaxAveraged) ErrRaise(kGrpGeneral, kGenOutOfRange, 5);
    const int64_t pixels = int64_t{image->width} * image->height;
    if (!acc.started) {
      acc.buffer.Alloc(pixels * 3, 6, "impress.ImgAverage.AverageRec.buffer", kMemNew);
      std::memset(acc.buffer.get(), 0, static_cast<size_t>(pixels) * 3 * sizeof(uint32_t));
      acc.width = image->width;
      acc.height = image->height;
      acc.count = 0;
      acc.started = true;
    }
    uint32_t* __restrict sum = acc.buffer.get();
    const uint8_t* __restrict p = image->pixels;
    switch (image->bits) {
      case 8:
        for (int64_t i = 0; i < pixels; ++i) {
          const uint8_t* e = image->palette + 3 * p[i];
          sum[3 * i] += e[0];
          sum[3 * i + 1] += e[1];
          sum[3 * i + 2] += e[2];
        }
        break;
      case 15:
        for (int64_t i = 0; i < pixels; ++i) {
          const uint32_t w = Get16(p + 2 * i);
          sum[3 * i] += (w << 3) & 0xFF;
          sum[3 * i + 1] += ((w >> 5) << 3) & 0xFF;
          sum[3 * i + 2] += ((w >> 8) << 1) & 0xF8;
        }
        break;
      case 16:
        for (int64_t i = 0; i < pixels; ++i) {
          const uint32_t w = Get16(p + 2 * i);
          sum[3 * i] += (w << 3) & 0xFF;
          sum[3 * i + 1] += ((w >> 5) << 2) & 0xFF;
          sum[3 * i + 2] += (w >> 8) & 0xF8;
        }
        break;
      default: {  // 24 and 32 bits: the first three bytes
        const int64_t bpp = image->bytespp;
        for (int64_t i = 0; i < pixels; ++i) {
          sum[3 * i] += p[bpp * i];
          sum[3 * i + 1] += p[bpp * i + 1];
          sum[3 * i + 2] += p[bpp * i + 2];
        }
        break;
      }
    }
    ++acc.count;
  });
}

void ImgAverageGet(QImg* image) {
  Monitored("impress.ImgAverageGet", [&] {
    const AverageRec& acc = g_average;
    if (!acc.started || acc.count == 0) ErrRaise(kGrpImage, kImgGeneralFault, 7);
    if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, 8);
    ImgAlloc(image, acc.width, acc.height, 24, 9, "impress.ImgAverageGet.imgResult");
    const uint32_t* sum = acc.buffer.get();
    uint8_t* out = image->pixels;
    const uint32_t n = acc.count;
    const int64_t bytes = int64_t{acc.width} * acc.height * 3;
    for (int64_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(sum[i] / n);
  });
}

void ImgAverageClear() {
  Monitored("impress.ImgAverageClear", [&] {
    g_average.buffer.Reset();
    g_average.started = false;
    g_average.width = g_average.height = 0;
    g_average.count = 0;
  });
}

}  // namespace vek
