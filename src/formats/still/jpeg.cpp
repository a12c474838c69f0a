// JPEG images: load, save and file information over libjpeg, and the
// format's descriptor.
#include "formats/still/jpeg.h"

#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "formats/still/orientation.h"
#include "formats/still/raster_io.h"
#include "foundation/errors.h"
#include "foundation/memory.h"
#include "foundation/files.h"
#include "codecs/libjpeg/jpeg_codec.h"

namespace vek {

namespace {

int32_t g_jpeg_quality = 85;

// The record counts its bytes in 32 bits; pictures above 1 GiB are refused.
constexpr int64_t kMaxImageBytes = int64_t{1} << 30;

int64_t FileSize(const std::string& name) {
  TrackedFile f;
  f.Open(name, kFmRead);
  return f.Size();
}

}  // namespace

int32_t JPGSetQuality(int32_t quality) {
  if (quality != kUndefined) g_jpeg_quality = quality < 0 ? 0 : quality > 100 ? 100 : quality;
  return g_jpeg_quality;
}

namespace {

// The file's information with its sides as stored, and its orientation.
void StoredInfo(const std::string& name, QffInfo& info, int32_t& orientation) {
  int32_t w = 0, h = 0, comps = 0;
  orientation = kOrientTopLeft;
  if (info_JPEG_file(name.c_str(), &w, &h, &comps, &orientation) != 0) {
    // The library's reason stays visible next to the error.
    WarnReportText(kGrpExternal, JpegLastMessage(), 7);
    ErrReportCode(kGrpImage, kImgOpen, 1);
  }
  info.size = FileSize(name);
  info.width = w;
  info.height = h;
  info.bytespp = comps;
  info.bits = comps * 8;
  info.frames = 1;
  SetText(info.compression, "JFIF 1.02");
  info.imagesValid = w > 0 ? -1 : 0;
  info.imagesSupported = info.imagesValid;
}

}  // namespace

void JPGInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_JPG.JPGInfo", [&] {
    int32_t orientation = kOrientTopLeft;
    StoredInfo(name, info, orientation);
    // Turned pictures load with their sides exchanged.
    if (StillAutoOrient() && orientation >= 5) std::swap(info.width, info.height);
  });
}

void JPGLoad(const std::string& name, QImg& img) {
  Monitored("FF_JPG.JPGLoad", [&] {
    QffInfo fi{};
    JPGInfo(name, fi);
    if (fi.width <= 0 || fi.height <= 0 || fi.width > kJpegMaxSide || fi.height > kJpegMaxSide ||
        static_cast<int64_t>(fi.width) * fi.height * fi.bytespp > kMaxImageBytes)
      ErrReportCode(kGrpImage, kImgUnsupported, 2);
    ImgLoadGuard loading(img);
    ImgAlloc(&img, fi.width, fi.height, fi.bits, 3, "FF_JPG.JPGLoad.img");
    // The picture is decoded as stored (the information gives the sides of
    // a turned one exchanged: the bytes are the same) and turned afterwards.
    int32_t w = 0, h = 0, comps = 0, orientation = kOrientTopLeft;
    if (read_JPEG_file(name.c_str(), img.pixels, img.size, &w, &h, &comps, &orientation) != 0) {
      WarnReportText(kGrpExternal, JpegLastMessage(), 8);
      ErrReportCode(kGrpImage, kImgOpen, 4);
    }
    const bool turned = StillAutoOrient() && orientation >= 5;
    if ((turned ? h : w) != fi.width || (turned ? w : h) != fi.height || comps != fi.bytespp)
      ErrReportCode(kGrpImage, kImgOpen, 5);
    ImgSetDims(&img, w, h, comps * 8);
    if (comps == 1)
      for (int i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
    if (StillAutoOrient()) OrientImage(img, orientation);
  });
}

void JPGSave(const std::string& name, QImg& img) {
  Monitored("FF_JPG.JPGSave", [&] {
    RasterCheckSave(img, kJpegMaxSide);
    FDelete(name);
    struct Temp {
      QImg r{};
      // Plain release: this may run while an error unwinds the block, where
      // no monitored procedure may start.
      ~Temp() { MemFree(r.pixels); }
    } temp;
    const QImg* src = &img;
    if (img.bits != 24) {
      ImgConvBpp(&img, &temp.r, 24);
      src = &temp.r;
    }
    if (write_JPEG_file(name.c_str(), src->pixels, src->width, src->height, g_jpeg_quality) != 0) {
      WarnReportText(kGrpExternal, JpegLastMessage(), 9);
      ErrReportCode(kGrpImage, kImgCreate, 6);
    }
  });
}

namespace {
constexpr FormatRow kRead[] = {
    {11, {kFmtJPEG, 0x09, ".jpg.jpeg.jif.jfif.jpe.J", "JPEG", "Joint Photographic Experts Group", "JPEG, Joint Photographic Experts Group"}},
};
constexpr FormatRow kWrite[] = {
    {4, {kFmtJPEG, 0x09, ".jpg.jpeg", "JPEG", "Joint Photographic Experts Group", "JPEG, Joint Photographic Experts Group"}},
};
}  // namespace

extern const FormatDescriptor kJpegFormat{
    .id = kFmtJPEG,
    .tag = "JPG",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_quality = StoreOption<&VekSaveOpts::jpegQuality>,
        .codec_name = [](const VekSaveOpts& o) -> std::string {
          return "JPEG quality: " + NumText(o.jpegQuality) + "%";
        },
        .prepare = [](VekSaveOpts& o, int32_t, int32_t, int32_t, int32_t depth) {
          o.prepQuality = o.jpegQuality;
          return depth;
        },
        .apply = [](const VekSaveOpts& o) { JPGSetQuality(o.prepQuality); },},
    .load = JPGLoad,
    .save_image = JPGSave,
    .info = JPGInfo,
};

}  // namespace vek
