/*
** This file contains the walk through the notes of one step (see pattern.h): which percussion
** and instrument notes the step's words start and end, with the keyboard split, the release
** marker and each note's dynamic, for every caller alike.
*/
#include "pattern/pattern.h"

int Clamp127(int v) { return v < 0 ? 0 : v > 127 ? 127 : v; }

void EndPercussion(const NoteBook& book, NoteSink sink, void* context) {
  const uint32_t lastL = book.percLLast, lastH = book.percHLast;
  for (int r = 2; r < 32; ++r)
    if (lastL & (1u << r)) sink(context, true, false, r + PERC_NOTE_BASE, 0);
  for (int r = 32; r < 48; ++r)
    if (lastH & (1u << (r - 32))) sink(context, true, false, r + PERC_NOTE_BASE, 0);
}

/* The dynamic of the note at `bit` of a word, from the word's Accent and Ghost bits. */
static int Dynamic(uint32_t accent, uint32_t ghost, uint32_t bit) {
  return (accent & bit) ? DYN_ACCENT : (ghost & bit) ? DYN_GHOST : DYN_NORMAL;
}

/* The Accent and Ghost words of one note word of the step. */
struct StepDynamics {
  uint32_t accent, ghost;
  StepDynamics(const uint32_t* notes, int step)
      : accent(StepGet(DynamicWords(DYN_ACCENT, notes), step)),
        ghost(StepGet(DynamicWords(DYN_GHOST, notes), step)) {}
  int Of(uint32_t bit) const { return Dynamic(accent, ghost, bit); }
};

/* Instrument row r sounds `pitch` at `velocity`: the note the row still holds ends first. */
static void VoiceRow(int r, int pitch, int velocity, const StepVoicing& voicing, const NoteBook& book,
                     NoteSink sink, void* context) {
  const int8_t held = book.pending[r];
  if (held != 0) sink(context, false, false, held, 0);
  if (voicing.wrapPitch) {
    pitch &= 0x7F;
  } else if (pitch < 0 || pitch > 127) {
    book.pending[r] = 0;
    return;
  }
  book.pending[r] = static_cast<int8_t>(pitch);
  sink(context, false, true, pitch, velocity);
}

/* The release marker: the notes of rows 2..47 end (rows 48..59 are beyond its reach). */
static void Release(const NoteBook& book, NoteSink sink, void* context) {
  for (int q = 2; q <= 47; ++q) {
    const int8_t held = book.pending[q];
    if (held == 0) continue;
    sink(context, false, false, held, 0);
    book.pending[q] = 0;
  }
}

/* Row 0 holds the keyboard split: PercL bit 0 plays rows 2..27 an octave lower, VoiceL
** bit 0 rows 28..59 an octave higher, each base kept inside 0..127. */
void StepNotes(int step, const StepVoicing& voicing, const NoteBook& book, NoteSink sink,
               void* context) {
  const uint32_t percL = StepGet(gTbro.PercL, step), percH = StepGet(gTbro.PercH, step);
  const uint32_t voiceL = StepGet(gTbro.VoiceL, step), voiceH = StepGet(gTbro.VoiceH, step);
  const int offset = voicing.noteOffset;
  const int lowBase = offset - 12 < 0 ? offset : offset - 12;
  const int highBase = offset + 12 > 127 ? offset : offset + 12;
  const bool low = percL & 1u, high = voiceL & 1u;
  const StepDynamics dPercL(gTbro.PercL, step), dPercH(gTbro.PercH, step);
  const StepDynamics dVoiceL(gTbro.VoiceL, step), dVoiceH(gTbro.VoiceH, step);
  const int pv = voicing.percVelocity, vv = voicing.voiceVelocity;

  if (voicing.perc)
    for (int r = 2; r < 32; ++r) {
      const uint32_t bit = 1u << r;
      if (percL & bit) sink(context, true, true, r + PERC_NOTE_BASE, DynamicVelocity(pv, dPercL.Of(bit)));
    }
  if (voicing.voice) {
    if (voiceL & 2u) Release(book, sink, context);
    for (int r = 2; r < 32; ++r) {
      const uint32_t bit = 1u << r;
      if (!(voiceL & bit)) continue;
      const int base = r <= 27 && low ? lowBase : r >= 28 && high ? highBase : offset;
      VoiceRow(r, base + r, DynamicVelocity(vv, dVoiceL.Of(bit)), voicing, book, sink, context);
    }
  }
  if (voicing.perc) book.percLLast = percL;

  for (int r = 32; r <= 59; ++r) {
    const uint32_t bit = 1u << (r - 32);
    if (voicing.perc && (percH & bit))
      sink(context, true, true, r + PERC_NOTE_BASE, DynamicVelocity(pv, dPercH.Of(bit)));
    if (voicing.voice && (voiceH & bit))
      VoiceRow(r, (high ? highBase : offset) + r, DynamicVelocity(vv, dVoiceH.Of(bit)), voicing, book,
               sink, context);
  }
  if (voicing.perc) book.percHLast = percH;
}
