// SPDX-License-Identifier: MIT
#include "pipeline/container_signature.h"

#include <cctype>
#include <cstring>

namespace kiv::tool {
namespace {

struct Signature {
  const char* bytes;
  std::size_t length;
  const char* container;
};

// Each container as its files begin. W64 starts with the GUID of its RIFF
// chunk, whose first four bytes are "riff".
constexpr Signature kSignatures[] = {
    {"RIFF", 4, kWaveContainer},    {"RIFX", 4, "RIFX/WAVE"},  {"RF64", 4, "RF64"},
    {"BW64", 4, "BW64"},         {"riff", 4, "W64"},        {"FORM", 4, "AIFF/IFF"},
    {"fLaC", 4, "FLAC"},         {"OggS", 4, kOggContainer},        {"caff", 4, "CAF"},
    {".snd", 4, "AU"},           {"dns.", 4, "AU"},         {"wvpk", 4, "WavPack"},
    {"ID3", 3, kMpegId3Container}, {"Creative Voice File", 19, "VOC"}, {"NIST_1A", 7, "NIST SPHERE"},
    {" paf", 4, "PAF"},          {"fap ", 4, "PAF"},
};

bool EndsWith(const std::string& name, const char* ext) {
  std::size_t n = std::strlen(ext);
  if (name.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(name[name.size() - n + i])) != ext[i]) return false;
  return true;
}

struct Extension {
  const char* ext;
  const char* container;
};

constexpr Extension kExtensions[] = {
    {".wav", "WAVE"}, {".wave", "WAVE"}, {".flac", "FLAC"},  {".ogg", "Ogg"},  {".oga", "Ogg"},
    {".opus", "Ogg"}, {".aif", "AIFF"},  {".aiff", "AIFF"},  {".aifc", "AIFF"}, {".caf", "CAF"},
    {".w64", "W64"},  {".rf64", "RF64"}, {".wv", "WavPack"}, {".voc", "VOC"},
};

}  // namespace

const char* ContainerByName(const std::string& name) {
  for (const Extension& e : kExtensions)
    if (EndsWith(name, e.ext)) return e.container;
  return nullptr;
}

const char* ContainerSignature(const unsigned char* head, std::size_t n, const std::string& name) {
  for (const Signature& s : kSignatures)
    if (n >= s.length && std::memcmp(head, s.bytes, s.length) == 0) return s.container;
  if (EndsWith(name, ".mp3") || EndsWith(name, ".mp2") || EndsWith(name, ".mpga")) return kMpegContainer;
  return nullptr;
}

}  // namespace kiv::tool
