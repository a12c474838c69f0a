// Bitmaps, device contexts, palettes, fonts and global memory blocks: the
// part of the Windows graphics interface the image core uses to exchange
// pictures with hosts, to draw them, and to render text.
//
// On Windows the names below map to the system's own (see the _WIN32 branch).
// Elsewhere this library provides them itself, working on pixel surfaces in
// memory, so that everything drawn can be read back. Handles are checked
// against the objects this layer made: any other value gives the call's
// failure result, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>

namespace vek::gdi {
using ::BITMAP;
using ::BITMAPINFO;
using ::BITMAPINFOHEADER;
using ::BOOL;
using ::BYTE;
using ::COLORREF;
using ::DIBSECTION;
using ::DWORD;
using ::HBITMAP;
using ::HBRUSH;
using ::HDC;
using ::HFONT;
using ::HGDIOBJ;
using ::HGLOBAL;
using ::HPALETTE;
using ::HWND;
using ::LOGPALETTE;
using ::LONG;
using ::PALETTEENTRY;
using ::RECT;
using ::RGBQUAD;
using ::SIZE;
using ::UINT;
using ::WORD;
using ::BitBlt;
using ::CreateSolidBrush;
using ::FillRect;
using ::CreateBitmap;
using ::CreateCompatibleBitmap;
using ::CreateCompatibleDC;
using ::CreateDIBSection;
using ::CreatePalette;
using ::DeleteDC;
using ::DeleteObject;
using ::GetBitmapBits;
using ::GetDC;
using ::GetDeviceCaps;
using ::GetDIBColorTable;
using ::GetDIBits;
using ::GetPixel;
using ::GlobalAlloc;
using ::GlobalFree;
using ::GlobalLock;
using ::GlobalSize;
using ::GlobalUnlock;
using ::RealizePalette;
using ::ReleaseDC;
using ::SelectObject;
using ::SelectPalette;
using ::SetDIBitsToDevice;
using ::SetSystemPaletteUse;
using ::SetBkColor;
using ::SetBkMode;
using ::SetTextColor;
inline int GetObject(HGDIOBJ h, int size, void* out) { return ::GetObjectA(h, size, out); }
// The 8-bit (ANSI) forms whatever UNICODE says.
inline HFONT CreateFont(int height, int width, int escapement, int orientation, int weight,
                        DWORD italic, DWORD underline, DWORD strike_out, DWORD charset,
                        DWORD out_precision, DWORD clip_precision, DWORD quality,
                        DWORD pitch_and_family, const char* face) {
  return ::CreateFontA(height, width, escapement, orientation, weight, italic, underline,
                       strike_out, charset, out_precision, clip_precision, quality,
                       pitch_and_family, face);
}
inline BOOL GetTextExtentPoint32(HDC dc, const char* text, int count, SIZE* size) {
  return ::GetTextExtentPoint32A(dc, text, count, size);
}
inline BOOL TextOut(HDC dc, int x, int y, const char* text, int count) {
  return ::TextOutA(dc, x, y, text, count);
}
#include "platform/gdi/gdi_win32_names.h"
}  // namespace vek::gdi

#else

namespace vek::gdi {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using UINT = uint32_t;
using BOOL = int32_t;
using COLORREF = uint32_t;  // 0x00BBGGRR

// Opaque handle types; their values are looked up, never dereferenced.
struct HBITMAP__;
struct HBRUSH__;
struct HDC__;
struct HFONT__;
struct HPALETTE__;
struct HWND__;
using HBITMAP = HBITMAP__*;
using HBRUSH = HBRUSH__*;
using HDC = HDC__*;
using HFONT = HFONT__*;
using HPALETTE = HPALETTE__*;
using HWND = HWND__*;
using HGDIOBJ = void*;
using HGLOBAL = void*;

struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;  // positive: bottom-up rows; negative: top-down
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
  BYTE rgbBlue, rgbGreen, rgbRed, rgbReserved;
};

struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];  // colour table, bit-field masks or palette indices follow
};

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  void* bmBits;  // the bits of a DIB section; null for device-dependent bitmaps
};

struct DIBSECTION {
  BITMAP dsBm;
  BITMAPINFOHEADER dsBmih;
  DWORD dsBitfields[3];
  void* dshSection;
  DWORD dsOffset;
};

struct RECT {
  LONG left, top, right, bottom;
};

struct SIZE {
  LONG cx, cy;
};

struct PALETTEENTRY {
  BYTE peRed, peGreen, peBlue, peFlags;
};

struct LOGPALETTE {
  WORD palVersion;
  WORD palNumEntries;
  PALETTEENTRY palPalEntry[1];
};

#include "platform/gdi/gdi_win32_names.h"

// Device contexts. GetDC(nullptr) is the screen; CreateCompatibleDC makes a
// memory context (of the screen for nullptr) holding the stock 1 x 1
// monochrome bitmap. A fresh context draws text black on white, OPAQUE,
// with the stock system font.
HDC GetDC(HWND window);
int ReleaseDC(HWND window, HDC dc);
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
// Bitmaps and fonts; returns the object previously selected, or null.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// Fails (0) for unknown handles and for objects still selected into a context.
BOOL DeleteObject(HGDIOBJ object);
// BITMAP or DIBSECTION of a bitmap (by `size`), entry count (WORD) of a palette.
int GetObject(HGDIOBJ object, int size, void* out);
// LOGPIXELSY is 96 for every context.
int GetDeviceCaps(HDC dc, int index);

// Bitmaps: DIB sections (8, 16, 24 or 32 bits; 16 is 5-5-5 unless bit-field
// masks say 5-6-5), device-dependent bitmaps in a given format (1 bit:
// monochrome, set bits white, rows most significant bit first), and device
// bitmaps in the device's format whose bits only GetDIBits delivers.
// CreateCompatibleBitmap makes a bitmap in the format of the context: the
// screen's for a window context, the selected bitmap's for a memory context,
// so monochrome for a fresh memory context. Rows of device-dependent bitmaps
// are padded to 2 bytes, as GetBitmapBits delivers them.
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits,
                         void* section, DWORD offset);
HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel, const void* bits);
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
LONG GetBitmapBits(HBITMAP bitmap, LONG bytes, void* bits);
// Scan lines in the format of `info` (8 only for 8-bit bitmaps, 16, 24, 32),
// bottom-up or top-down by the sign of its height; null `bits` fills in the header.
int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage);
// The colour table of the DIB section selected into the context.
UINT GetDIBColorTable(HDC dc, UINT start, UINT entries, RGBQUAD* colors);

// Drawing. (x_src, y_src) count from the lower-left corner of the picture
// whatever its row order; scan lines start..start+lines are in `bits`.
// Returns the scan lines drawn, 0 when nothing could be drawn.
int SetDIBitsToDevice(HDC dc, int x_dest, int y_dest, DWORD width, DWORD height, int x_src,
                      int y_src, UINT start, UINT lines, const void* bits,
                      const BITMAPINFO* info, UINT usage);
BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int x_src, int y_src,
            DWORD rop);
COLORREF GetPixel(HDC dc, int x, int y);
// Solid brushes; FillRect paints [left, right) x [top, bottom), clipped to the surface.
HBRUSH CreateSolidBrush(COLORREF color);
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);

// Fonts, resolved through fontconfig to an installed face ("Arial" gives a
// metric-compatible one). A negative height is the character (em) height in
// pixels, a positive one the cell height (ascent + descent), 0 a default;
// a non-zero width scales the average character width. Weights of 600 and
// more are bold; missing bold or italic faces are synthesised. DRAFT_QUALITY
// and NONANTIALIASED_QUALITY render monochrome, the others smooth the glyph
// edges on surfaces of 16 bits and more. Text bytes are the ANSI code page
// (Windows-1252). Escapement and orientation must be 0 (no rotated text).
HFONT CreateFont(int height, int width, int escapement, int orientation, int weight,
                 DWORD italic, DWORD underline, DWORD strike_out, DWORD charset,
                 DWORD out_precision, DWORD clip_precision, DWORD quality,
                 DWORD pitch_and_family, const char* face);
// Width: the sum of the advances, each rounded to whole pixels, no kerning;
// height: ascent + descent.
BOOL GetTextExtentPoint32(HDC dc, const char* text, int count, SIZE* size);
// Each returns the previous value (CLR_INVALID, or 0 for the mode, on failure).
COLORREF SetTextColor(HDC dc, COLORREF color);
COLORREF SetBkColor(HDC dc, COLORREF color);
int SetBkMode(HDC dc, int mode);
// Draws the text with its cell's top-left corner at (x, y); OPAQUE fills the
// cell with the background colour first.
BOOL TextOut(HDC dc, int x, int y, const char* text, int count);

// Palettes (palette devices only realise them).
HPALETTE CreatePalette(const LOGPALETTE* palette);
HPALETTE SelectPalette(HDC dc, HPALETTE palette, BOOL background);
UINT RealizePalette(HDC dc);
UINT SetSystemPaletteUse(HDC dc, UINT use);

// Global memory; every block is fixed, so the handle is the address.
HGLOBAL GlobalAlloc(UINT flags, size_t bytes);
void* GlobalLock(HGLOBAL block);
BOOL GlobalUnlock(HGLOBAL block);
HGLOBAL GlobalFree(HGLOBAL block);
size_t GlobalSize(HGLOBAL block);

// ---- control of the in-memory layer (no Windows counterpart) ----

// What the screen, and every context made compatible with it, reports.
struct ScreenCaps {
  int bits = 32;               // 8, 16, 24 or 32
  bool palette = false;        // RC_PALETTE: drawing goes through realised palettes
  bool dib_to_device = true;   // RC_DIBTODEV: SetDIBitsToDevice works
};
void SetScreenCaps(const ScreenCaps& caps);
ScreenCaps GetScreenCaps();
// Objects (bitmaps, palettes, brushes, fonts, contexts) and global blocks
// alive now, stock objects excluded.
int LiveObjectCount();

}  // namespace vek::gdi

#endif
