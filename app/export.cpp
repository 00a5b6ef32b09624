/*
** This file contains the four export commands of the File menu: the current pattern or the
** open playlist as a Standard MIDI File of format 0 or 1. Each proposes a name, asks for the
** file with the MIDI save dialog, has midifile/ assemble and write it, and shows what
** happened in one box.
*/
#include <cstring>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

/* The box of an export: the size report captioned with the file's path, a failed write
** captioned "", or the error box of the entry that could not be loaded. */
static void ShowExportReport(HWND hwnd, const ExportReport& report) {
  switch (report.outcome) {
    case EXPORT_WRITTEN: ShowBox(hwnd, report.text, gszMidiFileName, MB_ICONEXCLAMATION); break;
    case EXPORT_FILE_FAILED: ShowBox(hwnd, report.text, "", MB_ICONEXCLAMATION); break;
    default: ErrorMessage(hwnd, report.text, report.name); break;
  }
}

/* The proposed MIDI file name: the source path up to its first dot, then the suffix. */
static void ProposeName(const char* source, const char* suffix) {
  size_t n = std::strcspn(source, ".");
  size_t s = std::strlen(suffix);
  if (n + s >= sizeof gszMidiFileName) n = sizeof gszMidiFileName - 1 - s;
  std::memmove(gszMidiFileName, source, n);
  std::memcpy(gszMidiFileName + n, suffix, s + 1);
}

/* A list export loads every entry into gTbro and re-reads the list, which would replace
** the pattern and the list position of a running sequence: it waits until the run stopped. */
static const char szStopBeforeListExport[] = "First stop sequence before change MIDI File of PlayList";

static void ExportList(HWND hwnd, bool format1) {
  if (!gbSequenceOpened) {
    ShowBox(hwnd, gszNoPlaylist, gszAppName, MB_ICONSTOP);
    return;
  }
  if (gbSequenceGoing) {
    ErrorMessage(hwnd, szStopBeforeListExport, gszTitleName);
    return;
  }
  gbSavingMidiFile = 1;
  const char* error = PlayListRead(gszListName);
  if (error) {
    ErrorMessage(hwnd, error, gszTitleName);
    gszTitleName[0] = '\0';
    gbSavingMidiFile = 0;
    return;
  }
  ProposeName(gszListName, format1 ? "_1" : "");
  if (MidiFileSaveDlg(gszMidiFileName, gszTitleName)) {
    if (format1) std::memcpy(gszMidiListName, gszTitleName, sizeof gszMidiListName);
    ShowExportReport(hwnd, format1 ? ConvertList2Midi_Format1() : ConvertList2Midi_GM(gszTitleName));
    ShowLoadedSettings();  /* the entries were loaded into the pattern */
  }
  gbSavingMidiFile = 0;
}

LRESULT OnExportCommand(HWND hwnd, UINT id) {
  switch (id) {
    case IDM_SAVEMIDI_GM:
    case IDM_SAVEMIDI_F1: {
      bool format1 = id == IDM_SAVEMIDI_F1;
      ProposeName(gszFileName, format1 ? "_1" : "");
      if (!MidiFileSaveDlg(gszMidiFileName, gszTitleName)) break;
      ShowExportReport(hwnd, format1 ? ConvertFile2Midi_Format1(gszTitleName) : ConvertFile2Midi_GM(gszTitleName));
      break;
    }
    case IDM_SAVELIST_GM:
    case IDM_SAVELIST_F1:
      ExportList(hwnd, id == IDM_SAVELIST_F1);
      break;
  }
  return 0;
}
