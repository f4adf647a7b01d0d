// Named events between processes, on real FIFOs in a private runtime directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/ErrorCodes.h"
#include "platform/NamedEvent.h"
#include "platform/RuntimeDirectory.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

using namespace std::chrono_literals;

TEST(NamedEventTest, AWaitSeesTheEventAnotherProcessSetsAndClearsOnlyAnAutomaticOne) {
  testing::TempDir runtime;
  testing::ScopedEnv env("VANTOR_RUNTIME_DIR", runtime.path().c_str());
  EXPECT_EQ(NamedEvent::open("LicDrvProcessEvent", NamedEvent::Reset::kAutomatic), nullptr);
  EXPECT_EQ(lastError(), kErrorFileNotFound);
  EXPECT_FALSE(NamedEvent::set("LicDrvProcessEvent"));
  EXPECT_EQ(
      NamedEvent::create("../escape", NamedEvent::Reset::kManual, NamedEvent::Users::kThisUser),
      nullptr);

  auto records = NamedEvent::create("LicDrvProcessEvent", NamedEvent::Reset::kAutomatic,
                                    NamedEvent::Users::kEveryone);
  auto quit = NamedEvent::create("VantorTarnwickQuitEvent", NamedEvent::Reset::kManual,
                                 NamedEvent::Users::kThisUser);
  ASSERT_NE(records, nullptr);
  ASSERT_NE(quit, nullptr);
  struct stat status {};
  ASSERT_EQ(::stat((*runtimeDirectory("event") + "VantorTarnwickQuitEvent").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);  // no other user may stop the source
  std::vector<NamedEvent*> both = {records.get(), quit.get()};
  EXPECT_EQ(NamedEvent::waitForAny(both, 50ms), NamedEvent::kTimedOut);

  // Set three times by another process before anyone waits: one wait sees it, and clears it.
  auto waiter = NamedEvent::open("LicDrvProcessEvent", NamedEvent::Reset::kAutomatic);
  ASSERT_NE(waiter, nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    bool set = NamedEvent::set("LicDrvProcessEvent") && NamedEvent::set("LicDrvProcessEvent") &&
               NamedEvent::set("LicDrvProcessEvent");
    ::_exit(set ? 0 : 1);
  }
  int exited = -1;
  ::waitpid(child, &exited, 0);
  ASSERT_EQ(exited, 0);
  std::vector<NamedEvent*> opened = {waiter.get(), quit.get()};
  EXPECT_EQ(NamedEvent::waitForAny(opened, 1s), 0);
  EXPECT_EQ(NamedEvent::waitForAny(opened, 50ms), NamedEvent::kTimedOut);

  // A manual event stays set for every wait.
  ASSERT_TRUE(NamedEvent::set("VantorTarnwickQuitEvent"));
  EXPECT_EQ(NamedEvent::waitForAny(opened, 1s), 1);
  EXPECT_EQ(NamedEvent::waitForAny(both, 1s), 1);

  // Made again, it starts not set; what stands in a FIFO's place is no event.
  quit.reset();
  quit = NamedEvent::create("VantorTarnwickQuitEvent", NamedEvent::Reset::kManual,
                            NamedEvent::Users::kThisUser);
  ASSERT_NE(quit, nullptr);
  EXPECT_EQ(NamedEvent::waitForAny({quit.get()}, 50ms), NamedEvent::kTimedOut);
  testing::writeFile(*runtimeDirectory("event") + "Plain", "1");
  EXPECT_EQ(NamedEvent::open("Plain", NamedEvent::Reset::kManual), nullptr);
  EXPECT_FALSE(NamedEvent::set("Plain"));
}

}  // namespace
}  // namespace Vantor::platform
