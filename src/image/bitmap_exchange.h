// Exchange of image records with Windows bitmap forms (packed device-
// independent bitmaps, bitmap handles, global packed blocks) and drawing on
// device contexts (ImgBasic).
#pragma once

#include <cstdint>

#include "image/image.h"
#include "platform/gdi/gdi.h"

namespace vek {

// A source rectangle: left, top, width, height in image pixels. A width or
// height of 0 or less means "to the image's edge".
struct ImgRect {
  int32_t x, y, w, h;
};

// Reads a packed bitmap: a BITMAPINFOHEADER (size field 40, or 1064 when the
// 256-entry colour table is counted in), its colour table or bit-field masks,
// then the rows. Bit counts 8, 15, 16 (5-5-5 unless the masks say 5-6-5), 24
// and 32; positive heights are bottom-up, negative top-down.
void DibToQimg(QImg* image, const void* dib);
// The same, for a block of `bytes` bytes: every offset and row is checked
// against the block's end.
void DibToQimgEx(QImg* image, const void* dib, int64_t bytes);

// Copies a bitmap into the image; -1 on success, 0 when the bitmap cannot be read.
int32_t HBitmapToQimg(gdi::HBITMAP bitmap, QImg* image);
// Makes a 24-bit DIB section of the image; -1 on success, 0 on failure.
int32_t QimgToHBitmap(QImg* image, gdi::HBITMAP* bitmap);
// Makes one fixed global block holding a packed bitmap of the image (header
// size field 40, or 1064 with the 256-entry colour table of an 8-bit image);
// -1 on success, 0 on failure. The caller frees the block with GlobalFree.
int32_t ImgToDIBWin3(QImg* image, gdi::HGLOBAL* block);

// Realises the palette (256 entries blue, green, red) on a palette device;
// nothing on other devices. The library keeps the last palette object made.
void PalPut(const uint8_t* palette, gdi::HDC dc);
// Deletes the palette object kept by PalPut (at unload).
void PalPutDone();

// Draws the rectangle of the image (null: all of it) at (x, y). On palette
// devices images deeper than 8 bits are first reduced with the palette mode
// of the conversion to 8 bits (0 optimised, 1 dithered, 2 or 4 grey).
void ImgPutEx(QImg* image, const ImgRect* source, gdi::HDC dc, int32_t x, int32_t y,
              int32_t palette_mode);
void ImgPut(QImg* image, gdi::HDC dc, int32_t x, int32_t y);

}  // namespace vek
