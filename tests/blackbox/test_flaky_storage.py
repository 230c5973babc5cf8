"""Runs on flaky storage and a restless host: a stopped process is no hung
device, a summary that leaves workers out says so (--diagnose), start-up
checks are bounded, the "may remain" list names only files that existed,
--max-errors ends an endless stream of errors, HUNG lines start a line.
"""
import json
import os
import pty
import re
import signal
import subprocess
import sys
import time
import unittest

import harness
from harness import MB, notice, read_stderr_until

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import fusefault  # noqa: E402

HUNG = re.compile(r"Thread 0: HUNG \[(\w+)\]: .* for (\d+\.\d) s \(task")
GAVE_UP = "iochurn: clean-up stopped: no answer from the file system for 3 s\n"


class FlakyCase(harness.IochurnCase, harness.WatchedRunMixin):

    def run_watched(self, *args, env=None, timeout=90):
        """Runs to the end; returns (status, out, err, notices)."""
        sink = self.notice_sink()
        proc = self.start_iochurn(*args, env=env, stdin=sink.file)
        status, out, err = self.finish(proc, timeout=timeout)
        return status, out, err, sink.text()

    def fault_log(self):
        return os.path.join(self.workdir, "faults.log")

    def pause(self, proc, seconds):
        proc.send_signal(signal.SIGSTOP)
        time.sleep(seconds)
        proc.send_signal(signal.SIGCONT)


@harness.needs_fault_lib
class Pauses(FlakyCase):

    def test_a_stopped_process_trips_no_watchdog(self):
        # Every write takes 0.3 s, so the stop lands inside one.
        env = harness.fault_env(op="write", count=0, delay_ms=300, log=self.fault_log())
        sink = self.notice_sink()
        proc = self.start_iochurn("-A", "-a", "2", "--diagnose", "-l", "-n", "2",
                                  "-f", "1", "-s", "1", env=env, stdin=sink.file)
        harness.wait_for_file_text(self.fault_log(), "write 2")
        self.pause(proc, 4)
        self.drain(proc, 2)
        self.assertIsNone(proc.poll(), "the run ended after the resume")
        proc.send_signal(signal.SIGINT)
        status, _, err = self.finish(proc)
        self.assertEqual((status, sink.text()), (0, notice(2)), err)
        self.assertNotIn("HUNG", err)
        self.assertNoFilesLeft()

    def test_a_stopped_process_outlasts_the_passive_wait(self):
        # Eight 0.3 s writes against a 4 s wait, stopped for 5 s.
        env = harness.fault_env(op="write", count=0, delay_ms=300, log=self.fault_log())
        sink = self.notice_sink()
        proc = self.start_iochurn("-a", "2", "--diagnose", "-n", "8", "-f", "1",
                                  "-s", "1", env=env, stdin=sink.file)
        harness.wait_for_file_text(self.fault_log(), "write 1")
        self.pause(proc, 5)
        status, out, err = self.finish(proc)
        self.assertEqual((status, err, sink.text()), (0, "", ""))
        self.assertTrue(out.endswith(harness.summary(8 * MB, 8 * MB)), out[-300:])
        self.assertNoFilesLeft()

    def test_a_transfer_stuck_after_the_resume_trips_at_its_limit(self):
        # 2 s limit; stopped for 3 s of a 9 s write: the trip comes 2 s of
        # running time after the write began, about 5 s by the clock.
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=9000,
                                log=self.fault_log())
        sink = self.notice_sink()
        proc = self.start_iochurn("-A", "-a", "2", "--diagnose", "-O", "-o", "1",
                                  "-f", "1", "-s", "1", env=env, stdin=sink.file)
        harness.wait_for_file_text(self.fault_log(), "write 1")
        time.sleep(0.3)
        self.pause(proc, 3)
        status, _, err = self.finish(proc)
        self.assertEqual((status, sink.text()), (0, notice(15)), err)
        hung = HUNG.search(err)
        self.assertIsNotNone(hung, err)
        self.assertEqual(hung.group(1), "write")
        self.assertGreaterEqual(float(hung.group(2)), 4.5, err)
        self.assertNoFilesLeft()


@harness.needs_fault_lib
class PartialSummary(FlakyCase):
    LINE = "iochurn: 1 of 2 workers had not ended; the summary counts only the others"

    def test_diagnose_says_which_workers_the_summary_leaves_out(self):
        # One worker's write outlasts the 2 s wait; the other ends in time.
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=3500)
        args = ("-a", "1", "-j", "2", "-f", "1", "-s", "1")
        report = os.path.join(self.workdir, "run.json")
        runs = {"plain": (), "diagnose": ("--diagnose",),
                "report": ("--diagnose", "--report=" + report)}
        seen = {}
        for name, extra in runs.items():
            with self.subTest(name):
                status, out, err, notices = self.run_watched(*args, *extra, env=env)
                self.assertEqual((status, notices), (0, notice(15)), err)
                self.assertTrue(out.endswith(harness.summary(MB, MB)), out[-300:])
                seen[name] = err
                self.assertNoFilesLeft()
        self.assertEqual(seen["plain"], "")
        self.assertTrue(seen["diagnose"].endswith(self.LINE + "\n"), seen["diagnose"])
        self.assertTrue(seen["report"].endswith(
            self.LINE + " (the report has every worker's bytes)\n"), seen["report"])
        with open(report) as f:
            self.assertEqual(json.load(f)["ended"], "wait-timeout")

    def test_the_report_counts_the_worker_the_summary_leaves_out(self):
        # The second write of the one worker outlasts the wait: the summary
        # has none of its bytes, the report the first chunk.
        env = harness.fault_env(op="write", nth=2, count=1, delay_ms=3500)
        report = os.path.join(self.workdir, "run.json")
        status, out, err, _ = self.run_watched(
            "-a", "1", "-f", "2", "-s", "1", "--diagnose", "--report=" + report,
            env=env)
        self.assertEqual(status, 0, err)
        self.assertTrue(out.endswith(harness.summary(0, 0)), out[-300:])
        self.assertTrue(err.endswith("iochurn: 1 of 1 workers had not ended; the "
                                     "summary counts only the others (the report "
                                     "has every worker's bytes)\n"), err)
        with open(report) as f:
            totals = json.load(f)["totals"]
        self.assertEqual((totals["bytes_written"], totals["source"]), (MB, "workers"))
        self.assertNoFilesLeft()


class StartupChecks(FlakyCase):

    def setUp(self):
        fusefault.require_fuse()
        super().setUp()
        # The second statfs: the first asks the file system's type for
        # the memory budget, the second its free space.
        self.fs = fusefault.FuseFault(stall="statfs", stall_after=2,
                                      parent=harness.fast_dir(), deadline=120)
        self.fs.mount()
        self.addCleanup(self.fs.unmount)
        self.addCleanup(self.fs.release)
        self.workdir = self.fs.mountpoint

    def test_a_stalled_free_space_check_is_given_up(self):
        began = time.monotonic()
        proc = self.start_iochurn("--diagnose", "-f", "1", "-s", "1")
        out = self.read_until(proc, b"Other_Errors=0\n", timeout=30)
        self.assertLess(time.monotonic() - began, 20)
        # The process ends once the stalled call it gave up on returns.
        self.fs.release()
        status, rest, err = self.finish(proc)
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "iochurn: free-space check of %s gave no answer "
                         "in 5 s; going on without it\n" % self.workdir)
        self.assertTrue((out.decode() + rest).endswith(harness.summary(MB, MB)))
        self.assertNoFilesLeft()

    def test_signals_during_a_stalled_check_break_as_later(self):
        sink = self.notice_sink()
        proc = self.start_iochurn("--diagnose", "-f", "1", "-s", "1", stdin=sink.file)
        self.fs.wait_for_log("stall")
        proc.send_signal(signal.SIGINT)
        sink.wait_for(notice(2), timeout=3)
        # The second of a kind ends the process at once (once the call
        # held in the daemon returns).
        proc.send_signal(signal.SIGINT)
        time.sleep(0.5)
        self.fs.release()
        status, _, _ = self.finish(proc, timeout=5)
        self.assertEqual(status, -signal.SIGINT)
        self.assertEqual(sink.text(), notice(2))


@harness.needs_fault_lib
class MayRemain(FlakyCase):
    """Deletes on the FUSE mount stall; the third of four opens sleeps, so
    two files exist when the break comes, one is being opened and one never
    will be."""

    def setUp(self):
        fusefault.require_fuse()
        super().setUp()

    def start_and_break(self, *extra):
        fs = fusefault.FuseFault(stall="unlink", stall_after=1,
                                 parent=harness.fast_dir(), deadline=120)
        fs.mount()
        self.addCleanup(fs.unmount)
        self.workdir = fs.mountpoint
        log = os.path.join(fs.root, "preload.log")
        env = harness.fault_env(op="open", nth=3, count=1, delay_ms=60000, log=log)
        sink = self.notice_sink()
        proc = self.start_iochurn("-u", "-n", "4", "-f", "1", "-s", "1", *extra,
                                  env=env, stdin=sink.file)
        harness.wait_for_file_text(log, "open 3")
        proc.send_signal(signal.SIGINT)
        return fs, proc, sink

    def test_only_files_that_were_created_are_listed(self):
        fs, proc, sink = self.start_and_break()
        err = read_stderr_until(proc, "may remain: ", 15)
        fs.release()  # the kernel holds the status until the call returns
        status, _, rest = self.finish(proc)
        self.assertEqual((status, sink.text()), (1, notice(2)))
        self.assertEqual(err + rest, GAVE_UP + "".join(
            "iochurn: may remain: %s/%d_0_%d.DUMMY\n" % (self.workdir, proc.pid, j)
            for j in (0, 1, 2)))

    def test_a_second_signal_names_the_sweep_with_diagnose(self):
        for extra in ((), ("--diagnose",)):
            with self.subTest(extra=extra):
                fs, proc, sink = self.start_and_break(*extra)
                fs.wait_for_log("stall")
                proc.send_signal(signal.SIGINT)
                # The process ends once the delete held in the daemon returns.
                time.sleep(0.5)
                fs.release()
                status, _, err = self.finish(proc, timeout=10)
                self.assertEqual(status, -signal.SIGINT)
                self.assertEqual(sink.text(), notice(2))
                line = ("iochurn: ended at once; files of this run may remain in "
                        "%s (iochurn --sweep -t %s -j -1 removes them)\n"
                        % (self.workdir, self.workdir))
                self.assertEqual(err, line if extra else "")
                fs.unmount()


class MaxErrors(FlakyCase):

    def read_report(self, path):
        with open(path) as f:
            return json.load(f)

    def assertStoppedAt(self, limit, workers, kind, status, err, notices):
        self.assertEqual(status, 16 + 2, err[-800:])
        self.assertEqual(notices, "")
        lines = err.splitlines()
        errors = [l for l in lines if "ERR [" in l]
        self.assertIn("ERR [%s]" % kind, err)
        self.assertGreaterEqual(len(errors), limit, err[-800:])
        self.assertLessEqual(len(errors), limit + workers, err[-800:])
        self.assertEqual(lines.count("iochurn: %d errors reached; stopping" % limit), 1,
                         err[-800:])
        return len(errors)

    @unittest.skipUnless(os.geteuid() == 0, "mounting a read-only tmpfs needs root")
    def test_a_read_only_directory_stops_the_endless_run(self):
        ro = os.path.join(self.workdir, "ro")
        os.mkdir(ro)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", ro],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", ro])
        report = os.path.join(self.workdir, "run.json")
        status, out, err, notices = self.run_watched(
            "-t", ro, "--max-errors=5", "--strict", "--report=" + report, "-l",
            "-j", "2", "-f", "1", "-s", "1", timeout=30)
        count = self.assertStoppedAt(5, 2, "open", status, err, notices)
        self.assertEqual(harness.parse_summary(out)[3], count)
        self.assertEqual(self.read_report(report)["ended"], "max-errors")

    @harness.needs_fault_lib
    def test_injected_eio_stops_at_the_limit(self):
        env = harness.fault_env(op="write", count=0, errno="EIO")
        report = os.path.join(self.workdir, "run.json")
        status, out, err, notices = self.run_watched(
            "--max-errors=3", "--strict", "--report=" + report, "-l", "-n", "2",
            "-f", "1", "-s", "1", env=env, timeout=30)
        count = self.assertStoppedAt(3, 1, "write", status, err, notices)
        self.assertEqual(harness.parse_summary(out)[3], count)
        self.assertEqual(self.read_report(report)["ended"], "max-errors")
        self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_zero_is_no_limit_and_bad_values_are_refused(self):
        env = harness.fault_env(op="write", count=0, errno="EIO")
        for limit in ("0", None):
            args = ("--max-errors=" + limit,) if limit else ()
            status, out, err, _ = self.run_watched(*args, "-n", "6", "-f", "1",
                                                   "-s", "1", env=env)
            self.assertEqual(status, 0)
            self.assertEqual(err.count("ERR [write]"), 6, err)
            self.assertNotIn("errors reached", err)
        for bad in ("-1", "x", ""):
            r = self.run_iochurn("--max-errors=" + bad)
            self.assertEqual(r.returncode, 2, bad)
            self.assertTrue(r.stderr.startswith("iochurn: --max-errors="), r.stderr)


@harness.needs_fault_lib
class HungLineOnATerminal(FlakyCase):

    def test_hung_line_starts_a_line_of_its_own(self):
        # The second chunk's write hangs after "w*" went to the terminal.
        env = harness.fault_env(op="write", nth=2, count=1, delay_ms=2500)
        master, slave = pty.openpty()
        proc = subprocess.Popen(
            [harness.BIN, "-t", self.workdir, "-A", "-a", "1", "-O", "-o", "1",
             "-f", "2", "-s", "1", "--diagnose"],
            stdin=subprocess.DEVNULL, stdout=slave, stderr=slave, env=env)
        os.close(slave)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the terminal closed with the last writer
                break
            if not chunk:
                break
            seen += chunk
        os.close(master)
        self.assertEqual(proc.wait(timeout=60), 0)
        text = seen.decode(errors="replace")
        at = text.find("Thread 0: HUNG [write]")
        self.assertGreater(at, 0, text)
        self.assertIn(text[at - 1], "\r\n", text)
        self.assertIn("w*", text[:at])
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
