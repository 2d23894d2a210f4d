#include "pipeline/progress_line.h"

#include <cstdio>
#include <filesystem>
#include <string>

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

}  // namespace

double JobFraction(ConvertProgress& job) {
  if (job.finished) return 1.0;
  double decode_share = job.decode_share;
  double encoded = 0;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(job.mutex);
    path = job.encoding;
  }
  if (!path.empty() && job.seconds > 0) {
    std::uint64_t bytes = SizeOrZero(path);
    if (bytes > kGsmHeaderBytes) {
      double blocks = static_cast<double>((bytes - kGsmHeaderBytes) / kGsmBlockBytes);
      encoded = blocks * kGsmSamplesPerBlock / kSampleRate / job.seconds;
    }
    if (encoded > 1) encoded = 1;
  }
  double decoded = job.decoded;
  if (!path.empty()) decoded = 1;
  return decode_share * decoded + (1 - decode_share) * encoded;
}

ProgressLine::ProgressLine(std::deque<ConvertProgress>* jobs, bool batch)
    : jobs_(jobs), batch_(batch), start_(std::chrono::steady_clock::now()) {
  if (StderrIsTerminal()) thread_ = std::thread([this] { Run(); });
}

ProgressLine::~ProgressLine() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  if (drawn_) std::fprintf(stderr, "\r%79s\r", "");
}

void ProgressLine::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop_; })) {
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (elapsed >= kShowAfterSeconds) Draw(elapsed);
  }
}

void ProgressLine::Draw(double elapsed) {
  double fraction_sum = 0, audio = 0;
  std::size_t done = 0;
  for (ConvertProgress& job : *jobs_) {
    double f = JobFraction(job);
    fraction_sum += f;
    audio += f * job.seconds;
    if (job.finished) ++done;
  }
  double fraction = jobs_->empty() ? 0 : fraction_sum / static_cast<double>(jobs_->size());
  std::string left = fraction > 0.01 ? Clock(elapsed * (1 - fraction) / fraction) + " left" : "";
  double speed = elapsed > 0 ? audio / elapsed : 0;
  if (batch_) {
    std::fprintf(stderr, "\r%zu/%zu files  %s of audio  %.0fx real time  %s   ", done, jobs_->size(),
                 Clock(audio).c_str(), speed, left.c_str());
  } else {
    constexpr int kWidth = 30;
    int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(stderr, "\r[%s] %3.0f%%  %.0fx real time  %s   ", bar.c_str(), fraction * 100, speed, left.c_str());
  }
  drawn_ = true;
}

}  // namespace kiv::tool
