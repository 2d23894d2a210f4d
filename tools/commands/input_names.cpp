// SPDX-License-Identifier: MIT
#include "commands/input_names.h"

#include <iostream>

#include "messages.h"
#include "platform/utf8_path.h"

namespace kiv::tool {
namespace {

void AppendUtf8(std::uint32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

#if defined(_WIN32)
bool IsUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = Utf8Length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}
#endif

}  // namespace

InputNames::InputNames(const ConvertOptions& options) : options_(options) {
  if (options.files_from.empty()) return;
  if (options.files_from == "-") {
    list_ = &std::cin;
  } else {
    file_.open(FsPath(options.files_from), std::ios::binary);
    list_ = &file_;
  }
}

// The byte-order mark, read once at the start of the list. Bytes that
// only began like one are kept for the first name.
void InputNames::FindEncoding() {
  encoding_ = Encoding::kBytes;
  const int first = list_->get();
  if (first == std::char_traits<char>::eof()) return;
  pending_ += static_cast<char>(first);
  if (first != 0xEF && first != 0xFF && first != 0xFE) return;
  const int second = list_->get();
  if (second == std::char_traits<char>::eof()) return;
  pending_ += static_cast<char>(second);
  if ((first == 0xFF && second == 0xFE) || (first == 0xFE && second == 0xFF)) {
    encoding_ = first == 0xFF ? Encoding::kUtf16Le : Encoding::kUtf16Be;
    pending_.clear();
    return;
  }
  if (first != 0xEF || second != 0xBB) return;
  const int third = list_->get();
  if (third == std::char_traits<char>::eof()) return;
  pending_ += static_cast<char>(third);
  if (third == 0xBF) pending_.clear();
}

bool InputNames::ReadBytes(std::string* name) {
  const char separator = options_.null_separated ? '\0' : '\n';
  name->clear();
  bool ended = false;
  while (!pending_.empty() && !ended) {
    const char c = pending_.front();
    pending_.erase(0, 1);
    if (c == separator) ended = true;
    else *name += c;
  }
  std::string rest;
  if (!ended) {
    if (std::getline(*list_, rest, separator)) *name += rest;
    else if (name->empty()) return false;
  }
  if (!options_.null_separated && !name->empty() && name->back() == '\r') name->pop_back();
  return true;
}

// One name of a UTF-16 list as UTF-8; `valid` false for a lone surrogate.
bool InputNames::ReadUtf16(std::string* name, bool* valid) {
  const bool little = encoding_ == Encoding::kUtf16Le;
  const std::uint32_t separator = options_.null_separated ? 0 : '\n';
  name->clear();
  *valid = true;
  std::uint32_t high = 0;  // a high surrogate waiting for its pair
  bool any = false;
  for (;;) {
    const int a = list_->get();
    const int b = a == std::char_traits<char>::eof() ? a : list_->get();
    if (b == std::char_traits<char>::eof()) break;
    any = true;
    const std::uint32_t unit = little ? static_cast<std::uint32_t>(a | (b << 8)) : static_cast<std::uint32_t>(b | (a << 8));
    if (unit == separator) break;
    if (high != 0) {
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        AppendUtf8(0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00), name);
        high = 0;
        continue;
      }
      *valid = false;
      high = 0;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) high = unit;
    else if (unit >= 0xDC00 && unit <= 0xDFFF) *valid = false;
    else AppendUtf8(unit, name);
  }
  if (high != 0) *valid = false;
  if (!options_.null_separated && !name->empty() && name->back() == '\r') name->pop_back();
  return any;
}

bool InputNames::Next(std::string* name, std::string* undecodable) {
  undecodable->clear();
  if (next_ < options_.files.size()) {
    *name = options_.files[next_++];
    return true;
  }
  if (list_ == nullptr) return false;
  if (encoding_ == Encoding::kUnknown) FindEncoding();
  const std::string list = options_.files_from == "-" ? std::string("standard input") : options_.files_from;
  for (;;) {
    bool valid = true;
    if (!(encoding_ == Encoding::kBytes ? ReadBytes(name) : ReadUtf16(name, &valid))) return false;
    ++line_;
    if (name->empty()) continue;
#if defined(_WIN32)
    if (encoding_ == Encoding::kBytes && !IsUtf8(*name)) valid = false;
#endif
    if (valid) return true;
    *undecodable = list + ", " + (options_.null_separated ? "name " : "line ") + std::to_string(line_) + ": '" +
                   Shown(*name) + "' is not " +
                   (encoding_ == Encoding::kBytes ? "UTF-8 (a list in another encoding needs UTF-16 with a byte-order mark)"
                                                  : "valid UTF-16 (a lone surrogate)") +
                   "; skipped";
    return true;
  }
}

}  // namespace kiv::tool
