// The counted formatter at random rooms: the text each format gives is built here by hand,
// and the buffer must hold what the three cases of the counted rule say, with a guard
// region behind the room that no byte may reach.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xstr.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr size_t guard = 32;
constexpr unsigned char fill = 0xA5;

std::string padLeft(const std::string& s, size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}
std::string padRight(const std::string& s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

int viaVa(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = xstrVsnprintf(buffer, count, format, args);
  va_end(args);
  return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const int which = input.ConsumeIntegralInRange<int>(0, 5);
  const bool throughVa = input.ConsumeBool();
  // Rooms on both sides of the 4096 bytes where the formatter changes how it fetches the
  // last byte.
  const size_t room = input.ConsumeBool() ? input.ConsumeIntegralInRange<size_t>(0, 64)
                                          : input.ConsumeIntegralInRange<size_t>(0, 9000);
  const int number = input.ConsumeIntegral<int>();
  const int precision = input.ConsumeIntegralInRange<int>(0, 9000);
  const size_t repeat = input.ConsumeIntegralInRange<size_t>(1, 400);
  std::string piece = input.ConsumeRemainingBytesAsString();
  piece = piece.substr(0, std::strlen(piece.c_str())); // %s reads up to the NUL
  std::string arg;
  for (size_t i = 0; i < repeat && arg.size() < 9000; ++i)
    arg += piece;
  const char* s = arg.c_str();

  std::unique_ptr<char[]> storage(new char[room + guard]);
  std::memset(storage.get(), fill, room + guard);
  char* buffer = storage.get();

  std::string text;
  int result;
  switch (which) {
  case 0:
    text = arg;
    result = throughVa ? viaVa(buffer, room, "%s", s) : xstrSnprintf(buffer, room, "%s", s);
    break;
  case 1:
    text = arg.substr(0, static_cast<size_t>(precision));
    result = throughVa ? viaVa(buffer, room, "%.*s", precision, s)
                       : xstrSnprintf(buffer, room, "%.*s", precision, s);
    break;
  case 2:
    text = std::to_string(number) + " " + arg;
    result = throughVa ? viaVa(buffer, room, "%d %s", number, s)
                       : xstrSnprintf(buffer, room, "%d %s", number, s);
    break;
  case 3:
    text = padRight(arg, 7) + "|" + padLeft(std::to_string(number), 5);
    result = throughVa ? viaVa(buffer, room, "%-7s|%5d", s, number)
                       : xstrSnprintf(buffer, room, "%-7s|%5d", s, number);
    break;
  case 4:
    text = "[" + arg + "]" + arg;
    result = throughVa ? viaVa(buffer, room, "[%s]%s", s, s)
                       : xstrSnprintf(buffer, room, "[%s]%s", s, s);
    break;
  default:
    text = "100%";
    result = throughVa ? viaVa(buffer, room, "100%%") : xstrSnprintf(buffer, room, "100%%");
    break;
  }

  const size_t length = text.size();
  if (length < room) {
    FUZZ_CHECK(result == static_cast<int>(length));
    FUZZ_CHECK(std::memcmp(buffer, text.data(), length) == 0);
    FUZZ_CHECK(buffer[length] == '\0');
  } else if (length == room) {
    FUZZ_CHECK(result == static_cast<int>(length));
    FUZZ_CHECK(std::memcmp(buffer, text.data(), length) == 0);
  } else {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(std::memcmp(buffer, text.data(), room) == 0);
  }
  for (size_t i = room; i < room + guard; ++i)
    FUZZ_CHECK(static_cast<unsigned char>(buffer[i]) == fill);
  return 0;
}
