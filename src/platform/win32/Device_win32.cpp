// A driver's device, asked through DeviceIoControl. Each request is overlapped, so that a
// driver that does not answer in time is given up on rather than waited for.
#include <vector>

#include "platform/Device.h"
#include "platform/ErrorCodes.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

// How long a request the agent gave up on may take to acknowledge its cancellation.
constexpr DWORD kCancelGraceMillis = 1000;

// One request's buffers and completion event. The driver writes into them until the request
// completes; a request it never completes keeps them for good rather than freeing them under
// its feet.
struct Request {
  Request() : done(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Request() {
    if (done != nullptr) ::CloseHandle(done);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  OVERLAPPED overlapped{};
  HANDLE done;
  std::vector<std::uint8_t> input;
  std::vector<std::uint8_t> output;
};

class Win32Device : public Device {
 public:
  explicit Win32Device(UniqueHandle device) : device_(std::move(device)) {}

  bool isOpen() const override { return device_.valid(); }

  Status control(std::uint32_t code, const std::vector<std::uint8_t>& input, std::uint32_t capacity,
                 std::vector<std::uint8_t>* output, std::chrono::milliseconds timeout) override {
    return Status::fromLastError(exchange(code, input, capacity, output, timeout));
  }

 private:
  bool exchange(std::uint32_t code, const std::vector<std::uint8_t>& input, std::uint32_t capacity,
                std::vector<std::uint8_t>* output, std::chrono::milliseconds timeout) {
    if (!device_.valid()) return failWithCode(kErrorInvalidHandle);
    auto request = std::make_unique<Request>();
    if (request->done == nullptr) return failWithSystemError();
    request->input = input;
    request->output.assign(capacity, 0);
    request->overlapped.hEvent = request->done;
    DWORD returned = 0;
    BOOL answered = ::DeviceIoControl(
        device_.get(), code, request->input.data(), static_cast<DWORD>(request->input.size()),
        request->output.data(), capacity, &returned, &request->overlapped);
    if (!answered && ::GetLastError() == ERROR_IO_PENDING) {
      if (::WaitForSingleObject(request->done, static_cast<DWORD>(timeout.count())) !=
          WAIT_OBJECT_0) {
        // No answer in time: the request is withdrawn and the device closed for good.
        ::CancelIoEx(device_.get(), &request->overlapped);
        if (::WaitForSingleObject(request->done, kCancelGraceMillis) != WAIT_OBJECT_0) {
          (void)request.release();
        }
        device_.reset();
        return failWithCode(kErrorTimeout);
      }
      answered = ::GetOverlappedResult(device_.get(), &request->overlapped, &returned, FALSE);
    }
    if (!answered) return failWithSystemError();
    request->output.resize(std::min<std::size_t>(returned, capacity));
    *output = std::move(request->output);
    return true;
  }

  UniqueHandle device_;
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
  return std::make_unique<Win32Device>(std::move(device));
}

}  // namespace Vantor::platform
