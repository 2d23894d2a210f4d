// SPDX-License-Identifier: MIT
// The public header's own helpers: UTF-8 names into paths, result codes
// into words, and the version.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kivgsm.h"

namespace {

using Units = std::vector<KivPathChar>;

struct Utf8Case {
  const char* name;
  const char* utf8;
  Units path;  // without the terminator; empty: refused
};

class PathFromUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(PathFromUtf8, ConvertsStrictlyAndSaysTheUnitsNeeded) {
  const Utf8Case& c = GetParam();
  const std::size_t needed = c.path.empty() ? 0 : c.path.size() + 1;
  EXPECT_EQ(KivPathFromUtf8(c.utf8, nullptr, 0), needed);
  Units out(16, 0x7777);
  EXPECT_EQ(KivPathFromUtf8(c.utf8, out.data(), out.size()), needed);
  if (needed == 0) {
    EXPECT_EQ(out, Units(16, 0x7777)) << "a refused name wrote something";
    return;
  }
  EXPECT_EQ(Units(out.begin(), out.begin() + static_cast<long>(c.path.size())), c.path);
  EXPECT_EQ(out[c.path.size()], 0);
  // One unit short: the size is still said, and nothing is written.
  Units small(needed - 1, 0x7777);
  EXPECT_EQ(KivPathFromUtf8(c.utf8, small.data(), small.size()), needed);
  EXPECT_EQ(small, Units(needed - 1, 0x7777));
}

INSTANTIATE_TEST_SUITE_P(
    Names, PathFromUtf8,
    ::testing::Values(Utf8Case{"Ascii", "speech.raw", {'s', 'p', 'e', 'e', 'c', 'h', '.', 'r', 'a', 'w'}},
                      Utf8Case{"TwoBytes", "\xc3\xa9", {0xE9}},
                      Utf8Case{"ThreeBytes", "\xe6\x97\xa5\xe6\x9c\xac", {0x65E5, 0x672C}},
                      Utf8Case{"FourBytesAsAPair", "\xf0\x9f\x8e\xa4", {0xD83C, 0xDFA4}},
                      Utf8Case{"LargestCodePoint", "\xf4\x8f\xbf\xbf", {0xDBFF, 0xDFFF}},
                      Utf8Case{"StrayContinuation", "a\x80", {}},
                      Utf8Case{"OverlongSlash", "\xc0\xaf", {}},
                      Utf8Case{"EncodedSurrogate", "\xed\xa0\x80", {}},
                      Utf8Case{"PastTheLastCodePoint", "\xf4\x90\x80\x80", {}},
                      Utf8Case{"CutShort", "\xe6\x97", {}},
                      Utf8Case{"FiveByteLead", "\xf8\x88\x80\x80\x80", {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PathFromUtf8, NullIsRefused) { EXPECT_EQ(KivPathFromUtf8(nullptr, nullptr, 0), 0u); }

// An empty name is one unit, the terminator, which the
// library then refuses as it refuses any empty path.
TEST(PathFromUtf8, EmptyNameIsJustTheTerminator) {
  KivPathChar out[1] = {0x7777};
  EXPECT_EQ(KivPathFromUtf8("", out, 1), 1u);
  EXPECT_EQ(out[0], 0);
}

// Each code's words are the comment beside it in the header, the words
// the Python and C# bindings also use.
TEST(ResultText, IsTheHeadersOwnWordingForEveryCode) {
  std::ifstream header(KIV_PUBLIC_HEADER);
  std::stringstream text;
  text << header.rdbuf();
  const std::string s = text.str();
  const std::regex define(R"(#define KIV_(OK|ERR_\w+)\s+(\d+)\s+/\* (.*?) \*/)");
  int codes = 0;
  for (auto m = std::sregex_iterator(s.begin(), s.end(), define); m != std::sregex_iterator(); ++m, ++codes)
    EXPECT_STREQ(KivResultText(std::stoi((*m)[2])), (*m)[3].str().c_str()) << (*m)[1];
  EXPECT_EQ(codes, 11);
  for (int other : {0, 11, 998, 1000, -1, -7}) EXPECT_STREQ(KivResultText(other), "unknown result code");
  EXPECT_STREQ(KivResultText(-KIV_STOP_UNFINISHED), KivResultText(KIV_ERR_WRITE));
}

TEST(Version, IsTheProjects) {
  EXPECT_STREQ(KIVGSM_VERSION_STRING, KIV_PROJECT_VERSION);
  std::ostringstream parts;
  parts << KIVGSM_VERSION_MAJOR << '.' << KIVGSM_VERSION_MINOR << '.' << KIVGSM_VERSION_PATCH << '.'
        << KIVGSM_VERSION_BUILD;
  EXPECT_EQ(parts.str(), KIV_PROJECT_VERSION);
}

}  // namespace
