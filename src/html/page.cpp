// Rendering the page of a run from its report.
#include "html/page.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "html/page_assets.h"

namespace iochurn {

namespace {

using json = nlohmann::ordered_json;

// The report's format versions this renderer knows.
constexpr int kFirstFormat = 1;
constexpr int kLastFormat = 1;

// Errors listed in the page's table at most; the report keeps the rest.
constexpr size_t kErrorRows = 1000;

// Lookups that never trust the document: a missing key or a value of
// another type gives the fallback (the library would abort otherwise,
// built without exceptions).
const json* field(const json& o, const char* key) {
  if (!o.is_object()) return nullptr;
  auto it = o.find(key);
  return it == o.end() ? nullptr : &*it;
}

const json& object_at(const json& o, const char* key) {
  static const json kEmpty = json::object();
  const json* v = field(o, key);
  return v != nullptr && v->is_object() ? *v : kEmpty;
}

const json& array_at(const json& o, const char* key) {
  static const json kEmpty = json::array();
  const json* v = field(o, key);
  return v != nullptr && v->is_array() ? *v : kEmpty;
}

double number_at(const json& o, const char* key, double fallback = 0.0) {
  const json* v = field(o, key);
  return v != nullptr && v->is_number() ? v->get<double>() : fallback;
}

bool has_number(const json& o, const char* key) {
  const json* v = field(o, key);
  return v != nullptr && v->is_number();
}

std::string string_at(const json& o, const char* key) {
  const json* v = field(o, key);
  return v != nullptr && v->is_string() ? v->get<std::string>() : std::string();
}

bool true_at(const json& o, const char* key) {
  const json* v = field(o, key);
  return v != nullptr && v->is_boolean() && v->get<bool>();
}

// Any value as a short text: strings as they are, others as JSON.
std::string plain_text(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "none";
  if (v.is_boolean()) return v.get<bool>() ? "yes" : "no";
  return v.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string count_text(double n) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", n);
  return text;
}

std::string bytes_text(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (bytes >= 1024.0 && unit < 5) {
    bytes /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes,
                kUnits[unit]);
  return text;
}

std::string rate_text(const json& o, const char* key) {
  if (!has_number(o, key)) return "–";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB/s", number_at(o, key));
  return text;
}

std::string us_text(double us) {
  char text[32];
  if (us >= 1e6)
    std::snprintf(text, sizeof text, "%.2f s", us / 1e6);
  else if (us >= 1e3)
    std::snprintf(text, sizeof text, "%.2f ms", us / 1e3);
  else
    std::snprintf(text, sizeof text, "%.0f µs", us);
  return text;
}

void row(std::string* out, const char* name, const std::string& value,
         const char* value_class = nullptr) {
  *out += "<tr><th>";
  *out += name;
  *out += value_class != nullptr ? "</th><td class=\"" : "</th><td";
  if (value_class != nullptr) {
    *out += value_class;
    *out += '"';
  }
  *out += '>';
  *out += html_escape(value);
  *out += "</td></tr>\n";
}

// The verdict: what was found, how the run ended, after how long.
struct Verdict {
  std::string css;   // "ok", "data", "io", "timeout", "running"
  std::string line;  // the one line a person reads first
  std::string detail;
};

Verdict judge(const json& r) {
  const json& totals = object_at(r, "totals");
  double compare = number_at(totals, "compare_errors");
  double other = number_at(totals, "other_errors");
  double different = number_at(totals, "files_different");
  double bad = 0;
  for (const auto& [kind, n] : object_at(r, "bad_blocks").items())
    if (n.is_number()) bad += n.get<double>();
  bool timed_out = true_at(r, "watchdog_expired") || true_at(r, "wait_timed_out");
  std::string ended = string_at(r, "ended");

  Verdict v;
  std::string found;
  auto add = [&found](const std::string& what) {
    found += found.empty() ? what : " · " + what;
  };
  if (compare > 0 || bad > 0 || different > 0) add("DATA ERRORS");
  if (other > 0) add("I/O ERRORS");
  if (timed_out) add("TIME-OUTS");
  if (found.empty()) found = ended == "running" ? "no errors so far" : "NO ERRORS";
  v.css = compare > 0 || bad > 0 || different > 0 ? "data"
          : other > 0                             ? "io"
          : timed_out                             ? "timeout"
          : ended == "running"                    ? "running"
                                                  : "ok";
  std::string how = ended.empty() ? "unknown" : ended;
  std::string signal = string_at(r, "signal");
  if (!signal.empty()) how += " (" + signal + ")";
  if (string_at(r, "cleanup") == "emergency") how += ", emergency clean-up";
  v.line = found + " — " + (ended == "running" ? "running" : "ended: " + how) +
           " — after " + human_duration(number_at(r, "elapsed_s"));
  v.detail = count_text(compare) + " compare errors, " + count_text(bad) +
             " bad blocks, " + count_text(different) + " files different, " +
             count_text(other) + " other errors";
  if (has_number(r, "exit_status"))
    v.detail += "; exit status " + count_text(number_at(r, "exit_status"));
  return v;
}

std::string file_system_text(const json& fs) {
  std::string text = string_at(fs, "mount_fs_type");
  if (text.empty()) text = string_at(fs, "type");
  if (text.empty()) text = "unknown";
  std::string source = string_at(fs, "mount_source");
  if (!source.empty()) text += " on " + source;
  std::string point = string_at(fs, "mount_point");
  if (!point.empty()) text += " at " + point;
  std::string options = string_at(fs, "mount_options");
  if (!options.empty()) text += " (" + options + ")";
  std::string error = string_at(fs, "error_text");
  if (!error.empty()) text += " — " + error;
  return text;
}

std::string command_line_text(const json& r) {
  std::string text;
  for (const json& arg : array_at(r, "command_line")) {
    if (!arg.is_string()) continue;
    std::string a = arg.get<std::string>();
    bool plain = !a.empty() && a.find_first_of(" \t\n'\"\\$`;&|<>()*?") == std::string::npos;
    if (!text.empty()) text += ' ';
    text += plain ? a : "'" + a + "'";
  }
  return text;
}

void facts_table(const json& r, std::string* out) {
  const json& system = object_at(r, "system");
  const json& program = object_at(r, "program");
  *out += "<table class=\"facts\">\n";
  row(out, "Host", string_at(r, "host_name"));
  row(out, "File system", file_system_text(object_at(system, "file_system")));
  row(out, "Directory", string_at(system, "workdir"));
  row(out, "Kernel", string_at(system, "kernel_release"));
  row(out, "Command line", command_line_text(r), "mono");
  std::string when = string_at(r, "start_time");
  std::string end = string_at(r, "end_time");
  if (!end.empty()) when += " to " + end;
  row(out, "Time", when + " (written " + string_at(r, "written_time") + ")");
  const json& totals = object_at(r, "totals");
  const json& rates = object_at(r, "throughput");
  row(out, "Moved", bytes_text(number_at(totals, "bytes_written")) + " written at " +
                        rate_text(rates, "write_MiBps_wall") + ", " +
                        bytes_text(number_at(totals, "bytes_read")) + " read at " +
                        rate_text(rates, "read_MiBps_wall") + "; " +
                        count_text(number_at(totals, "passes_completed")) +
                        " passes completed");
  const json& latency = object_at(r, "latency");
  std::string calls;
  for (const char* op : {"write", "read", "sync"}) {
    const json& l = object_at(latency, op);
    if (!has_number(l, "median_us")) continue;
    if (!calls.empty()) calls += "; ";
    calls += std::string(op) + " median " + us_text(number_at(l, "median_us")) +
             ", p99 " + us_text(number_at(l, "p99_us")) + ", max " +
             us_text(number_at(l, "max_us"));
  }
  if (!calls.empty()) row(out, "Latency", calls);
  row(out, "Program", string_at(program, "name") + " " + string_at(program, "version") +
                          ", pid " + plain_text(field(r, "pid") ? *field(r, "pid") : json()));
  *out += "</table>\n";
}

// The errors and bad blocks, in order, as the report lists them.
void errors_table(const json& r, bool with_ranks, std::string* out) {
  const json& errors = array_at(r, "errors");
  *out += "<section id=\"errors\"><h2>Errors and bad blocks</h2>\n";
  double recorded = number_at(r, "errors_recorded", static_cast<double>(errors.size()));
  if (errors.empty()) {
    *out += "<p class=\"none\">None recorded.</p></section>\n";
    return;
  }
  if (recorded > static_cast<double>(errors.size()))
    *out += "<p>The first " + count_text(static_cast<double>(errors.size())) + " of " +
            count_text(recorded) + " are listed.</p>\n";
  *out += "<table class=\"list\"><thead><tr><th>time</th>";
  if (with_ranks) *out += "<th>rank</th>";
  *out += "<th>worker</th><th>operation</th><th>file</th><th>offset</th>"
          "<th>kind</th><th>text</th></tr></thead><tbody>\n";
  size_t shown = 0;
  for (const json& e : errors) {
    if (shown++ == kErrorRows) break;
    std::string kind = string_at(e, "kind");
    if (kind.empty() && has_number(e, "errno") && number_at(e, "errno") != 0)
      kind = "errno " + count_text(number_at(e, "errno"));
    if (kind.empty()) kind = string_at(e, "operation") == "verify" ? "bad block" : "–";
    std::string offset =
        has_number(e, "offset_bytes") ? count_text(number_at(e, "offset_bytes")) : "–";
    *out += "<tr><td>" + html_escape(human_duration(number_at(e, "time_s"))) + "</td>";
    if (with_ranks)
      *out += "<td>" + (has_number(e, "rank") ? count_text(number_at(e, "rank")) : "–") + "</td>";
    *out += "<td>" + (has_number(e, "worker") ? count_text(number_at(e, "worker")) : "–") +
            "</td><td>" + html_escape(string_at(e, "operation")) + "</td><td class=\"mono\">" +
            html_escape(string_at(e, "path")) + "</td><td class=\"num\">" + offset +
            "</td><td>" + html_escape(kind) + "</td><td>" +
            html_escape(string_at(e, "error_text")) + "</td></tr>\n";
  }
  *out += "</tbody></table></section>\n";
}

void settings_table(const json& r, std::string* out) {
  *out += "<section id=\"settings\"><h2>Settings</h2>\n<table class=\"list settings\">\n";
  for (const auto& [key, value] : object_at(r, "settings").items()) {
    if (key.size() > 4 && key.compare(key.size() - 4, 4, "_hex") == 0) continue;
    std::string text;
    if (value.is_object()) {
      for (const auto& [k, v] : value.items())
        text += (text.empty() ? "" : ", ") + k + " " + plain_text(v);
    } else {
      text = plain_text(value);
    }
    *out += "<tr><th>" + html_escape(key) + "</th><td>" + html_escape(text) + "</td></tr>\n";
  }
  *out += "</table></section>\n";
}

// A chart's place: the script draws into the div, or says why it cannot.
void chart_section(std::string* out, const char* id, const char* title,
                   const char* note) {
  *out += "<section class=\"chart\"><h2>";
  *out += title;
  *out += "</h2><p class=\"note\">";
  *out += note;
  *out += "</p><div class=\"plot\" id=\"";
  *out += id;
  *out += "\"></div></section>\n";
}

// A worker's or a process's MiB/s inside its calls, json null when the
// report has none.
json rate_in_calls(const json& throughput, const char* key) {
  return has_number(throughput, key) ? json(number_at(throughput, key)) : json(nullptr);
}

// Names the slowest of `list` (lowest write plus read MiB/s), or "".
std::string slowest_of(const json& list, const char* index_key) {
  double lowest = 0;
  std::string name;
  for (const json& w : list) {
    const json& t = object_at(w, "throughput");
    json write = rate_in_calls(t, "write_MiBps_in_calls");
    json read = rate_in_calls(t, "read_MiBps_in_calls");
    if (write.is_null() && read.is_null()) continue;
    double rate = (write.is_null() ? 0.0 : write.get<double>()) +
                  (read.is_null() ? 0.0 : read.get<double>());
    if (name.empty() || rate < lowest) {
      lowest = rate;
      name = has_number(w, index_key) ? count_text(number_at(w, index_key)) : "?";
    }
  }
  return name;
}

// The data the script draws: the series as the report has it (the script
// reads only its numbers; any text in it is escaped like the rest), and
// the per-worker and per-rank figures reduced to numbers. Written as text
// piece by piece: a 2,000-sample series is not copied.
std::string chart_data(const json& r) {
  auto units = [](const json& list, const char* index_key) {
    json out = json::array();
    for (const json& w : list) {
      const json& t = object_at(w, "throughput");
      json o = json::object();
      o["index"] = number_at(w, index_key, static_cast<double>(out.size()));
      o["write_MiBps"] = rate_in_calls(t, "write_MiBps_in_calls");
      o["read_MiBps"] = rate_in_calls(t, "read_MiBps_in_calls");
      const json& totals = object_at(w, "totals");
      o["passes"] = has_number(w, "passes_completed") ? number_at(w, "passes_completed")
                                                      : number_at(totals, "passes_completed");
      out.push_back(std::move(o));
    }
    return out;
  };
  std::string d = "{\"interval_s\":" + script_json(number_at(r, "timeline_interval_s", 1));
  d += ",\"timeline\":" + script_json(array_at(r, "timeline"));
  d += ",\"workers\":" + script_json(units(array_at(r, "workers"), "index"));
  d += ",\"ranks\":" + script_json(units(array_at(r, "ranks"), "rank"));
  d += "}";
  return d;
}

}  // namespace

bool page_available() { return kChartLibraryPresent; }

const char* page_library_package() { return "libjs-dygraphs"; }

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string script_json(const json& value) {
  std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
  if (text.find_first_of("<>&\xE2") == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    // Outside strings JSON holds none of these, so escaping is safe
    // everywhere.
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else if (c == '\xE2' && i + 2 < text.size() && text[i + 1] == '\x80' &&
               (text[i + 2] == '\xA8' || text[i + 2] == '\xA9')) {
      out += text[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string human_duration(double seconds) {
  char text[48];
  if (!(seconds >= 0)) seconds = 0;
  auto whole = static_cast<long long>(seconds);
  if (seconds < 60)
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  else if (seconds < 3600)
    std::snprintf(text, sizeof text, "%lld m %02lld s", whole / 60, whole % 60);
  else if (seconds < 86400)
    std::snprintf(text, sizeof text, "%lld h %02lld m", whole / 3600, whole / 60 % 60);
  else
    std::snprintf(text, sizeof text, "%lld d %02lld h", whole / 86400, whole / 3600 % 24);
  return text;
}

int render_page(const json& r, std::string* out) {
  out->clear();
  if (!kChartLibraryPresent) return ENOTSUP;
  Verdict v = judge(r);
  const json& ranks = array_at(r, "ranks");
  std::string host = string_at(r, "host_name");
  std::string& p = *out;
  p.reserve(200000);
  p += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n";
  // Nothing on the page may reach the network, whatever a browser does.
  p += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
       "script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:\">\n";
  p += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  p += "<title>" + html_escape(v.line + " — " + host) + "</title>\n<style>\n";
  p += kChartLibraryStyle;
  p += kPageStyle;
  p += "</style></head>\n<body>\n<header class=\"verdict " + v.css + "\"><h1 id=\"verdict\">" +
       html_escape(v.line) + "</h1><p>" + html_escape(v.detail) + "</p></header>\n<main>\n";
  facts_table(r, &p);
  double interval = number_at(r, "timeline_interval_s", 1);
  std::string every = "Each point covers " + human_duration(interval) +
                      " of the run; drag to zoom, double-click to zoom out.";
  chart_section(&p, "chart-throughput", "Throughput over time",
                ("Write and read MiB/s; errors, bad blocks and stalled transfers are "
                 "marked on the right-hand axis where they happened. " + every).c_str());
  chart_section(&p, "chart-latency-write", "Write latency over time",
                "Median, p99 and maximum of the calls in each interval; logarithmic axis.");
  chart_section(&p, "chart-latency-read", "Read latency over time",
                "Median, p99 and maximum of the calls in each interval; logarithmic axis.");
  chart_section(&p, "chart-latency-sync", "Sync latency over time",
                "Median, p99 and maximum of the calls in each interval; logarithmic axis.");
  chart_section(&p, "chart-cliff", "Write throughput against bytes written",
                "Write MiB/s of each interval by the data written so far: a write cache "
                "running full shows as a cliff.");
  std::string slow = slowest_of(array_at(r, "workers"), "index");
  chart_section(&p, "chart-workers", "Per worker",
                ("MiB/s inside the calls and passes completed by each worker" +
                 std::string(ranks.empty() ? "" : " of rank 0 (the report keeps rank 0's workers)") +
                 (slow.empty() ? std::string(".") : "; the slowest, worker " + slow +
                  ", in red.")).c_str());
  if (!ranks.empty()) {
    std::string slow_rank = slowest_of(ranks, "rank");
    chart_section(&p, "chart-ranks", "Per rank",
                  ("MiB/s and passes completed by each process of the job" +
                   (slow_rank.empty() ? std::string(".") : "; the slowest, rank " + slow_rank +
                    ", in red.")).c_str());
  }
  errors_table(r, !ranks.empty(), &p);
  settings_table(r, &p);
  p += "</main>\n<footer>Written by " + html_escape(string_at(object_at(r, "program"), "name")) +
       " " + html_escape(string_at(object_at(r, "program"), "version")) +
       "; the report's own data is in the page source.</footer>\n";
  p += "<script type=\"application/json\" id=\"run-data\">" + chart_data(r) +
       "</script>\n<script>\n";
  p += kChartLibraryScript;
  p += "\n</script>\n<script>\n";
  p += kPageScript;
  p += "\n</script>\n</body></html>\n";
  return 0;
}

ReportFileStatus read_report_file(const char* path, json* out, int* error) {
  *error = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return kReportFileUnreadable;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      close(fd);
      return kReportFileUnreadable;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  *out = json::parse(text, nullptr, false);
  if (out->is_discarded()) return kReportFileNotJson;
  std::string name = string_at(object_at(*out, "program"), "name");
  double format = number_at(*out, "format_version", -1);
  if ((name != "iochurn" && name != "iochurn-mpi") || format < kFirstFormat ||
      format > kLastFormat || std::floor(format) != format)
    return kReportFileNotOurs;
  return kReportFileOk;
}

}  // namespace iochurn
