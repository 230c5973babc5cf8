// How a run ended: the first cause wins; --strict statuses and their
// precedence.
#include "report/run_outcome.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "exit_status.h"

namespace iochurn {
namespace {

class Outcome : public ::testing::Test {
 protected:
  void SetUp() override { reset_run_outcome(); }
  void TearDown() override { reset_run_outcome(); }
};

TEST_F(Outcome, FirstDefiniteCauseWins) {
  RunOutcome o = run_outcome();
  EXPECT_EQ(o.cause, EndCause::kRunning);
  EXPECT_FALSE(o.exit_known);

  // A watchdog expiry, then the break it raises, then a user's Ctrl-C.
  note_watchdog_expired();
  EXPECT_FALSE(set_end_cause(EndCause::kSignal, SIGINT));
  EXPECT_FALSE(set_end_cause(EndCause::kCompleted));
  o = run_outcome();
  EXPECT_EQ(o.cause, EndCause::kWatchdog);
  EXPECT_EQ(o.signal_number, 0);
  EXPECT_TRUE(o.watchdog_expired);
  EXPECT_FALSE(o.wait_timed_out);

  // A wait time-out after a signal is still seen, but the cause stays.
  reset_run_outcome();
  EXPECT_TRUE(set_end_cause(EndCause::kSignal, SIGTERM));
  note_wait_timed_out();
  note_emergency_cleanup();
  set_exit_status(kExitBreak);
  o = run_outcome();
  EXPECT_EQ(o.cause, EndCause::kSignal);
  EXPECT_EQ(o.signal_number, SIGTERM);
  EXPECT_TRUE(o.wait_timed_out);
  EXPECT_TRUE(o.emergency);
  EXPECT_TRUE(o.exit_known);
  EXPECT_EQ(o.exit_status, 1);

  // A signal after the run completed changes nothing.
  reset_run_outcome();
  EXPECT_FALSE(set_end_cause(EndCause::kRunning));
  EXPECT_TRUE(set_end_cause(EndCause::kCompleted));
  EXPECT_FALSE(set_end_cause(EndCause::kSignal, SIGHUP));
  o = run_outcome();
  EXPECT_EQ(o.cause, EndCause::kCompleted);
  EXPECT_EQ(o.signal_number, 0);
}

TEST(OutcomeNames, CausesAndSignals) {
  EXPECT_STREQ(end_cause_name(EndCause::kWaitTimeout), "wait-timeout");
  EXPECT_STREQ(end_cause_name(EndCause::kStartFailed), "start-failed");
  EXPECT_STREQ(end_cause_name(EndCause::kRerunFailed), "rerun-failed");
  char name[16];
  const std::pair<int, const char*> kSignals[] = {
      {SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"},
      {SIGQUIT, "SIGQUIT"}, {SIGSEGV, "SIGSEGV"}, {40, "SIG40"},
      {-3, "SIG-3"}};
  for (const auto& [number, text] : kSignals) {
    signal_name(number, name, sizeof name);
    EXPECT_STREQ(name, text);
  }
  signal_name(12345678, name, 6);  // cut to fit, still terminated
  EXPECT_STREQ(name, "SIG12");
}

TEST(StrictStatus, BitsAndPrecedence) {
  StrictInputs clean{};
  EXPECT_EQ(strict_status(kExitOk, clean), 0);

  struct Case {
    StrictInputs in;
    int status;
  } const kCases[] = {
      {{1, 0, 0, false, false}, 17},
      {{0, 3, 0, false, false}, 17},   // bad blocks alone
      {{0, 0, 9, false, false}, 18},   // failed operations only
      {{0, 0, 0, true, false}, 20},
      {{0, 0, 0, false, true}, 24},
      {{2, 0, 1, true, false}, 23},
      {{1, 1, 1, true, true}, 31},
  };
  for (const Case& c : kCases) EXPECT_EQ(strict_status(kExitOk, c.in), c.status);

  // Every status the run had already decided keeps precedence.
  StrictInputs all{1, 1, 1, true, true};
  for (int base : {kExitBreak, kExitBadLongOption, kExitRerunFailed,
                   kExitNoMonitorInterval, kExitWorkdirTooLong,
                   kExitBreakSetupFailed, kExitStartFailed})
    EXPECT_EQ(strict_status(base, all), base);
}

}  // namespace
}  // namespace iochurn
