// Windows wave sound files: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {10, {kFmtWAV, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"}},
};
constexpr FormatRow kWrite[] = {
    {9, {kFmtWAV, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"}},
};
}  // namespace

extern const FormatDescriptor kWavFormat{
    .id = kFmtWAV,
    .tag = "WAV",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsNone,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .save = {},
};

}  // namespace vek
