#include "report/Loader.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>

#include "foundation/TextUtils.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "report/ReadAhead.h"
#include "report/Sha256.h"
#include "usage/DataRecords.h"

namespace Vantor::report {

namespace {

namespace fs = std::filesystem;

// Files go in in batches of about this many records (or files), one commit each: each file
// stays whole or absent, and a spool of many small files loads at the rate of large ones.
constexpr std::uint64_t kBatchRecords = 250000;
constexpr std::size_t kBatchFiles = 1000;

// What the files read ahead may hold, as read: a batch's worth or two (taken apart, records
// take a few times their bytes).
constexpr std::uint64_t kReadAheadBytes = std::uint64_t{64} << 20;

// A record may start at most this far after now: clocks of a fleet differ a little, a forged
// or broken file far more.
constexpr std::int64_t kFutureSlackSeconds = 86400;

// A path as said on standard error: a name is anyone's choice.
std::string shown(const fs::path& path) { return TextUtils::shown(path.string()); }

// The ".data" files under folder, each sub-folder's own problem said and the rest walked.
// Links are not followed: a loop of them ends, and whoever may write to a spool cannot have
// the loader read a file elsewhere with its rights.
void dataFilesUnder(const fs::path& folder, std::vector<fs::path>* found, std::ostream& errors,
                    std::size_t* failed) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  for (fs::directory_iterator end; !error && it != end; it.increment(error)) {
    std::error_code kind;
    fs::file_type type = it->symlink_status(kind).type();
    if (type == fs::file_type::directory) {
      dataFilesUnder(it->path(), found, errors, failed);
    } else if (it->path().extension() == ".data" && type == fs::file_type::symlink) {
      errors << shown(it->path()) << ": a symbolic link, not followed\n";
      ++*failed;
    } else if (it->path().extension() == ".data" && type == fs::file_type::regular) {
      found->push_back(it->path());
    }
  }
  if (error) {
    errors << shown(folder) << ": " << error.message() << "; its files are not loaded\n";
    ++*failed;
  }
}

std::vector<fs::path> dataFilesOf(const std::vector<std::string>& paths, std::ostream& errors,
                                  std::size_t* failed) {
  std::vector<fs::path> files;
  std::set<std::string> seen;  // as the system resolves them: a file named twice loads once
  auto add = [&](const fs::path& file) {
    std::error_code error;
    if (!seen.insert(fs::weakly_canonical(file, error).string()).second) return;
    files.push_back(file);
  };
  for (const std::string& path : paths) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
      std::vector<fs::path> found;
      dataFilesUnder(path, &found, errors, failed);
      std::sort(found.begin(), found.end());
      for (const fs::path& file : found) add(file);
    } else if (fs::exists(path, error)) {
      add(path);
    } else {
      errors << shown(path) << ": no such file or folder\n";
      ++*failed;
    }
  }
  return files;
}

// The file's bytes, or a reason. Opened through the system layer, which keeps only a regular
// file and never waits in the open: a FIFO put in a spool between a look and the open would
// otherwise stop the loader.
std::optional<std::string> readWhole(platform::Env& env, const fs::path& file,
                                     std::string* reason) {
  std::error_code unknown;
  if (std::uintmax_t size = fs::file_size(file, unknown); !unknown && size > kMaxDataFileBytes) {
    *reason = "larger than 1 GiB";
    return std::nullopt;
  }
  platform::Expected<std::unique_ptr<platform::FileStream>> opened =
      env.fileSystem().openStream(file.string(), platform::StreamMode::kRead);
  if (!opened) {
    *reason = opened.error() == platform::kErrorAccessDenied
                  ? "cannot be read: access is denied"
                  : "not a regular file that can be read";
    return std::nullopt;
  }
  std::unique_ptr<platform::FileStream>& stream = opened.value();
  std::string bytes;
  char chunk[1 << 16];
  while (std::size_t got = stream->read(chunk, sizeof chunk)) {
    bytes.append(chunk, got);
    if (bytes.size() > kMaxDataFileBytes) {
      *reason = "larger than 1 GiB";
      return std::nullopt;
    }
  }
  if (stream->error()) {
    *reason = "cannot be read";
    return std::nullopt;
  }
  return bytes;
}

// A file read, known by its digest and taken apart; or why not.
struct PreparedFile {
  std::uint64_t bytes = 0;  // as read
  std::optional<DataRecords> records;
  std::string digest;
  std::string refusal;  // "LINE: reason" or ": reason", after the file's name
};

PreparedFile prepare(platform::Env& env, const fs::path& file, std::int64_t latestStart) try {
  PreparedFile prepared;
  std::string reason;
  std::optional<std::string> bytes = readWhole(env, file, &reason);
  if (!bytes) {
    prepared.refusal = ": " + reason;
    return prepared;
  }
  prepared.bytes = bytes->size();
  RecordDamage damage;
  prepared.records = readDataRecords(*bytes, latestStart, &damage);
  if (!prepared.records) {
    prepared.refusal = ":" + std::to_string(damage.line) + ": " + damage.reason;
    return prepared;
  }
  prepared.digest = sha256Hex(*bytes);
  return prepared;
} catch (const std::exception& error) {  // out of memory, most likely
  PreparedFile failed;
  failed.refusal = std::string(": ") + error.what();
  return failed;
}

// Into folder under its own name, or the name with ".1", ".2", ... when that is taken; false
// (said on errors) when it could not be moved. Never over a file that is there, also one
// another loader moves in at the same moment: a new link fails where a name is taken.
bool moveInto(const fs::path& file, const fs::path& folder, std::ostream& errors) {
  std::error_code error;
  for (int n = 0; n < 100000; ++n) {
    fs::path target = folder / (file.filename().string() + (n == 0 ? "" : "." + std::to_string(n)));
    error.clear();
    fs::create_hard_link(file, target, error);
    if (error == std::errc::cross_device_link) {
      error.clear();
      fs::copy_file(file, target, error);  // refuses a name that is taken, too
    }
    if (error == std::errc::file_exists) continue;
    if (!error) fs::remove(file, error);
    break;
  }
  if (error) errors << shown(file) << ": loaded, but not moved: " << error.message() << "\n";
  return !error;
}

}  // namespace

LoadSummary loadDataFiles(platform::Env& env, ReportDatabase& database,
                          const std::vector<std::string>& paths,
                          const std::optional<std::string>& moveTo, std::ostream& errors) {
  LoadSummary summary;
  std::vector<fs::path> files = dataFilesOf(paths, errors, &summary.refused);
  std::int64_t latestStart = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count() +
                             kFutureSlackSeconds;
  // Files of the batch under way: counted, and moved, once it is committed.
  std::vector<fs::path> batch;
  std::uint64_t batchRecords = 0;
  std::size_t batchLoaded = 0;
  auto commit = [&] {
    try {
      database.commit();
      summary.loaded += batchLoaded;
      summary.records += batchRecords;
      if (moveTo) {
        for (const fs::path& done : batch)
          summary.notMoved += moveInto(done, *moveTo, errors) ? 0 : 1;
      }
    } catch (const ReportError& error) {
      for (const fs::path& lost : batch) errors << shown(lost) << ": " << error.what() << "\n";
      summary.refused += batch.size();
      summary.alreadyLoaded -= batch.size() - batchLoaded;
    }
    batch.clear();
    batchRecords = 0;
    batchLoaded = 0;
  };
  // The files are read and taken apart on a second thread while earlier ones are stored.
  ReadAhead<PreparedFile> ahead(
      files.size(), [](const PreparedFile& prepared) { return prepared.bytes; },
      [&](std::size_t i) { return prepare(env, files[i], latestStart); }, kReadAheadBytes);
  for (const fs::path& file : files) {
    PreparedFile prepared = ahead.next();
    if (!prepared.refusal.empty()) {
      errors << shown(file) << prepared.refusal << "\n";
      ++summary.refused;
      continue;
    }
    DataRecords& records = *prepared.records;
    std::size_t recordCount =
        records.usage.size() + records.modules.size() + records.performance.size();
    try {
      if (database.storeFile(prepared.digest, file.string(), std::move(records))) {
        ++batchLoaded;
        batchRecords += recordCount;
      } else {
        ++summary.alreadyLoaded;
      }
    } catch (const ReportError& error) {
      errors << shown(file) << ": " << error.what() << "\n";
      ++summary.refused;
      continue;
    }
    batch.push_back(file);
    if (batchRecords >= kBatchRecords || batch.size() >= kBatchFiles) commit();
  }
  commit();
  try {
    database.finishLoad();
  } catch (const ReportError& error) {
    errors << "the report's index could not be made (the next load makes it; reports are right "
              "without it, only slower): "
           << error.what() << "\n";
    summary.indexMissing = true;
  }
  return summary;
}

}  // namespace Vantor::report
