/*
** The one way up. Code below app/ reports what happened by value and leaves showing it to
** the window; the exceptions are what must happen in the middle of work that runs on its
** own, such as a playlist moving on from the step clock's thread: a message box, the error
** box of a file, the save question at a playlist switch and the caption of the entry that
** starts. For those the window side installs these functions (app/, at every reset); below
** app/ they are reached only through the Seam* calls here. Any thread may call them; the
** platform shows a box on the window thread while the caller waits for the answer.
**
** Before anything is installed (a lower layer on its own) a box answers IDOK, the save
** question IDNO, and the caption is not shown.
*/
#ifndef TBX_SEAM_H
#define TBX_SEAM_H

struct WindowSeam {
  /* A message box owned by the main window; the button that closed it. */
  int (*box)(const char* text, const char* caption, unsigned flags);
  /* The error box: `format` with its "%s" filled by `name` ("(Untitled)" when empty). */
  void (*error)(const char* format, const char* name);
  /* The box of a system error in a file call (text "CreateFile Error:%d "). */
  void (*systemError)(const char* text);
  /* The save question of a playlist switch about the pattern `name`: IDYES, IDNO, or
  ** IDCANCEL when Yes did not save. */
  int (*askYesNoSave)(const char* name);
  /* The caption for the pattern `title`. */
  void (*caption)(const char* title);
};

void SeamInstall(const WindowSeam* seam);   /* NULL: nothing installed */

int SeamBox(const char* text, const char* caption, unsigned flags);
void SeamError(const char* format, const char* name);
void SeamSystemError(const char* text);
int SeamAskYesNoSave(const char* name);
void SeamCaption(const char* title);

#endif
