// The fields of one object of a scenario, read by the schema functions (the devices,
// regions and each step kind), with messages that name the field, its path and line.
#pragma once

#include "tools/pdmhost/Json.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

namespace pdmhost {

class StepFields {
public:
  StepFields(const Node& object, std::string path, const std::string& source)
      : node_(object), path_(std::move(path)), source_(source) {}

  const Node* find(const char* key) const { return node_.find(key); }
  bool has(const char* key) const { return find(key) != nullptr; }
  const Node& need(const char* key) const;
  template <typename T> T integer(const char* key) const { return integerOf<T>(need(key)); }
  template <typename T> std::optional<T> optionalInteger(const char* key) const {
    const Node* n = find(key);
    return n ? std::optional<T>(integerOf<T>(*n)) : std::nullopt;
  }
  std::string string(const char* key) const;
  std::optional<std::string> optionalString(const char* key) const {
    return has(key) ? std::optional<std::string>(string(key)) : std::nullopt;
  }
  bool boolean(const char* key, bool absent) const;
  /// Refuses any field not in `allowed` (" a b c "; "note" always allowed): one no object
  /// of its place takes (not in `known`) as unknown, another as one `what` does not take.
  void only(const std::string& allowed, const std::string& known, const std::string& what) const;
  [[noreturn]] void fail(const char* key, const std::string& why) const;
  [[noreturn]] void failAt(const Node& n, const std::string& why) const;
  const Node& node() const { return node_; }
  const std::string& path() const { return path_; }
  const std::string& source() const { return source_; }

private:
  /// The magnitude and sign of an integer field (JSON number or string); fails otherwise.
  uint64_t magnitudeOf(const Node& n, bool* negative, bool wantSigned,
                       const std::string& range) const;
  template <typename T> T integerOf(const Node& n) const {
    using L = std::numeric_limits<T>;
    const std::string range =
        " (" + std::to_string(+L::min()) + " to " + std::to_string(+L::max()) + ")";
    bool negative = false;
    const uint64_t m = magnitudeOf(n, &negative, std::is_signed_v<T>, range);
    if (negative) {
      if (m - 1 > static_cast<uint64_t>(L::max()))
        failAt(n, n.shown() + " is out of range" + range);
      return static_cast<T>(-static_cast<int64_t>(m - 1) - 1);
    }
    if (m > static_cast<uint64_t>(L::max()))
      failAt(n, n.shown() + " is out of range" + range);
    return static_cast<T>(m);
  }

  const Node& node_;
  std::string path_;
  const std::string& source_;
};

/// Whether `key` is one of `list` (" a b c ").
bool listed(const std::string& list, const std::string& key);
/// Whether value fits in size bytes.
inline bool fits(uint64_t value, uint32_t size) {
  return size >= 8 || value < (uint64_t(1) << 8 * size);
}

struct Outcome;
struct ScenarioDevice;

// Pieces several step kinds read alike.
/// An access size: 1, 2 or 4 bytes on a bus (ports, configuration), else 1 to 8.
uint32_t readSize(const StepFields& f, bool bus);
/// A value that fits the access.
uint64_t readValue(const StepFields& f, const char* key, uint32_t size);
/// status, or contract: what a guest access should give.
Outcome readOutcome(const StepFields& f);
/// A read's expect: needed unless the read is to fail or checks only the contract.
std::optional<uint64_t> readExpect(const StepFields& f, uint32_t size, const Outcome& o);
/// "" when the access fits the device's region; else "field: why".
std::string regionCheck(const ScenarioDevice& d, uint32_t region, uint64_t offset, uint32_t size,
                        bool shared, bool placing);

} // namespace pdmhost
