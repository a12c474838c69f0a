// The portable 128-bit integer against the compiler's own: the palette
// optimiser's spreads must come out the same on 32-bit Windows.
#include <gtest/gtest.h>

#include <random>

#include "foundation/wide_int.h"

#if defined(__SIZEOF_INT128__)
namespace {

using vek::WideInt128;

TEST(WideInt128, SumsProductsAndRoundsLikeTheBuiltInType) {
  std::mt19937_64 rng(12345);
  const int64_t edges[] = {0, 1, -1, INT64_MAX, INT64_MIN, 1LL << 32, -(1LL << 32), 4095};
  auto pick = [&](int i) -> int64_t {
    if (i % 5 == 0) return edges[rng() % 8];
    // Mix magnitudes so that both words and the rounding path get exercised.
    return static_cast<int64_t>(rng()) >> (rng() % 64);
  };
  for (int i = 0; i < 20000; ++i) {
    const int64_t a = pick(i), b = pick(i + 1), c = pick(i + 2), m = pick(i + 3);
    // Wrapping products, as the portable type gives them (unsigned: defined).
    using U = unsigned __int128;
    const __int128 ref = static_cast<__int128>(U(a) * U(b) + U(c) - U(m) * U(m) * U(a));
    const WideInt128 got = WideInt128(a) * WideInt128(b) + WideInt128(c) -
                           WideInt128(m) * WideInt128(m) * WideInt128(a);
    ASSERT_EQ(ToDouble(got), static_cast<double>(ref)) << a << " " << b << " " << c << " " << m;
    WideInt128 acc = 0;
    __int128 acc_ref = 0;
    acc += WideInt128(a) * WideInt128(b);
    acc -= WideInt128(c);
    acc_ref += __int128(a) * b;
    acc_ref -= c;
    ASSERT_EQ(ToDouble(acc), static_cast<double>(acc_ref));
  }
}

TEST(WideInt128, RoundsHalfwayCasesToEven) {
  // 2^64 + 2^11 lies halfway between two doubles; + 1 tips it upward.
  const WideInt128 two64 = WideInt128(1LL << 32) * WideInt128(1LL << 32);
  EXPECT_EQ(ToDouble(two64 + WideInt128(2048)), static_cast<double>((__int128(1) << 64) + 2048));
  EXPECT_EQ(ToDouble(two64 + WideInt128(2049)), static_cast<double>((__int128(1) << 64) + 2049));
  EXPECT_EQ(ToDouble(two64 + WideInt128(6144)), static_cast<double>((__int128(1) << 64) + 6144));
  EXPECT_EQ(ToDouble(-(two64 + WideInt128(2049))), -static_cast<double>((__int128(1) << 64) + 2049));
}

}  // namespace
#endif
