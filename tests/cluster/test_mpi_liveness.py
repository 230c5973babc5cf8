"""iochurn-mpi on the bad days: a rank that stops answering, a rank that
dies, a write that hangs, a whole job paused; status lines through a stall;
refused starts with their report; --help and --version.

Skipped with one line when iochurn-mpi or mpirun is missing.
"""
import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import test_mpi  # noqa: E402
from test_mpi import HOST, MB, MPI_BIN, MPIRUN, PLAIN_BIN, MpiCase, files_below  # noqa: E402
from test_mpi import mpi_env, mpirun_argv, rank_dirs, rank_pids, needs_fault_lib  # noqa: E402

RANKS = test_mpi.RANKS


def status_fields(err):
    """The key=value pairs of every status line, in order."""
    return [dict(kv.split("=", 1) for kv in l.split()[1:])
            for l in err.splitlines() if l.startswith("status: ")]


def resume(pid):
    try:
        os.kill(pid, signal.SIGCONT)
    except ProcessLookupError:
        pass


def wait_gone(pid, timeout=30):
    """Until the process is reaped: a sweep keeps the files of a zombie."""
    deadline = time.monotonic() + timeout
    while os.path.exists("/proc/%d" % pid) and time.monotonic() < deadline:
        time.sleep(0.05)


class SilentRank(MpiCase):
    """A rank that stops answering or dies ends the job within a bound."""

    def sweep_and_check(self):
        # What the silent rank could not delete goes with a sweep of its
        # directory, run by hand as the README says.
        for d in rank_dirs(self.dir):
            subprocess.run([PLAIN_BIN, "-t", os.path.join(self.dir, d), "--sweep=force",
                            "-j", "-1"], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        self.assertEqual(files_below(self.dir), [])

    def report(self, path):
        with open(path) as f:
            return json.load(f)

    def test_a_stopped_rank_is_named_and_the_job_ends_within_the_bound(self):
        report = os.path.join(self.dir, "job.json")
        proc = self.start_job("-l", "-j", "2", "-f", "4", "-s", "1", "--rank-timeout=3",
                              "--strict", "--report=" + report)
        self.wait_for_files_in_every_rank(proc)
        pid = rank_pids(proc.pid)[2]
        os.kill(pid, signal.SIGSTOP)
        self.addCleanup(resume, pid)
        stopped = time.monotonic()
        out, err = proc.communicate(timeout=60)
        took = time.monotonic() - stopped
        # The bound, the clean-up's bound and Open MPI's kill delay.
        self.assertLess(took, 3 + 3 + 5, err)
        self.assertGreater(took, 2.5, err)
        # Orderly stops elsewhere; --strict adds the time-out bit.
        self.assertEqual(proc.returncode, 16 + 4, err)
        self.assertRegex(err, r"\[%s:0\] iochurn-mpi: rank 2 on %s did not answer for [34] s; "
                         r"ending the job\n" % (HOST, HOST))
        self.assertEqual(err.count("did not answer"), 1)
        r = self.report(report)
        validate(r)
        by_rank = {k["rank"]: k for k in r["ranks"]}
        self.assertEqual(sorted(by_rank), list(range(RANKS)))
        self.assertEqual(by_rank[2]["ended"], "unresponsive")
        self.assertEqual(r["ended"], "unresponsive")
        self.assertEqual(r["exit_status"], 16 + 4)
        for i in (0, 1, 3):
            self.assertEqual(by_rank[i]["ended"], "unresponsive")
            self.assertEqual(by_rank[i]["exit_status"], 16 + 4)
            own = os.path.join(self.dir, "%s.%d" % (HOST, i))
            self.assertFalse(os.path.isdir(own) and os.listdir(own), own)
        # The totals still add up over what every rank reported.
        self.assertEqual(sum(k["totals"]["bytes_written"] for k in r["ranks"]),
                         r["totals"]["bytes_written"])
        # The run over time counts the silent rank out, and only it, up to
        # the last sample, which holds the others' final figures.
        reporting = [s["ranks"] for s in r["timeline"]]
        self.assertLessEqual(set(reporting), {RANKS - 1, RANKS}, reporting)
        self.assertEqual(reporting[-1], RANKS - 1, reporting)
        self.assertEqual(sum(s["bytes_written"] for s in r["timeline"]),
                         r["totals"]["bytes_written"])
        resume(pid)
        wait_gone(pid)
        self.sweep_and_check()

    @needs_fault_lib
    def test_a_silent_end_still_lists_the_survivors_errors(self):
        report = os.path.join(self.dir, "job.json")
        faults = {"op": "read", "errno": "EIO", "count": 0, "rank": 2}
        proc = self.start_job("-l", "-j", "2", "-f", "4", "-s", "1", "--rank-timeout=3",
                              "--report=" + report, faults=faults)
        self.wait_for_files_in_every_rank(proc)
        time.sleep(0.5)  # rank 2 reads, and fails, meanwhile
        pid = rank_pids(proc.pid)[3]
        os.kill(pid, signal.SIGSTOP)
        self.addCleanup(resume, pid)
        out, err = proc.communicate(timeout=60)
        self.assertIn("rank 3 on %s did not answer" % HOST, err)
        r = self.report(report)
        validate(r)
        self.assertEqual(r["ended"], "unresponsive")
        by_rank = {k["rank"]: k for k in r["ranks"]}
        # Rank 2's errors reach its section and the job's list, with its rank.
        self.assertGreater(len(by_rank[2]["errors"]), 0)
        self.assertEqual(by_rank[2]["errors"],
                         [{k: v for k, v in e.items() if k != "rank"}
                          for e in r["errors"] if e["rank"] == 2])
        self.assertTrue(all(e["operation"] == "read" and e["errno"] == 5
                            for e in r["errors"]), r["errors"])
        self.assertEqual(r["errors_listed"], len(r["errors"]))
        resume(pid)
        wait_gone(pid)
        self.sweep_and_check()

    def test_a_stopped_rank_0_is_named_by_rank_1(self):
        proc = self.start_job("-l", "-j", "1", "-f", "4", "-s", "1", "--rank-timeout=3")
        self.wait_for_files_in_every_rank(proc)
        pid = rank_pids(proc.pid)[0]
        os.kill(pid, signal.SIGSTOP)
        self.addCleanup(resume, pid)
        stopped = time.monotonic()
        out, err = proc.communicate(timeout=60)
        # The bound, the others' clean-up bound, Open MPI's kill delay.
        self.assertLess(time.monotonic() - stopped, 3 + 5 + 5, err)
        self.assertRegex(err, r"\[%s:1\] iochurn-mpi: rank 0 on %s did not answer for [34] s"
                         % (HOST, HOST))
        for i in range(1, RANKS):
            own = os.path.join(self.dir, "%s.%d" % (HOST, i))
            self.assertFalse(os.path.isdir(own) and os.listdir(own), own)
        resume(pid)
        wait_gone(pid)
        self.sweep_and_check()

    def test_a_killed_rank_is_named_in_the_line_and_the_report(self):
        report = os.path.join(self.dir, "job.json")
        proc = self.start_job("-l", "-j", "2", "-f", "4", "-s", "1", "--report=" + report)
        self.wait_for_files_in_every_rank(proc)
        rank_pids_seen = rank_pids(proc.pid)
        os.kill(rank_pids_seen[1], signal.SIGKILL)
        out, err = proc.communicate(timeout=60)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("[%s:0] iochurn-mpi: rank 1 on %s is gone; ending the job\n"
                      % (HOST, HOST), err)
        r = self.report(report)
        validate(r)
        by_rank = {k["rank"]: k for k in r["ranks"]}
        self.assertEqual(by_rank[1]["ended"], "lost")
        self.assertEqual(by_rank[0]["ended"], "signal")
        # The survivors took Open MPI's SIGTERM at once: nothing of theirs left.
        for i in (0, 2, 3):
            own = os.path.join(self.dir, "%s.%d" % (HOST, i))
            self.assertFalse(os.path.isdir(own) and os.listdir(own), own)
        wait_gone(rank_pids_seen[1])
        self.sweep_and_check()

    @needs_fault_lib
    def test_a_hung_write_on_one_rank_ends_in_bounded_time_with_and_without_u(self):
        # Rank 1's writes take 20 s; its watchdog gives up after 1 s.
        faults = {"op": "write", "delay_ms": 20000, "count": 0, "rank": 1}
        for extra, status in ((["-u"], 1), ([], 0)):
            with self.subTest(options=extra):
                start = time.monotonic()
                run = self.run_job("-l", "-A", "-a", "1", "--diagnose", "-j", "2", "-f", "16",
                                   "-s", "1", *extra, faults=faults, timeout=60)
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertLess(time.monotonic() - start, 15, "waited for the hung write")
                self.assertNotIn("did not answer", run.stderr)
                self.assertIn("[%s:1] Thread 0: HUNG [write]" % HOST, run.stderr)
                self.assertNothingLeft()

    def test_a_whole_job_paused_and_continued_ends_nothing(self):
        proc = self.start_job("-l", "-j", "1", "-f", "4", "-s", "1", "--rank-timeout=2")
        self.wait_for_files_in_every_rank(proc)
        pids = rank_pids(proc.pid)
        for pid in pids.values():
            os.kill(pid, signal.SIGSTOP)
        time.sleep(5)
        for pid in pids.values():
            os.kill(pid, signal.SIGCONT)
        time.sleep(2)
        self.assertIsNone(proc.poll(), "the pause ended the job")
        os.kill(pids[0], signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0, err)
        self.assertNotIn("did not answer", err)
        self.assertNothingLeft()


def validate(report):
    try:
        import jsonschema
    except ImportError:
        return
    with open(os.path.join(test_mpi.ROOT, "docs", "report.schema.json")) as f:
        jsonschema.validate(report, json.load(f))


class RankReports(MpiCase):
    """Every rank's section says how it did, and the job's figures merge them."""

    @needs_fault_lib
    def test_a_slow_rank_is_found_and_the_merged_latency_holds_its_calls(self):
        report = os.path.join(self.dir, "job.json")
        # Rank 1's writes take 200 ms each, everybody else's well under 50.
        faults = {"op": "write", "delay_ms": 200, "count": 0, "rank": 1}
        run = self.run_job("-j", "2", "-f", "4", "-s", "1", "-p", "2", "--report=" + report,
                           faults=faults)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(report) as f:
            r = json.load(f)
        validate(r)
        ranks = r["ranks"]
        writes_per_rank = 2 * 2 * 4  # workers x passes x chunks of a file
        for k in ranks:
            self.assertEqual(k["latency"]["write"]["count"], writes_per_rank, k["rank"])
            self.assertEqual(k["passes_completed"], [2, 2])
            self.assertGreater(k["elapsed_s"], 0)
            self.assertEqual(k["errors"], [])
        job = r["latency"]["write"]
        # The job's counts and extremes are the ranks' added up and compared.
        self.assertEqual(job["count"], RANKS * writes_per_rank)
        self.assertEqual(job["min_us"], min(k["latency"]["write"]["min_us"] for k in ranks))
        self.assertEqual(job["max_us"], max(k["latency"]["write"]["max_us"] for k in ranks))
        # A quarter of the calls are slow: the median is a fast one, the p99
        # one of rank 1's, as computed directly from the calls.
        self.assertLess(job["median_us"], 50000)
        slow = ranks[1]["latency"]["write"]
        self.assertGreaterEqual(slow["min_us"], 200000)
        self.assertGreaterEqual(job["p99_us"], 0.9 * slow["min_us"])
        self.assertLessEqual(job["p99_us"], job["max_us"])
        self.assertEqual(job["slowest"]["rank"], 1)
        self.assertTrue(job["slowest"]["path"].startswith(
            os.path.join(self.dir, "%s.1" % HOST, "%d_" % ranks[1]["pid"])), job["slowest"])
        self.assertEqual(r["slowest_rank"]["write_rank"], 1)
        self.assertEqual(r["slowest_rank"]["read_rank"], 1)
        rates = [k["throughput"]["write_MiBps_wall"] for k in ranks]
        self.assertEqual(min(rates), rates[1])
        # The job's wall rate counts the longest write phase, rank 1's: each
        # of its workers spent 8 x 200 ms in writes.
        self.assertLessEqual(r["throughput"]["write_MiBps_wall"],
                             r["totals"]["bytes_written"] / MB / 1.6)
        self.assertGreater(r["throughput"]["write_MiBps_wall"], 0)
        # A worker's figures go by the names a process's do.
        self.assertEqual(set(r["workers"][0]["throughput"]), set(ranks[0]["throughput"]))
        # The run over time is the whole job's: every rank's bytes and
        # passes, every rank reporting, and rank 1's slow calls in it.
        timeline = r["timeline"]
        self.assertEqual(sum(s["bytes_written"] for s in timeline), r["totals"]["bytes_written"])
        self.assertEqual(sum(s["bytes_read"] for s in timeline), r["totals"]["bytes_read"])
        self.assertEqual(sum(s["passes"] for s in timeline), r["totals"]["passes_completed"])
        self.assertEqual({s["ranks"] for s in timeline}, {RANKS})
        self.assertEqual(max(s["write_max_us"] or 0 for s in timeline), job["max_us"])
        self.assertNothingLeft()

    @needs_fault_lib
    def test_errors_of_every_rank_are_listed_with_their_rank(self):
        report = os.path.join(self.dir, "job.json")
        faults = {"op": "open", "errno": "EROFS", "count": 0, "rank": 2}
        run = self.run_job("-j", "2", "-n", "2", "-f", "1", "-s", "1", "-p", "2",
                           "--report=" + report, faults=faults)
        self.assertEqual(run.returncode, 0, run.stderr)
        with open(report) as f:
            r = json.load(f)
        validate(r)
        self.assertEqual(r["errors_recorded"], 8)
        self.assertEqual(r["errors_listed"], 8)
        self.assertEqual({e["rank"] for e in r["errors"]}, {2})
        self.assertTrue(all(e["operation"] == "open" and e["errno"] == 30 for e in r["errors"]))
        by_rank = {k["rank"]: k for k in r["ranks"]}
        self.assertEqual(len(by_rank[2]["errors"]), 8)
        self.assertEqual(by_rank[2]["errors_recorded"], 8)
        self.assertTrue(all("rank" not in e for e in by_rank[2]["errors"]))
        self.assertEqual([len(by_rank[i]["errors"]) for i in (0, 1, 3)], [0, 0, 0])
        self.assertNothingLeft()


class StatusThroughAStall(MpiCase):

    def test_elapsed_advances_and_the_silent_rank_is_counted(self):
        proc = self.start_job("-l", "-j", "1", "-f", "8", "-s", "1", "--status-interval=1",
                              "--rank-timeout=60")
        self.wait_for_files_in_every_rank(proc)
        pids = rank_pids(proc.pid)
        time.sleep(2)
        os.kill(pids[3], signal.SIGSTOP)
        time.sleep(5)
        os.kill(pids[3], signal.SIGCONT)
        time.sleep(3)
        os.kill(pids[0], signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 0, err)
        lines = status_fields(err)
        self.assertGreaterEqual(len(lines), 8, err)
        elapsed = [float(l["elapsed_s"]) for l in lines]
        self.assertEqual(elapsed, sorted(elapsed))
        self.assertGreaterEqual(elapsed[-1] - elapsed[0], len(lines) - 3, err)
        silent = [int(l["silent"]) for l in lines]
        self.assertGreaterEqual(silent.count(1), 3, err)
        self.assertEqual(max(silent), 1, err)
        # While rank 3 was stopped the others' writes still show.
        rates = [float(l["write_MiBps"]) for l in lines]
        stalled_rates = [w for w, s in zip(rates, silent) if s == 1]
        self.assertGreater(max(stalled_rates), 0.0, err)
        # No spike on resume: the line that takes rank 3's late answer spreads
        # it over the time it covers, so it stays near the lines around it.
        # (Compared with its neighbours, not the whole run: the machine's pace
        # may change meanwhile, as other tests end.)
        back = next((i for i in range(1, len(silent)) if silent[i - 1] == 1 and silent[i] == 0),
                    None)
        self.assertIsNotNone(back, err)
        neighbours = [w for w in rates[max(0, back - 2):back] + rates[back + 1:back + 3] if w > 0]
        self.assertTrue(neighbours, err)
        self.assertLessEqual(rates[back], 3 * max(neighbours), err)
        self.assertNothingLeft()


class RefusedStart(MpiCase):

    def test_a_refused_start_names_the_rank_and_writes_the_report(self):
        report = os.path.join(self.dir, "job.json")
        blocker = os.path.join(self.dir, "%s.2" % HOST)
        open(blocker, "w").close()
        run = self.run_job("-f", "1", "-s", "1", "--report=" + report)
        self.assertEqual(run.returncode, 10, run.stderr)
        self.assertIn("[%s:0] iochurn-mpi: rank 2 ended the job with status 10\n" % HOST,
                      run.stderr)
        with open(report) as f:
            r = json.load(f)
        validate(r)
        self.assertEqual(r["exit_status"], 10)
        self.assertEqual(r["ended"], "start-failed")
        self.assertEqual(r["refused"]["rank"], 2)
        self.assertEqual(r["refused"]["exit_status"], 10)
        self.assertEqual(r["refused"]["message"],
                         "iochurn-mpi: cannot work in %s: Not a directory" % blocker)
        os.unlink(blocker)
        os.unlink(report)

        # Status 8 comes before any directory is made; the report still says it.
        with open("/proc/sys/kernel/pid_max") as f:
            pid_digits = len(str(int(f.read()) - 1))
        workdir = "/" + "d" * (255 - 1 - (1 + pid_digits + len("_0_0.DUMMY")) - 1)
        run = subprocess.run(mpirun_argv(["-t", workdir, "-j", "-1", "--report=" + report]),
                             env=mpi_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, timeout=120)
        self.assertEqual(run.returncode, 8, run.stderr)
        self.assertEqual(run.stderr.count("] Working catalog name is too long!\n"), RANKS)
        with open(report) as f:
            r = json.load(f)
        self.assertEqual((r["exit_status"], r["refused"]["exit_status"]), (8, 8))
        self.assertEqual(r["refused"]["message"], "Working catalog name is too long!")

    def test_a_rank_directory_that_cannot_be_written_refuses_the_start(self):
        own = os.path.join(self.dir, "%s.1" % HOST)
        os.mkdir(own, 0o700)
        # Read-only for root too: a read-only bind mount of the directory.
        if subprocess.run(["mount", "--bind", own, own]).returncode != 0:
            self.skipTest("cannot bind-mount")
        self.addCleanup(subprocess.run, ["umount", own])
        subprocess.run(["mount", "-o", "remount,bind,ro", own], check=True)
        run = self.run_job("-f", "1", "-s", "1")
        self.assertEqual(run.returncode, 10, run.stderr)
        self.assertIn("[%s:1] iochurn-mpi: cannot work in %s: Read-only file system\n"
                      % (HOST, own), run.stderr)
        self.assertIn("iochurn-mpi: rank 1 ended the job with status 10\n", run.stderr)
        self.assertEqual(files_below(self.dir), [])


class HelpAndVersion(MpiCase):

    def test_help_names_the_launchers_and_version_the_program(self):
        run = self.run_job("--version", ranks=2)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertRegex(run.stdout, r"^iochurn-mpi \d+\.\d+\.\d+\n$")
        run = self.run_job("--help", ranks=2)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith("iochurn-mpi: the MPI program"), run.stdout)
        for text in ("mpirun -np N", "srun --mpi=pmix", "--rank-timeout=SECONDS",
                     "Long options:"):
            self.assertEqual(run.stdout.count(text), 1, text)
        run = self.run_job("--rank-timeout=soon", ranks=2)
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertIn("iochurn-mpi: --rank-timeout=soon: accepted is a whole number of "
                      "seconds, 1 or more\n", run.stderr)
        # The plain program knows no such option.
        plain = subprocess.run([PLAIN_BIN, "--rank-timeout=5", "-j", "-1"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(plain.returncode, 2)


if __name__ == "__main__":
    test_mpi.main("test_mpi_liveness")
