// PNG images: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {8, {kFmtPNG, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"}},
};
constexpr FormatRow kWrite[] = {
    {6, {kFmtPNG, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"}},
};
}  // namespace

extern const FormatDescriptor kPngFormat{
    .id = kFmtPNG,
    .tag = "PNG",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsPal24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::pngLevel>,
        .codec_name = [](const VekSaveOpts& o) -> std::string {
          return "PNG compression level: " + NumText(o.pngLevel) + " of 9";
        },
        .prepare = PrepareCodec<&VekSaveOpts::pngLevel>,},
};

}  // namespace vek
