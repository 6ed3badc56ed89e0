// Real files for tests: a temporary directory per test and a way to read and write files
// that does not go through the module's own file layer (so it can serve as the oracle).
#pragma once

#include "xpl/Xpl.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

/// A filesystem path for a UTF-8 name, made wide on Windows by the string layer: the narrow
/// conversions of std::filesystem are not usable against the runtime the Windows build links.
std::filesystem::path nativePath(const std::string& utf8);

/// C stdio on a UTF-8 path (the library's file streams share the same limitation).
std::FILE* openFile(const std::string& path, bool write);
void writeFile(const std::string& path, const std::string& content);
/// The file's bytes, or "<missing>" when it cannot be opened.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

/// The rows of a case table whose first cell is `kind`: one row a line, cells separated by
/// " | " (a line ending in " |" has an empty last cell). A file that cannot be read fails
/// the test and gives no rows.
std::vector<std::vector<std::string>> caseRows(const std::string& path, const std::string& kind);

/// True when the Windows build runs under Wine, whose file layer differs from Windows in a
/// few documented places (concurrent appends, for one).
bool underWine();

/// A new, empty directory under the system's temporary directory; removed (with all it holds)
/// by the destructor.
class TempDir {
public:
  explicit TempDir(const std::string& prefix);
  ~TempDir();

  const std::string& path() const { return path_; }
  /// path() + separator + name
  std::string at(const std::string& name) const { return path_ + XPL_PATH_SEPARATOR + name; }

private:
  std::string path_;
};

} // namespace testsupport
