// The driver device's control requests, against a real socket served by a scripted driver.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/LittleEndian.h"
#include "platform/posix/RuntimeDirectory.h"
#include "support/ScriptedDriver.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

using namespace std::chrono_literals;

// Answers from the list, in order.
testing::ScriptedDriver::Handler inOrder(std::vector<testing::DriverAnswer> answers) {
  auto next = std::make_shared<std::size_t>(0);
  return [answers = std::move(answers), next](std::uint32_t, const std::vector<std::uint8_t>&) {
    return *next < answers.size() ? answers[(*next)++] : testing::DriverAnswer{0, 0, {}, true};
  };
}

TEST(DeviceTest, AnswersAreTakenOnlyAsTheProtocolAllowsThem) {
  testing::TempDir runtime;
  testing::ScopedEnv env("VANTOR_RUNTIME_DIR", runtime.path().c_str());
  // Nobody serves it.
  EXPECT_EQ(testing::systemEnv().openDevice("VantorLicDrv").error(), kErrorFileNotFound);

  std::vector<std::uint8_t> version;
  appendLittleEndian(version, 100, 4);
  std::vector<std::uint8_t> record(24, 7);
  testing::ScriptedDriver driver(
      *runtimeDirectory("device") + "VantorLicDrv",
      inOrder({{0, 4, version},
               {0, 24, record},
               {0, 0, {}},
               {31, 0, {}},
               {0, 40, std::vector<std::uint8_t>(40, 1)},  // more than asked for
               {0, 0, {}, true}}));
  std::unique_ptr<Device> device =
      std::move(testing::systemEnv().openDevice("VantorLicDrv").value());
  ASSERT_NE(device, nullptr);
  std::vector<std::uint8_t> output;
  ASSERT_TRUE(device->control(0xDDD50000, {}, 4, &output, 1s));
  EXPECT_EQ(output, version);
  ASSERT_TRUE(device->control(0xDDD50004, {}, 24, &output, 1s));
  EXPECT_EQ(output, record);
  ASSERT_TRUE(device->control(0xDDD50004, {}, 24, &output, 1s));
  EXPECT_TRUE(output.empty());  // the queue is empty
  // The driver's own error, and the device stays usable.
  EXPECT_EQ(device->control(0xDDD50004, {}, 24, &output, 1s).code(), 31u);
  EXPECT_TRUE(device->isOpen());
  // An answer longer than the room given is not read; the exchange is given up.
  EXPECT_EQ(device->control(0xDDD50004, {}, 24, &output, 1s).code(), kErrorInvalidData);
  EXPECT_FALSE(device->isOpen());
  // A driver that does not answer does not hold the caller beyond its time-out.
  device = std::move(testing::systemEnv().openDevice("VantorLicDrv").value());
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->control(0xDDD50004, {}, 24, &output, 200ms).code(), kErrorTimeout);
  EXPECT_FALSE(device->isOpen());
  std::vector<testing::ScriptedDriver::Request> expected = {{0xDDD50000, 4},  {0xDDD50004, 24},
                                                            {0xDDD50004, 24}, {0xDDD50004, 24},
                                                            {0xDDD50004, 24}, {0xDDD50004, 24}};
  EXPECT_EQ(driver.stop(), expected);
}

// Another local user who can write into the runtime directory serves a device and makes an
// event there: the agent takes neither, or that user could feed it records.
TEST(DeviceTest, AnotherUsersDeviceAndEventAreRefused) {
  if (::getuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  testing::TempDir runtime;
  testing::ScopedEnv env("VANTOR_RUNTIME_DIR", runtime.path().c_str());
  std::string devices = *runtimeDirectory("device");
  std::string events = *runtimeDirectory("event");
  ::chmod(runtime.path().c_str(), 0755);
  ::chmod(devices.c_str(), 0777);
  ::chmod(events.c_str(), 0777);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t other = ::fork();
  if (other == 0) {
    if (::setresgid(12345, 12345, 12345) != 0 || ::setresuid(12345, 12345, 12345) != 0) _exit(1);
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = devices + "VantorLicDrv";
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::mkfifo((events + "LicDrvProcessEvent").c_str(), 0666) != 0) {
      _exit(1);
    }
    (void)!::write(ready[1], "x", 1);
    ::pause();
    _exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  bool served = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  ASSERT_TRUE(served) << "the other user could not serve the device";
  EXPECT_EQ(testing::systemEnv().openDevice("VantorLicDrv").error(), kErrorAccessDenied);
  EXPECT_EQ(
      testing::systemEnv().openEvent("LicDrvProcessEvent", NamedEvent::Reset::kAutomatic).error(),
      kErrorAccessDenied);
  ::kill(other, SIGKILL);
  ::waitpid(other, nullptr, 0);
}

}  // namespace
}  // namespace Vantor::platform
