// Text at the edge of the Win32 API: the program keeps every text as UTF-8
// and hands the system UTF-16, so that a file or folder named outside the
// system's code page (a kit folder in Cyrillic on a Western system) is
// found as it is named, and shown as it is named.
#ifndef VELMORA_PLATFORM_WIN32_WIDE_H
#define VELMORA_PLATFORM_WIN32_WIDE_H

#include <windows.h>

#include <string>

namespace velmora {
namespace platform {

// UTF-8 to UTF-16. Bytes that are not UTF-8 (a text of the ANSI code page)
// are taken in that code page rather than lost.
inline std::wstring Widen(const std::string &text) {
  if (text.empty()) return std::wstring();
  const int length = static_cast<int>(text.size());
  UINT page = CP_UTF8;
  int n = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (n <= 0) {
    page = CP_ACP;
    n = MultiByteToWideChar(page, 0, text.data(), length, nullptr, 0);
  }
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(page, page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, text.data(), length,
                      &out[0], n);
  return out;
}

// UTF-16 (`length` units, or up to the terminator when -1) to UTF-8.
inline std::string Narrow(const wchar_t *text, int length = -1) {
  if (text == nullptr || length == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
  if (length < 0 && !out.empty() && out.back() == '\0') out.pop_back();
  return out;
}

inline std::string Narrow(const std::wstring &text) {
  return Narrow(text.data(), static_cast<int>(text.size()));
}

}  // namespace platform
}  // namespace velmora

#endif
