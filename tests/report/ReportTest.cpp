// The usage report from hand-written data files with known answers, through the real
// tarnwick-report program, against a SQLite file and the throwaway PostgreSQL server alike:
// the same files must give the same answers on both.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "report/Sha256.h"
#include "support/TempDir.h"

namespace Vantor::report {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

// A usage record of the agent's: start second, length, whether it is the process's first.
std::string usage(long long start, long long length, const std::string& user,
                  const std::string& computer, const std::string& product = "CAD Pro",
                  const std::string& timeClass = "prime", bool first = true) {
  return "1:" + std::to_string(start) + ":31:0:N/A:0:" + computer + ":0:amd64:0:Debian:0:cad:0:" +
         product + ":0:/opt/cad/:0:" + timeClass + ":0:\\\\site\\" + user + ":0:none\n" +
         (first ? "1:" : "0:") + std::to_string(length) + "\n";
}

struct Outcome {
  int status = 0;
  std::string out;
};

// A shell command, standard error into the output.
Outcome run(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  Outcome ran;
  char buffer[512];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) ran.out.append(buffer, got);
  ran.status = WEXITSTATUS(::pclose(pipe));
  return ran;
}

Outcome report(const std::string& arguments) {
  return run(std::string(TARNWICK_REPORT_PATH) + " " + arguments);
}

std::string shellWord(const std::string& text) { return "'" + text + "'"; }

constexpr long long kT = 1796600000;  // 2026-12-06T23:33:20Z

class ReportTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (std::string(GetParam()) == "sqlite") {
      database_ = dir_.file("usage.db");
      return;
    }
    std::ifstream urlFile(POSTGRES_URL_FILE);
    std::string url;
    ASSERT_TRUE(std::getline(urlFile, url)) << "no PostgreSQL server: " << POSTGRES_URL_FILE;
    // A database of this test's own on the shared server.
    static std::atomic<int> made{0};
    std::string name = "report_" + std::to_string(::getpid()) + "_" + std::to_string(++made);
    PGconn* server = PQconnectdb(url.c_str());
    ASSERT_EQ(PQstatus(server), CONNECTION_OK) << PQerrorMessage(server);
    PGresult* result = PQexec(server, ("CREATE DATABASE " + name).c_str());
    EXPECT_EQ(PQresultStatus(result), PGRES_COMMAND_OK) << PQerrorMessage(server);
    PQclear(result);
    PQfinish(server);
    database_ = url.replace(url.find("/postgres?"), 10, "/" + name + "?");
  }

  std::string file(const std::string& name, const std::string& content) {
    std::string path = dir_.file(name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeFile(path, content);
    return path;
  }
  Outcome load(const std::string& paths) { return report("load --database " + shellWord(database_) + " " + paths); }
  Outcome print(const std::string& options) {
    return report("report --database " + shellWord(database_) + " --utc " + options);
  }

  TempDir dir_;
  std::string database_;
};

TEST_P(ReportTest, PeakUsersIsTheLicenceCountAndEachProcessCountsOnce) {
  // Three users whose runs overlap as 1, 2, 3, 2, 1; alice runs a second instance beside her
  // first, and carol's process runs across two deliveries (records that meet, in two files).
  std::string first = usage(kT, 100, "alice", "vm1") + usage(kT + 5, 20, "alice", "vm1") +
                      usage(kT + 10, 50, "bob", "vm2") +
                      usage(kT + 20, 10, "carol", "vm3", "CAD Pro", "non-prime");
  std::string second = usage(kT + 30, 5, "carol", "vm3", "CAD Pro", "non-prime", false) +
                       usage(kT + 35, 5, "carol", "vm3", "CAD Pro", "non-prime", false);
  file("spool/vm1/ProcessLog-1.data", first);
  file("spool/vm3/ProcessLog-2.data", second);
  Outcome loaded = load(dir_.file("spool"));
  ASSERT_EQ(loaded.status, 0) << loaded.out;
  EXPECT_NE(loaded.out.find("loaded 2 file(s) with 6 record(s)"), std::string::npos) << loaded.out;

  Outcome json = print("--format json");
  ASSERT_EQ(json.status, 0) << json.out;
  // alice 0-100 (and 5-25), bob 10-60, carol 20-40: three users from second 20 on; four
  // processes from 20 to 25; carol's three records are one process.
  EXPECT_NE(json.out.find("{\"product\": \"CAD Pro\", \"peak_users\": 3, \"peak_users_at\": "
                          "\"2026-12-06T23:33:40Z\", \"peak_processes\": 4, \"users\": 3, "
                          "\"computers\": 3, \"hours\": 0.05, \"prime_hours\": 0.05, "
                          "\"non_prime_hours\": 0.01}"),
            std::string::npos)
      << json.out;
  // Each user alone: one user's two instances are one licence.
  Outcome byUser = print("--by user --format csv");
  EXPECT_NE(byUser.out.find("CAD Pro,\\\\site\\alice,1,2026-12-06T23:33:20Z,2,1,1,0.03,0.03,0.00"),
            std::string::npos)
      << byUser.out;
  EXPECT_NE(byUser.out.find("CAD Pro,\\\\site\\carol,1,2026-12-06T23:33:40Z,1,1,1,0.01,0.00,0.01"),
            std::string::npos)
      << byUser.out;
  // A period that starts at 45 s sees alice and bob only.
  Outcome later = print("--from 2026-12-06T23:34:05 --format csv");
  EXPECT_NE(later.out.find("CAD Pro,2,2026-12-06T23:34:05Z,2,2,2,"), std::string::npos)
      << later.out;
}

TEST_P(ReportTest, AFileIsLoadedOnceWhateverItsNameAndADamagedOneNotAtAll) {
  std::string good = usage(kT, 60, "alice", "vm1", "Bob's; DROP TABLE usage_interval; -- 製図");
  file("a/ProcessLog-1.data", good);
  file("b/copy-of-it.data", good);
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"cut.data", good + "1:1796600100:31:0:N/A:0:vm1"},
      {"alien.data", good + "hello\nworld\n"},
      {"field.data", good + usage(kT, 60, "bob", "vm2").replace(2, 10, "17966x0000")},
      {"negative.data", good + usage(kT, -5, "bob", "vm2")},
      {"future.data", good + usage(4102444800LL, 5, "bob", "vm2")},
      {"lonely.data", good + "1:1796600000:31:0:N/A:0:vm1:0:amd64:0:Debian:0:cad:0:x:0:/:0:prime:0:u:0:1\n"},
      {"long.data", good + usage(kT, 5, "bob", "vm2", std::string(513, 'x'))},
      // 200 bytes that are no UTF-8: 600 as stored.
      {"wide.data", good + usage(kT, 5, "bob", "vm2", std::string(200, '\xff'))},
  };
  for (const auto& [name, content] : damaged) file("c/" + name, content);
  // A link in a spool is not followed: it could lead anywhere its maker chose.
  std::filesystem::create_symlink(dir_.file("a/ProcessLog-1.data"), dir_.file("c/link.data"));
  Outcome loaded = load(dir_.file("a") + " " + dir_.file("b") + " " + dir_.file("c"));
  EXPECT_EQ(loaded.status, 1);
  EXPECT_NE(loaded.out.find("loaded 1 file(s) with 1 record(s); 1 loaded before; 9 refused"),
            std::string::npos)
      << loaded.out;
  EXPECT_NE(loaded.out.find("9 file(s) refused"), std::string::npos);
  for (const char* refusal :
       {"cut.data:3: 2 fields where 10 belong", "alien.data:3: not a record",
        "field.data:3: the time does not parse", "negative.data:4: the length is negative",
        "future.data:3: the record starts in the future", "lonely.data:3: the record is cut short",
        "long.data:3: the product name is longer than 512 bytes",
        "wide.data:3: the product name is longer than 512 bytes",
        "link.data: a symbolic link, not followed"}) {
    EXPECT_NE(loaded.out.find(refusal), std::string::npos) << refusal << "\n" << loaded.out;
  }
  // Loaded again, nothing more; the odd product name is as it came, and only once.
  EXPECT_EQ(load(dir_.file("a")).status, 0);
  Outcome csv = print("--format csv");
  EXPECT_NE(csv.out.find("Bob's; DROP TABLE usage_interval; -- 製図,1,2026-12-06T23:33:20Z,1,1,1,0.02"),
            std::string::npos)
      << csv.out;
  EXPECT_EQ(csv.out.find("bob"), std::string::npos) << csv.out;
  // A pattern is matched as a pattern, not as SQL.
  EXPECT_NE(print("--product 'Bob?s;*' --format csv").out.find("Bob's;"), std::string::npos);
  EXPECT_EQ(print("--product 'Bob%' --format csv").out.find("Bob's;"), std::string::npos);
}

TEST_P(ReportTest, ForgedLengthsShortRunsAndFailedMovesNeitherBreakNorBendTheReport) {
  // A length that would overflow every sum, and one that ends in the future: refused.
  file("forged/a.data", usage(kT, 9223372036854775807LL, "mallory", "vm9"));
  file("forged/b.data", usage(kT, 4000000000LL, "mallory", "vm9"));
  Outcome forged = load(dir_.file("forged"));
  EXPECT_NE(forged.out.find("a.data:2: the record ends in the future"), std::string::npos)
      << forged.out;
  EXPECT_NE(forged.out.find("b.data:2: the record ends in the future"), std::string::npos);
  // Runs shorter than a second are recorded with length 0 and ran within their second: two at
  // once are two users, also when the period starts at that very second.
  file("spool/a.data", usage(kT, 0, "alice", "vm1") + usage(kT, 0, "bob", "vm2") +
                           usage(kT + 1, 0, "carol", "vm3"));
  // Into a folder that is not there: loaded, said, and the status says so; nothing crashes.
  Outcome moved = report("load --database " + shellWord(database_) + " --move-to " +
                         dir_.file("missing") + " " + dir_.file("spool"));
  EXPECT_EQ(moved.status, 1) << moved.out;
  EXPECT_NE(moved.out.find("1 loaded file(s) not moved"), std::string::npos) << moved.out;
  // Into a folder that has a file of its name: moved beside it, which stays as it was.
  file("done/a.data", "kept");
  moved = report("load --database " + shellWord(database_) + " --move-to " + dir_.file("done") +
                 " " + dir_.file("spool"));
  EXPECT_EQ(moved.status, 0) << moved.out;
  EXPECT_FALSE(std::filesystem::exists(dir_.file("spool/a.data")));
  EXPECT_EQ(readFile(dir_.file("done/a.data")), "kept");
  EXPECT_TRUE(std::filesystem::exists(dir_.file("done/a.data.1")));
  for (const char* from : {"", "--from 2026-12-06T23:33:20 "}) {
    Outcome csv = print(std::string(from) + "--format csv");
    EXPECT_NE(csv.out.find("\nCAD Pro,2,2026-12-06T23:33:20Z,2,3,3,0.00,0.00,0.00\n"),
              std::string::npos)
        << from << csv.out;
  }
  // Dates that name no moment, and an empty period, are refused.
  for (const char* wrong : {"--from 2026-02-30", "--to 2026-12-01T24:30", "--from 2026-12-08 --to 2026-12-01"}) {
    EXPECT_EQ(print(wrong).status, 2) << wrong;
  }
  // A report of a database that is not there does not make one.
  EXPECT_EQ(report("report --database " + dir_.file("typo.db")).status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("typo.db")));
}

TEST_P(ReportTest, ASmallLoadGoesIntoTheIndexOfALargeDatabaseAndEveryLoadLeavesTheIndex) {
  // Forty runs one after another: a load large beside an empty database (made without the
  // index, which is made after it).
  std::string many;
  for (int i = 0; i < 40; ++i) many += usage(kT + i * 10, 5, "u" + std::to_string(i), "vm1");
  file("many.data", many);
  ASSERT_EQ(load(dir_.file("many.data")).status, 0);
  // Two late runs beside u10's (100 to 105 s): small beside forty, so put into the index.
  file("late.data", usage(kT + 100, 10, "late1", "vm1") + usage(kT + 102, 10, "late2", "vm1"));
  Outcome late = load(dir_.file("late.data"));
  ASSERT_EQ(late.status, 0) << late.out;
  EXPECT_NE(print("--format csv").out.find("\nCAD Pro,3,2026-12-06T23:35:02Z,3,42,1,0.06,0.06,0.00\n"),
            std::string::npos)
      << print("--format csv").out;
  std::string indexes;
  if (std::string(GetParam()) == "sqlite") {
    indexes = run("sqlite3 " + shellWord(database_) +
                  " \"SELECT name FROM sqlite_master WHERE type = 'index'\"").out;
  } else {
    indexes = run("psql -At " + shellWord(database_) +
                  " -c \"SELECT indexname FROM pg_indexes WHERE tablename = 'usage_interval'\"").out;
  }
  EXPECT_NE(indexes.find("usage_interval_for_report"), std::string::npos) << indexes;
}

TEST_P(ReportTest, ThePageDrawsAChartPerProductInABrowser) {
  file("ProcessLog-1.data", usage(kT, 3 * 3600, "alice", "vm1") +
                                usage(kT + 600, 7200, "bob", "vm2") +
                                usage(kT + 60, 600, "carol", "vm3", "Writer </script> & \"Co\""));
  ASSERT_EQ(load(dir_.file("ProcessLog-1.data")).status, 0);
  std::string page = dir_.file("report.html");
  ASSERT_EQ(print("--html " + page).status, 0);
  // A check beside the page, as the test's own: every script error, and each chart's pixels.
  std::string checked = dir_.file("checked.html");
  std::string html = readFile(page);
  html.insert(html.find("<script>"),
              "<script>window.errors = []; window.onerror = (m) => { window.errors.push(m); };"
              "</script>");
  html.insert(html.rfind("</body>"),
              "<script>const drawn = [...document.querySelectorAll('canvas')].filter(c => "
              "c.getContext('2d').getImageData(0, 0, c.width, c.height).data.some(v => v > 0));"
              "document.body.setAttribute('data-check', 'charts=' + "
              "document.querySelectorAll('canvas').length + ' drawn=' + drawn.length + "
              "' errors=' + window.errors.length);</script>");
  writeFile(checked, html);
  std::string browser = "chromium --headless --no-sandbox --disable-gpu --window-size=1200,1600 ";
  FILE* pipe = ::popen((browser + "--dump-dom file://" + checked + " 2>/dev/null").c_str(), "r");
  std::string dom;
  char buffer[4096];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) dom.append(buffer, got);
  ::pclose(pipe);
  EXPECT_NE(dom.find("data-check=\"charts=2 drawn=2 errors=0\""), std::string::npos)
      << dom.substr(0, 2000);
  EXPECT_NE(dom.find("Writer &lt;/script&gt; &amp; \"Co\""), std::string::npos);
  // Kept beside the test's results, for a look at what the page shows.
  std::string screenshot = std::string(SCREENSHOT_DIR) + "/report-" + GetParam() + ".png";
  std::system((browser + "--screenshot=" + screenshot + " file://" + page + " > /dev/null 2>&1").c_str());
  EXPECT_TRUE(std::filesystem::exists(screenshot));
}

TEST(Sha256Test, KnownDigests) {
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Two blocks of padding, and a length that fills the first to the byte.
  EXPECT_EQ(sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

INSTANTIATE_TEST_SUITE_P(BothDatabases, ReportTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace Vantor::report
