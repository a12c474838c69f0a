// The quantiser: colour counting into a 64 x 64 x 64 histogram, the split of
// colour boxes by largest weighted variance, and the inverse colour map.
#include <algorithm>
#include <climits>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "foundation/wide_int.h"
#include "image/image.h"
#include "image/palette.h"
#include "image/palette_internal.h"

namespace vek {

namespace {

// One library-wide quantiser, shared by single images and the palette pass of a run.
PalState* g_state = nullptr;

}  // namespace

namespace pal {

// Set by PalReduce: the cells then form the inverse map that remapping reads.
bool g_reduced = false;


PalState& State(int32_t site) {
  if (!g_state) ErrRaise(kGrpImage, kImgInitFunction, site);  // "Cannot initialize image function."
  return *g_state;
}

void FreeState() {
  MemFree(g_state);
  g_state = nullptr;
  g_reduced = false;
}

void CheckPixels(const QImg* image, int32_t site) {
  if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, site);
  if (!image->pixels || !ImgValid(image)) ErrRaise(kGrpImage, kImgCorrupted, site);
  const int32_t bpp = ImgBytesPP(image->bits);
  if (bpp == 0) ErrRaise(kGrpImage, kImgUnsupported, site);
  if (image->bytespp != bpp || image->width <= 0 || image->height <= 0 ||
      int64_t{image->width} * image->height * bpp != image->size)
    ErrRaise(kGrpImage, kImgCorrupted, site);
  if (!image->external && MemSize(image->pixels) < image->size) ErrRaise(kGrpImage, kImgCorrupted, site);
}

}  // namespace pal


const PalState* PalCurrentState() { return g_state; }

int32_t PalNearest(const uint8_t* palette, int32_t count, int32_t r, int32_t g, int32_t b) {
  int32_t best = INT32_MAX;
  int32_t index = 0;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* p = palette + 3 * i;
    const int32_t dg = g - p[1];
    const int32_t d = dg * dg * 3481;
    if (d > best) continue;
    const int32_t dr = r - p[2];
    const int32_t db = b - p[0];
    const int32_t dist = d + dr * dr * 900 + db * db * 121;
    if (dist < best) {
      best = dist;
      index = i;
    }
  }
  return index;
}

// ---- state ----

void PalClearVars() {
  Monitored("PalOpt.PalClearVars", [&] {
    PalState& s = pal::State(1);
    std::memset(s.cells, 0xFF, sizeof s.cells);  // all -1
    s.used = 0;
    pal::g_reduced = false;
  });
}

void PalInit() {
  Monitored("PalOpt.PalInit", [&] {
    if (!g_state) {
      MemAllocHeld(g_state, static_cast<int64_t>(sizeof(PalState)), 2, kMemNew,
               "PalOpt.PalInit.quantP");
      std::memset(g_state, 0, sizeof(PalState));
    }
    PalClearVars();
  });
}

void PalDone() {
  Monitored("PalOpt.PalDone", [&] {
    pal::FreeState();
  });
}

// ---- counting ----

namespace {

inline void AddCount(int32_t* cells, int32_t cell, int64_t n) {
  const int64_t v = int64_t{cells[cell]} + n;
  cells[cell] = static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX));
}

// Neighbouring pixels mostly fall into the same cell; adding whole runs
// keeps the loop free of store-to-load stalls on one cell.
template <int Step, class CellOf>
void CountRuns(int32_t* cells, const uint8_t* p, int64_t n, CellOf cell_of) {
  if (n <= 0) return;
  int32_t run_cell = cell_of(p);
  int64_t run = 0;
  for (int64_t i = 0; i < n; ++i, p += Step) {
    const int32_t cell = cell_of(p);
    if (cell != run_cell) {
      AddCount(cells, run_cell, run);
      run_cell = cell;
      run = 0;
    }
    ++run;
  }
  AddCount(cells, run_cell, run);
}

template <int Step>
void CountTrue(int32_t* cells, const uint8_t* p, int64_t n) {
  CountRuns<Step>(cells, p, n, [](const uint8_t* q) { return PalCellIndex(q[2], q[1], q[0]); });
}

// 15 and 16-bit words: 6-bit coordinates (R5 * 2, G, B5 * 2).
template <bool Is16>
void CountWords(int32_t* cells, const uint8_t* p, int64_t n) {
  CountRuns<2>(cells, p, n, [](const uint8_t* q) {
    const uint32_t w = q[0] | (q[1] << 8);
    const uint32_t b6 = (w & 0x1F) << 1;
    if constexpr (Is16) {
      return static_cast<int32_t>(((w >> 11) << 1) | (((w >> 5) & 0x3F) << 6) | (b6 << 12));
    } else {
      return static_cast<int32_t>((((w >> 10) & 0x1F) << 1) | (((w >> 5) & 0x1F) << 7) |
                                  (b6 << 12));
    }
  });
}

void Count8(PalState& s, const QImg* image) {
  Monitored("PalOpt.Count8", [&] {
    int64_t counts[256] = {};
    const uint8_t* p = image->pixels;
    const int64_t n = image->size;
    for (int64_t i = 0; i < n; ++i) ++counts[p[i]];
    for (int32_t i = 0; i < 256; ++i) {
      if (counts[i] <= 0) continue;
      const uint8_t* e = image->palette + 3 * i;
      AddCount(s.cells, PalCellIndex(e[2], e[1], e[0]), counts[i]);
    }
  });
}

}  // namespace

void PalCountColors(const QImg* image) {
  Monitored("PalOpt.PalCountColors", [&] {
    PalState& s = pal::State(3);
    if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, 7);
    if (ImgBytesPP(image->bits) == 0) return;  // other depths add nothing
    pal::CheckPixels(image, 4);
    const int64_t n = int64_t{image->width} * image->height;
    switch (image->bits) {
      case 8: Count8(s, image); break;
      case 15: CountWords<false>(s.cells, image->pixels, n); break;
      case 16: CountWords<true>(s.cells, image->pixels, n); break;
      case 24: CountTrue<3>(s.cells, image->pixels, n); break;
      case 32: CountTrue<4>(s.cells, image->pixels, n); break;
      default: break;
    }
  });
}

// ---- reduction ----

namespace {

// Round half to even of num / den for den > 0, num >= 0.
inline int32_t RoundedQuotient(int64_t num, int64_t den) {
  int64_t q = num / den;
  const int64_t twice = 2 * (num - q * den);
  if (twice > den || (twice == den && (q & 1))) ++q;
  return static_cast<int32_t>(q);
}

// Weighted deviation sum from integer moments: sum e*(m - x)^2 exactly.
inline double Spread(Int128 s0, Int128 s1, Int128 s2, int64_t m) {
  const Int128 v = s2 - Int128(2 * m) * s1 + Int128(m) * Int128(m) * s0;
  return ToDouble(v);
}

struct BoxSums {
  int64_t h = 0, hr = 0, hg = 0, hb = 0;  // weights h = cell + 1 (every seen colour)
};

BoxSums SumBox(const PalState& s, const PalBox& b) {
  BoxSums t;
  for (int32_t bb = b.bmin; bb <= b.bmax; ++bb)
    for (int32_t gg = b.gmin; gg <= b.gmax; ++gg) {
      const int32_t* row = s.cells + (gg << 6) + (bb << 12);
      int64_t h = 0, hr = 0;
      for (int32_t rr = b.rmin; rr <= b.rmax; ++rr) {
        const int64_t w = int64_t{row[rr]} + 1;
        h += w;
        hr += w * rr;
      }
      t.h += h;
      t.hr += hr;
      t.hg += h * gg;
      t.hb += h * bb;
    }
  return t;
}

// Bounds, mean and spreads of a new or changed box, in one pass over its cells.
void ShrinkBox(PalState& s, PalBox& b) {
  Monitored("PalOpt.ShrinkBox", [&] {
    int32_t rlo = 64, rhi = -1, glo = 64, ghi = -1, blo = 64, bhi = -1;
    int64_t h = 0, hr = 0, hg = 0, hb = 0;
    Int128 e0 = 0, er = 0, eg = 0, eb = 0, err = 0, egg = 0, ebb = 0;
    for (int32_t bb = b.bmin; bb <= b.bmax; ++bb) {
      bool plane_seen = false;
      for (int32_t gg = b.gmin; gg <= b.gmax; ++gg) {
        const int32_t* row = s.cells + (gg << 6) + (bb << 12);
        int64_t rh = 0, rhr = 0, re = 0, rer = 0, rerr = 0;
        int32_t first = 64, last = -1;
        for (int32_t rr = b.rmin; rr <= b.rmax; ++rr) {
          const int32_t v = row[rr];
          if (v < 0) continue;
          if (first > rr) first = rr;
          last = rr;
          const int64_t w = int64_t{v} + 1;
          rh += w;
          rhr += w * rr;
          re += v;
          rer += int64_t{v} * rr;
          rerr += int64_t{v} * rr * rr;
        }
        if (last < 0) continue;
        plane_seen = true;
        rlo = std::min(rlo, first);
        rhi = std::max(rhi, last);
        glo = std::min(glo, gg);
        ghi = std::max(ghi, gg);
        h += rh;
        hr += rhr;
        hg += rh * gg;
        hb += rh * bb;
        e0 += re;
        er += rer;
        err += rerr;
        eg += Int128(re) * Int128(gg);
        egg += Int128(re) * Int128(gg) * Int128(gg);
        eb += Int128(re) * Int128(bb);
        ebb += Int128(re) * Int128(bb) * Int128(bb);
      }
      if (plane_seen) {
        blo = std::min(blo, bb);
        bhi = std::max(bhi, bb);
      }
    }
    // An empty box keeps its bounds.
    if (rhi >= 0) {
      b.rmin = rlo;
      b.rmax = rhi;
      b.gmin = glo;
      b.gmax = ghi;
      b.bmin = blo;
      b.bmax = bhi;
    }
    b.rext = b.rmax - b.rmin;
    b.gext = b.gmax - b.gmin;
    b.bext = b.bmax - b.bmin;
    b.size = (b.bext * b.bext + b.rext * b.rext + b.gext * b.gext) * 121;
    int32_t mr = 0, mg = 0, mb = 0;
    if (h > 0) {
      mr = RoundedQuotient(hr, h);
      mg = RoundedQuotient(hg, h);
      mb = RoundedQuotient(hb, h);
    }
    b.rspread = Spread(e0, er, err, mr) * 900.0;
    b.gspread = Spread(e0, eg, egg, mg) * 3481.0;
    b.bspread = Spread(e0, eb, ebb, mb) * 121.0;
    b.rmid = (b.rmin + b.rmax) / 2;
    b.gmid = (b.gmin + b.gmax) / 2;
    b.bmid = (b.bmin + b.bmax) / 2;
  });
}

void SplitBoxes(PalState& s) {
  Monitored("PalOpt.SplitBoxes", [&] {
    PalBox& first = s.boxes[0];
    first = PalBox{};
    first.rmax = first.gmax = first.bmax = 63;
    ShrinkBox(s, first);
    s.box_count = 1;
    while (s.box_count < s.target) {
      double best = -1.0;
      int32_t chosen = -1, axis = 0;
      for (int32_t i = 0; i < s.box_count; ++i) {
        const PalBox& b = s.boxes[i];
        if (b.size <= 0) continue;
        if (b.rspread > best) best = b.rspread, chosen = i, axis = 0;
        if (b.gspread > best) best = b.gspread, chosen = i, axis = 1;
        if (b.bspread > best) best = b.bspread, chosen = i, axis = 2;
      }
      if (chosen < 0) break;
      PalBox& old_box = s.boxes[chosen];
      const int32_t ext[3] = {old_box.rext, old_box.gext, old_box.bext};
      // A box without spread on any axis would be cut on an axis it may not
      // span, leaving an empty box; cut its longest axis instead.
      if (ext[axis] == 0) axis = ext[0] >= ext[1] ? (ext[0] >= ext[2] ? 0 : 2)
                                                  : (ext[1] >= ext[2] ? 1 : 2);
      PalBox& new_box = s.boxes[s.box_count];
      new_box = old_box;
      switch (axis) {
        case 0:
          old_box.rmax = old_box.rmid;
          new_box.rmin = old_box.rmid + 1;
          break;
        case 1:
          old_box.gmax = old_box.gmid;
          new_box.gmin = old_box.gmid + 1;
          break;
        default:
          old_box.bmax = old_box.bmid;
          new_box.bmin = old_box.bmid + 1;
          break;
      }
      ++s.box_count;
      ShrinkBox(s, old_box);
      ShrinkBox(s, new_box);
    }
  });
}

void CreateCorrectionMap(PalState& s) {
  Monitored("PalOpt.CreateCorrectionMap", [&] {
    for (int32_t i = 0; i < 256; ++i) s.correction[i] = i < 4 ? 0 : i;
  });
}

// Palette colour of a box: the weighted mean cell, times 4, corrected.
void CalcBoxColor(const PalState& s, const PalBox& b, uint8_t* entry) {
  Monitored("PalOpt.CalcBoxColor", [&] {
    const BoxSums t = SumBox(s, b);
    if (t.h <= 0) {
      entry[0] = entry[1] = entry[2] = 0;
      return;
    }
    entry[0] = static_cast<uint8_t>(s.correction[(4 * t.hb) / t.h]);
    entry[1] = static_cast<uint8_t>(s.correction[(4 * t.hg) / t.h]);
    entry[2] = static_cast<uint8_t>(s.correction[(4 * t.hr) / t.h]);
  });
}

void CreateInverseBoxMap(PalState& s, const PalBox& b, int32_t index) {
  Monitored("PalOpt.CreateInverseBoxMap", [&] {
    for (int32_t bb = b.bmin; bb <= b.bmax; ++bb)
      for (int32_t gg = b.gmin; gg <= b.gmax; ++gg) {
        int32_t* row = s.cells + (gg << 6) + (bb << 12);
        for (int32_t rr = b.rmin; rr <= b.rmax; ++rr) row[rr] = index;
      }
  });
}

void CreateHighPalette(PalState& s) {
  Monitored("PalOpt.CreateHighPalette", [&] {
    for (int32_t i = 0; i < s.box_count; ++i) {
      CalcBoxColor(s, s.boxes[i], s.palette + 3 * i);
      CreateInverseBoxMap(s, s.boxes[i], i);
    }
  });
}

void CreateLowPalette(PalState& s) {
  Monitored("PalOpt.CreateLowPalette", [&] {
    int32_t next = 0;
    for (int32_t cell = 0; cell < kPalCells; ++cell) {
      if (s.cells[cell] == -1) continue;
      uint8_t* e = s.palette + 3 * next;
      e[0] = static_cast<uint8_t>(s.correction[((cell >> 12) & 63) * 4]);
      e[1] = static_cast<uint8_t>(s.correction[((cell >> 6) & 63) * 4]);
      e[2] = static_cast<uint8_t>(s.correction[(cell & 63) * 4]);
      s.cells[cell] = next++;
    }
  });
}

}  // namespace

namespace pal {

void SetDarkColorFirst(PalState& s) {
  Monitored("PalOpt.SetDarkColorFirst", [&] {
    const int32_t dark = PalNearest(s.palette, s.target, 0, 0, 0);
    if (dark == 0) return;
    std::swap_ranges(s.palette, s.palette + 3, s.palette + 3 * dark);
    for (int32_t& v : s.cells) v = v == 0 ? dark : (v == dark ? 0 : v);
  });
}

}  // namespace pal

using pal::SetDarkColorFirst;

void PalReduce(int32_t colors) {
  Monitored("PalOpt.PalReduce", [&] {
    PalState& s = pal::State(5);
    // Counts are turned into palette indices: a second reduction without
    // clearing would read indices as counts.
    if (pal::g_reduced) ErrRaise(kGrpImage, kImgInitFunction, 6);
    std::memset(s.palette, 255, sizeof s.palette);
    s.target = std::clamp(colors, 2, kPalMaxColors);
    s.used = static_cast<int32_t>(
        std::count_if(s.cells, s.cells + kPalCells, [](int32_t v) { return v != -1; }));
    s.box_count = 0;
    CreateCorrectionMap(s);
    if (s.target < s.used) {
      SplitBoxes(s);
      CreateHighPalette(s);
    } else {
      CreateLowPalette(s);
    }
    SetDarkColorFirst(s);
    pal::g_reduced = true;
  });
}

}  // namespace vek
