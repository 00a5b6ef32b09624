/*
** The boundary between the display-independent core of the Linux platform layer and a
** display (FLTK for the programs, headless for tests and the command line).
**
** The core (platform/core) owns every Win32 object: windows with their rectangles, texts,
** styles, ids, scroll state and menus; the message queue; GDI objects and device contexts;
** dialogs built from their templates. A display shows that state and feeds input back.
** Exactly one display is linked into a program; it defines every Display* function below.
** The core defines every Core* function, which a display calls.
**
** Threads. The "GUI thread" is the thread that created the first window (or called
** CoreSetGuiThread). Every Display* function except DisplayWake is called by the core on
** the GUI thread only; drawing requested on another thread is queued by the core and
** replayed there. Core* functions must be called on the GUI thread unless they say
** otherwise.
**
** Waiting. Whenever the GUI thread waits (GetMessageA, a modal dialog, a message box
** or file dialog shown by the display), cross-thread requests must keep running, or a
** thread that sends to the window deadlocks: a display's waiting loops call CoreRunPending
** each time they wake. DisplayWake is how the core wakes them.
**
** Coordinates. Window rectangles are in pixels: top-level windows in screen coordinates,
** children relative to their parent's client area. The client area of a top-level window
** starts below its caption and menu bar; CoreNonClient gives the core's idea of those
** sizes, and a display that knows better reports the real client origin with
** CoreClientMoved.
*/
#ifndef TBX_PLATFORM_DISPLAY_H
#define TBX_PLATFORM_DISPLAY_H

#include <string>
#include <vector>

#include "platform/win32.h"

/* ================================================================ state the display reads */

enum class WindowKind {
  TopLevel,   /* a window of a registered class without WS_CHILD */
  Dialog,     /* the window of a modal dialog built from a template */
  ScrollBar,  /* class "scrollbar" (SBS_VERT in the style: vertical) */
  Static,     /* class "static" (SS_CENTER / SS_LEFT / SS_RIGHT / SS_ICON; "frame" = SS_BLACKFRAME) */
  Edit,       /* class "edit" */
  Button,     /* class "button" (BS_DEFPUSHBUTTON: the default button) */
  Child,      /* a child window of a registered class */
};

/* A snapshot of one window, taken on the GUI thread. */
struct WindowInfo {
  HWND hwnd;
  WindowKind kind;
  std::string className;    /* as registered or the control class, lower case for controls */
  std::string text;         /* caption, control text, or the icon's resource name (SS_ICON) */
  DWORD style;
  DWORD exStyle;
  HWND parent;              /* NULL for top-level windows and dialogs' owner in `owner` */
  HWND owner;               /* dialogs: the window that owns them */
  int id;                   /* control id (GWL_ID) */
  RECT rect;                /* window rectangle: screen (top-level) or parent client (child) */
  POINT clientOrigin;       /* screen position of the client area's top-left pixel */
  SIZE clientSize;          /* client area in pixels */
  HMENU menu;               /* the menu bar of a top-level window, or NULL */
  bool visible;
  bool enabled;
  int scrollMin, scrollMax, scrollPos; /* scroll bars */
  COLORREF background;      /* class background colour (white when none) */
  std::string iconName;     /* class icon ("TAMBORIX") of a top-level window, or the icon
                            ** an SS_ICON static shows; "" for none */
};

bool CoreWindowInfo(HWND hwnd, WindowInfo* info);    /* false: no such window */
std::vector<HWND> CoreChildWindows(HWND parent);     /* in creation order (= tab order) */

struct MenuItemInfo {
  std::string text;         /* label; "\t" separates the shortcut text */
  UINT id;                  /* command id (0 for popups and separators) */
  UINT flags;               /* MF_POPUP, MF_SEPARATOR, MF_GRAYED, MF_DISABLED, MF_CHECKED */
  HMENU popup;              /* the submenu of an MF_POPUP item */
};
std::vector<MenuItemInfo> CoreMenuItems(HMENU menu); /* empty for an unknown menu */

/* Non-client sizes the core assumes for a top-level window with WS_CAPTION: border on
** each side, caption height, menu bar height (pixels). */
struct NonClient {
  int border;
  int caption;
  int menuBar;
};
NonClient CoreNonClient();

/* ================================================================ input from the display */

/* Modifier and button state that travels with an input message, so that GetKeyState and
** TranslateAcceleratorA see the state of the moment the message was made. */
enum : unsigned {
  KS_SHIFT = 1,
  KS_CONTROL = 2,
  KS_ALT = 4,
  KS_LBUTTON = 8,
  KS_RBUTTON = 16,
  KS_MBUTTON = 32,
};

/* Posts an input message (WM_MOUSEMOVE, WM_xBUTTONDOWN/UP with lParam = x | y << 16 in
** client pixels, WM_KEYDOWN/UP with a virtual key, WM_CHAR with a typed character,
** WM_COMMAND from a menu item or a dialog button, WM_VSCROLL from a scroll bar with
** MAKEWPARAM(request, position) and lParam = the bar, WM_CLOSE from the close box) to
** `hwnd`'s queue with the given key state, which a mouse message also carries in wParam
** as its MK_* flags. Any thread. */
void CorePostInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, unsigned keyState);

/* The pointer moved (screen pixels). */
void CoreSetPointer(int x, int y);
/* The display placed a top-level window's client area elsewhere than the core assumed
** (screen pixels); the window rectangle follows. No notification comes back. */
void CoreClientMoved(HWND hwnd, int x, int y);
/* The user changed an edit control's text; the core stores it without notifying back. */
void CoreStoreText(HWND hwnd, const std::string& text);

/* Files dropped on a window (full paths): posts WM_DROPFILES to its top-level window when
** that accepts files (DragAcceptFiles) and is enabled; false when it takes no drop. */
bool CoreDropFiles(HWND hwnd, const std::vector<std::string>& paths);

/* The user is about to pull down `hwnd`'s menu bar: sends WM_INITMENU and then
** WM_INITMENUPOPUP for each popup of the bar (wParam the popup, lParam its position), as
** Windows sends them when a menu opens, so that the program brings its items up to date
** before they show. GUI thread; the display pulls down what the bar holds afterwards. */
void CoreMenuOpening(HWND hwnd);

/* Runs every request queued by other threads (sends, GUI calls, drawing). GUI thread. */
void CoreRunPending();
/* Delivers one queued message (posted, sent, WM_PAINT when the queue is empty) the way
** the modal loops of Windows do: TranslateMessage + DispatchMessageA, dialog keys for
** `dialog`. Returns false when nothing was waiting. GUI thread. WM_QUIT is not removed. */
bool CorePumpOne(HWND dialog);
/* The modal loop of Windows for a dialog built by DialogBoxParamA: CorePumpOne while
** something is waiting, DisplayWait otherwise, until EndDialog, the dialog's destruction
** or WM_QUIT. A real display's DisplayRunDialog simply shows the dialog and calls it. */
void CoreModalLoop(HWND dlg);
/* True when a WM_QUIT is queued (modal loops end early so the program can quit). */
bool CoreQuitPending();

/* Modal dialogs: whether EndDialog was called for `dlg`, and with which result. */
bool CoreDialogEnded(HWND dlg, INT_PTR* result);
/* The template name a dialog was built from ("ABOUTBOX", "OTHERSDLGBOX"). */
std::string CoreDialogTemplate(HWND dlg);

/* The GUI thread (see the top of this file). */
void CoreSetGuiThread();
bool CoreOnGuiThread();

/* ================================================================ drawing handed to the display */

/* One drawing operation with the DC state resolved to colours. Coordinates are client
** pixels of `hwnd`. Rectangles and ellipses fill with `brush` (unless nullBrush) and
** outline with `pen` of width `penWidth` (unless nullPen); as in GDI, the shape covers
** left..right-1, top..bottom-1. A line goes from (x1,y1) to (x2,y2), excluding the end
** pixel. Text is drawn with its reference point at (x1,y1) interpreted by `align`
** (TA_LEFT/TA_CENTER/TA_RIGHT, TA_TOP/TA_BASELINE/TA_BOTTOM); (x2,y2) is the current
** position after the call (moved by the text's width under TA_UPDATECP). */
struct DrawCmd {
  enum Kind { Rect, Ellipse, Line, Text } kind;
  HWND hwnd;
  int x1, y1, x2, y2;
  COLORREF brush;
  bool nullBrush;
  COLORREF pen;
  bool nullPen;
  int penWidth;
  COLORREF textColor;
  int bkMode;               /* TRANSPARENT or OPAQUE */
  COLORREF bkColor;
  UINT align;
  std::string text;
  bool inPaint;             /* between BeginPaint and EndPaint */
};

/* ================================================================ what a display provides */

/* Forgets every window and recording (tests); the core is being reset. */
void DisplayReset();

/* Window lifecycle and state. `what` is a mask of the WC_* bits. */
enum : unsigned {
  WC_GEOMETRY = 1,
  WC_TEXT = 2,
  WC_VISIBLE = 4,
  WC_ENABLED = 8,
  WC_SCROLL = 16,
  WC_MENU = 32,             /* SetMenu, DrawMenuBar, or a change of the bar's items */
  WC_FOCUS = 64,
};
void DisplayWindowCreated(HWND hwnd);
void DisplayWindowChanged(HWND hwnd, unsigned what);
void DisplayWindowDestroyed(HWND hwnd);

/* Painting. BeginPaint with fErase fills the update rectangle with `background` through
** DisplayErase. Draw operations follow; DisplayFlush ends a batch (EndPaint, ReleaseDC, a
** replayed cross-thread batch) so the display can show what was drawn. The client area
** keeps its pixels between paints. */
void DisplayErase(HWND hwnd, const RECT& rect, COLORREF background);
void DisplayDraw(const DrawCmd& cmd);
void DisplayFlush(HWND hwnd);
/* Width and height in pixels of a text in the font the client area uses. */
int DisplayTextWidth(const char* text, int length);
int DisplayTextHeight();

/* Waiting. DisplayWait blocks the GUI thread until DisplayWake is called or user input
** arrives (which the display posts with CorePostInput before returning); it may return
** early. DisplayWake: any thread, never blocks. */
void DisplayWait();
void DisplayWake();
/* A wake that comes before the wait is not lost: the next DisplayWait returns at once. */

/* Modal user interface, on the GUI thread; the core has already marshalled calls from
** other threads. A message box returns IDOK/IDCANCEL/IDYES/IDNO as its buttons (MB_TYPE)
** allow. */
int DisplayMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags);
void DisplayBeep(UINT type);

struct FileFilter {
  std::string description;  /* "Text Files (*.TXT)" */
  std::string pattern;      /* "*.txt" (several separated by ';') */
};
struct FileDialogRequest {
  bool save;                /* GetSaveFileNameA (else GetOpenFileNameA) */
  HWND owner;
  std::vector<FileFilter> filters;
  int filterIndex;          /* 1-based, 0 = first */
  std::string initialFile;  /* the file buffer on entry (may be a path or empty) */
  std::string initialDir;
  std::string title;        /* dialog title, empty = "Open" / "Save As" */
  std::string defExt;       /* without the dot; appended when the name typed has none */
  std::string rawFilter;    /* the filter with its zero separators replaced by '|' */
  DWORD flags;              /* OFN_*: OVERWRITEPROMPT, CREATEPROMPT, FILEMUSTEXIST, ... */
  DWORD structSize;
};
/* Shows the dialog; on confirmation stores the chosen path (with the default extension
** applied, overwrite/create prompts answered) and returns true. */
bool DisplayFileDialog(const FileDialogRequest& request, std::string* path);

/* Runs a modal dialog whose windows the core has built from `templateName` and whose
** procedure has answered WM_INITDIALOG. Returns when CoreDialogEnded(dlg) is true (the
** real display loops: CorePumpOne / DisplayWait), or after ending it with
** EndDialog(dlg, IDCANCEL) itself when it cannot go on (headless: no script). */
void DisplayRunDialog(HWND dlg, const std::string& templateName);

/* Moves the real pointer (SetCursorPos); screen pixels. */
void DisplaySetPointer(int x, int y);

/* The display's scale in quarters: device pixels per 4 pixels of a 96-dpi screen, 4 (scale
** 1), 5, 6, 7 or 8 (scale 2). The core scales the dialog base units, the non-client sizes and
** pen widths by it, and the display its fonts; it never changes while the program runs.
** Any thread (the first call comes from the GUI thread, as a window is created). */
int DisplayQuarters();
/* `pixels` of a 96-dpi screen at the display's scale, to the nearest pixel (halves up, also
** for a negative position). */
inline int DisplayScaled(int pixels) {
  const int q = pixels * DisplayQuarters() + 2;
  return q >= 0 ? q / 4 : -((3 - q) / 4);
}

#endif
