#include "ui/preview.h"

#include <algorithm>
#include <cstring>

#include "foundation/errors.h"
#include "image/geometry.h"

namespace vek::ui {

namespace {

bool g_resample = false;

// Hands the pixels of `from` to `to` (whose own go); `from` is left empty.
// The allocation stays the same tracked block, so no exchange is needed.
void MoveImg(QImg& from, QImg& to) {
  if (&from == &to) return;
  ImgFree(&to);
  to = from;
  from = QImg{};
}

bool HasPicture(const QImg& image) {
  return image.pixels && image.width > 0 && image.height > 0;
}

// Windows draws focus rectangles as dotted lines that invert what is below.
void DottedRect(QImg& canvas, int x, int y, int w, int h) {
  auto invert = [&](int px, int py) {
    if (px < 0 || py < 0 || px >= canvas.width || py >= canvas.height) return;
    if (((px + py) & 1) != 0) return;
    uint8_t* p = canvas.pixels + (static_cast<size_t>(py) * canvas.width + px) * 3;
    p[0] = static_cast<uint8_t>(~p[0]), p[1] = static_cast<uint8_t>(~p[1]), p[2] = static_cast<uint8_t>(~p[2]);
  };
  if (w <= 0 || h <= 0) return;
  for (int i = 0; i < w; ++i) {
    invert(x + i, y);
    if (h > 1) invert(x + i, y + h - 1);
  }
  for (int j = 1; j < h - 1; ++j) {
    invert(x, y + j);
    if (w > 1) invert(x + w - 1, y + j);
  }
}

}  // namespace

toolkit::ControlSpec Display_Control(int id, int left, int top, int width, int height) {
  toolkit::ControlSpec c;
  c.id = id;
  c.kind = toolkit::ControlKind::Display;
  c.name = "display";
  c.x = left, c.y = top, c.w = width, c.h = height;
  return c;
}

TDisplayControl* Display_Create_VCL(toolkit::DialogView& parent, int id, int left, int top,
                                    int width, int height) {
  auto* d = new TDisplayControl();
  d->view = &parent;
  d->id = id;
  Display_SetBounds(d, left, top, width, height);
  Display_SetColor(d, 0);
  return d;
}

void Display_SetBounds(TDisplayControl* d, int left, int top, int width, int height) {
  if (!d) return;
  d->left = left, d->top = top, d->width = std::max(width, 0), d->height = std::max(height, 0);
  if (d->view) d->view->SetBounds(d->id, d->left, d->top, d->width, d->height);
}

void Display_SetColor(TDisplayControl* d, uint32_t color) {
  if (!d) return;
  d->color = color;
  Display_Paint(d);
}

void Display_ShowImg(TDisplayControl* d, QImg* image, bool copy) {
  Monitored("ctldisplay.Display_ShowImg", [&] {
    if (!d) return;
    if (!image || !HasPicture(*image)) {
      ImgFree(&d->image);
    } else if (copy) {
      QImg fresh{};
      ImgGuard guard(fresh);
      ImgCopy(image, &fresh);
      MoveImg(fresh, d->image);
    } else {
      MoveImg(*image, d->image);
    }
    Display_Paint(d);
  });
}

void Display_SetFocusFrame(TDisplayControl* d, int x, int y, int w, int h, int lines) {
  if (!d) return;
  d->focus_x = x, d->focus_y = y, d->focus_w = w, d->focus_h = h;
  d->focus_lines = std::clamp(lines, 0, 64);
  Display_Paint(d);
}

void Display_Paint(TDisplayControl* d) {
  if (!d || !d->view) return;
  d->view->SetColor(d->id, d->color);
  const bool picture = HasPicture(d->image);
  // Nothing to show (no picture, no frame): no stray square of background.
  d->view->SetVisible(d->id, picture || (d->focus_lines > 0 && d->width > 0 && d->height > 0));
  if (d->focus_lines <= 0 || d->width <= 0 || d->height <= 0) {
    const toolkit::PixelView view = ViewOf(d->image);
    d->view->ShowImage(d->id, picture ? &view : nullptr);
    return;
  }
  Monitored("ctldisplay.Display_Paint", [&] {
    // The frame may lie beside the picture: paint the whole control.
    QImg canvas{};
    ImgGuard guard(canvas);
    ImgAlloc(&canvas, d->width, d->height, 24, 3401, "ctldisplay.Display_Paint.canvas");
    for (int64_t i = 0; i < static_cast<int64_t>(d->width) * d->height; ++i) {
      canvas.pixels[3 * i] = static_cast<uint8_t>(d->color >> 16);
      canvas.pixels[3 * i + 1] = static_cast<uint8_t>(d->color >> 8);
      canvas.pixels[3 * i + 2] = static_cast<uint8_t>(d->color);
    }
    if (picture) ImgInsert(&d->image, &canvas, 0, 0);
    for (int k = 0; k < d->focus_lines; ++k)
      DottedRect(canvas, d->focus_x - k, d->focus_y - k, d->focus_w + 2 * k, d->focus_h + 2 * k);
    const toolkit::PixelView view = ViewOf(canvas);
    d->view->ShowImage(d->id, &view);
  });
}

void Display_Free(TDisplayControl*& d) {
  if (!d) return;
  ImgFree(&d->image);
  delete d;
  d = nullptr;
}

void Display_Mouse(TDisplayControl* d, toolkit::MouseEvent event, int button, int x, int y) {
  if (!d) return;
  DisplayMouseProc proc = nullptr;
  switch (event) {
    case toolkit::MouseEvent::Down: proc = d->on_down; break;
    case toolkit::MouseEvent::Move: proc = d->on_move; break;
    case toolkit::MouseEvent::Up: proc = d->on_up; break;
    case toolkit::MouseEvent::Click: proc = d->on_click; break;
  }
  if (proc) proc(d->user, button, x, y);
}

void Preview_SetResample(bool resample) { g_resample = resample; }
bool Preview_Resample() { return g_resample; }

void Preview_Init(TPreview& p, toolkit::DialogView& view, const toolkit::ControlSpec& panel,
                  int display_id, int border) {
  Preview_Done(p);
  p.view = &view;
  p.panel_x = panel.x, p.panel_y = panel.y, p.panel_w = panel.w, p.panel_h = panel.h;
  p.border = std::max(border, 0);
  p.scale = 0.0;
  p.no_fit = false;
  p.display = Display_Create_VCL(view, display_id, p.panel_x + p.border, p.panel_y + p.border, 16, 16);
}

void Preview_SetColor(TPreview& p, uint32_t color) { Display_SetColor(p.display, color); }

void Preview_Show(TPreview& p, QImg* image) {
  Monitored("CtlPreview.Preview_Show", [&] {
    if (!p.display) return;
    if (!image || !HasPicture(*image)) {
      Display_ShowImg(p.display, nullptr, false);
      p.scale = 0.0;
      return;
    }
    const int box_w = std::max(p.panel_w - 2 * p.border, 1);
    const int box_h = std::max(p.panel_h - 2 * p.border, 1);
    BoxFit f{image->width, image->height, (box_w - image->width) / 2, (box_h - image->height) / 2};
    if (!p.no_fit) f = CalcBoxResize(image->width, image->height, box_w, box_h, false);
    QImg scaled{};
    ImgGuard guard(scaled);
    if (f.width != image->width || f.height != image->height) {
      if (g_resample)
        ImgResample(image, &scaled, f.width, f.height);
      else
        ImgResize(image, &scaled, f.width, f.height);
    } else {
      ImgCopy(image, &scaled);
    }
    // A picture larger than the box (no fitting) is cut at the box.
    const int x = std::max(f.dx, 0), y = std::max(f.dy, 0);
    Display_SetBounds(p.display, p.panel_x + p.border + x, p.panel_y + p.border + y,
                      std::min(f.width, box_w), std::min(f.height, box_h));
    p.scale = static_cast<double>(f.width) / image->width;
    Display_ShowImg(p.display, &scaled, false);
  });
}

void Preview_Done(TPreview& p) {
  Display_Free(p.display);
  p.view = nullptr;
  p.scale = 0.0;
}

}  // namespace vek::ui
