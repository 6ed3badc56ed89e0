// The POSIX side of the string layer: UTF-8 <-> UTF-16 by the Unicode standard's rules, and
// glibc's formatter bent to the Windows counted formatter's results.
#include "xpl/Xstr.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdio_ext.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
constexpr char16_t replacement = 0xFFFD;

inline bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// UTF-8 -> UTF-16, once to measure (Write false, out unused) and once to write. Each maximal
// subpart of an ill-formed sequence becomes one U+FFFD, the practice the Unicode standard
// recommends: a byte that cannot start a sequence (80-C1, F5-FF), a lead whose sequence
// breaks off, an overlong form (E0 80-9F, F0 80-8F), an encoded surrogate (ED A0-BF) and
// a code point above U+10FFFF (F4 90-BF) all end at the first byte that does not fit.
template <bool Write>
std::size_t utf8ToUtf16(const unsigned char* s, std::size_t n, char16_t* out) {
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < n) {
    if (s[i] < 0x80) {
#if defined(__SSE2__)
      while (i + 16 <= n) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (_mm_movemask_epi8(bytes) != 0)
          break;
        if (Write) {
          const __m128i zero = _mm_setzero_si128();
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_unpacklo_epi8(bytes, zero));
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o + 8), _mm_unpackhi_epi8(bytes, zero));
        }
        i += 16;
        o += 16;
      }
#endif
      while (i < n && s[i] < 0x80) {
        if (Write)
          out[o] = s[i];
        ++i;
        ++o;
      }
      continue;
    }
    const unsigned lead = s[i];
    std::uint32_t cp = replacement;
    std::size_t used = 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
      if (i + 1 < n && isContinuation(s[i + 1])) {
        cp = ((lead & 0x1F) << 6) | (s[i + 1] & 0x3F);
        used = 2;
      }
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned high = lead == 0xED ? 0x9F : 0xBF;
      if (i + 1 < n && s[i + 1] >= low && s[i + 1] <= high) {
        used = 2;
        if (i + 2 < n && isContinuation(s[i + 2])) {
          cp = ((lead & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
          used = 3;
        }
      }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
      const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
      if (i + 1 < n && s[i + 1] >= low && s[i + 1] <= high) {
        used = 2;
        if (i + 2 < n && isContinuation(s[i + 2])) {
          used = 3;
          if (i + 3 < n && isContinuation(s[i + 3])) {
            cp = ((lead & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                 (s[i + 3] & 0x3F);
            used = 4;
          }
        }
      }
    }
    i += used;
    if (cp >= 0x10000) {
      if (Write) {
        out[o] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        out[o + 1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      }
      o += 2;
    } else {
      if (Write)
        out[o] = static_cast<char16_t>(cp);
      ++o;
    }
  }
  return o;
}

// UTF-16 -> UTF-8, measuring or writing; a surrogate that is not half of a high-low pair
// becomes U+FFFD (EF BF BD).
template <bool Write>
std::size_t utf16ToUtf8(const char16_t* s, std::size_t n, unsigned char* out) {
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < n) {
    if (s[i] < 0x80) {
#if defined(__SSE2__)
      while (i + 8 <= n) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(-128)),
                                              _mm_setzero_si128())) != 0xFFFF)
          break;
        if (Write)
          _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(units, units));
        i += 8;
        o += 8;
      }
#endif
      while (i < n && s[i] < 0x80) {
        if (Write)
          out[o] = static_cast<unsigned char>(s[i]);
        ++i;
        ++o;
      }
      continue;
    }
    std::uint32_t cp = s[i++];
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (cp <= 0xDBFF && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i] - 0xDC00);
        ++i;
      } else {
        cp = replacement;
      }
    }
    if (cp < 0x800) {
      if (Write) {
        out[o] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        out[o + 1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      }
      o += 2;
    } else if (cp < 0x10000) {
      if (Write) {
        out[o] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        out[o + 1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        out[o + 2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      }
      o += 3;
    } else {
      if (Write) {
        out[o] = static_cast<unsigned char>(0xF0 | (cp >> 18));
        out[o + 1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        out[o + 2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        out[o + 3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      }
      o += 4;
    }
  }
  return o;
}

XstrWide toWide(const char* text, std::size_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const std::size_t units = utf8ToUtf16<false>(bytes, length, nullptr);
  XstrWide result(units, u'\0');
  utf8ToUtf16<true>(bytes, length, &result[0]);
  return result;
}

std::string toUtf8(const char16_t* text, std::size_t length) {
  const std::size_t size = utf16ToUtf8<false>(text, length, nullptr);
  std::string result(size, '\0');
  utf16ToUtf8<true>(text, length, reinterpret_cast<unsigned char*>(&result[0]));
  return result;
}
} // namespace

XstrWide xstrUtf8ToWide(const std::string& text) {
  const void* nul = std::memchr(text.data(), 0, text.size());
  const std::size_t length =
      nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text.data())
                     : text.size();
  return toWide(text.data(), length);
}

XstrWide xstrUtf8ToWide(const char* text) { return toWide(text, std::strlen(text)); }

std::string xstrWideToUtf8(const XstrWide& text) {
  const std::size_t nul = text.find(u'\0');
  return toUtf8(text.data(), nul != XstrWide::npos ? nul : text.size());
}

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

namespace {
// Rooms up to this size get their missing last byte from a second pass on the stack; a log
// line is built in a buffer of this size.
constexpr std::size_t stackRoom = 4096;

// Larger rooms take the missing byte from a stream that formats the text into a small
// per-thread buffer and keeps only the byte at one position: any room, no copy of the
// text, and no allocation per call (the stream is made once per thread).
struct ByteAtStream {
  FILE* stream = nullptr;
  std::size_t want = 0;
  std::size_t seen = 0;
  char byte = 0;
  char buffer[512];

  static ssize_t write(void* cookie, const char* data, std::size_t size) {
    auto* self = static_cast<ByteAtStream*>(cookie);
    if (self->want >= self->seen && self->want - self->seen < size)
      self->byte = data[self->want - self->seen];
    self->seen += size;
    return static_cast<ssize_t>(size);
  }

  ~ByteAtStream() {
    if (stream != nullptr)
      std::fclose(stream);
  }

  bool byteAt(std::size_t position, const char* format, va_list args, char* out) {
    if (stream == nullptr) {
      cookie_io_functions_t functions{};
      functions.write = &ByteAtStream::write;
      stream = fopencookie(this, "w", functions);
      if (stream == nullptr)
        return false;
      std::setvbuf(stream, buffer, _IOFBF, sizeof buffer);
      __fsetlocking(stream, FSETLOCKING_BYCALLER);
    }
    std::clearerr(stream); // a failed conversion earlier leaves the error flag set
    want = position;
    seen = 0;
    const int written = std::vfprintf(stream, format, args);
    const bool flushed = std::fflush(stream) == 0;
    if (written < 0 || !flushed || seen <= position)
      return false;
    *out = byte;
    return true;
  }
};

// Writes the text's byte at count-1 over the NUL glibc put there.
bool recoverLastByte(char* buffer, std::size_t count, const char* format, va_list args) {
  const std::size_t last = count - 1;
  if (count <= stackRoom) {
    char text[stackRoom + 1];
    if (std::vsnprintf(text, count + 1, format, args) < 0)
      return false;
    buffer[last] = text[last];
    return true;
  }
  thread_local ByteAtStream byteAt;
  return byteAt.byteAt(last, format, args, &buffer[last]);
}
} // namespace

// glibc's vsnprintf follows C99: it always ends what it writes with a NUL, so when the text
// fills the room it holds back the text's byte at count-1. The Windows rules want that byte
// and no NUL. The first pass goes straight into the caller's buffer (the common case, text
// shorter than the room, costs one formatting pass); only when the text reaches the room
// does a second pass fetch the missing byte.
int xstrVsnprintf(char* buffer, std::size_t count, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(buffer, count, format, args);
  int result = length;
  if (length < 0) {
    result = -1;
  } else if (static_cast<std::size_t>(length) > count) {
    // Only the first count bytes are wanted, but the last of them is needed all the same.
    result = -1;
    if (count > 0)
      recoverLastByte(buffer, count, format, again);
  } else if (static_cast<std::size_t>(length) == count && count > 0) {
    if (!recoverLastByte(buffer, count, format, again))
      result = -1;
  }
  va_end(again);
  return result;
}

int xstrSscanf(const char* text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = std::vsscanf(text, format, args);
  va_end(args);
  return result;
}
