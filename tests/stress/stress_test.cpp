// Concurrency stress: the real timer thread plays at the fastest step (506 BPM, rel.Beat
// "*12") while the window thread edits the grid (clicks of all three buttons, the cursor
// keys, instrument bar operations, chords, undo) and a second thread floods the input
// device, in MIDI IN undo mode so that every recorded note flips exactly one cell.
//
// The two writers share the percussion words but never a row, so the outcome can be checked
// exactly: the window thread's rows (percussion 2..24 and the whole instrument part) must
// equal a replay of its messages on a quiet pattern, and the input rows (percussion 25..48)
// must hold exactly the flips the input thread observed, each on the step that was playing
// when its note arrived (or the next). After the stop no note may still sound.
//
// Steps: TBX_STRESS_STEPS, else 2000 for the 144-step program and 300 for the others, at
// the real 10 ms a step (the halves of 4 and 5 ms are raised to the 5 ms timer resolution).
// When the platform offers tbxtest::SetRealClockScale the test runs 100 000 steps with the
// clock sped up to about a minute.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "app/app.h"
#include "pattern/pattern.h"
#include "platform/testing.h"
#include "playback/playback.h"

namespace tbxtest {
// Speeds the real clock up by `factor` (test seam of the timer, when it has one).
void SetRealClockScale(double factor) __attribute__((weak));
}  // namespace tbxtest

namespace {

constexpr int kFirstInputRow = 25;  // percussion rows 25..48 belong to the input thread
constexpr int kLastWindowRow = 24;  // percussion rows 2..24 to the window thread

struct Message {
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

int StepsToRun() {
  if (const char* env = std::getenv("TBX_STRESS_STEPS")) return std::max(1, std::atoi(env));
  if (tbxtest::SetRealClockScale) return 100000;
  return 2000;
}

// Client point of the centre of a grid cell.
LPARAM CellPoint(int step, int row) {
  int x = (GRID_LEFT + step) * gcxChar + gcxChar / 2;
  int y = (50 - row) * gcyChar / 2 + gcyChar / 4;
  return MAKELPARAM(x, y);
}

// Steps between two play positions of a loop of `len` steps.
int Ahead(int from, int to, int len) { return ((to - from) % len + len) % len; }

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tbxtest::PlatformReset();
    tbxtest::SetUnexpectedHandler([](const std::string& what) { ADD_FAILURE() << "unexpected: " << what; });
    tbxtest::UseManualClock(false);
    if (tbxtest::SetRealClockScale) tbxtest::SetRealClockScale(16.0);
    tbxtest::SetMidiDevices({"Capture Out"}, {"Loopback In"});
    ResetAllState();
    hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
    ASSERT_NE(hwnd, nullptr);
  }
  void TearDown() override {
    if (gbSequenceGoing) SendMessageA(hwnd, WM_COMMAND, IDM_STOP, 0);
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    tbxtest::PumpMessages();
    if (tbxtest::SetRealClockScale) tbxtest::SetRealClockScale(1.0);
    tbxtest::PlatformReset();
  }

  // Fastest tempo and step: 60000 / 506 = 118 ms a beat, twelve steps a beat.
  void TopSpeed() {
    giTempo = 506;
    gMsecPerBeat = static_cast<int16_t>(60000 / 506);
    SendMessageA(hwnd, WM_COMMAND, IDM_RELBEAT + 9, 0);
    AdjustBeat();
  }

  // One edit of the window thread, chosen by rng; appended to log and sent.
  void Edit(std::mt19937& rng, std::vector<Message>& log) {
    const int step = static_cast<int>(rng() % (STEP_COUNT - 1));
    Message m{};
    switch (rng() % 16) {
      case 0: case 1: case 2: case 3: case 4: {
        // Half of the percussion clicks go to the step playing now, whose words the step
        // clock is landing input in at the same moment.
        const int playing = gIndex;
        const int at = rng() % 2 && playing >= 0 && playing < STEP_COUNT - 1 ? playing : step;
        m = {WM_LBUTTONDOWN, MK_LBUTTON, CellPoint(at, 2 + static_cast<int>(rng() % (kLastWindowRow - 1)))};
        break;
      }
      case 5: case 6: case 7: case 8:
        m = {WM_RBUTTONDOWN, MK_RBUTTON, CellPoint(step, 2 + static_cast<int>(rng() % 47))};
        break;
      case 9:
        m = {WM_MBUTTONDOWN, MK_MBUTTON, CellPoint(step, 2 + static_cast<int>(rng() % (kLastWindowRow - 1)))};
        break;
      default: {
        // A bar or chord key on the column of a click, which it takes back first (while
        // input lands in the same words), or on the next column reached by a cursor key.
        static const char keys[] = "CZI+-*_U0123456789";
        Send(log, {WM_RBUTTONDOWN, MK_RBUTTON, CellPoint(step, 2 + static_cast<int>(rng() % 36))});
        if (rng() % 2) Send(log, {WM_KEYDOWN, VK_RIGHT, 0});
        m = {WM_CHAR, static_cast<WPARAM>(keys[rng() % (sizeof keys - 1)]), 0};
        break;
      }
    }
    Send(log, m);
  }

  void Send(std::vector<Message>& log, const Message& m) {
    log.push_back(m);
    SendMessageA(hwnd, m.msg, m.wParam, m.lParam);
  }

  HWND hwnd = nullptr;
};

// What the input thread saw: a note is sent only for a row with no note in flight, and the
// whole row is compared before and after its landing.
struct InputOutcome {
  std::vector<std::vector<bool>> rows;  // expected cells of rows 25..48 (index row - 25)
  long notes = 0, noise = 0;
  std::vector<std::string> faults;
};

void FloodInput(std::atomic<bool>& quit, InputOutcome& out) {
  const int len = STEP_COUNT;
  const int percCh = gPercCh;
  std::mt19937 rng(7);
  out.rows.assign(48 - kFirstInputRow + 1, std::vector<bool>(len, false));
  auto cell = [](int step, int row) { return CellPerc(step, row) != 0; };
  auto noise = [&] {
    if (gMidiInFill < 64) {  // rows above 48 are taken and dropped; the buffer never fills
      tbxtest::SendMidiInput(0, static_cast<DWORD>(0x90 | percCh | (82 + rng() % 46) << 8 | (1 + rng() % 127) << 16));
      ++out.noise;
    }
  };
  while (gIndex < 0 && !quit) std::this_thread::sleep_for(std::chrono::microseconds(200));
  int nextRow = kFirstInputRow;
  while (!quit && gbSequenceGoing && out.faults.size() < 10) {
    int rows[4];
    for (int& r : rows) {
      r = nextRow;
      nextRow = nextRow == 48 ? kFirstInputRow : nextRow + 1;
    }
    std::vector<std::vector<bool>> before;
    for (int r : rows) {
      std::vector<bool> row(len);
      for (int s = 0; s < len; ++s) row[s] = cell(s, r);
      before.push_back(row);
    }
    const int k1 = gIndex;
    for (int r : rows) {
      tbxtest::SendMidiInput(0, static_cast<DWORD>(0x90 | percCh | (r + 33) << 8 | (1 + rng() % 127) << 16));
      ++out.notes;
    }
    const int k2 = gIndex;
    // The half event of step k2 + 1 has drained the buffer once step k2 + 2 plays.
    while (gbSequenceGoing) {
      int now = gIndex;
      if (now >= 0 && Ahead(k2, now, len) >= 2 && Ahead(k2, now, len) < len / 2) break;
      noise();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (!gbSequenceGoing) break;
    for (int i = 0; i < 4; ++i) {
      const int r = rows[i];
      std::vector<int> flipped;
      for (int s = 0; s < len; ++s)
        if (cell(s, r) != before[i][s]) flipped.push_back(s);
      if (flipped.size() != 1) {
        out.faults.push_back("note of row " + std::to_string(r) + " flipped " + std::to_string(flipped.size()) +
                             " cells");
        continue;
      }
      const int s = flipped[0];
      if (Ahead(k1, s, len) > Ahead(k1, k2, len) + 1)
        out.faults.push_back("note of row " + std::to_string(r) + " landed on step " + std::to_string(s) +
                             ", sent while steps " + std::to_string(k1) + ".." + std::to_string(k2) + " played");
      out.rows[r - kFirstInputRow][s] = !out.rows[r - kFirstInputRow][s];
    }
  }
}

// Every note-on on the output was ended by a note-off, a note-on of velocity 0 or All
// Notes Off on its channel; every message is a complete channel message.
void ExpectSilenceAfterStop() {
  std::set<std::pair<int, int>> sounding;
  size_t malformed = 0;
  for (const auto& m : tbxtest::CapturedMidi()) {
    const int status = m.message & 0xFF, d1 = m.message >> 8 & 0xFF, d2 = m.message >> 16 & 0xFF;
    if (status < 0x80 || status >= 0xF0 || d1 >= 0x80 || d2 >= 0x80) ++malformed;
    const int ch = status & 0x0F;
    if ((status & 0xF0) == 0x90 && d2 > 0) sounding.insert({ch, d1});
    else if ((status & 0xF0) == 0x80 || (status & 0xF0) == 0x90) sounding.erase({ch, d1});
    else if ((status & 0xF0) == 0xB0 && d1 == 123)
      std::erase_if(sounding, [ch](const std::pair<int, int>& n) { return n.first == ch; });
  }
  EXPECT_EQ(malformed, 0u) << "malformed short messages on the output";
  EXPECT_TRUE(sounding.empty()) << sounding.size() << " notes still sound after the stop, e.g. note "
                                << (sounding.empty() ? 0 : sounding.begin()->second);
}

TEST_F(StressTest, EditsAndInputAtTopSpeedLoseNothing) {
  const int steps = StepsToRun();
  TopSpeed();
  ASSERT_EQ(gAdjustedBeat, 9);
  SendMessageA(hwnd, WM_COMMAND, IDM_LOOPUNDO, 0);
  ASSERT_TRUE(gbSequenceGoing);
  ASSERT_EQ(gbMidiUndo, 1);

  std::atomic<bool> quit{false};
  InputOutcome input;
  std::thread flood(FloodInput, std::ref(quit), std::ref(input));

  std::mt19937 rng(2024);
  std::vector<Message> log;
  long played = 0;
  int last = gIndex;
  auto countSteps = [&] {
    int now = gIndex;
    if (now >= 0 && last >= 0) played += Ahead(last, now, STEP_COUNT);
    last = now;
  };
  while (played < steps) {
    Edit(rng, log);
    for (int i = 0; i < 4; ++i) {
      tbxtest::PumpMessages();
      countSteps();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (log.size() % 512 == 0) tbxtest::ClearDrawLog();
  }
  quit = true;
  // The input thread waits for its last notes to land, which needs the window thread to
  // go on serving the drawing the step clock hands it.
  std::atomic<bool> joined{false};
  std::thread joiner([&] {
    flood.join();
    joined = true;
  });
  while (!joined) {
    tbxtest::PumpMessages();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  joiner.join();
  SendMessageA(hwnd, WM_COMMAND, IDM_STOP, 0);
  tbxtest::PumpMessages();

  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);
  EXPECT_EQ(tbxtest::OpenMidiInputs(), 0);
  EXPECT_EQ(tbxtest::PendingTimerEvents(), 0);
  for (const std::string& fault : input.faults) ADD_FAILURE() << fault;
  EXPECT_GT(input.notes, 0);
  ExpectSilenceAfterStop();

  // Input rows: exactly the flips the input thread saw.
  for (int r = kFirstInputRow; r <= 48; ++r)
    for (int s = 0; s < STEP_COUNT; ++s)
      ASSERT_EQ(CellPerc(s, r) != 0, input.rows[r - kFirstInputRow][s]) << "input row " << r << " step " << s;

  // Window rows: a replay of the same messages on a quiet pattern gives the same words.
  TbroRecord live;
  for (int s = 0; s < STEP_SLOTS; ++s) {
    live.PercL[s] = StepGet(gTbro.PercL, s);
    live.VoiceL[s] = StepGet(gTbro.VoiceL, s);
    live.VoiceH[s] = StepGet(gTbro.VoiceH, s);
    live.VoiceXL[s] = StepGet(gTbro.VoiceXL, s);
    live.VoiceXH[s] = StepGet(gTbro.VoiceXH, s);
  }
  DestroyWindow(hwnd);
  tbxtest::PumpMessages();
  tbxtest::UseManualClock(true);
  ResetAllState();
  hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
  ASSERT_NE(hwnd, nullptr);
  TopSpeed();
  for (const Message& m : log) {
    SendMessageA(hwnd, m.msg, m.wParam, m.lParam);
    if (m.msg == WM_CHAR) tbxtest::ClearDrawLog();
  }
  const uint32_t windowRows = ((1u << (kLastWindowRow + 1)) - 1) & ~3u;
  for (int s = 0; s < STEP_SLOTS; ++s) {
    ASSERT_EQ(live.PercL[s] & windowRows, StepGet(gTbro.PercL, s)) << "percussion, step " << s;
    ASSERT_EQ(live.VoiceL[s], StepGet(gTbro.VoiceL, s)) << "VoiceL, step " << s;
    ASSERT_EQ(live.VoiceH[s], StepGet(gTbro.VoiceH, s)) << "VoiceH, step " << s;
    ASSERT_EQ(live.VoiceXL[s], StepGet(gTbro.VoiceXL, s)) << "VoiceXL, step " << s;
    ASSERT_EQ(live.VoiceXH[s], StepGet(gTbro.VoiceXH, s)) << "VoiceXH, step " << s;
  }
  std::printf("[ stress   ] %ld steps, %zu window messages, %ld recorded notes, %ld noise notes\n", played,
              log.size(), input.notes, input.noise);
}

// Undo and redo at the fastest step while a loop records and the window edits: the
// history's copies are never torn by the step clock's landings and take every recorded
// half event exactly once, so the history always ends in the pattern as it is. Undoing
// every step (fewer than the levels kept) then gives the empty pattern the run started
// from, and redoing them all the pattern the run left.
TEST_F(StressTest, UndoAndRedoWhileRecording) {
  TopSpeed();
  SendMessageA(hwnd, WM_COMMAND, IDM_LOOP, 0);
  ASSERT_TRUE(gbSequenceGoing);
  std::atomic<bool> stop{false};
  std::thread flood([&stop] {
    std::mt19937 rng(11);
    const int percCh = gPercCh;
    for (int i = 0; i < 30 && !stop; i++) {
      tbxtest::SendMidiInput(0, static_cast<DWORD>(0x90 | percCh | (35 + rng() % 47) << 8 | 100 << 16));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::mt19937 rng(5);
  std::vector<Message> log;
  int edits = 0;  // at most 60 steps of edits and 30 of notes: fewer than the levels kept
  for (int i = 0; i < 150; i++) {
    const unsigned pick = edits < 60 ? rng() % 20 : 7 + rng() % 6;
    if (pick < 7) edits++;
    if (pick < 5) Send(log, {WM_LBUTTONDOWN, MK_LBUTTON, CellPoint(static_cast<int>(rng() % 16), 2 + static_cast<int>(rng() % 47))});
    else if (pick < 7) Send(log, {WM_CHAR, static_cast<WPARAM>("KILR+4U"[rng() % 7]), 0});
    else if (pick < 11) Send(log, {WM_COMMAND, IDM_UNDO, 0});
    else if (pick < 13) Send(log, {WM_COMMAND, IDM_REDO, 0});
    tbxtest::PumpMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(4));
  }
  stop = true;
  flood.join();
  for (int i = 0; i < 20; i++) {  // the last notes land
    tbxtest::PumpMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  SendMessageA(hwnd, WM_COMMAND, IDM_STOP, 0);
  tbxtest::PumpMessages();

  PatternState end;
  TakePatternState(&end);
  int undone = 0;
  while (HistoryUndo()) undone++;
  ASSERT_GT(undone, 0);
  ASSERT_LT(undone, static_cast<int>(HISTORY_LEVELS));
  PatternState start{}, now;
  start.loopEnd = static_cast<int16_t>(STEP_COUNT);
  TakePatternState(&now);
  ASSERT_EQ(std::memcmp(&now, &start, sizeof now), 0) << "undoing every step leaves notes behind";
  for (int i = 0; i < undone; i++) ASSERT_TRUE(HistoryRedo());
  TakePatternState(&now);
  EXPECT_EQ(std::memcmp(&now, &end, sizeof now), 0);
  std::printf("[ stress   ] %zu window messages, %d steps of history\n", log.size(), undone);
}

}  // namespace
