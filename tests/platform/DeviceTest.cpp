// The driver device's control requests, against a real socket served by a scripted driver.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/Device.h"
#include "platform/ErrorCodes.h"
#include "platform/LittleEndian.h"
#include "platform/RuntimeDirectory.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

using namespace std::chrono_literals;

// One scripted answer: the error, the length it claims and the bytes it sends; none at all
// when silent.
struct Answer {
  std::uint32_t error = 0;
  std::uint32_t length = 0;
  std::vector<std::uint8_t> bytes;
  bool silent = false;
};

// Serves the answers in order over as many connections as it takes, and keeps each request's
// code and capacity.
class ScriptedDriver {
 public:
  ScriptedDriver(const std::string& path, std::vector<Answer> answers)
      : answers_(std::move(answers)) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedDriver() { stop(); }
  // The code and capacity of each request it had, once it has stopped.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stop() {
    if (thread_.joinable()) {
      ::shutdown(listener_, SHUT_RDWR);
      thread_.join();
      ::close(listener_);
    }
    return requests_;
  }

 private:
  void serve() {
    std::size_t next = 0;
    while (next < answers_.size()) {
      int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      std::uint8_t request[12];
      while (next < answers_.size() && ::recv(client, request, 12, MSG_WAITALL) == 12) {
        requests_.emplace_back(getLittleEndian(request, 4), getLittleEndian(request + 8, 4));
        const Answer& answer = answers_[next++];
        if (answer.silent) {
          // Holds the line until the caller gives up on it.
          char byte = 0;
          while (::recv(client, &byte, 1, 0) > 0) {
          }
          continue;
        }
        std::vector<std::uint8_t> reply;
        appendLittleEndian(reply, answer.error, 4);
        appendLittleEndian(reply, answer.length, 4);
        reply.insert(reply.end(), answer.bytes.begin(), answer.bytes.end());
        ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
      ::close(client);
    }
  }

  std::vector<Answer> answers_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> requests_;
  int listener_ = -1;
  std::thread thread_;
};

TEST(DeviceTest, AnswersAreTakenOnlyAsTheProtocolAllowsThem) {
  testing::TempDir runtime;
  testing::ScopedEnv env("VANTOR_RUNTIME_DIR", runtime.path().c_str());
  Device device;
  EXPECT_FALSE(device.open("VantorLicDrv"));  // nobody serves it
  EXPECT_EQ(lastError(), kErrorFileNotFound);

  std::vector<std::uint8_t> version;
  appendLittleEndian(version, 100, 4);
  std::vector<std::uint8_t> record(24, 7);
  ScriptedDriver driver(*runtimeDirectory("device") + "VantorLicDrv",
                        {{0, 4, version},
                         {0, 24, record},
                         {0, 0, {}},
                         {31, 0, {}},
                         {0, 40, std::vector<std::uint8_t>(40, 1)},  // more than asked for
                         {0, 0, {}, true}});
  ASSERT_TRUE(device.open("VantorLicDrv"));
  std::vector<std::uint8_t> output;
  ASSERT_TRUE(device.control(0xDDD50000, {}, 4, &output, 1s));
  EXPECT_EQ(output, version);
  ASSERT_TRUE(device.control(0xDDD50004, {}, 24, &output, 1s));
  EXPECT_EQ(output, record);
  ASSERT_TRUE(device.control(0xDDD50004, {}, 24, &output, 1s));
  EXPECT_TRUE(output.empty());  // the queue is empty
  // The driver's own error, and the device stays usable.
  EXPECT_FALSE(device.control(0xDDD50004, {}, 24, &output, 1s));
  EXPECT_EQ(lastError(), 31u);
  EXPECT_TRUE(device.isOpen());
  // An answer longer than the room given is not read; the exchange is given up.
  EXPECT_FALSE(device.control(0xDDD50004, {}, 24, &output, 1s));
  EXPECT_EQ(lastError(), kErrorInvalidData);
  EXPECT_FALSE(device.isOpen());
  // A driver that does not answer does not hold the caller beyond its time-out.
  ASSERT_TRUE(device.open("VantorLicDrv"));
  EXPECT_FALSE(device.control(0xDDD50004, {}, 24, &output, 200ms));
  EXPECT_EQ(lastError(), kErrorTimeout);
  EXPECT_FALSE(device.isOpen());
  std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
      {0xDDD50000, 4},  {0xDDD50004, 24}, {0xDDD50004, 24},
      {0xDDD50004, 24}, {0xDDD50004, 24}, {0xDDD50004, 24}};
  EXPECT_EQ(driver.stop(), expected);
}

}  // namespace
}  // namespace Vantor::platform
