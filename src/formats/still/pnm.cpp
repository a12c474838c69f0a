// Portable images (PNM, PGM, PPM): the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {6, {kFmtPNM, 0x09, ".pnm.ppm.pgm", "PNM", "Portable Image", "PNM, Portable Image"}},
};
constexpr FormatRow kWrite[] = {
    {12, {kFmtPNM, 0x09, ".ppm.pnm", "PPM", "Portable PixelMap", "PPM, Portable PixelMap"}},
};
}  // namespace

extern const FormatDescriptor kPnmFormat{
    .id = kFmtPNM,
    .tag = "PNM",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::pnmAscii>,
        .codec_name = [](const VekSaveOpts& o) -> std::string {
          return o.pnmAscii != 0 ? "ASCII encoded" : "Binary encoded";
        },
        .prepare = PrepareCodec<&VekSaveOpts::pnmAscii>,},
};

}  // namespace vek
