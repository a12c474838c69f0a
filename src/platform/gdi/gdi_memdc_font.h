// Fonts of the in-memory graphics layer (gdi_memdc.cpp), on FreeType and
// fontconfig. Only the layer itself uses this header.
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <functional>

#include "platform/gdi/gdi.h"

namespace vek::gdi::detail {

// What CreateFont asks for (the fields of a LOGFONT that matter here).
struct FontRequest {
  int height = 0, width = 0, weight = 0;
  bool italic = false, underline = false, strike_out = false;
  DWORD quality = 0;
  char face[32] = {};  // zero-terminated, at most 31 characters
};

struct FontFace;  // a loaded face at the requested size

// Null when no installed face could be loaded.
FontFace* FontOpen(const FontRequest& request);
void FontClose(FontFace* font);
// Releases the loaded faces and the font libraries; fonts must be closed first.
void FontShutdown();

// The cell: ascent above the baseline, descent below it, in pixels.
int FontAscent(const FontFace* font);
int FontDescent(const FontFace* font);
bool FontMonochrome(const FontFace* font);
// Sum of the advances of the text's glyphs.
int64_t FontTextWidth(FontFace* font, const char* text, int count);

// Calls `plot`(x, y, coverage 1..255) for every inked pixel of the text drawn
// with its cell's top-left corner at (x, y), underline and strike-out
// included over `width` pixels (the text's extent).
using FontPlot = std::function<void(int64_t x, int64_t y, int coverage)>;
void FontDraw(FontFace* font, const char* text, int count, int64_t x, int64_t y, int64_t width,
              const FontPlot& plot);

}  // namespace vek::gdi::detail

#endif
