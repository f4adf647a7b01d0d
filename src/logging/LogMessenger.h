// The back of the log messenger: decodes an encoded record, resolves the catalogue text of a
// numbered message and has the log writer write one line. Called from every thread that logs;
// it holds no lock of its own (the writer serialises).
#ifndef TARNWICK_LOGGING_LOGMESSENGER_H_
#define TARNWICK_LOGGING_LOGMESSENGER_H_

#include <memory>
#include <string>

#include "logging/LogWriter.h"

namespace Vantor {

class LogMessenger {
 public:
  explicit LogMessenger(std::shared_ptr<LogWriter> writer) : writer_(std::move(writer)) {}
  virtual ~LogMessenger() = default;

  // False when the text is no record or the line could not be written.
  virtual bool send(const std::string& text);
  bool setPath(const std::string& path) { return writer_->setPath(path); }
  LogWriter& writer() { return *writer_; }

 private:
  std::shared_ptr<LogWriter> writer_;
};

}  // namespace Vantor

#endif  // TARNWICK_LOGGING_LOGMESSENGER_H_
