/*
** This file contains what the program does under a session manager (NSM): the requests of
** the manager as the window sees them (platform/session.h carries the messages).
**
** A project is a folder, the path the manager names, holding two files of fixed names (so
** a folder moved by hand to another client still opens):
**   pattern.tbx     the pattern, a project file as any other
**   settings.conf   this session's settings file (files/prefs.h): the MIDI ports by name,
**                   the sync items, the synth's soundfont and gain, "gui.visible" (1 while
**                   the window is shown) and whatever else the program remembers
** Under a session the user's own settings file is neither read nor written; the session's
** is written only by a save, as the pattern is (its changes are held until then).
**
** What changes under a session: the manager's open, save, show and hide; the File menu's
** loads, Save As, Open PlayList and Recent Files are grayed (the project is the session's);
** Save writes into the folder; closing the window hides it; the caption marks unsaved
** changes with " *" and the manager is told when they appear and when they are saved; no
** box is shown while the program starts or answers the manager, nor while the window is
** hidden (their texts go to stderr). SIGTERM ends the program
** at once, without a question and without saving. Without NSM_URL none of it happens.
**
** Window thread, except DoCaption's question SessionCaptionMark and ShowBox's SessionQuiet,
** which the step clock asks too.
*/
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "files/files.h"
#include "files/prefs.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

#define SESSION_CAPABILITIES ":switch:dirty:optional-gui:"
#define SESSION_PATTERN "pattern.tbx"
#define SESSION_SETTINGS "settings.conf"
#define SESSION_VISIBLE_KEY "gui.visible"

static const char kOpenPath[] = "/nsm/client/open";
static const char kSavePath[] = "/nsm/client/save";

static std::atomic<int> gbSession{0};   /* under a session manager; set once, before the window */
static std::string gSessionDir;         /* the project's folder, "" before the first open */
/* Boxes go to stderr instead while the program starts or answers a request, and while the
** window is hidden: nothing is mapped then, and its user may not see the screen at all.
** Window thread writes; a box from the step clock's thread reads them. */
static std::atomic<int> gbQuiet{0};
static std::atomic<int> gbShown{0};     /* the window is mapped */
static int gbSentDirty;                 /* what the manager was last told: 1 dirty, 0 clean */
static TBXSESSIONOPEN gFirstOpen;       /* the open that came with the announce's answer */
static int gbFirstOpen;                 /* ... and is to be opened once the window stands */

void SessionEnd(void) {
  TbxSessionEnd();
  gbSession = 0;
  gSessionDir.clear();
  gbQuiet = 0;
  gbSentDirty = 0;
  gbShown = 0;
  gbFirstOpen = 0;
}

int SessionActive(void) { return gbSession.load(); }

int SessionQuiet(const char* text) {
  if (!gbSession || (!gbQuiet && gbShown)) return 0;
  std::fprintf(stderr, "tamborix: %s\n", text);
  return 1;
}

const char* SessionCaptionMark(void) { return gbSession && gbNeedSave ? " *" : ""; }

/* ---------------------------------------------------------------- notices */

static void TakeSessionNames(void);

/* Tells the manager, and shows in the caption, whether there are unsaved changes; only
** when that changed (`always`: in any case). */
static void ShowDirty(bool always) {
  const int dirty = gbNeedSave ? 1 : 0;
  if (!always && dirty == gbSentDirty) return;
  gbSentDirty = dirty;
  TbxSessionNotify(dirty ? "/nsm/client/is_dirty" : "/nsm/client/is_clean");
  TakeSessionNames();
  DoCaption(gHwnd, gszTitleName);
}

void SessionShowDirty(void) {
  if (gbSession && !gSessionDir.empty()) ShowDirty(false);
}

static void ShowGui(HWND hwnd, bool show) {
  ShowWindow(hwnd, show ? SW_SHOW : SW_HIDE);
  if (show) UpdateWindow(hwnd);
  gbShown = show ? 1 : 0;
  TbxSessionNotify(show ? "/nsm/client/gui_is_shown" : "/nsm/client/gui_is_hidden");
}

/* ---------------------------------------------------------------- names */

static std::string PatternPath(void) { return gSessionDir + "/" SESSION_PATTERN; }

/* The project's names, which New, a MIDI export's dialog or an import may have replaced. */
static void TakeSessionNames(void) {
  StorePath(gszFileName, PatternPath().c_str());
  StorePath(gszTitleName, SESSION_PATTERN);
}

void SessionKeepNames(void) {
  if (gbSession && !gSessionDir.empty()) TakeSessionNames();
}

/* ---------------------------------------------------------------- settings */

/* A port setting (MIDI-OUT or MIDI-IN) to `port`, its check mark with it. */
static void TakePort(int row, int16_t port) {
  const Setting& s = gSettings[row];
  if (s.value == port) return;
  MoveMenuCheck(s.base, s.value, port);
  s.value = port;
  *s.shadow = port;
}

/* What the folder's settings file keeps, taken in: the ports by name (the file's ports, or
** the ones chosen now), the synth's soundfont and gain, the sync items, beat time. */
static void TakeSessionSettings(void) {
  TakePort(SET_MIDIOUT, RememberedPort(true, gMidiOutPort));
  if (giNumDevs != 0) TakePort(SET_MIDIIN, RememberedPort(false, gMidiInPort));
  HeaderSet(gTbro.MidiOutPort, gMidiOutPort);
  ApplySynthSettings();
  RestoreSyncFlags();
  RestoreBeatTime();
  CheckMenuItem(ghMenu, IDM_BEATTIME, MF_BYCOMMAND | (gbMidiBeatTime ? MF_CHECKED : MF_UNCHECKED));
}

/* ---------------------------------------------------------------- open */

static bool FolderExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

/* Reads the folder's pattern as "Load File incl. MIDI Port+Ch." would (the channels come
** back; the ports then come by name from the settings); a file that cannot be read leaves
** an empty pattern. Returns the reason it could not be read, "" when it was. */
static std::string LoadSessionPattern(void) {
  const std::string path = PatternPath();
  if (!FileExists(path)) {
    TambroFileClear();
    return "";
  }
  const char* error = ReadProjectFile(path.c_str(), TRUE);
  if (error == nullptr) return "";
  TambroFileClear();
  char text[TBX_PATH + 128];
  snprintf(text, sizeof text, error, path.c_str());
  return text;
}

/* Switches to the project at `open.path`: a run stops, the clients are named anew, the
** folder's settings and pattern are taken (the current pattern is dropped without a
** question) and the window is shown as the folder last saved it (hidden when new). */
static void OpenProject(HWND hwnd, const TBXSESSIONOPEN& open) {
  const std::string dir = open.path;
  if (dir.empty() || dir.size() + sizeof "/" SESSION_SETTINGS > TBX_PATH) {
    TbxSessionError(kOpenPath, TBX_SESSION_ERR_CREATE_FAILED, "the project's path is too long for Tamborix");
    return;
  }
  const bool created = !FolderExists(dir);
  if (created && !CreateDirectoryA(dir.c_str(), nullptr)) {
    const std::string why = "cannot create the folder " + dir;
    TbxSessionError(kOpenPath, TBX_SESSION_ERR_CREATE_FAILED, why.c_str());
    return;
  }
  if (gbSequenceGoing) OnPlayCommand(hwnd, IDM_STOP);
  /* The listener and the transport's master belong to the clients that are about to go. */
  for (int flag = 0; flag < SYNC_FLAGS; flag++) SyncSet(flag, 0);
  TbxMidiClientName(open.clientId);

  gSessionDir = dir;
  PrefsOpen((dir + "/" SESSION_SETTINGS).c_str());
  PrefsHold(true);
  TakeSessionSettings();

  TakeSessionNames();
  const std::string failed = LoadSessionPattern();
  ShowLoadedSettings();
  gbNeedSave = 0;
  gbFileChanged = 0;
  EnableEditMenu();
  InvalidateRect(hwnd, nullptr, FALSE);
  ShowUndoState();   /* a file read starts the history again */
  ShowDirty(true);
  ShowGui(hwnd, PrefGetInt(SESSION_VISIBLE_KEY, 0) != 0);
  if (!failed.empty()) TbxSessionError(kOpenPath, TBX_SESSION_ERR_BAD_PROJECT, failed.c_str());
  else TbxSessionReply(kOpenPath, created ? "Created" : "Loaded");
}

/* ---------------------------------------------------------------- save */

BOOL SessionSave(HWND hwnd, BOOL requested) {
  if (gSessionDir.empty()) {
    if (requested) TbxSessionError(kSavePath, TBX_SESSION_ERR_SAVE_FAILED, "no project is open");
    return FALSE;
  }
  std::vector<unsigned char> file;
  int changed;
  EntryTake(true, &file, &changed);
  TakeSessionNames();
  if (changed) SaveBackup(gszFileName);
  const char* error = TambroFileWrite(gszFileName, file);
  PrefsHold(true);
  RememberPorts();
  RememberSyncFlags();
  PrefSetInt(SESSION_VISIBLE_KEY, gbShown);
  PrefsHold(false);
  const char* what = error ? gszTitleName : SESSION_SETTINGS;
  if (!error && !PrefsFlush()) error = gszErrorCannotWrite;
  if (error) {
    if (requested) {
      char text[TBX_PATH + 64];
      snprintf(text, sizeof text, error, what);
      TbxSessionError(kSavePath, TBX_SESSION_ERR_SAVE_FAILED, text);
    } else {
      ErrorMessage(hwnd, error, what);
    }
    return FALSE;
  }
  gbNeedSave = 0;
  gbFileChanged = 0;
  ShowDirty(false);
  DoCaption(hwnd, gszTitleName);
  if (requested) TbxSessionReply(kSavePath, "Saved");
  return TRUE;
}

/* ---------------------------------------------------------------- requests */

static void CALLBACK SessionRequest(int request) {
  PostMessageA(gHwnd, WM_TBX_SESSION, (WPARAM)request, 0);
}

LRESULT OnSessionRequest(HWND hwnd, WPARAM request) {
  switch (request) {
    case TBX_SESSION_OPEN: {
      TBXSESSIONOPEN open;
      if (!TbxSessionTakeOpen(&open)) return 0;
      gbQuiet = 1;
      OpenProject(hwnd, open);
      gbQuiet = 0;
      return 0;
    }
    case TBX_SESSION_SAVE:
      gbQuiet = 1;
      SessionSave(hwnd, TRUE);
      gbQuiet = 0;
      return 0;
    case TBX_SESSION_SHOW: ShowGui(hwnd, true); return 0;
    case TBX_SESSION_HIDE: ShowGui(hwnd, false); return 0;
    case TBX_SESSION_QUIT:
      /* No question and no save: destroying ends a run, and the quit message that follows
      ** ends every modal loop the window thread may be in. */
      DestroyWindow(hwnd);
      return 0;
  }
  return 0;
}

void SessionHideWindow(HWND hwnd) { ShowGui(hwnd, false); }

/* ---------------------------------------------------------------- the menu */

BOOL SessionRefuses(UINT id) {
  if (!gbSession) return FALSE;
  return id == IDM_LOAD || id == IDM_LOADMIDI || id == IDM_SAVEAS || id == IDM_OPENLIST ||
         (id >= IDM_RECENT && id < IDM_RECENT + RECENT_FILES);
}

static void GrayRefusedItems(void) {
  static const UINT ids[] = {IDM_LOAD, IDM_LOADMIDI, IDM_SAVEAS, IDM_OPENLIST};
  for (UINT id : ids) EnableMenuItem(ghMenu, id, MF_BYCOMMAND | MF_GRAYED);
  RefreshRecentMenu();
}

/* ---------------------------------------------------------------- start */

BOOL SessionBegin(void) {
  if (!TbxSessionBegin(gszAppName, SESSION_CAPABILITIES)) return FALSE;
  gbSession = 1;
  gbQuiet = 1;   /* no box while the window is made: the user may not see it */
  /* The first open names the clients before they are opened; its settings are taken with
  ** its pattern once the window stands. */
  gbFirstOpen = TbxSessionTakeOpen(&gFirstOpen);
  if (gbFirstOpen) TbxMidiClientName(gFirstOpen.clientId);
  return TRUE;
}

void SessionWindowReady(HWND hwnd) {
  if (!gbSession) return;
  GrayRefusedItems();
  if (gbFirstOpen) OpenProject(hwnd, gFirstOpen);
  else TbxSessionNotify("/nsm/client/gui_is_hidden");
  gbFirstOpen = 0;
  gbQuiet = 0;
  TbxSessionListen(SessionRequest);
}

void SessionCreateFailed(void) {
  if (gbSession) TbxSessionError(kOpenPath, TBX_SESSION_ERR_GENERAL, "no MIDI OUT detected!");
}
