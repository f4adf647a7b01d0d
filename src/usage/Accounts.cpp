#include "usage/Accounts.h"

#include <optional>
#include <set>

#include "foundation/Exception.h"
#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "foundation/TextUtils.h"
#include "foundation/Wildcard.h"

namespace Vantor {

namespace {

std::int64_t modificationTime(platform::Env& env, const std::string& path) {
  FileOps::FileInfo info;
  return FileOps::getInfo(env, path, &info) ? info.lastWriteTime : 0;
}

std::string mainFile(const std::string& directory) {
  return FileUtils::ensureTrailingSeparator(directory) + "accounts.conf";
}

std::string perUserDirectory(const std::string& directory) {
  return FileUtils::ensureTrailingSeparator(directory) + "accounts" + "/";
}

// Unreadable per-user files are skipped.
void readInto(platform::Env& env, const std::string& path, Accounts::Table* table) {
  try {
    Accounts::parseAccounts(TextUtils::readTextFile(env, path), table);
  } catch (const Exception&) {
  }
}

}  // namespace

void Accounts::parseAccounts(std::string_view text, Table* table,
                             std::vector<LineProblem>* problems) {
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    std::size_t end = text.find('\n');
    std::string_view line = TextUtils::trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    // "user", "user = account" and "user : extra" are all forms of a line; one without a
    // user maps nobody.
    if (problems != nullptr &&
        TextUtils::trimmed(line.substr(0, line.find_first_of("=:"))).empty()) {
      problems->push_back({number, "no user before the '=' or ':'; the line maps nobody"});
    }
    std::size_t colon = line.find(':');
    std::string_view extra = colon == std::string_view::npos
                                 ? std::string_view()
                                 : TextUtils::trimmed(line.substr(colon + 1));
    std::string_view left = line.substr(0, colon);
    std::size_t equals = left.find('=');
    std::string_view user = TextUtils::trimmed(left.substr(0, equals));
    std::string_view account = equals == std::string_view::npos
                                   ? std::string_view()
                                   : TextUtils::trimmed(left.substr(equals + 1));
    (*table)[std::string(user)] = {std::string(account), std::string(extra)};
  }
}

Accounts::FileTimes Accounts::listPerUserFiles() const {
  FileTimes files;
  std::vector<FileOps::ListEntry> entries;
  FileOps::list(env_, perUserDirectory(directory_) + "*.conf", &entries);
  for (const FileOps::ListEntry& entry : entries) {
    if (entry.isFile) {
      files[entry.name] = modificationTime(env_, perUserDirectory(directory_) + entry.name);
    }
  }
  return files;
}

bool Accounts::loadAccounts(const std::string& configurationDirectory,
                            std::vector<LineProblem>* problems) {
  platform::MutexLock lock(&checkMutex_);
  auto fresh = std::make_shared<Tables>();
  std::optional<std::string> text;
  try {
    text = TextUtils::readTextFile(env_, mainFile(configurationDirectory));
  } catch (const Exception&) {
  }
  if (!text) {
    // Accounts are off: every user is written as it is, and nothing is watched.
    directory_.clear();
    install(std::make_shared<const Tables>());
    return false;
  }
  parseAccounts(*text, &fresh->main, problems);
  mainFileTime_ = modificationTime(env_, mainFile(configurationDirectory));
  directory_ = configurationDirectory;
  perUserFiles_ = listPerUserFiles();
  for (const auto& [name, time] : perUserFiles_) {
    readInto(env_, perUserDirectory(directory_) + name, &fresh->perUser);
  }
  install(std::move(fresh));
  return true;
}

void Accounts::refreshAccounts() { refreshAccountsAt(DateTime()); }

void Accounts::refreshAccountsAt(const DateTime& now) {
  platform::MutexLock lock(&checkMutex_);
  if (directory_.empty() || now.getValue() - lastCheck_ <= kCheckSeconds) return;
  lastCheck_ = now.getValue();
  std::shared_ptr<const Tables> current = tables();
  auto next = std::make_shared<Tables>(*current);
  bool changed = false;

  std::int64_t mainTime = modificationTime(env_, mainFile(directory_));
  if (mainTime != mainFileTime_) {
    next->main.clear();
    readInto(env_, mainFile(directory_), &next->main);
    mainFileTime_ = mainTime;
    changed = true;
  }
  FileTimes listed = listPerUserFiles();
  for (const auto& [name, time] : listed) {
    auto known = perUserFiles_.find(name);
    if (known == perUserFiles_.end() || known->second != time) {
      readInto(env_, perUserDirectory(directory_) + name, &next->perUser);
      changed = true;
    }
  }
  // The kept list is brought up to date, so a changed file is read once, not at every check.
  perUserFiles_ = listed;
  for (auto entry = next->perUser.begin(); entry != next->perUser.end();) {
    if (listed.count(entry->first + ".conf") == 0) {
      entry = next->perUser.erase(entry);
      changed = true;
    } else {
      ++entry;
    }
  }
  if (changed) install(std::move(next));
}

std::shared_ptr<const Accounts::Tables> Accounts::tables() const {
  platform::MutexLock lock(&tablesMutex_);
  return tables_ ? tables_ : std::make_shared<const Tables>();
}

void Accounts::install(std::shared_ptr<const Tables> tables) {
  platform::MutexLock lock(&tablesMutex_);
  tables_ = std::move(tables);
}

bool Accounts::lookupAccount(const std::string& user, std::string& account,
                             std::string& extra) const {
  std::shared_ptr<const Tables> current = tables();
  if (auto found = current->perUser.find(user); found != current->perUser.end()) {
    if (!found->second.account.empty()) account = found->second.account;
    extra = found->second.extra;
    return true;
  }
  if (auto found = current->main.find(user); found != current->main.end()) {
    account = found->second.account.empty() ? user : found->second.account;
    extra = found->second.extra;
    return true;
  }
  return false;
}

std::string Accounts::mapUser(const std::string& fullUser) const {
  std::string key = fullUser;
  if (wildcardMatch("\\\\*\\*", key)) key = key.substr(key.find('\\', 2) + 1);
  std::string account;
  std::string extra;
  if (!lookupAccount(key, account, extra)) return fullUser;
  std::string name = account.empty() ? fullUser : account;
  if (!extra.empty()) name += "|" + extra;
  return name;
}

}  // namespace Vantor
