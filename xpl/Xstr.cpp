#include "xpl/Xstr.h"

#include <cstdlib>
#include <cstring>

namespace {
// Own ASCII rules instead of <cctype>: the same answers as the C and UTF-8 locales give,
// without a locale lookup per byte and without the undefined behaviour of passing a
// negative char to tolower.
inline int lowerAscii(int c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }
inline int upperAscii(int c) { return c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c; }
inline bool isSpaceAscii(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The case-insensitive walk every NoCase test and comparison shares: the difference at the
// first position whose lowered signed bytes differ (a string that ends first differs there,
// NUL against a byte), or 0 when both end or the limit is reached first.
int caseWalk(const char* a, const char* b, std::size_t limit) {
  for (std::size_t i = 0; i < limit; ++i) {
    const int ca = lowerAscii(static_cast<signed char>(a[i]));
    const int cb = lowerAscii(static_cast<signed char>(b[i]));
    if (ca != cb)
      return ca - cb;
    if (ca == 0)
      return 0;
  }
  return 0;
}

constexpr std::size_t XSTR_NO_LIMIT = static_cast<std::size_t>(-1);
} // namespace

std::string xstrWideCharToUtf8(XstrWchar unit) {
  const XstrWchar text[2] = {unit, 0};
  return xstrWideToUtf8(text);
}

bool xstrContains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool xstrContainsNoCase(const std::string& text, const std::string& part) {
  return xstrContains(xstrToLower(text), xstrToLower(part));
}

bool xstrStartsWith(const std::string& text, const std::string& prefix) {
  return std::strncmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

bool xstrStartsWithNoCase(const std::string& text, const std::string& prefix) {
  return caseWalk(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

bool xstrEndsWith(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size())
    return false;
  return std::strcmp(text.c_str() + (text.size() - suffix.size()), suffix.c_str()) == 0;
}

bool xstrEndsWithNoCase(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size())
    return false;
  return caseWalk(text.c_str() + (text.size() - suffix.size()), suffix.c_str(), XSTR_NO_LIMIT) == 0;
}

bool xstrEqualsNoCase(const std::string& a, const std::string& b) {
  return caseWalk(a.c_str(), b.c_str(), XSTR_NO_LIMIT) == 0;
}

int xstrCaseCmp(const char* a, const char* b) { return caseWalk(a, b, XSTR_NO_LIMIT); }

int xstrNCaseCmp(const char* a, const char* b, std::size_t n) { return caseWalk(a, b, n); }

std::string xstrToLower(const std::string& text) {
  std::string result(text);
  for (char& c : result)
    c = static_cast<char>(lowerAscii(static_cast<unsigned char>(c)));
  return result;
}

std::string xstrToUpper(const std::string& text) {
  std::string result(text);
  for (char& c : result)
    c = static_cast<char>(upperAscii(static_cast<unsigned char>(c)));
  return result;
}

namespace {
std::string trimRange(const std::string& text, std::size_t begin, std::size_t end) {
  while (begin < end && isSpaceAscii(static_cast<unsigned char>(text[begin])))
    ++begin;
  while (end > begin && isSpaceAscii(static_cast<unsigned char>(text[end - 1])))
    --end;
  return text.substr(begin, end - begin);
}
} // namespace

std::string xstrTrim(const std::string& text) { return trimRange(text, 0, text.size()); }

std::vector<std::string> xstrSplit(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) {
    pieces.push_back(xstrTrim(text));
    return pieces;
  }
  std::size_t position = 0;
  for (;;) {
    const std::size_t found = text.find(delimiter, position);
    if (found == std::string::npos) {
      pieces.push_back(trimRange(text, position, text.size()));
      return pieces;
    }
    pieces.push_back(trimRange(text, position, found));
    position = found + delimiter.size();
  }
}

std::string xstrFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string result = xstrVformat(format, args);
  va_end(args);
  return result;
}

int xstrSnprintf(char* buffer, std::size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = xstrVsnprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

char* xstrCopy(char* destination, const char* source) { return std::strcpy(destination, source); }

char* xstrNCopy(char* destination, const char* source, std::size_t n) {
  return std::strncpy(destination, source, n);
}

char* xstrDup(const char* source) {
  const std::size_t size = std::strlen(source) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy != nullptr)
    std::memcpy(copy, source, size);
  return copy;
}
