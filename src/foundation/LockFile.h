// The lock file that guards a file while a writer has it open: the target's name with ".lock"
// appended, four lines each ended by a line feed:
//   creation time (UTC, basic form), expiry time (same form),
//   owner token (time of day "hhmmssZ" and 10 random printable characters),
//   "original" when the owner holds the existing target open, else "missing".
// It protects writers in all processes; a lock whose expiry has passed may be broken.
// A LockFile object belongs to one thread.
#ifndef TARNWICK_FOUNDATION_LOCKFILE_H_
#define TARNWICK_FOUNDATION_LOCKFILE_H_

#include <memory>
#include <string>

#include "foundation/DateTime.h"
#include "foundation/TimeSpan.h"
#include "platform/Env.h"
#include "platform/FileSystem.h"

namespace Vantor {

class LockFile {
 public:
  // A lock file that cannot be read (cut short by a crash, or still being written by its
  // owner) counts as held for this long after its last change, then as expired.
  static constexpr std::int32_t kDamagedLockGraceSeconds = 60;

  // Makes this object's own token, notes whether the target exists, reads an existing lock.
  LockFile(platform::Env& env, std::string targetPath);
  // Releases the lock if this object holds it.
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // Takes the lock for timeout, creating the lock file exclusively; with keepOriginalOpen an
  // existing target is held open until release. False when this object already holds it,
  // when another writer created a lock file first (lostRace() then tells), or on I/O failure.
  bool acquire(const TimeSpan& timeout, bool keepOriginalOpen);

  // True when no lock file is left: none was found, ours was removed, or a foreign one had
  // expired and was removed. False for a valid foreign lock or a lock file that would not go.
  bool release();

  // Closes the target that acquire kept open, before the target is replaced.
  void closeHeldTarget();

  bool isLocked() const { return lockExists_; }
  bool isHeld() const { return held_; }
  bool lostRace() const { return lostRace_; }
  bool targetExisted() const { return targetExisted_; }
  const std::string& lockPath() const { return lockPath_; }
  const std::string& ownToken() const { return ownToken_; }
  const DateTime& expiry() const { return expiry_; }

 private:
  void readExisting();
  bool removeLockFile();

  platform::Env& env_;
  std::string targetPath_;
  std::string lockPath_;
  bool lockExists_ = false;
  bool targetExisted_ = false;
  bool held_ = false;
  bool original_ = false;
  bool lostRace_ = false;
  DateTime created_;
  DateTime expiry_;
  std::string ownerToken_;
  std::string ownToken_;
  std::unique_ptr<platform::FileStream> heldTarget_;
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_LOCKFILE_H_
