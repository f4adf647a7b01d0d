// A real logging chain (writer, messenger, sender) that writes into a temporary log file, with
// its own registry file, for tests that read what was logged.
#ifndef TARNWICK_TESTS_SUPPORT_LOGCAPTURE_H_
#define TARNWICK_TESTS_SUPPORT_LOGCAPTURE_H_

#include <memory>
#include <string>
#include <vector>

#include "logging/LogSender.h"
#include "logging/LogWriter.h"
#include "support/TempDir.h"

namespace Vantor::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();

  std::shared_ptr<LogSender> sender() const { return sender_; }
  LogWriter& writer() { return *writer_; }
  const TempDir& dir() const { return dir_; }
  std::string logPath() const { return dir_.file("tarnwick.log"); }
  // The lines of the log file so far, without their CR LF.
  std::vector<std::string> lines() const;
  // Whether some line contains text.
  bool contains(const std::string& text) const;

 private:
  TempDir dir_;
  ScopedEnv registry_;
  std::shared_ptr<LogWriter> writer_;
  std::shared_ptr<LogSender> sender_;
  int savedDebugLevel_;
  int savedThreshold_;
};

}  // namespace Vantor::testing

#endif  // TARNWICK_TESTS_SUPPORT_LOGCAPTURE_H_
