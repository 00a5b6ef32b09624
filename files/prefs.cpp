/*
** The settings file (prefs.h): its place, reading it into a table of keys and values, and
** writing what changed back into it.
**
** A write never replaces the file with the table: it reads the file again and changes only
** the lines of the keys this run changed (a changed key's first line takes the new value,
** its other lines go, a new key is appended), so every other line stays as it is (comments,
** lines this version cannot read, and what another program running beside this one wrote
** meanwhile), and the table then takes what the file holds. A file that is not one the
** program can read (too large, binary, unreadable) is never written, nor is a symbolic link
** to anything but a settings file the program wrote (it starts with kHeader).
**
** Values are written as they are, unless they hold a control character or start with '"':
** then they are written in double quotes with C escapes (\\ \" \n \r \t \xHH), so that a
** file name with a line end in it is kept exactly. A value in double quotes that is no such
** escaped text (an older file) is taken as it stands.
*/
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"
#include "files/prefs.h"

#define PREFS_MAX_BYTES 65536  /* a larger file is not one the program wrote */

static std::map<std::string, std::string> gPrefs;  /* key -> value; window thread */
/* Changes of this run not yet in the file: key -> new value, or none for a removal. */
static std::map<std::string, std::optional<std::string>> gPending;
static std::string gPrefsPath;                     /* the file; "" = memory only */
static bool gbPrefsWriteFailed;                    /* the failure was reported */
static int gPrefsHolds;                            /* PrefsHold depth */

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

/* ---------------------------------------------------------------- keys and values */

static bool ValidKey(const std::string& key) {
  if (key.empty()) return false;
  for (const char c : key) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

static bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

static std::string EncodeValue(const std::string& value) {
  bool plain = value.empty() || value[0] != '"';
  for (const unsigned char c : value) plain = plain && !IsControl(c);
  if (plain) return value;
  std::string out = "\"";
  for (const unsigned char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (IsControl(c)) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

static std::string DecodeValue(const std::string& raw) {
  if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') return raw;
  std::string out;
  for (size_t i = 1; i + 1 < raw.size(); i++) {
    char c = raw[i];
    if (c == '"') return raw;
    if (c == '\\') {
      if (i + 2 >= raw.size()) return raw;
      switch (raw[++i]) {
        case '\\': c = '\\'; break;
        case '"': c = '"'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'x': {
          const int hi = i + 2 < raw.size() - 1 ? HexDigit(raw[i + 1]) : -1;
          const int lo = hi >= 0 ? HexDigit(raw[i + 2]) : -1;
          if (lo < 0 || hi * 16 + lo == 0) return raw;
          c = static_cast<char>(hi * 16 + lo);
          i += 2;
          break;
        }
        default: return raw;
      }
    }
    out += c;
  }
  return out;
}

/* ---------------------------------------------------------------- lines */

/* The lines of a text, each without its '\n' (a '\r' before it stays, as it was). */
static std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

/* The key of a line that holds a setting (its value into *value, decoded), "" for a
** comment, a blank line or a line that is not key=value (*bad then tells which). */
static std::string LineKey(std::string line, std::string* value, bool* bad) {
  *bad = false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || line[0] == '#') return "";
  const size_t eq = line.find('=');
  if (eq == std::string::npos || !ValidKey(line.substr(0, eq))) {
    *bad = true;
    return "";
  }
  *value = DecodeValue(line.substr(eq + 1));
  return line.substr(0, eq);
}

/* The settings of a text; the number of its first line that is no setting, comment or
** blank line (1-based), 0 when there is none. */
static int ParsePrefs(const std::string& text, std::map<std::string, std::string>* out) {
  int firstBad = 0, number = 0;
  for (const std::string& line : Lines(text)) {
    number++;
    std::string value;
    bool bad;
    const std::string key = LineKey(line, &value, &bad);
    if (bad && !firstBad) firstBad = number;
    if (!key.empty()) (*out)[key] = value;
  }
  return firstBad;
}

/* The text with the pending changes made in it (see the top of this file). */
static std::string ApplyPending(const std::string& text) {
  std::map<std::string, std::optional<std::string>> left = gPending;
  std::string out;
  for (const std::string& line : Lines(text)) {
    std::string value;
    bool bad;
    const std::string key = LineKey(line, &value, &bad);
    auto change = key.empty() ? gPending.end() : gPending.find(key);
    if (change == gPending.end()) {
      out += line + "\n";
    } else if (left.erase(key) && change->second) {
      out += key + "=" + EncodeValue(*change->second) + "\n";
    }
  }
  if (out.empty()) out = kHeader;
  for (const auto& [key, value] : left)
    if (value) out += key + "=" + EncodeValue(*value) + "\n";
  return out;
}

/* ---------------------------------------------------------------- reading and writing */

enum PrefsRead { PREFS_MISSING, PREFS_TEXT, PREFS_TOO_LARGE, PREFS_BINARY, PREFS_UNREADABLE };

/* The file's bytes into `text`, and what they are. */
static PrefsRead ReadPrefsFile(const std::string& path, std::string* text) {
  text->clear();
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PREFS_MISSING : PREFS_UNREADABLE;
  }
  DWORD high = 0;
  const DWORD size = GetFileSize(h, &high);
  PrefsRead result = PREFS_TEXT;
  if (size == INVALID_FILE_SIZE) {
    result = PREFS_UNREADABLE;
  } else if (high != 0 || size > PREFS_MAX_BYTES) {
    result = PREFS_TOO_LARGE;
  } else {
    text->resize(size);
    DWORD nRead = 0;
    if (size != 0 && !(ReadFile(h, text->data(), size, &nRead, NULL) && nRead == size)) result = PREFS_UNREADABLE;
    else if (text->find('\0') != std::string::npos) result = PREFS_BINARY;
  }
  CloseHandle(h);
  return result;
}

static const char* ReadProblem(PrefsRead read) {
  switch (read) {
    case PREFS_TOO_LARGE: return "too large to be one";
    case PREFS_BINARY: return "not text";
    default: return "cannot be read";
  }
}

/* Says once per run that changes are not written, and why (`what` has one "%s": the path). */
static void WriteRefused(const std::string& what) {
  if (!gbPrefsWriteFailed) {
    std::fprintf(stderr, "tamborix: ");
    std::fprintf(stderr, what.c_str(), gPrefsPath.c_str());
    std::fprintf(stderr, "; changes are not remembered\n");
  }
  gbPrefsWriteFailed = true;
}

/* Writes the pending changes into the file now; false when it could not be written. */
static bool WriteNow(void) {
  if (gPrefsPath.empty()) {
    gPending.clear();
    return true;
  }
  std::string text;
  const PrefsRead read = ReadPrefsFile(gPrefsPath, &text);
  if (read != PREFS_MISSING && read != PREFS_TEXT) {
    WriteRefused(std::string("the settings file %s is ") + ReadProblem(read) + " and is left as it is");
    return false;
  }
  const DWORD attributes = GetFileAttributesA(gPrefsPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      text.compare(0, sizeof kHeader - 1, kHeader) != 0) {
    WriteRefused("the settings file %s links to a file that is not a settings file of this program");
    return false;
  }
  text = ApplyPending(text);
  MakeFolderFor(gPrefsPath);
  if (WriteWholeFile(gPrefsPath.c_str(), text.data(), static_cast<DWORD>(text.size())) != WRITE_OK) {
    WriteRefused("cannot write the settings file %s (error " + std::to_string(GetLastError()) + ")");
    return false;
  }
  gbPrefsWriteFailed = false;
  gPending.clear();
  gPrefs.clear();
  ParsePrefs(text, &gPrefs);
  return true;
}

static void WritePrefs(void) {
  if (gPrefsHolds > 0 || gPending.empty()) return;
  WriteNow();
}

bool PrefsFlush(void) {
  /* Every value is written, so the file holds the whole table even when it was removed or
  ** never written (a session's new folder). */
  for (const auto& [key, value] : gPrefs) gPending[key] = value;
  return WriteNow();
}

void PrefsOpen(const char* path) {
  gPrefs.clear();
  gPending.clear();
  gPrefsPath = path ? path : "";
  gbPrefsWriteFailed = false;
  gPrefsHolds = 0;
  if (gPrefsPath.empty()) return;
  std::string text;
  const PrefsRead read = ReadPrefsFile(gPrefsPath, &text);
  if (read != PREFS_MISSING && read != PREFS_TEXT) {
    std::fprintf(stderr, "tamborix: the settings file %s is %s; starting with the defaults, and it is left as it is\n",
                 gPrefsPath.c_str(), ReadProblem(read));
    return;
  }
  if (const int line = ParsePrefs(text, &gPrefs))
    std::fprintf(stderr, "tamborix: the settings file %s is damaged (line %d); what cannot be read is left out\n",
                 gPrefsPath.c_str(), line);
}

void PrefsReset(void) { PrefsOpen(nullptr); }

void PrefsRefresh(void) {
  std::string text;
  if (gPrefsPath.empty() || ReadPrefsFile(gPrefsPath, &text) != PREFS_TEXT) return;
  gPrefs.clear();
  ParsePrefs(text, &gPrefs);
  for (const auto& [key, value] : gPending) {
    if (value) gPrefs[key] = *value;
    else gPrefs.erase(key);
  }
}

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
  if (!key || !ValidKey(key)) return false;
  auto it = gPrefs.find(key);
  if (!value || !*value) {
    if (it == gPrefs.end()) return true;
    gPrefs.erase(it);
    gPending[key] = std::nullopt;
  } else {
    if (it != gPrefs.end() && it->second == value) return true;
    gPrefs[key] = value;
    gPending[key] = std::string(value);
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
  if (gPrefsHolds > 0 && --gPrefsHolds == 0) WritePrefs();
}
