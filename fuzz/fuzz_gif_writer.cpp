// libFuzzer target of the GIF writer's round trip: the input chooses the
// size, the frame count, the palettes (shared, changing per frame, or true
// colour frames of few colours) and the pixels; the file written must read
// back, through our reader, as exactly those frames.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/movie/gif.h"
#include "formats/movie/gif_writer.h"
#include "foundation/errors.h"
#include "image/image.h"

namespace {

uint32_t Colour(const vek::QImg& img, size_t i) {
  const uint8_t* c = img.bits == 8 ? img.palette + 3 * img.pixels[i] : img.pixels + img.bytespp * i;
  return uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const int w = 1 + data[0] % 48, h = 1 + data[1] % 48, frames = 1 + data[2] % 5;
  const int colours = 1 + data[3];                 // 1..256
  const int kind = data[4] % 3;                    // 0 shared, 1 per frame, 2 true colour
  const uint8_t* px = data + 5;
  const size_t n = size - 5;
  size_t at = 0;
  auto next = [&] { return px[at++ % n]; };
  static const std::string name = "/tmp/fuzz_gif_writer_" + std::to_string(getpid()) + ".gif";

  std::vector<vek::QImg> in(static_cast<size_t>(frames));
  vek::QImg palette_src{};
  for (int c = 0; c < 768; ++c) palette_src.palette[c] = next();
  vek::MonitoredBoundary("Fuzz.Write", [&] {
    vek::GifWriter gw;
    vek::GifWriterCreate(gw, name, 10, frames == 1);
    for (vek::QImg& f : in) {
      const int cols = kind == 2 ? std::min(colours, 255) : colours;
      vek::ImgAlloc(&f, w, h, kind == 2 ? 24 : 8, 1, "Fuzz.frame");
      std::memcpy(f.palette, palette_src.palette, 768);
      if (kind == 1)
        for (int c = 0; c < 12; ++c) f.palette[next() % 768] = next();
      for (size_t i = 0; i < size_t(w) * h; ++i) {
        const uint8_t idx = static_cast<uint8_t>(next() % cols);
        if (kind == 2)
          std::memcpy(f.pixels + 3 * i, f.palette + 3 * idx, 3);
        else
          f.pixels[i] = idx;
      }
      vek::GifWriterSave(gw, f);
    }
    vek::GifWriterClose(gw);
  });
  if (!vek::ErrNone()) std::abort();

  vek::QImg out{};
  vek::MonitoredBoundary("Fuzz.Read", [&] {
    vek::GifState gf;
    vek::GIFOpen(gf, name, false);
    if (gf.frames != frames || gf.width != w || gf.height != h) std::abort();
    for (const vek::QImg& f : in) {
      vek::GIFLoadNext(gf, out);
      for (size_t i = 0; i < size_t(w) * h; ++i)
        if (Colour(out, i) != Colour(f, i)) std::abort();
    }
    vek::GIFClose(gf);
  });
  if (!vek::ErrNone()) std::abort();
  vek::ImgFree(&out);
  for (vek::QImg& f : in) vek::ImgFree(&f);
  std::remove(name.c_str());
  return 0;
}
