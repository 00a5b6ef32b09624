/*
** The arithmetic of the FLTK display that needs no display, kept apart so that it can be
** tested on its own: scroll bar geometry and hit testing, GDI shape rules, menu labels and
** their shortcut texts, file dialog filters and names, tab stops of static texts, the
** names of files dropped on a window, the choice of the display's scale.
*/
#ifndef TBX_PLATFORM_FLTK_LOGIC_H
#define TBX_PLATFORM_FLTK_LOGIC_H

#include <string>
#include <vector>

#include "platform/display.h"

/* A vertical scroll bar of width w and height h (pixels): the arrow buttons, the track
** between them and the thumb, whose height is the bar's width (a scroll bar without a page
** size has a square thumb). Positions run from `min` (top) to `max` (bottom). */
struct ScrollGeometry {
  int arrow;          /* height of each arrow button */
  int trackTop;       /* first pixel row of the track (relative to the bar) */
  int trackLen;       /* pixel rows of the track */
  int thumb;          /* thumb height; 0 when the track is too short to show one */
  int thumbTop;       /* first pixel row of the thumb (relative to the bar) */
};
ScrollGeometry ScrollLayout(int w, int h, int min, int max, int pos);
/* The position a thumb whose top is dragged to `thumbTop` stands for (clamped). */
int ScrollPosFromThumb(const ScrollGeometry& g, int min, int max, int thumbTop);
/* What a press at pixel row y of the bar requests: SB_LINEUP, SB_LINEDOWN, SB_PAGEUP,
** SB_PAGEDOWN or SB_THUMBTRACK (on the thumb). */
int ScrollHitTest(const ScrollGeometry& g, int h, int y);

/* GDI shapes cover left..right-1, top..bottom-1; with a null pen they shrink by one pixel
** on the right and bottom. The end pixel of a line is not drawn: the last pixel to draw. */
void LineLastPixel(int x1, int y1, int x2, int y2, int* xl, int* yl);

/* Splits a Win32 menu label at its tab into the label and the shortcut (FL_CTRL + key,
** 0 when the text is not a Ctrl/Shift/Alt + key combination FLTK can show). */
void SplitMenuLabel(const std::string& text, std::string* label, int* shortcut,
                    std::string* shortcutText);

/* A Win32 file pattern list ("*.txt;*.TXT", "*.*") as an FLTK pattern that matches
** regardless of case ("*.[Tt][Xx][Tt]"), and the FLTK filter text of a request. */
std::string FlPattern(const std::string& winPattern);
std::string FlFilter(const std::vector<FileFilter>& filters);
/* The file's title: the text after the last '/' or '\'. */
std::string PathTitle(const std::string& path);
/* Appends ".defExt" when the title has no dot and defExt is not empty. */
std::string ApplyDefaultExtension(const std::string& path, const std::string& defExt);

/* Expands tabs in a line of text to tab stops every `tabWidth` pixels, measuring with
** `width` (pixels of a prefix); returns the pieces with their x offsets. */
struct TextPiece {
  std::string text;
  int x;
};
std::vector<TextPiece> ExpandTabs(const std::string& line, int tabWidth,
                                  int (*width)(const char* s, int n));

/* The local files of a drop's text (a text/uri-list: one URI a line, CR LF or LF, '#'
** starts a comment): "file:///a%20b" and "file://localhost/a" give "/a b" and "/a"; a plain
** absolute path is taken as it is; other hosts, other schemes and names that decode to a
** zero byte give nothing. */
std::vector<std::string> DroppedFiles(const std::string& uriList);

/* The display's scale in quarters (4 = 1 ... 8 = 2) from TAMBORIX_SCALE's text (`forced`,
** nullptr or "" when unset) and the screen's resolution in dots per inch: the forced scale
** when it is 1, 1.25, 1.5, 1.75 or 2 (written as a decimal number), else dpi / 96 rounded
** down to a quarter, at least 1 and at most 2. `*refused` tells whether a forced text was
** none of those. */
int ScaleQuarters(const char* forced, double dpi, bool* refused);

#endif
