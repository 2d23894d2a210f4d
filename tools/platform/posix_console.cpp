// SPDX-License-Identifier: MIT
// The tool's platform pieces on POSIX systems.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/resource.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <map>
#include <mutex>

#include "platform/console.h"

namespace kiv::tool {
namespace {

volatile std::sig_atomic_t g_request = 0;

void OnSignal(int sig) { g_request = sig; }

// Every signal whose default action ends the process and that can be
// caught: each one lets the tool finish its file first.
constexpr int kTerminatingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
                                       SIGUSR2,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR};

// Tracked temporary files are removed by the tool's first process, which
// does nothing but wait for the second, where all the work runs, to end,
// however it ends. Only then, with no thread left that could create or
// open a file again, does it remove what is still tracked, and end as the
// worker ended (its exit status, or the same signal), so that whoever
// waits for the tool finds the files gone. The worker names each file to
// it, through a pipe, before creating it, and says when it is done with
// it. A clean-up inside the dying process itself could not promise that:
// a conversion may open its output again between the clean-up and the end.
std::mutex g_tracked_mutex;
int g_tracker = -1;  // the pipe to the first process, in the worker
std::intptr_t g_next_handle = 0;
volatile pid_t g_worker = 0;

// A record on the pipe: '+', the handle, the name's length and the name;
// or '-' and the handle.
void Tell(char op, std::intptr_t handle, const std::string& path) {
  if (g_tracker < 0) return;
  std::string record(1, op);
  auto h = static_cast<std::int64_t>(handle);
  record.append(reinterpret_cast<const char*>(&h), sizeof h);
  if (op == '+') {
    auto n = static_cast<std::uint32_t>(path.size());
    record.append(reinterpret_cast<const char*>(&n), sizeof n);
    record += path;
  }
  for (std::size_t done = 0; done < record.size();) {
    ssize_t w = ::write(g_tracker, record.data() + done, record.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    done += static_cast<std::size_t>(w);
  }
}

// A signal for the tool reaches the worker too (Ctrl-C reaches both).
void Forward(int sig) {
  if (g_worker > 0) ::kill(g_worker, sig);
}

// The first process: reads the worker's records until the worker is gone,
// removes the files still named, and ends as the worker did.
[[noreturn]] void Supervise(int from_worker) {
  std::map<std::int64_t, std::string> names;
  std::string buffer;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(from_worker, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    for (;;) {
      constexpr std::size_t kHead = 1 + sizeof(std::int64_t);
      if (buffer.size() < kHead) break;
      std::int64_t handle;
      std::memcpy(&handle, buffer.data() + 1, sizeof handle);
      if (buffer[0] == '-') {
        names.erase(handle);
        buffer.erase(0, kHead);
        continue;
      }
      std::uint32_t length;
      if (buffer.size() < kHead + sizeof length) break;
      std::memcpy(&length, buffer.data() + kHead, sizeof length);
      if (buffer.size() < kHead + sizeof length + length) break;
      names[handle] = buffer.substr(kHead + sizeof length, length);
      buffer.erase(0, kHead + sizeof length + length);
    }
  }
  int status = 0;
  while (::waitpid(g_worker, &status, 0) < 0 && errno == EINTR) {
  }
  for (const auto& [handle, path] : names) ::unlink(path.c_str());
  if (WIFSIGNALED(status)) EndAsRequested(WTERMSIG(status));
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

}  // namespace

void CatchStopRequests() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : kTerminatingSignals) sigaction(sig, &sa, nullptr);
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

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

bool DiskFull(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) != 0) return false;
  unsigned long long blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
  return blocks * fs.f_frsize < 16384;
}

void SleepMilliseconds(int ms) { ::usleep(static_cast<useconds_t>(ms) * 1000); }

void ReserveStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // The lowest free descriptor is `fd` itself; anything else is not ours.
    if (null != fd && null >= 0) ::close(null);
  }
}

bool IsStandardStream(const std::string& path) {
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0) return false;
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat open {};
    if (::fstat(fd, &open) == 0 && open.st_dev == named.st_dev && open.st_ino == named.st_ino) return true;
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

// Creates a FIFO named `path`; false where the file system has none.
bool CreateNewFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

}  // namespace

std::FILE* OpenFifoForWriting(const std::string& path, const std::atomic<bool>& give_up) {
  // Without a reader a non-blocking open fails (ENXIO) instead of waiting,
  // so that a reader that never comes cannot hold this thread forever.
  for (;;) {
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      std::FILE* f = ::fdopen(fd, "wb");
      if (f == nullptr) ::close(fd);
      return f;
    }
    if (errno != ENXIO || give_up.load()) return nullptr;
    ::usleep(1000);
  }
}

namespace {

#if defined(F_OFD_SETLK)
constexpr int kSetLock = F_OFD_SETLK, kGetLock = F_OFD_GETLK;
#else
constexpr int kSetLock = F_SETLK, kGetLock = F_GETLK;
#endif

// The library's writer lock: a write lock on the whole file.
struct flock WholeFileWriteLock() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return lock;
}

}  // namespace

bool BeingWritten(const std::string& path) {
  // Without blocking: a FIFO with no writer would hold the open up.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  struct flock lock = WholeFileWriteLock();
  bool held = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fcntl(fd, kGetLock, &lock) == 0 &&
              lock.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

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

void RemoveTrackedFilesOnInterrupt() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  // Called before any thread starts: the worker is a plain copy.
  int fds[2];
  if (::pipe(fds) != 0) return;  // no tracking, as before there was any
  pid_t worker = ::fork();
  if (worker < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  if (worker == 0) {
    ::close(fds[0]);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    g_tracker = fds[1];
    // The worker does not outlive the first process (SIGKILL of the tool).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1) std::_Exit(1);
    return;
  }
  ::close(fds[1]);
  g_worker = worker;
  struct sigaction sa {};
  sa.sa_handler = Forward;
  sigemptyset(&sa.sa_mask);
  for (int sig : kTerminatingSignals)
    if (sig != SIGPIPE && sig != SIGXFSZ) sigaction(sig, &sa, nullptr);
  Supervise(fds[0]);
}

std::intptr_t CreateTrackedFile(const std::string& path, bool fifo) {
  std::lock_guard<std::mutex> lock(g_tracked_mutex);
  std::intptr_t handle = g_next_handle++;
  Tell('+', handle, path);  // named before it exists
  if (!(fifo ? CreateNewFifo(path) : CreateNewFile(path))) {
    Tell('-', handle, "");
    return -1;
  }
  return handle;
}

void UntrackFile(std::intptr_t handle) {
  std::lock_guard<std::mutex> lock(g_tracked_mutex);
  Tell('-', handle, "");
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
