// The audio compression service on Windows: the Audio Compression Manager
// itself. Our records have the layout of the system's, so calls pass through.
#include "platform/acm/acm.h"

// After our declarations: the system headers define some of our names as macros.
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>

#undef acmFormatTagDetails
#undef ACMFORMATTAGDETAILS

namespace vek::platform {

namespace {
int32_t g_open_streams = 0;

::HACMSTREAM Sys(HACMSTREAM h) { return reinterpret_cast<::HACMSTREAM>(h); }
::LPACMSTREAMHEADER Sys(ACMSTREAMHEADER* h) { return reinterpret_cast<::LPACMSTREAMHEADER>(h); }
::LPWAVEFORMATEX Sys(const WAVEFORMATEX* f) {
  return reinterpret_cast<::LPWAVEFORMATEX>(const_cast<WAVEFORMATEX*>(f));
}

// Our callers count the header as kAcmStreamHeaderSize bytes whatever the
// pointer width; the system wants its own size, larger on 64-bit Windows.
// The size is shown to the system for the call only.
template <typename Call>
MMRESULT WithSystemSize(ACMSTREAMHEADER* pash, Call call) {
  if (!pash || pash->cbStruct != kAcmStreamHeaderSize) return call();
  pash->cbStruct = sizeof(::ACMSTREAMHEADER);
  const MMRESULT r = call();
  pash->cbStruct = kAcmStreamHeaderSize;
  return r;
}
// The system's ADPCM codecs trust the record's fields and divide by them
// (a hostile file's record stops the process): records they cannot decode
// are turned away here. The caller holds cbSize bytes behind the header.
bool AdpcmRecordOk(const WAVEFORMATEX* f) {
  if (!f || (f->wFormatTag != WAVE_FORMAT_ADPCM && f->wFormatTag != WAVE_FORMAT_IMA_ADPCM))
    return true;
  constexpr uint32_t kMaxRate = 384000;
  const int64_t spb = AcmSamplesPerBlock(*f);
  if (f->nChannels < 1 || f->nChannels > 2 || f->wBitsPerSample != 4 || f->nSamplesPerSec == 0 ||
      f->nSamplesPerSec > kMaxRate || spb <= 0 || f->cbSize < 2)
    return false;
  const auto* extra = reinterpret_cast<const uint8_t*>(f) + sizeof(WAVEFORMATEX);
  const int64_t stored_spb = extra[0] | extra[1] << 8;
  if (stored_spb < 1 || stored_spb > spb) return false;
  if (f->wFormatTag == WAVE_FORMAT_ADPCM) {
    // Samples per block, the coefficient count, then the coefficient pairs:
    // at least the seven standard ones.
    if (f->cbSize < 4) return false;
    const int64_t coefs = extra[2] | extra[3] << 8;
    if (coefs < 7 || 4 + 4 * coefs > f->cbSize) return false;
  }
  return true;
}
}  // namespace

static_assert(sizeof(ACMSTREAMHEADER) == sizeof(::ACMSTREAMHEADER));
static_assert(offsetof(ACMSTREAMHEADER, pbDst) == offsetof(::ACMSTREAMHEADER, pbDst));
static_assert(offsetof(ACMSTREAMHEADER, dwDstUser) == offsetof(::ACMSTREAMHEADER, dwDstUser));
static_assert(offsetof(ACMSTREAMHEADER, dwReservedDriver) ==
              offsetof(::ACMSTREAMHEADER, dwReservedDriver));
static_assert(sizeof(ACMFORMATTAGDETAILS) == sizeof(::ACMFORMATTAGDETAILSA));

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, DWORD fdwOpen) {
  if (phas) *phas = nullptr;
  if (!AdpcmRecordOk(pwfxSrc)) return ACMERR_NOTPOSSIBLE;
  ::HACMSTREAM h = nullptr;
  const MMRESULT r = ::acmStreamOpen(
      phas ? &h : nullptr, reinterpret_cast<::HACMDRIVER>(had), Sys(pwfxSrc), Sys(pwfxDst),
      reinterpret_cast<::LPWAVEFILTER>(const_cast<void*>(pwfltr)), dwCallback, dwInstance,
      fdwOpen);
  if (phas) *phas = reinterpret_cast<HACMSTREAM>(h);
  if (r == 0 && h && !(fdwOpen & ACM_STREAMOPENF_QUERY)) ++g_open_streams;
  return r;
}

MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose) {
  const MMRESULT r = ::acmStreamClose(Sys(has), fdwClose);
  if (r == 0) --g_open_streams;
  return r;
}

MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, DWORD* pdwOutputBytes, DWORD fdwSize) {
  ::DWORD out = 0;
  const MMRESULT r = ::acmStreamSize(Sys(has), cbInput, &out, fdwSize);
  if (pdwOutputBytes) *pdwOutputBytes = out;
  return r;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwPrepare) {
  return WithSystemSize(pash, [&] { return ::acmStreamPrepareHeader(Sys(has), Sys(pash), fdwPrepare); });
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwUnprepare) {
  return WithSystemSize(pash, [&] { return ::acmStreamUnprepareHeader(Sys(has), Sys(pash), fdwUnprepare); });
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwConvert) {
  return WithSystemSize(pash, [&] { return ::acmStreamConvert(Sys(has), Sys(pash), fdwConvert); });
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          DWORD cbwfxDst, DWORD fdwSuggest) {
  if (!AdpcmRecordOk(pwfxSrc)) return ACMERR_NOTPOSSIBLE;
  return ::acmFormatSuggest(reinterpret_cast<::HACMDRIVER>(had), Sys(pwfxSrc), Sys(pwfxDst),
                            cbwfxDst, fdwSuggest);
}

MMRESULT acmFormatTagDetails(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, DWORD fdwDetails) {
  return ::acmFormatTagDetailsA(reinterpret_cast<::HACMDRIVER>(had),
                                reinterpret_cast<::LPACMFORMATTAGDETAILSA>(paftd), fdwDetails);
}

int32_t AcmOpenStreams() { return g_open_streams; }

}  // namespace vek::platform
