// The tool's platform pieces on POSIX systems.
#include <poll.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"

namespace kiv::tool {
namespace {

volatile std::sig_atomic_t g_request = 0;

void OnSignal(int sig) { g_request = sig; }

// Every signal whose default action ends the process and that can be
// caught: each one lets the tool finish its file first.
constexpr int kTerminatingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
                                       SIGUSR2,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGPWR};

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

}  // namespace kiv::tool
