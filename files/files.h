/*
** Project files (load, save, backup) and playlist text files. The routines return NULL on
** success or a message format with one "%s" that the caller shows through ErrorMessage.
** TambroFileRead runs on the window thread for the menu commands and on the timer thread
** when a playlist moves on; writes run only on the window thread.
*/
#ifndef TBX_FILES_H
#define TBX_FILES_H

#include "app/config.h"
#include "platform/win32.h"

extern const char gszErrorCannotWrite[]; /* "Cannot write file %s ." */
extern const char gszErrorNotFound[];    /* "File %s is missing or cannot be opended." */
extern const char gszErrorNotTambro[];   /* "File %s is not a valid project file." */
extern const char gszErrorCannotRead[];  /* "File %s is unreadable." */

/* Window thread, and the playlist advance on the step clock's thread. */
extern char gszFileName[TBX_PATH];       /* full path of the project file */
extern char gszTitleName[TBX_PATH];      /* its title (name without folders); "" = untitled */
extern char gszListName[TBX_PATH];       /* full path of the open playlist */
extern char gszNextTambroFile[TBX_PATH]; /* the playlist entry to load next */
extern char* gpListBuffer;               /* list text + two zero bytes; NULL before any list */
extern char* gpReadPointer;              /* read position in gpListBuffer */

void FilesReset(void);                   /* names, list text and flags back to start */

const char* TambroFileRead(const char* szFileName);
const char* TambroFileWrite(const char* szFileName);
const char* SaveBackup(const char* szFileName);

void FileNew(HWND hwnd);                      /* command 40001 */
void FileLoad(HWND hwnd, BOOL withMidi);      /* commands 40002 (FALSE) and 40003 (TRUE) */
void FileSave(HWND hwnd);                     /* command 40004 */
BOOL FileSaveAs(HWND hwnd);                   /* command 40005; TRUE when it saved */

const char* PlayListRead(const char* szListName);
int parseNextFileName(void);
void FreePlayList(void);                      /* releases the list text (window close) */

/* Replaces the file at path with size bytes only once they are completely written: they
** go to a temporary file in the same folder, are flushed, and are renamed over the old
** file. On failure the temporary file is deleted and the old file is left as it was.
** Used for project files, backups and MIDI files. */
enum { WRITE_OK = 0, WRITE_CREATE_FAILED = 1, WRITE_FAILED = 2 };
int WriteWholeFile(const char* path, const void* data, DWORD size);

/* The title of a path: the text after its last '/' or '\'. */
void TitleOfPath(const char* path, char* title, size_t size);

#endif
