#include "formats/still/orientation.h"

#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"

namespace vek {

namespace {

struct OrientSettings {
  int32_t auto_orient = 0;
} g_orient;

// Where the pixel shown at (x, y) comes from in the stored picture of w x h.
inline void Source(int32_t o, int64_t x, int64_t y, int64_t w, int64_t h, int64_t& sx, int64_t& sy) {
  switch (o) {
    case 2: sx = w - 1 - x; sy = y; break;
    case 3: sx = w - 1 - x; sy = h - 1 - y; break;
    case 4: sx = x; sy = h - 1 - y; break;
    case 5: sx = y; sy = x; break;
    case 6: sx = y; sy = h - 1 - x; break;
    case 7: sx = w - 1 - y; sy = h - 1 - x; break;
    case 8: sx = w - 1 - y; sy = x; break;
    default: sx = x; sy = y; break;
  }
}

}  // namespace

int32_t StillSetAutoOrient(int32_t on) {
  if (on != kUndefined) g_orient.auto_orient = on != 0 ? 1 : 0;
  return g_orient.auto_orient;
}

bool StillAutoOrient() { return g_orient.auto_orient != 0; }

void OrientImage(QImg& img, int32_t orientation) {
  if (orientation < 2 || orientation > 8 || !img.pixels || img.width <= 0 || img.height <= 0) return;
  Monitored("Still.OrientImage", [&] {
    const bool turned = orientation >= 5;
    const int64_t w = img.width, h = img.height;
    const int32_t out_w = static_cast<int32_t>(turned ? h : w);
    const int32_t out_h = static_cast<int32_t>(turned ? w : h);
    QImg out{};
    struct Release {
      QImg& r;
      // Plain release: this may run while an error unwinds the block.
      ~Release() { MemFree(r.pixels); }
    } release{out};
    _imgalloc_(&out, out_w, out_h, img.bits, 1, "Still.OrientImage.out");
    std::memcpy(out.palette, img.palette, kPaletteBytes);
    const int32_t b = img.bytespp;
    for (int64_t y = 0; y < out_h; ++y) {
      uint8_t* d = out.pixels + y * out_w * b;
      for (int64_t x = 0; x < out_w; ++x, d += b) {
        int64_t sx = 0, sy = 0;
        Source(orientation, x, y, w, h, sx, sy);
        std::memcpy(d, img.pixels + (sy * w + sx) * b, static_cast<size_t>(b));
      }
    }
    ImgXchg(&img, &out);
  });
}

}  // namespace vek
