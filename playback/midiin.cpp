/*
** This file contains MIDI input capture: the input callback midiCallback, which echoes a
** note-on to the output and appends it to a 128-entry hand-over buffer, and the drain that
** the half event of the step clock runs to land those notes in the pattern. The callback
** hands the system real-time bytes (the MIDI clock) to midiclock.cpp, and takes no notes
** while the input is open only to hear a clock's Start (no run, no output).
**
** The buffer is single-producer (the MIDI input thread appends) and single-consumer (the
** timer thread takes), without a lock. gMidiInFill is the number of entries available: the
** producer writes its entry at its own position and only then adds one; the consumer reads
** the gMidiInFill entries it sees, starting at its own position, and only then subtracts
** them. Neither can touch a slot the other is using, so an append that overlaps a take is
** neither lost nor taken twice. A full buffer drops further notes (they are still echoed).
**
** An entry is a note number 0..127, with bit 7 set when it came on the percussion channel.
*/
#include <atomic>

#include "pattern/pattern.h"
#include "playback/playback.h"
#include "view/view.h"

#define MIDIIN_SLOTS 128  /* entries of gMidiInBuf; a power of two (positions wrap by mask) */

static Shared<uint8_t> gMidiInBuf[MIDIIN_SLOTS];  /* note | 0x80 for percussion; MIDI thread writes */
Shared<int32_t> gMidiInFill;

static std::atomic<uint32_t> gMidiInHead{0};  /* next slot to write (MIDI thread), mod 128 */
static std::atomic<uint32_t> gMidiInTail{0};  /* oldest slot not taken (timer thread), mod 128 */

/* Only called while no input device is open, so neither side is running. */
void MidiInReset(void) {
  gMidiInHead = 0;
  gMidiInTail = 0;
  gMidiInFill = 0;
}

static void MidiInAppend(uint8_t entry) {
  if (gMidiInFill >= MIDIIN_SLOTS) return;  /* full: this note is not recorded */
  uint32_t head = gMidiInHead.load(std::memory_order_relaxed);
  gMidiInBuf[head & (MIDIIN_SLOTS - 1)] = entry;
  gMidiInHead.store(head + 1, std::memory_order_relaxed);
  ++gMidiInFill;  /* publishes the entry */
}

void CALLBACK midiCallback(HMIDIIN, UINT wMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
  if (wMsg != MIM_DATA) return;
  DWORD msg = (DWORD)dwParam1;
  const int status = msg & 0xFF;
  if (status >= MIDI_CLOCK) {   /* system real-time: the clock of the gear followed */
    ClockInMessage(status, (DWORD)dwParam2);
    return;
  }
  const int note = (msg >> 8) & 0x7F;
  const int velocity = (msg >> 16) & 0xFF;
  if (velocity == 0 || SyncListening()) return;

  const int percCh = gPercCh, voiceCh = gVoiceCh;
  uint8_t entry;
  if (status == (MIDI_NOTE_ON | (percCh & 0x0F))) entry = (uint8_t)(note | 0x80);
  else if (status == (MIDI_NOTE_ON | (voiceCh & 0x0F))) entry = (uint8_t)note;
  else return;
  MidiInAppend(entry);

  /* A soft touch is echoed at 40 at least, so the player hears it over the pattern. */
  if (velocity <= 39) msg = (msg & ~0x00FF0000u) | (40u << 16);
  NoteTrack(msg);
  midiOutShortMsg(ghMidiOut, msg);
}

int MidiInTargetStep(void) {
  int start, end;
  PlayRange(&start, &end);
  int idx = gIndex;
  if (idx < 0) return start;
  return idx % end;
}

/* Sets (or, in undo mode, toggles) one captured note at `step`, adding the bits it changed to
** *flips; returns its row, or -1 for a note outside rows 2..48. */
static int LandEntry(int step, uint8_t entry, StepFlips* flips) {
  int row, k;
  uint32_t *low, *high;
  if (entry & 0x80) {
    row = (entry & 0x7F) - PERC_NOTE_BASE;  /* the row whose GM drum note was played */
    low = gTbro.PercL;
    high = gTbro.PercH;
    k = 0;
  } else {
    row = (uint8_t)(entry - gNoteOffset);  /* 8-bit: notes below the base give large rows */
    low = gTbro.VoiceL;
    high = gTbro.VoiceH;
    k = 2;
  }
  if (row < 2 || row > 48) return -1;
  uint32_t* words = row < 32 ? low : high;
  const uint32_t bit = 1u << (row & 31);
  if (row >= 32) k++;
  if (gbMidiUndo) {
    StepXor(words, step, bit);
    flips->bits[k] ^= bit;
  } else {
    flips->bits[k] |= bit & ~StepOr(words, step, bit);
  }
  return row;
}

int MidiInTake(uint8_t* out) {
  const int32_t n = gMidiInFill;
  if (n <= 0) return 0;
  const uint32_t tail = gMidiInTail.load(std::memory_order_relaxed);
  for (int32_t i = 0; i < n; ++i)  /* newest first */
    out[i] = gMidiInBuf[(tail + (uint32_t)(n - 1 - i)) & (MIDIIN_SLOTS - 1)];
  gMidiInTail.store(tail + (uint32_t)n, std::memory_order_relaxed);
  gMidiInFill -= n;  /* frees the slots for the producer */
  return n;
}

/* The notes of one half event land in one write section and are one step of the undo
** history; the cells are painted after the section, since painting from this thread waits
** for the window thread. */
void MidiInDrain(void) {
  uint8_t entries[MIDIIN_SLOTS];
  int rows[MIDIIN_SLOTS];
  const int n = MidiInTake(entries);
  if (n == 0) return;
  const int step = MidiInTargetStep();
  StepFlips flips = {(int16_t)step, {0, 0, 0, 0}};
  PatternWriteBegin();
  for (int i = 0; i < n; ++i) rows[i] = LandEntry(step, entries[i], &flips);
  const bool recorded = (flips.bits[0] | flips.bits[1] | flips.bits[2] | flips.bits[3]) != 0;
  PatternWriteEnd(recorded ? &flips : nullptr);
  MarkChanged();
  if (recorded) PostMessageA(ghRunWindow, WM_TBX_RECORDED, 0, 0);

  HDC hdc = GetDC(ghRunWindow);
  for (int i = 0; i < n; ++i) {
    const int row = rows[i];
    if (row < 0) continue;
    if (row < 32) DrawRectangle(hdc, step, row, gTbro.PercL, gTbro.VoiceL, 0);
    else DrawRectangle(hdc, step, row, gTbro.PercH, gTbro.VoiceH, 0);
  }
  ReleaseDC(ghRunWindow, hdc);
}
