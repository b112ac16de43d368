#include "about/about_window.hpp"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Toggle_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <vector>

#include "about/pictures.hpp"

namespace replikon::about {
namespace {

constexpr Fl_Fontsize kTextSize = 12;
constexpr Fl_Fontsize kTitleSize = 20;
constexpr int kLogoPixels = 64;
constexpr int kCheckPicturePixels = 28;
// Horizontal room FLTK leaves inside a left-aligned label.
constexpr int kLabelInset = 3;

const Fl_Color kLinkColor = fl_rgb_color(0, 0, 192);

// A box that reacts to a click like a button: labels that act as links and the
// clickable logo. Links are underlined and show a hand cursor.
class ClickableBox : public Fl_Box {
 public:
  ClickableBox(int x, int y, int w, int h, bool underline)
      : Fl_Box(x, y, w, h), underline_(underline) {}

  int handle(int event) override {
    switch (event) {
      case FL_ENTER:
        if (window() != nullptr) window()->cursor(FL_CURSOR_HAND);
        return 1;
      case FL_LEAVE:
        if (window() != nullptr) window()->cursor(FL_CURSOR_DEFAULT);
        return 1;
      case FL_PUSH:
        return 1;
      case FL_RELEASE:
        if (Fl::event_inside(this)) do_callback();
        return 1;
      default:
        return Fl_Box::handle(event);
    }
  }

 protected:
  void draw() override {
    Fl_Box::draw();
    if (!underline_ || label() == nullptr) return;
    fl_font(labelfont(), labelsize());
    const int text_width = static_cast<int>(fl_width(label()));
    const int left = x() + Fl::box_dx(box()) + kLabelInset;
    const int baseline = y() + (h() - fl_height()) / 2 + fl_height() - fl_descent();
    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    fl_line(left, baseline + 1, left + std::min(text_width, w() - 2 * kLabelInset), baseline + 1);
  }

 private:
  bool underline_;
};

struct NamedWidget {
  std::string_view name;
  int index = -1;
  Fl_Widget* widget = nullptr;
};

}  // namespace

struct AboutWindow::Impl {
  explicit Impl(CommandStarter command_starter);
  ~Impl() {
    if (window->shown()) window->hide();
    // Each widget below is destroyed first and takes itself out of the window.
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  Fl_Widget* Find(std::string_view name, int index) const noexcept {
    const auto it = std::find_if(named.begin(), named.end(), [&](const NamedWidget& n) {
      return n.name == name && n.index == index;
    });
    return it == named.end() ? nullptr : it->widget;
  }

  Fl_Widget* Make(const FormControl& item);
  void FitLinksToText();

  void Load() {
    if (Fl_Widget* version = Find("lblVersion", -1))
      version->copy_label(LoadedVersionText().c_str());
    loaded = true;
  }

  void Unload() {
    window->hide();
    if (Fl_Widget* version = Find("lblVersion", -1))
      version->copy_label(std::string(kVersionCaption).c_str());
    loaded = false;
  }

  void OpenAddress(std::string_view address) {
    try {
      if (starter) starter(OpenerCommandLine(address));
    } catch (...) {
      // Opening a link is best effort; a failure is not reported.
    }
  }

  static void OnLinkClick(Fl_Widget* widget, void* data) {
    auto* self = static_cast<Impl*>(data);
    for (const FormControl& item : FormControls()) {
      if (!item.address.empty() && self->Find(item.name, item.index) == widget) {
        self->OpenAddress(item.address);
        return;
      }
    }
  }

  static void OnClose(Fl_Widget*, void* data) {
    try {
      static_cast<Impl*>(data)->Unload();
    } catch (...) {
    }
  }

  CommandStarter starter;
  Picture logo = RenderLogo(kLogoPixels);
  Picture check_picture = RenderLogo(kCheckPicturePixels);
  Fl_RGB_Image logo_image{logo.rgba.data(), logo.width, logo.height, 4};
  Fl_RGB_Image check_image{check_picture.rgba.data(), check_picture.width, check_picture.height, 4};
  Fl_Double_Window window_storage{kFormWidth, kFormHeight};
  Fl_Double_Window* window = &window_storage;
  // Declared after the window so that they go first.
  std::vector<std::unique_ptr<Fl_Widget>> widgets;
  std::vector<NamedWidget> named;
  std::string caption{kCaption};
  bool loaded = false;
  bool fitted = false;
};

AboutWindow::Impl::Impl(CommandStarter command_starter) : starter(std::move(command_starter)) {
  // Widgets are added to the window explicitly, not to whatever group is current.
  window->end();
  Fl_Group::current(nullptr);
  window->label(caption.c_str());
  window->callback(&Impl::OnClose, this);
  window->set_modal();
  for (const FormControl& item : FormControls()) {
    Fl_Widget* widget = Make(item);
    window->add(widget);
    named.push_back({item.name, item.index, widget});
  }
}

Fl_Widget* AboutWindow::Impl::Make(const FormControl& item) {
  const Bounds& b = item.bounds;
  std::unique_ptr<Fl_Widget> widget;
  switch (item.kind) {
    case ControlKind::Label: {
      widget = std::make_unique<Fl_Box>(b.x, b.y, b.width, b.height);
      int align = FL_ALIGN_LEFT | FL_ALIGN_INSIDE;
      if (item.name == "lblDisclaimer") align |= FL_ALIGN_TOP | FL_ALIGN_WRAP;
      widget->align(static_cast<Fl_Align>(align));
      if (item.name == "lblTitle") {
        widget->labelfont(FL_HELVETICA_BOLD);
        widget->labelsize(kTitleSize);
      }
      break;
    }
    case ControlKind::LinkLabel: {
      widget = std::make_unique<ClickableBox>(b.x, b.y, b.width, b.height, true);
      widget->align(static_cast<Fl_Align>(FL_ALIGN_LEFT | FL_ALIGN_INSIDE));
      widget->labelcolor(kLinkColor);
      widget->callback(&Impl::OnLinkClick, this);
      break;
    }
    case ControlKind::Picture: {
      auto picture = std::make_unique<ClickableBox>(b.x, b.y, b.width, b.height, false);
      picture->image(&logo_image);
      if (!item.address.empty()) picture->callback(&Impl::OnLinkClick, this);
      widget = std::move(picture);
      break;
    }
    case ControlKind::CommandButton: {
      widget = std::make_unique<Fl_Button>(b.x, b.y, b.width, b.height);
      static_cast<Fl_Button*>(widget.get())->shortcut(FL_Enter);
      widget->callback(&Impl::OnClose, this);
      break;
    }
    case ControlKind::Line: {
      widget = std::make_unique<Fl_Box>(b.x, b.y, b.width, b.height);
      widget->box(FL_THIN_DOWN_BOX);
      break;
    }
    case ControlKind::CheckBox: {
      auto check = std::make_unique<Fl_Toggle_Button>(b.x, b.y, b.width, b.height);
      check->image(&check_image);
      check->tooltip("Replikon");
      widget = std::move(check);
      break;
    }
  }
  if (item.kind != ControlKind::Picture && item.kind != ControlKind::Line &&
      item.kind != ControlKind::CheckBox) {
    widget->copy_label(std::string(item.text).c_str());
    if (widget->labelfont() != FL_HELVETICA_BOLD) {
      widget->labelfont(FL_HELVETICA);
      widget->labelsize(kTextSize);
    }
  }
  if (item.kind != ControlKind::CommandButton && item.kind != ControlKind::CheckBox) {
    widget->clear_visible_focus();
  }
  Fl_Widget* raw = widget.get();
  widgets.push_back(std::move(widget));
  return raw;
}

// Puts each link label right after the label that introduces it and makes it
// as wide as its text, so that only the text itself reacts to the mouse.
void AboutWindow::Impl::FitLinksToText() {
  if (fitted) return;
  fitted = true;
  const auto text_width = [](const Fl_Widget* w) {
    fl_font(w->labelfont(), w->labelsize());
    return static_cast<int>(fl_width(w->label())) + 2 * kLabelInset;
  };
  const std::pair<std::string_view, std::string_view> pairs[] = {{"Label6", "lblSite"},
                                                                 {"Label1", "lblContact"}};
  for (const auto& [lead_name, link_name] : pairs) {
    Fl_Widget* lead = Find(lead_name, -1);
    Fl_Widget* link = Find(link_name, -1);
    if (lead == nullptr || link == nullptr) continue;
    const int lead_width = text_width(lead);
    lead->size(lead_width, lead->h());
    // The link's text starts where the lead's ends, one blank further when
    // the lead's own text does not end in one.
    int link_x = lead->x() + lead_width - 2 * kLabelInset;
    const std::string_view lead_text = lead->label();
    if (lead_text.empty() || lead_text.back() != ' ') {
      fl_font(lead->labelfont(), lead->labelsize());
      link_x += static_cast<int>(fl_width(" "));
    }
    link->resize(link_x, link->y(), std::min(text_width(link), kFormWidth - link_x), link->h());
  }
  window->redraw();
}

AboutWindow::AboutWindow(CommandStarter starter)
    : impl_(std::make_unique<Impl>(std::move(starter))) {}

AboutWindow::~AboutWindow() = default;

void AboutWindow::Load() {
  impl_->Load();
}

bool AboutWindow::IsLoaded() const noexcept {
  return impl_->loaded;
}

void AboutWindow::Show() {
  if (!impl_->loaded) impl_->Load();
  impl_->window->show();
  impl_->FitLinksToText();
  // Nothing in the form takes text, so the keyboard goes to the OK button.
  if (Fl_Widget* ok = impl_->Find("cmdOK", -1)) ok->take_focus();
}

bool AboutWindow::IsShown() const noexcept {
  return impl_->window->shown() != 0;
}

void AboutWindow::ShowModal() {
  Show();
  while (impl_->window->shown()) Fl::wait();
}

void AboutWindow::Unload() {
  impl_->Unload();
}

void AboutWindow::Click(std::string_view name, int index) {
  Fl_Widget* widget = impl_->Find(name, index);
  if (widget == nullptr) return;
  // A click on the check box turns it over; no code of the form looks at it.
  if (auto* toggle = dynamic_cast<Fl_Toggle_Button*>(widget)) toggle->value(!toggle->value());
  // Plain labels have only FLTK's default callback, which a click never reaches.
  if (widget->callback() != &Fl_Widget::default_callback) widget->do_callback();
}

std::string AboutWindow::Caption() const {
  return impl_->caption;
}

std::string AboutWindow::Text(std::string_view name, int index) const {
  const Fl_Widget* widget = impl_->Find(name, index);
  if (widget == nullptr || widget->label() == nullptr) return {};
  return widget->label();
}

std::optional<Bounds> AboutWindow::LiveBounds(std::string_view name, int index) const {
  const Fl_Widget* widget = impl_->Find(name, index);
  if (widget == nullptr) return std::nullopt;
  return Bounds{widget->x(), widget->y(), widget->w(), widget->h()};
}

}  // namespace replikon::about
