// The stored orientation of JPEG (EXIF) and TIFF pictures, and whether the
// readers apply it. Off by default: pictures load in the order they are
// stored in; on, they load as cameras and browsers show them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"

namespace vek {

// Orientation values as EXIF and TIFF define them: 1 stored order, 2 mirrored,
// 3 turned half round, 4 upside down, 5 transposed, 6 turned a quarter
// clockwise to show, 7 transverse, 8 turned a quarter anticlockwise to show.
inline constexpr int32_t kOrientTopLeft = 1;

// Process-wide switch: nonzero on, 0 off, kUndefined only queries; returns
// the setting.
int32_t StillSetAutoOrient(int32_t on);
bool StillAutoOrient();

// Turns `img` from the stored order into the shown one; values outside 2..8
// change nothing.
void OrientImage(QImg& img, int32_t orientation);

// The Orientation of an EXIF block (the APP1 payload after "Exif\0\0"), 1
// when it has none or the block is damaged.
int32_t ExifOrientation(const uint8_t* data, size_t size);

}  // namespace vek
