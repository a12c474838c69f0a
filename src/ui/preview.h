// The image display control and the preview that fits a picture into it.
// Both draw through a dialog's Display control (toolkit), so the logic that
// decides what is shown stays apart from the drawing.
#pragma once

#include <cstdint>

#include "image/image.h"
#include "platform/toolkit/toolkit.h"

namespace vek::ui {

// The picture of an image record, as a display control takes it.
inline toolkit::PixelView ViewOf(const QImg& image) {
  return {image.width, image.height, image.bits, image.pixels, image.size, image.palette};
}

// Host callbacks of a display control: buttons 1 left, 2 right, 4 middle.
using DisplayMouseProc = void (*)(void* user, int32_t button, int32_t x, int32_t y);

// A display control (ctldisplay): owns a copy of one image, a background
// colour (0x00BBGGRR), an optional focus frame and the host's callbacks.
struct TDisplayControl {
  toolkit::DialogView* view = nullptr;
  int id = 0;  // the Display control of the dialog that draws it
  int left = 0, top = 0, width = 0, height = 0;
  QImg image{};
  uint32_t color = 0;
  // Focus frame: `lines` rectangles, each one pixel larger on every side.
  int focus_x = 0, focus_y = 0, focus_w = 0, focus_h = 0, focus_lines = 0;
  DisplayMouseProc on_click = nullptr, on_down = nullptr, on_move = nullptr, on_up = nullptr;
  void* user = nullptr;
};

// The dialog's layout entry for a display control.
toolkit::ControlSpec Display_Control(int id, int left, int top, int width, int height);
// Binds a display control to the open dialog's Display control `id`.
TDisplayControl* Display_Create_VCL(toolkit::DialogView& parent, int id, int left, int top,
                                    int width, int height);
void Display_SetBounds(TDisplayControl* display, int left, int top, int width, int height);
void Display_SetColor(TDisplayControl* display, uint32_t color);
// Shows the image (a copy is kept; `copy` false moves the pixels in instead,
// leaving the caller's record empty). Null clears the control.
void Display_ShowImg(TDisplayControl* display, QImg* image, bool copy);
void Display_SetFocusFrame(TDisplayControl* display, int x, int y, int w, int h, int lines);
// Redraws the control: the image at its origin, or the background colour.
void Display_Paint(TDisplayControl* display);
void Display_Free(TDisplayControl*& display);
// Hands a mouse event of the dialog's Display control to the host callbacks
// (the dialog's logic calls it from OnMouse).
void Display_Mouse(TDisplayControl* display, toolkit::MouseEvent event, int button, int x, int y);

// The preview (CtlPreview): a display control inside a sunken panel.
struct TPreview {
  toolkit::DialogView* view = nullptr;
  int panel_x = 0, panel_y = 0, panel_w = 0, panel_h = 0;
  int border = 0;
  TDisplayControl* display = nullptr;
  double scale = 0.0;    // displayed width / source width
  bool no_fit = false;   // show at the image's own size, never scaled
};

// Fast resizing (the default) or resampling for the scaled copies; process-wide.
void Preview_SetResample(bool resample);
bool Preview_Resample();

// `panel` is the panel's layout entry; the display control `display_id`
// starts at 16 x 16 with a black background inside it.
void Preview_Init(TPreview& preview, toolkit::DialogView& view, const toolkit::ControlSpec& panel,
                  int display_id, int border);
void Preview_SetColor(TPreview& preview, uint32_t color);
// Shows the image fitted into the panel, keeping its aspect, centred.
void Preview_Show(TPreview& preview, QImg* image);
void Preview_Done(TPreview& preview);

}  // namespace vek::ui
