// pdmhost's scenarios played against the module linked in. The scenario cases proper (good
// and bad files with what pdmhost must say) are data: tests/data/cases.txt, run by the
// pdmhost_cases entry.
#include "tools/pdmhost/Scenario.h"
#include "tests/support/Files.h"
#include "tools/pdmhost/Run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using ::testing::HasSubstr;

namespace {

struct Played {
  pdmhost::RunResult result;
  std::string trace;
};

Played play(const std::string& json, bool quiet) {
  pdmhost::RunState state;
  state.options.quiet = quiet;
  std::FILE* out = state.out = std::tmpfile();
  EXPECT_NE(out, nullptr);
  Played p;
  p.result = pdmhost::runScenario(pdmhost::parseScenario(json),
                                  {vmmgrVboxPdmInit, VBoxDevicesRegister}, state);
  std::rewind(out);
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, out)) > 0)
    p.trace.append(chunk, n);
  std::fclose(out);
  return p;
}

} // namespace

TEST(Scenario, BuiltInSamplePlaysWithoutMismatch) {
  const Played p = play(pdmhost::sampleScenarioJson(), false);
  EXPECT_FALSE(p.result.setupFailed) << p.trace;
  EXPECT_EQ(p.result.mismatches, 0) << p.trace;
  EXPECT_GE(p.result.steps, 30);
  EXPECT_THAT(p.trace, HasSubstr("register: VBoxDevicesRegister -> 0, 3 devices received"));
  EXPECT_THAT(p.trace, HasSubstr("All devices registered successfully"));
}

TEST(Scenario, QuietRunCountsMismatchesAndShowsOnlyThem) {
  const Played p = play(R"({"devices": [{"type": "serial", "name": "COM1", "ioPortBase": 8,
      "ioPortCount": 8}], "steps": [{"op": "portRead", "port": 15, "size": 1, "expect": 0},
      {"op": "portRead", "port": 16, "size": 4, "expect": 0}]})",
                        true);
  EXPECT_EQ(p.result.steps, 2);
  EXPECT_EQ(p.result.mismatches, 1);
  EXPECT_EQ(p.trace, "step 2 (line 3): portRead  port 0x10 size 4 -> 0xffffffff  [status -1004 "
                     "PDMHOST_ERR_UNASSIGNED]\n    MISMATCH: status -1004 PDMHOST_ERR_UNASSIGNED, "
                     "expected 0\n    trace:\n"
                     "    > host: port 0x10 belongs to no device\n");
}

TEST(Scenario, ErrorsNameTheSourceLineAndField) {
  try {
    pdmhost::parseScenario("{\"steps\": [\n {\"op\": \"portRead\", \"port\": 1, \"size\": 9}]}",
                           "t.json");
    ADD_FAILURE() << "accepted";
  } catch (const pdmhost::ScenarioError& e) {
    EXPECT_STREQ(e.what(), "t.json:2: steps[0].size: an access of 1, 2 or 4 bytes");
  }
}

TEST(StepTable, EveryKindIsInHelpAndInTheDocs) {
  std::FILE* file = std::fopen(PDMHOST_DOCS, "rb");
  ASSERT_NE(file, nullptr) << PDMHOST_DOCS;
  std::string docs;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    docs.append(chunk, n);
  std::fclose(file);
  const std::string help = pdmhost::stepKindsHelp();
  for (const pdmhost::StepKind& k : pdmhost::stepKinds()) {
    EXPECT_THAT(help, HasSubstr(std::string("    ") + k.name + " {"));
    EXPECT_THAT(docs, HasSubstr(std::string("| `") + k.name + "`"));
  }
}

// expectLog's patterns: each search of the table gives what the table says, and each pattern
// it refuses gives its message and keeps nothing that could match.
TEST(Pattern, SearchesAndRefusalsOfTheTable) {
  for (const auto& row : testsupport::caseRows(VMMGR_TEST_DATA "/patterns.txt", "match")) {
    ASSERT_EQ(row.size(), 4u);
    pdmhost::Pattern p;
    ASSERT_EQ(p.compile(row[1]), "") << row[1];
    EXPECT_EQ(p.search(row[2]), row[3] == "yes") << row[1] << " in \"" << row[2] << "\"";
  }
  for (const auto& row : testsupport::caseRows(VMMGR_TEST_DATA "/patterns.txt", "refuse")) {
    ASSERT_EQ(row.size(), 3u);
    pdmhost::Pattern p;
    EXPECT_EQ(p.compile(row[1]), row[2]);
    EXPECT_FALSE(p.search(row[1]));
  }
}
