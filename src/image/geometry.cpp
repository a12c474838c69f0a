// Geometry: pixel-picking resize, smoothing resample, insert and sprite.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/geometry.h"
#include "image/image.h"
#include "image/image_internal.h"

// The pixel loops here are written for the vectoriser; GCC only applies it
// with its full cost model from -O3 on.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif

namespace vek {

namespace {

// Scale factors are fixed point with this as one.
constexpr int64_t kOne = 100000;

// ---------------------------------------------------------------------------
// Resize: each destination pixel is a source pixel.

// Source column of every destination column. Counters are 64-bit so that
// wide images cannot overflow the fixed-point products.
void ResizeColumns(int32_t src_w, int32_t dst_w, int32_t* map) {
  const int64_t sx = int64_t{src_w} * kOne / dst_w;
  if (sx <= kOne) {
    for (int32_t x = 0; x < dst_w; ++x) map[x] = static_cast<int32_t>(x * sx / kOne);
  } else {
    // Walks the source with an accumulator; when it lands exactly on a
    // pixel boundary one further source pixel is skipped.
    int64_t i = 0, a = 0, p = 0;
    for (int32_t x = 0; x < dst_w; ++x) {
      map[x] = static_cast<int32_t>(std::min<int64_t>(i, src_w - 1));
      ++i;
      a += sx;
      p += kOne;
      if (a >= p) {
        do {
          ++i;
          p += kOne;
        } while (p < a);
      }
    }
  }
}

int32_t ResizeRow(int64_t y, int64_t sy, int32_t src_h) {
  // Shrinking rounds the source row up, keeping or enlarging rounds it down.
  const int64_t r = sy > kOne ? (y * sy + kOne - 1) / kOne : y * sy / kOne;
  return static_cast<int32_t>(std::min<int64_t>(r, src_h - 1));
}

template <int B>
void PickRow(const uint8_t* __restrict in, uint8_t* __restrict out, const int32_t* map,
             int32_t w) {
  for (int32_t x = 0; x < w; ++x) {
    const uint8_t* p = in + int64_t{B} * map[x];
    for (int c = 0; c < B; ++c) out[int64_t{B} * x + c] = p[c];
  }
}

// ---------------------------------------------------------------------------
// Resample row kernels on 24-bit pixels.

inline uint8_t Avg2(uint8_t a, uint8_t b) { return static_cast<uint8_t>((a + b) >> 1); }

// Every pixel followed by the average of it and its right neighbour; the
// last pixel is followed by itself.
void DoubleRow(const uint8_t* __restrict in, int64_t n, uint8_t* __restrict out) {
  for (int64_t i = 0; i + 1 < n; ++i) {
    for (int c = 0; c < 3; ++c) {
      out[6 * i + c] = in[3 * i + c];
      out[6 * i + 3 + c] = Avg2(in[3 * i + c], in[3 * i + 3 + c]);
    }
  }
  if (n > 0) {
    const int64_t i = n - 1;
    for (int c = 0; c < 3; ++c) out[6 * i + c] = out[6 * i + 3 + c] = in[3 * i + c];
  }
}

// A fractional enlargement step: a source element, and after it the average
// of it and the next one whenever the accumulator falls behind. The last
// element is paired with itself. Produces `plan` entries (first, second)
// with first == second for plain copies.
void FractionPlan(int64_t n, int64_t count, int64_t s, Tracked<int32_t>& first,
                  Tracked<int32_t>& second) {
  first.Alloc(count, 10, "ImgBasic.ImgResample.first", kMemNew);
  second.Alloc(count, 11, "ImgBasic.ImgResample.second", kMemNew);
  int64_t i = 0, a = 0, p = 0, k = 0;
  const auto at = [&](int64_t j) { return static_cast<int32_t>(std::min(j, n - 1)); };
  for (;;) {
    first[k] = second[k] = at(i);
    if (++k == count) break;
    ++i;
    p += kOne;
    a += s;
    if (a < p) {
      a += s;
      first[k] = at(i - 1);
      second[k] = at(i);
      if (++k == count) break;
    }
  }
}

void ApplyPlan(const uint8_t* __restrict in, uint8_t* __restrict out, const int32_t* first,
               const int32_t* second, int64_t count) {
  for (int64_t x = 0; x < count; ++x) {
    const uint8_t* a = in + 3 * int64_t{first[x]};
    const uint8_t* b = in + 3 * int64_t{second[x]};
    for (int c = 0; c < 3; ++c) out[3 * x + c] = Avg2(a[c], b[c]);
  }
}

// Groups of source pixels averaged into one destination pixel when shrinking.
struct GroupPlan {
  Tracked<int32_t> start, count;
  Tracked<uint64_t> recip;  // 2^40 / count + 1: exact quotient for sums below 255 * 65536
  bool pairs = false;       // every group is two neighbours in order: a plain halving
};

void ShrinkGroups(int32_t src_w, int32_t dst_w, int64_t sx, GroupPlan& g) {
  g.start.Alloc(dst_w, 12, "ImgBasic.ImgResample.start", kMemNew);
  g.count.Alloc(dst_w, 13, "ImgBasic.ImgResample.count", kMemNew);
  g.recip.Alloc(dst_w, 14, "ImgBasic.ImgResample.recip", kMemNew);
  int64_t i = 0, a = 0, p = 0;
  for (int32_t x = 0; x < dst_w; ++x) {
    const int64_t first = std::min<int64_t>(i, src_w - 1);
    int64_t n = 1;
    ++i;
    a += sx;
    p += kOne;
    if (a >= p) {
      do {
        if (i < src_w) {
          ++i;
          ++n;
        }
        p += kOne;
      } while (p < a);
    }
    g.start[x] = static_cast<int32_t>(first);
    g.count[x] = static_cast<int32_t>(n);
    g.recip[x] = (uint64_t{1} << 40) / static_cast<uint64_t>(n) + 1;
  }
  g.pairs = true;
  for (int32_t x = 0; x < dst_w && g.pairs; ++x) g.pairs = g.count[x] == 2 && g.start[x] == 2 * x;
}

void ShrinkRow(const uint8_t* __restrict in, uint8_t* __restrict out, const GroupPlan& g,
               int32_t dst_w) {
  if (g.pairs) {
    // Halving, the common case: the truncated mean of two is a shift, and
    // this shape of loop vectorises.
    for (int64_t x = 0; x < dst_w; ++x)
      for (int c = 0; c < 3; ++c)
        out[3 * x + c] = static_cast<uint8_t>((in[6 * x + c] + in[6 * x + 3 + c]) >> 1);
    return;
  }
  for (int32_t x = 0; x < dst_w; ++x) {
    const uint8_t* p = in + 3 * int64_t{g.start[x]};
    const int32_t n = g.count[x];
    uint64_t b = 0, gr = 0, r = 0;
    for (int32_t k = 0; k < n; ++k) {
      b += p[3 * k];
      gr += p[3 * k + 1];
      r += p[3 * k + 2];
    }
    uint8_t* o = out + 3 * int64_t{x};
    if (n < 65536) {
      const uint64_t m = g.recip[x];
      o[0] = static_cast<uint8_t>((b * m) >> 40);
      o[1] = static_cast<uint8_t>((gr * m) >> 40);
      o[2] = static_cast<uint8_t>((r * m) >> 40);
    } else {
      o[0] = static_cast<uint8_t>(b / n);
      o[1] = static_cast<uint8_t>(gr / n);
      o[2] = static_cast<uint8_t>(r / n);
    }
  }
}

// Sum of `rows` source rows into 16 or 32-bit words, then the truncated
// quotient per byte. The 16-bit path covers groups of up to 257 rows.
template <class Sum>
void AverageRows(const uint8_t* first, int64_t stride, int32_t rows, int64_t bytes,
                 Sum* __restrict sum, uint8_t* __restrict out) {
  if (rows == 2) {
    // Two rows, the common case: the truncated mean needs no sum buffer.
    const uint8_t* __restrict second = first + stride;
    for (int64_t j = 0; j < bytes; ++j) out[j] = static_cast<uint8_t>((first[j] + second[j]) >> 1);
    return;
  }
  for (int64_t j = 0; j < bytes; ++j) sum[j] = first[j];
  for (int32_t r = 1; r < rows; ++r) {
    const uint8_t* __restrict in = first + stride * r;
    for (int64_t j = 0; j < bytes; ++j) sum[j] = static_cast<Sum>(sum[j] + in[j]);
  }
  if (rows == 1) {
    for (int64_t j = 0; j < bytes; ++j) out[j] = static_cast<uint8_t>(sum[j]);
  } else if (sizeof(Sum) == 2) {
    // A reciprocal a hair above 1/rows truncates to the exact quotient for
    // sums below 65536: the excess stays far below the gap 1/rows.
    const float inv = static_cast<float>(1.0 / rows * (1.0 + 1.0 / (1 << 20)));
    for (int64_t j = 0; j < bytes; ++j)
      out[j] = static_cast<uint8_t>(static_cast<int32_t>(static_cast<float>(sum[j]) * inv));
  } else {
    for (int64_t j = 0; j < bytes; ++j) out[j] = static_cast<uint8_t>(sum[j] / rows);
  }
}

void AverageTwoRows(const uint8_t* __restrict a, const uint8_t* __restrict b,
                    uint8_t* __restrict out, int64_t bytes) {
  for (int64_t j = 0; j < bytes; ++j) out[j] = Avg2(a[j], b[j]);
}

// Horizontal pass of the resample: one source row (src_w pixels, already
// averaged vertically when shrinking) into one destination row.
struct HorizontalPass {
  int32_t src_w = 0, dst_w = 0;
  bool shrink = false;
  int32_t doublings = 0;
  bool fraction = false;
  GroupPlan groups;
  Tracked<int32_t> first, second;

  void Plan(int32_t sw, int32_t dw) {
    src_w = sw;
    dst_w = dw;
    const int64_t sx = int64_t{sw} * kOne / dw;
    if (sx > kOne) {
      shrink = true;
      ShrinkGroups(sw, dw, sx, groups);
      return;
    }
    int64_t f = dw / sw, n = sw, s = sx;
    while (f > 1) {
      n *= 2;
      f /= 2;
      ++doublings;
    }
    if (doublings > 0) s = n * kOne / dw;
    fraction = s < kOne || doublings == 0;
    if (fraction) FractionPlan(n, dw, s, first, second);
  }

  // a and b are scratch rows of dst_w pixels (and at least src_w pixels).
  void Run(const uint8_t* in, uint8_t* out, uint8_t* a, uint8_t* b) const {
    if (shrink) {
      ShrinkRow(in, out, groups, dst_w);
      return;
    }
    const uint8_t* cur = in;
    int64_t n = src_w;
    for (int32_t d = 0; d < doublings; ++d) {
      uint8_t* next = (d == doublings - 1 && !fraction) ? out : (d % 2 == 0 ? a : b);
      DoubleRow(cur, n, next);
      cur = next;
      n *= 2;
    }
    if (fraction) ApplyPlan(cur, out, first.get(), second.get(), dst_w);
  }
};

// Vertical enlargement in place in the destination, whose top rows hold the
// `n` horizontally scaled rows. Doublings alternate direction so a block
// never overwrites rows not yet read; a last fractional pass fills the rest.
void EnlargeRows(uint8_t* pix, int64_t row, int32_t n, int32_t h, uint8_t* avg) {
  auto R = [&](int64_t k) { return pix + row * k; };
  auto put = [&](int64_t to, const uint8_t* from) {  // rows may coincide
    if (R(to) != from) std::memmove(R(to), from, static_cast<size_t>(row));
  };
  int64_t f = h / n, count = n;
  bool at_top = true;  // where the current block lies
  while (f > 1) {
    if (at_top) {
      // Bottom-up into the bottom: each row with the average of it and the
      // row above it above it; the first row is paired with itself.
      const int64_t base = h - 2 * count;
      for (int64_t k = count - 1; k >= 0; --k) {
        AverageTwoRows(R(k), R(k > 0 ? k - 1 : 0), avg, row);
        put(base + 2 * k + 1, R(k));
        put(base + 2 * k, avg);
      }
    } else {
      // Top-down into the top: each row, then the average of it and the row
      // below it; the last row is paired with itself.
      const int64_t base = h - count;
      for (int64_t k = 0; k < count; ++k) {
        AverageTwoRows(R(base + k), R(base + std::min(k + 1, count - 1)), avg, row);
        put(2 * k, R(base + k));
        put(2 * k + 1, avg);
      }
    }
    at_top = !at_top;
    count *= 2;
    f /= 2;
  }
  const int64_t s = count * kOne / h;
  if (s >= kOne) return;  // the block fills the destination
  // The fractional pass reads its rows from a copy: how far its output runs
  // ahead of its input depends on rounding, so in place is not safe.
  const int64_t base = at_top ? 0 : h - count;
  Tracked<uint8_t> block(row * count, 5, "ImgBasic.ImgResample.rows");
  std::memcpy(block.get(), R(base), static_cast<size_t>(row * count));
  Tracked<int32_t> first, second;
  FractionPlan(count, h, s, first, second);
  // Travel runs away from the block: upwards from the bottom when the block
  // is at the top, downwards from the top when it is at the bottom.
  for (int64_t t = 0; t < h; ++t) {
    int64_t a = first[t], b = second[t], to = t;
    if (at_top) {
      a = count - 1 - a;
      b = count - 1 - b;
      to = h - 1 - t;
    }
    if (a == b)
      std::memcpy(R(to), block.get() + row * a, static_cast<size_t>(row));
    else
      AverageTwoRows(block.get() + row * a, block.get() + row * b, R(to), row);
  }
}

}  // namespace

// ---------------------------------------------------------------------------

void ImgResize(QImg* source, QImg* destination, int32_t width, int32_t height) {
  Monitored("ImgBasic.ImgResize", [&] {
    ImgOpDesc desc;
    ImgOpFrame f;
    ImgInfo(&desc, kOpResize);
    ImgInitEx(&desc, &f, source, destination, width, height);
    const QImg* s = f.src;
    uint8_t* out = f.dst->pixels;
    const int32_t bpp = s->bytespp;
    const int64_t in_row = f.src_row_bytes, out_row = f.dst_row_bytes;
    Tracked<int32_t> map(width, 1, "ImgBasic.ImgResize.map");
    ResizeColumns(s->width, width, map.get());
    const int64_t sy = int64_t{s->height} * kOne / height;
    int32_t last = -1;
    for (int32_t y = 0; y < height; ++y) {
      const int32_t r = ResizeRow(y, sy, s->height);
      uint8_t* o = out + out_row * y;
      if (r == last) {
        std::memcpy(o, o - out_row, static_cast<size_t>(out_row));
        continue;
      }
      const uint8_t* in = s->pixels + in_row * r;
      if (bpp == 1)
        PickRow<1>(in, o, map.get(), width);
      else
        PickRow<3>(in, o, map.get(), width);
      last = r;
    }
    ImgDone(&f);
  });
}

void ImgResample(QImg* source, QImg* destination, int32_t width, int32_t height) {
  Monitored("ImgBasic.ImgResample", [&] {
    ImgOpDesc desc;
    ImgOpFrame f;
    ImgInfo(&desc, kOpResample);
    ImgInitEx(&desc, &f, source, destination, width, height);
    const QImg* s = f.src;
    const int32_t sw = s->width, sh = s->height;
    const int64_t in_row = int64_t{sw} * 3, out_row = int64_t{width} * 3;
    const int64_t longest = std::max(in_row, out_row);
    // Scratch: a source-width row, two rows for doubling, the average row.
    Tracked<uint8_t> tmp(longest * 4, 2, "ImgBasic.ImgResample.tmpbuf1");
    uint8_t* row_in = tmp.get();
    uint8_t* a = row_in + longest;
    uint8_t* b = a + longest;
    uint8_t* avg = b + longest;

    HorizontalPass hp;
    hp.Plan(sw, width);
    uint8_t* out = f.dst->pixels;

    if (height < sh) {
      // Vertical shrink: average groups of source rows, one output row at a
      // time, then scale each averaged row horizontally.
      const int64_t sy = int64_t{sh} * kOne / height;
      const int64_t most = sy / kOne + 2;  // bound on a group's rows
      Tracked<uint16_t> sum16;
      Tracked<uint32_t> sum32;
      if (most <= 257)
        sum16.Alloc(in_row, 3, "ImgBasic.ImgResample.sum");
      else
        sum32.Alloc(in_row, 4, "ImgBasic.ImgResample.sum");
      int64_t acc = 0, pos = 0, r = 0;
      for (int32_t y = 0; y < height; ++y) {
        const int64_t top = std::min<int64_t>(r, sh - 1);
        int32_t rows = 1;
        acc += sy;
        pos += kOne;
        while (pos < acc) {
          if (r + 1 < sh) {
            ++r;
            ++rows;
          }
          pos += kOne;
        }
        ++r;
        const uint8_t* first = s->pixels + in_row * top;
        if (sum16)
          AverageRows(first, in_row, rows, in_row, sum16.get(), row_in);
        else
          AverageRows(first, in_row, rows, in_row, sum32.get(), row_in);
        hp.Run(row_in, out + out_row * y, a, b);
      }
    } else {
      for (int32_t y = 0; y < sh; ++y) hp.Run(s->pixels + in_row * y, out + out_row * y, a, b);
      if (height > sh) EnlargeRows(out, out_row, sh, height, avg);
    }
    ImgDone(&f);
  });
}

// ---------------------------------------------------------------------------

void AutoPut_(int32_t op, QImg* source, QImg* destination, int32_t x, int32_t y,
              uint32_t transparent) {
  Monitored("ImgBasic.AutoPut_", [&] {
    if (!source || !destination) ErrRaise(kGrpImage, kImgInitFunction, 15);  // "Cannot initialize image function."
    // Callers place images at offsets of 0 or more.
    if (x < 0 || y < 0) ErrRaise(kGrpGeneral, kGenOutOfRange, 16);  // "Out of range."
    if (x >= destination->width || y >= destination->height || source == destination) return;
    ImgOpDesc desc;
    ImgOpFrame f;
    ImgInfo(&desc, op == kOpSprite ? kOpSprite : kOpInsert);
    ImgInitEx(&desc, &f, source, destination, destination->width, destination->height);
    const QImg* s = f.src;
    QImg* d = f.dst;
    const int32_t bpp = d->bytespp;
    const int32_t w = std::min(s->width, d->width - x);
    const int32_t h = std::min(s->height, d->height - y);
    const int64_t in_row = int64_t{s->width} * bpp, out_row = int64_t{d->width} * bpp;
    const size_t run = static_cast<size_t>(w) * bpp;
    for (int32_t k = 0; k < h; ++k) {
      const uint8_t* in = s->pixels + in_row * k;
      uint8_t* o = d->pixels + out_row * (y + k) + int64_t{x} * bpp;
      if (op != kOpSprite) {
        std::memcpy(o, in, run);
        continue;
      }
      switch (bpp) {
        case 1: {
          const uint8_t t = static_cast<uint8_t>(transparent);
          for (int32_t i = 0; i < w; ++i)
            if (in[i] != t) o[i] = in[i];
          break;
        }
        case 2: {
          const uint32_t t = transparent & 0xFFFF;
          for (int32_t i = 0; i < w; ++i) {
            const uint8_t* p = in + 2 * i;
            if ((uint32_t{p[0]} | uint32_t{p[1]} << 8) != t) std::memcpy(o + 2 * i, p, 2);
          }
          break;
        }
        case 3: {
          const uint32_t t = transparent & 0xFFFFFF;
          for (int32_t i = 0; i < w; ++i) {
            const uint8_t* p = in + 3 * int64_t{i};
            if ((uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16) != t)
              std::memcpy(o + 3 * int64_t{i}, p, 3);
          }
          break;
        }
        default: {
          for (int32_t i = 0; i < w; ++i) {
            const uint8_t* p = in + 4 * int64_t{i};
            const uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                               uint32_t{p[3]} << 24;
            if (v != transparent) std::memcpy(o + 4 * int64_t{i}, p, 4);
          }
          break;
        }
      }
    }
    ImgDone(&f);
  });
}

void ImgInsert(QImg* source, QImg* destination, int32_t x, int32_t y) {
  Monitored("ImgBasic.ImgInsert", [&] { AutoPut_(kOpInsert, source, destination, x, y, 0); });
}

void ImgSprite(QImg* source, QImg* destination, int32_t x, int32_t y, uint32_t transparent) {
  Monitored("ImgBasic.ImgSprite",
            [&] { AutoPut_(kOpSprite, source, destination, x, y, transparent); });
}

BoxFit CalcBoxResize(int32_t width, int32_t height, int32_t box_w, int32_t box_h, bool enlarge) {
  BoxFit f{width, height, 0, 0};
  if (width > 0 && height > 0 && box_w > 0 && box_h > 0 &&
      (enlarge || width > box_w || height > box_h)) {
    const double sx = static_cast<double>(box_w) / width;
    const double sy = static_cast<double>(box_h) / height;
    // nearbyint rounds halves to even in the default rounding mode.
    if (sx >= sy) {
      f.height = box_h;
      f.width = static_cast<int32_t>(std::nearbyint(sy * width));
    } else {
      f.width = box_w;
      f.height = static_cast<int32_t>(std::nearbyint(sx * height));
    }
    f.width = std::max(f.width, 1);
    f.height = std::max(f.height, 1);
  }
  f.dx = (box_w - f.width) / 2;
  f.dy = (box_h - f.height) / 2;
  return f;
}

}  // namespace vek
