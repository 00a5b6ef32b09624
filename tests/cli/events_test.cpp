// tamborix-cli events: the message log of a small pattern, with its options, and a failure.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "files/files.h"
#include "pattern/pattern.h"
#include "tests/files/scratch.h"
#include "tests/support.h"

namespace {

class CliEventsCommand : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    exe = std::string(TBX_BINARY_DIR) + "/tamborix-cli";
    if (!std::filesystem::exists(exe)) GTEST_SKIP() << exe << " is not built";
    file = scratch("events.tbx");
    // Four steps: a Bass Drum 1 on step 0 and the instrument's row 2 on step 2.
    HeaderSet(gTbro.LoopEnd, 4);
    CellTogglePerc(0, 3);
    CellToggleVoice(2, 2);
    ASSERT_EQ(TambroFileWrite(file.c_str()), nullptr);
  }
  void TearDown() override {
    std::error_code ec;
    if (!file.empty()) std::filesystem::remove(file, ec);
    StateTest::TearDown();
  }
  // Runs the program; returns its exit status and puts its standard output in out.
  int Run(const std::string& args, std::string* out) {
    std::string cmd = exe + " events " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) *out += buf;
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ScratchDir scratch;
  std::string exe, file;
};

}  // namespace

TEST_F(CliEventsCommand, SmallPattern) {
  std::string out;
  ASSERT_EQ(Run("--steps 144 --count 4 " + file, &out), 0);
  EXPECT_EQ(out,
            "0 C0 03 00\n"
            "500 99 24 40\n"
            "1000 89 24 00\n"
            "1500 90 24 40\n"
            "2000 B9 7B 00\n"
            "2000 B0 7B 00\n"
            "2000 80 24 00\n");
}

TEST_F(CliEventsCommand, VelocityAndMute) {
  std::string out;
  ASSERT_EQ(Run("--count 1 --velocity 100 " + file, &out), 0);
  EXPECT_NE(out.find("500 99 24 64\n"), std::string::npos) << out;
  out.clear();
  ASSERT_EQ(Run("--count 1 --mute 1 " + file, &out), 0);  // "1on:1off": bar 1 is silent
  EXPECT_NE(out.find("500 99 24 00\n"), std::string::npos) << out;
}

TEST_F(CliEventsCommand, MissingFileFails) {
  std::string out;
  EXPECT_NE(Run(file + ".missing", &out), 0);
  EXPECT_NE(Run("--count x " + file, &out), 0);
}

TEST_F(CliEventsCommand, ClockShowsTheClockMessagesAmongTheOthers) {
  std::string out, plain;
  ASSERT_EQ(Run("--count 2 --clock " + file, &out), 0);
  ASSERT_EQ(Run("--count 2 " + file, &plain), 0);
  // Start and the first clock with the first step, before its note; 24 clocks a beat at
  // 120 BPM (20.833 ms, each printed in the millisecond it leaves: at or after its time);
  // the next beat's clock with the next step; Stop before the All Notes Off.
  const std::string head = "0 C0 03 00\n500 FA 00 00\n500 F8 00 00\n500 99 24 40\n521 F8 00 00\n542 F8 00 00\n563 F8 00 00\n";
  EXPECT_EQ(out.substr(0, head.size()), head);
  const std::string tail = "980 F8 00 00\n1000 89 24 00\n1000 F8 00 00\n1000 FC 00 00\n1000 B9 7B 00\n1000 B0 7B 00\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  std::string rest;
  int clocks = 0;
  for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = out.substr(at, end + 1 - at);
    const std::string status = line.substr(line.find(' ') + 1, 2);
    clocks += status == "F8";
    if (status != "F8" && status != "FA" && status != "FC") rest += line;
  }
  EXPECT_EQ(clocks, 25);
  EXPECT_EQ(rest, plain) << "the other messages are those of a run without the clock";
}
