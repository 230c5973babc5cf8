// The state of a multi-host job as one round of the processes' exchange
// carries it, and the decisions every process draws from it alike. No MPI
// here: the rounds are combined by whatever carries them.
#ifndef IOCHURN_CLUSTER_JOB_STATE_H_
#define IOCHURN_CLUSTER_JOB_STATE_H_

#include <cstddef>
#include <cstdint>

#include "ledger/run_outcome.h"

namespace iochurn {

// What one process puts into a round; a completed round holds the whole
// job's, combined field by field as marked. Only 64-bit fields, so that
// the exchange can carry it as one block of integers.
struct RoundState {
  int64_t stop_key;     // max: stop_key_of the status that ends the job
  int64_t break_key;    // max: break_key_of the strongest break
  int64_t running;      // max: 1 while a process has not finished
  int64_t strict_bits;  // or: the --strict bits of finished processes
  int64_t passes_completed;  // sums from here on: the status line
  int64_t bytes_written;
  int64_t bytes_read;
  int64_t compare_errors;
  int64_t other_errors;
  int64_t stalled;
};
constexpr int kRoundFields = 10;
static_assert(sizeof(RoundState) == kRoundFields * sizeof(int64_t));

// Folds `in` into `*inout`. Commutative and associative.
void combine_rounds(const RoundState& in, RoundState* inout);

// A status that ends every process of the job ("a specified status"), keyed
// so that the larger key wins: the earlier a status arises in one process,
// the higher it ranks: a refused start-up (2, 7, 8, 9), then a failed worker
// start (10), a failed re-run (6), the emergency clean-up (1); any other
// non-zero status below 16 ranks under those. 0 and the --strict statuses
// (16 and up) stop nothing and give key 0. `rank` says who raised it (the
// highest rank wins between equal statuses).
int64_t stop_key_of(int status, int rank);

// The status and rank of a key from stop_key_of; status 0 for key 0.
int status_of_stop_key(int64_t key);
int rank_of_stop_key(int64_t key);

// A break as the other processes repeat it: its number (the notice's N), its
// cause and whether it took the emergency clean-up. A break at once beats
// an orderly one; 0 means none.
int64_t break_key_of(int code, EndCause cause, bool at_once);

struct BreakInfo {
  int code;
  EndCause cause;
  bool at_once;
};
BreakInfo break_of_key(int64_t key);

// The job's exit status from a completed final round: the stop status when
// there is one, otherwise with --strict 16 plus the bits of all processes
// (0 when none), otherwise 0.
int job_exit_status(const RoundState& job, bool strict);

// "<host>.<rank>", the directory of one process under the working
// directory, and "[<host>:<rank>] ", the prefix of its error lines. Return
// false when `size` bytes do not hold it.
bool format_rank_dir(char* out, size_t size, const char* host, int rank);
bool format_line_prefix(char* out, size_t size, const char* host, int rank);

}  // namespace iochurn

#endif  // IOCHURN_CLUSTER_JOB_STATE_H_
