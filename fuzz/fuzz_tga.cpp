// libFuzzer target of the TGA reader.
#include "formats/still/tga.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vek_fuzz::Run("tga", vek::TGALoad_, vek::TGAInfo, data, size);
}
