// Images and the host's bitmaps and device contexts, raw Bayer pixels, pixel
// reordering, and two header read-outs of still files.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/image_api.h"
#include "formats/still/bayer.h"
#include "formats/still/tiff.h"
#include "image/bitmap_exchange.h"
#include "image/geometry.h"

namespace vek::api {
namespace {

std::string Text(const char* s) { return s ? s : ""; }

gdi::HDC AsDC(void* dc) { return static_cast<gdi::HDC>(dc); }

std::string Decimal(const void* handle) { return std::to_string(reinterpret_cast<uintptr_t>(handle)); }

int32_t ClampSum(int32_t a, int32_t b) {
  return static_cast<int32_t>(std::clamp<int64_t>(int64_t{a} + b, INT32_MIN, INT32_MAX));
}

void Show(QImg* img, gdi::HDC dc, int32_t x, int32_t y) {
  PalPut(img->palette, dc);
  const ImgRect whole{0, 0, img->width, img->height};
  ImgPutEx(img, &whole, dc, x, y, 0);
}

}  // namespace
}  // namespace vek::api

using namespace vek;
using namespace vek::api;

extern "C" {

// ---- Windows bitmaps ----

VEK_EXPORT void* VEKAPI VekImgToDIB(VekImage* image) {
  return ApiCall<void*>("vekmain.VekImgToDIB", nullptr, [&]() -> void* {
    QImg* img = AsImg(image);
    RequireImage(img, 50);
    ApiTrace("VekImgToDIB (init): " + ImgTrace(img));
    RequirePixels(img, 50);
    gdi::HBITMAP bitmap = nullptr;
    if (!QimgToHBitmap(img, &bitmap)) bitmap = nullptr;
    ApiTrace("VekImgToDIB (done): " + TrPtr(bitmap));
    return bitmap;
  });
}

VEK_EXPORT int32_t VEKAPI VekReleaseDIB(void* bitmap) {
  return ApiCall<int32_t>("vekmain.VekReleaseDIB", 0, [&]() -> int32_t {
    ApiTrace("VekReleaseDIB: " + TrPtr(bitmap));
    if (!bitmap) return 0;
    return gdi::DeleteObject(static_cast<gdi::HGDIOBJ>(bitmap));
  });
}

VEK_EXPORT void* VEKAPI VekImgToDIBWin3(VekImage* image) {
  return ApiCall<void*>("vekmain.VekImgToDIBWin3", nullptr, [&]() -> void* {
    QImg* img = AsImg(image);
    RequireImage(img, 51);
    ApiTrace("VekImgToDIBWin3 (init): " + ImgTrace(img));
    RequirePixels(img, 51);
    gdi::HGLOBAL block = nullptr;
    if (!ImgToDIBWin3(img, &block)) block = nullptr;
    ApiTrace("VekImgToDIBWin3 (done): " + TrPtr(block));
    return block;
  });
}

VEK_EXPORT int32_t VEKAPI VekReleaseDIBWin3(void* memory) {
  return ApiCall<int32_t>("vekmain.VekReleaseDIBWin3", 0, [&]() -> int32_t {
    ApiTrace("VekReleaseDIBWin3: " + TrPtr(memory));
    if (!memory) return 0;
    return gdi::GlobalFree(memory) == nullptr ? -1 : 0;
  });
}

VEK_EXPORT void VEKAPI VekDIBToImg(VekImage* image, void* bitmap) {
  ApiCall("vekmain.VekDIBToImg", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 52);
    ApiTrace("VekDIBToImg (init): " + TrPtr(bitmap));
    if (!HBitmapToQimg(static_cast<gdi::HBITMAP>(bitmap), img))
      ErrRaiseText(kGrpText, "Invalid bitmap handle.", 52);
    ApiTrace("VekDIBToImg (done): " + ImgTrace(img));
  });
}

// ---- drawing ----

VEK_EXPORT void VEKAPI VekClearCanvas(void* dc, int32_t x, int32_t y, int32_t width, int32_t height,
                                      int32_t colour) {
  ApiCall("vekmain.VekClearCanvas", [&] {
    ApiTrace("VekClearCanvas: dc=" + Decimal(dc));
    gdi::HBRUSH brush = gdi::CreateSolidBrush(static_cast<gdi::COLORREF>(colour));
    if (!brush) return;
    const gdi::RECT r{x, y, ClampSum(x, width), ClampSum(y, height)};
    gdi::FillRect(AsDC(dc), &r, brush);
    gdi::DeleteObject(brush);
  });
}

VEK_EXPORT void VEKAPI VekImgShow(VekImage* image, void* dc, int32_t x, int32_t y) {
  ApiCall("vekmain.VekImgShow", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 53);
    ApiTrace("VekImgShow: " + ImgTrace(img));
    RequirePixels(img, 53);
    Show(img, AsDC(dc), x, y);
  });
}

VEK_EXPORT void VEKAPI VekImgShowInRect(VekImage* image, void* dc, int32_t x, int32_t y,
                                        int32_t boxWidth, int32_t boxHeight, int32_t enlarge) {
  ApiCall("vekmain.VekImgShowInRect", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 54);
    ApiTrace("VekImgShowInRect: " + ImgTrace(img));
    RequirePixels(img, 54);
    // Nothing fits into a box without area; the picture is left as it is.
    if (boxWidth <= 0 || boxHeight <= 0) return;
    const BoxFit fit = CalcBoxResize(img->width, img->height, boxWidth, boxHeight, enlarge != 0);
    if (fit.width != img->width || fit.height != img->height) {
      VekImgResample(image, fit.width, fit.height);
      if (!ErrNone()) return;  // the picture could not be fitted: the error stands
    }
    Show(img, AsDC(dc), ClampSum(x, fit.dx), ClampSum(y, fit.dy));
  });
}

// ---- Bayer sensor data ----

VEK_EXPORT int32_t VEKAPI VekBayerLoad(VekImage* image, const char* name, int32_t resX, int32_t resY,
                                       int32_t colorOrMono, int32_t colorOrder) {
  ApiCall("vekmain.VekBayerLoad", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 55);
    const std::string file = Text(name);
    ApiTrace("VekBayerLoad (init): " + file + ", resX=" + NumText(resX) + ", resY=" + NumText(resY) +
             ", colorOrMono=" + NumText(colorOrMono) + ", colorOrder=" + NumText(colorOrder));
    BayLoadCustom(file, *img, resX, colorOrder, colorOrMono, resY);
    ApiTrace("VekBayerLoad (done): " + ImgTrace(img));
  });
  return LastError().status;
}

VEK_EXPORT void VEKAPI VekBayerToImg(VekImage* image, const void* pixPtr, int32_t resX, int32_t resY,
                                     int32_t colorOrMono, int32_t colorOrder) {
  ApiCall("vekmain.VekBayerToImg", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 56);
    ApiTrace("VekBayerToImg (init): pixPtr=" + TrPtr(pixPtr) + ", resX=" + NumText(resX) +
             ", resY=" + NumText(resY) + ", colorOrMono=" + NumText(colorOrMono) +
             ", colorOrder=" + NumText(colorOrder));
    if (!pixPtr) ErrRaise(kGrpGeneral, kGenOutOfRange, 56);
    // Sides below 2 hold no complete cell.
    if (resX < 2 || resY < 2) ErrRaise(kGrpImage, kImgInvalid, 57);
    const int32_t bits = colorOrMono == 1 ? 8 : 24;
    ImgAlloc(img, resX, resY, bits, 2434, "vekmain.VekBayerToImg.imgP^");
    // An odd last row or column has no cell: it stays black.
    std::memset(img->pixels, 0, static_cast<size_t>(img->size));
    BayConvert(static_cast<const uint8_t*>(pixPtr), img->pixels, resX, colorOrder, colorOrMono, resY);
    if (bits == 8)
      for (int i = 0; i < 256; ++i) std::memset(img->palette + 3 * i, i, 3);
    ApiTrace("VekBayerToImg (done): " + ImgTrace(img));
  });
}

VEK_EXPORT int32_t VEKAPI VekBayerGetHdr(const char* filename, void* buf, int32_t bufSize) {
  return ApiCall<int32_t>("vekmain.VekBayerGetHdr", 0, [&]() -> int32_t {
    const std::string file = Text(filename);
    ApiTrace("VekBayerGetHdr: filename=" + file + ", buf=" + TrPtr(buf) + ", bufSize=" + NumText(bufSize));
    return BayGetHdr(file, buf, bufSize);
  });
}

VEK_EXPORT int32_t VEKAPI VekTiffGetTag(const char* filename, int32_t tag, void* buf, int32_t bufSize) {
  return ApiCall<int32_t>("vekmain.VekTiffGetTag", 0, [&]() -> int32_t {
    const std::string file = Text(filename);
    ApiTrace("VekTiffGetTag: filename=" + file + ", tag=" + NumText(tag) + ", buf=" + TrPtr(buf) +
             ", bufSize=" + NumText(bufSize));
    return TIFGetTag(file, tag, buf, bufSize);
  });
}

// ---- pixel order ----

VEK_EXPORT void VEKAPI VekPixelReorder(void* inData, int32_t inBpp, int32_t inOrg, void* outData,
                                       int32_t numPixels) {
  ApiCall("vekmain.VekPixelReorder", [&] {
    ApiTrace("VekPixelReorder: inData=" + TrPtr(inData) + ", inBpp=" + NumText(inBpp) + ", inOrg=" +
             NumText(inOrg) + ", outData=" + TrPtr(outData) + ", numPixels=" + NumText(numPixels));
    if (!inData || numPixels <= 0 || (inBpp != 24 && inBpp != 32)) return;
    auto* in = static_cast<uint8_t*>(inData);
    const size_t n = static_cast<size_t>(numPixels);
    if (inBpp == 32)  // packed in place to three bytes, front to back
      for (size_t i = 0; i < n; ++i) std::memmove(in + 3 * i, in + 4 * i, 3);
    if (inOrg != 0 || !outData) return;
    auto* out = static_cast<uint8_t*>(outData);
    for (size_t i = 0; i < n; ++i) {
      const uint8_t a = in[3 * i], m = in[3 * i + 1], c = in[3 * i + 2];
      out[3 * i] = c;
      out[3 * i + 1] = m;
      out[3 * i + 2] = a;
    }
  });
}

}  // extern "C"
