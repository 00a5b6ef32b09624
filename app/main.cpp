/*
** This file contains the program's spine: WinMain with its message loop, the creation of
** the one main window (CreateMainWindow), the window procedure WndProc, which only
** dispatches, and the handlers of the window's own lifetime: creation with its child
** controls and MIDI port choice, the tempo and velocity scroll bars, close, the shutdown
** query and destruction. ResetAllState puts every subsystem back to program start.
**
** Start reading at OnCreate: its steps run in a fixed order because later steps read what
** earlier ones set (AdjustBeat writes into the rel.Beat text, the menu checks the chosen
** output port, the record's header takes the port once it is chosen).
*/
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "files/files.h"
#include "files/prefs.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "view/view.h"

/* ---------------------------------------------------------------- variables */

HINSTANCE ghInst;
HWND gHwnd;
char gszCmdLine[TBX_CMDLINE];
int gbCmdLine;
static MIDIOUTCAPSA gMoc;      /* capabilities of the output device being examined */
HMENU ghMenu;
HWND gHwndBPMScroll;
HWND gHwndTEMPO;
HWND gHwndREL;
HWND gHwndNOTE;

static HWND hwndVELScroll;     /* velocity scroll bar, id 1 */
static HWND hwndVELOCITY;      /* velocity read-out, id 4 (shares the id with the note) */
static int bpmRaw;             /* tempo bar position 0..466 = 506 - giTempo; window thread */
static int velRaw;             /* velocity bar position 20..127 = 147 - gVelocity; window thread */

/* Tempo bar: position 0 is 506 BPM, 466 is 40 BPM. Velocity bar: its range starts at 18
** but positions below 20 count as 20, so the top reads 127 whichever of the three it is. */
#define BPM_TOP TEMPO_MAX
#define BPM_RANGE (TEMPO_MAX - TEMPO_MIN)
#define VEL_SUM 147
#define VEL_RANGE_MIN 18
#define VEL_MIN_POS 20
#define VEL_MAX_POS 127

/* Product name of a Roland GS wavetable ("... GS Wavetable ...") at offsets 10..13:
** preferred as the output port when present. */
#define GS_OFFSET 10

/* ---------------------------------------------------------------- reset */

void AppReset(void) {
  ghInst = nullptr;
  gHwnd = nullptr;
  gszCmdLine[0] = '\0';
  gbCmdLine = 0;
  gcxChar = gcyChar = 0;
  memset(&gMoc, 0, sizeof gMoc);
  ghMenu = nullptr;
  gHwndBPMScroll = gHwndTEMPO = gHwndREL = gHwndNOTE = nullptr;
  hwndVELScroll = hwndVELOCITY = nullptr;
  bpmRaw = BPM_TOP - giTempo;
  velRaw = VEL_SUM - gVelocity;
  PromptsReset();
  GridReset();
  DesktopReset();
}

void ResetAllState(void) {
  PatternReset();
  ViewReset();
  FilesReset();
  PlaybackReset();
  MidifileReset();
  AppReset();
}

/* ---------------------------------------------------------------- read-outs */

static void SetNumberText(HWND hwnd, int value) {
  char sz[16];
  snprintf(sz, sizeof sz, "%i", value);
  SetWindowTextA(hwnd, sz);
}

void ShowNoteOffset(void) {
  SetNumberText(gHwndNOTE, gNoteOffset + 2);
}

/* Leaves bpmRaw alone: the scroll handler takes its start from giTempo anyway. */
void ShowTempo(BOOL redraw) {
  int pos = BPM_TOP - giTempo;
  if (pos < 0) pos = 0;
  if (pos > BPM_RANGE) pos = BPM_RANGE;
  SetScrollPos(gHwndBPMScroll, SB_CTL, pos, redraw);
  if (SyncWaiting()) SetWindowTextA(gHwndTEMPO, "ext");
  else SetNumberText(gHwndTEMPO, giTempo);
}

/* ---------------------------------------------------------------- creation */

/* Tenths of a character unit, truncated toward zero as the layout requires. */
static int Tenths(int tenths, int unit) { return tenths * unit / 10; }

static HWND CreateChild(HWND hwnd, const char* cls, const char* text, int id) {
  return CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | 1, 0, 0, 0, 0, hwnd,
                         (HMENU)(INT_PTR)id, ghInst, nullptr);
}

static void CreateControls(HWND hwnd) {
  const int cx = gcxChar, cy = gcyChar;
  const int barX = Tenths(PANEL_LEFT * 10 + 3, cx);
  const int textX = Tenths(PANEL_LEFT * 10 - 5, cx);
  const int textW = Tenths(35, cx);
  char sz[16];

  gHwndBPMScroll = CreateChild(hwnd, "scrollbar", nullptr, 0);
  MoveWindow(gHwndBPMScroll, barX, cy, 2 * cx, 8 * cy, TRUE);
  SetScrollRange(gHwndBPMScroll, SB_CTL, 0, BPM_RANGE, FALSE);
  bpmRaw = BPM_TOP - giTempo;
  SetScrollPos(gHwndBPMScroll, SB_CTL, bpmRaw, FALSE);

  hwndVELScroll = CreateChild(hwnd, "scrollbar", nullptr, 1);
  MoveWindow(hwndVELScroll, barX, 13 * cy, 2 * cx, 8 * cy, TRUE);
  SetScrollRange(hwndVELScroll, SB_CTL, VEL_RANGE_MIN, VEL_MAX_POS, FALSE);
  velRaw = VEL_SUM - gVelocity;
  SetScrollPos(hwndVELScroll, SB_CTL, velRaw, FALSE);

  snprintf(sz, sizeof sz, "%d", (int)giTempo);
  gHwndTEMPO = CreateChild(hwnd, "static", sz, 2);
  MoveWindow(gHwndTEMPO, textX, 9 * cy, textW, cy, TRUE);
  gHwndREL = CreateChild(hwnd, "static", "* 1", 3);
  MoveWindow(gHwndREL, textX, 10 * cy, textW, cy, TRUE);
  AdjustBeat();

  snprintf(sz, sizeof sz, "%d", (int)gVelocity);
  hwndVELOCITY = CreateChild(hwnd, "static", sz, 4);
  MoveWindow(hwndVELOCITY, textX, 21 * cy, textW, cy, TRUE);
  snprintf(sz, sizeof sz, "%d", gNoteOffset + 2);
  gHwndNOTE = CreateChild(hwnd, "static", sz, 4);
  MoveWindow(gHwndNOTE, textX, Tenths(248, cy), textW, cy, TRUE);
}

/* The first output device whose product name carries "GS W" at offsets 10..13, else 0. */
static int16_t ChooseOutputPort(void) {
  for (unsigned i = 0; i < goNumDevs; i++) {
    memset(&gMoc, 0, sizeof gMoc);
    if (midiOutGetDevCapsA(i, &gMoc, sizeof gMoc) != MMSYSERR_NOERROR) continue;
    const char* name = gMoc.szPname;
    if (strnlen(name, sizeof gMoc.szPname) > 14 && memcmp(name + GS_OFFSET, "GS W", 4) == 0)
      return (int16_t)i;
  }
  return 0;
}

static LRESULT OnCreate(HWND hwnd) {
  RECT rc;

  FillHeaderFromSettings();
  HeaderSet(gTbro.LoopEnd, STEP_COUNT);
  HeaderSet(gTbro.LoopStart, 0);
  RecomputeNoteOffset();
  PatternClear();

  LONG units = GetDialogBaseUnits();
  gcxChar = LOWORD(units);
  gcyChar = HIWORD(units);

  GetWindowRect(hwnd, &rc);
  MoveWindow(hwnd, WINDOW_X, rc.top, (PANEL_LEFT + 4) * gcxChar, Tenths(295, gcyChar), FALSE);

  CreateControls(hwnd);

  goNumDevs = midiOutGetNumDevs();
  if (goNumDevs == 0) {
    ShowBox(hwnd, "no MIDI OUT detected!", gszAppName, MB_ICONHAND);
    return -1;
  }
  ApplySynthSettings();
  /* A port chosen in an earlier run is found by its name, wherever it is listed now. */
  gMidiOutPort = RememberedPort(true, ChooseOutputPort());
  HeaderSet(gTbro.MidiOutPort, gMidiOutPort);
  gOldMidiOutPort = gMidiOutPort.load();

  giNumDevs = midiInGetNumDevs();
  if (giNumDevs == 0) {
    ShowBox(hwnd, "no MIDI IN detected!", gszAppName, MB_ICONHAND);
  } else {
    gMidiInPort = RememberedPort(false, 0);
    gOldMidiInPort = gMidiInPort.load();
  }

  RestoreBeatTime();
  ghMenu = CreateTheMenu();
  SetMenu(hwnd, ghMenu);
  DragAcceptFiles(hwnd, TRUE);
  DoCaption(hwnd, gszTitleName);
  UpdateWindow(hwnd);

  gbCmdLine = 0;
  if (gszCmdLine[0] != '\0') {
    gbCmdLine = 1;
    PostMessageA(hwnd, WM_COMMAND, IDM_LOAD, 0);
  }
  return 0;
}

/* ---------------------------------------------------------------- scroll bars */

/* Applies a scroll request to a position; returns the new, unclamped value. */
static int ApplyScrollRequest(int pos, WPARAM wParam, int line, int page, int top, int bottom) {
  switch (LOWORD(wParam)) {
    case SB_LINEUP: return pos - line;
    case SB_LINEDOWN: return pos + line;
    case SB_PAGEUP: return pos - page;
    case SB_PAGEDOWN: return pos + page;
    case SB_THUMBPOSITION:
    case SB_THUMBTRACK: return HIWORD(wParam);
    case SB_TOP: return top;
    case SB_BOTTOM: return bottom;
    default: return pos;
  }
}

static void OnTempoScroll(WPARAM wParam) {
  /* A load may have set a new tempo and moved the thumb: start from giTempo so that one
  ** line-up raises exactly that tempo by 1. */
  bpmRaw = BPM_TOP - giTempo;
  bpmRaw = ApplyScrollRequest(bpmRaw, wParam, 1, 20, 0, BPM_RANGE);
  if (bpmRaw < 0) bpmRaw = 0;
  if (bpmRaw > BPM_RANGE) bpmRaw = BPM_RANGE;
  giTempo = BPM_TOP - bpmRaw;
  SetScrollPos(gHwndBPMScroll, SB_CTL, bpmRaw, TRUE);
  SetNumberText(gHwndTEMPO, giTempo);
  gMsecPerBeat = (int16_t)(60000 / giTempo);
  gOldMsecPerBeat = gMsecPerBeat.load();
  AdjustBeat();
}

static void OnVelocityScroll(WPARAM wParam) {
  velRaw = VEL_SUM - gVelocity;
  velRaw = ApplyScrollRequest(velRaw, wParam, 1, 10, VEL_MIN_POS, VEL_MAX_POS);
  if (velRaw < VEL_MIN_POS) velRaw = VEL_MIN_POS;
  if (velRaw > VEL_MAX_POS) velRaw = VEL_MAX_POS;
  gVelocity = (int16_t)(VEL_SUM - velRaw);
  SetScrollPos(hwndVELScroll, SB_CTL, velRaw, TRUE);
  SetNumberText(hwndVELOCITY, gVelocity);
}

static LRESULT OnVScroll(WPARAM wParam, LPARAM lParam) {
  HWND bar = (HWND)lParam;
  if (bar == nullptr) return 0;   /* a window scroll bar: the main window has none */
  switch (GetWindowLongA(bar, GWL_ID)) {
    case 0: OnTempoScroll(wParam); break;
    case 1: OnVelocityScroll(wParam); break;
  }
  return 0;
}

/* ---------------------------------------------------------------- close and destroy */

static LRESULT OnClose(HWND hwnd) {
  if (SessionActive()) {
    /* The session manager ends the program; its user only puts the window away. */
    SessionHideWindow(hwnd);
    return 0;
  }
  if (gbNeedSave && AskAboutSave(gszTitleName) == IDCANCEL) return 0;
  /* Destroying first ends a running sequence (WM_DESTROY), so the step clock can no
  ** longer be reading the playlist text when it is released. */
  DestroyWindow(hwnd);
  FreePlayList();
  return 1;
}

static LRESULT OnQueryEndSession(void) {
  if (gbNeedSave && AskAboutSave(gszTitleName) == IDCANCEL) return 0;
  return 1;
}

static LRESULT OnDestroy(void) {
  TambroEndSequence();
  PostQuitMessage(0);
  return 0;
}

static LRESULT OnKeyDown(HWND hwnd, WPARAM key) {
  if (key >= VK_LEFT && key <= VK_DOWN) handleKeydown(hwnd, key);
  return 0;
}

/* ---------------------------------------------------------------- window procedure */

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: return OnCreate(hwnd);
    case WM_DESTROY: return OnDestroy();
    case WM_PAINT: return OnPaint(hwnd);
    case WM_CLOSE: return OnClose(hwnd);
    case WM_QUERYENDSESSION: return OnQueryEndSession();
    case WM_KEYDOWN: return OnKeyDown(hwnd, wParam);
    case WM_CHAR: return OnChar(hwnd, wParam);
    case WM_COMMAND: return OnCommand(hwnd, wParam, lParam);
    case WM_INITMENU: return OnInitMenu();
    case WM_INITMENUPOPUP: return OnInitMenuPopup((HMENU)wParam);
    case WM_VSCROLL: return OnVScroll(wParam, lParam);
    case WM_MOUSEMOVE: return OnMouseMove(hwnd);
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN: return OnButtonDown(hwnd, message, wParam, lParam);
    case WM_TBX_PLAYPOS: return OnPlayPosition(hwnd, wParam);
    case WM_TBX_SEQEND: return OnSequenceEnded(hwnd);
    case WM_TBX_TIMERFAIL: return OnTimerFailed(hwnd);
    case WM_TBX_LOADED:
      OnEntryLoaded(hwnd);
      ShowUndoState();
      return 0;
    case WM_TBX_RECORDED: ShowUndoState(); return 0;
    case WM_TBX_SAVEAS: return FileSaveAs(hwnd) ? 1 : 0;
    case WM_TBX_SESSION: return OnSessionRequest(hwnd, wParam);
    case WM_DROPFILES: return OnDropFiles(hwnd, (HDROP)wParam);
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

/* ---------------------------------------------------------------- entry */

/* Copies the command line without its double quotes. It is kept whole: the load refuses a
** name too long for the path buffers rather than cut it to another file's name. A line
** longer than even this buffer (no Windows command line is) ends in ".../", which names no
** file. */
static void StoreCommandLine(LPCSTR szCmdLine) {
  size_t n = 0;
  const char* p = szCmdLine ? szCmdLine : "";
  for (; *p && n < TBX_CMDLINE - 1; p++)
    if (*p != '"') gszCmdLine[n++] = *p;
  gszCmdLine[n] = '\0';
  while (*p == '"') p++;
  if (*p) memcpy(gszCmdLine + TBX_CMDLINE - 5, ".../", 5);
}

HWND CreateMainWindow(HINSTANCE hInst, LPCSTR szCmdLine, int iCmdShow, const char* settingsPath) {
  WNDCLASSA wc;

  ResetAllState();
  PrefsOpen(settingsPath);
  ghInst = hInst;
  StoreCommandLine(szCmdLine);

  memset(&wc, 0, sizeof wc);
  wc.style = 0;
  wc.lpfnWndProc = WndProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = 0;
  wc.hInstance = hInst;
  wc.hIcon = LoadIconA(hInst, "TAMBORIX");
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
  wc.lpszMenuName = nullptr;
  wc.lpszClassName = gszAppName;
  RegisterClassA(&wc);   /* fails harmlessly when the class exists (tests create again) */

  HWND hwnd = CreateWindowExA(0, gszAppName, nullptr, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                              CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, hInst, nullptr);
  if (hwnd == nullptr) return nullptr;
  ShowWindow(hwnd, iCmdShow);
  UpdateWindow(hwnd);
  gHwnd = hwnd;
  ghRunWindow = hwnd;
  RestoreSyncFlags();
  return hwnd;
}

int WINAPI WinMain(HINSTANCE hInst, HINSTANCE hPrev, LPSTR szCmdLine, int iCmdShow) {
  (void)hPrev;
  MSG msg;

  /* Under a session manager no settings file until its project names one (never the
  ** user's), and a window that shows itself once the project says so; the project replaces
  ** a file named. */
  const BOOL session = SessionBegin();
  const std::string settings = session ? "" : PrefsDefaultPath();
  HWND hwnd = CreateMainWindow(hInst, session ? "" : szCmdLine, session ? SW_HIDE : iCmdShow, settings.c_str());
  if (hwnd == nullptr) {   /* no MIDI output: the box was shown, the window is gone */
    SessionCreateFailed();
    return 0;
  }
  SessionWindowReady(hwnd);

  HACCEL hAccel = LoadAcceleratorsA(hInst, "TAMBORIX");
  msg.wParam = 0;
  while (GetMessageA(&msg, nullptr, 0, 0)) {
    if (!TranslateAcceleratorA(hwnd, hAccel, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  return (int)msg.wParam;
}
