// HAV movies, the library's own lossless format: reading, writing, random
// access by frame and by sound sample, file information, and the format's
// descriptor.
#include "formats/movie/hav.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "formats/format_descriptor.h"
#include "formats/movie/hav_codec.h"
#include "formats/save_option_fields.h"
#include "foundation/errors.h"
#include "foundation/byte_fields.h"

namespace vek {

namespace {

// ---------------------------------------------------------------- settings

struct HavSettings {
  int32_t codec = kHavFast;
  int32_t key_interval = 25;
};
HavSettings g_hav;

// ---------------------------------------------------------------- bytes

inline int32_t RdI32(const uint8_t* p) { return static_cast<int32_t>(Get32(p)); }
inline void Wr4(uint8_t* p, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  Put32(p, a);
  Put32(p + 4, b);
  Put32(p + 8, c);
  Put32(p + 12, d);
}

constexpr uint8_t kMagic[4] = {'H', 'A', 'V', 0x1A};
constexpr uint32_t kTypeFrame = 1, kTypePalette = 2, kTypeSound = 3, kTypeImage = 4,
                   kTypeStrip = 5;
constexpr int32_t kChunkHeader = 16;
constexpr int32_t kStripRecord = 20;
constexpr int32_t kPaletteChunk = kChunkHeader + 768;
constexpr int32_t kReadSlack = 8192;
// Largest picture a file may describe; keeps every product in range.
constexpr int64_t kMaxImageBytes = int64_t{1} << 30;
// Offsets in the file are 32-bit.
constexpr int64_t kMaxFileBytes = int64_t{0xFFFFFFFF};

void EncodeHeader(const HavHeader& h, uint8_t* b) {
  std::memset(b, 0, kHavHeaderSize);
  std::memcpy(b, kMagic, 4);
  Put32(b + 4, kHavHeaderSize);
  Put32(b + 8, kHavVersion);
  Put32(b + 12, static_cast<uint32_t>(h.width));
  Put32(b + 16, static_cast<uint32_t>(h.height));
  Put32(b + 20, static_cast<uint32_t>(h.bytespp));
  Put32(b + 24, static_cast<uint32_t>(h.codec));
  Put32(b + 28, static_cast<uint32_t>(h.frames));
  Put32(b + 32, static_cast<uint32_t>(h.key_interval));
  std::memcpy(b + 36, &h.fps, 8);
  Put32(b + 44, static_cast<uint32_t>(h.sound_flags));
  Put32(b + 48, static_cast<uint32_t>(h.sound_rate));
  Put32(b + 52, h.sound_first);
  Put32(b + 56, static_cast<uint32_t>(h.small_image));
  Put32(b + 60, static_cast<uint32_t>(h.sound_total));
}

// Fields from offset 8 on, as read after the magic and header size.
void DecodeHeader(const uint8_t* b, HavHeader& h, int32_t& version) {
  version = RdI32(b + 8);
  h.width = RdI32(b + 12);
  h.height = RdI32(b + 16);
  h.bytespp = RdI32(b + 20);
  h.codec = RdI32(b + 24);
  h.frames = RdI32(b + 28);
  h.key_interval = RdI32(b + 32);
  std::memcpy(&h.fps, b + 36, 8);
  h.sound_flags = RdI32(b + 44);
  h.sound_rate = RdI32(b + 48);
  h.sound_first = Get32(b + 52);
  h.small_image = RdI32(b + 56);
  h.sound_total = RdI32(b + 60);
}

[[noreturn]] void Broken(int32_t site) { ErrRaise(kGrpMovie, kMviDecompress, site); }
[[noreturn]] void Invalid(int32_t site) { ErrRaise(kGrpMovie, kMviInvalidFormat, site); }
[[noreturn]] void CannotWrite(int32_t site) { ErrRaise(kGrpMovie, kMviWrite, site); }

// ---------------------------------------------------------------- index

void ReadIndexBlock(HavState& s, int32_t block, int32_t site) {
  const uint32_t off = s.table[block];
  if (off == 0) {
    std::memset(s.index, 0, sizeof s.index);
  } else {
    if (off < kHavTableOffset || int64_t{off} + kHavIndexBytes > s.file_size) Broken(site);
    uint8_t b[kHavIndexBytes];
    s.file.Seek(off);
    s.file.Read(b, kHavIndexBytes);
    for (int i = 0; i < 256; ++i)
      s.index[i] = HavIndexEntry{Get32(b + 12 * i), Get32(b + 12 * i + 4), Get32(b + 12 * i + 8)};
  }
  s.index_no = block;
  s.index_dirty = false;
}

void WriteIndexBlock(HavState& s) {
  if (s.index_no < 0 || s.table[s.index_no] == 0) return;
  uint8_t b[kHavIndexBytes];
  for (int i = 0; i < 256; ++i) {
    Put32(b + 12 * i, s.index[i].offset);
    Put32(b + 12 * i + 4, s.index[i].first_read);
    Put32(b + 12 * i + 8, s.index[i].flags);
  }
  s.file.Seek(s.table[s.index_no]);
  s.file.Write(b, kHavIndexBytes);
  s.index_dirty = false;
}

// Reading: the index block of frame `pos` (0-based) is the loaded one.
void NeedIndex(HavState& s, int32_t pos) {
  const int32_t block = pos / 256;
  if (block != s.index_no) ReadIndexBlock(s, block, 10);
}

// ---------------------------------------------------------------- palettes

// Copies `count` colours red-green-blue from `rgb` into a blue-green-red
// palette from index `first`, as far as the palette reaches.
void CopyPalette(uint8_t* bgr, const uint8_t* rgb, uint32_t first, uint32_t count) {
  if (first >= 256) return;
  const uint32_t n = std::min<uint32_t>(count, 256 - first);
  for (uint32_t i = 0; i < n; ++i) {
    bgr[3 * (first + i)] = rgb[3 * i + 2];
    bgr[3 * (first + i) + 1] = rgb[3 * i + 1];
    bgr[3 * (first + i) + 2] = rgb[3 * i];
  }
}

// ---------------------------------------------------------------- sound

void SoundFormatOf(const HavHeader& h, WaveFormat& f) {
  SndMakeFormat(f, h.sound_rate, (h.sound_flags & 4) ? 2 : 1, (h.sound_flags & 3) == 3 ? 16 : 8);
}

struct SoundBlock {
  uint32_t next;
  int64_t frames;
  int64_t data;  // offset of the samples
};

// Reads and checks the header of the sound block at `off`. Blocks are
// chained forwards only, so a chain that loops or points backwards is broken.
SoundBlock ReadSoundHeader(HavState& s, uint32_t off) {
  const int64_t align = s.snd_format.nBlockAlign;
  if (off < kHavTableOffset || int64_t{off} + kChunkHeader > s.file_size) Invalid(30);
  uint8_t b[kChunkHeader];
  s.file.Seek(off);
  s.file.Read(b, kChunkHeader);
  const uint32_t type = Get32(b), hs = Get32(b + 4), next = Get32(b + 8);
  const int64_t frames = RdI32(b + 12);
  if (type != kTypeSound || hs < kChunkHeader || int64_t{off} + hs > s.file_size || frames < 0 ||
      frames * align > s.file_size - off - hs)
    Invalid(31);
  if (next != 0 && (next <= off || int64_t{next} + kChunkHeader > s.file_size)) Invalid(32);
  return SoundBlock{next, frames, int64_t{off} + hs};
}

// Loads the samples of the block at `off` into the block buffer.
void LoadSoundBlock(HavState& s, uint32_t off, const char* label, int32_t site,
                    int64_t& frames_out) {
  const SoundBlock blk = ReadSoundHeader(s, off);
  const int64_t bytes = blk.frames * s.snd_format.nBlockAlign;
  if (bytes > s.snd_block.size()) s.snd_block.Alloc(bytes, site, label, kMemNew);
  if (bytes > 0) {
    s.file.Seek(blk.data);
    s.file.Read(s.snd_block.get(), bytes);
  }
  s.snd_block_bytes = bytes;
  s.snd_read = 0;
  s.snd_next = blk.next;
  frames_out = blk.frames;
}

// Writing: the header, block table and first index block, once.
void WriteLayout(HavState& s) {
  if (s.layout_written) return;
  uint8_t b[kHavHeaderSize];
  EncodeHeader(s.hdr, b);
  s.file.Seek(0);
  s.file.Write(b, kHavHeaderSize);
  uint8_t zero[kHavIndexBytes] = {};
  s.file.Write(zero, kHavTableBytes);
  s.table[0] = static_cast<uint32_t>(s.file.Pos());
  s.file.Write(zero, kHavIndexBytes);
  std::memset(s.index, 0, sizeof s.index);
  s.index_no = 0;
  s.layout_written = true;
}

// Writing: the end of the file, which must stay within 32-bit offsets.
uint32_t EndOffset(HavState& s, int64_t adding) {
  const int64_t end = s.file.Size();
  if (end + adding > kMaxFileBytes) CannotWrite(40);
  s.file.Seek(end);
  return static_cast<uint32_t>(end);
}

// ---------------------------------------------------------------- frames

void PrepareImage(HavState& s, QImg& img) {
  const int32_t bits = s.hdr.bytespp * 8;
  if (ImgValid(&img) && img.pixels && img.width == s.hdr.width && img.height == s.hdr.height &&
      img.bits == bits && img.size == s.img_bytes)
    return;  // delta frames decode onto the previous frame
  ImgAlloc(&img, s.hdr.width, s.hdr.height, bits, 20, "FF_HAV.HAVImgLoadNext.img");
  std::memset(img.pixels, 0, static_cast<size_t>(img.size));
}

struct StripRec {
  int64_t stored;
  int64_t rows;
  uint32_t flag;
  int64_t rel;  // offset of its data within the frame record
};

void DecodeStrip(HavState& s, QImg& img, const StripRec& st, int64_t row0, const uint8_t* data) {
  const int64_t rb = int64_t{s.hdr.width} * s.hdr.bytespp;
  const int64_t off = row0 * rb;
  const int64_t n = st.rows * rb;
  if (st.rows == 0) return;
  if (st.flag == 0) {
    if (st.stored != n) Broken(21);
    std::memcpy(img.pixels + off, data, static_cast<size_t>(n));
    // Keep the prediction buffer in step for the delta frames that follow.
    if (s.predict) HavPredict(n / 3, s.pred.get() + off, img.pixels + off);
    return;
  }
  if (st.flag != 1) Broken(22);
  uint8_t* target = (s.predict ? s.pred.get() : img.pixels) + off;
  const bool fast = (s.hdr.codec & kHavCodecFastBit) != 0;
  const bool ok = fast ? HavDecodeFast(data, st.stored, target, s.hdr.width, s.hdr.bytespp,
                                       static_cast<int32_t>(st.rows))
                       : HavDecodeBest(data, st.stored, target, s.hdr.width, s.hdr.bytespp,
                                       static_cast<int32_t>(st.rows));
  if (!ok) Broken(23);
  if (s.predict) HavUnpredict(n / 3, img.pixels + off, target);
}

void LoadNextBody(HavState& s, QImg& img) {
  if (s.position >= s.hdr.frames) ErrReportCode(kGrpHav, kHavEnd, 1);
  PrepareImage(s, img);
  NeedIndex(s, s.position);
  const HavIndexEntry e = s.index[s.position % 256];
  const int64_t buf_size = s.img_bytes + kReadSlack;
  const int64_t frs = e.first_read;
  if (e.offset < kHavTableOffset || frs < kChunkHeader || frs > buf_size ||
      int64_t{e.offset} + frs > s.file_size)
    Broken(2);
  // The read buffer grows to what a frame needs (never beyond image bytes +
  // 8192) and is kept for the next frame.
  auto room = [&](int64_t bytes) {
    if (s.dskbuf.size() < bytes) s.dskbuf.Alloc(bytes, 3, "FF_HAV.HAVImgLoadNext.dskbuf", kMemNew);
    return s.dskbuf.get();
  };
  uint8_t* buf = room(frs);
  s.file.Seek(e.offset);
  s.file.Read(buf, frs);

  // Frame header.
  const uint32_t fhs = Get32(buf + 4);
  const uint32_t chunks = Get32(buf + 8);
  const int64_t total = Get32(buf + 12);
  if (Get32(buf) != kTypeFrame || fhs < kChunkHeader || fhs > frs || total < frs ||
      total > s.file_size - e.offset)
    Broken(4);

  s.pal_met = false;
  bool image_seen = false;
  int64_t o = fhs;
  for (uint32_t c = 0; c < chunks && !image_seen; ++c) {
    if (o + kChunkHeader > frs) Broken(5);
    const uint32_t type = Get32(buf + o);
    const int64_t hs = Get32(buf + o + 4);
    if (hs < kChunkHeader || hs > frs - o) Broken(6);
    if (type == kTypePalette) {
      const int64_t count = Get32(buf + o + 8);
      const uint32_t first = Get32(buf + o + 12);
      if (count > 256 || count * 3 > frs - o - hs) Broken(7);
      if (s.hdr.bytespp == 1) {
        CopyPalette(img.palette, buf + o + hs, first, static_cast<uint32_t>(count));
        s.pal_met = true;
      }
      o += hs + count * 3;
    } else if (type == kTypeImage) {
      image_seen = true;
      const uint32_t strips = Get32(buf + o + 8);
      const uint32_t in_first = Get32(buf + o + 12);
      if (strips < 1 || strips > static_cast<uint32_t>(kHavMaxStrips) || in_first > strips)
        Broken(8);
      StripRec rec[kHavMaxStrips];
      int64_t r = o + hs;
      int64_t rows_total = 0;
      for (uint32_t i = 0; i < strips; ++i) {
        if (r + kStripRecord > frs) Broken(9);
        const int64_t rs = Get32(buf + r + 4);
        rec[i].stored = Get32(buf + r + 8);
        rec[i].rows = Get32(buf + r + 12);
        rec[i].flag = Get32(buf + r + 16);
        if (Get32(buf + r) != kTypeStrip || rs < kStripRecord || rs > frs - r) Broken(10);
        rows_total += rec[i].rows;
        if (rows_total > s.hdr.height) Broken(11);
        r += rs;
      }
      if (rows_total != s.hdr.height) Broken(12);
      int64_t rel = r;
      for (uint32_t i = 0; i < strips; ++i) {
        rec[i].rel = rel;
        if (rec[i].stored > buf_size || rec[i].stored > total - rel) Broken(13);
        rel += rec[i].stored;
      }
      // What the buffer holds: bytes [held_from, held_to) of the record.
      int64_t held_from = 0, held_to = frs;
      int64_t row0 = 0;
      for (uint32_t i = 0; i < strips; ++i) {
        const StripRec& st = rec[i];
        if (st.rel < held_from || st.rel + st.stored > held_to) {
          // Fetch this strip and the ones after it that fit, in one read.
          int64_t end = st.rel + st.stored;
          for (uint32_t j = i + 1; j < strips && rec[j].rel + rec[j].stored - st.rel <= s.img_bytes;
               ++j)
            end = rec[j].rel + rec[j].stored;
          buf = room(end - st.rel);
          s.file.Seek(e.offset + st.rel);
          s.file.Read(buf, end - st.rel);
          held_from = st.rel;
          held_to = end;
        }
        DecodeStrip(s, img, st, row0, buf + (st.rel - held_from));
        row0 += st.rows;
      }
    } else {
      o += hs;
    }
  }
  if (!image_seen) Broken(14);
  ++s.position;
  s.new_picture = true;
}

}  // namespace

// ---------------------------------------------------------------- state

HavState::~HavState() {
  if (snd_temp.data) SndFree(snd_temp);
}

// ---------------------------------------------------------------- settings

int32_t HAVSetCodec(int32_t codec) {
  if (codec == kHavBest || codec == kHavFast) g_hav.codec = codec;
  return g_hav.codec;
}

int32_t HAVSetKeyFrameRate(int32_t interval) {
  if (interval != kUndefined) g_hav.key_interval = std::max(interval, 0);
  return g_hav.key_interval;
}

const char* HavCompressionName(int32_t codec) {
  switch (codec) {
    case kHavBest: return "BEST";
    case kHavFast: return "FAST";
    case kHavBestP: return "BEST-P";
    default: return "N/A";
  }
}

// ---------------------------------------------------------------- reading

void HAVOpen(HavState& s, const std::string& name) {
  Monitored("FF_HAV.HAVOpen", [&] {
    s.file.Close();
    s.hdr = HavHeader{};
    s.position = 0;
    s.index_no = -1;
    s.writing = false;
    s.file.Open(name, kFmRead);
    s.file_size = s.file.Size();
    uint8_t b[kHavHeaderSize] = {};
    if (s.file_size < 8) Invalid(1);
    s.file.Read(b, 8);
    if (std::memcmp(b, kMagic, 4) != 0) Invalid(2);
    const int64_t hs = Get32(b + 4);
    if (hs < kHavHeaderSize || hs + kHavTableBytes > s.file_size) Invalid(3);
    s.file.Read(b + 8, kHavHeaderSize - 8);
    int32_t version = 0;
    DecodeHeader(b, s.hdr, version);
    if (version != kHavVersion) ErrReportCode(kGrpMovie, kMviNotSupported, 4);
    HavHeader& h = s.hdr;
    if (h.frames < 0 || h.frames > kHavMaxFrames || h.key_interval < 0) Invalid(5);
    if (h.frames > 0) {
      if (h.width < 1 || h.height < 1 || h.bytespp < 1 || h.bytespp > 3) Invalid(6);
      s.img_bytes = int64_t{h.width} * h.height * h.bytespp;
      if (s.img_bytes > kMaxImageBytes) Invalid(7);
    } else {
      // No pictures: whatever the picture fields say means nothing.
      h.width = h.height = h.bytespp = 0;
      s.img_bytes = 0;
    }
    s.predict = (h.codec & kHavCodecPredictBit) != 0;
    s.has_sound = h.sound_flags != 0;
    if (s.has_sound) {
      const int32_t width_bits = h.sound_flags & 3;
      if ((width_bits != 1 && width_bits != 3) || (h.sound_flags & ~7) != 0 || h.sound_rate < 1 ||
          h.sound_rate > 1000000 || h.sound_total < 0)
        Invalid(8);
      SoundFormatOf(h, s.snd_format);
      s.snd_next = h.sound_first;
    }
    s.file.Seek(hs);
    uint8_t t[kHavTableBytes];
    s.file.Read(t, kHavTableBytes);
    for (int i = 0; i < 256; ++i) s.table[i] = Get32(t + 4 * i);
    if (h.frames > 0) {
      if (s.table[0] < kHavTableOffset || int64_t{s.table[0]} + kHavIndexBytes > s.file_size) Invalid(9);
      ReadIndexBlock(s, 0, 10);
    }
  });
}

int32_t HAVNearestKeyFrame(const HavState& s, int32_t frame, int32_t) {
  const int32_t k = s.hdr.key_interval;
  if (k <= 0) return 1;
  const int32_t m = std::clamp(frame - 1, 1, std::max(s.hdr.frames, 1));
  return ((m - 1) / k) * k + 1;
}

void HAVImgLoadNext(HavState& s, QImg& image) {
  Monitored("FF_HAV.HAVImgLoadNext", [&] {
    if (s.predict) {
      if (s.hdr.bytespp != 3) Broken(15);
      if (!s.pred) {
        s.pred.Alloc(s.img_bytes, 16, "FF_HAV.HAVImgLoadNext.PredictImg", kMemNew);
        std::memset(s.pred.get(), 0, static_cast<size_t>(s.img_bytes));
      }
    }
    LoadNextBody(s, image);
  });
}

bool HAVGetPal(HavState& s, uint8_t* palette, int32_t first, int32_t last) {
  return Monitored("FF_HAV.HAVGetPal", [&] {
    if (last < first || s.hdr.frames < 1) return false;
    first = std::clamp(first, 1, s.hdr.frames);
    last = std::clamp(last, 1, s.hdr.frames);
    bool found = false;
    for (int32_t f = last; f >= first && !found; --f) {
      NeedIndex(s, f - 1);
      const HavIndexEntry e = s.index[(f - 1) % 256];
      if (!(e.flags & 1)) continue;
      const int64_t bytes = std::min<int64_t>(e.first_read, 1536);
      if (e.offset < kHavTableOffset || bytes < 2 * kChunkHeader ||
          int64_t{e.offset} + bytes > s.file_size)
        Broken(17);
      uint8_t b[1536];
      s.file.Seek(e.offset);
      s.file.Read(b, bytes);
      const int64_t fhs = Get32(b + 4);
      if (fhs < kChunkHeader || fhs + kChunkHeader > bytes) continue;
      const uint8_t* c = b + fhs;
      const int64_t hs = Get32(c + 4);
      const int64_t count = Get32(c + 8);
      if (Get32(c) != kTypePalette || hs < kChunkHeader || count > 256 ||
          fhs + hs + count * 3 > bytes)
        continue;
      CopyPalette(palette, c + hs, Get32(c + 12), static_cast<uint32_t>(count));
      s.pal_met = true;
      found = true;
    }
    if (s.position < s.hdr.frames) NeedIndex(s, s.position);
    return found;
  });
}

void HAVUpdateVP_(HavState& s, int32_t frame) {
  Monitored("FF_HAV.HAVUpdateVP_", [&] {
    if (s.hdr.frames < 1) return;
    NeedIndex(s, std::clamp(frame, 1, s.hdr.frames) - 1);
  });
}

void HAVImgLoad(HavState& s, QImg& image, int32_t n, bool continue_) {
  Monitored("FF_HAV.HAVImgLoad", [&] {
    s.new_picture = false;
    if (n < 0 || n > s.hdr.frames) Invalid(11);
    if (n == 0 || n == s.position + 1) {
      HAVImgLoadNext(s, image);
      return;
    }
    if (continue_ && n == s.position) return;  // the image already holds frame n
    const int32_t key = HAVNearestKeyFrame(s, n + 1, -1);
    if (!(continue_ && s.position < n && s.position > key - 1)) s.position = key - 1;
    bool met = false;
    while (s.position < n) {
      HAVImgLoadNext(s, image);
      met = met || s.pal_met;
    }
    if (s.hdr.bytespp == 1 && !continue_ && !met) HAVGetPal(s, image.palette, 1, n);
    s.pal_met = met;
  });
}

void HAVSndSeek(HavState& s, int32_t sample) {
  Monitored("FF_HAV.HAVSndSeek", [&] {
    if (!s.has_sound || sample < 0) return;
    // Beyond the end: nothing more to deliver.
    s.snd_block_bytes = 0;
    s.snd_read = 0;
    s.snd_next = 0;
    s.snd_pos = sample;
    if (sample > s.hdr.sound_total) return;
    int64_t running = 0;
    uint32_t off = s.hdr.sound_first;
    while (off != 0) {
      const SoundBlock blk = ReadSoundHeader(s, off);
      if (running + blk.frames >= sample) {
        int64_t frames = 0;
        LoadSoundBlock(s, off, "FF_HAV.HAVSndSeek.hf.AudioBuf", 1, frames);
        s.snd_read = (sample - running) * s.snd_format.nBlockAlign;
        return;
      }
      running += blk.frames;
      off = blk.next;
    }
  });
}

void HAVSndLoad(HavState& s, SoundBuffer& snd, int32_t first, bool continue_, int32_t count) {
  Monitored("FF_HAV.HAVSndLoad", [&] {
    if (!(continue_ && first == s.snd_after_load)) HAVSndSeek(s, first);
    snd.sample_count = 0;
    if (!s.has_sound || count <= 0) return;
    if (s.snd_read >= s.snd_block_bytes && s.snd_next == 0) return;
    const int64_t align = s.snd_format.nBlockAlign;
    // Never more than the file can hold.
    const int64_t want = std::min<int64_t>(count, s.file_size / align);
    _sndalloc_(snd, want * align, 1, "FF_HAV.HAVSndLoad.sh");
    snd.format = s.snd_format;
    int64_t done = 0;
    const int64_t bytes = want * align;
    while (done < bytes) {
      if (s.snd_read >= s.snd_block_bytes) {
        if (s.snd_next == 0) break;
        int64_t frames = 0;
        LoadSoundBlock(s, s.snd_next, "FF_HAV.HAVSndLoad.hf.AudioBuf", 2, frames);
        continue;
      }
      const int64_t take = std::min(bytes - done, s.snd_block_bytes - s.snd_read);
      std::memcpy(snd.data + done, s.snd_block.get() + s.snd_read, static_cast<size_t>(take));
      done += take;
      s.snd_read += take;
    }
    snd.sample_count = static_cast<int32_t>(done / align);
    s.snd_pos += snd.sample_count;
    s.snd_after_load = static_cast<int32_t>(std::min<int64_t>(s.snd_pos, INT32_MAX));
  });
}

// ---------------------------------------------------------------- writing

void HAVCreate(HavState& s, const std::string& name, double fps) {
  Monitored("FF_HAV.HAVCreate", [&] {
    s.file.Close();
    s.hdr = HavHeader{};
    s.position = 0;
    if (FExists(name)) FDelete(name);
    s.file.Open(name, kFmCreate);
    s.hdr.key_interval = g_hav.key_interval;
    s.hdr.fps = fps;
    s.writing = true;
  });
}

void HAVImgSave(HavState& s, QImg& img) {
  Monitored("FF_HAV.HAVImgSave", [&] {
    if (!s.writing || !s.file.is_open()) CannotWrite(1);
    const int32_t bpp = img.bytespp;
    if (!ImgValid(&img) || !img.pixels || img.width < 1 || img.height < 1 || bpp < 1 || bpp > 3 ||
        int64_t{img.width} * img.height * bpp != img.size)
      CannotWrite(2);
    HavHeader& h = s.hdr;
    if (!s.frames_started) {
      h.width = img.width;
      h.height = img.height;
      h.bytespp = bpp;
      h.codec = g_hav.codec + (bpp == 3 && g_hav.codec == kHavBest ? kHavCodecPredictBit : 0);
      s.predict = (h.codec & kHavCodecPredictBit) != 0;
      s.img_bytes = int64_t{img.width} * img.height * bpp;
      if (s.img_bytes > kMaxImageBytes) CannotWrite(3);
      h.small_image = s.img_bytes <= kHavSmallLimit ? 1 : 0;
      WriteLayout(s);
      s.frames_started = true;
    } else if (img.width != h.width || img.height != h.height || bpp != h.bytespp) {
      CannotWrite(4);  // every frame has the size of the first
    }
    if (s.position >= kHavMaxFrames) CannotWrite(5);

    // Index block of this frame.
    const int32_t block = s.position / 256;
    if (block != s.index_no) {
      WriteIndexBlock(s);
      if (s.table[block] != 0) {
        s.file_size = s.file.Size();
        ReadIndexBlock(s, block, 6);
      } else {
        uint8_t zero[kHavIndexBytes] = {};
        s.table[block] = EndOffset(s, kHavIndexBytes);
        s.file.Write(zero, kHavIndexBytes);
        std::memset(s.index, 0, sizeof s.index);
        s.index_no = block;
      }
    }
    const int64_t rb = int64_t{h.width} * bpp;
    const int64_t rows_per_strip =
        h.small_image ? std::max<int64_t>(kHavSmallLimit / rb, 1) : h.height;
    const int64_t strips = (h.height + rows_per_strip - 1) / rows_per_strip;
    const int64_t read_limit = h.small_image ? kHavSmallLimit : s.img_bytes + kReadSlack;
    if (strips > kHavMaxStrips) CannotWrite(7);

    // Start of the record: frame header, palette chunk when it changed.
    uint8_t head[kChunkHeader + kPaletteChunk];
    int64_t head_bytes = kChunkHeader;
    uint32_t chunks = 1;
    HavIndexEntry& entry = s.index[s.position % 256];
    entry = HavIndexEntry{0, 0, 0};
    if (bpp == 1) {
      uint8_t rgb[768];
      for (int i = 0; i < 256; ++i) {
        rgb[3 * i] = img.palette[3 * i + 2];
        rgb[3 * i + 1] = img.palette[3 * i + 1];
        rgb[3 * i + 2] = img.palette[3 * i];
      }
      if (s.position == 0 || std::memcmp(rgb, s.last_pal, 768) != 0) {
        Wr4(head + kChunkHeader, kTypePalette, kChunkHeader, 256, 0);
        std::memcpy(head + 2 * kChunkHeader, rgb, 768);
        std::memcpy(s.last_pal, rgb, 768);
        head_bytes += kPaletteChunk;
        entry.flags |= 1;
        chunks = 2;
      }
    }
    const int64_t records = kChunkHeader + kStripRecord * strips;
    const uint32_t rec_off = EndOffset(s, head_bytes + records + s.img_bytes);
    entry.offset = rec_off;
    std::memset(head, 0, kChunkHeader);
    s.file.Write(head, head_bytes);
    uint8_t rec[kChunkHeader + kStripRecord * kHavMaxStrips] = {};
    s.file.Write(rec, records);

    if (h.key_interval != 1 && !s.prev) {
      s.prev.Alloc(s.img_bytes, 8, "FF_HAV.HAVImgSave.PrevImg", kMemNew);
      std::memset(s.prev.get(), 0, static_cast<size_t>(s.img_bytes));
    }
    const int64_t cap = s.img_bytes + kReadSlack;
    if (s.cmps.size() < cap) s.cmps.Alloc(cap, 9, "FF_HAV.HAVImgSave.cmps", kMemNew);

    // Prediction pays only when it shrinks the top half of the first frame.
    if (s.predict && s.position == 0) {
      const int32_t half_rows = h.height / 2 > 0 ? h.height / 2 : h.height;
      const int64_t half = rb * half_rows;
      Tracked<uint8_t> tmp(half, 10, "FF_HAV.HAVImgSave.PredictImg");
      int64_t plain = HVDCBest(img.pixels, s.cmps.get(), cap, nullptr, false, bpp, half_rows, h.width);
      HavPredict(half / 3, tmp.get(), img.pixels);
      int64_t pred = HVDCBest(tmp.get(), s.cmps.get(), cap, nullptr, false, bpp, half_rows, h.width);
      if (plain == 0) plain = s.img_bytes;
      if (pred == 0) pred = s.img_bytes;
      if (pred >= plain) {
        s.predict = false;
        h.codec = kHavBest;
      }
    }
    if (s.predict && !s.pred) s.pred.Alloc(s.img_bytes, 11, "FF_HAV.HAVImgSave.PredictImg", kMemNew);

    const bool delta = s.position > 0 && (h.key_interval == 0 || s.position % h.key_interval != 0);
    const bool fast = (h.codec & kHavCodecFastBit) != 0;
    uint8_t* recs = rec + kChunkHeader;
    int64_t first_read = head_bytes + records;
    bool fits = true;
    uint32_t in_first = 0;
    int64_t row0 = 0;
    for (int64_t i = 0; i < strips; ++i) {
      const int64_t rows = std::min<int64_t>(rows_per_strip, h.height - row0);
      const int64_t off = row0 * rb, n = rows * rb;
      const uint8_t* src = img.pixels + off;
      if (s.predict) {
        HavPredict(n / 3, s.pred.get() + off, img.pixels + off);
        src = s.pred.get() + off;
      }
      const uint8_t* prev = delta ? s.prev.get() + off : nullptr;
      int64_t coded = 0;
      MonitoredBoundary("FF_HAV.HAVImgSave.Compress", [&] {
        coded = fast ? HVDCFast(src, s.cmps.get(), cap, prev, delta, bpp, static_cast<int32_t>(rows), h.width)
                     : HVDCBest(src, s.cmps.get(), cap, prev, delta, bpp, static_cast<int32_t>(rows), h.width);
      });
      if (!ErrNone()) {
        ErrClear();
        ErrReportCode(kGrpMovie, kMviCompress, 12);
      }
      uint32_t flag = 1;
      if (coded == 0) {  // over budget: the strip goes raw
        s.file.Write(img.pixels + off, n);
        coded = n;
        flag = 0;
      } else {
        s.file.Write(s.cmps.get(), coded);
      }
      Wr4(recs + kStripRecord * i, kTypeStrip, kStripRecord, static_cast<uint32_t>(coded),
          static_cast<uint32_t>(rows));
      Put32(recs + kStripRecord * i + 16, flag);
      if (fits && first_read + coded <= read_limit) {
        first_read += coded;
        ++in_first;
      } else {
        fits = false;
      }
      row0 += rows;
    }
    if (h.key_interval != 1)
      std::memcpy(s.prev.get(), s.predict ? s.pred.get() : img.pixels, static_cast<size_t>(s.img_bytes));

    const int64_t end = s.file.Pos();
    const int64_t frame_bytes = end - rec_off;
    Wr4(rec, kTypeImage, kChunkHeader, static_cast<uint32_t>(strips), in_first);
    s.file.Seek(rec_off + head_bytes);
    s.file.Write(rec, records);
    Wr4(head, kTypeFrame, kChunkHeader, chunks, static_cast<uint32_t>(frame_bytes));
    s.file.Seek(rec_off);
    s.file.Write(head, kChunkHeader);
    s.file.Seek(end);
    entry.first_read = static_cast<uint32_t>(first_read);
    s.index_dirty = true;
    ++s.position;
    h.frames = std::max(h.frames, s.position);
  });
}

void HAVSndSave(HavState& s, SoundBuffer& snd) {
  Monitored("FF_HAV.HAVSndSave", [&] {
    if (!s.writing || !s.file.is_open()) CannotWrite(20);
    if (!snd.data || snd.sample_count <= 0) return;
    HavHeader& h = s.hdr;
    if (!s.has_sound) {
      // The file's format: the buffer's, held to what the header can say.
      WaveFormat f = snd.format;
      const int32_t bits = f.wBitsPerSample > 8 ? 16 : 8;
      const int32_t channels = f.nChannels > 1 ? 2 : 1;
      if (f.nSamplesPerSec < 1 || f.nSamplesPerSec > 1000000) CannotWrite(21);
      SndMakeFormat(s.snd_format, static_cast<int32_t>(f.nSamplesPerSec), channels, bits);
      h.sound_rate = static_cast<int32_t>(f.nSamplesPerSec);
      h.sound_flags = (bits == 16 ? 3 : 1) | (channels == 2 ? 4 : 0);
      s.has_sound = true;
    }
    const SoundBuffer* from = &snd;
    if (SndFormatsDiffer(snd.format, s.snd_format)) {
      SndConvert(snd, s.snd_temp, s.snd_format);
      from = &s.snd_temp;
    }
    const int64_t align = s.snd_format.nBlockAlign;
    const int64_t frames = std::min<int64_t>(from->sample_count, from->capacity / align);
    if (frames <= 0) return;
    if (int64_t{h.sound_total} + frames > INT32_MAX) CannotWrite(22);
    // Sound before the first frame still goes after the file's layout.
    WriteLayout(s);
    const uint32_t off = EndOffset(s, kChunkHeader + frames * align);
    if (s.snd_last != 0) {
      uint8_t b[4];
      Put32(b, off);
      s.file.Seek(s.snd_last + 8);
      s.file.Write(b, 4);
      s.file.Seek(off);
    } else {
      h.sound_first = off;
    }
    uint8_t head[kChunkHeader];
    Wr4(head, kTypeSound, kChunkHeader, 0, static_cast<uint32_t>(frames));
    s.file.Write(head, kChunkHeader);
    s.file.Write(from->data, frames * align);
    s.snd_last = off;
    h.sound_total += static_cast<int32_t>(frames);
    if (s.snd_temp.data) SndFree(s.snd_temp);
  });
}

void HAVClose(HavState& s) {
  Monitored("FF_HAV.HAVClose", [&] {
    s.prev.Reset();
    s.pred.Reset();
    s.snd_block.Reset();
    s.dskbuf.Reset();
    s.cmps.Reset();
    if (s.snd_temp.data) SndFree(s.snd_temp);
    if (s.writing && s.file.is_open()) {
      WriteLayout(s);  // a file without frames or sound is still a valid file
      WriteIndexBlock(s);
      uint8_t b[kHavHeaderSize];
      EncodeHeader(s.hdr, b);
      s.file.Seek(0);
      s.file.Write(b, kHavHeaderSize);
      uint8_t t[kHavTableBytes];
      for (int i = 0; i < 256; ++i) Put32(t + 4 * i, s.table[i]);
      s.file.Write(t, kHavTableBytes);
    }
    s.writing = false;
    s.file.Close();
  });
}

void HAVInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_HAV.HAVInfo", [&] {
    HavState s;
    HAVOpen(s, name);
    info.size = s.file_size;
    if (s.hdr.frames > 0) {
      info.width = s.hdr.width;
      info.height = s.hdr.height;
      info.bytespp = s.hdr.bytespp;
      info.bits = s.hdr.bytespp * 8;
      info.frames = s.hdr.frames;
      info.fps = s.hdr.fps;
      info.imagesValid = -1;
      info.imagesSupported = -1;
      SetText(info.compression, HavCompressionName(s.hdr.codec));
    }
    if (s.has_sound) {
      std::memcpy(&info.sndFormat, &s.snd_format, sizeof(VekWaveFormat));
      std::memcpy(&info.sndFormatOut, &s.snd_format, sizeof(VekWaveFormat));
      SetText(info.sndFormatName, "PCM, uncompressed");
      info.samples = s.hdr.sound_total;
      info.soundValid = -1;
      info.soundSupported = -1;
    }
    HAVClose(s);
  });
}

// ---------------------------------------------------------------- descriptor

namespace {
constexpr FormatRow kRead[] = {
    {0, {kFmtHAV, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"}},
};
constexpr FormatRow kWrite[] = {
    {3, {kFmtHAV, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"}},
};
constexpr int32_t kDepthsHav[6] = {8, 16, 16, 24, 24, 24};

std::string HavCodecName(const VekSaveOpts& o) {
  return o.havCodec == 0 ? "HAV-BEST compression" : o.havCodec == 1 ? "HAV-FAST compression" : "N/A";
}

int32_t HavPrepare(VekSaveOpts& o, int32_t, int32_t, int32_t, int32_t depth) {
  o.prepCodec = o.havCodec;
  o.prepKeyFrameRate = o.havKeyFrameRate;
  return depth;
}

void HavApply(const VekSaveOpts& o) {
  HAVSetCodec(o.prepCodec);
  HAVSetKeyFrameRate(o.prepKeyFrameRate);
}

HavState& St(void* p) { return *static_cast<HavState*>(p); }

void OpOpen(void* st, const std::string& name) { HAVOpen(St(st), name); }
void OpImgLoad(void* st, QImg& image, int32_t frame, int32_t mode) {
  HAVImgLoad(St(st), image, frame, (mode & 1) != 0);
}
void OpSndLoad(void* st, SoundBuffer& snd, int32_t first, int32_t mode, int32_t count) {
  HAVSndLoad(St(st), snd, first, (mode & 1) != 0, count);
}
void OpCreate(void* st, const std::string& name, double fps, int32_t, int32_t) {
  HAVCreate(St(st), name, fps);
}
void OpImgSave(void* st, QImg& image) { HAVImgSave(St(st), image); }
void OpSndSave(void* st, SoundBuffer& snd) { HAVSndSave(St(st), snd); }
void OpClose(void* st) { HAVClose(St(st)); }
MovieView OpView(const void* st) {
  const HavState& s = *static_cast<const HavState*>(st);
  MovieView v{};
  v.width = s.hdr.width;
  v.height = s.hdr.height;
  v.bytespp = s.hdr.bytespp;
  v.bits = s.hdr.bytespp * 8;
  v.frames = s.hdr.frames;
  v.current = s.position;
  v.samples_done = s.writing ? s.hdr.sound_total : s.snd_after_load;
  v.writing = s.writing;
  v.new_picture = s.new_picture;
  v.has_sound = s.has_sound;
  v.sound = s.snd_format;
  return v;
}

constexpr MovieOps kHavMovie{
    .state_size = StateOps<HavState>::size,
    .construct = StateOps<HavState>::Construct,
    .destroy = StateOps<HavState>::Destroy,
    .tag = "HAV",
    .open = OpOpen,
    .img_load = OpImgLoad,
    .snd_load = OpSndLoad,
    .create = OpCreate,
    .img_save = OpImgSave,
    .snd_save = OpSndSave,
    .close = OpClose,
    .set_custom_info = nullptr,
    .view = OpView,
};
}  // namespace

extern const FormatDescriptor kHavFormat{
    .id = kFmtHAV,
    .tag = "HAV",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsHav,
    .kind = FormatKindRule::kMovie,
    .delta_frames = true,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::havCodec>,
        .set_key_frame_rate = StoreOption<&VekSaveOpts::havKeyFrameRate>,
        .codec_name = HavCodecName,
        .prepare = HavPrepare,
        .apply = HavApply,},
    .info = HAVInfo,
    .movie = &kHavMovie,
};

}  // namespace vek
