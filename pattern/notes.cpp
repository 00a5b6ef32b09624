/*
** This file contains the walk through the notes of one step (see pattern.h): which percussion
** and instrument notes the step's words start and end, with the keyboard split and the
** release marker, for every caller alike.
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

/* Instrument row r sounds `pitch`: the note the row still holds ends first. */
static void VoiceRow(int r, int pitch, const StepVoicing& voicing, const NoteBook& book,
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
  sink(context, false, true, pitch, voicing.voiceVelocity);
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

  if (voicing.perc)
    for (int r = 2; r < 32; ++r)
      if (percL & (1u << r)) sink(context, true, true, r + PERC_NOTE_BASE, voicing.percVelocity);
  if (voicing.voice) {
    if (voiceL & 2u) Release(book, sink, context);
    for (int r = 2; r < 32; ++r) {
      if (!(voiceL & (1u << r))) continue;
      const int base = r <= 27 && low ? lowBase : r >= 28 && high ? highBase : offset;
      VoiceRow(r, base + r, voicing, book, sink, context);
    }
  }
  if (voicing.perc) book.percLLast = percL;

  for (int r = 32; r <= 59; ++r) {
    const uint32_t bit = 1u << (r - 32);
    if (voicing.perc && (percH & bit))
      sink(context, true, true, r + PERC_NOTE_BASE, voicing.percVelocity);
    if (voicing.voice && (voiceH & bit))
      VoiceRow(r, (high ? highBase : offset) + r, voicing, book, sink, context);
  }
  if (voicing.perc) book.percHLast = percH;
}
