// How a worker reports: its error lines, its verbose lines, its progress
// symbols. One helper per kind of line, so the phases name what they report.
#ifndef IOCHURN_WORKER_WORKER_REPORT_H_
#define IOCHURN_WORKER_WORKER_REPORT_H_

#include <cstdint>

#include "ledger/run_record.h"
#include "worker/slots.h"

namespace iochurn {

// Where an error happened, for the run record.
struct ErrorSite {
  Op op;
  int slot;
  uint64_t offset;  // byte offset in the file
  uint64_t asked;   // bytes asked
  int64_t moved;    // bytes moved; -1 when the call failed
  int error;        // errno value, 0 when none
  int kind = -1;    // BlockKind of a bad block; -1 for any other error
};

// Counts an error of the worker (other errors; compare errors are counted
// once per file by count_compare_error), records it for the report, and
// prints `format` on standard error with one output call. The worker.
void report_worker_error(Worker* w, const ErrorSite& site,
                         const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Counts one file whose data came back different. The worker.
void count_compare_error(Worker* w);

// The bytes and errors of this run of the worker: what its record gained
// since the run began. Any thread that may read the record.
Totals run_counts(const Worker* w);

// Prints `format` on standard output in verbose mode only.
void verbose_line(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// Shows one progress symbol at once.
void put_symbol(char symbol);

}  // namespace iochurn

#endif  // IOCHURN_WORKER_WORKER_REPORT_H_
