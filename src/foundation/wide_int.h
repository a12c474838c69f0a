// A signed 128-bit integer for exact sums of products: the compiler's own
// where it has one, else a pair of 64-bit words (32-bit targets).
#pragma once

#include <cmath>
#include <cstdint>

namespace vek {

// The portable form, also built where the compiler has its own (for tests).
class WideInt128 {
 public:
  constexpr WideInt128() = default;
  constexpr WideInt128(int64_t v) : lo_(static_cast<uint64_t>(v)), hi_(v < 0 ? ~uint64_t{0} : 0) {}

  friend WideInt128 operator+(WideInt128 a, WideInt128 b) {
    WideInt128 r;
    r.lo_ = a.lo_ + b.lo_;
    r.hi_ = a.hi_ + b.hi_ + (r.lo_ < a.lo_ ? 1 : 0);
    return r;
  }
  friend WideInt128 operator-(WideInt128 a) { return WideInt128(0) - a; }
  friend WideInt128 operator-(WideInt128 a, WideInt128 b) {
    WideInt128 r;
    r.lo_ = a.lo_ - b.lo_;
    r.hi_ = a.hi_ - b.hi_ - (a.lo_ < b.lo_ ? 1 : 0);
    return r;
  }
  // Products wrap modulo 2^128, as the built-in type does.
  friend WideInt128 operator*(WideInt128 a, WideInt128 b) {
    uint64_t hi = 0;
    const uint64_t lo = MulFull(a.lo_, b.lo_, hi);
    WideInt128 r;
    r.lo_ = lo;
    r.hi_ = hi + a.hi_ * b.lo_ + a.lo_ * b.hi_;
    return r;
  }
  WideInt128& operator+=(WideInt128 b) { return *this = *this + b; }
  WideInt128& operator-=(WideInt128 b) { return *this = *this - b; }
  bool Negative() const { return (hi_ >> 63) != 0; }

  // Rounded to nearest as the built-in conversion does.
  friend double ToDouble(WideInt128 v) {
    const bool negative = v.Negative();
    if (negative) v = -v;
    double d;
    if (v.hi_ == 0) {
      d = static_cast<double>(v.lo_);
    } else {
      // Keep the top 64 bits with a sticky bit for what falls out below: a
      // double holds 53, so the one rounding is the right one.
      int shift = 64;
      for (uint64_t h = v.hi_; h != 0; h >>= 1) ++shift;
      shift -= 64;
      const uint64_t dropped = shift == 64 ? v.lo_ : (v.lo_ & ((uint64_t{1} << shift) - 1));
      uint64_t top = shift == 64 ? v.hi_ : (v.hi_ << (64 - shift)) | (v.lo_ >> shift);
      if (dropped) top |= 1;
      d = std::ldexp(static_cast<double>(top), shift);
    }
    return negative ? -d : d;
  }

 private:
  static uint64_t MulFull(uint64_t a, uint64_t b, uint64_t& hi) {
    const uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32, b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
    return (mid << 32) | (p00 & 0xFFFFFFFFu);
  }
  uint64_t lo_ = 0, hi_ = 0;
};

#if defined(__SIZEOF_INT128__)
using Int128 = __int128;
inline double ToDouble(Int128 v) { return static_cast<double>(v); }
#else
using Int128 = WideInt128;
#endif

}  // namespace vek
