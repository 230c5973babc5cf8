// Exit statuses of the program, in one place every folder may include.
#ifndef IOCHURN_EXIT_STATUS_H_
#define IOCHURN_EXIT_STATUS_H_

namespace iochurn {

enum ExitStatus {
  kExitOk = 0,
  kExitHelp = 1,   // -h
  kExitBreak = 1,  // a break that ran the emergency clean-up (-u)
  kExitBadLongOption = 2,  // an unknown, ambiguous or ill-valued long option
  kExitRerunFailed = 6,
  kExitNoMonitorInterval = 7,
  kExitWorkdirTooLong = 8,
  kExitBreakSetupFailed = 9,  // the break machinery could not be set up
  kExitStartFailed = 10,
  // --strict: kExitStrictBase plus the kStrict* bits of what the run found.
  kExitStrictBase = 16,
};

// Bits of a --strict status.
enum StrictBits {
  kStrictDataError = 1,   // files came back different, or bad blocks
  kStrictOtherError = 2,  // failed operations
  kStrictTimeout = 4,     // a watchdog expiry or a passive-wait time-out
  kStrictSignal = 8,      // the run was ended early by a signal
};

// The break code of a watchdog expiry and of a passive-wait time-out, as
// the notice prints it.
constexpr int kTimeoutBreakCode = 15;

}  // namespace iochurn

#endif  // IOCHURN_EXIT_STATUS_H_
