// MPEG audio: decoding of layers I to III (and of AC-3 in program streams)
// with sample-accurate seeking, and layer II encoding.
//
// The sample timeline is the one a plain decode of the whole file gives:
// encoder delay and padding that the file announces (LAME/Xing headers) are
// left out. A seek starts decoding a few audio frames early, so that the
// synthesis filter and the layer III bit reservoir hold what a decode from
// the start would hold, and drops the samples before the one asked for.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "codecs/ffmpeg/mpeg_internal.h"

extern "C" {
#include <libavutil/intreadwrite.h>
#include <libswresample/swresample.h>
}

namespace vek::platform {

using namespace mpeg;

namespace {

bool IsMpegAudio(const AVStream* st) {
  const AVCodecID id = st->codecpar->codec_id;
  return st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
         (id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3 ||
          id == AV_CODEC_ID_AC3);
}

struct AudioIndex {
  int stream = -1;
  AVCodecID codec = AV_CODEC_ID_NONE;
  AudioHeader header;
  int64_t packets = 0;
  int64_t skip_start = 0;  // samples the file says to drop at the start
  int64_t skip_end = 0;    // and at the end
  MpegAudioInfo info;
};

bool Scan(AVFormatContext* in, AudioIndex& ix) {
  PacketPtr pkt = NewPacket();
  if (!pkt) return false;
  bool have_header = false;
  for (;;) {
    if (av_read_frame(in, pkt.get()) < 0) break;
    const AVStream* st = in->streams[pkt->stream_index];
    if (IsMpegAudio(st) && (ix.stream < 0 || ix.stream == pkt->stream_index)) {
      AudioHeader h;
      bool valid = false;
      if (st->codecpar->codec_id != AV_CODEC_ID_AC3)
        valid = ParseAudioHeader(pkt->data, std::min(pkt->size, 4), h);
      else  // without a parser (a library built without one) frames start anywhere
        for (int at = 0; !valid && at + 8 <= pkt->size; ++at)
          valid = ParseAc3Header(pkt->data + at, pkt->size - at, h);
      if (!have_header && valid) {
        ix.header = h;
        have_header = true;
        ix.stream = pkt->stream_index;
        ix.codec = st->codecpar->codec_id;
      }
      if (have_header && ix.stream == pkt->stream_index) {
        size_t side_size = 0;
        const uint8_t* side = av_packet_get_side_data(pkt.get(), AV_PKT_DATA_SKIP_SAMPLES, &side_size);
        if (side && side_size >= 10) {
          const int64_t s = AV_RL32(side), e = AV_RL32(side + 4);
          if (ix.packets == 0) ix.skip_start = s;
          ix.skip_end += e;
        }
        ++ix.packets;
      }
    }
    av_packet_unref(pkt.get());
  }
  if (!have_header || ix.packets == 0) return false;
  const int64_t spf = ix.header.samples_per_frame;
  int64_t total = ix.packets * spf - ix.skip_start - ix.skip_end;
  if (ix.skip_start < 0 || ix.skip_start >= ix.packets * spf || total < 0) {
    ix.skip_start = ix.skip_end = 0;
    total = ix.packets * spf;
  }
  total = std::min<int64_t>(total, INT32_MAX - spf);
  MpegAudioInfo& a = ix.info;
  a.sample_rate = ix.header.sample_rate;
  a.channels = std::min(ix.header.channels, 2);
  a.ac3 = ix.codec == AV_CODEC_ID_AC3;
  a.bits = 16;
  a.samples_per_frame = static_cast<int32_t>(spf);
  a.total_samples = static_cast<int32_t>(total);
  a.frames = static_cast<int32_t>((total + spf - 1) / spf);
  a.version = ix.header.version;
  a.layer = ix.header.layer;
  a.bit_rate = ix.header.bit_rate & 0x3FFFFF;
  return true;
}

}  // namespace

struct MpegAudioDecoder {
  std::string name;
  InputPtr in;
  CodecPtr codec;
  PacketPtr pkt;
  FramePtr frame;
  AudioIndex ix;
  int64_t read_index = 0;   // next packet of the stream to read
  bool eof_sent = false;
  bool ended = false;
  std::vector<int16_t> pending;  // decoded, not yet delivered
  size_t pending_at = 0;         // in samples (not sample frames)
  int64_t discard = 0;           // sample frames still to drop
  int64_t position = 0;          // timeline position of the next delivered sample frame
  struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
  };
  std::unique_ptr<SwrContext, SwrFree> down;  // surround to stereo, for the layout below
  AVChannelLayout down_layout{};
  int down_rate = 0, down_format = -1;
  ~MpegAudioDecoder() { av_channel_layout_uninit(&down_layout); }
};

void MpegAudioDecoderClose::operator()(MpegAudioDecoder* d) const { delete d; }

bool GetMPAInfo(const std::string& name, MpegAudioInfo& info) {
  info = MpegAudioInfo{};
  InputPtr in = OpenInput(name, InputKind::kAudio, MpegLib::kAudioDecoder);
  if (!in) return false;
  AudioIndex ix;
  if (!Scan(in.get(), ix)) return Fail(MpegLib::kAudioDecoder, "No MPEG audio found.");
  info = ix.info;
  return true;
}

namespace {

bool Reposition(MpegAudioDecoder& d, int64_t k) {
  if (k < d.read_index || !d.in) {
    d.in.reset();
    d.in = OpenInput(d.name, InputKind::kAudio, MpegLib::kAudioDecoder);
    if (!d.in) return false;
    d.read_index = 0;
  }
  while (d.read_index < k) {
    if (av_read_frame(d.in.get(), d.pkt.get()) < 0)
      return Fail(MpegLib::kAudioDecoder, "Seek beyond the end of the audio.");
    if (d.pkt->stream_index == d.ix.stream) ++d.read_index;
    av_packet_unref(d.pkt.get());
  }
  avcodec_flush_buffers(d.codec.get());
  d.eof_sent = false;
  d.ended = false;
  d.pending.clear();
  d.pending_at = 0;
  return true;
}

inline int16_t ToS16(float v) {
  const long x = std::lrintf(v * 32768.0f);
  return static_cast<int16_t>(std::clamp<long>(x, -32768, 32767));
}

bool MixDown(MpegAudioDecoder& d, const AVFrame* f, int16_t* out) {
  const bool same = d.down && d.down_rate == f->sample_rate && d.down_format == f->format &&
                    av_channel_layout_compare(&d.down_layout, &f->ch_layout) == 0;
  if (!same) {
    d.down.reset();
    av_channel_layout_uninit(&d.down_layout);
    AVChannelLayout stereo;
    av_channel_layout_default(&stereo, 2);
    SwrContext* s = nullptr;
    const int r = swr_alloc_set_opts2(&s, &stereo, AV_SAMPLE_FMT_S16, f->sample_rate,
                                      const_cast<AVChannelLayout*>(&f->ch_layout),
                                      static_cast<AVSampleFormat>(f->format),
                                      f->sample_rate, 0, nullptr);
    d.down.reset(s);
    if (r < 0 || !s || swr_init(s) < 0 || av_channel_layout_copy(&d.down_layout, &f->ch_layout) < 0) {
      d.down.reset();
      return false;
    }
    d.down_rate = f->sample_rate;
    d.down_format = f->format;
  }
  uint8_t* o = reinterpret_cast<uint8_t*>(out);
  const int got = swr_convert(d.down.get(), &o, f->nb_samples,
                              const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
  if (got < 0) return false;
  if (got < f->nb_samples) std::fill_n(out + size_t(got) * 2, size_t(f->nb_samples - got) * 2, int16_t{0});
  return true;
}

// Appends one decoded frame as interleaved 16-bit samples in the stream's
// channel count.
void Append(MpegAudioDecoder& d, const AVFrame* f) {
  const int in_ch = f->ch_layout.nb_channels;
  const int out_ch = d.ix.info.channels;
  const int n = f->nb_samples;
  if (in_ch < 1 || n <= 0 || !f->extended_data) return;
  const AVSampleFormat fmt = static_cast<AVSampleFormat>(f->format);
  auto sample = [&](int ch, int i) -> int16_t {
    switch (fmt) {
      case AV_SAMPLE_FMT_FLTP: return ToS16(reinterpret_cast<const float*>(f->extended_data[ch])[i]);
      case AV_SAMPLE_FMT_FLT: return ToS16(reinterpret_cast<const float*>(f->data[0])[i * in_ch + ch]);
      case AV_SAMPLE_FMT_S16P: return reinterpret_cast<const int16_t*>(f->extended_data[ch])[i];
      case AV_SAMPLE_FMT_S16: return reinterpret_cast<const int16_t*>(f->data[0])[i * in_ch + ch];
      default: return 0;
    }
  };
  const size_t base = d.pending.size();
  d.pending.resize(base + size_t(n) * out_ch);
  int16_t* out = d.pending.data() + base;
  if (in_ch > 2 && out_ch == 2) {
    // Surround sound: the usual stereo mix (FFmpeg's own matrix).
    if (MixDown(d, f, out)) return;
    std::fill_n(out, size_t(n) * out_ch, int16_t{0});
    return;
  }
  for (int i = 0; i < n; ++i) {
    for (int c = 0; c < out_ch; ++c) {
      int16_t v;
      if (in_ch == out_ch)
        v = sample(c, i);
      else if (out_ch == 1)
        v = static_cast<int16_t>((int32_t(sample(0, i)) + sample(1 % in_ch, i)) / 2);
      else
        v = sample(std::min(c, in_ch - 1), i);
      out[size_t(i) * out_ch + c] = v;
    }
  }
}

// Decodes more samples into `pending`; false at the end.
bool DecodeMore(MpegAudioDecoder& d) {
  if (d.ended) return false;
  for (;;) {
    const int r = avcodec_receive_frame(d.codec.get(), d.frame.get());
    if (r == 0) {
      Append(d, d.frame.get());
      av_frame_unref(d.frame.get());
      return true;
    }
    if (r != AVERROR(EAGAIN) || d.eof_sent) {
      d.ended = true;
      return false;
    }
    bool sent = false;
    while (!sent) {
      if (av_read_frame(d.in.get(), d.pkt.get()) < 0) {
        avcodec_send_packet(d.codec.get(), nullptr);
        d.eof_sent = true;
        break;
      }
      if (d.pkt->stream_index == d.ix.stream) {
        ++d.read_index;
        avcodec_send_packet(d.codec.get(), d.pkt.get());  // damaged frames are skipped
        sent = true;
      }
      av_packet_unref(d.pkt.get());
    }
  }
}

}  // namespace

bool OpenMPA(MpegAudioDecoderPtr& decoder, const std::string& name, MpegAudioInfo& info) {
  decoder.reset();
  info = MpegAudioInfo{};
  auto d = std::make_unique<MpegAudioDecoder>();
  d->name = name;
  d->pkt = NewPacket();
  d->frame = NewFrame();
  if (!d->pkt || !d->frame) return Fail(MpegLib::kAudioDecoder, "Out of memory.");
  {
    InputPtr in = OpenInput(name, InputKind::kAudio, MpegLib::kAudioDecoder);
    if (!in) return false;
    if (!Scan(in.get(), d->ix)) return Fail(MpegLib::kAudioDecoder, "No MPEG audio found.");
  }
  const AVCodecID id = d->ix.info.ac3                ? AV_CODEC_ID_AC3
                       : d->ix.header.layer == 1   ? AV_CODEC_ID_MP1
                       : d->ix.header.layer == 2 ? AV_CODEC_ID_MP2
                                                 : AV_CODEC_ID_MP3;
  const AVCodec* c = avcodec_find_decoder(id);
  if (!c)
    return Fail(MpegLib::kAudioDecoder,
                d->ix.info.ac3 ? "No AC-3 audio decoder." : "No MPEG audio decoder.");
  d->codec.reset(avcodec_alloc_context3(c));
  if (!d->codec) return Fail(MpegLib::kAudioDecoder, "Out of memory.");
  d->codec->thread_count = 1;
  d->codec->flags2 |= AV_CODEC_FLAG2_SKIP_MANUAL;  // the timeline is kept here
  const int r = avcodec_open2(d->codec.get(), c, nullptr);
  if (r < 0) return Fail(MpegLib::kAudioDecoder, AvErrorText(r).c_str());
  d->in = OpenInput(name, InputKind::kAudio, MpegLib::kAudioDecoder);
  if (!d->in) return false;
  d->discard = d->ix.skip_start;
  info = d->ix.info;
  decoder.reset(d.release());
  return true;
}

bool SeekMPA(MpegAudioDecoder& d, int32_t frame) {
  ClearMessage();
  const int64_t spf = d.ix.info.samples_per_frame;
  const int64_t target = int64_t(frame) * spf;
  if (frame < 0 || target > d.ix.info.total_samples)
    return Fail(MpegLib::kAudioDecoder, "Seek beyond the end of the audio.");
  const int64_t raw = target + d.ix.skip_start;
  // Frames decoded ahead so that the decoder's memory matches a decode from the start.
  const int64_t preroll = d.ix.header.layer == 3 ? 30 : 2;
  const int64_t start = std::max<int64_t>(0, raw / spf - preroll);
  if (!Reposition(d, start)) return false;
  d.discard = raw - start * spf;
  d.position = target;
  return true;
}

bool GetMPAData(MpegAudioDecoder& d, int16_t* buffer, int32_t wanted, int32_t& delivered) {
  ClearMessage();
  delivered = 0;
  const int ch = d.ix.info.channels;
  const int64_t left = d.ix.info.total_samples - d.position;
  const int64_t want = std::clamp<int64_t>(std::min<int64_t>(wanted, left), 0, INT32_MAX);
  while (delivered < want) {
    const size_t have = (d.pending.size() - d.pending_at) / size_t(ch);
    if (have == 0) {
      d.pending.clear();
      d.pending_at = 0;
      if (!DecodeMore(d)) break;
      continue;
    }
    if (d.discard > 0) {
      const int64_t drop = std::min<int64_t>(d.discard, int64_t(have));
      d.pending_at += size_t(drop) * ch;
      d.discard -= drop;
      continue;
    }
    const int64_t take = std::min<int64_t>(want - delivered, int64_t(have));
    std::copy_n(d.pending.data() + d.pending_at, size_t(take) * ch,
                buffer + size_t(delivered) * ch);
    d.pending_at += size_t(take) * ch;
    delivered += static_cast<int32_t>(take);
  }
  d.position += delivered;
  return true;
}

// ---- layer II encoder ----

namespace {
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

struct MpegAudioEncoder {
  std::unique_ptr<std::FILE, FileCloser> file;
  CodecPtr codec;
  FramePtr frame;
  PacketPtr pkt;
  std::vector<int16_t> queue;  // samples waiting for a whole audio frame
  int channels = 0;
};

void MpegAudioEncoderClose::operator()(MpegAudioEncoder* e) const { delete e; }

namespace {
bool Drain(MpegAudioEncoder& e) {
  for (;;) {
    const int r = avcodec_receive_packet(e.codec.get(), e.pkt.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
    if (r < 0) return Fail(MpegLib::kAudioEncoder, AvErrorText(r).c_str());
    const size_t n = static_cast<size_t>(e.pkt->size);
    const bool ok = std::fwrite(e.pkt->data, 1, n, e.file.get()) == n;
    av_packet_unref(e.pkt.get());
    if (!ok) return Fail(MpegLib::kAudioEncoder, "Cannot write the audio file.");
  }
}

bool EncodeFrame(MpegAudioEncoder& e, const int16_t* samples) {
  const int n = e.codec->frame_size;
  if (av_frame_make_writable(e.frame.get()) < 0) return Fail(MpegLib::kAudioEncoder, "Out of memory.");
  std::copy_n(samples, size_t(n) * e.channels, reinterpret_cast<int16_t*>(e.frame->data[0]));
  const int r = avcodec_send_frame(e.codec.get(), e.frame.get());
  if (r < 0) return Fail(MpegLib::kAudioEncoder, AvErrorText(r).c_str());
  return Drain(e);
}
}  // namespace

bool MPACreate(MpegAudioEncoderPtr& encoder, const std::string& name,
               const MpegAudioEncParams& params) {
  QuietLog();
  ClearMessage();
  encoder.reset();
  auto e = std::make_unique<MpegAudioEncoder>();
  e->channels = params.mode == 3 ? 1 : 2;
  const AVCodec* c = avcodec_find_encoder(AV_CODEC_ID_MP2);
  if (!c) return Fail(MpegLib::kAudioEncoder, "No layer II encoder.");
  e->codec.reset(avcodec_alloc_context3(c));
  e->frame = NewFrame();
  e->pkt = NewPacket();
  if (!e->codec || !e->frame || !e->pkt) return Fail(MpegLib::kAudioEncoder, "Out of memory.");
  e->codec->sample_fmt = AV_SAMPLE_FMT_S16;
  e->codec->sample_rate = params.sample_rate;
  av_channel_layout_default(&e->codec->ch_layout, e->channels);
  e->codec->bit_rate = int64_t(params.kbps) * 1000;
  int r = avcodec_open2(e->codec.get(), c, nullptr);
  if (r < 0) return Fail(MpegLib::kAudioEncoder, AvErrorText(r).c_str());
  e->frame->format = AV_SAMPLE_FMT_S16;
  e->frame->nb_samples = e->codec->frame_size;
  av_channel_layout_copy(&e->frame->ch_layout, &e->codec->ch_layout);
  e->frame->sample_rate = params.sample_rate;
  r = av_frame_get_buffer(e->frame.get(), 0);
  if (r < 0) return Fail(MpegLib::kAudioEncoder, AvErrorText(r).c_str());
  e->file.reset(std::fopen(name.c_str(), "wb"));
  if (!e->file) return Fail(MpegLib::kAudioEncoder, "Cannot create the audio file.");
  encoder.reset(e.release());
  return true;
}

bool MPASave(MpegAudioEncoder& e, const int16_t* samples, int32_t count) {
  ClearMessage();
  if (count <= 0) return true;
  e.queue.insert(e.queue.end(), samples, samples + size_t(count) * e.channels);
  const size_t whole = size_t(e.codec->frame_size) * e.channels;
  size_t at = 0;
  bool ok = true;
  for (; ok && e.queue.size() - at >= whole; at += whole) ok = EncodeFrame(e, e.queue.data() + at);
  e.queue.erase(e.queue.begin(), e.queue.begin() + static_cast<std::ptrdiff_t>(at));
  return ok;
}

bool MPAClose(MpegAudioEncoderPtr& encoder) {
  if (!encoder) return true;
  ClearMessage();
  MpegAudioEncoder& e = *encoder;
  bool ok = true;
  if (!e.queue.empty()) {
    // The last audio frame is filled up with silence.
    e.queue.resize(size_t(e.codec->frame_size) * e.channels, 0);
    ok = EncodeFrame(e, e.queue.data());
    e.queue.clear();
  }
  if (ok) {
    avcodec_send_frame(e.codec.get(), nullptr);
    ok = Drain(e);
  }
  const bool closed = std::fclose(e.file.release()) == 0;
  encoder.reset();
  if (ok && !closed) return Fail(MpegLib::kAudioEncoder, "Cannot write the audio file.");
  return ok;
}

}  // namespace vek::platform
