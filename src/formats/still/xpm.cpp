// X PixMap images (FF_XPM): the platform library parses and writes the
// text; this module moves pixels between it and image records.
#include "formats/still/xpm.h"

#include <cstring>
#include <iterator>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "formats/still/raster_io.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "formats/still/xpm_io.h"

namespace vek {

namespace {

// Width and height of the file, or the error of an unreadable one.
XpmExchange XpmSize(const std::string& name) {
  XpmExchange x{0, 0, 0, nullptr, 0};
  if (ReadXpm(name.c_str(), &x) != 0) ErrReportCode(kGrpImage, kImgOpen, 1);
  return x;
}

}  // namespace

void XPMLoad(const std::string& name, QImg& img) {
  Monitored("FF_XPM.XPMLoad", [&] {
    SetCurrentFileName(name);
    XpmExchange x = XpmSize(name);
    _imgalloc_(&img, x.width, x.height, 24, 2, "FF_XPM.XPMLoad.ih");
    x.pixels = img.pixels;
    x.reserved = 0;
    if (ReadXpm(name.c_str(), &x) != 0) ErrReportCode(kGrpImage, kImgOpen, 3);
  });
}

void XPMSave(const std::string& name, QImg& img) {
  Monitored("FF_XPM.XPMSave", [&] {
    RasterCheckSave(img, 65535);
    SetCurrentFileName(name);
    FDelete(name);
    // The library takes 24-bit pixels: other depths go through a copy.
    Tracked<uint8_t> conv;
    uint8_t* pixels = img.pixels;
    if (img.bits != 24) {
      const int64_t n = static_cast<int64_t>(img.width) * img.height;
      conv.Alloc(3 * n, 5, "FF_XPM.XPMSave.conv", kMemNew);
      uint8_t* d = conv.get();
      const uint8_t* s = img.pixels;
      switch (img.bits) {
        case 8:
          for (int64_t i = 0; i < n; ++i) std::memcpy(d + 3 * i, img.palette + 3 * s[i], 3);
          break;
        case 15: Row15To24(s, d, static_cast<int32_t>(n)); break;
        case 16: Row16To24(s, d, static_cast<int32_t>(n)); break;
        default: Row32To24(s, d, static_cast<int32_t>(n)); break;
      }
      pixels = d;
    }
    XpmExchange x{img.width, img.height, 0, pixels, 0};
    if (WriteXpm(name.c_str(), &x) != 0) ErrReportCode(kGrpImage, kImgCreate, 4);
  });
}

void XPMInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_XPM.XPMInfo", [&] {
    {
      TrackedFile f;
      f.Open(name, kFmRead);
      info.size = f.Size();
    }
    const XpmExchange x = XpmSize(name);
    info.width = x.width;
    info.height = x.height;
    info.bytespp = 3;
    info.bits = 24;
    info.frames = 1;
    info.imagesValid = x.width > 0 ? -1 : 0;
    info.imagesSupported = info.imagesValid;
  });
}

namespace {
constexpr FormatRow kRead[] = {
    {16, {kFmtXPM, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"}},
};
constexpr FormatRow kWrite[] = {
    {14, {kFmtXPM, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"}},
};
}  // namespace

extern const FormatDescriptor kXpmFormat{
    .id = kFmtXPM,
    .tag = "XPM",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {},
    .load = XPMLoad,
    .save_image = XPMSave,
    .info = XPMInfo,
};

}  // namespace vek
