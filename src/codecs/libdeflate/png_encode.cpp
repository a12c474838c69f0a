#include "codecs/libdeflate/png_encode.h"

#ifdef VEK_HAVE_LIBDEFLATE

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "foundation/workers.h"

namespace vek {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// IDAT chunks are cut at this size: any size is valid, but streaming readers
// keep a chunk whole in memory.
constexpr size_t kIdatBytes = size_t{1} << 18;
// libdeflate's level for each of ours. libpng compresses filtered rows
// with zlib's filtered strategy, which packs a photo a little tighter than
// libdeflate at the same number from 4 on: those levels take libdeflate's
// next one, except 7 (vekconv's default), where libdeflate's 7 already
// writes files no larger than libpng's or ImageMagick's and its 8 begins
// the much slower optimal parsing. 0 stores in both.
constexpr int kDeflateLevel[10] = {0, 1, 2, 3, 5, 6, 7, 7, 9, 10};

enum Filter : uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };

inline uint32_t Weight(uint8_t v) { return v < 128 ? v : 256u - v; }

// The five filterings of a row in one pass, each cost the sum of its bytes
// read as signed values (libpng's adaptive heuristic: small where the row
// is well predicted); the cheapest is kept. x is this row, u the one above
// (zeros for the first row); out gets the filter byte and the row.
template <int kBpp>
void FilterRowAdaptive(const uint8_t* x, const uint8_t* u, size_t n, uint8_t* out,
                       uint8_t* scratch) {
  uint8_t* sub = scratch;
  uint8_t* up = scratch + n;
  uint8_t* avg = scratch + 2 * n;
  uint8_t* pae = scratch + 3 * n;
  uint32_t cn = 0, cs = 0, cu = 0, ca = 0, cp = 0;
  for (size_t i = 0; i < kBpp && i < n; ++i) {
    sub[i] = x[i];
    up[i] = static_cast<uint8_t>(x[i] - u[i]);
    avg[i] = static_cast<uint8_t>(x[i] - (u[i] >> 1));
    pae[i] = up[i];  // the predictor is the byte above where a and c are 0
  }
  for (size_t i = kBpp; i < n; ++i) {
    const int a = x[i - kBpp], b = u[i], c = u[i - kBpp];
    sub[i] = static_cast<uint8_t>(x[i] - a);
    up[i] = static_cast<uint8_t>(x[i] - b);
    avg[i] = static_cast<uint8_t>(x[i] - ((a + b) >> 1));
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    const int pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
    pae[i] = static_cast<uint8_t>(x[i] - pred);
  }
  for (size_t i = 0; i < n; ++i) {
    cn += Weight(x[i]);
    cs += Weight(sub[i]);
    cu += Weight(up[i]);
    ca += Weight(avg[i]);
    cp += Weight(pae[i]);
  }
  Filter best = kNone;
  uint32_t cost = cn;
  const uint8_t* row = x;
  if (cs < cost) cost = cs, best = kSub, row = sub;
  if (cu < cost) cost = cu, best = kUp, row = up;
  if (ca < cost) cost = ca, best = kAverage, row = avg;
  if (cp < cost) cost = cp, best = kPaeth, row = pae;
  out[0] = best;
  std::memcpy(out + 1, row, n);
}

// A picture row in the file's channel order (RGB).
template <int kBpp>
void FileOrder(const uint8_t* src, size_t n, uint8_t* out) {
  if constexpr (kBpp == 3) {
    for (size_t i = 0; i < n; i += 3) {
      out[i] = src[i + 2];
      out[i + 1] = src[i + 1];
      out[i + 2] = src[i];
    }
  } else {
    std::memcpy(out, src, n);
  }
}

// Rows with filter bytes go to the threads in bands this high.
constexpr int32_t kFilterBand = 32;

// The rows with their filter bytes, in the file's channel order. A row's
// filtering reads only the row above, so bands are filtered side by side.
template <int kBpp>
void FilterImage(const PngRaster& r, bool adaptive, uint8_t* out) {
  const size_t n = static_cast<size_t>(r.width) * kBpp;
  const int32_t bands = (r.height + kFilterBand - 1) / kFilterBand;
  ParallelFor(bands, [&](int32_t band) {
    // A failed allocation comes back to the caller's thread.
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[6 * n]);
    uint8_t* rows = buffer.get();
    uint8_t* above = rows;  // zeros above the first row
    uint8_t* cur = rows + n;
    uint8_t* scratch = rows + 2 * n;
    const int32_t y0 = band * kFilterBand, y1 = std::min(r.height, y0 + kFilterBand);
    if (y0 > 0)
      FileOrder<kBpp>(r.pixels + (y0 - 1) * r.stride, n, above);
    else
      std::memset(above, 0, n);
    uint8_t* o = out + static_cast<size_t>(y0) * (n + 1);
    for (int32_t y = y0; y < y1; ++y) {
      FileOrder<kBpp>(r.pixels + y * r.stride, n, cur);
      if (adaptive) {
        FilterRowAdaptive<kBpp>(cur, above, n, o, scratch);
      } else {
        o[0] = kNone;
        std::memcpy(o + 1, cur, n);
      }
      o += n + 1;
      std::swap(above, cur);
    }
  });
}

void Put32(std::vector<uint8_t>& v, uint32_t x) {
  const uint8_t b[4] = {static_cast<uint8_t>(x >> 24), static_cast<uint8_t>(x >> 16),
                        static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x)};
  v.insert(v.end(), b, b + 4);
}

void PutChunk(std::vector<uint8_t>& v, const char* type, const uint8_t* data, size_t size) {
  Put32(v, static_cast<uint32_t>(size));
  const size_t start = v.size();
  v.insert(v.end(), type, type + 4);
  if (size) v.insert(v.end(), data, data + size);
  Put32(v, libdeflate_crc32(0, v.data() + start, size + 4));
}

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

}  // namespace

bool PngFastWriterAvailable() { return true; }

bool PngEncode(const PngRaster& r, int level, std::vector<uint8_t>& file) {
  if (r.width <= 0 || r.height <= 0 || (r.bytespp != 1 && r.bytespp != 3)) return false;
  level = level < 0 ? 0 : level > 9 ? 9 : level;
  try {
    const size_t row = static_cast<size_t>(r.width) * r.bytespp + 1;
    const size_t raw_size = row * static_cast<size_t>(r.height);
    std::unique_ptr<uint8_t[]> raw(new uint8_t[raw_size]);
    // Palette indices do not predict one another: their rows stay
    // unfiltered, as libpng leaves them; stored data gains nothing from it.
    const bool adaptive = r.bytespp == 3 && level > 0;
    if (r.bytespp == 3)
      FilterImage<3>(r, adaptive, raw.get());
    else
      FilterImage<1>(r, false, raw.get());

    std::unique_ptr<libdeflate_compressor, CompressorDeleter> comp(
        libdeflate_alloc_compressor(kDeflateLevel[level]));
    if (!comp) return false;
    const size_t bound = libdeflate_zlib_compress_bound(comp.get(), raw_size);
    std::unique_ptr<uint8_t[]> packed(new uint8_t[bound]);
    const size_t packed_size =
        libdeflate_zlib_compress(comp.get(), raw.get(), raw_size, packed.get(), bound);
    if (packed_size == 0) return false;
    raw.reset();

    file.clear();
    file.reserve(packed_size + packed_size / kIdatBytes * 12 + 1024);
    file.insert(file.end(), kSignature, kSignature + 8);
    uint8_t ihdr[13] = {};
    for (int i = 0; i < 4; ++i) {
      ihdr[i] = static_cast<uint8_t>(static_cast<uint32_t>(r.width) >> (24 - 8 * i));
      ihdr[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(r.height) >> (24 - 8 * i));
    }
    ihdr[8] = 8;                          // bit depth
    ihdr[9] = r.bytespp == 1 ? 3 : 2;     // palette or RGB; compression, filter
    PutChunk(file, "IHDR", ihdr, sizeof ihdr);  // and interlace methods stay 0
    if (r.bytespp == 1) {
      uint8_t plte[256 * 3];
      for (int i = 0; i < 256; ++i) {
        plte[3 * i] = r.palette[3 * i + 2];
        plte[3 * i + 1] = r.palette[3 * i + 1];
        plte[3 * i + 2] = r.palette[3 * i];
      }
      PutChunk(file, "PLTE", plte, sizeof plte);
    }
    for (size_t at = 0; at < packed_size; at += kIdatBytes) {
      const size_t n = packed_size - at < kIdatBytes ? packed_size - at : kIdatBytes;
      PutChunk(file, "IDAT", packed.get() + at, n);
    }
    PutChunk(file, "IEND", nullptr, 0);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace vek

#else  // the libpng path is the writer

namespace vek {
bool PngFastWriterAvailable() { return false; }
bool PngEncode(const PngRaster&, int, std::vector<uint8_t>&) { return false; }
}  // namespace vek

#endif
