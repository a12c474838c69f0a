// Windows wave sound files (unit FF_WAV) and the format's descriptor.
//
// Reading walks the RIFF chunks for "fmt " and "data" and decodes through
// the streaming decoder; PCM of 8 and 16 bits is handed on as stored, wider
// PCM and float samples are narrowed to 16 bits as they are read, and
// compressed formats go through the audio compression service. Writing puts
// the samples behind room for the header and writes the header on close.
#include "formats/movie/wav.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"

namespace vek {

using namespace platform;

namespace {

constexpr FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');
constexpr FOURCC kRf64 = mmioFOURCC('R', 'F', '6', '4');
constexpr FOURCC kBw64 = mmioFOURCC('B', 'W', '6', '4');
constexpr FOURCC kDs64 = mmioFOURCC('d', 's', '6', '4');
constexpr uint16_t kTagFloat = 0x0003;
constexpr uint16_t kTagExtensible = 0xFFFE;
// The fixed part of the wave format record is 18 bytes; behind it at most
// 65535 bytes of format data.
constexpr int32_t kMaxFormatSize = 18 + 65535;
// What one read of the file takes at most.
constexpr int32_t kMaxRead = 4 << 20;
// Source blocks decoded ahead of a seek target by codecs with memory.
constexpr int32_t kPreroll = 3;
// Where the samples of a written file begin.
constexpr int32_t kDataStart = 46;
// The largest data chunk a written file can describe (32-bit positions).
constexpr int64_t kMaxDataBytes = INT32_MAX - kDataStart - 1;

// The tail every format GUID of WAVE_FORMAT_EXTENSIBLE shares; the tag is
// in its first two bytes.
constexpr uint8_t kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                   0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void WAVAbort_(WavState& s, int32_t site) {
  s.Reset();
  ErrReportCode(kGrpWav, kWavOpen, site);
}

// Reads past a chunk's data and its pad byte.
void ReadIntoExtra_(HMMIO file, const MMCKINFO& ck) {
  Monitored("FF_WAV.ReadIntoExtra_", [&] {
    const int64_t end = int64_t(ck.dwDataOffset) + ck.cksize;
    const int64_t pos = mmioSeek(file, 0, SEEK_CUR);
    if (pos < 0) ErrReportCode(kGrpWav, kWavSeek, 1);
    if (pos > end) {
      // A list shorter than its own type: the next chunk starts at its end.
      if (mmioSeek(file, static_cast<LONG>(std::min<int64_t>(end + (ck.cksize & 1), INT32_MAX)),
                   SEEK_SET) < 0)
        ErrReportCode(kGrpWav, kWavSeek, 2);
      return;
    }
    int64_t left = end - pos;
    if (left > 0) {
      // Read in pieces: a chunk may claim far more than the file holds.
      Tracked<char> lp(std::min<int64_t>(left, 64 * 1024), 3, "FF_WAV.ReadIntoExtra_.lp");
      while (left > 0) {
        const LONG n = static_cast<LONG>(std::min<int64_t>(left, lp.size()));
        if (mmioRead(file, lp.get(), n) != n) ErrReportCode(kGrpWav, kWavRead, 4);
        left -= n;
      }
    }
    if (ck.cksize & 1) {
      char pad;
      mmioRead(file, &pad, 1);  // a missing pad byte at the very end is no loss
    }
  });
}

}  // namespace

// Descends to the wanted chunk, reading past the others.
MMRESULT FindChunkAndKeepExtras_(HMMIO file, MMCKINFO& ck, const MMCKINFO* parent, UINT flags) {
  return Monitored("FF_WAV.FindChunkAndKeepExtras_", [&]() -> MMRESULT {
    const MMCKINFO want = ck;
    for (;;) {
      const MMRESULT r = mmioDescend(file, &ck, parent, 0);
      if (r != MMSYSERR_NOERROR)
        return r == MMIOERR_CHUNKNOTFOUND && !(flags & (MMIO_FINDCHUNK | MMIO_FINDRIFF |
                                                        MMIO_FINDLIST))
                   ? MMSYSERR_NOERROR
                   : r;
      bool match = false;
      if (flags & MMIO_FINDCHUNK)
        match = ck.ckid == want.ckid;
      else if (flags & MMIO_FINDRIFF)
        match = ck.ckid == FOURCC_RIFF && ck.fccType == want.fccType;
      else if (flags & MMIO_FINDLIST)
        match = ck.ckid == FOURCC_LIST && ck.fccType == want.fccType;
      if (match) return MMSYSERR_NOERROR;
      ReadIntoExtra_(file, ck);
    }
  });
}

WavState::~WavState() { Reset(); }

void WavState::Reset() {
  if (conv.stream) acmStreamClose(conv.stream, 0);
  conv = WaveConvState{};
  SndDecodeFree(dec);
  dec = SndDecodeState{};
  in_format.Reset();
  if (file) mmioClose(file, 0);
  file = nullptr;
  data = MMCKINFO{};
  in_format_size = 0;
  narrow = 0;
  src_align = 0;
  mix_channels = 0;
  src_bytes = 0;
  pad_tail = false;
  exact_total = -1;
  decode_src = WaveFormat{};
  decode_record.clear();
  skip = 0;
  read_pos = 0;
  needs_init = reading = writing = format_written = false;
  data_bytes = 0;
  written = 0;
  out_format = WaveFormat{};
}

namespace {

// The 18-byte record of a stored format (a 16-byte chunk has no extra size).
WaveFormat Header(const uint8_t* format, int32_t size) {
  WaveFormat wf{};
  if (format) std::memcpy(&wf, format, std::min<size_t>(sizeof wf, size_t(std::max(size, 0))));
  return wf;
}

// The tag a stored format stands for: the sub-format of an extensible one
// (0 when that is not one of the tag-based GUIDs).
uint16_t EffectiveTag(const uint8_t* format, int32_t size) {
  const WaveFormat wf = Header(format, size);
  if (wf.wFormatTag != kTagExtensible) return wf.wFormatTag;
  if (size < 40 || wf.cbSize < 22) return 0;
  const uint8_t* guid = format + 24;
  if (guid[2] != 0 || guid[3] != 0 || std::memcmp(guid + 4, kGuidTail, sizeof kGuidTail) != 0)
    return 0;
  return static_cast<uint16_t>(guid[0] | guid[1] << 8);
}

int16_t Narrow32(int64_t v) {
  const int64_t r = (v + 0x8000) >> 16;
  return static_cast<int16_t>(r > 32767 ? 32767 : r);
}

int32_t FloatTo32(double d) {
  if (!(d == d)) return 0;
  const double t = d * 2147483648.0;
  if (t < 0) return t <= -2147483648.5 ? INT32_MIN : static_cast<int32_t>(t - 0.5);
  return t >= 2147483647.5 ? INT32_MAX : static_cast<int32_t>(t + 0.5);
}

int16_t NarrowFloat(double d) { return Narrow32(FloatTo32(d)); }

// One sample of `bytes` bytes (negative: float) as a 32-bit integer.
int32_t Wide32(const uint8_t* s, int32_t bytes) {
  switch (bytes) {
    case 1:
      return int32_t(uint32_t(s[0] ^ 0x80) << 24);
    case 2:
      return int32_t(uint32_t(s[0]) << 16 | uint32_t(s[1]) << 24);
    case 3:
      return int32_t(uint32_t(s[0]) << 8 | uint32_t(s[1]) << 16 | uint32_t(s[2]) << 24);
    case 4: {
      int32_t x;
      std::memcpy(&x, s, 4);
      return x;
    }
    case -4: {
      float x;
      std::memcpy(&x, s, 4);
      return FloatTo32(x);
    }
    default: {
      double x;
      std::memcpy(&x, s, 8);
      return FloatTo32(x);
    }
  }
}

// Samples of `bytes` bytes each (negative: float) to 16 bits, in place.
void NarrowSamples(uint8_t* p, int64_t samples, int32_t bytes) {
  int16_t* out = reinterpret_cast<int16_t*>(p);
  for (int64_t i = 0; i < samples; ++i) {
    const uint8_t* s = p + i * std::abs(bytes);
    int16_t v;
    switch (bytes) {
      case 3: {
        int32_t x = int32_t(uint32_t(s[0]) << 8 | uint32_t(s[1]) << 16 | uint32_t(s[2]) << 24);
        v = Narrow32(x);
        break;
      }
      case 4: {
        int32_t x;
        std::memcpy(&x, s, 4);
        v = Narrow32(x);
        break;
      }
      case -4: {
        float x;
        std::memcpy(&x, s, 4);
        v = NarrowFloat(x);
        break;
      }
      default: {
        double x;
        std::memcpy(&x, s, 8);
        v = NarrowFloat(x);
        break;
      }
    }
    std::memcpy(out + i, &v, 2);
  }
}

// The read function of the decoder: the next raw bytes of the data chunk.
void WAVLoad_(void* module, uint8_t*& raw, int32_t /*wanted*/, int32_t& bytes, int32_t& blocks) {
  Monitored("FF_WAV.WAVLoad_", [&] {
    WavState& s = *static_cast<WavState*>(module);
    bytes = 0;
    blocks = 0;
    const int64_t align = s.src_align;
    const int64_t left = int64_t(s.data.cksize) - s.read_pos;
    if (left <= 0 || align <= 0) return;
    // One second of source, in whole blocks, within what a read may take.
    int64_t size = std::clamp<int64_t>(s.decode_src.nAvgBytesPerSec, align, kMaxRead);
    size = std::max<int64_t>(size / align * align, align);
    size = std::min(size, left);
    MemAlloc(raw, size, 5, kMemRealloc, "FF_WAV.WAVLoad_.temp_buf");
    LONG got = mmioRead(s.file, reinterpret_cast<char*>(raw), static_cast<LONG>(size));
    if (got < 1) ErrReportCode(kGrpWav, kWavRead, 6);
    s.read_pos += got;
    if (s.pad_tail && got % align != 0) {
      // The decoder takes whole blocks only: the short last one is filled
      // with silence, and what that gives beyond the sound is cut off later.
      const int64_t whole = (got / align + 1) * align;
      MemAlloc(raw, whole, 37, kMemRealloc, "FF_WAV.WAVLoad_.temp_buf");
      std::memset(raw + got, 0, size_t(whole - got));
      got = static_cast<LONG>(whole);
    }
    // A short last block still counts, so the tail is not dropped.
    blocks = static_cast<int32_t>(std::max<int64_t>(got / align, 1));
    if (s.mix_channels > 0) {
      const int64_t frames = got / align;
      const int32_t ch = s.src_align / std::abs(s.src_bytes);
      // Mixed from the full width, so wide samples are rounded only once.
      std::vector<int32_t> wide(size_t(frames * ch));
      for (size_t i = 0; i < wide.size(); ++i)
        wide[i] = Wide32(raw + i * size_t(std::abs(s.src_bytes)), s.src_bytes);
      const int64_t out_bytes = frames * s.mix_channels * 2;
      MemAlloc(raw, std::max<int64_t>(out_bytes, 1), 38, kMemRealloc, "FF_WAV.WAVLoad_.temp_buf");
      SndMixDown(wide.data(), frames, ch, s.mix_gains, s.mix_channels,
                 reinterpret_cast<int16_t*>(raw));
      bytes = static_cast<int32_t>(out_bytes);
    } else if (s.narrow != 0) {
      const int64_t frames = got / align;
      const int64_t samples = frames * s.decode_src.nChannels;
      NarrowSamples(raw, samples, s.narrow);
      bytes = static_cast<int32_t>(samples * 2);
    } else {
      bytes = got;
    }
  });
}

// Chooses how the stored format is decoded; false when it cannot be.
bool SetUpPcm(WavState& s, const WaveFormat& stored, uint16_t tag, uint32_t mask) {
  const int32_t ch = stored.nChannels;
  const int32_t align = stored.nBlockAlign;
  if (ch == 0 || align % ch != 0) return false;
  const int32_t container = align / ch;
  int32_t bits = 16;
  if (tag == kWaveFormatPcm && (container == 1 || container == 2)) {
    bits = container * 8;
    s.narrow = 0;
  } else if (tag == kWaveFormatPcm && (container == 3 || container == 4)) {
    s.narrow = container;
  } else if (tag == kTagFloat && (container == 4 || container == 8)) {
    s.narrow = -container;
  } else {
    return false;
  }
  int32_t out_ch = ch;
  if (ch > 2 && (s.narrow != 0 || (mask != 0 && !SndLayoutIsDefault(mask, ch)))) {
    // Mixed down here when the channel mask names a layout the usual one of
    // the count would mix wrongly, and for wide samples, which mix with
    // less rounding from their full width.
    if (!SndMixDownMatrix(mask, ch, 2, s.mix_gains)) return false;
    s.mix_channels = out_ch = 2;
    s.src_bytes = s.narrow != 0 ? s.narrow : container;
    bits = 16;
  }
  WaveFormat out{};
  SndMakeFormat(out, static_cast<int32_t>(std::min<uint32_t>(stored.nSamplesPerSec, INT32_MAX)),
                out_ch, bits);
  if (!SndCompleteFormat(out)) return false;
  s.decode_src = out;
  s.dec.out_format = out;
  s.dec.out_total = s.dec.blocks_total;
  return true;
}

// ADPCM streams usually end in a short block, which holds a header and as
// many samples as its bytes give; it is decoded as a whole block filled with
// silence and the sound cut where it ends.
void SetUpAdpcmTail(WavState& s, const WaveFormat& pcm) {
  const WaveFormat& f = s.decode_src;
  const int64_t ch = f.nChannels, ba = f.nBlockAlign, spb = AcmSamplesPerBlock(f);
  if (spb <= 0 || ch <= 0 || s.data.cksize < ba ||
      (f.wFormatTag != WAVE_FORMAT_ADPCM &&
       !(f.wFormatTag == WAVE_FORMAT_IMA_ADPCM && f.wBitsPerSample == 4)))
    return;
  const int64_t whole = s.data.cksize / ba, rest = s.data.cksize % ba;
  int64_t tail = 0;
  if (f.wFormatTag == WAVE_FORMAT_ADPCM && rest >= 7 * ch)
    tail = (rest - 6 * ch) * 2 / ch;  // two samples in the header, two per byte
  else if (f.wFormatTag == WAVE_FORMAT_IMA_ADPCM && rest >= 4 * ch)
    tail = 1 + (rest - 4 * ch) / (4 * ch) * 8;  // one in the header, 8 per 4 bytes
  const int64_t total = whole * spb + tail;
  if (total > INT32_MAX || pcm.nSamplesPerSec != f.nSamplesPerSec) return;
  s.pad_tail = true;
  s.exact_total = total;
  s.dec.out_total = static_cast<int32_t>(total);
  if (tail > 0) s.dec.blocks_total = static_cast<int32_t>(whole + 1);
}

}  // namespace

void WAVOpen(WavState& s, const std::string& name) {
  Monitored("FF_WAV.WAVOpen", [&] {
    s.Reset();
    MonSetCleanup([&s] { s.Reset(); });  // a failed open leaves nothing open
    s.file = mmioOpenA(name.c_str(), nullptr, MMIO_READ | MMIO_ALLOCBUF);
    if (!s.file) ErrReportCode(kGrpWav, kWavOpen, 7);
    MMCKINFO riff{};
    if (mmioDescend(s.file, &riff, nullptr, 0) != MMSYSERR_NOERROR) WAVAbort_(s, 8);
    // The 64-bit forms keep their true sizes in a "ds64" chunk up front.
    const bool wide = riff.ckid == kRf64 || riff.ckid == kBw64;
    if (wide) {
      char type[4];
      if (mmioRead(s.file, type, 4) != 4) WAVAbort_(s, 39);
      std::memcpy(&riff.fccType, type, 4);
    }
    if ((riff.ckid != FOURCC_RIFF && !wide) || riff.fccType != kWave) WAVAbort_(s, 8);
    int64_t wide_data = -1;
    if (wide) {
      MMCKINFO ds{};
      uint8_t sizes[16];
      if (mmioDescend(s.file, &ds, nullptr, 0) != MMSYSERR_NOERROR || ds.ckid != kDs64 ||
          ds.cksize < 16 || mmioRead(s.file, reinterpret_cast<char*>(sizes), 16) != 16 ||
          mmioAscend(s.file, &ds, 0) != MMSYSERR_NOERROR)
        WAVAbort_(s, 40);
      uint64_t data_size;
      std::memcpy(&data_size, sizes + 8, 8);
      wide_data = static_cast<int64_t>(std::min<uint64_t>(data_size, INT64_MAX));
    }
    // Writers that stream leave the RIFF size wrong: search to the file's end.
    const LONG here = mmioSeek(s.file, 0, SEEK_CUR);
    const LONG file_end = mmioSeek(s.file, 0, SEEK_END);
    if (here < 0 || file_end < 0 || mmioSeek(s.file, here, SEEK_SET) != here) WAVAbort_(s, 9);
    MMCKINFO parent = riff;
    parent.cksize = static_cast<DWORD>(std::max<int64_t>(file_end - int64_t(riff.dwDataOffset), 0));

    MMCKINFO fmt{};
    fmt.ckid = kFmt;
    if (FindChunkAndKeepExtras_(s.file, fmt, &parent, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
      WAVAbort_(s, 10);
    if (fmt.cksize < 16 || fmt.cksize > uint32_t(kMaxFormatSize)) WAVAbort_(s, 11);
    s.in_format_size = static_cast<int32_t>(fmt.cksize);
    s.in_format.Alloc(std::max<int32_t>(s.in_format_size, 18), 12,
                      "FF_WAV.WAVOpen.wf.sl.InFormat", kMemNew);
    std::memset(s.in_format.get(), 0, size_t(s.in_format.size()));
    if (mmioRead(s.file, reinterpret_cast<char*>(s.in_format.get()), s.in_format_size) !=
            s.in_format_size ||
        mmioAscend(s.file, &fmt, 0) != MMSYSERR_NOERROR)
      WAVAbort_(s, 13);

    s.data = MMCKINFO{};
    s.data.ckid = kData;
    if (FindChunkAndKeepExtras_(s.file, s.data, &parent, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
      WAVAbort_(s, 14);
    // In the 64-bit forms a data chunk size of all ones defers to "ds64".
    if (wide && s.data.cksize == UINT32_MAX)
      s.data.cksize = static_cast<DWORD>(std::min<int64_t>(wide_data, UINT32_MAX));
    // A data size that runs past the end of the file ends with the file.
    const int64_t avail = std::max<int64_t>(int64_t(file_end) - s.data.dwDataOffset, 0);
    if (s.data.cksize > avail) s.data.cksize = static_cast<DWORD>(avail);

    WaveFormat stored = Header(s.in_format.get(), s.in_format_size);
    if (s.in_format_size < 18) stored.cbSize = 0;
    if (stored.nBlockAlign == 0) WAVAbort_(s, 15);
    s.src_align = stored.nBlockAlign;
    s.dec.blocks_total = static_cast<int32_t>(s.data.cksize / stored.nBlockAlign);
    s.dec.out_total = s.dec.blocks_total;
    if (stored.nAvgBytesPerSec == 0)
      stored.nAvgBytesPerSec = static_cast<DWORD>(
          std::min<uint64_t>(uint64_t(stored.nSamplesPerSec) * stored.nBlockAlign, UINT32_MAX));
    s.dec.src_format = &s.decode_src;
    s.dec.src_format_size = sizeof(WaveFormat);

    const uint16_t tag = EffectiveTag(s.in_format.get(), s.in_format_size);
    if (tag == kWaveFormatPcm || tag == kTagFloat) {
      uint32_t mask = 0;
      if (stored.wFormatTag == kTagExtensible && s.in_format_size >= 24)
        std::memcpy(&mask, s.in_format.get() + 20, 4);
      if (!SetUpPcm(s, stored, tag, mask)) return;  // not decodable: open without sound
    } else {
      // Compressed: the service's PCM form and its estimate of the length.
      s.decode_src = stored;
      s.decode_src.wFormatTag = tag;
      if (stored.wFormatTag == kTagExtensible) {
        s.decode_src.cbSize = 0;
      }
      // The decoder reads cbSize bytes behind the header: only those stored.
      const int32_t extra = std::clamp<int32_t>(s.decode_src.cbSize, 0, std::max(s.in_format_size - 18, 0));
      s.decode_src.cbSize = static_cast<uint16_t>(extra);
      s.decode_record.assign(sizeof(WaveFormat) + size_t(extra), 0);
      std::memcpy(s.decode_record.data(), &s.decode_src, sizeof(WaveFormat));
      if (extra > 0) std::memcpy(s.decode_record.data() + 18, s.in_format.get() + 18, size_t(extra));
      auto* record = reinterpret_cast<WaveFormat*>(s.decode_record.data());
      s.dec.src_format = record;
      s.dec.src_format_size = static_cast<int32_t>(s.decode_record.size());
      WaveFormat pcm{};
      pcm.wFormatTag = kWaveFormatPcm;
      if (tag == 0 || acmFormatSuggest(nullptr, record, &pcm, sizeof pcm,
                                       ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
        return;
      HACMSTREAM st = nullptr;
      MMRESULT r = acmStreamOpen(&st, nullptr, record, &pcm, nullptr, 0, 0,
                                 ACM_STREAMOPENF_NONREALTIME);
      if (r == ACMERR_NOTPOSSIBLE) return;  // no codec for it: open without sound
      if (r != MMSYSERR_NOERROR) ErrReportCode(kGrpAcm, static_cast<int32_t>(r), 16);
      DWORD pcm_bytes = 0;
      r = acmStreamSize(st, s.data.cksize, &pcm_bytes, ACM_STREAMSIZEF_SOURCE);
      const MMRESULT closed = acmStreamClose(st, 0);
      if (r != MMSYSERR_NOERROR) ErrReportCode(kGrpAcm, static_cast<int32_t>(r), 17);
      if (closed != MMSYSERR_NOERROR) ErrReportCode(kGrpAcm, static_cast<int32_t>(closed), 18);
      if (pcm.nBlockAlign == 0) return;
      s.dec.out_total = static_cast<int32_t>(std::min<uint64_t>(pcm_bytes / pcm.nBlockAlign,
                                                                INT32_MAX));
      s.dec.out_format = pcm;
      SetUpAdpcmTail(s, pcm);
    }
    s.dec.ratio = s.dec.blocks_total > 0 ? double(s.dec.out_total) / s.dec.blocks_total : 0.0;
    if (s.dec.ratio == 0) s.dec.ratio = 1.0;
    if (s.exact_total >= 0) s.dec.ratio = double(AcmSamplesPerBlock(s.decode_src));
    if (!SndCompleteFormat(s.dec.out_format)) return;
    s.needs_init = true;
    s.reading = true;
    if (mmioSeek(s.file, static_cast<LONG>(s.data.dwDataOffset), SEEK_SET) !=
        static_cast<LONG>(s.data.dwDataOffset))
      ErrReportCode(kGrpWav, kWavSeek, 19);
  });
}

void WAVSeek(WavState& s, int32_t sample) {
  Monitored("FF_WAV.WAVSeek", [&] {
    if (s.writing || !s.reading) return;
    if (sample < 0) sample = 0;
    const int32_t total = s.dec.blocks_total;
    const double b = sample / s.dec.ratio;
    int32_t block;
    if (b < total) {
      block = static_cast<int32_t>(b);
      s.dec.out_pos = sample;
    } else {
      // Beyond the end: the last source block.
      block = std::max(total - 1, 0);
      s.dec.out_pos = static_cast<int32_t>(block * s.dec.ratio);
    }
    // Codecs that carry state from block to block start a few blocks early
    // to settle; the output frames before the sample are dropped.
    const uint16_t tag = s.decode_src.wFormatTag;
    if (tag == WAVE_FORMAT_GSM610 || tag == WAVE_FORMAT_MPEG || tag == WAVE_FORMAT_MPEGLAYER3)
      block = std::max(block - kPreroll, 0);
    s.skip = std::max<int64_t>(s.dec.out_pos - static_cast<int64_t>(block * s.dec.ratio), 0);
    s.dec.blocks_read = block;
    s.read_pos = int64_t(block) * s.src_align;
    const int64_t at = int64_t(s.data.dwDataOffset) + s.read_pos;
    if (at > INT32_MAX || mmioSeek(s.file, static_cast<LONG>(at), SEEK_SET) != at)
      ErrReportCode(kGrpWav, kWavSeek, 20);
    s.dec.staging_fill = 0;
    s.dec.staging_pos = 0;
    s.dec.ended = 0;
    WaveConvertDone(s.conv);
    s.needs_init = true;
  });
}

void WAVLoad(WavState& s, SoundBuffer& snd, int32_t start, int32_t mode, int32_t count) {
  Monitored("FF_WAV.WAVLoad", [&] {
    if (!((mode & 1) && start == s.dec.out_pos)) WAVSeek(s, start);
    snd.sample_count = 0;
    if (s.writing || !s.reading) return;
    if (s.dec.ended && s.dec.staging_pos >= s.dec.staging_fill) return;
    if (s.needs_init) {
      WaveConvertInit(s.conv, s.dec.src_format, &s.dec.out_format);
      s.needs_init = false;
    }
    while (s.skip > 0) {
      SoundBuffer scrap{};
      struct Scrap {
        SoundBuffer& b;
        ~Scrap() { MemFree(b.data); }
      } guard{scrap};
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(s.skip, 65536));
      SndLoad(&s, s.conv, s.dec, WAVLoad_, n, scrap);
      s.skip -= n;
      if (scrap.sample_count < n) s.skip = 0;
    }
    if (s.exact_total >= 0 && s.dec.out_pos >= s.exact_total) return;
    SndLoad(&s, s.conv, s.dec, WAVLoad_, count, snd);
    // The silence a short last block was filled with is not sound.
    if (s.exact_total >= 0 && s.dec.out_pos + snd.sample_count > s.exact_total)
      snd.sample_count = static_cast<int32_t>(std::max<int64_t>(s.exact_total - s.dec.out_pos, 0));
    s.dec.out_pos += snd.sample_count;
  });
}

void WAVCreate(WavState& s, const std::string& name) {
  Monitored("FF_WAV.WAVCreate", [&] {
    s.Reset();
    FDelete(name);
    s.file = mmioOpenA(name.c_str(), nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
    if (!s.file) ErrReportCode(kGrpWav, kWavCreate, 21);
    s.writing = true;
  });
}

void WAVSave(WavState& s, SoundBuffer& snd) {
  Monitored("FF_WAV.WAVSave", [&] {
    if (!s.writing || !s.file) return;
    WaveFormat format = snd.format;
    if (!SndCompleteFormat(format)) ErrReportCode(kGrpAudio, kAudInvalidFormat, 22);
    if (!s.format_written) {
      s.out_format = format;
      s.out_format.cbSize = 0;
      s.data_bytes = 0;
      if (mmioSeek(s.file, kDataStart, SEEK_SET) != kDataStart)
        ErrReportCode(kGrpWav, kWavSeek, 23);
      s.format_written = true;
    }
    // Sound in another format is converted: its bytes as they are would
    // turn into noise under the header's format.
    SoundBuffer converted{};
    SndGuard guard(converted);
    const SoundBuffer* from = &snd;
    if (SndFormatsDiffer(format, s.out_format)) {
      SndConvert(snd, converted, s.out_format);
      from = &converted;
    }
    const int64_t align = s.out_format.nBlockAlign;
    int64_t count = std::max(from->sample_count, 0);
    if (!from->data) count = 0;
    if (count > 0 && from->capacity >= 0) count = std::min<int64_t>(count, from->capacity / align);
    if (count > 0 && MemTracked(from->data))
      count = std::min<int64_t>(count, MemSize(from->data) / align);
    const int64_t bytes = count * align;
    if (bytes == 0) return;
    if (s.data_bytes + bytes > kMaxDataBytes) ErrReportCode(kGrpWav, kWavWrite, 24);
    if (mmioWrite(s.file, reinterpret_cast<const char*>(from->data), static_cast<LONG>(bytes)) !=
        bytes)
      ErrReportCode(kGrpWav, kWavWrite, 25);
    s.written += static_cast<int32_t>(count);
    s.data_bytes += bytes;
  });
}

void WAVClose(WavState& s) {
  Monitored("FF_WAV.WAVClose", [&] {
    if (!s.file) return;
    if (s.writing) {
      auto check = [](MMRESULT r, int32_t site) {
        if (r != MMSYSERR_NOERROR) ErrReportCode(kGrpWinMM, static_cast<int32_t>(r), site);
      };
      if (mmioSeek(s.file, 0, SEEK_SET) != 0) ErrReportCode(kGrpWav, kWavSeek, 26);
      MMCKINFO riff{};
      riff.fccType = kWave;
      check(mmioCreateChunk(s.file, &riff, MMIO_CREATERIFF), 27);
      MMCKINFO fmt{};
      fmt.ckid = kFmt;
      fmt.cksize = sizeof(WaveFormat);
      check(mmioCreateChunk(s.file, &fmt, 0), 28);
      if (mmioWrite(s.file, reinterpret_cast<const char*>(&s.out_format), sizeof(WaveFormat)) !=
          LONG(sizeof(WaveFormat)))
        ErrReportCode(kGrpWav, kWavWrite, 29);
      check(mmioAscend(s.file, &fmt, 0), 30);
      MMCKINFO data{};
      data.ckid = kData;
      data.cksize = static_cast<DWORD>(s.data_bytes);
      check(mmioCreateChunk(s.file, &data, 0), 31);
      if (mmioSeek(s.file, static_cast<LONG>(s.data_bytes), SEEK_CUR) < 0)
        check(MMIOERR_CANNOTSEEK, 32);
      check(mmioAscend(s.file, &data, 0), 33);
      check(mmioAscend(s.file, &riff, 0), 34);
      check(mmioFlush(s.file, 0), 35);
    } else if (s.conv.stream) {
      WaveConvertDone(s.conv);
    }
    const MMRESULT r = mmioClose(s.file, 0);
    s.file = nullptr;
    s.Reset();
    if (r != MMSYSERR_NOERROR) ErrReportCode(kGrpWinMM, static_cast<int32_t>(r), 36);
  });
}

std::string WavAudioName(const uint8_t* format, int32_t size) {
  const WaveFormat wf = Header(format, size);
  std::string name = "(#" + std::to_string(wf.wFormatTag) + ") ";
  const uint16_t tag = EffectiveTag(format, size);
  if (tag == kWaveFormatPcm) return name + "PCM, uncompressed";
  if (tag == kTagFloat) return name + "IEEE float, uncompressed";
  ACMFORMATTAGDETAILS d{};
  d.cbStruct = sizeof d;
  d.dwFormatTag = tag;
  if (tag != 0 && acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG) ==
                      MMSYSERR_NOERROR)
    return name + d.szFormatTag;
  return name + "Unknown codec";
}

void WAVInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_WAV.WAVInfo", [&] {
    std::error_code ec;
    const auto size = std::filesystem::file_size(name, ec);
    info.size = ec ? 0 : static_cast<int64_t>(size);
    WavState s;
    WAVOpen(s, name);
    const WaveFormat stored = Header(s.in_format.get(), s.in_format_size);
    std::memcpy(&info.sndFormat, &stored, sizeof stored);
    std::memcpy(&info.sndFormatOut, &s.dec.out_format, sizeof s.dec.out_format);
    info.soundValid = s.dec.blocks_total > 0 ? -1 : 0;
    info.samples = s.dec.out_total;
    SetText(info.sndFormatName, WavAudioName(s.in_format.get(), s.in_format_size).c_str());
    info.soundSupported = s.reading ? -1 : 0;
    WAVClose(s);
  });
}

namespace {

MovieView WavView(const void* p) {
  const WavState& s = *static_cast<const WavState*>(p);
  MovieView v{};
  v.samples_done = s.writing ? s.written : s.dec.out_pos;
  v.writing = s.writing;
  v.has_sound = s.reading || s.writing;
  v.sound = s.writing ? s.out_format : s.dec.out_format;
  return v;
}

constexpr MovieOps kWavOps =
    SoundOnlyOps<WavState, WAVOpen, WAVLoad, WAVCreate, WAVSave, WAVClose, WavView>("WAV");

constexpr FormatRow kRead[] = {
    {10, {kFmtWAV, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"}},
};
constexpr FormatRow kWrite[] = {
    {9, {kFmtWAV, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"}},
};
}  // namespace

extern const FormatDescriptor kWavFormat{
    .id = kFmtWAV,
    .tag = "WAV",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsNone,
    .kind = FormatKindRule::kMovie,
    .delta_frames = false,
    .save = {},
    .info = WAVInfo,
    .movie = &kWavOps,
};

}  // namespace vek
