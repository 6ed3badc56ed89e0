// The library's own log line:
//   <date time>.<ms><zone> <pid> <tid> <module> <tag> <letter>: [file ][function ][line |
//   ]message\n
// built in a 4096-byte buffer that belongs to the call, and handed out in one piece.
//
// What a line costs is mostly what does not change between lines: the date-time text
// changes once a second, the process id only across a fork, a thread's id never. Each
// thread keeps those pieces and rebuilds them only when they change, so a line costs one
// clock read, one formatting pass over the message and one output call, and its bytes are
// exactly those of formatting every piece anew.
#include "xpl/Xlog.h"

#include "xpl/XlogInternal.h"
#include "xpl/Xpl.h"
#include "xpl/XplOs.h"
#include "xpl/Xstr.h"
#include "xpl/Xtime.h"
#include "xpl/XtimeOs.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace {

constexpr int LINE_BUFFER = 4096;
constexpr int LINE_ROOM = 4094; // text, then at least two zero bytes
constexpr int64_t US_PER_SECOND = 1000000;

std::string xlogTag;
bool showFile = false;
bool showFunction = false;
bool showLine = false;

// Appends s left-aligned in a column of at least width characters; never cuts.
char* appendColumn(char* out, const char* s, size_t length, size_t width) {
  std::memcpy(out, s, length);
  out += length;
  for (size_t i = length; i < width; ++i)
    *out++ = ' ';
  return out;
}

size_t decimal(char* out, uint64_t value) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  for (size_t i = 0; i < n; ++i)
    out[i] = digits[n - 1 - i];
  return n;
}

char* fill(char* out, char c, size_t count) {
  for (size_t i = 0; i < count; ++i)
    *out++ = c;
  return out;
}

// The message with the conversions the module's messages use (%s %c %d %i %u %x %X %%, the
// '-' and '0' flags, a width, l and ll), straight into the line: the C runtime's
// formatter costs more than the rest of the line together. The text is the one printf
// gives. Anything else (a precision, %p, %ls, a null string) and a message that does not
// fit the room give -1, and the caller formats the message with the C runtime's formatter.
int formatMessage(char* out, size_t room, const char* format, va_list args) {
  char* p = out;
  char* const end = out + room - 1; // the terminating zero's place
  for (const char* f = format; *f; ++f) {
    if (*f != '%') {
      const char* const next = std::strchr(f, '%');
      const size_t run = next ? static_cast<size_t>(next - f) : std::strlen(f);
      if (static_cast<size_t>(end - p) < run)
        return -1;
      std::memcpy(p, f, run);
      p += run;
      f += run - 1;
      continue;
    }
    bool left = false, zero = false;
    for (;; ++f) {
      if (f[1] == '-')
        left = true;
      else if (f[1] == '0')
        zero = true;
      else
        break;
    }
    size_t width = 0;
    while (*++f >= '0' && *f <= '9')
      width = width * 10 + static_cast<size_t>(*f - '0');
    int longs = 0;
    for (; *f == 'l'; ++f)
      ++longs;
    char digits[24];
    const char* text = digits;
    size_t length = 0;
    bool negative = false;
    if ((*f == 's' || *f == 'c' || *f == '%') && (longs || zero))
      return -1;
    switch (*f) {
    case 's':
      text = va_arg(args, const char*);
      if (!text)
        return -1;
      length = std::strlen(text);
      break;
    case 'c':
      digits[length++] = static_cast<char>(va_arg(args, int));
      break;
    case '%':
      if (left || width)
        return -1;
      digits[length++] = '%';
      break;
    case 'd':
    case 'i': {
      const long long value = longs == 0   ? va_arg(args, int)
                              : longs == 1 ? va_arg(args, long)
                                           : va_arg(args, long long);
      negative = value < 0;
      length = decimal(digits, negative ? 0ull - static_cast<unsigned long long>(value)
                                        : static_cast<unsigned long long>(value));
      break;
    }
    case 'u':
    case 'x':
    case 'X': {
      unsigned long long value = longs == 0   ? va_arg(args, unsigned)
                                 : longs == 1 ? va_arg(args, unsigned long)
                                              : va_arg(args, unsigned long long);
      if (*f == 'u') {
        length = decimal(digits, value);
        break;
      }
      const char* const hex = *f == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
      char reversed[16];
      do {
        reversed[length++] = hex[value & 15];
        value >>= 4;
      } while (value);
      for (size_t i = 0; i < length; ++i)
        digits[i] = reversed[length - 1 - i];
      break;
    }
    default:
      return -1;
    }
    if (longs > 2)
      return -1;
    const size_t body = length + negative;
    const size_t pad = width > body ? width - body : 0;
    if (static_cast<size_t>(end - p) < body + pad)
      return -1;
    if (!left && !zero)
      p = fill(p, ' ', pad);
    if (negative)
      *p++ = '-';
    if (!left && zero)
      p = fill(p, '0', pad);
    std::memcpy(p, text, length);
    p = fill(p + length, ' ', left ? pad : 0);
  }
  *p = '\0';
  return static_cast<int>(p - out);
}

// "<pid padded to 5> <tid padded to 5> ": fixed for a thread until the process forks.
struct ThreadColumns {
  int pid = 0;
  char text[64];
  size_t length = 0;
};

const ThreadColumns& threadColumns() {
  thread_local ThreadColumns columns;
  const int pid = xplProcessId();
  if (columns.pid != pid || columns.length == 0) {
    char number[24];
    char* out = columns.text;
    const bool negative = pid < 0;
    size_t n = 0;
    if (negative)
      number[n++] = '-';
    n += decimal(number + n,
                 negative ? 0ull - static_cast<uint64_t>(pid) : static_cast<uint64_t>(pid));
    out = appendColumn(out, number, n, 5);
    *out++ = ' ';
    n = decimal(number, xplThreadId());
    out = appendColumn(out, number, n, 5);
    *out++ = ' ';
    columns.length = static_cast<size_t>(out - columns.text);
    columns.pid = pid;
  }
  return columns;
}

// The "%Y-%m-%d %H:%M:%S" text of the current second.
struct SecondText {
  int64_t second = INT64_MIN;
  char text[128];
  size_t length = 0;
};

const SecondText& secondText(int64_t now) {
  thread_local SecondText cached;
  const int64_t second = now / US_PER_SECOND;
  if (second != cached.second) {
    xtimeFormat(cached.text, sizeof cached.text, "%Y-%m-%d %H:%M:%S", now);
    cached.length = std::strlen(cached.text);
    cached.second = second;
  }
  return cached;
}

} // namespace

size_t xlogTimeField(char* out, int64_t now) {
  const SecondText& date = secondText(now);
  const int ms = static_cast<int>((now % US_PER_SECOND) / 1000);
  // Beyond the caller's 128 bytes the field would be cut; only an absurd zone text gets there.
  if (date.length + 4 + xlogZoneSuffix.size() >= 128)
    return static_cast<size_t>(
        std::max(0, xstrSnprintf(out, 128, "%s.%03d%s", date.text, ms, xlogZoneSuffix.c_str())));
  std::memcpy(out, date.text, date.length);
  char* p = out + date.length;
  *p++ = '.';
  *p++ = static_cast<char>('0' + ms / 100);
  *p++ = static_cast<char>('0' + ms / 10 % 10);
  *p++ = static_cast<char>('0' + ms % 10);
  std::memcpy(p, xlogZoneSuffix.data(), xlogZoneSuffix.size());
  p += xlogZoneSuffix.size();
  *p = '\0';
  return static_cast<size_t>(p - out);
}

namespace {

// Appends with the bounded rule; a piece that does not fit fills the room.
int appendBounded(char* line, int length, const char* format, ...) {
  if (length >= LINE_ROOM)
    return LINE_ROOM;
  va_list args;
  va_start(args, format);
  const int n = xstrVsnprintf(line + length, static_cast<size_t>(LINE_ROOM - length), format, args);
  va_end(args);
  return n < 0 ? LINE_ROOM : length + n;
}

} // namespace

int xlogTimestamp(char* buffer, int size) {
  char field[128];
  const size_t length = xlogTimeField(field, xtimeNowUs());
  return xstrSnprintf(buffer, size < 0 ? 0 : static_cast<size_t>(size), "%s", field) < 0
             ? -1
             : static_cast<int>(length);
}

void xlogSetTag(const std::string& tag) { xlogTag = tag; }

void xlogSetSourceFields(bool file, bool function, bool line) {
  showFile = file;
  showFunction = function;
  showLine = line;
}

int xlogDefaultLog(int level, int moduleId, const char* file, const char* function, int line,
                   const char* format, ...) {
  char buffer[LINE_BUFFER];
  // Every piece below is written with its terminator; the two bytes past the room stay zero
  // so that a cut line still ends there.
  buffer[LINE_ROOM] = '\0';
  buffer[LINE_ROOM + 1] = '\0';

  // Header: time, pid, tid, module, tag, level letter.
  char field[128];
  // The clock with its zone conversion kept per thread for the current second: daylight
  // saving changes on a second boundary, so the value is xtimeNowUs()'s, minus the
  // process-wide lock of the C runtime's local-time conversion.
  const size_t timeLength = xlogTimeField(field, xtimeNowUsCached());
  const ThreadColumns& columns = threadColumns();
  const char* module = xlogModules[moduleId].name;
  const size_t moduleLength = std::strlen(module);
  const char* letter = xlogLevelLetters[level];
  // The tag is printed as text: a zero byte inside it ends it, as "%s" would end it. Copied
  // whole, the zero would end the line there, before its level letter and newline.
  const size_t tagLength = std::strlen(xlogTag.c_str());
  int length;
  if (timeLength + 1 + columns.length + 7 + moduleLength + tagLength + 4 < LINE_ROOM) {
    char* out = buffer;
    std::memcpy(out, field, timeLength);
    out += timeLength;
    *out++ = ' ';
    std::memcpy(out, columns.text, columns.length);
    out += columns.length;
    out = appendColumn(out, module, moduleLength, 6);
    *out++ = ' ';
    std::memcpy(out, xlogTag.data(), tagLength);
    out += tagLength;
    *out++ = ' ';
    *out++ = letter[0];
    *out++ = ':';
    *out++ = ' ';
    *out = '\0';
    length = static_cast<int>(out - buffer);
  } else {
    // Only a tag of thousands of bytes gets here: the same text, bounded.
    char pid[16], tid[24];
    pid[decimal(pid, static_cast<uint64_t>(xplProcessId()))] = '\0';
    tid[decimal(tid, xplThreadId())] = '\0';
    length = appendBounded(buffer, 0, "%s %-5s %-5s %-6s %s %-1s: ", field, pid, tid, module,
                           xlogTag.c_str(), letter);
  }

  if (showFile) {
    const char* name = std::strrchr(file, XPL_PATH_SEPARATOR);
    length = appendBounded(buffer, length, "%s ", name ? name + 1 : file);
  }
  if (showFunction)
    length = appendBounded(buffer, length, "%s ", function);
  if (showLine)
    length = appendBounded(buffer, length, "%d | ", line);

  if (length < LINE_ROOM) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const size_t room = static_cast<size_t>(LINE_ROOM - length);
    int n = formatMessage(buffer + length, room, format, args);
    if (n < 0)
      n = xstrVsnprintf(buffer + length, room, format, again);
    va_end(again);
    va_end(args);
    length = n < 0 || length + n >= LINE_ROOM ? LINE_ROOM - 1 : length + n;
  } else {
    length = LINE_ROOM - 1;
  }
  // A cut line keeps its first 4093 bytes. The bounded writes filled the room to its last
  // byte, so without this a cut whose last kept byte is a newline would hand out 4094 bytes
  // ending in whatever text came next, and the following line would run on from it.
  buffer[length] = '\0';

  if (buffer[length - 1] != '\n') {
    buffer[length] = '\n';
    buffer[length + 1] = '\0';
  }
  // The line is the text up to its first zero byte (a message may hold one).
  return xlogWriteLine(buffer, std::strlen(buffer));
}
