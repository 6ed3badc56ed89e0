// Reports of a run: its summary line, and for CI systems JUnit XML, which test report
// viewers read, and JSON for scripts; and of a check, what a run would set up.
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Scenario.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <string_view>

namespace pdmhost {

namespace {

// Bytes that are not UTF-8 (a guest's, a VM manager's) become U+FFFD, as in the JSON report.
std::string dumpJson(const nlohmann::ordered_json& j, int indent) {
  return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Text as XML character data or attribute value, valid UTF-8 first. What XML 1.0 cannot
// hold (control characters other than tab and line breaks, U+FFFE and U+FFFF) becomes "?".
std::string xml(const std::string& text) {
  const std::string valid = nlohmann::json::parse(dumpJson(text, -1)).get<std::string>();
  static const char* const entities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
  std::string out;
  for (size_t i = 0; i < valid.size(); ++i) {
    const auto c = static_cast<unsigned char>(valid[i]);
    const size_t e = std::string_view("&<>\"'").find(static_cast<char>(c));
    if (e != std::string_view::npos)
      out += entities[e];
    else if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
      out += '?';
    else if (valid.compare(i, 2, "\xEF\xBF") == 0 &&
             (static_cast<unsigned char>(valid[i + 2]) & 0xFE) == 0xBE)
      out += '?', i += 2;
    else
      out += static_cast<char>(c);
  }
  return out;
}

} // namespace

void printSummary(std::FILE* out, size_t devices, const RunResult& result) {
  std::fprintf(out, "summary: %zu devices, %d steps, %d mismatches%s\n", devices, result.steps,
               result.mismatches, result.setupFailed ? ", set-up FAILED" : "");
}

void printCheck(const Scenario& scenario, std::FILE* out) {
  std::fprintf(out, "check: %zu devices, %zu steps; registration in this order:\n",
               scenario.devices.size(), scenario.steps.size());
  uint64_t cursor = scenario.placementBase, at = 0;
  for (const ScenarioDevice& d : scenario.devices) {
    if (d.serial)
      std::fprintf(out, "  %-31s serial ports 0x%04x-0x%04x  \"%s\"\n", d.name.c_str(),
                   d.ioPortBase, d.ioPortBase + d.ioPortCount - 1, d.description.c_str());
    else
      std::fprintf(out, "  %-31s PCI    %04x:%04x, %zu regions  \"%s\"\n", d.name.c_str(),
                   d.vendorId, d.deviceId, d.regions.size(), d.description.c_str());
    // The scenario's check has refused a region that cannot be placed.
    for (const ScenarioRegion& r : d.regions)
      if (placeUpward(&cursor, r.size, &at))
        std::fprintf(out, "    region %u: %s, %" PRIu64 " bytes, placed at 0x%08" PRIx64 "\n",
                     r.region, r.mmio ? "MMIO" : "shared memory", r.size, at);
  }
  std::fprintf(out, "check: the scenario is sound; nothing was run\n");
}

std::string junitReport(const std::string& suite, const RunResult& result) {
  const auto failed = [](const std::string& name, const std::string& message,
                         const std::string& body) {
    return "    <testcase classname=\"pdmhost\" name=\"" + xml(name) + "\">\n      <failure " +
           "message=\"" + xml(message) + "\">" + xml(body) + "</failure>\n    </testcase>\n";
  };
  std::string cases =
      result.setupFailed ? failed("set-up", result.setupError, result.setupError) : "";
  for (const StepRecord& r : result.records) {
    const std::string name = "step " + std::to_string(r.number) + " (line " +
                             std::to_string(r.line) + "): " + r.op +
                             (r.note.empty() ? "" : ": " + r.note);
    if (r.ok)
      cases += "    <testcase classname=\"pdmhost\" name=\"" + xml(name) + "\"/>\n";
    else
      cases += failed(name, r.mismatch,
                      r.access + "\nMISMATCH: " + r.mismatch + "\n" +
                          (r.note.empty() ? "" : "note: " + r.note + "\n") + r.trace);
  }
  const std::string counts =
      "tests=\"" + std::to_string(result.records.size() + result.setupFailed) + "\" failures=\"" +
      std::to_string(result.mismatches + result.setupFailed) + "\"";
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
  out["mismatchList"] = nlohmann::ordered_json::array();
  for (const StepRecord& r : result.records)
    if (!r.ok)
      out["mismatchList"].push_back({{"step", r.number},
                                     {"line", r.line},
                                     {"op", r.op},
                                     {"access", r.access},
                                     {"mismatch", r.mismatch},
                                     {"note", r.note}});
  return dumpJson(out, 2) + "\n";
}

std::string checkJson(const Scenario& scenario) {
  nlohmann::ordered_json devices = nlohmann::ordered_json::array();
  uint64_t cursor = scenario.placementBase;
  for (const ScenarioDevice& d : scenario.devices) {
    nlohmann::ordered_json regions = nlohmann::ordered_json::array();
    for (const ScenarioRegion& r : d.regions) {
      uint64_t at = 0;
      const bool placed = r.size != 0 && placeUpward(&cursor, r.size, &at);
      regions.push_back({{"region", r.region},
                         {"mmio", r.mmio},
                         {"size", r.size},
                         {"placed", placed},
                         {"at", at}});
    }
    devices.push_back({{"name", d.name},
                       {"serial", d.serial},
                       {"ioPortBase", d.ioPortBase},
                       {"ioPortCount", d.ioPortCount},
                       {"regions", regions}});
  }
  return dumpJson({{"devices", devices}}, 1) + "\n";
}

} // namespace pdmhost
