// The orientation a camera records in an EXIF block (JPEG's APP1) or a TIFF
// directory, read from the bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek {

// Orientation values as EXIF and TIFF define them: 1 stored order, 2 mirrored,
// 3 turned half round, 4 upside down, 5 transposed, 6 turned a quarter
// clockwise to show, 7 transverse, 8 turned a quarter anticlockwise to show.
inline constexpr int32_t kOrientTopLeft = 1;

// The Orientation of an EXIF block (the APP1 payload after "Exif\0\0"), 1
// when it has none or the block is damaged.
int32_t ExifOrientation(const uint8_t* data, size_t size);

}  // namespace vek
