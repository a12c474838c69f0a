// The video-file and video-codec service on Windows: Video for Windows
// itself (the AVIFile library and the installed codecs). Our records have
// the layout of the system's, except the codec description, whose texts
// Windows keeps in UTF-16.
#include "platform/vfw/avifile.h"
#include "platform/vfw/ic.h"

// After our declarations: the system headers define some of our names as macros.
#include <windows.h>
#include <mmsystem.h>
#include <vfw.h>

#include <cstring>
#include <map>
#include <vector>

#undef AVIFileOpen
#undef AVIFileInfo
#undef AVIFileCreateStream
#undef AVIStreamInfo
#undef AVIStreamIsKeyFrame
#undef AVIFILEINFO
#undef AVISTREAMINFO

namespace vek::platform {

namespace {
int32_t g_avi_objects = 0;
int32_t g_codecs = 0;

// AVIFile refuses new streams once data is in the file (Wine's does), but a
// conversion writes its first frame before the first sound block arrives.
// So the frames of a new file wait here until the first sound block is
// written (its stream and format are in place then), the queue grows large
// or the file is finished, whichever comes first; a
// failure of the delayed writes is reported by AviFileFinish and the next write.
struct PendingWrite {
  ::PAVISTREAM stream;
  LONG start, samples;
  DWORD flags;
  std::vector<uint8_t> data;
};
struct WrittenFile {
  bool deferring = true;
  size_t bytes = 0;
  std::vector<PendingWrite> queue;
  HRESULT error = 0;
};
constexpr size_t kMaxDeferredBytes = 32u << 20;
constexpr size_t kMaxDeferredWrites = 256;
std::map<::PAVIFILE, WrittenFile> g_written;
std::map<::PAVISTREAM, ::PAVIFILE> g_stream_file;

WrittenFile* WrittenOf(::PAVISTREAM s) {
  const auto f = g_stream_file.find(s);
  if (f == g_stream_file.end()) return nullptr;
  const auto w = g_written.find(f->second);
  return w == g_written.end() ? nullptr : &w->second;
}

void Flush(WrittenFile& w) {
  w.deferring = false;
  for (PendingWrite& p : w.queue) {
    const HRESULT r = ::AVIStreamWrite(p.stream, p.start, p.samples, p.data.data(),
                                       static_cast<LONG>(p.data.size()), p.flags, nullptr, nullptr);
    if (r != 0 && w.error == 0) w.error = r;
  }
  w.queue.clear();
  w.bytes = 0;
}

::PAVIFILE Sys(PAVIFILE f) { return reinterpret_cast<::PAVIFILE>(f); }
::PAVISTREAM Sys(PAVISTREAM s) { return reinterpret_cast<::PAVISTREAM>(s); }
::PGETFRAME Sys(PGETFRAME g) { return reinterpret_cast<::PGETFRAME>(g); }
::HIC Sys(HIC h) { return reinterpret_cast<::HIC>(h); }
::CLSID* Sys(const CLSID* c) { return reinterpret_cast<::CLSID*>(const_cast<CLSID*>(c)); }

void Narrow(const WCHAR* from, char* to, int size) {
  if (WideCharToMultiByte(CP_ACP, 0, from, -1, to, size, nullptr, nullptr) == 0) to[0] = 0;
  to[size - 1] = 0;
}

void CopyInfo(const ::ICINFO& from, ICINFO* to) {
  to->dwSize = sizeof(ICINFO);
  to->fccType = from.fccType;
  to->fccHandler = from.fccHandler;
  to->dwFlags = from.dwFlags;
  to->dwVersion = from.dwVersion;
  to->dwVersionICM = from.dwVersionICM;
  Narrow(from.szName, to->szName, sizeof to->szName);
  Narrow(from.szDescription, to->szDescription, sizeof to->szDescription);
  Narrow(from.szDriver, to->szDriver, sizeof to->szDriver);
}
}  // namespace

static_assert(sizeof(AVISTREAMINFO) == sizeof(::AVISTREAMINFOA));
static_assert(sizeof(AVIFILEINFO) == sizeof(::AVIFILEINFOA));
static_assert(sizeof(AVICOMPRESSOPTIONS) == sizeof(::AVICOMPRESSOPTIONS));
static_assert(sizeof(ICCOMPRESS) == sizeof(::ICCOMPRESS));
static_assert(sizeof(ICCOMPRESSFRAMES) < sizeof(::ICCOMPRESSFRAMES));

void AVIFileInit() { ::AVIFileInit(); }
void AVIFileExit() { ::AVIFileExit(); }

HRESULT AVIFileOpen(PAVIFILE* file, const char* name, uint32_t mode, const CLSID* handler) {
  ::PAVIFILE f = nullptr;
  const HRESULT r = ::AVIFileOpenA(&f, name, mode, handler ? Sys(handler) : nullptr);
  if (file) *file = reinterpret_cast<PAVIFILE>(f);
  if (r == 0 && f) {
    ++g_avi_objects;
    if (mode & (OF_WRITE | OF_CREATE)) g_written[f] = WrittenFile{};
  }
  return r;
}

uint32_t AVIFileRelease(PAVIFILE file) {
  if (!file) return 0;
  const auto w = g_written.find(Sys(file));
  if (w != g_written.end()) Flush(w->second);
  const ULONG left = ::AVIFileRelease(Sys(file));
  if (left == 0) {
    --g_avi_objects;
    if (w != g_written.end()) g_written.erase(w);
    for (auto s = g_stream_file.begin(); s != g_stream_file.end();)
      s = s->second == Sys(file) ? g_stream_file.erase(s) : std::next(s);
  }
  return left;
}

// AVIFile finishes a written file when its last reference goes; what is
// left to tell is how the delayed writes went.
HRESULT AviFileFinish(PAVIFILE file) {
  const auto w = g_written.find(Sys(file));
  if (w == g_written.end()) return AVIERR_OK;
  Flush(w->second);
  return w->second.error;
}

HRESULT AVIFileInfo(PAVIFILE file, AVIFILEINFO* info, int32_t size) {
  return ::AVIFileInfoA(Sys(file), reinterpret_cast<::AVIFILEINFOA*>(info), size);
}

HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, FOURCC type, int32_t index) {
  ::PAVISTREAM s = nullptr;
  const HRESULT r = ::AVIFileGetStream(Sys(file), &s, type, index);
  if (stream) *stream = reinterpret_cast<PAVISTREAM>(s);
  if (r == 0 && s) ++g_avi_objects;
  return r;
}

HRESULT AVIFileCreateStream(PAVIFILE file, PAVISTREAM* stream, const AVISTREAMINFO* info) {
  ::PAVISTREAM s = nullptr;
  const HRESULT r = ::AVIFileCreateStreamA(
      Sys(file), &s, reinterpret_cast<::AVISTREAMINFOA*>(const_cast<AVISTREAMINFO*>(info)));
  if (stream) *stream = reinterpret_cast<PAVISTREAM>(s);
  if (r == 0 && s) {
    ++g_avi_objects;
    g_stream_file[s] = Sys(file);
  }
  return r;
}

HRESULT AVIFileWriteData(PAVIFILE file, FOURCC ckid, const void* data, int32_t size) {
  return ::AVIFileWriteData(Sys(file), ckid, const_cast<void*>(data), size);
}

HRESULT AVIFileReadData(PAVIFILE file, FOURCC ckid, void* data, int32_t* size) {
  LONG n = size ? *size : 0;
  const HRESULT r = ::AVIFileReadData(Sys(file), ckid, data, &n);
  if (size) *size = n;
  return r;
}

uint32_t AVIStreamRelease(PAVISTREAM stream) {
  if (!stream) return 0;
  if (WrittenFile* w = WrittenOf(Sys(stream))) Flush(*w);
  const ULONG left = ::AVIStreamRelease(Sys(stream));
  if (left == 0) {
    --g_avi_objects;
    g_stream_file.erase(Sys(stream));
  }
  return left;
}

HRESULT AVIStreamInfo(PAVISTREAM stream, AVISTREAMINFO* info, int32_t size) {
  return ::AVIStreamInfoA(Sys(stream), reinterpret_cast<::AVISTREAMINFOA*>(info), size);
}

HRESULT AVIStreamReadFormat(PAVISTREAM stream, int32_t pos, void* format, int32_t* size) {
  LONG n = size ? *size : 0;
  const HRESULT r = ::AVIStreamReadFormat(Sys(stream), pos, format, &n);
  if (size) *size = n;
  return r;
}

HRESULT AVIStreamSetFormat(PAVISTREAM stream, int32_t pos, const void* format, int32_t size) {
  return ::AVIStreamSetFormat(Sys(stream), pos, const_cast<void*>(format), size);
}

int32_t AVIStreamStart(PAVISTREAM stream) { return ::AVIStreamStart(Sys(stream)); }
int32_t AVIStreamLength(PAVISTREAM stream) { return ::AVIStreamLength(Sys(stream)); }

HRESULT AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t samples, void* buffer,
                      int32_t buffer_size, int32_t* bytes, int32_t* samples_read) {
  LONG b = 0, s = 0;
  const HRESULT r = ::AVIStreamRead(Sys(stream), start, samples, buffer, buffer_size, &b, &s);
  if (bytes) *bytes = b;
  if (samples_read) *samples_read = s;
  return r;
}

HRESULT AVIStreamWrite(PAVISTREAM stream, int32_t start, int32_t samples, const void* buffer,
                       int32_t buffer_size, uint32_t flags, int32_t* samples_written,
                       int32_t* bytes_written) {
  // Sound appended at the stream's end is written as "append" (-1): some
  // AVIFile implementations (Wine's) reject explicit positions after the
  // first block although they name the same place.
  WrittenFile* w = WrittenOf(Sys(stream));
  if (w && w->error != 0) return w->error;
  ::AVISTREAMINFOA info{};
  const bool audio = ::AVIStreamInfoA(Sys(stream), &info, sizeof info) == 0 &&
                     info.fccType == streamtypeAUDIO;
  // The first sound block: its stream and format exist, the frames can go.
  if (w && w->deferring && audio) Flush(*w);
  if (w && w->error != 0) return w->error;
  if (w && w->deferring && buffer && buffer_size >= 0) {
    const auto* from = static_cast<const uint8_t*>(buffer);
    w->queue.push_back(PendingWrite{Sys(stream), start, samples, flags,
                                    std::vector<uint8_t>(from, from + buffer_size)});
    w->bytes += static_cast<size_t>(buffer_size);
    if (samples_written) *samples_written = samples;
    if (bytes_written) *bytes_written = buffer_size;
    if (w->bytes > kMaxDeferredBytes || w->queue.size() > kMaxDeferredWrites) Flush(*w);
    return w->error;
  }
  if (start >= 0 && audio && start == LONG(info.dwStart + info.dwLength)) start = -1;
  LONG s = 0, b = 0;
  const HRESULT r = ::AVIStreamWrite(Sys(stream), start, samples, const_cast<void*>(buffer),
                                     buffer_size, flags, &s, &b);
  if (samples_written) *samples_written = s;
  if (bytes_written) *bytes_written = b;
  return r;
}

bool AVIStreamIsKeyFrame(PAVISTREAM stream, int32_t pos) {
  return ::AVIStreamFindSample(Sys(stream), pos, FIND_PREV | FIND_KEY) == pos;
}

HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                const AVICOMPRESSOPTIONS* options, const CLSID* handler) {
  ::PAVISTREAM s = nullptr;
  const HRESULT r = ::AVIMakeCompressedStream(
      &s, Sys(source),
      reinterpret_cast<::AVICOMPRESSOPTIONS*>(const_cast<AVICOMPRESSOPTIONS*>(options)),
      handler ? Sys(handler) : nullptr);
  if (compressed) *compressed = reinterpret_cast<PAVISTREAM>(s);
  if (r == 0 && s) {
    ++g_avi_objects;
    const auto f = g_stream_file.find(Sys(source));
    if (f != g_stream_file.end()) g_stream_file[s] = f->second;
  }
  return r;
}

PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER* wanted) {
  ::PGETFRAME g = ::AVIStreamGetFrameOpen(
      Sys(stream), const_cast<::BITMAPINFOHEADER*>(reinterpret_cast<const ::BITMAPINFOHEADER*>(wanted)));
  if (g) ++g_avi_objects;
  return reinterpret_cast<PGETFRAME>(g);
}

void* AVIStreamGetFrame(PGETFRAME frames, int32_t pos) {
  return ::AVIStreamGetFrame(Sys(frames), pos);
}

HRESULT AVIStreamGetFrameClose(PGETFRAME frames) {
  if (!frames) return AVIERR_BADHANDLE;
  const HRESULT r = ::AVIStreamGetFrameClose(Sys(frames));
  --g_avi_objects;
  return r;
}

// AVIFile decides itself when to begin a new RIFF part.
void AviSetRiffLimit(int64_t) {}

int32_t AviOpenObjects() { return g_avi_objects; }

bool ICInfo(FOURCC type, FOURCC handler, ICINFO* info) {
  ::ICINFO sys{};
  sys.dwSize = sizeof sys;
  if (!::ICInfo(type, handler, &sys)) return false;
  if (info) CopyInfo(sys, info);
  return true;
}

HIC ICOpen(FOURCC type, FOURCC handler, uint32_t mode) {
  ::HIC h = ::ICOpen(type, handler, mode);
  if (h) ++g_codecs;
  return reinterpret_cast<HIC>(h);
}

LRESULT ICClose(HIC codec) {
  if (!codec) return ICERR_BADHANDLE;
  --g_codecs;
  return ::ICClose(Sys(codec));
}

LRESULT ICGetInfo(HIC codec, ICINFO* info, uint32_t size) {
  ::ICINFO sys{};
  sys.dwSize = sizeof sys;
  if (!::ICGetInfo(Sys(codec), &sys, sizeof sys) || !info || size < sizeof(ICINFO)) return 0;
  CopyInfo(sys, info);
  return sizeof(ICINFO);
}

LRESULT ICSendMessage(HIC codec, uint32_t message, uintptr_t param1, uintptr_t param2) {
  if (message == ICM_COMPRESS_FRAMES_INFO && param1) {
    // The system's record ends with two callback pointers that ours lacks: a
    // codec must not read them from beyond our record.
    const auto* ours = reinterpret_cast<const ICCOMPRESSFRAMES*>(param1);
    ::ICCOMPRESSFRAMES sys{};
    std::memcpy(&sys, ours, sizeof *ours);
    return ::ICSendMessage(Sys(codec), message, reinterpret_cast<uintptr_t>(&sys), param2);
  }
  return ::ICSendMessage(Sys(codec), message, param1, param2);
}

int32_t IcOpenCodecs() { return g_codecs; }

}  // namespace vek::platform
