// SHA-256 (FIPS 180-4), to know a data file by its content whatever its name: a file loaded
// once is never counted twice.
#ifndef TARNWICK_REPORT_SHA256_H_
#define TARNWICK_REPORT_SHA256_H_

#include <string>
#include <string_view>

namespace Vantor::report {

// The digest of bytes as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_SHA256_H_
