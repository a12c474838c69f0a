#include "formats/movie/mpegts.h"

#include <iterator>

#include "formats/movie/av_movie.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {22, {kFmtMPEGTS, 0x1A, ".ts.m2ts.mts", "MPEG-TS", "MPEG Transport Stream", "MPEG-TS, MPEG Transport Stream"}, true},
};
}  // namespace

extern const FormatDescriptor kMpegTsFormat{
    .id = kFmtMPEGTS,
    .tag = "TS",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = nullptr,
    .write_count = 0,
    .depths = nullptr,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .info = AvMovieInfo,
    .movie = &kAvReadOps,
};

}  // namespace vek
