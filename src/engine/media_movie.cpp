// The movie layer: dispatch to the movie and sound modules by format id.
#include <cstring>

#include "engine/format_registry.h"
#include "engine/media_access.h"
#include "foundation/errors.h"
#include "foundation/memory.h"

namespace vek {

namespace {

const MovieOps* MovieOpsFor(int32_t id) {
  const FormatDescriptor* d = FormatFor(id);
  return d ? d->movie : nullptr;
}

void AllocState(QMovieHandle& mh, const MovieOps* ops, const char* verb, int32_t site) {
  const std::string label = std::string("ConForm.") + verb + ".mf." + ops->tag;
  const int32_t size = ops->state_size > 0 ? ops->state_size : 4;
  void* state = nullptr;
  _memalloc_(&state, size, site, kMemNew, label.c_str(), true);
  std::memset(state, 0, static_cast<size_t>(size));
  if (ops->construct) ops->construct(state);
  mh.state = state;
  mh.ops = ops;
}

void Release(QMovieHandle& mh) {
  if (mh.state && mh.ops && mh.ops->destroy) mh.ops->destroy(mh.state);
  MemFree(mh.state);
  mh = QMovieHandle{kUndefined, nullptr, nullptr};
}

}  // namespace

MovieView MviView(const QMovieHandle& mh) {
  if (!mh.ops || !mh.state || !mh.ops->view) return MovieView{};
  return mh.ops->view(mh.state);
}

void MviOpen(QMovieHandle& mh, const std::string& name, int32_t id) {
  Monitored("ConForm.MviOpen", [&] {
    mh = QMovieHandle{kUndefined, nullptr, nullptr};
    if (id == kUndefined) id = FmtId(name, kReadTable);
    const MovieOps* ops = MovieOpsFor(id);
    if (!ops || !ops->open) ErrRaise(kGrpMovie, kMviInvalidFormat, 1);
    mh.id = id;
    AllocState(mh, ops, "MviOpen", 2);
    MonSetCleanup([&mh] { Release(mh); });  // a failed open ends the state too
    ops->open(mh.state, name);
  });
}

void MviImgLoad(QMovieHandle& mh, QImg& image, int32_t frame, int32_t mode) {
  Monitored("ConForm.MviImgLoad", [&] {
    if (!mh.ops) ErrRaise(kGrpMovie, kMviInvalidFormat, 3);
    const MovieView v = MviView(mh);
    if (v.writing) return;
    if (frame > v.frames) ErrRaise(kGrpMovie, kMviEnd, 4);
    if (!mh.ops->img_load) ErrRaise(kGrpMovie, kMviNotSupported, 5);
    mh.ops->img_load(mh.state, image, frame, mode);
  });
}

void MviSndLoad(QMovieHandle& mh, SoundBuffer& snd, int32_t first, int32_t mode, int32_t count) {
  Monitored("ConForm.MviSndLoad", [&] {
    if (!mh.ops) ErrRaise(kGrpMovie, kMviInvalidFormat, 6);
    if (!mh.ops->snd_load) {
      snd.sample_count = 0;
      return;
    }
    mh.ops->snd_load(mh.state, snd, first, mode, count);
  });
}

void MviCreate(QMovieHandle& mh, const std::string& name, double fps, int32_t frames_per_block,
               int32_t expected_frames) {
  Monitored("ConForm.MviCreate", [&] {
    mh = QMovieHandle{kUndefined, nullptr, nullptr};
    const int32_t id = FmtId(name, kWriteTable);
    const MovieOps* ops = MovieOpsFor(id);
    if (!ops || !ops->create) ErrRaise(kGrpMovie, kMviInvalidFormat, 7);
    mh.id = id;
    AllocState(mh, ops, "MviCreate", 8);
    MonSetCleanup([&mh] { Release(mh); });
    ops->create(mh.state, name, fps, frames_per_block, expected_frames);
  });
}

void MviImgSave(QMovieHandle& mh, QImg& image) {
  Monitored("ConForm.MviImgSave", [&] {
    if (!FmtIsWritable(mh.id)) ErrRaise(kGrpMovie, kMviInvalidFormat, 9);
    if (!mh.ops || !MviView(mh).writing) ErrRaise(kGrpMovie, kMviWrite, 10);
    if (!mh.ops->img_save) ErrRaise(kGrpMovie, kMviNotSupported, 11);
    mh.ops->img_save(mh.state, image);
  });
}

void MviSndSave(QMovieHandle& mh, SoundBuffer& snd) {
  Monitored("ConForm.MviSndSave", [&] {
    if (!mh.ops || !MviView(mh).writing) ErrRaise(kGrpMovie, kMviWrite, 12);
    if (!mh.ops->snd_save) ErrRaise(kGrpMovie, kMviNotSupported, 13);
    mh.ops->snd_save(mh.state, snd);
  });
}

void MviClose(QMovieHandle& mh) {
  Monitored("ConForm.MviClose", [&] {
    if (!mh.ops || !mh.state) {
      Release(mh);
      return;
    }
    // The state is released even when the module's close fails.
    MonSetCleanup([&mh] { Release(mh); });
    if (mh.ops->close) mh.ops->close(mh.state);
    Release(mh);
  });
}

void MviSetAviCustomInfo(QMovieHandle& mh, const char* id, const char* text) {
  Monitored("ConForm.MviSetAviCustomInfo", [&] {
    if (!mh.ops || !mh.ops->set_custom_info || !MviView(mh).writing) return;
    mh.ops->set_custom_info(mh.state, id, text);
  });
}

void MviExpectSound(QMovieHandle& mh, const WaveFormat& format) {
  Monitored("ConForm.MviExpectSound", [&] {
    if (!mh.ops || !mh.ops->expect_sound || !MviView(mh).writing) return;
    mh.ops->expect_sound(mh.state, format);
  });
}

}  // namespace vek
