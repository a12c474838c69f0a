// Sound buffers for hosts. Sound data is measured as one second of the
// buffer's format; copies never go beyond the storage the buffer holds.
#include <algorithm>
#include <climits>
#include <cstring>

#include "api/call_frame.h"
#include "api/image_api.h"
#include "api/job.h"
#include "foundation/memory.h"

namespace vek::api {
namespace {

void RequireSound(const SoundBuffer* snd, int32_t site) {
  if (!snd) ErrRaiseText(kGrpText, "Invalid sound handle.", site);
}

// One second of a format: rate x channels x ((bits + 7) div 8) bytes.
int64_t OneSecond(int64_t rate, int64_t channels, int64_t bits) {
  if (rate <= 0 || channels <= 0 || bits <= 0) return 0;
  return rate * channels * ((bits + 7) / 8);
}

int64_t OneSecond(const WaveFormat& f) { return OneSecond(f.nSamplesPerSec, f.nChannels, f.wBitsPerSample); }

// Bytes of storage behind the buffer's data: none unless the data is a live
// tracked allocation, and never more than was allocated.
int64_t Storage(const SoundBuffer& snd) {
  if (!snd.data || !MemTracked(snd.data) || snd.capacity <= 0) return 0;
  return std::min<int64_t>(snd.capacity, MemSize(snd.data));
}

}  // namespace
}  // namespace vek::api

using namespace vek;
using namespace vek::api;

extern "C" {

VEK_EXPORT VekSound* VEKAPI VekSndAlloc(void) {
  return ApiCall<VekSound*>("vekmain.VekSndAlloc", nullptr, []() -> VekSound* {
    VekSound* sound = AllocHostRecord<VekSound>(2455, "vekmain.VekSndAlloc.sndP");
    std::memset(sound, 0, sizeof *sound);
    ApiTrace("VekSndAlloc: " + TrPtr(sound));
    return sound;
  });
}

VEK_EXPORT void VEKAPI VekSndFree(VekSound* sound) {
  ApiCall("vekmain.VekSndFree", [&] {
    if (!sound) return;
    SoundBuffer* snd = AsSnd(sound);
    ApiTrace("VekSndFree: " + TrPtr(sound) + ", " + SndTrace(snd));
    SndFree(*snd);
    // Buffers of the host's own (or of a running conversion) stay where they are.
    MemFree(sound);
  });
}

VEK_EXPORT void VEKAPI VekSndGetInfo(VekSound* sound, int32_t* rate, int32_t* channels, int32_t* bits,
                                     int32_t* size, uint8_t** data) {
  ApiCall("vekmain.VekSndGetInfo", [&] {
    SoundBuffer* snd = AsSnd(sound);
    RequireSound(snd, 1);
    ApiTrace("VekSndGetInfo: " + SndTrace(snd));
    const WaveFormat& f = snd->format;
    if (rate) *rate = static_cast<int32_t>(std::min<uint32_t>(f.nSamplesPerSec, INT32_MAX));
    if (channels) *channels = f.nChannels;
    if (bits) *bits = f.wBitsPerSample;
    if (size) *size = static_cast<int32_t>(std::min<int64_t>(OneSecond(f), INT32_MAX));
    if (data) *data = snd->data;
  });
}

VEK_EXPORT void VEKAPI VekSndGetSamples(VekSound* sound, void* buffer) {
  ApiCall("vekmain.VekSndGetSamples", [&] {
    SoundBuffer* snd = AsSnd(sound);
    RequireSound(snd, 2);
    ApiTrace("VekSndGetSamples: " + SndTrace(snd));
    if (!buffer) return;
    const int64_t n = std::min(OneSecond(snd->format), Storage(*snd));
    if (n > 0) std::memcpy(buffer, snd->data, static_cast<size_t>(n));
  });
}

VEK_EXPORT void VEKAPI VekSndSetSamples(VekSound* sound, int32_t rate, int32_t channels, int32_t bits,
                                        const void* data) {
  ApiCall("vekmain.VekSndSetSamples", [&] {
    SoundBuffer* snd = AsSnd(sound);
    RequireSound(snd, 3);
    ApiTrace("VekSndSetSamples: rate=" + NumText(rate) + ", channels=" + NumText(channels) +
             ", bits=" + NumText(bits));
    // The format must describe whole sample frames that fit its fields.
    if (rate <= 0 || channels <= 0 || bits < 8 || bits > 0xFFFF ||
        int64_t{channels} * (bits / 8) > 0xFFFF)
      ErrRaise(kGrpAudio, kAudInvalidFormat, 4);
    SndMakeFormat(snd->format, rate, channels, bits);
    const int64_t storage = Storage(*snd);
    // The samples held must still fit the storage in the new format.
    const int64_t held = storage / snd->format.nBlockAlign;
    if (snd->sample_count > held) snd->sample_count = static_cast<int32_t>(held);
    if (snd->sample_count < 0) snd->sample_count = 0;
    const int64_t n = std::min(OneSecond(rate, channels, bits), storage);
    if (data && n > 0) std::memmove(snd->data, data, static_cast<size_t>(n));
  });
}

}  // extern "C"
