// Ogg Vorbis files: decoding and encoding calls over libvorbisfile,
// libvorbis, libvorbisenc and libogg. The decoding calls keep the names and
// arguments of the Vorbis file interface, with these differences: the file
// is opened and closed by name (ov_open_2, ov_clear_2), the caller provides
// the decoder's storage (a block of kOvFileStructSize bytes), positions given
// to ov_pcm_seek count from 1 and its result is the new position counted
// from 0, and ov_read ends at a chained stream whose channels or rate differ
// from the first one (the samples could not be told apart). Encoding writes
// one logical stream of variable bit rate.
#pragma once

#include <cstdint>

#include "platform/wave_format.h"

namespace vek::platform {

inline constexpr int32_t kOvFileStructSize = 4096;

// Results (those of libvorbisfile).
inline constexpr int32_t OV_FALSE = -1;
inline constexpr int32_t OV_EOF = -2;
inline constexpr int32_t OV_HOLE = -3;
inline constexpr int32_t OV_EREAD = -128;
inline constexpr int32_t OV_EFAULT = -129;
inline constexpr int32_t OV_EIMPL = -130;
inline constexpr int32_t OV_EINVAL = -131;
inline constexpr int32_t OV_ENOTVORBIS = -132;
inline constexpr int32_t OV_EBADHEADER = -133;
inline constexpr int32_t OV_EVERSION = -134;
inline constexpr int32_t OV_ENOTAUDIO = -135;
inline constexpr int32_t OV_EBADPACKET = -136;
inline constexpr int32_t OV_EBADLINK = -137;
inline constexpr int32_t OV_ENOSEEK = -138;

struct OvFileHandle;  // the open file
struct OvEncoder;

// What ov_info tells about a stream.
struct OvInfo {
  int32_t version;
  int32_t channels;
  int32_t rate;
  int32_t bitrate_upper, bitrate_nominal, bitrate_lower;
};

// Opens `name` and its first stream into `vf`; 0 on success, else a negative
// result, with nothing left open. `initial` and `ibytes` are not supported
// (null and 0).
int32_t ov_open_2(OvFileHandle** handle, const char* name, void* vf, const char* initial,
                  int32_t ibytes);
// Link -1: the current stream. Null when unknown.
const OvInfo* ov_info(void* vf, int32_t link);
// Sample frames of a link (-1: of the whole file); negative on error.
int64_t ov_pcm_total(void* vf, int32_t link);
// Moves to the frame `position` - 1; a position beyond the end moves to the
// end, one below 1 to the start. Returns the new position (from 0) or a
// negative result.
int64_t ov_pcm_seek(void* vf, int64_t position);
// Interleaved PCM into `buffer`: bytes delivered (whole frames), 0 at the end,
// negative on error. Word sizes 1 and 2, either byte order and signedness.
int32_t ov_read(void* vf, char* buffer, int32_t length, int32_t bigendian, int32_t word,
                int32_t sgned, int32_t* bitstream);
// Frees the decoder and closes the file; harmless on a null handle.
int32_t ov_clear_2(OvFileHandle* handle, void* vf);

// Creates the file; non-zero on success. The encoder reads the PCM format
// at `*format` on the first write (or on the close when nothing was written),
// so the caller may fill it after this call. `quality` is Vorbis' own scale,
// -0.1 to 1.0.
int32_t ov_create(OvEncoder** encoder, const char* name, const WAVEFORMATEX* format,
                  float quality);
// Encodes `bytes` bytes of interleaved PCM (8 or 16 bits); 0 or a negative result.
int32_t ov_write(OvEncoder* encoder, const void* samples, int32_t bytes);
// Finishes the stream, closes the file and frees the encoder; 0 or negative.
int32_t ov_close(OvEncoder* encoder);

// Files and encoders still open (for leak checks in tests).
int32_t OvOpenHandles();

}  // namespace vek::platform
