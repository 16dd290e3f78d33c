// Reading a program's version resource.
#include "version_info.h"

#include <windows.h>

#include <vector>

namespace ctl {
namespace {

std::wstring Hex4(WORD value) {
  constexpr wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text(4, L'0');
  for (int i = 3; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 0xF];
  return text;
}

}  // namespace

std::wstring ProgramVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<BYTE> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return {};
  struct Translation {
    WORD language;
    WORD code_page;
  };
  Translation* translations = nullptr;
  UINT length = 0;
  if (VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                     reinterpret_cast<void**>(&translations), &length) &&
      length >= sizeof(Translation)) {
    const std::wstring query = L"\\StringFileInfo\\" + Hex4(translations[0].language) +
                               Hex4(translations[0].code_page) + L"\\ProductVersion";
    wchar_t* text = nullptr;
    if (VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length) &&
        length > 1) {
      return std::wstring(text, wcsnlen(text, length));
    }
  }
  VS_FIXEDFILEINFO* fixed = nullptr;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return {};
  }
  return std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
         std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(fixed->dwFileVersionLS));
}

}  // namespace ctl
