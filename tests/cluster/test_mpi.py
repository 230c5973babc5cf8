"""The multi-host program, iochurn-mpi, as four processes under mpirun on one
machine: one result, per-process directories, starting and stopping
together, and one exit status for the job.

Skipped with one line when iochurn-mpi (cmake -DIOCHURN_MPI=ON) or mpirun
(openmpi-bin) is missing.
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "blackbox"))
import harness  # noqa: E402

MPI_BIN = os.environ.get("IOCHURN_MPI_BIN") or os.path.join(ROOT, "build", "iochurn-mpi")
PLAIN_BIN = harness.BIN
MPIRUN = shutil.which("mpirun")
BUILD_DIR = os.environ.get("IOCHURN_BUILD_DIR", "")
RANKS = 4
HOST = socket.gethostname()
MB = 1 << 20
TIMEOUT = 120

needs_fault_lib = harness.needs_fault_lib


def mpi_env():
    env = dict(os.environ)
    # Open MPI refuses root unless told twice; CI runs as root.
    env["OMPI_ALLOW_RUN_AS_ROOT"] = "1"
    env["OMPI_ALLOW_RUN_AS_ROOT_CONFIRM"] = "1"
    # One machine: no network transports to probe.
    env["OMPI_MCA_btl"] = "self,vader"
    return env


def mpirun_argv(args, ranks=RANKS, faults=None):
    argv = [MPIRUN, "--oversubscribe", "--bind-to", "none", "-np", str(ranks)]
    # Only the ranks get the fault library, never mpirun itself.
    if faults:
        argv += ["-x", "LD_PRELOAD=" + harness.FAULT_LIB]
        for key, value in faults.items():
            argv += ["-x", "FAULT_%s=%s" % (key.upper(), value)]
    return argv + [MPI_BIN] + list(args)


def rank_dirs(parent):
    return sorted(d for d in os.listdir(parent) if os.path.isdir(os.path.join(parent, d)))


def files_below(parent):
    found = []
    for top, _, names in os.walk(parent):
        found += [os.path.join(top, n) for n in names if n.endswith(".DUMMY")]
    return sorted(found)


def rank_pids(mpirun_pid):
    """{rank: pid} of the processes mpirun started on this machine."""
    pids = {}
    for task in os.listdir("/proc/%d/task" % mpirun_pid):
        with open("/proc/%d/task/%s/children" % (mpirun_pid, task)) as f:
            for child in f.read().split():
                try:
                    with open("/proc/%s/environ" % child, "rb") as e:
                        env = dict(v.split(b"=", 1) for v in e.read().split(b"\0") if b"=" in v)
                except OSError:
                    continue
                if b"OMPI_COMM_WORLD_RANK" in env:
                    pids[int(env[b"OMPI_COMM_WORLD_RANK"])] = int(child)
    return pids


class MpiCase(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="iochurn-mpi-", dir=harness.fast_dir())
        self.addCleanup(shutil.rmtree, self.dir, True)

    def run_job(self, *args, ranks=RANKS, faults=None, timeout=TIMEOUT):
        argv = mpirun_argv(["-t", self.dir] + list(args), ranks, faults)
        return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=mpi_env(), timeout=timeout,
                              text=True, errors="replace")

    def start_job(self, *args, faults=None):
        argv = mpirun_argv(["-t", self.dir] + list(args), RANKS, faults)
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=mpi_env(), text=True,
                                errors="replace")

        def reap():
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.addCleanup(reap)
        return proc

    def wait_for_files_in_every_rank(self, proc, timeout=60):
        """Waits until each process has opened files in its own directory."""
        deadline = time.monotonic() + timeout
        while True:
            dirs = rank_dirs(self.dir)
            if len(dirs) == RANKS and all(
                    any(n.endswith(".DUMMY") for n in os.listdir(os.path.join(self.dir, d)))
                    for d in dirs):
                return
            self.assertIsNone(proc.poll(), "the job ended early")
            self.assertLess(time.monotonic(), deadline, "files never showed up")
            time.sleep(0.02)

    def assertNothingLeft(self):
        self.assertEqual(files_below(self.dir), [])
        self.assertEqual(rank_dirs(self.dir), [])

    def assertErrLinesPrefixed(self, err):
        """Every error line names its process; returns the ranks named."""
        named = set()
        for line in err.splitlines():
            if "ERR [" in line or "signal()" in line:
                self.assertRegex(line, r"^\[%s:\d+\] " % HOST)
                named.add(int(line[len(HOST) + 2:line.index("]")]))
        return named


class OneResult(MpiCase):
    """The job adds up, lives in per-process directories and leaves none."""

    def test_totals_are_four_times_one_process_and_directories_come_and_go(self):
        job = ["-j", "2", "-n", "2", "-f", "1", "-s", "1", "-p", "2"]
        one = self.run_job(*job, ranks=1)
        self.assertEqual(one.returncode, 0, one.stderr)
        single = harness.parse_summary(one.stdout)
        self.assertEqual(single, (2 * 2 * 2 * MB,) * 2 + (0, 0))

        report = os.path.join(self.dir, "job.json")
        # -z keeps the files, which shows where each process worked.
        four = self.run_job(*job, "-z", "--report=" + report)
        self.assertEqual(four.returncode, 0, four.stderr)
        self.assertEqual(four.stderr, "")
        # One summary, rank 0's, with the whole job's totals; one progress.
        self.assertEqual(four.stdout.count("Summary statistics"), 1)
        self.assertEqual(harness.parse_summary(four.stdout),
                         tuple(RANKS * v for v in single))
        self.assertEqual(harness.progress_symbols(four.stdout),
                         harness.progress_symbols(one.stdout))
        with open(report) as f:
            r = json.load(f)
        self.assertEqual(r["totals"]["source"], "ranks")
        self.assertEqual([k["rank"] for k in r["ranks"]], list(range(RANKS)))
        for key in ("bytes_read", "bytes_written", "compare_errors", "other_errors",
                    "passes_completed"):
            self.assertEqual(sum(k["totals"][key] for k in r["ranks"]), r["totals"][key], key)
        self.assertEqual(r["totals"]["bytes_written"], RANKS * single[1])
        self.assertEqual(rank_dirs(self.dir), ["%s.%d" % (HOST, i) for i in range(RANKS)])
        for k in r["ranks"]:
            own = os.path.join(self.dir, "%s.%d" % (HOST, k["rank"]))
            self.assertEqual(k["workdir"], own)
            self.assertEqual(k["host_name"], HOST)
            self.assertEqual(sorted(os.listdir(own)),
                             sorted("%d_%d_%d.DUMMY" % (k["pid"], t, s)
                                    for t in range(2) for s in range(2)))
        self.assertEqual(len({k["pid"] for k in r["ranks"]}), RANKS)
        self.validate(r)

        for d in rank_dirs(self.dir):
            shutil.rmtree(os.path.join(self.dir, d))
        os.unlink(report)
        again = self.run_job(*job)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertNothingLeft()

    def validate(self, report):
        try:
            import jsonschema
        except ImportError:
            return
        with open(os.path.join(ROOT, "docs", "report.schema.json")) as f:
            jsonschema.validate(report, json.load(f))

    def test_status_lines_come_from_rank_0_with_the_whole_job(self):
        run = self.run_job("-j", "1", "-n", "2", "-f", "64", "-s", "4", "-p", "4",
                           "--status-interval=1")
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = run.stderr.splitlines()
        self.assertTrue(lines and all(l.startswith("status: ") for l in lines), run.stderr)
        last = dict(kv.split("=") for kv in lines[-1].split()[1:])
        self.assertEqual(int(last["passes"]), RANKS * 4)
        self.assertEqual(int(last["other_errors"]), 0)
        self.assertEqual(int(last["written"]), RANKS * 4 * 2 * 64 * (1 << 20))
        # One process writes them: about one a second, not four.
        elapsed = float(last["elapsed_s"])
        self.assertLessEqual(len(lines), elapsed + 2, run.stderr)

    def test_directory_and_name_length_are_checked_before_anyone_starts(self):
        # One process finds a file where its directory should be: no process
        # starts, all end with status 10 and nothing is written anywhere.
        blocker = os.path.join(self.dir, "%s.2" % HOST)
        open(blocker, "w").close()
        run = self.run_job("-l", "-f", "1", "-s", "1")
        self.assertEqual(run.returncode, 10, run.stderr)
        self.assertIn("[%s:2] iochurn-mpi: cannot work in %s: Not a directory\n"
                      % (HOST, blocker), run.stderr)
        self.assertNotIn("Summary", run.stdout)
        self.assertEqual(files_below(self.dir), [])
        self.assertEqual(os.listdir(self.dir), [os.path.basename(blocker)])

        # The rank directory counts towards the name limit: a working
        # directory the plain program just accepts is too long here.
        with open("/proc/sys/kernel/pid_max") as f:
            pid_digits = len(str(int(f.read()) - 1))
        name = 1 + pid_digits + len("_0_0.DUMMY")
        workdir = "/" + "d" * (255 - 1 - name - 1)  # names of exactly 255
        plain = subprocess.run([PLAIN_BIN, "-t", workdir, "-j", "-1"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual((plain.returncode, plain.stderr), (0, ""))
        run = subprocess.run(mpirun_argv(["-t", workdir, "-j", "-1"]), env=mpi_env(),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             timeout=TIMEOUT)
        self.assertEqual(run.returncode, 8, run.stderr)
        self.assertEqual(run.stderr.count("Working catalog name is too long!\n"), RANKS)


class TogetherOrNot(MpiCase):
    """A failure, a break or a time-out anywhere is felt everywhere."""

    @needs_fault_lib
    def test_one_rank_whose_opens_fail_shows_in_totals_report_and_strict(self):
        report = os.path.join(self.dir, "job.json")
        faults = {"op": "open", "errno": "EROFS", "count": 0, "rank": 2}
        job = ["-j", "2", "-n", "2", "-f", "1", "-s", "1", "-p", "2"]
        run = self.run_job(*job, "--strict", "--report=" + report, faults=faults)
        self.assertEqual(run.returncode, 16 + 2, run.stderr)
        errors = [l for l in run.stderr.splitlines() if "ERR [open]" in l]
        self.assertEqual(len(errors), 2 * 2 * 2)
        self.assertEqual(self.assertErrLinesPrefixed(run.stderr), {2})
        self.assertIn("Read-only file system for file %s/%s.2/" % (self.dir, HOST), errors[0])
        read, write, compare, other = harness.parse_summary(run.stdout)
        self.assertEqual((read, write, compare, other), (3 * 8 * MB, 3 * 8 * MB, 0, 8))
        with open(report) as f:
            r = json.load(f)
        self.assertEqual(r["exit_status"], 18)
        self.assertEqual(r["totals"]["other_errors"], 8)
        self.assertEqual(r["errors_by_operation"]["open"], 8)
        by_rank = {k["rank"]: k for k in r["ranks"]}
        self.assertEqual(by_rank[2]["totals"]["other_errors"], 8)
        self.assertEqual(by_rank[2]["errors_by_operation"]["open"], 8)
        self.assertEqual(by_rank[2]["exit_status"], 18)
        self.assertEqual([by_rank[i]["exit_status"] for i in (0, 1, 3)], [0, 0, 0])
        self.assertEqual(sum(k["totals"]["other_errors"] for k in r["ranks"]), 8)
        # Without --strict the status stays the plain program's.
        self.assertEqual(self.run_job(*job, faults=faults).returncode, 0)
        self.assertNothingLeft()

    @needs_fault_lib
    def test_max_errors_counts_for_the_whole_job(self):
        # Only rank 2 fails; under -l the others would run for ever unless
        # the job-wide count stops them too.
        report = os.path.join(self.dir, "job.json")
        faults = {"op": "open", "errno": "EROFS", "count": 0, "rank": 2}
        run = self.run_job("-l", "-j", "1", "-n", "1", "-f", "1", "-s", "1",
                           "--max-errors=20", "--report=" + report, faults=faults)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("iochurn: 20 errors reached; stopping", run.stderr)
        with open(report) as f:
            r = json.load(f)
        self.assertEqual(r["ended"], "max-errors")
        self.assertGreaterEqual(r["totals"]["other_errors"], 20)
        self.assertNothingLeft()

    @needs_fault_lib
    def test_a_rank_that_cannot_start_a_worker_stops_the_job_with_10(self):
        log = os.path.join(self.dir, "faults.log")
        # The program's own thread starts on rank 1: the pause clock, the
        # signal thread, the file-system type check, then workers 0 and 1. MPI's threads must not count.
        faults = {"op": "pthread_create", "nth": 5, "rank": 1, "log": log}
        run = self.run_job("-l", "-j", "2", "-n", "2", "-f", "8", "-s", "1", faults=faults)
        self.assertEqual(run.returncode, 10, run.stderr)
        with open(log) as f:
            self.assertEqual(f.read(), "pthread_create 5\n")
        os.unlink(log)
        self.assertIn("[%s:1] Thread creation failed. Terminate.\n" % HOST, run.stderr)
        self.assertIn("[%s:0] iochurn-mpi: rank 1 ended the job with status 10\n" % HOST,
                      run.stderr)
        self.assertNotIn("Summary", run.stdout)
        self.assertNothingLeft()

    @needs_fault_lib
    def test_watchdog_with_u_on_one_rank_ends_every_rank_with_1(self):
        # Rank 3's first write hangs for 20 s; its watchdog gives up after 1.
        faults = {"op": "write", "delay_ms": 20000, "rank": 3}
        start = time.monotonic()
        run = self.run_job("-l", "-A", "-a", "1", "-u", "-j", "2", "-f", "16", "-s", "1",
                           faults=faults, timeout=60)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertLess(time.monotonic() - start, 15, "waited for the hung write")
        self.assertEqual(self.assertErrLinesPrefixed(run.stderr), set(range(RANKS)))
        self.assertEqual(run.stderr.count("signal() 15\n"), RANKS)
        self.assertNotIn("Summary", run.stdout)
        self.assertNothingLeft()

    def test_sigint_to_one_rank_stops_every_rank_in_order(self):
        proc = self.start_job("-l", "-j", "2", "-n", "2", "-f", "4", "-s", "1", "--strict")
        self.wait_for_files_in_every_rank(proc)
        os.kill(rank_pids(proc.pid)[2], signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        # Every process stops after its phase; the signal shows in --strict.
        self.assertEqual(proc.returncode, 16 + 8, err)
        self.assertEqual(self.assertErrLinesPrefixed(err), set(range(RANKS)))
        self.assertEqual(err.count("signal() 2\n"), RANKS)
        read, write, compare, other = harness.parse_summary(out)
        self.assertGreater(write, 0)
        self.assertEqual(write % (4 * MB), 0, "a file was written in part")
        self.assertEqual((compare, other), (0, 0))
        self.assertNothingLeft()

    @needs_fault_lib
    def test_signals_to_mpirun_mid_write_leave_no_file(self):
        # Every write takes 2.5 s, longer than Open MPI waits between its
        # SIGTERM and its SIGKILL: only deleting at once leaves nothing.
        faults = {"op": "write", "delay_ms": 2500, "count": 0}
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                proc = self.start_job("-l", "-j", "2", "-n", "2", "-f", "8", "-s", "1",
                                      faults=faults)
                self.wait_for_files_in_every_rank(proc)
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=60)
                self.assertNotEqual(proc.returncode, 0)
                self.assertNotIn("Summary", out)
                self.assertNothingLeft()


@unittest.skipUnless(BUILD_DIR and os.path.isdir(BUILD_DIR), "needs IOCHURN_BUILD_DIR")
class Journals(MpiCase):

    def test_one_journal_per_rank_each_checked_on_its_own(self):
        journal = os.path.join(self.dir, "job.journal")
        job = self.run_job("-z", "-n", "2", "-f", "1", "-s", "1", "-y",
                           "--journal=" + journal)
        self.assertEqual(job.returncode, 0, job.stderr)
        journals = sorted(n for n in os.listdir(self.dir) if n.startswith("job.journal."))
        self.assertEqual(journals, sorted("job.journal.%s.%d" % (HOST, r)
                                          for r in range(RANKS)))
        for name in journals:
            check = subprocess.run([harness.BIN, "--check-journal=" +
                                    os.path.join(self.dir, name)],
                                   capture_output=True, text=True, timeout=60)
            self.assertEqual(check.returncode, 0, check.stderr)
            self.assertIn("Journal check: 2 files, %d bytes acknowledged\n" % (2 * MB),
                          check.stdout)
        self.assertEqual(files_below(self.dir), [])

    def test_a_pipe_journal_is_refused(self):
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        job = self.run_job("-n", "1", "-f", "1", "-s", "1", "--journal=" + fifo)
        self.assertEqual(job.returncode, 2)
        self.assertIn("one journal per rank cannot share a pipe", job.stderr)
        os.unlink(fifo)
        self.assertNothingLeft()


class Packaging(unittest.TestCase):

    def test_install_and_packages_keep_mpi_out_of_the_plain_program(self):
        scratch = tempfile.mkdtemp(prefix="iochurn-mpi-pkg-")
        self.addCleanup(shutil.rmtree, scratch, True)
        prefix = os.path.join(scratch, "prefix")
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        for path in ("bin/iochurn-mpi", "share/man/man1/iochurn-mpi.1",
                     "share/bash-completion/completions/iochurn-mpi"):
            self.assertTrue(os.path.exists(os.path.join(prefix, path)), path)
        with open(os.path.join(prefix, "share/bash-completion/completions/iochurn-mpi")) as f:
            self.assertIn("iochurn-mpi", f.read().splitlines()[-1])
        ldd = subprocess.run(["ldd", os.path.join(prefix, "bin/iochurn")],
                             stdout=subprocess.PIPE, text=True).stdout
        self.assertNotIn("libmpi", ldd)
        if not shutil.which("dpkg-deb"):
            return
        out = os.path.join(scratch, "pkg")
        subprocess.run(["cpack", "-G", "DEB", "--config",
                        os.path.join(BUILD_DIR, "CPackConfig.cmake"), "-B", out],
                       check=True, stdout=subprocess.DEVNULL, cwd=scratch)
        debs = {f.split("_")[0]: os.path.join(out, f) for f in os.listdir(out)
                if f.endswith(".deb")}
        self.assertEqual(sorted(debs), ["iochurn", "iochurn-mpi"])

        def field(deb, name):
            return subprocess.run(["dpkg-deb", "-f", deb, name], stdout=subprocess.PIPE,
                                  text=True, check=True).stdout

        self.assertNotIn("mpi", field(debs["iochurn"], "Depends"))
        self.assertIn("libopenmpi3", field(debs["iochurn-mpi"], "Depends"))
        listing = subprocess.run(["dpkg-deb", "-c", debs["iochurn-mpi"]],
                                 stdout=subprocess.PIPE, text=True, check=True).stdout
        self.assertIn("/bin/iochurn-mpi", listing)
        self.assertNotIn("/bin/iochurn\n", listing)


def main(name):
    """Runs the tests of a file, or skips them all with one line."""
    missing = [what for what, there in (("iochurn-mpi (cmake -DIOCHURN_MPI=ON)",
                                         os.access(MPI_BIN, os.X_OK)),
                                        ("mpirun (apt-get install openmpi-bin)", MPIRUN))
               if not there]
    if missing:
        print("%s: skipped: no %s" % (name, " and no ".join(missing)))
        sys.exit(0)
    unittest.main()


if __name__ == "__main__":
    main("test_mpi")
