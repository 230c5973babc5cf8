// The process-wide settings of a run and the block handed to each worker.
#ifndef IOCHURN_CONFIG_RUN_SETTINGS_H_
#define IOCHURN_CONFIG_RUN_SETTINGS_H_

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

struct RunSettings {
  int32_t filecount = 1;
  int32_t bufsize = 4;     // MB
  uint32_t filesize = 16;  // MB
  int32_t threads = 1;
  int32_t open_flags;  // set by reset_run_settings
  uint32_t open_mode;
  const char* workdir = nullptr;  // nullptr: the built-in directory
  int64_t passive_wait_ms = 7200000;  // negative: no limit
  bool delete_files = true;
  bool shadow_enabled = true;
  int32_t io_tmout_secs = kDefaultIoTimeoutSecs;
  bool async_break = true;
  bool collect_stats = true;
  int32_t passes = 1;  // used as an unsigned count
  const char* logfile = nullptr;
  bool verbose = false;
  bool alarm_control = false;
  bool run_forever = false;
  bool separate_buffers = false;
  bool sync_writes = false;
  bool random_fill = false;
  bool random_sleep = false;
  int32_t usec = 0;  // used as unsigned
  uint32_t max_int_num = 0;
};

// The run's settings. Written only by the option loop and start-up on the
// main thread before the first worker starts; read by every thread after.
extern RunSettings settings;

// Settings of the main thread's supervision; never reach the workers.
struct MonitorSettings {
  bool monitor_threads = false;
  int32_t actv_mon_tmout = -1;  // -1: no interval given
  bool rerun_threads = false;
};

// The nine fields copied into every started worker.
struct ThreadParams {
  int32_t thread_index;
  int32_t filesize;
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
