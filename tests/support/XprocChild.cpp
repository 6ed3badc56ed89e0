// The program the process tests start:
//   xproc_child CODE [OUT ARG...]   writes each ARG to OUT, each followed by a NUL byte, then
//                                   the value of XPROC or "<unset>"; ends with CODE
//   xproc_child sleep               sleeps 30 s (bounds a test that fails to kill it)
// It uses nothing of the module, so a fault there cannot hide behind its own report, and it
// reports its arguments as the C runtime parsed them, as any real child sees them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc < 2)
    return 3;
  if (std::string(argv[1]) == "sleep")
    std::this_thread::sleep_for(std::chrono::seconds(30));
  if (argc >= 3) {
    std::string report;
    for (int i = 3; i < argc; ++i)
      report += argv[i] + std::string(1, '\0');
    const char* value = std::getenv("XPROC");
    report += value ? value : "<unset>";
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out || std::fwrite(report.data(), 1, report.size(), out) != report.size())
      return 2;
    std::fclose(out);
  }
  return std::atoi(argv[1]);
}
