// libFuzzer target of the GIF reader's movie path (full scan, composition,
// disposal, seeking), which the shared reader target does not reach: it
// loads a GIF as a still picture only. Built by fuzz/animation/build.sh
// against the objects of build-fuzz.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/format_dispatch.h"
#include "engine/media_access.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"

namespace {

const std::string& InputName() {
  static const std::string name = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/vek_fuzz_movie_" + std::to_string(getpid()) + ".gif";
  }();
  return name;
}

void Touch(const vek::QImg& img) {
  if (img.pixels == nullptr || img.size != img.width * img.height * img.bytespp) {
    std::fprintf(stderr, "touch: %p %d %dx%d %d\n", (void*)img.pixels, img.size, img.width, img.height, img.bytespp);
    std::abort();
  }
  volatile uint8_t sum = 0;
  for (int32_t i = 0; i < img.size; i += 61) sum = static_cast<uint8_t>(sum + img.pixels[i]);
  if (img.size) sum = static_cast<uint8_t>(sum + img.pixels[img.size - 1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& name = InputName();
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  // Pictures of more than 16 M pixels are legal but only cost time here.
  if (size >= 10 && int64_t{data[6] | data[7] << 8} * (data[8] | data[9] << 8) > (int64_t{1} << 24)) return 0;

  vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
  vek::MonitoredBoundary("Fuzz.Open", [&] { vek::MviOpen(mh, name, vek::kFmtGIF); });
  if (vek::ErrNone() && mh.ops) {
    const int32_t frames = std::min(vek::MviView(mh).frames, 48);
    vek::QImg img{};
    const int32_t steps[] = {1, 2, 3, frames, 2, frames / 2, frames / 2 + 1};
    for (int32_t f = 1; f <= frames; ++f) {
      vek::MonitoredBoundary("Fuzz.Frame", [&] { vek::MviImgLoad(mh, img, f, 1); });
      if (!vek::ErrNone()) break;
      Touch(img);
    }
    vek::ErrClear();
    for (int32_t s : steps) {
      if (s < 1 || s > frames) continue;
      vek::MonitoredBoundary("Fuzz.Seek", [&] { vek::MviImgLoad(mh, img, s, s & 1); });
      if (vek::ErrNone()) Touch(img);
      vek::ErrClear();
    }
    vek::ImgFree(&img);
  }
  vek::ErrClear();
  vek::MonitoredBoundary("Fuzz.Close", [&] { vek::MviClose(mh); });
  vek::ErrClear();
  if (vek::MemCount() != 0 || vek::FCount() != 0 || vek::MonDepth() != 0) std::abort();
  return 0;
}
