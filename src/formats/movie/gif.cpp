// GIF reader: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {1, {kFmtGIF, 0x0B, ".gif.giff", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"}},
};
constexpr const FormatRow* kWrite = nullptr;
}  // namespace

extern const FormatDescriptor kGifFormat{
    .id = kFmtGIF,
    .tag = "GIF",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = 0,
    .depths = nullptr,
    .kind = FormatKindRule::kAnimation,
    .delta_frames = true,
    .save = {},
};

}  // namespace vek
