// A Thompson-style matcher: the pattern compiles to a small program, and the line is read
// once, byte by byte, with the set of program positions still alive. Jumps count from
// their own instruction, so wrapping a piece (a split put in front of it) leaves the
// piece's own jumps as they are.
#include "tools/pdmhost/Pattern.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace pdmhost {

namespace {

using Inst = Pattern::Inst;

struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Inst split(int x, int y) { return Inst{Inst::Split, x, y, {}}; }

class Compiler {
public:
  Compiler(const std::string& text, std::vector<Inst>& code) : s_(text), code_(code) {}

  void pattern() {
    alternation(0);
    if (i_ < s_.size())
      throw Refused("unmatched \")\" at byte " + std::to_string(i_ + 1));
    code_.push_back(Inst{Inst::Match, 0, 0, {}});
  }

private:
  bool at(const char* chars) const {
    return i_ < s_.size() && s_[i_] != '\0' && std::strchr(chars, s_[i_]);
  }

  void alternation(int depth) {
    const size_t start = code_.size();
    sequence(depth);
    while (at("|")) {
      ++i_;
      code_.insert(code_.begin() + start, split(1, static_cast<int>(code_.size() - start) + 2));
      const size_t jump = code_.size();
      code_.push_back(split(0, 0));
      sequence(depth);
      code_[jump].x = code_[jump].y = static_cast<int>(code_.size() - jump);
    }
  }

  void sequence(int depth) {
    while (i_ < s_.size() && !at("|)")) {
      const size_t start = code_.size();
      atom(depth);
      while (at("*+?{")) {
        const char how = s_[i_++];
        const int n = static_cast<int>(code_.size() - start);
        if (how == '{')
          throw Refused("counted repetition \"{\" is not supported (byte " + std::to_string(i_) +
                        ")");
        if (how == '+') {
          code_.push_back(split(-n, 1));
          continue;
        }
        code_.insert(code_.begin() + start, split(1, n + (how == '*' ? 2 : 1)));
        if (how == '*')
          code_.push_back(split(-n - 1, -n - 1));
      }
    }
  }

  void atom(int depth) {
    const char c = s_[i_++];
    Inst set{Inst::Set, 1, 1, {}};
    if (c == '(') {
      if (depth == PDMHOST_MAX_PATTERN_NESTING)
        throw Refused("groups nested deeper than " + std::to_string(PDMHOST_MAX_PATTERN_NESTING));
      if (at("?"))
        throw Refused("\"(?\" groups are not supported");
      alternation(depth + 1);
      if (!at(")"))
        throw Refused("unclosed \"(\"");
      ++i_;
      return;
    }
    if (c != '\0' && std::strchr("*+?{", c))
      throw Refused(std::string("\"") + c + "\" repeats nothing (byte " + std::to_string(i_) + ")");
    if (c == '^' || c == '$')
      set.op = c == '^' ? Inst::Bol : Inst::Eol;
    else if (c == '.')
      set.bytes.set().reset('\n');
    else if (c == '[')
      bracket(set.bytes);
    else if (c == '\\')
      escape(set.bytes);
    else
      set.bytes.set(static_cast<unsigned char>(c));
    code_.push_back(set);
  }

  void escape(std::bitset<256>& bytes) {
    if (i_ >= s_.size())
      throw Refused("a pattern ends with \"\\\"");
    const char e = s_[i_++];
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(e)));
    if (lower == 'd' || lower == 'w' || lower == 's') {
      std::bitset<256> in;
      for (int b = 0; b < 256; ++b)
        in[b] = lower == 'd'   ? std::isdigit(b)
                : lower == 'w' ? std::isalnum(b) || b == '_'
                               : std::isspace(b);
      bytes |= e == lower ? in : ~in;
    } else if (e == 'n' || e == 't') {
      bytes.set(e == 'n' ? '\n' : '\t');
    } else if (std::isalnum(static_cast<unsigned char>(e))) {
      throw Refused(std::string("the escape \"\\") + e + "\" is not supported");
    } else {
      bytes.set(static_cast<unsigned char>(e));
    }
  }

  void bracket(std::bitset<256>& bytes) {
    const bool negate = at("^");
    i_ += negate;
    for (bool first = true;; first = false) {
      if (i_ >= s_.size())
        throw Refused("unclosed \"[\"");
      const auto from = static_cast<unsigned char>(s_[i_++]);
      if (from == ']' && !first)
        break;
      if (from == '\\') {
        escape(bytes);
        continue;
      }
      auto to = from;
      if (i_ + 1 < s_.size() && s_[i_] == '-' && s_[i_ + 1] != ']') {
        to = static_cast<unsigned char>(s_[i_ + 1]);
        i_ += 2;
      }
      if (to < from)
        throw Refused(std::string("the range \"") + static_cast<char>(from) + "-" +
                      static_cast<char>(to) + "\" runs backwards");
      for (int b = from; b <= to; ++b)
        bytes.set(b);
    }
    if (negate)
      bytes.flip();
  }

  const std::string& s_;
  std::vector<Inst>& code_;
  size_t i_ = 0;
};

} // namespace

std::string Pattern::compile(const std::string& text) {
  code_.clear();
  if (text.size() > PDMHOST_MAX_PATTERN_BYTES)
    return "a pattern has at most " + std::to_string(PDMHOST_MAX_PATTERN_BYTES) + " bytes";
  try {
    Compiler(text, code_).pattern();
    return "";
  } catch (const Refused& e) {
    code_.clear();
    return e.what();
  }
}

bool Pattern::search(const std::string& subject) const {
  std::vector<int> now, next, stack;
  std::vector<size_t> seen(code_.size(), SIZE_MAX); // the position each was last taken at
  // Follows splits and anchors from pc at pos; what waits for a byte goes to `list`. An
  // instruction is taken once per position, which keeps the search linear in the line.
  const auto add = [&](std::vector<int>& list, int pc, size_t pos) {
    for (stack.assign(1, pc); !stack.empty();) {
      const int at = stack.back();
      stack.pop_back();
      if (seen[at] == pos)
        continue;
      seen[at] = pos;
      const Inst& i = code_[at];
      if (i.op == Inst::Match)
        return true;
      if (i.op == Inst::Set)
        list.push_back(at);
      else if (i.op == Inst::Split)
        stack.insert(stack.end(), {at + i.y, at + i.x});
      else if (pos == (i.op == Inst::Bol ? 0 : subject.size()))
        stack.push_back(at + 1);
    }
    return false;
  };
  for (size_t pos = 0; !code_.empty(); ++pos) {
    if (add(now, 0, pos)) // a match may start at any position
      return true;
    if (pos == subject.size())
      return false;
    next.clear();
    for (const int pc : now)
      if (code_[pc].bytes.test(static_cast<unsigned char>(subject[pos])) &&
          add(next, pc + 1, pos + 1))
        return true;
    now.swap(next);
  }
  return false;
}

} // namespace pdmhost
