// The output settings dialog (wSettings): output size, depth, dithering and
// codec of a conversion job, with a live preview of its source files. The
// dialog edits a working copy of the job and writes it back only on OK.
#pragma once

#include <string>
#include <vector>

#include "platform/toolkit/toolkit.h"
#include "vek/vek.h"

namespace vek::ui {

// Control ids of the dialog (the resource names in the layout's `name`).
enum SettingsControl : int {
  kSetPanView = 1,  // panView
  kSetDisplay,      // the preview's display control
  kSetEdFrame,      // edFrame
  kSetEdFilename,   // edFilename
  kSetBarFrame,     // barFrame
  kSetBoxSize,      // boxSize
  kSetLabResX,
  kSetEdResX,       // edResX
  kSetLabResY,
  kSetEdResY,       // edResY
  kSetLabBPP,
  kSetLstBPP,       // lstBPP
  kSetChkDither,    // chkDither
  kSetBoxFormat,    // boxFormat
  kSetLabName,
  kSetEdName,       // edName
  kSetLabCodec,
  kSetEdCodec,      // edCodec
  kSetBtnCodec,     // btnCodec
  kSetBtnUndo,      // btnUndo
  kSetBtnOK,        // btnOK
  kSetBtnCancel,    // btnCancel
};

// Shows the dialog for `job` over the source files `files`; true when the
// user confirmed (the job then holds the new settings). With allow_changes
// false the output file and size groups and "Revert..." are greyed. Errors
// inside the dialog end it with false and stay recorded; without a display
// the result is false with nothing recorded (the caller reports it).
bool DlgSettings(VekJob& job, const std::vector<std::string>& files, const std::string& caption,
                 bool allow_changes);

// The dialog's control list for a caption (tests check its texts).
toolkit::DialogSpec SettingsLayout(const std::string& caption);

// Parses a size typed into an edit: the absolute value, clamped to 4..4096;
// false for text that is not a whole number.
bool ParseSize(const std::string& text, int32_t& value);

}  // namespace vek::ui
