// Palette optimisation and dithering (PalOpt): reduces true-colour and
// high-colour images to 8 bits with an optimised palette of up to 256 entries.
//
// One image at a time: ConvTo8bit. One palette for many images (a movie):
//   PalInit(); PalClearVars();
//   for each frame: PalCountColors(frame);     // counts add up across calls
//   PalReduce(256);
//   for each frame: PalRemap(frame, out, mode);
//   PalDone();
#pragma once

#include <cstdint>

#include "image/image.h"

namespace vek {

// 64 x 64 x 64 colour cells; index = (R >> 2) + (G >> 2) * 64 + (B >> 2) * 4096.
inline constexpr int32_t kPalCells = 262144;
inline constexpr int32_t kPalMaxColors = 256;

inline constexpr int32_t PalCellIndex(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<int32_t>((r >> 2) | ((g >> 2) << 6) | ((b >> 2) << 12));
}

// Remap modes of PalRemap and ConvTo8bit.
enum PalRemapMode : int32_t {
  kRemapPlain = 0,  // nearest palette colour, no dithering
  kRemapLight = 1,  // threshold matrix
  kRemapHeavy = 2,  // error diffusion
};

// A colour box of the split, bounds inclusive in 6-bit cell coordinates.
struct PalBox {
  int32_t rmin, rmax, gmin, gmax, bmin, bmax;
  int32_t rext, gext, bext;
  int32_t size;  // (bext^2 + rext^2 + gext^2) * 121
  double rspread, gspread, bspread;
  int32_t rmid, gmid, bmid;
};

// The library-wide quantiser state.
struct PalState {
  // First the histogram (-1 never seen, n - 1 when seen n times), after
  // PalReduce the inverse colour map (palette index, or -1).
  int32_t cells[kPalCells];
  int32_t used;                  // cells that are not -1, set by PalReduce
  uint8_t palette[768];          // blue, green, red per entry
  int32_t correction[256];       // channel value -> value put into the palette
  int32_t box_count;
  PalBox boxes[kPalMaxColors];
  int32_t target;                // palette size asked of PalReduce, 2..256
};

// Allocates the state when it does not exist yet and clears it.
void PalInit();
// Sets every cell to "never seen" and the used-colour count to 0.
void PalClearVars();
// Adds the image's colours (8, 15, 16, 24 or 32 bits) to the histogram.
void PalCountColors(const QImg* image);
// Builds the palette and the inverse map for at most `colors` entries (2..256).
void PalReduce(int32_t colors);
// PalReduce followed by `passes` (0..16) k-means passes over the counted
// colours; every counted colour then maps to its nearest entry rather than to
// its box's colour. Much closer pictures for photos, at some cost in time.
void PalReduceRefined(int32_t colors, int32_t passes);
// The process-wide choice of palette: 0 (the default) the optimiser alone,
// 1..16 that many refinement passes after it. Clamps, stores and returns the
// value; the undefined marker only queries.
int32_t PalSetRefinement(int32_t passes);
// PalReduce or PalReduceRefined, as chosen.
void PalReduceChosen(int32_t colors);
// Makes `destination` an 8-bit image of the source's size with the optimised
// palette. The source is never changed; source and destination may be the
// same record. Modes other than 0, 1, 2 end the call without doing anything.
void PalRemap(QImg* source, QImg* destination, int32_t mode);
// Frees the state.
void PalDone();
// The whole sequence for one image: PalInit, PalCountColors, PalReduce(256),
// PalRemap, PalDone.
void ConvTo8bit(QImg* source, QImg* destination, int32_t mode);

// The state, or null when none is allocated (for inspection and tests).
const PalState* PalCurrentState();

// Nearest palette entry among the first `count` by the weighted distance
// dG^2 * 3481 + dR^2 * 900 + dB^2 * 121; the lowest index wins ties.
int32_t PalNearest(const uint8_t* palette, int32_t count, int32_t r, int32_t g, int32_t b);

// Threshold matrix of light dithering: 128 x 128 levels, 64 values each
// appearing 256 times; index (row & 127) * 128 + (column & 127).
const uint8_t* PalThresholdMatrix();

// Error table of heavy dithering for weight w (sixteenths): 513 entries
// indexed by 256 + error.
void _MakeErrTable(int32_t* table, int32_t w);

}  // namespace vek
