// One line on a terminal that follows conversions in progress: a bar for a
// single file, or files done, audio converted, speed and time left for
// many. It appears only once the work has taken a second, and only when
// standard error is a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "pipeline/convert_file.h"

namespace kiv::tool {

class ProgressLine {
 public:
  // `jobs` outlives the line; a job counts as started once its seconds are known.
  ProgressLine(std::deque<ConvertProgress>* jobs, bool batch);
  ~ProgressLine();  // stops and clears the line
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  void Run();
  void Draw(double elapsed);

  std::deque<ConvertProgress>* jobs_;
  bool batch_;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool drawn_ = false;
  std::thread thread_;
};

// Fraction of one job done: decoding counts for half of a container's work,
// or for all of it when encoding keeps pace with it.
double JobFraction(ConvertProgress& job);

}  // namespace kiv::tool
