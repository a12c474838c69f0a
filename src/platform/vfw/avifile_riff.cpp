// RIFF AVI files read and written stream by stream.
//
// Writing: the header area (hdrl with room for the OpenDML super-indexes,
// then the extra chunks written before the first frame) is reserved at the
// start and filled in when the file is closed; frames go into LIST movi,
// and when a part would pass the size limit it is closed (ix## indexes,
// idx1 for the first part) and an AVIX part begins.
//
// Reading: hdrl gives the streams; the index comes from the OpenDML
// super-indexes when every entry checks out, else from idx1 when every entry
// points at a chunk of its stream, else from a scan of the movi lists that
// stops at the first damaged or cut-off chunk.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "platform/vfw/avifile.h"
#include "platform/vfw/avi_stream.h"
#include "foundation/byte_fields.h"

namespace vek::platform {

namespace {

constexpr FOURCC kRIFF = MakeFourCC('R', 'I', 'F', 'F');
constexpr FOURCC kAVI = MakeFourCC('A', 'V', 'I', ' ');
constexpr FOURCC kAVIX = MakeFourCC('A', 'V', 'I', 'X');
constexpr FOURCC kHdrl = MakeFourCC('h', 'd', 'r', 'l');
constexpr FOURCC kStrl = MakeFourCC('s', 't', 'r', 'l');
constexpr FOURCC kMovi = MakeFourCC('m', 'o', 'v', 'i');
constexpr FOURCC kRec = MakeFourCC('r', 'e', 'c', ' ');
constexpr FOURCC kOdml = MakeFourCC('o', 'd', 'm', 'l');
constexpr FOURCC kAvih = MakeFourCC('a', 'v', 'i', 'h');
constexpr FOURCC kStrh = MakeFourCC('s', 't', 'r', 'h');
constexpr FOURCC kStrf = MakeFourCC('s', 't', 'r', 'f');
constexpr FOURCC kIndx = MakeFourCC('i', 'n', 'd', 'x');
constexpr FOURCC kIdx1 = MakeFourCC('i', 'd', 'x', '1');
constexpr FOURCC kJunk = MakeFourCC('J', 'U', 'N', 'K');
constexpr FOURCC kDmlh = MakeFourCC('d', 'm', 'l', 'h');

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr int kMaxStreams = 16;
constexpr int64_t kMaxExtra = int64_t{1} << 20;   // an extra chunk kept for AVIFileReadData
constexpr int64_t kMaxFormat = int64_t{1} << 20;  // a strf block
constexpr int kSuperEntries = 64;  // RIFF parts one stream can span (64 GiB)
// Header bytes of one stream list beyond its format block.
constexpr int64_t kStrlBytes = 12 + 8 + 56 + 8 + 8 + 24 + 16 * kSuperEntries;
// Room kept for a stream created after the first frame (a sound format).
constexpr int64_t kLateStream = kStrlBytes + 64;
constexpr uint32_t kNotKey = 0x80000000u;

std::atomic<int64_t> g_riff_limit{int64_t{1} << 30};
std::atomic<int32_t> g_objects{0};


void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put64(std::vector<uint8_t>& v, uint64_t x) {
  Put32(v, static_cast<uint32_t>(x));
  Put32(v, static_cast<uint32_t>(x >> 32));
}
void PutBytes(std::vector<uint8_t>& v, const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  v.insert(v.end(), b, b + n);
}
// A chunk: id, size, data, pad byte.
void PutChunk(std::vector<uint8_t>& v, FOURCC id, const std::vector<uint8_t>& data) {
  Put32(v, id);
  Put32(v, static_cast<uint32_t>(data.size()));
  PutBytes(v, data.data(), data.size());
  if (data.size() & 1) v.push_back(0);
}
void PutList(std::vector<uint8_t>& v, FOURCC type, const std::vector<uint8_t>& body) {
  Put32(v, ckidLIST);
  Put32(v, static_cast<uint32_t>(body.size() + 4));
  Put32(v, type);
  PutBytes(v, body.data(), body.size());
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
// Stream number of a chunk id "NNxx", or -1.
int StreamOf(FOURCC id) {
  const uint8_t a = id & 0xFF, b = (id >> 8) & 0xFF;
  if (!IsDigit(a) || !IsDigit(b)) return -1;
  return (a - '0') * 10 + (b - '0');
}
// "NNpc": a palette change of a video stream, not a frame.
bool IsPalChange(FOURCC id) { return ((id >> 16) & 0xFF) == 'p' && (id >> 24) == 'c'; }
FOURCC ChunkId(int stream, char c, char d) {
  return MakeFourCC(static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10), c, d);
}

struct Entry {
  int64_t pos;    // data offset
  uint32_t size;  // data bytes
  uint32_t flags;
  int64_t start;  // bytes of the stream before this chunk
};

// A palette-change chunk: first entry, count (0: 256), flags, then
// red, green, blue, flags per entry; it holds from frame `frame` on.
struct PalChange {
  int32_t frame;
  int64_t pos;
  uint32_t size;
};
constexpr size_t kPalStride = 64;  // palette changes between kept colour tables

struct SuperEntry {
  uint64_t offset;
  uint32_t size;
  uint32_t duration;
};

class File;

class FileStream final : public AviStream {
 public:
  FileStream(File* file, int number) : file_(file), number_(number) { AviObjectMade(); }
  ~FileStream() override { AviObjectGone(); }
  uint32_t Release() override;
  HRESULT Info(AVISTREAMINFO& info) override;
  HRESULT ReadFormat(void* format, int32_t* size) override;
  HRESULT SetFormat(const void* format, int32_t size) override;
  int32_t Length() override;
  HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t buffer_size, int32_t* bytes,
               int32_t* samples_read) override;
  HRESULT Write(int32_t start, int32_t samples, const void* buffer, int32_t buffer_size,
                uint32_t flags, int32_t* samples_written, int32_t* bytes_written) override;
  bool IsKey(int32_t pos) override;
  bool PaletteAt(int32_t pos, uint8_t* rgbquad) override;
  void SettleVideo();
  void ApplyPalChange(size_t k, std::array<uint8_t, 1024>& table);

  File* file_;
  int number_;
  int refs_ = 0;
  AVISTREAMINFO si_{};
  std::vector<uint8_t> format_;
  std::vector<Entry> entries_;
  int64_t bytes_ = 0;  // sum of chunk sizes
  std::vector<PalChange> pal_changes_;  // by frame
  // The colour table after the first k * kPalStride changes.
  std::vector<std::array<uint8_t, 1024>> pal_kept_;
  std::array<uint8_t, 1024> pal_last_{};  // after the first pal_last_n_ changes
  size_t pal_last_n_ = SIZE_MAX;
  // Reading: the OpenDML super-index found in strl.
  int64_t indx_pos_ = -1;
  uint32_t indx_size_ = 0;
  // Writing.
  uint32_t max_chunk_ = 0;
  FOURCC ckid_ = 0;  // id of this stream's chunks
  bool late_ = false;  // created after the first frame
  int64_t length_ = 0;  // samples written
  size_t riff_first_ = 0;  // first entry of the current RIFF part
  std::vector<SuperEntry> super_;

  bool Video() const { return si_.fccType == streamtypeVIDEO; }
  FOURCC Ckid() {
    if (!ckid_) {
      const bool raw = format_.size() >= 20 && Get32(&format_[16]) == 0;
      ckid_ = Video() ? ChunkId(number_, 'd', raw ? 'b' : 'c') : ChunkId(number_, 'w', 'b');
    }
    return ckid_;
  }
  // Bytes per sample for sample-sized streams; 0: one chunk per sample.
  uint32_t SampleSize() const { return Video() ? 0 : si_.dwSampleSize; }
};

}  // namespace

struct AviFile {
  virtual ~AviFile() = default;
};

namespace {

class File final : public AviFile {
 public:
  File() { AviObjectMade(); }
  ~File() override {
    if (f_) std::fclose(f_);
    AviObjectGone();
  }

  HRESULT OpenRead(const char* name);
  HRESULT OpenWrite(const char* name);
  HRESULT Finish();

  bool ReadAt(int64_t pos, void* buf, int64_t n) {
    if (pos < 0 || n < 0 || pos > size_ || n > size_ - pos) return false;
    if (n == 0) return true;
    if (fseeko(f_, pos, SEEK_SET) != 0) return false;
    return std::fread(buf, 1, static_cast<size_t>(n), f_) == static_cast<size_t>(n);
  }
  bool WriteBytes(const void* p, size_t n) {
    if (n && std::fwrite(p, 1, n, f_) != n) return false;
    pos_ += static_cast<int64_t>(n);
    return true;
  }
  bool WriteAt(int64_t pos, const void* p, size_t n) {
    if (fseeko(f_, pos, SEEK_SET) != 0) return false;
    const bool ok = !n || std::fwrite(p, 1, n, f_) == n;
    return fseeko(f_, pos_, SEEK_SET) == 0 && ok;
  }
  bool Put32At(int64_t pos, uint32_t v) {
    uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return WriteAt(pos, b, 4);
  }

  HRESULT WriteChunk(FileStream& s, FOURCC id, const void* data, uint32_t size, uint32_t flags);

  std::FILE* f_ = nullptr;
  bool writing_ = false;
  bool failed_ = false;  // a write failed: the file is not finished
  bool finished_ = false;
  int refs_ = 1;
  int64_t size_ = 0;
  int64_t pos_ = 0;
  uint8_t avih_[56] = {};
  std::vector<std::unique_ptr<FileStream>> streams_;
  struct Extra {
    FOURCC id;
    std::vector<uint8_t> data;
  };
  std::vector<Extra> extras_;  // reading: extra chunks; writing: before the frames
  std::vector<Extra> late_extras_;  // writing: after the first frame

  // Writing.
  bool movi_started_ = false;
  int64_t header_area_ = 0;
  int64_t riff_pos_ = 0;  // current RIFF header
  int64_t movi_pos_ = 0;  // current LIST movi header
  int riff_count_ = 0;
  struct Idx1Item {
    uint16_t stream;
    uint32_t entry;
  };
  std::vector<Idx1Item> idx1_;
  int64_t first_movi_ = 0;  // 'movi' fourcc of the first part (idx1 base)

  HRESULT StartMovi();
  HRESULT EndRiff();
  HRESULT NewRiff();
  HRESULT WriteHeader();

  // Reading.
  struct Range {
    int64_t begin, end;  // after 'movi' .. end of the list data
  };
  std::vector<Range> movis_;
  int64_t idx1_pos_ = -1;
  int64_t idx1_len_ = 0;
  int64_t first_movi_data_ = -1;  // position of the first 'movi' fourcc

  void ParseRiff(int64_t begin, int64_t end, bool first);
  void ParseHdrl(int64_t begin, int64_t end);
  void ParseStrl(int64_t begin, int64_t end);
  void KeepExtra(FOURCC id, int64_t data, int64_t len);
  bool LoadSuper(FileStream& s);
  bool LoadIdx1();
  void Scan();
};

// ---------------------------------------------------------------- reading

void File::KeepExtra(FOURCC id, int64_t data, int64_t len) {
  if (len < 0 || len > kMaxExtra || extras_.size() >= 64) return;
  Extra e{id, std::vector<uint8_t>(static_cast<size_t>(len))};
  if (ReadAt(data, e.data.data(), len)) extras_.push_back(std::move(e));
}

void File::ParseStrl(int64_t pos, int64_t end) {
  if (static_cast<int>(streams_.size()) >= kMaxStreams) return;
  auto s = std::make_unique<FileStream>(this, static_cast<int>(streams_.size()));
  bool have_strh = false;
  while (pos + 8 <= end) {
    uint8_t h[8];
    if (!ReadAt(pos, h, 8)) break;
    const FOURCC id = Get32(h);
    const int64_t len = Get32(h + 4);
    const int64_t data = pos + 8;
    if (len > end - data) break;
    if (id == kStrh && len >= 48) {
      uint8_t b[64] = {};
      if (!ReadAt(data, b, std::min<int64_t>(len, 56))) break;
      AVISTREAMINFO& si = s->si_;
      si.fccType = Get32(b);
      si.fccHandler = Get32(b + 4);
      si.dwFlags = Get32(b + 8);
      si.wPriority = Get16(b + 12);
      si.wLanguage = Get16(b + 14);
      si.dwInitialFrames = Get32(b + 16);
      si.dwScale = Get32(b + 20);
      si.dwRate = Get32(b + 24);
      si.dwStart = Get32(b + 28);
      si.dwLength = Get32(b + 32);
      si.dwSuggestedBufferSize = Get32(b + 36);
      si.dwQuality = Get32(b + 40);
      si.dwSampleSize = Get32(b + 44);
      if (len >= 56) {
        si.rcFrame = {static_cast<int16_t>(Get16(b + 48)), static_cast<int16_t>(Get16(b + 50)),
                      static_cast<int16_t>(Get16(b + 52)), static_cast<int16_t>(Get16(b + 54))};
      }
      have_strh = true;
    } else if (id == kStrf && len > 0 && len <= kMaxFormat) {
      s->format_.resize(static_cast<size_t>(len));
      if (!ReadAt(data, s->format_.data(), len)) s->format_.clear();
    } else if (id == kIndx && len >= 24) {
      s->indx_pos_ = data;
      s->indx_size_ = static_cast<uint32_t>(len);
    }
    pos = data + len + (len & 1);
  }
  // A stream without its header is numbered all the same: chunk ids count
  // the strl lists.
  if (!have_strh) s->si_.fccType = 0;
  streams_.push_back(std::move(s));
}

void File::ParseHdrl(int64_t pos, int64_t end) {
  while (pos + 8 <= end) {
    uint8_t h[12];
    if (!ReadAt(pos, h, 8)) break;
    const FOURCC id = Get32(h);
    const int64_t len = Get32(h + 4);
    const int64_t data = pos + 8;
    const int64_t stop = std::min(end, data + len);
    if (id == kAvih) {
      ReadAt(data, avih_, std::min<int64_t>(stop - data, sizeof avih_));
    } else if (id == ckidLIST && stop - data >= 4 && ReadAt(data, h + 8, 4)) {
      const FOURCC type = Get32(h + 8);
      if (type == kStrl) ParseStrl(data + 4, stop);
      else if (type == MakeFourCC('I', 'N', 'F', 'O')) KeepExtra(id, data, stop - data);
    }
    if (len > end - data) break;
    pos = data + len + (len & 1);
  }
}

void File::ParseRiff(int64_t pos, int64_t end, bool first) {
  while (pos + 8 <= end) {
    uint8_t h[12];
    if (!ReadAt(pos, h, 8)) break;
    const FOURCC id = Get32(h);
    const int64_t len = Get32(h + 4);
    const int64_t data = pos + 8;
    // A cut-off chunk ends at the end of the file.
    const int64_t stop = std::min(end, data + len);
    if (id == ckidLIST && stop - data >= 4 && ReadAt(data, h + 8, 4)) {
      const FOURCC type = Get32(h + 8);
      if (type == kHdrl && first && streams_.empty()) {
        ParseHdrl(data + 4, stop);
      } else if (type == kMovi) {
        if (first_movi_data_ < 0 && first) first_movi_data_ = data;
        if (movis_.size() < 4096) movis_.push_back({data + 4, stop});
      } else if (type != kRec) {
        KeepExtra(id, data, stop - data);
      }
    } else if (id == kIdx1 && first) {
      idx1_pos_ = data;
      idx1_len_ = stop - data;
    } else if (id != kJunk && id != ckidLIST) {
      KeepExtra(id, data, stop - data);
    }
    if (len > end - data) break;
    pos = data + len + (len & 1);
  }
}

// The OpenDML index of one stream: every ix## chunk of its super-index.
bool File::LoadSuper(FileStream& s) {
  if (s.indx_pos_ < 0) return false;
  uint8_t h[24];
  if (!ReadAt(s.indx_pos_, h, 24)) return false;
  const uint16_t longs = Get16(h);
  const uint8_t sub = h[2], type = h[3];
  const uint32_t used = Get32(h + 4);
  if (type != 0 || longs != 4 || sub != 0) return false;  // only indexes of indexes
  if (used == 0 || used > (s.indx_size_ - 24) / 16) return false;
  std::vector<Entry> out;
  int64_t total = 0;
  for (uint32_t i = 0; i < used; ++i) {
    uint8_t e[16];
    if (!ReadAt(s.indx_pos_ + 24 + int64_t(i) * 16, e, 16)) return false;
    const uint64_t off = Get64(e);
    if (off > uint64_t(size_)) return false;
    uint8_t ix[32];
    if (!ReadAt(static_cast<int64_t>(off), ix, 32)) return false;
    const int64_t ix_len = Get32(ix + 4);
    if (Get16(ix + 8) != 2 || ix[10] != 0 || ix[11] != 1) return false;
    const uint32_t n = Get32(ix + 12);
    const uint64_t base = Get64(ix + 20);
    if (StreamOf(Get32(ix + 16)) != s.number_) return false;
    if (ix_len < 24 || n > (ix_len - 24) / 8) return false;
    if (int64_t(off) + 32 + int64_t(n) * 8 > size_) return false;
    std::vector<uint8_t> raw(size_t(n) * 8);
    if (!ReadAt(static_cast<int64_t>(off) + 32, raw.data(), static_cast<int64_t>(raw.size())))
      return false;
    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t rel = Get32(&raw[k * 8]);
      const uint32_t sz = Get32(&raw[k * 8 + 4]);
      const uint32_t bytes = sz & ~kNotKey;
      const uint64_t pos = base + rel;
      if (base > uint64_t(size_) || pos < 8 || pos + bytes > uint64_t(size_)) return false;
      out.push_back({static_cast<int64_t>(pos), bytes, (sz & kNotKey) ? 0u : AVIIF_KEYFRAME, total});
      total += bytes;
    }
  }
  s.entries_ = std::move(out);
  s.bytes_ = total;
  return true;
}

// idx1 entries hold offsets from the 'movi' fourcc or, in some files, from
// the start of the file; the first entry tells which.
bool File::LoadIdx1() {
  if (idx1_pos_ < 0 || idx1_len_ < 16 || first_movi_data_ < 0) return false;
  const int64_t n = idx1_len_ / 16;
  std::vector<uint8_t> raw(static_cast<size_t>(n * 16));
  if (!ReadAt(idx1_pos_, raw.data(), n * 16)) return false;
  int64_t base = -1;
  std::vector<std::vector<Entry>> out(streams_.size());
  std::vector<std::vector<PalChange>> pals(streams_.size());
  std::vector<int64_t> totals(streams_.size(), 0);
  for (int64_t i = 0; i < n; ++i) {
    const uint8_t* e = &raw[size_t(i * 16)];
    const FOURCC id = Get32(e);
    const uint32_t flags = Get32(e + 4);
    const int64_t off = Get32(e + 8);
    const uint32_t len = Get32(e + 12);
    if (flags & AVIIF_LIST) continue;
    const int st = StreamOf(id);
    if (st < 0) continue;
    if (st >= static_cast<int>(streams_.size())) return false;
    uint8_t h[8];
    if (base < 0) {
      for (int64_t b : {first_movi_data_, int64_t{0}}) {
        if (ReadAt(b + off, h, 8) && Get32(h) == id && Get32(h + 4) == len) {
          base = b;
          break;
        }
      }
      if (base < 0) return false;
    }
    const int64_t pos = base + off + 8;
    if (pos + len > size_) return false;  // cut off: the scan finds what remains
    if (!ReadAt(pos - 8, h, 8) || Get32(h) != id || Get32(h + 4) != len) return false;
    if (IsPalChange(id)) {
      pals[size_t(st)].push_back({static_cast<int32_t>(out[size_t(st)].size()), pos, len});
      continue;
    }
    out[size_t(st)].push_back({pos, len, flags & AVIIF_KEYFRAME, totals[size_t(st)]});
    totals[size_t(st)] += len;
  }
  for (size_t k = 0; k < streams_.size(); ++k) {
    if (!streams_[k]->entries_.empty()) continue;  // has its OpenDML index
    streams_[k]->entries_ = std::move(out[k]);
    streams_[k]->bytes_ = totals[k];
    streams_[k]->pal_changes_ = std::move(pals[k]);
  }
  return true;
}

// Walks the movi lists chunk by chunk; a chunk that does not fit, or an id
// that names no chunk, ends the walk of that list.
void File::Scan() {
  std::vector<std::vector<Entry>> out(streams_.size());
  std::vector<std::vector<PalChange>> pals(streams_.size());
  std::vector<int64_t> totals(streams_.size(), 0);
  for (const Range& r : movis_) {
    int64_t pos = r.begin;
    while (pos + 8 <= r.end) {
      uint8_t h[12];
      if (!ReadAt(pos, h, 8)) break;
      const FOURCC id = Get32(h);
      const int64_t len = Get32(h + 4);
      if (id == ckidLIST) {
        if (len >= 4 && ReadAt(pos + 8, h + 8, 4) && Get32(h + 8) == kRec) {
          pos += 12;  // into the record list
          continue;
        }
      } else {
        const int st = StreamOf(id);
        if (st >= 0 && st < static_cast<int>(streams_.size())) {
          if (pos + 8 + len > size_) break;  // cut off
          if (IsPalChange(id)) {
            pals[size_t(st)].push_back(
                {static_cast<int32_t>(out[size_t(st)].size()), pos + 8, static_cast<uint32_t>(len)});
            pos += 8 + len + (len & 1);
            continue;
          }
          const bool key = streams_[size_t(st)]->entries_.empty() && out[size_t(st)].empty();
          out[size_t(st)].push_back(
              {pos + 8, static_cast<uint32_t>(len), key ? AVIIF_KEYFRAME : 0u, totals[size_t(st)]});
          totals[size_t(st)] += len;
        } else if (id != kJunk && id != kIdx1 && !(IsDigit(id & 0xFF) || (id & 0xFF) == 'i')) {
          // Not a chunk id at all: the list is damaged from here on.
          bool printable = true;
          for (int k = 0; k < 4; ++k) {
            const uint8_t c = (id >> (8 * k)) & 0xFF;
            printable = printable && c >= 0x20 && c < 0x7F;
          }
          if (!printable) break;
        }
      }
      if (len > r.end - pos - 8) break;
      pos += 8 + len + (len & 1);
    }
  }
  for (size_t k = 0; k < streams_.size(); ++k) {
    if (!streams_[k]->entries_.empty()) continue;
    streams_[k]->entries_ = std::move(out[k]);
    streams_[k]->bytes_ = totals[k];
    streams_[k]->pal_changes_ = std::move(pals[k]);
  }
}

HRESULT File::OpenRead(const char* name) {
  f_ = std::fopen(name, "rb");
  if (!f_) return AVIERR_FILEOPEN;
  struct stat st {};
  if (fstat(fileno(f_), &st) != 0 || !S_ISREG(st.st_mode)) return AVIERR_FILEOPEN;
  size_ = st.st_size;
  uint8_t h[12];
  if (!ReadAt(0, h, 12)) return AVIERR_FILEREAD;
  if (Get32(h) != kRIFF || Get32(h + 8) != kAVI) return AVIERR_BADFORMAT;
  int64_t len = Get32(h + 4);
  // A part whose size was never filled in runs to the end of the file.
  int64_t end = (len < 4 || 8 + len > size_) ? size_ : 8 + len;
  ParseRiff(12, end, true);
  if (streams_.empty()) return AVIERR_BADFORMAT;
  int64_t pos = end + (end & 1);
  while (pos + 12 <= size_) {
    if (!ReadAt(pos, h, 12) || Get32(h) != kRIFF || Get32(h + 8) != kAVIX) break;
    len = Get32(h + 4);
    const int64_t stop = (len < 4 || len > size_ - pos - 8) ? size_ : pos + 8 + len;
    ParseRiff(pos + 12, stop, false);
    pos = stop + (stop & 1);
  }
  bool all_super = true;
  for (auto& s : streams_) {
    if (!LoadSuper(*s)) {
      s->entries_.clear();
      s->bytes_ = 0;
      all_super = false;
    }
  }
  if (!all_super) {
    // Streams without an OpenDML index: idx1 when it holds up, else a scan.
    // idx1 covers the first part only; later parts need the scan anyway.
    const bool later_parts = movis_.size() > 1;
    if (later_parts || !LoadIdx1()) Scan();
  }
  for (auto& s : streams_) s->SettleVideo();
  return AVIERR_OK;
}

// ---------------------------------------------------------------- writing

HRESULT File::OpenWrite(const char* name) {
  f_ = std::fopen(name, "wb");
  if (!f_) return AVIERR_FILEOPEN;
  std::setvbuf(f_, nullptr, _IOFBF, 1 << 20);
  writing_ = true;
  return AVIERR_OK;
}

HRESULT File::StartMovi() {
  // RIFF header and the header area, filled in at close: the streams so
  // far, room for one more, the main and OpenDML headers.
  header_area_ = 12 + 12 + 64 + 12 + 8 + 248 + 64 + kLateStream;
  for (auto& sp : streams_) header_area_ += kStrlBytes + int64_t(sp->format_.size()) + 1;
  header_area_ = (header_area_ + 3) / 4 * 4;  // the JUNK filler stays even
  static const uint8_t riff[12] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '};
  std::vector<uint8_t> head(static_cast<size_t>(header_area_ - 12), 0);
  int64_t extras = 0;
  for (const Extra& e : extras_) extras += 8 + int64_t(e.data.size()) + (e.data.size() & 1);
  if (!WriteBytes(riff, 12) || !WriteBytes(head.data(), head.size())) return AVIERR_FILEWRITE;
  std::vector<uint8_t> more(static_cast<size_t>(extras), 0);
  if (!WriteBytes(more.data(), more.size())) return AVIERR_FILEWRITE;
  riff_pos_ = 0;
  riff_count_ = 1;
  movi_pos_ = pos_;
  first_movi_ = pos_ + 8;
  uint8_t list[12] = {'L', 'I', 'S', 'T', 0, 0, 0, 0, 'm', 'o', 'v', 'i'};
  if (!WriteBytes(list, 12)) return AVIERR_FILEWRITE;
  movi_started_ = true;
  return AVIERR_OK;
}

HRESULT File::EndRiff() {
  // The ix## index of every stream with chunks in this part.
  for (auto& sp : streams_) {
    FileStream& s = *sp;
    const size_t n = s.entries_.size() - s.riff_first_;
    if (n == 0) continue;
    if (s.super_.size() >= static_cast<size_t>(kSuperEntries)) return AVIERR_FILEWRITE;
    const int64_t base = s.entries_[s.riff_first_].pos;
    std::vector<uint8_t> v;
    Put16(v, 2);
    v.push_back(0);
    v.push_back(1);
    Put32(v, static_cast<uint32_t>(n));
    Put32(v, s.Ckid());
    Put64(v, static_cast<uint64_t>(base));
    Put32(v, 0);
    int64_t duration = 0;
    for (size_t k = s.riff_first_; k < s.entries_.size(); ++k) {
      const Entry& e = s.entries_[k];
      Put32(v, static_cast<uint32_t>(e.pos - base));
      Put32(v, e.size | ((e.flags & AVIIF_KEYFRAME) ? 0 : kNotKey));
      duration += s.SampleSize() ? e.size / s.SampleSize() : 1;
    }
    s.super_.push_back({static_cast<uint64_t>(pos_), static_cast<uint32_t>(v.size() + 8),
                        static_cast<uint32_t>(duration)});
    std::vector<uint8_t> chunk;
    PutChunk(chunk, MakeFourCC('i', 'x', static_cast<char>('0' + s.number_ / 10),
                               static_cast<char>('0' + s.number_ % 10)),
             v);
    if (!WriteBytes(chunk.data(), chunk.size())) return AVIERR_FILEWRITE;
    s.riff_first_ = s.entries_.size();
  }
  if (!Put32At(movi_pos_ + 4, static_cast<uint32_t>(pos_ - movi_pos_ - 8))) return AVIERR_FILEWRITE;
  if (riff_count_ == 1) {
    std::vector<uint8_t> v;
    for (const Idx1Item& it : idx1_) {
      FileStream& s = *streams_[it.stream];
      const Entry& e = s.entries_[it.entry];
      Put32(v, s.Ckid());
      Put32(v, e.flags & AVIIF_KEYFRAME);
      Put32(v, static_cast<uint32_t>(e.pos - 8 - first_movi_));
      Put32(v, e.size);
    }
    std::vector<uint8_t> chunk;
    PutChunk(chunk, kIdx1, v);
    if (!WriteBytes(chunk.data(), chunk.size())) return AVIERR_FILEWRITE;
    idx1_.clear();
    idx1_.shrink_to_fit();
  }
  return AVIERR_OK;
}

HRESULT File::NewRiff() {
  if (HRESULT r = EndRiff(); r != AVIERR_OK) return r;
  if (!Put32At(riff_pos_ + 4, static_cast<uint32_t>(pos_ - riff_pos_ - 8))) return AVIERR_FILEWRITE;
  riff_pos_ = pos_;
  movi_pos_ = pos_ + 12;
  ++riff_count_;
  uint8_t h[24] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', 'X',
                   'L', 'I', 'S', 'T', 0, 0, 0, 0, 'm', 'o', 'v', 'i'};
  return WriteBytes(h, 24) ? AVIERR_OK : AVIERR_FILEWRITE;
}

HRESULT File::WriteChunk(FileStream& s, FOURCC id, const void* data, uint32_t size,
                         uint32_t flags) {
  if (failed_) return AVIERR_FILEWRITE;
  if (!movi_started_) {
    if (HRESULT r = StartMovi(); r != AVIERR_OK) return failed_ = true, r;
  }
  // Room for the chunk and the indexes that close the part.
  int64_t pending = 0;
  for (auto& sp : streams_) pending += 32 + 8 * int64_t(sp->entries_.size() - sp->riff_first_);
  if (riff_count_ == 1) pending += 8 + 16 * int64_t(idx1_.size() + 1);
  const int64_t limit = g_riff_limit.load();
  const bool has_chunks = pos_ - movi_pos_ > 12;
  if (has_chunks && pos_ - riff_pos_ + 8 + size + 16 + pending > limit) {
    if (HRESULT r = NewRiff(); r != AVIERR_OK) return failed_ = true, r;
  }
  uint8_t h[8];
  for (int i = 0; i < 4; ++i) h[i] = static_cast<uint8_t>(id >> (8 * i));
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<uint8_t>(size >> (8 * i));
  const int64_t data_pos = pos_ + 8;
  static const uint8_t pad = 0;
  if (!WriteBytes(h, 8) || !WriteBytes(data, size) || ((size & 1) && !WriteBytes(&pad, 1))) {
    failed_ = true;
    return AVIERR_FILEWRITE;
  }
  if (riff_count_ == 1) {
    idx1_.push_back({static_cast<uint16_t>(s.number_), static_cast<uint32_t>(s.entries_.size())});
  }
  s.entries_.push_back({data_pos, size, flags & AVIIF_KEYFRAME, s.bytes_});
  s.bytes_ += size;
  s.max_chunk_ = std::max(s.max_chunk_, size);
  return AVIERR_OK;
}

HRESULT File::WriteHeader() {
  const FileStream* video = nullptr;
  for (auto& s : streams_)
    if (s->Video() && !video) video = s.get();
  uint32_t max_chunk = 0;
  double seconds = 0;
  for (auto& s : streams_) {
    max_chunk = std::max(max_chunk, s->max_chunk_);
    if (s->si_.dwRate > 0)
      seconds = std::max(seconds, double(s->length_) * s->si_.dwScale / s->si_.dwRate);
  }
  uint32_t first_frames = 0;
  if (video) {
    first_frames = static_cast<uint32_t>(
        video->super_.empty() ? video->entries_.size() : video->super_[0].duration);
  }
  int64_t all_bytes = 0;
  for (auto& s : streams_) all_bytes += s->bytes_;
  std::vector<uint8_t> hdrl;
  {
    std::vector<uint8_t> a;
    const double fps = video && video->si_.dwScale ? double(video->si_.dwRate) / video->si_.dwScale : 0;
    Put32(a, fps > 0 ? static_cast<uint32_t>(1e6 / fps + 0.5) : 0);
    Put32(a, seconds > 0 ? static_cast<uint32_t>(std::min(all_bytes / seconds, 4e9)) : 0);
    Put32(a, 0);
    Put32(a, kAvifHasIndex);
    Put32(a, first_frames);
    Put32(a, 0);
    Put32(a, static_cast<uint32_t>(streams_.size()));
    Put32(a, max_chunk + 8);
    const BITMAPINFOHEADER* bi =
        video && video->format_.size() >= 40
            ? reinterpret_cast<const BITMAPINFOHEADER*>(video->format_.data())
            : nullptr;
    int32_t w = 0, h = 0;
    if (bi) std::memcpy(&w, &video->format_[4], 4), std::memcpy(&h, &video->format_[8], 4);
    Put32(a, static_cast<uint32_t>(w));
    Put32(a, static_cast<uint32_t>(h < 0 ? -h : h));
    for (int i = 0; i < 4; ++i) Put32(a, 0);
    PutChunk(hdrl, kAvih, a);
  }
  for (auto& sp : streams_) {
    FileStream& s = *sp;
    std::vector<uint8_t> strl, h;
    const AVISTREAMINFO& si = s.si_;
    Put32(h, si.fccType);
    Put32(h, si.fccHandler);
    Put32(h, si.dwFlags);
    Put16(h, si.wPriority);
    Put16(h, si.wLanguage);
    Put32(h, si.dwInitialFrames);
    Put32(h, si.dwScale);
    Put32(h, si.dwRate);
    Put32(h, si.dwStart);
    Put32(h, static_cast<uint32_t>(s.length_));
    Put32(h, std::max(si.dwSuggestedBufferSize, s.max_chunk_));
    Put32(h, si.dwQuality);
    Put32(h, si.dwSampleSize);
    Put16(h, static_cast<uint16_t>(si.rcFrame.left));
    Put16(h, static_cast<uint16_t>(si.rcFrame.top));
    Put16(h, static_cast<uint16_t>(si.rcFrame.right));
    Put16(h, static_cast<uint16_t>(si.rcFrame.bottom));
    PutChunk(strl, kStrh, h);
    PutChunk(strl, kStrf, s.format_);
    std::vector<uint8_t> ix;
    Put16(ix, 4);
    ix.push_back(0);
    ix.push_back(0);
    Put32(ix, static_cast<uint32_t>(s.super_.size()));
    Put32(ix, s.Ckid());
    for (int i = 0; i < 3; ++i) Put32(ix, 0);
    for (int i = 0; i < kSuperEntries; ++i) {
      const SuperEntry e = i < static_cast<int>(s.super_.size()) ? s.super_[size_t(i)] : SuperEntry{};
      Put64(ix, e.offset);
      Put32(ix, e.size);
      Put32(ix, e.duration);
    }
    PutChunk(strl, kIndx, ix);
    PutList(hdrl, kStrl, strl);
  }
  {
    std::vector<uint8_t> d, odml;
    Put32(d, video ? static_cast<uint32_t>(video->entries_.size()) : 0);
    d.resize(248, 0);
    PutChunk(odml, kDmlh, d);
    PutList(hdrl, kOdml, odml);
  }
  std::vector<uint8_t> head;
  Put32(head, kRIFF);
  Put32(head, 0);  // patched by the caller
  Put32(head, kAVI);
  PutList(head, kHdrl, hdrl);
  for (const Extra& e : extras_) PutChunk(head, e.id, e.data);
  const int64_t room = movi_pos_ - 0;  // the first movi list follows the header area
  if (int64_t(head.size()) + 8 > room) return AVIERR_INTERNAL;
  std::vector<uint8_t> junk(static_cast<size_t>(room - int64_t(head.size()) - 8), 0);
  PutChunk(head, kJunk, junk);
  return WriteAt(8, head.data() + 8, head.size() - 8) ? AVIERR_OK : AVIERR_FILEWRITE;
}

HRESULT File::Finish() {
  if (failed_) return AVIERR_FILEWRITE;
  if (!movi_started_) {
    if (HRESULT r = StartMovi(); r != AVIERR_OK) return r;
  }
  const int64_t first_riff_movi = first_movi_ - 8;
  if (HRESULT r = EndRiff(); r != AVIERR_OK) return r;
  for (const Extra& e : late_extras_) {
    std::vector<uint8_t> c;
    PutChunk(c, e.id, e.data);
    if (!WriteBytes(c.data(), c.size())) return AVIERR_FILEWRITE;
  }
  if (!Put32At(riff_pos_ + 4, static_cast<uint32_t>(pos_ - riff_pos_ - 8))) return AVIERR_FILEWRITE;
  const int64_t keep_movi = movi_pos_;
  movi_pos_ = first_riff_movi;
  HRESULT r = WriteHeader();
  movi_pos_ = keep_movi;
  if (r != AVIERR_OK) return r;
  if (std::fflush(f_) != 0) return AVIERR_FILEWRITE;
  return AVIERR_OK;
}

// ---------------------------------------------------------------- streams

uint32_t FileStream::Release() {
  if (refs_ > 0) --refs_;
  return static_cast<uint32_t>(refs_);
}

HRESULT FileStream::Info(AVISTREAMINFO& info) {
  info = si_;
  info.dwLength = static_cast<uint32_t>(Length());
  return AVIERR_OK;
}

HRESULT FileStream::ReadFormat(void* format, int32_t* size) {
  if (!size) return AVIERR_BADPARAM;
  if (!format) {
    *size = static_cast<int32_t>(format_.size());
    return AVIERR_OK;
  }
  const int32_t n = std::min<int32_t>(*size, static_cast<int32_t>(format_.size()));
  if (n > 0) std::memcpy(format, format_.data(), static_cast<size_t>(n));
  *size = static_cast<int32_t>(format_.size());
  return format_.empty() ? AVIERR_NODATA : AVIERR_OK;
}

HRESULT FileStream::SetFormat(const void* format, int32_t size) {
  if (!file_->writing_) return AVIERR_READONLY;
  if (!format || size <= 0 || size > kMaxFormat) return AVIERR_BADPARAM;
  if (!entries_.empty()) return AVIERR_UNSUPPORTED;  // no format changes
  if (late_ && size > 64) return AVIERR_UNSUPPORTED;   // must fit the kept room
  const auto* b = static_cast<const uint8_t*>(format);
  format_.assign(b, b + size);
  return AVIERR_OK;
}

int32_t FileStream::Length() {
  if (file_->writing_) return static_cast<int32_t>(std::min<int64_t>(length_, INT32_MAX));
  const int64_t n = SampleSize() ? bytes_ / SampleSize() : int64_t(entries_.size());
  return static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX));
}

// Empty chunks of a video stream hold no picture: a writer drops a frame
// that repeats the last one, and some writers (ffmpeg's, for a time base
// finer than the frame rate) follow every picture with empty chunks. When
// pictures fall only on every g-th chunk, the stream is read at 1/g of its
// rate, one frame per picture; a stream whose header counts its pictures
// alone holds no time in its empty chunks at all. Palette changes are
// renumbered to the frames kept and their colour tables built.
void FileStream::SettleVideo() {
  if (!Video() || SampleSize() || entries_.empty()) return;
  const int64_t total = int64_t(entries_.size());
  int64_t pictures = 0;
  int64_t g = 0;
  for (int64_t i = 0; i < total; ++i) {
    if (entries_[size_t(i)].size == 0) continue;
    ++pictures;
    g = std::gcd(g, i);
  }
  std::vector<int64_t> kept_before;  // frames kept before entry i (size total + 1)
  auto keep_if = [&](auto keep) {
    std::vector<Entry> out;
    kept_before.assign(size_t(total) + 1, 0);
    for (int64_t i = 0; i < total; ++i) {
      kept_before[size_t(i)] = int64_t(out.size());
      if (keep(i)) out.push_back(entries_[size_t(i)]);
    }
    kept_before[size_t(total)] = int64_t(out.size());
    entries_ = std::move(out);
  };
  if (pictures > 0 && pictures < total) {
    if (si_.dwLength == pictures) {
      keep_if([&](int64_t i) { return entries_[size_t(i)].size != 0; });
    } else if (pictures > 1 && g > 1 && g <= UINT32_MAX &&
               (si_.dwRate % g == 0 || uint64_t(si_.dwScale) * uint64_t(g) <= UINT32_MAX)) {
      if (si_.dwRate % g == 0) si_.dwRate /= static_cast<uint32_t>(g);
      else si_.dwScale *= static_cast<uint32_t>(g);
      if (entries_[0].size == 0) entries_[0].flags &= ~AVIIF_KEYFRAME;
      keep_if([&](int64_t i) { return i % g == 0; });
    }
  }
  if (!kept_before.empty()) {
    for (PalChange& c : pal_changes_)
      c.frame = static_cast<int32_t>(kept_before[size_t(std::clamp<int64_t>(c.frame, 0, total))]);
  }
  if (pal_changes_.empty()) return;
  // The colour table of the format, then one kept every kPalStride changes.
  std::array<uint8_t, 1024> table{};
  if (format_.size() >= 40) {
    const uint32_t head = std::min<uint32_t>(Get32(&format_[0]), uint32_t(format_.size()));
    const size_t n = std::min<size_t>(format_.size() - head, table.size());
    std::memcpy(table.data(), format_.data() + head, n);
  }
  pal_kept_.assign(1, table);
  for (size_t k = 0; k < pal_changes_.size(); ++k) {
    ApplyPalChange(k, table);
    if ((k + 1) % kPalStride == 0) pal_kept_.push_back(table);
  }
}

void FileStream::ApplyPalChange(size_t k, std::array<uint8_t, 1024>& table) {
  const PalChange& c = pal_changes_[k];
  uint8_t b[4 + 1024];
  const uint32_t size = std::min<uint32_t>(c.size, sizeof b);
  if (size < 4 || !file_->ReadAt(c.pos, b, size)) return;
  const int first = b[0];
  const int count = std::min<int>(b[1] ? b[1] : 256, 256 - first);
  for (int i = 0; i < count && 4 + (i + 1) * 4 <= int(size); ++i) {
    const uint8_t* e = b + 4 + i * 4;  // red, green, blue, flags
    uint8_t* q = &table[size_t(first + i) * 4];
    q[0] = e[2];
    q[1] = e[1];
    q[2] = e[0];
    q[3] = 0;
  }
}

bool FileStream::PaletteAt(int32_t pos, uint8_t* rgbquad) {
  if (pal_kept_.empty()) return false;
  // Changes in force at `pos`: those placed before its chunk.
  const size_t n = size_t(std::upper_bound(pal_changes_.begin(), pal_changes_.end(), pos,
                                           [](int32_t v, const PalChange& c) { return v < c.frame; }) -
                          pal_changes_.begin());
  // Reading on from the last table asked for, or from the kept one before.
  size_t k = n / kPalStride * kPalStride;
  if (pal_last_n_ >= k && pal_last_n_ <= n) {
    k = pal_last_n_;
  } else {
    pal_last_ = pal_kept_[std::min(n / kPalStride, pal_kept_.size() - 1)];
  }
  for (; k < n; ++k) ApplyPalChange(k, pal_last_);
  pal_last_n_ = n;
  std::memcpy(rgbquad, pal_last_.data(), pal_last_.size());
  return true;
}

bool FileStream::IsKey(int32_t pos) {
  if (pos < 0 || SampleSize()) return SampleSize() != 0;
  return size_t(pos) < entries_.size() && (entries_[size_t(pos)].flags & AVIIF_KEYFRAME);
}

HRESULT FileStream::Read(int32_t start, int32_t samples, void* buffer, int32_t buffer_size,
                         int32_t* bytes, int32_t* samples_read) {
  if (bytes) *bytes = 0;
  if (samples_read) *samples_read = 0;
  if (file_->writing_) return AVIERR_UNSUPPORTED;
  if (start < 0 || start >= Length()) return AVIERR_NODATA;
  if (buffer_size < 0) return AVIERR_BADPARAM;
  const uint32_t ss = SampleSize();
  if (!ss) {
    // One chunk per sample: whole chunks while they fit.
    const int32_t want = samples == AVISTREAMREAD_CONVENIENT ? INT32_MAX : samples;
    int64_t done = 0;
    int32_t n = 0;
    for (size_t i = size_t(start); i < entries_.size() && n < want; ++i) {
      const Entry& e = entries_[i];
      if (!buffer) {
        done += e.size;
        ++n;
        if (samples == AVISTREAMREAD_CONVENIENT) break;
        continue;
      }
      if (done + e.size > buffer_size) {
        if (n == 0) {
          if (bytes) *bytes = static_cast<int32_t>(e.size);
          return AVIERR_BUFFERTOOSMALL;
        }
        break;
      }
      if (!file_->ReadAt(e.pos, static_cast<uint8_t*>(buffer) + done, e.size)) return AVIERR_FILEREAD;
      done += e.size;
      ++n;
      if (samples == AVISTREAMREAD_CONVENIENT && !Video()) continue;
    }
    if (bytes) *bytes = static_cast<int32_t>(std::min<int64_t>(done, INT32_MAX));
    if (samples_read) *samples_read = n;
    return AVIERR_OK;
  }
  // Sample-sized: a byte range over the chunks.
  const int64_t first = int64_t(start) * ss;
  int64_t want = samples == AVISTREAMREAD_CONVENIENT ? (bytes_ - first) : int64_t(samples) * ss;
  want = std::min(want, bytes_ - first);
  if (!buffer) {
    if (bytes) *bytes = static_cast<int32_t>(std::min<int64_t>(want, INT32_MAX));
    if (samples_read) *samples_read = static_cast<int32_t>(want / ss);
    return AVIERR_OK;
  }
  want = std::min<int64_t>(want, buffer_size) / ss * ss;
  if (want <= 0) {
    if (bytes) *bytes = static_cast<int32_t>(ss);
    return AVIERR_BUFFERTOOSMALL;
  }
  auto it = std::upper_bound(entries_.begin(), entries_.end(), first,
                             [](int64_t v, const Entry& e) { return v < e.start; });
  size_t i = size_t(it - entries_.begin()) - 1;
  int64_t done = 0;
  while (done < want && i < entries_.size()) {
    const Entry& e = entries_[i];
    const int64_t skip = first + done - e.start;
    const int64_t take = std::min<int64_t>(e.size - skip, want - done);
    if (take > 0 && !file_->ReadAt(e.pos + skip, static_cast<uint8_t*>(buffer) + done, take))
      return AVIERR_FILEREAD;
    done += std::max<int64_t>(take, 0);
    ++i;
  }
  if (bytes) *bytes = static_cast<int32_t>(done);
  if (samples_read) *samples_read = static_cast<int32_t>(done / ss);
  return AVIERR_OK;
}

HRESULT FileStream::Write(int32_t start, int32_t samples, const void* buffer, int32_t buffer_size,
                          uint32_t flags, int32_t* samples_written, int32_t* bytes_written) {
  if (samples_written) *samples_written = 0;
  if (bytes_written) *bytes_written = 0;
  if (!file_->writing_) return AVIERR_READONLY;
  if (format_.empty()) return AVIERR_BADFORMAT;
  if (samples < 0 || buffer_size < 0 || (buffer_size > 0 && !buffer)) return AVIERR_BADPARAM;
  if (start != length_) return AVIERR_UNSUPPORTED;  // appends only
  const FOURCC id = Ckid();
  if (HRESULT r = file_->WriteChunk(*this, id, buffer, static_cast<uint32_t>(buffer_size), flags);
      r != AVIERR_OK)
    return r;
  length_ += Video() ? std::max(samples, 1) : samples;
  if (samples_written) *samples_written = samples;
  if (bytes_written) *bytes_written = buffer_size;
  return AVIERR_OK;
}

File* AsFile(PAVIFILE f) { return static_cast<File*>(f); }

}  // namespace

void AviObjectMade() { ++g_objects; }
void AviObjectGone() { --g_objects; }
int32_t AviOpenObjects() { return g_objects.load(); }
bool AviLateStreams() { return true; }
void AviSetRiffLimit(int64_t bytes) {
  g_riff_limit = bytes >= 65536 ? std::min<int64_t>(bytes, int64_t{1} << 30) : int64_t{1} << 30;
}

void AVIFileInit() {}
void AVIFileExit() {}

HRESULT AVIFileOpen(PAVIFILE* file, const char* name, uint32_t mode, const CLSID* handler) {
  if (!file) return AVIERR_BADPARAM;
  *file = nullptr;
  if (!name) return AVIERR_BADPARAM;
  if (handler && std::memcmp(handler, &CLSID_AVIFile, sizeof(CLSID)) != 0) return AVIERR_UNSUPPORTED;
  std::unique_ptr<File> f(new (std::nothrow) File());
  if (!f) return AVIERR_MEMORY;
  const HRESULT r = (mode & OF_CREATE) || (mode & OF_WRITE) ? f->OpenWrite(name) : f->OpenRead(name);
  if (r != AVIERR_OK) return r;
  *file = f.release();
  return AVIERR_OK;
}

HRESULT AviFileFinish(PAVIFILE file) {
  File* f = AsFile(file);
  if (!f) return AVIERR_BADHANDLE;
  if (!f->writing_ || f->finished_) return AVIERR_OK;
  f->finished_ = true;
  const HRESULT r = f->Finish();
  if (r != AVIERR_OK) f->failed_ = true;
  return r;
}

uint32_t AVIFileRelease(PAVIFILE file) {
  File* f = AsFile(file);
  if (!f) return 0;
  if (--f->refs_ > 0) return static_cast<uint32_t>(f->refs_);
  AviFileFinish(file);
  delete f;
  return 0;
}

HRESULT AVIFileInfo(PAVIFILE file, AVIFILEINFO* info, int32_t size) {
  File* f = AsFile(file);
  if (!f || !info || size < static_cast<int32_t>(sizeof(AVIFILEINFO))) return AVIERR_BADPARAM;
  *info = AVIFILEINFO{};
  info->dwMaxBytesPerSec = Get32(f->avih_ + 4);
  info->dwFlags = Get32(f->avih_ + 12);
  info->dwStreams = static_cast<uint32_t>(f->streams_.size());
  info->dwSuggestedBufferSize = Get32(f->avih_ + 28);
  info->dwWidth = Get32(f->avih_ + 32);
  info->dwHeight = Get32(f->avih_ + 36);
  for (auto& s : f->streams_) {
    if (s->Video()) {
      info->dwScale = s->si_.dwScale;
      info->dwRate = s->si_.dwRate;
      info->dwLength = static_cast<uint32_t>(s->Length());
      break;
    }
  }
  std::snprintf(info->szFileType, sizeof info->szFileType, "AVI file");
  return AVIERR_OK;
}

HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, FOURCC type, int32_t index) {
  File* f = AsFile(file);
  if (!stream) return AVIERR_BADPARAM;
  *stream = nullptr;
  if (!f || index < 0) return AVIERR_BADPARAM;
  int32_t k = 0;
  for (auto& s : f->streams_) {
    if (type != 0 && s->si_.fccType != type) continue;
    if (s->si_.fccType == 0) continue;
    if (k++ == index) {
      ++s->refs_;
      *stream = s.get();
      return AVIERR_OK;
    }
  }
  return AVIERR_NODATA;
}

HRESULT AVIFileCreateStream(PAVIFILE file, PAVISTREAM* stream, const AVISTREAMINFO* info) {
  File* f = AsFile(file);
  if (!stream) return AVIERR_BADPARAM;
  *stream = nullptr;
  if (!f || !info) return AVIERR_BADPARAM;
  if (!f->writing_) return AVIERR_READONLY;
  if (static_cast<int>(f->streams_.size()) >= 4) return AVIERR_UNSUPPORTED;
  if (f->riff_count_ > 1) return AVIERR_UNSUPPORTED;  // indexes of later parts are fixed
  if (f->movi_started_) {
    // One stream fits into the room the header area kept.
    int64_t late = 0;
    for (auto& sp : f->streams_)
      if (sp->late_) ++late;
    if (late > 0) return AVIERR_UNSUPPORTED;
  }
  auto s = std::make_unique<FileStream>(f, static_cast<int>(f->streams_.size()));
  s->si_ = *info;
  s->si_.dwLength = 0;
  s->refs_ = 1;
  s->late_ = f->movi_started_;
  // Chunks of earlier parts would be missing from this stream's index.
  *stream = s.get();
  f->streams_.push_back(std::move(s));
  return AVIERR_OK;
}

HRESULT AVIFileWriteData(PAVIFILE file, FOURCC ckid, const void* data, int32_t size) {
  File* f = AsFile(file);
  if (!f || size < 0 || (size > 0 && !data) || size > kMaxExtra) return AVIERR_BADPARAM;
  if (!f->writing_) return AVIERR_READONLY;
  const auto* b = static_cast<const uint8_t*>(data);
  File::Extra e{ckid, std::vector<uint8_t>(b, b + size)};
  (f->movi_started_ ? f->late_extras_ : f->extras_).push_back(std::move(e));
  return AVIERR_OK;
}

HRESULT AVIFileReadData(PAVIFILE file, FOURCC ckid, void* data, int32_t* size) {
  File* f = AsFile(file);
  if (!f || !size) return AVIERR_BADPARAM;
  // Of several lists, the INFO list is the one asked for.
  const File::Extra* pick = nullptr;
  for (const File::Extra& e : f->extras_) {
    if (e.id != ckid) continue;
    if (!pick) pick = &e;
    if (ckid == ckidLIST && e.data.size() >= 4 && Get32(e.data.data()) == MakeFourCC('I', 'N', 'F', 'O')) {
      pick = &e;
      break;
    }
  }
  for (const File::Extra& e : f->extras_) {
    if (&e != pick) continue;
    const int32_t n = static_cast<int32_t>(e.data.size());
    if (data) std::memcpy(data, e.data.data(), static_cast<size_t>(std::clamp(*size, 0, n)));
    *size = n;
    return AVIERR_OK;
  }
  *size = 0;
  return AVIERR_NODATA;
}

uint32_t AVIStreamRelease(PAVISTREAM stream) { return stream ? stream->Release() : 0; }

HRESULT AVIStreamInfo(PAVISTREAM stream, AVISTREAMINFO* info, int32_t size) {
  if (!stream || !info || size < static_cast<int32_t>(sizeof(AVISTREAMINFO))) return AVIERR_BADPARAM;
  return stream->Info(*info);
}

HRESULT AVIStreamReadFormat(PAVISTREAM stream, int32_t pos, void* format, int32_t* size) {
  if (!stream) return AVIERR_BADHANDLE;
  const int32_t room = size ? *size : 0;
  const HRESULT r = stream->ReadFormat(format, size);
  // The colour table in force at `pos`, as far as the format holds one.
  uint8_t table[1024];
  if (r == AVIERR_OK && format && room >= 40 && stream->PaletteAt(pos, table)) {
    auto* b = static_cast<uint8_t*>(format);
    const int32_t head = static_cast<int32_t>(Get32(b));
    const int32_t end = std::min(room, *size);
    if (head >= 40 && head < end)
      std::memcpy(b + head, table, static_cast<size_t>(std::min<int32_t>(end - head, 1024)));
  }
  return r;
}

HRESULT AVIStreamSetFormat(PAVISTREAM stream, int32_t, const void* format, int32_t size) {
  if (!stream) return AVIERR_BADHANDLE;
  return stream->SetFormat(format, size);
}

int32_t AVIStreamStart(PAVISTREAM stream) { return stream ? 0 : -1; }
int32_t AVIStreamLength(PAVISTREAM stream) { return stream ? stream->Length() : -1; }

HRESULT AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t samples, void* buffer,
                      int32_t buffer_size, int32_t* bytes, int32_t* samples_read) {
  if (!stream) return AVIERR_BADHANDLE;
  return stream->Read(start, samples, buffer, buffer_size, bytes, samples_read);
}

HRESULT AVIStreamWrite(PAVISTREAM stream, int32_t start, int32_t samples, const void* buffer,
                       int32_t buffer_size, uint32_t flags, int32_t* samples_written,
                       int32_t* bytes_written) {
  if (!stream) return AVIERR_BADHANDLE;
  return stream->Write(start, samples, buffer, buffer_size, flags, samples_written, bytes_written);
}

bool AVIStreamIsKeyFrame(PAVISTREAM stream, int32_t pos) { return stream && stream->IsKey(pos); }

}  // namespace vek::platform
