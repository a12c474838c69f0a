// The audio compression service: converts between wave formats and decodes
// the compressed wave formats found in WAV and AVI files. The calls, flags,
// record layouts and result codes are those a Windows host knows from its
// Audio Compression Manager, so results can be reported and compared as is.
#pragma once

#include <cstdint>

#include "platform/wave_format.h"

namespace vek::platform {

// Result codes of the compression manager (the general ones: platform/wave_format.h).
inline constexpr MMRESULT ACMERR_BASE = 512;
inline constexpr MMRESULT ACMERR_NOTPOSSIBLE = ACMERR_BASE + 0;
inline constexpr MMRESULT ACMERR_BUSY = ACMERR_BASE + 1;
inline constexpr MMRESULT ACMERR_UNPREPARED = ACMERR_BASE + 2;
inline constexpr MMRESULT ACMERR_CANCELED = ACMERR_BASE + 3;

// acmStreamOpen flags.
inline constexpr DWORD ACM_STREAMOPENF_QUERY = 0x00000001;
inline constexpr DWORD ACM_STREAMOPENF_ASYNC = 0x00000002;
inline constexpr DWORD ACM_STREAMOPENF_NONREALTIME = 0x00000004;
// acmStreamSize flags.
inline constexpr DWORD ACM_STREAMSIZEF_SOURCE = 0x00000000;
inline constexpr DWORD ACM_STREAMSIZEF_DESTINATION = 0x00000001;
inline constexpr DWORD ACM_STREAMSIZEF_QUERYMASK = 0x0000000F;
// acmStreamConvert flags.
inline constexpr DWORD ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
inline constexpr DWORD ACM_STREAMCONVERTF_START = 0x00000010;
inline constexpr DWORD ACM_STREAMCONVERTF_END = 0x00000020;
// Stream header status bits.
inline constexpr DWORD ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
inline constexpr DWORD ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
inline constexpr DWORD ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;
// acmFormatSuggest flags.
inline constexpr DWORD ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
inline constexpr DWORD ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
inline constexpr DWORD ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
inline constexpr DWORD ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;
inline constexpr DWORD ACM_FORMATSUGGESTF_TYPEMASK = 0x00FF0000;
// acmFormatTagDetails flags.
inline constexpr DWORD ACM_FORMATTAGDETAILSF_INDEX = 0x00000000;
inline constexpr DWORD ACM_FORMATTAGDETAILSF_FORMATTAG = 0x00000001;
inline constexpr DWORD ACM_FORMATTAGDETAILSF_LARGESTSIZE = 0x00000002;
inline constexpr DWORD ACM_FORMATTAGDETAILSF_QUERYMASK = 0x0000000F;

struct AcmStream;
using HACMSTREAM = AcmStream*;
using HACMDRIVER = void*;

// The driver's scratch words at the end of the stream header: the system's
// header has 15 of them on 64-bit Windows, 10 everywhere else. The system
// declares it byte-packed, which only shows on 64-bit Windows (124 bytes,
// not 128).
#if defined(_WIN64)
inline constexpr int kAcmReservedWords = 15;
#pragma pack(push, 1)
#else
inline constexpr int kAcmReservedWords = 10;
#pragma pack(push)
#endif

// The stream header. On a 32-bit host it is the 84-byte record hosts know;
// `cbStruct` must hold kAcmStreamHeaderSize whatever the pointer width.
struct ACMSTREAMHEADER {
  DWORD cbStruct;
  DWORD fdwStatus;
  uintptr_t dwUser;
  uint8_t* pbSrc;
  DWORD cbSrcLength;
  DWORD cbSrcLengthUsed;
  uintptr_t dwSrcUser;
  uint8_t* pbDst;
  DWORD cbDstLength;
  DWORD cbDstLengthUsed;
  uintptr_t dwDstUser;
  DWORD dwReservedDriver[kAcmReservedWords];
};
#pragma pack(pop)
inline constexpr DWORD kAcmStreamHeaderSize = 84;
static_assert(sizeof(void*) != 4 || sizeof(ACMSTREAMHEADER) == kAcmStreamHeaderSize);

inline constexpr int ACMFORMATTAGDETAILS_FORMATTAG_CHARS = 48;
struct ACMFORMATTAGDETAILS {
  DWORD cbStruct;
  DWORD dwFormatTagIndex;
  DWORD dwFormatTag;
  DWORD cbFormatSize;
  DWORD fdwSupport;
  DWORD cFormats;
  char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};
static_assert(sizeof(ACMFORMATTAGDETAILS) == 72);
// fdwSupport bits.
inline constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x00000001;
inline constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x00000002;

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, DWORD fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose);
MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, DWORD* pdwOutputBytes, DWORD fdwSize);
MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwPrepare);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwUnprepare);
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwConvert);
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          DWORD cbwfxDst, DWORD fdwSuggest);
MMRESULT acmFormatTagDetails(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, DWORD fdwDetails);
// The ANSI name hosts call it by.
inline MMRESULT acmFormatTagDetailsA(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, DWORD fdwDetails) {
  return acmFormatTagDetails(had, paftd, fdwDetails);
}

// Streams still open (for leak checks in tests).
int32_t AcmOpenStreams();

// Sample frames in one block of a block codec (ADPCM, GSM, A-law, mu-law);
// 0 for other formats and for unusable blocks.
inline int64_t AcmSamplesPerBlock(const WAVEFORMATEX& f) {
  const int64_t ch = f.nChannels, ba = f.nBlockAlign;
  switch (f.wFormatTag) {
    case WAVE_FORMAT_ADPCM:
      // 7 header bytes per channel with two samples, then 4-bit samples.
      return ba > 7 * ch ? (ba - 7 * ch) * 2 / ch + 2 : 0;
    case WAVE_FORMAT_IMA_ADPCM: {
      const int64_t bits = f.wBitsPerSample >= 2 && f.wBitsPerSample <= 5 ? f.wBitsPerSample : 4;
      return ba > 4 * ch ? (ba - 4 * ch) * 8 / (bits * ch) + 1 : 0;
    }
    case WAVE_FORMAT_GSM610:
      return ba == 65 ? 320 : 0;
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
      return 1;
    default:
      return 0;
  }
}

}  // namespace vek::platform
