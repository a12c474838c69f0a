#include "codecs/libjpeg/mjpeg_frame.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "codecs/libjpeg/jpeg_codec.h"
#include "foundation/workers.h"

// libjpeg's optimal Huffman table from symbol counts (exported, declared
// only in its internal headers).
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace vek {

namespace {

// libavcodec's Motion JPEG quantiser: MPEG-1's default intra matrix (in
// natural order) times the scale over 8, one table for all components, and
// a fixed DC step of 8.
constexpr uint8_t kMpegIntra[64] = {
    8,  16, 19, 22, 26, 27, 29, 34, 16, 16, 22, 24, 27, 29, 34, 37,
    19, 22, 26, 27, 29, 34, 34, 38, 22, 22, 26, 27, 29, 34, 37, 40,
    22, 26, 27, 29, 32, 35, 40, 48, 26, 27, 29, 32, 35, 40, 48, 58,
    26, 27, 29, 34, 38, 46, 56, 69, 27, 29, 35, 38, 46, 56, 69, 83};
constexpr int kDcStep = 8;
// AC coefficients are rounded toward zero with a bias of about 3/8 of a
// step, as libavcodec does: small coefficients, mostly noise, drop to zero,
// which saves a tenth of the size at the same fidelity against libjpeg's
// rounding to the nearest. Just under 3/8, so that frames come out no larger
// than libavcodec's at the same fidelity.
constexpr float kAcBias = 0.36f;

// The hot loops are built twice where the system picks a version per
// processor (ELF ifuncs): for AVX2, and for the baseline. GCC only: clang
// (the fuzz builds) cannot clone templates.
#if defined(__linux__) && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VEK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VEK_VECTOR_CLONES
#endif
// What the cloned loops call is built into each clone.
#if defined(__GNUC__)
#define VEK_INLINE inline __attribute__((always_inline))
#else
#define VEK_INLINE inline
#endif

struct ErrorJump {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  JpegSetLastMessage(text);
  std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
}

void OutputMessage(j_common_ptr) {}

// Eight 8-point forward DCTs side by side, one down each column of a
// row-major 8x8 block (Arai, Agui and Nakajima's flow graph, as libjpeg's
// floating-point transform): the columns are independent, so the compiler
// runs them in vector lanes. The outputs come scaled by 8 * kAan[u] *
// kAan[v] over a whole block, which the quantiser folds in.
VEK_INLINE void Dct8Columns(float* d) {
  for (int j = 0; j < 8; ++j) {
    float* c = d + j;
    const float t0 = c[0] + c[56], t7 = c[0] - c[56];
    const float t1 = c[8] + c[48], t6 = c[8] - c[48];
    const float t2 = c[16] + c[40], t5 = c[16] - c[40];
    const float t3 = c[24] + c[32], t4 = c[24] - c[32];
    // Even part.
    float t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    c[0] = t10 + t11;
    c[32] = t10 - t11;
    const float z1 = (t12 + t13) * 0.707106781f;
    c[16] = t13 + z1;
    c[48] = t13 - z1;
    // Odd part.
    t10 = t4 + t5;
    t11 = t5 + t6;
    t12 = t6 + t7;
    const float z5 = (t10 - t12) * 0.382683433f;
    const float z2 = 0.541196100f * t10 + z5;
    const float z4 = 1.306562965f * t12 + z5;
    const float z3 = t11 * 0.707106781f;
    const float z11 = t7 + z3, z13 = t7 - z3;
    c[40] = z13 + z2;
    c[24] = z13 - z2;
    c[8] = z11 + z4;
    c[56] = z11 - z4;
  }
}

// Zigzag position -> natural index, as the entropy coder walks a block.
constexpr uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22,
    15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// For each row of a block and each set of its nonzero coefficients (one bit
// a column), those coefficients' bits by zigzag position.
struct ZigzagRows {
  uint64_t bits[8][256];
  ZigzagRows() {
    uint8_t pos[64];
    for (int z = 0; z < 64; ++z) pos[kZigzag[z]] = static_cast<uint8_t>(z);
    for (int v = 0; v < 8; ++v)
      for (int m = 0; m < 256; ++m) {
        uint64_t b = 0;
        for (int u = 0; u < 8; ++u)
          if (m >> u & 1) b |= uint64_t{1} << pos[v * 8 + u];
        bits[v][m] = b;
      }
  }
};
const ZigzagRows kZigzagRows;

// The scale of each output of Dct8: 1, then cos(k pi / 16) * sqrt 2.
constexpr double kAan[8] = {1.0, 1.387039845, 1.306562965, 1.175875602,
                            1.0, 0.785694958, 0.541196100, 0.275899379};

// Transforms and quantises one 8x8 block of samples (rows `stride` apart)
// into natural order; answers the block's nonzero AC coefficients by zigzag
// position, for the Huffman statistics. The block is loaded turned over and
// turned back between the passes, so that both run down columns.
VEK_INLINE uint64_t CodeBlock(const uint8_t* p, int64_t stride, const float* recip, JCOEF* out) {
  float d[64], t[64];
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) d[x * 8 + y] = static_cast<float>(p[y * stride + x]) - 128.0f;
  Dct8Columns(d);
  for (int u = 0; u < 8; ++u)
    for (int y = 0; y < 8; ++y) t[y * 8 + u] = d[u * 8 + y];
  Dct8Columns(t);
  for (int k = 0; k < 64; ++k) {
    const float a = std::fabs(t[k]) * recip[k] + (k == 0 ? 0.5f : kAcBias);
    const int l = static_cast<int>(a);
    out[k] = static_cast<JCOEF>(t[k] < 0 ? -l : l);
  }
  uint8_t rows[8];
  for (int v = 0; v < 8; ++v) {
#if defined(__SSE2__)
    const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out + v * 8));
    const __m128i zero = _mm_cmpeq_epi16(row, _mm_setzero_si128());
    rows[v] = static_cast<uint8_t>(~_mm_movemask_epi8(_mm_packs_epi16(zero, zero)));
#else
    unsigned m = 0;
    for (int u = 0; u < 8; ++u) m |= unsigned{out[v * 8 + u] != 0} << u;
    rows[v] = static_cast<uint8_t>(m);
#endif
  }
  rows[0] &= 0xFE;  // the DC is coded apart
  uint64_t nonzero = 0;
  for (int v = 0; v < 8; ++v) nonzero |= kZigzagRows.bits[v][rows[v]];
  return nonzero;
}

}  // namespace

struct MjpegFrameEncoder::State {
  jpeg_compress_struct c{};
  ErrorJump err{};
  jpeg_destination_mgr dest{};
  bool ready = false;
  int32_t width = 0, height = 0;
  int32_t pw = 0, ph = 0;  // padded to whole 16x16 macroblocks
  float recip[64] = {};
  // Planes of the frame: luma, then both chroma at half size.
  std::vector<uint8_t> y, cb, cr;
  std::vector<uint64_t> nonzero[3];  // per block, by zigzag position
  // The frame being written: grown by the library's callbacks with
  // realloc, since nothing in them may throw.
  uint8_t* out = nullptr;
  size_t capacity = 0, length = 0;

  ~State() {
    if (ready) jpeg_destroy_compress(&c);
    std::free(out);
  }
};

namespace {

MjpegFrameEncoder::State* StateOf(j_compress_ptr c) {
  return static_cast<MjpegFrameEncoder::State*>(c->client_data);
}

void InitDestination(j_compress_ptr c) {
  auto* s = StateOf(c);
  s->dest.next_output_byte = s->out;
  s->dest.free_in_buffer = s->capacity;
}

boolean EmptyOutput(j_compress_ptr c) {
  auto* s = StateOf(c);
  const size_t grown = s->capacity * 2;
  auto* p = static_cast<uint8_t*>(std::realloc(s->out, grown));
  if (!p) {
    JpegSetLastMessage("Insufficient memory");
    std::longjmp(s->err.jump, 1);
  }
  s->out = p;
  // The library hands the buffer back whole when it is full.
  s->dest.next_output_byte = p + s->capacity;
  s->dest.free_in_buffer = grown - s->capacity;
  s->capacity = grown;
  return TRUE;
}

void TermDestination(j_compress_ptr c) {
  auto* s = StateOf(c);
  s->length = s->capacity - s->dest.free_in_buffer;
}

bool Setup(MjpegFrameEncoder::State& s, int scale) {
  if (setjmp(s.err.jump)) return false;
  jpeg_create_compress(&s.c);
  s.ready = true;
  s.c.client_data = &s;
  s.dest.init_destination = InitDestination;
  s.dest.empty_output_buffer = EmptyOutput;
  s.dest.term_destination = TermDestination;
  s.c.dest = &s.dest;
  s.c.image_width = static_cast<JDIMENSION>(s.width);
  s.c.image_height = static_cast<JDIMENSION>(s.height);
  s.c.input_components = 3;
  s.c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&s.c);  // YCbCr 4:2:0
  // Frames carry no JFIF marker, as libavcodec's Motion JPEG frames in AVI
  // have none: the stream header says what they are.
  s.c.write_JFIF_header = FALSE;
  unsigned table[64];
  table[0] = kDcStep;
  for (int i = 1; i < 64; ++i) table[i] = std::clamp((kMpegIntra[i] * scale) >> 3, 1, 255);
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u)
      s.recip[v * 8 + u] = static_cast<float>(1.0 / (table[v * 8 + u] * 8.0 * kAan[u] * kAan[v]));
  jpeg_add_quant_table(&s.c, 0, table, 100, TRUE);
  for (int i = 0; i < s.c.num_components; ++i) s.c.comp_info[i].quant_tbl_no = 0;
  // The Huffman tables are ours, made for each frame (libjpeg's own
  // statistics pass is several times slower).
  s.c.optimize_coding = FALSE;
  return true;
}

// Full-range BT.601 (JFIF) in 16-bit fixed point, as libjpeg converts.
constexpr int32_t kYr = 19595, kYg = 38470, kYb = 7471;
constexpr int32_t kBr = -11059, kBg = -21709, kBb = 32768;
constexpr int32_t kRr = 32768, kRg = -27439, kRb = -5329;

uint8_t Clamp8(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// One 2x2 square: four luma samples, and the chroma of their mean colour.
template <int kPx>
VEK_INLINE void Square(const uint8_t* a0, const uint8_t* b0, const uint8_t* a1, const uint8_t* b1,
                   uint8_t* y0, uint8_t* y1, uint8_t* cb, uint8_t* cr) {
  const int32_t B0 = a0[0], G0 = a0[1], R0 = a0[2], B1 = b0[0], G1 = b0[1], R1 = b0[2];
  const int32_t B2 = a1[0], G2 = a1[1], R2 = a1[2], B3 = b1[0], G3 = b1[1], R3 = b1[2];
  y0[0] = static_cast<uint8_t>((kYr * R0 + kYg * G0 + kYb * B0 + 32768) >> 16);
  y0[1] = static_cast<uint8_t>((kYr * R1 + kYg * G1 + kYb * B1 + 32768) >> 16);
  y1[0] = static_cast<uint8_t>((kYr * R2 + kYg * G2 + kYb * B2 + 32768) >> 16);
  y1[1] = static_cast<uint8_t>((kYr * R3 + kYg * G3 + kYb * B3 + 32768) >> 16);
  const int32_t sb = B0 + B1 + B2 + B3, sg = G0 + G1 + G2 + G3, sr = R0 + R1 + R2 + R3;
  *cb = Clamp8((kBr * sr + kBg * sg + kBb * sb + (128 << 18) + (1 << 17)) >> 18);
  *cr = Clamp8((kRr * sr + kRg * sg + kRb * sb + (128 << 18) + (1 << 17)) >> 18);
}

// The frame into planes padded to whole macroblocks by repeating the last
// column and row; chroma from the mean colour of each 2x2 square.
// Rows y0 to y1 (even) of the padded planes.
template <int kPx>
VEK_VECTOR_CLONES void ToPlanes(MjpegFrameEncoder::State& s, const uint8_t* top, int64_t stride,
                                int32_t first, int32_t last) {
  const int32_t w = s.width, h = s.height, pw = s.pw, cw = pw / 2;
  const int32_t inner = (w - 1) / 2 * 2;  // squares wholly inside the picture
  for (int32_t y = first; y < last; y += 2) {
    const uint8_t* r0 = top + std::min(y, h - 1) * stride;
    const uint8_t* r1 = top + std::min(y + 1, h - 1) * stride;
    uint8_t* y0 = s.y.data() + int64_t(y) * pw;
    uint8_t* y1 = y0 + pw;
    uint8_t* cb = s.cb.data() + int64_t(y / 2) * cw;
    uint8_t* cr = s.cr.data() + int64_t(y / 2) * cw;
    int32_t x = 0;
    // Inside the picture: luma of each row, then the chroma of the squares,
    // as plain loops the vectoriser takes.
    for (int32_t i = 0; i < inner; ++i) {
      const uint8_t* a = r0 + int64_t(i) * kPx;
      const uint8_t* b = r1 + int64_t(i) * kPx;
      y0[i] = static_cast<uint8_t>((kYr * a[2] + kYg * a[1] + kYb * a[0] + 32768) >> 16);
      y1[i] = static_cast<uint8_t>((kYr * b[2] + kYg * b[1] + kYb * b[0] + 32768) >> 16);
    }
    for (int32_t i = 0; i < inner / 2; ++i) {
      const uint8_t* a = r0 + int64_t(i) * 2 * kPx;
      const uint8_t* b = r1 + int64_t(i) * 2 * kPx;
      const int32_t sb = a[0] + a[kPx] + b[0] + b[kPx];
      const int32_t sg = a[1] + a[kPx + 1] + b[1] + b[kPx + 1];
      const int32_t sr = a[2] + a[kPx + 2] + b[2] + b[kPx + 2];
      cb[i] = Clamp8((kBr * sr + kBg * sg + kBb * sb + (128 << 18) + (1 << 17)) >> 18);
      cr[i] = Clamp8((kRr * sr + kRg * sg + kRb * sb + (128 << 18) + (1 << 17)) >> 18);
    }
    x = inner;
    for (; x < pw; x += 2) {
      const int64_t a = int64_t(std::min(x, w - 1)) * kPx;
      const int64_t b = int64_t(std::min(x + 1, w - 1)) * kPx;
      Square<kPx>(r0 + a, r0 + b, r1 + a, r1 + b, y0 + x, y1 + x, cb + x / 2, cr + x / 2);
    }
  }
}

VEK_VECTOR_CLONES
void CodeRow(const uint8_t* p, int64_t stride, JDIMENSION blocks, const float* recip,
             JBLOCKROW out, uint64_t* nonzero) {
  for (JDIMENSION bx = 0; bx < blocks; ++bx)
    nonzero[bx] = CodeBlock(p + bx * 8, stride, recip, out[bx]);
}

// The magnitude category of a value: its bit count.
inline int Bits(int v) {
  const unsigned a = static_cast<unsigned>(v < 0 ? -v : v);
  return a ? 32 - __builtin_clz(a) : 0;
}

// Symbol counts of the blocks as the entropy coder will meet them, for
// Huffman tables made for this frame (libavcodec makes them too; a tenth
// smaller than the standard ones on small frames). Blocks go in MCU order,
// each component's DC predicted from its last block; past the picture's
// last block column or row of a macroblock the coder inserts blocks of no
// AC and the last DC, counted here the same way.
struct Statistics {
  long dc[2][257] = {};
  long ac[2][257] = {};
  int last_dc[3] = {};

  void Count(int ci, const JCOEF* b, uint64_t nonzero) {
    const int t = ci == 0 ? 0 : 1;
    const int diff = b[0] - last_dc[ci];
    last_dc[ci] = b[0];
    ++dc[t][Bits(diff)];
    int at = 0;  // zigzag position of the last coded coefficient
    while (nonzero) {
      const int z = __builtin_ctzll(nonzero);
      nonzero &= nonzero - 1;
      int run = z - at - 1;
      for (; run > 15; run -= 16) ++ac[t][0xF0];
      ++ac[t][(run << 4) + Bits(b[kZigzag[z]])];
      at = z;
    }
    if (at < 63) ++ac[t][0];
  }
  void Dummy(int ci) {
    ++dc[ci == 0 ? 0 : 1][0];
    ++ac[ci == 0 ? 0 : 1][0];
  }
  void Add(const Statistics& o) {
    for (int t = 0; t < 2; ++t)
      for (int i = 0; i < 257; ++i) dc[t][i] += o.dc[t][i], ac[t][i] += o.ac[t][i];
  }
};

// Macroblock rows per piece of work handed to the threads.
constexpr JDIMENSION kBandRows = 4;

bool Run(MjpegFrameEncoder::State& s, const uint8_t* top, int64_t stride, int bits) {
  jvirt_barray_ptr arrays[3] = {};
  if (setjmp(s.err.jump)) {
    jpeg_abort_compress(&s.c);
    return false;
  }
  const JDIMENSION cols[3] = {JDIMENSION(s.pw / 8), JDIMENSION(s.pw / 16), JDIMENSION(s.pw / 16)};
  const JDIMENSION rows[3] = {JDIMENSION(s.ph / 8), JDIMENSION(s.ph / 16), JDIMENSION(s.ph / 16)};
  for (int i = 0; i < 3; ++i)
    arrays[i] = (*s.c.mem->request_virt_barray)(reinterpret_cast<j_common_ptr>(&s.c), JPOOL_IMAGE,
                                                FALSE, cols[i], rows[i], rows[i]);
  // Realises the arrays and writes the headers; the blocks are read when
  // the compression finishes.
  jpeg_write_coefficients(&s.c, arrays);
  const uint8_t* planes[3] = {s.y.data(), s.cb.data(), s.cr.data()};
  const int64_t strides[3] = {s.pw, s.pw / 2, s.pw / 2};
  JBLOCKARRAY blocks[3];
  for (int i = 0; i < 3; ++i)
    blocks[i] = (*s.c.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&s.c), arrays[i], 0,
                                               rows[i], TRUE);
  // Bands of macroblock rows go to the threads: colour and transform, then
  // the symbol counts, each band's DC predicted from the last blocks of the band
  // above (known once every block is transformed). The counts add up to
  // those of one pass.
  const JDIMENSION mb_rows = rows[1];
  const int32_t bands = static_cast<int32_t>((mb_rows + kBandRows - 1) / kBandRows);
  const auto band_rows = [&](int32_t b, JDIMENSION& m0, JDIMENSION& m1) {
    m0 = JDIMENSION(b) * kBandRows;
    m1 = std::min(mb_rows, m0 + kBandRows);
  };
  ParallelFor(bands, [&](int32_t b) {
    JDIMENSION m0, m1;
    band_rows(b, m0, m1);
    // The band's rows of the planes, then its blocks.
    if (bits == 32)
      ToPlanes<4>(s, top, stride, int32_t(m0) * 16, int32_t(m1) * 16);
    else
      ToPlanes<3>(s, top, stride, int32_t(m0) * 16, int32_t(m1) * 16);
    for (int i = 0; i < 3; ++i) {
      const JDIMENSION per_mb = i == 0 ? 2 : 1;
      for (JDIMENSION by = m0 * per_mb; by < m1 * per_mb; ++by)
        CodeRow(planes[i] + int64_t(by) * 8 * strides[i], strides[i], cols[i], s.recip,
                blocks[i][by], s.nonzero[i].data() + by * cols[i]);
    }
  });
  const JDIMENSION luma_cols = JDIMENSION(s.width + 7) / 8, luma_rows = JDIMENSION(s.height + 7) / 8;
  std::vector<Statistics> counts(static_cast<size_t>(bands));
  ParallelFor(bands, [&](int32_t b) {
    JDIMENSION m0, m1;
    band_rows(b, m0, m1);
    Statistics& st = counts[static_cast<size_t>(b)];
    if (m0 > 0) {
      // The coder's last blocks before this band: those of the macroblock
      // above the band's first at the right end. A band never starts at the
      // last macroblock row, so the lower luma row above is in the picture;
      // its right block may lie past the picture (no DC of its own).
      const JDIMENSION last = cols[1] - 1;
      const JDIMENSION by = 2 * (m0 - 1) + 1;
      const JDIMENSION bx = 2 * last + 1 < luma_cols ? 2 * last + 1 : 2 * last;
      st.last_dc[0] = blocks[0][by][bx][0];
      st.last_dc[1] = blocks[1][m0 - 1][last][0];
      st.last_dc[2] = blocks[2][m0 - 1][last][0];
    }
    for (JDIMENSION my = m0; my < m1; ++my) {
      for (JDIMENSION mx = 0; mx < cols[1]; ++mx) {
        for (JDIMENSION dy = 0; dy < 2; ++dy) {
          for (JDIMENSION dx = 0; dx < 2; ++dx) {
            const JDIMENSION by = 2 * my + dy, bx = 2 * mx + dx;
            if (by < luma_rows && bx < luma_cols)
              st.Count(0, blocks[0][by][bx], s.nonzero[0][by * cols[0] + bx]);
            else
              st.Dummy(0);
          }
        }
        for (int i = 1; i < 3; ++i) st.Count(i, blocks[i][my][mx], s.nonzero[i][my * cols[i] + mx]);
      }
    }
  });
  Statistics st;
  for (const Statistics& c : counts) st.Add(c);
  jpeg_gen_optimal_table(&s.c, s.c.dc_huff_tbl_ptrs[0], st.dc[0]);
  jpeg_gen_optimal_table(&s.c, s.c.dc_huff_tbl_ptrs[1], st.dc[1]);
  jpeg_gen_optimal_table(&s.c, s.c.ac_huff_tbl_ptrs[0], st.ac[0]);
  jpeg_gen_optimal_table(&s.c, s.c.ac_huff_tbl_ptrs[1], st.ac[1]);
  jpeg_finish_compress(&s.c);
  return true;
}

}  // namespace

MjpegFrameEncoder::MjpegFrameEncoder(int32_t width, int32_t height, int scale)
    : s_(new (std::nothrow) State) {
  if (!s_) return;
  s_->width = width;
  s_->height = height;
  s_->pw = (width + 15) / 16 * 16;
  s_->ph = (height + 15) / 16 * 16;
  jpeg_std_error(&s_->err.pub);
  s_->err.pub.error_exit = ErrorExit;
  s_->err.pub.output_message = OutputMessage;
  s_->c.err = &s_->err.pub;
  s_->capacity = std::max<size_t>(65536, static_cast<size_t>(width) * height / 2);
  s_->out = static_cast<uint8_t*>(std::malloc(s_->capacity));
  try {
    const size_t luma = static_cast<size_t>(s_->pw) * s_->ph;
    s_->y.resize(luma);
    s_->cb.resize(luma / 4);
    s_->cr.resize(luma / 4);
    s_->nonzero[0].resize(luma / 64);
    s_->nonzero[1].resize(luma / 256);
    s_->nonzero[2].resize(luma / 256);
  } catch (const std::bad_alloc&) {
    s_.reset();
    return;
  }
  if (width <= 0 || height <= 0 || !s_->out ||
      !Setup(*s_, std::clamp(scale, kMinScale, kMaxScale)))
    s_.reset();
}

MjpegFrameEncoder::~MjpegFrameEncoder() = default;

bool MjpegFrameEncoder::Encode(const uint8_t* top, int64_t stride, int bits) {
  if (!s_ || !Takes(bits)) return false;
  return Run(*s_, top, stride, bits);
}

const uint8_t* MjpegFrameEncoder::data() const { return s_ ? s_->out : nullptr; }
size_t MjpegFrameEncoder::size() const { return s_ ? s_->length : 0; }

}  // namespace vek
