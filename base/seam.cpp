/*
** This file contains the seam through which code below app/ reaches the window side
** (base/seam.h).
*/
#include "base/seam.h"

#include <atomic>

/* Installed on the window thread at a reset, read by any thread. */
static std::atomic<const WindowSeam*> gSeam{nullptr};

enum { kIdOk = 1, kIdNo = 7 };   /* IDOK, IDNO */

void SeamInstall(const WindowSeam* seam) { gSeam = seam; }

int SeamBox(const char* text, const char* caption, unsigned flags) {
  const WindowSeam* s = gSeam;
  return s && s->box ? s->box(text, caption, flags) : kIdOk;
}

void SeamError(const char* format, const char* name) {
  const WindowSeam* s = gSeam;
  if (s && s->error) s->error(format, name);
}

void SeamSystemError(const char* text) {
  const WindowSeam* s = gSeam;
  if (s && s->systemError) s->systemError(text);
}

int SeamAskYesNoSave(const char* name) {
  const WindowSeam* s = gSeam;
  return s && s->askYesNoSave ? s->askYesNoSave(name) : kIdNo;
}

void SeamCaption(const char* title) {
  const WindowSeam* s = gSeam;
  if (s && s->caption) s->caption(title);
}
