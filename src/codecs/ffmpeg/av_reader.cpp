#include "codecs/ffmpeg/av_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "codecs/ffmpeg/av_log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace vek::codecs {

namespace {

// A hostile file cannot make the index grow without bound: past this many
// video packets the rest of the file is not read.
constexpr size_t kMaxPackets = size_t{1} << 22;
constexpr int64_t kMaxPixels = int64_t{1} << 26;

struct InputClose {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecCtxFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrFree {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputClose>;
using CodecCtxPtr = std::unique_ptr<AVCodecContext, CodecCtxFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

std::string AvText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

InputPtr OpenInput(const std::string& path, std::string& error) {
  AVFormatContext* f = nullptr;
  int err = avformat_open_input(&f, path.c_str(), nullptr, nullptr);
  if (err < 0) {
    error = "not a movie file FFmpeg reads: " + AvText(err);
    return nullptr;
  }
  InputPtr in(f);
  err = avformat_find_stream_info(f, nullptr);
  if (err < 0) {
    error = "the streams could not be read: " + AvText(err);
    return nullptr;
  }
  return in;
}

const AVCodec* Decoder(AVCodecID id) {
  // dav1d where it is there: faster than FFmpeg's own AV1 decoder, which
  // needs hardware.
  if (id == AV_CODEC_ID_AV1)
    if (const AVCodec* c = avcodec_find_decoder_by_name("libdav1d")) return c;
  return avcodec_find_decoder(id);
}

CodecCtxPtr OpenDecoder(const AVStream* st, std::string& error) {
  const AVCodec* codec = Decoder(st->codecpar->codec_id);
  if (!codec) {
    error = std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id);
    return nullptr;
  }
  CodecCtxPtr c(avcodec_alloc_context3(codec));
  if (!c || avcodec_parameters_to_context(c.get(), st->codecpar) < 0) {
    error = "out of memory";
    return nullptr;
  }
  c->pkt_timebase = st->time_base;
  c->thread_count = 0;
  const int err = avcodec_open2(c.get(), codec, nullptr);
  if (err < 0) {
    error = std::string(codec->name) + ": " + AvText(err);
    return nullptr;
  }
  return c;
}

// "#1 audio aac": a stream as --info lists it.
std::string StreamLine(const AVStream* st) {
  const AVCodecParameters* p = st->codecpar;
  const char* type = av_get_media_type_string(p->codec_type);
  return "#" + std::to_string(st->index) + " " + (type ? type : "data") + " " + avcodec_get_name(p->codec_id);
}

int SwsMatrix(AVColorSpace cs) {
  switch (cs) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU601;
  }
}

bool FullRange(const AVFrame* f) {
  switch (f->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P: return true;
    default: return f->color_range == AVCOL_RANGE_JPEG;
  }
}

struct VideoPacket {
  int64_t pts, dts, pos;
  bool key;
};

}  // namespace

struct AvReader::Impl {
  std::string path;
  AvReaderInfo info;
  int vindex = -1, aindex = -1;
  AVRational vtb{1, 1}, atb{1, 1};
  // Video index: packets in decode order, presentation times sorted.
  std::vector<VideoPacket> packets;
  std::vector<int64_t> times;      // sorted, unique presentation times
  std::vector<int32_t> time_pkt;   // the packet of each time
  bool synthetic = false;          // the stream has no timestamps: counted frames
  double grid_start = 0, grid_step = 0;  // seconds, for a variable rate
  // Video decoding.
  InputPtr vin;
  CodecCtxPtr vdec;
  PacketPtr pkt{av_packet_alloc()};
  FramePtr frame{av_frame_alloc()}, held{av_frame_alloc()};
  bool have_held = false;
  int64_t held_ts = INT64_MIN;
  bool vdrained = true;  // no decoding position: the next read seeks
  int64_t vnext = -1;    // decode index of the next packet, -1 right after a seek
  int64_t counted = 0;   // frames out since the start (synthetic timestamps)
  std::unique_ptr<SwsContext, SwsFree> sws;
  int sws_w = 0, sws_h = 0, sws_fmt = -1, sws_cs = -1, sws_full = -1;
  std::vector<uint8_t> upright;
  // Sound decoding.
  InputPtr ain;
  CodecCtxPtr adec;
  std::unique_ptr<SwrContext, SwrFree> swr;
  int swr_fmt = -1, swr_rate = 0, swr_ch = 0;
  int64_t start_pts = AV_NOPTS_VALUE;  // of the first sample
  std::vector<int16_t> pend;           // decoded samples from pend_pos on
  int64_t pend_pos = 0;
  bool need_pos = false, aeof = false, aopen = false;
};

AvReader::~AvReader() = default;
const AvReaderInfo& AvReader::Info() const { return impl_->info; }

std::unique_ptr<AvReader> AvReader::Open(const std::string& path, std::string& error) {
  platform::AvLogInstall();
  platform::AvLogClear();
  std::unique_ptr<AvReader> r(new AvReader());
  r->impl_ = std::make_unique<Impl>();
  Impl& m = *r->impl_;
  m.path = path;
  if (!m.pkt || !m.frame || !m.held) {
    error = "out of memory";
    return nullptr;
  }
  InputPtr in = OpenInput(path, error);
  if (!in) return nullptr;
  AvReaderInfo& info = m.info;
  info.container = in->iformat->name ? in->iformat->name : "";
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* st = in->streams[i];
    const AVCodecParameters* p = st->codecpar;
    if (!info.streams.empty()) info.streams += "\n";
    info.streams += StreamLine(st);
    if (p->codec_type == AVMEDIA_TYPE_VIDEO && m.vindex < 0 && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
        Decoder(p->codec_id) && p->width > 0 && p->height > 0 && int64_t(p->width) * p->height <= kMaxPixels)
      m.vindex = static_cast<int>(i);
    if (p->codec_type == AVMEDIA_TYPE_AUDIO && m.aindex < 0 && Decoder(p->codec_id) && p->sample_rate > 0 &&
        p->sample_rate <= 768000 && p->ch_layout.nb_channels > 0)
      m.aindex = static_cast<int>(i);
  }
  if (m.vindex < 0 && m.aindex < 0) {
    error = "no video or sound stream FFmpeg decodes";
    return nullptr;
  }
  for (unsigned i = 0; i < in->nb_streams; ++i)
    if (static_cast<int>(i) != m.vindex && static_cast<int>(i) != m.aindex) in->streams[i]->discard = AVDISCARD_ALL;
  // One pass over the packets: the video index and the sound's extent.
  int64_t a_first = AV_NOPTS_VALUE, a_end = AV_NOPTS_VALUE, a_skip = 0, a_sum = 0;
  int64_t synthetic_ts = 0;
  while (av_read_frame(in.get(), m.pkt.get()) >= 0) {
    AVPacket* p = m.pkt.get();
    if (p->stream_index == m.vindex && !(p->flags & AV_PKT_FLAG_DISCARD) && m.packets.size() < kMaxPackets) {
      VideoPacket vp{p->pts, p->dts, p->pos, (p->flags & AV_PKT_FLAG_KEY) != 0};
      if (vp.pts == AV_NOPTS_VALUE) vp.pts = vp.dts;
      if (vp.pts == AV_NOPTS_VALUE) m.synthetic = true;
      if (m.synthetic) vp.pts = vp.dts = synthetic_ts;
      ++synthetic_ts;
      m.packets.push_back(vp);
    } else if (p->stream_index == m.aindex && !(p->flags & AV_PKT_FLAG_DISCARD)) {
      // Samples the decoder drops: the encoder's priming at the start and
      // the padding of the last packet.
      size_t size = 0;
      if (const uint8_t* sd = av_packet_get_side_data(p, AV_PKT_DATA_SKIP_SAMPLES, &size); sd && size >= 8) {
        a_skip += int64_t(AV_RL32(sd)) + int64_t(AV_RL32(sd + 4));
      }
      if (p->duration > 0 && p->duration < (int64_t{1} << 40)) a_sum += p->duration;
      if (p->pts != AV_NOPTS_VALUE) {
        if (a_first == AV_NOPTS_VALUE || p->pts < a_first) a_first = p->pts;
        const int64_t end = p->pts + std::max<int64_t>(p->duration, 0);
        if (a_end == AV_NOPTS_VALUE || end > a_end) a_end = end;
      }
    }
    av_packet_unref(p);
  }
  if (m.vindex >= 0) {
    const AVStream* st = in->streams[m.vindex];
    m.vtb = st->time_base;
    if (m.vtb.num <= 0 || m.vtb.den <= 0) m.vtb = AVRational{1, 90000};
    // Without timestamps frames are numbered as they come.
    if (m.synthetic)
      for (size_t i = 0; i < m.packets.size(); ++i) m.packets[i].pts = m.packets[i].dts = static_cast<int64_t>(i);
    std::vector<std::pair<int64_t, int32_t>> order;
    order.reserve(m.packets.size());
    for (size_t i = 0; i < m.packets.size(); ++i) order.emplace_back(m.packets[i].pts, static_cast<int32_t>(i));
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [t, i] : order)
      if (m.times.empty() || t != m.times.back()) {
        m.times.push_back(t);
        m.time_pkt.push_back(i);
      }
    const int64_t n = static_cast<int64_t>(m.times.size());
    const AVCodecParameters* p = st->codecpar;
    if (n > 0) {
      info.has_video = true;
      const double tb = av_q2d(m.vtb);
      double fps = 0;
      bool steady = true;
      if (n >= 2 && !m.synthetic) {
        const double span = static_cast<double>(m.times.back() - m.times.front());
        const double mean = span / static_cast<double>(n - 1);
        // Steady when every step is the mean within a millisecond's rounding.
        const double slack = std::max(2.0, 0.0011 / tb);
        for (int64_t i = 1; i < n && steady; ++i)
          steady = std::fabs(static_cast<double>(m.times[i] - m.times[i - 1]) - mean) <= slack;
        fps = mean > 0 ? 1.0 / (mean * tb) : 0;
      }
      if (!steady) {
        const AVRational g = av_guess_frame_rate(in.get(), in->streams[m.vindex], nullptr);
        double nominal = g.num > 0 && g.den > 0 ? av_q2d(g) : 0;
        if (!(nominal > 0 && nominal <= 240)) nominal = std::min(fps, 240.0);
        if (nominal > 0) {
          info.variable_rate = true;
          m.grid_step = 1.0 / nominal;
          m.grid_start = static_cast<double>(m.times.front()) * tb;
          const double span = static_cast<double>(m.times.back() - m.times.front()) * tb;
          info.frames = static_cast<int64_t>(std::floor(span / m.grid_step + 0.5)) + 1;
          fps = nominal;
        }
      }
      if (!info.variable_rate) info.frames = n;
      if (!(fps > 0 && fps <= 1000)) {
        const AVRational g = av_guess_frame_rate(in.get(), in->streams[m.vindex], nullptr);
        fps = g.num > 0 && g.den > 0 && av_q2d(g) <= 1000 ? av_q2d(g) : 25.0;
      }
      info.fps = fps;
      info.frames = std::min<int64_t>(info.frames, INT32_MAX - 1);
      // Rotation as players apply it.
      size_t size = 0;
      if (const uint8_t* dm = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size); dm && size >= 9 * 4) {
        double theta = -std::round(av_display_rotation_get(reinterpret_cast<const int32_t*>(dm)));
        if (std::isfinite(theta)) {
          theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
          if (std::fabs(theta - 90) < 1) info.rotation = 90;
          else if (std::fabs(theta - 180) < 1) info.rotation = 180;
          else if (std::fabs(theta - 270) < 1) info.rotation = 270;
        }
      }
      const bool turned = info.rotation == 90 || info.rotation == 270;
      info.width = turned ? p->height : p->width;
      info.height = turned ? p->width : p->height;
      info.video_codec = avcodec_get_name(p->codec_id);
      if (const char* prof = avcodec_profile_name(p->codec_id, p->profile)) info.video_codec += std::string(" (") + prof + ")";
      info.video_bit_rate = p->bit_rate;
    }
  }
  if (m.aindex >= 0) {
    const AVStream* st = in->streams[m.aindex];
    const AVCodecParameters* p = st->codecpar;
    m.atb = st->time_base;
    if (m.atb.num <= 0 || m.atb.den <= 0) m.atb = AVRational{1, p->sample_rate};
    info.rate = p->sample_rate;
    info.source_channels = p->ch_layout.nb_channels;
    info.channels = std::min(info.source_channels, 2);
    // What the decoder gives: the packets' durations less what it drops.
    const int64_t span = a_sum > 0 ? a_sum : (a_end != AV_NOPTS_VALUE ? a_end - a_first : 0);
    // Opus decoders drop the stream's pre-skip themselves.
    if (p->codec_id == AV_CODEC_ID_OPUS && p->initial_padding > 0) a_skip += p->initial_padding;
    const int64_t samples = av_rescale_q(span, m.atb, AVRational{1, info.rate}) - a_skip;
    info.samples = std::clamp<int64_t>(samples, 0, INT32_MAX - 1);
    info.has_sound = info.samples > 0;
    info.sound_codec = avcodec_get_name(p->codec_id);
    if (const char* prof = avcodec_profile_name(p->codec_id, p->profile)) info.sound_codec += std::string(" (") + prof + ")";
    info.sound_bit_rate = p->bit_rate;
  }
  if (!info.has_video && !info.has_sound) {
    error = "the streams hold no pictures or sound";
    return nullptr;
  }
  return r;
}

namespace {

// The packet index of a decode timestamp (decode order is increasing), or -1.
int64_t PacketOf(const AvReader::Impl& m, int64_t dts, int64_t pts) {
  const auto it = std::lower_bound(m.packets.begin(), m.packets.end(), dts,
                                   [](const VideoPacket& p, int64_t t) { return p.dts < t; });
  if (it != m.packets.end() && it->dts == dts) return it - m.packets.begin();
  for (size_t i = 0; i < m.packets.size(); ++i)  // unordered decode times: a hostile file
    if (m.packets[i].pts == pts && m.packets[i].dts == dts) return static_cast<int64_t>(i);
  return -1;
}

bool OpenVideo(AvReader::Impl& m, std::string& error) {
  if (m.vdec) return true;
  m.vin = OpenInput(m.path, error);
  if (!m.vin) return false;
  if (m.vindex >= static_cast<int>(m.vin->nb_streams) ||
      m.vin->streams[m.vindex]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
    error = "the file changed";
    return false;
  }
  for (unsigned i = 0; i < m.vin->nb_streams; ++i)
    if (static_cast<int>(i) != m.vindex) m.vin->streams[i]->discard = AVDISCARD_ALL;
  m.vdec = OpenDecoder(m.vin->streams[m.vindex], error);
  m.vdrained = true;
  return m.vdec != nullptr;
}

// Positions the demuxer at packet `k` (a key frame) or before it.
void SeekVideo(AvReader::Impl& m, int64_t k) {
  if (m.synthetic || k <= 0) {
    avformat_seek_file(m.vin.get(), -1, INT64_MIN, INT64_MIN, INT64_MIN, 0);
    if (avio_tell(m.vin->pb) != 0 && (m.vin->iformat->flags & AVFMT_NO_BYTE_SEEK) == 0)
      av_seek_frame(m.vin.get(), m.vindex, 0, AVSEEK_FLAG_BYTE);
    m.counted = 0;
  } else {
    const VideoPacket& p = m.packets[static_cast<size_t>(k)];
    if (av_seek_frame(m.vin.get(), m.vindex, p.dts, AVSEEK_FLAG_BACKWARD) < 0 && p.pos >= 0)
      av_seek_frame(m.vin.get(), m.vindex, p.pos, AVSEEK_FLAG_BYTE);
  }
  avcodec_flush_buffers(m.vdec.get());
  m.vdrained = false;
}

}  // namespace

bool AvReader::ReadFrame(int64_t n, uint8_t* bgr) {
  Impl& m = *impl_;
  AvReaderInfo& info = m.info;
  if (!info.has_video || n < 0 || n >= info.frames || !bgr) return false;
  // The presentation time asked for.
  size_t t = static_cast<size_t>(n);
  if (info.variable_rate) {
    const double at = m.grid_start + (static_cast<double>(n) + 0.5) * m.grid_step;
    const int64_t ts = static_cast<int64_t>(std::floor(at / av_q2d(m.vtb)));
    const auto it = std::upper_bound(m.times.begin(), m.times.end(), ts);
    t = it == m.times.begin() ? 0 : static_cast<size_t>(it - m.times.begin() - 1);
  }
  t = std::min(t, m.times.size() - 1);
  const int64_t want = m.times[t];
  const int64_t target_pkt = m.time_pkt[t];
  if (!OpenVideo(m, error_)) return false;
  if (!(m.have_held && m.held_ts == want)) {
    // The key frame before the picture, in decode order.
    int64_t key = target_pkt;
    while (key > 0 && !m.packets[static_cast<size_t>(key)].key) --key;
    bool seek = m.vdrained || !m.have_held || m.held_ts > want;
    // Far behind: seeking to the key frame is cheaper than decoding the way.
    if (!seek && !m.synthetic && m.vnext >= 0 && key > m.vnext) seek = true;
    int attempts = 0;
    bool found = false;
    bool restart = seek;
    while (!found) {
      if (restart) {
        if (++attempts > 3) {
          error_ = "the picture could not be decoded";
          return false;
        }
        SeekVideo(m, attempts >= 2 ? 0 : key);
        m.have_held = false;
        m.vnext = -1;
        restart = false;
      }
      // Drain what the decoder has before feeding it.
      int err = avcodec_receive_frame(m.vdec.get(), m.frame.get());
      if (err >= 0) {
        int64_t ts = m.synthetic ? m.counted++ : m.frame->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) ts = m.have_held ? m.held_ts + 1 : m.times.front();
        if (ts <= want || !m.have_held || m.held_ts < want) {
          av_frame_unref(m.held.get());
          av_frame_move_ref(m.held.get(), m.frame.get());
          m.have_held = true;
          m.held_ts = ts;
        } else {
          av_frame_unref(m.frame.get());
        }
        if (m.held_ts >= want) found = true;
        continue;
      }
      if (err == AVERROR_EOF) {
        m.vdrained = true;
        // The end came first: the last picture stands for what is missing.
        if (m.have_held) break;
        if (attempts < 3) {
          restart = true;
          continue;
        }
        error_ = "the picture could not be decoded";
        return false;
      }
      if (err != AVERROR(EAGAIN)) {
        restart = true;
        continue;
      }
      err = av_read_frame(m.vin.get(), m.pkt.get());
      if (err < 0) {
        avcodec_send_packet(m.vdec.get(), nullptr);
        continue;
      }
      AVPacket* p = m.pkt.get();
      if (p->stream_index != m.vindex) {
        av_packet_unref(p);
        continue;
      }
      const int64_t j = m.synthetic ? -1 : PacketOf(m, p->dts != AV_NOPTS_VALUE ? p->dts : p->pts,
                                                     p->pts != AV_NOPTS_VALUE ? p->pts : p->dts);
      if (!m.synthetic && m.vnext < 0) {
        // The first packet after a seek: where the demuxer landed.
        if (j > key && attempts < 2) {  // past the key frame: start over from the beginning
          av_packet_unref(p);
          attempts = 1;
          restart = true;
          continue;
        }
        if (j >= 0 && !(p->flags & AV_PKT_FLAG_KEY)) {  // not a key frame yet: wait for one
          av_packet_unref(p);
          continue;
        }
      }
      m.vnext = j >= 0 ? j + 1 : m.vnext + 1;
      err = avcodec_send_packet(m.vdec.get(), p);
      av_packet_unref(p);
      if (err < 0 && err != AVERROR(EAGAIN) && err != AVERROR_INVALIDDATA) {
        restart = true;
        continue;
      }
    }
  }
  // Conversion to BGR as FFmpeg's own tools do it: the frame's matrix and
  // range, bicubic chroma.
  const AVFrame* f = m.held.get();
  if (f->width <= 0 || f->height <= 0 || int64_t(f->width) * f->height > kMaxPixels) {
    error_ = "bad picture size";
    return false;
  }
  const bool turned = info.rotation == 90 || info.rotation == 270;
  const int ow = turned ? info.height : info.width, oh = turned ? info.width : info.height;
  const int cs = SwsMatrix(f->colorspace);
  const int full = FullRange(f) ? 1 : 0;
  if (!m.sws || m.sws_w != f->width || m.sws_h != f->height || m.sws_fmt != f->format || m.sws_cs != cs ||
      m.sws_full != full) {
    m.sws.reset(sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), ow, oh,
                               AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!m.sws) {
      error_ = "unsupported pixel format";
      return false;
    }
    sws_setColorspaceDetails(m.sws.get(), sws_getCoefficients(cs), full, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                             1 << 16, 1 << 16);
    m.sws_w = f->width;
    m.sws_h = f->height;
    m.sws_fmt = f->format;
    m.sws_cs = cs;
    m.sws_full = full;
  }
  const size_t row = static_cast<size_t>(ow) * 3;
  uint8_t* dst = bgr;
  if (info.rotation != 0) {
    m.upright.resize(row * static_cast<size_t>(oh));
    dst = m.upright.data();
  }
  uint8_t* out[1] = {dst};
  const int out_stride[1] = {static_cast<int>(row)};
  sws_scale(m.sws.get(), f->data, f->linesize, 0, f->height, out, out_stride);
  if (info.rotation != 0) {
    const int W = info.width, H = info.height;  // shown size
    const size_t orow = static_cast<size_t>(W) * 3;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        int sx, sy;
        if (info.rotation == 90) {
          sx = y;
          sy = oh - 1 - x;
        } else if (info.rotation == 270) {
          sx = ow - 1 - y;
          sy = x;
        } else {
          sx = ow - 1 - x;
          sy = oh - 1 - y;
        }
        std::memcpy(bgr + orow * y + x * 3, dst + row * sy + sx * 3, 3);
      }
  }
  return true;
}

namespace {

bool OpenSound(AvReader::Impl& m, std::string& error) {
  if (m.aopen) return true;
  m.ain = OpenInput(m.path, error);
  if (!m.ain) return false;
  if (m.aindex >= static_cast<int>(m.ain->nb_streams) ||
      m.ain->streams[m.aindex]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
    error = "the file changed";
    return false;
  }
  for (unsigned i = 0; i < m.ain->nb_streams; ++i)
    if (static_cast<int>(i) != m.aindex) m.ain->streams[i]->discard = AVDISCARD_ALL;
  m.adec = OpenDecoder(m.ain->streams[m.aindex], error);
  if (!m.adec) return false;
  m.aopen = true;
  m.pend.clear();
  m.pend_pos = 0;
  m.need_pos = false;  // a fresh file starts at sample 0
  return true;
}

// Appends one decoded frame, converted, to the pending samples.
bool TakeFrame(AvReader::Impl& m, const AVFrame* f) {
  const int ch = m.info.channels;
  if (f->nb_samples <= 0) return true;
  if (!m.swr || m.swr_fmt != f->format || m.swr_rate != f->sample_rate || m.swr_ch != f->ch_layout.nb_channels) {
    AVChannelLayout out{};
    av_channel_layout_default(&out, ch);
    SwrContext* s = nullptr;
    // Same rate in and out: samples are only reformatted and mixed, so no
    // delay enters; a rate change mid-stream is resampled to the first rate.
    if (swr_alloc_set_opts2(&s, &out, AV_SAMPLE_FMT_S16, m.info.rate, &const_cast<AVFrame*>(f)->ch_layout,
                            static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr) < 0 ||
        swr_init(s) < 0) {
      swr_free(&s);
      return false;
    }
    m.swr.reset(s);
    m.swr_fmt = f->format;
    m.swr_rate = f->sample_rate;
    m.swr_ch = f->ch_layout.nb_channels;
  }
  const int room = swr_get_out_samples(m.swr.get(), f->nb_samples);
  if (room < 0) return false;
  const size_t at = m.pend.size();
  m.pend.resize(at + static_cast<size_t>(room) * ch);
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(m.pend.data() + at)};
  const int got = swr_convert(m.swr.get(), out, room, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
  m.pend.resize(at + static_cast<size_t>(std::max(got, 0)) * ch);
  return got >= 0;
}

// Decodes more sound; false at the end or on a failure.
bool DecodeSound(AvReader::Impl& m, int64_t first) {
  for (;;) {
    int err = avcodec_receive_frame(m.adec.get(), m.frame.get());
    if (err >= 0) {
      AVFrame* f = m.frame.get();
      if (m.start_pts == AV_NOPTS_VALUE) m.start_pts = f->pts != AV_NOPTS_VALUE ? f->pts : 0;
      if (m.need_pos) {
        m.need_pos = false;
        const int64_t pts = f->pts != AV_NOPTS_VALUE ? f->pts : m.start_pts;
        m.pend_pos = av_rescale_q(pts - m.start_pts, m.atb, AVRational{1, m.info.rate});
        m.pend.clear();
        if (m.pend_pos > first || m.pend_pos < 0) {  // landed past the sample: read from the start
          av_frame_unref(f);
          return false;
        }
      }
      const bool ok = TakeFrame(m, f);
      av_frame_unref(f);
      return ok;
    }
    if (err == AVERROR_EOF) {
      m.aeof = true;
      return false;
    }
    if (err != AVERROR(EAGAIN)) return false;
    err = av_read_frame(m.ain.get(), m.pkt.get());
    if (err < 0) {
      avcodec_send_packet(m.adec.get(), nullptr);
      continue;
    }
    if (m.pkt->stream_index == m.aindex) avcodec_send_packet(m.adec.get(), m.pkt.get());
    av_packet_unref(m.pkt.get());
  }
}

void SeekSound(AvReader::Impl& m, int64_t first, bool to_start) {
  m.pend.clear();
  m.aeof = false;
  m.swr.reset();
  avcodec_flush_buffers(m.adec.get());
  if (to_start || m.start_pts == AV_NOPTS_VALUE) {
    avformat_seek_file(m.ain.get(), -1, INT64_MIN, INT64_MIN, INT64_MIN, 0);
    if (avio_tell(m.ain->pb) != 0 && (m.ain->iformat->flags & AVFMT_NO_BYTE_SEEK) == 0)
      av_seek_frame(m.ain.get(), m.aindex, 0, AVSEEK_FLAG_BYTE);
    m.pend_pos = 0;
    m.need_pos = false;
    return;
  }
  // Half a second early: the decoder settles (and the seek is never late
  // by a frame's rounding).
  const int64_t ts = m.start_pts + av_rescale_q(std::max<int64_t>(0, first - m.info.rate / 2),
                                               AVRational{1, m.info.rate}, m.atb);
  av_seek_frame(m.ain.get(), m.aindex, ts, AVSEEK_FLAG_BACKWARD);
  m.need_pos = true;
}

}  // namespace

int64_t AvReader::ReadSound(int64_t first, int16_t* out, int64_t count) {
  Impl& m = *impl_;
  if (!m.info.has_sound || first < 0 || count < 0 || (count > 0 && !out)) return -1;
  if (count == 0 || first >= m.info.samples) return 0;
  if (!OpenSound(m, error_)) return -1;
  const int ch = m.info.channels;
  auto avail_end = [&] { return m.pend_pos + static_cast<int64_t>(m.pend.size()) / ch; };
  // Near enough ahead: decode on; elsewhere: seek.
  if (first < m.pend_pos || first > avail_end() + m.info.rate * 2 || (m.aeof && first >= avail_end()))
    SeekSound(m, first, first < m.info.rate);
  int tries = 0;
  while (avail_end() < first + count && !m.aeof) {
    if (!DecodeSound(m, first)) {
      if (m.aeof) break;
      if (++tries > 2) {
        error_ = "the sound could not be decoded";
        return -1;
      }
      SeekSound(m, first, true);
    }
    // Samples before the one asked for are not kept.
    if (!m.need_pos && m.pend_pos < first) {
      const int64_t drop = std::min<int64_t>(first - m.pend_pos, static_cast<int64_t>(m.pend.size()) / ch);
      m.pend.erase(m.pend.begin(), m.pend.begin() + drop * ch);
      m.pend_pos += drop;
    }
  }
  if (first < m.pend_pos) return 0;
  const int64_t have = std::min<int64_t>(count, avail_end() - first);
  if (have <= 0) return 0;
  std::memcpy(out, m.pend.data() + (first - m.pend_pos) * ch, static_cast<size_t>(have) * ch * sizeof(int16_t));
  return have;
}

}  // namespace vek::codecs
