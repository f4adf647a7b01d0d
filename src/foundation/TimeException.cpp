#include "foundation/TimeException.h"

namespace Vantor {

namespace {
constexpr std::string_view kTexts[] = {
    "No exception!",                                                   // TM_NONE
    "Days out of range: (0 - 24,855).",                                // TM_DAYS
    "Hours out of range: (0-23).",                                     // TM_HOURS
    "Minutes out of range: (0-59).",                                   // TM_MINUTES
    "Seconds out of range: (0-59).",                                   // TM_SECONDS
    "Year out of range: (1970 - 2037).",                               // TM_YEAR
    "Month out of range: (1 - 12).",                                   // TM_MONTH
    "Day out of range: (1 - days of the month in question).",          // TM_DAY
    "Illegal date and/or time.",                                       // TM_DATETIME
    "Illegal date/time. Cannot have date before 01.01.1970 0:00:00!",  // TM_ANCIENT
    "Illegal input format.",                                           // TM_INPUT
};
}  // namespace

std::string TimeException::description() const {
  return describe("Time", textOf(kTexts, getCode()));
}

}  // namespace Vantor
