// Strings and encodings: the conversions against tables of expected units, short and inside
// long text at every offset of a word; the counted formatter at its boundaries; the
// byte-string rules.
#include "xpl/Xstr.h"
#include "xpl/XplOs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
using Units = std::vector<std::uint16_t>;
constexpr std::uint16_t R = 0xFFFD;
const std::string R8 = "\xEF\xBF\xBD";

Units unitsOf(const XstrWide& wide) {
  // Size and C-string view agree: no unit is left in the terminator's slot.
  EXPECT_EQ(std::char_traits<XstrWchar>::length(wide.c_str()), wide.size());
  return Units(wide.begin(), wide.end());
}

XstrWide wideOf(const Units& units) { return XstrWide(units.begin(), units.end()); }

// How many U+FFFD one broken run gives is each converter's own choice; ours gives one per
// maximal subpart, the platform's converter is held to one run of them.
Units comparable(Units units) {
#if defined(_WIN32)
  auto twoReplacements = [](int a, int b) { return a == R && b == R; };
  units.erase(std::unique(units.begin(), units.end(), twoReplacements), units.end());
#endif
  return units;
}

Units operator+(Units a, const Units& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class XstrTest : public ::testing::Test {
protected:
  // The module formats in the UTF-8 locale its start-up sets; %ls depends on it.
  static void SetUpTestSuite() { xplSetUtf8Locale(); }
};

enum Way { BOTH_WAYS, TO_UTF16, TO_UTF8 };
} // namespace

TEST_F(XstrTest, ConversionsFollowTheUnicodeRules) {
  const struct {
    Way way;
    std::string utf8;
    Units units;
  } cases[] = {{BOTH_WAYS, "a\xC3\xA9z", {'a', 0xE9, 'z'}},
               {BOTH_WAYS, "\xC2\x80\xDF\xBF", {0x80, 0x7FF}},
               {BOTH_WAYS, "\xE0\xA0\x80\xED\x9F\xBF\xEF\xBF\xBF", {0x800, 0xD7FF, 0xFFFF}},
               {BOTH_WAYS, "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", {0xD800, 0xDC00, 0xDBFF, 0xDFFF}},
               {BOTH_WAYS, "x\xF0\x9F\x98\x80y\xE6\x97\xA5", {'x', 0xD83D, 0xDE00, 'y', 0x65E5}},
               // Malformed UTF-8: one U+FFFD per maximal ill-formed subpart.
               {TO_UTF16, "a\x80\xBF", {'a', R, R}},
               {TO_UTF16, "ok\xC3", {'o', 'k', R}},
               {TO_UTF16, "x\xE2\x82y", {'x', R, 'y'}},
               {TO_UTF16, "a\xF0", {'a', R}},
               {TO_UTF16, "a\xF0\x9F", {'a', R}},
               {TO_UTF16, "a\xF0\x9F\x98", {'a', R}},
               {TO_UTF16, "\xE2\xC3\xA9", {R, 0xE9}},
               {TO_UTF16, "\xC0\xAF", {R, R}},
               {TO_UTF16, "\xE0\x80\xAF", {R, R, R}},
               {TO_UTF16, "\xF0\x80\x80\xAF", {R, R, R, R}},
               {TO_UTF16, "\xED\xA0\x80", {R, R, R}},
               {TO_UTF16, "\xF4\x90\x80\x80", {R, R, R, R}},
               {TO_UTF16, "\xF5\x80", {R, R}},
               {TO_UTF16, "\xE6\x97\xA5\xA5\xE6\x9C\xAC", {0x65E5, R, 0x672C}},
               // Lone surrogates: U+FFFD each.
               {TO_UTF8, "A" + R8, {'A', 0xD800}},
               {TO_UTF8, R8 + R8 + "B", {0xDC00, 0xD800, 'B'}},
               {TO_UTF8, R8 + "\xF0\x9F\x98\x80", {0xD83D, 0xD83D, 0xDE00}},
               {TO_UTF8, "\xF0\x9F\x98\x80" + R8, {0xD83D, 0xDE00, 0xDBFF}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utf8);
    // Alone, and after ASCII that ends at every offset of a word, in text long enough for
    // the measuring pass.
    for (std::size_t lead : {0, 1, 7, 300, 301, 302, 303, 304, 305, 306, 307, 308}) {
      SCOPED_TRACE("after " + std::to_string(lead) + " ASCII");
      const std::string utf8 = std::string(lead, 'a') + c.utf8;
      const Units units = Units(lead, 'a') + c.units;
      if (c.way != TO_UTF8) {
        EXPECT_EQ(comparable(unitsOf(xstrUtf8ToWide(utf8))), comparable(units));
        EXPECT_EQ(comparable(unitsOf(xstrUtf8ToWide(utf8.c_str()))), comparable(units));
      }
      if (c.way != TO_UTF16) {
        EXPECT_EQ(xstrWideToUtf8(wideOf(units)), utf8);
        EXPECT_EQ(xstrWideToUtf8(wideOf(units).c_str()), utf8);
      }
    }
  }
  // One unit alone: nothing for 0, U+FFFD for a surrogate.
  EXPECT_EQ(xstrWideCharToUtf8(0x20AC), "\xE2\x82\xAC");
  EXPECT_EQ(xstrWideCharToUtf8(0) + xstrWideCharToUtf8(0xDFFF), R8);
}

TEST_F(XstrTest, ConversionsStopAtTheFirstNul) {
  for (std::size_t at : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 300, 301, 302, 303, 304, 305, 306, 307}) {
    SCOPED_TRACE(at);
    const std::string before(at, 'a');
    EXPECT_EQ(unitsOf(xstrUtf8ToWide(before + '\0' + "bcdefghijk")), Units(at, 'a'));
    EXPECT_EQ(xstrWideToUtf8(wideOf(Units(at, 'a') + Units{0} + Units(12, 'b'))), before);
  }
}

// Below, at and above the room, for small rooms and rooms on both sides of 4 KiB.
TEST_F(XstrTest, CountedFormatterFollowsTheWindowsRules) {
  std::string alphabet;
  while (alphabet.size() < 9100)
    alphabet += "abcdefghijklmnopqrstuvwxyz";
  for (std::size_t room : {0, 1, 2, 4, 17, 4096, 4097, 9000}) {
    for (std::size_t length = room > 2 ? room - 2 : 0; length <= room + 2; ++length) {
      SCOPED_TRACE("room " + std::to_string(room) + ", text " + std::to_string(length));
      const std::string text = alphabet.substr(0, length);
      std::vector<char> buffer(room + 16, '#');
      const int result = xstrSnprintf(buffer.data(), room, "%s", text.c_str());
      EXPECT_EQ(result, length <= room ? static_cast<int>(length) : -1);
      // The text up to the room, a NUL only when the text is shorter, nothing past the room.
      const std::string written = text.substr(0, room) + std::string(length < room, '\0');
      EXPECT_EQ(std::string(buffer.begin(), buffer.end()),
                written + std::string(room + 16 - written.size(), '#'));
    }
  }
}

TEST_F(XstrTest, FormatWritesTheWholeTextAndWideArgumentsAsUtf8) {
  const std::string big(70000, 'q');
  EXPECT_EQ(xstrFormat("<%s>%d", big.c_str(), -1), "<" + big + ">-1");
  const wchar_t euro[] = {0x20AC, L'/', 0x00E9, 0};
  EXPECT_EQ(xstrFormat("%ls=%s", euro, "v"), "\xE2\x82\xAC/\xC3\xA9=v");
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer); // a room that ends inside a character's bytes
  EXPECT_EQ(xstrSnprintf(buffer, 6, "[%ls]", euro), -1);
  EXPECT_EQ(std::string(buffer, 7), "[\xE2\x82\xAC/\xC3#");
  int a = 0;
  char word[8] = {};
  EXPECT_EQ(xstrSscanf("12 ab", "%d %7s", &a, word), 2);
  EXPECT_EQ(std::to_string(a) + word, "12ab");
  EXPECT_EQ(xstrSscanf("", "%d", &a), -1);
}

TEST_F(XstrTest, SplitCutsAtEveryNonOverlappingDelimiterAndTrims) {
  const struct {
    std::string text;
    std::string delimiter;
    std::vector<std::string> pieces;
  } cases[] = {
      {"", ":", {""}},
      {"a:b:", ":", {"a", "b", ""}},
      {" A : B ", ":", {"A", "B"}},
      {"aaa", "aa", {"", "a"}},
      {"a  b", " ", {"a", "", "b"}},
      {std::string("a\0b:c", 5), ":", {std::string("a\0b", 3), "c"}},
      {"  spaced out  ", "", {"spaced out"}}, // an empty delimiter: one piece, no loop
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("'" + c.text + "' at '" + c.delimiter + "'");
    EXPECT_EQ(xstrSplit(c.text, c.delimiter), c.pieces);
  }
}

// Whitespace and case by the C library's rules in the locale the module runs in.
TEST_F(XstrTest, TrimAndCaseChangesTouchOnlyAscii) {
  EXPECT_EQ(xstrTrim(" \ta b\r\n"), "a b");
  EXPECT_EQ(xstrToLower(std::string("A\0B", 3)), std::string("a\0b", 3));
  for (int c = 0; c < 256; ++c) {
    SCOPED_TRACE(c);
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(xstrTrim(one).empty(), c < 128 && std::isspace(c) != 0);
    EXPECT_EQ(xstrToLower(one), std::string(1, static_cast<char>(c < 128 ? std::tolower(c) : c)));
    EXPECT_EQ(xstrToUpper(one), std::string(1, static_cast<char>(c < 128 ? std::toupper(c) : c)));
  }
}

// The difference of the first lowered bytes that differ, each taken as signed.
TEST_F(XstrTest, ThreeWayComparisonsUseLoweredSignedBytes) {
  EXPECT_EQ(xstrCaseCmp("ABC", "abd"), -1);
  EXPECT_EQ(xstrCaseCmp("a", ""), 97);
  EXPECT_EQ(xstrCaseCmp("\x80", "a"), -225);
  EXPECT_EQ(xstrCaseCmp("[", "a"), '[' - 'a');
  EXPECT_EQ(xstrNCaseCmp("abcX", "ABCy", 3), 0);
  EXPECT_EQ(xstrNCaseCmp("abcX", "ABCy", 4), 'x' - 'y');
  EXPECT_EQ(xstrNCaseCmp("ab", "abc", 3), -'c');
}

TEST_F(XstrTest, PrefixSuffixEqualityAndContainment) {
  const std::string z("a\0x", 3); // C-string view "a", three bytes long
  EXPECT_TRUE(xstrStartsWith("a", z));
  EXPECT_FALSE(xstrStartsWith("Abc", "ab"));
  EXPECT_FALSE(xstrStartsWithNoCase("Ab", "abc"));
  EXPECT_TRUE(xstrStartsWithNoCase("ABCD", "abc"));
  EXPECT_FALSE(xstrEndsWith("a", "ab"));
  EXPECT_FALSE(xstrEndsWith("file.TXT", ".txt"));
  EXPECT_TRUE(xstrEndsWithNoCase("File.TXT", ".txt"));
  EXPECT_TRUE(xstrEqualsNoCase(z, "A"));
  EXPECT_FALSE(xstrEqualsNoCase("ab", "abc"));
  EXPECT_TRUE(xstrContains("", ""));
  EXPECT_TRUE(xstrContainsNoCase("hello", "HELL"));
  EXPECT_FALSE(xstrContains(z, std::string("\0y", 2)));
}

TEST_F(XstrTest, CStringCopies) {
  char buffer[8] = "#######";
  EXPECT_EQ(xstrNCopy(buffer, "ab", 5), buffer);
  EXPECT_EQ(std::string(buffer, 6), std::string("ab\0\0\0#", 6)) << "padded with NULs to n";
  xstrNCopy(xstrCopy(buffer, "xyz"), "abcdef", 2);
  EXPECT_EQ(std::string(buffer, 5), std::string("abz\0\0", 5)) << "no NUL when the source fills n";
  char* copy = xstrDup("dup\xC3\xA9");
  EXPECT_STREQ(copy, "dup\xC3\xA9");
  std::free(copy);
}
