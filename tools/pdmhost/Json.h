// A JSON text read into small nodes that keep their line, for a schema to walk. Elements
// of the top-level object's arrays are handed over one at a time as they complete, so a
// large scenario never stands in memory as a whole document.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pdmhost {

/// A scenario that cannot be played; what() reads "SOURCE:LINE: PATH: reason".
class ScenarioError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct Node {
  enum Kind : uint8_t { Null, Bool, Unsigned, Negative, Float, String, Array, Object };
  Kind kind = Null;
  uint32_t line = 0;
  uint64_t magnitude = 0;  ///< Unsigned, Negative (its absolute value), Bool (0 or 1)
  std::string key;         ///< its name in the enclosing object
  std::string text;        ///< String; any other single value as written
  std::vector<Node> items; ///< Array elements, Object members in order

  const Node* find(const std::string& name) const;
  /// The value as the messages show it: 12, -3, "text", an array, an object.
  std::string shown() const;
};

/// Called with each element of an array member of the top-level object ("steps", 0, node)
/// and once more with the top-level object itself, its arrays left empty.
using NodeSink = std::function<void(const std::string& array, size_t index, Node& node)>;

/// Reads `text`; throws ScenarioError for text that is not JSON, a top level that is not
/// an object, or nesting deeper than maxDepth.
void readJson(const std::string& text, const std::string& source, int maxDepth,
              const NodeSink& sink);

[[noreturn]] void failAt(const std::string& source, uint32_t line, const std::string& path,
                         const std::string& why);

} // namespace pdmhost
