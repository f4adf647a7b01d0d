// The texts of the numbered messages, from the catalogue files LogMessages/<module>.mess. One
// catalogue is installed for the process; loading a new one replaces it whole, so readers on
// other threads never see a half-filled one. Safe for concurrent use.
#ifndef TARNWICK_LOGGING_MESSAGECATALOGUE_H_
#define TARNWICK_LOGGING_MESSAGECATALOGUE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/LineProblem.h"
#include "platform/Env.h"

namespace Vantor {

struct CatalogueLoad {
  int status = 1;     // 1 when every file was handled, 0 otherwise
  std::string error;  // why not: "OUT OF MEMORY", a file error's code string, or "Unknown"
  std::vector<std::pair<std::string, int>> loaded;  // module name and its number of messages
  std::vector<std::string> skipped;                 // files that are no module or not wanted
  std::vector<std::pair<std::string, LineProblem>> problems;  // lines not understood, by file
};

// Reads one catalogue file's text into texts, keyed "module.number"; the first line of a key
// wins. Lines that are empty or start with "//" are skipped; lines that are not "number :
// text" are told in problems. Returns the lines stored.
int parseCatalogue(std::string_view text, std::int32_t module,
                   std::map<std::string, std::string>* texts,
                   std::vector<LineProblem>* problems = nullptr);

// Loads directory/LogMessages/*.mess for the modules named in modules ("all", or a list in
// which each wanted module's lower-case name occurs) and installs the result. Never throws;
// what loaded before a failure stays loaded.
CatalogueLoad loadMessages(platform::Env& env, const std::string& directory,
                           const std::string& modules);

// The installed text of a message; nullopt when there is none.
std::optional<std::string> lookupMessage(std::int32_t module, std::int32_t number);

// Removes the installed catalogue (messages are then written with their parameters only).
void clearMessages();

}  // namespace Vantor

#endif  // TARNWICK_LOGGING_MESSAGECATALOGUE_H_
