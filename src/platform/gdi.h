// Bitmaps, device contexts, palettes and global memory blocks: the part of
// the Windows graphics interface the image core uses to exchange pictures
// with hosts and to draw them.
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
using ::HGDIOBJ;
using ::HGLOBAL;
using ::HPALETTE;
using ::HWND;
using ::LOGPALETTE;
using ::LONG;
using ::PALETTEENTRY;
using ::RECT;
using ::RGBQUAD;
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
inline int GetObject(HGDIOBJ h, int size, void* out) { return ::GetObjectA(h, size, out); }
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
struct HPALETTE__;
struct HWND__;
using HBITMAP = HBITMAP__*;
using HBRUSH = HBRUSH__*;
using HDC = HDC__*;
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

struct PALETTEENTRY {
  BYTE peRed, peGreen, peBlue, peFlags;
};

struct LOGPALETTE {
  WORD palVersion;
  WORD palNumEntries;
  PALETTEENTRY palPalEntry[1];
};

inline constexpr DWORD BI_RGB = 0;
inline constexpr DWORD BI_BITFIELDS = 3;
inline constexpr UINT DIB_RGB_COLORS = 0;
inline constexpr UINT DIB_PAL_COLORS = 1;
inline constexpr int BITSPIXEL = 12;
inline constexpr int RASTERCAPS = 38;
inline constexpr int SIZEPALETTE = 104;
inline constexpr int RC_BITBLT = 0x0001;
inline constexpr int RC_PALETTE = 0x0100;
inline constexpr int RC_DIBTODEV = 0x0200;
inline constexpr DWORD SRCCOPY = 0x00CC0020;
inline constexpr UINT SYSPAL_ERROR = 0;
inline constexpr UINT SYSPAL_STATIC = 1;
inline constexpr UINT SYSPAL_NOSTATIC = 2;
inline constexpr BYTE PC_NOCOLLAPSE = 0x04;
inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GDI_ERROR = 0xFFFFFFFFu;
inline constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;

// Device contexts. GetDC(nullptr) is the screen; CreateCompatibleDC makes a
// memory context (of the screen for nullptr) holding no bitmap of its own.
HDC GetDC(HWND window);
int ReleaseDC(HWND window, HDC dc);
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);
// Bitmaps and palettes; returns the object previously selected, or null.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// Fails (0) for unknown handles and for objects still selected into a context.
BOOL DeleteObject(HGDIOBJ object);
// BITMAP or DIBSECTION of a bitmap (by `size`), entry count (WORD) of a palette.
int GetObject(HGDIOBJ object, int size, void* out);
int GetDeviceCaps(HDC dc, int index);

// Bitmaps: DIB sections (8, 16, 24 or 32 bits; 16 is 5-5-5 unless bit-field
// masks say 5-6-5), device-dependent bitmaps in a given format, and device
// bitmaps in the device's format whose bits only GetDIBits delivers.
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
// Objects and global blocks alive now (stock objects excluded).
int LiveObjectCount();

}  // namespace vek::gdi

#endif
