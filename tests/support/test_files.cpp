// SPDX-License-Identifier: MIT
#include "support/test_files.h"

#include <gtest/gtest.h>

#include "platform/utf8_path.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace kiv::test {
namespace {

#if !defined(_WIN32)
// ALSA's pulse configuration sends "default" to any reachable sound server,
// even over a configuration of the tests' own. Tests reach a server only
// when they ask for one (UsePulseServer).
const bool g_no_sound_server = [] {
  ::unsetenv("PULSE_SERVER");
  ::unsetenv("XDG_RUNTIME_DIR");
  return true;
}();
#endif

int ProcessId() {
#if defined(_WIN32)
  return static_cast<int>(std::random_device{}() & 0x7fffffff);
#else
  return static_cast<int>(::getpid());
#endif
}

}  // namespace

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  dir_ = std::filesystem::temp_directory_path() /
         ("kivgsm-test-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
  std::u8string u8 = dir_.generic_u8string();
  utf8_.assign(u8.begin(), u8.end());
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(tool::FsPath(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(tool::FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(tool::FsPath(path), ec));
}

PathString Path16(const std::string& utf8) {
  PathString out;
  if (!tool::Utf8ToPath(utf8, &out)) throw std::runtime_error("not UTF-8: " + utf8);
  return out;
}

std::string AlsaFilePluginConfig(const std::string& infile) {
  return "pcm.!default {\n type file\n slave.pcm { type null }\n file \"/dev/null\"\n infile \"" + infile +
         "\"\n format \"raw\"\n}\n";
}

void ExpectNoDeviceLeavesEmptyRecordings(const ScratchDir& dir) {
  ASSERT_EQ(KivGSMSoundRecorderStart(Path16(dir.path("g.wav")).c_str()), KIV_ERR_DEVICE_OPEN);
  ASSERT_EQ(KivGSMWAVSoundRecorderStart(Path16(dir.path("p.wav")).c_str()), KIV_ERR_DEVICE_OPEN);
  EXPECT_EQ(KivGSMSoundRecorderStop(), 0);
  EXPECT_EQ(KivGSMWAVSoundRecorderStop(), 0);
  Bytes g = ReadFile(dir.path("g.wav")), p = ReadFile(dir.path("p.wav"));
  ASSERT_EQ(g.size(), 60u);
  EXPECT_EQ(Le32(g, 4), 52u);
  EXPECT_EQ(Le32(g, 48), 0u);
  EXPECT_EQ(Le32(g, 56), 0u);
  ASSERT_EQ(p.size(), 44u);
  EXPECT_EQ(Le32(p, 4), 36u);
  EXPECT_EQ(Le32(p, 40), 0u);
}

Bytes SpeechSample() { return ReadFile(KIV_SPEECH_SAMPLE); }

std::vector<std::int16_t> ToSamples(const Bytes& b) {
  std::vector<std::int16_t> s(b.size() / 2);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return s;
}

Bytes ToBytes(const std::vector<std::int16_t>& s) {
  Bytes b(s.size() * 2);
  for (std::size_t i = 0; i < s.size(); ++i) {
    b[2 * i] = static_cast<unsigned char>(s[i]);
    b[2 * i + 1] = static_cast<unsigned char>(static_cast<std::uint16_t>(s[i]) >> 8);
  }
  return b;
}

#if !defined(_WIN32)
int RunCommand(const std::string& command, std::string* out, std::string* err) {
  ScratchDir dir;
  std::string o = dir.path("out"), e = dir.path("err");
  int status = std::system((command + " >'" + o + "' 2>'" + e + "'").c_str());
  auto slurp = [](const std::string& p) {
    Bytes b = ReadFile(p);
    return std::string(b.begin(), b.end());
  };
  if (out) *out = slurp(o);
  if (err) *err = slurp(e);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

void Put32(Bytes* b, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) (*b)[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t Le32(const Bytes& b, std::size_t o) {
  return static_cast<std::uint32_t>(b.at(o)) | (static_cast<std::uint32_t>(b.at(o + 1)) << 8) |
         (static_cast<std::uint32_t>(b.at(o + 2)) << 16) | (static_cast<std::uint32_t>(b.at(o + 3)) << 24);
}
std::uint16_t Le16(const Bytes& b, std::size_t o) {
  return static_cast<std::uint16_t>(b.at(o) | (b.at(o + 1) << 8));
}

}  // namespace kiv::test
