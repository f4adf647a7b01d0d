#include "runtime/ProblemCollector.h"

#include <algorithm>
#include <optional>

#include "foundation/Exception.h"
#include "foundation/TextUtils.h"
#include "logging/LogCommons.h"
#include "logging/MessageCatalogue.h"

namespace Vantor {

bool ProblemCollector::send(const std::string& text) {
  LogRecord record;
  try {
    if (!decodeRecord(text, &record) || record.isDebug || record.severity < kSeverityWarning) {
      return true;
    }
  } catch (const Exception&) {
    return true;
  }
  std::string said = record.text;
  if (std::optional<std::string> message = lookupMessage(record.module, record.messageNumber)) {
    said = formatMessage(*message, record.text);
  } else {
    // Without the catalogue (it may be what is broken), the message's number and parameters.
    said = formatLogLine(record, false, false);
  }
  add(severityName(record.severity) + ": " + TextUtils::withoutControls(said, '?'));
  return true;
}

void ProblemCollector::add(const std::string& problem) {
  platform::MutexLock lock(&mutex_);
  // A key read twice is told once.
  if (std::find(problems_.begin(), problems_.end(), problem) == problems_.end()) {
    problems_.push_back(problem);
  }
}

std::vector<std::string> ProblemCollector::problems() const {
  platform::MutexLock lock(&mutex_);
  return problems_;
}

}  // namespace Vantor
