// Stand-alone image services for hosts: adjustments, filters, geometry,
// averaging, and image records with their files and pixels.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/image_api.h"
#include "api/job.h"
#include "engine/format_registry.h"
#include "engine/media_access.h"
#include "engine/save_options.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/geometry.h"
#include "image/image_adjust.h"
#include "image/palette_internal.h"

namespace vek::api {

std::string ImgTrace(const QImg* image) {
  if (!image) return "NULL";
  return NumText(image->width) + "x" + NumText(image->height) + "x" + NumText(image->bits);
}

std::string SndTrace(const SoundBuffer* sound) {
  if (!sound) return "NULL";
  return NumText(sound->format.nSamplesPerSec) + "x" + NumText(sound->format.nChannels) + "x" +
         NumText(sound->format.wBitsPerSample) + "|" + NumText(sound->sample_count);
}

void RequireImage(const QImg* image, int32_t site) {
  if (!image) ErrRaiseText(kGrpText, "Invalid image handle.", site);
}

void RequirePixels(const QImg* image, int32_t site) {
  RequireImage(image, site);
  pal::CheckPixels(image, site);
}

namespace detail {

void ImgTakeResult(QImg* image, QImg* result) {
  if (result->width == image->width && result->height == image->height &&
      result->bits == image->bits && result->size == image->size) {
    std::memcpy(image->pixels, result->pixels, static_cast<size_t>(image->size));
    std::memcpy(image->palette, result->palette, sizeof image->palette);
    return;
  }
  ImgFree(image);  // the host's memory stays the host's
  ImgCopy(result, image);
}

}  // namespace detail

namespace {

constexpr double kFrameRate = 30.0;

void RequireSize(int32_t width, int32_t height, int32_t site) {
  if (width <= 0 || height <= 0) ErrRaise(kGrpGeneral, kGenOutOfRange, site);
}

std::string Text(const char* s) { return s ? s : ""; }

// Closes a unified handle that an error left open, keeping the error that
// is on its way to the host.
class UniCloser {
 public:
  explicit UniCloser(QUniHandle& h) : h_(h) {}
  ~UniCloser() {
    if (h_.kind == kKindNone && !h_.created) return;
    RecordingLock lock;
    MonitoredBoundary("vekmain.UniCloser", [&] { UniClose(h_); });
  }
  UniCloser(const UniCloser&) = delete;
  UniCloser& operator=(const UniCloser&) = delete;

 private:
  QUniHandle& h_;
};

// The body of both save exports; `prepare` adds the codec and quality.
void SaveImage(QImg* img, const std::string& file, bool prepare, int32_t codec, int32_t quality) {
  RequirePixels(img, 40);
  const int32_t id = FmtId(file, kWriteTable);
  if (id == kUndefined) ErrRaise(kGrpImage, kImgInvalid, 41);
  // Formats without pictures would be created empty before refusing.
  if (!(FmtFlags(id, kWriteTable) & 0x08)) ErrRaise(kGrpMovie, kMviNotSupported, 42);
  QSaveOpts opts{};
  FFSaveReset(opts);
  FFSaveSetFormat(opts, id);
  if (prepare) {
    if (codec != kUndefined) FFSaveSetCodec(opts, codec);
    if (quality != kUndefined) FFSaveSetQuality(opts, quality);
    FFSavePrepare(opts, img->width, img->height, img->bits);
  }
  QUniHandle h{};
  UniCloser closer(h);
  UniCreate(h, file);
  UniSetFrameRate(h, kFrameRate);
  UniSetOptions(h, opts);
  UniImgSave(h, *img);
  UniClose(h);
}

// Packs the three channel tables of the remap export into one; a missing
// table leaves its channel as it is.
void JoinTables(const uint8_t* red, const uint8_t* green, const uint8_t* blue, uint8_t* table) {
  const uint8_t* parts[3] = {red, green, blue};
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 256; ++i) table[256 * c + i] = parts[c] ? parts[c][i] : static_cast<uint8_t>(i);
}

// 24-bit pixels: blue, green, red bytes.
void FillRun(uint8_t* p, int64_t count, uint32_t colour) {
  const uint8_t r = colour & 0xFF, g = (colour >> 8) & 0xFF, b = (colour >> 16) & 0xFF;
  for (int64_t i = 0; i < count; ++i, p += 3) {
    p[0] = b;
    p[1] = g;
    p[2] = r;
  }
}

void Border(QImg* img, int32_t left, int32_t top, int32_t right, int32_t bottom, uint32_t colour) {
  left = std::clamp(left, 0, 4096);
  top = std::clamp(top, 0, 4096);
  right = std::clamp(right, 0, 4096);
  bottom = std::clamp(bottom, 0, 4096);
  if (left + right == 0 && top + bottom == 0) return;
  RequirePixels(img, 30);
  ApiTrace("VekImgBorder: " + ImgTrace(img) + ", left=" + NumText(left) + ", top=" + NumText(top) +
           ", right=" + NumText(right) + ", bottom=" + NumText(bottom));
  // Host pixels are converted beside the record: they cannot be exchanged.
  QImg conv{};
  ImgGuard guard_conv(conv);
  QImg* old = img;
  if (img->bits != 24) {
    ImgConvBpp(img, &conv, 24);
    old = &conv;
  }
  const int32_t w = left + old->width + right;
  const int32_t h = top + old->height + bottom;
  QImg bordered{};
  ImgGuard guard_bordered(bordered);
  ImgAlloc(&bordered, w, h, 24, 1816, "vekmain.VekImgBorder.newImg");
  const int64_t row = int64_t{w} * 3;
  FillRun(bordered.pixels, int64_t{w} * top, colour);
  FillRun(bordered.pixels + row * (top + old->height), int64_t{w} * bottom, colour);
  for (int32_t y = 0; y < old->height; ++y) {
    uint8_t* line = bordered.pixels + row * (top + y);
    FillRun(line, left, colour);
    FillRun(line + int64_t{left + old->width} * 3, right, colour);
  }
  ImgInsert(old, &bordered, left, top);
  if (img->external) {
    ImgFree(img);
    ImgCopy(&bordered, img);
  } else {
    ImgXchg(img, &bordered);
  }
}

// Red, green and blue of one pixel.
void PixelRGB(const QImg* img, int32_t x, int32_t y, int32_t& r, int32_t& g, int32_t& b) {
  const uint8_t* p = img->pixels + (int64_t{y} * img->width + x) * img->bytespp;
  const uint32_t w = img->bytespp >= 2 ? p[0] | uint32_t{p[1]} << 8 : 0;
  switch (img->bits) {
    case 8: {
      const uint8_t* e = img->palette + 3 * p[0];
      b = e[0], g = e[1], r = e[2];
      break;
    }
    case 15:
      b = (w << 3) & 0xFF, g = ((w >> 5) << 3) & 0xFF, r = (w >> 7) & 0xF8;
      break;
    case 16:
      b = (w << 3) & 0xFF, g = ((w >> 5) << 2) & 0xFF, r = (w >> 8) & 0xF8;
      break;
    default:  // 24 and 32 bits: blue, green, red first
      b = p[0], g = p[1], r = p[2];
      break;
  }
}

}  // namespace

}  // namespace vek::api

using namespace vek;
using namespace vek::api;

extern "C" {

// ---- adjustments and filters ----

VEK_EXPORT void VEKAPI VekImgGamma(VekImage* image, double red, double green, double blue) {
  ApiCall("vekmain.VekImgGamma", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 1);
    ApiTrace("VekImgGamma: " + ImgTrace(img) + ", R=" + TrDouble(red) + ", G=" + TrDouble(green) +
             ", B=" + TrDouble(blue));
    RequirePixels(img, 1);
    if (std::isnan(red) || std::isnan(green) || std::isnan(blue)) ErrRaise(kGrpGeneral, kGenOutOfRange, 1);
    ImgInPlace(img, [&](QImg* s, QImg* d) { ImgGamma(s, d, red, green, blue); });
  });
}

#define VEK_TONE_EXPORT(Name, Routine, Site)                                                   \
  VEK_EXPORT void VEKAPI Name(VekImage* image, int32_t red, int32_t green, int32_t blue) {     \
    ApiCall("vekmain." #Name, [&] {                                                            \
      QImg* img = AsImg(image);                                                                \
      RequireImage(img, Site);                                                                 \
      ApiTrace(#Name ": " + ImgTrace(img) + ", R=" + NumText(red) + ", G=" + NumText(green) +  \
               ", B=" + NumText(blue));                                                        \
      RequirePixels(img, Site);                                                                \
      ImgInPlace(img, [&](QImg* s, QImg* d) { Routine(s, d, red, green, blue); });            \
    });                                                                                        \
  }

VEK_TONE_EXPORT(VekImgBrightness, ImgBrightness, 2)
VEK_TONE_EXPORT(VekImgContrast, ImgContrast, 3)
VEK_TONE_EXPORT(VekImgWhiteBalance, ImgWhiteBalance, 4)
#undef VEK_TONE_EXPORT

#define VEK_FILTER_EXPORT(Name, Routine, Site)                          \
  VEK_EXPORT void VEKAPI Name(VekImage* image) {                        \
    ApiCall("vekmain." #Name, [&] {                                     \
      QImg* img = AsImg(image);                                         \
      RequireImage(img, Site);                                          \
      ApiTrace(#Name ": " + ImgTrace(img));                             \
      RequirePixels(img, Site);                                         \
      ImgInPlace(img, [&](QImg* s, QImg* d) { Routine(s, d); });        \
    });                                                                 \
  }

VEK_FILTER_EXPORT(VekImgSoften, ImgSoften, 5)
VEK_FILTER_EXPORT(VekImgSharpen, ImgSharpen, 6)
VEK_FILTER_EXPORT(VekImgEdgeEnhance, ImgEdgeEnhance, 7)
#undef VEK_FILTER_EXPORT

// ---- geometry ----

VEK_EXPORT void VEKAPI VekImgResize(VekImage* image, int32_t resX, int32_t resY) {
  ApiCall("vekmain.VekImgResize", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 8);
    ApiTrace("VekImgResize: " + ImgTrace(img) + ", resX=" + NumText(resX) + ", resY=" + NumText(resY));
    RequirePixels(img, 8);
    if (resX == img->width && resY == img->height) return;
    RequireSize(resX, resY, 8);
    ImgInPlace(img, [&](QImg* s, QImg* d) { ImgResize(s, d, resX, resY); });
  });
}

VEK_EXPORT void VEKAPI VekImgResample(VekImage* image, int32_t resX, int32_t resY) {
  ApiCall("vekmain.VekImgResample", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 9);
    ApiTrace("VekImgResample: " + ImgTrace(img) + ", resX=" + NumText(resX) + ", resY=" + NumText(resY));
    RequirePixels(img, 9);
    if (resX == img->width && resY == img->height) return;
    RequireSize(resX, resY, 9);
    ImgInPlace(img, [&](QImg* s, QImg* d) { ImgResample(s, d, resX, resY); });
  });
}

VEK_EXPORT void VEKAPI VekImgBorder(VekImage* image, int32_t left, int32_t top, int32_t right,
                                    int32_t bottom, int32_t colour) {
  ApiCall("vekmain.VekImgBorder", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 10);
    Border(img, left, top, right, bottom, static_cast<uint32_t>(colour));
  });
}

VEK_EXPORT void VEKAPI VekImgRemap(VekImage* image, const uint8_t* redP, const uint8_t* greenP,
                                   const uint8_t* blueP) {
  ApiCallUnnamed([&] {
    QImg* img = AsImg(image);
    RequireImage(img, 11);
    ApiTrace("VekImgRemap: " + ImgTrace(img) + ", redP=" + TrPtr(redP) + ", greenP=" + TrPtr(greenP) +
             ", blueP=" + TrPtr(blueP));
    RequirePixels(img, 11);
    uint8_t table[768];
    JoinTables(redP, greenP, blueP, table);
    ImgInPlace(img, [&](QImg* s, QImg* d) { ImgRemap(s, d, table); });
  });
}

VEK_EXPORT void VEKAPI VekImgInsert(VekImage* dest, VekImage* source, int32_t x, int32_t y) {
  ApiCall("vekmain.VekImgInsert", [&] {
    QImg* dst = AsImg(dest);
    QImg* src = AsImg(source);
    RequireImage(dst, 12);
    RequireImage(src, 12);
    ApiTrace("VekImgInsert: mImgDest=" + ImgTrace(dst) + ", mImgSrc=" + ImgTrace(src) +
             ", x=" + NumText(x) + ", y=" + NumText(y));
    if (src == dst) return;  // an image is never inserted into itself
    RequirePixels(dst, 12);
    RequirePixels(src, 12);
    ImgInPlace(dst, [&](QImg* s, QImg* d) {
      if (s != d) ImgCopy(s, d);
      ImgInsert(src, d, x, y);
    });
  });
}

// ---- averaging ----

VEK_EXPORT int32_t VEKAPI VekImgAverageClear(void) {
  ApiCall("vekmain.VekImgAverageClear", [] {
    ApiTrace("VekImgAverageClear");
    ImgAverageClear();
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekImgAverageAdd(VekImage* image) {
  ApiCall("vekmain.VekImgAverageAdd", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 13);
    ApiTrace("VekImgAverageAdd");
    RequirePixels(img, 13);
    ImgAverage(img);
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekImgAverageGet(VekImage* image) {
  ApiCall("vekmain.VekImgAverageGet", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 14);
    ApiTrace("VekImgAverageGet");
    ImgAverageGet(img);
  });
  return LastError().status;
}

// ---- records, files and pixels ----

VEK_EXPORT VekImage* VEKAPI VekImgAlloc(void) {
  return ApiCall<VekImage*>("vekmain.VekImgAlloc", nullptr, []() -> VekImage* {
    VekImage* image = AllocHostRecord<VekImage>(1971, "vekmain.VekImgAlloc.imgP");
    std::memset(image, 0, sizeof *image);
    ApiTrace("VekImgAlloc: " + TrPtr(image));
    return image;
  });
}

VEK_EXPORT void VEKAPI VekImgFree(VekImage* image) {
  ApiCall("vekmain.VekImgFree", [&] {
    if (!image) return;
    QImg* img = AsImg(image);
    ApiTrace("VekImgFree: " + TrPtr(image) + ", " + ImgTrace(img));
    ImgFree(img);
    // Records of the host's own (or of a running conversion) stay where they are.
    MemFree(image);
  });
}

VEK_EXPORT int32_t VEKAPI VekImgSkip(VekImage* image) {
  ApiCall("vekmain.VekImgSkip", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 15);
    ApiTrace("VekImgSkip");
    ImgFree(img);
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekImgLoad(VekImage* image, const char* name, int32_t frame) {
  ApiCall("vekmain.VekImgLoad", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 16);
    const std::string file = Text(name);
    ApiTrace("VekImgLoad (init): " + file);
    if (frame < 0 || frame == INT32_MAX) ErrRaise(kGrpGeneral, kGenOutOfRange, 16);
    QUniInfo info{};
    if (!UniInfo(file, info, 1, false)) ErrRaise(WarnGroup(), WarnCode(), 17);
    QUniHandle h{};
    UniCloser closer(h);
    UniOpen(h, info);
    UniImgLoad(h, *img, frame + 1, 0);
    UniClose(h);
    ApiTrace("VekImgLoad (done): " + ImgTrace(img));
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekImgSave(VekImage* image, const char* name) {
  ApiCall("vekmain.VekImgSave", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 18);
    const std::string file = Text(name);
    ApiTrace("VekImgSave: " + ImgTrace(img) + ", file=" + file);
    SaveImage(img, file, false, kUndefined, kUndefined);
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekImgSaveEx(VekImage* image, const char* name, int32_t codec,
                                       int32_t quality) {
  ApiCall("vekmain.VekImgSaveEx", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 19);
    const std::string file = Text(name);
    ApiTrace("VekImgSaveEx: " + ImgTrace(img) + ", file=" + file + ", codec=" +
             TrHex(static_cast<uint32_t>(codec)) + ", quality=" + NumText(quality));
    SaveImage(img, file, true, codec, quality);
  });
  return LastError().status;
}

VEK_EXPORT void VEKAPI VekImgCopy(VekImage* dest, VekImage* source) {
  ApiCall("vekmain.VekImgCopy", [&] {
    QImg* dst = AsImg(dest);
    QImg* src = AsImg(source);
    RequireImage(dst, 20);
    RequireImage(src, 20);
    ApiTrace("VekImgCopy: " + ImgTrace(src));
    if (!ImgValid(src) || src == dst) return;
    RequirePixels(src, 20);
    ImgCopy(src, dst);
  });
}

VEK_EXPORT void VEKAPI VekImgGetInfo(VekImage* image, int32_t* width, int32_t* height, int32_t* bpp,
                                     int32_t* size, uint8_t** pixels, uint8_t** palette) {
  ApiCall("vekmain.VekImgGetInfo", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 21);
    ApiTrace("VekImgGetInfo: " + ImgTrace(img));
    const int64_t bytes = int64_t{img->width} * img->height * ImgBytesPP(img->bits);
    if (width) *width = img->width;
    if (height) *height = img->height;
    if (bpp) *bpp = img->bits;
    if (size) *size = static_cast<int32_t>(std::clamp<int64_t>(bytes, 0, INT32_MAX));
    if (pixels) *pixels = img->pixels;
    if (palette) *palette = img->palette;
  });
}

VEK_EXPORT void VEKAPI VekImgGetPixels(VekImage* image, void* pixels, void* palette) {
  ApiCall("vekmain.VekImgGetPixels", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 22);
    ApiTrace("VekImgGetPixels: " + ImgTrace(img));
    // An image without pixels has none to give (its reported size is 0).
    if (pixels && ImgValid(img)) {
      RequirePixels(img, 22);
      std::memcpy(pixels, img->pixels, static_cast<size_t>(img->size));
    }
    if (palette) std::memcpy(palette, img->palette, sizeof img->palette);
  });
}

VEK_EXPORT void VEKAPI VekImgSetPixels(VekImage* image, int32_t resX, int32_t resY, int32_t bpp,
                                       const void* pixPtr, const void* palPtr) {
  ApiCall("vekmain.VekImgSetPixels", [&] {
    QImg* img = AsImg(image);
    RequireImage(img, 23);
    ApiTrace("VekImgSetPixels: resX=" + NumText(resX) + ", resY=" + NumText(resY) + ", bpp=" +
             NumText(bpp) + ", pixPtr=" + TrPtr(pixPtr) + ", palPtr=" + TrPtr(palPtr));
    const int64_t need = int64_t{std::max(resX, 0)} * std::max(resY, 0) * ImgBytesPP(bpp);
    // Pixels handed back from the record itself must be saved before it is
    // reallocated; they cannot give more than the record holds.
    auto* src = static_cast<const uint8_t*>(pixPtr);
    Tracked<uint8_t> stash;
    int64_t avail = need;
    if (src && MemTracked(img->pixels) && src >= img->pixels && src < img->pixels + MemSize(img->pixels)) {
      avail = std::min<int64_t>(need, img->pixels + MemSize(img->pixels) - src);
      if (avail > 0) {
        stash.Alloc(avail, 24, "vekmain.VekImgSetPixels.stash", kMemNew);
        std::memcpy(stash.get(), src, static_cast<size_t>(avail));
      }
      src = stash.get();
    }
    ImgAlloc(img, resX, resY, bpp, 2221, "vekmain.VekImgSetPixels.imgP^");
    if (src && avail > 0) std::memcpy(img->pixels, src, static_cast<size_t>(avail));
    if (palPtr) std::memmove(img->palette, palPtr, sizeof img->palette);
  });
}

VEK_EXPORT void VEKAPI VekImgGetPixelRGB(VekImage* image, int32_t x, int32_t y, int32_t* r,
                                         int32_t* g, int32_t* b) {
  ApiCall("vekmain.VekImgGetPixelRGB", [&] {
    QImg* img = AsImg(image);
    int32_t red = -1, green = -1, blue = -1;
    auto deliver = [&] {
      if (r) *r = red;
      if (g) *g = green;
      if (b) *b = blue;
    };
    deliver();
    RequireImage(img, 25);
    // A record without pixels has no pixel anywhere.
    if (ImgValid(img) && x >= 0 && y >= 0 && x < img->width && y < img->height) {
      RequirePixels(img, 25);
      PixelRGB(img, x, y, red, green, blue);
      deliver();
    }
    ApiTrace("VekImgGetPixelRGB: " + ImgTrace(img) + ", x=" + NumText(x) + ", y=" + NumText(y) +
             ", r=" + NumText(red) + ", g=" + NumText(green) + ", b=" + NumText(blue));
  });
}

}  // extern "C"
