// The logging library: the call-site macros and the logger hand-over, level specifications,
// the library's own line, its log file with rotation, threads sharing one file, and the
// fatal check.
#include "xpl/Xlog.h"
#include "tests/support/CaptureLogger.h"
#include "tests/support/Files.h"
#include "xpl/XlogInternal.h"
#include "xpl/XplOs.h"
#include "xpl/Xproc.h"
#include "xpl/Xstr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <thread>

using testsupport::CaptureLogger;
using testsupport::readFile;

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

// What the capture logger was asked ("? module level"), then what it received (level letter,
// module, function and text per line).
std::string captured() {
  std::string out;
  for (const auto& q : CaptureLogger::queries())
    out += xstrFormat("? %d %d\n", q.moduleId, q.level);
  for (const auto& l : CaptureLogger::lines())
    out += xstrFormat("%s %d %s: %s\n", xlogLevelLetters[l.level], l.moduleId, l.function.c_str(),
                      l.text.c_str());
  return out;
}

// The lines of a text, each with its time field ("2026-12-04 23:18:51.042" and the zone
// text) checked and taken off.
std::vector<std::string> lines(const std::string& text) {
  // Digits where the pattern has 9, the pattern's own characters elsewhere.
  const auto isTime = [](const std::string& t) {
    const char* pattern = "9999-99-99 99:99:99.999";
    for (size_t i = 0; i < 23; ++i)
      if (i >= t.size() || (pattern[i] == '9' ? !std::isdigit(static_cast<unsigned char>(t[i]))
                                              : t[i] != pattern[i]))
        return false;
    return true;
  };
  const size_t n = 23 + xlogZoneSuffix.size();
  std::vector<std::string> out;
  for (size_t start = 0, end; start < text.size(); start = end) {
    end = std::min(text.find('\n', start), text.size() - 1) + 1;
    const std::string line = text.substr(start, end - start);
    EXPECT_TRUE(isTime(line) && line.size() >= n && line.compare(23, n - 23, xlogZoneSuffix) == 0)
        << line;
    out.push_back(line.substr(std::min(n, line.size())));
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
  void SetUp() override { xlogSetTag(""), open(log); }
  void TearDown() override { open(""); }
  static void open(const std::string& path) { ASSERT_EQ(xlogLibInit(nullptr, path, ""), 0); }

  testsupport::TempDir dir{"xlog"};
  const std::string log = dir.at("module.log");
};

} // namespace

TEST(XlogCallSite, AsksOnceEvaluatesArgumentsOnlyWhenEnabledAndTakesOverLoggers) {
  for (int maxLevel : {XLOG_INFO, XLOG_DEBUG}) {
    CaptureLogger::install(maxLevel);
    evaluations = 0;
    logFromHere();
    EXPECT_EQ(evaluations, maxLevel == XLOG_DEBUG ? 1 : 0);
    EXPECT_EQ(captured(),
              maxLevel == XLOG_DEBUG ? "? 27 3\nD 27 logFromHere: value 1\n" : "? 27 3\n");
  }
  EXPECT_EQ(CaptureLogger::lines()[0].file + ":" + std::to_string(CaptureLogger::lines()[0].line),
            SOURCE + ":" + std::to_string(LOG_LINE));

  // A logger handed over is copied, announces itself, and is asked at every level.
  XlogLogger* const current = xlogGetLogger();
  CaptureLogger::clear();
  XlogLogger mine = CaptureLogger::table;
  ASSERT_EQ(xlogLibInit(&mine, "", "*:I"), 0);
  mine = XlogLogger{}; // the caller's table is not referred to afterwards
  EXPECT_EQ(xlogGetLogger(), current);
  EXPECT_EQ(xlogSetLevels("*:E"), 0);
  // Whatever the module levels say, only the installed logger knows what it wants.
  EXPECT_TRUE(xlogMayBeEnabled(XLOG_MODULE_COUNT - 1, XLOG_VERBOSE));
  EXPECT_EQ(captured(), "? 34 3\n? 34 3\nD 34 xlogLibInit: xlog inited using logger\n"
                        "D 34 xlogSetLevels: Change log levels with: *:E\n");
}

TEST(XlogLevels, SpecificationsSetTheLevelsTheyName) {
  ASSERT_EQ(xlogLibInit(nullptr, "", "*:E"), 0); // the defaults, whatever is asked
  // Each case starts from the levels the one before it left; the first sees the defaults.
  // The text, the result, the level of every module but one, that one and its level.
  const std::tuple<const char*, int, int, int, int> cases[] = {
      {"", 22, 2, 35, 3},           {"XMEM:D *:I", 0, 2, 0, 2},
      {"*:W VMMGR:V", 0, 1, 27, 4}, {"*:W XMEM:Debug", 0, 1, 35, 3},
      {"\t*:E\t", 0, 0, 0, 0},      {"XMEM\t:\tD", 0, 0, 35, 3},
      {"*:I  XMEM:D", 22, 2, 0, 2}, {"XMEM:D ", 22, 2, 35, 3},
      {" *:V", 22, 2, 35, 3},       {"*:W xmem:D FOO:D XME:D XMEMX:D :D", 0, 1, 0, 1}};
  for (const auto& [items, result, all, module, moduleLevel] : cases) {
    SCOPED_TRACE(items);
    EXPECT_EQ(xlogSetLevels(items), result);
    for (int m = 0; m < XLOG_MODULE_COUNT; ++m) {
      const int level = m == module ? moduleLevel : all;
      EXPECT_EQ(xlogModules[m].level, level) << m;
      EXPECT_TRUE(xlogDefaultIsEnabled(m, level) && xlogMayBeEnabled(m, level)) << m;
      EXPECT_FALSE(xlogDefaultIsEnabled(m, level + 1) || xlogMayBeEnabled(m, level + 1)) << m;
    }
  }
  // Malformed items change nothing.
  for (const char* items : {"XMEM:d", "XMEM:3", "XMEM:", "XMEM", "A:B:C", "*:x"})
    EXPECT_EQ(xlogSetLevels(items), 22) << items;
  for (const XlogModuleEntry& entry : xlogModules)
    EXPECT_EQ(entry.level, XLOG_WARNING) << entry.name;
}

TEST(XlogTime, ZoneTextIsTheSignedOffsetFromUtc) {
  const std::string saved = std::getenv("TZ") ? std::getenv("TZ") : "";
  const char* zones[][2] = {{"UTC0", "-0000"},
                            {"CET-1", "+0100"},
                            {"IST-5:30", "+0530"},
                            {"EST5", "-0500"},
                            {saved.c_str(), nullptr}};
  for (const auto& z : zones) {
    xprocSetEnv("TZ", z[0]); // the last one restores TZ, or removes it
    tzset();
    EXPECT_EQ(z[1] ? xlogZoneText() : "", z[1] ? z[1] : "") << z[0];
  }
}

TEST_F(XlogFile, LinesHaveTheHeaderColumnsAndEndInOneNewlineAfterAtMost4093Bytes) {
  // Message bytes that fill a line to 4093 bytes after the header.
  const std::string full(4093 - 23 - xlogZoneSuffix.size() - head().size(), '.');
  const char* const path = XPL_PATH_SEPARATOR == '/' ? "src/Xfoo" : "src\\Xfoo";
  // The conversions the line formats itself, against the C runtime's formatter.
#define CONVERSIONS                                                                                \
  "%d|%-5i|%05d|%u|%x|%08X|%lu|%lld|%c|%%|%s|%-4s|%3s", -42, 7, -3, 4000000000u, 0xbeefu, 0xabcu,  \
      123456789ul, -1234567890123ll, 'q', "text", "ab", "abcd"
  xlogDefaultLog(XLOG_INFO, 27, "f", "fn", 12, CONVERSIONS);
  EXPECT_EQ(lines(readFile(log)).back(), head() + xstrFormat(CONVERSIONS) + "\n");
  // Level, module, tag, source fields (file 4, function 2, line 1), the file argument, the
  // fields' text in the line, the message.
  const std::tuple<int, int, std::string, int, const char*, const char*, std::string> cases[] = {
      {XLOG_INFO, 27, "", 0, "f", "", "hello 42"},
      {XLOG_WARNING, 27, "", 0, "f", "", "ends with newline\n"},
      {XLOG_ERROR, 22, "", 0, "f", "", ""}, // PGAIPC fills its column
      {XLOG_VERBOSE, 35, "TAG", 0, "f", "", "m"},
      {XLOG_INFO, 27, "", 7, path, "Xfoo fn 12 | ", "msg"},
      {XLOG_DEBUG, 27, "", 2, path, "fn ", "msg"},
      {XLOG_INFO, 27, "", 0, "f", "", full + "xx"},
      // A newline as the last byte kept, and one just past it.
      {XLOG_INFO, 27, "", 0, "f", "", full.substr(1) + "\nafter"},
      {XLOG_INFO, 27, "", 0, "f", "", full + "\nafter"},
      {XLOG_INFO, 27, std::string(5000, 'T'), 0, "f", "", "never seen"}};
  for (const auto& [level, moduleId, tag, fields, file, fieldsText, message] : cases) {
    xlogSetTag(tag);
    xlogSetSourceFields(fields & 4, fields & 2, fields & 1);
    EXPECT_GT(put(message, level, moduleId, file), 0);
    const std::string line = (head(level, moduleId, tag.c_str()) + fieldsText + message)
                                 .substr(0, full.size() + head().size());
    EXPECT_EQ(lines(readFile(log)).back(), line.back() == '\n' ? line : line + "\n");
  }
}

TEST_F(XlogFile, AppendsAndRotatesAtTenMebibytesIntoDotOneAndDotTwo) {
  // The old log's size; whether ".1" and ".2" exist (1: as files, 2: as directories that no
  // move can replace); the bytes of the old log that stay in front of the new line; ".1" and
  // ".2" after.
  const std::tuple<size_t, int, size_t, const char*> cases[] = {
      {10485759, 0, 10485759, "<missing>|<missing>|"},
      {10485760, 0, 0, "ooooooooo|<missing>|"},
      {10485760, 1, 0, "ooooooooo|previous|"},
      {10485760, 2, 10485760, "dir|dir|"}};
  for (const auto& [size, backups, kept, after] : cases) {
    const std::string log = dir.at(std::to_string(size + backups)), one = log + ".1";
    testsupport::writeFile(log, std::string(size, 'o'));
    for (const std::string& backup : {one, log + ".2"}) {
      if (backups == 1)
        testsupport::writeFile(backup, backup == one ? "previous" : "oldest");
      if (backups == 2)
        std::filesystem::create_directories(testsupport::nativePath(backup + SEPARATOR + "d"));
    }
    open(log);
    put("new");
    open("");
    const std::string text = readFile(log);
    EXPECT_EQ(text.find_first_not_of('o'), kept) << size;
    EXPECT_EQ(lines(text.substr(kept)), std::vector<std::string>{head() + "new\n"});
    const auto show = [](const std::string& path) {
      return testsupport::fileExists(path + SEPARATOR + "d") ? "dir" : readFile(path).substr(0, 9);
    };
    EXPECT_EQ(show(one) + "|" + show(log + ".2") + "|", after);
  }
}

TEST_F(XlogFile, FailedOpensAndWritesLoseOnlyTheirLinesAndFoldersAreCreated) {
  testsupport::writeFile(dir.at("plain-file"), "x");
  const int err = xlogLibInit(nullptr, dir.at("plain-file") + SEPARATOR + "x.log", "");
  EXPECT_NE(err, 0);
  EXPECT_EQ(put("lost"), 0);
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
  std::vector<std::string> got(threads), expected(threads);
  for (const std::string& line : lines(readFile(log)))
    got.at(line[line.find(" I: T") + 5] - '0') += line.substr(line.find(" I: T") + 4);
  for (int t = 0; t < threads; ++t) {
    for (int i = 0; i < perThread; ++i)
      expected[t] += xstrFormat("T%d L%d %.*s|\n", t, i, i % 200, dots.c_str());
    EXPECT_TRUE(got[t] == expected[t]) << "thread " << t << " lost, reordered or cut a line";
  }
}

// The fatal line reaches standard output even when that is a file, before the break ends
// the process.
TEST(XlogFatalDeathTest, WritesTheFatalLineOutThenBreaks) {
  const char* const out = "xlog-fatal-stdout.txt";
  EXPECT_DEATH((std::freopen(out, "wb", stdout), xlogLibInit(nullptr, "", ""), fatalFromHere()),
               "");
  // Under Wine the debugger's crash report follows the line.
  const std::string text = readFile(out), fatal = lines(text.substr(0, text.find('\n') + 1)).at(0);
  // The dead process had process and thread ids of its own.
  EXPECT_EQ(fatal.substr(fatal.find(" VMMGR ")),
            xstrFormat(" VMMGR   E: FATAL: DEBUG BREAK: %s:%d fatalFromHere()\n", SOURCE.c_str(),
                       FATAL_LINE));
}
