#include "logging/LogMessenger.h"

#include <cstdio>

#include "foundation/Exception.h"
#include "logging/LogCommons.h"
#include "logging/MessageCatalogue.h"
#include "platform/Mutex.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {

// The journal's priority of a message's severity; none below a warning.
const char* journalPriority(std::int32_t severity) {
  switch (severity) {
    case kSeverityWarning:
      return "<4>";
    case kSeverityError:
      return "<3>";
    case kSeverityCritical:
    case kSeverityFatal:
      return "<2>";
    default:
      return nullptr;
  }
}

// One write per line, so lines of two threads never mix.
void writeToJournal(const std::string& line) {
  static platform::Mutex journalMutex;
  platform::MutexLock lock(&journalMutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

bool LogMessenger::send(const std::string& text) {
  try {
    LogRecord record;
    if (!decodeRecord(text, &record)) return false;
    bool resolved = false;
    if (!record.isDebug) {
      if (std::optional<std::string> message = lookupMessage(record.module, record.messageNumber)) {
        record.text = formatMessage(*message, record.text);
        resolved = true;
      }
    }
    std::string line = formatLogLine(record, true, resolved);
    if (const char* priority = journalPriority(record.severity);
        toJournal_.load() && !record.isDebug && priority != nullptr) {
      writeToJournal(priority + line + "\n");
    }
    return writer_->writeLine(line);
  } catch (Exception& error) {
    error.addLocation(__FILE__, __LINE__);
    return writer_->writeLine(error.getFullText());
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    // Out of memory, or a system error: the line is lost, but logging never takes its caller
    // down.
    return false;
  }
}

}  // namespace Vantor
