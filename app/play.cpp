/*
** This file contains the Play menu commands and the run states they drive, and the
** window's handling of a run's end (1027) and of a timer failure (1028).
**
** The Play menu's seven items form one group: the command that succeeds carries the check
** mark and the other six lose theirs.
*/
#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

static const char gszCannotStart[] = "Could not start MIDI Sequence\nMIDI OUT Port not available!";
static const char gszTimerFailed[] = "Cannot set timer for this BPM";

void AdjustBeat(void) {
  RecomputeStepLength();
  SetWindowTextA(gHwndREL, RelBeatLabel());
}

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
  if (!TambroFirstFile(gMidiOutPort, gMidiInPort, 0)) {
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
      TambroFirstFile(gMidiOutPort, gMidiInPort, atEntryEnd ? 2 : 1);
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
