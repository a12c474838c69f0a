// The dialogs drawn with FLTK 1.3 on X11. A dialog is an Fl_Double_Window
// made modal and run by its own Fl::wait() loop, so a host keeps its main
// loop (FLTK's or any other) and nothing global of FLTK is changed: no
// scheme, no default fonts, no Fl::run.
#include "platform/toolkit/toolkit.h"
#include "platform/toolkit/toolkit_shared.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Round_Button.H>
#include <FL/Fl_Scrollbar.H>
#include <FL/Fl_Slider.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <vector>


namespace vek::toolkit {

namespace {

constexpr int kFontSize = 13;

TestDriver g_driver;

// FLTK reads '@' as the start of a symbol; dialog texts mean the character.
std::string LabelText(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '@') out += '@';
  }
  return out;
}

// Menu item texts: '/' would open a submenu, '\\' escapes, '&' underlines.
std::string MenuText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '/' || c == '\\' || (c == '_' && i == 0)) out += '\\';
    if (c == '&') out += '&';
    if (c == '@') out += '@';
    out += c;
  }
  return out.empty() ? std::string(" ") : out;
}

Fl_Color ToFlColor(uint32_t c) {  // 0x00BBGGRR
  return fl_rgb_color(static_cast<uchar>(c & 0xFF), static_cast<uchar>((c >> 8) & 0xFF),
                      static_cast<uchar>((c >> 16) & 0xFF));
}

class FltkView;

// What a widget's callback needs to find its control.
struct Ctl {
  ControlSpec spec;
  FltkView* view = nullptr;
  Fl_Widget* widget = nullptr;
  std::string text;  // caption as the logic gave it (labels, buttons, groups)
  std::vector<std::string> items;
  std::vector<Fl_Round_Button*> radios;  // RadioGroup
  int line = 1, page = 1;
};

// Static text; with an access key it moves the focus to the next control.
class LabelBox : public Fl_Box {
 public:
  LabelBox(int x, int y, int w, int h) : Fl_Box(x, y, w, h) { set_flag(SHORTCUT_LABEL); }
  Fl_Widget* buddy = nullptr;
  int handle(int event) override {
    if (event == FL_SHORTCUT && buddy && Fl::event_alt() && test_shortcut()) {
      buddy->take_focus();
      return 1;
    }
    return Fl_Box::handle(event);
  }
};

// Draws a Windows-like group frame: a line broken by the caption.
void DrawFrame(Fl_Widget* w, const char* label, Fl_Color bg) {
  const int lh = kFontSize + 4;
  fl_draw_box(FL_ENGRAVED_FRAME, w->x(), w->y() + lh / 2, w->w(), w->h() - lh / 2, bg);
  if (label && *label) {
    fl_font(w->labelfont(), w->labelsize());
    int tw = 0, th = 0;
    fl_measure(label, tw, th, 0);
    fl_color(bg);
    fl_rectf(w->x() + 7, w->y(), tw + 6, lh);
    fl_color(w->active_r() ? w->labelcolor() : fl_inactive(w->labelcolor()));
    fl_draw(label, w->x() + 10, w->y(), tw, lh, FL_ALIGN_LEFT | FL_ALIGN_INSIDE, nullptr, 0);
  }
}

class FrameBox : public Fl_Box {
 public:
  FrameBox(int x, int y, int w, int h) : Fl_Box(x, y, w, h) { box(FL_NO_BOX); }
  void draw() override { DrawFrame(this, label(), color()); }
};

class FrameGroup : public Fl_Group {
 public:
  // The caption is drawn with the frame; "inside" keeps the window from drawing it again above.
  FrameGroup(int x, int y, int w, int h) : Fl_Group(x, y, w, h) {
    box(FL_NO_BOX);
    align(FL_ALIGN_INSIDE);
  }
  void draw() override {
    if (damage() & ~FL_DAMAGE_CHILD) {
      fl_color(color());
      fl_rectf(x(), y(), w(), h());
      DrawFrame(this, label(), color());
    }
    draw_children();
  }
};

class EditWidget : public Fl_Input {
 public:
  EditWidget(int x, int y, int w, int h) : Fl_Input(x, y, w, h) {}
  Ctl* ctl = nullptr;
  int handle(int event) override;
};

class DisplayWidget : public Fl_Widget {
 public:
  DisplayWidget(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}
  Ctl* ctl = nullptr;
  int handle(int event) override;
  std::vector<uint8_t> rgb;
  int iw = 0, ih = 0;
  uint32_t background = 0;
  void draw() override {
    fl_push_clip(x(), y(), w(), h());
    fl_color(ToFlColor(background));
    fl_rectf(x(), y(), w(), h());
    if (iw > 0 && ih > 0) fl_draw_image(rgb.data(), x(), y(), iw, ih, 3);
    fl_pop_clip();
  }
};

class FltkView final : public ViewBase {
 public:
  explicit FltkView(DialogLogic& logic) : ViewBase(logic) {}
  ~FltkView() override {
    dead_ = true;
    delete window_;
  }

  void Build(const DialogSpec& spec) {
    caption_ = spec.caption;
    window_ = new Fl_Double_Window(std::max(spec.width, 1), std::max(spec.height, 1));
    window_->copy_label(spec.caption.c_str());
    window_->user_data(this);
    window_->callback(OnWindowClose);
    for (const ControlSpec& c : spec.controls) Add(c);
    window_->end();
    window_->set_modal();
    window_->position(std::max(0, (Fl::w() - window_->w()) / 2),
                      std::max(0, (Fl::h() - window_->h()) / 2));
    // A label with an access key hands the focus to the control after it.
    for (size_t i = 0; i < ctls_.size(); ++i) {
      if (ctls_[i]->spec.kind != ControlKind::Label) continue;
      for (size_t j = i + 1; j < ctls_.size(); ++j) {
        const ControlKind k = ctls_[j]->spec.kind;
        if (k == ControlKind::Label || k == ControlKind::Group || k == ControlKind::Panel) continue;
        static_cast<LabelBox*>(ctls_[i]->widget)->buddy = ctls_[j]->widget;
        break;
      }
    }
  }

  Fl_Double_Window* window() const { return window_; }

  // ---- DialogView ----
  void SetText(int id, const std::string& text) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    switch (c->spec.kind) {
      case ControlKind::Edit: {
        auto* in = static_cast<Fl_Input*>(c->widget);
        in->value(text.c_str());
        // A long path shows its end, where the name is.
        in->position(c->spec.show_end ? in->size() : 0);
        break;
      }
      case ControlKind::Combo: case ControlKind::List: case ControlKind::TrackBar:
      case ControlKind::ScrollBar: case ControlKind::Display:
        c->text = text;
        break;
      default:
        c->text = text;
        c->widget->copy_label(LabelText(text).c_str());
        if (window_) window_->redraw();
        break;
    }
  }
  std::string Text(int id) const override {
    const Ctl* c = Find(id);
    if (!c) return {};
    if (c->spec.kind == ControlKind::Edit) {
      const char* v = static_cast<const Fl_Input*>(c->widget)->value();
      return v ? v : "";
    }
    if (c->spec.kind == ControlKind::Combo || c->spec.kind == ControlKind::List) {
      const int i = Selected(id);
      return i >= 0 && i < static_cast<int>(c->items.size()) ? c->items[i] : std::string();
    }
    return c->text;
  }
  void SetEnabled(int id, bool enabled) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    if (enabled) c->widget->activate(); else c->widget->deactivate();
    if (window_) window_->redraw();
  }
  bool Enabled(int id) const override {
    const Ctl* c = Find(id);
    return c && c->widget->active();
  }
  void SetChecked(int id, bool checked) override {
    Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::Check && c->spec.kind != ControlKind::Radio)) return;
    Quiet q(this);
    static_cast<Fl_Button*>(c->widget)->value(checked ? 1 : 0);
    if (checked && c->spec.kind == ControlKind::Radio) ClearOtherRadios(c);
  }
  bool Checked(int id) const override {
    const Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::Check && c->spec.kind != ControlKind::Radio)) return false;
    return static_cast<const Fl_Button*>(c->widget)->value() != 0;
  }
  void SetBold(int id, bool bold) override {
    Ctl* c = Find(id);
    if (!c) return;
    c->widget->labelfont(bold ? FL_HELVETICA_BOLD : FL_HELVETICA);
    if (window_) window_->redraw();
  }
  void SetItems(int id, const std::vector<std::string>& items) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    c->items = items;
    switch (c->spec.kind) {
      case ControlKind::Combo: {
        auto* ch = static_cast<Fl_Choice*>(c->widget);
        ch->clear();
        for (const std::string& s : items) ch->add(MenuText(s).c_str(), 0, nullptr, nullptr, 0);
        ch->value(static_cast<const Fl_Menu_Item*>(nullptr));
        ch->redraw();
        break;
      }
      case ControlKind::List: {
        auto* br = static_cast<Fl_Hold_Browser*>(c->widget);
        br->clear();
        for (const std::string& s : items) br->add(s.c_str());
        br->redraw();
        break;
      }
      case ControlKind::RadioGroup: {
        auto* g = static_cast<FrameGroup*>(c->widget);
        for (Fl_Round_Button* b : c->radios) {
          g->remove(b);
          Fl::delete_widget(b);
        }
        c->radios.clear();
        g->begin();
        const int step = kFontSize + 9;
        for (size_t i = 0; i < items.size(); ++i) {
          auto* b = new Fl_Round_Button(g->x() + 10, g->y() + kFontSize + 8 + static_cast<int>(i) * step,
                                        g->w() - 20, step - 2);
          b->type(FL_RADIO_BUTTON);
          b->copy_label(LabelText(items[i]).c_str());
          b->labelsize(kFontSize);
          b->callback(OnWidget, c);
          if (!g->active()) b->deactivate();
          c->radios.push_back(b);
        }
        g->end();
        if (window_) window_->redraw();
        break;
      }
      default:
        break;
    }
  }
  void SetSelected(int id, int index) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    const bool in = index >= 0 && index < static_cast<int>(c->items.size());
    switch (c->spec.kind) {
      case ControlKind::Combo: {
        auto* ch = static_cast<Fl_Choice*>(c->widget);
        if (in) ch->value(index); else ch->value(static_cast<const Fl_Menu_Item*>(nullptr));
        ch->redraw();
        break;
      }
      case ControlKind::List: {
        auto* br = static_cast<Fl_Hold_Browser*>(c->widget);
        if (in) br->select(index + 1); else br->deselect();
        break;
      }
      case ControlKind::RadioGroup:
        for (size_t i = 0; i < c->radios.size(); ++i) c->radios[i]->value(in && static_cast<int>(i) == index);
        break;
      default:
        break;
    }
  }
  int Selected(int id) const override {
    const Ctl* c = Find(id);
    if (!c) return -1;
    switch (c->spec.kind) {
      case ControlKind::Combo: {
        const int v = static_cast<const Fl_Choice*>(c->widget)->value();
        return v >= 0 && v < static_cast<int>(c->items.size()) ? v : -1;
      }
      case ControlKind::List: {
        const int v = static_cast<Fl_Hold_Browser*>(c->widget)->value();
        return v >= 1 ? v - 1 : -1;
      }
      case ControlKind::RadioGroup:
        for (size_t i = 0; i < c->radios.size(); ++i)
          if (c->radios[i]->value()) return static_cast<int>(i);
        return -1;
      default:
        return -1;
    }
  }
  void SetRange(int id, int minimum, int maximum, int line_step, int page_step) override {
    Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::TrackBar && c->spec.kind != ControlKind::ScrollBar)) return;
    Quiet q(this);
    if (maximum < minimum) maximum = minimum;
    c->line = std::max(1, line_step);
    c->page = std::max(1, page_step);
    auto* s = static_cast<Fl_Slider*>(c->widget);
    s->bounds(minimum, maximum);
    s->step(1);
    if (c->spec.kind == ControlKind::ScrollBar) {
      auto* sb = static_cast<Fl_Scrollbar*>(c->widget);
      sb->linesize(c->line);
      const double span = maximum - minimum + c->page;
      sb->slider_size(std::clamp(c->page / span, 0.08, 1.0));
    }
    s->value(std::clamp(s->value(), static_cast<double>(minimum), static_cast<double>(maximum)));
    s->redraw();
  }
  void SetPosition(int id, int position) override {
    Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::TrackBar && c->spec.kind != ControlKind::ScrollBar)) return;
    Quiet q(this);
    auto* s = static_cast<Fl_Slider*>(c->widget);
    s->value(s->clamp(position));
  }
  int Position(int id) const override {
    const Ctl* c = Find(id);
    if (!c || (c->spec.kind != ControlKind::TrackBar && c->spec.kind != ControlKind::ScrollBar)) return 0;
    return static_cast<int>(static_cast<const Fl_Slider*>(c->widget)->value() + 0.5);
  }
  void SetBounds(int id, int x, int y, int w, int h) override {
    Ctl* c = Find(id);
    if (!c) return;
    c->widget->resize(x, y, std::max(w, 0), std::max(h, 0));
    if (window_) window_->redraw();
  }
  void SetVisible(int id, bool visible) override {
    Ctl* c = Find(id);
    if (!c || (c->widget->visible() != 0) == visible) return;
    if (visible)
      c->widget->show();
    else
      c->widget->hide();
    if (window_) window_->redraw();
  }
  bool Visible(int id) const override {
    const Ctl* c = Find(id);
    return c && c->widget->visible() != 0;
  }
  void SetDialogSize(int width, int height) override {
    if (window_) window_->size(std::max(width, 1), std::max(height, 1));
  }
  void Focus(int id) override {
    Ctl* c = Find(id);
    if (!c) return;
    Quiet q(this);
    c->widget->take_focus();
  }
  void ShowImage(int id, const PixelView* image) override {
    Ctl* c = Find(id);
    if (!c || c->spec.kind != ControlKind::Display) return;
    auto* d = static_cast<DisplayWidget*>(c->widget);
    if (ImageRgb(image, d->rgb)) {
      d->iw = image->width, d->ih = image->height;
    } else {
      d->rgb.clear();
      d->iw = d->ih = 0;
    }
    d->redraw();
  }
  void SetColor(int id, uint32_t color) override {
    Ctl* c = Find(id);
    if (!c) return;
    if (c->spec.kind == ControlKind::Display)
      static_cast<DisplayWidget*>(c->widget)->background = color;
    else
      c->widget->color(ToFlColor(color));
    c->widget->redraw();
  }
  void SetWaitCursor(bool wait) override {
    if (!window_ || !window_->shown()) return;
    window_->cursor(wait ? FL_CURSOR_WAIT : FL_CURSOR_DEFAULT);
    Fl::flush();
  }
  bool AskYesNo(const std::string& text) override { return Ask(text, true); }
  void Message(const std::string& text) override { Ask(text, false); }
  void Close(int modal_result) override {
    if (!MarkClosed(modal_result)) return;
    Quiet q(this);
    if (window_) window_->hide();
  }
  std::string Caption() const override { return caption_; }

  // ---- events ----
  void Dispatch(Ctl* c, UserAction action) {
    if (!Silent()) Route(c->spec, action);
  }

  void Mouse(Ctl* c, MouseEvent event, int button, int x, int y) {
    if (!Silent()) Guarded([&] { logic_.OnMouse(*this, c->spec.id, event, button, x, y); });
  }

  // The test driver's action: the event the widget's own callback raises.
  void Act(int id, UserAction action) {
    Ctl* c = Find(id);
    if (!c || closed_) return;
    if (!c->widget->active_r() && action == UserAction::Click) return;  // as a user could not
    forced_ = action;
    has_forced_ = true;
    if (action == UserAction::Leave || c->spec.kind == ControlKind::RadioGroup)
      Dispatch(c, action);
    else
      c->widget->do_callback();
    has_forced_ = false;
    Fl::flush();
  }

  bool forced(UserAction& a) const {
    if (has_forced_) a = forced_;
    return has_forced_;
  }

  // Radios of one group exclude each other (FLTK would group by parent).
  void ClearOtherRadios(Ctl* c) {
    for (auto& o : ctls_)
      if (o.get() != c && o->spec.kind == ControlKind::Radio && o->spec.group_id == c->spec.group_id)
        static_cast<Fl_Button*>(o->widget)->value(0);
  }

  static void OnWidget(Fl_Widget* w, void* data);

 private:
  Ctl* Find(int id) {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : ctls_[it->second].get();
  }
  const Ctl* Find(int id) const {
    auto it = index_.find(id);
    return it == index_.end() ? nullptr : ctls_[it->second].get();
  }

  bool Ask(const std::string& text, bool yes_no) {
    Quiet q(this);
    if (g_driver.run) {
      return g_driver.answer ? g_driver.answer(*this, text, yes_no, g_driver.user) == 1 : false;
    }
    fl_message_title(caption_.c_str());
    if (yes_no) return fl_choice("%s", fl_no, fl_yes, nullptr, text.c_str()) == 1;
    fl_message("%s", text.c_str());
    return true;
  }

  static void OnWindowClose(Fl_Widget*, void* data) { static_cast<FltkView*>(data)->WindowClosing(); }

  void Add(const ControlSpec& spec) {
    auto c = std::make_unique<Ctl>();
    c->spec = spec;
    c->view = this;
    c->text = spec.caption;
    const int x = spec.x, y = spec.y, w = std::max(spec.w, 1), h = std::max(spec.h, 1);
    Fl_Widget* wd = nullptr;
    switch (spec.kind) {
      case ControlKind::Label: {
        auto* b = new LabelBox(x, y, w, h);
        b->box(FL_FLAT_BOX);
        b->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
        wd = b;
        break;
      }
      case ControlKind::Edit: {
        auto* e = new EditWidget(x, y, w, h);
        e->ctl = c.get();
        e->textsize(kFontSize);
        e->when(FL_WHEN_CHANGED);
        if (spec.read_only) {
          e->readonly(1);
          e->color(FL_BACKGROUND_COLOR);
        }
        wd = e;
        break;
      }
      case ControlKind::Button: {
        Fl_Button* b = spec.is_default ? new Fl_Return_Button(x, y, w, h) : new Fl_Button(x, y, w, h);
        wd = b;
        break;
      }
      case ControlKind::Check:
        wd = new Fl_Check_Button(x, y, w, h);
        break;
      case ControlKind::Radio: {
        auto* r = new Fl_Round_Button(x, y, w, h);
        r->type(FL_TOGGLE_BUTTON);
        wd = r;
        break;
      }
      case ControlKind::RadioGroup: {
        auto* g = new FrameGroup(x, y, w, h);
        g->end();
        wd = g;
        break;
      }
      case ControlKind::Combo: {
        auto* ch = new Fl_Choice(x, y, w, h);
        ch->textsize(kFontSize);
        wd = ch;
        break;
      }
      case ControlKind::List: {
        auto* br = new Fl_Hold_Browser(x, y, w, h);
        br->format_char(0);
        br->textsize(kFontSize);
        // Whole rows only: the height shrinks to the last row that fits, and
        // long texts are cut at the edge rather than pushing in a horizontal
        // scroll bar that would cover half a row.
        br->has_scrollbar(Fl_Browser_::VERTICAL);
        fl_font(br->textfont(), br->textsize());
        const int row = std::max(fl_height(), 1);
        // A browser without a box of its own is drawn in a down box.
        const int frame = Fl::box_dh(br->box() ? br->box() : FL_DOWN_BOX);
        const int rows = std::max((h - frame) / row, 1);
        br->size(w, rows * row + frame);
        wd = br;
        break;
      }
      case ControlKind::TrackBar: {
        auto* s = new Fl_Slider(x, y, w, h);
        s->type(FL_HOR_NICE_SLIDER);
        s->bounds(0, 0);
        s->step(1);
        s->slider_size(0.06);
        s->when(FL_WHEN_CHANGED | FL_WHEN_RELEASE);
        wd = s;
        break;
      }
      case ControlKind::ScrollBar: {
        auto* s = new Fl_Scrollbar(x, y, w, h);
        s->type(FL_HORIZONTAL);
        s->bounds(0, 0);
        s->step(1);
        s->when(FL_WHEN_CHANGED);
        wd = s;
        break;
      }
      case ControlKind::Group:
        wd = new FrameBox(x, y, w, h);
        break;
      case ControlKind::Panel: {
        auto* b = new Fl_Box(x, y, w, h);
        b->box(FL_THIN_DOWN_BOX);  // a border of one pixel, as the preview expects
        wd = b;
        break;
      }
      case ControlKind::Display: {
        auto* dw = new DisplayWidget(x, y, w, h);
        dw->ctl = c.get();
        wd = dw;
        break;
      }
    }
    wd->labelsize(kFontSize);
    const bool drawn_caption = spec.kind == ControlKind::Label || spec.kind == ControlKind::Button ||
                               spec.kind == ControlKind::Check || spec.kind == ControlKind::Radio ||
                               spec.kind == ControlKind::RadioGroup || spec.kind == ControlKind::Group;
    if (drawn_caption && !spec.caption.empty()) wd->copy_label(LabelText(spec.caption).c_str());
    if (spec.kind != ControlKind::Label && spec.kind != ControlKind::Group &&
        spec.kind != ControlKind::Panel && spec.kind != ControlKind::Display &&
        spec.kind != ControlKind::RadioGroup)
      wd->callback(OnWidget, c.get());
    c->widget = wd;
    index_[spec.id] = ctls_.size();
    ctls_.push_back(std::move(c));
  }

  Fl_Double_Window* window_ = nullptr;
  std::string caption_;
  std::vector<std::unique_ptr<Ctl>> ctls_;
  std::map<int, size_t> index_;
  UserAction forced_ = UserAction::Change;
  bool has_forced_ = false;
};

int DisplayWidget::handle(int event) {
  if (!ctl || !ctl->view || ctl->view->Silent()) return Fl_Widget::handle(event);
  // FLTK numbers the buttons 1 left, 2 middle, 3 right.
  static const int kButton[4] = {0, 1, 4, 2};
  const int b = Fl::event_button() >= 1 && Fl::event_button() <= 3 ? kButton[Fl::event_button()] : 0;
  const int mx = Fl::event_x() - x(), my = Fl::event_y() - y();
  switch (event) {
    case FL_ENTER:
      return 1;  // so that moves are reported
    case FL_PUSH:
      ctl->view->Mouse(ctl, MouseEvent::Down, b, mx, my);
      return 1;
    case FL_DRAG: case FL_MOVE:
      ctl->view->Mouse(ctl, MouseEvent::Move, Fl::event_state(FL_BUTTONS) ? b : 0, mx, my);
      return 1;
    case FL_RELEASE:
      ctl->view->Mouse(ctl, MouseEvent::Up, b, mx, my);
      if (Fl::event_inside(this)) ctl->view->Mouse(ctl, MouseEvent::Click, b, mx, my);
      return 1;
    default:
      return Fl_Widget::handle(event);
  }
}

int EditWidget::handle(int event) {
  const int r = Fl_Input::handle(event);
  if (event == FL_UNFOCUS && ctl && ctl->view && !ctl->view->Silent())
    ctl->view->Dispatch(ctl, UserAction::Leave);
  return r;
}

void FltkView::OnWidget(Fl_Widget* w, void* data) {
  Ctl* c = static_cast<Ctl*>(data);
  FltkView* v = c->view;
  UserAction action = UserAction::Change;
  if (v->forced(action)) {
    v->Dispatch(c, action);
    return;
  }
  switch (c->spec.kind) {
    case ControlKind::Button:
      action = UserAction::Click;
      break;
    case ControlKind::Radio:
      // A click on a ticked radio leaves it ticked; a new one clears its group.
      static_cast<Fl_Button*>(w)->value(1);
      v->ClearOtherRadios(c);
      break;
    case ControlKind::TrackBar:
      // While the knob is held the bar tracks; the release (or a key) changes.
      action = (Fl::event() == FL_DRAG || (Fl::event() == FL_PUSH && Fl::pushed() == w))
                   ? UserAction::Track
                   : UserAction::Change;
      break;
    default:
      break;
  }
  v->Dispatch(c, action);
}

void DeliverAction(DialogView& view, int id, UserAction action) {
  if (auto* v = dynamic_cast<FltkView*>(&view)) v->Act(id, action);
}

// Lets the window appear and be drawn before anyone looks at it.
void WaitMapped(Fl_Double_Window* w) {
  for (int i = 0; i < 200 && w->shown(); ++i) {
    Fl::wait(0.005);
    XWindowAttributes a;
    if (fl_xid(w) && XGetWindowAttributes(fl_display, fl_xid(w), &a) && a.map_state == IsViewable) break;
  }
  Fl::flush();
  XSync(fl_display, False);
  Fl::wait(0);
}

}  // namespace

bool DisplayAvailable() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return false;
  if (fl_display) return true;  // FLTK holds its connection already
  // FLTK ends the process when it cannot open a display: ask Xlib first.
  Display* d = XOpenDisplay(nullptr);
  if (!d) return false;
  // FLTK connects while the probe still holds the server: a server whose
  // last client leaves resets itself and refuses connections for a moment.
  fl_open_display();
  XCloseDisplay(d);
  return fl_display != nullptr;
}

int TextWidth(const std::string& text) {
  if (!DisplayAvailable()) return 0;
  fl_font(FL_HELVETICA, kFontSize);
  return static_cast<int>(fl_width(text.c_str()) + 0.999);
}

int RunModal(DialogLogic& logic) {
  if (!DisplayAvailable()) return 0;
  try {
    fl_open_display();
    FltkView view(logic);
    view.Build(logic.Layout());
    view.window()->show();
    WaitMapped(view.window());
    view.Opened();
    if (!view.closed()) {
      if (g_driver.run) {
        Fl::flush();
        g_driver.run(view, DeliverAction, g_driver.user);
        if (!view.closed()) view.Close(2);
      } else {
        while (!view.closed() && view.window()->shown()) Fl::wait();
        if (!view.closed()) view.Close(2);
      }
    }
    const int result = view.result();
    return result;
  } catch (...) {
    return 0;
  }
}

void SetTestDriver(const TestDriver& driver) { g_driver = driver; }

bool SaveWindowPng(DialogView& view, const std::string& path) {
  auto* v = dynamic_cast<FltkView*>(&view);
  if (!v || !v->window() || !v->window()->shown()) return false;
  Fl_Double_Window* w = v->window();
  w->redraw();
  Fl::flush();
  XSync(fl_display, False);
  Fl::wait(0.01);
  Fl::flush();
  XSync(fl_display, False);
  w->make_current();
  const int width = w->w(), height = w->h();
  uchar* rgb = fl_read_image(nullptr, 0, 0, width, height);
  if (!rgb) return false;
  std::unique_ptr<uchar[]> hold(rgb);
  return SaveRgbPng(path, width, height, rgb);
}

}  // namespace vek::toolkit
