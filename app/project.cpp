/*
** This file contains the File menu's project commands: New, Load (with or without the MIDI
** ports and channels, also for the file named on the command line or dropped on the
** window), Save and Save As, with their save question, dialogs, caption and boxes around
** the reads and writes of files/.
*/
#include <cstring>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"

void FileNew(HWND hwnd) {
  gbSavingMidiFile = 0;
  if (gbNeedSave && AskAboutSave(gszTitleName) == IDCANCEL) return;
  gbNewFile = 1;
  gbFileChanged = 0;
  gszTitleName[0] = '\0';
  DoCaption(hwnd, gszTitleName);
  PatternClear();
  InvalidateRect(hwnd, NULL, FALSE);
  gbNeedSave = 0;
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
  gbLoadMidi = withMidi ? 1 : 0;
  gbFirstFile = 1;
  gbEdit = 1;
  const char* error = TambroFileRead(gszFileName);
  gbFirstFile = 0;
  gbEdit = 0;
  gbLoadMidi = 0;
  if (error == NULL) {
    ShowLoadedSettings();
    InvalidateRect(hwnd, NULL, FALSE);
    gbNeedSave = 0;
    EnableEditMenu();
    DoCaption(hwnd, gszTitleName);
    RememberFile(gszFileName);
  } else {
    /* Nothing was loaded, so the mode stays what the Play menu still shows. */
    gbEdit = wasEdit;
    ErrorMessage(hwnd, error, gszTitleName);
    gszTitleName[0] = '\0';
    gszFileName[0] = '\0';
  }
}

void FileSave(HWND hwnd) {
  gbNewFile = 0;
  if (gszTitleName[0] == '\0') {
    if (!TambroFileSaveDlg(gszFileName, gszTitleName)) return;
    gbNewFile = 1;
  }
  if (gszFileName[0] != '\0' && gbFileChanged) SaveBackup(gszFileName);
  const char* error = TambroFileWrite(gszFileName);
  if (error == NULL) {
    gbNeedSave = 0;
    DoCaption(hwnd, gszTitleName);
    RememberFile(gszFileName);
  } else {
    ErrorMessage(hwnd, error, gszTitleName);
    gszTitleName[0] = '\0';
  }
}

BOOL FileSaveAs(HWND hwnd) {
  if (!TambroFileSaveDlg(gszFileName, gszTitleName)) return FALSE;
  if (gszFileName[0] != '\0' && !gbNewFile) SaveBackup(gszFileName);
  const char* error = TambroFileWrite(gszFileName);
  if (error == NULL) {
    gbNeedSave = 0;
    DoCaption(hwnd, gszTitleName);
    RememberFile(gszFileName);
    return TRUE;
  }
  ErrorMessage(hwnd, error, gszTitleName);
  gszTitleName[0] = '\0';
  return FALSE;
}
