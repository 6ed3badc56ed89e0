// Processes and environment: the quoting rule, the choice of start with stand-in starts, and
// real children (tests/support/XprocChild.cpp) that report what they received and saw.
#include "xpl/Xproc.h"
#include "tests/support/CaptureLogger.h"
#include "tests/support/Files.h"
#include "xpl/Xstr.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#if defined(_WIN32)
#include <windows.h>

#include <shellapi.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

using testsupport::CaptureLogger;
using Args = std::vector<std::string>;

namespace {
#if defined(_WIN32)
const std::string CHILD = "xproc_child.exe"; // Windows looks beside this binary first
#else
const std::string CHILD =
    (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "xproc_child").string();
#endif

Args loggedTexts() {
  Args texts;
  for (const testsupport::LogLine& line : CaptureLogger::lines()) {
    EXPECT_TRUE(line.moduleId == 39 && line.level == XLOG_ERROR) << line.text;
    texts.push_back(line.text);
  }
  return texts;
}

class XprocTest : public ::testing::Test {
protected:
  void SetUp() override {
    xerrLibInit();
    CaptureLogger::install(XLOG_VERBOSE);
  }
  // Runs the child to its end with these arguments after the report path; gives its report.
  std::string run(Args args, std::uint32_t wantedCode = 0) {
    args.insert(args.begin(), {CHILD, std::to_string(wantedCode), out});
    XprocHandle handle{};
    std::uint32_t code = 99;
    EXPECT_EQ(xprocCreate(&handle, args), XERR_SUCCESS);
    EXPECT_EQ(xprocWait(&handle, &code), XERR_SUCCESS);
    EXPECT_EQ(code, wantedCode);
    return testsupport::readFile(out);
  }
  void TearDown() override { std::remove(out.c_str()); }
  // In the current directory, which the child shares: no separator for the quoting to double.
  const std::string out = "xproc-report-" + std::to_string(xprocGetPid());
};

TEST(XprocQuote, EveryElementIsQuotedWithBackslashesAndQuotesEscaped) {
  const std::pair<Args, const char*> cases[] = {
      {{"C:\\Tools\\run.exe", "-v", "say \"hi\""}, R"("C:\\Tools\\run.exe" "-v" "say \"hi\"")"},
      {{"a", "", "b\\", "\\\""}, R"("a" "" "b\\" "\\\"")"},
      {{}, ""}};
  for (const auto& [args, line] : cases)
    EXPECT_EQ(xprocCommandLine(args), line);
  EXPECT_EQ(xprocCommandLine({"C:\\a b\\p.exe"}, 1), "");
  EXPECT_EQ(xprocCommandLine({"p", "-v", "x y"}, 1), R"("-v" "x y")");
}

TEST(XprocCreateChoice, OnlyTheElevationErrorLeadsToTheElevatedStart) {
  xerrLibInit();
  static XErr basicResult;
  static std::string calls;
  const auto basic = [](XprocHandle*, const Args&) { return calls += 'b', basicResult; };
  const auto elevated = [](XprocHandle*, const Args&) { return calls += 'e', XErr{XERR_PERM}; };
  for (const XErr result : {XErr{100740}, XErr{740}, XErr{XERR_SUCCESS}}) {
    basicResult = result;
    EXPECT_EQ(xprocdetail::create(nullptr, {"p"}, basic, elevated),
              result == 100740 ? XERR_PERM : result);
  }
  EXPECT_EQ(xprocdetail::create(nullptr, {}, basic, elevated), XERR_INVAL);
  EXPECT_EQ(calls, "bebb") << "the elevated start only after the elevation error";
}

TEST_F(XprocTest, ChildReceivesTheVectorAndTheEnvironmentSetBeforeItStarts) {
  const Args elements{"plain", "with space", "say \"hi\"", "",       "dir\\",
                      "a\\b",  "x\\\"y",     "\\\\",       "tab\tin"};
  // What the child sees: on POSIX the elements; under Windows the system's own parse of the
  // command line, where a backslash stands for itself unless a double quote follows it.
  std::string received;
#if defined(_WIN32)
  int count = 0;
  wchar_t** argv =
      CommandLineToArgvW(xstrUtf8ToWide("p " + xprocCommandLine(elements)).c_str(), &count);
  for (int i = 1; i < count; ++i)
    received += xstrWideToUtf8(argv[i]) + '\0';
  LocalFree(argv);
#else
  for (const std::string& element : elements)
    received += element + '\0';
#endif
  // The variable's name, its value, and what the child sees.
  const char* const settings[] = {"XPROC",   "first", "first", "XPROC", "x=y", "x=y",
                                  "XPROC=B", "c",     "B=c",   "XPROC", "",    "<unset>"};
  for (std::size_t i = 0; i < std::size(settings); i += 3) {
    SCOPED_TRACE(settings[i + 1]);
    ASSERT_EQ(xprocSetEnv(settings[i], settings[i + 1]), XERR_SUCCESS);
    EXPECT_EQ(run(elements), received + settings[i + 2]);
  }
}

TEST_F(XprocTest, WaitGivesTheExitCodeOrTheKillsAndReapsTheChild) {
  EXPECT_EQ(run({}, 255), "<unset>");
  XprocHandle handle{};
  ASSERT_EQ(xprocCreate(&handle, {CHILD, "sleep"}), XERR_SUCCESS);
  ASSERT_EQ(xprocKill(&handle, 7), XERR_SUCCESS);
  std::uint32_t code = 0;
  ASSERT_EQ(xprocWait(&handle, &code), XERR_SUCCESS);
  EXPECT_EQ(code, 7u);
  ASSERT_EQ(xprocCreate(&handle, {CHILD, "3"}), XERR_SUCCESS);
  EXPECT_EQ(xprocWait(&handle, nullptr), XERR_SUCCESS);
  EXPECT_EQ(loggedTexts(), Args{});
}

TEST_F(XprocTest, NullHandleAddressStartsTheProgramUnattended) {
  ASSERT_EQ(xprocCreate(nullptr, {CHILD, "0", out, "unattended"}), XERR_SUCCESS);
  const std::string wanted = std::string("unattended") + '\0';
  for (int i = 0; i < 600 && testsupport::readFile(out).compare(0, wanted.size(), wanted) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(testsupport::readFile(out).compare(0, wanted.size(), wanted), 0);
#if !defined(_WIN32)
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child of ours is left a zombie";
#endif
}

TEST_F(XprocTest, FailuresGiveTheirErrorLeaveTheHandleAndSaySo) {
  const std::string missing = "./" + out + "-missing";
  XprocHandle handle;
  std::memset(&handle, 0x5A, sizeof handle);
  const XprocHandle before = handle;
  EXPECT_EQ(xprocCreate(&handle, {missing, "a b"}), XERR_NOENT);
  EXPECT_EQ(std::memcmp(&handle, &before, sizeof handle), 0);
  EXPECT_EQ(loggedTexts(), Args{"xprocCreate_basic: CreateProcessW failed: cmdline \"" + missing +
                                "\" \"a b\" GetLastError() 2"}); // and no elevated start

  CaptureLogger::clear();
  XprocHandle none{};
  EXPECT_EQ(xprocWait(&none, nullptr), XERR_BADF);
  EXPECT_EQ(xprocKill(&none, 7), XERR_BADF);
  EXPECT_EQ(loggedTexts(), (Args{"xprocWait failed with 9 XERR_BADF",
                                 "xprocKill: TerminateProcess failed err=9 [XERR_BADF]"}));
}

TEST_F(XprocTest, ElevatedStartRunsTheFileWithQuotedParametersOrIsRefused) {
  const Args args{CHILD, "0", out, "two words", "q\"uote"};
  XprocHandle handle{};
  const XErr e = xprocCreate_elevated_basic(&handle, args);
#if !defined(_WIN32)
  // Only root runs it: anyone else would need a consent that nobody is there to give.
  if (geteuid() != 0) {
    EXPECT_EQ(e, XERR_PERM);
    return;
  }
#endif
  // Under Wine the process holds an administrator's token already: nothing asks.
  ASSERT_EQ(e, XERR_SUCCESS);
  ASSERT_EQ(xprocWait(&handle, nullptr), XERR_SUCCESS);
  EXPECT_EQ(testsupport::readFile(out),
            std::string("two words") + '\0' + "q\"uote" + '\0' + "<unset>");
}
} // namespace
