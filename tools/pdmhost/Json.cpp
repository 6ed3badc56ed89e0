// nlohmann-json's SAX events build the nodes; the reader tracks how far it has read so
// each node gets its line.
#include "tools/pdmhost/Json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>
#include <utility>

namespace pdmhost {

namespace {

using json = nlohmann::json;

struct TrackingIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;
  const char* p;
  const char** reached;
  reference operator*() const { return *p; }
  TrackingIterator& operator++() {
    *reached = ++p;
    return *this;
  }
  bool operator==(const TrackingIterator& o) const { return p == o.p; }
  bool operator!=(const TrackingIterator& o) const { return p != o.p; }
};

class Builder {
public:
  Builder(const std::string& text, const std::string& source, int maxDepth, const NodeSink& sink)
      : begin_(text.data()), end_(begin_ + text.size()), reached_(begin_), source_(source),
        maxDepth_(maxDepth), sink_(sink) {}

  void run() {
    json::sax_parse(TrackingIterator{begin_, &reached_}, TrackingIterator{end_, &reached_}, this);
  }

  bool null() { return scalar(Node{}); }
  bool boolean(bool b) { return scalar(Node{Node::Bool, 0, b, "", "", {}}); }
  bool number_integer(json::number_integer_t v) {
    return v < 0 ? scalar(Node{Node::Negative, 0, 0 - static_cast<uint64_t>(v), "", "", {}})
                 : number_unsigned(static_cast<uint64_t>(v));
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return scalar(Node{Node::Unsigned, 0, v, "", "", {}});
  }
  bool number_float(json::number_float_t, const json::string_t& s) {
    return scalar(Node{Node::Float, 0, 0, "", s, {}});
  }
  bool string(json::string_t& s) { return scalar(Node{Node::String, 0, 0, "", std::move(s), {}}); }
  bool binary(json::binary_t&) { return scalar(Node{}); } // JSON text has none
  bool key(json::string_t& k) {
    for (const Node& n : stack_.back().items)
      if (n.key == k)
        failAt(source_, line(), path(), "the field \"" + k + "\" appears twice");
    key_ = std::move(k);
    return true;
  }
  bool start_object(std::size_t) { return open(Node::Object); }
  bool start_array(std::size_t) {
    if (stack_.empty())
      failAt(source_, line(), "", "the top level is an object with \"devices\" and \"steps\"");
    return open(Node::Array);
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    // The library's text after its "[json.exception...] parse error at line L, column C: ".
    std::string why = e.what();
    const size_t colon = why.find(": ", why.find("column"));
    if (colon != std::string::npos)
      why = why.substr(colon + 2);
    const char* at = begin_ + std::min<size_t>(position ? position - 1 : 0, end_ - begin_);
    const char* lineStart = at;
    while (lineStart > begin_ && lineStart[-1] != '\n')
      --lineStart;
    throw ScenarioError(source_ + ":" + std::to_string(lineOf(at)) + ":" +
                        std::to_string(at - lineStart + 1) + ": " +
                        (stack_.empty() ? "" : path() + (path().empty() ? "" : ": ")) + why);
  }

private:
  bool scalar(Node n) {
    if (stack_.empty())
      failAt(source_, line(), "", "the top level is an object with \"devices\" and \"steps\"");
    place(std::move(n));
    return true;
  }
  bool open(Node::Kind kind) {
    if (static_cast<int>(stack_.size()) >= maxDepth_)
      failAt(source_, line(), path(), "nested deeper than a scenario goes");
    if (stack_.size() == 1 && kind == Node::Array)
      count_ = 0;
    Node n{kind, line(), 0, "", "", {}};
    if (!stack_.empty() && stack_.back().kind == Node::Object)
      n.key = std::exchange(key_, {});
    stack_.push_back(std::move(n));
    return true;
  }
  bool close() {
    Node n = std::move(stack_.back());
    stack_.pop_back();
    if (stack_.empty())
      sink_("", 0, n);
    else
      place(std::move(n));
    return true;
  }
  void place(Node n) {
    if (n.line == 0)
      n.line = line();
    Node& top = stack_.back();
    if (top.kind == Node::Object && n.key.empty())
      n.key = std::exchange(key_, {});
    // An element of an array of the top level goes to the schema now and is not kept.
    if (stack_.size() == 2 && top.kind == Node::Array)
      sink_(top.key, count_++, n);
    else
      top.items.push_back(std::move(n));
  }
  std::string path() const {
    std::string p;
    for (size_t i = 1; i < stack_.size(); ++i) {
      const Node& n = stack_[i];
      const Node& outer = stack_[i - 1];
      if (outer.kind == Node::Array)
        p += "[" + std::to_string(i == 2 ? count_ : outer.items.size()) + "]";
      else
        p += (p.empty() ? "" : ".") + n.key;
    }
    if (!stack_.empty() && stack_.back().kind == Node::Object && !key_.empty())
      p += (p.empty() ? "" : ".") + key_;
    return p;
  }
  // The line of the last character read (the one before any look-ahead past a number).
  uint32_t line() { return lineOf(reached_ > begin_ ? reached_ - 1 : begin_); }
  uint32_t lineOf(const char* at) {
    if (at < counted_) {
      counted_ = begin_;
      lines_ = 1;
    }
    for (; counted_ < at; ++counted_)
      lines_ += *counted_ == '\n';
    return lines_;
  }

  const char* begin_;
  const char* end_;
  const char* reached_;
  const char* counted_ = begin_;
  uint32_t lines_ = 1;
  const std::string& source_;
  int maxDepth_;
  const NodeSink& sink_;
  std::vector<Node> stack_;
  std::string key_;
  size_t count_ = 0; // elements of the current array of the top level
};

} // namespace

const Node* Node::find(const std::string& name) const {
  for (const Node& n : items)
    if (n.key == name)
      return &n;
  return nullptr;
}

std::string Node::shown() const {
  switch (kind) {
  case Null:
    return "null";
  case Bool:
    return magnitude ? "true" : "false";
  case Unsigned:
    return std::to_string(magnitude);
  case Negative:
    return "-" + std::to_string(magnitude);
  case Float:
    return text;
  case String:
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
  case Array:
    return "an array";
  default:
    return "an object";
  }
}

void readJson(const std::string& text, const std::string& source, int maxDepth,
              const NodeSink& sink) {
  Builder(text, source, maxDepth, sink).run();
}

void failAt(const std::string& source, uint32_t line, const std::string& path,
            const std::string& why) {
  throw ScenarioError(source + ":" + std::to_string(line) + ": " +
                      (path.empty() ? "" : path + ": ") + why);
}

} // namespace pdmhost
