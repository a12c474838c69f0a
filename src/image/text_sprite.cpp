// Text sprites: the text is drawn white on black into a monochrome bitmap
// of a memory context, read back bit by bit into an 8-bit image whose three
// palette entries carry the record's colours, then given a shadow or a
// border and placed into the caller's image.
#include "image/text_sprite.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "foundation/trace.h"
#include "image/geometry.h"
#include "platform/gdi/gdi.h"

namespace vek {

using namespace gdi;  // the constants (on Windows they are the system's macros)

namespace {

// a * b / c rounded to the nearest integer, halves away from zero; -1 when
// c is 0 or the result leaves 32 bits (as the system's MulDiv).
int32_t MulDivRound(int32_t a, int32_t b, int32_t c) {
  if (c == 0) return -1;
  const int64_t n = int64_t{a} * b, d = c;
  const int64_t an = n < 0 ? -n : n, ad = d < 0 ? -d : d;
  const int64_t q = (2 * an + ad) / (2 * ad);
  const int64_t r = (n < 0) != (d < 0) ? -q : q;
  return r > INT32_MAX || r < INT32_MIN ? -1 : static_cast<int32_t>(r);
}

// A palette index from the record; the record is the host's to write.
uint8_t Index(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

void SetEntry(QImg* image, int32_t index, int32_t color) {
  uint8_t* e = image->palette + 3 * Index(index);
  e[0] = static_cast<uint8_t>(color >> 16);  // blue
  e[1] = static_cast<uint8_t>(color >> 8);   // green
  e[2] = static_cast<uint8_t>(color);        // red
}

void SetSpritePalette(QImg* image, const QTextParams* p) {
  SetEntry(image, p->bk_index, p->bk_color);
  SetEntry(image, p->fg_index, p->fg_color);
  SetEntry(image, p->sh_index, p->sh_color);
}

// Rows of 1-bit bitmap bits as the sprite reads them: padded to 4 bytes.
int64_t MonoStride(int64_t width) { return ((width + 7) / 8 + 3) / 4 * 4; }

// The GDI objects of one rendering, released whatever happens.
struct RenderObjects {
  HDC dc = nullptr;
  HFONT font = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old_font = nullptr, old_bitmap = nullptr;
  ~RenderObjects() {
    if (dc) {
      if (old_bitmap) gdi::SelectObject(dc, old_bitmap);
      if (old_font) gdi::SelectObject(dc, old_font);
      gdi::DeleteDC(dc);
    }
    if (bitmap) gdi::DeleteObject(bitmap);
    if (font) gdi::DeleteObject(font);
  }
};

// Size of a grown sprite, refused when it leaves the image record's range.
int32_t Grown(int32_t size, int64_t extra, int32_t site) {
  const int64_t n = int64_t{size} + extra;
  if (extra < 0 || n > INT32_MAX / 4) ErrRaise(kGrpGeneral, kGenOutOfRange, site);
  return static_cast<int32_t>(n);
}

int64_t Abs(int32_t v) { return v < 0 ? -int64_t{v} : int64_t{v}; }

// The 24-bit pixel value of a colour (blue, green, red bytes): the colour
// value with its first and third bytes exchanged.
uint32_t PixelKey(int32_t color) {
  const uint32_t c = static_cast<uint32_t>(color);
  return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}

// Renders the plain sprite; a failure that rendering stopped is carried on
// to the caller, so that a text that could not be drawn is not reported as drawn.
void MakeSpriteOrRaise(QImg* image, const std::string& text, QTextParams* p, int32_t site) {
  const bool clean = ErrNone();
  Text_MakeSprite(image, text, p);
  if (!clean || ErrNone()) return;
  const int32_t group = ErrGroup(), code = ErrCode();
  if (code == kFreeTextCode) ErrRaiseText(group, std::string(ErrText()), site);
  ErrRaise(group, code, site);
}

}  // namespace

void Text_InitParams(QTextParams* p) {
  std::memset(p, 0, sizeof *p);
  Text_SetFontName(p, "Arial");
  p->size = 12;
  p->style = 0;
  p->shadow_x = 1;
  p->shadow_y = 1;
  p->bk_index = 0;
  p->fg_index = 1;
  p->sh_index = 2;
  p->char_set = 0;
  p->shadow_mode = kTextShadowNone;
  p->bk_color = 0xFFFFFF;
  p->fg_color = 0x000000;
  p->sh_color = 0x808080;
  p->transparent = -1;
}

void Text_SetFontName(QTextParams* p, const char* name) {
  const size_t n = name ? strnlen(name, kTextFontNameMax) : 0;
  std::memset(p->font_name, 0, sizeof p->font_name);
  if (n) std::memcpy(p->font_name, name, n);
  p->font_name_len = static_cast<uint8_t>(n);
}

std::string Text_FontName(const QTextParams* p) {
  return std::string(p->font_name, std::min<size_t>(p->font_name_len, kTextFontNameMax));
}

TextImgPtr _AllocImgPtr() {
  Tracked<QImg> record(1, 2601, "textgen._AllocImgPtr.result");
  std::memset(record.get(), 0, sizeof(QImg));
  return TextImgPtr(std::move(record));
}

void CreateTextImg(QImg* image, int32_t width, int32_t height, int32_t bits_per_pixel,
                   const uint8_t* bits, const QTextParams* p) {
  Monitored("textgen.CreateTextImg", [&] {
    ImgAlloc(image, width, height, 8, 2602, "textgen.CreateTextImg.img");
    const uint8_t back = Index(p->bk_index), fore = Index(p->fg_index);
    std::memset(image->pixels, back, static_cast<size_t>(image->size));
    if (bits_per_pixel != 1 || !bits) return;
    const int64_t stride = MonoStride(width);
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* in = bits + stride * y;
      uint8_t* out = image->pixels + int64_t{width} * y;
      for (int32_t x = 0; x < width; ++x)
        if (in[x >> 3] & (0x80 >> (x & 7))) out[x] = fore;
    }
  });
}

void Text_MakeSprite(QImg* image, const std::string& text, QTextParams* p) {
  MonitoredBoundary("textgen.Text_MakeSprite", [&] {
    if (text.empty()) return;
    if (text.size() > INT32_MAX) ErrRaise(kGrpGeneral, kGenOutOfRange, 2603);
    const int count = static_cast<int>(text.size());
    RenderObjects g;
    g.dc = gdi::CreateCompatibleDC(nullptr);
    if (!g.dc) ErrRaise(kGrpImage, kImgInitFunction, 2604);
    gdi::SetTextColor(g.dc, 0xFFFFFF);
    gdi::SetBkMode(g.dc, OPAQUE);
    gdi::SetBkColor(g.dc, 0x000000);

    const int32_t dpi = gdi::GetDeviceCaps(g.dc, LOGPIXELSY);
    // No font is that large; MulDiv's overflow result -1 would ask for a 1-pixel cell.
    if ((p->size < 0 ? -int64_t{p->size} : int64_t{p->size}) * dpi / 72 >= INT32_MAX)
      ErrRaise(kGrpGeneral, kGenOutOfRange, 2623);
    const int32_t char_height = -MulDivRound(p->size, dpi, 72);
    // LOGFONT holds 31 characters and the terminating zero.
    Tracked<char> font_name(32, 2605, "textgen.Text_MakeSprite.fontName");
    const std::string name = Text_FontName(p);
    std::memset(font_name.get(), 0, 32);
    std::memcpy(font_name.get(), name.data(), std::min<size_t>(name.size(), 31));
    g.font = gdi::CreateFont(char_height, 0, 0, 0, (p->style & kTextBold) ? FW_BOLD : FW_NORMAL,
                             (p->style & kTextItalic) ? 1 : 0, (p->style & kTextUnderline) ? 1 : 0,
                             (p->style & kTextStrikeOut) ? 1 : 0, static_cast<DWORD>(p->char_set),
                             OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, DRAFT_QUALITY, 0, font_name.get());
    if (!g.font) ErrRaise(kGrpImage, kImgInitFunction, 2606);
    g.old_font = gdi::SelectObject(g.dc, g.font);

    SIZE extent{};
    if (!gdi::GetTextExtentPoint32(g.dc, text.data(), count, &extent))
      ErrRaise(kGrpImage, kImgInitFunction, 2607);
    p->text_width = extent.cx;
    p->text_height = extent.cy;
    if (extent.cx <= 0 || extent.cy <= 0) return;  // nothing visible to draw

    const int64_t width = (int64_t{extent.cx} + 31) / 32 * 32;
    const int32_t height = extent.cy;
    if (width > INT32_MAX) ErrRaise(kGrpGeneral, kGenOutOfRange, 2608);
    g.bitmap = gdi::CreateCompatibleBitmap(g.dc, static_cast<int>(width), height);
    if (!g.bitmap) ErrRaise(kGrpImage, kImgInitFunction, 2609);
    g.old_bitmap = gdi::SelectObject(g.dc, g.bitmap);
    HBRUSH black = gdi::CreateSolidBrush(0x000000);
    RECT all{0, 0, static_cast<LONG>(width), height};
    if (black) {
      gdi::FillRect(g.dc, &all, black);
      gdi::DeleteObject(black);
    }
    gdi::TextOut(g.dc, 0, 0, text.data(), count);

    BITMAP bm{};
    if (!gdi::GetObject(g.bitmap, sizeof bm, &bm)) ErrRaise(kGrpImage, kImgInitFunction, 2610);
    if (bm.bmBitsPixel != 1) {
      TraceLine(NumText(bm.bmBitsPixel) + "-bit DC");
      return;
    }
    const int64_t bytes = MonoStride(width) * height;
    Tracked<uint8_t> bits(bytes, 2611, "textgen.Text_MakeSprite.bmpBitsP");
    std::memset(bits.get(), 0, static_cast<size_t>(bytes));
    if (bytes > INT32_MAX ||
        gdi::GetBitmapBits(g.bitmap, static_cast<LONG>(bytes), bits.get()) <= 0)
      ErrRaise(kGrpImage, kImgInitFunction, 2612);
    CreateTextImg(image, static_cast<int32_t>(width), height, 1, bits.get(), p);
    SetSpritePalette(image, p);
  });
}

void _Text_AddShadow(QImg* dest, QImg* sprite, const QTextParams* p) {
  Monitored("textgen._Text_AddShadow", [&] {
    const int32_t dx = p->shadow_x, dy = p->shadow_y;
    const int32_t w = Grown(sprite->width, Abs(dx), 2613);
    const int32_t h = Grown(sprite->height, Abs(dy), 2614);
    ImgAlloc(dest, w, h, 8, 2615, "textgen._Text_AddShadow.imgDest");
    ImgCopyPalette(sprite, dest);
    std::memset(dest->pixels, Index(p->bk_index), static_cast<size_t>(dest->size));
    const uint8_t fore = Index(p->fg_index), shadow = Index(p->sh_index);
    const int64_t ox = std::max(dx, 0), oy = std::max(dy, 0);
    for (int32_t y = 0; y < sprite->height; ++y) {
      const uint8_t* in = sprite->pixels + int64_t{sprite->width} * y;
      uint8_t* out = dest->pixels + int64_t{w} * (y + oy) + ox;
      for (int32_t x = 0; x < sprite->width; ++x)
        if (in[x] == fore) out[x] = shadow;
    }
    ImgSprite(sprite, dest, std::max(-dx, 0), std::max(-dy, 0), Index(p->bk_index));
  });
}

void _Text_AddBorder(QImg* dest, QImg* sprite, const QTextParams* p) {
  Monitored("textgen._Text_AddBorder", [&] {
    const int64_t a = Abs(p->shadow_x), b = Abs(p->shadow_y);
    const int32_t w = Grown(sprite->width, 2 * a, 2616);
    const int32_t h = Grown(sprite->height, 2 * b, 2617);
    ImgAlloc(dest, w, h, 8, 2618, "textgen._Text_AddBorder.imgDest");
    ImgCopyPalette(sprite, dest);
    std::memset(dest->pixels, Index(p->bk_index), static_cast<size_t>(dest->size));
    const uint8_t fore = Index(p->fg_index), shadow = Index(p->sh_index);
    // Stamping the text at every offset of a (2a+1) x (2b+1) box is a
    // dilation by that box, done as a horizontal pass and a vertical one.
    const int32_t sw = sprite->width, sh = sprite->height;
    std::vector<int32_t> across(static_cast<size_t>(w) * sh, 0);  // ink within 2a to the left
    for (int32_t y = 0; y < sh; ++y) {
      const uint8_t* in = sprite->pixels + int64_t{sw} * y;
      int32_t* row = across.data() + int64_t{w} * y;
      int32_t inside = 0;
      for (int64_t x = 0; x < w; ++x) {
        if (x < sw && in[x] == fore) ++inside;
        const int64_t gone = x - 2 * a - 1;
        if (gone >= 0 && gone < sw && in[gone] == fore) --inside;
        row[x] = inside;
      }
    }
    for (int64_t x = 0; x < w; ++x) {
      int32_t inside = 0;
      for (int64_t y = 0; y < h; ++y) {
        if (y < sh && across[static_cast<size_t>(int64_t{w} * y + x)] > 0) ++inside;
        const int64_t gone = y - 2 * b - 1;
        if (gone >= 0 && gone < sh && across[static_cast<size_t>(int64_t{w} * gone + x)] > 0)
          --inside;
        if (inside > 0) dest->pixels[int64_t{w} * y + x] = shadow;
      }
    }
    ImgSprite(sprite, dest, static_cast<int32_t>(a), static_cast<int32_t>(b), Index(p->bk_index));
  });
}

void Text_CreateSprite(QImg* image, const std::string& text, QTextParams* p) {
  Monitored("textgen.Text_CreateSprite", [&] {
    p->sprite_width = 0;
    p->sprite_height = 0;
    if (text.empty()) return;
    if (p->transparent) {
      int32_t index = 0;
      while (index == p->fg_index || index == p->sh_index) ++index;
      p->bk_index = index;
    }
    TextImgPtr plain = _AllocImgPtr();
    MakeSpriteOrRaise(plain.get(), text, p, 2621);
    if (!ImgValid(plain.get())) return;  // nothing rendered
    TextImgPtr shaped;
    QImg* result = plain.get();
    if (p->shadow_mode == kTextShadowDrop || p->shadow_mode == kTextShadowBorder) {
      shaped = _AllocImgPtr();
      if (p->shadow_mode == kTextShadowDrop)
        _Text_AddShadow(shaped.get(), plain.get(), p);
      else
        _Text_AddBorder(shaped.get(), plain.get(), p);
      ImgFree(plain.get());
      result = shaped.get();
    }
    p->sprite_width = result->width;
    p->sprite_height = result->height;
    // The result's pixels move into the (emptied) image record.
    ImgFree(image);
    std::swap(*image, *result);
    SetSpritePalette(image, p);
  });
}

void Text_Out(QImg* image, const std::string& text, int32_t x, int32_t y, QTextParams* p) {
  Monitored("textgen.Text_Out", [&] {
    TextImgPtr sprite = _AllocImgPtr();
    Text_CreateSprite(sprite.get(), text, p);
    if (p->sprite_width == 0 || p->sprite_height == 0) return;
    if (p->transparent) {
      uint32_t key;
      if (image->bits == 8) {
        key = Index(p->bk_index);
      } else {
        int32_t color = 0;
        while (color == p->fg_color || color == p->sh_color) color += 64;
        p->bk_color = color;
        SetSpritePalette(sprite.get(), p);
        ImgConvBpp(sprite.get(), sprite.get(), 24);
        key = PixelKey(color);  // the sprite is 24-bit, and so the image it is placed in
      }
      ImgSprite(sprite.get(), image, x, y, key);
    } else {
      ImgInsert(sprite.get(), image, x, y);
    }
  });
}

void Text_GetExtents(const std::string& text, QTextParams* p, int32_t* width, int32_t* height) {
  Monitored("textgen.Text_GetExtents", [&] {
    // An empty text measures 0 x 0, not the previous text's extent.
    p->text_width = 0;
    p->text_height = 0;
    {
      TextImgPtr temp = _AllocImgPtr();
      MakeSpriteOrRaise(temp.get(), text, p, 2622);
    }
    if (width) *width = p->text_width;
    if (height) *height = p->text_height;
  });
}

}  // namespace vek
