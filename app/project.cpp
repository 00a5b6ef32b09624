/*
** This file contains the File menu's project commands: New, Load (with or without the MIDI
** ports and channels, also for the file named on the command line or dropped on the
** window), Save and Save As, with their save question, dialogs, caption and boxes around
** the reads and writes of files/; and taking the names of a playlist entry that the
** advance hands over (files.h: EntryTake), which a save does together with its copy of the
** file (the record and its chunks). Under a session both saves write the session's project.
*/
#include <cstring>
#include <vector>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"

const char* ReadProjectFile(const char* path, BOOL withMidi, const char** warning) {
  gbLoadMidi = withMidi ? 1 : 0;
  gbFirstFile = 1;
  gbEdit = 1;
  const char* error = TambroFileRead(path, warning);
  gbFirstFile = 0;
  gbEdit = 0;
  gbLoadMidi = 0;
  return error;
}

void FileNew(HWND hwnd) {
  gbSavingMidiFile = 0;
  if (gbNeedSave && AskAboutSave(gszTitleName) == IDCANCEL) return;
  gbNewFile = 1;
  gbFileChanged = 0;
  gszTitleName[0] = '\0';
  SessionKeepNames();
  DoCaption(hwnd, gszTitleName);
  TambroFileClear();
  InvalidateRect(hwnd, NULL, FALSE);
  gbNeedSave = 0;
  /* A session's project file still holds the pattern that was there. */
  if (SessionActive()) MarkChanged();
  EnableEditMenu();
}

void FileLoad(HWND hwnd, BOOL withMidi, const char* path) {
  gbSavingMidiFile = 0;
  if (gbNeedSave && AskAboutSave(gszTitleName) == IDCANCEL) return;
  if (gbCmdLine) {
    path = gszCmdLine;
    gbCmdLine = 0;
  }
  if (path) {
    /* A name too long for gszFileName is not cut: the read below refuses it. */
    StorePath(gszFileName, path);
    TitleOfPath(path, gszTitleName, sizeof gszTitleName);
  } else if (!TambroFileOpenDlg(gszFileName, gszTitleName)) {
    return;
  }
  int wasEdit = gbEdit;
  const char* warning;
  const char* error = ReadProjectFile(gszFileName, withMidi, &warning);
  if (error == NULL) {
    ShowLoadedSettings();
    InvalidateRect(hwnd, NULL, FALSE);
    gbNeedSave = 0;
    EnableEditMenu();
    DoCaption(hwnd, gszTitleName);
    RememberFile(gszFileName);
    if (warning) ErrorMessage(hwnd, warning, gszTitleName);
  } else {
    /* Nothing was loaded, so the mode stays what the Play menu still shows. */
    gbEdit = wasEdit;
    ErrorMessage(hwnd, error, gszTitleName);
    gszTitleName[0] = '\0';
    gszFileName[0] = '\0';
  }
}

/* Save dialogs open (window thread): a playlist entry loaded meanwhile is not taken, the
** name chosen would overwrite its names; the save takes it when it is done. */
static int saveDialogs;

static BOOL SaveDialog(void) {
  saveDialogs++;
  const BOOL chosen = TambroFileSaveDlg(gszFileName, gszTitleName);
  saveDialogs--;
  return chosen;
}

/* Takes the names of a playlist entry the advance loaded, unless a save dialog is open. */
static void TakeEntryNames(HWND hwnd) {
  if (EntryTake(saveDialogs == 0)) DoCaption(hwnd, gszTitleName);
}

void OnEntryLoaded(HWND hwnd) {
  TakeEntryNames(hwnd);
  ShowLoadedSettings();
}

/* A save writes the record as it was when the command came, with the names that fit it: a
** playlist entry loaded by then is taken first, together with that copy. */
void FileSave(HWND hwnd) {
  if (SessionActive()) {
    SessionSave(hwnd, FALSE);
    return;
  }
  std::vector<unsigned char> file;
  int changed;
  if (EntryTake(true, &file, &changed)) DoCaption(hwnd, gszTitleName);
  gbNewFile = 0;
  if (gszTitleName[0] == '\0') {
    if (!SaveDialog()) {
      TakeEntryNames(hwnd);
      return;
    }
    gbNewFile = 1;
  }
  if (gszFileName[0] != '\0' && changed) SaveBackup(gszFileName);
  const char* error = TambroFileWrite(gszFileName, file);
  if (error == NULL) {
    gbNeedSave = 0;
    DoCaption(hwnd, gszTitleName);
    RememberFile(gszFileName);
  } else {
    ErrorMessage(hwnd, error, gszTitleName);
    gszTitleName[0] = '\0';
  }
  TakeEntryNames(hwnd);
}

BOOL FileSaveAs(HWND hwnd) {
  if (SessionActive()) return SessionSave(hwnd, FALSE);   /* the save question's Yes */
  std::vector<unsigned char> file;
  if (EntryTake(true, &file)) DoCaption(hwnd, gszTitleName);
  BOOL saved = FALSE;
  if (SaveDialog()) {
    if (gszFileName[0] != '\0' && !gbNewFile) SaveBackup(gszFileName);
    const char* error = TambroFileWrite(gszFileName, file);
    if (error == NULL) {
      gbNeedSave = 0;
      DoCaption(hwnd, gszTitleName);
      RememberFile(gszFileName);
      saved = TRUE;
    } else {
      ErrorMessage(hwnd, error, gszTitleName);
      gszTitleName[0] = '\0';
    }
  }
  TakeEntryNames(hwnd);
  return saved;
}
