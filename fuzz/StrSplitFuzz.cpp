// Splitting and trimming: counts and pieces computed here by a plain scan, and what the
// pieces must look like whatever the text.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xstr.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool matchesAt(const std::string& text, size_t at, const std::string& delimiter) {
  return at + delimiter.size() <= text.size() &&
         std::memcmp(text.data() + at, delimiter.data(), delimiter.size()) == 0;
}

// Leftmost non-overlapping occurrences, one position at a time.
size_t countOccurrences(const std::string& text, const std::string& delimiter) {
  size_t count = 0;
  for (size_t at = 0; at < text.size();) {
    if (matchesAt(text, at, delimiter)) {
      ++count;
      at += delimiter.size();
    } else {
      ++at;
    }
  }
  return count;
}

// The text with every occurrence removed and the whitespace on both sides of every cut and
// at both ends dropped, built byte by byte.
std::string removeDelimiters(const std::string& text, const std::string& delimiter) {
  std::string out;
  std::string pending; // whitespace seen inside a piece, kept only if the piece goes on
  bool pieceStarted = false;
  for (size_t at = 0; at < text.size();) {
    if (matchesAt(text, at, delimiter)) {
      pending.clear();
      pieceStarted = false;
      at += delimiter.size();
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[at++]);
    if (isSpace(c)) {
      if (pieceStarted)
        pending += static_cast<char>(c);
      continue;
    }
    out += pending;
    pending.clear();
    out += static_cast<char>(c);
    pieceStarted = true;
  }
  return out;
}

void checkTrimmed(const std::string& piece) {
  if (piece.empty())
    return;
  FUZZ_CHECK(!isSpace(static_cast<unsigned char>(piece.front())));
  FUZZ_CHECK(!isSpace(static_cast<unsigned char>(piece.back())));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string delimiter = input.ConsumeRandomLengthString(8);
  const std::string text = input.ConsumeRemainingBytesAsString();

  // Trim: the text is whitespace, the result, whitespace; the result has none at its edges.
  const std::string trimmed = xstrTrim(text);
  checkTrimmed(trimmed);
  const size_t lead = text.find(trimmed);
  FUZZ_CHECK(lead != std::string::npos);
  for (size_t i = 0; i < text.size(); ++i)
    if (i < lead || i >= lead + trimmed.size())
      FUZZ_CHECK(isSpace(static_cast<unsigned char>(text[i])));
  FUZZ_CHECK(xstrTrim(trimmed) == trimmed);

  const std::vector<std::string> pieces = xstrSplit(text, delimiter);
  if (delimiter.empty()) {
    // Must return at all (a loop would time out) and give the one trimmed piece.
    FUZZ_CHECK(pieces.size() == 1 && pieces[0] == trimmed);
    return 0;
  }
  FUZZ_CHECK(pieces.size() == countOccurrences(text, delimiter) + 1);
  size_t total = 0;
  for (const std::string& piece : pieces) {
    checkTrimmed(piece);
    total += piece.size();
  }
  FUZZ_CHECK(total <= text.size());

  bool delimiterHasSpace = false;
  for (char c : delimiter)
    delimiterHasSpace |= isSpace(static_cast<unsigned char>(c));
  if (!delimiterHasSpace) {
    std::string joined;
    for (const std::string& piece : pieces)
      joined += piece;
    FUZZ_CHECK(joined == removeDelimiters(text, delimiter));
  }
  // Every piece stands in the text in order, with a delimiter between neighbours.
  size_t from = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const size_t at = text.find(pieces[i], from);
    FUZZ_CHECK(at != std::string::npos);
    from = at + pieces[i].size();
    if (i + 1 < pieces.size()) {
      const size_t next = text.find(delimiter, from);
      FUZZ_CHECK(next != std::string::npos);
      from = next + delimiter.size();
    }
  }
  return 0;
}
