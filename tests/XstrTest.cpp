// Strings and encodings: the conversions against an independent converter (iconv on Linux,
// the platform's strict conversion under Windows), the counted formatter at its boundaries,
// and the byte-string rules.
#include "xpl/Xstr.h"
#include "xpl/XplOs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

namespace {
using Units = std::vector<std::uint16_t>;

Units unitsOf(const XstrWide& wide) { return Units(wide.begin(), wide.end()); }

XstrWide wideOf(const Units& units) {
  XstrWide wide;
  for (std::uint16_t unit : units)
    wide.push_back(static_cast<XstrWchar>(unit));
  return wide;
}

// Appends a code point as one unit, or as a surrogate pair above U+FFFF.
void appendCodePoint(Units& units, std::uint32_t cp) {
  if (cp >= 0x10000) {
    units.push_back(static_cast<std::uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
    units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    units.push_back(static_cast<std::uint16_t>(cp));
  }
}

std::string hex(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes)
    text += xstrFormat("%02X ", c);
  return text;
}

// The oracle: a converter that is not ours and that refuses malformed input (nullopt).
#if defined(_WIN32)
std::optional<Units> oracleToUtf16(const std::string& utf8) {
  if (utf8.empty())
    return Units();
  const int n = MultiByteToWideChar(65001, MB_ERR_INVALID_CHARS, utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0)
    return std::nullopt;
  std::vector<wchar_t> out(static_cast<std::size_t>(n));
  MultiByteToWideChar(65001, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                      out.data(), n);
  return Units(out.begin(), out.end());
}

std::optional<std::string> oracleToUtf8(const Units& utf16) {
  if (utf16.empty())
    return std::string();
  const std::vector<wchar_t> in(utf16.begin(), utf16.end());
  const int n = WideCharToMultiByte(65001, WC_ERR_INVALID_CHARS, in.data(),
                                    static_cast<int>(in.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0)
    return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(65001, WC_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), &out[0],
                      n, nullptr, nullptr);
  return out;
}
#else
std::optional<std::string> iconvBytes(const char* to, const char* from, const char* in,
                                      std::size_t size) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1))
    return std::nullopt;
  std::string out(size * 4 + 8, '\0');
  char* src = const_cast<char*>(in);
  std::size_t left = size;
  char* dst = &out[0];
  std::size_t room = out.size();
  const std::size_t rc = iconv(cd, &src, &left, &dst, &room);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1))
    return std::nullopt;
  out.resize(out.size() - room);
  return out;
}

std::optional<Units> oracleToUtf16(const std::string& utf8) {
  const auto bytes = iconvBytes("UTF-16LE", "UTF-8", utf8.data(), utf8.size());
  if (!bytes)
    return std::nullopt;
  Units units(bytes->size() / 2);
  if (!units.empty())
    std::memcpy(units.data(), bytes->data(), bytes->size());
  return units;
}

std::optional<std::string> oracleToUtf8(const Units& utf16) {
  return iconvBytes("UTF-8", "UTF-16LE", reinterpret_cast<const char*>(utf16.data()),
                    utf16.size() * 2);
}
#endif

class XstrTest : public ::testing::Test {
protected:
  // The module formats in the UTF-8 locale its start-up sets; %ls depends on it.
  static void SetUpTestSuite() { xplSetUtf8Locale(); }
};

// Valid text in every UTF-8 length, at the edges of each length and of the planes.
const char* const validCorpus[] = {
    "",
    "plain ascii path/to/file.txt",
    "a\xC3\xA9z",                           // U+00E9
    "\xC2\x80\xDF\xBF",                     // U+0080, U+07FF
    "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80", // U+0800, U+D7FF, U+E000
    "\xEF\xBF\xBD\xEF\xBF\xBF",             // U+FFFD, U+FFFF
    "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",     // U+10000, U+10FFFF
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", // CJK
    "x\xF0\x9F\x98\x80y\xF0\x9F\x8E\x89",   // emoji between ASCII
    "C:\\Users\\\xC3\xBC\\\xD0\x94\xD0\xB0\\\xE2\x82\xAC.txt",
};
} // namespace

TEST_F(XstrTest, ValidUtf8ConvertsAsTheOracleDoesBothWays) {
  for (const char* text : validCorpus) {
    SCOPED_TRACE(hex(text));
    const auto expected = oracleToUtf16(text);
    ASSERT_TRUE(expected.has_value());
    const XstrWide wide = xstrUtf8ToWide(std::string(text));
    EXPECT_EQ(unitsOf(wide), *expected);
    EXPECT_EQ(unitsOf(xstrUtf8ToWide(text)), *expected);
    EXPECT_EQ(xstrWideToUtf8(wide), text);
    EXPECT_EQ(xstrWideToUtf8(wide.c_str()), text);
  }
}

// Long text in runs of one script goes through the converters' block paths (eight units
// of ASCII mixed with 2-byte letters, or of 3-byte characters, at a time); runs start at
// every offset, so blocks straddle their edges.
TEST_F(XstrTest, LongRunsOfOneScriptMatchTheOracle) {
  std::mt19937 random(77);
  const std::pair<std::uint32_t, std::uint32_t> scripts[] = {
      {0x20, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x7F, 0x801}, {0x10000, 0x10FFFF}};
  for (int round = 0; round < 60; ++round) {
    Units units;
    while (units.size() < 1200) {
      const auto& script = scripts[random() % 5];
      const int run = 1 + static_cast<int>(random() % 70);
      for (int i = 0; i < run; ++i) {
        const std::uint32_t cp = script.first + random() % (script.second - script.first + 1);
        appendCodePoint(units, cp);
      }
    }
    SCOPED_TRACE(round);
    const auto expected = oracleToUtf8(units);
    ASSERT_TRUE(expected.has_value());
    const std::string utf8 = xstrWideToUtf8(wideOf(units));
    ASSERT_EQ(utf8, *expected);
    EXPECT_EQ(unitsOf(xstrUtf8ToWide(utf8)), units);
  }
}

TEST_F(XstrTest, RandomValidTextRoundTripsAndMatchesTheOracle) {
  std::mt19937 random(20240601);
  // Code points drawn per script block, so every UTF-8 length and surrogate pairs appear.
  const std::pair<std::uint32_t, std::uint32_t> ranges[] = {
      {0x20, 0x7E}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  for (int round = 0; round < 300; ++round) {
    Units units;
    const int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) {
      const auto& range = ranges[random() % 5];
      const std::uint32_t cp = range.first + random() % (range.second - range.first + 1);
      appendCodePoint(units, cp);
    }
    SCOPED_TRACE(round);
    const auto utf8 = oracleToUtf8(units);
    ASSERT_TRUE(utf8.has_value());
    EXPECT_EQ(xstrWideToUtf8(wideOf(units)), *utf8);
    EXPECT_EQ(unitsOf(xstrUtf8ToWide(*utf8)), units);
  }
}

namespace {
struct MalformedCase {
  const char* what;
  std::string prefix;       // valid
  std::string bad;          // one or more ill-formed sequences
  std::string suffix;       // valid
  std::size_t replacements; // U+FFFD count: one per maximal subpart
};

const MalformedCase malformedCases[] = {
    {"lone FF", "", "\xFF", "", 1},
    {"stray continuation", "ab", "\x80", "cd", 1},
    {"three stray continuations", "a", "\x80\xBF\x80", "b", 3},
    {"truncated two-byte at end", "ok", "\xC3", "", 1},
    {"truncated three-byte before ASCII", "x", "\xE2\x82", "y", 1},
    {"truncated four-byte before ASCII", "x", "\xF0\x9F\x98", "y", 1},
    {"truncated four-byte at end", "x", "\xF0\x9F", "", 1},
    {"lead followed by lead", "", "\xE2", "\xC3\xA9", 1},
    {"overlong two-byte slash", "p", "\xC0\xAF", "q", 2},
    {"overlong C1", "", "\xC1\xBF", "", 2},
    {"overlong three-byte", "", "\xE0\x80\xAF", "z", 3},
    {"overlong four-byte", "", "\xF0\x80\x80\xAF", "z", 4},
    {"encoded high surrogate", "a", "\xED\xA0\x80", "b", 3},
    {"encoded low surrogate", "a", "\xED\xBF\xBF", "b", 3},
    {"encoded surrogate pair", "", "\xED\xA0\xBD\xED\xB8\x80", "", 6},
    {"above U+10FFFF", "", "\xF4\x90\x80\x80", "!", 4},
    {"F5 lead", "", "\xF5\x80\x80\x80", "", 4},
    {"FE and FF", "", "\xFE\xFF", "", 2},
    {"bad between CJK", "\xE6\x97\xA5", "\xA5", "\xE6\x9C\xAC", 1},
    {"bad inside a long ASCII run", std::string(37, 'a'), "\x80", std::string(40, 'b'), 1},
};
} // namespace

// Wine's converter (unlike Windows') reads the terminating NUL as part of a four-byte
// sequence cut short after one or two bytes at the very end, and then counts no NUL.
bool converterSwallowsTerminator(const std::string& text) {
#if defined(_WIN32)
  wchar_t out[256];
  const int n = MultiByteToWideChar(65001, 0, text.c_str(), -1, out, 256);
  return n > 0 && out[n - 1] != L'\0';
#else
  (void)text;
  return false;
#endif
}

// Where the text is valid the result is the oracle's; the ill-formed bytes in between become
// U+FFFD and nothing else.
TEST_F(XstrTest, MalformedUtf8IsReplacedAndTheValidTextAroundItKept) {
  for (const MalformedCase& c : malformedCases) {
    SCOPED_TRACE(c.what);
    const auto prefix = oracleToUtf16(c.prefix);
    const auto suffix = oracleToUtf16(c.suffix);
    ASSERT_TRUE(prefix && suffix);
    ASSERT_FALSE(oracleToUtf16(c.prefix + c.bad + c.suffix).has_value()) << "not malformed";
    const Units got = unitsOf(xstrUtf8ToWide(c.prefix + c.bad + c.suffix));
    if (converterSwallowsTerminator(c.prefix + c.bad + c.suffix)) {
      // The converter took the NUL into the broken sequence, so its measure stops one unit
      // short of the replacement; only the valid prefix can be held against the oracle.
      EXPECT_EQ(Units(got.begin(), got.begin() + std::min(got.size(), prefix->size())), *prefix);
      continue;
    }
    ASSERT_GE(got.size(), prefix->size() + suffix->size() + 1);
    EXPECT_EQ(Units(got.begin(), got.begin() + prefix->size()), *prefix);
    EXPECT_EQ(Units(got.end() - suffix->size(), got.end()), *suffix);
    const Units middle(got.begin() + prefix->size(), got.end() - suffix->size());
    EXPECT_FALSE(middle.empty());
    EXPECT_EQ(middle, Units(middle.size(), 0xFFFD));
#if !defined(_WIN32)
    // How many replacements one broken run gives is each converter's own choice; ours gives
    // one per maximal subpart.
    EXPECT_EQ(middle.size(), c.replacements);
#endif
    // The result is always well-formed UTF-16, whatever came in.
    EXPECT_TRUE(oracleToUtf8(got).has_value());
  }
}

TEST_F(XstrTest, RandomBytesAlwaysGiveWellFormedUtf16) {
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    std::string bytes;
    const int length = 1 + static_cast<int>(random() % 24);
    for (int i = 0; i < length; ++i) {
      // Mostly bytes that matter to UTF-8 (leads and continuations), some ASCII.
      const unsigned r = random() % 4 == 0 ? 0x21 + random() % 0x5E : 0x80 + random() % 0x80;
      bytes.push_back(static_cast<char>(r));
    }
    SCOPED_TRACE(hex(bytes));
    const Units got = unitsOf(xstrUtf8ToWide(bytes));
    EXPECT_TRUE(oracleToUtf8(got).has_value());
    if (const auto expected = oracleToUtf16(bytes)) {
      EXPECT_EQ(got, *expected);
    }
  }
}

TEST_F(XstrTest, LoneSurrogatesBecomeTheReplacementCharacter) {
  const struct {
    const char* what;
    Units in;
    std::string out;
  } cases[] = {
      {"high then ASCII", {0x41, 0xD800}, "A\xEF\xBF\xBD"},
      {"low alone", {0xDC00}, "\xEF\xBF\xBD"},
      {"low before high",
       {0xDC00, 0xD800, 0x42},
       "\xEF\xBF\xBD\xEF\xBF\xBD"
       "B"},
      {"high high low", {0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
      {"pair then lone high", {0xD83D, 0xDE00, 0xD800}, "\xF0\x9F\x98\x80\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(oracleToUtf8(c.in).has_value()) << "not malformed";
    EXPECT_EQ(xstrWideToUtf8(wideOf(c.in)), c.out);
  }
}

TEST_F(XstrTest, ConversionsStopAtTheFirstNul) {
  EXPECT_EQ(unitsOf(xstrUtf8ToWide(std::string("ab\0cd", 5))), (Units{'a', 'b'}));
  EXPECT_EQ(unitsOf(xstrUtf8ToWide(std::string("\0x", 2))), Units());
  EXPECT_EQ(xstrWideToUtf8(wideOf({'a', 0, 'b'})), "a");
  EXPECT_EQ(unitsOf(xstrUtf8ToWide("")), Units());
  EXPECT_EQ(unitsOf(xstrUtf8ToWide("\xFF")), Units{0xFFFD});
}

TEST_F(XstrTest, OneUnitConvertsAloneOrToNothing) {
  const struct {
    std::uint16_t unit;
    std::string utf8;
  } cases[] = {{0x0000, ""},
               {0x0041, "A"},
               {0x00E9, "\xC3\xA9"},
               {0x20AC, "\xE2\x82\xAC"},
               {0xFFFF, "\xEF\xBF\xBF"},
               {0xD800, "\xEF\xBF\xBD"},
               {0xDFFF, "\xEF\xBF\xBD"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit);
    EXPECT_EQ(xstrWideCharToUtf8(static_cast<XstrWchar>(c.unit)), c.utf8);
  }
}

namespace {
// Long texts are built from short pieces that each end in ASCII: no sequence, well-formed
// or not, runs across a piece's end, so the long text converts to the pieces' conversions
// one after the other. Short pieces take the one-pass conversion on the stack, long texts
// the measuring pass, so each path is held against the other; the pieces' lengths are
// random so that every sequence and every fault falls at every offset of a 16-byte block.
std::string randomUtf8Piece(std::mt19937& random, bool malformed) {
  std::string piece;
  const int kind = static_cast<int>(random() % 5); // one script for the whole run, or mixed
  const int count = 1 + static_cast<int>(random() % 12);
  const std::pair<std::uint32_t, std::uint32_t> ranges[] = {
      {0x20, 0x7E}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  for (int i = 0; i < count; ++i) {
    const auto& range = ranges[kind == 0 ? random() % 5 : kind];
    const std::uint32_t cp = range.first + random() % (range.second - range.first + 1);
    if (cp < 0x80) {
      piece += static_cast<char>(cp);
    } else if (cp < 0x800) {
      piece += static_cast<char>(0xC0 | (cp >> 6));
      piece += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      piece += static_cast<char>(0xE0 | (cp >> 12));
      piece += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      piece += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      piece += static_cast<char>(0xF0 | (cp >> 18));
      piece += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      piece += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      piece += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  if (malformed) {
    // A few bytes that matter to UTF-8 at a random place: leads, continuations, bad bytes.
    std::string bad;
    const int length = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < length; ++i)
      bad += static_cast<char>(0x80 + random() % 0x80);
    piece.insert(random() % (piece.size() + 1), bad);
  }
  return piece + static_cast<char>('A' + random() % 26);
}

Units randomUtf16Piece(std::mt19937& random, bool malformed) {
  Units piece;
  const int kind = static_cast<int>(random() % 5);
  const int count = 1 + static_cast<int>(random() % 12);
  const std::pair<std::uint32_t, std::uint32_t> ranges[] = {
      {0x20, 0x7E}, {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  for (int i = 0; i < count; ++i) {
    const auto& range = ranges[kind == 0 ? random() % 5 : kind];
    const std::uint32_t cp = range.first + random() % (range.second - range.first + 1);
    appendCodePoint(piece, cp);
  }
  if (malformed) {
    const int length = 1 + static_cast<int>(random() % 3);
    for (int i = 0; i < length; ++i)
      piece.insert(piece.begin() + static_cast<long>(random() % (piece.size() + 1)),
                   static_cast<std::uint16_t>(0xD800 + random() % 0x800));
  }
  piece.push_back(static_cast<std::uint16_t>('a' + random() % 26));
  return piece;
}
} // namespace

TEST_F(XstrTest, LongValidTextConvertsAsTheOracleDoesBothWays) {
  std::mt19937 random(31337);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const std::size_t size = 200 + random() % 3000;
    while (text.size() < size)
      text += randomUtf8Piece(random, false);
    if (round % 2 == 1)
      text.pop_back(); // end on whatever the last character was, not always ASCII
    SCOPED_TRACE(round);
    const auto expected = oracleToUtf16(text);
    ASSERT_TRUE(expected.has_value());
    const XstrWide wide = xstrUtf8ToWide(text);
    EXPECT_EQ(unitsOf(wide), *expected);
    EXPECT_EQ(xstrWideToUtf8(wide), text);
    EXPECT_EQ(xstrWideToUtf8(wide.c_str()), text);
  }
}

#if !defined(_WIN32)
// How many replacements a broken run gives, and where a sequence cut off by the end stops,
// is each converter's own choice: these two hold the long-text path to the counts ours gives.
TEST_F(XstrTest, LongMalformedUtf8ConvertsAsItsShortPiecesDo) {
  std::mt19937 random(4242);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    Units expected;
    const std::size_t size = 200 + random() % 3000;
    const std::size_t faults = random() % 3; // 0: all valid but for the end, 1-2: a few
    while (text.size() < size) {
      const std::string piece = randomUtf8Piece(random, faults != 0 && random() % 16 < faults);
      text += piece;
      const Units units = unitsOf(xstrUtf8ToWide(piece));
      expected.insert(expected.end(), units.begin(), units.end());
    }
    if (round % 3 == 0) {
      // A sequence cut short by the end of the text, whatever block offset that is.
      const std::string cut = std::string("\xF0\x9F\x98\x80").substr(0, 1 + random() % 3);
      text += cut;
      expected.push_back(0xFFFD);
    }
    SCOPED_TRACE(hex(text));
    EXPECT_EQ(unitsOf(xstrUtf8ToWide(text)), expected);
    EXPECT_EQ(unitsOf(xstrUtf8ToWide(text.c_str())), expected);
  }
}

// Each malformed case again inside long valid text, at every offset around a 16-byte block
// boundary, so a check that looks across blocks or at the end of the text is reached.
TEST_F(XstrTest, MalformedUtf8InsideLongTextIsReplacedAtEveryOffset) {
  const std::string filler = "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC x\xF0\x9F\x98\x80 ";
  for (const MalformedCase& c : malformedCases) {
    for (std::size_t offset = 0; offset < 48; ++offset) {
      SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(offset));
      std::string before = std::string(300, 'a') + std::string(offset, 'b') + c.prefix;
      std::string after = c.suffix;
      if (offset % 2 == 0) // text that goes on after the fault, or ends right there
        after += filler + filler + std::string(offset, 'c');
      const auto head = oracleToUtf16(before);
      const auto tail = oracleToUtf16(after);
      ASSERT_TRUE(head && tail);
      Units expected = *head;
      expected.insert(expected.end(), c.replacements, 0xFFFD);
      expected.insert(expected.end(), tail->begin(), tail->end());
      EXPECT_EQ(unitsOf(xstrUtf8ToWide(before + c.bad + after)), expected);
      // The same with valid multibyte text, not ASCII, running up to the fault.
      const std::string multibyte = filler + filler + filler + filler + std::string(offset, 'b');
      const auto multiHead = oracleToUtf16(multibyte + c.prefix);
      ASSERT_TRUE(multiHead);
      Units expectedMulti = *multiHead;
      expectedMulti.insert(expectedMulti.end(), c.replacements, 0xFFFD);
      expectedMulti.insert(expectedMulti.end(), tail->begin(), tail->end());
      EXPECT_EQ(unitsOf(xstrUtf8ToWide(multibyte + c.prefix + c.bad + after)), expectedMulti);
    }
  }
}
#endif

TEST_F(XstrTest, LongUtf16WithLoneSurrogatesConvertsAsItsShortPiecesDo) {
  std::mt19937 random(777);
  for (int round = 0; round < 400; ++round) {
    Units text;
    std::string expected;
    const std::size_t size = 200 + random() % 2000;
    const std::size_t faults = random() % 3;
    while (text.size() < size) {
      const Units piece = randomUtf16Piece(random, faults != 0 && random() % 16 < faults);
      text.insert(text.end(), piece.begin(), piece.end());
      expected += xstrWideToUtf8(wideOf(piece));
    }
    if (round % 3 == 0) {
      text.push_back(0xD83D); // a high surrogate with nothing after it
      expected += "\xEF\xBF\xBD";
    }
    SCOPED_TRACE(round);
    const XstrWide wide = wideOf(text);
    EXPECT_EQ(xstrWideToUtf8(wide), expected);
    EXPECT_EQ(xstrWideToUtf8(wide.c_str()), expected);
  }
}

TEST_F(XstrTest, LongTextStopsAtANulAnywhereInIt) {
  std::mt19937 random(99);
  for (int round = 0; round < 100; ++round) {
    std::string text;
    while (text.size() < 600)
      text += randomUtf8Piece(random, round % 2 == 1);
    const std::size_t nul = 300 + random() % 300;
    // Cut at a character's start so the text before the NUL is the same text alone.
    std::size_t at = nul;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
      --at;
    const std::string before = text.substr(0, at);
    std::string withNul = text;
    withNul[at] = '\0';
    SCOPED_TRACE(hex(withNul));
    const XstrWide wide = xstrUtf8ToWide(withNul);
    EXPECT_EQ(wide, xstrUtf8ToWide(before));
    XstrWide wideWithNul = xstrUtf8ToWide(text);
    const std::size_t cut = wideWithNul.size() / 2;
    wideWithNul[cut] = u'\0';
    EXPECT_EQ(xstrWideToUtf8(wideWithNul), xstrWideToUtf8(wideWithNul.substr(0, cut)));
  }
}

// The counted formatter at and around the room: below, equal, above, for small rooms and for
// rooms past the size a POSIX second pass keeps on its stack.
TEST_F(XstrTest, CountedFormatterFollowsTheWindowsRulesAtEveryBoundary) {
  const std::size_t rooms[] = {0, 1, 2, 3, 4, 17, 4095, 4096, 4097, 10000};
  for (std::size_t room : rooms) {
    for (long delta : {-2L, -1L, 0L, 1L, 2L}) {
      if (static_cast<long>(room) + delta < 0)
        continue;
      const std::size_t length = room + delta;
      SCOPED_TRACE("room " + std::to_string(room) + ", text " + std::to_string(length));
      // Several conversions, so a second pass must see the arguments from the start again.
      std::string text;
      for (std::size_t i = 0; text.size() < length; ++i)
        text += static_cast<char>('a' + i % 26);
      const std::string head = text.substr(0, std::min<std::size_t>(2, length));
      const std::string middle = text.substr(head.size(), length > 3 ? length - 3 : 0);
      const std::string tail = text.substr(head.size() + middle.size());
      ASSERT_EQ(head + middle + tail, text);
      std::vector<char> buffer(room + 16, '#');
      const int result = xstrSnprintf(buffer.data(), room, "%s%s%.*s", head.c_str(), middle.c_str(),
                                      static_cast<int>(tail.size()), tail.c_str());
      const std::string written(buffer.data(), std::min(room, length));
      EXPECT_EQ(written, text.substr(0, std::min(room, length)));
      if (length < room) {
        EXPECT_EQ(result, static_cast<int>(length));
        EXPECT_EQ(buffer[length], '\0');
        EXPECT_EQ(std::string(buffer.begin() + length + 1, buffer.end()),
                  std::string(room + 15 - length, '#'));
      } else {
        EXPECT_EQ(result, length == room ? static_cast<int>(length) : -1);
        EXPECT_EQ(std::string(buffer.begin() + room, buffer.end()), std::string(16, '#'))
            << "wrote past the room";
      }
    }
  }
}

TEST_F(XstrTest, CountedFormatterExamples) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(xstrSnprintf(buffer, 4, "%s", "abcd"), 4);
  EXPECT_EQ(std::string(buffer, 5), "abcd#");
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(xstrSnprintf(buffer, 4, "%s", "abcde"), -1);
  EXPECT_EQ(std::string(buffer, 5), "abcd#");
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(xstrSnprintf(buffer, 4, "%s", "abc"), 3);
  EXPECT_EQ(std::string(buffer, 5), std::string("abc\0#", 5));
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(xstrSnprintf(buffer, 0, "%s", ""), 0);
  EXPECT_EQ(buffer[0], '#');
  char wide[16];
  EXPECT_EQ(xstrSnprintf(wide, sizeof wide, "%d|%5.1f|%c", -42, 2.5, 'x'), 11);
  EXPECT_STREQ(wide, "-42|  2.5|x");
}

TEST_F(XstrTest, WideArgumentsAreWrittenAsUtf8) {
  const wchar_t euro[] = {0x20AC, L'/', 0x00E9, 0};
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(xstrSnprintf(buffer, sizeof buffer, "[%ls]", euro), 8);
  EXPECT_STREQ(buffer, "[\xE2\x82\xAC/\xC3\xA9]");
  // Room ending inside the multibyte form of the last character.
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(xstrSnprintf(buffer, 6, "[%ls]", euro), -1);
  EXPECT_EQ(std::string(buffer, 7), "[\xE2\x82\xAC/\xC3#");
  EXPECT_EQ(xstrFormat("%ls=%s", euro, "v"), "\xE2\x82\xAC/\xC3\xA9=v");
}

TEST_F(XstrTest, FormatBuildsTheWholeText) {
  EXPECT_EQ(xstrFormat("%s=%s", "A", ""), "A=");
  EXPECT_EQ(xstrFormat("%s", ""), "");
  EXPECT_EQ(xstrFormat("%d-%u-%x", -1, 7u, 255u), "-1-7-ff");
  const std::string big(70000, 'q');
  const std::string formatted = xstrFormat("<%s>", big.c_str());
  EXPECT_EQ(formatted, "<" + big + ">");
  EXPECT_EQ(std::strlen(formatted.c_str()), formatted.size());
}

TEST_F(XstrTest, ScanfReportsFieldsOrEndOfInput) {
  int a = 0;
  char word[8] = {};
  EXPECT_EQ(xstrSscanf("12 ab", "%d %7s", &a, word), 2);
  EXPECT_EQ(a, 12);
  EXPECT_STREQ(word, "ab");
  EXPECT_EQ(xstrSscanf("x", "%d", &a), 0);
  EXPECT_EQ(xstrSscanf("", "%d", &a), -1);
}

TEST_F(XstrTest, SplitCutsAtEveryNonOverlappingDelimiterAndTrims) {
  using Pieces = std::vector<std::string>;
  const struct {
    std::string text;
    std::string delimiter;
    Pieces pieces;
  } cases[] = {
      {"", ":", {""}},
      {"a:b:", ":", {"a", "b", ""}},
      {":a", ":", {"", "a"}},
      {"a::b", ":", {"a", "", "b"}},
      {" A : B ", ":", {"A", "B"}},
      {"x", "xyz", {"x"}},
      {"a--b", "--", {"a", "b"}},
      {"aaa", "aa", {"", "a"}},
      {"a  b", " ", {"a", "", "b"}},
      {"*:I XMEM:D", " ", {"*:I", "XMEM:D"}},
      {"C:\\dir\\sub", "\\", {"C:", "dir", "sub"}},
      {std::string("a\0b:c", 5), ":", {std::string("a\0b", 3), "c"}},
      {" \t ", ":", {""}},
      {"  spaced out  ", "", {"spaced out"}}, // an empty delimiter: one piece, no loop
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("'" + c.text + "' at '" + c.delimiter + "'");
    EXPECT_EQ(xstrSplit(c.text, c.delimiter), c.pieces);
  }
}

TEST_F(XstrTest, TrimRemovesOnlyAsciiWhitespace) {
  EXPECT_EQ(xstrTrim("  \t "), "");
  EXPECT_EQ(xstrTrim(" a b "), "a b");
  EXPECT_EQ(xstrTrim("\x0B\x0C\r\nx\n"), "x");
  EXPECT_EQ(xstrTrim("\xA0x\xA0"), "\xA0x\xA0");
  EXPECT_EQ(xstrTrim("\x85x"), "\x85x");
  EXPECT_EQ(xstrTrim(""), "");
  // The classification matches the C library's in the locale the module runs in.
  for (int c = 0; c < 256; ++c) {
    SCOPED_TRACE(c);
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(xstrTrim(one).empty(), c < 128 && std::isspace(c) != 0);
    EXPECT_EQ(xstrToLower(one), std::string(1, static_cast<char>(c < 128 ? std::tolower(c) : c)));
    EXPECT_EQ(xstrToUpper(one), std::string(1, static_cast<char>(c < 128 ? std::toupper(c) : c)));
  }
}

TEST_F(XstrTest, CaseChangesTouchOnlyAsciiLetters) {
  EXPECT_EQ(xstrToUpper("stra\xC3\x9F"
                        "e"),
            "STRA\xC3\x9F"
            "E");
  EXPECT_EQ(xstrToLower("\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89");
  EXPECT_EQ(xstrToLower(std::string("A\0B", 3)), std::string("a\0b", 3));
}

TEST_F(XstrTest, ThreeWayComparisonsUseLoweredSignedBytes) {
  const struct {
    const char* a;
    const char* b;
    std::size_t n; // SIZE_MAX: xstrCaseCmp
    int result;
  } cases[] = {
      {"ABC", "abd", SIZE_MAX, -1},    {"a", "", SIZE_MAX, 97},
      {"", "a", SIZE_MAX, -97},        {"\x80", "a", SIZE_MAX, -225},
      {"a", "\xFF", SIZE_MAX, 98},     {"Hello", "hELLO", SIZE_MAX, 0},
      {"[", "a", SIZE_MAX, '[' - 'a'}, {"abcX", "ABCy", 3, 0},
      {"abcX", "ABCy", 4, 'x' - 'y'},  {"ab", "abc", 2, 0},
      {"ab", "abc", 3, -'c'},          {"x", "y", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b + " n=" + std::to_string(c.n));
    if (c.n == SIZE_MAX) {
      EXPECT_EQ(xstrCaseCmp(c.a, c.b), c.result);
    }
    EXPECT_EQ(xstrNCaseCmp(c.a, c.b, c.n), c.result);
  }
}

TEST_F(XstrTest, PrefixSuffixAndEqualityTests) {
  EXPECT_TRUE(xstrStartsWith("anything", ""));
  EXPECT_TRUE(xstrStartsWith("abc", "ab"));
  EXPECT_FALSE(xstrStartsWith("ab", "abc"));
  EXPECT_FALSE(xstrStartsWith("Abc", "ab"));
  EXPECT_TRUE(xstrStartsWith("ab", std::string("ab\0x", 4))) << "compares C-string views";
  EXPECT_FALSE(xstrStartsWithNoCase("Ab", "abc"));
  EXPECT_TRUE(xstrStartsWithNoCase("ABCD", "abc"));
  EXPECT_TRUE(xstrStartsWithNoCase("x", ""));

  EXPECT_FALSE(xstrEndsWith("a", "ab"));
  EXPECT_TRUE(xstrEndsWith("ab", ""));
  EXPECT_TRUE(xstrEndsWith("file.txt", ".txt"));
  EXPECT_FALSE(xstrEndsWith("file.TXT", ".txt"));
  EXPECT_TRUE(xstrEndsWithNoCase("File.TXT", ".txt"));
  EXPECT_FALSE(xstrEndsWithNoCase("txt", ".txt"));

  EXPECT_TRUE(xstrEqualsNoCase("Path\\To", "pATH\\tO"));
  EXPECT_FALSE(xstrEqualsNoCase("ab", "abc"));
  EXPECT_TRUE(xstrEqualsNoCase(std::string("a\0x", 3), "A")) << "compares C-string views";
  EXPECT_FALSE(xstrEqualsNoCase("\xC3\xA9", "\xC3\x89"));
}

TEST_F(XstrTest, ContainsUsesFullLengths) {
  EXPECT_TRUE(xstrContains("", ""));
  EXPECT_TRUE(xstrContains("abc", ""));
  EXPECT_TRUE(xstrContainsNoCase("", ""));
  EXPECT_TRUE(xstrContains("hello world", "o w"));
  EXPECT_FALSE(xstrContains("hello", "HELL"));
  EXPECT_TRUE(xstrContainsNoCase("hello", "HELL"));
  EXPECT_TRUE(xstrContains(std::string("a\0b", 3), std::string("\0b", 2)));
  EXPECT_FALSE(xstrContains(std::string("a\0b", 3), std::string("\0c", 2)));
  EXPECT_FALSE(xstrContains("ab", "abc"));
}

TEST_F(XstrTest, CStringCopies) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(xstrCopy(buffer, "abc"), buffer);
  EXPECT_EQ(std::string(buffer, 5), std::string("abc\0#", 5));

  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(xstrNCopy(buffer, "ab", 5), buffer);
  EXPECT_EQ(std::string(buffer, 6), std::string("ab\0\0\0#", 6)) << "padded with NULs to n";
  std::memset(buffer, '#', sizeof buffer);
  xstrNCopy(buffer, "abcdef", 4);
  EXPECT_EQ(std::string(buffer, 5), "abcd#") << "no terminator when the source fills n";

  char* copy = xstrDup("dup\xC3\xA9");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "dup\xC3\xA9");
  std::free(copy);
}
