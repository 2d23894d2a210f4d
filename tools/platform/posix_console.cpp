// The tool's platform pieces on POSIX systems.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <atomic>

#include "platform/console.h"

namespace kiv::tool {
namespace {

volatile std::sig_atomic_t g_request = 0;

void OnSignal(int sig) { g_request = sig; }

// Every signal whose default action ends the process and that can be
// caught: each one lets the tool finish its file first.
constexpr int kTerminatingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
                                       SIGUSR2,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR};

// Tracked temporary files: fixed slots, so that a signal handler can walk
// them without allocating or locking. A slot's path is written before its
// flag is raised and is not touched again until the flag is lowered.
constexpr int kTrackedSlots = 256;
struct TrackedFile {
  std::atomic<bool> used{false};
  char path[PATH_MAX];
};
TrackedFile g_tracked[kTrackedSlots];

void RemoveTrackedAndEnd(int sig) {
  for (TrackedFile& f : g_tracked)
    if (f.used.load()) ::unlink(f.path);
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigaction(sig, &sa, nullptr);
  ::raise(sig);  // delivered when the handler returns, as the signal is unblocked then
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

bool CreateNewFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool CreateNewFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0; }

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

void RemoveTrackedFilesOnInterrupt() {
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = RemoveTrackedAndEnd;
  sigemptyset(&sa.sa_mask);
  for (int sig : kTerminatingSignals)
    if (sig != SIGPIPE) sigaction(sig, &sa, nullptr);
}

int TrackFile(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kTrackedSlots; ++i) {
    TrackedFile& f = g_tracked[i];
    bool expected = false;
    // Claim the slot with the flag, fill it, then publish it; a handler
    // running in between unlinks a name that does not exist yet.
    if (!f.used.compare_exchange_strong(expected, true)) continue;
    std::memcpy(f.path, path.c_str(), path.size() + 1);
    return i;
  }
  return -1;
}

void UntrackFile(int slot) {
  if (slot >= 0 && slot < kTrackedSlots) g_tracked[slot].used.store(false);
}

}  // namespace kiv::tool
