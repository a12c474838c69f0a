// Depth conversion between 8, 15, 16, 24 and 32 bits per pixel.
#include <bit>
#include <cstring>
#include <type_traits>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "image/palette.h"
#include "image/image_internal.h"
#include "foundation/byte_fields.h"

// The pixel loops here are written for the vectoriser; GCC only applies it
// with its full cost model from -O3 on.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif

// On x86-64 ELF builds the conversion loops are compiled twice, for AVX2 and
// for the baseline, and the loader picks one; the loops are inlined into
// both copies.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__ELF__)
#include <immintrin.h>
#define VEK_X86_DISPATCH 1
#define VEK_CLONES __attribute__((target_clones("avx2", "default")))
#define VEK_INLINE inline __attribute__((always_inline))
#else
#define VEK_X86_DISPATCH 0
#define VEK_CLONES
#define VEK_INLINE inline
#endif

namespace vek {

namespace img {

namespace {

// Every pixel format is decoded to blue, green, red bytes and encoded from
// them; the loops are templated on both so each pair compiles to one tight
// loop without calls.


struct Bgr {
  uint32_t b, g, r;
};

// Expansion from 5 or 6 bits leaves the low bits 0.
struct From15 {
  static constexpr int kBytes = 2;
  Bgr operator()(const uint8_t* p) const {
    const uint32_t w = Get16(p);
    return {(w << 3) & 0xFF, ((w >> 5) << 3) & 0xFF, (w >> 7) & 0xF8};
  }
};
struct From16 {
  static constexpr int kBytes = 2;
  Bgr operator()(const uint8_t* p) const {
    const uint32_t w = Get16(p);
    return {(w << 3) & 0xFF, ((w >> 5) << 2) & 0xFF, (w >> 8) & 0xF8};
  }
};
struct From24 {
  static constexpr int kBytes = 3;
  Bgr operator()(const uint8_t* p) const { return {p[0], p[1], p[2]}; }
};
struct From32 {
  static constexpr int kBytes = 4;
  Bgr operator()(const uint8_t* p) const { return {p[0], p[1], p[2]}; }
};
// Grey levels take 5 and 6-bit channels with their low bits filled.
struct Grey15 {
  static constexpr int kBytes = 2;
  Bgr operator()(const uint8_t* p) const {
    const uint32_t w = Get16(p);
    return {((w & 0x1F) << 3) | 7, (((w >> 5) & 0x1F) << 3) | 0x0E, (((w >> 10) & 0x1F) << 3) | 7};
  }
};
struct Grey16 {
  static constexpr int kBytes = 2;
  Bgr operator()(const uint8_t* p) const {
    const uint32_t w = Get16(p);
    return {((w & 0x1F) << 3) | 7, (((w >> 5) & 0x3F) << 2) | 6, (((w >> 11) & 0x1F) << 3) | 7};
  }
};

struct To15 {
  static constexpr int kBytes = 2;
  void operator()(uint8_t* p, Bgr c) const {
    Put16(p, ((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3));
  }
};
struct To16 {
  static constexpr int kBytes = 2;
  void operator()(uint8_t* p, Bgr c) const {
    Put16(p, ((c.r >> 3) << 11) | ((c.g >> 2) << 5) | (c.b >> 3));
  }
};
struct To24 {
  static constexpr int kBytes = 3;
  void operator()(uint8_t* p, Bgr c) const {
    p[0] = static_cast<uint8_t>(c.b);
    p[1] = static_cast<uint8_t>(c.g);
    p[2] = static_cast<uint8_t>(c.r);
  }
};
struct To32 {
  static constexpr int kBytes = 4;
  void operator()(uint8_t* p, Bgr c) const {
    p[0] = static_cast<uint8_t>(c.b);
    p[1] = static_cast<uint8_t>(c.g);
    p[2] = static_cast<uint8_t>(c.r);
    p[3] = 0;
  }
};

template <class Dec, class Enc>
VEK_INLINE void Loop(const uint8_t* __restrict in, uint8_t* __restrict out, int64_t n) {
  const Dec dec;
  const Enc enc;
  for (int64_t i = 0; i < n; ++i) enc(out + Enc::kBytes * i, dec(in + Dec::kBytes * i));
}

// 24 -> 32 bits, four pixels at a time: whole-word loads and stores instead
// of byte gathers. With SSSE3 one byte shuffle does four pixels.
void Pack24To32(const uint8_t* __restrict in, uint8_t* __restrict out, int64_t n) {
  int64_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 4 <= n; i += 4) {
      uint32_t l[3];
      std::memcpy(l, in + 3 * i, 12);
      const uint32_t px[4] = {l[0] & 0xFFFFFF, (l[0] >> 24) | ((l[1] << 8) & 0xFFFF00),
                              (l[1] >> 16) | ((l[2] << 16) & 0xFF0000), l[2] >> 8};
      std::memcpy(out + 4 * i, px, 16);
    }
  }
  for (; i < n; ++i) To32()(out + 4 * i, From24()(in + 3 * i));
}

#if VEK_X86_DISPATCH
__attribute__((target("ssse3"))) void Pack24To32Ssse3(const uint8_t* __restrict in,
                                                      uint8_t* __restrict out, int64_t n) {
  const __m128i order = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  int64_t i = 0;
  // Each load reads 16 bytes for 4 pixels: stop while 6 pixels remain.
  for (; i + 6 <= n; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_shuffle_epi8(v, order));
  }
  Pack24To32(in + 3 * i, out + 4 * i, n - i);
}
#endif

template <class Dec>
VEK_INLINE void ToDepth(const uint8_t* in, uint8_t* out, int64_t n, int32_t bits) {
  if constexpr (std::is_same_v<Dec, From24>) {
    if (bits == 32) {
#if VEK_X86_DISPATCH
      static const bool ssse3 = __builtin_cpu_supports("ssse3");
      if (ssse3) {
        Pack24To32Ssse3(in, out, n);
        return;
      }
#endif
      Pack24To32(in, out, n);
      return;
    }
  }
  switch (bits) {
    case 15: Loop<Dec, To15>(in, out, n); break;
    case 16: Loop<Dec, To16>(in, out, n); break;
    case 24: Loop<Dec, To24>(in, out, n); break;
    case 32: Loop<Dec, To32>(in, out, n); break;
    default: break;
  }
}

template <class Dec>
VEK_INLINE void ToGrey(const uint8_t* __restrict in, uint8_t* __restrict out, int64_t n) {
  // Quotient table: one lookup instead of a division per pixel.
  uint8_t third[768];
  for (int i = 0; i < 768; ++i) third[i] = static_cast<uint8_t>(i / 3);
  const Dec dec;
  for (int64_t i = 0; i < n; ++i) {
    const Bgr c = dec(in + Dec::kBytes * i);
    out[i] = third[c.b + c.g + c.r];
  }
}

// 8-bit sources: a table per palette entry, then one lookup per pixel.
void FromPalette(const QImg* src, uint8_t* __restrict out, int64_t n, int32_t bits) {
  const uint8_t* __restrict in = src->pixels;
  const uint8_t* pal = src->palette;
  if (bits == 15 || bits == 16) {
    uint16_t words[256];
    for (int i = 0; i < 256; ++i) {
      const Bgr c{pal[3 * i], pal[3 * i + 1], pal[3 * i + 2]};
      uint8_t w[2];
      if (bits == 15)
        To15()(w, c);
      else
        To16()(w, c);
      words[i] = static_cast<uint16_t>(Get16(w));
    }
    for (int64_t i = 0; i < n; ++i) Put16(out + 2 * i, words[in[i]]);
  } else if (bits == 24) {
    for (int64_t i = 0; i < n; ++i) std::memcpy(out + 3 * i, pal + 3 * in[i], 3);
  } else if (bits == 32) {
    uint32_t quads[256];
    for (int i = 0; i < 256; ++i) {
      uint8_t q[4] = {pal[3 * i], pal[3 * i + 1], pal[3 * i + 2], 0};
      std::memcpy(&quads[i], q, 4);
    }
    for (int64_t i = 0; i < n; ++i) std::memcpy(out + 4 * i, &quads[in[i]], 4);
  }
}

// All pixel loops but the palette lookups, in one function so that each
// machine-specific copy inlines them all.
VEK_CLONES void RunLoops(int32_t from, int32_t to, const uint8_t* in, uint8_t* out, int64_t n) {
  if (to == 8) {
    switch (from) {
      case 15: ToGrey<Grey15>(in, out, n); break;
      case 16: ToGrey<Grey16>(in, out, n); break;
      case 24: ToGrey<From24>(in, out, n); break;
      case 32: ToGrey<From32>(in, out, n); break;
      default: break;
    }
    return;
  }
  switch (from) {
    case 15: ToDepth<From15>(in, out, n, to); break;
    case 16: ToDepth<From16>(in, out, n, to); break;
    case 24: ToDepth<From24>(in, out, n, to); break;
    case 32: ToDepth<From32>(in, out, n, to); break;
    default: break;
  }
}

}  // namespace

void ConvertPixels(const QImg* src, QImg* dst, int32_t palette_mode) {
  const int64_t n = int64_t{src->width} * src->height;
  const int32_t bits = dst->bits;
  if (bits == 8) {
    // Only grey levels are made here; the caller refuses the other modes.
    (void)palette_mode;
    for (int i = 0; i < 256; ++i)
      dst->palette[3 * i] = dst->palette[3 * i + 1] = dst->palette[3 * i + 2] =
          static_cast<uint8_t>(i);
  }
  if (src->bits == 8)
    FromPalette(src, dst->pixels, n, bits);
  else
    RunLoops(src->bits, bits, src->pixels, dst->pixels, n);
}

}  // namespace img

namespace {

bool GreyMode(int32_t palette_mode) { return palette_mode == 2 || palette_mode == 4; }

// Conversion to 8 bits other than grey levels goes through the palette
// optimiser: mode 1 dithers by error diffusion, any other mode maps plainly.
int32_t RemapMode(int32_t palette_mode) { return palette_mode == 1 ? 2 : 0; }

}  // namespace

void ImgConvBppEx(QImg* source, QImg* destination, int32_t bits, int32_t palette_mode) {
  Monitored("ImgBasic.ImgConvBppEx", [&] {
    img::CheckImage(source, 1);
    if (ImgBytesPP(bits) == 0) ErrRaise(kGrpImage, kImgUnsupported, 2);  // "Image format not supported."
    if (!destination || destination == source) {
      if (source->bits == bits) return;
      if (bits == 8 && !GreyMode(palette_mode)) {
        QImg temp{};
        ImgGuard guard_temp(temp);
        ConvTo8bit(source, &temp, RemapMode(palette_mode));
        ImgXchg(source, &temp);
        ImgFree(&temp);
        return;
      }
      QImg temp{};
      ImgGuard guard_temp(temp);
      _imgalloc_(&temp, source->width, source->height, bits, 4, "ImgBasic.ImgConvBppEx.ih_temp");
      // The record keeps its palette unless the conversion makes a new one.
      std::memcpy(temp.palette, source->palette, kPaletteBytes);
      img::ConvertPixels(source, &temp, palette_mode);
      ImgXchg(source, &temp);
      ImgFree(&temp);
      return;
    }
    if (source->bits == bits) {
      ImgCopy(source, destination);
      return;
    }
    if (bits == 8 && !GreyMode(palette_mode)) {
      ConvTo8bit(source, destination, RemapMode(palette_mode));
      return;
    }
    _imgalloc_(destination, source->width, source->height, bits, 6,
               "ImgBasic.ImgConvBppEx.dest");
    img::ConvertPixels(source, destination, palette_mode);
  });
}

void ImgConvBpp(QImg* source, QImg* destination, int32_t bits) {
  Monitored("ImgBasic.ImgConvBpp", [&] { ImgConvBppEx(source, destination, bits, 0); });
}

}  // namespace vek
