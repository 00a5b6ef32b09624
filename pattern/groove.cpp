/*
** This file contains the groove of a pattern: the swing arithmetic that moves every odd step
** late, and the dynamics of the note cells (normal, accented, ghost) with the velocity
** rule that turns a dynamic into a note's loudness. The swing setting itself is a row of the
** settings table (settings.cpp); the dynamics are saved as chunks after the record
** (files/files.cpp).
*/
#include "pattern/pattern.h"

CellDynamics gDynamics;

/* ---------------------------------------------------------------- swing */

/* (swing - 50) / 50 of a step, rounded half up: at 66 % a step of 125 ms comes 40 ms late,
** one of 384 ticks 123 ticks late. */
int SwingLate(int step, int length) {
  const int swing = gSwing;
  if ((step & 1) == 0 || swing <= SWING_STRAIGHT || swing > SWING_MAX || length <= 0) return 0;
  return (length * (swing - SWING_STRAIGHT) * 2 + 50) / 100;
}

/* ---------------------------------------------------------------- the dynamics words */

/* Each note array of gTbro with its Accent and Ghost arrays, in the file's order. */
static const struct {
  const uint32_t* notes;
  uint32_t* accent;
  uint32_t* ghost;
} kDynamicArrays[4] = {
    {gTbro.PercL, gDynamics.AccentPercL, gDynamics.GhostPercL},
    {gTbro.PercH, gDynamics.AccentPercH, gDynamics.GhostPercH},
    {gTbro.VoiceL, gDynamics.AccentVoiceL, gDynamics.GhostVoiceL},
    {gTbro.VoiceH, gDynamics.AccentVoiceH, gDynamics.GhostVoiceH},
};

uint32_t* DynamicWords(int dyn, const uint32_t* notes) {
  for (const auto& a : kDynamicArrays)
    if (a.notes == notes) return dyn == DYN_ACCENT ? a.accent : dyn == DYN_GHOST ? a.ghost : nullptr;
  return nullptr;
}

/* The eight arrays of gDynamics, in their order. */
static uint32_t* const* AllWords(void) { return PatternArrays() + PATTERN_DYNAMICS; }

void DynamicsCopy(CellDynamics* out) {
  uint32_t* const dst[8] = {out->AccentPercL, out->AccentPercH, out->AccentVoiceL, out->AccentVoiceH,
                            out->GhostPercL,  out->GhostPercH,  out->GhostVoiceL,  out->GhostVoiceH};
  for (int a = 0; a < 8; a++)
    for (int i = 0; i < STEP_SLOTS; i++) dst[a][i] = StepGet(AllWords()[a], i);
}

void DynamicsRestore(const CellDynamics& in) {
  const uint32_t* const src[8] = {in.AccentPercL, in.AccentPercH, in.AccentVoiceL, in.AccentVoiceH,
                                  in.GhostPercL,  in.GhostPercH,  in.GhostVoiceL,  in.GhostVoiceH};
  for (int a = 0; a < 8; a++)
    for (int i = 0; i < STEP_SLOTS; i++) StepSet(AllWords()[a], i, src[a][i]);
}

void DynamicsClear(void) {
  for (int a = 0; a < 8; a++)
    for (int i = 0; i < STEP_SLOTS; i++) StepSet(AllWords()[a], i, 0);
}

/* ---------------------------------------------------------------- cells */

/* The note array of gTbro that holds row r of a part. */
static const uint32_t* NoteArray(int row, bool perc) {
  return perc ? (row < 32 ? gTbro.PercL : gTbro.PercH) : (row < 32 ? gTbro.VoiceL : gTbro.VoiceH);
}

static bool NoteRow(int row) { return row >= 2 && row < 64; }

int CellDynamic(int step, int row, bool perc) {
  if (!NoteRow(row)) return DYN_NORMAL;
  const uint32_t* notes = NoteArray(row, perc);
  const uint32_t bit = 1u << (row & 31);
  if (!(StepGet(notes, step) & bit)) return DYN_NORMAL;
  if (StepGet(DynamicWords(DYN_ACCENT, notes), step) & bit) return DYN_ACCENT;
  if (StepGet(DynamicWords(DYN_GHOST, notes), step) & bit) return DYN_GHOST;
  return DYN_NORMAL;
}

void SetCellDynamic(int step, int row, bool perc, int dyn) {
  if (!NoteRow(row)) return;
  const uint32_t* notes = NoteArray(row, perc);
  const uint32_t bit = 1u << (row & 31);
  uint32_t* accent = DynamicWords(DYN_ACCENT, notes);
  uint32_t* ghost = DynamicWords(DYN_GHOST, notes);
  if (dyn == DYN_ACCENT) StepOr(accent, step, bit);
  else StepAnd(accent, step, ~bit);
  if (dyn == DYN_GHOST) StepOr(ghost, step, bit);
  else StepAnd(ghost, step, ~bit);
}

bool CycleCellDynamic(int step, int row, bool percFirst) {
  if (!NoteRow(row)) return false;
  const bool perc = percFirst ? CellPerc(step, row) != 0 : CellVoice(step, row) == 0;
  if (!(perc ? CellPerc(step, row) : CellVoice(step, row))) return false;
  static const int kNext[3] = {DYN_ACCENT, DYN_GHOST, DYN_NORMAL};
  SetCellDynamic(step, row, perc, kNext[CellDynamic(step, row, perc)]);
  return true;
}

/* ---------------------------------------------------------------- velocity */

enum { ACCENT_BOOST = 30, GHOST_PERCENT = 40 };

int DynamicVelocity(int velocity, int dyn) {
  if (velocity <= 0) return 0;
  if (dyn == DYN_ACCENT) return Clamp127(velocity + ACCENT_BOOST);
  if (dyn == DYN_GHOST) {
    const int v = (velocity * GHOST_PERCENT + 50) / 100;
    return v < 1 ? 1 : v;
  }
  return velocity;
}
