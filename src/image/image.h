// The image record, its pixel formats, and the set-up and wind-up that every
// image operation runs through (ImgBasic).
//
// Pixel layout, binding for everything that reads or writes pixels:
//   rows top-down (row 0 is the top), each width * bytespp bytes, no padding;
//    8 bits: palette index per byte; palette entries blue, green, red;
//   15 bits: little-endian word, bits 14-10 red, 9-5 green, 4-0 blue, bit 15 = 0;
//   16 bits: little-endian word, bits 15-11 red, 10-5 green, 4-0 blue;
//   24 bits: blue, green, red;
//   32 bits: blue, green, red, unused (0 when made from 24 bits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

namespace vek {

// Host-visible record: plain C layout, passed by pointer. `pixels` comes
// first so the record's address is the address of the variable that holds
// the tracked pixel allocation.
struct QImg {
  uint8_t* pixels;       // tracked allocation, or host memory when `external`
  int32_t size;          // width * height * bytespp
  int32_t width;         // pixels per row
  int32_t height;        // rows
  int32_t bytespp;       // (bits + 7) / 8: 1, 2, 3 or 4
  int32_t bits;          // 8, 15, 16, 24 or 32
  uint8_t palette[768];  // 256 entries blue, green, red; used when bits == 8
  int32_t external;      // nonzero: pixel memory belongs to the host, never freed here
};
static_assert(offsetof(QImg, pixels) == 0, "pixels must be the first field");

inline constexpr int32_t kPaletteBytes = 768;

// Operation codes.
enum ImgOpCode : int32_t {
  kOpBrightness = 3,
  kOpContrast = 5,
  kOpEdge = 8,
  kOpFlipV = 13,
  kOpGamma = 14,
  kOpSharpen = 27,
  kOpSoften = 28,
  kOpSwapRB = 30,
  kOpWhiteBalance = 32,
  kOpSprite = 36,
  kOpResize = 37,
  kOpResample = 38,
  kOpInsert = 41,
  kOpRemap = 42,
};

// Index into ImgOpDesc::depth by source bits.
enum ImgDepthSlot : int32_t {
  kDepth8 = 0,
  kDepth15 = 1,
  kDepth16 = 2,
  kDepth24 = 3,
  kDepth32 = 4,
  kDepthOther = 5,
};

struct ImgParamRange {
  double minimum;
  double maximum;
  double initial;  // default value
};

// Operation descriptor: how an operation treats its source and destination.
struct ImgOpDesc {
  int32_t op;               // operation code
  int32_t depth[6];         // working depth for 8, 15, 16, 24, 32 and other sources
  int32_t in_place;         // flag: may write into its own source
  int32_t palette_only;     // flag: 8-bit sources transform the palette, not the pixels
  int32_t params_defined;   // flag: a parameter range was entered
  int32_t convert_dest;     // flag: an existing destination is converted to the working depth
  int32_t raise_dest;       // flag: a shallower destination is raised; a deeper one wins
  int32_t param_count;      // ranges entered
  ImgParamRange params[16];
};

// Operation frame: the state of one running operation, a local of it.
struct ImgOpFrame {
  int32_t free_temp;        // free `temp` at the end
  int32_t copy_pixels_end;  // palette-only work: copy source pixels to the destination
  int32_t copy_palette_end; // 8-bit pixel work: copy the palette to the destination
  int32_t xchg_end;         // result built in `temp`; exchange it into the source
  int32_t src_row_bytes;
  int32_t dst_row_bytes;
  int64_t src_bytes;
  int64_t dst_bytes;
  int32_t units;            // pixels, or 256 palette entries
  int32_t dst_units;
  int64_t src_pixel_count;
  int64_t dst_pixel_count;
  int64_t src_span;         // bytes covered by the unit loop
  int64_t dst_span;
  int32_t req_width;
  int32_t req_height;
  QImg* src;                // working source
  QImg* dst;                // working destination
  QImg temp;                // owned by the frame
  uint8_t* src_unit_ptr;    // pixels, or palette in palette-only mode
  uint8_t* dst_unit_ptr;
};

// ---- record management ----

// True when the pixels are a live tracked allocation or host memory.
bool ImgValid(const QImg* image);
// (Re)allocates the pixels at width x height x bits; the palette is kept.
// Bad sizes or depths report an error and allocate nothing.
void _imgalloc_(QImg* image, int32_t width, int32_t height, int32_t bits, int32_t site,
                const char* label);
inline void ImgAlloc(QImg* image, int32_t width, int32_t height, int32_t bits, int32_t site,
                     const char* label) {
  _imgalloc_(image, width, height, bits, site, label);
}
void ImgSetDims(QImg* image, int32_t width, int32_t height, int32_t bits);
void ImgCopyDims(const QImg* source, QImg* destination);
void ImgFree(QImg* image);

// Frees a local image record's pixels on every path, also while an error
// unwinds (image records are plain records; their pixels are held by them).
// Empties the image a load was filling when an error leaves the load, so
// a caller never keeps a half-read picture.
class ImgLoadGuard {
 public:
  explicit ImgLoadGuard(QImg& image) : image_(image), pending_(std::uncaught_exceptions()) {}
  ~ImgLoadGuard() {
    if (std::uncaught_exceptions() > pending_) ImgFree(&image_);
  }
  ImgLoadGuard(const ImgLoadGuard&) = delete;
  ImgLoadGuard& operator=(const ImgLoadGuard&) = delete;

 private:
  QImg& image_;
  int pending_;
};

class ImgGuard {
 public:
  explicit ImgGuard(QImg& image) : image_(image) {}
  ~ImgGuard() { ImgFree(&image_); }
  ImgGuard(const ImgGuard&) = delete;
  ImgGuard& operator=(const ImgGuard&) = delete;

 private:
  QImg& image_;
};
void ImgCopyPalette(const QImg* source, QImg* destination);
void ImgCopyData(const QImg* source, QImg* destination);
void ImgCopy(const QImg* source, QImg* destination);
void ImgXchg(QImg* a, QImg* b);

// Bytes per pixel of a depth: 1, 2, 3, 4, or 0 for an unknown depth.
int32_t ImgBytesPP(int32_t bits);

// ---- operation set-up ----

void ImgInitInfo(ImgOpDesc* desc);
void ImgInfo(ImgOpDesc* desc, int32_t op);
// `destination` may be the source, or null for in-place work.
void ImgInitEx(ImgOpDesc* desc, ImgOpFrame* frame, QImg* source, QImg* destination,
               int32_t width, int32_t height);
void ImgInit(ImgOpDesc* desc, ImgOpFrame* frame, QImg* source, QImg* destination);
void ImgDone(ImgOpFrame* frame);

// ---- conversions and whole-image operations ----
// Source and destination may be the same record (or destination null).

// Palette modes of the conversion to 8 bits.
enum ImgPalMode : int32_t {
  kPalOptimize = 0,  // optimised palette, no dithering
  kPalDither = 1,    // optimised palette, error diffusion
  kPalGrey = 2,      // grey levels (4 likewise)
};

void ImgConvBpp(QImg* source, QImg* destination, int32_t bits);
void ImgConvBppEx(QImg* source, QImg* destination, int32_t bits, int32_t palette_mode);
void ImgFlipV(QImg* source, QImg* destination);
void ImgSwapRB(QImg* source, QImg* destination);
// table: 256 bytes for red, 256 for green, 256 for blue.
void ImgRemap(QImg* source, QImg* destination, const uint8_t* table);

// ---- raw pixel buffers ----

// Copies width x height pixels already in the record layout; 768 palette
// bytes when `palette` is not null.
void RawToQimg(QImg* image, const void* pixels, const uint8_t* palette, int32_t width,
               int32_t height, int32_t bits);
// Copies rows `stride` bytes apart; a bottom-up buffer (top_down 0) puts its
// first row last.
void MakeQimg(QImg* image, const void* rows, int32_t width, int32_t height, int32_t bits,
              int32_t stride, int32_t top_down);

}  // namespace vek
