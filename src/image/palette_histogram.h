// The histogram quantiser, an extension beside the palette optimiser: a
// variance-minimising median cut over a 6-bit-per-channel histogram that
// keeps each cell's colour sums, then k-means passes over the cells; remaps
// with error diffusion that stays still where the picture stays still.
//
// Many images, one palette:
//   HqBegin();
//   for each frame: HqCount(frame);
//   HqBuild(255);
//   for each frame: HqRemap(frame, out, dither);   // remembers the last frame
//   HqEnd();
#pragma once

#include <cstdint>

#include "image/image.h"

namespace vek {

// Palette modes of the extension (PalSetMode).
enum PalMode : int32_t {
  kPalModeAuto = 0,       // GIF: the histogram quantiser; other 8-bit outputs: the optimiser
  kPalModeOptimiser = 1,  // the palette optimiser for every output
  kPalModeHistogram = 2,  // the histogram quantiser for every 8-bit output
};
// Process-wide; clamps, stores and returns the mode; the undefined marker
// only queries.
int32_t PalSetMode(int32_t mode);

// Allocates (or clears) the quantiser and forgets the last remapped frame.
// With `runs` (an LZW-coded output), dithering repeats the left neighbour's
// entry where that costs little: fewer bytes for a little distance.
void HqBegin(bool runs = false);
// Adds the image's colours (any depth) to the histogram.
void HqCount(const QImg* image);
// Builds a palette of at most `colors` (1..256) entries from the counts.
void HqBuild(int32_t colors);
// Makes `destination` an 8-bit image with the built palette. With `dither`,
// error diffusion; pixels that equal the previous frame's (same size) take
// the previous frame's index, so still areas keep their pattern.
void HqRemap(const QImg* source, QImg* destination, bool dither);
// Frees the quantiser.
void HqEnd();
// True between HqBuild and HqEnd.
bool HqReady();
// The built palette (blue, green, red) and its entry count, when ready.
const uint8_t* HqPalette(int32_t& count);

// One image on its own: begin, count, build, remap, end.
void HqConvTo8bit(const QImg* source, QImg* destination, int32_t colors, bool dither,
                  bool runs = false);

}  // namespace vek
