// libFuzzer target of the HAV strip codecs. The first four bytes choose the
// codec, the pixel size and the strip shape; the rest is used twice: as a
// coded stream for the decoder (which must stay inside its buffers, checked
// with guard bytes and the sanitizers), and as pixels that both encoders
// must code into a stream that decodes back to exactly those pixels, as key
// strip and as delta strip against a changed copy.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/movie/hav_codec.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

bool Decode(bool best, const uint8_t* in, size_t n, uint8_t* t, int w, int bpp, int rows) {
  return best ? vek::HavDecodeBest(in, static_cast<int64_t>(n), t, w, bpp, rows)
              : vek::HavDecodeFast(in, static_cast<int64_t>(n), t, w, bpp, rows);
}

void CheckGuard(const std::vector<uint8_t>& b, size_t from) {
  for (size_t i = from; i < b.size(); ++i)
    if (b[i] != kGuard) std::abort();
}

void RoundTrip(bool best, const std::vector<uint8_t>& src, const std::vector<uint8_t>* prev, int w,
               int bpp, int rows) {
  const size_t n = src.size();
  std::vector<uint8_t> out(static_cast<size_t>(vek::HavCodedCapacity(static_cast<int64_t>(n))) + kGuardBytes, kGuard);
  const int64_t cap = static_cast<int64_t>(out.size() - kGuardBytes);
  const int64_t coded = best ? vek::HVDCBest(src.data(), out.data(), cap, prev ? prev->data() : nullptr,
                                             prev != nullptr, bpp, rows, w)
                             : vek::HVDCFast(src.data(), out.data(), cap, prev ? prev->data() : nullptr,
                                             prev != nullptr, bpp, rows, w);
  CheckGuard(out, static_cast<size_t>(cap));
  if (!vek::ErrNone()) std::abort();
  if (coded == 0) return;  // over budget
  if (coded > vek::HavBudget(static_cast<int64_t>(n))) std::abort();
  std::vector<uint8_t> t = prev ? *prev : std::vector<uint8_t>(n, 0x3C);
  t.resize(n + kGuardBytes, kGuard);
  if (!Decode(best, out.data(), static_cast<size_t>(coded), t.data(), w, bpp, rows)) std::abort();
  CheckGuard(t, n);
  if (std::memcmp(t.data(), src.data(), n) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const bool best = (data[0] & 1) != 0;
  const int bpp = 1 + data[1] % 3;
  const int w = 1 + ((data[2] | (data[0] & 0xF0) << 4) % 700);
  const int rows = 1 + data[3] % 24;
  const size_t n = static_cast<size_t>(w) * bpp * rows;
  const uint8_t* in = data + 4;
  const size_t in_n = size - 4;

  // The input as a coded stream.
  std::vector<uint8_t> t(n + kGuardBytes, kGuard);
  std::memset(t.data(), 0x11, n);
  if (in_n > 0) Decode(best, in, in_n, t.data(), w, bpp, rows);
  CheckGuard(t, n);

  // The input as pixels, repeated to fill the strip: repetition gives the
  // encoders' runs, copies and window matches something to find.
  if (in_n > 0) {
    std::vector<uint8_t> src(n), prev(n);
    for (size_t i = 0; i < n; ++i) src[i] = in[i % in_n];
    for (size_t i = 0; i < n; ++i) prev[i] = (i / 97) % 3 == 0 ? static_cast<uint8_t>(src[i] ^ 0x5A) : src[i];
    RoundTrip(best, src, nullptr, w, bpp, rows);
    RoundTrip(best, src, &prev, w, bpp, rows);
    RoundTrip(!best, src, &prev, w, bpp, rows);
  }
  if (vek::MemCount() != 0 || vek::MonDepth() != 0) std::abort();
  return 0;
}
