#include "usage/LogFile.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "foundation/DateTime.h"
#include "foundation/Exception.h"
#include "foundation/FileFactory.h"
#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "platform/Env.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {
// The scope the calling thread defers its flushes to, if any.
thread_local LogFile::FlushTogether* deferring = nullptr;
}  // namespace

namespace {

// One counter for all streams of the run, so no two names are ever equal.
std::atomic<std::uint32_t> nameCounter{0};

// Write, truncate and the reserved bit: a safe-update open of a fresh ".make" file.
constexpr std::uint32_t kOpenMode =
    FileBase::ACCESS_WRITE | FileBase::ACCESS_TRUNCATE | FileBase::ACCESS_RESERVED;

std::string deliveredName(const std::string& path) {
  std::string directory = FileUtils::dirName(path);
  std::string file = FileUtils::baseName(path);
  std::size_t make = file.find("make");
  if (make != std::string::npos) file.replace(make, 4, "data");
  return directory + file;
}

}  // namespace

LogFile::LogFile(platform::Env& env, std::shared_ptr<LogSender> sender)
    : env_(env), logger_(std::move(sender), kModuleAgent) {}

LogFile::~LogFile() { end(); }

void LogFile::setName(const std::string& base) {
  RenewableMutexLock lock(&lock_);
  setNameLocked(base);
}

void LogFile::setNameLocked(const std::string& base) {
  if (file_ && file_->isOpen()) endLocked();
  std::string name = base + "-" + std::to_string(DateTime().getValue()) + "-" +
                     std::to_string(env_.processId()) + "-" + std::to_string(++nameCounter) +
                     ".make";
  file_ = FileFactory::create(env_, name);
  file_->setLockTimeout(TimeSpan(kLockTimeoutSeconds));
  logger_.debug(3, "LogFile: Set name = \"%s\".", name);
}

void LogFile::updateName() {
  RenewableMutexLock lock(&lock_);
  if (!file_) {
    logger_.debug(1, "UpdateName ERROR: Trying to update void file object.");
  } else {
    std::string current = file_->getPath();
    std::string file = FileUtils::baseName(current);
    setNameLocked(FileUtils::dirName(current) + file.substr(0, file.find('-')));
  }
}

std::string LogFile::name() const {
  RenewableMutexLock lock(&lock_);
  return file_ ? file_->getPath() : std::string();
}

bool LogFile::open() {
  RenewableMutexLock lock(&lock_);
  return openLocked();
}

bool LogFile::openLocked() {
  logger_.debug(3, "LogFile: Opening file: %s...", file_ ? file_->getPath() : std::string());
  if (!file_) {
    logger_.error(1, "Open logfile ");
    return false;
  }
  if (file_->isOpen()) endLocked();
  try {
    FileOps::makeParentDirs(env_, file_->getPath());
    file_->open(kOpenMode);
  } catch (Exception& error) {
    error.addLocation(__FILE__, __LINE__);
    logger_.error(2, file_->getPath(), error.getCodeString());
    logger_.debug(1, "LogFile: %s", error.getFullText());
    return false;
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    logger_.error(2, file_->getPath(), "UNKNOWN");
    return false;
  }
  logger_.debug(4, "   LogFile: File opened.");
  return true;
}

bool LogFile::writeRecord(const std::string& text) {
  if (!write(text + "\n")) return false;
  recordsWritten_.fetch_add(1);
  return true;
}

bool LogFile::write(const std::string& text) {
  logger_.debug(5, "LogFile: Writing...");
  RenewableMutexLock lock(&lock_);
  bool written = false;
  if (!file_) {
    logger_.error(3, "LogFile:write: Trying to write to NULL file object.");
  } else {
    bool ready = file_->isOpen();
    if (!ready) {
      logger_.debug(5, "   LogFile: File is not open. Opening...");
      ready = openLocked();  // reports why when it fails
    }
    if (ready) {
      try {
        file_->writeString(text);
        std::weak_ptr<LogFile> owner = weak_from_this();
        // Only a file that outlives this call by its owners can wait for the scope's end.
        if (deferring != nullptr && !owner.expired()) {
          std::vector<std::weak_ptr<LogFile>>& files = deferring->written_;
          if (std::none_of(files.begin(), files.end(),
                           [this](const auto& file) { return file.lock().get() == this; })) {
            files.push_back(std::move(owner));
          }
          written = true;
        } else {
          written = flushLocked();  // in the kernel before we return
        }
      } catch (Exception& error) {
        error.addLocation(__FILE__, __LINE__);
        logger_.error(4, file_->getPath(), error.getCodeString());
        logger_.debug(1, "LogFile: %s", error.getFullText());
      }
    }
  }
  return written;
}

bool LogFile::flushLocked() {
  try {
    file_->flush();
    return true;
  } catch (Exception& error) {
    error.addLocation(__FILE__, __LINE__);
    logger_.error(4, file_->getPath(), error.getCodeString());
    logger_.debug(1, "LogFile: %s", error.getFullText());
    return false;
  }
}

void LogFile::flushDeferred() {
  RenewableMutexLock lock(&lock_);
  // A file ended meanwhile was flushed as it closed.
  if (file_ && file_->isOpen()) flushLocked();
}

LogFile::FlushTogether::FlushTogether() { deferring = this; }

LogFile::FlushTogether::~FlushTogether() {
  deferring = nullptr;
  for (const std::weak_ptr<LogFile>& written : written_) {
    if (std::shared_ptr<LogFile> file = written.lock()) file->flushDeferred();
  }
}

void LogFile::end() {
  RenewableMutexLock lock(&lock_);
  endLocked();
}

void LogFile::endLocked() {
  // A move that failed before (a full or read-only disk) is tried again, so the records reach
  // a delivery without waiting for the next start.
  std::vector<std::string> waiting = std::exchange(undelivered_, {});
  for (const std::string& finished : waiting) {
    if (!deliverLocked(finished)) undelivered_.push_back(finished);
  }
  if (!file_ || !file_->isOpen()) return;
  std::string oldName = file_->getPath();
  logger_.debug(4, "LogFile: Ending file \"%s\"...", oldName);
  try {
    file_->close();
  } catch (Exception& error) {
    error.addLocation(__FILE__, __LINE__);
    logger_.debug(1, "LogFile: %s", error.getFullText());
  }
  if (!deliverLocked(oldName)) undelivered_.push_back(oldName);
  std::string file = FileUtils::baseName(oldName);
  setNameLocked(FileUtils::dirName(oldName) + file.substr(0, file.find('-')));
  logger_.debug(4, "LogFile: Updated file name from \"%s\" to \"%s\".",
                FileUtils::baseName(oldName), FileUtils::baseName(file_->getPath()));
}

bool LogFile::deliverLocked(const std::string& finished) {
  std::string newName = deliveredName(finished);
  logger_.debug(4, "LogFile: Renaming file \"%s\" to \"%s\".", FileUtils::baseName(finished),
                FileUtils::baseName(newName));
  if (!FileOps::move(env_, finished, newName, true)) {
    if (!FileOps::exists(env_, finished)) {
      logger_.debug(1, "LogFile: \"%s\" is gone; it is no longer ours to deliver.", finished);
      return true;
    }
    logger_.warning(10, finished, newName);
    return false;
  }
  logger_.debug(2, "LogFile: Ended file \"" + finished + "\".");
  return true;
}

}  // namespace Vantor
