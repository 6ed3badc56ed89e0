// Reports of a run for CI systems: JUnit XML, which test report viewers read, and JSON
// for scripts.
#include "tools/pdmhost/Scenario.h"

#include <nlohmann/json.hpp>

namespace pdmhost {

namespace {

// Text as XML character data or attribute value. Characters XML 1.0 cannot hold (control
// characters other than tab and line breaks) become "?".
std::string xml(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&apos;";
      break;
    default:
      out += static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r' ? '?' : c;
    }
  }
  return out;
}

} // namespace

std::string junitReport(const std::string& suite, const RunResult& result) {
  const size_t tests = result.records.size() + (result.setupFailed ? 1 : 0);
  const size_t failures = static_cast<size_t>(result.mismatches) + (result.setupFailed ? 1 : 0);
  std::string cases;
  if (result.setupFailed)
    cases += "    <testcase classname=\"pdmhost\" name=\"set-up\">\n      <failure message=\"" +
             xml(result.setupError) + "\">" + xml(result.setupError) +
             "</failure>\n    </testcase>\n";
  for (const StepRecord& r : result.records) {
    cases += "    <testcase classname=\"pdmhost\" name=\"" +
             xml("step " + std::to_string(r.number) + " (line " + std::to_string(r.line) +
                 "): " + r.op) +
             "\"";
    if (r.ok) {
      cases += "/>\n";
      continue;
    }
    std::string body = r.access + "\nMISMATCH: " + r.mismatch + "\n";
    if (!r.note.empty())
      body += "note: " + r.note + "\n";
    body += r.trace;
    cases += ">\n      <failure message=\"" + xml(r.mismatch) + "\">" + xml(body) +
             "</failure>\n    </testcase>\n";
  }
  const std::string counts =
      "tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\"";
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " + counts +
         ">\n  <testsuite name=\"" + xml(suite) + "\" " + counts + ">\n" + cases +
         "  </testsuite>\n</testsuites>\n";
}

std::string jsonReport(const std::string& suite, size_t devices, const RunResult& result) {
  nlohmann::ordered_json out = {{"scenario", suite},
                                {"devices", devices},
                                {"steps", result.steps},
                                {"mismatches", result.mismatches},
                                {"setupFailed", result.setupFailed}};
  if (result.setupFailed)
    out["setupError"] = result.setupError;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const StepRecord& r : result.records)
    if (!r.ok)
      list.push_back({{"step", r.number},
                      {"line", r.line},
                      {"op", r.op},
                      {"access", r.access},
                      {"mismatch", r.mismatch},
                      {"note", r.note}});
  out["mismatchList"] = list;
  // Replaces bytes that are not UTF-8 (a device's name is the VM manager's bytes).
  return out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

} // namespace pdmhost
