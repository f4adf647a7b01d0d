// The static description of the machine that every data record carries.
#ifndef TARNWICK_FOUNDATION_INVENTORYOPS_H_
#define TARNWICK_FOUNDATION_INVENTORYOPS_H_

#include <string>

#include "platform/SystemFacts.h"

namespace Vantor::InventoryOps {

struct StaticInfo {
  std::string domain;  // workgroup or domain; "N/A" when it cannot be read
  std::string computerName;
  std::string architecture;  // "i386", "amd64", "arm64", ..., "unknown", "error"
  std::string osName;
};

StaticInfo getStaticInfo(platform::SystemFacts& facts);

// Major * 10 + minor of the Windows version; 0 when it cannot be read.
int windowsVersion(platform::SystemFacts& facts);

// True for a 32-bit agent on a 64-bit system.
bool isWow64(platform::SystemFacts& facts);

}  // namespace Vantor::InventoryOps

#endif  // TARNWICK_FOUNDATION_INVENTORYOPS_H_
