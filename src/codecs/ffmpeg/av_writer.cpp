#include "codecs/ffmpeg/av_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codecs/ffmpeg/av_log.h"
#include "codecs/ffmpeg/mpeg_internal.h"
#ifdef VEK_HAVE_OPENH264
#include "codecs/openh264/h264_encoder.h"
#endif

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace vek::codecs {

namespace {

struct FifoFree {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

// Quality 0..100 as the encoders' quantiser scales: 85 gives about what
// the usual defaults give (x264's CRF 23 territory).
#ifdef VEK_HAVE_OPENH264
int32_t QualityToH264Qp(int32_t q) { return std::clamp(static_cast<int32_t>(std::lround(44 - 0.28 * q)), 10, 51); }
#endif
int32_t QualityToVp9Crf(int32_t q) { return std::clamp(static_cast<int32_t>(std::lround(63 - 0.5 * q)), 4, 63); }

}  // namespace

struct AvWriter::Impl {
  AVFormatContext* fmt = nullptr;
  bool io_open = false, header = false, finished = false;
  AvContainer container = AvContainer::kMp4;
  std::string path;
  // Video.
  bool has_video = false;
  AvVideoSettings vs;
  int32_t enc_w = 0, enc_h = 0;  // even
  AVStream* vstream = nullptr;
  AVRational vtb{1, 25};
  CodecCtxPtr venc;  // libavcodec's encoder (VP9)
#ifdef VEK_HAVE_OPENH264
  std::unique_ptr<H264Encoder> h264;
#endif
  SwsPtr sws;
  FramePtr yuv;
  std::vector<uint8_t> padded;
  int64_t frames = 0;
  // Sound.
  bool has_sound = false;
  AvSoundSettings ss;
  AVStream* astream = nullptr;
  CodecCtxPtr aenc;
  SwrPtr swr;
  int32_t swr_rate = 0, swr_channels = 0;
  std::unique_ptr<AVAudioFifo, FifoFree> fifo;
  int64_t sound_pts = 0;   // samples handed to the encoder, at its rate
  int64_t samples_in = 0;  // sample frames handed in
  PacketPtr pkt{av_packet_alloc()};

  ~Impl() {
    if (fmt) {
      if (io_open) avio_closep(&fmt->pb);
      avformat_free_context(fmt);
    }
    // A file that was not finished is not left looking like a good one.
    if (!finished && io_open && !path.empty()) std::remove(path.c_str());
  }
};

AvWriter::~AvWriter() = default;

std::unique_ptr<AvWriter> AvWriter::Create(const std::string& path, AvContainer container,
                                           std::string& error) {
  platform::AvLogInstall();
  platform::AvLogClear();
  std::unique_ptr<AvWriter> w(new AvWriter());
  w->impl_ = std::make_unique<Impl>();
  Impl& m = *w->impl_;
  m.container = container;
  m.path = path;
  const char* name = container == AvContainer::kMp4 ? "mp4" : "webm";
  if (avformat_alloc_output_context2(&m.fmt, nullptr, name, nullptr) < 0 || !m.fmt) {
    error = std::string("FFmpeg has no ") + name + " muxer";
    return nullptr;
  }
  if (!m.pkt) {
    error = "out of memory";
    return nullptr;
  }
  // The MP4 muxer reopens the file by name to move its index to the front.
  av_freep(&m.fmt->url);
  m.fmt->url = av_strdup(platform::mpeg::AvFileName(path).c_str());  // FFmpeg takes UTF-8
  if (!m.fmt->url) {
    error = "out of memory";
    return nullptr;
  }
  return w;
}

bool AvWriter::SetVideo(const AvVideoSettings& s) {
  Impl& m = *impl_;
  if (m.header || m.has_video) return false;
  if (s.width < 1 || s.height < 1 || s.width > 16384 || s.height > 16384 || !(s.fps > 0) || s.fps > 1000) {
    error_ = "unsupported picture size or frame rate";
    return false;
  }
  m.vs = s;
  // H.264's 4:2:0 takes even sizes only (an odd one gets its last column or
  // row repeated); VP9 stores any size.
  const bool even = m.container == AvContainer::kMp4;
  m.enc_w = even ? (s.width + 1) & ~1 : s.width;
  m.enc_h = even ? (s.height + 1) & ~1 : s.height;
  const AVRational rate = av_d2q(s.fps, 1001000);
  m.vtb = AVRational{rate.den, rate.num};
  m.vstream = avformat_new_stream(m.fmt, nullptr);
  if (!m.vstream) return false;
  m.vstream->time_base = m.vtb;
  m.vstream->avg_frame_rate = rate;
  m.vstream->r_frame_rate = rate;
  AVCodecParameters* par = m.vstream->codecpar;
  if (m.container == AvContainer::kMp4) {
#ifdef VEK_HAVE_OPENH264
    H264Settings hs;
    hs.width = m.enc_w;
    hs.height = m.enc_h;
    hs.fps = s.fps;
    hs.bit_rate = s.bit_rate;
    hs.qp = QualityToH264Qp(s.quality);
    hs.key_interval = s.key_interval;
    hs.threads = s.threads;
    m.h264 = H264Encoder::Create(hs, error_);
    if (!m.h264) return false;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->profile = m.h264->Profile();
    par->bit_rate = s.bit_rate;
    const std::vector<uint8_t>& h = m.h264->Headers();
    par->extradata = static_cast<uint8_t*>(av_mallocz(h.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return false;
    std::memcpy(par->extradata, h.data(), h.size());
    par->extradata_size = static_cast<int>(h.size());
#else
    error_ = "this build has no H.264 encoder";
    return false;
#endif
  } else {
    const AVCodec* codec = avcodec_find_encoder_by_name("libvpx-vp9");
    if (!codec) {
      error_ = "FFmpeg has no VP9 encoder (libvpx-vp9)";
      return false;
    }
    m.venc.reset(avcodec_alloc_context3(codec));
    AVCodecContext* c = m.venc.get();
    if (!c) return false;
    c->width = m.enc_w;
    c->height = m.enc_h;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = m.vtb;
    c->framerate = rate;
    c->gop_size = s.key_interval > 0 ? s.key_interval : 240;
    c->thread_count = std::clamp(s.threads, 1, 16);
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    if (s.bit_rate > 0) {
      c->bit_rate = s.bit_rate;
    } else {
      c->bit_rate = 0;
      av_opt_set_int(c->priv_data, "crf", QualityToVp9Crf(s.quality), 0);
    }
    // Speed 4 with row threads: near the quality of the slow settings at a
    // fraction of the time.
    av_opt_set_int(c->priv_data, "cpu-used", 4, 0);
    av_opt_set_int(c->priv_data, "row-mt", 1, 0);
    av_opt_set(c->priv_data, "deadline", "good", 0);
    if (m.fmt->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int err = avcodec_open2(c, codec, nullptr);
    if (err < 0) {
      error_ = "VP9 encoder: " + platform::mpeg::AvErrorText(err);
      return false;
    }
    if (avcodec_parameters_from_context(par, c) < 0) return false;
  }
  par->width = m.enc_w;
  par->height = m.enc_h;
  par->format = AV_PIX_FMT_YUV420P;
  par->color_range = AVCOL_RANGE_MPEG;
  par->color_space = AVCOL_SPC_BT709;
  par->color_primaries = AVCOL_PRI_BT709;
  par->color_trc = AVCOL_TRC_BT709;
  par->chroma_location = AVCHROMA_LOC_LEFT;
  m.yuv.reset(av_frame_alloc());
  if (!m.yuv) return false;
  m.yuv->format = AV_PIX_FMT_YUV420P;
  m.yuv->width = m.enc_w;
  m.yuv->height = m.enc_h;
  if (av_frame_get_buffer(m.yuv.get(), 32) < 0) return false;
  m.sws.reset(sws_getContext(m.enc_w, m.enc_h, AV_PIX_FMT_BGR24, m.enc_w, m.enc_h, AV_PIX_FMT_YUV420P,
                             SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!m.sws) return false;
  // The source is full-range RGB; the stream limited-range BT.709. Plain
  // bicubic as ffmpeg itself converts: the accurate-rounding path of this
  // swscale loses chroma detail on 24-bit input (4 to 8 dB on test charts).
  sws_setColorspaceDetails(m.sws.get(), sws_getCoefficients(SWS_CS_ITU709), 1,
                           sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
  m.has_video = true;
  return true;
}

bool AvWriter::SetSound(const AvSoundSettings& s) {
  Impl& m = *impl_;
  if (m.header || m.has_sound) return false;
  if (s.rate < 1000 || s.rate > 384000 || s.channels < 1 || s.channels > 2) {
    error_ = "unsupported sound format";
    return false;
  }
  m.ss = s;
  const bool mp4 = m.container == AvContainer::kMp4;
  const AVCodec* codec = mp4 ? avcodec_find_encoder_by_name("aac") : avcodec_find_encoder_by_name("libopus");
  if (!codec) {
    error_ = mp4 ? "FFmpeg has no AAC encoder" : "FFmpeg has no Opus encoder (libopus)";
    return false;
  }
  m.aenc.reset(avcodec_alloc_context3(codec));
  AVCodecContext* c = m.aenc.get();
  if (!c) return false;
  // Opus codes at 48 kHz only; AAC at the rate given when it has one of its own.
  int rate = 48000;
  if (mp4) {
    static constexpr int kAacRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000};
    rate = 96000;
    for (int r : kAacRates)
      if (r >= s.rate) {
        rate = r;
        break;
      }
  }
  c->sample_rate = rate;
  av_channel_layout_default(&c->ch_layout, s.channels);
  c->sample_fmt = mp4 ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
  c->bit_rate = (mp4 ? 64000 : 48000) * s.channels;
  c->time_base = AVRational{1, rate};
  if (m.fmt->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int err = avcodec_open2(c, codec, nullptr);
  if (err < 0) {
    error_ = std::string(codec->name) + " encoder: " + platform::mpeg::AvErrorText(err);
    return false;
  }
  m.astream = avformat_new_stream(m.fmt, nullptr);
  if (!m.astream) return false;
  m.astream->time_base = c->time_base;
  if (avcodec_parameters_from_context(m.astream->codecpar, c) < 0) return false;
  m.fifo.reset(av_audio_fifo_alloc(c->sample_fmt, s.channels, std::max(c->frame_size, 1024) * 4));
  if (!m.fifo) return false;
  m.has_sound = true;
  return true;
}

// Writes the header once both streams are known.
static bool StartFile(AvWriter::Impl& m, std::string& error) {
  if (m.header) return true;
  if (!m.has_video && !m.has_sound) {
    error = "nothing to write";
    return false;
  }
  int err = avio_open(&m.fmt->pb, m.fmt->url, AVIO_FLAG_WRITE);
  if (err < 0) {
    error = "cannot create the file: " + platform::mpeg::AvErrorText(err);
    return false;
  }
  m.io_open = true;
  AVDictionary* opts = nullptr;
  if (m.container == AvContainer::kMp4) av_dict_set(&opts, "movflags", "+faststart", 0);
  err = avformat_write_header(m.fmt, &opts);
  av_dict_free(&opts);
  if (err < 0) {
    error = "the container header could not be written: " + platform::mpeg::AvErrorText(err);
    return false;
  }
  m.header = true;
  return true;
}

namespace {

bool WritePacket(AvWriter::Impl& m, AVPacket* p, AVRational from, AVStream* st, std::string& error) {
  p->stream_index = st->index;
  av_packet_rescale_ts(p, from, st->time_base);
  const int err = av_interleaved_write_frame(m.fmt, p);
  if (err < 0) {
    const std::string lib = platform::AvLogTake();
    error = "writing failed: " + (lib.empty() ? platform::mpeg::AvErrorText(err) : lib);
    return false;
  }
  return true;
}

// Sends a frame (null: drain) and writes every packet that comes out.
bool EncodeAndWrite(AvWriter::Impl& m, AVCodecContext* c, AVFrame* f, AVStream* st, std::string& error) {
  int err = avcodec_send_frame(c, f);
  if (err < 0 && !(f == nullptr && err == AVERROR_EOF)) {
    error = std::string(c->codec->name) + ": " + platform::mpeg::AvErrorText(err);
    return false;
  }
  for (;;) {
    err = avcodec_receive_packet(c, m.pkt.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return true;
    if (err < 0) {
      error = std::string(c->codec->name) + ": " + platform::mpeg::AvErrorText(err);
      return false;
    }
    if (!WritePacket(m, m.pkt.get(), c->time_base, st, error)) return false;
  }
}

}  // namespace

bool AvWriter::PutFrame(const uint8_t* bgr, int64_t stride) {
  Impl& m = *impl_;
  if (!m.has_video || m.finished || !bgr) return false;
  if (!StartFile(m, error_)) return false;
  const uint8_t* src = bgr;
  int src_stride = static_cast<int>(stride);
  if (m.enc_w != m.vs.width || m.enc_h != m.vs.height) {
    // 4:2:0 needs even sizes: the last column and row are repeated.
    const size_t row = static_cast<size_t>(m.enc_w) * 3;
    m.padded.resize(row * static_cast<size_t>(m.enc_h));
    for (int y = 0; y < m.enc_h; ++y) {
      const uint8_t* s = bgr + std::min(y, m.vs.height - 1) * stride;
      uint8_t* d = m.padded.data() + row * static_cast<size_t>(y);
      std::memcpy(d, s, static_cast<size_t>(m.vs.width) * 3);
      if (m.enc_w != m.vs.width) std::memcpy(d + m.vs.width * 3, s + (m.vs.width - 1) * 3, 3);
    }
    src = m.padded.data();
    src_stride = static_cast<int>(row);
  }
  if (av_frame_make_writable(m.yuv.get()) < 0) return false;
  const uint8_t* in[1] = {src};
  const int in_stride[1] = {src_stride};
  sws_scale(m.sws.get(), in, in_stride, 0, m.enc_h, m.yuv->data, m.yuv->linesize);
  m.yuv->pts = m.frames;
  m.yuv->color_range = AVCOL_RANGE_MPEG;
  m.yuv->colorspace = AVCOL_SPC_BT709;
  m.yuv->color_primaries = AVCOL_PRI_BT709;
  m.yuv->color_trc = AVCOL_TRC_BT709;
#ifdef VEK_HAVE_OPENH264
  if (m.h264) {
    const uint8_t* planes[3] = {m.yuv->data[0], m.yuv->data[1], m.yuv->data[2]};
    const int32_t strides[3] = {m.yuv->linesize[0], m.yuv->linesize[1], m.yuv->linesize[2]};
    H264Packet hp;
    if (!m.h264->Encode(planes, strides, hp)) {
      error_ = "OpenH264 failed to code a picture";
      return false;
    }
    ++m.frames;
    if (hp.data.empty()) return true;
    if (av_new_packet(m.pkt.get(), static_cast<int>(hp.data.size())) < 0) return false;
    std::memcpy(m.pkt->data, hp.data.data(), hp.data.size());
    m.pkt->pts = m.pkt->dts = hp.frame;
    m.pkt->duration = 1;
    if (hp.key) m.pkt->flags |= AV_PKT_FLAG_KEY;
    return WritePacket(m, m.pkt.get(), m.vtb, m.vstream, error_);
  }
#endif
  ++m.frames;
  return EncodeAndWrite(m, m.venc.get(), m.yuv.get(), m.vstream, error_);
}

namespace {

// Sends whole encoder frames from the queue; `last` sends the remainder too.
bool DrainFifo(AvWriter::Impl& m, bool last, std::string& error) {
  AVCodecContext* c = m.aenc.get();
  const int fs = c->frame_size > 0 ? c->frame_size : 1024;
  while (av_audio_fifo_size(m.fifo.get()) >= fs || (last && av_audio_fifo_size(m.fifo.get()) > 0)) {
    const int n = std::min(fs, av_audio_fifo_size(m.fifo.get()));
    FramePtr f(av_frame_alloc());
    if (!f) return false;
    f->format = c->sample_fmt;
    f->sample_rate = c->sample_rate;
    if (av_channel_layout_copy(&f->ch_layout, &c->ch_layout) < 0) return false;
    // An encoder that wants whole frames gets the last one padded with silence.
    const bool small_ok = (c->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    f->nb_samples = small_ok ? n : fs;
    if (av_frame_get_buffer(f.get(), 0) < 0) return false;
    if (f->nb_samples > n)
      av_samples_set_silence(f->data, n, f->nb_samples - n, c->ch_layout.nb_channels, c->sample_fmt);
    if (av_audio_fifo_read(m.fifo.get(), reinterpret_cast<void**>(f->data), n) != n) return false;
    f->pts = m.sound_pts;
    m.sound_pts += n;
    if (!EncodeAndWrite(m, c, f.get(), m.astream, error)) return false;
  }
  return true;
}

// What the sound converter still holds goes into the queue.
void FlushConverter(AvWriter::Impl& m) {
  AVCodecContext* c = m.aenc.get();
  const int pending = static_cast<int>(swr_get_delay(m.swr.get(), c->sample_rate)) + 16;
  uint8_t** out = nullptr;
  int linesize = 0;
  if (av_samples_alloc_array_and_samples(&out, &linesize, c->ch_layout.nb_channels, pending, c->sample_fmt, 0) < 0)
    return;
  const int got = swr_convert(m.swr.get(), out, pending, nullptr, 0);
  if (got > 0) av_audio_fifo_write(m.fifo.get(), reinterpret_cast<void**>(out), got);
  av_freep(&out[0]);
  av_freep(&out);
}

}  // namespace

bool AvWriter::PutSound(const int16_t* samples, int32_t count, int32_t rate, int32_t channels) {
  Impl& m = *impl_;
  if (!m.has_sound || m.finished || count < 0 || (count > 0 && !samples)) return false;
  if (rate < 1000 || rate > 384000 || channels < 1 || channels > 2) {
    error_ = "unsupported sound format";
    return false;
  }
  if (!StartFile(m, error_)) return false;
  AVCodecContext* c = m.aenc.get();
  if (!m.swr || m.swr_rate != rate || m.swr_channels != channels) {
    // A change of format mid-file: what the old converter holds goes first.
    if (m.swr) FlushConverter(m);
    AVChannelLayout in_layout{};
    av_channel_layout_default(&in_layout, channels);
    SwrContext* s = nullptr;
    if (swr_alloc_set_opts2(&s, &c->ch_layout, c->sample_fmt, c->sample_rate, &in_layout, AV_SAMPLE_FMT_S16,
                            rate, 0, nullptr) < 0 ||
        swr_init(s) < 0) {
      swr_free(&s);
      error_ = "the sound converter could not be set up";
      return false;
    }
    m.swr.reset(s);
    m.swr_rate = rate;
    m.swr_channels = channels;
  }
  if (count == 0) return true;
  const int out_max = swr_get_out_samples(m.swr.get(), count);
  if (out_max < 0) return false;
  uint8_t** out = nullptr;
  int linesize = 0;
  if (av_samples_alloc_array_and_samples(&out, &linesize, c->ch_layout.nb_channels, std::max(out_max, 1),
                                         c->sample_fmt, 0) < 0)
    return false;
  const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(samples)};
  const int got = swr_convert(m.swr.get(), out, out_max, in, count);
  bool ok = got >= 0 && (got == 0 || av_audio_fifo_write(m.fifo.get(), reinterpret_cast<void**>(out), got) == got);
  av_freep(&out[0]);
  av_freep(&out);
  if (!ok) return false;
  m.samples_in += count;
  return DrainFifo(m, false, error_);
}

bool AvWriter::Finish() {
  Impl& m = *impl_;
  if (m.finished) return true;
  if (!StartFile(m, error_)) return false;
  if (m.has_sound) {
    AVCodecContext* c = m.aenc.get();
    if (m.swr) FlushConverter(m);
    if (!DrainFifo(m, true, error_)) return false;
    if (!EncodeAndWrite(m, c, nullptr, m.astream, error_)) return false;
  }
  if (m.venc && !EncodeAndWrite(m, m.venc.get(), nullptr, m.vstream, error_)) return false;
  int err = av_write_trailer(m.fmt);
  if (err < 0) {
    error_ = "the index could not be written: " + platform::mpeg::AvErrorText(err);
    return false;
  }
  err = avio_closep(&m.fmt->pb);
  m.io_open = false;
  if (err < 0) {
    error_ = "the file could not be closed: " + platform::mpeg::AvErrorText(err);
    std::remove(m.path.c_str());
    return false;
  }
  m.finished = true;
  return true;
}

int64_t AvWriter::FramesWritten() const { return impl_->frames; }
int64_t AvWriter::SamplesWritten() const { return impl_->samples_in; }

}  // namespace vek::codecs
