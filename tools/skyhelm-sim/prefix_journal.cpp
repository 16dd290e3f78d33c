// Writing and replaying the journal of a run's changes to the system. A line per change, UTF-8,
// fields separated by tabs: "V key value type hex" (a value to restore), "N key value" (a value
// to delete), "K key" (a key tree to delete), "D instance" (a device to remove), "P path" (a
// file or folder to delete), "S" (the service to close).
#include "prefix_journal.h"

#ifdef _WIN32

#include <windows.h>

#include <fstream>
#include <vector>

#include "platform/text.h"
#include "sim/win32/standin_devices.h"

namespace simtool {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kServiceWindowClass[] = L"Corvane.Vexmoor.Skyhelm";
constexpr DWORD kCloseMs = 5000;

std::string Utf8(const std::wstring& text) {
  return platform::ToUtf8(std::u16string(text.begin(), text.end()));
}

std::wstring Wide(const std::string& text) {
  const std::u16string wide = platform::FromUtf8(text);
  return std::wstring(wide.begin(), wide.end());
}

std::vector<std::wstring> Fields(const std::wstring& line) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find(L'\t', start);
    fields.push_back(line.substr(start, tab == std::wstring::npos ? tab : tab - start));
    if (tab == std::wstring::npos) return fields;
    start = tab + 1;
  }
}

std::wstring Hex(const std::vector<BYTE>& bytes) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (BYTE b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

std::vector<BYTE> Bytes(const std::wstring& hex) {
  std::vector<BYTE> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// The service of a run: asked to close, and ended when it does not within the time limit.
void CloseService() {
  HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kServiceWindowClass, nullptr);
  if (window == nullptr) return;
  DWORD process_id = 0;
  GetWindowThreadProcessId(window, &process_id);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, process_id);
  PostMessageW(window, WM_CLOSE, 0, 0);
  if (process == nullptr) return;
  if (WaitForSingleObject(process, kCloseMs) != WAIT_OBJECT_0) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, kCloseMs);
  }
  CloseHandle(process);
}

void Undo(const std::vector<std::wstring>& f) {
  std::error_code ignored;
  if (f[0] == L"D" && f.size() == 2) {
    sim::RemoveStandInDevice(f[1]);
  } else if (f[0] == L"P" && f.size() == 2) {
    fs::remove_all(fs::path(f[1]), ignored);
  } else if (f[0] == L"K" && f.size() == 2) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, f[1].c_str());
  } else if ((f[0] == L"V" && f.size() == 5) || (f[0] == L"N" && f.size() == 3)) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, f[1].c_str(), 0, KEY_WRITE, &handle) != ERROR_SUCCESS) {
      return;
    }
    if (f[0] == L"V") {
      const std::vector<BYTE> old = Bytes(f[4]);
      RegSetValueExW(handle, f[2].c_str(), 0, static_cast<DWORD>(std::stoul(f[3])), old.data(),
                     static_cast<DWORD>(old.size()));
    } else {
      RegDeleteValueW(handle, f[2].c_str());
    }
    RegCloseKey(handle);
  }
}

}  // namespace

fs::path PrefixJournal::File() { return fs::temp_directory_path() / "skyhelm-sim.journal"; }

bool PrefixJournal::Append(const std::wstring& line) {
  if (line.find(L'\n') != std::wstring::npos) return false;
  std::ofstream out(File(), std::ios::binary | std::ios::app);
  out << Utf8(line) << '\n';
  out.flush();  // on disk (in the system's cache) before the change is made
  return static_cast<bool>(out);
}

bool PrefixJournal::RegistryValue(const std::wstring& key, const std::wstring& value) {
  // The topmost missing key of the path is what setting the value creates.
  size_t start = 0;
  while (start <= key.size()) {
    size_t end = key.find(L'\\', start);
    if (end == std::wstring::npos) end = key.size();
    HKEY probe = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.substr(0, end).c_str(), 0, KEY_READ, &probe) !=
        ERROR_SUCCESS) {
      return Append(L"K\t" + key.substr(0, end));
    }
    RegCloseKey(probe);
    start = end + 1;
  }
  DWORD type = 0, size = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                   &type, nullptr, &size) != ERROR_SUCCESS) {
    return Append(L"N\t" + key + L"\t" + value);
  }
  std::vector<BYTE> old(size);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                   &type, old.data(), &size) != ERROR_SUCCESS) {
    return false;
  }
  old.resize(size);
  return Append(L"V\t" + key + L"\t" + value + L"\t" + std::to_wstring(type) + L"\t" + Hex(old));
}

bool PrefixJournal::Device(const std::wstring& instance) { return Append(L"D\t" + instance); }

bool PrefixJournal::Path(const fs::path& path) { return Append(L"P\t" + path.wstring()); }

bool PrefixJournal::Service() { return Append(L"S"); }

void PrefixJournal::Replay() {
  std::vector<std::vector<std::wstring>> changes;
  {
    std::ifstream in(File(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) changes.push_back(Fields(Wide(line)));
    }
  }
  for (const auto& change : changes) {
    if (change[0] == L"S") {
      CloseService();
      break;
    }
  }
  for (auto change = changes.rbegin(); change != changes.rend(); ++change) Undo(*change);
  std::error_code ignored;
  fs::remove(File(), ignored);
}

}  // namespace simtool

#endif  // _WIN32
