// pdmhost's scenarios played against the module linked in: the built-in sample passes,
// mismatches are reported with their step, and malformed scenarios are refused clearly.
#include "tests/support/CaptureLogger.h"
#include "tools/pdmhost/Scenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using ::testing::HasSubstr;

namespace {

pdmhost::ModuleEntries linkedModule() {
  return pdmhost::ModuleEntries{vmmgrVboxPdmInit, VBoxDevicesRegister};
}

struct Played {
  pdmhost::RunResult result;
  std::string trace;
};

Played play(const std::string& json, bool quiet = false) {
  pdmhost::RunOptions options;
  options.quiet = quiet;
  std::FILE* out = std::tmpfile();
  EXPECT_NE(out, nullptr);
  Played p;
  p.result = pdmhost::runScenario(pdmhost::parseScenario(json), linkedModule(), options, out);
  std::rewind(out);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, out)) > 0)
    p.trace.append(chunk, n);
  std::fclose(out);
  return p;
}

std::string serialWith(const std::string& steps) {
  return R"({"devices": [{"type": "serial", "name": "COM1", "ioPortBase": "0x3f8",
             "ioPortCount": 8, "failPort": "0x3fe"}], "steps": [)" +
         steps + "]}";
}

} // namespace

TEST(Scenario, BuiltInSamplePlaysWithoutMismatch) {
  const Played p = play(pdmhost::sampleScenarioJson());
  EXPECT_FALSE(p.result.setupFailed) << p.trace;
  EXPECT_EQ(p.result.mismatches, 0) << p.trace;
  EXPECT_GE(p.result.steps, 30);
  EXPECT_THAT(p.trace, HasSubstr("register: VBoxDevicesRegister -> 0, 3 devices received"));
  EXPECT_THAT(p.trace, HasSubstr("All devices registered successfully"));
}

TEST(Scenario, MismatchIsReportedWithItsStep) {
  const Played p = play(serialWith(R"({"op": "portWrite", "port": "0x3ff", "value": 1, "size": 1},
                                     {"op": "portRead", "port": "0x3ff", "size": 1, "expect": 2})"));
  EXPECT_EQ(p.result.steps, 2);
  EXPECT_EQ(p.result.mismatches, 1);
  EXPECT_THAT(p.trace, HasSubstr("step 2: portRead"));
  EXPECT_THAT(p.trace, HasSubstr("MISMATCH: value 0x1, expected 0x2"));
}

TEST(Scenario, StatusesAreCheckedToo) {
  // A refused port access answers -1; expecting 0 is a mismatch, expecting -1 is not.
  const Played p = play(serialWith(R"({"op": "portRead", "port": "0x3fe", "size": 1},
                                     {"op": "portRead", "port": "0x3fe", "size": 1, "status": -1})"),
                        true);
  EXPECT_EQ(p.result.mismatches, 1);
  EXPECT_THAT(p.trace, HasSubstr("step 1:"));
  EXPECT_THAT(p.trace, HasSubstr("status -1, expected 0"));
  EXPECT_THAT(p.trace, ::testing::Not(HasSubstr("step 2:")));
}

TEST(Scenario, MalformedScenariosAreRefusedWithTheirPlace) {
  struct Case {
    const char* json;
    const char* message;
  } cases[] = {
      {"{", "not valid JSON"},
      {R"({"devices": [{"type": "usb", "name": "x"}]})", "devices[0]: type is"},
      {R"({"devices": [{"type": "serial", "name": "0123456789012345678901234567890123"}]})",
       "at most 31 bytes"},
      {R"({"devices": [{"type": "pci", "name": "p", "regions": [{"region": 1, "size": 16}]}]})",
       "region-number order"},
      {R"({"devices": [{"type": "pci", "name": "p", "regions": [{"mmio": true, "size": 16},
          {"mmio": true, "size": 16}]}]})",
       "at most one MMIO region"},
      {R"({"steps": [{"op": "jump"}]})", "step 1: unknown op"},
      {R"({"steps": [{"op": "portRead", "port": "zz"}]})", "expected a number"},
      {R"({"steps": [{"op": "portRead", "port": 70000}]})", "out of range"},
      {R"({"steps": [{"op": "memRead", "address": 0, "size": 16}]})", "size is 1 to 8"},
      {R"({"steps": [{"op": "portRead", "bogus": 1}]})", "takes no field \"bogus\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    try {
      pdmhost::parseScenario(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
  }
}
