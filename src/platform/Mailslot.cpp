#include "platform/Mailslot.h"

namespace Vantor::platform {

bool isValidMailslotName(const std::string& name) {
  if (name.empty() || name.size() > 100 || name == "." || name == "..") return false;
  for (char c : name) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '.' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace Vantor::platform
