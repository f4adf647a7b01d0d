#include "integration/Harness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

extern char** environ;

namespace Vantor::integration {

using namespace std::chrono_literals;
using testing::readFile;
using testing::waitUntil;
using testing::writeFile;

std::string withinTarnwickSection(std::string conf, const std::string& entries) {
  const std::string section = "tarnwick() = \"\" {";
  conf.replace(conf.find(section), section.size(), section + "\n  " + entries);
  return conf;
}

Installation::Installation()
    : registry_("VANTOR_REGISTRY", dir_.file("registry.reg").c_str()),
      runtime_("VANTOR_RUNTIME_DIR", dir_.file("run").c_str()) {
  std::string command = std::string(TARNWICK_SOURCE_DIR) + "/tools/make-installation " +
                        dir_.path() + " > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::string conf = readFile(confFile());
  conf = withinTarnwickSection(conf, "log() = \"\" { debug-level(Integer) = 5 {} }");
  writeFile(confFile(), conf);
  editConf("polling(Bool) = true", "polling(Bool) = false");
}

std::string Installation::log() const { return readFile(dir_.file("log/tarnwick.log")); }

void Installation::editConf(const std::string& text, const std::string& replacement) const {
  std::string conf = readFile(confFile());
  std::size_t at = conf.find(text);
  ASSERT_NE(at, std::string::npos) << text;
  conf.replace(at, text.size(), replacement);
  writeFile(confFile(), conf);
}

AgentProcess::AgentProcess() {
  char* argv[] = {const_cast<char*>(TARNWICK_PATH), nullptr};
  EXPECT_EQ(::posix_spawn(&pid_, TARNWICK_PATH, nullptr, nullptr, argv, environ), 0);
}

AgentProcess::~AgentProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool AgentProcess::running() {
  if (exited_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exited_ = true;
    status_ = status;
    return false;
  }
  return true;
}

int AgentProcess::exitStatus(std::chrono::milliseconds deadline) {
  if (!waitUntil([&] { return !running(); }, deadline)) return -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string vantorctl(const std::string& arguments, int* status) {
  FILE* pipe = ::popen((std::string(VANTORCTL_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[512];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  int result = ::pclose(pipe);
  if (status != nullptr) *status = WEXITSTATUS(result);
  return out;
}

std::size_t countOf(const std::string& text, const std::string& needle) {
  std::size_t seen = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1)) {
    ++seen;
  }
  return seen;
}

bool started(const Installation& installation, int times) {
  return waitUntil(
      [&] {
        return countOf(installation.log(), "START MAIN LOOP") >= static_cast<std::size_t>(times);
      },
      20s);
}

std::vector<std::string> dataFiles(const Installation& installation, const std::string& suffix) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(installation.workDir())) {
    std::string name = entry.path().filename().string();
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace Vantor::integration
