/*
** This file contains the Play menu commands and the run states they drive, the window's
** handling of a run's end (1027) and of a timer failure (1028), the playlist advance
** (TambroNextFile on the timer thread, the next-entry start on the window thread), and the
** Mute menu with its bar counting.
**
** The Play menu's seven items form one group: the command that succeeds carries the check
** mark and the other six lose theirs.
*/
#include <atomic>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

static const char gszCannotStart[] = "Could not start MIDI Sequence\nMIDI OUT Port not available!";
static const char gszTimerFailed[] = "Cannot set timer for this BPM";

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

/* ---------------------------------------------------------------- playlist advance */

/* Loads the next entry of the list into gTbro. `before` is the offset of gIndex from the
** new LoopStart: 0 when the calling step event plays that step at once, -1 when the first
** step event of a run is still to come. */
static int LoadNextEntry(HWND owner, int before) {
  gbFirstFile = 0;
  if (!NextListEntry()) return 0;
  const char* err = EntryRead(gszNextTambroFile);
  /* The read may have hung long enough for a stop to give this run up: then nothing of it
  ** may start again, nor show a box, nor play. */
  if (!CallbackClaim()) return 0;
  if (err) {
    ErrorMessage(owner, err, gszNextTambroFile);
    CallbackRelease();
    return 0;
  }
  MidiOutMessage(ghMidiOut, MIDI_PROGRAM, gVoiceCh, gVoice, 0);
  int start, end;
  PlayRange(&start, &end);
  gIndex = start + before;
  gbSequenceGoing = 1;
  gbFirstBeat = 1;
  PostMessageA(gHwnd, WM_TBX_LOADED, 0, 0);  /* the window takes the names (EntryTake) */
  InvalidateRect(gHwnd, nullptr, FALSE);
  CallbackRelease();
  return 1;
}

int TambroNextFile(void) { return LoadNextEntry(gHwnd, 0); }

int StartNextEntry(HWND hwnd) { return LoadNextEntry(hwnd, -1); }

/* ---------------------------------------------------------------- the Play menu */

static void CheckPlayItem(UINT id) {
  for (UINT item = IDM_PLAYALL; item <= IDM_CONTINUE; ++item)
    CheckMenuItem(ghMenu, item, MF_BYCOMMAND | (item == id ? MF_CHECKED : MF_UNCHECKED));
}

/* Play All after the first: the list is read again and its first entry loaded. A run that
** is still going is stopped first, so its clock is not parsing the list text that the read
** replaces, nor playing the pattern that the load replaces. */
static void ReloadPlaylist(HWND hwnd) {
  TambroEndSequence();
  const char* err = PlayListRead(gszListName);
  if (err) {
    ErrorMessage(hwnd, err, gszTitleName);
    gszTitleName[0] = 0;
    return;
  }
  gbFirstFile = 0;
  err = TambroFileRead(gszNextTambroFile);
  if (err) {
    ErrorMessage(hwnd, err, gszNextTambroFile);
    gszTitleName[0] = 0;
    return;
  }
  ShowLoadedSettings();
  InvalidateRect(hwnd, nullptr, FALSE);
}

static LRESULT StartPlay(HWND hwnd, UINT id) {
  gbSavingMidiFile = 0;
  gbMidiUndo = id == IDM_LOOPUNDO;
  const bool loop = id == IDM_LOOP || id == IDM_LOOPUNDO;
  if (!gbSequenceOpened && !(loop && gbEdit)) {
    ShowBox(hwnd, gszNoPlaylist, gszAppName, MB_OK | MB_ICONSTOP);
    return 0;
  }
  if (id == IDM_PLAYALL && gbNeedReload) ReloadPlaylist(hwnd);

  /* The mode is in force before the clock runs; a failed start puts it back. */
  const int oldLooping = gbLooping;
  gbLooping = loop ? 1 : 0;
  if (!TambroFirstFile(hwnd, gMidiOutPort, gMidiInPort, 0)) {
    gbLooping = oldLooping;
    ErrorMessage(hwnd, gszCannotStart, gszTitleName);
    return 0;
  }
  CheckPlayItem(id);
  if (id == IDM_PLAYALL) gbNeedReload = 1;
  gbStopAtEnd = 0;
  return 0;
}

LRESULT OnPlayCommand(HWND hwnd, UINT id) {
  switch (id) {
    case IDM_PLAYALL:
    case IDM_PLAYFROM:
    case IDM_LOOP:
    case IDM_LOOPUNDO:
      return StartPlay(hwnd, id);
    case IDM_STOP:
      TambroEndSequence();
      CheckPlayItem(IDM_STOP);
      gbStopAtEnd = 0;
      return 0;
    case IDM_STOPATEND:
      CheckPlayItem(IDM_STOPATEND);
      gbStopAtEnd = 1;
      return 0;
    case IDM_CONTINUE: {
      if (gbSequenceGoing) return 0;
      CheckPlayItem(IDM_CONTINUE);
      int start, end;
      PlayRange(&start, &end);
      const int atEntryEnd = gIndex == start && !gbFirstBeat && !gbLooping;
      TambroFirstFile(hwnd, gMidiOutPort, gMidiInPort, atEntryEnd ? 2 : 1);
      return 0;
    }
    default:
      return 0;
  }
}

/* The run has ended (1027) or its clock has died (1028): stop it, and the Stop item takes
** the mark from Play All, Stop at Loop End and Continue. */
static void StopAndMark(void) {
  TambroEndSequence();
  CheckMenuItem(ghMenu, IDM_PLAYALL, MF_BYCOMMAND | MF_UNCHECKED);
  CheckMenuItem(ghMenu, IDM_STOPATEND, MF_BYCOMMAND | MF_UNCHECKED);
  CheckMenuItem(ghMenu, IDM_CONTINUE, MF_BYCOMMAND | MF_UNCHECKED);
  CheckMenuItem(ghMenu, IDM_STOP, MF_BYCOMMAND | MF_CHECKED);
}

LRESULT OnSequenceEnded(HWND) {
  if (!RunEndIsStale()) StopAndMark();  /* a stale end must not stop a newer run */
  return 0;
}

LRESULT OnTimerFailed(HWND hwnd) {
  if (RunEndIsStale()) return 0;
  ErrorMessage(hwnd, gszTimerFailed, gszTitleName);
  StopAndMark();
  return 0;
}
