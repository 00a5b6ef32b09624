/*
** This file contains what the program does as a desktop application beyond the window
** itself: what it remembers between runs through the settings file (files/prefs.h), and
** files dropped on the window.
**
** Remembered, with their keys:
**   folder.project, folder.playlist, folder.midi   the folder each file dialog last chose
**   recent.1 .. recent.8      the project files and playlists last opened or saved, the
**                             newest first, as full paths ("Recent Files" in the File menu;
**                             read again before each change, so that programs running side
**                             by side keep each other's)
**   midi.out, midi.in         the MIDI ports chosen in the menus, by product name: a port
**                             of that name is chosen again at start, wherever the system
**                             lists it now (devices come and go)
** While the program runs the ports are listed again whenever a menu opens and before a run
** starts; the chosen port is followed by its name to wherever it is listed now, and while
** it is not listed it stays chosen, absent: its index is then the count of the devices.
**   synth.soundfont, synth.gain   the built-in synthesizer's soundfont and master gain,
**                             handed to it at start (the gain as a decimal number); a
**                             soundfont that cannot be loaded is replaced by the one in use
**   midi.beat-time            1 while "MIDI Export in Beat Time" is checked
** A file opened from the list or dropped on the window is loaded as the File menu loads
** it: a name ending in ".txt" as "Open PlayList", a MIDI file as "Import MIDI File...", any
** other as "Load / Play / Edit File". Under a session only the import is taken.
**
** Window thread only.
*/
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "files/files.h"
#include "files/prefs.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

static HMENU hRecentMenu;        /* the "Recent Files" popup, rebuilt at each change */
static HMENU hFileMenu;          /* the File popup that holds it (its last item) */

/* The MIDI devices as last listed ([0] outputs, [1] inputs), and the name of the chosen one
** while it is absent ("" while it is listed). */
static std::vector<std::string> portNames[2];
static std::string absentPort[2];

void DesktopReset(void) {
  hRecentMenu = nullptr;
  hFileMenu = nullptr;
  for (int k = 0; k < 2; k++) {
    portNames[k].clear();
    absentPort[k].clear();
  }
}

/* ---------------------------------------------------------------- opening a named file */

static bool IsPlaylistName(const char* path) {
  const size_t n = strlen(path);
  if (n < 4) return false;
  const char* ext = path + n - 4;
  return ext[0] == '.' && (ext[1] | 0x20) == 't' && (ext[2] | 0x20) == 'x' && (ext[3] | 0x20) == 't';
}

void EnterFolderOf(const char* path) {
  char full[TBX_PATH];
  char* name = nullptr;
  DWORD n = GetFullPathNameA(path, sizeof full, full, &name);
  if (n == 0 || n >= sizeof full || !name || name == full) return;
  name[name - full > 1 ? -1 : 0] = '\0';   /* "/a/b/list.txt" -> "/a/b"; "/list.txt" -> "/" */
  SetCurrentDirectoryA(full);
}

static bool IsMidiName(const char* path) {
  const char* dot = strrchr(path, '.');
  if (!dot || strpbrk(dot, "/\\")) return false;
  std::string ext(dot);
  for (char& c : ext) c = (char)tolower((unsigned char)c);
  return ext == ".mid" || ext == ".midi" || ext == ".kar" || ext == ".rmi";
}

void OpenNamedFile(HWND hwnd, const char* path) {
  if (SessionActive() && !IsMidiName(path)) return;   /* the session's project is its own */
  if (IsPlaylistName(path)) OpenPlayList(hwnd, path);
  else if (IsMidiName(path)) ImportMidi(hwnd, path);
  else FileLoad(hwnd, FALSE, path);
}

/* ---------------------------------------------------------------- dialog folders */

const char* DialogFolder(const char* key) {
  const char* folder = PrefGet(key);
  return folder ? folder : "";
}

void RememberDialogFolder(const char* key, const char* path) {
  char full[TBX_PATH];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return;
  std::string folder(full);
  size_t slash = folder.find_last_of("/\\");
  if (slash == std::string::npos) return;
  folder.resize(slash == 0 ? 1 : slash);
  PrefSet(key, folder.c_str());
}

/* ---------------------------------------------------------------- recent files */

static std::string RecentKey(int i) { return "recent." + std::to_string(i + 1); }

/* The list as remembered, each path once (a file edited by hand may name one twice). */
static std::vector<std::string> RecentFiles(void) {
  std::vector<std::string> list;
  for (int i = 0; i < RECENT_FILES; i++) {
    const char* path = PrefGet(RecentKey(i).c_str());
    if (path && std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
  }
  return list;
}

/* A menu label shows '&' as an underline ("&&" is one '&'); a control character of a file
** name (a line end) shows as '?', so that every entry is one line. */
static std::string MenuLabel(int i, const std::string& path) {
  std::string label = "&" + std::to_string(i + 1) + " ";
  for (char c : path) {
    if (c == '&') label += '&';
    label += (unsigned char)c < 0x20 || c == 0x7F ? '?' : c;
  }
  return label;
}

void RefreshRecentMenu(void) {
  if (!hRecentMenu) return;
  for (int n = GetMenuItemCount(hRecentMenu); n > 0; n--) DeleteMenu(hRecentMenu, 0, MF_BYPOSITION);
  const std::vector<std::string> list = RecentFiles();
  for (size_t i = 0; i < list.size(); i++)
    AppendMenuA(hRecentMenu, MF_STRING, IDM_RECENT + (UINT)i, MenuLabel((int)i, list[i]).c_str());
  if (hFileMenu)
    EnableMenuItem(hFileMenu, GetMenuItemCount(hFileMenu) - 1,
                   MF_BYPOSITION | (list.empty() || SessionActive() ? MF_GRAYED : MF_ENABLED));
  if (gHwnd) DrawMenuBar(gHwnd);
}

static void StoreRecentFiles(const std::vector<std::string>& list) {
  PrefsHold(true);
  for (int i = 0; i < RECENT_FILES; i++)
    PrefSet(RecentKey(i).c_str(), i < (int)list.size() ? list[i].c_str() : nullptr);
  PrefsHold(false);
  RefreshRecentMenu();
}

void RememberFile(const char* path) {
  char full[TBX_PATH];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return;
  PrefsRefresh();
  std::vector<std::string> list{full};
  for (const std::string& p : RecentFiles())
    if (p != full && list.size() < RECENT_FILES) list.push_back(p);
  StoreRecentFiles(list);
}

void AppendRecentMenu(HMENU fileMenu) {
  hFileMenu = fileMenu;
  hRecentMenu = CreatePopupMenu();
  const bool empty = RecentFiles().empty();
  AppendMenuA(fileMenu, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(fileMenu, MF_POPUP | (empty ? MF_GRAYED : 0), (UINT_PTR)hRecentMenu, "Recent Files");
  RefreshRecentMenu();
}

/* Whether a file can be found as a load finds it (the last component in any letter case). */
static bool FileIsThere(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
  }
  CloseHandle(h);
  return true;
}

/* A file that is gone is taken off the list with the message a load of it would give;
** any other opens as the File menu opens it (and a file there but unreadable says so as a
** load does, staying on the list). */
void OnRecentCommand(HWND hwnd, UINT id) {
  std::vector<std::string> list = RecentFiles();
  const size_t i = id - IDM_RECENT;
  if (i >= list.size()) return;
  const std::string path = list[i];
  if (!FileIsThere(path.c_str())) {
    PrefsRefresh();
    list = RecentFiles();
    list.erase(std::remove(list.begin(), list.end(), path), list.end());
    StoreRecentFiles(list);
    ErrorMessage(hwnd, gszErrorNotFound, path.c_str());
    return;
  }
  OpenNamedFile(hwnd, path.c_str());
}

/* ---------------------------------------------------------------- MIDI ports by name */

/* The product name of a device; "" when it has none. */
static std::string DeviceName(bool output, int index) {
  char name[MAXPNAMELEN + 1] = "";
  if (output) {
    MIDIOUTCAPSA caps;
    memset(&caps, 0, sizeof caps);
    if (midiOutGetDevCapsA((UINT)index, &caps, sizeof caps) == MMSYSERR_NOERROR)
      memcpy(name, caps.szPname, MAXPNAMELEN);
  } else {
    MIDIINCAPSA caps;
    memset(&caps, 0, sizeof caps);
    if (midiInGetDevCapsA((UINT)index, &caps, sizeof caps) == MMSYSERR_NOERROR)
      memcpy(name, caps.szPname, MAXPNAMELEN);
  }
  name[MAXPNAMELEN] = '\0';
  return name;
}

/* The name without a trailing " N:M" (digits, a colon, digits), "" when it has none: the
** ALSA sequencer's client and port numbers, which a device plugged in again or a synth
** started again may change while its names stay. */
static std::string WithoutNumbers(const std::string& name) {
  size_t i = name.size(), digits = 0;
  while (i > 0 && isdigit((unsigned char)name[i - 1])) i--, digits++;
  if (digits == 0 || i == 0 || name[--i] != ':') return "";
  for (digits = 0; i > 0 && isdigit((unsigned char)name[i - 1]); i--) digits++;
  if (digits == 0 || i == 0 || name[--i] != ' ') return "";
  return name.substr(0, i);
}

/* Where `name` is among `names`: that name, else the only one that differs from it in its
** numbers alone; -1 when neither. */
static int FindPort(const std::vector<std::string>& names, const std::string& name) {
  for (size_t i = 0; i < names.size(); i++)
    if (names[i] == name) return (int)i;
  const std::string stem = WithoutNumbers(name);
  int found = -1, alike = 0;
  for (size_t i = 0; i < names.size() && !stem.empty(); i++)
    if (WithoutNumbers(names[i]) == stem && alike++ == 0) found = (int)i;
  return alike == 1 ? found : -1;
}

/* The names of the devices listed now. */
static std::vector<std::string> DeviceNames(bool output) {
  std::vector<std::string> names;
  const unsigned count = output ? midiOutGetNumDevs() : midiInGetNumDevs();
  for (unsigned i = 0; i < count; i++) names.push_back(DeviceName(output, (int)i));
  return names;
}

bool ListPorts(bool output) {
  const int k = output ? 0 : 1;
  Shared<int16_t>& port = output ? gMidiOutPort : gMidiInPort;
  Shared<int16_t>& shadow = output ? gOldMidiOutPort : gOldMidiInPort;
  const int16_t chosen = port.load();
  std::string name = absentPort[k];
  if (chosen >= 0 && (size_t)chosen < portNames[k].size()) name = portNames[k][chosen];
  std::vector<std::string> names = DeviceNames(output);
  const bool changed = names != portNames[k];
  portNames[k] = std::move(names);
  (output ? goNumDevs : giNumDevs) = (unsigned)portNames[k].size();
  if (name.empty()) return changed;   /* nothing chosen by name yet */
  const int at = FindPort(portNames[k], name);
  absentPort[k] = at < 0 ? name : "";
  port = (int16_t)(at < 0 ? (int)portNames[k].size() : at);
  if (shadow == chosen) shadow = port.load();
  return changed || port != chosen;
}

const char* PortName(bool output, unsigned index) {
  const std::vector<std::string>& names = portNames[output ? 0 : 1];
  return index < names.size() ? names[index].c_str() : "";
}

const char* PortAbsent(bool output) {
  const std::string& name = absentPort[output ? 0 : 1];
  return name.empty() ? nullptr : name.c_str();
}

int16_t RememberedPort(bool output, int16_t fallback) {
  const int k = output ? 0 : 1;
  portNames[k] = DeviceNames(output);
  (output ? goNumDevs : giNumDevs) = (unsigned)portNames[k].size();
  absentPort[k].clear();
  const char* want = PrefGet(output ? "midi.out" : "midi.in");
  const int at = want ? FindPort(portNames[k], want) : -1;
  return at >= 0 ? (int16_t)at : fallback;
}

void RememberPorts(void) {
  PrefsHold(true);
  if (gMidiOutPort >= 0 && (unsigned)gMidiOutPort < goNumDevs) PrefSet("midi.out", PortName(true, gMidiOutPort));
  if (gMidiInPort >= 0 && (unsigned)gMidiInPort < giNumDevs) PrefSet("midi.in", PortName(false, gMidiInPort));
  PrefsHold(false);
}

/* ---------------------------------------------------------------- synchronisation */

/* The settings file's keys of the four sync items, in flag order. */
static const char* const kSyncKeys[SYNC_FLAGS] = {"sync.send-clock", "sync.follow-clock",
                                                   "sync.jack-transport", "sync.jack-master"};

/* Only a checked item is set: unchecked is how every run starts. */
void RestoreSyncFlags(void) {
  for (int flag = 0; flag < SYNC_FLAGS; flag++)
    if (PrefGetInt(kSyncKeys[flag], 0) != 0) SyncChoose(flag, 1);
}

void RememberSyncFlags(void) {
  PrefsHold(true);
  for (int flag = 0; flag < SYNC_FLAGS; flag++) PrefSetInt(kSyncKeys[flag], SyncGet(flag) ? 1 : 0);
  PrefsHold(false);
}

/* ---------------------------------------------------------------- beat time */

void RestoreBeatTime(void) { gbMidiBeatTime = PrefGetInt("midi.beat-time", 0) != 0; }

void OnBeatTimeCommand(void) {
  gbMidiBeatTime = !gbMidiBeatTime;
  CheckMenuItem(ghMenu, IDM_BEATTIME, MF_BYCOMMAND | (gbMidiBeatTime ? MF_CHECKED : MF_UNCHECKED));
  PrefSetInt("midi.beat-time", gbMidiBeatTime);
}

/* ---------------------------------------------------------------- the built-in synthesizer */

/* "0.5", "1", ".75" in thousandths; -1 when the text is no such number up to the maximum. */
static long Thousandths(const char* text) {
  long whole = 0, frac = 0, scale = 1000;
  const char* p = text;
  bool digits = false;
  for (; *p >= '0' && *p <= '9'; p++, digits = true)
    if ((whole = whole * 10 + (*p - '0')) > TBX_SYNTH_GAIN_MAX) return -1;
  if (*p == '.')
    for (p++; *p >= '0' && *p <= '9'; p++, digits = true)
      if (scale > 1) frac += (*p - '0') * (scale /= 10);
  if (!digits || *p != '\0') return -1;
  const long value = whole * 1000 + frac;
  return value <= TBX_SYNTH_GAIN_MAX ? value : -1;
}

void ApplySynthSettings(void) {
  if (goNumDevs == 0 || DeviceName(true, 0) != TBX_SYNTH_NAME) return;
  HMIDIOUT synth = (HMIDIOUT)(UINT_PTR)0;   /* driver messages go to the device id */
  PrefsHold(true);
  const char* soundfont = PrefGet("synth.soundfont");
  if (soundfont && midiOutMessage(synth, TBXM_SETSOUNDFONT, (DWORD_PTR)soundfont, 0) != MMSYSERR_NOERROR) {
    /* One that is there but no soundfont FluidSynth can load is not kept: the one in use
    ** takes its place below. One that is missing stays for when it is back (a drive that
    ** is not mounted). */
    const bool there = GetFileAttributesA(soundfont) != INVALID_FILE_ATTRIBUTES;
    fprintf(stderr, "tamborix: the soundfont %s of the settings file cannot be used (%s); playing with the "
                    "distribution's\n", soundfont, there ? "it cannot be loaded" : "it is missing");
    if (there) soundfont = nullptr;
  }
  char inUse[TBX_PATH] = "";
  if (!soundfont && midiOutMessage(synth, TBXM_GETSOUNDFONT, (DWORD_PTR)inUse, sizeof inUse) == MMSYSERR_NOERROR &&
      inUse[0])
    PrefSet("synth.soundfont", inUse);
  const char* gain = PrefGet("synth.gain");
  const long thousandths = gain ? Thousandths(gain) : -1;
  if (gain && thousandths < 0)
    fprintf(stderr, "tamborix: synth.gain=%s of the settings file is not a gain from 0 to %d; playing with "
                    "the default\n", gain, TBX_SYNTH_GAIN_MAX / 1000);
  if (thousandths >= 0) {
    midiOutMessage(synth, TBXM_SETGAIN, (DWORD_PTR)thousandths, 0);
  } else if (!gain) {
    DWORD now = 0;
    if (midiOutMessage(synth, TBXM_GETGAIN, (DWORD_PTR)&now, 0) == MMSYSERR_NOERROR) {
      char text[32];
      snprintf(text, sizeof text, "%lu.%03lu", (unsigned long)(now / 1000), (unsigned long)(now % 1000));
      PrefSet("synth.gain", text);
    }
  }
  PrefsHold(false);
}

/* ---------------------------------------------------------------- drag and drop */

/* The first file of a drop opens as from the File menu; the others are not taken. */
LRESULT OnDropFiles(HWND hwnd, HDROP drop) {
  const UINT length = DragQueryFileA(drop, 0, nullptr, 0);
  std::string path(length, '\0');
  if (length > 0) DragQueryFileA(drop, 0, path.data(), length + 1);
  DragFinish(drop);
  if (!path.empty() && path.find('\0') == std::string::npos) OpenNamedFile(hwnd, path.c_str());
  ShowUndoState();  /* a file read starts the history again */
  return 0;
}
