/*
** This file contains the menu bar (CreateTheMenu), the two Play-menu modes (EnableEditMenu,
** EnablePlaylistMenu) and the command handler OnCommand: the file and playlist commands,
** About, Quit, and the settings popups, which the settings table (pattern/settings.cpp)
** describes. A settings item's identifier is the popup's base plus the value it selects, so
** a command carries its value; the check mark sits on the item of the shadow value
** (gOld...), and a change takes effect only when the new value differs from its shadow.
** ShowLoadedSettings shows on the window what a file read changed. The MIDI-OUT and MIDI-IN
** menus are filled again whenever the menu bar opens (OnInitMenu, OnInitMenuPopup) and
** before a run starts, with the ports there are then.
**
** Play, Mute and export commands belong to the playback and MIDI-file subsystems and are
** passed on to them; New/Load/Save/Save As to the files subsystem; a MIDI file import to
** app/import.cpp.
*/
#include <cstring>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

#define COUNT(a) (int)(sizeof(a) / sizeof((a)[0]))

static HMENU hOutMenu, hInMenu;   /* the MIDI-OUT and MIDI-IN popups */
static UINT inTitle;              /* the position of "MIDI-IN" in the bar */

/* ---------------------------------------------------------------- building */

static HMENU BuildPopup(const Setting& s, int checked) {
  HMENU popup = CreatePopupMenu();
  for (int i = 0; i < s.count; i++) {
    const SettingItem& item = s.items[i];
    if (item.label == nullptr) {
      AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    UINT flags = MF_STRING | (item.value == checked ? MF_CHECKED : MF_UNCHECKED);
    AppendMenuA(popup, flags, s.base + item.value, item.label);
  }
  return popup;
}

static HMENU BuildFileMenu(void) {
  HMENU m = CreatePopupMenu();
  AppendMenuA(m, MF_STRING, IDM_NEW, "New File\tCtrl+N");
  AppendMenuA(m, MF_STRING, IDM_LOAD, "Load / Play / Edit File");
  AppendMenuA(m, MF_STRING, IDM_LOADMIDI, "Load File incl. MIDI Port+Ch.");
  AppendMenuA(m, MF_STRING, IDM_SAVE, "Save File\tCtrl+S");
  AppendMenuA(m, MF_STRING, IDM_SAVEAS, "Save File as..");
  AppendMenuA(m, MF_STRING, IDM_SAVEMIDI_GM, "Save File as MIDI File(GM)");
  AppendMenuA(m, MF_STRING, IDM_SAVEMIDI_F1, "Save File as MIDI File(Format1)");
  AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(m, MF_STRING, IDM_OPENLIST, "Open PlayList");
  AppendMenuA(m, MF_STRING, IDM_SAVELIST_GM, "Save List as MIDI File(GM)");
  AppendMenuA(m, MF_STRING, IDM_SAVELIST_F1, "Save List as MIDI File(Format1)");
  AppendMenuA(m, MF_STRING | (gbMidiBeatTime ? MF_CHECKED : MF_UNCHECKED), IDM_BEATTIME, "MIDI Export in Beat Time");
  AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(m, MF_STRING, IDM_IMPORTMIDI, "Import MIDI File...");
  AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(m, MF_STRING, IDM_QUIT, "Quit\tCtrl+Q");
  AppendRecentMenu(m);
  return m;
}

/* Starts in edit mode: Play All and Play from File grayed, Stop checked; then Undo and Redo,
** grayed while the history is empty. */
static HMENU BuildPlayMenu(void) {
  HMENU m = CreatePopupMenu();
  AppendMenuA(m, MF_STRING | MF_GRAYED, IDM_PLAYALL, "Play All\tCtrl+A");
  AppendMenuA(m, MF_STRING | MF_GRAYED, IDM_PLAYFROM, "Play from File\tCtrl+F");
  AppendMenuA(m, MF_STRING, IDM_LOOP, "Loop File\tCtrl+L");
  AppendMenuA(m, MF_STRING, IDM_LOOPUNDO, "&Loop File / MIDI IN undo\tCtrl+U");
  AppendMenuA(m, MF_STRING | MF_CHECKED, IDM_STOP, "Stop\tCtrl+T");
  AppendMenuA(m, MF_STRING, IDM_STOPATEND, "Stop at Loop End\tCtrl+E");
  AppendMenuA(m, MF_STRING, IDM_CONTINUE, "Continue\tCtrl+K");
  AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(m, MF_STRING | MF_GRAYED, IDM_UNDO, "Undo\tCtrl+Z");
  AppendMenuA(m, MF_STRING | MF_GRAYED, IDM_REDO, "Redo\tCtrl+Y");
  return m;
}

/* One item per device as last listed, labelled with the product name the system reports;
** the chosen port while it is absent after them, grayed and checked. */
static void AddDeviceItems(HMENU m, bool output) {
  const unsigned count = output ? goNumDevs : giNumDevs;
  const int checked = output ? gMidiOutPort : gMidiInPort;
  const UINT base = output ? IDM_MIDIOUT : IDM_MIDIIN;
  for (unsigned i = 0; i < count; i++)
    AppendMenuA(m, MF_STRING | ((int)i == checked ? MF_CHECKED : MF_UNCHECKED), base + i, PortName(output, i));
  if (const char* absent = PortAbsent(output))
    AppendMenuA(m, MF_STRING | MF_GRAYED | MF_CHECKED, base + count, absent);
}

/* A sync item (IDM_SYNC + flag) with its check mark. */
static void AppendSyncItem(HMENU m, int flag, const char* label) {
  AppendMenuA(m, MF_STRING | (SyncGet(flag) ? MF_CHECKED : MF_UNCHECKED), IDM_SYNC + flag, label);
}

/* After the devices: the JACK transport items where the build has JACK, then "Send MIDI
** Clock" last (MIDI-OUT); "Follow MIDI Clock" (MIDI-IN, which stays empty without inputs). */
static HMENU AddSyncItems(HMENU m, bool output) {
  if (!output) {
    if (giNumDevs == 0) return m;
    AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
    AppendSyncItem(m, SYNC_FOLLOW_CLOCK, "Follow MIDI Clock");
    return m;
  }
  AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
  if (TbxTransportSupported()) {
    AppendSyncItem(m, SYNC_JACK_TRANSPORT, "JACK Transport");
    AppendSyncItem(m, SYNC_JACK_MASTER, "JACK Transport Master");
    AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
  }
  AppendSyncItem(m, SYNC_SEND_CLOCK, "Send MIDI Clock");
  return m;
}

static void AppendPopup(HMENU bar, HMENU popup, const char* label, UINT extra = 0) {
  AppendMenuA(bar, MF_POPUP | extra, (UINT_PTR)popup, label);
}

/* The device items and the sync items of a device menu, anew. */
static void FillDeviceMenu(HMENU m, bool output) {
  for (int n = GetMenuItemCount(m); n > 0; n--) DeleteMenu(m, 0, MF_BYPOSITION);
  AddDeviceItems(m, output);
  AddSyncItems(m, output);
}

HMENU CreateTheMenu(void) {
  HMENU bar = CreateMenu();
  AppendPopup(bar, BuildFileMenu(), "File");
  AppendPopup(bar, BuildPlayMenu(), "Play");
  for (int row = 0; row < SET_ROWS; row++) {
    const Setting& s = gSettings[row];
    if (!s.title || row == SET_SWING) continue;
    if (row == SET_RELBEAT) {
      /* Swing is a submenu at the end of rel.Beat. */
      HMENU popup = BuildPopup(s, s.value);
      const Setting& swing = gSettings[SET_SWING];
      AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
      AppendPopup(popup, BuildPopup(swing, swing.value), swing.title);
      AppendPopup(bar, popup, SettingTitle(s));
    } else if (row == SET_MIDIOUT || row == SET_MIDIIN) {
      const bool output = row == SET_MIDIOUT;
      HMENU m = CreatePopupMenu();
      FillDeviceMenu(m, output);
      if (!output) inTitle = (UINT)GetMenuItemCount(bar);
      AppendPopup(bar, m, SettingTitle(s), !output && giNumDevs == 0 && !PortAbsent(false) ? MF_GRAYED : 0);
      (output ? hOutMenu : hInMenu) = m;
    } else {
      AppendPopup(bar, BuildPopup(s, row == SET_VOICE ? gVoiceChecked.load() : s.value.load()), SettingTitle(s));
    }
  }
  AppendMenuA(bar, MF_STRING, IDM_ABOUT, "About");
  ghMenu = bar;
  SyncShow();
  return bar;
}

/* Lists the devices again and shows them (see the top of the file). */
static void ShowPorts(bool output) {
  if (!ListPorts(output) || !ghMenu) return;
  FillDeviceMenu(output ? hOutMenu : hInMenu, output);
  if (!output)
    EnableMenuItem(ghMenu, inTitle, MF_BYPOSITION | (giNumDevs == 0 && !PortAbsent(false) ? MF_GRAYED : MF_ENABLED));
  DrawMenuBar(gHwnd);
}

LRESULT OnInitMenu(void) {
  ShowPorts(true);
  ShowPorts(false);
  return 0;
}

LRESULT OnInitMenuPopup(HMENU popup) {
  if (popup && popup == hOutMenu) ShowPorts(true);
  if (popup && popup == hInMenu) ShowPorts(false);
  return 0;
}

void MoveMenuCheck(UINT base, int from, int to) {
  CheckMenuItem(ghMenu, base + from, MF_BYCOMMAND | MF_UNCHECKED);
  CheckMenuItem(ghMenu, base + to, MF_BYCOMMAND | MF_CHECKED);
}

static void SetMenuItemsEnabled(const UINT* ids, int n, UINT state) {
  for (int i = 0; i < n; i++) EnableMenuItem(ghMenu, ids[i], MF_BYCOMMAND | state);
}

void EnableEditMenu(void) {
  static const UINT enable[] = {IDM_LOOP, IDM_LOOPUNDO, IDM_STOP, IDM_STOPATEND};
  static const UINT gray[] = {IDM_PLAYALL, IDM_PLAYFROM};
  gbEdit = 1;
  SetMenuItemsEnabled(enable, COUNT(enable), MF_ENABLED);
  SetMenuItemsEnabled(gray, COUNT(gray), MF_GRAYED);
  DrawMenuBar(gHwnd);
}

void EnablePlaylistMenu(void) {
  static const UINT gray[] = {IDM_LOOP, IDM_LOOPUNDO};
  static const UINT enable[] = {IDM_STOP, IDM_STOPATEND, IDM_PLAYALL, IDM_PLAYFROM};
  gbEdit = 0;
  SetMenuItemsEnabled(gray, COUNT(gray), MF_GRAYED);
  SetMenuItemsEnabled(enable, COUNT(enable), MF_ENABLED);
  DrawMenuBar(gHwnd);
}

/* ---------------------------------------------------------------- undo history */

void ShowUndoState(void) {
  HistorySync();
  EnableMenuItem(ghMenu, IDM_UNDO, MF_BYCOMMAND | (HistoryCanUndo() ? MF_ENABLED : MF_GRAYED));
  EnableMenuItem(ghMenu, IDM_REDO, MF_BYCOMMAND | (HistoryCanRedo() ? MF_ENABLED : MF_GRAYED));
  SessionShowDirty();
}

/* Undo and Redo: the pattern changes as after any edit, and the whole window is repainted. */
static void OnUndoCommand(HWND hwnd, UINT id) {
  if (id == IDM_UNDO ? HistoryUndo() : HistoryRedo()) {
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
  }
  ShowUndoState();
}

/* ---------------------------------------------------------------- settings commands */

static void Repaint(HWND hwnd) { InvalidateRect(hwnd, nullptr, FALSE); }

/* What a change of the setting sets off (the FX_ bits other than the always-run ones). */
static void RunChangeEffects(HWND hwnd, const Setting& s) {
  if (s.effects & FX_NOTE) {
    RecomputeNoteOffset();
    ShowNoteOffset();
  }
  if (s.effects & FX_REPAINT) Repaint(hwnd);
  if (s.effects & FX_SAVED) MarkChanged();
  if (s.effects & FX_LEVEL) {
    if (gbEdit) gDeltaVoiceLevel = LevelOffset(s.value);
    else gXDVoiceLevel = LevelOffset(s.value);
  }
}

/* The instrument: its check mark follows gVoiceChecked; "Others" asks for the number. */
static void OnVoiceCommand(HWND hwnd, const Setting& s, UINT id) {
  if (id == IDM_VOICE_OTHERS) {
    gOldVoiceChecked = gVoiceChecked.load();
    gVoiceChecked = 99;
    DialogBoxParamA(ghInst, "OTHERSDLGBOX", hwnd, OthersDlgProc, 0);
    if (gVoiceChecked != gOldVoiceChecked) MoveMenuCheck(IDM_VOICE, gOldVoiceChecked, gVoiceChecked);
  } else {
    CheckMenuItem(ghMenu, IDM_VOICE + gVoiceChecked, MF_BYCOMMAND | MF_UNCHECKED);
    gVoice = (int16_t)(id - IDM_VOICE);
    gVoiceChecked = gVoice.load();
    CheckMenuItem(ghMenu, id, MF_BYCOMMAND | MF_CHECKED);
  }
  if (gVoice != gOldVoice) {
    RunChangeEffects(hwnd, s);
    gOldVoice = gVoice.load();
  }
}

/* A settings item: refused while a sequence plays when the setting says so; otherwise the
** check mark moves from the item of the current value to the chosen one, the value is
** taken, and when it differs from its shadow its effects run and the shadow follows. The
** step length and the mute cycle are set again even for the item already checked. */
static void OnSettingsCommand(HWND hwnd, const Setting& s, UINT id) {
  if (s.refusal && gbSequenceGoing) {
    ErrorMessage(hwnd, s.refusal, gszTitleName);
    return;
  }
  if (&s == &gSettings[SET_VOICE]) {
    OnVoiceCommand(hwnd, s, id);
    return;
  }
  MoveMenuCheck(s.base, s.value, (int)(id - s.base));
  s.value = (int16_t)(id - s.base);
  if (s.value != *s.shadow) {
    RunChangeEffects(hwnd, s);
    *s.shadow = s.value.load();
    if (&s == &gSettings[SET_MIDIOUT] || &s == &gSettings[SET_MIDIIN]) RememberPorts();
  }
  if (s.effects & FX_BEAT) AdjustBeat();
  if (s.effects & FX_MUTE) SetMuteMode();
}

void ShowLoadedSettings(void) {
  const unsigned changed = gSettingsReport.exchange(0);
  for (int row = 0; row < SET_ROWS; row++) {
    const Setting& s = gSettings[row];
    if (!s.title || row == SET_VOICE || s.value == *s.shadow) continue;
    MoveMenuCheck(s.base, *s.shadow, s.value);
    *s.shadow = s.value.load();
  }
  if (gVoice != gOldVoice) {
    const int16_t checked = VoiceItem(gVoice);
    MoveMenuCheck(IDM_VOICE, gVoiceChecked, checked);
    gVoiceChecked = checked;
    gOldVoice = gVoice.load();
  }
  if (changed & (1u << SET_RELBEAT)) SetWindowTextA(gHwndREL, RelBeatLabel());
  if (changed & ((1u << SET_VOICE) | (1u << SET_TRANSPOSE))) ShowNoteOffset();
  if (changed & LOADED_TEMPO) ShowTempo(FALSE);
}

/* ---------------------------------------------------------------- playlist */

void OpenPlayList(HWND hwnd, const char* path) {
  const char* error;

  gbSavingMidiFile = 0;
  if (gbNeedSave && AskAboutSave(gszTitleName) == IDCANCEL) return;
  if (path) {
    /* A name too long for gszListName is not cut: the read below refuses it. The list's
    ** entries are named relative to its folder, which the open dialog would have made the
    ** current one. */
    EnterFolderOf(path);
    StorePath(gszListName, path);
    TitleOfPath(path, gszTitleName, sizeof gszTitleName);
  } else if (!PlayListOpenDlg(gszListName, gszTitleName)) {
    return;
  }
  if ((error = PlayListRead(gszListName)) != nullptr) {
    ErrorMessage(hwnd, error, gszTitleName);
    gszTitleName[0] = '\0';
    return;
  }
  RememberFile(gszListName);
  gbSequenceOpened = 1;
  gbFirstFile = 1;
  const char* warning;
  error = TambroFileRead(gszNextTambroFile, &warning);
  gbFirstFile = 0;
  if (error != nullptr) {
    ErrorMessage(hwnd, error, gszNextTambroFile);
    gszTitleName[0] = '\0';
    return;
  }
  if (warning) ErrorMessage(hwnd, warning, gszNextTambroFile);
  ShowLoadedSettings();
  Repaint(hwnd);
  EnablePlaylistMenu();
  DoCaption(hwnd, gszTitleName);
  /* In playlist mode the Instr.Level menu sets the extra level; a new list starts it at Equal. */
  CheckMenuItem(ghMenu, IDM_VOICELEVEL + gOldVoiceLevel, MF_BYCOMMAND | MF_UNCHECKED);
  MoveMenuCheck(IDM_VOICELEVEL, gVoiceLevel, 4);
  gXDVoiceLevel = 0;
  gVoiceLevel = 4;
  gOldVoiceLevel = 4;
}

/* ---------------------------------------------------------------- dispatch */

static LRESULT DispatchCommand(HWND hwnd, WPARAM wParam, LPARAM lParam) {
  const UINT id = LOWORD(wParam);

  if (SessionRefuses(id)) return 0;   /* grayed; an accelerator or a stray post */
  switch (id) {
    case IDM_NEW: FileNew(hwnd); return 0;
    case IDM_LOAD: FileLoad(hwnd, FALSE); return 0;
    case IDM_LOADMIDI: FileLoad(hwnd, TRUE); return 0;
    case IDM_SAVE: FileSave(hwnd); return 0;
    case IDM_SAVEAS: FileSaveAs(hwnd); return 0;
    case IDM_SAVEMIDI_GM:
    case IDM_SAVEMIDI_F1:
    case IDM_SAVELIST_GM:
    case IDM_SAVELIST_F1: return OnExportCommand(hwnd, id);
    case IDM_OPENLIST: OpenPlayList(hwnd, nullptr); return 0;
    case IDM_IMPORTMIDI: ImportMidi(hwnd, nullptr); return 0;
    case IDM_BEATTIME: OnBeatTimeCommand(); return 0;
    case IDM_QUIT: SendMessageA(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0); return 0;
    case IDM_ABOUT: DialogBoxParamA(ghInst, AboutBoxName(), hwnd, AboutProc, 0); return 0;
  }
  if (id >= IDM_RECENT && id < IDM_RECENT + RECENT_FILES) {
    OnRecentCommand(hwnd, id);
    return 0;
  }
  /* A run that starts (from a play command or a sync notice) opens the chosen ports where
  ** they are now. */
  if (!gbSequenceGoing && ((id >= IDM_PLAYALL && id <= IDM_CONTINUE) || (id >= IDM_SYNC && id < IDM_SYNC + 100))) {
    ShowPorts(true);
    ShowPorts(false);
  }
  if (id >= IDM_PLAYALL && id <= IDM_CONTINUE) return OnPlayCommand(hwnd, id);
  if (id >= IDM_SYNC && id < IDM_SYNC + SYNC_FLAGS) {
    OnSyncCommand(hwnd, id, lParam);
    RememberSyncFlags();
    return 0;
  }
  if (id == IDM_SYNC_NOTICE + SYNC_NOTICE_WAIT) {
    ShowSyncWait(hwnd);
    return 0;
  }
  if (id >= IDM_SYNC && id < IDM_SYNC + 100) return OnSyncCommand(hwnd, id, lParam);
  const Setting* s = SettingOfCommand((int)id);
  if (s && SettingHasValue(*s, (int)(id - s->base))) OnSettingsCommand(hwnd, *s, id);
  /* The input kept open to hear a clock's Start follows a new MIDI-IN choice. */
  if (s == &gSettings[SET_MIDIIN] && SyncGet(SYNC_FOLLOW_CLOCK))
    PostMessageA(hwnd, WM_COMMAND, IDM_SYNC_NOTICE + SYNC_NOTICE_LISTEN, 0);
  return 0;
}

/* A command that changes the pattern (New) is one step of the undo history; one that loads a
** file starts the history again. */
LRESULT OnCommand(HWND hwnd, WPARAM wParam, LPARAM lParam) {
  const UINT id = LOWORD(wParam);
  if (id == IDM_UNDO || id == IDM_REDO) {
    OnUndoCommand(hwnd, id);
    return 0;
  }
  HistoryBegin();
  const LRESULT result = DispatchCommand(hwnd, wParam, lParam);
  HistoryCommit();
  ShowUndoState();
  return result;
}
