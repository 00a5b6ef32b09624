/*
** This file contains the GDI of the Linux layer: stock objects, brushes and pens, device
** contexts with their state (selected brush and pen, text colour, background mode and
** colour, text alignment, current position) and the drawing calls, which it resolves to
** colours and hands to the display as DrawCmd operations. At the display's scale s a pen
** is drawn s times its width, as everything else the program draws grows with the dialog
** base units, so lines keep their weight beside the cells and the text.
**
** A device context obtained on the GUI thread draws at once. One obtained on another
** thread (the step clock paints cells captured from MIDI input) collects its operations
** and hands the batch to the GUI thread when it is released, so the display is only ever
** touched there. Text widths are measured by the display, on the GUI thread.
**
** Threads: objects and device contexts are guarded by gGdiMu, never held while the
** display is called or while waiting for the GUI thread.
*/
#include <map>
#include <mutex>
#include <vector>

#include "platform/core/core.h"
#include "platform/testing.h"

namespace {

struct GdiObject {
  enum Kind { Brush, Pen, Font } kind;
  COLORREF colour;
  bool null;                /* NULL_BRUSH, NULL_PEN, PS_NULL */
  int width;                /* pens, pixels at scale 1 */
  bool stock;
};

struct Dc {
  HWND hwnd;                /* NULL: the screen (measures, draws nothing) */
  bool inPaint;
  HGDIOBJ brushHandle, penHandle, fontHandle;
  GdiObject brush, pen;     /* resolved at selection: deleting a selected object is harmless */
  COLORREF text, bk;
  int bkMode;
  UINT align;
  POINT cp;
  std::vector<DrawCmd> batch; /* operations made off the GUI thread, not yet handed over */
};

std::mutex gGdiMu;                            /* guards the two tables */
std::map<HGDIOBJ, GdiObject> gObjects;        /* stock and created objects */
std::map<HDC, Dc> gDcs;                       /* live device contexts */

constexpr int kStockCount = 18;               /* WHITE_BRUSH .. DEFAULT_GUI_FONT */

HGDIOBJ StockHandle(int i) { return reinterpret_cast<HGDIOBJ>(kGdiBase + 4 * static_cast<uintptr_t>(i)); }

void AddStockObjects() {
  const COLORREF brushes[5] = {RGB(255, 255, 255), RGB(192, 192, 192), RGB(128, 128, 128), RGB(64, 64, 64),
                               RGB(0, 0, 0)};
  for (int i = 0; i < 5; i++) gObjects[StockHandle(i)] = GdiObject{GdiObject::Brush, brushes[i], false, 1, true};
  gObjects[StockHandle(NULL_BRUSH)] = GdiObject{GdiObject::Brush, 0, true, 1, true};
  gObjects[StockHandle(WHITE_PEN)] = GdiObject{GdiObject::Pen, RGB(255, 255, 255), false, 1, true};
  gObjects[StockHandle(BLACK_PEN)] = GdiObject{GdiObject::Pen, RGB(0, 0, 0), false, 1, true};
  gObjects[StockHandle(NULL_PEN)] = GdiObject{GdiObject::Pen, 0, true, 1, true};
  for (int i = OEM_FIXED_FONT; i < kStockCount; i++)
    if (i != 15) gObjects[StockHandle(i)] = GdiObject{GdiObject::Font, 0, false, 0, true};
}

void EnsureStock() {
  if (gObjects.empty()) AddStockObjects();
}

Dc DefaultDc(HWND hwnd, bool inPaint) {
  EnsureStock();
  Dc dc{};
  dc.hwnd = hwnd;
  dc.inPaint = inPaint;
  dc.brushHandle = StockHandle(WHITE_BRUSH);
  dc.penHandle = StockHandle(BLACK_PEN);
  dc.fontHandle = StockHandle(SYSTEM_FONT);
  dc.brush = gObjects[dc.brushHandle];
  dc.pen = gObjects[dc.penHandle];
  dc.text = RGB(0, 0, 0);
  dc.bk = RGB(255, 255, 255);
  dc.bkMode = OPAQUE;
  dc.align = TA_LEFT | TA_TOP | TA_NOUPDATECP;
  dc.cp = POINT{0, 0};
  return dc;
}

DrawCmd CommandFrom(const Dc& dc, DrawCmd::Kind kind) {
  DrawCmd c{};
  c.kind = kind;
  c.hwnd = dc.hwnd;
  c.brush = dc.brush.colour;
  c.nullBrush = dc.brush.null;
  c.pen = dc.pen.colour;
  c.nullPen = dc.pen.null;
  /* Rounded down: a line at 1.25 to 1.75 stays one pixel wide, as wide as the outline two
  ** cells of the grid share (its geometry overlaps them by gcxChar / 8 pixels). */
  c.penWidth = dc.pen.width * DisplayQuarters() / 4;
  c.textColor = dc.text;
  c.bkMode = dc.bkMode;
  c.bkColor = dc.bk;
  c.align = dc.align;
  c.inPaint = dc.inPaint;
  return c;
}

/* Hands `cmd` to the display now (GUI thread) or to the DC's batch. Call without the lock. */
void Emit(HDC hdc, const DrawCmd& cmd) {
  if (!cmd.hwnd) return;
  if (CoreOnGuiThread()) {
    if (IsLive(cmd.hwnd)) DisplayDraw(cmd);
    return;
  }
  std::lock_guard<std::mutex> lock(gGdiMu);
  auto it = gDcs.find(hdc);
  if (it != gDcs.end()) it->second.batch.push_back(cmd);
}

int MeasureText(const char* text, int length) {
  int width = 0;
  std::string copy(text, static_cast<size_t>(length));
  RunOnGuiThread([&] { width = DisplayTextWidth(copy.data(), length); });
  return width;
}

/* Runs `fn` on the DC under the lock; false when the handle names no DC. */
template <typename F>
bool WithDc(HDC hdc, F fn) {
  std::lock_guard<std::mutex> lock(gGdiMu);
  auto it = gDcs.find(hdc);
  if (it == gDcs.end()) return false;
  fn(it->second);
  return true;
}

}  // namespace

void CoreGdiReset() {
  std::lock_guard<std::mutex> lock(gGdiMu);
  gDcs.clear();
  gObjects.clear();
  AddStockObjects();
}

bool CoreBrushColour(HBRUSH brush, COLORREF* colour) {
  uintptr_t v = reinterpret_cast<uintptr_t>(brush);
  if (v == 0) return false;
  if (v <= 31) {  /* (HBRUSH)(COLOR_xxx + 1) */
    switch (static_cast<int>(v) - 1) {
      case COLOR_WINDOW: *colour = RGB(255, 255, 255); return true;
      case COLOR_WINDOWTEXT: *colour = RGB(0, 0, 0); return true;
      default: *colour = RGB(240, 240, 240); return true;
    }
  }
  std::lock_guard<std::mutex> lock(gGdiMu);
  EnsureStock();
  auto it = gObjects.find(reinterpret_cast<HGDIOBJ>(brush));
  if (it == gObjects.end() || it->second.kind != GdiObject::Brush || it->second.null) return false;
  *colour = it->second.colour;
  return true;
}

HDC CreateDcFor(HWND hwnd, bool inPaint) {
  HDC h = reinterpret_cast<HDC>(NextHandle(kDcBase));
  std::lock_guard<std::mutex> lock(gGdiMu);
  gDcs[h] = DefaultDc(hwnd, inPaint);
  return h;
}

void ReleaseDcInternal(HDC hdc) {
  Dc dc;
  {
    std::lock_guard<std::mutex> lock(gGdiMu);
    auto it = gDcs.find(hdc);
    if (it == gDcs.end()) return;
    dc = std::move(it->second);
    gDcs.erase(it);
  }
  if (!dc.hwnd) return;
  if (CoreOnGuiThread()) {
    if (IsLive(dc.hwnd)) DisplayFlush(dc.hwnd);
    return;
  }
  if (dc.batch.empty()) return;
  HWND hwnd = dc.hwnd;
  PostToGuiThread([hwnd, batch = std::move(dc.batch)] {
    if (!IsLive(hwnd)) return;
    for (const DrawCmd& c : batch) DisplayDraw(c);
    DisplayFlush(hwnd);
  });
}

/* ================================================================ objects */

HGDIOBJ WINAPI GetStockObject(int i) {
  if (i < 0 || i >= kStockCount || i == 9 || i == 15) return nullptr;
  std::lock_guard<std::mutex> lock(gGdiMu);
  EnsureStock();
  return StockHandle(i);
}

HBRUSH WINAPI CreateSolidBrush(COLORREF colour) {
  HGDIOBJ h = reinterpret_cast<HGDIOBJ>(NextHandle(kGdiBase));
  std::lock_guard<std::mutex> lock(gGdiMu);
  gObjects[h] = GdiObject{GdiObject::Brush, colour & 0x00FFFFFF, false, 1, false};
  return static_cast<HBRUSH>(h);
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ obj) {
  std::lock_guard<std::mutex> lock(gGdiMu);
  auto dc = gDcs.find(hdc);
  auto it = gObjects.find(obj);
  if (dc == gDcs.end() || it == gObjects.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HGDIOBJ old = nullptr;
  switch (it->second.kind) {
    case GdiObject::Brush:
      old = dc->second.brushHandle;
      dc->second.brushHandle = obj;
      dc->second.brush = it->second;
      break;
    case GdiObject::Pen:
      old = dc->second.penHandle;
      dc->second.penHandle = obj;
      dc->second.pen = it->second;
      break;
    case GdiObject::Font:
      old = dc->second.fontHandle;
      dc->second.fontHandle = obj;
      break;
  }
  return old;
}

BOOL WINAPI DeleteObject(HGDIOBJ obj) {
  std::lock_guard<std::mutex> lock(gGdiMu);
  auto it = gObjects.find(obj);
  if (it == gObjects.end()) return FALSE;
  if (!it->second.stock) gObjects.erase(it);
  return TRUE;
}

/* ================================================================ device contexts */

HDC WINAPI GetDC(HWND hwnd) {
  if (hwnd && !IsLive(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return CreateDcFor(hwnd, false);
}

int WINAPI ReleaseDC(HWND, HDC hdc) {
  bool known;
  {
    std::lock_guard<std::mutex> lock(gGdiMu);
    known = gDcs.count(hdc) != 0;
  }
  if (!known) return 0;
  ReleaseDcInternal(hdc);
  return 1;
}

UINT WINAPI SetTextAlign(HDC hdc, UINT align) {
  UINT old = GDI_ERROR;
  WithDc(hdc, [&](Dc& dc) {
    old = dc.align;
    dc.align = align;
  });
  return old;
}

int WINAPI SetBkMode(HDC hdc, int mode) {
  int old = 0;
  if (mode != TRANSPARENT && mode != OPAQUE) return 0;
  WithDc(hdc, [&](Dc& dc) {
    old = dc.bkMode;
    dc.bkMode = mode;
  });
  return old;
}

COLORREF WINAPI SetTextColor(HDC hdc, COLORREF colour) {
  COLORREF old = CLR_INVALID;
  WithDc(hdc, [&](Dc& dc) {
    old = dc.text;
    dc.text = colour & 0x00FFFFFF;
  });
  return old;
}

BOOL WINAPI MoveToEx(HDC hdc, int x, int y, LPPOINT old) {
  return WithDc(hdc, [&](Dc& dc) {
    if (old) *old = dc.cp;
    dc.cp = POINT{x, y};
  });
}

BOOL WINAPI GetCurrentPositionEx(HDC hdc, LPPOINT p) {
  if (!p) return FALSE;
  return WithDc(hdc, [&](Dc& dc) { *p = dc.cp; });
}

/* ================================================================ drawing */

BOOL WINAPI LineTo(HDC hdc, int x, int y) {
  DrawCmd c{};
  if (!WithDc(hdc, [&](Dc& dc) {
        c = CommandFrom(dc, DrawCmd::Line);
        c.x1 = dc.cp.x, c.y1 = dc.cp.y, c.x2 = x, c.y2 = y;
        dc.cp = POINT{x, y};
      }))
    return FALSE;
  Emit(hdc, c);
  return TRUE;
}

static BOOL Shape(HDC hdc, DrawCmd::Kind kind, int left, int top, int right, int bottom) {
  DrawCmd c{};
  if (!WithDc(hdc, [&](Dc& dc) {
        c = CommandFrom(dc, kind);
        c.x1 = left, c.y1 = top, c.x2 = right, c.y2 = bottom;
      }))
    return FALSE;
  Emit(hdc, c);
  return TRUE;
}

BOOL WINAPI Rectangle(HDC hdc, int left, int top, int right, int bottom) {
  return Shape(hdc, DrawCmd::Rect, left, top, right, bottom);
}

BOOL WINAPI Ellipse(HDC hdc, int left, int top, int right, int bottom) {
  return Shape(hdc, DrawCmd::Ellipse, left, top, right, bottom);
}

/* Text: (x1, y1) is the reference point the alignment applies to (the current position
** under TA_UPDATECP); (x2, y2) is where the current position ends up under TA_UPDATECP,
** else the right end of the text. */
BOOL WINAPI TextOutA(HDC hdc, int x, int y, LPCSTR text, int length) {
  if (!text || length < 0) return FALSE;
  bool known;
  {
    std::lock_guard<std::mutex> lock(gGdiMu);
    known = gDcs.count(hdc) != 0;
  }
  if (!known) return FALSE;
  int width = MeasureText(text, length);
  DrawCmd c{};
  if (!WithDc(hdc, [&](Dc& dc) {
        c = CommandFrom(dc, DrawCmd::Text);
        c.text.assign(text, static_cast<size_t>(length));
        UINT h = dc.align & TA_CENTER;
        if (dc.align & TA_UPDATECP) {
          c.x1 = dc.cp.x, c.y1 = dc.cp.y;
          if (h == TA_LEFT) dc.cp.x += width;
          if (h == TA_RIGHT) dc.cp.x -= width;
          c.x2 = dc.cp.x, c.y2 = dc.cp.y;
        } else {
          c.x1 = x, c.y1 = y;
          int left = h == TA_RIGHT ? x - width : h == TA_CENTER ? x - width / 2 : x;
          c.x2 = left + width, c.y2 = y;
        }
      }))
    return FALSE;
  Emit(hdc, c);
  return TRUE;
}

BOOL WINAPI GetTextExtentPoint32A(HDC hdc, LPCSTR text, int length, LPSIZE size) {
  if (!text || length < 0 || !size) return FALSE;
  {
    std::lock_guard<std::mutex> lock(gGdiMu);
    if (!gDcs.count(hdc)) return FALSE;
  }
  int height = 0;
  size->cx = MeasureText(text, length);
  RunOnGuiThread([&] { height = DisplayTextHeight(); });
  size->cy = height;
  return TRUE;
}

namespace tbxtest {

int GdiObjectCount() {
  std::lock_guard<std::mutex> lock(gGdiMu);
  int n = 0;
  for (auto& [h, o] : gObjects) n += o.stock ? 0 : 1;
  return n;
}

int OpenDeviceContexts() {
  std::lock_guard<std::mutex> lock(gGdiMu);
  return static_cast<int>(gDcs.size());
}

}  // namespace tbxtest
