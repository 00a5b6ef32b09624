/*
** State shared by the files of the display-independent core: the window table, window
** classes, the GDI and menu helpers the window and dialog code need, and the helpers that
** move a call to the GUI thread.
**
** Every table here is touched on the GUI thread only; an API function called on another
** thread first moves itself there with ON_GUI_THREAD (which waits for the result, as a
** Win32 SendMessage would). The exceptions, with their own locks, are the message queue
** (queue.cpp), GDI objects and device contexts (gdi.cpp), faults and files.
*/
#ifndef TBX_PLATFORM_CORE_CORE_H
#define TBX_PLATFORM_CORE_CORE_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/core/internal.h"
#include "platform/display.h"
#include "platform/win32.h"

/* Runs the rest of the calling API function on the GUI thread and returns its result. */
#define ON_GUI_THREAD(type, expr)          \
  do {                                     \
    if (!CoreOnGuiThread()) {              \
      type result_{};                      \
      RunOnGuiThread([&] { result_ = (expr); }); \
      return result_;                      \
    }                                      \
  } while (0)

/* ---------------------------------------------------------------- handles */

/* Handles are never reused: a counter per kind, so a stale handle can never name a new
** object (IsWindow on a destroyed window stays FALSE for the life of the process). */
enum HandleBase : uintptr_t {
  kWindowBase = 0x10000,
  kMenuBase = 0x20000000,
  kDcBase = 0x30000000,
  kGdiBase = 0x40000000,
  kAccelBase = 0x50000000,
  kIconBase = 0x58000000,
  kFileBase = 0x60000000,
  kDropBase = 0x68000000,
};
uintptr_t NextHandle(HandleBase base);

/* ---------------------------------------------------------------- windows */

struct CoreWndClass {
  std::string name;         /* as registered; looked up case-insensitively */
  WNDPROC proc;
  HICON icon;
  HCURSOR cursor;
  HBRUSH background;
  UINT style;
};

struct CoreWindow {
  HWND hwnd;
  WindowKind kind;
  std::string cls;
  WNDPROC proc;             /* class procedure (NULL for controls and dialogs) */
  DLGPROC dlgProc;          /* dialogs */
  std::string text;
  DWORD style;
  DWORD exStyle;
  HWND parent;
  HWND owner;
  int id;
  RECT rect;                /* screen (top-level) or parent client (child) */
  HMENU menu;               /* top-level: menu bar */
  bool enabled;
  bool visible;
  int sbMin, sbMax, sbPos;  /* scroll bar */
  int limitText;            /* edit: EM_LIMITTEXT, 0 = none */
  LONG_PTR userData;        /* GWLP_USERDATA */
  LONG_PTR dlgUser;         /* DWLP_USER of dialogs */
  HINSTANCE instance;
  HICON icon;               /* class icon (top-level) */
  std::string iconName;     /* SS_ICON controls and class icons */
  COLORREF background;
  bool hasBackground;
  /* painting */
  bool invalid;             /* has an update region */
  RECT update;              /* bounding box of the update region, client pixels */
  bool erase;               /* the next BeginPaint erases */
  /* dialogs */
  std::string templateName;
  bool ended;
  INT_PTR result;
  std::vector<HWND> children; /* creation order */
  bool destroying;          /* DestroyWindow is sending WM_DESTROY */
};

extern std::map<HWND, CoreWindow> gCoreWindows;    /* every live window; GUI thread */
extern std::vector<HWND> gCoreTopLevels;       /* live top-level windows and dialogs, creation order */

CoreWindow* FindWindowRec(HWND hwnd);          /* NULL for no such window */
HWND TopLevelOf(HWND hwnd);
POINT ClientOriginOf(const CoreWindow& w);     /* screen pixels */
SIZE ClientSizeOf(const CoreWindow& w);
void NotifyChanged(HWND hwnd, unsigned what);
/* The procedure a message to `w` goes to (class, control or dialog procedure). */
LRESULT CallWindowProcFor(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
/* Adds `rect` (client pixels, NULL = all) to the update region without recording it. */
void AddUpdate(CoreWindow& w, const RECT* rect, bool erase);
/* Removes a window and its children from every table without sending messages. */
void ForgetAllWindows();
void CoreWindowsReset();

/* Creates a window (used by CreateWindowExA and the dialog builder). */
HWND CreateWindowInternal(DWORD exStyle, const char* cls, const char* text, DWORD style, int x, int y, int w, int h,
                          HWND parent, HMENU menu, HINSTANCE inst, LPVOID param, WindowKind forceKind);

/* ---------------------------------------------------------------- messages */

/* Whether a handle names a live window; any thread (PostMessageA checks it). */
void MarkLive(HWND hwnd, bool live);
bool IsLive(HWND hwnd);
/* Current input key state (KS_* bits) of the message being handled; GUI thread. */
extern unsigned gCoreKeyState;
void CoreQueueReset();
/* Removes posted messages for a window that is gone. */
void DropMessagesFor(HWND hwnd);
/* Queues `fn` for the GUI thread without waiting (drawing and invalidation from other
** threads). Any thread. */
void PostToGuiThread(std::function<void()> fn);
/* Makes the calling thread the GUI thread if there is none yet. */
void ClaimGuiThread();
/* Clears a window's update region (BeginPaint, ValidateRect). */
void ValidateWindow(CoreWindow& w);

/* Device contexts (gdi.cpp): a DC for a window's client area with the default state. */
HDC CreateDcFor(HWND hwnd, bool inPaint);
void ReleaseDcInternal(HDC hdc);

/* ---------------------------------------------------------------- menus, GDI, dialogs */

void CoreMenusReset();
/* Whether `menu` or one of its popups contains `sub` (or is it). */
bool MenuContains(HMENU menu, HMENU sub);
/* State of a command item anywhere in the menu tree, (UINT)-1 when absent. */
UINT MenuCommandState(HMENU menu, UINT id);
void DestroyMenuTree(HMENU menu);

void CoreGdiReset();
/* Colour of a brush handle (or system colour index + 1); false for NULL/no brush. */
bool CoreBrushColour(HBRUSH brush, COLORREF* colour);

void CoreDialogsReset();
void CoreDropsReset();                         /* forgets drops never finished */
/* Resource name of an icon handle ("" for none / stock icons). */
std::string CoreIconName(HICON icon);

/* Invalidations recorded for tests (explicit InvalidateRect calls). */
void RecordInvalidation(HWND hwnd, const RECT* rect, BOOL erase);

/* Pointer position, screen pixels. */
extern POINT gCorePointer;

#endif
