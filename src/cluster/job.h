// One process of a multi-host job (iochurn-mpi): MPI, the exchange that
// keeps the processes together, and the hooks through which the driver
// joins it. Only the main thread calls into MPI.
#ifndef IOCHURN_CLUSTER_JOB_H_
#define IOCHURN_CLUSTER_JOB_H_

namespace iochurn {

// Starts MPI and this process's part of the job, before run_program: blocks
// the break signals first (MPI starts threads of its own), takes the host
// name and rank, sets the error-line prefix "[<host>:<rank>] " and the
// rank directory "<host>.<rank>", sends the standard output of every rank
// but 0 to /dev/null, and sets the driver's and the break handler's hooks.
// Main thread, first thing in main. Returns 0, or an exit status after one
// line on standard error.
int job_start(int* argc, char*** argv);

// Takes the options of the multi-host program out of argv before the
// option loop sees them (--rank-timeout=SECONDS) and answers --version
// (iochurn-mpi <version>); puts the MPI lines before the help of --help.
// Returns -1 to go on with run_program, or the status the process ends
// with (after job_end). Main thread, after job_start.
int job_own_options(int* argc, char** argv);

// After run_program returned `status`: takes the steps of the job the run
// did not reach (the start, when it ended before it; the finish), ends MPI,
// removes the rank directory when it is empty, and returns the status every
// process of the job exits with. Main thread, once.
int job_end(int status);

}  // namespace iochurn

#endif  // IOCHURN_CLUSTER_JOB_H_
