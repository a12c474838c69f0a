// libpng behind the PNG module: read and write structures whose errors jump
// back to the caller (libpng never returns into a failed call and must never
// end the process) with the library's text kept, and warnings passed on.
#pragma once

#include <png.h>

namespace vek {

// Where a structure's messages go: the last error text, and a hook for
// warnings (null: dropped).
struct PngMessages {
  char error[256] = "";
  void (*warning)(const char* text) = nullptr;
};

// Null when the library cannot make the structure.
png_structp PngCreateRead(PngMessages* messages);
png_structp PngCreateWrite(PngMessages* messages);

// Runs `step` (libpng calls only: nothing in it may need a destructor, since
// an error leaves it by a jump) and answers false when libpng reported an
// error; its text is then in the structure's PngMessages.
bool PngGuarded(png_structp png, void (*step)(png_structp png, void* context), void* context);

}  // namespace vek
