// Performance data from the system's performance key, which gathers every process's counters
// in one block; the names come from the English name table.
#include <mutex>

#include "platform/ErrorCodes.h"
#include "platform/ProcessPerformance.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

// A block of every process of a busy machine is a few MiB; nothing sound is larger.
constexpr DWORD kMaxBlock = 256u << 20;

bool queryPerformanceValue(HKEY key, const wchar_t* name, std::vector<std::uint8_t>* data) {
  data->assign(256 * 1024, 0);
  while (true) {
    DWORD size = static_cast<DWORD>(data->size());
    DWORD type = 0;
    LSTATUS status = ::RegQueryValueExW(key, name, nullptr, &type, data->data(), &size);
    if (status == ERROR_SUCCESS) {
      data->resize(size);
      return true;
    }
    // The system never says how much it needs here: the buffer grows until it fits.
    if (status != ERROR_MORE_DATA || data->size() >= kMaxBlock) {
      return failWithCode(static_cast<std::uint32_t>(status));
    }
    data->resize(data->size() * 2);
  }
}

class Win32PerformanceCounters : public PerformanceCounters {
 public:
  const std::vector<std::pair<std::uint32_t, std::string>>& englishCounterNames() override {
    std::call_once(namesRead_, [this] { readNames(); });
    return names_;
  }

  std::uint32_t lastCounterIndex() override {
    DWORD last = 0;
    DWORD size = sizeof last;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE,
                       L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib", L"Last Counter",
                       RRF_RT_REG_DWORD, nullptr, &last, &size) != ERROR_SUCCESS) {
      return 0;
    }
    return last;
  }

  bool readProcessData(const std::vector<ProcessId>* processes, bool countHandles,
                       std::vector<std::uint8_t>* block) override {
    // The system reads every process, handles included, whatever is asked.
    (void)processes;
    (void)countHandles;
    std::wstring object = std::to_wstring(kProcessObjectIndex);
    bool read = queryPerformanceValue(HKEY_PERFORMANCE_DATA, object.c_str(), block);
    ::RegCloseKey(HKEY_PERFORMANCE_DATA);
    return read;
  }

 private:
  void readNames() {
    std::vector<std::uint8_t> table;
    if (!queryPerformanceValue(HKEY_PERFORMANCE_TEXT, L"Counter", &table)) return;
    ::RegCloseKey(HKEY_PERFORMANCE_TEXT);
    // Pairs of strings: the index, then its name.
    const auto* text = reinterpret_cast<const wchar_t*>(table.data());
    std::size_t characters = table.size() / sizeof(wchar_t);
    std::size_t at = 0;
    auto next = [&]() {
      std::size_t start = at;
      while (at < characters && text[at] != L'\0') ++at;
      std::wstring item(text + start, at - start);
      if (at < characters) ++at;
      return item;
    };
    while (at < characters) {
      std::wstring index = next();
      std::wstring name = next();
      if (index.empty()) break;
      wchar_t* end = nullptr;
      unsigned long number = std::wcstoul(index.c_str(), &end, 10);
      if (end == nullptr || *end != L'\0') continue;
      names_.emplace_back(static_cast<std::uint32_t>(number), narrow(name));
    }
  }

  std::once_flag namesRead_;
  std::vector<std::pair<std::uint32_t, std::string>> names_;
};

}  // namespace

PerformanceCounters& systemPerformanceCounters() {
  static PerformanceCounters* const counters = new Win32PerformanceCounters;
  return *counters;
}

}  // namespace Vantor::platform
