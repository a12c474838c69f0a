// Helpers shared by the sound buffer files; not part of the public interface.
#pragma once

#include <cstdint>

#include "sound/sound.h"

namespace vek::sndinternal {

// True when the buffer's data is a live tracked allocation.
bool Live(const SoundBuffer& snd);
// Empties a buffer without live data (keeping its format), makes this record
// the owner of its block and brings capacity and sample count within the block.
void MakeUsable(SoundBuffer& snd);
// Sample frames of `snd` that really lie inside its block at this frame size.
int32_t UsableCount(const SoundBuffer& snd, int32_t block_align);
// count x block_align, reporting an invalid memory request beyond 2 GiB.
int32_t CheckedBytes(int64_t count, int64_t block_align, int32_t site);

}  // namespace vek::sndinternal
