/*
** Playlist text files: reading the whole list into memory and handing out one entry at a
** time. The text format: entries end at CR, ',' or ';' (or the end of the text); ';' starts
** a comment to the next CR; CR, LF, space and tab before an entry are skipped; spaces and
** tabs inside an entry are dropped; a LF inside an entry belongs to the name; one LF after
** an entry's separator is consumed; an empty entry (a ',' before any name character) ends
** the list; a name without any '.' gets ".TBX".
**
** parseNextFileName runs on the window thread and, while a playlist plays, on the timer
** thread. A list read again while a run is active must not free the text that run may
** still be parsing: replaced texts are kept until a read or the window's close finds no
** run active.
*/
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/seam.h"
#include "files/files.h"
#include "pattern/pattern.h"

char gszListName[TBX_PATH];
char gszNextTambroFile[TBX_PATH];
char* gpListBuffer;               /* list text + two zero bytes; NULL before any list */
char* gpReadPointer;              /* read position in gpListBuffer; NULL before any list */
Shared<int> gbSavingMidiFile;
Shared<int> gbListInUse;

/* Texts replaced while a run was active, freed once no run can be reading them. Window
** thread only. */
static std::vector<char*> retiredLists;

static void FreeRetiredLists(void) {
  for (char* text : retiredLists) delete[] text;
  retiredLists.clear();
}

void FreePlayList(void) {
  delete[] gpListBuffer;
  gpListBuffer = NULL;
  gpReadPointer = NULL;
  FreeRetiredLists();
}

/* Makes text the list in use, keeping the one it replaces alive while a run is active. */
static void InstallList(char* text) {
  if (gpListBuffer) {
    if (gbListInUse) {
      retiredLists.push_back(gpListBuffer);
    } else {
      delete[] gpListBuffer;
      FreeRetiredLists();
    }
  }
  gpListBuffer = text;
  gpReadPointer = text;
}

const char* PlayListRead(const char* szListName) {
  HANDLE h = CreateFileA(szListName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return gszErrorNotFound;
  /* A size or read that fails, or a read that stops short, is reported as unreadable and
  ** keeps the list in use as it was: a list is only ever taken whole. */
  DWORD size = GetFileSize(h, NULL);
  char* text = size == INVALID_FILE_SIZE ? NULL : new (std::nothrow) char[size_t(size) + 2];
  DWORD nRead = 0;
  BOOL ok = text != NULL && ReadFile(h, text, size, &nRead, NULL) && nRead == size;
  CloseHandle(h);
  if (!ok) {
    delete[] text;
    return gszErrorCannotRead;
  }
  text[size] = '\0';
  text[size + 1] = '\0';
  InstallList(text);
  if (!parseNextFileName()) return gszErrorNotFound;
  gbFirstFile = 1;
  gbLoadMidi = 0;
  return NULL;
}

/* Parses one entry from p into entry. Returns the position after the entry, or NULL when
** there is no further entry. */
static const char* ParseEntry(const char* p, std::string* entry) {
  for (;;) {
    while (*p == '\r' || *p == '\n' || *p == ' ' || *p == '\t') ++p;
    if (*p != ';') break;
    while (*p && *p != '\r') ++p; /* a line that holds only a comment */
  }
  if (*p == '\0' || *p == ',') return NULL; /* end of the text, or an empty entry */
  entry->clear();
  bool dot = false;
  for (; *p && *p != '\r' && *p != ',' && *p != ';'; ++p) {
    if (*p == ' ' || *p == '\t') continue;
    if (*p == '.') dot = true;
    *entry += *p;
  }
  if (!dot) *entry += ".TBX";
  if (*p == ';')
    while (*p && *p != '\r') ++p;
  if (*p == '\r' || *p == ',') ++p;
  if (*p == '\n') ++p;
  return p;
}

/* An entry longer than the 259 characters of the name buffers is not cut (the cut name
** may be another file): the buffers get its beginning and ".../" (StorePath), which the
** load then reports as missing. */
int parseNextFileName(void) {
  if (gbNeedSave) SeamAskYesNoSave(gszNextTambroFile);
  const char* p = gpReadPointer;
  if (p == NULL || *p == '\0') return 0;
  std::string entry;
  const char* next = ParseEntry(p, &entry);
  if (next == NULL) {
    /* An empty entry ends the list: nothing after it is read, now or later. */
    gpReadPointer += std::strlen(p);
    return 0;
  }
  gpReadPointer += next - p;
  StorePath(gszNextTambroFile, entry.c_str());
  std::memcpy(gszFileName, gszNextTambroFile, sizeof gszNextTambroFile);
  std::memcpy(gszTitleName, gszNextTambroFile, sizeof gszNextTambroFile);
  if (!gbSavingMidiFile) SeamCaption(gszTitleName);
  return 1;
}
