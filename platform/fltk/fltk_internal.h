/*
** Shared declarations of the FLTK display (platform/fltk): the record kept for every core
** window shown here, and the widgets that stand for them. Only files of this folder include it.
**
** Every function here runs on the GUI thread, except DisplayWake in display_fltk.cpp.
*/
#ifndef TBX_PLATFORM_FLTK_INTERNAL_H
#define TBX_PLATFORM_FLTK_INTERNAL_H

#include <deque>
#include <string>
#include <vector>

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Scrollbar.H>
#include <FL/x.H>

#include "platform/display.h"
#include "platform/fltk/logic.h"

/* ---------------------------------------------------------------- fonts and sizes */

/* One font for the client areas, static texts and boxes: FLTK's Helvetica (DejaVu Sans
** through Xft) at 12 pixels is 15 pixels high and writes the widest percussion name,
** "High Floor Tom", in 91 pixels, inside the 8 x 16 character cell geometry (a name column
** is 12.6 cells = 100 pixels wide). Every size in pixels here is that of a 96-dpi screen at
** the display's scale (DisplayScaled): FLTK 1.3 scales nothing itself. The scale is a
** quarter from 1 to 2, chosen by TAMBORIX_SCALE or the screen's dpi (ScaleQuarters). */
enum { kFont = FL_HELVETICA };
int FontSize();                     /* 12 x scale */
int CellHeight();                   /* text line height, 16 x scale: GetDialogBaseUnits y */
int TabStop();                      /* tab stops of texts, 64 x scale: 8 average characters */
/* Pixels above the client area of a window with a menu: the core's menu bar height, so
** that the client area is as large as the core computed. */
int MenuBarHeight();

/* ---------------------------------------------------------------- windows shown here */

class ClientArea;
class TbxScrollBar;

/* What stands for one core window. A top-level window or dialog owns an FLTK window
** whose client group (menu bar above it, when there is one) holds the children's widgets
** and shows the backing store. */
struct FlEntry {
  HWND hwnd = nullptr;
  WindowKind kind = WindowKind::Child;
  HWND top = nullptr;                    /* the top-level window or dialog it lives in */
  Fl_Widget* widget = nullptr;           /* the widget (the FLTK window for top levels) */
  /* top levels and dialogs */
  Fl_Double_Window* window = nullptr;
  ClientArea* client = nullptr;
  Fl_Menu_Bar* menuBar = nullptr;
  std::vector<Fl_Menu_Item>* menuItems = nullptr; /* the array the bar shows */
  std::deque<std::string>* menuLabels = nullptr;  /* storage of the labels it points to */
  bool menuDirty = false;                /* rebuild when the bar's pull-down ends */
  Fl_Offscreen store = 0;                /* backing store of the client area */
  int storeW = 0, storeH = 0;
  int clientW = 0, clientH = 0;
  int barH = 0;                          /* menu bar height in pixels (0: no menu) */
  bool dirty = false;                    /* drawn since the last flush: */
  int dirtyL = 0, dirtyT = 0, dirtyR = 0, dirtyB = 0; /* the client rectangle touched */
  COLORREF background = 0xffffff;        /* class background */
};

FlEntry* FindEntry(HWND hwnd);           /* null when the window is not shown here */
FlEntry* TopEntry(HWND hwnd);            /* the entry of the window's top level */
void EnsureDisplay();                    /* opens the X display and the font once */
void RebuildMenu(FlEntry* e);
void SetFont();                          /* fl_font(kFont, FontSize()) */

/* Copies the backing store into the client area at window position (x, y); the rest of
** the area w x h, if the store is smaller, gets the background. */
void BlitStore(FlEntry* e, int x, int y, int w, int h);
/* FLTK colour of a COLORREF. */
Fl_Color FlColor(COLORREF c);
/* A program string (ANSI bytes: UTF-8 when it is valid UTF-8, else Latin-1) as UTF-8. */
std::string ToUtf8(const std::string& s);
/* Typed UTF-8 text as the bytes a Win32 program receives (Latin-1; others dropped). */
std::string FromUtf8(const char* s, int n);

/* The modal loop every box and dialog runs: dispatches queued messages and the other
** threads' requests as the modal loops of Windows do, until `done` says so or the program
** is quitting. Returns false when it ended because of a pending WM_QUIT. */
bool RunModalLoop(HWND dialog, bool (*done)(void*), void* arg);

/* Keyboard focus to a widget of a shown window, also when FLTK believes it has it
** already: the X input focus follows only when FLTK moves it. FocusOwner gives it back to
** the client area of `owner`'s top-level window (or the main window) when a box or dialog
** goes away. */
void GiveFocus(Fl_Widget* w);
void FocusOwner(HWND owner);

/* Keyboard translation: the virtual key of an FLTK key (0: none) and the modifier state. */
int VirtualKey(int flKey, const char* text);
unsigned KeyState();

/* ---------------------------------------------------------------- widgets (widgets_fltk.cpp) */

/* The client area of a top-level window or dialog: shows the backing store and turns mouse
** and keyboard events of the main window into messages. */
class ClientArea : public Fl_Group {
 public:
  ClientArea(HWND hwnd, int x, int y, int w, int h);
  int handle(int event) override;
  HWND hwnd;
  bool acceptsInput;                     /* a window of a registered class (not a dialog) */
 protected:
  void draw() override;
};

/* The widget of a control (scroll bar, static, edit, button) and its updates. */
Fl_Widget* CreateControl(HWND hwnd, const WindowInfo& info);
void UpdateControl(FlEntry* e, const WindowInfo& info, unsigned what);
/* An icon: the program's own (kProgramIcon, from the icon resource `name`) or a message
** box icon (MB_ICONHAND, ...). IconImage: the resource as an FLTK image, or null. */
enum : UINT { kProgramIcon = 0xffff };
Fl_Widget* CreateIconWidget(int x, int y, int w, int h, UINT icon, const char* name = nullptr);
class Fl_RGB_Image;
Fl_RGB_Image* IconImage(const char* name, int quarters = 4);   /* at that scale */
/* The menu bar of a top-level window (accelerators never reach it). */
Fl_Menu_Bar* CreateMenuBar(HWND hwnd, int x, int y, int w, int h);
bool MenuBarPulledDown(Fl_Menu_Bar* bar);

/* Text drawing shared by static texts and boxes: lines split at '\n', wrapped at `w`
** pixels when `wrap`, tabs expanded to stops every TabStop() pixels, aligned left, centred
** or right (FL_ALIGN_LEFT/FL_ALIGN_CENTER/FL_ALIGN_RIGHT) from the top. */
std::vector<std::string> WrapText(const std::string& utf8, int w);
void DrawTextLines(const std::string& utf8, int x, int y, int w, int h, Fl_Align align,
                   bool wrap);

#endif
