/*
** The notes of a step: the one place that says which MIDI notes a step's words produce, for
** the step clock (playback/clock.cpp) and for the MIDI file export (midifile/convert.cpp),
** and the MIDI numbers both use.
**
** A walk goes through a step in this order: the percussion of the previous step ends
** (EndPercussion, rows 2..47), then StepNotes sends the percussion onsets of rows 2..31, the
** instrument rows 1..31 (row 1 is the release marker), then rows 32..59 with percussion
** before instrument within a row. Every note's start and end goes to the caller's sink (a
** start may have velocity 0: a muted or silenced part still starts its notes). Instrument notes sound until their row sounds again or a release marker
** ends rows 2..47; the caller's NoteBook remembers them.
**
** What differs between the two callers is stated by the caller, not coded twice:
**   - the velocities (bar and free accents, levels, mute) come in StepVoicing, each caller
**     computing them by its own rules;
**   - how a note's end is sent (a note off, or a note on with velocity 0) is the sink's;
**   - which parts are walked (a format 1 track has one) is StepVoicing.perc/.voice;
**   - a pitch beyond 0..127: playback sends nothing for it, the export keeps its low seven
**     bits (StepVoicing.wrapPitch).
*/
#ifndef TBX_PATTERN_NOTES_H
#define TBX_PATTERN_NOTES_H

#include <cstdint>

#include "pattern/pattern.h"

/* ---------------------------------------------------------------- MIDI numbers */

enum : int {
  MIDI_NOTE_OFF = 0x80,     /* status bytes of channel messages (low nibble: channel) */
  MIDI_NOTE_ON = 0x90,
  MIDI_CONTROL = 0xB0,
  MIDI_PROGRAM = 0xC0,
  MIDI_CC_VOLUME = 7,       /* controllers */
  MIDI_CC_ALL_NOTES_OFF = 123,
  PERC_NOTE_BASE = 33,      /* percussion row r plays General MIDI drum note r + 33 */
};

/* A velocity or data value kept to 0..127. */
int Clamp127(int v);

/* ---------------------------------------------------------------- the walk */

/* The notes a caller has left sounding: the percussion words of the last step walked (their
** notes end at the next step) and the note on each instrument row, 0 = none. */
struct NoteBook {
  Shared<uint32_t>& percLLast;
  Shared<uint32_t>& percHLast;
  Shared<int8_t>* pending;  /* 64 entries, one per instrument row */
};

/* How a step sounds for one caller. */
struct StepVoicing {
  int percVelocity;   /* 0..127 */
  int voiceVelocity;  /* 0..127 */
  int noteOffset;     /* MIDI note of instrument row 0 */
  bool perc, voice;   /* which parts are walked */
  bool wrapPitch;     /* pitch outside 0..127: true keeps its low 7 bits, false sends nothing */
};

/* Receives one note's start (on) or end: perc tells the channel, percussion or instrument. */
typedef void (*NoteSink)(void* context, bool perc, bool on, int note, int velocity);

/* Ends the percussion of the step walked last (rows 2..47; row 48 is left to ring). */
void EndPercussion(const NoteBook& book, NoteSink sink, void* context);
/* The notes of step `step` of gTbro, in walk order; updates the book. */
void StepNotes(int step, const StepVoicing& voicing, const NoteBook& book, NoteSink sink,
               void* context);

#endif
