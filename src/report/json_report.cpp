// Building the JSON report.
#include "report/json_report.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/fs_info.h"
#include "platform/mutex.h"
#include "html/page.h"
#include "ledger/run_outcome.h"
#include "ledger/run_record.h"
#include "report/report_text.h"
#include "report/report_writer.h"
#include "report/timeline.h"
#include "tempfile/temp_name.h"

namespace iochurn {

// Keeps fields in the order written, so the document reads top-down.
using json = nlohmann::ordered_json;

namespace {

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

// Copy of the error list for one document; build_report's, which the
// writers serialise.
ErrorEntry error_copy[kMaxErrorEntries];

// The sections of a multi-host job; empty otherwise. Written by the main
// thread through report_set_ranks, read by whoever builds a report.
Mutex ranks_lock;
// Never freed: a writer may still run while the process exits.
std::vector<RankSection>* rank_list GUARDED_BY(ranks_lock) = nullptr;

// The journal check's object as text; empty or null when none. Written by
// the main thread through report_set_journal_check, read by report builders.
std::string* journal_check_text GUARDED_BY(ranks_lock) = nullptr;

// Every process's errors, in rank order (see report_set_rank_errors).
std::vector<RankError>* rank_errors GUARDED_BY(ranks_lock) = nullptr;

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

constexpr double kMiB = 1024.0 * 1024.0;

double us_of(uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

// Three decimals are plenty for a rate or a duration and keep lines short.
double rounded(double value) {
  return static_cast<double>(static_cast<int64_t>(value * 1000.0 + 0.5)) / 1000.0;
}

// MiB per second, null when no time passed.
json mib_rate(uint64_t bytes, double seconds) {
  if (seconds <= 0.0) return nullptr;
  return rounded(static_cast<double>(bytes) / kMiB / seconds);
}

// One sample of the run over time; latencies null without calls.
void add_timeline_sample(const TimelineSample& s, void* context) {
  auto* list = static_cast<json*>(context);
  double seconds = static_cast<double>(s.end_ns - s.start_ns) / 1e9;
  json o = json::object();
  o["t_s"] = rounded(static_cast<double>(s.end_ns) / 1e9);
  o["interval_s"] = rounded(seconds);
  o["bytes_written"] = s.bytes_written;
  o["bytes_read"] = s.bytes_read;
  o["write_MiBps"] = mib_rate(s.bytes_written, seconds);
  o["read_MiBps"] = mib_rate(s.bytes_read, seconds);
  o["passes"] = s.passes;
  o["errors"] = s.errors;
  o["bad_blocks"] = s.bad_blocks;
  o["stalled"] = s.stalled;
  static const char* const kKeys[kTimelineOps][3] = {
      {"write_median_us", "write_p99_us", "write_max_us"},
      {"read_median_us", "read_p99_us", "read_max_us"},
      {"sync_median_us", "sync_p99_us", "sync_max_us"}};
  for (int op = 0; op < kTimelineOps; ++op) {
    const IntervalLatency& l = s.latency[op];
    bool any = l.count > 0;
    o[kKeys[op][0]] = any ? json(rounded(us_of(interval_quantile(l, 0.5)))) : json(nullptr);
    o[kKeys[op][1]] = any ? json(rounded(us_of(interval_quantile(l, 0.99)))) : json(nullptr);
    o[kKeys[op][2]] = any ? json(rounded(us_of(l.max_ns))) : json(nullptr);
  }
  if (s.ranks >= 0) o["ranks"] = s.ranks;
  list->push_back(std::move(o));
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

// "ended" and "signal" of a process.
void put_end(json& object, EndCause cause, int signal_number) {
  object["ended"] = end_cause_name(cause);
  if (cause == EndCause::kSignal) {
    char name[16];
    signal_name(signal_number, name, sizeof name);
    object["signal"] = name;
  } else {
    object["signal"] = nullptr;
  }
}

json describe_file_system(const char* dir) {
  json fs = json::object();
  int64_t magic_word = 0;
  int error = fs_magic_of(dir, &magic_word);
  if (error != 0) {
    fs["type"] = nullptr;
    fs["error_text"] = error_text(error);
    return fs;
  }
  auto magic = static_cast<uint64_t>(static_cast<unsigned long>(magic_word));
  const char* name = fs_type_name(magic);
  fs["type"] = name != nullptr ? json(name) : json(nullptr);
  char hex[24];
  std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(magic));
  fs["magic"] = hex;
  MountEntry mount;
  if (find_mount(dir, &mount)) {
    put_text(fs, "mount_point", mount.mount_point.c_str());
    fs["mount_options"] = mount.mount_options;
    fs["mount_fs_type"] = mount.fs_type;
    put_text(fs, "mount_source", mount.source.c_str());
    fs["super_options"] = mount.super_options;
  }
  return fs;
}

// This process's files in the working directory: temporary files still
// there (names the workers could have built, parse_temp_name, with our pid)
// into `present`, failed files kept as evidence (the same name plus
// ".<digits>.failed") into `kept`.
void own_files(json* present, json* kept) {
  *present = json::array();
  *kept = json::array();
  const char* dir = effective_workdir(settings);
  DIR* d = opendir(dir);
  if (d == nullptr) return;
  const int64_t pid = getpid();
  static const char kSuffix[] = ".DUMMY";
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    const char* end = std::strstr(name, kSuffix);
    if (end == nullptr) continue;
    end += sizeof kSuffix - 1;
    char base[NAME_MAX + 1];
    size_t length = static_cast<size_t>(end - name);
    if (length >= sizeof base) continue;
    std::memcpy(base, name, length);
    base[length] = '\0';
    TempName n;
    if (!parse_temp_name(base, &n) || n.pid != pid) continue;
    json* list = nullptr;
    if (*end == '\0') {
      list = present;
    } else if (*end == '.') {
      const char* p = end + 1;
      const char* digits = p;
      while (*p >= '0' && *p <= '9') ++p;
      if (p != digits && std::strcmp(p, ".failed") == 0) list = kept;
    }
    if (list == nullptr) continue;
    std::string full = std::string(dir) + "/" + name;
    json entry = json::object();
    put_text(entry, "path", full.c_str());
    list->push_back(entry);
  }
  closedir(d);
}

}  // namespace

// The records as the document shows them. In this namespace, where the
// JSON library finds them by the record's type.

// The settings, with the monitor's beside them.
struct SettingsDocument {
  const RunSettings& run;
  const MonitorSettings& monitor;
};

void to_json(json& o, const SettingsDocument& d) {
  const RunSettings& s = d.run;
  const MonitorSettings& m = d.monitor;
  o = json::object();
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
  put_text(o, "html", s.html_path);
  o["runtime_s"] = s.runtime_s > 0 ? json(s.runtime_s) : json(nullptr);
  o["strict"] = s.strict;
  o["status_interval_s"] = s.status_interval;
  o["diagnose"] = s.diagnose;
  o["sweep"] = s.sweep == SweepMode::kForce ? "force"
               : s.sweep == SweepMode::kOn  ? "on"
                                            : "off";
  o["memory_budget_MiB"] = s.memory_budget_mb;
}

// One kind of call; the slowest call's file named in `dir` with `pid`'s
// names, and with its process's rank when `rank` is 0 or more.
struct LatencyDocument {
  const LatencySummary& summary;
  const char* dir;
  int pid;
  int rank;
};

void to_json(json& o, const LatencyDocument& d) {
  const LatencySummary& l = d.summary;
  o = json::object();
  o["count"] = l.count;
  if (l.count == 0) {
    for (const char* key : {"min_us", "mean_us", "median_us", "p99_us",
                            "p99_9_us", "max_us"})
      o[key] = nullptr;
    o["slowest"] = nullptr;
    return;
  }
  o["min_us"] = rounded(us_of(l.min_ns));
  o["mean_us"] = rounded(us_of(l.total_ns) / static_cast<double>(l.count));
  o["median_us"] = rounded(us_of(l.median_ns));
  o["p99_us"] = rounded(us_of(l.p99_ns));
  o["p99_9_us"] = rounded(us_of(l.p999_ns));
  o["max_us"] = rounded(us_of(l.max_ns));
  json slow = json::object();
  if (d.rank >= 0) slow["rank"] = d.rank;
  slow["worker"] = l.slowest_thread;
  slow["slot"] = l.slowest_slot;
  slow["pass"] = l.slowest_pass;
  // The same name the worker gave the file.
  char path[kPathSize + 64];
  build_temp_path(path, sizeof path, d.dir, d.pid, l.slowest_thread,
                  l.slowest_slot);
  put_text(slow, "path", path);
  slow["offset_bytes"] = l.slowest_offset;
  slow["bytes"] = l.slowest_bytes;
  slow["duration_us"] = rounded(us_of(l.max_ns));
  o["slowest"] = slow;
}

void to_json(json& o, const LatencySummary& l) {
  o = LatencyDocument{l, effective_workdir(settings),
                      static_cast<int>(getpid()), -1};
}

void to_json(json& o, const ErrorEntry& e) {
  o = json::object();
  o["time_s"] = rounded(static_cast<double>(e.time_ns) / 1e9);
  o["worker"] = e.thread;
  o["operation"] = op_name(e.op);
  o["slot"] = e.slot;
  put_text(o, "path", e.path);
  o["offset_bytes"] = e.offset;
  o["bytes_asked"] = e.asked;
  o["bytes_moved"] = e.moved < 0 ? json(nullptr) : json(e.moved);
  o["errno"] = e.error != 0 ? json(e.error) : json(nullptr);
  o["error_text"] = e.error != 0 ? json(error_text(e.error)) : json(nullptr);
  o["kind"] = e.kind >= 0 ? json(block_kind_name(static_cast<BlockKind>(e.kind)))
                          : json(nullptr);
  o["pass"] = e.pass != 0 ? json(e.pass) : json(nullptr);
}

void to_json(json& o, const RankError& e) {
  o = json::object();
  o["rank"] = e.rank;
  const json entry = e.entry;
  for (const auto& item : entry.items()) o[item.key()] = item.value();
}

void to_json(json& o, const Totals& t) {
  o = {{"bytes_read", t.bytes_read},
       {"bytes_written", t.bytes_written},
       {"compare_errors", t.compare_errors},
       {"other_errors", t.other_errors}};
}

namespace {

// Counts by operation name, the first (no operation) left out.
json by_operation(const uint64_t* counts) {
  json o = json::object();
  for (int i = 1; i < kOpCount; ++i) o[op_name(static_cast<Op>(i))] = counts[i];
  return o;
}

// Bad blocks by kind with --verify=blocks, else null.
json bad_blocks_json(const uint64_t* counts) {
  if (settings.verify_mode != VerifyMode::kBlocks) return nullptr;
  json kinds = json::object();
  for (int k = 0; k < kVerifyBlockKinds; ++k)
    kinds[block_kind_name(static_cast<BlockKind>(k))] = counts[k];
  return kinds;
}

double seconds_of(uint64_t ns) { return static_cast<double>(ns) / 1e9; }

}  // namespace

void to_json(json& o, const RankSection& s) {
  o = json::object();
  o["rank"] = s.rank;
  put_text(o, "host_name", s.host_name);
  o["pid"] = s.pid;
  put_text(o, "workdir", s.workdir);
  put_end(o, static_cast<EndCause>(s.ended), s.signal_number);
  o["exit_status"] = s.exit_status;
  json totals = s.totals;
  totals["files_different"] = s.files_different;
  totals["passes_completed"] = s.passes_completed;
  o["totals"] = totals;
  o["errors_by_operation"] = by_operation(s.errors_by_op);
}

namespace {

// The latency of `op` over workers [first, first + count).
json latency_of(Op op, int first, int count) {
  LatencySummary l;
  summarize_latency_range(op, first, count, &l);
  return l;
}

}  // namespace

// One worker's line of the "workers" array.
struct WorkerDocument {
  int index;
  const WorkerRecord& record;
  double elapsed_s;  // the run's so far
};

void to_json(json& o, const WorkerDocument& d) {
  const WorkerRecord& rec = d.record;
  constexpr auto kRelaxed = std::memory_order_relaxed;
  uint32_t compare = rec.compare_errors.load(kRelaxed);
  uint32_t other = rec.other_errors.load(kRelaxed);
  o = {{"index", d.index},
       {"runs", rec.generation.load(kRelaxed)},
       {"passes_completed", rec.passes_completed.load(kRelaxed)},
       {"bytes_written", rec.bytes_written.load(kRelaxed)},
       {"bytes_read", rec.bytes_read.load(kRelaxed)},
       {"compare_errors", compare},
       {"other_errors", other},
       {"errors", uint64_t{compare} + other},
       {"files_different", rec.files_different.load(kRelaxed)}};
  // The same fields a process of a multi-host job gets in "ranks".
  uint64_t written = rec.bytes_written.load(kRelaxed);
  uint64_t read = rec.bytes_read.load(kRelaxed);
  o["elapsed_s"] = rounded(d.elapsed_s);
  o["throughput"] = {
      {"write_MiBps_in_calls",
       mib_rate(written, static_cast<double>(rec.write_ns.load(kRelaxed)) / 1e9)},
      {"read_MiBps_in_calls", mib_rate(read, static_cast<double>(rec.read_ns.load(kRelaxed)) / 1e9)},
      {"write_MiBps_wall", mib_rate(written, d.elapsed_s)},
      {"read_MiBps_wall", mib_rate(read, d.elapsed_s)}};
  o["latency"] = {{"write", latency_of(Op::kWrite, d.index, 1)},
                  {"read", latency_of(Op::kRead, d.index, 1)},
                  {"sync", latency_of(Op::kSync, d.index, 1)}};
}

namespace {

json errors_array(int* listed) {
  int n = copy_errors(error_copy, kMaxErrorEntries);
  *listed = n;
  json list = json::array();
  for (int i = 0; i < n; ++i) list.push_back(error_copy[i]);
  return list;
}

json journal_check_section() {
  MutexLock lock(&ranks_lock);
  if (journal_check_text == nullptr || journal_check_text->empty())
    return nullptr;
  return json::parse(*journal_check_text, nullptr, false);
}

// What the job-level sections take from the processes' details.
struct JobMerge {
  bool any;  // some section has its detail
  LatencyTally latency[kTimedOps];
  uint64_t write_ns;
  uint64_t read_ns;
  uint64_t write_wall_ns;  // the longest of any process
  uint64_t read_wall_ns;
  uint64_t bad_blocks[kBlockKindCount];
  json errors;  // all processes', each with its rank, capped
  uint64_t errors_recorded;
  json slowest_rank;
};

// One process's own figures beyond its totals, for its section.
void put_detail(json& o, const RankSection& s,
                const std::vector<RankError>& errors) {
  const RankDetail& d = s.detail;
  double elapsed = seconds_of(d.elapsed_ns);
  o["elapsed_s"] = rounded(elapsed);
  o["throughput"] = {
      {"write_MiBps_in_calls", mib_rate(s.totals.bytes_written, seconds_of(d.write_ns))},
      {"read_MiBps_in_calls", mib_rate(s.totals.bytes_read, seconds_of(d.read_ns))},
      {"write_MiBps_wall", mib_rate(s.totals.bytes_written, elapsed)},
      {"read_MiBps_wall", mib_rate(s.totals.bytes_read, elapsed)}};
  json latency = json::object();
  for (int i = 0; i < kTimedOps; ++i) {
    LatencySummary l;
    summarize_tally(d.latency[i], &l);
    latency[op_name(kTimedOp[i])] = LatencyDocument{l, s.workdir, s.pid, -1};
  }
  o["latency"] = latency;
  json passes = json::array();
  for (int w = 0; w < d.workers && w < kMaxThreads; ++w) passes.push_back(d.passes[w]);
  o["passes_completed"] = passes;
  json listed = json::array();
  for (const RankError& e : errors)
    if (e.rank == s.rank && listed.size() < static_cast<size_t>(kRankErrorEntries))
      listed.push_back(e.entry);
  o["errors"] = listed;
  o["errors_recorded"] = d.errors_recorded;
  o["bad_blocks"] = bad_blocks_json(d.bad_blocks);
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
  Totals sum{};
  uint64_t different = 0, passes = 0;
  for (int i = 0; i < kOpCount; ++i) errors[i] = 0;
  for (const RankSection& s : *rank_list) {
    json o = s;
    for (int i = 1; i < kOpCount; ++i) errors[i] += s.errors_by_op[i];
    if (s.has_detail) {
      merge->any = true;
      put_detail(o, s, all_errors);
      const RankDetail& d = s.detail;
      for (int i = 0; i < kTimedOps; ++i) merge_latency(d.latency[i], &merge->latency[i]);
      merge->write_ns += d.write_ns;
      merge->read_ns += d.read_ns;
      merge->write_wall_ns = std::max(merge->write_wall_ns, d.write_wall_ns);
      merge->read_wall_ns = std::max(merge->read_wall_ns, d.read_wall_ns);
      for (int k = 0; k < kBlockKindCount; ++k) merge->bad_blocks[k] += d.bad_blocks[k];
      merge->errors_recorded += d.errors_recorded;
      double elapsed = seconds_of(d.elapsed_ns);
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
  *t = sum;
  (*t)["files_different"] = different;
  (*t)["passes_completed"] = passes;
  (*t)["source"] = "ranks";
  for (const RankError& e : all_errors) {
    if (merge->errors.size() >= static_cast<size_t>(kMaxErrorEntries)) break;
    merge->errors.push_back(e);
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

// The job's latency from every process's buckets, its slowest call named
// with the process that made it.
json merged_latency(const JobMerge& merge) {
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
    latency[op_name(kTimedOp[i])] =
        LatencyDocument{l, dir.c_str(), pid, rank < 0 ? 0 : rank};
  }
  return latency;
}

json refusal_object() {
  MutexLock lock(&ranks_lock);
  if (!refusal.set) return nullptr;
  json o = json::object();
  o["rank"] = refusal.rank;
  o["exit_status"] = refusal.exit_status;
  put_text(o, "message", refusal.message);
  return o;
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
  reset_report_writer();
}

bool report_enabled() { return report_file() != nullptr || page_file() != nullptr; }

const char* report_file() {
  return setup_state != nullptr ? setup_state->setup.path : nullptr;
}

const char* page_file() {
  return setup_state != nullptr ? setup_state->setup.html_path : nullptr;
}

namespace {

json build_document(const Totals* totals) {
  if (setup_state == nullptr) return json::object();
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
  r["settings"] = SettingsDocument{settings, st.setup.monitor};

  put_end(r, outcome.cause, outcome.signal_number);
  r["cleanup"] = running ? json(nullptr) : json(outcome.emergency ? "emergency" : "orderly");
  r["exit_status"] = outcome.exit_known ? json(outcome.exit_status) : json(nullptr);
  r["watchdog_expired"] = outcome.watchdog_expired;
  r["wait_timed_out"] = outcome.wait_timed_out;

  json t = totals != nullptr ? json(*totals)
                             : json(live.counts);
  t["files_different"] = live.files_different;
  t["passes_completed"] = live.passes_completed;
  t["source"] = totals != nullptr ? "summary" : "workers";
  uint64_t job_errors[kOpCount];
  JobMerge merge{};
  json ranks = rank_sections(&t, job_errors, &merge);  // a multi-host job only
  r["totals"] = t;

  r["errors_by_operation"] = by_operation(ranks.is_null() ? live.errors : job_errors);
  r["bad_blocks"] = bad_blocks_json(live.bad_blocks);

  json per_worker = json::array();
  for (int w = 0; w < workers; ++w) per_worker.push_back(WorkerDocument{w, worker_records[w], elapsed_s});
  r["workers"] = per_worker;
  if (!ranks.is_null()) r["ranks"] = ranks;
  json check = journal_check_section();
  if (check.is_object()) r["journal_check"] = check;
  json refused = refusal_object();
  if (!refused.is_null()) r["refused"] = refused;

  // Inside calls: the bytes over the time spent in the calls that moved
  // them (a rate per stream of calls); wall: over the wall time in which
  // some worker was in that phase.
  const auto& rate = mib_rate;
  uint64_t written = t["bytes_written"].get<uint64_t>();
  uint64_t read = t["bytes_read"].get<uint64_t>();
  r["throughput"] = {
      {"write_MiBps_in_calls", rate(live.counts.bytes_written, static_cast<double>(live.write_ns) / 1e9)},
      {"read_MiBps_in_calls", rate(live.counts.bytes_read, static_cast<double>(live.read_ns) / 1e9)},
      {"write_MiBps_wall", rate(written, static_cast<double>(phase_wall_ns(Op::kWrite)) / 1e9)},
      {"read_MiBps_wall", rate(read, static_cast<double>(phase_wall_ns(Op::kRead)) / 1e9)}};
  r["latency"] = {{"write", latency_of(Op::kWrite, 0, workers)},
                  {"read", latency_of(Op::kRead, 0, workers)},
                  {"sync", latency_of(Op::kSync, 0, workers)}};
  if (merge.any) {
    // A multi-host job: every process's calls, its buckets added up.
    r["throughput"]["write_MiBps_in_calls"] = rate(written, seconds_of(merge.write_ns));
    r["throughput"]["read_MiBps_in_calls"] = rate(read, seconds_of(merge.read_ns));
    // The processes run side by side: the job was in a phase at least as
    // long as the process that spent longest in it.
    uint64_t write_wall = std::max(phase_wall_ns(Op::kWrite), merge.write_wall_ns);
    uint64_t read_wall = std::max(phase_wall_ns(Op::kRead), merge.read_wall_ns);
    r["throughput"]["write_MiBps_wall"] = rate(written, seconds_of(write_wall));
    r["throughput"]["read_MiBps_wall"] = rate(read, seconds_of(read_wall));
    r["latency"] = merged_latency(merge);
    r["slowest_rank"] = merge.slowest_rank;
    r["bad_blocks"] = bad_blocks_json(merge.bad_blocks);
  }

  json present, kept;
  own_files(&present, &kept);
  r["files_present"] = present;
  r["kept_files"] = kept;
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

  json timeline = json::array();
  uint64_t raw_per_sample = timeline_visit(add_timeline_sample, &timeline);
  r["timeline_interval_s"] = raw_per_sample > 0 ? json(raw_per_sample) : json(nullptr);
  r["timeline"] = std::move(timeline);
  return r;
}

// The document as text: two-space indents, but one line per timeline
// sample, so that 2,000 samples stay a readable few hundred kilobytes.
std::string document_text(json& r) {
  json timeline = std::move(r["timeline"]);
  r.erase("timeline");
  std::string text = r.dump(2, ' ', false, json::error_handler_t::replace);
  // Reopens the closing brace to append the series as the last field.
  size_t close = text.rfind('}');
  if (close != std::string::npos && close > 0) {
    text.erase(close);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    text += ",\n  \"timeline\": [";
    bool first = true;
    for (const json& sample : timeline) {
      text += first ? "\n    " : ",\n    ";
      text += sample.dump(-1, ' ', false, json::error_handler_t::replace);
      first = false;
    }
    text += first ? "]\n}" : "\n  ]\n}";
  }
  text += '\n';
  r["timeline"] = std::move(timeline);
  return text;
}

}  // namespace

std::string build_report(const Totals* totals) {
  if (setup_state == nullptr) return "{}";
  json r = build_document(totals);
  return document_text(r);
}

int build_report_and_page(const Totals* totals, std::string* report, std::string* page) {
  if (setup_state == nullptr) return EINVAL;
  json r = build_document(totals);
  if (report != nullptr) *report = document_text(r);
  return page != nullptr ? render_page(r, page) : 0;
}

void report_set_ranks(const RankSection* sections, int count) {
  MutexLock lock(&ranks_lock);
  if (rank_list == nullptr) rank_list = new std::vector<RankSection>;
  rank_list->assign(sections, sections + (count > 0 ? count : 0));
}

void report_set_journal_check(const std::string& json_text) {
  MutexLock lock(&ranks_lock);
  if (journal_check_text == nullptr) journal_check_text = new std::string;
  *journal_check_text = json_text;
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

}  // namespace iochurn
