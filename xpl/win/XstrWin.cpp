// The Windows side of the string layer: the system's UTF-8 <-> UTF-16 converter and ucrt's
// counted formatter, whose rules the other targets reproduce.
#include "xpl/Xstr.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {
constexpr UINT XSTR_UTF8_CODE_PAGE = 65001;

// Measure, then write straight into a result of the right size: one allocation per result.
// The input's length is given without its NUL rather than as -1: Wine's converter reads the
// NUL into a four-byte sequence cut short at the end and then counts no terminator, which
// would leave the last unit in the terminator's slot. The result keeps what was written.
XstrWide toWide(const char* text) {
  const int length = static_cast<int>(std::strlen(text));
  const int units =
      length > 0 ? MultiByteToWideChar(XSTR_UTF8_CODE_PAGE, 0, text, length, nullptr, 0) : 0;
  if (units <= 0)
    return XstrWide();
  XstrWide result(static_cast<std::size_t>(units), L'\0');
  result.resize(static_cast<std::size_t>(
      std::max(0, MultiByteToWideChar(XSTR_UTF8_CODE_PAGE, 0, text, length, &result[0], units))));
  return result;
}

std::string toUtf8(const XstrWchar* text) {
  const int length = static_cast<int>(std::wcslen(text));
  const int bytes = length > 0 ? WideCharToMultiByte(XSTR_UTF8_CODE_PAGE, 0, text, length, nullptr,
                                                     0, nullptr, nullptr)
                               : 0;
  if (bytes <= 0)
    return std::string();
  std::string result(static_cast<std::size_t>(bytes), '\0');
  result.resize(static_cast<std::size_t>(
      std::max(0, WideCharToMultiByte(XSTR_UTF8_CODE_PAGE, 0, text, length, &result[0], bytes,
                                      nullptr, nullptr))));
  return result;
}
} // namespace

XstrWide xstrUtf8ToWide(const std::string& text) { return toWide(text.c_str()); }
XstrWide xstrUtf8ToWide(const char* text) { return toWide(text); }
std::string xstrWideToUtf8(const XstrWide& text) { return toUtf8(text.c_str()); }
std::string xstrWideToUtf8(const XstrWchar* text) { return toUtf8(text); }

std::string xstrVformat(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  // With no buffer and no room the counted formatter answers the length it needs.
  const int length = _vsnprintf(nullptr, 0, format, args);
  std::string result;
  if (length > 0) {
    result.assign(static_cast<std::size_t>(length), '\0');
    // Room equal to the length: the text fills the string and no NUL is written, the
    // string keeps its own.
    _vsnprintf(&result[0], result.size(), format, again);
  }
  va_end(again);
  return result;
}

int xstrVsnprintf(char* buffer, std::size_t count, const char* format, va_list args) {
  const int result = _vsnprintf(buffer, count, format, args);
  return result < 0 ? -1 : result;
}

int xstrSscanf(const char* text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  // ucrt's own scanner, not the mingw replacement the headers put in front of vsscanf.
  const int result = __stdio_common_vsscanf(_CRT_INTERNAL_LOCAL_SCANF_OPTIONS, text,
                                            static_cast<std::size_t>(-1), format, nullptr, args);
  va_end(args);
  return result;
}
