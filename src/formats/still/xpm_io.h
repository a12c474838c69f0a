// X PixMap files: the two calls the XPM module makes, each taking a file
// name and the exchange record, each returning 0 on success (otherwise a
// status with libXpm's values).
#pragma once

#include <cstdint>

namespace vek {

struct XpmExchange {
  int32_t width;
  int32_t height;
  int32_t colors;   // filled by the calls (colours in the file); callers ignore it
  uint8_t* pixels;  // width x height pixels of blue, green, red; null: size only
  int32_t reserved; // set to 0 by the caller
};

// Reads the file. With a null pixel pointer only width and height are
// filled; otherwise the pixels are written there, and width and height
// must be those of the file (the buffer's size is known from them).
// Transparent pixels ("None") come out black.
int32_t ReadXpm(const char* name, XpmExchange* rec);
// Writes width x height pixels as an XPM 3 file with "#RRGGBB" colours and
// as few characters per pixel as the colour count allows.
int32_t WriteXpm(const char* name, XpmExchange* rec);

}  // namespace vek
