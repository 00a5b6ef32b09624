// The export commands end to end on the headless window: file layouts byte for byte where
// they are fixed, track lengths, names and the size report, the name proposal, playlist
// exports in both formats with the state they leave, and every way an export can fail
// without leaving a file (or a report) behind.
#include <algorithm>
#include <cstring>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/support.h"
#include "tests/files/scratch.h"
#include "tests/midifile/smf.h"

namespace {

class ExportTest : public WindowTest {
 protected:
  ScratchDir dir;

  void Export(UINT id, const std::string& out) {
    tbxtest::QueueFileDialog(out);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    OnExportCommand(hwnd, id);
  }
  // A project image with the settings of a new pattern and a 16-step range.
  static TbroRecord Project() {
    TbroRecord r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.Id, "TBRX", 4);
    r.Size = 3540;
    r.MsecPerBeat = 500;
    r.RelBeat = 2;
    r.LoopEnd = 16;
    r.BeatsPBar = 4;
    r.FreeAccent = 7;
    r.Voice = 3;
    r.VoiceLevel = 4;
    r.Transpose = 12;
    r.PercCh = 9;
    return r;
  }
  static TbroRecord Densest() {
    TbroRecord r = Project();
    r.LoopEnd = STEP_COUNT;
    for (int i = 0; i < STEP_SLOTS; ++i) r.PercL[i] = r.PercH[i] = r.VoiceL[i] = r.VoiceH[i] = 0xFFFFFFFFu;
    return r;
  }
  // Writes the entries' files and a list naming them (absolute paths), opened as a playlist.
  void OpenList(const std::vector<std::string>& entries, const std::string& listText = "") {
    std::string text = listText;
    if (text.empty())
      for (const auto& e : entries) text += dir(e) + "\r\n";
    WriteText(dir("list.txt"), text);
    std::strcpy(gszListName, dir("list.txt").c_str());
    gbSequenceOpened = 1;
  }
  // Parses an exported file; a file that is not well formed fails the test (and comes back
  // with empty tracks so that the caller's checks fail instead of reading past them).
  Smf Parse(const std::string& path) {
    Smf smf = ParseSmf(ReadAll(path));
    EXPECT_TRUE(smf.ok) << smf.error;
    smf.track.resize(std::max(smf.tracks, 2));
    for (auto& t : smf.track) t.resize(std::max<size_t>(t.size(), 2));
    EXPECT_TRUE(ExternalReaderAccepts(path)) << path;
    return smf;
  }
  static std::string Text(const SmfEvent& e) { return std::string(e.data.begin(), e.data.end()); }
  std::string Caption() {
    char text[300];
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
  }
};

TEST_F(ExportTest, FormatZeroFileLayoutAndReport) {
  CellTogglePerc(0, 2);
  CellToggleVoice(3, 12);
  Export(IDM_SAVEMIDI_GM, dir("a.mid"));
  Bytes b = ReadAll(dir("a.mid"));
  const Bytes head = {0x4D, 0x54, 0x68, 0x64, 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0x80, 0x4D, 0x54, 0x72, 0x6B};
  const Bytes events = {0x00, 0xFF, 0x03, 0x05, 0x61, 0x2E, 0x6D, 0x69, 0x64, 0x00, 0xFF, 0x21, 0x01, 0x00,
                        0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  ASSERT_GT(b.size(), 40u + 7);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 18), head);
  EXPECT_EQ(Bytes(b.begin() + 22, b.begin() + 44), events);
  EXPECT_EQ(Bytes(b.end() - 7, b.end()), (Bytes{0xB0, 0x7B, 0x00, 0x00, 0xFF, 0x2F, 0x00}));
  uint32_t length = b[18] << 24 | b[19] << 16 | b[20] << 8 | b[21];
  EXPECT_EQ(length + 22, b.size());

  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text,
            "MIDI file (Format0,GM active) generated. Size:" + std::to_string(b.size()) + " bytes");
  EXPECT_EQ(tbxtest::MessageBoxes()[0].caption, dir("a.mid"));
  EXPECT_EQ(std::string(gszTitleName), "a.mid");

  Smf smf = Parse(dir("a.mid"));
  EXPECT_EQ(smf.format, 0);
  EXPECT_EQ(smf.division, 384);
}

TEST_F(ExportTest, FormatOneTracksNamesAndProposal) {
  std::strcpy(gszFileName, dir("beat.tbx").c_str());
  CellTogglePerc(1, 6);
  CellToggleVoice(1, 6);
  Export(IDM_SAVEMIDI_F1, dir("beat_1.mid"));
  ASSERT_FALSE(tbxtest::FileDialogs().empty());
  EXPECT_EQ(tbxtest::FileDialogs().back().initialFile, dir("beat_1"));
  Smf smf = Parse(dir("beat_1.mid"));
  ASSERT_EQ(smf.tracks, 2);
  EXPECT_EQ(smf.format, 1);
  ASSERT_GE(smf.track[1].size(), 2u);
  EXPECT_EQ(Text(smf.track[0][0]), "Vbeat_1.mid");
  EXPECT_TRUE(smf.track[0][1].Meta(0x21));
  EXPECT_EQ(Text(smf.track[1][0]), "Pbeat_1.mid");
  EXPECT_TRUE(smf.track[1][1].Meta(0x58));  // no port event in track 2
  Bytes b = ReadAll(dir("beat_1.mid"));
  EXPECT_EQ(14 + 8 + smf.trackLength[0] + 8 + smf.trackLength[1], b.size());
  EXPECT_EQ(Bytes(b.end() - 7, b.end()), (Bytes{0xB9, 0x7B, 0x00, 0x00, 0xFF, 0x2F, 0x00}));
  EXPECT_EQ(tbxtest::MessageBoxes().back().text,
            "MIDI file (Format1) generated. Size:" + std::to_string(b.size()) + " bytes");
}

TEST_F(ExportTest, ProposalCutsAtFirstDotAndCancelWritesNothing) {
  std::strcpy(gszFileName, "C:\\my.songs\\beat.tbx");
  tbxtest::QueueFileDialog(std::nullopt);
  OnExportCommand(hwnd, IDM_SAVEMIDI_GM);
  gszFileName[0] = '\0';
  tbxtest::QueueFileDialog(std::nullopt);
  OnExportCommand(hwnd, IDM_SAVEMIDI_F1);
  ASSERT_EQ(tbxtest::FileDialogs().size(), 2u);
  EXPECT_EQ(tbxtest::FileDialogs()[0].initialFile, "C:\\my");
  EXPECT_EQ(tbxtest::FileDialogs()[1].initialFile, "_1");
  EXPECT_TRUE(tbxtest::FileDialogs()[1].save);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  EXPECT_TRUE(dir.Names().empty());
}

// Notes left pending in rows 48..59 by one export must not leak into the next.
TEST_F(ExportTest, TwoExportsInARowAreIdentical) {
  CellToggleVoice(0, 50);
  CellToggleVoice(2, 30);
  CellTogglePerc(15, 9);
  Export(IDM_SAVEMIDI_GM, dir("one.mid"));
  Export(IDM_SAVEMIDI_GM, dir("one.mid"));
  Bytes first = ReadAll(dir("one.mid"));
  Export(IDM_SAVEMIDI_GM, dir("one.mid"));
  EXPECT_EQ(ReadAll(dir("one.mid")), first);
  Export(IDM_SAVEMIDI_F1, dir("two.mid"));
  Bytes f1 = ReadAll(dir("two.mid"));
  Export(IDM_SAVEMIDI_F1, dir("two.mid"));
  EXPECT_EQ(ReadAll(dir("two.mid")), f1);
}

TEST_F(ExportTest, LongTrackNameGivesAValidFile) {
  std::string name = std::string(196, 'n') + ".mid";  // 200 bytes, 201 with the prefix
  CellTogglePerc(0, 4);
  Export(IDM_SAVEMIDI_GM, dir(name));
  Bytes b = ReadAll(dir(name));
  EXPECT_EQ(Bytes(b.begin() + 22, b.begin() + 26), (Bytes{0x00, 0xFF, 0x03, 0x81}));
  EXPECT_EQ(b[26], 200 - 128);
  Smf smf = Parse(dir(name));
  EXPECT_EQ(Text(smf.track[0][0]), name);

  Export(IDM_SAVEMIDI_F1, dir(name));
  smf = Parse(dir(name));
  EXPECT_EQ(Text(smf.track[1][0]), "P" + name);
}

TEST_F(ExportTest, FailedWriteReportsFailureAndKeepsTheOldFile) {
  WriteText(dir("a.mid"), "old");
  const std::pair<tbxtest::Fault, const char*> cases[] = {
      {tbxtest::Fault::FileCreate, "MIDI File Open Error!"},
      {tbxtest::Fault::FileWrite, "MIDI File Write Error!"},
      {tbxtest::Fault::FileRename, "MIDI File Write Error!"},
  };
  for (auto [fault, text] : cases) {
    tbxtest::ClearMessageBoxes();
    tbxtest::InjectFault(fault);
    Export(IDM_SAVEMIDI_GM, dir("a.mid"));
    tbxtest::ClearFaults();
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u) << text;  // no size report
    EXPECT_EQ(tbxtest::MessageBoxes()[0].text, text);
    EXPECT_EQ(tbxtest::MessageBoxes()[0].caption, "");
    EXPECT_EQ(ReadAll(dir("a.mid")), Bytes({'o', 'l', 'd'}));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"a.mid"});
  }
}

// The cases that depend on the step count, run as each of the four programs.
class ExportSteps : public StepsTest<ExportTest> {};
TBX_STEPS_SUITE(ExportSteps);

TEST_P(ExportSteps, DensestPatternExportsCompletely) {
  WriteAll(dir("dense.tbx"), RecordBytes(Densest()));
  ASSERT_EQ(TambroFileRead(dir("dense.tbx").c_str()), nullptr);
  Export(IDM_SAVEMIDI_GM, dir("dense.mid"));
  Smf smf = Parse(dir("dense.mid"));
  size_t ons = 0;
  for (const auto& e : smf.track[0]) ons += e.NoteOn();
  EXPECT_EQ(ons, size_t(STEP_COUNT) * 116);
  Export(IDM_SAVEMIDI_F1, dir("dense1.mid"));
  Parse(dir("dense1.mid"));
}

// ---------------------------------------------------------------- playlists

TEST_F(ExportTest, ListAsFormatZeroNamesEachEntryBeforeItsBody) {
  const std::vector<std::string> names = {"p1.tbx", "p2.tbx", "p3.tbx"};
  for (size_t e = 0; e < names.size(); ++e) {
    TbroRecord r = Project();
    r.PercL[15] = 1u << (5 + e);  // a hit on the last step: ended by the next entry
    r.BeatsPBar = e == 1 ? 3 : 4;
    WriteAll(dir(names[e]), RecordBytes(r));
  }
  OpenList(names);
  std::string caption = Caption();
  Export(IDM_SAVELIST_GM, dir("list.mid"));
  EXPECT_EQ(tbxtest::FileDialogs().back().initialFile, dir("list"));
  Smf smf = Parse(dir("list.mid"));
  ASSERT_EQ(smf.tracks, 1);
  std::vector<std::string> trackNames;
  const auto& ev = smf.track[0];
  for (size_t i = 0; i < ev.size(); ++i)
    if (ev[i].Meta(0x03)) {
      trackNames.push_back(Text(ev[i]));
      if (i > 0) {
        ASSERT_LT(i + 1, ev.size());
        EXPECT_TRUE(ev[i + 1].Meta(0x58));  // directly before the entry's time signature
        EXPECT_EQ(ev[i + 1].tick, ev[i].tick);
      }
    }
  EXPECT_EQ(trackNames, (std::vector<std::string>{"list.mid", dir("p1.tbx"), dir("p2.tbx"), dir("p3.tbx")}));
  Bytes b = ReadAll(dir("list.mid"));
  const size_t afterSysEx = 22 + 4 + 8 + 5 + 8;  // name "list.mid", port event, GM System On
  EXPECT_EQ(b[afterSysEx - 1], 0xF7);
  EXPECT_EQ(Bytes(b.begin() + afterSysEx, b.begin() + afterSysEx + 3), (Bytes{0x00, 0xFF, 0x03}));

  // The last entry stays loaded; the list is read to its end; the caption is untouched.
  EXPECT_EQ(std::string(gszNextTambroFile), dir("p3.tbx"));
  EXPECT_EQ(gTbro.PercL[15], 1u << 7);
  EXPECT_EQ(parseNextFileName(), 0);
  EXPECT_EQ(gbSavingMidiFile, 0);
  EXPECT_EQ(Caption(), caption);
}

TEST_F(ExportTest, ListAsFormatOneReadsEveryEntryTwice) {
  const std::vector<std::string> names = {"p1.tbx", "p2.tbx"};
  for (const auto& n : names) {
    TbroRecord r = Project();
    r.VoiceL[0] = 1u << 10;
    r.PercL[1] = 1u << 4;
    WriteAll(dir(n), RecordBytes(r));
  }
  OpenList(names);
  Export(IDM_SAVELIST_F1, dir("list_1.mid"));
  EXPECT_EQ(tbxtest::FileDialogs().back().initialFile, dir("list_1"));
  Smf smf = Parse(dir("list_1.mid"));
  ASSERT_EQ(smf.tracks, 2);
  EXPECT_EQ(Text(smf.track[0][0]), "Vlist_1.mid");
  EXPECT_EQ(Text(smf.track[1][0]), "Plist_1.mid");
  EXPECT_TRUE(smf.track[1][1].Meta(0x21));  // the list's track 2 has its port event
  // The bodies follow each other: entry 2 begins one closing delta after entry 1's last
  // step with output, and its first step ends the note entry 1 left sounding.
  for (int t = 0; t < 2; ++t) {
    std::vector<uint32_t> signatures;
    int names = 0;
    for (const auto& e : smf.track[t]) {
      if (e.Meta(0x58)) signatures.push_back(e.tick);
      names += e.Meta(0x03);
    }
    EXPECT_EQ(names, 1) << t;
    ASSERT_EQ(signatures.size(), 2u) << t;
    // voice: one note at step 0, then 15 empty steps; percussion: a hit at step 1 (one
    // step late, as every first step but step 0), ended at step 2, then 13 empty steps
    EXPECT_EQ(signatures[1], t == 0 ? 16u * 384 - 1 : 2u * 384 + 383 + 14 * 384 - 1) << t;
  }
  std::vector<std::pair<uint32_t, int>> voice;
  for (const auto& e : smf.track[0])
    if ((e.status & 0xF0) == 0x90) voice.push_back({e.tick, e.data[1]});
  EXPECT_EQ(voice, (std::vector<std::pair<uint32_t, int>>{{0, 64}, {16 * 384 - 1, 0}, {16 * 384, 64}}));
}

// The save dialog leaves the process in the MIDI file's folder; relative entries still
// name the files beside the list.
TEST_F(ExportTest, RelativeEntriesAreFoundBesideTheList) {
  TbroRecord r = Project();
  r.PercL[0] = 1u << 6;
  WriteAll(dir("one.tbx"), RecordBytes(r));
  std::filesystem::create_directories(dir("out"));
  OpenList({}, "one\r\n");
  Export(IDM_SAVELIST_GM, dir("out/list.mid"));
  Smf smf = Parse(dir("out/list.mid"));
  std::vector<std::string> trackNames;
  for (const auto& e : smf.track[0])
    if (e.Meta(0x03)) trackNames.push_back(Text(e));
  EXPECT_EQ(trackNames, (std::vector<std::string>{"list.mid", "one.TBX"}));  // the entry as written
}

TEST_F(ExportTest, EntryUnreadableInEitherPassCreatesNoFile) {
  WriteAll(dir("p1.tbx"), RecordBytes(Project()));
  WriteAll(dir("p3.tbx"), RecordBytes(Project()));
  OpenList({"p1.tbx", "p2.tbx", "p3.tbx"});
  tbxtest::QueueMessageBoxAnswer(IDOK);  // CreateFile Error
  tbxtest::QueueMessageBoxAnswer(IDOK);  // the message naming the entry
  tbxtest::QueueFileDialog(dir("list.mid"));
  OnExportCommand(hwnd, IDM_SAVELIST_GM);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 2u);
  EXPECT_EQ(tbxtest::MessageBoxes()[1].text, "File " + dir("p2.tbx") + " is missing or cannot be opended.");
  EXPECT_FALSE(Exists(dir("list.mid")));
  EXPECT_EQ(gbSavingMidiFile, 0);

  // Format 1: the second pass finds the first entry gone (the list, then two entries read).
  WriteAll(dir("p2.tbx"), RecordBytes(Project()));
  OpenList({"p1.tbx", "p2.tbx"});
  tbxtest::ClearMessageBoxes();
  tbxtest::InjectFault(tbxtest::Fault::FileOpen, 3);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::QueueFileDialog(dir("list_1.mid"));
  OnExportCommand(hwnd, IDM_SAVELIST_F1);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 2u);
  EXPECT_EQ(tbxtest::MessageBoxes()[1].text, "File " + dir("p1.tbx") + " is missing or cannot be opended.");
  EXPECT_FALSE(Exists(dir("list_1.mid")));
}

TEST_F(ExportTest, ListCommandsNeedAnOpenListAndAStoppedSequence) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  OnExportCommand(hwnd, IDM_SAVELIST_GM);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "first load playlist !");
  EXPECT_EQ(tbxtest::MessageBoxes()[0].caption, "Tamborix");
  EXPECT_EQ(tbxtest::MessageBoxes()[0].flags & MB_ICONMASK, UINT(MB_ICONSTOP));

  WriteAll(dir("p1.tbx"), RecordBytes(Project()));
  OpenList({"p1.tbx"});
  tbxtest::ClearMessageBoxes();
  gbSequenceGoing = 1;
  tbxtest::QueueMessageBoxAnswer(IDOK);
  OnExportCommand(hwnd, IDM_SAVELIST_F1);
  gbSequenceGoing = 0;
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text.rfind("First stop sequence before change", 0), 0u);
  EXPECT_TRUE(tbxtest::FileDialogs().empty());
  EXPECT_EQ(gbSavingMidiFile, 0);
}

TEST_F(ExportTest, TwoHundredDenseEntriesExportCompletely) {
  WriteAll(dir("dense.tbx"), RecordBytes(Densest()));
  std::string text;
  for (int e = 0; e < 200; ++e) text += dir("dense.tbx") + "\r\n";
  OpenList({}, text);
  Export(IDM_SAVELIST_GM, dir("big.mid"));
  Smf smf = ParseSmf(ReadAll(dir("big.mid")), false);
  ASSERT_TRUE(smf.ok) << smf.error;
  int names = 0;
  for (const auto& e : smf.track[0]) names += e.Meta(0x03);
  EXPECT_EQ(names, 201);
  EXPECT_EQ(tbxtest::MessageBoxes().back().text.rfind("MIDI file (Format0", 0), 0u);
}

}  // namespace
