// Helpers shared by the palette and bitmap files of this module.
#pragma once

#include <cstdint>

#include "foundation/errors.h"
#include "image/image.h"
#include "image/palette.h"

namespace vek::pal {

// Reports the error (raising inside a monitored block); ends the procedure
// silently when the recording lock holds the report back.

// The quantiser state; reports "Cannot initialize image function." when
// PalInit has not made one.
PalState& State(int32_t site);

// Frees the state without announcing itself (usable from clean-ups).
void FreeState();

// True once PalReduce has turned the counts into the inverse map.
extern bool g_reduced;

// Moves the entry nearest to black to index 0, swapping the indices in the map.
void SetDarkColorFirst(PalState& s);

// Checks a record before its pixels are read: known depth, fields that
// agree with each other and with the memory that holds the pixels.
void CheckPixels(const QImg* image, int32_t site);

// Nearest entry for the colour, stored into its cell so each colour is
// searched once. Returns the index.
inline int32_t Learn(PalState& s, int32_t cell, int32_t r, int32_t g, int32_t b) {
  const int32_t i = PalNearest(s.palette, s.target, r, g, b);
  s.cells[cell] = i;
  return i;
}

}  // namespace vek::pal
