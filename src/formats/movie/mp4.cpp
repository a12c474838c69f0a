#include "formats/movie/mp4.h"

#include <iterator>
#include <string>

#include "formats/movie/av_movie.h"

namespace vek {

namespace {

constexpr FormatRow kRead[] = {
    {20, {kFmtMP4, 0x1A, ".mp4.m4v.mov", "MP4", "MPEG-4 Part 14 / QuickTime", "MP4/MOV, MPEG-4 Part 14 / QuickTime"}, true},
};
constexpr FormatRow kWrite[] = {
    {20, {kFmtMP4, 0x1A, ".mp4.m4v", "MP4", "MPEG-4 Part 14 (H.264, AAC)", "MP4, MPEG-4 Part 14 (H.264, AAC)"}, true},
};

std::string CodecName(const VekSaveOpts& o) {
  return o.mpegDataRate > 0 ? "H.264, " + std::to_string(o.mpegDataRate) + " kbit/s"
                            : "H.264, quality " + std::to_string(o.jpegQuality);
}

}  // namespace

extern const FormatDescriptor kMp4Format{
    .id = kFmtMP4,
    .tag = "MP4",
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
             .apply = [](const VekSaveOpts& o) { AvApply(AvMovieKind::kMp4, o); }},
    .output = {},
    .info = AvMovieInfo,
    .movie = &kAvMp4Ops,
};

}  // namespace vek
