/*
** This file contains the modal user interface of the Linux layer as the core sees it:
** dialogs built from the templates in the program's resources (DialogBoxParamA, EndDialog,
** the dialog-item calls, IsDialogMessageA), message boxes and beeps, the common file
** dialogs, icons and cursors, and the registry of the resource tables.
**
** Showing a box or dialog is the display's business; the core prepares it (builds the
** dialog's windows, answers WM_INITDIALOG, parses the file dialog's record), disables the
** owner while it is up, as Windows does, and writes the results back into the caller's
** buffers without ever overrunning them. Calls from other threads run on the GUI thread.
**
** Dialog units: the layer's base units are 8 x 16 pixels, so one horizontal unit is
** 8 / 4 = 2 pixels and one vertical unit 16 / 8 = 2 pixels at scale 1; at another scale each
** value is the base units' MulDiv, rounded as MapDialogRect rounds (2.5 pixels a unit at
** 1.25). A template's position is that of the dialog's window, relative to the owner's
** client area. An icon control takes its icon's size, scaled likewise.
*/
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "platform/core/core.h"
#include "platform/resources.h"

namespace {

constexpr int kDuX = 2;                       /* pixels per horizontal dialog unit at scale 1 */
constexpr int kDuY = 2;                       /* pixels per vertical dialog unit at scale 1 */
constexpr int kMaxFilterPairs = 64;           /* a filter longer than this is cut */

const ResourceTables* gResources = nullptr;   /* registered once at start-up */
std::map<HWND, INT_PTR> gEndedDialogs;        /* dialogs that ended, with their result; GUI thread */
DWORD gCommDlgError = 0;                      /* CommDlgExtendedError; GUI thread */
std::map<HICON, std::string> gIcons;          /* loaded icons by handle; GUI thread */

std::string ResourceKey(const char* name) {
  if (!name) return "";
  if (IS_INTRESOURCE(name)) return "#" + std::to_string(reinterpret_cast<uintptr_t>(name));
  return name;
}

template <typename T>
const T* FindByName(const T* table, int count, const char* name) {
  std::string key = ResourceKey(name);
  for (int i = 0; table && i < count; i++)
    if (strcasecmp(table[i].name, key.c_str()) == 0) return &table[i];
  return nullptr;
}

HWND FirstTabStop(HWND dlg) {
  for (HWND c : CoreChildWindows(dlg)) {
    CoreWindow* w = FindWindowRec(c);
    if (w && (w->style & WS_TABSTOP) && w->enabled) return c;
  }
  return nullptr;
}

/* Builds the dialog's windows; NULL when the template is unknown. */
HWND BuildDialog(const ResDialog& t, HWND owner, DLGPROC proc) {
  POINT origin{0, 0};
  if (CoreWindow* o = FindWindowRec(owner)) origin = ClientOriginOf(*o);
  auto dx = [](int units) { return DisplayScaled(units * kDuX); };
  auto dy = [](int units) { return DisplayScaled(units * kDuY); };
  DWORD style = (t.style & ~static_cast<DWORD>(WS_VISIBLE | WS_CHILD)) | WS_POPUP;
  RECT r{0, 0, dx(t.cx), dy(t.cy)};
  AdjustWindowRect(&r, style, FALSE);
  int x = origin.x + dx(t.x), y = origin.y + dy(t.y);
  HWND dlg = CreateWindowInternal(0, "#32770", t.caption, style, x, y, r.right - r.left, r.bottom - r.top, owner,
                                  nullptr, nullptr, nullptr, WindowKind::Dialog);
  if (!dlg) return nullptr;
  CoreWindow* w = FindWindowRec(dlg);
  w->dlgProc = proc;
  w->templateName = t.name;
  for (int i = 0; i < t.count; i++) {
    const ResControl& c = t.controls[i];
    int cx = dx(c.cx), cy = dy(c.cy);
    /* An icon control takes the size of its icon, whatever the template says. */
    if (strcasecmp(c.cls, "static") == 0 && (c.style & 0x1F) == SS_ICON)
      if (const ResIcon* icon = FindIconResource(c.text)) cx = DisplayScaled(icon->width), cy = DisplayScaled(icon->height);
    CreateWindowInternal(0, c.cls, c.text, c.style | WS_CHILD, dx(c.x), dy(c.y), cx, cy, dlg,
                         reinterpret_cast<HMENU>(static_cast<intptr_t>(c.id)), nullptr, nullptr, WindowKind::Child);
  }
  return dlg;
}

/* Disables the owner's top-level window for the life of a modal box; restores it after. */
struct OwnerDisabled {
  HWND top = nullptr;
  explicit OwnerDisabled(HWND owner) {
    HWND t = TopLevelOf(owner);
    if (t && IsWindowEnabled(t)) {
      top = t;
      EnableWindow(t, FALSE);
    }
  }
  ~OwnerDisabled() {
    if (top && IsWindow(top)) EnableWindow(top, TRUE);
  }
};

/* Copies `s` into `buf` of `size` bytes, cut to fit, always terminated. */
void CopyBounded(char* buf, size_t size, const std::string& s) {
  if (!buf || size == 0) return;
  size_t n = std::min(s.size(), size - 1);
  memcpy(buf, s.data(), n);
  buf[n] = 0;
}

size_t LastSeparator(const std::string& path) {
  size_t p = path.find_last_of("/\\");
  return p == std::string::npos ? 0 : p + 1;
}

BOOL FileDialog(LPOPENFILENAMEA ofn, bool save) {
  gCommDlgError = 0;
  if (!ofn) return FALSE;
  if (ofn->lStructSize != OPENFILENAME_SIZE_VERSION_400A && ofn->lStructSize != sizeof(OPENFILENAMEA)) {
    gCommDlgError = CDERR_STRUCTSIZE;
    return FALSE;
  }
  if (!ofn->lpstrFile || ofn->nMaxFile == 0) {
    gCommDlgError = 0x0002;  /* CDERR_INITIALIZATION */
    return FALSE;
  }
  FileDialogRequest req{};
  req.save = save;
  req.owner = ofn->hwndOwner;
  for (const char* p = ofn->lpstrFilter; p && *p && req.filters.size() < kMaxFilterPairs;) {
    FileFilter f;
    f.description = p;
    p += strlen(p) + 1;
    if (*p) {
      f.pattern = p;
      p += strlen(p) + 1;
    }
    if (!req.rawFilter.empty()) req.rawFilter += '|';
    req.rawFilter += f.description + "|" + f.pattern;
    req.filters.push_back(f);
  }
  req.filterIndex = static_cast<int>(ofn->nFilterIndex);
  req.initialFile.assign(ofn->lpstrFile, strnlen(ofn->lpstrFile, ofn->nMaxFile));
  if (ofn->lpstrInitialDir) req.initialDir = ofn->lpstrInitialDir;
  if (ofn->lpstrTitle) req.title = ofn->lpstrTitle;
  if (ofn->lpstrDefExt) req.defExt = ofn->lpstrDefExt;
  req.flags = ofn->Flags;
  req.structSize = ofn->lStructSize;

  std::string path;
  bool ok;
  {
    OwnerDisabled disabled(ofn->hwndOwner);
    ok = DisplayFileDialog(req, &path);
  }
  if (!ok || path.empty()) return FALSE;
  if (path.size() + 1 > ofn->nMaxFile) {
    /* As on Windows: the first two bytes say how large the buffer must be. */
    if (ofn->nMaxFile >= 2) {
      size_t need = std::min<size_t>(path.size() + 1, 0xFFFF);
      ofn->lpstrFile[0] = static_cast<char>(need & 0xFF);
      ofn->lpstrFile[1] = static_cast<char>(need >> 8);
    }
    gCommDlgError = FNERR_BUFFERTOOSMALL;
    return FALSE;
  }
  CopyBounded(ofn->lpstrFile, ofn->nMaxFile, path);
  size_t name = LastSeparator(path);
  if (ofn->lpstrFileTitle) CopyBounded(ofn->lpstrFileTitle, ofn->nMaxFileTitle, path.substr(name));
  size_t dot = path.find_last_of('.');
  ofn->nFileOffset = static_cast<WORD>(name);
  ofn->nFileExtension = static_cast<WORD>(dot != std::string::npos && dot >= name ? dot + 1 : path.size());
  /* The dialog leaves the process in the chosen folder, so that names relative to the
  ** chosen file (playlist entries) resolve there. A relative path stays relative to the
  ** folder it was given in. */
  if (!(ofn->Flags & OFN_NOCHANGEDIR) && name > 0 && (path[0] == '/' || path[0] == '\\')) {
    std::string dir = path.substr(0, name - 1);
    for (char& c : dir)
      if (c == '\\') c = '/';
    if (chdir(dir.empty() ? "/" : dir.c_str()) != 0) { /* the file was chosen; the folder stays */
    }
  }
  return TRUE;
}

}  // namespace

/* ================================================================ resources */

void RegisterResources(const ResourceTables* tables) { gResources = tables; }

const ResAccelTable* FindAccelResource(const char* name) {
  return gResources ? FindByName(gResources->accels, gResources->accelCount, name) : nullptr;
}

const ResDialog* FindDialogResource(const char* name) {
  return gResources ? FindByName(gResources->dialogs, gResources->dialogCount, name) : nullptr;
}

const ResIcon* FindIconResource(const char* name) {
  return gResources ? FindByName(gResources->icons, gResources->iconCount, name) : nullptr;
}

void CoreDialogsReset() {
  gEndedDialogs.clear();
  gCommDlgError = 0;
  gIcons.clear();
}

std::string CoreIconName(HICON icon) {
  auto it = gIcons.find(icon);
  return it == gIcons.end() ? "" : it->second;
}

HICON WINAPI LoadIconA(HINSTANCE inst, LPCSTR name) {
  ON_GUI_THREAD(HICON, LoadIconA(inst, name));
  std::string key;
  if (!inst && IS_INTRESOURCE(name)) {
    key = "";  /* a stock icon: known, but not one of the program's */
  } else if (const ResIcon* icon = FindIconResource(name)) {
    key = icon->name;
  } else {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  for (auto& [h, n] : gIcons)
    if (n == key && !key.empty()) return h;
  HICON h = reinterpret_cast<HICON>(NextHandle(kIconBase));
  gIcons[h] = key;
  return h;
}

HCURSOR WINAPI LoadCursorA(HINSTANCE inst, LPCSTR name) {
  if (inst || !IS_INTRESOURCE(name)) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  /* The stock cursors: a fixed handle each. */
  return reinterpret_cast<HCURSOR>(kIconBase - 0x100000 + reinterpret_cast<uintptr_t>(name));
}

/* ================================================================ dialogs */

INT_PTR WINAPI DialogBoxParamA(HINSTANCE inst, LPCSTR name, HWND owner, DLGPROC proc, LPARAM init) {
  ON_GUI_THREAD(INT_PTR, DialogBoxParamA(inst, name, owner, proc, init));
  const ResDialog* t = FindDialogResource(name);
  if (!t) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  HWND dlg = BuildDialog(*t, owner, proc);
  if (!dlg) return -1;
  INT_PTR result = IDCANCEL;
  {
    OwnerDisabled disabled(owner);
    HWND first = FirstTabStop(dlg);
    if (SendMessageA(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init) && first) SetFocus(first);
    CoreWindow* w = FindWindowRec(dlg);
    if (w && !w->ended) {
      ShowWindow(dlg, SW_SHOW);
      DisplayRunDialog(dlg, t->name);
    }
    w = FindWindowRec(dlg);
    if (w && !w->ended) {  /* the display gave up on it */
      w->ended = true;
      w->result = IDCANCEL;
    }
    if (w) result = w->result;
    else if (auto it = gEndedDialogs.find(dlg); it != gEndedDialogs.end()) result = it->second;
    gEndedDialogs[dlg] = result;
  }
  if (IsWindow(dlg)) DestroyWindow(dlg);
  return result;
}

BOOL WINAPI EndDialog(HWND dlg, INT_PTR result) {
  ON_GUI_THREAD(BOOL, EndDialog(dlg, result));
  CoreWindow* w = FindWindowRec(dlg);
  if (!w || w->kind != WindowKind::Dialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  w->ended = true;
  w->result = result;
  gEndedDialogs[dlg] = result;
  w->visible = false;
  NotifyChanged(dlg, WC_VISIBLE);
  DisplayWake();
  return TRUE;
}

bool CoreDialogEnded(HWND dlg, INT_PTR* result) {
  auto it = gEndedDialogs.find(dlg);
  if (it == gEndedDialogs.end()) return false;
  if (result) *result = it->second;
  return true;
}

std::string CoreDialogTemplate(HWND dlg) {
  CoreWindow* w = FindWindowRec(dlg);
  return w ? w->templateName : "";
}

HWND WINAPI GetDlgItem(HWND dlg, int id) {
  ON_GUI_THREAD(HWND, GetDlgItem(dlg, id));
  for (HWND c : CoreChildWindows(dlg))
    if (CoreWindow* w = FindWindowRec(c); w && w->id == id) return c;
  SetLastError(1421);  /* ERROR_CONTROL_ID_NOT_FOUND */
  return nullptr;
}

UINT WINAPI GetDlgItemTextA(HWND dlg, int id, LPSTR buf, int max) {
  if (buf && max > 0) buf[0] = 0;
  HWND item = GetDlgItem(dlg, id);
  return item ? static_cast<UINT>(GetWindowTextA(item, buf, max)) : 0;
}

BOOL WINAPI SetDlgItemTextA(HWND dlg, int id, LPCSTR text) {
  HWND item = GetDlgItem(dlg, id);
  return item ? SetWindowTextA(item, text) : FALSE;
}

/* Return runs the default push button (IDOK when there is none), Escape runs IDCANCEL;
** every other message for the dialog or its controls is dispatched. */
BOOL WINAPI IsDialogMessageA(HWND dlg, LPMSG msg) {
  ON_GUI_THREAD(BOOL, IsDialogMessageA(dlg, msg));
  if (!msg || !FindWindowRec(dlg)) return FALSE;
  if (msg->hwnd != dlg && TopLevelOf(msg->hwnd) != dlg) return FALSE;
  if (msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE)) {
    int id = IDCANCEL;
    if (msg->wParam == VK_RETURN) {
      id = IDOK;
      for (HWND c : CoreChildWindows(dlg))
        if (CoreWindow* w = FindWindowRec(c); w && w->kind == WindowKind::Button && (w->style & 0xF) == BS_DEFPUSHBUTTON)
          id = w->id;
    }
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
    return TRUE;
  }
  if (msg->message == WM_CHAR && (msg->wParam == '\r' || msg->wParam == 0x1B)) return TRUE;
  TranslateMessage(msg);
  DispatchMessageA(msg);
  return TRUE;
}

/* ================================================================ boxes and file dialogs */

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT flags) {
  ON_GUI_THREAD(int, MessageBoxA(owner, text, caption, flags));
  OwnerDisabled disabled(owner);
  return DisplayMessageBox(owner, text ? text : "", caption ? caption : "Error", flags);
}

BOOL WINAPI MessageBeep(UINT type) {
  ON_GUI_THREAD(BOOL, MessageBeep(type));
  DisplayBeep(type);
  return TRUE;
}

BOOL WINAPI GetOpenFileNameA(LPOPENFILENAMEA ofn) {
  ON_GUI_THREAD(BOOL, GetOpenFileNameA(ofn));
  return FileDialog(ofn, false);
}

BOOL WINAPI GetSaveFileNameA(LPOPENFILENAMEA ofn) {
  ON_GUI_THREAD(BOOL, GetSaveFileNameA(ofn));
  return FileDialog(ofn, true);
}

DWORD WINAPI CommDlgExtendedError(void) { return gCommDlgError; }

namespace tbxtest {

bool DialogEnded(HWND dlg) { return CoreDialogEnded(dlg, nullptr); }

}  // namespace tbxtest
