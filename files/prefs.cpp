/*
** The settings file (prefs.h): its place, reading it whole into a table of keys and values,
** and writing the table back through the safe replacement whenever a value changes.
*/
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "files/files.h"
#include "files/prefs.h"

#define PREFS_MAX_BYTES 65536  /* a larger file is not one the program wrote */

static std::map<std::string, std::string> gPrefs; /* key -> value; window thread */
static std::string gPrefsPath;                    /* the file; "" = memory only */
static bool gbPrefsWriteFailed;                   /* the failure was reported */
static int gPrefsHolds;                           /* PrefsHold depth */
static bool gbPrefsDirty;                         /* changed while held */

static const char kHeader[] = "# Tamborix settings: one key=value a line\n";

/* ---------------------------------------------------------------- place */

std::string PrefsDefaultPath(void) {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/tamborix/settings.conf";
  const char* home = std::getenv("HOME");
  if (home && home[0]) return std::string(home) + "/.config/tamborix/settings.conf";
  const char* appData = std::getenv("APPDATA");
  if (appData && appData[0]) return std::string(appData) + "\\Tamborix\\settings.conf";
  return "";
}

/* The part of a path before its last separator ("" for a bare name). */
static std::string FolderPart(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

/* Makes the file's folder, and the folder that holds it when that is missing too
** (~/.config on a new account). */
static void MakeFolderFor(const std::string& path) {
  const std::string folder = FolderPart(path);
  if (folder.empty() || CreateDirectoryA(folder.c_str(), NULL) || GetLastError() != ERROR_PATH_NOT_FOUND) return;
  const std::string parent = FolderPart(folder);
  if (!parent.empty()) CreateDirectoryA(parent.c_str(), NULL);
  CreateDirectoryA(folder.c_str(), NULL);
}

/* ---------------------------------------------------------------- keys and lines */

static bool ValidKey(const char* key) {
  if (!key || !*key) return false;
  for (const char* p = key; *p; p++) {
    const char c = *p;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

static bool ValidValue(const char* value) { return std::strpbrk(value, "\r\n") == nullptr; }

/* Parses the file's text into `out`; the number of the first line that is not a comment,
** a blank line or key=value (1-based), 0 when all are. */
static int ParsePrefs(const std::string& text, std::map<std::string, std::string>* out) {
  if (text.find('\0') != std::string::npos) return 1;
  size_t pos = 0;
  for (int line = 1; pos < text.size(); line++) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(pos, end - pos);
    pos = end + 1;
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (l.empty() || l[0] == '#') continue;
    const size_t eq = l.find('=');
    if (eq == std::string::npos) return line;
    const std::string key = l.substr(0, eq);
    if (!ValidKey(key.c_str())) return line;
    (*out)[key] = l.substr(eq + 1);
  }
  return 0;
}

/* ---------------------------------------------------------------- reading and writing */

/* The file's bytes into `text`: false when it cannot be read (a missing file is "" and
** true), or is larger than any the program writes. */
static bool ReadPrefsFile(const std::string& path, std::string* text, bool* tooLarge) {
  *tooLarge = false;
  text->clear();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  const DWORD size = GetFileSize(h, NULL);
  bool ok = size != INVALID_FILE_SIZE;
  if (ok && size > PREFS_MAX_BYTES) {
    *tooLarge = true;
    ok = false;
  }
  if (ok) {
    text->resize(size);
    DWORD nRead = 0;
    ok = size == 0 || (ReadFile(h, text->data(), size, &nRead, NULL) && nRead == size);
  }
  CloseHandle(h);
  return ok;
}

/* Writes the table now; false when the file could not be written. */
static bool WriteNow(void) {
  gbPrefsDirty = false;
  if (gPrefsPath.empty()) return true;
  std::string text = kHeader;
  for (const auto& [key, value] : gPrefs) text += key + "=" + value + "\n";
  MakeFolderFor(gPrefsPath);
  if (WriteWholeFile(gPrefsPath.c_str(), text.data(), static_cast<DWORD>(text.size())) == WRITE_OK) {
    gbPrefsWriteFailed = false;
    return true;
  }
  if (!gbPrefsWriteFailed)
    std::fprintf(stderr, "tamborix: cannot write the settings file %s (error %lu); changes are not remembered\n",
                 gPrefsPath.c_str(), static_cast<unsigned long>(GetLastError()));
  gbPrefsWriteFailed = true;
  return false;
}

static void WritePrefs(void) {
  if (gPrefsHolds > 0) {
    gbPrefsDirty = true;
    return;
  }
  WriteNow();
}

bool PrefsFlush(void) { return WriteNow(); }

void PrefsOpen(const char* path) {
  gPrefs.clear();
  gPrefsPath = path ? path : "";
  gbPrefsWriteFailed = false;
  gPrefsHolds = 0;
  gbPrefsDirty = false;
  if (gPrefsPath.empty()) return;
  std::string text;
  bool tooLarge;
  if (!ReadPrefsFile(gPrefsPath, &text, &tooLarge)) {
    std::fprintf(stderr, "tamborix: the settings file %s %s; starting with the defaults\n", gPrefsPath.c_str(),
                 tooLarge ? "is too large to be one" : "cannot be read");
    return;
  }
  std::map<std::string, std::string> read;
  if (int line = ParsePrefs(text, &read)) {
    std::fprintf(stderr, "tamborix: the settings file %s is damaged (line %d); starting with the defaults\n",
                 gPrefsPath.c_str(), line);
    return;
  }
  gPrefs = std::move(read);
}

void PrefsReset(void) { PrefsOpen(nullptr); }

/* ---------------------------------------------------------------- values */

const char* PrefGet(const char* key) {
  auto it = key ? gPrefs.find(key) : gPrefs.end();
  return it == gPrefs.end() ? nullptr : it->second.c_str();
}

int PrefGetInt(const char* key, int fallback) {
  const char* v = PrefGet(key);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  const long n = std::strtol(v, &end, 10);
  if (*end != '\0' || n < -2147483647L || n > 2147483647L) return fallback;
  return static_cast<int>(n);
}

bool PrefSet(const char* key, const char* value) {
  if (!ValidKey(key) || (value && !ValidValue(value))) return false;
  auto it = gPrefs.find(key);
  if (!value || !*value) {
    if (it == gPrefs.end()) return true;
    gPrefs.erase(it);
  } else {
    if (it != gPrefs.end() && it->second == value) return true;
    gPrefs[key] = value;
  }
  WritePrefs();
  return true;
}

bool PrefSetInt(const char* key, int value) { return PrefSet(key, std::to_string(value).c_str()); }

void PrefsHold(bool hold) {
  if (hold) {
    gPrefsHolds++;
    return;
  }
  if (gPrefsHolds > 0 && --gPrefsHolds == 0 && gbPrefsDirty) WritePrefs();
}
