#include "runtime/Arguments.h"

namespace Vantor {

Arguments splitArguments(const std::vector<std::string>& arguments) {
  Arguments pairs;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& token = arguments[i];
    if (token.size() < 2 || token[0] != '-') {
      pairs.emplace_back("", token);
      continue;
    }
    std::string option;
    if (token[1] == '-') {
      option = token.substr(2);
    } else {
      option = token.substr(1, 1);
      if (token.size() > 2) {  // "-cvalue"
        pairs.emplace_back(option, token.substr(2));
        continue;
      }
    }
    bool valueFollows =
        i + 1 < arguments.size() && !(arguments[i + 1].size() >= 2 && arguments[i + 1][0] == '-');
    pairs.emplace_back(option, valueFollows ? arguments[++i] : std::string());
  }
  return pairs;
}

}  // namespace Vantor
