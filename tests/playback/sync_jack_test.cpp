// Playing in time through a JACK server, run by tests/e2e/jack_sync.sh (skipped otherwise):
// the script starts a private jackd with the dummy driver (48 kHz, 256 frames a period), a
// MIDI monitor with absolute frame times (jack_midi_dump -a, client "tbxframes", its output
// in TBX_JACK_FRAMES) and builds TBX_JACK_SYNC_HELPER (tests/e2e/jack_sync_helper.c): a
// clock source, a transport remote, and a transport reader that can be timebase master. The
// program runs on the real timer, with the real device table (the synth, the own ports), its
// window on the headless display. Frames of a run are the server's: a note the program sends
// sounds one constant latency (a period + 2 ms) after the time it is due.
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
#include "tests/files/scratch.h"
#include "tests/platform/jack_support.h"

namespace {

constexpr long kPeriod = 256;                 // frames of a cycle (jack_sync.sh)
constexpr long kLatency = kPeriod + 96;       // the output's constant latency: a period + 2 ms
constexpr long kMs = 48;                      // frames in a millisecond
constexpr int64_t kLateNs = 1500000;          // handed to the output this late: maybe off its frame

/* F8s sent and how late each was handed to the output after its due time (ns). */
constexpr int kMaxClocks = 20000;
int64_t gClockLate[kMaxClocks];
std::atomic<int> gClocksSent{0};

void RecordClock(int, uint32_t message, int64_t dueNs) {
  if ((message & 0xFF) != 0xF8) return;
  const int i = gClocksSent.fetch_add(1);
  if (i < kMaxClocks) gClockLate[i] = MidiSteadyNs() - dueNs;
}

/* The same for the percussion note-ons of the steps, in the order sent. */
int64_t gNoteLate[kMaxClocks];
std::atomic<int> gNotesSent{0};

void RecordNote(int, uint32_t message, int64_t dueNs) {
  if ((message & 0xFF) != 0x99 || ((message >> 16) & 0x7F) == 0) return;
  const int i = gNotesSent.fetch_add(1);
  if (i < kMaxClocks) gNoteLate[i] = MidiSteadyNs() - dueNs;
}

bool NoteLate(size_t i) { return i < size_t(kMaxClocks) && gNoteLate[i] > kLateNs; }

/* Whether the server reported an xrun between frames `a` and `b`, or in the second before:
** an xrun moves the server's frames off the wall clock by the time it lost, and JACK's frame
** times settle on their new line over some hundred milliseconds after it (the frame it
** reports is its estimate when the notification ran, so two cycles before `a` count too).
** Intervals there are no measure of the program. */
bool NearXrun(const std::vector<long>& xruns, long a, long b) {
  for (long x : xruns)
    if (x >= std::min(a, b) - 48000 && x <= std::max(a, b) + 2 * kPeriod) return true;
  return false;
}

/* A measurement the server broke with an xrun (it may also have lost a cycle's messages on
** the way to the watcher or to the program) is taken again, up to kAttempts times in all. */
constexpr int kAttempts = 3;
bool MeasureAgain(const std::vector<long>& xruns, int attempt, const char* what) {
  if (xruns.empty() || attempt >= kAttempts) return false;
  std::printf("%s: the server reported %zu xruns, measured again\n", what, xruns.size());
  return true;
}

/* Messages the own output port placed after their frame since `*mark` (the step clock handed
** them over late, or the server ran a cycle late), and the mark moved on. A note off its frame
** is excused by one of them: the machine, not the program, moved it. */
int MissedSince(uint32_t* mark) {
  const uint32_t now = JackMissedFrames(), missed = now - *mark;
  *mark = now;
  return int(missed);
}

/* A transport reader (and master) of the helper, with the own output port patched to it: its
** lines "roll FRAME POS", "stop FRAME", "beat FRAME BEAT", "note FRAME" and "clock FRAME",
** read back from its file (frames of the server, where the frame monitor counts from its own
** start and loses a cycle it does not run). */
class Watcher {
 public:
  /* `master`: "BPM [hold]" for a master too (jack_sync_helper.c). */
  explicit Watcher(const std::string& master = "") {
    pipe_ = popen((Env("TBX_JACK_SYNC_HELPER") + " watch " + dir_("watch.txt") + " " + master + " >/dev/null").c_str(),
                  "w");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Sh("jack_connect Tamborix:midi_out tbxwatch:in");
  }
  ~Watcher() { Say("quit"); pclose(pipe_); }
  void Say(const char* line) {
    std::fputs(line, pipe_);
    std::fputc('\n', pipe_);
    std::fflush(pipe_);
  }
  struct Line {
    std::string kind;
    long frame;
    double value;
  };
  std::vector<Line> Read() const {
    std::vector<Line> out;
    std::ifstream in(dir_("watch.txt"));
    Line l;
    while (in >> l.kind >> l.frame) {
      l.value = 0;
      if (l.kind == "roll" || l.kind == "beat") in >> l.value;
      out.push_back(l);
    }
    return out;
  }
  /* The frames of the lines of `kind` from line `from` on. */
  std::vector<long> Frames(const char* kind, size_t from = 0) const {
    std::vector<long> out;
    const std::vector<Line> lines = Read();
    for (size_t i = from; i < lines.size(); i++)
      if (lines[i].kind == kind) out.push_back(lines[i].frame);
    return out;
  }

 private:
  ScratchDir dir_;
  FILE* pipe_ = nullptr;
};

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
    gNotesSent = 0;
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
  static int Seconds() {
    return Env("TBX_SYNC_SECONDS").empty() ? 3 : std::max(1, std::atoi(Env("TBX_SYNC_SECONDS").c_str()));
  }
  /* rel.Beat "* 4" at 120 BPM, a side stick on every step, sent to the own output port, each
  ** note-on's hand-over recorded. */
  void SideStickOnTheOwnPort() {
    Command(IDM_RELBEAT + 5);
    for (int s = 0; s < STEP_COUNT; s++) CellTogglePerc(s, 4);
    for (UINT i = 0; i < midiOutGetNumDevs(); i++) {
      MIDIOUTCAPSA caps;
      if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && std::string(caps.szPname) == "Tamborix MIDI Out")
        Command(IDM_MIDIOUT + i);
    }
    ASSERT_EQ(gMidiOutPort, 1) << "the own output port is chosen";
    MidiSetSendObserver(RecordNote);
  }
  static std::string Tempo() {
    char tempo[16] = "";
    GetWindowTextA(gHwndTEMPO, tempo, sizeof tempo);
    return tempo;
  }
  std::string Caption() const {
    char caption[400] = "";
    GetWindowTextA(hwnd, caption, sizeof caption);
    return caption;
  }
  HWND hwnd = nullptr;
};

bool Going() { return gbSequenceGoing != 0; }
bool Stopped() { return gbSequenceGoing == 0; }

long Median(std::vector<long> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

TEST_F(PlaybackJackSync, ClockOnTheOwnPortKeepsItsFrames) {
  // 120 BPM, the synth chosen: the clock leaves on the own output port, one every 1000
  // frames at 48 kHz. Each interval is off by at most 0.1 ms (4.8 frames) unless the timer
  // handed the clock over late (more than 1.5 ms: the constant latency is a period + 2 ms)
  // or the server ran late around it (an xrun moves its frames off the wall clock), and the
  // clocks keep to one line of the tempo's slope (no drift).
  const int seconds = Seconds();
  Command(IDM_SYNC + SYNC_SEND_CLOCK);
  for (int attempt = 1;; attempt++) {
    Watcher watch;
    const std::streamoff seen = std::ifstream(Env("TBX_JACK_FRAMES"), std::ios::ate).tellg();   // earlier attempts
    Sh("jack_connect Tamborix:midi_out tbxframes:input");
    gClocksSent = 0;
    MidiSetSendObserver(RecordClock);
    Command(IDM_LOOP);
    ASSERT_TRUE(gbSequenceGoing);
    Serve(seconds * 1000 + 600);
    Command(IDM_STOP);
    MidiSetSendObserver(nullptr);
    const int sent = std::min(gClocksSent.load(), kMaxClocks);
    std::vector<std::string> order;   // Start, clocks, Stop, as the frame monitor saw them
    for (int i = 0; i < 100; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      order.clear();
      std::ifstream in(Env("TBX_JACK_FRAMES"));
      in.seekg(std::max<std::streamoff>(seen, 0));
      std::string line;
      while (std::getline(in, line)) {
        const size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        const std::string bytes = line.substr(colon + 2, 2);
        if (bytes == "fa" || bytes == "fc" || (bytes == "f8" && (order.empty() || order.back() != "f8")))
          order.push_back(bytes);
      }
      if (!order.empty() && order.back() == "fc") break;
    }
    Sh("jack_disconnect Tamborix:midi_out tbxframes:input");
    EXPECT_EQ(order, (std::vector<std::string>{"fa", "f8", "fc"}));
    const std::vector<long> frames = watch.Frames("clock"), xruns = watch.Frames("xrun");
    if (MeasureAgain(xruns, attempt, "clock out")) continue;
    ASSERT_EQ(int(frames.size()), sent) << "every clock sent reached the port";
    ASSERT_GE(frames.size(), size_t(48 * seconds));

    std::vector<long> sorted;
    for (size_t i = 1; i < frames.size(); i++) sorted.push_back(frames[i] - frames[i - 1]);
    std::sort(sorted.begin(), sorted.end());
    const long median = sorted[sorted.size() / 2];
    EXPECT_NEAR(median, 1000, 10) << "20.833 ms of the server's clock";
    int off = 0, late = 0, xrun = 0;
    double worst = 0;
    std::string offs;
    for (size_t i = 1; i < frames.size(); i++) {
      const double dev = std::fabs(double(frames[i] - frames[i - 1]) - 1000.0) / 48.0;   // ms
      const bool server = NearXrun(xruns, frames[i - 1], frames[i]);
      const bool excused = server || gClockLate[i] > kLateNs || gClockLate[i - 1] > kLateNs;
      late += gClockLate[i] > kLateNs;
      xrun += server;
      if (!excused) worst = std::max(worst, dev);
      if (!excused && dev > 0.1) {
        off++;
        offs += " " + std::to_string(i) + ":" + std::to_string(frames[i] - frames[i - 1]);
      }
    }
    std::printf("clock out: %zu clocks, median interval %ld frames, worst deviation %.3f ms (on time), %d late, "
                "%zu xruns (%d intervals)\n", frames.size(), median, worst, late, xruns.size(), xrun);
    EXPECT_EQ(off, 0) << "worst " << worst << " ms:" << offs;
    EXPECT_LE(late + xrun, int(frames.size()) / 10) << "the machine is too busy to tell";
    // One line of the tempo's slope where no xrun broke it.
    if (xruns.empty()) {
      const double span = double(frames.back() - frames.front()) / double(frames.size() - 1);
      EXPECT_NEAR(span, double(median), 1.0) << "the clocks keep to one straight line";
    }
    break;
  }
}

TEST_F(PlaybackJackSync, FollowsAClockOnItsFrames) {
  // Start, then 8 beats at 100 BPM and 8 at 150, every clock on its exact frame, into the own
  // input port; rel.Beat "* 4": a step every six clocks. Every step sounds one constant
  // latency after the frame of its clock (spread at most 1 ms), so the step after the change
  // lasts exactly its six clocks; Start starts the run, Stop stops it, the read-out follows.
  SideStickOnTheOwnPort();
  Command(IDM_SYNC + SYNC_FOLLOW_CLOCK);
  ASSERT_TRUE(gbMidiInOpen) << "the own input port listens for a Start";
  for (int attempt = 1;; attempt++) {
    Watcher watch;
    gNotesSent = 0;
    FILE* source = popen((Env("TBX_JACK_SYNC_HELPER") + " clock >/dev/null").c_str(), "w");
    ASSERT_NE(source, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Sh("jack_connect tbxclock:out Tamborix:midi_in");
    Sh("jack_connect tbxclock:out tbxwatch:in");
    uint32_t missedMark = JackMissedFrames();
    std::fputs("start 100 192 150\n", source);
    std::fflush(source);
    Serve(2000, Going);
    ASSERT_TRUE(gbSequenceGoing) << "the clock's Start started the run";
    const int steps = Serve(4800 + 3200 + 300);
    const std::string tempo = Tempo();   // a clock lost in an xrun shows 149
    EXPECT_FALSE(IsWindowEnabled(gHwndBPMScroll));
    std::fputs("stop\n", source);
    std::fflush(source);
    Serve(2000, Stopped);
    EXPECT_FALSE(gbSequenceGoing) << "the clock's Stop stopped the run";
    std::fputs("quit\n", source);
    pclose(source);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const std::vector<long> clocks = watch.Frames("clock"), notes = watch.Frames("note");
    if (MeasureAgain(watch.Frames("xrun"), attempt, "clock in")) continue;
    EXPECT_EQ(tempo, "150");
    ASSERT_GE(notes.size(), 60u) << steps << " steps posted";
    ASSERT_GE(clocks.size(), 6 * notes.size() - 5);
    // The first clock at 150 BPM (800 frames after the one before, where 100 BPM gave 1200): the
    // first of three such intervals, as a source that missed a cycle sends one clock late.
    size_t change = 1;
    while (change + 3 < clocks.size() &&
           !(clocks[change] - clocks[change - 1] < 1000 && clocks[change + 2] - clocks[change - 1] < 3000))
      change++;
    ASSERT_LT(change + 3, clocks.size()) << "the tempo changed";
    std::vector<long> after;
    long lo = LONG_MAX, hi = LONG_MIN;
    int late = 0, off = 0;
    std::string offs;   // step: frames after its clock
    for (size_t j = 0; j < notes.size() && 6 * j < clocks.size(); j++) {
      after.push_back(notes[j] - clocks[6 * j]);
      if (NoteLate(j)) {
        late++;
      } else if (std::labs(after.back() - kLatency) > kMs / 2) {
        off++;
        offs += " " + std::to_string(j) + ":" + std::to_string(after.back());
      } else {
        lo = std::min(lo, after.back());
        hi = std::max(hi, after.back());
      }
    }
    const int missed = MissedSince(&missedMark);
    const size_t first = (change + 5) / 6;   // the first step all of whose clocks are at 150
    ASSERT_LT(first + 1, after.size());
    std::printf("clock in: %zu steps, note - clock %ld..%ld frames (spread %.2f ms), %d off that, step after the "
                "change %ld frames for %ld of clocks, %d late, %d placed late\n",
                after.size(), lo, hi, double(hi - lo) / kMs, off, notes[first + 1] - notes[first],
                clocks[6 * first + 6] - clocks[6 * first], late, missed);
    EXPECT_LE(hi - lo, kMs) << "every step one constant latency after its clock";
    EXPECT_LE(off, missed) << "a step off it only where the output placed one late:" << offs;
    EXPECT_NEAR(double(Median(after)), double(kLatency), double(kMs)) << "that latency is the output's";
    if (!NoteLate(first) && !NoteLate(first + 1) && missed == 0) {
      EXPECT_NEAR(double(notes[first + 1] - notes[first]), double(clocks[6 * first + 6] - clocks[6 * first]), 1.0)
          << "the step after the change lasts its six clocks";
    }
    EXPECT_LE(std::max(late, missed), int(after.size()) / 10) << "the machine is too busy to tell";
    break;
  }
}

TEST_F(PlaybackJackSync, MasterPublishesItsOwnGrid) {
  // As timebase master at 120 BPM "* 4", 16 steps (4 beats) a bar: a run from the beginning
  // moves the transport to frame 0 and its first step is 1|1|0; every beat the transport
  // publishes has the note of its step within a period (in fact within a frame or two), from
  // the first Play, across Stop and Continue (the transport goes on where it stood, and so
  // does the count of beats), and at a second Play.
  SideStickOnTheOwnPort();
  Command(IDM_BEATSPBAR + 16);
  Helper("halt");
  Watcher watch;
  Command(IDM_SYNC + SYNC_JACK_TRANSPORT);
  Command(IDM_SYNC + SYNC_JACK_MASTER);
  Serve(200);
  struct Run {
    UINT command;
    bool fromTheBeginning;
  } const runs[] = {{IDM_LOOP, true}, {IDM_CONTINUE, false}, {IDM_LOOP, true}};
  double lastBeat = -1;
  for (const Run& run : runs) {
    SCOPED_TRACE(run.fromTheBeginning ? "Play" : "Continue");
    const size_t watched = watch.Read().size(), sent = gNotesSent;
    uint32_t missedMark = JackMissedFrames();
    Command(run.command);
    ASSERT_TRUE(gbSequenceGoing);
    Serve(Seconds() * 1000);
    Command(IDM_STOP);
    Serve(500);
    const std::vector<long> notes = watch.Frames("note", watched), xruns = watch.Frames("xrun", watched);
    std::vector<Watcher::Line> lines = watch.Read();
    lines.erase(lines.begin(), lines.begin() + long(watched));
    ASSERT_GE(notes.size(), size_t(8 * Seconds() - 2));
    lines.erase(std::remove_if(lines.begin(), lines.end(), [](const Watcher::Line& l) { return l.kind == "note"; }),
                lines.end());
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ(lines.front().kind, "roll");
    if (run.fromTheBeginning) {
      EXPECT_EQ(lines.front().value, 0) << "the transport was moved to its frame 0";
    } else {
      EXPECT_GT(lines.front().value, 0) << "Continue goes on where the transport stood";
    }
    long worst = 0;
    int beats = 0, late = 0, off = 0, moved = 0;
    const int missed = MissedSince(&missedMark);
    for (const Watcher::Line& l : lines) {
      if (l.kind != "beat" || l.frame < notes.front() - kPeriod || l.frame > notes.back() + kPeriod) continue;
      const auto near = std::min_element(notes.begin(), notes.end(),
                                         [&](long a, long b) { return std::labs(a - l.frame) < std::labs(b - l.frame); });
      if (NoteLate(sent + size_t(near - notes.begin()))) {
        late++;
        continue;
      }
      if (near == notes.begin()) {
        if (run.fromTheBeginning) {
          EXPECT_EQ(l.value, 0) << "the first step is 1|1|0";
        } else {
          EXPECT_GT(l.value, lastBeat) << "the count goes on";
        }
      }
      if (std::labs(*near - l.frame) > kPeriod && NearXrun(xruns, *near, l.frame)) {
        moved++;   // the server moved its frames off the wall clock there
      } else if (std::labs(*near - l.frame) > kPeriod) {
        off++;
      } else {
        worst = std::max(worst, std::labs(*near - l.frame));
      }
      lastBeat = l.value;
      beats++;
    }
    std::printf("master: %s, %d beats published, worst note - beat %ld frames (%.2f ms), %d further off, %d moved "
                "by the server's %zu xruns, %d late, %d placed late\n",
                run.fromTheBeginning ? "Play" : "Continue", beats, worst, double(worst) / kMs, off, moved, xruns.size(),
                late, missed);
    EXPECT_GE(beats + off + late, 2 * Seconds() - 2) << "a beat published every half second";
    EXPECT_LE(off, missed) << "each beat's note within a period of the published beat";
    EXPECT_LE(std::max(late, missed), std::max(1, (beats + late) / 10)) << "the machine is too busy to tell";
  }
}

TEST_F(PlaybackJackSync, FollowsAnotherMastersTransport) {
  // Another program is timebase master: one without bar and beat, then one at 150 BPM. A
  // run started by the transport (or by Play, waiting meanwhile for a start the master holds
  // back) puts its first step on the transport's start, within a period after the constant
  // latency; with the master's tempo every step keeps to its beats (no drift), the read-out
  // shows that tempo and the tempo bar is disabled; without, the program keeps its own.
  SideStickOnTheOwnPort();
  Command(IDM_SYNC + SYNC_JACK_TRANSPORT);
  struct Case {
    int bpm;               // the master's; 0: it publishes no bar and beat
    bool byPlay;           // started by Play while the master holds the start back
    const char* tempo;     // the read-out while the run follows
    long step;             // frames of a step
  } const cases[] = {{0, false, "120", 6000}, {150, true, "150", 4800}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bpm);
    for (int attempt = 1;; attempt++) {
      Helper("halt");
      Serve(300, Stopped);
      Watcher master(std::to_string(c.bpm) + (c.byPlay ? " hold" : ""));
      Serve(300);
      EXPECT_EQ(Tempo(), c.tempo);
      EXPECT_EQ(IsWindowEnabled(gHwndBPMScroll) != 0, c.bpm == 0) << "the tempo bar";
      const size_t sent = gNotesSent;
      uint32_t missedMark = JackMissedFrames();
      if (c.byPlay) {
        Command(IDM_LOOP);
        Serve(400);
        EXPECT_TRUE(gbSequenceGoing);
        EXPECT_EQ(Tempo(), "ext") << "the run waits for the transport";
        EXPECT_NE(Caption().find("waiting for JACK transport"), std::string::npos) << Caption();
        master.Say("go");
      } else {
        Helper("roll");
      }
      Serve(2000, Going);
      ASSERT_TRUE(gbSequenceGoing) << "the transport started the run";
      Serve(Seconds() * 1000);
      EXPECT_EQ(Tempo(), c.tempo);
      EXPECT_EQ(Caption().find("waiting"), std::string::npos) << Caption();
      Helper("halt");
      Serve(2000, Stopped);
      EXPECT_FALSE(gbSequenceGoing) << "and its stop stopped it";
      Serve(300);
      const std::vector<long> notes = master.Frames("note");
      if (MeasureAgain(master.Frames("xrun"), attempt, "transport followed")) continue;
      long rolled = -1;
      for (const Watcher::Line& l : master.Read())
        if (l.kind == "roll") rolled = l.frame;
      ASSERT_GE(rolled, 0);
      ASSERT_GE(notes.size(), size_t(8 * Seconds() - 2));
      // Frames of each step after its place on the master's grid from the start: j steps after
      // it, one constant latency later. Without the master's tempo the steps keep the program's
      // own, on its own clock.
      const int missed = MissedSince(&missedMark);
      const long first = notes.front() - rolled - kLatency;
      long lo = LONG_MAX, hi = LONG_MIN;
      int late = 0, off = 0;
      std::vector<long> steps;
      for (size_t j = 1; j < notes.size(); j++) {
        steps.push_back(notes[j] - notes[j - 1]);
        const long grid = notes[j] - (rolled + kLatency + long(j) * c.step);
        if (NoteLate(sent + j)) {
          late++;
        } else if (c.bpm && std::labs(grid) > 2) {
          off++;
        } else {
          lo = std::min(lo, grid);
          hi = std::max(hi, grid);
        }
      }
      std::printf("transport followed (%d BPM): first step %ld frames after the start + latency%s, later steps "
                  "%ld..%ld frames off the grid, %d further off, median step %ld frames, %d late, %d placed late\n",
                  c.bpm, first, NoteLate(sent) ? " (handed over late)" : "", lo, hi, off, Median(steps), late, missed);
      if (!NoteLate(sent) && missed == 0) {
        EXPECT_GE(first, -1) << "the first step on the transport's start";
        EXPECT_LE(first, kPeriod);
      }
      if (c.bpm) {
        EXPECT_LE(off, missed) << "on the master's beats to a frame or two, no drift";
      } else {
        EXPECT_NEAR(double(Median(steps)), double(c.step), double(kMs)) << "the program's own tempo";
      }
      EXPECT_LE(std::max(late, missed), int(notes.size()) / 10) << "the machine is too busy to tell";
      break;
    }
  }
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
