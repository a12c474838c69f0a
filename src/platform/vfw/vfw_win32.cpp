// The video-file and video-codec service on Windows: Video for Windows
// itself (the AVIFile library and the installed codecs). Our records have
// the layout of the system's, except the codec description, whose texts
// Windows keeps in UTF-16.
#include "platform/vfw/cinepak_driver_win32.h"
#include "platform/vfw/avifile.h"
#include "platform/vfw/ic.h"

// After our declarations: the system headers define some of our names as macros.
#include <windows.h>
#include <mmsystem.h>
#include <vfw.h>

#include <cstring>
#include <map>

#undef AVIFileOpen
#undef AVIFileInfo
#undef AVIFileCreateStream
#undef AVIStreamInfo
#undef AVIStreamIsKeyFrame
#undef AVIFILEINFO
#undef AVISTREAMINFO

namespace vek::platform {

namespace {
// AVIFile takes no new stream once data is in the file (Wine's refuses
// it): the AVI writer creates every stream with the first frame, so each
// write goes straight through and a failure is told for its own frame.
int32_t g_avi_objects = 0;
int32_t g_codecs = 0;
// Where each written sound stream ends, in samples (see AVIStreamWrite).
std::map<::PAVISTREAM, LONG> g_sound_end;

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

// The system's AVI library is started for the first file and ended when the
// last of its objects is released: at the end of the job that used it, on
// the host's thread, never from the loader (ending it at unload, under the
// loader lock, can deadlock in COM). Objects a host leaves open at unload
// keep it started; the process end takes it down.
namespace {
bool g_avifile_started = false;

void AviLibraryUse() {
  if (g_avifile_started) return;
  ::AVIFileInit();
  g_avifile_started = true;
}

void AviLibraryDoneIfIdle() {
  if (!g_avifile_started || g_avi_objects > 0) return;
  g_avifile_started = false;
  ::AVIFileExit();
}
}  // namespace

// The module's start and unload: the library's own life decides (above).
void AVIFileInit() {}
void AVIFileExit() {}

HRESULT AVIFileOpen(PAVIFILE* file, const char* name, uint32_t mode, const CLSID* handler) {
  AviLibraryUse();
  UseOwnCinepakWhereMissing();
  ::PAVIFILE f = nullptr;
  const HRESULT r = ::AVIFileOpenA(&f, name, mode, handler ? Sys(handler) : nullptr);
  if (file) *file = reinterpret_cast<PAVIFILE>(f);
  if (r == 0 && f) ++g_avi_objects;
  AviLibraryDoneIfIdle();
  return r;
}

uint32_t AVIFileRelease(PAVIFILE file) {
  if (!file) return 0;
  const ULONG left = ::AVIFileRelease(Sys(file));
  if (left == 0) {
    --g_avi_objects;
    AviLibraryDoneIfIdle();
  }
  return left;
}

// AVIFile finishes a written file when its last reference goes and tells
// nothing then; every write has told its own outcome.
HRESULT AviFileFinish(PAVIFILE) { return AVIERR_OK; }

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
  if (r == 0 && s) ++g_avi_objects;
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
  const ULONG left = ::AVIStreamRelease(Sys(stream));
  if (left == 0) {
    --g_avi_objects;
    g_sound_end.erase(Sys(stream));
    AviLibraryDoneIfIdle();
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
  // The system reads a chunk of a stream of fixed-size samples without
  // looking whether its index holds one (for a sound stream whose index it
  // did not take, a page fault under Wine): where it finds no chunk from
  // `start` on, there is no data.
  ::AVISTREAMINFOA info{};
  if (buffer && ::AVIStreamInfoA(Sys(stream), &info, sizeof info) == 0 && info.dwSampleSize != 0 &&
      ::AVIStreamFindSample(Sys(stream), start, FIND_NEXT | FIND_ANY) < 0) {
    if (bytes) *bytes = 0;
    if (samples_read) *samples_read = 0;
    return AVIERR_NODATA;
  }
  LONG b = 0, s = 0;
  const HRESULT r = ::AVIStreamRead(Sys(stream), start, samples, buffer, buffer_size, &b, &s);
  if (bytes) *bytes = b;
  if (samples_read) *samples_read = s;
  return r;
}

HRESULT AVIStreamWrite(PAVISTREAM stream, int32_t start, int32_t samples, const void* buffer,
                       int32_t buffer_size, uint32_t flags, int32_t* samples_written,
                       int32_t* bytes_written) {
  // Sound appended at the stream's end is written as "append" (-1): Wine's
  // AVIFile counts a sound stream's length in chunks, not samples, and so
  // rejects the explicit position of every block after the first although
  // it names the end. The end is the one we wrote up to.
  ::AVISTREAMINFOA info{};
  const bool audio = ::AVIStreamInfoA(Sys(stream), &info, sizeof info) == 0 &&
                     info.fccType == streamtypeAUDIO;
  const auto end = audio ? g_sound_end.find(Sys(stream)) : g_sound_end.end();
  const LONG known_end = end != g_sound_end.end() ? end->second : LONG(info.dwStart + info.dwLength);
  const LONG asked = start;
  if (start >= 0 && audio && start == known_end) start = -1;
  LONG s = 0, b = 0;
  const HRESULT r = ::AVIStreamWrite(Sys(stream), start, samples, const_cast<void*>(buffer),
                                     buffer_size, flags, &s, &b);
  if (r == 0 && audio && asked >= 0) g_sound_end[Sys(stream)] = asked + samples;
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
  if (r == 0 && s) ++g_avi_objects;
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
  AviLibraryDoneIfIdle();
  return r;
}

// AVIFile decides itself when to begin a new RIFF part.
void AviSetRiffLimit(int64_t) {}

int32_t AviOpenObjects() { return g_avi_objects; }
bool AviLateStreams() { return false; }

bool ICInfo(FOURCC type, FOURCC handler, ICINFO* info) {
  UseOwnCinepakWhereMissing();
  ::ICINFO sys{};
  sys.dwSize = sizeof sys;
  if (!::ICInfo(type, handler, &sys)) return false;
  if (info) CopyInfo(sys, info);
  return true;
}

HIC ICOpen(FOURCC type, FOURCC handler, uint32_t mode) {
  UseOwnCinepakWhereMissing();
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

namespace {
// A codec's about and configuration boxes belong to the window the user
// asked from (the AVI dialog, active then): they open over it, and it stays
// disabled until they close, also when a codec's box would not disable it.
LRESULT ShowCodecBox(::HIC codec, uint32_t message) {
  const HWND owner = GetActiveWindow();
  const bool disabled = owner && IsWindowEnabled(owner);
  if (disabled) EnableWindow(owner, FALSE);
  const LRESULT r = ::ICSendMessage(codec, message, reinterpret_cast<DWORD_PTR>(owner), 0);
  if (disabled) {
    EnableWindow(owner, TRUE);
    SetActiveWindow(owner);
  }
  return r;
}
}  // namespace

LRESULT ICSendMessage(HIC codec, uint32_t message, uintptr_t param1, uintptr_t param2) {
  if ((message == ICM_ABOUT || message == ICM_CONFIGURE) && param1 == 0)
    return ShowCodecBox(Sys(codec), message);
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
