// The library's own log line:
//   <date time>.<ms><zone> <pid> <tid> <module> <tag> <letter>: [file ][function ][line | ]message\n
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

#include <cstdarg>
#include <algorithm>
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
    n += decimal(number + n, negative ? 0ull - static_cast<uint64_t>(pid) : static_cast<uint64_t>(pid));
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
    return static_cast<size_t>(std::max(0, xstrSnprintf(out, 128, "%s.%03d%s", date.text, ms, xlogZoneSuffix.c_str())));
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
    va_list args;
    va_start(args, format);
    const int n =
        xstrVsnprintf(buffer + length, static_cast<size_t>(LINE_ROOM - length), format, args);
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
