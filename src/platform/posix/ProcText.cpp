#include "platform/posix/ProcText.h"

#include <charconv>
#include <set>

namespace Vantor::platform {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr std::string_view kEscapedLineFeed = "\\012";

template <typename Number>
bool parseNumber(std::string_view text, Number* value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The next blank-separated field of text, removed from it; empty at the end.
std::string_view nextField(std::string_view& text) {
  std::size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    text = {};
    return {};
  }
  text.remove_prefix(start);
  std::size_t end = std::min(text.find(' '), text.size());
  std::string_view field = text.substr(0, end);
  text.remove_prefix(end);
  return field;
}

}  // namespace

bool parseProcStat(std::string_view line, ProcStat* stat) {
  // "pid (command) state ppid ...": the command may hold anything, so it ends at the last ")".
  std::size_t open = line.find(" (");
  std::size_t close = line.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open + 2) {
    return false;
  }
  stat->command = std::string(line.substr(open + 2, close - open - 2));
  std::string_view rest = line.substr(close + 1);
  while (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
  // Fields after the command, counted from 1: state, ppid, pgrp, session, tty, tpgid, flags,
  // ..., num_threads is the 18th, starttime the 20th.
  std::string_view fields[20];
  for (std::string_view& field : fields) {
    field = nextField(rest);
    if (field.empty()) return false;
  }
  if (fields[0].size() != 1) return false;
  stat->state = fields[0][0];
  // ..., minflt the 8th, majflt the 10th, utime the 12th, stime the 13th.
  if (!parseNumber(fields[1], &stat->parentPid) || !parseNumber(fields[6], &stat->flags) ||
      !parseNumber(fields[17], &stat->threads) || !parseNumber(fields[19], &stat->startTicks) ||
      !parseNumber(fields[7], &stat->minorFaults) || !parseNumber(fields[9], &stat->majorFaults) ||
      !parseNumber(fields[11], &stat->userTicks) || !parseNumber(fields[12], &stat->systemTicks)) {
    return false;
  }
  // ..., vsize the 21st, rss the 22nd, startcode the 24th, endcode the 25th, startstack the
  // 26th.
  std::string_view more[6];
  for (std::string_view& field : more) field = nextField(rest);
  if (!parseNumber(more[0], &stat->virtualBytes) || !parseNumber(more[1], &stat->residentPages)) {
    stat->virtualBytes = stat->residentPages = 0;
  }
  stat->codeStart = 0;
  stat->codeEnd = 0;
  stat->stackStart = 0;
  if (!parseNumber(more[3], &stat->codeStart) || !parseNumber(more[4], &stat->codeEnd)) {
    stat->codeStart = stat->codeEnd = 0;
  } else if (!parseNumber(more[5], &stat->stackStart)) {
    stat->stackStart = 0;
  }
  return true;
}

bool hasEnded(const ProcStat& stat) {
  // The kernel's mark of a task inside its exit: its program is gone already, before it
  // shows as a zombie.
  constexpr std::uint64_t kExiting = 0x4;
  bool lastThread = stat.threads <= 1;
  return stat.state == 'X' || (stat.state == 'Z' && lastThread) ||
         ((stat.flags & kExiting) != 0 && lastThread);
}

bool parseStatusText(std::string_view status, std::string_view key, std::string_view* value) {
  std::size_t line = status.starts_with(key) ? 0 : status.find("\n" + std::string(key));
  if (line == std::string_view::npos) return false;
  std::string_view rest = status.substr(line + (line == 0 ? 0 : 1) + key.size());
  std::size_t start = rest.find_first_not_of(" \t");
  if (start == std::string_view::npos) return false;
  rest.remove_prefix(start);
  *value = rest.substr(0, std::min(rest.find('\n'), rest.size()));
  return true;
}

bool parseStatusNumber(std::string_view status, std::string_view key, std::uint32_t* value) {
  std::string_view text;
  return parseStatusText(status, key, &text) &&
         parseNumber(text.substr(0, std::min(text.find_first_of(" \t"), text.size())), value);
}

bool parseStatusUid(std::string_view status, std::uint32_t* uid) {
  return parseStatusNumber(status, "Uid:", uid);
}

std::vector<std::string> parseExecutableMappings(std::string_view maps) {
  std::vector<std::string> files;
  std::set<std::string, std::less<>> seen;
  while (!maps.empty()) {
    std::size_t end = std::min(maps.find('\n'), maps.size());
    std::string_view line = maps.substr(0, end);
    maps.remove_prefix(std::min(end + 1, maps.size()));
    // address perms offset device inode path: only the path holds a "/".
    std::string_view rest = line;
    nextField(rest);
    std::string_view perms = nextField(rest);
    std::size_t slash = line.find('/');
    if (perms.size() < 3 || perms[2] != 'x' || slash == std::string_view::npos) continue;
    std::string file;
    for (std::string_view path = line.substr(slash); !path.empty();) {
      if (path.starts_with(kEscapedLineFeed)) {
        file.push_back('\n');
        path.remove_prefix(kEscapedLineFeed.size());
      } else {
        file.push_back(path.front());
        path.remove_prefix(1);
      }
    }
    file = withoutDeletedSuffix(std::move(file));
    if (seen.insert(file).second) files.push_back(std::move(file));
  }
  return files;
}

std::string withoutDeletedSuffix(std::string path) {
  if (path.ends_with(kDeletedSuffix)) path.resize(path.size() - kDeletedSuffix.size());
  return path;
}

}  // namespace Vantor::platform
