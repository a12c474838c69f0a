// The modal dialogs a host may open on a job.
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/file_list.h"
#include "api/job.h"
#include "engine/save_options.h"
#include "foundation/memory.h"
#include "platform/toolkit/toolkit.h"
#include "ui/option_dialogs.h"
#include "ui/settings_dialog.h"

namespace vek::api {

namespace {

void CheckDisplay(int32_t site) {
  if (!toolkit::DisplayAvailable()) ErrRaiseText(kGrpText, "No display available for dialogs.", site);
}

}  // namespace

}  // namespace vek::api

using namespace vek;
using namespace vek::api;

extern "C" {

VEK_EXPORT int32_t VEKAPI VekOutputDlg(VekJob* job, VekList* list, const char* caption,
                                       int32_t allowChanges) {
  return ApiCall<int32_t>("vekmain.VekOutputDlg", 0, [&]() -> int32_t {
    CheckJob(job, 3501);
    auto* files = reinterpret_cast<const VekFileList*>(list);
    if (files && !MemTracked(files)) ErrRaiseText(kGrpText, "Invalid file list handle.", 3502);
    if (job->state != 0) ErrRaiseText(kGrpText, "The job is being converted.", 3503);
    CheckDisplay(3504);
    static const std::vector<std::string> kNone;
    const bool ok = ui::DlgSettings(*job, files ? files->names : kNone, caption ? caption : "",
                                    allowChanges != 0);
    return ok ? -1 : 0;
  });
}

VEK_EXPORT int32_t VEKAPI VekCodecDlg(VekJob* job, int32_t fmtId, int32_t width, int32_t height,
                                      int32_t bpp) {
  return ApiCall<int32_t>("vekmain.VekCodecDlg", 0, [&]() -> int32_t {
    ApiTrace("VekCodecDlg: fmt=" + std::to_string(fmtId) + ", " + std::to_string(width) + "x" +
             std::to_string(height) + "x" + std::to_string(bpp));
    CheckJob(job, 3601);
    if (job->state != 0) ErrRaiseText(kGrpText, "The job is being converted.", 3602);
    ui::InstallFormatDialogs();
    FFSaveSetFormat(job->saveOpts, fmtId);
    // A format without settings is an error here, not a silent refusal.
    if (job->saveOpts.dialog == 0) ErrRaise(kGrpGeneral, kGenNotSupported, 3603);
    return FFSaveDlg(job->saveOpts, width, height, bpp) ? -1 : 0;
  });
}

}  // extern "C"
