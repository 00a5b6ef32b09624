// Boundaries driven end to end: the longest names through every buffer of 260 characters
// (command line, title, caption, error box, backup and MIDI file names), every edit at the
// last step and at column STEP_COUNT (the keyboard column right of the grid), and an
// export far denser than the fixed buffers of the original program could hold. Overflows
// show under AddressSanitizer; the checks here are on what the program then does.
#include <string>
#include <vector>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/midifile/smf.h"
#include "tests/hardening/hardening_support.h"

namespace {

using hardening::Bytes;
using hardening::ReadAll;
using hardening::WriteAll;

LPARAM CellPoint(int step, int row) {
  return MAKELPARAM((GRID_LEFT + step) * gcxChar + gcxChar / 2, (50 - row) * gcyChar / 2 + gcyChar / 4);
}

std::string Caption(HWND hwnd) {
  char text[400] = "";
  GetWindowTextA(hwnd, text, sizeof text);
  return text;
}

class LongCommandLine : public WindowTest {
 protected:
  std::string cmdLine() const override { return "\"" + std::string(400, 'n') + "\""; }
};

// The command line is kept whole, and the load it posts refuses the name (too long for the
// path buffers) as a file that cannot be opened, naming it by the 259 characters its title
// holds.
TEST_F(LongCommandLine, IsKeptWholeAndRefusedAsMissing) {
  EXPECT_EQ(std::string(gszCmdLine), std::string(400, 'n'));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::PumpMessages();
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 2u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].caption, std::string(400, 'n'));
  EXPECT_EQ(tbxtest::MessageBoxes()[1].text, "File " + std::string(259, 'n') + " is missing or cannot be opended.");
  EXPECT_EQ(gszFileName[0], '\0');
}

class LongNames : public WindowTest {
 protected:
  hardening::Scratch dir;
};

// A project path of 259 characters whose name has no dot: its backup name (path + ".BAK")
// is longer than any of the program's buffers, and its proposed MIDI file name must be cut.
TEST_F(LongNames, LongestProjectPathSavesBacksUpAndExports) {
  std::string folder = dir("");
  while (folder.size() < 259 - 61) folder += std::string(50, 'f') + "/";
  std::filesystem::create_directories(folder);
  const std::string path = folder + std::string(259 - folder.size(), 'p');
  ASSERT_EQ(path.size(), 259u);
  WriteAll(path, hardening::RecordImage(4));
  tbxtest::QueueFileDialog(path);
  FileLoad(hwnd, FALSE);
  ASSERT_EQ(std::string(gszFileName), path);
  const std::string title = path.substr(folder.size());
  EXPECT_EQ(Caption(hwnd), "Tamborix - " + title);

  CellTogglePerc(STEP_COUNT - 1, 48);
  gbNeedSave = 1;
  gbFileChanged = 1;
  FileSave(hwnd);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  EXPECT_EQ(ReadAll(path + ".BAK"), hardening::RecordImage(4));
  EXPECT_EQ(ReadAll(path).size(), size_t(TBRO_SIZE));

  tbxtest::QueueFileDialog(std::nullopt);
  SendMessageA(hwnd, WM_COMMAND, IDM_SAVEMIDI_GM, 0);
  ASSERT_EQ(tbxtest::FileDialogs().size(), 2u);
  EXPECT_LE(tbxtest::FileDialogs()[1].initialFile.size(), 259u);
  EXPECT_EQ(tbxtest::FileDialogs()[1].initialFile, path.substr(0, tbxtest::FileDialogs()[1].initialFile.size()));
}

// A 259-character title in every message that carries one.
TEST_F(LongNames, LongestTitleInCaptionAndMessages) {
  const std::string title(259, 't');
  DoCaption(hwnd, title.c_str());
  EXPECT_EQ(Caption(hwnd), "Tamborix - " + title);
  for (const char* format : {gszErrorCannotWrite, gszErrorNotFound, gszErrorNotTambro, gszErrorCannotRead}) {
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueMessageBoxAnswer(IDOK);
    ErrorMessage(hwnd, format, title.c_str());
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
    std::string expected = format;
    expected.replace(expected.find("%s"), 2, title);
    EXPECT_EQ(tbxtest::MessageBoxes()[0].text, expected);
  }
  tbxtest::ClearMessageBoxes();
  tbxtest::QueueMessageBoxAnswer(IDNO);
  EXPECT_EQ(AskAboutSave(title.c_str()), IDNO);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_NE(tbxtest::MessageBoxes()[0].text.find(title), std::string::npos);
}

// ---------------------------------------------------------------- the last step

class RightEdge : public StepsTest<WindowTest> {
 protected:
  void Click(UINT message, int step, int row) { SendMessageA(hwnd, message, 0, CellPoint(step, row)); }
  void Key(int ch) { SendMessageA(hwnd, WM_CHAR, ch, 0); }
  // The step words that lie past the grid: no edit may reach them.
  std::vector<uint32_t> PastTheGrid() {
    std::vector<uint32_t> words;
    for (const uint32_t* a : {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH})
      for (int s = STEP_COUNT; s < STEP_SLOTS; ++s) words.push_back(StepGet(a, s));
    return words;
  }
};

// Every mouse button on every row of the last column and of the keyboard column beside it,
// then every key with the cursor moved past the last step: the last step takes the clicks,
// nothing reaches the words past the grid, and the play range stays inside the pattern.
TEST_P(RightEdge, EditsAtTheLastStepStayInsideThePattern) {
  const std::vector<uint32_t> empty = PastTheGrid();
  for (int column : {STEP_COUNT - 1, STEP_COUNT, STEP_COUNT + 1})
    for (int row = 0; row <= 50; ++row)
      for (UINT message : {WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN, WM_LBUTTONDOWN}) Click(message, column, row);
  EXPECT_NE(CellPerc(STEP_COUNT - 1, 48), 0);
  EXPECT_EQ(PastTheGrid(), empty);
  EXPECT_LE(HeaderGet(gTbro.LoopEnd), STEP_COUNT);
  EXPECT_LT(HeaderGet(gTbro.LoopStart), HeaderGet(gTbro.LoopEnd));

  for (int beats : {4, 24}) {
    if (STEP_COUNT % beats) continue;  // a bar that fits the grid
    gBeatsPBar = static_cast<int16_t>(beats);
    for (int move = 0; move < 2; ++move) {
      Click(WM_RBUTTONDOWN, STEP_COUNT - 1, 40);
      for (int i = 0; i < move; ++i) SendMessageA(hwnd, WM_KEYDOWN, VK_RIGHT, 0);
      for (int ch : std::string("DVXBCPKYZI+-*_LRU0123456789")) Key(ch);
    }
  }
  EXPECT_EQ(PastTheGrid(), empty);
  EXPECT_LE(HeaderGet(gTbro.LoopEnd), STEP_COUNT);
}

// ---------------------------------------------------------------- densest export

class DensestExport : public WindowTest {
 protected:
  hardening::Scratch dir;
};

// A playlist of patterns with every cell set exports to one well-formed file far larger
// than the 500 000-byte image the original program assembled in. (It first caught the
// format 1 list export writing each following body's leading delta after the closing
// delta of the body before it: two deltas in a row.)
TEST_F(DensestExport, PlaylistOfDensestPatternsIsComplete) {
  Bytes dense = hardening::RecordImage(0);
  for (size_t i = 36; i < dense.size(); ++i) dense[i] = 0xFF;
  WriteAll(dir("d.tbx"), dense);
  // Enough entries to pass the old fixed 500 000-byte file buffer in every program.
  const int entries = 16;
  std::string list;
  for (int i = 0; i < entries; ++i) list += dir("d.tbx") + "\r\n";
  WriteAll(dir("l.txt"), hardening::Text(list));
  tbxtest::QueueFileDialog(dir("l.txt"));
  SendMessageA(hwnd, WM_COMMAND, IDM_OPENLIST, 0);
  for (UINT id : {IDM_SAVELIST_GM, IDM_SAVELIST_F1}) {
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueFileDialog(dir("l.mid"));
    tbxtest::QueueMessageBoxAnswer(IDOK);
    SendMessageA(hwnd, WM_COMMAND, id, 0);
    const Bytes file = ReadAll(dir("l.mid"));
    Smf summary;
    ASSERT_EQ(SmfCheck(file.data(), file.size(), &summary), "");
    EXPECT_GT(file.size(), 500000u);
    // Every note cell of every step of every entry starts a note.
    EXPECT_EQ(summary.noteOns, size_t(entries) * STEP_COUNT * 116);
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
    EXPECT_NE(tbxtest::MessageBoxes()[0].text.find("Size:" + std::to_string(file.size()) + " bytes"),
              std::string::npos);
  }
}

TBX_STEPS_SUITE(RightEdge);

}  // namespace
