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

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using testsupport::CaptureLogger;
using testsupport::readFile;
using testsupport::writeFile;

namespace {
constexpr XlogModuleId xlogModuleId = XLOG_MODULE_VMMGR;

int evaluations = 0;
int counted() { return ++evaluations; }
void logFromHere() { XLOG_D("value %d", counted()); }
constexpr int LOG_LINE = __LINE__ - 1;
void fatalFromHere() { XLOG_FATAL(); }
constexpr int FATAL_LINE = __LINE__ - 1;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0, nl; start < text.size(); start = nl + 1) {
    nl = text.find('\n', start);
    EXPECT_NE(nl, std::string::npos) << "unterminated line";
    lines.push_back(text.substr(start, nl - start + 1));
  }
  return lines;
}

// Checks the time field that starts a line ("2026-12-04 23:18:51.042" and the zone text)
// and gives the rest of the line.
std::string afterTime(const std::string& line) {
  const size_t n = 23 + xlogZoneSuffix.size();
  if (line.size() <= n) {
    ADD_FAILURE() << "no time field: " << line;
    return "";
  }
  std::string digits = line.substr(0, 23);
  for (char& c : digits)
    c = c >= '0' && c <= '9' ? '9' : c;
  EXPECT_EQ(digits, "9999-99-99 99:99:99.999");
  EXPECT_EQ(line.compare(23, xlogZoneSuffix.size(), xlogZoneSuffix), 0) << line;
  return line.substr(n);
}

// The header after the time field, as the documented format builds it.
std::string head(int moduleId, int level, const std::string& tag = "") {
  return xstrFormat(" %-5d %-5s %-6s %s %-1s: ", xplProcessId(),
                    std::to_string(xplThreadId()).c_str(), xlogModules[moduleId].name, tag.c_str(),
                    xlogLevelLetters[level]);
}

int put(const char* format, const char* text, int level = XLOG_INFO,
        int moduleId = XLOG_MODULE_VMMGR, const char* file = "f") {
  return xlogDefaultLog(level, moduleId, file, "fn", 12, format, text);
}

void setZone(const char* tz) {
#if defined(_WIN32)
  _putenv_s("TZ", tz ? tz : "");
  _tzset();
#else
  tz ? setenv("TZ", tz, 1) : unsetenv("TZ");
  tzset();
#endif
}

// The library's own lines go to a fresh log file for each test.
class XlogFile : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_EQ(xerrLibInit(), XERR_SUCCESS); }
  void SetUp() override {
    xlogSetSourceFields(false, false, false);
    xlogSetTag("");
    open(log);
  }
  void TearDown() override { open(""); }
  static void open(const std::string& path) { ASSERT_EQ(xlogLibInit(nullptr, path, ""), 0); }
  std::vector<std::string> lines() { return splitLines(readFile(log)); }

  testsupport::TempDir dir{"xlog"};
  const std::string log = dir.at("module.log");
};

} // namespace

TEST(XlogCallSite, AsksOnceAndEvaluatesArgumentsOnlyWhenEnabled) {
  for (int maxLevel : {XLOG_INFO, XLOG_DEBUG}) {
    SCOPED_TRACE(maxLevel);
    CaptureLogger::install(maxLevel);
    evaluations = 0;
    logFromHere();
    EXPECT_EQ(evaluations, maxLevel == XLOG_DEBUG ? 1 : 0);
    ASSERT_EQ(CaptureLogger::queries().size(), 1u);
    EXPECT_EQ(CaptureLogger::queries()[0].moduleId, XLOG_MODULE_VMMGR);
    EXPECT_EQ(CaptureLogger::queries()[0].level, XLOG_DEBUG);
    EXPECT_EQ(CaptureLogger::lines().size(), static_cast<size_t>(evaluations));
  }
  const testsupport::LogLine line = CaptureLogger::lines().at(0);
  EXPECT_EQ(line.level, XLOG_DEBUG);
  EXPECT_EQ(line.moduleId, XLOG_MODULE_VMMGR);
  EXPECT_EQ(line.file, std::string("tests") + XPL_PATH_SEPARATOR + "XlogTest.cpp");
  EXPECT_EQ(line.function, "logFromHere");
  EXPECT_EQ(line.line, LOG_LINE);
  EXPECT_EQ(line.text, "value 1");
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
  const auto lines = CaptureLogger::lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "xlog inited using logger");
  EXPECT_EQ(lines[0].function, "xlogLibInit");
  EXPECT_EQ(lines[1].text, "Change log levels with: *:E");
  EXPECT_EQ(lines[1].function, "xlogSetLevels");
  for (const auto& line : lines) {
    EXPECT_EQ(line.moduleId, XLOG_MODULE_XLOG);
    EXPECT_EQ(line.level, XLOG_DEBUG);
  }
}

TEST(XlogLevels, SpecificationsSetTheLevelsTheyName) {
  std::string names;
  for (const XlogModuleEntry& entry : xlogModules)
    names += std::string(entry.name) + " ";
  EXPECT_EQ(names, "AGA APPC AUD BRIDGE CAM CLD CONF CSM DCRD GCALL GR GRM HCALL HST IMAP IMGD "
                   "INP IPC KMM MIM MNS PGA PGAIPC PLR SER UI UTL VMMGR VMSG WERH XCOND XFILE "
                   "XLIB XLOCK XLOG XMEM XMUTEX XPROC XSOCK XSTR XTHR XTIME XTIMER ");
  ASSERT_EQ(xlogLibInit(nullptr, "", "*:E"), 0); // the defaults, whatever is asked
  struct Case {
    const char* spec;
    int result, all, module, moduleLevel;
  } cases[] = {
      {"", 22, 2, XLOG_MODULE_XMEM, 3}, // before any change: the defaults
      {"XMEM:D *:I", 0, 2, 0, 2},
      {"*:W VMMGR:V", 0, 1, XLOG_MODULE_VMMGR, 4},
      {"*:W XMEM:Debug", 0, 1, XLOG_MODULE_XMEM, 3},
      {"\t*:E\t", 0, 0, 0, 0},
      {"XMEM\t:\tD", 0, 0, XLOG_MODULE_XMEM, 3},
      {"*:I  XMEM:D", 22, 2, 0, 2},
      {"XMEM:D ", 22, 2, XLOG_MODULE_XMEM, 3},
      {" *:V", 22, 2, XLOG_MODULE_XMEM, 3},
  };
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
  // Malformed items, and names that match no module, leave every level as it is.
  const struct {
    const char* spec;
    int result;
  } unchanged[] = {{"XMEM:d", 22}, {"XMEM:3", 22}, {"XMEM:", 22}, {"XMEM", 22},
                   {"A:B:C", 22},  {":", 22},      {"*:x", 22},   {"xmem:D", 0},
                   {"FOO:D", 0},   {"XME:D", 0},   {"XMEMX:D", 0}};
  for (const auto& c : unchanged) {
    SCOPED_TRACE(c.spec);
    ASSERT_EQ(xlogSetLevels("*:W"), 0);
    EXPECT_EQ(xlogSetLevels(c.spec), c.result);
    for (const XlogModuleEntry& entry : xlogModules)
      EXPECT_EQ(entry.level, XLOG_WARNING) << entry.name;
  }
}

TEST(XlogTime, FieldAndZoneText) {
  const std::string zone = xlogZoneSuffix;
  xlogZoneSuffix = "+0530";
  char field[128];
  EXPECT_EQ(xlogTimeField(field, 7000), 28u);
  EXPECT_STREQ(field, "1970-01-01 00:00:00.007+0530");
  xlogTimeField(field, 1796426332999000); // read as UTC
  EXPECT_STREQ(field, "2026-12-04 23:18:52.999+0530");
  xlogZoneSuffix = zone;
  EXPECT_EQ(xlogTimestamp(field, 10), -1);

  const char* saved = std::getenv("TZ");
  const std::string restore = saved ? saved : "";
  const char* zones[][2] = {
      {"UTC0", "-0000"}, {"CET-1", "+0100"}, {"IST-5:30", "+0530"}, {"EST5", "-0500"}};
  for (const auto& z : zones) {
    SCOPED_TRACE(z[0]);
    setZone(z[0]);
    EXPECT_EQ(xlogZoneText(), z[1]);
  }
  setZone(saved ? restore.c_str() : nullptr);
}

TEST_F(XlogFile, LinesHaveTheHeaderColumnsAndEndInOneNewline) {
  const std::string tag(300, 't');
#if defined(_WIN32)
  const char* path = "C:\\src\\Xfoo";
#else
  const char* path = "/src/Xfoo";
#endif
  EXPECT_GT(put("hello %s", "42"), 0);
  put("%s", "ends with newline\n", XLOG_WARNING);
  put("%s", "", XLOG_ERROR, 22); // PGAIPC fills its column exactly
  xlogSetTag("TAG");
  put("%s", "m", XLOG_DEBUG, XLOG_MODULE_XMEM);
  xlogSetTag(tag);
  put("%s", "m", XLOG_VERBOSE, XLOG_MODULE_XLOG);
  xlogSetTag("");
  xlogSetSourceFields(true, true, true);
  put("%s", "msg", XLOG_INFO, XLOG_MODULE_VMMGR, path);
  xlogSetSourceFields(true, false, true);
  put("%s", "msg", XLOG_INFO, XLOG_MODULE_VMMGR, "nodir");
  xlogSetSourceFields(false, true, false);
  put("%s", "msg");
  const std::vector<std::string> expected = {
      head(XLOG_MODULE_VMMGR, XLOG_INFO) + "hello 42\n",
      head(XLOG_MODULE_VMMGR, XLOG_WARNING) + "ends with newline\n",
      head(22, XLOG_ERROR) + "\n",
      head(XLOG_MODULE_XMEM, XLOG_DEBUG, "TAG") + "m\n",
      head(XLOG_MODULE_XLOG, XLOG_VERBOSE, tag) + "m\n",
      head(XLOG_MODULE_VMMGR, XLOG_INFO) + "Xfoo fn 12 | msg\n",
      head(XLOG_MODULE_VMMGR, XLOG_INFO) + "nodir 12 | msg\n",
      head(XLOG_MODULE_VMMGR, XLOG_INFO) + "fn msg\n"};
  const auto lines = this->lines();
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(afterTime(lines[i]), expected[i]);
  EXPECT_EQ(lines[2].substr(lines[2].size() - 13), " PGAIPC  E: \n");
}

TEST_F(XlogFile, LongLinesAreCutAt4093BytesAndANewline) {
  const std::string big(5000, 'x');
  put("%s", big.c_str());
  // A newline as the last byte kept, and one just past it: neither line runs into the next.
  const size_t before = 23 + xlogZoneSuffix.size() + head(XLOG_MODULE_VMMGR, XLOG_INFO).size();
  for (size_t at : {4092, 4093}) {
    std::string message(at - before, '.');
    message += "\nafter";
    put("%s", message.c_str());
  }
  xlogSetTag(std::string(5000, 'T')); // the header alone fills the line
  put("%s", "never seen");
  xlogSetTag("");
  put("%s", "short");
  const auto lines = this->lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].size(), 4094u);
  EXPECT_EQ(lines[0].substr(4092), "x\n");
  EXPECT_EQ(lines[1].size(), 4093u);
  EXPECT_EQ(lines[2].size(), 4094u);
  EXPECT_EQ(lines[2].substr(4092), ".\n");
  EXPECT_EQ(lines[3].size(), 4094u);
  EXPECT_EQ(lines[3].find("never seen"), std::string::npos);
  EXPECT_EQ(afterTime(lines[4]), head(XLOG_MODULE_VMMGR, XLOG_INFO) + "short\n");
}

TEST_F(XlogFile, AppendsCreatesFoldersAndRotatesAtTenMebibytes) {
  const std::string deep = dir.at("a") + XPL_PATH_SEPARATOR + "b.log";
  open("");
  writeFile(log, "earlier\n");
  open(deep);
  put("%s", "deep");
  open(log);
  put("%s", "later");
  open("");
  EXPECT_EQ(afterTime(readFile(deep)), head(XLOG_MODULE_VMMGR, XLOG_INFO) + "deep\n");
  const auto lines = this->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "earlier\n");
  EXPECT_EQ(afterTime(lines[1]), head(XLOG_MODULE_VMMGR, XLOG_INFO) + "later\n");

  struct Case {
    size_t size;
    bool backups, blocked, rotates;
  } cases[] = {{10485759, false, false, false},
               {10485760, false, false, true},
               {10485760, true, false, true},
               {10485760, false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.backups << c.blocked);
    testsupport::TempDir files("xlog-rotate");
    const std::string log = files.at("r.log"), one = log + ".1", two = log + ".2";
    writeFile(log, std::string(c.size, 'o'));
    for (const std::string& backup : {one, two}) {
      if (c.blocked) { // a directory with a file in it: no move can replace it
        ASSERT_EQ(xfileMkdir(backup, 0), XERR_SUCCESS);
        writeFile(backup + XPL_PATH_SEPARATOR + "keep", "keep");
      } else if (c.backups) {
        writeFile(backup, backup == one ? "previous\n" : "oldest\n");
      }
    }
    open(log);
    put("%s", "new");
    open("");
    const std::string text = readFile(log);
    const size_t kept = c.rotates ? 0 : c.size;
    EXPECT_EQ(text.find_first_not_of('o'), kept);
    EXPECT_EQ(afterTime(text.substr(kept)), head(XLOG_MODULE_VMMGR, XLOG_INFO) + "new\n");
    EXPECT_EQ(testsupport::fileExists(one), c.rotates || c.blocked);
    if (c.rotates) {
      EXPECT_EQ(readFile(one).size(), c.size);
    }
    if (c.blocked)
      EXPECT_EQ(readFile(two + XPL_PATH_SEPARATOR + "keep"), "keep");
    else
      EXPECT_EQ(readFile(two), c.backups ? "previous\n" : "<missing>");
  }
}

TEST_F(XlogFile, FailedOpensAndWritesLoseOnlyTheirLines) {
  const std::string blocker = dir.at("plain-file");
  writeFile(blocker, "x");
  const int err = xlogLibInit(nullptr, blocker + XPL_PATH_SEPARATOR + "x.log", "");
  EXPECT_TRUE(err == XERR_NOENT || err == XERR_NOTDIR) << xerrToString(err);
  EXPECT_EQ(put("%s", "lost"), 0);
#if !defined(_WIN32)
  open("/dev/full");
  EXPECT_EQ(put("%s", "nowhere to go"), 0);
#endif
  open(log);
  EXPECT_GT(put("%s", "written"), 0);
  EXPECT_EQ(lines().size(), 1u);
}

// Lines of several threads land whole, each thread's in its order, in a file that has just
// been rotated. Wine does not append atomically from concurrent writers.
TEST_F(XlogFile, ThreadsLoseNoLineAndInterleaveNone) {
  if (testsupport::underWine())
    GTEST_SKIP() << "Wine does not append atomically from concurrent writers";
  open("");
  writeFile(log, std::string(10485760, '.'));
  open(log);
  constexpr int threads = 4, perThread = 10000;
  const std::string dots(200, '.');
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([t, &dots] {
      for (int i = 0; i < perThread; ++i)
        xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "T%d L%d %.*s|", t, i, i % 200,
                       dots.c_str());
    });
  for (auto& th : pool)
    th.join();
  EXPECT_EQ(readFile(log + ".1").size(), 10485760u);
  std::vector<int> next(threads, 0);
  const auto lines = this->lines();
  for (const std::string& line : lines) {
    const size_t start = line.find(" VMMGR   I: T");
    int t = -1, i = -1, at = 0;
    ASSERT_EQ(xstrSscanf(line.c_str() + start, " VMMGR   I: T%d L%d %n", &t, &i, &at), 2) << line;
    ASSERT_TRUE(t >= 0 && t < threads) << line;
    EXPECT_EQ(i, next[t]++) << line;
    EXPECT_EQ(line.substr(start + static_cast<size_t>(at)), dots.substr(0, i % 200) + "|\n");
  }
  EXPECT_EQ(lines.size(), static_cast<size_t>(threads * perThread));
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
  const std::string text = readFile(out);
  std::remove(out);
  // The dead process had its own process and thread ids.
  const std::string tail =
      xstrFormat(" VMMGR   E: FATAL: DEBUG BREAK: tests%cXlogTest.cpp:%d fatalFromHere()\n",
                 XPL_PATH_SEPARATOR, FATAL_LINE);
  ASSERT_GT(afterTime(text).size(), tail.size()) << text;
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_EQ(splitLines(text).size(), 1u);
}
