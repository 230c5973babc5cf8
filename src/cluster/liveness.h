// Liveness across the processes of a multi-host job: the heartbeat's
// messages, who has been silent too long, and the job's status-line
// figures from the answers. No MPI here: the caller carries the messages.
#ifndef IOCHURN_CLUSTER_LIVENESS_H_
#define IOCHURN_CLUSTER_LIVENESS_H_

#include <cstdint>

#include "report/timeline.h"

namespace iochurn {

// How often rank 0 asks every other process.
constexpr uint64_t kBeatPeriodNs = 500 * 1000000ull;
// The silence bound without -A and without --rank-timeout.
constexpr int kDefaultRankTimeoutS = 60;

// What rank 0 sends. Only 64-bit fields: one block of integers.
enum BeatCommand : int64_t {
  kBeatAsk = 0,   // answer with your figures
  kBeatStop = 1,  // the job ends: `culprit` stopped answering or died
};
struct BeatMessage {
  int64_t seq;
  int64_t command;
  int64_t culprit;     // with kBeatStop: the rank that ended the job
  int64_t lost;        // with kBeatStop: 1 when that rank died
  int64_t job_errors;  // the job's errors so far (for a job-wide limit)
};
constexpr int kBeatFields = 5;
static_assert(sizeof(BeatMessage) == kBeatFields * sizeof(int64_t));

// What every process answers: the seq it answers and its figures now.
struct AnswerMessage {
  int64_t seq;
  int64_t passes_completed;
  int64_t bytes_written;
  int64_t bytes_read;
  int64_t compare_errors;
  int64_t other_errors;
  int64_t stalled;
  int64_t errors_counted;  // what a job-wide error limit counts
  int64_t bad_blocks;      // of every kind
  // Write, read and sync calls so far, for the report's series (zero when
  // the job writes no report or page).
  int64_t latency_count[kTimelineOps];
  int64_t latency_max_ns[kTimelineOps];
  int64_t latency_buckets[kTimelineOps][kLatencyBuckets];
};
constexpr int kAnswerFields = 9 + kTimelineOps * (2 + kLatencyBuckets);
static_assert(sizeof(AnswerMessage) == kAnswerFields * sizeof(int64_t));

// Rank 0's view of one process.
struct RankWatch {
  uint64_t heard_awake_ns;  // the observer's awake clock at the last answer
  uint64_t heard_ns;        // the monotonic clock then, for the rates
  AnswerMessage latest;
  uint64_t line_ns;         // heard_ns of the figures the last line used
  AnswerMessage at_line;
  uint64_t timeline_ns;     // heard_ns when the series last took the figures
  bool ended;               // declared unresponsive or lost
};

// The silence bound in seconds: `option` when given (above 0), else twice
// the I/O limit with alarm control, else kDefaultRankTimeoutS.
int rank_timeout_s(int option, bool alarm_control, int io_tmout_secs);

// Every entry heard now and nothing used by a status line yet.
void reset_watch(RankWatch* watch, int count, uint64_t now_ns,
                 uint64_t awake_now_ns);

// Takes an answer heard at `now_ns` / `awake_now_ns`.
void note_answer(RankWatch* w, const AnswerMessage& answer, uint64_t now_ns,
                 uint64_t awake_now_ns);

// The first rank other than `self`, not ended yet, that has not been heard
// for longer than `bound_ns` of the observer's awake time; -1 when none.
int find_silent_rank(const RankWatch* watch, int count, int self,
                     uint64_t awake_now_ns, uint64_t bound_ns);

// The whole job's figures for one status line. The totals are the sums of
// the latest answers; the rates are summed over the processes heard since
// the last line, each over the time its new figures cover (so a late answer
// is spread over the stretch it stands for, never a spike); a process not
// heard since the last line counts as silent. Moves every entry's
// line figures on.
struct JobFigures {
  uint64_t passes_completed;
  uint64_t bytes_written;
  uint64_t bytes_read;
  uint64_t compare_errors;
  uint64_t other_errors;
  uint64_t bad_blocks;
  int stalled;
  int silent;
  double write_MiBps;
  double read_MiBps;
};
JobFigures take_job_figures(RankWatch* watch, int count);

// The latency part of an answer from a process's own series totals.
void answer_latency(const TimelineTotals& totals, AnswerMessage* out);

// For the report's series: adds the latest figures of entries [1, count)
// (entry 0 is the observer, whose own are already in `totals`) to `totals`
// and their stalled transfers to `*stalled`; returns the processes that
// reported since the last call, the observer included (an ended one never
// counts). Moves every entry's timeline mark on.
int add_job_timeline(RankWatch* watch, int count, TimelineTotals* totals,
                     int* stalled);

}  // namespace iochurn

#endif  // IOCHURN_CLUSTER_LIVENESS_H_
