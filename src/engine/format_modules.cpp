// The table of built format modules. Each format adds its entry here.
#include "engine/format_module.h"
#include "formats/still/bmp.h"
#include "formats/still/pcx.h"
#include "formats/still/tga.h"
#include "engine/format_registry.h"

namespace vek {

namespace {

void ApplyTga(const QSaveOpts& o) { TGASetRLE(o.prepCodec); }

constexpr FormatModule kTga{kFmtTGA, TGALoad_, TGASave_, TGAInfo, ApplyTga, nullptr, nullptr};
constexpr FormatModule kPcx{kFmtPCX, PCXLoad_, PCXSave_, PCXInfo, nullptr, nullptr, nullptr};
constexpr FormatModule kBmp{kFmtBMP, DIBLoad_, DIBSave_, DIBInfo, nullptr, nullptr, nullptr};

const FormatModule* const kModules[] = {&kTga, &kPcx, &kBmp};

}  // namespace

const FormatModule* FormatModuleFor(int32_t id) {
  for (const FormatModule* m : kModules)
    if (m->id == id) return m;
  return nullptr;
}

}  // namespace vek
