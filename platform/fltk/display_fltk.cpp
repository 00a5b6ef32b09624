/*
** The FLTK display of the Linux platform layer: shows the core's windows as real FLTK 1.3
** windows and feeds the user's input back to the core as Win32 messages.
**
** This file holds the window registry (one FlEntry per core window shown), the life cycle
** of top-level windows and dialogs (an FLTK window with the menu bar above a client area),
** the backing store every client area keeps (an X pixmap: drawing outside WM_PAINT stays
** until the next repaint, as on Windows) with the GDI drawing into it, waiting and waking
** the GUI thread, the pointer, and keyboard translation. The widgets are in
** widgets_fltk.cpp, message boxes, file dialogs and modal dialogs in modal_fltk.cpp.
**
** Checklist of platform/display.h: DisplayReset, DisplayWindowCreated/Changed/Destroyed,
** DisplayErase, DisplayDraw, DisplayFlush, DisplayTextWidth/Height, DisplayWait,
** DisplayWake, DisplaySetPointer, DisplayQuarters here; DisplayMessageBox, DisplayBeep,
** DisplayFileDialog, DisplayRunDialog in modal_fltk.cpp.
*/
#include <FL/Fl_Image.H>
#include <FL/fl_draw.H>
#include <FL/fl_utf8.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/fltk/fltk_internal.h"
#include "platform/fltk/program.h"

/* ---------------------------------------------------------------- state (GUI thread) */

static std::map<HWND, FlEntry> gEntries;         /* every core window shown here */
static bool gOpened;                             /* X display, lock and font set up */
static std::atomic<bool> gReady{false};          /* gOpened, as other threads see it */
static std::atomic<bool> gWakePending{false};    /* an awake is queued; any thread sets it */
static bool gPlacing;                            /* resizing a window ourselves */
static std::atomic<int> gQuarters{0};            /* DisplayQuarters once chosen; 0 before */
/* Menu arrays of destroyed windows: freed at the next wait, when no pull-down can be
** showing them any more. */
static std::vector<std::pair<std::vector<Fl_Menu_Item>*, std::deque<std::string>*>> gGraveyard;

FlEntry* FindEntry(HWND hwnd) {
  auto it = gEntries.find(hwnd);
  return it == gEntries.end() ? nullptr : &it->second;
}

FlEntry* TopEntry(HWND hwnd) {
  FlEntry* e = FindEntry(hwnd);
  return e ? FindEntry(e->top) : nullptr;
}

void SetFont() { fl_font(kFont, FontSize()); }

int FontSize() { return DisplayScaled(12); }
int CellHeight() { return DisplayScaled(16); }
int TabStop() { return DisplayScaled(64); }

/* TAMBORIX_SCALE, else the screen's (the larger of its two resolutions): logic.h. */
static int ChooseQuarters() {
  const char* forced = std::getenv("TAMBORIX_SCALE");
  bool refused = false;
  if (forced && *forced) {
    const int quarters = ScaleQuarters(forced, 96, &refused);
    if (!refused) return quarters;
    std::fprintf(stderr, "tamborix: TAMBORIX_SCALE=%s is none of 1, 1.25, 1.5, 1.75 and 2; the screen decides\n",
                 forced);
  }
  EnsureDisplay();
  float h = 0, v = 0;
  Fl::screen_dpi(h, v, 0);
  return ScaleQuarters(nullptr, std::max(h, v), &refused);
}

int DisplayQuarters() {
  int quarters = gQuarters.load();
  if (quarters == 0) {
    quarters = ChooseQuarters();
    gQuarters.store(quarters);
  }
  return quarters;
}

int MenuBarHeight() {
  int h = CoreNonClient().menuBar;
  return h > 0 ? h : 20;
}

Fl_Color FlColor(COLORREF c) {
  return fl_rgb_color((uchar)(c & 0xff), (uchar)((c >> 8) & 0xff), (uchar)((c >> 16) & 0xff));
}

std::string ToUtf8(const std::string& s) {
  bool ascii = std::all_of(s.begin(), s.end(), [](char c) { return (unsigned char)c < 0x80; });
  if (ascii || fl_utf8test(s.c_str(), (unsigned)s.size()) != 0) return s;
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x80) {
      out += (char)c;
    } else {
      out += (char)(0xc0 | (c >> 6));
      out += (char)(0x80 | (c & 0x3f));
    }
  }
  return out;
}

std::string FromUtf8(const char* s, int n) {
  std::string out;
  for (int i = 0; i < n;) {
    int len = 0;
    unsigned cp = fl_utf8decode(s + i, s + n, &len);
    if (len <= 0) len = 1;
    if (cp < 0x100) out += (char)cp;
    i += len;
  }
  return out;
}

/* Runs the other threads' requests when an awake arrives: also inside FLTK's own loops
** (an open pull-down menu), where the GUI thread waits just as in GetMessageA. */
static void AwakeHandler(void*) {
  gWakePending.store(false);
  CoreRunPending();
  /* An open pull-down runs FLTK's own loop; Windows keeps dispatching posted messages
  ** (the play position, the end of a run) while a menu is open, and so does this. */
  bool pulledDown = false;
  for (auto& [hwnd, e] : gEntries)
    if (e.menuBar && MenuBarPulledDown(e.menuBar)) pulledDown = true;
  if (pulledDown)
    while (!CoreQuitPending() && CorePumpOne(nullptr)) {
    }
}

/* Text without anti-aliasing, for this process only: the program draws its labels and
** markers transparently again and again over the same pixels (as over a bitmap font on
** Windows), which would darken anti-aliased edges with every repaint. */
static void CrispText() {
  static const char kRule[] =
      "<?xml version=\"1.0\"?><!DOCTYPE fontconfig SYSTEM \"fonts.dtd\"><fontconfig>"
      "<match target=\"font\"><edit name=\"antialias\" mode=\"assign\"><bool>false</bool>"
      "</edit></match></fontconfig>";
  if (FcInit()) FcConfigParseAndLoadFromMemory(FcConfigGetCurrent(), (const FcChar8*)kRule, FcTrue);
}

void EnsureDisplay() {
  if (gOpened) return;
  gOpened = true;
  CrispText();
  fl_open_display();
  Fl::lock();  /* makes Fl::awake usable from the timer and MIDI threads */
  FL_NORMAL_SIZE = FontSize();   /* the default of every widget's label, the file chooser's */
  if (!fl_gc) fl_gc = XCreateGC(fl_display, RootWindow(fl_display, fl_screen), 0, 0);
  gReady.store(true);
}

void FltkSetProgramName(const char* name) { Fl_Window::default_xclass(name); }

/* ---------------------------------------------------------------- top-level windows */

/* The FLTK window of a top-level window or dialog: reports where the window manager put
** it and the pointer's screen position. */
class TopWindow : public Fl_Double_Window {
 public:
  TopWindow(HWND h, int x, int y, int w, int hgt) : Fl_Double_Window(x, y, w, hgt), hwnd(h) {}
  HWND hwnd;
  int handle(int event) override {
    switch (event) {
      case FL_MOVE:
      case FL_DRAG:
      case FL_PUSH:
      case FL_ENTER:
      case FL_RELEASE:
        CoreSetPointer(Fl::event_x_root(), Fl::event_y_root());
        break;
      default:
        break;
    }
    return Fl_Double_Window::handle(event);
  }
  void resize(int x, int y, int w, int h) override {
    bool moved = x != this->x() || y != this->y();
    Fl_Double_Window::resize(x, y, w, h);
    FlEntry* e = FindEntry(hwnd);
    if (moved && !gPlacing && e) CoreClientMoved(hwnd, x, y + e->barH);
  }
};

/* Close box and Escape. A dialog gets IDCANCEL, as the dialog manager sends it; the main
** window gets WM_CLOSE from its close box (FLTK never hides a window by itself here), and
** Escape reaches it as a key through the client area instead. */
static void TopCallback(Fl_Widget*, void* data) {
  HWND hwnd = (HWND)data;
  FlEntry* e = FindEntry(hwnd);
  if (!e) return;
  bool escape = Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape;
  if (e->kind == WindowKind::Dialog)
    CorePostInput(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0, KeyState());
  else if (!escape)
    CorePostInput(hwnd, WM_CLOSE, 0, 0, KeyState());
}

static void PlaceControl(FlEntry* top, FlEntry* c, const WindowInfo& info) {
  int w = std::max(0, (int)(info.rect.right - info.rect.left));
  int h = std::max(0, (int)(info.rect.bottom - info.rect.top));
  c->widget->resize(top->client->x() + info.rect.left, top->client->y() + info.rect.top, w, h);
}

/* Makes the backing store w x h, keeping what it showed and giving new parts the
** background. */
static void SizeStore(FlEntry* e, int w, int h) {
  w = std::max(1, w);
  h = std::max(1, h);
  if (e->store && e->storeW == w && e->storeH == h) return;
  Fl_Offscreen store = fl_create_offscreen(w, h);
  {
    fl_begin_offscreen(store);
    fl_color(FlColor(e->background));
    fl_rectf(0, 0, w, h);
    if (e->store) fl_copy_offscreen(0, 0, e->storeW, e->storeH, e->store, 0, 0);
    fl_end_offscreen();
  }
  if (e->store) fl_delete_offscreen(e->store);
  e->store = store;
  e->storeW = w;
  e->storeH = h;
}

/* Window rectangle, menu bar and client area from the core's state. Windows under no
** window manager sit exactly where placed; a dialog is kept on the screen. */
static void LayoutTop(FlEntry* e, const WindowInfo& info) {
  e->barH = info.menu && e->menuBar ? MenuBarHeight() : 0;
  int w = std::max(1, (int)info.clientSize.cx);
  int h = std::max(1, (int)info.clientSize.cy);
  int x = info.clientOrigin.x;
  int y = info.clientOrigin.y - e->barH;
  int sx, sy, sw, sh;
  Fl::screen_xywh(sx, sy, sw, sh);
  int fx = std::max(sx, std::min(x, sx + sw - w));
  int fy = std::max(sy, std::min(y, sy + sh - (h + e->barH)));
  if (e->kind != WindowKind::Dialog) fx = std::max(sx, x), fy = std::max(sy, y);
  gPlacing = true;
  e->window->size_range(w, h + e->barH, w, h + e->barH);
  e->window->resize(fx, fy, w, h + e->barH);
  gPlacing = false;
  if (e->menuBar) {
    e->menuBar->resize(0, 0, w, std::max(1, e->barH));
    if (e->barH) e->menuBar->show();
    else e->menuBar->hide();
  }
  e->client->resize(0, e->barH, w, h);
  e->clientW = w;
  e->clientH = h;
  SizeStore(e, w, h);
  for (auto& [hwnd, c] : gEntries) {
    WindowInfo ci;
    if (c.top == e->hwnd && &c != e && CoreWindowInfo(hwnd, &ci)) PlaceControl(e, &c, ci);
  }
  if (fx != x || fy != y) CoreClientMoved(e->hwnd, fx, fy + e->barH);
  e->window->redraw();
}

void GiveFocus(Fl_Widget* w) {
  Fl_Window* win = w ? w->top_window() : nullptr;
  if (!win || !win->shown()) return;
  if (Fl::focus() == w) Fl::focus(nullptr);
  Fl::focus(w);
}

void FocusOwner(HWND owner) {
  FlEntry* e = owner ? TopEntry(owner) : nullptr;
  if (!e || !e->client->acceptsInput || !e->window->visible()) {
    e = nullptr;
    for (auto& [hwnd, c] : gEntries)
      if (c.window && c.kind == WindowKind::TopLevel && c.window->visible()) e = &c;
  }
  if (e && e->client->acceptsInput) GiveFocus(e->client);
}

static void ShowTop(FlEntry* e, bool visible) {
  if (visible && !e->window->shown()) {
    if (e->kind == WindowKind::Dialog) e->window->set_modal();
    e->window->show();
    e->window->wait_for_expose(); /* mapped: the X input focus can go to it now */
    if (e->client->acceptsInput) GiveFocus(e->client);
  } else if (!visible && e->window->visible()) {
    e->window->hide();
  }
}

static void CreateTop(HWND hwnd, const WindowInfo& info) {
  FlEntry& e = gEntries[hwnd];
  e.hwnd = hwnd;
  e.kind = info.kind;
  e.top = hwnd;
  e.background = info.background;
  Fl_Group* saved = Fl_Group::current();
  Fl_Group::current(nullptr);
  auto* win = new TopWindow(hwnd, 0, 0, 1, 1);
  win->begin();
  if (info.kind == WindowKind::TopLevel) e.menuBar = CreateMenuBar(hwnd, 0, 0, 1, 1);
  e.client = new ClientArea(hwnd, 0, 0, 1, 1);
  e.client->acceptsInput = info.kind == WindowKind::TopLevel;
  e.client->color(FlColor(info.background));
  e.client->end();
  win->end();
  Fl_Group::current(saved);
  win->resizable(nullptr);
  win->color(FlColor(info.background));
  win->callback(TopCallback, (void*)hwnd);
  win->copy_label(ToUtf8(info.text).c_str());
  if (Fl_RGB_Image* icon = IconImage(info.iconName.c_str())) win->icon(icon);
  e.window = win;
  e.widget = win;
  LayoutTop(&e, info);
  if (e.menuBar) RebuildMenu(&e);
  if (info.visible) ShowTop(&e, true);
}

/* ---------------------------------------------------------------- window life cycle */

void DisplayWindowCreated(HWND hwnd) {
  EnsureDisplay();
  WindowInfo info;
  if (!CoreWindowInfo(hwnd, &info) || FindEntry(hwnd)) return;
  if (info.kind == WindowKind::TopLevel || info.kind == WindowKind::Dialog) {
    CreateTop(hwnd, info);
    return;
  }
  FlEntry* top = FindEntry(info.parent);
  if (!top || !top->client) return; /* a child of a child: nothing here draws one */
  Fl_Widget* w = CreateControl(hwnd, info);
  if (!w) return;
  FlEntry& e = gEntries[hwnd];
  e.hwnd = hwnd;
  e.kind = info.kind;
  e.top = top->hwnd;
  e.widget = w;
  top->client->add(w);
  PlaceControl(top, &e, info);
  UpdateControl(&e, info, WC_TEXT | WC_VISIBLE | WC_ENABLED | WC_SCROLL);
  top->client->redraw();
}

void DisplayWindowChanged(HWND hwnd, unsigned what) {
  FlEntry* e = FindEntry(hwnd);
  WindowInfo info;
  if (!e || !CoreWindowInfo(hwnd, &info)) return;
  if (e->window) {
    if (what & WC_TEXT) e->window->copy_label(ToUtf8(info.text).c_str());
    if (what & (WC_GEOMETRY | WC_MENU)) LayoutTop(e, info);
    if ((what & WC_MENU) && e->menuBar) RebuildMenu(e);
    if (what & WC_VISIBLE) ShowTop(e, info.visible);
    if ((what & WC_FOCUS) && e->client->acceptsInput && GetFocus() == hwnd) GiveFocus(e->client);
    return;
  }
  FlEntry* top = FindEntry(e->top);
  if (top && (what & WC_GEOMETRY)) {
    PlaceControl(top, e, info);
    top->client->redraw();
  }
  UpdateControl(e, info, what);
}

static void ForgetTop(FlEntry* e) {
  for (auto it = gEntries.begin(); it != gEntries.end();) {
    if (it->second.top == e->hwnd && &it->second != e) it = gEntries.erase(it);
    else ++it;
  }
  e->window->hide();
  Fl::delete_widget(e->window);
  if (e->store) fl_delete_offscreen(e->store);
  if (e->menuItems || e->menuLabels) gGraveyard.push_back({e->menuItems, e->menuLabels});
}

void DisplayWindowDestroyed(HWND hwnd) {
  FlEntry* e = FindEntry(hwnd);
  if (!e) return;
  if (e->window) {
    ForgetTop(e);
  } else {
    FlEntry* top = FindEntry(e->top);
    if (top && top->client) {
      top->client->remove(e->widget);
      top->client->redraw();
    }
    if (Fl::focus() == e->widget && top && top->client) GiveFocus(top->client);
    Fl::delete_widget(e->widget);
  }
  gEntries.erase(hwnd);
}

void DisplayReset() {
  for (auto& [hwnd, e] : gEntries)
    if (e.window) ForgetTop(&e);
  gEntries.clear();
}

/* ---------------------------------------------------------------- drawing */

/* The entry whose backing store a drawing on `hwnd` goes to (a top-level window or a
** dialog), or null. */
static FlEntry* StoreEntry(HWND hwnd) {
  FlEntry* e = FindEntry(hwnd);
  return e && e->window && e->store ? e : nullptr;
}

static void Touch(FlEntry* e, int l, int t, int r, int b) {
  l = std::max(l, 0);
  t = std::max(t, 0);
  r = std::min(r, e->storeW);
  b = std::min(b, e->storeH);
  if (r <= l || b <= t) return;
  if (!e->dirty) {
    e->dirty = true;
    e->dirtyL = l, e->dirtyT = t, e->dirtyR = r, e->dirtyB = b;
    return;
  }
  e->dirtyL = std::min(e->dirtyL, l), e->dirtyT = std::min(e->dirtyT, t);
  e->dirtyR = std::max(e->dirtyR, r), e->dirtyB = std::max(e->dirtyB, b);
}

void DisplayErase(HWND hwnd, const RECT& rect, COLORREF background) {
  FlEntry* e = StoreEntry(hwnd);
  if (!e || rect.right <= rect.left || rect.bottom <= rect.top) return;
  fl_begin_offscreen(e->store);
  fl_color(FlColor(background));
  fl_rectf(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  fl_end_offscreen();
  Touch(e, rect.left, rect.top, rect.right, rect.bottom);
}

/* Rectangle: the pen's outline lies inside left..right-1 x top..bottom-1 and the brush
** fills what is inside it; with a null pen the brush fills one pixel less on the right
** and bottom, as GDI does. */
static void DrawRectCmd(const DrawCmd& c) {
  int w = c.x2 - c.x1, h = c.y2 - c.y1;
  if (w <= 0 || h <= 0) return;
  if (c.nullPen) {
    if (!c.nullBrush && w > 1 && h > 1) {
      fl_color(FlColor(c.brush));
      fl_rectf(c.x1, c.y1, w - 1, h - 1);
    }
    return;
  }
  int pw = std::max(1, c.penWidth);
  if (!c.nullBrush && w > 2 * pw && h > 2 * pw) {
    fl_color(FlColor(c.brush));
    fl_rectf(c.x1 + pw, c.y1 + pw, w - 2 * pw, h - 2 * pw);
  }
  fl_color(FlColor(c.pen));
  pw = std::min(pw, std::min((w + 1) / 2, (h + 1) / 2));
  fl_rectf(c.x1, c.y1, w, pw);
  fl_rectf(c.x1, c.y2 - pw, w, pw);
  fl_rectf(c.x1, c.y1, pw, h);
  fl_rectf(c.x2 - pw, c.y1, pw, h);
}

static void DrawEllipseCmd(const DrawCmd& c) {
  int w = c.x2 - c.x1, h = c.y2 - c.y1;
  if (c.nullPen) w--, h--;
  if (w <= 0 || h <= 0) return;
  if (!c.nullBrush) {
    fl_color(FlColor(c.brush));
    fl_pie(c.x1, c.y1, w, h, 0, 360);
  }
  if (!c.nullPen) {
    fl_color(FlColor(c.pen));
    fl_line_style(FL_SOLID, c.penWidth > 1 ? c.penWidth : 0);
    fl_arc(c.x1, c.y1, w, h, 0, 360);
    fl_line_style(0);
  }
}

/* A wide pen on a level or upright line covers its pixels and the penWidth - 1 rows (or
** columns) after them, so that a line drawn at the larger scale covers the pixels of its
** 96-dpi line, doubled. */
static void DrawLineCmd(const DrawCmd& c) {
  if (c.nullPen || (c.x1 == c.x2 && c.y1 == c.y2)) return;
  int xl, yl;
  LineLastPixel(c.x1, c.y1, c.x2, c.y2, &xl, &yl);
  fl_color(FlColor(c.pen));
  if (c.penWidth > 1 && (c.y1 == c.y2 || c.x1 == c.x2)) {
    const int left = std::min(c.x1, xl), top = std::min(c.y1, yl);
    if (c.y1 == c.y2) fl_rectf(left, top, std::abs(xl - c.x1) + 1, c.penWidth);
    else fl_rectf(left, top, c.penWidth, std::abs(yl - c.y1) + 1);
    return;
  }
  fl_line_style(FL_SOLID, c.penWidth > 1 ? c.penWidth : 0);
  if (xl == c.x1 && yl == c.y1) fl_point(xl, yl);
  else fl_line(c.x1, c.y1, xl, yl);
  fl_line_style(0);
}

/* Text: the reference point as SetTextAlign says, one CellHeight() line with the
** baseline at the font's descent above its bottom; OPAQUE fills the line's box first. */
static void DrawTextCmd(FlEntry* e, const DrawCmd& c) {
  SetFont();
  std::string s = ToUtf8(c.text);
  int w = (int)std::lround(fl_width(s.c_str(), (int)s.size()));
  int x = c.x1, top = c.y1;
  if ((c.align & TA_CENTER) == TA_CENTER) x -= w / 2;
  else if (c.align & TA_RIGHT) x -= w;
  int ascent = CellHeight() - fl_descent();
  if ((c.align & TA_BASELINE) == TA_BASELINE) top -= ascent;
  else if (c.align & TA_BOTTOM) top -= CellHeight();
  if (c.bkMode == OPAQUE) {
    fl_color(FlColor(c.bkColor));
    fl_rectf(x, top, w, CellHeight());
  }
  fl_color(FlColor(c.textColor));
  fl_draw(s.c_str(), (int)s.size(), x, top + ascent);
  Touch(e, x, top, x + w + 2, top + CellHeight());
}

void DisplayDraw(const DrawCmd& cmd) {
  FlEntry* e = StoreEntry(cmd.hwnd);
  if (!e) return;
  fl_begin_offscreen(e->store);
  switch (cmd.kind) {
    case DrawCmd::Rect:
      DrawRectCmd(cmd);
      Touch(e, cmd.x1, cmd.y1, cmd.x2, cmd.y2);
      break;
    case DrawCmd::Ellipse:
      DrawEllipseCmd(cmd);
      Touch(e, cmd.x1, cmd.y1, cmd.x2, cmd.y2);
      break;
    case DrawCmd::Line: {
      DrawLineCmd(cmd);
      int pw = std::max(1, cmd.penWidth);
      Touch(e, std::min(cmd.x1, cmd.x2) - pw, std::min(cmd.y1, cmd.y2) - pw,
            std::max(cmd.x1, cmd.x2) + pw + 1, std::max(cmd.y1, cmd.y2) + pw + 1);
      break;
    }
    case DrawCmd::Text:
      DrawTextCmd(e, cmd);
      break;
  }
  fl_end_offscreen();
}

void DisplayFlush(HWND hwnd) {
  FlEntry* e = StoreEntry(hwnd);
  if (!e || !e->dirty) return;
  e->dirty = false;
  e->client->damage(FL_DAMAGE_USER1, e->client->x() + e->dirtyL, e->client->y() + e->dirtyT,
                    e->dirtyR - e->dirtyL, e->dirtyB - e->dirtyT);
}

void BlitStore(FlEntry* e, int x, int y, int w, int h) {
  if (!e->store) {
    fl_color(FlColor(e->background));
    fl_rectf(x, y, w, h);
    return;
  }
  fl_copy_offscreen(x, y, std::min(w, e->storeW), std::min(h, e->storeH), e->store, 0, 0);
  fl_color(FlColor(e->background));
  if (w > e->storeW) fl_rectf(x + e->storeW, y, w - e->storeW, h);
  if (h > e->storeH) fl_rectf(x, y + e->storeH, w, h - e->storeH);
}

int DisplayTextWidth(const char* text, int length) {
  EnsureDisplay();
  SetFont();
  std::string s = ToUtf8(std::string(text, (size_t)std::max(0, length)));
  return (int)std::lround(fl_width(s.c_str(), (int)s.size()));
}

int DisplayTextHeight() { return CellHeight(); }

/* ---------------------------------------------------------------- waiting */

void DisplayWait() {
  EnsureDisplay();
  for (auto& [items, labels] : gGraveyard) {
    delete items;
    delete labels;
  }
  gGraveyard.clear();
  Fl::wait(1e20);
}

void DisplayWake() {
  if (!gReady.load()) return;
  if (!gWakePending.exchange(true)) Fl::awake(AwakeHandler, nullptr);
}

bool RunModalLoop(HWND dialog, bool (*done)(void*), void* arg) {
  while (!done(arg)) {
    if (CoreQuitPending()) return false;
    CoreRunPending();
    if (done(arg)) break;
    if (!CorePumpOne(dialog)) DisplayWait();
  }
  return true;
}

/* ---------------------------------------------------------------- pointer and keys */

void DisplaySetPointer(int x, int y) {
  EnsureDisplay();
  XWarpPointer(fl_display, None, RootWindow(fl_display, fl_screen), 0, 0, 0, 0, x, y);
  XFlush(fl_display);
}

unsigned KeyState() {
  int s = Fl::event_state();
  unsigned k = 0;
  if (s & FL_SHIFT) k |= KS_SHIFT;
  if (s & FL_CTRL) k |= KS_CONTROL;
  if (s & FL_ALT) k |= KS_ALT;
  if (s & FL_BUTTON1) k |= KS_LBUTTON;
  if (s & FL_BUTTON2) k |= KS_MBUTTON;
  if (s & FL_BUTTON3) k |= KS_RBUTTON;
  return k;
}

int VirtualKey(int key, const char*) {
  if (key >= 'a' && key <= 'z') return key - 'a' + 'A';
  if ((key >= '0' && key <= '9') || key == ' ') return key;
  if (key >= FL_F + 1 && key <= FL_F + 12) return VK_F1 + (key - FL_F - 1);
  if (key >= FL_KP + '0' && key <= FL_KP + '9') return VK_NUMPAD0 + (key - FL_KP - '0');
  switch (key) {
    case FL_Left: return VK_LEFT;
    case FL_Up: return VK_UP;
    case FL_Right: return VK_RIGHT;
    case FL_Down: return VK_DOWN;
    case FL_Enter:
    case FL_KP_Enter: return VK_RETURN;
    case FL_Escape: return VK_ESCAPE;
    case FL_BackSpace: return VK_BACK;
    case FL_Tab: return VK_TAB;
    case FL_Delete: return VK_DELETE;
    case FL_Insert: return VK_INSERT;
    case FL_Home: return VK_HOME;
    case FL_End: return VK_END;
    case FL_Page_Up: return VK_PRIOR;
    case FL_Page_Down: return VK_NEXT;
    case FL_Pause: return VK_PAUSE;
    case FL_Caps_Lock: return VK_CAPITAL;
    case FL_Shift_L:
    case FL_Shift_R: return VK_SHIFT;
    case FL_Control_L:
    case FL_Control_R: return VK_CONTROL;
    case FL_Alt_L:
    case FL_Alt_R: return VK_MENU;
    case FL_KP + '*': return VK_MULTIPLY;
    case FL_KP + '+': return VK_ADD;
    case FL_KP + '-': return VK_SUBTRACT;
    case FL_KP + '.': return VK_DECIMAL;
    case FL_KP + '/': return VK_DIVIDE;
    /* the US layout's punctuation keys (VK_OEM_*) */
    case ';': return 0xBA;
    case '=': return 0xBB;
    case ',': return 0xBC;
    case '-': return 0xBD;
    case '.': return 0xBE;
    case '/': return 0xBF;
    case '`': return 0xC0;
    case '[': return 0xDB;
    case '\\': return 0xDC;
    case ']': return 0xDD;
    case '\'': return 0xDE;
    default: return 0;
  }
}
