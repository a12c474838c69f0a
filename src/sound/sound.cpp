// Sound buffer operations (unit SndBasic).
#include <cstring>
#include <string>

#include "sound/sound.h"
#include "sound/sound_internal.h"
#include "foundation/errors.h"
#include "foundation/memory.h"

namespace vek {

using sndinternal::CheckedBytes;
using sndinternal::UsableCount;

void SndMakeFormat(WaveFormat& format, int32_t rate, int32_t channels, int32_t bits) {
  format.wFormatTag = kWaveFormatPcm;
  format.nChannels = static_cast<uint16_t>(channels);
  format.nSamplesPerSec = static_cast<uint32_t>(rate);
  format.nBlockAlign = static_cast<uint16_t>(channels * (bits / 8));
  format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
  format.wBitsPerSample = static_cast<uint16_t>(bits);
  format.cbSize = 0;
}

bool SndCompleteFormat(WaveFormat& format) {
  if (format.wBitsPerSample == 0 || format.nSamplesPerSec == 0 || format.nChannels == 0)
    return false;
  // Samples narrower than a byte give no frame size, and products that do
  // not fit the record's fields no format: either would break every size.
  const uint64_t align = uint64_t(format.nChannels) * (format.wBitsPerSample / 8);
  const uint64_t avg = uint64_t(format.nSamplesPerSec) * align;
  if (align == 0 || align > UINT16_MAX || avg > UINT32_MAX) return false;
  format.nBlockAlign = static_cast<uint16_t>(align);
  format.nAvgBytesPerSec = static_cast<uint32_t>(avg);
  return true;
}

bool SndFormatsDiffer(const WaveFormat& a, const WaveFormat& b) {
  return std::memcmp(&a, &b, 16) != 0;
}

namespace sndinternal {

bool Live(const SoundBuffer& snd) { return snd.data && MemTracked(snd.data); }

void MakeUsable(SoundBuffer& snd) {
  if (!Live(snd)) {
    snd.data = nullptr;
    snd.capacity = 0;
    snd.sample_count = 0;
    return;
  }
  const int64_t real = MemSize(snd.data);
  if (snd.capacity < 0 || snd.capacity > real) snd.capacity = static_cast<int32_t>(real);
  snd.sample_count = UsableCount(snd, snd.format.nBlockAlign);
}

int32_t UsableCount(const SoundBuffer& snd, int32_t block_align) {
  if (!Live(snd) || snd.sample_count <= 0) return 0;
  if (block_align <= 0) return snd.sample_count;
  int64_t cap = snd.capacity;
  const int64_t real = MemSize(snd.data);
  if (cap < 0 || cap > real) cap = real;
  const int64_t fit = cap / block_align;
  return static_cast<int32_t>(snd.sample_count < fit ? snd.sample_count : fit);
}

int32_t CheckedBytes(int64_t count, int64_t block_align, int32_t site) {
  const int64_t bytes = count * block_align;
  if (count < 0 || block_align < 0 || bytes > INT32_MAX)
    ErrRaise(kGrpMemory, kMemInvalidRequest, site);
  return static_cast<int32_t>(bytes);
}

}  // namespace sndinternal

void _sndalloc_(SoundBuffer& snd, int64_t size, int32_t line, const char* label) {
  Monitored("SndBasic._sndalloc_", [&] {
    if (!sndinternal::Live(snd)) std::memset(&snd, 0, sizeof snd);
    if (size > INT32_MAX) ErrRaise(kGrpMemory, kMemInvalidRequest, 1);
    const std::string text = std::string("(SndAlloc):") + (label ? label : "");
    MemAllocHeld(snd.data, size, line, kMemRealloc, text.c_str());
    snd.capacity = static_cast<int32_t>(size);
  });
}

void SndFree(SoundBuffer& snd) {
  Monitored("SndBasic.SndFree", [&] {
    if (snd.data) MemFree(snd.data);
    std::memset(&snd, 0, sizeof snd);
  });
}

void SndAddSilence(SoundBuffer& snd, int32_t total) {
  Monitored("SndBasic.SndAddSilence", [&] {
    if (!SndCompleteFormat(snd.format)) ErrRaise(kGrpAudio, kAudInvalidFormat, 2);
    // A buffer without live data is empty; its format stays.
    sndinternal::MakeUsable(snd);
    const int64_t current = int64_t(snd.sample_count) * snd.format.nBlockAlign;
    const int64_t wanted = CheckedBytes(total < 0 ? 0 : total, snd.format.nBlockAlign, 3);
    if (current >= wanted) return;
    if (snd.format.wFormatTag == 0) SndMakeFormat(snd.format, 22050, 1, 8);
    // The default format may change the frame size.
    const int64_t from = int64_t(snd.sample_count) * snd.format.nBlockAlign;
    const int32_t to = CheckedBytes(total, snd.format.nBlockAlign, 4);
    if (snd.capacity < to || !snd.data) {
      MemAllocHeld(snd.data, to, 5, kMemRealloc, "SndBasic.SndAddSilence.snd.SndData");
      snd.capacity = to;
    }
    if (to > from)
      std::memset(snd.data + from, snd.format.wBitsPerSample == 8 ? 128 : 0,
                  static_cast<size_t>(to - from));
    snd.sample_count = total;
  });
}

void SndMakeSilence(SoundBuffer& snd, int32_t count, const WaveFormat& format) {
  Monitored("SndBasic.SndMakeSilence", [&] {
    snd.format = format;
    snd.sample_count = 0;
    SndAddSilence(snd, count);
  });
}

void SndJoin(SoundBuffer& target, const SoundBuffer& source) {
  Monitored("SndBasic.SndJoin", [&] {
    WaveFormat sf = source.format;
    if (!SndCompleteFormat(sf)) return;
    if (UsableCount(source, sf.nBlockAlign) <= 0) return;
    sndinternal::MakeUsable(target);
    SoundBuffer temp{};
    SndGuard guard_temp(temp);
    const SoundBuffer* from = &source;
    if (SndFormatsDiffer(target.format, sf)) {
      if (target.sample_count == 0) target.format = sf;
      if (SndFormatsDiffer(target.format, sf)) {
        SndConvert(source, temp, target.format);
        from = &temp;
      }
    }
    const int32_t ba = target.format.nBlockAlign;
    const int32_t add = UsableCount(*from, ba);
    if (add <= 0) return;
    const int32_t have = target.sample_count;
    const int32_t needed = CheckedBytes(int64_t(have) + add, ba, 6);
    if (target.capacity < needed || !target.data) {
      MemAllocHeld(target.data, needed, 7, kMemRealloc, "SndBasic.SndJoin.join_to.sndData");
      target.capacity = needed;
    }
    // Read the source pointer only now: it is the target's own when joining a buffer to itself.
    std::memcpy(target.data + int64_t(have) * ba, from->data, size_t(add) * ba);
    target.sample_count = have + add;
  });
}

void SndMove(const SoundBuffer& source, SoundBuffer& dest, int32_t first, int32_t count) {
  Monitored("SndBasic.SndMove", [&] {
    WaveFormat sf = source.format;
    if (!SndCompleteFormat(sf)) return;
    const int32_t have = UsableCount(source, sf.nBlockAlign);
    if (first < 0 || first >= have || count < 1) return;
    if (int64_t(first) + count > have) count = have - first;
    const int32_t ba = sf.nBlockAlign;
    const int32_t bytes = CheckedBytes(count, ba, 8);
    if (&source == &dest) {
      // Moving within one buffer: shift first, then shrink.
      std::memmove(dest.data, dest.data + int64_t(first) * ba, size_t(bytes));
      _sndalloc_(dest, bytes, 9, "SndBasic.SndMove.dest");
    } else {
      _sndalloc_(dest, bytes, 10, "SndBasic.SndMove.dest");
      std::memcpy(dest.data, source.data + int64_t(first) * ba, size_t(bytes));
    }
    dest.format = sf;
    dest.sample_count = count;
  });
}

void SndDelete(SoundBuffer& snd, int32_t first, int32_t count) {
  Monitored("SndBasic.SndDelete", [&] {
    if (!SndCompleteFormat(snd.format)) return;
    sndinternal::MakeUsable(snd);
    if (first < 0 || first >= snd.sample_count || count < 1) return;
    if (int64_t(first) + count > snd.sample_count) {
      snd.sample_count = first;
      return;
    }
    const int64_t ba = snd.format.nBlockAlign;
    const int32_t rest = snd.sample_count - first - count;
    std::memmove(snd.data + first * ba, snd.data + (int64_t(first) + count) * ba,
                 size_t(rest * ba));
    snd.sample_count -= count;
    const int32_t bytes = CheckedBytes(snd.sample_count, ba, 11);
    if (bytes == 0) {
      // Nothing left: release the storage rather than ask for an empty block.
      MemFree(snd.data);
      snd.capacity = 0;
      return;
    }
    MemAllocHeld(snd.data, bytes, 12, kMemRealloc, "SndBasic.SndDelete.snd.sndData");
    snd.capacity = bytes;
  });
}

}  // namespace vek
