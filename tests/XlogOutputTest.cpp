// The library's own log line and where it goes: the header's columns, the source fields,
// the cut at the buffer's end, the zone text, the log file with its rotation, and many
// threads writing one file.
#include "tests/support/Files.h"
#include "xpl/Xerr.h"
#include "xpl/Xfile.h"
#include "xpl/Xlog.h"
#include "xpl/XlogInternal.h"
#include "xpl/XplOs.h"
#include "xpl/Xstr.h"
#include "xpl/Xtime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

using testsupport::TempDir;

namespace {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start + 1));
  if (start < text.size())
    lines.push_back(text.substr(start)); // an unterminated tail, which no test expects
  return lines;
}

bool allDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The header after the time field, as the documented format builds it.
std::string expectedColumns(int moduleId, int level, const std::string& tag = "") {
  return xstrFormat("%-5d %-5s %-6s %s %-1s: ", xplProcessId(),
                    std::to_string(xplThreadId()).c_str(), xlogModules[moduleId].name,
                    tag.c_str(), xlogLevelLetters[level]);
}

// Checks the time field at the start of a line ("2026-12-04 23:18:51.042" + zone) and
// returns the rest of the line.
std::string afterTimeField(const std::string& line) {
  const std::string& zone = xlogZoneSuffix;
  EXPECT_GE(line.size(), 23 + zone.size() + 1) << line;
  if (line.size() < 23 + zone.size() + 1)
    return "";
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 22})
    EXPECT_TRUE(line[i] >= '0' && line[i] <= '9') << "position " << i << " of " << line;
  EXPECT_EQ(line.substr(4, 1) + line.substr(7, 1) + line.substr(10, 1) + line.substr(13, 1) +
                line.substr(16, 1) + line.substr(19, 1),
            "-- ::.");
  EXPECT_EQ(line.substr(23, zone.size()), zone);
  EXPECT_EQ(line[23 + zone.size()], ' ');
  return line.substr(23 + zone.size() + 1);
}

// Directs the library's own lines to a fresh log file for one test.
class LogFileTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_EQ(xerrLibInit(), XERR_SUCCESS); }
  void SetUp() override {
    xlogSetSourceFields(false, false, false);
    xlogSetTag("");
    ASSERT_EQ(xlogLibInit(nullptr, log, ""), 0);
  }
  void TearDown() override {
    // Back to standard output, so the file can be removed.
    ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
  }
  std::vector<std::string> lines() { return splitLines(testsupport::readFile(log)); }

  TempDir dir{"xlog"};
  const std::string log = dir.at("module.log");
};

} // namespace

TEST(XlogTimeField, DateMillisecondsAndZone) {
  xlogZoneSuffix = "+0530";
  char field[128];
  EXPECT_EQ(xlogTimeField(field, 7000), 28u);
  EXPECT_STREQ(field, "1970-01-01 00:00:00.007+0530");
  // 2026-12-04 23:18:51.042 read as UTC.
  const int64_t value = 1796426331042000;
  xlogTimeField(field, value);
  EXPECT_STREQ(field, "2026-12-04 23:18:51.042+0530");
  xlogTimeField(field, value + 1000000 + 957000);
  EXPECT_STREQ(field, "2026-12-04 23:18:52.999+0530");
  xlogZoneSuffix = xlogZoneText();
}

TEST(XlogTimestamp, IsBoundedAsTheCountedFormatter) {
  char buffer[64];
  const int n = xlogTimestamp(buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::strlen(buffer), static_cast<size_t>(n));
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(xlogTimestamp(buffer, 10), -1);
  EXPECT_EQ(buffer[10], 'x');
  EXPECT_EQ(xlogTimestamp(buffer, n), n); // exactly the room: no terminator
}

// The zone text for several zones; TZ is set around the test and restored.
TEST(XlogZone, OffsetFromUtcAsSignedHoursAndMinutes) {
  struct Zone {
    const char* tz;
    const char* text;
  } zones[] = {{"UTC0", "-0000"}, {"CET-1", "+0100"}, {"IST-5:30", "+0530"}, {"EST5", "-0500"}};
  const char* saved = std::getenv("TZ");
  const std::string restore = saved ? saved : "";
  for (const Zone& z : zones) {
    SCOPED_TRACE(z.tz);
#if defined(_WIN32)
    _putenv_s("TZ", z.tz);
    _tzset();
#else
    setenv("TZ", z.tz, 1);
    tzset();
#endif
    EXPECT_EQ(xlogZoneText(), z.text);
  }
#if defined(_WIN32)
  _putenv_s("TZ", restore.c_str());
  _tzset();
#else
  if (saved)
    setenv("TZ", restore.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
#endif
}

TEST_F(LogFileTest, HeaderColumnsThenMessageThenOneNewline) {
  EXPECT_GT(xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "hello %d", 42), 0);
  xlogDefaultLog(XLOG_WARNING, XLOG_MODULE_VMMGR, "f", "fn", 1, "ends with newline\n");
  xlogDefaultLog(XLOG_ERROR, 22, "f", "fn", 1, "%s", "");
  const auto l = lines();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(afterTimeField(l[0]), expectedColumns(XLOG_MODULE_VMMGR, XLOG_INFO) + "hello 42\n");
  EXPECT_EQ(afterTimeField(l[1]),
            expectedColumns(XLOG_MODULE_VMMGR, XLOG_WARNING) + "ends with newline\n");
  // An empty message: the header and the newline. PGAIPC fills its column exactly.
  EXPECT_EQ(afterTimeField(l[2]), expectedColumns(22, XLOG_ERROR) + "\n");
  EXPECT_NE(l[2].find(" PGAIPC  E: \n"), std::string::npos) << l[2];
}

TEST_F(LogFileTest, ColumnsWidenForLongValuesAndNeverCut) {
  const std::string tag(300, 't');
  xlogSetTag("TAG");
  xlogDefaultLog(XLOG_DEBUG, XLOG_MODULE_XMEM, "f", "fn", 1, "m");
  xlogSetTag(tag);
  xlogDefaultLog(XLOG_VERBOSE, XLOG_MODULE_XLOG, "f", "fn", 1, "m");
  // A tag of thousands of bytes leaves no room for the message.
  xlogSetTag(std::string(5000, 'T'));
  xlogDefaultLog(XLOG_INFO, XLOG_MODULE_XLOG, "f", "fn", 1, "never seen");
  xlogSetTag("");
  const auto l = lines();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(afterTimeField(l[0]), expectedColumns(XLOG_MODULE_XMEM, XLOG_DEBUG, "TAG") + "m\n");
  EXPECT_EQ(afterTimeField(l[1]), expectedColumns(XLOG_MODULE_XLOG, XLOG_VERBOSE, tag) + "m\n");
  EXPECT_EQ(l[2].size(), 4094u);
  EXPECT_EQ(l[2].find("never seen"), std::string::npos);
  EXPECT_EQ(l[2].back(), '\n');
}

TEST_F(LogFileTest, SourceFieldsFollowTheLevelLetter) {
#if defined(_WIN32)
  const char* file = "C:\\src\\dir\\Xfoo";
#else
  const char* file = "/src/dir/Xfoo";
#endif
  xlogSetSourceFields(true, true, true);
  xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, file, "f", 12, "msg");
  xlogSetSourceFields(false, true, false);
  xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, file, "f", 12, "msg");
  xlogSetSourceFields(true, false, true);
  xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "nodir", "f", 12, "msg");
  const auto l = lines();
  ASSERT_EQ(l.size(), 3u);
  const std::string head = expectedColumns(XLOG_MODULE_VMMGR, XLOG_INFO);
  EXPECT_EQ(afterTimeField(l[0]), head + "Xfoo f 12 | msg\n");
  EXPECT_EQ(afterTimeField(l[1]), head + "f msg\n");
  EXPECT_EQ(afterTimeField(l[2]), head + "nodir 12 | msg\n");
}

TEST_F(LogFileTest, LongMessagesAreCutToTheBuffer) {
  const std::string big(5000, 'x');
  xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "%s", big.c_str());
  // A message that ends with a newline exactly where the cut falls keeps only that one.
  xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "short");
  const auto l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].size(), 4094u);
  EXPECT_EQ(l[0].substr(4092), "x\n");
  EXPECT_EQ(afterTimeField(l[1]), expectedColumns(XLOG_MODULE_VMMGR, XLOG_INFO) + "short\n");
}

TEST_F(LogFileTest, ExistingContentStaysAndLinesFollowIt) {
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
  testsupport::writeFile(log, "earlier\n");
  ASSERT_EQ(xlogLibInit(nullptr, log, ""), 0);
  xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "later");
  const auto l = lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0], "earlier\n");
  EXPECT_NE(l[1].find("later\n"), std::string::npos);
}

TEST_F(LogFileTest, MissingFoldersAreCreated) {
  const std::string deep = dir.at("a") + XPL_PATH_SEPARATOR + "b" + XPL_PATH_SEPARATOR + "x.log";
  ASSERT_EQ(xlogLibInit(nullptr, deep, ""), 0);
  xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "deep");
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
  EXPECT_NE(testsupport::readFile(deep).find("deep\n"), std::string::npos);
}

TEST_F(LogFileTest, RotationAtTenMebibytes) {
  const std::string one = log + ".1", two = log + ".2";
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
  struct Case {
    size_t size;
    bool backups;
    bool rotates;
  } cases[] = {{10485759, false, false}, {10485760, false, true}, {10485760, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::remove(one.c_str());
    std::remove(two.c_str());
    const std::string old(c.size, 'o');
    testsupport::writeFile(log, old);
    if (c.backups) {
      testsupport::writeFile(one, "previous\n");
      testsupport::writeFile(two, "oldest\n");
    }
    ASSERT_EQ(xlogLibInit(nullptr, log, ""), 0);
    xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "new line");
    ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
    const std::string current = testsupport::readFile(log);
    if (!c.rotates) {
      EXPECT_EQ(current.size(), c.size + splitLines(current.substr(c.size)).at(0).size());
      EXPECT_EQ(current.compare(0, c.size, old), 0);
      EXPECT_FALSE(testsupport::fileExists(one));
      continue;
    }
    // The old log is the new ".1", the old ".1" the new ".2"; the old ".2" is gone.
    EXPECT_EQ(splitLines(current).size(), 1u);
    EXPECT_NE(current.find("new line"), std::string::npos);
    EXPECT_EQ(testsupport::readFile(one).size(), c.size);
    EXPECT_EQ(testsupport::readFile(two), c.backups ? "previous\n" : "<missing>");
  }
}

// Windows appends each write to an append-only handle atomically at the end of the file.
// Wine does not: concurrent appends from several threads land on one another there (lines
// lost and torn), so this cannot hold under Wine and is skipped there.
TEST_F(LogFileTest, ManyThreadsWriteWholeLinesAndLoseNone) {
  if (testsupport::underWine())
    GTEST_SKIP() << "Wine does not append atomically from concurrent writers";
  constexpr int threads = 8, perThread = 2000;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([t] {
      for (int i = 0; i < perThread; ++i)
        xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "thread %d line %d %s", t, i,
                       "payload-payload-payload-payload-payload-payload-payload-payload");
    });
  for (auto& th : pool)
    th.join();
  const auto l = lines();
  ASSERT_EQ(l.size(), static_cast<size_t>(threads * perThread));
  std::set<std::pair<int, int>> seen;
  for (const std::string& line : l) {
    const size_t at = line.find("thread ");
    ASSERT_NE(at, std::string::npos) << line;
    int t = -1, i = -1;
    char payload[80] = {};
    ASSERT_EQ(xstrSscanf(line.c_str() + at, "thread %d line %d %79s", &t, &i, payload), 3) << line;
    EXPECT_STREQ(payload, "payload-payload-payload-payload-payload-payload-payload-payload");
    EXPECT_EQ(line.back(), '\n');
    seen.insert({t, i});
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(threads * perThread));
}

TEST(XlogStandardOutput, EmptyPathPrintsEveryLineAndCreatesNothing) {
  TempDir dir("xlog-stdout");
  const std::string captured = dir.at("stdout.txt");
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
  std::fflush(stdout);
#if defined(_WIN32)
  const int saved = _dup(1);
  std::FILE* file = testsupport::openFile(captured, true);
  ASSERT_NE(file, nullptr);
  _dup2(_fileno(file), 1);
#else
  const int saved = dup(1);
  std::FILE* file = testsupport::openFile(captured, true);
  ASSERT_NE(file, nullptr);
  dup2(fileno(file), 1);
#endif
  const int n = xlogDefaultLog(XLOG_INFO, XLOG_MODULE_VMMGR, "f", "fn", 1, "to stdout");
  std::fflush(stdout);
#if defined(_WIN32)
  _dup2(saved, 1);
  _close(saved);
#else
  dup2(saved, 1);
  close(saved);
#endif
  std::fclose(file);
  const std::string text = testsupport::readFile(captured);
  EXPECT_EQ(static_cast<size_t>(n), text.size());
  EXPECT_EQ(afterTimeField(text), expectedColumns(XLOG_MODULE_VMMGR, XLOG_INFO) + "to stdout\n");
}

TEST(XlogLibInit, WithoutLoggerSetsDefaultLevelsWhateverItIsAsked) {
  ASSERT_EQ(xlogLibInit(nullptr, "", "*:E"), 0);
  for (int m = 0; m < XLOG_MODULE_COUNT; ++m)
    EXPECT_EQ(xlogModules[m].level, m == XLOG_MODULE_XMEM ? XLOG_DEBUG : XLOG_INFO) << m;
  EXPECT_EQ(xlogZoneSuffix.size(), 5u);
  EXPECT_TRUE(xlogZoneSuffix[0] == '+' || xlogZoneSuffix[0] == '-');
  EXPECT_TRUE(allDigits(xlogZoneSuffix.substr(1)));
}

TEST(XlogLibInit, UnopenableLogFileIsReported) {
  TempDir dir("xlog-bad");
  // A directory where the file should be cannot be opened as the log.
  const std::string path = dir.at("taken");
  ASSERT_EQ(xfileMkdir(path, 0), XERR_SUCCESS);
  EXPECT_NE(xlogLibInit(nullptr, path, ""), 0);
  ASSERT_EQ(xlogLibInit(nullptr, "", ""), 0);
}
