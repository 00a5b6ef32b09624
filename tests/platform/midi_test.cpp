// MIDI devices of the Linux layer: the enumerated table (built-in synth, no ports on a machine
// without ALSA or JACK, unique names, silence on the terminal but for a synth that cannot
// play), the built-in synth and its renderers (every message on its frame), the stamps that
// messages carry, the test devices (capture outputs, loopback inputs) and the failures of
// opening.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/midi_internal.h"
#include "platform/midi/synth_render.h"
#include "platform/testing.h"
#include "platform/win32.h"
#include "tests/files/scratch.h"

namespace {

class MidiTestBase : public ::testing::Test {
 protected:
  void SetUp() override {
    tbxtest::PlatformReset();
    tbxtest::UseManualClock(true);
  }
  void TearDown() override { tbxtest::PlatformReset(); }
};

/* True when an ALSA sequencer or a JACK server answers here. */
bool MachineHasMidiSystem() {
  PortsOpen();
  bool has = PortsOwn(PortApi::None);
  PortsClose();
  return has;
}

std::string OutName(UINT id) {
  MIDIOUTCAPSA caps;
  std::memset(&caps, 0x55, sizeof caps);
  if (midiOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return "<error>";
  return caps.szPname;
}

/* ------------------------------------------------------------------ the enumerated table */

class MidiDeviceTable : public MidiTestBase {};

TEST_F(MidiDeviceTable, WithoutAlsaOrJackItHoldsJustTheSynthAndPrintsNothing) {
  if (MachineHasMidiSystem()) GTEST_SKIP() << "this machine has a MIDI system";
  if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  tbxtest::PlatformReset();
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  UINT outs = midiOutGetNumDevs();
  UINT ins = midiInGetNumDevs();
  std::string name = OutName(0);
  std::string enumerated = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
  testing::internal::CaptureStderr();
  HMIDIOUT h = nullptr;
  MMRESULT opened = midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL);
  if (opened == MMSYSERR_NOERROR) {
    midiOutShortMsg(h, 0x7F3C90);
    midiOutClose(h);
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(outs, 1u);
  EXPECT_EQ(ins, 0u);
  EXPECT_EQ(name, "Tamborix GM Synth");
  EXPECT_EQ(enumerated, "") << "enumerating prints nothing";
  if (opened == MMSYSERR_NOERROR) {
    EXPECT_EQ(err, "") << "a synth that plays prints nothing";
  } else {
    EXPECT_EQ(opened, static_cast<MMRESULT>(MMSYSERR_ERROR));
    EXPECT_EQ(h, nullptr);
    EXPECT_NE(err.find("Tamborix GM Synth cannot play: no audio output"), std::string::npos) << err;
  }
}

TEST_F(MidiDeviceTable, ASynthWithoutAudioSaysWhyAtEveryOpen) {
  if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  // JACK alone, and no server: the open fails cleanly and says so, and so does the next.
  ASSERT_EQ(setenv("TAMBORIX_AUDIO", "jack", 1), 0);
  ASSERT_EQ(setenv("JACK_DEFAULT_SERVER", "tbx-no-such-server", 1), 0);
  tbxtest::PlatformReset();
  for (int attempt = 0; attempt < 2; attempt++) {
    testing::internal::CaptureStderr();
    HMIDIOUT h = reinterpret_cast<HMIDIOUT>(1);
    MMRESULT opened = midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(opened, static_cast<MMRESULT>(MMSYSERR_ERROR));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(err, "tamborix: Tamborix GM Synth cannot play: no audio output (JACK: no server runs)\n");
  }
  ASSERT_EQ(setenv("TAMBORIX_AUDIO", "sndio", 1), 0);
  testing::internal::CaptureStderr();
  HMIDIOUT h = nullptr;
  if (midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR) midiOutClose(h);
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("TAMBORIX_AUDIO");
  unsetenv("JACK_DEFAULT_SERVER");
  if (h == nullptr) {
    EXPECT_NE(err.find("TAMBORIX_AUDIO=sndio is none of jack, pulseaudio, alsa"), std::string::npos) << err;
  }
}

TEST(MidiDeviceNames, UniqueWithinTheCapsKeepingTheDistinguishingEnd) {
  const std::string a = "USB Keystation 88 Controller:USB Keystation 88 MIDI 1 24:0";
  const std::string b = "USB Keystation 88 Controller:USB Keystation 88 MIDI 2 24:1";
  std::vector<std::string> names = MidiDeviceNames({"Tamborix GM Synth", a, b, a, "system:midi_playback_1"});
  ASSERT_EQ(names.size(), 5u);
  EXPECT_EQ(names[0], "Tamborix GM Synth") << "short names stay as they are";
  EXPECT_EQ(names[4], "system:midi_playback_1");
  for (const std::string& n : names) EXPECT_LE(n.size(), 31u) << n;
  EXPECT_EQ(names[1].substr(0, 8), "USB Keys") << "the start stays";
  EXPECT_EQ(names[1].substr(names[1].size() - 11), "MIDI 1 24:0") << "so does the end that tells them apart";
  EXPECT_EQ(names[2].substr(names[2].size() - 11), "MIDI 2 24:1");
  EXPECT_EQ(names[3].substr(names[3].size() - 3), " #2") << "the same full name twice";
  for (size_t i = 0; i < names.size(); i++)
    for (size_t j = i + 1; j < names.size(); j++) EXPECT_NE(names[i], names[j]);
}

TEST_F(MidiDeviceTable, SynthNameIsNotTakenForTheGsWavetable) {
  // The port choice prefers a product name longer than 14 characters with "GS W" at 10..13.
  const std::string name = SYNTH_PRODUCT_NAME;
  ASSERT_GT(name.size(), 14u);
  EXPECT_NE(name.substr(10, 4), "GS W");
  EXPECT_LE(name.size(), 31u);
}

TEST_F(MidiDeviceTable, NoSoundfontAndNoPortsMeansNoOutput) {
  if (MachineHasMidiSystem()) GTEST_SKIP() << "this machine has a MIDI system";
  SynthOverrideSoundfont("/nonexistent/none.sf2");   // the table is built at its first use, below
  EXPECT_EQ(midiOutGetNumDevs(), 0u);
  HMIDIOUT h = reinterpret_cast<HMIDIOUT>(1);
  EXPECT_EQ(midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
  EXPECT_EQ(h, nullptr);
  MIDIOUTCAPSA caps;
  EXPECT_EQ(midiOutGetDevCapsA(MIDI_MAPPER, &caps, sizeof caps), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
}

/* ------------------------------------------------------------------ short messages */

TEST(MidiShortMessage, BytesOfEachStatusWithRunningStatus) {
  unsigned char b[3];
  uint8_t running = 0;
  EXPECT_EQ(ShortMsgBytes(0x7F3C99, &running, b), 3u);
  EXPECT_EQ(b[0], 0x99);
  EXPECT_EQ(b[1], 0x3C);
  EXPECT_EQ(b[2], 0x7F);
  EXPECT_EQ(ShortMsgBytes(0x40, &running, b), 3u) << "a data byte first continues note on";
  EXPECT_EQ(b[0], 0x99);
  EXPECT_EQ(b[1], 0x40);
  EXPECT_EQ(ShortMsgBytes(0x0019C0, &running, b), 2u) << "program change has one data byte";
  EXPECT_EQ(b[1], 0x19);
  EXPECT_EQ(ShortMsgBytes(0x0040D3, &running, b), 2u) << "channel pressure has one data byte";
  EXPECT_EQ(ShortMsgBytes(0x00007BB9, &running, b), 3u);
  EXPECT_EQ(ShortMsgBytes(0xF8, &running, b), 1u) << "real time keeps the running status";
  EXPECT_EQ(ShortMsgBytes(0x3C, &running, b), 3u);
  EXPECT_EQ(b[0], 0xB9);
  EXPECT_EQ(ShortMsgBytes(0x0010F3, &running, b), 2u) << "song select cancels the running status";
  EXPECT_EQ(ShortMsgBytes(0x3C, &running, b), 0u);
  EXPECT_EQ(ShortMsgBytes(0xF0, &running, b), 0u) << "system exclusive is no short message";
  EXPECT_EQ(ShortMsgBytes(0xF7, &running, b), 0u);
  EXPECT_EQ(ShortMsgBytes(0xFFFF3C90, &running, b), 3u);
  EXPECT_EQ(b[2], 0x7F) << "data bytes keep 7 bits";
}

/* ------------------------------------------------------------------ built-in synth */

std::vector<int16_t> ReadWavSamples(const std::string& path, std::vector<unsigned char>* header) {
  std::vector<int16_t> samples;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return samples;
  header->resize(44);
  if (std::fread(header->data(), 1, 44, f) == 44) {
    int16_t s;
    while (std::fread(&s, 2, 1, f) == 1) samples.push_back(s);
  }
  std::fclose(f);
  return samples;
}

uint32_t LE32(const std::vector<unsigned char>& h, size_t at) {
  return h[at] | h[at + 1] << 8 | h[at + 2] << 16 | static_cast<uint32_t>(h[at + 3]) << 24;
}

int Peak(const std::vector<int16_t>& samples, size_t from, size_t to) {
  int peak = 0;
  for (size_t i = from; i < to && i < samples.size(); i++) peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
  return peak;
}

// Renders into a file at path, created at the first byte (a rendering that fails before
// it leaves none); the return value as SynthRenderWav's.
std::string SynthRenderWav(const std::vector<SynthEvent>& events, uint32_t lengthMs, const std::string& path) {
  FILE* f = nullptr;
  std::string result = ::SynthRenderWav(events, lengthMs, [&](const void* data, size_t size) {
    if (!f) f = std::fopen(path.c_str(), "wb");
    return f && std::fwrite(data, 1, size, f) == size;
  });
  if (f) std::fclose(f);
  return result;
}

class MidiSynth : public MidiTestBase {};

TEST_F(MidiSynth, RenderedNotesSoundAndSilenceStaysSilent) {
  if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  ScratchDir scratch;
  std::string path = scratch("note.wav");
  // A piano note from 0.5 s to 1.0 s.
  ASSERT_EQ(SynthRenderWav({{500, 0x0000C0}, {500, 0x643C90}, {1000, 0x003C80}}, 1500, path), "");
  std::vector<unsigned char> h;
  std::vector<int16_t> s = ReadWavSamples(path, &h);
  ASSERT_EQ(h.size(), 44u);
  EXPECT_EQ(std::string(h.begin(), h.begin() + 4), "RIFF");
  EXPECT_EQ(std::string(h.begin() + 8, h.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(LE32(h, 24), 44100u);
  EXPECT_EQ(h[22], 2) << "stereo";
  EXPECT_EQ(h[34], 16) << "16-bit";
  EXPECT_EQ(LE32(h, 40), 1500u * 441 / 10 * 4);
  EXPECT_EQ(s.size(), 1500u * 441 / 10 * 2);
  EXPECT_LT(Peak(s, 0, 2 * 22000), 8) << "nothing but dither before the note";
  EXPECT_GT(Peak(s, 2 * 22100, 2 * 44100), 1000) << "the note sounds";

  // A bass drum on channel 10, the General MIDI percussion channel.
  ASSERT_EQ(SynthRenderWav({{0, 0x7F2499}}, 300, path), "");
  s = ReadWavSamples(path, &h);
  EXPECT_GT(Peak(s, 0, s.size()), 1000) << "the drum sounds";
}

TEST_F(MidiSynth, RenderFailuresAreReportedNotThrown) {
  if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  EXPECT_NE(SynthRenderWav({}, 100, "/nonexistent/dir/out.wav"), "");
  SynthOverrideSoundfont("/nonexistent/none.sf2");
  ScratchDir scratch;
  std::string path = scratch("none.wav");
  EXPECT_NE(SynthRenderWav({{0, 0x7F3C90}}, 100, path), "");
  FILE* f = std::fopen(path.c_str(), "rb");
  EXPECT_EQ(f, nullptr) << "no file is left after a failure";
  if (f) std::fclose(f);
}

// The live synth and the renderer left every channel at FluidSynth's volume 100 while an
// export sets 127, so a pattern sounded about 4 dB quieter in the program than in other
// players; a gain or soundfont set for the synth must reach what it renders.
TEST_F(MidiSynth, ChannelsStartAtExportVolumeAndTheGainScalesEverySample) {
  if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  ScratchDir scratch;
  const std::string path = scratch("note.wav");
  auto peakOf = [&](std::vector<SynthEvent> events) {
    events.push_back({0, 0x7F3C90});   // middle C, velocity 127, channel 1
    std::vector<unsigned char> h;
    EXPECT_EQ(SynthRenderWav(events, 400, path), "");
    std::vector<int16_t> s = ReadWavSamples(path, &h);
    return Peak(s, 0, s.size());
  };
  const int plain = peakOf({});
  EXPECT_NEAR(peakOf({{0, 0x7F07B0}}), plain, 4) << "a channel starts at volume 127";
  EXPECT_LT(peakOf({{0, 0x6407B0}}), plain * 3 / 4) << "volume 100 is quieter";
  EXPECT_NEAR(peakOf({{0, 0x00FF}, {0, 0x0000C0}}), plain, 4) << "and so after a system reset";

  SynthSetGain(SynthGain() / 2);
  EXPECT_NEAR(peakOf({}), plain / 2, 4) << "half the gain, half the level";
  SynthSetGain(99);
  EXPECT_EQ(SynthGain(), kSynthMaxGain);

  const std::string chosen = SynthSoundfontPath();
  EXPECT_FALSE(SynthSetSoundfont(scratch("none.sf2")));
  EXPECT_EQ(SynthSoundfontPath(), chosen) << "a missing file leaves the choice as it was";
  EXPECT_TRUE(SynthSetSoundfont(chosen));
  tbxtest::PlatformReset();
  EXPECT_EQ(SynthGain(), kSynthDefaultGain) << "the reset puts the default back";
}

// The driver messages a program sends to the built-in synth, and only to it.
TEST_F(MidiSynth, DriverMessagesSetAndReadTheSoundfontAndGain) {
  if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  ASSERT_GE(midiOutGetNumDevs(), 1u);
  ASSERT_EQ(OutName(0), TBX_SYNTH_NAME);
  HMIDIOUT synth = reinterpret_cast<HMIDIOUT>(static_cast<UINT_PTR>(0));
  EXPECT_EQ(midiOutMessage(synth, TBXM_SETGAIN, 250, 0), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  DWORD gain = 0;
  EXPECT_EQ(midiOutMessage(synth, TBXM_GETGAIN, reinterpret_cast<DWORD_PTR>(&gain), 0),
            static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(gain, 250u);
  EXPECT_DOUBLE_EQ(SynthGain(), 0.25);
  EXPECT_EQ(midiOutMessage(synth, TBXM_SETGAIN, TBX_SYNTH_GAIN_MAX + 1, 0), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));

  char path[512] = "";
  EXPECT_EQ(midiOutMessage(synth, TBXM_GETSOUNDFONT, reinterpret_cast<DWORD_PTR>(path), sizeof path),
            static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(path, SynthSoundfontPath());
  char tiny[4];
  EXPECT_EQ(midiOutMessage(synth, TBXM_GETSOUNDFONT, reinterpret_cast<DWORD_PTR>(tiny), sizeof tiny),
            static_cast<MMRESULT>(MMSYSERR_MOREDATA));
  EXPECT_EQ(midiOutMessage(synth, TBXM_SETSOUNDFONT, reinterpret_cast<DWORD_PTR>("/nonexistent/none.sf2"), 0),
            static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
  EXPECT_EQ(SynthSoundfontPath(), std::string(path));

  HMIDIOUT other = reinterpret_cast<HMIDIOUT>(static_cast<UINT_PTR>(midiOutGetNumDevs()));
  EXPECT_EQ(midiOutMessage(other, TBXM_SETGAIN, 500, 0), static_cast<MMRESULT>(MMSYSERR_NOTSUPPORTED));
  EXPECT_EQ(midiOutMessage(synth, DRV_USER, 0, 0), static_cast<MMRESULT>(MMSYSERR_NOTSUPPORTED));
  tbxtest::SetMidiDevices({TBX_SYNTH_NAME}, {});
  EXPECT_EQ(midiOutMessage(synth, TBXM_SETGAIN, 500, 0), static_cast<MMRESULT>(MMSYSERR_NOTSUPPORTED))
      << "a device that only bears the name is not the synth";
}

TEST_F(MidiSynth, EveryMessageSoundsOnItsFrameAfterTheConstantLatency) {
  // The live synth's cycle (period 64, 256 and 1024 frames) with the sender on time and
  // 1.9 ms late: a side stick due at time T starts at the synth's first 64-frame block at or
  // after frame(T) + latency, whatever the phase of T within the cycle. The onset found
  // (the first sample above silence) is that block's start plus the few frames the sample
  // takes to rise, the same for every hit to a frame (a fresh synth ramps its first note in).
  if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  const double rate = 44100;
  const int64_t dueNs[] = {200000000, 1203300000, 2207770000, 3213100000, 4219990000};
  for (int period : {64, 256, 1024}) {
    for (int64_t lateNs : {int64_t(0), int64_t(1900000)}) {
      SCOPED_TRACE("period " + std::to_string(period) + ", sent " + std::to_string(lateNs) + " ns late");
      std::vector<Stamped> messages;
      for (int64_t due : dueNs) {
        const unsigned char on[3] = {0x99, 37, 100}, off[3] = {0x89, 37, 0};
        messages.push_back(Stamped{due, StampPack(on, 3)});
        messages.push_back(Stamped{due + 100000000, StampPack(off, 3)});
      }
      std::vector<float> left;
      ASSERT_EQ(SynthRenderCycles(messages, rate, period, lateNs, static_cast<int64_t>(4.6 * rate), &left), "");
      int64_t least = INT64_MAX, most = INT64_MIN;
      for (int64_t due : dueNs) {
        const int64_t frame = std::llround(due * rate / 1e9) + CycleLatency(period, rate);
        const int64_t block = (frame + 63) / 64 * 64;
        int64_t onset = frame - 4096;
        while (onset < frame + 4096 && std::fabs(left[onset]) < 2e-4f) onset++;
        least = std::min(least, onset - block);
        most = std::max(most, onset - block);
        EXPECT_LT(onset - block, 16) << "due " << due << " ns: frame " << frame << ", onset " << onset;
      }
      EXPECT_GE(least, 0) << "nothing sounds before its block";
      EXPECT_LE(most - least, 1) << "every hit on its own block";
    }
  }
}

/* ------------------------------------------------------------------ stamps and cycles */

TEST(MidiSchedule, ACycleTakesItsMessagesInDueOrderAtTheirOffsets) {
  std::unique_ptr<StampQueue> q(new StampQueue);
  const int64_t start = 1000000000, ms = 1000000;
  const CycleMap first{start, 48000 / 1e9, 10};   // 48 frames a millisecond, latency 10 frames
  auto msg = [](unsigned char note) {
    const unsigned char b[3] = {0x90, note, 64};
    return StampPack(b, 3);
  };
  // Sent in this order: A, B, the echo C, D (as due as B), E (due before the cycle), F.
  for (const Stamped& s : {Stamped{start + 2 * ms, msg(1)}, Stamped{start + ms, msg(2)}, Stamped{kDueNow, msg(3)},
                           Stamped{start + ms, msg(4)}, Stamped{start - 5 * ms, msg(5)},
                           Stamped{start + 30 * ms, msg(6)}})
    ASSERT_TRUE(StampPush(q.get(), s));
  EXPECT_FALSE(StampIdle(q.get()));
  StampCollect(q.get());
  std::vector<std::pair<int64_t, int>> played;
  int64_t at;
  uint32_t bytes;
  while (StampNext(q.get(), first, 1024, &at, &bytes)) played.push_back({at, int((bytes >> 8) & 0x7F)});
  EXPECT_EQ(played, (std::vector<std::pair<int64_t, int>>{{0, 3}, {0, 5}, {58, 2}, {58, 4}, {106, 1}}))
      << "the echo first, a late message at once, equal times in sending order";
  EXPECT_EQ(q->missed.load(), 1u) << "E missed its frame; the echo has none to miss";
  EXPECT_FALSE(StampIdle(q.get())) << "F waits for its cycle";
  const CycleMap second{start + 1024 * ms / 48, 48000 / 1e9, 10};
  ASSERT_TRUE(StampNext(q.get(), second, 1024, &at, &bytes));
  EXPECT_EQ(at, 30 * 48 + 10 - 1024);
  EXPECT_TRUE(StampIdle(q.get()));
  EXPECT_EQ(StampSize(bytes), 3u);

  // A full ring refuses instead of overwriting; a cleared queue is idle.
  uint32_t pushed = 0;
  while (StampPush(q.get(), Stamped{start, msg(7)})) pushed++;
  EXPECT_EQ(pushed, kStampRing);
  StampClear(q.get());
  EXPECT_TRUE(StampIdle(q.get()));
  EXPECT_EQ(CycleLatency(256, 44100), 256 + 88) << "one period and 2 ms";
}

TEST(MidiSchedule, ADelayLockedLoopMakesASteadyFrameClockOfBurstyCallbacks) {
  // A sound server's way with a callback of 64 frames at 44.1 kHz: a burst of eight
  // callbacks 10 us apart every eight periods, each burst up to 0.2 ms late. Notes due every
  // 10 ms, each sent at its due time: once the loop has locked, none misses its frame, they
  // are 441 frames apart, and the latency has grown to the burst, no further.
  const double rate = 44100, period = 64e9 / rate;
  FrameDll dll;
  std::unique_ptr<StampQueue> q(new StampQueue);
  const unsigned char on[3] = {0x99, 37, 100};
  int64_t nextDue = 0, at = 0;
  uint32_t bytes = 0, seed = 1, missedAtLock = 0;
  std::vector<int64_t> frames;
  CycleMap map{};
  for (int64_t cycle = 0; cycle < 20000; cycle++) {
    if (cycle % 8 == 0) seed = seed * 1103515245u + 12345u;
    const int64_t now = static_cast<int64_t>(cycle / 8 * 8 * period) + (seed >> 16) % 200000 + cycle % 8 * 10000;
    for (; nextDue <= now; nextDue += 10000000) ASSERT_TRUE(StampPush(q.get(), Stamped{nextDue, StampPack(on, 3)}));
    map = DllCycle(&dll, now, 64, rate);
    StampCollect(q.get());
    while (StampNext(q.get(), map, 64, &at, &bytes))
      if (cycle >= 5000) frames.push_back(cycle * 64 + at);
    if (cycle == 5000) missedAtLock = q->missed.load();
  }
  EXPECT_EQ(q->missed.load(), missedAtLock) << "no note missed its frame after the first 7 s";
  EXPECT_GE(map.latencyFrames, 7 * 64 + 88) << "the latency covers the burst";
  EXPECT_LE(map.latencyFrames, 8 * 64 + 88 + 16);
  ASSERT_GT(frames.size(), 200u);
  for (size_t i = 1; i < frames.size(); i++) EXPECT_NEAR(frames[i] - frames[i - 1], 441, 1) << "note " << i;
}

/* Every message the layer sends, with its stamp and the time it was sent. */
struct Sent {
  uint32_t message;
  int64_t dueNs, sentNs;
};
Sent gSent[8];
std::atomic<int> gSentCount{0};
HMIDIOUT gStampOut = nullptr;

void RecordSend(int, uint32_t message, int64_t dueNs) {
  int i = gSentCount.load();
  if (i < 8) {
    gSent[i] = Sent{message, dueNs, MidiSteadyNs()};
    gSentCount = i + 1;
  }
}

void CALLBACK SecondEvent(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  midiOutShortMsg(gStampOut, 0x402A99);
}

void CALLBACK FirstEvent(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  std::this_thread::sleep_for(std::chrono::milliseconds(3));   // a slow callback
  midiOutShortMsg(gStampOut, 0x402499);
  timeSetEvent(7, 1, SecondEvent, 0, TIME_ONESHOT);
}

void CALLBACK EchoProc(HMIDIIN, UINT msg, DWORD_PTR, DWORD_PTR p1, DWORD_PTR) {
  if (msg == MIM_DATA) midiOutShortMsg(gStampOut, static_cast<DWORD>(p1));
}

class MidiStamps : public MidiTestBase {};

TEST_F(MidiStamps, MessagesCarryTheDueTimeOfTheirTimerCallbackAndEchoesPlayAtOnce) {
  tbxtest::UseManualClock(false);
  tbxtest::SetMidiDevices({"Capture"}, {"Loopback"});
  gSentCount = 0;
  MidiSetSendObserver(RecordSend);
  ASSERT_EQ(midiOutOpen(&gStampOut, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  const int64_t before = MidiSteadyNs();
  ASSERT_NE(timeSetEvent(20, 1, FirstEvent, 0, TIME_ONESHOT), 0u);
  for (int i = 0; i < 400 && gSentCount.load() < 2; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(gSentCount.load(), 2);
  EXPECT_EQ(gSent[1].dueNs - gSent[0].dueNs, 7000000) << "the chained event's due time, to the nanosecond";
  EXPECT_GE(gSent[0].dueNs, before + 20000000);
  EXPECT_GE(gSent[0].sentNs - gSent[0].dueNs, 3000000) << "the stamp is the due time, not the time of sending";
  EXPECT_GE(gSent[1].sentNs - gSent[1].dueNs, 2000000);

  // Outside a timer callback: the time of sending. During input delivery: at once.
  const int64_t now = MidiSteadyNs();
  midiOutShortMsg(gStampOut, 0x0019C0);
  HMIDIIN in = nullptr;
  ASSERT_EQ(midiInOpen(&in, 0, reinterpret_cast<DWORD_PTR>(EchoProc), 0, CALLBACK_FUNCTION),
            static_cast<MMRESULT>(MMSYSERR_NOERROR));
  midiInStart(in);
  ASSERT_TRUE(tbxtest::SendMidiInput(0, 0x643C90));
  ASSERT_EQ(gSentCount.load(), 4);
  EXPECT_GE(gSent[2].dueNs, now);
  EXPECT_LE(gSent[2].dueNs, gSent[2].sentNs);
  EXPECT_EQ(gSent[3].dueNs, kDueNow);
  EXPECT_EQ(gSent[3].message, 0x643C90u);
  midiInClose(in);
  midiOutClose(gStampOut);
}

/* ------------------------------------------------------------------ test devices */

class MidiTestDevices : public MidiTestBase {
 protected:
  void SetUp() override {
    MidiTestBase::SetUp();
    tbxtest::SetMidiDevices({"Capture A", "An output name that is longer than thirty-one"}, {"Loopback"});
  }
};

TEST_F(MidiTestDevices, CaptureRecordsEveryMessageWithTheClockAndDevice) {
  EXPECT_EQ(midiOutGetNumDevs(), 2u);
  EXPECT_EQ(OutName(0), "Capture A");
  EXPECT_EQ(OutName(1), "An output name that is longer t") << "31 characters and the zero";
  HMIDIOUT a = nullptr, b = nullptr;
  ASSERT_EQ(midiOutOpen(&a, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  ASSERT_EQ(midiOutOpen(&b, 1, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 2);
  midiOutShortMsg(a, 0x7F2499);
  tbxtest::AdvanceClock(125);
  midiOutShortMsg(b, 0x0019C0);
  const auto& cap = tbxtest::CapturedMidi();
  ASSERT_EQ(cap.size(), 2u);
  EXPECT_EQ(cap[0].timeMs, 0u);
  EXPECT_EQ(cap[0].device, 0);
  EXPECT_EQ(cap[0].message, 0x7F2499u);
  EXPECT_EQ(cap[1].timeMs, 125u);
  EXPECT_EQ(cap[1].device, 1);
  EXPECT_EQ(midiOutClose(a), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(midiOutShortMsg(a, 0x7F2499), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
  EXPECT_EQ(midiOutClose(a), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 1);
  EXPECT_EQ(tbxtest::CapturedMidi().size(), 2u);
  tbxtest::PlatformReset();
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0) << "a reset closes what a test left open";
}

TEST_F(MidiTestDevices, OpenFailuresAreErrorCodes) {
  HMIDIOUT out = nullptr;
  HMIDIIN in = nullptr;
  EXPECT_EQ(midiOutOpen(nullptr, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_INVALPARAM));
  EXPECT_EQ(midiOutOpen(&out, 2, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
  EXPECT_EQ(midiOutOpen(&out, 0, 0, 0, CALLBACK_WINDOW), static_cast<MMRESULT>(MMSYSERR_INVALFLAG));
  EXPECT_EQ(midiInOpen(&in, 1, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_BADDEVICEID));
  EXPECT_EQ(midiInOpen(&in, 0, 0, 0, CALLBACK_FUNCTION), static_cast<MMRESULT>(MMSYSERR_INVALPARAM))
      << "CALLBACK_FUNCTION without a function";

  tbxtest::InjectFault(tbxtest::Fault::MidiOutOpen);
  EXPECT_NE(midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(out, nullptr);
  tbxtest::InjectFault(tbxtest::Fault::MidiInOpen);
  EXPECT_NE(midiInOpen(&in, 0, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(tbxtest::OpenMidiOutputs() + tbxtest::OpenMidiInputs(), 0);

  EXPECT_EQ(midiOutOpen(&out, MIDI_MAPPER, 0, 0, CALLBACK_NULL), static_cast<MMRESULT>(MMSYSERR_NOERROR))
      << "the fault struck once; the mapper opens the first device";
  midiOutShortMsg(out, 0x90);
  EXPECT_EQ(tbxtest::CapturedMidi().at(0).device, 0);
  midiOutClose(out);
}

/* ------------------------------------------------------------------ input callbacks */

struct InCall {
  HMIDIIN h;
  UINT msg;
  DWORD_PTR instance, p1, p2;
};
std::vector<InCall> gInCalls;
std::atomic<int> gSlowDelivery{0};   // ms the callback sleeps on MIM_DATA
std::atomic<bool> gDelivering{false};

void CALLBACK InProc(HMIDIIN h, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
  if (msg == MIM_DATA && gSlowDelivery.load() > 0) {
    gDelivering = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(gSlowDelivery.load()));
    gDelivering = false;
    return;
  }
  gInCalls.push_back({h, msg, instance, p1, p2});
}

class MidiInLoopback : public MidiTestDevices {
 protected:
  void SetUp() override {
    MidiTestDevices::SetUp();
    gInCalls.clear();
    gSlowDelivery = 0;
  }
};

TEST_F(MidiInLoopback, DeliversOnlyWhileStartedWithTimeSinceStart) {
  HMIDIIN h = nullptr;
  ASSERT_EQ(midiInOpen(&h, 0, reinterpret_cast<DWORD_PTR>(InProc), 77, CALLBACK_FUNCTION | MIDI_IO_STATUS),
            static_cast<MMRESULT>(MMSYSERR_NOERROR));
  EXPECT_EQ(tbxtest::OpenMidiInputs(), 1);
  ASSERT_EQ(gInCalls.size(), 1u);
  EXPECT_EQ(gInCalls[0].msg, static_cast<UINT>(MIM_OPEN));
  EXPECT_FALSE(tbxtest::SendMidiInput(0, 0x403C90)) << "not started yet";

  tbxtest::AdvanceClock(40);
  midiInStart(h);
  tbxtest::AdvanceClock(7);
  EXPECT_TRUE(tbxtest::SendMidiInput(0, 0x403C90));
  ASSERT_EQ(gInCalls.size(), 2u);
  EXPECT_EQ(gInCalls[1].h, h);
  EXPECT_EQ(gInCalls[1].msg, static_cast<UINT>(MIM_DATA));
  EXPECT_EQ(gInCalls[1].instance, 77u);
  EXPECT_EQ(gInCalls[1].p1, 0x403C90u);
  EXPECT_EQ(gInCalls[1].p2, 7u) << "ms since midiInStart";
  EXPECT_FALSE(tbxtest::SendMidiInput(1, 0x403C90)) << "no such input";

  midiInStop(h);
  EXPECT_FALSE(tbxtest::SendMidiInput(0, 0x403C90));
  EXPECT_EQ(midiInClose(h), static_cast<MMRESULT>(MMSYSERR_NOERROR));
  ASSERT_EQ(gInCalls.size(), 3u);
  EXPECT_EQ(gInCalls[2].msg, static_cast<UINT>(MIM_CLOSE));
  EXPECT_EQ(tbxtest::OpenMidiInputs(), 0);
  EXPECT_EQ(midiInStart(h), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
}

TEST_F(MidiInLoopback, CloseWaitsForADeliveryInProgress) {
  HMIDIIN h = nullptr;
  ASSERT_EQ(midiInOpen(&h, 0, reinterpret_cast<DWORD_PTR>(InProc), 0, CALLBACK_FUNCTION),
            static_cast<MMRESULT>(MMSYSERR_NOERROR));
  midiInStart(h);
  gSlowDelivery = 50;
  std::thread sender([] { tbxtest::SendMidiInput(0, 0x403C90); });
  while (!gDelivering.load()) std::this_thread::yield();
  midiInClose(h);
  EXPECT_FALSE(gDelivering.load()) << "midiInClose returned while the callback still ran";
  sender.join();
}

}  // namespace
