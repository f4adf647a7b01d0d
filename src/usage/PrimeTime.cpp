#include "usage/PrimeTime.h"

#include "foundation/Exception.h"
#include "foundation/TextUtils.h"

namespace Vantor {

namespace {

// Leading-digit conversion: text that does not start with a digit counts as 0.
std::int32_t leadingNumber(std::string_view text) {
  std::int32_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || number > 99999999) break;
    number = number * 10 + (c - '0');
  }
  return number;
}

std::string_view nextField(std::string_view* rest, char separator) {
  std::size_t end = rest->find(separator);
  std::string_view field = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  return field;
}

// The hour token: up to the next blank, or a double-quoted text (without its quotes).
std::string_view hourToken(std::string_view* rest) {
  *rest = TextUtils::trimmed(*rest);
  if (!rest->empty() && rest->front() == '"') {
    std::size_t close = rest->find('"', 1);
    std::string_view token = rest->substr(1, close == std::string_view::npos ? close : close - 1);
    rest->remove_prefix(close == std::string_view::npos ? rest->size() : close + 1);
    return token;
  }
  std::size_t end = rest->find_first_of(" \t");
  std::string_view token = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end);
  return token;
}

constexpr std::uint64_t pack(std::uint32_t generation, std::int32_t moment, int answer) {
  return (static_cast<std::uint64_t>(generation & 0xFFFFFF) << 40) |
         (static_cast<std::uint64_t>(static_cast<std::uint32_t>(moment)) << 8) |
         static_cast<std::uint64_t>(answer & 0xFF);
}

}  // namespace

PrimeTime::FieldSpec::FieldSpec(std::string_view text) {
  text = TextUtils::trimmed(text);
  if (text.empty()) return;
  if (text == "*") {
    kind_ = Kind::kAny;
    return;
  }
  if (text.find('-') != std::string_view::npos) {
    std::string_view low = nextField(&text, '-');
    std::string_view high = nextField(&text, '-');
    if (low.empty() || high.empty() || !text.empty()) return;  // not exactly two numbers
    kind_ = Kind::kRange;
    values_ = {leadingNumber(TextUtils::trimmed(low)), leadingNumber(TextUtils::trimmed(high))};
    return;
  }
  kind_ = Kind::kList;
  while (!text.empty()) values_.push_back(leadingNumber(TextUtils::trimmed(nextField(&text, ','))));
}

bool PrimeTime::FieldSpec::matches(std::int32_t value) const {
  switch (kind_) {
    case Kind::kAny:
      return true;
    case Kind::kRange:
      return value >= values_[0] && value <= values_[1];
    case Kind::kList:
      for (std::int32_t listed : values_) {
        if (listed == value) return true;
      }
      return false;
    case Kind::kNothing:
      return false;
  }
  return false;
}

std::vector<PrimeTime::Rule> PrimeTime::parseRules(std::string_view text,
                                                   std::vector<LineProblem>* problems) {
  std::vector<Rule> rules;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    std::string_view line = TextUtils::trimmed(nextField(&text, '\n'));
    if (line.empty() || line.front() == '#') continue;
    Rule rule;
    std::string problem;
    auto field = [&](std::string_view spec, const char* name) {
      if (problem.empty()) problem = fieldProblem(spec, name);
      return FieldSpec(spec);
    };
    rule.year = field(nextField(&line, ':'), "year");
    rule.month = field(nextField(&line, ':'), "month");
    rule.day = field(nextField(&line, ':'), "day");
    rule.weekday = field(nextField(&line, ':'), "weekday");
    rule.hour = field(hourToken(&line), "hour");
    std::string flag = TextUtils::lowered(TextUtils::trimmed(line.substr(0, line.find('#'))));
    rule.prime = flag != "exclude" && flag != "0";
    if (problem.empty() && !flag.empty() && flag != "exclude" && flag != "0" && flag != "1") {
      problem = "the flag \"" + TextUtils::shown(flag) + "\" is neither \"exclude\" nor \"0\"";
    }
    if (problems != nullptr && !problem.empty()) problems->push_back({number, problem});
    rules.push_back(std::move(rule));
  }
  return rules;
}

std::string PrimeTime::fieldProblem(std::string_view spec, const char* name) {
  spec = TextUtils::trimmed(spec);
  // A field that is not a '*', a range or a list of numbers matches nothing, or not what it
  // seems to say (the numbers are read up to their first other character).
  if (spec.empty()) return std::string("no ") + name + " field (a line has five, ':' between)";
  if (spec == "*") return "";
  bool range = spec.find('-') != std::string_view::npos;
  if (spec.find_first_not_of(range ? "0123456789-" : "0123456789,") != std::string_view::npos ||
      (range && (spec.front() == '-' || spec.back() == '-' || spec.find('-') != spec.rfind('-'))) ||
      (!range &&
       (spec.front() == ',' || spec.back() == ',' || spec.find(",,") != std::string_view::npos))) {
    return std::string("the ") + name + " field \"" + TextUtils::shown(spec) +
           "\" is neither '*', a range \"a-b\" nor a list \"a,b,c\"";
  }
  // What a field can hold; a number outside never matches.
  constexpr struct {
    std::string_view name;
    std::int32_t low, high;
  } kBounds[] = {{"month", 1, 12}, {"day", 1, 31}, {"weekday", 0, 6}, {"hour", 0, 23}};
  for (const auto& bound : kBounds) {
    if (bound.name != name) continue;
    for (std::string_view rest = spec; !rest.empty();) {
      std::int32_t value = leadingNumber(nextField(&rest, range ? '-' : ','));
      if (value < bound.low || value > bound.high) {
        return std::string("the ") + name + " " + std::to_string(value) + " is outside " +
               std::to_string(bound.low) + "-" + std::to_string(bound.high);
      }
    }
  }
  return "";
}

bool PrimeTime::loadPrimeTime(platform::Env& env, const std::string& path,
                              std::vector<LineProblem>* problems) {
  std::string text;
  try {
    text = TextUtils::readTextFile(env, path);
  } catch (const Exception&) {
    return false;
  }
  setRules(parseRules(text, problems));
  return true;
}

void PrimeTime::setRules(std::vector<Rule> rules) {
  platform::MutexLock lock(&mutex_);
  auto next = std::make_shared<Calendar>();
  next->rules = std::move(rules);
  next->generation = calendar_ ? calendar_->generation + 1 : 1;
  calendar_ = std::move(next);
}

std::shared_ptr<const PrimeTime::Calendar> PrimeTime::calendar() const {
  platform::MutexLock lock(&mutex_);
  return calendar_;
}

int PrimeTime::classify(const DateTime& moment) const {
  std::shared_ptr<const Calendar> current = calendar();
  std::uint32_t generation = current ? current->generation : 0;
  std::uint64_t cached = cache_.load(std::memory_order_relaxed);
  if ((cached & ~std::uint64_t{0xFF}) == (pack(generation, moment.getValue(), 0))) {
    return static_cast<int>(cached & 0xFF);
  }
  int answer = kUndefined;
  if (current) {
    DateTimeFields local = moment.localBreakdown();
    std::int32_t weekday = (local.weekday + 1) % 7;  // the calendar counts from Sunday
    for (const Rule& rule : current->rules) {
      if (rule.year.matches(local.year) && rule.month.matches(local.month) &&
          rule.day.matches(local.day) && rule.weekday.matches(weekday) &&
          rule.hour.matches(local.hour)) {
        answer = rule.prime ? kPrime : kNonPrime;
      }
    }
  }
  cache_.store(pack(generation, moment.getValue(), answer), std::memory_order_relaxed);
  return answer;
}

const char* PrimeTime::className(int answer) {
  return answer == kPrime ? "prime" : answer == kNonPrime ? "non-prime" : "undef";
}

}  // namespace Vantor
