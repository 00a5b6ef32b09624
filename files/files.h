/*
** Project files (load, save, backup) and playlist text files. The routines return NULL on
** success or a message format with one "%s" that the caller shows (app/: ErrorMessage).
** Everything here runs on the window thread, but for the playlist advance's side
** (TambroFileFetch, EntryPut, NextListEntry), which runs on the timer thread.
*/
#ifndef TBX_FILES_H
#define TBX_FILES_H

#include <string>
#include <vector>

#include "base/config.h"
#include "pattern/pattern.h"
#include "platform/win32.h"

extern const char gszErrorCannotWrite[]; /* "Cannot write file %s ." */
extern const char gszErrorNotFound[];    /* "File %s is missing or cannot be opended." */
extern const char gszErrorNotTambro[];   /* "File %s is not a valid project file." */
extern const char gszErrorCannotRead[];  /* "File %s is unreadable." */

/* Window thread: the project the window shows. A playlist entry loaded on the timer
** thread reaches them through EntryTake. */
extern char gszFileName[TBX_PATH];       /* full path of the project file */
extern char gszTitleName[TBX_PATH];      /* its title (name without folders); "" = untitled */
extern char gszListName[TBX_PATH];       /* full path of the open playlist */
/* The list's read position: the timer thread's while a run plays, the window's otherwise. */
extern char gszNextTambroFile[TBX_PATH]; /* the playlist entry to load next */
extern char* gpListBuffer;               /* list text + two zero bytes; NULL before any list */
extern char* gpReadPointer;              /* read position in gpListBuffer */
extern Shared<int> gbSavingMidiFile;     /* a playlist export reads entries: caption untouched */
/* A run may be reading the list text (set while one is active, by the step clock's start
** and stop): a list read meanwhile keeps the text it replaces until no run is. */
extern Shared<int> gbListInUse;

void FilesReset(void);                   /* names, list text and flags back to start */

/* Reads a project file into the pattern: the image into gTbroTemp and, when it is one, into
** gTbro (and its dynamics) with the settings its load rules take. A file that cannot be
** opened shows the system's error first (through the window seam). A file whose chunks
** after the record are refused (one runs past the end of the file) is still read, the
** record alone: then *warning (when given) gets gszErrorCannotRead for the caller to show,
** else NULL. */
const char* TambroFileRead(const char* szFileName, const char** warning = NULL);
/* The same in two steps, for the step clock's thread, where the read may hang (a dead
** network mount) long enough for a stop to give the run up, and a late result must change
** nothing: Fetch reads into an image of its own and touches no shared state; the caller
** then claims the run, shows ReportCreateError and Takes the image in. */
struct TbroFileImage {
  TbroRecord record;
  std::vector<unsigned char> tail; /* the bytes after a 3540-byte record: its chunks */
  DWORD size;          /* bytes of the record read */
  BOOL ok;             /* ReadFile succeeded */
  BOOL opened;         /* the file could be opened; else createError is the system's error */
  DWORD createError;
};
const char* TambroFileFetch(const char* szFileName, TbroFileImage* image);
void ReportCreateError(const TbroFileImage& image);
const char* TambroFileTake(const TbroFileImage& image, const char** warning = NULL);
#define TBRO_MAX_FILE (64u << 20) /* bytes of the longest project file read; a longer one is unreadable */
const char* TambroFileWrite(const char* szFileName);
/* Writes a copy of the file taken before (EntryTake: the record and its chunks) as
** TambroFileWrite writes gTbro. */
const char* TambroFileWrite(const char* szFileName, const std::vector<unsigned char>& file);
const char* SaveBackup(const char* szFileName);
/* New: the pattern cleared (PatternClear) where no advance can mix into it; an entry the
** advance handed over before is dropped, its names no longer fit. */
void TambroFileClear(void);

/* The playlist advance's hand-over. The advance (timer thread) takes the next entry into
** gTbro and the settings at once, since the step clock plays it in the same event; the
** names of the project (gszFileName, gszTitleName, so the caption) and the image read
** (gTbroTemp and its chunks, a backup's source) belong to the window thread, which takes
** them when it handles WM_TBX_LOADED. A put and a take each hold one lock, and so do the window's own
** takes of a record (TambroFileTake, TambroFileClear), which drop a waiting entry; a save
** takes its copy of the record in the same hold as a waiting entry's names, so it always
** writes the record into the file its names give, whatever the advance does meanwhile.
** Timer side: TambroFileTake for the entry `name` (an image TambroFileFetch read), which
** then waits for the window with its names and image; a refused image changes nothing. */
const char* EntryPut(const TbroFileImage& image, const char* name);
/* Window side: takes what EntryPut put, if anything waits and `take` allows (the caption is
** then to show the new name: true). In the same hold, the file a save writes of gTbro (the
** record and its chunks: `file`) and whether it changed since it was read (`changed`). */
bool EntryTake(bool take = true, std::vector<unsigned char>* file = nullptr, int* changed = nullptr);

const char* PlayListRead(const char* szListName);
int parseNextFileName(void);
/* parseNextFileName for the playlist advance: the entry goes to gszNextTambroFile only
** (its names reach the window with the entry, EntryPut); 1, or 0 when there is none. */
int NextListEntry(void);
void FreePlayList(void);                      /* releases the list text (window close) */

/* Replaces the file at path with size bytes only once they are completely written: they
** go to a new file without a name on the target's volume (where the system has them; else
** a temporary file of a unique name in the same folder, created exclusively, never through
** a link), are flushed, and then take the target's place in one step. On failure the new
** file is gone and the old file is left as it was. The name is
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
  HANDLE h;                /* the new file, open for writing */
  BOOL ok;                 /* every write so far was complete */
  std::string temp;        /* its temporary name (the target's folder + a unique name); ""
                           ** while it has none */
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
