// MPEG video and audio, and the MPEG audio layer II writer: the descriptors.
// Reading and writing are not built yet: the dispatchers answer these formats
// with their "not supported" errors.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"

namespace vek {

namespace {
constexpr FormatRow kRead[] = {
    {13, {kFmtMPEG, 0x1A, ".mpg.mpeg.m1v.m2v.mpe", "MPEG", "Moving Pictures Experts Group",
          "MPEG, Moving Pictures Experts Group"}},
    {17, {kFmtMPEG, 0x14, ".mp3.mpa.mp2", "MPA", "MPEG Audio Layer I/II/III",
          "MP3/MPA, MPEG Audio Layer I/II/III"}},
};
constexpr FormatRow kWrite[] = {
    {8, {kFmtMPEG, 0x1A, ".mpg.mpeg.m1v.m2v", "MPEG", "Moving Pictures Experts Group",
         "MPEG, Moving Pictures Experts Group"}},
};
constexpr FormatRow kWriteMp2[] = {
    {15, {kFmtMP2, 0x14, ".mp2", "MPA", "MPEG Audio Layer II", "MP2, MPEG Audio Layer II"}},
};

// Nearest rates the MPEG writers take.
double MpegFrameRate(double fps) {
  static const double rates[] = {23.976, 24.0, 25.0, 29.97, 30.0, 50.0, 59.94, 60.0};
  double best = rates[0];
  for (double r : rates)
    if (std::fabs(r - fps) < std::fabs(best - fps)) best = r;
  return best;
}

int32_t MpegAudioRate(int32_t rate) {
  static const int32_t rates[] = {32000, 44100, 48000};
  int32_t best = rates[0];
  for (int32_t r : rates)
    if (std::abs(r - rate) < std::abs(best - rate)) best = r;
  return best;
}

// An .m2v output is MPEG-2 video.
int32_t MpegNamedCodec(const std::string& name) {
  const std::string ext = ".m2v";
  if (name.size() < ext.size()) return kUndefined;
  std::string tail = name.substr(name.size() - ext.size());
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ext ? 2 : kUndefined;
}

std::string MpegCodecName(const VekSaveOpts& o) {
  return o.mpegCodec == 1 ? "MPEG-1 format" : o.mpegCodec == 2 ? "MPEG-2 format" : "N/A";
}

int32_t MpegPrepare(VekSaveOpts& o, int32_t, int32_t, int32_t, int32_t depth) {
  o.prepCodec = o.mpegCodec;
  o.prepDataRate = o.mpegDataRate;
  return depth;
}
}  // namespace

extern const FormatDescriptor kMpegFormat{
    .id = kFmtMPEG,
    .tag = "MPG",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsAll24,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .save = {.dialog = true,
             .set_codec = StoreOption<&VekSaveOpts::mpegCodec>,
             .set_data_rate = [](VekSaveOpts& o, int32_t rate) { o.mpegDataRate = rate * 8; },
             .codec_name = MpegCodecName,
             .prepare = MpegPrepare},
    .output = {.frame_rate = MpegFrameRate, .sample_rate = MpegAudioRate, .named_codec = MpegNamedCodec},
};

extern const FormatDescriptor kMp2Format{
    .id = kFmtMP2,
    .tag = "MP2",
    .read_rows = nullptr,
    .read_count = 0,
    .write_rows = kWriteMp2,
    .write_count = static_cast<int32_t>(std::size(kWriteMp2)),
    .depths = kDepthsNone,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .output = {.sample_rate = MpegAudioRate},
};

}  // namespace vek
