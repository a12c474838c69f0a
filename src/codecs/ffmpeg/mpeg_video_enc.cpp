// MPEG-1/2 video encoding into an elementary stream. Frames are encoded in
// the order given; the pixels of each are fetched through the image
// function only when the frame is encoded, so the caller keeps a small queue
// instead of the encoder copying every frame.
#include <cstdio>
#include <cstring>

#include "codecs/ffmpeg/mpeg_internal.h"
#include "foundation/workers.h"

namespace vek::platform {

using namespace mpeg;

namespace {
MpegImgPtrFunc g_img_ptr = nullptr;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

AVRational TimeBaseOfCode(int32_t code) {
  static const AVRational tb[9] = {{1, 25},   {1001, 24000}, {1, 24}, {1, 25},   {1001, 30000},
                                   {1, 30},   {1, 50},       {1001, 60000}, {1, 60}};
  return code >= 1 && code <= 8 ? tb[code] : tb[0];
}
}  // namespace

void GetImgPtrFuncSet(MpegImgPtrFunc func) { g_img_ptr = func; }

struct MpegVideoEncoder {
  std::unique_ptr<std::FILE, FileCloser> file;
  CodecPtr codec;
  SwsPtr sws;
  FramePtr frame;
  PacketPtr pkt;
  int32_t width = 0, height = 0;
  int32_t available = 0;  // frames the caller holds so far
  int32_t next = 0;       // next frame to encode (0-based)
  std::vector<uint8_t> rows;  // the caller's rows with room for the scaler's reads
};

void MpegVideoEncoderClose::operator()(MpegVideoEncoder* e) const { delete e; }

namespace {
bool Drain(MpegVideoEncoder& e) {
  for (;;) {
    const int r = avcodec_receive_packet(e.codec.get(), e.pkt.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
    if (r < 0) return FailEncoder(AvErrorText(r).c_str());
    const size_t n = static_cast<size_t>(e.pkt->size);
    const bool ok = std::fwrite(e.pkt->data, 1, n, e.file.get()) == n;
    av_packet_unref(e.pkt.get());
    if (!ok) return FailEncoder("Cannot write the video file.");
  }
}
}  // namespace

bool CreateMPEG(MpegVideoEncoderPtr& encoder, const std::string& name, const MpegEncParams& p) {
  QuietLog();
  ClearMessage();
  encoder.reset();
  if (p.width < 1 || p.height < 1 || p.width > (p.mpeg1 ? 4095 : 16383) ||
      p.height > (p.mpeg1 ? 4095 : 16383))
    return FailEncoder("The frame size does not fit MPEG video.");
  auto e = std::make_unique<MpegVideoEncoder>();
  e->width = p.width;
  e->height = p.height;
  const AVCodec* c = avcodec_find_encoder(p.mpeg1 ? AV_CODEC_ID_MPEG1VIDEO : AV_CODEC_ID_MPEG2VIDEO);
  if (!c) return FailEncoder("No MPEG video encoder.");
  e->codec.reset(avcodec_alloc_context3(c));
  e->frame = NewFrame();
  e->pkt = NewPacket();
  if (!e->codec || !e->frame || !e->pkt) return FailEncoder("Out of memory.");
  AVCodecContext& cc = *e->codec;
  cc.width = p.width;
  cc.height = p.height;
  cc.time_base = TimeBaseOfCode(p.rate_code);
  cc.framerate = av_inv_q(cc.time_base);
  cc.pix_fmt = AV_PIX_FMT_YUV420P;
  cc.bit_rate = static_cast<int64_t>(p.bit_rate);
  if (cc.bit_rate <= 0) {
    // No rate asked for: constant, high quality.
    cc.bit_rate = 0;
    cc.flags |= AV_CODEC_FLAG_QSCALE;
    cc.global_quality = FF_QP2LAMBDA * 2;
  }
  cc.gop_size = 12;
  cc.max_b_frames = 2;
  // Slices on every allowed thread; libavcodec returns each packet from the
  // call that asks for it, and its messages are reported from there.
  cc.thread_count = WorkerCount();
  cc.thread_type = FF_THREAD_SLICE;
  int r = avcodec_open2(e->codec.get(), c, nullptr);
  if (r < 0) return FailEncoder(AvErrorText(r).c_str());
  e->frame->format = AV_PIX_FMT_YUV420P;
  e->frame->width = p.width;
  e->frame->height = p.height;
  r = av_frame_get_buffer(e->frame.get(), 0);
  if (r < 0) return FailEncoder(AvErrorText(r).c_str());
  e->sws.reset(sws_getContext(p.width, p.height, AV_PIX_FMT_BGR24, p.width, p.height,
                              AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!e->sws) return FailEncoder("Cannot convert frames for the encoder.");
  e->file.reset(std::fopen(name.c_str(), "wb"));
  if (!e->file) return FailEncoder("Cannot create the video file.");
  encoder.reset(e.release());
  return true;
}

void SetNumFramesMPEG(MpegVideoEncoder& e, int32_t frames) { e.available = frames; }

bool PutMPEGFrame(MpegVideoEncoder& e) {
  ClearMessage();
  if (e.next >= e.available) return FailEncoder("No frame is available to encode.");
  const uint8_t* pixels = nullptr;
  if (g_img_ptr) g_img_ptr(e.next, &pixels);
  if (!pixels) return FailEncoder("No pixels for the frame.");
  if (av_frame_make_writable(e.frame.get()) < 0) return FailEncoder("Out of memory.");
  // The scaler reads past the end of a packed row (vector blocks, and the
  // pixel after the last for the chroma of an odd width) and of a small
  // picture: it reads a padded copy whose rows go on with their last pixel.
  const size_t row = size_t(e.width) * 3;
  const size_t stride = (row + 63) / 64 * 64 + 64;
  e.rows.resize(stride * (size_t(e.height) + 2));
  for (int32_t y = 0; y < e.height; ++y) {
    uint8_t* d = e.rows.data() + stride * size_t(y);
    std::memcpy(d, pixels + row * size_t(y), row);
    for (size_t x = row; x + 3 <= stride; x += 3) std::memcpy(d + x, d + row - 3, 3);
  }
  const uint8_t* src[4] = {e.rows.data(), nullptr, nullptr, nullptr};
  const int src_stride[4] = {static_cast<int>(stride), 0, 0, 0};
  sws_scale(e.sws.get(), src, src_stride, 0, e.height, e.frame->data, e.frame->linesize);
  e.frame->pts = e.next++;
  const int r = avcodec_send_frame(e.codec.get(), e.frame.get());
  if (r < 0) return FailEncoder(AvErrorText(r).c_str());
  return Drain(e);
}

bool CloseMPEGEnc(MpegVideoEncoderPtr& encoder) {
  if (!encoder) return true;
  ClearMessage();
  MpegVideoEncoder& e = *encoder;
  avcodec_send_frame(e.codec.get(), nullptr);
  bool ok = Drain(e);
  if (ok) {
    static const uint8_t kEnd[4] = {0, 0, 1, 0xB7};  // sequence end
    ok = std::fwrite(kEnd, 1, 4, e.file.get()) == 4;
  }
  const bool closed = std::fclose(e.file.release()) == 0;
  encoder.reset();
  if (!ok || !closed) return FailEncoder("Cannot write the video file.");
  return true;
}

}  // namespace vek::platform
