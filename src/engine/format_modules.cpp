// The table of built format modules. Each format adds its entry here.
#include "engine/format_module.h"

namespace vek {

namespace {
const FormatModule* const kModules[] = {
    nullptr,  // placeholder so the table is never empty
};
}  // namespace

const FormatModule* FormatModuleFor(int32_t id) {
  for (const FormatModule* m : kModules)
    if (m && m->id == id) return m;
  return nullptr;
}

}  // namespace vek
