// Cinepak compression of ten 640x480 frames panning over a photograph: our
// compressor (the cvid codec entry, default settings: key frame every 12)
// beside libavcodec's Cinepak encoder on one thread with its defaults and
// with its fastest options, in the same run. libavcodec's decoder reads
// every output; after the table come the speed ratio, the size ratio and
// the PSNR difference of ours against each peer.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "bench_util.h"
#include "platform/vfw/ic.h"

namespace {

namespace p = vek::platform;

constexpr int kW = 640, kH = 480, kFrames = 10;

using Frame = std::vector<uint8_t>;
using Packets = std::vector<std::vector<uint8_t>>;

std::vector<Frame> g_rgb;  // top-down red, green, blue
std::vector<Frame> g_dib;  // bottom-up blue, green, red

struct Outcome {
  double bytes = 0;
  double psnr = 0;
};
std::map<std::string, Outcome> g_outcome;

bool Prepare() {
  // The photo enlarged a little, then a window moving right and down.
  const int bw = 720, bh = 540;
  const std::string cmd = "ffmpeg -v error -i '" + std::string(VEK_TEST_DATA) +
                          "/still/rocket_640x427.jpg' -vf scale=" + std::to_string(bw) + ":" +
                          std::to_string(bh) + " -f rawvideo -pix_fmt rgb24 -";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return false;
  Frame base(size_t(bw) * bh * 3);
  const size_t got = std::fread(base.data(), 1, base.size(), f);
  pclose(f);
  if (got != base.size()) return false;
  for (int i = 0; i < kFrames; ++i) {
    const int ox = i * 8, oy = i * 6;
    Frame rgb(size_t(kW) * kH * 3), dib(size_t(kW) * kH * 3);
    for (int y = 0; y < kH; ++y) {
      const uint8_t* s = &base[(size_t(y + oy) * bw + ox) * 3];
      std::memcpy(&rgb[size_t(y) * kW * 3], s, size_t(kW) * 3);
      uint8_t* d = &dib[size_t(kH - 1 - y) * kW * 3];
      for (int x = 0; x < kW; ++x) d[3 * x] = s[3 * x + 2], d[3 * x + 1] = s[3 * x + 1], d[3 * x + 2] = s[3 * x];
    }
    g_rgb.push_back(std::move(rgb));
    g_dib.push_back(std::move(dib));
  }
  return true;
}

// libavcodec's decoder over all packets: PSNR over all frames, -1 when a
// frame does not decode.
double Psnr(const Packets& packets) {
  const AVCodec* c = avcodec_find_decoder(AV_CODEC_ID_CINEPAK);
  AVCodecContext* d = avcodec_alloc_context3(c);
  d->width = kW;
  d->height = kH;
  AVFrame* fr = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  double se = 0;
  int frames = 0;
  if (avcodec_open2(d, c, nullptr) == 0) {
    for (size_t i = 0; i < packets.size(); ++i) {
      pkt->data = const_cast<uint8_t*>(packets[i].data());
      pkt->size = static_cast<int>(packets[i].size());
      if (avcodec_send_packet(d, pkt) < 0 || avcodec_receive_frame(d, fr) < 0) break;
      const Frame& want = g_rgb[i];
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW * 3; ++x) {
          const double t = double(fr->data[0][size_t(y) * fr->linesize[0] + x]) - want[size_t(y) * kW * 3 + x];
          se += t * t;
        }
      ++frames;
    }
  }
  av_packet_free(&pkt);
  av_frame_free(&fr);
  avcodec_free_context(&d);
  if (frames != kFrames) return -1;
  const double mse = se / (double(kW) * kH * 3 * kFrames);
  return 10 * std::log10(255.0 * 255.0 / mse);
}

Packets Ours() {
  Packets out;
  p::BITMAPINFOHEADER in{};
  in.biSize = 40;
  in.biWidth = kW;
  in.biHeight = kH;
  in.biPlanes = 1;
  in.biBitCount = 24;
  in.biSizeImage = kW * kH * 3;
  p::HIC ic = p::ICOpen(p::ICTYPE_VIDEO, p::MakeFourCC('c', 'v', 'i', 'd'), p::ICMODE_COMPRESS);
  if (!ic) return out;
  std::vector<uint8_t> fmt(static_cast<size_t>(p::ICSendMessage(ic, p::ICM_COMPRESS_GET_FORMAT, reinterpret_cast<uintptr_t>(&in), 0)));
  p::ICSendMessage(ic, p::ICM_COMPRESS_GET_FORMAT, reinterpret_cast<uintptr_t>(&in), reinterpret_cast<uintptr_t>(fmt.data()));
  std::vector<uint8_t> buf(static_cast<size_t>(p::ICSendMessage(ic, p::ICM_COMPRESS_GET_SIZE, reinterpret_cast<uintptr_t>(&in), 0)));
  if (p::ICSendMessage(ic, p::ICM_COMPRESS_BEGIN, reinterpret_cast<uintptr_t>(&in), 0) == p::ICERR_OK) {
    for (int i = 0; i < kFrames; ++i) {
      p::BITMAPINFOHEADER oh;
      std::memcpy(&oh, fmt.data(), 40);
      uint32_t flags = 0;
      p::ICCOMPRESS c{};
      c.dwFlags = i == 0 ? p::ICCOMPRESS_KEYFRAME : 0;
      c.lpbiOutput = &oh;
      c.lpOutput = buf.data();
      c.lpbiInput = &in;
      c.lpInput = g_dib[size_t(i)].data();
      c.lpdwFlags = &flags;
      c.lFrameNum = i;
      c.dwQuality = 0xFFFFFFFFu;
      if (p::ICSendMessage(ic, p::ICM_COMPRESS, reinterpret_cast<uintptr_t>(&c), sizeof c) != p::ICERR_OK) break;
      out.emplace_back(buf.begin(), buf.begin() + oh.biSizeImage);
    }
  }
  p::ICClose(ic);
  return out;
}

Packets Libavcodec(bool fast) {
  Packets out;
  const AVCodec* c = avcodec_find_encoder(AV_CODEC_ID_CINEPAK);
  AVCodecContext* e = avcodec_alloc_context3(c);
  e->width = kW;
  e->height = kH;
  e->pix_fmt = AV_PIX_FMT_RGB24;
  e->time_base = AVRational{1, 25};
  e->thread_count = 1;
  e->gop_size = 12;
  if (fast) {
    av_opt_set_int(e->priv_data, "max_extra_cb_iterations", 0, 0);
    av_opt_set_int(e->priv_data, "max_strips", 1, 0);
    av_opt_set_int(e->priv_data, "skip_empty_cb", 1, 0);
  }
  AVFrame* fr = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  fr->format = e->pix_fmt;
  fr->width = kW;
  fr->height = kH;
  if (avcodec_open2(e, c, nullptr) == 0 && av_frame_get_buffer(fr, 0) == 0) {
    for (int i = 0; i < kFrames; ++i) {
      av_frame_make_writable(fr);
      for (int y = 0; y < kH; ++y)
        std::memcpy(fr->data[0] + size_t(y) * fr->linesize[0], &g_rgb[size_t(i)][size_t(y) * kW * 3], size_t(kW) * 3);
      fr->pts = i;
      if (avcodec_send_frame(e, fr) < 0) break;
      while (avcodec_receive_packet(e, pkt) == 0) {
        out.emplace_back(pkt->data, pkt->data + pkt->size);
        av_packet_unref(pkt);
      }
    }
  }
  av_packet_free(&pkt);
  av_frame_free(&fr);
  avcodec_free_context(&e);
  return out;
}

void Run(benchmark::State& state, const std::string& name, Packets (*encode)(bool), bool arg) {
  Packets last;
  for (auto _ : state) {
    last = encode(arg);
    benchmark::DoNotOptimize(last.data());
  }
  if (last.size() != kFrames) {
    state.SkipWithError("encoding failed");
    return;
  }
  Outcome o;
  for (const auto& pk : last) o.bytes += double(pk.size());
  o.psnr = Psnr(last);
  if (o.psnr < 0) state.SkipWithError("a frame does not decode");
  g_outcome[name] = o;
  state.counters["bytes"] = o.bytes;
  state.counters["PSNR"] = o.psnr;
}

Packets OursArg(bool) { return Ours(); }

}  // namespace

int main(int argc, char** argv) {
  if (!Prepare()) {
    std::fprintf(stderr, "cannot make the frames (ffmpeg and tests/data/still/rocket_640x427.jpg)\n");
    return 1;
  }
  benchmark::RegisterBenchmark("Cinepak10/ours", [](benchmark::State& s) { Run(s, "ours", OursArg, false); })
      ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  benchmark::RegisterBenchmark("Cinepak10/libavcodec", [](benchmark::State& s) { Run(s, "libavcodec", Libavcodec, false); })
      ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  benchmark::RegisterBenchmark("Cinepak10/libavcodec_fast", [](benchmark::State& s) { Run(s, "libavcodec_fast", Libavcodec, true); })
      ->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
  benchmark::Initialize(&argc, argv);
  vekbench::RatioReporter reporter("/iterations");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto ours = reporter.times.find("Cinepak10/ours");
  if (ours != reporter.times.end() && g_outcome.count("ours")) {
    const Outcome& o = g_outcome["ours"];
    for (const char* peer : {"libavcodec", "libavcodec_fast"}) {
      const auto t = reporter.times.find(std::string("Cinepak10/") + peer);
      if (t == reporter.times.end() || !g_outcome.count(peer)) continue;
      const Outcome& q = g_outcome[peer];
      std::printf("ours vs %-16s speed %.1fx, size %.3f (%.0f / %.0f bytes), PSNR %+.2f dB (%.2f / %.2f)\n", peer,
                  t->second / ours->second, o.bytes / q.bytes, o.bytes, q.bytes, o.psnr - q.psnr, o.psnr, q.psnr);
    }
  }
  benchmark::Shutdown();
  return 0;
}
