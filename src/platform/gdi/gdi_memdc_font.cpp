// Font faces for the in-memory graphics layer: names resolved by fontconfig,
// glyphs and metrics from FreeType, measured the way Windows measures
// TrueType fonts (cell from the OS/2 Windows ascent and descent, integer
// advances, no kerning).
#ifndef _WIN32

#include "platform/gdi/gdi_memdc_font.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SIZES_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

namespace vek::gdi::detail {

namespace {

// Faces larger than this many pixels per em are refused like an exhausted device.
constexpr int kMaxPpem = 4096;
// The cell height asked for by a height of 0.
constexpr int kDefaultCell = 16;

// Windows-1252 code points of the bytes 0x80..0x9F (unassigned bytes keep their value).
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t CodePoint(uint8_t byte) {
  return byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte;
}

// The FreeType library and the faces loaded so far. Faces stay loaded until
// the layer shuts down (one per file); each font object holds its own size.
struct Fonts {
  FT_Library ft = nullptr;
  bool fc = false;
  std::map<std::pair<std::string, int>, FT_Face> faces;
  // Resolved requests: (face name, bold, italic) -> (file, index).
  std::map<std::tuple<std::string, bool, bool>, std::pair<std::string, int>> resolved;
};

Fonts* g_fonts = nullptr;

Fonts& F() {
  if (!g_fonts) {
    g_fonts = new Fonts;
    if (FT_Init_FreeType(&g_fonts->ft) != 0) g_fonts->ft = nullptr;
    g_fonts->fc = FcInit() == FcTrue;
  }
  return *g_fonts;
}

bool Match(const std::string& family, bool bold, bool italic, std::string& file, int& index) {
  FcPattern* pattern = FcPatternCreate();
  if (!pattern) return false;
  if (!family.empty())
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  FcPatternDestroy(pattern);
  if (!match) return false;
  FcChar8* path = nullptr;
  int i = 0;
  const bool ok = FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch && path;
  if (ok) {
    file = reinterpret_cast<const char*>(path);
    if (FcPatternGetInteger(match, FC_INDEX, 0, &i) != FcResultMatch) i = 0;
    index = i;
  }
  FcPatternDestroy(match);
  return ok;
}

FT_Face LoadFace(const std::string& file, int index) {
  auto key = std::make_pair(file, index);
  auto it = F().faces.find(key);
  if (it != F().faces.end()) return it->second;
  FT_Face face = nullptr;
  if (FT_New_Face(F().ft, file.c_str(), index, &face) != 0) return nullptr;
  if (!FT_IS_SCALABLE(face) || FT_Select_Charmap(face, FT_ENCODING_UNICODE) != 0) {
    FT_Done_Face(face);
    return nullptr;
  }
  F().faces.emplace(key, face);
  return face;
}

// The installed face for a name; DejaVu Sans when the name's match cannot be loaded.
FT_Face Resolve(const std::string& name, bool bold, bool italic) {
  auto key = std::make_tuple(name, bold, italic);
  auto it = F().resolved.find(key);
  if (it != F().resolved.end()) return LoadFace(it->second.first, it->second.second);
  for (const std::string& family : {name, std::string("DejaVu Sans")}) {
    std::string file;
    int index = 0;
    if (!Match(family, bold, italic, file, index)) continue;
    if (FT_Face face = LoadFace(file, index)) {
      F().resolved[key] = {file, index};
      return face;
    }
  }
  return nullptr;
}

int Scale(int64_t units, int ppem, int upem) {
  // Rounded to the nearest pixel, halves away from zero.
  const int64_t n = units * ppem;
  return static_cast<int>(n >= 0 ? (2 * n + upem) / (2 * upem) : -((-2 * n + upem) / (2 * upem)));
}

}  // namespace

struct FontFace {
  FT_Face face = nullptr;
  FT_Size size = nullptr;
  FT_Int32 load_flags = 0;
  bool mono = true;
  bool bold = false, italic = false;  // synthesised
  bool underline = false, strike_out = false;
  int ascent = 0, descent = 0;
  int underline_top = 0, underline_size = 1;  // rows from the cell's top
  int strike_top = 0, strike_size = 1;
};

FontFace* FontOpen(const FontRequest& r) {
  if (!F().ft || !F().fc) return nullptr;
  const bool bold = r.weight >= 600;
  FT_Face face = Resolve(std::string(r.face, strnlen(r.face, sizeof r.face)), bold, r.italic != 0);
  if (!face) return nullptr;

  const int upem = face->units_per_EM;
  if (upem <= 0) return nullptr;
  const TT_OS2* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  const bool has_os2 = os2 && os2->version != 0xFFFF;
  const int64_t win_ascent = has_os2 ? os2->usWinAscent : face->ascender;
  const int64_t win_descent = has_os2 ? os2->usWinDescent : -face->descender;
  if (win_ascent + win_descent <= 0) return nullptr;

  int64_t ppem_y;
  if (r.height < 0)
    ppem_y = -int64_t{r.height};
  else
    ppem_y = (int64_t{r.height > 0 ? r.height : kDefaultCell} * upem * 2 + (win_ascent + win_descent)) /
             (2 * (win_ascent + win_descent));
  ppem_y = std::max<int64_t>(ppem_y, 1);
  int64_t ppem_x = ppem_y;
  if (r.width != 0) {
    const int64_t avg = has_os2 && os2->xAvgCharWidth > 0 ? os2->xAvgCharWidth : upem / 2;
    const int64_t w = r.width < 0 ? -int64_t{r.width} : r.width;
    ppem_x = std::max<int64_t>((w * upem * 2 + avg) / (2 * avg), 1);
  }
  if (ppem_y > kMaxPpem || ppem_x > kMaxPpem) return nullptr;

  auto* f = new FontFace;
  f->face = face;
  if (FT_New_Size(face, &f->size) != 0) {
    delete f;
    return nullptr;
  }
  FT_Activate_Size(f->size);
  if (FT_Set_Pixel_Sizes(face, static_cast<FT_UInt>(ppem_x), static_cast<FT_UInt>(ppem_y)) != 0) {
    FontClose(f);
    return nullptr;
  }
  const int ppem = static_cast<int>(ppem_y);
  f->mono = r.quality == DRAFT_QUALITY || r.quality == NONANTIALIASED_QUALITY;
  f->load_flags = f->mono ? FT_LOAD_TARGET_MONO : FT_LOAD_TARGET_NORMAL;
  f->bold = bold && !(face->style_flags & FT_STYLE_FLAG_BOLD);
  f->italic = r.italic && !(face->style_flags & FT_STYLE_FLAG_ITALIC);
  f->underline = r.underline;
  f->strike_out = r.strike_out;
  f->ascent = Scale(win_ascent, ppem, upem);
  f->descent = Scale(win_descent, ppem, upem);
  const int cell = f->ascent + f->descent;

  // Underline: the post table gives the top of the stroke below the baseline;
  // strike-out: the OS/2 table gives the top of its stroke above it.
  const TT_Postscript* post = static_cast<const TT_Postscript*>(FT_Get_Sfnt_Table(face, FT_SFNT_POST));
  const int64_t ul_pos = post ? post->underlinePosition : -upem / 10;
  const int64_t ul_size = post && post->underlineThickness > 0 ? post->underlineThickness : upem / 20;
  f->underline_size = std::max(1, Scale(ul_size, ppem, upem));
  f->underline_top = f->ascent - Scale(ul_pos, ppem, upem);
  if (f->underline_top < f->ascent) f->underline_top = f->ascent;  // never above the baseline
  if (f->underline_top + f->underline_size > cell)
    f->underline_top = std::max(0, cell - f->underline_size);
  const int64_t so_pos = has_os2 && os2->yStrikeoutPosition > 0 ? os2->yStrikeoutPosition : upem * 26 / 100;
  const int64_t so_size = has_os2 && os2->yStrikeoutSize > 0 ? os2->yStrikeoutSize : ul_size;
  f->strike_size = std::max(1, Scale(so_size, ppem, upem));
  f->strike_top = std::clamp(f->ascent - Scale(so_pos, ppem, upem), 0, std::max(0, cell - 1));
  return f;
}

void FontClose(FontFace* font) {
  if (!font) return;
  if (font->size) FT_Done_Size(font->size);
  delete font;
}

void FontShutdown() {
  if (!g_fonts) return;
  if (g_fonts->ft) FT_Done_FreeType(g_fonts->ft);  // with every face loaded
  if (g_fonts->fc) FcFini();
  delete g_fonts;
  g_fonts = nullptr;
}

int FontAscent(const FontFace* font) { return font->ascent; }
int FontDescent(const FontFace* font) { return font->descent; }
bool FontMonochrome(const FontFace* font) { return font->mono; }

namespace {
// Loads one glyph of the text at the font's size; its hinted advance in pixels.
bool LoadGlyph(FontFace* font, uint8_t byte, int64_t& advance) {
  const FT_UInt index = FT_Get_Char_Index(font->face, CodePoint(byte));
  if (FT_Load_Glyph(font->face, index, font->load_flags) != 0) return false;
  // The design advance rounded to whole pixels, glyph by glyph: the widths
  // of a metric-compatible face then match the original's at every size,
  // whatever its hinting does to the outline.
  advance = (font->face->glyph->linearHoriAdvance + 0x8000) >> 16;
  if (font->bold) ++advance;  // a simulated bold glyph is one pixel wider
  return true;
}
}  // namespace

int64_t FontTextWidth(FontFace* font, const char* text, int count) {
  FT_Activate_Size(font->size);
  int64_t width = 0;
  for (int i = 0; i < count; ++i) {
    int64_t advance = 0;
    if (LoadGlyph(font, static_cast<uint8_t>(text[i]), advance)) width += advance;
  }
  return width;
}

void FontDraw(FontFace* font, const char* text, int count, int64_t x, int64_t y, int64_t width,
              const FontPlot& plot) {
  FT_Activate_Size(font->size);
  FT_GlyphSlot slot = font->face->glyph;
  int64_t pen = x;
  for (int i = 0; i < count; ++i) {
    int64_t advance = 0;
    if (!LoadGlyph(font, static_cast<uint8_t>(text[i]), advance)) continue;
    if (font->italic && slot->format == FT_GLYPH_FORMAT_OUTLINE) FT_GlyphSlot_Oblique(slot);
    if (slot->format != FT_GLYPH_FORMAT_BITMAP &&
        FT_Render_Glyph(slot, font->mono ? FT_RENDER_MODE_MONO : FT_RENDER_MODE_NORMAL) != 0) {
      pen += advance;
      continue;
    }
    const FT_Bitmap& bm = slot->bitmap;
    const int64_t left = pen + slot->bitmap_left;
    const int64_t top = y + font->ascent - slot->bitmap_top;
    for (unsigned row = 0; row < bm.rows; ++row) {
      const uint8_t* src = bm.buffer + static_cast<int64_t>(row) * bm.pitch;
      for (unsigned col = 0; col < bm.width; ++col) {
        int coverage;
        if (bm.pixel_mode == FT_PIXEL_MODE_MONO)
          coverage = (src[col >> 3] & (0x80 >> (col & 7))) ? 255 : 0;
        else if (bm.pixel_mode == FT_PIXEL_MODE_GRAY)
          coverage = bm.num_grays > 1 ? src[col] * 255 / (bm.num_grays - 1) : 0;
        else
          coverage = 0;
        if (coverage == 0) continue;
        plot(left + col, top + row, coverage);
        if (font->bold) plot(left + col + 1, top + row, coverage);
      }
    }
    pen += advance;
  }
  auto stroke = [&](int top, int size) {
    for (int row = top; row < top + size; ++row)
      for (int64_t col = x; col < x + width; ++col) plot(col, y + row, 255);
  };
  if (font->underline) stroke(font->underline_top, font->underline_size);
  if (font->strike_out) stroke(font->strike_top, font->strike_size);
}

}  // namespace vek::gdi::detail

#endif  // _WIN32
