// Sun raster images: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {4, {kFmtRAS, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"}},
};
constexpr FormatRow kWrite[] = {
    {11, {kFmtRAS, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"}},
};
}  // namespace

extern const FormatDescriptor kSunRasterFormat{
    .id = kFmtRAS,
    .tag = "RAS",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsPal24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::rasCodec>,
        .codec_name = RleWhenSet<&VekSaveOpts::rasCodec>,
        .prepare = PrepareCodec<&VekSaveOpts::rasCodec>,},
};

}  // namespace vek
