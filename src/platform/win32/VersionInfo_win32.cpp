// The system's headers need its base definitions first.
// clang-format off
#include <windows.h>
#include <winver.h>
// clang-format on

#include "platform/ErrorCodes.h"
#include "platform/SystemServices.h"
#include "platform/VersionInfo.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

bool readVersionInfo(const std::string& path, VersionInfo* info) {
  std::wstring name = wide(path);
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeW(name.c_str(), &ignored);
  if (size == 0) return failWithSystemError();
  std::string block(size, '\0');
  if (!::GetFileVersionInfoW(name.c_str(), 0, size, block.data())) return failWithSystemError();
  // The system hands over the resource as the file holds it, every language's table in it.
  return parseVersionResource(block, info) || failWithCode(kErrorResourceTypeNotFound);
}

}  // namespace Vantor::platform
