// The fuzz target bodies (see targets.h): project file reader, playlist reader, MIDI input
// capture and MIDI file export, each with the rules that must hold for any input.
//
// Every body runs on the headless platform with the manual clock, so one input always
// takes the same path; files go to /dev/shm. The shared checks: every short message sent
// to the output is a well-formed channel message (status byte with bit 7, data bytes
// below 0x80), and after a stop no note is left sounding and no device is left open.
#include "tests/fuzz/targets.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "platform/testing.h"
#include "playback/playback.h"
#include "tests/midifile/smf.h"
#include "view/view.h"

namespace tbxfuzz {

namespace {

std::function<void(const std::string&)> failHandler;  // where broken rules go

void Fail(const std::string& rule) {
  if (failHandler) {
    failHandler(rule);
    return;
  }
  std::fprintf(stderr, "fuzz rule broken: %s\n", rule.c_str());
  std::abort();
}

void Check(bool ok, const std::string& rule) {
  if (!ok) Fail(rule);
}

using Bytes = std::vector<unsigned char>;

void WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

Bytes ReadBytes(const std::string& path) {
  Bytes bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    unsigned char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
  }
  return bytes;
}

int Le16(const uint8_t* p) { return static_cast<int16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

// A command, with the full repaint it may ask for dropped: the recorded drawing of the
// whole grid would take most of an input's time.
void Command(UINT id) {
  SendMessageA(gHwnd, WM_COMMAND, id, 0);
  ValidateRect(gHwnd, NULL);
}

/* ---------------------------------------------------------------- output checks */

// Every captured message is a complete channel message.
void CheckShortMessages(const char* where) {
  for (const auto& m : tbxtest::CapturedMidi()) {
    DWORD msg = m.message;
    int status = msg & 0xFF, d1 = msg >> 8 & 0xFF, d2 = msg >> 16 & 0xFF;
    bool ok = status >= 0x80 && status < 0xF0 && d1 < 0x80;
    if ((status & 0xF0) != 0xC0 && (status & 0xF0) != 0xD0) ok = ok && d2 < 0x80;
    if (!ok) {
      char text[96];
      std::snprintf(text, sizeof text, "%s: malformed short message %06X", where, static_cast<unsigned>(msg));
      Fail(text);
      return;
    }
  }
}

// After a stop: every note-on on the output was ended by a note-off (or a note-on of
// velocity 0) or by All Notes Off on its channel.
void CheckNothingSounds(const char* where) {
  std::set<std::pair<int, int>> sounding;  // channel, note
  for (const auto& m : tbxtest::CapturedMidi()) {
    int status = m.message & 0xFF, d1 = m.message >> 8 & 0x7F, d2 = m.message >> 16 & 0x7F;
    int ch = status & 0x0F;
    if ((status & 0xF0) == 0x90 && d2 > 0) sounding.insert({ch, d1});
    else if ((status & 0xF0) == 0x80 || (status & 0xF0) == 0x90) sounding.erase({ch, d1});
    else if ((status & 0xF0) == 0xB0 && d1 == 123)
      std::erase_if(sounding, [ch](const std::pair<int, int>& n) { return n.first == ch; });
  }
  if (!sounding.empty()) {
    char text[96];
    std::snprintf(text, sizeof text, "%s: note %d on channel %d still sounds after the stop", where,
                  sounding.begin()->second, sounding.begin()->first + 1);
    Fail(text);
  }
}

void CheckStopped(const char* where) {
  Check(!gbSequenceGoing, std::string(where) + ": the run did not stop");
  Check(tbxtest::OpenMidiOutputs() == 0, std::string(where) + ": output left open after the stop");
  Check(tbxtest::OpenMidiInputs() == 0, std::string(where) + ": input left open after the stop");
  Check(tbxtest::PendingTimerEvents() == 0, std::string(where) + ": timer event left after the stop");
}

// Longest the clock must run for `steps` steps with the current tempo settings.
uint32_t StepsMs(int steps) {
  int step = std::max<int>(gAdjustedBeat, 0) + 2 * 5 + 1;
  return static_cast<uint32_t>(steps) * static_cast<uint32_t>(step);
}

/* ---------------------------------------------------------------- project file oracle */

struct Settings {
  int values[16];
  bool operator==(const Settings& o) const { return std::equal(values, values + 16, o.values); }
};

Settings TakeSettingsSnapshot() {
  return {{gMsecPerBeat, gRelBeat, gBeatsPBar, gAccent, gFreeAccent, gVoice, gVoiceLevel, gTranspose,
           gMidiOutPort, gMidiInPort, gPercCh, gVoiceCh, gNoteOffset, gDeltaVoiceLevel, giTempo, gSwing}};
}

// What the reader must answer for a file of these bytes: the record (3540 bytes and what
// follows, up to TBRO_MAX_FILE, or exactly 3536 in the older layout) judged by its
// identifier and size.
const char* ExpectedVerdict(const uint8_t* data, size_t size) {
  if ((size != TBRO_OLD_SIZE && size < TBRO_SIZE) || size > TBRO_MAX_FILE) return gszErrorCannotRead;
  if (std::memcmp(data, "TBRX", 4) != 0 || (size >= TBRO_SIZE && Le16(data + 4) != TBRO_SIZE)) return gszErrorNotTambro;
  return nullptr;
}

// The chunks after the record read independently: SWNG (2 bytes), ACNT and GHST (2336
// bytes) when their lengths are those, anything else skipped, nothing taken when one runs
// past the end.
struct FileGroove {
  bool refused = false;
  int swing = SWING_STRAIGHT;
  uint32_t words[2][4][STEP_SLOTS] = {};  // accent, ghost
};

FileGroove ExpectedGroove(const uint8_t* data, size_t size) {
  FileGroove g;
  if (size < TBRO_SIZE) return g;
  for (size_t at = TBRO_SIZE; at < size;) {
    if (size - at < 8 || Le32(data + at + 4) > size - at - 8) {
      g = FileGroove();
      g.refused = true;
      return g;
    }
    const uint32_t length = Le32(data + at + 4);
    const uint8_t* body = data + at + 8;
    if (std::memcmp(data + at, "SWNG", 4) == 0 && length == 2) {
      const int v = Le16(body);
      g.swing = v >= SWING_STRAIGHT && v <= SWING_MAX ? v : SWING_STRAIGHT;
    }
    for (int d = 0; d < 2; ++d)
      if (std::memcmp(data + at, d == 0 ? "ACNT" : "GHST", 4) == 0 && length == 16 * STEP_SLOTS)
        for (int a = 0; a < 4; ++a)
          for (int i = 0; i < STEP_SLOTS; ++i) g.words[d][a][i] = Le32(body + (a * STEP_SLOTS + i) * 4);
    at += 8 + length;
  }
  return g;
}

void CheckLoadedArrays(const uint8_t* data, size_t size) {
  const size_t arrays = size == TBRO_OLD_SIZE ? 32 : 36;
  const uint32_t* words[6] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
  for (int a = 0; a < 6; ++a)
    for (int i = 0; i < STEP_SLOTS; ++i)
      if (StepGet(words[a], i) != Le32(data + arrays + (a * STEP_SLOTS + i) * 4)) {
        Fail("an accepted file's step words differ from the file");
        return;
      }
}

// The swing and the dynamics taken: the file's, kept to the cells that hold a note.
void CheckLoadedGroove(const FileGroove& g) {
  Check(gSwing == g.swing, "the swing taken is not the file's");
  const uint32_t* notes[4] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH};
  for (int d = 0; d < 2; ++d)
    for (int a = 0; a < 4; ++a)
      for (int i = 0; i < STEP_SLOTS; ++i) {
        const uint32_t kept = StepGet(notes[a], i) & (a % 2 == 0 ? ~3u : ~0u);
        if (StepGet(DynamicWords(d == 0 ? DYN_ACCENT : DYN_GHOST, notes[a]), i) != (g.words[d][a][i] & kept)) {
          Fail("an accepted file's dynamics differ from its chunks");
          return;
        }
      }
}

}  // namespace

/* ---------------------------------------------------------------- environment */

void SetFailHandler(std::function<void(const std::string&)> handler) { failHandler = std::move(handler); }

std::string ScratchPath(const std::string& name) {
  static const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return dir + "/tbxfuzz-" + std::to_string(getpid()) + "-" + name;
}

// The files the bodies write, removed when the process ends.
void RemoveScratchFiles() {
  for (const char* name : {"p.tbx", "l.txt", "e.tbx", "e0.mid", "e1.mid", "i.tbx", "i.txt"})
    std::remove(ScratchPath(name).c_str());
  for (int n = 1; n <= IMPORT_MAX_PARTS; ++n) {
    const std::string part = ImportedPartPath(ScratchPath("i"), n);
    if (std::remove(part.c_str()) != 0) break;
  }
}

void SetUp() {
  static const bool cleanupRegistered = std::atexit(RemoveScratchFiles) == 0;
  (void)cleanupRegistered;
  tbxtest::PlatformReset();
  tbxtest::SetUnexpectedHandler([](const std::string&) {});
  tbxtest::UseManualClock(true);
  tbxtest::SetMidiDevices({"Capture Out"}, {"Loopback In"});
  ResetAllState();
  CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
  tbxtest::PumpMessages();
  tbxtest::ClearDrawLog();
  tbxtest::ClearInvalidations();
  tbxtest::ClearMessageBoxes();
  tbxtest::ClearCapturedMidi();
}

void Prepare() {
  if (!gHwnd || !IsWindow(gHwnd)) {
    SetUp();
    return;
  }
  if (gbSequenceGoing) TambroEndSequence();
  tbxtest::PumpMessages();
  tbxtest::ClearFaults();
  PatternReset();
  ViewReset();
  FilesReset();
  PlaybackReset();
  MidifileReset();
  // What window creation sets after the resets: the devices, the output port, the header,
  // the range.
  goNumDevs = midiOutGetNumDevs();
  giNumDevs = midiInGetNumDevs();
  gMidiOutPort = 0;
  gOldMidiOutPort = 0;
  gMidiInPort = 0;
  gOldMidiInPort = 0;
  FillHeaderFromSettings();
  HeaderSet(gTbro.LoopStart, 0);
  HeaderSet(gTbro.LoopEnd, STEP_COUNT);
  AdjustBeat();
  tbxtest::ClearDrawLog();
  tbxtest::ClearInvalidations();
  tbxtest::ClearMessageBoxes();
  tbxtest::ClearCapturedMidi();
}

void TearDown() {
  if (gHwnd && IsWindow(gHwnd)) DestroyWindow(gHwnd);
  tbxtest::PumpMessages();
  tbxtest::PlatformReset();
}

/* ---------------------------------------------------------------- project file */

void ProjectFile(const uint8_t* data, size_t size) {
  const std::string path = ScratchPath("p.tbx");
  WriteBytes(path, data, size);
  TbroRecord before;
  std::memcpy(&before, &gTbro, sizeof before);
  const Settings settingsBefore = TakeSettingsSnapshot();

  gbEdit = 1;
  gbFirstFile = 1;
  gbLoadMidi = 1;
  const char* warning = nullptr;
  const char* verdict = TambroFileRead(path.c_str(), &warning);
  gbFirstFile = 0;
  gbLoadMidi = 0;
  Check(verdict == ExpectedVerdict(data, size), "the reader's verdict is not the one the file's bytes call for");
  if (verdict != nullptr) {
    Check(std::memcmp(&before, &gTbro, sizeof before) == 0, "a rejected file changed the pattern");
    Check(TakeSettingsSnapshot() == settingsBefore, "a rejected file changed the settings");
    Check(warning == nullptr, "a rejected file also warned");
    return;
  }
  const FileGroove groove = ExpectedGroove(data, size);
  Check(warning == (groove.refused ? gszErrorCannotRead : nullptr),
        "the reader's word on the chunks is not the one the file's bytes call for");
  CheckLoadedArrays(data, size);
  CheckLoadedGroove(groove);
  const int loopStart = HeaderGet(gTbro.LoopStart), loopEnd = HeaderGet(gTbro.LoopEnd);
  Check(loopEnd <= STEP_COUNT, "LoopEnd above the step count after a load");
  Check(giTempo >= 40 && giTempo <= 506, "tempo outside 40..506 after a load");
  Check(goNumDevs == 0 || unsigned(int(gMidiOutPort)) < goNumDevs, "output port beyond the devices after a load");
  Check(giNumDevs == 0 || unsigned(int(gMidiInPort)) < giNumDevs, "input port beyond the devices after a load");
  (void)loopStart;

  // The loaded values drive the step clock, note output and the play-position dot.
  tbxtest::ClearCapturedMidi();
  Command(IDM_LOOP);
  if (gbSequenceGoing) {
    tbxtest::AdvanceClock(StepsMs(3));
    tbxtest::PumpMessages();
    Command(IDM_STOP);
  }
  tbxtest::PumpMessages();
  CheckStopped("project file");
  CheckShortMessages("project file");
  CheckNothingSounds("project file");
  tbxtest::ClearDrawLog();
  tbxtest::ClearInvalidations();
}

/* ---------------------------------------------------------------- playlist */

namespace {

// The playlist format read independently: entries of the text up to its first zero byte.
std::vector<std::string> ReferenceEntries(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(std::strlen(text.c_str()));
  std::vector<std::string> entries;
  size_t p = 0, n = text.size();
  auto toLineEnd = [&] {
    while (p < n && text[p] != '\r') ++p;
  };
  for (;;) {
    while (p < n && (text[p] == '\r' || text[p] == '\n' || text[p] == ' ' || text[p] == '\t')) ++p;
    if (p < n && text[p] == ';') {
      toLineEnd();
      continue;
    }
    if (p >= n || text[p] == ',') break;
    std::string name;
    for (; p < n && text[p] != '\r' && text[p] != ',' && text[p] != ';'; ++p)
      if (text[p] != ' ' && text[p] != '\t') name += text[p];
    if (p < n && text[p] == ';') toLineEnd();
    if (p < n && (text[p] == '\r' || text[p] == ',')) ++p;
    if (p < n && text[p] == '\n') ++p;
    if (name.find('.') == std::string::npos) name += ".TBX";
    entries.push_back(name);
  }
  return entries;
}

std::string Terminated(const char* buffer, const char* what) {
  const void* end = std::memchr(buffer, 0, TBX_PATH);
  if (!end) {
    Fail(std::string(what) + " is not terminated inside its 260 bytes");
    return "";
  }
  return std::string(buffer);
}

}  // namespace

void Playlist(const uint8_t* data, size_t size) {
  const std::string path = ScratchPath("l.txt");
  WriteBytes(path, data, size);
  const std::vector<std::string> expected = ReferenceEntries(data, size);
  gbNeedSave = 0;
  const char* verdict = PlayListRead(path.c_str());
  if (expected.empty()) {
    Check(verdict == gszErrorNotFound, "a list without entries was not refused as missing");
    return;
  }
  Check(verdict == nullptr, "a list with entries was refused");
  if (verdict) return;

  size_t got = 0;
  for (;;) {
    std::string next = Terminated(gszNextTambroFile, "gszNextTambroFile");
    Check(next == Terminated(gszFileName, "gszFileName") && next == Terminated(gszTitleName, "gszTitleName"),
          "the three entry buffers differ");
    Check(next.find_first_of("\r,; \t") == std::string::npos, "an entry holds a separator or a blank");
    if (got >= expected.size()) {
      Fail("the list yields more entries than it holds");
      return;
    }
    const std::string& want = expected[got];
    if (want.size() < TBX_PATH) Check(next == want, "entry " + std::to_string(got) + " is \"" + next + "\", not \"" + want + "\"");
    else Check(next.size() == TBX_PATH - 1, "a long entry is not cut to 259 characters");
    ++got;
    if (!parseNextFileName()) break;
  }
  Check(got == expected.size(), "the list ended after " + std::to_string(got) + " of " +
                                    std::to_string(expected.size()) + " entries");
  Check(parseNextFileName() == 0 && parseNextFileName() == 0, "a read past the end yields an entry");
}

/* ---------------------------------------------------------------- MIDI input */

void MidiInput(const uint8_t* data, size_t size) {
  if (size < 4) return;
  const bool undo = data[0] & 1;
  // Settings of the run from the first bytes, each through its menu command.
  Command(IDM_RELBEAT + data[0] / 2 % 10);
  Command(IDM_VOICECH + data[1] % 16);
  Command(IDM_PERCCH + (data[1] & 0x80 ? 15 : 9));
  Command(IDM_TRANSPOSE + data[2] % 25);
  const int loopEnd = 1 + data[3] % STEP_COUNT;
  HeaderSet(gTbro.LoopEnd, static_cast<int16_t>(loopEnd));
  HeaderSet(gTbro.LoopStart, static_cast<int16_t>(data[2] % loopEnd));
  tbxtest::ClearCapturedMidi();
  Command(undo ? IDM_LOOPUNDO : IDM_LOOP);
  Check(gbSequenceGoing && gbMidiInOpen, "the run with input did not start");
  if (!gbSequenceGoing) return;

  const int percCh = gPercCh, voiceCh = gVoiceCh;
  std::vector<int> accepted;      // entries the callback must take: note | 0x80 for percussion
  size_t echoes = 0;              // messages the callback must echo
  for (size_t i = 4; i < size;) {
    uint8_t op = data[i++];
    if (op < 0x80 || i + 2 > size) {
      tbxtest::AdvanceClock(op & 0x1F);
      continue;
    }
    const int status = 0x80 | data[i], d1 = data[i + 1] & 0x7F, d2 = op & 0x7F;
    i += 2;
    tbxtest::SendMidiInput(0, static_cast<DWORD>(status | d1 << 8 | d2 << 16));
    if (d2 != 0 && (status == (0x90 | percCh) || status == (0x90 | voiceCh))) {
      accepted.push_back(status == (0x90 | percCh) ? d1 | 0x80 : d1);
      ++echoes;
    }
  }
  tbxtest::AdvanceClock(StepsMs(1));  // a half event drains what is left
  tbxtest::PumpMessages();
  Command(IDM_STOP);
  tbxtest::PumpMessages();
  CheckStopped("MIDI input");
  CheckShortMessages("MIDI input");
  CheckNothingSounds("MIDI input");

  size_t echoed = 0;
  for (const auto& m : tbxtest::CapturedMidi()) {
    int st = m.message & 0xFF, vel = m.message >> 16 & 0x7F;
    if ((st == (0x90 | percCh) || st == (0x90 | voiceCh)) && vel >= 40) ++echoed;
  }
  Check(echoed >= echoes, "an accepted note was not echoed");

  // Only rows 2..48 of steps inside the play range can have been set.
  for (int s = 0; s < STEP_SLOTS; ++s) {
    uint32_t pl = StepGet(gTbro.PercL, s), ph = StepGet(gTbro.PercH, s);
    uint32_t vl = StepGet(gTbro.VoiceL, s), vh = StepGet(gTbro.VoiceH, s);
    Check(((pl | vl) & 3) == 0 && ((ph | vh) >> 17) == 0, "input set a flag row or a row above 48");
    Check(StepGet(gTbro.VoiceXL, s) == 0 && StepGet(gTbro.VoiceXH, s) == 0, "input reached the shifted-out words");
    if (s >= loopEnd) Check((pl | ph | vl | vh) == 0, "input landed outside the play range");
  }

  // Without undo and with a buffer that could never fill, every accepted note is set
  // somewhere in the pattern.
  if (!undo && accepted.size() <= 128) {
    const int noteOffset = gNoteOffset;
    for (int entry : accepted) {
      const bool perc = entry & 0x80;
      const int row = perc ? (entry & 0x7F) - 33 : static_cast<uint8_t>(entry - noteOffset);
      if (row < 2 || row > 48) continue;
      bool found = false;
      for (int s = 0; s < loopEnd && !found; ++s)
        found = perc ? CellPerc(s, row) : CellVoice(s, row);
      if (!found) {
        Fail("a recorded " + std::string(perc ? "percussion" : "instrument") + " note " +
             std::to_string(entry & 0x7F) + " is not in the pattern");
        return;
      }
    }
  }
}

/* ---------------------------------------------------------------- MIDI file export */

void ExportPattern(const uint8_t* data, size_t size) {
  if (size < 4) return;
  // The bytes, repeated to the record's length, as a valid project file.
  Bytes image(TBRO_SIZE);
  for (size_t i = 0; i < image.size(); ++i) image[i] = data[i % size];
  std::memcpy(image.data(), "TBRX", 4);
  image[4] = TBRO_SIZE & 0xFF;
  image[5] = TBRO_SIZE >> 8;
  // Swing from the bytes (straight a quarter of the time), and dynamics from them.
  const int swing = data[2] % 4 == 0 ? SWING_STRAIGHT : SWING_STRAIGHT + data[3] % (SWING_MAX - SWING_STRAIGHT + 1);
  const uint8_t swng[] = {'S', 'W', 'N', 'G', 2, 0, 0, 0, static_cast<uint8_t>(swing), 0};
  image.insert(image.end(), swng, swng + sizeof swng);
  for (const char* id : {"ACNT", "GHST"}) {
    const uint8_t head[] = {uint8_t(id[0]), uint8_t(id[1]), uint8_t(id[2]), uint8_t(id[3]), 0x20, 0x09, 0, 0};
    image.insert(image.end(), head, head + sizeof head);
    for (size_t i = 0; i < 16 * STEP_SLOTS; ++i) image.push_back(data[(i * 7 + (id[0] == 'A')) % size]);
  }
  const std::string source = ScratchPath("e.tbx");
  WriteBytes(source, image.data(), image.size());
  gbEdit = 1;
  gbFirstFile = 1;
  gbLoadMidi = data[0] & 1;
  const char* verdict = TambroFileRead(source.c_str());
  gbFirstFile = 0;
  gbLoadMidi = 0;
  Check(verdict == nullptr, "a valid record was refused");
  ValidateRect(gHwnd, NULL);
  gVelocity = static_cast<int16_t>(20 + data[1] % 108);

  {
    const UINT id = data[0] & 2 ? IDM_SAVEMIDI_F1 : IDM_SAVEMIDI_GM;  // one export an input: half the time
    const std::string out = ScratchPath(id == IDM_SAVEMIDI_GM ? "e0.mid" : "e1.mid");
    std::remove(out.c_str());
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueFileDialog(out);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    Command(id);
    const Bytes file = ReadBytes(out);
    Smf summary;
    const std::string error = SmfCheck(file.data(), file.size(), &summary);
    if (!error.empty()) {
      Fail(std::string(id == IDM_SAVEMIDI_GM ? "format 0" : "format 1") + " export: " + error);
      return;
    }
    Check(summary.format == (id == IDM_SAVEMIDI_GM ? 0 : 1) && summary.division == 384,
          "export header has the wrong format or division");
    const auto& boxes = tbxtest::MessageBoxes();
    Check(boxes.size() == 1 && boxes[0].text.find("Size:" + std::to_string(file.size()) + " bytes") != std::string::npos,
          "the size report does not give the size of the file written");
    std::remove(out.c_str());
  }
  tbxtest::ClearMessageBoxes();
}

/* ---------------------------------------------------------------- MIDI file import */

void ImportMidi(const uint8_t* data, size_t size) {
  const ImportOptions options;
  MidiImport result;
  const char* error = ImportMidiData(data, size, options, &result);

  // A file the strict grammar accepts, of format 0 or 1 with notes, is imported, and every
  // note-on is either placed or counted as dropped.
  Smf summary;
  const bool wellFormed = SmfCheck(data, size, &summary).empty();
  if (wellFormed && summary.format <= 1 && summary.noteOns > 0) {
    Check(error == nullptr, std::string("a well-formed file was refused: ") + (error ? error : ""));
    int dropped = 0;
    for (int n : result.dropped) dropped += n;
    if (!result.tamborixLayout)
      Check(result.placed + dropped == static_cast<int>(summary.noteOns), "placed and dropped notes do not add up");
  }
  if (error) {
    Check(result.parts.empty() && result.order.empty() && result.notes.empty(), "a refused file left a result");
    return;
  }
  Check(!result.parts.empty() && !result.order.empty() && result.order[0] == 0, "an import without parts");
  Check(result.notes.size() == static_cast<size_t>(result.placed), "the placed notes are not listed");
  for (size_t e = 1; e < result.order.size(); ++e)
    Check(result.order[e] == result.order[e - 1] || result.order[e] == result.order[e - 1] + 1,
          "the playlist does not list the parts in order");
  Check(result.order.back() + 1 == static_cast<int>(result.parts.size()), "a part no entry plays");
  static const int bars[] = {3, 4, 5, 6, 8, 12, 16, 24};
  for (const TbroRecord& r : result.parts) {
    Check(std::memcmp(r.Id, "TBRX", 4) == 0 && r.Size == TBRO_SIZE && r.Reserved == 0, "a part is no project file");
    Check(r.LoopStart >= 0 && r.LoopStart < r.LoopEnd && r.LoopEnd <= STEP_COUNT, "a part's play range is off");
    Check(r.RelBeat >= 0 && r.RelBeat <= 9 && r.MsecPerBeat > 0 && r.Transpose >= 0 && r.Transpose <= 24 &&
              r.Voice >= 0 && r.Voice <= 127 && (r.PercCh == 9 || r.PercCh == 15) && r.VoiceCh >= 0 && r.VoiceCh <= 15,
          "a part's settings are out of range");
    Check(std::find(bars, bars + 8, r.BeatsPBar) != bars + 8, "a part's bar is not a Beats/Bar item");
    for (int s = 0; s < STEP_SLOTS; ++s) {
      const bool inside = s < STEP_COUNT;
      Check(r.VoiceXL[s] == 0 && r.VoiceXH[s] == 0 && (r.PercH[s] >> 17) == 0 && (r.VoiceH[s] >> 17) == 0,
            "a part sets a row above 48");
      Check(inside || (r.PercL[s] | r.PercH[s] | r.VoiceL[s] | r.VoiceH[s]) == 0, "a part sets a step past its pattern");
    }
  }
  for (const ImportedNote& n : result.notes) {
    Check(n.entry >= 0 && n.entry < static_cast<int>(result.order.size()), "a placed note outside the music");
    if (n.entry < 0 || n.entry >= static_cast<int>(result.order.size())) return;
    const TbroRecord& r = result.parts[result.order[n.entry]];
    const uint32_t word = n.row < 32 ? (n.perc ? r.PercL : r.VoiceL)[n.step] : (n.perc ? r.PercH : r.VoiceH)[n.step];
    Check(n.row >= 2 && n.row <= 48 && n.step >= r.LoopStart && n.step < r.LoopEnd && (word >> (n.row % 32) & 1u),
          "a placed note is not in its part's play range");
    Check(n.velocity >= 0 && n.velocity <= 127, "a placed note's velocity is out of range");
  }
  Check(!ImportReport(result, " ").empty(), "no report");

  // What the import writes reads back: the project file, or every entry of the playlist.
  gbEdit = 1;
  gbFirstFile = 1;
  gbLoadMidi = 1;
  if (result.order.size() == 1) {
    Check(WriteImportedRecord(result.parts[0], ScratchPath("i.tbx").c_str()) == nullptr, "the project was not written");
    Check(TambroFileRead(ScratchPath("i.tbx").c_str()) == nullptr, "the imported project does not load");
  } else {
    std::string failed;
    Check(WriteImportedMusic(result, ScratchPath("i"), &failed) == nullptr, "the parts were not written: " + failed);
    const std::string base = ScratchPath("i"), folder = base.substr(0, base.rfind('/') + 1);
    size_t entries = 0;
    if (PlayListRead(ScratchPath("i.txt").c_str()) == nullptr) {
      do {
        ++entries;
        Check(TambroFileRead((folder + gszNextTambroFile).c_str()) == nullptr, "a part of the playlist does not load");
      } while (parseNextFileName());
    }
    Check(entries == result.order.size(), "the playlist does not list every part");
  }
  gbFirstFile = 0;
  gbLoadMidi = 0;
}

}  // namespace tbxfuzz
