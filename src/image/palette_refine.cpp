// Optional refinement of the optimised palette: a few k-means passes over the
// counted colours and an inverse map that sends every counted colour to its
// nearest entry instead of its box's colour.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/palette.h"
#include "image/palette_internal.h"

namespace vek {


namespace {

// Entries sorted by green: a search walks outwards from the query's green
// and stops once the green distance alone exceeds the best found.
// Coordinates are doubled so cell centres (4c + 1.5) stay integers.
struct SortedPalette {
  int32_t n = 0;
  int32_t r[kPalMaxColors], g[kPalMaxColors], b[kPalMaxColors];
  uint8_t index[kPalMaxColors];

  void Build(const uint8_t* palette, int32_t count) {
    uint8_t order[kPalMaxColors];
    for (int32_t i = 0; i < count; ++i) order[i] = static_cast<uint8_t>(i);
    std::sort(order, order + count,
              [&](uint8_t x, uint8_t y) { return palette[3 * x + 1] < palette[3 * y + 1]; });
    n = count;
    for (int32_t i = 0; i < count; ++i) {
      const uint8_t* e = palette + 3 * order[i];
      index[i] = order[i];
      b[i] = 2 * e[0];
      g[i] = 2 * e[1];
      r[i] = 2 * e[2];
    }
  }

  uint8_t Nearest(int32_t qr, int32_t qg, int32_t qb) const {
    int32_t hi = static_cast<int32_t>(std::lower_bound(g, g + n, qg) - g);
    int32_t lo = hi - 1;
    int32_t best = INT32_MAX, found = 0;
    auto visit = [&](int32_t i) {
      const int32_t dr = r[i] - qr, dg = g[i] - qg, db = b[i] - qb;
      const int32_t d = dr * dr + dg * dg + db * db;
      if (d < best) best = d, found = i;
    };
    while (lo >= 0 || hi < n) {
      if (hi < n) {
        const int32_t dg = g[hi] - qg;
        if (dg * dg >= best) hi = n; else visit(hi++);
      }
      if (lo >= 0) {
        const int32_t dg = qg - g[lo];
        if (dg * dg >= best) lo = -1; else visit(lo--);
      }
    }
    return index[found];
  }
};

}  // namespace

namespace {
int32_t g_refine_passes = 0;
}  // namespace

int32_t PalSetRefinement(int32_t passes) {
  if (passes != kUndefined) g_refine_passes = std::clamp(passes, 0, 16);
  return g_refine_passes;
}

void PalReduceChosen(int32_t colors) {
  if (g_refine_passes > 0)
    PalReduceRefined(colors, g_refine_passes);
  else
    PalReduce(colors);
}

void PalReduceRefined(int32_t colors, int32_t passes) {
  Monitored("PalOpt.PalReduceRefined", [&] {
    PalState& s = pal::State(1);
    if (pal::g_reduced) ErrRaise(kGrpImage, kImgInitFunction, 2);
    passes = std::clamp(passes, 0, 16);
    // The counted cells and their weights, before the reduction makes them indices.
    const int64_t used =
        std::count_if(s.cells, s.cells + kPalCells, [](int32_t v) { return v != -1; });
    Tracked<int32_t> cells(std::max<int64_t>(used, 1), 3, "PalOpt.PalReduceRefined.cells");
    Tracked<double> weights(std::max<int64_t>(used, 1), 4, "PalOpt.PalReduceRefined.weights");
    int64_t k = 0;
    for (int32_t c = 0; c < kPalCells; ++c)
      if (s.cells[c] != -1) {
        cells[k] = c;
        weights[k++] = static_cast<double>(s.cells[c]) + 1.0;
      }

    PalReduce(colors);
    // A palette with an entry per colour has nothing to gain.
    if (s.box_count == 0 || passes == 0) return;
    const int32_t count = s.box_count;
    Tracked<uint8_t> nearest(std::max<int64_t>(used, 1), 5, "PalOpt.PalReduceRefined.nearest");
    auto centre = [](int32_t coordinate) { return 8 * coordinate + 3; };  // 2 * (4c + 1.5)
    SortedPalette sorted;
    for (int32_t pass = 0;; ++pass) {
      sorted.Build(s.palette, count);
      for (int64_t i = 0; i < used; ++i) {
        const int32_t c = cells[i];
        nearest[i] = sorted.Nearest(centre(c & 63), centre((c >> 6) & 63), centre(c >> 12));
      }
      if (pass == passes) break;
      // Each entry moves to the weighted mean of the colours it takes.
      double sum[kPalMaxColors][4] = {};
      for (int64_t i = 0; i < used; ++i) {
        const int32_t c = cells[i];
        double* t = sum[nearest[i]];
        const double w = weights[i];
        t[0] += w * (4 * ((c >> 12) & 63) + 1.5);
        t[1] += w * (4 * ((c >> 6) & 63) + 1.5);
        t[2] += w * (4 * (c & 63) + 1.5);
        t[3] += w;
      }
      for (int32_t e = 0; e < count; ++e) {
        if (sum[e][3] <= 0) continue;
        for (int32_t ch = 0; ch < 3; ++ch)
          s.palette[3 * e + ch] =
              static_cast<uint8_t>(std::clamp(std::lround(sum[e][ch] / sum[e][3]), 0L, 255L));
      }
    }
    // Colours never counted find their entry when first met.
    std::memset(s.cells, 0xFF, sizeof s.cells);
    for (int64_t i = 0; i < used; ++i) s.cells[cells[i]] = nearest[i];
    pal::SetDarkColorFirst(s);
  });
}

}  // namespace vek
