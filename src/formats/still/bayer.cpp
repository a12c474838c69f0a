// Bayer raw sensor images (FF_BAY): BAY files of two fixed sizes with a
// trailer, and raw cell buffers of any size.
#include "formats/still/bayer.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "formats/still/raster_io.h"
#include "foundation/errors.h"
#include "foundation/memory.h"

namespace vek {

namespace {

void GreyPalette(QImg& img) {
  for (int32_t i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
}

// Colour cells of one pair of rows. Written as two plain loops over whole
// pixels so that the compiler keeps them in registers and vectorises them.
template <int R, int B, int G0, int G1>
void ColourPair(const uint8_t* __restrict s, uint8_t* __restrict up, uint8_t* __restrict lo,
                int32_t cells) {
  for (int32_t i = 0; i < cells; ++i) {
    const uint8_t* c = s + 4 * i;
    uint8_t* u = up + 6 * i;
    uint8_t* l = lo + 6 * i;
    const uint8_t r = c[R], b = c[B], g0 = c[G0], g1 = c[G1];
    u[0] = b, u[1] = g0, u[2] = r, u[3] = b, u[4] = g0, u[5] = r;
    l[0] = b, l[1] = g1, l[2] = r, l[3] = b, l[4] = g1, l[5] = r;
  }
}

}  // namespace

void BayConvert(const uint8_t* src, uint8_t* dst, int32_t width, int32_t color_order,
                int32_t mono, int32_t height) {
  if (!src || !dst || width < 2 || height < 2) return;
  const int32_t cells = width / 2;
  const int32_t pairs = height / 2;
  const int64_t bpp = mono == 1 ? 1 : 3;
  const int64_t stride = static_cast<int64_t>(width) * bpp;
  for (int32_t j = 0; j < pairs; ++j) {
    const uint8_t* s = src + static_cast<int64_t>(j) * cells * 4;
    uint8_t* up = dst + 2 * j * stride;
    uint8_t* lo = up + stride;
    if (mono == 1) {
      for (int32_t i = 0; i < cells; ++i) {
        up[2 * i] = s[4 * i];
        up[2 * i + 1] = s[4 * i + 1];
        lo[2 * i] = s[4 * i + 2];
        lo[2 * i + 1] = s[4 * i + 3];
      }
    } else if (color_order != 0) {
      ColourPair<1, 2, 0, 3>(s, up, lo, cells);
    } else {
      ColourPair<3, 0, 2, 1>(s, up, lo, cells);
    }
  }
}

double BaySpeed(const char source[2], int32_t code) {
  static constexpr double kMl[7] = {30, 60, 125, 250, 500, 1000, 2000};
  static constexpr double kEk[3] = {250, 500, 1000};
  if (source[0] == 'M' && source[1] == 'L' && code >= 1 && code <= 7) return kMl[code - 1];
  const bool ek = (source[0] == 'E' && source[1] == 'K') || (source[0] == 'R' && source[1] == 'O');
  if (ek && code >= 1 && code <= 3) return kEk[code - 1];
  return kUndefinedD;
}

std::string BayDescription(const char source[2], int32_t bytespp) {
  std::string d(source, 2);
  if (d == "ML")
    d = "ML-1 sensor";
  else if (d == "EK")
    d = bytespp == 1 ? "EK-M sensor" : "EK-C sensor";
  if (bytespp == 1) d += " (monochrome)";
  if (bytespp == 3) d += " (color)";
  return d;
}

void BayOpen_(const std::string& name, QBayFile& bay) {
  Monitored("FF_BAY.BayOpen_", [&] {
    bay.file.Open(name, kFmRead);
    bay.file_size = bay.file.Size();
    if (bay.file_size == kBaySmallSize)
      bay.height = 144;
    else if (bay.file_size == kBayLargeSize)
      bay.height = 384;
    else
      ErrReportCode(kGrpImage, kImgInvalid, 1);
    bay.width = kBayWidth;
    bay.file.Seek(static_cast<int64_t>(bay.width) * bay.height);
    bay.file.Read(&bay.trailer, sizeof bay.trailer);
    if (std::memcmp(bay.trailer.tag, kBayTag, 5) != 0) ErrReportCode(kGrpImage, kImgInvalid, 2);
    bay.source[0] = bay.trailer.source[0];
    bay.source[1] = bay.trailer.source[1];
    bay.source[2] = '\0';
    bay.speed = BaySpeed(bay.trailer.source, bay.trailer.speed);
    bay.bytespp = bay.trailer.mode == 1 ? 3 : bay.trailer.mode == 2 ? 1 : 0;
    bay.color_order = true;
    bay.file.Seek(0);
  });
}

void BayLoad(const std::string& name, QImg& img) {
  Monitored("FF_BAY.BayLoad", [&] {
    QBayFile bay;
    BayOpen_(name, bay);
    if (bay.bytespp == 0) ErrReportCode(kGrpImage, kImgUnsupported, 3);
    const int64_t n = static_cast<int64_t>(bay.width) * bay.height;
    Tracked<uint8_t> cmps(n, 4, "FF_BAY.BayLoad.cmpsData", kMemNew);
    bay.file.Read(cmps.get(), n);
    bay.file.Close();
    _imgalloc_(&img, bay.width, bay.height, 8 * bay.bytespp, 5, "FF_BAY.BayLoad.ih");
    BayConvert(cmps.get(), img.pixels, bay.width, 1, bay.bytespp == 1 ? 1 : 0, bay.height);
    if (bay.bytespp == 1) GreyPalette(img);
  });
}

void BayInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_BAY.BayInfo", [&] {
    QBayFile bay;
    BayOpen_(name, bay);
    info.size = bay.file_size;
    info.width = bay.width;
    info.height = bay.height;
    info.bytespp = bay.bytespp;
    info.bits = 8 * bay.bytespp;
    info.frames = 1;
    info.speed = bay.speed;
    SetText(info.compression, BayDescription(bay.source, bay.bytespp).c_str());
    info.imagesValid = bay.width > 0 ? -1 : 0;
    info.imagesSupported = bay.bytespp != 0 ? -1 : 0;
  });
}

void BayLoadCustom(const std::string& name, QImg& img, int32_t width, int32_t color_order,
                   int32_t mono, int32_t height) {
  Monitored("FF_BAY.BayLoadCustom", [&] {
    // No complete cell: nothing could be converted.
    if (width < 2 || height < 2) ErrReportCode(kGrpImage, kImgInvalid, 6);
    const int32_t bits = mono == 1 ? 8 : 24;
    QImgFile dims;
    dims.width = width;
    dims.height = height;
    dims.bytespp = bits / 8;
    RasterCheckDims(dims);
    TrackedFile file;
    file.Open(name, kFmRead);
    const int64_t n = static_cast<int64_t>(width) * height;
    if (file.Size() < n) ErrReportCode(kGrpImage, kImgInvalid, 7);
    Tracked<uint8_t> cmps(n, 8, "FF_BAY.BayLoadCustom.cmpsData", kMemNew);
    file.Read(cmps.get(), n);
    file.Close();
    _imgalloc_(&img, width, height, bits, 9, "FF_BAY.BayLoadCustom.ih");
    // An odd last row or column stays black.
    std::memset(img.pixels, 0, static_cast<size_t>(img.size));
    BayConvert(cmps.get(), img.pixels, width, color_order, mono, height);
    if (bits == 8) GreyPalette(img);
  });
}

int32_t BayGetHdr(const std::string& name, void* buffer, int32_t size) {
  return Monitored("FF_BAY.BayGetHdr", [&]() -> int32_t {
    TrackedFile file;
    file.Open(name, kFmRead);
    if (file.Size() != kBayLargeSize) ErrReportCode(kGrpImage, kImgInvalid, 10);
    const int32_t n = std::clamp(size, 0, kBayTrailerBytes);
    if (n == 0 || !buffer) return 0;
    file.Seek(kBayLargeSize - kBayTrailerBytes);
    file.Read(buffer, n);
    return n;
  });
}

namespace {
constexpr FormatRow kRead[] = {
    {15, {kFmtBAY, 0x09, ".bay", "BAY", "Bayer Image", "BAY, Bayer Image"}},
};
constexpr const FormatRow* kWrite = nullptr;
}  // namespace

extern const FormatDescriptor kBayerFormat{
    .id = kFmtBAY,
    .tag = "BAY",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = 0,
    .depths = nullptr,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {},
    .load = BayLoad,
    .info = BayInfo,
};

}  // namespace vek
