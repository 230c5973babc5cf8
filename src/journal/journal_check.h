// The check after a power cut (--check-journal): reads back every file the
// journal still expects and classifies every acknowledged block.
#ifndef IOCHURN_JOURNAL_JOURNAL_CHECK_H_
#define IOCHURN_JOURNAL_JOURNAL_CHECK_H_

#include <cstdint>
#include <string>

#include "verify/block_kind.h"

namespace iochurn {

struct JournalCheckOptions {
  const char* path = nullptr;  // the journal; "-" reads standard input
  bool direct = false;         // read the files with direct I/O (-d)
  bool keep_files = false;     // keep intact files too (-z)
  // Polled between chunks; true stops the check (a break). nullptr: never.
  bool (*interrupted)() = nullptr;
};

// What one check found.
struct JournalCheckTotals {
  uint64_t files_checked;      // files the journal expects, unconfirmed ones
                               // not included
  uint64_t files_missing;      // of those, gone
  uint64_t files_unconfirmed;  // gone, with a retirement that a journal
                               // that cannot be made durable may have lost
  uint64_t files_unreadable;
  uint64_t bytes_acknowledged;
  uint64_t bytes_intact;
  uint64_t bytes_lost;  // every kind but intact and torn
  uint64_t bytes_torn;
  uint64_t blocks_acknowledged;
  uint64_t blocks_intact;
  uint64_t blocks_by_kind[kBlockKindCount];
  bool journal_damaged;  // records beyond a bad one could not be trusted
  bool interrupted;
};

// Runs the check: one line per finding on standard error (at most eight
// named per file, then a count), the summary block on standard output.
// Files with findings that lose data are kept as "<name>.failed"; files
// found intact are deleted (unless `keep_files`) once durable retirements of
// them are appended to the journal (when it is a writable regular file;
// otherwise they are kept). Fills `*totals` and, when `report_json` is not
// null, the report's "journal_check" object as JSON text. Returns the exit
// status: 0 when every acknowledged byte is intact (torn bytes and
// unconfirmed files set no bit), else 16 + 1 (bytes lost) + 2 (a file or
// the rest of the journal unreadable) + 8 (interrupted); 2 alone, after one
// line, for a journal that cannot be opened or has no valid header. Main
// thread, with no workers running.
int check_journal(const JournalCheckOptions& options, JournalCheckTotals* totals,
                  std::string* report_json);

}  // namespace iochurn

#endif  // IOCHURN_JOURNAL_JOURNAL_CHECK_H_
