// SPDX-License-Identifier: MIT
// Scratch files and small helpers shared by the tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kivgsm.h"

namespace kiv::test {

using Bytes = std::vector<unsigned char>;

// A fresh directory under the system's temporary directory, removed at the
// end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  // A UTF-8 name inside the directory.
  std::string path(const std::string& name) const { return utf8_ + "/" + name; }

 private:
  std::filesystem::path dir_;
  std::string utf8_;
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);
bool Exists(const std::string& path);

// UTF-8 path to the library's UTF-16 form (char16_t, or wchar_t on Windows).
using PathString = std::basic_string<KivPathChar>;
PathString Path16(const std::string& utf8);
inline KivPathChar Unit(std::uint16_t u) { return static_cast<KivPathChar>(u); }

// ALSA configurations: a default PCM that reads `infile` as raw capture
// data as fast as it is read (the `file` plugin over a `null` slave), and
// one whose default PCM cannot be opened.
std::string AlsaFilePluginConfig(const std::string& infile);
inline constexpr char kAlsaNoDeviceConfig[] = "pcm.!default {\n type hw\n card 57\n device 0\n}\n";

// Both recorders started with no device to open: Start returns 1, and
// Stop leaves valid empty files (g.wav, 60 bytes; p.wav, 44) in `dir`.
void ExpectNoDeviceLeavesEmptyRecordings(const ScratchDir& dir);

// The bundled speech sample (raw 8000 Hz mono s16le).
Bytes SpeechSample();
std::vector<std::int16_t> ToSamples(const Bytes& bytes);
Bytes ToBytes(const std::vector<std::int16_t>& samples);

#if !defined(_WIN32)
// Runs a shell command; returns its exit status and fills stdout/stderr.
int RunCommand(const std::string& command, std::string* out = nullptr, std::string* err = nullptr);

#endif

std::uint32_t Le32(const Bytes& b, std::size_t offset);
void Put32(Bytes* b, std::size_t offset, std::uint32_t value);
std::uint16_t Le16(const Bytes& b, std::size_t offset);

}  // namespace kiv::test
