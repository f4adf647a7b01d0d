#include "platform/ErrorCodes.h"

namespace Vantor::platform {

namespace {
thread_local std::uint32_t tlsLastError = kErrorSuccess;
}  // namespace

std::uint32_t lastError() { return tlsLastError; }

void setLastError(std::uint32_t code) { tlsLastError = code; }

}  // namespace Vantor::platform
