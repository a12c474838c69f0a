#include "formats/movie/webm.h"

#include "formats/movie/av_movie.h"

namespace vek {

namespace {

constexpr FormatRow kRead[] = {
    {21, {kFmtWEBM, 0x1A, ".webm.mkv", "WEBM", "WebM / Matroska", "WebM/MKV, WebM / Matroska"}, true},
};
constexpr FormatRow kWrite[] = {
    {21, {kFmtWEBM, 0x1A, ".webm", "WEBM", "WebM (VP9, Opus)", "WebM, WebM (VP9, Opus)"}, true},
};

}  // namespace

extern constinit const FormatDescriptor kWebmFormat =
    AvWrittenFormat<AvMovieKind::kWebm>(kFmtWEBM, "WEBM", kRead, kWrite, &kAvWebmOps);

}  // namespace vek
