// Any text either fails to decode, throws TimeException, or gives a record whose line can be
// built and whose encoding decodes to the same record.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/TimeException.h"
#include "logging/LogCommons.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Vantor::isDebugRecord(text);
  Vantor::LogRecord record;
  try {
    if (!Vantor::decodeRecord(text, &record)) return 0;
  } catch (const Vantor::TimeException&) {
    return 0;
  }
  Vantor::formatLogLine(record, true, false);
  Vantor::formatLogLine(record, false, true);
  Vantor::LogRecord again;
  if (!Vantor::decodeRecord(Vantor::encodeRecord(record), &again) || again.text != record.text ||
      again.isDebug != record.isDebug || again.messageNumber != record.messageNumber) {
    std::abort();
  }
  return 0;
}
