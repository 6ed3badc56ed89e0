// Level specifications: arbitrary text against a model of the grammar written here, and
// well-formed specifications built from the input, which must apply exactly.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xlog.h"
#include "xpl/XlogInternal.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// xlogSetLevels logs its input at debug level; nothing of that is wanted here.
int quietIsEnabled(int, int) { return 0; }
int quietLog(int, int, const char*, const char*, int, const char*, ...) { return 0; }
const XlogLogger quiet = {quietIsEnabled, quietLog};

const char* const letters = "EWIDV";

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The grammar read independently: pieces between single spaces (trimmed), each exactly one
// ':' after trimming, module "*" or a table name, level by the first letter.
struct Model {
  int levels[XLOG_MODULE_COUNT];
  int apply(const std::string& levelText) {
    std::vector<std::string> items;
    std::string current;
    for (char c : levelText) {
      if (c == ' ') {
        items.push_back(current);
        current.clear();
      } else {
        current += c;
      }
    }
    items.push_back(current);
    for (std::string item : items) {
      size_t b = 0, e = item.size();
      while (b < e && isSpace(item[b]))
        ++b;
      while (e > b && isSpace(item[e - 1]))
        --e;
      item = item.substr(b, e - b);
      const size_t colon = item.find(':');
      if (colon == std::string::npos || item.find(':', colon + 1) != std::string::npos)
        return 22;
      std::string module = item.substr(0, colon), level = item.substr(colon + 1);
      // Each half is trimmed again, as a piece of its own.
      while (!module.empty() && isSpace(module.back()))
        module.pop_back();
      size_t lb = 0;
      while (lb < level.size() && isSpace(level[lb]))
        ++lb;
      const char first = lb < level.size() ? level[lb] : '\0';
      const char* at = first ? std::strchr(letters, first) : nullptr;
      if (!at)
        return 22;
      const int value = static_cast<int>(at - letters);
      for (int m = 0; m < XLOG_MODULE_COUNT; ++m)
        if (module == "*" || module == xlogModules[m].name)
          levels[m] = value;
    }
    return 0;
  }
};

void snapshot(int* out) {
  for (int m = 0; m < XLOG_MODULE_COUNT; ++m)
    out[m] = xlogModules[m].level;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool installed = xlogLibInit(&quiet, "", "") == 0;
  FUZZ_CHECK(installed);
  FuzzedDataProvider input(data, size);
  const int start = input.ConsumeIntegralInRange<int>(0, 4);
  for (XlogModuleEntry& entry : xlogModules)
    entry.level = start;

  if (input.ConsumeBool()) {
    // Arbitrary text.
    const std::string levelText = input.ConsumeRemainingBytesAsString();
    Model model;
    snapshot(model.levels);
    const int expected = model.apply(levelText);
    const int result = xlogSetLevels(levelText);
    FUZZ_CHECK(result == 0 || result == 22);
    FUZZ_CHECK(result == expected);
    for (int m = 0; m < XLOG_MODULE_COUNT; ++m) {
      FUZZ_CHECK(xlogModules[m].level >= 0 && xlogModules[m].level <= 4);
      FUZZ_CHECK(xlogModules[m].level == model.levels[m]);
    }
    return 0;
  }

  // The canonical join of valid items: "NAME:L" or "*:L", single spaces, each level part a
  // letter and possibly more characters that do not count.
  int expected[XLOG_MODULE_COUNT];
  snapshot(expected);
  std::string levelText;
  const int items = input.ConsumeIntegralInRange<int>(1, 12);
  for (int i = 0; i < items; ++i) {
    const int module = input.ConsumeIntegralInRange<int>(-1, XLOG_MODULE_COUNT - 1);
    const int level = input.ConsumeIntegralInRange<int>(0, 4);
    std::string tail;
    const int extra = input.ConsumeIntegralInRange<int>(0, 3);
    for (int k = 0; k < extra; ++k) {
      // Anything but a space, a colon or whitespace at the end keeps the item well formed.
      char c = static_cast<char>(input.ConsumeIntegralInRange<int>(0x21, 0x7E));
      tail += c == ':' ? 'x' : c;
    }
    if (i)
      levelText += ' ';
    levelText += module < 0 ? std::string("*") : std::string(xlogModules[module].name);
    levelText += ':';
    levelText += letters[level];
    levelText += tail;
    for (int m = 0; m < XLOG_MODULE_COUNT; ++m)
      if (module < 0 || m == module)
        expected[m] = level;
  }
  FUZZ_CHECK(xlogSetLevels(levelText) == 0);
  for (int m = 0; m < XLOG_MODULE_COUNT; ++m)
    FUZZ_CHECK(xlogModules[m].level == expected[m]);
  return 0;
}
