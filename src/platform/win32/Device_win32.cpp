// A driver's device, asked through DeviceIoControl. Each request is overlapped, so that a
// driver that does not answer in time is given up on rather than waited for.
#include "platform/Device.h"
#include "platform/ErrorCodes.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

class Win32Device : public Device {
 public:
  Win32Device(UniqueHandle device, UniqueHandle done)
      : device_(std::move(device)), done_(std::move(done)) {}

  bool isOpen() const override { return device_.valid(); }

  bool control(std::uint32_t code, const std::vector<std::uint8_t>& input, std::uint32_t capacity,
               std::vector<std::uint8_t>* output, std::chrono::milliseconds timeout) override {
    if (!device_.valid()) return failWithCode(kErrorInvalidHandle);
    output->assign(capacity, 0);
    OVERLAPPED overlapped{};
    overlapped.hEvent = done_.get();
    ::ResetEvent(done_.get());
    DWORD returned = 0;
    BOOL answered = ::DeviceIoControl(device_.get(), code, const_cast<std::uint8_t*>(input.data()),
                                      static_cast<DWORD>(input.size()), output->data(), capacity,
                                      &returned, &overlapped);
    if (!answered && ::GetLastError() == ERROR_IO_PENDING) {
      if (::WaitForSingleObject(done_.get(), static_cast<DWORD>(timeout.count())) !=
          WAIT_OBJECT_0) {
        // No answer in time: the request is withdrawn and the device closed for good.
        ::CancelIoEx(device_.get(), &overlapped);
        ::GetOverlappedResult(device_.get(), &overlapped, &returned, TRUE);
        device_.reset();
        return failWithCode(kErrorTimeout);
      }
      answered = ::GetOverlappedResult(device_.get(), &overlapped, &returned, FALSE);
    }
    if (!answered) return failWithSystemError();
    output->resize(std::min<std::size_t>(returned, capacity));
    return true;
  }

 private:
  UniqueHandle device_;
  UniqueHandle done_;
};

}  // namespace

std::unique_ptr<Device> openDevice(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/:") != std::string::npos) {
    failWithCode(kErrorInvalidName);
    return nullptr;
  }
  UniqueHandle device(::CreateFileW(wide("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  if (!device.valid()) {
    failWithSystemError();
    return nullptr;
  }
  UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!done.valid()) {
    failWithSystemError();
    return nullptr;
  }
  return std::make_unique<Win32Device>(std::move(device), std::move(done));
}

}  // namespace Vantor::platform
