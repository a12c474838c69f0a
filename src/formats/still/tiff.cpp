// TIFF images: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {12, {kFmtTIFF, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"}},
};
constexpr FormatRow kWrite[] = {
    {13, {kFmtTIFF, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"}},
};
std::string TiffCodecName(const VekSaveOpts& o) {
  switch (o.tiffCompression) {
    case 5: return "Variable-Length-Code LZW";
    case 7: return "JPEG DCT compression";
    case 32773: return "PackBits (Macintosh RLE)";
    case 32946: return "Deflate compression (ZIP)";
    default: return "";
  }
}
}  // namespace

extern const FormatDescriptor kTiffFormat{
    .id = kFmtTIFF,
    .tag = "TIF",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsPal24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::tiffCompression>,
        .codec_name = TiffCodecName,
        .prepare = PrepareCodec<&VekSaveOpts::tiffCompression>,},
};

}  // namespace vek
