// The graphics constants the image core names as gdi::X. Windows' headers
// define the same names as macros, which would turn "gdi::BI_RGB" into
// "gdi::0L": on Windows the macros are dropped here, after <windows.h>, and
// the constants (same values) take their place.
// Included inside namespace vek::gdi by gdi.h only.
#ifdef _WIN32
#undef BI_RGB
#undef BI_BITFIELDS
#undef DIB_RGB_COLORS
#undef DIB_PAL_COLORS
#undef BITSPIXEL
#undef RASTERCAPS
#undef SIZEPALETTE
#undef LOGPIXELSY
#undef RC_BITBLT
#undef RC_PALETTE
#undef RC_DIBTODEV
#undef SRCCOPY
#undef SYSPAL_ERROR
#undef SYSPAL_STATIC
#undef SYSPAL_NOSTATIC
#undef PC_NOCOLLAPSE
#undef GMEM_FIXED
#undef GMEM_ZEROINIT
#undef GDI_ERROR
#undef CLR_INVALID
#undef TRANSPARENT
#undef OPAQUE
#undef FW_NORMAL
#undef FW_BOLD
#undef ANSI_CHARSET
#undef DEFAULT_CHARSET
#undef OUT_DEFAULT_PRECIS
#undef OUT_TT_PRECIS
#undef CLIP_DEFAULT_PRECIS
#undef DEFAULT_QUALITY
#undef DRAFT_QUALITY
#undef NONANTIALIASED_QUALITY
#undef ANTIALIASED_QUALITY
#endif

inline constexpr DWORD BI_RGB = 0;
inline constexpr DWORD BI_BITFIELDS = 3;
inline constexpr UINT DIB_RGB_COLORS = 0;
inline constexpr UINT DIB_PAL_COLORS = 1;
inline constexpr int BITSPIXEL = 12;
inline constexpr int RASTERCAPS = 38;
inline constexpr int SIZEPALETTE = 104;
inline constexpr int LOGPIXELSY = 90;
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
// Background modes of text output.
inline constexpr int TRANSPARENT = 1;
inline constexpr int OPAQUE = 2;
// Font requests.
inline constexpr int FW_NORMAL = 400;
inline constexpr int FW_BOLD = 700;
inline constexpr DWORD ANSI_CHARSET = 0;
inline constexpr DWORD DEFAULT_CHARSET = 1;
inline constexpr DWORD OUT_DEFAULT_PRECIS = 0;
inline constexpr DWORD OUT_TT_PRECIS = 4;
inline constexpr DWORD CLIP_DEFAULT_PRECIS = 0;
inline constexpr DWORD DEFAULT_QUALITY = 0;
inline constexpr DWORD DRAFT_QUALITY = 1;
inline constexpr DWORD NONANTIALIASED_QUALITY = 3;
inline constexpr DWORD ANTIALIASED_QUALITY = 4;
