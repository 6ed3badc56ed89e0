#include "xpl/Xlog.h"

#include "xpl/XplOs.h"

#include <cstdarg>
#include <cstdio>

static constexpr XlogModuleId xlogModuleId = XLOG_MODULE_XLOG;

const char* const xlogLevelLetters[5] = {"E", "W", "I", "D", "V"};

namespace {
struct XlogModuleEntry {
  XlogLevel level;
  const char* name;
};
} // namespace

static XlogModuleEntry xlogModules[XLOG_MODULE_COUNT] = {
    {0, "AGA"},   {0, "APPC"},  {0, "AUD"},    {0, "BRIDGE"}, {0, "CAM"},   {0, "CLD"},
    {0, "CONF"},  {0, "CSM"},   {0, "DCRD"},   {0, "GCALL"},  {0, "GR"},    {0, "GRM"},
    {0, "HCALL"}, {0, "HST"},   {0, "IMAP"},   {0, "IMGD"},   {0, "INP"},   {0, "IPC"},
    {0, "KMM"},   {0, "MIM"},   {0, "MNS"},    {0, "PGA"},    {0, "PGAIPC"}, {0, "PLR"},
    {0, "SER"},   {0, "UI"},    {0, "UTL"},    {0, "VMMGR"},  {0, "VMSG"},  {0, "WERH"},
    {0, "XCOND"}, {0, "XFILE"}, {0, "XLIB"},   {0, "XLOCK"},  {0, "XLOG"},  {0, "XMEM"},
    {0, "XMUTEX"}, {0, "XPROC"}, {0, "XSOCK"}, {0, "XSTR"},   {0, "XTHR"},  {0, "XTIME"},
    {0, "XTIMER"},
};

// Held by value and never freed; written only by xlogLibInit during start-up.
XlogLogger xlogCurrentLogger = {xlogDefaultIsEnabled, xlogDefaultLog};

int xlogDefaultIsEnabled(int moduleId, int level) {
  return xlogModules[moduleId].level >= level ? 1 : 0;
}

int xlogDefaultLog(int level, int moduleId, const char* /*file*/, const char* /*function*/,
                   int /*line*/, const char* format, ...) {
  // Minimal line until the full format lands: module, level letter and message.
  char line[4096];
  int n = std::snprintf(line, sizeof line, "%-6s %s: ", xlogModules[moduleId].name,
                        xlogLevelLetters[level]);
  va_list args;
  va_start(args, format);
  std::vsnprintf(line + n, sizeof line - n, format, args);
  va_end(args);
  return std::printf("%s\n", line);
}

int xlogLibInit(const XlogLogger* logger, const std::string& /*logFilePath*/,
                const std::string& /*levelSpec*/) {
  if (logger) {
    xlogCurrentLogger = *logger;
    if (xlogCurrentLogger.isEnabled(xlogModuleId, XLOG_DEBUG))
      xlogCurrentLogger.log(XLOG_DEBUG, xlogModuleId, XLOG_FILE, "xlogLibInit", __LINE__,
                      "xlog inited using logger");
    return 0;
  }
  for (XlogModuleEntry& module : xlogModules)
    module.level = XLOG_INFO;
  xlogModules[XLOG_MODULE_XMEM].level = XLOG_DEBUG;
  return 0;
}

void xlogFatal(int moduleId, const char* file, const char* function, int line) {
  if (xlogCurrentLogger.isEnabled(moduleId, XLOG_ERROR))
    xlogCurrentLogger.log(XLOG_ERROR, moduleId, file, function, line, "FATAL: DEBUG BREAK: %s:%d %s()",
                    file, line, function);
  xplDebugBreak();
}
