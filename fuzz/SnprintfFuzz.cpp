// The counted formatter at random rooms on both sides of 4 KiB: the text each format gives is
// built here by hand, and the buffer must hold what the counted rule says, with a guard
// region behind the room that no byte may reach.
#include "fuzz/FuzzCheck.h"
#include "xpl/Xstr.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t guard = 32;
  FuzzedDataProvider input(data, size);
  const bool withNumber = input.ConsumeBool();
  const size_t room = input.ConsumeIntegralInRange<size_t>(0, input.ConsumeBool() ? 64 : 9000);
  const int number = input.ConsumeIntegral<int>();
  size_t repeat = input.ConsumeIntegralInRange<size_t>(1, 400);
  std::string piece = input.ConsumeRemainingBytesAsString();
  piece.resize(std::strlen(piece.c_str())); // %s reads up to the NUL
  std::string arg;
  while (repeat-- > 0 && arg.size() < 9000)
    arg += piece;

  std::vector<char> buffer(room + guard, '#');
  std::string text;
  int result;
  if (withNumber) {
    text = std::to_string(number) + " " + arg;
    result = xstrSnprintf(buffer.data(), room, "%d %s", number, arg.c_str());
  } else {
    text = "[" + arg + "]%";
    result = xstrSnprintf(buffer.data(), room, "[%s]%%", arg.c_str());
  }
  FUZZ_CHECK(result == (text.size() <= room ? static_cast<int>(text.size()) : -1));
  // The text up to the room, a NUL only when the text is shorter, nothing past the room.
  const std::string written = text.substr(0, room) + std::string(text.size() < room, '\0');
  FUZZ_CHECK(std::string(buffer.begin(), buffer.end()) ==
             written + std::string(room + guard - written.size(), '#'));
  return 0;
}
