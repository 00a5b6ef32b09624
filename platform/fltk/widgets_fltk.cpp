/*
** The widgets of the FLTK display: the client area of a window (shows the backing store,
** turns mouse and keyboard events into messages), the vertical scroll bar with the Win32
** request codes, static texts, frames and icons, edit fields, push buttons, and the menu
** bar built from the core's Win32 menu. Also the text layout that static texts and
** message boxes share (wrapping, tab stops).
*/
#include <FL/Fl_Button.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdint>
#include <map>

#include "platform/fltk/fltk_internal.h"
#include "platform/resources.h"

static void Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CorePostInput(hwnd, message, wParam, lParam, KeyState());
}

/* ---------------------------------------------------------------- client area */

ClientArea::ClientArea(HWND h, int x, int y, int w, int hgt)
    : Fl_Group(x, y, w, hgt), hwnd(h), acceptsInput(false) {
  box(FL_NO_BOX);
  resizable(nullptr);
}

void ClientArea::draw() {
  FlEntry* e = FindEntry(hwnd);
  if (damage() & ~FL_DAMAGE_CHILD) {
    if (e) BlitStore(e, x(), y(), w(), h());
    for (int i = 0; i < children(); i++) draw_child(*child(i));
  } else {
    for (int i = 0; i < children(); i++) update_child(*child(i));
  }
}

static bool OverChild(Fl_Group* g) {
  for (int i = 0; i < g->children(); i++) {
    Fl_Widget* c = g->child(i);
    if (c->visible() && Fl::event_inside(c)) return true;
  }
  return false;
}

/* lParam of a mouse message: client x | y << 16, each a signed 16-bit value. */
static LPARAM MousePos(Fl_Widget* w) {
  return MAKELPARAM((WORD)(short)(Fl::event_x() - w->x()), (WORD)(short)(Fl::event_y() - w->y()));
}

static bool InsideClient(Fl_Widget* w) {
  int x = Fl::event_x() - w->x(), y = Fl::event_y() - w->y();
  return x >= 0 && y >= 0 && x < w->w() && y < w->h();
}

int ClientArea::handle(int event) {
  switch (event) {
    case FL_PUSH: {
      if (Fl_Group::handle(event)) return 1;
      if (!acceptsInput) return 0;
      Fl::focus(this);
      static const UINT kDown[] = {WM_LBUTTONDOWN, WM_MBUTTONDOWN, WM_RBUTTONDOWN};
      int b = Fl::event_button();
      if (b >= 1 && b <= 3) Post(hwnd, kDown[b - 1], 0, MousePos(this));
      return 1;
    }
    case FL_RELEASE: {
      if (!acceptsInput) return Fl_Group::handle(event);
      static const UINT kUp[] = {WM_LBUTTONUP, WM_MBUTTONUP, WM_RBUTTONUP};
      int b = Fl::event_button();
      if (b >= 1 && b <= 3 && InsideClient(this)) Post(hwnd, kUp[b - 1], 0, MousePos(this));
      return 1;
    }
    case FL_ENTER:
    case FL_MOVE:
    case FL_DRAG: {
      int r = event == FL_DRAG ? 0 : Fl_Group::handle(event);
      if (!acceptsInput) return r;
      if (event != FL_DRAG && OverChild(this)) return r;
      if (event != FL_DRAG) Fl::belowmouse(this);
      /* Windows reports moves to the window under the pointer only (nothing captures) */
      if (InsideClient(this)) Post(hwnd, WM_MOUSEMOVE, 0, MousePos(this));
      return 1;
    }
    case FL_LEAVE:
      return acceptsInput ? 1 : Fl_Group::handle(event);
    case FL_FOCUS:
    case FL_UNFOCUS:
      return acceptsInput ? 1 : Fl_Group::handle(event);
    case FL_KEYBOARD: {
      if (!acceptsInput) return Fl_Group::handle(event);
      int vk = VirtualKey(Fl::event_key(), Fl::event_text());
      if (vk) Post(hwnd, WM_KEYDOWN, (WPARAM)vk, 1);
      /* Characters only without Ctrl and Alt: Ctrl+letter is for the accelerator table,
      ** which sees the WM_KEYDOWN above, and never becomes a character. */
      if (!(Fl::event_state() & (FL_CTRL | FL_ALT | FL_META)) && Fl::event_length() > 0) {
        for (char c : FromUtf8(Fl::event_text(), Fl::event_length()))
          Post(hwnd, WM_CHAR, (WPARAM)(unsigned char)c, 1);
      }
      return 1;
    }
    /* Files dragged over the main window: taken when they are let go; their names come as
    ** the text of the FL_PASTE that follows, a list of URIs. */
    case FL_DND_ENTER:
    case FL_DND_DRAG:
    case FL_DND_LEAVE:
    case FL_DND_RELEASE:
      return acceptsInput ? 1 : Fl_Group::handle(event);
    case FL_PASTE: {
      if (!acceptsInput) return Fl_Group::handle(event);
      const std::vector<std::string> files = DroppedFiles(std::string(Fl::event_text(), Fl::event_length()));
      if (!files.empty()) CoreDropFiles(hwnd, files);
      return 1;
    }
    case FL_KEYUP: {
      if (!acceptsInput) return Fl_Group::handle(event);
      int vk = VirtualKey(Fl::event_key(), Fl::event_text());
      if (vk) Post(hwnd, WM_KEYUP, (WPARAM)vk, (LPARAM)0xC0000001u);
      return 1;
    }
    default:
      return Fl_Group::handle(event);
  }
}

/* ---------------------------------------------------------------- scroll bar */

/* A vertical scroll bar that reports as a Win32 one: an arrow press SB_LINEUP/LINEDOWN,
** a press in the track SB_PAGEUP/PAGEDOWN (both repeated while held, a page only until
** the thumb reaches the pointer), a thumb drag SB_THUMBTRACK with the position in the
** high word and SB_THUMBPOSITION at the release; every release ends with SB_ENDSCROLL.
** The thumb stands where the program put it (SetScrollPos), except while it is dragged. */
class TbxScrollBar : public Fl_Scrollbar {
 public:
  TbxScrollBar(HWND h, HWND p) : Fl_Scrollbar(0, 0, 1, 1), hwnd(h), parent(p) {
    type(FL_VERTICAL);
    visible_focus(0);
  }
  ~TbxScrollBar() override { Fl::remove_timeout(Repeat, this); }
  void Set(int mn, int mx, int p) {
    if (mn == min && mx == max && p == pos) return;
    min = mn, max = mx, pos = p;
    redraw();
  }
  int handle(int event) override;

 protected:
  void draw() override;

 private:
  HWND hwnd, parent;
  int min = 0, max = 100, pos = 0;
  int pressed = -1;         /* request of the part held down, -1 none */
  int pointerY = 0;         /* pointer row relative to the bar while held */
  int dragOffset = 0;       /* pointer row within the thumb when the drag began */
  int trackPos = 0;         /* position the dragged thumb stands for */
  ScrollGeometry Layout() const {
    return ScrollLayout(w(), h(), min, max, pressed == SB_THUMBTRACK ? trackPos : pos);
  }
  void Send(int request, int position = 0) {
    Post(parent, WM_VSCROLL, MAKEWPARAM(request, position), (LPARAM)hwnd);
  }
  bool StillWanted() const {
    ScrollGeometry g = Layout();
    int part = ScrollHitTest(g, h(), pointerY);
    if (pressed == SB_PAGEUP) return part == SB_PAGEUP;
    if (pressed == SB_PAGEDOWN) return part == SB_PAGEDOWN;
    return part == pressed;
  }
  /* Whether the left button is down now: a busy program can reach its repeat timer
  ** before the release event that is already waiting in the queue. */
  static bool ButtonHeld() {
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    if (!XQueryPointer(fl_display, RootWindow(fl_display, fl_screen), &root, &child, &rx, &ry,
                       &wx, &wy, &mask))
      return false;
    return (mask & Button1Mask) != 0;
  }
  static void Repeat(void* data) {
    auto* bar = (TbxScrollBar*)data;
    if (bar->pressed < 0 || bar->pressed == SB_THUMBTRACK) return;
    if (!ButtonHeld()) {
      Fl::repeat_timeout(0.05, Repeat, data); /* the release will come and end it */
      return;
    }
    if (bar->StillWanted()) bar->Send(bar->pressed);
    Fl::repeat_timeout(0.05, Repeat, data);
  }
};

int TbxScrollBar::handle(int event) {
  switch (event) {
    case FL_PUSH: {
      if (Fl::event_button() != 1 || !active_r()) return 1;
      pointerY = Fl::event_y() - y();
      ScrollGeometry g = Layout();
      int part = ScrollHitTest(g, h(), pointerY);
      pressed = part;
      if (part == SB_THUMBTRACK) {
        dragOffset = pointerY - g.thumbTop;
        trackPos = std::clamp(pos, min, max);
        Send(SB_THUMBTRACK, trackPos);
      } else {
        Send(part);
        Fl::add_timeout(0.4, Repeat, this);
      }
      redraw();
      return 1;
    }
    case FL_DRAG:
      pointerY = Fl::event_y() - y();
      if (pressed == SB_THUMBTRACK) {
        ScrollGeometry g = ScrollLayout(w(), h(), min, max, trackPos);
        int p = ScrollPosFromThumb(g, min, max, pointerY - dragOffset);
        if (p != trackPos) {
          trackPos = p;
          Send(SB_THUMBTRACK, trackPos);
          redraw();
        }
      } else if (pressed >= 0) {
        redraw();
      }
      return 1;
    case FL_RELEASE:
      if (pressed < 0) return 1;
      Fl::remove_timeout(Repeat, this);
      if (pressed == SB_THUMBTRACK) {
        Send(SB_THUMBPOSITION, trackPos);
        pos = trackPos; /* until the program says otherwise */
      }
      Send(SB_ENDSCROLL);
      pressed = -1;
      redraw();
      return 1;
    case FL_ENTER:
    case FL_LEAVE:
    case FL_MOVE:
      return 1;
    default:
      /* no focus, no keys, no wheel: the keyboard belongs to the main window */
      return 0;
  }
}

static void DrawArrow(int x, int y, int w, int h, bool up, bool active) {
  int cx = x + w / 2, cy = y + h / 2;
  int s = std::max(2, std::min(w, h) / 4);
  fl_color(active ? FL_BLACK : fl_inactive(FL_BLACK));
  if (up) fl_polygon(cx - s, cy + s / 2, cx + s, cy + s / 2, cx, cy - s / 2 - 1);
  else fl_polygon(cx - s, cy - s / 2, cx + s, cy - s / 2, cx, cy + s / 2 + 1);
}

void TbxScrollBar::draw() {
  ScrollGeometry g = Layout();
  bool on = active_r();
  bool held = pressed >= 0 && StillWanted();
  fl_color(fl_rgb_color(224, 224, 224));
  fl_rectf(x(), y() + g.trackTop, w(), g.trackLen);
  if (held && (pressed == SB_PAGEUP || pressed == SB_PAGEDOWN)) {
    fl_color(fl_rgb_color(160, 160, 160));
    if (pressed == SB_PAGEUP) fl_rectf(x(), y() + g.trackTop, w(), g.thumbTop - g.trackTop);
    else fl_rectf(x(), y() + g.thumbTop + g.thumb, w(), g.trackTop + g.trackLen - g.thumbTop - g.thumb);
  }
  if (g.arrow > 0) {
    bool upHeld = held && pressed == SB_LINEUP, downHeld = held && pressed == SB_LINEDOWN;
    fl_draw_box(upHeld ? FL_DOWN_BOX : FL_UP_BOX, x(), y(), w(), g.arrow, FL_BACKGROUND_COLOR);
    DrawArrow(x(), y(), w(), g.arrow, true, on && max > min);
    fl_draw_box(downHeld ? FL_DOWN_BOX : FL_UP_BOX, x(), y() + h() - g.arrow, w(), g.arrow,
                FL_BACKGROUND_COLOR);
    DrawArrow(x(), y() + h() - g.arrow, w(), g.arrow, false, on && max > min);
  }
  if (g.thumb && on && max > min)
    fl_draw_box(FL_UP_BOX, x(), y() + g.thumbTop, w(), g.thumb, FL_BACKGROUND_COLOR);
}

/* ---------------------------------------------------------------- text layout */

static int TextWidth(const char* s, int n) { return (int)(fl_width(s, n) + 0.5); }

std::vector<std::string> WrapText(const std::string& utf8, int w) {
  std::vector<std::string> lines;
  size_t start = 0;
  SetFont();
  for (;;) {
    size_t nl = utf8.find('\n', start);
    std::string para = utf8.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!para.empty() && para.back() == '\r') para.pop_back();
    /* greedy: as many words as fit; a word wider than the line is cut where it must be */
    while (w > 0 && TextWidth(para.c_str(), (int)para.size()) > w) {
      size_t cut = 0;
      for (size_t sp = para.find(' '); sp != std::string::npos; sp = para.find(' ', sp + 1)) {
        if (TextWidth(para.c_str(), (int)sp) > w) break;
        cut = sp;
      }
      if (cut == 0) {
        cut = 1;
        while (cut < para.size() && TextWidth(para.c_str(), (int)cut + 1) <= w) cut++;
        while (cut < para.size() && ((unsigned char)para[cut] & 0xc0) == 0x80) cut++;
        lines.push_back(para.substr(0, cut));
        para.erase(0, cut);
      } else {
        lines.push_back(para.substr(0, cut));
        para.erase(0, cut + 1);
      }
    }
    lines.push_back(para);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

void DrawTextLines(const std::string& utf8, int x, int y, int w, int h, Fl_Align align,
                   bool wrap) {
  SetFont();
  std::vector<std::string> lines = wrap ? WrapText(utf8, w) : WrapText(utf8, 0);
  int ascent = CellHeight() - fl_descent();
  fl_push_clip(x, y, w, h);
  for (size_t i = 0; i < lines.size(); i++) {
    int top = y + (int)i * CellHeight();
    if (top >= y + h) break;
    std::vector<TextPiece> pieces = ExpandTabs(lines[i], TabStop(), TextWidth);
    int lineW = pieces.empty() ? 0
                               : pieces.back().x + TextWidth(pieces.back().text.c_str(),
                                                             (int)pieces.back().text.size());
    int left = x;
    if (align == FL_ALIGN_CENTER) left = x + (w - lineW) / 2;
    else if (align == FL_ALIGN_RIGHT) left = x + w - lineW;
    for (const TextPiece& p : pieces) fl_draw(p.text.c_str(), (int)p.text.size(), left + p.x, top + ascent);
  }
  fl_pop_clip();
}

/* ---------------------------------------------------------------- static texts, frames, icons */

/* SS_LEFT/SS_CENTER/SS_RIGHT text on the window's background (top-aligned, wrapped at
** word boundaries, tabs expanded), SS_BLACKFRAME a black outline, SS_ICON an icon. */
class TbxStatic : public Fl_Widget {
 public:
  TbxStatic(DWORD s, COLORREF bg) : Fl_Widget(0, 0, 1, 1), style(s), background(bg) {}
  std::string text;          /* UTF-8 */
  DWORD style;
  COLORREF background;

 protected:
  void draw() override {
    DWORD kind = style & 0x1f;
    if (kind == SS_BLACKFRAME) {
      fl_color(FL_BLACK);
      fl_rect(x(), y(), w(), h());
      return;
    }
    fl_color(FlColor(background));
    fl_rectf(x(), y(), w(), h());
    if (kind == SS_ICON) return;
    Fl_Align a = kind == SS_CENTER ? FL_ALIGN_CENTER : kind == SS_RIGHT ? FL_ALIGN_RIGHT : FL_ALIGN_LEFT;
    fl_color(active_r() ? FL_BLACK : fl_inactive(FL_BLACK));
    DrawTextLines(text, x(), y(), w(), h(), a, true);
  }
};

Fl_RGB_Image* IconImage(const char* name, int quarters) {
  static std::map<std::pair<std::string, int>, Fl_RGB_Image*> cache; /* lives as long as the program */
  if (!name || !*name) return nullptr;
  auto it = cache.find({name, quarters});
  if (it != cache.end()) return it->second;
  if (quarters > 4) {
    /* each pixel of the icon becomes a square of the scale's pixels (nearest neighbour) */
    Fl_RGB_Image* one = IconImage(name, 4);
    Fl_RGB_Image* image =
        one ? (Fl_RGB_Image*)one->copy((one->w() * quarters + 2) / 4, (one->h() * quarters + 2) / 4) : nullptr;
    cache[{name, quarters}] = image;
    return image;
  }
  const ResIcon* res = FindIconResource(name);
  Fl_RGB_Image* image = nullptr;
  if (res && res->width > 0 && res->height > 0 && res->argb) {
    /* 0xAARRGGBB words to the RGBA bytes FLTK draws with alpha */
    auto* rgba = new uchar[(size_t)res->width * res->height * 4];
    for (int i = 0; i < res->width * res->height; i++) {
      uint32_t p = res->argb[i];
      rgba[4 * i] = (uchar)(p >> 16);
      rgba[4 * i + 1] = (uchar)(p >> 8);
      rgba[4 * i + 2] = (uchar)p;
      rgba[4 * i + 3] = (uchar)(p >> 24);
    }
    image = new Fl_RGB_Image(rgba, res->width, res->height, 4);
    image->alloc_array = 1;
  }
  cache[{name, 4}] = image;
  return image;
}

/* An icon: the program's from its resource (a small step grid drawn with shapes when the
** resource is missing), or one of the four message box icons drawn with shapes. */
class TbxIcon : public Fl_Widget {
 public:
  TbxIcon(int x, int y, int w, int h, UINT i, std::string n)
      : Fl_Widget(x, y, w, h), icon(i), name(std::move(n)) {}
  UINT icon;
  std::string name;

 protected:
  void draw() override {
    if (Fl_Widget* p = parent()) {
      fl_color(p->color());
      fl_rectf(x(), y(), w(), h());
    }
    int s = std::min(w(), h());
    int X = x() + (w() - s) / 2, Y = y() + (h() - s) / 2;
    UINT kind = icon == kProgramIcon ? icon : (icon & MB_ICONMASK);
    if (kind == kProgramIcon) {
      if (Fl_RGB_Image* image = IconImage(name.c_str(), DisplayQuarters())) {
        image->draw(x(), y(), std::min(w(), image->w()), std::min(h(), image->h()));
        return;
      }
      return DrawProgram(X, Y, s);
    }
    Fl_Color fill = kind == MB_ICONHAND ? fl_rgb_color(204, 0, 0)
                    : kind == MB_ICONEXCLAMATION ? fl_rgb_color(240, 200, 0)
                                                 : fl_rgb_color(0, 84, 200);
    const char* mark = kind == MB_ICONHAND ? "X" : kind == MB_ICONEXCLAMATION ? "!"
                       : kind == MB_ICONQUESTION ? "?" : "i";
    if (kind == MB_ICONEXCLAMATION) {
      fl_color(fill);
      fl_polygon(X + s / 2, Y + 1, X + s - 1, Y + s - 2, X, Y + s - 2);
      fl_color(FL_BLACK);
      fl_loop(X + s / 2, Y + 1, X + s - 1, Y + s - 2, X, Y + s - 2);
    } else {
      fl_color(fill);
      fl_pie(X, Y, s, s, 0, 360);
    }
    fl_color(kind == MB_ICONEXCLAMATION ? FL_BLACK : FL_WHITE);
    fl_font(FL_HELVETICA_BOLD, s * 5 / 8);
    fl_draw(mark, X, Y + (kind == MB_ICONEXCLAMATION ? s / 8 : 0), s, s, FL_ALIGN_CENTER, nullptr, 0);
  }

 private:
  static void DrawProgram(int X, int Y, int s) {
    static const char kCells[4][4] = {{'p', ' ', 'c', ' '}, {' ', 'b', ' ', 'p'},
                                      {'c', ' ', 'p', ' '}, {'p', ' ', ' ', 'b'}};
    int c = s / 4;
    for (int r = 0; r < 4; r++)
      for (int k = 0; k < 4; k++) {
        char v = kCells[r][k];
        Fl_Color col = v == 'p' ? fl_rgb_color(187, 0, 187)
                       : v == 'c' ? fl_rgb_color(0, 170, 153)
                       : v == 'b' ? FL_BLACK
                       : (k == 0 ? fl_rgb_color(221, 204, 153) : fl_rgb_color(255, 255, 238));
        fl_color(col);
        fl_rectf(X + k * c, Y + r * c, c, c);
        fl_color(FL_BLACK);
        fl_rect(X + k * c, Y + r * c, c + 1, c + 1);
      }
  }
};

Fl_Widget* CreateIconWidget(int x, int y, int w, int h, UINT icon, const char* name) {
  return new TbxIcon(x, y, w, h, icon, name ? name : "");
}

/* ---------------------------------------------------------------- edit fields and buttons */

class TbxEdit : public Fl_Input {
 public:
  TbxEdit(HWND h) : Fl_Input(0, 0, 1, 1), hwnd(h) {
    textfont(kFont);
    textsize(FontSize());
    when(FL_WHEN_CHANGED);
    callback(Changed, this);
  }
  HWND hwnd;

 private:
  static void Changed(Fl_Widget*, void* data) {
    auto* e = (TbxEdit*)data;
    CoreStoreText(e->hwnd, FromUtf8(e->value(), e->size()));
  }
};

static void ButtonPressed(Fl_Widget*, void* data) {
  HWND hwnd = (HWND)data;
  WindowInfo info;
  if (CoreWindowInfo(hwnd, &info))
    Post(info.parent, WM_COMMAND, MAKEWPARAM(info.id, BN_CLICKED), (LPARAM)hwnd);
}

Fl_Widget* CreateControl(HWND hwnd, const WindowInfo& info) {
  WindowInfo parent;
  COLORREF bg = CoreWindowInfo(info.parent, &parent) ? parent.background : 0xffffff;
  switch (info.kind) {
    case WindowKind::ScrollBar: {
      auto* bar = new TbxScrollBar(hwnd, info.parent);
      if (!(info.style & SBS_VERT)) bar->type(FL_HORIZONTAL);
      return bar;
    }
    case WindowKind::Static:
      if ((info.style & 0x1f) == SS_ICON)
        return CreateIconWidget(0, 0, 1, 1, kProgramIcon,
                                (info.iconName.empty() ? info.text : info.iconName).c_str());
      return new TbxStatic(info.style, bg);
    case WindowKind::Edit: {
      auto* edit = new TbxEdit(hwnd);
      edit->box(info.style & WS_BORDER ? FL_DOWN_BOX : FL_FLAT_BOX);
      return edit;
    }
    case WindowKind::Button: {
      Fl_Button* b = (info.style & 0xf) == BS_DEFPUSHBUTTON ? new Fl_Return_Button(0, 0, 1, 1)
                                                             : new Fl_Button(0, 0, 1, 1);
      b->labelsize(FontSize());
      b->callback(ButtonPressed, (void*)hwnd);
      return b;
    }
    default:
      return nullptr;
  }
}

void UpdateControl(FlEntry* e, const WindowInfo& info, unsigned what) {
  Fl_Widget* w = e->widget;
  if (what & WC_TEXT) {
    std::string text = ToUtf8(info.text);
    if (e->kind == WindowKind::Static) {
      if (auto* s = dynamic_cast<TbxStatic*>(w)) s->text = text;
    } else if (e->kind == WindowKind::Edit) {
      auto* edit = (Fl_Input*)w;
      if (text != edit->value()) edit->value(text.c_str());
    } else if (e->kind == WindowKind::Button) {
      w->copy_label(text.c_str());
    }
    w->redraw();
  }
  if (what & WC_SCROLL) {
    if (auto* bar = dynamic_cast<TbxScrollBar*>(w)) bar->Set(info.scrollMin, info.scrollMax, info.scrollPos);
  }
  if (what & WC_VISIBLE) {
    if (info.visible && !w->visible()) w->show();
    else if (!info.visible && w->visible()) w->hide();
    if (w->parent()) w->parent()->redraw();
  }
  if (what & WC_ENABLED) {
    if (info.enabled) w->activate();
    else w->deactivate();
  }
  if ((what & WC_FOCUS) && e->kind == WindowKind::Edit && GetFocus() == e->hwnd) {
    GiveFocus(w);
    auto* edit = (Fl_Input*)w;
    edit->position(edit->size(), 0); /* all of it selected, as a dialog does */
  }
}

/* ---------------------------------------------------------------- menu bar */

/* Items inside pull-downs are drawn with a label type that keeps a check column for every
** item, as Win32 menus do (FLTK would shift only the checkable ones). The first byte of
** such a label is kChecked or kUnchecked. */
enum : char { kChecked = '\x01', kUnchecked = '\x02' };
static const Fl_Labeltype kCheckLabel = FL_FREE_LABELTYPE;
enum { kCheckColumn = 18 };   /* pixels at scale 1 */

static void DrawCheckLabel(const Fl_Label* l, int x, int y, int w, int h, Fl_Align align) {
  const char* text = l->value;
  const int column = DisplayScaled(kCheckColumn);
  bool checked = text && text[0] == kChecked;
  if (text && (text[0] == kChecked || text[0] == kUnchecked)) text++;
  fl_font(l->font, l->size);
  fl_color((Fl_Color)l->color);
  if (checked) {
    int cx = x + DisplayScaled(4), cy = y + h / 2;
    fl_line_style(FL_SOLID, DisplayScaled(2));
    fl_line(cx, cy, cx + DisplayScaled(3), cy + DisplayScaled(3), cx + DisplayScaled(9), cy - DisplayScaled(4));
    fl_line_style(0);
  }
  fl_draw(text, x + column, y, w - column, h, align, nullptr, 0);
}

static void MeasureCheckLabel(const Fl_Label* l, int& w, int& h) {
  const char* text = l->value;
  if (text && (text[0] == kChecked || text[0] == kUnchecked)) text++;
  fl_font(l->font, l->size);
  w = 0;
  h = 0;
  fl_measure(text, w, h, 0);
  w += DisplayScaled(kCheckColumn + 12); /* and a gap before the shortcut text */
}

/* Titles of the menu bar. FLTK steps from title to title by the title's measured width plus
** 16 pixels, in the bar's drawing and in its hit-testing alike, which makes the fifteen
** titles of the 72-step program wider than its window. The title label type measures
** 16 - kTitlePad pixels less than its text, so each title takes its text plus kTitlePad, in
** every program, with the grid's font and size (kTitlePad times the scale, like the font). The label is drawn centred in its box (FLTK
** hands the label the box less 3 pixels on each side). */
static const Fl_Labeltype kTitleLabel = (Fl_Labeltype)(FL_FREE_LABELTYPE + 1);
enum { kTitlePad = 7 };

static void DrawTitleLabel(const Fl_Label* l, int x, int y, int w, int h, Fl_Align) {
  fl_font(l->font, l->size);
  fl_color((Fl_Color)l->color);
  fl_draw(l->value, x - 3, y, w + 6, h, FL_ALIGN_CENTER, nullptr, 0);
}

static void MeasureTitleLabel(const Fl_Label* l, int& w, int& h) {
  fl_font(l->font, l->size);
  w = 0;
  h = 0;
  fl_measure(l->value, w, h, 0);
  w -= 16 - DisplayScaled(kTitlePad);
}

class TbxMenuBar : public Fl_Menu_Bar {
 public:
  TbxMenuBar(HWND h, int x, int y, int w, int hgt) : Fl_Menu_Bar(x, y, w, hgt), hwnd(h) {
    box(FL_FLAT_BOX);
    textsize(FontSize());
  }
  HWND hwnd;
  bool pulledDown = false;
  /* The titles where FLTK's pull-down puts them: title n at x() + 3 + the steps of the
  ** titles before it, in a box 12 pixels wider than its measure, as the pulled-down title
  ** is drawn (FLTK's own drawing starts 3 pixels further right, so a title's text would
  ** jump when it is pulled down). */
  void draw() override {
    draw_box();
    if (!menu() || !menu()->text) return;
    int X = x() + 3;
    for (const Fl_Menu_Item* m = menu()->first(); m->text; m = m->next()) {
      const int measured = m->measure(nullptr, this);
      m->draw(X, y(), measured + 12, h(), this);
      X += measured + 16;
    }
  }
  int handle(int event) override {
    /* accelerators come from the program's table through the client area */
    if (event == FL_SHORTCUT) return 0;
    if (event != FL_PUSH) return Fl_Menu_Bar::handle(event);
    /* The program brings its menus up to date first (the ports there are now); the
    ** rebuilt items are what the pull-down shows. */
    CoreMenuOpening(hwnd);
    pulledDown = true;
    int r = Fl_Menu_Bar::handle(event);
    pulledDown = false;
    FlEntry* e = FindEntry(hwnd);
    if (e && e->menuDirty) RebuildMenu(e);
    return r;
  }
};

Fl_Menu_Bar* CreateMenuBar(HWND hwnd, int x, int y, int w, int h) {
  static bool registered;
  if (!registered) {
    Fl::set_labeltype(kCheckLabel, DrawCheckLabel, MeasureCheckLabel);
    Fl::set_labeltype(kTitleLabel, DrawTitleLabel, MeasureTitleLabel);
    registered = true;
  }
  return new TbxMenuBar(hwnd, x, y, w, h);
}

bool MenuBarPulledDown(Fl_Menu_Bar* bar) { return ((TbxMenuBar*)bar)->pulledDown; }

static void MenuPicked(Fl_Widget* w, void* data) {
  auto* bar = (TbxMenuBar*)w;
  UINT id = (UINT)(uintptr_t)data;
  Post(bar->hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

static void AddMenuItems(HMENU menu, bool inBar, std::vector<Fl_Menu_Item>& items,
                         std::deque<std::string>& labels) {
  size_t lastAtLevel = SIZE_MAX;
  for (const MenuItemInfo& it : CoreMenuItems(menu)) {
    if (it.flags & MF_SEPARATOR) {
      if (lastAtLevel != SIZE_MAX) items[lastAtLevel].flags |= FL_MENU_DIVIDER;
      continue;
    }
    std::string label, shortcutText;
    int shortcut = 0;
    SplitMenuLabel(it.text, &label, &shortcut, &shortcutText);
    if (!shortcut && !shortcutText.empty()) label += "    " + shortcutText;
    if (!inBar) label.insert(label.begin(), (it.flags & MF_CHECKED) ? kChecked : kUnchecked);
    labels.push_back(ToUtf8(label));
    Fl_Menu_Item mi{};
    mi.text = labels.back().c_str();
    mi.shortcut_ = shortcut;
    mi.labeltype_ = inBar ? kTitleLabel : kCheckLabel;
    mi.labelfont_ = kFont;
    mi.labelsize_ = FontSize();
    if (it.flags & (MF_GRAYED | MF_DISABLED)) mi.flags |= FL_MENU_INACTIVE;
    lastAtLevel = items.size();
    if (it.flags & MF_POPUP) {
      mi.flags |= FL_SUBMENU;
      items.push_back(mi);
      AddMenuItems(it.popup, false, items, labels);
      items.push_back(Fl_Menu_Item{});
    } else {
      mi.callback_ = MenuPicked;
      mi.user_data_ = (void*)(uintptr_t)it.id;
      items.push_back(mi);
    }
  }
}

void RebuildMenu(FlEntry* e) {
  if (!e->menuBar) return;
  if (MenuBarPulledDown(e->menuBar)) {
    e->menuDirty = true; /* the open pull-down still shows the old items */
    return;
  }
  e->menuDirty = false;
  WindowInfo info;
  auto* items = new std::vector<Fl_Menu_Item>();
  auto* labels = new std::deque<std::string>();
  if (CoreWindowInfo(e->hwnd, &info) && info.menu) AddMenuItems(info.menu, true, *items, *labels);
  items->push_back(Fl_Menu_Item{});
  e->menuBar->menu(items->data());
  delete e->menuItems;
  delete e->menuLabels;
  e->menuItems = items;
  e->menuLabels = labels;
  e->menuBar->redraw();
}
