// --max-errors: the count that crosses the limit stops the run once, with
// one line and the "max-errors" cause; no limit counts nothing.
#include "guard/error_limit.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "config/run_settings.h"
#include "guard/break_handler.h"
#include "ledger/run_outcome.h"

namespace iochurn {
namespace {

// Standard error into a file for the scope, read back by text().
class StderrCapture {
 public:
  StderrCapture() : file_(tmpfile()), saved_(dup(STDERR_FILENO)) {
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    fclose(file_);
  }
  std::string text() {
    std::string out;
    char buf[256];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fileno(file_), buf, sizeof buf, at)) > 0) {
      out.append(buf, static_cast<size_t>(n));
      at += n;
    }
    return out;
  }

 private:
  FILE* file_;
  int saved_;
};

class ErrorLimit : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    settings.max_errors = 0;
    reset();
  }
  static void reset() {
    reset_error_limit_for_test();
    reset_run_outcome();
    user_break.store(0);
  }
};

TEST_F(ErrorLimit, TheCrossingCountStopsTheRunOnce) {
  settings.max_errors = 3;
  StderrCapture err;
  EXPECT_FALSE(count_toward_error_limit());
  EXPECT_FALSE(count_toward_error_limit());
  EXPECT_FALSE(error_limit_reached());
  EXPECT_EQ(user_break.load(), 0);
  EXPECT_TRUE(count_toward_error_limit());
  EXPECT_TRUE(error_limit_reached());
  EXPECT_EQ(user_break.load(), 1);
  EXPECT_EQ(run_outcome().cause, EndCause::kMaxErrors);
  EXPECT_STREQ(end_cause_name(EndCause::kMaxErrors), "max-errors");
  // Errors that come after it (one per worker at most) say nothing more.
  EXPECT_TRUE(count_toward_error_limit());
  EXPECT_TRUE(count_toward_error_limit(5));
  EXPECT_EQ(err.text(), "iochurn: 3 errors reached; stopping\n");
}

TEST_F(ErrorLimit, SeveralAtOnceMayJumpPastTheLimit) {
  settings.max_errors = 4;
  StderrCapture err;
  EXPECT_FALSE(count_toward_error_limit(2));
  EXPECT_TRUE(count_toward_error_limit(7));
  EXPECT_EQ(err.text(), "iochurn: 4 errors reached; stopping\n");
}

TEST_F(ErrorLimit, AnEarlierCauseIsKept) {
  settings.max_errors = 1;
  set_end_cause(EndCause::kSignal, 2);
  StderrCapture err;
  EXPECT_TRUE(count_toward_error_limit());
  EXPECT_EQ(run_outcome().cause, EndCause::kSignal);
  EXPECT_EQ(user_break.load(), 1);
}

TEST_F(ErrorLimit, ZeroIsNoLimit) {
  settings.max_errors = 0;
  StderrCapture err;
  for (int i = 0; i < 1000; ++i) EXPECT_FALSE(count_toward_error_limit());
  EXPECT_FALSE(error_limit_reached());
  EXPECT_EQ(user_break.load(), 0);
  EXPECT_EQ(err.text(), "");
}

}  // namespace
}  // namespace iochurn
