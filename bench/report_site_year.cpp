// Writes a synthetic site-year of data files for the report benchmark: COMPUTERS machines,
// 40 products, about RECORDS usage records in all, one file per machine and month, as the
// agent writes them (runs that cross a delivery at 00:00 or 12:00 UTC are split into records
// that meet); with a CSV path, the same rows as CSV for sqlite3's .import.
//   report_site_year FOLDER RECORDS COMPUTERS [CSV]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: report_site_year FOLDER RECORDS COMPUTERS [CSV]\n");
    return 2;
  }
  std::filesystem::path folder = argv[1];
  const long long records = std::atoll(argv[2]);
  const int computers = std::atoi(argv[3]);
  std::ofstream csv;
  if (argc > 4) csv.open(argv[4]);
  constexpr std::int64_t kYearStart = 1735689600;  // 2025-01-01T00:00:00Z
  constexpr std::int64_t kDelivery = 43200;
  constexpr int kProducts = 40;
  constexpr int kMonths = 12;
  std::mt19937_64 random(20261208);
  long long written = 0;
  // Runs per machine and month, so that the records (a run splits at deliveries) come near
  // the number asked for; a run lasts up to four hours, about 1.2 records on average.
  long long runs = records * 10 / 12 / computers / kMonths;
  for (int computer = 0; computer < computers; ++computer) {
    std::string host = "pc" + std::to_string(computer);
    std::filesystem::create_directories(folder / host);
    for (int month = 0; month < kMonths; ++month) {
      std::ofstream out(folder / host / ("ProcessLog-" + std::to_string(month) + ".data"));
      std::int64_t monthStart = kYearStart + month * 30LL * 86400;
      for (long long run = 0; run < runs; ++run) {
        int product = static_cast<int>(random() % kProducts);
        std::string user = "\\\\site\\user" + std::to_string(computer * 3 + random() % 3);
        std::int64_t start = monthStart + static_cast<std::int64_t>(random() % (30 * 86400));
        std::int64_t end = start + 60 + static_cast<std::int64_t>(random() % (4 * 3600));
        bool first = true;
        for (std::int64_t at = start; at < end; first = false) {
          std::int64_t cut = std::min(end, (at / kDelivery + 1) * kDelivery);
          const char* timeClass = (at / 3600) % 24 >= 8 && (at / 3600) % 24 < 18 ? "prime"
                                                                                  : "non-prime";
          std::string product_ = "Product " + std::to_string(product);
          out << "1:" << at << ":31:0:N/A:0:" << host << ":0:amd64:0:Debian GNU/Linux 12:0:app"
              << product << ":0:" << product_ << ":0:/opt/app" << product << "/:0:" << timeClass
              << ":0:" << user << ":0:" << (cut == end ? "0" : "none") << "\n"
              << (first ? "1:" : "0:") << cut - at << "\n";
          if (csv.is_open()) {
            csv << at << "," << cut - at << "," << host << "," << product_ << "," << timeClass
                << "," << user << "\n";
          }
          ++written;
          at = cut;
        }
      }
    }
  }
  std::printf("%lld records in %d files\n", written, computers * kMonths);
  return 0;
}
