// The POSIX side of the string layer: UTF-8 <-> UTF-16 by the Unicode standard's rules, and
// glibc's formatter bent to the Windows counted formatter's results.
#include "xpl/Xstr.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {
constexpr char16_t XSTR_REPLACEMENT = 0xFFFD;
// Up to this many input bytes or units a conversion writes once into a buffer on the stack
// and copies that into a result of its size: a short path pays one pass, not two.
constexpr std::size_t XSTR_SHORT_TEXT = 256;
// Rooms up to this size fetch the byte glibc holds back for its NUL through the stack; a log
// line is built in a buffer of this size.
constexpr std::size_t XSTR_STACK_ROOM = 4096;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "ASCII words are taken apart in place");

// ASCII goes a word at a time. Eight ASCII bytes: no high bit in the word.
inline bool asciiBytes(const unsigned char* s, std::uint64_t& word) {
  std::memcpy(&word, s, sizeof word);
  return (word & 0x8080808080808080u) == 0;
}

// Four bytes to four units: each byte to the low half of its unit.
inline std::uint64_t widen4(std::uint64_t w) {
  return (w & 0xFF) | (w & 0xFF00) << 8 | (w & 0xFF0000) << 16 | (w & 0xFF000000) << 24;
}

// Eight ASCII units and no NUL among them: no unit has a bit above bit 6, and adding 0x7F
// to each sets bit 7 of every unit but 0.
inline bool asciiUnits(const char16_t* s, std::uint64_t& low, std::uint64_t& high) {
  constexpr std::uint64_t add = 0x007F007F007F007Fu;
  constexpr std::uint64_t bit7 = 0x0080008000800080u;
  std::memcpy(&low, s, sizeof low);
  std::memcpy(&high, s + 4, sizeof high);
  return ((low | high) & 0xFF80FF80FF80FF80u) == 0 && ((low + add) & (high + add) & bit7) == bit7;
}

// Four ASCII units to their four bytes: OR-ing each unit's byte into the zero above it
// leaves bytes 0-1 and 4-5 holding the four.
inline std::uint64_t pack4(std::uint64_t w) {
  const std::uint64_t pairs = w | w >> 8;
  return (pairs & 0xFFFF) | (pairs >> 16 & 0xFFFF0000);
}

// One sequence from the non-ASCII byte at s[i], leaving i past it. An ill-formed sequence
// ends at the first byte that cannot continue it (its maximal subpart, one U+FFFD): a byte
// that cannot lead (80-C1, F5-FF), a cut-short sequence, an overlong form (E0 80-9F,
// F0 80-8F), an encoded surrogate (ED A0-BF) or a code point past U+10FFFF (F4 90-BF).
inline std::uint32_t decodeUtf8(const unsigned char* s, std::size_t n, std::size_t& i) {
  const unsigned lead = s[i++];
  unsigned low = 0x80;
  unsigned high = 0xBF;
  int trail;
  std::uint32_t cp;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    cp = lead & 0x0F;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    cp = lead & 0x07;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return XSTR_REPLACEMENT;
  }
  for (; trail > 0; --trail, low = 0x80, high = 0xBF) {
    if (i == n || s[i] < low || s[i] > high)
      return XSTR_REPLACEMENT;
    cp = (cp << 6) | (s[i++] & 0x3F);
  }
  return cp;
}

// UTF-8 -> UTF-16, once to measure (Write false, out unused) and once to write.
template <bool Write>
std::size_t utf8ToUtf16(const unsigned char* s, std::size_t n, char16_t* out) {
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < n) {
    std::uint64_t word;
    if (s[i] >= 0x80) {
      const std::uint32_t cp = decodeUtf8(s, n, i);
      if (Write && cp >= 0x10000) {
        out[o] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        out[o + 1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      } else if (Write) {
        out[o] = static_cast<char16_t>(cp);
      }
      o += cp >= 0x10000 ? 2 : 1;
    } else if (i + 8 <= n && asciiBytes(s + i, word)) {
      const std::uint64_t units[2] = {widen4(word), widen4(word >> 32)};
      if (Write)
        std::memcpy(out + o, units, sizeof units);
      i += 8;
      o += 8;
    } else {
      do { // the rest of the run, to the next byte that is not ASCII
        if (Write)
          out[o] = s[i];
        ++o;
      } while (++i < n && s[i] < 0x80);
    }
  }
  return o;
}

// UTF-16 -> UTF-8 up to the first NUL unit, measuring or writing; a surrogate that is not
// half of a high-low pair becomes U+FFFD (EF BF BD).
template <bool Write>
std::size_t utf16ToUtf8(const char16_t* s, std::size_t n, unsigned char* out) {
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < n) {
    std::uint32_t cp = s[i];
    if (cp < 0x80) {
      std::uint64_t low, high;
      for (; i + 8 <= n && asciiUnits(s + i, low, high); i += 8, o += 8) {
        const std::uint64_t bytes = pack4(low) | pack4(high) << 32;
        if (Write)
          std::memcpy(out + o, &bytes, sizeof bytes);
      }
      if (i == n || s[i] >= 0x80)
        continue;
      if (s[i] == 0)
        break;
      do { // the rest of the run, to the next unit that is 0 or not ASCII
        if (Write)
          out[o] = static_cast<unsigned char>(s[i]);
        ++o;
      } while (++i < n && s[i] - 1u < 0x7F);
      continue;
    }
    ++i;
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (cp <= 0xDBFF && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i++] - 0xDC00);
        if (Write) {
          out[o] = static_cast<unsigned char>(0xF0 | cp >> 18);
          out[o + 1] = static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F));
          out[o + 2] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
          out[o + 3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        }
        o += 4;
        continue;
      }
      cp = XSTR_REPLACEMENT;
    }
    // Two or three bytes without a branch on which: text that mixes scripts would mispredict
    // it at every change. With two, the last store repeats the second.
    const unsigned three = cp >= 0x800;
    if (Write) {
      out[o] = static_cast<unsigned char>(three ? 0xE0 | cp >> 12 : 0xC0 | cp >> 6);
      out[o + 1] = static_cast<unsigned char>(0x80 | ((three ? cp >> 6 : cp) & 0x3F));
      out[o + 1 + three] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    }
    o += 2 + three;
  }
  return o;
}

XstrWide toWide(const char* text, std::size_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (length <= XSTR_SHORT_TEXT) {
    char16_t units[XSTR_SHORT_TEXT]; // never more units than bytes
    return XstrWide(units, utf8ToUtf16<true>(bytes, length, units));
  }
  XstrWide result(utf8ToUtf16<false>(bytes, length, nullptr), u'\0');
  utf8ToUtf16<true>(bytes, length, &result[0]);
  return result;
}

std::string toUtf8(const char16_t* text, std::size_t length) {
  if (length <= XSTR_SHORT_TEXT) {
    unsigned char bytes[XSTR_SHORT_TEXT * 3]; // never more than 3 bytes per unit
    return std::string(reinterpret_cast<const char*>(bytes),
                       utf16ToUtf8<true>(text, length, bytes));
  }
  std::string result(utf16ToUtf8<false>(text, length, nullptr), '\0');
  utf16ToUtf8<true>(text, length, reinterpret_cast<unsigned char*>(&result[0]));
  return result;
}
} // namespace

XstrWide xstrUtf8ToWide(const char* text) { return toWide(text, std::strlen(text)); }

XstrWide xstrUtf8ToWide(const std::string& text) { return xstrUtf8ToWide(text.c_str()); }

std::string xstrWideToUtf8(const XstrWide& text) { return toUtf8(text.data(), text.size()); }

std::string xstrWideToUtf8(const XstrWchar* text) {
  return toUtf8(text, std::char_traits<char16_t>::length(text));
}

std::string xstrVformat(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  std::string result;
  if (length > 0) {
    result.assign(static_cast<std::size_t>(length), '\0');
    // Room for the NUL too: it lands on the terminator the string keeps anyway.
    std::vsnprintf(&result[0], result.size() + 1, format, again);
  }
  va_end(again);
  return result;
}

// glibc's vsnprintf follows C99: it always ends what it writes with a NUL, so when the text
// reaches the room it holds back the text's byte at count-1, which the Windows rules want
// written, with no NUL. Text shorter than the room, the common case, costs one pass; text
// that reaches the room a second one, into a buffer one byte larger.
int xstrVsnprintf(char* buffer, std::size_t count, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(buffer, count, format, args);
  if (length >= 0 && static_cast<std::size_t>(length) >= count && count > 0) {
    char onStack[XSTR_STACK_ROOM + 1];
    const std::unique_ptr<char[]> onHeap(count > XSTR_STACK_ROOM ? new char[count + 1] : nullptr);
    char* text = onHeap ? onHeap.get() : onStack;
    if (std::vsnprintf(text, count + 1, format, again) < 0)
      length = -1;
    else
      buffer[count - 1] = text[count - 1];
  }
  va_end(again);
  return length < 0 || static_cast<std::size_t>(length) > count ? -1 : length;
}

int xstrSscanf(const char* text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = std::vsscanf(text, format, args);
  va_end(args);
  return result;
}
