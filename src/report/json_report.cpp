// Building and writing the JSON report.
#include "report/json_report.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include <nlohmann/json.hpp>

#include "exit_status.h"
#include "platform/message.h"
#include "platform/mutex.h"
#include "platform/sleep.h"
#include "platform/thread.h"
#include "report/run_outcome.h"
#include "report/run_record.h"

namespace iochurn {

namespace {

// Keeps fields in the order written, so the document reads top-down.
using json = nlohmann::ordered_json;

// What report_setup gathered. Written by the main thread before any
// writer runs, read by every writer after.
struct SetupState {
  ReportSetup setup;
  std::string host_name;
  std::string kernel_release;
  std::string workdir;
  json file_system;  // type, magic, mount point and options, or an error
};
SetupState* setup_state = nullptr;  // never freed: writers may run at exit

// Serialises writers; once `final_written` is set, non-final writes are
// skipped. The report_failed flag keeps the failure line to one.
Mutex writer_lock;
bool final_written GUARDED_BY(writer_lock) = false;
std::atomic<bool> report_failed{false};

// Copy of the error list for one document; used under writer_lock only.
ErrorEntry error_copy[kMaxErrorEntries];

constexpr double kMiB = 1024.0 * 1024.0;

double us_of(uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

// Three decimals are plenty for a rate or a duration and keep lines short.
double rounded(double value) {
  return static_cast<double>(static_cast<int64_t>(value * 1000.0 + 0.5)) / 1000.0;
}

int64_t wall_now_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Puts `text` under `key`, and when it is not valid UTF-8 (the replaced
// text no longer says which bytes it had) its exact bytes under key_hex.
// A null `text` (an option not given) is put as null.
void put_text(json& object, const char* key, const char* text) {
  if (text == nullptr) {
    object[key] = nullptr;
    return;
  }
  size_t size = std::strlen(text);
  object[key] = std::string(text, size);
  if (!is_valid_utf8(text, size))
    object[std::string(key) + "_hex"] = hex_bytes(text, size);
}

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, maybe not in `buffer`.
  return strerror_r(error, buffer, sizeof buffer);
}

// Undoes the octal escapes (\040 for a space) of a mountinfo field.
std::string unescape_mount_field(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
        field[i + 1] <= '7') {
      out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// The mount that holds `dir`, from /proc/self/mountinfo: the entry of the
// directory's device whose mount point is the longest prefix of its real
// path (a device mounted twice, or bind mounts, give several entries).
void find_mount(const char* dir, json* out) {
  struct stat st;
  if (stat(dir, &st) != 0) return;
  char real[PATH_MAX];
  if (realpath(dir, real) == nullptr) return;
  std::string real_path = real;
  FILE* f = std::fopen("/proc/self/mountinfo", "re");
  if (f == nullptr) return;
  char* line = nullptr;
  size_t capacity = 0;
  size_t best_length = 0;
  bool found = false;
  while (getline(&line, &capacity, f) > 0) {
    std::vector<std::string> fields;
    for (char* save = nullptr, *p = strtok_r(line, " \n", &save); p != nullptr;
         p = strtok_r(nullptr, " \n", &save))
      fields.emplace_back(p);
    size_t dash = 0;
    for (size_t i = 6; i < fields.size(); ++i)
      if (fields[i] == "-") {
        dash = i;
        break;
      }
    if (dash == 0 || dash + 2 >= fields.size()) continue;
    unsigned major_id = 0, minor_id = 0;
    if (std::sscanf(fields[2].c_str(), "%u:%u", &major_id, &minor_id) != 2) continue;
    if (major_id != major(st.st_dev) || minor_id != minor(st.st_dev)) continue;
    std::string point = unescape_mount_field(fields[4]);
    bool prefix = real_path.compare(0, point.size(), point) == 0 &&
                  (point == "/" || real_path.size() == point.size() ||
                   real_path[point.size()] == '/');
    if (found && (!prefix || point.size() <= best_length)) continue;
    found = true;
    best_length = prefix ? point.size() : 0;
    put_text(*out, "mount_point", point.c_str());
    (*out)["mount_options"] = fields[5];
    (*out)["mount_fs_type"] = fields[dash + 1];
    put_text(*out, "mount_source", unescape_mount_field(fields[dash + 2]).c_str());
    (*out)["super_options"] = dash + 3 < fields.size() ? fields[dash + 3] : "";
  }
  std::free(line);
  std::fclose(f);
}

json describe_file_system(const char* dir) {
  json fs = json::object();
  struct statfs sf;
  if (statfs(dir, &sf) != 0) {
    int error = errno;
    fs["type"] = nullptr;
    fs["error_text"] = error_text(error);
    return fs;
  }
  auto magic = static_cast<uint64_t>(static_cast<unsigned long>(sf.f_type));
  const char* name = fs_type_name(magic);
  fs["type"] = name != nullptr ? json(name) : json(nullptr);
  char hex[24];
  std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(magic));
  fs["magic"] = hex;
  find_mount(dir, &fs);
  return fs;
}

json settings_object() {
  const RunSettings& s = settings;
  const MonitorSettings& m = setup_state->setup.monitor;
  json o = json::object();
  o["workers"] = s.threads;
  o["files_per_worker"] = s.filecount;
  o["buffer_size_MiB"] = s.bufsize;
  o["buffer_size_bytes"] = buffer_bytes(s);
  o["file_size_MiB"] = s.filesize;
  o["file_size_bytes"] = file_bytes(s);
  o["passes"] = static_cast<uint32_t>(s.passes);
  o["run_forever"] = s.run_forever;
  put_text(o, "workdir", effective_workdir(s));
  o["direct_io"] = (s.open_flags & O_DIRECT) != 0;
  o["open_flags"] = s.open_flags;
  o["open_mode"] = s.open_mode;
  o["io_timeout_s"] = s.io_tmout_secs;
  o["passive_wait_ms"] = s.passive_wait_ms;
  o["watchdog"] = s.alarm_control;
  o["emergency_cleanup"] = !s.async_break;
  o["delete_files"] = s.delete_files;
  o["summary"] = s.collect_stats;
  put_text(o, "pass_log", s.logfile);
  o["verbose"] = s.verbose;
  o["separate_buffers"] = s.separate_buffers;
  o["sync_writes"] = s.sync_writes;
  o["random_fill"] = s.random_fill;
  o["random_sleep"] = s.random_sleep;
  o["start_delay_us"] = static_cast<uint32_t>(s.usec);
  o["prime_limit"] = s.max_int_num;
  o["monitor"] = {{"enabled", m.monitor_threads},
                  {"interval_s", m.actv_mon_tmout},
                  {"rerun", m.rerun_threads}};
  o["verify"] = s.verify_mode == VerifyMode::kBlocks ? "blocks" : "sum";
  o["verify_block_bytes"] = s.verify_block;
  o["keep_failed"] = s.keep_failed;
  o["keep_failed_max"] = s.keep_failed_max;
  put_text(o, "report", s.report_path);
  o["strict"] = s.strict;
  o["status_interval_s"] = s.status_interval;
  o["diagnose"] = s.diagnose;
  o["sweep"] = s.sweep == SweepMode::kForce ? "force"
               : s.sweep == SweepMode::kOn  ? "on"
                                            : "off";
  o["memory_budget_MiB"] = s.memory_budget_mb;
  return o;
}

// One kind of call; the slowest call's file named in `dir` with `pid`'s
// names, and with its process's rank when `rank` is 0 or more.
json latency_json(const LatencySummary& l, const char* dir, int pid, int rank) {
  json o = json::object();
  o["count"] = l.count;
  if (l.count == 0) {
    for (const char* key : {"min_us", "mean_us", "median_us", "p99_us",
                            "p99_9_us", "max_us"})
      o[key] = nullptr;
    o["slowest"] = nullptr;
    return o;
  }
  o["min_us"] = rounded(us_of(l.min_ns));
  o["mean_us"] = rounded(us_of(l.total_ns) / static_cast<double>(l.count));
  o["median_us"] = rounded(us_of(l.median_ns));
  o["p99_us"] = rounded(us_of(l.p99_ns));
  o["p99_9_us"] = rounded(us_of(l.p999_ns));
  o["max_us"] = rounded(us_of(l.max_ns));
  json slow = json::object();
  if (rank >= 0) slow["rank"] = rank;
  slow["worker"] = l.slowest_thread;
  slow["slot"] = l.slowest_slot;
  slow["pass"] = l.slowest_pass;
  // The same name the worker gave the file.
  char path[kPathSize + 64];
  std::snprintf(path, sizeof path, "%s/%d_%d_%d.DUMMY", dir, pid, l.slowest_thread,
                l.slowest_slot);
  put_text(slow, "path", path);
  slow["offset_bytes"] = l.slowest_offset;
  slow["bytes"] = l.slowest_bytes;
  slow["duration_us"] = rounded(us_of(l.max_ns));
  o["slowest"] = slow;
  return o;
}

json latency_object(Op op, int workers) {
  LatencySummary l;
  summarize_latency(op, workers, &l);
  return latency_json(l, effective_workdir(settings), static_cast<int>(getpid()), -1);
}

// This process's temporary files still in the working directory: names
// exactly "<pid>_<digits>_<digits>.DUMMY" with our pid.
json files_present() {
  json list = json::array();
  const char* dir = effective_workdir(settings);
  DIR* d = opendir(dir);
  if (d == nullptr) return list;
  char prefix[32];
  int prefix_length =
      std::snprintf(prefix, sizeof prefix, "%d_", static_cast<int>(getpid()));
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (std::strncmp(name, prefix, static_cast<size_t>(prefix_length)) != 0) continue;
    const char* p = name + prefix_length;
    int groups = 0;
    bool ok = true;
    while (ok && groups < 2) {
      const char* digits = p;
      while (*p >= '0' && *p <= '9') ++p;
      ok = p != digits && *p == (groups == 0 ? '_' : '.');
      ++p;
      ++groups;
    }
    if (!ok || std::strcmp(p, "DUMMY") != 0) continue;
    std::string full = std::string(dir) + "/" + name;
    json entry = json::object();
    put_text(entry, "path", full.c_str());
    list.push_back(entry);
  }
  closedir(d);
  return list;
}

json error_json(const ErrorEntry& e, int rank) {
  json o = json::object();
  if (rank >= 0) o["rank"] = rank;
  o["time_s"] = rounded(static_cast<double>(e.time_ns) / 1e9);
  o["worker"] = e.thread;
  o["operation"] = op_name(e.op);
  o["slot"] = e.slot;
  put_text(o, "path", e.path);
  o["offset_bytes"] = e.offset;
  o["bytes_asked"] = e.asked;
  o["bytes_moved"] = e.moved < 0 ? json(nullptr) : json(e.moved);
  o["errno"] = e.error;
  o["error_text"] = e.error != 0 ? json(error_text(e.error)) : json(nullptr);
  return o;
}

json errors_array(int* listed) {
  json list = json::array();
  int n = copy_errors(error_copy, kMaxErrorEntries);
  for (int i = 0; i < n; ++i) list.push_back(error_json(error_copy[i], -1));
  *listed = n;
  return list;
}

// The sections of a multi-host job; empty otherwise. Written by the main
// thread through report_set_ranks, read by whoever builds a report.
Mutex ranks_lock;
// Never freed: a writer may still run while the process exits.
std::vector<RankSection>* rank_list GUARDED_BY(ranks_lock) = nullptr;

// Every process's errors, in rank order (see report_set_rank_errors).
std::vector<RankError>* rank_errors GUARDED_BY(ranks_lock) = nullptr;

// What the job-level sections take from the processes' details.
struct JobMerge {
  bool any;  // some section has its detail
  LatencyTally latency[kTimedOps];
  uint64_t write_ns;
  uint64_t read_ns;
  uint64_t bad_blocks[kBlockKindCount];
  json errors;  // all processes', each with its rank, capped
  uint64_t errors_recorded;
  json slowest_rank;
};

// Bad blocks by kind with --verify=blocks, else null.
json bad_blocks_json(const uint64_t* counts) {
  if (settings.verify_mode != VerifyMode::kBlocks) return nullptr;
  json kinds = json::object();
  for (int k = 0; k < kBlockKindCount; ++k)
    kinds[block_kind_name(static_cast<BlockKind>(k))] = counts[k];
  return kinds;
}

json rate_json(uint64_t bytes, double seconds) {
  if (seconds <= 0.0) return nullptr;
  return rounded(static_cast<double>(bytes) / kMiB / seconds);
}

// One process's own figures beyond its totals, for its section.
json detail_json(const RankSection& s, const std::vector<RankError>& errors) {
  const RankDetail& d = s.detail;
  json o = json::object();
  double elapsed = static_cast<double>(d.elapsed_ns) / 1e9;
  o["elapsed_s"] = rounded(elapsed);
  o["throughput"] = {
      {"write_MiBps_in_calls", rate_json(s.totals.bytes_written, static_cast<double>(d.write_ns) / 1e9)},
      {"read_MiBps_in_calls", rate_json(s.totals.bytes_read, static_cast<double>(d.read_ns) / 1e9)},
      {"write_MiBps_wall", rate_json(s.totals.bytes_written, elapsed)},
      {"read_MiBps_wall", rate_json(s.totals.bytes_read, elapsed)}};
  json latency = json::object();
  for (int i = 0; i < kTimedOps; ++i) {
    LatencySummary l;
    summarize_tally(d.latency[i], &l);
    latency[op_name(kTimedOp[i])] = latency_json(l, s.workdir, s.pid, -1);
  }
  o["latency"] = latency;
  json passes = json::array();
  for (int w = 0; w < d.workers && w < kMaxThreads; ++w) passes.push_back(d.passes[w]);
  o["passes_completed"] = passes;
  json listed = json::array();
  for (const RankError& e : errors)
    if (e.rank == s.rank && listed.size() < static_cast<size_t>(kRankErrorEntries))
      listed.push_back(error_json(e.entry, -1));
  o["errors"] = listed;
  o["errors_recorded"] = d.errors_recorded;
  o["bad_blocks"] = bad_blocks_json(d.bad_blocks);
  return o;
}

// The "ranks" array, with `t`'s counts and `errors` (by operation) made
// the sums over the sections and `*merge` filled; null when there are none.
json rank_sections(json* t, uint64_t* errors, JobMerge* merge) {
  MutexLock lock(&ranks_lock);
  if (rank_list == nullptr || rank_list->empty()) return nullptr;
  static const std::vector<RankError> kNoErrors;
  const std::vector<RankError>& all_errors = rank_errors != nullptr ? *rank_errors : kNoErrors;
  *merge = JobMerge{};
  for (LatencyTally& l : merge->latency) {
    l.slowest_thread = l.slowest_slot = l.slowest_rank = -1;
  }
  merge->errors = json::array();
  std::vector<double> write_rates, read_rates;
  std::vector<int> rated;
  json list = json::array();
  ReportTotals sum{};
  uint64_t different = 0, passes = 0;
  for (int i = 0; i < kOpCount; ++i) errors[i] = 0;
  for (const RankSection& s : *rank_list) {
    json o = json::object();
    o["rank"] = s.rank;
    put_text(o, "host_name", s.host_name);
    o["pid"] = s.pid;
    put_text(o, "workdir", s.workdir);
    auto cause = static_cast<EndCause>(s.ended);
    o["ended"] = end_cause_name(cause);
    if (cause == EndCause::kSignal) {
      char name[16];
      signal_name(s.signal_number, name, sizeof name);
      o["signal"] = name;
    } else {
      o["signal"] = nullptr;
    }
    o["exit_status"] = s.exit_status;
    o["totals"] = {{"bytes_read", s.totals.bytes_read},
                   {"bytes_written", s.totals.bytes_written},
                   {"compare_errors", s.totals.compare_errors},
                   {"other_errors", s.totals.other_errors},
                   {"files_different", s.files_different},
                   {"passes_completed", s.passes_completed}};
    json by_op = json::object();
    for (int i = 1; i < kOpCount; ++i) {
      by_op[op_name(static_cast<Op>(i))] = s.errors_by_op[i];
      errors[i] += s.errors_by_op[i];
    }
    o["errors_by_operation"] = by_op;
    if (s.has_detail) {
      merge->any = true;
      json detail = detail_json(s, all_errors);
      for (auto& item : detail.items()) o[item.key()] = item.value();
      const RankDetail& d = s.detail;
      for (int i = 0; i < kTimedOps; ++i) merge_latency(d.latency[i], &merge->latency[i]);
      merge->write_ns += d.write_ns;
      merge->read_ns += d.read_ns;
      for (int k = 0; k < kBlockKindCount; ++k) merge->bad_blocks[k] += d.bad_blocks[k];
      merge->errors_recorded += d.errors_recorded;
      double elapsed = static_cast<double>(d.elapsed_ns) / 1e9;
      if (elapsed > 0.0) {
        write_rates.push_back(static_cast<double>(s.totals.bytes_written) / kMiB / elapsed);
        read_rates.push_back(static_cast<double>(s.totals.bytes_read) / kMiB / elapsed);
        rated.push_back(s.rank);
      }
    }
    list.push_back(o);
    sum.bytes_read += s.totals.bytes_read;
    sum.bytes_written += s.totals.bytes_written;
    sum.compare_errors += s.totals.compare_errors;
    sum.other_errors += s.totals.other_errors;
    different += s.files_different;
    passes += s.passes_completed;
  }
  (*t)["bytes_read"] = sum.bytes_read;
  (*t)["bytes_written"] = sum.bytes_written;
  (*t)["compare_errors"] = sum.compare_errors;
  (*t)["other_errors"] = sum.other_errors;
  (*t)["files_different"] = different;
  (*t)["passes_completed"] = passes;
  (*t)["source"] = "ranks";
  for (const RankError& e : all_errors) {
    if (merge->errors.size() >= static_cast<size_t>(kMaxErrorEntries)) break;
    merge->errors.push_back(error_json(e.entry, e.rank));
  }
  int w = lowest_rate(write_rates.data(), static_cast<int>(rated.size()));
  int r = lowest_rate(read_rates.data(), static_cast<int>(rated.size()));
  if (w >= 0) {
    merge->slowest_rank = {{"write_rank", rated[static_cast<size_t>(w)]},
                           {"write_MiBps_wall", rounded(write_rates[static_cast<size_t>(w)])},
                           {"read_rank", rated[static_cast<size_t>(r)]},
                           {"read_MiBps_wall", rounded(read_rates[static_cast<size_t>(r)])}};
  }
  return list;
}

// Which process refused the start of a multi-host job, and why. Written by
// the main thread through report_set_refusal; read by whoever builds a
// report.
struct Refusal {
  bool set;
  int rank;
  int exit_status;
  char message[512];
};
Refusal refusal GUARDED_BY(ranks_lock);

json refusal_object() {
  MutexLock lock(&ranks_lock);
  if (!refusal.set) return nullptr;
  json o = json::object();
  o["rank"] = refusal.rank;
  o["exit_status"] = refusal.exit_status;
  put_text(o, "message", refusal.message);
  return o;
}

// The hand-over between write_report_bounded and its helper. Each holds
// one reference and the last to let go frees it, so a helper that outlives
// the wait still has it.
struct BoundedWrite {
  std::atomic<int> state{0};  // 0 writing, 1 written, 2 failed
  std::atomic<int> references{2};
};

void let_go(BoundedWrite* w) {
  if (w->references.fetch_sub(1) == 1) delete w;
}

void run_writer(void* arg) {
  auto* w = static_cast<BoundedWrite*>(arg);
  int rc = write_report(true, nullptr);
  w->state.store(rc == 0 ? 1 : 2);
  let_go(w);
}

}  // namespace

void report_setup(const ReportSetup& setup) {
  if (setup_state == nullptr) setup_state = new SetupState;
  setup_state->setup = setup;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  setup_state->host_name = host;
  utsname u;
  setup_state->kernel_release = uname(&u) == 0 ? u.release : "";
  setup_state->workdir = effective_workdir(settings);
  setup_state->file_system = describe_file_system(setup_state->workdir.c_str());
  MutexLock lock(&writer_lock);
  final_written = false;
  report_failed.store(false);
}

bool report_enabled() {
  return setup_state != nullptr && setup_state->setup.path != nullptr;
}

std::string build_report(const ReportTotals* totals) {
  if (setup_state == nullptr) return "{}";
  const SetupState& st = *setup_state;
  const int workers = settings.threads > 0 ? settings.threads : 0;
  const int64_t now_wall = wall_now_ns();
  const uint64_t now = monotonic_ns();
  const double elapsed_s =
      now > run_start_ns() ? static_cast<double>(now - run_start_ns()) / 1e9 : 0.0;
  RunOutcome outcome = run_outcome();
  RecordTotals live;
  sum_records(workers, &live);

  json r = json::object();
  r["format_version"] = kReportFormatVersion;
  r["program"] = {{"name", "iochurn"}, {"version", kVersion}};
  put_text(r, "host_name", st.host_name.c_str());
  r["pid"] = static_cast<int>(getpid());
  json argv = json::array();
  json argv_hex = json::array();
  bool any_invalid = false;
  for (int i = 0; i < st.setup.argc; ++i) {
    const char* a = st.setup.argv[i];
    argv.push_back(std::string(a));
    argv_hex.push_back(hex_bytes(a, std::strlen(a)));
    any_invalid = any_invalid || !is_valid_utf8(a, std::strlen(a));
  }
  r["command_line"] = argv;
  if (any_invalid) r["command_line_hex"] = argv_hex;
  r["start_time"] = iso8601_utc(run_start_wall_ns());
  r["written_time"] = iso8601_utc(now_wall);
  bool running = outcome.cause == EndCause::kRunning;
  r["end_time"] = running ? json(nullptr) : json(iso8601_utc(now_wall));
  r["elapsed_s"] = rounded(elapsed_s);
  r["settings"] = settings_object();

  r["ended"] = end_cause_name(outcome.cause);
  if (outcome.cause == EndCause::kSignal) {
    char name[16];
    signal_name(outcome.signal_number, name, sizeof name);
    r["signal"] = name;
  } else {
    r["signal"] = nullptr;
  }
  r["cleanup"] = running ? json(nullptr) : json(outcome.emergency ? "emergency" : "orderly");
  r["exit_status"] = outcome.exit_known ? json(outcome.exit_status) : json(nullptr);
  r["watchdog_expired"] = outcome.watchdog_expired;
  r["wait_timed_out"] = outcome.wait_timed_out;

  json t = json::object();
  if (totals != nullptr) {
    t["bytes_read"] = totals->bytes_read;
    t["bytes_written"] = totals->bytes_written;
    t["compare_errors"] = totals->compare_errors;
    t["other_errors"] = totals->other_errors;
  } else {
    t["bytes_read"] = live.bytes_read;
    t["bytes_written"] = live.bytes_written;
    t["compare_errors"] = live.compare_errors;
    t["other_errors"] = live.other_errors;
  }
  t["files_different"] = live.files_different;
  t["passes_completed"] = live.passes_completed;
  t["source"] = totals != nullptr ? "summary" : "workers";
  uint64_t job_errors[kOpCount];
  JobMerge merge{};
  json ranks = rank_sections(&t, job_errors, &merge);  // a multi-host job only
  r["totals"] = t;

  json by_op = json::object();
  for (int i = 1; i < kOpCount; ++i)
    by_op[op_name(static_cast<Op>(i))] = ranks.is_null() ? live.errors[i] : job_errors[i];
  r["errors_by_operation"] = by_op;
  r["bad_blocks"] = bad_blocks_json(live.bad_blocks);

  json per_worker = json::array();
  for (int w = 0; w < workers; ++w) {
    const WorkerRecord& rec = worker_records[w];
    constexpr auto kRelaxed = std::memory_order_relaxed;
    uint32_t compare = rec.compare_errors.load(kRelaxed);
    uint32_t other = rec.other_errors.load(kRelaxed);
    per_worker.push_back({{"index", w},
                          {"runs", rec.generation.load(kRelaxed)},
                          {"passes_completed", rec.passes_completed.load(kRelaxed)},
                          {"bytes_written", rec.bytes_written.load(kRelaxed)},
                          {"bytes_read", rec.bytes_read.load(kRelaxed)},
                          {"compare_errors", compare},
                          {"other_errors", other},
                          {"errors", uint64_t{compare} + other},
                          {"files_different", rec.files_different.load(kRelaxed)}});
  }
  r["workers"] = per_worker;
  if (!ranks.is_null()) r["ranks"] = ranks;
  json refused = refusal_object();
  if (!refused.is_null()) r["refused"] = refused;

  // Inside calls: the bytes over the time spent in the calls that moved
  // them (a rate per stream of calls); wall: over the elapsed time.
  auto rate = rate_json;
  uint64_t written = t["bytes_written"].get<uint64_t>();
  uint64_t read = t["bytes_read"].get<uint64_t>();
  r["throughput"] = {
      {"write_MiBps_in_calls", rate(live.bytes_written, static_cast<double>(live.write_ns) / 1e9)},
      {"read_MiBps_in_calls", rate(live.bytes_read, static_cast<double>(live.read_ns) / 1e9)},
      {"write_MiBps_wall", rate(written, elapsed_s)},
      {"read_MiBps_wall", rate(read, elapsed_s)}};
  r["latency"] = {{"write", latency_object(Op::kWrite, workers)},
                  {"read", latency_object(Op::kRead, workers)},
                  {"sync", latency_object(Op::kSync, workers)}};
  if (merge.any) {
    // A multi-host job: every process's calls, its buckets added up.
    r["throughput"]["write_MiBps_in_calls"] =
        rate(written, static_cast<double>(merge.write_ns) / 1e9);
    r["throughput"]["read_MiBps_in_calls"] =
        rate(read, static_cast<double>(merge.read_ns) / 1e9);
    json latency = json::object();
    for (int i = 0; i < kTimedOps; ++i) {
      LatencySummary l;
      summarize_tally(merge.latency[i], &l);
      int rank = merge.latency[i].slowest_rank;
      std::string dir;
      int pid = 0;
      {
        MutexLock lock(&ranks_lock);
        for (const RankSection& s : *rank_list)
          if (s.rank == rank) {
            dir = s.workdir;
            pid = s.pid;
          }
      }
      latency[op_name(kTimedOp[i])] = latency_json(l, dir.c_str(), pid, rank < 0 ? 0 : rank);
    }
    r["latency"] = latency;
    r["slowest_rank"] = merge.slowest_rank;
    r["bad_blocks"] = bad_blocks_json(merge.bad_blocks);
  }

  r["files_present"] = files_present();
  int listed = 0;
  r["errors"] = errors_array(&listed);
  r["errors_recorded"] = errors_recorded();
  if (merge.any) {
    listed = static_cast<int>(merge.errors.size());
    r["errors"] = merge.errors;
    r["errors_recorded"] = merge.errors_recorded;
  }
  r["errors_listed"] = listed;

  json system = json::object();
  put_text(system, "kernel_release", st.kernel_release.c_str());
  put_text(system, "workdir", st.workdir.c_str());
  system["file_system"] = st.file_system;
  r["system"] = system;

  std::string text = r.dump(2, ' ', false, json::error_handler_t::replace);
  text += '\n';
  return text;
}

int write_file_whole(const char* path, const char* text, size_t size) {
  std::string temp = path;
  size_t slash = temp.rfind('/');
  std::string base = slash == std::string::npos ? temp : temp.substr(slash + 1);
  std::string dir = slash == std::string::npos ? "" : temp.substr(0, slash + 1);
  // Hidden and named after the process, so two runs sharing a report name
  // never write into each other's temporary file.
  temp = dir + "." + base + "." + std::to_string(getpid()) + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return errno;
  int error = 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, text + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  return error;
}

int write_report(bool final, const ReportTotals* totals) {
  if (!report_enabled()) return -1;
  MutexLock lock(&writer_lock);
  if (final_written && !final) return -1;
  std::string text = build_report(totals);
  int rc = write_file_whole(setup_state->setup.path, text.data(), text.size());
  if (final) final_written = true;
  if (rc != 0 && !report_failed.exchange(true)) {
    std::string line = "iochurn: cannot write the report " +
                       std::string(setup_state->setup.path) + ": " +
                       error_text(rc) + "\n";
    write_lines(STDERR_FILENO, line.data(), line.size());
  }
  return rc;
}

int write_report_bounded(int64_t limit_ms) {
  if (!report_enabled()) return 0;
  auto* w = new (std::nothrow) BoundedWrite;
  ThreadHandle* handle = nullptr;
  unsigned long id = 0;
  if (w == nullptr || start_thread(run_writer, w, &handle, &id) != 0) {
    delete w;
    // No thread to spare: write here, unbounded, rather than not at all.
    return write_report(true, nullptr);
  }
  release_thread(handle);
  int64_t waited_ms = 0;
  while (w->state.load() == 0 && waited_ms < limit_ms) {
    micro_sleep(0, 2000);
    waited_ms += 2;
  }
  int state = w->state.load();
  let_go(w);
  return state == 1 ? 0 : state == 2 ? EIO : ETIMEDOUT;
}

void report_set_ranks(const RankSection* sections, int count) {
  MutexLock lock(&ranks_lock);
  if (rank_list == nullptr) rank_list = new std::vector<RankSection>;
  rank_list->assign(sections, sections + (count > 0 ? count : 0));
}

void report_set_rank_errors(const RankError* errors, int count) {
  MutexLock lock(&ranks_lock);
  if (rank_errors == nullptr) rank_errors = new std::vector<RankError>;
  rank_errors->assign(errors, errors + (count > 0 ? count : 0));
}

void report_set_refusal(int rank, int exit_status, const char* message) {
  MutexLock lock(&ranks_lock);
  refusal.set = true;
  refusal.rank = rank;
  refusal.exit_status = exit_status;
  size_t n = std::strlen(message);
  if (n >= sizeof refusal.message) n = sizeof refusal.message - 1;
  std::memcpy(refusal.message, message, n);
  refusal.message[n] = '\0';
}

void write_emergency_report(int64_t limit_ms) {
  note_emergency_cleanup();
  set_exit_status(kExitBreak);
  write_report_bounded(limit_ms);
}

bool is_valid_utf8(const char* text, size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < size) {
    unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    unsigned min;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, min = 0x10000;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(extra) >= size) return false;
    unsigned code = c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned next = s[i + static_cast<size_t>(k)];
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

std::string hex_bytes(const char* text, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string iso8601_utc(int64_t wall_ns) {
  time_t seconds = static_cast<time_t>(wall_ns / 1000000000);
  int millis = static_cast<int>((wall_ns % 1000000000) / 1000000);
  tm utc;
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", millis);
  return text;
}

const char* fs_type_name(uint64_t magic) {
  static const struct {
    uint64_t magic;
    const char* name;
  } kTypes[] = {
      {0xEF53, "ext4"},          {0x58465342, "xfs"},
      {0x9123683E, "btrfs"},     {0x01021994, "tmpfs"},
      {0x858458F6, "ramfs"},     {0x2FC12FC1, "zfs"},
      {0xF2F52010, "f2fs"},      {0xCA451A4E, "bcachefs"},
      {0x6969, "nfs"},           {0xFF534D42, "cifs"},
      {0xFE534D42, "smb2"},      {0x65735546, "fuse"},
      {0x0BD00BD0, "lustre"},    {0x47504653, "gpfs"},
      {0x00C36400, "ceph"},      {0x01021997, "9p"},
      {0x794C7630, "overlayfs"}, {0x4D44, "vfat"},
      {0x2011BAB0, "exfat"},     {0x5346544E, "ntfs"},
      {0x73717368, "squashfs"},  {0x3153464A, "jfs"},
      {0x52654973, "reiserfs"},  {0x3434, "nilfs2"},
      {0x9FA0, "proc"},          {0x62656572, "sysfs"},
      {0x1373, "devfs"},         {0x19830326, "orangefs"},
      {0x6165676C, "pstore"},    {0x42465331, "befs"},
      {0xF15F, "ecryptfs"},      {0x15013346, "udf"},
      {0x9660, "iso9660"},       {0x7461636F, "ocfs2"},
  };
  for (const auto& t : kTypes)
    if (t.magic == magic) return t.name;
  return nullptr;
}

}  // namespace iochurn
