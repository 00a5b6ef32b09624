/*
** This file contains the menu bar (CreateTheMenu), the two Play-menu modes (EnableEditMenu,
** EnablePlaylistMenu) and the command handler OnCommand: the file and playlist commands,
** About, Quit, and the settings popups. A settings item's identifier is the popup's base
** plus the value it selects, so a command carries its value; the check mark sits on the
** item of the shadow value (gOld...), and a change takes effect only when the new value
** differs from its shadow.
**
** Play, Mute and export commands belong to the playback and MIDI-file subsystems and are
** passed on to them; New/Load/Save/Save As to the files subsystem.
*/
#include <cstring>

#include "app/app.h"
#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

/* ---------------------------------------------------------------- menu tables */

struct MenuItem {
  const char* label;   /* NULL = separator */
  int value;           /* identifier = base + value */
};

static const MenuItem kBeatsPBar[] = {{"3", 3},  {"4", 4},   {"5", 5},   {"6", 6},
                                      {"8", 8},  {"12", 12}, {"16", 16}, {"24", 24}};
static const MenuItem kRelBeat[] = {{"1/4", 0}, {"1/2", 1}, {"1", 2},  {"*2", 3},  {"*3", 4},
                                    {"*4", 5},  {"*5", 6},  {"*6", 7}, {"*8", 8},  {"*12", 9}};
static const MenuItem kAccent[] = {{"0", 0},   {"+10", 1}, {"+20", 2}, {"+30", 3},
                                   {"+40", 4}, {"+50", 5}, {"+60", 6}};
static const MenuItem kFreeAccent[] = {{"-60", 1}, {"-50", 2}, {"-40", 3}, {"-30", 4}, {"-20", 5},
                                       {"-10", 6}, {"0", 7},   {"+10", 8}, {"+20", 9}, {"+30", 10},
                                       {"+40", 11}, {"+50", 12}, {"+60", 13}};
static const MenuItem kVoice[] = {{"Celeste", 8},          {"Glockenspiel", 9},
                                  {"Vibraphone", 11},      {"Marimba", 12},
                                  {"Xylophone", 13},       {"Tubular Bells", 14},
                                  {"Dulcimer", 15},        {"Piano", 3},
                                  {"Jazz Guitar", 26},     {"Electric Guitar", 27},
                                  {"Acoustic Bass", 32},   {"Electric Bass", 34},
                                  {nullptr, 0},            {"Others", IDM_VOICE_OTHERS - IDM_VOICE}};
static const MenuItem kVoiceLevel[] = {{"OFF", 0},   {"-60", 1}, {"-40", 2}, {"-20", 3},
                                       {"Equal", 4}, {"+20", 5}, {"+40", 6}, {"+60", 7}};
static const MenuItem kMute[] = {{"Perm.Sound", 0},     {"1on:1off", 1},      {"2on:1off", 2},
                                 {"1on:2off", 3},       {"2on:2off", 4},      {"4on:2off", 5},
                                 {"2on:4off", 6},       {"4on:4off", 7},      {"Perc 4on:4off", 8},
                                 {"Perc 8on:8off", 9},  {"Instr 4on:4off", 10}, {"Instr 8on:8off", 11}};
static const MenuItem kTranspose[] = {
    {"C", 0},   {"B", 1},   {"Bb", 2},  {"A", 3},   {"G#", 4},  {"G", 5},   {"F#", 6},
    {"F", 7},   {"E", 8},   {"D#", 9},  {"D", 10},  {"C#", 11}, {"C", 12},  {"B", 13},
    {"Bb", 14}, {"A", 15},  {"G#", 16}, {"G", 17},  {"F#", 18}, {"F", 19},  {"E", 20},
    {"D#", 21}, {"D", 22},  {"C#", 23}, {"C", 24}};
static const MenuItem kPercCh[] = {{"10", 9}, {"16", 15}};
static const MenuItem kVoiceCh[] = {{"1", 0},   {"2", 1},   {"3", 2},   {"4", 3},
                                    {"5", 4},   {"6", 5},   {"7", 6},   {"8", 7},
                                    {"9", 8},   {"10", 9},  {"11", 10}, {"12", 11},
                                    {"13", 12}, {"14", 13}, {"15", 14}, {"16", 15}};

#define COUNT(a) (int)(sizeof(a) / sizeof((a)[0]))

/* Is `value` one of the values the table's items select? Identifiers that no item carries
** are ignored, so a stray identifier can never set a value the program cannot handle. */
static bool HasValue(const MenuItem* items, int n, int value) {
  for (int i = 0; i < n; i++)
    if (items[i].label && items[i].value == value) return true;
  return false;
}

/* ---------------------------------------------------------------- building */

static HMENU BuildPopup(UINT base, const MenuItem* items, int n, int checked) {
  HMENU popup = CreatePopupMenu();
  for (int i = 0; i < n; i++) {
    if (items[i].label == nullptr) {
      AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    UINT flags = MF_STRING | (items[i].value == checked ? MF_CHECKED : MF_UNCHECKED);
    AppendMenuA(popup, flags, base + items[i].value, items[i].label);
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
  AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(m, MF_STRING, IDM_QUIT, "Quit\tCtrl+Q");
  return m;
}

/* Starts in edit mode: Play All and Play from File grayed, Stop checked. */
static HMENU BuildPlayMenu(void) {
  HMENU m = CreatePopupMenu();
  AppendMenuA(m, MF_STRING | MF_GRAYED, IDM_PLAYALL, "Play All\tCtrl+A");
  AppendMenuA(m, MF_STRING | MF_GRAYED, IDM_PLAYFROM, "Play from File\tCtrl+F");
  AppendMenuA(m, MF_STRING, IDM_LOOP, "Loop File\tCtrl+L");
  AppendMenuA(m, MF_STRING, IDM_LOOPUNDO, "&Loop File / MIDI IN undo\tCtrl+U");
  AppendMenuA(m, MF_STRING | MF_CHECKED, IDM_STOP, "Stop\tCtrl+T");
  AppendMenuA(m, MF_STRING, IDM_STOPATEND, "Stop at Loop End\tCtrl+E");
  AppendMenuA(m, MF_STRING, IDM_CONTINUE, "Continue\tCtrl+K");
  return m;
}

/* One item per device, labelled with the product name the system reports. */
static HMENU BuildDeviceMenu(bool output, unsigned count, int checked) {
  HMENU m = CreatePopupMenu();
  for (unsigned i = 0; i < count; i++) {
    char name[sizeof(((MIDIOUTCAPSA*)nullptr)->szPname) + 1] = "";
    if (output) {
      MIDIOUTCAPSA caps;
      memset(&caps, 0, sizeof caps);
      if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
        memcpy(name, caps.szPname, sizeof caps.szPname);
    } else {
      MIDIINCAPSA caps;
      memset(&caps, 0, sizeof caps);
      if (midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR)
        memcpy(name, caps.szPname, sizeof caps.szPname);
    }
    name[sizeof name - 1] = '\0';
    UINT flags = MF_STRING | ((int)i == checked ? MF_CHECKED : MF_UNCHECKED);
    AppendMenuA(m, flags, (output ? IDM_MIDIOUT : IDM_MIDIIN) + i, name);
  }
  return m;
}

static void AppendPopup(HMENU bar, HMENU popup, const char* label, UINT extra = 0) {
  AppendMenuA(bar, MF_POPUP | extra, (UINT_PTR)popup, label);
}

HMENU CreateTheMenu(void) {
  HMENU bar = CreateMenu();
  AppendPopup(bar, BuildFileMenu(), "File");
  AppendPopup(bar, BuildPlayMenu(), "Play");
  AppendPopup(bar, BuildPopup(IDM_BEATSPBAR, kBeatsPBar, COUNT(kBeatsPBar), gBeatsPBar), "Beats/Bar");
  AppendPopup(bar, BuildPopup(IDM_RELBEAT, kRelBeat, COUNT(kRelBeat), gRelBeat), "rel.Beat");
  AppendPopup(bar, BuildPopup(IDM_ACCENT, kAccent, COUNT(kAccent), gAccent), "BarAccent");
  AppendPopup(bar, BuildPopup(IDM_FREEACCENT, kFreeAccent, COUNT(kFreeAccent), gFreeAccent),
              STEP_COUNT == 72 ? "FreeAcc." : "FreeAccent");
  AppendPopup(bar, BuildPopup(IDM_VOICE, kVoice, COUNT(kVoice), gVoiceChecked),
              STEP_COUNT == 72 ? "Instr." : "Chromatic Instr.");
  AppendPopup(bar, BuildPopup(IDM_VOICELEVEL, kVoiceLevel, COUNT(kVoiceLevel), gVoiceLevel),
              "Instr.Level");
  AppendPopup(bar, BuildPopup(IDM_MUTE, kMute, COUNT(kMute), gMute), "Mute");
  AppendPopup(bar, BuildPopup(IDM_TRANSPOSE, kTranspose, COUNT(kTranspose), gTranspose), "Transpose");
  AppendPopup(bar, BuildDeviceMenu(true, goNumDevs, gMidiOutPort), "MIDI-OUT");
  AppendPopup(bar, BuildDeviceMenu(false, giNumDevs, gMidiInPort), "MIDI-IN",
              giNumDevs == 0 ? MF_GRAYED : 0);
  AppendPopup(bar, BuildPopup(IDM_PERCCH, kPercCh, COUNT(kPercCh), gPercCh), "Perc.Ch");
  AppendPopup(bar, BuildPopup(IDM_VOICECH, kVoiceCh, COUNT(kVoiceCh), gVoiceCh), "Instr.Ch");
  AppendMenuA(bar, MF_STRING, IDM_ABOUT, "About");
  ghMenu = bar;
  return bar;
}

void MoveMenuCheck(UINT base, int from, int to) {
  if (ghMenu == nullptr) return;
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
  if (ghMenu == nullptr) return;
  SetMenuItemsEnabled(enable, COUNT(enable), MF_ENABLED);
  SetMenuItemsEnabled(gray, COUNT(gray), MF_GRAYED);
  if (gHwnd) DrawMenuBar(gHwnd);
}

void EnablePlaylistMenu(void) {
  static const UINT gray[] = {IDM_LOOP, IDM_LOOPUNDO};
  static const UINT enable[] = {IDM_STOP, IDM_STOPATEND, IDM_PLAYALL, IDM_PLAYFROM};
  gbEdit = 0;
  if (ghMenu == nullptr) return;
  SetMenuItemsEnabled(gray, COUNT(gray), MF_GRAYED);
  SetMenuItemsEnabled(enable, COUNT(enable), MF_ENABLED);
  if (gHwnd) DrawMenuBar(gHwnd);
}

/* ---------------------------------------------------------------- settings commands */

static void Repaint(HWND hwnd) { InvalidateRect(hwnd, nullptr, FALSE); }

/* The common steps of a settings command: the check mark moves from the item of the
** current value to the chosen one, the value is taken, and the return value says whether
** it differs from its shadow (the caller then applies the effects and moves the shadow). */
static bool TakeSetting(Shared<int16_t>& setting, const Shared<int16_t>& shadow, UINT base, UINT id) {
  MoveMenuCheck(base, setting, (int)(id - base));
  setting = (int16_t)(id - base);
  return setting != shadow;
}

static bool Refused(HWND hwnd, const char* message) {
  if (!gbSequenceGoing) return false;
  ErrorMessage(hwnd, message, gszTitleName);
  return true;
}

static const char kRefuseVoice[] = "First stop sequence before change Chromatic Perc.";
static const char kRefuseOut[] = "First stop sequence before change MIDI OUT port";
static const char kRefuseIn[] = "First stop sequence before change MIDI IN port";
static const char kRefuseCh[] = "First stop sequence before change MIDI Ch.";

static void OnVoiceCommand(HWND hwnd, UINT id) {
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
    RecomputeNoteOffset();
    ShowNoteOffset();
    Repaint(hwnd);
    MarkChanged();
    gOldVoice = gVoice.load();
  }
}

/* Settings ranges other than Mute; returns false when the identifier is in no range or
** names no item of its popup. */
static bool OnSettingsCommand(HWND hwnd, UINT id) {
  if (id >= IDM_BEATSPBAR && id < IDM_BEATSPBAR + 100) {
    if (!HasValue(kBeatsPBar, COUNT(kBeatsPBar), id - IDM_BEATSPBAR)) return false;
    if (TakeSetting(gBeatsPBar, gOldBeatsPBar, IDM_BEATSPBAR, id)) {
      Repaint(hwnd);
      MarkChanged();
      gOldBeatsPBar = gBeatsPBar.load();
    }
  } else if (id >= IDM_RELBEAT && id < IDM_RELBEAT + 100) {
    if (!HasValue(kRelBeat, COUNT(kRelBeat), id - IDM_RELBEAT)) return false;
    if (TakeSetting(gRelBeat, gOldRelBeat, IDM_RELBEAT, id)) {
      Repaint(hwnd);
      MarkChanged();
      gOldRelBeat = gRelBeat.load();
    }
    AdjustBeat();
  } else if (id >= IDM_ACCENT && id < IDM_ACCENT + 100) {
    if (!HasValue(kAccent, COUNT(kAccent), id - IDM_ACCENT)) return false;
    if (TakeSetting(gAccent, gOldAccent, IDM_ACCENT, id)) {
      Repaint(hwnd);
      MarkChanged();
      gOldAccent = gAccent.load();
    }
  } else if (id >= IDM_FREEACCENT && id < IDM_FREEACCENT + 100) {
    if (!HasValue(kFreeAccent, COUNT(kFreeAccent), id - IDM_FREEACCENT)) return false;
    if (TakeSetting(gFreeAccent, gOldFreeAccent, IDM_FREEACCENT, id)) {
      Repaint(hwnd);
      MarkChanged();
      gOldFreeAccent = gFreeAccent.load();
    }
  } else if (id >= IDM_VOICE && id < IDM_VOICE + 100) {
    if (!HasValue(kVoice, COUNT(kVoice), id - IDM_VOICE)) return false;
    if (!Refused(hwnd, kRefuseVoice)) OnVoiceCommand(hwnd, id);
  } else if (id >= IDM_VOICELEVEL && id < IDM_VOICELEVEL + 100) {
    if (!HasValue(kVoiceLevel, COUNT(kVoiceLevel), id - IDM_VOICELEVEL)) return false;
    if (TakeSetting(gVoiceLevel, gOldVoiceLevel, IDM_VOICELEVEL, id)) {
      Repaint(hwnd);
      if (gbEdit)
        gDeltaVoiceLevel = LevelOffset(gVoiceLevel);
      else
        gXDVoiceLevel = LevelOffset(gVoiceLevel);
      gOldVoiceLevel = gVoiceLevel.load();
    }
  } else if (id >= IDM_TRANSPOSE && id < IDM_TRANSPOSE + 100) {
    if (!HasValue(kTranspose, COUNT(kTranspose), id - IDM_TRANSPOSE)) return false;
    if (TakeSetting(gTranspose, gOldTranspose, IDM_TRANSPOSE, id)) {
      RecomputeNoteOffset();
      ShowNoteOffset();
      Repaint(hwnd);
      gOldTranspose = gTranspose.load();
    }
  } else if (id >= IDM_MIDIOUT && id < IDM_MIDIOUT + 100) {
    if (id - IDM_MIDIOUT >= goNumDevs) return false;
    if (!Refused(hwnd, kRefuseOut) && TakeSetting(gMidiOutPort, gOldMidiOutPort, IDM_MIDIOUT, id))
      gOldMidiOutPort = gMidiOutPort.load();
  } else if (id >= IDM_MIDIIN && id < IDM_MIDIIN + 100) {
    if (id - IDM_MIDIIN >= giNumDevs) return false;
    if (!Refused(hwnd, kRefuseIn) && TakeSetting(gMidiInPort, gOldMidiInPort, IDM_MIDIIN, id))
      gOldMidiInPort = gMidiInPort.load();
  } else if (id >= IDM_PERCCH && id < IDM_PERCCH + 100) {
    if (!HasValue(kPercCh, COUNT(kPercCh), id - IDM_PERCCH)) return false;
    if (!Refused(hwnd, kRefuseCh) && TakeSetting(gPercCh, gOldPercCh, IDM_PERCCH, id))
      gOldPercCh = gPercCh.load();
  } else if (id >= IDM_VOICECH && id < IDM_VOICECH + 100) {
    if (!HasValue(kVoiceCh, COUNT(kVoiceCh), id - IDM_VOICECH)) return false;
    if (!Refused(hwnd, kRefuseCh) && TakeSetting(gVoiceCh, gOldVoiceCh, IDM_VOICECH, id))
      gOldVoiceCh = gVoiceCh.load();
  } else {
    return false;
  }
  return true;
}

/* ---------------------------------------------------------------- playlist */

static void OpenPlayList(HWND hwnd) {
  const char* error;

  gbSavingMidiFile = 0;
  if (gbNeedSave && AskAboutSave(gszTitleName) == IDCANCEL) return;
  if (!PlayListOpenDlg(gszListName, gszTitleName)) return;
  if ((error = PlayListRead(gszListName)) != nullptr) {
    ErrorMessage(hwnd, error, gszTitleName);
    gszTitleName[0] = '\0';
    return;
  }
  gbSequenceOpened = 1;
  gbFirstFile = 1;
  error = TambroFileRead(gszNextTambroFile);
  gbFirstFile = 0;
  if (error != nullptr) {
    ErrorMessage(hwnd, error, gszNextTambroFile);
    gszTitleName[0] = '\0';
    return;
  }
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

LRESULT OnCommand(HWND hwnd, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  const UINT id = LOWORD(wParam);

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
    case IDM_OPENLIST: OpenPlayList(hwnd); return 0;
    case IDM_QUIT: SendMessageA(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0); return 0;
    case IDM_ABOUT: DialogBoxParamA(ghInst, "AboutBox", hwnd, AboutProc, 0); return 0;
  }
  if (id >= IDM_PLAYALL && id <= IDM_CONTINUE) return OnPlayCommand(hwnd, id);
  if (id >= IDM_MUTE && id < IDM_MUTE + 100) {
    if (HasValue(kMute, COUNT(kMute), id - IDM_MUTE)) OnMuteCommand(hwnd, id);
    return 0;
  }
  OnSettingsCommand(hwnd, id);
  return 0;
}
