#include "platform/win32/WindowsVersionName.h"

#include <gtest/gtest.h>

namespace Vantor::platform {
namespace {

TEST(WindowsVersionNameTest, NamesFollowVersionProductTypeAndProcessor) {
  WindowsVersion xp64{5, 2, kProductWorkstation, 0, false};
  EXPECT_EQ(windowsVersionName(xp64, "amd64"), "XP x64");
  WindowsVersion server2003{5, 2, 3, 0, false};
  EXPECT_EQ(windowsVersionName(server2003, "amd64"), "Server 2003 x64");
  EXPECT_EQ(windowsVersionName(server2003, "ia64"), "Server 2003 ia64");
  EXPECT_EQ(windowsVersionName(server2003, "i386"), "Server 2003");
  WindowsVersion r2{5, 2, 3, 0, true};
  EXPECT_EQ(windowsVersionName(r2, "amd64"), "Server 2003 R2 x64");
  WindowsVersion storage{5, 2, 3, kSuiteStorageServer, false};
  EXPECT_EQ(windowsVersionName(storage, "i386"), "Storage Server 2003");
  EXPECT_EQ(windowsVersionName({5, 0, 1, 0, false}, "i386"), "2000");
  EXPECT_EQ(windowsVersionName({5, 1, 1, 0, false}, "i386"), "XP");
  EXPECT_EQ(windowsVersionName({5, 3, 1, 0, false}, "i386"), "5 3");
  EXPECT_EQ(windowsVersionName({6, 0, 1, 0, false}, "amd64"), "Vista x64");
  EXPECT_EQ(windowsVersionName({6, 1, 1, 0, false}, "i386"), "Vista");
  EXPECT_EQ(windowsVersionName({6, 1, 3, 0, false}, "ia64"), "Server 2008 ia64");
  EXPECT_EQ(windowsVersionName({4, 0, 1, 0, false}, "i386"), "NT 4.0");
  EXPECT_EQ(windowsVersionName({10, 0, 1, 0, false}, "amd64"), "10 0");
}

}  // namespace
}  // namespace Vantor::platform
