// Product names of executables: from the site's application mappings
// (components/appmapping.conf in the catalogue directory), from the executable's version
// information, or from its file name. "!" marks an executable that is not to be metered.
// A path is read from disk once; the answers are cached (up to a bound). Safe for
// concurrent callers.
#ifndef TARNWICK_USAGE_EXEFINDER_H_
#define TARNWICK_USAGE_EXEFINDER_H_

#include <map>
#include <string>
#include <string_view>

#include "config/ConfReader.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"
#include "platform/Mutex.h"

namespace Vantor {

class ExeFinder {
 public:
  static constexpr char kIgnored[] = "!";
  static constexpr char kUndefined[] = "[UNDEFINED]";

  // Whether the product find() gave is one nothing is recorded for: ignored by the mapping,
  // or that of an executable not read yet (its start waits until it is). A program lost
  // before it could be read is recorded, as lost.
  static bool ignores(const std::string& product);

  enum Kind { kPlain = 0, kIgnore = 1, kMapAlways = 2, kMapMedium = 3, kMapLast = 4 };
  struct Mapping {
    std::string name;
    Kind kind = kPlain;
  };
  using Mappings = std::map<std::string, Mapping>;  // by lower-case pattern

  struct ExeInfo {
    std::string fileName;
    std::string product;
    std::string description;
    std::string version;
    std::string result;
  };

  // Reads mapping file text. Returns 0, or the number of the line holding a '{' that no
  // keyword opened (mappings is then incomplete and must be thrown away). Pure.
  static std::size_t parseMappings(std::string_view text, Mappings* mappings);
  // The folder of the mapping file the configuration names.
  static std::string mappingFolder(const ConfReader& reader);
  // Cuts "application file" / "application" off a name; empty when no letter is left. Pure.
  static std::string cleanName(const std::string& name);

  ExeFinder(platform::Env& env, const LoggerUnit& programLogger, const LoggerUnit& agentLogger);
  ~ExeFinder();
  ExeFinder(const ExeFinder&) = delete;
  ExeFinder& operator=(const ExeFinder&) = delete;

  void loadApplicationMappings(const ConfReader& reader) LOCKS_EXCLUDED(mutex_);
  void setMappings(Mappings mappings) LOCKS_EXCLUDED(mutex_);
  // The product name of an executable path; "!" for an ignored one, "[UNDEFINED]" for "".
  std::string find(const std::string& path) LOCKS_EXCLUDED(mutex_);
  // Reads the version information of the file into info; false when it has none.
  bool SMScan(ExeInfo& info, const std::string& path) const;

 private:
  std::string decideName(ExeInfo& info) const EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  bool resolvePath(std::string& path) const;

  platform::Env& env_;
  const LoggerUnit& programLogger_;  // catalogue messages
  const LoggerUnit& logger_;         // debug lines
  platform::Mutex mutex_;
  Mappings mappings_ GUARDED_BY(mutex_);
  std::map<std::string, ExeInfo> cache_ GUARDED_BY(mutex_);
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_EXEFINDER_H_
