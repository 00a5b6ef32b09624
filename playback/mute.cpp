/*
** This file contains the Mute menu's sound patterns: the phases of sounding and silent bars
** that a bar start of the step clock counts, and the silencing of the percussion or the
** instrument during a silent phase.
*/
#include <atomic>

#include "pattern/pattern.h"
#include "playback/playback.h"

/* ---------------------------------------------------------------- mute and sound patterns */

static Shared<int16_t> gSoundON(0);     /* bars per sounding phase, 0 = permanent sound */
static Shared<int16_t> gSoundOFF(0);    /* bars per silent phase */
Shared<int16_t> gSoundCount;
Shared<int> gbMute;
Shared<int16_t> gbPercMute;
Shared<int16_t> gbInstrMute;

/* SetMuteMode (window thread) and a bar start (timer thread) each change several of the
** values above together; this flag keeps the two apart, so a bar start never counts on a
** half-set mode nor writes a count computed from the old one over the new. Held for a few
** stores only. */
static std::atomic_flag gMuteBusy = ATOMIC_FLAG_INIT;

static void MuteLock(void) {
  while (gMuteBusy.test_and_set(std::memory_order_acquire)) {
  }
}

static void MuteUnlock(void) { gMuteBusy.clear(std::memory_order_release); }

/* gSoundON, gSoundOFF, gbPercMute, gbInstrMute of the Mute entries 0..11. */
static const int16_t gMuteTable[12][4] = {
    {0, 0, 0, 0}, {1, 1, 1, 1}, {2, 1, 1, 1}, {1, 2, 1, 1}, {2, 2, 1, 1}, {4, 2, 1, 1},
    {2, 4, 1, 1}, {4, 4, 1, 1}, {4, 4, 1, 0}, {8, 8, 1, 0}, {4, 4, 0, 1}, {8, 8, 0, 1},
};

void MuteReset(void) {
  gSoundON = 0;
  gSoundOFF = 0;
  gSoundCount = 0;
  gbMute = 0;
  gbPercMute = 0;
  gbInstrMute = 0;
}

void SetMuteMode(void) {
  const int m = gMute;
  static const int16_t kNone[4] = {0, 0, 0, 0};
  const int16_t* row = (m >= 0 && m < 12) ? gMuteTable[m] : kNone;
  MuteLock();
  gbMute = 0;
  gSoundON = row[0];
  gSoundOFF = row[1];
  gbPercMute = row[2];
  gbInstrMute = row[3];
  gSoundCount = row[0];
  MuteUnlock();
}

void MuteBarStart(void) {
  MuteLock();
  const int16_t on = gSoundON;
  if (on != 0) {
    int16_t count = (int16_t)(gSoundCount - 1);
    if (count <= 0) {
      const int mute = !gbMute;
      gbMute = mute;
      count = mute ? gSoundOFF.load() : on;
    }
    gSoundCount = count;
  }
  MuteUnlock();
}
