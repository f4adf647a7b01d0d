#include "report/SqlText.h"


namespace Vantor::report {

std::string likePattern(std::string_view pattern) {
  std::string like;
  for (char c : pattern) {
    if (c == '*') {
      like.push_back('%');
    } else if (c == '?') {
      like.push_back('_');
    } else {
      if (c == '%' || c == '_' || c == '\\') like.push_back('\\');
      like.push_back(c);
    }
  }
  return like;
}

std::string intervalsQuery(bool withPattern, std::string_view byteOrderCollation) {
  std::string sql =
      "SELECT product, user_name, computer, time_class, start_time, length FROM usage_interval "
      "WHERE start_time < $1 AND start_time + length >= $2";
  if (withPattern) sql += " AND product LIKE $3 ESCAPE '\\'";
  return sql + " ORDER BY product COLLATE " + std::string(byteOrderCollation) + ", start_time";
}

}  // namespace Vantor::report
