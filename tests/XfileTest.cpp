// Paths, directories and files on real files in a temporary directory per test. What the
// layer did is checked through std::filesystem and C stdio, not through the layer.
#include "xpl/Xfile.h"
#include "tests/support/CaptureLogger.h"
#include "tests/support/Files.h"
#include "xpl/Xlog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

using testsupport::CaptureLogger;
namespace fs = std::filesystem;

namespace {
const char sep = XPL_PATH_SEPARATOR;

// A value no operation would produce, to see that a failure left an out parameter alone.
constexpr std::uint64_t untouched = 0x5a5a5a5a5a5a5a5aull;
void* const untouchedHandle = reinterpret_cast<void*>(std::intptr_t{0x5a5a});

#if defined(_WIN32)
std::string utf8Of(const wchar_t* wide) {
  std::string text(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), static_cast<int>(text.size()), nullptr,
                      nullptr);
  text.resize(text.size() - 1);
  return text;
}
#endif

std::string currentDirectory() {
#if defined(_WIN32)
  wchar_t buffer[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, buffer);
  return utf8Of(buffer);
#else
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
#endif
}

void changeDirectory(const std::string& path) {
#if defined(_WIN32)
  ASSERT_TRUE(SetCurrentDirectoryW(testsupport::nativePath(path).c_str()));
#else
  ASSERT_EQ(chdir(path.c_str()), 0);
#endif
}

class XfileTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { ASSERT_EQ(xerrLibInit(), XERR_SUCCESS); }

  void SetUp() override { startDirectory_ = currentDirectory(); }

  void TearDown() override { changeDirectory(startDirectory_); }

  std::string at(const std::string& name) const { return root_ + sep + name; }

  testsupport::TempDir dir_{"xfile"};
  const std::string root_ = dir_.path();
  std::string startDirectory_;
};

// --- Paths and directories ---

TEST_F(XfileTest, FullPathFoldsDotsAndResolvesAgainstTheCurrentDirectory) {
  std::string full = "unchanged";
#if defined(_WIN32)
  ASSERT_EQ(xfileGetFullPath("C:\\a\\.\\b\\..\\c", full), XERR_SUCCESS);
  EXPECT_EQ(full, "C:\\a\\c");
  ASSERT_EQ(xfileGetFullPath("C:/a/b", full), XERR_SUCCESS);
  EXPECT_EQ(full, "C:\\a\\b");
#else
  ASSERT_EQ(xfileGetFullPath("/a/./b/../c", full), XERR_SUCCESS);
  EXPECT_EQ(full, "/a/c");
  ASSERT_EQ(xfileGetFullPath("//a//b/", full), XERR_SUCCESS);
  EXPECT_EQ(full, "/a/b/") << "a trailing separator is kept, doubled ones are not";
  ASSERT_EQ(xfileGetFullPath("/../..", full), XERR_SUCCESS);
  EXPECT_EQ(full, "/");
  full = "unchanged";
  EXPECT_EQ(xfileGetFullPath("", full), XERR_NOENT);
  EXPECT_EQ(full, "unchanged");
#endif
  changeDirectory(root_);
  const std::string cwd = currentDirectory();
  ASSERT_EQ(xfileGetFullPath(std::string("missing") + sep + ".." + sep + "y", full), XERR_SUCCESS);
  EXPECT_EQ(full, cwd + sep + "y") << "the path need not exist";
}

TEST_F(XfileTest, ExistsTellsFilesAndDirectoriesFromMissingOnes) {
  testsupport::writeFile(at("file"), "x");
  EXPECT_EQ(xfileExists(root_), XERR_SUCCESS);
  EXPECT_EQ(xfileExists(at("file")), XERR_SUCCESS);
  EXPECT_EQ(xfileExists(at("missing")), XERR_NOENT);
  EXPECT_EQ(xfileExists(at("missing") + sep + "file"), XERR_NOENT);
}

TEST_F(XfileTest, MkdirCountsAnExistingNameAsSuccessAndRmdirRemovesOnlyEmptyDirectories) {
  ASSERT_EQ(xfileMkdir(at("d"), 0), XERR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(testsupport::nativePath(at("d"))));
  EXPECT_EQ(xfileMkdir(at("d"), 0), XERR_SUCCESS);
  testsupport::writeFile(at("plain"), "x");
  EXPECT_EQ(xfileMkdir(at("plain"), 0), XERR_SUCCESS);
  EXPECT_TRUE(fs::is_regular_file(testsupport::nativePath(at("plain"))));
  EXPECT_EQ(xfileMkdir(at("no") + sep + "parent", 0), XERR_NOENT);

  testsupport::writeFile(at("d") + sep + "inside", "x");
  EXPECT_EQ(xfileRmdir(at("d")), XERR_NOTEMPTY);
  EXPECT_TRUE(fs::exists(testsupport::nativePath(at("d") + sep + "inside")));
  fs::remove(testsupport::nativePath(at("d") + sep + "inside"));
  EXPECT_EQ(xfileRmdir(at("d")), XERR_SUCCESS);
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("d"))));
  EXPECT_EQ(xfileRmdir(at("d")), XERR_NOENT);
}

TEST_F(XfileTest, MkdirRecursiveCreatesEveryMissingLevel) {
  ASSERT_EQ(xfileMkdir(at("a"), 0), XERR_SUCCESS);
  EXPECT_EQ(xfileMkdirRecursive(at("a") + sep + "b" + sep + "c", 0), XERR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(testsupport::nativePath(at("a") + sep + "b" + sep + "c")));

  // A trailing separator leaves one empty last piece; the directory before it is made.
  EXPECT_EQ(xfileMkdirRecursive(at("t") + sep + "u" + sep, 0), XERR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(testsupport::nativePath(at("t") + sep + "u")));

  // Non-ASCII names reach the file system as the same characters.
  const std::string unicode = "d\xc3\xafr-\xe5\x90\x8d";
  EXPECT_EQ(xfileMkdirRecursive(at(unicode) + sep + "x", 0), XERR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(testsupport::nativePath(at(unicode) + sep + "x")));

  changeDirectory(root_);
  EXPECT_EQ(xfileMkdirRecursive(std::string("logs") + sep + "today", 0), XERR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(testsupport::nativePath(at("logs") + sep + "today")));
}

TEST_F(XfileTest, MkdirRecursiveSucceedsEvenWhenNothingCanBeCreated) {
  testsupport::writeFile(at("plain"), "x");
  EXPECT_EQ(xfileMkdirRecursive(at("plain") + sep + "sub" + sep + "deeper", 0), XERR_SUCCESS);
  EXPECT_TRUE(fs::is_regular_file(testsupport::nativePath(at("plain"))));
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("plain") + sep + "sub")));
}

// --- Opening ---

TEST_F(XfileTest, OpenPreparesParentDirectoriesExceptForReading) {
  XfileHandle handle{untouchedHandle};
  const std::string logPath = at("new") + sep + "deeper" + sep + "app.log";
  ASSERT_EQ(xfileOpen(handle, logPath, XFILE_MODE_APPEND), XERR_SUCCESS);
  EXPECT_NE(handle.platformHandle, untouchedHandle);
  EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
  EXPECT_TRUE(fs::is_regular_file(testsupport::nativePath(logPath)));
  EXPECT_EQ(fs::file_size(testsupport::nativePath(logPath)), 0u);

  handle.platformHandle = untouchedHandle;
  EXPECT_EQ(xfileOpen(handle, at("gone") + sep + "f", XFILE_MODE_READ), XERR_NOENT);
  EXPECT_EQ(handle.platformHandle, untouchedHandle);
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("gone"))));

  // Any other mode reads an existing file, but still prepares the directory.
  EXPECT_EQ(xfileOpen(handle, at("other") + sep + "f", static_cast<XfileOpenMode>(9)), XERR_NOENT);
  EXPECT_EQ(xfileOpen(handle, at("rwe") + sep + "f", XFILE_MODE_READWRITE_EXISTING), XERR_NOENT);
  EXPECT_EQ(handle.platformHandle, untouchedHandle);
  EXPECT_TRUE(fs::is_directory(testsupport::nativePath(at("other"))));
  EXPECT_TRUE(fs::is_directory(testsupport::nativePath(at("rwe"))));
}

TEST_F(XfileTest, TruncateEmptiesAndReadWriteKeepsContentFromOffsetZero) {
  testsupport::writeFile(at("t"), "old content");
  XfileHandle handle{};
  ASSERT_EQ(xfileOpen(handle, at("t"), XFILE_MODE_TRUNCATE), XERR_SUCCESS);
  EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
  EXPECT_EQ(testsupport::readFile(at("t")), "");

  testsupport::writeFile(at("rw"), "abcdef");
  ASSERT_EQ(xfileOpen(handle, at("rw"), XFILE_MODE_READWRITE), XERR_SUCCESS);
  char got[3] = {};
  EXPECT_EQ(xfileReadAll(handle, got, 3), XERR_SUCCESS);
  EXPECT_EQ(std::string(got, 3), "abc");
  EXPECT_EQ(xfileWriteAll(handle, "XY", 2), XERR_SUCCESS);
  std::uint64_t size = untouched;
  EXPECT_EQ(xfileGetSize(handle, size), XERR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
  EXPECT_EQ(testsupport::readFile(at("rw")), "abcXYf");
}

TEST_F(XfileTest, AppendingHandlesWriteAfterExistingContentAndNeverOverEachOther) {
  testsupport::writeFile(at("log"), "abc");
  XfileHandle first{}, second{};
  ASSERT_EQ(xfileOpen(first, at("log"), XFILE_MODE_APPEND), XERR_SUCCESS);
  ASSERT_EQ(xfileOpen(second, at("log"), XFILE_MODE_APPEND), XERR_SUCCESS);
  std::uint64_t position = untouched;
  EXPECT_EQ(xfileSeek(first, 0, XFILE_SEEK_BEGIN, position), XERR_SUCCESS);
  EXPECT_EQ(position, 0u);
  std::uint64_t count = untouched;
  EXPECT_EQ(xfileWrite(first, "11", 2, count), XERR_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(xfileWrite(second, "22", 2, count), XERR_SUCCESS);
  EXPECT_EQ(xfileWrite(first, "33", 2, count), XERR_SUCCESS);

  // An appending handle only writes.
  char byte;
  count = untouched;
  EXPECT_NE(xfileRead(first, &byte, 1, count), XERR_SUCCESS);
  EXPECT_EQ(count, untouched);
  EXPECT_EQ(xfileClose(first), XERR_SUCCESS);
  EXPECT_EQ(xfileClose(second), XERR_SUCCESS);
  EXPECT_EQ(testsupport::readFile(at("log")), "abc112233");
}

TEST_F(XfileTest, ReadsStopAtTheEndOfTheFile) {
  testsupport::writeFile(at("f"), "12345");
  XfileHandle handle{};
  ASSERT_EQ(xfileOpen(handle, at("f"), XFILE_MODE_READ), XERR_SUCCESS);
  std::uint64_t position = untouched;
  EXPECT_EQ(xfileSeek(handle, -2, XFILE_SEEK_END, position), XERR_SUCCESS);
  EXPECT_EQ(position, 3u);
  char buffer[8] = {};
  std::uint64_t count = untouched;
  EXPECT_EQ(xfileRead(handle, buffer, sizeof buffer, count), XERR_SUCCESS);
  EXPECT_EQ(count, 2u);
  count = untouched;
  EXPECT_EQ(xfileRead(handle, buffer, sizeof buffer, count), XERR_SUCCESS);
  EXPECT_EQ(count, 0u) << "end of file is a successful read of nothing";

  // Read-all past the end keeps what it got and says the data ran out.
  EXPECT_EQ(xfileSeek(handle, 1, XFILE_SEEK_BEGIN, position), XERR_SUCCESS);
  EXPECT_EQ(xfileReadAll(handle, buffer, 0), XERR_SUCCESS);
  EXPECT_EQ(xfileReadAll(handle, buffer, 6), XERR_NODATA);
  EXPECT_EQ(std::string(buffer, 4), "2345");
  EXPECT_EQ(xfileSeek(handle, 0, XFILE_SEEK_CURRENT, position), XERR_SUCCESS);
  EXPECT_EQ(position, 5u);

  // Failed seeks leave the position out parameter alone.
  position = untouched;
  EXPECT_NE(xfileSeek(handle, -1, XFILE_SEEK_BEGIN, position), XERR_SUCCESS);
  EXPECT_EQ(xfileSeek(handle, 0, 3, position), XERR_INVAL);
  EXPECT_EQ(position, untouched);
  EXPECT_NE(xfileWrite(handle, "x", 1, count), XERR_SUCCESS) << "a reading handle only reads";
  EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
}

TEST_F(XfileTest, OpenedHandlesAreInheritedByChildProcesses) {
  XfileHandle handle{};
  ASSERT_EQ(xfileOpen(handle, at("f"), XFILE_MODE_READWRITE), XERR_SUCCESS);
#if defined(_WIN32)
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(static_cast<HANDLE>(handle.platformHandle), &flags));
  EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);
#else
  const int flags =
      fcntl(static_cast<int>(reinterpret_cast<std::intptr_t>(handle.platformHandle)), F_GETFD);
  ASSERT_GE(flags, 0);
  EXPECT_EQ(flags & FD_CLOEXEC, 0);
#endif
  EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
}

#if !defined(_WIN32)
TEST_F(XfileTest, WriteToAFullDeviceReportsNoSpace) {
  XfileHandle handle{};
  ASSERT_EQ(xfileOpen(handle, "/dev/full", XFILE_MODE_READWRITE_EXISTING), XERR_SUCCESS);
  std::uint64_t count = untouched;
  EXPECT_EQ(xfileWrite(handle, "x", 1, count), XERR_NOSPC);
  EXPECT_EQ(count, untouched);
  EXPECT_EQ(xfileWriteAll(handle, "xyz", 3), XERR_NOSPC);
  EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
}
#endif

// --- Sizes, flush, move, copy, link, delete ---

TEST_F(XfileTest, SizeByPathReadsTheDirectoryEntry) {
  const std::uint64_t tenMiB = 10485760;
  std::vector<char> data(tenMiB, 'L');
  XfileHandle handle{};
  ASSERT_EQ(xfileOpen(handle, at("big.log"), XFILE_MODE_APPEND), XERR_SUCCESS);
  ASSERT_EQ(xfileWriteAll(handle, data.data(), data.size()), XERR_SUCCESS);
  std::uint64_t size = untouched;
  EXPECT_EQ(xfileGetSizeByPath(at("big.log"), size), XERR_SUCCESS) << "while open elsewhere";
  EXPECT_EQ(size, tenMiB);
  EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
  EXPECT_EQ(fs::file_size(testsupport::nativePath(at("big.log"))), tenMiB);

  size = untouched;
  EXPECT_EQ(xfileGetSizeByPath(at("missing"), size), XERR_NOENT);
  EXPECT_EQ(size, untouched);
}

TEST_F(XfileTest, FlushOfAPathInAMissingDirectoryCreatesItThenFails) {
  testsupport::writeFile(at("f"), "data");
  EXPECT_EQ(xfileFlush(at("f")), XERR_SUCCESS);
  EXPECT_EQ(testsupport::readFile(at("f")), "data");
  EXPECT_EQ(xfileFlush(at("nodir") + sep + "f"), XERR_NOENT);
  EXPECT_TRUE(fs::is_directory(testsupport::nativePath(at("nodir"))));
}

TEST_F(XfileTest, MoveReplacesTheTargetAndMovesAFileThatIsStillOpen) {
  testsupport::writeFile(at("src"), "new");
  testsupport::writeFile(at("dst"), "old");
  CaptureLogger::install(XLOG_VERBOSE);
  EXPECT_EQ(xfileMove(at("src"), at("dst")), XERR_SUCCESS);
  EXPECT_TRUE(CaptureLogger::lines().empty()) << "a successful flush logs nothing";
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("src"))));
  EXPECT_EQ(testsupport::readFile(at("dst")), "new");

  // The log rotation case: the appending handle keeps writing into the moved file.
  XfileHandle log{};
  ASSERT_EQ(xfileOpen(log, at("app.log"), XFILE_MODE_APPEND), XERR_SUCCESS);
  EXPECT_EQ(xfileWriteAll(log, "first ", 6), XERR_SUCCESS);
  EXPECT_EQ(xfileMove(at("app.log"), at("app.log.1")), XERR_SUCCESS);
  EXPECT_EQ(xfileWriteAll(log, "second", 6), XERR_SUCCESS);
  EXPECT_EQ(xfileClose(log), XERR_SUCCESS);
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("app.log"))));
  EXPECT_EQ(testsupport::readFile(at("app.log.1")), "first second");
}

TEST_F(XfileTest, MoveOfAMissingSourceWarnsAboutTheFlushAndReturnsTheMoveError) {
  CaptureLogger::install(XLOG_WARNING);
  EXPECT_EQ(xfileMove(at("missing"), at("target")), XERR_NOENT);
  const std::vector<testsupport::LogLine> lines = CaptureLogger::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, XLOG_WARNING);
  EXPECT_EQ(lines[0].moduleId, 31);
  EXPECT_EQ(lines[0].function, "xfileMove");
  const std::string source = std::string("xpl") + sep + "Xfile.cpp";
  EXPECT_EQ(lines[0].file, source);
  EXPECT_EQ(lines[0].format, "Error in flushing file %s to disk. Error = %d");
  EXPECT_EQ(lines[0].text, "Error in flushing file " + at("missing") + " to disk. Error = 2");
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("target"))));

  CaptureLogger::install(XLOG_ERROR);
  EXPECT_EQ(xfileMove(at("missing"), at("target")), XERR_NOENT);
  EXPECT_TRUE(CaptureLogger::lines().empty()) << "warning disabled";
}

TEST_F(XfileTest, CopyRefusesAnExistingTargetAndLeavesItUnchanged) {
  testsupport::writeFile(at("src"), "source");
  EXPECT_EQ(xfileCopy(at("src"), at("copy")), XERR_SUCCESS);
  EXPECT_EQ(testsupport::readFile(at("copy")), "source");
  EXPECT_EQ(testsupport::readFile(at("src")), "source");

  testsupport::writeFile(at("existing"), "keep me");
  EXPECT_EQ(xfileCopy(at("src"), at("existing")), XERR_EXIST);
  EXPECT_EQ(testsupport::readFile(at("existing")), "keep me");

  EXPECT_EQ(xfileCopy(at("missing"), at("never")), XERR_NOENT);
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("never"))));
}

TEST_F(XfileTest, HardLinkGivesTheSameFileASecondName) {
  testsupport::writeFile(at("one"), "shared");
  ASSERT_EQ(xfileHardLink(at("one"), at("two")), XERR_SUCCESS);
  EXPECT_TRUE(fs::equivalent(testsupport::nativePath(at("one")), testsupport::nativePath(at("two"))));
  testsupport::writeFile(at("one"), "changed");
  EXPECT_EQ(testsupport::readFile(at("two")), "changed");
  EXPECT_NE(xfileHardLink(at("missing"), at("three")), XERR_SUCCESS);
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("three"))));
}

TEST_F(XfileTest, DeleteForgivesAMissingFileButNotAMissingDirectory) {
  testsupport::writeFile(at("f"), "x");
  EXPECT_EQ(xfileDelete(at("f")), XERR_SUCCESS);
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("f"))));
  EXPECT_EQ(xfileDelete(at("f")), XERR_SUCCESS);
  EXPECT_EQ(xfileDelete(at("nodir") + sep + "f"), XERR_NOENT);

  // An open file can be deleted: every open shares deletion.
  XfileHandle handle{};
  ASSERT_EQ(xfileOpen(handle, at("open"), XFILE_MODE_READWRITE), XERR_SUCCESS);
  EXPECT_EQ(xfileDelete(at("open")), XERR_SUCCESS);
  EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
  EXPECT_FALSE(fs::exists(testsupport::nativePath(at("open"))));
}

} // namespace
