// X PixMap images: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

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
};

}  // namespace vek
