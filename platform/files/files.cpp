/*
** This file contains the file calls of the Win32 subset on POSIX: CreateFileA, ReadFile,
** WriteFile, GetFileSize, FlushFileBuffers, CloseHandle, DeleteFileA, MoveFileExA,
** ReplaceFileA, GetFileAttributesA, CreateDirectoryA, GetFullPathNameA,
** SetCurrentDirectoryA, GetCurrentProcessId and the thread's last error; and beyond the
** subset the files without a name of win32.h (O_TMPFILE, named by linkat through /proc).
**
** Names. Both '/' and '\' separate folders. Finding and creating differ:
** - Finding: a read of an existing file (CreateFileA with OPEN_EXISTING and no write
**   access) whose name does not exist as written looks each missing component up
**   case-insensitively in its folder (the exact spelling wins; among several case variants
**   the first in byte order), so a playlist written on Windows that says "intro.TBX" finds
**   intro.tbx.
** - Creating, replacing, renaming and deleting use the name exactly as given: saving
**   "Intro.tbx" beside intro.tbx creates a second file and never overwrites the other one,
**   and "sub/new.mid" needs a folder named exactly "sub".
**
** Special files. No call here ever blocks on a FIFO or opens a device for its side
** effects: opens are non-blocking, and a name that is not a regular file (FIFO, socket,
** character or block device) is refused for writing (ERROR_ACCESS_DENIED) and, for
** reading, yields a handle on which ReadFile and GetFileSize fail at once with
** ERROR_INVALID_FUNCTION, so the caller reports the file as unreadable. A folder is
** refused either way (ERROR_ACCESS_DENIED).
**
** Attributes. GetFileAttributesA describes what a name leads to (a folder, a device, a
** read-only file) and adds FILE_ATTRIBUTE_REPARSE_POINT when the name itself is a symbolic
** link (a dangling one has that bit alone), as Windows marks links.
**
** Replacing. ReplaceFileA follows symbolic links at the replaced name, so the link stays
** and its target file receives the new bytes (as editors do); the new file takes the
** replaced file's permission bits and, where the process may set them, its owner and
** group. A target that is not a regular file is refused and left as it was.
**
** Errors are Windows codes (GetLastError): ERROR_FILE_NOT_FOUND when the folder exists
** but the file does not, ERROR_PATH_NOT_FOUND when a folder is missing,
** ERROR_ACCESS_DENIED for permissions and for folders opened as files, and so on.
**
** Fault seams (tbxtest::InjectFault): FileCreate and FileOpen fail the open with
** ERROR_ACCESS_DENIED, FileWrite and FileRead transfer half of what is asked and report
** success, FileRename fails the move or the replacement, FileSize makes GetFileSize fail,
** FileReadStall holds ReadFile until tbxtest::ReleaseFileStall (a read hung on a dead
** network mount), UnnamedFile makes TbxCreateUnnamedFile find no unnamed files.
**
** Threads: the handle table is guarded by gFilesMu (playlist files are read on the timer
** thread); the last error is per thread.
*/
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/core.h"
#include "platform/split.h"

namespace {

struct OpenFile {
  int fd;
  bool canRead;
  bool canWrite;
  bool special;   /* not a regular file (FIFO, socket, device): reads and sizes fail */
};

std::mutex gFilesMu;                          /* guards gFiles */
std::map<HANDLE, OpenFile> gFiles;            /* open handles */
thread_local DWORD tLastError = 0;            /* GetLastError of this thread */

/* The FileReadStall seam: a struck read waits until the release count moves on. */
std::mutex gStallMu;                          /* guards the two counts */
std::condition_variable gStallCv;
uint64_t gStallReleases = 0;                  /* ReleaseFileStall calls so far */
int gStalledReads = 0;                        /* reads waiting now */
constexpr auto kStallLimit = std::chrono::seconds(30);  /* a forgotten release ends here */

/* The working folder at start-up; the file dialogs move it, the reset puts it back. */
std::string InitialFolder() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string("/");
}
const std::string gInitialFolder = InitialFolder();

DWORD ErrorFromErrno(int e, bool folderMissing) {
  switch (e) {
    case ENOENT: return folderMissing ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
    case ENXIO:
    case ELOOP: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    default: return ERROR_GEN_FAILURE;
  }
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/* The folder part of a POSIX path ("." for a bare name, "/" for a name in the root). */
std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

/* The entry of `folder` that equals `name` ignoring case; "" when none. */
std::string MatchCaseless(const std::string& folder, const std::string& name) {
  DIR* d = opendir(folder.empty() ? "." : folder.c_str());
  if (!d) return "";
  std::vector<std::string> hits;
  while (dirent* e = readdir(d))
    if (strcasecmp(e->d_name, name.c_str()) == 0) hits.push_back(e->d_name);
  closedir(d);
  if (hits.empty()) return "";
  std::sort(hits.begin(), hits.end());
  return hits.front();
}

/* The POSIX path of a Windows-style name, spelled exactly as given (for creating,
** replacing, renaming, deleting); `folderMissing` tells whether its folder does not exist
** (for the error code). */
std::string ExactPath(const char* name, bool* folderMissing) {
  std::string path(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  size_t slash = path.find_last_of('/');
  *folderMissing = slash != std::string::npos && slash > 0 && !IsFolder(path.substr(0, slash));
  return path;
}

/* The POSIX path for a Windows-style name to be found (read): components missing as
** written match case-insensitively; `folderMissing` as for ExactPath. */
std::string Resolve(const char* name, bool* folderMissing) {
  std::string in(name);
  std::replace(in.begin(), in.end(), '\\', '/');
  *folderMissing = false;
  if (Exists(in)) return in;
  std::string out = in[0] == '/' ? "/" : "";
  size_t pos = in[0] == '/' ? 1 : 0;
  while (pos <= in.size()) {
    size_t next = in.find('/', pos);
    if (next == std::string::npos) next = in.size();
    std::string part = in.substr(pos, next - pos);
    bool last = next >= in.size();
    if (!part.empty()) {
      std::string candidate = out + part;
      if (!Exists(candidate)) {
        std::string hit = (part == "." || part == "..") ? "" : MatchCaseless(out, part);
        if (!hit.empty()) candidate = out + hit;
      }
      if (!last && !IsFolder(candidate)) *folderMissing = true;
      out = candidate;
      if (!last) out += '/';
    } else if (last && !out.empty() && out.back() != '/') {
      out += '/';
    }
    pos = next + 1;
  }
  return out;
}

OpenFile* Find(HANDLE h) {
  auto it = gFiles.find(h);
  return it == gFiles.end() ? nullptr : &it->second;
}

/* Fsyncs the folder that holds `path`, so a rename survives a crash. */
void SyncFolderOf(const std::string& path) {
  int fd = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

/* Follows symbolic links from `path` to the name that is not a link (which may not exist:
** a dangling link names the file to create). False with errno ELOOP past 40 links. */
bool FollowLinks(const std::string& path, std::string* out) {
  std::string p = path;
  for (int hops = 0; hops < 40; hops++) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *out = p;
      return true;
    }
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n = readlink(p.c_str(), buf.data(), buf.size());
    if (n < 0) return false;
    std::string target(buf.data(), static_cast<size_t>(n));
    p = target[0] == '/' ? target : FolderOf(p) + "/" + target;
  }
  errno = ELOOP;
  return false;
}

/* Copies the file at `from` into a new unique file beside `to`, with `mode`, and renames
** it to `to` (a replacement across file systems). False with errno set on failure; the
** unique file is then gone. */
bool CopyInto(const std::string& from, const std::string& to, mode_t mode) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return false;
  std::string temp;
  int out = -1;
  for (unsigned attempt = 0; out < 0 && attempt < 100; attempt++) {
    char suffix[40];
    snprintf(suffix, sizeof suffix, "/.~tbx%08x%02x.tmp", static_cast<unsigned>(getpid()), attempt);
    temp = FolderOf(to) + suffix;
    out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0 && errno != EEXIST) break;
  }
  bool ok = out >= 0;
  char buf[65536];
  while (ok) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      done += w;
    }
  }
  ok = ok && fchmod(out, mode) == 0 && fsync(out) == 0;
  int saved = errno;
  close(in);
  if (out >= 0 && close(out) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp.c_str(), to.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok && out >= 0) unlink(temp.c_str());
  errno = saved;
  return ok;
}

}  // namespace

void CoreFilesReset() {
  {
    std::lock_guard<std::mutex> lock(gFilesMu);
    for (auto& [h, f] : gFiles) close(f.fd);
    gFiles.clear();
  }
  if (chdir(gInitialFolder.c_str()) != 0) { /* the folder is gone; stay where we are */
  }
  tLastError = 0;
}

DWORD WINAPI GetLastError(void) { return tLastError; }
void WINAPI SetLastError(DWORD code) { tLastError = code; }

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                          HANDLE) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!*name) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  bool write = access & GENERIC_WRITE, read = access & GENERIC_READ;
  if (FaultStrikes(write ? tbxtest::Fault::FileCreate : tbxtest::Fault::FileOpen)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  /* Never blocks: a FIFO without a writer opens at once (and is then refused below). */
  int oflags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  switch (disposition) {
    case CREATE_NEW: oflags |= O_CREAT | O_EXCL | O_NOFOLLOW; break;
    case CREATE_ALWAYS: oflags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: oflags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      oflags |= O_TRUNC;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
  }
  /* Only a read of an existing file may find a name in another letter case. */
  bool folderMissing;
  bool finding = disposition == OPEN_EXISTING && !write;
  std::string path = finding ? Resolve(name, &folderMissing) : ExactPath(name, &folderMissing);
  if (folderMissing) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!path.empty() && path.back() == '/') {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  /* A FIFO, socket or device is not opened for its data at all: a read gets a handle that
  ** only describes it (so the caller says "unreadable"), a write is refused. */
  struct stat st;
  bool special = stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
  if (special && write) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (special) oflags = O_PATH | O_CLOEXEC;
  bool existed = Exists(path);
  mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  int fd = open(path.c_str(), oflags, mode);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return INVALID_HANDLE_VALUE;
  }
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || (write && !S_ISREG(st.st_mode))) {
    /* A folder opens on POSIX but is not a file on Windows; a special file swapped in after
    ** the look above is refused for writing all the same. */
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  special = !S_ISREG(st.st_mode);
  if (!special) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  HANDLE h = reinterpret_cast<HANDLE>(NextHandle(kFileBase));
  {
    std::lock_guard<std::mutex> lock(gFilesMu);
    gFiles[h] = OpenFile{fd, read, write, special};
  }
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                       : ERROR_SUCCESS);
  return h;
}

/* What a call needs of a handle: opened for reading, for writing, a regular file (a special
** file's handle is neither read from nor measured). */
enum { FD_ANY = 0, FD_READ = 1, FD_WRITE = 2, FD_REGULAR = 4 };

/* The descriptor behind a handle that has what `need` asks, or -1 with the error set. With
** `forget` the handle is taken out of the table (CloseHandle). */
static int DescriptorFor(HANDLE h, unsigned need, bool forget = false) {
  std::lock_guard<std::mutex> lock(gFilesMu);
  OpenFile* f = Find(h);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (((need & FD_READ) && !f->canRead) || ((need & FD_WRITE) && !f->canWrite)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  if ((need & FD_REGULAR) && f->special) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return -1;
  }
  const int fd = f->fd;
  if (forget) gFiles.erase(h);
  return fd;
}

/* Holds a read struck by the FileReadStall seam until ReleaseFileStall (or kStallLimit). */
static void StallRead(void) {
  std::unique_lock<std::mutex> lock(gStallMu);
  uint64_t seen = gStallReleases;
  gStalledReads++;
  gStallCv.wait_for(lock, kStallLimit, [seen] { return gStallReleases != seen; });
  gStalledReads--;
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD readOut, LPOVERLAPPED) {
  if (readOut) *readOut = 0;
  int fd = DescriptorFor(h, FD_READ | FD_REGULAR);
  if (fd < 0) return FALSE;
  if (!buffer && toRead) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (FaultStrikes(tbxtest::Fault::FileReadStall)) StallRead();
  if (FaultStrikes(tbxtest::Fault::FileRead)) toRead /= 2;
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = read(fd, static_cast<char*>(buffer) + done, toRead - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (readOut) *readOut = done;
      SetLastError(ErrorFromErrno(errno, false));
      return FALSE;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (readOut) *readOut = done;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD writtenOut, LPOVERLAPPED) {
  if (writtenOut) *writtenOut = 0;
  int fd = DescriptorFor(h, FD_WRITE | FD_REGULAR);
  if (fd < 0) return FALSE;
  if (!buffer && toWrite) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (FaultStrikes(tbxtest::Fault::FileWrite)) toWrite /= 2;
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = write(fd, static_cast<const char*>(buffer) + done, toWrite - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (writtenOut) *writtenOut = done;
      SetLastError(n < 0 ? ErrorFromErrno(errno, false) : ERROR_WRITE_FAULT);
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (writtenOut) *writtenOut = done;
  return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE h, LPDWORD high) {
  const int fd = DescriptorFor(h, FD_REGULAR);
  if (fd < 0) return INVALID_FILE_SIZE;
  if (FaultStrikes(tbxtest::Fault::FileSize)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_SIZE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return INVALID_FILE_SIZE;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (high) *high = static_cast<DWORD>(size >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size & 0xFFFFFFFF);
}

BOOL WINAPI FlushFileBuffers(HANDLE h) {
  const int fd = DescriptorFor(h, FD_ANY);
  if (fd < 0) return FALSE;
  if (fsync(fd) != 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
  const int fd = DescriptorFor(h, FD_ANY, true);
  if (fd < 0) return FALSE;
  if (close(fd) != 0 && errno != EINTR) {
    /* A delayed write error (NFS, full disk) surfaces here: the data did not reach the file. */
    SetLastError(ErrorFromErrno(errno, false));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
  if (!name || !*name) {
    SetLastError(name ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool folderMissing;
  std::string path = ExactPath(name, &folderMissing);
  if (folderMissing) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (IsFolder(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlink(path.c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (!from || !to || !*from || !*to) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (FaultStrikes(tbxtest::Fault::FileRename)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  bool srcMissing, dstMissing;
  std::string src = ExactPath(from, &srcMissing), dst = ExactPath(to, &dstMissing);
  if (srcMissing || dstMissing) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!Exists(src)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (IsFolder(dst)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  int r;
  if (flags & MOVEFILE_REPLACE_EXISTING) {
    r = rename(src.c_str(), dst.c_str());
  } else {
    /* Atomically refused when the name exists, also when another process creates it
    ** between a look and the move. */
    r = renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE);
    if (r != 0 && errno == EINVAL) {  /* a file system without it */
      if (Exists(dst)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
      }
      r = rename(src.c_str(), dst.c_str());
    }
  }
  if (r != 0) {
    SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno, false));
    return FALSE;
  }
  if (flags & MOVEFILE_WRITE_THROUGH) SyncFolderOf(dst);
  return TRUE;
}

BOOL WINAPI ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup, DWORD flags, LPVOID, LPVOID) {
  if (!replaced || !replacement || !*replaced || !*replacement || backup) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool srcMissing, dstMissing;
  std::string src = ExactPath(replacement, &srcMissing), link = ExactPath(replaced, &dstMissing);
  if (srcMissing || dstMissing) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  struct stat st;
  if (lstat(link.c_str(), &st) != 0) {
    SetLastError(ErrorFromErrno(errno, false));   /* the caller moves the file there instead */
    return FALSE;
  }
  if (FaultStrikes(tbxtest::Fault::FileRename)) {
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    return FALSE;
  }
  std::string dst;
  if (!FollowLinks(link, &dst)) {
    SetLastError(ErrorFromErrno(errno, false));
    return FALSE;
  }
  bool targetExists = stat(dst.c_str(), &st) == 0;
  if (targetExists && !S_ISREG(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);   /* a folder, FIFO or device keeps what it is */
    return FALSE;
  }
  mode_t mode;
  if (targetExists) {
    /* Owner first: a change of owner may clear set-id bits that the mode then restores.
    ** An owner or group the process may not give stays the process's own. */
    if (chown(src.c_str(), st.st_uid, st.st_gid) != 0 && chown(src.c_str(), static_cast<uid_t>(-1), st.st_gid) != 0) {
      /* not permitted: the new file keeps the process's owner */
    }
    mode = st.st_mode & 07777;
    if (chmod(src.c_str(), mode) != 0) {
      SetLastError(ErrorFromErrno(errno, false));
      return FALSE;
    }
  } else {
    /* A dangling link: the file it names is created with the replacement's own mode. */
    struct stat own;
    mode = lstat(src.c_str(), &own) == 0 ? own.st_mode & 07777 : 0644;
  }
  if (rename(src.c_str(), dst.c_str()) != 0) {
    /* The link's target lies on another file system: copy beside it, then rename there. */
    if (errno != EXDEV || !CopyInto(src, dst, mode)) {
      SetLastError(ErrorFromErrno(errno, false));
      return FALSE;
    }
    unlink(src.c_str());
  }
  (void)flags;
  SyncFolderOf(dst);   /* the replacement survives a crash, as the write-through move does */
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR name) {
  if (!name || !*name) {
    SetLastError(name ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  bool folderMissing;
  std::string path = ExactPath(name, &folderMissing);
  struct stat st;
  const DWORD link = lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? FILE_ATTRIBUTE_REPARSE_POINT : 0;
  if (stat(path.c_str(), &st) != 0) {
    if (link) return link;   /* a dangling link */
    SetLastError(ErrorFromErrno(errno, folderMissing));
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return link | FILE_ATTRIBUTE_DIRECTORY;
  if (!S_ISREG(st.st_mode)) return link | FILE_ATTRIBUTE_DEVICE;
  return link | ((st.st_mode & 0222) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY);
}

/* A new folder, named exactly as given, with the permissions the process's umask leaves
** of rwx for all; ERROR_ALREADY_EXISTS when the name exists (folder or not), as Windows. */
BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
  if (!name || !*name) {
    SetLastError(name ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool folderMissing;
  std::string path = ExactPath(name, &folderMissing);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (mkdir(path.c_str(), 0777) != 0) {
    SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorFromErrno(errno, folderMissing));
    return FALSE;
  }
  return TRUE;
}

/* The name made absolute against the working folder, '\' as '/', "." and ".." parts
** resolved as text (no link is followed, nothing need exist). Returns the length without
** the terminating zero, or the size needed with it when the buffer is too small. */
DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string in(name);
  std::replace(in.begin(), in.end(), '\\', '/');
  if (in[0] != '/') {
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) {
      SetLastError(ErrorFromErrno(errno, false));
      return 0;
    }
    in = std::string(cwd) + "/" + in;
  }
  std::vector<std::string> parts;
  for (const std::string& part : SplitAt(in, '/')) {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  if (out.empty() || (in.back() == '/' && out != "/")) out += "/";
  if (out.size() + 1 > size || !buffer) return static_cast<DWORD>(out.size() + 1);
  std::memcpy(buffer, out.c_str(), out.size() + 1);
  if (filePart) {
    size_t slash = out.find_last_of('/');
    *filePart = slash + 1 < out.size() ? buffer + slash + 1 : nullptr;
  }
  return static_cast<DWORD>(out.size());
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR name) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool folderMissing;
  std::string path = ExactPath(name, &folderMissing);
  if (chdir(path.c_str()) != 0) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno, folderMissing));
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

/* ---------------------------------------------------------------- unnamed files */

/* The descriptor's name under /proc, which linkat takes to give the file a name. */
static std::string ProcName(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

/* The name an unnamed file for `name` ends up with: `name` exactly, its links followed;
** false with the error set when there is none. */
static bool LinkDestination(LPCSTR name, std::string* dst) {
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  bool folderMissing;
  if (!FollowLinks(ExactPath(name, &folderMissing), dst)) {
    SetLastError(ErrorFromErrno(errno, false));
    return false;
  }
  return true;
}

HANDLE TbxCreateUnnamedFile(LPCSTR name) {
  std::string dst;
  if (!LinkDestination(name, &dst)) return INVALID_HANDLE_VALUE;
  if (FaultStrikes(tbxtest::Fault::FileCreate)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!IsFolder(FolderOf(dst))) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  /* The mode is taken through the umask, as a created file's is. */
  int fd = FaultStrikes(tbxtest::Fault::UnnamedFile) ? (errno = EOPNOTSUPP, -1)
                                                      : open(FolderOf(dst).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0 && access(ProcName(fd).c_str(), F_OK) != 0) {   /* no /proc: it could never be named */
    close(fd);
    fd = -1;
    errno = EOPNOTSUPP;
  }
  if (fd < 0) {
    /* EISDIR: a kernel that knows no O_TMPFILE took it for O_DIRECTORY. */
    const bool none = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL;
    SetLastError(none ? ERROR_NOT_SUPPORTED : ErrorFromErrno(errno, false));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = reinterpret_cast<HANDLE>(NextHandle(kFileBase));
  std::lock_guard<std::mutex> lock(gFilesMu);
  gFiles[h] = OpenFile{fd, false, true, false};
  return h;
}

BOOL TbxLinkUnnamedFile(HANDLE h, LPCSTR name) {
  const int fd = DescriptorFor(h, FD_WRITE);
  std::string dst;
  if (fd < 0 || !LinkDestination(name, &dst)) return FALSE;
  if (FaultStrikes(tbxtest::Fault::FileRename)) {
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    return FALSE;
  }
  struct stat st;
  const bool exists = stat(dst.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  /* As ReplaceFileA: owner first (it may clear set-id bits the mode then restores), an
  ** owner or group the process may not give stays its own. */
  if (exists && fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0) {
    /* not permitted: the file keeps the process's owner */
  }
  if (exists && fchmod(fd, st.st_mode & 07777) != 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return FALSE;
  }
  const std::string proc = ProcName(fd);
  /* A new name is taken directly (linkat never replaces); a file there is replaced by a
  ** rename from a unique name beside it, which exists for that moment only. */
  int r = exists ? -1 : linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, dst.c_str(), AT_SYMLINK_FOLLOW);
  if (r != 0 && (exists || errno == EEXIST)) {
    std::string temp;
    for (unsigned attempt = 0; attempt < 100; attempt++) {
      char suffix[40];
      snprintf(suffix, sizeof suffix, "/.~tbx%08x%02x.lnk", static_cast<unsigned>(getpid()), attempt);
      temp = FolderOf(dst) + suffix;
      r = linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW);
      if (r == 0 || errno != EEXIST) break;
    }
    if (r == 0 && rename(temp.c_str(), dst.c_str()) != 0) {
      const int saved = errno;
      unlink(temp.c_str());
      errno = saved;
      r = -1;
    }
  }
  if (r != 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return FALSE;
  }
  SyncFolderOf(dst);
  return TRUE;
}

namespace tbxtest {

void ReleaseFileStall() {
  std::lock_guard<std::mutex> lock(gStallMu);
  gStallReleases++;
  gStallCv.notify_all();
}

int StalledFileReads() {
  std::lock_guard<std::mutex> lock(gStallMu);
  return gStalledReads;
}

}  // namespace tbxtest
