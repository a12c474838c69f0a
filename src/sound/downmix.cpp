// Mixing sound of more than two channels down to stereo or mono (unit
// SndBasic). The matrix is the common one (FFmpeg's default): front channels
// kept, centre and surround at -3 dB into both sides, the low-frequency
// channel left out, every output row scaled so its gains add up to at most
// one, so nothing clips. Gains are 15-bit fixed point with rounding.
#include <bit>
#include <cmath>
#include <cstring>

#include "sound/sound.h"
#include "sound/sound_internal.h"
#include "foundation/errors.h"
#include "foundation/memory.h"

namespace vek {

namespace {

// Speaker bits of the wave channel mask.
constexpr uint32_t kFL = 0x1, kFR = 0x2, kFC = 0x4, kLFE = 0x8, kBL = 0x10, kBR = 0x20,
                   kFLC = 0x40, kFRC = 0x80, kBC = 0x100, kSL = 0x200, kSR = 0x400;
constexpr double kMinus3dB = 0.70710678118654752440;

int Bit(uint32_t b) { return std::countr_zero(b); }

}  // namespace

uint32_t SndDefaultChannelMask(int32_t channels) {
  switch (channels) {
    case 1: return kFC;
    case 2: return kFL | kFR;
    case 3: return kFL | kFR | kLFE;                         // 2.1
    case 4: return kFL | kFR | kFC | kBC;                    // 4.0
    case 5: return kFL | kFR | kFC | kSL | kSR;              // 5.0
    case 6: return kFL | kFR | kFC | kLFE | kSL | kSR;       // 5.1
    case 7: return kFL | kFR | kFC | kLFE | kBC | kSL | kSR;  // 6.1
    case 8: return kFL | kFR | kFC | kLFE | kBL | kBR | kSL | kSR;  // 7.1
    default: return 0;
  }
}

bool SndMixDownMatrix(uint32_t mask, int32_t channels, int32_t out_channels, int32_t* gains) {
  if (channels < 1 || channels > kSndMaxMixChannels || (out_channels != 1 && out_channels != 2))
    return false;
  // A mask that does not name every channel says nothing: the usual layout.
  if (std::popcount(mask) != channels) mask = SndDefaultChannelMask(channels);
  if (std::popcount(mask) != channels) return false;
  const uint32_t out = out_channels == 2 ? kFL | kFR : kFC;
  double m[32][32] = {};  // [output speaker][input speaker]
  for (int i = 0; i < 32; ++i)
    if ((mask & out) >> i & 1) m[i][i] = 1.0;
  const uint32_t rest = mask & ~out;
  if (rest & kFC) {  // only when the output is stereo
    m[Bit(kFL)][Bit(kFC)] += kMinus3dB;
    m[Bit(kFR)][Bit(kFC)] += kMinus3dB;
  }
  if (rest & kFL) {  // only when the output is mono
    m[Bit(kFC)][Bit(kFL)] += kMinus3dB;
    m[Bit(kFC)][Bit(kFR)] += kMinus3dB;
    if (mask & kFC) m[Bit(kFC)][Bit(kFC)] = kMinus3dB * std::sqrt(2.0);
  }
  if (rest & kBC) {
    if (out & kFL) {
      m[Bit(kFL)][Bit(kBC)] += kMinus3dB * kMinus3dB;
      m[Bit(kFR)][Bit(kBC)] += kMinus3dB * kMinus3dB;
    } else {
      m[Bit(kFC)][Bit(kBC)] += kMinus3dB * kMinus3dB;
    }
  }
  for (const auto& [l, r] : {std::pair{kBL, kBR}, std::pair{kSL, kSR}}) {
    if (!(rest & l)) continue;
    if (out & kFL) {
      m[Bit(kFL)][Bit(l)] += kMinus3dB;
      m[Bit(kFR)][Bit(r)] += kMinus3dB;
    } else {
      m[Bit(kFC)][Bit(l)] += kMinus3dB * kMinus3dB;
      m[Bit(kFC)][Bit(r)] += kMinus3dB * kMinus3dB;
    }
  }
  if (rest & kFLC) {
    if (out & kFL) {
      m[Bit(kFL)][Bit(kFLC)] += 1.0;
      m[Bit(kFR)][Bit(kFRC)] += 1.0;
    } else {
      m[Bit(kFC)][Bit(kFLC)] += kMinus3dB;
      m[Bit(kFC)][Bit(kFRC)] += kMinus3dB;
    }
  }
  // The rows of the output speakers, in the input's channel order.
  int rows[2] = {Bit(out & (0u - out)), out_channels == 2 ? Bit(kFR) : 0};
  double sum_max = 0;
  for (int o = 0; o < out_channels; ++o) {
    double sum = 0;
    for (int i = 0; i < 32; ++i) sum += std::fabs(m[rows[o]][i]);
    sum_max = std::max(sum_max, sum);
  }
  const double scale = sum_max > 1.0 ? 1.0 / sum_max : 1.0;
  for (int o = 0; o < out_channels; ++o) {
    int c = 0;
    for (int i = 0; i < 32; ++i) {
      if (!(mask >> i & 1)) continue;
      gains[o * channels + c] = static_cast<int32_t>(std::lrint(m[rows[o]][i] * scale * 32768.0));
      ++c;
    }
  }
  return true;
}

void SndMixDown(const int16_t* in, int64_t frames, int32_t channels, const int32_t* gains,
                int32_t out_channels, int16_t* out) {
  // Every output frame is computed before it is stored, so `out` may be `in`.
  for (int64_t f = 0; f < frames; ++f) {
    const int16_t* s = in + f * channels;
    int16_t mixed[2] = {};
    for (int32_t o = 0; o < out_channels && o < 2; ++o) {
      int64_t v = 0;
      const int32_t* g = gains + o * channels;
      for (int32_t c = 0; c < channels; ++c) v += int64_t(s[c]) * g[c];
      v = (v + 16384) >> 15;
      mixed[o] = static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
    }
    for (int32_t o = 0; o < out_channels && o < 2; ++o) out[f * out_channels + o] = mixed[o];
  }
}

void SndMixDown(const int32_t* in, int64_t frames, int32_t channels, const int32_t* gains,
                int32_t out_channels, int16_t* out) {
  for (int64_t f = 0; f < frames; ++f) {
    const int32_t* s = in + f * channels;
    for (int32_t o = 0; o < out_channels && o < 2; ++o) {
      int64_t v = 0;
      const int32_t* g = gains + o * channels;
      for (int32_t c = 0; c < channels; ++c) v += int64_t(s[c]) * g[c];
      v = (v + (int64_t(1) << 30)) >> 31;
      out[f * out_channels + o] = static_cast<int16_t>(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
    }
  }
}

bool SndLayoutIsDefault(uint32_t mask, int32_t channels) {
  int32_t a[2 * kSndMaxMixChannels], b[2 * kSndMaxMixChannels];
  for (int32_t out = 1; out <= 2; ++out) {
    if (!SndMixDownMatrix(mask, channels, out, a) || !SndMixDownMatrix(0, channels, out, b))
      return false;
    if (std::memcmp(a, b, sizeof(int32_t) * size_t(out) * size_t(channels)) != 0) return false;
  }
  return true;
}

}  // namespace vek
