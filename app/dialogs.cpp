/*
** This file contains the small pieces of user interface the commands share: the error box,
** the window caption, the two save prompts, the six file dialogs, and the procedures of
** the About box and of the instrument-number dialog ("Others"). Every box is modal, owned
** by the main window and captioned "Tamborix".
**
** They are also what the window seam (base/seam.h) gives the code below app/: the step
** clock's thread reaches the error box, the caption and the save question through it while
** a playlist advances; the platform shows their boxes on the window thread. The Save As
** that a Yes runs is sent to the window (WM_TBX_SAVEAS), so it always runs on the window
** thread, with the caller waiting for its result.
*/
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/app.h"
#include "base/seam.h"
#include "files/files.h"
#include "pattern/pattern.h"

/* ---------------------------------------------------------------- variables */

/* The step clock formats its boxes and captions while the window thread may be formatting
** its own: each thread has its buffer, so neither overwrites the other's text. */
thread_local char gszBuffer[352];
static char gszInstrumentNum[32];  /* text of the instrument-number edit field */
static const char gszUntitled[] = "(Untitled)";
const char gszNoPlaylist[] = "first load playlist !";

static OPENFILENAMEA ofnList;      /* record of the playlist open dialog */
static OPENFILENAMEA ofnTambro;    /* record shared by the project and MIDI dialogs */

/* ---------------------------------------------------------------- the window seam */

static int SeamShowBox(const char* text, const char* caption, unsigned flags) {
  return ShowBox(gHwnd, text, caption, flags);
}
static void SeamErrorBox(const char* format, const char* name) { ErrorMessage(gHwnd, format, name); }
/* A system error's box is captioned with the command line. */
static void SeamSystemBox(const char* text) { ShowBox(gHwnd, text, gszCmdLine, MB_ICONEXCLAMATION); }
static void SeamSetCaption(const char* title) { DoCaption(gHwnd, title); }

static const WindowSeam kWindowSeam = {SeamShowBox, SeamErrorBox, SeamSystemBox, AskYesNoSave, SeamSetCaption};

void PromptsReset(void) {
  SeamInstall(&kWindowSeam);
  gszBuffer[0] = '\0';
  gszInstrumentNum[0] = '\0';
  memset(&ofnList, 0, sizeof ofnList);
  memset(&ofnTambro, 0, sizeof ofnTambro);
}

/* ---------------------------------------------------------------- formatting */

/* Writes `format` into `out` with every "%s" replaced by `name` and "%%" by "%"; any other
** conversion is copied as it stands. The formats come from several subsystems (file
** errors, refusals); none of them may make the box read an argument that is not there.
** The result is cut to fit `size`. */
static void FormatName(char* out, size_t size, const char* format, const char* name) {
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 < size) out[n++] = c;
  };
  for (const char* p = format ? format : ""; *p; p++) {
    if (p[0] == '%' && p[1] == 's') {
      for (const char* q = name; *q; q++) put(*q);
      p++;
    } else if (p[0] == '%' && p[1] == '%') {
      put('%');
      p++;
    } else {
      put(*p);
    }
  }
  out[n] = '\0';
}

static const char* TitleOrUntitled(const char* title) {
  return (title == nullptr || title[0] == '\0') ? gszUntitled : title;
}

/* ---------------------------------------------------------------- boxes and caption */

int ShowBox(HWND owner, const char* text, const char* caption, UINT flags) {
  return MessageBoxA(owner, text, caption, flags);
}

void ErrorMessage(HWND hwnd, const char* format, const char* name) {
  FormatName(gszBuffer, sizeof gszBuffer, format, TitleOrUntitled(name));
  MessageBeep(MB_ICONEXCLAMATION);
  ShowBox(hwnd, gszBuffer, gszAppName, MB_ICONEXCLAMATION | MB_OK);
}

void DoCaption(HWND hwnd, const char* title) {
  FormatName(gszBuffer, sizeof gszBuffer, "Tamborix - %s", TitleOrUntitled(title));
  SetWindowTextA(hwnd, gszBuffer);
}

/* Runs Save As on the window thread (directly when called there); true when it saved. */
static bool SaveAsOnWindowThread(void) {
  return SendMessageA(gHwnd, WM_TBX_SAVEAS, 0, 0) != 0;
}

/* Shows the save question with the given buttons; a Yes whose Save As did not save
** becomes Cancel. */
static int AskSave(const char* name, UINT buttons) {
  FormatName(gszBuffer, sizeof gszBuffer, "Save changes of %s ?", TitleOrUntitled(name));
  int answer = ShowBox(gHwnd, gszBuffer, gszAppName, buttons | MB_ICONQUESTION);
  if (answer == IDYES && !SaveAsOnWindowThread()) answer = IDCANCEL;
  return answer;
}

int AskAboutSave(const char* title) {
  int answer = AskSave(title, MB_YESNOCANCEL);
  /* A cancelled prompt, or a Yes whose save did not happen, leaves the changes unsaved:
  ** the flag stays so that the next New, Open or close asks again. */
  if (answer != IDCANCEL) gbNeedSave = 0;
  return answer;
}

int AskYesNoSave(const char* name) {
  int answer = AskSave(name, MB_YESNO);
  /* The playlist moves on whatever the answer: the pattern asked about is being left. */
  gbNeedSave = 0;
  return answer;
}

/* ---------------------------------------------------------------- file dialogs */

static void FillRecord(OPENFILENAMEA* ofn, const char* filter, char* file, char* title,
                       DWORD flags, const char* defExt) {
  memset(ofn, 0, sizeof *ofn);
  ofn->lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  ofn->hwndOwner = gHwnd;
  ofn->lpstrFilter = filter;
  ofn->lpstrFile = file;
  ofn->nMaxFile = TBX_PATH;
  ofn->lpstrFileTitle = title;
  ofn->nMaxFileTitle = TBX_PATH;
  ofn->Flags = flags;
  ofn->lpstrDefExt = defExt;
}

/* Filters: description and pattern pairs, each ended by a zero, the list by a second. */
static const char szListFilter[] = "Text Files (*.TXT)\0*.txt\0All Files (*.*)\0*.*\0";
static const char szTambroFilter[] = "Tamborix Files (*.TBX)\0*.tbx\0All Files (*.*)\0*.*\0";
static const char szMidiFilter[] = "MIDI Files (*.MID)\0*.mid\0";
static const char szMidiOpenFilter[] = "MIDI Files (*.MID)\0*.mid;*.midi;*.kar;*.rmi\0All Files (*.*)\0*.*\0";

/* Runs a file dialog on buffers of its own, far larger than the caller's, and takes the
** chosen name back only when it fits the caller's buffers: a longer name is never cut to
** the name of some other file, it is refused with the message of a file that cannot be
** opened or written (`tooLong`), naming its title. A cancelled or refused dialog leaves the
** caller's buffers as they were. An open dialog asks before naming a file that does not
** exist, a save dialog before replacing one. The dialog starts in the folder it chose last
** time (remembered under `folderKey`) unless the file buffer names a folder itself. */
static BOOL FileDlg(OPENFILENAMEA* ofn, bool save, const char* filter, const char* defExt, char* file,
                    char* title, const char* folderKey) {
  FillRecord(ofn, filter, file, title, save ? OFN_OVERWRITEPROMPT : OFN_CREATEPROMPT, defExt);
  const std::string folder = DialogFolder(folderKey);
  if (!folder.empty()) ofn->lpstrInitialDir = folder.c_str();
  enum { DIALOG_PATH = 32768 }; /* the longest path a Windows dialog returns */
  std::vector<char> chosenFile(DIALOG_PATH), chosenTitle(DIALOG_PATH);
  strncpy(chosenFile.data(), file, TBX_PATH - 1);
  ofn->lpstrFile = chosenFile.data();
  ofn->nMaxFile = DIALOG_PATH;
  ofn->lpstrFileTitle = chosenTitle.data();
  ofn->nMaxFileTitle = DIALOG_PATH;
  BOOL ok = save ? GetSaveFileNameA(ofn) : GetOpenFileNameA(ofn);
  ofn->lpstrFile = file;
  ofn->nMaxFile = TBX_PATH;
  ofn->lpstrFileTitle = title;
  ofn->nMaxFileTitle = TBX_PATH;
  ofn->lpstrInitialDir = nullptr;
  if (!ok) return FALSE;
  if (strlen(chosenFile.data()) >= TBX_PATH) {
    ErrorMessage(gHwnd, save ? gszErrorCannotWrite : gszErrorNotFound, chosenTitle.data());
    return FALSE;
  }
  memcpy(file, chosenFile.data(), TBX_PATH);
  memcpy(title, chosenTitle.data(), TBX_PATH);
  RememberDialogFolder(folderKey, file);
  return TRUE;
}

BOOL PlayListOpenDlg(char* file, char* title) {
  return FileDlg(&ofnList, false, szListFilter, "txt", file, title, "folder.playlist");
}
BOOL TambroFileOpenDlg(char* file, char* title) {
  return FileDlg(&ofnTambro, false, szTambroFilter, "tbx", file, title, "folder.project");
}
BOOL TambroFileSaveDlg(char* file, char* title) {
  return FileDlg(&ofnTambro, true, szTambroFilter, "tbx", file, title, "folder.project");
}
BOOL MidiFileSaveDlg(char* file, char* title) {
  return FileDlg(&ofnTambro, true, szMidiFilter, "mid", file, title, "folder.midi");
}
BOOL MidiFileOpenDlg(char* file, char* title) {
  return FileDlg(&ofnTambro, false, szMidiOpenFilter, "mid", file, title, "folder.midi");
}
BOOL PlayListSaveDlg(char* file, char* title) {
  return FileDlg(&ofnList, true, szListFilter, "txt", file, title, "folder.playlist");
}

/* ---------------------------------------------------------------- dialog procedures */

/* Only OK closes the About box; Escape (IDCANCEL) is left to the system, which ignores it. */
const char* AboutBoxName(void) {
  switch (STEP_COUNT) {
    case 128: return "AboutBox128";
    case 96: return "AboutBox96";
    case 72: return "AboutBox72";
    default: return "AboutBox";
  }
}

INT_PTR CALLBACK AboutProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        EndDialog(hDlg, TRUE);
        return TRUE;
      }
      break;
  }
  return FALSE;
}

/* Decimal value of the text: leading blanks skipped, an optional sign, then digits up to
** the first non-digit; no digits give 0. Large numbers saturate instead of overflowing. */
static long ParseDecimal(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t') p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long value = 0;
  for (; *p >= '0' && *p <= '9'; p++)
    if (value < 100000) value = value * 10 + (*p - '0');
  return negative ? -value : value;
}

/* The instrument-number dialog: the 1-based General MIDI program 1..128. */
INT_PTR CALLBACK OthersDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG: {
      char sz[16];
      snprintf(sz, sizeof sz, "%d", gVoice + 1);
      SetDlgItemTextA(hDlg, IDC_INSTRUMENT_NUM, sz);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: {
          gszInstrumentNum[0] = '\0';
          GetDlgItemTextA(hDlg, IDC_INSTRUMENT_NUM, gszInstrumentNum, sizeof gszInstrumentNum);
          gszInstrumentNum[sizeof gszInstrumentNum - 1] = '\0';
          long number = ParseDecimal(gszInstrumentNum);
          if (number >= 1 && number <= 128) {
            gVoice = (int16_t)(number - 1);
            EndDialog(hDlg, TRUE);
          } else {
            ShowBox(gHwnd, "invalid selection!", gszAppName, MB_ICONEXCLAMATION);
          }
          return TRUE;
        }
        case IDCANCEL:
          gVoiceChecked = gOldVoiceChecked.load();
          EndDialog(hDlg, FALSE);
          return TRUE;
      }
      break;
  }
  return FALSE;
}
