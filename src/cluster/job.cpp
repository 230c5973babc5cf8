// One process of a multi-host job.
//
// How the processes stay together (only the main thread calls MPI):
// - Every process takes part in one sequence of rounds. A round is one
//   non-blocking reduction (MPI_Iallreduce) of a RoundState, tested between
//   short sleeps: Open MPI polls while it waits in a blocking call, which
//   would take a core from the workers. A process starts its next round as
//   soon as it has seen the last one complete, so every process sees the
//   same rounds in the same order.
// - Round 1 is the start: a process enters it once it has checked its
//   settings and made its directory. A stop key in its result means some
//   process cannot start; then none does.
// - While workers run, the driver polls between the slices of its waits. A
//   completed round passes the job's strongest break on to this process (a
//   break at once beats an orderly one), and ends this process early when
//   another has ended the job with a status of its own (start or re-run
//   failed, emergency clean-up), as a local failure of that kind would.
// - A process that has finished keeps taking part, `running` 0, until a
//   round shows every process finished. That round is the last one
//   everywhere, so the counts match; one gather then brings every process's
//   figures to rank 0, and MPI ends.
// - The emergency clean-up may run on any thread. When it is not the main
//   thread, it hands the end of the process over and parks; the main thread
//   takes it at its next poll or wait and tells the others through the
//   rounds. If the main thread does not come in time (a long start-up step
//   such as -P), the process ends by itself and the launcher ends the rest.
#include "cluster/job.h"

#include <fcntl.h>
#include <mpi.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cluster/job_state.h"
#include "config/run_settings.h"
#include "driver/run_hooks.h"
#include "driver/run_report.h"
#include "exit_status.h"
#include "guard/break_handler.h"
#include "guard/shadow_table.h"
#include "guard/signals.h"
#include "ledger/run_outcome.h"
#include "ledger/run_record.h"
#include "ledger/summary.h"
#include "platform/message.h"
#include "platform/mutex.h"
#include "platform/sleep.h"
#include "report/json_report.h"
#include "report/status_line.h"

namespace iochurn {

namespace {

// A poll this soon after the last one does nothing: the rounds need no more,
// and a monitor with -o 0 calls it in a tight loop.
constexpr uint64_t kMinPollGapNs = 20 * 1000000ull;
// How long the emergency clean-up on another thread waits for the main
// thread to take the end of the process over.
constexpr int kHandOverMs = 3000;

// This process's part of the job. Written and read by the main thread
// only, except host, dir_made and workdir, which are set before any other
// thread starts and read by the emergency clean-up's thread.
struct Job {
  bool mpi_up;  // between MPI_Init and MPI_Finalize
  int rank;
  int size;
  pthread_t main_thread;
  char host[72];
  char dir_name[96];  // "<host>.<rank>"
  char workdir[kPathSize];
  bool dir_made;
  MPI_Datatype round_type;
  MPI_Op round_op;
  MPI_Request request;
  RoundState sent;    // the round in flight: what this process put in
  RoundState result;  // the last completed round: the whole job's
  StatusSample sent_sample;
  bool round_open;
  bool started;       // round 1 entered
  bool start_refused;
  bool finished;      // this process has entered its last rounds
  bool final_known;
  int final_status;   // the job's exit status, once final_known
  int local_status;   // the status this process would end with alone
  bool cleaned;       // its files are taken care of
  bool reported;      // its final report is written
  bool passing_on;    // inside break_handler for another process's break
  bool own_stop;      // local_status came from this process's own break
  int64_t break_passed_on;
  uint64_t last_poll_ns;
  uint64_t stall_ns;
  std::vector<RankSection>* sections;  // rank 0, after the gather
};
Job job;

// The hand-over of the end of the process from the emergency clean-up's
// thread to the main thread: the status (-1: none), and who took it.
std::atomic<int> handed_exit{-1};
std::atomic<bool> exit_claimed{false};

// Rank 0's figures of the whole job for its status lines. Written by the
// main thread after each round; read by the status thread.
Mutex sample_lock;
StatusSample job_sample GUARDED_BY(sample_lock);
bool job_sample_valid GUARDED_BY(sample_lock) = false;

int worker_count() { return settings.threads > 0 ? settings.threads : 0; }

bool on_main_thread() { return pthread_equal(pthread_self(), job.main_thread) != 0; }

void combine_op(void* in, void* inout, int* length, MPI_Datatype*) {
  auto* a = static_cast<const RoundState*>(in);
  auto* b = static_cast<RoundState*>(inout);
  for (int i = 0; i < *length; ++i) combine_rounds(a[i], &b[i]);
}

// Waits for a non-blocking call without letting MPI spin. Main thread.
void wait_request(MPI_Request* request) {
  for (int i = 0;; ++i) {
    int done = 0;
    MPI_Test(request, &done, MPI_STATUS_IGNORE);
    if (done != 0) return;
    micro_sleep(0, i < 500 ? 1000 : 5000);
  }
}

int64_t local_break_key() {
  int b = strongest_break();
  if (b == 0) return 0;
  EndCause cause = run_outcome().cause;
  if (cause != EndCause::kWatchdog && cause != EndCause::kWaitTimeout)
    cause = EndCause::kSignal;
  return break_key_of(b & (kBreakAtOnce - 1), cause, (b & kBreakAtOnce) != 0);
}

// This process's --strict bits, judged as report_run_end judges them.
int local_strict_bits() {
  int status = strict_status(kExitOk, strict_inputs_now());
  return status >= kExitStrictBase ? status - kExitStrictBase : 0;
}

RoundState local_round() {
  RoundState r{};
  r.stop_key = stop_key_of(job.local_status, job.rank);
  r.break_key = local_break_key();
  r.running = job.finished ? 0 : 1;
  r.strict_bits = job.finished ? local_strict_bits() : 0;
  // Read from the workers' records without a lock: no worker pauses.
  job.sent_sample = take_status_sample(worker_count(), job.stall_ns);
  const StatusSample& s = job.sent_sample;
  r.passes_completed = static_cast<int64_t>(s.passes_completed);
  r.bytes_written = static_cast<int64_t>(s.counts.bytes_written);
  r.bytes_read = static_cast<int64_t>(s.counts.bytes_read);
  r.compare_errors = static_cast<int64_t>(s.counts.compare_errors);
  r.other_errors = static_cast<int64_t>(s.counts.other_errors);
  r.stalled = s.stalled;
  return r;
}

void publish_sample() {
  StatusSample s = job.sent_sample;
  s.passes_completed = static_cast<uint64_t>(job.result.passes_completed);
  s.counts.bytes_written = static_cast<uint64_t>(job.result.bytes_written);
  s.counts.bytes_read = static_cast<uint64_t>(job.result.bytes_read);
  s.counts.compare_errors = static_cast<uint64_t>(job.result.compare_errors);
  s.counts.other_errors = static_cast<uint64_t>(job.result.other_errors);
  s.stalled = static_cast<int>(job.result.stalled);
  MutexLock lock(&sample_lock);
  job_sample = s;
  job_sample_valid = true;
}

// Tests the round in flight, starting one with this process's state when
// none is. True when a round has just completed; job.result holds it.
bool advance() {
  if (!job.round_open) {
    job.sent = local_round();
    MPI_Iallreduce(&job.sent, &job.result, 1, job.round_type, job.round_op,
                   MPI_COMM_WORLD, &job.request);
    job.round_open = true;
  }
  int done = 0;
  MPI_Test(&job.request, &done, MPI_STATUS_IGNORE);
  if (done == 0) return false;
  job.round_open = false;
  if (job.rank == 0) publish_sample();
  return true;
}

// The emergency clean-up has run here: its status goes into the rounds.
void note_emergency_end(int status) {
  if (stop_key_of(status, job.rank) > stop_key_of(job.local_status, job.rank))
    job.local_status = status;
  job.own_stop = !job.passing_on;
  // That path deleted the files and wrote the last report itself.
  job.cleaned = true;
  job.reported = true;
}

// Takes over an end of the process that the emergency clean-up handed to
// the main thread. Returns true when there was one.
bool claim_handed_exit() {
  int status = handed_exit.load();
  if (status < 0 || exit_claimed.exchange(true)) return false;
  note_emergency_end(status);
  return true;
}

// Waits for the next round to complete. Main thread.
void wait_round() {
  for (int i = 0; !advance(); ++i) {
    claim_handed_exit();
    micro_sleep(0, i < 500 ? 1000 : 5000);
  }
}

void remove_rank_dir() {
  // Only an empty directory goes: -z keeps files, and so the directory.
  if (job.dir_made) rmdir(job.workdir);
}

// The last step of every process: once all have come this far (the
// launcher may kill whoever is left as soon as one exits with a status
// other than 0), a signal only ends the process with the job's status; the
// empty directory goes, and MPI ends. Main thread.
void conclude(int status) {
  if (!job.mpi_up) return;
  MPI_Request request;
  MPI_Ibarrier(MPI_COMM_WORLD, &request);
  wait_request(&request);
  break_hooks.job_over_status.store(status);
  remove_rank_dir();
  MPI_Op_free(&job.round_op);
  MPI_Type_free(&job.round_type);
  MPI_Finalize();
  job.mpi_up = false;
}

[[noreturn]] void end_process(int status) {
  conclude(status);
  std::exit(status);
}

// Copies `text` into `out`, cut to fit, always terminated.
void copy_text(char* out, size_t size, const char* text) {
  size_t n = std::strlen(text);
  if (n > size - 1) n = size - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

RankSection own_section() {
  RankSection s{};
  s.rank = job.rank;
  s.pid = static_cast<int32_t>(getpid());
  int bits = local_strict_bits();
  s.exit_status = job.local_status != 0 ? job.local_status
                  : settings.strict && bits != 0 ? kExitStrictBase + bits
                                                 : kExitOk;
  RunOutcome outcome = run_outcome();
  EndCause cause = outcome.cause;
  if (cause == EndCause::kRunning)
    cause = job.local_status == kExitStartFailed   ? EndCause::kStartFailed
            : job.local_status == kExitRerunFailed ? EndCause::kRerunFailed
                                                   : EndCause::kCompleted;
  s.ended = static_cast<uint8_t>(cause);
  s.signal_number = outcome.signal_number;
  copy_text(s.host_name, sizeof s.host_name, job.host);
  copy_text(s.workdir, sizeof s.workdir, effective_workdir(settings));
  s.totals = summary_totals();
  RecordTotals live;
  sum_records(worker_count(), &live);
  s.files_different = live.files_different;
  s.passes_completed = live.passes_completed;
  for (int i = 0; i < kOpCount; ++i) s.errors_by_op[i] = live.errors[i];
  return s;
}

// Brings every process's section to rank 0 and hands them to the report.
void gather_sections() {
  RankSection mine = own_section();
  // Never freed: the report may be written while the process exits.
  if (job.rank == 0) job.sections = new std::vector<RankSection>(job.size);
  void* all = job.rank == 0 ? job.sections->data() : nullptr;
  MPI_Request request;
  MPI_Igather(&mine, sizeof mine, MPI_BYTE, all, sizeof mine, MPI_BYTE, 0,
              MPI_COMM_WORLD, &request);
  wait_request(&request);
  if (job.rank == 0) report_set_ranks(job.sections->data(), job.size);
}

// Takes part in the rounds until every process has finished, then gathers
// the sections. Returns the job's exit status; once known, at once.
int finish_rounds() {
  if (job.final_known) return job.final_status;
  job.finished = true;
  do {
    wait_round();
  } while (job.result.running != 0);
  gather_sections();
  job.final_status = job_exit_status(job.result, settings.strict);
  job.final_known = true;
  return job.final_status;
}

EndCause cause_of_stop(int status) {
  if (status == kExitStartFailed) return EndCause::kStartFailed;
  if (status == kExitRerunFailed) return EndCause::kRerunFailed;
  return EndCause::kCompleted;
}

// The job ends with `stop` while this process may still run: it ends as a
// local failure of that kind would (the files of running workers deleted at
// once, no summary), after the last rounds. Main thread.
[[noreturn]] void end_early(int stop) {
  if (!job.cleaned) {
    job.cleaned = true;
    stop_status_thread();
    shadow_final_cleanup(stop);
  }
  int status = finish_rounds();
  int64_t key = job.result.stop_key;
  if (!job.reported) {
    job.reported = true;
    report_run_end(cause_of_stop(stop), status);
  }
  if (job.rank == 0 && key != 0 && rank_of_stop_key(key) != job.rank &&
      !job.own_stop)
    write_message(STDERR_FILENO, "iochurn-mpi: rank %d ended the job with status %d\n",
                  rank_of_stop_key(key), status_of_stop_key(key));
  end_process(status);
}

// Repeats here a break another process took (the first definite cause
// stays, as in one process). A break at once does not return.
void pass_on_break(const BreakInfo& b) {
  int here = strongest_break();
  if ((here & kBreakAtOnce) != 0) return;  // already ending at once
  if (here != 0 && !b.at_once) return;     // already stopping in order
  if (b.cause == EndCause::kSignal)
    set_end_cause(b.cause, b.code);
  else
    set_end_cause(b.cause);
  job.passing_on = true;
  break_handler(b.code, b.at_once);
  job.passing_on = false;
}

void act_on_round() {
  RoundState r = job.result;
  if (r.break_key > job.break_passed_on) {
    job.break_passed_on = r.break_key;
    pass_on_break(break_of_key(r.break_key));
  }
  int stop = status_of_stop_key(r.stop_key);
  if (stop != 0) end_early(stop);
}

// Makes "<dir>/<host>.<rank>" and works in it from now on. Returns 0, or
// status 10 after one line on standard error.
int make_rank_dir() {
  int n = std::snprintf(job.workdir, sizeof job.workdir, "%s/%s",
                        effective_workdir(settings), job.dir_name);
  int error = 0;
  struct stat st;
  if (n < 0 || static_cast<size_t>(n) >= sizeof job.workdir) {
    error = ENAMETOOLONG;
  } else if (mkdir(job.workdir, 0700) != 0 && errno != EEXIST) {
    error = errno;
  } else if (lstat(job.workdir, &st) != 0) {
    error = errno;
  } else if (!S_ISDIR(st.st_mode)) {
    // Never a link someone planted at a predictable name in a shared place.
    error = ENOTDIR;
  } else if (st.st_uid != geteuid()) {
    error = EPERM;
  }
  if (error != 0) {
    write_long_message(STDERR_FILENO, "iochurn-mpi: cannot work in %s: %s\n",
                       job.workdir, std::strerror(error));
    return kExitStartFailed;
  }
  job.dir_made = true;
  settings.workdir = job.workdir;
  settings.rank_dir = nullptr;
  return 0;
}

// Round 1. Returns 0 when every process can start, or the status all end
// with. Main thread, once.
int agree_start(int status, bool make_dir) {
  job.started = true;
  job.stall_ns = settings.status_interval > 0
                     ? static_cast<uint64_t>(settings.status_interval) * 1000000000u
                     : UINT64_MAX;
  if (status == 0 && make_dir) status = make_rank_dir();
  // One report and one page for the job, written by rank 0.
  if (job.rank != 0) {
    settings.report_path = nullptr;
    settings.html_path = nullptr;
  }
  job.local_status = status;
  wait_round();
  int stop = status_of_stop_key(job.result.stop_key);
  if (stop != 0) {
    job.start_refused = true;
    return stop;
  }
  // A break that came during the start.
  act_on_round();
  return 0;
}

// ---- the hooks ----

int ready_hook(int status) { return agree_start(status, true); }

void poll_hook() {
  if (claim_handed_exit()) end_early(job.local_status);
  uint64_t now = monotonic_ns();
  if (now - job.last_poll_ns < kMinPollGapNs) return;
  job.last_poll_ns = now;
  if (advance()) act_on_round();
}

int finish_hook(int status) {
  job.local_status = status;
  int job_status = finish_rounds();
  if (status_of_stop_key(job.result.stop_key) != 0) end_early(job_status);
  // Rank 0's summary and report show the whole job.
  if (job.rank == 0) {
    for (const RankSection& s : *job.sections) {
      if (s.rank == 0) continue;
      add_to_summary(s.totals);
    }
  }
  return job_status;
}

bool status_sample_hook(StatusSample* sample, uint64_t stall_ns) {
  if (job.rank != 0) return false;
  {
    MutexLock lock(&sample_lock);
    if (job_sample_valid) {
      *sample = job_sample;
      return true;
    }
  }
  *sample = take_status_sample(worker_count(), stall_ns);
  return true;
}

// break_hooks.end_process: after the emergency clean-up, on any thread.
void emergency_end(int status) {
  remove_rank_dir();
  if (on_main_thread()) {
    exit_claimed.store(true);
    note_emergency_end(status);
    end_early(job.local_status);
  }
  handed_exit.store(status);
  for (int waited = 0; waited < kHandOverMs; waited += 10) {
    if (exit_claimed.load()) park_forever();
    micro_sleep(0, 10000);
  }
  if (exit_claimed.exchange(true)) park_forever();
  // Without MPI's end (the main thread may be inside MPI): the launcher
  // ends the other processes. The files are gone already.
  _exit(status);
}

// An exit on the main thread that bypassed job_end (-h ends the process
// from the option loop): every process does the same, and each still needs
// its rounds and MPI's end.
void exit_without_end() {
  if (!job.mpi_up || !on_main_thread()) return;
  if (!job.started) agree_start(kExitHelp, false);
  if (!job.final_known) {
    job.cleaned = job.reported = true;
    if (job.local_status == 0) job.local_status = kExitHelp;
    finish_rounds();
  }
  conclude(job.final_status);
}

}  // namespace

int job_start(int* argc, char*** argv) {
  job.main_thread = pthread_self();
  job.request = MPI_REQUEST_NULL;
  // MPI's own threads must be born with these blocked, or one of them could
  // take a SIGTERM by its default action before the signal thread runs.
  int rc = block_break_signals();
  if (rc != 0) {
    write_message(STDERR_FILENO, "iochurn-mpi: cannot block signals: %s\n",
                  std::strerror(rc));
    return kExitBreakSetupFailed;
  }
  int provided = 0;
  // Errors in MPI itself end the job (MPI_ERRORS_ARE_FATAL).
  MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
  job.mpi_up = true;
  MPI_Comm_rank(MPI_COMM_WORLD, &job.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &job.size);
  MPI_Type_contiguous(kRoundFields, MPI_INT64_T, &job.round_type);
  MPI_Type_commit(&job.round_type);
  MPI_Op_create(combine_op, 1, &job.round_op);

  if (gethostname(job.host, sizeof job.host - 1) != 0)
    std::strncpy(job.host, "host", sizeof job.host - 1);
  char prefix[kLinePrefixSize];
  format_line_prefix(prefix, sizeof prefix, job.host, job.rank);
  set_line_prefix(prefix);
  format_rank_dir(job.dir_name, sizeof job.dir_name, job.host, job.rank);
  settings.rank_dir = job.dir_name;

  // Rank 0 alone shows progress, verbose lines and the summary.
  if (job.rank != 0) {
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      close(null_fd);
    }
  }

  break_hooks.sigterm_at_once = true;
  break_hooks.notice_to_stderr = true;
  break_hooks.sweep_forced = true;
  break_hooks.end_process = emergency_end;
  run_hooks.ready = ready_hook;
  run_hooks.poll = poll_hook;
  run_hooks.finish = finish_hook;
  run_hooks.status_sample = status_sample_hook;
  std::atexit(exit_without_end);
  return 0;
}

int job_end(int status) {
  if (!job.started) agree_start(status, false);
  if (!job.final_known) {
    // The driver deleted the files and wrote its report on its way out.
    job.cleaned = job.reported = true;
    if (job.local_status == 0) job.local_status = status;
    if (job.rank != 0 && !job.start_refused &&
        (status == kExitStartFailed || status == kExitRerunFailed))
      // Said on standard output, which only rank 0 shows.
      write_message(STDERR_FILENO, "%s\n",
                    status == kExitStartFailed
                        ? "Thread creation failed. Terminate."
                        : "A worker could not be re-run. Terminate.");
    finish_rounds();
  }
  conclude(job.final_status);
  return job.final_status;
}

}  // namespace iochurn
