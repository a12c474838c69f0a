// Shared pieces of the MPEG layer over FFmpeg: owners of FFmpeg objects,
// the captured library messages, input opening and MPEG header parsing.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/ffmpeg/av_handles.h"
#include "codecs/ffmpeg/mpeg_codec.h"

namespace vek::platform::mpeg {

using codecs::FramePtr;
using codecs::InputPtr;
using codecs::PacketPtr;
using codecs::SwsPtr;
using CodecPtr = codecs::CodecCtxPtr;

// Routes FFmpeg's log into the capture (idempotent).
void QuietLog();
// Forgets the last captured message.
void ClearMessage();
// Reports a failure of `lib`: the last captured library message, or `text`.
// Always false; the error function may raise.
bool Fail(MpegLib lib, const char* text);
bool FailEncoder(const char* text);
// The message text of an FFmpeg error number.
std::string AvErrorText(int err);

// Which demuxers an input may be read with.
enum class InputKind { kVideo, kAudio };
// Opens an MPEG program stream, video elementary stream or audio stream;
// null (after Fail) when the file is none of these.
InputPtr OpenInput(const std::string& name, InputKind kind, MpegLib lib);

PacketPtr NewPacket();
FramePtr NewFrame();

// ---- MPEG video headers (start codes 00 00 01 xx) ----

enum PictureType : int32_t { kPicNone = 0, kPicI = 1, kPicP = 2, kPicB = 3, kPicD = 4 };

struct VideoHeaders {
  bool has_sequence = false;
  int32_t width = 0, height = 0, rate_code = 0;
  int64_t bit_rate = 0;  // bits per second (units of 400 in the header)
  bool mpeg2 = false;    // a sequence extension follows
  bool has_gop = false;
  bool closed_gop = false;
  int32_t picture = kPicNone;  // type of the first picture in the data
  bool field = false;          // that picture is one field of a frame
  bool both_fields = false;    // a field picture followed by the other field in the data
};
// Scans one packet for the headers above.
void ScanVideoHeaders(const uint8_t* data, int64_t size, VideoHeaders& out);

// The picture index of a video stream, read without decoding.
struct SeekPoint {
  int32_t packet;         // decode index
  int32_t first_display;  // first frame the decoder gives from there
};
struct VideoIndex {
  int stream = -1;
  MpegVideoInfo info;
  std::vector<int32_t> display;  // display number (1-based) of each packet, 0 for none
  std::vector<int64_t> pos;      // byte position the demuxer gives each packet (-1 unknown)
  std::vector<int32_t> size;     // and its size
  std::vector<SeekPoint> points;
  bool has_b = false;
};
// Reads every packet of `in` once; false when it holds no MPEG video.
bool ScanVideo(AVFormatContext* in, VideoIndex& ix);

// ---- MPEG audio frame header ----

struct AudioHeader {
  int32_t version = 0;  // 1 MPEG-1, 0 MPEG-2, 2 MPEG-2.5
  int32_t layer = 0;
  int32_t bit_rate = 0;  // kbps, 0 free format
  int32_t sample_rate = 0;
  int32_t channels = 0;
  int32_t samples_per_frame = 0;
};
// Finds the first valid frame header in the data.
bool ParseAudioHeader(const uint8_t* data, int64_t size, AudioHeader& out);
// An AC-3 frame header at the start of the data (layer 0 in `out`).
bool ParseAc3Header(const uint8_t* data, int64_t size, AudioHeader& out);

// A file name as FFmpeg opens it: FFmpeg takes UTF-8 names on Windows, while
// a host's names are in the ANSI code page there.
std::string AvFileName(const std::string& name);

}  // namespace vek::platform::mpeg
