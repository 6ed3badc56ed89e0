// Splitting and trimming against a plain scan written here: the text cut one byte at a time
// wherever the delimiter matches, each piece trimmed from both ends.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xstr.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {
std::string trim(const std::string& text) {
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  size_t begin = 0, end = text.size();
  while (begin < end && space(text[begin]))
    ++begin;
  while (end > begin && space(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string delimiter = input.ConsumeRandomLengthString(8);
  const std::string text = input.ConsumeRemainingBytesAsString();
  FUZZ_CHECK(xstrTrim(text) == trim(text));
  std::vector<std::string> pieces(1);
  for (size_t at = 0; at < text.size();) {
    if (!delimiter.empty() && text.compare(at, delimiter.size(), delimiter) == 0) {
      pieces.emplace_back();
      at += delimiter.size();
    } else {
      pieces.back() += text[at++];
    }
  }
  for (std::string& piece : pieces)
    piece = trim(piece);
  // An empty delimiter must still return (a loop would time out), with the one piece.
  FUZZ_CHECK(xstrSplit(text, delimiter) == pieces);
  return 0;
}
