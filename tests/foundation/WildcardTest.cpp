#include <gtest/gtest.h>

#include <string>

#include "foundation/Wildcard.h"

namespace Vantor {
namespace {

TEST(WildcardTest, StarAndQuestionMark) {
  EXPECT_TRUE(wildcardMatch("*", ""));
  EXPECT_TRUE(wildcardMatch("*", "anything"));
  EXPECT_TRUE(wildcardMatch("*.make", "process.20081201.make"));
  EXPECT_FALSE(wildcardMatch("*.make", "process.make.tmp"));
  EXPECT_TRUE(wildcardMatch("*.make*", "process.make.tmp"));
  EXPECT_TRUE(wildcardMatch("a?c", "abc"));
  EXPECT_FALSE(wildcardMatch("a?c", "ac"));
  EXPECT_TRUE(wildcardMatch("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(wildcardMatch("a*b*c", "aXbYbZ"));
  EXPECT_FALSE(wildcardMatch("abc", "ABC"));
  EXPECT_TRUE(wildcardMatch("", ""));
  EXPECT_FALSE(wildcardMatch("", "x"));
  EXPECT_TRUE(wildcardMatch("**?", "x"));
}

TEST(WildcardTest, ManyStarsStayLinear) {
  // Naive backtracking takes exponential time on this pair.
  std::string pattern;
  for (int i = 0; i < 30; ++i) pattern += "*a";
  pattern += "b";
  EXPECT_FALSE(wildcardMatch(pattern, std::string(5000, 'a')));
}

}  // namespace
}  // namespace Vantor
