// XPM on Windows: libXpm has no Windows build, so both calls fail and the
// XPM module reports its open and create errors.
#include "platform/image_xpm.h"

namespace vek {

namespace {
constexpr int32_t kXpmOpenFailed = -1;  // libXpm's status for a file it cannot open
}  // namespace

int32_t ReadXpm(const char*, XpmExchange*) { return kXpmOpenFailed; }

int32_t WriteXpm(const char*, XpmExchange*) { return kXpmOpenFailed; }

}  // namespace vek
