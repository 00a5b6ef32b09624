// MIDI devices of the Linux layer: the enumerated table (built-in synth, no ports on a machine
// without ALSA or JACK, and silence on the terminal), the built-in synth and its offline
// renderer, the test devices (capture outputs, loopback inputs) and the failures of opening.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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

std::string OutName(UINT id) {
  MIDIOUTCAPSA caps;
  std::memset(&caps, 0x55, sizeof caps);
  if (midiOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return "<error>";
  return caps.szPname;
}

/* ------------------------------------------------------------------ the enumerated table */

class MidiDeviceTable : public MidiTestBase {};

TEST_F(MidiDeviceTable, WithoutAlsaOrJackItHoldsJustTheSynthAndPrintsNothing) {
  if (PortsProbe() != PortApi::None) GTEST_SKIP() << "this machine has a MIDI system";
  if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
  tbxtest::PlatformReset();
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  UINT outs = midiOutGetNumDevs();
  UINT ins = midiInGetNumDevs();
  std::string name = OutName(0);
  HMIDIOUT h = nullptr;
  MMRESULT opened = midiOutOpen(&h, 0, 0, 0, CALLBACK_NULL);
  if (opened == MMSYSERR_NOERROR) {
    midiOutShortMsg(h, 0x7F3C90);
    midiOutClose(h);
  }
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(outs, 1u);
  EXPECT_EQ(ins, 0u);
  EXPECT_EQ(name, "Tamborix GM Synth");
  EXPECT_TRUE(opened == MMSYSERR_NOERROR || (opened == MMSYSERR_ERROR && h == nullptr)) << opened;
  EXPECT_EQ(out + err, "") << "enumerating and opening must print nothing";
}

TEST_F(MidiDeviceTable, SynthNameIsNotTakenForTheGsWavetable) {
  // The port choice prefers a product name longer than 14 characters with "GS W" at 10..13.
  const std::string name = SYNTH_PRODUCT_NAME;
  ASSERT_GT(name.size(), 14u);
  EXPECT_NE(name.substr(10, 4), "GS W");
  EXPECT_LE(name.size(), 31u);
}

TEST_F(MidiDeviceTable, NoSoundfontAndNoPortsMeansNoOutput) {
  if (PortsProbe() != PortApi::None) GTEST_SKIP() << "this machine has a MIDI system";
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
  std::remove(path.c_str());
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
