// The installed video codecs: libavcodec's video codecs by FourCC (mapped
// through libavformat's RIFF tag table), answering the IC calls and
// messages a Windows host sends its installed compressors, plus our own
// Microsoft RLE encoder for 8-bit frames. Codecs have no about or
// configuration boxes here and say so when asked.
#pragma once

#include <cstdint>

#include "platform/vfw/avifile.h"

namespace vek::platform {

using HIC = struct IcCodec*;

struct ICINFO {
  uint32_t dwSize;
  FOURCC fccType;
  FOURCC fccHandler;
  uint32_t dwFlags;  // VIDCF_...
  uint32_t dwVersion;
  uint32_t dwVersionICM;
  char szName[16];
  char szDescription[128];
  char szDriver[128];
};

inline constexpr uint32_t VIDCF_QUALITY = 0x0001;
inline constexpr uint32_t VIDCF_CRUNCH = 0x0002;
inline constexpr uint32_t VIDCF_TEMPORAL = 0x0004;
inline constexpr uint32_t VIDCF_COMPRESSFRAMES = 0x0008;
inline constexpr uint32_t VIDCF_FASTTEMPORALC = 0x0020;

inline constexpr uint32_t ICMODE_COMPRESS = 1;
inline constexpr uint32_t ICMODE_DECOMPRESS = 2;
inline constexpr uint32_t ICMODE_QUERY = 4;

inline constexpr uint32_t ICM_USER = 0x4000;
inline constexpr uint32_t ICM_RESERVED = 0x5000;
inline constexpr uint32_t ICM_GETSTATE = ICM_RESERVED + 0;
inline constexpr uint32_t ICM_SETSTATE = ICM_RESERVED + 1;
inline constexpr uint32_t ICM_GETINFO = ICM_RESERVED + 2;
inline constexpr uint32_t ICM_CONFIGURE = ICM_RESERVED + 10;
inline constexpr uint32_t ICM_ABOUT = ICM_RESERVED + 11;
inline constexpr uint32_t ICM_GETDEFAULTQUALITY = ICM_RESERVED + 30;
inline constexpr uint32_t ICM_GETQUALITY = ICM_RESERVED + 31;
inline constexpr uint32_t ICM_SETQUALITY = ICM_RESERVED + 32;
inline constexpr uint32_t ICM_COMPRESS_GET_FORMAT = ICM_USER + 4;
inline constexpr uint32_t ICM_COMPRESS_GET_SIZE = ICM_USER + 5;
inline constexpr uint32_t ICM_COMPRESS_QUERY = ICM_USER + 6;
inline constexpr uint32_t ICM_COMPRESS_BEGIN = ICM_USER + 7;
inline constexpr uint32_t ICM_COMPRESS = ICM_USER + 8;
inline constexpr uint32_t ICM_COMPRESS_END = ICM_USER + 9;
inline constexpr uint32_t ICM_DECOMPRESS_QUERY = ICM_USER + 11;
inline constexpr uint32_t ICM_GETDEFAULTKEYFRAMERATE = ICM_USER + 42;
inline constexpr uint32_t ICM_COMPRESS_FRAMES_INFO = ICM_USER + 70;

inline constexpr LRESULT ICERR_OK = 0;
inline constexpr LRESULT ICERR_UNSUPPORTED = -1;
inline constexpr LRESULT ICERR_BADFORMAT = -2;
inline constexpr LRESULT ICERR_MEMORY = -3;
inline constexpr LRESULT ICERR_INTERNAL = -4;
inline constexpr LRESULT ICERR_BADPARAM = -6;
inline constexpr LRESULT ICERR_BADSIZE = -7;
inline constexpr LRESULT ICERR_BADHANDLE = -8;
inline constexpr LRESULT ICERR_ERROR = -100;

// ICM_ABOUT / ICM_CONFIGURE with this first parameter only ask whether the
// box exists (ICERR_OK) or not (ICERR_UNSUPPORTED).
inline constexpr uintptr_t ICMF_QUERY_WINDOW = uintptr_t(-1);

// ICM_COMPRESS parameter record.
struct ICCOMPRESS {
  uint32_t dwFlags;  // ICCOMPRESS_KEYFRAME asks for a key frame
  BITMAPINFOHEADER* lpbiOutput;
  void* lpOutput;  // room for ICM_COMPRESS_GET_SIZE bytes
  BITMAPINFOHEADER* lpbiInput;
  const void* lpInput;
  uint32_t* lpckid;
  uint32_t* lpdwFlags;  // receives AVIIF_KEYFRAME for key frames
  int32_t lFrameNum;
  uint32_t dwFrameSize;
  uint32_t dwQuality;
  BITMAPINFOHEADER* lpbiPrev;
  void* lpPrev;
};
inline constexpr uint32_t ICCOMPRESS_KEYFRAME = 1;

// ICM_COMPRESS_FRAMES_INFO parameter record.
struct ICCOMPRESSFRAMES {
  uint32_t dwFlags;
  BITMAPINFOHEADER* lpbiOutput;
  intptr_t lOutput;
  BITMAPINFOHEADER* lpbiInput;
  intptr_t lInput;
  int32_t lStartFrame;
  int32_t lFrameCount;
  int32_t lQuality;
  int32_t lDataRate;  // bytes per second
  int32_t lKeyRate;
  uint32_t dwRate;
  uint32_t dwScale;
  uint32_t dwOverheadPerFrame;
  uint32_t dwReserved2;
};

// Enumerates the compressors of type `type` by index (`handler` is the
// index); with a FourCC handler, describes that codec. False past the end.
bool ICInfo(FOURCC type, FOURCC handler, ICINFO* info);
HIC ICOpen(FOURCC type, FOURCC handler, uint32_t mode);
LRESULT ICClose(HIC codec);
LRESULT ICGetInfo(HIC codec, ICINFO* info, uint32_t size);
LRESULT ICSendMessage(HIC codec, uint32_t message, uintptr_t param1, uintptr_t param2);
// Codecs still open (leak checks in tests).
int32_t IcOpenCodecs();

}  // namespace vek::platform
