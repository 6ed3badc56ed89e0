// The two encoding conversions against a strict decoder and encoder written here: valid
// text converts exactly and comes back unchanged; anything else converts without reading
// or writing out of bounds, with U+FFFD where it was malformed and no surrogate halves.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xstr.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool decodeUtf8(const std::string& text, std::vector<uint32_t>& out) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    size_t length;
    uint32_t cp, min;
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      length = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      length = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      length = 4, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + length > n)
      return false;
    for (size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80)
        return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    out.push_back(cp);
    i += length;
  }
  return true;
}

std::string encodeUtf8(const std::vector<uint32_t>& cps) {
  std::string out;
  for (uint32_t cp : cps) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// UTF-16 to code points: a pair joins, a lone half becomes U+FFFD. valid says whether any
// lone half was seen.
std::vector<uint32_t> decodeUtf16(const XstrWide& units, bool& valid) {
  std::vector<uint32_t> out;
  valid = true;
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      out.push_back(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out.push_back(0xFFFD);
      valid = false;
    } else {
      out.push_back(u);
    }
  }
  return out;
}

XstrWide encodeUtf16(const std::vector<uint32_t>& cps) {
  XstrWide out;
  for (uint32_t cp : cps) {
    if (cp >= 0x10000) {
      out += static_cast<XstrWchar>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<XstrWchar>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<XstrWchar>(cp);
    }
  }
  return out;
}

void checkUtf8Side(const std::string& bytes) {
  // Both forms stop at the first NUL.
  const std::string text = bytes.substr(0, std::min(bytes.size(), std::strlen(bytes.c_str())));
  const XstrWide wide = xstrUtf8ToWide(bytes);
  FUZZ_CHECK(wide == xstrUtf8ToWide(bytes.c_str()));
  FUZZ_CHECK(wide.find(u'\0') == XstrWide::npos);

  bool wellFormed = false;
  const std::vector<uint32_t> converted = decodeUtf16(wide, wellFormed);
  FUZZ_CHECK(wellFormed); // never a surrogate half
  std::vector<uint32_t> reference;
  if (decodeUtf8(text, reference)) {
    FUZZ_CHECK(converted == reference);
    FUZZ_CHECK(wide == encodeUtf16(reference));
    FUZZ_CHECK(xstrWideToUtf8(wide) == text);
  } else {
    bool replaced = false;
    for (uint32_t cp : converted)
      replaced |= cp == 0xFFFD;
    FUZZ_CHECK(replaced);
    // Every replacement stands for at least one byte, and no byte yields two characters.
    FUZZ_CHECK(converted.size() <= text.size());
    // What came out is well formed: it goes to UTF-8 and back unchanged.
    const std::string again = xstrWideToUtf8(wide);
    std::vector<uint32_t> check;
    FUZZ_CHECK(decodeUtf8(again, check));
    FUZZ_CHECK(check == converted);
    FUZZ_CHECK(xstrUtf8ToWide(again) == wide);
  }
}

void checkUtf16Side(const uint8_t* data, size_t size) {
  XstrWide units;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const XstrWchar u = static_cast<XstrWchar>(data[i] | (data[i + 1] << 8));
    units += u;
  }
  const XstrWide upToNul = units.substr(0, units.find(u'\0'));
  const std::string utf8 = xstrWideToUtf8(units);
  FUZZ_CHECK(utf8 == xstrWideToUtf8(units.c_str()));
  bool wellFormed = false;
  const std::vector<uint32_t> cps = decodeUtf16(upToNul, wellFormed);
  // The output is exactly the code points, lone halves as EF BF BD.
  FUZZ_CHECK(utf8 == encodeUtf8(cps));
  std::vector<uint32_t> check;
  FUZZ_CHECK(decodeUtf8(utf8, check));
  if (wellFormed)
    FUZZ_CHECK(xstrUtf8ToWide(utf8) == upToNul);
  else
    FUZZ_CHECK(utf8.find("\xEF\xBF\xBD") != std::string::npos);
  if (!units.empty()) {
    const XstrWchar u = units[0];
    const std::string one = xstrWideCharToUtf8(u);
    if (u == 0)
      FUZZ_CHECK(one.empty());
    else if (u >= 0xD800 && u <= 0xDFFF)
      FUZZ_CHECK(one == "\xEF\xBF\xBD");
    else
      FUZZ_CHECK(one == encodeUtf8({u}));
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The same bytes read both ways: as UTF-8, and as little-endian UTF-16 units.
  checkUtf8Side(std::string(reinterpret_cast<const char*>(data), size));
  checkUtf16Side(data, size);
  return 0;
}
