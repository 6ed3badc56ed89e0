// The two conversions against a strict decoder written here. Valid UTF-8 converts to exactly
// its code points and comes back unchanged; any other text keeps its valid start and turns
// to U+FFFD where it breaks; UTF-16 converts to exactly its code points, lone halves as
// U+FFFD; and whatever comes out is well formed.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xstr.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {
using CodePoints = std::vector<uint32_t>;

// Strict UTF-8 (shortest forms only, no surrogates, nothing above U+10FFFF): the code points
// of the longest well-formed start of the text, and that start's length in bytes.
size_t decodeUtf8(const std::string& text, CodePoints& out) {
  static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char b = text[i];
    const size_t length = b < 0x80 ? 1 : b >= 0xC0 && b < 0xF8 ? 2 + (b >= 0xE0) + (b >= 0xF0) : 0;
    if (length == 0 || i + length > text.size())
      return i;
    uint32_t cp = length == 1 ? b : b & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      if ((text[i + k] & 0xC0) != 0x80)
        return i;
      cp = cp << 6 | (text[i + k] & 0x3F);
    }
    if (cp < least[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return i;
    out.push_back(cp);
    i += length;
  }
  return i;
}

// UTF-16 to code points: a high-low pair joins, a lone half becomes U+FFFD and is counted.
CodePoints decodeUtf16(const XstrWide& units, size_t& lone) {
  CodePoints out;
  lone = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t u = units[i], next = i + 1 < units.size() ? units[i + 1] : 0;
    const bool half = u >= 0xD800 && u <= 0xDFFF;
    const bool pair = u <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF;
    lone += half && !pair;
    out.push_back(!half  ? u
                  : pair ? 0x10000 + ((u - 0xD800) << 10) + (units[++i] - 0xDC00)
                         : 0xFFFD);
  }
  return out;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The bytes as UTF-8; both forms stop at the first NUL.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = bytes.substr(0, std::strlen(bytes.c_str()));
  const XstrWide wide = xstrUtf8ToWide(bytes);
  FUZZ_CHECK(wide == xstrUtf8ToWide(bytes.c_str()) && wide.find(u'\0') == XstrWide::npos);
  size_t lone = 0;
  const CodePoints converted = decodeUtf16(wide, lone);
  FUZZ_CHECK(lone == 0);
  CodePoints valid;
  if (decodeUtf8(text, valid) == text.size())
    FUZZ_CHECK(converted == valid && xstrWideToUtf8(wide) == text);
  else // the valid start kept, then U+FFFD; never more characters than bytes
    FUZZ_CHECK(std::equal(valid.begin(), valid.end(), converted.begin()) &&
               converted.size() > valid.size() && converted[valid.size()] == 0xFFFD &&
               converted.size() <= text.size());

  // The same bytes as little-endian UTF-16 units.
  XstrWide units;
  for (size_t i = 0; i + 1 < size; i += 2)
    units += static_cast<XstrWchar>(data[i] | data[i + 1] << 8);
  const XstrWide upToNul = units.substr(0, units.find(u'\0'));
  const std::string utf8 = xstrWideToUtf8(units);
  CodePoints decoded;
  FUZZ_CHECK(utf8 == xstrWideToUtf8(units.c_str()) && decodeUtf8(utf8, decoded) == utf8.size() &&
             decoded == decodeUtf16(upToNul, lone));
  FUZZ_CHECK(lone != 0 || xstrUtf8ToWide(utf8) == upToNul);
  return 0;
}
