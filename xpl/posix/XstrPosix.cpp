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
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h> // SSSE3 and POPCNT, used behind a CPU check
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

// Takes the run of ASCII units at s[i] over to out[o], eight at a time where it can, and
// leaves i and o past it; without Write it only counts.
template <bool Write>
inline void copyAsciiRun(const char16_t* s, std::size_t n, std::size_t& i, unsigned char* out,
                         std::size_t& o) {
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
}

// UTF-16 -> UTF-8, measuring or writing; a surrogate that is not half of a high-low pair
// becomes U+FFFD (EF BF BD).
template <bool Write>
std::size_t utf16ToUtf8(const char16_t* s, std::size_t n, unsigned char* out) {
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      copyAsciiRun<Write>(s, n, i, out, o);
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

// Text known to be well-formed UTF-8, complete to its last sequence: no range or length
// checks left, so a run of one script costs a few predictable branches per character.
std::size_t validUtf8ToUtf16(const unsigned char* s, std::size_t n, char16_t* out) {
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < n) {
    const unsigned lead = s[i];
    if (lead < 0x80) {
#if defined(__SSE2__)
      const __m128i zero = _mm_setzero_si128();
      while (i + 16 <= n) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (_mm_movemask_epi8(bytes) != 0)
          break;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_unpacklo_epi8(bytes, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o + 8), _mm_unpackhi_epi8(bytes, zero));
        i += 16;
        o += 16;
      }
#endif
      while (i < n && s[i] < 0x80)
        out[o++] = s[i++];
    } else if (lead < 0xE0) {
      out[o++] = static_cast<char16_t>(((lead & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
    } else if (lead < 0xF0) {
      out[o++] = static_cast<char16_t>(((lead & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) |
                                       (s[i + 2] & 0x3F));
      i += 3;
    } else {
      const std::uint32_t cp = ((lead & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) |
                               ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
      out[o] = static_cast<char16_t>(0xD7C0 + (cp >> 10));
      out[o + 1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
      o += 2;
      i += 4;
    }
  }
  return o;
}

#if defined(__SSE2__)
// Eight units at a time for text in runs of one script: a block of units below U+0800 (ASCII
// mixed with 2-byte letters) is encoded as byte pairs and squeezed by a shuffle chosen by
// which units need two bytes; a block of 3-byte units (no surrogate) is encoded four units at
// a time and squeezed by a fixed shuffle. Any other block is left to the scalar loop (0).
// Stores 16 bytes at a time: past what it reports it writes only within the 3 bytes a unit
// the caller reserves, plus 4 bytes of spill.
struct PairShuffles {
  alignas(16) unsigned char mask[256][16];
  unsigned char length[256];
  PairShuffles() {
    for (unsigned m = 0; m < 256; ++m) {
      unsigned n = 0;
      for (unsigned k = 0; k < 8; ++k) {
        mask[m][n++] = static_cast<unsigned char>(2 * k);
        if (m & (1u << k))
          mask[m][n++] = static_cast<unsigned char>(2 * k + 1);
      }
      length[m] = static_cast<unsigned char>(n);
      while (n < 16)
        mask[m][n++] = 0x80;
    }
  }
};

__attribute__((target("ssse3"))) std::size_t encodeBlockOf8(const char16_t* s,
                                                            unsigned char* out) {
  static const PairShuffles shuffles;
  const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i zero = _mm_setzero_si128();
  const __m128i high5 = _mm_and_si128(units, _mm_set1_epi16(static_cast<short>(0xF800)));
  const __m128i below800 = _mm_cmpeq_epi16(high5, zero);
  const unsigned small = static_cast<unsigned>(_mm_movemask_epi8(below800));
  if (small == 0xFFFF) {
    const __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(-128)), zero);
    if (_mm_movemask_epi8(ascii) == 0xFFFF)
      return 0; // ASCII runs have a faster path of their own
    const __m128i lead = _mm_or_si128(_mm_srli_epi16(units, 6), _mm_set1_epi16(0xC0));
    const __m128i trail =
        _mm_or_si128(_mm_and_si128(units, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80));
    const __m128i pair = _mm_or_si128(lead, _mm_slli_epi16(trail, 8));
    const __m128i lanes =
        _mm_or_si128(_mm_and_si128(ascii, units), _mm_andnot_si128(ascii, pair));
    const unsigned two =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii, zero))) ^ 0xFFu;
    const __m128i packed = _mm_shuffle_epi8(
        lanes, _mm_load_si128(reinterpret_cast<const __m128i*>(shuffles.mask[two])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
    return shuffles.length[two];
  }
  const __m128i surrogate = _mm_cmpeq_epi16(high5, _mm_set1_epi16(static_cast<short>(0xD800)));
  if (small != 0 || _mm_movemask_epi8(surrogate) != 0)
    return 0;
  const __m128i squeeze =
      _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -128, -128, -128, -128);
  const __m128i halves[2] = {_mm_unpacklo_epi16(units, zero), _mm_unpackhi_epi16(units, zero)};
  for (int h = 0; h < 2; ++h) {
    const __m128i half = halves[h];
    const __m128i b0 = _mm_or_si128(_mm_srli_epi32(half, 12), _mm_set1_epi32(0xE0));
    const __m128i b1 = _mm_or_si128(_mm_and_si128(_mm_srli_epi32(half, 6), _mm_set1_epi32(0x3F)),
                                    _mm_set1_epi32(0x80));
    const __m128i b2 =
        _mm_or_si128(_mm_and_si128(half, _mm_set1_epi32(0x3F)), _mm_set1_epi32(0x80));
    const __m128i word =
        _mm_or_si128(b0, _mm_or_si128(_mm_slli_epi32(b1, 8), _mm_slli_epi32(b2, 16)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12 * h), _mm_shuffle_epi8(word, squeeze));
  }
  return 24;
}
#endif

// Text known to hold no lone surrogate. A unit below U+0800 that is not a surrogate becomes
// 1 to 3 bytes chosen without a branch, so text that mixes ASCII with accented letters does
// not pay a mispredicted branch at every change. It writes 4 bytes whatever the length, so
// the output needs 3 bytes of room past its end.
inline std::size_t encodeBmp(std::uint32_t u, unsigned char* out) {
  const std::uint32_t one = u;
  const std::uint32_t two = (0xC0 | (u >> 6)) | ((0x80 | (u & 0x3F)) << 8);
  const std::uint32_t three =
      (0xE0 | (u >> 12)) | ((0x80 | ((u >> 6) & 0x3F)) << 8) | ((0x80 | (u & 0x3F)) << 16);
  const std::uint32_t word = u < 0x80 ? one : u < 0x800 ? two : three;
  std::memcpy(out, &word, 4); // little-endian: the first byte lands first
  return 1 + (u >= 0x80) + (u >= 0x800);
}

std::size_t validUtf16ToUtf8(const char16_t* s, std::size_t n, unsigned char* out,
                             bool blocks) {
  std::size_t i = 0;
  std::size_t o = 0;
  // After a block the vector path declines, the scalar loop takes at least those 8 units
  // (a run of ASCII, all of it) before the vector path is asked again; each further refusal
  // in a row doubles that distance, so text of surrogate pairs stops asking.
  std::size_t retryAt = blocks ? 0 : n;
  std::size_t backoff = 8;
  while (i < n) {
#if defined(__SSE2__)
    if (i >= retryAt) {
      std::size_t written;
      const std::size_t start = i;
      while (i + 8 <= n && (written = encodeBlockOf8(s + i, out + o)) != 0) {
        i += 8;
        o += written;
      }
      if (i == n)
        break;
      backoff = i != start ? 8 : (backoff < 512 ? 2 * backoff : backoff);
      retryAt = i + backoff;
    }
#endif
    std::uint32_t u = s[i];
    if (u < 0x80) {
      copyAsciiRun<true>(s, n, i, out, o);
      continue;
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      // Only high-low pairs are left here.
      const std::uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
      out[o] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      out[o + 1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      out[o + 2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      out[o + 3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      o += 4;
      i += 2;
      continue;
    }
    // A run of BMP characters, branch-free, until the vector path may take over again.
    do {
      o += encodeBmp(u, out + o);
      if (++i == n || i >= retryAt)
        break;
      u = s[i];
    } while (u >= 0x80 && !(u >= 0xD800 && u <= 0xDFFF));
  }
  return o;
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define XSTR_HAVE_SSSE3_CHECK 1

// Validates UTF-8 16 bytes at a time and counts the UTF-16 units it makes. Every error the
// decoder distinguishes shows in the pair (previous byte, byte): three table look-ups, on the
// previous byte's two nibbles and on the byte's high nibble, each give the set of error kinds
// that nibble allows, and a kind present in all three is an error. Only "a continuation byte
// too many or too few" needs the bytes two and three back, which says whether a third or
// fourth continuation byte is due.
constexpr std::uint8_t tooShort = 1 << 0;  // a lead not followed by a continuation byte
constexpr std::uint8_t tooLong = 1 << 1;   // a continuation byte after ASCII
constexpr std::uint8_t overlong2 = 1 << 2; // C0, C1
constexpr std::uint8_t overlong3 = 1 << 3; // E0 80-9F
constexpr std::uint8_t surrogate = 1 << 4; // ED A0-BF
constexpr std::uint8_t overlong4 = 1 << 5; // F0 80-8F, and F5-FF 80-8F
constexpr std::uint8_t tooLarge = 1 << 6;  // F4-FF 90-BF
constexpr std::uint8_t twoConts = 1 << 7;  // a continuation byte after a continuation byte

struct Utf8Validator {
  __m128i error = _mm_setzero_si128();
  __m128i previous = _mm_setzero_si128();
  __m128i incomplete = _mm_setzero_si128(); // the previous block ends inside a sequence

  __attribute__((target("ssse3"))) void block(__m128i bytes) {
    if (_mm_movemask_epi8(bytes) == 0) {
      // Every ASCII byte looks the same to the tables, so the first block of a run of
      // ASCII can stand for the last one as the previous block.
      error = _mm_or_si128(error, incomplete);
      previous = bytes;
      incomplete = _mm_setzero_si128();
      return;
    }
    const __m128i prev1 = _mm_alignr_epi8(bytes, previous, 15);
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i byPrevHigh = _mm_shuffle_epi8(
        _mm_setr_epi8(tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong, tooLong,
                      static_cast<char>(twoConts), static_cast<char>(twoConts),
                      static_cast<char>(twoConts), static_cast<char>(twoConts),
                      tooShort | overlong2, tooShort, tooShort | overlong3 | surrogate,
                      tooShort | overlong4 | tooLarge),
        _mm_and_si128(_mm_srli_epi16(prev1, 4), nibble));
    constexpr char any = static_cast<char>(tooShort | tooLong | twoConts);
    const __m128i byPrevLow = _mm_shuffle_epi8(
        _mm_setr_epi8(any | overlong2 | overlong3 | overlong4, any | overlong2, any, any,
                      any | tooLarge, any | tooLarge | overlong4, any | tooLarge | overlong4,
                      any | tooLarge | overlong4, any | tooLarge | overlong4,
                      any | tooLarge | overlong4, any | tooLarge | overlong4,
                      any | tooLarge | overlong4, any | tooLarge | overlong4,
                      any | tooLarge | overlong4 | surrogate, any | tooLarge | overlong4,
                      any | tooLarge | overlong4),
        _mm_and_si128(prev1, nibble));
    constexpr char cont = static_cast<char>(tooLong | overlong2 | twoConts);
    const __m128i byHigh = _mm_shuffle_epi8(
        _mm_setr_epi8(tooShort, tooShort, tooShort, tooShort, tooShort, tooShort, tooShort,
                      tooShort, cont | overlong3 | overlong4, cont | overlong3 | tooLarge,
                      cont | surrogate | tooLarge, cont | surrogate | tooLarge, tooShort,
                      tooShort, tooShort, tooShort),
        _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble));
    const __m128i kinds = _mm_and_si128(_mm_and_si128(byPrevHigh, byPrevLow), byHigh);
    // A third byte after E0-FF or a fourth after F0-FF must be a continuation byte (and
    // then is one after another): the twoConts bit must be there exactly when it is due.
    const __m128i prev2 = _mm_alignr_epi8(bytes, previous, 14);
    const __m128i prev3 = _mm_alignr_epi8(bytes, previous, 13);
    const __m128i due = _mm_or_si128(_mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xDF))),
                                     _mm_subs_epu8(prev3, _mm_set1_epi8(static_cast<char>(0xEF))));
    const __m128i due80 = _mm_and_si128(_mm_cmpgt_epi8(due, _mm_setzero_si128()),
                                        _mm_set1_epi8(static_cast<char>(0x80)));
    error = _mm_or_si128(error, _mm_xor_si128(kinds, due80));
    previous = bytes;
    incomplete = _mm_subs_epu8(
        bytes, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                             static_cast<char>(0xEF), static_cast<char>(0xDF),
                             static_cast<char>(0xBF)));
  }

  bool failed() const {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(error, _mm_setzero_si128())) != 0xFFFF;
  }
};

// UTF-16 units of 16 bytes: one per byte that is not a continuation byte, one more per
// four-byte lead.
__attribute__((target("popcnt"))) inline unsigned unitsIn(__m128i bytes, unsigned mask) {
  const unsigned leads =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(-65))));
  // F0-FF are the bytes above -17 that are not ASCII.
  const unsigned fours =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(bytes, _mm_set1_epi8(-17))) &
                            _mm_movemask_epi8(bytes));
  return static_cast<unsigned>(__builtin_popcount(leads & mask) + __builtin_popcount(fours & mask));
}

// The exact UTF-16 length of well-formed, complete UTF-8, or false when the text is not.
__attribute__((target("ssse3,popcnt"))) bool measureValidUtf8(const unsigned char* s,
                                                             std::size_t n, std::size_t* units) {
  Utf8Validator validator;
  std::size_t count = 0;
  std::size_t i = 0;
  while (i + 16 <= n) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    if (_mm_movemask_epi8(bytes) == 0) {
      // ASCII needs no table look-up; 32 bytes a step while it lasts.
      validator.block(bytes);
      i += 16;
      while (i + 32 <= n) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
        if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0)
          break;
        i += 32;
      }
      continue;
    }
    validator.block(bytes);
    // The units of ASCII are added at the end: one per byte, less the continuation bytes.
    count += unitsIn(bytes, 0xFFFF);
    count -= 16;
    i += 16;
    // Malformed text goes to the decoder that replaces; no need to read it all first.
    if ((i & 4095) == 0 && validator.failed())
      return false;
  }
  count += i;
  // The tail padded with NULs: a sequence cut off by the end meets a NUL and fails.
  alignas(16) unsigned char tail[16] = {};
  std::memcpy(tail, s + i, n - i);
  const __m128i bytes = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
  validator.block(bytes);
  count += unitsIn(bytes, (1u << (n - i)) - 1);
  *units = count;
  return !validator.failed();
}

bool haveSsse3() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
  }();
  return have;
}
#endif

#if defined(__SSE2__)
// The exact UTF-8 length of UTF-16 without lone surrogates, or false when a surrogate stands
// alone: one byte per unit, one more from U+0080, one more from U+0800, and a surrogate's
// third byte taken back (a pair gives 2 + 2).
bool measureValidUtf16(const char16_t* s, std::size_t n, std::size_t* bytes) {
  std::size_t i = 0;
  std::size_t count = n;
  unsigned carry = 0; // the previous block ends in a high surrogate
  const __m128i zero = _mm_setzero_si128();
  const __m128i surrogateMask = _mm_set1_epi16(static_cast<short>(0xF800));
  const __m128i kindMask = _mm_set1_epi16(static_cast<short>(0xFC00));
  const __m128i highs = _mm_set1_epi16(static_cast<short>(0xD800));
  const __m128i lows = _mm_set1_epi16(static_cast<short>(0xDC00));
  while (i + 8 <= n) {
    // 16-bit lanes count at most 2 per block; 8192 blocks stay below 32768 for the sum.
    __m128i extra = zero;
    const std::size_t stop = i + 8 * 8192 < n ? i + 8 * 8192 : n;
    for (; i + 8 <= stop; i += 8) {
      const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      const __m128i below80 = _mm_cmpeq_epi16(_mm_and_si128(units, _mm_set1_epi16(-128)), zero);
      if (_mm_movemask_epi8(below80) == 0xFFFF) {
        if (carry != 0)
          return false;
        continue;
      }
      const __m128i below800 = _mm_cmpeq_epi16(_mm_and_si128(units, surrogateMask), zero);
      const __m128i isSurrogate = _mm_cmpeq_epi16(_mm_and_si128(units, surrogateMask), highs);
      // The masks are -1 where true: 2 + below80 + below800 is how many of the two steps
      // the unit passes, and a surrogate (-1) takes one back.
      extra = _mm_add_epi16(extra, _mm_add_epi16(_mm_add_epi16(below80, below800),
                                                 _mm_add_epi16(isSurrogate, _mm_set1_epi16(2))));
      if (_mm_movemask_epi8(isSurrogate) != 0) {
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(units, kindMask), highs), zero)));
        const unsigned low = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(units, kindMask), lows), zero)));
        if (low != (((high << 1) | carry) & 0xFF))
          return false;
        carry = high >> 7;
      } else if (carry != 0) {
        return false;
      }
    }
    const __m128i pairs = _mm_madd_epi16(extra, _mm_set1_epi16(1));
    alignas(16) std::int32_t sums[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(sums), pairs);
    count += static_cast<std::size_t>(sums[0]) + static_cast<std::size_t>(sums[1]) +
             static_cast<std::size_t>(sums[2]) + static_cast<std::size_t>(sums[3]);
  }
  for (; i < n; ++i) {
    const std::uint32_t u = s[i];
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    const bool low = u >= 0xDC00 && u <= 0xDFFF;
    if (low != (carry != 0))
      return false;
    carry = high;
    count += (u >= 0x80) + (u >= 0x800) - (high || low);
  }
  if (carry != 0)
    return false;
  *bytes = count;
  return true;
}
#endif

// Up to this many input bytes or units the text is converted once into a buffer on the stack
// and copied into a result of its exact size: a short path pays one pass, not two.
constexpr std::size_t shortText = 256;
// Longer text is written in pieces of this many input bytes or units through the stack.
constexpr std::size_t chunkSize = 2048;

XstrWide toWide(const char* text, std::size_t length) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (length <= shortText) {
    char16_t units[shortText]; // never more units than bytes
    return XstrWide(units, utf8ToUtf16<true>(bytes, length, units));
  }
#if defined(XSTR_HAVE_SSSE3_CHECK)
  std::size_t units = 0;
  if (haveSsse3() && measureValidUtf8(bytes, length, &units)) {
    // Written a piece at a time through the stack rather than into a zero-filled string:
    // filling the string first costs more than the copy.
    XstrWide result;
    result.reserve(units);
    char16_t chunk[chunkSize]; // never more units than bytes
    std::size_t i = 0;
    while (i < length) {
      std::size_t end = i + chunkSize;
      if (end >= length)
        end = length;
      else
        while (isContinuation(bytes[end])) // the piece ends with a whole character
          --end;
      result.append(chunk, validUtf8ToUtf16(bytes + i, end - i, chunk));
      i = end;
    }
    return result;
  }
#endif
  const std::size_t size = utf8ToUtf16<false>(bytes, length, nullptr);
  XstrWide result(size, u'\0');
  utf8ToUtf16<true>(bytes, length, &result[0]);
  return result;
}

std::string toUtf8(const char16_t* text, std::size_t length) {
  if (length <= shortText) {
    unsigned char bytes[shortText * 3]; // never more than 3 bytes per unit
    return std::string(reinterpret_cast<const char*>(bytes),
                       utf16ToUtf8<true>(text, length, bytes));
  }
#if defined(__SSE2__)
  std::size_t valid = 0;
  if (measureValidUtf16(text, length, &valid)) {
    static const bool blocks = haveSsse3();
    std::string result;
    result.reserve(valid);
    unsigned char chunk[chunkSize * 3 + 4]; // 3 bytes a unit at most, and the spill
    std::size_t i = 0;
    while (i < length) {
      std::size_t end = i + chunkSize;
      if (end >= length)
        end = length;
      else if (text[end - 1] >= 0xD800 && text[end - 1] <= 0xDBFF) // keep a pair together
        --end;
      result.append(reinterpret_cast<const char*>(chunk),
                    validUtf16ToUtf8(text + i, end - i, chunk, blocks));
      i = end;
    }
    return result;
  }
#endif
  const std::size_t size = utf16ToUtf8<false>(text, length, nullptr);
  std::string result(size, '\0');
  utf16ToUtf8<true>(text, length, reinterpret_cast<unsigned char*>(&result[0]));
  return result;
}
// The standard library looks for a NUL unit one unit at a time, which costs more than the
// whole conversion of ASCII text.
std::size_t unitsBeforeNul(const char16_t* s, std::size_t n) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 8 <= n; i += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const unsigned nul = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, zero)));
    if (nul != 0)
      return i + static_cast<std::size_t>(__builtin_ctz(nul)) / 2;
  }
#endif
  while (i < n && s[i] != 0)
    ++i;
  return i;
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
  return toUtf8(text.data(), unitsBeforeNul(text.data(), text.size()));
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
