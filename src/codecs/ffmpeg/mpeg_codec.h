// MPEG video and audio coding: decoders, encoders and the system-stream
// multiplexer the MPEG module calls, built on FFmpeg's libraries. No FFmpeg
// type crosses this header.
//
// Failures: every call that fails hands one message to the error function of
// its library (the library's own last message when it gave one, else a plain
// description) as its last act, then returns false. The error function may
// raise: nothing is left open behind it. FFmpeg's own logging never reaches
// standard error; its error messages are kept for these reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vek::platform {

using MpegErrorFunc = void (*)(const char* message);

// The four libraries behind this header that report through their own
// error function (the video encoder has EncErrorFuncSet).
enum class MpegLib { kVideoDecoder, kAudioDecoder, kAudioEncoder, kMultiplexer };
void MOSLErrorFuncSet(MpegLib lib, MpegErrorFunc func);
void EncErrorFuncSet(MpegErrorFunc func);

// MPEG frame rates by rate code 1..8; code 0 is unknown (0).
double MpegRateOfCode(int32_t code);

// ---- video decoder ----

struct MpegVideoInfo {
  int32_t width = 0, height = 0;
  int32_t frames = 0;     // pictures the decoder delivers
  int32_t rate_code = 0;  // 0..8
  double bit_rate = 0;    // bits per second, as the sequence header states
  bool mpeg2 = false;
  bool has_audio = false;  // an MPEG audio stream shares the file
};

// True when the file holds MPEG-1 or MPEG-2 video (elementary or program stream).
bool GetMPEGInfo(const std::string& name, MpegVideoInfo& info);

struct MpegVideoDecoder;
struct MpegVideoDecoderClose {
  void operator()(MpegVideoDecoder* d) const;
};
using MpegVideoDecoderPtr = std::unique_ptr<MpegVideoDecoder, MpegVideoDecoderClose>;

// Opens the video for frame-accurate reading; fills `info`.
bool OpenMPEG(MpegVideoDecoderPtr& decoder, const std::string& name, MpegVideoInfo& info);
// Makes the next GetMPEGFrame deliver frame `frame` (1-based).
bool SeekMPEG(MpegVideoDecoder& decoder, int32_t frame);
// Decodes the next frame as 24-bit pixels, rows top-down, blue, green, red,
// into `pixels` (width x height x 3 bytes).
bool GetMPEGFrame(MpegVideoDecoder& decoder, uint8_t* pixels);
// The frame GetMPEGFrame delivers next (1-based).
int32_t NextMPEGFrame(const MpegVideoDecoder& decoder);
inline void CloseMPEG(MpegVideoDecoderPtr& decoder) { decoder.reset(); }

// ---- audio decoder ----

struct MpegAudioInfo {
  double sample_rate = 0;
  int32_t channels = 0;
  int32_t bits = 16;             // delivered samples are 16-bit signed
  int32_t samples_per_frame = 0; // 384, 576 or 1152
  int32_t frames = 0;            // audio frames of samples_per_frame samples
  int32_t total_samples = 0;     // sample frames delivered in all
  int32_t version = 0;           // 0 MPEG-2 low sampling frequencies, 1 MPEG-1, 2 MPEG-2.5
  int32_t layer = 0;             // 1..3; 0 for AC-3
  bool ac3 = false;              // Dolby AC-3 (in program streams), mixed down to stereo
  int32_t bit_rate = 0;          // kilobits per second
};

bool GetMPAInfo(const std::string& name, MpegAudioInfo& info);

struct MpegAudioDecoder;
struct MpegAudioDecoderClose {
  void operator()(MpegAudioDecoder* d) const;
};
using MpegAudioDecoderPtr = std::unique_ptr<MpegAudioDecoder, MpegAudioDecoderClose>;

bool OpenMPA(MpegAudioDecoderPtr& decoder, const std::string& name, MpegAudioInfo& info);
// The next data starts at sample frame frame x samples_per_frame.
bool SeekMPA(MpegAudioDecoder& decoder, int32_t frame);
// Interleaved 16-bit PCM; `delivered` is below `wanted` only at the end.
bool GetMPAData(MpegAudioDecoder& decoder, int16_t* buffer, int32_t wanted, int32_t& delivered);
inline void CloseMPA(MpegAudioDecoderPtr& decoder) { decoder.reset(); }

// ---- video encoder ----

struct MpegEncParams {
  int32_t one;         // always 1
  int32_t mpeg1;       // 1 MPEG-1, 0 MPEG-2
  int32_t width;
  int32_t height;
  int32_t rate_code;   // 1..8
  double bit_rate;     // bits per second
};

// Asked for the pixels of a frame (0-based, in the order given); answers a
// pointer to width x height x 3 bytes laid out as the decoder delivers them.
using MpegImgPtrFunc = void (*)(int32_t frame, const uint8_t** pixels);
void GetImgPtrFuncSet(MpegImgPtrFunc func);

struct MpegVideoEncoder;
struct MpegVideoEncoderClose {
  void operator()(MpegVideoEncoder* e) const;
};
using MpegVideoEncoderPtr = std::unique_ptr<MpegVideoEncoder, MpegVideoEncoderClose>;

bool CreateMPEG(MpegVideoEncoderPtr& encoder, const std::string& name, const MpegEncParams& params);
void SetNumFramesMPEG(MpegVideoEncoder& encoder, int32_t frames);
// Encodes the next frame, fetching its pixels through the image function.
bool PutMPEGFrame(MpegVideoEncoder& encoder);
// Drains the encoder and finishes the file. Dropping an encoder without this
// call closes the file as far as written.
bool CloseMPEGEnc(MpegVideoEncoderPtr& encoder);

// ---- audio encoder ----

struct MpegAudioEncParams {
  int32_t layer;        // 2
  int32_t sample_rate;  // 32000, 44100 or 48000
  int32_t mode;         // 3 one channel, 0 two channels
  int32_t reserved1;
  int32_t reserved2;
  int32_t kbps;         // bit rate
};

struct MpegAudioEncoder;
struct MpegAudioEncoderClose {
  void operator()(MpegAudioEncoder* e) const;
};
using MpegAudioEncoderPtr = std::unique_ptr<MpegAudioEncoder, MpegAudioEncoderClose>;

bool MPACreate(MpegAudioEncoderPtr& encoder, const std::string& name,
               const MpegAudioEncParams& params);
// Interleaved 16-bit samples, `count` sample frames.
bool MPASave(MpegAudioEncoder& encoder, const int16_t* samples, int32_t count);
bool MPAClose(MpegAudioEncoderPtr& encoder);

// ---- multiplexer ----

// Writes a system stream of the video and the audio elementary streams
// (MPEG-1 system stream, or an MPEG-2 program stream for MPEG-2 video).
bool MPlexMPEG(const std::string& output, const std::string& video, const std::string& audio);

// ---- files ----

// The folder for temporary files, with a trailing separator.
std::string MpegTempFolder();

}  // namespace vek::platform
