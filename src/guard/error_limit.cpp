// The error count toward --max-errors and the stop it takes.
#include "guard/error_limit.h"

#include <unistd.h>

#include <atomic>

#include "config/run_settings.h"
#include "guard/break_handler.h"
#include "platform/message.h"

namespace iochurn {

namespace {

// Raised by the workers as they count errors; read by them at each file.
std::atomic<uint64_t> errors_counted{0};
std::atomic<bool> limit_reached{false};

}  // namespace

bool count_toward_error_limit(uint64_t errors) {
  if (settings.max_errors <= 0) return false;
  const auto limit = static_cast<uint64_t>(settings.max_errors);
  uint64_t before = errors_counted.fetch_add(errors);
  // Only the call that crosses the limit speaks, however many race to it.
  if (before < limit && before + errors >= limit) {
    limit_reached.store(true);
    write_message(STDERR_FILENO, "iochurn: %llu errors reached; stopping\n",
                  static_cast<unsigned long long>(limit));
    request_orderly_stop(EndCause::kMaxErrors);
  }
  return limit_reached.load();
}

void note_job_errors(uint64_t job_errors, bool speak) {
  if (settings.max_errors <= 0) return;
  if (job_errors < static_cast<uint64_t>(settings.max_errors)) return;
  if (limit_reached.exchange(true)) return;
  if (speak)
    write_message(STDERR_FILENO, "iochurn: %llu errors reached; stopping\n",
                  static_cast<unsigned long long>(settings.max_errors));
  request_orderly_stop(EndCause::kMaxErrors);
}

bool error_limit_reached() { return limit_reached.load(); }

void reset_error_limit_for_test() {
  errors_counted.store(0);
  limit_reached.store(false);
}

}  // namespace iochurn
