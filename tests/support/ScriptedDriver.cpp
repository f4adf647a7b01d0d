#include "support/ScriptedDriver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/LittleEndian.h"

namespace Vantor::testing {

namespace {

// False when the stop signal came first or the client went.
bool receive(int client, int stopSignal, std::uint8_t* into, std::size_t size) {
  while (size > 0) {
    pollfd waits[2] = {{client, POLLIN, 0}, {stopSignal, POLLIN, 0}};
    ::poll(waits, 2, -1);
    if (waits[1].revents != 0) return false;
    ssize_t got = ::recv(client, into, size, 0);
    if (got <= 0) return false;
    into += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

DriverAnswer answerWith(std::vector<std::uint8_t> bytes) {
  DriverAnswer answer;
  answer.length = static_cast<std::uint32_t>(bytes.size());
  answer.bytes = std::move(bytes);
  return answer;
}

ScriptedDriver::ScriptedDriver(const std::string& path, Handler handler)
    : handler_(std::move(handler)) {
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  stopSignal_ = ::eventfd(0, EFD_CLOEXEC);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  EXPECT_EQ(::listen(listener_, 4), 0);
  thread_ = std::thread([this] { serve(); });
}

std::vector<ScriptedDriver::Request> ScriptedDriver::stop() {
  if (thread_.joinable()) {
    std::uint64_t one = 1;
    EXPECT_EQ(::write(stopSignal_, &one, sizeof one), 8);
    thread_.join();
    ::close(listener_);
    ::close(stopSignal_);
  }
  return requests();
}

std::vector<ScriptedDriver::Request> ScriptedDriver::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedDriver::serve() {
  while (true) {
    pollfd waits[2] = {{listener_, POLLIN, 0}, {stopSignal_, POLLIN, 0}};
    ::poll(waits, 2, -1);
    if (waits[1].revents != 0) return;
    int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    serveClient(client);
    ::close(client);
  }
}

void ScriptedDriver::serveClient(int client) {
  std::uint8_t head[8];
  while (receive(client, stopSignal_, head, sizeof head)) {
    std::vector<std::uint8_t> input(platform::getLittleEndian(head + 4, 4));
    std::uint8_t capacity[4];
    if (!receive(client, stopSignal_, input.data(), input.size()) ||
        !receive(client, stopSignal_, capacity, sizeof capacity)) {
      return;
    }
    auto code = static_cast<std::uint32_t>(platform::getLittleEndian(head, 4));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(
          {code, static_cast<std::uint32_t>(platform::getLittleEndian(capacity, 4))});
    }
    DriverAnswer answer = handler_(code, input);
    if (answer.silent) {
      // Holds the line until the caller gives up on it.
      std::uint8_t byte = 0;
      while (receive(client, stopSignal_, &byte, 1)) {
      }
      return;
    }
    std::vector<std::uint8_t> reply;
    platform::appendLittleEndian(reply, answer.error, 4);
    platform::appendLittleEndian(reply, answer.length, 4);
    reply.insert(reply.end(), answer.bytes.begin(), answer.bytes.end());
    ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
  }
}

}  // namespace Vantor::testing
