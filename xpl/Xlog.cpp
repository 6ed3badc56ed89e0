#include "xpl/Xlog.h"

#include "xpl/Xerr.h"
#include "xpl/XlogInternal.h"
#include "xpl/XplOs.h"
#include "xpl/Xstr.h"
#include "xpl/Xtime.h"

#include <cstdint>

static constexpr XlogModuleId xlogModuleId = XLOG_MODULE_XLOG;

const char* const xlogLevelLetters[5] = {"E", "W", "I", "D", "V"};

// Levels start at 0: before start-up only errors pass the library's own isEnabled.
XlogModuleEntry xlogModules[XLOG_MODULE_COUNT] = {
    {0, "AGA"},    {0, "APPC"},  {0, "AUD"},   {0, "BRIDGE"}, {0, "CAM"},    {0, "CLD"},
    {0, "CONF"},   {0, "CSM"},   {0, "DCRD"},  {0, "GCALL"},  {0, "GR"},     {0, "GRM"},
    {0, "HCALL"},  {0, "HST"},   {0, "IMAP"},  {0, "IMGD"},   {0, "INP"},    {0, "IPC"},
    {0, "KMM"},    {0, "MIM"},   {0, "MNS"},   {0, "PGA"},    {0, "PGAIPC"}, {0, "PLR"},
    {0, "SER"},    {0, "UI"},    {0, "UTL"},   {0, "VMMGR"},  {0, "VMSG"},   {0, "WERH"},
    {0, "XCOND"},  {0, "XFILE"}, {0, "XLIB"},  {0, "XLOCK"},  {0, "XLOG"},   {0, "XMEM"},
    {0, "XMUTEX"}, {0, "XPROC"}, {0, "XSOCK"}, {0, "XSTR"},   {0, "XTHR"},   {0, "XTIME"},
    {0, "XTIMER"},
};

std::string xlogZoneSuffix;

// Held by value and never freed; written only by xlogLibInit during start-up.
XlogLogger xlogCurrentLogger = {xlogDefaultIsEnabled, xlogDefaultLog};

// Matches the levels of 0 above, for the library's own logger.
XlogLevel xlogdetail::levelCeiling[XLOG_MODULE_COUNT] = {};

XlogLogger* xlogGetLogger() { return &xlogCurrentLogger; }

void xlogUpdateCeiling() {
  const bool own = xlogCurrentLogger.isEnabled == xlogDefaultIsEnabled;
  for (int m = 0; m < XLOG_MODULE_COUNT; ++m)
    xlogdetail::levelCeiling[m] = own ? xlogModules[m].level : INT32_MAX;
}

// The levels are applied whatever the caller asks for: the start-up's own level text
// only ever named "*:I", and XMEM's debug lines are wanted in every log.
static const char* const xlogDefaultLevels = "*:I XMEM:D";

int xlogDefaultIsEnabled(int moduleId, int level) {
  return xlogModules[moduleId].level >= level ? 1 : 0;
}

static int applyLevels(const std::string& items) {
  XLOG_AS("xlogSetLevels", XLOG_DEBUG, "Change log levels with: %s", items.c_str());
  for (const std::string& item : xstrSplit(items, " ")) {
    const std::vector<std::string> parts = xstrSplit(item, ":");
    if (parts.size() != 2)
      return XERR_INVAL;
    // Only the first character of the level part counts; an empty part gives the
    // terminating zero, which matches no letter.
    const char letter = parts[1].c_str()[0];
    int level = -1;
    for (int l = XLOG_ERROR; l <= XLOG_VERBOSE && level < 0; ++l)
      if (xlogLevelLetters[l][0] == letter)
        level = l;
    if (level < 0)
      return XERR_INVAL;
    const std::string& module = parts[0];
    for (XlogModuleEntry& entry : xlogModules)
      if (module == "*" || module == entry.name)
        entry.level = level;
  }
  return 0;
}

int xlogSetLevels(const std::string& items) {
  const int result = applyLevels(items);
  xlogUpdateCeiling();
  return result;
}

// The zone text: the local clock minus UTC, as +HHMM east of UTC and -HHMM otherwise (so UTC
// itself reads -0000).
std::string xlogZoneText() {
  const int64_t now = xtimeNowUs();
  const int64_t utc = xtimeLocalToUtc(now);
  char text[128] = {};
  if (now - utc > 0)
    xtimeFormat(text, sizeof text, "+%H%M", now - utc);
  else
    xtimeFormat(text, sizeof text, "-%H%M", utc - now);
  return text;
}

int xlogLibInit(const XlogLogger* logger, const std::string& logFilePath,
                const std::string& /*levelSpec*/) {
  if (logger) {
    xlogCurrentLogger = *logger;
    xlogUpdateCeiling();
    if (xlogCurrentLogger.isEnabled(xlogModuleId, XLOG_DEBUG))
      xlogCurrentLogger.log(XLOG_DEBUG, xlogModuleId, XLOG_FILE, "xlogLibInit", __LINE__,
                            "xlog inited using logger");
    return 0;
  }
  // A log file that cannot be opened is reported to the caller rather than ending the
  // process: the VM manager decides whether a module without its log may run.
  if (const int err = xlogOpenLogFile(logFilePath); err != 0)
    return err;
  xlogCurrentLogger = XlogLogger{xlogDefaultIsEnabled, xlogDefaultLog};
  for (XlogModuleEntry& entry : xlogModules)
    entry.level = XLOG_INFO;
  xlogSetLevels(xlogDefaultLevels);
  xlogZoneSuffix = xlogZoneText();
  XLOG_D("xlog lib init done.");
  return 0;
}

void xlogFatal(int moduleId, const char* file, const char* function, int line) {
  if (xlogCurrentLogger.isEnabled(moduleId, XLOG_ERROR))
    xlogCurrentLogger.log(XLOG_ERROR, moduleId, file, function, line,
                          "FATAL: DEBUG BREAK: %s:%d %s()", file, line, function);
  // Standard output into a pipe or a file is fully buffered, and the break ends the process
  // without emptying it: the one line that says why would be lost.
  xlogFlushOutput();
  xplDebugBreak();
}
