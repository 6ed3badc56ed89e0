// Paths, directories and files on real files in a temporary directory per test. What the
// layer did is checked through std::filesystem and C stdio, not through the layer.
#include "xpl/Xfile.h"
#include "tests/support/CaptureLogger.h"
#include "tests/support/Files.h"

#include <gtest/gtest.h>

#include <algorithm>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#endif

using testsupport::readFile;
using testsupport::writeFile;

namespace {
// A path written with '/' for the separator.
std::string native(std::string path) {
  std::replace(path.begin(), path.end(), '/', XPL_PATH_SEPARATOR);
  return path;
}

class XfileTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(xerrLibInit(), XERR_SUCCESS); }
  void TearDown() override { std::filesystem::current_path(start); }
  // A name in the test's directory, written with '/' for the separator.
  std::string at(const std::string& name) { return dir.at(native(name)); }
  bool isDirectory(const std::string& name) {
    return std::filesystem::is_directory(testsupport::nativePath(at(name)));
  }
  testsupport::TempDir dir{"xfile"};
  const std::filesystem::path start = std::filesystem::current_path();
};

TEST_F(XfileTest, FullPathFoldsDotsAndResolvesAgainstTheCurrentDirectory) {
  // Pairs of a path and its full path.
#if defined(_WIN32)
  const char* const cases[] = {"C:\\a\\.\\b\\..\\c", "C:\\a\\c", "C:/a/b",
                               "C:\\a\\b",           "C:\\a\\",  "C:\\a\\"};
#else
  const char* const cases[] = {"/a/./b/../c", "/a/c", "//a//b/", "/a/b/",
                               "/../..",      "/",    "/a/b/..", "/a"};
#endif
  std::string full;
  for (std::size_t i = 0; i < std::size(cases); i += 2) {
    ASSERT_EQ(xfileGetFullPath(cases[i], full), XERR_SUCCESS) << cases[i];
    EXPECT_EQ(full, cases[i + 1]);
  }
  std::filesystem::current_path(testsupport::nativePath(dir.path()));
  // The recursive creation resolves a relative path against the current directory first.
  EXPECT_EQ(xfileMkdirRecursive(native("logs/today"), 0), XERR_SUCCESS);
  EXPECT_TRUE(isDirectory("logs/today"));
}

TEST_F(XfileTest, DirectoriesAreMadeAndRemovedWithTheirBenignFailuresForgiven) {
  writeFile(at("plain"), "x");
  EXPECT_EQ(xfileMkdir(at("d"), 0), XERR_SUCCESS);
  EXPECT_EQ(xfileMkdir(at("d"), 0), XERR_SUCCESS);
  EXPECT_EQ(xfileMkdir(at("plain"), 0), XERR_SUCCESS);
  EXPECT_EQ(xfileRmdir(at("d")), XERR_SUCCESS);
  EXPECT_FALSE(isDirectory("d"));

  // Every missing level, a trailing separator's empty last piece, and a plain file in the
  // way: the recursive creation succeeds whatever it could make.
  EXPECT_EQ(xfileMkdirRecursive(at("a/b/c/"), 0), XERR_SUCCESS);
  EXPECT_TRUE(isDirectory("a/b/c"));
  EXPECT_EQ(xfileMkdirRecursive(at("plain/sub"), 0), XERR_SUCCESS);
  EXPECT_FALSE(isDirectory("plain/sub"));

  // Deleting forgives a missing file, not a missing directory.
  EXPECT_EQ(xfileDelete(at("plain")), XERR_SUCCESS);
  EXPECT_FALSE(testsupport::fileExists(at("plain")));
  EXPECT_EQ(xfileDelete(at("plain")), XERR_SUCCESS);
  EXPECT_EQ(xfileDelete(at("nodir/f")), XERR_NOENT);
}

TEST_F(XfileTest, OpenPreparesTheParentDirectoryForEveryModeButReadAndIsInherited) {
  for (const XfileOpenMode mode :
       {XFILE_MODE_READ, XFILE_MODE_READWRITE, XFILE_MODE_APPEND, XFILE_MODE_TRUNCATE,
        XFILE_MODE_READWRITE_EXISTING, XfileOpenMode(9)}) {
    const XErr expected =
        mode >= XFILE_MODE_READWRITE && mode <= XFILE_MODE_TRUNCATE ? XERR_SUCCESS : XERR_NOENT;
    SCOPED_TRACE(mode);
    const std::string parent = "m" + std::to_string(mode) + "/new";
    XfileHandle handle{&dir};
    ASSERT_EQ(xfileOpen(handle, at(parent + "/f"), mode), expected);
    EXPECT_EQ(isDirectory(parent), mode != XFILE_MODE_READ);
    if (expected != XERR_SUCCESS) {
      EXPECT_EQ(handle.platformHandle, &dir);
      continue;
    }
    // Child processes inherit it, as the process layer starts them.
#if defined(_WIN32)
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(handle.platformHandle, &flags) &&
                (flags & HANDLE_FLAG_INHERIT));
#else
    EXPECT_EQ(fcntl(int(reinterpret_cast<std::intptr_t>(handle.platformHandle)), F_GETFD), 0);
#endif
    EXPECT_EQ(xfileClose(handle), XERR_SUCCESS);
  }
}

TEST_F(XfileTest, ModesPlaceReadsAndWritesWhereTheySay) {
  writeFile(at("f"), "abcdef");
  XfileHandle rw{}, append{};
  ASSERT_EQ(xfileOpen(rw, at("f"), XFILE_MODE_READWRITE), XERR_SUCCESS);
  ASSERT_EQ(xfileOpen(append, at("f"), XFILE_MODE_APPEND), XERR_SUCCESS);
  char got[8] = {};
  std::uint64_t count = 0, position = 0;
  EXPECT_EQ(xfileReadAll(rw, got, 3), XERR_SUCCESS);
  EXPECT_EQ(xfileWriteAll(rw, "XY", 2), XERR_SUCCESS);
  EXPECT_EQ(xfileWriteAll(append, "112233", 6), XERR_SUCCESS);
  EXPECT_NE(xfileRead(append, got, 1, count), XERR_SUCCESS) << "an appending handle only writes";
  EXPECT_EQ(xfileClose(append), XERR_SUCCESS);
  EXPECT_EQ(readFile(at("f")), "abcXYf112233");

  // Seeks from each origin, and reads up to the end of the file.
  EXPECT_EQ(xfileSeek(rw, -3, XFILE_SEEK_END, position), XERR_SUCCESS);
  EXPECT_EQ(xfileSeek(rw, 1, XFILE_SEEK_CURRENT, position), XERR_SUCCESS);
  EXPECT_EQ(position, 10u);
  EXPECT_EQ(xfileRead(rw, got, sizeof got, count), XERR_SUCCESS);
  EXPECT_EQ(std::string(got, count), "33");
  EXPECT_EQ(xfileRead(rw, got, sizeof got, count), XERR_SUCCESS);
  EXPECT_EQ(count, 0u) << "end of file is a successful read of nothing";
  EXPECT_EQ(xfileSeek(rw, 6, XFILE_SEEK_BEGIN, position), XERR_SUCCESS);
  EXPECT_EQ(xfileReadAll(rw, got, 8), XERR_NODATA);
  EXPECT_EQ(std::string(got, 6), "112233");
  EXPECT_EQ(xfileSeek(rw, 0, 3, position), XERR_INVAL);
  EXPECT_EQ(xfileClose(rw), XERR_SUCCESS);

  ASSERT_EQ(xfileOpen(rw, at("f"), XFILE_MODE_TRUNCATE), XERR_SUCCESS);
  EXPECT_EQ(xfileClose(rw), XERR_SUCCESS);
  EXPECT_EQ(readFile(at("f")), "");
}

TEST_F(XfileTest, MoveFlushesThenReplacesAndWarnsOnlyWhenTheFlushFails) {
  testsupport::CaptureLogger::install(XLOG_WARNING);
  writeFile(at("dst"), "old");
  // The log rotation: the appending handle keeps writing into the moved file.
  XfileHandle log{};
  ASSERT_EQ(xfileOpen(log, at("app.log"), XFILE_MODE_APPEND), XERR_SUCCESS);
  EXPECT_EQ(xfileWriteAll(log, "first ", 6), XERR_SUCCESS);
  EXPECT_EQ(xfileMove(at("app.log"), at("dst")), XERR_SUCCESS);
  EXPECT_EQ(xfileWriteAll(log, "second", 6), XERR_SUCCESS);
  EXPECT_EQ(xfileClose(log), XERR_SUCCESS);
  EXPECT_EQ(readFile(at("dst")), "first second");

  EXPECT_EQ(xfileMove(at("missing"), at("target")), XERR_NOENT);
  const auto lines = testsupport::CaptureLogger::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].level == XLOG_WARNING && lines[0].moduleId == 31);
  EXPECT_EQ(lines[0].text, "Error in flushing file " + at("missing") + " to disk. Error = 2");
  // The flush opens for writing, so it makes a missing directory before it fails.
  EXPECT_EQ(xfileFlush(at("nodir/f")), XERR_NOENT);
  EXPECT_TRUE(isDirectory("nodir"));
}

TEST_F(XfileTest, CopyRefusesAnExistingTargetAndLeavesItAsItWas) {
  writeFile(at("src"), "source");
  writeFile(at("existing"), "keep me");
  EXPECT_EQ(xfileCopy(at("src"), at("copy")), XERR_SUCCESS);
  EXPECT_EQ(readFile(at("copy")), "source");
  EXPECT_EQ(xfileCopy(at("src"), at("existing")), XERR_EXIST);
  EXPECT_EQ(readFile(at("existing")), "keep me");
}
} // namespace
