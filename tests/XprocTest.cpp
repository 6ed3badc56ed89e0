// Processes and environment: the quoting rule against hand-written command lines, the start
// decision with stand-in starts, and real children (tests/support/XprocChild.cpp) that report
// what they received, how they ended and what environment they saw.
#include "xpl/Xproc.h"
#include "tests/support/CaptureLogger.h"
#include "xpl/Xerr.h"
#include "xpl/XplOs.h"
#include "xpl/Xstr.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>
#endif

using testsupport::CaptureLogger;
using Args = std::vector<std::string>;

namespace {
#if defined(_WIN32)
constexpr bool onWindows = true;
constexpr const char* sourceFile = "xpl\\XprocWinnt.cpp";
#else
constexpr bool onWindows = false;
constexpr const char* sourceFile = "xpl/XprocPosix.cpp";
#endif

// Every child ends by itself well within this (the sleeping one included), so a wait longer
// than this means a kill did not happen.
constexpr auto childDeadline = std::chrono::seconds(60);

// The directory this test binary sits in, with its trailing separator.
std::string ownDirectory() {
#if defined(_WIN32)
  wchar_t path[MAX_PATH * 2];
  const DWORD n = GetModuleFileNameW(nullptr, path, sizeof path / sizeof path[0]);
  const std::string self = xstrWideToUtf8(XstrWide(path, n));
  return self.substr(0, self.find_last_of('\\') + 1);
#else
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  const std::string self(path, n > 0 ? static_cast<std::size_t>(n) : 0);
  return self.substr(0, self.find_last_of('/') + 1);
#endif
}

// Native separators on purpose: under Windows the quoting doubles them in the command line,
// and the program must still be found.
std::string childProgram() {
  return ownDirectory() + (onWindows ? "xproc_child.exe" : "xproc_child");
}

// Report files go by forward-slash paths, which hold no backslash for the quoting to double.
std::string reportPath(const std::string& tag) {
#if defined(_WIN32)
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  std::string directory = xstrWideToUtf8(XstrWide(temp, n));
  for (char& c : directory)
    c = c == '\\' ? '/' : c;
#else
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string directory = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/";
#endif
  static int serial = 0;
  return directory + "xproc-" + std::to_string(xprocGetPid()) + "-" + tag + "-" +
         std::to_string(++serial) + ".out";
}

std::optional<std::string> readFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f)
    return std::nullopt;
  std::string bytes;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes.append(buffer, n);
  std::fclose(f);
  return bytes;
}

Args splitNul(const std::string& report) {
  Args parts;
  std::string part;
  for (char c : report) {
    if (c == '\0') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  return parts;
}

// Whether the handle still holds the process, without waiting or closing it.
bool stillOpen(const XprocHandle& h) {
#if defined(_WIN32)
  DWORD flags = 0;
  return GetHandleInformation(static_cast<HANDLE>(h.handle), &flags) != 0;
#else
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(h.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
#endif
}

// Owns a started child for one test: whatever the test leaves running is killed and reaped.
struct Child {
  XprocHandle h{};
  bool open = false;
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (open) {
      xprocKill(&h, 1);
      xprocWait(&h, nullptr);
    }
  }
  XErr start(const Args& args) {
    const XErr e = xprocCreate(&h, args);
    open = e == XERR_SUCCESS;
    return e;
  }
  XErr wait(std::uint32_t* code) {
    const XErr e = xprocWait(&h, code);
    if (e == XERR_SUCCESS)
      open = false;
    return e;
  }
};

class XprocTest : public ::testing::Test {
protected:
  void SetUp() override {
    // As the module's start-up leaves the process: names for the codes, UTF-8 C runtime.
    xerrLibInit();
    xplSetUtf8Locale();
    CaptureLogger::install(XLOG_VERBOSE);
  }
  void TearDown() override {
    for (const std::string& path : reports)
      std::remove(path.c_str());
  }
  std::string report(const std::string& tag) {
    reports.push_back(reportPath(tag));
    return reports.back();
  }
  // Starts the child with args, waits for it, and returns what it wrote to out.
  std::optional<std::string> runChild(const Args& args, const std::string& out) {
    Child child;
    EXPECT_EQ(child.start(args), XERR_SUCCESS);
    std::uint32_t code = 99;
    EXPECT_EQ(child.wait(&code), XERR_SUCCESS);
    EXPECT_EQ(code, 0u);
    return readFile(out);
  }
  std::vector<std::string> reports;
};

// ---------------------------------------------------------------------------------------
// The quoting rule

TEST(XprocQuote, EveryElementIsQuotedWithBackslashesAndQuotesEscaped) {
  struct Case {
    Args args;
    const char* line;
  };
  const Case cases[] = {
      {{"C:\\Tools\\run.exe", "-v", "say \"hi\""}, R"("C:\\Tools\\run.exe" "-v" "say \"hi\"")"},
      {{"C:\\a b\\p.exe"}, R"("C:\\a b\\p.exe")"},
      {{""}, R"("")"},
      {{"a", "", "b"}, R"("a" "" "b")"},
      {{"dir\\"}, R"("dir\\")"},
      {{"\\\\server\\share"}, R"("\\\\server\\share")"},
      {{"\\\""}, R"("\\\"")"},
      {{" lead", "trail "}, R"(" lead" "trail ")"},
      {{"\xC3\xA9t\xC3\xA9"}, "\"\xC3\xA9t\xC3\xA9\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(xprocCommandLine(c.args), c.line);
  }
  EXPECT_EQ(xprocCommandLine({}), "");
}

TEST(XprocQuote, ParametersAreTheTokensAfterTheProgram) {
  EXPECT_EQ(xprocCommandLine({"C:\\a b\\p.exe"}, 1), "");
  EXPECT_EQ(xprocCommandLine({"p", "-v", "x y\\"}, 1), R"("-v" "x y\\")");
  EXPECT_EQ(xprocCommandLine({"p", ""}, 1), R"("")");
}

// ---------------------------------------------------------------------------------------
// The choice between the plain and the elevated start, with stand-in starts

namespace fake {
int basicCalls = 0;
int elevatedCalls = 0;
XErr basicResult = XERR_SUCCESS;
XprocHandle* seenHandle = nullptr;
const Args* seenArgs = nullptr;

XErr basic(XprocHandle*, const Args&) {
  ++basicCalls;
  return basicResult;
}
XErr elevated(XprocHandle* handle, const Args& args) {
  ++elevatedCalls;
  seenHandle = handle;
  seenArgs = &args;
  return XERR_PERM;
}
void reset(XErr result) {
  basicCalls = elevatedCalls = 0;
  basicResult = result;
  seenHandle = nullptr;
  seenArgs = nullptr;
}
} // namespace fake

TEST(XprocCreateChoice, OnlyTheElevationErrorLeadsToTheElevatedStart) {
  xerrLibInit();
  XprocHandle h{};
  const Args args{"p", "a"};

  fake::reset(100740);
  EXPECT_EQ(xprocdetail::create(&h, args, fake::basic, fake::elevated), XERR_PERM);
  EXPECT_EQ(fake::basicCalls, 1);
  EXPECT_EQ(fake::elevatedCalls, 1);
  EXPECT_EQ(fake::seenHandle, &h);
  EXPECT_EQ(fake::seenArgs, &args);

  for (XErr other : std::vector<XErr>{XERR_SUCCESS, XERR_NOENT, XERR_ACCES, 100741, 100739}) {
    SCOPED_TRACE(other);
    fake::reset(other);
    EXPECT_EQ(xprocdetail::create(&h, args, fake::basic, fake::elevated), other);
    EXPECT_EQ(fake::basicCalls, 1);
    EXPECT_EQ(fake::elevatedCalls, 0);
  }

  fake::reset(100740);
  EXPECT_EQ(xprocdetail::create(&h, Args{}, fake::basic, fake::elevated), XERR_INVAL);
  EXPECT_EQ(fake::basicCalls + fake::elevatedCalls, 0);
}

TEST_F(XprocTest, EmptyVectorStartsNothingLogsNothingAndKeepsTheHandle) {
  XprocHandle h{};
  std::memset(&h, 0x5A, sizeof h);
  XprocHandle before = h;
  EXPECT_EQ(xprocCreate(&h, Args{}), XERR_INVAL);
  EXPECT_EQ(std::memcmp(&h, &before, sizeof h), 0);
  EXPECT_EQ(xprocCreate(nullptr, Args{}), XERR_INVAL);
  EXPECT_TRUE(CaptureLogger::lines().empty());
}

// ---------------------------------------------------------------------------------------
// Real children

TEST_F(XprocTest, ChildReceivesTheVectorAsItsRuntimeParsesTheCommandLine) {
  // What the child sees: on POSIX the vector itself; under Windows the C runtime's parse of
  // the quoted line, where a backslash stands for itself unless a double quote follows it,
  // so the doubled ones inside an element stay doubled.
  struct Case {
    std::string element;
    std::string windowsSees;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"with space", "with space"},
      {"say \"hi\"", "say \"hi\""},
      {"", ""},
      {"dir\\", "dir\\"},
      {"a\\b", "a\\\\b"},
      {"x\\\"y", "x\\\"y"},
      {"\\\\", "\\\\"},
      {"tab\tin", "tab\tin"},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
  };
  const std::string out = report("args");
  Args args{childProgram(), "args", out};
  Args expected;
  for (const Case& c : cases) {
    args.push_back(c.element);
    expected.push_back(onWindows ? c.windowsSees : c.element);
  }
  const std::optional<std::string> seen = runChild(args, out);
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(splitNul(*seen), expected);
  EXPECT_TRUE(CaptureLogger::lines().empty());
}

TEST_F(XprocTest, WaitReadsTheExitCodeAndClosesTheHandle) {
  for (std::uint32_t wanted : {0u, 1u, 42u, 255u}) {
    SCOPED_TRACE(wanted);
    Child child;
    ASSERT_EQ(child.start({childProgram(), "exit", std::to_string(wanted)}), XERR_SUCCESS);
    EXPECT_TRUE(stillOpen(child.h));
    std::uint32_t code = 0xDEADBEEF;
    ASSERT_EQ(child.wait(&code), XERR_SUCCESS);
    EXPECT_EQ(code, wanted);
    EXPECT_FALSE(stillOpen(child.h));
  }
}

TEST_F(XprocTest, WaitWithoutExitCodeAddressStillClosesTheHandle) {
  Child child;
  ASSERT_EQ(child.start({childProgram(), "exit", "3"}), XERR_SUCCESS);
  ASSERT_EQ(child.wait(nullptr), XERR_SUCCESS);
  EXPECT_FALSE(stillOpen(child.h));
#if !defined(_WIN32)
  // The child is gone for good: a second wait has nothing to reap. (Under Windows the closed
  // handle's value may already name something else, so it is not waited on again.)
  std::uint32_t code = 77;
  EXPECT_EQ(xprocWait(&child.h, &code), XERR_CHILD);
  EXPECT_EQ(code, 77u);
  EXPECT_EQ(CaptureLogger::count("xprocWait failed with 10 XERR_CHILD"), 1u);
#endif
}

TEST_F(XprocTest, KillThenWaitReportsTheKillExitCode) {
  Child child;
  ASSERT_EQ(child.start({childProgram(), "sleep", "30"}), XERR_SUCCESS);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(xprocKill(&child.h, 7), XERR_SUCCESS);
  EXPECT_TRUE(stillOpen(child.h)); // the kill neither waits nor closes
  std::uint32_t code = 0;
  ASSERT_EQ(child.wait(&code), XERR_SUCCESS);
  EXPECT_EQ(code, 7u);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(25));
  EXPECT_TRUE(CaptureLogger::lines().empty());
}

TEST_F(XprocTest, NullHandleAddressStartsTheProgramAnyway) {
  const std::string out = report("detached");
  ASSERT_EQ(xprocCreate(nullptr, {childProgram(), "args", out, "unattended"}), XERR_SUCCESS);
  // Nobody can wait for it: watch for its report instead.
  const std::string wanted = std::string("unattended") + '\0';
  std::optional<std::string> seen;
  const auto deadline = std::chrono::steady_clock::now() + childDeadline;
  while (std::chrono::steady_clock::now() < deadline && (seen = readFile(out)) != wanted)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(seen, wanted);
#if !defined(_WIN32)
  // And it is no child of ours to be left a zombie: this process has no children at all.
  int status = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
#endif
}

// ---------------------------------------------------------------------------------------
// Failures and their messages

TEST_F(XprocTest, MissingProgramFailsOnceWithoutTheElevatedStart) {
  XprocHandle h{};
  std::memset(&h, 0x5A, sizeof h);
  const XprocHandle before = h;
  // By path in an existing directory: a bare name would be searched along PATH, where a
  // directory this user may not read turns "not found" into "access denied" on POSIX.
  const std::string missing = reportPath("missing") + (onWindows ? ".exe" : "");
  EXPECT_EQ(xprocCreate(&h, {missing, "a b"}), XERR_NOENT);
  EXPECT_EQ(std::memcmp(&h, &before, sizeof h), 0);

  const std::vector<testsupport::LogLine> lines = CaptureLogger::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "xprocCreate_basic: CreateProcessW failed: cmdline \"" + missing +
                               "\" \"a b\" GetLastError() 2");
  EXPECT_EQ(lines[0].level, XLOG_ERROR);
  EXPECT_EQ(lines[0].moduleId, 39);
  EXPECT_EQ(lines[0].function, "xprocCreate_basic");
  EXPECT_EQ(lines[0].file, sourceFile);
  EXPECT_EQ(CaptureLogger::count("ShellExecuteEx"), 0u);
}

TEST_F(XprocTest, MessagesAreBuiltOnlyWhenTheLoggerEnablesThem) {
  CaptureLogger::setMaxLevel(-1);
  XprocHandle none{};
  EXPECT_EQ(xprocCreate(&none, {reportPath("missing")}), XERR_NOENT);
  EXPECT_EQ(xprocKill(&none, 1), XERR_BADF);
  EXPECT_TRUE(CaptureLogger::lines().empty());
  const auto queries = CaptureLogger::queries();
  ASSERT_EQ(queries.size(), 2u);
  for (const auto& q : queries) {
    EXPECT_EQ(q.moduleId, 39);
    EXPECT_EQ(q.level, XLOG_ERROR);
  }
}

TEST_F(XprocTest, WaitAndKillOnAHandleThatNamesNoProcessFailWithBadHandle) {
  // A zero handle: a null HANDLE under Windows; under POSIX a pid that waitpid and kill
  // would take for "the whole process group", which must never be signalled or reaped.
  XprocHandle none{};
  std::uint32_t code = 77;
  EXPECT_EQ(xprocWait(&none, &code), XERR_BADF);
  EXPECT_EQ(code, 77u);
  EXPECT_EQ(xprocWait(&none, nullptr), XERR_BADF);
  EXPECT_EQ(xprocKill(&none, 7), XERR_BADF);

  const std::vector<testsupport::LogLine> lines = CaptureLogger::lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "xprocWait failed with 9 XERR_BADF");
  EXPECT_EQ(lines[0].function, "xprocWait");
  EXPECT_EQ(lines[1].text, "xprocWait failed with 9 XERR_BADF");
  EXPECT_EQ(lines[2].text, "xprocKill: TerminateProcess failed err=9 [XERR_BADF]");
  EXPECT_EQ(lines[2].function, "xprocKill");
  for (const auto& line : lines) {
    EXPECT_EQ(line.moduleId, 39);
    EXPECT_EQ(line.level, XLOG_ERROR);
    EXPECT_EQ(line.file, sourceFile);
  }
}

// ---------------------------------------------------------------------------------------
// Elevated start

TEST_F(XprocTest, ElevatedStartRunsTheFileWithQuotedParametersOrIsRefused) {
  const std::string out = report("elevated");
  const Args args{childProgram(), "args", out, "two words", "q\"uote"};
  XprocHandle h{};
  const XErr e = xprocCreate_elevated_basic(&h, args);
#if defined(_WIN32)
  // Under Wine the process already holds an administrator's token, so "runas" starts the
  // program at once without asking anyone.
  const bool mayRun = true;
#else
  const bool mayRun = geteuid() == 0;
#endif
  if (!mayRun) {
    EXPECT_EQ(e, XERR_PERM);
    const XprocHandle untouched{};
    EXPECT_EQ(std::memcmp(&h, &untouched, sizeof h), 0);
    EXPECT_EQ(CaptureLogger::count("xprocCreate_elevated_basic: ShellExecuteEx failed: filename " +
                                   args[0] + " parameters \"args\" \"" + out +
                                   "\" \"two words\" \"q\\\"uote\" GetLastError() 1"),
              1u);
    return;
  }
  ASSERT_EQ(e, XERR_SUCCESS);
  Child child;
  child.h = h;
  child.open = true;
  std::uint32_t code = 99;
  ASSERT_EQ(child.wait(&code), XERR_SUCCESS);
  EXPECT_EQ(code, 0u);
  const std::optional<std::string> seen = readFile(out);
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(splitNul(*seen), (Args{"two words", "q\"uote"}));
  EXPECT_TRUE(CaptureLogger::lines().empty());
}

// ---------------------------------------------------------------------------------------
// Environment and process id

TEST_F(XprocTest, EnvironmentChangesReachLaterChildren) {
  const char* name = "XPROC_TEST_VARIABLE";
  auto childSees = [&](const char* variable) {
    const std::string out = report("env");
    return runChild({childProgram(), "env", out, variable}, out);
  };
  const std::string set = std::string("set") + '\0';

  ASSERT_EQ(xprocSetEnv(name, "first"), XERR_SUCCESS);
  ASSERT_NE(std::getenv(name), nullptr);
  EXPECT_STREQ(std::getenv(name), "first");
  EXPECT_EQ(childSees(name), set + "first");

  // Replaced, with an equals sign in the value: only the first one separates.
  ASSERT_EQ(xprocSetEnv(name, "x=y"), XERR_SUCCESS);
  EXPECT_EQ(childSees(name), set + "x=y");

  ASSERT_EQ(xprocSetEnv(name, "w\xC3\xA4rme"), XERR_SUCCESS);
  EXPECT_STREQ(std::getenv(name), "w\xC3\xA4rme");
#if !defined(_WIN32)
  // Under Wine the runtime copies a narrow assignment into the process environment through
  // the ANSI code page whatever the C locale says, so a child there sees the bytes as
  // Latin-1; this half runs where no such copy is made.
  EXPECT_EQ(childSees(name), set + "w\xC3\xA4rme");
#endif

  // An empty value removes the variable.
  ASSERT_EQ(xprocSetEnv(name, ""), XERR_SUCCESS);
  EXPECT_EQ(std::getenv(name), nullptr);
  EXPECT_EQ(childSees(name), std::optional<std::string>("unset"));
  // Removing what is not there is no failure.
  EXPECT_EQ(xprocSetEnv(name, ""), XERR_SUCCESS);

  // A name holding "=" is cut at it, and the rest joins the value.
  ASSERT_EQ(xprocSetEnv("XPROC_TEST_A=B", "c"), XERR_SUCCESS);
  EXPECT_EQ(childSees("XPROC_TEST_A"), set + "B=c");
  EXPECT_EQ(xprocSetEnv("XPROC_TEST_A", ""), XERR_SUCCESS);

  EXPECT_NE(xprocSetEnv("", "value"), XERR_SUCCESS);
  EXPECT_TRUE(CaptureLogger::lines().empty());
}

} // namespace
