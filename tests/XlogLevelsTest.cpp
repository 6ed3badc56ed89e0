// Level specifications and the library's own isEnabled: what each item changes, what stops
// the walk, and what stays applied when it stops.
#include "tests/support/CaptureLogger.h"
#include "xpl/Xlog.h"
#include "xpl/XlogInternal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

void setAll(int level) {
  for (XlogModuleEntry& entry : xlogModules)
    entry.level = level;
}

// The levels of all modules as a string of digits, one per module.
std::string levels() {
  std::string s;
  for (const XlogModuleEntry& entry : xlogModules)
    s += static_cast<char>('0' + entry.level);
  return s;
}

std::string allAt(int level, int module = -1, int moduleLevel = 0) {
  std::string s(XLOG_MODULE_COUNT, static_cast<char>('0' + level));
  if (module >= 0)
    s[module] = static_cast<char>('0' + moduleLevel);
  return s;
}

} // namespace

TEST(XlogModules, TableHasTheFortyThreeNamesInOrder) {
  const char* names[] = {"AGA",   "APPC",  "AUD",   "BRIDGE", "CAM",    "CLD",   "CONF",  "CSM",
                         "DCRD",  "GCALL", "GR",    "GRM",    "HCALL",  "HST",   "IMAP",  "IMGD",
                         "INP",   "IPC",   "KMM",   "MIM",    "MNS",    "PGA",   "PGAIPC", "PLR",
                         "SER",   "UI",    "UTL",   "VMMGR",  "VMSG",   "WERH",  "XCOND", "XFILE",
                         "XLIB",  "XLOCK", "XLOG",  "XMEM",   "XMUTEX", "XPROC", "XSOCK", "XSTR",
                         "XTHR",  "XTIME", "XTIMER"};
  static_assert(sizeof names / sizeof names[0] == XLOG_MODULE_COUNT);
  for (int i = 0; i < XLOG_MODULE_COUNT; ++i)
    EXPECT_STREQ(xlogModules[i].name, names[i]) << i;
  EXPECT_STREQ(xlogModules[XLOG_MODULE_VMMGR].name, "VMMGR");
  EXPECT_STREQ(xlogModules[XLOG_MODULE_XSTR].name, "XSTR");
}

TEST(XlogSetLevels, LaterItemsOverrideEarlierOnes) {
  setAll(0);
  EXPECT_EQ(xlogSetLevels("*:I XMEM:D"), 0);
  EXPECT_EQ(levels(), allAt(2, XLOG_MODULE_XMEM, 3));
  setAll(0);
  EXPECT_EQ(xlogSetLevels("XMEM:D *:I"), 0);
  EXPECT_EQ(levels(), allAt(2));
  EXPECT_EQ(xlogSetLevels("VMMGR:V XLOG:E"), 0);
  EXPECT_EQ(xlogModules[XLOG_MODULE_VMMGR].level, XLOG_VERBOSE);
  EXPECT_EQ(xlogModules[XLOG_MODULE_XLOG].level, XLOG_ERROR);
}

TEST(XlogSetLevels, OnlyTheFirstCharacterOfTheLevelCounts) {
  setAll(0);
  EXPECT_EQ(xlogSetLevels("XMEM:Debug"), 0);
  EXPECT_EQ(xlogModules[XLOG_MODULE_XMEM].level, XLOG_DEBUG);
  EXPECT_EQ(xlogSetLevels("XMEM:Warn"), 0);
  EXPECT_EQ(xlogModules[XLOG_MODULE_XMEM].level, XLOG_WARNING);
}

TEST(XlogSetLevels, MalformedItemsAnswerTwentyTwo) {
  const char* malformed[] = {"XMEM:d", "XMEM:3", "XMEM:", "XMEM", "A:B:C", "", ":", "*:x"};
  for (const char* items : malformed) {
    SCOPED_TRACE(items);
    setAll(1);
    EXPECT_EQ(xlogSetLevels(items), 22);
    EXPECT_EQ(levels(), allAt(1));
  }
}

TEST(XlogSetLevels, UnknownOrMiscasedNamesChangeNothing) {
  for (const char* items : {"xmem:D", "FOO:D", "Xmem:D", "XME:D", "XMEMX:D"}) {
    SCOPED_TRACE(items);
    setAll(1);
    EXPECT_EQ(xlogSetLevels(items), 0);
    EXPECT_EQ(levels(), allAt(1));
  }
}

TEST(XlogSetLevels, ItemsBeforeAFaultStayApplied) {
  setAll(0);
  // Two spaces make an empty item between the two.
  EXPECT_EQ(xlogSetLevels("*:I  XMEM:D"), 22);
  EXPECT_EQ(levels(), allAt(2));
  setAll(0);
  // A trailing space makes an empty last item.
  EXPECT_EQ(xlogSetLevels("XMEM:D "), 22);
  EXPECT_EQ(levels(), allAt(0, XLOG_MODULE_XMEM, 3));
  setAll(0);
  EXPECT_EQ(xlogSetLevels(" *:W"), 22);
  EXPECT_EQ(levels(), allAt(0));
}

TEST(XlogSetLevels, PiecesAreTrimmedOfOtherWhitespace) {
  setAll(0);
  EXPECT_EQ(xlogSetLevels("\t*:W\t"), 0);
  EXPECT_EQ(levels(), allAt(1));
  setAll(0);
  EXPECT_EQ(xlogSetLevels("XMEM\t:\tD"), 0);
  EXPECT_EQ(xlogModules[XLOG_MODULE_XMEM].level, XLOG_DEBUG);
}

TEST(XlogSetLevels, AnnouncesTheSpecificationBeforeChangingLevels) {
  testsupport::CaptureLogger::install(XLOG_DEBUG);
  xlogSetLevels("*:W");
  ASSERT_EQ(testsupport::CaptureLogger::lines().size(), 1u);
  const auto line = testsupport::CaptureLogger::lines()[0];
  EXPECT_EQ(line.text, "Change log levels with: *:W");
  EXPECT_EQ(line.moduleId, XLOG_MODULE_XLOG);
  EXPECT_EQ(line.level, XLOG_DEBUG);
  EXPECT_EQ(line.function, "xlogSetLevels");
}

TEST(XlogDefaultIsEnabled, PassesLevelsUpToTheModulesLevel) {
  setAll(0);
  for (int m = 0; m < XLOG_MODULE_COUNT; ++m) {
    EXPECT_EQ(xlogDefaultIsEnabled(m, XLOG_ERROR), 1);
    EXPECT_EQ(xlogDefaultIsEnabled(m, XLOG_WARNING), 0);
  }
  ASSERT_EQ(xlogSetLevels("*:W"), 0);
  for (int m = 0; m < XLOG_MODULE_COUNT; ++m) {
    EXPECT_EQ(xlogDefaultIsEnabled(m, XLOG_WARNING), 1);
    EXPECT_EQ(xlogDefaultIsEnabled(m, XLOG_INFO), 0);
  }
  // The comparison is signed: a negative level always passes.
  EXPECT_EQ(xlogDefaultIsEnabled(0, -1), 1);
}
