// Strings and encodings: UTF-8 everywhere, UTF-16 only at the Windows wide-character
// boundary, and the small byte-string operations the rest of the layer is built from.
//
// Case changes, case-insensitive comparisons and whitespace are ASCII only: A-Z/a-z change
// case, whitespace is 0x20 and 0x09-0x0D, and bytes 0x80-0xFF are neither, which is what the
// C and UTF-8 locales the module runs in give. No function keeps state, locks or logs.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

#if defined(__MINGW32__)
// ucrt's formatters take the C99 conversions (%zu, %lld), which gnu_printf checks.
#define XSTR_PRINTF_FORMAT(fmt, first) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, first)))
#define XSTR_SCANF_FORMAT(fmt, first) __attribute__((format(__MINGW_SCANF_FORMAT, fmt, first)))
#elif defined(__GNUC__)
#define XSTR_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#define XSTR_SCANF_FORMAT(fmt, first) __attribute__((format(scanf, fmt, first)))
#else
#define XSTR_PRINTF_FORMAT(fmt, first)
#define XSTR_SCANF_FORMAT(fmt, first)
#endif

/// One UTF-16 code unit. On Windows it is wchar_t, so a wide string goes to the W functions
/// as it is; elsewhere wchar_t is 32 bits wide and char16_t keeps the same 16-bit units.
#if defined(_WIN32)
using XstrWchar = wchar_t;
#else
using XstrWchar = char16_t;
#endif
static_assert(sizeof(XstrWchar) == 2, "wide strings hold UTF-16 code units");

/// A UTF-16 string; c_str() is what the platform's wide-character calls take.
using XstrWide = std::basic_string<XstrWchar>;

// Conversions. They never fail on malformed input: each ill-formed UTF-8 sequence and each
// lone surrogate becomes U+FFFD. Input ends at its first NUL byte or unit.
XstrWide xstrUtf8ToWide(const std::string& text);
XstrWide xstrUtf8ToWide(const char* text);
std::string xstrWideToUtf8(const XstrWide& text);
std::string xstrWideToUtf8(const XstrWchar* text);
/// One code unit: "" for 0, EF BF BD for a surrogate, else its UTF-8 form.
std::string xstrWideCharToUtf8(XstrWchar unit);

// Tests and comparisons.
/// Byte-exact search over the full lengths; an empty part is always found.
bool xstrContains(const std::string& text, const std::string& part);
bool xstrContainsNoCase(const std::string& text, const std::string& part);
/// strncmp of the C-string views over the length of prefix.
bool xstrStartsWith(const std::string& text, const std::string& prefix);
bool xstrStartsWithNoCase(const std::string& text, const std::string& prefix);
bool xstrEndsWith(const std::string& text, const std::string& suffix);
bool xstrEndsWithNoCase(const std::string& text, const std::string& suffix);
bool xstrEqualsNoCase(const std::string& a, const std::string& b);
/// At the first difference, lower(a[i]) - lower(b[i]) with each byte taken as signed char
/// (so 0x80 against 'a' is -225); 0 when equal.
int xstrCaseCmp(const char* a, const char* b);
/// As xstrCaseCmp, looking at no more than n bytes.
int xstrNCaseCmp(const char* a, const char* b, std::size_t n);

// Case, whitespace and splitting.
std::string xstrToLower(const std::string& text);
std::string xstrToUpper(const std::string& text);
std::string xstrTrim(const std::string& text);
/// The trimmed pieces between non-overlapping occurrences of delimiter, counted from the
/// left: always one piece more than there are occurrences, empty pieces included. An empty
/// delimiter would be found again and again at the same place, so it yields the whole
/// trimmed text as the one piece.
std::vector<std::string> xstrSplit(const std::string& text, const std::string& delimiter);

// Formatting and parsing. %ls writes a wide string in the process's multibyte encoding,
// UTF-8 once the start-up has set the locale.
/// The whole formatted text; an empty string when the formatter fails (an encoding error).
std::string xstrFormat(const char* format, ...) XSTR_PRINTF_FORMAT(1, 2);
std::string xstrVformat(const char* format, va_list args) XSTR_PRINTF_FORMAT(1, 0);
/// The Windows counted formatter's rules, on every target. With L the text's length:
/// L < count: text and NUL, returns L; L == count: the L bytes without NUL, returns L;
/// L > count: the first count bytes without NUL, returns -1; formatter failure: -1.
/// Allocates only on POSIX, when the text reaches a room of more than 4 KiB.
int xstrSnprintf(char* buffer, std::size_t count, const char* format, ...) XSTR_PRINTF_FORMAT(3, 4);
int xstrVsnprintf(char* buffer, std::size_t count, const char* format, va_list args)
    XSTR_PRINTF_FORMAT(3, 0);
/// The C library's sscanf: fields stored, or -1 when text ends before the first conversion.
int xstrSscanf(const char* text, const char* format, ...) XSTR_SCANF_FORMAT(2, 3);

// C strings.
char* xstrCopy(char* destination, const char* source);
/// strncpy: at most n bytes, NUL-padded; a source of n bytes or more leaves no terminator.
char* xstrNCopy(char* destination, const char* source, std::size_t n);
/// A malloc'ed copy for the caller to free, or null when the allocation fails.
char* xstrDup(const char* source);
