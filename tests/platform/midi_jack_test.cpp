// Real MIDI through a JACK server, run by tests/e2e/jack_midi.sh (skipped otherwise): the
// script starts a private jackd with the dummy driver (48 kHz, 256 frames a period), two
// MIDI monitors (jack_midi_dump) whose output it writes to TBX_JACK_DUMP and, with absolute
// frame times, TBX_JACK_FRAMES, and a looping sequencer (jack_midiseq); with no other sound
// system there, the built-in synth plays into that server. The devices are found by their
// names in the enumerated table and driven through the Win32 calls; connections are made
// and read from outside, with jack_connect and jack_lsp, as a patchbay would.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "pattern/pattern.h"
#include "platform/midi/midi_internal.h"
#include "platform/midi/synth_render.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "tests/files/scratch.h"
#include "tests/platform/jack_support.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

/* Whether jack_lsp -c lists a connection from port `from` to port `to`. */
bool Connected(const std::string& from, const std::string& to) {
  std::istringstream lines(Sh("jack_lsp -c"));
  std::string line, port;
  while (std::getline(lines, line)) {
    if (line.rfind("   ", 0) != 0) port = line;
    else if (port == from && line.substr(3) == to) return true;
  }
  return false;
}

bool HasPort(const std::string& name) {
  std::istringstream lines(Sh("jack_lsp"));
  std::string line;
  while (std::getline(lines, line))
    if (line == name) return true;
  return false;
}

std::atomic<DWORD> gJackIn{0};
std::atomic<int> gJackInCount{0};
void CALLBACK JackInProc(HMIDIIN, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR) {
  if (msg != MIM_DATA) return;
  gJackIn = static_cast<DWORD>(p1);
  gJackInCount++;
}

class MidiInJack : public ::testing::Test {
 protected:
  /* Opens the synth (output 0), the own output port (output 1) and the own input port
  ** (input 0, started, calling JackInProc). */
  static void OpenOwnDevices(HMIDIOUT* synth, HMIDIOUT* out, HMIDIIN* in) {
    ASSERT_EQ(midiOutOpen(synth, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    ASSERT_EQ(midiOutOpen(out, 1, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    ASSERT_EQ(midiInOpen(in, 0, reinterpret_cast<DWORD_PTR>(JackInProc), 0, CALLBACK_FUNCTION),
              static_cast<MMRESULT>(MMSYSERR_NOERROR));
    midiInStart(*in);
  }

  void SetUp() override {
    if (Env("TBX_JACK_E2E") != "1") GTEST_SKIP() << "run by tests/e2e/jack_midi.sh";
    tbxtest::PlatformReset();
    tbxtest::UseManualClock(false);
  }
  void TearDown() override { tbxtest::PlatformReset(); }

  /* Index of the output (or input) device whose product name is `name`; -1 when none. */
  static int FindOut(const std::string& name) {
    for (UINT i = 0; i < midiOutGetNumDevs(); i++) {
      MIDIOUTCAPSA caps;
      if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && name == caps.szPname)
        return static_cast<int>(i);
    }
    return -1;
  }
  static int FindIn(const std::string& name) {
    for (UINT i = 0; i < midiInGetNumDevs(); i++) {
      MIDIINCAPSA caps;
      if (midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && name == caps.szPname)
        return static_cast<int>(i);
    }
    return -1;
  }
};

TEST_F(MidiInJack, NoteSentThroughMidiOutShortMsgReachesAJackPort) {
  const std::string sink = Env("TBX_JACK_SINK");
  Sh("jack_disconnect Tamborix:midi_out " + sink);
  int dev = FindOut(sink);
  ASSERT_GE(dev, 0) << "the JACK monitor's input port is listed among the outputs";
  EXPECT_FALSE(Connected("Tamborix:midi_out", sink));
  HMIDIOUT h = nullptr;
  ASSERT_EQ(midiOutOpen(&h, static_cast<UINT>(dev), 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_TRUE(Connected("Tamborix:midi_out", sink)) << "choosing a port connects the own output port to it";
  EXPECT_EQ(midiOutShortMsg(h, 0x5B2A99), static_cast<MMRESULT>(MMSYSERR_NOERROR));   // note on 42, vel 91, ch 10
  EXPECT_EQ(midiOutShortMsg(h, 0x0015C3), static_cast<MMRESULT>(MMSYSERR_NOERROR));   // program 21, ch 4
  EXPECT_EQ(midiOutShortMsg(h, 0x002A89), static_cast<MMRESULT>(MMSYSERR_NOERROR));   // note off
  bool seen = false;
  for (int i = 0; i < 100 && !seen; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream dump(Env("TBX_JACK_DUMP"));
    std::stringstream text;
    text << dump.rdbuf();
    seen = text.str().find("99 2a 5b") != std::string::npos && text.str().find("c3 15") != std::string::npos &&
           text.str().find("89 2a 00") != std::string::npos;
  }
  EXPECT_EQ(midiOutClose(h), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_TRUE(seen) << "the monitor received note on, program change (2 bytes) and note off";
  EXPECT_FALSE(Connected("Tamborix:midi_out", sink)) << "the connection lasts as long as the run";
  EXPECT_TRUE(HasPort("Tamborix:midi_out")) << "the port stays";
}

TEST_F(MidiInJack, BuiltInSynthOpensWithJackAudioAndPrintsNothing) {
  // No PulseAudio or ALSA device here: the synth's audio goes to the JACK server.
  MIDIOUTCAPSA caps;
  ASSERT_EQ(midiOutGetDevCapsA(0, &caps, sizeof caps), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  ASSERT_STREQ(caps.szPname, "Tamborix GM Synth");
  testing::internal::CaptureStderr();
  HMIDIOUT h = nullptr;
  MMRESULT opened = midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL);
  if (opened == MMSYSERR_NOERROR) {
    midiOutShortMsg(h, 0x0000C0);
    midiOutShortMsg(h, 0x643C90);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    midiOutShortMsg(h, 0x003C80);
    midiOutClose(h);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(opened, static_cast<MMRESULT>(MMSYSERR_NOERROR));

  // A soundfont that is a file but cannot be loaded (a truncated one) left the live synth
  // without any: it keeps the one it plays, and neither FluidSynth nor GLib say a word.
  ScratchDir scratch;
  const std::string installed = SynthSoundfontPath();
  Bytes cut = ReadAll(installed);
  cut.resize(cut.size() / 8);
  WriteAll(scratch("cut.sf2"), cut);
  testing::internal::CaptureStderr();
  HMIDIOUT synth = reinterpret_cast<HMIDIOUT>(static_cast<UINT_PTR>(0));
  EXPECT_EQ(midiOutMessage(synth, TBXM_SETSOUNDFONT, reinterpret_cast<DWORD_PTR>(scratch("cut.sf2").c_str()), 0),
            static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
  EXPECT_EQ(SynthSoundfontPath(), installed);
  EXPECT_EQ(midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR)) << "it still plays";
  midiOutClose(h);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(MidiInJack, InputFromAJackPortReachesTheCallback) {
  const std::string source = Env("TBX_JACK_SOURCE");
  Sh("jack_disconnect " + source + " Tamborix:midi_in");
  int dev = FindIn(source);
  ASSERT_GE(dev, 1) << "the JACK sequencer's output port is listed among the inputs, after the own port";
  HMIDIIN h = nullptr;
  ASSERT_EQ(midiInOpen(&h, static_cast<UINT>(dev), reinterpret_cast<DWORD_PTR>(JackInProc), 0,
                       CALLBACK_FUNCTION | MIDI_IO_STATUS),
            static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_TRUE(Connected(source, "Tamborix:midi_in")) << "choosing a port connects it to the own input port";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(gJackInCount.load(), 0) << "nothing is delivered before midiInStart";
  midiInStart(h);
  for (int i = 0; i < 150 && gJackInCount.load() == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(midiInClose(h), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  int count = gJackInCount.load();
  ASSERT_GT(count, 0);
  DWORD status = gJackIn.load() & 0xFF;
  EXPECT_TRUE(status == 0x80 || status == 0x90) << "note on or off on channel 1, got " << status;
  EXPECT_EQ((gJackIn.load() >> 8) & 0xFF, 60u) << "the sequencer plays note 60";
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(gJackInCount.load(), count) << "nothing arrives after midiInClose";
  EXPECT_FALSE(Connected(source, "Tamborix:midi_in"));
}

/* ------------------------------------------------------------------ the own client */

TEST_F(MidiInJack, TheOwnClientAndWhatIsPatchedToItOutliveEveryRun) {
  const std::string sink = Env("TBX_JACK_SINK"), source = Env("TBX_JACK_SOURCE");
  ASSERT_GE(midiOutGetNumDevs(), 3u);
  EXPECT_EQ(FindOut("Tamborix GM Synth"), 0);
  EXPECT_EQ(FindOut("Tamborix MIDI Out"), 1) << "the own output port right after the synth";
  EXPECT_EQ(FindIn("Tamborix MIDI In"), 0) << "the own input port first";
  for (const char* port : {"Tamborix:midi_out", "Tamborix:midi_in", "Tamborix:synth_L", "Tamborix:synth_R"})
    EXPECT_TRUE(HasPort(port)) << port << " exists while stopped";
  EXPECT_TRUE(Connected("Tamborix:synth_L", "system:playback_1")) << "the synth is heard at once";

  // A patchbay's connections, made while stopped.
  Sh("jack_connect Tamborix:midi_out " + sink);
  Sh("jack_connect " + source + " Tamborix:midi_in");
  Sh("jack_connect Tamborix:synth_L system:playback_2");
  for (int run = 0; run < 2; run++) {
    gJackInCount = 0;
    HMIDIOUT out = nullptr, synth = nullptr;
    HMIDIIN in = nullptr;
    ASSERT_NO_FATAL_FAILURE(OpenOwnDevices(&synth, &out, &in));
    midiOutShortMsg(out, 0x6A2B99 + run * 0x100);   // note 43, then 44
    midiOutShortMsg(synth, 0x642599);
    for (int i = 0; i < 150 && gJackInCount.load() == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(gJackInCount.load(), 0) << "run " << run << ": the patched sequencer reaches the own input";
    midiInClose(in);
    midiOutClose(synth);
    midiOutClose(out);
  }
  std::string dump;
  for (int i = 0; i < 100; i++) {
    dump = ReadFile(Env("TBX_JACK_DUMP"));
    if (dump.find("99 2c 6a") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(dump.find("99 2b 6a"), std::string::npos) << "run 0 reached what is patched to the own output";
  EXPECT_NE(dump.find("99 2c 6a"), std::string::npos) << "and so did run 1";

  // Choosing the port that is patched already leaves the patch in place at the close.
  HMIDIOUT h = nullptr;
  ASSERT_EQ(midiOutOpen(&h, static_cast<UINT>(FindOut(sink)), 0, 0, CALLBACK_NULL),
            static_cast<MMRESULT>(MMSYSERR_NOERROR));
  midiOutClose(h);

  EXPECT_TRUE(Connected("Tamborix:midi_out", sink));
  EXPECT_TRUE(Connected(source, "Tamborix:midi_in"));
  EXPECT_TRUE(Connected("Tamborix:synth_L", "system:playback_2")) << "the synth kept its client and connections";
  EXPECT_TRUE(Connected("Tamborix:synth_L", "system:playback_1"));
  Sh("jack_disconnect Tamborix:midi_out " + sink);
  Sh("jack_disconnect " + source + " Tamborix:midi_in");
}

TEST_F(MidiInJack, WithTheOwnPortsTheProgramStartsWithoutTheNoMidiInBox) {
  ResetAllState();
  HWND hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty()) << tbxtest::MessageBoxes().front().text;
  EXPECT_GE(giNumDevs, 1u) << "the own input port is an input device";
  EXPECT_EQ(gMidiOutPort.load(), 0) << "the synth plays by default";
  DestroyWindow(hwnd);
  tbxtest::PumpMessages();
}

/* ------------------------------------------------------------------ ports that come and go */

TEST_F(MidiInJack, APortThatGoesAwayDuringARunIsConnectedAgainWhenItComesBack) {
  const std::string dump = Env("TBX_JACK_DUMP") + ".come";
  const std::string start = "jack_midi_dump tbxcome >>" + dump + " 2>&1 & echo $!";
  int pid = std::atoi(Sh(start).c_str());
  ASSERT_GE(WaitMs(3000, [] { return HasPort("tbxcome:input"); }), 0);
  const int dev = FindOut("tbxcome:input");
  ASSERT_GE(dev, 0) << "a port that appeared after the start is listed";
  HMIDIOUT h = nullptr;
  ASSERT_EQ(midiOutOpen(&h, static_cast<UINT>(dev), 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_TRUE(Connected("Tamborix:midi_out", "tbxcome:input"));
  kill(pid, SIGINT);
  ASSERT_GE(WaitMs(3000, [] { return !HasPort("tbxcome:input"); }), 0);
  EXPECT_EQ(midiOutShortMsg(h, 0x402A99), static_cast<MMRESULT>(MMSYSERR_NOERROR)) << "the run goes on";
  pid = std::atoi(Sh(start).c_str());
  const int took = WaitMs(3000, [] { return Connected("Tamborix:midi_out", "tbxcome:input"); });
  EXPECT_GE(took, 0) << "connected again by name";
  EXPECT_LE(took, 2000);
  midiOutShortMsg(h, 0x5B2D99);   // note 45
  EXPECT_GE(WaitMs(2000, [&] { return ReadFile(dump).find("99 2d 5b") != std::string::npos; }), 0);
  EXPECT_EQ(midiOutClose(h), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_FALSE(Connected("Tamborix:midi_out", "tbxcome:input")) << "the close takes the connection back";
  kill(pid, SIGINT);
}

/* ------------------------------------------------------------------ frames */

HMIDIOUT gFramesOut = nullptr;
std::atomic<int> gFramesSent{0};
constexpr int kFrameNotes = 60;
int64_t gFramesLate[kFrameNotes];   /* ns each note was sent after its due time */

void CALLBACK FrameTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  midiOutShortMsg(gFramesOut, 0x404D99);   // note 77 on channel 10
  if (++gFramesSent < kFrameNotes) timeSetEvent(10, 1, FrameTick, 0, TIME_ONESHOT);
}

void RecordLateness(int, uint32_t, int64_t dueNs) {
  const int i = gFramesSent.load();
  if (i < kFrameNotes) gFramesLate[i] = MidiSteadyNs() - dueNs;
}

TEST_F(MidiInJack, MessagesFromTheStepClockLeaveOnTheirFrames) {
  // Every 10 ms from a chain of timer callbacks, as the step clock sends: each note leaves
  // the own port at the frame of its due time, so the distances between them are all the
  // same (480 frames of the server's clock, which a non-realtime dummy server runs a little
  // slow), at their own offsets within the cycles of 256 frames, not at a cycle's start.
  // A note sent more than 2 ms after its due time cannot keep its frame (the constant
  // latency is one period + 2 ms), and a late cycle of the non-realtime server moves its
  // frame clock by a period: a busy machine is allowed those, nothing else.
  ASSERT_GE(midiOutGetNumDevs(), 2u);   // the own client comes up with the device table
  Sh("jack_connect Tamborix:midi_out tbxframes:input");
  ASSERT_TRUE(Connected("Tamborix:midi_out", "tbxframes:input"));
  ASSERT_EQ(midiOutOpen(&gFramesOut, 1, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  gFramesSent = 0;
  MidiSetSendObserver(RecordLateness);
  ASSERT_NE(timeSetEvent(10, 1, FrameTick, 0, TIME_ONESHOT), 0u);
  for (int i = 0; i < 300 && gFramesSent.load() < kFrameNotes; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::vector<long> frames;
  for (int i = 0; i < 100 && frames.size() < static_cast<size_t>(kFrameNotes); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    frames.clear();
    std::istringstream lines(ReadFile(Env("TBX_JACK_FRAMES")));
    std::string line;
    while (std::getline(lines, line))
      if (line.find(": 99 4d 40") != std::string::npos) frames.push_back(std::stol(line));
  }
  MidiSetSendObserver(nullptr);
  midiOutClose(gFramesOut);
  Sh("jack_disconnect Tamborix:midi_out tbxframes:input");
  ASSERT_EQ(frames.size(), static_cast<size_t>(kFrameNotes));

  std::vector<long> sorted;
  for (size_t i = 1; i < frames.size(); i++) sorted.push_back(frames[i] - frames[i - 1]);
  std::sort(sorted.begin(), sorted.end());
  const long median = sorted[sorted.size() / 2];
  EXPECT_NEAR(median, 480, 8) << "10 ms of the server's clock";
  int off = 0, late = 0;
  std::string report;
  for (size_t i = 1; i < frames.size(); i++) {
    const long d = frames[i] - frames[i - 1];
    const bool excused = gFramesLate[i] > 1500000 || gFramesLate[i - 1] > 1500000;
    late += gFramesLate[i] > 1500000;
    if (std::abs(d - median) > 2 && !excused) off++;
    report += " " + std::to_string(d) + (excused ? "(late)" : "");
  }
  EXPECT_LE(off, 2) << "distances:" << report;
  EXPECT_LE(late, kFrameNotes / 4) << "the machine is too busy to tell; distances:" << report;
}

/* ------------------------------------------------------------------ a server that dies */

class MidiJackGone : public MidiInJack {
 protected:
  /* Starts a program on the server in the background; its pid is written where the script
  ** ends it should the test not get that far. */
  static int Spawn(const std::string& command) {
    const int pid = std::atoi(Sh(command + " >>" + Env("TBX_JACK_PIDS") + ".log 2>&1 & echo $!").c_str());
    std::ofstream(Env("TBX_JACK_PIDS"), std::ios::app) << pid << "\n";
    return pid;
  }
};

/* The server is killed under a program playing on it, with a port of another client
** chosen: nothing hangs or crashes, and when a server of that name runs again the own
** client, the synth's ports and the chosen connection are back within 2 s. */
TEST_F(MidiJackGone, NothingHangsWhenTheServerDiesAndAllComesBackWithIt) {
  const std::string server = Env("JACK_DEFAULT_SERVER");
  int dump = Spawn("jack_midi_dump tbxgone");
  ASSERT_GE(WaitMs(3000, [] { return HasPort("tbxgone:input"); }), 0);
  const int dev = FindOut("tbxgone:input");
  ASSERT_GE(dev, 2);
  HMIDIOUT synth = nullptr, out = nullptr, chosen = nullptr;
  HMIDIIN in = nullptr;
  ASSERT_NO_FATAL_FAILURE(OpenOwnDevices(&synth, &out, &in));
  ASSERT_EQ(midiOutOpen(&chosen, static_cast<UINT>(dev), 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  midiOutShortMsg(synth, 0x642599);
  const int pid = std::atoi(Env("TBX_JACK_SERVER_PID").c_str());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  kill(dump, SIGINT);
  for (int i = 0; i < 300 && JackAlive(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(JackAlive()) << "the layer notices the server is gone";

  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 10000; i++) {   // more than the queues hold
    midiOutShortMsg(synth, 0x642599);
    midiOutShortMsg(out, 0x642599);
    midiOutShortMsg(chosen, 0x642599);
  }
  EXPECT_EQ(midiInClose(in), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(midiOutClose(out), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(midiOutClose(synth), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  testing::internal::CaptureStderr();
  HMIDIOUT again = nullptr;
  EXPECT_EQ(midiOutOpen(&again, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_ERROR)) << "no other audio";
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("the JACK server the synth played to has stopped"), std::string::npos) << err;
  EXPECT_EQ(midiOutOpen(&again, 1, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_ERROR));
  EXPECT_EQ(midiInOpen(&in, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_ERROR));
  EXPECT_EQ(midiOutGetNumDevs(), 1u) << "the synth alone is listed";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "every call returned at once";

  // A server of the same name starts only once the killed one is reaped (JACK takes a
  // zombie for a server still running).
  EXPECT_GE(WaitMs(5000, [pid] { return kill(pid, 0) != 0; }), 0);
  Spawn("jackd -n " + server + " --no-realtime -d dummy -r 48000 -p 256");
  ASSERT_EQ(std::system("jack_wait -w -t 10 >/dev/null 2>&1"), 0) << "the server runs again";
  dump = Spawn("jack_midi_dump tbxgone");
  const int took = WaitMs(5000, [] {
    return HasPort("Tamborix:midi_in") && Connected("Tamborix:synth_L", "system:playback_1") &&
           Connected("Tamborix:midi_out", "tbxgone:input");
  });
  EXPECT_GE(took, 0) << "the own client, the synth's ports and the chosen connection are back";
  EXPECT_LE(took, 2000);
  EXPECT_EQ(midiOutOpen(&again, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR)) << "the synth plays";
  midiOutClose(again);
  EXPECT_EQ(midiOutClose(chosen), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_FALSE(Connected("Tamborix:midi_out", "tbxgone:input"));
  tbxtest::PlatformReset();
  kill(dump, SIGINT);
}

}  // namespace
