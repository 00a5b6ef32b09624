/*
** This file contains the window table of the Linux layer: window classes, creation and
** destruction, geometry (window and client rectangles, the non-client frame the core
** assumes), texts, window longs, scroll-bar state, focus, the pointer, and the snapshots a
** display reads (CoreWindowInfo and friends).
**
** Geometry. Top-level windows and dialogs keep their window rectangle in screen pixels;
** children keep theirs relative to the parent's client area. A top-level window with a
** caption has a frame of kBorder pixels, a caption of kCaption pixels and, with a menu, a
** menu bar of kMenuBar pixels above its client area, as the fixed-frame windows of the
** program have on Windows; a display that places the client area elsewhere tells the core
** with CoreClientMoved. At the display's scale (DisplayQuarters) those sizes and the dialog
** base units grow with it, so that a program which builds its geometry on GetDialogBaseUnits
** is drawn as much larger.
*/
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "platform/core/core.h"

namespace {

constexpr int kBorder = 3;          /* fixed frame, each side, pixels */
constexpr int kCaption = 20;        /* caption bar, pixels */
constexpr int kMenuBar = 20;        /* one-line menu bar, pixels */
constexpr int kDefaultX = 24;       /* CW_USEDEFAULT position of a top-level window */
constexpr int kDefaultY = 24;
constexpr int kDefaultW = 640;      /* CW_USEDEFAULT size */
constexpr int kDefaultH = 480;

std::vector<CoreWndClass> gClasses;     /* registered classes; GUI thread */
HWND gFocus = nullptr;              /* window with the keyboard focus; GUI thread */

const HINSTANCE kInstance = reinterpret_cast<HINSTANCE>(uintptr_t{0x400000});

bool HasCaption(DWORD style) { return (style & WS_CAPTION) == WS_CAPTION; }

bool HasFrame(DWORD style) {
  return HasCaption(style) || (style & (WS_DLGFRAME | WS_BORDER)) || (style & DS_MODALFRAME);
}

/* Non-client extents (left, top, right, bottom) of a top-level window. */
RECT NonClientOf(DWORD style, bool menu) {
  RECT nc{0, 0, 0, 0};
  if (style & WS_CHILD) return nc;
  int b = HasFrame(style) ? DisplayScaled(kBorder) : 0;
  nc.left = nc.right = nc.bottom = b;
  nc.top = b + (HasCaption(style) ? DisplayScaled(kCaption) : 0) + (menu ? DisplayScaled(kMenuBar) : 0);
  return nc;
}

CoreWndClass* FindClass(const char* name) {
  if (!name) return nullptr;
  for (auto& c : gClasses)
    if (strcasecmp(c.name.c_str(), name) == 0) return &c;
  return nullptr;
}

bool BuiltinKind(const char* name, WindowKind* kind) {
  if (!name || IS_INTRESOURCE(name)) return false;
  static const struct {
    const char* name;
    WindowKind kind;
  } kBuiltins[] = {{"scrollbar", WindowKind::ScrollBar},
                   {"static", WindowKind::Static},
                   {"edit", WindowKind::Edit},
                   {"button", WindowKind::Button}};
  for (auto& b : kBuiltins)
    if (strcasecmp(b.name, name) == 0) {
      *kind = b.kind;
      return true;
    }
  return false;
}

void RemoveFrom(std::vector<HWND>& list, HWND hwnd) {
  list.erase(std::remove(list.begin(), list.end(), hwnd), list.end());
}

/* Sends WM_DESTROY to `hwnd` and then to its children, depth first, as Windows does. */
void SendDestroy(HWND hwnd) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return;
  w->destroying = true;
  w->visible = false;
  CallWindowProcFor(hwnd, WM_DESTROY, 0, 0);
  w = FindWindowRec(hwnd);
  if (!w) return;
  std::vector<HWND> kids = w->children;
  for (HWND k : kids) SendDestroy(k);
}

/* Drops `hwnd` and its children from the tables, children first. */
void Remove(HWND hwnd) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return;
  std::vector<HWND> kids = w->children;
  for (HWND k : kids) Remove(k);
  w = FindWindowRec(hwnd);
  if (!w) return;
  if (w->menu && !(w->style & WS_CHILD)) DestroyMenuTree(w->menu);
  if (CoreWindow* p = FindWindowRec(w->parent); p && (w->style & WS_CHILD)) RemoveFrom(p->children, hwnd);
  RemoveFrom(gCoreTopLevels, hwnd);
  if (gFocus == hwnd) gFocus = nullptr;
  MarkLive(hwnd, false);
  DropMessagesFor(hwnd);
  gCoreWindows.erase(hwnd);
  DisplayWindowDestroyed(hwnd);
}

int ClampScroll(const CoreWindow& w, int pos) {
  int lo = std::min(w.sbMin, w.sbMax), hi = std::max(w.sbMin, w.sbMax);
  return std::clamp(pos, lo, hi);
}

}  // namespace

std::map<HWND, CoreWindow> gCoreWindows;
std::vector<HWND> gCoreTopLevels;
POINT gCorePointer = {0, 0};

CoreWindow* FindWindowRec(HWND hwnd) {
  auto it = gCoreWindows.find(hwnd);
  return it == gCoreWindows.end() ? nullptr : &it->second;
}

HWND TopLevelOf(HWND hwnd) {
  CoreWindow* w = FindWindowRec(hwnd);
  while (w && (w->style & WS_CHILD) && FindWindowRec(w->parent)) w = FindWindowRec(w->parent);
  return w ? w->hwnd : nullptr;
}

POINT ClientOriginOf(const CoreWindow& w) {
  if (w.style & WS_CHILD) {
    POINT p{w.rect.left, w.rect.top};
    if (const CoreWindow* parent = FindWindowRec(w.parent)) {
      POINT o = ClientOriginOf(*parent);
      p.x += o.x;
      p.y += o.y;
    }
    return p;
  }
  RECT nc = NonClientOf(w.style, w.menu != nullptr);
  return POINT{w.rect.left + nc.left, w.rect.top + nc.top};
}

SIZE ClientSizeOf(const CoreWindow& w) {
  RECT nc = NonClientOf(w.style, w.menu != nullptr && !(w.style & WS_CHILD));
  LONG cx = w.rect.right - w.rect.left - nc.left - nc.right;
  LONG cy = w.rect.bottom - w.rect.top - nc.top - nc.bottom;
  return SIZE{std::max<LONG>(cx, 0), std::max<LONG>(cy, 0)};
}

void NotifyChanged(HWND hwnd, unsigned what) {
  if (FindWindowRec(hwnd)) DisplayWindowChanged(hwnd, what);
}

void ForgetAllWindows() {
  std::vector<HWND> all;
  for (auto& [h, w] : gCoreWindows) all.push_back(h);
  for (HWND h : all) {
    MarkLive(h, false);
    DropMessagesFor(h);
  }
  gCoreWindows.clear();
  gCoreTopLevels.clear();
}

void CoreWindowsReset() {
  ForgetAllWindows();
  gClasses.clear();
  gFocus = nullptr;
  gCorePointer = POINT{0, 0};
}

/* ================================================================ classes and creation */

ATOM WINAPI RegisterClassA(const WNDCLASSA* wc) {
  ClaimGuiThread();
  ON_GUI_THREAD(ATOM, RegisterClassA(wc));
  if (!wc || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName) || !wc->lpfnWndProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WindowKind kind;
  if (FindClass(wc->lpszClassName) || BuiltinKind(wc->lpszClassName, &kind)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  gClasses.push_back(CoreWndClass{wc->lpszClassName, wc->lpfnWndProc, wc->hIcon, wc->hCursor, wc->hbrBackground, wc->style});
  return static_cast<ATOM>(0xC000 + gClasses.size());
}

HWND CreateWindowInternal(DWORD exStyle, const char* cls, const char* text, DWORD style, int x, int y, int width,
                          int height, HWND parent, HMENU menu, HINSTANCE inst, LPVOID param, WindowKind forceKind) {
  CoreWindow w{};
  const CoreWndClass* wc = nullptr;
  WindowKind kind = WindowKind::TopLevel;
  if (forceKind == WindowKind::Dialog) {
    kind = WindowKind::Dialog;
  } else if (!BuiltinKind(cls, &kind)) {
    wc = FindClass(cls);
    if (!wc) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    kind = (style & WS_CHILD) ? WindowKind::Child : WindowKind::TopLevel;
  }
  if ((style & WS_CHILD) && !FindWindowRec(parent)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  if (!(style & WS_CHILD)) {
    if (x == CW_USEDEFAULT) x = kDefaultX, y = kDefaultY;
    if (width == CW_USEDEFAULT) width = kDefaultW, height = kDefaultH;
  } else {
    if (x == CW_USEDEFAULT) x = 0, y = 0;
    if (width == CW_USEDEFAULT) width = 0, height = 0;
  }
  HWND hwnd = reinterpret_cast<HWND>(NextHandle(kWindowBase));
  w.hwnd = hwnd;
  w.kind = kind;
  w.cls = kind == WindowKind::Dialog ? "#32770" : (cls ? cls : "");
  if (kind == WindowKind::ScrollBar || kind == WindowKind::Static || kind == WindowKind::Edit ||
      kind == WindowKind::Button)
    for (auto& ch : w.cls) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  w.proc = wc ? wc->proc : nullptr;
  w.text = text && !IS_INTRESOURCE(text) ? text : "";
  w.style = style;
  w.exStyle = exStyle;
  w.parent = (style & WS_CHILD) ? parent : nullptr;
  w.owner = (style & WS_CHILD) ? nullptr : parent;
  w.id = (style & WS_CHILD) ? static_cast<int>(reinterpret_cast<intptr_t>(menu)) : 0;
  w.menu = (style & WS_CHILD) ? nullptr : menu;
  w.rect = RECT{x, y, x + width, y + height};
  w.enabled = !(style & WS_DISABLED);
  w.visible = false;
  w.sbMin = 0;
  w.sbMax = 100;
  w.instance = inst;
  w.icon = wc ? wc->icon : nullptr;
  w.iconName = kind == WindowKind::Static && (style & 0x1F) == SS_ICON ? w.text : CoreIconName(w.icon);
  w.hasBackground = wc ? CoreBrushColour(wc->background, &w.background) : true;
  if (!wc) w.background = kind == WindowKind::Dialog ? RGB(240, 240, 240) : RGB(255, 255, 255);
  gCoreWindows[hwnd] = w;
  if (style & WS_CHILD)
    FindWindowRec(parent)->children.push_back(hwnd);
  else
    gCoreTopLevels.push_back(hwnd);
  MarkLive(hwnd, true);
  DisplayWindowCreated(hwnd);

  if (kind == WindowKind::TopLevel || kind == WindowKind::Child) {
    CREATESTRUCTA cs{param, inst, menu, parent, height, width, y, x, static_cast<LONG>(style), text, cls, exStyle};
    if (CallWindowProcFor(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) == 0 ||
        CallWindowProcFor(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
      DestroyWindow(hwnd);
      return nullptr;
    }
  }
  if (CoreWindow* made = FindWindowRec(hwnd); made && (style & WS_VISIBLE)) {
    made->visible = true;
    if (!(style & WS_CHILD)) AddUpdate(*made, nullptr, true);
    NotifyChanged(hwnd, WC_VISIBLE);
  }
  return FindWindowRec(hwnd) ? hwnd : nullptr;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR cls, LPCSTR name, DWORD style, int x, int y, int width, int height,
                            HWND parent, HMENU menu, HINSTANCE inst, LPVOID param) {
  ClaimGuiThread();
  ON_GUI_THREAD(HWND, CreateWindowExA(exStyle, cls, name, style, x, y, width, height, parent, menu, inst, param));
  return CreateWindowInternal(exStyle, cls, name, style, x, y, width, height, parent, menu, inst, param,
                              WindowKind::TopLevel);
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
  ON_GUI_THREAD(BOOL, DestroyWindow(hwnd));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || w->destroying) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  /* Owned windows (dialogs) go first. */
  std::vector<HWND> owned;
  for (HWND t : gCoreTopLevels)
    if (CoreWindow* o = FindWindowRec(t); o && o->owner == hwnd) owned.push_back(t);
  for (HWND o : owned) DestroyWindow(o);
  if (!FindWindowRec(hwnd)) return TRUE;
  NotifyChanged(hwnd, WC_VISIBLE);
  SendDestroy(hwnd);
  CallWindowProcFor(hwnd, WM_NCDESTROY, 0, 0);
  Remove(hwnd);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hwnd) { return IsLive(hwnd) ? TRUE : FALSE; }

BOOL WINAPI IsWindowVisible(HWND hwnd) {
  ON_GUI_THREAD(BOOL, IsWindowVisible(hwnd));
  for (CoreWindow* w = FindWindowRec(hwnd); w; w = (w->style & WS_CHILD) ? FindWindowRec(w->parent) : nullptr)
    if (!w->visible) return FALSE;
  return FindWindowRec(hwnd) ? TRUE : FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND hwnd) {
  ON_GUI_THREAD(BOOL, IsWindowEnabled(hwnd));
  CoreWindow* w = FindWindowRec(hwnd);
  return w && w->enabled ? TRUE : FALSE;
}

BOOL WINAPI EnableWindow(HWND hwnd, BOOL enable) {
  ON_GUI_THREAD(BOOL, EnableWindow(hwnd, enable));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return FALSE;
  BOOL wasDisabled = w->enabled ? FALSE : TRUE;
  w->enabled = enable != FALSE;
  NotifyChanged(hwnd, WC_ENABLED);
  return wasDisabled;
}

BOOL WINAPI ShowWindow(HWND hwnd, int cmd) {
  ON_GUI_THREAD(BOOL, ShowWindow(hwnd, cmd));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return FALSE;
  BOOL was = w->visible ? TRUE : FALSE;
  bool show = cmd != SW_HIDE;
  if (show && !w->visible && !(w->style & WS_CHILD)) AddUpdate(*w, nullptr, true);
  w->visible = show;
  if (show)
    w->style |= WS_VISIBLE;
  else
    w->style &= ~static_cast<DWORD>(WS_VISIBLE);
  NotifyChanged(hwnd, WC_VISIBLE);
  return was;
}

/* ================================================================ geometry */

BOOL WINAPI MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint) {
  ON_GUI_THREAD(BOOL, MoveWindow(hwnd, x, y, width, height, repaint));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return FALSE;
  w->rect = RECT{x, y, x + std::max(width, 0), y + std::max(height, 0)};
  if (repaint) {
    AddUpdate(*w, nullptr, true);
    if (CoreWindow* p = FindWindowRec(w->parent); p && (w->style & WS_CHILD)) {
      RECT r = w->rect;
      AddUpdate(*p, &r, true);
    }
  }
  NotifyChanged(hwnd, WC_GEOMETRY);
  return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hwnd, LPRECT rect) {
  ON_GUI_THREAD(BOOL, GetWindowRect(hwnd, rect));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || !rect) return FALSE;
  *rect = w->rect;
  if (w->style & WS_CHILD) {
    CoreWindow* p = FindWindowRec(w->parent);
    POINT o = p ? ClientOriginOf(*p) : POINT{0, 0};
    rect->left += o.x, rect->right += o.x, rect->top += o.y, rect->bottom += o.y;
  }
  return TRUE;
}

BOOL WINAPI GetClientRect(HWND hwnd, LPRECT rect) {
  ON_GUI_THREAD(BOOL, GetClientRect(hwnd, rect));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || !rect) return FALSE;
  SIZE s = ClientSizeOf(*w);
  *rect = RECT{0, 0, s.cx, s.cy};
  return TRUE;
}

BOOL WINAPI AdjustWindowRect(LPRECT rect, DWORD style, BOOL menu) {
  if (!rect) return FALSE;
  RECT nc = NonClientOf(style, menu != FALSE);
  rect->left -= nc.left, rect->top -= nc.top, rect->right += nc.right, rect->bottom += nc.bottom;
  return TRUE;
}

HWND WINAPI SetFocus(HWND hwnd) {
  ON_GUI_THREAD(HWND, SetFocus(hwnd));
  if (hwnd && !FindWindowRec(hwnd)) return nullptr;
  HWND old = gFocus;
  gFocus = hwnd;
  if (hwnd) NotifyChanged(hwnd, WC_FOCUS);
  return old;
}

HWND WINAPI GetFocus(void) {
  ON_GUI_THREAD(HWND, GetFocus());
  return gFocus;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR name) { return name ? nullptr : kInstance; }

/* The character cell of the 96-dpi screen, 8 x 16 pixels, at the display's scale (10 x 20 at
** 1.25, ..., 16 x 32 at 2: always whole pixels). */
LONG WINAPI GetDialogBaseUnits(void) {
  return MAKELONG(DisplayScaled(8), DisplayScaled(16));
}

/* ================================================================ texts and longs */

BOOL WINAPI SetWindowTextA(HWND hwnd, LPCSTR text) {
  if (!IsWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return SendMessageA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

int WINAPI GetWindowTextA(HWND hwnd, LPSTR buf, int max) {
  ON_GUI_THREAD(int, GetWindowTextA(hwnd, buf, max));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!buf || max <= 0) return 0;
  buf[0] = 0;
  if (!w) return 0;
  size_t n = std::min(w->text.size(), static_cast<size_t>(max - 1));
  memcpy(buf, w->text.data(), n);
  buf[n] = 0;
  return static_cast<int>(n);
}

int WINAPI GetWindowTextLengthA(HWND hwnd) {
  ON_GUI_THREAD(int, GetWindowTextLengthA(hwnd));
  CoreWindow* w = FindWindowRec(hwnd);
  return w ? static_cast<int>(w->text.size()) : 0;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hwnd, int index) {
  ON_GUI_THREAD(LONG_PTR, GetWindowLongPtrA(hwnd, index));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (index) {
    case GWLP_ID: return w->id;
    case GWL_STYLE: return static_cast<LONG>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG>(w->exStyle);
    case GWLP_USERDATA: return w->userData;
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>((w->style & WS_CHILD) ? w->parent : w->owner);
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
  }
}

LONG WINAPI GetWindowLongA(HWND hwnd, int index) { return static_cast<LONG>(GetWindowLongPtrA(hwnd, index)); }

/* ================================================================ scroll bars */

int WINAPI SetScrollRange(HWND hwnd, int, int minPos, int maxPos, BOOL redraw) {
  ON_GUI_THREAD(int, SetScrollRange(hwnd, 0, minPos, maxPos, redraw));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return FALSE;
  w->sbMin = minPos;
  w->sbMax = maxPos;
  w->sbPos = ClampScroll(*w, w->sbPos);
  NotifyChanged(hwnd, WC_SCROLL);
  return TRUE;
}

int WINAPI SetScrollPos(HWND hwnd, int, int pos, BOOL redraw) {
  ON_GUI_THREAD(int, SetScrollPos(hwnd, 0, pos, redraw));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return 0;
  int old = w->sbPos;
  w->sbPos = ClampScroll(*w, pos);
  NotifyChanged(hwnd, WC_SCROLL);
  return old;
}

int WINAPI GetScrollPos(HWND hwnd, int) {
  ON_GUI_THREAD(int, GetScrollPos(hwnd, 0));
  CoreWindow* w = FindWindowRec(hwnd);
  return w ? w->sbPos : 0;
}

BOOL WINAPI GetScrollRange(HWND hwnd, int, LPINT minPos, LPINT maxPos) {
  ON_GUI_THREAD(BOOL, GetScrollRange(hwnd, 0, minPos, maxPos));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || !minPos || !maxPos) return FALSE;
  *minPos = w->sbMin;
  *maxPos = w->sbMax;
  return TRUE;
}

/* ================================================================ pointer */

BOOL WINAPI GetCursorPos(LPPOINT p) {
  ON_GUI_THREAD(BOOL, GetCursorPos(p));
  if (!p) return FALSE;
  *p = gCorePointer;
  return TRUE;
}

BOOL WINAPI SetCursorPos(int x, int y) {
  ON_GUI_THREAD(BOOL, SetCursorPos(x, y));
  gCorePointer = POINT{x, y};
  DisplaySetPointer(x, y);
  return TRUE;
}

/* Moves a point by a window's client origin: sign -1 from the screen into the client area,
** +1 back. */
static BOOL ShiftByClientOrigin(HWND hwnd, LPPOINT p, int sign) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || !p) return FALSE;
  POINT o = ClientOriginOf(*w);
  p->x += sign * o.x;
  p->y += sign * o.y;
  return TRUE;
}

BOOL WINAPI ScreenToClient(HWND hwnd, LPPOINT p) {
  ON_GUI_THREAD(BOOL, ScreenToClient(hwnd, p));
  return ShiftByClientOrigin(hwnd, p, -1);
}

BOOL WINAPI ClientToScreen(HWND hwnd, LPPOINT p) {
  ON_GUI_THREAD(BOOL, ClientToScreen(hwnd, p));
  return ShiftByClientOrigin(hwnd, p, +1);
}

/* ================================================================ the display's side */

bool CoreWindowInfo(HWND hwnd, WindowInfo* info) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || !info) return false;
  info->hwnd = hwnd;
  info->kind = w->kind;
  info->className = w->cls;
  info->text = (w->kind == WindowKind::Static && (w->style & 0x1F) == SS_ICON) ? w->iconName : w->text;
  info->style = w->style;
  info->exStyle = w->exStyle;
  info->parent = w->parent;
  info->owner = w->owner;
  info->id = w->id;
  info->rect = w->rect;
  info->clientOrigin = ClientOriginOf(*w);
  info->clientSize = ClientSizeOf(*w);
  info->menu = (w->style & WS_CHILD) ? nullptr : w->menu;
  info->visible = w->visible;
  info->enabled = w->enabled;
  info->scrollMin = w->sbMin;
  info->scrollMax = w->sbMax;
  info->scrollPos = w->sbPos;
  info->background = w->hasBackground ? w->background : RGB(255, 255, 255);
  info->iconName = w->iconName;
  return true;
}

std::vector<HWND> CoreChildWindows(HWND parent) {
  CoreWindow* w = FindWindowRec(parent);
  return w ? w->children : std::vector<HWND>{};
}

NonClient CoreNonClient() {
  return NonClient{DisplayScaled(kBorder), DisplayScaled(kCaption), DisplayScaled(kMenuBar)};
}

void CoreSetPointer(int x, int y) { gCorePointer = POINT{x, y}; }

void CoreClientMoved(HWND hwnd, int x, int y) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || (w->style & WS_CHILD)) return;
  POINT o = ClientOriginOf(*w);
  int dx = x - o.x, dy = y - o.y;
  w->rect.left += dx, w->rect.right += dx, w->rect.top += dy, w->rect.bottom += dy;
}

void CoreStoreText(HWND hwnd, const std::string& text) {
  if (CoreWindow* w = FindWindowRec(hwnd)) {
    w->text = w->limitText > 0 && text.size() > static_cast<size_t>(w->limitText) ? text.substr(0, w->limitText) : text;
  }
}

