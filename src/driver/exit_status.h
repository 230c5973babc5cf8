// Exit statuses of the program.
#ifndef IOCHURN_DRIVER_EXIT_STATUS_H_
#define IOCHURN_DRIVER_EXIT_STATUS_H_

namespace iochurn {

enum ExitStatus {
  kExitOk = 0,
  kExitHelp = 1,        // also a break with the emergency clean-up
  kExitBreak = 1,
  kExitNoEvent = 5,     // a completion event could not be created
  kExitRerunFailed = 6,
  kExitNoMonitorInterval = 7,
  kExitWorkdirTooLong = 8,
  kExitStartFailed = 10,
};

}  // namespace iochurn

#endif  // IOCHURN_DRIVER_EXIT_STATUS_H_
