/*
** The headless program a command works on: the platform set up as the tests set it up (the
** manual clock, one capture output and one loopback input, so that creation finds both),
** the main window created with FILE on its command line (or an opened playlist), and torn
** down again. What the platform says about a box nobody answers is the harness's wording:
** it is only the failure when no box of the program says more.
*/
#include "app/app.h"
#include "cli/cli.h"
#include "files/files.h"
#include "platform/testing.h"

std::string CliOpen(CliSession* s, const std::string& file, bool list) {
  s->unexpected.clear();
  s->warning.clear();
  tbxtest::PlatformReset();
  std::string* unexpected = &s->unexpected;
  tbxtest::SetUnexpectedHandler([unexpected](const std::string& what) {
    if (unexpected->empty()) *unexpected = what;
  });
  tbxtest::UseManualClock(true);
  tbxtest::SetMidiDevices({"Capture Out"}, {"Loopback In"});
  ResetAllState();

  s->hwnd = CreateMainWindow(nullptr, list ? "" : file.c_str(), SW_SHOWNORMAL);
  if (!s->hwnd) return "the main window could not be created";
  if (list) {
    tbxtest::QueueFileDialog(file);
    SendMessageA(s->hwnd, WM_COMMAND, IDM_OPENLIST, 0);
  }
  tbxtest::PumpMessages(); /* runs the command-line load */
  /* A failed load empties the title; a box beside a loaded file only warns. */
  std::string boxes = CliBoxLine();
  if (!boxes.empty() && gszTitleName[0] != '\0') {
    s->warning = boxes;
    tbxtest::ClearMessageBoxes();
    if (s->unexpected.rfind("message box ", 0) == 0) s->unexpected.clear(); /* that box, unanswered */
    return "";
  }
  return boxes;
}

std::string CliClose(CliSession* s, const std::string& error) {
  tbxtest::SetUnexpectedHandler([](const std::string&) {});
  if (s->hwnd && IsWindow(s->hwnd)) DestroyWindow(s->hwnd);
  tbxtest::PumpMessages();
  tbxtest::PlatformReset();
  s->hwnd = nullptr;
  return error.empty() ? s->unexpected : error;
}
