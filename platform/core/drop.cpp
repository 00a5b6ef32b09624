/*
** This file contains files dropped on a window, as the shell hands them to a Win32 program:
** DragAcceptFiles marks a top-level window as a drop target (WS_EX_ACCEPTFILES), a display
** that takes a drop calls CoreDropFiles, which posts WM_DROPFILES with an HDROP in wParam,
** and the program reads the names with DragQueryFileA and lets the HDROP go with
** DragFinish.
**
** Threads: drops are kept in a table under gDropMu, so a program may read and finish them
** on any thread; only CoreDropFiles and DragAcceptFiles touch windows (GUI thread).
*/
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/core.h"
#include "platform/testing.h"

namespace {

std::mutex gDropMu;                                  /* guards gDrops */
std::map<HDROP, std::vector<std::string>> gDrops;    /* drops not yet finished */

}  // namespace

void WINAPI DragAcceptFiles(HWND hwnd, BOOL accept) {
  RunOnGuiThread([&] {
    if (CoreWindow* w = FindWindowRec(hwnd)) {
      if (accept) w->exStyle |= WS_EX_ACCEPTFILES;
      else w->exStyle &= ~static_cast<DWORD>(WS_EX_ACCEPTFILES);
    }
  });
}

/* iFile 0xFFFFFFFF: the number of names. A null buffer: the length of name iFile without
** its terminating zero. Otherwise the name is copied, cut to cch - 1 characters (the
** caller's buffer decides; a caller that must not cut asks for the length first), and the
** number of characters copied returned; 0 for an unknown drop or index. */
UINT WINAPI DragQueryFileA(HDROP drop, UINT iFile, LPSTR buffer, UINT cch) {
  std::lock_guard<std::mutex> lock(gDropMu);
  auto it = gDrops.find(drop);
  if (it == gDrops.end()) return 0;
  const std::vector<std::string>& names = it->second;
  if (iFile == 0xFFFFFFFFu) return static_cast<UINT>(names.size());
  if (iFile >= names.size()) return 0;
  const std::string& name = names[iFile];
  if (!buffer) return static_cast<UINT>(name.size());
  if (cch == 0) return 0;
  size_t n = std::min(name.size(), static_cast<size_t>(cch - 1));
  std::memcpy(buffer, name.data(), n);
  buffer[n] = '\0';
  return static_cast<UINT>(n);
}

void WINAPI DragFinish(HDROP drop) {
  std::lock_guard<std::mutex> lock(gDropMu);
  gDrops.erase(drop);
}

bool CoreDropFiles(HWND hwnd, const std::vector<std::string>& paths) {
  CoreWindow* w = FindWindowRec(TopLevelOf(hwnd));
  if (!w || !(w->exStyle & WS_EX_ACCEPTFILES) || !w->enabled || paths.empty()) return false;
  HDROP drop = reinterpret_cast<HDROP>(NextHandle(kDropBase));
  {
    std::lock_guard<std::mutex> lock(gDropMu);
    gDrops[drop] = paths;
  }
  if (PostMessageA(w->hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0)) return true;
  DragFinish(drop);
  return false;
}

void CoreDropsReset() {
  std::lock_guard<std::mutex> lock(gDropMu);
  gDrops.clear();
}

namespace tbxtest {

bool DropFiles(HWND hwnd, const std::vector<std::string>& paths) { return CoreDropFiles(hwnd, paths); }

int OpenDrops() {
  std::lock_guard<std::mutex> lock(gDropMu);
  return static_cast<int>(gDrops.size());
}

}  // namespace tbxtest
