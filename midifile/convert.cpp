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
** In beat time (gbMidiBeatTime) a quarter note is a beat of the tempo read-out, 480 ticks,
** and a step lasts 480 / steps-per-beat ticks; every event of a step sits on the step's
** own tick (delta 0 between them), the first step of the play range on tick 0 and the body
** ends at the range's end, so the track lines up with a DAW's bars.
**
** The conversion keeps its own note bookkeeping (percussion words of the last step with
** output, the note pending on each instrument row), so an export while a sequence plays
** leaves the sequencer's notes alone. Window thread.
*/

#include <algorithm>

#include "midifile/midifile.h"
#include "pattern/pattern.h"

enum { TICKS_PER_STEP = 384, BEAT_TICKS = 480 };

/* Ticks of one step in beat time: 480 divides by every rel.Beat's steps per beat. */
static uint32_t BeatTimeStepTicks(void) {
  int num, den;
  RelBeatRatio(&num, &den);
  return static_cast<uint32_t>(BEAT_TICKS * num / den);
}

/* The time signature of a bar in beat time: whole quarter notes as n/4; steps of an eighth,
** sixteenth or thirty-second note as steps/8, /16, /32; else the largest of those notes
** that divides the bar. False when none does (no time signature is written). */
static bool BeatTimeSignature(int beats, unsigned char* nn, unsigned char* dd) {
  const uint32_t tps = BeatTimeStepTicks(), bar = static_cast<uint32_t>(beats) * tps;
  if (bar % BEAT_TICKS == 0) {
    *nn = static_cast<unsigned char>(bar / BEAT_TICKS);
    *dd = 2;
    return true;
  }
  for (unsigned char d = 3; d <= 5; ++d) { /* the step itself an eighth .. 32nd note */
    if (tps == (BEAT_TICKS * 4u >> d)) {
      *nn = static_cast<unsigned char>(beats);
      *dd = d;
      return true;
    }
  }
  for (unsigned char d = 3; d <= 5; ++d) {
    const uint32_t unit = BEAT_TICKS * 4u >> d;
    if (bar % unit == 0 && bar / unit < 256) {
      *nn = static_cast<unsigned char>(bar / unit);
      *dd = d;
      return true;
    }
  }
  return false;
}

/* Which parts of the pattern a converter writes. */
enum ConvertPart { PART_BOTH, PART_VOICE, PART_PERC };

/* The export's note bookkeeping; it persists across the conversions of one export (the
** entries of a playlist continue from each other) and is cleared by the assemblers. */
static Shared<uint32_t> percLLast;     /* PercL of the last step with output: its notes end next */
static Shared<uint32_t> percHLast;     /* PercH of that step */
static Shared<int8_t> notePending[64]; /* note sounding on each instrument row, 0 = none */
static const NoteBook gExportBook = {percLLast, percHLast, notePending};

void ClearConversionState(void) {
  percLLast = 0;
  percHLast = 0;
  for (auto& n : notePending) n = 0;
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
  ev.bytes.push_back(gbMidiBeatTime ? 0x00 : 0x01);
  ++ev.count;
}

/* Status byte of a channel message; the channel is kept to its 4 bits. */
static unsigned char Status(int base, int channel) { return static_cast<unsigned char>(base | (channel & 0x0F)); }

static void PutPreamble(std::vector<unsigned char>& buf, ConvertPart part, unsigned char& running) {
  int beats = gBeatsPBar;
  unsigned char nn = static_cast<unsigned char>(beats), dd = beats <= 5 ? 2 : beats <= 12 ? 3 : 4; /* x/4, x/8, x/16 */
  /* One step per quarter note, or in beat time a beat of the BPM read-out per quarter note. */
  uint32_t usPerQuarter = static_cast<uint32_t>(gAdjustedBeat * 1000) & 0xFFFFFF;
  bool signature = true;
  if (gbMidiBeatTime) {
    signature = BeatTimeSignature(beats, &nn, &dd);
    usPerQuarter = static_cast<uint32_t>((60000000 + giTempo / 2) / std::max<int32_t>(giTempo, 1));
  }
  const unsigned char meter[] = {0x00, 0xFF, 0x58, 0x04, nn, dd, 0x18, 0x08};
  if (signature) buf.insert(buf.end(), meter, meter + sizeof meter);
  const unsigned char tempo[] = {0x00, 0xFF, 0x51, 0x03, static_cast<unsigned char>(usPerQuarter >> 16),
                                 static_cast<unsigned char>(usPerQuarter >> 8), static_cast<unsigned char>(usPerQuarter)};
  buf.insert(buf.end(), tempo, tempo + sizeof tempo);
  unsigned char v = Status(MIDI_CONTROL, gVoiceCh), p = Status(MIDI_CONTROL, gPercCh);
  if (part == PART_BOTH) {
    const unsigned char prog[] = {0x00, Status(MIDI_PROGRAM, gVoiceCh), static_cast<unsigned char>(gVoice & 0x7F)};
    buf.insert(buf.end(), prog, prog + sizeof prog);
  }
  if (part != PART_PERC) {
    const unsigned char vol[] = {0x00, v, MIDI_CC_VOLUME, 0x7F};
    buf.insert(buf.end(), vol, vol + sizeof vol);
    running = v;
  }
  if (part != PART_VOICE) {
    const unsigned char vol[] = {0x00, p, MIDI_CC_VOLUME, 0x7F};
    buf.insert(buf.end(), vol, vol + sizeof vol);
    running = p;
  }
}

/* Settings read once per conversion. */
struct ConvertSettings {
  int noteOffset;
  unsigned char noteV, noteP; /* note-on status of the instrument and percussion channels */
  int velocity, beatsPBar, accent, freeAccent, deltaVoiceLevel;
};

/* Where the step walk's notes go: the step's event bytes, with the running status. A
** note's end is a note-on with velocity 0. */
struct EventSink {
  StepEvents* ev;
  unsigned char* running;
  const ConvertSettings* cs;
};

static void PutWalkedNote(void* context, bool perc, bool on, int note, int velocity) {
  EventSink* out = static_cast<EventSink*>(context);
  PutNote(*out->ev, *out->running, perc ? out->cs->noteP : out->cs->noteV, note, on ? velocity : 0);
}

/* The events of step i. The velocities follow the export's rules: the bar accent from the
** record, the free accent on top of it, the instrument level added to the clamped value. */
static void StepToEvents(StepEvents& ev, unsigned char& running, const ConvertSettings& cs, ConvertPart part,
                         int i) {
  EventSink out = {&ev, &running, &cs};
  if (part != PART_VOICE) EndPercussion(gExportBook, PutWalkedNote, &out);

  int vel = cs.velocity;
  if (cs.beatsPBar > 0 && i % cs.beatsPBar == 0) vel += cs.accent * 10;
  if (StepGet(gTbro.PercL, i) & 2) vel = cs.freeAccent * 10 + vel - 70;
  vel = Clamp127(vel);

  StepVoicing voicing;
  voicing.percVelocity = vel;
  voicing.voiceVelocity = Clamp127(vel + cs.deltaVoiceLevel);
  voicing.noteOffset = cs.noteOffset;
  voicing.perc = part != PART_VOICE;
  voicing.voice = part != PART_PERC;
  voicing.wrapPitch = true;
  StepNotes(i, voicing, gExportBook, PutWalkedNote, &out);
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
  cs.noteV = Status(MIDI_NOTE_ON, gVoiceCh);
  cs.noteP = Status(MIDI_NOTE_ON, gPercCh);
  cs.velocity = gVelocity;
  cs.beatsPBar = gBeatsPBar;
  cs.accent = HeaderGet(gTbro.Accent);
  cs.freeAccent = gFreeAccent;
  cs.deltaVoiceLevel = gDeltaVoiceLevel;

  int start, end;
  PlayRange(&start, &end);

  const bool beatTime = gbMidiBeatTime != 0;
  const uint32_t beatStep = beatTime ? BeatTimeStepTicks() : 0;
  int n = 1; /* steps since the last step with output */
  int k = 0; /* events of the last step with output */
  int lastOutput = start; /* beat time: the step the last events sit on (the range's start before any) */
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
    if (beatTime) {
      if (k != 0) buf.pop_back(); /* the delta 0 after the previous step's last event */
      PutVarLen(buf, static_cast<uint32_t>(i - lastOutput) * beatStep);
      lastOutput = i;
    } else if (i == 0) {
      buf.push_back(0x00);
    } else {
      if (k != 0) buf.pop_back(); /* the one-tick delta after the previous step's last event */
      PutVarLen(buf, static_cast<uint32_t>(n * TICKS_PER_STEP - k));
    }
    buf.insert(buf.end(), ev.bytes.begin(), ev.bytes.end());
    k = ev.count;
    n = 1;
  }
  if (k != 0) buf.pop_back();
  if (beatTime)
    PutVarLen(buf, static_cast<uint32_t>(std::max(end - lastOutput, 0)) * beatStep);
  else
    PutVarLen(buf, static_cast<uint32_t>(n * TICKS_PER_STEP - k));
  return static_cast<uint32_t>(buf.size());
}

uint32_t ConvertFile2MFTrack(void) { return ConvertTrack(PART_BOTH); }
uint32_t ConvertVoice2MFTrack(void) { return ConvertTrack(PART_VOICE); }
uint32_t ConvertPerc2MFTrack(void) { return ConvertTrack(PART_PERC); }
