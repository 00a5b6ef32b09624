/*
** The display-free arithmetic of the FLTK display (declared in logic.h): where a scroll
** bar's parts lie and what a press on them requests, the GDI rules for the last pixel of a
** line, menu labels split into label and shortcut, Win32 file filters turned into FLTK
** patterns, file titles and default extensions, tab stops, and the display's scale.
*/
#include "platform/fltk/logic.h"
#include "platform/split.h"

#include <FL/Enumerations.H>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

/* a * b / c rounded to the nearest integer (c > 0), as MulDiv does. */
static int MulDivRound(int a, int b, int c) {
  long long p = (long long)a * b;
  return (int)(p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c));
}

/* ---------------------------------------------------------------- scroll bars */

ScrollGeometry ScrollLayout(int w, int h, int min, int max, int pos) {
  ScrollGeometry g;
  g.arrow = std::max(0, h < 2 * w ? h / 2 : w);
  g.trackTop = g.arrow;
  g.trackLen = std::max(0, h - 2 * g.arrow);
  g.thumb = g.trackLen >= w && w > 0 ? w : 0;
  g.thumbTop = g.trackTop;
  if (g.thumb && max > min) {
    pos = std::clamp(pos, min, max);
    g.thumbTop = g.trackTop + MulDivRound(pos - min, g.trackLen - g.thumb, max - min);
  }
  return g;
}

int ScrollPosFromThumb(const ScrollGeometry& g, int min, int max, int thumbTop) {
  int travel = g.trackLen - g.thumb;
  if (!g.thumb || travel <= 0 || max <= min) return min;
  int t = std::clamp(thumbTop - g.trackTop, 0, travel);
  return min + MulDivRound(t, max - min, travel);
}

int ScrollHitTest(const ScrollGeometry& g, int h, int y) {
  if (y < g.arrow) return SB_LINEUP;
  if (y >= h - g.arrow) return SB_LINEDOWN;
  if (!g.thumb) return y < g.trackTop + g.trackLen / 2 ? SB_PAGEUP : SB_PAGEDOWN;
  if (y < g.thumbTop) return SB_PAGEUP;
  if (y >= g.thumbTop + g.thumb) return SB_PAGEDOWN;
  return SB_THUMBTRACK;
}

/* ---------------------------------------------------------------- GDI shapes */

void LineLastPixel(int x1, int y1, int x2, int y2, int* xl, int* yl) {
  int dx = x2 - x1, dy = y2 - y1;
  int n = std::max(std::abs(dx), std::abs(dy));
  if (n == 0) {
    *xl = x1;
    *yl = y1;
    return;
  }
  *xl = x1 + MulDivRound(dx, n - 1, n);
  *yl = y1 + MulDivRound(dy, n - 1, n);
}

/* ---------------------------------------------------------------- menu labels */

static bool EqualNoCase(const std::string& a, const char* b) {
  size_t n = a.size();
  if (n != std::char_traits<char>::length(b)) return false;
  for (size_t i = 0; i < n; i++)
    if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i])) return false;
  return true;
}

/* "Ctrl+N", "Shift+F5", "Alt+X" as an FLTK shortcut; 0 when it is something else. */
static int ParseShortcut(const std::string& text) {
  int mods = 0;
  size_t start = 0;
  for (;;) {
    size_t plus = text.find('+', start);
    if (plus == std::string::npos || plus + 1 >= text.size()) break;
    std::string mod = text.substr(start, plus - start);
    if (EqualNoCase(mod, "Ctrl")) mods |= FL_CTRL;
    else if (EqualNoCase(mod, "Shift")) mods |= FL_SHIFT;
    else if (EqualNoCase(mod, "Alt")) mods |= FL_ALT;
    else return 0;
    start = plus + 1;
  }
  std::string key = text.substr(start);
  if (key.size() == 1 && std::isalnum((unsigned char)key[0]))
    return mods | std::tolower((unsigned char)key[0]);
  if (key.size() >= 2 && key.size() <= 3 && (key[0] == 'F' || key[0] == 'f')) {
    int n = std::atoi(key.c_str() + 1);
    if (n >= 1 && n <= 12) return mods | (FL_F + n);
  }
  return 0;
}

void SplitMenuLabel(const std::string& text, std::string* label, int* shortcut,
                    std::string* shortcutText) {
  size_t tab = text.find('\t');
  *shortcut = 0;
  shortcutText->clear();
  if (tab == std::string::npos) {
    *label = text;
    return;
  }
  *label = text.substr(0, tab);
  *shortcutText = text.substr(tab + 1);
  *shortcut = ParseShortcut(*shortcutText);
}

/* ---------------------------------------------------------------- file dialogs */

/* One Win32 pattern ("*.tbx") as a case-blind FLTK pattern ("*.[Tt][Bb][Xx]"). */
static std::string CaseBlind(const std::string& p) {
  std::string out;
  for (char c : p) {
    unsigned char u = (unsigned char)c;
    if (std::isalpha(u)) {
      out += '[';
      out += (char)std::toupper(u);
      out += (char)std::tolower(u);
      out += ']';
    } else if (c == '[' || c == ']' || c == '{' || c == '}' || c == ',' || c == '\\') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

std::string FlPattern(const std::string& winPattern) {
  std::vector<std::string> parts;
  for (std::string p : SplitAt(winPattern, ';')) {
    while (!p.empty() && p.front() == ' ') p.erase(p.begin());
    while (!p.empty() && p.back() == ' ') p.pop_back();
    /* "*.*" means every file on Windows, also names without a dot */
    if (p == "*.*" || p == "*") return "*";
    if (!p.empty()) parts.push_back(CaseBlind(p));
  }
  if (parts.empty()) return "*";
  if (parts.size() == 1) return parts[0];
  std::string out = "{";
  for (size_t i = 0; i < parts.size(); i++) out += (i ? "," : "") + parts[i];
  return out + "}";
}

std::string FlFilter(const std::vector<FileFilter>& filters) {
  std::string out;
  for (const FileFilter& f : filters) {
    /* Fl_File_Chooser reads the pattern between the entry's last parentheses; a Win32
    ** description usually shows its pattern already ("Text Files (*.TXT)"), so that part
    ** is replaced. Tabs separate the entries. */
    std::string desc = f.description;
    size_t open = desc.rfind('(');
    if (open != std::string::npos && desc.back() == ')') desc.erase(open);
    while (!desc.empty() && desc.back() == ' ') desc.pop_back();
    for (char& c : desc)
      if (c == '\t') c = ' ';
    if (!out.empty()) out += '\t';
    out += desc + " (" + FlPattern(f.pattern) + ")";
  }
  return out;
}

std::string PathTitle(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ApplyDefaultExtension(const std::string& path, const std::string& defExt) {
  std::string title = PathTitle(path);
  if (defExt.empty() || title.empty() || title.find('.') != std::string::npos) return path;
  return path + "." + defExt;
}

/* ---------------------------------------------------------------- tab stops */

std::vector<TextPiece> ExpandTabs(const std::string& line, int tabWidth,
                                  int (*width)(const char* s, int n)) {
  std::vector<TextPiece> pieces;
  int x = 0;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    size_t end = tab == std::string::npos ? line.size() : tab;
    if (end > start) {
      pieces.push_back({line.substr(start, end - start), x});
      x += width(line.data() + start, (int)(end - start));
    }
    if (tab == std::string::npos) break;
    if (tabWidth > 0) x = (x / tabWidth + 1) * tabWidth;
    start = tab + 1;
  }
  return pieces;
}

/* ---------------------------------------------------------------- dropped files */

static int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* A file URI's path, percent-decoded; false when it names no local file. */
static bool FileUriPath(const std::string& uri, std::string* path) {
  static const char kScheme[] = "file://";
  if (uri.compare(0, sizeof kScheme - 1, kScheme) != 0) return false;
  std::string rest = uri.substr(sizeof kScheme - 1);
  const size_t slash = rest.find('/');
  if (slash == std::string::npos) return false;
  const std::string host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return false;
  path->clear();
  for (size_t i = slash; i < rest.size(); i++) {
    const int hi = rest[i] == '%' && i + 2 < rest.size() ? HexValue(rest[i + 1]) : -1;
    const int lo = hi >= 0 ? HexValue(rest[i + 2]) : -1;
    if (lo < 0) {
      *path += rest[i];
      continue;
    }
    if (hi == 0 && lo == 0) return false;
    *path += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

std::vector<std::string> DroppedFiles(const std::string& uriList) {
  std::vector<std::string> paths;
  for (std::string line : SplitAt(uriList, '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::string path;
    if (line[0] == '/') paths.push_back(line);
    else if (FileUriPath(line, &path)) paths.push_back(path);
  }
  return paths;
}

/* ---------------------------------------------------------------- scale */

int ScaleQuarters(const char* forced, double dpi, bool* refused) {
  *refused = false;
  if (forced && *forced) {
    char* end = nullptr;
    const double value = std::strtod(forced, &end);
    const double quarters = value * 4;
    if (end != forced && *end == '\0' && quarters >= 4 && quarters <= 8 && quarters == std::floor(quarters))
      return static_cast<int>(quarters);
    *refused = true;
  }
  /* X reports a screen's size in whole millimetres: its dpi comes out a hair off the round
  ** number it was set to (143.99 for 144), so it is rounded to a whole dpi first. */
  const long whole = dpi > 0 && dpi < 1e6 ? std::lround(dpi) : 96;
  return static_cast<int>(std::clamp(whole / 24, 4L, 8L));
}
