// libFuzzer target of one format reader, built once per reading module of
// the module list with VEK_FUZZ_FORMAT naming its descriptor. The input
// becomes a file; the info operation and then the loader (stills) or every
// movie operation that reads (movies and sound) run on it, and whatever
// happens, no tracked memory, open file or monitored block may be left.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/format_dispatch.h"
#include "engine/format_registry.h"
#include "engine/media_access.h"
#include "sound/sound.h"
#include "formats/format_descriptor.h"
#include "formats/still/orientation.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "image/image.h"

namespace vek {
extern const FormatDescriptor VEK_FUZZ_FORMAT;
}

namespace {

const vek::FormatDescriptor& D() { return vek::VEK_FUZZ_FORMAT; }

// The first extension of the format's first reading row.
std::string Extension() {
  std::string ext = D().read_count > 0 ? D().read_rows[0].row.extensions : ".bin";
  const auto next = ext.find('.', 1);
  return next == std::string::npos ? ext : ext.substr(0, next);
}

const std::string& InputName() {
  static const std::string name = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/vek_fuzz_" + std::to_string(getpid()) + Extension();
  }();
  return name;
}

void CheckClean() {
  if (vek::MemCount() != 0 || vek::FCount() != 0 || vek::MonDepth() != 0) std::abort();
}

void Touch(const vek::QImg& img) {
  if (img.pixels == nullptr || img.size != img.width * img.height * img.bytespp) std::abort();
  // Every pixel is read so that a short buffer shows up under the sanitizer.
  volatile uint8_t sum = 0;
  for (int32_t i = 0; i < img.size; i += 61) sum = static_cast<uint8_t>(sum + img.pixels[i]);
  if (img.size) sum = static_cast<uint8_t>(sum + img.pixels[img.size - 1]);
}

// Pictures of more than 16 M pixels are legal but only cost time here.
constexpr int64_t kMaxPixels = int64_t{1} << 24;
constexpr int32_t kMaxFrames = 64;

void RunStill(const std::string& name) {
  vek::QImg img{};
  vek::MonitoredBoundary("Fuzz.Load", [&] { D().load(name, img); });
  if (vek::ErrNone()) Touch(img);
  vek::ImgFree(&img);
}

void RunMovie(const std::string& name, const vek::QffInfo& fi) {
  vek::QMovieHandle mh{vek::kUndefined, nullptr, nullptr};
  vek::MonitoredBoundary("Fuzz.Open", [&] { vek::MviOpen(mh, name, D().id); });
  if (!vek::ErrNone() || !mh.ops) {
    vek::ErrClear();
    vek::MonitoredBoundary("Fuzz.Close", [&] { vek::MviClose(mh); });
    return;
  }
  const int32_t frames = std::min(vek::MviView(mh).frames, kMaxFrames);
  vek::QImg img{};
  for (int32_t f = 1; f <= frames && fi.imagesValid; ++f) {
    vek::MonitoredBoundary("Fuzz.Frame", [&] { vek::MviImgLoad(mh, img, f, 0); });
    if (!vek::ErrNone()) break;
    Touch(img);
  }
  // Backwards once: delta formats must find their key frames again.
  if (frames > 1 && fi.imagesValid) {
    vek::MonitoredBoundary("Fuzz.Back", [&] { vek::MviImgLoad(mh, img, 1, 0); });
    if (vek::ErrNone()) Touch(img);
  }
  vek::ImgFree(&img);
  vek::SoundBuffer snd{};
  for (int32_t first : {0, 1000, 0}) {
    vek::MonitoredBoundary("Fuzz.Sound", [&] { vek::MviSndLoad(mh, snd, first, 0, 4096); });
    if (!vek::ErrNone()) break;
  }
  vek::SndFree(snd);
  vek::ErrClear();
  vek::MonitoredBoundary("Fuzz.Close", [&] { vek::MviClose(mh); });
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A module whose reader is not built yet has nothing to fuzz.
  if (!D().load && !(D().movie && D().movie->open)) {
    std::fprintf(stderr, "fuzz: the %s module reads nothing yet\n", D().tag);
    std::exit(0);
  }
  // The extension formats exist only while they are switched on.
  if (vek::FmtHasExtensionRows(D())) vek::FmtSetExtensions(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& name = InputName();
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  // Half of the inputs load turned as their orientation says.
  vek::StillSetAutoOrient(static_cast<int32_t>(size & 1));
  vek::QffInfo fi{};
  vek::MonitoredBoundary("Fuzz.Info", [&] { vek::FFInfo(name, D().id, fi); });
  CheckClean();
  const bool known = vek::ErrNone();
  vek::ErrClear();
  if (known && static_cast<int64_t>(fi.width) * fi.height > kMaxPixels) return 0;
  // Stills through the loader, movies through every movie operation;
  // animations (a still or a movie by frame count) through both.
  if (D().load && D().kind != vek::FormatKindRule::kMovie) RunStill(name);
  if (D().movie && D().kind != vek::FormatKindRule::kStill) RunMovie(name, fi);
  CheckClean();
  vek::ErrClear();
  return 0;
}
