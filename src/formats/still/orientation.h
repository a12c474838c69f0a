// The stored orientation of JPEG (EXIF) and TIFF pictures, and whether the
// readers apply it. Off by default: pictures load in the order they are
// stored in; on, they load as cameras and browsers show them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/exif/exif_orientation.h"
#include "image/image.h"

namespace vek {

// Process-wide switch: nonzero on, 0 off, kUndefined only queries; returns
// the setting.
int32_t StillSetAutoOrient(int32_t on);
bool StillAutoOrient();

// Turns `img` from the stored order into the shown one; values outside 2..8
// change nothing.
void OrientImage(QImg& img, int32_t orientation);

}  // namespace vek
