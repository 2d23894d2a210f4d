// SPDX-License-Identifier: MIT
#include "messages.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace kiv::tool {
namespace {

std::atomic<Verbosity> g_verbosity{Verbosity::kNormal};

}  // namespace

void SetVerbosity(Verbosity v) { g_verbosity = v; }
bool Quiet() { return g_verbosity == Verbosity::kQuiet; }
bool Verbose() { return g_verbosity == Verbosity::kVerbose; }

std::size_t Utf8Length(const std::string& s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  const std::size_t n = c < 0x80 ? 1 : (c & 0xe0) == 0xc0 ? 2 : (c & 0xf0) == 0xe0 ? 3 : (c & 0xf8) == 0xf0 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  std::uint32_t cp = n == 1 ? c : c & (0x7f >> n);
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xc0) != 0x80) return 0;
    cp = cp << 6 | (b & 0x3f);
  }
  static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kLeast[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return n;
}

std::string Shown(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = Utf8Length(text, i);
    if (n == 0) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(text[i]));
      out += buf;
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string ShellQuoted(const std::string& path) {
  std::string out = "'";
  for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace kiv::tool
