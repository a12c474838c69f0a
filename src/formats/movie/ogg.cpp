// Ogg Vorbis sound files: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {18, {kFmtOGG, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"}},
};
constexpr FormatRow kWrite[] = {
    {16, {kFmtOGG, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"}},
};
}  // namespace

extern const FormatDescriptor kOggFormat{
    .id = kFmtOGG,
    .tag = "OGG",
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
