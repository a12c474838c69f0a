// HAV FAST, BEST and BEST-P against the lossless video codecs of libavcodec
// (ffvhuff, utvideo, ffv1, zmbv) on 100 frames of 640x480 24-bit material:
// camera content (a slow pan across a photo) and screen content (flat
// desktop, text-like detail, a moving window). Every codec codes the same
// frames single-threaded, key frame every 25 frames where the codec has
// delta frames. Peers get their frames already in their own pixel format
// (that conversion is not timed). Prints bytes per frame, encode and decode
// frames per second (thread CPU time), and our ratios to each peer.
#include <benchmark/benchmark.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "formats/movie/hav_codec.h"
#include "foundation/errors.h"
#include "bench_util.h"

namespace {

constexpr int kW = 640, kH = 480, kFrames = 100, kKey = 25;
constexpr size_t kFrameBytes = size_t{kW} * kH * 3;

using Frames = std::vector<std::vector<uint8_t>>;  // blue, green, red rows


Frames CameraFrames() {
  const int pw = kW + 2 * kFrames;
  const std::string raw = vekbench::ScratchDir() + "vek_bench_hav_pan.bgr";
  const std::string cmd = "/usr/bin/convert '" + std::string(VEK_TEST_DATA) +
                          "/still/rocket_640x427.jpg' -resize " + std::to_string(pw) + "x" +
                          std::to_string(kH) + "! -depth 8 bgr:'" + raw + "'";
  Frames f;
  if (std::system(cmd.c_str()) != 0) return f;
  std::ifstream in(raw, std::ios::binary);
  std::vector<uint8_t> pic(size_t{pw} * kH * 3);
  in.read(reinterpret_cast<char*>(pic.data()), static_cast<std::streamsize>(pic.size()));
  std::remove(raw.c_str());
  if (!in) return f;
  for (int t = 0; t < kFrames; ++t) {  // two pixels to the right per frame
    std::vector<uint8_t> fr(kFrameBytes);
    for (int y = 0; y < kH; ++y)
      std::memcpy(fr.data() + static_cast<size_t>(y) * kW * 3, pic.data() + (static_cast<size_t>(y) * pw + 2 * t) * 3, kW * 3);
    f.push_back(std::move(fr));
  }
  return f;
}

Frames ScreenFrames() {
  Frames f;
  uint32_t seed = 12345;
  auto rnd = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  // A desktop: title bar, a text window with glyph-like strokes, icons.
  std::vector<uint8_t> desk(kFrameBytes);
  auto put = [](std::vector<uint8_t>& b, int x, int y, uint32_t c) {
    if (x < 0 || y < 0 || x >= kW || y >= kH) return;
    uint8_t* p = b.data() + (static_cast<size_t>(y) * kW + x) * 3;
    p[0] = c & 0xFF, p[1] = (c >> 8) & 0xFF, p[2] = (c >> 16) & 0xFF;
  };
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) put(desk, x, y, y < 24 ? 0x2050A0 : 0x3A6EA5);
  std::vector<uint32_t> glyphs(64);
  for (auto& g : glyphs) g = static_cast<uint32_t>(rnd() << 15 | rnd());
  auto text_window = [&](std::vector<uint8_t>& b, int x0, int y0, int w, int h, int shift) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) put(b, x, y, y < y0 + 18 ? 0x000080 : 0xFFFFFF);
    for (int line = 0; y0 + 24 + line * 12 + 9 < y0 + h; ++line)
      for (int col = 0; x0 + 6 + col * 6 + 5 < x0 + w; ++col) {
        const uint32_t g = glyphs[(line * 7 + col * 3 + shift) % 64];
        if ((line * 31 + col) % 11 == 0) continue;  // spaces
        for (int gy = 0; gy < 8; ++gy)
          for (int gx = 0; gx < 4; ++gx)
            if (g >> ((gy * 4 + gx) % 30) & 1) put(b, x0 + 6 + col * 6 + gx, y0 + 24 + line * 12 + gy, 0x101010);
      }
  };
  text_window(desk, 20, 40, 380, 300, 0);
  for (int i = 0; i < 6; ++i)
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 32; ++x) put(desk, 580 + x, 50 + i * 60 + y, 0x40C040 + i * 0x200010 + (x ^ y));
  for (int t = 0; t < kFrames; ++t) {
    std::vector<uint8_t> fr = desk;
    text_window(fr, 200 + t * 2, 120 + t, 300, 220, t / 10);  // the moving window
    f.push_back(std::move(fr));
  }
  return f;
}

struct Result {
  double bytes_per_frame = 0, enc_fps = 0, dec_fps = 0;
};
std::map<std::string, Result> g_results;  // "material/codec"

// CPU time of this thread: the machine may be shared, and every codec here
// runs on one thread.
double Now() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
double Seconds(double since) { return Now() - since; }

// ---------------------------------------------------------------- HAV

enum class Hav { kFast, kBest, kBestP };

struct Coded {
  std::vector<std::vector<uint8_t>> data;
  std::vector<bool> raw;
};

Coded HavEncode(const Frames& frames, Hav mode) {
  Coded c;
  std::vector<uint8_t> prev(kFrameBytes), pred(kFrameBytes), out(kFrameBytes + 8192);
  for (int i = 0; i < kFrames; ++i) {
    const uint8_t* src = frames[i].data();
    if (mode == Hav::kBestP) {
      vek::HavPredict(kW * kH, pred.data(), src);
      src = pred.data();
    }
    const bool delta = i % kKey != 0;
    const int64_t n = mode == Hav::kFast
                          ? vek::HVDCFast(src, out.data(), static_cast<int64_t>(out.size()), prev.data(), delta, 3, kH, kW)
                          : vek::HVDCBest(src, out.data(), static_cast<int64_t>(out.size()), prev.data(), delta, 3, kH, kW);
    c.raw.push_back(n == 0);
    if (n == 0)
      c.data.emplace_back(frames[i].begin(), frames[i].end());
    else
      c.data.emplace_back(out.begin(), out.begin() + n);
    std::memcpy(prev.data(), src, kFrameBytes);
  }
  return c;
}

void HavDecode(const Coded& c, Hav mode, std::vector<uint8_t>& img, std::vector<uint8_t>& pred) {
  for (int i = 0; i < kFrames; ++i) {
    const auto& d = c.data[i];
    if (c.raw[i]) {
      std::memcpy(img.data(), d.data(), kFrameBytes);
      if (mode == Hav::kBestP) vek::HavPredict(kW * kH, pred.data(), img.data());
      continue;
    }
    uint8_t* target = mode == Hav::kBestP ? pred.data() : img.data();
    const bool ok = mode == Hav::kFast ? vek::HavDecodeFast(d.data(), static_cast<int64_t>(d.size()), target, kW, 3, kH)
                                       : vek::HavDecodeBest(d.data(), static_cast<int64_t>(d.size()), target, kW, 3, kH);
    if (!ok) std::abort();
    if (mode == Hav::kBestP) vek::HavUnpredict(kW * kH, img.data(), pred.data());
  }
}

void BM_Hav(benchmark::State& state, const Frames* frames, Hav mode, std::string key) {
  if (frames->empty()) {
    state.SkipWithError("no frames (ImageMagick missing?)");
    return;
  }
  Coded c;
  double enc = 0, dec = 0;
  int runs = 0;
  std::vector<uint8_t> img(kFrameBytes), pred(kFrameBytes);
  for (auto _ : state) {
    double t0 = Now();
    c = HavEncode(*frames, mode);
    enc += Seconds(t0);
    t0 = Now();
    HavDecode(c, mode, img, pred);
    dec += Seconds(t0);
    ++runs;
  }
  if (img != frames->back()) state.SkipWithError("decoded frame differs");
  size_t bytes = 0;
  for (auto& d : c.data) bytes += d.size();
  Result& r = g_results[key];
  r.bytes_per_frame = double(bytes) / kFrames;
  r.enc_fps = kFrames * runs / enc;
  r.dec_fps = kFrames * runs / dec;
  state.counters["bytes/frame"] = r.bytes_per_frame;
  state.counters["enc_fps"] = r.enc_fps;
  state.counters["dec_fps"] = r.dec_fps;
}

// ---------------------------------------------------------------- libavcodec

struct Peer {
  const char* name;
  AVPixelFormat fmt;
};

// Our blue-green-red frame in the peer's pixel format.
void FillFrame(AVFrame* f, const std::vector<uint8_t>& bgr) {
  for (int y = 0; y < kH; ++y) {
    const uint8_t* s = bgr.data() + static_cast<size_t>(y) * kW * 3;
    for (int x = 0; x < kW; ++x) {
      const uint8_t b = s[3 * x], g = s[3 * x + 1], r = s[3 * x + 2];
      switch (f->format) {
        case AV_PIX_FMT_RGB24: {
          uint8_t* d = f->data[0] + y * f->linesize[0] + 3 * x;
          d[0] = r, d[1] = g, d[2] = b;
          break;
        }
        case AV_PIX_FMT_BGR0: {
          uint8_t* d = f->data[0] + y * f->linesize[0] + 4 * x;
          d[0] = b, d[1] = g, d[2] = r, d[3] = 0;
          break;
        }
        default:  // GBRP: planes green, blue, red
          f->data[0][y * f->linesize[0] + x] = g;
          f->data[1][y * f->linesize[1] + x] = b;
          f->data[2][y * f->linesize[2] + x] = r;
          break;
      }
    }
  }
}

void BM_Peer(benchmark::State& state, const Frames* frames, Peer peer, std::string key) {
  const AVCodec* enc_codec = avcodec_find_encoder_by_name(peer.name);
  if (frames->empty() || !enc_codec) {
    state.SkipWithError("codec or frames missing");
    return;
  }
  std::vector<AVFrame*> in;
  for (const auto& fr : *frames) {
    AVFrame* f = av_frame_alloc();
    f->format = peer.fmt;
    f->width = kW;
    f->height = kH;
    av_frame_get_buffer(f, 32);
    FillFrame(f, fr);
    in.push_back(f);
  }
  double enc = 0, dec = 0;
  int runs = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    AVCodecContext* ec = avcodec_alloc_context3(enc_codec);
    ec->width = kW;
    ec->height = kH;
    ec->pix_fmt = peer.fmt;
    ec->time_base = AVRational{1, 25};
    ec->gop_size = kKey;
    ec->thread_count = 1;
    if (avcodec_open2(ec, enc_codec, nullptr) < 0) {
      state.SkipWithError("encoder does not open");
      avcodec_free_context(&ec);
      break;
    }
    std::vector<AVPacket*> pkts;
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
      while (avcodec_receive_packet(ec, pkt) == 0) {
        pkts.push_back(av_packet_clone(pkt));
        av_packet_unref(pkt);
      }
    };
    double t0 = Now();
    for (int i = 0; i < kFrames; ++i) {
      in[i]->pts = i;
      avcodec_send_frame(ec, in[i]);
      drain();
    }
    avcodec_send_frame(ec, nullptr);
    drain();
    enc += Seconds(t0);
    bytes = 0;
    for (auto* p : pkts) bytes += static_cast<size_t>(p->size);

    AVCodecContext* dc = avcodec_alloc_context3(avcodec_find_decoder(enc_codec->id));
    dc->width = kW;
    dc->height = kH;
    dc->thread_count = 1;
    dc->codec_tag = ec->codec_tag;
    if (ec->extradata_size > 0) {
      dc->extradata = static_cast<uint8_t*>(av_mallocz(ec->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
      std::memcpy(dc->extradata, ec->extradata, ec->extradata_size);
      dc->extradata_size = ec->extradata_size;
    }
    avcodec_open2(dc, dc->codec, nullptr);
    AVFrame* out = av_frame_alloc();
    int decoded = 0;
    t0 = Now();
    for (auto* p : pkts) {
      avcodec_send_packet(dc, p);
      while (avcodec_receive_frame(dc, out) == 0) ++decoded;
    }
    avcodec_send_packet(dc, nullptr);
    while (avcodec_receive_frame(dc, out) == 0) ++decoded;
    dec += Seconds(t0);
    if (decoded != kFrames) state.SkipWithError("peer decoded a different frame count");
    ++runs;
    av_frame_free(&out);
    avcodec_free_context(&dc);
    for (auto* p : pkts) av_packet_free(&p);
    av_packet_free(&pkt);
    avcodec_free_context(&ec);
  }
  for (auto* f : in) av_frame_free(&f);
  if (runs == 0) return;
  Result& r = g_results[key];
  r.bytes_per_frame = double(bytes) / kFrames;
  r.enc_fps = kFrames * runs / enc;
  r.dec_fps = kFrames * runs / dec;
  state.counters["bytes/frame"] = r.bytes_per_frame;
  state.counters["enc_fps"] = r.enc_fps;
  state.counters["dec_fps"] = r.dec_fps;
}

}  // namespace

int main(int argc, char** argv) {
  static const Frames camera = CameraFrames();
  static const Frames screen = ScreenFrames();
  const Peer peers[] = {{"ffvhuff", AV_PIX_FMT_RGB24},
                        {"utvideo", AV_PIX_FMT_GBRP},
                        {"ffv1", AV_PIX_FMT_BGR0},
                        {"zmbv", AV_PIX_FMT_BGR0}};
  const char* ours[] = {"HAV-FAST", "HAV-BEST", "HAV-BEST-P"};
  for (auto [mat, frames] : {std::pair<const char*, const Frames*>{"camera", &camera}, {"screen", &screen}}) {
    for (int m = 0; m < 3; ++m) {
      const std::string key = std::string(mat) + "/" + ours[m];
      benchmark::RegisterBenchmark(key.c_str(), BM_Hav, frames, static_cast<Hav>(m), key)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
    }
    for (const Peer& p : peers) {
      const std::string key = std::string(mat) + "/" + p.name;
      benchmark::RegisterBenchmark(key.c_str(), BM_Peer, frames, p, key)
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  // Ratios ours / peer: size (below 1 is smaller), encode and decode speed
  // (above 1 is faster).
  std::printf("\n%-8s %-11s %-8s %10s %10s %10s\n", "material", "ours", "peer", "size", "enc speed", "dec speed");
  for (const char* mat : {"camera", "screen"})
    for (const char* o : ours)
      for (const Peer& p : peers) {
        const auto a = g_results.find(std::string(mat) + "/" + o);
        const auto b = g_results.find(std::string(mat) + "/" + p.name);
        if (a == g_results.end() || b == g_results.end()) continue;
        std::printf("%-8s %-11s %-8s %10.3f %10.3f %10.3f\n", mat, o, p.name,
                    a->second.bytes_per_frame / b->second.bytes_per_frame, a->second.enc_fps / b->second.enc_fps,
                    a->second.dec_fps / b->second.dec_fps);
      }
  return 0;
}
