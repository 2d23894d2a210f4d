// SPDX-License-Identifier: MIT
// The tool's platform pieces on POSIX systems.
#include <fcntl.h>
#include <sys/resource.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <string>

#include "platform/console.h"

namespace kiv::tool {
namespace {

volatile std::sig_atomic_t g_request = 0;

// Sent to a worker to end its wait in a system call once a stop is
// requested; ignored by default (it reports out-of-band data on a socket,
// of which the tool owns none). A read or open that one cuts short while
// no stop is requested is made again.
constexpr int kWakeSignal = SIGURG;

// Every signal whose default action ends the process and that can be
// caught: each one lets the tool finish its file first.
constexpr int kTerminatingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
                                       SIGUSR2,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR};

// Temporary files in flight, in a fixed table that a signal handler can
// walk: each slot holds a name from the heap, or null. Taking and freeing a
// slot are single atomic exchanges, so the handler never sees half a name.
constexpr std::size_t kTrackedSlots = 1024;
std::atomic<char*> g_tracked[kTrackedSlots];

// Removes every file still tracked; async-signal-safe (unlink only).
void RemoveTrackedNow() {
  for (auto& slot : g_tracked)
    if (char* name = slot.load()) ::unlink(name);
}

// Whether a second request may end the tool at once (conversions, whose
// files the table names; never a recording, which finishes its file), and
// when the first request came.
volatile std::sig_atomic_t g_escalate = 0;
volatile std::sig_atomic_t g_first_second = 0;

std::sig_atomic_t MonotonicSecond() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return static_cast<std::sig_atomic_t>(now.tv_sec);
}

// The first request is recorded: the work stops at its next step, removes
// its files and ends as requested. A second one, a second or more later
// (the first could not be acted on: a read waiting on a silent pipe),
// removes the files at once and ends. A repeat within the second is the
// same request twice (timeout(1) signals the command, then its group).
void OnSignal(int sig) {
  if (g_request == 0) {
    g_request = sig;
    g_first_second = MonotonicSecond();
    return;
  }
  if (!g_escalate || MonotonicSecond() - g_first_second < 2) return;
  RemoveTrackedNow();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void CatchStopRequests() {
  // Without SA_RESTART: a read that waits (standard input from a silent
  // pipe) returns, so that the request is acted on.
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigfillset(&sa.sa_mask);
  for (int sig : kTerminatingSignals) sigaction(sig, &sa, nullptr);
}

void InterruptThread(std::thread& thread) {
  // Caught only from the first stop request on, and then only to cut a
  // wait short (without SA_RESTART); until then it stays ignored.
  static const bool caught = [] {
    struct sigaction wake {};
    wake.sa_handler = [](int) {};
    return sigaction(kWakeSignal, &wake, nullptr) == 0;
  }();
  if (caught && thread.joinable()) ::pthread_kill(thread.native_handle(), kWakeSignal);
}

void LeaveStopRequestsToTheMainThread() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kTerminatingSignals) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int StopRequest() { return g_request; }

void EndAsRequested(int sig) {
  std::fflush(nullptr);
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigaction(sig, &sa, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  std::_Exit(128 + sig);
}

bool EnterPressed(bool* watching) {
  if (!*watching) return false;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char buf[256];
  ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
  if (n <= 0) {
    *watching = false;
    return false;
  }
  return std::memchr(buf, '\n', static_cast<std::size_t>(n)) != nullptr;
}

bool IsTerminal(int fd) { return ::isatty(fd) != 0; }

bool DiskFull(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) != 0) return false;
  unsigned long long blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
  return blocks * fs.f_frsize < 16384;
}

void SleepMilliseconds(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

namespace {
bool g_closed_at_start[3] = {false, false, false};
}  // namespace

int OpenForReading(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | flags);
  } while (fd < 0 && errno == EINTR && g_request == 0);
  return fd;
}

bool StandardStreamWasClosed(int fd) { return fd >= 0 && fd <= 2 && g_closed_at_start[fd]; }

void EndLeavingAudioThreads(int code) { std::exit(code); }

// Terminals take UTF-8 as it is.
void Print(std::FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
}

void ReserveStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    g_closed_at_start[fd] = true;
    int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // The lowest free descriptor is `fd` itself; anything else is not ours.
    if (null != fd && null >= 0) ::close(null);
  }
}

bool IsStandardStream(const std::string& path, int only) {
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0) return false;
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat open {};
    if ((only < 0 || fd == only) && ::fstat(fd, &open) == 0 && open.st_dev == named.st_dev &&
        open.st_ino == named.st_ino)
      return true;
  }
  return false;
}

namespace {

// Creates `path` only if nothing has that name yet; false otherwise.
bool CreateNewFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

namespace {

#if defined(F_OFD_SETLK)
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLock = F_SETLK;
#endif

// The library's writer lock: a write lock on the whole file.
struct flock WholeFileWriteLock() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return lock;
}

}  // namespace

EditLock LockForEditing(const std::string& path) {
  EditLock taken;
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return taken;
  struct flock lock = WholeFileWriteLock();
  int r;
  do {
    r = ::fcntl(fd, kSetLock, &lock);
  } while (r != 0 && errno == EINTR);
  if (r == 0) {
    taken.handle = fd;
    return taken;
  }
  taken.being_written = errno == EAGAIN || errno == EACCES;
  ::close(fd);
  return taken;
}

void UnlockAfterEditing(const EditLock& lock) {
  if (lock.handle >= 0) ::close(static_cast<int>(lock.handle));
}

bool LockStillOn(const EditLock& lock, const std::string& path) {
  struct stat held {}, named {};
  return lock.handle >= 0 && ::fstat(static_cast<int>(lock.handle), &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to, bool* taken) {
  *taken = false;
#if defined(RENAME_NOREPLACE)
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) {
    *taken = true;
    return false;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // Where the file system cannot do that in one step: a hard link fails if
  // the name is taken, and the temporary name then goes.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno == EEXIST) {
    *taken = true;
    return false;
  }
  // No hard links there either (vfat): the last check and the rename.
  if (::access(to.c_str(), F_OK) == 0) {
    *taken = true;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string CreateUnnamedFile(const std::string& folder, int* fd) {
#if defined(O_TMPFILE)
  *fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (*fd < 0) return "";
  std::string path = "/proc/self/fd/" + std::to_string(*fd);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return path;  // /proc is there to reopen it by
  ::close(*fd);
#endif
  *fd = -1;
  return "";
}

bool LinkUnnamedFile(int fd, const std::string& to, bool* taken) {
  const std::string from = "/proc/self/fd/" + std::to_string(fd);
  *taken = false;
  if (::linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  *taken = errno == EEXIST;
  return false;
}

void CloseUnnamedFile(int fd) { ::close(fd); }

std::string DescriptorName(const std::string& path, int* fd) {
  *fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (*fd < 0) return "";
  std::string name = "/proc/self/fd/" + std::to_string(*fd);
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0) return name;
  ::close(*fd);
  *fd = -1;
  return "";
}

void RemoveTrackedFilesOnInterrupt() {
  g_escalate = 1;
  // A write to a pipe without a reader, or past the file-size limit, fails
  // and is reported instead of ending the tool.
  CatchStopRequests();
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
}

std::intptr_t CreateTrackedFile(const std::string& path) {
  char* name = ::strdup(path.c_str());
  if (name == nullptr) return -1;
  for (std::size_t i = 0; i < kTrackedSlots; ++i) {
    char* expected = nullptr;
    if (!g_tracked[i].compare_exchange_strong(expected, name)) continue;
    // Named before it exists, so that no moment leaves it unnamed.
    if (CreateNewFile(path)) return static_cast<std::intptr_t>(i);
    std::free(g_tracked[i].exchange(nullptr));
    return -1;
  }
  std::free(name);
  return -1;
}

void UntrackFile(std::intptr_t handle) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= kTrackedSlots) return;
  std::free(g_tracked[static_cast<std::size_t>(handle)].exchange(nullptr));
}

std::uint64_t FileIdentityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  std::uint64_t h = static_cast<std::uint64_t>(st.st_dev) * 0x9e3779b97f4a7c15ull ^ static_cast<std::uint64_t>(st.st_ino);
  return h == 0 ? 1 : h;
}

unsigned OpenFilesAllowed() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1u << 20;
  // The soft limit may be raised up to the hard one without asking: up to
  // what a batch of the most jobs could use.
  constexpr rlim_t kWanted = 4096;
  if (limit.rlim_cur < kWanted && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = std::min(limit.rlim_max, kWanted);
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 20)) return 1u << 20;
  return static_cast<unsigned>(limit.rlim_cur);
}

bool MayReplace(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return true;  // a new name
  return ::access(path.c_str(), W_OK) == 0;
}

void KeepOwnerAndMode(const std::string& existing, const std::string& temp) {
  struct stat st {};
  if (::stat(existing.c_str(), &st) != 0) return;
  // The owner first: a change of owner may clear set-id bits of the mode.
  if (::chown(temp.c_str(), st.st_uid, st.st_gid) != 0 && ::chown(temp.c_str(), static_cast<uid_t>(-1), st.st_gid) != 0) {
    // Not ours to give away: the file stays the user's, as any editor leaves it.
  }
  ::chmod(temp.c_str(), st.st_mode & 07777);
}

}  // namespace kiv::tool
