#include "foundation/LockFile.h"

#include <random>

#include "foundation/FileOps.h"
#include "foundation/TimeException.h"
#include "platform/Env.h"

namespace Vantor {

namespace {

// Tokens tell lock owners apart, so two objects made in the same second, in this process or
// in a forked copy of it, must not share one: the characters come from the system's entropy
// source, never from a clock-seeded or inherited generator state.
std::string randomCharacters(std::size_t count) {
  std::random_device entropy;
  std::uniform_int_distribution<int> printable(32, 125);
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text.push_back(static_cast<char>(printable(entropy)));
  return text;
}

std::string makeToken() {
  std::string now = DateTime().toString(true, true, false);  // yyyymmddThhmmssZ
  return now.substr(9) + randomCharacters(10);
}

bool readWholeFile(platform::FileSystem& files, const std::string& path, std::string* content) {
  platform::Expected<std::unique_ptr<platform::FileStream>> opened =
      files.openStream(path, platform::StreamMode::kRead);
  if (!opened) return false;
  std::unique_ptr<platform::FileStream>& stream = opened.value();
  char buffer[512];
  content->clear();
  while (std::size_t got = stream->read(buffer, sizeof buffer)) content->append(buffer, got);
  return !stream->error();
}

struct LockContent {
  DateTime created;
  DateTime expiry;
  std::string token;
  bool original = false;
};

// Throws TimeException when a time line is damaged.
LockContent parseLock(const std::string& text) {
  std::string lines[4];
  std::string::size_type start = 0;
  for (std::string& line : lines) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) {
      throw TimeException(TimeException::TM_INPUT, "Lock file cut short.", __FILE__, __LINE__);
    }
    line = text.substr(start, end - start);
    start = end + 1;
  }
  return {DateTime(lines[0]), DateTime(lines[1]), lines[2], lines[3] == "original"};
}

}  // namespace

LockFile::LockFile(platform::Env& env, std::string targetPath)
    : env_(env),
      targetPath_(std::move(targetPath)),
      lockPath_(targetPath_ + ".lock"),
      targetExisted_(FileOps::exists(env_, targetPath_)),
      ownToken_(makeToken()) {
  readExisting();
}

LockFile::~LockFile() {
  if (held_) release();
}

void LockFile::readExisting() {
  std::string text;
  lockExists_ =
      readWholeFile(env_.fileSystem(), lockPath_, &text) || FileOps::exists(env_, lockPath_);
  if (!lockExists_) return;
  try {
    LockContent content = parseLock(text);
    created_ = content.created;
    expiry_ = content.expiry;
    ownerToken_ = content.token;
    original_ = content.original;
  } catch (TimeException&) {
    // Damaged: its owner may be writing it right now, or died while writing it. Either way it
    // is nobody's we can name, and it must not block the file for ever.
    FileOps::FileInfo info;
    std::int64_t changed = FileOps::getInfo(env_, lockPath_, &info) ? info.lastWriteTime : 0;
    ownerToken_.clear();
    created_ = DateTime(std::max<std::int64_t>(0, changed));
    expiry_ = DateTime(std::min<std::int64_t>(
        DateTime::kMaxValue, std::max<std::int64_t>(0, changed) + kDamagedLockGraceSeconds));
  }
}

bool LockFile::acquire(const TimeSpan& timeout, bool keepOriginalOpen) {
  lostRace_ = false;
  if (held_) return false;
  platform::FileSystem& fs = env_.fileSystem();
  platform::Expected<std::unique_ptr<platform::FileStream>> made =
      fs.openStream(lockPath_, platform::StreamMode::kCreateExclusive);
  if (!made) {
    lostRace_ = FileOps::exists(env_, lockPath_);
    return false;
  }
  std::unique_ptr<platform::FileStream> stream = std::move(made.value());
  created_ = DateTime();
  expiry_ = created_ + timeout;
  original_ = keepOriginalOpen && FileOps::exists(env_, targetPath_);
  if (original_) {
    // Opened for writing without emptying it: the content lives on in the temporary copy.
    heldTarget_ = std::move(fs.openStream(targetPath_, platform::StreamMode::kUpdate).value());
  }
  std::string text = created_.toString(true, true, false) + "\n" +
                     expiry_.toString(true, true, false) + "\n" + ownToken_ + "\n" +
                     (original_ ? "original" : "missing") + "\n";
  bool written =
      (!original_ || heldTarget_) && stream->write(text.data(), text.size()) && stream->close();
  if (!written) {
    stream.reset();
    heldTarget_.reset();
    fs.removeFile(lockPath_, true);
    return false;
  }
  ownerToken_ = ownToken_;
  lockExists_ = true;
  held_ = true;
  return true;
}

void LockFile::closeHeldTarget() { heldTarget_.reset(); }

bool LockFile::release() {
  if (!lockExists_) return true;
  bool own = ownerToken_ == ownToken_;
  if (!own && expiry_ > DateTime()) return false;
  if (own) closeHeldTarget();
  // Only the lock file we hold, or judged expired, may go: our own lock may have expired and
  // been broken by a writer who now holds a fresh one, and so may a stale foreign one.
  std::string text;
  if (readWholeFile(env_.fileSystem(), lockPath_, &text)) {
    try {
      if (parseLock(text).token != ownerToken_) {
        held_ = false;
        return false;
      }
    } catch (TimeException&) {
      if (!own && !ownerToken_.empty()) return false;
    }
  }
  if (!removeLockFile()) return false;
  lockExists_ = false;
  held_ = false;
  return true;
}

bool LockFile::removeLockFile() {
  return FileOps::remove(env_, lockPath_, true) || !FileOps::exists(env_, lockPath_);
}

}  // namespace Vantor
