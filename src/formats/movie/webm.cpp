#include "formats/movie/webm.h"

#include <iterator>
#include <string>

#include "formats/movie/av_movie.h"

namespace vek {

namespace {

constexpr FormatRow kRead[] = {
    {21, {kFmtWEBM, 0x1A, ".webm.mkv", "WEBM", "WebM / Matroska", "WebM/MKV, WebM / Matroska"}, true},
};
constexpr FormatRow kWrite[] = {
    {21, {kFmtWEBM, 0x1A, ".webm", "WEBM", "WebM (VP9, Opus)", "WebM, WebM (VP9, Opus)"}, true},
};

std::string CodecName(const VekSaveOpts& o) {
  return o.mpegDataRate > 0 ? "VP9, " + std::to_string(o.mpegDataRate) + " kbit/s"
                            : "VP9, quality " + std::to_string(o.jpegQuality);
}

}  // namespace

extern const FormatDescriptor kWebmFormat{
    .id = kFmtWEBM,
    .tag = "WEBM",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .save = {.dialog = true,
             .set_quality = AvSetQuality,
             .set_key_frame_rate = AvSetKeyFrameRate,
             .set_data_rate = AvSetDataRate,
             .codec_name = CodecName,
             .prepare = AvPrepare,
             .apply = [](const VekSaveOpts& o) { AvApply(AvMovieKind::kWebm, o); }},
    .output = {},
    .info = AvMovieInfo,
    .movie = &kAvWebmOps,
};

}  // namespace vek
