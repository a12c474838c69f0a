// JPEG images: the format's descriptor.
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
    {11, {kFmtJPEG, 0x09, ".jpg.jpeg.jif.jfif.jpe.J", "JPEG", "Joint Photographic Experts Group", "JPEG, Joint Photographic Experts Group"}},
};
constexpr FormatRow kWrite[] = {
    {4, {kFmtJPEG, 0x09, ".jpg.jpeg", "JPEG", "Joint Photographic Experts Group", "JPEG, Joint Photographic Experts Group"}},
};
}  // namespace

extern const FormatDescriptor kJpegFormat{
    .id = kFmtJPEG,
    .tag = "JPG",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_quality = StoreOption<&VekSaveOpts::jpegQuality>,
        .codec_name = [](const VekSaveOpts& o) -> std::string {
          return "JPEG quality: " + NumText(o.jpegQuality) + "%";
        },
        .prepare = [](VekSaveOpts& o, int32_t, int32_t, int32_t, int32_t depth) {
          o.prepQuality = o.jpegQuality;
          return depth;
        },},
};

}  // namespace vek
