// The audio compression service on top of FFmpeg: libavcodec decodes the
// compressed wave formats, libswresample changes the sample rate, and our own
// loops change channel count and sample width.
//
// A stream is a small pipeline: [decoder ->] PCM stage -> output queue. Every
// convert call consumes the whole source (partial blocks are kept for the next
// call), writes into the caller's buffer and keeps what does not fit for the
// next call, so a caller that streams block by block loses nothing.
#include "platform/acm/acm.h"
#include "codecs/ffmpeg/av_log.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace vek::platform {

namespace {

constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 384000;
constexpr int kMaxChannels = 2;
// AAC and AC-3 sources may carry surround sound, mixed down to stereo.
constexpr int kMaxSourceChannels = 8;
// Output kept back when the caller's buffer is full; beyond it the stream
// stops consuming source (cbSrcLengthUsed tells the caller).
constexpr size_t kPendingCap = size_t(8) << 20;
// PCM frames converted per step: small enough for the cache.
constexpr int kChunkFrames = 4096;

struct TagInfo {
  uint16_t tag;
  const char* name;
  AVCodecID codec;
  DWORD support;
  DWORD format_size;
  DWORD formats;
};

constexpr TagInfo kTags[] = {
    {WAVE_FORMAT_PCM, "PCM", AV_CODEC_ID_NONE, ACMDRIVERDETAILS_SUPPORTF_CONVERTER, 16, 12},
    {WAVE_FORMAT_ADPCM, "Microsoft ADPCM", AV_CODEC_ID_ADPCM_MS, ACMDRIVERDETAILS_SUPPORTF_CODEC,
     50, 6},
    {WAVE_FORMAT_ALAW, "CCITT A-Law", AV_CODEC_ID_PCM_ALAW, ACMDRIVERDETAILS_SUPPORTF_CODEC, 18,
     6},
    {WAVE_FORMAT_MULAW, "CCITT u-Law", AV_CODEC_ID_PCM_MULAW, ACMDRIVERDETAILS_SUPPORTF_CODEC, 18,
     6},
    {WAVE_FORMAT_IMA_ADPCM, "IMA ADPCM", AV_CODEC_ID_ADPCM_IMA_WAV,
     ACMDRIVERDETAILS_SUPPORTF_CODEC, 20, 6},
    {WAVE_FORMAT_GSM610, "GSM 6.10", AV_CODEC_ID_GSM_MS, ACMDRIVERDETAILS_SUPPORTF_CODEC, 20, 4},
    {WAVE_FORMAT_MPEG, "MPEG Layer-1/2", AV_CODEC_ID_MP2, ACMDRIVERDETAILS_SUPPORTF_CODEC, 40, 6},
    {WAVE_FORMAT_MPEGLAYER3, "MPEG Layer-3", AV_CODEC_ID_MP3, ACMDRIVERDETAILS_SUPPORTF_CODEC, 30,
     6},
    {WAVE_FORMAT_MPEG_ADTS_AAC, "MPEG-2/4 AAC (ADTS)", AV_CODEC_ID_AAC,
     ACMDRIVERDETAILS_SUPPORTF_CODEC, 18, 6},
    {WAVE_FORMAT_DOLBY_AC3, "Dolby AC-3", AV_CODEC_ID_AC3, ACMDRIVERDETAILS_SUPPORTF_CODEC, 18, 6},
};

const TagInfo* FindTag(uint32_t tag) {
  for (const TagInfo& t : kTags)
    if (t.tag == tag) return &t;
  return nullptr;
}

bool RateOk(uint32_t rate) { return rate >= kMinRate && rate <= kMaxRate; }

bool PcmOk(const WAVEFORMATEX& f) {
  return f.wFormatTag == WAVE_FORMAT_PCM && f.nChannels >= 1 && f.nChannels <= kMaxChannels &&
         (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && RateOk(f.nSamplesPerSec) &&
         f.nBlockAlign == f.nChannels * (f.wBitsPerSample / 8);
}

// Sample frames in one block of a block codec (0 when the block is unusable).
bool IsMpeg(uint16_t tag) { return tag == WAVE_FORMAT_MPEG || tag == WAVE_FORMAT_MPEGLAYER3; }
// Self-synchronising frame streams that a parser cuts into frames; their
// sizes are estimated from the average data rate.
bool IsFramed(uint16_t tag) {
  return IsMpeg(tag) || tag == WAVE_FORMAT_MPEG_ADTS_AAC || tag == WAVE_FORMAT_DOLBY_AC3;
}

// Plausibility of a compressed source format: what the decoder needs, with
// limits that keep sizes small and arithmetic in range.
bool CodedOk(const WAVEFORMATEX& f) {
  if (!FindTag(f.wFormatTag) || f.wFormatTag == WAVE_FORMAT_PCM) return false;
  if (IsFramed(f.wFormatTag) && !IsMpeg(f.wFormatTag))
    return f.nChannels >= 1 && f.nChannels <= kMaxSourceChannels && RateOk(f.nSamplesPerSec) &&
           f.nSamplesPerSec <= 96000 && f.nAvgBytesPerSec >= 500 && f.nAvgBytesPerSec <= 1000000;
  if (f.nChannels < 1 || f.nChannels > kMaxChannels || !RateOk(f.nSamplesPerSec)) return false;
  if (IsMpeg(f.wFormatTag))
    return f.nAvgBytesPerSec >= 1000 && f.nAvgBytesPerSec <= 80000 && f.nSamplesPerSec <= 48000;
  if (f.wFormatTag == WAVE_FORMAT_ALAW || f.wFormatTag == WAVE_FORMAT_MULAW)
    return f.nBlockAlign == f.nChannels;
  if (f.wFormatTag == WAVE_FORMAT_GSM610 && f.nChannels != 1) return false;
  return AcmSamplesPerBlock(f) > 0;
}

void MakePcm(WAVEFORMATEX& f, uint32_t rate, uint16_t channels, uint16_t bits) {
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = static_cast<uint16_t>(channels * (bits / 8));
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  f.wBitsPerSample = bits;
  f.cbSize = 0;
}

// Where converted bytes go: the caller's buffer first, then the queue.
struct Sink {
  uint8_t* dst = nullptr;
  size_t cap = 0;
  size_t used = 0;
  std::vector<uint8_t>* pending = nullptr;

  void Put(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    if (pending->empty()) {
      const size_t take = std::min(n, cap - used);
      std::memcpy(dst + used, b, take);
      used += take;
      b += take;
      n -= take;
    }
    if (n) pending->insert(pending->end(), b, b + n);
  }
};

// Rate, channel count and sample width conversion of interleaved PCM.
//
// The resampler's filter reaches past both ends of the sound. Rather than
// let it see silence there (a click at every seam when sound is converted
// block by block), the stage extends the sound at each end by its own odd
// reflection, which continues both level and slope, and drops the output
// that belongs to the extension.
class PcmStage {
 public:
  ~PcmStage() { swr_free(&swr_); }

  bool Setup(uint32_t in_rate, int in_ch, int in_bits, uint32_t out_rate, int out_ch,
             int out_bits) {
    swr_free(&swr_);
    in_rate_ = in_rate;
    in_ch_ = in_ch;
    in_bits_ = in_bits;
    out_rate_ = out_rate;
    out_ch_ = out_ch;
    out_bits_ = out_bits;
    // Resample with the fewer channels: mix down before, up after.
    mid_ch_ = std::min(in_ch, out_ch);
    primed_ = false;
    drop_ = fed_ = emitted_ = 0;
    limit_ = -1;
    hist_.clear();
    if (in_rate == out_rate) return true;
    AVChannelLayout layout;
    av_channel_layout_default(&layout, mid_ch_);
    int r = swr_alloc_set_opts2(&swr_, &layout, AV_SAMPLE_FMT_S16, static_cast<int>(out_rate),
                                &layout, AV_SAMPLE_FMT_S16, static_cast<int>(in_rate), 0, nullptr);
    av_channel_layout_uninit(&layout);
    if (r < 0 || !swr_) return false;
    // A long filter: no audible aliasing when halving the rate.
    av_opt_set_int(swr_, "filter_size", kFilterSize, 0);
    av_opt_set_int(swr_, "phase_shift", 10, 0);
    av_opt_set_double(swr_, "cutoff", kCutoff, 0);
    if (swr_init(swr_) < 0) {
      swr_free(&swr_);
      return false;
    }
    // Extension: at least half the filter in input frames, and a length
    // whose output is as near a whole number of frames as can be found, so
    // that dropping it does not shift the sound by a fraction of a frame.
    const double factor = std::min(1.0, double(out_rate) / in_rate) * kCutoff;
    const int64_t least = int64_t(std::ceil(kFilterSize / 2 / factor)) + 2;
    int64_t best = least, best_off = in_rate;
    for (int64_t k = least; k < least + 4096 && best_off > 0; ++k) {
      const int64_t r = k * out_rate % in_rate;
      const int64_t off = std::min<int64_t>(r, in_rate - r);
      if (off < best_off) {
        best = k;
        best_off = off;
      }
    }
    ext_ = best;
    return true;
  }
  bool Reset() { return Setup(in_rate_, in_ch_, in_bits_, out_rate_, out_ch_, out_bits_); }

  uint32_t in_rate() const { return in_rate_; }
  int in_ch() const { return in_ch_; }

  // `frames` frames of input in the stage's input layout.
  bool Process(const uint8_t* in, int frames, Sink& sink) {
    while (frames > 0) {
      const int n = std::min(frames, kChunkFrames);
      if (!Step(in, n, sink)) return false;
      in += static_cast<size_t>(n) * in_ch_ * (in_bits_ / 8);
      frames -= n;
    }
    return true;
  }

  // The end of the sound: hands out what the resampler still holds, exactly
  // as many frames as the input's length gives at the output rate.
  bool Flush(Sink& sink) {
    if (!swr_) return true;
    if (fed_ > 0) {
      limit_ = (fed_ * out_rate_ + in_rate_ - 1) / in_rate_;
      // Odd reflection about the last frame.
      const int64_t have = static_cast<int64_t>(hist_.size()) / mid_ch_;
      ext_buf_.resize(static_cast<size_t>(ext_) * mid_ch_);
      const int16_t* last = hist_.data() + (have - 1) * mid_ch_;
      for (int64_t k = 1; k <= ext_; ++k) {
        const int16_t* x = hist_.data() + std::max<int64_t>(have - 1 - k, 0) * mid_ch_;
        for (int c = 0; c < mid_ch_; ++c)
          ext_buf_[(k - 1) * mid_ch_ + c] = Clamp16(2 * last[c] - x[c]);
      }
      if (!Resample(ext_buf_.data(), static_cast<int>(ext_), sink)) return false;
    }
    for (;;) {
      mid_.resize(static_cast<size_t>(kChunkFrames) * mid_ch_);
      uint8_t* out = reinterpret_cast<uint8_t*>(mid_.data());
      const int got = swr_convert(swr_, &out, kChunkFrames, nullptr, 0);
      if (got < 0) return false;
      if (got == 0) return true;
      Emit(mid_.data(), got, sink);
    }
  }

 private:
  static constexpr int kFilterSize = 64;
  static constexpr double kCutoff = 0.95;

  static int16_t Clamp16(int v) {
    return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
  }

  bool Step(const uint8_t* in, int n, Sink& sink) {
    // Straight copy when nothing changes.
    if (in_ch_ == out_ch_ && in_bits_ == out_bits_ && !swr_) {
      sink.Put(in, static_cast<size_t>(n) * in_ch_ * (in_bits_ / 8));
      return true;
    }
    // To 16 bits at the mixing channel count.
    const int16_t* s16;
    if (in_bits_ == 16 && in_ch_ == mid_ch_) {
      s16 = reinterpret_cast<const int16_t*>(in);
    } else {
      a_.resize(static_cast<size_t>(n) * mid_ch_);
      int16_t* d = a_.data();
      if (in_bits_ == 16) {  // stereo to mono
        const int16_t* s = reinterpret_cast<const int16_t*>(in);
        for (int i = 0; i < n; ++i) d[i] = static_cast<int16_t>((s[2 * i] + s[2 * i + 1]) >> 1);
      } else if (in_ch_ == mid_ch_) {
        const size_t count = static_cast<size_t>(n) * mid_ch_;
        for (size_t i = 0; i < count; ++i) d[i] = static_cast<int16_t>((in[i] - 128) * 256);
      } else {  // 8-bit stereo to mono
        for (int i = 0; i < n; ++i)
          d[i] = static_cast<int16_t>((in[2 * i] + in[2 * i + 1] - 256) * 128);
      }
      s16 = d;
    }
    if (!swr_) {
      Emit(s16, n, sink);
      return true;
    }
    if (!primed_) {
      // Odd reflection about the first frame, fed ahead of the sound; the
      // output it gives is dropped.
      ext_buf_.resize(static_cast<size_t>(ext_) * mid_ch_);
      for (int64_t k = ext_; k >= 1; --k) {
        const int16_t* x = s16 + std::min<int64_t>(k, n - 1) * mid_ch_;
        for (int c = 0; c < mid_ch_; ++c)
          ext_buf_[(ext_ - k) * mid_ch_ + c] = Clamp16(2 * s16[c] - x[c]);
      }
      drop_ = (ext_ * out_rate_ + in_rate_ / 2) / in_rate_;
      primed_ = true;
      if (!Resample(ext_buf_.data(), static_cast<int>(ext_), sink)) return false;
    }
    fed_ += n;
    // The last frames, for the reflection at the end.
    const size_t keep = static_cast<size_t>(ext_ + 1) * mid_ch_;
    hist_.insert(hist_.end(), s16, s16 + static_cast<size_t>(n) * mid_ch_);
    if (hist_.size() > keep) hist_.erase(hist_.begin(), hist_.end() - keep);
    return Resample(s16, n, sink);
  }

  bool Resample(const int16_t* s16, int n, Sink& sink) {
    const int room = swr_get_out_samples(swr_, n);
    if (room < 0) return false;
    mid_.resize(static_cast<size_t>(room + 1) * mid_ch_);
    uint8_t* out = reinterpret_cast<uint8_t*>(mid_.data());
    const uint8_t* src = reinterpret_cast<const uint8_t*>(s16);
    const int got = swr_convert(swr_, &out, room + 1, &src, n);
    if (got < 0) return false;
    Emit(mid_.data(), got, sink);
    return true;
  }

  // Frames of 16-bit samples at the mixing channel count to the output layout.
  void Emit(const int16_t* s, int n, Sink& sink) {
    if (drop_ > 0) {
      const int skip = static_cast<int>(std::min<int64_t>(drop_, n));
      s += static_cast<size_t>(skip) * mid_ch_;
      n -= skip;
      drop_ -= skip;
    }
    if (limit_ >= 0 && emitted_ + n > limit_) n = static_cast<int>(limit_ - emitted_);
    if (n <= 0) return;
    emitted_ += n;
    const int16_t* w = s;
    if (out_ch_ > mid_ch_) {  // mono to stereo
      b_.resize(static_cast<size_t>(n) * 2);
      int16_t* d = b_.data();
      for (int i = 0; i < n; ++i) d[2 * i] = d[2 * i + 1] = s[i];
      w = d;
    }
    const size_t count = static_cast<size_t>(n) * out_ch_;
    if (out_bits_ == 16) {
      sink.Put(w, count * 2);
      return;
    }
    c_.resize(count);
    uint8_t* d = c_.data();
    for (size_t i = 0; i < count; ++i) {
      const int v = (w[i] + 128) >> 8;  // rounded, then kept in range
      d[i] = static_cast<uint8_t>((v > 127 ? 127 : v) + 128);
    }
    sink.Put(d, count);
  }

  SwrContext* swr_ = nullptr;
  uint32_t in_rate_ = 0, out_rate_ = 0;
  int in_ch_ = 1, in_bits_ = 16, out_ch_ = 1, out_bits_ = 16, mid_ch_ = 1;
  int64_t ext_ = 0;       // frames of extension at each end
  bool primed_ = false;   // the leading extension has been fed
  int64_t drop_ = 0;      // output frames of the extension still to drop
  int64_t fed_ = 0;       // input frames of the sound itself
  int64_t emitted_ = 0;   // output frames handed out
  int64_t limit_ = -1;    // at the end: the frames the sound gives
  std::vector<int16_t> a_, b_, mid_, hist_, ext_buf_;
  std::vector<uint8_t> c_;
};

}  // namespace

struct AcmStream {
  WAVEFORMATEX src{};
  WAVEFORMATEX dst{};
  AVCodecContext* dec = nullptr;
  AVCodecParserContext* parser = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  PcmStage pcm;
  std::vector<uint8_t> carry;    // source bytes short of a whole block
  std::vector<uint8_t> pending;  // output that did not fit
  size_t pending_pos = 0;
  std::vector<int16_t> s16;      // decoded frame, interleaved
  std::vector<uint8_t> padded;   // parser input: the parser reads past the end of what it gets
  bool split = false;            // ADTS or AC-3: frames cut out here, by their length
  std::vector<uint8_t> framing;  // source bytes of a frame not yet complete
  SwrContext* down = nullptr;    // surround to stereo, for the layout below
  AVChannelLayout down_layout{};
  int down_rate = 0, down_format = -1;

  ~AcmStream() { CloseDecoder(); }

  void CloseDecoder() {
    av_parser_close(parser);
    parser = nullptr;
    avcodec_free_context(&dec);
    swr_free(&down);
    av_channel_layout_uninit(&down_layout);
    av_packet_free(&pkt);
    av_frame_free(&frame);
  }

  bool OpenDecoder() {
    CloseDecoder();
    AvLogInstall();
    const TagInfo* t = FindTag(src.wFormatTag);
    if (!t || t->codec == AV_CODEC_ID_NONE) return false;
    // FFmpeg's default decoders: for MPEG audio the floating-point ones,
    // whose output does not depend on where decoding began (the fixed-point
    // ones carry a running dither), so a seek gives the same samples.
    const AVCodec* codec = avcodec_find_decoder(t->codec);
    if (!codec) return false;
    dec = avcodec_alloc_context3(codec);
    pkt = av_packet_alloc();
    frame = av_frame_alloc();
    if (!dec || !pkt || !frame) return false;
    dec->sample_rate = static_cast<int>(src.nSamplesPerSec);
    av_channel_layout_uninit(&dec->ch_layout);
    av_channel_layout_default(&dec->ch_layout, src.nChannels);
    dec->block_align = src.nBlockAlign;
    dec->bit_rate = static_cast<int64_t>(src.nAvgBytesPerSec) * 8;
    if (src.wFormatTag == WAVE_FORMAT_IMA_ADPCM)
      dec->bits_per_coded_sample =
          src.wBitsPerSample >= 2 && src.wBitsPerSample <= 5 ? src.wBitsPerSample : 4;
    else if (src.wFormatTag == WAVE_FORMAT_ADPCM)
      dec->bits_per_coded_sample = 4;
    if (avcodec_open2(dec, codec, nullptr) < 0) return false;
    split = src.wFormatTag == WAVE_FORMAT_MPEG_ADTS_AAC || src.wFormatTag == WAVE_FORMAT_DOLBY_AC3;
    if (IsMpeg(src.wFormatTag)) {
      parser = av_parser_init(t->codec);
      if (!parser) return false;
    }
    return true;
  }

  bool Restart() {
    carry.clear();
    framing.clear();
    pending.clear();
    pending_pos = 0;
    if (src.wFormatTag != WAVE_FORMAT_PCM && !OpenDecoder()) return false;
    return SetupPcm(src.nSamplesPerSec, std::min<int>(src.nChannels, kMaxChannels));
  }

  bool SetupPcm(uint32_t rate, int channels) {
    const int in_bits = src.wFormatTag == WAVE_FORMAT_PCM ? src.wBitsPerSample : 16;
    return pcm.Setup(rate, channels, in_bits, dst.nSamplesPerSec, dst.nChannels,
                     dst.wBitsPerSample);
  }

  // Decoded frames to 16-bit interleaved, then through the PCM stage.
  bool DrainDecoder(Sink& sink) {
    for (;;) {
      const int r = avcodec_receive_frame(dec, frame);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) return true;  // a damaged frame is dropped, the stream goes on
      int ch = frame->ch_layout.nb_channels;
      const int n = frame->nb_samples;
      if (ch < 1 || ch > kMaxSourceChannels || n <= 0 || frame->sample_rate <= 0) {
        av_frame_unref(frame);
        continue;
      }
      if (ch > kMaxChannels) {
        // Surround sound: the usual stereo mix (FFmpeg's own matrix).
        if (!MixDown(n)) {
          av_frame_unref(frame);
          continue;
        }
        ch = kMaxChannels;
      }
      if (static_cast<uint32_t>(frame->sample_rate) != pcm.in_rate() || ch != pcm.in_ch()) {
        // The stream disagrees with its format record: follow the stream.
        if (!RateOk(static_cast<uint32_t>(frame->sample_rate)) ||
            !SetupPcm(static_cast<uint32_t>(frame->sample_rate), ch)) {
          av_frame_unref(frame);
          return false;
        }
      }
      if (ch == frame->ch_layout.nb_channels) {
        s16.resize(static_cast<size_t>(n) * ch);
        ToS16(*frame, s16.data());
      }
      av_frame_unref(frame);
      if (!pcm.Process(reinterpret_cast<const uint8_t*>(s16.data()), n, sink)) return false;
    }
  }

  // The decoded frame mixed down to interleaved 16-bit stereo in `s16`.
  bool MixDown(int n) {
    const bool same = down && down_rate == frame->sample_rate && down_format == frame->format &&
                      av_channel_layout_compare(&down_layout, &frame->ch_layout) == 0;
    if (!same) {
      swr_free(&down);
      av_channel_layout_uninit(&down_layout);
      AVChannelLayout stereo;
      av_channel_layout_default(&stereo, kMaxChannels);
      const int r = swr_alloc_set_opts2(&down, &stereo, AV_SAMPLE_FMT_S16, frame->sample_rate,
                                        &frame->ch_layout,
                                        static_cast<AVSampleFormat>(frame->format),
                                        frame->sample_rate, 0, nullptr);
      av_channel_layout_uninit(&stereo);
      if (r < 0 || !down || swr_init(down) < 0 ||
          av_channel_layout_copy(&down_layout, &frame->ch_layout) < 0) {
        swr_free(&down);
        return false;
      }
      down_rate = frame->sample_rate;
      down_format = frame->format;
    }
    s16.resize(static_cast<size_t>(n) * kMaxChannels);
    uint8_t* out = reinterpret_cast<uint8_t*>(s16.data());
    const int got = swr_convert(down, &out, n, const_cast<const uint8_t**>(frame->extended_data), n);
    if (got < 0) return false;
    if (got < n)  // same rate: nothing is held back, but never hand out stale samples
      std::fill(s16.begin() + static_cast<ptrdiff_t>(got) * kMaxChannels, s16.end(), 0);
    return true;
  }

  static int16_t FromFloat(float v) {
    const float s = std::nearbyint(v * 32768.0f);
    return static_cast<int16_t>(s > 32767.0f ? 32767 : (s < -32768.0f ? -32768 : s));
  }

  static void ToS16(const AVFrame& f, int16_t* d) {
    const int ch = f.ch_layout.nb_channels, n = f.nb_samples;
    switch (f.format) {
      case AV_SAMPLE_FMT_S16:
        std::memcpy(d, f.data[0], static_cast<size_t>(n) * ch * 2);
        break;
      case AV_SAMPLE_FMT_S16P:
        for (int c = 0; c < ch; ++c) {
          const int16_t* s = reinterpret_cast<const int16_t*>(f.extended_data[c]);
          for (int i = 0; i < n; ++i) d[i * ch + c] = s[i];
        }
        break;
      case AV_SAMPLE_FMT_FLT: {
        const float* s = reinterpret_cast<const float*>(f.data[0]);
        for (int i = 0; i < n * ch; ++i) d[i] = FromFloat(s[i]);
        break;
      }
      case AV_SAMPLE_FMT_FLTP:
        for (int c = 0; c < ch; ++c) {
          const float* s = reinterpret_cast<const float*>(f.extended_data[c]);
          for (int i = 0; i < n; ++i) d[i * ch + c] = FromFloat(s[i]);
        }
        break;
      case AV_SAMPLE_FMT_S32:
        for (int i = 0; i < n * ch; ++i)
          d[i] = static_cast<int16_t>(reinterpret_cast<const int32_t*>(f.data[0])[i] >> 16);
        break;
      case AV_SAMPLE_FMT_S32P:
        for (int c = 0; c < ch; ++c) {
          const int32_t* s = reinterpret_cast<const int32_t*>(f.extended_data[c]);
          for (int i = 0; i < n; ++i) d[i * ch + c] = static_cast<int16_t>(s[i] >> 16);
        }
        break;
      default:
        std::memset(d, 0, static_cast<size_t>(n) * ch * 2);
        break;
    }
  }

  // One packet of a block codec; a block the decoder rejects becomes silence
  // so that the timing of what follows is kept.
  bool DecodeBlock(const uint8_t* p, int size, Sink& sink) {
    pkt->data = const_cast<uint8_t*>(p);
    pkt->size = size;
    const int r = avcodec_send_packet(dec, pkt);
    if (r < 0 && r != AVERROR(EAGAIN)) {
      const int64_t frames = src.wFormatTag == WAVE_FORMAT_ALAW ||
                                     src.wFormatTag == WAVE_FORMAT_MULAW
                                 ? size / src.nChannels
                                 : AcmSamplesPerBlock(src);
      s16.assign(static_cast<size_t>(frames) * pcm.in_ch(), 0);
      return pcm.Process(reinterpret_cast<const uint8_t*>(s16.data()),
                         static_cast<int>(frames), sink);
    }
    return DrainDecoder(sink);
  }

  bool FeedParser(const uint8_t* p, int size, Sink& sink) {
    while (size > 0 || !p) {
      uint8_t* out = nullptr;
      int out_size = 0;
      const int used = av_parser_parse2(parser, dec, &out, &out_size, p, p ? size : 0,
                                        AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (used < 0) return true;
      if (p && used == 0 && out_size == 0) return true;  // no progress: never spin
      if (p) {
        p += used;
        size -= used;
      }
      if (out_size > 0) {
        pkt->data = out;
        pkt->size = out_size;
        if (avcodec_send_packet(dec, pkt) >= 0 && !DrainDecoder(sink)) return false;
      }
      if (!p && out_size == 0) break;
    }
    return true;
  }

  // Bytes of one unit the source is cut into: a frame or a coded block.
  size_t Unit() const { return parser || split ? 1 : src.nBlockAlign; }

  // Length of the ADTS or AC-3 frame at `p` (0: no frame starts here;
  // more than `n`: the frame is not complete yet).
  size_t FrameAt(const uint8_t* p, size_t n) const {
    if (src.wFormatTag == WAVE_FORMAT_MPEG_ADTS_AAC) {
      if (n < 7) return n + 1;
      if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return 0;
      const size_t len = (size_t(p[3] & 3) << 11) | (size_t(p[4]) << 3) | (p[5] >> 5);
      const size_t header = (p[1] & 1) ? 7 : 9;
      return len > header ? len : 0;
    }
    if (n < 6) return n + 1;
    if (p[0] != 0x0B || p[1] != 0x77) return 0;
    const int fscod = p[4] >> 6, code = p[4] & 0x3F, bsid = p[5] >> 3;
    static const int16_t kKbps[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                      192, 224, 256, 320, 384, 448, 512, 576, 640};
    if (fscod == 3 || code >= 38 || bsid > 10) return 0;
    const int kbps = kKbps[code / 2];
    const size_t words = fscod == 0   ? size_t(kbps) * 2
                         : fscod == 2 ? size_t(kbps) * 3
                                      : size_t(kbps) * 320 / 147 + (code & 1);
    return words * 2;
  }

  // ADTS and AC-3 frames carry their length: each goes to the decoder as
  // soon as it is complete (a parser would hold the last one back until the
  // end of the stream, which a caller streaming block by block never signals).
  bool SplitFrames(const uint8_t* p, size_t size, Sink& sink) {
    framing.insert(framing.end(), p, p + size);
    size_t at = 0;
    bool ok = true;
    while (ok && at < framing.size()) {
      const size_t left = framing.size() - at;
      const size_t len = FrameAt(framing.data() + at, left);
      if (len == 0) {  // not at a frame: look for the next one
        ++at;
        continue;
      }
      if (len > left) break;
      padded.assign(len + AV_INPUT_BUFFER_PADDING_SIZE, 0);
      std::memcpy(padded.data(), framing.data() + at, len);
      pkt->data = padded.data();
      pkt->size = static_cast<int>(len);
      if (avcodec_send_packet(dec, pkt) >= 0) ok = DrainDecoder(sink);
      at += len;
    }
    framing.erase(framing.begin(), framing.begin() + static_cast<ptrdiff_t>(at));
    return ok;
  }

  // Converts whole units from `p`; returns bytes consumed (stops early only
  // when the queue is full). `ok` turns false on a library failure.
  size_t Consume(const uint8_t* p, size_t size, Sink& sink, bool& ok) {
    if (split) {
      size_t done = 0;
      while (done < size && pending.size() - pending_pos < kPendingCap) {
        const size_t n = std::min<size_t>(size - done, 16384);
        if (!SplitFrames(p + done, n, sink)) {
          ok = false;
          return done + n;
        }
        done += n;
      }
      return done;
    }
    if (parser) {
      size_t done = 0;
      while (done < size && pending.size() - pending_pos < kPendingCap) {
        const size_t n = std::min<size_t>(size - done, 16384);
        padded.assign(n + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::memcpy(padded.data(), p + done, n);
        if (!FeedParser(padded.data(), static_cast<int>(n), sink)) {
          ok = false;
          return done + n;
        }
        done += n;
      }
      return done;
    }
    const size_t unit = Unit();
    const bool pcm_in = src.wFormatTag == WAVE_FORMAT_PCM;
    const bool law = src.wFormatTag == WAVE_FORMAT_ALAW || src.wFormatTag == WAVE_FORMAT_MULAW;
    // Sample-wise formats go in chunks of frames, block codecs block by block.
    const size_t step = pcm_in || law ? unit * kChunkFrames : unit;
    size_t done = 0;
    while (size - done >= unit && pending.size() - pending_pos < kPendingCap) {
      const size_t n = std::min(step, (size - done) / unit * unit);
      const bool good = pcm_in ? pcm.Process(p + done, static_cast<int>(n / unit), sink)
                               : DecodeBlock(p + done, static_cast<int>(n), sink);
      done += n;
      if (!good) {
        ok = false;
        return done;
      }
    }
    return done;
  }
};

namespace {

std::unordered_set<AcmStream*>& Streams() {
  static std::unordered_set<AcmStream*> streams;
  return streams;
}

bool Live(HACMSTREAM has) { return has && Streams().count(has) > 0; }

}  // namespace

int32_t AcmOpenStreams() { return static_cast<int32_t>(Streams().size()); }

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t /*dwInstance*/, DWORD fdwOpen) {
  const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
  if (phas && !query) *phas = nullptr;
  if (!pwfxSrc || !pwfxDst || (!phas && !query)) return MMSYSERR_INVALPARAM;
  if (fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME))
    return MMSYSERR_INVALFLAG;
  if (had) return MMSYSERR_INVALHANDLE;  // no installable drivers here
  // Filters and asynchronous conversion are not offered.
  if (pwfltr || dwCallback || (fdwOpen & ACM_STREAMOPENF_ASYNC)) return MMSYSERR_NOTSUPPORTED;
  const WAVEFORMATEX& s = *pwfxSrc;
  const WAVEFORMATEX& d = *pwfxDst;
  if (!PcmOk(d)) return ACMERR_NOTPOSSIBLE;  // this layer encodes nothing
  if (s.wFormatTag == WAVE_FORMAT_PCM ? !PcmOk(s) : !CodedOk(s)) return ACMERR_NOTPOSSIBLE;
  if (query) return MMSYSERR_NOERROR;
  AvLogInstall();
  AcmStream* st = new (std::nothrow) AcmStream;
  if (!st) return MMSYSERR_NOMEM;
  std::memcpy(&st->src, &s, sizeof s);
  std::memcpy(&st->dst, &d, sizeof d);
  if (!st->Restart()) {
    delete st;
    return ACMERR_NOTPOSSIBLE;
  }
  Streams().insert(st);
  *phas = st;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose) {
  if (!Live(has)) return MMSYSERR_INVALHANDLE;
  if (fdwClose) return MMSYSERR_INVALFLAG;
  Streams().erase(has);
  delete has;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, DWORD* pdwOutputBytes, DWORD fdwSize) {
  if (!Live(has)) return MMSYSERR_INVALHANDLE;
  if (!pdwOutputBytes) return MMSYSERR_INVALPARAM;
  if (fdwSize & ~ACM_STREAMSIZEF_QUERYMASK) return MMSYSERR_INVALFLAG;
  const DWORD query = fdwSize & ACM_STREAMSIZEF_QUERYMASK;
  if (query != ACM_STREAMSIZEF_SOURCE && query != ACM_STREAMSIZEF_DESTINATION)
    return MMSYSERR_INVALFLAG;
  const WAVEFORMATEX& s = has->src;
  const WAVEFORMATEX& d = has->dst;
  // Source frames per source unit and the unit size; MPEG counts in bytes
  // at its nominal data rate.
  const int64_t in_rate = s.nSamplesPerSec, out_rate = d.nSamplesPerSec;
  int64_t out_bytes = 0;
  if (query == ACM_STREAMSIZEF_SOURCE) {
    const int64_t in = cbInput;
    int64_t frames;  // source-rate frames
    if (IsFramed(s.wFormatTag))
      frames = (in * in_rate + s.nAvgBytesPerSec - 1) / s.nAvgBytesPerSec;
    else if (s.wFormatTag == WAVE_FORMAT_PCM)
      frames = in / s.nBlockAlign;
    else
      frames = in / s.nBlockAlign * AcmSamplesPerBlock(s);
    const int64_t out_frames = (frames * out_rate + in_rate - 1) / in_rate;
    out_bytes = out_frames * d.nBlockAlign;
  } else {
    const int64_t frames_out = cbInput / d.nBlockAlign;
    const int64_t frames = (frames_out * in_rate + out_rate - 1) / out_rate;
    if (IsFramed(s.wFormatTag)) {
      out_bytes = (frames * s.nAvgBytesPerSec + in_rate - 1) / in_rate;
    } else if (s.wFormatTag == WAVE_FORMAT_PCM) {
      out_bytes = frames * s.nBlockAlign;
    } else {
      const int64_t spb = AcmSamplesPerBlock(s);
      out_bytes = (frames + spb - 1) / spb * s.nBlockAlign;
    }
  }
  if (out_bytes > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
  *pdwOutputBytes = static_cast<DWORD>(out_bytes);
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwPrepare) {
  if (!Live(has)) return MMSYSERR_INVALHANDLE;
  if (!pash || pash->cbStruct != kAcmStreamHeaderSize) return MMSYSERR_INVALPARAM;
  if (fdwPrepare) return MMSYSERR_INVALFLAG;
  if (!pash->pbSrc || !pash->pbDst || pash->cbSrcLength == 0 || pash->cbDstLength == 0)
    return MMSYSERR_INVALPARAM;
  if (pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) return MMSYSERR_NOERROR;
  pash->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwUnprepare) {
  if (!Live(has)) return MMSYSERR_INVALHANDLE;
  if (!pash || pash->cbStruct != kAcmStreamHeaderSize) return MMSYSERR_INVALPARAM;
  if (fdwUnprepare) return MMSYSERR_INVALFLAG;
  if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
  if (pash->fdwStatus & ACMSTREAMHEADER_STATUSF_INQUEUE) return ACMERR_BUSY;
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwConvert) {
  if (!Live(has)) return MMSYSERR_INVALHANDLE;
  if (!pash || pash->cbStruct != kAcmStreamHeaderSize) return MMSYSERR_INVALPARAM;
  if (fdwConvert & ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START |
                     ACM_STREAMCONVERTF_END))
    return MMSYSERR_INVALFLAG;
  if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
  AcmStream& st = *has;
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  pash->cbSrcLengthUsed = 0;
  pash->cbDstLengthUsed = 0;
  if ((fdwConvert & ACM_STREAMCONVERTF_START) && !st.Restart()) return MMSYSERR_ERROR;

  // Only whole frames go to the caller; the rest waits for the next call.
  Sink sink{pash->pbDst, pash->cbDstLength / st.dst.nBlockAlign * st.dst.nBlockAlign, 0,
            &st.pending};
  // Output held back from the last call comes first.
  if (st.pending_pos < st.pending.size()) {
    const size_t take = std::min(st.pending.size() - st.pending_pos, sink.cap);
    std::memcpy(sink.dst, st.pending.data() + st.pending_pos, take);
    sink.used = take;
    st.pending_pos += take;
  }
  if (st.pending_pos >= st.pending.size()) {
    st.pending.clear();
    st.pending_pos = 0;
  } else {
    // Keep the queue compact: the sink appends behind the unsent rest.
    st.pending.erase(st.pending.begin(), st.pending.begin() + st.pending_pos);
    st.pending_pos = 0;
  }

  bool ok = true;
  const size_t len = pash->cbSrcLength;
  size_t used = 0;
  // Complete a block left over from the last call first.
  if (!st.carry.empty()) {
    const size_t unit = st.Unit();
    const size_t need = unit - st.carry.size() % unit;
    const size_t add = std::min(need, len);
    st.carry.insert(st.carry.end(), pash->pbSrc, pash->pbSrc + add);
    used = add;
    if (st.carry.size() % unit == 0) {
      st.Consume(st.carry.data(), st.carry.size(), sink, ok);
      st.carry.clear();
    }
  }
  if (ok && used < len) used += st.Consume(pash->pbSrc + used, len - used, sink, ok);
  // A partial block is kept for the next call rather than dropped.
  if (ok && used < len && st.Unit() > 1 && st.pending.size() < kPendingCap &&
      len - used < st.Unit()) {
    st.carry.assign(pash->pbSrc + used, pash->pbSrc + len);
    used = len;
  }
  if (ok && (fdwConvert & ACM_STREAMCONVERTF_END)) {
    if (st.parser) ok = st.FeedParser(nullptr, 0, sink);
    if (ok && st.dec && !st.parser && !st.carry.empty()) st.carry.clear();
    st.framing.clear();  // a frame cut short at the end gives nothing
    if (ok && st.dec) {
      avcodec_send_packet(st.dec, nullptr);
      ok = st.DrainDecoder(sink);
      avcodec_flush_buffers(st.dec);
    }
    if (ok) ok = st.pcm.Flush(sink);
    if (ok) ok = st.pcm.Reset();
  }
  pash->cbSrcLengthUsed = static_cast<DWORD>(used);
  pash->cbDstLengthUsed = static_cast<DWORD>(sink.used);
  pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return ok ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          DWORD cbwfxDst, DWORD fdwSuggest) {
  if (had) return MMSYSERR_INVALHANDLE;
  if (!pwfxSrc || !pwfxDst || cbwfxDst < sizeof(WAVEFORMATEX)) return MMSYSERR_INVALPARAM;
  if (fdwSuggest & ~ACM_FORMATSUGGESTF_TYPEMASK) return MMSYSERR_INVALFLAG;
  const WAVEFORMATEX s = *pwfxSrc;
  if (s.wFormatTag == WAVE_FORMAT_PCM ? !PcmOk(s) : !CodedOk(s)) return ACMERR_NOTPOSSIBLE;
  // What the caller fixes, the rest follows the source.
  if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && pwfxDst->wFormatTag != WAVE_FORMAT_PCM)
    return ACMERR_NOTPOSSIBLE;
  uint32_t rate = s.nSamplesPerSec;
  uint16_t channels = std::min<uint16_t>(s.nChannels, kMaxChannels);
  uint16_t bits = s.wFormatTag == WAVE_FORMAT_PCM ? s.wBitsPerSample : 16;
  if (fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS) channels = pwfxDst->nChannels;
  if (fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) rate = pwfxDst->nSamplesPerSec;
  if (fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) bits = pwfxDst->wBitsPerSample;
  if (channels < 1 || channels > kMaxChannels || !RateOk(rate) || (bits != 8 && bits != 16))
    return ACMERR_NOTPOSSIBLE;
  WAVEFORMATEX out;
  MakePcm(out, rate, channels, bits);
  std::memcpy(pwfxDst, &out, sizeof out);
  return MMSYSERR_NOERROR;
}

MMRESULT acmFormatTagDetails(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, DWORD fdwDetails) {
  if (had) return MMSYSERR_INVALHANDLE;
  if (!paftd || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILS)) return MMSYSERR_INVALPARAM;
  if (fdwDetails & ~ACM_FORMATTAGDETAILSF_QUERYMASK) return MMSYSERR_INVALFLAG;
  const TagInfo* t = nullptr;
  switch (fdwDetails & ACM_FORMATTAGDETAILSF_QUERYMASK) {
    case ACM_FORMATTAGDETAILSF_INDEX:
      if (paftd->dwFormatTagIndex >= std::size(kTags)) return ACMERR_NOTPOSSIBLE;
      t = &kTags[paftd->dwFormatTagIndex];
      break;
    case ACM_FORMATTAGDETAILSF_FORMATTAG:
      t = FindTag(paftd->dwFormatTag);
      break;
    case ACM_FORMATTAGDETAILSF_LARGESTSIZE:
      if (paftd->dwFormatTag == 0) {  // any tag
        t = &kTags[0];
        for (const TagInfo& x : kTags)
          if (x.format_size > t->format_size) t = &x;
      } else {
        t = FindTag(paftd->dwFormatTag);
      }
      break;
    default:
      return MMSYSERR_INVALFLAG;
  }
  if (!t) return ACMERR_NOTPOSSIBLE;
  paftd->dwFormatTagIndex = static_cast<DWORD>(t - kTags);
  paftd->dwFormatTag = t->tag;
  paftd->cbFormatSize = t->format_size;
  paftd->fdwSupport = t->support;
  paftd->cFormats = t->formats;
  std::memset(paftd->szFormatTag, 0, sizeof paftd->szFormatTag);
  std::strncpy(paftd->szFormatTag, t->name, sizeof paftd->szFormatTag - 1);
  return MMSYSERR_NOERROR;
}

}  // namespace vek::platform
