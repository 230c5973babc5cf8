// Program entry of iochurn-mpi: one iochurn process per MPI rank, started
// together, stopped together, with one result.
#include "cluster/job.h"
#include "driver/driver.h"

int main(int argc, char** argv) {
  int status = iochurn::job_start(&argc, &argv);
  if (status != 0) return status;
  status = iochurn::job_own_options(&argc, argv);
  if (status < 0) status = iochurn::run_program(argc, argv);
  return iochurn::job_end(status);
}
