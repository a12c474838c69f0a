// HAV movies, the library's own lossless format: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors.
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {0, {kFmtHAV, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"}},
};
constexpr FormatRow kWrite[] = {
    {3, {kFmtHAV, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"}},
};
constexpr int32_t kDepthsHav[6] = {8, 16, 16, 24, 24, 24};

std::string HavCodecName(const VekSaveOpts& o) {
  return o.havCodec == 0 ? "HAV-BEST compression" : o.havCodec == 1 ? "HAV-FAST compression" : "N/A";
}

int32_t HavPrepare(VekSaveOpts& o, int32_t, int32_t, int32_t, int32_t depth) {
  o.prepCodec = o.havCodec;
  o.prepKeyFrameRate = o.havKeyFrameRate;
  return depth;
}
}  // namespace

extern const FormatDescriptor kHavFormat{
    .id = kFmtHAV,
    .tag = "HAV",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsHav,
    .kind = FormatKindRule::kMovie,
    .delta_frames = true,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::havCodec>,
        .set_key_frame_rate = StoreOption<&VekSaveOpts::havKeyFrameRate>,
        .codec_name = HavCodecName,
        .prepare = HavPrepare,},
};

}  // namespace vek
