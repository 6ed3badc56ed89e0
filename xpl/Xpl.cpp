#include "xpl/Xpl.h"

#include "xpl/Xlog.h"
#include "xpl/XplOs.h"

int xplLibInit(const XlogLogger* logger, const std::string& logFilePath) {
  xplSetUtf8Locale();
  return xlogLibInit(logger, logFilePath, "*:I");
}
