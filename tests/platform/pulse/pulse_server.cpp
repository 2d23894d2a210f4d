// SPDX-License-Identifier: MIT
#include "platform/pulse/pulse_server.h"

#include <gsm.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <limits>

#include "kivgsm.h"
#include "support/reference_gsm.h"

extern char** environ;

namespace kiv::test {
namespace {

// The sound server under test: PulseAudio, or PipeWire with its pulse
// layer when KIV_SOUND_SERVER is "pipewire". Both scripts take the same
// commands.
bool UnderPipeWire() {
  const char* chosen = std::getenv("KIV_SOUND_SERVER");
  return chosen != nullptr && std::string(chosen) == "pipewire";
}

const std::string kScript = UnderPipeWire() ? KIV_PIPEWIRE_SCRIPT : KIV_PULSE_SCRIPT;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

}  // namespace

std::string SharedServerDir() { return UnderPipeWire() ? KIV_PIPEWIRE_FIXTURE_DIR : KIV_PULSE_FIXTURE_DIR; }

void UsePulseServer(const std::string& dir) {
  std::string lines;
  RunCommand("bash " + Quote(kScript) + " env " + Quote(dir), &lines);
  std::size_t start = 0;
  for (std::size_t end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = lines.substr(start, end - start);
    std::size_t eq = line.find('=');
    if (eq != std::string::npos) ::setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
  }
}

PulseServer::PulseServer(bool late) : dir_(scratch_.path("pulse")) {
  std::string err;
  ok_ = RunCommand("bash " + Quote(kScript) + " start " + Quote(dir_) + (late ? " --late" : ""), nullptr, &err) == 0;
  if (ok_) UsePulseServer(dir_);
}

PulseServer::~PulseServer() {
  Resume();  // a stopped daemon would hold SIGTERM back
  std::string ended;  // a test may have killed it on purpose
  RunCommand("bash " + Quote(kScript) + " stop " + Quote(dir_), nullptr, &ended);
}

namespace {

// The daemon's PID, or a process group's as a negative number (PipeWire's
// three daemons); 0 if there is none. Never -1, which kill(2) would take
// for every process.
pid_t DaemonPid(const std::string& dir) {
  std::ifstream in(dir + "/daemon.pid");
  pid_t pid = 0;
  return in >> pid && pid != -1 ? pid : 0;
}

}  // namespace

void PulseServer::Signal(int sig) {
  if (pid_t pid = DaemonPid(dir_); pid != 0) ::kill(pid, sig);
}

void PulseServer::Kill() { Signal(SIGKILL); }
void PulseServer::Hang() { Signal(SIGSTOP); }
void PulseServer::Resume() { Signal(SIGCONT); }

bool PulseServer::Restart(std::string* why) {
  pid_t pid = DaemonPid(dir_);
  Kill();
  for (int i = 0; pid != 0 && i < 200 && ::kill(pid, 0) == 0; ++i) ::usleep(10000);
  std::string err;
  bool up = RunCommand("bash " + Quote(kScript) + " start " + Quote(dir_), nullptr, &err) == 0;
  if (why != nullptr) *why = err;
  return up;
}

Player::Player(const std::vector<std::int16_t>& samples) {
  std::string raw = scratch_.path("play.raw");
  WriteFile(raw, ToBytes(samples));
  const char* argv[] = {"paplay", "--raw", "--rate=8000", "--format=s16le", "--channels=1", raw.c_str(), nullptr};
  if (::posix_spawnp(&pid_, "paplay", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
  // The stream reaches the sink within a few tens of milliseconds.
  ::usleep(400000);
}

Player::~Player() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::vector<std::int16_t> PlayableSpeech(double seconds) {
  std::vector<std::int16_t> speech = ToSamples(SpeechSample());
  std::vector<std::int16_t> out(static_cast<std::size_t>(seconds * 8000));
  // Forward, then backward: a block of loud speech encodes to the same
  // bits whatever the dither, so a plain repeat would give a recording two
  // places in the signal. This signal repeats only after twice the sample.
  const std::size_t n = speech.size();
  std::uint32_t x = 12345;
  for (std::size_t i = 0; i < out.size(); ++i) {
    x = x * 1664525u + 1013904223u;
    int dither = static_cast<int>(x >> 26) - 32;  // -32..31
    std::size_t j = i % (2 * n);
    out[i] = static_cast<std::int16_t>(speech[j < n ? j : 2 * n - 1 - j] / 2 + dither);
  }
  return out;
}

long FindExact(const std::vector<std::int16_t>& signal, const std::vector<std::int16_t>& stretch) {
  if (stretch.empty() || stretch.size() > signal.size()) return -1;
  std::size_t key = std::min<std::size_t>(stretch.size(), 400);
  for (std::size_t o = 0; o + stretch.size() <= signal.size(); ++o) {
    if (std::equal(stretch.begin(), stretch.begin() + static_cast<long>(key), signal.begin() + static_cast<long>(o)))
      return std::equal(stretch.begin(), stretch.end(), signal.begin() + static_cast<long>(o)) ? static_cast<long>(o)
                                                                                               : -1;
  }
  return -1;
}

std::size_t LeadingSilence(const std::vector<std::int16_t>& recorded) {
  std::size_t n = 0;
  while (n < recorded.size() && n <= kMostLeadingSilence && recorded[n] == 0) ++n;
  return n <= kMostLeadingSilence ? n : 0;
}

long FindRecorded(const std::vector<std::int16_t>& played, const std::vector<std::int16_t>& recorded) {
  std::size_t lead = LeadingSilence(recorded);
  return FindExact(played, {recorded.begin() + static_cast<long>(lead), recorded.end()});
}

long FindGsmStart(const std::vector<std::int16_t>& signal, const Bytes& file, long lo, long hi,
                  std::size_t* lead_out) {
  if (lead_out != nullptr) *lead_out = 0;
  constexpr std::size_t kWindow = 1600;
  if (file.size() < 60 + 65 * (kWindow / 320)) return -1;
  // Decode the first blocks (WAV49: the first frame of a block takes 33
  // bytes, the second 32).
  std::vector<std::int16_t> decoded(kWindow);
  gsm g = gsm_create();
  int on = 1;
  gsm_option(g, GSM_OPT_WAV49, &on);
  for (std::size_t b = 0; b < kWindow / 320; ++b) {
    unsigned char* block = const_cast<unsigned char*>(file.data()) + 60 + 65 * b;
    gsm_decode(g, block, decoded.data() + 320 * b);
    gsm_decode(g, block + 33, decoded.data() + 320 * b + 160);
  }
  gsm_destroy(g);
  // The decoded audio follows the original closely: the least squared
  // difference finds it; the codec settles after a few frames.
  long best = -1;
  double best_err = std::numeric_limits<double>::max();
  std::size_t last = signal.size() - std::min(signal.size(), kWindow);
  if (hi >= 0 && static_cast<std::size_t>(hi) < last) last = static_cast<std::size_t>(hi);
  for (std::size_t o = static_cast<std::size_t>(std::max(0L, lo)); o <= last; ++o) {
    double err = 0;
    for (std::size_t i = 320; i < kWindow && err < best_err; ++i) {
      double d = static_cast<double>(signal[o + i]) - decoded[i];
      err += d * d;
    }
    if (err < best_err) {
      best_err = err;
      best = static_cast<long>(o);
    }
  }
  if (best < 0) return -1;
  Bytes first(file.begin() + 60, file.begin() + 60 + 65);
  auto encodes_first = [&](long o, std::size_t lead) {
    std::vector<std::int16_t> block(lead, 0);
    block.insert(block.end(), signal.begin() + o + static_cast<long>(lead), signal.begin() + o + 320);
    return ReferenceWav49(block) == first;
  };
  for (std::size_t lead = 0; lead <= kMostLeadingSilence; lead += 16) {
    for (long o = std::max(0L, best - 64); o <= best + 64 && o + 320 <= static_cast<long>(signal.size()); ++o) {
      if (encodes_first(o, lead)) {
        if (lead_out != nullptr) *lead_out = lead;
        return o;
      }
    }
  }
  // Quiet stretches decode too roughly to place; try every start.
  for (long o = std::max(0L, lo); o + 320 <= static_cast<long>(signal.size()); ++o)
    if (encodes_first(o, 0)) return o;
  return -1;
}

Bytes GsmWaveOf(std::vector<std::int16_t> samples) {
  ScratchDir dir;
  samples.resize((samples.size() + 319) / 320 * 320, 0);
  WriteFile(dir.path("in.raw"), ToBytes(samples));
  if (KivWave2GSM610(Path16(dir.path("in.raw")).c_str(), Path16(dir.path("out.wav")).c_str()) != KIV_OK) return {};
  return ReadFile(dir.path("out.wav"));
}

bool GsmIsAStretchOf(const std::vector<std::int16_t>& played, const Bytes& file, std::size_t samples,
                     std::string* why, long lo, long hi) {
  if (file.size() <= 60 + 65 * 5) {
    *why = "fewer than 6 blocks";
    return false;
  }
  std::size_t lead = 0;
  long o = FindGsmStart(played, file, lo, hi, &lead);
  if (o < 0) {
    *why = "the first block encodes no stretch of the played audio";
    return false;
  }
  if (static_cast<std::size_t>(o) + samples > played.size()) {
    *why = "the recording runs past the played audio";
    return false;
  }
  std::vector<std::int16_t> expected(lead, 0);
  expected.insert(expected.end(), played.begin() + o + static_cast<long>(lead),
                  played.begin() + o + static_cast<long>(samples));
  if (file != GsmWaveOf(expected)) {
    *why = "the blocks differ from the converter's encoding of the stretch at " + std::to_string(o) +
           (lead > 0 ? " after " + std::to_string(lead) + " samples of silence" : "");
    return false;
  }
  return true;
}

}  // namespace kiv::test
