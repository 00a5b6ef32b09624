// Project files: the exact image of a save, loading the current and the older layout with
// the settings each command takes over, the size and identifier rules, repaired headers,
// backups (when, under which name, of which bytes), failures that must leave the old file
// intact, and arbitrary bytes read as a project.
#include <algorithm>
#include <cstring>
#include <random>

#include "app/app.h"
#include "files/files.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/support.h"
#include "tests/files/scratch.h"

namespace {

class ProjectTest : public WindowTest {
 protected:
  ScratchDir dir;

  // Load through the menu command with the open dialog answered by path.
  void Load(const std::string& path, bool withMidi = false) {
    tbxtest::QueueFileDialog(path);
    FileLoad(hwnd, withMidi ? TRUE : FALSE);
  }
  void Command(UINT id) { SendMessageA(hwnd, WM_COMMAND, id, 0); }
  void SaveAs(const std::string& path) {
    tbxtest::QueueFileDialog(path);
    ASSERT_TRUE(FileSaveAs(hwnd));
  }
  void MarkChanged() {
    CellTogglePerc(3, 10);
    gbNeedSave = 1;
    gbFileChanged = 1;
  }
  bool Checked(UINT id) { return (GetMenuState(ghMenu, id, MF_BYCOMMAND) & MF_CHECKED) != 0; }
  std::string Caption() {
    char text[300];
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
  }
  int16_t Word(const Bytes& b, size_t offset) { return static_cast<int16_t>(b[offset] | b[offset + 1] << 8); }
  // Bytes that are not the image of a saved project leave no trace in the folder.
  void ExpectOnly(std::vector<std::string> names) {
    auto found = dir.Names();
    std::sort(found.begin(), found.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(found, names);
  }
};

// The older layout: fields up to MidiOutPort as now, then PercCh, VoiceCh and the arrays
// four bytes earlier, 3536 bytes in all.
Bytes OlderImage(const TbroRecord& r, int16_t size) {
  Bytes current = RecordBytes(r);
  Bytes old(current.begin(), current.begin() + 28);
  old[4] = size & 0xFF;
  old[5] = (size >> 8) & 0xFF;
  old.insert(old.end(), current.begin() + 30, current.begin() + 34);
  old.insert(old.end(), current.begin() + 36, current.end());
  return old;
}

// The cases that depend on the step count, run as each of the four programs.
class ProjectSteps : public StepsTest<ProjectTest> {};
TBX_STEPS_SUITE(ProjectSteps);

TEST_P(ProjectSteps, NewPatternSavedAtOnceIsTheDefaultImage) {
  tbxtest::QueueFileDialog(dir("new.tbx"));
  FileSave(hwnd);
  Bytes b = ReadAll(dir("new.tbx"));
  ASSERT_EQ(b.size(), 3540u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "TBRX");
  const int16_t steps = static_cast<int16_t>(GetParam());
  const int16_t expected[] = {3540, 500, 2, 0, steps, 4, 0, 7, 3, 4, 12, 0, 0, 9, 0, 0};
  for (int f = 0; f < 16; ++f) EXPECT_EQ(Word(b, 4 + 2 * f), expected[f]) << "header word at " << 4 + 2 * f;
  for (size_t i = 36; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "array byte " << i;
  ExpectOnly({"new.tbx"});
  EXPECT_EQ(Caption(), "Tamborix - new.tbx");
  EXPECT_EQ(gbNeedSave, 0);
}

TEST_F(ProjectTest, SaveOfUntitledPatternCancelledWritesNothing) {
  tbxtest::QueueFileDialog(std::nullopt);
  FileSave(hwnd);
  ExpectOnly({});
  tbxtest::QueueFileDialog(std::nullopt);
  EXPECT_FALSE(FileSaveAs(hwnd));
  ExpectOnly({});
}

TEST_F(ProjectTest, RoundTripKeepsEveryFieldAndArray) {
  TbroRecord sample = SampleRecord();
  WriteAll(dir("song.tbx"), RecordBytes(sample));
  Load(dir("song.tbx"), true);
  EXPECT_EQ(std::string(gszTitleName), "song.tbx");
  EXPECT_EQ(gMsecPerBeat, 400);
  EXPECT_EQ(gRelBeat, 3);
  EXPECT_EQ(gBeatsPBar, 6);
  EXPECT_EQ(gAccent, 2);
  EXPECT_EQ(gFreeAccent, 9);
  EXPECT_EQ(gVoice, 26);
  EXPECT_EQ(gVoiceLevel, 6);
  EXPECT_EQ(gDeltaVoiceLevel, 40);
  EXPECT_EQ(gTranspose, 10);
  EXPECT_EQ(gPercCh, 15);
  EXPECT_EQ(gVoiceCh, 5);
  EXPECT_EQ(giTempo, 150);
  EXPECT_EQ(gNoteOffset, 36);
  EXPECT_EQ(gTbro.LoopStart, 4);
  EXPECT_EQ(gTbro.LoopEnd, 40);
  EXPECT_EQ(std::memcmp(gTbro.PercL, sample.PercL, 6 * sizeof sample.PercL), 0);
  for (UINT id : {IDM_BEATSPBAR + 6, IDM_RELBEAT + 3, IDM_ACCENT + 2, IDM_FREEACCENT + 9, IDM_VOICE + 26,
                  IDM_VOICELEVEL + 6, IDM_TRANSPOSE + 10, IDM_PERCCH + 15, IDM_VOICECH + 5})
    EXPECT_TRUE(Checked(id)) << id;
  for (UINT id : {IDM_BEATSPBAR + 4, IDM_RELBEAT + 2, IDM_VOICE + 3, IDM_PERCCH + 9, IDM_VOICECH + 0})
    EXPECT_FALSE(Checked(id)) << id;
  EXPECT_EQ(gbNeedSave, 0);
  EXPECT_EQ(gbEdit, 1);

  // Saved again, the file is the same bytes.
  ASSERT_EQ(TambroFileWrite(dir("again.tbx").c_str()), nullptr);
  EXPECT_EQ(ReadAll(dir("again.tbx")), RecordBytes(sample));
}

TEST_F(ProjectTest, InstrumentWithoutItemChecksOthers) {
  TbroRecord sample = SampleRecord();
  sample.Voice = 40;
  WriteAll(dir("v.tbx"), RecordBytes(sample));
  Load(dir("v.tbx"));
  EXPECT_EQ(gVoiceChecked, 99);
  EXPECT_TRUE(Checked(IDM_VOICE_OTHERS));
  EXPECT_FALSE(Checked(IDM_VOICE + 3));
}

TEST_F(ProjectTest, PlainLoadKeepsPortsAndChannelsWithMidiTakesThemWithinDevices) {
  TbroRecord sample = SampleRecord();
  sample.MidiOutPort = 3;  // beyond the one installed output
  sample.MidiInPort = -2;  // negative: compared as unsigned, beyond the one input
  WriteAll(dir("ports.tbx"), RecordBytes(sample));
  Load(dir("ports.tbx"), false);
  EXPECT_EQ(gPercCh, 9);
  EXPECT_EQ(gVoiceCh, 0);
  EXPECT_EQ(gMidiOutPort, 0);

  Load(dir("ports.tbx"), true);
  EXPECT_EQ(gMidiOutPort, 0);
  EXPECT_EQ(gMidiInPort, 0);
  EXPECT_EQ(gPercCh, 15);
  EXPECT_EQ(gVoiceCh, 5);
}

TEST_F(ProjectTest, TempoAndTranspositionOnlyFromAFirstFile) {
  TbroRecord sample = SampleRecord();
  WriteAll(dir("s.tbx"), RecordBytes(sample));
  gbFirstFile = 0;
  gbEdit = 0;
  ASSERT_EQ(TambroFileRead(dir("s.tbx").c_str()), nullptr);
  EXPECT_EQ(gMsecPerBeat, 500);
  EXPECT_EQ(gTranspose, 12);
  EXPECT_EQ(gVoiceLevel, 4);        // not in edit mode
  EXPECT_EQ(gDeltaVoiceLevel, 40);  // always from the file
  EXPECT_EQ(gBeatsPBar, 6);
}

TEST_F(ProjectTest, OlderLayoutLoadsAndSavesInTheCurrentOne) {
  TbroRecord sample = SampleRecord();
  WriteAll(dir("old.tbx"), OlderImage(sample, 1234));  // its Size is not examined
  Load(dir("old.tbx"), true);
  EXPECT_EQ(gMidiInPort, 0);
  EXPECT_EQ(gPercCh, 15);
  EXPECT_EQ(gVoiceCh, 5);
  EXPECT_EQ(gTbro.LoopEnd, 40);
  EXPECT_EQ(std::memcmp(gTbro.PercL, sample.PercL, 6 * sizeof sample.PercL), 0);

  FileSave(hwnd);
  Bytes saved = ReadAll(dir("old.tbx"));
  ASSERT_EQ(saved.size(), 3540u);
  EXPECT_EQ(saved, RecordBytes(sample));
}

TEST_F(ProjectTest, SizeAndIdentifierRules) {
  Bytes good = RecordBytes(SampleRecord());
  struct Case {
    Bytes bytes;
    const char* result;
  };
  Bytes badSize = good;
  badSize[4] = 0xD0;  // 3536 in a 3540-byte file
  Bytes badId = good;
  badId[3] = 'Y';
  Bytes longer = good;
  longer.resize(5000, 0xEE);
  Bytes oldBadId = OlderImage(SampleRecord(), 3536);
  oldBadId[0] = 'X';
  std::vector<Case> cases = {
      {Bytes(), gszErrorCannotRead},
      {Bytes(good.begin(), good.begin() + 100), gszErrorCannotRead},
      {Bytes(good.begin(), good.begin() + 3535), gszErrorCannotRead},
      {Bytes(good.begin(), good.begin() + 3537), gszErrorCannotRead},
      {Bytes(good.begin(), good.begin() + 3539), gszErrorCannotRead},
      {badSize, gszErrorNotTambro},
      {badId, gszErrorNotTambro},
      {oldBadId, gszErrorNotTambro},
      {longer, nullptr},  // judged by its first 3540 bytes
      {good, nullptr},
  };
  for (size_t c = 0; c < cases.size(); ++c) {
    WriteAll(dir("c.tbx"), cases[c].bytes);
    EXPECT_EQ(TambroFileRead(dir("c.tbx").c_str()), cases[c].result) << "case " << c;
  }
}

TEST_F(ProjectTest, FailedReadLeavesPatternAndSettings) {
  CellTogglePerc(5, 7);
  gbFileChanged = 1;
  gbNewFile = 1;
  WriteAll(dir("bad.tbx"), Bytes(3540, 0x41));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Load(dir("bad.tbx"));
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "File bad.tbx is not a valid project file.");
  EXPECT_EQ(CellPerc(5, 7), 1);
  EXPECT_EQ(gBeatsPBar, 4);
  EXPECT_EQ(gbFileChanged, 0);
  EXPECT_EQ(gbNewFile, 0);
  EXPECT_EQ(gszTitleName[0], '\0');
  EXPECT_EQ(gszFileName[0], '\0');
  EXPECT_EQ(gbEdit, 1);  // still the mode the Play menu shows
}

TEST_F(ProjectTest, MissingFileShowsCreateFileErrorThenMessage) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Load(dir("nothere.tbx"));
  const auto& boxes = tbxtest::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text.rfind("CreateFile Error:", 0), 0u) << boxes[0].text;
  EXPECT_EQ(boxes[0].text.back(), ' ');
  EXPECT_EQ(boxes[0].caption, "");  // the command line, empty here
  EXPECT_EQ(boxes[0].owner, hwnd);
  EXPECT_EQ(boxes[1].text, "File nothere.tbx is missing or cannot be opended.");
  EXPECT_EQ(boxes[1].caption, "Tamborix");
}

// Headers that would make the step clock or the tempo display divide by zero, or play
// outside the pattern, are repaired; LoopEnd above the step count is limited.
TEST_P(ProjectSteps, HeaderRepairsAndLoopEndLimit) {
  const int16_t steps = static_cast<int16_t>(GetParam());
  struct Case {
    int16_t loopStart, loopEnd, msec, beats, rel;
    int16_t wantStart, wantEnd, wantMsec, wantBeats, wantRel;
  };
  const Case cases[] = {
      {0, 200, 500, 4, 2, 0, steps, 500, 4, 2},
      {3, 0, 0, 0, 10, 3, steps, 500, 4, 2},
      {-3, -8, -100, -4, -1, 0, steps, 500, 4, 2},
      {20, 10, 600, 7, 9, 0, 10, 600, 7, 9},
      {71, 72, 1500, 24, 0, 71, 72, 1500, 24, 0},
  };
  for (const Case& c : cases) {
    TbroRecord r = SampleRecord();
    r.LoopStart = c.loopStart;
    r.LoopEnd = c.loopEnd;
    r.MsecPerBeat = c.msec;
    r.BeatsPBar = c.beats;
    r.RelBeat = c.rel;
    WriteAll(dir("r.tbx"), RecordBytes(r));
    gbFirstFile = 1;
    ASSERT_EQ(TambroFileRead(dir("r.tbx").c_str()), nullptr);
    EXPECT_EQ(gTbro.LoopStart, c.wantStart) << c.loopStart << "/" << c.loopEnd;
    EXPECT_EQ(gTbro.LoopEnd, c.wantEnd) << c.loopStart << "/" << c.loopEnd;
    EXPECT_EQ(gTbro.MsecPerBeat, c.wantMsec);
    EXPECT_EQ(gMsecPerBeat, c.wantMsec);
    EXPECT_EQ(gBeatsPBar, c.wantBeats);
    EXPECT_EQ(gRelBeat, c.wantRel);
  }
}

TEST_F(ProjectTest, CommandLineTitleIsTextAfterLastSeparator) {
  WriteAll(dir("cmd.tbx"), RecordBytes(SampleRecord()));
  std::string mixed = dir.dir().string() + "\\cmd.tbx";  // '\' separates folders too
  std::strncpy(gszCmdLine, mixed.c_str(), sizeof gszCmdLine - 1);
  gbCmdLine = 1;
  FileLoad(hwnd, FALSE);
  EXPECT_EQ(gbCmdLine, 0);
  EXPECT_EQ(std::string(gszTitleName), "cmd.tbx");
  EXPECT_EQ(gTbro.LoopEnd, 40);
  EXPECT_TRUE(tbxtest::FileDialogs().empty());
}

// ---------------------------------------------------------------- backups

TEST_F(ProjectTest, BackupOnlyWhenChangedAndHoldsTheLoadedBytes) {
  Bytes original = RecordBytes(SampleRecord());
  WriteAll(dir("a.tbx"), original);
  Load(dir("a.tbx"));
  FileSave(hwnd);
  ExpectOnly({"a.tbx"});

  MarkChanged();
  FileSave(hwnd);
  ExpectOnly({"a.tbx", "a.BAK"});
  EXPECT_EQ(ReadAll(dir("a.BAK")), original);
  Bytes now = ReadAll(dir("a.tbx"));
  EXPECT_NE(now, original);
  EXPECT_EQ(gbNeedSave, 0);
}

TEST_F(ProjectTest, BackupNameCutsAtFirstDotOfTheFileNameOnly) {
  std::filesystem::create_directories(dir("my.songs"));
  Bytes original = RecordBytes(SampleRecord());
  const std::pair<const char*, const char*> cases[] = {
      {"my.songs/beat.tbx", "my.songs/beat.BAK"},
      {"beat.v2.tbx", "beat.BAK"},
      {"plain", "plain.BAK"},
  };
  for (const auto& [file, backup] : cases) {
    WriteAll(dir(file), original);
    Load(dir(file));
    MarkChanged();
    FileSave(hwnd);
    EXPECT_EQ(ReadAll(dir(backup)), original) << file;
  }
  EXPECT_FALSE(Exists(dir("my.BAK")));
}

TEST_F(ProjectTest, SaveAsBackupIsNamedAfterTheNewPath) {
  Bytes original = RecordBytes(SampleRecord());
  WriteAll(dir("a.tbx"), original);
  Load(dir("a.tbx"));
  SaveAs(dir("b.tbx"));
  EXPECT_EQ(ReadAll(dir("b.BAK")), original);
  EXPECT_EQ(std::string(gszTitleName), "b.tbx");

  FileNew(hwnd);
  SaveAs(dir("c.tbx"));
  EXPECT_FALSE(Exists(dir("c.BAK")));
}

TEST_F(ProjectTest, BackupOfOlderLayoutReadsBackAsTheSamePattern) {
  TbroRecord sample = SampleRecord();
  WriteAll(dir("old.tbx"), OlderImage(sample, 3536));
  Load(dir("old.tbx"), true);
  MarkChanged();
  FileSave(hwnd);
  ASSERT_TRUE(Exists(dir("old.BAK")));
  Bytes backup = ReadAll(dir("old.BAK"));
  EXPECT_EQ(backup, RecordBytes(sample));
}

// ---------------------------------------------------------------- chunks after the record

// One chunk: id, 32-bit little-endian length, data.
Bytes Chunk(const char* id, const Bytes& data, uint32_t length = UINT32_MAX) {
  if (length == UINT32_MAX) length = static_cast<uint32_t>(data.size());
  Bytes b(id, id + 4);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(length >> (8 * i)));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

Bytes SwingChunk(int16_t swing) { return Chunk("SWNG", {static_cast<unsigned char>(swing & 0xFF), static_cast<unsigned char>(swing >> 8)}); }

// ACNT or GHST data: four arrays of 146 words, every word `word` but the first of the
// third array (VoiceL of step 0), which is `voiceL0`.
Bytes DynamicsData(uint32_t word, uint32_t voiceL0) {
  Bytes b;
  for (int a = 0; a < 4; ++a)
    for (int i = 0; i < STEP_SLOTS; ++i) {
      const uint32_t w = a == 2 && i == 0 ? voiceL0 : word;
      for (int k = 0; k < 4; ++k) b.push_back(static_cast<unsigned char>(w >> (8 * k)));
    }
  return b;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Reading: unknown chunks and known ids of another length are skipped; a chunk that runs
// past the end leaves every chunk unread (the record is taken, with a warning); a swing
// outside 50..75 is straight; bits of empty cells and of the flag rows are dropped; a cell
// with both bits is accented.
TEST_F(ProjectTest, ChunksAfterTheRecord) {
  const TbroRecord sample = SampleRecord();
  const Bytes record = RecordBytes(sample);
  const Bytes accents = Chunk("ACNT", DynamicsData(0xFFFFFFFFu, 0));
  const Bytes ghosts = Chunk("GHST", DynamicsData(0x0000FFFFu, 0xFFFFFFFFu));
  const struct {
    const char* what;
    Bytes bytes;
    int swing;
    bool warned, accent, ghost;
  } cases[] = {
      {"record alone", record, 50, false, false, false},
      {"all three", Join({record, SwingChunk(66), accents, ghosts}), 66, false, true, true},
      {"unknown chunks skipped", Join({record, Chunk("XTRA", Bytes(10, 0xEE)), SwingChunk(71), Chunk("zzzz", {})}),
       71, false, false, false},
      {"another length skipped", Join({record, Chunk("SWNG", {60, 0, 0, 0}), Chunk("ACNT", Bytes(16, 0xFF))}), 50,
       false, false, false},
      {"swing beyond 75", Join({record, SwingChunk(80)}), 50, false, false, false},
      {"swing below 50", Join({record, SwingChunk(-66)}), 50, false, false, false},
      {"swing without an item", Join({record, SwingChunk(60)}), 60, false, false, false},
      {"truncated data", Join({record, SwingChunk(66), Chunk("ACNT", Bytes(100, 0xFF), 2336)}), 50, true, false,
       false},
      {"truncated header", Join({record, SwingChunk(66), Bytes{'G', 'H', 'S'}}), 50, true, false, false},
      {"length beyond any file", Join({record, ghosts, Chunk("XTRA", {}, 0xFFFFFFF8u)}), 50, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DynamicsClear();
    gSwing = 58;
    WriteAll(dir("c.tbx"), c.bytes);
    const char* warning = "none";
    ASSERT_EQ(TambroFileRead(dir("c.tbx").c_str(), &warning), nullptr);
    EXPECT_EQ(warning, c.warned ? gszErrorCannotRead : nullptr);
    EXPECT_EQ(std::memcmp(gTbro.PercL, sample.PercL, 6 * sizeof sample.PercL), 0);
    EXPECT_EQ(gSwing, c.swing);
    for (int i = 0; i < STEP_SLOTS; ++i) {
      // Accent: every note of the pattern but the flag rows; ghost: rows 0..15, and every
      // row of VoiceL at step 0 (where the accent wins).
      const uint32_t accentPercL = c.accent ? sample.PercL[i] & ~3u : 0;
      const uint32_t ghostPercL = c.ghost ? sample.PercL[i] & 0xFFFCu : 0;
      ASSERT_EQ(StepGet(gDynamics.AccentPercL, i), accentPercL) << i;
      ASSERT_EQ(StepGet(gDynamics.GhostPercL, i), ghostPercL) << i;
      ASSERT_EQ(StepGet(gDynamics.AccentVoiceH, i), c.accent ? sample.VoiceH[i] : 0u) << i;
    }
    EXPECT_EQ(StepGet(gDynamics.AccentVoiceL, 0), 0u);  // the accents' VoiceL of step 0 is empty
    EXPECT_EQ(StepGet(gDynamics.GhostVoiceL, 0), c.ghost ? sample.VoiceL[0] & ~3u : 0u);
    if (c.accent && c.ghost) {
      EXPECT_EQ(CellDynamic(1, 2, false), DYN_ACCENT);  // VoiceL[1] = ~1: row 2 has both bits
      EXPECT_EQ(CellDynamic(0, 2, false), DYN_GHOST);
    }
  }

  // Through the menu the warning is the usual message, and the file stays loaded.
  WriteAll(dir("cut.tbx"), Join({record, SwingChunk(66), Bytes{'A', 'C'}}));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  Load(dir("cut.tbx"));
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "File cut.tbx is unreadable.");
  EXPECT_EQ(std::string(gszTitleName), "cut.tbx");
  EXPECT_EQ(gTbro.LoopEnd, 40);
  EXPECT_EQ(gbNeedSave, 0);
}

// Writing: the record alone without swing and dynamics; otherwise the chunks needed, in the
// order SWNG, ACNT, GHST, bits of empty cells cleared; loaded again, the same groove. The
// swing of a file is taken at every load, straight from a file without it.
TEST_F(ProjectTest, ChunksWrittenOnlyWhenNeeded) {
  CellTogglePerc(3, 10);
  CellToggleVoice(3, 40);
  ASSERT_EQ(TambroFileWrite(dir("plain.tbx").c_str()), nullptr);
  EXPECT_EQ(ReadAll(dir("plain.tbx")).size(), 3540u);

  Command(IDM_SWING + 62);
  EXPECT_EQ(gbNeedSave, 1);
  ASSERT_EQ(TambroFileWrite(dir("swing.tbx").c_str()), nullptr);
  Bytes swing = ReadAll(dir("swing.tbx"));
  EXPECT_EQ(Bytes(swing.begin() + 3540, swing.end()), SwingChunk(62));

  SetCellDynamic(3, 40, false, DYN_GHOST);
  StepOr(gDynamics.AccentPercL, 5, 1u << 10);  // no note there: never written
  ASSERT_EQ(TambroFileWrite(dir("ghost.tbx").c_str()), nullptr);
  Bytes ghost = ReadAll(dir("ghost.tbx"));
  ASSERT_EQ(ghost.size(), 3540u + 10 + 8 + 2336);
  EXPECT_EQ(std::string(ghost.begin() + 3550, ghost.begin() + 3554), "GHST");
  EXPECT_EQ(ghost[3550 + 8 + (3 * STEP_SLOTS + 3) * 4 + 1], 1u);  // VoiceH of step 3, bit 8

  SetCellDynamic(3, 10, true, DYN_ACCENT);
  ASSERT_EQ(TambroFileWrite(dir("all.tbx").c_str()), nullptr);
  Bytes all = ReadAll(dir("all.tbx"));
  ASSERT_EQ(all.size(), 3540u + 10 + 2 * (8 + 2336));
  EXPECT_EQ(std::string(all.begin() + 3550, all.begin() + 3554), "ACNT");
  EXPECT_EQ(std::string(all.begin() + 3550 + 8 + 2336, all.begin() + 3554 + 8 + 2336), "GHST");
  Bytes accents(all.begin() + 3558, all.begin() + 3558 + 2336);
  EXPECT_EQ(std::count_if(accents.begin(), accents.end(), [](unsigned char b) { return b != 0; }), 1);

  PatternClear();
  Command(IDM_SWING + 50);
  gbNeedSave = 0;
  Load(dir("all.tbx"));
  EXPECT_EQ(gSwing, 62);
  EXPECT_TRUE(Checked(IDM_SWING + 62));
  EXPECT_FALSE(Checked(IDM_SWING + 50));
  EXPECT_EQ(CellDynamic(3, 10, true), DYN_ACCENT);
  EXPECT_EQ(CellDynamic(3, 40, false), DYN_GHOST);
  EXPECT_EQ(StepGet(gDynamics.AccentPercL, 5), 0u);
  ASSERT_EQ(TambroFileWrite(dir("again.tbx").c_str()), nullptr);
  EXPECT_EQ(ReadAll(dir("again.tbx")), all);

  Load(dir("plain.tbx"));
  EXPECT_EQ(gSwing, 50);
  EXPECT_TRUE(Checked(IDM_SWING + 50));
  EXPECT_EQ(CellDynamic(3, 10, true), DYN_NORMAL);

  Load(dir("all.tbx"));
  FileNew(hwnd);  // New keeps the swing, as every setting, and clears the notes' dynamics
  EXPECT_EQ(gSwing, 62);
  EXPECT_EQ(StepGet(gDynamics.AccentPercL, 3) | StepGet(gDynamics.GhostVoiceH, 3), 0u);
}

// The backup is the whole file as it was read, chunks it does not know included.
TEST_F(ProjectTest, BackupKeepsTheChunks) {
  const Bytes original = Join({RecordBytes(SampleRecord()), Chunk("XTRA", Bytes(5, 7)), SwingChunk(75)});
  WriteAll(dir("a.tbx"), original);
  Load(dir("a.tbx"));
  MarkChanged();
  FileSave(hwnd);
  EXPECT_EQ(ReadAll(dir("a.BAK")), original);
  Bytes saved = ReadAll(dir("a.tbx"));
  EXPECT_EQ(Bytes(saved.begin() + 3540, saved.end()), SwingChunk(75));
}

// ---------------------------------------------------------------- failures keep the old file

TEST_F(ProjectTest, FailedSaveLeavesThePreviousFileIntact) {
  const tbxtest::Fault faults[] = {tbxtest::Fault::FileCreate, tbxtest::Fault::FileWrite,
                                   tbxtest::Fault::FileRename};
  Bytes original = RecordBytes(SampleRecord());
  for (tbxtest::Fault fault : faults) {
    WriteAll(dir("a.tbx"), original);
    Load(dir("a.tbx"));
    CellTogglePerc(1, 20);
    tbxtest::ClearMessageBoxes();
    tbxtest::InjectFault(fault);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    FileSave(hwnd);  // unchanged since loaded: no backup, only the write
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
    EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "Cannot write file a.tbx .");
    EXPECT_EQ(ReadAll(dir("a.tbx")), original);
    ExpectOnly({"a.tbx"});  // no temporary file left behind
    EXPECT_EQ(gszTitleName[0], '\0');
    tbxtest::ClearFaults();
  }
}

TEST_F(ProjectTest, FailedBackupIsSilentAndTheSaveGoesOn) {
  WriteAll(dir("a.tbx"), RecordBytes(SampleRecord()));
  Load(dir("a.tbx"));
  MarkChanged();
  tbxtest::InjectFault(tbxtest::Fault::FileCreate);
  FileSave(hwnd);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  ExpectOnly({"a.tbx"});
  EXPECT_NE(ReadAll(dir("a.tbx")), RecordBytes(SampleRecord()));
  EXPECT_EQ(gbNeedSave, 0);
}

TEST_F(ProjectTest, ShortReadIsUnreadable) {
  WriteAll(dir("a.tbx"), RecordBytes(SampleRecord()));
  tbxtest::InjectFault(tbxtest::Fault::FileRead);
  EXPECT_EQ(TambroFileRead(dir("a.tbx").c_str()), gszErrorCannotRead);
  EXPECT_EQ(gTbro.LoopEnd, STEP_COUNT);
}

// ---------------------------------------------------------------- arbitrary input

TEST_P(ProjectSteps, ArbitraryBytesNeverCorruptThePattern) {
  std::mt19937 rng(1234);
  const size_t lengths[] = {0, 1, 4, 6, 36, 3535, 3536, 3536, 3539, 3540, 3540, 3540, 3541, 8000};
  for (int iter = 0; iter < 300; ++iter) {
    Bytes b(lengths[iter % (sizeof lengths / sizeof lengths[0])]);
    for (auto& x : b) x = static_cast<unsigned char>(rng());
    if (b.size() >= 6 && iter % 3 != 0) {
      std::memcpy(b.data(), "TBRX", 4);
      b[4] = 3540 & 0xFF;
      b[5] = 3540 >> 8;
    }
    WriteAll(dir("x.tbx"), b);
    gbFirstFile = iter & 1;
    gbEdit = (iter >> 1) & 1;
    gbLoadMidi = (iter >> 2) & 1;
    if (TambroFileRead(dir("x.tbx").c_str()) != nullptr) continue;
    ASSERT_GE(gTbro.LoopStart, 0);
    ASSERT_LT(gTbro.LoopStart, gTbro.LoopEnd);
    ASSERT_LE(gTbro.LoopEnd, STEP_COUNT);
    ASSERT_GT(gMsecPerBeat, 0);
    ASSERT_GT(gBeatsPBar, 0);
    ASSERT_GE(gRelBeat, 0);
    ASSERT_LE(gRelBeat, 9);
    ASSERT_GE(giTempo, 40);
    ASSERT_LE(giTempo, 506);
  }
}

}  // namespace
