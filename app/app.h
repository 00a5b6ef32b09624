/*
** The application shell: program entry, the main window and its message dispatch, the
** child controls, the menu bar and its commands, and the shared dialogs, captions and
** prompts. Everything here runs on the window thread, except ErrorMessage and AskYesNoSave,
** which the step clock also calls while it advances a playlist (the platform layer shows
** their boxes on the window thread and the caller waits).
*/
#ifndef TBX_APP_H
#define TBX_APP_H

#include <cstdint>
#include <string>

#include "base/config.h"
#include "platform/win32.h"
#include "resources/ids.h"

/* ---------------------------------------------------------------- messages */

/* The window's own message; the step clock's are in playback/playback.h. */
#define WM_TBX_SAVEAS (WM_USER + 10)    /* sent by AskYesNoSave from the timer thread: run
                                        ** Save As on the window thread; returns 1 if saved */
#define WM_TBX_SESSION (WM_USER + 11)   /* the session manager asks: wParam = TBX_SESSION_* */

/* ---------------------------------------------------------------- window thread globals */

extern HINSTANCE ghInst;            /* the program instance */
extern HWND gHwnd;                  /* the main window; set after CreateWindowExA returns */
#define TBX_CMDLINE 32768          /* the longest command line Windows passes, + 1 */
extern char gszCmdLine[TBX_CMDLINE]; /* command line without double quotes, kept whole */
extern int gbCmdLine;               /* a command-line load is pending */
extern HMENU ghMenu;                /* the menu bar built by CreateTheMenu */
extern HWND gHwndBPMScroll;         /* tempo scroll bar (control id 0) */
extern HWND gHwndTEMPO;             /* tempo read-out (id 2) */
extern HWND gHwndREL;               /* rel.Beat read-out (id 3), written by AdjustBeat */
extern HWND gHwndNOTE;              /* base-note read-out (second id 4) */

extern thread_local char gszBuffer[352]; /* text of the error box, caption and prompts; one per
                                         ** thread, as the step clock shows boxes too */
extern const char gszNoPlaylist[];  /* "first load playlist !": a list command without a list */

/* ---------------------------------------------------------------- entry and window */

int WINAPI WinMain(HINSTANCE hInst, HINSTANCE hPrev, LPSTR szCmdLine, int iCmdShow);
LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

/* WinMain without its message loop: stores the instance and the command line (quotes
** removed), reads the settings file at `settingsPath` (NULL: none, nothing is remembered),
** registers the class and creates, shows and updates the main window. Returns the window
** or NULL when creation failed (no MIDI output). Used by WinMain and tests. */
HWND CreateMainWindow(HINSTANCE hInst, LPCSTR szCmdLine, int iCmdShow, const char* settingsPath = nullptr);

/* Every subsystem's globals back to their program-start values (tests, window creation). */
void ResetAllState(void);
void AppReset(void);
/* The file-dialog records and prompt buffers (AppReset); installs the window seam. */
void PromptsReset(void);

/* Shows on the window what file reads changed (gSettingsReport): check marks, the rel.Beat,
** base-note and tempo read-outs. Window thread; the step clock posts WM_TBX_LOADED. */
void ShowLoadedSettings(void);
/* Shows gNoteOffset + 2 in the base-note read-out. */
void ShowNoteOffset(void);
/* Moves a settings check mark from item base+from to item base+to. */
void MoveMenuCheck(UINT base, int from, int to);
/* Sets the tempo bar and read-out to giTempo (after a load changed the tempo); the read-out
** says "ext" instead while a run waits for the clock or transport it follows. */
void ShowTempo(BOOL redraw);

/* ---------------------------------------------------------------- project files */

void FileNew(HWND hwnd);                      /* command 40001 */
/* Reads a project file as Load does (withMidi: as "Load File incl. MIDI Port+Ch."), with
** every setting a load takes; TambroFileRead's result and warning. Shows nothing. */
const char* ReadProjectFile(const char* path, BOOL withMidi, const char** warning = NULL);
/* Commands 40002 (FALSE) and 40003 (TRUE); with a path the file is loaded without the open
** dialog, as from the command line (the save question still comes first). */
void FileLoad(HWND hwnd, BOOL withMidi, const char* path = NULL);
void FileSave(HWND hwnd);                     /* command 40004 */
BOOL FileSaveAs(HWND hwnd);                   /* command 40005; TRUE when it saved */
/* WM_TBX_LOADED: takes the names of the playlist entry loaded (EntryTake) into the caption
** and shows what its file changed (ShowLoadedSettings). */
void OnEntryLoaded(HWND hwnd);

LRESULT OnExportCommand(HWND hwnd, UINT id);  /* 40006, 40007, 40010, 40011 */

/* ---------------------------------------------------------------- playing */

/* The step length for the tempo and rel.Beat now (RecomputeStepLength), and its factor in
** the rel.Beat read-out. Window thread. */
void AdjustBeat(void);
LRESULT OnPlayCommand(HWND hwnd, UINT id);   /* 40101..40107 */

/* sync.cpp. Sets a sync item and does what it implies: its check mark, the tempo bar
** (disabled while following), the input kept open while stopped to hear a Start, the
** transport watch and the timebase master. Before the window exists it only stores it. */
void SyncChoose(int flag, int on);
/* Shows the sync state on a window whose menu was just built (CreateTheMenu): the tempo
** bar, the transport watch and master, the input opened when following. */
void SyncShow(void);
LRESULT OnSyncCommand(HWND hwnd, UINT id, LPARAM lParam);  /* IDM_SYNC.., IDM_SYNC_NOTICE.. */
LRESULT OnSequenceEnded(HWND hwnd);          /* message 1027 */
LRESULT OnTimerFailed(HWND hwnd);            /* message 1028 */

/* ---------------------------------------------------------------- grid input */

void GridReset(void);               /* the cursor highlight and pointer position (AppReset) */
LRESULT OnMouseMove(HWND hwnd);
/* WM_L/R/MBUTTONDOWN; with MK_SHIFT in wParam a click on a note cycles its dynamic. */
LRESULT OnButtonDown(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnChar(HWND hwnd, WPARAM ch);
void handleKeydown(HWND hwnd, WPARAM key);                     /* VK_LEFT .. VK_DOWN */

/* ---------------------------------------------------------------- menu bar and commands */

HMENU CreateTheMenu(void);
void EnableEditMenu(void);
void EnablePlaylistMenu(void);
/* Takes what changed into the undo history (HistorySync) and grays Undo and Redo when
** there is nothing to undo or redo. After every input, command and report of a change. */
void ShowUndoState(void);
LRESULT OnCommand(HWND hwnd, WPARAM wParam, LPARAM lParam);
/* WM_INITMENU and WM_INITMENUPOPUP: the MIDI-OUT and MIDI-IN menus list the ports there are
** when they open (ListPorts), the MIDI-IN title grayed while there is none. */
LRESULT OnInitMenu(void);
LRESULT OnInitMenuPopup(HMENU popup);

/* Opens the playlist at `path` as "Open PlayList" does after its dialog (NULL: asks with
** the dialog first); the save question comes first in both cases. */
void OpenPlayList(HWND hwnd, const char* path);

/* ---------------------------------------------------------------- MIDI file import */

/* "Import MIDI File...": refused while a sequence plays; the save question, then the file
** (`path`, or the open dialog's choice when NULL) is imported. One pattern comes in
** untitled and changed; longer music is written as parts and a playlist, named in a save
** dialog, and opened. Then the report box. A failure changes nothing. */
void ImportMidi(HWND hwnd, const char* path);

/* ---------------------------------------------------------------- remembered, dropped */

#define RECENT_FILES 8                     /* entries of Recent Files: IDM_RECENT + 0..7 */

/* What the settings file keeps between runs (app/desktop.cpp) and files dropped on the
** window. Window thread. */
void DesktopReset(void);                   /* the Recent Files menu handles (AppReset) */
/* Hands the settings file's soundfont and gain to the built-in synth (output device 0 when
** it is one), and stores the ones in use when the file has none. At creation. */
void ApplySynthSettings(void);
/* The device whose product name the settings file keeps for the output (or input) port,
** else `fallback`; the devices are listed first. At creation. */
int16_t RememberedPort(bool output, int16_t fallback);
void RememberPorts(void);                  /* the names of gMidiOutPort and gMidiInPort */
/* Lists the output (or input) devices again and follows the chosen one by its name (or by
** its name but for the ALSA numbers at its end) to its index now, or keeps it chosen as
** absent (index = the count): goNumDevs/giNumDevs, gMidiOutPort/gMidiInPort and their
** shadows; true when the list or the choice's index changed. PortName: a device's name as
** last listed (""); PortAbsent: the chosen one's while it is absent, else NULL. */
bool ListPorts(bool output);
const char* PortName(bool output, unsigned index);
const char* PortAbsent(bool output);
/* The four sync items' state (Send/Follow MIDI Clock, JACK Transport and its master) from
** the settings file once the window stands; and back into it after a change. */
void RestoreSyncFlags(void);
void RememberSyncFlags(void);
/* "MIDI Export in Beat Time" from the settings file (before the menu is built), and its
** command: the check mark and the settings file follow. */
void RestoreBeatTime(void);
void OnBeatTimeCommand(void);
/* A project file or playlist opened or saved: first in Recent Files (as a full path). */
void RememberFile(const char* path);
/* Appends a separator and the "Recent Files" popup (grayed while empty) to the File menu. */
void AppendRecentMenu(HMENU fileMenu);
void OnRecentCommand(HWND hwnd, UINT id);  /* IDM_RECENT + entry */
void RefreshRecentMenu(void);              /* grayed while empty or under a session */
/* The folder a file dialog last chose (`key`: "folder.project", ...), "" when none; and
** remembering the folder of a chosen path. */
const char* DialogFolder(const char* key);
void RememberDialogFolder(const char* key, const char* path);
/* Makes the folder of `path` the current one, as an open dialog does when it confirms. */
void EnterFolderOf(const char* path);
/* A ".txt" name opens as "Open PlayList", a MIDI file (".mid", ".midi", ".kar", ".rmi") is
** imported as "Import MIDI File...", any other opens as "Load / Play / Edit File". */
void OpenNamedFile(HWND hwnd, const char* path);
LRESULT OnDropFiles(HWND hwnd, HDROP drop);   /* WM_DROPFILES */

/* ---------------------------------------------------------------- the session manager */

/* Under a session manager (app/session.cpp). Window thread, but for SessionActive,
** SessionQuiet and SessionCaptionMark, which any thread may ask. */
/* WinMain's start, before the window: TRUE when NSM_URL names a manager that takes the
** program. A session outlives ResetAllState (the window is made under it). */
BOOL SessionBegin(void);
/* Leaves the session and forgets it (tests). */
void SessionEnd(void);
/* Once the window stands: the menu as a session has it, the first project opened, the
** manager's requests handed to the window (WM_TBX_SESSION) from now on. */
void SessionWindowReady(HWND hwnd);
/* The window could not be made (no MIDI output): the manager's open fails. */
void SessionCreateFailed(void);
int SessionActive(void);                   /* under a session manager */
/* A box's text under a session while no box may be shown (the start, a request of the
** manager, the window hidden): written to stderr, and 1; else 0. Any thread. */
int SessionQuiet(const char* text);
/* " *" after the caption's title while a session's project has unsaved changes, else "". */
const char* SessionCaptionMark(void);
/* The manager is told (and the caption shows) whether there are unsaved changes, when that
** changed since it was last told. After every input, command and report of a change. */
void SessionShowDirty(void);
/* Gives the pattern the project's names again (pattern.tbx in the project's folder) once a
** project is open; what New and the import clear. */
void SessionKeepNames(void);
/* Writes the project (pattern.tbx and settings.conf in the project's folder); `requested`:
** the manager asked, and is answered, with no box. TRUE when saved. */
BOOL SessionSave(HWND hwnd, BOOL requested);
LRESULT OnSessionRequest(HWND hwnd, WPARAM request);   /* WM_TBX_SESSION */
void SessionHideWindow(HWND hwnd);         /* closing the window under a session */
/* The commands a session grays: the project's loads, Save As, Open PlayList, Recent Files. */
BOOL SessionRefuses(UINT id);

/* ---------------------------------------------------------------- dialogs and prompts */

/* Every message box of the program goes through ShowBox (MessageBoxA's arguments and
** result); ErrorMessage formats a file error or refusal into the "Tamborix" box. */
int ShowBox(HWND owner, const char* text, const char* caption, UINT flags);
void ErrorMessage(HWND hwnd, const char* format, const char* name);
/* "Tamborix - title", and what the run waits for while it waits (SyncWaiting). */
void DoCaption(HWND hwnd, const char* title);
/* A run began or ended waiting (SYNC_NOTICE_WAIT): the caption and the tempo read-out. */
void ShowSyncWait(HWND hwnd);
int AskAboutSave(const char* title);   /* IDYES, IDNO or IDCANCEL */
int AskYesNoSave(const char* name);    /* IDYES, IDNO, or IDCANCEL when Yes did not save */
BOOL PlayListOpenDlg(char* file, char* title);
BOOL TambroFileOpenDlg(char* file, char* title);
BOOL TambroFileSaveDlg(char* file, char* title);
BOOL MidiFileSaveDlg(char* file, char* title);
BOOL MidiFileOpenDlg(char* file, char* title);
BOOL PlayListSaveDlg(char* file, char* title);
/* The About box template of the running program (resources/tamborix_res.inc). */
const char* AboutBoxName(void);
INT_PTR CALLBACK AboutProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK OthersDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

#endif
