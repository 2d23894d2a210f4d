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
// makes them. A program that knows nothing of the shim (the tool) runs
// armed from the moment its main() is entered with KIV_FAULT_ARMED=main;
// its counts are written when it exits.
//
//   KIV_FAULT_SPARE=A,B   allocations made directly from an object whose
//                         path holds A or B are neither counted nor failed
//                         (for libraries that crash when one fails) Allocation goes to glibc's own entry points (operator new
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
static char g_spare[512];

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

static void Configure(void) {
  if (__atomic_load_n(&g_configured, __ATOMIC_ACQUIRE)) return;
  const char* wanted = getenv("KIV_FAULT");
  if (wanted != NULL) {
    const char* colon = strchr(wanted, ':');
    for (int i = 0; colon != NULL && i < kFunctions; ++i)
      if ((size_t)(colon - wanted) == strlen(kNames[i]) && strncmp(wanted, kNames[i], strlen(kNames[i])) == 0) {
        g_target = i;
        g_nth = strtoul(colon + 1, NULL, 10);
      }
  }
  const char* spare = getenv("KIV_FAULT_SPARE");
  if (spare != NULL) snprintf(g_spare, sizeof g_spare, "%s", spare);
  __atomic_store_n(&g_configured, 1, __ATOMIC_RELEASE);
}

// True when the code at `caller` lies in an object that KIV_FAULT_SPARE names.
static int Spared(void* caller) {
  if (g_spare[0] == 0 || caller == NULL) return 0;
  Dl_info info;
  if (dladdr(caller, &info) == 0 || info.dli_fname == NULL) return 0;
  char list[sizeof g_spare];
  memcpy(list, g_spare, sizeof list);
  for (char* save = NULL, *name = strtok_r(list, ",", &save); name != NULL; name = strtok_r(NULL, ",", &save))
    if (strstr(info.dli_fname, name) != NULL) return 1;
  return 0;
}

// True when this call of `f`, made from `caller`, is the one to fail.
static int FailsFrom(int f, void* caller) {
  if (!__atomic_load_n(&g_armed, __ATOMIC_ACQUIRE)) return 0;
  Configure();
  if (f <= kRealloc && Spared(caller)) return 0;
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

#define Fails(f) FailsFrom((f), __builtin_return_address(0))

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

// Arms at main() for KIV_FAULT_ARMED=main: what the program's static
// initialisers (and those of the libraries it uses) do is not its own.
typedef int (*MainFn)(int, char**, char**);
static MainFn g_main;
static int ArmedMain(int argc, char** argv, char** env) {
  kiv_fault_arm(1);
  return g_main(argc, argv, env);
}
int __libc_start_main(MainFn main, int argc, char** argv, void (*init)(void), void (*fini)(void),
                      void (*rtld_fini)(void), void* stack_end) {
  int (*next)(MainFn, int, char**, void (*)(void), void (*)(void), void (*)(void), void*);
  *(void**)&next = dlsym(RTLD_NEXT, "__libc_start_main");
  const char* armed = getenv("KIV_FAULT_ARMED");
  g_main = main;
  return next(armed != NULL && strcmp(armed, "main") == 0 ? ArmedMain : main, argc, argv, init, fini, rtld_fini,
              stack_end);
}

__attribute__((destructor)) static void WriteCountsAtExit(void) {
  if (__atomic_load_n(&g_armed, __ATOMIC_ACQUIRE)) kiv_fault_arm(0);
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
