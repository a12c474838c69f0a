// MPEG-1/2 video encoding into an elementary stream. Frames are encoded in
// the order given; the pixels of each are fetched through the image
// function only when the frame is encoded, so the caller keeps a small queue
// instead of the encoder copying every frame.
#include <algorithm>
#include <cstddef>
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

// A band of rows the colour conversion hands to a thread: it converts the
// source rows from..to (its own rows and some of its neighbours', so that
// the chroma filter meets the same rows as over the whole picture) into
// planes of its own, and keeps rows first..last.
struct ScaleBand {
  SwsPtr sws;
  int32_t first = 0, last = 0, from = 0, to = 0;
  std::vector<uint8_t> planes[3];
};

struct MpegVideoEncoder {
  std::unique_ptr<std::FILE, FileCloser> file;
  CodecPtr codec;
  SwsPtr sws;
  std::vector<ScaleBand> bands;  // with more than one thread
  FramePtr frame;
  PacketPtr pkt;
  int32_t width = 0, height = 0;
  int32_t available = 0;  // frames the caller holds so far
  int32_t next = 0;       // next frame to encode (0-based)
  std::vector<uint8_t> rows;  // the caller's rows with room for the scaler's reads
};

void MpegVideoEncoderClose::operator()(MpegVideoEncoder* e) const { delete e; }

namespace {
// Rows a band shares with each neighbour (whole macroblock rows, so the
// scaler's row patterns keep their phase); two suffice for its filters.
constexpr int32_t kBandOverlap = 16;
// Rows below which a band does not pay.
constexpr int32_t kMinBandRows = 64;

// Only for even heights: over an odd one, the scaler spreads the chroma rows
// by a ratio of the whole height, which a band would not share.
bool SetUpBands(MpegVideoEncoder& e) {
  const int32_t count = std::min(WorkerCount(), e.height / kMinBandRows);
  if (count <= 1 || e.height % 2 != 0) return true;
  e.bands.resize(static_cast<size_t>(count));
  for (int32_t k = 0; k < count; ++k) {
    ScaleBand& b = e.bands[static_cast<size_t>(k)];
    b.first = k == 0 ? 0 : e.height * k / count / 16 * 16;
    b.last = k == count - 1 ? e.height : e.height * (k + 1) / count / 16 * 16;
    b.from = std::max(0, b.first - kBandOverlap);
    b.to = std::min(e.height, b.last + kBandOverlap);
    const int32_t rows = b.to - b.from;
    b.sws.reset(sws_getContext(e.width, rows, AV_PIX_FMT_BGR24, e.width, rows, AV_PIX_FMT_YUV420P,
                               SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!b.sws) return false;
    const size_t cw = (size_t(e.width) + 1) / 2, ch = (size_t(rows) + 1) / 2;
    b.planes[0].resize(size_t(e.width) * size_t(rows));
    b.planes[1].resize(cw * ch);
    b.planes[2].resize(cw * ch);
  }
  return true;
}

// Converts the padded rows into the frame: in one pass, or in bands on the
// threads, whose kept rows are the same bytes.
void Scale(MpegVideoEncoder& e, size_t stride) {
  const int src_stride[4] = {static_cast<int>(stride), 0, 0, 0};
  if (e.bands.empty()) {
    const uint8_t* src[4] = {e.rows.data(), nullptr, nullptr, nullptr};
    sws_scale(e.sws.get(), src, src_stride, 0, e.height, e.frame->data, e.frame->linesize);
    return;
  }
  ParallelFor(static_cast<int32_t>(e.bands.size()), [&](int32_t k) {
    ScaleBand& b = e.bands[static_cast<size_t>(k)];
    const int cw = (e.width + 1) / 2;
    uint8_t* dst[4] = {b.planes[0].data(), b.planes[1].data(), b.planes[2].data(), nullptr};
    const int dst_stride[4] = {e.width, cw, cw, 0};
    const uint8_t* src[4] = {e.rows.data() + stride * size_t(b.from), nullptr, nullptr, nullptr};
    sws_scale(b.sws.get(), src, src_stride, 0, b.to - b.from, dst, dst_stride);
    for (int32_t y = b.first; y < b.last; ++y)
      std::memcpy(e.frame->data[0] + ptrdiff_t(y) * e.frame->linesize[0],
                  b.planes[0].data() + size_t(y - b.from) * size_t(e.width), size_t(e.width));
    const int32_t c0 = b.first / 2, c1 = (b.last + 1) / 2;
    for (int p = 1; p < 3; ++p)
      for (int32_t y = c0; y < c1; ++y)
        std::memcpy(e.frame->data[p] + ptrdiff_t(y) * e.frame->linesize[p],
                    b.planes[p].data() + size_t(y - b.from / 2) * size_t(cw), size_t(cw));
  });
}

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
  if (!e->sws || !SetUpBands(*e)) return FailEncoder("Cannot convert frames for the encoder.");
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
  Scale(e, stride);
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
