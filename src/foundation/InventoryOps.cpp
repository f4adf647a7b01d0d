#include "foundation/InventoryOps.h"

#include "platform/SystemFacts.h"

namespace Vantor::InventoryOps {

StaticInfo getStaticInfo(platform::SystemFacts& facts) {
  StaticInfo info;
  info.architecture = facts.architecture();
  info.osName = facts.osName();
  info.computerName = facts.computerName();
  info.domain = facts.workgroup().value_or("N/A");
  return info;
}

int windowsVersion(platform::SystemFacts& facts) { return facts.versionNumber(); }

bool isWow64(platform::SystemFacts& facts) { return facts.is32BitOn64Bit(); }

}  // namespace Vantor::InventoryOps
