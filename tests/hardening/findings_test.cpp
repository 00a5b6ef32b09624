// Regression tests named after the faults the hardening work found (the fuzzers' findings
// and those of the concurrency stress design), each with the input that showed it.
#include <algorithm>
#include <memory>
#include <vector>

#include "app/app.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/support.h"

namespace {

LPARAM CellPoint(int step, int row) {
  return MAKELPARAM((GRID_LEFT + step) * gcxChar + gcxChar / 2, (50 - row) * gcyChar / 2 + gcyChar / 4);
}

using MidiInClickBackup = WindowTest;

// A click selects a bar, a bar key then takes the click back. Taking it back wrote the
// column's four saved words, so a note recorded from MIDI input in that column between the
// click and the key was erased with it. Only the clicked cell is reverted now.
TEST_F(MidiInClickBackup, RecordedNoteSurvivesTheClickABarKeyTakesBack) {
  SendMessageA(hwnd, WM_COMMAND, IDM_LOOP, 0);  // 120 BPM: a step every 500 ms, halves of 250
  ASSERT_TRUE(gbSequenceGoing);
  tbxtest::AdvanceClock(2800);  // step 4 has drained its input; step 5 comes at 3000
  SendMessageA(hwnd, WM_RBUTTONDOWN, MK_RBUTTON, CellPoint(5, 30));
  ASSERT_EQ(CellVoice(5, 30), 1);
  ASSERT_TRUE(tbxtest::SendMidiInput(0, 0x99 | 38 << 8 | 100 << 16));  // Acoustic Snare: row 5
  tbxtest::AdvanceClock(500);  // the half event of step 5 lands it
  ASSERT_EQ(CellPerc(5, 5), 1);

  SendMessageA(hwnd, WM_CHAR, 'c', 0);  // copy the instrument bar, taking the click back first
  EXPECT_EQ(CellVoice(5, 30), 0);
  EXPECT_EQ(CellPerc(5, 5), 1);
  SendMessageA(hwnd, WM_COMMAND, IDM_STOP, 0);
}

// Without input in between, taking a click back still restores the column exactly, also
// after the middle button cleared both bits of a row.
TEST_F(MidiInClickBackup, TakenBackClickRestoresTheColumn) {
  for (uint32_t* words : {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH}) StepSet(words, 7, 0x0001F0F4u);
  const uint32_t before[4] = {StepGet(gTbro.PercL, 7), StepGet(gTbro.PercH, 7), StepGet(gTbro.VoiceL, 7),
                              StepGet(gTbro.VoiceH, 7)};
  for (UINT button : {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN})
    for (int row : {2, 4, 31, 32, 36, 48}) {
      SendMessageA(hwnd, button, 0, CellPoint(7, row));
      SendMessageA(hwnd, WM_CHAR, 'p', 0);  // copy percussion: takes the click back
      EXPECT_EQ(StepGet(gTbro.PercL, 7), before[0]) << row;
      EXPECT_EQ(StepGet(gTbro.PercH, 7), before[1]) << row;
      EXPECT_EQ(StepGet(gTbro.VoiceL, 7), before[2]) << row;
      EXPECT_EQ(StepGet(gTbro.VoiceH, 7), before[3]) << row;
    }
}

// A RIFF MIDI file whose chunk of odd length ends at the file's last byte: the pad byte
// that follows an odd chunk put the next chunk past the end, and the walk through the
// chunks read on beyond the file (found by the import fuzzer). The file is refused now.
TEST(ImportFindings, RiffChunkOfOddLengthAtTheEndIsNotReadPast) {
  const std::vector<unsigned char> file = {
      'R', 'I', 'F', 'F', 0x4D, 0, 0, 0, 'R', 'M', 'I', 'D', '+', 'a', 't', 'a', 0x41, 0, 0, 0, 'M', 'T', 'h', 'd',
      0, 0, 0, 6, 0, 0, 0, 1, 0, 0x60, 'M', 'T', 'r', 'k', 0, 0, 0, 0x2B, 0, 0xFF, 0x51, 3, 0xFF, 0xA1, 0x20, 0,
      0x99, 0x2A, 0x50, 0x18, 0x99, 0x2A, 0x50, 0x18, 0x99, 0x2A, 0x50, 0x18, 0x99, 0x2A, 0x50, 0x58, 0x99, 0x2A,
      0x50, 0x18, 0x99, 0x2A, 0x50, 0x18, 0x99, 0x2A, 0x50, 0x18, 0x99, 0x2A, 0x50, 0, 0xFF, 0x2F, 0};
  // Exactly as long as the file: a tool reading past it reads what no one wrote.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[file.size()]);
  std::copy(file.begin(), file.end(), bytes.get());
  MidiImport result;
  EXPECT_EQ(ImportMidiData(bytes.get(), file.size(), ImportOptions(), &result), gszImportNotMidi);
  EXPECT_TRUE(result.parts.empty());
}

}  // namespace
