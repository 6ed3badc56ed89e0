#include "xpl/Xpl.h"

#include "xpl/Xerr.h"
#include "xpl/Xlog.h"
#include "xpl/XplOs.h"

int xplLibInit(const XlogLogger* logger, const std::string& logFilePath) {
  xplSetUtf8Locale();
  if (const XErr err = xerrLibInit(); err != XERR_SUCCESS)
    return err;
  return xlogLibInit(logger, logFilePath, "*:I");
}
