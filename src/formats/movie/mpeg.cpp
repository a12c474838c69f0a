// MPEG video and audio, and the MPEG audio layer II writer.
//
// Reading: the video decoder gives frames by number, the audio decoder
// sample frames from any audio frame on; the module drops the samples
// between the start of an audio frame and the sample asked for.
// Writing: frames wait in a queue of three until the encoder asks for them
// through the image function; whichever stream starts second is written to
// a temporary file, and the close multiplexes both into the output.
#include "platform/system/paths.h"
#include "formats/movie/mpeg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "sound/sound.h"
#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "image/image.h"
#include "codecs/ffmpeg/mpeg_codec.h"
#include "platform/system/system.h"

namespace vek {

namespace pf = platform;

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

constexpr int64_t kMaxBits = 104857200;  // the largest rate the sequence header holds

// Process-wide settings of the writers and the information cache.
struct MpegSettings {
  int32_t version = 1;
  int64_t bits = int64_t{1125} * 1024;
  struct Cache {
    bool valid = false;
    std::string name;
    platform::FileVersion version;
    pf::MpegVideoInfo video;
  } cache;
  // Running numbers of the temporary files: video, audio, multiplexer.
  int32_t video_temp = 0, audio_temp = 0, mplex_temp = 0;
};
MpegSettings g_mpeg;

// Library messages become errors of group 1 with their text.
void error_handler_(const char* message) { ErrRaiseText(kGrpExternal, message ? message : "", 1); }

std::string TempName(const std::string& folder, const char* stem, int32_t& counter) {
  return folder + stem + std::to_string(platform::ThreadId()) + std::to_string(++counter) +
         ".$$$";
}

// ---- module state ----

struct MpgState {
  pf::MpegVideoDecoderPtr vdec;
  pf::MpegAudioDecoderPtr adec;
  pf::MpegVideoEncoderPtr venc;
  pf::MpegAudioEncoderPtr aenc;
  int32_t width = 0, height = 0, bytespp = 0, bits = 0;
  int32_t frames = 0;
  int32_t current = 0;
  int32_t rate_code = 0, version = 0, open_value = 0;
  bool video_open = false, audio_open = false;
  bool writing = false, writing_video = false, writing_audio = false;
  bool ended = false, new_picture = false;
  std::string out_name, video_name, audio_name;
  int32_t block_align = 0, spf = 0, audio_frames = 0, audio_pos = 0, audio_total = 0;
  int32_t samples_done = 0;
  WaveFormat sound{};
  bool has_sound = false;
  // The encoder's look-ahead queue.
  QImg slot[3]{};
  int32_t key[3] = {-1, -1, -1};
  int32_t queued = 0;
  int32_t last_slot = 0;
  int32_t saved = 0;    // frames handed to the writer
  int32_t encoded = 0;  // frames the encoder has taken

  ~MpgState();
};

MpgState* g_writer = nullptr;  // the file whose encoder asks for pixels

MpgState::~MpgState() {
  {
    if (g_writer == this) g_writer = nullptr;
    for (QImg& s : slot) ImgFree(&s);
    // A write that did not finish leaves no temporary part behind.
    venc.reset();
    aenc.reset();
    if (!video_name.empty() && video_name != out_name) std::remove(video_name.c_str());
    if (!audio_name.empty() && audio_name != out_name) std::remove(audio_name.c_str());
  }
}

MpgState& S(void* p) { return *static_cast<MpgState*>(p); }

// The encoder asks for the pixels of a queued frame.
void GetImgPtr_(int32_t frame, const uint8_t** pixels) {
  Monitored("FF_MPG.GetImgPtr_", [&] {
    *pixels = nullptr;
    MpgState* s = g_writer;
    if (s)
      for (int i = 0; i < 3; ++i)
        if (s->key[i] == frame && s->slot[i].pixels) {
          *pixels = s->slot[i].pixels;
          s->last_slot = i;
          return;
        }
    ErrRaise(kGrpMovie, kMviCompress, 2);
  });
}

// ---- reading ----

void MpgOpen(void* state, const std::string& name) {
  Monitored("FF_MPG.MpgOpen", [&] {
    MpgState& s = S(state);
    QffInfo fi{};
    MpgInfo(name, fi);
    // A file with neither stream is no MPEG file to read.
    if (!fi.imagesSupported && !fi.soundSupported) ErrRaise(kGrpMovie, kMviOpen, 31);
    if (fi.imagesSupported) {
      pf::MOSLErrorFuncSet(pf::MpegLib::kVideoDecoder, error_handler_);
      pf::MpegVideoInfo vi;
      if (!pf::OpenMPEG(s.vdec, name, vi)) ErrRaise(kGrpMovie, kMviOpen, 3);
      s.width = vi.width;
      s.height = vi.height;
      s.bits = 24;
      s.bytespp = 3;
      s.frames = vi.frames;
      s.rate_code = vi.rate_code;
      s.version = vi.mpeg2 ? 2 : 1;
      s.open_value = 0;
      s.video_open = true;
    }
    if (fi.soundSupported) {
      pf::MOSLErrorFuncSet(pf::MpegLib::kAudioDecoder, error_handler_);
      pf::MpegAudioInfo ai;
      if (!pf::OpenMPA(s.adec, name, ai)) ErrRaise(kGrpMovie, kMviOpen, 4);
      if (ai.channels < 1 || ai.channels > 2 || ai.samples_per_frame <= 0 || ai.sample_rate <= 0)
        ErrRaise(kGrpMovie, kMviOpen, 5);
      s.block_align = (ai.bits / 8) * ai.channels;
      SndMakeFormat(s.sound, static_cast<int32_t>(ai.sample_rate), ai.channels, ai.bits);
      s.spf = ai.samples_per_frame;
      s.audio_frames = ai.frames;
      s.audio_total = ai.total_samples;
      s.audio_open = true;
      s.has_sound = true;
    }
  });
}

void MpgImgLoad(void* state, QImg& image, int32_t n, int32_t mode) {
  Monitored("FF_MPG.MpgImgLoad", [&] {
    MpgState& s = S(state);
    if (n < 0 || n > s.frames) ErrRaise(kGrpMovie, kMviInvalidFormat, 6);
    if (!s.video_open || !s.vdec) ErrRaise(kGrpMovie, kMviNotSupported, 7);
    const bool cont = (mode & 1) != 0;
    // The caller's record still holds the current frame: nothing to do.
    const bool holds = ImgValid(&image) && image.width == s.width && image.height == s.height &&
                       image.bits == 24;
    s.new_picture = false;
    if (n != 0 && n == s.current && cont && holds) return;
    ImgLoadGuard guard(image);
    ImgAlloc(&image, s.width, s.height, 24, 8, "FF_MPG.MpgImgLoad.ih");
    if (n == 0 || n == s.current + 1) {
      if (s.current >= s.frames) {
        s.ended = true;
        ErrRaise(kGrpMovie, kMviEnd, 9);
      }
      // A seek may have left the decoder elsewhere; it must give current + 1.
      if (pf::NextMPEGFrame(*s.vdec) != s.current + 1) {
        s.ended = true;
        if (!pf::SeekMPEG(*s.vdec, s.current + 1)) ErrRaise(kGrpMovie, kMviEnd, 10);
        s.ended = false;
      }
    } else {
      s.ended = true;
      if (!pf::SeekMPEG(*s.vdec, n)) ErrRaise(kGrpMovie, kMviEnd, 11);
      s.ended = false;
      s.current = n - 1;
    }
    s.ended = true;
    if (!pf::GetMPEGFrame(*s.vdec, image.pixels)) ErrRaise(kGrpMovie, kMviDecompress, 12);
    s.ended = false;
    ++s.current;
    s.new_picture = true;
  });
}

void MpgSndSeek(MpgState& s, int32_t sample) {
  Monitored("FF_MPG.MpgSndSeek", [&] {
    const int32_t frame = s.spf > 0 && sample >= 0 ? sample / s.spf : -1;
    if (frame < 0 || frame >= s.audio_frames) ErrRaise(kGrpMovie, kMviEnd, 13);
    if (!pf::SeekMPA(*s.adec, frame)) ErrRaise(kGrpMovie, kMviEnd, 14);
    s.audio_pos = frame * s.spf;
  });
}

void MpgSndLoad(void* state, SoundBuffer& snd, int32_t start, int32_t mode, int32_t count) {
  Monitored("FF_MPG.MpgSndLoad", [&] {
    MpgState& s = S(state);
    snd.sample_count = 0;
    if (!s.audio_open || !s.adec) return;
    const bool cont = (mode & 1) != 0;
    if (!(cont && start == s.audio_pos)) MpgSndSeek(s, start);
    if (count < 0) count = 0;
    const int64_t bytes = int64_t(count) * s.block_align;
    if (bytes > INT32_MAX) ErrRaise(kGrpMovie, kMviInvalidFormat, 15);
    _sndalloc_(snd, std::max<int64_t>(bytes, 1), 16, "FF_MPG.MpgSndLoad.snd");
    snd.format = s.sound;
    snd.sample_count = 0;
    auto* out = reinterpret_cast<int16_t*>(snd.data);
    // The seek reached the start of an audio frame: drop what lies before
    // the first sample asked for.
    int32_t drop = start > s.audio_pos ? start - s.audio_pos : 0;
    while (drop > 0 && count > 0) {
      int32_t got = 0;
      pf::GetMPAData(*s.adec, out, std::min(drop, count), got);
      if (got <= 0) break;
      drop -= got;
      s.audio_pos += got;
    }
    int32_t got = 0;
    if (drop == 0 && count > 0) pf::GetMPAData(*s.adec, out, count, got);
    s.audio_pos += got;
    snd.sample_count = got;
    s.samples_done = s.audio_pos;
  });
}

// ---- writing ----

void MpgCreate(void* state, const std::string& name, double fps, int32_t, int32_t expected) {
  Monitored("FF_MPG.MpgCreate", [&] {
    MpgState& s = S(state);
    s.writing = true;
    s.out_name = name;
    if (expected > 0) s.frames = expected;
    s.version = g_mpeg.version == 2 ? 2 : 1;
    s.rate_code = MpgRateCode(fps);
    for (int32_t& k : s.key) k = -1;
    s.queued = 0;
    s.last_slot = 0;
  });
}

void MpgImgSave(void* state, QImg& image) {
  Monitored("FF_MPG.MpgImgSave", [&] {
    MpgState& s = S(state);
    if (!s.writing) return;
    if (!ImgValid(&image) || image.width < 1 || image.height < 1)
      ErrRaise(kGrpMovie2, kMviInvalidFormat, 17);
    // Frames go to the encoder as 24-bit pixels.
    QImg conv{};
    ImgGuard conv_guard(conv);
    QImg* frame = &image;
    if (image.bits != 24) {
      ImgConvBpp(&image, &conv, 24);
      frame = &conv;
    }
    if (!s.writing_video) {
      pf::EncErrorFuncSet(error_handler_);
      pf::GetImgPtrFuncSet(GetImgPtr_);
      g_writer = &s;
      const pf::MpegEncParams params{1,
                                     s.version == 2 ? 0 : 1,
                                     frame->width,
                                     frame->height,
                                     s.rate_code,
                                     static_cast<double>(g_mpeg.bits)};
      s.video_name = s.writing_audio ? TempName(pf::MpegTempFolder(), "mpv-", g_mpeg.video_temp)
                                     : s.out_name;
      FDelete(s.video_name);
      if (!pf::CreateMPEG(s.venc, s.video_name, params)) ErrRaise(kGrpMovie, kMviCreate, 18);
      s.width = frame->width;
      s.height = frame->height;
      s.bytespp = 3;
      s.bits = 24;
      s.writing_video = true;
    }
    if (frame->width != s.width || frame->height != s.height)
      ErrRaise(kGrpMovie, kMviCompress, 19);
    g_writer = &s;
    ++s.saved;
    if (s.queued < 3) {
      ImgCopy(frame, &s.slot[s.queued]);
      s.key[s.queued] = s.current;
      ++s.queued;
      pf::SetNumFramesMPEG(*s.venc, s.saved);
    } else {
      pf::SetNumFramesMPEG(*s.venc, s.saved);
      if (!pf::PutMPEGFrame(*s.venc)) ErrRaise(kGrpMovie, kMviCompress, 20);
      ++s.encoded;
      ImgCopy(frame, &s.slot[s.last_slot]);
      s.key[s.last_slot] = s.current;
    }
    ++s.current;
  });
}

void MpgSndSave(void* state, SoundBuffer& snd) {
  Monitored("FF_MPG.MpgSndSave", [&] {
    MpgState& s = S(state);
    if (!s.writing) return;
    WaveFormat in = snd.format;
    if (!SndCompleteFormat(in) || snd.sample_count < 0 ||
        int64_t(snd.sample_count) * in.nBlockAlign > snd.capacity || (snd.sample_count && !snd.data))
      ErrRaise(kGrpAudio, kAudInvalidFormat, 21);
    if (!s.writing_audio) {
      pf::MOSLErrorFuncSet(pf::MpegLib::kAudioEncoder, error_handler_);
      s.audio_name = s.writing_video ? TempName(pf::MpegTempFolder(), "mpa-", g_mpeg.audio_temp)
                                     : s.out_name;
      FDelete(s.audio_name);
      const int32_t channels = in.nChannels == 1 ? 1 : 2;
      const int32_t rate = MpgSoundRate(static_cast<int32_t>(in.nSamplesPerSec));
      const pf::MpegAudioEncParams params{2, rate, channels == 1 ? 3 : 0, 2, 0, 160};
      if (!pf::MPACreate(s.aenc, s.audio_name, params)) ErrRaise(kGrpMovie, kMviCreate, 22);
      SndMakeFormat(s.sound, rate, channels, 16);
      s.block_align = s.sound.nBlockAlign;
      s.has_sound = true;
      s.writing_audio = true;
    }
    if (snd.sample_count == 0) return;
    // The encoder takes 16-bit samples at its own rate: other buffers are
    // converted rather than written at the wrong speed.
    const SoundBuffer* from = &snd;
    SoundBuffer conv{};
    SndGuard conv_guard(conv);
    if (SndFormatsDiffer(in, s.sound)) {
      SndConvert(snd, conv, s.sound);
      from = &conv;
    }
    if (from->sample_count <= 0) return;
    if (!pf::MPASave(*s.aenc, reinterpret_cast<const int16_t*>(from->data), from->sample_count))
      ErrRaise(kGrpMovie, kMviCreate, 23);
    s.samples_done += from->sample_count;
  });
}

void MpgClose(void* state) {
  Monitored("FF_MPG.MpgClose", [&] {
    MpgState& s = S(state);
    if (s.writing_video && s.venc) {
      // The frames still queued; a failure of one is reported and the rest go on.
      int32_t first_group = 0, first_code = 0;
      std::string first_text;
      const int32_t pending = s.saved - s.encoded;
      g_writer = &s;
      for (int32_t i = 0; i < pending; ++i) {
        MonitoredBoundary("FF_MPG.MpgClose_", [&] {
          if (!pf::PutMPEGFrame(*s.venc)) ErrRaise(kGrpMovie, kMviCompress, 24);
        });
        if (!ErrNone() && first_group == 0) {
          first_group = ErrGroup();
          first_code = ErrCode();
          first_text = ErrText();
        }
        ErrClear();
        ++s.encoded;
      }
      const bool closed = pf::CloseMPEGEnc(s.venc);
      for (QImg& img : s.slot) ImgFree(&img);
      g_writer = nullptr;
      if (first_group == kGrpExternal) ErrRaiseText(kGrpExternal, first_text, 25);
      if (first_group != 0) ErrRaise(first_group, first_code, 26);
      if (!closed) ErrRaise(kGrpMovie, kMviCreate, 27);
    }
    if (s.writing_audio && s.aenc) {
      if (!pf::MPAClose(s.aenc)) ErrRaise(kGrpMovie, kMviCreate, 28);
    }
    pf::CloseMPEG(s.vdec);
    pf::CloseMPA(s.adec);
    if (s.writing_video && s.writing_audio) {
      MpgMultiPlex(s.out_name, s.video_name, s.audio_name, true);
    }
    // The parts are gone (or were the output itself).
    s.video_name.clear();
    s.audio_name.clear();
    s.writing = s.writing_video = s.writing_audio = false;
    s.video_open = s.audio_open = false;
  });
}

MovieView MpgView(const void* state) {
  const MpgState& s = *static_cast<const MpgState*>(state);
  return ViewOfState(s);
}

constexpr MovieOps kMpgOps{
    .state_size = StateOps<MpgState>::size,
    .construct = StateOps<MpgState>::Construct,
    .destroy = StateOps<MpgState>::Destroy,
    .tag = "MPG",
    .open = MpgOpen,
    .img_load = MpgImgLoad,
    .snd_load = MpgSndLoad,
    .create = MpgCreate,
    .img_save = MpgImgSave,
    .snd_save = MpgSndSave,
    .close = MpgClose,
    .set_custom_info = nullptr,
    .view = MpgView,
};

// The layer II writer: the same state, sound only.
constexpr MovieOps kMp2Ops{
    .state_size = StateOps<MpgState>::size,
    .construct = StateOps<MpgState>::Construct,
    .destroy = StateOps<MpgState>::Destroy,
    .tag = "MPG",
    .open = nullptr,
    .img_load = nullptr,
    .snd_load = nullptr,
    .create = MpgCreate,
    .img_save = nullptr,
    .snd_save = MpgSndSave,
    .close = MpgClose,
    .set_custom_info = nullptr,
    .view = MpgView,
};

// The writers' rates, as the job takes them before a run.
double MpegFrameRate(double fps) { return MpgRateOfCode(MpgRateCode(fps)); }
int32_t MpegAudioRate(int32_t rate) { return MpgSoundRate(rate); }

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

// The stored rate is in kilobits per second (what the dialog edits and the
// encoder takes); hosts set and read it in kilobytes per second, an eighth.
int32_t MpegPrepare(VekSaveOpts& o, int32_t, int32_t, int32_t, int32_t depth) {
  o.prepCodec = o.mpegCodec;
  o.prepDataRate = o.mpegDataRate / 8;
  return depth;
}

void MpegApply(const VekSaveOpts& o) {
  MpgSetVersion(o.prepCodec);
  // The stored kilobits, not the prepared eighth: no rounding loss.
  MpgSetBitRate(o.mpegDataRate);
}

}  // namespace

// ---- settings ----

int32_t MpgSetVersion(int32_t version) {
  if (version != kUndefined) g_mpeg.version = version == 2 ? 2 : 1;
  return g_mpeg.version;
}

int32_t MpgSetBitRate(int32_t kbps) {
  if (kbps != kUndefined) g_mpeg.bits = std::clamp<int64_t>(int64_t(kbps) * 1024, 0, kMaxBits);
  return static_cast<int32_t>(std::llround(static_cast<double>(g_mpeg.bits) / 1024.0));
}

int64_t MpgBitRateBits() { return g_mpeg.bits; }

double MpgRateOfCode(int32_t code) { return pf::MpegRateOfCode(code); }

int32_t MpgRateCode(double fps) {
  for (int32_t code = 1; code <= 7; ++code)
    if (MpgRateOfCode(code) >= fps - 1e-6) return code;
  return 8;
}

int32_t MpgSoundRate(int32_t rate) {
  if (rate <= 32000) return 32000;
  if (rate <= 44100) return 44100;
  return 48000;
}

bool isMPEGCached(const std::string& name) {
  platform::FileVersion version;
  const auto& c = g_mpeg.cache;
  return c.valid && c.name == name && platform::FileVersionOf(name, version) && version == c.version;
}

void MpgInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_MPG.MpgInfo", [&] {
    std::memset(&info, 0, sizeof info);
    pf::MOSLErrorFuncSet(pf::MpegLib::kVideoDecoder, error_handler_);
    // Taken before the file is read: a change while it is read makes the
    // file unsettled, and what was read is not kept.
    const int64_t now = platform::FileClockNs();
    platform::FileVersion version;
    if (!platform::FileVersionOf(name, version)) ErrRaise(kGrpFile, kFileNotExist, 29);
    info.size = version.size;
    pf::MpegVideoInfo vi;
    bool video = false;
    if (isMPEGCached(name)) {
      vi = g_mpeg.cache.video;
      video = true;
    } else {
      MonitoredBoundary("FF_MPG.MpgInfo_", [&] { video = pf::GetMPEGInfo(name, vi); });
      video = video && ErrNone();
      ErrClear();
      if (video && platform::FileVersionSettled(version, now))
        g_mpeg.cache = MpegSettings::Cache{true, name, version, vi};
    }
    if (video) {
      info.maxDataRate = static_cast<int32_t>(std::min(vi.bit_rate / 8, double(INT32_MAX)));
      info.width = vi.width;
      info.height = vi.height;
      info.bits = 24;
      info.bytespp = 3;
      info.frames = vi.frames;
      info.fps = MpgRateOfCode(std::clamp(vi.rate_code, 0, 8));
      info.imagesValid = info.imagesSupported = -1;
      SetText(info.compression, vi.mpeg2 ? "MPEG-2" : "MPEG-1");
      if (!vi.has_audio) return;
    }
    pf::MOSLErrorFuncSet(pf::MpegLib::kAudioDecoder, error_handler_);
    pf::MpegAudioInfo ai;
    bool audio = false;
    MonitoredBoundary("FF_MPG.MpgInfo__", [&] { audio = pf::GetMPAInfo(name, ai); });
    audio = audio && ErrNone();
    ErrClear();
    if (!audio) return;
    info.soundValid = -1;
    info.maxDataRate = static_cast<int32_t>(
        std::min<int64_t>(int64_t(info.maxDataRate) + int64_t(ai.bit_rate) * 128, INT32_MAX));
    WaveFormat f{};
    SndMakeFormat(f, static_cast<int32_t>(ai.sample_rate), ai.channels, ai.bits);
    std::memcpy(&info.sndFormat, &f, sizeof f);
    std::memcpy(&info.sndFormatOut, &f, sizeof f);
    info.samples = ai.total_samples;
    std::string fname = ai.version == 0 ? "MPEG-2 LSF, " : ai.version == 1 ? "MPEG-1, " : "";
    fname += "Layer";
    fname += ai.layer == 1 ? "-I" : ai.layer == 2 ? "-II" : ai.layer == 3 ? "-III (MP3)" : "";
    if (ai.ac3) fname = "Dolby AC-3";
    SetText(info.sndFormatName, fname.c_str());
    info.soundSupported = info.samples > 0 ? -1 : 0;
  });
}

void MpgMultiPlex(const std::string& output, const std::string& video, const std::string& audio,
                  bool delete_parts) {
  Monitored("FF_MPG.MpgMultiPlex", [&] {
    pf::MOSLErrorFuncSet(pf::MpegLib::kMultiplexer, error_handler_);
    const std::string temp = TempName(paths::Folder(output), "mplex-", g_mpeg.mplex_temp);
    FDelete(temp);
    // The temporary result goes on every path but the last rename.
    struct TempGuard {
      const std::string& name;
      bool keep = false;
      ~TempGuard() {
        if (!keep) std::remove(name.c_str());
      }
    } guard{temp};
    if (!pf::MPlexMPEG(temp, video, audio)) ErrRaise(kGrpMovie, kMviCreate, 30);
    if (delete_parts) {
      FDelete(video);
      FDelete(audio);
    }
    FDelete(output);
    FRename(temp, output);
    guard.keep = true;
  });
}

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
             .prepare = MpegPrepare,
             .apply = MpegApply},
    .output = {.frame_rate = MpegFrameRate,
               .sample_rate = MpegAudioRate,
               .named_codec = MpegNamedCodec},
    .info = MpgInfo,
    .movie = &kMpgOps,
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
    .movie = &kMp2Ops,
};

}  // namespace vek
