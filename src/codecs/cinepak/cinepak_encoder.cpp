// Cinepak compression. A frame is a 10-byte header and a run of horizontal
// strips; a strip is a 12-byte header and chunks: the V4 codebook, the V1
// codebook and the block choices. Codebook entries hold four luma values
// and one chroma pair (u, v) that the decoder turns into RGB as
// r = y + 2v, g = y - u/2 - v, b = y + 2u. A 4x4 block is either one V1
// entry stretched over it, four V4 entries (one per 2x2 quarter), or, in
// inter frames, left as it was.
//
// The quantiser works on 6-dimensional vectors (four lumas, scaled chroma)
// whose squared distance approximates the squared RGB error; it starts
// from a variance split of the vectors and refines with Lloyd passes whose
// nearest-entry search is pruned along the entries' principal axis. Block
// choices weigh the exact RGB error of the entries the decoder will show
// against the bits, codebook bits included.
#include "codecs/cinepak/cinepak_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "foundation/workers.h"

namespace vek::platform {

namespace {

constexpr int kDim = 6;
constexpr int kMaxEntries = 256;
// Chroma weights: one chroma step moves two channels of four pixels by up
// to two levels, so it weighs about six luma steps.
constexpr float kScaleU = 2.38f;
constexpr float kScaleV = 2.58f;
// Lloyd passes after the split, on about this many vectors per entry.
constexpr int kPasses = 1;
constexpr int kPassVectors = 16;

inline float Dist(const float* a, const float* b) {
  float d = 0;
  for (int k = 0; k < kDim; ++k) {
    const float t = a[k] - b[k];
    d += t * t;
  }
  return d;
}


inline uint8_t Clip(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// One entry as stored and as the decoder shows it.
struct Entry {
  uint8_t y[4];
  int8_t u, v;
  uint8_t rgb[12];  // four pixels: top-left, top-right, bottom-left, bottom-right
};

Entry MakeEntry(const float* f) {
  Entry e{};
  for (int k = 0; k < 4; ++k) e.y[k] = Clip(static_cast<int>(std::lround(f[k])));
  const int u = std::clamp(static_cast<int>(std::lround(f[4] / kScaleU)), -128, 127);
  const int v = std::clamp(static_cast<int>(std::lround(f[5] / kScaleV)), -128, 127);
  e.u = static_cast<int8_t>(u);
  e.v = static_cast<int8_t>(v);
  for (int k = 0; k < 4; ++k) {
    const int y = e.y[k];
    e.rgb[k * 3 + 0] = Clip(y + v * 2);
    e.rgb[k * 3 + 1] = Clip(y - u / 2 - v);  // the decoder's division truncates
    e.rgb[k * 3 + 2] = Clip(y + u * 2);
  }
  return e;
}

// A codebook kept sorted by its entries' projection on their principal
// axis: the distance along a unit axis bounds the full distance, which ends
// the search early on both sides.
struct Codebook {
  std::vector<float> vec;  // n x kDim
  std::vector<float> key;
  float axis[kDim] = {0.5f, 0.5f, 0.5f, 0.5f, 0, 0};
  int n = 0;

  float Projection(const float* v) const {
    float p = 0;
    for (int d = 0; d < kDim; ++d) p += v[d] * axis[d];
    return p;
  }

  // The direction of largest spread by power iteration, from the luma
  // diagonal.
  void FindAxis() {
    double mean[kDim] = {}, cov[kDim][kDim] = {};
    for (int i = 0; i < n; ++i)
      for (int d = 0; d < kDim; ++d) mean[d] += vec[size_t(i) * kDim + size_t(d)];
    for (double& m : mean) m /= std::max(n, 1);
    for (int i = 0; i < n; ++i) {
      const float* v = &vec[size_t(i) * kDim];
      for (int a = 0; a < kDim; ++a)
        for (int b = 0; b < kDim; ++b) cov[a][b] += (v[a] - mean[a]) * (v[b] - mean[b]);
    }
    double x[kDim] = {0.5, 0.5, 0.5, 0.5, 0, 0};
    for (int it = 0; it < 16; ++it) {
      double y[kDim] = {}, len = 0;
      for (int a = 0; a < kDim; ++a) {
        for (int b = 0; b < kDim; ++b) y[a] += cov[a][b] * x[b];
        len += y[a] * y[a];
      }
      len = std::sqrt(len);
      if (!(len > 1e-9)) break;
      for (int a = 0; a < kDim; ++a) x[a] = y[a] / len;
    }
    for (int d = 0; d < kDim; ++d) axis[d] = static_cast<float>(x[d]);
  }

  void Sort() {
    FindAxis();
    std::vector<int> order(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
    std::vector<float> proj(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) proj[static_cast<size_t>(i)] = Projection(&vec[size_t(i) * kDim]);
    std::sort(order.begin(), order.end(),
              [&](int a, int b) { return proj[size_t(a)] < proj[size_t(b)]; });
    std::vector<float> sorted(vec.size());
    key.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      const int o = order[static_cast<size_t>(i)];
      std::memcpy(&sorted[size_t(i) * kDim], &vec[size_t(o) * kDim], sizeof(float) * kDim);
      key[static_cast<size_t>(i)] = proj[static_cast<size_t>(o)];
    }
    vec.swap(sorted);
  }

  int Nearest(const float* q) const {
    const float pq = Projection(q);
    int hi = static_cast<int>(std::lower_bound(key.begin(), key.end(), pq) - key.begin());
    int lo = hi - 1;
    float best = std::numeric_limits<float>::max();
    int at = 0;
    bool up = hi < n, down = lo >= 0;
    while (up || down) {
      if (up) {
        const float d = key[size_t(hi)] - pq;
        if (d * d >= best) {
          up = false;
        } else {
          const float e = Dist(q, &vec[size_t(hi) * kDim]);
          if (e < best) best = e, at = hi;
          up = ++hi < n;
        }
      }
      if (down) {
        const float d = pq - key[size_t(lo)];
        if (d * d >= best) {
          down = false;
        } else {
          const float e = Dist(q, &vec[size_t(lo) * kDim]);
          if (e < best) best = e, at = lo;
          down = --lo >= 0;
        }
      }
    }
    return at;
  }
};

// Rounds every entry to what can be stored, so that searches see the
// values the decoder will use.
void Quantise(Codebook& cb) {
  for (int i = 0; i < cb.n; ++i) {
    float* f = &cb.vec[size_t(i) * kDim];
    const Entry e = MakeEntry(f);
    for (int k = 0; k < 4; ++k) f[k] = e.y[k];
    f[4] = e.u * kScaleU;
    f[5] = e.v * kScaleV;
  }
}

// The starting codebook: the cell with the largest squared error is split
// at its mean across its widest dimension until there are `k` cells.
void SplitStart(const float* v, int n, int k, Codebook& cb, std::vector<int>& perm) {
  struct Cell {
    int begin, end;
    float sse;
    int axis;
    float mean[kDim];
  };
  perm.resize(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) perm[size_t(i)] = i;
  auto stats = [&](Cell& c) {
    double sum[kDim] = {}, sq[kDim] = {};
    for (int i = c.begin; i < c.end; ++i) {
      const float* p = v + size_t(perm[size_t(i)]) * kDim;
      for (int d = 0; d < kDim; ++d) {
        sum[d] += p[d];
        sq[d] += double(p[d]) * p[d];
      }
    }
    const double cnt = c.end - c.begin;
    double total = 0, widest = -1;
    c.axis = 0;
    for (int d = 0; d < kDim; ++d) {
      c.mean[d] = static_cast<float>(sum[d] / cnt);
      const double var = std::max(0.0, sq[d] - sum[d] * sum[d] / cnt);
      total += var;
      if (var > widest) widest = var, c.axis = d;
    }
    c.sse = static_cast<float>(total);
  };
  std::vector<Cell> cells;
  cells.reserve(static_cast<size_t>(k));
  cells.push_back(Cell{0, n, 0, 0, {}});
  stats(cells[0]);
  while (static_cast<int>(cells.size()) < k) {
    size_t pick = 0;
    for (size_t i = 1; i < cells.size(); ++i)
      if (cells[i].sse > cells[pick].sse) pick = i;
    Cell& c = cells[pick];
    if (c.sse <= 0 || c.end - c.begin < 2) break;
    const int axis = c.axis;
    const float cut = c.mean[axis];
    const auto mid = std::partition(perm.begin() + c.begin, perm.begin() + c.end,
                                    [&](int i) { return v[size_t(i) * kDim + size_t(axis)] < cut; });
    const int m = static_cast<int>(mid - perm.begin());
    if (m == c.begin || m == c.end) {
      c.sse = 0;  // all alike along its widest axis: nothing to split
      continue;
    }
    Cell right{m, c.end, 0, 0, {}};
    c.end = m;
    stats(c);
    stats(right);
    cells.push_back(right);
  }
  cb.n = static_cast<int>(cells.size());
  cb.vec.resize(size_t(cb.n) * kDim);
  for (int i = 0; i < cb.n; ++i)
    std::memcpy(&cb.vec[size_t(i) * kDim], cells[size_t(i)].mean, sizeof(float) * kDim);
}

// Lloyd passes: each vector to its nearest entry, each entry to the mean
// of its vectors (entries nobody chose stay as they were).
// The nearest entries are found on the worker threads, in chunks; the sums
// are made in one order, so the entries do not depend on the thread count.
constexpr int kChunk = 2048;

void Lloyd(const float* v, int n, int passes, int step, Codebook& cb, std::vector<double>& acc,
           std::vector<int>& nearest) {
  const int samples = (n + step - 1) / step;
  nearest.resize(size_t(samples));
  for (int pass = 0; pass < passes; ++pass) {
    Quantise(cb);
    cb.Sort();
    acc.assign(size_t(cb.n) * (kDim + 1), 0.0);
    ParallelFor((samples + kChunk - 1) / kChunk, [&](int32_t c) {
      const int end = std::min(samples, (c + 1) * kChunk);
      for (int k = c * kChunk; k < end; ++k) nearest[size_t(k)] = cb.Nearest(v + size_t(k) * size_t(step) * kDim);
    });
    for (int k = 0; k < samples; ++k) {
      const float* p = v + size_t(k) * size_t(step) * kDim;
      double* a = &acc[size_t(nearest[size_t(k)]) * (kDim + 1)];
      for (int d = 0; d < kDim; ++d) a[d] += p[d];
      a[kDim] += 1;
    }
    for (int j = 0; j < cb.n; ++j) {
      const double* a = &acc[size_t(j) * (kDim + 1)];
      if (a[kDim] <= 0) continue;
      for (int d = 0; d < kDim; ++d) cb.vec[size_t(j) * kDim + size_t(d)] = static_cast<float>(a[d] / a[kDim]);
    }
  }
  Quantise(cb);
  cb.Sort();
}

void Train(const float* v, int n, int k, Codebook& cb, std::vector<int>& perm, std::vector<double>& acc) {
  if (n <= 0) {
    cb.n = 0;
    cb.vec.clear();
    cb.key.clear();
    return;
  }
  if (n <= k) {
    cb.n = n;
    cb.vec.assign(v, v + size_t(n) * kDim);
    Quantise(cb);
    cb.Sort();
    return;
  }
  SplitStart(v, n, k, cb, perm);
  // The passes see every few vectors: the entries settle nearly as well.
  Lloyd(v, n, kPasses, std::max(1, n / (k * kPassVectors)), cb, acc, perm);
}

void Put16(std::vector<uint8_t>& o, size_t at, unsigned v) {
  o[at] = static_cast<uint8_t>(v >> 8);
  o[at + 1] = static_cast<uint8_t>(v);
}

void Put24(std::vector<uint8_t>& o, size_t at, size_t v) {
  o[at] = static_cast<uint8_t>(v >> 16);
  o[at + 1] = static_cast<uint8_t>(v >> 8);
  o[at + 2] = static_cast<uint8_t>(v);
}

// Choice bits as the decoder reads them: a 32-bit word is fetched when the
// next bit is wanted and the previous word is used up, so each word sits
// right before the data of the block that needs its first bit.
struct FlagWriter {
  std::vector<uint8_t>& out;
  size_t word = 0;
  int used = 32;
  void Bit(bool b) {
    if (used == 32) {
      word = out.size();
      out.insert(out.end(), 4, 0);
      used = 0;
    }
    if (b) out[word + size_t(used >> 3)] |= static_cast<uint8_t>(0x80 >> (used & 7));
    ++used;
  }
};

enum Mode : uint8_t { kSkip, kV1, kV4 };

}  // namespace

struct CinepakEncoder::Impl {
  int w, h, W, H, mbw, mbh;
  int key_every;
  float lambda = 1;
  int64_t frame = 0;
  bool have_prev = false;
  std::vector<uint8_t> cur, rec;  // padded RGB pictures: this frame, the decoder's last
  std::vector<float> v4;          // per block, four quarter vectors
  std::vector<float> v1;          // per block, the block's mean vector
  float share = 1;  // vectors per entry at least

  Impl(int width, int height, int key, int quality)
      : w(std::max(width, 0)), h(std::max(height, 0)), W((w + 3) & ~3), H((h + 3) & ~3), mbw(W / 4), mbh(H / 4),
        key_every(std::max(key, 1)) {
    cur.assign(size_t(W) * H * 3, 0);
    rec.assign(size_t(W) * H * 3, 0);
    v4.resize(size_t(mbw) * mbh * 4 * kDim);
    v1.resize(size_t(mbw) * mbh * kDim);
    SetQuality(quality);
  }

  void SetQuality(int q) {
    q = std::clamp(q, 0, 10000);
    // Squared RGB error worth one bit: halves with every 1250 quality steps.
    const float steps = static_cast<float>(CinepakEncoder::kDefaultQuality - q) / 1250.0f;
    lambda = 12.0f * std::exp2(steps);
    share = std::exp2(std::max(steps, 0.0f));
  }

  bool Load(const uint8_t* top, ptrdiff_t stride, int bits, const uint8_t* pal) {
    if (bits != 8 && bits != 15 && bits != 16 && bits != 24 && bits != 32) return false;
    if (bits == 8 && !pal) return false;
    for (int y = 0; y < H; ++y) {
      const uint8_t* s = top + stride * std::min(y, h - 1);
      uint8_t* d = &cur[size_t(y) * W * 3];
      for (int x = 0; x < w; ++x, d += 3) {
        switch (bits) {
          case 8: {
            const uint8_t* p = pal + size_t(s[x]) * 4;
            d[0] = p[2], d[1] = p[1], d[2] = p[0];
            break;
          }
          case 15:
          case 16: {
            const unsigned v = s[2 * x] | unsigned(s[2 * x + 1]) << 8;
            const unsigned r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
            d[0] = static_cast<uint8_t>(r << 3 | r >> 2);
            d[1] = static_cast<uint8_t>(g << 3 | g >> 2);
            d[2] = static_cast<uint8_t>(b << 3 | b >> 2);
            break;
          }
          default: {
            const uint8_t* p = s + size_t(x) * size_t(bits / 8);
            d[0] = p[2], d[1] = p[1], d[2] = p[0];
          }
        }
      }
      for (int x = w; x < W; ++x, d += 3) std::memcpy(d, d - 3, 3);
    }
    return true;
  }

  // The quantiser's vectors of every block.
  void Vectors() {
    constexpr int kRows = 8;  // block rows a worker takes at a time
    ParallelFor((mbh + kRows - 1) / kRows, [&](int32_t c) { VectorRows(c * kRows, std::min(mbh, (c + 1) * kRows)); });
  }

  void VectorRows(int my0, int my1) {
    for (int my = my0; my < my1; ++my)
      for (int mx = 0; mx < mbw; ++mx) {
        const size_t m = size_t(my) * mbw + mx;
        float* q1 = &v1[m * kDim];
        std::fill(q1, q1 + kDim, 0.0f);
        for (int s = 0; s < 4; ++s) {
          float* q = &v4[(m * 4 + size_t(s)) * kDim];
          float u = 0, v = 0;
          for (int p = 0; p < 4; ++p) {
            const int x = mx * 4 + (s & 1) * 2 + (p & 1), y = my * 4 + (s >> 1) * 2 + (p >> 1);
            const uint8_t* c = &cur[(size_t(y) * W + x) * 3];
            const float Y = (2.0f * c[0] + 4.0f * c[1] + c[2]) / 7.0f;
            q[p] = Y;
            u += (c[2] - Y) * 0.5f;
            v += (c[0] - Y) * 0.5f;
          }
          q[4] = u * 0.25f * kScaleU;
          q[5] = v * 0.25f * kScaleV;
          q1[s] = (q[0] + q[1] + q[2] + q[3]) * 0.25f;
          q1[4] += q[4] * 0.25f;
          q1[5] += q[5] * 0.25f;
        }
      }
  }

  const uint8_t* Pixel(const std::vector<uint8_t>& pic, int x, int y) const {
    return &pic[(size_t(y) * W + x) * 3];
  }

  float SkipError(int mx, int my) const {
    int e = 0;
    for (int y = my * 4; y < my * 4 + 4; ++y) {
      const uint8_t* a = Pixel(cur, mx * 4, y);
      const uint8_t* b = Pixel(rec, mx * 4, y);
      for (int k = 0; k < 12; ++k) e += (a[k] - b[k]) * (a[k] - b[k]);
    }
    return static_cast<float>(e);
  }

  float V1Error(const Entry& en, int mx, int my) const {
    int e = 0;
    for (int y = 0; y < 4; ++y) {
      const uint8_t* a = Pixel(cur, mx * 4, my * 4 + y);
      for (int x = 0; x < 4; ++x) {
        const uint8_t* c = &en.rgb[((y >> 1) * 2 + (x >> 1)) * 3];
        for (int k = 0; k < 3; ++k) e += (a[x * 3 + k] - c[k]) * (a[x * 3 + k] - c[k]);
      }
    }
    return static_cast<float>(e);
  }

  float V4Error(const Entry* const en[4], int mx, int my) const {
    int e = 0;
    for (int y = 0; y < 4; ++y) {
      const uint8_t* a = Pixel(cur, mx * 4, my * 4 + y);
      for (int x = 0; x < 4; ++x) {
        const Entry& q = *en[(y >> 1) * 2 + (x >> 1)];
        const uint8_t* c = &q.rgb[((y & 1) * 2 + (x & 1)) * 3];
        for (int k = 0; k < 3; ++k) e += (a[x * 3 + k] - c[k]) * (a[x * 3 + k] - c[k]);
      }
    }
    return static_cast<float>(e);
  }

  // The entries as stored and shown.
  static void Decoded(const Codebook& cb, std::vector<Entry>& out) {
    out.resize(size_t(cb.n));
    for (int i = 0; i < cb.n; ++i) out[size_t(i)] = MakeEntry(&cb.vec[size_t(i) * kDim]);
  }

  // Codebook size for n vectors: below the default quality each entry (48
  // bits) must serve more vectors.
  int Entries(int n) const { return std::clamp(static_cast<int>(std::ceil(float(n) / share)), 1, kMaxEntries); }
  // Bits of codebook a vector pays for.
  float EntryBits(int n) const { return n > 0 ? 48.0f * float(Entries(n)) / float(n) : 0; }

  // One strip's coder: strips share nothing but the picture (each reads and
  // updates only its own rows of the decoder's picture), so they are coded
  // side by side, each into its own bytes.
  struct Coder {
    explicit Coder(Impl& owner)
        : s(owner), W(owner.W), mbw(owner.mbw), lambda(owner.lambda), v4(owner.v4), v1(owner.v1), rec(owner.rec) {}
    Impl& s;
    const int& W;
    const int& mbw;
    const float& lambda;
    const std::vector<float>& v4;
    const std::vector<float>& v1;
    std::vector<uint8_t>& rec;
    std::vector<float> train;
    std::vector<int> members, perm;
    std::vector<double> acc;
    std::vector<uint8_t> mode;
    std::vector<uint8_t> i1;
    std::vector<uint8_t> i4;
    std::vector<float> e_skip, e1, e4;
    float v1_share = 0, v4_share = 0;  // codebook bits per vector
    Codebook cb1, cb4;
    std::vector<Entry> ent1, ent4;

    int Entries(int n) const { return s.Entries(n); }
    float EntryBits(int n) const { return s.EntryBits(n); }
    float SkipError(int mx, int my) const { return s.SkipError(mx, my); }
    float V1Error(const Entry& en, int mx, int my) const { return s.V1Error(en, mx, my); }
    float V4Error(const Entry* const en[4], int mx, int my) const { return s.V4Error(en, mx, my); }
    static void Decoded(const Codebook& cb, std::vector<Entry>& out) { Impl::Decoded(cb, out); }

    // Trains a codebook on the vectors of the blocks in `members` (V1: one
    // vector a block, V4: four).
    void TrainOn(bool four, Codebook& cb) {
      const size_t per = four ? 4 : 1;
      train.resize(members.size() * per * kDim);
      for (size_t i = 0; i < members.size(); ++i) {
        const float* src = four ? &v4[size_t(members[i]) * 4 * kDim] : &v1[size_t(members[i]) * kDim];
        std::memcpy(&train[i * per * kDim], src, sizeof(float) * per * kDim);
      }
      const int n = static_cast<int>(members.size() * per);
      Train(train.data(), n, Entries(n), cb, perm, acc);
    }

    // Best index and exact error of every block of the strip for one codebook.
    void Assign(int m0, int m1, bool four) {
      const Codebook& cb = four ? cb4 : cb1;
      Decoded(cb, four ? ent4 : ent1);
      constexpr int kBlocks = kChunk / 4;
      ParallelFor((m1 - m0 + kBlocks - 1) / kBlocks, [&](int32_t c) {
        AssignRange(m0, m0 + c * kBlocks, std::min(m1, m0 + (c + 1) * kBlocks), four);
      });
    }

    void AssignRange(int m0, int from, int to, bool four) {
      const Codebook& cb = four ? cb4 : cb1;
      for (int m = from; m < to; ++m) {
        const int mx = m % mbw, my = m / mbw;
        const size_t k = size_t(m - m0);
        if (cb.n == 0) {
          (four ? e4 : e1)[k] = std::numeric_limits<float>::max();
          continue;
        }
        if (four) {
          const Entry* en[4];
          for (int s = 0; s < 4; ++s) {
            const int j = cb.Nearest(&v4[(size_t(m) * 4 + size_t(s)) * kDim]);
            i4[k * 4 + size_t(s)] = static_cast<uint8_t>(j);
            en[s] = &ent4[size_t(j)];
          }
          e4[k] = V4Error(en, mx, my);
        } else {
          const int j = cb.Nearest(&v1[size_t(m) * kDim]);
          i1[k] = static_cast<uint8_t>(j);
          e1[k] = V1Error(ent1[size_t(j)], mx, my);
        }
      }
    }

    // Cheapest choice of every block: error plus lambda times the bits.
    void Decide(int m0, int m1, bool key) {
      const float skip_bits = 1, v1_bits = (key ? 9 : 10) + v1_share, v4_bits = (key ? 33 : 34) + 4 * v4_share;
      for (int m = m0; m < m1; ++m) {
        const size_t k = size_t(m - m0);
        float best = std::numeric_limits<float>::max();
        uint8_t pick = kV1;
        if (!key) best = e_skip[k] + lambda * skip_bits, pick = kSkip;
        if (e1[k] < std::numeric_limits<float>::max() && e1[k] + lambda * v1_bits < best)
          best = e1[k] + lambda * v1_bits, pick = kV1;
        if (e4[k] < std::numeric_limits<float>::max() && e4[k] + lambda * v4_bits < best) pick = kV4;
        mode[k] = pick;
      }
    }

    // Drops the entries no block uses and renumbers the choices.
    void Compact(int count, bool four, std::vector<Entry>& kept) {
      const std::vector<Entry>& ent = four ? ent4 : ent1;
      int map[kMaxEntries];
      std::fill(map, map + kMaxEntries, -1);
      kept.clear();
      for (int k = 0; k < count; ++k) {
        if (mode[size_t(k)] != (four ? kV4 : kV1)) continue;
        for (int s = 0; s < (four ? 4 : 1); ++s) {
          uint8_t& idx = four ? i4[size_t(k) * 4 + size_t(s)] : i1[size_t(k)];
          if (map[idx] < 0) {
            map[idx] = static_cast<int>(kept.size());
            kept.push_back(ent[idx]);
          }
          idx = static_cast<uint8_t>(map[idx]);
        }
      }
    }

    void Strip(int my0, int my1, bool key, std::vector<uint8_t>& out) {
      const int m0 = my0 * mbw, m1 = my1 * mbw, count = m1 - m0;
      const size_t n = size_t(count);
      mode.assign(n, kV1);
      i1.assign(n, 0);
      i4.assign(n * 4, 0);
      e_skip.assign(n, 0);
      e1.assign(n, 0);
      e4.assign(n, 0);
      const float inf = std::numeric_limits<float>::max();

      // Blocks worth a new picture: in inter frames those whose change costs
      // more than the cheapest update.
      members.clear();
      for (int m = m0; m < m1; ++m) {
        if (!key) {
          e_skip[size_t(m - m0)] = SkipError(m % mbw, m / mbw);
          if (e_skip[size_t(m - m0)] <= lambda * 9) continue;
        }
        members.push_back(m);
      }
      cb1.n = cb4.n = 0;
      v1_share = EntryBits(static_cast<int>(members.size()));
      if (!members.empty()) {
        TrainOn(false, cb1);
        Assign(m0, m1, false);
        // V4 can only pay where the best other choice loses more than its
        // extra bits.
        const float skip_bits = 1, v1_bits = (key ? 9 : 10) + v1_share, v4_bits = key ? 33 : 34;
        std::vector<int> v1_members;
        v1_members.swap(members);
        for (int m : v1_members) {
          const size_t k = size_t(m - m0);
          float other = e1[k] + lambda * v1_bits;
          if (!key) other = std::min(other, e_skip[k] + lambda * skip_bits);
          if (other > lambda * v4_bits) members.push_back(m);
        }
        v4_share = EntryBits(static_cast<int>(members.size() * 4));
        if (!members.empty()) {
          TrainOn(true, cb4);
          Assign(m0, m1, true);
        } else {
          std::fill(e4.begin(), e4.end(), inf);
        }
        Decide(m0, m1, key);
      } else {
        std::fill(mode.begin(), mode.end(), kSkip);
      }

      std::vector<Entry> used1, used4;
      Compact(count, false, used1);
      Compact(count, true, used4);

      const size_t strip_at = out.size();
      out.resize(strip_at + 12, 0);
      out[strip_at] = key ? 0x10 : 0x11;
      // Top and left of zero: the strip follows the previous one.
      Put16(out, strip_at + 8, static_cast<unsigned>((my1 - my0) * 4));
      Put16(out, strip_at + 10, static_cast<unsigned>(W));
      for (const bool four : {true, false}) {
        const std::vector<Entry>& used = four ? used4 : used1;
        const size_t at = out.size();
        out.push_back(four ? 0x20 : 0x22);
        out.resize(at + 4);
        for (const Entry& e : used) {
          out.insert(out.end(), e.y, e.y + 4);
          out.push_back(static_cast<uint8_t>(e.u));
          out.push_back(static_cast<uint8_t>(e.v));
        }
        Put24(out, at + 1, out.size() - at);
      }
      const size_t vec_at = out.size();
      out.push_back(key ? 0x30 : 0x31);
      out.resize(vec_at + 4);
      FlagWriter flags{out};
      for (int m = m0; m < m1; ++m) {
        const size_t k = size_t(m - m0);
        const int mx = m % mbw, my = m / mbw;
        if (!key) flags.Bit(mode[k] != kSkip);
        if (mode[k] == kSkip) continue;
        flags.Bit(mode[k] == kV4);
        if (mode[k] == kV4) {
          const Entry* en[4];
          for (int s = 0; s < 4; ++s) {
            out.push_back(i4[k * 4 + size_t(s)]);
            en[s] = &used4[i4[k * 4 + size_t(s)]];
          }
          Show(*en[0], *en[1], *en[2], *en[3], mx, my);
        } else {
          out.push_back(i1[k]);
          const Entry& e = used1[i1[k]];
          Show(e, e, e, e, mx, my, true);
        }
      }
      Put24(out, vec_at + 1, out.size() - vec_at);
      Put24(out, strip_at + 1, out.size() - strip_at);
    }

    // What the decoder now shows for a block.
    void Show(const Entry& a, const Entry& b, const Entry& c, const Entry& d, int mx, int my,
              bool v1 = false) {
      const Entry* q[4] = {&a, &b, &c, &d};
      for (int y = 0; y < 4; ++y) {
        uint8_t* p = &rec[(size_t(my * 4 + y) * W + size_t(mx) * 4) * 3];
        for (int x = 0; x < 4; ++x) {
          const int quarter = (y >> 1) * 2 + (x >> 1);
          const uint8_t* col = v1 ? &a.rgb[quarter * 3] : &q[quarter]->rgb[((y & 1) * 2 + (x & 1)) * 3];
          std::memcpy(p + x * 3, col, 3);
        }
      }
    }
  };

  std::vector<std::unique_ptr<Coder>> coders;
  std::vector<std::vector<uint8_t>> parts;

  int StripCount() const {
    // Three strips, as many as every decoder takes: more codebooks follow
    // the picture more closely.
    return std::min(mbh, 3);
  }
};

CinepakEncoder::CinepakEncoder(int width, int height, int key_every, int quality)
    : impl_(std::make_unique<Impl>(width, height, key_every, quality)) {}

CinepakEncoder::~CinepakEncoder() = default;

void CinepakEncoder::SetQuality(int quality) { impl_->SetQuality(quality); }

bool CinepakEncoder::Encode(const uint8_t* top, ptrdiff_t stride, int bits, const uint8_t* palette,
                            bool force_key, std::vector<uint8_t>& out, bool& key) {
  Impl& s = *impl_;
  if (!top || s.w == 0 || s.h == 0 || s.W > 0xFFFF || s.H > 0xFFFF) return false;
  if (!s.Load(top, stride, bits, palette)) return false;
  key = force_key || !s.have_prev || s.frame % s.key_every == 0;
  s.Vectors();
  out.assign(10, 0);
  out[0] = key ? 0x00 : 0x01;  // inter frames keep each strip's own codebooks
  Put16(out, 4, static_cast<unsigned>(s.w));
  Put16(out, 6, static_cast<unsigned>(s.h));
  const int strips = s.StripCount();
  Put16(out, 8, static_cast<unsigned>(strips));
  while (static_cast<int>(s.coders.size()) < strips) s.coders.push_back(std::make_unique<Impl::Coder>(s));
  s.parts.resize(size_t(strips));
  ParallelFor(strips, [&](int32_t i) {
    s.parts[size_t(i)].clear();
    s.coders[size_t(i)]->Strip(s.mbh * i / strips, s.mbh * (i + 1) / strips, key, s.parts[size_t(i)]);
  });
  for (const std::vector<uint8_t>& part : s.parts) out.insert(out.end(), part.begin(), part.end());
  // Sizes are 24-bit fields: a picture of some 60 million pixels can need
  // more, and is refused rather than written wrong.
  if (out.size() > 0xFFFFFF) {
    s.have_prev = false;  // the picture kept for inter frames is no longer the decoder's
    return false;
  }
  Put24(out, 1, out.size());
  s.have_prev = true;
  ++s.frame;
  return true;
}

}  // namespace vek::platform
