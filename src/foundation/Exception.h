// The root of the exception family that every library class throws: a code, a detail text and
// the list of source locations the error passed through, oldest first.
#ifndef TARNWICK_FOUNDATION_EXCEPTION_H_
#define TARNWICK_FOUNDATION_EXCEPTION_H_

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace Vantor {

class Exception : public std::exception {
 public:
  struct Location {
    std::string name;  // the source's base name up to and including its last '.'
    std::int32_t line = 0;
  };

  explicit Exception(std::int32_t code);
  // Records sourceFile and line as the first location; throw sites pass __FILE__, __LINE__.
  Exception(std::int32_t code, std::string detail, std::string_view sourceFile, std::int32_t line);
  ~Exception() override = default;

  // Catch sites that pass the error on add their own location first. An empty path adds
  // nothing.
  void addLocation(std::string_view sourceFile, std::int32_t line);

  std::int32_t getCode() const { return code_; }
  const std::string& getDetail() const { return detail_; }
  const std::vector<Location>& getLocations() const { return locations_; }

  // Class number, '.', code: "42.5".
  std::string getCodeString() const;

  // "<category>: <text> (Code: <code string>)"; "Unknown error" for a code without text.
  virtual std::string description() const;
  virtual std::int32_t classNumber() const { return 45; }

  // The description, then the detail and the locations on lines of their own.
  std::string getFullText() const;

  const char* what() const noexcept override;

 protected:
  // The description built from a class's category word and its text for the code.
  std::string describe(std::string_view category, std::string_view text) const;

  // The text of code in a table indexed by code; empty when the code has no row.
  template <std::size_t N>
  static std::string_view textOf(const std::string_view (&texts)[N], std::int32_t code) {
    return code >= 0 && static_cast<std::size_t>(code) < N ? texts[code] : std::string_view();
  }

 private:
  std::int32_t code_;
  std::vector<Location> locations_;
  std::string detail_;
  mutable std::string what_;  // keeps what()'s text alive
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_EXCEPTION_H_
