// MIDI file import: the round trip of the program's own exports, files as other programs
// write them (formats 0 and 1, running status, any division, humanised timing, a RIFF
// wrapper), music cut into parts and a playlist, the refusals of bad files, and the window's
// side (the save question, the untitled changed pattern, the report box, a dropped file).
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "tests/files/scratch.h"
#include "tests/midifile/smf.h"
#include "tests/support.h"

namespace {

// ---------------------------------------------------------------- files written by hand

struct Ev {
  uint32_t tick;
  Bytes bytes;  // a complete event: status and data, or FF type length payload
};

Bytes VarLen(uint32_t v) {
  Bytes b{static_cast<unsigned char>(v & 0x7F)};
  while (v >>= 7) b.insert(b.begin(), static_cast<unsigned char>(0x80 | (v & 0x7F)));
  return b;
}

// One MTrk chunk; with running status a channel status equal to the last one is left out.
Bytes Track(std::vector<Ev> events, bool running = false) {
  std::stable_sort(events.begin(), events.end(), [](const Ev& a, const Ev& b) { return a.tick < b.tick; });
  events.push_back({events.empty() ? 0 : events.back().tick, {0xFF, 0x2F, 0x00}});
  Bytes body;
  uint32_t now = 0;
  unsigned char status = 0;
  for (const Ev& e : events) {
    Bytes d = VarLen(e.tick - now);
    body.insert(body.end(), d.begin(), d.end());
    now = e.tick;
    size_t from = 0;
    if (e.bytes[0] < 0xF0) {
      if (running && e.bytes[0] == status) from = 1;
      status = e.bytes[0];
    }
    body.insert(body.end(), e.bytes.begin() + from, e.bytes.end());
  }
  Bytes chunk = {'M', 'T', 'r', 'k', static_cast<unsigned char>(body.size() >> 24),
                 static_cast<unsigned char>(body.size() >> 16), static_cast<unsigned char>(body.size() >> 8),
                 static_cast<unsigned char>(body.size())};
  chunk.insert(chunk.end(), body.begin(), body.end());
  return chunk;
}

Bytes File(int format, int division, const std::vector<Bytes>& tracks) {
  Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, static_cast<unsigned char>(format), 0,
             static_cast<unsigned char>(tracks.size()), static_cast<unsigned char>(division >> 8),
             static_cast<unsigned char>(division)};
  for (const Bytes& t : tracks) b.insert(b.end(), t.begin(), t.end());
  return b;
}

Ev Tempo(uint32_t us) {
  return {0, {0xFF, 0x51, 0x03, static_cast<unsigned char>(us >> 16), static_cast<unsigned char>(us >> 8),
              static_cast<unsigned char>(us)}};
}
Ev Meter(int nn, int dd) { return {0, {0xFF, 0x58, 0x04, static_cast<unsigned char>(nn), static_cast<unsigned char>(dd), 24, 8}}; }
Ev On(uint32_t tick, int ch, int note, int vel) {
  return {tick, {static_cast<unsigned char>(0x90 | ch), static_cast<unsigned char>(note), static_cast<unsigned char>(vel)}};
}
// A note-off as a note-on of velocity 0 (running status then carries through) or as 0x8n.
Ev Off(uint32_t tick, int ch, int note, bool asNoteOn = true) {
  return {tick, {static_cast<unsigned char>((asNoteOn ? 0x90 : 0x80) | ch), static_cast<unsigned char>(note), 0}};
}

// A two-bar groove at 120 BPM in sixteenths as a DAW writes it at `division` ticks a
// quarter: a hi-hat on every sixteenth, bass drum on the beats, snare on 2 and 4, and a
// bass (program 33, channel 2) on the beats held for three sixteenths. `jitter` moves
// each note-on by a fixed pseudo-random amount of up to that many ticks.
struct Groove {
  int division = 480;
  int jitter = 0;
  bool running = false;
  bool noteOffAsVelocityZero = false;
  std::vector<Ev> drums, bass;
  Groove(int div, int jit = 0, bool run = false) : division(div), jitter(jit), running(run) {
    std::mt19937 rng(7);
    auto at = [&](int sixteenth) {
      int shift = jitter ? static_cast<int>(rng() % (2 * jitter + 1)) - jitter : 0;
      return static_cast<uint32_t>(std::max(0, sixteenth * division / 4 + shift));
    };
    for (int s = 0; s < 32; ++s) {
      const uint32_t t = at(s);
      drums.push_back(On(t, 9, 42, 70 + s % 3));
      drums.push_back(Off(t + division / 8, 9, 42, false));
      if (s % 4 == 0) drums.push_back(On(t, 9, 36, 110)), drums.push_back(Off(t + division / 8, 9, 36, false));
      if (s % 8 == 4) drums.push_back(On(t, 9, 38, 100)), drums.push_back(Off(t + division / 8, 9, 38, false));
      if (s % 4 == 0) {
        const int note = 40 + (s / 4) % 5;
        bass.push_back(On(t, 1, note, 90));
        bass.push_back(Off(t + 3 * division / 4, 1, note, false));
      }
    }
    bass.insert(bass.begin(), Ev{0, {0xC1, 33}});
  }
  Bytes Format1() const {
    return File(1, division, {Track({Tempo(500000), Meter(4, 2)}), Track(drums, running), Track(bass, running)});
  }
  Bytes Format0() const {
    std::vector<Ev> all = {Tempo(500000), Meter(4, 2)};
    all.insert(all.end(), drums.begin(), drums.end());
    all.insert(all.end(), bass.begin(), bass.end());
    return File(0, division, {Track(all, running)});
  }
};

// With a new pattern's settings, as the command line imports.
MidiImport Import(const Bytes& file, const ImportOptions& options = ImportOptions()) {
  MidiImport result;
  const char* error = ImportMidiData(file.data(), file.size(), options, &result);
  EXPECT_EQ(error, nullptr) << error;
  return result;
}

bool Cell(const TbroRecord& r, bool perc, int step, int row) {
  const uint32_t* lo = perc ? r.PercL : r.VoiceL;
  const uint32_t* hi = perc ? r.PercH : r.VoiceH;
  return (row < 32 ? lo[step] >> row : hi[step] >> (row - 32)) & 1u;
}

// The note-ons of a file (tick, channel, note), in order, and its first tempo.
using NoteOn = std::tuple<uint32_t, int, int>;
std::vector<NoteOn> NoteOns(const Bytes& file, uint32_t* tempo = nullptr) {
  Smf smf = ParseSmf(file);
  EXPECT_TRUE(smf.ok) << smf.error;
  std::vector<NoteOn> ons;
  for (const auto& track : smf.track)
    for (const SmfEvent& e : track) {
      if (e.NoteOn()) ons.emplace_back(e.tick, e.status & 0x0F, e.data[0]);
      if (tempo && e.Meta(0x51)) *tempo = e.data[0] << 16 | e.data[1] << 8 | e.data[2], tempo = nullptr;
    }
  std::sort(ons.begin(), ons.end());
  return ons;
}

class ImportTest : public WindowTest {
 protected:
  ScratchDir dir;
  void Export(UINT id, const std::string& out) {
    tbxtest::QueueFileDialog(out);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    OnExportCommand(hwnd, id);
  }
  // Imports as the menu item does after its dialog; the report box is answered.
  void ImportInWindow(const std::string& path) {
    tbxtest::QueueMessageBoxAnswer(IDOK);
    ImportMidi(hwnd, path.c_str());
  }
  std::string Caption() {
    char text[300] = "";
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
  }
};

// The cases whose music is cut by the pattern's length, once for each program.
class ImportSteps : public StepsTest<ImportTest> {};
TBX_STEPS_SUITE(ImportSteps);

// ---------------------------------------------------------------- the round trip

// A pattern as a user makes it: any settings the menus and the tempo bar give, a play range,
// drums and instrument notes on rows 2..48 at a density of its own, free accents and
// release markers. Its notes all sound: a note whose accents and level come to velocity 0
// is exported as a note-on of velocity 0, no note-on, and the import gives no velocity.
TbroRecord RandomPattern(std::mt19937& rng) {
  static const int16_t bars[] = {3, 4, 5, 6, 8, 12, 16, 24};
  TbroRecord r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(r.Id, "TBRX", 4);
  r.Size = TBRO_SIZE;
  r.MsecPerBeat = static_cast<int16_t>(60000 / (40 + rng() % 467));
  r.RelBeat = static_cast<int16_t>(rng() % 10);
  r.BeatsPBar = bars[rng() % 8];
  r.Accent = static_cast<int16_t>(rng() % 7);
  r.FreeAccent = static_cast<int16_t>(7 + rng() % 7);
  r.Voice = static_cast<int16_t>(rng() % 128);
  r.VoiceLevel = static_cast<int16_t>(1 + rng() % 7);
  r.Transpose = static_cast<int16_t>(rng() % 25);
  r.PercCh = rng() % 2 ? 9 : 15;
  do r.VoiceCh = static_cast<int16_t>(rng() % 16);
  while (r.VoiceCh == r.PercCh);
  r.LoopStart = static_cast<int16_t>(rng() % 3 == 0 ? rng() % (STEP_COUNT / 2) : 0);
  r.LoopEnd = static_cast<int16_t>(r.LoopStart + 1 + rng() % (STEP_COUNT - r.LoopStart));
  const unsigned density = 1 + rng() % 40;  // in 1000ths of the cells
  for (int s = 0; s < STEP_COUNT; ++s)
    for (int row = 1; row <= 48; ++row) {
      const bool flagRow = row == 1;
      const unsigned chance = flagRow ? 100 : density;
      if (rng() % 1000 < chance) (row < 32 ? r.PercL[s] : r.PercH[s]) |= 1u << (row % 32);
      if (rng() % 1000 < chance) (row < 32 ? r.VoiceL[s] : r.VoiceH[s]) |= 1u << (row % 32);
    }
  return r;
}

TEST_P(ImportSteps, ExportImportedAndExportedAgainHasTheSameNoteOnsAndTempo) {
  std::mt19937 rng(2024 + STEP_COUNT);
  for (int round = 0; round < 80; ++round) {
    const TbroRecord pattern = RandomPattern(rng);
    for (UINT id : {IDM_SAVEMIDI_GM, IDM_SAVEMIDI_F1}) {
      SCOPED_TRACE("pattern " + std::to_string(round) + (id == IDM_SAVEMIDI_GM ? " GM" : " format 1"));
      WriteAll(dir("p.tbx"), RecordBytes(pattern));
      gbNeedSave = 0;
      FileLoad(hwnd, TRUE, dir("p.tbx").c_str());
      Export(id, dir("first.mid"));
      uint32_t tempo1 = 0, tempo2 = 0;
      const std::vector<NoteOn> first = NoteOns(ReadAll(dir("first.mid")), &tempo1);
      if (first.empty()) continue;  // refused: "holds no notes"
      gbNeedSave = 0;
      ImportInWindow(dir("first.mid"));
      ASSERT_EQ(gbNeedSave, 1) << "imported: changed";
      Export(id, dir("again.mid"));
      const std::vector<NoteOn> again = NoteOns(ReadAll(dir("again.mid")), &tempo2);
      size_t same = 0;
      while (same < first.size() && same < again.size() && first[same] == again[same]) ++same;
      ASSERT_EQ(again, first) << "first difference at note-on " << same << " of " << first.size();
      ASSERT_EQ(tempo2, tempo1);
      // The command line imports with a new pattern's settings, not the exported pattern's
      // (told the percussion channel, as with --perc-channel).
      ImportOptions options;
      options.percChannel = pattern.PercCh;
      const MidiImport cli = Import(ReadAll(dir("first.mid")), options);
      ASSERT_EQ(cli.parts.size(), 1u);
      WriteAll(dir("cli.tbx"), RecordBytes(cli.parts[0]));
      gbNeedSave = 0;
      FileLoad(hwnd, TRUE, dir("cli.tbx").c_str());
      Export(id, dir("cli.mid"));
      EXPECT_EQ(NoteOns(ReadAll(dir("cli.mid"))), first) << "the command line's import";
    }
  }
}

// ---------------------------------------------------------------- files of other programs

TEST_F(ImportTest, DawGrooveComesInAtItsTimesAndTempo) {
  const Groove groove(480);
  MidiImport result = Import(groove.Format1());
  ASSERT_EQ(result.parts.size(), 1u);
  const TbroRecord& r = result.parts[0];
  EXPECT_EQ(r.MsecPerBeat, 500);
  EXPECT_EQ(r.RelBeat, 5) << "* 4";
  EXPECT_EQ(r.BeatsPBar, 16);
  EXPECT_EQ(r.LoopStart, 0);
  EXPECT_EQ(r.LoopEnd, 32);
  EXPECT_EQ(r.VoiceCh, 1);
  EXPECT_EQ(r.Voice, 33);
  EXPECT_EQ(r.PercCh, 9);
  EXPECT_EQ(result.placed, 32 + 8 + 4 + 8);
  EXPECT_EQ(result.moved, 0);
  // Every note where it sounds in the file: step s of 125 ms at s x 125 ms, the file's
  // tick t at t x 500 / 480 ms.
  const int noteOffset = 46 - r.Transpose - 12;  // a bass
  for (const Ev& e : groove.drums)
    if (e.bytes[0] == 0x99) {
      EXPECT_TRUE(Cell(r, true, e.tick * 500 / 480 / 125, e.bytes[1] - 33)) << e.tick;
    }
  for (const Ev& e : groove.bass)
    if (e.bytes[0] == 0x91) {
      EXPECT_TRUE(Cell(r, false, e.tick * 500 / 480 / 125, e.bytes[1] - noteOffset)) << e.tick;
    }
  // The bass notes end after three sixteenths: a release marker there, none elsewhere.
  for (int s = 0; s < 32; ++s) EXPECT_EQ((r.VoiceL[s] >> 1) & 1u, s % 4 == 3 ? 1u : 0u) << s;
  // The velocities are kept for the accent cells to come.
  ASSERT_EQ(result.notes.size(), 52u);
  EXPECT_EQ(result.notes[0].velocity, 70) << "the first hi-hat";
}

// The same music in either format, with or without running status, at any division, as a
// RIFF MIDI file, comes in as the same pattern.
TEST_F(ImportTest, SameMusicInAnyLayoutGivesTheSamePattern) {
  const MidiImport reference = Import(Groove(480).Format1());
  ASSERT_EQ(reference.parts.size(), 1u);
  Bytes riff = Groove(96).Format0();
  const uint32_t n = static_cast<uint32_t>(riff.size());
  const Bytes head = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'R', 'M', 'I', 'D', 'd', 'a', 't', 'a',
                      static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                      static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
  riff.insert(riff.begin(), head.begin(), head.end());
  const struct {
    const char* what;
    Bytes file;
  } cases[] = {
      {"format 0", Groove(480).Format0()},
      {"running status", Groove(480, 0, true).Format1()},
      {"format 0, running status", Groove(480, 0, true).Format0()},
      {"24 ticks a quarter", Groove(24).Format1()},
      {"96 ticks a quarter", Groove(96, 0, true).Format0()},
      {"960 ticks a quarter", Groove(960).Format1()},
      {"RIFF MIDI file", riff},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const MidiImport result = Import(c.file);
    ASSERT_EQ(result.parts.size(), 1u);
    EXPECT_EQ(std::memcmp(&result.parts[0], &reference.parts[0], sizeof(TbroRecord)), 0);
    EXPECT_EQ(result.placed, reference.placed);
  }
}

TEST_F(ImportTest, HumanisedTimingComesToTheNearestStepAndIsReported) {
  const MidiImport exact = Import(Groove(480).Format1());
  const MidiImport loose = Import(Groove(480, 14).Format1());  // up to 14.6 ms early or late
  ASSERT_EQ(loose.parts.size(), 1u);
  EXPECT_EQ(loose.parts[0].RelBeat, 5) << "still * 4";
  EXPECT_EQ(std::memcmp(loose.parts[0].PercL, exact.parts[0].PercL, sizeof exact.parts[0].PercL), 0);
  EXPECT_EQ(std::memcmp(loose.parts[0].VoiceH, exact.parts[0].VoiceH, sizeof exact.parts[0].VoiceH), 0);
  EXPECT_GT(loose.moved, 35);
  EXPECT_GE(loose.maxMoveMs, 12);
  EXPECT_LE(loose.maxMoveMs, 15);
  EXPECT_EQ(ImportReport(loose, " ").substr(0, 41), "52 notes placed at 120 BPM * 4, 16 steps ");
  EXPECT_NE(ImportReport(loose, " ").find(std::to_string(loose.moved) + " moved to the grid, by up to " +
                                          std::to_string(loose.maxMoveMs) + " ms."),
            std::string::npos);

  // Eighth-note triplets are a grid of their own, and a coarse grid is not taken for them.
  std::vector<Ev> triplets = {Tempo(500000)};
  for (int i = 0; i < 12; ++i) triplets.push_back(On(i * 160, 9, 42, 80));
  EXPECT_EQ(Import(File(0, 480, {Track(triplets)})).parts[0].RelBeat, 4) << "* 3";
}

// The file's first tempo as the tempo bar would set it; outside the bar's 40..506 BPM the
// same step length from a neighbouring rel.Beat.
TEST_F(ImportTest, TempoComesInAsTheTempoBarSetsIt) {
  const struct {
    uint32_t us;
    int16_t msec, rel;
  } cases[] = {{500000, 500, 5}, {428571, 428, 5}, {641711, 642, 5}, {2000000, 1500, 4}, {100000, 125, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.us);
    std::vector<Ev> ev = {Tempo(c.us), Tempo(250000)};  // only the first counts
    ev[1].tick = 480;
    for (int s = 0; s < 8; ++s) ev.push_back(On(s * 120, 9, 42, 80));
    const MidiImport r = Import(File(0, 480, {Track(ev)}));
    EXPECT_EQ(r.parts[0].MsecPerBeat, c.msec);
    EXPECT_EQ(r.parts[0].RelBeat, c.rel);
  }
}

TEST_F(ImportTest, NotesOutsideTheRowsAndChannelsAreDroppedAndCounted) {
  std::vector<Ev> ev = {Tempo(500000), {0, {0xC0, 0}}};
  ev.push_back(On(0, 9, 34, 90));    // below the drum rows
  ev.push_back(On(0, 9, 82, 90));    // above them
  ev.push_back(On(0, 9, 36, 90));
  ev.push_back(On(0, 9, 36, 91));    // the same cell again
  ev.push_back(On(480, 4, 60, 90));  // another channel than the instrument's
  for (int i = 0; i < 4; ++i) ev.push_back(On(480 * i, 0, 60 + i, 90));
  const MidiImport r = Import(File(0, 480, {Track(ev)}));
  EXPECT_EQ(r.placed, 5);
  EXPECT_EQ(r.dropped[DROP_DRUM_ROWS], 2);
  EXPECT_EQ(r.dropped[DROP_TAKEN], 1);
  EXPECT_EQ(r.dropped[DROP_CHANNEL], 1);
  EXPECT_EQ(ImportReport(r, " ").substr(ImportReport(r, " ").find("4 dropped")),
            "4 dropped: 1 on other channels, 2 outside the drum rows, 1 on a cell already set.");
}

TEST_F(ImportTest, WideInstrumentPartUsesTheOctaveFlags) {
  // Notes 26 .. 92 of a piano: no transposition holds them all on rows 2..48; the lowest
  // comes on with the low flag, the highest with the high flag of its step.
  std::vector<Ev> ev = {Tempo(500000), {0, {0xC0, 0}}};
  const int notes[] = {26, 40, 60, 80, 92};
  for (int i = 0; i < 5; ++i) ev.push_back(On(480 * i, 0, notes[i], 90));
  const MidiImport r = Import(File(0, 480, {Track(ev)}));
  EXPECT_EQ(r.placed, 5);
  EXPECT_EQ(r.parts[0].PercL[0] & 1u, 1u) << "low flag";
  EXPECT_EQ(r.parts[0].VoiceL[4] & 1u, 1u) << "high flag";
  // Export the pattern: the same notes sound.
  const TbroRecord& p = r.parts[0];
  WriteAll(dir("w.tbx"), RecordBytes(p));
  FileLoad(hwnd, TRUE, dir("w.tbx").c_str());
  Export(IDM_SAVEMIDI_F1, dir("w.mid"));
  std::vector<int> heard;
  for (const NoteOn& n : NoteOns(ReadAll(dir("w.mid")))) heard.push_back(std::get<2>(n));
  EXPECT_EQ(heard, std::vector<int>(notes, notes + 5));
}

// ---------------------------------------------------------------- longer music

TEST_P(ImportSteps, LongMusicIsCutAtBarLinesIntoPartsAndAPlaylist) {
  // 4/4 in sixteenths: 40 bars, a bass drum on every beat and a hi-hat on the second
  // sixteenth of the first; a pattern holds whole bars of 16 steps.
  std::vector<Ev> ev = {Tempo(500000), Meter(4, 2)};
  for (int beat = 0; beat < 160; ++beat) ev.push_back(On(beat * 480, 9, 36, 100));
  ev.push_back(On(120, 9, 42, 60));  // a sixteenth: the grid is "* 4"
  const MidiImport r = Import(File(0, 480, {Track(ev)}));
  const int barsPerPart = STEP_COUNT / 16, parts = (40 + barsPerPart - 1) / barsPerPart;
  ASSERT_EQ(static_cast<int>(r.order.size()), parts);
  EXPECT_EQ(r.placed, 161);
  for (int e = 0; e < parts; ++e) {
    SCOPED_TRACE(e);
    const TbroRecord& p = r.parts[r.order[e]];
    const int bars = e + 1 < parts ? barsPerPart : 40 - barsPerPart * (parts - 1);
    EXPECT_EQ(p.LoopEnd, bars * 16);
    EXPECT_TRUE(Cell(p, true, 0, 3));
    // Consecutive parts that are the same are written once and listed again.
    if (e > 0) {
      EXPECT_EQ(r.order[e] == r.order[e - 1], std::memcmp(&p, &r.parts[r.order[e - 1]], sizeof p) == 0);
    }
  }
  EXPECT_LT(r.parts.size(), r.order.size());

  std::string failed;
  ASSERT_EQ(WriteImportedMusic(r, dir("my song"), &failed), nullptr) << failed;
  std::string list;
  for (int e : r.order) list += "my_song-" + std::to_string(e + 1) + ".tbx\r\n";
  const Bytes text = ReadAll(dir("my song.txt"));
  EXPECT_EQ(std::string(text.begin(), text.end()), list);
  for (size_t n = 1; n <= r.parts.size(); ++n) {
    const Bytes part = ReadAll(dir("my_song-" + std::to_string(n) + ".tbx"));
    ASSERT_EQ(part.size(), 3540u);
    EXPECT_EQ(Bytes(part.begin(), part.begin() + 4), (Bytes{'T', 'B', 'R', 'X'}));
  }
  // The playlist plays: opened as Open PlayList opens it, its first part is loaded.
  OpenPlayList(hwnd, dir("my song.txt").c_str());
  EXPECT_EQ(std::string(gszNextTambroFile), "my_song-1.tbx");
  EXPECT_EQ(HeaderGet(gTbro.LoopEnd), barsPerPart * 16);
}

// ---------------------------------------------------------------- bad input

TEST_F(ImportTest, BadFilesAreRefusedWithAClearMessageAndChangeNothing) {
  const Bytes good = Groove(480).Format1();
  Bytes truncated(good.begin(), good.begin() + good.size() / 2);
  Bytes pastEnd = good;
  pastEnd[14 + 7] += 8;  // the first track's length reaches past the file
  Bytes format2 = good;
  format2[9] = 2;
  Bytes smpte = good;
  smpte[12] = 0xE7;  // -25 frames a second
  Bytes noNotes = File(1, 480, {Track({Tempo(500000)})});
  Bytes badEvent = File(0, 96, {Track({On(0, 9, 36, 90), {5, {0xF8}}})});  // a real-time byte
  const struct {
    const char* name;
    Bytes bytes;
    const char* message;
  } cases[] = {
      {"notes.mid", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '!', '!'},
       "File notes.mid is not a Standard MIDI File."},
      {"empty.mid", Bytes{}, "File empty.mid is not a Standard MIDI File."},
      {"half.mid", truncated, "File half.mid is a damaged MIDI file: a track or an event runs past its end."},
      {"long.mid", pastEnd, "File long.mid is a damaged MIDI file: a track or an event runs past its end."},
      {"event.mid", badEvent, "File event.mid is a damaged MIDI file: a track or an event runs past its end."},
      {"two.mid", format2,
       "File two.mid is a MIDI file of format 2 (independent sequences); only formats 0 and 1 can be imported."},
      {"film.mid", smpte,
       "File film.mid counts its time in SMPTE frames; only MIDI files in ticks per quarter note can be imported."},
      {"quiet.mid", noNotes, "File quiet.mid holds no notes."},
  };
  CellTogglePerc(5, 7);
  const Bytes before = RecordBytes(gTbro);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(dir(c.name), c.bytes);
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueMessageBoxAnswer(IDOK);
    ImportMidi(hwnd, dir(c.name).c_str());
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
    EXPECT_EQ(tbxtest::MessageBoxes()[0].text, c.message);
    EXPECT_EQ(RecordBytes(gTbro), before);
    EXPECT_EQ(Caption(), "Tamborix - (Untitled)");
  }
  // A huge file is refused before it is read.
  {
    std::ofstream(dir("huge.mid")).close();
    std::filesystem::resize_file(dir("huge.mid"), 100u << 20);
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueMessageBoxAnswer(IDOK);
    ImportMidi(hwnd, dir("huge.mid").c_str());
    ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
    EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "File huge.mid is too large for a MIDI file (over 16 MB).");
    EXPECT_EQ(RecordBytes(gTbro), before);
  }
  // While a sequence plays the import is refused, before the save question.
  gbNeedSave = 1;
  WriteAll(dir("good.mid"), good);
  SendMessageA(hwnd, WM_COMMAND, IDM_LOOP, 0);
  ASSERT_EQ(gbSequenceGoing, 1);
  tbxtest::ClearMessageBoxes();
  tbxtest::QueueMessageBoxAnswer(IDOK);
  ImportMidi(hwnd, dir("good.mid").c_str());
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "First stop sequence before change pattern by MIDI File import");
  SendMessageA(hwnd, WM_COMMAND, IDM_STOP, 0);
  EXPECT_EQ(RecordBytes(gTbro), before);
}

// ---------------------------------------------------------------- the window

TEST_F(ImportTest, MenuItemAsksToSaveThenBringsAnUntitledChangedPatternAndReports) {
  WriteAll(dir("beat.tbx"), RecordBytes(SampleRecord()));
  FileLoad(hwnd, FALSE, dir("beat.tbx").c_str());
  CellTogglePerc(1, 5);
  MarkChanged();
  WriteAll(dir("groove.mid"), Groove(480).Format1());
  tbxtest::ClearMessageBoxes();
  tbxtest::QueueMessageBoxAnswer(IDNO);  // the save question
  tbxtest::QueueFileDialog(dir("groove.mid"));
  tbxtest::QueueMessageBoxAnswer(IDOK);  // the report
  SendMessageA(hwnd, WM_COMMAND, IDM_IMPORTMIDI, 0);
  const auto& boxes = tbxtest::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "Save changes of beat.tbx ?");
  EXPECT_EQ(boxes[1].text, "52 notes placed at 120 BPM * 4, 16 steps a bar.\nNone moved to the grid.\nNone dropped.");
  EXPECT_EQ(boxes[1].caption, "groove.mid");
  EXPECT_EQ(Caption(), "Tamborix - (Untitled)");
  EXPECT_EQ(gbNeedSave, 1);
  EXPECT_EQ(gbFileChanged, 1);
  EXPECT_EQ(gbNewFile, 1);
  EXPECT_EQ(std::string(gszFileName), "");
  EXPECT_EQ(gRelBeat, 5);
  EXPECT_EQ(gMsecPerBeat, 500);
  EXPECT_EQ(giTempo, 120);
  EXPECT_EQ(gVoiceCh, 1);
  EXPECT_EQ(gVoice, 33);
  EXPECT_TRUE(CellPerc(0, 36 - 33));
  // The bar accent, free accent and level of the window stay.
  EXPECT_EQ(HeaderGet(gTbro.FreeAccent), SampleRecord().FreeAccent);
  // A Save asks for a name: nothing is overwritten.
  tbxtest::QueueFileDialog(dir("new.tbx"));
  FileSave(hwnd);
  EXPECT_EQ(ReadAll(dir("beat.tbx")), RecordBytes(SampleRecord()));
  EXPECT_EQ(ReadAll(dir("new.tbx")).size(), 3540u);
}

TEST_P(ImportSteps, LongMusicInTheWindowIsSavedAsAPlaylistAndOpened) {
  std::vector<Ev> ev = {Tempo(500000), Meter(4, 2)};
  for (int sixteenth = 0; sixteenth < 16 * 20; ++sixteenth) ev.push_back(On(sixteenth * 120, 9, 42, 70));
  WriteAll(dir("long.mid"), File(0, 480, {Track(ev)}));
  tbxtest::QueueFileDialog(dir("long.mid"));
  tbxtest::QueueFileDialog(dir("long tune.txt"));
  tbxtest::QueueMessageBoxAnswer(IDOK);
  SendMessageA(hwnd, WM_COMMAND, IDM_IMPORTMIDI, 0);
  ASSERT_GE(tbxtest::FileDialogs().size(), 2u);
  EXPECT_EQ(tbxtest::FileDialogs()[1].initialFile, dir("long.txt")) << "proposed beside the MIDI file";
  EXPECT_EQ(gbSequenceOpened, 1);
  EXPECT_EQ(gbEdit, 0) << "playlist mode";
  EXPECT_EQ(Caption(), "Tamborix - long_tune-1.tbx");
  EXPECT_TRUE(Exists(dir("long_tune-1.tbx")));
  EXPECT_NE(tbxtest::MessageBoxes().back().text.find(", in " + std::to_string((20 * 16 + STEP_COUNT / 16 * 16 - 1) /
                                                                              (STEP_COUNT / 16 * 16)) +
                                                      " parts."),
            std::string::npos)
      << tbxtest::MessageBoxes().back().text;
}

TEST_F(ImportTest, DroppedMidiFileIsImportedAsByTheMenuItem) {
  WriteAll(dir("Drop.MID"), Groove(480).Format0());
  CellTogglePerc(1, 5);
  MarkChanged();
  tbxtest::QueueMessageBoxAnswer(IDNO);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  ASSERT_TRUE(tbxtest::DropFiles(hwnd, {dir("Drop.MID")}));
  tbxtest::PumpMessages();
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 2u);
  EXPECT_EQ(tbxtest::MessageBoxes()[0].text, "Save changes of (Untitled) ?");
  EXPECT_EQ(tbxtest::MessageBoxes()[1].caption, "Drop.MID");
  EXPECT_EQ(gRelBeat, 5);
  EXPECT_TRUE(CellPerc(0, 36 - 33));
  EXPECT_FALSE(CellPerc(1, 5));
}

}  // namespace
