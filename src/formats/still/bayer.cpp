// Bayer raw sensor images: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

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
};

}  // namespace vek
