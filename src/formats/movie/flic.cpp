// Autodesk FLIC animations: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {3, {kFmtFLIC, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"}},
};
constexpr FormatRow kWrite[] = {
    {2, {kFmtFLIC, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"}},
};
constexpr int32_t kDepthsFlic[6] = {8, 8, 8, 8, 8, 8};
}  // namespace

extern const FormatDescriptor kFlicFormat{
    .id = kFmtFLIC,
    .tag = "FLC",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsFlic,
    .kind = FormatKindRule::kMovie,
    .delta_frames = true,
    .save = {.codec_name = [](const VekSaveOpts&) -> std::string {
          return "RLE + pixel difference from previous frame";
        },},
};

}  // namespace vek
