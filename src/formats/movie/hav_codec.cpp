#include "formats/movie/hav_codec.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "foundation/workers.h"

namespace vek {

namespace {

// ---------------------------------------------------------------- constants

constexpr int32_t kMaxRunPixels = 767;
constexpr int32_t kMaxLength = 767;     // longest value of a length code
constexpr int32_t kMaxSkip = 49089;     // 767 x 64 + 63 - 62
constexpr int32_t kMaxRowCopyBest = 129;
constexpr int32_t kMaxRowCopyFast = 65;
constexpr int32_t kMaxShortSkip = 65;
constexpr uint32_t kEndCode = 448;
constexpr int32_t kDictSlots = 1024;
constexpr int32_t kDictHeads = 16384;
constexpr int32_t kWinHeads = 1024;     // per 64-byte column block
constexpr int32_t kWindowRows = 12;
// Search bounds of the BEST encoder: chain steps per column block and per
// dictionary chain. Longer chains rarely pay on real frames.
constexpr int32_t kWinChainSteps = 8;
constexpr int32_t kDictChainSteps = 32;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Bits of the length code for v (2..767).
inline int32_t LenBits(int32_t v) {
  if (v >= 256) return 16;
  // 2..3 -> 2, 4..7 -> 4, ..., 128..255 -> 14: twice the bit length minus 2.
  return 2 * (32 - __builtin_clz(static_cast<uint32_t>(v))) - 2;
}

// Equal bytes of a and b, at most `max` (max may be 0 or negative).
inline int32_t MatchLen(const uint8_t* a, const uint8_t* b, int32_t max) {
  int32_t n = 0;
  while (n + 8 <= max) {
    const uint64_t x = Load64(a + n) ^ Load64(b + n);
    if (x) return n + (__builtin_ctzll(x) >> 3);
    n += 8;
  }
  while (n < max && a[n] == b[n]) ++n;
  return n;
}

// ---------------------------------------------------------------- bit output

class BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) {}
  // v must fit `bits` (1..32).
  void Put(uint32_t v, int32_t bits) {
    acc_ = (acc_ << bits) | v;
    n_ += bits;
    if (n_ >= 32) {
      n_ -= 32;
      const uint32_t w = static_cast<uint32_t>(acc_ >> n_);
      out_[pos_] = static_cast<uint8_t>(w >> 24);
      out_[pos_ + 1] = static_cast<uint8_t>(w >> 16);
      out_[pos_ + 2] = static_cast<uint8_t>(w >> 8);
      out_[pos_ + 3] = static_cast<uint8_t>(w);
      pos_ += 4;
    }
  }
  void PutLength(int32_t v) {
    if (v >= 256)
      Put(static_cast<uint32_t>(v - 256), 16);
    else
      Put(static_cast<uint32_t>(v), LenBits(v));
  }
  int64_t Bytes() const { return pos_ + (n_ + 7) / 8; }
  int64_t BitCount() const { return pos_ * 8 + n_; }
  // Pads with zero bits to a whole byte and writes what is pending.
  int64_t Finish() {
    while (n_ > 0) {
      const int32_t take = std::min(n_, 8);
      const uint32_t byte = static_cast<uint32_t>((acc_ >> (n_ - take)) & ((1u << take) - 1))
                            << (8 - take);
      out_[pos_++] = static_cast<uint8_t>(byte);
      n_ -= take;
    }
    return pos_;
  }

 private:
  uint8_t* out_;
  int64_t pos_ = 0;
  uint64_t acc_ = 0;
  int32_t n_ = 0;  // pending bits in the low end of acc_
};

// Writes the pixel value of a run after its code's low 8 bits.
inline void PutRunPixel(BitWriter& w, const uint8_t* px, int32_t bpp, int32_t code_bits) {
  switch (bpp) {
    case 1: w.Put(px[0], code_bits); break;
    case 2:  // high byte in the code, then the low byte
      w.Put(px[1], code_bits);
      w.Put(px[0], 8);
      break;
    default:  // first byte in the code, then second + 256 x third
      w.Put(px[0], code_bits);
      w.Put(static_cast<uint32_t>(px[1]) | static_cast<uint32_t>(px[2]) << 8, 16);
      break;
  }
}

// Skip tokens: short ones in the code, long ones as code + length L with
// n = L x 64 + (code - 448) - 62.
inline void PutSkip(BitWriter& w, int32_t n, int32_t code_bits) {
  if (n <= kMaxShortSkip) {
    w.Put(static_cast<uint32_t>(382 + n), code_bits);
  } else {
    const int32_t t = n + 62;
    w.Put(static_cast<uint32_t>(448 + (t & 63)), code_bits);
    w.PutLength(t >> 6);
  }
}

inline int32_t SkipBits(int32_t n, int32_t code_bits) {
  return n <= kMaxShortSkip ? code_bits : code_bits + LenBits((n + 62) >> 6);
}

// Whole pixels from p equal to the pixel at p, at most 767, within `rem` bytes.
inline int32_t RunPixels(const uint8_t* s, int32_t bpp, int64_t rem) {
  const int64_t avail = std::min<int64_t>(rem - bpp, int64_t{kMaxRunPixels - 1} * bpp);
  if (avail < bpp) return 1;
  const int32_t m = MatchLen(s, s + bpp, static_cast<int32_t>(avail));
  return 1 + m / bpp;
}

// Effective byte limit of an encoder's output.
int64_t Limit(int64_t n, int64_t capacity) {
  return std::min(HavBudget(n), capacity - 16);
}

// ---------------------------------------------------------------- BEST tables

struct ChainEntry {
  int32_t older;  // position of the previous entry of the same chain, -1 none
  uint32_t sig;   // low nibbles of the 8 bytes after the two hashed bytes
};

// Signature of position q: the low nibble of byte q+2+i at bits 4i..4i+3;
// bytes past the strip count as 0.
inline uint32_t Signature(const uint8_t* s, int64_t q, int64_t n) {
  uint64_t m;
  if (q + 10 <= n) {
    m = Load64(s + q + 2);
  } else {
    uint8_t b[8] = {};
    for (int64_t i = 0; i < 8 && q + 2 + i < n; ++i) b[i] = s[q + 2 + i];
    m = Load64(b);
  }
  m &= 0x0F0F0F0F0F0F0F0FULL;
  m = (m | (m >> 4)) & 0x00FF00FF00FF00FFULL;
  m = (m | (m >> 8)) & 0x0000FFFF0000FFFFULL;
  m = (m | (m >> 16)) & 0x00000000FFFFFFFFULL;
  return static_cast<uint32_t>(m);
}

// Longest match a candidate can reach judged by the signatures alone.
inline int32_t SignatureBound(uint32_t a, uint32_t b) {
  const uint32_t x = a ^ b;
  return x ? 2 + (__builtin_ctz(x) >> 2) : INT_MAX;
}

inline uint32_t WinHash(uint8_t b0, uint8_t b1) { return ((b0 * 32u) & 1023u) | (b1 & 31u); }
inline uint32_t DictHash(uint8_t b0, uint8_t b1) { return ((b0 * 128u) & 16383u) | (b1 & 127u); }

// Distance of window entry k (0..23) for rows of `rb` bytes.
inline int64_t WindowDistance(int32_t k, int64_t rb) {
  return k < 12 ? 64 + k * rb : (k - 11) * rb;
}

enum class Tok : uint8_t { kLiteral, kRun, kRowCopy, kSkip, kDict, kWindow };

int64_t BestEncode(const uint8_t* src, uint8_t* out, int64_t capacity, const uint8_t* prev,
                   bool delta, int32_t bpp, int32_t rows, int32_t width) {
  const int64_t rb = int64_t{width} * bpp;
  const int64_t n = rb * rows;
  if (n <= 0 || bpp < 1 || bpp > 3) return 0;
  const int64_t limit = Limit(n, capacity);
  if (limit <= 0) return 0;
  if (!delta) prev = nullptr;

  // Window: the last 12 rows plus the 64 bytes before them (short rows reach
  // that far back with the current-row entries).
  const int64_t max_dist = std::max<int64_t>(64 + 11 * rb, 12 * rb);
  // Power of two so that a position finds its entry with a mask.
  int64_t ring = 1;
  while (ring < max_dist + 1) ring <<= 1;
  const int64_t ring_mask = ring - 1;
  const int64_t blocks = (rb + 63) / 64;

  Tracked<int32_t> heads(blocks * kWinHeads, 1, "FF_HAV.HVDCBest.ChFrs");
  Tracked<ChainEntry> chain(ring, 2, "FF_HAV.HVDCBest.ChTab");
  // Dictionary: slots of (position, length) with their insertion number and
  // the number of the older entry of the same chain; heads hold numbers.
  struct DictSlot {
    int32_t seq, older, pos, len;
  };
  Tracked<DictSlot> dict(kDictSlots, 3, "FF_HAV.HVDCBest.IdxTab");
  Tracked<int32_t> dict_heads(kDictHeads, 4, "FF_HAV.HVDCBest.IdxTab");
  // Window code (0..1535) by distance, -1 where no token reaches.
  Tracked<int16_t> win_code(max_dist + 1, 5, "FF_HAV.HVDCBest.WinCode");
  std::fill_n(heads.get(), blocks * kWinHeads, -1);
  std::fill_n(dict_heads.get(), kDictHeads, -1);
  for (int32_t i = 0; i < kDictSlots; ++i) dict[i] = DictSlot{-1, -1, 0, 0};
  std::fill_n(win_code.get(), max_dist + 1, int16_t{-1});
  for (int32_t k = 23; k >= 0; --k) {  // near rows last: they win ties
    const int64_t d = WindowDistance(k, rb);
    for (int32_t o = 0; o < 64; ++o) {
      const int64_t dist = d - o;
      if (dist >= 1 && dist <= max_dist) win_code[dist] = static_cast<int16_t>(k * 64 + o);
    }
  }
  int32_t dict_seq = 0;

  BitWriter w(out);
  // Insertion cursor of the window structures.
  int64_t ins = 0, ins_ring = 0, ins_col = 0;
  auto insert_upto = [&](int64_t end) {
    const int64_t last = std::min(end, n - 1);  // the last byte has no pair
    for (; ins < last; ++ins) {
      const uint32_t h = WinHash(src[ins], src[ins + 1]);
      int32_t& head = heads[(ins_col >> 6) * kWinHeads + h];
      chain[ins_ring] = ChainEntry{head, Signature(src, ins, n)};
      head = static_cast<int32_t>(ins);
      if (++ins_ring == ring) ins_ring = 0;
      if (++ins_col == rb) ins_col = 0;
    }
    if (ins < end) {  // step over the last byte
      ins = end;
    }
  };

  int64_t p = 0;
  int64_t col = 0;  // p mod rb
  while (p < n) {
    const int64_t rem = n - p;
    Tok kind = Tok::kLiteral;
    int32_t len = 1;  // bytes covered by the chosen token
    int32_t gain = 0;
    int32_t aux = 0;  // run pixels, dictionary slot or window code

    // 1. Unchanged against the previous frame.
    if (prev) {
      const int32_t s = MatchLen(src + p, prev + p, static_cast<int32_t>(std::min<int64_t>(kMaxSkip, rem)));
      if (s > 1) {
        const int32_t g = 8 * s - SkipBits(s, 12);
        if (g > gain) kind = Tok::kSkip, len = s, gain = g;
      }
    }
    // 2. Run of one pixel value.
    if (len < kMaxRunPixels * bpp) {
      const int32_t px = RunPixels(src + p, bpp, rem);
      if (px >= 2) {
        const int32_t g = 8 * px * bpp - (12 + 8 * (bpp - 1) + LenBits(px));
        if (g > gain) kind = Tok::kRun, len = px * bpp, gain = g, aux = px;
      }
    }
    if (len <= kMaxLength && rem >= 2) {
      // 3. Dictionary: the longest earlier window copy that repeats here.
      {
        int32_t s = dict_heads[DictHash(src[p], src[p + 1])];
        int32_t best_len = len, best_slot = -1;
        for (int32_t steps = 0; s >= 0 && s >= dict_seq - kDictSlots && steps < kDictChainSteps;
             ++steps) {
          const DictSlot& e = dict[s & (kDictSlots - 1)];
          if (e.seq != s) break;
          if (e.len >= best_len && e.len <= rem && (best_slot < 0 || e.len > best_len) &&
              MatchLen(src + e.pos, src + p, e.len) == e.len) {
            best_len = e.len;
            best_slot = s & (kDictSlots - 1);
          }
          s = e.older;
        }
        if (best_slot >= 0) {
          const int32_t g = 8 * best_len - 12;
          if (g > gain) kind = Tok::kDict, len = best_len, gain = g, aux = best_slot;
        }
      }
      // 4. Window over the last rows.
      if (p > 0) {
        const int32_t max_len = static_cast<int32_t>(std::min<int64_t>(kMaxLength, rem));
        int32_t need = std::max(len - 1, 1);  // a match must be longer than this
        int32_t wlen = 0, wcode = -1;
        const uint32_t sig = Signature(src, p, n);
        const uint32_t h = WinHash(src[p], src[p + 1]);
        // Column blocks overlapping p-64 .. p+63 within the row.
        int64_t b_first, b_count;
        if (rb <= 128) {
          b_first = 0;
          b_count = blocks;
        } else {
          const int64_t lo = (col - 64 + rb) % rb, hi = (col + 63) % rb;
          b_first = lo >> 6;
          const int64_t b_last = hi >> 6;
          b_count = (b_last - b_first + blocks) % blocks + 1;
        }
        const int64_t oldest = p - max_dist;
        for (int64_t bi = 0; bi < b_count && wlen < max_len; ++bi) {
          const int64_t b = (b_first + bi) % blocks;
          int32_t c = heads[b * kWinHeads + h];
          for (int32_t steps = 0; c >= 0 && c >= oldest && steps < kWinChainSteps; ++steps) {
            const ChainEntry& e = chain[c & ring_mask];
            const int32_t code = win_code[p - c];
            if (code >= 0 && SignatureBound(sig, e.sig) > need) {
              const int32_t m = MatchLen(src + c, src + p, max_len);
              if (m > need) {
                need = m;
                wlen = m;
                wcode = code;
                if (m == max_len) break;
              }
            }
            c = e.older;
          }
        }
        if (wcode >= 0 && wlen >= 2) {
          const int32_t g = 8 * wlen - (12 + LenBits(wlen));
          if (g > gain) kind = Tok::kWindow, len = wlen, gain = g, aux = wcode;
        }
      }
      // 5. Copy from the row above.
      if (p >= rb) {
        const int32_t m =
            MatchLen(src + p, src + p - rb, static_cast<int32_t>(std::min<int64_t>(kMaxRowCopyBest, rem)));
        if (m >= 2) {
          const int32_t g = 8 * m - 12;
          if (g > gain) kind = Tok::kRowCopy, len = m, gain = g;
        }
      }
    }

    switch (kind) {
      case Tok::kLiteral: w.Put(0x300u | src[p], 10); break;
      case Tok::kRun:
        PutRunPixel(w, src + p, bpp, 12);
        w.PutLength(aux);
        break;
      case Tok::kRowCopy: w.Put(static_cast<uint32_t>(254 + len), 12); break;
      case Tok::kSkip: PutSkip(w, len, 12); break;
      case Tok::kDict: w.Put(static_cast<uint32_t>(512 + aux), 12); break;
      case Tok::kWindow: {
        w.Put(static_cast<uint32_t>(1536 + aux), 12);
        w.PutLength(len);
        const int32_t s = dict_seq++;
        DictSlot& e = dict[s & (kDictSlots - 1)];
        int32_t& head = dict_heads[DictHash(src[p], src[p + 1])];
        e = DictSlot{s, head, static_cast<int32_t>(p), len};
        head = s;
        break;
      }
    }
    p += len;
    if (p == n) {
      w.Put(kEndCode, 12);
      if (w.Bytes() > limit) return 0;
      return w.Finish();
    }
    if (w.Bytes() > limit) return 0;
    insert_upto(p);
    col += len;
    if (col >= rb) col %= rb;
  }
  return 0;
}

// ---------------------------------------------------------------- FAST

#if defined(__GNUC__)
#define VEK_HAV_INLINE inline __attribute__((always_inline))
#else
#define VEK_HAV_INLINE inline
#endif

// The FAST encoder is greedy and keeps no state but the position: the token
// at p depends only on the pixels. One step codes the token at p (and the
// end code when it reaches the end) and answers the position after it.
struct FastCoder {
  const uint8_t* src;
  const uint8_t* prev;  // null for a key frame
  int64_t rb, n;
  int32_t bpp;

  // Inlined into each loop, with the fields read into locals: the bytes it
  // stores could otherwise alias them, and every token would reload them.
  VEK_HAV_INLINE int64_t Step(BitWriter& w, int64_t p) const {
    const uint8_t* const src = this->src;
    const uint8_t* const prev = this->prev;
    const int64_t rb = this->rb, n = this->n;
    const int32_t bpp = this->bpp;
    // A run is tried only while the chosen token is shorter than a full run.
    const int32_t run_below = kMaxRunPixels * bpp - 1;
    const int64_t rem = n - p;
    // Cheap tests first: where no token can start, the byte is a literal.
    const bool can_skip = prev && rem >= 2 && src[p] == prev[p] && src[p + 1] == prev[p + 1];
    const bool can_run = rem >= 2 * bpp && src[p] == src[p + bpp];
    const bool can_row = p >= rb && rem >= 2 && src[p] == src[p - rb] && src[p + 1] == src[p + 1 - rb];
    if (!can_skip && !can_run && !can_row) {
      w.Put(0x100u | src[p], 9);
      if (++p == n) w.Put(kEndCode, 10);
      return p;
    }
    Tok kind = Tok::kLiteral;
    int32_t h = 1;
    int32_t aux = 0;
    if (can_skip) {
      h = MatchLen(src + p, prev + p, static_cast<int32_t>(std::min<int64_t>(kMaxSkip, rem)));
      kind = Tok::kSkip;
    }
    if (can_run && h <= run_below) {
      const int32_t px = RunPixels(src + p, bpp, rem);
      if (px >= 2 && px * bpp > h) kind = Tok::kRun, h = px * bpp, aux = px;
    }
    if (can_row && h <= kMaxRowCopyFast) {
      const int32_t m =
          MatchLen(src + p, src + p - rb, static_cast<int32_t>(std::min<int64_t>(kMaxRowCopyFast, rem)));
      if (m >= h) kind = Tok::kRowCopy, h = m;
    }
    switch (kind) {
      case Tok::kRun:
        PutRunPixel(w, src + p, bpp, 10);
        w.PutLength(aux);
        break;
      case Tok::kRowCopy: w.Put(static_cast<uint32_t>(0x80 | (h - 2)), 9); break;
      case Tok::kSkip: PutSkip(w, h, 10); break;
      default: w.Put(0x100u | src[p], 9); break;
    }
    p += h;
    if (p == n) w.Put(kEndCode, 10);
    return p;
  }
};

// Appends bits [from, to) of an MSB-first buffer that has 8 bytes of slack.
void AppendBits(BitWriter& w, const uint8_t* buf, int64_t from, int64_t to) {
  for (int64_t b = from; b < to; b += 32) {
    const uint8_t* q = buf + (b >> 3);
    uint64_t x = 0;
    for (int i = 0; i < 8; ++i) x = x << 8 | q[i];
    const int32_t take = static_cast<int32_t>(std::min<int64_t>(32, to - b));
    const uint32_t v = static_cast<uint32_t>((x << (b & 7)) >> 32);
    w.Put(take == 32 ? v : v >> (32 - take), take);
  }
}

// Bytes per piece below which a strip is coded in one go.
constexpr int64_t kMinPiece = 64 * 1024;
// Token starts kept per piece, from its start, to find where the stream
// coded before it comes in: greedy streams fall into step within a few
// tokens, and past this the joint is coded again.
constexpr int64_t kJoinWindow = 4096;

// One piece of a strip, coded from its first byte as if a token started
// there: the tokens of its first bytes with their bit positions, and where
// its last token ends.
struct FastPiece {
  std::vector<uint8_t> bits;
  std::vector<std::pair<int64_t, int64_t>> starts;  // position, bit
  int64_t total_bits = 0, end = 0;
  bool over = false;
};

// The strip cut into pieces coded side by side, then joined: where the
// stream of the pieces before comes into a piece at one of its token starts,
// the rest of the piece is the same stream; elsewhere the joint is coded
// again until it falls into step. The result is the one-piece stream; -1
// when a piece alone ran over the budget (the caller codes in one go, which
// stops early).
int64_t FastEncodePieces(const FastCoder& fc, int32_t pieces, uint8_t* out, int64_t limit) {
  std::vector<FastPiece> part(static_cast<size_t>(pieces));
  std::vector<int64_t> cut(static_cast<size_t>(pieces) + 1);
  for (int32_t k = 0; k <= pieces; ++k) cut[k] = fc.n * k / pieces;
  for (int32_t k = 0; k < pieces; ++k) {
    // Nine bits per byte at worst, a token reaching past the cut, slack.
    part[k].bits.resize(static_cast<size_t>((cut[k + 1] - cut[k]) * 9 / 8 + 64));
    part[k].starts.reserve(static_cast<size_t>(std::min<int64_t>(kJoinWindow, cut[k + 1] - cut[k])));
  }
  const int64_t piece_limit = limit;
  ParallelFor(pieces, [&](int32_t k) {
    FastPiece& f = part[k];
    BitWriter w(f.bits.data());
    int64_t p = cut[k];
    const int64_t window_end = cut[k] + kJoinWindow;
    while (p < cut[k + 1]) {
      if (p < window_end) f.starts.emplace_back(p, w.BitCount());
      p = fc.Step(w, p);
      if (w.Bytes() > piece_limit) {
        f.over = true;
        return;
      }
    }
    f.total_bits = w.BitCount();
    f.end = p;
    w.Finish();
  });
  for (const FastPiece& f : part)
    if (f.over) return -1;
  BitWriter w(out);
  int64_t p = 0;
  for (int32_t k = 0; k < pieces; ++k) {
    const FastPiece& f = part[k];
    while (p < f.end) {
      const auto it = std::lower_bound(f.starts.begin(), f.starts.end(), std::make_pair(p, int64_t{-1}));
      if (it != f.starts.end() && it->first == p) {
        if ((w.BitCount() + f.total_bits - it->second + 7) / 8 > limit) return 0;
        AppendBits(w, f.bits.data(), it->second, f.total_bits);
        p = f.end;
        break;
      }
      p = fc.Step(w, p);
      if (w.Bytes() > limit) return 0;
    }
  }
  return w.Finish();
}

int64_t FastEncode(const uint8_t* src, uint8_t* out, int64_t capacity, const uint8_t* prev,
                   bool delta, int32_t bpp, int32_t rows, int32_t width) {
  const int64_t rb = int64_t{width} * bpp;
  const int64_t n = rb * rows;
  if (n <= 0 || bpp < 1 || bpp > 3) return 0;
  const int64_t limit = Limit(n, capacity);
  if (limit <= 0) return 0;
  const FastCoder fc{src, delta ? prev : nullptr, rb, n, bpp};
  const int32_t pieces = static_cast<int32_t>(std::min<int64_t>(WorkerCount(), n / kMinPiece));
  if (pieces > 1) {
    try {
      const int64_t coded = FastEncodePieces(fc, pieces, out, limit);
      if (coded >= 0) return coded;
    } catch (const std::bad_alloc&) {
      // No room for the pieces: coded in one go below.
    }
  }
  BitWriter w(out);
  int64_t p = 0;
  while (p < n) {
    p = fc.Step(w, p);
    if (w.Bytes() > limit) return 0;
  }
  return w.Finish();
}

// ---------------------------------------------------------------- bit input

// MSB-first reader. Past the end it delivers zero bits and counts them, so a
// token never needs a bounds test of its own: the caller checks Overrun().
class BitReader {
 public:
  BitReader(const uint8_t* in, int64_t bytes) : in_(in), len_(bytes) {}
  // Afterwards at least 56 bits are available: more than any token needs.
  inline void Refill() {
    if (cnt_ > 56) return;
    if (pos_ + 8 <= len_) {
      uint64_t v = Load64(in_ + pos_);
      v = __builtin_bswap64(v);
      acc_ |= v >> cnt_;
      const int32_t take = (63 - cnt_) >> 3;
      pos_ += take;
      cnt_ += take * 8;
    } else {
      while (cnt_ <= 56) {
        const uint64_t b = pos_ < len_ ? in_[pos_] : 0;
        if (pos_ >= len_) past_ += 8;
        ++pos_;
        acc_ |= b << (56 - cnt_);
        cnt_ += 8;
      }
    }
  }
  inline uint32_t Peek(int32_t bits) const { return static_cast<uint32_t>(acc_ >> (64 - bits)); }
  inline void Skip(int32_t bits) {
    acc_ <<= bits;
    cnt_ -= bits;
  }
  inline uint32_t Get(int32_t bits) {
    const uint32_t v = Peek(bits);
    Skip(bits);
    return v;
  }
  // Length code: 2..767.
  inline int32_t Length() {
    const uint32_t top = Peek(7);
    if (top == 0) return static_cast<int32_t>(Get(16)) + 256;
    const int32_t zeros = __builtin_clz(top) - 25;  // leading zeros within 7 bits
    return static_cast<int32_t>(Get(2 * zeros + 2));
  }
  int32_t Available() const { return cnt_; }
  // True when more bits were taken than the stream holds.
  bool Overrun() const { return past_ > cnt_; }

 private:
  const uint8_t* in_;
  int64_t len_;
  int64_t pos_ = 0;
  uint64_t acc_ = 0;
  int32_t cnt_ = 0;
  int64_t past_ = 0;  // zero bits appended beyond the end
};

// Copies n bytes from t+src to t+dst (src < dst) byte by byte in effect:
// an overlapping source repeats bytes.
inline void CopyForward(uint8_t* t, int64_t src, int64_t dst, int64_t n) {
  if (dst - src >= n) {
    std::memcpy(t + dst, t + src, static_cast<size_t>(n));
  } else if (dst - src == 1) {
    std::memset(t + dst, t[src], static_cast<size_t>(n));
  } else {
    for (int64_t i = 0; i < n; ++i) t[dst + i] = t[src + i];
  }
}

inline void FillRun(uint8_t* d, const uint8_t* px, int32_t bpp, int64_t pixels) {
  if (bpp == 1) {
    std::memset(d, px[0], static_cast<size_t>(pixels));
  } else if (bpp == 2) {
    for (int64_t i = 0; i < pixels; ++i) {
      d[2 * i] = px[0];
      d[2 * i + 1] = px[1];
    }
  } else {
    for (int64_t i = 0; i < pixels; ++i) {
      d[3 * i] = px[0];
      d[3 * i + 1] = px[1];
      d[3 * i + 2] = px[2];
    }
  }
}

inline void ReadRunPixel(BitReader& r, uint32_t low8, int32_t bpp, uint8_t* px) {
  if (bpp == 1) {
    px[0] = static_cast<uint8_t>(low8);
  } else if (bpp == 2) {
    px[1] = static_cast<uint8_t>(low8);
    px[0] = static_cast<uint8_t>(r.Get(8));
  } else {
    px[0] = static_cast<uint8_t>(low8);
    const uint32_t v = r.Get(16);
    px[1] = static_cast<uint8_t>(v);
    px[2] = static_cast<uint8_t>(v >> 8);
  }
}

// The tokens both codecs share, applied at *p; false when broken.
inline bool ApplyRun(BitReader& r, uint32_t low8, int32_t bpp, uint8_t* t, int64_t& p,
                     int64_t n) {
  uint8_t px[3];
  ReadRunPixel(r, low8, bpp, px);
  const int64_t pixels = r.Length();
  if (pixels * bpp > n - p) return false;
  FillRun(t + p, px, bpp, pixels);
  p += pixels * bpp;
  return true;
}

inline bool ApplyRowCopy(uint8_t* t, int64_t& p, int64_t n, int64_t rb, int64_t count) {
  if (p < rb || count > n - p) return false;
  CopyForward(t, p - rb, p, count);
  p += count;
  return true;
}

// Code 448..511 with the strip incomplete: a long skip.
inline bool ApplyEndOrSkip(BitReader& r, uint32_t code, int64_t& p, int64_t n, bool& done) {
  if (p == n) {
    done = true;
    return true;
  }
  const int64_t l = r.Length();
  const int64_t count = l * 64 + (code - 448) - 62;
  if (count > n - p) return false;
  p += count;
  return true;
}

bool DecodeBest(const uint8_t* in, int64_t in_bytes, uint8_t* t, int64_t rb, int32_t bpp,
                int64_t n) {
  int64_t dist[24];
  for (int32_t k = 0; k < 24; ++k) dist[k] = WindowDistance(k, rb);
  int32_t dict_pos[kDictSlots];
  int32_t dict_len[kDictSlots];
  int32_t filled = 0, next = 0;
  BitReader r(in, in_bytes);
  int64_t p = 0;
  bool done = false;
  while (!done) {
    r.Refill();
    const uint32_t c = r.Peek(12);
    if (c >= 3072) {  // literals (11 and the byte), as many as the bits at hand hold
      do {
        if (p >= n) return false;
        t[p++] = static_cast<uint8_t>(r.Get(10));
      } while (r.Available() >= 12 && r.Peek(2) == 3);
    } else if (c < 256) {
      r.Skip(12);
      if (!ApplyRun(r, c, bpp, t, p, n)) return false;
    } else if (c < 384) {
      r.Skip(12);
      if (!ApplyRowCopy(t, p, n, rb, c - 254)) return false;
    } else if (c < 448) {
      r.Skip(12);
      const int64_t count = c - 382;
      if (count > n - p) return false;
      p += count;
    } else if (c < 512) {
      r.Skip(12);
      if (!ApplyEndOrSkip(r, c, p, n, done)) return false;
    } else if (c < 1536) {
      r.Skip(12);
      const uint32_t slot = c - 512;
      if (static_cast<int32_t>(slot) >= filled) return false;
      const int64_t count = dict_len[slot];
      if (count > n - p) return false;
      // Slots hold finished output before p: no overlap.
      std::memcpy(t + p, t + dict_pos[slot], static_cast<size_t>(count));
      p += count;
    } else {
      r.Skip(12);
      const uint32_t d = c - 1536;
      const int64_t count = r.Length();
      const int64_t src = p - dist[d >> 6] + (d & 63);
      if (src < 0 || src >= p || count > n - p) return false;
      CopyForward(t, src, p, count);
      dict_pos[next] = static_cast<int32_t>(p);
      dict_len[next] = static_cast<int32_t>(count);
      next = (next + 1) & (kDictSlots - 1);
      if (filled < kDictSlots) ++filled;
      p += count;
    }
    if (r.Overrun()) return false;
  }
  return true;
}

bool DecodeFast(const uint8_t* in, int64_t in_bytes, uint8_t* t, int64_t rb, int32_t bpp,
                int64_t n) {
  BitReader r(in, in_bytes);
  int64_t p = 0;
  bool done = false;
  while (!done) {
    r.Refill();
    const uint32_t c = r.Peek(10);
    if (c >= 512) {  // literals (1 and the byte), as many as the bits at hand hold
      do {
        if (p >= n) return false;
        t[p++] = static_cast<uint8_t>(r.Get(9));
      } while (r.Available() >= 10 && r.Peek(1) == 1);
    } else if (c < 256) {
      r.Skip(10);
      if (!ApplyRun(r, c, bpp, t, p, n)) return false;
    } else if (c < 384) {  // 010 and c: c + 2 bytes from the row above
      r.Skip(9);
      if (!ApplyRowCopy(t, p, n, rb, ((c >> 1) & 63) + 2)) return false;
    } else if (c < 448) {
      r.Skip(10);
      const int64_t count = c - 382;
      if (count > n - p) return false;
      p += count;
    } else {
      r.Skip(10);
      if (!ApplyEndOrSkip(r, c, p, n, done)) return false;
    }
    if (r.Overrun()) return false;
  }
  return true;
}

bool StripOk(int32_t width, int32_t bpp, int32_t rows, int64_t& rb, int64_t& n) {
  if (width <= 0 || rows <= 0 || bpp < 1 || bpp > 3) return false;
  rb = int64_t{width} * bpp;
  n = rb * rows;
  return n <= INT32_MAX;
}

}  // namespace

int64_t HavBudget(int64_t raw_bytes) {
  return static_cast<int64_t>(std::nearbyint(static_cast<double>(raw_bytes) * 0.95));
}

int64_t HVDCBest(const uint8_t* src, uint8_t* out, int64_t out_capacity, const uint8_t* prev,
                 bool delta, int32_t bytespp, int32_t rows, int32_t width) {
  return Monitored("FF_HAV.HVDCBest", [&] {
    int64_t rb, n;
    if (!StripOk(width, bytespp, rows, rb, n)) return int64_t{0};
    return BestEncode(src, out, out_capacity, prev, delta, bytespp, rows, width);
  });
}

int64_t HVDCFast(const uint8_t* src, uint8_t* out, int64_t out_capacity, const uint8_t* prev,
                 bool delta, int32_t bytespp, int32_t rows, int32_t width) {
  int64_t rb, n;
  if (!StripOk(width, bytespp, rows, rb, n)) return 0;
  return FastEncode(src, out, out_capacity, prev, delta, bytespp, rows, width);
}

bool HavDecodeBest(const uint8_t* in, int64_t in_bytes, uint8_t* target, int32_t width,
                   int32_t bytespp, int32_t rows) {
  int64_t rb, n;
  if (!StripOk(width, bytespp, rows, rb, n) || !in || in_bytes <= 0) return false;
  return DecodeBest(in, in_bytes, target, rb, bytespp, n);
}

bool HavDecodeFast(const uint8_t* in, int64_t in_bytes, uint8_t* target, int32_t width,
                   int32_t bytespp, int32_t rows) {
  int64_t rb, n;
  if (!StripOk(width, bytespp, rows, rb, n) || !in || in_bytes <= 0) return false;
  return DecodeFast(in, in_bytes, target, rb, bytespp, n);
}

void HavPredict(int64_t pixels, uint8_t* __restrict target, const uint8_t* __restrict source) {
  if (pixels <= 0) return;
  const int64_t n = pixels * 3;
  target[0] = source[0];
  target[1] = source[1];
  target[2] = source[2];
  for (int64_t i = 3; i < n; ++i) target[i] = static_cast<uint8_t>(source[i] - source[i - 3]);
}

void HavUnpredict(int64_t pixels, uint8_t* __restrict target, const uint8_t* __restrict source) {
  const int64_t n = pixels * 3;
  int64_t i = 0;
  uint8_t a = 0, b = 0, c = 0;
#if defined(__SSE2__)
  // Five pixels per step: running sums with a stride of three bytes within
  // 15 bytes of a vector (shifts by 3, 6 and 12), plus the last pixel of the
  // step before. The 16th byte stored is rewritten by the next step.
  __m128i carry = _mm_setzero_si128();
  const __m128i low3 = _mm_setr_epi8(-1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  for (; i + 16 <= n; i += 15) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 3));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 6));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 12));
    x = _mm_add_epi8(x, carry);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i), x);
    __m128i t = _mm_and_si128(_mm_srli_si128(x, 12), low3);
    t = _mm_or_si128(t, _mm_slli_si128(t, 3));
    t = _mm_or_si128(t, _mm_slli_si128(t, 6));
    carry = _mm_or_si128(t, _mm_slli_si128(t, 12));
  }
  alignas(16) uint8_t last[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(last), carry);
  a = last[0], b = last[1], c = last[2];
#endif
  for (; i < n; i += 3) {
    a = static_cast<uint8_t>(a + source[i]);
    b = static_cast<uint8_t>(b + source[i + 1]);
    c = static_cast<uint8_t>(c + source[i + 2]);
    target[i] = a;
    target[i + 1] = b;
    target[i + 2] = c;
  }
}

}  // namespace vek
