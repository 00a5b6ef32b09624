// Playing in time through a JACK server, run by tests/e2e/jack_sync.sh (skipped otherwise):
// the script starts a private jackd with the dummy driver (48 kHz, 256 frames a period), a
// MIDI monitor with absolute frame times (jack_midi_dump -a, client "tbxframes", its output
// in TBX_JACK_FRAMES) and builds TBX_JACK_SYNC_HELPER (tests/e2e/jack_sync_helper.c): a
// clock source and a transport remote. The program runs on the real timer, with the real
// device table (the synth, the own ports), its window on the headless display.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "pattern/pattern.h"
#include "platform/midi/midi_internal.h"
#include "platform/testing.h"
#include "playback/playback.h"
#include "tests/platform/jack_support.h"

namespace {

/* F8s sent and how late each was handed to the output after its due time (ns). */
constexpr int kMaxClocks = 20000;
int64_t gClockLate[kMaxClocks];
std::atomic<int> gClocksSent{0};

void RecordClock(int, uint32_t message, int64_t dueNs) {
  if ((message & 0xFF) != 0xF8) return;
  const int i = gClocksSent.fetch_add(1);
  if (i < kMaxClocks) gClockLate[i] = MidiSteadyNs() - dueNs;
}

class PlaybackJackSync : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("TBX_JACK_E2E") != "1") GTEST_SKIP() << "run by tests/e2e/jack_sync.sh";
    tbxtest::PlatformReset();
    tbxtest::UseManualClock(false);
    ResetAllState();
    hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
    ASSERT_NE(hwnd, nullptr);
    tbxtest::PumpMessages();
  }
  void TearDown() override {
    MidiSetSendObserver(nullptr);
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    tbxtest::PumpMessages();
    tbxtest::PlatformReset();
  }
  void Command(UINT id) { SendMessageA(hwnd, WM_COMMAND, id, 0); }
  /* Serves the window for `ms`, counting the steps the clock posted; stops early once
  ** `until` holds. */
  int Serve(int ms, bool (*until)() = nullptr) {
    int steps = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end && !(until && until())) {
      for (const MSG& m : tbxtest::PostedMessages()) steps += m.message == WM_TBX_PLAYPOS;
      tbxtest::PumpMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return steps;
  }
  static std::string Helper(const std::string& what) { return Sh(Env("TBX_JACK_SYNC_HELPER") + " " + what); }
  HWND hwnd = nullptr;
};

bool Going() { return gbSequenceGoing != 0; }
bool Stopped() { return gbSequenceGoing == 0; }

}  // namespace

TEST_F(PlaybackJackSync, ClockOnTheOwnPortKeepsItsFrames) {
  // 120 BPM, the synth chosen: the clock leaves on the own output port, one every 1000
  // frames at 48 kHz. Each interval is off by at most 0.1 ms (4.8 frames) unless the timer
  // handed the clock over late (more than 1.5 ms: the constant latency is a period + 2 ms),
  // and the median interval is the tempo's (no drift).
  const int seconds = Env("TBX_SYNC_SECONDS").empty() ? 3 : std::max(1, std::atoi(Env("TBX_SYNC_SECONDS").c_str()));
  Sh("jack_connect Tamborix:midi_out tbxframes:input");
  Command(IDM_SYNC + SYNC_SEND_CLOCK);
  gClocksSent = 0;
  MidiSetSendObserver(RecordClock);
  Command(IDM_LOOP);
  ASSERT_TRUE(gbSequenceGoing);
  Serve(seconds * 1000 + 600);
  Command(IDM_STOP);
  MidiSetSendObserver(nullptr);
  const int sent = std::min(gClocksSent.load(), kMaxClocks);
  std::vector<long> frames;
  std::vector<std::string> order;
  for (int i = 0; i < 100; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    frames.clear();
    order.clear();
    std::ifstream in(Env("TBX_JACK_FRAMES"));
    std::string line;
    while (std::getline(in, line)) {
      const size_t colon = line.find(": ");
      if (colon == std::string::npos) continue;
      const std::string bytes = line.substr(colon + 2, 2);
      if (bytes == "f8") frames.push_back(std::stol(line));
      if (bytes == "fa" || bytes == "fc" || (bytes == "f8" && (order.empty() || order.back() != "f8")))
        order.push_back(bytes);
    }
    if (!order.empty() && order.back() == "fc") break;
  }
  Sh("jack_disconnect Tamborix:midi_out tbxframes:input");
  EXPECT_EQ(order, (std::vector<std::string>{"fa", "f8", "fc"}));
  ASSERT_EQ(int(frames.size()), sent) << "every clock sent reached the port";
  ASSERT_GE(frames.size(), size_t(48 * seconds));

  std::vector<long> sorted;
  for (size_t i = 1; i < frames.size(); i++) sorted.push_back(frames[i] - frames[i - 1]);
  std::sort(sorted.begin(), sorted.end());
  const long median = sorted[sorted.size() / 2];
  EXPECT_NEAR(median, 1000, 10) << "20.833 ms of the server's clock";
  int off = 0, late = 0;
  double worst = 0;
  for (size_t i = 1; i < frames.size(); i++) {
    const double dev = std::fabs(double(frames[i] - frames[i - 1]) - 1000.0) / 48.0;   // ms
    const bool excused = gClockLate[i] > 1500000 || gClockLate[i - 1] > 1500000;
    late += gClockLate[i] > 1500000;
    if (!excused) worst = std::max(worst, dev);
    if (!excused && dev > 0.1) off++;
  }
  std::printf("clock out: %zu clocks, median interval %ld frames, worst deviation %.3f ms (on time), %d late\n",
              frames.size(), median, worst, late);
  EXPECT_EQ(off, 0) << "worst " << worst << " ms";
  EXPECT_LE(late, int(frames.size()) / 10) << "the machine is too busy to tell";
  const double span = double(frames.back() - frames.front()) / double(frames.size() - 1);
  EXPECT_NEAR(span, 1000.0 * median / 1000.0, 1.0) << "the clocks keep to one straight line";
}

TEST_F(PlaybackJackSync, FollowsAClockSentIntoTheInputPort) {
  Command(IDM_RELBEAT + 5);   // "* 4": a step every six clocks, 8 a second at 120 BPM
  Command(IDM_SYNC + SYNC_FOLLOW_CLOCK);
  ASSERT_TRUE(gbMidiInOpen) << "the own input port listens for a Start";
  FILE* source = popen((Env("TBX_JACK_SYNC_HELPER") + " clock >/dev/null").c_str(), "w");
  ASSERT_NE(source, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Sh("jack_connect tbxclock:out Tamborix:midi_in");
  std::fputs("start 120\n", source);
  std::fflush(source);
  Serve(2000, Going);
  ASSERT_TRUE(gbSequenceGoing) << "the clock's Start started the run";
  const int steps = Serve(2000);
  EXPECT_NEAR(steps, 16, 2) << "steps follow the clock";
  char tempo[16] = "";
  GetWindowTextA(gHwndTEMPO, tempo, sizeof tempo);
  EXPECT_STREQ(tempo, "120");
  std::fputs("stop\n", source);
  std::fflush(source);
  Serve(2000, Stopped);
  EXPECT_FALSE(gbSequenceGoing) << "the clock's Stop stopped the run";
  std::fputs("quit\n", source);
  pclose(source);
}

TEST_F(PlaybackJackSync, TransportBothWaysAndTheTimebaseMaster) {
  Helper("halt");
  Command(IDM_SYNC + SYNC_JACK_TRANSPORT);
  Serve(200);
  EXPECT_FALSE(gbSequenceGoing);
  Command(IDM_LOOP);
  ASSERT_TRUE(gbSequenceGoing);
  Serve(300);
  EXPECT_EQ(Helper("query").substr(0, 7), "rolling") << "Play starts the transport";
  Command(IDM_STOP);
  Serve(300);
  EXPECT_EQ(Helper("query").substr(0, 7), "stopped") << "Stop stops it";

  Helper("roll");
  Serve(2000, Going);
  EXPECT_TRUE(gbSequenceGoing) << "a transport started elsewhere starts the run";
  Helper("halt");
  Serve(2000, Stopped);
  EXPECT_FALSE(gbSequenceGoing) << "and its stop stops it";

  EXPECT_EQ(Helper("query"), "stopped 0.0 0.0\n") << "no master until asked";
  Command(IDM_SYNC + SYNC_JACK_MASTER);
  Serve(200);
  EXPECT_EQ(Helper("query"), "stopped 120.0 4.0\n") << "the master publishes the tempo and 4 beats a bar";
  Command(IDM_SYNC + SYNC_JACK_MASTER);
  Command(IDM_SYNC + SYNC_JACK_TRANSPORT);
  Serve(200);
  EXPECT_EQ(Helper("query"), "stopped 0.0 0.0\n") << "unchecked, it is master no more";
}
