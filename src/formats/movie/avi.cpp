// AVI movies: the format's descriptor.
// Reading and writing are not built yet: the dispatchers answer this format
// with their "not supported" errors, and the compressor choice is only
// stored (no compressor takes frames until the codec layer exists).
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {9, {kFmtAVI, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved",
         "AVI, Windows Audio Video Interleaved"}},
};
constexpr FormatRow kWrite[] = {
    {0, {kFmtAVI, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved",
         "AVI, Windows Audio Video Interleaved"}},
};

// Choosing a compressor keeps the quality, key frame rate and data rate.
void AviSetCodec(VekSaveOpts& o, int32_t codec) {
  o.prepKeyFrameRate = o.avi.keyFrameRate;
  o.prepQuality = o.avi.quality;
  o.prepDataRate = o.avi.dataRate;
  o.avi.handler = static_cast<uint32_t>(codec);
  o.avi.keyFrameRate = o.prepKeyFrameRate;
  o.avi.quality = o.prepQuality;
  o.avi.dataRate = o.prepDataRate;
}

// No compressor takes frames yet.
int32_t AviPrepare(VekSaveOpts&, int32_t, int32_t, int32_t, int32_t) { return 0; }
}  // namespace

extern const FormatDescriptor kAviFormat{
    .id = kFmtAVI,
    .tag = "AVI",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsPal15,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .save = {.dialog = true,
             .set_codec = AviSetCodec,
             .set_quality = [](VekSaveOpts& o, int32_t v) { o.avi.quality = v; },
             .set_key_frame_rate = [](VekSaveOpts& o, int32_t v) { o.avi.keyFrameRate = v; },
             .set_data_rate = [](VekSaveOpts& o, int32_t v) { o.avi.dataRate = v; },
             .codec_name = [](const VekSaveOpts& o) { return FourCCText(o.avi.handler); },
             .prepare = AviPrepare},
};

}  // namespace vek
