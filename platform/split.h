/*
** Text split at a separator, for the layer's parsers (paths, file-dialog patterns, dropped
** URI lists). Header only: the FLTK display's display-free arithmetic is tested on its own.
*/
#ifndef TBX_PLATFORM_SPLIT_H
#define TBX_PLATFORM_SPLIT_H

#include <string>
#include <vector>

/* The pieces of `text` between the separators, empty ones included: "a;;b;" gives "a", "",
** "b", "" (and "" gives one empty piece). */
inline std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t pos = 0;
  for (;;) {
    const size_t next = text.find(separator, pos);
    if (next == std::string::npos) {
      pieces.push_back(text.substr(pos));
      return pieces;
    }
    pieces.push_back(text.substr(pos, next - pos));
    pos = next + 1;
  }
}

#endif
