// One data stream: records go into a file named <base>-<utc seconds>-<pid>-<counter>.make;
// ending the stream closes the file, renames it to ".data" for the suite to collect, and moves
// on to a new ".make" name. Nothing is created on disk until the first record. Safe for
// concurrent use: every operation holds the stream's own lock, and a record is handed to the
// kernel before write returns, so a killed agent loses no record already written; within a
// FlushTogether scope, when the scope ends (a batch of events taken from a driver goes into the
// files in one write, and a kill within the batch loses it whole either way).
#ifndef TARNWICK_USAGE_LOGFILE_H_
#define TARNWICK_USAGE_LOGFILE_H_

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "concurrency/RenewableMutex.h"
#include "foundation/FileBase.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"

namespace Vantor {

class LogFile : public std::enable_shared_from_this<LogFile> {
 public:
  // While one lives, the records this thread writes are handed to the kernel when it ends, one
  // write a file. Not nested.
  class FlushTogether {
   public:
    FlushTogether();
    ~FlushTogether();
    FlushTogether(const FlushTogether&) = delete;
    FlushTogether& operator=(const FlushTogether&) = delete;

   private:
    std::vector<std::weak_ptr<LogFile>> written_;
    friend class LogFile;
  };

  // How long a writer's lock on a data file lasts before another may break it.
  static constexpr std::int32_t kLockTimeoutSeconds = 3600;

  LogFile(platform::Env& env, std::shared_ptr<LogSender> sender);
  // Ends an open file, so its records are delivered.
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Ends an open file, then starts a new name under base (directory and prefix).
  void setName(const std::string& base);
  // A new name from the prefix of the current one.
  void updateName();
  std::string name() const;

  bool open();
  // Writes text unchanged; opens the file first when needed.
  bool write(const std::string& text);
  bool newLine() { return write("\n"); }
  // A record and its line end in one call, so a delivery never splits them; counted when
  // written.
  bool writeRecord(const std::string& text);
  // The records this stream wrote.
  std::uint64_t recordsWritten() const { return recordsWritten_.load(); }
  // Closes an open file and renames it from ".make" to ".data"; nothing for an idle stream.
  void end();

 private:
  bool openLocked() EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Hands what was written to the kernel; false (ERROR 4 logged) when it cannot.
  bool flushLocked() EXCLUSIVE_LOCKS_REQUIRED(lock_);
  void flushDeferred() LOCKS_EXCLUDED(lock_);
  void endLocked() EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Moves a finished file to its ".data" name; false (WARNING 10 logged) when it stays.
  bool deliverLocked(const std::string& finished) EXCLUSIVE_LOCKS_REQUIRED(lock_);
  void setNameLocked(const std::string& base) EXCLUSIVE_LOCKS_REQUIRED(lock_);

  platform::Env& env_;
  LoggerUnit logger_;
  mutable RenewableMutex lock_;
  std::shared_ptr<FileBase> file_ GUARDED_BY(lock_);
  // Finished files whose move to the ".data" name failed: tried again at every end.
  std::vector<std::string> undelivered_ GUARDED_BY(lock_);
  std::atomic<std::uint64_t> recordsWritten_{0};
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_LOGFILE_H_
