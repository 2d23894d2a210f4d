// SPDX-License-Identifier: MIT
#include "pipeline/progress_line.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "messages.h"
#include "platform/console.h"
#include "platform/utf8_path.h"
#include "wave_format.h"

namespace kiv::tool {
namespace {

constexpr double kShowAfterSeconds = 1.0;

std::string Clock(double seconds) {
  auto s = static_cast<long long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

// Fraction of one job done: how much of its input has been read.
double JobFraction(const ConvertProgress& job) { return job.finished ? 1.0 : job.done.load(); }

// Serialises what goes to standard error while a line is drawn.
std::mutex g_stderr_mutex;
bool g_line_shown = false;

}  // namespace

void SayAboveProgress(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_stderr_mutex);
  if (g_line_shown) Print(stderr, "\r%79s\r", "");
  Print(stderr, "%s\n", Shown(line).c_str());
}

ProgressLine::ProgressLine(std::deque<ConvertProgress>* jobs)
    : jobs_(jobs), start_(std::chrono::steady_clock::now()) {
  Begin();
}

ProgressLine::ProgressLine(std::deque<ConvertProgress>* jobs, const BatchCounters* done, std::uint64_t total)
    : jobs_(jobs), done_(done), total_(total), start_(std::chrono::steady_clock::now()) {
  Begin();
}

// The line is drawn by a thread of its own, on a terminal only; without
// one (none could be started) the work goes on without the line.
void ProgressLine::Begin() {
  if (!IsTerminal(2) || Quiet()) return;
  try {
    thread_ = std::thread([this] {
      LeaveStopRequestsToTheMainThread();
      Run();
    });
  } catch (const std::system_error&) {
  }
}

ProgressLine::~ProgressLine() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  std::lock_guard<std::mutex> lock(g_stderr_mutex);
  if (drawn_) Print(stderr, "\r%79s\r", "");
  g_line_shown = false;
}

void ProgressLine::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop_; })) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (elapsed >= kShowAfterSeconds) Draw(elapsed);
  }
}

void ProgressLine::Draw(double elapsed) {
  // The jobs in progress, by the fraction of each that is done.
  double running = 0, audio = 0;
  for (ConvertProgress& job : *jobs_) {
    if (done_ != nullptr && (job.finished || job.seconds <= 0)) continue;
    double f = JobFraction(job);
    running += f;
    audio += f * job.seconds;
  }
  std::lock_guard<std::mutex> lock(g_stderr_mutex);
  if (done_ != nullptr) {
    std::uint64_t done = done_->files_done;
    audio += done_->audio_done;
    double fraction = total_ > 0 ? (static_cast<double>(done) + running) / static_cast<double>(total_) : 0;
    std::string left = fraction > 0.01 ? Clock(elapsed * (1 - fraction) / fraction) + " left" : "";
    std::string total = total_ > 0 ? std::to_string(total_) : "";
    Print(stderr, "\r%llu%s%s files  %s of audio  %.0fx real time  %s   ", static_cast<unsigned long long>(done),
                 total.empty() ? "" : "/", total.c_str(), Clock(audio).c_str(), elapsed > 0 ? audio / elapsed : 0,
                 left.c_str());
  } else {
    double fraction = jobs_->empty() ? 0 : running / static_cast<double>(jobs_->size());
    std::string left = fraction > 0.01 ? Clock(elapsed * (1 - fraction) / fraction) + " left" : "";
    constexpr int kWidth = 30;
    int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    Print(stderr, "\r[%s] %3.0f%%  %.0fx real time  %s   ", bar.c_str(), fraction * 100,
                 elapsed > 0 ? audio / elapsed : 0, left.c_str());
  }
  drawn_ = true;
  g_line_shown = true;
}

}  // namespace kiv::tool
