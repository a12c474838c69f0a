// MPEG-1/2 video decoding with frame-accurate access by frame number.
//
// Opening scans the whole stream once without decoding: for every picture
// it notes the picture type and GOP flags, and from them the display number
// the decoder will give it, following the decoder's own rules (references
// are shown one reference later, B pictures at once; B pictures without both
// references in an open GOP and P pictures before the first I picture are
// dropped). Every packet sent to the decoder carries its decode index as
// time stamp, so each decoded frame names its display number. A seek starts
// at the last I picture at or before the frame and decodes forward.
#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs/ffmpeg/mpeg_internal.h"

namespace vek::platform {

using namespace mpeg;

namespace {

bool IsMpegVideo(const AVStream* st) {
  return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         (st->codecpar->codec_id == AV_CODEC_ID_MPEG1VIDEO ||
          st->codecpar->codec_id == AV_CODEC_ID_MPEG2VIDEO);
}

bool IsMpegAudio(const AVStream* st) {
  const AVCodecID id = st->codecpar->codec_id;
  return st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
         (id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 || id == AV_CODEC_ID_MP3 ||
          id == AV_CODEC_ID_AC3);
}

}  // namespace

namespace mpeg {
bool ScanVideo(AVFormatContext* in, VideoIndex& ix) {
  PacketPtr pkt = NewPacket();
  if (!pkt) return false;
  VideoHeaders first;
  bool have_sequence = false;
  bool closed = false;
  std::vector<int8_t> types;
  std::vector<uint8_t> closed_of;
  std::vector<uint8_t> second_field;
  bool open_field = false;
  for (;;) {
    const int r = av_read_frame(in, pkt.get());
    if (r < 0) break;
    const AVStream* st = in->streams[pkt->stream_index];
    if (IsMpegAudio(st)) ix.info.has_audio = true;
    if (IsMpegVideo(st) && (ix.stream < 0 || ix.stream == pkt->stream_index) &&
        types.size() < size_t(INT32_MAX / 2)) {
      ix.stream = pkt->stream_index;
      VideoHeaders h;
      ScanVideoHeaders(pkt->data, pkt->size, h);
      if (!have_sequence && h.has_sequence) {
        first = h;
        have_sequence = true;
      }
      if (h.has_gop) closed = h.closed_gop;
      types.push_back(static_cast<int8_t>(h.picture));
      ix.pos.push_back(pkt->pos);
      ix.size.push_back(pkt->size);
      closed_of.push_back(closed ? 1 : 0);
      // Field pictures: a packet holds both fields of a frame, or, when the
      // stream is cut that way, the second field comes as its own packet.
      bool second = false;
      if (h.field && h.both_fields) {
        open_field = false;
      } else if (h.field) {
        second = open_field;
        open_field = !open_field;
      } else {
        open_field = false;
      }
      second_field.push_back(second ? 1 : 0);
    }
    av_packet_unref(pkt.get());
  }
  if (!have_sequence || first.width <= 0 || first.height <= 0) return false;
  ix.info.width = first.width;
  ix.info.height = first.height;
  ix.info.rate_code = first.rate_code >= 1 && first.rate_code <= 8 ? first.rate_code : 0;
  ix.info.bit_rate = static_cast<double>(first.bit_rate);
  ix.info.mpeg2 = first.mpeg2;

  // The decoder's output order, as it numbers the frames from the start.
  const size_t n = types.size();
  ix.display.assign(n, 0);
  int32_t shown = 0;
  int64_t pending = -1;  // reference picture waiting to be shown
  int refs = 0;          // references decoded
  bool sync = false;
  for (size_t i = 0; i < n; ++i) {
    if (second_field[i]) continue;
    const int t = types[i];
    if (t == kPicI) sync = true;
    if (t != kPicI && t != kPicP && t != kPicB) continue;
    if (t == kPicP && refs == 0 && !sync) continue;
    if (t == kPicB && refs < 2 && !closed_of[i]) continue;
    if (t == kPicB) {
      ix.display[i] = ++shown;
      continue;
    }
    if (t == kPicI) ix.points.push_back({static_cast<int32_t>(i), 0});
    if (pending >= 0) ix.display[pending] = ++shown;
    pending = static_cast<int64_t>(i);
    ++refs;
  }
  if (pending >= 0) ix.display[pending] = ++shown;
  ix.info.frames = shown;
  // From an I picture the decoder gives that picture first, unless its GOP
  // is closed: then the B pictures that follow it in decode order come first.
  for (SeekPoint& p : ix.points) {
    int32_t d = ix.display[p.packet];
    if (closed_of[p.packet])
      for (size_t j = p.packet + 1; j < n && types[j] == kPicB && ix.display[j] > 0; ++j)
        d = std::min(d, ix.display[j]);
    p.first_display = d;
  }
  // The start of the stream is always a point.
  if (ix.points.empty() || ix.points.front().packet != 0) ix.points.insert(ix.points.begin(), {0, 1});
  ix.has_b = std::find(types.begin(), types.end(), int8_t(kPicB)) != types.end();
  return shown > 0;
}
}  // namespace mpeg

struct MpegVideoDecoder {
  std::string name;
  InputPtr in;
  CodecPtr codec;
  SwsPtr sws;
  PacketPtr pkt;
  FramePtr frame;
  VideoIndex ix;
  int32_t read_index = 0;  // decode index of the next packet of the stream
  bool eof_sent = false;
  bool held = false;       // `frame` holds a decoded frame not yet delivered
  PacketPtr next_pkt;      // a packet read ahead by a seek, sent before any other
  bool has_next_pkt = false;
  int32_t held_display = 0;
  int32_t next = 1;        // frame the next GetMPEGFrame delivers
  int32_t position = 1;    // frame the decoder gives next without a seek
  struct AvFree {
    void operator()(uint8_t* p) const { av_free(p); }
  };
  std::unique_ptr<uint8_t, AvFree> rows;  // scaler output
  size_t rows_size = 0;
};

void MpegVideoDecoderClose::operator()(MpegVideoDecoder* d) const { delete d; }

bool GetMPEGInfo(const std::string& name, MpegVideoInfo& info) {
  info = MpegVideoInfo{};
  InputPtr in = OpenInput(name, InputKind::kVideo, MpegLib::kVideoDecoder);
  if (!in) return false;
  VideoIndex ix;
  if (!ScanVideo(in.get(), ix)) return Fail(MpegLib::kVideoDecoder, "No MPEG video found.");
  info = ix.info;
  return true;
}

namespace {

bool StartDecoder(MpegVideoDecoder& d) {
  const AVCodec* c =
      avcodec_find_decoder(d.ix.info.mpeg2 ? AV_CODEC_ID_MPEG2VIDEO : AV_CODEC_ID_MPEG1VIDEO);
  if (!c) return Fail(MpegLib::kVideoDecoder, "No MPEG video decoder.");
  d.codec.reset(avcodec_alloc_context3(c));
  if (!d.codec) return Fail(MpegLib::kVideoDecoder, "Out of memory.");
  d.codec->thread_count = 1;  // callbacks and messages stay on the caller's thread
  const int r = avcodec_open2(d.codec.get(), c, nullptr);
  if (r < 0) return Fail(MpegLib::kVideoDecoder, AvErrorText(r).c_str());
  return true;
}

// Jumps to packet `k` by its byte position: true when the demuxer gave
// exactly that packet (same position and size), which is then held in
// `next_pkt`.
bool SeekByte(MpegVideoDecoder& d, int32_t k) {
  const int64_t pos = d.ix.pos[size_t(k)];
  if (pos < 0 || av_seek_frame(d.in.get(), -1, pos, AVSEEK_FLAG_BYTE) < 0) return false;
  for (int n = 0; n < 256; ++n) {
    if (av_read_frame(d.in.get(), d.next_pkt.get()) < 0) return false;
    if (d.next_pkt->stream_index == d.ix.stream) {
      if (d.next_pkt->pos == pos && d.next_pkt->size == d.ix.size[size_t(k)]) {
        d.has_next_pkt = true;
        d.read_index = k;
        return true;
      }
      if (d.next_pkt->pos > pos) break;
    }
    av_packet_unref(d.next_pkt.get());
  }
  av_packet_unref(d.next_pkt.get());
  return false;
}

// Positions the demuxer so that the next packet read is packet `k`.
bool Reposition(MpegVideoDecoder& d, int32_t k) {
  if (d.has_next_pkt) {
    av_packet_unref(d.next_pkt.get());
    d.has_next_pkt = false;
    ++d.read_index;  // the held packet is dropped: the demuxer is past it
  }
  const bool jump = k < d.read_index || k - d.read_index > 32;
  if (jump && d.in && SeekByte(d, k)) {
    // positioned
  } else if (jump || !d.in) {
    // From the start, counting packets.
    d.in.reset();
    d.in = OpenInput(d.name, InputKind::kVideo, MpegLib::kVideoDecoder);
    if (!d.in) return false;
    d.read_index = 0;
  }
  while (d.read_index < k) {
    const int r = av_read_frame(d.in.get(), d.pkt.get());
    if (r < 0) return Fail(MpegLib::kVideoDecoder, "Seek beyond the end of the video.");
    if (d.pkt->stream_index == d.ix.stream) ++d.read_index;
    av_packet_unref(d.pkt.get());
  }
  avcodec_flush_buffers(d.codec.get());
  d.eof_sent = false;
  d.held = false;
  return true;
}

// The next decoded frame and its display number; false at the end.
bool Receive(MpegVideoDecoder& d, int32_t& display) {
  for (;;) {
    const int r = avcodec_receive_frame(d.codec.get(), d.frame.get());
    if (r == 0) {
      const int64_t i = d.frame->pts;
      display = i >= 0 && i < int64_t(d.ix.display.size()) ? d.ix.display[size_t(i)] : 0;
      if (display <= 0) display = d.position;
      d.position = display + 1;
      return true;
    }
    if (r != AVERROR(EAGAIN) || d.eof_sent) return false;
    bool sent = false;
    while (!sent) {
      int rr = 0;
      if (d.has_next_pkt) {
        av_packet_move_ref(d.pkt.get(), d.next_pkt.get());
        d.has_next_pkt = false;
      } else {
        rr = av_read_frame(d.in.get(), d.pkt.get());
      }
      if (rr < 0) {
        avcodec_send_packet(d.codec.get(), nullptr);
        d.eof_sent = true;
        break;
      }
      if (d.pkt->stream_index == d.ix.stream) {
        d.pkt->pts = d.pkt->dts = d.read_index++;
        // A damaged packet is skipped; the decoder goes on with the next.
        avcodec_send_packet(d.codec.get(), d.pkt.get());
        sent = true;
      }
      av_packet_unref(d.pkt.get());
    }
  }
}

bool Convert(MpegVideoDecoder& d, uint8_t* pixels) {
  const AVFrame* f = d.frame.get();
  const int w = d.ix.info.width, h = d.ix.info.height;
  if (f->width <= 0 || f->height <= 0 || !f->data[0] || w <= 0 || h <= 0)
    return Fail(MpegLib::kVideoDecoder, "Damaged video frame.");
  d.sws.reset(sws_getCachedContext(d.sws.release(), f->width, f->height,
                                   static_cast<AVPixelFormat>(f->format), w, h, AV_PIX_FMT_BGR24,
                                   SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!d.sws) return Fail(MpegLib::kVideoDecoder, "Cannot convert the video frame.");
  // swscale writes its output in whole vector blocks, past the end of a
  // packed row and, for tiny pictures, past the caller's buffer: it scales
  // into aligned rows with room to spare, which are then copied.
  const int64_t row = int64_t(w) * 3;
  const int64_t stride = (row + 63) / 64 * 64 + 64;
  const size_t need = static_cast<size_t>(stride * (h + 2));
  if (d.rows_size < need) {
    d.rows.reset(static_cast<uint8_t*>(av_malloc(need)));
    d.rows_size = d.rows ? need : 0;
    if (!d.rows) return Fail(MpegLib::kVideoDecoder, "Out of memory.");
  }
  uint8_t* dst[4] = {d.rows.get(), nullptr, nullptr, nullptr};
  int dst_stride[4] = {static_cast<int>(stride), 0, 0, 0};
  if (sws_scale(d.sws.get(), f->data, f->linesize, 0, f->height, dst, dst_stride) != h)
    return Fail(MpegLib::kVideoDecoder, "Cannot convert the video frame.");
  for (int y = 0; y < h; ++y)
    std::memcpy(pixels + row * y, d.rows.get() + stride * y, static_cast<size_t>(row));
  return true;
}

}  // namespace

bool OpenMPEG(MpegVideoDecoderPtr& decoder, const std::string& name, MpegVideoInfo& info) {
  decoder.reset();
  info = MpegVideoInfo{};
  auto d = std::make_unique<MpegVideoDecoder>();
  d->name = name;
  d->pkt = NewPacket();
  d->next_pkt = NewPacket();
  d->frame = NewFrame();
  if (!d->pkt || !d->next_pkt || !d->frame) return Fail(MpegLib::kVideoDecoder, "Out of memory.");
  {
    InputPtr in = OpenInput(name, InputKind::kVideo, MpegLib::kVideoDecoder);
    if (!in) return false;
    if (!ScanVideo(in.get(), d->ix)) return Fail(MpegLib::kVideoDecoder, "No MPEG video found.");
  }
  if (!StartDecoder(*d)) return false;
  d->in = OpenInput(name, InputKind::kVideo, MpegLib::kVideoDecoder);
  if (!d->in) return false;
  info = d->ix.info;
  decoder.reset(d.release());
  return true;
}

bool SeekMPEG(MpegVideoDecoder& d, int32_t frame) {
  ClearMessage();
  if (frame < 1 || frame > d.ix.info.frames)
    return Fail(MpegLib::kVideoDecoder, "Frame number out of range.");
  if (d.held && d.held_display == frame) {
    d.next = frame;
    return true;
  }
  // The last point whose first frame is not after the one wanted.
  auto it = std::upper_bound(d.ix.points.begin(), d.ix.points.end(), frame,
                             [](int32_t f, const SeekPoint& p) { return f < p.first_display; });
  const SeekPoint& p = it == d.ix.points.begin() ? *it : *(it - 1);
  // Decoding on reaches the frame when it lies ahead and the decoder has
  // already passed the start point.
  const int32_t coming = d.held ? d.held_display : d.position;
  if (!(coming <= frame && coming >= p.first_display)) {
    if (!Reposition(d, p.packet)) return false;
    d.position = p.first_display;
  }
  for (;;) {
    int32_t display = 0;
    if (d.held) {
      display = d.held_display;
      d.held = false;
    } else if (!Receive(d, display)) {
      return Fail(MpegLib::kVideoDecoder, "The video ends before the frame.");
    }
    if (display < frame) {
      av_frame_unref(d.frame.get());
      continue;
    }
    d.held = true;
    d.held_display = display;
    d.next = display;
    if (display != frame) return Fail(MpegLib::kVideoDecoder, "The frame cannot be decoded.");
    return true;
  }
}

bool GetMPEGFrame(MpegVideoDecoder& d, uint8_t* pixels) {
  ClearMessage();
  int32_t display = 0;
  if (d.held) {
    display = d.held_display;
    d.held = false;
  } else if (!Receive(d, display)) {
    return Fail(MpegLib::kVideoDecoder, "End of the video.");
  }
  d.next = display + 1;
  const bool ok = Convert(d, pixels);
  av_frame_unref(d.frame.get());
  return ok;
}

int32_t NextMPEGFrame(const MpegVideoDecoder& d) { return d.next; }

}  // namespace vek::platform
