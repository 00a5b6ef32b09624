/*
** Project files: reading a pattern record from disk (the current 3540-byte layout with the
** chunks that may follow it, and the older 3536-byte one) and taking the program's settings
** from it, writing the record with its chunks and the backup, and the one routine that
** replaces any file on disk (project, backup, MIDI file) only once its new bytes are
** completely written.
**
** The reader runs on the window thread for the menu commands and on the timer thread when
** a playlist moves on (which fetches and takes in two steps, see files.h); it writes the
** record's step words with StepSet and its header words with HeaderSet because the step
** clock reads them while it plays. What the advance read besides (the entry's names, its
** image) is handed over to the window thread, which owns them (EntryPut, EntryTake).
** Writers run only on the window thread.
*/
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/seam.h"
#include "files/files.h"
#include "files/prefs.h"
#include "pattern/pattern.h"

/* ---------------------------------------------------------------- messages and names */

const char gszErrorCannotWrite[] = "Cannot write file %s .";
const char gszErrorNotFound[] = "File %s is missing or cannot be opended.";
const char gszErrorNotTambro[] = "File %s is not a valid project file.";
const char gszErrorCannotRead[] = "File %s is unreadable.";

char gszFileName[TBX_PATH];
char gszTitleName[TBX_PATH];

/* 1 when the last image read into gTbroTemp was 3536 bytes long (older layout), so the
** backup converts it before writing. Window thread. */
static Shared<int> bTempIsOldLayout;

/* The bytes of the last file read after its 3540-byte record (its chunks, as read), kept for
** the backup beside gTbroTemp; empty after a shorter file. Window thread, under the
** hand-over's lock. */
static std::vector<unsigned char> gTempTail;

/* What the playlist advance loaded, waiting for the window thread (files.h: EntryPut puts,
** EntryTake takes). The lock also keeps a save's copy of the record and the names it takes
** together, and the window's own takes of a record from mixing with an advance. */
static struct EntryHandOver {
  std::mutex mu;
  bool waiting;            /* an entry was loaded and not taken yet */
  char name[TBX_PATH];     /* its name as the list writes it: file name and title */
  TbroRecord image;        /* its image as read: the backup's source */
  std::vector<unsigned char> tail;  /* ... and the chunks after it */
  int oldLayout;           /* ... in the older 3536-byte layout */
} gEntry;

/* Offsets of the older 3536-byte layout: PercCh and VoiceCh two bytes earlier than now,
** the six arrays four bytes earlier; no MidiInPort and no Reserved. */
enum { OLD_PERCCH = 28, OLD_VOICECH = 30, OLD_ARRAYS = 32, ARRAY_BYTES = STEP_SLOTS * 4 };

/* The header words Size .. Reserved in file order (offset 4 + 2 * index). */
static int16_t TbroRecord::*const kHeaderFields[] = {
    &TbroRecord::Size,       &TbroRecord::MsecPerBeat, &TbroRecord::RelBeat,    &TbroRecord::LoopStart,
    &TbroRecord::LoopEnd,    &TbroRecord::BeatsPBar,   &TbroRecord::Accent,     &TbroRecord::FreeAccent,
    &TbroRecord::Voice,      &TbroRecord::VoiceLevel,  &TbroRecord::Transpose,  &TbroRecord::MidiOutPort,
    &TbroRecord::MidiInPort, &TbroRecord::PercCh,      &TbroRecord::VoiceCh,    &TbroRecord::Reserved};
enum {
  HW_MSECPERBEAT = 1, HW_RELBEAT = 2, HW_LOOPSTART = 3, HW_LOOPEND = 4, HW_BEATSPBAR = 5,
  HW_MIDIINPORT = 12, HW_PERCCH = 13, HW_VOICECH = 14, HW_RESERVED = 15, TBRO_HEADER_WORDS = 16
};

void FilesReset(void) {
  PrefsReset();
  gszFileName[0] = '\0';
  gszTitleName[0] = '\0';
  gszListName[0] = '\0';
  gszNextTambroFile[0] = '\0';
  bTempIsOldLayout = 0;
  {
    std::lock_guard<std::mutex> lock(gEntry.mu);
    gEntry.waiting = false;
    gTempTail.clear();
  }
  gbSavingMidiFile = 0;
  gbListInUse = 0;
  FreePlayList();
}

/* ---------------------------------------------------------------- small helpers */

/* Copies at most size - 1 bytes of src and terminates; a longer text is cut. */
static void CopyText(char* dst, const char* src, size_t size) {
  size_t n = std::strlen(src);
  if (n >= size) n = size - 1;
  std::memmove(dst, src, n);
  dst[n] = '\0';
}

void TitleOfPath(const char* path, char* title, size_t size) {
  const char* p = path;
  for (const char* q = path; *q; ++q)
    if (*q == '/' || *q == '\\') p = q + 1;
  CopyText(title, p, size);
}

/* The record's little-endian 16-bit word at a byte offset of a raw image. */
static int16_t ImageWord(const unsigned char* image, size_t offset) {
  return static_cast<int16_t>(image[offset] | (image[offset + 1] << 8));
}

/* ---------------------------------------------------------------- replacing a file safely */

/* The bytes go to a file without a name on the target's volume where the system has them
** (TbxCreateUnnamedFile), which nothing can leave behind, not even a process killed while
** writing, and which takes its name in one step at the end. Elsewhere they go to a
** temporary file beside the target (same folder, so the final step stays on one volume)
** under a name no other writer uses: it is created exclusively (a name that exists, a
** planted link included, is skipped, never opened), so two writers never share one and
** nothing else is written through it; ReplaceFileA puts it over an existing target
** (following a link at the target, keeping the target's permissions), a new name is taken
** with a move that refuses to overwrite, and a target that appeared meanwhile is replaced.
** A program that writes large files handles its signals so that such a file goes too
** (the command line's render). */

/* True when path names nothing a file can be written to: empty, or ending in a separator
** (a folder, or a name too long for its buffer, see StorePath). */
static bool NotAFileName(const char* path) {
  size_t n = std::strlen(path);
  return n == 0 || path[n - 1] == '/' || path[n - 1] == '\\';
}

int FileReplaceBegin(FileReplace* fr, const char* path) {
  static std::atomic<unsigned> counter{0};
  fr->h = INVALID_HANDLE_VALUE;
  fr->ok = FALSE;
  fr->temp.clear();
  DWORD attributes = NotAFileName(path) ? FILE_ATTRIBUTE_DIRECTORY : GetFileAttributesA(path);
  const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_READONLY;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & refused)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return WRITE_CREATE_FAILED;
  }
  fr->h = TbxCreateUnnamedFile(path);
  if (fr->h != INVALID_HANDLE_VALUE) {
    fr->ok = TRUE;
    return WRITE_OK;
  }
  if (GetLastError() != ERROR_NOT_SUPPORTED) return WRITE_CREATE_FAILED;
  std::string folder(path);
  size_t slash = folder.find_last_of("/\\");
  folder.resize(slash == std::string::npos ? 0 : slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[40];
    std::snprintf(name, sizeof name, ".~tbx%08lx%04x.tmp",
                  static_cast<unsigned long>(GetCurrentProcessId() ^ (timeGetTime() << 12)),
                  counter.fetch_add(1) & 0xFFFF);
    fr->temp = folder + name;
    fr->h = CreateFileA(fr->temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (fr->h != INVALID_HANDLE_VALUE) {
      fr->ok = TRUE;
      return WRITE_OK;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return WRITE_CREATE_FAILED;
}

BOOL FileReplaceWrite(FileReplace* fr, const void* data, DWORD size) {
  DWORD written = 0;
  if (fr->ok && !(WriteFile(fr->h, data, size, &written, NULL) && written == size)) fr->ok = FALSE;
  return fr->ok;
}

int FileReplaceEnd(FileReplace* fr, const char* path, BOOL commit) {
  BOOL ok = commit && fr->ok && FlushFileBuffers(fr->h);
  if (fr->temp.empty()) {
    /* Unnamed: named once flushed, while still open; closed, it is gone unless named. */
    ok = ok && TbxLinkUnnamedFile(fr->h, path);
    CloseHandle(fr->h);
    fr->h = INVALID_HANDLE_VALUE;
    return ok ? WRITE_OK : WRITE_FAILED;
  }
  ok = CloseHandle(fr->h) && ok; /* a delayed write error surfaces at the close */
  fr->h = INVALID_HANDLE_VALUE;
  const char* temp = fr->temp.c_str();
  if (ok) {
    if (ReplaceFileA(path, temp, NULL, REPLACEFILE_IGNORE_MERGE_ERRORS, NULL, NULL)) return WRITE_OK;
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      if (MoveFileExA(temp, path, MOVEFILE_WRITE_THROUGH)) return WRITE_OK;
      if (GetLastError() == ERROR_ALREADY_EXISTS &&
          ReplaceFileA(path, temp, NULL, REPLACEFILE_IGNORE_MERGE_ERRORS, NULL, NULL))
        return WRITE_OK;
    }
  }
  DeleteFileA(temp);
  return WRITE_FAILED;
}

int WriteWholeFile(const char* path, const void* data, DWORD size) {
  FileReplace fr;
  int result = FileReplaceBegin(&fr, path);
  if (result != WRITE_OK) return result;
  FileReplaceWrite(&fr, data, size);
  return FileReplaceEnd(&fr, path, TRUE);
}

BOOL StorePath(char* buffer, const char* path) {
  size_t n = std::strlen(path);
  if (n < TBX_PATH) {
    std::memmove(buffer, path, n + 1);
    return TRUE;
  }
  static const char marker[] = ".../";
  size_t keep = TBX_PATH - sizeof marker;
  std::memmove(buffer, path, keep);
  std::memcpy(buffer + keep, marker, sizeof marker);
  return FALSE;
}

/* ---------------------------------------------------------------- chunks after the record */

/* A project file is the record, then zero or more chunks: a 4-byte ASCII id, a 32-bit
** little-endian length n, then n bytes of data. Readers skip the chunks they do not know,
** so the record stays readable by every reader of the format. The chunks of the groove:
**   SWNG  n = 2: the swing, a 16-bit little-endian percentage 50..75 (50 straight; any
**         other value reads as 50);
**   ACNT  n = 2336: four arrays of 146 little-endian 32-bit words laid out like PercL,
**         PercH, VoiceL, VoiceH, a set bit marking the note of that cell accented;
**   GHST  the same for ghost notes (a cell with both bits plays accented).
** A known id with another length is skipped like an unknown one; the last of two chunks
** with one id counts. Only a chunk that runs past the end of the file is refused: then no
** chunk is taken, the record alone is. A bit for a cell without a note (the flag rows 0 and
** 1 included) is dropped on reading and never written. A pattern played straight and
** without dynamics is written as the record alone, any other as the record followed by the
** chunks it needs in the order SWNG, ACNT, GHST. */
enum { CHUNK_HEAD = 8, SWNG_BYTES = 2, DYNAMICS_BYTES = 4 * STEP_SLOTS * 4 };

static uint32_t Le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

static void PutLe32(std::vector<unsigned char>& out, uint32_t v) {
  for (int b = 0; b < 4; b++) out.push_back(static_cast<unsigned char>(v >> (8 * b)));
}

/* The four Accent (dyn DYN_ACCENT) or Ghost arrays of a CellDynamics, in the file's order. */
struct DynamicsQuad {
  uint32_t* a[4];
};
static DynamicsQuad DynamicsArrays(CellDynamics& d, int dyn) {
  if (dyn == DYN_ACCENT) return {{d.AccentPercL, d.AccentPercH, d.AccentVoiceL, d.AccentVoiceH}};
  return {{d.GhostPercL, d.GhostPercH, d.GhostVoiceL, d.GhostVoiceH}};
}

/* The note arrays of gTbro in the file's order of the dynamics. */
static const uint32_t* const kNoteArrays[4] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH};

/* Keeps of dynamics words only the bits of cells that hold a note; the L words have their
** flag rows 0 and 1 there, which carry no note. */
static uint32_t NoteBits(const uint32_t* notes, int a, int step) {
  return StepGet(notes, step) & (a % 2 == 0 ? ~3u : ~0u);
}

/* Reads the chunks of `tail` (the bytes after the record): the swing and the dynamics it
** gives (straight and none when it gives none). False when a chunk runs past the end;
** swing and dynamics are then straight and none. */
static bool ReadChunks(const std::vector<unsigned char>& tail, int16_t* swing, CellDynamics* dyn) {
  *swing = SWING_STRAIGHT;
  std::memset(dyn, 0, sizeof *dyn);
  size_t at = 0;
  const size_t n = tail.size();
  while (at < n) {
    if (n - at < CHUNK_HEAD || n - at - CHUNK_HEAD < Le32(&tail[at + 4])) {
      *swing = SWING_STRAIGHT;
      std::memset(dyn, 0, sizeof *dyn);
      return false;
    }
    const unsigned char* id = &tail[at];
    const uint32_t length = Le32(&tail[at + 4]);
    const unsigned char* data = &tail[at + CHUNK_HEAD];
    if (std::memcmp(id, "SWNG", 4) == 0 && length == SWNG_BYTES) {
      const int16_t v = ImageWord(data, 0);
      *swing = v >= SWING_STRAIGHT && v <= SWING_MAX ? v : static_cast<int16_t>(SWING_STRAIGHT);
    } else if ((std::memcmp(id, "ACNT", 4) == 0 || std::memcmp(id, "GHST", 4) == 0) && length == DYNAMICS_BYTES) {
      const DynamicsQuad arrays = DynamicsArrays(*dyn, id[0] == 'A' ? DYN_ACCENT : DYN_GHOST);
      for (int a = 0; a < 4; a++)
        for (int i = 0; i < STEP_SLOTS; i++) arrays.a[a][i] = Le32(data + (a * STEP_SLOTS + i) * 4);
    }
    at += CHUNK_HEAD + length;
  }
  return true;
}

/* Puts the dynamics read into gDynamics, kept to the cells of gTbro that hold a note. */
static void TakeDynamics(CellDynamics& dyn) {
  for (int d : {DYN_ACCENT, DYN_GHOST}) {
    const DynamicsQuad arrays = DynamicsArrays(dyn, d);
    for (int a = 0; a < 4; a++)
      for (int i = 0; i < STEP_SLOTS; i++)
        StepSet(DynamicWords(d, kNoteArrays[a]), i, arrays.a[a][i] & NoteBits(kNoteArrays[a], a, i));
  }
}

/* Appends the chunk of the Accent or Ghost bits of the pattern's notes, when it has any. */
static void PutDynamicsChunk(std::vector<unsigned char>& out, int dyn, const char* id) {
  std::vector<unsigned char> data;
  bool any = false;
  for (int a = 0; a < 4; a++)
    for (int i = 0; i < STEP_SLOTS; i++) {
      const uint32_t w = StepGet(DynamicWords(dyn, kNoteArrays[a]), i) & NoteBits(kNoteArrays[a], a, i);
      any = any || w != 0;
      PutLe32(data, w);
    }
  if (!any) return;
  out.insert(out.end(), id, id + 4);
  PutLe32(out, DYNAMICS_BYTES);
  out.insert(out.end(), data.begin(), data.end());
}

/* The chunks the pattern needs after its record: none when it plays straight and has no
** dynamics. */
static std::vector<unsigned char> GrooveChunks(void) {
  std::vector<unsigned char> out;
  const int16_t swing = gSwing;
  if (swing != SWING_STRAIGHT) {
    out.insert(out.end(), {'S', 'W', 'N', 'G'});
    PutLe32(out, SWNG_BYTES);
    out.push_back(static_cast<unsigned char>(swing & 0xFF));
    out.push_back(static_cast<unsigned char>((swing >> 8) & 0xFF));
  }
  PutDynamicsChunk(out, DYN_ACCENT, "ACNT");
  PutDynamicsChunk(out, DYN_GHOST, "GHST");
  return out;
}

/* ---------------------------------------------------------------- write and backup */

/* The file as a save writes it: the record with its header filled from the settings, copied
** through the atomic helpers (the step clock may be reading it, and an advance replacing it,
** which the callers keep out with the hand-over's lock), and the chunks it needs. */
static void SaveImage(std::vector<unsigned char>* file) {
  TbroRecord record;
  TbroRecord* image = &record;
  std::memcpy(gTbro.Id, "TBRX", 4);
  HeaderSet(gTbro.Size, TBRO_SIZE);
  FillHeaderFromSettings();
  HeaderSet(gTbro.Reserved, 0);
  std::memcpy(image->Id, gTbro.Id, 4);
  for (int f = 0; f < TBRO_HEADER_WORDS; ++f) image->*kHeaderFields[f] = HeaderGet(gTbro.*kHeaderFields[f]);
  uint32_t* dst[6] = {image->PercL, image->PercH, image->VoiceL, image->VoiceH, image->VoiceXL, image->VoiceXH};
  uint32_t* src[6] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
  for (int a = 0; a < 6; ++a)
    for (int i = 0; i < STEP_SLOTS; ++i) dst[a][i] = StepGet(src[a], i);
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(&record);
  file->assign(raw, raw + TBRO_SIZE);
  const std::vector<unsigned char> chunks = GrooveChunks();
  file->insert(file->end(), chunks.begin(), chunks.end());
}

const char* TambroFileWrite(const char* szFileName, const std::vector<unsigned char>& file) {
  return WriteWholeFile(szFileName, file.data(), static_cast<DWORD>(file.size())) == WRITE_OK ? NULL
                                                                                               : gszErrorCannotWrite;
}

const char* TambroFileWrite(const char* szFileName) {
  std::vector<unsigned char> file;
  {
    std::lock_guard<std::mutex> lock(gEntry.mu);
    SaveImage(&file);
  }
  return TambroFileWrite(szFileName, file);
}

/* The backup's name: the path up to the first '.' of its file name part, then ".BAK"; a
** name without a dot gets ".BAK" appended. Dots in folder names are kept, so a backup
** always lands beside its project file. */
static std::string BackupName(const char* szFileName) {
  std::string path(szFileName);
  size_t nameStart = path.find_last_of("/\\");
  nameStart = nameStart == std::string::npos ? 0 : nameStart + 1;
  size_t dot = path.find('.', nameStart);
  if (dot != std::string::npos) path.resize(dot);
  return path + ".BAK";
}

const char* SaveBackup(const char* szFileName) {
  std::memcpy(gTbroTemp.Id, "TBRX", 4);
  gTbroTemp.Size = TBRO_SIZE;
  TbroRecord image = gTbroTemp;
  if (bTempIsOldLayout) {
    /* The image read was the older layout: move its fields to their current offsets so
    ** the backup reads back as the same pattern. */
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&gTbroTemp);
    image.MidiInPort = 0;
    image.PercCh = ImageWord(raw, OLD_PERCCH);
    image.VoiceCh = ImageWord(raw, OLD_VOICECH);
    image.Reserved = 0;
    uint32_t* arrays[6] = {image.PercL, image.PercH, image.VoiceL, image.VoiceH, image.VoiceXL, image.VoiceXH};
    for (int a = 0; a < 6; ++a) std::memcpy(arrays[a], raw + OLD_ARRAYS + a * ARRAY_BYTES, ARRAY_BYTES);
  }
  /* The whole file as it was read: the chunks after the record too, unknown ones included. */
  const unsigned char* head = reinterpret_cast<const unsigned char*>(&image);
  std::vector<unsigned char> bytes(head, head + TBRO_SIZE);
  {
    std::lock_guard<std::mutex> lock(gEntry.mu);
    bytes.insert(bytes.end(), gTempTail.begin(), gTempTail.end());
  }
  return WriteWholeFile(BackupName(szFileName).c_str(), bytes.data(), static_cast<DWORD>(bytes.size())) == WRITE_OK
             ? NULL
             : gszErrorCannotWrite;
}

/* ---------------------------------------------------------------- read */

/* Values that the step clock, the tempo display and the export divide by or index with are
** repaired in the loaded header, so no file can stop the program: a play range that is
** empty or outside the pattern, a tempo of zero or less, a bar of zero steps or less, a
** rel.Beat index outside its table. Well-formed files pass unchanged (a LoopEnd above
** STEP_COUNT is lowered to it, as for files made by a program with more steps). A repaired
** setting takes its start value. */
static void RepairHeader(int16_t* words) {
  int start = words[HW_LOOPSTART], end = words[HW_LOOPEND];
  ClampPlayRange(&start, &end);
  words[HW_LOOPSTART] = static_cast<int16_t>(start);
  words[HW_LOOPEND] = static_cast<int16_t>(end);
  if (words[HW_MSECPERBEAT] <= 0) words[HW_MSECPERBEAT] = gSettings[SET_MSECPERBEAT].start;
  if (words[HW_BEATSPBAR] <= 0) words[HW_BEATSPBAR] = gSettings[SET_BEATSPBAR].start;
  if (words[HW_RELBEAT] < 0 || words[HW_RELBEAT] > 9) words[HW_RELBEAT] = gSettings[SET_RELBEAT].start;
}

/* Copies an accepted image (nRead bytes: current or older layout) into gTbro, leaving Id
** and Size of gTbro as they were. The header is repaired before it is stored, so the step
** clock never sees an unrepaired value. */
static void TakeImage(const TbroRecord& image, DWORD nRead) {
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(&image);
  bool current = nRead == TBRO_SIZE;
  int16_t words[TBRO_HEADER_WORDS]; /* Size .. Reserved, current layout */
  for (int f = 0; f < TBRO_HEADER_WORDS; ++f) words[f] = ImageWord(raw, 4 + 2 * f);
  if (!current) {
    words[HW_MIDIINPORT] = 0;
    words[HW_PERCCH] = ImageWord(raw, OLD_PERCCH);
    words[HW_VOICECH] = ImageWord(raw, OLD_VOICECH);
    words[HW_RESERVED] = 0;
  }
  RepairHeader(words);
  for (int f = 1; f < TBRO_HEADER_WORDS; ++f) HeaderSet(gTbro.*kHeaderFields[f], words[f]);
  size_t arrays = current ? 36 : OLD_ARRAYS;
  uint32_t* dst[6] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
  for (int a = 0; a < 6; ++a)
    for (int i = 0; i < STEP_SLOTS; ++i) {
      const unsigned char* b = raw + arrays + a * ARRAY_BYTES + i * 4;
      StepSet(dst[a], i, uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
    }
}

/* NULL when a read image is a project file, else why not. */
static const char* JudgeImage(const TbroFileImage& image) {
  if (!image.ok || (image.size != TBRO_SIZE && image.size != TBRO_OLD_SIZE)) return gszErrorCannotRead;
  if (std::memcmp(image.record.Id, "TBRX", 4) != 0 || (image.size == TBRO_SIZE && image.record.Size != TBRO_SIZE))
    return gszErrorNotTambro;
  return NULL;
}

/* An accepted image into the record, its dynamics and the settings; false when its chunks
** were refused (the record alone was taken). Under the hand-over's lock. */
static bool TakeIn(const TbroFileImage& image) {
  int16_t swing;
  CellDynamics dynamics;
  const bool chunksRead = ReadChunks(image.tail, &swing, &dynamics);
  PatternWriteBegin();
  TakeImage(image.record, image.size);
  TakeDynamics(dynamics);
  PatternLoaded();
  PatternWriteEnd(nullptr);
  DropClickBackup(); /* a pending click backup belongs to the pattern just replaced */
  TakeRecordSettings(swing);
  gbNewFile = 0;
  gbFileChanged = 0;
  return chunksRead;
}

/* Reads what follows the record up to the end of the file; FALSE when a read fails or the
** file is longer than TBRO_MAX_FILE. */
static BOOL ReadTail(HANDLE h, std::vector<unsigned char>* tail) {
  unsigned char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &n, NULL)) return FALSE;
    if (n == 0) return TRUE;
    if (tail->size() + n > TBRO_MAX_FILE - TBRO_SIZE) return FALSE;
    tail->insert(tail->end(), buffer, buffer + n);
  }
}

const char* TambroFileFetch(const char* szFileName, TbroFileImage* image) {
  image->size = 0;
  image->ok = FALSE;
  image->opened = FALSE;
  image->createError = 0;
  image->tail.clear();
  HANDLE h = CreateFileA(szFileName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    image->createError = GetLastError();
    return gszErrorNotFound;
  }
  image->opened = TRUE;
  image->ok = ReadFile(h, &image->record, TBRO_SIZE, &image->size, NULL);
  if (image->ok && image->size == TBRO_SIZE) image->ok = ReadTail(h, &image->tail);
  CloseHandle(h);
  return NULL;
}

void ReportCreateError(const TbroFileImage& image) {
  if (image.opened) return;
  char text[64];
  std::snprintf(text, sizeof text, "CreateFile Error:%d ", static_cast<int>(image.createError));
  SeamSystemError(text);
}

/* The image goes into gTbroTemp with its chunks, accepted or not; an entry waiting no longer
** fits the record then. */
const char* TambroFileTake(const TbroFileImage& image, const char** warning) {
  if (warning) *warning = NULL;
  std::lock_guard<std::mutex> lock(gEntry.mu);
  std::memcpy(&gTbroTemp, &image.record, image.size);
  gTempTail = image.tail;
  const char* error = JudgeImage(image);
  if (error != gszErrorCannotRead) bTempIsOldLayout = image.size == TBRO_OLD_SIZE;
  if (error) return error;
  if (!TakeIn(image) && warning) *warning = gszErrorCannotRead;
  gEntry.waiting = false;
  return NULL;
}

void TambroFileClear(void) {
  std::lock_guard<std::mutex> lock(gEntry.mu);
  PatternClear();
  gEntry.waiting = false;
}

/* ---------------------------------------------------------------- the playlist advance's hand-over */

const char* EntryPut(const TbroFileImage& image, const char* name) {
  const char* error = JudgeImage(image);
  if (error) return error;
  std::lock_guard<std::mutex> lock(gEntry.mu);
  TakeIn(image);
  StorePath(gEntry.name, name);
  std::memcpy(&gEntry.image, &image.record, image.size);
  gEntry.tail = image.tail;
  gEntry.oldLayout = image.size == TBRO_OLD_SIZE;
  gEntry.waiting = true;
  return NULL;
}

bool EntryTake(bool take, std::vector<unsigned char>* file, int* changed) {
  std::lock_guard<std::mutex> lock(gEntry.mu);
  take = take && gEntry.waiting;
  if (take) {
    /* The title of an entry is the entry as the list writes it. */
    std::memcpy(gszFileName, gEntry.name, sizeof gszFileName);
    std::memcpy(gszTitleName, gEntry.name, sizeof gszTitleName);
    std::memcpy(&gTbroTemp, &gEntry.image, sizeof gTbroTemp);
    gTempTail = gEntry.tail;
    bTempIsOldLayout = gEntry.oldLayout;
    gEntry.waiting = false;
  }
  if (file) SaveImage(file);
  if (changed) *changed = gbFileChanged;
  return take;
}

const char* TambroFileRead(const char* szFileName, const char** warning) {
  if (warning) *warning = NULL;
  gbNewFile = 0;
  gbFileChanged = 0;
  TbroFileImage image;
  const char* error = TambroFileFetch(szFileName, &image);
  ReportCreateError(image);
  return error ? error : TambroFileTake(image, warning);
}
