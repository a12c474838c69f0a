// AVI movies: the format's descriptor, reading and writing through the
// video-file and codec layer, the codec catalogue and the process-wide codec
// settings with their fall-backs (the chosen codec, Cinepak at 24 bits,
// uncompressed frames).
#include "formats/movie/avi.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sound/sound.h"
#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/bitmap_exchange.h"
#include "image/image.h"
#include "platform/acm/acm.h"
#include "platform/vfw/avifile.h"
#include "platform/vfw/ic.h"

namespace vek {

namespace p = platform;

namespace {

constexpr FormatRow kRead[] = {
    {9, {kFmtAVI, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved",
         "AVI, Windows Audio Video Interleaved"}},
};
constexpr FormatRow kWrite[] = {
    {0, {kFmtAVI, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved",
         "AVI, Windows Audio Video Interleaved"}},
};

constexpr uint32_t kCvid = FourCC("cvid");
constexpr uint32_t kDib = FourCC("DIB ");
constexpr int32_t kInfoEntry = 264;

// ---------------------------------------------------------------- handlers

uint32_t UpperCode(uint32_t h) {
  uint32_t r = 0;
  for (int i = 0; i < 4; ++i)
    r |= uint32_t(std::toupper(static_cast<unsigned char>((h >> (8 * i)) & 0xFF))) << (8 * i);
  return r;
}

bool IsUncompressed(uint32_t h) {
  const uint32_t u = UpperCode(h);
  return h == 0 || u == FourCC("DIB ") || u == FourCC("RAW ") || u == FourCC("RGB ");
}

// Video 1 answers to several codes; queries go to its own.
uint32_t OpenCode(uint32_t h) {
  const uint32_t u = UpperCode(h);
  if (u == FourCC("MSVC") || u == FourCC("CRAM") || u == FourCC("WHAM")) return FourCC("msvc");
  return h;
}

int32_t ToCodecBits(int32_t bits) { return bits == 15 ? 16 : bits; }
int32_t FromCodecBits(int32_t bits) { return bits == 16 ? 15 : bits; }

// Closes a codec handle on every path.
struct IcHandle {
  p::HIC h = nullptr;
  explicit IcHandle(uint32_t handler, uint32_t mode = p::ICMODE_QUERY)
      : h(p::ICOpen(p::ICTYPE_VIDEO, OpenCode(handler), mode)) {}
  ~IcHandle() {
    if (h) p::ICClose(h);
  }
  IcHandle(const IcHandle&) = delete;
  IcHandle& operator=(const IcHandle&) = delete;
};

void FillHeader(p::BITMAPINFOHEADER& h, int32_t width, int32_t height, int32_t bits) {
  h = p::BITMAPINFOHEADER{};
  h.biSize = 40;
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = static_cast<uint16_t>(bits);
  h.biSizeImage = static_cast<uint32_t>(int64_t(width) * height * ((bits + 7) / 8));
}

// Fills a bitmap header (and for 8 bits with a palette, the 256 colours
// after it): `out` must hold 1064 bytes for 8 bits.
void FillBitmapInfo_(uint8_t* out, int32_t width, int32_t height, const uint8_t* palette,
                     int32_t bits) {
  p::BITMAPINFOHEADER h;
  FillHeader(h, width, height, bits);
  if (bits == 8 && palette) {
    h.biClrUsed = 256;
    for (int i = 0; i < 256; ++i) {
      out[40 + i * 4] = palette[i * 3];
      out[40 + i * 4 + 1] = palette[i * 3 + 1];
      out[40 + i * 4 + 2] = palette[i * 3 + 2];
      out[40 + i * 4 + 3] = 0;
    }
  }
  std::memcpy(out, &h, 40);
}

p::LRESULT ICOpenAndSendMessage_(uint32_t handler, uint32_t message, uintptr_t a, uintptr_t b) {
  IcHandle ic(handler);
  if (!ic.h) return p::ICERR_BADHANDLE;
  return p::ICSendMessage(ic.h, message, a, b);
}

bool AviCodecKeyFrameRate(uint32_t handler, int32_t& value) {
  uint32_t v = 0;
  const bool ok = ICOpenAndSendMessage_(handler, p::ICM_GETDEFAULTKEYFRAMERATE,
                                        reinterpret_cast<uintptr_t>(&v), sizeof v) == p::ICERR_OK;
  value = ok ? static_cast<int32_t>(v) : 0;
  return ok;
}

bool AviCodecQuality(uint32_t handler, int32_t& value) {
  uint32_t v = 0;
  const bool ok = ICOpenAndSendMessage_(handler, p::ICM_GETDEFAULTQUALITY,
                                        reinterpret_cast<uintptr_t>(&v), sizeof v) == p::ICERR_OK;
  value = ok ? static_cast<int32_t>(v / 100) : 0;
  return ok;
}

// True when the codec takes frames of that size and depth; its output size
// and bits come back.
bool AviCodecCheck_(uint32_t handler, int32_t width, int32_t height, int32_t& out_bits,
                    int32_t& out_height, int32_t& out_width, int32_t bits) {
  return Monitored("ff_avi.AviCodecCheck_", [&]() -> bool {
    if (IsUncompressed(handler)) {
      out_bits = bits;
      out_width = width;
      out_height = height;
      return true;
    }
    uint8_t in[1064] = {};
    FillBitmapInfo_(in, width, height, nullptr, ToCodecBits(bits));
    IcHandle ic(handler);
    if (!ic.h) return false;
    const p::LRESULT size =
        p::ICSendMessage(ic.h, p::ICM_COMPRESS_GET_FORMAT, reinterpret_cast<uintptr_t>(in), 0);
    if (size < 40 || size > (1 << 20)) return false;
    Tracked<uint8_t> out(size, 1, "ff_avi.AviCodecCheck_.biOut");
    if (p::ICSendMessage(ic.h, p::ICM_COMPRESS_GET_FORMAT, reinterpret_cast<uintptr_t>(in),
                         reinterpret_cast<uintptr_t>(out.get())) < 40)
      return false;
    p::BITMAPINFOHEADER h;
    std::memcpy(&h, out.get(), 40);
    if (h.biWidth <= 0 || h.biHeight <= 0 || h.biBitCount <= 0) return false;
    out_width = h.biWidth;
    out_height = h.biHeight;
    out_bits = FromCodecBits(h.biBitCount);
    return true;
  });
}

bool AviCodecCanEncodeEx_(uint32_t handler, int32_t width, int32_t height, int32_t bits) {
  if (IsUncompressed(handler)) return true;
  uint8_t in[1064] = {};
  FillBitmapInfo_(in, width, height, nullptr, bits);
  return ICOpenAndSendMessage_(handler, p::ICM_COMPRESS_QUERY, reinterpret_cast<uintptr_t>(in), 0) ==
         p::ICERR_OK;
}

// The first of 24, 16 and 8 bits at which the codec takes 320 x 240, as the
// codec hands it on; 0 when none.
int32_t AviCodecIsEncoder_(uint32_t handler) {
  for (int32_t bits : {24, 16, 8}) {
    if (!AviCodecCanEncodeEx_(handler, 320, 240, bits)) continue;
    int32_t ob = 0, oh = 0, ow = 0;
    if (AviCodecCheck_(handler, 320, 240, ob, oh, ow, FromCodecBits(bits))) return ob;
    return FromCodecBits(bits);
  }
  return 0;
}

// ---------------------------------------------------------------- settings

// A codec record with its own copy of the state.
struct CodecSettings {
  QAviCodec rec{};
  Tracked<uint8_t> state;
  bool uncompressed = false;

  void CopyFrom(const QAviCodec& r, int32_t site, const char* label) {
    rec = r;
    rec.state = nullptr;
    state.Reset();
    if (r.state && r.state_size > 0) {
      state.Alloc(r.state_size, site, label, kMemNew);
      std::memcpy(state.get(), r.state, static_cast<size_t>(r.state_size));
      rec.state = state.get();
    } else {
      rec.state_size = 0;
    }
    uncompressed = IsUncompressed(rec.handler);
  }
  void CopyFrom(const CodecSettings& o, int32_t site, const char* label) {
    CopyFrom(o.rec, site, label);
    uncompressed = o.uncompressed;
  }
};

struct CatalogueEntry {
  Tracked<QAviCodec> rec;
  Tracked<uint8_t> state;
};

// The module's process-wide settings: the catalogue and the current codec.
struct AviSettings {
  std::vector<CatalogueEntry> catalogue;  // codecs, the uncompressed entry, a zeroed record
  std::vector<QAviCodec> view;            // copies handed to callers
  bool built = false;
  CodecSettings current;
  bool selected = false;
};

AviSettings& Settings() {
  static AviSettings* s = new AviSettings();  // outlives static destruction
  return *s;
}

void FreeCatalogue() {
  AviSettings& s = Settings();
  s.catalogue.clear();
  s.view.clear();
  s.built = false;
}

void Unload() {
  AviSettings& s = Settings();
  FreeCatalogue();
  s.current.state.Reset();
  s.current.rec.state = nullptr;
  s.selected = false;
  p::AVIFileExit();
}

void BuildCatalogue() {
  Monitored("ff_avi.AviCodecsInit", [&] {
    AviSettings& s = Settings();
    FreeCatalogue();
    static bool hooked = false;
    if (!hooked) {
      RegisterUnloadHook(Unload);
      hooked = true;
    }
    auto add = [&](const QAviCodec& r) -> CatalogueEntry& {
      CatalogueEntry e;
      e.rec.Alloc(1, 1, "ff_avi.AviCodecsInit.aviCodecsRec[aviCodecsNum]", kMemNew);
      *e.rec.get() = r;
      e.rec.get()->index = static_cast<int32_t>(s.catalogue.size()) + 1;
      s.catalogue.push_back(std::move(e));
      return s.catalogue.back();
    };
    for (uint32_t i = 0; s.catalogue.size() < size_t(kAviMaxCodecs); ++i) {
      p::ICINFO info{};
      if (!p::ICInfo(p::ICTYPE_VIDEO, i, &info)) break;
      // A codec installed twice (ours over the system's decoder) is listed once.
      if (std::any_of(s.catalogue.begin(), s.catalogue.end(),
                      [&](const CatalogueEntry& e) { return e.rec.get()->handler == info.fccHandler; }))
        continue;
      IcHandle ic(info.fccHandler);
      if (!ic.h) continue;
      p::ICINFO got{};
      if (p::ICGetInfo(ic.h, &got, sizeof got) == 0) continue;
      QAviCodec r{};
      r.handler = info.fccHandler;
      r.codec_handle = reinterpret_cast<intptr_t>(ic.h);
      SetText(r.name, got.szName);
      SetText(r.description, got.szDescription);
      r.has_about = p::ICSendMessage(ic.h, p::ICM_ABOUT, p::ICMF_QUERY_WINDOW, 1) == p::ICERR_OK;
      r.has_configure =
          p::ICSendMessage(ic.h, p::ICM_CONFIGURE, p::ICMF_QUERY_WINDOW, 1) == p::ICERR_OK;
      r.can_quality = (got.dwFlags & p::VIDCF_QUALITY) != 0;
      r.can_key_frames = (got.dwFlags & p::VIDCF_TEMPORAL) != 0;
      r.can_data_rate = (got.dwFlags & (p::VIDCF_CRUNCH | p::VIDCF_QUALITY)) != 0;
      r.bits = AviCodecIsEncoder_(r.handler);
      r.encoder = r.bits > 0;
      AviCodecKeyFrameRate(r.handler, r.key_frame_every);
      AviCodecQuality(r.handler, r.quality);
      const p::LRESULT size = p::ICSendMessage(ic.h, p::ICM_GETSTATE, 0, 0);
      CatalogueEntry& e = add(r);
      if (size > 0 && size <= (1 << 16)) {
        e.state.Alloc(size, 2, "ff_avi.AviCodecsInit.cLpParms", kMemNew);
        if (p::ICSendMessage(ic.h, p::ICM_GETSTATE, reinterpret_cast<uintptr_t>(e.state.get()),
                             static_cast<uintptr_t>(size)) == size) {
          e.rec.get()->state = e.state.get();
          e.rec.get()->state_size = static_cast<int32_t>(size);
        } else {
          e.state.Reset();
        }
      }
    }
    QAviCodec dib{};
    dib.handler = kDib;
    SetText(dib.name, "Uncompressed");
    SetText(dib.description, "Full frames, uncompressed");
    dib.key_frame_every = 1;
    dib.encoder = -1;
    dib.bits = 24;
    add(dib);
    s.built = true;
  });
}

void EnsureCatalogue() {
  if (!Settings().built) BuildCatalogue();
}

const QAviCodec* Find(uint32_t handler) {
  for (const CatalogueEntry& e : Settings().catalogue)
    if (e.rec.get()->handler == handler) return e.rec.get();
  const uint32_t u = UpperCode(handler);
  for (const CatalogueEntry& e : Settings().catalogue)
    if (UpperCode(e.rec.get()->handler) == u) return e.rec.get();
  return nullptr;
}

QAviCodec* FindMutable(uint32_t handler) { return const_cast<QAviCodec*>(Find(handler)); }

void SelectCodec(CodecSettings& target, uint32_t handler) {
  Monitored("ff_avi.AviSettingsSet", [&] {
    EnsureCatalogue();
    if (const QAviCodec* found = IsUncompressed(handler) ? Find(kDib) : Find(handler)) {
      target.CopyFrom(*found, 3, "ff_avi.AviSettingsSet.lpParms");
      if (!IsUncompressed(handler)) target.rec.handler = found->handler;
    } else {
      QAviCodec r{};
      r.handler = handler;
      IcHandle ic(handler);
      if (ic.h) {
        p::ICINFO got{};
        if (p::ICGetInfo(ic.h, &got, sizeof got)) {
          SetText(r.name, got.szName);
          SetText(r.description, got.szDescription);
          r.can_quality = (got.dwFlags & p::VIDCF_QUALITY) != 0;
          r.can_key_frames = (got.dwFlags & p::VIDCF_TEMPORAL) != 0;
          r.can_data_rate = (got.dwFlags & (p::VIDCF_CRUNCH | p::VIDCF_QUALITY)) != 0;
        }
        AviCodecKeyFrameRate(handler, r.key_frame_every);
        AviCodecQuality(handler, r.quality);
      }
      r.bits = AviCodecIsEncoder_(handler);
      r.encoder = r.bits > 0;
      target.CopyFrom(r, 4, "ff_avi.AviSettingsSet.lpParms");
    }
    target.uncompressed = IsUncompressed(handler);
    if (target.uncompressed) target.rec.handler = kDib;
  });
}

CodecSettings& Current() {
  AviSettings& s = Settings();
  if (!s.selected) {
    s.selected = true;
    p::AVIFileInit();
    SelectCodec(s.current, kCvid);
    s.current.rec.bits = 24;
  }
  return s.current;
}

// The compression options of a codec setting; `parms` holds the state handed
// over when the settings store none.
void AviMakeCmpsOptions_(const CodecSettings& c, p::AVICOMPRESSOPTIONS& o, Tracked<uint8_t>& parms) {
  Monitored("ff_avi.AviMakeCmpsOptions_", [&] {
    o = p::AVICOMPRESSOPTIONS{};
    o.fccType = p::streamtypeVIDEO;
    o.fccHandler = c.rec.handler;
    o.dwKeyFrameEvery = static_cast<uint32_t>(std::max(c.rec.key_frame_every, 0));
    o.dwQuality = c.rec.quality >= 0 && c.rec.quality <= 100 ? static_cast<uint32_t>(c.rec.quality * 100)
                                                           : 0xFFFFFFFFu;
    o.dwBytesPerSecond = static_cast<uint32_t>(std::max<int64_t>(c.rec.data_rate, 0) * 1024);
    o.dwFlags = p::AVICOMPRESSF_KEYFRAMES | p::AVICOMPRESSF_VALID;
    if (c.rec.data_rate > 0 && UpperCode(c.rec.handler) != FourCC("MRLE"))
      o.dwFlags |= p::AVICOMPRESSF_DATARATE;
    parms.Reset();
    if (c.uncompressed) return;
    if (c.rec.state && c.rec.state_size > 0) {
      o.lpParms = c.rec.state;
      o.cbParms = static_cast<uint32_t>(c.rec.state_size);
      return;
    }
    const p::LRESULT size = ICOpenAndSendMessage_(c.rec.handler, p::ICM_GETSTATE, 0, 0);
    if (size <= 0 || size > (1 << 16)) return;
    parms.Alloc(size, 5, "ff_avi.AviMakeCmpsOptions_.lpParms", kMemNew);
    if (ICOpenAndSendMessage_(c.rec.handler, p::ICM_GETSTATE, reinterpret_cast<uintptr_t>(parms.get()),
                              static_cast<uintptr_t>(size)) == size) {
      o.lpParms = parms.get();
      o.cbParms = static_cast<uint32_t>(size);
    }
  });
}

void AviSetVC_(CodecSettings& c, int32_t width, int32_t height, int32_t bits) {
  Monitored("ff_avi.AviSetVC_", [&] {
    if (c.uncompressed) {
      c.rec.bits = bits;
    } else if (!AviCodecCanEncodeEx_(c.rec.handler, width, height, ToCodecBits(bits))) {
      ErrRaise(kGrpAvi, kAviInitCodec, 6);
    }
    c.rec.bits = FromCodecBits(c.rec.bits);
    if (c.rec.bits <= 0) c.rec.bits = bits;
  });
}

AviDialogFn g_dialog = nullptr;

bool SelectVC(int32_t width, int32_t height, int32_t bits);

void SetVC(CodecSettings& c, int32_t width, int32_t height, int32_t bits, bool dialog) {
  Monitored("ff_avi.AviSetVC", [&] {
    MonitoredBoundary("ff_avi.AviSetVC.codec", [&] { AviSetVC_(c, width, height, bits); });
    if (ErrNone()) return;
    ErrClear();
    if (dialog && &c == &Current()) {
      // The user may pick another codec; a refusal (or no display) falls back.
      bool chosen = false;
      MonitoredBoundary("ff_avi.AviSetVC.dialog", [&] { chosen = SelectVC(width, height, bits); });
      if (chosen && ErrNone()) return;
      ErrClear();
    }
    SelectCodec(c, kCvid);
    MonitoredBoundary("ff_avi.AviSetVC.cinepak", [&] { AviSetVC_(c, width, height, 24); });
    if (ErrNone()) return;
    ErrClear();
    SelectCodec(c, kDib);
    AviSetVC_(c, width, height, bits);
  });
}

bool SelectVC(int32_t width, int32_t height, int32_t bits) {
  return Monitored("ff_avi.AviSelectVC", [&]() -> bool {
    if (!g_dialog) ErrRaise(kGrpAvi, kAviInitCodec, 7);
    if (!g_dialog(width, height, bits)) return false;
    // Chosen; usable only when it takes the frames.
    MonitoredBoundary("ff_avi.AviSelectVC.check", [&] { AviSetVC_(Current(), width, height, bits); });
    if (ErrNone()) return true;
    ErrClear();
    return false;
  });
}

// ---------------------------------------------------------------- file state

struct FileRelease {
  void operator()(p::AviFile* f) const { p::AVIFileRelease(f); }
};
struct StreamRelease {
  void operator()(p::AviStream* s) const { p::AVIStreamRelease(s); }
};
struct FrameRelease {
  void operator()(p::GetFrame* g) const { p::AVIStreamGetFrameClose(g); }
};

struct AviState {
  // Released in reverse order: frames, streams, then the file.
  std::unique_ptr<p::AviFile, FileRelease> file;
  std::unique_ptr<p::AviStream, StreamRelease> video;
  std::unique_ptr<p::AviStream, StreamRelease> audio;
  std::unique_ptr<p::AviStream, StreamRelease> compressed;
  std::unique_ptr<p::GetFrame, FrameRelease> frames_obj;
  int32_t width = 0, height = 0, bits = 0, bytespp = 0;
  int32_t frame_count = 0;
  int32_t next = 0;       // 0-based index of the next frame
  int32_t last_read = 0;  // number of the frame last read (1-based), 0 none
  double fps = 0;
  int64_t file_size = 0;
  int32_t max_rate = 0;
  p::AVISTREAMINFO vinfo{}, ainfo{};
  Tracked<uint8_t> video_format;
  bool frames_ok = false;  // a get-frame object could deliver
  // Sound reading.
  Tracked<uint8_t> src_format;
  SndDecodeState dec{};
  WaveConvState conv{};
  bool needs_init = false;
  // Output sample frames per source block when a block starts at an exact
  // sample (0: unknown), and how many blocks before the wanted one decoding
  // starts so that the decoder's state is whole again.
  int32_t block_samples = 0;
  int32_t preroll = 0;
  int32_t lead = 0;  // decoded sample frames to drop before the position asked for
  // Raw AAC frames go to the decoder as ADTS frames, which carry their own
  // boundaries and configuration: the format the decoder sees and the
  // ADTS header fields (profile, sampling index, channel configuration).
  bool aac_to_adts = false;
  WaveFormat adts_format{};
  uint8_t adts_profile = 0, adts_rate_index = 0, adts_channels = 0;
  // Sound writing.
  int32_t sound_written = 0;
  Tracked<uint8_t> snd_format;
  WaveFormat snd_out{};
  // Writing.
  bool writing = false;
  Tracked<uint8_t> custom;
  int32_t custom_len = 0;
  CodecSettings codec;
  Tracked<uint8_t> flipped;
  Tracked<uint8_t> parms;
  bool new_picture = false;
  int32_t frames_per_block = 0;
  // Sound announced before the first frame: where the file takes no new
  // stream once data is in it, its stream is made with the video stream.
  bool sound_expected = false;
  WaveFormat sound_expected_format{};

  ~AviState() { Release(); }
  void Release() {
    frames_obj.reset();
    compressed.reset();
    video.reset();
    if (conv.stream) p::acmStreamClose(conv.stream, 0);
    conv = WaveConvState{};
    audio.reset();
    file.reset();
    SndDecodeFree(dec);
    dec = SndDecodeState{};
  }
};

AviState& St(void* s) { return *static_cast<AviState*>(s); }
const AviState& St(const void* s) { return *static_cast<const AviState*>(s); }

void AviIgnoreAudio_(AviState& st) {
  st.audio.reset();
  st.src_format.Reset();
  st.dec = SndDecodeState{};
  WarnReportCode(kGrpAvi, kAviAudioInvalid, 10);
}

void AcmCheck(p::MMRESULT r, int32_t site) {
  if (r != p::MMSYSERR_NOERROR) ErrRaise(kGrpAcm, static_cast<int32_t>(r), site);
}

// Raw AAC with its AudioSpecificConfig: the ADTS header fields, when ADTS
// can carry the configuration (AAC Main, LC, SSR, LTP, or HE-AAC whose core
// the decoder finds in the frames).
bool AdtsFromConfig(AviState& st, const uint8_t* asc, int32_t asc_size) {
  if (asc_size < 2) return false;
  int aot = asc[0] >> 3;
  int rate_index = ((asc[0] & 7) << 1) | (asc[1] >> 7);
  const int channels = (asc[1] >> 3) & 15;
  if (aot == 5 || aot == 29) aot = 2;  // SBR/PS over an LC core
  if (aot < 1 || aot > 4 || rate_index > 12 || channels < 1 || channels > 7) return false;
  st.adts_profile = static_cast<uint8_t>(aot - 1);
  st.adts_rate_index = static_cast<uint8_t>(rate_index);
  st.adts_channels = static_cast<uint8_t>(channels);
  return true;
}

bool IsAdts(const uint8_t* p, int32_t n) {
  return n >= 7 && p[0] == 0xFF && (p[1] & 0xF6) == 0xF0;
}

void OpenSound(AviState& st) {
  p::PAVISTREAM a = nullptr;
  if (p::AVIFileGetStream(st.file.get(), &a, p::streamtypeAUDIO, 0) != p::AVIERR_OK || !a) return;
  st.audio.reset(a);
  const int32_t blocks = p::AVIStreamLength(a);
  int32_t size = 0;
  if (p::AVIStreamInfo(a, &st.ainfo, sizeof st.ainfo) != p::AVIERR_OK || blocks <= 0 ||
      p::AVIStreamReadFormat(a, 0, nullptr, &size) != p::AVIERR_OK || size < 14 || size > 65536) {
    AviIgnoreAudio_(st);
    return;
  }
  st.src_format.Alloc(std::max<int32_t>(size, sizeof(WaveFormat)), 11, "ff_avi.AviOpen.sl.InFormat",
                      kMemNew);
  std::memset(st.src_format.get(), 0, static_cast<size_t>(st.src_format.size()));
  if (p::AVIStreamReadFormat(a, 0, st.src_format.get(), &size) != p::AVIERR_OK) {
    AviIgnoreAudio_(st);
    return;
  }
  auto* src = reinterpret_cast<WaveFormat*>(st.src_format.get());
  if (size < 18) src->cbSize = 0;
  if (src->cbSize > size - 18 && size >= 18) src->cbSize = static_cast<uint16_t>(size - 18);
  if (src->nBlockAlign == 0 || src->nChannels == 0 || src->nSamplesPerSec == 0) {
    AviIgnoreAudio_(st);
    return;
  }
  int32_t all_bytes = 0, all_samples = 0;
  p::AVIStreamRead(a, 0, blocks, nullptr, 0, &all_bytes, &all_samples);
  if (src->nAvgBytesPerSec == 0) {
    // Compressed streams stored without their data rate (MP3 written as
    // whole frames): the rate follows from the stream's bytes and duration.
    const double seconds = st.ainfo.dwRate ? double(blocks) * st.ainfo.dwScale / st.ainfo.dwRate : 0;
    if (src->wFormatTag != kWaveFormatPcm && seconds > 0 && all_bytes > 0)
      src->nAvgBytesPerSec = static_cast<uint32_t>(std::min(all_bytes / seconds, 1e9));
    else
      src->nAvgBytesPerSec = src->nSamplesPerSec * src->nBlockAlign;
  }
  // AAC: raw frames with their configuration become ADTS frames; frames
  // stored as ADTS (no configuration) go as they are.
  // Surround sound comes in the extensible record, whose sub-format holds
  // the tag and whose configuration follows its 22 bytes.
  st.aac_to_adts = false;
  WaveFormat* decode_format = src;
  const uint8_t* extra = st.src_format.get() + 18;
  int32_t extra_size = std::min<int32_t>(src->cbSize, size - 18);
  uint16_t tag = src->wFormatTag;
  constexpr uint16_t kExtensible = 0xFFFE;
  constexpr int32_t kExtensibleSize = 22;
  if (tag == kExtensible && extra_size >= kExtensibleSize) {
    const uint16_t sub = static_cast<uint16_t>(extra[6] | extra[7] << 8);
    if (sub == p::WAVE_FORMAT_AAC || sub == p::WAVE_FORMAT_DOLBY_AC3) {
      tag = sub;
      extra += kExtensibleSize;
      extra_size -= kExtensibleSize;
    }
  }
  if (tag != src->wFormatTag || tag == p::WAVE_FORMAT_AAC) {
    st.adts_format = *src;
    st.adts_format.wFormatTag = tag;
    st.adts_format.cbSize = 0;
    decode_format = &st.adts_format;
  }
  if (tag == p::WAVE_FORMAT_AAC) {
    st.aac_to_adts = AdtsFromConfig(st, extra, extra_size);
    st.adts_format.wFormatTag = p::WAVE_FORMAT_MPEG_ADTS_AAC;
  }
  SndDecodeState& d = st.dec;
  d = SndDecodeState{};
  d.src_format = decode_format;
  d.src_format_size = decode_format == src ? std::max<int32_t>(size, 18) : 18;
  d.blocks_total = blocks;
  WaveFormat out{};
  if (src->wFormatTag == kWaveFormatPcm) {
    std::memcpy(&out, src, sizeof out);
    out.cbSize = 0;
    d.out_total = out.nBlockAlign ? all_bytes / out.nBlockAlign : 0;
  } else {
    out.wFormatTag = kWaveFormatPcm;
    if (p::acmFormatSuggest(nullptr, decode_format, &out, sizeof out,
                            p::ACM_FORMATSUGGESTF_WFORMATTAG) != p::MMSYSERR_NOERROR) {
      AviIgnoreAudio_(st);
      return;
    }
    p::HACMSTREAM temp = nullptr;
    AcmCheck(p::acmStreamOpen(&temp, nullptr, decode_format, &out, nullptr, 0, 0,
                              p::ACM_STREAMOPENF_NONREALTIME),
             12);
    p::DWORD pcm = 0;
    const p::MMRESULT r =
        p::acmStreamSize(temp, static_cast<p::DWORD>(all_bytes), &pcm, p::ACM_STREAMSIZEF_SOURCE);
    const p::MMRESULT rc = p::acmStreamClose(temp, 0);
    AcmCheck(r, 13);
    AcmCheck(rc, 14);
    d.out_total = out.nBlockAlign ? static_cast<int32_t>(pcm / out.nBlockAlign) : 0;
  }
  d.ratio = blocks > 0 ? double(d.out_total) / blocks : 1.0;
  if (d.ratio == 0) d.ratio = 1.0;
  if (!SndCompleteFormat(out)) {
    AviIgnoreAudio_(st);
    return;
  }
  d.out_format = out;
  st.needs_init = true;
  // Where each source block starts in output samples.
  st.block_samples = 0;
  st.preroll = 0;
  if (src->wFormatTag == kWaveFormatPcm) {
    st.block_samples = 1;
  } else if (st.ainfo.dwSampleSize == 0) {
    // One coded frame per chunk (MPEG audio as written by most tools):
    // the chunk's duration in samples.
    if (st.ainfo.dwRate > 0 && st.ainfo.dwScale > 0) {
      const double v = double(st.ainfo.dwScale) * src->nSamplesPerSec / st.ainfo.dwRate;
      const double r = std::round(v);
      if (r >= 1 && r <= 1 << 16 && std::fabs(v - r) < 1e-6 * r) st.block_samples = int32_t(r);
    }
  } else if (st.ainfo.dwSampleSize == src->nBlockAlign) {
    st.block_samples = static_cast<int32_t>(std::min<int64_t>(
        p::AcmSamplesPerBlock(*reinterpret_cast<const p::WAVEFORMATEX*>(src)), 1 << 16));
  }
  // MPEG audio frames borrow bits from the frames before them (up to 511
  // bytes) and overlap their neighbours: a few frames before are decoded.
  if (src->wFormatTag == p::WAVE_FORMAT_MPEG || src->wFormatTag == p::WAVE_FORMAT_MPEGLAYER3)
    st.preroll = 8;
  // AAC and AC-3 frames overlap their neighbours too; one frame per chunk
  // gives the exact total, where the data rate gives only an estimate.
  if (tag == p::WAVE_FORMAT_AAC || tag == p::WAVE_FORMAT_MPEG_ADTS_AAC ||
      tag == p::WAVE_FORMAT_DOLBY_AC3) {
    st.preroll = 2;
    if (st.block_samples > 0 && st.ainfo.dwSampleSize == 0 &&
        out.nSamplesPerSec == src->nSamplesPerSec) {
      int64_t frames = 0;
      for (int32_t b = 0; b < blocks; ++b) {
        int32_t bytes = 0, n = 0;
        if (p::AVIStreamRead(st.audio.get(), b, 1, nullptr, 0, &bytes, &n) != p::AVIERR_OK) break;
        if (bytes > 0) ++frames;
      }
      d.out_total = static_cast<int32_t>(std::min<int64_t>(frames * st.block_samples, INT32_MAX));
      d.ratio = blocks > 0 && d.out_total > 0 ? double(d.out_total) / blocks : 1.0;
    }
  }
}

void AviOpen(void* state, const std::string& name) {
  Monitored("ff_avi.AviOpen", [&] {
    AviState& st = St(state);
    st.Release();
    // An open that fails keeps none of the system's objects it took (a
    // sound stream the system cannot decode ends the open).
    struct ReleaseUnlessOpen {
      AviState& st;
      bool open = false;
      ~ReleaseUnlessOpen() {
        if (!open) st.Release();
      }
    } guard{st};
    {
      TrackedFile f;
      if (f.Open(name, kFmRead) == kFileOk) st.file_size = f.Size();
    }
    if (st.file_size <= 0) ErrRaise(kGrpAvi, kAviOpen, 20);
    p::PAVIFILE file = nullptr;
    p::HRESULT r = p::AVIFileOpen(&file, name.c_str(), p::OF_READ, nullptr);
    if (r != p::AVIERR_OK) {
      WarnReportCode(kGrpAviLib, r, 21);
      r = p::AVIFileOpen(&file, name.c_str(), p::OF_READ, &p::CLSID_AVIFile);
      if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 22);
    }
    st.file.reset(file);
    p::AVIFILEINFO fi{};
    if (p::AVIFileInfo(file, &fi, sizeof fi) == p::AVIERR_OK)
      st.max_rate = static_cast<int32_t>(std::min<uint32_t>(fi.dwMaxBytesPerSec, INT32_MAX));
    // Video.
    p::PAVISTREAM v = nullptr;
    p::HRESULT last = p::AVIFileGetStream(file, &v, p::streamtypeVIDEO, 0);
    if (last == p::AVIERR_OK && v) {
      st.video.reset(v);
      r = p::AVIStreamInfo(v, &st.vinfo, sizeof st.vinfo);
      if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 23);
      int32_t size = 0;
      r = p::AVIStreamReadFormat(v, 0, nullptr, &size);
      if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 24);
      if (size < 40) ErrRaise(kGrpAviLib, p::AVIERR_BADFORMAT, 25);
      st.video_format.Alloc(size, 26, "ff_avi.AVIStreamReadFormat_.dest_ptr", kMemNew);
      r = p::AVIStreamReadFormat(v, 0, st.video_format.get(), &size);
      if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 27);
      st.fps = st.vinfo.dwScale ? double(st.vinfo.dwRate) / st.vinfo.dwScale : 0.0;
      st.frame_count = p::AVIStreamLength(v);
      if (st.frame_count <= 0) ErrRaise(kGrpAvi, kAviOpen, 28);
      st.frames_obj.reset(p::AVIStreamGetFrameOpen(v, nullptr));
      const void* dib = st.frames_obj ? p::AVIStreamGetFrame(st.frames_obj.get(), 0) : nullptr;
      p::BITMAPINFOHEADER h;
      if (dib) {
        std::memcpy(&h, dib, 40);
        st.frames_ok = true;
      } else {
        // Nothing can be delivered: the sizes come from the format alone.
        std::memcpy(&h, st.video_format.get(), 40);
        st.frames_obj.reset();
        st.video.reset();
      }
      // A format's own sizes may be anything: negative widths and the
      // lowest height count as none.
      st.width = std::max<int32_t>(h.biWidth, 0);
      st.height = static_cast<int32_t>(std::min<int64_t>(std::llabs(int64_t{h.biHeight}), INT32_MAX));
      st.bits = FromCodecBits(h.biBitCount);
      st.bytespp = (st.bits + 7) / 8;
    }
    OpenSound(st);
    if (!st.frames_ok && st.frame_count <= 0 && !st.audio)
      ErrRaise(kGrpAviLib, last != p::AVIERR_OK ? last : p::AVIERR_NODATA, 29);
    guard.open = true;
  });
}

void AviImgLoad(void* state, QImg& image, int32_t n, int32_t mode) {
  Monitored("ff_avi.AviImgLoad", [&] {
    AviState& st = St(state);
    if (n < 0 || n > st.frame_count) ErrRaise(kGrpAvi, kAviRead, 30);
    const bool cont = (mode & 1) != 0;
    if (cont && n != 0 && n == st.last_read) {
      st.new_picture = false;
      return;
    }
    if (n != 0 && n != st.next + 1) st.next = n - 1;
    st.new_picture = false;
    if (st.next >= st.frame_count) ErrRaise(kGrpAvi, kAviRead, 31);
    if (!st.frames_obj && st.video) st.frames_obj.reset(p::AVIStreamGetFrameOpen(st.video.get(), nullptr));
    if (!st.frames_obj) ErrRaise(kGrpAvi, kAviRead, 32);
    const void* dib = p::AVIStreamGetFrame(st.frames_obj.get(), st.next);
    if (!dib) ErrRaise(kGrpAvi, kAviRead, 33);
    const auto* h = static_cast<const p::BITMAPINFOHEADER*>(dib);
    const int64_t bytes = 40 + (h->biBitCount == 8 ? 1024 : 0) +
                          int64_t((h->biWidth * ((h->biBitCount + 7) / 8) + 3) / 4 * 4) *
                              std::abs(h->biHeight);
    ImgLoadGuard guard(image);
    DibToQimgEx(&image, dib, bytes);
    st.new_picture = true;
    ++st.next;
    st.last_read = st.next;
  });
}

// AAC: the next chunks, each raw frame behind an ADTS header of its own.
void AviReadAdts(AviState& st, uint8_t*& raw, int32_t& bytes, int32_t& blocks) {
  constexpr int32_t kHeader = 7;
  constexpr int32_t kMaxFrame = (1 << 13) - 1;  // ADTS frame length field
  constexpr int32_t kWanted = 64 << 10;
  constexpr int32_t kMaxChunks = 256;
  int32_t fill = 0, b = st.dec.blocks_read;
  MemAllocHeld(raw, kWanted + kMaxFrame, 40, kMemRealloc, "ff_avi.AviSndLoad_.temp_buf");
  while (b < st.dec.blocks_total && fill < kWanted && b - st.dec.blocks_read < kMaxChunks) {
    int32_t need = 0, n = 0;
    if (p::AVIStreamRead(st.audio.get(), b, 1, nullptr, 0, &need, &n) != p::AVIERR_OK) break;
    if (need < 0 || need > kMaxFrame - kHeader) {  // no AAC frame: skipped
      ++b;
      continue;
    }
    uint8_t* at = raw + fill;
    int32_t got = 0;
    const p::HRESULT r =
        p::AVIStreamRead(st.audio.get(), b, 1, at + kHeader, need, &got, &n);
    if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 41);
    ++b;
    if (got <= 0) continue;
    if (IsAdts(at + kHeader, got) || !st.aac_to_adts) {
      std::memmove(at, at + kHeader, static_cast<size_t>(got));
      fill += got;
      continue;
    }
    const uint32_t len = static_cast<uint32_t>(got + kHeader);
    at[0] = 0xFF;
    at[1] = 0xF1;  // MPEG-4, no CRC
    at[2] = static_cast<uint8_t>((st.adts_profile << 6) | (st.adts_rate_index << 2) |
                                 (st.adts_channels >> 2));
    at[3] = static_cast<uint8_t>(((st.adts_channels & 3) << 6) | (len >> 11));
    at[4] = static_cast<uint8_t>(len >> 3);
    at[5] = static_cast<uint8_t>(((len & 7) << 5) | 0x1F);
    at[6] = 0xFC;
    fill += static_cast<int32_t>(len);
  }
  bytes = fill;
  blocks = b - st.dec.blocks_read;
}

// Reads the next raw sound bytes for the streaming decoder.
void AviSndLoad_(void* module, uint8_t*& raw, int32_t, int32_t& bytes, int32_t& blocks) {
  Monitored("ff_avi.AviSndLoad_", [&] {
    AviState& st = *static_cast<AviState*>(module);
    bytes = blocks = 0;
    const auto* src = reinterpret_cast<const WaveFormat*>(st.src_format.get());
    if (st.dec.src_format && st.dec.src_format->wFormatTag == p::WAVE_FORMAT_MPEG_ADTS_AAC) {
      AviReadAdts(st, raw, bytes, blocks);
      return;
    }
    int64_t size = int64_t(src->nAvgBytesPerSec) * 4;
    size = std::clamp<int64_t>(size, 4096, int64_t{16} << 20);
    int32_t need = 0, n = 0;
    // One chunk of a stream of whole chunks may be larger.
    if (p::AVIStreamRead(st.audio.get(), st.dec.blocks_read, 1, nullptr, 0, &need, &n) ==
            p::AVIERR_OK &&
        need > size && need <= (int32_t{64} << 20))
      size = need;
    MemAllocHeld(raw, size, 40, kMemRealloc, "ff_avi.AviSndLoad_.temp_buf");
    const p::HRESULT r =
        p::AVIStreamRead(st.audio.get(), st.dec.blocks_read, p::AVISTREAMREAD_CONVENIENT, raw,
                         static_cast<int32_t>(size), &bytes, &blocks);
    if (r == p::AVIERR_NODATA) {
      bytes = blocks = 0;
      return;
    }
    if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 41);
  });
}

void AviSndSeek(AviState& st, int32_t sample) {
  Monitored("ff_avi.AviSndSeek", [&] {
    SndDecodeState& d = st.dec;
    if (sample < 0) sample = 0;
    if (sample >= d.out_total) return;
    // Decoding starts at the block holding the sample (some blocks earlier
    // when the decoder needs them); the samples before it are dropped.
    // Without a known block length it starts at the beginning.
    int32_t block = 0;
    int64_t start = 0;  // output sample at which `block` starts
    if (st.block_samples > 0 && st.ainfo.dwSampleSize == 0) {
      // One coded frame per chunk, but empty chunks hold none: count the
      // frames of the chunks before. The last few frames up to the one
      // holding the sample are kept, for the frames decoded before it.
      constexpr int kKeep = 16;
      std::pair<int32_t, int64_t> recent[kKeep];  // chunk, first sample
      int found = 0;
      int64_t at = 0;
      for (int32_t b = 0; b < d.blocks_total; ++b) {
        int32_t bytes = 0, n = 0;
        if (p::AVIStreamRead(st.audio.get(), b, 1, nullptr, 0, &bytes, &n) != p::AVIERR_OK) break;
        if (bytes <= 0) continue;
        recent[found++ % kKeep] = {b, at};
        if (at + st.block_samples > sample) break;
        at += st.block_samples;
      }
      if (found > 0) {
        const int back = std::min({st.preroll, found - 1, kKeep - 1});
        const auto& [chunk, first] = recent[(found - 1 - back) % kKeep];
        block = chunk;
        start = first;
      }
    } else if (st.block_samples > 0) {
      block = std::max(sample / st.block_samples - st.preroll, 0);
      block = std::min(block, std::max(d.blocks_total - 1, 0));
      start = int64_t(block) * st.block_samples;
    }
    d.blocks_read = block;
    st.lead = static_cast<int32_t>(sample - start);
    d.out_pos = sample;
    d.staging_fill = d.staging_pos = 0;
    d.ended = 0;
    if (st.conv.stream) WaveConvertDone(st.conv);
    st.needs_init = true;
  });
}

void AviSndLoad(void* state, SoundBuffer& snd, int32_t start, int32_t mode, int32_t count) {
  Monitored("ff_avi.AviSndLoad", [&] {
    AviState& st = St(state);
    if (!((mode & 1) && start == st.dec.out_pos) && st.audio) AviSndSeek(st, start);
    snd.sample_count = 0;
    if (!st.audio || !st.dec.src_format ||
        (st.dec.ended && st.dec.staging_pos >= st.dec.staging_fill))
      ErrRaise(kGrpAvi, kAviReadAudio, 42);
    if (st.needs_init) {
      WaveConvertInit(st.conv, st.dec.src_format, &st.dec.out_format);
      st.needs_init = false;
    }
    while (st.lead > 0) {
      SoundBuffer skip{};
      SndGuard guard(skip);
      SndLoad(&st, st.conv, st.dec, AviSndLoad_, std::min(st.lead, int32_t{1} << 16), skip);
      if (skip.sample_count <= 0) break;
      st.lead -= std::min(st.lead, skip.sample_count);
    }
    st.lead = 0;
    SndLoad(&st, st.conv, st.dec, AviSndLoad_, count, snd);
    st.dec.out_pos += snd.sample_count;
  });
}

// ---------------------------------------------------------------- writing

void AviCreate(void* state, const std::string& name, double fps, int32_t frames_per_block, int32_t) {
  Monitored("ff_avi.AviCreate", [&] {
    AviState& st = St(state);
    st.Release();
    if (FExists(name)) FDelete(name);
    p::PAVIFILE file = nullptr;
    p::HRESULT r = p::AVIFileOpen(&file, name.c_str(), p::OF_CREATE | p::OF_WRITE, nullptr);
    if (r != p::AVIERR_OK) {
      WarnReportCode(kGrpAviLib, r, 50);
      r = p::AVIFileOpen(&file, name.c_str(), p::OF_CREATE | p::OF_WRITE, &p::CLSID_AVIFile);
      if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 51);
    }
    st.file.reset(file);
    st.fps = fps > 0 ? fps : 25.0;
    st.frames_per_block = frames_per_block;
    st.codec.CopyFrom(Current(), 52, "ff_avi.AviCreate.af.codec.lpParms");
    st.writing = true;
  });
}

void AviSetCustomInfo(void* state, const char* id, const char* text) {
  Monitored("ff_avi.AviSetCustomInfo", [&] {
    AviState& st = St(state);
    if (!id || !text || !*text || std::strlen(id) < 4 || !st.writing) return;
    if (st.video) return;  // the INFO list went out with the first frame
    const int32_t old = st.custom_len;
    Tracked<uint8_t> grown(4 + int64_t(old) + kInfoEntry, 53,
                           "ff_avi.AviSetCustomInfo.af.customInfo.buffer");
    std::memset(grown.get(), 0, static_cast<size_t>(grown.size()));
    if (old > 0) std::memcpy(grown.get(), st.custom.get(), static_cast<size_t>(4 + old));
    uint8_t* e = grown.get() + 4 + old;
    std::memcpy(e, id, 4);
    const uint32_t size = 256;
    std::memcpy(e + 4, &size, 4);
    std::memcpy(e + 8, text, std::min<size_t>(std::strlen(text), 255));
    st.custom = std::move(grown);
    st.custom_len = old + kInfoEntry;
  });
}

void AviWriteCustomInfo(AviState& st) {
  Monitored("ff_avi.AviWriteCustomInfo", [&] {
    if (st.custom_len <= 0 || !st.custom) return;
    std::memcpy(st.custom.get(), "INFO", 4);
    const p::HRESULT r = p::AVIFileWriteData(st.file.get(), p::ckidLIST, st.custom.get(), st.custom_len + 4);
    if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 54);
  });
}

// The sound stream, in the format its blocks will be written in.
void StartSound(AviState& st, WaveFormat f) {
  if (!SndCompleteFormat(f)) ErrRaise(kGrpAvi, kAviWriteAudio, 71);
  p::AVISTREAMINFO si{};
  si.fccType = p::streamtypeAUDIO;
  si.dwScale = f.nBlockAlign;
  si.dwRate = f.nAvgBytesPerSec;
  si.dwSampleSize = f.nBlockAlign;
  si.dwQuality = 0xFFFFFFFFu;
  p::PAVISTREAM a = nullptr;
  p::HRESULT r = p::AVIFileCreateStream(st.file.get(), &a, &si);
  if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 72);
  st.audio.reset(a);
  st.snd_format.Alloc(18, 73, "ff_avi.AviSndSave.af.sl.InFormat", kMemNew);
  f.cbSize = 0;
  std::memcpy(st.snd_format.get(), &f, 18);
  st.snd_out = f;
  r = p::AVIStreamSetFormat(a, 0, st.snd_format.get(), 18);
  if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 74);
}

void AviExpectSound(void* state, const WaveFormat& format) {
  AviState& st = St(state);
  if (!st.writing || st.video || st.audio) return;
  st.sound_expected = true;
  st.sound_expected_format = format;
}

// The first frame: INFO list, codec set-up, video stream (and the sound
// stream when sound is expected).
void StartVideo(AviState& st, const QImg& img) {
  AviWriteCustomInfo(st);
  CodecSettings& cur = Current();
  cur.CopyFrom(st.codec, 55, "ff_avi.AviImgSave.lpParms");
  SetVC(cur, img.width, img.height, img.bits, false);
  st.codec.CopyFrom(cur, 56, "ff_avi.AviImgSave.af.codec.lpParms");
  st.width = img.width;
  st.height = img.height;
  st.bits = st.codec.rec.bits;
  st.bytespp = (st.bits + 7) / 8;
  p::AVISTREAMINFO si{};
  si.fccType = p::streamtypeVIDEO;
  si.fccHandler = st.codec.uncompressed ? 0 : st.codec.rec.handler;
  si.dwScale = 10000;
  si.dwRate = static_cast<uint32_t>(std::llround(st.fps * 10000));
  const int64_t row = (int64_t(st.width) * st.bytespp + 3) / 4 * 4;
  si.dwSuggestedBufferSize = static_cast<uint32_t>(row * st.height);
  si.dwQuality = st.codec.rec.quality >= 0 ? static_cast<uint32_t>(st.codec.rec.quality * 100) : 0xFFFFFFFFu;
  si.rcFrame = {0, 0, st.width, st.height};
  p::PAVISTREAM v = nullptr;
  p::HRESULT r = p::AVIFileCreateStream(st.file.get(), &v, &si);
  if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 57);
  st.video.reset(v);
  p::AVICOMPRESSOPTIONS o;
  AviMakeCmpsOptions_(st.codec, o, st.parms);
  p::PAVISTREAM c = nullptr;
  r = p::AVIMakeCompressedStream(&c, v, &o, nullptr);
  if (r != p::AVIERR_OK) {
    WarnReportCode(kGrpAviLib, r, 58);
    r = p::AVIMakeCompressedStream(&c, v, &o, &p::CLSID_AVICmprsStream);
    if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 59);
  }
  st.compressed.reset(c);
  const int32_t fmt_size = st.bits == 8 ? 1064 : 40;
  st.video_format.Alloc(fmt_size, 60, "ff_avi.AviImgSave.af.videoFormat", kMemNew);
  std::memset(st.video_format.get(), 0, static_cast<size_t>(fmt_size));
  FillBitmapInfo_(st.video_format.get(), st.width, st.height, st.bits == 8 ? img.palette : nullptr,
                  ToCodecBits(st.bits));
  r = p::AVIStreamSetFormat(c, 0, st.video_format.get(), fmt_size);
  if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 61);
  if (st.sound_expected && !st.audio && !p::AviLateStreams()) StartSound(st, st.sound_expected_format);
}

void AviImgSave(void* state, QImg& image) {
  Monitored("ff_avi.AviImgSave", [&] {
    AviState& st = St(state);
    if (!st.writing) ErrRaise(kGrpAvi, kAviWrite, 62);
    // The frame as the output takes it: a sane size, then the depth of the
    // table and, once the codec is set up, the codec's own depth.
    if (!ImgValid(&image) || image.width < 4 || image.width > 4096 || image.height < 4 ||
        image.height > 4096)
      ErrRaise(kGrpMovie2, kMviInvalidFormat, 63);
    QImg temp{};
    ImgGuard guard_temp(temp);
    const QImg* img = &image;
    const int32_t table_bits = image.bits == 8 ? 8 : image.bits == 15 ? 15 : 24;
    if (table_bits != image.bits) {
      ImgConvBpp(&image, &temp, table_bits);
      img = &temp;
    }
    if (!st.video) StartVideo(st, *img);
    if (img->width != st.width || img->height != st.height) ErrRaise(kGrpAvi, kAviWrite, 64);
    QImg conv{};
    ImgGuard guard_conv(conv);
    if (img->bits != st.bits) {
      // Frames must reach the codec at the depth its stream was set up for.
      ImgConvBpp(const_cast<QImg*>(img), &conv, st.bits);
      img = &conv;
    }
    const int64_t row = int64_t(img->width) * img->bytespp;
    const int64_t padded = (row + 3) / 4 * 4;
    const int64_t bytes = padded * img->height;
    if (st.flipped.size() != bytes) st.flipped.Alloc(bytes, 65, "ff_avi.AviImgSave.imgFlipped", kMemNew);
    for (int32_t y = 0; y < img->height; ++y) {
      uint8_t* dst = st.flipped.get() + padded * (img->height - 1 - y);
      std::memcpy(dst, img->pixels + row * y, static_cast<size_t>(row));
      if (padded > row) std::memset(dst + row, 0, static_cast<size_t>(padded - row));
    }
    const p::HRESULT r = p::AVIStreamWrite(st.compressed.get(), st.next, 1, st.flipped.get(),
                                           static_cast<int32_t>(bytes), 0, nullptr, nullptr);
    if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 66);
    ++st.next;
    st.frame_count = st.next;
  });
}

void AviSndSave(void* state, SoundBuffer& snd) {
  Monitored("ff_avi.AviSndSave", [&] {
    AviState& st = St(state);
    if (!snd.data || snd.sample_count <= 0) return;
    if (!st.writing) ErrRaise(kGrpAvi, kAviWriteAudio, 70);
    if (!st.audio) StartSound(st, snd.format);
    const SoundBuffer* from = &snd;
    SoundBuffer temp{};
    SndGuard guard_temp(temp);
    if (SndFormatsDiffer(snd.format, st.snd_out)) {
      SndConvert(snd, temp, st.snd_out);
      from = &temp;
    }
    if (from->sample_count <= 0) return;
    const int64_t bytes = int64_t(from->sample_count) * st.snd_out.nBlockAlign;
    if (bytes > INT32_MAX) ErrRaise(kGrpAvi, kAviWriteAudio, 75);
    const p::HRESULT r = p::AVIStreamWrite(st.audio.get(), st.sound_written, from->sample_count, from->data,
                                           static_cast<int32_t>(bytes), p::AVIIF_KEYFRAME, nullptr, nullptr);
    if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 76);
    st.sound_written += from->sample_count;
  });
}

void AviClose(void* state) {
  Monitored("ff_avi.AviClose", [&] {
    AviState& st = St(state);
    p::HRESULT r = p::AVIERR_OK;
    st.frames_obj.reset();
    st.compressed.reset();
    st.video.reset();
    st.audio.reset();
    if (st.file && st.writing) r = p::AviFileFinish(st.file.get());
    st.Release();
    st.video_format.Reset();
    st.src_format.Reset();
    st.snd_format.Reset();
    st.custom.Reset();
    st.flipped.Reset();
    st.parms.Reset();
    st.custom_len = 0;
    st.sound_expected = false;
    const bool writing = st.writing;
    st.writing = false;
    if (writing && r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 80);
  });
}

MovieView AviView(const void* state) {
  const AviState& st = St(state);
  MovieView v{};
  v.width = st.width;
  v.height = st.height;
  v.bytespp = st.bytespp;
  v.bits = st.bits;
  v.frames = st.frame_count;
  v.current = st.writing ? st.next : st.last_read;
  v.samples_done = st.writing ? st.sound_written : st.dec.out_pos;
  v.writing = st.writing;
  v.new_picture = st.new_picture;
  v.has_sound = st.audio != nullptr;
  v.sound = st.writing ? st.snd_out : st.dec.out_format;
  return v;
}

constexpr MovieOps kAviMovie{
    .state_size = StateOps<AviState>::size,
    .construct = StateOps<AviState>::Construct,
    .destroy = StateOps<AviState>::Destroy,
    .tag = "AVI",
    .open = AviOpen,
    .img_load = AviImgLoad,
    .snd_load = AviSndLoad,
    .create = AviCreate,
    .img_save = AviImgSave,
    .snd_save = AviSndSave,
    .close = AviClose,
    .set_custom_info = AviSetCustomInfo,
    .view = AviView,
    .expect_sound = AviExpectSound,
};

// ---------------------------------------------------------------- save options

// The job's compressor choice made current: the codec, then its values.
void ApplyJobSettings(const VekAviCodecSettings& s) {
  CodecSettings& c = Current();
  SelectCodec(c, s.handler);
  if (s.quality != kUndefined) c.rec.quality = std::clamp(s.quality, 0, 100);
  if (s.keyFrameRate != kUndefined) c.rec.key_frame_every = std::max(s.keyFrameRate, 0);
  if (s.dataRate != kUndefined) c.rec.data_rate = std::max(s.dataRate, 0);
}

void CodecSelect(VekAviCodecSettings& s, uint32_t handler) {
  s.handler = handler;
}

std::string CodecName(const VekAviCodecSettings& s) { return AVIGetVideoName(s.handler); }

int32_t CodecPrepare(VekAviCodecSettings& s, int32_t width, int32_t height, int32_t bits) {
  ApplyJobSettings(s);
  CodecSettings& c = Current();
  SetVC(c, width, height, bits, false);
  s.handler = c.uncompressed ? kDib : c.rec.handler;
  return c.rec.bits;
}

constexpr CodecOps kAviCodec{.select = CodecSelect, .name = CodecName, .prepare = CodecPrepare};

// Choosing a compressor keeps the quality, key frame rate and data rate.
void AviSetCodec(VekSaveOpts& o, int32_t codec) {
  o.prepKeyFrameRate = o.avi.keyFrameRate;
  o.prepQuality = o.avi.quality;
  o.prepDataRate = o.avi.dataRate;
  kAviCodec.select(o.avi, static_cast<uint32_t>(codec));
  o.avi.keyFrameRate = o.prepKeyFrameRate;
  o.avi.quality = o.prepQuality;
  o.avi.dataRate = o.prepDataRate;
}

int32_t AviPrepare(VekSaveOpts& o, int32_t width, int32_t height, int32_t bits, int32_t) {
  VekAviCodecSettings s = o.avi;
  int32_t depth = 0;
  MonitoredBoundary("FFBasic.FFSavePrepare", [&] { depth = kAviCodec.prepare(s, width, height, bits); });
  if (!ErrNone()) {
    ErrClear();
    return 0;
  }
  o.prepCodec = static_cast<int32_t>(s.handler);
  const CodecSettings& c = Current();
  o.prepQuality = c.rec.quality;
  o.prepDataRate = c.rec.data_rate;
  o.prepKeyFrameRate = c.rec.key_frame_every;
  return depth;
}

void AviApply(const VekSaveOpts& o) {
  Monitored("ff_avi.AviApply", [&] { ApplyJobSettings(o.avi); });
}

}  // namespace

// ---------------------------------------------------------------- public

int32_t AviCodecsInit() {
  BuildCatalogue();
  return static_cast<int32_t>(Settings().catalogue.size());
}

int32_t AviCodecsQuery(const QAviCodec** entries, int32_t width, int32_t height, int32_t bits) {
  return Monitored("ff_avi.AviCodecsQuery", [&]() -> int32_t {
    EnsureCatalogue();
    AviSettings& s = Settings();
    if (width > 0 && height > 0 && bits > 0) {
      for (CatalogueEntry& e : s.catalogue) {
        QAviCodec& r = *e.rec.get();
        int32_t ob = 0, oh = 0, ow = 0;
        const bool ok = (r.encoder != 0) && AviCodecCanEncodeEx_(r.handler, width, height, ToCodecBits(bits)) &&
                        AviCodecCheck_(r.handler, width, height, ob, oh, ow, bits);
        r.available = ok ? -1 : 0;
        r.out_width = ok ? ow : 0;
        r.out_height = ok ? oh : 0;
        if (ok) r.bits = ob;
      }
    }
    s.view.clear();
    for (const CatalogueEntry& e : s.catalogue) s.view.push_back(*e.rec.get());
    s.view.push_back(QAviCodec{});
    if (entries) *entries = s.view.data();
    return static_cast<int32_t>(s.catalogue.size());
  });
}

void AviSettingsGet(QAviCodec& codec) { codec = Current().rec; }

void AviSettingsSelect(uint32_t handler) {
  Monitored("ff_avi.AviSettingsSelect", [&] { SelectCodec(Current(), handler); });
}

void AviSettingsSetKeyFrameEvery(int32_t frames) {
  CodecSettings& c = Current();
  c.rec.key_frame_every = std::max(frames, 0);
  if (QAviCodec* r = FindMutable(c.rec.handler)) r->key_frame_every = c.rec.key_frame_every;
}

void AviSettingsSetQuality(int32_t quality) {
  CodecSettings& c = Current();
  c.rec.quality = std::clamp(quality, 0, 100);
  if (QAviCodec* r = FindMutable(c.rec.handler)) r->quality = c.rec.quality;
}

void AviSettingsSetDataRate(int32_t rate) {
  CodecSettings& c = Current();
  c.rec.data_rate = std::max(rate, 0);
  if (QAviCodec* r = FindMutable(c.rec.handler)) r->data_rate = c.rec.data_rate;
}

bool AviSettingsUncompressed() { return Current().uncompressed; }

void AviSettingsSet(const QAviCodec& codec) {
  Monitored("ff_avi.AviSettingsSet", [&] {
    CodecSettings& c = Current();
    if (codec.state == c.rec.state && codec.state) {
      // Its own state: keep the block, take the rest.
      QAviCodec r = codec;
      r.state = c.state.get();
      r.state_size = static_cast<int32_t>(c.state.size());
      c.rec = r;
    } else {
      c.CopyFrom(codec, 8, "ff_avi.AviSettingsSet.lpParms");
    }
    c.uncompressed = IsUncompressed(codec.handler);
    if (c.uncompressed) c.rec.handler = kDib;
  });
}

void AviCodecAbout(uint32_t handler) {
  Monitored("ff_avi.AviCodecAbout", [&] {
    IcHandle ic(handler);
    if (!ic.h) ErrRaise(kGrpVfw, p::ICERR_BADHANDLE, 1);
    // No owner given: the platform opens the box over the active window.
    const p::LRESULT r = p::ICSendMessage(ic.h, p::ICM_ABOUT, 0, 0);
    if (r != p::ICERR_OK) ErrRaise(kGrpVfw, static_cast<int32_t>(r), 2);
  });
}

void AviCodecConfigure(QAviCodec& codec) {
  Monitored("ff_avi.AviCodecConfigure", [&] {
    IcHandle ic(codec.handler);
    if (!ic.h) ErrRaise(kGrpVfw, p::ICERR_BADHANDLE, 3);
    if (codec.state && codec.state_size > 0)
      p::ICSendMessage(ic.h, p::ICM_SETSTATE, reinterpret_cast<uintptr_t>(codec.state),
                       static_cast<uintptr_t>(codec.state_size));
    const p::LRESULT r = p::ICSendMessage(ic.h, p::ICM_CONFIGURE, 0, 0);
    if (r != p::ICERR_OK) ErrRaise(kGrpVfw, static_cast<int32_t>(r), 4);
    const p::LRESULT size = p::ICSendMessage(ic.h, p::ICM_GETSTATE, 0, 0);
    if (size <= 0 || size > (1 << 16)) return;
    EnsureCatalogue();
    CatalogueEntry* entry = nullptr;
    for (CatalogueEntry& e : Settings().catalogue)
      if (e.rec.get()->handler == codec.handler) entry = &e;
    if (!entry) {
      // Not in the catalogue: the record's own block takes a state of its size.
      if (codec.state && codec.state_size == size)
        p::ICSendMessage(ic.h, p::ICM_GETSTATE, reinterpret_cast<uintptr_t>(codec.state),
                         static_cast<uintptr_t>(size));
      return;
    }
    Tracked<uint8_t> state(size, 5, "ff_avi.AviCodecConfigure.lpParms", kMemNew);
    if (p::ICSendMessage(ic.h, p::ICM_GETSTATE, reinterpret_cast<uintptr_t>(state.get()),
                         static_cast<uintptr_t>(size)) != size)
      return;
    entry->state = std::move(state);
    entry->rec.get()->state = entry->state.get();
    entry->rec.get()->state_size = static_cast<int32_t>(size);
    codec.state = entry->state.get();
    codec.state_size = static_cast<int32_t>(size);
  });
}

void AviSetDialog(AviDialogFn dialog) { g_dialog = dialog; }

bool AviSelectVC(int32_t width, int32_t height, int32_t bits) { return SelectVC(width, height, bits); }

bool AviSelectVCFor(VekAviCodecSettings& job, int32_t width, int32_t height, int32_t bits) {
  return Monitored("ff_avi.AviSelectVCFor", [&]() -> bool {
    if (!g_dialog) ErrRaise(kGrpAvi, kAviInitCodec, 8);
    CodecSettings saved;
    saved.CopyFrom(Current(), 9, "ff_avi.AviSelectVCFor.saved");
    bool ok = false;
    MonitoredBoundary("ff_avi.AviSelectVCFor.dialog", [&] {
      ApplyJobSettings(job);
      ok = g_dialog(width, height, bits);
    });
    if (!ok || !ErrNone()) {
      // Cancelled or failed: the settings the module had before, and the
      // error, if any, on to the caller.
      const int32_t group = ErrGroup(), code = ErrCode();
      const std::string text = ErrMsgLast();
      Current().CopyFrom(saved, 10, "ff_avi.AviSettingsSet.lpParms");
      if (group != 0 && code == kFreeTextCode) ErrRaiseText(group, text, 11);
      if (group != 0) ErrRaise(group, code, 11);
      return false;
    }
    const CodecSettings& c = Current();
    job.handler = c.uncompressed ? kDib : c.rec.handler;
    job.quality = c.rec.quality;
    job.keyFrameRate = c.rec.key_frame_every;
    job.dataRate = c.rec.data_rate;
    return true;
  });
}

void AviSetVC(int32_t width, int32_t height, int32_t bits, bool dialog_allowed) {
  SetVC(Current(), width, height, bits, dialog_allowed);
}

std::string AVIGetVideoName(uint32_t handler) {
  std::string text;
  if (handler != 0) text = "(" + FourCCText(handler) + ") ";
  std::string name;
  if (IsUncompressed(handler)) {
    name = "Full frames, uncompressed";
  } else {
    IcHandle ic(handler);
    p::ICINFO info{};
    if (ic.h && p::ICGetInfo(ic.h, &info, sizeof info)) {
      info.szDescription[sizeof info.szDescription - 1] = '\0';
      name = info.szDescription;
    }
  }
  return text + (name.empty() ? "Unknown codec" : name);
}

std::string AVIGetAudioName(int32_t tag) {
  std::string text = "(#" + std::to_string(tag) + ") ";
  if (tag == 1) return text + "PCM, uncompressed";
  p::ACMFORMATTAGDETAILS d{};
  d.cbStruct = sizeof d;
  d.dwFormatTag = static_cast<p::DWORD>(tag);
  if (tag >= 0 && tag <= 0xFFFF &&
      p::acmFormatTagDetailsA(nullptr, &d, p::ACM_FORMATTAGDETAILSF_FORMATTAG) == p::MMSYSERR_NOERROR) {
    d.szFormatTag[sizeof d.szFormatTag - 1] = '\0';
    if (d.szFormatTag[0]) return text + d.szFormatTag;
  }
  return text + "Unknown codec";
}

std::string AviReadCustomInfo(const std::string& file, const char* id) {
  return Monitored("ff_avi.AviGetCustomInfo", [&]() -> std::string {
    AviState st;
    AviOpen(&st, file);
    if (!id || std::strlen(id) < 4) return std::string();
    int32_t size = 0;
    p::HRESULT r = p::AVIFileReadData(st.file.get(), p::ckidLIST, nullptr, &size);
    if (r == p::AVIERR_NODATA) return std::string();
    if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 90);
    if (size < 4) return std::string();
    Tracked<uint8_t> buf(size, 91, "ff_avi.AviGetCustomInfo.buffer");
    r = p::AVIFileReadData(st.file.get(), p::ckidLIST, buf.get(), &size);
    if (r != p::AVIERR_OK) ErrRaise(kGrpAviLib, r, 92);
    // Entries after the list type; odd sizes are padded to even.
    int64_t pos = 4;
    while (pos + 8 <= size) {
      uint32_t len;
      std::memcpy(&len, buf.get() + pos + 4, 4);
      if (len > uint64_t(size - pos - 8)) break;
      if (std::memcmp(buf.get() + pos, id, 4) == 0) {
        const char* t = reinterpret_cast<const char*>(buf.get() + pos + 8);
        const size_t n = std::min<size_t>(len, 256);
        return std::string(t, strnlen(t, n));
      }
      pos += 8 + int64_t(len) + (len & 1);
    }
    return std::string();
  });
}

void AviInfo(const std::string& name, QffInfo& info) {
  Monitored("ff_avi.AviInfo", [&] {
    AviState st;
    AviOpen(&st, name);
    info.size = st.file_size;
    info.maxDataRate = st.max_rate;
    if (st.frame_count > 0 && st.video_format) {
      info.width = st.width;
      info.height = st.height;
      info.bits = st.bits;
      info.bytespp = st.bytespp;
      info.frames = st.frame_count;
      info.fps = st.fps;
      p::BITMAPINFOHEADER h;
      std::memcpy(&h, st.video_format.get(), 40);
      const uint32_t handler = st.vinfo.fccHandler != 0 ? st.vinfo.fccHandler : h.biCompression;
      SetText(info.compression, AVIGetVideoName(handler).c_str());
      info.imagesValid = st.frame_count > 0 ? -1 : 0;
      info.imagesSupported = info.imagesValid && st.frames_ok ? -1 : 0;
    }
    if (st.audio) {
      std::memcpy(&info.sndFormat, st.src_format.get(), sizeof info.sndFormat);
      if (st.dec.src_format_size < 18) info.sndFormat.extraSize = 0;
      std::memcpy(&info.sndFormatOut, &st.dec.out_format, sizeof info.sndFormatOut);
      info.samples = st.dec.out_total;
      SetText(info.sndFormatName,
              AVIGetAudioName(reinterpret_cast<const WaveFormat*>(st.src_format.get())->wFormatTag).c_str());
      info.soundValid = st.dec.out_total > 0 ? -1 : 0;
      info.soundSupported = -1;
    }
    AviClose(&st);
  });
}

extern const FormatDescriptor kAviFormat{
    .id = kFmtAVI,
    .tag = "AVI",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsPal15,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .save = {.dialog = true,
             .set_codec = AviSetCodec,
             .set_quality = [](VekSaveOpts& o, int32_t v) { o.avi.quality = v; },
             .set_key_frame_rate = [](VekSaveOpts& o, int32_t v) { o.avi.keyFrameRate = v; },
             .set_data_rate = [](VekSaveOpts& o, int32_t v) { o.avi.dataRate = v; },
             .codec_name = [](const VekSaveOpts& o) { return kAviCodec.name(o.avi); },
             .prepare = AviPrepare,
             .apply = AviApply},
    .info = AviInfo,
    .codec = &kAviCodec,
    .movie = &kAviMovie,
};

}  // namespace vek
