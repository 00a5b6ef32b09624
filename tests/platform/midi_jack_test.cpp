// Real MIDI through a JACK server, run by tests/e2e/jack_midi.sh (skipped otherwise): the
// script starts a private jackd with the dummy driver, a MIDI monitor (jack_midi_dump) whose
// output it writes to TBX_JACK_DUMP, and a looping sequencer (jack_midiseq); with no other
// sound system there, the built-in synth plays into that server. These tests use
// nothing but the Win32 calls: the devices are found by their names in the enumerated table.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/testing.h"
#include "platform/win32.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

class MidiInJack : public ::testing::Test {
 protected:
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
  int dev = FindOut(Env("TBX_JACK_SINK"));
  ASSERT_GE(dev, 0) << "the JACK monitor's input port is listed among the outputs";
  HMIDIOUT h = nullptr;
  ASSERT_EQ(midiOutOpen(&h, static_cast<UINT>(dev), 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
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
}

std::atomic<DWORD> gJackIn{0};
std::atomic<int> gJackInCount{0};
void CALLBACK JackInProc(HMIDIIN, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR) {
  if (msg != MIM_DATA) return;
  gJackIn = static_cast<DWORD>(p1);
  gJackInCount++;
}

TEST_F(MidiInJack, InputFromAJackPortReachesTheCallback) {
  int dev = FindIn(Env("TBX_JACK_SOURCE"));
  ASSERT_GE(dev, 0) << "the JACK sequencer's output port is listed among the inputs";
  HMIDIIN h = nullptr;
  ASSERT_EQ(midiInOpen(&h, static_cast<UINT>(dev), reinterpret_cast<DWORD_PTR>(JackInProc), 0,
                       CALLBACK_FUNCTION | MIDI_IO_STATUS),
            static_cast<MMRESULT>(MMSYSERR_NOERROR));
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
}

}  // namespace
