// Reports of a run: its summary line, and for CI systems JUnit XML, which test report
// viewers read, and JSON for scripts; and of a check, what a run would set up.
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Scenario.h"

#include <nlohmann/json.hpp>

#include <cinttypes>

#include <string_view>

namespace pdmhost {

namespace {

// Text as XML character data or attribute value. What XML 1.0 cannot hold (control
// characters other than tab and line breaks, U+FFFE and U+FFFF) becomes "?", and bytes
// that are not UTF-8 (a guest's, a VM manager's) become U+FFFD, as in the JSON report.
std::string xml(const std::string& text) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    const int n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    uint32_t code = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
    bool valid = n > 0 && end - p >= n;
    for (int k = 1; valid && k < n; ++k) {
      valid = (p[k] & 0xC0) == 0x80;
      code = code << 6 | (p[k] & 0x3F);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && code >= least[n] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (!valid) {
      out += "\xEF\xBF\xBD";
      ++p;
      continue;
    }
    static const char* const entities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    const size_t e = std::string_view("&<>\"'").find(static_cast<char>(code));
    if (code < 0x80 && e != std::string_view::npos)
      out += entities[e];
    else if ((code < 0x20 && code != '\t' && code != '\n' && code != '\r') || code == 0xFFFE ||
             code == 0xFFFF)
      out += '?';
    else
      out.append(reinterpret_cast<const char*>(p), n);
    p += n;
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
  uint64_t cursor = scenario.placementBase;
  for (const ScenarioDevice& d : scenario.devices) {
    if (d.serial) {
      std::fprintf(out, "  %-31s serial ports 0x%04x-0x%04x  \"%s\"\n", d.name.c_str(),
                   d.ioPortBase, d.ioPortBase + d.ioPortCount - 1, d.description.c_str());
      continue;
    }
    std::fprintf(out, "  %-31s PCI    %04x:%04x, %zu regions  \"%s\"\n", d.name.c_str(), d.vendorId,
                 d.deviceId, d.regions.size(), d.description.c_str());
    for (const ScenarioRegion& r : d.regions) {
      // The scenario's check has refused a region that cannot be placed.
      uint64_t at = 0;
      placeUpward(&cursor, r.size, &at);
      std::fprintf(out, "    region %u: %s, %" PRIu64 " bytes, placed at 0x%08" PRIx64 "\n",
                   r.region, r.mmio ? "MMIO" : "shared memory", r.size, at);
    }
  }
  std::fprintf(out, "check: the scenario is sound; nothing was run\n");
}

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
                 "): " + r.op + (r.note.empty() ? "" : ": " + r.note)) +
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
  return nlohmann::ordered_json{{"devices", devices}}.dump(
             1, ' ', false, nlohmann::json::error_handler_t::replace) +
         "\n";
}

} // namespace pdmhost
