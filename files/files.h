/*
** Project files (load, save, backup) and playlist text files. The routines return NULL on
** success or a message format with one "%s" that the caller shows (app/: ErrorMessage).
** TambroFileRead runs on the window thread for the menu commands and on the timer thread
** when a playlist moves on; writes run only on the window thread.
*/
#ifndef TBX_FILES_H
#define TBX_FILES_H

#include <string>

#include "base/config.h"
#include "pattern/pattern.h"
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
extern Shared<int> gbSavingMidiFile;     /* a playlist export reads entries: caption untouched */
/* A run may be reading the list text (set while one is active, by the step clock's start
** and stop): a list read meanwhile keeps the text it replaces until no run is. */
extern Shared<int> gbListInUse;

void FilesReset(void);                   /* names, list text and flags back to start */

/* Reads a project file into the pattern: the image into gTbroTemp and, when it is one, into
** gTbro with the settings its load rules take. A file that cannot be opened shows the
** system's error first (through the window seam). */
const char* TambroFileRead(const char* szFileName);
/* The same in two steps, for the step clock's thread, where the read may hang (a dead
** network mount) long enough for a stop to give the run up, and a late result must change
** nothing: Fetch reads into an image of its own and touches no shared state; the caller
** then claims the run, shows ReportCreateError and Takes the image in. */
struct TbroFileImage {
  TbroRecord record;
  DWORD size;          /* bytes read */
  BOOL ok;             /* ReadFile succeeded */
  BOOL opened;         /* the file could be opened; else createError is the system's error */
  DWORD createError;
};
const char* TambroFileFetch(const char* szFileName, TbroFileImage* image);
void ReportCreateError(const TbroFileImage& image);
const char* TambroFileTake(const TbroFileImage& image);
const char* TambroFileWrite(const char* szFileName);
const char* SaveBackup(const char* szFileName);

const char* PlayListRead(const char* szListName);
int parseNextFileName(void);
void FreePlayList(void);                      /* releases the list text (window close) */

/* Replaces the file at path with size bytes only once they are completely written: they
** go to a new temporary file of a unique name in the same folder (created exclusively,
** never through a link), are flushed, and then take the target's place in one step. On
** failure the temporary file is deleted and the old file is left as it was. The name is
** used exactly as given (no other letter case is ever overwritten). A path that is a
** symbolic link replaces the file it points to and keeps the link; a replaced file keeps
** its permission bits. A folder, FIFO, device or read-only file at path is refused before
** anything is written (WRITE_CREATE_FAILED), as is an empty path or one ending in a
** separator.
** Used for project files, backups, MIDI files and rendered audio. Two writers of one
** target each report truthfully: each success put that writer's complete bytes in place
** (the later one wins). */
enum { WRITE_OK = 0, WRITE_CREATE_FAILED = 1, WRITE_FAILED = 2 };
int WriteWholeFile(const char* path, const void* data, DWORD size);

/* WriteWholeFile in pieces, for data too large to hold at once: Begin makes the temporary
** file (WRITE_OK or WRITE_CREATE_FAILED; nothing to end after a failure), Write appends
** (a failed or short write is remembered), End puts the file in place when `commit` is
** TRUE and every write was complete (WRITE_OK), else deletes it (WRITE_FAILED). */
struct FileReplace {
  HANDLE h;                /* the temporary file, open for writing */
  BOOL ok;                 /* every write so far was complete */
  std::string temp;        /* its name: the target's folder + a unique name */
};
int FileReplaceBegin(FileReplace* fr, const char* path);
BOOL FileReplaceWrite(FileReplace* fr, const void* data, DWORD size);
int FileReplaceEnd(FileReplace* fr, const char* path, BOOL commit);

/* Copies a path into a name buffer of TBX_PATH bytes. A path that does not fit is never cut
** and used: the buffer gets its beginning followed by ".../", which reads as the name in a
** message but names a folder, so no file call opens, creates or replaces anything by it.
** Returns FALSE in that case. */
BOOL StorePath(char* buffer, const char* path);

/* The title of a path: the text after its last '/' or '\'. */
void TitleOfPath(const char* path, char* title, size_t size);

#endif
