// Playlist text files: every rule of the entry format, the failures of reading a list, the
// caption while entries are parsed, over-long entries, and a list read again while a run
// may still be parsing the text it replaces.
#include <random>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "playback/playback.h"
#include "tests/support.h"
#include "tests/files/scratch.h"

namespace {

class PlaylistTest : public WindowTest {
 protected:
  ScratchDir dir;

  // All entries of a list text, or {"<error>"} when the read fails.
  std::vector<std::string> Entries(const std::string& text) {
    WriteText(dir("list.txt"), text);
    if (PlayListRead(dir("list.txt").c_str()) != nullptr) return {"<error>"};
    std::vector<std::string> entries = {gszNextTambroFile};
    while (parseNextFileName()) entries.push_back(gszNextTambroFile);
    return entries;
  }
  std::string Caption() {
    char text[300];
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
  }
};

using List = std::vector<std::string>;

TEST_F(PlaylistTest, EntryFormat) {
  EXPECT_EQ(Entries("intro\r\n; the verse follows\r\nverse.tbx ,chorus"), (List{"intro.TBX", "verse.tbx", "chorus.TBX"}));
  EXPECT_EQ(Entries("\r\n\r\n  \t a.tbx\r\n\r\n\r\nb.tbx\r\n"), (List{"a.tbx", "b.tbx"}));
  EXPECT_EQ(Entries("a;first\rb;second"), (List{"a.TBX", "b.TBX"}));
  EXPECT_EQ(Entries("a,b;c\r\nd"), (List{"a.TBX", "b.TBX", "d.TBX"}));
  EXPECT_EQ(Entries("song 1\r\n\tx y\tz.tbx"), (List{"song1.TBX", "xyz.tbx"}));
  EXPECT_EQ(Entries("..\\beats\\x\r\nsub.dir/y"), (List{"..\\beats\\x", "sub.dir/y"}));
  EXPECT_EQ(Entries("a.tbx\nb.tbx\nc\r\nd"), (List{"a.tbx\nb.tbx\nc", "d.TBX"}));
  EXPECT_EQ(Entries("a.tbx\r\n; last line is a comment without CR"), (List{"a.tbx"}));
  EXPECT_EQ(Entries("one\r\n\ntwo"), (List{"one.TBX", "two.TBX"}));
}

TEST_F(PlaylistTest, EmptyEntryEndsTheList) {
  EXPECT_EQ(Entries("a.tbx,,b.tbx"), (List{"a.tbx"}));
  EXPECT_EQ(Entries("a.tbx\r\n,b.tbx\r\nc.tbx"), (List{"a.tbx"}));
  EXPECT_EQ(Entries("a.tbx, ,b.tbx"), (List{"a.tbx"}));
  // Every further call keeps answering "no entry".
  EXPECT_EQ(parseNextFileName(), 0);
  EXPECT_EQ(parseNextFileName(), 0);
  EXPECT_EQ(std::string(gszNextTambroFile), "a.tbx");
}

TEST_F(PlaylistTest, ListsWithoutEntriesAreMissing) {
  for (const char* text : {"", "\r\n\r\n   \r\n", "; only\r\n;comments", ",a.tbx"}) {
    WriteText(dir("list.txt"), text);
    EXPECT_EQ(PlayListRead(dir("list.txt").c_str()), gszErrorNotFound) << text;
  }
  EXPECT_EQ(PlayListRead(dir("absent.txt").c_str()), gszErrorNotFound);
}

TEST_F(PlaylistTest, EntriesFillTheThreeNamesAndTheCaption) {
  Entries("first.tbx\r\nsecond.tbx");
  EXPECT_EQ(std::string(gszFileName), "second.tbx");
  EXPECT_EQ(std::string(gszTitleName), "second.tbx");
  EXPECT_EQ(Caption(), "Tamborix - second.tbx");

  gbSavingMidiFile = 1;
  WriteText(dir("list.txt"), "third.tbx");
  ASSERT_EQ(PlayListRead(dir("list.txt").c_str()), nullptr);
  EXPECT_EQ(Caption(), "Tamborix - second.tbx");
  EXPECT_EQ(gbFirstFile, 1);
  EXPECT_EQ(gbLoadMidi, 0);
}

TEST_F(PlaylistTest, UnsavedChangesAreAskedAboutNamingTheEntryLeft) {
  Entries("a.tbx\r\nb.tbx");
  WriteText(dir("list.txt"), "a.tbx\r\nb.tbx");
  ASSERT_EQ(PlayListRead(dir("list.txt").c_str()), nullptr);
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDNO);
  EXPECT_EQ(parseNextFileName(), 1);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_NE(tbxtest::MessageBoxes()[0].text.find("a.tbx"), std::string::npos);
}

TEST_F(PlaylistTest, CaseInsensitiveEntryFindsTheFile) {
  WriteAll(dir("intro.tbx"), RecordBytes(SampleRecord()));
  EXPECT_EQ(Entries(dir("intro")), (List{dir("intro.TBX")}));
  EXPECT_EQ(TambroFileRead(gszNextTambroFile), nullptr);
  EXPECT_EQ(gTbro.LoopEnd, 40);
}

// An entry longer than the name buffers is never cut to a name that may be another file's:
// the buffers hold its beginning and ".../", which loads as missing; the list goes on.
TEST_F(PlaylistTest, OverlongEntryIsRefusedNeverCut) {
  std::string longName(400, 'n');
  List entries = Entries(longName + "\r\n" + std::string(300, 'd') + ".tbx\r\nnext");
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], std::string(255, 'n') + ".../");
  EXPECT_EQ(entries[1], std::string(255, 'd') + ".../");
  EXPECT_EQ(entries[2], "next.TBX");
}

// A failed or short read is reported as unreadable and keeps the list in use.
TEST_F(PlaylistTest, FailedReadKeepsTheListInUse) {
  Entries("a.tbx\r\nb.tbx");
  char* before = gpListBuffer;
  WriteText(dir("other.txt"), "x.tbx\r\ny.tbx");
  for (tbxtest::Fault fault : {tbxtest::Fault::FileRead, tbxtest::Fault::FileSize}) {
    tbxtest::InjectFault(fault);
    EXPECT_EQ(PlayListRead(dir("other.txt").c_str()), gszErrorCannotRead);
    tbxtest::ClearFaults();
    EXPECT_EQ(gpListBuffer, before);
  }
}

// Play All reads the list again while the run may still be parsing the old text on the
// timer thread: the old text stays readable until no run is active.
TEST_F(PlaylistTest, ReplacedTextOutlivesTheRunningSequence) {
  WriteText(dir("list.txt"), "a.tbx\r\nb.tbx\r\nc.tbx");
  ASSERT_EQ(PlayListRead(dir("list.txt").c_str()), nullptr);
  char* oldPosition = gpReadPointer;
  gbListInUse = 1;  // a run is active
  WriteText(dir("list.txt"), "x.tbx");
  ASSERT_EQ(PlayListRead(dir("list.txt").c_str()), nullptr);
  char* newPosition = gpReadPointer;
  gpReadPointer = oldPosition;  // the run's parse still uses the old text
  EXPECT_EQ(parseNextFileName(), 1);
  EXPECT_EQ(std::string(gszNextTambroFile), "b.tbx");
  gpReadPointer = newPosition;
  gbListInUse = 0;
  ASSERT_EQ(PlayListRead(dir("list.txt").c_str()), nullptr);
  EXPECT_EQ(std::string(gszNextTambroFile), "x.tbx");
  FreePlayList();
  EXPECT_EQ(gpListBuffer, nullptr);
  EXPECT_EQ(parseNextFileName(), 0);
}

TEST_F(PlaylistTest, ArbitraryBytesGiveBoundedEntries) {
  std::mt19937 rng(99);
  const char alphabet[] = "ab.;,\r\n \t\\/x";
  for (int iter = 0; iter < 300; ++iter) {
    size_t n = rng() % 2000;
    std::string text(n, ' ');
    for (auto& c : text) c = iter % 2 ? static_cast<char>(rng()) : alphabet[rng() % (sizeof alphabet - 1)];
    WriteText(dir("list.txt"), text);
    if (PlayListRead(dir("list.txt").c_str()) != nullptr) continue;
    int guard = 0;
    do {
      ASSERT_LT(std::strlen(gszNextTambroFile), size_t(TBX_PATH));
      ASSERT_GT(std::strlen(gszNextTambroFile), 0u);
      ASSERT_LT(++guard, 3000);
    } while (parseNextFileName());
  }
}

}  // namespace
