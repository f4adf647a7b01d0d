#include "logging/LogMessenger.h"

#include "foundation/Exception.h"
#include "logging/LogCommons.h"
#include "logging/MessageCatalogue.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

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
    return writer_->writeLine(formatLogLine(record, true, resolved));
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
