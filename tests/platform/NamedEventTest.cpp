// Named events between processes, on real FIFOs in a private runtime directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/posix/RuntimeDirectory.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

using namespace std::chrono_literals;

TEST(NamedEventTest, AWaitSeesTheEventAnotherProcessSetsAndClearsOnlyAnAutomaticOne) {
  testing::TempDir runtime;
  testing::ScopedEnv env("VANTOR_RUNTIME_DIR", runtime.path().c_str());
  EXPECT_EQ(
      testing::systemEnv().openEvent("LicDrvProcessEvent", NamedEvent::Reset::kAutomatic).error(),
      kErrorFileNotFound);
  EXPECT_FALSE(testing::systemEnv().setEvent("LicDrvProcessEvent"));
  EXPECT_FALSE(testing::systemEnv().createEvent("../escape", NamedEvent::Reset::kManual,
                                                NamedEvent::Users::kThisUser));

  std::unique_ptr<NamedEvent> records =
      std::move(testing::systemEnv()
                    .createEvent("LicDrvProcessEvent", NamedEvent::Reset::kAutomatic,
                                 NamedEvent::Users::kEveryone)
                    .value());
  std::unique_ptr<NamedEvent> quit =
      std::move(testing::systemEnv()
                    .createEvent("VantorTarnwickQuitEvent", NamedEvent::Reset::kManual,
                                 NamedEvent::Users::kThisUser)
                    .value());
  ASSERT_NE(records, nullptr);
  ASSERT_NE(quit, nullptr);
  struct stat status {};
  ASSERT_EQ(::stat((*runtimeDirectory("event") + "VantorTarnwickQuitEvent").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);  // no other user may stop the source
  std::vector<NamedEvent*> both = {records.get(), quit.get()};
  EXPECT_EQ(testing::systemEnv().waitForAnyEvent(both, 50ms).value(), NamedEvent::kTimedOut);

  // Set three times by another process before anyone waits: one wait sees it, and clears it.
  std::unique_ptr<NamedEvent> waiter = std::move(
      testing::systemEnv().openEvent("LicDrvProcessEvent", NamedEvent::Reset::kAutomatic).value());
  ASSERT_NE(waiter, nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    bool set = testing::systemEnv().setEvent("LicDrvProcessEvent") &&
               testing::systemEnv().setEvent("LicDrvProcessEvent") &&
               testing::systemEnv().setEvent("LicDrvProcessEvent");
    ::_exit(set ? 0 : 1);
  }
  int exited = -1;
  ::waitpid(child, &exited, 0);
  ASSERT_EQ(exited, 0);
  std::vector<NamedEvent*> opened = {waiter.get(), quit.get()};
  EXPECT_EQ(testing::systemEnv().waitForAnyEvent(opened, 1s).value(), 0);
  EXPECT_EQ(testing::systemEnv().waitForAnyEvent(opened, 50ms).value(), NamedEvent::kTimedOut);

  // A manual event stays set for every wait.
  ASSERT_TRUE(testing::systemEnv().setEvent("VantorTarnwickQuitEvent"));
  EXPECT_EQ(testing::systemEnv().waitForAnyEvent(opened, 1s).value(), 1);
  EXPECT_EQ(testing::systemEnv().waitForAnyEvent(both, 1s).value(), 1);

  // Made again, it starts not set; what stands in a FIFO's place is no event.
  quit.reset();
  quit = std::move(testing::systemEnv()
                       .createEvent("VantorTarnwickQuitEvent", NamedEvent::Reset::kManual,
                                    NamedEvent::Users::kThisUser)
                       .value());
  ASSERT_NE(quit, nullptr);
  EXPECT_EQ(testing::systemEnv().waitForAnyEvent({quit.get()}, 50ms).value(),
            NamedEvent::kTimedOut);
  testing::writeFile(*runtimeDirectory("event") + "Plain", "1");
  EXPECT_FALSE(testing::systemEnv().openEvent("Plain", NamedEvent::Reset::kManual));
  EXPECT_FALSE(testing::systemEnv().setEvent("Plain"));
}

}  // namespace
}  // namespace Vantor::platform
