// SPDX-License-Identifier: MIT
// A failing machine, preloaded into a host (LD_PRELOAD): fails the Nth call
// of one C library function, counted while the host has armed it, as a
// full disk, an exhausted heap or a thread limit would.
//
//   KIV_FAULT=NAME:N      fail the Nth armed call of NAME (from 1)
//   KIV_FAULT_COUNTS=F    append "NAME COUNT" lines for the armed calls to F
//                         when the host disarms
//
// The host arms and disarms through kiv_fault_arm(1|0), found with dlsym,
// so that only the calls its operation makes are counted, whatever thread
// makes them. Allocation goes to glibc's own entry points (operator new
// reaches malloc); everything else to the next definition (RTLD_NEXT).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum {
  kMalloc, kCalloc, kRealloc, kOpen, kRead, kWrite, kFsync, kLseek, kClose, kRename, kFtruncate,
  kPthreadCreate, kFunctions
};
static const char* const kNames[kFunctions] = {"malloc", "calloc", "realloc", "open",   "read",
                                               "write",  "fsync",  "lseek",   "close",  "rename",
                                               "ftruncate", "pthread_create"};

static int g_armed;
static unsigned long g_counts[kFunctions];
static int g_target = -1;
static unsigned long g_nth;
static int g_configured;

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

static void Configure(void) {
  if (__atomic_load_n(&g_configured, __ATOMIC_ACQUIRE)) return;
  const char* spec = getenv("KIV_FAULT");
  if (spec != NULL) {
    const char* colon = strchr(spec, ':');
    for (int i = 0; colon != NULL && i < kFunctions; ++i)
      if ((size_t)(colon - spec) == strlen(kNames[i]) && strncmp(spec, kNames[i], strlen(kNames[i])) == 0) {
        g_target = i;
        g_nth = strtoul(colon + 1, NULL, 10);
      }
  }
  __atomic_store_n(&g_configured, 1, __ATOMIC_RELEASE);
}

// True when this call of `f` is the one to fail.
static int Fails(int f) {
  if (!__atomic_load_n(&g_armed, __ATOMIC_ACQUIRE)) return 0;
  Configure();
  unsigned long n = __atomic_add_fetch(&g_counts[f], 1, __ATOMIC_RELAXED);
  return f == g_target && n == g_nth;
}

void kiv_fault_arm(int on) {
  Configure();
  if (on) {
    memset(g_counts, 0, sizeof g_counts);
    __atomic_store_n(&g_armed, 1, __ATOMIC_RELEASE);
    return;
  }
  __atomic_store_n(&g_armed, 0, __ATOMIC_RELEASE);
  const char* out = getenv("KIV_FAULT_COUNTS");
  FILE* f = out != NULL ? fopen(out, "a") : NULL;
  if (f == NULL) return;
  for (int i = 0; i < kFunctions; ++i) fprintf(f, "%s %lu\n", kNames[i], g_counts[i]);
  fclose(f);
}

// The real functions, found before anything is armed: dlsym may allocate.
static struct {
  int (*open)(const char*, int, ...);
  int (*open64)(const char*, int, ...);
  int (*openat)(int, const char*, int, ...);
  int (*openat64)(int, const char*, int, ...);
  ssize_t (*read)(int, void*, size_t);
  ssize_t (*write)(int, const void*, size_t);
  int (*fsync)(int);
  off_t (*lseek)(int, off_t, int);
  off64_t (*lseek64)(int, off64_t, int);
  int (*close)(int);
  int (*rename)(const char*, const char*);
  int (*renameat2)(int, const char*, int, const char*, unsigned);
  int (*ftruncate)(int, off_t);
  int (*ftruncate64)(int, off64_t);
  int (*pthread_create)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
} real;

__attribute__((constructor)) static void FindTheRealFunctions(void) {
#define FIND(name) *(void**)&real.name = dlsym(RTLD_NEXT, #name)
  FIND(open); FIND(open64); FIND(openat); FIND(openat64); FIND(read); FIND(write); FIND(fsync); FIND(lseek);
  FIND(lseek64); FIND(close); FIND(rename); FIND(renameat2); FIND(ftruncate); FIND(ftruncate64);
  FIND(pthread_create);
#undef FIND
  Configure();
}

void* malloc(size_t n) {
  if (Fails(kMalloc)) return errno = ENOMEM, NULL;
  return __libc_malloc(n);
}
void* calloc(size_t n, size_t size) {
  if (Fails(kCalloc)) return errno = ENOMEM, NULL;
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n) {
  if (Fails(kRealloc)) return errno = ENOMEM, NULL;
  return __libc_realloc(p, n);
}

// The mode argument is there only when the flags ask for one.
static mode_t ModeOf(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}
#define OPEN_LIKE(name)                                  \
  int name(const char* path, int flags, ...) {           \
    va_list ap;                                          \
    va_start(ap, flags);                                 \
    mode_t mode = ModeOf(flags, ap);                     \
    va_end(ap);                                          \
    if (Fails(kOpen)) return errno = EMFILE, -1;         \
    return real.name(path, flags, mode);                 \
  }
#define OPENAT_LIKE(name)                                 \
  int name(int dirfd, const char* path, int flags, ...) { \
    va_list ap;                                           \
    va_start(ap, flags);                                  \
    mode_t mode = ModeOf(flags, ap);                      \
    va_end(ap);                                           \
    if (Fails(kOpen)) return errno = EMFILE, -1;          \
    return real.name(dirfd, path, flags, mode);           \
  }
OPEN_LIKE(open)
OPEN_LIKE(open64)
OPENAT_LIKE(openat)
OPENAT_LIKE(openat64)

ssize_t read(int fd, void* buf, size_t n) {
  if (Fails(kRead)) return errno = EIO, -1;
  return real.read(fd, buf, n);
}
ssize_t write(int fd, const void* buf, size_t n) {
  if (Fails(kWrite)) return errno = ENOSPC, -1;
  return real.write(fd, buf, n);
}
int fsync(int fd) {
  if (Fails(kFsync)) return errno = EIO, -1;
  return real.fsync(fd);
}
off_t lseek(int fd, off_t offset, int whence) {
  if (Fails(kLseek)) return errno = EIO, (off_t)-1;
  return real.lseek(fd, offset, whence);
}
off64_t lseek64(int fd, off64_t offset, int whence) {
  if (Fails(kLseek)) return errno = EIO, (off64_t)-1;
  return real.lseek64(fd, offset, whence);
}
// Linux releases the descriptor even when close reports an error.
int close(int fd) {
  int failing = Fails(kClose);
  int r = real.close(fd);
  if (failing) return errno = EIO, -1;
  return r;
}
int rename(const char* from, const char* to) {
  if (Fails(kRename)) return errno = EIO, -1;
  return real.rename(from, to);
}
int renameat2(int fromdir, const char* from, int todir, const char* to, unsigned flags) {
  if (Fails(kRename)) return errno = EIO, -1;
  return real.renameat2(fromdir, from, todir, to, flags);
}
int ftruncate(int fd, off_t length) {
  if (Fails(kFtruncate)) return errno = EIO, -1;
  return real.ftruncate(fd, length);
}
int ftruncate64(int fd, off64_t length) {
  if (Fails(kFtruncate)) return errno = EIO, -1;
  return real.ftruncate64(fd, length);
}
int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  if (Fails(kPthreadCreate)) return EAGAIN;
  return real.pthread_create(thread, attr, start, arg);
}
