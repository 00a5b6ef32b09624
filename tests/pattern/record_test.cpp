// The pattern record: start values, the header snapshot, clearing, the base note, and the
// step accessors that must never reach outside an array.
#include <cstring>

#include "pattern/pattern.h"
#include "tests/support.h"

namespace {

class PatternRecord : public StepsTest<StateTest> {};
TBX_STEPS_SUITE(PatternRecord);
using PatternBaseNote = StateTest;
using PatternStepAccess = StateTest;

int16_t HeaderWord(int offset) {
  int16_t v;
  std::memcpy(&v, reinterpret_cast<const char*>(&gTbro) + offset, 2);
  return v;
}

TEST_P(PatternRecord, StartsWithDefaultHeaderAndEmptyArrays) {
  gMidiOutPort = 2;  // window creation picks the port, then fills the header
  FillHeaderFromSettings();
  const int16_t expected[] = {500, 2, 0, static_cast<int16_t>(GetParam()), 4, 0, 7, 3, 4, 12, 2, 0, 9, 0, 0};
  for (int i = 0; i < 15; i++) EXPECT_EQ(HeaderWord(6 + 2 * i), expected[i]) << "offset " << 6 + 2 * i;
  EXPECT_EQ(HeaderWord(4), 0);  // Id and Size stay zero until the first save
  EXPECT_EQ(std::memcmp(gTbro.Id, "\0\0\0\0", 4), 0);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&gTbro);
  for (int i = 36; i < TBRO_SIZE; i++) ASSERT_EQ(p[i], 0) << "byte " << i;
  EXPECT_EQ(gNoteOffset, 34);
  EXPECT_EQ(gOldVoice, gVoice);
  EXPECT_EQ(gVoiceChecked, 3);
  EXPECT_EQ(gMouseX, -1);
  EXPECT_EQ(gbEdit, 1);
}

TEST_F(PatternBaseNote, FollowsTransposeAndBassInstruments) {
  struct { int16_t voice, transpose, note; } cases[] = {
      {3, 12, 34}, {3, 0, 46}, {3, 24, 22}, {32, 12, 22}, {39, 12, 22}, {40, 12, 34},
      {43, 12, 22}, {58, 0, 34}, {31, 12, 34}};
  for (auto c : cases) {
    gVoice = c.voice;
    gTranspose = c.transpose;
    RecomputeNoteOffset();
    EXPECT_EQ(gNoteOffset, c.note) << "voice " << c.voice << " transpose " << c.transpose;
  }
}

// Index 146 of one array is entry 0 of the next, index -1 the word before it.
TEST_F(PatternStepAccess, StaysInsideItsArray) {
  StepSet(gTbro.PercH, 0, 0x55u);
  StepSet(gTbro.PercL, STEP_SLOTS, 0xFFFFFFFFu);
  StepOr(gTbro.PercL, STEP_SLOTS, 1);
  StepXor(gTbro.PercH, -1, 1);
  StepAnd(gTbro.PercH, -1, 0);
  EXPECT_EQ(gTbro.PercH[0], 0x55u);
  EXPECT_EQ(gTbro.PercL[STEP_SLOTS - 1], 0u);
  EXPECT_EQ(StepGet(gTbro.PercL, STEP_SLOTS), 0u);
  StepSet(gTbro.PercL, -1, 7);
  EXPECT_EQ(gTbro.VoiceCh, 0);
  EXPECT_EQ(gTbro.Reserved, 0);

  CellTogglePerc(5, 40);
  CellToggleVoice(5, 40);
  EXPECT_EQ(gTbro.PercH[5], 1u << 8);
  EXPECT_EQ(gTbro.VoiceH[5], 1u << 8);
  CellClear(5, 40);
  EXPECT_EQ(gTbro.PercH[5] | gTbro.VoiceH[5], 0u);
  CellTogglePerc(5, 64);  // rows past 63 do not exist
  CellTogglePerc(5, -1);
  EXPECT_EQ(gTbro.PercL[6] | gTbro.PercL[4], 0u);
}

}  // namespace
