// Fixture of the platform suites: a fresh platform, unexpected events collected (a test that
// expects one checks `unexpected`; any other fails the test), and a window class whose
// procedure records every message it gets.
#ifndef TBX_TESTS_PLATFORM_SUPPORT_H
#define TBX_TESTS_PLATFORM_SUPPORT_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/testing.h"
#include "platform/win32.h"

struct SeenMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tbxtest::PlatformReset();
    tbxtest::SetUnexpectedHandler([this](const std::string& what) { unexpected.push_back(what); });
    tbxtest::UseManualClock(true);
    seen().clear();
    onMessage() = nullptr;
    WNDCLASSA wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = "TbxTest";
    ASSERT_NE(RegisterClassA(&wc), 0);
  }
  void TearDown() override {
    if (!expectUnexpected) {
      EXPECT_TRUE(unexpected.empty()) << unexpected.front();
    }
    tbxtest::PlatformReset();
  }

  /* A top-level window of the recording class with a caption, hidden unless `show`. */
  HWND MakeWindow(bool show = true, HMENU menu = nullptr) {
    HWND h = CreateWindowExA(0, "TbxTest", "test", WS_CAPTION | WS_SYSMENU, 100, 50, 400, 300, nullptr, menu,
                             nullptr, nullptr);
    if (h && show) ShowWindow(h, SW_SHOWNORMAL);
    return h;
  }
  static int Count(UINT message) {
    int n = 0;
    for (auto& m : seen()) n += m.message == message;
    return n;
  }

  static std::vector<SeenMessage>& seen() {
    static std::vector<SeenMessage> v;
    return v;
  }
  /* Runs for every message after it is recorded; returning true answers it with `result`. */
  using Handler = std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT& result)>;
  static Handler& onMessage() {
    static Handler f;
    return f;
  }
  static LRESULT CALLBACK RecordingProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    seen().push_back(SeenMessage{h, m, w, l});
    LRESULT r = 0;
    if (onMessage() && onMessage()(h, m, w, l, r)) return r;
    return DefWindowProcA(h, m, w, l);
  }

  std::vector<std::string> unexpected;
  bool expectUnexpected = false;
};

#endif
