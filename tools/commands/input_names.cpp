// SPDX-License-Identifier: MIT
#include "commands/input_names.h"

#include <new>

#include "io/utf16_path.h"
#include "messages.h"
#include "platform/list_input.h"
#include "platform/utf8_path.h"

namespace kiv::tool {
namespace {

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
  if (!options.files_from.empty()) list_ = OpenListInput(options.files_from);
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

// One name of a UTF-16 list as UTF-8; `valid` false for a lone surrogate
// or a zero unit, which are left out of the name (then only shown in the
// report).
bool InputNames::ReadUtf16(std::string* name, bool* valid) {
  const bool little = encoding_ == Encoding::kUtf16Le;
  const KivPathChar separator = options_.null_separated ? 0 : '\n';
  std::basic_string<KivPathChar> units;
  bool any = false;
  for (;;) {
    const int a = list_->get();
    const int b = a == std::char_traits<char>::eof() ? a : list_->get();
    if (b == std::char_traits<char>::eof()) break;
    any = true;
    const auto unit = static_cast<KivPathChar>(little ? a | (b << 8) : b | (a << 8));
    if (unit == separator) break;
    units += unit;
  }
  if (!options_.null_separated && !units.empty() && units.back() == '\r') units.pop_back();
  // A zero unit inside a name would cut it short wherever it is used.
  *valid = units.find(KivPathChar{0}) == units.npos && (units.empty() || IsValidPath(units.c_str()));
  if (!*valid) {
    std::basic_string<KivPathChar> kept;
    for (std::size_t i = 0; i < units.size(); ++i) {
      const KivPathChar u = units[i];
      const bool high = u >= 0xD800 && u <= 0xDBFF, low = u >= 0xDC00 && u <= 0xDFFF;
      const bool paired = high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
      if (paired) kept += units[i++];
      if (paired || !(high || low || u == 0)) kept += units[i];
    }
    units = std::move(kept);
  }
  const Utf8FileName utf8(units.c_str());
  if (utf8.c_str() == nullptr && !units.empty()) throw std::bad_alloc();
  *name = utf8.c_str() != nullptr ? utf8.c_str() : "";
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
                                                  : "valid UTF-16 for a name (a lone surrogate or a zero)") +
                   "; skipped";
    return true;
  }
}

}  // namespace kiv::tool
