// Our Cinepak compressor installed as this process's cvid codec where the
// system has no Cinepak compressor (Windows only).
#pragma once

namespace vek::platform {

// Checks once, on first use of the codec services; later calls do nothing.
void UseOwnCinepakWhereMissing();

}  // namespace vek::platform
