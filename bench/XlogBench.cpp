// Lines per second of the library's own logger against spdlog, measured in the same run with
// the same line content (date, milliseconds, zone, process id, thread id, module name, level
// letter, message) and the same durability:
//   log file:         ours writes each line with one write; spdlog's file sink flushes after
//                     every line (one write each too), one and two threads logging at once;
//   standard output:  ours prints each line to standard output redirected to a file; spdlog's
//                     file sink buffers (no flush per line), with and without the process id.
// The process's standard output goes to a scratch file for the whole run, so the report is
// written to standard error.
#include "xpl/Xerr.h"
#include "xpl/Xlog.h"

#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string scratchDir;

std::string scratch(const std::string& name) { return scratchDir + "/" + name; }

const char* const MESSAGE = "guest wrote %u bytes at offset 0x%llx of region %d";

// Same fields as our header; spdlog names the logger after the module.
const char* const PATTERN = "%Y-%m-%d %H:%M:%S.%e%z %-5P %-5t %-6n  %L: %v";
const char* const PATTERN_NO_PID = "%Y-%m-%d %H:%M:%S.%e%z %-5t %-6n  %L: %v";

std::shared_ptr<spdlog::logger> makeSpdlog(const std::string& file, const char* pattern,
                                           bool flushEveryLine) {
  std::remove(file.c_str());
  auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(file, false);
  auto logger = std::make_shared<spdlog::logger>("VMMGR", sink);
  logger->set_pattern(pattern);
  logger->set_level(spdlog::level::info);
  if (flushEveryLine)
    logger->flush_on(spdlog::level::trace);
  return logger;
}

// Each case's logger is made by its Setup, which runs before the case's threads start.
std::shared_ptr<spdlog::logger> spdlogger;

void ours(benchmark::State& state) {
  unsigned n = 0;
  for (auto _ : state) {
    ++n;
    XlogLogger* logger = xlogGetLogger();
    if (logger->isEnabled(XLOG_MODULE_VMMGR, XLOG_INFO))
      logger->log(XLOG_INFO, XLOG_MODULE_VMMGR, __FILE__, __func__, __LINE__, MESSAGE, n,
                  static_cast<unsigned long long>(n) * 16, 2);
  }
  state.SetItemsProcessed(state.iterations());
}

void theirs(benchmark::State& state) {
  spdlog::logger& logger = *spdlogger;
  unsigned n = 0;
  for (auto _ : state) {
    ++n;
    logger.info("guest wrote {} bytes at offset 0x{:x} of region {}", n,
                static_cast<unsigned long long>(n) * 16, 2);
  }
  state.SetItemsProcessed(state.iterations());
}

void toOurFile(const benchmark::State&) {
  std::remove(scratch("ours.log").c_str());
  if (xlogLibInit(nullptr, scratch("ours.log"), "") != 0)
    std::abort();
}
void toStdout(const benchmark::State&) { xlogLibInit(nullptr, "", ""); }
void spdlogFlushing(const benchmark::State&) {
  spdlogger = makeSpdlog(scratch("spdlog.log"), PATTERN, true);
}
void spdlogBuffered(const benchmark::State&) {
  spdlogger = makeSpdlog(scratch("spdlog-buffered.log"), PATTERN, false);
}
void spdlogBufferedNoPid(const benchmark::State&) {
  spdlogger = makeSpdlog(scratch("spdlog-buffered-nopid.log"), PATTERN_NO_PID, false);
}
void dropSpdlog(const benchmark::State&) {
  spdlogger->flush();
  spdlogger.reset();
}

void BM_File_Ours(benchmark::State& state) { ours(state); }
void BM_File_Spdlog(benchmark::State& state) { theirs(state); }
void BM_Stdout_Ours(benchmark::State& state) { ours(state); }
void BM_BufferedFile_Spdlog(benchmark::State& state) { theirs(state); }
void BM_BufferedFileNoPid_Spdlog(benchmark::State& state) { theirs(state); }

BENCHMARK(BM_File_Ours)->Setup(toOurFile)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_File_Spdlog)->Setup(spdlogFlushing)->Teardown(dropSpdlog)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Stdout_Ours)->Setup(toStdout)->Threads(1)->UseRealTime();
BENCHMARK(BM_BufferedFile_Spdlog)->Setup(spdlogBuffered)->Teardown(dropSpdlog)->Threads(1)->UseRealTime();
BENCHMARK(BM_BufferedFileNoPid_Spdlog)->Setup(spdlogBufferedNoPid)->Teardown(dropSpdlog)->Threads(1)->UseRealTime();

class RateReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && run.counters.count("items_per_second"))
        rates[run.benchmark_name()] = run.counters.at("items_per_second");
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

} // namespace

int main(int argc, char** argv) {
  char dir[] = "/tmp/xlogbench-XXXXXX";
  if (!mkdtemp(dir))
    return 1;
  scratchDir = dir;
  xerrLibInit();
  benchmark::Initialize(&argc, argv);

  // Standard output becomes a file for the whole run.
  std::fflush(stdout);
  const int stdoutFile = open(scratch("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(stdoutFile, 1);
  close(stdoutFile);

  RateReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  xlogLibInit(nullptr, "", "");
  std::fflush(stdout);

  struct Pair {
    const char* what;
    const char* ours;
    const char* theirs;
    double target;
  } pairs[] = {
      {"log file, 1 thread", "BM_File_Ours/real_time/threads:1",
       "BM_File_Spdlog/real_time/threads:1", 1.5},
      {"log file, 2 threads", "BM_File_Ours/real_time/threads:2",
       "BM_File_Spdlog/real_time/threads:2", 3.0},
      {"stdout vs buffered file sink", "BM_Stdout_Ours/real_time/threads:1",
       "BM_BufferedFile_Spdlog/real_time/threads:1", 1.0},
      {"stdout vs buffered, no pid", "BM_Stdout_Ours/real_time/threads:1",
       "BM_BufferedFileNoPid_Spdlog/real_time/threads:1", 1.0},
  };
  std::fprintf(stderr, "\nlines per second relative to spdlog:\n");
  for (const Pair& p : pairs) {
    auto a = reporter.rates.find(p.ours), b = reporter.rates.find(p.theirs);
    if (a == reporter.rates.end() || b == reporter.rates.end())
      continue;
    std::fprintf(stderr, "  %-30s %5.2fx  (%.0f vs %.0f lines/s; target at least %.1fx)\n",
                 p.what, a->second / b->second, a->second, b->second, p.target);
  }
  std::system(("rm -rf " + scratchDir).c_str());
  benchmark::Shutdown();
  return 0;
}
