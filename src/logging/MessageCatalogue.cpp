#include "logging/MessageCatalogue.h"

#include <memory>
#include <new>

#include "BuiltInMessages.h"
#include "foundation/FileException.h"
#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "foundation/TextUtils.h"
#include "logging/LogCommons.h"
#include "platform/Mutex.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {

using Texts = std::map<std::string, std::string>;

platform::Mutex installedMutex;
std::shared_ptr<const Texts> installed GUARDED_BY(installedMutex);

}  // namespace

int parseCatalogue(std::string_view text, std::int32_t module, Texts* texts,
                   std::vector<LineProblem>* problems) {
  int stored = 0;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    std::string_view content = TextUtils::trimmed(line);
    if (content.empty() || content.substr(0, 2) == "//") continue;
    std::size_t colon = content.find(':');
    std::string_view numberPart = TextUtils::trimmed(content.substr(0, colon));
    std::string_view message = colon == std::string_view::npos
                                   ? std::string_view()
                                   : TextUtils::trimmed(content.substr(colon + 1));
    std::int64_t value = 0;
    bool negative = !numberPart.empty() && numberPart[0] == '-';
    for (std::size_t i = negative ? 1 : 0; i < numberPart.size(); ++i) {
      if (numberPart[i] < '0' || numberPart[i] > '9' || value > 999999999) break;
      value = value * 10 + (numberPart[i] - '0');
    }
    // Kept as it always was read (a number's leading digits, else 0), but told.
    if (problems != nullptr &&
        (colon == std::string_view::npos ||
         numberPart.find_first_not_of("0123456789", negative ? 1 : 0) != std::string_view::npos ||
         numberPart.size() == (negative ? 1u : 0u))) {
      problems->push_back({number, "not \"number : text\""});
    }
    std::string key = std::to_string(module) + "." + std::to_string(negative ? -value : value);
    texts->emplace(std::move(key), std::string(message));  // the first line of a key wins
    ++stored;
  }
  return stored;
}

CatalogueLoad loadMessages(platform::Env& env, const std::string& directory,
                           const std::string& modules) {
  CatalogueLoad result;
  auto texts = std::make_shared<Texts>();
  std::string folder =
      FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(directory)) + "LogMessages";
  std::vector<FileOps::ListEntry> files;
  FileOps::list(env, FileUtils::ensureTrailingSeparator(folder) + "*.mess", &files);
  try {
    for (const FileOps::ListEntry& file : files) {
      if (!file.isFile) continue;
      std::string name = FileUtils::removeExtension(file.name);
      std::int32_t module = moduleFromName(TextUtils::lowered(name));
      if (module == kNoModule ||
          (modules != "all" && modules.find(TextUtils::lowered(name)) == std::string::npos)) {
        result.skipped.push_back(name);
        continue;
      }
      std::string path = FileUtils::ensureTrailingSeparator(folder) + file.name;
      std::vector<LineProblem> problems;
      result.loaded.emplace_back(
          name, parseCatalogue(TextUtils::readTextFile(env, path), module, texts.get(), &problems));
      for (LineProblem& problem : problems) result.problems.emplace_back(path, std::move(problem));
    }
  } catch (FileException& error) {
    error.addLocation(__FILE__, __LINE__);
    result.status = 0;
    result.error = error.getCodeString();
  } catch (const std::bad_alloc&) {
    result.status = 0;
    result.error = "OUT OF MEMORY";
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    result.status = 0;
    result.error = "Unknown";
  }
  platform::MutexLock lock(&installedMutex);
  installed = std::move(texts);
  return result;
}

std::optional<std::string> lookupMessage(std::int32_t module, std::int32_t number) {
  std::shared_ptr<const Texts> texts;
  {
    platform::MutexLock lock(&installedMutex);
    texts = installed;
  }
  std::string key = std::to_string(module) + "." + std::to_string(number);
  if (texts) {
    if (auto found = texts->find(key); found != texts->end()) return found->second;
  }
  // Before the catalogues are read (or without them), these messages still say what happened.
  static const Texts* const builtIn = [] {
    auto* result = new Texts;
    parseCatalogue(builtin::kConfigurationMessages, kModuleConfiguration, result);
    parseCatalogue(builtin::kAgentMessages, kModuleAgent, result);
    return result;
  }();
  if (auto found = builtIn->find(key); found != builtIn->end()) return found->second;
  return std::nullopt;
}

void clearMessages() {
  platform::MutexLock lock(&installedMutex);
  installed.reset();
}

}  // namespace Vantor
