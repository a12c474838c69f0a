// Multimedia file input/output on Windows: the system's mmio calls. Our
// chunk record has the layout of the system's, so calls pass through.
#include "platform/mmio/mmio.h"

// After our declarations: the system headers define some of our names as macros.
#include <windows.h>
#include <mmsystem.h>

namespace vek::platform {

namespace {
int32_t g_open = 0;

::HMMIO Sys(HMMIO h) { return reinterpret_cast<::HMMIO>(h); }
::LPMMCKINFO Sys(MMCKINFO* ck) { return reinterpret_cast<::LPMMCKINFO>(ck); }
::LPMMCKINFO Sys(const MMCKINFO* ck) { return reinterpret_cast<::LPMMCKINFO>(const_cast<MMCKINFO*>(ck)); }
}  // namespace

static_assert(sizeof(MMCKINFO) == sizeof(::MMCKINFO));

HMMIO mmioOpenA(const char* name, void* info, DWORD flags, MMRESULT* error) {
  (void)info;
  ::MMIOINFO mi{};
  // Buffered, as the other build always is.
  ::HMMIO h = ::mmioOpenA(const_cast<char*>(name ? name : ""), &mi, flags | MMIO_ALLOCBUF);
  if (error) *error = h ? 0 : (mi.wErrorRet ? mi.wErrorRet : MMIOERR_CANNOTOPEN);
  if (h) ++g_open;
  return reinterpret_cast<HMMIO>(h);
}

MMRESULT mmioClose(HMMIO h, UINT flags) {
  if (!h) return MMSYSERR_INVALHANDLE;
  --g_open;
  return ::mmioClose(Sys(h), flags);
}

LONG mmioRead(HMMIO h, char* buffer, LONG count) { return ::mmioRead(Sys(h), buffer, count); }

LONG mmioWrite(HMMIO h, const char* buffer, LONG count) {
  return ::mmioWrite(Sys(h), buffer, count);
}

LONG mmioSeek(HMMIO h, LONG offset, int origin) { return ::mmioSeek(Sys(h), offset, origin); }

MMRESULT mmioFlush(HMMIO h, UINT flags) { return ::mmioFlush(Sys(h), flags); }

MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, UINT flags) {
  return ::mmioDescend(Sys(h), Sys(ck), parent ? Sys(parent) : nullptr, flags);
}

MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, UINT flags) {
  // A written chunk of odd size ends in a pad byte. Windows writes it; Wine
  // only steps over it, and a file whose last chunk is odd came out one
  // byte short. Written here first (Windows then writes the same zero).
  if (ck && (ck->dwFlags & MMIO_DIRTY)) {
    const LONG end = ::mmioSeek(Sys(h), 0, SEEK_CUR);
    if (end >= 0 && DWORD(end) >= ck->dwDataOffset && ((DWORD(end) - ck->dwDataOffset) & 1)) {
      char pad = 0;
      if (::mmioWrite(Sys(h), &pad, 1) != 1) return MMIOERR_CANNOTWRITE;
      ::mmioSeek(Sys(h), end, SEEK_SET);
    }
  }
  return ::mmioAscend(Sys(h), Sys(ck), flags);
}

MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, UINT flags) {
  return ::mmioCreateChunk(Sys(h), Sys(ck), flags);
}

int32_t MmioOpenHandles() { return g_open; }

}  // namespace vek::platform
