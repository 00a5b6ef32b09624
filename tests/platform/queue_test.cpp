// The message queue and window behaviour the program relies on: retrieval order, WM_PAINT
// synthesis after invalidation, creation failure, modality, accelerators, cross-thread
// posting and sending, and the window table (geometry, texts, scroll bars, pointer).
#include <atomic>
#include <thread>

#include "tests/platform/platform_support.h"

using MessageQueue = PlatformTest;

TEST_F(MessageQueue, PostedMessagesComeInOrderAndQuitAfterThem) {
  HWND h = MakeWindow(false);
  PostMessageA(h, WM_USER + 1, 1, 0);
  PostQuitMessage(7);
  PostMessageA(h, WM_USER + 2, 2, 0);
  MSG m;
  ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
  EXPECT_EQ(m.message, WM_USER + 1u);
  ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
  EXPECT_EQ(m.message, WM_USER + 2u);
  EXPECT_FALSE(GetMessageA(&m, nullptr, 0, 0));
  EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(MessageQueue, PaintComesAfterPostedMessagesOnlyForVisibleWindows) {
  HWND h = MakeWindow(false);
  RECT r{10, 10, 20, 20};
  InvalidateRect(h, &r, FALSE);
  EXPECT_EQ(tbxtest::PumpMessages(), 0);  // hidden: no WM_PAINT
  ShowWindow(h, SW_SHOW);
  tbxtest::PumpMessages();
  ASSERT_EQ(Count(WM_PAINT), 1);
  seen().clear();

  PostMessageA(h, WM_USER, 0, 0);
  InvalidateRect(h, &r, FALSE);
  RECT r2{50, 5, 60, 15};
  InvalidateRect(h, &r2, TRUE);
  RECT painted{};
  onMessage() = [&](HWND hwnd, UINT msg, WPARAM, LPARAM, LRESULT& res) {
    if (msg != WM_PAINT) return false;
    PAINTSTRUCT ps;
    BeginPaint(hwnd, &ps);
    painted = ps.rcPaint;
    EndPaint(hwnd, &ps);
    res = 0;
    return true;
  };
  EXPECT_EQ(tbxtest::PumpMessages(), 2);
  ASSERT_EQ(seen().size(), 3u);  // WM_USER, WM_PAINT, WM_ERASEBKGND from BeginPaint
  EXPECT_EQ(seen()[0].message, static_cast<UINT>(WM_USER));
  EXPECT_EQ(seen()[1].message, static_cast<UINT>(WM_PAINT));
  EXPECT_EQ(seen()[2].message, static_cast<UINT>(WM_ERASEBKGND));
  EXPECT_EQ(painted.left, 10);
  EXPECT_EQ(painted.top, 5);
  EXPECT_EQ(painted.right, 60);
  EXPECT_EQ(painted.bottom, 20);
  ASSERT_EQ(tbxtest::Invalidations().size(), 3u);
  EXPECT_FALSE(tbxtest::Invalidations()[2].whole);
  EXPECT_TRUE(tbxtest::Invalidations()[2].erase);
}

TEST_F(MessageQueue, UpdateWindowPaintsAtOnceAndAPaintThatNeverValidatesDoesNotSpin) {
  HWND h = MakeWindow();
  tbxtest::PumpMessages();
  seen().clear();
  onMessage() = [](HWND, UINT msg, WPARAM, LPARAM, LRESULT& res) {
    res = 0;
    return msg == WM_PAINT;  // answered without BeginPaint
  };
  InvalidateRect(h, nullptr, FALSE);
  UpdateWindow(h);
  EXPECT_EQ(Count(WM_PAINT), 1);
  UpdateWindow(h);  // nothing invalid any more
  EXPECT_EQ(tbxtest::PumpMessages(), 0);
  EXPECT_EQ(Count(WM_PAINT), 1);
}

TEST_F(MessageQueue, CreationReturningMinusOneDestroysTheWindow) {
  onMessage() = [](HWND, UINT msg, WPARAM, LPARAM, LRESULT& res) {
    if (msg == WM_CREATE) res = -1;
    if (msg == WM_DESTROY) PostQuitMessage(0);
    return msg == WM_CREATE;
  };
  EXPECT_EQ(MakeWindow(), nullptr);
  EXPECT_EQ(Count(WM_DESTROY), 1);
  ASSERT_EQ(tbxtest::PostedMessages().size(), 1u);
  EXPECT_EQ(tbxtest::PostedMessages()[0].message, static_cast<UINT>(WM_QUIT));
  HWND stale = seen()[0].hwnd;
  EXPECT_FALSE(IsWindow(stale));
  EXPECT_FALSE(PostMessageA(stale, WM_USER, 0, 0));
}

TEST_F(MessageQueue, InputToADisabledWindowIsDroppedButPostedMessagesArrive) {
  HWND h = MakeWindow();
  tbxtest::PumpMessages();
  seen().clear();
  EnableWindow(h, FALSE);
  tbxtest::PostInput(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 6));
  tbxtest::PostInput(h, WM_COMMAND, 40001, 0);
  PostMessageA(h, WM_USER + 1, 0, 0);
  tbxtest::PumpMessages();
  ASSERT_EQ(seen().size(), 1u);
  EXPECT_EQ(seen()[0].message, WM_USER + 1u);
  EnableWindow(h, TRUE);
  tbxtest::PostInput(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 6));
  tbxtest::PumpMessages();
  EXPECT_EQ(Count(WM_LBUTTONDOWN), 1);
}

TEST_F(MessageQueue, AcceleratorsNeedTheirModifiersAndSkipGrayedItems) {
  HMENU bar = CreateMenu(), play = CreatePopupMenu();
  AppendMenuA(play, MF_STRING, 40101, "&Play All\tCtrl+A");
  AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(play), "&Play");
  HWND h = MakeWindow(true, bar);
  HACCEL acc = LoadAcceleratorsA(nullptr, "tamborix");  // names ignore case
  ASSERT_NE(acc, nullptr);
  auto key = [&](WPARAM vk, bool control) {
    tbxtest::PostInput(h, WM_KEYDOWN, vk, 0, control);
    MSG m;
    EXPECT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetKeyState(VK_CONTROL) < 0, control);
    return TranslateAcceleratorA(h, acc, &m);
  };
  tbxtest::PumpMessages();
  seen().clear();
  EXPECT_EQ(key('N', true), 1);
  ASSERT_EQ(Count(WM_COMMAND), 1);
  EXPECT_EQ(LOWORD(seen().back().wParam), 40001);
  EXPECT_EQ(HIWORD(seen().back().wParam), 1);  // from an accelerator
  EXPECT_EQ(key('N', false), 0);
  EXPECT_EQ(key('A', true), 1);
  EXPECT_EQ(Count(WM_COMMAND), 2);
  EnableMenuItem(bar, 40101, MF_GRAYED);
  EXPECT_EQ(key('A', true), 1);  // swallowed, as Windows does for a grayed item
  EXPECT_EQ(Count(WM_COMMAND), 2);
}

TEST_F(MessageQueue, WindowTableKeepsGeometryTextsAndScrollState) {
  HMENU bar = CreateMenu();
  AppendMenuA(bar, MF_STRING, 1, "x");
  HWND h = MakeWindow(true, bar);
  RECT rc;
  GetClientRect(h, &rc);
  EXPECT_EQ(rc.right, 400 - 6);  // fixed frame 3 on each side
  EXPECT_EQ(rc.bottom, 300 - 6 - 20 - 20);  // caption and menu bar
  POINT origin = tbxtest::ClientOrigin(h);
  EXPECT_EQ(origin.x, 103);
  EXPECT_EQ(origin.y, 50 + 3 + 20 + 20);

  HWND bar1 = CreateWindowExA(0, "scrollbar", nullptr, WS_CHILD | WS_VISIBLE | SBS_VERT, 0, 0, 0, 0, h,
                              reinterpret_cast<HMENU>(1), nullptr, nullptr);
  MoveWindow(bar1, 30, 40, 16, 128, TRUE);
  EXPECT_EQ(GetWindowLongA(bar1, GWL_ID), 1);
  SetScrollRange(bar1, SB_CTL, 18, 127, FALSE);
  EXPECT_EQ(GetScrollPos(bar1, SB_CTL), 18);  // clamped into the new range
  EXPECT_EQ(SetScrollPos(bar1, SB_CTL, 500, TRUE), 18);
  EXPECT_EQ(GetScrollPos(bar1, SB_CTL), 127);
  GetWindowRect(bar1, &rc);
  EXPECT_EQ(rc.left, origin.x + 30);
  EXPECT_EQ(rc.top, origin.y + 40);

  HWND text = CreateWindowExA(0, "static", "120", WS_CHILD | WS_VISIBLE | SS_CENTER, 0, 0, 0, 0, h,
                              reinterpret_cast<HMENU>(2), nullptr, nullptr);
  SetWindowTextA(text, "506");
  char buf[3];
  EXPECT_EQ(GetWindowTextA(text, buf, sizeof buf), 2);  // cut to the buffer, terminated
  EXPECT_STREQ(buf, "50");
  EXPECT_EQ(GetWindowTextLengthA(text), 3);

  SetCursorPos(origin.x + 7, origin.y + 9);
  POINT p;
  GetCursorPos(&p);
  ScreenToClient(h, &p);
  EXPECT_EQ(p.x, 7);
  EXPECT_EQ(p.y, 9);
  EXPECT_EQ(GetDialogBaseUnits(), MAKELONG(8, 16));

  DestroyWindow(h);
  EXPECT_FALSE(IsWindow(bar1));
  EXPECT_EQ(GetMenuItemCount(bar), -1);  // the bar goes with its window
}

/* ---------------------------------------------------------------- other threads */

using StressCrossThread = PlatformTest;

TEST_F(StressCrossThread, PostsFromManyThreadsArriveWholeAndInEachThreadsOrder) {
  HWND h = MakeWindow(false);
  seen().clear();
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([h, t] {
      for (int i = 0; i < kEach; i++) PostMessageA(h, WM_USER, static_cast<WPARAM>(t), i);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(tbxtest::PumpMessages(), kThreads * kEach);
  std::vector<LPARAM> last(kThreads, -1);
  for (auto& m : seen()) {
    EXPECT_EQ(m.lParam, last[m.wParam] + 1);
    last[m.wParam] = m.lParam;
  }
}

TEST_F(StressCrossThread, SendsAndBoxesFromAnotherThreadRunOnTheWindowThread) {
  HWND h = MakeWindow(false);
  std::thread::id gui = std::this_thread::get_id(), ranOn;
  onMessage() = [&](HWND, UINT msg, WPARAM w, LPARAM, LRESULT& res) {
    if (msg != WM_USER + 5) return false;
    ranOn = std::this_thread::get_id();
    res = static_cast<LRESULT>(w * 2);
    return true;
  };
  tbxtest::QueueMessageBoxAnswer(IDYES);
  std::atomic<LRESULT> sent{0};
  std::atomic<int> box{0};
  std::thread worker([&] {
    sent = SendMessageA(h, WM_USER + 5, 21, 0);
    box = MessageBoxA(h, "Save changes of x ?", "Tamborix", MB_YESNO | MB_ICONQUESTION);
    PostQuitMessage(3);
  });
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0)) DispatchMessageA(&m);  // woken by the worker
  worker.join();
  EXPECT_EQ(sent.load(), 42);
  EXPECT_EQ(ranOn, gui);
  EXPECT_EQ(box.load(), IDYES);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].owner, h);
}

TEST_F(StressCrossThread, DrawingFromAnotherThreadReachesTheDisplayOnTheWindowThread) {
  HWND h = MakeWindow();
  tbxtest::PumpMessages();
  tbxtest::ClearDrawLog();
  std::thread worker([h] {
    HDC dc = GetDC(h);
    HBRUSH b = CreateSolidBrush(RGB(1, 2, 3));
    HGDIOBJ old = SelectObject(dc, b);
    Rectangle(dc, 1, 2, 3, 4);
    InvalidateRect(h, nullptr, FALSE);
    SelectObject(dc, old);
    DeleteObject(b);
    ReleaseDC(h, dc);
  });
  worker.join();
  EXPECT_TRUE(tbxtest::DrawLog().empty());  // nothing drawn off the window thread
  tbxtest::PumpMessages();
  ASSERT_EQ(tbxtest::DrawLog().size(), 1u);
  EXPECT_EQ(tbxtest::DrawLog()[0].brush, RGB(1, 2, 3));
  EXPECT_FALSE(tbxtest::DrawLog()[0].inPaint);
  EXPECT_EQ(tbxtest::Invalidations().size(), 1u);
  EXPECT_EQ(tbxtest::GdiObjectCount(), 0);
  EXPECT_EQ(tbxtest::OpenDeviceContexts(), 0);
}

TEST_F(MessageQueue, ResetForgetsEverythingWithoutRunningWindowProcedures) {
  HWND h = MakeWindow();
  HMENU m = CreateMenu();
  PostMessageA(h, WM_USER, 0, 0);
  InvalidateRect(h, nullptr, TRUE);
  HBRUSH leaked = CreateSolidBrush(RGB(9, 9, 9));
  HDC dc = GetDC(h);
  Rectangle(dc, 0, 0, 1, 1);
  seen().clear();
  tbxtest::PlatformReset();
  tbxtest::SetUnexpectedHandler([this](const std::string& what) { unexpected.push_back(what); });
  EXPECT_TRUE(seen().empty());  // no WM_DESTROY into a procedure of the last test
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(GetMenuItemCount(m), -1);
  EXPECT_TRUE(tbxtest::PostedMessages().empty());
  EXPECT_TRUE(tbxtest::Invalidations().empty());
  EXPECT_TRUE(tbxtest::DrawLog().empty());
  EXPECT_EQ(tbxtest::GdiObjectCount(), 0);
  EXPECT_EQ(tbxtest::OpenDeviceContexts(), 0);
  EXPECT_FALSE(DeleteObject(leaked));
  EXPECT_EQ(ReleaseDC(h, dc), 0);
}
