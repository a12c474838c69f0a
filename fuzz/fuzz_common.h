// Shared body of the reader fuzz targets: the input becomes a file, the
// info operation and the loader run on it, and whatever happens, no tracked
// memory, open file or monitored block may be left behind.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/file_info.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"

namespace vek_fuzz {

inline const std::string& InputName(const char* ext) {
  static const std::string name = [ext] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/vek_fuzz_" + std::to_string(getpid()) + "." + ext;
  }();
  return name;
}

inline int Run(const char* ext, void (*load)(const std::string&, vek::QImg&),
               void (*info)(const std::string&, vek::QffInfo&), const uint8_t* data,
               size_t size) {
  const std::string& name = InputName(ext);
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  // The header alone, first; pictures of more than 16 M pixels are legal
  // (a run-length bitmap may end after a few bytes) but only cost time here.
  vek::QffInfo fi{};
  vek::MonitoredBoundary("Fuzz.Info", [&] { info(name, fi); });
  if (vek::MemCount() != 0 || vek::FCount() != 0 || vek::MonDepth() != 0) std::abort();
  if (vek::ErrNone() && static_cast<int64_t>(fi.width) * fi.height > (int64_t{1} << 24)) return 0;

  vek::QImg img{};
  vek::MonitoredBoundary("Fuzz.Load", [&] { load(name, img); });
  const bool loaded = vek::ErrNone();
  if (loaded && (!img.pixels || img.size != img.width * img.height * img.bytespp)) std::abort();
  if (loaded) {
    // Touch every pixel so a short buffer shows up under the sanitizer.
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < img.size; i += 61) sum = static_cast<uint8_t>(sum + img.pixels[i]);
    if (img.size) sum = static_cast<uint8_t>(sum + img.pixels[img.size - 1]);
  }
  vek::ImgFree(&img);
  if (vek::MemCount() != 0 || vek::FCount() != 0 || vek::MonDepth() != 0) std::abort();
  vek::ErrClear();
  return 0;
}

}  // namespace vek_fuzz
