#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace Vantor::testing {

TempDir::TempDir() {
#ifdef _WIN32
  // No mkdtemp here: a random name, taken only if nobody has it.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "tarnwick-test-%08x", random());
    std::filesystem::path candidate = std::filesystem::temp_directory_path() / name;
    if (std::filesystem::create_directory(candidate)) path_ = candidate.string();
  }
  if (path_.empty()) throw std::runtime_error("no temporary directory could be made");
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
#endif
}

TempDir::~TempDir() {
  // What a failed test leaves (the agent's log above all) is kept for a look.
  if (::testing::Test::HasFailure()) {
    std::fprintf(stderr, "The failed test's directory is kept: %s\n", path_.c_str());
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
}

bool fileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= until) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string escaped(const std::string& text) {
  std::string result;
  for (char c : text) {
    result += c;
    if (c == '\\') result += c;
  }
  return result;
}

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name_(name) {
  const char* old = ::getenv(name.c_str());
  hadValue_ = old != nullptr;
  if (hadValue_) oldValue_ = old;
  set(value);
}

ScopedEnv::~ScopedEnv() { set(hadValue_ ? oldValue_.c_str() : nullptr); }

void ScopedEnv::set(const char* value) const {
#ifdef _WIN32
  // An empty value removes the variable.
  ::_putenv_s(name_.c_str(), value != nullptr ? value : "");
#else
  if (value != nullptr) {
    ::setenv(name_.c_str(), value, 1);
  } else {
    ::unsetenv(name_.c_str());
  }
#endif
}

}  // namespace Vantor::testing
