// H.264 through Cisco's OpenH264 (BSD), driven directly: Debian's libavcodec
// does not carry it, and x264 is GPL and cannot go into the LGPL library.
// The encoder takes 4:2:0 planes and gives Annex B access units; the muxer
// turns those into what its container stores.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vek::codecs {

struct H264Settings {
  int32_t width = 0, height = 0;  // even
  double fps = 25;
  int64_t bit_rate = 0;      // bits per second; 0: constant quantiser from `qp`
  int32_t qp = 24;           // 0..51, used without a bit rate
  int32_t key_interval = 0;  // frames between IDR pictures; 0: only the first
  int32_t threads = 1;
};

struct H264Packet {
  std::vector<uint8_t> data;  // Annex B NAL units
  bool key = false;
  int64_t frame = 0;  // number of the picture it codes (no reordering)
};

class H264Encoder {
 public:
  ~H264Encoder();
  // Null with the reason in `error` when OpenH264 refuses the settings.
  static std::unique_ptr<H264Encoder> Create(const H264Settings& s, std::string& error);
  // Sequence and picture parameter sets (Annex B), for the container header.
  const std::vector<uint8_t>& Headers() const { return headers_; }
  // Codes one picture; `packet.data` stays empty when the rate control drops it.
  bool Encode(const uint8_t* const planes[3], const int32_t strides[3], H264Packet& packet);
  // The profile the stream is written with, as FFmpeg numbers it (H.264 profile_idc).
  int32_t Profile() const { return profile_; }
  static std::string Version();

 private:
  H264Encoder() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::vector<uint8_t> headers_;
  int32_t profile_ = 0;
  int64_t frame_ = 0;
  double fps_ = 25;
};

}  // namespace vek::codecs
