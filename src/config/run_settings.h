// The process-wide settings of a run and the block handed to each worker.
#ifndef IOCHURN_CONFIG_RUN_SETTINGS_H_
#define IOCHURN_CONFIG_RUN_SETTINGS_H_

#include <fcntl.h>

#include <cstdint>

namespace iochurn {

constexpr int kMaxThreads = 500;
constexpr int kMaxFiles = 100;
constexpr int kPathSize = 256;  // path field of a slot, terminator included
constexpr int32_t kDefaultIoTimeoutSecs = 3600;
constexpr int32_t kMaxBufsizeMb = 2047;  // one read or write moves < 2 GiB
constexpr uint32_t kMaxPrimeLimit = 1000000;
constexpr const char kDefaultWorkdir[] = "/tmp";
constexpr const char kVersion[] = IOCHURN_VERSION;

// How read-back data is checked.
enum class VerifyMode : uint8_t {
  kSum,     // the additive sum of each file
  kBlocks,  // the sum, and a tagged header and check value in every block
};

// What --sweep does with the leftovers of dead runs.
enum class SweepMode : uint8_t { kOff, kOn, kForce };

// Every default lives here. Fields marked "copied" reach a worker through
// its ThreadParams block; the others are read by workers directly from
// `settings`, which nobody writes once the first worker has started.
struct RunSettings {
  int32_t filecount = 1;   // workers read directly
  int32_t bufsize = 4;     // MB; workers read directly
  uint32_t filesize = 16;  // MB; workers read directly
  int32_t threads = 1;
  // Copied. Never follow a link planted at a predictable name in a shared
  // directory.
  int32_t open_flags =
      O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  uint32_t open_mode = 0600;      // copied
  const char* workdir = nullptr;  // nullptr: the built-in directory
  int64_t passive_wait_ms = 7200000;  // negative: no limit
  bool delete_files = true;    // workers read directly
  bool shadow_enabled = true;  // workers read directly
  int32_t io_tmout_secs = kDefaultIoTimeoutSecs;
  bool async_break = true;
  bool collect_stats = true;   // workers read directly
  int32_t passes = 1;          // copied; used as an unsigned count
  const char* logfile = nullptr;  // workers read directly
  bool verbose = false;           // workers read directly
  bool alarm_control = false;     // workers read directly
  bool run_forever = false;       // copied
  bool separate_buffers = false;  // copied
  bool sync_writes = false;       // copied
  bool random_fill = false;       // copied
  bool random_sleep = false;      // workers read directly
  int32_t usec = 0;  // used as unsigned
  uint32_t max_int_num = 0;

  // Opt-in behaviour of the long options; workers read them directly.
  VerifyMode verify_mode = VerifyMode::kSum;
  uint32_t verify_block = 4096;   // bytes, a power of two
  bool keep_failed = false;
  int32_t keep_failed_max = 100;  // files kept per run at most
  const char* report_path = nullptr;
  const char* html_path = nullptr;         // --html: the page of the run
  const char* from_report_path = nullptr;  // --from-report: render only
  int64_t runtime_s = 0;                   // --runtime; 0: no time limit
  bool strict = false;
  int32_t status_interval = 0;    // seconds; 0: no status line
  bool diagnose = false;
  SweepMode sweep = SweepMode::kOff;
  int64_t memory_budget_mb = -1;  // -1: from the machine; 0: no budget
  const char* journal = nullptr;        // --journal=FILE
  const char* check_journal = nullptr;  // --check-journal=FILE ("-": stdin)
  int32_t cut_after_secs = -1;          // --cut-after; -1: no cut
  const char* cut_command = nullptr;    // --cut-command; run through /bin/sh
  // --max-errors: compare and other errors together that stop the run in
  // order; 0: no limit.
  int64_t max_errors = 0;

  // The multi-host program: the "<host>.<rank>" directory each process
  // works in under workdir. Set by its start-up, counted by the too-long
  // check, then joined to workdir when the job starts (nullptr after).
  const char* rank_dir = nullptr;
};

// The run's settings. Written only by the option loop and start-up on the
// main thread before the first worker starts; read by every thread after.
extern RunSettings settings;

// Debug builds: remembers the settings as the first worker starts, so that
// check_settings_frozen can catch a late write. No-ops otherwise. Main.
void freeze_settings();
void check_settings_frozen();

// Number of slots in use: filecount, or none when it is below 1.
inline int used_slots() {
  return settings.filecount > 0 ? settings.filecount : 0;
}

// Settings of the main thread's supervision; never reach the workers.
struct MonitorSettings {
  bool monitor_threads = false;
  int32_t actv_mon_tmout = -1;  // -1: no interval given
  bool rerun_threads = false;
};

// The fields copied into every started worker.
struct ThreadParams {
  int32_t thread_index;
  int32_t passes;
  int32_t run_forever;
  int32_t random_fill;
  int32_t separate_buffers;
  int32_t sync_writes;
  int32_t open_flags;
  int32_t open_mode;
};

// Puts every field of `*s` back to its built-in default.
void reset_run_settings(RunSettings* s);

// The working directory in force: the -t text, or the built-in one.
const char* effective_workdir(const RunSettings& s);

// Size of one buffer in bytes.
uint32_t buffer_bytes(const RunSettings& s);

// Size of one file in bytes.
uint64_t file_bytes(const RunSettings& s);

// Milliseconds for a number of seconds times `factor`, computed in 64 bits;
// negative seconds give -1 (no limit).
int64_t timeout_ms(int32_t seconds, int32_t factor);

// Fills a worker's block from the settings and its index.
void fill_thread_params(const RunSettings& s, int32_t index, ThreadParams* p);

}  // namespace iochurn

#endif  // IOCHURN_CONFIG_RUN_SETTINGS_H_
