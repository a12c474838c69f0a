#include "formats/movie/mp4.h"

#include "formats/movie/av_movie.h"

namespace vek {

namespace {

constexpr FormatRow kRead[] = {
    {20, {kFmtMP4, 0x1A, ".mp4.m4v.mov", "MP4", "MPEG-4 Part 14 / QuickTime", "MP4/MOV, MPEG-4 Part 14 / QuickTime"}, true},
};
constexpr FormatRow kWrite[] = {
    {20, {kFmtMP4, 0x1A, ".mp4.m4v", "MP4", "MPEG-4 Part 14 (H.264, AAC)", "MP4, MPEG-4 Part 14 (H.264, AAC)"}, true},
};

}  // namespace

extern constinit const FormatDescriptor kMp4Format =
    AvWrittenFormat<AvMovieKind::kMp4>(kFmtMP4, "MP4", kRead, kWrite, &kAvMp4Ops);

}  // namespace vek
