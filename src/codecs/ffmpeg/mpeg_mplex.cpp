// Multiplexing an MPEG video and an MPEG audio elementary stream into one
// system stream. Time stamps come from the streams themselves: the video's
// picture order and rate, the audio's frame count and sample rate; both
// start at time 0.
#include <algorithm>

#include "codecs/ffmpeg/mpeg_internal.h"

namespace vek::platform {

using namespace mpeg;

namespace {

struct OutputCloser {
  void operator()(AVFormatContext* c) const {
    if (c->pb) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputCloser>;

bool Fail(const std::string& text) { return mpeg::Fail(MpegLib::kMultiplexer, text.c_str()); }

// Reads the next packet of stream `index`; false at the end.
bool NextOf(AVFormatContext* in, int index, AVPacket* pkt) {
  for (;;) {
    if (av_read_frame(in, pkt) < 0) return false;
    if (pkt->stream_index == index) return true;
    av_packet_unref(pkt);
  }
}

int FirstAudioStream(AVFormatContext* in, PacketPtr& pkt, AudioHeader& h) {
  for (;;) {
    if (av_read_frame(in, pkt.get()) < 0) return -1;
    const AVCodecParameters* cp = in->streams[pkt->stream_index]->codecpar;
    if (cp->codec_type == AVMEDIA_TYPE_AUDIO && ParseAudioHeader(pkt->data, std::min(pkt->size, 4), h))
      return pkt->stream_index;
    av_packet_unref(pkt.get());
  }
}

}  // namespace

bool MPlexMPEG(const std::string& output, const std::string& video, const std::string& audio) {
  QuietLog();
  ClearMessage();
  VideoIndex vix;
  {
    InputPtr scan = OpenInput(video, InputKind::kVideo, MpegLib::kMultiplexer);
    if (!scan) return false;
    if (!ScanVideo(scan.get(), vix)) return Fail("No MPEG video to multiplex.");
  }
  InputPtr vin = OpenInput(video, InputKind::kVideo, MpegLib::kMultiplexer);
  if (!vin) return false;
  InputPtr ain = OpenInput(audio, InputKind::kAudio, MpegLib::kMultiplexer);
  if (!ain) return false;
  PacketPtr vpkt = NewPacket(), apkt = NewPacket();
  if (!vpkt || !apkt) return Fail("Out of memory.");
  AudioHeader ah;
  const int astream = FirstAudioStream(ain.get(), apkt, ah);
  if (astream < 0) return Fail("No MPEG audio to multiplex.");

  AVFormatContext* raw = nullptr;
  const char* format = vix.info.mpeg2 ? "vob" : "mpeg";
  int r = avformat_alloc_output_context2(&raw, nullptr, format, AvFileName(output).c_str());
  if (r < 0 || !raw) return Fail(AvErrorText(r));
  OutputPtr out(raw);
  AVStream* vs = avformat_new_stream(out.get(), nullptr);
  AVStream* as = avformat_new_stream(out.get(), nullptr);
  if (!vs || !as) return Fail("Out of memory.");
  vs->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  vs->codecpar->codec_id = vix.info.mpeg2 ? AV_CODEC_ID_MPEG2VIDEO : AV_CODEC_ID_MPEG1VIDEO;
  vs->codecpar->width = vix.info.width;
  vs->codecpar->height = vix.info.height;
  vs->codecpar->bit_rate = static_cast<int64_t>(vix.info.bit_rate);
  const double fps = MpegRateOfCode(vix.info.rate_code > 0 ? vix.info.rate_code : 3);
  const AVRational frame_tb = av_d2q(1.0 / fps, 100000);
  vs->time_base = frame_tb;
  as->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  as->codecpar->codec_id = ah.layer == 1 ? AV_CODEC_ID_MP1 : ah.layer == 2 ? AV_CODEC_ID_MP2
                                                                          : AV_CODEC_ID_MP3;
  as->codecpar->sample_rate = ah.sample_rate;
  av_channel_layout_default(&as->codecpar->ch_layout, ah.channels);
  as->codecpar->bit_rate = int64_t(ah.bit_rate) * 1000;
  as->codecpar->frame_size = ah.samples_per_frame;
  const AVRational audio_tb{1, ah.sample_rate};
  as->time_base = audio_tb;
  r = avio_open(&out->pb, AvFileName(output).c_str(), AVIO_FLAG_WRITE);
  if (r < 0) return Fail(AvErrorText(r));
  r = avformat_write_header(out.get(), nullptr);
  if (r < 0) return Fail(AvErrorText(r));

  // With B pictures a picture is decoded one picture before it is shown.
  const int64_t delay = vix.has_b ? 1 : 0;
  int64_t vi = 0, ai = 0;
  bool vmore = NextOf(vin.get(), vix.stream, vpkt.get());
  bool amore = true;  // the first audio packet is in `apkt`
  while (vmore || amore) {
    const double vt = vmore ? double(vi - delay) / fps : 1e300;
    const double at = amore ? double(ai) * ah.samples_per_frame / ah.sample_rate : 1e300;
    if (vmore && vt <= at) {
      const int32_t shown = size_t(vi) < vix.display.size() ? vix.display[size_t(vi)] : 0;
      const int64_t dts = vi - delay;
      const int64_t pts = std::max(dts, shown > 0 ? int64_t(shown) - 1 : vi);
      vpkt->stream_index = vs->index;
      vpkt->pts = av_rescale_q(pts, frame_tb, vs->time_base);
      vpkt->dts = av_rescale_q(dts, frame_tb, vs->time_base);
      vpkt->duration = av_rescale_q(1, frame_tb, vs->time_base);
      vpkt->pos = -1;
      r = av_interleaved_write_frame(out.get(), vpkt.get());
      if (r < 0) return Fail(AvErrorText(r));
      ++vi;
      vmore = NextOf(vin.get(), vix.stream, vpkt.get());
    } else {
      apkt->stream_index = as->index;
      apkt->pts = apkt->dts = av_rescale_q(ai * ah.samples_per_frame, audio_tb, as->time_base);
      apkt->duration = av_rescale_q(ah.samples_per_frame, audio_tb, as->time_base);
      apkt->pos = -1;
      r = av_interleaved_write_frame(out.get(), apkt.get());
      if (r < 0) return Fail(AvErrorText(r));
      ++ai;
      amore = NextOf(ain.get(), astream, apkt.get());
    }
  }
  r = av_write_trailer(out.get());
  if (r < 0) return Fail(AvErrorText(r));
  r = avio_closep(&out->pb);
  if (r < 0) return Fail(AvErrorText(r));
  return true;
}

}  // namespace vek::platform
