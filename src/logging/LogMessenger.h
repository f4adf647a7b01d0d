// The back of the log messenger: decodes an encoded record, resolves the catalogue text of a
// numbered message and has the log writer write one line. Called from every thread that logs;
// it holds no lock of its own (the writer serialises).
#ifndef TARNWICK_LOGGING_LOGMESSENGER_H_
#define TARNWICK_LOGGING_LOGMESSENGER_H_

#include <atomic>
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
  // Also writes each message of severity warning and above to standard error, with the
  // journal's priority prefix ("<4>" warning, "<3>" error, "<2>" critical and fatal): the
  // journal stands in for the Core where no Core listens.
  void copyWarningsToJournal(bool on) { toJournal_.store(on); }
  bool setPath(const std::string& path) { return writer_->setPath(path); }
  LogWriter& writer() { return *writer_; }

 private:
  std::shared_ptr<LogWriter> writer_;
  std::atomic<bool> toJournal_{false};
};

}  // namespace Vantor

#endif  // TARNWICK_LOGGING_LOGMESSENGER_H_
