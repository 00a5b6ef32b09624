/*
** This file contains the message queue of the Linux layer and everything that moves work
** between threads: posting and sending, the GUI thread's request queue, message retrieval
** with WM_PAINT synthesis, dispatch to window, control and dialog procedures, the default
** window procedure, invalidation, and keyboard accelerators.
**
** Order of retrieval, as on Windows: requests sent from other threads run first, then the
** posted messages in order (posted and input alike), then WM_QUIT once PostQuitMessage was
** called, then WM_PAINT for a visible window with a non-empty update region.
**
** Threads. The queue, the quit flag, the set of live windows and the request queue are
** guarded by gQueueMu; PostMessageA, PostToGuiThread and RunOnGuiThread may be called from
** any thread and wake the display. Everything else runs on the GUI thread.
*/
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/core/core.h"
#include "platform/resources.h"
#include "platform/testing.h"

namespace {

struct Queued {
  MSG msg;
  unsigned keyState;        /* KS_* of the moment an input message was made */
  bool input;               /* from the display: dropped while its window is disabled */
};

struct Request {
  std::function<void()> fn;
  bool done = false;
  bool isMessage = false;   /* a SendMessageA from another thread (counted by PumpMessages) */
};

std::mutex gQueueMu;                          /* guards the four below */
std::condition_variable gRequestDone;         /* a waited-for request finished */
std::deque<Queued> gQueue;                    /* posted and input messages, oldest first */
std::deque<std::shared_ptr<Request>> gRequests; /* work for the GUI thread */
std::set<HWND> gLive;                         /* live windows */
bool gQuit = false;                           /* PostQuitMessage was called */
int gQuitCode = 0;                            /* its exit code */

std::atomic<std::thread::id> gGuiThread{};    /* the GUI thread; default id = none yet */
int gMessagesRun = 0;                         /* sent requests run (PumpMessages count); GUI thread */
unsigned long gValidations = 0;               /* BeginPaint/ValidateRect calls; GUI thread */
RECT gEraseRect = {0, 0, 0, 0};               /* rectangle WM_ERASEBKGND fills; GUI thread */

std::map<HACCEL, std::vector<ACCEL>> gAccels; /* accelerator tables; GUI thread */
std::vector<tbxtest::Invalidation> gInvalidations; /* recorded InvalidateRect calls; GUI thread */


bool Matches(const MSG& m, HWND filter, UINT lo, UINT hi) {
  if (filter && m.hwnd != filter) return false;
  if (lo == 0 && hi == 0) return true;
  return m.message >= lo && m.message <= hi;
}

bool InputBlocked(const Queued& q) {
  if (!q.input || !q.msg.hwnd) return false;
  CoreWindow* top = FindWindowRec(TopLevelOf(q.msg.hwnd));
  return top && !top->enabled;
}

/* A window waiting for WM_PAINT: visible (with its ancestors), with a procedure that
** paints (controls are drawn by the display), and a non-empty update region. */
HWND FindPaintTarget(HWND filter) {
  for (auto& [h, w] : gCoreWindows) {
    if (!w.invalid || (filter && h != filter)) continue;
    if (w.kind != WindowKind::TopLevel && w.kind != WindowKind::Child && w.kind != WindowKind::Dialog) {
      w.invalid = false;
      continue;
    }
    if (IsWindowVisible(h)) return h;
  }
  return nullptr;
}

/* Takes the next message; `remove` as PM_REMOVE. WM_QUIT only when `quit` allows it. */
bool NextMessage(MSG* out, HWND filter, UINT lo, UINT hi, bool remove, bool quit) {
  CoreRunPending();
  {
    std::lock_guard<std::mutex> lock(gQueueMu);
    for (auto it = gQueue.begin(); it != gQueue.end();) {
      bool dead = it->msg.hwnd && !gLive.count(it->msg.hwnd);
      if (dead) {
        it = gQueue.erase(it);
        continue;
      }
      if (!Matches(it->msg, filter, lo, hi)) {
        ++it;
        continue;
      }
      /* Input for a disabled window (the owner of a modal dialog) is dropped. */
      if (InputBlocked(*it)) {
        it = gQueue.erase(it);
        continue;
      }
      Queued q = *it;
      if (remove) gQueue.erase(it);
      *out = q.msg;
      if (remove) gCoreKeyState = q.keyState;
      return true;
    }
    if (gQuit && quit && (lo == 0 && hi == 0)) {
      *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(gQuitCode), 0, 0, gCorePointer};
      if (remove) gQuit = false;
      return true;
    }
  }
  if (lo == 0 && hi == 0 ? true : (WM_PAINT >= lo && WM_PAINT <= hi)) {
    if (HWND target = FindPaintTarget(filter)) {
      *out = MSG{target, WM_PAINT, 0, 0, timeGetTime(), gCorePointer};
      return true;
    }
  }
  return false;
}

LRESULT ControlProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return 0;
  switch (msg) {
    case EM_LIMITTEXT: w->limitText = static_cast<int>(wParam); return 0;
    case EM_SETSEL:
    case EM_GETSEL: return 0;
    case WM_PAINT: ValidateWindow(*w); return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

LRESULT DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return 0;
  INT_PTR r = w->dlgProc ? w->dlgProc(hwnd, msg, wParam, lParam) : FALSE;
  if (msg == WM_INITDIALOG || r) return r;
  switch (msg) {
    case WM_CLOSE:
      /* The close box of a dialog is its Cancel button. */
      PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hwnd, IDCANCEL)));
      return 0;
    case WM_COMMAND: return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

/* Sends WM_PAINT to a window; a procedure that neither begins a paint nor validates
** would get WM_PAINT forever, so its update region is cleared after the call. */
LRESULT DeliverPaint(HWND hwnd) {
  unsigned long before = gValidations;
  LRESULT r = CallWindowProcFor(hwnd, WM_PAINT, 0, 0);
  if (gValidations == before)
    if (CoreWindow* w = FindWindowRec(hwnd)) ValidateWindow(*w);
  return r;
}

}  // namespace

unsigned gCoreKeyState = 0;

/* ================================================================ threads */

void CoreSetGuiThread() { gGuiThread.store(std::this_thread::get_id()); }

void ClaimGuiThread() {
  std::thread::id none{};
  gGuiThread.compare_exchange_strong(none, std::this_thread::get_id());
}

bool CoreOnGuiThread() {
  std::thread::id gui = gGuiThread.load();
  return gui == std::thread::id{} || gui == std::this_thread::get_id();
}

void RunOnGuiThread(const std::function<void()>& fn) {
  if (CoreOnGuiThread()) {
    fn();
    return;
  }
  auto r = std::make_shared<Request>();
  r->fn = fn;
  {
    std::lock_guard<std::mutex> lock(gQueueMu);
    gRequests.push_back(r);
  }
  DisplayWake();
  std::unique_lock<std::mutex> lock(gQueueMu);
  gRequestDone.wait(lock, [&] { return r->done; });
}

void PostToGuiThread(std::function<void()> fn) {
  if (CoreOnGuiThread()) {
    fn();
    return;
  }
  auto r = std::make_shared<Request>();
  r->fn = std::move(fn);
  {
    std::lock_guard<std::mutex> lock(gQueueMu);
    gRequests.push_back(r);
  }
  DisplayWake();
}

void CoreRunPending() {
  if (!CoreOnGuiThread()) return;
  for (;;) {
    std::shared_ptr<Request> r;
    {
      std::lock_guard<std::mutex> lock(gQueueMu);
      if (gRequests.empty()) return;
      r = gRequests.front();
      gRequests.pop_front();
    }
    r->fn();
    if (r->isMessage) ++gMessagesRun;
    {
      std::lock_guard<std::mutex> lock(gQueueMu);
      r->done = true;
    }
    gRequestDone.notify_all();
  }
}

void PumpGuiCalls() { CoreRunPending(); }

void MarkLive(HWND hwnd, bool live) {
  std::lock_guard<std::mutex> lock(gQueueMu);
  if (live)
    gLive.insert(hwnd);
  else
    gLive.erase(hwnd);
}

bool IsLive(HWND hwnd) {
  std::lock_guard<std::mutex> lock(gQueueMu);
  return hwnd && gLive.count(hwnd);
}

void DropMessagesFor(HWND hwnd) {
  std::lock_guard<std::mutex> lock(gQueueMu);
  for (auto it = gQueue.begin(); it != gQueue.end();) it = it->msg.hwnd == hwnd ? gQueue.erase(it) : it + 1;
}

void CoreQueueReset() {
  /* Requests still queued belong to threads that are gone or about to be stopped; run
  ** them so that no waiter hangs. */
  CoreRunPending();
  std::lock_guard<std::mutex> lock(gQueueMu);
  gQueue.clear();
  gLive.clear();
  gQuit = false;
  gQuitCode = 0;
  gCoreKeyState = 0;
  gMessagesRun = 0;
  gAccels.clear();
  gInvalidations.clear();
}

/* ================================================================ posting and sending */

BOOL WINAPI PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> lock(gQueueMu);
    if (hwnd && !gLive.count(hwnd)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (msg == WM_QUIT && !hwnd) {
      gQuit = true;
      gQuitCode = static_cast<int>(wParam);
    } else {
      gQueue.push_back(Queued{MSG{hwnd, msg, wParam, lParam, timeGetTime(), POINT{0, 0}}, 0, false});
    }
  }
  DisplayWake();
  return TRUE;
}

/* A mouse message's wParam is the MK_* state of the moment, as on Windows. */
static WPARAM MouseKeys(unsigned keyState) {
  WPARAM k = 0;
  if (keyState & KS_LBUTTON) k |= MK_LBUTTON;
  if (keyState & KS_RBUTTON) k |= MK_RBUTTON;
  if (keyState & KS_SHIFT) k |= MK_SHIFT;
  if (keyState & KS_CONTROL) k |= MK_CONTROL;
  if (keyState & KS_MBUTTON) k |= MK_MBUTTON;
  return k;
}

void CorePostInput(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, unsigned keyState) {
  if (msg >= WM_MOUSEMOVE && msg <= WM_MBUTTONDBLCLK) wParam |= MouseKeys(keyState);
  {
    std::lock_guard<std::mutex> lock(gQueueMu);
    if (!gLive.count(hwnd)) return;
    gQueue.push_back(Queued{MSG{hwnd, msg, wParam, lParam, timeGetTime(), POINT{0, 0}}, keyState, true});
  }
  DisplayWake();
}

void WINAPI PostQuitMessage(int code) {
  {
    std::lock_guard<std::mutex> lock(gQueueMu);
    gQuit = true;
    gQuitCode = code;
  }
  DisplayWake();
}

LRESULT WINAPI SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!IsLive(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (!CoreOnGuiThread()) {
    LRESULT result = 0;
    auto r = std::make_shared<Request>();
    r->fn = [&] { result = IsLive(hwnd) ? CallWindowProcFor(hwnd, msg, wParam, lParam) : 0; };
    r->isMessage = true;
    {
      std::lock_guard<std::mutex> lock(gQueueMu);
      gRequests.push_back(r);
    }
    DisplayWake();
    std::unique_lock<std::mutex> lock(gQueueMu);
    gRequestDone.wait(lock, [&] { return r->done; });
    return result;
  }
  return CallWindowProcFor(hwnd, msg, wParam, lParam);
}

LRESULT CallWindowProcFor(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return 0;
  switch (w->kind) {
    case WindowKind::TopLevel:
    case WindowKind::Child:
      return w->proc ? w->proc(hwnd, msg, wParam, lParam) : DefWindowProcA(hwnd, msg, wParam, lParam);
    case WindowKind::Dialog: return DialogProc(hwnd, msg, wParam, lParam);
    default: return ControlProc(hwnd, msg, wParam, lParam);
  }
}

/* ================================================================ retrieval and dispatch */

BOOL WINAPI GetMessageA(LPMSG msg, HWND hwnd, UINT lo, UINT hi) {
  if (!msg) return -1;
  ClaimGuiThread();
  while (!NextMessage(msg, hwnd, lo, hi, true, true)) DisplayWait();
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG msg, HWND hwnd, UINT lo, UINT hi, UINT flags) {
  if (!msg) return FALSE;
  return NextMessage(msg, hwnd, lo, hi, (flags & PM_REMOVE) != 0, true) ? TRUE : FALSE;
}

BOOL WINAPI TranslateMessage(const MSG* msg) {
  /* Displays post WM_CHAR for typed characters themselves; nothing to translate. */
  return msg && (msg->message == WM_KEYDOWN || msg->message == WM_KEYUP || msg->message == WM_SYSKEYDOWN ||
                 msg->message == WM_SYSKEYUP);
}

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
  if (!msg || !msg->hwnd || !FindWindowRec(msg->hwnd)) return 0;
  if (msg->message == WM_PAINT) return DeliverPaint(msg->hwnd);
  return CallWindowProcFor(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

bool CorePumpOne(HWND dialog) {
  MSG m;
  if (!NextMessage(&m, nullptr, 0, 0, true, false)) return false;
  if (dialog && IsDialogMessageA(dialog, &m)) return true;
  TranslateMessage(&m);
  DispatchMessageA(&m);
  return true;
}

bool CoreQuitPending() {
  std::lock_guard<std::mutex> lock(gQueueMu);
  return gQuit;
}

void CoreModalLoop(HWND dlg) {
  for (;;) {
    CoreWindow* w = FindWindowRec(dlg);
    if (!w || w->ended || CoreQuitPending()) return;
    if (!CorePumpOne(dlg)) DisplayWait();
  }
}

/* ================================================================ default procedure */

LRESULT WINAPI DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return 0;
  switch (msg) {
    case WM_NCCREATE: return TRUE;
    case WM_SETTEXT: {
      const char* text = reinterpret_cast<const char*>(lParam);
      w->text = text ? text : "";
      NotifyChanged(hwnd, WC_TEXT);
      return TRUE;
    }
    case WM_GETTEXT: {
      char* buf = reinterpret_cast<char*>(lParam);
      if (!buf || wParam == 0) return 0;
      size_t n = std::min(w->text.size(), static_cast<size_t>(wParam - 1));
      memcpy(buf, w->text.data(), n);
      buf[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(w->text.size());
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      if (!w->hasBackground) return 0;
      DisplayErase(hwnd, gEraseRect, w->background);
      return 1;
    case WM_QUERYENDSESSION: return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) SendMessageA(hwnd, WM_CLOSE, 0, 0);
      return 0;
    default: return 0;
  }
}

/* ================================================================ painting */

void AddUpdate(CoreWindow& w, const RECT* rect, bool erase) {
  SIZE s = ClientSizeOf(w);
  RECT r = rect ? *rect : RECT{0, 0, s.cx, s.cy};
  r.left = std::max<LONG>(r.left, 0), r.top = std::max<LONG>(r.top, 0);
  r.right = std::min<LONG>(r.right, s.cx), r.bottom = std::min<LONG>(r.bottom, s.cy);
  if (r.right <= r.left || r.bottom <= r.top) return;
  if (!w.invalid) {
    w.update = r;
  } else {
    w.update.left = std::min(w.update.left, r.left), w.update.top = std::min(w.update.top, r.top);
    w.update.right = std::max(w.update.right, r.right), w.update.bottom = std::max(w.update.bottom, r.bottom);
  }
  w.invalid = true;
  w.erase = w.erase || erase;
}

void ValidateWindow(CoreWindow& w) {
  w.invalid = false;
  w.erase = false;
  ++gValidations;
}

void RecordInvalidation(HWND hwnd, const RECT* rect, BOOL erase) {
  tbxtest::Invalidation inv{hwnd, rect == nullptr, rect ? *rect : RECT{0, 0, 0, 0}, erase};
  gInvalidations.push_back(inv);
}

BOOL WINAPI InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase) {
  if (!CoreOnGuiThread()) {
    if (hwnd && !IsLive(hwnd)) return FALSE;
    bool whole = rect == nullptr;
    RECT r = rect ? *rect : RECT{0, 0, 0, 0};
    PostToGuiThread([hwnd, whole, r, erase] { InvalidateRect(hwnd, whole ? nullptr : &r, erase); });
    return TRUE;
  }
  if (!hwnd) {
    RecordInvalidation(nullptr, rect, erase);
    for (HWND t : gCoreTopLevels)
      if (CoreWindow* w = FindWindowRec(t)) AddUpdate(*w, nullptr, erase != FALSE);
    return TRUE;
  }
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  RecordInvalidation(hwnd, rect, erase);
  AddUpdate(*w, rect, erase != FALSE);
  return TRUE;
}

BOOL WINAPI ValidateRect(HWND hwnd, const RECT* rect) {
  ON_GUI_THREAD(BOOL, ValidateRect(hwnd, rect));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return FALSE;
  /* The update region is kept as one rectangle: validating part of it keeps it whole. */
  if (!rect || (rect->left <= w->update.left && rect->top <= w->update.top && rect->right >= w->update.right &&
                rect->bottom >= w->update.bottom))
    ValidateWindow(*w);
  return TRUE;
}

BOOL WINAPI UpdateWindow(HWND hwnd) {
  ON_GUI_THREAD(BOOL, UpdateWindow(hwnd));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w) return FALSE;
  if (w->invalid && IsWindowVisible(hwnd)) DeliverPaint(hwnd);
  return TRUE;
}

HDC WINAPI BeginPaint(HWND hwnd, LPPAINTSTRUCT ps) {
  ON_GUI_THREAD(HDC, BeginPaint(hwnd, ps));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || !ps) return nullptr;
  memset(ps, 0, sizeof *ps);
  ps->hdc = CreateDcFor(hwnd, true);
  ps->rcPaint = w->invalid ? w->update : RECT{0, 0, 0, 0};
  bool erase = w->invalid && w->erase;
  ValidateWindow(*w);
  if (erase) {
    gEraseRect = ps->rcPaint;
    ps->fErase = CallWindowProcFor(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(ps->hdc), 0) ? FALSE : TRUE;
  }
  return ps->hdc;
}

BOOL WINAPI EndPaint(HWND hwnd, const PAINTSTRUCT* ps) {
  ON_GUI_THREAD(BOOL, EndPaint(hwnd, ps));
  if (!ps) return FALSE;
  ReleaseDcInternal(ps->hdc);
  return TRUE;
}

/* ================================================================ accelerators and keys */

HACCEL WINAPI CreateAcceleratorTableA(LPACCEL entries, int count) {
  ON_GUI_THREAD(HACCEL, CreateAcceleratorTableA(entries, count));
  if (!entries || count <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HACCEL h = reinterpret_cast<HACCEL>(NextHandle(kAccelBase));
  gAccels[h] = std::vector<ACCEL>(entries, entries + count);
  return h;
}

HACCEL WINAPI LoadAcceleratorsA(HINSTANCE, LPCSTR name) {
  const ResAccelTable* t = FindAccelResource(name);
  if (!t) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  std::vector<ACCEL> v;
  for (int i = 0; i < t->count; i++) v.push_back(ACCEL{t->entries[i].fVirt, t->entries[i].key, t->entries[i].cmd});
  return CreateAcceleratorTableA(v.data(), static_cast<int>(v.size()));
}

SHORT WINAPI GetKeyState(int vk) {
  unsigned bit = 0;
  switch (vk) {
    case VK_SHIFT:
    case VK_LSHIFT:
    case VK_RSHIFT: bit = KS_SHIFT; break;
    case VK_CONTROL:
    case VK_LCONTROL:
    case VK_RCONTROL: bit = KS_CONTROL; break;
    case VK_MENU: bit = KS_ALT; break;
    case VK_LBUTTON: bit = KS_LBUTTON; break;
    case VK_RBUTTON: bit = KS_RBUTTON; break;
    case VK_MBUTTON: bit = KS_MBUTTON; break;
    default: return 0;
  }
  return (gCoreKeyState & bit) ? static_cast<SHORT>(0x8000) : 0;
}

/* A virtual-key entry matches a key-down with exactly its modifiers; an entry without
** FVIRTKEY matches the typed character. A command whose menu item is grayed or disabled
** is swallowed without WM_COMMAND, as Windows does. */
int WINAPI TranslateAcceleratorA(HWND hwnd, HACCEL hacc, LPMSG msg) {
  ON_GUI_THREAD(int, TranslateAcceleratorA(hwnd, hacc, msg));
  auto it = gAccels.find(hacc);
  CoreWindow* w = FindWindowRec(hwnd);
  if (!msg || it == gAccels.end() || !w) return 0;
  bool keyDown = msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN;
  bool chr = msg->message == WM_CHAR || msg->message == WM_SYSCHAR;
  if (!keyDown && !chr) return 0;
  bool ctrl = gCoreKeyState & KS_CONTROL, shift = gCoreKeyState & KS_SHIFT, alt = gCoreKeyState & KS_ALT;
  for (const ACCEL& a : it->second) {
    bool match;
    if (a.fVirt & FVIRTKEY)
      match = keyDown && a.key == msg->wParam && ctrl == !!(a.fVirt & FCONTROL) && shift == !!(a.fVirt & FSHIFT) &&
              alt == !!(a.fVirt & FALT);
    else
      match = chr && a.key == msg->wParam && alt == !!(a.fVirt & FALT);
    if (!match) continue;
    CoreWindow* top = FindWindowRec(TopLevelOf(hwnd));
    if (top && top->menu) {
      UINT state = MenuCommandState(top->menu, a.cmd);
      if (state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED))) return 1;
    }
    SendMessageA(hwnd, WM_COMMAND, MAKEWPARAM(a.cmd, 1), 0);
    return 1;
  }
  return 0;
}

/* ================================================================ test API */

namespace tbxtest {

int PumpMessages() {
  int before = gMessagesRun, count = 0;
  MSG m;
  /* A procedure that invalidates itself on every WM_PAINT would spin forever. */
  for (int guard = 0; guard < 100000 && NextMessage(&m, nullptr, 0, 0, true, false); guard++) {
    TranslateMessage(&m);
    DispatchMessageA(&m);
    count++;
  }
  CoreRunPending();
  return count + (gMessagesRun - before);
}

std::vector<MSG> PostedMessages() {
  std::lock_guard<std::mutex> lock(gQueueMu);
  std::vector<MSG> v;
  for (auto& q : gQueue) v.push_back(q.msg);
  if (gQuit) v.push_back(MSG{nullptr, WM_QUIT, static_cast<WPARAM>(gQuitCode), 0, 0, POINT{0, 0}});
  return v;
}

const std::vector<Invalidation>& Invalidations() { return gInvalidations; }
void ClearInvalidations() { gInvalidations.clear(); }

}  // namespace tbxtest
