/*
** The FLTK display of the Linux platform layer: shows the core's windows as real FLTK
** windows and feeds the user's input back to the core as Win32 messages.
** (Skeleton: every display entry point exists; the windows follow.)
*/
#include <FL/Fl.H>

#include "platform/display.h"

void DisplayReset() {}
void DisplayWindowCreated(HWND) {}
void DisplayWindowChanged(HWND, unsigned) {}
void DisplayWindowDestroyed(HWND) {}
void DisplayErase(HWND, const RECT&, COLORREF) {}
void DisplayDraw(const DrawCmd&) {}
void DisplayFlush(HWND) {}
int DisplayTextWidth(const char*, int length) { return 7 * length; }
int DisplayTextHeight() { return 16; }
void DisplayWait() { Fl::wait(0.1); }
void DisplayWake() {}
int DisplayMessageBox(HWND, const std::string&, const std::string&, UINT flags) {
  return (flags & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL;
}
void DisplayBeep(UINT) {}
bool DisplayFileDialog(const FileDialogRequest&, std::string*) { return false; }
void DisplayRunDialog(HWND dlg, const std::string&) { EndDialog(dlg, IDCANCEL); }
void DisplaySetPointer(int, int) {}
