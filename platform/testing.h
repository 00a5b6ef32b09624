/*
** The test and tooling side of the Linux platform layer (not part of the Win32 subset).
**
** Tests link the headless display: nothing is shown; GDI calls are recorded, message boxes,
** file dialogs and modal dialogs are answered from a script the test queues, and an
** unexpected box is reported to the handler installed with SetUnexpectedHandler (the test
** main makes that a test failure). The manual clock, the test MIDI devices and the fault
** seams are part of the display-independent core, so the command-line companion uses them
** as well.
*/
#ifndef TBX_PLATFORM_TESTING_H
#define TBX_PLATFORM_TESTING_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace tbxtest {

/* Everything back to the start: windows, message queue, menus, GDI objects, recordings,
** scripts, clock (real), MIDI device table (as enumerated), faults. */
void PlatformReset();

/* Called with a description whenever the layer meets something a test did not script. */
void SetUnexpectedHandler(std::function<void(const std::string&)> handler);

/* ---------------------------------------------------------------- recorded drawing (headless) */

struct DrawOp {
  enum Kind { Rect, Ellipse, Line, Text } kind;
  HWND hwnd;
  int x1, y1, x2, y2;       /* Rect/Ellipse: left, top, right, bottom; Line: from, to;
                            ** Text: position written at (x1, y1), end position (x2, y2) */
  COLORREF brush;           /* fill colour of Rect/Ellipse */
  bool nullBrush;           /* no fill */
  COLORREF pen;             /* outline or line colour */
  bool nullPen;             /* no outline */
  int penWidth;             /* pixels, the display's scale applied */
  COLORREF textColor;       /* Text */
  int bkMode;               /* TRANSPARENT or OPAQUE (Text) */
  COLORREF bkColor;         /* Text background when OPAQUE */
  UINT align;               /* SetTextAlign flags in force */
  std::string text;         /* Text */
  bool inPaint;             /* drawn between BeginPaint and EndPaint */
};
const std::vector<DrawOp>& DrawLog();
void ClearDrawLog();
/* Width in pixels the headless display gives a text (fixed: 7 pixels a character). */
int HeadlessTextWidth(const std::string& text);
/* The headless display's scale: 1, 1.25, 1.5, 1.75 or 2 (anything else is 1), as a screen
** of a higher resolution gets; set it before the window is created. PlatformReset puts
** back 1. */
void SetDisplayScale(double scale);

struct Invalidation {
  HWND hwnd;
  bool whole;               /* NULL rectangle */
  RECT rect;
  BOOL erase;
};
const std::vector<Invalidation>& Invalidations();
void ClearInvalidations();

/* ---------------------------------------------------------------- scripted boxes and dialogs */

struct BoxRecord {
  HWND owner;
  std::string text;
  std::string caption;
  UINT flags;               /* MB_* style */
  int answer;               /* what the box returned */
};
const std::vector<BoxRecord>& MessageBoxes();
void ClearMessageBoxes();
/* Answers for the next message boxes, in order (IDOK, IDYES, IDNO, IDCANCEL). */
void QueueMessageBoxAnswer(int answer);
int PendingMessageBoxAnswers();
/* Beeps sounded with MessageBeep (their types). */
const std::vector<UINT>& Beeps();

struct FileDialogRecord {
  bool save;                /* GetSaveFileNameA (else GetOpenFileNameA) */
  std::string filter;       /* the filter with its zero separators replaced by '|' */
  std::string initialFile;  /* the file buffer on entry */
  std::string defExt;
  DWORD flags;
  DWORD structSize;
  HWND owner;
  std::string initialDir;   /* lpstrInitialDir, "" for none */
};
const std::vector<FileDialogRecord>& FileDialogs();
/* The next file dialog returns this path (the title buffer receives the text after its
** last '/' or '\'), or is cancelled with std::nullopt. */
void QueueFileDialog(std::optional<std::string> path);

struct DialogRecord {
  std::string templateName; /* "ABOUTBOX", "OTHERSDLGBOX" */
  INT_PTR result;           /* the EndDialog value */
};
const std::vector<DialogRecord>& Dialogs();
/* The next modal dialog runs its procedure's WM_INITDIALOG, then this script with the
** dialog window (it may SetDlgItemTextA, SendMessageA WM_COMMAND IDOK, ...); a dialog
** still open after the script is unexpected and ended with IDCANCEL. */
void QueueDialog(std::function<void(HWND dlg)> script);
bool DialogEnded(HWND dlg);

/* ---------------------------------------------------------------- messages and windows */

/* Dispatches every queued message (posted or sent from another thread) without waiting;
** returns how many. WM_QUIT is left in the queue. */
int PumpMessages();
/* The queued posted messages, oldest first, without removing them. */
std::vector<MSG> PostedMessages();
/* Posts an input message as a display does (mouse, WM_KEYDOWN, WM_CHAR, WM_COMMAND from
** a menu): while it is handled GetKeyState and TranslateAcceleratorA see the given Control
** and Shift state, and it is dropped while its window is disabled by a modal dialog. */
void PostInput(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, bool control = false, bool shift = false);
/* Opens a window's menu bar as a user does: WM_INITMENU and WM_INITMENUPOPUP are sent to it
** (as the FLTK display sends them when the bar is clicked). */
void OpenMenu(HWND hwnd);
/* Drops files on a window as a display does when the user lets them go over it (true when
** the window took them: WM_DROPFILES is posted), and the drops not yet finished. */
bool DropFiles(HWND hwnd, const std::vector<std::string>& paths);
int OpenDrops();
/* Brushes and pens created and not deleted (stock objects do not count), and device
** contexts obtained and not released: a paint routine that leaks shows here. */
int GdiObjectCount();
int OpenDeviceContexts();
/* The mouse pointer, in screen pixels (SetCursorPos moves it; tests may set it). */
void SetPointer(int x, int y);
POINT Pointer();
/* Screen position of a window's client origin. */
POINT ClientOrigin(HWND hwnd);

/* ---------------------------------------------------------------- time */

/* With the manual clock, time stands still until AdvanceClock: due one-shot events run
** synchronously on the calling thread in order of their due time, Sleep only moves the
** clock, and timeGetTime reads it. Switching resets it to 0 with no events pending. */
void UseManualClock(bool manual);
bool ManualClockActive();
void AdvanceClock(uint32_t ms);
uint32_t ClockNow();            /* ms since the clock was reset */
int PendingTimerEvents();
/* Timer capabilities reported by timeGetDevCaps (default 1..1000000). */
void SetTimerCaps(UINT periodMin, UINT periodMax);

/* ---------------------------------------------------------------- MIDI devices */

/* Replaces the device table: outputs are capture devices that record every short message,
** inputs are loopback devices fed by SendMidiInput. Product names as given. */
void SetMidiDevices(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs);
/* Lists other test devices from now on, as plugging them in and out would: what is open
** stays open (on the index it was opened with), nothing captured is forgotten. */
void ChangeMidiDevices(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs);

struct MidiRecord {
  uint32_t timeMs;          /* ClockNow() when it was sent */
  int device;               /* output device index */
  DWORD message;            /* status | data1 << 8 | data2 << 16 */
};
const std::vector<MidiRecord>& CapturedMidi();
void ClearCapturedMidi();
/* Open state of the test devices (how many handles are open now). */
int OpenMidiOutputs();
int OpenMidiInputs();
/* Delivers a short message from input device `device` to its callback (MIM_DATA) on the
** calling thread; returns false when that input is not open and started. */
bool SendMidiInput(int device, DWORD message);

/* ---------------------------------------------------------------- fault seams */

enum class Fault {
  FileCreate,               /* CreateFileA for writing fails */
  FileOpen,                 /* CreateFileA for reading fails */
  FileWrite,                /* WriteFile writes only half of what it is asked */
  FileRead,                 /* ReadFile reads only half of what it is asked */
  FileRename,               /* MoveFileExA fails */
  FileSize,                 /* GetFileSize fails */
  FileReadStall,            /* ReadFile waits until ReleaseFileStall (a hung network mount) */
  UnnamedFile,              /* TbxCreateUnnamedFile: the file system has no unnamed files */
  MidiOutOpen,              /* midiOutOpen fails */
  MidiInOpen,               /* midiInOpen fails */
  TimerArm,                 /* timeSetEvent returns 0 */
};
/* The fault strikes after `skip` successful calls, `count` times (then calls succeed). */
void InjectFault(Fault fault, int skip = 0, int count = 1);
void ClearFaults();
/* Lets every read held by FileReadStall go on; how many are held now. */
void ReleaseFileStall();
int StalledFileReads();

}  // namespace tbxtest

#endif
