/*
** Project files: reading a pattern record from disk (the current 3540-byte layout and the
** older 3536-byte one) and taking the program's settings from it, writing the record and
** its backup, and the one routine that replaces any file on disk (project, backup, MIDI
** file) only once its new bytes are completely written.
**
** The reader runs on the window thread for the menu commands and on the timer thread when
** a playlist moves on (which fetches and takes in two steps, see files.h); it writes the
** record's step words with StepSet and its header words with HeaderSet because the step
** clock reads them while it plays. Writers run only on the window thread.
*/
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

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
** backup converts it before writing. Written by TambroFileRead (window or timer thread). */
static Shared<int> bTempIsOldLayout;

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

/* The bytes go to a temporary file beside the target (same folder, so the final step stays
** on one volume) under a name no other writer uses: it is created exclusively (a name that
** exists, a planted link included, is skipped, never opened), so two writers never share
** one and nothing else is written through it. ReplaceFileA puts it over an existing target
** (following a link at the target, keeping the target's permissions); a new name is taken
** with a move that refuses to overwrite, and a target that appeared meanwhile is replaced. */

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

/* ---------------------------------------------------------------- write and backup */

const char* TambroFileWrite(const char* szFileName) {
  std::memcpy(gTbro.Id, "TBRX", 4);
  HeaderSet(gTbro.Size, TBRO_SIZE);
  FillHeaderFromSettings();
  HeaderSet(gTbro.Reserved, 0);
  /* A snapshot through the atomic helpers: the step clock may be reading the record. */
  TbroRecord image;
  std::memcpy(image.Id, gTbro.Id, 4);
  for (int f = 0; f < TBRO_HEADER_WORDS; ++f) image.*kHeaderFields[f] = HeaderGet(gTbro.*kHeaderFields[f]);
  uint32_t* dst[6] = {image.PercL, image.PercH, image.VoiceL, image.VoiceH, image.VoiceXL, image.VoiceXH};
  uint32_t* src[6] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
  for (int a = 0; a < 6; ++a)
    for (int i = 0; i < STEP_SLOTS; ++i) dst[a][i] = StepGet(src[a], i);
  return WriteWholeFile(szFileName, &image, TBRO_SIZE) == WRITE_OK ? NULL : gszErrorCannotWrite;
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
  return WriteWholeFile(BackupName(szFileName).c_str(), &image, TBRO_SIZE) == WRITE_OK ? NULL
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

/* Copies the accepted image in gTbroTemp (nRead bytes: current or older layout) into gTbro,
** leaving Id and Size of gTbro as they were. The header is repaired before it is stored, so
** the step clock never sees an unrepaired value. */
static void TakeImage(DWORD nRead) {
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(&gTbroTemp);
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

/* Takes a read image (nRead bytes, ok as ReadFile said) in: into gTbroTemp, and when it is
** a project file into gTbro and the settings. */
static const char* TakeRead(const TbroRecord& image, BOOL ok, DWORD nRead) {
  std::memcpy(&gTbroTemp, &image, nRead);
  if (!ok || (nRead != TBRO_SIZE && nRead != TBRO_OLD_SIZE)) return gszErrorCannotRead;
  bTempIsOldLayout = nRead == TBRO_OLD_SIZE;
  if (std::memcmp(gTbroTemp.Id, "TBRX", 4) != 0 || (nRead == TBRO_SIZE && gTbroTemp.Size != TBRO_SIZE))
    return gszErrorNotTambro;
  PatternWriteBegin();
  TakeImage(nRead);
  PatternLoaded();
  PatternWriteEnd(nullptr);
  DropClickBackup(); /* a pending click backup belongs to the pattern just replaced */
  TakeRecordSettings();
  return NULL;
}

const char* TambroFileFetch(const char* szFileName, TbroFileImage* image) {
  image->size = 0;
  image->ok = FALSE;
  image->opened = FALSE;
  image->createError = 0;
  HANDLE h = CreateFileA(szFileName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    image->createError = GetLastError();
    return gszErrorNotFound;
  }
  image->opened = TRUE;
  image->ok = ReadFile(h, &image->record, TBRO_SIZE, &image->size, NULL);
  CloseHandle(h);
  return NULL;
}

void ReportCreateError(const TbroFileImage& image) {
  if (image.opened) return;
  char text[64];
  std::snprintf(text, sizeof text, "CreateFile Error:%d ", static_cast<int>(image.createError));
  SeamSystemError(text);
}

const char* TambroFileTake(const TbroFileImage& image) { return TakeRead(image.record, image.ok, image.size); }

const char* TambroFileRead(const char* szFileName) {
  gbNewFile = 0;
  gbFileChanged = 0;
  TbroFileImage image;
  const char* error = TambroFileFetch(szFileName, &image);
  ReportCreateError(image);
  return error ? error : TambroFileTake(image);
}
