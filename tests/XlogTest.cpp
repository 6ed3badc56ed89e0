// The logging library: the call-site macros and the logger hand-over, level specifications,
// the library's own line, its log file with rotation, threads sharing one file, and the
// fatal check.
#include "xpl/Xlog.h"
#include "tests/support/CaptureLogger.h"
#include "tests/support/Files.h"
#include "xpl/Xerr.h"
#include "xpl/Xfile.h"
#include "xpl/XlogInternal.h"
#include "xpl/XplOs.h"
#include "xpl/Xstr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#define setenv(name, value, overwrite) _putenv_s(name, value)
#define tzset _tzset
#endif

using testsupport::CaptureLogger;
using testsupport::readFile;
using testsupport::writeFile;

namespace {
constexpr XlogModuleId xlogModuleId = XLOG_MODULE_VMMGR;
const std::string SOURCE = std::string("tests") + XPL_PATH_SEPARATOR + "XlogTest.cpp";
const char SEPARATOR[] = {XPL_PATH_SEPARATOR, '\0'};

int evaluations = 0;
int counted() { return ++evaluations; }
void logFromHere() { XLOG_D("value %d", counted()); }
constexpr int LOG_LINE = __LINE__ - 1;
void fatalFromHere() { XLOG_FATAL(); }
constexpr int FATAL_LINE = __LINE__ - 1;

// What the capture logger received: level letter, module, function and text per line.
std::string captured() {
  std::string out;
  for (const auto& l : CaptureLogger::lines())
    out += xstrFormat("%s %d %s: %s\n", xlogLevelLetters[l.level], l.moduleId, l.function.c_str(),
                      l.text.c_str());
  return out;
}

// Checks the time field that starts a line ("2026-12-04 23:18:51.042" and the zone text)
// and gives the rest of the line.
std::string afterTime(const std::string& line) {
  const size_t n = 23 + xlogZoneSuffix.size();
  std::string shape = line.substr(0, 23);
  for (char& c : shape)
    c = c >= '0' && c <= '9' ? '9' : c;
  EXPECT_EQ(shape + line.substr(std::min(line.size(), size_t{23}), n - 23),
            "9999-99-99 99:99:99.999" + xlogZoneSuffix);
  return line.size() > n ? line.substr(n) : "";
}

// The lines of a text, each with its time field checked and taken off.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  for (size_t start = 0, nl = 0; start < text.size(); start = nl + 1) {
    nl = text.find('\n', start);
    out.push_back(afterTime(text.substr(start, nl - start + 1)));
  }
  return out;
}

// The header after the time field, as the documented format builds it.
std::string head(int level = XLOG_INFO, int moduleId = XLOG_MODULE_VMMGR, const char* tag = "") {
  return xstrFormat(" %-5d %-5s %-6s %s %-1s: ", xplProcessId(),
                    std::to_string(xplThreadId()).c_str(), xlogModules[moduleId].name, tag,
                    xlogLevelLetters[level]);
}

int put(const std::string& text, int level = XLOG_INFO, int moduleId = XLOG_MODULE_VMMGR,
        const char* file = "f") {
  return xlogDefaultLog(level, moduleId, file, "fn", 12, "%s", text.c_str());
}

// The library's own lines go to a fresh log file for each test.
class XlogFile : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_EQ(xerrLibInit(), XERR_SUCCESS); }
  void SetUp() override { open(log); }
  void TearDown() override { open(""); }
  static void open(const std::string& path) { ASSERT_EQ(xlogLibInit(nullptr, path, ""), 0); }

  testsupport::TempDir dir{"xlog"};
  const std::string log = dir.at("module.log");
};

} // namespace

TEST(XlogCallSite, AsksOnceAndEvaluatesArgumentsOnlyWhenEnabled) {
  for (int maxLevel : {XLOG_INFO, XLOG_DEBUG}) {
    CaptureLogger::install(maxLevel);
    evaluations = 0;
    logFromHere();
    const auto queries = CaptureLogger::queries();
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].moduleId * 10 + queries[0].level, 273); // VMMGR, debug
    EXPECT_EQ(evaluations, maxLevel == XLOG_DEBUG ? 1 : 0);
    EXPECT_EQ(captured(), maxLevel == XLOG_DEBUG ? "D 27 logFromHere: value 1\n" : "");
  }
  EXPECT_EQ(CaptureLogger::lines()[0].file + ":" + std::to_string(CaptureLogger::lines()[0].line),
            SOURCE + ":" + std::to_string(LOG_LINE));
}

TEST(XlogLogger, InstalledLoggerIsCopiedAnnouncedAndAskedAtEveryLevel) {
  XlogLogger* const current = xlogGetLogger();
  CaptureLogger::install(XLOG_DEBUG);
  XlogLogger mine = CaptureLogger::table;
  ASSERT_EQ(xlogLibInit(&mine, "", "*:I"), 0);
  mine = XlogLogger{}; // the caller's table is not referred to afterwards
  EXPECT_EQ(xlogGetLogger(), current);
  EXPECT_EQ(xlogSetLevels("*:E"), 0);
  // Whatever the module levels say, only the installed logger knows what it wants.
  EXPECT_TRUE(xlogMayBeEnabled(XLOG_MODULE_COUNT - 1, XLOG_VERBOSE));
  EXPECT_EQ(captured(), "D 34 xlogLibInit: xlog inited using logger\n"
                        "D 34 xlogSetLevels: Change log levels with: *:E\n");
}

TEST(XlogLevels, SpecificationsSetTheLevelsTheyName) {
  std::string names;
  for (const XlogModuleEntry& entry : xlogModules)
    names += std::string(entry.name) + " ";
  EXPECT_EQ(names, "AGA APPC AUD BRIDGE CAM CLD CONF CSM DCRD GCALL GR GRM HCALL HST IMAP IMGD "
                   "INP IPC KMM MIM MNS PGA PGAIPC PLR SER UI UTL VMMGR VMSG WERH XCOND XFILE "
                   "XLIB XLOCK XLOG XMEM XMUTEX XPROC XSOCK XSTR XTHR XTIME XTIMER ");
  ASSERT_EQ(xlogLibInit(nullptr, "", "*:E"), 0); // the defaults, whatever is asked
  // Each case starts from the levels the one before it left; the first sees the defaults.
  struct Case {
    const char* spec;
    int result, all, module, moduleLevel;
  } cases[] = {{"", 22, 2, 35, 3},           {"XMEM:D *:I", 0, 2, 0, 2},
               {"*:W VMMGR:V", 0, 1, 27, 4}, {"*:W XMEM:Debug", 0, 1, 35, 3},
               {"\t*:E\t", 0, 0, 0, 0},      {"XMEM\t:\tD", 0, 0, 35, 3},
               {"*:I  XMEM:D", 22, 2, 0, 2}, {"XMEM:D ", 22, 2, 35, 3},
               {" *:V", 22, 2, 35, 3},       {"*:W xmem:D FOO:D XME:D XMEMX:D :D", 0, 1, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    EXPECT_EQ(xlogSetLevels(c.spec), c.result);
    for (int m = 0; m < XLOG_MODULE_COUNT; ++m) {
      const int level = m == c.module ? c.moduleLevel : c.all;
      EXPECT_EQ(xlogModules[m].level, level) << m;
      EXPECT_TRUE(xlogDefaultIsEnabled(m, level) && xlogMayBeEnabled(m, level)) << m;
      EXPECT_FALSE(xlogDefaultIsEnabled(m, level + 1) || xlogMayBeEnabled(m, level + 1)) << m;
    }
  }
  // Malformed items change nothing.
  for (const char* spec : {"XMEM:d", "XMEM:3", "XMEM:", "XMEM", "A:B:C", "*:x"})
    EXPECT_EQ(xlogSetLevels(spec), 22) << spec;
  for (const XlogModuleEntry& entry : xlogModules)
    EXPECT_EQ(entry.level, XLOG_WARNING) << entry.name;
}

TEST(XlogTime, ZoneTextIsTheSignedOffsetFromUtc) {
  const std::string saved = std::getenv("TZ") ? std::getenv("TZ") : "";
  const char* zones[][2] = {
      {"UTC0", "-0000"}, {"CET-1", "+0100"}, {"IST-5:30", "+0530"}, {"EST5", "-0500"}};
  for (const auto& z : zones) {
    setenv("TZ", z[0], 1);
    tzset();
    EXPECT_EQ(xlogZoneText(), z[1]) << z[0];
  }
  setenv("TZ", saved.c_str(), 1); // an empty TZ is UTC, as is this machine's local time
  tzset();
}

TEST_F(XlogFile, LinesHaveTheHeaderColumnsAndEndInOneNewline) {
  const char* const path = XPL_PATH_SEPARATOR == '/' ? "src/Xfoo" : "src\\Xfoo";
  const struct {
    int level, moduleId;
    const char* tag;
    int fields; // file, function, line: 4, 2, 1
    const char *file, *message, *tail;
  } cases[] = {{XLOG_INFO, 27, "", 0, "f", "hello 42", "hello 42\n"},
               {XLOG_WARNING, 27, "", 0, "f", "ends with newline\n", "ends with newline\n"},
               {XLOG_ERROR, 22, "", 0, "f", "", "\n"},
               {XLOG_VERBOSE, XLOG_MODULE_XMEM, "TAG", 0, "f", "m", "m\n"},
               {XLOG_INFO, 27, "", 7, path, "msg", "Xfoo fn 12 | msg\n"},
               {XLOG_INFO, 27, "", 5, "nodir", "msg", "nodir 12 | msg\n"},
               {XLOG_DEBUG, 27, "", 2, path, "msg", "fn msg\n"}};
  for (const auto& c : cases) {
    xlogSetTag(c.tag);
    xlogSetSourceFields(c.fields & 4, c.fields & 2, c.fields & 1);
    EXPECT_GT(put(c.message, c.level, c.moduleId, c.file), 0);
    EXPECT_EQ(lines(readFile(log)).back(), head(c.level, c.moduleId, c.tag) + c.tail);
  }
  xlogSetSourceFields(false, false, false);
  EXPECT_NE(readFile(log).find(" PGAIPC  E: \n"), std::string::npos); // fills its column
  // The conversions the line formats itself, against the C runtime's formatter.
#define CONVERSIONS                                                                                \
  "%d|%-5i|%05d|%u|%x|%08X|%lu|%lld|%zu|%c|%%|%s|%-4s|%3s", -42, 7, -3, 4000000000u, 0xbeefu,      \
      0xabcu, 123456789ul, -1234567890123ll, size_t{77}, 'q', "text", "ab", "abcd"
  xlogDefaultLog(XLOG_INFO, 27, "f", "fn", 12, CONVERSIONS);
  EXPECT_EQ(lines(readFile(log)).back(), head() + xstrFormat(CONVERSIONS) + "\n");
}

TEST_F(XlogFile, LongLinesAreCutAt4093BytesAndANewline) {
  const size_t room = 4093 - 23 - xlogZoneSuffix.size() - head().size();
  put(std::string(5000, 'x'));
  // A newline as the last byte kept, and one just past it: neither line runs into the next.
  put(std::string(room - 1, '.') + "\nafter");
  put(std::string(room, '.') + "\nafter");
  xlogSetTag(std::string(5000, 'T')); // the header alone fills the line
  put("never seen");
  xlogSetTag("");
  put("short");
  const std::vector<std::string> expected = {
      head() + std::string(room, 'x') + "\n", head() + std::string(room - 1, '.') + "\n",
      head() + std::string(room, '.') + "\n",
      head(XLOG_INFO, 27, std::string(5000, 'T').c_str()).substr(0, room + head().size()) + "\n",
      head() + "short\n"};
  EXPECT_EQ(lines(readFile(log)), expected);
}

TEST_F(XlogFile, AppendsAndRotatesAtTenMebibytesIntoDotOneAndDotTwo) {
  struct Case {
    size_t size;
    bool backups, blocked, rotates;
  } cases[] = {{10485759, false, false, false},
               {10485760, false, false, true},
               {10485760, true, false, true},
               {10485760, false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.backups << c.blocked);
    const std::string log = dir.at(std::to_string(c.size + c.backups + 2 * c.blocked));
    const std::string one = log + ".1", two = log + ".2";
    writeFile(log, std::string(c.size, 'o'));
    for (const std::string& backup : {one, two}) {
      if (c.blocked) { // a directory with a file in it: no move can replace it
        ASSERT_EQ(xfileMkdir(backup, 0), XERR_SUCCESS);
        writeFile(backup + SEPARATOR + "keep", "keep");
      } else if (c.backups) {
        writeFile(backup, backup == one ? "previous\n" : "oldest\n");
      }
    }
    open(log);
    put("new");
    open("");
    const std::string text = readFile(log);
    const size_t kept = c.rotates ? 0 : c.size;
    EXPECT_EQ(text.find_first_not_of('o'), kept);
    EXPECT_EQ(lines(text.substr(kept)), std::vector<std::string>{head() + "new\n"});
    EXPECT_EQ(testsupport::fileExists(one), c.rotates || c.blocked);
    if (c.rotates) {
      EXPECT_EQ(readFile(one).size(), c.size);
    }
    EXPECT_EQ(readFile(c.blocked ? two + SEPARATOR + "keep" : two), c.blocked   ? "keep"
                                                                    : c.backups ? "previous\n"
                                                                                : "<missing>");
  }
}

TEST_F(XlogFile, FailedOpensAndWritesLoseOnlyTheirLinesAndFoldersAreCreated) {
  writeFile(dir.at("plain-file"), "x");
  const int err = xlogLibInit(nullptr, dir.at("plain-file") + SEPARATOR + "x.log", "");
  EXPECT_TRUE(err == XERR_NOENT || err == XERR_NOTDIR) << xerrToString(err);
  EXPECT_EQ(put("lost"), 0);
#if !defined(_WIN32)
  open("/dev/full");
  EXPECT_EQ(put("nowhere to go"), 0);
#endif
  open(dir.at("new") + SEPARATOR + "x.log"); // the folder is created
  EXPECT_GT(put("written"), 0);
  EXPECT_EQ(lines(readFile(dir.at("new") + SEPARATOR + "x.log")),
            std::vector<std::string>{head() + "written\n"});
}

// Lines of several threads land whole, each thread's in its order. Wine does not append atomically
// from concurrent writers.
TEST_F(XlogFile, ThreadsLoseNoLineAndInterleaveNone) {
  if (testsupport::underWine())
    GTEST_SKIP() << "Wine does not append atomically from concurrent writers";
  constexpr int threads = 4, perThread = 10000;
  const std::string dots(200, '.');
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([t, &dots] {
      for (int i = 0; i < perThread; ++i)
        xlogDefaultLog(XLOG_INFO, 27, "f", "fn", 1, "T%d L%d %.*s|", t, i, i % 200, dots.c_str());
    });
  for (auto& th : pool)
    th.join();
  std::vector<int> next(threads, 0);
  const auto all = lines(readFile(log));
  for (const std::string& line : all) {
    const size_t at = line.find(" I: T") + 4;
    int t = -1, i = -1;
    ASSERT_EQ(xstrSscanf(line.c_str() + at, "T%d L%d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < threads && i == next[t]++) << line;
    EXPECT_EQ(line.substr(at), xstrFormat("T%d L%d %.*s|\n", t, i, i % 200, dots.c_str()));
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(threads * perThread));
}

// The fatal line reaches standard output even when that is a file, before the break ends
// the process.
TEST(XlogFatalDeathTest, WritesTheFatalLineOutThenBreaks) {
  const char* const out = "xlog-fatal-stdout.txt";
  std::remove(out);
  EXPECT_DEATH(
      {
        if (!std::freopen(out, "w", stdout) || xlogLibInit(nullptr, "", "") != 0)
          std::exit(0);
        fatalFromHere();
      },
      "");
  const auto fatal = lines(readFile(out));
  std::remove(out);
  ASSERT_EQ(fatal.size(), 1u);
  // The dead process had process and thread ids of its own.
  EXPECT_EQ(fatal[0].substr(fatal[0].find(" VMMGR ")),
            xstrFormat(" VMMGR   E: FATAL: DEBUG BREAK: %s:%d fatalFromHere()\n", SOURCE.c_str(),
                       FATAL_LINE));
}
