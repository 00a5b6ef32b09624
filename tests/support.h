// Fixtures shared by the suites: a fresh platform, the manual clock, one capture output and
// one loopback input, all program state at its start values, and (for WindowTest) the main
// window created as the program creates it.
#ifndef TBX_TESTS_SUPPORT_H
#define TBX_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app.h"
#include "platform/testing.h"

class StateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tbxtest::PlatformReset();
    tbxtest::SetUnexpectedHandler([](const std::string& what) { ADD_FAILURE() << "unexpected: " << what; });
    tbxtest::UseManualClock(true);
    tbxtest::SetMidiDevices(outputs(), inputs());
    ResetAllState();
  }
  void TearDown() override { tbxtest::PlatformReset(); }
  virtual std::vector<std::string> outputs() const { return {"Capture Out"}; }
  virtual std::vector<std::string> inputs() const { return {"Loopback In"}; }
};

class WindowTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    hwnd = CreateMainWindow(nullptr, cmdLine().c_str(), SW_SHOWNORMAL);
    ASSERT_NE(hwnd, nullptr);
  }
  void TearDown() override {
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    tbxtest::PumpMessages();
    StateTest::TearDown();
  }
  virtual std::string cmdLine() const { return ""; }
  HWND hwnd = nullptr;
};

#endif
