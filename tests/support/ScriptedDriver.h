// A process-event driver double on a real device socket: every request is answered by the
// test's handler on the double's own thread, over as many connections as come.
#ifndef TARNWICK_TESTS_SUPPORT_SCRIPTEDDRIVER_H_
#define TARNWICK_TESTS_SUPPORT_SCRIPTEDDRIVER_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Vantor::testing {

// The error, the length it claims and the bytes it sends; no answer at all when silent.
struct DriverAnswer {
  std::uint32_t error = 0;
  std::uint32_t length = 0;
  std::vector<std::uint8_t> bytes;
  bool silent = false;
};

// An answer of these bytes, of their own length.
DriverAnswer answerWith(std::vector<std::uint8_t> bytes);

class ScriptedDriver {
 public:
  using Handler =
      std::function<DriverAnswer(std::uint32_t code, const std::vector<std::uint8_t>& input)>;
  struct Request {
    std::uint32_t code = 0;
    std::uint32_t capacity = 0;
    bool operator==(const Request&) const = default;
  };

  ScriptedDriver(const std::string& path, Handler handler);
  ~ScriptedDriver() { stop(); }
  ScriptedDriver(const ScriptedDriver&) = delete;
  ScriptedDriver& operator=(const ScriptedDriver&) = delete;

  // Ends the service; the requests it had.
  std::vector<Request> stop();
  std::vector<Request> requests() const;

 private:
  void serve();
  void serveClient(int client);

  Handler handler_;
  int listener_ = -1;
  int stopSignal_ = -1;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;  // guarded by mutex_
};

}  // namespace Vantor::testing

#endif  // TARNWICK_TESTS_SUPPORT_SCRIPTEDDRIVER_H_
