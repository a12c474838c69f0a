// Silicon Graphics images: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {5, {kFmtSGI, 0x09, ".rgb.rgba.bw.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"}},
};
constexpr FormatRow kWrite[] = {
    {10, {kFmtSGI, 0x09, ".rgb.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"}},
};
}  // namespace

extern const FormatDescriptor kSgiFormat{
    .id = kFmtSGI,
    .tag = "SGI",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::sgiCodec>,
        .codec_name = RleWhenSet<&VekSaveOpts::sgiCodec>,
        .prepare = PrepareCodec<&VekSaveOpts::sgiCodec>,},
};

}  // namespace vek
