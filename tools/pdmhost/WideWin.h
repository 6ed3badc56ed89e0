// UTF-8 text as the wide strings of the Windows calls pdmhost makes.
#pragma once

#include <windows.h>

#include <string>

namespace pdmhost {

inline std::wstring widen(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
  return w;
}

} // namespace pdmhost
