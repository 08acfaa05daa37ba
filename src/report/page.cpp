#include "report/page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "record/production_log.h"

namespace {

const char kOk[] = "#2e7d32";
const char kFailed[] = "#c62828";
const char kInterrupted[] = "#ef8f00";
const char kBar[] = "#1565c0";
const char* const kStationColours[] = {"#1565c0", "#00897b", "#8e24aa", "#f4511e",
                                       "#6d4c41", "#3949ab", "#c0ca33", "#546e7a"};

const char kStyle[] =
    "*{box-sizing:border-box}"
    "body{font-family:system-ui,'Segoe UI',Roboto,Helvetica,Arial,sans-serif;color:#1d2430;background:#f3f5f8;"
    "margin:0;padding:24px;font-size:14px;line-height:1.4}"
    "main{max-width:1100px;margin:0 auto}"
    "h1{font-size:26px;margin:0 0 4px}h2{font-size:17px;margin:0 0 10px;color:#233047}"
    ".sub{color:#5b6678;margin:0 0 18px}"
    ".kpis{display:flex;flex-wrap:wrap;gap:12px;margin-bottom:18px}"
    ".kpi{background:#fff;border-radius:8px;padding:12px 16px;min-width:130px;flex:1;"
    "box-shadow:0 1px 2px rgba(0,0,0,.08);border-top:4px solid #90a4ae}"
    ".kpi b{display:block;font-size:26px;font-variant-numeric:tabular-nums}.kpi span{color:#5b6678}"
    ".kpi.ok{border-color:#2e7d32}.kpi.bad{border-color:#c62828}.kpi.int{border-color:#ef8f00}"
    ".kpi.y{border-color:#1565c0}"
    "section{background:#fff;border-radius:8px;padding:16px 18px;margin-bottom:16px;"
    "box-shadow:0 1px 2px rgba(0,0,0,.08);break-inside:avoid}"
    ".row{display:flex;flex-wrap:wrap;gap:18px;align-items:flex-start}.row>*{flex:1 1 320px;min-width:0}"
    "svg{max-width:100%;height:auto}svg text{font-family:inherit;font-size:11px;fill:#1d2430}"
    "table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums}"
    "th,td{padding:3px 8px;border-bottom:1px solid #e3e7ee;text-align:left;vertical-align:top}"
    "th{background:#eef1f6;font-weight:600}td.n,th.n{text-align:right}"
    "td.w{word-break:break-all}tr.flag td{background:#fdecea}"
    ".tag{display:inline-block;background:#c62828;color:#fff;border-radius:3px;padding:0 5px;font-size:11px;"
    "margin-left:4px;white-space:nowrap;word-break:normal}.note{color:#5b6678;font-size:12px;margin:6px 0 0}"
    ".key span{display:inline-block;width:10px;height:10px;margin:0 4px 0 10px;border-radius:2px}"
    "footer{color:#5b6678;font-size:12px;margin-top:8px}"
    "@page{size:A4;margin:12mm}"
    "@media print{body{background:#fff;padding:0;font-size:11px}section,.kpi{box-shadow:none;"
    "border:1px solid #ccd3dd}section{padding:8px 10px}.row>*{flex-basis:45%}}";

std::string fmt(const char* format, double v) {
  char text[64];
  snprintf(text, sizeof text, format, v);
  return text;
}

std::string num(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
    out += digits[k];
  }
  return out;
}

std::string pct(double yield) { return yield < 0 ? "&ndash;" : fmt("%.1f&nbsp;%%", yield); }

std::string when(int64_t utc) {
  std::string s = iso8601_utc(utc);
  if (s.size() == 20) s = s.substr(0, 10) + " " + s.substr(11, 8);
  return s;
}

std::string secs(uint32_t tenths) {
  return tenths >= kCycleBins - 1 ? "&ge;&nbsp;3600&nbsp;s" : fmt("%.1f&nbsp;s", tenths / 10.0);
}

// A label for a chart, cut short at its start (a port's name ends in what tells it apart)
// so that it fits beside the bars; the table has it whole.
std::string label(const std::string& text, size_t width, int keep_start = 0) {
  if (text.size() <= width) return html_text(text);
  return html_text(keep_start ? text.substr(0, width - 1) + "~" : "~" + text.substr(text.size() - (width - 1)));
}

// Horizontal bars, one a row: label, bar, the value's text at its end.
struct HBar {
  std::string label, value, colour;
  double share;  // 0..1 of the bar's full length
};
std::string hbars(const std::vector<HBar>& rows, const char* title) {
  const int kRow = 22, kLabel = 160, kWidth = 460, kBarMax = kWidth - kLabel - 90;
  int height = static_cast<int>(rows.size()) * kRow + 6;
  std::string s = "<svg viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(height) + "\" width=\"" +
                  std::to_string(kWidth) + "\" role=\"img\" aria-label=\"" + html_text(title) + "\">";
  for (size_t k = 0; k < rows.size(); ++k) {
    int y = static_cast<int>(k) * kRow + 4;
    int w = static_cast<int>(rows[k].share * kBarMax + 0.5);
    s += "<text x=\"" + std::to_string(kLabel - 6) + "\" y=\"" + std::to_string(y + 14) + "\" text-anchor=\"end\">" +
         rows[k].label + "</text>";
    s += "<rect x=\"" + std::to_string(kLabel) + "\" y=\"" + std::to_string(y + 2) + "\" width=\"" +
         std::to_string(std::max(w, 1)) + "\" height=\"16\" rx=\"2\" fill=\"" + rows[k].colour + "\"/>";
    s += "<text x=\"" + std::to_string(kLabel + w + 5) + "\" y=\"" + std::to_string(y + 14) + "\">" + rows[k].value +
         "</text>";
  }
  return s + "</svg>";
}

// A round step for an axis up to v: 1, 2 or 5 times a power of ten, at most 5 steps.
double nice_step(double v) {
  double power = 1;
  while (power * 10 <= v / 5) power *= 10;
  for (double m : {1.0, 2.0, 5.0})
    if (m * power * 5 >= v) return m * power;
  return 10 * power;
}

// Vertical bars, each stacked from parts; x labels under some bars.
struct VBar {
  std::vector<std::pair<double, std::string>> parts;  // value, colour
  std::string label;                                  // empty: none under this bar
};
std::string vbars(const std::vector<VBar>& bars, const char* title,
                  const std::vector<std::pair<double, std::string>>& marks) {
  const int kWidth = 960, kHeight = 230, kLeft = 44, kBottom = 34, kTop = 18;
  double top = 1;
  for (const VBar& b : bars) {
    double sum = 0;
    for (const auto& p : b.parts) sum += p.first;
    top = std::max(top, sum);
  }
  const double step = nice_step(top);
  const int lines = static_cast<int>(std::ceil(top / step - 1e-9));
  top = step * lines;
  const double plot_w = kWidth - kLeft - 8, plot_h = kHeight - kBottom - kTop;
  const double slot = plot_w / std::max<size_t>(bars.size(), 1);
  std::string s = "<svg viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\" width=\"" +
                  std::to_string(kWidth) + "\" role=\"img\" aria-label=\"" + html_text(title) + "\">";
  for (int g = 0; g <= lines; ++g) {
    double y = kTop + plot_h - plot_h * g / lines;
    s += "<line x1=\"" + std::to_string(kLeft) + "\" x2=\"" + std::to_string(kWidth - 8) + "\" y1=\"" + fmt("%.1f", y) +
         "\" y2=\"" + fmt("%.1f", y) + "\" stroke=\"#e3e7ee\"/>";
    s += "<text x=\"" + std::to_string(kLeft - 4) + "\" y=\"" + fmt("%.1f", y + 4) + "\" text-anchor=\"end\">" +
         fmt("%g", step * g) + "</text>";
  }
  for (size_t k = 0; k < bars.size(); ++k) {
    double x = kLeft + slot * static_cast<double>(k), base = kTop + plot_h;
    for (const auto& p : bars[k].parts) {
      double h = plot_h * p.first / top;
      if (h <= 0) continue;
      base -= h;
      s += "<rect x=\"" + fmt("%.1f", x + slot * 0.1) + "\" y=\"" + fmt("%.1f", base) + "\" width=\"" +
           fmt("%.1f", std::max(slot * 0.8, 1.0)) + "\" height=\"" + fmt("%.1f", h) + "\" fill=\"" + p.second + "\"/>";
    }
    if (!bars[k].label.empty())
      s += "<text x=\"" + fmt("%.1f", x + slot / 2) + "\" y=\"" + std::to_string(kHeight - kBottom + 14) +
           "\" text-anchor=\"middle\">" + bars[k].label + "</text>";
  }
  for (const auto& [at, text] : marks) {  // at: in bars from the left edge
    double x = kLeft + slot * at;
    s += "<line x1=\"" + fmt("%.1f", x) + "\" x2=\"" + fmt("%.1f", x) + "\" y1=\"" + std::to_string(kTop - 4) +
         "\" y2=\"" + fmt("%.1f", kTop + plot_h) + "\" stroke=\"#1d2430\" stroke-dasharray=\"4 3\"/>";
    s += "<text x=\"" + fmt("%.1f", x + 3) + "\" y=\"" + std::to_string(kTop + 6) + "\">" + text + "</text>";
  }
  s += "<line x1=\"" + std::to_string(kLeft) + "\" x2=\"" + std::to_string(kWidth - 8) + "\" y1=\"" +
       fmt("%.1f", kTop + plot_h) + "\" y2=\"" + fmt("%.1f", kTop + plot_h) + "\" stroke=\"#90a4ae\"/>";
  return s + "</svg>";
}

std::string td(const std::string& html, const char* cls = nullptr) {
  return cls ? "<td class=\"" + std::string(cls) + "\">" + html + "</td>" : "<td>" + html + "</td>";
}
std::string tdn(const std::string& html) { return td(html, "n"); }

std::string kpi(const char* cls, const char* id, const std::string& value, const char* what) {
  return "<div class=\"kpi " + std::string(cls) + "\"><b id=\"" + id + "\">" + value + "</b><span>" + what +
         "</span></div>";
}

std::string counts_cells(const Counts& c) {
  return tdn(num(c.boards)) + tdn(num(c.ok)) + tdn(num(c.failed)) + tdn(num(c.interrupted)) +
         tdn(pct(yield_percent(c)));
}

void ports_section(const Tally& t, std::string* h) {
  std::vector<PortRank> ranks = rank_ports(t);
  std::vector<HBar> bars;
  std::string rows;
  size_t flagged = 0;
  for (const PortRank& r : ranks) {
    std::string name = t.hosts.size() > 1 ? r.host + " " + r.port : r.port;
    bars.push_back(HBar{label(name, 24), pct(r.yield),
                        r.flagged     ? kFailed
                        : r.yield < 0 ? "#90a4ae"
                                      : kOk,
                        r.yield < 0 ? 0 : r.yield / 100});
    rows += std::string(r.flagged ? "<tr class=\"flag\">" : "<tr>") + td(html_text(r.host), "w") +
            td(html_text(r.port) + (r.flagged ? "<span class=\"tag\">well below the rest</span>" : ""), "w") +
            counts_cells(r.counts) + "</tr>";
    flagged += r.flagged;
  }
  *h += "<section><h2>Yield by port, worst first</h2>";
  if (!ranks.empty())
    *h += "<p class=\"sub\">Worst port: <b id=\"worst-port\">" + html_text(ranks[0].host) + " " +
          html_text(ranks[0].port) + "</b> at " + pct(ranks[0].yield) +
          (flagged ? ". Flagged: " + std::to_string(flagged) + " port(s) well below the rest." : ".") + "</p>";
  *h += "<div class=\"row\"><div>" + hbars(bars, "yield by port") +
        "</div><div><table><tr><th>Station</th><th>Port</th><th class=\"n\">Boards</th><th class=\"n\">OK</th>"
        "<th class=\"n\">Failed</th><th class=\"n\">Interr.</th><th class=\"n\">Yield</th></tr>" +
        rows + "</table></div></div>";
  *h +=
      "<p class=\"note\">Yield is ok / (ok + failed); interrupted boards were stopped, not judged. A port is "
      "flagged when it has at least 5 judged boards, its yield is 5 points or more below all other ports "
      "together and it fails at least twice as often.</p></section>";
}

void stations_section(const Tally& t, std::string* h) {
  std::vector<HBar> bars;
  std::string rows;
  uint64_t most = 1;
  for (const auto& [host, c] : t.hosts) most = std::max(most, c.boards);
  size_t k = 0;
  for (const auto& [host, c] : t.hosts) {
    const char* colour = kStationColours[k++ % 8];
    bars.push_back(HBar{label(host, 24), num(c.boards) + " &middot; " + pct(yield_percent(c)), colour,
                        static_cast<double>(c.boards) / static_cast<double>(most)});
    rows += "<tr>" + td(html_text(host), "w") + counts_cells(c) + "</tr>";
  }
  *h += "<section><h2>Boards and yield by station</h2><div class=\"row\"><div>" + hbars(bars, "boards by station") +
        "</div><div><table><tr><th>Station</th><th class=\"n\">Boards</th><th class=\"n\">OK</th>"
        "<th class=\"n\">Failed</th><th class=\"n\">Interr.</th><th class=\"n\">Yield</th></tr>" +
        rows + "</table></div></div></section>";
}

void failures_section(const Tally& t, std::string* h) {
  *h += "<section><h2>Failures by step</h2>";
  std::vector<StepRow> steps = pareto_steps(t);
  if (steps.empty()) {
    *h += "<p>No board failed.</p></section>";
    return;
  }
  std::vector<HBar> bars;
  std::string rows;
  for (const StepRow& s : steps) {
    if (bars.size() < 15)
      bars.push_back(HBar{label(s.step.empty() ? "(no step given)" : s.step, 24, 1), num(s.boards), kFailed,
                          static_cast<double>(s.boards) / static_cast<double>(steps[0].boards)});
    rows += "<tr>" + td(html_text(s.step.empty() ? "(no step given)" : s.step), "w") + tdn(num(s.boards)) +
            tdn(fmt("%.1f&nbsp;%%", s.cumulative)) + "</tr>";
  }
  *h += "<div class=\"row\"><div>" + hbars(bars, "failures by step") +
        "</div><div><table><tr><th>Step</th><th class=\"n\">Failed</th><th class=\"n\">Cumulative</th></tr>" + rows +
        "</table></div></div>";
  // By port, the ports with failures, most first.
  std::vector<std::pair<uint64_t, std::string>> by_port;
  for (const auto& [key, c] : t.ports)
    if (c.failed) by_port.push_back({c.failed, (t.hosts.size() > 1 ? key.first + " " : "") + key.second});
  std::stable_sort(by_port.begin(), by_port.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  bars.clear();
  rows.clear();
  for (const auto& [n, name] : by_port) {
    if (bars.size() < 15)
      bars.push_back(
          HBar{label(name, 24), num(n), kFailed, static_cast<double>(n) / static_cast<double>(by_port[0].first)});
    rows += "<tr>" + td(html_text(name), "w") + tdn(num(n)) +
            tdn(fmt("%.1f&nbsp;%%", 100.0 * static_cast<double>(n) / static_cast<double>(t.all.failed))) + "</tr>";
  }
  *h += "<h2>Failures by port</h2><div class=\"row\"><div>" + hbars(bars, "failures by port") +
        "</div><div><table><tr><th>Port</th><th class=\"n\">Failed</th><th class=\"n\">Share</th></tr>" + rows +
        "</table></div></div></section>";
}

void hourly_section(const Tally& t, std::string* h) {
  Buckets b = hourly_buckets(t);
  if (b.boards.empty()) return;
  std::vector<VBar> bars;
  size_t every = (b.boards.size() + 11) / 12;
  std::string head = "<tr><th>From (UTC)</th>", rows;
  for (size_t s = 0; s < b.stations.size(); ++s) head += "<th class=\"n\">" + html_text(b.stations[s]) + "</th>";
  head += b.stations.size() > 1 ? "<th class=\"n\">All</th></tr>" : "</tr>";
  for (size_t k = 0; k < b.boards.size(); ++k) {
    int64_t start = (b.first + static_cast<int64_t>(k) * b.hours) * 3600;
    std::string w = when(start);
    VBar bar;
    bar.label = k % every ? "" : b.hours >= 24 ? w.substr(5, 5) : w.substr(11, 5);
    uint64_t all = 0;
    std::string cells;
    for (size_t s = 0; s < b.stations.size(); ++s) {
      bar.parts.push_back({static_cast<double>(b.boards[k][s]), kStationColours[s % 8]});
      all += b.boards[k][s];
      cells += tdn(num(b.boards[k][s]));
    }
    bars.push_back(bar);
    if (all == 0) continue;  // the chart shows the gap; the table lists the buckets with boards
    rows += "<tr>" + td(w.substr(0, b.hours >= 24 ? 10 : 16)) + cells + (b.stations.size() > 1 ? tdn(num(all)) : "") +
            "</tr>";
  }
  std::string key = "<p class=\"key\">";
  for (size_t s = 0; s < b.stations.size(); ++s)
    key += "<span style=\"background:" + std::string(kStationColours[s % 8]) + "\"></span>" + html_text(b.stations[s]);
  std::string per = b.hours == 1         ? "hour"
                    : b.hours % 168 == 0 ? std::to_string(b.hours / 168) + " week(s)"
                    : b.hours % 24 == 0  ? std::to_string(b.hours / 24) + " day(s)"
                                         : std::to_string(b.hours) + " hours";
  *h += "<section><h2>Boards per " + per + ", by station</h2>" + vbars(bars, "boards over time", {}) + key +
        "</p><table>" + head + rows + "</table></section>";
}

void cycle_section(const Tally& t, std::string* h) {
  if (t.all.boards == 0) return;
  uint32_t lo = 0, hi = 0;
  while (lo + 1 < kCycleBins && t.cycle[lo] == 0) ++lo;
  uint32_t median = cycle_percentile(t.cycle, 0.5), p95 = cycle_percentile(t.cycle, 0.95),
           p99 = cycle_percentile(t.cycle, 0.99);
  for (uint32_t v = 0; v < kCycleBins; ++v)
    if (t.cycle[v]) hi = v;
  double sum = 0;
  for (uint32_t v = 0; v < kCycleBins; ++v) sum += static_cast<double>(t.cycle[v]) * v;
  // Bars of a round width, at most 40 of them, up to the 99th percentile; the rest share the last.
  uint32_t width = 1;
  for (uint32_t w : {1u, 2u, 5u, 10u, 20u, 50u, 100u, 200u, 300u, 600u, 1200u, 3000u, 6000u, 36000u}) {
    width = w;
    if ((p99 / w) - (lo / w) + 1 <= 40) break;
  }
  uint32_t first = lo / width, last = std::max(p99 / width, first);
  std::vector<VBar> bars;
  std::vector<uint64_t> counts(last - first + 1, 0);
  for (uint32_t v = 0; v < kCycleBins; ++v)
    if (t.cycle[v]) counts[std::min(std::max(v / width, first), last) - first] += t.cycle[v];
  size_t every = (counts.size() + 9) / 10;
  for (size_t k = 0; k < counts.size(); ++k)
    bars.push_back(
        VBar{{{static_cast<double>(counts[k]), kBar}}, k % every ? "" : fmt("%g", (first + k) * width / 10.0)});
  auto at = [&](uint32_t v) { return (static_cast<double>(v) / width - first) + 0.5; };
  std::string chart = vbars(bars, "cycle time histogram", {{at(median), "median"}, {at(p95), "p95"}});
  *h += "<section><h2>Cycle time (found to verdict)</h2>" + chart + "<div class=\"row\"><div>" +
        "<p class=\"note\">Bars of " + fmt("%g", width / 10.0) +
        "&nbsp;s, marked at the median and the 95th "
        "percentile" +
        (hi > last * width + width - 1 ? "; the last bar also holds the slowest 1&nbsp;%" : "") +
        ".</p></div><div><table>" + "<tr><td>Boards</td>" + tdn(num(t.all.boards)) + "</tr><tr><td>Fastest</td>" +
        tdn(secs(lo)) + "</tr><tr><td>Median</td>" + tdn("<span id=\"median\">" + secs(median) + "</span>") +
        "</tr><tr><td>95th percentile</td>" + tdn("<span id=\"p95\">" + secs(p95) + "</span>") +
        "</tr><tr><td>Mean</td>" + tdn(fmt("%.1f&nbsp;s", sum / static_cast<double>(t.all.boards) / 10)) +
        "</tr><tr><td>Slowest</td>" + tdn(secs(hi)) +
        "</tr></table><p class=\"note\">Percentiles by nearest rank "
        "over a histogram of 0.1&nbsp;s bins (the record's resolution) up to one hour.</p></div></div></section>";
}

void builds_table(const std::map<std::string, Seen>& seen, const char* title, int names, std::string* h) {
  *h += "<h2>" + std::string(title) + "</h2>";
  if (seen.empty()) {
    *h += "<p>None recorded.</p>";
    return;
  }
  std::vector<std::pair<std::string, const Seen*>> order;
  for (const auto& [sha, s] : seen) order.push_back({sha, &s});
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.second->first < b.second->first; });
  *h += std::string("<table><tr>") + (names ? "<th>File</th>" : "") +
        "<th>SHA-256</th><th>First sent</th><th>Last sent</th><th class=\"n\">Boards</th></tr>";
  for (const auto& [sha, s] : order) {
    std::string files;
    for (const std::string& n : s->names) files += (files.empty() ? "" : "<br>") + html_text(n);
    *h += "<tr>" + (names ? td(files, "w") : "") + td("<code>" + html_text(sha) + "</code>", "w") + td(when(s->first)) +
          td(when(s->last)) + tdn(num(s->boards)) + "</tr>";
  }
  *h += "</table>";
}

void serials_section(const Tally& t, std::string* h) {
  if (!t.serial_column) return;
  *h += "<section><h2>Serial numbers</h2>";
  if (t.serials == 0) {
    *h += "<p>The records have the serial column, but no board was given a number.</p></section>";
    return;
  }
  std::string failed;
  size_t listed = 0, total = t.serials_not_ok;
  for (const ListedBoard& b : t.failures)
    if (!b.serial.empty() && listed++ < 200) failed += (failed.empty() ? "" : ", ") + html_text(b.serial);
  *h += "<table><tr><td>Given</td>" + tdn(num(t.serials)) + "</tr><tr><td>Lowest</td>" + tdn(html_text(t.serial_low)) +
        "</tr><tr><td>Highest</td>" + tdn(html_text(t.serial_high)) +
        "</tr><tr><td>On failed or interrupted boards</td>" + tdn(num(total)) + "</tr></table>";
  if (total)
    *h += "<p class=\"note\">Not on a good board: " + failed + (total > std::min<size_t>(listed, 200) ? ", ..." : "") +
          "</p>";
  *h += "</section>";
}

void failed_boards_section(const Tally& t, std::string* h) {
  *h += "<section><h2>Failed and interrupted boards</h2>";
  if (t.failures.empty()) {
    *h += "<p>None.</p></section>";
    return;
  }
  std::vector<ListedBoard> list = t.failures;
  std::stable_sort(list.begin(), list.end(), [](const ListedBoard& a, const ListedBoard& b) { return a.utc < b.utc; });
  if (t.failures_total > list.size())
    *h += "<p class=\"note\">The latest " + num(list.size()) + " of " + num(t.failures_total) + ".</p>";
  *h +=
      "<table><tr><th>Time (UTC)</th><th>Station</th><th>Port</th><th class=\"n\">Board</th><th>Result</th>"
      "<th>Step</th><th>Serial</th></tr>";
  for (const ListedBoard& b : list)
    *h += "<tr>" + td(when(b.utc)) + td(html_text(b.host), "w") + td(html_text(b.port), "w") +
          tdn(std::to_string(b.board)) +
          td("<span style=\"color:" + std::string(b.result == "failed" ? kFailed : kInterrupted) + "\">" +
             html_text(b.result) + "</span>") +
          td(html_text(b.failed_step), "w") + td(html_text(b.serial), "w") + "</tr>";
  *h += "</table></section>";
}

void bad_lines_section(const Tally& t, std::string* h) {
  if (t.bad_total == 0) return;
  *h += "<section><h2>Lines that could not be read</h2><p><span id=\"unreadable\">" + num(t.bad_total) +
        "</span> line(s) were skipped; the figures above leave them out.</p><table><tr><th>File</th>"
        "<th class=\"n\">Line</th><th>Why</th></tr>";
  for (const BadLine& b : t.bad_lines)
    *h += "<tr>" + td(html_text(b.file), "w") + tdn(num(b.line)) + td(html_text(b.why), "w") + "</tr>";
  if (t.bad_total > t.bad_lines.size())
    *h += "<tr><td colspan=\"3\">... and " + num(t.bad_total - t.bad_lines.size()) + " more</td></tr>";
  *h += "</table></section>";
}

}  // namespace

std::string html_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string report_page(const Tally& t, const char* version) {
  std::string period = t.all.boards ? when(t.first_utc) + " to " + when(t.last_utc) + " UTC" : "no boards";
  std::string h =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>Shift report, " +
      period + "</title><style>" + kStyle + "</style></head><body><main>\n";
  h += "<h1>Shift report</h1><p class=\"sub\"><span id=\"period\">" + period + "</span> &middot; " +
       num(t.files.size()) + " record file(s), " + num(t.hosts.size()) + " station(s), " + num(t.ports.size()) +
       " port(s)</p>\n<div class=\"kpis\">" + kpi("", "boards", num(t.all.boards), "boards") +
       kpi("ok", "ok", num(t.all.ok), "ok") + kpi("bad", "failed", num(t.all.failed), "failed") +
       kpi("int", "interrupted", num(t.all.interrupted), "interrupted") +
       kpi("y", "yield", pct(yield_percent(t.all)), "yield") +
       kpi("", "cycle", t.all.boards ? secs(cycle_percentile(t.cycle, 0.5)) : "&ndash;", "median cycle") + "</div>\n";
  if (t.bad_total)
    h += "<p class=\"note\"><b>" + num(t.bad_total) +
         " line(s) could not be read</b> and are left out; they are "
         "listed at the end.</p>";
  ports_section(t, &h);
  if (t.hosts.size() > 1) stations_section(t, &h);
  failures_section(t, &h);
  hourly_section(t, &h);
  cycle_section(t, &h);
  h += "<section>";
  builds_table(t.builds, "Builds sent (image SHA-256)", 1, &h);
  builds_table(t.bootloaders, "Bootloaders sent", 0, &h);
  h += "</section>";
  serials_section(t, &h);
  failed_boards_section(t, &h);
  bad_lines_section(t, &h);
  h += "<footer>Made by vorla-report " + html_text(version) + " from ";
  for (size_t k = 0; k < t.files.size(); ++k) h += (k ? ", " : "") + html_text(t.files[k]);
  return h + ".</footer>\n</main></body></html>\n";
}
