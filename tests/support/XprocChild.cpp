// The program the process tests start. It reports what it received, as the C runtime parsed
// it, into a file, so the tests see what a real child sees:
//   xproc_child args OUT ARG...     writes each ARG to OUT, each followed by a NUL byte
//   xproc_child env OUT NAME        writes "set" NUL value, or "unset", to OUT
//   xproc_child exit CODE           ends with CODE
//   xproc_child sleep SECONDS       sleeps, then ends with 0 (bounds a test that fails to
//                                   kill it)
// It uses nothing of the module, so a fault there cannot hide behind its own report.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {
bool writeFile(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f)
    return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && written;
}

const char* lookUp(const std::string& name, std::string& storage) {
#if defined(_WIN32)
  // The wide environment: the narrow one would pass through the ANSI code page.
  const int units = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, &wide[0], units);
  const wchar_t* value = _wgetenv(wide.c_str());
  if (!value)
    return nullptr;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr);
  storage.assign(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, value, -1, &storage[0], bytes, nullptr, nullptr);
  storage.resize(static_cast<std::size_t>(bytes - 1));
  return storage.c_str();
#else
  const char* value = std::getenv(name.c_str());
  if (value)
    storage = value;
  return value ? storage.c_str() : nullptr;
#endif
}

void sleepSeconds(int seconds) {
#if defined(_WIN32)
  Sleep(static_cast<DWORD>(seconds) * 1000);
#else
  sleep(static_cast<unsigned>(seconds));
#endif
}

int run(const std::vector<std::string>& args) {
  if (args.size() >= 3 && args[1] == "args") {
    std::string report;
    for (std::size_t i = 3; i < args.size(); ++i)
      report += args[i] + '\0';
    return writeFile(args[2], report) ? 0 : 2;
  }
  if (args.size() == 4 && args[1] == "env") {
    std::string value;
    const char* found = lookUp(args[3], value);
    return writeFile(args[2], found ? "set" + std::string(1, '\0') + value : "unset") ? 0 : 2;
  }
  if (args.size() == 3 && args[1] == "exit")
    return std::atoi(args[2].c_str());
  if (args.size() == 3 && args[1] == "sleep") {
    sleepSeconds(std::atoi(args[2].c_str()));
    return 0;
  }
  std::fprintf(stderr, "xproc_child: unknown request\n");
  return 3;
}
} // namespace

#if defined(_WIN32)
// wmain: the runtime's own parse of the command line, in UTF-16, with nothing lost to the
// ANSI code page.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &arg[0], bytes, nullptr, nullptr);
    arg.resize(static_cast<std::size_t>(bytes - 1));
    args.push_back(arg);
  }
  return run(args);
}
#else
int main(int argc, char** argv) { return run(std::vector<std::string>(argv, argv + argc)); }
#endif
