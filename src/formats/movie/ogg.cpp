// Ogg Vorbis sound files (unit FF_OGG) and the format's descriptor.
#include "formats/movie/ogg.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"
#include "foundation/files.h"

namespace vek {

using namespace platform;

namespace {

OggSettings g_settings;

// Rates beyond this are not sound any player takes.
constexpr int32_t kMaxRate = 768000;

// Where each channel of the wave order is in Vorbis's order, and the
// speakers (wave channel mask) Vorbis gives the count.
struct VorbisLayout {
  uint32_t mask;
  uint8_t from[8];
};
constexpr VorbisLayout kVorbisLayouts[] = {
    {0x007, {0, 2, 1}},                    // L C R
    {0x033, {0, 1, 2, 3}},                 // FL FR RL RR
    {0x037, {0, 2, 1, 3, 4}},              // FL C FR RL RR
    {0x03F, {0, 2, 1, 5, 3, 4}},           // FL C FR RL RR LFE
    {0x70F, {0, 2, 1, 6, 5, 3, 4}},        // FL C FR SL SR RC LFE
    {0x63F, {0, 2, 1, 7, 5, 6, 3, 4}},     // FL C FR SL SR RL RR LFE
};

const VorbisLayout* LayoutOf(int32_t channels) {
  return channels >= 3 && channels <= 8 ? &kVorbisLayouts[channels - 3] : nullptr;
}

// Decoded frames to the wave channel order, mixed down when asked, in place.
void ToWaveOrder(const OggState& s, int16_t* p, int64_t frames) {
  const int32_t ch = s.decoded_channels;
  const VorbisLayout* layout = LayoutOf(ch);
  if (!layout) return;
  int16_t frame[8];
  for (int64_t f = 0; f < frames; ++f) {
    int16_t* x = p + f * ch;
    for (int32_t c = 0; c < ch; ++c) frame[c] = x[layout->from[c]];
    std::memcpy(x, frame, sizeof(int16_t) * size_t(ch));
  }
  if (s.mix) SndMixDown(p, frames, ch, s.mix_gains, 2, p);
}

}  // namespace

int32_t OggSetQuality(int32_t quality) {
  if (quality != kUndefined) g_settings.quality = std::clamp(quality, -10, 100);
  return g_settings.quality;
}

OggState::~OggState() { Reset(); }

void OggState::Reset() {
  if (encoder) ov_close(encoder);
  encoder = nullptr;
  if (handle) ov_clear_2(handle, vf.get());
  handle = nullptr;
  vf.Reset();
  total = position = bitstream = 0;
  writing = created = false;
  format = WaveFormat{};
  decoded_channels = 0;
  mix = false;
  name.clear();
  written = 0;
}

void OggOpen(OggState& s, const std::string& name) {
  Monitored("FF_OGG.OggOpen", [&] {
    s.Reset();
    // A failed open leaves nothing open (before the block frees the storage).
    MonSetCleanup([&s] { s.Reset(); });
    s.vf.Alloc(kOvFileStructSize, 1, "FF_OGG.OggOpen.oggF.vf", kMemNew);
    std::memset(s.vf.get(), 0, kOvFileStructSize);
    if (ov_open_2(&s.handle, name.c_str(), s.vf.get(), nullptr, 0) < 0)
      ErrReportCode(kGrpMovie, kMviOpen, 2);
    const OvInfo* info = ov_info(s.vf.get(), -1);
    if (!info || info->channels < 1 || info->channels > 255 || info->rate < 1 ||
        info->rate > kMaxRate)
      ErrReportCode(kGrpMovie, kMviOpen, 3);
    s.decoded_channels = info->channels;
    int32_t channels = info->channels;
    const VorbisLayout* layout = LayoutOf(channels);
    if (layout && !SndLayoutIsDefault(layout->mask, channels)) {
      if (!SndMixDownMatrix(layout->mask, channels, 2, s.mix_gains))
        ErrReportCode(kGrpMovie, kMviOpen, 10);
      s.mix = true;
      channels = 2;
    }
    SndMakeFormat(s.format, info->rate, channels, 16);
    const int64_t total = ov_pcm_total(s.vf.get(), -1);
    s.total = static_cast<int32_t>(std::clamp<int64_t>(total, 0, INT32_MAX));
    s.name = name;
  });
}

void OggSeek(OggState& s, int32_t sample) {
  Monitored("FF_OGG.OggSeek", [&] {
    if (!s.handle) return;
    const int64_t r = ov_pcm_seek(s.vf.get(), int64_t(std::max(sample, 0)) + 1);
    if (r >= 0) s.position = static_cast<int32_t>(std::min<int64_t>(r, INT32_MAX));
  });
}

void OggLoad(OggState& s, SoundBuffer& snd, int32_t start, int32_t mode, int32_t count) {
  Monitored("FF_OGG.OggLoad", [&] {
    if (s.writing || !s.handle) {
      snd.sample_count = 0;
      return;
    }
    if (!((mode & 1) && start == s.position)) OggSeek(s, start);
    snd.sample_count = 0;
    const int32_t align = s.decoded_channels * 2;
    if (count <= 0 || align <= 0) {
      snd.format = s.format;
      return;
    }
    const int64_t bytes = int64_t(count) * align;
    if (bytes > INT32_MAX) ErrReportCode(kGrpMemory, kMemInvalidRequest, 4);
    _sndalloc_(snd, bytes, 5, "FF_OGG.OggLoad.snd");
    int32_t done = 0;
    while (done < count) {
      const int32_t got = ov_read(s.vf.get(), reinterpret_cast<char*>(snd.data) + int64_t(done) * align,
                                  (count - done) * align, 0, 2, 1, &s.bitstream);
      if (got <= 0) break;  // the end, or damage the decoder cannot pass
      const int32_t frames = got / align;
      if (frames <= 0) break;
      s.position += frames;
      done += frames;
    }
    ToWaveOrder(s, reinterpret_cast<int16_t*>(snd.data), done);
    snd.sample_count = done;
    snd.format = s.format;
  });
}

void OggCreate(OggState& s, const std::string& name) {
  Monitored("FF_OGG.OggCreate", [&] {
    s.Reset();
    s.writing = true;
    s.name = name;
  });
}

void OggSave(OggState& s, SoundBuffer& snd) {
  Monitored("FF_OGG.OggSave", [&] {
    if (!s.writing) return;
    WaveFormat format = snd.format;
    if (!SndCompleteFormat(format)) ErrReportCode(kGrpAudio, kAudInvalidFormat, 6);
    if (!s.created) {
      if (format.wFormatTag != kWaveFormatPcm ||
          (format.wBitsPerSample != 8 && format.wBitsPerSample != 16))
        ErrReportCode(kGrpAudio, kAudInvalidFormat, 7);
      FDelete(s.name);
      s.format = format;
      if (!ov_create(&s.encoder, s.name.c_str(), &s.format,
                     static_cast<float>(g_settings.quality) / 100.0f))
        ErrReportCode(kGrpMovie, kMviCreate, 8);
      s.created = true;
      // The encoder sets itself up for the format now, so a format it does
      // not take is reported as what it is.
      if (ov_write(s.encoder, nullptr, 0) < 0) {
        ov_close(s.encoder);
        s.encoder = nullptr;
        s.created = false;
        FDelete(s.name);
        ErrReportCode(kGrpMovie, kMviCreate, 9);
      }
    }
    // Sound in another format is converted to the stream's.
    SoundBuffer converted{};
    SndGuard guard(converted);
    const SoundBuffer* from = &snd;
    if (SndFormatsDiffer(format, s.format)) {
      SndConvert(snd, converted, s.format);
      from = &converted;
    }
    const int64_t align = s.format.nBlockAlign;
    int64_t count = from->data ? std::max(from->sample_count, 0) : 0;
    if (count > 0 && from->capacity >= 0) count = std::min<int64_t>(count, from->capacity / align);
    if (count > 0 && MemTracked(from->data))
      count = std::min<int64_t>(count, MemSize(from->data) / align);
    if (count == 0) return;
    if (ov_write(s.encoder, from->data, static_cast<int32_t>(count * align)) < 0)
      ErrReportCode(kGrpMovie, kMviWrite, 10);
    s.written += static_cast<int32_t>(count);
  });
}

void OggClose(OggState& s) {
  Monitored("FF_OGG.OggClose", [&] {
    int32_t r = 0;
    if (s.encoder) {
      r = ov_close(s.encoder);
      s.encoder = nullptr;
    }
    s.Reset();
    if (r < 0) ErrReportCode(kGrpMovie, kMviWrite, 11);
  });
}

void OggInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_OGG.OggInfo", [&] {
    std::error_code ec;
    const auto size = std::filesystem::file_size(name, ec);
    info.size = ec ? 0 : static_cast<int64_t>(size);
    OggState s;
    OggOpen(s, name);
    std::memcpy(&info.sndFormat, &s.format, sizeof s.format);
    std::memcpy(&info.sndFormatOut, &s.format, sizeof s.format);
    info.soundValid = s.total > 0 ? -1 : 0;
    info.samples = s.total;
    SetText(info.sndFormatName, "Ogg Vorbis audio codec");
    info.soundSupported = info.soundValid;
    OggClose(s);
  });
}

namespace {

MovieView OggView(const void* p) {
  const OggState& s = *static_cast<const OggState*>(p);
  MovieView v{};
  v.samples_done = s.writing ? s.written : s.position;
  v.writing = s.writing;
  v.has_sound = s.handle != nullptr || s.writing;
  v.sound = s.format;
  return v;
}

constexpr MovieOps kOggOps =
    SoundOnlyOps<OggState, OggOpen, OggLoad, OggCreate, OggSave, OggClose, OggView>("OGG");

constexpr FormatRow kRead[] = {
    {18, {kFmtOGG, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"}},
};
constexpr FormatRow kWrite[] = {
    {16, {kFmtOGG, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"}},
};
}  // namespace

// The save options record has no field of its own for this format: the
// quality goes straight into the prepared quality, which the writer takes.
extern const FormatDescriptor kOggFormat{
    .id = kFmtOGG,
    .tag = "OGG",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsNone,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .save = {.set_quality = StoreOption<&VekSaveOpts::prepQuality>,
             .prepare = [](VekSaveOpts&, int32_t, int32_t, int32_t, int32_t depth) { return depth; },
             .apply =
                 [](const VekSaveOpts& o) {
                   if (o.prepQuality != kUndefined) OggSetQuality(o.prepQuality);
                 }},
    .info = OggInfo,
    .movie = &kOggOps,
};

}  // namespace vek
