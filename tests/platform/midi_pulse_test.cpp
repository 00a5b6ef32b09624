// The built-in synth through a PulseAudio server, run by tests/e2e/pulse.sh (skipped
// otherwise): the script starts a private server with a null sink, and a JACK server with
// the dummy driver beside it for the second suite. The synth's stream is found and its
// sound recorded with the server's own tools (pactl, parec from the sink's monitor).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/midi_internal.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "tests/platform/jack_support.h"

namespace {

constexpr int kRate = 44100;    /* Hz of the null sink */
constexpr int kNotes = 30;      /* side sticks, one every kStepMs */
constexpr int kStepMs = 100;

/* What `pactl list WHAT` says of the program's client or stream ("" when it lists none). */
std::string Listed(const std::string& what, const std::string& heading) {
  const std::string listing = Sh("pactl list " + what);
  const size_t at = listing.find("application.name = \"Tamborix\"");
  if (at == std::string::npos) return "";
  const size_t from = listing.rfind(heading, at);
  return listing.substr(from, listing.find(heading, at) - from);
}
std::string SynthStream() { return Listed("sink-inputs", "Sink Input #"); }

HMIDIOUT gOut = nullptr;
std::atomic<int> gSent{0};

void CALLBACK Tick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  midiOutShortMsg(gOut, 0x642599);   // side stick, velocity 100
  if (++gSent < kNotes) timeSetEvent(kStepMs, 1, Tick, 0, TIME_ONESHOT);
}

class MidiPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("TBX_PULSE_E2E") != "1") GTEST_SKIP() << "run by tests/e2e/pulse.sh";
    tbxtest::PlatformReset();
    tbxtest::UseManualClock(false);
  }
  void TearDown() override {
    tbxtest::PlatformReset();
    unsetenv("TAMBORIX_AUDIO");
  }
};

// Notes sent on a steady clock sound on it through the stream, however the sink asks for
// audio (a null sink in bursts, on a clock of its own): the onsets in the sink's monitor lie
// on a straight line within a few ms and its step is the sent one. Every fault of the frame
// clock (a request's time taken for its frames' time, a latency that moves) shows as tens of
// ms. The stream and its client carry the program's name and icon.
TEST_F(MidiPulse, TheSynthPlaysOnItsNamedStreamInTime) {
  setenv("TAMBORIX_AUDIO", "pulseaudio", 1);
  ASSERT_EQ(midiOutOpen(&gOut, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  const std::string stream = SynthStream();
  for (const char* property : {"media.name = \"Tamborix\"", "application.icon_name = \"tamborix\""})
    EXPECT_NE(stream.find(property), std::string::npos) << property << " in\n" << stream;
  const std::string client = Listed("clients", "Client #");
  EXPECT_NE(client.find("application.icon_name = \"tamborix\""), std::string::npos) << client;

  // An idle null sink renders blocks of 2 s; the stream's requests come steadily once the
  // sink has taken up its latency.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const std::string raw = Env("TBX_PULSE_WORK") + "/synth.raw";
  const int parec = std::atoi(Sh("parec -d null.monitor --raw --format=float32le --rate=44100 --channels=1 >" + raw +
                                 " 2>/dev/null & echo $!")
                                  .c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  gSent = 0;
  ASSERT_NE(timeSetEvent(kStepMs, 1, Tick, 0, TIME_ONESHOT), 0u);
  EXPECT_GE(WaitMs(kNotes * kStepMs + 3000, [] { return gSent.load() >= kNotes; }), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(parec, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  midiOutClose(gOut);

  // Onsets: the first sample above a sixth of the peak after 40 ms below it (the
  // reverberation's tail stays below that).
  std::vector<float> audio;
  std::ifstream in(raw, std::ios::binary);
  for (float v; in.read(reinterpret_cast<char*>(&v), sizeof v);) audio.push_back(std::fabs(v));
  const float peak = audio.empty() ? 0 : *std::max_element(audio.begin(), audio.end());
  ASSERT_GT(peak, 0.01f) << "the synth was heard";
  std::vector<double> onsets;
  const long quiet = kRate * 40 / 1000;
  for (long i = 0, loud = -quiet; i < static_cast<long>(audio.size()); i++) {
    if (audio[i] < peak / 6) continue;
    if (i - loud >= quiet) onsets.push_back(static_cast<double>(i));
    loud = i;
  }
  ASSERT_EQ(onsets.size(), static_cast<size_t>(kNotes));
  double mk = (kNotes - 1) / 2.0, mo = 0, sxy = 0, sxx = 0;
  for (double o : onsets) mo += o / kNotes;
  for (int k = 0; k < kNotes; k++) {
    sxy += (k - mk) * (onsets[k] - mo);
    sxx += (k - mk) * (k - mk);
  }
  const double slope = sxy / sxx;
  double lo = 0, hi = 0;
  for (int k = 0; k < kNotes; k++) {
    const double d = (onsets[k] - mo - slope * (k - mk)) * 1000.0 / kRate;
    lo = std::min(lo, d);
    hi = std::max(hi, d);
  }
  EXPECT_LT(hi - lo, 8.0) << "ms between the earliest and the latest onset, from their line";
  EXPECT_NEAR(slope * 1000.0 / kRate, kStepMs, 0.5) << "ms a step in the sink's frames";
}

// With a JACK server beside the PulseAudio server the synth plays on JACK; when that server
// stops it goes on through PulseAudio within 2 s, and goes back to JACK within 2 s of a
// server running again.
class MidiPulseJack : public MidiPulse {};

TEST_F(MidiPulseJack, TheSynthFollowsJackAndFallsBackOnPulseAudio) {
  if (Env("TBX_JACK_SERVER_PID").empty()) GTEST_SKIP() << "no JACK server";
  ASSERT_GE(midiOutGetNumDevs(), 1u);
  EXPECT_EQ(SynthBackend(), "jack");
  EXPECT_EQ(SynthStream(), "") << "no PulseAudio stream while JACK plays";
  ASSERT_EQ(kill(std::atoi(Env("TBX_JACK_SERVER_PID").c_str()), SIGINT), 0);
  int took = WaitMs(5000, [] { return SynthBackend() == "pulseaudio" && !SynthStream().empty(); });
  EXPECT_GE(took, 0) << "the synth plays through PulseAudio";
  EXPECT_LE(took, 2000);
  HMIDIOUT h = nullptr;
  EXPECT_EQ(midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  midiOutClose(h);

  const int pid = std::atoi(
      Sh("jackd -n " + Env("JACK_DEFAULT_SERVER") + " --no-realtime -d dummy -r 48000 -p 256 >/dev/null 2>&1 & echo $!")
          .c_str());
  std::ofstream(Env("TBX_PULSE_WORK") + "/pids", std::ios::app) << pid << "\n";
  ASSERT_EQ(std::system("jack_wait -w -t 10 >/dev/null 2>&1"), 0);
  took = WaitMs(5000, [] { return SynthBackend() == "jack" && SynthStream().empty(); });
  EXPECT_GE(took, 0) << "back on JACK";
  EXPECT_LE(took, 2000);
  EXPECT_NE(Sh("jack_lsp").find("Tamborix:synth_L"), std::string::npos);
  tbxtest::PlatformReset();
  kill(pid, SIGINT);
}

}  // namespace
