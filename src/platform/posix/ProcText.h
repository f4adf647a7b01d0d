// The text of /proc/<pid>/stat, status and maps, read into values. Pure functions over bytes:
// any input is safe, damage reads as failure.
#ifndef TARNWICK_PLATFORM_POSIX_PROCTEXT_H_
#define TARNWICK_PLATFORM_POSIX_PROCTEXT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vantor::platform {

struct ProcStat {
  std::string command;  // may hold ")", blanks and any other byte
  char state = '?';
  std::uint32_t parentPid = 0;
  std::uint64_t flags = 0;
  std::uint64_t threads = 0;
  std::uint64_t startTicks = 0;  // clock ticks after boot: with the pid, names one process
  // What the process has used: page faults, processor time in clock ticks, and memory (0 in a
  // line cut short before them).
  std::uint64_t minorFaults = 0;
  std::uint64_t majorFaults = 0;
  std::uint64_t userTicks = 0;
  std::uint64_t systemTicks = 0;
  std::uint64_t virtualBytes = 0;
  std::uint64_t residentPages = 0;
  // Where the program's code lies: a new program gets a new range (0 where the reader may not
  // look, or in a line cut short before it).
  std::uint64_t codeStart = 0;
  std::uint64_t codeEnd = 0;
  // Where its stack begins: set by the start of a program, kept by a fork (0 as above).
  std::uint64_t stackStart = 0;
};

// Whether the process has stopped running: its first thread is a zombie and no other thread
// runs on (a first thread may end before the others), its only thread is inside its exit, or
// it is being removed.
bool hasEnded(const ProcStat& stat);

// A stat line; false when it is cut short or a field is not a number.
bool parseProcStat(std::string_view line, ProcStat* stat);
// The rest of a status text's line that starts with key ("Name:"), without leading blanks.
bool parseStatusText(std::string_view status, std::string_view key, std::string_view* value);
// The first number of a status text's line that starts with key ("PPid:").
bool parseStatusNumber(std::string_view status, std::string_view key, std::uint32_t* value);
// The real uid of a status text's "Uid:" line.
bool parseStatusUid(std::string_view status, std::uint32_t* uid);
// The distinct files a maps text shows mapped with execute permission, in order of first
// appearance, without a " (deleted)" suffix and with the kernel's "\012" read as a line feed.
std::vector<std::string> parseExecutableMappings(std::string_view maps);
// A path as the exe link shows it for a file that was removed or replaced, without the suffix.
std::string withoutDeletedSuffix(std::string path);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_PROCTEXT_H_
