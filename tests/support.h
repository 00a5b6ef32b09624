// Fixtures shared by the suites: a fresh platform, the manual clock, one capture output and
// one loopback input, all program state at its start values, and (for WindowTest) the main
// window created as the program creates it. Everything runs as the 144-step program, except
// in a StepsTest, which runs each case once for every program's step count.
#ifndef TBX_TESTS_SUPPORT_H
#define TBX_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cstring>

#include "app/app.h"
#include "pattern/pattern.h"
#include "platform/testing.h"

// The step counts of the four programs.
#define TBX_PROGRAM_STEPS ::testing::Values(144, 128, 96, 72)

class StateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStepCount(steps());
    tbxtest::PlatformReset();
    tbxtest::SetUnexpectedHandler([](const std::string& what) { ADD_FAILURE() << "unexpected: " << what; });
    tbxtest::UseManualClock(true);
    tbxtest::SetMidiDevices(outputs(), inputs());
    ResetAllState();
  }
  void TearDown() override { tbxtest::PlatformReset(); }
  virtual int steps() const { return 144; }
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

// The pattern as the undo history keeps it, and whether two such states are the same.
inline PatternState PatternNow() {
  PatternState s;
  TakePatternState(&s);
  return s;
}
inline bool SameState(const PatternState& a, const PatternState& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
// A menu item of the main window is grayed.
inline bool MenuGrayed(UINT id) { return (GetMenuState(ghMenu, id, MF_BYCOMMAND) & MF_GRAYED) != 0; }

// Fixture<Base> run once for each program's step count (GetParam()): declare the suite with
// `class X : public StepsTest<Base> {};`, its cases with TEST_P, then TBX_STEPS_SUITE(X).
template <class Base>
class StepsTest : public Base, public ::testing::WithParamInterface<int> {
 protected:
  int steps() const override { return this->GetParam(); }
};
// Names the cases "<Suite>.<Case>/<steps>".
#define TBX_STEPS_SUITE(Suite)                              \
  INSTANTIATE_TEST_SUITE_P(, Suite, TBX_PROGRAM_STEPS,      \
                           [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param); })

#endif
