// The installed video codecs on top of libavcodec, the compressed stream
// and the frame decompressor of the AVI file layer.
//
// The codec list is libavcodec's video codecs that libavformat's RIFF tag
// table gives a FourCC, encoders first. A FourCC opens whichever codec the
// tag table maps it to. Microsoft RLE has no encoder in libavcodec: ours
// writes key frames of 8-bit run-length rows. Cinepak is compressed by our
// own encoder (codecs/cinepak): libavcodec's takes seconds a frame.
#include "platform/vfw/ic.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "codecs/ffmpeg/av_log.h"
#include "codecs/cinepak/cinepak_encoder.h"
#include "codecs/libjpeg/mjpeg_frame.h"
#include "platform/vfw/avi_stream.h"
#include "foundation/workers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace vek::platform {

namespace {

constexpr int kMaxSide = 32768;
constexpr int64_t kMaxPixels = int64_t{1} << 26;

std::atomic<int32_t> g_codecs{0};

FOURCC Upper(FOURCC f) {
  FOURCC r = 0;
  for (int i = 0; i < 4; ++i)
    r |= uint32_t(std::toupper(static_cast<unsigned char>((f >> (8 * i)) & 0xFF))) << (8 * i);
  return r;
}

constexpr FOURCC kMRLE = MakeFourCC('M', 'R', 'L', 'E');

bool IsRawHandler(FOURCC f) {
  const FOURCC u = Upper(f);
  return f == 0 || u == MakeFourCC('D', 'I', 'B', ' ') || u == MakeFourCC('R', 'A', 'W', ' ') ||
         u == MakeFourCC('R', 'G', 'B', ' ');
}

AVCodecID CodecIdOf(FOURCC f) {
  const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
  AVCodecID id = av_codec_get_id(tags, f);
  if (id == AV_CODEC_ID_NONE) id = av_codec_get_id(tags, Upper(f));
  return id;
}

FOURCC TagOf(AVCodecID id) {
  const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
  return av_codec_get_tag(tags, id);
}

// What one encoder can do here.
struct EncoderTraits {
  FOURCC handler;
  AVCodecID id;
  uint32_t flags;         // VIDCF_...
  int32_t default_quality;  // 0..10000, -1: no quality
  int32_t default_key;      // frames between key frames
};

const EncoderTraits kEncoders[] = {
    {MakeFourCC('c', 'v', 'i', 'd'), AV_CODEC_ID_CINEPAK, VIDCF_TEMPORAL | VIDCF_QUALITY,
     CinepakEncoder::kDefaultQuality, 12},
    {MakeFourCC('M', 'S', 'V', 'C'), AV_CODEC_ID_MSVIDEO1, VIDCF_TEMPORAL, -1, 12},
    {kMRLE, AV_CODEC_ID_MSRLE, 0, -1, 1},
    {MakeFourCC('M', 'J', 'P', 'G'), AV_CODEC_ID_MJPEG, VIDCF_QUALITY | VIDCF_CRUNCH, 8500, 1},
    {MakeFourCC('H', 'F', 'Y', 'U'), AV_CODEC_ID_HUFFYUV, 0, -1, 1},
    {MakeFourCC('F', 'F', 'V', 'H'), AV_CODEC_ID_FFVHUFF, 0, -1, 1},
    {MakeFourCC('U', 'L', 'R', 'G'), AV_CODEC_ID_UTVIDEO, 0, -1, 1},
    {MakeFourCC('Z', 'M', 'B', 'V'), AV_CODEC_ID_ZMBV, VIDCF_TEMPORAL, -1, 12},
    {MakeFourCC('F', 'F', 'V', '1'), AV_CODEC_ID_FFV1, VIDCF_TEMPORAL, -1, 12},
};

const EncoderTraits* TraitsOf(AVCodecID id) {
  for (const EncoderTraits& t : kEncoders)
    if (t.id == id) return &t;
  return nullptr;
}

struct CodecEntry {
  FOURCC handler;
  AVCodecID id;
};

// Encoders first, then every other video codec the tag table names.
const std::vector<CodecEntry>& CodecList() {
  AvLogInstall();
  static const std::vector<CodecEntry> list = [] {
    std::vector<CodecEntry> v;
    for (const EncoderTraits& t : kEncoders) {
      if (t.id == AV_CODEC_ID_MSRLE || avcodec_find_encoder(t.id)) v.push_back({t.handler, t.id});
    }
    void* it = nullptr;
    while (const AVCodec* c = av_codec_iterate(&it)) {
      if (c->type != AVMEDIA_TYPE_VIDEO || c->id == AV_CODEC_ID_RAWVIDEO) continue;
      if (std::any_of(v.begin(), v.end(), [&](const CodecEntry& e) { return e.id == c->id; }))
        continue;
      const FOURCC tag = TagOf(c->id);
      // A FourCC opens one codec: a second id under it (H.263+) is no entry.
      if (tag == 0 || std::any_of(v.begin(), v.end(), [&](const CodecEntry& e) { return e.handler == tag; }))
        continue;
      v.push_back({tag, c->id});
    }
    return v;
  }();
  return list;
}

// The pixel format an encoder takes for input of `bits`; NONE: rejected.
AVPixelFormat EncoderFormat(AVCodecID id, int bits) {
  if (id == AV_CODEC_ID_MSRLE) return bits == 8 ? AV_PIX_FMT_PAL8 : AV_PIX_FMT_NONE;
  const AVCodec* c = avcodec_find_encoder(id);
  if (!c || !c->pix_fmts) return AV_PIX_FMT_NONE;
  auto has = [&](AVPixelFormat f) {
    for (const AVPixelFormat* p = c->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
      if (*p == f) return true;
    return false;
  };
  // Native forms first; any other input is expanded to what the encoder
  // takes (a palette or 5-bit channels expand without loss).
  if (bits == 8 && has(AV_PIX_FMT_PAL8)) return AV_PIX_FMT_PAL8;
  if ((bits == 16 || bits == 15) && has(AV_PIX_FMT_RGB555LE)) return AV_PIX_FMT_RGB555LE;
  if (bits != 8 && bits != 15 && bits != 16 && bits != 24 && bits != 32) return AV_PIX_FMT_NONE;
  if (bits == 32) {
    for (AVPixelFormat f : {AV_PIX_FMT_BGRA, AV_PIX_FMT_BGR0, AV_PIX_FMT_GBRAP})
      if (has(f)) return f;
  }
  {
    // Lossless packings first, then what the encoder likes best.
    for (AVPixelFormat f : {AV_PIX_FMT_BGR24, AV_PIX_FMT_RGB24, AV_PIX_FMT_GBRP, AV_PIX_FMT_BGR0,
                            AV_PIX_FMT_BGRA})
      if (has(f)) return f;
    if (has(AV_PIX_FMT_YUVJ420P)) return AV_PIX_FMT_YUVJ420P;
    if (has(AV_PIX_FMT_RGB555LE)) return AV_PIX_FMT_RGB555LE;
    return c->pix_fmts[0];
  }
}

// Bits of the compressed format's header for an encoder pixel format.
int OutputBits(AVPixelFormat f) {
  switch (f) {
    case AV_PIX_FMT_PAL8: return 8;
    case AV_PIX_FMT_RGB555LE: return 16;
    case AV_PIX_FMT_BGRA:
    case AV_PIX_FMT_BGR0:
    case AV_PIX_FMT_GBRAP: return 32;
    default: return 24;
  }
}

AVPixelFormat DibFormat(int bits) {
  switch (bits) {
    case 8: return AV_PIX_FMT_PAL8;
    case 15:
    case 16: return AV_PIX_FMT_RGB555LE;
    case 24: return AV_PIX_FMT_BGR24;
    case 32: return AV_PIX_FMT_BGR0;
    default: return AV_PIX_FMT_NONE;
  }
}

int64_t Stride(int64_t width, int bits) { return (width * ((bits + 7) / 8) + 3) / 4 * 4; }

bool SaneSize(int64_t w, int64_t h) {
  if (h < 0) h = -h;
  return w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide && w * h <= kMaxPixels;
}

// A scaler between two pixel formats; the full-range "J" formats are named
// by their plain form with the range set, as the scaler wants.
AVPixelFormat PlainFormat(AVPixelFormat f, bool& full) {
  switch (f) {
    case AV_PIX_FMT_YUVJ420P: full = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: full = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: full = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: full = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: full = true; return AV_PIX_FMT_YUV411P;
    default: return f;
  }
}

SwsContext* Scaler(SwsContext* old, int w, int h, AVPixelFormat from, AVPixelFormat to,
                   bool from_full, AVColorSpace matrix) {
  bool src_full = from_full, dst_full = false;
  const AVPixelFormat a = PlainFormat(from, src_full);
  const AVPixelFormat b = PlainFormat(to, dst_full);
  SwsContext* s = sws_getCachedContext(old, w, h, a, w, h, b,
                                       SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                       nullptr, nullptr, nullptr);
  if (!s) return nullptr;
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(a);
  if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) || d->nb_components < 3) return s;
  // A YUV picture: its own range and matrix (BT.601 unless it names another).
  int* inv = nullptr;
  int* tab = nullptr;
  int sr = 0, dr = 0, bright = 0, con = 0, sat = 0;
  if (sws_getColorspaceDetails(s, &inv, &sr, &tab, &dr, &bright, &con, &sat) < 0) return s;
  const bool named = matrix == AVCOL_SPC_BT709 || matrix == AVCOL_SPC_FCC ||
                     matrix == AVCOL_SPC_BT470BG || matrix == AVCOL_SPC_SMPTE170M ||
                     matrix == AVCOL_SPC_SMPTE240M || matrix == AVCOL_SPC_BT2020_NCL;
  const int* coefficients = sws_getCoefficients(named ? matrix : SWS_CS_DEFAULT);
  sws_setColorspaceDetails(s, coefficients, src_full ? 1 : 0, tab, dst_full ? 1 : dr, bright, con, sat);
  return s;
}

// ---- our Microsoft RLE encoder: key frames, bottom-up rows, runs of equal
// bytes and literal stretches of 3 or more.
void RleRow(const uint8_t* p, int w, std::vector<uint8_t>& out) {
  int x = 0;
  while (x < w) {
    int run = 1;
    while (x + run < w && run < 255 && p[x + run] == p[x]) ++run;
    if (run >= 2) {
      out.push_back(static_cast<uint8_t>(run));
      out.push_back(p[x]);
      x += run;
      continue;
    }
    // A literal stretch up to the next run of two or more equal bytes.
    int n = 1;
    while (x + n < w && n < 255 && !(x + n + 1 < w && p[x + n] == p[x + n + 1])) ++n;
    if (n < 3) {
      for (int k = 0; k < n; ++k) {
        out.push_back(1);
        out.push_back(p[x + k]);
      }
    } else {
      out.push_back(0);
      out.push_back(static_cast<uint8_t>(n));
      out.insert(out.end(), p + x, p + x + n);
      if (n & 1) out.push_back(0);
    }
    x += n;
  }
}

// ---- a codec opened by ICOpen
}  // namespace

struct IcCodec {
  FOURCC handler = 0;
  AVCodecID id = AV_CODEC_ID_NONE;
  uint32_t mode = 0;
  const EncoderTraits* traits = nullptr;
  // Settings (ICM_GETSTATE/SETSTATE bytes).
  struct State {
    uint32_t magic;
    int32_t quality;  // 0..10000, -1 default
    int32_t key_rate;
    int32_t data_rate;  // bytes per second, 0 none
  } state{0x74736B76, -1, 0, 0};
  // Compression in progress.
  AVCodecContext* enc = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  AVPixelFormat in_fmt = AV_PIX_FMT_NONE;
  AVPixelFormat enc_fmt = AV_PIX_FMT_NONE;
  int width = 0, height = 0, in_bits = 0;
  int64_t frames = 0;
  std::vector<uint8_t> rle;
  std::unique_ptr<CinepakEncoder> cvid;  // ours: libavcodec's takes seconds a frame
  std::unique_ptr<MjpegFrameEncoder> mjpg;  // libjpeg-turbo for 24/32-bit frames

  IcCodec() { ++g_codecs; }
  ~IcCodec() {
    EndCompress();
    --g_codecs;
  }
  void EndCompress() {
    avcodec_free_context(&enc);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    sws_freeContext(sws);
    sws = nullptr;
    cvid.reset();
    mjpg.reset();
  }
};

namespace {

// The Motion JPEG quantiser scale of the settings (quality 10000 is scale 1,
// quality 0 scale 31); 0 when a data rate asks for rate control instead.
int MjpegScale(const IcCodec& ic, const AVICOMPRESSOPTIONS* opts) {
  int quality = ic.state.quality;
  int rate = ic.state.data_rate;
  if (opts) {
    if (opts->dwQuality <= 10000) quality = static_cast<int>(opts->dwQuality);
    if (opts->dwFlags & AVICOMPRESSF_DATARATE) rate = static_cast<int>(opts->dwBytesPerSecond);
  }
  if (rate > 0 && ic.traits && (ic.traits->flags & VIDCF_CRUNCH)) return 0;
  const int q = quality >= 0 ? quality : ic.traits->default_quality;
  return 1 + (10000 - std::clamp(q, 0, 10000)) * 30 / 10000;
}

// Opens the encoder for input of that header; null when it refuses.
AVCodecContext* OpenEncoder(const IcCodec& ic, int w, int h, AVPixelFormat fmt,
                            const AVICOMPRESSOPTIONS* opts) {
  const AVCodec* c = avcodec_find_encoder(ic.id);
  if (!c) return nullptr;
  AVCodecContext* e = avcodec_alloc_context3(c);
  if (!e) return nullptr;
  e->width = w;
  e->height = h;
  e->pix_fmt = fmt;
  e->time_base = AVRational{1, 25};
  // Slice threads only: a frame still goes in and its packet comes out in
  // one call, as the interface's callers expect.
  e->thread_count = WorkerCount();
  e->thread_type = FF_THREAD_SLICE;
  e->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  int key = ic.state.key_rate > 0 ? ic.state.key_rate : (ic.traits ? ic.traits->default_key : 12);
  int rate = ic.state.data_rate;
  if (opts) {
    if (opts->dwFlags & AVICOMPRESSF_KEYFRAMES) key = static_cast<int>(opts->dwKeyFrameEvery);
    if (opts->dwFlags & AVICOMPRESSF_DATARATE) rate = static_cast<int>(opts->dwBytesPerSecond);
  }
  if (key <= 0) key = 1;
  e->gop_size = key;
  e->keyint_min = key;
  if (ic.id == AV_CODEC_ID_MJPEG) {
    if (rate > 0 && ic.traits && (ic.traits->flags & VIDCF_CRUNCH)) {
      e->bit_rate = int64_t(rate) * 8;
      e->rc_max_rate = e->bit_rate;
      e->rc_buffer_size = static_cast<int>(std::min<int64_t>(e->bit_rate, INT32_MAX));
    } else {
      e->flags |= AV_CODEC_FLAG_QSCALE;
      e->global_quality = FF_QP2LAMBDA * MjpegScale(ic, opts);
    }
  }
  if (ic.id == AV_CODEC_ID_FFV1) av_opt_set_int(e->priv_data, "slicecrc", 0, 0);
  if (avcodec_open2(e, c, nullptr) < 0) {
    avcodec_free_context(&e);
    return nullptr;
  }
  return e;
}

const BITMAPINFOHEADER* Header(uintptr_t p) { return reinterpret_cast<const BITMAPINFOHEADER*>(p); }

// Whether the codec takes input of this header.
bool Accepts(const IcCodec& ic, const BITMAPINFOHEADER* in) {
  if (!in || in->biSize < 40 || (in->biCompression != 0 && in->biCompression != 3)) return false;
  if (!SaneSize(in->biWidth, in->biHeight)) return false;
  const AVPixelFormat f = EncoderFormat(ic.id, in->biBitCount);
  if (f == AV_PIX_FMT_NONE) return false;
  // Chroma-subsampled and block encoders want even or block-sized pictures.
  if (ic.id == AV_CODEC_ID_CINEPAK || ic.id == AV_CODEC_ID_MSVIDEO1)
    return in->biWidth % 4 == 0 && std::abs(in->biHeight) % 4 == 0;
  return true;
}

// ICM_COMPRESS_GET_FORMAT: the output header (with its extra data), or its size.
LRESULT GetFormat(IcCodec& ic, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
  if (!Accepts(ic, in)) return ICERR_BADFORMAT;
  const AVPixelFormat f = EncoderFormat(ic.id, in->biBitCount);
  std::vector<uint8_t> extra;
  if (ic.id != AV_CODEC_ID_MSRLE && ic.id != AV_CODEC_ID_CINEPAK) {
    AVCodecContext* e = OpenEncoder(ic, in->biWidth, std::abs(in->biHeight), f, nullptr);
    if (!e) return ICERR_BADFORMAT;
    if (e->extradata && e->extradata_size > 0)
      extra.assign(e->extradata, e->extradata + e->extradata_size);
    avcodec_free_context(&e);
  }
  const int bits = OutputBits(f);
  const size_t palette = bits == 8 ? 1024 : 0;
  const LRESULT size = static_cast<LRESULT>(40 + palette + extra.size());
  if (!out) return size;
  BITMAPINFOHEADER h{};
  h.biSize = static_cast<uint32_t>(40 + extra.size());
  h.biWidth = in->biWidth;
  h.biHeight = std::abs(in->biHeight);
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(bits);
  h.biCompression = ic.handler;
  if (ic.id == AV_CODEC_ID_UTVIDEO) h.biCompression = MakeFourCC('U', 'L', 'R', 'G');
  if (ic.id == AV_CODEC_ID_UTVIDEO && f == AV_PIX_FMT_GBRAP) h.biCompression = MakeFourCC('U', 'L', 'R', 'A');
  h.biSizeImage = static_cast<uint32_t>(Stride(h.biWidth, bits) * h.biHeight);
  auto* o = reinterpret_cast<uint8_t*>(out);
  std::memcpy(o, &h, 40);
  if (!extra.empty()) std::memcpy(o + 40, extra.data(), extra.size());
  if (palette) {
    h.biClrUsed = 256;
    std::memcpy(o, &h, 40);
    // The palette follows the header; the caller's input palette, if any.
    const auto* src = reinterpret_cast<const uint8_t*>(in) + in->biSize;
    if (in->biBitCount == 8 && in->biSize == 40) std::memcpy(o + 40 + extra.size(), src, 1024);
    else std::memset(o + 40 + extra.size(), 0, 1024);
  }
  return size;
}

LRESULT CompressBegin(IcCodec& ic, const BITMAPINFOHEADER* in, const AVICOMPRESSOPTIONS* opts) {
  ic.EndCompress();
  if (!Accepts(ic, in)) return ICERR_BADFORMAT;
  ic.width = in->biWidth;
  ic.height = std::abs(in->biHeight);
  ic.in_bits = in->biBitCount;
  ic.in_fmt = DibFormat(in->biBitCount);
  ic.enc_fmt = EncoderFormat(ic.id, in->biBitCount);
  ic.frames = 0;
  if (ic.id == AV_CODEC_ID_MSRLE) return ICERR_OK;
  if (ic.id == AV_CODEC_ID_CINEPAK) {
    int key = ic.state.key_rate > 0 ? ic.state.key_rate : ic.traits->default_key;
    int quality = ic.state.quality >= 0 ? ic.state.quality : ic.traits->default_quality;
    if (opts && (opts->dwFlags & AVICOMPRESSF_KEYFRAMES)) key = static_cast<int>(opts->dwKeyFrameEvery);
    if (opts && opts->dwQuality <= 10000) quality = static_cast<int>(opts->dwQuality);
    ic.cvid.reset(new (std::nothrow) CinepakEncoder(ic.width, ic.height, std::max(key, 1), quality));
    return ic.cvid ? ICERR_OK : ICERR_MEMORY;
  }
  if (ic.id == AV_CODEC_ID_MJPEG && MjpegFrameEncoder::Takes(ic.in_bits)) {
    // libjpeg-turbo encodes the same pictures several times faster.
    if (const int scale = MjpegScale(ic, opts); scale > 0) {
      ic.mjpg.reset(new (std::nothrow) MjpegFrameEncoder(ic.width, ic.height, scale));
      if (!ic.mjpg || !ic.mjpg->ok()) {
        ic.mjpg.reset();
        return ICERR_MEMORY;
      }
      return ICERR_OK;
    }
  }
  ic.enc = OpenEncoder(ic, ic.width, ic.height, ic.enc_fmt, opts);
  ic.frame = av_frame_alloc();
  ic.pkt = av_packet_alloc();
  if (!ic.enc || !ic.frame || !ic.pkt) {
    ic.EndCompress();
    return ICERR_MEMORY;
  }
  ic.frame->format = ic.enc_fmt;
  ic.frame->width = ic.width;
  ic.frame->height = ic.height;
  if (av_frame_get_buffer(ic.frame, 0) < 0) {
    ic.EndCompress();
    return ICERR_MEMORY;
  }
  if (ic.enc_fmt != ic.in_fmt) {
    // The conversion ffmpeg itself makes for these encoders. The full-range
    // YUV formats are named as such: as a plain YUV 4:2:0 target with the
    // range set, blue-green-red input takes the scaler's shortcut, which
    // ignores the range (studio-range values stored as full range) and
    // takes each chroma sample from one pixel instead of its four.
    ic.sws = sws_getContext(ic.width, ic.height, ic.in_fmt, ic.width, ic.height, ic.enc_fmt,
                            SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!ic.sws) {
      ic.EndCompress();
      return ICERR_BADFORMAT;
    }
  }
  return ICERR_OK;
}

LRESULT CompressSize(const IcCodec& ic, const BITMAPINFOHEADER* in) {
  if (!in || !SaneSize(in->biWidth, in->biHeight)) return 0;
  const int64_t raw = int64_t(in->biWidth) * std::abs(in->biHeight) * 4;
  (void)ic;
  return static_cast<LRESULT>(raw * 2 + 65536);
}

LRESULT Compress(IcCodec& ic, ICCOMPRESS* c) {
  if (!c || !c->lpbiInput || !c->lpInput || !c->lpOutput || !c->lpbiOutput) return ICERR_BADPARAM;
  const BITMAPINFOHEADER* in = c->lpbiInput;
  if (in->biWidth != ic.width || std::llabs(int64_t{in->biHeight}) != ic.height || in->biBitCount != ic.in_bits)
    return ICERR_BADFORMAT;
  const int64_t stride = Stride(ic.width, ic.in_bits);
  const auto* bits = static_cast<const uint8_t*>(c->lpInput);
  // Bottom-up rows unless the height is negative.
  const bool top_down = in->biHeight < 0;
  const uint8_t* top = top_down ? bits : bits + stride * (ic.height - 1);
  const int top_stride = static_cast<int>(top_down ? stride : -stride);
  const auto* pal = reinterpret_cast<const uint8_t*>(in) + in->biSize;
  const size_t room = static_cast<size_t>(CompressSize(ic, in));
  const bool key = (c->dwFlags & ICCOMPRESS_KEYFRAME) || ic.frames % std::max(1, ic.enc ? ic.enc->gop_size : 1) == 0;
  if (ic.id == AV_CODEC_ID_MSRLE) {
    ic.rle.clear();
    for (int y = ic.height - 1; y >= 0; --y) {
      RleRow(top + int64_t(y) * top_stride, ic.width, ic.rle);
      ic.rle.push_back(0);
      ic.rle.push_back(0);
    }
    ic.rle.back() = 1;  // the last end of line becomes the end of the picture
    if (ic.rle.size() > room) return ICERR_BADSIZE;
    std::memcpy(c->lpOutput, ic.rle.data(), ic.rle.size());
    c->lpbiOutput->biSizeImage = static_cast<uint32_t>(ic.rle.size());
    if (c->lpdwFlags) *c->lpdwFlags = AVIIF_KEYFRAME;
    ++ic.frames;
    return ICERR_OK;
  }
  if (ic.cvid) {
    if (c->dwQuality <= 10000) ic.cvid->SetQuality(static_cast<int>(c->dwQuality));
    bool cvid_key = false;
    if (!ic.cvid->Encode(top, top_stride, ic.in_bits, pal, c->dwFlags & ICCOMPRESS_KEYFRAME, ic.rle, cvid_key))
      return ICERR_BADFORMAT;
    if (ic.rle.size() > room) return ICERR_BADSIZE;
    std::memcpy(c->lpOutput, ic.rle.data(), ic.rle.size());
    c->lpbiOutput->biSizeImage = static_cast<uint32_t>(ic.rle.size());
    if (c->lpdwFlags) *c->lpdwFlags = cvid_key ? AVIIF_KEYFRAME : 0;
    ++ic.frames;
    return ICERR_OK;
  }
  if (ic.mjpg) {
    if (!ic.mjpg->Encode(top, top_stride, ic.in_bits)) return ICERR_ERROR;
    if (ic.mjpg->size() > room) return ICERR_BADSIZE;
    std::memcpy(c->lpOutput, ic.mjpg->data(), ic.mjpg->size());
    c->lpbiOutput->biSizeImage = static_cast<uint32_t>(ic.mjpg->size());
    if (c->lpdwFlags) *c->lpdwFlags = AVIIF_KEYFRAME;
    ++ic.frames;
    return ICERR_OK;
  }
  if (av_frame_make_writable(ic.frame) < 0) return ICERR_MEMORY;
  if (ic.sws) {
    uint32_t argb[256];
    // Top-down rows of their own: not every converter takes negative
    // strides, and the scaler reads past the end of a row (vector blocks,
    // and the pixel after the last for the chroma of an odd width), so the
    // rows go on with their last pixel.
    const int px = (ic.in_bits + 7) / 8;
    const int64_t row = int64_t(ic.width) * px;
    const int64_t room = (row + 63) / 64 * 64 + 64;
    ic.rle.resize(static_cast<size_t>(room * (ic.height + 2)));
    for (int y = 0; y < ic.height; ++y) {
      uint8_t* d = ic.rle.data() + room * y;
      std::memcpy(d, top + int64_t(y) * top_stride, static_cast<size_t>(row));
      for (int64_t x = row; x + px <= room; x += px) std::memcpy(d + x, d + row - px, static_cast<size_t>(px));
    }
    const uint8_t* src[4] = {ic.rle.data(), nullptr, nullptr, nullptr};
    int src_stride[4] = {static_cast<int>(room), 0, 0, 0};
    if (ic.in_fmt == AV_PIX_FMT_PAL8) {
      for (int i = 0; i < 256; ++i)
        argb[i] = 0xFF000000u | uint32_t(pal[i * 4 + 2]) << 16 | uint32_t(pal[i * 4 + 1]) << 8 | pal[i * 4];
      src[1] = reinterpret_cast<const uint8_t*>(argb);
    }
    sws_scale(ic.sws, src, src_stride, 0, ic.height, ic.frame->data, ic.frame->linesize);
  } else {
    const int row = static_cast<int>(ic.width * ((ic.in_bits + 7) / 8));
    for (int y = 0; y < ic.height; ++y)
      std::memcpy(ic.frame->data[0] + int64_t(y) * ic.frame->linesize[0], top + int64_t(y) * top_stride,
                  static_cast<size_t>(row));
    if (ic.in_fmt == AV_PIX_FMT_PAL8) {
      auto* argb = reinterpret_cast<uint32_t*>(ic.frame->data[1]);
      for (int i = 0; i < 256; ++i)
        argb[i] = 0xFF000000u | uint32_t(pal[i * 4 + 2]) << 16 | uint32_t(pal[i * 4 + 1]) << 8 | pal[i * 4];
    }
  }
  ic.frame->pts = ic.frames;
  ic.frame->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  ic.frame->key_frame = key ? 1 : 0;
  if (ic.enc->flags & AV_CODEC_FLAG_QSCALE) ic.frame->quality = ic.enc->global_quality;
  if (avcodec_send_frame(ic.enc, ic.frame) < 0) return ICERR_ERROR;
  const int r = avcodec_receive_packet(ic.enc, ic.pkt);
  if (r < 0) return ICERR_ERROR;  // these encoders never hold frames back
  if (static_cast<size_t>(ic.pkt->size) > room) {
    av_packet_unref(ic.pkt);
    return ICERR_BADSIZE;
  }
  std::memcpy(c->lpOutput, ic.pkt->data, static_cast<size_t>(ic.pkt->size));
  c->lpbiOutput->biSizeImage = static_cast<uint32_t>(ic.pkt->size);
  if (c->lpdwFlags) *c->lpdwFlags = (ic.pkt->flags & AV_PKT_FLAG_KEY) ? AVIIF_KEYFRAME : 0;
  av_packet_unref(ic.pkt);
  ++ic.frames;
  return ICERR_OK;
}

std::string LongName(AVCodecID id) {
  const AVCodecDescriptor* d = avcodec_descriptor_get(id);
  return d && d->long_name ? d->long_name : d ? d->name : "unknown";
}

void FillInfo(FOURCC handler, AVCodecID id, ICINFO& info) {
  info = ICINFO{};
  info.dwSize = sizeof(ICINFO);
  info.fccType = ICTYPE_VIDEO;
  info.fccHandler = handler;
  const EncoderTraits* t = TraitsOf(id);
  info.dwFlags = t ? t->flags : 0;
  info.dwVersion = LIBAVCODEC_VERSION_INT;
  info.dwVersionICM = 0x0104;
  const AVCodecDescriptor* d = avcodec_descriptor_get(id);
  std::string name = d ? d->name : "unknown";
  std::string desc = LongName(id);
  if (id == AV_CODEC_ID_MSRLE) desc = "Microsoft RLE";
  // Two rows of one name (MJPG and LJPG, which opens the same Motion JPEG
  // codec; v210 and v210x): the later one carries its FourCC as well.
  char fcc[8] = " (    )";
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((handler >> (8 * i)) & 0xFF);
    fcc[2 + i] = c >= 32 && c < 127 ? c : ' ';
  }
  bool name_taken = false, desc_taken = false;
  for (const CodecEntry& e : CodecList()) {
    if (Upper(e.handler) == Upper(handler)) break;  // the row itself, in either case
    const AVCodecDescriptor* other = avcodec_descriptor_get(e.id);
    name_taken = name_taken || name == (other ? other->name : "unknown");
    desc_taken = desc_taken || (e.id != AV_CODEC_ID_MSRLE && desc == LongName(e.id));
  }
  if (name_taken) name += fcc;
  if (desc_taken) desc += fcc;
  std::snprintf(info.szName, sizeof info.szName, "%s", name.c_str());
  std::snprintf(info.szDescription, sizeof info.szDescription, "%s", desc.c_str());
  std::snprintf(info.szDriver, sizeof info.szDriver, "libavcodec");
}

}  // namespace

int32_t IcOpenCodecs() { return g_codecs.load(); }

bool ICInfo(FOURCC type, FOURCC handler, ICINFO* info) {
  if (!info || (type != ICTYPE_VIDEO && type != 0)) return false;
  const auto& list = CodecList();
  if (handler < 256) {
    // An index into the list.
    if (handler >= list.size()) return false;
    FillInfo(list[handler].handler, list[handler].id, *info);
    return true;
  }
  const AVCodecID id = CodecIdOf(handler);
  if (id == AV_CODEC_ID_NONE || id == AV_CODEC_ID_RAWVIDEO) return false;
  if (!avcodec_find_decoder(id) && !avcodec_find_encoder(id) && id != AV_CODEC_ID_MSRLE) return false;
  FillInfo(handler, id, *info);
  return true;
}

HIC ICOpen(FOURCC type, FOURCC handler, uint32_t mode) {
  AvLogInstall();
  if (type != ICTYPE_VIDEO || IsRawHandler(handler)) return nullptr;
  const AVCodecID id = CodecIdOf(handler);
  if (id == AV_CODEC_ID_NONE || id == AV_CODEC_ID_RAWVIDEO) return nullptr;
  const bool can_encode = id == AV_CODEC_ID_MSRLE || (TraitsOf(id) && avcodec_find_encoder(id));
  if ((mode & ICMODE_COMPRESS) && !can_encode) return nullptr;
  if ((mode & ICMODE_DECOMPRESS) && !avcodec_find_decoder(id)) return nullptr;
  if (!can_encode && !avcodec_find_decoder(id)) return nullptr;
  auto* ic = new (std::nothrow) IcCodec();
  if (!ic) return nullptr;
  ic->handler = handler;
  ic->id = id;
  ic->mode = mode;
  ic->traits = can_encode ? TraitsOf(id) : nullptr;
  return ic;
}

LRESULT ICClose(HIC codec) {
  delete codec;
  return ICERR_OK;
}

LRESULT ICGetInfo(HIC codec, ICINFO* info, uint32_t size) {
  if (!codec || !info || size < sizeof(ICINFO)) return 0;
  FillInfo(codec->handler, codec->id, *info);
  return sizeof(ICINFO);
}

LRESULT ICSendMessage(HIC ic, uint32_t message, uintptr_t p1, uintptr_t p2) {
  if (!ic) return ICERR_BADHANDLE;
  const EncoderTraits* t = ic->traits;
  switch (message) {
    case ICM_ABOUT:
    case ICM_CONFIGURE:
      // No boxes on this platform: a query says so, a request fails the same way.
      return ICERR_UNSUPPORTED;
    case ICM_GETINFO:
      return ICGetInfo(ic, reinterpret_cast<ICINFO*>(p1), static_cast<uint32_t>(p2));
    case ICM_GETSTATE:
      if (!t) return ICERR_UNSUPPORTED;
      if (p1 == 0) return sizeof ic->state;
      if (p2 < sizeof ic->state) return ICERR_BADSIZE;
      std::memcpy(reinterpret_cast<void*>(p1), &ic->state, sizeof ic->state);
      return sizeof ic->state;
    case ICM_SETSTATE: {
      if (!t) return ICERR_UNSUPPORTED;
      if (p1 == 0) {
        ic->state = IcCodec::State{0x74736B76, -1, 0, 0};
        return 0;
      }
      if (p2 < sizeof ic->state) return 0;
      IcCodec::State s;
      std::memcpy(&s, reinterpret_cast<const void*>(p1), sizeof s);
      if (s.magic != 0x74736B76) return 0;
      s.quality = std::clamp(s.quality, -1, 10000);
      s.key_rate = std::max(s.key_rate, 0);
      s.data_rate = std::max(s.data_rate, 0);
      ic->state = s;
      return sizeof s;
    }
    case ICM_GETDEFAULTQUALITY:
      if (!t || t->default_quality < 0) return ICERR_UNSUPPORTED;
      if (p1) *reinterpret_cast<uint32_t*>(p1) = static_cast<uint32_t>(t->default_quality);
      return ICERR_OK;
    case ICM_GETQUALITY:
      if (!t || t->default_quality < 0) return ICERR_UNSUPPORTED;
      if (p1)
        *reinterpret_cast<uint32_t*>(p1) =
            static_cast<uint32_t>(ic->state.quality >= 0 ? ic->state.quality : t->default_quality);
      return ICERR_OK;
    case ICM_SETQUALITY:
      if (!t || t->default_quality < 0) return ICERR_UNSUPPORTED;
      ic->state.quality = static_cast<int32_t>(std::min<uintptr_t>(p1, 10000));
      return ICERR_OK;
    case ICM_GETDEFAULTKEYFRAMERATE:
      if (!t || !(t->flags & VIDCF_TEMPORAL)) return ICERR_UNSUPPORTED;
      if (p1) *reinterpret_cast<uint32_t*>(p1) = static_cast<uint32_t>(t->default_key);
      return ICERR_OK;
    case ICM_COMPRESS_QUERY:
      if (!t) return ICERR_UNSUPPORTED;
      return Accepts(*ic, Header(p1)) ? ICERR_OK : ICERR_BADFORMAT;
    case ICM_COMPRESS_GET_FORMAT:
      if (!t) return ICERR_UNSUPPORTED;
      return GetFormat(*ic, Header(p1), reinterpret_cast<BITMAPINFOHEADER*>(p2));
    case ICM_COMPRESS_GET_SIZE:
      if (!t) return ICERR_UNSUPPORTED;
      return CompressSize(*ic, Header(p1));
    case ICM_COMPRESS_FRAMES_INFO: {
      if (!t) return ICERR_UNSUPPORTED;
      const auto* f = reinterpret_cast<const ICCOMPRESSFRAMES*>(p1);
      if (!f) return ICERR_BADPARAM;
      if (f->lQuality >= 0 && f->lQuality <= 10000) ic->state.quality = f->lQuality;
      if (f->lKeyRate > 0) ic->state.key_rate = f->lKeyRate;
      if (f->lDataRate > 0) ic->state.data_rate = f->lDataRate;
      return ICERR_OK;
    }
    case ICM_COMPRESS_BEGIN:
      if (!t) return ICERR_UNSUPPORTED;
      return CompressBegin(*ic, Header(p1), nullptr);
    case ICM_COMPRESS:
      if (!t) return ICERR_UNSUPPORTED;
      if (ic->id != AV_CODEC_ID_MSRLE && !ic->enc && !ic->cvid && !ic->mjpg) return ICERR_BADFORMAT;
      return Compress(*ic, reinterpret_cast<ICCOMPRESS*>(p1));
    case ICM_COMPRESS_END:
      ic->EndCompress();
      return ICERR_OK;
    case ICM_DECOMPRESS_QUERY: {
      const BITMAPINFOHEADER* in = Header(p1);
      return in && avcodec_find_decoder(ic->id) ? ICERR_OK : ICERR_BADFORMAT;
    }
    default:
      return ICERR_UNSUPPORTED;
  }
}

// ---------------------------------------------------------------- compressed stream

namespace {

class CompressedStream final : public AviStream {
 public:
  CompressedStream(PAVISTREAM target, const AVICOMPRESSOPTIONS& o) : target_(target), opts_(o) {
    AviObjectMade();
  }
  ~CompressedStream() override {
    if (ic_) ICClose(ic_);
    AviObjectGone();
  }
  uint32_t Release() override {
    delete this;
    return 0;
  }
  HRESULT Info(AVISTREAMINFO& info) override { return target_->Info(info); }
  HRESULT ReadFormat(void* format, int32_t* size) override {
    if (!size) return AVIERR_BADPARAM;
    const int32_t n = static_cast<int32_t>(in_.size());
    if (format) std::memcpy(format, in_.data(), static_cast<size_t>(std::clamp(*size, 0, n)));
    *size = n;
    return in_.empty() ? AVIERR_NODATA : AVIERR_OK;
  }
  HRESULT SetFormat(const void* format, int32_t size) override;
  int32_t Length() override { return target_->Length(); }
  HRESULT Read(int32_t, int32_t, void*, int32_t, int32_t*, int32_t*) override {
    return AVIERR_UNSUPPORTED;
  }
  HRESULT Write(int32_t start, int32_t samples, const void* buffer, int32_t buffer_size,
                uint32_t flags, int32_t* samples_written, int32_t* bytes_written) override;
  bool IsKey(int32_t pos) override { return target_->IsKey(pos); }

  PAVISTREAM target_;
  AVICOMPRESSOPTIONS opts_;
  HIC ic_ = nullptr;
  std::vector<uint8_t> in_, out_fmt_, out_;
  int32_t frame_ = 0;
};

HRESULT CompressedStream::SetFormat(const void* format, int32_t size) {
  if (!format || size < 40) return AVIERR_BADPARAM;
  if (ic_) return AVIERR_UNSUPPORTED;
  const auto* b = static_cast<const uint8_t*>(format);
  in_.assign(b, b + size);
  const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(in_.data());
  if (in->biSize != 40 || (in->biBitCount == 8 && size < 40 + 1024)) return AVIERR_BADFORMAT;
  if (IsRawHandler(opts_.fccHandler)) return target_->SetFormat(format, size);
  ic_ = ICOpen(ICTYPE_VIDEO, opts_.fccHandler, ICMODE_COMPRESS);
  if (!ic_) return AVIERR_NOCOMPRESSOR;
  if (opts_.lpParms && opts_.cbParms > 0)
    ICSendMessage(ic_, ICM_SETSTATE, reinterpret_cast<uintptr_t>(opts_.lpParms), opts_.cbParms);
  const LRESULT n = ICSendMessage(ic_, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<uintptr_t>(in), 0);
  if (n < 40) return AVIERR_COMPRESSOR;
  out_fmt_.assign(static_cast<size_t>(n), 0);
  if (ICSendMessage(ic_, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<uintptr_t>(in),
                    reinterpret_cast<uintptr_t>(out_fmt_.data())) < 40)
    return AVIERR_COMPRESSOR;
  if (CompressBegin(*ic_, in, &opts_) != ICERR_OK) return AVIERR_COMPRESSOR;
  out_.resize(static_cast<size_t>(ICSendMessage(ic_, ICM_COMPRESS_GET_SIZE, reinterpret_cast<uintptr_t>(in), 0)));
  return target_->SetFormat(out_fmt_.data(), static_cast<int32_t>(out_fmt_.size()));
}

HRESULT CompressedStream::Write(int32_t start, int32_t samples, const void* buffer,
                                int32_t buffer_size, uint32_t flags, int32_t* samples_written,
                                int32_t* bytes_written) {
  if (in_.empty()) return AVIERR_BADFORMAT;
  if (!ic_) return target_->Write(start, samples, buffer, buffer_size, flags | AVIIF_KEYFRAME,
                                  samples_written, bytes_written);
  auto* in = reinterpret_cast<BITMAPINFOHEADER*>(in_.data());
  const int64_t need = Stride(in->biWidth, in->biBitCount) * std::abs(in->biHeight);
  if (!buffer || buffer_size < need) return AVIERR_BADSIZE;
  BITMAPINFOHEADER out_h;
  std::memcpy(&out_h, out_fmt_.data(), 40);
  uint32_t out_flags = 0, ckid = 0;
  ICCOMPRESS c{};
  c.dwFlags = frame_ == 0 ? ICCOMPRESS_KEYFRAME : 0;
  c.lpbiOutput = &out_h;
  c.lpOutput = out_.data();
  c.lpbiInput = in;
  c.lpInput = buffer;
  c.lpckid = &ckid;
  c.lpdwFlags = &out_flags;
  c.lFrameNum = frame_;
  c.dwQuality = opts_.dwQuality;
  if (ICSendMessage(ic_, ICM_COMPRESS, reinterpret_cast<uintptr_t>(&c), sizeof c) != ICERR_OK)
    return AVIERR_COMPRESSOR;
  ++frame_;
  return target_->Write(start, samples, out_.data(), static_cast<int32_t>(out_h.biSizeImage),
                        out_flags, samples_written, bytes_written);
}

}  // namespace

HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                const AVICOMPRESSOPTIONS* options, const CLSID* handler) {
  if (!compressed) return AVIERR_BADPARAM;
  *compressed = nullptr;
  if (!source || !options) return AVIERR_BADPARAM;
  if (handler && std::memcmp(handler, &CLSID_AVICmprsStream, sizeof(CLSID)) != 0)
    return AVIERR_UNSUPPORTED;
  AVISTREAMINFO si{};
  source->Info(si);
  if (si.fccType != streamtypeVIDEO) return AVIERR_UNSUPPORTED;
  if (!IsRawHandler(options->fccHandler)) {
    HIC probe = ICOpen(ICTYPE_VIDEO, options->fccHandler, ICMODE_COMPRESS);
    if (!probe) return AVIERR_NOCOMPRESSOR;
    ICClose(probe);
  }
  auto* s = new (std::nothrow) CompressedStream(source, *options);
  if (!s) return AVIERR_MEMORY;
  *compressed = s;
  return AVIERR_OK;
}

// ---------------------------------------------------------------- frame decompressor

}  // namespace vek::platform

struct vek::platform::GetFrame {
  PAVISTREAM stream = nullptr;
  std::vector<uint8_t> format;  // the stream's format
  int width = 0, height = 0, bits = 0;
  bool raw = false;
  // Empty chunks hold no picture: a frame whose chunk is empty shows the
  // picture before it. Pictures are numbered over the chunks that hold one
  // (`chunk_of`, empty when every chunk does); `picture_of` gives each
  // frame its picture, -1 before the first.
  std::vector<int32_t> chunk_of;
  std::vector<int32_t> picture_of;
  AVCodecContext* dec = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  bool intra_only = false;
  // Codecs that reorder pictures give them in another order than their
  // packets: each picture is known by its packet (sent as its time stamp),
  // and the display number of each packet is learnt by decoding, numbering
  // the pictures in the order they come out from a point already known.
  bool reorder = false;
  std::vector<int32_t> display;    // display number of each packet, -1 unknown
  std::vector<int32_t> packet_of;  // packet of each display number
  int32_t mapped = 0;              // display numbers 0 .. mapped - 1 are known
  // The decoding run.
  bool running = false;
  int32_t start = 0;         // packet the run began with
  int32_t next_packet = 0;   // next packet to send
  int32_t pending = 0;       // packets sent whose pictures have not come out
  bool drained = false;      // the end of the stream was sent
  int32_t last_shown = -1;   // display number of the run's last picture
  int32_t have = -1;         // frame whose picture `out` holds
  std::vector<uint8_t> chunk;
  std::vector<uint8_t> out;  // packed bitmap delivered
  std::vector<uint8_t> rows;  // scaler output, top-down
  uint8_t palette[1024] = {};

  GetFrame() { AviObjectMade(); }
  ~GetFrame() {
    avcodec_free_context(&dec);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    sws_freeContext(sws);
    AviObjectGone();
  }
};

namespace vek::platform {

namespace {

// Chunk of picture `pos`.
int32_t ChunkOf(const GetFrame& g, int32_t pos) {
  return g.chunk_of.empty() ? pos : g.chunk_of[size_t(pos)];
}
int32_t Pictures(const GetFrame& g) {
  return g.chunk_of.empty() ? AVIStreamLength(g.stream) : static_cast<int32_t>(g.chunk_of.size());
}

bool ReadChunk(GetFrame& g, int32_t picture) {
  const int32_t pos = ChunkOf(g, picture);
  int32_t bytes = 0, n = 0;
  if (AVIStreamRead(g.stream, pos, 1, nullptr, 0, &bytes, &n) != AVIERR_OK || bytes < 0) return false;
  g.chunk.resize(static_cast<size_t>(bytes) + AV_INPUT_BUFFER_PADDING_SIZE);
  std::fill(g.chunk.begin() + bytes, g.chunk.end(), 0);
  if (bytes == 0) return true;
  return AVIStreamRead(g.stream, pos, 1, g.chunk.data(), bytes, &bytes, &n) == AVIERR_OK;
}

// The decoded picture into the packed bitmap.
bool Deliver(GetFrame& g, const AVFrame* f) {
  if (f->width != g.width || f->height != g.height) return false;
  int bits = 24;
  AVPixelFormat target = AV_PIX_FMT_BGR24;
  if (f->format == AV_PIX_FMT_PAL8) bits = 8, target = AV_PIX_FMT_PAL8;
  else if (f->format == AV_PIX_FMT_RGB555LE) bits = 16, target = AV_PIX_FMT_RGB555LE;
  const int64_t stride = Stride(g.width, bits);
  const size_t head = 40 + (bits == 8 ? 1024 : 0);
  g.out.assign(head + static_cast<size_t>(stride * g.height), 0);
  BITMAPINFOHEADER h{};
  h.biSize = 40;
  h.biWidth = g.width;
  h.biHeight = g.height;
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(bits);
  h.biSizeImage = static_cast<uint32_t>(stride * g.height);
  if (bits == 8) h.biClrUsed = 256;
  std::memcpy(g.out.data(), &h, 40);
  uint8_t* rows = g.out.data() + head;
  // Bottom-up: the top row goes last.
  uint8_t* dst[4] = {rows + stride * (g.height - 1), nullptr, nullptr, nullptr};
  int dst_stride[4] = {static_cast<int>(-stride), 0, 0, 0};
  if (target == f->format) {
    const int row = g.width * ((bits + 7) / 8);
    for (int y = 0; y < g.height; ++y)
      std::memcpy(dst[0] + int64_t(y) * dst_stride[0], f->data[0] + int64_t(y) * f->linesize[0],
                  static_cast<size_t>(row));
    if (bits == 8) {
      const auto* argb = reinterpret_cast<const uint32_t*>(f->data[1]);
      for (int i = 0; i < 256; ++i) {
        g.out[40 + i * 4] = static_cast<uint8_t>(argb[i]);
        g.out[40 + i * 4 + 1] = static_cast<uint8_t>(argb[i] >> 8);
        g.out[40 + i * 4 + 2] = static_cast<uint8_t>(argb[i] >> 16);
      }
    }
    return true;
  }
  g.sws = Scaler(g.sws, g.width, g.height, static_cast<AVPixelFormat>(f->format), target,
                 f->color_range == AVCOL_RANGE_JPEG, f->colorspace);
  if (!g.sws) return false;
  // Scaled top-down first: not every converter takes negative strides.
  g.rows.resize(static_cast<size_t>(stride * g.height));
  uint8_t* tmp[4] = {g.rows.data(), nullptr, nullptr, nullptr};
  int tmp_stride[4] = {static_cast<int>(stride), 0, 0, 0};
  sws_scale(g.sws, f->data, f->linesize, 0, g.height, tmp, tmp_stride);
  for (int y = 0; y < g.height; ++y)
    std::memcpy(dst[0] + int64_t(y) * dst_stride[0], g.rows.data() + stride * y, static_cast<size_t>(stride));
  return true;
}

bool DeliverRaw(GetFrame& g, int32_t pos) {
  if (!ReadChunk(g, pos)) return false;
  const int64_t stride = Stride(g.width, g.bits);
  const int64_t need = stride * g.height;
  const size_t bytes = g.chunk.size() - AV_INPUT_BUFFER_PADDING_SIZE;
  if (bytes == 0 && g.have >= 0) return true;  // a dropped frame repeats the last picture
  if (static_cast<int64_t>(bytes) < need) return false;
  const size_t head = 40 + (g.bits == 8 ? 1024 : 0);
  g.out.assign(head + static_cast<size_t>(need), 0);
  BITMAPINFOHEADER h{};
  std::memcpy(&h, g.format.data(), 40);
  h.biSize = 40;
  h.biHeight = g.height;
  h.biCompression = 0;
  h.biSizeImage = static_cast<uint32_t>(need);
  h.biClrUsed = g.bits == 8 ? 256 : 0;
  if (g.bits == 16) h.biBitCount = 16;
  std::memcpy(g.out.data(), &h, 40);
  if (g.bits == 8) {
    g.stream->PaletteAt(ChunkOf(g, pos), g.palette);
    std::memcpy(g.out.data() + 40, g.palette, 1024);
  }
  const bool top_down = reinterpret_cast<const BITMAPINFOHEADER*>(g.format.data())->biHeight < 0;
  for (int y = 0; y < g.height; ++y) {
    const int src_row = top_down ? g.height - 1 - y : y;
    std::memcpy(g.out.data() + head + stride * y, g.chunk.data() + stride * src_row,
                static_cast<size_t>(stride));
  }
  return true;
}

void Restart(GetFrame& g, int32_t from) {
  avcodec_flush_buffers(g.dec);
  g.running = true;
  g.start = from;
  g.next_packet = from;
  g.pending = 0;
  g.drained = false;
  g.last_shown = -1;
}

// Display number of the picture of packet `q`, -1 when it cannot be told.
int32_t Number(GetFrame& g, int64_t q, int32_t length) {
  if (q < 0 || q >= length) return -1;
  if (!g.reorder) return static_cast<int32_t>(q);
  if (g.display[size_t(q)] >= 0) return g.display[size_t(q)];
  // Pictures come out in display order: one that follows the last known
  // number in this run takes the next one.
  if (g.last_shown != g.mapped - 1 || g.mapped >= length) return -1;
  g.display[size_t(q)] = g.mapped;
  g.packet_of[size_t(g.mapped)] = static_cast<int32_t>(q);
  return g.mapped++;
}

int32_t KnownDisplay(const GetFrame& g, int32_t k) {
  return g.reorder ? g.display[size_t(k)] : k;
}

// The packet to start decoding at for display number `pos`: a key frame
// shown no later than `pos` whose run passes through `pos`.
int32_t StartFor(GetFrame& g, int32_t pos) {
  if (g.intra_only && !g.reorder) return pos;
  int32_t t = pos, p = pos;
  if (g.reorder) {
    if (g.mapped == 0) return 0;
    t = std::min(pos, g.mapped - 1);
    p = g.packet_of[size_t(t)];
  }
  for (int32_t k = p; k > 0; --k) {
    if (!AVIStreamIsKeyFrame(g.stream, ChunkOf(g, k))) continue;
    const int32_t d = KnownDisplay(g, k);
    if (d >= 0 && d <= t) return k;
  }
  return 0;
}

// The running decode reaches `pos` without a restart.
bool OnTheWay(const GetFrame& g, int32_t pos) {
  if (!g.running || g.last_shown >= pos) return false;
  if (g.start == 0) return true;
  const int32_t d = KnownDisplay(g, g.start);
  if (d < 0 || d > pos) return false;
  // Past the known numbers the run must number on from them.
  return !g.reorder || pos < g.mapped || d <= g.mapped - 1;
}

// A picture of the run came out: true when it is the one asked for and was
// delivered; `stop` when the run cannot give it.
bool Shown(GetFrame& g, int32_t d, int32_t pos, const AVFrame* f, bool lenient, bool& stop) {
  if (lenient && d > pos && f) d = pos;
  if (d < 0 || d > pos) {
    stop = true;
    return false;
  }
  g.last_shown = d;
  if (d != pos) return false;
  if (f) {
    if (!Deliver(g, f)) {
      stop = true;
      return false;
    }
  } else if (g.have < 0) {
    stop = true;  // a repeat of nothing
    return false;
  }
  g.have = pos;
  return true;
}

// One run towards `pos`; false with `stop` when the run cannot give it.
bool Run(GetFrame& g, int32_t pos, int32_t length, bool lenient, bool& stop) {
  stop = false;
  for (int guard = 0; guard < (1 << 24); ++guard) {
    const int r = avcodec_receive_frame(g.dec, g.frame);
    if (r == 0) {
      if (g.pending > 0) --g.pending;
      const int64_t q = g.frame->pts != AV_NOPTS_VALUE ? g.frame->pts : g.frame->best_effort_timestamp;
      const int32_t d = Number(g, q, length);
      const bool got = Shown(g, d, pos, g.frame, lenient, stop);
      av_frame_unref(g.frame);
      if (got) return true;
      if (stop) return false;
      continue;
    }
    if (r != AVERROR(EAGAIN)) {
      stop = true;  // the decoder is empty: the stream ends before `pos`
      return false;
    }
    if (g.next_packet >= length) {
      if (g.drained) {
        stop = true;
        return false;
      }
      avcodec_send_packet(g.dec, nullptr);  // the last pictures come out now
      g.drained = true;
      continue;
    }
    const int32_t i = g.next_packet++;
    if (!ReadChunk(g, i)) {
      stop = true;
      return false;
    }
    const int size = static_cast<int>(g.chunk.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    int sent = -1;
    if (size > 0) {
      av_packet_unref(g.pkt);
      g.pkt->data = g.chunk.data();
      g.pkt->size = size;
      g.pkt->pts = g.pkt->dts = i;
      if (g.bits <= 8) {
        g.stream->PaletteAt(ChunkOf(g, i), g.palette);  // palette-change chunks before it
        uint8_t* side = av_packet_new_side_data(g.pkt, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE);
        if (side) {
          for (int c = 0; c < 256; ++c) {
            const uint32_t v = 0xFF000000u | uint32_t(g.palette[c * 4 + 2]) << 16 |
                               uint32_t(g.palette[c * 4 + 1]) << 8 | g.palette[c * 4];
            std::memcpy(side + c * 4, &v, 4);
          }
        }
      }
      sent = avcodec_send_packet(g.dec, g.pkt);
      av_packet_free_side_data(g.pkt);
      g.pkt->data = nullptr;
      g.pkt->size = 0;
      if (sent >= 0) ++g.pending;
    }
    // A dropped frame (an empty chunk) or a damaged packet shows the last
    // picture again, when no other picture is on its way out.
    if (sent < 0 && g.pending == 0 && g.last_shown >= 0) {
      const int32_t d = Number(g, i, length);
      if (Shown(g, d, pos, nullptr, lenient, stop)) return true;
      if (stop) return false;
    }
  }
  stop = true;
  return false;
}

bool Decode(GetFrame& g, int32_t pos) {
  if (pos == g.have) return true;
  const int32_t length = Pictures(g);
  if (pos < 0 || pos >= length) return false;
  if (g.reorder && g.display.size() != size_t(length)) {
    g.display.assign(size_t(length), -1);
    g.packet_of.assign(size_t(length), -1);
    g.mapped = 0;
  }
  // Decoding on, unless a later start point skips packets the run would read.
  const int32_t k = StartFor(g, pos);
  if (!OnTheWay(g, pos) || k > g.next_packet) Restart(g, k);
  bool stop = false;
  if (Run(g, pos, length, false, stop)) return true;
  // A damaged stream: from the start, which numbers every picture; a
  // picture the decoder lost is stood in for by the next one.
  Restart(g, 0);
  if (Run(g, pos, length, true, stop)) return true;
  g.running = false;
  return false;
}

}  // namespace

PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER*) {
  if (!stream) return nullptr;
  AvLogInstall();
  AVISTREAMINFO si{};
  if (stream->Info(si) != AVIERR_OK || si.fccType != streamtypeVIDEO) return nullptr;
  auto g = std::make_unique<GetFrame>();
  g->stream = stream;
  const int32_t chunks = AVIStreamLength(stream);
  for (int32_t i = 0; i < chunks; ++i) {
    int32_t bytes = 0, n = 0;
    const bool empty = AVIStreamRead(stream, i, 1, nullptr, 0, &bytes, &n) == AVIERR_OK && bytes == 0;
    if (empty && g->picture_of.empty()) {
      // The first empty chunk: every chunk before it held a picture.
      g->picture_of.resize(size_t(i));
      g->chunk_of.resize(size_t(i));
      std::iota(g->picture_of.begin(), g->picture_of.end(), 0);
      std::iota(g->chunk_of.begin(), g->chunk_of.end(), 0);
    }
    if (!empty && !g->picture_of.empty()) g->chunk_of.push_back(i);
    if (!g->picture_of.empty() || empty)
      g->picture_of.push_back(static_cast<int32_t>(g->chunk_of.size()) - 1);
  }
  // Empty chunks before the first picture show that picture.
  if (!g->chunk_of.empty())
    for (int32_t& p : g->picture_of) p = std::max(p, 0);
  int32_t size = 0;
  if (AVIStreamReadFormat(stream, 0, nullptr, &size) != AVIERR_OK || size < 40) return nullptr;
  g->format.resize(static_cast<size_t>(size));
  if (AVIStreamReadFormat(stream, 0, g->format.data(), &size) != AVIERR_OK) return nullptr;
  BITMAPINFOHEADER h;
  std::memcpy(&h, g->format.data(), 40);
  if (!SaneSize(h.biWidth, h.biHeight) || h.biSize < 40 || h.biSize > g->format.size()) return nullptr;
  g->width = h.biWidth;
  g->height = std::abs(h.biHeight);
  g->bits = h.biBitCount;
  // The colour table, when the format has one.
  if (g->bits <= 8) {
    const size_t colours = h.biClrUsed > 0 && h.biClrUsed <= 256 ? h.biClrUsed : (1u << std::max<int>(g->bits, 1));
    const size_t avail = (g->format.size() - h.biSize) / 4;
    std::memcpy(g->palette, g->format.data() + h.biSize, std::min(colours, avail) * 4);
  }
  const FOURCC comp = h.biCompression;
  if (comp == 0 || comp == 3 || (IsRawHandler(comp) && comp != 0)) {
    if (g->bits != 8 && g->bits != 16 && g->bits != 24 && g->bits != 32) return nullptr;
    if (comp == 3 && g->bits == 16 && g->format.size() >= 52) {
      uint32_t red;
      std::memcpy(&red, g->format.data() + 40, 4);
      if (red == 0xF800) return nullptr;  // 5-6-5 words are not a 15-bit picture
    }
    g->raw = true;
    return g.release();
  }
  AVCodecID id = CodecIdOf(comp);
  if (id == AV_CODEC_ID_NONE) id = CodecIdOf(si.fccHandler);
  const AVCodec* c = id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
  if (!c) return nullptr;
  const AVCodecDescriptor* d = avcodec_descriptor_get(id);
  g->intra_only = d && (d->props & AV_CODEC_PROP_INTRA_ONLY);
  g->reorder = d && (d->props & AV_CODEC_PROP_REORDER);
  g->dec = avcodec_alloc_context3(c);
  g->frame = av_frame_alloc();
  g->pkt = av_packet_alloc();
  if (!g->dec || !g->frame || !g->pkt) return nullptr;
  g->dec->width = g->width;
  g->dec->height = g->height;
  g->dec->codec_tag = comp;
  g->dec->bits_per_coded_sample = g->bits;
  g->dec->thread_count = 1;
  const size_t extra = g->format.size() - 40;
  if (extra > 0) {
    g->dec->extradata = static_cast<uint8_t*>(av_mallocz(extra + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!g->dec->extradata) return nullptr;
    std::memcpy(g->dec->extradata, g->format.data() + 40, extra);
    g->dec->extradata_size = static_cast<int>(extra);
  }
  if (avcodec_open2(g->dec, c, nullptr) < 0) return nullptr;
  return g.release();
}

void* AVIStreamGetFrame(PGETFRAME g, int32_t frame) {
  if (!g || frame < 0 || frame >= AVIStreamLength(g->stream)) return nullptr;
  const int32_t pos = g->picture_of.empty() ? frame : g->picture_of[size_t(frame)];
  if (pos < 0) return nullptr;  // empty chunks before the first picture
  if (g->raw) {
    if (pos == g->have) return g->out.data();
    if (!DeliverRaw(*g, pos)) return nullptr;
    g->have = pos;
    return g->out.data();
  }
  if (!Decode(*g, pos)) {
    g->have = -1;
    return nullptr;
  }
  return g->out.data();
}

HRESULT AVIStreamGetFrameClose(PGETFRAME g) {
  delete g;
  return AVIERR_OK;
}

}  // namespace vek::platform
