// The library's own log line, written to a log file and read back call by call: whatever
// the message, tag and source fields, a line is at most 4094 bytes, ends with a newline and
// gets none added to a message that already ends with one. The expected line is built here
// from its pieces; only the clock's digits are taken from the line itself.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xlog.h"
#include "xpl/XlogInternal.h"
#include "xpl/XplOs.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t lineMax = 4094;

std::string logPath;
long logOffset = 0;

void setUp() {
  char dir[] = "/tmp/loglinefuzz.XXXXXX";
  FUZZ_CHECK(mkdtemp(dir) != nullptr);
  logPath = std::string(dir) + "/fuzz.log";
  FUZZ_CHECK(xlogLibInit(nullptr, logPath, "") == 0);
}

// What the last call appended to the log file.
std::string appended() {
  FILE* f = std::fopen(logPath.c_str(), "rb");
  FUZZ_CHECK(f != nullptr);
  std::fseek(f, logOffset, SEEK_SET);
  std::string out;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    out.append(chunk, n);
  std::fclose(f);
  logOffset += static_cast<long>(out.size());
  // The file is opened for appending, so cutting it back keeps later writes at its start.
  if (logOffset > (1L << 20)) {
    FUZZ_CHECK(truncate(logPath.c_str(), 0) == 0);
    logOffset = 0;
  }
  return out;
}

std::string column(const std::string& s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

std::string cstr(const std::string& s) { return std::string(s.c_str()); }

// Printed before a broken property, so the report shows the line itself.
void show(const char* what, const std::string& s) {
  std::fprintf(stderr, "%s (%zu bytes): \"", what, s.size());
  for (unsigned char c : s)
    std::fprintf(stderr, c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
  std::fprintf(stderr, "\"\n");
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (setUp(), true);
  (void)ready;
  FuzzedDataProvider input(data, size);
  const int level = input.ConsumeIntegralInRange<int>(0, 4);
  const int moduleId = input.ConsumeIntegralInRange<int>(0, XLOG_MODULE_COUNT - 1);
  const bool showFile = input.ConsumeBool(), showFunction = input.ConsumeBool(),
             showLine = input.ConsumeBool();
  const int line = input.ConsumeIntegral<int>();
  const int shape = input.ConsumeIntegralInRange<int>(0, 3);
  const bool aim = input.ConsumeBool();
  const size_t aimAt = input.ConsumeIntegralInRange<size_t>(4080, 4100);
  const size_t repeat = input.ConsumeIntegralInRange<size_t>(1, 300);
  // A tag is usually short; sometimes long enough to fill the line on its own.
  std::string tag = input.ConsumeRandomLengthString(24);
  if (input.ConsumeBool())
    tag = std::string(input.ConsumeIntegralInRange<size_t>(0, 4200), 't') + tag;
  const std::string file = cstr(input.ConsumeRandomLengthString(40));
  const std::string function = cstr(input.ConsumeRandomLengthString(24));
  const std::string second = cstr(input.ConsumeRandomLengthString(16));
  const std::string piece = cstr(input.ConsumeRemainingBytesAsString());

  xlogSetTag(tag);
  xlogSetSourceFields(showFile, showFunction, showLine);

  // The line up to the message, after the time field.
  const std::string head = " " + column(std::to_string(xplProcessId()), 5) + " " +
                           column(std::to_string(xplThreadId()), 5) + " " +
                           column(xlogModules[moduleId].name, 6) + " " + cstr(tag) + " " +
                           xlogLevelLetters[level] + ": ";
  std::string fields;
  if (showFile) {
    const size_t slash = file.rfind('/');
    fields += (slash == std::string::npos ? file : file.substr(slash + 1)) + " ";
  }
  if (showFunction)
    fields += function + " ";
  if (showLine)
    fields += std::to_string(line) + " | ";
  const size_t timeLength = 23 + xlogZoneSuffix.size();
  const size_t before = timeLength + head.size() + fields.size();

  // The message: the input's text repeated (0 to about 6000 bytes), or placed so that its
  // bytes fall around the place where a long line is cut.
  std::string arg;
  if (aim && before < aimAt)
    arg = std::string(aimAt - before, '.');
  for (size_t i = 0; i < repeat && arg.size() < 6000; ++i)
    arg += piece;
  if (arg.size() > 6000)
    arg.resize(6000);

  std::string message;
  switch (shape) {
  case 0:
    message = arg;
    xlogDefaultLog(level, moduleId, file.c_str(), function.c_str(), line, "%s", arg.c_str());
    break;
  case 1:
    message = arg + "\n";
    xlogDefaultLog(level, moduleId, file.c_str(), function.c_str(), line, "%s\n", arg.c_str());
    break;
  case 2:
    message = arg + second;
    xlogDefaultLog(level, moduleId, file.c_str(), function.c_str(), line, "%s%s", arg.c_str(),
                   second.c_str());
    break;
  default:
    message = "<" + second + "> " + arg;
    xlogDefaultLog(level, moduleId, file.c_str(), function.c_str(), line, "<%s> %s",
                   second.c_str(), arg.c_str());
    break;
  }
  const std::string got = appended();
  if (got.size() > lineMax || got.empty() || got.back() != '\n')
    show("line", got);

  FUZZ_CHECK(got.size() <= lineMax);
  FUZZ_CHECK(!got.empty() && got.back() == '\n');
  // The time field: "YYYY-MM-DD HH:MM:SS.mmm" and the zone text.
  FUZZ_CHECK(got.size() >= timeLength);
  for (size_t i = 0; i < 23; ++i) {
    const char c = got[i];
    if (i == 4 || i == 7)
      FUZZ_CHECK(c == '-');
    else if (i == 10)
      FUZZ_CHECK(c == ' ');
    else if (i == 13 || i == 16)
      FUZZ_CHECK(c == ':');
    else if (i == 19)
      FUZZ_CHECK(c == '.');
    else
      FUZZ_CHECK(isDigit(c));
  }
  FUZZ_CHECK(got.compare(23, xlogZoneSuffix.size(), xlogZoneSuffix) == 0);

  // A line that fits keeps everything; a longer one keeps its first 4093 bytes. Then a
  // newline, unless the kept text ends with one already.
  std::string expected = got.substr(0, timeLength) + head + fields + message;
  if (expected.size() >= lineMax)
    expected.resize(lineMax - 1);
  if (expected.back() != '\n')
    expected += '\n';
  if (got != expected) {
    show("line", got);
    show("expected", expected);
  }
  FUZZ_CHECK(got == expected);
  return 0;
}
