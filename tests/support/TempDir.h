// A fresh directory for one test, removed with everything in it when the test ends.
#ifndef TARNWICK_TESTS_SUPPORT_TEMPDIR_H_
#define TARNWICK_TESTS_SUPPORT_TEMPDIR_H_

#include <chrono>
#include <functional>
#include <string>

#include "platform/PathSeparator.h"

namespace Vantor::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const {
    return path_ + platform::kPathSeparator + name;
  }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Polls condition until it holds or the deadline passes; returns its last answer.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline);

// Sets an environment variable for the lifetime of the object, restoring it afterwards.
// Text with each backslash doubled, as a quoted value of a configuration or registry file
// must hold a Windows path.
std::string escaped(const std::string& text);

class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const char* value);  // nullptr unsets
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const char* value) const;

  std::string name_;
  bool hadValue_;
  std::string oldValue_;
};

}  // namespace Vantor::testing

#endif  // TARNWICK_TESTS_SUPPORT_TEMPDIR_H_
