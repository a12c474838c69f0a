// JPEG files through libjpeg: three entry points that open, read or write a
// whole file, answer 0 on success and never leave the process on a library
// error (the library's text is kept for the caller instead).
#pragma once

#include <cstdint>

namespace vek {

// Largest width or height the readers accept.
inline constexpr int32_t kJpegMaxSide = 65500;

// Width, height and the components read_JPEG_file delivers (1 grey, 3 colour),
// and the EXIF orientation (1 without one) when `orientation` is not null.
int info_JPEG_file(const char* name, int32_t* width, int32_t* height, int32_t* components,
                   int32_t* orientation = nullptr);

// Decodes the whole picture into `buffer` (`capacity` bytes): rows top-down,
// width x components bytes each, colour pixels blue, green, red. CMYK and
// YCCK files are delivered as colour. A picture that does not fit the buffer
// is refused before anything is decoded. The rows come in stored order; the
// EXIF orientation (1 without one) goes to `orientation` when not null.
int read_JPEG_file(const char* name, uint8_t* buffer, int64_t capacity, int32_t* width,
                   int32_t* height, int32_t* components, int32_t* orientation = nullptr);

// Writes a baseline JFIF file from rows of blue, green, red pixels at the
// given quality (0 to 100). A failed write leaves no file behind.
int write_JPEG_file(const char* name, const uint8_t* pixels, int32_t width, int32_t height,
                    int32_t quality);

// The library's message of the last failing call ("" when none).
const char* JpegLastMessage();
// Records a failure's text for JpegLastMessage (the frame encoder's too).
void JpegSetLastMessage(const char* text);

}  // namespace vek
