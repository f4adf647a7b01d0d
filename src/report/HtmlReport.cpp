#include "foundation/TextUtils.h"
#include "report/HtmlReport.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <queue>
#include <unordered_map>

#include "report/ReportOutput.h"

namespace Vantor::report {

extern const char kChartJs[];  // the chart library, read from its installed file at build time

namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kDailyAfter = 60 * kDay;

// Users running one product, hour by hour, as its intervals come in start order.
class Timeline {
 public:
  // zoneOffset: seconds east of UTC in which days begin at midnight.
  Timeline(std::int64_t firstStart, std::int64_t zoneOffset)
      : origin_(firstStart / kHour * kHour), zoneOffset_(zoneOffset) {}

  void add(std::int64_t start, std::int64_t end, std::uint32_t user) {
    endUntil(start);
    advanceTo(start);
    if (running_[user]++ == 0) ++users_;
    note();
    ends_.emplace(end, user);
    lastEnd_ = std::max(lastEnd_, end);
  }

  UserTimeline finish(std::string product) {
    endUntil(lastEnd_);
    UserTimeline timeline{std::move(product), origin_, kHour, std::move(peaks_)};
    if (static_cast<std::int64_t>(timeline.peaks.size()) * kHour > kDailyAfter) {
      // Days, each the highest of its hours; the first day starts at its midnight.
      std::int64_t dayStart = (origin_ + zoneOffset_) / kDay * kDay - zoneOffset_;
      std::vector<std::size_t> days((origin_ - dayStart + timeline.peaks.size() * kHour) / kDay + 1);
      for (std::size_t hour = 0; hour < timeline.peaks.size(); ++hour) {
        std::size_t day = (origin_ - dayStart + hour * kHour) / kDay;
        days[day] = std::max(days[day], timeline.peaks[hour]);
      }
      timeline = {timeline.product, dayStart, kDay, std::move(days)};
    }
    return timeline;
  }

 private:
  void endUntil(std::int64_t time) {
    while (!ends_.empty() && ends_.top().first <= time) {
      auto [end, user] = ends_.top();
      ends_.pop();
      advanceTo(std::max(end - 1, origin_));  // it ran up to, not into, its end's second
      if (--running_[user] == 0) --users_;
    }
  }
  // Opens the buckets up to the one of time, each starting with the users running then.
  void advanceTo(std::int64_t time) {
    std::size_t bucket = static_cast<std::size_t>((time - origin_) / kHour);
    while (peaks_.size() <= bucket) peaks_.push_back(users_);
  }
  void note() { peaks_.back() = std::max(peaks_.back(), users_); }

  using End = std::pair<std::int64_t, std::uint32_t>;
  std::int64_t origin_;
  std::int64_t zoneOffset_;
  std::int64_t lastEnd_ = 0;
  std::priority_queue<End, std::vector<End>, std::greater<>> ends_;
  std::unordered_map<std::uint32_t, std::size_t> running_;
  std::size_t users_ = 0;
  std::vector<std::size_t> peaks_;
};

std::string html(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '&': escaped += "&amp;"; break;
      case '"': escaped += "&quot;"; break;
      case '\'': escaped += "&#39;"; break;
      default: escaped.push_back(c);
    }
  }
  return escaped;
}

// JSON that may stand inside a script element: no "</script>" can close it early.
std::string scriptJson(const std::string& text) {
  std::string json = TextUtils::jsonString(text);
  std::string safe;
  for (char c : json) safe += c == '<' ? std::string("\\u003c") : std::string(1, c);
  return safe;
}

std::string tableOf(const std::vector<ProductUsage>& usage, Grouping grouping, bool utc) {
  std::string table = "<table>\n<tr>";
  std::vector<std::string> header = {"Product"};
  if (grouping == Grouping::kUser) header.emplace_back("User");
  if (grouping == Grouping::kComputer) header.emplace_back("Computer");
  for (const char* name : {"Peak users", "Peak users at", "Peak processes", "Users", "Computers",
                           "Hours", "Prime hours", "Non-prime hours"}) {
    header.emplace_back(name);
  }
  for (const std::string& name : header) table += "<th>" + html(name) + "</th>";
  table += "</tr>\n";
  for (const ProductUsage& one : usage) {
    char hours[96];
    std::snprintf(hours, sizeof hours, "<td>%.2f</td><td>%.2f</td><td>%.2f</td>", one.hours,
                  one.primeHours, one.nonPrimeHours);
    table += "<tr><td>" + html(one.product) + "</td>";
    if (grouping != Grouping::kProduct) table += "<td>" + html(one.group) + "</td>";
    table += "<td>" + std::to_string(one.peakUsers) + "</td><td>" +
             html(reportTime(one.peakUsersAt, utc)) + "</td><td>" +
             std::to_string(one.peakProcesses) + "</td><td>" + std::to_string(one.users) +
             "</td><td>" + std::to_string(one.computers) + "</td>" + hours + "</tr>\n";
  }
  return table + "</table>\n";
}

std::string chartData(const std::vector<UserTimeline>& timelines, bool utc) {
  std::string data = "[";
  for (std::size_t t = 0; t < timelines.size(); ++t) {
    const UserTimeline& timeline = timelines[t];
    data += t == 0 ? "\n{" : ",\n{";
    data += "\"product\": " + scriptJson(timeline.product) + ", \"labels\": [";
    for (std::size_t i = 0; i < timeline.peaks.size(); ++i) {
      std::int64_t at = timeline.firstBucket + static_cast<std::int64_t>(i) * timeline.bucketSeconds;
      std::string label = reportTime(at, utc).substr(0, timeline.bucketSeconds == kDay ? 10 : 16);
      data += (i == 0 ? "" : ",") + scriptJson(label);
    }
    data += "], \"users\": [";
    for (std::size_t i = 0; i < timeline.peaks.size(); ++i) {
      data += (i == 0 ? "" : ",") + std::to_string(timeline.peaks[i]);
    }
    data += "]}";
  }
  return data + "\n]";
}

constexpr char kPageScript[] = R"js(
for (const [index, product] of reportData.entries()) {
  const section = document.createElement('section');
  const title = document.createElement('h2');
  title.textContent = product.product;
  const canvas = document.createElement('canvas');
  canvas.id = 'chart-' + index;
  section.append(title, canvas);
  document.getElementById('charts').append(section);
  const peak = Math.max(...product.users);
  const peakAt = product.users.indexOf(peak);
  new Chart(canvas, {
    type: 'line',
    data: {
      labels: product.labels,
      datasets: [{
        label: 'Concurrent users',
        data: product.users,
        stepped: true,
        borderColor: '#1f5fa8',
        pointRadius: product.users.map((_, i) => i === peakAt ? 6 : 0),
        pointBackgroundColor: '#c0392b',
      }],
    },
    options: {
      animation: false,
      scales: { y: { beginAtZero: true, ticks: { precision: 0 } } },
      plugins: { title: { display: true,
        text: 'Peak ' + peak + ' users at ' + product.labels[peakAt] } },
    },
  });
}
document.body.dataset.charts = String(reportData.length);
)js";

}  // namespace

std::vector<UserTimeline> computeTimelines(ReportDatabase& database, const IntervalQuery& query,
                                           bool utc) {
  std::vector<UserTimeline> timelines;
  std::optional<Timeline> timeline;
  std::string product;
  std::unordered_map<std::string, std::uint32_t> users;
  database.eachInterval(query, [&](const IntervalRow& row) {
    std::int64_t start = 0;
    std::int64_t end = 0;
    if (!runningInPeriod(row, query, &start, &end)) return;
    if (!timeline || row.product != product) {
      if (timeline) timelines.push_back(timeline->finish(product));
      timeline.emplace(start, utc ? 0 : localOffsetAt(start));
      product = row.product;
      users.clear();
    }
    auto id = users.try_emplace(row.user, static_cast<std::uint32_t>(users.size())).first->second;
    timeline->add(start, end, id);
  });
  if (timeline) timelines.push_back(timeline->finish(product));
  return timelines;
}

std::string writeHtmlReport(ReportDatabase& database, const IntervalQuery& query,
                            const std::vector<ProductUsage>& usage, Grouping grouping, bool utc,
                            const std::string& path) {
  std::vector<UserTimeline> timelines = computeTimelines(database, query, utc);
  std::ofstream page(path, std::ios::binary | std::ios::trunc);
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       << "<title>Application usage</title>\n<style>\n"
       << "body { font-family: sans-serif; margin: 2em; }\n"
       << "table { border-collapse: collapse; }\n"
       << "th, td { border: 1px solid #ccc; padding: 0.3em 0.6em; text-align: right; }\n"
       << "td:first-child, th:first-child { text-align: left; }\n"
       << "section { max-width: 60em; margin-top: 2em; }\n</style>\n"
       << "<script>\n" << kChartJs << "\n</script>\n</head>\n<body>\n"
       << "<h1>Application usage</h1>\n" << tableOf(usage, grouping, utc)
       << "<div id=\"charts\"></div>\n<script>\nconst reportData = " << chartData(timelines, utc)
       << ";\n" << kPageScript << "</script>\n</body>\n</html>\n";
  page.close();
  return page ? "" : "cannot write " + path;
}

}  // namespace Vantor::report
