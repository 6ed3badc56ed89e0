// The fields of one object of a scenario, read by the schema functions (the devices,
// regions and each step kind), with messages that name the field, its path and line.
#pragma once

#include "tools/pdmhost/Json.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace pdmhost {

class StepFields {
public:
  StepFields(const Node& object, std::string path, const std::string& source)
      : node_(object), path_(std::move(path)), source_(source) {}

  const Node* find(const char* key) const { return node_.find(key); }
  bool has(const char* key) const { return find(key) != nullptr; }
  const Node& need(const char* key) const;
  /// An integer field (a JSON number, or a string in decimal or "0x" hex) that fits T.
  template <typename T> T integer(const char* key) const { return integerOf<T>(need(key)); }
  template <typename T> std::optional<T> optionalInteger(const char* key) const {
    const Node* n = find(key);
    return n ? std::optional<T>(integerOf<T>(*n)) : std::nullopt;
  }
  template <typename T> T integerOf(const Node& n) const {
    using L = std::numeric_limits<T>;
    return static_cast<T>(number(n, L::min(), L::max()));
  }
  std::string string(const char* key) const;
  std::optional<std::string> optionalString(const char* key) const {
    return has(key) ? std::optional<std::string>(string(key)) : std::nullopt;
  }
  bool boolean(const char* key, bool absent) const;
  /// Refuses any field not in `allowed` (" a b c "; "note", a string, always allowed): one
  /// no object of its place takes (not in `known`) as unknown, another as one `what` does
  /// not take.
  void only(const std::string& allowed, const std::string& known, const std::string& what) const;
  [[noreturn]] void fail(const char* key, const std::string& why) const { failAt(need(key), why); }
  /// Fails at `n`, a field of this object or, named by `field` ("levels[1]"), inside one.
  [[noreturn]] void failAt(const Node& n, const std::string& why,
                           const std::string& field = "") const;
  const Node& node() const { return node_; }
  const std::string& path() const { return path_; }

private:
  /// An integer within [min, max], as the bits of its two's complement.
  uint64_t number(const Node& n, int64_t min, uint64_t max) const;

  const Node& node_;
  std::string path_;
  const std::string& source_;
};

/// Whether `key` is one of `list` (" a b c ").
bool listed(const std::string& list, const std::string& key);

} // namespace pdmhost
