#include "formats/movie/gif_lzw.h"

#include <cstring>
#include <memory>

namespace vek {

namespace {

constexpr int32_t kMaxBits = 12;
// Codes 0..4094: the table is full when the next code would be 4095, as
// common decoders expect (the clear code then follows at 12 bits).
constexpr int32_t kTableEnd = 4095;
constexpr int32_t kHashBits = 14;
constexpr uint32_t kHashSize = 1u << kHashBits;

// Codes go into a buffer sized for the worst case (12 bits per index plus
// the clear codes), trimmed at the end.
class BitSink {
 public:
  BitSink(std::vector<uint8_t>& out, size_t count) : out_(out), start_(out.size()) {
    out_.resize(start_ + count * 2 + count / 2048 * 2 + 16);
    p_ = out_.data() + start_;
  }
  void Put(uint32_t code, int32_t bits) {
    acc_ |= uint64_t{code} << n_;
    n_ += bits;
    if (n_ >= 32) {
      for (int i = 0; i < 4; ++i) *p_++ = static_cast<uint8_t>(acc_ >> (8 * i));
      acc_ >>= 32;
      n_ -= 32;
    }
  }
  void Flush() {
    while (n_ > 0) {
      *p_++ = static_cast<uint8_t>(acc_);
      acc_ >>= 8;
      n_ -= 8;
    }
    out_.resize(static_cast<size_t>(p_ - out_.data()));
  }

 private:
  std::vector<uint8_t>& out_;
  size_t start_;
  uint8_t* p_;
  uint64_t acc_ = 0;
  int32_t n_ = 0;
};

// (prefix code, next index) -> code, open addressing. Entries carry the
// generation of the table they belong to, so a clear code empties the table
// without touching it.
class StringTable {
 public:
  StringTable() : slot_(new uint32_t[kHashSize]()), code_(new uint16_t[kHashSize]) {}
  void Clear() {
    if (++gen_ == 4096) {
      std::memset(slot_.get(), 0, kHashSize * sizeof(uint32_t));
      gen_ = 1;
    }
  }
  // The code of the string, or -1; `at` receives the free slot for it.
  int32_t Find(uint32_t key, uint32_t& at) const {
    const uint32_t tagged = gen_ << 20 | key;
    uint32_t h = (key * 2654435761u) >> (32 - kHashBits);
    while (slot_[h] != 0) {
      if (slot_[h] == tagged) return code_[h];
      if ((slot_[h] >> 20) != gen_) break;  // an entry of an older table: free
      h = (h + 1) & (kHashSize - 1);
    }
    at = h;
    return -1;
  }
  void Insert(uint32_t at, uint32_t key, int32_t code) {
    slot_[at] = gen_ << 20 | key;
    code_[at] = static_cast<uint16_t>(code);
  }

 private:
  std::unique_ptr<uint32_t[]> slot_;
  std::unique_ptr<uint16_t[]> code_;
  uint32_t gen_ = 1;
};

}  // namespace

void GifLzwEncode(const uint8_t* indices, size_t count, int32_t min_code_size,
                  std::vector<uint8_t>& out, const uint8_t* wild, int32_t transparent) {
  if (transparent < 0) wild = nullptr;
  const uint32_t t = static_cast<uint32_t>(transparent);
  const int32_t clear = 1 << min_code_size, eoi = clear + 1;
  BitSink sink(out, count);
  StringTable table;
  int32_t bits = min_code_size + 1, next = eoi + 1;
  sink.Put(static_cast<uint32_t>(clear), bits);
  // Writes a code and widens the codes once the entry about to be made no
  // longer fits: the decoder, one entry behind, widens on the same code.
  auto emit = [&](int32_t code) {
    sink.Put(static_cast<uint32_t>(code), bits);
    if (next >= (1 << bits) && bits < kMaxBits) ++bits;
  };
  if (count > 0) {
    int32_t prefix = wild && wild[0] ? transparent : indices[0];
    for (size_t i = 1; i < count; ++i) {
      // An unchanged pixel goes on as transparent, the longest runs, unless
      // only its own index continues the string.
      const bool free = wild && wild[i];
      uint32_t k = free ? t : indices[i];
      uint32_t key = static_cast<uint32_t>(prefix) << 8 | k;
      uint32_t at = 0;
      int32_t found = table.Find(key, at);
      if (found < 0 && free) {
        uint32_t at_k = 0;
        const uint32_t key_k = static_cast<uint32_t>(prefix) << 8 | indices[i];
        const int32_t found_k = table.Find(key_k, at_k);
        if (found_k >= 0) found = found_k;
      }
      if (found >= 0) {
        prefix = found;
        continue;
      }
      emit(prefix);
      prefix = static_cast<int32_t>(k);
      if (next < kTableEnd) {
        table.Insert(at, key, next++);
      } else {
        sink.Put(static_cast<uint32_t>(clear), bits);
        table.Clear();
        bits = min_code_size + 1;
        next = eoi + 1;
      }
    }
    emit(prefix);
  }
  sink.Put(static_cast<uint32_t>(eoi), bits);
  sink.Flush();
}

}  // namespace vek
