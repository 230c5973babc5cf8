#!/usr/bin/env python3
"""Benchmark of iochurn-mpi against plain iochurn processes, on one host.

    python3 bench/mpi_bench.py [--build-dir build] [--rounds 7] [--quick]
                               [--baseline-dir DIR [--passes 250]]

Needs a build configured with -DIOCHURN_MPI=ON (iochurn and iochurn-mpi in
the build directory), mpirun, and mpicc for the MPI start-up reference.

Each round runs every contender once, in an order that rotates from round
to round; a line is the median over the rounds of a ratio or difference
formed inside each round:

- the job: `mpirun -np 2 iochurn-mpi` against two plain `iochurn` processes
  started together, the same work (tmpfs, 16 MB files, 4 MB buffers, 20
  passes, one worker per process); as wall time, and as the run alone: each
  side less its own start-up with no workers (-j -1), so that what mpirun and
  MPI_Init cost once per job is not counted as a cost of every transfer;
- the start-up of a 4-process job with no workers (-j -1), against mpirun
  running /bin/true (the launcher alone) and a minimal MPI program (MPI_Init
  and MPI_Finalize only): the difference is iochurn-mpi's own;
- with --baseline-dir (a build of iochurn-mpi from before the heartbeat and
  the per-rank report, e.g. `git worktree add /tmp/base <commit>` built with
  the same build type): a longer job (tmpfs, 16 MB files, --passes passes,
  20-40 s) at 2 and 4 processes, this build against the baseline, in
  alternating order; the ratio of wall times less each side's start-up
  (-j -1, measured in the same round) is the cost of the heartbeat and the
  per-rank report.

The table goes to standard output, the progress to standard error.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
RUN_MAX = 1.03   # mpirun -np 2 iochurn-mpi / two iochurn processes
BEAT_MAX = 1.01  # with the heartbeat and per-rank report / without

HELLO_C = r"""
#include <mpi.h>
int main(int argc, char **argv)
{
    MPI_Init(&argc, &argv);
    MPI_Finalize();
    return 0;
}
"""


def log(message):
    print(message, file=sys.stderr, flush=True)


def mpi_env():
    env = dict(os.environ)
    env["OMPI_ALLOW_RUN_AS_ROOT"] = "1"
    env["OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"] = "1"
    env["OMPI_MCA_btl"] = "self,vader"
    return env


def timed(commands, env=None):
    """Starts every command at once; seconds until the last one ended."""
    start = time.perf_counter()
    procs = [subprocess.Popen(c, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=env) for c in commands]
    for c, p in zip(commands, procs):
        err = p.communicate()[1]
        if p.returncode != 0:
            raise SystemExit("failed (%d): %s\n%s" % (p.returncode, " ".join(c),
                                                      err.decode(errors="replace")))
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="3 rounds")
    parser.add_argument("--tmpfs", default="/dev/shm")
    parser.add_argument("--baseline-dir", help="build dir of an iochurn-mpi without the "
                        "heartbeat, for its cost")
    parser.add_argument("--passes", type=int, default=250,
                        help="passes of the longer job (20-40 s is the aim)")
    args = parser.parse_args()
    rounds = 3 if args.quick else args.rounds

    build = Path(args.build_dir)
    mpi_bin, plain_bin = build / "iochurn-mpi", build / "iochurn"
    mpirun, mpicc = shutil.which("mpirun"), shutil.which("mpicc")
    for what, there in ((mpi_bin, mpi_bin.exists()), (plain_bin, plain_bin.exists()),
                        ("mpirun", mpirun), ("mpicc", mpicc)):
        if not there:
            raise SystemExit("mpi_bench: no %s (cmake -DIOCHURN_MPI=ON; apt-get install "
                             "libopenmpi-dev openmpi-bin)" % what)

    scratch = Path(tempfile.mkdtemp(prefix="iochurn-mpi-bench-", dir=args.tmpfs))
    try:
        hello = scratch / "mpi_hello"
        (scratch / "hello.c").write_text(HELLO_C)
        subprocess.run([mpicc, "-O2", "-o", str(hello), str(scratch / "hello.c")], check=True)
        for d in ("a", "b", "job"):
            (scratch / d).mkdir()
        job = ["-j", "1", "-f", "16", "-s", "4", "-p", "20"]

        def launch(n, program):
            return [mpirun, "--oversubscribe", "--bind-to", "none", "-np", str(n)] + program

        env = mpi_env()
        contenders = {
            "mpi_run": lambda: timed([launch(2, [str(mpi_bin), "-t", str(scratch / "job")] + job)], env),
            "plain_run": lambda: timed([[str(plain_bin), "-t", str(scratch / d)] + job
                                        for d in ("a", "b")]),
            "mpi_empty2": lambda: timed([launch(2, [str(mpi_bin), "-t", str(scratch / "job"),
                                                    "-j", "-1"])], env),
            "plain_empty2": lambda: timed([[str(plain_bin), "-t", str(scratch / d), "-j", "-1"]
                                           for d in ("a", "b")]),
            "mpi_empty4": lambda: timed([launch(4, [str(mpi_bin), "-t", str(scratch / "job"),
                                                    "-j", "-1"])], env),
            "hello4": lambda: timed([launch(4, [str(hello)])], env),
            "true4": lambda: timed([launch(4, ["/bin/true"])], env),
        }
        if args.baseline_dir:
            base_bin = Path(args.baseline_dir) / "iochurn-mpi"
            if not base_bin.exists():
                raise SystemExit("mpi_bench: no %s" % base_bin)
            long_job = ["-j", "1", "-f", "16", "-s", "4", "-p", str(args.passes)]
            for n in (2, 4):
                for side, binary in (("beat", mpi_bin), ("base", base_bin)):
                    contenders["%s_run%d" % (side, n)] = (
                        lambda n=n, b=binary: timed([launch(n, [str(b), "-t", str(scratch / "job")]
                                                            + long_job)], env))
                    contenders["%s_empty%d" % (side, n)] = (
                        lambda n=n, b=binary: timed([launch(n, [str(b), "-t", str(scratch / "job"),
                                                                "-j", "-1"])], env))
        names = list(contenders)
        times = {n: [] for n in names}
        for r in range(rounds):
            order = names[r % len(names):] + names[:r % len(names)]
            for n in order:
                times[n].append(contenders[n]())
            log("round %d/%d: %s" % (r + 1, rounds, " ".join(
                "%s=%.3f" % (n, times[n][-1]) for n in names)))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    def med(values):
        return statistics.median(values)

    wall = [m / p for m, p in zip(times["mpi_run"], times["plain_run"])]
    net = [(m - me) / (p - pe) for m, me, p, pe in zip(times["mpi_run"], times["mpi_empty2"],
                                                     times["plain_run"], times["plain_empty2"])]
    own = [(e - h) * 1000 for e, h in zip(times["mpi_empty4"], times["hello4"])]
    print("| Measurement | Case | Median | Target |")
    print("|---|---|---|---|")
    print("| mpirun -np 2 iochurn-mpi / two iochurn processes, wall | tmpfs, 1 worker each, "
          "16 MB x 20, 4 MB buffers | %.2f | |" % med(wall))
    print("| the same, each side less its start-up with -j -1 | | %.3f | at most %.2f |"
          % (med(net), RUN_MAX))
    print("| start-up, mpirun -np 4 iochurn-mpi -j -1 | | %.0f ms | |"
          % (med(times["mpi_empty4"]) * 1000))
    print("| start-up, mpirun -np 4 of MPI_Init + MPI_Finalize only | | %.0f ms | |"
          % (med(times["hello4"]) * 1000))
    print("| start-up, mpirun -np 4 /bin/true (the launcher alone) | | %.0f ms | |"
          % (med(times["true4"]) * 1000))
    print("| iochurn-mpi's own start-up and end, 4 processes (first less second line) "
          "| | %.0f ms | |" % med(own))
    if args.baseline_dir:
        for n in (2, 4):
            cost = [(b - be) / (a - ae) for b, be, a, ae in
                    zip(times["beat_run%d" % n], times["beat_empty%d" % n],
                        times["base_run%d" % n], times["base_empty%d" % n])]
            print("| heartbeat and per-rank report, %d processes: with / without, "
                  "less start-up | tmpfs, 1 worker each, 16 MB x %d (%.0f s) | %.3f | at most %.2f |"
                  % (n, args.passes, med(times["beat_run%d" % n]), med(cost), BEAT_MAX))
            print("| start-up with / without, %d processes, -j -1 | | %.0f / %.0f ms | |"
                  % (n, med(times["beat_empty%d" % n]) * 1000,
                     med(times["base_empty%d" % n]) * 1000))
    print("\n%d rounds; job %.3f s against %.3f s for the two plain processes (medians)."
          % (rounds, med(times["mpi_run"]), med(times["plain_run"])))


if __name__ == "__main__":
    main()
