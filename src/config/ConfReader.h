// Reads a configuration file of the suite's format into a tree of named, typed entries and
// answers typed queries by dotted key ("log.rotation.size"). An entry is written
//   name ( type ) = value { children }
// and a value may refer to other entries as "${key}". Queries return a status code and never
// throw. Builds are serialised; queries read an immutable snapshot of the tree, so they are
// safe while another thread rebuilds it.
#ifndef TARNWICK_CONFIG_CONFREADER_H_
#define TARNWICK_CONFIG_CONFREADER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "concurrency/RenewableMutex.h"
#include "foundation/TimeSpan.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"
#include "platform/Mutex.h"

namespace Vantor {

class ConfReader {
 public:
  enum Status : int {
    CONF_OK = 0,
    CONF_NO_VALUE = 1,   // untyped entry (a section), also one referred to
    CONF_NOT_FOUND = 2,  // the key, or a key referred to
    CONF_WRONG_TYPE = 3,
    CONF_BAD_BOOL = 4,
    CONF_BAD_TIMESPAN = 5,
    CONF_BAD_REFERENCE = 6,  // "${" without "}", or references that never end
  };

  // Substitutions of references allowed in one query (values that refer to themselves).
  static constexpr int kMaxSubstitutions = 100;
  // Blocks nested deeper than this are a syntax error, so no input can exhaust the stack.
  static constexpr int kMaxDepth = 100;

  struct Entry {
    std::string name;
    std::string type;  // empty: a section without a value
    std::string value;
    std::vector<std::unique_ptr<Entry>> children;  // in the order of the file
    std::size_t line = 0;                          // where its name stands in the file
  };

  explicit ConfReader(std::shared_ptr<LogSender> sender);
  ~ConfReader();
  ConfReader(const ConfReader&) = delete;
  ConfReader& operator=(const ConfReader&) = delete;

  // Reads the file and replaces the tree. Never throws: errors are logged; after a file error
  // the previous tree stays, after a syntax error what was parsed before it is kept.
  // False when the file could not be read whole or has an error (what came before an error is
  // kept); the reason is logged.
  bool build(platform::Env& env, const std::string& fileName);
  // Builds from text directly (the text of a file named fileName, for messages).
  bool buildFromText(std::string_view text, const std::string& fileName = "<text>");
  // Where the last build found its syntax error, if it found one.
  struct SyntaxError {
    std::size_t line = 0;
    std::string reason;
  };
  std::optional<SyntaxError> syntaxError() const LOCKS_EXCLUDED(rootMutex_);

  int get(const std::string& key, const std::string& type, std::string& out) const;
  int getString(const std::string& key, std::string& out, bool trim = false,
                bool lowerCase = false) const;
  int getBool(const std::string& key, bool& out) const;
  int getInteger(const std::string& key, std::int32_t& out) const;
  int getDirName(const std::string& key, std::string& out) const;
  int getFileName(const std::string& key, std::string& out) const;
  int getTimeSpan(const std::string& key, TimeSpanFields& out) const;

 private:
  // Warns (message 16) that the key's value cannot be used as asked, with the file and line;
  // the caller takes its default.
  void warnOfValue(const std::string& key, const std::string& problem) const
      LOCKS_EXCLUDED(rootMutex_);
  std::shared_ptr<const Entry> snapshot() const;
  void install(std::shared_ptr<const Entry> root);
  bool parseInto(std::string_view text, const std::string& fileName);

  LoggerUnit logger_;
  RenewableMutex buildLock_;
  mutable platform::Mutex rootMutex_;
  std::shared_ptr<const Entry> root_ GUARDED_BY(rootMutex_);
  std::optional<SyntaxError> syntaxError_ GUARDED_BY(rootMutex_);
  std::string fileName_ GUARDED_BY(rootMutex_);  // what the tree was built from
};

}  // namespace Vantor

#endif  // TARNWICK_CONFIG_CONFREADER_H_
