// The log's stand-in while the configuration is checked: debug lines go nowhere, and each
// message of severity warning and above is kept as a problem to list, its catalogue text
// resolved. Nothing is written.
#ifndef TARNWICK_RUNTIME_PROBLEMCOLLECTOR_H_
#define TARNWICK_RUNTIME_PROBLEMCOLLECTOR_H_

#include <memory>
#include <string>
#include <vector>

#include "logging/LogMessenger.h"
#include "platform/Mutex.h"

namespace Vantor {

class ProblemCollector : public LogMessenger {
 public:
  explicit ProblemCollector(std::shared_ptr<LogWriter> writer) : LogMessenger(std::move(writer)) {}

  bool send(const std::string& text) override LOCKS_EXCLUDED(mutex_);
  // Adds a problem found otherwise ("file:line: reason").
  void add(const std::string& problem) LOCKS_EXCLUDED(mutex_);
  std::vector<std::string> problems() const LOCKS_EXCLUDED(mutex_);

 private:
  mutable platform::Mutex mutex_;
  std::vector<std::string> problems_ GUARDED_BY(mutex_);
};

}  // namespace Vantor

#endif  // TARNWICK_RUNTIME_PROBLEMCOLLECTOR_H_
