// A Thompson-style matcher: the pattern compiles to a small program, and the line is read
// once, byte by byte, with the set of program positions still alive.
#include "tools/pdmhost/Pattern.h"

#include <cctype>
#include <cstdint>

namespace pdmhost {

namespace {

using Inst = Pattern::Inst;
using Code = std::vector<Inst>;

// Appends a piece whose jumps count from its own start.
void append(Code& to, const Code& piece) {
  const int base = static_cast<int>(to.size());
  for (Inst i : piece) {
    i.x += base;
    i.y += base;
    to.push_back(i);
  }
}

class Compiler {
public:
  explicit Compiler(const std::string& text) : s_(text) {}

  Code pattern() {
    Code code = alternation(0);
    if (error.empty() && i_ < s_.size())
      error = "unmatched \")\" at byte " + std::to_string(i_ + 1);
    return code;
  }
  std::string error;

private:
  Code alternation(int depth) {
    Code left = sequence(depth);
    while (error.empty() && i_ < s_.size() && s_[i_] == '|') {
      ++i_;
      const Code right = sequence(depth);
      const int n = static_cast<int>(left.size());
      Code both{Inst{Inst::Split, 1, n + 2, {}}};
      append(both, left);
      both.push_back(Inst{Inst::Jmp, n + 2 + static_cast<int>(right.size()), 0, {}});
      append(both, right);
      left = std::move(both);
    }
    return left;
  }
  Code sequence(int depth) {
    Code code;
    while (error.empty() && i_ < s_.size() && s_[i_] != '|' && s_[i_] != ')') {
      Code piece = atom(depth);
      while (error.empty() && i_ < s_.size() &&
             std::string("*+?{").find(s_[i_]) != std::string::npos)
        piece = repeat(std::move(piece), s_[i_++]);
      append(code, piece);
    }
    return code;
  }
  Code repeat(Code piece, char how) {
    const int n = static_cast<int>(piece.size());
    Code code;
    if (how == '{') {
      error = "counted repetition \"{\" is not supported (byte " + std::to_string(i_) + ")";
    } else if (how == '+') {
      append(code, piece);
      code.push_back(Inst{Inst::Split, 0, n + 1, {}});
    } else {
      code.push_back(Inst{Inst::Split, 1, n + (how == '*' ? 2 : 1), {}});
      append(code, piece);
      if (how == '*')
        code.push_back(Inst{Inst::Jmp, 0, 0, {}});
    }
    return code;
  }
  Code atom(int depth) {
    const char c = s_[i_++];
    Inst set{Inst::Set, 0, 0, {}};
    switch (c) {
    case '(':
      if (depth + 1 > PDMHOST_MAX_PATTERN_NESTING) {
        error = "groups nested deeper than " + std::to_string(PDMHOST_MAX_PATTERN_NESTING);
        return {};
      }
      if (i_ < s_.size() && s_[i_] == '?') {
        error = "\"(?\" groups are not supported";
        return {};
      }
      {
        Code inner = alternation(depth + 1);
        if (error.empty() && (i_ >= s_.size() || s_[i_] != ')'))
          error = "unclosed \"(\"";
        ++i_;
        return inner;
      }
    case '*':
    case '+':
    case '?':
    case '{':
      error = std::string("\"") + c + "\" repeats nothing (byte " + std::to_string(i_) + ")";
      return {};
    case '^':
      return {Inst{Inst::Bol, 0, 0, {}}};
    case '$':
      return {Inst{Inst::Eol, 0, 0, {}}};
    case '.':
      set.bytes.set();
      set.bytes.reset('\n');
      return {set};
    case '[':
      return {bracket()};
    case '\\':
      escape(&set.bytes);
      return {set};
    default:
      set.bytes.set(static_cast<unsigned char>(c));
      return {set};
    }
  }
  void escape(std::bitset<256>* bytes) {
    if (i_ >= s_.size()) {
      error = "a pattern ends with \"\\\"";
      return;
    }
    const char e = s_[i_++];
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(e)));
    if (lower == 'd' || lower == 'w' || lower == 's') {
      std::bitset<256> in;
      for (int b = 0; b < 256; ++b)
        in[b] = lower == 'd'   ? std::isdigit(b)
                : lower == 'w' ? std::isalnum(b) || b == '_'
                               : std::isspace(b);
      *bytes |= e == lower ? in : ~in;
    } else if (e == 'n' || e == 't') {
      bytes->set(e == 'n' ? '\n' : '\t');
    } else if (std::isalnum(static_cast<unsigned char>(e))) {
      error = std::string("the escape \"\\") + e + "\" is not supported";
    } else {
      bytes->set(static_cast<unsigned char>(e));
    }
  }
  Inst bracket() {
    Inst set{Inst::Set, 0, 0, {}};
    const bool negate = i_ < s_.size() && s_[i_] == '^';
    i_ += negate;
    for (bool first = true; error.empty(); first = false) {
      if (i_ >= s_.size()) {
        error = "unclosed \"[\"";
        break;
      }
      const char c = s_[i_++];
      if (c == ']' && !first)
        break;
      if (c == '\\') {
        escape(&set.bytes);
      } else if (i_ + 1 < s_.size() && s_[i_] == '-' && s_[i_ + 1] != ']') {
        const char to = s_[i_ + 1];
        i_ += 2;
        if (static_cast<unsigned char>(to) < static_cast<unsigned char>(c))
          error = std::string("the range \"") + c + "-" + to + "\" runs backwards";
        for (int b = static_cast<unsigned char>(c); b <= static_cast<unsigned char>(to); ++b)
          set.bytes.set(b);
      } else {
        set.bytes.set(static_cast<unsigned char>(c));
      }
    }
    if (negate)
      set.bytes.flip();
    return set;
  }

  const std::string& s_;
  size_t i_ = 0;
};

} // namespace

std::string Pattern::compile(const std::string& text) {
  code_.clear();
  if (text.size() > PDMHOST_MAX_PATTERN_BYTES)
    return "a pattern has at most " + std::to_string(PDMHOST_MAX_PATTERN_BYTES) + " bytes";
  Compiler compiler(text);
  Code code = compiler.pattern();
  if (!compiler.error.empty())
    return compiler.error;
  code.push_back(Inst{Inst::Match, 0, 0, {}});
  code_ = std::move(code);
  return "";
}

bool Pattern::search(const std::string& subject) const {
  const size_t n = subject.size();
  std::vector<int> now, next, stack;
  std::vector<size_t> seen(code_.size(), SIZE_MAX); // the position each instruction was added at
  bool matched = false;
  // Follows the jumps from pc at position pos; what waits for a byte goes to `list`.
  const auto add = [&](std::vector<int>& list, int pc, size_t pos) {
    stack.assign(1, pc);
    while (!stack.empty() && !matched) {
      const int at = stack.back();
      stack.pop_back();
      if (seen[at] == pos)
        continue;
      seen[at] = pos;
      const Inst& i = code_[at];
      switch (i.op) {
      case Inst::Jmp:
        stack.push_back(i.x);
        break;
      case Inst::Split:
        stack.push_back(i.y);
        stack.push_back(i.x);
        break;
      case Inst::Bol:
        if (pos == 0)
          stack.push_back(at + 1);
        break;
      case Inst::Eol:
        if (pos == n)
          stack.push_back(at + 1);
        break;
      case Inst::Match:
        matched = true;
        break;
      case Inst::Set:
        list.push_back(at);
      }
    }
  };
  for (size_t pos = 0; !code_.empty(); ++pos) {
    add(now, 0, pos); // a match may start at any position
    if (matched || pos == n)
      break;
    next.clear();
    for (const int pc : now)
      if (code_[pc].bytes.test(static_cast<unsigned char>(subject[pos])))
        add(next, pc + 1, pos + 1);
    now.swap(next);
  }
  return matched;
}

} // namespace pdmhost
