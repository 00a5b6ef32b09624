// Playing a playlist: entries follow each other without a gap, the run ends with the list,
// a missing entry ends it with its error, the save question at the switch, Play All again.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "files/files.h"
#include "tests/playback/playback_support.h"

namespace {

class PlaylistPlay : public PlayTest {
 protected:
  void SetUp() override {
    PlayTest::SetUp();
    dir = std::filesystem::path(::testing::TempDir()) /
          ("tbx_playlist_" + std::to_string(STEP_COUNT) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    // Entry a: four steps, a Bass Drum 1 on step 0. Entry b: two steps, a Snare on step 0.
    WriteEntry("a.tbx", 4, 3);
    WriteEntry("b.tbx", 2, 5);
    PatternClear();
  }
  void TearDown() override {
    PlayTest::TearDown();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  void WriteEntry(const char* name, int loopEnd, int row) {
    PatternClear();
    HeaderSet(gTbro.LoopStart, 0);
    HeaderSet(gTbro.LoopEnd, int16_t(loopEnd));
    CellTogglePerc(0, row);
    ASSERT_EQ(TambroFileWrite((dir / name).string().c_str()), nullptr);
  }
  void OpenList(const std::string& entries) {
    std::string path = (dir / "list.txt").string();
    std::ofstream(path, std::ios::binary) << entries;
    tbxtest::QueueFileDialog(path);
    Command(IDM_OPENLIST);
    ASSERT_TRUE(gbSequenceOpened);
  }
  std::string Entry(const char* name) { return (dir / name).string(); }
  // Drum notes played, in order.
  std::vector<int> Drums() {
    std::vector<int> out;
    for (DWORD m : NoteOns(Take()))
      if ((m & 0x0F) == 9) out.push_back(int(m >> 8 & 0x7F));
    return out;
  }
  std::filesystem::path dir;
};

}  // namespace

TEST_F(PlaylistPlay, TwoEntriesEndToEnd) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYALL);
  ASSERT_TRUE(gbSequenceGoing);
  EXPECT_TRUE(Checked(IDM_PLAYALL));
  Take();
  uint32_t t0 = tbxtest::ClockNow();
  // a: 0 1 2 3; its wrap loads b, whose step 0 plays in that same event; b: 1; end.
  EXPECT_EQ(Advance(7 * 500), (std::vector<int>{0, 1, 2, 3, 0, 1, 0}));
  std::vector<uint32_t> times;
  for (const auto& r : tbxtest::CapturedMidi())
    if ((r.message & 0xF0) == 0x90) times.push_back(r.timeMs - t0);
  EXPECT_EQ(times, (std::vector<uint32_t>{500, 2500}));  // no gap before b
  EXPECT_EQ(Drums(), (std::vector<int>{36, 38}));
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_TRUE(Checked(IDM_STOP));
  EXPECT_FALSE(Checked(IDM_PLAYALL));
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);

  // Play All again reads the list again: a first.
  Command(IDM_PLAYALL);
  Advance(500);
  EXPECT_EQ(Drums(), std::vector<int>{36});
}

TEST_F(PlaylistPlay, MissingEntryEndsTheRunWithItsError) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("missing.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYALL);
  Take();
  tbxtest::QueueMessageBoxAnswer(IDOK);  // "CreateFile Error:2 "
  tbxtest::QueueMessageBoxAnswer(IDOK);  // the entry's message
  Advance(6 * 500);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 2u);
  EXPECT_EQ(tbxtest::MessageBoxes()[1].text,
            "File " + Entry("missing.tbx") + " is missing or cannot be opended.");
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_EQ(Drums(), std::vector<int>{36});  // b never plays
}

TEST_F(PlaylistPlay, UnsavedEditsAskedAboutAtTheSwitch) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYALL);
  Advance(500);
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDNO);
  Advance(4 * 500);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].flags & 0x0F, UINT(MB_YESNO));
  EXPECT_TRUE(gbSequenceGoing);  // b plays on
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), 2);
}

TEST_F(PlaylistPlay, ContinueAfterTheEndOfAnEntry) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYFROM);
  Command(IDM_STOPATEND);
  Advance(5 * 500);  // a plays 0..3 and stops at its end
  ASSERT_FALSE(gbSequenceGoing);
  Take();
  Command(IDM_CONTINUE);  // takes the next entry
  EXPECT_TRUE(gbSequenceGoing);
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), 2);
  EXPECT_EQ(Advance(500), std::vector<int>{0});
  EXPECT_EQ(Drums(), std::vector<int>{38});
}

// Continue with no list: the next-entry start finds nothing, the pattern in memory plays
// once from step 1, and the run ends.
TEST_F(PlaylistPlay, ContinueWithNothingToContinue) {
  HeaderSet(gTbro.LoopEnd, 3);
  Command(IDM_CONTINUE);
  EXPECT_TRUE(gbSequenceGoing);
  EXPECT_EQ(Advance(3 * 500), (std::vector<int>{1, 2, 0}));
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_TRUE(Checked(IDM_STOP));
}

// Play All during a run of the list: the run stops before the list is read again, and play
// starts over at the first entry.
TEST_F(PlaylistPlay, PlayAllDuringARunStartsOver) {
  OpenList(Entry("a.tbx") + "\r\n" + Entry("b.tbx") + "\r\n");
  Command(IDM_PLAYALL);
  Advance(4 * 500);
  Command(IDM_PLAYALL);  // in entry a
  Advance(5 * 500);      // a from its start, then b
  ASSERT_EQ(HeaderGet(gTbro.LoopEnd), 2);
  Take();
  Command(IDM_PLAYALL);  // in entry b
  EXPECT_TRUE(gbSequenceGoing);
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), 4);
  EXPECT_EQ(Advance(5 * 500), (std::vector<int>{0, 1, 2, 3, 0}));
  EXPECT_EQ(Drums(), (std::vector<int>{36, 38}));
}
