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
// - Beside the rounds, rank 0 asks every other process for its figures
//   every half second (point to point, tested like the rounds) and each
//   answers from its main thread; the answers make rank 0's status lines.
//   A process not heard for the rank time-out (by the observer's awake
//   clock, so that a job stopped and continued as a whole ends nothing) is
//   declared unresponsive, or lost when it is known to be gone. The rounds
//   cannot complete without it, so the job then ends without them: rank 0
//   tells the others, each stops (in order, or at once with -u), sends its
//   section to rank 0, and rank 0 writes the report and ends the job with
//   MPI_Abort. Every other process watches rank 0 the same way.
// - The emergency clean-up may run on any thread. When it is not the main
//   thread, it hands the end of the process over and parks; the main thread
//   takes it at its next poll or wait and tells the others through the
//   rounds. If the main thread does not come in time (a long start-up step
//   such as -P), the process ends by itself and the launcher ends the rest.
#include "cluster/job.h"

#include <dirent.h>
#include <fcntl.h>
#include <mpi.h>
#include <signal.h>
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
#include "cluster/liveness.h"
#include "config/run_settings.h"
#include "driver/journal_run.h"
#include "driver/run_hooks.h"
#include "driver/run_report.h"
#include "exit_status.h"
#include "guard/break_handler.h"
#include "guard/error_limit.h"
#include "guard/shadow_table.h"
#include "guard/signals.h"
#include "ledger/run_outcome.h"
#include "ledger/run_record.h"
#include "ledger/summary.h"
#include "platform/message.h"
#include "platform/mutex.h"
#include "platform/pause_clock.h"
#include "platform/sleep.h"
#include "report/json_report.h"
#include "report/rank_detail.h"
#include "report/status_line.h"
#include "report/timeline.h"
#include "tempfile/temp_name.h"

namespace iochurn {

namespace {

// A poll this soon after the last one does nothing: the rounds need no more,
// and a monitor with -o 0 calls it in a tight loop.
constexpr uint64_t kMinPollGapNs = 20 * 1000000ull;
// How long the emergency clean-up on another thread waits for the main
// thread to take the end of the process over.
constexpr int kHandOverMs = 3000;
// Point-to-point tags; the rounds are collectives and never match them.
constexpr int kBeatTag = 101;
constexpr int kAnswerTag = 102;
constexpr int kSectionTag = 103;
constexpr int kSilentErrorsTag = 104;  // a section's errors when the job ends without rounds
// After a SIGTERM, how long rank 0 waits for every process to answer
// before it takes the silent ones for dead: the launcher's SIGKILL follows
// its SIGTERM after a second (Open MPI's odls_base_sigkill_timeout).
constexpr int kProbeMs = 300;
// How long rank 0 waits for the survivors' sections once the job ends
// without its rounds: their clean-up's bound and some.
constexpr int kSectionWaitMs = static_cast<int>(kCleanupStallLimitMs) + 2000;
constexpr int kLostSectionWaitMs = 300;
// How long a survivor waits for rank 0 to end the job before it ends
// itself.
constexpr int kAwaitAbortMs = 30000;

// Who a process is, as every process learns at start-up.
struct Identity {
  int64_t pid;
  char host[72];
};

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
  int argc;
  char** argv;
  char base_workdir[kPathSize];  // the -t directory, above the rank's own
  char refusal[kLongMessageSize];  // why this process refuses the start
  // The heartbeat. Rank 0 uses the arrays (one entry per rank), the others
  // the single messages.
  int rank_timeout_option;  // --rank-timeout, 0: none
  uint64_t rank_timeout_ns;
  bool beats_on;
  int64_t beat_seq;
  uint64_t last_beat_ns;
  std::vector<Identity>* ids;
  std::vector<BeatMessage>* beat_out;
  std::vector<MPI_Request>* beat_send;
  std::vector<AnswerMessage>* answer_in;
  std::vector<MPI_Request>* answer_recv;
  BeatMessage beat_in;
  MPI_Request beat_recv;
  AnswerMessage answer_out;
  MPI_Request answer_send;
  // The job ends without its rounds: who ended it, and how.
  bool silent_end;
  int culprit;
  bool culprit_lost;
  bool probed;
  bool help_exit;  // -h ended the option loop: nothing to report
  bool timeline_wanted;  // rank 0 keeps the report's series: answers carry latency
  uint64_t work_end_ns;  // when this process's workers ended
  int64_t job_errors;  // the whole job's errors, as rank 0 last counted them
  RankSection my_section;  // sent to rank 0; must outlive the send
  MPI_Request section_send;
  MPI_Request errors_send;
};
Job job;

// The hand-over of the end of the process from the emergency clean-up's
// thread to the main thread: the status (-1: none), and who took it.
std::atomic<int> handed_exit{-1};
std::atomic<bool> exit_claimed{false};

// Rank 0's view of every process (the others use entry 0, rank 0): the
// heartbeat's answers, for the silence check and the status lines.
// Written by the main thread and, for rank 0's own entry, the status
// thread; read by both.
Mutex watch_lock;
std::vector<RankWatch>* watch GUARDED_BY(watch_lock) = nullptr;

int worker_count() { return settings.threads > 0 ? settings.threads : 0; }

// The monotonic clock less the time this process was stopped: the clock
// silence is measured by, so that an observer stopped itself blames nobody.
uint64_t awake_ns() {
  int64_t now = pause_clock_now_ms();
  int64_t awake = now - paused_ms_at(now);
  return awake > 0 ? static_cast<uint64_t>(awake) * 1000000u : 0;
}

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

void service_beats();

// Waits for the next round to complete, or for the job to end without it.
// Main thread.
void wait_round() {
  for (int i = 0; !advance(); ++i) {
    claim_handed_exit();
    service_beats();
    if (job.silent_end) return;
    micro_sleep(0, i < 500 ? 1000 : 5000);
  }
}

void stop_beats();

void remove_rank_dir() {
  // Only an empty directory goes: -z keeps files, and so the directory.
  if (job.dir_made) rmdir(job.workdir);
}

// The last step of every process: once all have come this far (the
// launcher may kill whoever is left as soon as one exits with a status
// other than 0), a signal only ends the process with the job's status; the
// empty directory goes, and MPI ends. Main thread.
[[noreturn]] void end_silent_job(int status);

void conclude(int status) {
  if (!job.mpi_up) return;
  if (job.silent_end) end_silent_job(status);
  stop_beats();
  // No thread of this program may be left when MPI ends.
  stop_pause_clock();
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
  s.has_detail = true;
  // Its own time: up to when its workers ended, not its wait for the rest.
  if (job.work_end_ns == 0) job.work_end_ns = monotonic_ns();
  take_rank_detail(worker_count(), job.rank, job.work_end_ns, &s.detail);
  return s;
}

// This process's errors for rank 0's report: rank 0 keeps all of its own,
// every other process hands over its first kRankErrorEntries. Never freed:
// a send may still be in flight while the process ends.
ErrorEntry* own_errors(RankSection* s) {
  static ErrorEntry* kept = new ErrorEntry[kMaxErrorEntries];
  int max = job.rank == 0 ? kMaxErrorEntries : kRankErrorEntries;
  s->detail.errors_kept = copy_errors(kept, max);
  return kept;
}

// Rank 0: the errors of every process (counts from their sections), as the
// report takes them.
void hand_errors_to_report(const ErrorEntry* all, const std::vector<RankSection>& sections) {
  std::vector<RankError> list;
  size_t at = 0;
  for (const RankSection& s : sections) {
    for (int i = 0; i < s.detail.errors_kept; ++i)
      list.push_back(RankError{s.rank, all[at++]});
  }
  report_set_rank_errors(list.data(), static_cast<int>(list.size()));
}

// Brings every process's section to rank 0 and hands them to the report.
void gather_sections() {
  RankSection mine = own_section();
  ErrorEntry* kept = own_errors(&mine);
  // Never freed: the report may be written while the process exits.
  if (job.rank == 0) job.sections = new std::vector<RankSection>(job.size);
  void* all = job.rank == 0 ? job.sections->data() : nullptr;
  MPI_Request request;
  MPI_Igather(&mine, sizeof mine, MPI_BYTE, all, sizeof mine, MPI_BYTE, 0,
              MPI_COMM_WORLD, &request);
  wait_request(&request);
  // The errors, a few per process: sizes from the sections just gathered.
  const int entry = static_cast<int>(sizeof(ErrorEntry));
  std::vector<int> counts, offsets;
  std::vector<ErrorEntry> errors;
  if (job.rank == 0) {
    int total = 0;
    for (const RankSection& s : *job.sections) {
      counts.push_back(s.detail.errors_kept * entry);
      offsets.push_back(total * entry);
      total += s.detail.errors_kept;
    }
    errors.resize(static_cast<size_t>(total > 0 ? total : 1));
  }
  MPI_Igatherv(kept, mine.detail.errors_kept * entry, MPI_BYTE, errors.data(), counts.data(),
               offsets.data(), MPI_BYTE, 0, MPI_COMM_WORLD, &request);
  wait_request(&request);
  if (job.rank != 0) return;
  hand_errors_to_report(errors.data(), *job.sections);
  report_set_ranks(job.sections->data(), job.size);
}

// ---- the heartbeat ----

AnswerMessage answer_of(const Totals& totals, uint64_t passes_completed) {
  AnswerMessage a{};
  a.passes_completed = static_cast<int64_t>(passes_completed);
  a.bytes_written = static_cast<int64_t>(totals.bytes_written);
  a.bytes_read = static_cast<int64_t>(totals.bytes_read);
  a.compare_errors = static_cast<int64_t>(totals.compare_errors);
  a.other_errors = static_cast<int64_t>(totals.other_errors);
  a.errors_counted = a.compare_errors + a.other_errors;
  return a;
}

AnswerMessage answer_of(const StatusSample& s) {
  AnswerMessage a = answer_of(s.counts, s.passes_completed);
  a.stalled = s.stalled;
  a.bad_blocks = static_cast<int64_t>(s.bad_blocks);
  return a;
}

AnswerMessage answer_of(const RankSection& s) {
  AnswerMessage a = answer_of(s.totals, s.passes_completed);
  if (!s.has_detail) return a;
  for (uint64_t n : s.detail.bad_blocks) a.bad_blocks += static_cast<int64_t>(n);
  static_assert(kTimedOps == kTimelineOps, "the same calls in the same order");
  for (int op = 0; op < kTimelineOps; ++op) {
    const LatencyTally& l = s.detail.latency[op];
    a.latency_count[op] = static_cast<int64_t>(l.count);
    a.latency_max_ns[op] = static_cast<int64_t>(l.max_ns);
    for (int k = 0; k < kLatencyBuckets; ++k)
      a.latency_buckets[op][k] = static_cast<int64_t>(l.buckets[k]);
  }
  return a;
}

// This process's answer to an ask: its figures now.
AnswerMessage answer_now() {
  AnswerMessage a = answer_of(take_status_sample(worker_count(), job.stall_ns));
  if (job.timeline_wanted) {
    TimelineTotals totals;
    read_timeline_totals(worker_count(), 0, &totals);
    answer_latency(totals, &a);
  }
  return a;
}

// timeline_set_job_figures on rank 0: the others from their last answers.
int job_timeline_figures(TimelineTotals* totals, int* stalled) {
  MutexLock lock(&watch_lock);
  if (watch == nullptr) return 1;
  return add_job_timeline(watch->data(), job.size, totals, stalled);
}

// True when `request` has completed, or is none. Main thread.
bool request_done(MPI_Request* request) {
  int done = 0;
  MPI_Test(request, &done, MPI_STATUS_IGNORE);
  return done != 0;
}

void post_answer_recv(int r) {
  MPI_Irecv(&(*job.answer_in)[r], kAnswerFields, MPI_INT64_T, r, kAnswerTag,
            MPI_COMM_WORLD, &(*job.answer_recv)[r]);
}

void post_beat_recv() {
  MPI_Irecv(&job.beat_in, kBeatFields, MPI_INT64_T, 0, kBeatTag,
            MPI_COMM_WORLD, &job.beat_recv);
}

// Rank 0 to rank r: an ask (entry r) or the stop (entry size + r, so that
// an ask still in flight never holds the stop back). Skipped while the last
// such message to r has not gone yet: that process is behind anyway.
void send_beat(int r, int64_t command) {
  int slot = command == kBeatStop ? job.size + r : r;
  MPI_Request* request = &(*job.beat_send)[slot];
  if (!request_done(request)) return;
  BeatMessage& b = (*job.beat_out)[slot];
  b = BeatMessage{job.beat_seq, command, job.culprit, job.culprit_lost ? 1 : 0,
                  job.job_errors};
  MPI_Isend(&b, kBeatFields, MPI_INT64_T, r, kBeatTag, MPI_COMM_WORLD, request);
}

// True when rank r ran on this host and its process is gone.
bool process_gone(int r) {
  const Identity& id = (*job.ids)[r];
  if (std::strcmp(id.host, job.host) != 0) return false;  // cannot tell
  return kill(static_cast<pid_t>(id.pid), 0) != 0 && errno == ESRCH;
}

bool rank_ended(int r) {
  MutexLock lock(&watch_lock);
  return (*watch)[r].ended;
}

// The job ends without its rounds, because rank `culprit` fell silent.
void begin_silent_end(int culprit, bool lost) {
  job.silent_end = true;
  job.culprit = culprit;
  job.culprit_lost = lost;
  MutexLock lock(&watch_lock);
  if (culprit >= 0 && culprit < static_cast<int>(watch->size()))
    (*watch)[culprit].ended = true;
}

// Rank 0 tells every other live process that the job ends.
void send_stops() {
  if (job.rank != 0) return;
  for (int r = 1; r < job.size; ++r)
    if (!rank_ended(r)) send_beat(r, kBeatStop);
}

// This process stops as a break would stop it: in order, or with -u at
// once (then it does not return).
void take_silent_stop(bool lost) {
  int here = strongest_break();
  if ((here & kBreakAtOnce) != 0 || here != 0) return;
  set_end_cause(lost ? EndCause::kLost : EndCause::kUnresponsive);
  job.passing_on = true;
  break_handler(kTimeoutBreakCode);
  job.passing_on = false;
}

// Rank r has not been heard for `silent_ns` (`lost`: it is gone). Rank 0
// says so and tells the others; when rank 0 is the silent one, rank 1 says
// it.
void declare_silent(int r, bool lost, uint64_t silent_ns) {
  if (job.rank == 0 || (r == 0 && job.rank == 1)) {
    const char* host = (*job.ids)[r].host;
    if (lost)
      write_message(STDERR_FILENO, "iochurn-mpi: rank %d on %s is gone; ending the job\n",
                    r, host);
    else
      write_message(STDERR_FILENO,
                    "iochurn-mpi: rank %d on %s did not answer for %llu s; ending the job\n",
                    r, host, static_cast<unsigned long long>(silent_ns / 1000000000u));
  }
  begin_silent_end(r, lost);
  send_stops();
  take_silent_stop(lost);
}

// Answers in and asks out (rank 0), asks answered (the others), and the
// silence check. Main thread, from every poll and wait.
void service_beats() {
  if (!job.beats_on) return;
  const uint64_t now = monotonic_ns();
  const uint64_t awake = awake_ns();
  if (job.rank == 0) {
    {
      MutexLock lock(&watch_lock);
      for (int r = 1; r < job.size; ++r) {
        while (request_done(&(*job.answer_recv)[r])) {
          note_answer(&(*watch)[r], (*job.answer_in)[r], now, awake);
          post_answer_recv(r);
        }
      }
    }
    if (!job.silent_end && now - job.last_beat_ns >= kBeatPeriodNs) {
      job.last_beat_ns = now;
      ++job.beat_seq;
      {
        // The job's errors go out with every ask, for a job-wide limit.
        MutexLock lock(&watch_lock);
        int64_t errors = answer_of(take_status_sample(worker_count(), 0)).errors_counted;
        for (int r = 1; r < job.size; ++r) errors += (*watch)[r].latest.errors_counted;
        job.job_errors = errors;
      }
      note_job_errors(static_cast<uint64_t>(job.job_errors), true);
      for (int r = 1; r < job.size; ++r)
        if (!rank_ended(r)) send_beat(r, kBeatAsk);
    }
  } else {
    while (request_done(&job.beat_recv)) {
      BeatMessage b = job.beat_in;
      post_beat_recv();
      job.job_errors = b.job_errors;
      note_job_errors(static_cast<uint64_t>(b.job_errors), false);
      {
        MutexLock lock(&watch_lock);
        note_answer(&(*watch)[0], AnswerMessage{}, now, awake);
      }
      if (b.command == kBeatStop) {
        if (job.silent_end) continue;
        begin_silent_end(static_cast<int>(b.culprit), b.lost != 0);
        take_silent_stop(b.lost != 0);
        continue;
      }
      if (!request_done(&job.answer_send)) continue;
      job.answer_out = answer_now();
      job.answer_out.seq = b.seq;
      MPI_Isend(&job.answer_out, kAnswerFields, MPI_INT64_T, 0, kAnswerTag,
                MPI_COMM_WORLD, &job.answer_send);
    }
  }
  if (job.silent_end) return;
  int silent;
  uint64_t heard = 0;
  {
    MutexLock lock(&watch_lock);
    silent = find_silent_rank(watch->data(), job.rank == 0 ? job.size : 1,
                              job.rank, awake, job.rank_timeout_ns);
    if (silent >= 0) heard = (*watch)[silent].heard_awake_ns;
  }
  if (silent >= 0) declare_silent(silent, process_gone(silent), awake - heard);
}

// After a SIGTERM on rank 0. The launcher sends one to every process when
// one of them has died; every live process answers within kProbeMs even in
// its clean-up, and the silent ones are taken for dead.
void probe_for_lost() {
  if (job.rank != 0 || job.probed || job.silent_end || !job.beats_on) return;
  int b = strongest_break();
  if ((b & (kBreakAtOnce - 1)) != SIGTERM || run_outcome().cause != EndCause::kSignal)
    return;
  job.probed = true;
  const int64_t seq = ++job.beat_seq;
  for (int r = 1; r < job.size; ++r) send_beat(r, kBeatAsk);
  std::vector<char> heard(job.size, 0);
  heard[0] = 1;
  const uint64_t deadline = monotonic_ns() + kProbeMs * 1000000ull;
  for (;;) {
    bool all = true;
    {
      MutexLock lock(&watch_lock);
      for (int r = 1; r < job.size; ++r) {
        while (request_done(&(*job.answer_recv)[r])) {
          const AnswerMessage& a = (*job.answer_in)[r];
          note_answer(&(*watch)[r], a, monotonic_ns(), awake_ns());
          if (a.seq >= seq) heard[r] = 1;
          post_answer_recv(r);
        }
        if (heard[r] == 0) all = false;
      }
    }
    if (all || monotonic_ns() >= deadline) break;
    micro_sleep(0, 2000);
  }
  int first = -1;
  for (int r = 1; r < job.size; ++r) {
    if (heard[r] != 0) continue;
    write_message(STDERR_FILENO, "iochurn-mpi: rank %d on %s is gone; ending the job\n", r,
                  (*job.ids)[r].host);
    MutexLock lock(&watch_lock);
    (*watch)[r].ended = true;
    if (first < 0) first = r;
  }
  if (first < 0) return;
  begin_silent_end(first, true);
  send_stops();
}

// Stops the heartbeat once the last round is done: the receives still
// posted are cancelled. Main thread.
void stop_beats() {
  if (!job.beats_on) return;
  job.beats_on = false;
  auto cancel = [](MPI_Request* request) {
    if (*request == MPI_REQUEST_NULL) return;
    MPI_Cancel(request);
    MPI_Wait(request, MPI_STATUS_IGNORE);
  };
  if (job.rank == 0) {
    for (int r = 1; r < job.size; ++r) cancel(&(*job.answer_recv)[r]);
  } else {
    cancel(&job.beat_recv);
  }
}

// The -t directory joined with rank r's own directory name.
void rank_workdir(int r, char* out, size_t size) {
  char name[96];
  format_rank_dir(name, sizeof name, (*job.ids)[r].host, r);
  int n = std::snprintf(out, size, "%s/%s", job.base_workdir, name);
  if (n < 0 || static_cast<size_t>(n) >= size) out[0] = '\0';  // no such path
}

// What rank 0 knows of a process whose section never came.
void fill_silent_section(int r, RankSection* s) {
  *s = RankSection{};
  s->rank = r;
  s->pid = static_cast<int32_t>((*job.ids)[r].pid);
  copy_text(s->host_name, sizeof s->host_name, (*job.ids)[r].host);
  rank_workdir(r, s->workdir, sizeof s->workdir);
  s->has_detail = false;
  s->ended = static_cast<uint8_t>(r == job.culprit && job.culprit_lost ? EndCause::kLost
                                                                       : EndCause::kUnresponsive);
  AnswerMessage a;
  {
    MutexLock lock(&watch_lock);
    a = (*watch)[r].latest;
  }
  s->totals = {static_cast<uint64_t>(a.bytes_read), static_cast<uint64_t>(a.bytes_written),
               static_cast<uint64_t>(a.compare_errors), static_cast<uint64_t>(a.other_errors)};
  s->passes_completed = static_cast<uint64_t>(a.passes_completed);
}

// Rank 0, when the job ends without its rounds: the survivors' sections and
// their errors, waited for a bounded time, and what it knows of the rest;
// `own_kept` holds rank 0's own errors. Returns the job's status.
int collect_sections(const ErrorEntry* own_kept) {
  if (job.sections == nullptr) job.sections = new std::vector<RankSection>(job.size);
  std::vector<RankSection>& all = *job.sections;
  // Never freed either: receives that never complete stay posted.
  auto* receives = new std::vector<MPI_Request>(job.size, MPI_REQUEST_NULL);
  auto* error_receives = new std::vector<MPI_Request>(job.size, MPI_REQUEST_NULL);
  auto* errors = new std::vector<std::vector<ErrorEntry>>(job.size);
  std::vector<char> got(job.size, 0);
  // 0: not asked yet; 1: posted; 2: in (or none to come).
  std::vector<char> got_errors(job.size, 0);
  all[0] = job.my_section;
  got[0] = 1;
  for (int r = 1; r < job.size; ++r)
    if (r != job.culprit && !(job.probed && rank_ended(r)))
      MPI_Irecv(&all[r], sizeof(RankSection), MPI_BYTE, r, kSectionTag, MPI_COMM_WORLD,
                &(*receives)[r]);
  const int wait_ms = job.probed ? kLostSectionWaitMs : kSectionWaitMs;
  const uint64_t deadline = monotonic_ns() + wait_ms * 1000000ull;
  for (;;) {
    bool all_in = true;
    for (int r = 1; r < job.size; ++r) {
      if (got[r] == 0 && (*receives)[r] != MPI_REQUEST_NULL) {
        if (request_done(&(*receives)[r]))
          got[r] = 1;
        else
          all_in = false;
      }
      if (got[r] == 0 || got_errors[r] == 2) continue;
      if (got_errors[r] == 0) {
        // The section says how many errors follow it.
        int kept = all[r].has_detail ? all[r].detail.errors_kept : 0;
        if (kept < 0 || kept > kRankErrorEntries) kept = 0;
        all[r].detail.errors_kept = kept;
        got_errors[r] = kept == 0 ? 2 : 1;
        if (kept == 0) continue;
        (*errors)[r].resize(static_cast<size_t>(kept));
        MPI_Irecv((*errors)[r].data(), kept * static_cast<int>(sizeof(ErrorEntry)), MPI_BYTE,
                  r, kSilentErrorsTag, MPI_COMM_WORLD, &(*error_receives)[r]);
      }
      if (request_done(&(*error_receives)[r]))
        got_errors[r] = 2;
      else
        all_in = false;
    }
    if (all_in || monotonic_ns() >= deadline) break;
    micro_sleep(0, 2000);
  }
  // Every process's errors in rank order; a process whose errors did not
  // come in time lists none.
  std::vector<ErrorEntry> listed(own_kept, own_kept + job.my_section.detail.errors_kept);
  for (int r = 1; r < job.size; ++r) {
    if (got[r] == 0) continue;
    if (got_errors[r] != 2) {
      all[r].detail.errors_kept = 0;
      continue;
    }
    listed.insert(listed.end(), (*errors)[r].begin(), (*errors)[r].end());
  }
  std::vector<int> statuses(job.size, 0);
  for (int r = 0; r < job.size; ++r)
    if (got[r] != 0) statuses[r] = all[r].exit_status;
  {
    // The report's last sample holds the final figures of those that sent them.
    MutexLock lock(&watch_lock);
    for (int r = 1; r < job.size; ++r)
      if (got[r] != 0)
        note_answer(&(*watch)[r], answer_of(all[r]), monotonic_ns(), awake_ns());
  }
  int status = silent_job_status(statuses.data(), job.size, settings.strict);
  for (int r = 1; r < job.size; ++r) {
    if (got[r] != 0) continue;
    fill_silent_section(r, &all[r]);
    all[r].exit_status = status;
  }
  hand_errors_to_report(listed.data(), all);
  report_set_ranks(all.data(), job.size);
  return status;
}

// The job ends without its last round: rank 0 gathers what it can, the
// others send their sections. Returns the job's status on rank 0, this
// process's own elsewhere.
int silent_finish() {
  if (job.final_known) return job.final_status;
  job.my_section = own_section();
  ErrorEntry* kept = own_errors(&job.my_section);
  int status = job.my_section.exit_status;
  if (job.rank == 0) {
    status = collect_sections(kept);
  } else if (job.culprit != 0) {
    MPI_Isend(&job.my_section, sizeof(RankSection), MPI_BYTE, 0, kSectionTag,
              MPI_COMM_WORLD, &job.section_send);
    int kept_count = job.my_section.detail.errors_kept;
    if (kept_count > 0)
      MPI_Isend(kept, kept_count * static_cast<int>(sizeof(ErrorEntry)), MPI_BYTE, 0,
                kSilentErrorsTag, MPI_COMM_WORLD, &job.errors_send);
  }
  job.final_known = true;
  job.final_status = status;
  return status;
}

// The files rank r left, where rank 0 can see its directory (a shared
// file system), one line each.
void list_left_files(int r) {
  char dir[kPathSize];
  rank_workdir(r, dir, sizeof dir);
  DIR* d = opendir(dir);
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    TempName name;
    if (parse_temp_name(e->d_name, &name))
      write_long_message(STDERR_FILENO, "iochurn-mpi: rank %d left %s/%s\n", r, dir,
                         e->d_name);
  }
  closedir(d);
}

// The last step of a job that ended without its rounds. Rank 0 (or rank 1
// when rank 0 is the silent one, after the others' clean-up bound) ends
// the job; the others wait for that, and end by themselves if it never
// comes. A break meanwhile only ends the process.
[[noreturn]] void end_silent_job(int status) {
  break_hooks.job_over_status.store(status);
  stop_pause_clock();
  remove_rank_dir();
  if (job.rank == 0) {
    if (job.culprit > 0) list_left_files(job.culprit);
    MPI_Abort(MPI_COMM_WORLD, status);
  }
  if (job.culprit == 0 && job.rank == 1) {
    micro_sleep(kSectionWaitMs / 1000, (kSectionWaitMs % 1000) * 1000);
    MPI_Abort(MPI_COMM_WORLD, status);
  }
  micro_sleep(kAwaitAbortMs / 1000, 0);
  _exit(status);
}

// Takes part in the rounds until every process has finished, then gathers
// the sections. Returns the job's exit status; once known, at once.
int finish_rounds() {
  if (job.final_known) return job.final_status;
  job.finished = true;
  do {
    if (job.silent_end) return silent_finish();
    wait_round();
  } while (job.silent_end || job.result.running != 0);
  stop_beats();
  gather_sections();
  if (job.rank == 0) {
    // The last status line shows the final figures of every process.
    MutexLock lock(&watch_lock);
    for (int r = 1; r < job.size; ++r)
      note_answer(&(*watch)[r], answer_of((*job.sections)[r]), monotonic_ns(),
                  awake_ns());
  }
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
  if (job.work_end_ns == 0) job.work_end_ns = monotonic_ns();
  if (!job.cleaned) {
    job.cleaned = true;
    stop_status_thread();
    shadow_final_cleanup(stop);
  }
  probe_for_lost();
  int status = finish_rounds();
  if (job.silent_end) {
    // Rank 0's report names the silent process, also after the emergency
    // clean-up wrote one.
    if (!job.reported || job.rank == 0) {
      job.reported = true;
      report_run_end(cause_of_stop(stop), status);
    }
    end_process(status);
  }
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

// Whether a file can be made in `dir`: an O_TMPFILE open, which leaves no
// name behind, or where the file system has none, a file made and deleted
// at once. Returns 0 or an errno value.
int probe_write(const char* dir) {
  int fd = open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
  char path[kPathSize + 32];
  std::snprintf(path, sizeof path, "%s/.iochurn-probe.%d", dir, static_cast<int>(getpid()));
  fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  close(fd);
  unlink(path);
  return 0;
}

// Whether `dir` is a directory of this user's that it can write in.
// Returns 0 or an errno value.
int check_own_dir(const char* dir) {
  struct stat st;
  if (lstat(dir, &st) != 0) return errno;
  // Never a link someone planted at a predictable name in a shared place.
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != geteuid()) return EPERM;
  // A directory this process cannot write in would fail every open later.
  return probe_write(dir);
}

// Makes "<dir>/<host>.<rank>" and works in it from now on. Returns 0, or
// status 10 after one line on standard error.
int make_rank_dir() {
  copy_text(job.base_workdir, sizeof job.base_workdir, effective_workdir(settings));
  int n = std::snprintf(job.workdir, sizeof job.workdir, "%s/%s",
                        effective_workdir(settings), job.dir_name);
  int error = 0;
  bool mkdir_made = false;
  if (n < 0 || static_cast<size_t>(n) >= sizeof job.workdir)
    error = ENAMETOOLONG;
  else if (mkdir(job.workdir, 0700) == 0)
    mkdir_made = true;
  else if (errno != EEXIST)
    error = errno;
  if (error == 0) error = check_own_dir(job.workdir);
  if (error != 0) {
    std::snprintf(job.refusal, sizeof job.refusal, "iochurn-mpi: cannot work in %s: %s",
                  job.workdir, std::strerror(error));
    write_long_message(STDERR_FILENO, "%s\n", job.refusal);
    if (mkdir_made) rmdir(job.workdir);
    return kExitStartFailed;
  }
  job.dir_made = true;
  settings.workdir = job.workdir;
  settings.rank_dir = nullptr;
  return 0;
}

// Every process of a refused start hands its reason to rank 0, which names
// the process that ended the job and writes the report (with --report).
void refuse_start(int stop) {
  constexpr int kTextSize = 512;
  char mine[kTextSize] = "";
  if (job.local_status != 0)
    copy_text(mine, sizeof mine,
              job.refusal[0] != '\0' ? job.refusal : refusal_text(job.local_status));
  std::vector<char> texts(job.rank == 0 ? static_cast<size_t>(job.size) * kTextSize : 1);
  MPI_Request request;
  MPI_Igather(mine, kTextSize, MPI_CHAR, texts.data(), kTextSize, MPI_CHAR, 0,
              MPI_COMM_WORLD, &request);
  wait_request(&request);
  if (job.rank != 0 || job.help_exit) return;
  int who = rank_of_stop_key(job.result.stop_key);
  write_message(STDERR_FILENO, "iochurn-mpi: rank %d ended the job with status %d\n", who,
                stop);
  if (settings.report_path == nullptr || job.argv == nullptr) return;
  report_run_start(job.argc, job.argv, MonitorSettings{});
  report_set_refusal(who, stop, &texts[static_cast<size_t>(who) * kTextSize]);
  report_run_end(EndCause::kStartFailed, stop);
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
  job.timeline_wanted = settings.report_path != nullptr || settings.html_path != nullptr;
  if (job.rank == 0) timeline_set_job_figures(job_timeline_figures);
  if (job.rank != 0) {
    settings.report_path = nullptr;
    settings.html_path = nullptr;
  }
  job.local_status = status;
  job.rank_timeout_ns = static_cast<uint64_t>(rank_timeout_s(
                            job.rank_timeout_option, settings.alarm_control,
                            settings.io_tmout_secs)) * 1000000000u;
  wait_round();
  if (job.silent_end) {
    // Someone fell silent before the start: nobody starts.
    int end = silent_finish();
    return end != 0 ? end : kExitStartFailed;
  }
  int stop = status_of_stop_key(job.result.stop_key);
  if (stop != 0) {
    job.start_refused = true;
    refuse_start(stop);
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
  service_beats();
  if (job.silent_end) return;
  if (advance()) act_on_round();
}

int finish_hook(int status) {
  job.work_end_ns = monotonic_ns();
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

// Rank 0's status lines: its own figures now and every other process's
// from its last answer.
int status_line_hook(uint64_t stall_ns, char* out, size_t size) {
  if (job.rank != 0) return 0;
  StatusSample line = take_status_sample(worker_count(), stall_ns);
  JobFigures f;
  {
    MutexLock lock(&watch_lock);
    note_answer(&(*watch)[0], answer_of(line), monotonic_ns(), awake_ns());
    f = take_job_figures(watch->data(), job.size);
  }
  line.passes_completed = f.passes_completed;
  line.counts = {f.bytes_read, f.bytes_written, f.compare_errors,
                 f.other_errors};
  line.bad_blocks = f.bad_blocks;
  line.stalled = f.stalled;
  return format_job_status_line(line, f.write_MiBps, f.read_MiBps, f.silent, out, size);
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
  job.help_exit = true;
  if (!job.started) agree_start(kExitHelp, false);
  if (!job.final_known) {
    job.cleaned = job.reported = true;
    if (job.local_status == 0) job.local_status = kExitHelp;
    finish_rounds();
  }
  conclude(job.final_status);
}

// Every process learns who the others are, and the heartbeat starts.
void start_beats() {
  const size_t n = static_cast<size_t>(job.size);
  job.culprit = -1;
  job.beat_recv = job.answer_send = job.section_send = job.errors_send = MPI_REQUEST_NULL;
  // Never freed: the clean-up of any thread may still read them.
  job.ids = new std::vector<Identity>(n);
  Identity me{};
  me.pid = getpid();
  copy_text(me.host, sizeof me.host, job.host);
  MPI_Request request;
  MPI_Iallgather(&me, sizeof me, MPI_BYTE, job.ids->data(), sizeof me, MPI_BYTE,
                 MPI_COMM_WORLD, &request);
  wait_request(&request);
  job.beat_out = new std::vector<BeatMessage>(2 * n);
  job.beat_send = new std::vector<MPI_Request>(2 * n, MPI_REQUEST_NULL);
  job.answer_in = new std::vector<AnswerMessage>(n);
  job.answer_recv = new std::vector<MPI_Request>(n, MPI_REQUEST_NULL);
  job.rank_timeout_ns = static_cast<uint64_t>(rank_timeout_s(0, false, 0)) * 1000000000u;
  // Without the ticker a stop of this process counts as silence of the
  // others; the job goes on regardless.
  (void)start_pause_clock();
  {
    MutexLock lock(&watch_lock);
    watch = new std::vector<RankWatch>(n);
    reset_watch(watch->data(), job.size, monotonic_ns(), awake_ns());
  }
  if (job.rank == 0) {
    for (int r = 1; r < job.size; ++r) post_answer_recv(r);
  } else {
    post_beat_recv();
  }
  job.last_beat_ns = monotonic_ns();
  job.beats_on = true;
}

// Reads a whole number of seconds, 1 or more.
bool read_seconds(const char* text, int* out) {
  if (text == nullptr || *text == '\0') return false;
  int64_t v = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    v = v * 10 + (*c - '0');
    if (v > INT32_MAX) return false;
  }
  if (v < 1) return false;
  *out = static_cast<int>(v);
  return true;
}

constexpr char kMpiHelp[] =
    "iochurn-mpi: the MPI program, one iochurn process per rank on many hosts\n"
    "at once. Launch it with the MPI launcher, e.g.\n"
    "   mpirun -np N iochurn-mpi [options]       (Open MPI; --hostfile FILE for hosts)\n"
    "   srun --mpi=pmix -n N iochurn-mpi [options]   (Slurm)\n"
    "Each rank works in <workdir>/<host>.<rank>; rank 0 shows the progress and the\n"
    "summary, prints the status lines and writes the report for the whole job.\n"
    "       --rank-timeout=SECONDS  end the job when a rank has not answered for\n"
    "                            SECONDS (default: twice -a with -A, else 60)\n";

}  // namespace

int job_own_options(int* argc, char** argv) {
  int status = -1;
  bool help = false;
  bool version = false;
  int out = 1;
  int i = 1;
  for (; i < *argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--") == 0) break;
    if (std::strncmp(a, "--rank-timeout", 14) == 0 && (a[14] == '=' || a[14] == '\0')) {
      const char* value = a[14] == '=' ? a + 15 : (i + 1 < *argc ? argv[++i] : nullptr);
      if (!read_seconds(value, &job.rank_timeout_option)) {
        write_long_message(STDERR_FILENO,
                           "iochurn-mpi: %s: accepted is a whole number of seconds, 1 or more\n",
                           a);
        status = kExitBadLongOption;
      }
      continue;
    }
    if (std::strcmp(a, "--help") == 0) help = true;
    if (std::strcmp(a, "--version") == 0) version = true;
    argv[out++] = argv[i];
  }
  for (; i < *argc; ++i) argv[out++] = argv[i];
  *argc = out;
  argv[out] = nullptr;
  job.argc = *argc;
  job.argv = argv;
  if (status >= 0) return status;
  if (version) {
    std::printf("iochurn-mpi %s\n", kVersion);
    return kExitOk;
  }
  // The rest of the help is the program's own.
  if (help) std::fputs(kMpiHelp, stdout);
  return -1;
}

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
  // One journal per process: "<FILE>.<host>.<rank>".
  static char journal_suffix[sizeof job.dir_name + 1];
  std::snprintf(journal_suffix, sizeof journal_suffix, ".%s", job.dir_name);
  journal_rank_suffix = journal_suffix;
  start_beats();

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
  run_hooks.status_line = status_line_hook;
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
