// The process's log file: appends finished lines, writes banners when the file is opened,
// closed, moved or rotated, and rotates it at start-up, at time boundaries and by size. The
// opened time and the rotation counter live in the registry, so they survive restarts.
// Safe for concurrent use: every line and every rotation runs under one lock, so lines are
// never torn, interleaved or lost to a rotation.
#ifndef TARNWICK_LOGGING_LOGWRITER_H_
#define TARNWICK_LOGGING_LOGWRITER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "foundation/DateTime.h"
#include "foundation/FilePlain.h"
#include "foundation/TimeSpan.h"
#include "platform/Env.h"
#include "platform/Mutex.h"

namespace Vantor {

class LogWriter {
 public:
  // Rotation scheme bits.
  static constexpr std::uint32_t kRotateInit = 1;
  static constexpr std::uint32_t kRotateTime = 2;
  static constexpr std::uint32_t kRotateSize = 4;
  static constexpr std::int64_t kMegabyte = 1048576;

  // programName prefixes the registry values "LogOpened" and "LogCounter".
  LogWriter(platform::Env& env, std::string path, std::string programName = "Tarnwick");
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // The environment its file lives in.
  platform::Env& env() const { return env_; }

  // Appends the line and CR LF, rotating first when a condition holds. False when the line
  // could not be written (it is lost; the file is reopened for the next one).
  bool writeLine(const std::string& line) LOCKS_EXCLUDED(mutex_);
  // Moves the log to another file, with banners in both. False when it cannot be made.
  bool setPath(const std::string& path) LOCKS_EXCLUDED(mutex_);
  // Writes the closing banner and closes the file; the next line opens it again.
  void close(const std::string& reason) LOCKS_EXCLUDED(mutex_);
  // "file:///" and the full path of the current file.
  std::string getUrl() LOCKS_EXCLUDED(mutex_);
  std::string path() LOCKS_EXCLUDED(mutex_);
  // Whether the file can be opened for writing now.
  bool canWrite() LOCKS_EXCLUDED(mutex_);

  // The scheme from a comma-separated list of "none" (clears), "init", "time", "size"; other
  // words are ignored. Adding "init" arms a rotation at the next line.
  static std::uint32_t parseScheme(std::string_view list);
  void setScheme(std::uint32_t scheme);
  std::uint32_t scheme() const { return scheme_.load(); }
  void setRotationTime(const TimeSpan& span);
  void setRotationSize(std::int32_t megabytes) { rotationSize_.store(megabytes); }
  // How many rotated files are kept beside the log; older ones are deleted at each rotation.
  static constexpr std::int32_t kDefaultRotationsKept = 10;
  void setRotationsKept(std::int32_t files) { rotationsKept_.store(files); }
  void setBanners(bool on) { banners_.store(on); }

 private:
  bool ensureOpen() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void writeRaw(const std::string& text) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void writeBannerLine(const std::string& text) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void closeFile(const std::string& reason) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void checkRotation() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Rotates; rotating_ is cleared however it ends, so a failed rotation is tried again.
  void rotate(const std::string& reason) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void rotateFile(const std::string& reason) EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void computeNextRotation() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Deletes the oldest rotated files beyond the number kept.
  void deleteOldRotations() EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  std::string fullPath() const EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  platform::Mutex mutex_;
  platform::Env& env_;
  std::string path_ GUARDED_BY(mutex_);
  const std::string programName_;
  std::unique_ptr<FilePlain> file_ GUARDED_BY(mutex_);
  std::uint64_t size_ GUARDED_BY(mutex_) = 0;
  DateTime opened_ GUARDED_BY(mutex_);
  DateTime nextRotation_ GUARDED_BY(mutex_){0LL};
  bool firstOpen_ GUARDED_BY(mutex_) = true;
  bool rotating_ GUARDED_BY(mutex_) = false;
  double sizeFactor_ GUARDED_BY(mutex_) = 1.0;

  // Settings, written by the configuring thread while other threads log.
  std::atomic<std::uint32_t> scheme_{0};
  std::atomic<std::int32_t> rotationSeconds_{0};
  std::atomic<std::int32_t> rotationSize_{0};
  std::atomic<std::int32_t> rotationsKept_{kDefaultRotationsKept};
  std::atomic<bool> rotateAtStart_{true};
  std::atomic<bool> resetSchedule_{false};
  std::atomic<bool> banners_{true};
};

}  // namespace Vantor

#endif  // TARNWICK_LOGGING_LOGWRITER_H_
