// nlohmann-json's SAX events build the nodes; the reader tracks how far it has read so
// each node gets its line.
#include "tools/pdmhost/Json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

namespace pdmhost {

namespace {

using json = nlohmann::json;

constexpr size_t MAX_FIELDS = 64; // in one object; a scenario's have at most 15

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
      : text_(text), reached_(text.data()), source_(source), maxDepth_(maxDepth), sink_(sink) {}

  void run() {
    const char* end = text_.data() + text_.size();
    json::sax_parse(TrackingIterator{text_.data(), &reached_}, TrackingIterator{end, &reached_},
                    this);
  }

  bool null() { return scalar(Node::Null, 0, "null"); }
  bool boolean(bool b) { return scalar(Node::Bool, b, b ? "true" : "false"); }
  bool number_integer(json::number_integer_t v) { // only negative ones: the others are unsigned
    return scalar(Node::Negative, 0 - static_cast<uint64_t>(v), std::to_string(v));
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return scalar(Node::Unsigned, v, std::to_string(v));
  }
  bool number_float(json::number_float_t, const json::string_t& s) {
    return scalar(Node::Float, 0, s);
  }
  bool string(json::string_t& s) { return scalar(Node::String, 0, std::move(s)); }
  bool binary(json::binary_t&) { return scalar(Node::Null, 0, "null"); } // JSON text has none
  bool key(json::string_t& k) {
    // The look for a duplicate is linear: an object of thousands of fields would take hours.
    if (stack_.back().items.size() >= MAX_FIELDS)
      failAt(source_, line(), path(), "more than " + std::to_string(MAX_FIELDS) + " fields");
    if (stack_.back().find(k))
      failAt(source_, line(), path(), "the field \"" + k + "\" appears twice");
    key_ = std::move(k);
    return true;
  }
  bool start_object(std::size_t) { return open(Node::Object); }
  bool start_array(std::size_t) { return open(Node::Array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    // The library's text after its "[json.exception...] parse error at line L, column C: ".
    std::string why = e.what();
    if (const size_t colon = why.find(": ", why.find("column")); colon != std::string::npos)
      why.erase(0, colon + 2);
    // The column counts from the last line break before the fault (none: npos, which wraps).
    const std::string_view before(text_.data(),
                                  std::min(position ? position - 1 : 0, text_.size()));
    throw ScenarioError(source_ + ":" +
                        std::to_string(std::count(before.begin(), before.end(), '\n') + 1) + ":" +
                        std::to_string(before.size() - before.rfind('\n')) + ": " +
                        (path().empty() ? "" : path() + ": ") + why);
  }

private:
  bool scalar(Node::Kind kind, uint64_t magnitude, std::string text) {
    if (stack_.empty())
      notAnObject();
    add(Node{kind, line(), magnitude, std::exchange(key_, {}), std::move(text), {}});
    return true;
  }
  bool open(Node::Kind kind) {
    if (stack_.empty() && kind != Node::Object)
      notAnObject();
    if (static_cast<int>(stack_.size()) >= maxDepth_)
      failAt(source_, line(), path(), "nested deeper than a scenario goes");
    if (stack_.size() == 1)
      count_ = 0;
    stack_.push_back(Node{kind, line(), 0, std::exchange(key_, {}), "", {}});
    return true;
  }
  bool close() {
    Node n = std::move(stack_.back());
    stack_.pop_back();
    if (stack_.empty())
      sink_("", 0, n);
    else
      add(std::move(n));
    return true;
  }
  void add(Node n) {
    Node& top = stack_.back();
    // An element of an array of the top level goes to the schema now and is not kept.
    if (stack_.size() == 2 && top.kind == Node::Array)
      sink_(top.key, count_++, n);
    else
      top.items.push_back(std::move(n));
  }
  [[noreturn]] void notAnObject() {
    failAt(source_, line(), "", "the top level is an object with \"devices\" and \"steps\"");
  }
  std::string path() const {
    std::string p;
    for (size_t i = 1; i <= stack_.size(); ++i) {
      const Node& outer = stack_[i - 1];
      const std::string& key = i < stack_.size() ? stack_[i].key : key_; // key_: the next one
      if (outer.kind == Node::Array && i < stack_.size())
        p += "[" + std::to_string(i == 2 ? count_ : outer.items.size()) + "]";
      else if (outer.kind == Node::Object && !key.empty())
        p += (p.empty() ? "" : ".") + key;
    }
    return p;
  }
  // The line of the last character read (the one before any look-ahead past a number).
  uint32_t line() {
    for (; counted_ + 1 < reached_; ++counted_)
      lines_ += *counted_ == '\n';
    return lines_;
  }

  const std::string& text_;
  const char* reached_;
  const char* counted_ = reached_;
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
  if (kind == String)
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
  return kind == Array ? "an array" : kind == Object ? "an object" : text;
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
