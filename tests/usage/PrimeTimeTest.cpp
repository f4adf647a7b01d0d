#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/SystemEnv.h"
#include "support/TempDir.h"
#include "usage/PrimeTime.h"

namespace Vantor {
namespace {

// A moment given in local time, so the expectations hold in every zone.
DateTime local(int year, int month, int day, int hour) {
  DateTimeFields fields;
  fields.year = year;
  fields.month = month;
  fields.day = day;
  fields.hour = hour;
  fields.local = 1;
  return DateTime(fields);
}

TEST(PrimeTimeTest, TheLastMatchingRuleDecides) {
  PrimeTime calendar;
  EXPECT_EQ(calendar.classify(local(2008, 7, 21, 10)), PrimeTime::kUndefined);
  calendar.setRules(
      PrimeTime::parseRules("# office hours\n"
                            "*:*:*:1-5:8-16\n"
                            "*:12:24,25,26:*:* exclude\n"));
  EXPECT_EQ(calendar.classify(local(2008, 7, 21, 8)), PrimeTime::kPrime);  // Monday
  EXPECT_EQ(calendar.classify(local(2008, 7, 21, 16)), PrimeTime::kPrime);
  EXPECT_EQ(calendar.classify(local(2008, 7, 21, 17)), PrimeTime::kUndefined);
  EXPECT_EQ(calendar.classify(local(2008, 7, 20, 10)), PrimeTime::kUndefined);  // Sunday
  EXPECT_EQ(calendar.classify(local(2008, 12, 24, 10)), PrimeTime::kNonPrime);  // Wednesday
  EXPECT_EQ(calendar.classify(local(2008, 12, 24, 22)), PrimeTime::kNonPrime);

  calendar.setRules(
      PrimeTime::parseRules("*:*:*:*:* 0\n"
                            "*:*:*:1-5:9-17  # weekdays\n"
                            "*:*:*:0:12 EXCLUDE\n"
                            "*:*:*:6:12 prime\n"));
  EXPECT_EQ(calendar.classify(local(2008, 7, 21, 9)), PrimeTime::kPrime);
  EXPECT_EQ(calendar.classify(local(2008, 7, 21, 8)), PrimeTime::kNonPrime);
  EXPECT_EQ(calendar.classify(local(2008, 7, 20, 12)), PrimeTime::kNonPrime);  // 0 is Sunday
  EXPECT_EQ(calendar.classify(local(2008, 7, 19, 12)), PrimeTime::kPrime);     // 6 is Saturday
  EXPECT_STREQ(PrimeTime::className(PrimeTime::kNonPrime), "non-prime");
  EXPECT_STREQ(PrimeTime::className(PrimeTime::kUndefined), "undef");
}

TEST(PrimeTimeTest, FieldSpecs) {
  EXPECT_TRUE(PrimeTime::FieldSpec("*").matches(1999));
  EXPECT_TRUE(PrimeTime::FieldSpec("1,3,5").matches(3));
  EXPECT_FALSE(PrimeTime::FieldSpec("1,3,5").matches(4));
  EXPECT_TRUE(PrimeTime::FieldSpec("8-16").matches(16));
  EXPECT_FALSE(PrimeTime::FieldSpec("8-16").matches(17));
  EXPECT_FALSE(PrimeTime::FieldSpec("5-").matches(5));
  EXPECT_FALSE(PrimeTime::FieldSpec("1-2-3").matches(2));
  EXPECT_FALSE(PrimeTime::FieldSpec("").matches(0));
  EXPECT_TRUE(PrimeTime::FieldSpec("x").matches(0));  // no leading digit reads as 0
  EXPECT_TRUE(PrimeTime::FieldSpec(" 7 ").matches(7));
  // A line without all five fields never matches.
  PrimeTime calendar;
  calendar.setRules(PrimeTime::parseRules("*:*:*\n*:*:*:*\n"));
  EXPECT_EQ(calendar.classify(local(2008, 7, 21, 9)), PrimeTime::kUndefined);
}

TEST(PrimeTimeTest, LinesThatAreNotUnderstoodAreToldWithTheirNumbersAndKept) {
  std::vector<LineProblem> problems;
  std::vector<PrimeTime::Rule> rules = PrimeTime::parseRules(
      "# year:month:day:weekday:hour\n"
      "*:*:*:1-5:8-16\n"
      "*:12:24,25,26:*:* exclude\n"
      "nonsense\n"
      "*:13:*:*:*\n"
      "*:*:*:1,,2:*\n"
      "*:*:*:*:\"8-9\" later\n"
      "2026:1:1:0:0-23 0\n",
      &problems);
  EXPECT_EQ(rules.size(), 7u);
  std::vector<std::size_t> lines;
  for (const LineProblem& problem : problems) lines.push_back(problem.line);
  EXPECT_EQ(lines, (std::vector<std::size_t>{4, 5, 6, 7}));
}

TEST(PrimeTimeTest, ALoadReplacesTheRulesAndTheCacheFollows) {
  testing::TempDir dir;
  testing::writeFile(dir.file("primetime"), "*:*:*:*:*\n");
  PrimeTime calendar;
  EXPECT_FALSE(calendar.loadPrimeTime(testing::systemEnv(), dir.file("missing")));
  ASSERT_TRUE(calendar.loadPrimeTime(testing::systemEnv(), dir.file("primetime")));
  DateTime moment = local(2008, 7, 21, 9);
  EXPECT_EQ(calendar.classify(moment), PrimeTime::kPrime);
  EXPECT_EQ(calendar.classify(moment), PrimeTime::kPrime);  // from the cache
  testing::writeFile(dir.file("primetime"), "*:*:*:*:* exclude\n");
  ASSERT_TRUE(calendar.loadPrimeTime(testing::systemEnv(), dir.file("primetime")));
  EXPECT_EQ(calendar.classify(moment), PrimeTime::kNonPrime);
}

TEST(PrimeTimeTest, ConcurrentCallersGetConsistentAnswers) {
  PrimeTime calendar;
  calendar.setRules(PrimeTime::parseRules("*:*:*:*:8-16\n*:*:*:*:17-23 exclude\n"));
  DateTime prime = local(2008, 7, 21, 9);
  DateTime nonPrime = local(2008, 7, 21, 20);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20000; ++i) {
        bool askPrime = (i + t) % 2 == 0;
        int answer = calendar.classify(askPrime ? prime : nonPrime);
        if (answer != (askPrime ? PrimeTime::kPrime : PrimeTime::kNonPrime)) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace Vantor
