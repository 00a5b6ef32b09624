/* Preloaded into the command line by the tests (LD_PRELOAD): open() with O_TMPFILE fails
** as on a file system without unnamed files (vfat, NFS), so that the named temporary file
** the program falls back to, and its clean-up at a signal, are tested on any machine. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/types.h>

typedef int (*OpenFn)(const char*, int, ...);

static int Open(const char* name, const char* path, int flags, va_list ap) {
  mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  OpenFn real = (OpenFn)dlsym(RTLD_NEXT, name);
  return real(path, flags, mode);
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = Open("open", path, flags, ap);
  va_end(ap);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = Open("open64", path, flags, ap);
  va_end(ap);
  return fd;
}
