// Text sprites (textgen): a line of text rendered with a system font into a
// small 8-bit image, optionally with a drop shadow or an outline border, and
// placed into an image with an opaque or a transparent background.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "foundation/memory.h"
#include "image/image.h"

namespace vek {

// Style bits of QTextParams::style.
inline constexpr int32_t kTextBold = 1;
inline constexpr int32_t kTextItalic = 2;
inline constexpr int32_t kTextUnderline = 4;
inline constexpr int32_t kTextStrikeOut = 8;

// Shadow modes.
inline constexpr int32_t kTextShadowNone = 0;
inline constexpr int32_t kTextShadowDrop = 1;
inline constexpr int32_t kTextShadowBorder = 2;

// Longest face name the record holds.
inline constexpr int32_t kTextFontNameMax = 32;

// Text parameter record, owned by the host. The layout is the one hosts of
// the 32-bit library were built against: a counted font name (a length byte
// and 32 characters, not zero-terminated), 3 bytes of alignment, then 32-bit
// fields in natural alignment. 104 bytes, little-endian. Colours are Windows
// colour values (red in the low byte).
struct QTextParams {
  uint8_t font_name_len;
  char font_name[kTextFontNameMax];
  uint8_t reserved[3];
  int32_t size;          // points
  int32_t style;         // kTextBold | kTextItalic | kTextUnderline | kTextStrikeOut
  int32_t shadow_x;      // drop shadow offset, or border thickness
  int32_t shadow_y;
  int32_t bk_index;      // palette indices inside the sprite
  int32_t fg_index;
  int32_t sh_index;
  int32_t char_set;      // font character set
  int32_t shadow_mode;   // kTextShadowNone, kTextShadowDrop, kTextShadowBorder
  int32_t bk_color;      // colours of the three indices
  int32_t fg_color;
  int32_t sh_color;
  int32_t transparent;   // flag: the background is left out when placed
  int32_t sprite_width;  // size of the last sprite made
  int32_t sprite_height;
  int32_t text_width;    // extent of the last text measured
  int32_t text_height;
};
static_assert(sizeof(QTextParams) == 104, "text parameter record is 104 bytes");
static_assert(offsetof(QTextParams, font_name) == 1);
static_assert(offsetof(QTextParams, size) == 36);
static_assert(offsetof(QTextParams, shadow_x) == 44);
static_assert(offsetof(QTextParams, bk_index) == 52);
static_assert(offsetof(QTextParams, char_set) == 64);
static_assert(offsetof(QTextParams, shadow_mode) == 68);
static_assert(offsetof(QTextParams, bk_color) == 72);
static_assert(offsetof(QTextParams, transparent) == 84);
static_assert(offsetof(QTextParams, sprite_width) == 88);
static_assert(offsetof(QTextParams, text_width) == 96);

// Defaults: "Arial" 12 points, plain, offsets 1 and 1, indices 0 (background),
// 1 (text), 2 (shadow), character set 0, no shadow, white background, black
// text, grey shadow, transparent background, sizes 0.
void Text_InitParams(QTextParams* params);
// Sets the counted font name; longer names are cut to 32 characters.
void Text_SetFontName(QTextParams* params, const char* name);
std::string Text_FontName(const QTextParams* params);

// Renders the plain text into `image` (8 bits, width padded to 32 pixels,
// the text's height) and records the text's extent. A failure stops here:
// it is recorded as the error, and the image stays empty.
void Text_MakeSprite(QImg* image, const std::string& text, QTextParams* params);
// Turns `bits_per_pixel`-bit bitmap rows (padded to 4 bytes) into the 8-bit
// sprite: set bits the text index, clear bits the background index.
void CreateTextImg(QImg* image, int32_t width, int32_t height, int32_t bits_per_pixel,
                   const uint8_t* bits, const QTextParams* params);
// A zeroed image record of its own (tracked "textgen._AllocImgPtr.result"),
// which frees its pixels and itself on every path.
class TextImgPtr {
 public:
  TextImgPtr() = default;
  explicit TextImgPtr(Tracked<QImg>&& record) : record_(std::move(record)) {}
  ~TextImgPtr() {
    if (record_) ImgFree(record_.get());
  }
  TextImgPtr(TextImgPtr&&) = default;
  TextImgPtr& operator=(TextImgPtr&& other) noexcept {
    if (this != &other) {
      if (record_) ImgFree(record_.get());
      record_ = std::move(other.record_);
    }
    return *this;
  }
  QImg* get() const { return record_.get(); }
  QImg* operator->() const { return record_.get(); }

 private:
  Tracked<QImg> record_;
};
TextImgPtr _AllocImgPtr();

void _Text_AddShadow(QImg* destination, QImg* sprite, const QTextParams* params);
void _Text_AddBorder(QImg* destination, QImg* sprite, const QTextParams* params);
// The full sprite for the record's shadow mode, moved into `image`; an empty
// text leaves the sprite size 0. This and the calls below pass a rendering
// failure on to their caller.
void Text_CreateSprite(QImg* image, const std::string& text, QTextParams* params);
// Places the sprite of the text into `image` at (x, y).
void Text_Out(QImg* image, const std::string& text, int32_t x, int32_t y, QTextParams* params);
// The measured extent of the text (not the padded sprite size); 0 x 0 for an empty text.
void Text_GetExtents(const std::string& text, QTextParams* params, int32_t* width,
                     int32_t* height);

}  // namespace vek
