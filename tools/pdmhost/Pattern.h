// expectLog's regular expressions, matched in time linear in the line: a scenario is
// untrusted input and a pattern must not hang a CI job, which a backtracking matcher
// allows. Supported: literals, ".", classes "[a-z]" "[^...]", the escapes \d \w \s (and
// their capitals), "^", "$", groups "( )", "|", "*", "+", "?".
#pragma once

#include <bitset>
#include <string>
#include <vector>

namespace pdmhost {

constexpr size_t PDMHOST_MAX_PATTERN_BYTES = 256;
constexpr int PDMHOST_MAX_PATTERN_NESTING = 16;

class Pattern {
public:
  /// "" when `text` is a pattern; otherwise why not (nothing is kept).
  std::string compile(const std::string& text);
  /// Whether the pattern matches anywhere in `subject`.
  bool search(const std::string& subject) const;

  struct Inst {
    enum Op : unsigned char { Set, Split, Bol, Eol, Match } op;
    int x, y; ///< Split's two ways on, counted from the split itself (a jump: both the same)
    std::bitset<256> bytes;
  };

private:
  std::vector<Inst> code_;
};

} // namespace pdmhost
