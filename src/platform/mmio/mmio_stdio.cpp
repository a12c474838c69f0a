// Multimedia file calls over the C library's buffered files.
#include "platform/mmio/mmio.h"
#include "foundation/byte_fields.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_set>

namespace vek::platform {

struct MmioFile {
  std::FILE* f = nullptr;
  bool writable = false;
  bool readable = false;
  int last = 0;     // 1 after a read, 2 after a write: switching needs a seek
  int64_t pos = 0;  // our own idea of the position, so no call asks the system
};

namespace {

constexpr int64_t kMaxPos = INT32_MAX;
constexpr size_t kBufferSize = 64 * 1024;

std::unordered_set<MmioFile*>& Handles() {
  static std::unordered_set<MmioFile*> handles;
  return handles;
}

bool Live(HMMIO h) { return h && Handles().count(h) > 0; }

bool SeekTo(HMMIO h, int64_t pos) {
  if (pos < 0 || pos > kMaxPos) return false;
  if (fseeko(h->f, static_cast<off_t>(pos), SEEK_SET) != 0) return false;
  h->pos = pos;
  h->last = 0;
  return true;
}

// Switches between reading and writing, which C files allow only across a seek.
bool Mode(HMMIO h, int op) {
  if (h->last != 0 && h->last != op && !SeekTo(h, h->pos)) return false;
  h->last = op;
  return true;
}

size_t ReadRaw(HMMIO h, void* buf, size_t n) {
  if (!h->readable || !Mode(h, 1)) return 0;
  const size_t got = std::fread(buf, 1, n, h->f);
  h->pos += static_cast<int64_t>(got);
  if (got < n) std::clearerr(h->f);
  return got;
}

bool WriteRaw(HMMIO h, const void* buf, size_t n) {
  if (!h->writable || h->pos + static_cast<int64_t>(n) > kMaxPos || !Mode(h, 2)) return false;
  const size_t put = std::fwrite(buf, 1, n, h->f);
  h->pos += static_cast<int64_t>(put);
  if (put < n) std::clearerr(h->f);
  return put == n;
}


}  // namespace

int32_t MmioOpenHandles() { return static_cast<int32_t>(Handles().size()); }

HMMIO mmioOpenA(const char* name, void* info, DWORD flags, MMRESULT* error) {
  MMRESULT dummy;
  MMRESULT& err = error ? *error : dummy;
  err = MMSYSERR_NOERROR;
  const DWORD rw = flags & MMIO_RWMODE;
  if (!name || info || rw == MMIO_RWMODE ||
      (flags & ~(MMIO_RWMODE | MMIO_CREATE | MMIO_ALLOCBUF))) {
    err = info || !name ? MMSYSERR_INVALPARAM : MMSYSERR_INVALFLAG;
    return nullptr;
  }
  const char* mode;
  if (flags & MMIO_CREATE)
    mode = rw == MMIO_WRITE ? "wb" : "w+b";
  else
    mode = rw == MMIO_READ ? "rb" : "r+b";
  errno = 0;
  std::FILE* f = std::fopen(name, mode);
  if (!f) {
    err = errno == ENOENT ? MMIOERR_FILENOTFOUND : MMIOERR_CANNOTOPEN;
    return nullptr;
  }
  MmioFile* h = new (std::nothrow) MmioFile;
  if (!h) {
    std::fclose(f);
    err = MMIOERR_OUTOFMEMORY;
    return nullptr;
  }
  std::setvbuf(f, nullptr, _IOFBF, kBufferSize);
  h->f = f;
  h->readable = rw != MMIO_WRITE;
  h->writable = rw != MMIO_READ;
  Handles().insert(h);
  return h;
}

MMRESULT mmioClose(HMMIO h, UINT flags) {
  if (!Live(h)) return MMSYSERR_INVALHANDLE;
  (void)flags;
  const bool ok = std::fclose(h->f) == 0;
  Handles().erase(h);
  delete h;
  return ok ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
}

LONG mmioRead(HMMIO h, char* buffer, LONG count) {
  if (!Live(h) || count < 0 || (count > 0 && !buffer)) return -1;
  if (count == 0) return 0;
  if (!h->readable) return -1;
  return static_cast<LONG>(ReadRaw(h, buffer, static_cast<size_t>(count)));
}

LONG mmioWrite(HMMIO h, const char* buffer, LONG count) {
  if (!Live(h) || count < 0 || (count > 0 && !buffer)) return -1;
  if (count == 0) return 0;
  return WriteRaw(h, buffer, static_cast<size_t>(count)) ? count : -1;
}

LONG mmioSeek(HMMIO h, LONG offset, int origin) {
  if (!Live(h)) return -1;
  int64_t base;
  switch (origin) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = h->pos;
      break;
    case SEEK_END: {
      if (std::fflush(h->f) != 0) return -1;
      struct stat st {};
      if (fstat(fileno(h->f), &st) != 0) return -1;
      base = static_cast<int64_t>(st.st_size);
      break;
    }
    default:
      return -1;
  }
  const int64_t target = base + offset;
  return SeekTo(h, target) ? static_cast<LONG>(target) : -1;
}

MMRESULT mmioFlush(HMMIO h, UINT flags) {
  if (!Live(h)) return MMSYSERR_INVALHANDLE;
  if (flags) return MMSYSERR_INVALFLAG;
  return std::fflush(h->f) == 0 ? MMSYSERR_NOERROR : MMIOERR_CANNOTWRITE;
}

MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, UINT flags) {
  if (!Live(h)) return MMSYSERR_INVALHANDLE;
  if (!ck) return MMSYSERR_INVALPARAM;
  const UINT search = flags & (MMIO_FINDCHUNK | MMIO_FINDRIFF | MMIO_FINDLIST);
  if ((flags & ~search) || (search & (search - 1))) return MMSYSERR_INVALFLAG;
  const FOURCC want_id = ck->ckid;
  const FOURCC want_type = ck->fccType;
  const int64_t end = parent ? int64_t(parent->dwDataOffset) + parent->cksize : INT64_MAX;
  for (;;) {
    const int64_t start = h->pos;
    if (start + 8 > end) return MMIOERR_CHUNKNOTFOUND;
    uint8_t head[8];
    if (ReadRaw(h, head, 8) != 8) return MMIOERR_CHUNKNOTFOUND;
    const FOURCC id = Get32(head);
    const DWORD size = Get32(head + 4);
    const int64_t data = start + 8;
    FOURCC type = 0;
    const bool container = id == FOURCC_RIFF || id == FOURCC_LIST;
    if (container) {
      uint8_t t[4];
      if (ReadRaw(h, t, 4) != 4) return MMIOERR_CHUNKNOTFOUND;
      type = Get32(t);
    }
    ck->ckid = id;
    ck->cksize = size;
    ck->fccType = type;
    ck->dwDataOffset = static_cast<DWORD>(data);
    ck->dwFlags = 0;
    bool match = true;
    if (search == MMIO_FINDCHUNK)
      match = id == want_id;
    else if (search == MMIO_FINDRIFF)
      match = id == FOURCC_RIFF && type == want_type;
    else if (search == MMIO_FINDLIST)
      match = id == FOURCC_LIST && type == want_type;
    if (match) return MMSYSERR_NOERROR;
    // Past this chunk and its pad byte.
    const int64_t next = data + size + (size & 1);
    if (next > end || !SeekTo(h, next)) return MMIOERR_CHUNKNOTFOUND;
  }
}

MMRESULT mmioAscend(HMMIO h, MMCKINFO* ck, UINT flags) {
  if (!Live(h)) return MMSYSERR_INVALHANDLE;
  if (!ck) return MMSYSERR_INVALPARAM;
  if (flags) return MMSYSERR_INVALFLAG;
  if (ck->dwFlags & MMIO_DIRTY) {
    const int64_t size = h->pos - int64_t(ck->dwDataOffset);
    if (size < 0 || ck->dwDataOffset < 4) return MMIOERR_CANNOTSEEK;
    if (size != ck->cksize) {
      const int64_t back = h->pos;
      uint8_t b[4];
      Put32(b, static_cast<uint32_t>(size));
      if (!SeekTo(h, int64_t(ck->dwDataOffset) - 4)) return MMIOERR_CANNOTSEEK;
      if (!WriteRaw(h, b, 4)) return MMIOERR_CANNOTWRITE;
      if (!SeekTo(h, back)) return MMIOERR_CANNOTSEEK;
      ck->cksize = static_cast<DWORD>(size);
    }
    if (ck->cksize & 1) {
      const uint8_t pad = 0;
      if (!SeekTo(h, int64_t(ck->dwDataOffset) + ck->cksize)) return MMIOERR_CANNOTSEEK;
      if (!WriteRaw(h, &pad, 1)) return MMIOERR_CANNOTWRITE;
    }
    ck->dwFlags &= ~MMIO_DIRTY;
  }
  const int64_t next = int64_t(ck->dwDataOffset) + ck->cksize + (ck->cksize & 1);
  return SeekTo(h, next) ? MMSYSERR_NOERROR : MMIOERR_CANNOTSEEK;
}

MMRESULT mmioCreateChunk(HMMIO h, MMCKINFO* ck, UINT flags) {
  if (!Live(h)) return MMSYSERR_INVALHANDLE;
  if (!ck) return MMSYSERR_INVALPARAM;
  if (flags & ~(MMIO_CREATERIFF | MMIO_CREATELIST) ||
      flags == (MMIO_CREATERIFF | MMIO_CREATELIST))
    return MMSYSERR_INVALFLAG;
  if (flags & MMIO_CREATERIFF) ck->ckid = FOURCC_RIFF;
  if (flags & MMIO_CREATELIST) ck->ckid = FOURCC_LIST;
  uint8_t head[12];
  Put32(head, ck->ckid);
  Put32(head + 4, ck->cksize);
  Put32(head + 8, ck->fccType);
  const size_t n = flags ? 12 : 8;
  const int64_t start = h->pos;
  if (!WriteRaw(h, head, n)) return MMIOERR_CANNOTWRITE;
  ck->dwDataOffset = static_cast<DWORD>(start + 8);
  ck->dwFlags = MMIO_DIRTY;
  return MMSYSERR_NOERROR;
}

}  // namespace vek::platform
