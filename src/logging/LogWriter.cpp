#include "logging/LogWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <tuple>
#include <vector>

#include "foundation/Exception.h"
#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "foundation/SystemInfo.h"
#include "foundation/TimeException.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {

std::string localNow() { return DateTime().toString(false, false, false); }

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string decimal(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", value);
  return buffer;
}

}  // namespace

LogWriter::LogWriter(platform::Env& env, std::string path, std::string programName)
    : env_(env), path_(std::move(path)), programName_(std::move(programName)) {}

LogWriter::~LogWriter() {
  platform::MutexLock lock(&mutex_);
  if (file_ && file_->isOpen()) {
    try {
      file_->close();
    } catch (const Exception&) {
      // Nothing is left to tell.
    }
  }
}

std::uint32_t LogWriter::parseScheme(std::string_view list) {
  std::uint32_t scheme = 0;
  while (!list.empty()) {
    std::size_t comma = list.find(',');
    std::string_view word = list.substr(0, comma);
    while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
    while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
    if (word == "none") scheme = 0;
    if (word == "init") scheme |= kRotateInit;
    if (word == "time") scheme |= kRotateTime;
    if (word == "size") scheme |= kRotateSize;
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
  }
  return scheme;
}

void LogWriter::setScheme(std::uint32_t scheme) {
  std::uint32_t before = scheme_.exchange(scheme);
  if ((scheme & kRotateInit) && !(before & kRotateInit)) {
    rotateAtStart_.store(true);
    resetSchedule_.store(true);
  }
}

void LogWriter::setRotationTime(const TimeSpan& span) {
  rotationSeconds_.store(span.getSeconds());
  resetSchedule_.store(true);
}

bool LogWriter::writeLine(const std::string& line) {
  platform::MutexLock lock(&mutex_);
  try {
    // Opened first, so that a file left by an earlier run counts with its size.
    ensureOpen();
    if (!rotating_) checkRotation();
    if (!ensureOpen()) return false;
    writeRaw(line + "\r\n");
    rotateAtStart_.store(false);
    return true;
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    // The line is lost (a file error, no memory); the file is opened afresh for the next one.
    file_.reset();
    return false;
  }
}

bool LogWriter::ensureOpen() {
  if (file_ && file_->isOpen()) return true;
  opened_ = DateTime();
  bool existed = FileOps::exists(env_, path_);
  if (existed) {
    std::string stored;
    if (SystemInfo::getResourceString(env_.registry(), programName_ + "LogOpened", stored) == 0) {
      try {
        opened_ = DateTime(stored);
      } catch (const TimeException&) {
        // A damaged value: the file counts as opened now.
      }
    }
  } else {
    rotateAtStart_.store(false);
  }
  FileOps::makeParentDirs(env_, path_);
  file_ = std::make_unique<FilePlain>(env_, path_);
  file_->open(FileBase::ACCESS_WRITE | FileBase::ACCESS_APPEND | FileBase::ACCESS_UNSAFE |
              FileBase::ACCESS_NOLOCK | FileBase::ACCESS_RESERVED);
  size_ = file_->tell();
  if (!rotating_ && banners_.load()) {
    writeRaw("\r\nOpened log file " + quoted(fullPath()) + ". Time: " + localNow() + "\r\n");
  }
  if (firstOpen_ || resetSchedule_.exchange(false)) {
    firstOpen_ = false;
    computeNextRotation();
  }
  if (!existed) {
    SystemInfo::setResourceString(env_.registry(), programName_ + "LogOpened",
                                  opened_.toString(true, true, false));
  }
  return true;
}

void LogWriter::writeRaw(const std::string& text) {
  file_->writeString(text);
  file_->flush();
  size_ += text.size();
}

void LogWriter::writeBannerLine(const std::string& text) {
  if (!banners_.load() || !ensureOpen()) return;
  writeRaw(text + "\r\n");
}

std::string LogWriter::fullPath() const {
  FileOps::FileInfo info;
  return FileOps::getInfo(env_, path_, &info) ? info.fullPath : path_;
}

void LogWriter::computeNextRotation() {
  std::int32_t seconds = rotationSeconds_.load();
  if (!(scheme_.load() & kRotateTime) || seconds <= 0) return;
  TimeSpan span(seconds);
  DateTime now;
  try {
    nextRotation_ = opened_ + span;
    nextRotation_.alignDown(span);
    while (nextRotation_ < now) nextRotation_ += span;
  } catch (const TimeException&) {
    nextRotation_ = DateTime(static_cast<std::int64_t>(DateTime::kMaxValue));  // never
  }
}

void LogWriter::checkRotation() {
  if (resetSchedule_.load() && file_ && file_->isOpen()) {
    resetSchedule_.store(false);
    computeNextRotation();
  }
  std::uint32_t scheme = scheme_.load();
  if (scheme == 0) return;
  DateTime now;
  bool timeRule = (scheme & kRotateTime) && rotationSeconds_.load() > 0;
  bool timeDue = timeRule && nextRotation_ <= now;
  std::int32_t megabytes = rotationSize_.load();
  double limit = megabytes * sizeFactor_;
  bool sizeRule = (scheme & kRotateSize) && megabytes > 0;
  bool sizeDue = sizeRule && static_cast<double>(size_ / kMegabyte) >= limit;
  std::string timeText = " Time " + nextRotation_.toString(false, false, false) +
                         " <= " + now.toString(false, false, false);
  std::string sizeText = " Size " + std::to_string(size_ / kMegabyte) + " >= " + decimal(limit);

  bool rotateNow = false;
  std::string reason;
  // "init" is the start-up rule only: afterwards the time and size rules hold as without it.
  if ((scheme & kRotateInit) && rotateAtStart_.load()) {
    if (!FileOps::exists(env_, path_)) return;
    rotateNow = (!timeRule || !timeDue) && (!sizeRule || sizeDue);
    reason = "\nRotate condition(s): Init" + std::string(timeRule ? " AND" + timeText : "") +
             (sizeRule ? " AND" + sizeText : "");
  } else if (timeRule) {
    rotateNow = sizeRule ? sizeDue : timeDue;
    reason = timeDue ? "\nRotate condition(s):" + timeText + (sizeRule ? " AND" + sizeText : "")
                     : "\nRotate condition(s):" + sizeText;
  } else if (sizeRule) {
    rotateNow = sizeDue;
    reason = "\nRotate condition:" + sizeText;
  }
  if (rotateNow) rotate(reason);
}

void LogWriter::rotate(const std::string& reason) {
  rotating_ = true;
  try {
    rotateFile(reason);
  } catch (...) {
    // The next line tries again.
    rotating_ = false;
    throw;
  }
  rotating_ = false;
}

void LogWriter::rotateFile(const std::string& reason) {
  ensureOpen();  // the opened time that names the rotated file is read on opening
  writeBannerLine(reason);
  writeBannerLine("\nRotation process started...");
  std::string counterText = "0";
  SystemInfo::getResourceString(env_.registry(), programName_ + "LogCounter", counterText);
  std::int64_t counter = std::atoll(counterText.c_str());
  std::string extension = FileUtils::extension(path_);
  std::string newName = FileUtils::removeExtension(path_) + "_" +
                        opened_.toString(false, true, false) + "_" + std::to_string(counter) +
                        (extension.empty() ? "" : "." + extension);
  SystemInfo::setResourceString(env_.registry(), programName_ + "LogCounter",
                                std::to_string(counter + 1));
  writeBannerLine("Renaming file from " + quoted(path_) + " to " + quoted(newName) + ".");
  closeFile("Rotating log file");
  if (platform::Status moved = FileOps::move(env_, path_, newName, true); moved) {
    sizeFactor_ = 1.0;
    ensureOpen();
    writeBannerLine("Log continued from " + quoted(FileUtils::baseName(newName)) + ".");
    deleteOldRotations();
  } else {
    sizeFactor_ += 0.25;
    writeBannerLine("Log file rotation error. (" + std::to_string(moved.code()) + ")");
  }
  computeNextRotation();
}

void LogWriter::deleteOldRotations() {
  // Rotated files are named "<name>_<opened>_<counter>[.<extension>]".
  std::string extension = FileUtils::extension(path_);
  std::string suffix = extension.empty() ? "" : "." + extension;
  std::string stem = FileUtils::removeExtension(path_) + "_";
  std::string prefix = FileUtils::baseName(stem);
  std::vector<FileOps::ListEntry> entries;
  if (!FileOps::list(env_, stem + "*" + suffix, &entries)) return;
  // Oldest first: by when each was last written, then by its counter (within one second).
  std::vector<std::tuple<std::int64_t, std::uint64_t, std::string>> rotated;
  for (const FileOps::ListEntry& entry : entries) {
    std::string_view name = entry.name;
    if (!entry.isFile || !name.starts_with(prefix) || !name.ends_with(suffix)) continue;
    name.remove_suffix(suffix.size());
    std::string_view counter = name.substr(name.find_last_of('_') + 1);
    if (counter.empty() || counter.find_first_not_of("0123456789") != std::string_view::npos) {
      continue;
    }
    FileOps::FileInfo info;
    std::string path = FileUtils::dirName(path_) + entry.name;
    if (FileOps::getInfo(env_, path, &info)) {
      rotated.emplace_back(info.lastWriteTime,
                           std::strtoull(std::string(counter).c_str(), nullptr, 10), path);
    }
  }
  std::size_t kept = static_cast<std::size_t>(std::max(0, rotationsKept_.load()));
  if (rotated.size() <= kept) return;
  std::sort(rotated.begin(), rotated.end());
  for (std::size_t i = 0; i < rotated.size() - kept; ++i) {
    const std::string& path = std::get<2>(rotated[i]);
    if (FileOps::remove(env_, path, true)) {
      writeBannerLine("Deleted the old log file " + quoted(path) + ".");
    }
  }
}

void LogWriter::closeFile(const std::string& reason) {
  if (!file_ || !file_->isOpen()) return;
  if (banners_.load()) {
    writeRaw("\r\nClosing log file " + quoted(fullPath()) + ". Time: " + localNow() +
             ". Reason: " + reason + ".\r\n");
  }
  file_->close();
}

void LogWriter::close(const std::string& reason) {
  platform::MutexLock lock(&mutex_);
  try {
    closeFile(reason);
  } catch (const Exception&) {
    file_.reset();
  }
}

bool LogWriter::setPath(const std::string& path) {
  platform::MutexLock lock(&mutex_);
  if (path == path_) return true;
  std::string oldPath = path_;
  try {
    writeBannerLine("Log file moved to " + quoted(path) + ".");
    closeFile("Log file moved");
    path_ = path;
    file_.reset();
    writeBannerLine("Log continued from " + quoted(oldPath) + ".");
    return true;
  } catch (const Exception&) {
    file_.reset();
    return false;
  }
}

std::string LogWriter::getUrl() {
  platform::MutexLock lock(&mutex_);
  std::string full = fullPath();
  return "file:///" + (full.empty() || full[0] != '/' ? full : full.substr(1));
}

bool LogWriter::canWrite() {
  platform::MutexLock lock(&mutex_);
  try {
    return ensureOpen();
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    file_.reset();
    return false;
  }
}

std::string LogWriter::path() {
  platform::MutexLock lock(&mutex_);
  return path_;
}

}  // namespace Vantor
