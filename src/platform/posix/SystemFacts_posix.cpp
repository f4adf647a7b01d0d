#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/ErrorCodes.h"
#include "platform/SystemFacts.h"
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

namespace {

std::string trimmed(const std::string& text) {
  std::string::size_type first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  std::string::size_type last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string unquoted(const std::string& text) {
  if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
      text.back() == text.front()) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

std::string hostName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return "";
  return buffer;
}

// "workgroup = NAME" of the [global] section of Samba's configuration, if any.
std::optional<std::string> sambaWorkgroup() {
  std::ifstream file("/etc/samba/smb.conf");
  std::string line;
  bool inGlobal = false;
  while (std::getline(file, line)) {
    line = trimmed(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      inGlobal = lowered(line) == "[global]";
      continue;
    }
    std::string::size_type equals = line.find('=');
    if (inGlobal && equals != std::string::npos &&
        lowered(trimmed(line.substr(0, equals))) == "workgroup") {
      std::string name = trimmed(line.substr(equals + 1));
      if (!name.empty()) return name;
    }
  }
  return std::nullopt;
}

std::optional<std::string> nisDomain() {
  char buffer[256] = {};
  if (::getdomainname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  std::string name = buffer;
  if (name.empty() || name == "(none)") return std::nullopt;
  return name;
}

// The DNS domain from the host name or the resolver configuration; no lookup is made, so
// this never waits on a name server.
std::optional<std::string> dnsDomain() {
  std::string host = hostName();
  std::string::size_type dot = host.find('.');
  if (dot != std::string::npos && dot + 1 < host.size()) return host.substr(dot + 1);
  std::ifstream file("/etc/resolv.conf");
  std::string line;
  std::optional<std::string> search;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string keyword, value;
    words >> keyword >> value;
    if (value.empty()) continue;
    if (keyword == "domain") return value;
    if (keyword == "search" && !search) search = value;
  }
  return search;
}

class PosixSystemFacts : public SystemFacts {
 public:
  std::string computerName() override {
    std::string host = hostName();
    return host.substr(0, host.find('.'));
  }

  std::string architecture() override {
    utsname names{};
    if (::uname(&names) != 0) return "error";
    std::string machine = names.machine;
    if (machine == "x86_64") return "amd64";
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") return "i386";
    if (machine == "ia64") return "ia64";
    if (machine.rfind("ppc", 0) == 0) return "powerpc";
    if (machine.rfind("mips", 0) == 0) return "mips";
    if (machine.rfind("alpha", 0) == 0) return "alpha";
    if (machine == "aarch64") return "arm64";
    return "unknown";
  }

  std::string osName() override {
    std::ifstream file("/etc/os-release");
    std::string line;
    while (std::getline(file, line)) {
      if (line.rfind("PRETTY_NAME=", 0) == 0) {
        std::string name = unquoted(trimmed(line.substr(12)));
        if (!name.empty()) return name;
      }
    }
    utsname names{};
    if (::uname(&names) != 0) return "Linux";
    return std::string("Linux ") + names.release;
  }

  std::optional<std::string> workgroup() override {
    if (std::optional<std::string> name = sambaWorkgroup()) return name;
    if (std::optional<std::string> name = nisDomain()) return name;
    return dnsDomain();
  }

  int versionNumber() override { return 100; }  // reads as Windows 10.0

  bool is32BitOn64Bit() override {
    return sizeof(void*) == 4 && (architecture() == "amd64" || architecture() == "arm64");
  }

  std::optional<std::string> windowsDirectory() override {
    for (const char* name : {"WINDIR", "SystemRoot"}) {
      const char* value = std::getenv(name);
      if (value != nullptr && *value != '\0') return std::string(value);
    }
    setLastError(kErrorFileNotFound);
    return std::nullopt;
  }

  bool isKnownDrive(const std::string&) override { return false; }  // no drive letters here

  std::optional<std::uint64_t> totalPhysicalMemory() override {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
      failWith(errno);
      return std::nullopt;
    }
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
  }
};

}  // namespace

SystemFacts& systemFacts() {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* facts = new PosixSystemFacts();
  return *facts;
}

}  // namespace Vantor::platform
