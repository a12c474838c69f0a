// Helpers shared by the image, drawing and sound exports: handle checks,
// the trace text of a record, and running an operation on a record whose
// pixels may belong to the host.
#pragma once

#include <cstdint>
#include <string>

#include "api/call_frame.h"
#include "sound/sound.h"
#include "image/image.h"

namespace vek::api {

// Image and sound handles are the addresses of host-visible records.
inline QImg* AsImg(VekImage* image) { return reinterpret_cast<QImg*>(image); }
inline SoundBuffer* AsSnd(VekSound* sound) { return reinterpret_cast<SoundBuffer*>(sound); }

// IMG of the trace lines: width "x" height "x" bits.
std::string ImgTrace(const QImg* image);
// A sound of the trace lines: rate "x" channels "x" bits "|" sample count.
std::string SndTrace(const SoundBuffer* sound);

// Raises "Invalid image handle." for a null handle.
void RequireImage(const QImg* image, int32_t site);
// Before pixels are read: the handle, pixels that are really there, and
// fields that agree with each other and with the storage behind them
// ("Image data corrupted." otherwise). A host may have changed the record.
void RequirePixels(const QImg* image, int32_t site);

// Runs `op(source, destination)` so that `image` ends up holding the result.
// Library-owned pixels are worked on in place. Host-owned (external) pixels
// are never freed or exchanged: a result of the same shape is copied back
// into the host's memory, any other result replaces them with pixels the
// library owns.
template <class Op>
void ImgInPlace(QImg* image, Op&& op);

namespace detail {
void ImgTakeResult(QImg* image, QImg* result);
}

template <class Op>
void ImgInPlace(QImg* image, Op&& op) {
  if (!image->external) {
    op(image, image);
    return;
  }
  QImg result{};
  ImgGuard guard(result);
  op(image, &result);
  detail::ImgTakeResult(image, &result);
}

// Runs an export's body in the call frame but without naming it on the
// procedure path (the remap export does not).
template <class F>
void ApiCallUnnamed(F&& body) {
  detail::RunFrame<int>(0, [&] {
    body();
    return 0;
  });
}

}  // namespace vek::api
