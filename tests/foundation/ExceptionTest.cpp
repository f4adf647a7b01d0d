#include <gtest/gtest.h>

#include "foundation/ConfigException.h"
#include "foundation/FileException.h"
#include "foundation/IPCException.h"
#include "foundation/JobException.h"
#include "foundation/TimeException.h"

namespace Vantor {
namespace {

TEST(ExceptionTest, FullTextHasDescriptionDetailAndLocationsOnTheirOwnLines) {
  FileException bare(FileException::FL_CANNOT_OPEN);
  EXPECT_EQ(bare.getFullText(), "File: File cannot be opened. (Code: 42.5)");

  FileException full(FileException::FL_CANNOT_OPEN, "data.make", "C:\\src\\File\\FilePlain.cpp",
                     120);
  full.addLocation("/src/Agent/LogFile.cpp", 77);
  EXPECT_EQ(full.getFullText(),
            "File: File cannot be opened. (Code: 42.5)\r\n"
            "  >  (data.make)\r\n"
            "  >  FilePlain.(120) - LogFile.(77)");
}

TEST(ExceptionTest, LocationsKeepTheBaseNameUpToTheLastDot) {
  Exception error(0);
  error.addLocation("", 1);
  EXPECT_TRUE(error.getLocations().empty());
  error.addLocation("a/b/Timer", 2);
  error.addLocation("x.y.cpp", 3);
  error.addLocation("dir\\C.h", 4);
  ASSERT_EQ(error.getLocations().size(), 3u);
  EXPECT_EQ(error.getLocations()[0].name, "Timer");
  EXPECT_EQ(error.getLocations()[1].name, "x.y.");
  EXPECT_EQ(error.getLocations()[2].name, "C.");
  EXPECT_EQ(error.getFullText(),
            "Exception: Unknown error (Code: 45.0)\r\n  >  Timer(2) - x.y.(3) - C.(4)");
}

TEST(ExceptionTest, EveryClassDescribesWithItsCategoryAndClassNumber) {
  EXPECT_EQ(ConfigException(ConfigException::CF_CONF).description(),
            "Configuration: Error in conf file. (Code: 1.1)");
  EXPECT_EQ(ConfigException(7).description(), "Configuration: Unknown error (Code: 1.7)");
  EXPECT_EQ(FileException(FileException::FL_ERROR).description(),
            "File: An error occured. (No changes made.) (Code: 42.27)");
  EXPECT_EQ(FileException(28).description(), "File: Unknown error (Code: 42.28)");
  EXPECT_EQ(FileException(-1).description(), "File: Unknown error (Code: 42.-1)");
  EXPECT_EQ(IPCException(IPCException::IC_MEM).description(), "IPC: Out of memory. (Code: 4.7)");
  EXPECT_EQ(JobException(JobException::JB_NEVER_STARTED).description(),
            "Job: The job was never started. execute() missing or failed (Code: 43.1)");
  EXPECT_EQ(TimeException(TimeException::TM_INPUT).description(),
            "Time: Illegal input format. (Code: 4.10)");
  EXPECT_EQ(Exception(3).description(), "Exception: Unknown error (Code: 45.3)");
  // IPC and time errors share a class number; their code strings cannot tell them apart.
  EXPECT_EQ(TimeException(5).getCodeString(), IPCException(5).getCodeString());
}

TEST(ExceptionTest, CaughtAsTheRootAndRethrownWithAddedLocation) {
  try {
    try {
      throw TimeException(TimeException::TM_DAYS, "", "Time/TimeSpan.cpp", 10);
    } catch (Exception& error) {
      error.addLocation("Config/ConfReader.cpp", 231);
      throw;
    }
  } catch (const TimeException& error) {
    EXPECT_EQ(error.getCode(), TimeException::TM_DAYS);
    EXPECT_EQ(error.getFullText(),
              "Time: Days out of range: (0 - 24,855). (Code: 4.1)\r\n"
              "  >  TimeSpan.(10) - ConfReader.(231)");
    EXPECT_STREQ(error.what(), error.getFullText().c_str());
  }
}

TEST(ExceptionTest, CopiesCarryCodeDetailAndLocations) {
  JobException original(JobException::JB_UNABLE_TO_START, "Win32 error code is : 8", "Job.cpp", 5);
  JobException copy = original;
  original.addLocation("Other.cpp", 6);
  EXPECT_EQ(copy.getCode(), JobException::JB_UNABLE_TO_START);
  EXPECT_EQ(copy.getDetail(), "Win32 error code is : 8");
  EXPECT_EQ(copy.getLocations().size(), 1u);
  EXPECT_EQ(original.getLocations().size(), 2u);
}

}  // namespace
}  // namespace Vantor
