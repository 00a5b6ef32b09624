/*
** This file contains the menus of the Linux layer: menu bars and popups with their items
** (label, command id, check mark, grayed/disabled state, submenu), the Win32 calls that
** build, change and query them, and the snapshot a display reads.
**
** Item lookup follows Windows: MF_BYPOSITION counts the items of the given menu only;
** MF_BYCOMMAND searches the menu and, depth first, every popup it holds. GetMenuState of a
** popup item reports its item count in the high byte, as Windows does. A change to a menu
** that belongs to a window's menu bar tells the display (WC_MENU), so check marks and
** grayed items show at once, and the accelerator path sees the same state.
*/
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "platform/core/core.h"
#include "platform/testing.h"

namespace {

struct MenuItem {
  std::string text;
  UINT id;                  /* command id; 0 for popups and separators */
  UINT flags;               /* MF_POPUP, MF_SEPARATOR, MF_GRAYED, MF_DISABLED, MF_CHECKED */
  HMENU popup;
};

struct Menu {
  bool isPopup;
  std::vector<MenuItem> items;
};

std::map<HMENU, Menu> gMenus;                 /* live menus; GUI thread */

constexpr UINT kStateFlags = MF_GRAYED | MF_DISABLED | MF_CHECKED;
constexpr UINT kNotFound = static_cast<UINT>(-1);

Menu* FindMenu(HMENU h) {
  auto it = gMenus.find(h);
  return it == gMenus.end() ? nullptr : &it->second;
}

/* The item `which` names (position or command), searching popups for commands. */
MenuItem* FindItem(HMENU h, UINT which, UINT flags, HMENU* holder = nullptr) {
  Menu* m = FindMenu(h);
  if (!m) return nullptr;
  if (flags & MF_BYPOSITION) {
    if (which >= m->items.size()) return nullptr;
    if (holder) *holder = h;
    return &m->items[which];
  }
  for (auto& item : m->items) {
    if (!(item.flags & MF_POPUP) && !(item.flags & MF_SEPARATOR) && item.id == which) {
      if (holder) *holder = h;
      return &item;
    }
    if (item.flags & MF_POPUP)
      if (MenuItem* found = FindItem(item.popup, which, flags, holder)) return found;
  }
  return nullptr;
}

/* Tells the display about a change to a menu that some window's bar contains. */
void MenuChanged(HMENU h) {
  for (HWND t : gCoreTopLevels) {
    CoreWindow* w = FindWindowRec(t);
    if (w && w->menu && MenuContains(w->menu, h)) NotifyChanged(t, WC_MENU);
  }
}

HMENU NewMenu(bool popup) {
  HMENU h = reinterpret_cast<HMENU>(NextHandle(kMenuBase));
  gMenus[h] = Menu{popup, {}};
  return h;
}

}  // namespace

void CoreMenusReset() { gMenus.clear(); }

bool MenuContains(HMENU menu, HMENU sub) {
  if (menu == sub) return FindMenu(menu) != nullptr;
  Menu* m = FindMenu(menu);
  if (!m) return false;
  for (auto& item : m->items)
    if ((item.flags & MF_POPUP) && MenuContains(item.popup, sub)) return true;
  return false;
}

UINT MenuCommandState(HMENU menu, UINT id) {
  MenuItem* item = FindItem(menu, id, MF_BYCOMMAND);
  return item ? (item->flags & kStateFlags) : kNotFound;
}

void DestroyMenuTree(HMENU menu) {
  Menu* m = FindMenu(menu);
  if (!m) return;
  std::vector<HMENU> subs;
  for (auto& item : m->items)
    if (item.flags & MF_POPUP) subs.push_back(item.popup);
  gMenus.erase(menu);
  for (HMENU s : subs) DestroyMenuTree(s);
}

/* ================================================================ building */

HMENU WINAPI CreateMenu(void) {
  ON_GUI_THREAD(HMENU, CreateMenu());
  return NewMenu(false);
}

HMENU WINAPI CreatePopupMenu(void) {
  ON_GUI_THREAD(HMENU, CreatePopupMenu());
  return NewMenu(true);
}

BOOL WINAPI AppendMenuA(HMENU menu, UINT flags, UINT_PTR idNew, LPCSTR text) {
  ON_GUI_THREAD(BOOL, AppendMenuA(menu, flags, idNew, text));
  Menu* m = FindMenu(menu);
  if (!m) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return FALSE;
  }
  MenuItem item{};
  item.flags = flags & (MF_POPUP | MF_SEPARATOR | kStateFlags);
  if (flags & MF_POPUP) {
    item.popup = reinterpret_cast<HMENU>(idNew);
    if (!FindMenu(item.popup)) {
      SetLastError(ERROR_INVALID_MENU_HANDLE);
      return FALSE;
    }
  } else if (!(flags & MF_SEPARATOR)) {
    item.id = static_cast<UINT>(idNew & 0xFFFF);  /* command ids are 16-bit words */
  }
  if (!(flags & MF_SEPARATOR) && text && !(flags & (MF_BITMAP | MF_OWNERDRAW))) item.text = text;
  m->items.push_back(item);
  MenuChanged(menu);
  return TRUE;
}

/* ================================================================ state */

DWORD WINAPI CheckMenuItem(HMENU menu, UINT id, UINT check) {
  ON_GUI_THREAD(DWORD, CheckMenuItem(menu, id, check));
  HMENU holder = nullptr;
  MenuItem* item = FindItem(menu, id, check, &holder);
  if (!item) return kNotFound;
  DWORD old = item->flags & MF_CHECKED;
  item->flags = (item->flags & ~static_cast<UINT>(MF_CHECKED)) | (check & MF_CHECKED);
  if (old != (item->flags & MF_CHECKED)) MenuChanged(holder);
  return old;
}

BOOL WINAPI EnableMenuItem(HMENU menu, UINT id, UINT enable) {
  ON_GUI_THREAD(BOOL, EnableMenuItem(menu, id, enable));
  HMENU holder = nullptr;
  MenuItem* item = FindItem(menu, id, enable, &holder);
  if (!item) return static_cast<BOOL>(kNotFound);
  UINT old = item->flags & (MF_GRAYED | MF_DISABLED);
  item->flags = (item->flags & ~static_cast<UINT>(MF_GRAYED | MF_DISABLED)) | (enable & (MF_GRAYED | MF_DISABLED));
  if (old != (item->flags & (MF_GRAYED | MF_DISABLED))) MenuChanged(holder);
  return static_cast<BOOL>(old);
}

UINT WINAPI GetMenuState(HMENU menu, UINT id, UINT flags) {
  ON_GUI_THREAD(UINT, GetMenuState(menu, id, flags));
  MenuItem* item = FindItem(menu, id, flags);
  if (!item) return kNotFound;
  if (item->flags & MF_POPUP) {
    Menu* sub = FindMenu(item->popup);
    UINT count = sub ? static_cast<UINT>(sub->items.size()) : 0;
    return (count << 8) | (item->flags & 0xFF);
  }
  return item->flags;
}

int WINAPI GetMenuItemCount(HMENU menu) {
  ON_GUI_THREAD(int, GetMenuItemCount(menu));
  Menu* m = FindMenu(menu);
  if (!m) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return -1;
  }
  return static_cast<int>(m->items.size());
}

UINT WINAPI GetMenuItemID(HMENU menu, int pos) {
  ON_GUI_THREAD(UINT, GetMenuItemID(menu, pos));
  if (pos < 0) return kNotFound;
  MenuItem* item = FindItem(menu, static_cast<UINT>(pos), MF_BYPOSITION);
  if (!item || (item->flags & MF_POPUP)) return kNotFound;
  return item->id;
}

HMENU WINAPI GetSubMenu(HMENU menu, int pos) {
  ON_GUI_THREAD(HMENU, GetSubMenu(menu, pos));
  if (pos < 0) return nullptr;
  MenuItem* item = FindItem(menu, static_cast<UINT>(pos), MF_BYPOSITION);
  return item && (item->flags & MF_POPUP) ? item->popup : nullptr;
}

int WINAPI GetMenuStringA(HMENU menu, UINT id, LPSTR buf, int max, UINT flags) {
  ON_GUI_THREAD(int, GetMenuStringA(menu, id, buf, max, flags));
  MenuItem* item = FindItem(menu, id, flags);
  if (!item) return 0;
  if (!buf || max <= 0) return static_cast<int>(item->text.size());
  size_t n = std::min(item->text.size(), static_cast<size_t>(max - 1));
  memcpy(buf, item->text.data(), n);
  buf[n] = 0;
  return static_cast<int>(n);
}

/* Removes an item; a popup item's menu goes with it, as DeleteMenu does on Windows. */
BOOL WINAPI DeleteMenu(HMENU menu, UINT which, UINT flags) {
  ON_GUI_THREAD(BOOL, DeleteMenu(menu, which, flags));
  HMENU holder = nullptr;
  MenuItem* item = FindItem(menu, which, flags, &holder);
  Menu* m = holder ? FindMenu(holder) : nullptr;
  if (!item || !m) return FALSE;
  HMENU popup = (item->flags & MF_POPUP) ? item->popup : nullptr;
  m->items.erase(m->items.begin() + (item - m->items.data()));
  if (popup) DestroyMenuTree(popup);
  MenuChanged(holder);
  return TRUE;
}

/* ================================================================ windows */

BOOL WINAPI SetMenu(HWND hwnd, HMENU menu) {
  ON_GUI_THREAD(BOOL, SetMenu(hwnd, menu));
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || (w->style & WS_CHILD) || (menu && !FindMenu(menu))) return FALSE;
  /* The client area shrinks or grows by the menu bar: the window keeps its size. */
  w->menu = menu;
  NotifyChanged(hwnd, WC_MENU | WC_GEOMETRY);
  return TRUE;
}

HMENU WINAPI GetMenu(HWND hwnd) {
  ON_GUI_THREAD(HMENU, GetMenu(hwnd));
  CoreWindow* w = FindWindowRec(hwnd);
  return w && !(w->style & WS_CHILD) ? w->menu : nullptr;
}

BOOL WINAPI DrawMenuBar(HWND hwnd) {
  ON_GUI_THREAD(BOOL, DrawMenuBar(hwnd));
  if (!FindWindowRec(hwnd)) return FALSE;
  NotifyChanged(hwnd, WC_MENU);
  return TRUE;
}

void CoreMenuOpening(HWND hwnd) {
  CoreWindow* w = FindWindowRec(hwnd);
  if (!w || (w->style & WS_CHILD) || !w->menu) return;
  const HMENU bar = w->menu;
  SendMessageA(hwnd, WM_INITMENU, reinterpret_cast<WPARAM>(bar), 0);
  /* What a handler changes in the bar is seen here: an item is looked up after each send. */
  for (UINT pos = 0;; pos++) {
    Menu* m = FindMenu(bar);
    if (!m || pos >= m->items.size()) break;
    if (!(m->items[pos].flags & MF_POPUP)) continue;
    const HMENU popup = m->items[pos].popup;
    SendMessageA(hwnd, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup), MAKELPARAM(pos, FALSE));
  }
}

namespace tbxtest {

void OpenMenu(HWND hwnd) { CoreMenuOpening(hwnd); }

}  // namespace tbxtest

std::vector<MenuItemInfo> CoreMenuItems(HMENU menu) {
  std::vector<MenuItemInfo> v;
  if (Menu* m = FindMenu(menu))
    for (auto& item : m->items) v.push_back(MenuItemInfo{item.text, item.id, item.flags, item.popup});
  return v;
}
