#include "codecs/ffmpeg/av_reader.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <vector>

#include "codecs/ffmpeg/av_log.h"
#include "codecs/ffmpeg/mpeg_internal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/vorbis_parser.h>
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


InputPtr OpenInput(const std::string& path, std::string& error) {
  AVFormatContext* f = nullptr;
  // Only the container families this reader is for, and only the local
  // file: a playlist or reference inside a hostile file opens nothing else.
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "format_whitelist", "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,mpegts", 0);
  av_dict_set(&opts, "protocol_whitelist", "file", 0);
  // FFmpeg takes UTF-8 names; the library's are in the system code page.
  int err = avformat_open_input(&f, platform::mpeg::AvFileName(path).c_str(), nullptr, &opts);
  av_dict_free(&opts);
  if (err < 0) {
    error = "not a movie file FFmpeg reads: " + platform::mpeg::AvErrorText(err);
    return nullptr;
  }
  InputPtr in(f);
  err = avformat_find_stream_info(f, nullptr);
  if (err < 0) {
    error = "the streams could not be read: " + platform::mpeg::AvErrorText(err);
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
    error = std::string(codec->name) + ": " + platform::mpeg::AvErrorText(err);
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

struct SoundPacket {
  int64_t dts;
  int64_t first;  // its first decoded sample
  int64_t count;  // decoded samples
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
  std::deque<std::pair<int64_t, FramePtr>> recent;  // pictures passed on the way
  int64_t held_ts = INT64_MIN;
  bool vdrained = true;  // no decoding position: the next read seeks
  int64_t vnext = -1;    // decode index of the next packet, -1 right after a seek
  int64_t counted = 0;   // frames out since the start (synthetic timestamps)
  SwsPtr sws;
  int sws_w = 0, sws_h = 0, sws_fmt = -1, sws_cs = -1, sws_full = -1;
  std::vector<uint8_t> upright;
  // Sound decoding.
  InputPtr ain;
  CodecCtxPtr adec;
  SwrPtr swr;
  int swr_fmt = -1, swr_rate = 0, swr_ch = 0;
  // Sound index: each packet's decode time and the place of its samples.
  std::vector<SoundPacket> apackets;
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
  int64_t a_total = 0;
  int64_t synthetic_ts = 0;
  struct VorbisFree {
    void operator()(AVVorbisParseContext* c) const { av_vorbis_parse_free(&c); }
  };
  struct ParserClose {
    void operator()(AVCodecParserContext* c) const { av_parser_close(c); }
  };
  std::unique_ptr<AVVorbisParseContext, VorbisFree> vorbis;
  std::unique_ptr<AVCodecParserContext, ParserClose> parser;
  CodecCtxPtr parse_ctx;
  bool vorbis_first = true;
  AVCodecParameters* ap = m.aindex >= 0 ? in->streams[m.aindex]->codecpar : nullptr;
  if (ap) {
    m.atb = in->streams[m.aindex]->time_base;
    if (m.atb.num <= 0 || m.atb.den <= 0) m.atb = AVRational{1, ap->sample_rate};
    if (ap->codec_id == AV_CODEC_ID_VORBIS && ap->extradata && ap->extradata_size > 0)
      vorbis.reset(av_vorbis_parse_init(ap->extradata, ap->extradata_size));
    parser.reset(av_parser_init(ap->codec_id));
    parse_ctx.reset(avcodec_alloc_context3(nullptr));
    if (parser && parse_ctx && avcodec_parameters_to_context(parse_ctx.get(), ap) >= 0)
      parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    else
      parser.reset();
  }
  while (av_read_frame(in.get(), m.pkt.get()) >= 0) {
    AVPacket* p = m.pkt.get();
    if (p->stream_index == m.vindex && !(p->flags & AV_PKT_FLAG_DISCARD) && m.packets.size() < kMaxPackets) {
      VideoPacket vp{p->pts, p->dts, p->pos, (p->flags & AV_PKT_FLAG_KEY) != 0};
      if (vp.pts == AV_NOPTS_VALUE) vp.pts = vp.dts;
      // Decode times only grow: a missing one sorts before every known one.
      if (vp.dts == AV_NOPTS_VALUE && !m.packets.empty() && m.packets.back().dts != AV_NOPTS_VALUE)
        vp.dts = m.packets.back().dts;
      if (vp.pts == AV_NOPTS_VALUE) m.synthetic = true;
      if (m.synthetic) vp.pts = vp.dts = synthetic_ts;
      ++synthetic_ts;
      m.packets.push_back(vp);
    } else if (p->stream_index == m.aindex && !(p->flags & AV_PKT_FLAG_DISCARD)) {
      // Each packet's place in the decoded sound: what the decoder gives
      // for it, less the samples it drops (the encoder's priming at the
      // start, the padding of the last packet).
      int64_t dur = 0;
      if (vorbis) {
        // Vorbis in Matroska carries no sample counts: the parser tells
        // them (the first packet gives no samples).
        const int d = av_vorbis_parse_frame(vorbis.get(), p->data, p->size);
        dur = vorbis_first ? 0 : std::max(d, 0);
        vorbis_first = false;
      } else if (const int d = av_get_audio_frame_duration2(ap, p->size); d > 0) {
        dur = d;
      } else if (parser) {
        uint8_t* out = nullptr;
        int out_size = 0;
        av_parser_parse2(parser.get(), parse_ctx.get(), &out, &out_size, p->data, p->size, p->pts, p->dts, p->pos);
        if (parser->duration > 0) dur = parser->duration;
      }
      if (dur == 0 && !vorbis && p->duration > 0 && p->duration < (int64_t{1} << 40))
        dur = av_rescale_q(p->duration, m.atb, AVRational{1, ap->sample_rate});
      size_t size = 0;
      int64_t skip = 0;
      if (const uint8_t* sd = av_packet_get_side_data(p, AV_PKT_DATA_SKIP_SAMPLES, &size); sd && size >= 8)
        skip = int64_t(AV_RL32(sd)) + int64_t(AV_RL32(sd + 4));
      // Opus decoders drop the stream's pre-skip themselves.
      if (m.apackets.empty() && skip == 0 && ap->codec_id == AV_CODEC_ID_OPUS && ap->initial_padding > 0)
        skip = ap->initial_padding;
      const int64_t out_dur = std::clamp<int64_t>(dur - skip, 0, int64_t{1} << 24);
      if (m.apackets.size() < kMaxPackets) {
        m.apackets.push_back(SoundPacket{p->dts != AV_NOPTS_VALUE ? p->dts : p->pts, a_total, out_dur});
        a_total += out_dur;
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
        // The grid's rate: that of the most common step between frames.
        std::vector<int64_t> steps;
        steps.reserve(static_cast<size_t>(n - 1));
        for (int64_t i = 1; i < n; ++i) steps.push_back(m.times[i] - m.times[i - 1]);
        std::sort(steps.begin(), steps.end());
        int64_t best = steps.front(), best_run = 0;
        for (size_t i = 0; i < steps.size();) {
          size_t j = i;
          while (j < steps.size() && steps[j] == steps[i]) ++j;
          if (static_cast<int64_t>(j - i) > best_run) {
            best_run = static_cast<int64_t>(j - i);
            best = steps[i];
          }
          i = j;
        }
        double nominal = best > 0 ? 1.0 / (static_cast<double>(best) * tb) : 0;
        if (!(nominal > 0 && nominal <= 240)) {
          const AVRational g = av_guess_frame_rate(in.get(), in->streams[m.vindex], nullptr);
          nominal = g.num > 0 && g.den > 0 ? av_q2d(g) : 0;
        }
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
    info.rate = p->sample_rate;
    info.source_channels = p->ch_layout.nb_channels;
    info.channels = std::min(info.source_channels, 2);
    const int64_t samples = a_total;
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

// The video packet of a decode and presentation time, or -1.
int64_t PacketOf(const AvReader::Impl& m, int64_t dts, int64_t pts) {
  if (dts != AV_NOPTS_VALUE) {
    const auto it = std::lower_bound(m.packets.begin(), m.packets.end(), dts,
                                     [](const VideoPacket& p, int64_t t) { return p.dts < t; });
    if (it != m.packets.end() && it->dts == dts && (pts == AV_NOPTS_VALUE || it->pts == pts))
      return it - m.packets.begin();
  }
  // No decode time (the first packets of some streams): by presentation time.
  if (pts == AV_NOPTS_VALUE) return -1;
  const auto t = std::lower_bound(m.times.begin(), m.times.end(), pts);
  if (t == m.times.end() || *t != pts) return -1;
  return m.time_pkt[static_cast<size_t>(t - m.times.begin())];
}

// Keeps a reference to a decoded picture among the recent ones (a few
// dozen, within a memory budget), for reads that step backwards.
void Remember(AvReader::Impl& m, int64_t ts, const AVFrame* f) {
  constexpr size_t kRecentFrames = 48;
  constexpr int64_t kRecentBytes = int64_t{256} << 20;
  const int64_t bytes = int64_t(f->width) * f->height * 2;
  if (bytes <= 0 || bytes * 2 > kRecentBytes) return;
  for (const auto& r : m.recent)
    if (r.first == ts) return;
  FramePtr copy(av_frame_alloc());
  if (!copy || av_frame_ref(copy.get(), f) < 0) return;
  m.recent.emplace_back(ts, std::move(copy));
  while (m.recent.size() > kRecentFrames || int64_t(m.recent.size()) * bytes > kRecentBytes) m.recent.pop_front();
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

// Back to the start of the file: by the first packet's time, else by byte.
void SeekStart(AVFormatContext* f, int stream, int64_t first_ts) {
  if (first_ts != AV_NOPTS_VALUE && av_seek_frame(f, stream, first_ts, AVSEEK_FLAG_BACKWARD) >= 0) return;
  if ((f->iformat->flags & AVFMT_NO_BYTE_SEEK) == 0 && av_seek_frame(f, stream, 0, AVSEEK_FLAG_BYTE) >= 0) return;
  avformat_seek_file(f, -1, INT64_MIN, INT64_MIN, INT64_MIN, 0);
}

// Positions the demuxer at packet `k` (a key frame) or before it.
void SeekVideo(AvReader::Impl& m, int64_t k) {
  if (m.synthetic || k <= 0) {
    const VideoPacket* p0 = m.synthetic || m.packets.empty() ? nullptr : &m.packets[0];
    SeekStart(m.vin.get(), m.vindex, !p0 ? AV_NOPTS_VALUE : p0->dts != AV_NOPTS_VALUE ? p0->dts : p0->pts);
    m.counted = 0;
  } else {
    const VideoPacket& p = m.packets[static_cast<size_t>(k)];
    const int64_t ts = p.dts != AV_NOPTS_VALUE ? p.dts : p.pts;
    if (av_seek_frame(m.vin.get(), m.vindex, ts, AVSEEK_FLAG_BACKWARD) < 0 && p.pos >= 0)
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
  // A picture decoded on the way to another (reading backwards) is kept.
  if (!(m.have_held && m.held_ts == want))
    for (auto it = m.recent.begin(); it != m.recent.end(); ++it)
      if (it->first == want) {
        av_frame_unref(m.held.get());
        if (av_frame_ref(m.held.get(), it->second.get()) < 0) break;
        m.have_held = true;
        m.held_ts = want;
        m.vdrained = true;  // the decoder is elsewhere: the next step seeks
        break;
      }
  if (!(m.have_held && m.held_ts == want)) {
    // The key frame before the picture, in decode order.
    int64_t key = target_pkt;
    while (key > 0 && !m.packets[static_cast<size_t>(key)].key) --key;
    // A picture shown before its key frame (open GOPs) needs the one before.
    while (key > 0 && m.packets[static_cast<size_t>(key)].pts > want) {
      --key;
      while (key > 0 && !m.packets[static_cast<size_t>(key)].key) --key;
    }
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
          if (m.have_held && m.held_ts < want) Remember(m, m.held_ts, m.held.get());
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
      const int64_t j = m.synthetic ? -1 : PacketOf(m, p->dts, p->pts != AV_NOPTS_VALUE ? p->pts : p->dts);
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
  m.need_pos = true;
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

// The sound packet of a decode time, or -1.
int64_t SoundPacketOf(const AvReader::Impl& m, int64_t dts) {
  if (dts == AV_NOPTS_VALUE) return -1;
  const auto it = std::lower_bound(m.apackets.begin(), m.apackets.end(), dts,
                                   [](const SoundPacket& p, int64_t t) { return p.dts < t; });
  return it != m.apackets.end() && it->dts == dts ? it - m.apackets.begin() : -1;
}

// Decodes more sound; false at the end or on a failure.
bool DecodeSound(AvReader::Impl& m, int64_t first) {
  const int ch = m.info.channels;
  for (;;) {
    int err = avcodec_receive_frame(m.adec.get(), m.frame.get());
    if (err >= 0) {
      AVFrame* f = m.frame.get();
      // A frame ends where its packet's samples end (a decoder that did
      // not drop the priming after a seek gives more, placed before).
      const int64_t i = SoundPacketOf(m, f->pkt_dts);
      const int64_t end_known = m.pend_pos + static_cast<int64_t>(m.pend.size()) / ch;
      int64_t pos = end_known;
      if (i >= 0) {
        const SoundPacket& sp = m.apackets[static_cast<size_t>(i)];
        pos = sp.first + sp.count - f->nb_samples;
      } else if (m.need_pos) {
        av_frame_unref(f);
        continue;  // no place known yet
      }
      if (m.need_pos) {
        m.need_pos = false;
        m.pend.clear();
        m.pend_pos = pos;
        if (pos > first) {  // landed past the sample: read from the start
          av_frame_unref(f);
          return false;
        }
      } else if (pos != end_known) {
        if (pos > end_known && pos - end_known <= m.info.rate) {
          m.pend.resize(m.pend.size() + static_cast<size_t>(pos - end_known) * ch, 0);  // a gap: silence
        } else if (pos < end_known && pos >= m.pend_pos) {
          m.pend.resize(static_cast<size_t>(pos - m.pend_pos) * ch);  // an overlap: the newer samples
        } else {
          m.pend.clear();
          m.pend_pos = pos;
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
  m.pend_pos = 0;
  m.aeof = false;
  m.swr.reset();
  avcodec_flush_buffers(m.adec.get());
  m.need_pos = true;
  // Half a second early: the decoder settles before the samples asked for.
  const int64_t from = to_start ? 0 : std::max<int64_t>(0, first - m.info.rate / 2);
  auto it = std::upper_bound(m.apackets.begin(), m.apackets.end(), from,
                             [](int64_t v, const SoundPacket& p) { return v < p.first; });
  const size_t k = it == m.apackets.begin() ? 0 : static_cast<size_t>(it - m.apackets.begin() - 1);
  if (k == 0 || m.apackets.empty()) {
    SeekStart(m.ain.get(), m.aindex, m.apackets.empty() ? AV_NOPTS_VALUE : m.apackets[0].dts);
    return;
  }
  if (av_seek_frame(m.ain.get(), m.aindex, m.apackets[k].dts, AVSEEK_FLAG_BACKWARD) < 0)
    SeekStart(m.ain.get(), m.aindex, m.apackets[0].dts);
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
    SeekSound(m, first, false);
  int tries = 0;
  while ((m.need_pos || avail_end() < first + count) && !m.aeof) {
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
