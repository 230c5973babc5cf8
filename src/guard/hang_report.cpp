// HUNG and SLOW lines from the workers' published calls and /proc.
#include "guard/hang_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "config/run_settings.h"
#include "guard/watchdog.h"
#include "platform/message.h"
#include "tempfile/temp_name.h"

namespace iochurn {

namespace {

// Room for the line and a deep kernel stack; a longer stack is cut at a
// frame, never split into a second write.
constexpr size_t kReportSize = 8192;

// Reads up to `size` - 1 bytes of a /proc file; -1 when it cannot be read.
ssize_t read_proc(const char* path, char* out, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t got = 0;
  ssize_t n;
  while (got + 1 < size && (n = read(fd, out + got, size - 1 - got)) > 0)
    got += static_cast<size_t>(n);
  close(fd);
  out[got] = '\0';
  return static_cast<ssize_t>(got);
}

// Appends the kernel stack of `tid`, each frame prefixed, as far as it fits.
size_t append_stack(char* out, size_t used, size_t size, int thread, int tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stack", tid);
  char stack[4096];
  if (read_proc(path, stack, sizeof stack) <= 0) return used;
  char* line = stack;
  while (*line != '\0') {
    char* end = std::strchr(line, '\n');
    if (end != nullptr) *end = '\0';
    int n = std::snprintf(out + used, size - used, "Thread %d:   %s\n", thread,
                          line);
    if (n < 0 || static_cast<size_t>(n) >= size - used) break;
    used += static_cast<size_t>(n);
    if (end == nullptr) break;
    line = end + 1;
  }
  return used;
}

bool past(const ActivitySnapshot& call, uint64_t now_ns, int64_t ms) {
  return now_ns > call.start_ns &&
         now_ns - call.start_ns >= static_cast<uint64_t>(ms) * 1000000;
}

int workers_to_look_at() { return settings.threads > 0 ? settings.threads : 0; }

// The kernel's view of a task: its state letter and what it waits in.
struct TaskState {
  char state;      // '?' when unknown
  char wchan[64];  // "?" when unknown
};

// Reads /proc/self/task/<tid>/stat and wchan; leaves the unknown markers
// where they cannot be read.
void read_task_state(int tid, TaskState* out) {
  out->state = '?';
  std::snprintf(out->wchan, sizeof out->wchan, "?");
  char path[64], text[512];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", tid);
  if (tid <= 0 || read_proc(path, text, sizeof text) <= 0) return;
  // "<tid> (<name>) <state> ...": the name may hold spaces and parentheses.
  const char* close_paren = std::strrchr(text, ')');
  if (close_paren == nullptr || close_paren[1] != ' ' || close_paren[2] == '\0')
    return;
  out->state = close_paren[2];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/wchan", tid);
  char wchan[sizeof out->wchan];
  ssize_t n = read_proc(path, wchan, sizeof wchan);
  if (n > 0) {
    wchan[std::strcspn(wchan, "\n")] = '\0';
    std::snprintf(out->wchan, sizeof out->wchan, "%s", wchan);
  }
}

// The line of `kind` ("HUNG" or "SLOW") with its line end; returns its
// length (cut to fit `size`). On a terminal that also shows the progress
// symbols, which end no line, it starts with a line end of its own.
size_t format_transfer_line(char* out, size_t size, const char* kind,
                            int thread, const ActivitySnapshot& call,
                            uint64_t now_ns, const TaskState& task) {
  char path[kPathSize];
  if (!worker_file_path(path, sizeof path, thread, call.slot))
    std::snprintf(path, sizeof path, "?");
  double seconds = now_ns > call.start_ns
                       ? static_cast<double>(now_ns - call.start_ns) / 1e9
                       : 0;
  const char* fresh_line =
      isatty(STDERR_FILENO) && isatty(STDOUT_FILENO) ? "\n" : "";
  // Only reads and writes have a byte range; the other calls name the file.
  char range[64] = "";
  if (call.op == Op::kRead || call.op == Op::kWrite)
    std::snprintf(range, sizeof range, "%llu bytes at offset %llu of ",
                  static_cast<unsigned long long>(call.bytes),
                  static_cast<unsigned long long>(call.offset));
  int n = std::snprintf(
      out, size,
      "%sThread %d: %s [%s]: %s%s for %.1f s (task %d state %c wchan %s)\n",
      fresh_line, thread, kind, op_name(call.op), range, path, seconds,
      call.tid, task.state, task.wchan);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

void write_report(const char* kind, int thread, const ActivitySnapshot& call,
                  uint64_t now_ns, bool with_stack) {
  TaskState task;
  read_task_state(call.tid, &task);
  char text[kReportSize];
  size_t used =
      format_transfer_line(text, sizeof text, kind, thread, call, now_ns, task);
  if (with_stack)
    used = append_stack(text, used, sizeof text, thread, call.tid);
  // One write: the lines of one worker never mix with anyone else's.
  write_lines(STDERR_FILENO, text, used);
}

// How far a call has been named, in its Activity.slow_reported.
// kMovedOn is no level: what mark_named returns when the call has ended.
enum Named : uint8_t {
  kNotNamed = 0,
  kNamedSlow = 1,
  kNamedHung = 2,
  kMovedOn = 0xFF
};

// Raises the naming of the call seen in `call` to `level` and returns the
// level it had, or kMovedOn when the worker has moved on to another call
// meanwhile (the mark, which may have landed on that new call, is then
// taken back).
uint8_t mark_named(int thread, const ActivitySnapshot& call, uint8_t level) {
  std::atomic<uint8_t>& mark = worker_records[thread].activity.slow_reported;
  uint8_t before = mark.load();
  while (before < level && !mark.compare_exchange_weak(before, level)) {
  }
  ActivitySnapshot now;
  if (read_activity(thread, &now) && now.start_ns == call.start_ns &&
      now.op == call.op && now.slot == call.slot && now.offset == call.offset)
    return before;
  mark.store(kNotNamed);
  return kMovedOn;
}

}  // namespace

bool worker_file_path(char* out, size_t size, int thread, int slot) {
  // The workers' own name, from the same inputs.
  return build_temp_path(out, size, effective_workdir(settings),
                         static_cast<int>(getpid()), thread, slot);
}

int report_hung_worker(int thread) {
  if (!settings.diagnose) return 0;
  ActivitySnapshot call;
  if (!read_activity(thread, &call)) return 0;
  // Every expiry is named, even of a call named before: it is a new arming.
  mark_named(thread, call, kNamedHung);
  write_report("HUNG", thread, call, monotonic_ns(), true);
  return 1;
}

int report_hung_transfers() {
  if (!settings.diagnose) return 0;
  int lines = 0;
  uint64_t now = monotonic_ns();
  for (int t = 0; t < workers_to_look_at(); ++t) {
    ActivitySnapshot call;
    if (!read_activity(t, &call) || !past(call, now, kStuckAfterMs)) continue;
    // Its watchdog, or an earlier time-out, has named it already.
    uint8_t before = mark_named(t, call, kNamedHung);
    if (before == kNamedHung || before == kMovedOn) continue;
    write_report("HUNG", t, call, now, true);
    ++lines;
  }
  return lines;
}

int report_slow_transfers(int64_t threshold_ms) {
  if (!settings.diagnose) return 0;
  // Past the watchdog's limit a call is the watchdog's to name.
  const int64_t limit = settings.alarm_control ? watchdog_limit_ms : -1;
  int lines = 0;
  uint64_t now = monotonic_ns();
  for (int t = 0; t < workers_to_look_at(); ++t) {
    ActivitySnapshot call;
    if (!read_activity(t, &call) || now <= call.start_ns ||
        now - call.start_ns <= static_cast<uint64_t>(threshold_ms) * 1000000)
      continue;
    if (limit >= 0 && past(call, now, limit)) continue;
    if (mark_named(t, call, kNamedSlow) != kNotNamed) continue;
    write_report("SLOW", t, call, now, false);
    ++lines;
  }
  return lines;
}

}  // namespace iochurn
