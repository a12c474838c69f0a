// Text drawing exports: the host's text parameter records and drawing text
// into its images.
#include <cstddef>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/job.h"
#include "foundation/memory.h"
#include "image/text_sprite.h"

namespace vek::api {

static_assert(sizeof(VekTextParams) == sizeof(QTextParams), "one text record layout");
static_assert(offsetof(VekTextParams, fontName) == offsetof(QTextParams, font_name));
static_assert(offsetof(VekTextParams, size) == offsetof(QTextParams, size));
static_assert(offsetof(VekTextParams, shadowX) == offsetof(QTextParams, shadow_x));
static_assert(offsetof(VekTextParams, backIndex) == offsetof(QTextParams, bk_index));
static_assert(offsetof(VekTextParams, charSet) == offsetof(QTextParams, char_set));
static_assert(offsetof(VekTextParams, shadowMode) == offsetof(QTextParams, shadow_mode));
static_assert(offsetof(VekTextParams, backColor) == offsetof(QTextParams, bk_color));
static_assert(offsetof(VekTextParams, transparent) == offsetof(QTextParams, transparent));
static_assert(offsetof(VekTextParams, spriteWidth) == offsetof(QTextParams, sprite_width));
static_assert(offsetof(VekTextParams, textWidth) == offsetof(QTextParams, text_width));
static_assert(sizeof(VekImage) == sizeof(QImg), "one image record layout");

namespace {

constexpr const char* kTextLabel = "vekmain.VekTextAlloc.paramP";

// A text record this library handed out and has not freed yet.
QTextParams* Params(VekTextParams* text, int32_t site) {
  if (!text || !MemTracked(text) || !std::strstr(MemLabel(text), kTextLabel))
    ErrRaiseText(kGrpText, "Invalid text handle.", site);
  return reinterpret_cast<QTextParams*>(text);
}

// Texts are held to 255 characters, like every text the library keeps.
std::string TextArg(const char* text) {
  return text ? std::string(text, strnlen(text, VEK_NAME_MAX)) : std::string();
}

}  // namespace

}  // namespace vek::api

using namespace vek;
using namespace vek::api;

extern "C" {

VEK_EXPORT VekTextParams* VEKAPI VekTextAlloc(void) {
  return ApiCall<VekTextParams*>("vekmain.VekTextAlloc", nullptr, []() -> VekTextParams* {
    VekTextParams* text = AllocHostRecord<VekTextParams>(2567, kTextLabel);
    QTextParams* p = reinterpret_cast<QTextParams*>(text);
    Text_InitParams(p);
    p->shadow_mode = kTextShadowNone;
    p->shadow_x = 2;
    p->shadow_y = 2;
    ApiTrace("VekTextAlloc: " + TrPtr(text));
    return text;
  });
}

VEK_EXPORT void VEKAPI VekTextFree(VekTextParams* text) {
  ApiCall("vekmain.VekTextFree", [&] {
    if (!text) return;
    Params(text, 2568);
    ApiTrace("VekTextFree: " + TrPtr(text));
    MemFree(text);
  });
}

VEK_EXPORT void VEKAPI VekTextSetFont(VekTextParams* text, const char* name, int32_t size,
                                      int32_t style) {
  ApiCall("vekmain.VekTextSetFont", [&] {
    QTextParams* p = Params(text, 2569);
    Text_SetFontName(p, name);
    p->size = size;
    p->style = style & (kTextBold | kTextItalic | kTextUnderline | kTextStrikeOut);
    ApiTrace("VekTextSetFont: name=" + Text_FontName(p) + ", size=" + std::to_string(size) +
             ", style=" + std::to_string(style));
  });
}

VEK_EXPORT void VEKAPI VekTextSetColor(VekTextParams* text, int32_t fore, int32_t shadow,
                                       int32_t back, int32_t transp) {
  ApiCall("vekmain.VekTextSetColor", [&] {
    QTextParams* p = Params(text, 2570);
    p->fg_color = fore;
    p->sh_color = shadow;
    p->bk_color = back;
    p->transparent = transp ? -1 : 0;
    ApiTrace("VekTextSetColor: fore=" + TrHex(static_cast<uint32_t>(fore)) +
             ", shadow=" + TrHex(static_cast<uint32_t>(shadow)) +
             ", back=" + TrHex(static_cast<uint32_t>(back)) + ", transp=" + TrFlag(transp));
  });
}

VEK_EXPORT void VEKAPI VekTextShadow(VekTextParams* text, int32_t mode, int32_t x, int32_t y) {
  ApiCall("vekmain.VekTextShadow", [&] {
    QTextParams* p = Params(text, 2571);
    if (mode == kTextShadowNone || mode == kTextShadowDrop || mode == kTextShadowBorder)
      p->shadow_mode = mode;
    p->shadow_x = x;
    p->shadow_y = y;
    ApiTrace("VekTextShadow: mode=" + std::to_string(mode) + ", x=" + std::to_string(x) +
             ", y=" + std::to_string(y));
  });
}

VEK_EXPORT void VEKAPI VekTextGetExtents(VekTextParams* text, const char* textStr, int32_t* width,
                                         int32_t* height) {
  ApiCall("vekmain.VekTextGetExtents", [&] {
    QTextParams* p = Params(text, 2572);
    const std::string s = TextArg(textStr);
    ApiTrace("VekTextGetExtents: textStr=" + s);
    Text_GetExtents(s, p, width, height);
  });
}

VEK_EXPORT void VEKAPI VekTextOut(VekImage* image, VekTextParams* text, int32_t x, int32_t y,
                                  const char* textStr) {
  ApiCall("vekmain.VekTextOut", [&] {
    QTextParams* p = Params(text, 2573);
    const std::string s = TextArg(textStr);
    ApiTrace("VekTextOut: textStr=" + s + ", x=" + std::to_string(x) + ", y=" + std::to_string(y));
    QImg* img = reinterpret_cast<QImg*>(image);
    if (!img || !ImgValid(img)) ErrRaise(kGrpImage, kImgInvalid, 2574);
    if (img->bits != 24) ImgConvBpp(img, img, 24);
    Text_Out(img, s, x, y, p);
  });
}

}  // extern "C"
