// Buffered file input/output with RIFF chunk navigation: the multimedia file
// calls a Windows host knows (mmioOpen, mmioDescend, mmioAscend,
// mmioCreateChunk, mmioRead, mmioWrite, mmioSeek, mmioFlush, mmioClose), with
// their flags, record layout and result codes, on top of the C library's
// files. Positions and sizes are 32-bit, as in the RIFF format itself.
#pragma once

#include <cstdint>

#include "platform/wave_format.h"

namespace vek::platform {

using LONG = int32_t;
using UINT = uint32_t;
using FOURCC = uint32_t;

struct MmioFile;
using HMMIO = MmioFile*;

// Chunk description.
struct MMCKINFO {
  FOURCC ckid;         // chunk id
  DWORD cksize;        // size of the chunk's data (without the 8-byte header)
  FOURCC fccType;      // form or list type of "RIFF" and "LIST" chunks
  DWORD dwDataOffset;  // file offset of the data (for "RIFF"/"LIST": of the type)
  DWORD dwFlags;       // MMIO_DIRTY while a created chunk's size is not yet fixed
};

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
  return FOURCC(uint8_t(a)) | FOURCC(uint8_t(b)) << 8 | FOURCC(uint8_t(c)) << 16 |
         FOURCC(uint8_t(d)) << 24;
}
inline constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
inline constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');

// mmioOpen flags.
inline constexpr DWORD MMIO_READ = 0x00000000;
inline constexpr DWORD MMIO_WRITE = 0x00000001;
inline constexpr DWORD MMIO_READWRITE = 0x00000002;
inline constexpr DWORD MMIO_CREATE = 0x00001000;
inline constexpr DWORD MMIO_ALLOCBUF = 0x00010000;  // buffering is always on here
inline constexpr DWORD MMIO_RWMODE = 0x00000003;
// mmioDescend flags.
inline constexpr UINT MMIO_FINDCHUNK = 0x0010;
inline constexpr UINT MMIO_FINDRIFF = 0x0020;
inline constexpr UINT MMIO_FINDLIST = 0x0040;
// mmioCreateChunk flags.
inline constexpr UINT MMIO_CREATERIFF = 0x0020;
inline constexpr UINT MMIO_CREATELIST = 0x0040;
// MMCKINFO.dwFlags.
inline constexpr DWORD MMIO_DIRTY = 0x10000000;
// mmioSeek origins are those of <cstdio>: SEEK_SET, SEEK_CUR, SEEK_END.

// Results.
inline constexpr MMRESULT MMIO_NOERROR = 0;
inline constexpr MMRESULT MMIOERR_BASE = 256;
inline constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
inline constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
inline constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
inline constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
inline constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
inline constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
inline constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
inline constexpr MMRESULT MMIOERR_CANNOTEXPAND = MMIOERR_BASE + 8;
inline constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = MMIOERR_BASE + 9;
inline constexpr MMRESULT MMIOERR_UNBUFFERED = MMIOERR_BASE + 10;
inline constexpr MMRESULT MMIOERR_INVALIDFILE = MMIOERR_BASE + 16;

// Opens a file; null on failure (`error`, when given, receives the reason).
// The info record of the Windows call is not offered: pass null.
HMMIO mmioOpenA(const char* name, void* info, DWORD flags, MMRESULT* error = nullptr);
// Writes what is buffered and closes the handle (also on failure).
MMRESULT mmioClose(HMMIO h, UINT flags);
// Bytes read (0 at the end of the file), -1 on error.
LONG mmioRead(HMMIO h, char* buffer, LONG count);
// Bytes written, -1 on error.
LONG mmioWrite(HMMIO h, const char* buffer, LONG count);
// The new position, -1 on error (negative or beyond 2 GiB).
LONG mmioSeek(HMMIO h, LONG offset, int origin);
MMRESULT mmioFlush(HMMIO h, UINT flags);
// Descends into the next chunk at the current position; with a search flag,
// into the first following chunk that matches `ck` (MMIO_FINDCHUNK: ckid;
// MMIO_FINDRIFF / MMIO_FINDLIST: "RIFF" / "LIST" with fccType), never past
// the end of `parent`. MMIOERR_CHUNKNOTFOUND when there is none.
MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, UINT flags);
// Leaves a chunk: a created one gets its size fixed and its pad byte; the
// position moves behind the chunk and its pad byte.
MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, UINT flags);
// Writes a chunk header at the current position (with the type for
// MMIO_CREATERIFF / MMIO_CREATELIST) and marks `ck` dirty.
MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, UINT flags);

// Handles still open (for leak checks in tests).
int32_t MmioOpenHandles();

}  // namespace vek::platform
