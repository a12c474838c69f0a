#include "engine/format_dispatch.h"

#include <cstring>

#include "engine/format_registry.h"
#include "foundation/errors.h"
#include "foundation/trace.h"

namespace vek {

void ImgLoad(const std::string& name, QImg& image, int32_t id) {
  Monitored("FFBasic.ImgLoad", [&] {
    if (id == kUndefined) id = FmtId(name, kReadTable);
    const FormatDescriptor* m = FormatFor(id);
    if (!m || !m->load) ErrRaise(kGrpImage, kImgInvalid, 1);
    m->load(name, image);
  });
}

void ImgSave(const std::string& name, QImg& image, int32_t id) {
  TraceSetOutput(name);
  Monitored("FFBasic.ImgSave", [&] {
    ErrClear();
    if (!ImgValid(&image)) ErrRaise(kGrpImage, kImgCorrupted, 2);
    if (id == kUndefined) id = FmtId(name, kWriteTable);
    const FormatDescriptor* m = FormatFor(id);
    // An extension writer saves nothing while the extension is off.
    if (m && FmtHasExtensionRows(*m) && !FmtIsWritable(id)) m = nullptr;
    if (!m || !m->save_image) ErrRaise(kGrpImage, kImgInvalid, 3);
    m->save_image(name, image);
  });
}

void FFInfo(const std::string& name, int32_t id, QffInfo& info) {
  Monitored("FFBasic.FFInfo", [&] {
    std::memset(&info, 0, sizeof info);
    const QffDesc row = FmtFind(name, kReadTable);
    if (id == kUndefined) id = row.id;
    const FormatDescriptor* m = FormatFor(id);
    // Exactly this pair tells the media layer that the format is not known.
    if (!m || !m->info) ErrRaise(kGrpMovie2, kMviWrite, 4);
    m->info(name, info);
    info.id = id;
    SetText(info.fullName, FmtFullName(id));
  });
  if (info.compression[0] == '\0') SetText(info.compression, kDefaultCompression);
  if (info.sndFormatName[0] == '\0') SetText(info.sndFormatName, kDefaultSoundFormat);
}

}  // namespace vek
