/*
** Pattern-to-track conversion: the pattern in gTbro becomes the body of one MIDI track in
** gTrackBuf, one step per quarter note of 384 ticks. ConvertFile2MFTrack writes percussion
** and instrument (format 0), ConvertVoice2MFTrack the instrument only and
** ConvertPerc2MFTrack the percussion only (the two tracks of format 1).
**
** Body format. A preamble (time signature, tempo, program and volume), then for every step
** with output its opening delta and its events one tick apart, each event followed by a
** one-tick delta; the next step's opening delta replaces the last of those. A body starts
** with delta 0 and ends with a delta (the closing delta), so whatever the caller appends
** next follows directly. Notes are ended by a note-on with velocity 0, and running status
** is used throughout.
**
** The conversion keeps its own note bookkeeping (percussion words of the last step with
** output, the note pending on each instrument row), so an export while a sequence plays
** leaves the sequencer's notes alone. Window thread.
*/
#include <cstring>

#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

enum { TICKS_PER_STEP = 384 };

/* Which parts of the pattern a converter writes. */
enum ConvertPart { PART_BOTH, PART_VOICE, PART_PERC };

/* The export's note bookkeeping; it persists across the conversions of one export (the
** entries of a playlist continue from each other) and is cleared by the assemblers. */
static uint32_t percLLast;     /* PercL of the last step with output: its notes end next */
static uint32_t percHLast;     /* PercH of that step */
static int8_t notePending[64]; /* note sounding on each instrument row, 0 = none */

void ClearConversionState(void) {
  percLLast = 0;
  percHLast = 0;
  std::memset(notePending, 0, sizeof notePending);
}

/* Appends the variable-length quantity of value to a buffer. */
static void PutDelta(std::vector<unsigned char>& buf, uint32_t value) {
  dword2Delta(value);
  for (int b = 0; b < 3; ++b)
    if (gDeltaString[b]) buf.push_back(gDeltaString[b]);
  buf.push_back(gDeltaString[3]);
}

/* The events of one step, collected before they are written so that a step that turns out
** to write nothing leaves no delta behind. */
struct StepEvents {
  std::vector<unsigned char> bytes;
  int count = 0;
};

/* One note event: status only when it differs from the running status, note, velocity,
** then the one-tick delta. Data bytes are kept to 7 bits so that no stored value, however
** odd, can turn a data byte into a status byte. */
static void PutNote(StepEvents& ev, unsigned char& running, unsigned char status, int note, int vel) {
  if (status != running) {
    ev.bytes.push_back(status);
    running = status;
  }
  ev.bytes.push_back(static_cast<unsigned char>(note & 0x7F));
  ev.bytes.push_back(static_cast<unsigned char>(vel & 0x7F));
  ev.bytes.push_back(0x01);
  ++ev.count;
}

static int Clamp127(int v) { return v < 0 ? 0 : v > 127 ? 127 : v; }

/* Status byte of a channel message; the channel is kept to its 4 bits. */
static unsigned char Status(int base, int channel) { return static_cast<unsigned char>(base | (channel & 0x0F)); }

static void PutPreamble(std::vector<unsigned char>& buf, ConvertPart part, unsigned char& running) {
  int beats = gBeatsPBar;
  unsigned char dd = beats <= 5 ? 2 : beats <= 12 ? 3 : 4; /* x/4, x/8, x/16 */
  uint32_t usPerStep = static_cast<uint32_t>(gAdjustedBeat * 1000) & 0xFFFFFF;
  const unsigned char head[] = {0x00, 0xFF, 0x58, 0x04, static_cast<unsigned char>(beats), dd, 0x18, 0x08,
                                0x00, 0xFF, 0x51, 0x03, static_cast<unsigned char>(usPerStep >> 16),
                                static_cast<unsigned char>(usPerStep >> 8), static_cast<unsigned char>(usPerStep)};
  buf.insert(buf.end(), head, head + sizeof head);
  unsigned char v = Status(0xB0, gVoiceCh), p = Status(0xB0, gPercCh);
  if (part == PART_BOTH) {
    const unsigned char prog[] = {0x00, Status(0xC0, gVoiceCh), static_cast<unsigned char>(gVoice & 0x7F)};
    buf.insert(buf.end(), prog, prog + sizeof prog);
  }
  if (part != PART_PERC) {
    const unsigned char vol[] = {0x00, v, 0x07, 0x7F};
    buf.insert(buf.end(), vol, vol + sizeof vol);
    running = v;
  }
  if (part != PART_VOICE) {
    const unsigned char vol[] = {0x00, p, 0x07, 0x7F};
    buf.insert(buf.end(), vol, vol + sizeof vol);
    running = p;
  }
}

/* Settings read once per conversion. */
struct ConvertSettings {
  int noteOffset, low, high;  /* base note and the octave bases of the keyboard split */
  unsigned char noteV, noteP; /* note-on status of the instrument and percussion channels */
  int velocity, beatsPBar, accent, freeAccent, deltaVoiceLevel;
};

/* Starts the instrument note of row r, ending the note the row still holds first. */
static void StartVoiceNote(StepEvents& ev, unsigned char& running, const ConvertSettings& cs, int r, int base,
                           int ivel) {
  if (notePending[r] != 0) PutNote(ev, running, cs.noteV, notePending[r], 0);
  int note = (base + r) & 0x7F;
  notePending[r] = static_cast<int8_t>(note);
  PutNote(ev, running, cs.noteV, note, ivel);
}

/* The events of step i in their order: percussion of the previous step ended, percussion
** onsets of rows 2..31, instrument rows 1..31 (row 1 is the release marker), then rows
** 32..59, percussion before instrument within a row. */
static void StepToEvents(StepEvents& ev, unsigned char& running, const ConvertSettings& cs, ConvertPart part,
                         int i) {
  uint32_t pl = StepGet(gTbro.PercL, i), ph = StepGet(gTbro.PercH, i);
  uint32_t vl = StepGet(gTbro.VoiceL, i), vh = StepGet(gTbro.VoiceH, i);
  bool perc = part != PART_VOICE, voice = part != PART_PERC;

  /* The previous step's percussion lasts one step; row 48 is outside this range. */
  if (perc) {
    for (int r = 2; r < 32; ++r)
      if (percLLast >> r & 1) PutNote(ev, running, cs.noteP, r + 33, 0);
    for (int r = 32; r < 48; ++r)
      if (percHLast >> (r - 32) & 1) PutNote(ev, running, cs.noteP, r + 33, 0);
  }

  /* The free accent comes on top of the bar accent. */
  int vel = cs.velocity;
  if (cs.beatsPBar > 0 && i % cs.beatsPBar == 0) vel += cs.accent * 10;
  if (pl & 2) vel = cs.freeAccent * 10 + vel - 70;
  vel = Clamp127(vel);
  int ivel = Clamp127(vel + cs.deltaVoiceLevel);

  if (perc)
    for (int r = 2; r < 32; ++r)
      if (pl >> r & 1) PutNote(ev, running, cs.noteP, r + 33, vel);
  if (voice) {
    if (vl & 2) /* release marker: ends the notes of rows 2..47 */
      for (int q = 2; q < 48; ++q)
        if (notePending[q] != 0) {
          PutNote(ev, running, cs.noteV, notePending[q], 0);
          notePending[q] = 0;
        }
    for (int r = 2; r < 32; ++r) {
      if (!(vl >> r & 1)) continue;
      int base = r <= 27 && (pl & 1) ? cs.low : r >= 28 && (vl & 1) ? cs.high : cs.noteOffset;
      StartVoiceNote(ev, running, cs, r, base, ivel);
    }
  }
  if (perc) percLLast = pl;
  for (int r = 32; r < 60; ++r) {
    if (perc && (ph >> (r - 32) & 1)) PutNote(ev, running, cs.noteP, r + 33, vel);
    if (voice && (vh >> (r - 32) & 1)) StartVoiceNote(ev, running, cs, r, (vl & 1) ? cs.high : cs.noteOffset, ivel);
  }
  if (perc) percHLast = ph;
}

/* Whether step i has anything for this converter; flag bits count, and so does
** percussion of the previous step that still has to be ended. */
static bool StepHasWork(ConvertPart part, int i) {
  uint32_t voice = StepGet(gTbro.VoiceL, i) | StepGet(gTbro.VoiceH, i);
  uint32_t perc = percLLast | percHLast | StepGet(gTbro.PercL, i) | StepGet(gTbro.PercH, i);
  if (part == PART_VOICE) return voice != 0;
  if (part == PART_PERC) return perc != 0;
  return (voice | perc) != 0;
}

static uint32_t ConvertTrack(ConvertPart part) {
  std::vector<unsigned char>& buf = gTrackBuf;
  buf.clear();
  unsigned char running = 0;
  PutPreamble(buf, part, running);

  ConvertSettings cs;
  cs.noteOffset = gNoteOffset;
  cs.low = cs.noteOffset - 12 < 0 ? cs.noteOffset : cs.noteOffset - 12;
  cs.high = cs.noteOffset + 12 > 127 ? cs.noteOffset : cs.noteOffset + 12;
  cs.noteV = Status(0x90, gVoiceCh);
  cs.noteP = Status(0x90, gPercCh);
  cs.velocity = gVelocity;
  cs.beatsPBar = gBeatsPBar;
  cs.accent = HeaderGet(gTbro.Accent);
  cs.freeAccent = gFreeAccent;
  cs.deltaVoiceLevel = gDeltaVoiceLevel;

  int start = HeaderGet(gTbro.LoopStart), end = HeaderGet(gTbro.LoopEnd);
  if (start < 0) start = 0;
  if (end > STEP_COUNT) end = STEP_COUNT;

  int n = 1; /* steps since the last step with output */
  int k = 0; /* events of the last step with output */
  StepEvents ev;
  for (int i = start; i < end; ++i) {
    if (!StepHasWork(part, i)) {
      ++n;
      continue;
    }
    ev.bytes.clear();
    ev.count = 0;
    StepToEvents(ev, running, cs, part, i);
    /* A step that wrote no event (flag bits only, or a release with nothing pending) is
    ** counted like an empty step, so the track stays well formed and in time. */
    if (ev.count == 0) {
      ++n;
      continue;
    }
    if (i == 0) {
      buf.push_back(0x00);
    } else {
      if (k != 0) buf.pop_back(); /* the one-tick delta after the previous step's last event */
      PutDelta(buf, static_cast<uint32_t>(n * TICKS_PER_STEP - k));
    }
    buf.insert(buf.end(), ev.bytes.begin(), ev.bytes.end());
    k = ev.count;
    n = 1;
  }
  if (k != 0) buf.pop_back();
  PutDelta(buf, static_cast<uint32_t>(n * TICKS_PER_STEP - k));
  return static_cast<uint32_t>(buf.size());
}

uint32_t ConvertFile2MFTrack(void) { return ConvertTrack(PART_BOTH); }
uint32_t ConvertVoice2MFTrack(void) { return ConvertTrack(PART_VOICE); }
uint32_t ConvertPerc2MFTrack(void) { return ConvertTrack(PART_PERC); }
