/*
** This file contains the file calls of the Win32 subset on POSIX: CreateFileA, ReadFile,
** WriteFile, GetFileSize, SetFilePointer, FlushFileBuffers, CloseHandle, DeleteFileA,
** MoveFileExA and the thread's last error.
**
** Names. Both '/' and '\' separate folders. When a name does not exist as written, each
** component that is missing is looked up case-insensitively in its folder (the exact
** spelling wins; among several case variants the first in byte order), so "intro.TBX"
** finds intro.tbx and saving "Intro.tbx" replaces it instead of creating a second file,
** as on Windows. A new file keeps the spelling it was given.
**
** Errors are Windows codes (GetLastError): ERROR_FILE_NOT_FOUND when the folder exists
** but the file does not, ERROR_PATH_NOT_FOUND when a folder is missing,
** ERROR_ACCESS_DENIED for permissions and for folders opened as files, and so on.
**
** Fault seams (tbxtest::InjectFault): FileCreate and FileOpen fail the open with
** ERROR_ACCESS_DENIED, FileWrite and FileRead transfer half of what is asked and report
** success, FileRename fails the move, FileSize makes GetFileSize fail.
**
** Threads: the handle table is guarded by gFilesMu (playlist files are read on the timer
** thread); the last error is per thread.
*/
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/core.h"

namespace {

struct OpenFile {
  int fd;
  bool canRead;
  bool canWrite;
};

std::mutex gFilesMu;                          /* guards gFiles */
std::map<HANDLE, OpenFile> gFiles;            /* open handles */
thread_local DWORD tLastError = 0;            /* GetLastError of this thread */

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
    case ETXTBSY: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
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

/* The POSIX path for a Windows-style name; `folderMissing` tells whether a folder on the
** way does not exist (for the error code). */
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
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
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
  int oflags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  switch (disposition) {
    case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
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
  bool folderMissing;
  std::string path = Resolve(name, &folderMissing);
  if (folderMissing) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!path.empty() && path.back() == '/') {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  bool existed = Exists(path);
  mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  int fd = open(path.c_str(), oflags, mode);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    /* A folder opens on POSIX but is not a file on Windows. */
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = reinterpret_cast<HANDLE>(NextHandle(kFileBase));
  {
    std::lock_guard<std::mutex> lock(gFilesMu);
    gFiles[h] = OpenFile{fd, read, write};
  }
  SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                       : ERROR_SUCCESS);
  return h;
}

/* The descriptor behind a handle opened for reading (or writing), or -1 with the error set. */
static int DescriptorFor(HANDLE h, bool forWrite) {
  std::lock_guard<std::mutex> lock(gFilesMu);
  OpenFile* f = Find(h);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (!(forWrite ? f->canWrite : f->canRead)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return f->fd;
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD readOut, LPOVERLAPPED) {
  if (readOut) *readOut = 0;
  int fd = DescriptorFor(h, false);
  if (fd < 0) return FALSE;
  if (!buffer && toRead) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
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
  int fd = DescriptorFor(h, true);
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
  int fd;
  {
    std::lock_guard<std::mutex> lock(gFilesMu);
    OpenFile* f = Find(h);
    if (!f) {
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_FILE_SIZE;
    }
    fd = f->fd;
  }
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

DWORD WINAPI SetFilePointer(HANDLE h, LONG distance, PLONG high, DWORD method) {
  int fd;
  {
    std::lock_guard<std::mutex> lock(gFilesMu);
    OpenFile* f = Find(h);
    if (!f) {
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_SET_FILE_POINTER;
    }
    fd = f->fd;
  }
  int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : method == FILE_END ? SEEK_END : -1;
  if (whence < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t offset = high ? (static_cast<int64_t>(*high) << 32) | static_cast<uint32_t>(distance) : distance;
  off_t r = lseek(fd, static_cast<off_t>(offset), whence);
  if (r < 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return INVALID_SET_FILE_POINTER;
  }
  if (high) *high = static_cast<LONG>(static_cast<uint64_t>(r) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(static_cast<uint64_t>(r) & 0xFFFFFFFF);
}

BOOL WINAPI FlushFileBuffers(HANDLE h) {
  int fd;
  {
    std::lock_guard<std::mutex> lock(gFilesMu);
    OpenFile* f = Find(h);
    if (!f) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    fd = f->fd;
  }
  if (fsync(fd) != 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h) {
  int fd;
  {
    std::lock_guard<std::mutex> lock(gFilesMu);
    OpenFile* f = Find(h);
    if (!f) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    fd = f->fd;
    gFiles.erase(h);
  }
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
  std::string path = Resolve(name, &folderMissing);
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
  std::string src = Resolve(from, &srcMissing), dst = Resolve(to, &dstMissing);
  if (srcMissing || dstMissing) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!Exists(src)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (Exists(dst) && src != dst) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
    if (IsFolder(dst)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  if (rename(src.c_str(), dst.c_str()) != 0) {
    SetLastError(ErrorFromErrno(errno, false));
    return FALSE;
  }
  if (flags & MOVEFILE_WRITE_THROUGH) SyncFolderOf(dst);
  return TRUE;
}
