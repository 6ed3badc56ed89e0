// UTF-8 <-> UTF-16 conversion against glibc's iconv, measured in the same run. The summary at
// the end gives each case's throughput as a multiple of iconv's (higher is better).
#include "xpl/Xstr.h"

#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {
// One iconv_t per direction, opened once: the baseline pays neither the open nor an
// allocation per call (it writes into a buffer kept across calls), while ours returns a new
// string each time.
struct Iconv {
  iconv_t cd;
  std::vector<char> out;
  Iconv(const char* to, const char* from) : cd(iconv_open(to, from)), out(16 << 20) {}
  ~Iconv() { iconv_close(cd); }
  std::size_t convert(const char* in, std::size_t size) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in);
    char* dst = out.data();
    std::size_t room = out.size();
    iconv(cd, &src, &size, &dst, &room);
    return out.size() - room;
  }
};

std::string repeatTo(const std::string& unit, std::size_t size) {
  std::string text;
  while (text.size() + unit.size() <= size)
    text += unit;
  return text;
}

struct Corpus {
  std::string name;
  std::vector<std::string> texts; // one 1 MiB text, or many short ones
};

std::vector<Corpus> corpora() {
  const std::size_t mib = 1 << 20;
  const std::string latin = "Les \xC3\xA9l\xC3\xA8ves \xC3\xA0 l'\xC3\xA9"
                            "cole pr\xC3\xA9"
                            "f\xC3\xA8rent "
                            "la for\xC3\xAAt, o\xC3\xB9 \xC3\xA7"
                            "a sent le th\xC3\xA9 \xC3\xA0 "
                            "l'\xC3\xA9"
                            "t\xC3\xA9. ";
  const std::string cjk = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE6\x96\x87\xE7\xAB\xA0"
                          "\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82\xE4\xB8\xAD\xE6\x96\x87\xE6\xAE\xB5"
                          "\xE8\x90\xBD\xE3\x80\x82";
  const std::string emoji = "\xF0\x9F\x98\x80\xF0\x9F\x8E\x89\xF0\x9F\x9A\x80\xF0\x9F\x8C\x8D"
                            "\xF0\x9F\x90\x8D\xF0\x9F\x8D\x95";
  // Latin, accented Latin, CJK and emoji in turn: the script changes at every character.
  const std::string alternating = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"
                                  "b\xC3\xB1\xE8\xAA\x9E"
                                  "\xF0\x9F\x8E\x89";
  std::vector<Corpus> result = {
      {"ascii_1MiB", {repeatTo("The quick brown fox jumps over the lazy dog; 0123456789.\n", mib)}},
      {"latin_runs_1MiB", {repeatTo(latin, mib)}},
      {"cjk_runs_1MiB", {repeatTo(cjk, mib)}},
      {"emoji_runs_1MiB", {repeatTo(emoji, mib)}},
      {"script_every_char_1MiB", {repeatTo(alternating, mib)}},
  };
  Corpus asciiPaths{"ascii_paths_40_60B", {}};
  Corpus mixedPaths{"mixed_paths_40_60B", {}};
  for (int i = 0; i < 64; ++i) {
    std::string ascii = "C:\\Users\\builder\\Projects\\vm" + std::to_string(i) + "\\disk";
    while (ascii.size() < 40 + static_cast<std::size_t>(i % 21))
      ascii += "x";
    asciiPaths.texts.push_back(ascii + ".vdi");
    std::string mixed = "C:\\Users\\J\xC3\xBCrgen\\\xE6\x96\x87\xE6\xA1\xA3\\vm" +
                        std::to_string(i) + "\\\xC3\xA9t\xC3\xA9";
    while (mixed.size() < 40 + static_cast<std::size_t>(i % 17))
      mixed += "\xC3\xA9";
    mixedPaths.texts.push_back(mixed + ".vdi");
  }
  result.push_back(asciiPaths);
  result.push_back(mixedPaths);
  return result;
}

std::int64_t totalBytes(const Corpus& corpus) {
  std::int64_t bytes = 0;
  for (const auto& text : corpus.texts)
    bytes += static_cast<std::int64_t>(text.size());
  return bytes;
}

void registerCase(const Corpus& corpus) {
  const std::int64_t bytes = totalBytes(corpus);
  std::vector<XstrWide> wides;
  for (const auto& text : corpus.texts)
    wides.push_back(xstrUtf8ToWide(text));

  benchmark::RegisterBenchmark(("to_utf16/ours/" + corpus.name).c_str(),
                               [corpus, bytes](benchmark::State& state) {
                                 for (auto _ : state)
                                   for (const auto& text : corpus.texts)
                                     benchmark::DoNotOptimize(xstrUtf8ToWide(text));
                                 state.SetBytesProcessed(state.iterations() * bytes);
                               });
  benchmark::RegisterBenchmark(("to_utf16/iconv/" + corpus.name).c_str(),
                               [corpus, bytes](benchmark::State& state) {
                                 Iconv cd("UTF-16LE", "UTF-8");
                                 for (auto _ : state)
                                   for (const auto& text : corpus.texts)
                                     benchmark::DoNotOptimize(cd.convert(text.data(), text.size()));
                                 state.SetBytesProcessed(state.iterations() * bytes);
                               });
  benchmark::RegisterBenchmark(("to_utf8/ours/" + corpus.name).c_str(),
                               [wides, bytes](benchmark::State& state) {
                                 for (auto _ : state)
                                   for (const auto& wide : wides)
                                     benchmark::DoNotOptimize(xstrWideToUtf8(wide));
                                 state.SetBytesProcessed(state.iterations() * bytes);
                               });
  benchmark::RegisterBenchmark(
      ("to_utf8/iconv/" + corpus.name).c_str(), [wides, bytes](benchmark::State& state) {
        Iconv cd("UTF-8", "UTF-16LE");
        for (auto _ : state)
          for (const auto& wide : wides)
            benchmark::DoNotOptimize(
                cd.convert(reinterpret_cast<const char*>(wide.data()), wide.size() * 2));
        state.SetBytesProcessed(state.iterations() * bytes);
      });
}

// Keeps each run's time per iteration by name, for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  std::map<std::string, double> seconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        seconds[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

double targetFor(const std::string& direction, const std::string& name) {
  if (name.rfind("ascii_1MiB", 0) == 0)
    return 3.0;
  if (name.find("_paths_") != std::string::npos)
    return 2.0;
  if (name.rfind("script_every_char", 0) == 0)
    return 0.6;
  return direction == "to_utf16" ? 1.3 : 1.5;
}
} // namespace

int main(int argc, char** argv) {
  const std::vector<Corpus> all = corpora();
  for (const Corpus& corpus : all)
    registerCase(corpus);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nThroughput as a multiple of iconv's in this run (target in brackets):\n");
  int missed = 0;
  for (const char* direction : {"to_utf16", "to_utf8"}) {
    for (const Corpus& corpus : all) {
      const std::string ours = std::string(direction) + "/ours/" + corpus.name;
      const std::string base = std::string(direction) + "/iconv/" + corpus.name;
      if (!reporter.seconds.count(ours) || !reporter.seconds.count(base))
        continue;
      const double ratio = reporter.seconds[base] / reporter.seconds[ours];
      const double target = targetFor(direction, corpus.name);
      missed += ratio < target;
      std::printf("  %-9s %-24s %6.2fx  [%.1fx]%s\n", direction, corpus.name.c_str(), ratio, target,
                  ratio < target ? "  BELOW TARGET" : "");
    }
  }
  std::printf("%d case(s) below target\n", missed);
  return 0;
}
