// Pattern-to-track conversion: delta encoding, the exact body of a small percussion pattern,
// time signatures, velocities with bar and free accents, instrument note lengths (release
// marker, repeated rows, keyboard split), steps with flags only, the densest pattern, the
// sequencer's own note bookkeeping left alone, and the bodies in beat time.
#include <cstring>

#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/support.h"
#include "tests/midifile/smf.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Delta(uint32_t v) {
  dword2Delta(v);
  Bytes out;
  for (int b = 0; b < 3; ++b)
    if (gDeltaString[b]) out.push_back(gDeltaString[b]);
  out.push_back(gDeltaString[3]);
  return out;
}

TEST(MidiDelta, VariableLengthQuantities) {
  EXPECT_EQ(Delta(0), (Bytes{0x00}));
  EXPECT_EQ(Delta(1), (Bytes{0x01}));
  EXPECT_EQ(Delta(127), (Bytes{0x7F}));
  EXPECT_EQ(Delta(383), (Bytes{0x82, 0x7F}));
  EXPECT_EQ(Delta(384), (Bytes{0x83, 0x00}));
  EXPECT_EQ(Delta(16383), (Bytes{0xFF, 0x7F}));
  EXPECT_EQ(Delta(16384), (Bytes{0x81, 0x80, 0x00}));
  EXPECT_EQ(Delta(20000), (Bytes{0x81, 0x9C, 0x20}));
  EXPECT_EQ(Delta(55680), (Bytes{0x83, 0xB3, 0x00}));
  EXPECT_EQ(Delta(2097152), (Bytes{0x81, 0x80, 0x80, 0x00}));
  EXPECT_EQ(dword2Delta(55680), 3);
}

class ConvertTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    gAdjustedBeat = 500;
    gVelocity = 64;
    HeaderSet(gTbro.LoopStart, 0);
    HeaderSet(gTbro.LoopEnd, 16);
    ClearConversionState();
  }
  // The body as a track of its own (End of Track appended) for the strict reader.
  std::vector<SmfEvent> Events() {
    Bytes file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 1, 0x80, 'M', 'T', 'r', 'k'};
    uint32_t len = static_cast<uint32_t>(gTrackBuf.size() + 3);
    for (int s = 24; s >= 0; s -= 8) file.push_back(static_cast<unsigned char>(len >> s));
    file.insert(file.end(), gTrackBuf.begin(), gTrackBuf.end());
    file.insert(file.end(), {0xFF, 0x2F, 0x00});
    Smf smf = ParseSmf(file);
    EXPECT_TRUE(smf.ok) << smf.error;
    return smf.ok ? smf.track[0] : std::vector<SmfEvent>{};
  }
  static std::vector<SmfEvent> NotesOf(const std::vector<SmfEvent>& events) {
    std::vector<SmfEvent> notes;
    for (const auto& e : events)
      if ((e.status & 0xF0) == 0x90) notes.push_back(e);
    return notes;
  }
  void Perc(int step, int row) { CellTogglePerc(step, row); }
  void Voice(int step, int row) { CellToggleVoice(step, row); }
};

TEST_F(ConvertTest, PercussionBodyOfOneHit) {
  Perc(0, 2);
  uint32_t n = ConvertPerc2MFTrack();
  Bytes expected = {0x00, 0xFF, 0x58, 0x04, 0x04, 0x02, 0x18, 0x08, 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,
                    0x00, 0xB9, 0x07, 0x7F, 0x00, 0x99, 0x23, 0x40, 0x82, 0x7F, 0x23, 0x00, 0xAC, 0x7F};
  EXPECT_EQ(gTrackBuf, expected);
  EXPECT_EQ(n, expected.size());
}

TEST_F(ConvertTest, EmptyPatternIsPreambleAndOneClosingDelta) {
  HeaderSet(gTbro.LoopStart, 2);
  HeaderSet(gTbro.LoopEnd, 10);
  ConvertFile2MFTrack();
  ASSERT_EQ(gTrackBuf.size(), 26u + 2);
  EXPECT_EQ(Bytes(gTrackBuf.begin() + 15, gTrackBuf.begin() + 26),
            (Bytes{0x00, 0xC0, 0x03, 0x00, 0xB0, 0x07, 0x7F, 0x00, 0xB9, 0x07, 0x7F}));
  EXPECT_EQ(Bytes(gTrackBuf.begin() + 26, gTrackBuf.end()), Delta(9 * 384));
  ConvertVoice2MFTrack();
  EXPECT_EQ(gTrackBuf.size(), 19u + 2);
}

TEST_F(ConvertTest, TimeSignatureFollowsStepsPerBar) {
  const std::pair<int, int> cases[] = {{3, 2}, {4, 2}, {5, 2}, {6, 3}, {8, 3}, {12, 3}, {16, 4}, {24, 4}};
  for (auto [beats, dd] : cases) {
    gBeatsPBar = static_cast<int16_t>(beats);
    ConvertPerc2MFTrack();
    EXPECT_EQ(gTrackBuf[4], beats);
    EXPECT_EQ(gTrackBuf[5], dd) << beats;
  }
}

TEST_F(ConvertTest, FreeAccentComesOnTopOfTheBarAccent) {
  HeaderSet(gTbro.Accent, 2);
  gAccent = 0;  // the export reads the record's snapshot
  gFreeAccent = 9;
  Perc(0, 5);
  Perc(0, 1);   // free accent on a bar start: 64 + 20 + 20
  Perc(1, 5);   // plain: 64
  Perc(2, 5);
  Perc(2, 1);   // free accent off the bar start: 64 + 20
  Perc(4, 5);   // bar start: 64 + 20
  ConvertPerc2MFTrack();
  std::vector<int> onsets;
  for (const auto& e : NotesOf(Events()))
    if (e.NoteOn()) onsets.push_back(e.data[1]);
  EXPECT_EQ(onsets, (std::vector<int>{104, 64, 84, 84}));

  gFreeAccent = 13;  // +60, then the clamp
  ConvertPerc2MFTrack();
  EXPECT_EQ(NotesOf(Events())[0].data[1], 127);
}

TEST_F(ConvertTest, InstrumentLevelAppliesToInstrumentOnly) {
  gDeltaVoiceLevel = -40;
  gXDVoiceLevel = 60;  // playlist-mode level: not exported
  Perc(0, 5);
  Voice(0, 5);
  ConvertFile2MFTrack();
  auto notes = NotesOf(Events());
  ASSERT_EQ(notes.size(), 3u);  // the hit ends on the next step
  EXPECT_EQ(notes[0].status, 0x99);
  EXPECT_EQ(notes[0].data[1], 64);
  EXPECT_EQ(notes[1].status, 0x90);
  EXPECT_EQ(notes[1].data[1], 24);
}

TEST_F(ConvertTest, ReleaseMarkerEndsRowsTwoToFortySevenOnly) {
  Voice(0, 10);
  Voice(0, 50);
  Voice(3, 1);
  ConvertVoice2MFTrack();
  auto notes = NotesOf(Events());
  ASSERT_EQ(notes.size(), 3u);
  int off = gNoteOffset;
  EXPECT_EQ(notes[2].tick, 3u * 384 - 1);
  EXPECT_TRUE(notes[2].NoteOff());
  EXPECT_EQ(notes[2].data[0], off + 10);
}

TEST_F(ConvertTest, SameRowOnConsecutiveStepsEndsThenRestarts) {
  Voice(0, 20);
  Voice(1, 20);
  ConvertFile2MFTrack();
  auto notes = NotesOf(Events());
  int note = gNoteOffset + 20;
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_TRUE(notes[0].NoteOn());
  EXPECT_TRUE(notes[1].NoteOff());
  EXPECT_TRUE(notes[2].NoteOn());
  for (const auto& e : notes) EXPECT_EQ(e.data[0], note);
  EXPECT_EQ(notes[1].tick, 383u);
  EXPECT_EQ(notes[2].tick, 384u);
}

TEST_F(ConvertTest, KeyboardSplitRowsTwentySevenAndTwentyEight) {
  int off = gNoteOffset;
  Perc(0, 0);  // low part: rows 2..27 an octave lower
  Voice(0, 27);
  Voice(0, 28);
  Voice(1, 0);  // high part: rows 28..59 an octave higher
  Voice(1, 27);
  Voice(1, 28);
  Voice(1, 40);
  ConvertVoice2MFTrack();
  std::vector<int> onsets;
  for (const auto& e : NotesOf(Events()))
    if (e.NoteOn()) onsets.push_back(e.data[0]);
  EXPECT_EQ(onsets, (std::vector<int>{off - 12 + 27, off + 28, off + 27, off + 12 + 28, off + 12 + 40}));
}

// A step that passes the emptiness test but writes no event is counted like an empty step:
// the track stays well formed and later steps keep their times.
TEST_F(ConvertTest, FlagOnlyStepsKeepTrackWellFormedAndInTime) {
  Voice(0, 10);
  Perc(2, 1);   // free accent only
  Voice(3, 0);  // octave flag only
  Voice(4, 1);  // release marker ...
  Voice(4, 10);  // ... with a note: ends, restarts
  Voice(6, 1);  // release marker with nothing else pending besides row 10
  Voice(8, 1);  // release with nothing pending at all
  Voice(9, 12);
  for (uint32_t (*convert)(void) : {ConvertFile2MFTrack, ConvertVoice2MFTrack}) {
    ClearConversionState();
    convert();
    auto notes = NotesOf(Events());
    std::vector<uint32_t> ticks;
    for (const auto& e : notes) ticks.push_back(e.tick);
    // Each step with output begins n * 384 - 1 ticks after the previous one (n steps on):
    // step 0 on; step 4 release and restart; step 6 release; step 9 on.
    EXPECT_EQ(ticks, (std::vector<uint32_t>{0, 4 * 384 - 1, 4 * 384, 6 * 384 - 2, 9 * 384 - 3}));
  }
}

TEST_F(ConvertTest, FirstStepWithOutputAfterLoopStartIsOneStepLate) {
  HeaderSet(gTbro.LoopStart, 2);
  Perc(5, 3);
  ConvertPerc2MFTrack();
  auto notes = NotesOf(Events());
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].tick, (5u - 2 + 1) * 384);
}

TEST_F(ConvertTest, SequencerNoteBookkeepingIsLeftAlone) {
  gNotePending[10] = 50;
  gdwPercLLast = 0x100;
  gdwPercHLast = 0x4;
  Voice(0, 10);
  Perc(0, 9);
  ConvertFile2MFTrack();
  ClearConversionState();
  EXPECT_EQ(static_cast<int>(gNotePending[10]), 50);
  EXPECT_EQ(static_cast<uint32_t>(gdwPercLLast), 0x100u);
  EXPECT_EQ(static_cast<uint32_t>(gdwPercHLast), 0x4u);
  // The export's own state starts clean: no stray note-off for the sequencer's note.
  auto notes = NotesOf(Events());
  EXPECT_TRUE(notes[0].NoteOn());
}

// The cases that depend on the step count, run as each of the four programs.
class ConvertSteps : public StepsTest<ConvertTest> {};
TBX_STEPS_SUITE(ConvertSteps);

TEST_P(ConvertSteps, DensestPatternConvertsCompletely) {
  HeaderSet(gTbro.LoopEnd, STEP_COUNT);
  for (int i = 0; i < STEP_SLOTS; ++i) {
    StepSet(gTbro.PercL, i, 0xFFFFFFFFu);
    StepSet(gTbro.PercH, i, 0xFFFFFFFFu);
    StepSet(gTbro.VoiceL, i, 0xFFFFFFFFu);
    StepSet(gTbro.VoiceH, i, 0xFFFFFFFFu);
  }
  uint32_t n = ConvertFile2MFTrack();
  EXPECT_GT(n, 32000u);
  auto events = Events();
  auto notes = NotesOf(events);
  size_t ons = 0;
  for (const auto& e : notes) ons += e.NoteOn();
  EXPECT_EQ(ons, size_t(STEP_COUNT) * (58 + 58));
  // Every step has output, so each begins 383 ticks after the one before.
  EXPECT_EQ(notes.front().tick, 0u);
  EXPECT_GE(notes.back().tick, uint32_t(STEP_COUNT - 1) * 383);
  EXPECT_EQ(events.back().tick, uint32_t(STEP_COUNT) * 383);
}

// ---------------------------------------------------------------- beat time

// In beat time every event sits on its step's tick: the range's first step on tick 0, a step
// 480 / steps-per-beat ticks, the body as long as the range; the tempo is the BPM read-out's.
TEST_F(ConvertTest, BeatTimePutsEveryStepOnItsTick) {
  gbMidiBeatTime = 1;
  gMsecPerBeat = 500;
  giTempo = 120;
  gRelBeat = 5;  // "* 4": a step is a sixteenth, 120 ticks
  gBeatsPBar = 16;
  RecomputeStepLength();
  HeaderSet(gTbro.LoopStart, 2);
  HeaderSet(gTbro.LoopEnd, 18);
  Perc(2, 3);
  Perc(7, 5);
  Voice(7, 10);
  Voice(9, 10);
  ConvertFile2MFTrack();
  std::vector<SmfEvent> ev = Events();
  ASSERT_GE(ev.size(), 3u);
  EXPECT_TRUE(ev[0].Meta(0x58));
  EXPECT_EQ(ev[0].data, (Bytes{4, 2, 24, 8})) << "16 sixteenths: 4/4";
  EXPECT_TRUE(ev[1].Meta(0x51));
  EXPECT_EQ(ev[1].data, (Bytes{0x07, 0xA1, 0x20})) << "120 BPM";
  std::vector<std::pair<uint32_t, int>> ons;
  for (const SmfEvent& e : NotesOf(ev))
    if (e.NoteOn()) ons.emplace_back(e.tick, e.data[0]);
  const int row10 = gNoteOffset + 10;
  EXPECT_EQ(ons, (std::vector<std::pair<uint32_t, int>>{{0, 36}, {600, 38}, {600, row10}, {840, row10}}));
  EXPECT_EQ(ev.back().tick, 16u * 120) << "the body lasts the range";
  // The steps' notes end on the next step's tick, the instrument's when its row sounds again.
  for (const SmfEvent& e : NotesOf(ev))
    if (e.NoteOff()) {
      EXPECT_TRUE(e.tick == 120 || e.tick == 720 || e.tick == 840) << e.tick;
    }
}

TEST_F(ConvertTest, BeatTimeSignatureIsTheBarInWholeNotesOfAFittingLength) {
  gbMidiBeatTime = 1;
  const struct {
    int rel, beats;
    Bytes meter;  // empty: no time signature
  } cases[] = {
      {5, 16, {4, 2}}, {5, 12, {3, 2}}, {5, 6, {6, 4}}, {5, 5, {5, 4}},  // sixteenths
      {3, 5, {5, 3}},  {3, 8, {4, 2}},                                   // eighths
      {2, 3, {3, 2}},  {0, 3, {12, 2}}, {1, 5, {10, 2}},                 // beats and longer
      {8, 12, {12, 5}},                                                  // 32nds
      {4, 12, {4, 2}}, {4, 6, {2, 2}}, {4, 3, {1, 2}}, {4, 4, {}},       // triplets
      {9, 6, {1, 3}},  {7, 5, {}},                                       // 12 and 6 a beat
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("rel " + std::to_string(c.rel) + ", " + std::to_string(c.beats) + " steps a bar");
    gRelBeat = static_cast<int16_t>(c.rel);
    gBeatsPBar = static_cast<int16_t>(c.beats);
    ConvertPerc2MFTrack();
    std::vector<SmfEvent> ev = Events();
    ASSERT_FALSE(ev.empty());
    if (c.meter.empty()) {
      EXPECT_FALSE(ev[0].Meta(0x58));
    } else {
      ASSERT_TRUE(ev[0].Meta(0x58));
      EXPECT_EQ(Bytes(ev[0].data.begin(), ev[0].data.begin() + 2), c.meter);
    }
  }
}

}  // namespace
