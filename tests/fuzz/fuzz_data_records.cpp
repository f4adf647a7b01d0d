// Any bytes either are refused with a line inside the text, or give records whose lengths and
// figures are never negative and whose starts are never later than the bound.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "usage/DataRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  constexpr std::int64_t kLatest = 2000000000;
  Vantor::RecordDamage damage;
  std::optional<Vantor::DataRecords> records = Vantor::readDataRecords(text, kLatest, &damage);
  if (!records) {
    if (damage.line == 0 || damage.reason.empty()) std::abort();
    return 0;
  }
  for (const Vantor::UsageInterval& usage : records->usage) {
    if (usage.length < 0 || usage.start > kLatest) std::abort();
  }
  for (const Vantor::ModuleStretch& module : records->modules) {
    if (module.lifetime < 0 || module.firstSeen > kLatest) std::abort();
  }
  for (const Vantor::PerformanceFigures& figures : records->performance) {
    if (figures.elapsedSeconds < 0 || figures.start > kLatest) std::abort();
  }
  return 0;
}
