// SPDX-License-Identifier: MIT
// One line on a terminal that follows conversions in progress: a bar for a
// single file, or files done, audio converted, speed and time left for
// many. It appears only once the work has taken a second, and only when
// standard error is a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <mutex>
#include <thread>

#include "pipeline/convert_file.h"

namespace kiv::tool {

// What a batch has finished, beside the jobs in progress.
struct BatchCounters {
  std::atomic<std::uint64_t> files_done{0};
  std::atomic<double> audio_done{0};
};

// Says `line` on standard error, above the progress line when one is shown.
void SayAboveProgress(const std::string& line);

class ProgressLine {
 public:
  // A bar for the single job in `jobs`. `jobs` outlives the line.
  explicit ProgressLine(std::deque<ConvertProgress>* jobs);
  // A batch: `jobs` are the workers' current files, `done` what is
  // finished, `total` the number of files (0 when not known in advance).
  ProgressLine(std::deque<ConvertProgress>* jobs, const BatchCounters* done, std::uint64_t total);
  ~ProgressLine();  // stops and clears the line
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  void Begin();
  void Run();
  void Draw(double elapsed);

  std::deque<ConvertProgress>* jobs_;
  const BatchCounters* done_ = nullptr;  // a batch's; nullptr for one file
  std::uint64_t total_ = 0;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool drawn_ = false;
  std::thread thread_;
};

}  // namespace kiv::tool
