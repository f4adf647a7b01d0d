#include "foundation/InventoryOps.h"

#include "platform/Env.h"
#include "platform/SystemFacts.h"

namespace Vantor::InventoryOps {

StaticInfo getStaticInfo() {
  platform::SystemFacts& facts = platform::processEnv().systemFacts();
  StaticInfo info;
  info.architecture = facts.architecture();
  info.osName = facts.osName();
  info.computerName = facts.computerName();
  info.domain = facts.workgroup().value_or("N/A");
  return info;
}

int windowsVersion() { return platform::processEnv().systemFacts().versionNumber(); }

bool isWow64() { return platform::processEnv().systemFacts().is32BitOn64Bit(); }

}  // namespace Vantor::InventoryOps
