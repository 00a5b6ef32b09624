/*
** This file contains the window's side of a MIDI file import ("Import MIDI File..." and a
** MIDI file dropped on the window): the refusal while a sequence plays, the save question,
** the open dialog, taking one imported pattern into the window (untitled and changed, so
** nothing is overwritten without a Save As), or, for music longer than a pattern, the save
** dialog for its playlist, the parts written beside it and the playlist opened; then the
** report box. The import itself (midifile/import.cpp) changes nothing until it succeeded.
*/
#include <cstring>
#include <string>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

/* An import replaces the pattern and its channels, which a running sequence plays. */
static const char szStopBeforeImport[] = "First stop sequence before change pattern by MIDI File import";

/* What the file does not say stays as the window has it. */
static void CurrentSettings(TbroRecord* record) {
  std::memset(record, 0, sizeof *record);
  for (const Setting& s : gSettings)
    if (s.field) record->*s.field = s.value;
  record->Accent = HeaderGet(gTbro.Accent);
}

/* The imported pattern is taken in as a file read by "Load File incl. MIDI Port+Ch." is,
** then becomes an untitled, changed pattern in edit mode. */
static void TakeImportedPattern(HWND hwnd, const TbroRecord& record) {
  TbroFileImage image;
  image.record = record;
  image.size = TBRO_SIZE;
  image.ok = TRUE;
  image.opened = TRUE;
  image.createError = 0;
  gbEdit = 1;
  gbFirstFile = 1;
  gbLoadMidi = 1;
  TambroFileTake(image); /* a complete record: taken */
  gbFirstFile = 0;
  gbLoadMidi = 0;
  ShowLoadedSettings();
  gszFileName[0] = '\0';
  gszTitleName[0] = '\0';
  gbNewFile = 1;
  MarkChanged();
  EnableEditMenu();
  DoCaption(hwnd, gszTitleName);
  InvalidateRect(hwnd, nullptr, FALSE);
}

/* A name without its extension (the last dot of its last component). */
static std::string WithoutExtension(const char* path) {
  std::string name(path);
  const size_t slash = name.find_last_of("/\\"), dot = name.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.resize(dot);
  return name;
}

/* Asks where the playlist goes (proposing the MIDI file's name), writes the parts and the
** playlist and opens it; false when cancelled or not written. */
static bool SaveImportedMusic(HWND hwnd, const char* midiPath, const MidiImport& result) {
  char list[TBX_PATH], title[TBX_PATH] = "";
  StorePath(list, (WithoutExtension(midiPath) + ".txt").c_str());
  if (!PlayListSaveDlg(list, title)) return false;
  const std::string base = WithoutExtension(list);
  std::string failed;
  if (const char* error = WriteImportedMusic(result, base, &failed)) {
    char name[TBX_PATH];
    TitleOfPath(failed.c_str(), name, sizeof name);
    ErrorMessage(hwnd, error, name);
    return false;
  }
  OpenPlayList(hwnd, (base + ".txt").c_str());
  /* A playlist does not carry channels: the instrument keeps the file's. */
  const int16_t channel = result.parts[0].VoiceCh;
  if (channel != gVoiceCh) OnCommand(hwnd, IDM_VOICECH + channel, 0);
  return true;
}

void ImportMidi(HWND hwnd, const char* path) {
  if (gbSequenceGoing) {
    ErrorMessage(hwnd, szStopBeforeImport, gszTitleName);
    return;
  }
  gbSavingMidiFile = 0;
  if (gbNeedSave && AskAboutSave(gszTitleName) == IDCANCEL) return;
  char file[TBX_PATH] = "", title[TBX_PATH] = "";
  if (path) {
    StorePath(file, path); /* a name too long is not cut to another file's: the read refuses it */
    TitleOfPath(path, title, sizeof title);
  } else if (!MidiFileOpenDlg(file, title)) {
    return;
  }
  ImportOptions options;
  options.percChannel = gPercCh;
  CurrentSettings(&options.defaults);
  MidiImport result;
  if (const char* error = ImportMidiFile(file, options, &result)) {
    ErrorMessage(hwnd, error, title);
    return;
  }
  if (result.order.size() == 1) TakeImportedPattern(hwnd, result.parts[0]);
  else if (!SaveImportedMusic(hwnd, file, result)) return;
  ShowBox(hwnd, ImportReport(result, "\n").c_str(), title, MB_ICONINFORMATION | MB_OK);
}
