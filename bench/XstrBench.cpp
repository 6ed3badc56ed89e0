// UTF-8 <-> UTF-16 conversion against glibc's iconv, measured in the same run. The table at
// the end gives each case's throughput, in bytes of UTF-8 either way, as a multiple of
// iconv's (CPU time: the build machine is shared, and waiting for a core is neither
// converter's cost).
#include "xpl/Xstr.h"

#include <benchmark/benchmark.h>
#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {
// One iconv_t per direction, opened once, writing into a buffer kept across calls: the
// baseline pays neither the open nor an allocation per call, while ours returns a new string.
struct Iconv {
  iconv_t cd;
  std::vector<char> out = std::vector<char>(8 << 20);
  Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~Iconv() { iconv_close(cd); }
  std::size_t convert(const void* in, std::size_t size) {
    char* src = static_cast<char*>(const_cast<void*>(in));
    char* dst = out.data();
    std::size_t room = out.size();
    iconv(cd, &src, &size, &dst, &room);
    return out.size() - room;
  }
};

struct Case {
  const char* what;
  double target;
  std::vector<std::string> texts; // one 1 MiB text, or many short ones
  std::vector<XstrWide> wides = {};
  double bytes = 0;
};

std::string repeatTo(const std::string& unit, std::size_t size) {
  std::string text;
  while (text.size() + unit.size() <= size)
    text += unit;
  return text;
}

std::vector<Case> cases() {
  const std::size_t mib = 1 << 20;
  // ASCII, accented Latin, CJK and emoji in turn: the script changes at every character.
  const std::string alternating = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"
                                  "b\xC3\xB1\xE8\xAA\x9E\xF0\x9F\x8E\x89";
  std::vector<Case> all = {
      {"1 MiB of ASCII", 3.0, {repeatTo("The quick brown fox jumps over the lazy dog.\n", mib)}},
      {"64 ASCII paths of 40-60 B", 2.0, {}},
      {"64 mixed paths of 40-60 B", 2.0, {}},
      {"1 MiB, script changes every character", 0.5, {repeatTo(alternating, mib)}},
  };
  for (int i = 0; i < 64; ++i) {
    const std::string name = "vm" + std::to_string(i) + "\\disk" + std::string(i % 21, 'x');
    all[1].texts.push_back("C:\\Users\\builder\\Projects\\" + name + ".vdi");
    all[2].texts.push_back("C:\\Users\\J\xC3\xBCrgen\\\xE6\x96\x87\xE6\xA1\xA3\\" + name +
                           "\\\xC3\xA9t\xC3\xA9.vdi");
  }
  for (Case& c : all)
    for (const std::string& text : c.texts) {
      c.wides.push_back(xstrUtf8ToWide(text));
      c.bytes += static_cast<double>(text.size());
    }
  return all;
}

// Keeps each case's least CPU time over its repetitions, for the table printed at the end:
// other work on the machine only ever adds time.
class Reporter : public benchmark::ConsoleReporter {
public:
  std::map<std::string, double> nanoseconds; // per iteration
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred)
        continue;
      auto it = nanoseconds.emplace(run.run_name.function_name, run.GetAdjustedCPUTime()).first;
      it->second = std::min(it->second, run.GetAdjustedCPUTime());
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// Five short repetitions of each case; the table takes the least time of the five.
template <class Body> void add(const std::string& name, Body body) {
  benchmark::RegisterBenchmark(name.c_str(), body)->MinTime(0.1)->Repetitions(5);
}
} // namespace

int main(int argc, char** argv) {
  const std::vector<Case> all = cases();
  for (const Case& c : all) {
    const Case* p = &c;
    add(std::string("to UTF-16/ours/") + c.what, [p](benchmark::State& s) {
      for (auto _ : s)
        for (const std::string& text : p->texts)
          benchmark::DoNotOptimize(xstrUtf8ToWide(text));
    });
    add(std::string("to UTF-16/iconv/") + c.what, [p](benchmark::State& s) {
      Iconv cd("UTF-16LE", "UTF-8");
      for (auto _ : s)
        for (const std::string& text : p->texts)
          benchmark::DoNotOptimize(cd.convert(text.data(), text.size()));
    });
    add(std::string("to UTF-8/ours/") + c.what, [p](benchmark::State& s) {
      for (auto _ : s)
        for (const XstrWide& wide : p->wides)
          benchmark::DoNotOptimize(xstrWideToUtf8(wide));
    });
    add(std::string("to UTF-8/iconv/") + c.what, [p](benchmark::State& s) {
      Iconv cd("UTF-8", "UTF-16LE");
      for (auto _ : s)
        for (const XstrWide& wide : p->wides)
          benchmark::DoNotOptimize(cd.convert(wide.data(), wide.size() * 2));
    });
  }
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  // Times are in nanoseconds per iteration: bytes per nanosecond times 1000 is MB/s.
  const char* const directions[][2] = {{"to UTF-16", "UTF-8 -> UTF-16"},
                                       {"to UTF-8", "UTF-16 -> UTF-8"}};
  std::printf("\n");
  for (const auto& direction : directions)
    for (const Case& c : all) {
      const std::string ours = std::string(direction[0]) + "/ours/" + c.what;
      const std::string base = std::string(direction[0]) + "/iconv/" + c.what;
      if (!reporter.nanoseconds.count(ours) || !reporter.nanoseconds.count(base))
        continue;
      const double ratio = reporter.nanoseconds[base] / reporter.nanoseconds[ours];
      std::printf("| %s, %s | %.0f MB/s (%.2fx iconv) | iconv %.0f MB/s | >= %.1fx iconv | %s |\n",
                  direction[1], c.what, c.bytes / reporter.nanoseconds[ours] * 1e3, ratio,
                  c.bytes / reporter.nanoseconds[base] * 1e3, c.target,
                  ratio >= c.target ? "met" : "NOT met");
    }
  return 0;
}
