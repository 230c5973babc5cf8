// The command line: numeric conversion, the option loop and the help text.
#ifndef IOCHURN_CONFIG_OPTIONS_H_
#define IOCHURN_CONFIG_OPTIONS_H_

#include <cstdint>
#include <cstdio>

#include "config/run_settings.h"

namespace iochurn {

// The option set handed to getopt.
constexpr const char kOptionSet[] = "a:Adhf:j:L:lMmn:p:P:Oo:rRs:St:uvw:yz";

// Reads decimal text as a signed 32-bit number: leading blanks, one sign,
// digits up to the first other character. No digits reads 0; values beyond
// the 32-bit range stop at INT32_MAX or INT32_MIN.
int32_t parse_signed32(const char* text);

// Reads decimal text as an unsigned 32-bit number: the digits stop at
// 4294967295, then a leading minus negates the value modulo 2^32.
uint32_t parse_unsigned32(const char* text);

// Reads a --runtime duration: a whole number of seconds, or one followed
// by s, m, h or d ("90", "90s", "30m", "8h", "2d"), at least 1 s. Returns
// false (and leaves `*seconds`) for anything else or beyond 2^31-1 s.
bool parse_duration(const char* text, int64_t* seconds);

// Runs the option loop over `argv` into `*s` and `*m`, in command-line
// order; the last occurrence of an option wins. Short options are read as
// they always were: unknown letters pass in silence. Long options are
// checked: an unknown, ambiguous or ill-valued one prints one line on
// standard error and returns 2 before anything runs. Returns -1 when
// start-up should go on, or an exit status (0 after --help or --version,
// 2, or 7: monitoring without an interval).
// `-h` prints the help and ends the process with status 1.
// Main thread only, before any other thread exists. Tests may call it again
// after setting optind to 0.
int process_options(int argc, char** argv, RunSettings* s, MonitorSettings* m);

// Length of the longest temporary file name the run can produce, taking the
// largest process id the host can hand out (and the rank directory, when
// set, between the working directory and the name).
uint64_t longest_temp_name(const RunSettings& s, uint64_t max_pid);

// The largest process id this host can hand out.
uint64_t host_max_pid();

// Returns 0, or 8 after printing the refusal when the longest temporary file
// name would not fit a slot's path field.
int check_workdir_length(const RunSettings& s);

// Prints the 37 lines of help to `out`.
void print_help(FILE* out);

// Prints the help text on standard error and ends the process with status 1.
[[noreturn]] void usage();

}  // namespace iochurn

#endif  // IOCHURN_CONFIG_OPTIONS_H_
