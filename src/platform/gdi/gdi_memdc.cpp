// The graphics calls of gdi.h on pixel surfaces in memory.
#ifndef _WIN32

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/gdi/gdi.h"
#include "platform/gdi/gdi_memdc_font.h"

namespace vek::gdi {

namespace {

// Bitmaps larger than this are refused like an exhausted device.
constexpr int64_t kMaxSurfaceBytes = int64_t{1} << 30;

struct Rgb {
  uint8_t r, g, b;
};

struct Bitmap {
  int32_t width = 0, height = 0, bits = 0;  // 1 bit: monochrome, set bits white
  int32_t stride = 0;
  bool dib = false;       // a DIB section: the bits are the caller's to address
  bool top_down = false;  // row order of a DIB section
  bool device = false;    // a device bitmap: GetBitmapBits delivers nothing
  bool r565 = false;      // 16 bits as 5-6-5 rather than 5-5-5
  BITMAPINFOHEADER header{};
  DWORD masks[3] = {};
  std::vector<uint8_t> data;
  std::vector<RGBQUAD> colors;  // colour table of 8-bit bitmaps
  HDC selected_in = nullptr;
};

struct Palette {
  std::vector<PALETTEENTRY> entries;
  int selections = 0;  // contexts holding it
};

struct Context {
  bool window = false;  // made by GetDC, released by ReleaseDC
  HBITMAP bitmap = nullptr;
  HPALETTE palette = nullptr;
  HFONT font = nullptr;
  COLORREF text_color = 0x000000, bk_color = 0xFFFFFF;
  int bk_mode = OPAQUE;
};

struct Font {
  detail::FontRequest request;
  detail::FontFace* face = nullptr;  // loaded on first use for the stock font
  int selections = 0;                // contexts holding it
};

struct Layer {
  uintptr_t next = 0x10000;
  std::unordered_map<uintptr_t, Bitmap> bitmaps;
  std::unordered_map<uintptr_t, Context> contexts;
  std::unordered_map<uintptr_t, Palette> palettes;
  std::unordered_map<uintptr_t, size_t> globals;
  std::unordered_map<uintptr_t, COLORREF> brushes;
  std::unordered_map<uintptr_t, Font> fonts;
  ScreenCaps caps;
  UINT system_palette_use = SYSPAL_STATIC;
  uintptr_t stock_bitmap = 0, stock_palette = 0, stock_font = 0;

  Layer() {
    // A memory context starts with a 1 x 1 monochrome bitmap.
    stock_bitmap = Next();
    Bitmap& b = bitmaps[stock_bitmap];
    b.width = b.height = 1;
    b.bits = 1;
    b.stride = 2;
    b.data.assign(2, 0);
    stock_palette = Next();
    palettes[stock_palette].entries = DefaultEntries();
    // The system font: a bold sans-serif face in a 16-pixel cell.
    stock_font = Next();
    Font& f = fonts[stock_font];
    f.request.height = 16;
    f.request.weight = FW_BOLD;
    f.request.quality = DRAFT_QUALITY;
    std::memcpy(f.request.face, "System", 7);
  }
  uintptr_t Next() {
    next += 4;
    return next;
  }
  // The default palette: the 20 static colours, the rest black.
  static std::vector<PALETTEENTRY> DefaultEntries() {
    static const uint8_t k[20][3] = {
        {0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128},
        {128, 0, 128},   {0, 128, 128},   {192, 192, 192}, {192, 220, 192}, {166, 202, 240},
        {255, 251, 240}, {160, 160, 164}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},
        {255, 255, 0},   {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
    std::vector<PALETTEENTRY> e(20);
    for (int i = 0; i < 20; ++i) e[i] = {k[i][0], k[i][1], k[i][2], 0};
    return e;
  }
};

Layer* g_layer = nullptr;

Layer& L() {
  if (!g_layer) g_layer = new Layer;
  return *g_layer;
}

// Everything goes when the program ends or the library is unloaded: fonts
// first, then the font machinery they use.
struct Teardown {
  ~Teardown() {
    if (g_layer) {
      for (auto& [handle, font] : g_layer->fonts) detail::FontClose(font.face);
      delete g_layer;
      g_layer = nullptr;
    }
    detail::FontShutdown();
  }
} g_teardown;

uintptr_t Key(const void* h) { return reinterpret_cast<uintptr_t>(h); }

Bitmap* FindBitmap(const void* h) {
  auto it = L().bitmaps.find(Key(h));
  return it == L().bitmaps.end() ? nullptr : &it->second;
}
Context* FindContext(const void* h) {
  auto it = L().contexts.find(Key(h));
  return it == L().contexts.end() ? nullptr : &it->second;
}
Palette* FindPalette(const void* h) {
  auto it = L().palettes.find(Key(h));
  return it == L().palettes.end() ? nullptr : &it->second;
}
Font* FindFont(const void* h) {
  auto it = L().fonts.find(Key(h));
  return it == L().fonts.end() ? nullptr : &it->second;
}

// The surface of a context: its selected bitmap unless that is the stock one.
Bitmap* Surface(Context* c) {
  if (!c || !c->bitmap || Key(c->bitmap) == L().stock_bitmap) return nullptr;
  return FindBitmap(c->bitmap);
}

Rgb PaletteColor(const Context* c, int index) {
  const Palette* p = c ? FindPalette(c->palette) : nullptr;
  if (!p) p = FindPalette(reinterpret_cast<void*>(L().stock_palette));
  if (index < 0 || index >= static_cast<int>(p->entries.size())) return {0, 0, 0};
  const PALETTEENTRY& e = p->entries[static_cast<size_t>(index)];
  return {e.peRed, e.peGreen, e.peBlue};
}

// A picture described by a bitmap header: format, geometry and colours.
struct Picture {
  int32_t width = 0, height = 0, bits = 0;
  bool top_down = false, r565 = false;
  int64_t stride = 0;
  Rgb table[256] = {};
  int colors = 0;
};

int64_t StrideOf(int64_t width, int bits) { return ((width * bits + 31) / 32) * 4; }

// Reads and checks a header and its colour table (or masks); false for
// anything this layer does not draw.
bool Describe(const BITMAPINFO* info, UINT usage, const Context* c, Picture& p) {
  if (!info) return false;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biSize < 40 || h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN ||
      h.biPlanes != 1)
    return false;
  if (h.biBitCount != 8 && h.biBitCount != 16 && h.biBitCount != 24 && h.biBitCount != 32)
    return false;
  p.width = h.biWidth;
  p.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  p.top_down = h.biHeight < 0;
  p.bits = h.biBitCount;
  p.stride = StrideOf(p.width, p.bits);
  if (p.stride * p.height > kMaxSurfaceBytes) return false;
  const uint8_t* after = reinterpret_cast<const uint8_t*>(info) + h.biSize;
  if (h.biCompression == BI_BITFIELDS) {
    DWORD m[3];
    std::memcpy(m, after, sizeof m);
    if (p.bits == 16 && m[0] == 0xF800 && m[1] == 0x07E0 && m[2] == 0x001F)
      p.r565 = true;
    else if (p.bits == 16 && m[0] == 0x7C00 && m[1] == 0x03E0 && m[2] == 0x001F)
      p.r565 = false;
    else if (!(p.bits == 32 && m[0] == 0xFF0000 && m[1] == 0xFF00 && m[2] == 0xFF))
      return false;
  } else if (h.biCompression != BI_RGB) {
    return false;
  }
  if (p.bits == 8) {
    if (h.biClrUsed > 256) return false;
    p.colors = h.biClrUsed == 0 ? 256 : static_cast<int>(h.biClrUsed);
    for (int i = 0; i < p.colors; ++i) {
      if (usage == DIB_PAL_COLORS) {
        WORD index;
        std::memcpy(&index, after + 2 * i, 2);
        p.table[i] = PaletteColor(c, index);
      } else {
        RGBQUAD q;
        std::memcpy(&q, after + 4 * i, 4);
        p.table[i] = {q.rgbRed, q.rgbGreen, q.rgbBlue};
      }
    }
  }
  return true;
}

Rgb ReadPixel(const uint8_t* row, int x, int bits, bool r565, const Rgb* table, int colors) {
  switch (bits) {
    case 8: {
      const int i = row[x];
      return i < colors ? table[i] : Rgb{0, 0, 0};
    }
    case 16: {
      const uint32_t w = row[2 * x] | (row[2 * x + 1] << 8);
      if (r565)
        return {static_cast<uint8_t>((w >> 8) & 0xF8), static_cast<uint8_t>((w >> 3) & 0xFC),
                static_cast<uint8_t>(w << 3)};
      return {static_cast<uint8_t>((w >> 7) & 0xF8), static_cast<uint8_t>((w >> 2) & 0xF8),
              static_cast<uint8_t>(w << 3)};
    }
    case 24: return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    default: return {row[4 * x + 2], row[4 * x + 1], row[4 * x]};
  }
}

uint8_t NearestIndex(const std::vector<RGBQUAD>& t, Rgb c) {
  int best = 0;
  int64_t dist = INT64_MAX;
  for (size_t i = 0; i < t.size(); ++i) {
    const int dr = c.r - t[i].rgbRed, dg = c.g - t[i].rgbGreen, db = c.b - t[i].rgbBlue;
    const int64_t d = int64_t{dr} * dr + int64_t{dg} * dg + int64_t{db} * db;
    if (d < dist) dist = d, best = static_cast<int>(i);
  }
  return static_cast<uint8_t>(best);
}

uint8_t* RowOf(Bitmap& b, int y) {
  const int row = b.dib && !b.top_down ? b.height - 1 - y : y;
  return b.data.data() + static_cast<int64_t>(row) * b.stride;
}

// Nearer to white than to black by luminance.
bool IsLight(Rgb c) { return c.r * 30 + c.g * 59 + c.b * 11 >= 128 * 100; }

Rgb ReadBitmap(Bitmap& b, int x, int y) {
  if (b.bits == 1) {
    const bool set = RowOf(b, y)[x >> 3] & (0x80 >> (x & 7));
    return set ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
  }
  Rgb table[256];
  const int n = std::min<int>(256, static_cast<int>(b.colors.size()));
  if (b.bits == 8)
    for (int i = 0; i < n; ++i) table[i] = {b.colors[i].rgbRed, b.colors[i].rgbGreen, b.colors[i].rgbBlue};
  return ReadPixel(RowOf(b, y), x, b.bits, b.r565, table, n);
}

void WriteBitmap(Bitmap& b, int x, int y, Rgb c) {
  uint8_t* row = RowOf(b, y);
  switch (b.bits) {
    case 1: {
      const uint8_t bit = static_cast<uint8_t>(0x80 >> (x & 7));
      if (IsLight(c))
        row[x >> 3] |= bit;
      else
        row[x >> 3] &= static_cast<uint8_t>(~bit);
      break;
    }
    case 8: row[x] = NearestIndex(b.colors, c); break;
    case 16: {
      const uint32_t w = b.r565 ? ((c.r >> 3) << 11) | ((c.g >> 2) << 5) | (c.b >> 3)
                                : ((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3);
      row[2 * x] = static_cast<uint8_t>(w);
      row[2 * x + 1] = static_cast<uint8_t>(w >> 8);
      break;
    }
    case 24:
      row[3 * x] = c.b;
      row[3 * x + 1] = c.g;
      row[3 * x + 2] = c.r;
      break;
    default:
      row[4 * x] = c.b;
      row[4 * x + 1] = c.g;
      row[4 * x + 2] = c.r;
      row[4 * x + 3] = 0;
      break;
  }
}

HBITMAP AddBitmap(Bitmap&& b) {
  const uintptr_t h = L().Next();
  L().bitmaps.emplace(h, std::move(b));
  return reinterpret_cast<HBITMAP>(h);
}

std::vector<RGBQUAD> GreyTable() {
  std::vector<RGBQUAD> t(256);
  for (int i = 0; i < 256; ++i) {
    const BYTE v = static_cast<BYTE>(i);
    t[static_cast<size_t>(i)] = {v, v, v, 0};
  }
  return t;
}

}  // namespace

// ---- contexts ----

HDC GetDC(HWND window) {
  if (window) return nullptr;  // no windows here, only the screen
  const uintptr_t h = L().Next();
  Context& c = L().contexts[h];
  c.window = true;
  c.palette = reinterpret_cast<HPALETTE>(L().stock_palette);
  ++L().palettes[L().stock_palette].selections;
  c.font = reinterpret_cast<HFONT>(L().stock_font);
  ++L().fonts[L().stock_font].selections;
  return reinterpret_cast<HDC>(h);
}

namespace {
void Release(uintptr_t h) {
  Context& c = L().contexts[h];
  if (Bitmap* b = FindBitmap(c.bitmap)) b->selected_in = nullptr;
  if (Palette* p = FindPalette(c.palette)) --p->selections;
  if (Font* f = FindFont(c.font)) --f->selections;
  L().contexts.erase(h);
}
}  // namespace

int ReleaseDC(HWND, HDC dc) {
  Context* c = FindContext(dc);
  if (!c || !c->window) return 0;
  Release(Key(dc));
  return 1;
}

HDC CreateCompatibleDC(HDC dc) {
  if (dc && !FindContext(dc)) return nullptr;
  const uintptr_t h = L().Next();
  Context& c = L().contexts[h];
  c.bitmap = reinterpret_cast<HBITMAP>(L().stock_bitmap);
  c.palette = reinterpret_cast<HPALETTE>(L().stock_palette);
  ++L().palettes[L().stock_palette].selections;
  c.font = reinterpret_cast<HFONT>(L().stock_font);
  ++L().fonts[L().stock_font].selections;
  return reinterpret_cast<HDC>(h);
}

BOOL DeleteDC(HDC dc) {
  Context* c = FindContext(dc);
  if (!c || c->window) return 0;
  Release(Key(dc));
  return 1;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  Context* c = FindContext(dc);
  if (!c) return nullptr;
  if (Bitmap* b = FindBitmap(object)) {
    // Only memory contexts hold bitmaps, and a bitmap sits in one context at a time.
    if (c->window) return nullptr;
    const bool stock = Key(object) == L().stock_bitmap;
    if (!stock && b->selected_in && b->selected_in != dc) return nullptr;
    HGDIOBJ previous = c->bitmap;
    if (Bitmap* old = FindBitmap(previous)) old->selected_in = nullptr;
    if (!stock) b->selected_in = dc;
    c->bitmap = static_cast<HBITMAP>(object);
    return previous;
  }
  if (Font* f = FindFont(object)) {
    HGDIOBJ previous = c->font;
    if (Font* old = FindFont(previous)) --old->selections;
    ++f->selections;
    c->font = static_cast<HFONT>(object);
    return previous;
  }
  return nullptr;
}

BOOL DeleteObject(HGDIOBJ object) {
  const uintptr_t k = Key(object);
  if (k == L().stock_bitmap || k == L().stock_palette || k == L().stock_font) return 1;
  if (Bitmap* b = FindBitmap(object)) {
    if (b->selected_in) return 0;
    L().bitmaps.erase(k);
    return 1;
  }
  if (Palette* p = FindPalette(object)) {
    if (p->selections > 0) return 0;
    L().palettes.erase(k);
    return 1;
  }
  if (Font* f = FindFont(object)) {
    if (f->selections > 0) return 0;
    detail::FontClose(f->face);
    L().fonts.erase(k);
    return 1;
  }
  return L().brushes.erase(k) ? 1 : 0;
}

int GetObject(HGDIOBJ object, int size, void* out) {
  if (Bitmap* b = FindBitmap(object)) {
    BITMAP bm{};
    bm.bmWidth = b->width;
    bm.bmHeight = b->height;
    bm.bmWidthBytes = b->stride;
    bm.bmPlanes = 1;
    bm.bmBitsPixel = static_cast<WORD>(b->bits);
    bm.bmBits = b->dib ? b->data.data() : nullptr;
    if (!out) return b->dib ? static_cast<int>(sizeof(DIBSECTION)) : static_cast<int>(sizeof(BITMAP));
    if (b->dib && size >= static_cast<int>(sizeof(DIBSECTION))) {
      DIBSECTION ds{};
      ds.dsBm = bm;
      ds.dsBmih = b->header;
      std::memcpy(ds.dsBitfields, b->masks, sizeof ds.dsBitfields);
      std::memcpy(out, &ds, sizeof ds);
      return static_cast<int>(sizeof ds);
    }
    if (size < static_cast<int>(sizeof(BITMAP))) return 0;
    std::memcpy(out, &bm, sizeof bm);
    return static_cast<int>(sizeof bm);
  }
  if (Palette* p = FindPalette(object)) {
    if (!out) return 2;
    if (size < 2) return 0;
    const WORD n = static_cast<WORD>(p->entries.size());
    std::memcpy(out, &n, 2);
    return 2;
  }
  return 0;
}

int GetDeviceCaps(HDC dc, int index) {
  if (!FindContext(dc)) return 0;
  const ScreenCaps& caps = L().caps;
  switch (index) {
    case BITSPIXEL: return caps.bits;
    case LOGPIXELSY: return 96;
    case SIZEPALETTE: return caps.palette ? 256 : 0;
    case RASTERCAPS:
      return RC_BITBLT | (caps.palette ? RC_PALETTE : 0) | (caps.dib_to_device ? RC_DIBTODEV : 0);
    default: return 0;
  }
}

// ---- bitmaps ----

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits,
                         void* section, DWORD offset) {
  if (bits) *bits = nullptr;
  Context* c = dc ? FindContext(dc) : nullptr;
  if ((dc && !c) || section || offset) return nullptr;
  Picture p;
  if (!Describe(info, usage, c, p)) return nullptr;
  Bitmap b;
  b.dib = true;
  b.width = p.width;
  b.height = p.height;
  b.bits = p.bits;
  b.top_down = p.top_down;
  b.r565 = p.r565;
  b.stride = static_cast<int32_t>(p.stride);
  b.header = info->bmiHeader;
  b.header.biSizeImage = static_cast<DWORD>(p.stride * p.height);
  if (info->bmiHeader.biCompression == BI_BITFIELDS)
    std::memcpy(b.masks, reinterpret_cast<const uint8_t*>(info) + info->bmiHeader.biSize,
                sizeof b.masks);
  b.data.assign(static_cast<size_t>(p.stride * p.height), 0);
  if (p.bits == 8) {
    b.colors.resize(static_cast<size_t>(p.colors));
    for (int i = 0; i < p.colors; ++i)
      b.colors[static_cast<size_t>(i)] = {p.table[i].b, p.table[i].g, p.table[i].r, 0};
  }
  HBITMAP h = AddBitmap(std::move(b));
  if (bits) *bits = FindBitmap(h)->data.data();
  return h;
}

namespace {
HBITMAP MakeDdb(int width, int height, int bits, bool device) {
  if (width <= 0 || height <= 0) return nullptr;
  if (bits != 1 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return nullptr;
  // Rows of device-dependent bitmaps are aligned to words.
  const int64_t stride = ((int64_t{width} * bits + 15) / 16) * 2;
  if (stride * height > kMaxSurfaceBytes) return nullptr;
  Bitmap b;
  b.width = width;
  b.height = height;
  b.bits = bits;
  b.stride = static_cast<int32_t>(stride);
  b.device = device;
  b.data.assign(static_cast<size_t>(stride * height), 0);
  if (bits == 8) b.colors = GreyTable();
  return AddBitmap(std::move(b));
}
}  // namespace

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel, const void* bits) {
  if (planes != 1) return nullptr;
  HBITMAP h = MakeDdb(width, height, static_cast<int>(bits_per_pixel), false);
  if (h && bits) {
    Bitmap* b = FindBitmap(h);
    std::memcpy(b->data.data(), bits, b->data.size());
  }
  return h;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
  Context* c = FindContext(dc);
  if (!c) return nullptr;
  // A memory context makes bitmaps like the one it holds: monochrome while
  // it holds the stock bitmap. Monochrome bits are readable like any other
  // device-dependent bitmap's.
  if (!c->window)
    if (const Bitmap* held = FindBitmap(c->bitmap); held && held->bits == 1)
      return MakeDdb(width, height, 1, false);
  if (!c->window)
    if (const Bitmap* held = Surface(c))
      return MakeDdb(width, height, held->bits, true);
  return MakeDdb(width, height, L().caps.bits, true);
}

LONG GetBitmapBits(HBITMAP bitmap, LONG bytes, void* bits) {
  Bitmap* b = FindBitmap(bitmap);
  if (!b || b->dib || b->device || bytes <= 0 || !bits) return 0;
  const size_t n = std::min(static_cast<size_t>(bytes), b->data.size());
  std::memcpy(bits, b->data.data(), n);
  return static_cast<LONG>(n);
}

int GetDIBits(HDC dc, HBITMAP bitmap, UINT start, UINT lines, void* bits, BITMAPINFO* info,
              UINT usage) {
  Bitmap* b = FindBitmap(bitmap);
  if (!FindContext(dc) || !b || !info || usage != DIB_RGB_COLORS) return 0;
  BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biSize < 40) return 0;
  if (!bits) {
    // With a bit count of 8 asked for, the colour table is what the caller wants.
    if (h.biBitCount == 8 && b->bits == 8) {
      h.biClrUsed = 256;
      for (size_t i = 0; i < 256; ++i)
        info->bmiColors[i] = i < b->colors.size() ? b->colors[i] : RGBQUAD{0, 0, 0, 0};
      return 1;
    }
    h.biWidth = b->width;
    h.biHeight = b->height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(b->bits);
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(StrideOf(b->width, b->bits) * b->height);
    return 1;
  }
  const int want = h.biBitCount;
  if (h.biWidth != b->width || (h.biHeight != b->height && h.biHeight != -b->height) ||
      h.biCompression != BI_RGB)
    return 0;
  if (want != 16 && want != 24 && want != 32 && !(want == 8 && b->bits == 8)) return 0;
  if (start >= static_cast<UINT>(b->height)) return 0;
  const int count = static_cast<int>(std::min<int64_t>(lines, int64_t{b->height} - start));
  const int64_t stride = StrideOf(b->width, want);
  Bitmap out;
  out.width = b->width;
  out.height = b->height;
  out.bits = want;
  out.colors = b->colors;
  uint8_t* base = static_cast<uint8_t*>(bits);
  for (int k = 0; k < count; ++k) {
    // Scan line s counts from the bottom of the picture.
    const int s = static_cast<int>(start) + k;
    const int y = b->height - 1 - s;
    uint8_t* row = h.biHeight > 0 ? base + int64_t{k} * stride
                                  : base + int64_t{b->height - 1 - s} * stride;
    if (want == 8) {
      std::memcpy(row, RowOf(*b, y), static_cast<size_t>(b->width));
      continue;
    }
    for (int x = 0; x < b->width; ++x) {
      const Rgb c = ReadBitmap(*b, x, y);
      switch (want) {
        case 16: {
          const uint32_t w = ((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3);
          row[2 * x] = static_cast<uint8_t>(w);
          row[2 * x + 1] = static_cast<uint8_t>(w >> 8);
          break;
        }
        case 24:
          row[3 * x] = c.b, row[3 * x + 1] = c.g, row[3 * x + 2] = c.r;
          break;
        default:
          row[4 * x] = c.b, row[4 * x + 1] = c.g, row[4 * x + 2] = c.r, row[4 * x + 3] = 0;
          break;
      }
    }
  }
  if (want == 8) {
    h.biClrUsed = 256;
    for (size_t i = 0; i < 256; ++i)
      info->bmiColors[i] = i < b->colors.size() ? b->colors[i] : RGBQUAD{0, 0, 0, 0};
  }
  return count;
}

UINT GetDIBColorTable(HDC dc, UINT start, UINT entries, RGBQUAD* colors) {
  Bitmap* b = Surface(FindContext(dc));
  if (!b || !b->dib || b->bits != 8 || !colors) return 0;
  const UINT n = static_cast<UINT>(b->colors.size());
  if (start >= n) return 0;
  const UINT count = std::min(entries, n - start);
  std::memcpy(colors, b->colors.data() + start, count * sizeof(RGBQUAD));
  return count;
}

// ---- drawing ----

int SetDIBitsToDevice(HDC dc, int x_dest, int y_dest, DWORD width, DWORD height, int x_src,
                      int y_src, UINT start, UINT lines, const void* bits,
                      const BITMAPINFO* info, UINT usage) {
  Context* c = FindContext(dc);
  Bitmap* target = Surface(c);
  if (!target || !bits || !L().caps.dib_to_device) return 0;
  Picture p;
  if (!Describe(info, usage, c, p)) return 0;
  if (p.top_down && (start != 0 || lines < static_cast<UINT>(p.height))) return 0;
  const uint8_t* base = static_cast<const uint8_t*>(bits);
  const int64_t first = start, end = std::min<int64_t>(int64_t{start} + lines, p.height);
  int drawn = 0;
  for (int64_t j = 0; j < height; ++j) {
    const int64_t s = int64_t{y_src} + (int64_t{height} - 1 - j);  // from the bottom
    if (s < first || s >= end) continue;
    const int64_t y = int64_t{y_dest} + j;
    ++drawn;
    if (y < 0 || y >= target->height) continue;
    const uint8_t* row = p.top_down ? base + (p.height - 1 - s) * p.stride
                                    : base + (s - first) * p.stride;
    for (int64_t i = 0; i < width; ++i) {
      const int64_t sx = int64_t{x_src} + i, x = int64_t{x_dest} + i;
      if (sx < 0 || sx >= p.width || x < 0 || x >= target->width) continue;
      WriteBitmap(*target, static_cast<int>(x), static_cast<int>(y),
                  ReadPixel(row, static_cast<int>(sx), p.bits, p.r565, p.table, p.colors));
    }
  }
  return drawn;
}

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int x_src, int y_src,
            DWORD rop) {
  Context* to_dc = FindContext(dest);
  Context* from_dc = FindContext(source);
  Bitmap* to = Surface(to_dc);
  Bitmap* from = Surface(from_dc);
  if (!to || !from || rop != SRCCOPY || width < 0 || height < 0) return 0;
  // Between monochrome and colour: clear bits take the destination's text
  // colour and set bits its background colour; colour pixels equal to the
  // source's background colour become set bits, all others clear ones.
  auto rgb = [](COLORREF v) {
    return Rgb{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
  };
  const bool expand = from->bits == 1 && to->bits != 1;
  const bool reduce = from->bits != 1 && to->bits == 1;
  const Rgb fore = rgb(to_dc->text_color), back = rgb(to_dc->bk_color);
  const Rgb key = rgb(from_dc->bk_color);
  for (int64_t j = 0; j < height; ++j) {
    const int64_t sy = int64_t{y_src} + j, ty = int64_t{y} + j;
    if (sy < 0 || sy >= from->height || ty < 0 || ty >= to->height) continue;
    for (int64_t i = 0; i < width; ++i) {
      const int64_t sx = int64_t{x_src} + i, tx = int64_t{x} + i;
      if (sx < 0 || sx >= from->width || tx < 0 || tx >= to->width) continue;
      Rgb c = ReadBitmap(*from, static_cast<int>(sx), static_cast<int>(sy));
      if (expand) c = c.r ? back : fore;
      if (reduce)
        c = c.r == key.r && c.g == key.g && c.b == key.b ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
      WriteBitmap(*to, static_cast<int>(tx), static_cast<int>(ty), c);
    }
  }
  return 1;
}

COLORREF GetPixel(HDC dc, int x, int y) {
  Bitmap* b = Surface(FindContext(dc));
  if (!b || x < 0 || y < 0 || x >= b->width || y >= b->height) return CLR_INVALID;
  const Rgb c = ReadBitmap(*b, x, y);
  return COLORREF{c.r} | (COLORREF{c.g} << 8) | (COLORREF{c.b} << 16);
}

// ---- palettes ----

HPALETTE CreatePalette(const LOGPALETTE* palette) {
  if (!palette || palette->palVersion != 0x300 || palette->palNumEntries == 0 ||
      palette->palNumEntries > 256)
    return nullptr;
  const uintptr_t h = L().Next();
  Palette& p = L().palettes[h];
  p.entries.assign(palette->palPalEntry, palette->palPalEntry + palette->palNumEntries);
  return reinterpret_cast<HPALETTE>(h);
}

HPALETTE SelectPalette(HDC dc, HPALETTE palette, BOOL) {
  Context* c = FindContext(dc);
  Palette* p = FindPalette(palette);
  if (!c || !p) return nullptr;
  HPALETTE previous = c->palette;
  if (Palette* old = FindPalette(previous)) --old->selections;
  ++p->selections;
  c->palette = palette;
  return previous;
}

UINT RealizePalette(HDC dc) {
  Context* c = FindContext(dc);
  if (!c) return GDI_ERROR;
  const Palette* p = FindPalette(c->palette);
  return L().caps.palette && p ? static_cast<UINT>(p->entries.size()) : 0;
}

UINT SetSystemPaletteUse(HDC dc, UINT use) {
  if (!FindContext(dc) || !L().caps.palette) return SYSPAL_ERROR;
  if (use != SYSPAL_STATIC && use != SYSPAL_NOSTATIC) return SYSPAL_ERROR;
  const UINT previous = L().system_palette_use;
  L().system_palette_use = use;
  return previous;
}

// ---- global memory ----

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
  if (bytes == 0 || bytes > static_cast<size_t>(kMaxSurfaceBytes) * 2) return nullptr;
  void* p = (flags & GMEM_ZEROINIT) ? std::calloc(1, bytes) : std::malloc(bytes);
  if (!p) return nullptr;
  L().globals[Key(p)] = bytes;
  return p;
}

void* GlobalLock(HGLOBAL block) { return L().globals.count(Key(block)) ? block : nullptr; }

BOOL GlobalUnlock(HGLOBAL block) { return L().globals.count(Key(block)) ? 1 : 0; }

HGLOBAL GlobalFree(HGLOBAL block) {
  auto it = L().globals.find(Key(block));
  if (it == L().globals.end()) return block;
  L().globals.erase(it);
  std::free(block);
  return nullptr;
}

size_t GlobalSize(HGLOBAL block) {
  auto it = L().globals.find(Key(block));
  return it == L().globals.end() ? 0 : it->second;
}

HBRUSH CreateSolidBrush(COLORREF color) {
  const uintptr_t h = L().Next();
  L().brushes.emplace(h, color & 0xFFFFFFu);
  return reinterpret_cast<HBRUSH>(h);
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
  Context* c = FindContext(dc);
  auto it = L().brushes.find(Key(brush));
  if (!c || !rect || it == L().brushes.end()) return 0;
  Bitmap* b = Surface(c);
  if (!b) return 1;  // nothing to paint on: a window context draws nowhere
  const COLORREF v = it->second;
  const Rgb color{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
  const int x0 = std::max<LONG>(rect->left, 0), x1 = std::min<LONG>(rect->right, b->width);
  const int y0 = std::max<LONG>(rect->top, 0), y1 = std::min<LONG>(rect->bottom, b->height);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) WriteBitmap(*b, x, y, color);
  return 1;
}

// ---- text ----

HFONT CreateFont(int height, int width, int escapement, int orientation, int weight,
                 DWORD italic, DWORD underline, DWORD strike_out, DWORD, DWORD, DWORD,
                 DWORD quality, DWORD, const char* face) {
  // Rotated text is not drawn here; refusing it beats drawing it level.
  if (escapement != 0 || orientation != 0 || height == INT32_MIN || width == INT32_MIN)
    return nullptr;
  detail::FontRequest r;
  r.height = height;
  r.width = width;
  r.weight = weight;
  r.italic = italic != 0;
  r.underline = underline != 0;
  r.strike_out = strike_out != 0;
  r.quality = quality;
  if (face) std::memcpy(r.face, face, strnlen(face, sizeof r.face - 1));
  detail::FontFace* loaded = detail::FontOpen(r);
  if (!loaded) return nullptr;
  const uintptr_t h = L().Next();
  Font& f = L().fonts[h];
  f.request = r;
  f.face = loaded;
  return reinterpret_cast<HFONT>(h);
}

namespace {
// The face of the context's font, loaded on first use for the stock font.
detail::FontFace* FaceOf(Context* c) {
  Font* f = c ? FindFont(c->font) : nullptr;
  if (!f) return nullptr;
  if (!f->face) f->face = detail::FontOpen(f->request);
  return f->face;
}
}  // namespace

BOOL GetTextExtentPoint32(HDC dc, const char* text, int count, SIZE* size) {
  detail::FontFace* face = FaceOf(FindContext(dc));
  if (!face || !size || count < 0 || (count > 0 && !text)) return 0;
  const int64_t width = detail::FontTextWidth(face, text, count);
  size->cx = static_cast<LONG>(std::min<int64_t>(width, INT32_MAX));
  size->cy = detail::FontAscent(face) + detail::FontDescent(face);
  return 1;
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
  Context* c = FindContext(dc);
  if (!c) return CLR_INVALID;
  const COLORREF previous = c->text_color;
  c->text_color = color & 0xFFFFFFu;
  return previous;
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
  Context* c = FindContext(dc);
  if (!c) return CLR_INVALID;
  const COLORREF previous = c->bk_color;
  c->bk_color = color & 0xFFFFFFu;
  return previous;
}

int SetBkMode(HDC dc, int mode) {
  Context* c = FindContext(dc);
  if (!c || (mode != OPAQUE && mode != TRANSPARENT)) return 0;
  const int previous = c->bk_mode;
  c->bk_mode = mode;
  return previous;
}

BOOL TextOut(HDC dc, int x, int y, const char* text, int count) {
  Context* c = FindContext(dc);
  detail::FontFace* face = FaceOf(c);
  if (!face || count < 0 || (count > 0 && !text)) return 0;
  Bitmap* b = Surface(c);
  if (!b) return 1;  // a window context draws nowhere
  const int64_t width = detail::FontTextWidth(face, text, count);
  const int64_t height = detail::FontAscent(face) + detail::FontDescent(face);
  auto rgb = [](COLORREF v) {
    return Rgb{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
  };
  const Rgb fore = rgb(c->text_color), back = rgb(c->bk_color);
  if (c->bk_mode == OPAQUE) {
    const int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>(int64_t{x} + width, b->width);
    const int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>(int64_t{y} + height, b->height);
    for (int64_t j = y0; j < y1; ++j)
      for (int64_t i = x0; i < x1; ++i) WriteBitmap(*b, static_cast<int>(i), static_cast<int>(j), back);
  }
  // Smoothed edges only where the surface can show them.
  const bool blend = !detail::FontMonochrome(face) && b->bits >= 15;
  detail::FontDraw(face, text, count, x, y, width, [&](int64_t px, int64_t py, int coverage) {
    if (px < 0 || py < 0 || px >= b->width || py >= b->height) return;
    const int ix = static_cast<int>(px), iy = static_cast<int>(py);
    if (!blend || coverage >= 255) {
      if (blend || coverage >= 128) WriteBitmap(*b, ix, iy, fore);
      return;
    }
    const Rgb under = ReadBitmap(*b, ix, iy);
    auto mix = [coverage](uint8_t f, uint8_t u) {
      return static_cast<uint8_t>((f * coverage + u * (255 - coverage) + 127) / 255);
    };
    WriteBitmap(*b, ix, iy, {mix(fore.r, under.r), mix(fore.g, under.g), mix(fore.b, under.b)});
  });
  return 1;
}

// ---- layer control ----

void SetScreenCaps(const ScreenCaps& caps) {
  ScreenCaps c = caps;
  if (c.bits != 8 && c.bits != 16 && c.bits != 24) c.bits = 32;
  L().caps = c;
}

ScreenCaps GetScreenCaps() { return L().caps; }

int LiveObjectCount() {
  // Stock bitmap, palette and font are always there.
  return static_cast<int>(L().bitmaps.size() + L().palettes.size() + L().contexts.size() +
                          L().globals.size() + L().brushes.size() + L().fonts.size()) -
         3;
}

}  // namespace vek::gdi

#endif  // _WIN32
