// The quoting rule of process command lines: read back by a parser of the rule's own
// escaping (a backslash takes the next byte as it is, an unescaped double quote ends the
// token), the command line gives the same vector again.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xproc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Tokens joined by single spaces, each in double quotes; false when the text is not a
// command line the rule can produce.
bool parse(const std::string& line, std::vector<std::string>& out) {
  out.clear();
  size_t i = 0;
  if (line.empty())
    return true;
  for (;;) {
    if (i >= line.size() || line[i] != '"')
      return false;
    ++i;
    std::string element;
    for (;;) {
      if (i >= line.size())
        return false; // no closing quote
      const char c = line[i++];
      if (c == '"')
        break;
      if (c == '\\') {
        if (i >= line.size())
          return false;
        const char next = line[i++];
        // The rule escapes exactly these two; anything else after a backslash is not its text.
        if (next != '"' && next != '\\')
          return false;
        element += next;
      } else {
        element += c;
      }
    }
    out.push_back(element);
    if (i == line.size())
      return true;
    if (line[i] != ' ')
      return false;
    ++i;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t first = input.ConsumeIntegralInRange<size_t>(0, 9);
  std::vector<std::string> args;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count; ++i)
    args.push_back(i + 1 == count ? input.ConsumeRemainingBytesAsString()
                                  : input.ConsumeRandomLengthString(64));

  for (const std::string& element : args) {
    const std::string token = xprocQuoteArg(element);
    size_t escapes = 0;
    for (char c : element)
      escapes += c == '"' || c == '\\';
    FUZZ_CHECK(token.size() == element.size() + escapes + 2);
    std::vector<std::string> back;
    FUZZ_CHECK(parse(token, back));
    FUZZ_CHECK(back.size() == 1 && back[0] == element);
  }

  const std::string line = xprocCommandLine(args, first);
  const std::vector<std::string> expected(args.begin() + static_cast<std::ptrdiff_t>(std::min(first, args.size())),
                                          args.end());
  FUZZ_CHECK(line.empty() == expected.empty());
  std::vector<std::string> back;
  FUZZ_CHECK(parse(line, back));
  FUZZ_CHECK(back == expected);
  if (first == 0)
    FUZZ_CHECK(xprocCommandLine(args) == line);
  return 0;
}
