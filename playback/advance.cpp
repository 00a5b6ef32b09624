/*
** This file contains the playlist advance: the next entry of the list loaded into the
** pattern, on the step clock's thread when a pattern ends (TambroNextFile) and on the
** window thread when a stopped run continues with the next entry (StartNextEntry).
*/
#include "base/seam.h"
#include "files/files.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

/* ---------------------------------------------------------------- playlist advance */

/* Loads the next entry of the list into gTbro. `before` is the offset of gIndex from the
** new LoopStart: 0 when the calling step event plays that step at once, -1 when the first
** step event of a run is still to come. */
/* The entry is read into an image of its own and taken in only while the run is claimed:
** the read may hang on the step clock's thread (a dead network mount), the stop may then give
** the run up, and the late result must change nothing. */
static const char* ReadEntry(const char* name) {
  gbNewFile = 0;
  gbFileChanged = 0;
  TbroFileImage image;
  const char* err = TambroFileFetch(name, &image);
  if (!CallbackClaim()) return err ? err : gszErrorCannotRead;
  ReportCreateError(image);
  if (!err) err = TambroFileTake(image);
  CallbackRelease();
  return err;
}

static int LoadNextEntry(int before) {
  gbFirstFile = 0;
  if (!parseNextFileName()) return 0;
  const char* err = ReadEntry(gszNextTambroFile);
  /* The read may have hung long enough for a stop to give this run up: then nothing of it
  ** may start again, nor show a box, nor play. */
  if (!CallbackClaim()) return 0;
  if (err) {
    SeamError(err, gszNextTambroFile);
    CallbackRelease();
    return 0;
  }
  MidiOutMessage(ghMidiOut, MIDI_PROGRAM, gVoiceCh, gVoice, 0);
  int start, end;
  PlayRange(&start, &end);
  gIndex = start + before;
  gbSequenceGoing = 1;
  gbFirstBeat = 1;
  PostMessageA(ghRunWindow, WM_TBX_LOADED, 0, 0);  /* also from the step clock's thread */
  InvalidateRect(ghRunWindow, nullptr, FALSE);
  CallbackRelease();
  return 1;
}

int TambroNextFile(void) { return LoadNextEntry(0); }

int StartNextEntry(void) { return LoadNextEntry(-1); }
