// Device contexts as painting uses them (selected objects resolved to colours, text
// alignment and the current position, leaks) and menus as the command handling uses them
// (check marks and gray state by command across popups, Windows' return values).
#include "platform/display.h"
#include "tests/platform/platform_support.h"

using DeviceContext = PlatformTest;

TEST_F(DeviceContext, DrawingRecordsTheSelectedObjectsAsColours) {
  HWND h = MakeWindow();
  tbxtest::PumpMessages();
  tbxtest::ClearDrawLog();
  HDC dc = GetDC(h);
  Rectangle(dc, 0, 0, 10, 10);  // defaults: white brush, black pen
  HBRUSH tan = CreateSolidBrush(RGB(221, 204, 153));
  HGDIOBJ white = GetStockObject(WHITE_PEN);
  HGDIOBJ oldBrush = SelectObject(dc, tan);
  HGDIOBJ oldPen = SelectObject(dc, white);
  EXPECT_EQ(oldBrush, GetStockObject(WHITE_BRUSH));
  EXPECT_EQ(oldPen, GetStockObject(BLACK_PEN));
  Ellipse(dc, 1, 2, 3, 4);
  SelectObject(dc, GetStockObject(NULL_PEN));
  SelectObject(dc, GetStockObject(NULL_BRUSH));
  Rectangle(dc, 5, 6, 7, 8);
  EXPECT_EQ(SelectObject(dc, oldBrush), GetStockObject(NULL_BRUSH));
  SelectObject(dc, oldPen);
  DeleteObject(tan);
  ReleaseDC(h, dc);

  const auto& log = tbxtest::DrawLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].brush, RGB(255, 255, 255));
  EXPECT_EQ(log[0].pen, RGB(0, 0, 0));
  EXPECT_EQ(log[1].kind, tbxtest::DrawOp::Ellipse);
  EXPECT_EQ(log[1].brush, 0x0099CCDDu);  // COLORREF is 0x00bbggrr
  EXPECT_EQ(log[1].pen, RGB(255, 255, 255));
  EXPECT_EQ(log[1].x1, 1);
  EXPECT_EQ(log[1].y2, 4);
  EXPECT_TRUE(log[2].nullBrush);
  EXPECT_TRUE(log[2].nullPen);
  EXPECT_FALSE(log[2].inPaint);
  EXPECT_EQ(tbxtest::GdiObjectCount(), 0);
  EXPECT_EQ(tbxtest::OpenDeviceContexts(), 0);
}

TEST_F(DeviceContext, UpdateCpTextMovesTheCurrentPositionByItsWidth) {
  HWND h = MakeWindow();
  tbxtest::PumpMessages();
  tbxtest::ClearDrawLog();
  HDC dc = GetDC(h);
  SetTextColor(dc, RGB(0, 0, 255));
  EXPECT_EQ(SetBkMode(dc, TRANSPARENT), OPAQUE);
  EXPECT_EQ(SetTextAlign(dc, TA_UPDATECP), static_cast<UINT>(TA_LEFT | TA_TOP));
  MoveToEx(dc, 10, 20, nullptr);
  TextOutA(dc, 999, 999, "abc", 3);  // x and y are ignored under TA_UPDATECP
  TextOutA(dc, 0, 0, "de", 2);
  POINT cp;
  GetCurrentPositionEx(dc, &cp);
  EXPECT_EQ(cp.x, 10 + 5 * 7);
  EXPECT_EQ(cp.y, 20);
  SetTextAlign(dc, TA_RIGHT | TA_UPDATECP);
  TextOutA(dc, 0, 0, "f", 1);
  GetCurrentPositionEx(dc, &cp);
  EXPECT_EQ(cp.x, 10 + 4 * 7);
  SetTextAlign(dc, TA_CENTER);
  TextOutA(dc, 100, 5, "gh", 2);
  LineTo(dc, 50, 60);
  SIZE size;
  GetTextExtentPoint32A(dc, "1234", 4, &size);
  ReleaseDC(h, dc);

  EXPECT_EQ(size.cx, 28);
  EXPECT_EQ(size.cy, 16);
  const auto& log = tbxtest::DrawLog();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].text, "abc");
  EXPECT_EQ(log[0].x1, 10);
  EXPECT_EQ(log[0].x2, 31);
  EXPECT_EQ(log[1].x1, 31);
  EXPECT_EQ(log[1].textColor, RGB(0, 0, 255));
  EXPECT_EQ(log[1].bkMode, TRANSPARENT);
  EXPECT_EQ(log[3].x1, 100);  // reference point of centred text
  EXPECT_EQ(log[3].x2, 100 - 7 + 14);  // its right end
  EXPECT_EQ(log[3].align, static_cast<UINT>(TA_CENTER));
  EXPECT_EQ(log[4].kind, tbxtest::DrawOp::Line);
  EXPECT_EQ(log[4].x1, 10 + 4 * 7);  // from the current position, which no TA_CENTER text moved
  EXPECT_EQ(log[4].y2, 60);
}

TEST_F(DeviceContext, EachDcStartsFreshAndPaintingErasesWithTheClassBrush) {
  HWND h = MakeWindow();
  HDC dc = GetDC(h);
  SetTextAlign(dc, TA_UPDATECP);
  SelectObject(dc, GetStockObject(BLACK_BRUSH));
  ReleaseDC(h, dc);
  dc = GetDC(h);
  EXPECT_EQ(SetTextAlign(dc, TA_LEFT | TA_TOP), static_cast<UINT>(TA_LEFT | TA_TOP));  // the old one
  ReleaseDC(h, dc);
  EXPECT_EQ(ReleaseDC(h, dc), 0);  // already released

  bool erased = false;
  onMessage() = [&](HWND hwnd, UINT msg, WPARAM, LPARAM, LRESULT& res) {
    if (msg != WM_PAINT) return false;
    PAINTSTRUCT ps;
    HDC pdc = BeginPaint(hwnd, &ps);
    erased = !ps.fErase;
    Rectangle(pdc, 0, 0, 1, 1);
    EndPaint(hwnd, &ps);
    res = 0;
    return true;
  };
  tbxtest::ClearDrawLog();
  tbxtest::PumpMessages();
  EXPECT_EQ(Count(WM_ERASEBKGND), 1);
  EXPECT_TRUE(erased);  // DefWindowProc erased it
  ASSERT_EQ(tbxtest::DrawLog().size(), 1u);
  EXPECT_TRUE(tbxtest::DrawLog()[0].inPaint);
}

/* ---------------------------------------------------------------- menus */

using Menus = PlatformTest;

TEST_F(Menus, CommandsAreFoundInPopupsAndCallsReturnThePreviousState) {
  HMENU bar = CreateMenu(), file = CreatePopupMenu(), out = CreatePopupMenu();
  AppendMenuA(file, MF_STRING, 40001, "&New File\tCtrl+N");
  AppendMenuA(file, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(out, MF_STRING | MF_CHECKED, 41000, "Port 0");
  AppendMenuA(out, MF_STRING, 41001, "Port 1");
  AppendMenuA(file, MF_POPUP, reinterpret_cast<UINT_PTR>(out), "MIDI-OUT");
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), "&File");
  AppendMenuA(bar, MF_STRING, 41400, "About");

  EXPECT_EQ(CheckMenuItem(bar, 41000, MF_UNCHECKED), static_cast<DWORD>(MF_CHECKED));
  EXPECT_EQ(CheckMenuItem(bar, 41001, MF_CHECKED), static_cast<DWORD>(MF_UNCHECKED));
  EXPECT_EQ(GetMenuState(out, 41001, MF_BYCOMMAND) & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
  EXPECT_EQ(CheckMenuItem(bar, 49999, MF_CHECKED), static_cast<DWORD>(-1));
  EXPECT_EQ(EnableMenuItem(bar, 40001, MF_GRAYED), MF_ENABLED);
  EXPECT_EQ(EnableMenuItem(bar, 40001, MF_ENABLED), MF_GRAYED);
  EXPECT_EQ(EnableMenuItem(bar, 49999, MF_GRAYED), -1);

  EXPECT_EQ(GetMenuItemCount(bar), 2);
  EXPECT_EQ(GetSubMenu(bar, 0), file);
  EXPECT_EQ(GetMenuItemID(bar, 0), static_cast<UINT>(-1));  // a popup
  EXPECT_EQ(GetMenuItemID(file, 1), 0u);                    // a separator
  EXPECT_EQ(GetMenuItemID(bar, 1), 41400u);
  EXPECT_EQ(GetMenuState(file, 2, MF_BYPOSITION), (2u << 8) | MF_POPUP);  // item count in the high byte
  EXPECT_EQ(GetMenuState(file, 1, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
  char buf[8];
  EXPECT_EQ(GetMenuStringA(bar, 40001, buf, sizeof buf, MF_BYCOMMAND), 7);
  EXPECT_STREQ(buf, "&New Fi");
  EXPECT_EQ(GetMenuStringA(bar, 0, nullptr, 0, MF_BYPOSITION), 5);  // length asked

  HWND h = MakeWindow(true, bar);
  EXPECT_EQ(GetMenu(h), bar);
  auto items = CoreMenuItems(out);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].flags & MF_CHECKED, static_cast<UINT>(MF_CHECKED));
}
