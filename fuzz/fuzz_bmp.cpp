// libFuzzer target of the BMP reader.
#include "formats/still/bmp.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vek_fuzz::Run("bmp", vek::DIBLoad_, vek::DIBInfo, data, size);
}
