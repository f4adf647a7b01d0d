// The prime-time calendar: rules of year, month, day, weekday and hour field specs, each
// making the moments it matches prime or non-prime; the last matching rule decides. Safe for
// concurrent use: a load swaps in a complete new rule list, and the one-entry cache is one
// atomic word.
#ifndef TARNWICK_USAGE_PRIMETIME_H_
#define TARNWICK_USAGE_PRIMETIME_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/DateTime.h"
#include "foundation/LineProblem.h"
#include "platform/Env.h"
#include "platform/Mutex.h"

namespace Vantor {

class PrimeTime {
 public:
  static constexpr int kUndefined = 0;
  static constexpr int kPrime = 1;
  static constexpr int kNonPrime = 2;

  // "*", a list "1,3,5", or a range "8-16"; an empty or malformed spec matches nothing.
  class FieldSpec {
   public:
    explicit FieldSpec(std::string_view text);
    bool matches(std::int32_t value) const;

   private:
    enum class Kind { kAny, kList, kRange, kNothing };
    Kind kind_ = Kind::kNothing;
    std::vector<std::int32_t> values_;  // the list, or low and high of the range
  };

  struct Rule {
    FieldSpec year{""}, month{""}, day{""}, weekday{""}, hour{""};  // weekday 0 = Sunday
    bool prime = true;
  };

  // One rule per line "year:month:day:weekday:hour [flag]"; "exclude" or "0" as flag makes
  // the rule non-prime. Empty lines and lines starting with '#' are skipped. Pure.
  // A line whose fields are not understood is kept as it reads, and told in problems.
  static std::vector<Rule> parseRules(std::string_view text,
                                      std::vector<LineProblem>* problems = nullptr);

  // Replaces the rules by the file's; false (rules unchanged) when it cannot be read.
  bool loadPrimeTime(platform::Env& env, const std::string& path,
                     std::vector<LineProblem>* problems = nullptr);
  void setRules(std::vector<Rule> rules);
  // kUndefined, kPrime or kNonPrime for the local time of the moment.
  int classify(const DateTime& moment) const;
  // "prime", "non-prime" or "undef", as records write the class.
  static const char* className(int answer);

 private:
  // Why a field of a rule is not understood; empty when it is.
  static std::string fieldProblem(std::string_view spec, const char* name);
  struct Calendar {
    std::vector<Rule> rules;
    std::uint32_t generation = 0;
  };
  std::shared_ptr<const Calendar> calendar() const;

  mutable platform::Mutex mutex_;
  std::shared_ptr<const Calendar> calendar_ GUARDED_BY(mutex_);
  // generation (24 bits) | moment (32 bits) | answer (8 bits) of the last question.
  mutable std::atomic<std::uint64_t> cache_{0};
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_PRIMETIME_H_
