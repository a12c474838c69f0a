#include "formats/movie/av_movie.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/ffmpeg/av_reader.h"
#include "codecs/ffmpeg/av_writer.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/workers.h"
#include "image/image.h"
#include "platform/system/system.h"
#include "sound/sound.h"

namespace vek {

namespace {

AvMovieSettings g_settings[2];

// The last file described, so that the information a run asks for before
// opening a file does not scan it twice.
struct InfoCache {
  bool valid = false;
  std::string name;
  platform::FileVersion version;
  QffInfo info{};
};
InfoCache g_info_cache;

struct AvState {
  std::unique_ptr<codecs::AvReader> reader;
  std::unique_ptr<codecs::AvWriter> writer;
  AvMovieKind kind = AvMovieKind::kMp4;
  int32_t width = 0, height = 0, bits = 0, bytespp = 0;
  int32_t frames = 0, current = 0, samples_done = 0;
  double fps = 25;
  bool writing = false, new_picture = false, has_sound = false;
  bool video_set = false, sound_expected = false;
  WaveFormat sound{};
  WaveFormat expected{};
  // Sound that came before the first picture: the container takes no
  // stream once data is in it, so it waits for the picture (or, past a few
  // seconds, the file is taken to hold sound only).
  std::vector<int16_t> early;
  int32_t early_rate = 0, early_channels = 0;
};

AvState& S(void* p) { return *static_cast<AvState*>(p); }

[[noreturn]] void Fail(int32_t code, int32_t site, const std::string& text) {
  if (!text.empty()) ErrRaiseText(kGrpExternal, text, site);
  ErrRaise(kGrpMovie, code, site);
}

void Open(void* state, const std::string& name) {
  Monitored("FF_AV.Open", [&] {
    AvState& s = S(state);
    std::string error;
    s.reader = codecs::AvReader::Open(name, error);
    if (!s.reader) ErrRaise(kGrpMovie, kMviOpen, 1);
    const codecs::AvReaderInfo& i = s.reader->Info();
    if (i.has_video) {
      s.width = i.width;
      s.height = i.height;
      s.bits = 24;
      s.bytespp = 3;
      s.frames = static_cast<int32_t>(i.frames);
      s.fps = i.fps;
    }
    if (i.has_sound) {
      SndMakeFormat(s.sound, i.rate, i.channels, 16);
      s.has_sound = true;
    }
  });
}

void ImgLoad(void* state, QImg& image, int32_t n, int32_t mode) {
  Monitored("FF_AV.ImgLoad", [&] {
    AvState& s = S(state);
    if (!s.reader || !s.reader->Info().has_video) ErrRaise(kGrpMovie, kMviNotSupported, 2);
    if (n < 0 || n > s.frames) ErrRaise(kGrpMovie, kMviInvalidFormat, 3);
    if (n == 0) n = s.current + 1;
    if (n > s.frames) ErrRaise(kGrpMovie, kMviEnd, 4);
    s.new_picture = false;
    const bool holds = ImgValid(&image) && image.width == s.width && image.height == s.height && image.bits == 24;
    if (n == s.current && (mode & 1) && holds) return;
    ImgLoadGuard guard(image);
    ImgAlloc(&image, s.width, s.height, 24, 5, "FF_AV.ImgLoad.ih");
    if (!s.reader->ReadFrame(n - 1, image.pixels)) Fail(kMviDecompress, 6, s.reader->Error());
    s.current = n;
    s.new_picture = true;
  });
}

void SndLoad(void* state, SoundBuffer& snd, int32_t first, int32_t, int32_t count) {
  Monitored("FF_AV.SndLoad", [&] {
    AvState& s = S(state);
    snd.sample_count = 0;
    if (!s.reader || !s.has_sound) return;
    if (count < 0) count = 0;
    const int64_t bytes = int64_t(count) * s.sound.nBlockAlign;
    if (bytes > INT32_MAX) ErrRaise(kGrpMovie, kMviInvalidFormat, 7);
    _sndalloc_(snd, std::max<int64_t>(bytes, 1), 8, "FF_AV.SndLoad.snd");
    snd.format = s.sound;
    snd.sample_count = 0;
    if (first < 0 || count == 0) return;
    const int64_t got = s.reader->ReadSound(first, reinterpret_cast<int16_t*>(snd.data), count);
    if (got < 0) Fail(kMviDecompress, 9, s.reader->Error());
    snd.sample_count = static_cast<int32_t>(got);
    s.samples_done = first + snd.sample_count;
  });
}

// ---- writing ----

void Create(AvState& s, AvMovieKind kind, const std::string& name, double fps, int32_t expected) {
  s.kind = kind;
  s.writing = true;
  s.fps = fps > 0 ? fps : 25;
  if (expected > 0) s.frames = expected;
  std::string error;
  s.writer = codecs::AvWriter::Create(
      name, kind == AvMovieKind::kWebm ? codecs::AvContainer::kWebm : codecs::AvContainer::kMp4, error);
  if (!s.writer) Fail(kMviCreate, 10, error);
}

void SetSoundStream(AvState& s, const WaveFormat& f) {
  codecs::AvSoundSettings as;
  as.rate = static_cast<int32_t>(f.nSamplesPerSec);
  as.channels = f.nChannels == 1 ? 1 : 2;
  if (!s.writer->SetSound(as)) Fail(kMviCreate, 11, s.writer->Error());
  SndMakeFormat(s.sound, as.rate, as.channels, 16);
  s.has_sound = true;
}

void PutSound(AvState& s, const int16_t* samples, int32_t count, int32_t rate, int32_t channels) {
  if (!s.writer->PutSound(samples, count, rate, channels)) Fail(kMviCreate, 17, s.writer->Error());
}

void FlushEarly(AvState& s) {
  if (s.early.empty()) return;
  PutSound(s, s.early.data(), static_cast<int32_t>(s.early.size() / s.early_channels), s.early_rate,
           s.early_channels);
  s.early.clear();
  s.early.shrink_to_fit();
}

void ImgSave(void* state, QImg& image) {
  Monitored("FF_AV.ImgSave", [&] {
    AvState& s = S(state);
    if (!s.writing || !s.writer) return;
    if (!ImgValid(&image) || image.width < 1 || image.height < 1) ErrRaise(kGrpMovie2, kMviInvalidFormat, 12);
    QImg conv{};
    ImgGuard conv_guard(conv);
    QImg* frame = &image;
    if (image.bits != 24) {
      ImgConvBpp(&image, &conv, 24);
      frame = &conv;
    }
    if (!s.video_set) {
      const AvMovieSettings& set = AvSettings(s.kind);
      codecs::AvVideoSettings vs;
      vs.width = frame->width;
      vs.height = frame->height;
      vs.fps = s.fps;
      vs.bit_rate = int64_t(std::max(set.kbits, 0)) * 1000;
      vs.quality = std::clamp(set.quality, 0, 100);
      vs.key_interval = std::max(set.key_interval, 0);
      vs.threads = std::max(WorkerCount(), 1);
      if (!s.writer->SetVideo(vs)) Fail(kMviCreate, 13, s.writer->Error());
      // Sound announced before the first picture gets its stream now: the
      // container header is written with the first picture.
      if (s.sound_expected && !s.has_sound) SetSoundStream(s, s.expected);
      if (!s.early.empty() && !s.has_sound) {
        WaveFormat f{};
        SndMakeFormat(f, s.early_rate, s.early_channels, 16);
        SetSoundStream(s, f);
      }
      s.width = frame->width;
      s.height = frame->height;
      s.bits = 24;
      s.bytespp = 3;
      s.video_set = true;
    }
    if (frame->width != s.width || frame->height != s.height) ErrRaise(kGrpMovie, kMviCompress, 14);
    if (!s.writer->PutFrame(frame->pixels, int64_t(frame->width) * 3)) Fail(kMviCompress, 15, s.writer->Error());
    FlushEarly(s);
    ++s.current;
  });
}

void SndSave(void* state, SoundBuffer& snd) {
  Monitored("FF_AV.SndSave", [&] {
    AvState& s = S(state);
    if (!s.writing || !s.writer) return;
    WaveFormat in = snd.format;
    if (!SndCompleteFormat(in) || snd.sample_count < 0 ||
        int64_t(snd.sample_count) * in.nBlockAlign > snd.capacity || (snd.sample_count && !snd.data))
      ErrRaise(kGrpAudio, kAudInvalidFormat, 16);
    if (snd.sample_count == 0) return;
    // The writer takes 16-bit samples of one or two channels at any rate.
    const SoundBuffer* from = &snd;
    SoundBuffer conv{};
    SndGuard conv_guard(conv);
    if (in.wBitsPerSample != 16 || in.nChannels > 2 || in.wFormatTag != kWaveFormatPcm) {
      WaveFormat want{};
      SndMakeFormat(want, static_cast<int32_t>(in.nSamplesPerSec), in.nChannels == 1 ? 1 : 2, 16);
      SndConvert(snd, conv, want);
      from = &conv;
    }
    if (from->sample_count <= 0) return;
    const auto* samples = reinterpret_cast<const int16_t*>(from->data);
    const int32_t rate = static_cast<int32_t>(from->format.nSamplesPerSec), channels = from->format.nChannels;
    s.samples_done += from->sample_count;
    if (!s.video_set) {
      if (s.early.empty()) {
        s.early_rate = rate;
        s.early_channels = channels;
      }
      if (rate == s.early_rate && channels == s.early_channels &&
          s.early.size() / channels < static_cast<size_t>(rate) * 5) {
        s.early.insert(s.early.end(), samples, samples + int64_t(from->sample_count) * channels);
        return;
      }
      // Seconds of sound and no picture: a file of sound alone.
      if (!s.has_sound) {
        WaveFormat f{};
        SndMakeFormat(f, s.early_rate, s.early_channels, 16);
        SetSoundStream(s, f);
      }
      FlushEarly(s);
    }
    PutSound(s, samples, from->sample_count, rate, channels);
  });
}

void ExpectSound(void* state, const WaveFormat& format) {
  AvState& s = S(state);
  WaveFormat f = format;
  if (!SndCompleteFormat(f)) return;
  s.expected = f;
  s.sound_expected = true;
}

void Close(void* state) {
  Monitored("FF_AV.Close", [&] {
    AvState& s = S(state);
    s.reader.reset();
    if (!s.writer) return;
    // Sound that waited for a picture that never came: a file of sound alone.
    if (!s.video_set && !s.early.empty()) {
      if (!s.has_sound) {
        WaveFormat f{};
        SndMakeFormat(f, s.early_rate, s.early_channels, 16);
        SetSoundStream(s, f);
      }
      FlushEarly(s);
    }
    std::unique_ptr<codecs::AvWriter> w = std::move(s.writer);
    s.writing = false;
    if (!w->Finish()) Fail(kMviCreate, 18, w->Error());
  });
}

MovieView View(const void* state) {
  const AvState& s = *static_cast<const AvState*>(state);
  return ViewOfState(s);
}

template <AvMovieKind K>
void CreateOp(void* state, const std::string& name, double fps, int32_t, int32_t expected) {
  Monitored("FF_AV.Create", [&] { Create(S(state), K, name, fps, expected); });
}

}  // namespace

AvMovieSettings& AvSettings(AvMovieKind kind) { return g_settings[kind == AvMovieKind::kWebm ? 1 : 0]; }

void AvMovieInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_AV.Info", [&] {
    std::memset(&info, 0, sizeof info);
    const int64_t now = platform::FileClockNs();
    platform::FileVersion version;
    if (!platform::FileVersionOf(name, version)) ErrRaise(kGrpFile, kFileNotExist, 19);
    if (g_info_cache.valid && g_info_cache.name == name && g_info_cache.version == version) {
      info = g_info_cache.info;
      return;
    }
    info.size = version.size;
    std::string error;
    std::unique_ptr<codecs::AvReader> r = codecs::AvReader::Open(name, error);
    if (!r) return;  // neither pictures nor sound: the caller says so
    const codecs::AvReaderInfo& i = r->Info();
    // The file's streams after the codec, as far as the record's text holds them.
    std::string streams = i.streams;
    for (char& c : streams)
      if (c == '\n') c = ',';
    if (i.has_video) {
      info.width = i.width;
      info.height = i.height;
      info.bits = 24;
      info.bytespp = 3;
      info.frames = static_cast<int32_t>(i.frames);
      info.fps = i.fps;
      info.imagesValid = info.imagesSupported = -1;
      info.maxDataRate = static_cast<int32_t>(std::min<int64_t>(i.video_bit_rate / 8, INT32_MAX));
      std::string c = i.video_codec;
      if (i.variable_rate) c += ", variable rate";
      if (i.rotation) c += ", turned " + std::to_string(i.rotation);
      SetText(info.compression, (c + "; streams " + streams).c_str());
    }
    if (i.has_sound) {
      WaveFormat f{};
      SndMakeFormat(f, i.rate, i.channels, 16);
      std::memcpy(&info.sndFormatOut, &f, sizeof f);
      WaveFormat src{};
      SndMakeFormat(src, i.rate, std::clamp(i.source_channels, 1, 255), 16);
      std::memcpy(&info.sndFormat, &src, sizeof src);
      info.samples = static_cast<int32_t>(i.samples);
      info.soundValid = info.soundSupported = -1;
      SetText(info.sndFormatName, i.sound_codec.c_str());
    }
    if (platform::FileVersionSettled(version, now)) g_info_cache = InfoCache{true, name, version, info};
  });
}

void AvSetQuality(VekSaveOpts& o, int32_t q) { o.jpegQuality = q; }
void AvSetDataRate(VekSaveOpts& o, int32_t rate) { o.mpegDataRate = rate * 8; }
void AvSetKeyFrameRate(VekSaveOpts& o, int32_t frames) { o.havKeyFrameRate = frames; }

int32_t AvPrepare(VekSaveOpts& o, int32_t, int32_t, int32_t, int32_t depth) {
  o.prepCodec = 0;
  o.prepQuality = o.jpegQuality;
  o.prepDataRate = o.mpegDataRate / 8;
  o.prepKeyFrameRate = o.havKeyFrameRate;
  return depth;
}

std::string AvCodecText(AvMovieKind kind, const VekSaveOpts& o) {
  const std::string codec = kind == AvMovieKind::kWebm ? "VP9" : "H.264";
  return o.mpegDataRate > 0 ? codec + ", " + std::to_string(o.mpegDataRate) + " kbit/s"
                            : codec + ", quality " + std::to_string(o.jpegQuality);
}

void AvApply(AvMovieKind kind, const VekSaveOpts& o) {
  AvMovieSettings& s = AvSettings(kind);
  s.quality = std::clamp(o.jpegQuality, 0, 100);
  s.kbits = std::max(o.mpegDataRate, 0);
  s.key_interval = std::max(o.havKeyFrameRate, 0);
}

namespace {

// Read and, for a written format, written.
constexpr MovieOps AvOps(const char* tag, void (*create)(void*, const std::string&, double, int32_t, int32_t),
                         bool writes) {
  return MovieOps{.state_size = StateOps<AvState>::size,
                  .construct = StateOps<AvState>::Construct,
                  .destroy = StateOps<AvState>::Destroy,
                  .tag = tag,
                  .open = Open,
                  .img_load = ImgLoad,
                  .snd_load = SndLoad,
                  .create = create,
                  .img_save = writes ? ImgSave : nullptr,
                  .snd_save = writes ? SndSave : nullptr,
                  .close = Close,
                  .set_custom_info = nullptr,
                  .view = View,
                  .expect_sound = writes ? ExpectSound : nullptr};
}

}  // namespace

constinit const MovieOps kAvMp4Ops = AvOps("MP4", CreateOp<AvMovieKind::kMp4>, true);
constinit const MovieOps kAvWebmOps = AvOps("WEBM", CreateOp<AvMovieKind::kWebm>, true);
constinit const MovieOps kAvReadOps = AvOps("TS", nullptr, false);
#undef VEK_AV_COMMON

}  // namespace vek
