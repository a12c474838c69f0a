// libFuzzer target of the PCX reader.
#include "formats/still/pcx.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vek_fuzz::Run("pcx", vek::PCXLoad_, vek::PCXInfo, data, size);
}
