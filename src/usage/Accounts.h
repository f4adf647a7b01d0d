// Site accounts that replace the user written into records: the main table from
// <configuration>/accounts.conf and the per-user table from <configuration>/accounts/*.conf,
// lines "user = account : extra". The change check (status monitor) builds complete new
// tables and swaps them in, so record writers on other threads never see a half-built one.
#ifndef TARNWICK_USAGE_ACCOUNTS_H_
#define TARNWICK_USAGE_ACCOUNTS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/DateTime.h"
#include "foundation/LineProblem.h"
#include "platform/Env.h"
#include "platform/Mutex.h"

namespace Vantor {

class Accounts {
 public:
  struct Entry {
    std::string account;  // written instead of the user; may be empty
    std::string extra;    // appended after "|"; may be empty
  };
  using Table = std::map<std::string, Entry>;

  // The change check runs when more than this many seconds passed since the last one.
  static constexpr std::int32_t kCheckSeconds = 4;

  // The account files are read through env.
  explicit Accounts(platform::Env& env) : env_(env) {}

  // Reads the lines of one account file into table; a later line for a user replaces an
  // earlier one. Pure.
  // Lines without a user are told in problems.
  static void parseAccounts(std::string_view text, Table* table,
                            std::vector<LineProblem>* problems = nullptr);

  // Reads both tables afresh. False when the main file cannot be read: accounts are then off.
  // problems: those of the main file's lines.
  bool loadAccounts(const std::string& configurationDirectory,
                    std::vector<LineProblem>* problems = nullptr) LOCKS_EXCLUDED(checkMutex_);
  // The change check; at most once per kCheckSeconds.
  void refreshAccounts() LOCKS_EXCLUDED(checkMutex_);
  void refreshAccountsAt(const DateTime& now) LOCKS_EXCLUDED(checkMutex_);

  // Whether the user has an entry; account is set only where the entry gives one.
  bool lookupAccount(const std::string& user, std::string& account, std::string& extra) const;
  // The name to write for a full user name "\\DOMAIN\user".
  std::string mapUser(const std::string& fullUser) const;

 private:
  struct Tables {
    Table main;
    Table perUser;
  };
  using FileTimes = std::map<std::string, std::int64_t>;  // per-user file name → modification

  std::shared_ptr<const Tables> tables() const;
  void install(std::shared_ptr<const Tables> tables);
  FileTimes listPerUserFiles() const EXCLUSIVE_LOCKS_REQUIRED(checkMutex_);

  platform::Env& env_;
  mutable platform::Mutex tablesMutex_;
  std::shared_ptr<const Tables> tables_ GUARDED_BY(tablesMutex_);

  // The change check's own state; the check and a reload never run at once.
  platform::Mutex checkMutex_ ACQUIRED_BEFORE(tablesMutex_);
  std::string directory_ GUARDED_BY(checkMutex_);  // empty: accounts are off
  std::int64_t mainFileTime_ GUARDED_BY(checkMutex_) = 0;
  FileTimes perUserFiles_ GUARDED_BY(checkMutex_);
  std::int64_t lastCheck_ GUARDED_BY(checkMutex_) = 0;
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_ACCOUNTS_H_
