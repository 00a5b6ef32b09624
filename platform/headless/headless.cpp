/*
** The headless display: just enough of a display for the program to run without one. It
** shows nothing; it records what would be drawn (every operation with its resolved
** colours), answers message boxes, file dialogs and modal dialogs from scripts a test
** queues, and reports every box or dialog nobody scripted to the unexpected handler
** (giving the answer a user pressing Escape would give). Tests and the command line link
** it instead of the FLTK display.
**
** Text is 7 pixels a character and 16 pixels high, so layouts are plain arithmetic (both
** at the scale a test chooses with tbxtest::SetDisplayScale; 1 after a reset).
**
** Threads: the core calls every Display* function on the GUI thread, except DisplayWake;
** the scripts and recordings are also guarded by gMu so a test may queue answers from
** any thread.
*/
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "platform/core/internal.h"
#include "platform/display.h"
#include "platform/testing.h"

namespace {

constexpr int kCharWidth = 7;                 /* pixels per character */
constexpr int kTextHeight = 16;               /* pixels */
constexpr int kIdleWaitMs = 50;               /* one DisplayWait without a wake */
constexpr int kIdleLimit = 200;               /* waits (10 s) before GetMessageA is declared stuck */

std::mutex gMu;                               /* guards everything below */
std::vector<tbxtest::DrawOp> gDrawLog;
std::vector<tbxtest::BoxRecord> gBoxes;
std::deque<int> gBoxAnswers;
std::vector<UINT> gBeeps;
std::vector<tbxtest::FileDialogRecord> gFileDialogs;
std::deque<std::optional<std::string>> gFileAnswers;
std::vector<tbxtest::DialogRecord> gDialogs;
std::deque<std::function<void(HWND)>> gDialogScripts;

std::mutex gWakeMu;                           /* guards gWoken */
std::condition_variable gWakeCv;
bool gWoken = false;                          /* DisplayWake came since the last wait */
int gIdleWaits = 0;                           /* consecutive waits that timed out; GUI thread */
std::atomic<int> gQuarters{4};                /* DisplayQuarters; set by tests, any thread reads */

/* What a box gives when it is dismissed without a choice (Escape or its close box). */
int DismissAnswer(UINT flags) {
  switch (flags & MB_TYPEMASK) {
    case MB_OK: return IDOK;
    case MB_YESNO: return IDNO;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    default: return IDCANCEL;
  }
}

bool ButtonExists(UINT flags, int answer) {
  switch (flags & MB_TYPEMASK) {
    case MB_OK: return answer == IDOK;
    case MB_OKCANCEL: return answer == IDOK || answer == IDCANCEL;
    case MB_ABORTRETRYIGNORE: return answer == IDABORT || answer == IDRETRY || answer == IDIGNORE;
    case MB_YESNOCANCEL: return answer == IDYES || answer == IDNO || answer == IDCANCEL;
    case MB_YESNO: return answer == IDYES || answer == IDNO;
    case MB_RETRYCANCEL: return answer == IDRETRY || answer == IDCANCEL;
    default: return true;
  }
}

void PumpAll(HWND dlg) {
  for (int guard = 0; guard < 100000 && CorePumpOne(dlg); guard++) {
  }
}

}  // namespace

/* ================================================================ display functions */

void DisplayReset() {
  std::lock_guard<std::mutex> lock(gMu);
  gDrawLog.clear();
  gBoxes.clear();
  gBoxAnswers.clear();
  gBeeps.clear();
  gFileDialogs.clear();
  gFileAnswers.clear();
  gDialogs.clear();
  gDialogScripts.clear();
  gIdleWaits = 0;
  gQuarters = 4;
}

int DisplayQuarters() { return gQuarters; }

void DisplayWindowCreated(HWND) {}
void DisplayWindowChanged(HWND, unsigned) {}
void DisplayWindowDestroyed(HWND) {}
void DisplayErase(HWND, const RECT&, COLORREF) {}
void DisplayFlush(HWND) {}
void DisplaySetPointer(int, int) {}

void DisplayDraw(const DrawCmd& c) {
  tbxtest::DrawOp op{static_cast<tbxtest::DrawOp::Kind>(c.kind),
                     c.hwnd,
                     c.x1,
                     c.y1,
                     c.x2,
                     c.y2,
                     c.brush,
                     c.nullBrush,
                     c.pen,
                     c.nullPen,
                     c.penWidth,
                     c.textColor,
                     c.bkMode,
                     c.bkColor,
                     c.align,
                     c.text,
                     c.inPaint};
  std::lock_guard<std::mutex> lock(gMu);
  gDrawLog.push_back(std::move(op));
}

int DisplayTextWidth(const char*, int length) { return DisplayScaled(kCharWidth) * (length < 0 ? 0 : length); }
int DisplayTextHeight() { return DisplayScaled(kTextHeight); }

void DisplayWake() {
  {
    std::lock_guard<std::mutex> lock(gWakeMu);
    gWoken = true;
  }
  gWakeCv.notify_all();
}

/* Nothing but another thread can wake a headless program; a GetMessageA that waits ten
** seconds for nothing is a test that forgot to post WM_QUIT: it gets one, and a report. */
void DisplayWait() {
  std::unique_lock<std::mutex> lock(gWakeMu);
  if (gWakeCv.wait_for(lock, std::chrono::milliseconds(kIdleWaitMs), [] { return gWoken; })) {
    gWoken = false;
    gIdleWaits = 0;
    return;
  }
  lock.unlock();
  if (++gIdleWaits >= kIdleLimit) {
    gIdleWaits = 0;
    ReportUnexpected("the message loop waited 10 s with nothing to deliver; posting WM_QUIT");
    PostQuitMessage(0);
  }
}

int DisplayMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT flags) {
  int answer;
  bool scripted;
  {
    std::lock_guard<std::mutex> lock(gMu);
    scripted = !gBoxAnswers.empty();
    answer = scripted ? gBoxAnswers.front() : DismissAnswer(flags);
    if (scripted) gBoxAnswers.pop_front();
    gBoxes.push_back(tbxtest::BoxRecord{owner, text, caption, flags, answer});
  }
  if (!scripted)
    ReportUnexpected("message box \"" + text + "\" (caption \"" + caption + "\") without a queued answer");
  else if (!ButtonExists(flags, answer))
    ReportUnexpected("message box \"" + text + "\" has no button for the queued answer " + std::to_string(answer));
  return answer;
}

void DisplayBeep(UINT type) {
  std::lock_guard<std::mutex> lock(gMu);
  gBeeps.push_back(type);
}

bool DisplayFileDialog(const FileDialogRequest& req, std::string* path) {
  std::optional<std::string> answer;
  bool scripted;
  {
    std::lock_guard<std::mutex> lock(gMu);
    gFileDialogs.push_back(tbxtest::FileDialogRecord{req.save, req.rawFilter, req.initialFile, req.defExt, req.flags,
                                                     req.structSize, req.owner, req.initialDir});
    scripted = !gFileAnswers.empty();
    if (scripted) {
      answer = gFileAnswers.front();
      gFileAnswers.pop_front();
    }
  }
  if (!scripted) ReportUnexpected(std::string(req.save ? "save" : "open") + " file dialog without a queued answer");
  if (!answer) return false;
  *path = *answer;
  return true;
}

void DisplayRunDialog(HWND dlg, const std::string& templateName) {
  std::function<void(HWND)> script;
  {
    std::lock_guard<std::mutex> lock(gMu);
    if (!gDialogScripts.empty()) {
      script = std::move(gDialogScripts.front());
      gDialogScripts.pop_front();
    }
  }
  if (script) {
    script(dlg);
    PumpAll(dlg);
  }
  if (!CoreDialogEnded(dlg, nullptr)) {
    ReportUnexpected("dialog " + templateName + (script ? " still open after its script" : " without a queued script"));
    /* Cancel as the close box would; a procedure that ignores it is ended all the same. */
    if (IsWindow(dlg)) SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PumpAll(dlg);
    if (!CoreDialogEnded(dlg, nullptr) && IsWindow(dlg)) EndDialog(dlg, IDCANCEL);
  }
  INT_PTR result = IDCANCEL;
  CoreDialogEnded(dlg, &result);
  std::lock_guard<std::mutex> lock(gMu);
  gDialogs.push_back(tbxtest::DialogRecord{templateName, result});
}

/* ================================================================ test API */

namespace tbxtest {

const std::vector<DrawOp>& DrawLog() { return gDrawLog; }
void ClearDrawLog() {
  std::lock_guard<std::mutex> lock(gMu);
  gDrawLog.clear();
}
int HeadlessTextWidth(const std::string& text) { return DisplayTextWidth(text.data(), static_cast<int>(text.size())); }
void SetDisplayScale(double scale) {
  const int quarters = static_cast<int>(scale * 4 + 0.5);
  gQuarters = quarters >= 4 && quarters <= 8 ? quarters : 4;
}

const std::vector<BoxRecord>& MessageBoxes() { return gBoxes; }
void ClearMessageBoxes() {
  std::lock_guard<std::mutex> lock(gMu);
  gBoxes.clear();
}
void QueueMessageBoxAnswer(int answer) {
  std::lock_guard<std::mutex> lock(gMu);
  gBoxAnswers.push_back(answer);
}
int PendingMessageBoxAnswers() {
  std::lock_guard<std::mutex> lock(gMu);
  return static_cast<int>(gBoxAnswers.size());
}
const std::vector<UINT>& Beeps() { return gBeeps; }

const std::vector<FileDialogRecord>& FileDialogs() { return gFileDialogs; }
void QueueFileDialog(std::optional<std::string> path) {
  std::lock_guard<std::mutex> lock(gMu);
  gFileAnswers.push_back(std::move(path));
}

const std::vector<DialogRecord>& Dialogs() { return gDialogs; }
void QueueDialog(std::function<void(HWND dlg)> script) {
  std::lock_guard<std::mutex> lock(gMu);
  gDialogScripts.push_back(std::move(script));
}

}  // namespace tbxtest
