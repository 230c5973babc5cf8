// Journal start-up, the timed cut and the check mode.
#include "driver/journal_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/run_report.h"
#include "exit_status.h"
#include "guard/break_handler.h"
#include "guard/shadow_table.h"
#include "journal/journal.h"
#include "journal/journal_check.h"
#include "ledger/run_outcome.h"
#include "ledger/run_record.h"
#include "platform/event.h"
#include "platform/message.h"
#include "platform/no_destructor.h"
#include "platform/thread.h"
#include "report/json_report.h"
#include "report/report_writer.h"
#include "verify/block_tag.h"

extern char** environ;

namespace iochurn {

// Set by the multi-host program before the run; read by the main thread.
const char* journal_rank_suffix = nullptr;

namespace {

// All the waits of a cut together.
constexpr int64_t kCutWaitMs = 3000;

// The cut timer: started and stopped by the main thread; `cut_stop` is set
// by the main thread to let the timer end without cutting.
NoDestructor<AutoResetEvent> cut_stop;
ThreadHandle* cut_handle = nullptr;

// The journal path in force (with the rank suffix); written by the main
// thread before any worker starts, read by the cut.
std::string* journal_in_use = nullptr;

bool is_stream(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

int run_cut_command(const char* command) {
  pid_t child;
  const char* args[] = {"/bin/sh", "-c", command, nullptr};
  int rc = posix_spawn(&child, "/bin/sh", nullptr, nullptr,
                       const_cast<char* const*>(args), environ);
  if (rc != 0) return 127;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void cut_timer(void*) {
  int64_t ms = int64_t{settings.cut_after_secs} * 1000;
  if (cut_stop->wait(ms) == WaitResult::kSignalled) return;
  cut_run();
}

bool check_interrupted() { return user_break.load() != 0; }

}  // namespace

int check_journal_path() {
  if (settings.journal == nullptr || journal_rank_suffix == nullptr) return 0;
  if (!is_stream(settings.journal)) return 0;
  std::fprintf(stderr,
               "iochurn: --journal=%s: one journal per rank cannot share a "
               "pipe; give a regular file\n",
               settings.journal);
  return kExitBadLongOption;
}

int start_run_journal() {
  if (settings.journal == nullptr) return 0;
  journal_in_use = new std::string(settings.journal);
  if (journal_rank_suffix != nullptr) *journal_in_use += journal_rank_suffix;
  JournalHeader h{};
  h.magic = kJournalMagic;
  h.version = kJournalVersion;
  h.header_bytes = sizeof h;
  h.run_id = block_run_id;
  h.start_time_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
  h.pid = static_cast<uint32_t>(getpid());
  h.threads = static_cast<uint32_t>(settings.threads);
  h.filecount = static_cast<uint32_t>(settings.filecount);
  h.buffer_bytes = buffer_bytes(settings);
  h.file_bytes = file_bytes(settings);
  h.verify_block = settings.verify_block;
  if (settings.sync_writes) h.flags |= kJournalSyncWrites;
  if ((settings.open_flags & O_DIRECT) != 0) h.flags |= kJournalDirect;
  if (gethostname(h.host, sizeof h.host - 1) != 0) h.host[0] = '\0';
  char absolute[PATH_MAX];
  const char* dir = effective_workdir(settings);
  if (realpath(dir, absolute) == nullptr ||
      std::strlen(absolute) >= sizeof h.workdir) {
    std::fprintf(stderr, "iochurn: --journal: cannot name the working "
                         "directory %s as an absolute path\n", dir);
    return kExitBadLongOption;
  }
  std::memcpy(h.workdir, absolute, std::strlen(absolute) + 1);
  if (journal_open(journal_in_use->c_str(), h) != 0) return kExitBadLongOption;
  struct stat journal_st, dir_st;
  if (fstat(journal_descriptor(), &journal_st) == 0 &&
      stat(absolute, &dir_st) == 0 && S_ISREG(journal_st.st_mode) &&
      journal_st.st_dev == dir_st.st_dev)
    std::fprintf(stderr,
                 "iochurn: warning: journal %s is on the file system under "
                 "test; its check will trust that device\n",
                 journal_in_use->c_str());
  return 0;
}

int start_cut_timer() {
  if (settings.cut_after_secs < 0) return 0;
  unsigned long id;
  int rc = start_thread(cut_timer, nullptr, &cut_handle, &id);
  if (rc != 0)
    std::fprintf(stderr, "iochurn: cannot start the cut timer: %s\n",
                 std::strerror(rc));
  return rc;
}

void stop_cut_timer() {
  if (cut_handle == nullptr) return;
  cut_stop->set();
  join_thread(cut_handle);
  cut_handle = nullptr;
}

void cut_run() {
  // The workers park at their next gate from here on; nothing is deleted.
  if (!begin_emergency()) return;
  auto start = std::chrono::steady_clock::now();
  (void)wait_gates_quiet(kCutWaitMs);
  int64_t spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  (void)journal_commit(kCutWaitMs > spent ? kCutWaitMs - spent : 0);
  const char* journal = journal_in_use != nullptr ? journal_in_use->c_str() : "";
  if (settings.cut_command != nullptr) {
    int status = run_cut_command(settings.cut_command);
    write_long_message(STDERR_FILENO,
                       "iochurn: cut after %d s; check with "
                       "--check-journal=%s (cut command exit status %d)\n",
                       settings.cut_after_secs, journal, status);
  } else {
    write_long_message(STDERR_FILENO,
                       "iochurn: cut after %d s; check with --check-journal=%s\n",
                       settings.cut_after_secs, journal);
  }
  set_end_cause(EndCause::kCut);
  set_exit_status(kExitOk);
  (void)write_report_bounded(2000);
  _exit(kExitOk);
}

void end_run_journal() {
  if (!journal_enabled()) return;
  // Workers that outlasted the wait may still hold acknowledged files.
  if (settings.delete_files) (void)journal_retire_all(settings.threads, kRetireWaitMs);
  journal_close();
}

int run_journal_check(int argc, char** argv, const MonitorSettings& monitor) {
  report_run_start(argc, argv, monitor);
  JournalCheckOptions options;
  options.path = settings.check_journal;
  options.direct = (settings.open_flags & O_DIRECT) != 0;
  options.keep_files = !settings.delete_files;
  options.interrupted = check_interrupted;
  JournalCheckTotals totals;
  std::string json;
  int status = check_journal(options, &totals, &json);
  report_set_journal_check(json);
  int ended = report_run_end(EndCause::kCompleted, status);
  // The check's own status stands, with or without --strict.
  return status != kExitOk ? status : ended == kExitOk ? kExitOk : status;
}

}  // namespace iochurn
