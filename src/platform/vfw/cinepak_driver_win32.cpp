// Our Cinepak compressor as an installed codec of this process, for the
// Windows that have no Cinepak compressor of their own (64-bit Windows,
// Wine): Cinepak is the default AVI codec, so without one the default job
// could not be written. Where the system compresses Cinepak, nothing is
// installed and its codec is used.
//
// Installed under the FourCC cvid, our driver is what the system finds for
// every use of cvid in this process, so decompression (reading Cinepak
// movies) goes on to the system's own decoder, opened by its driver
// function.
#include "platform/vfw/cinepak_driver_win32.h"

#include <windows.h>
#include <mmsystem.h>
#include <vfw.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "codecs/cinepak/cinepak_encoder.h"

namespace vek::platform {

namespace {

constexpr DWORD kCvid = mmioFOURCC('c', 'v', 'i', 'd');
constexpr int kDefaultKeyEvery = 12;
constexpr LONG kMaxSide = 0xFFFF;  // Cinepak's size fields

bool g_checked = false;
bool g_installed = false;
FARPROC g_system_decoder = nullptr;
HMODULE g_system_module = nullptr;

struct Instance {
  HIC system = nullptr;  // a decompressing instance: the system's decoder
  std::unique_ptr<CinepakEncoder> encoder;
  int width = 0, height = 0, bits = 0;
  int key_every = kDefaultKeyEvery;
  int quality = CinepakEncoder::kDefaultQuality;
};

bool Takes(const BITMAPINFOHEADER* in) {
  return in && in->biCompression == BI_RGB && in->biWidth > 0 && in->biWidth <= kMaxSide &&
         in->biHeight != 0 && std::labs(in->biHeight) <= kMaxSide &&
         (in->biBitCount == 8 || in->biBitCount == 16 || in->biBitCount == 24 || in->biBitCount == 32);
}

LRESULT WorstSize(const BITMAPINFOHEADER* in) {
  return static_cast<LRESULT>(int64_t(in->biWidth) * std::labs(in->biHeight) * 8 + 65536);
}

LRESULT Info(ICINFO* info, LPARAM size) {
  if (!info || size < LPARAM(sizeof(ICINFO))) return 0;
  std::memset(info, 0, sizeof *info);
  info->dwSize = sizeof *info;
  info->fccType = ICTYPE_VIDEO;
  info->fccHandler = kCvid;
  // The encoder keeps its previous picture itself: AVIFile need not decode
  // every frame back for it.
  info->dwFlags = VIDCF_QUALITY | VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC;
  info->dwVersion = 1;
  info->dwVersionICM = ICVERSION;
  wcscpy(info->szName, L"Cinepak");
  wcscpy(info->szDescription, L"Cinepak (libvek)");
  return sizeof *info;
}

LRESULT GetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
  if (!Takes(in)) return ICERR_BADFORMAT;
  if (!out) return sizeof(BITMAPINFOHEADER);
  std::memset(out, 0, sizeof *out);
  out->biSize = sizeof *out;
  out->biWidth = in->biWidth;
  out->biHeight = std::labs(in->biHeight);
  out->biPlanes = 1;
  out->biBitCount = 24;
  out->biCompression = kCvid;
  out->biSizeImage = static_cast<DWORD>(WorstSize(in));
  return ICERR_OK;
}

LRESULT Compress(Instance& s, ICCOMPRESS* c) {
  if (!c || !c->lpbiInput || !c->lpInput || !c->lpOutput || !c->lpbiOutput || !s.encoder)
    return ICERR_BADPARAM;
  const BITMAPINFOHEADER* in = c->lpbiInput;
  if (in->biWidth != s.width || std::labs(in->biHeight) != s.height || in->biBitCount != s.bits)
    return ICERR_BADFORMAT;
  const ptrdiff_t stride = ((ptrdiff_t(s.width) * s.bits + 31) / 32) * 4;
  const auto* bits = static_cast<const uint8_t*>(c->lpInput);
  // Bottom-up rows unless the height is negative.
  const bool top_down = in->biHeight < 0;
  const uint8_t* top = top_down ? bits : bits + stride * (s.height - 1);
  const auto* palette = reinterpret_cast<const uint8_t*>(in) + in->biSize;
  if (c->dwQuality <= 10000) s.encoder->SetQuality(static_cast<int>(c->dwQuality));
  std::vector<uint8_t> out;
  bool key = false;
  if (!s.encoder->Encode(top, top_down ? stride : -stride, s.bits, palette,
                         (c->dwFlags & ICCOMPRESS_KEYFRAME) != 0, out, key))
    return ICERR_BADFORMAT;
  if (LRESULT(out.size()) > WorstSize(in)) return ICERR_BADSIZE;
  std::memcpy(c->lpOutput, out.data(), out.size());
  c->lpbiOutput->biSizeImage = static_cast<DWORD>(out.size());
  if (c->lpdwFlags) *c->lpdwFlags = key ? AVIIF_KEYFRAME : 0;
  return ICERR_OK;
}

LRESULT Message(Instance& s, UINT msg, LPARAM p1, LPARAM p2) {
  if (s.system) return ICSendMessage(s.system, msg, p1, p2);
  switch (msg) {
    case ICM_GETINFO: return Info(reinterpret_cast<ICINFO*>(p1), p2);
    case ICM_GETSTATE:
    case ICM_SETSTATE: return 0;
    case ICM_ABOUT:
      if (p1 == LPARAM(-1)) return ICERR_OK;
      MessageBoxW(reinterpret_cast<HWND>(p1),
                  L"Cinepak compressor of libvek, used where Windows has none.", L"About Cinepak",
                  MB_OK | MB_ICONINFORMATION);
      return ICERR_OK;
    case ICM_GETDEFAULTQUALITY:
      if (!p1) return ICERR_BADPARAM;
      *reinterpret_cast<DWORD*>(p1) = CinepakEncoder::kDefaultQuality;
      return ICERR_OK;
    case ICM_GETDEFAULTKEYFRAMERATE:
      if (!p1) return ICERR_BADPARAM;
      *reinterpret_cast<DWORD*>(p1) = kDefaultKeyEvery;
      return ICERR_OK;
    case ICM_GETQUALITY:
      if (!p1) return ICERR_BADPARAM;
      *reinterpret_cast<DWORD*>(p1) = static_cast<DWORD>(s.quality);
      return ICERR_OK;
    case ICM_SETQUALITY:
      if (DWORD(p1) <= 10000) s.quality = static_cast<int>(p1);
      return ICERR_OK;
    case ICM_COMPRESS_FRAMES_INFO: {
      const auto* f = reinterpret_cast<const ICCOMPRESSFRAMES*>(p1);
      if (!f) return ICERR_BADPARAM;
      if (f->lKeyRate > 0) s.key_every = f->lKeyRate;
      if (f->lQuality >= 0 && f->lQuality <= 10000) s.quality = f->lQuality;
      return ICERR_OK;
    }
    case ICM_COMPRESS_QUERY: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      const auto* out = reinterpret_cast<const BITMAPINFOHEADER*>(p2);
      if (!Takes(in)) return ICERR_BADFORMAT;
      if (out && (out->biCompression != kCvid || out->biWidth != in->biWidth ||
                  std::labs(out->biHeight) != std::labs(in->biHeight)))
        return ICERR_BADFORMAT;
      return ICERR_OK;
    }
    case ICM_COMPRESS_GET_FORMAT:
      return GetFormat(reinterpret_cast<const BITMAPINFOHEADER*>(p1), reinterpret_cast<BITMAPINFOHEADER*>(p2));
    case ICM_COMPRESS_GET_SIZE: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      return Takes(in) ? WorstSize(in) : 0;
    }
    case ICM_COMPRESS_BEGIN: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      if (!Takes(in)) return ICERR_BADFORMAT;
      s.width = in->biWidth;
      s.height = static_cast<int>(std::labs(in->biHeight));
      s.bits = in->biBitCount;
      s.encoder.reset(new (std::nothrow) CinepakEncoder(s.width, s.height, std::max(s.key_every, 1), s.quality));
      return s.encoder ? ICERR_OK : ICERR_MEMORY;
    }
    case ICM_COMPRESS: return Compress(s, reinterpret_cast<ICCOMPRESS*>(p1));
    case ICM_COMPRESS_END:
      s.encoder.reset();
      return ICERR_OK;
    default: return ICERR_UNSUPPORTED;
  }
}

LRESULT CALLBACK DriverProc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  try {
    switch (msg) {
      case DRV_LOAD:
      case DRV_FREE:
      case DRV_ENABLE:
      case DRV_DISABLE: return 1;
      case DRV_OPEN: {
        auto* open = reinterpret_cast<ICOPEN*>(p2);
        if (open && open->fccType != ICTYPE_VIDEO) return 0;
        auto s = std::make_unique<Instance>();
        const DWORD mode = open ? open->dwFlags & 0xF : ICMODE_QUERY;
        if (mode != ICMODE_COMPRESS && mode != ICMODE_FASTCOMPRESS && mode != ICMODE_QUERY) {
          if (!g_system_decoder) return 0;
          s->system = ICOpenFunction(ICTYPE_VIDEO, kCvid, open->dwFlags, g_system_decoder);
          if (!s->system) return 0;
        }
        if (open) open->dwError = ICERR_OK;
        return reinterpret_cast<LRESULT>(s.release());
      }
      case DRV_CLOSE: {
        auto* s = reinterpret_cast<Instance*>(id);
        if (s && s->system) ICClose(s->system);
        delete s;
        return 1;
      }
      case DRV_QUERYCONFIGURE: return 0;
      default: break;
    }
    auto* s = reinterpret_cast<Instance*>(id);
    if (!s || msg < DRV_USER) return 0;
    return Message(*s, msg, p1, p2);
  } catch (...) {
    // Nothing may unwind into the system's codec manager.
    return ICERR_INTERNAL;
  }
}

// The system's decoder's own driver function, for decompressing instances.
void FindSystemDecoder() {
  ICINFO info{};
  info.dwSize = sizeof info;
  if (!ICInfo(ICTYPE_VIDEO, kCvid, &info)) return;
  const wchar_t* name = info.szDriver[0] ? info.szDriver : L"iccvid.dll";
  g_system_module = LoadLibraryW(name);
  if (!g_system_module) return;
  g_system_decoder = GetProcAddress(g_system_module, "DriverProc");
}

bool SystemCompressesCinepak() {
  HIC h = ICOpen(ICTYPE_VIDEO, kCvid, ICMODE_COMPRESS);
  if (!h) return false;
  BITMAPINFOHEADER in{};
  in.biSize = sizeof in;
  in.biWidth = 320;
  in.biHeight = 240;
  in.biPlanes = 1;
  in.biBitCount = 24;
  in.biCompression = BI_RGB;
  const bool ok = ICCompressQuery(h, &in, nullptr) == ICERR_OK;
  ICClose(h);
  return ok;
}

// The driver function must not stay installed past the code it points to.
struct Removal {
  ~Removal() {
    if (g_installed) ICRemove(ICTYPE_VIDEO, kCvid, 0);
    g_installed = false;
    if (g_system_module) FreeLibrary(g_system_module);
    g_system_module = nullptr;
  }
} g_removal;

}  // namespace

void UseOwnCinepakWhereMissing() {
  if (g_checked) return;
  g_checked = true;
  if (SystemCompressesCinepak()) return;
  // A system decoder we cannot reach stays in charge of cvid: reading
  // Cinepak movies matters more than writing them.
  ICINFO info{};
  info.dwSize = sizeof info;
  const bool system_decodes = ICInfo(ICTYPE_VIDEO, kCvid, &info) != FALSE;
  if (system_decodes) {
    FindSystemDecoder();
    if (!g_system_decoder) return;
  }
  g_installed = ICInstall(ICTYPE_VIDEO, kCvid, reinterpret_cast<LPARAM>(&DriverProc), nullptr,
                          ICINSTALL_FUNCTION) != FALSE;
}

}  // namespace vek::platform
