#include "report/Loader.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include "report/Sha256.h"
#include "usage/DataRecords.h"

namespace Vantor::report {

namespace {

namespace fs = std::filesystem;

// Files go in in batches of about this many records (or files), one commit each: each file
// stays whole or absent, and a spool of many small files loads at the rate of large ones.
constexpr std::uint64_t kBatchRecords = 250000;
constexpr std::size_t kBatchFiles = 1000;

// A record may start at most this far after now: clocks of a fleet differ a little, a forged
// or broken file far more.
constexpr std::int64_t kFutureSlackSeconds = 86400;

std::vector<fs::path> dataFilesOf(const std::vector<std::string>& paths, std::ostream& errors,
                                  std::size_t* missing) {
  std::vector<fs::path> files;
  for (const std::string& path : paths) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
      std::vector<fs::path> found;
      for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
           it.increment(error)) {
        if (it->path().extension() == ".data" && it->is_regular_file(error)) {
          found.push_back(it->path());
        }
      }
      if (error) {
        errors << path << ": " << error.message() << "\n";
        ++*missing;
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else if (fs::exists(path, error)) {
      files.emplace_back(path);
    } else {
      errors << path << ": no such file or folder\n";
      ++*missing;
    }
  }
  return files;
}

// The file's bytes, or a reason. Only a regular file is opened: a FIFO would block.
std::optional<std::string> readWhole(const fs::path& file, std::string* reason) {
  std::error_code error;
  if (!fs::is_regular_file(file, error)) {
    *reason = "not a regular file";
    return std::nullopt;
  }
  std::uintmax_t size = fs::file_size(file, error);
  if (error || size > kMaxDataFileBytes) {
    *reason = error ? error.message() : "larger than 1 GiB";
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || !in.is_open()) {
    *reason = "cannot be read";
    return std::nullopt;
  }
  return bytes;
}

// A file read, known by its digest and taken apart; or why not.
struct PreparedFile {
  std::optional<DataRecords> records;
  std::string digest;
  std::string refusal;  // "LINE: reason" or ": reason", after the file's name
};

PreparedFile prepare(const fs::path& file, std::int64_t latestStart) {
  PreparedFile prepared;
  std::string reason;
  std::optional<std::string> bytes = readWhole(file, &reason);
  if (!bytes) {
    prepared.refusal = ": " + reason;
    return prepared;
  }
  RecordDamage damage;
  prepared.records = readDataRecords(*bytes, latestStart, &damage);
  if (!prepared.records) {
    prepared.refusal = ":" + std::to_string(damage.line) + ": " + damage.reason;
    return prepared;
  }
  prepared.digest = sha256Hex(*bytes);
  return prepared;
}

// Into folder under its own name, or the name with ".1", ".2", ... when that is taken.
void moveInto(const fs::path& file, const fs::path& folder, std::ostream& errors) {
  fs::path target = folder / file.filename();
  for (int n = 1; fs::exists(target); ++n) {
    target = folder / (file.filename().string() + "." + std::to_string(n));
  }
  std::error_code error;
  fs::rename(file, target, error);
  if (error == std::errc::cross_device_link) {
    fs::copy_file(file, target, error);
    if (!error) fs::remove(file, error);
  }
  if (error) errors << file.string() << ": loaded, but not moved: " << error.message() << "\n";
}

}  // namespace

LoadSummary loadDataFiles(ReportDatabase& database, const std::vector<std::string>& paths,
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
        for (const fs::path& done : batch) moveInto(done, *moveTo, errors);
      }
    } catch (const ReportError& error) {
      for (const fs::path& lost : batch) errors << lost.string() << ": " << error.what() << "\n";
      summary.refused += batch.size();
      summary.alreadyLoaded -= batch.size() - batchLoaded;
    }
    batch.clear();
    batchRecords = 0;
    batchLoaded = 0;
  };
  // The next file is read and taken apart on a second thread while this one is stored.
  std::future<PreparedFile> next;
  if (!files.empty()) next = std::async(std::launch::async, prepare, files[0], latestStart);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const fs::path& file = files[i];
    PreparedFile prepared = next.get();
    if (i + 1 < files.size()) {
      next = std::async(std::launch::async, prepare, files[i + 1], latestStart);
    }
    const std::optional<DataRecords>& records = prepared.records;
    if (!prepared.refusal.empty()) {
      errors << file.string() << prepared.refusal << "\n";
      ++summary.refused;
      continue;
    }
    try {
      if (database.storeFile(prepared.digest, file.string(), *records)) {
        ++batchLoaded;
        batchRecords += records->usage.size() + records->modules.size() +
                        records->performance.size();
      } else {
        ++summary.alreadyLoaded;
      }
    } catch (const ReportError& error) {
      errors << file.string() << ": " << error.what() << "\n";
      ++summary.refused;
      continue;
    }
    batch.push_back(file);
    if (batchRecords >= kBatchRecords || batch.size() >= kBatchFiles) commit();
  }
  commit();
  return summary;
}

}  // namespace Vantor::report
