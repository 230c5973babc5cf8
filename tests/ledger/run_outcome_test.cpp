// How a run ended: the first cause wins; --strict statuses and precedence.
#include "ledger/run_outcome.h"

#include <gtest/gtest.h>
#include <signal.h>

#include "exit_status.h"

namespace iochurn {
namespace {

TEST(Outcome, FirstDefiniteCauseWins) {
  reset_run_outcome();
  EXPECT_EQ(run_outcome().cause, EndCause::kRunning);
  EXPECT_FALSE(run_outcome().exit_known);
  // A watchdog expiry, the break it raises, then a Ctrl-C and the end.
  note_watchdog_expired();
  EXPECT_FALSE(set_end_cause(EndCause::kSignal, SIGINT));
  EXPECT_FALSE(set_end_cause(EndCause::kCompleted));
  RunOutcome o = run_outcome();
  EXPECT_EQ(o.cause, EndCause::kWatchdog);
  EXPECT_EQ(o.signal_number, 0);  // the late signal's number is not shown
  EXPECT_TRUE(o.watchdog_expired);

  // A time-out after a signal is noted, but the cause stays.
  reset_run_outcome();
  EXPECT_TRUE(set_end_cause(EndCause::kSignal, SIGTERM));
  note_wait_timed_out();
  note_emergency_cleanup();
  set_exit_status(kExitBreak);
  o = run_outcome();
  EXPECT_EQ(o.cause, EndCause::kSignal);
  EXPECT_EQ(o.signal_number, SIGTERM);
  EXPECT_TRUE(o.wait_timed_out && o.emergency && o.exit_known);
  EXPECT_EQ(o.exit_status, 1);
  reset_run_outcome();
}

TEST(Outcome, SignalNames) {
  char name[16];
  const std::pair<int, const char*> kSignals[] = {
      {SIGINT, "SIGINT"}, {SIGQUIT, "SIGQUIT"}, {SIGSEGV, "SIGSEGV"},
      {40, "SIG40"},      {-3, "SIG-3"}};
  for (const auto& [number, text] : kSignals) {
    signal_name(number, name, sizeof name);
    EXPECT_STREQ(name, text);
  }
  signal_name(12345678, name, 6);  // cut to fit, still terminated
  EXPECT_STREQ(name, "SIG12");
}

TEST(StrictStatus, BitsAndPrecedence) {
  struct Case {
    StrictInputs in;
    int status;
  } const kCases[] = {
      {{0, 0, 0, false, false, false}, 0},  {{1, 0, 0, false, false, false}, 17},
      {{0, 3, 0, false, false, false}, 17}, {{0, 0, 9, false, false, false}, 18},
      {{0, 0, 0, true, false, false}, 20},  {{0, 0, 0, false, true, false}, 24},
      {{2, 0, 1, true, false, false}, 23},  {{1, 1, 1, true, true, false}, 31},
      // A final report that could not be written is an other error.
      {{0, 0, 0, false, false, true}, 18},  {{1, 0, 4, false, false, true}, 19},
  };
  for (const Case& c : kCases) EXPECT_EQ(strict_status(kExitOk, c.in), c.status);
  // Every status the run had already decided keeps precedence.
  for (int base : {kExitBreak, kExitBadLongOption, kExitRerunFailed,
                   kExitNoMonitorInterval, kExitWorkdirTooLong,
                   kExitBreakSetupFailed, kExitStartFailed})
    EXPECT_EQ(strict_status(base, {1, 1, 1, true, true, true}), base);
}

}  // namespace
}  // namespace iochurn
