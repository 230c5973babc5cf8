"""Breaking a run: console signals, the emergency clean-up of -u, and the
passive wait that gives up on a worker.

Every signal is sent only after the first progress symbol has been read, so
the workers are known to be inside their passes when it arrives.
"""
import os
import signal
import subprocess
import time
import unittest

import harness
from harness import MB, notice


class BreakCase(harness.IochurnCase, harness.WatchedRunMixin):

    def start_broken(self, *args, sink=None, env=None):
        """Starts a run with a writable descriptor 0 and waits for its
        first progress symbol."""
        proc = self.start_iochurn(*args, env=env,
                                  stdin=sink.file if sink else subprocess.DEVNULL)
        seen = self.read_until(proc, b"*")
        return proc, seen

    def assertWholeFiles(self, totals, file_bytes):
        read, write, compare, other = totals
        self.assertGreater(write, 0)
        self.assertEqual(write % file_bytes, 0, "a file was written in part")
        self.assertEqual(read % file_bytes, 0, "a file was read in part")
        self.assertLessEqual(read, write)
        self.assertEqual((compare, other), (0, 0))


class AsyncBreakTests(BreakCase):
    """The default break: every worker finishes its phase and cleans up."""

    def test_sigint_ends_endless_run_with_whole_files(self):
        sink = self.notice_sink()
        proc, seen = self.start_broken("-l", "-j", "2", "-n", "2", "-f", "2",
                                       "-s", "1", sink=sink)
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "")
        totals = harness.parse_summary(seen.decode() + rest)
        self.assertIsNotNone(totals, "no summary after the break")
        self.assertWholeFiles(totals, 2 * MB)
        self.assertEqual(sink.text(), notice(2))
        self.assertNoFilesLeft()

    def test_verbose_termination_lines_in_order(self):
        sink = self.notice_sink()
        proc, seen = self.start_broken("-l", "-v", "-f", "1", "-s", "1",
                                       sink=sink)
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=30)
        out = seen.decode() + rest
        self.assertEqual(status, 0, err)
        self.assertEqual(sink.text(), notice(2) + "User want to break!\n")
        # The break notice goes to descriptor 0 only.
        self.assertNotIn("signal()", out)
        pid = proc.pid
        by_break = "Thread 0: (process %d) terminated by user break.\n" % pid
        ended = "Thread 0: (process %d) terminated.\n" % pid
        self.assertEqual(out.count(by_break), 1)
        self.assertEqual(out.count(ended), 1)
        last_pass = out.rfind("Thread 0: Pass ")
        order = [last_pass, out.find(by_break), out.find(ended),
                 out.find("thread [0]: status done.\n"),
                 out.find("\nSummary statistics:\n")]
        self.assertTrue(all(i >= 0 for i in order), out[-800:])
        self.assertEqual(order, sorted(order), out[-800:])
        # The cut pass was still cleaned up before the worker ended.
        self.assertLess(out.rfind("Thread 0: Close and delete files.\n"),
                        last_pass)
        self.assertWholeFiles(harness.parse_summary(out), MB)
        self.assertNoFilesLeft()

    def test_other_console_signals_break_alike(self):
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
            with self.subTest(signal=sig.name):
                sink = self.notice_sink()
                proc, seen = self.start_broken("-l", "-f", "1", "-s", "1",
                                               sink=sink)
                proc.send_signal(sig)
                status, rest, err = self.finish(proc, timeout=30)
                self.assertEqual(status, 0, err)
                self.assertEqual(sink.text(), notice(int(sig)))
                totals = harness.parse_summary(seen.decode() + rest)
                self.assertIsNotNone(totals)
                self.assertWholeFiles(totals, MB)
                self.assertNoFilesLeft()

    def test_notice_lost_on_read_only_stdin_break_still_works(self):
        with open(os.devnull, "rb") as read_only:
            proc = self.start_iochurn("-l", "-v", "-f", "1", "-s", "1",
                                      stdin=read_only)
            seen = self.read_until(proc, b"*")
            proc.send_signal(signal.SIGINT)
            status, rest, err = self.finish(proc, timeout=30)
        out = seen.decode() + rest
        self.assertEqual(status, 0, err)
        # Lost, not redirected elsewhere.
        self.assertNotIn("signal()", out + err)
        self.assertNotIn("User want to break!", out + err)
        self.assertIn("terminated by user break.\n", out)
        self.assertWholeFiles(harness.parse_summary(out), MB)
        self.assertNoFilesLeft()

    def test_sigsegv_from_another_process_is_a_break(self):
        sink = self.notice_sink()
        proc, seen = self.start_broken("-l", "-v", "-j", "2", "-f", "1",
                                       "-s", "1", sink=sink)
        os.kill(proc.pid, signal.SIGSEGV)
        status, rest, err = self.finish(proc, timeout=30)
        out = seen.decode() + rest
        self.assertEqual(status, 0, err)
        self.assertEqual(sink.text(), notice(11) + "User want to break!\n")
        self.assertEqual(out.count("terminated by user break.\n"), 2)
        self.assertWholeFiles(harness.parse_summary(out), MB)
        self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_second_sigint_takes_the_default_action(self):
        # The second pass's open is held up, so the worker cannot end on the
        # first break before the second one arrives; no file exists then.
        log = os.path.join(self.workdir, "faults.log")
        env = harness.fault_env(op="open", nth=2, count=1, delay_ms=20000,
                                log=log)
        sink = self.notice_sink()
        proc, _ = self.start_broken("-l", "-v", "-f", "1", "-s", "1",
                                    sink=sink, env=env)
        harness.wait_for_file_text(log, "open 2\n")
        proc.send_signal(signal.SIGINT)
        sink.wait_for(notice(2))
        started = time.monotonic()
        proc.send_signal(signal.SIGINT)
        status, out, err = self.finish(proc, timeout=30)
        self.assertEqual(status, -signal.SIGINT, out[-500:] + err)
        self.assertLess(time.monotonic() - started, 5)
        self.assertNotIn("Summary statistics", out)
        self.assertEqual(sink.text(), notice(2) + "User want to break!\n")
        self.assertNoFilesLeft()


class EmergencyCleanupTests(BreakCase):
    """-u: every open file of every worker is closed and deleted at once."""

    def test_sigint_closes_and_deletes_everything(self):
        sink = self.notice_sink()
        proc, seen = self.start_broken("-u", "-v", "-l", "-j", "2", "-n", "2",
                                       "-f", "1", "-s", "1", sink=sink)
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=30)
        out = seen.decode() + rest
        self.assertEqual(status, 1, out[-500:] + err)
        self.assertNotIn("Summary statistics", out)
        close_at = out.find("Shadow_close_files.\n")
        free_at = out.find("Shadow_free_buffers.\n")
        self.assertGreaterEqual(close_at, 0, out[-500:])
        self.assertGreater(free_at, close_at)
        self.assertEqual(out.count("Shadow_close_files.\n"), 1)
        self.assertNotIn("Remain temporary files", out)
        self.assertNotIn("ERR [", err)
        self.assertEqual(sink.text(), notice(2))
        self.assertNoFilesLeft()

    def test_sigsegv_from_another_process_runs_the_cleanup(self):
        # The segmentation-fault handler hands the break to the signal
        # thread, where the clean-up may run.
        sink = self.notice_sink()
        proc, seen = self.start_broken("-u", "-v", "-l", "-j", "2", "-n", "2",
                                       "-f", "1", "-s", "1", sink=sink)
        os.kill(proc.pid, signal.SIGSEGV)
        status, rest, err = self.finish(proc, timeout=30)
        out = seen.decode() + rest
        self.assertEqual(status, 1, out[-500:] + err)
        self.assertIn("Shadow_free_buffers.\n", out)
        self.assertNotIn("Summary statistics", out)
        self.assertEqual(sink.text(), notice(11))
        self.assertNoFilesLeft()

    # A worker whose read was about to start when the clean-up swapped its
    # descriptor for /dev/null reads nothing; it must not report that as a
    # read error or a checksum mismatch on storage that did nothing wrong.
    @harness.needs_fault_lib
    def test_workers_cut_off_report_no_false_errors(self):
        # Every read is held up 5 ms before it starts, so at the break many
        # workers sit between their gate and their read.
        env = harness.fault_env(op="read", count=0, delay_ms=5)
        for round_no in range(20):
            proc = self.start_iochurn("-u", "-l", "-j", "32", "-n", "4",
                                      "-f", "1", "-s", "1", env=env)
            self.read_until(proc, b"r*")
            proc.send_signal(signal.SIGINT)
            status, out, err = self.finish(proc, timeout=30)
            self.assertEqual(status, 1, err)
            self.assertNoFilesLeft()
            self.assertNotIn("ERR [", err, "round %d" % round_no)

    @harness.needs_fault_lib
    def test_keep_files_leaves_one_reminder_per_open_file(self):
        # The worker hangs in its first write with all three files open.
        log = os.path.join(self.workdir, "faults.log")
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=20000,
                                log=log)
        sink = self.notice_sink()
        proc, seen = self.start_broken("-u", "-z", "-v", "-n", "3", "-f", "1",
                                       "-s", "1", sink=sink, env=env)
        harness.wait_for_file_text(log, "write 1\n")
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=30)
        out = seen.decode() + rest
        self.assertEqual(status, 1, out[-500:] + err)
        window = out[out.find("Shadow_close_files.\n"):
                     out.find("Shadow_free_buffers.\n")]
        self.assertTrue(window, out[-500:])
        self.assertEqual(
            window.count("Remain temporary files. Remove them manually.\n"), 3)
        expected = ["%d_0_%d.DUMMY" % (proc.pid, j) for j in range(3)]
        self.assertEqual(harness.dummy_files(self.workdir), expected)
        for name in expected:
            os.unlink(os.path.join(self.workdir, name))
        self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_worker_hung_in_write_does_not_hold_up_the_exit(self):
        log = os.path.join(self.workdir, "faults.log")
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=30000,
                                log=log)
        proc, seen = self.start_broken("-u", "-v", "-l", "-j", "2", "-n", "2",
                                       "-f", "1", "-s", "1", env=env)
        harness.wait_for_file_text(log, "write 1\n")
        started = time.monotonic()
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=30)
        self.assertLess(time.monotonic() - started, 5)
        out = seen.decode() + rest
        self.assertEqual(status, 1, out[-500:] + err)
        self.assertIn("Shadow_free_buffers.\n", out)
        self.assertNotIn("ERR [", err)
        # The hung worker's files are gone by name while it still writes.
        self.assertNoFilesLeft()


@harness.needs_fault_lib
class PassiveWaitTimeoutTests(BreakCase):
    """-a 1 gives each worker two seconds; a slower one raises break 15."""

    ARGS = ("-a", "1", "-v", "-n", "2", "-f", "1", "-s", "1")

    def late_worker_env(self):
        return harness.fault_env(op="write", nth=1, count=1, delay_ms=4000)

    def test_late_worker_stops_the_run_in_order(self):
        sink = self.notice_sink()
        proc = self.start_iochurn(*self.ARGS, env=self.late_worker_env(),
                                  stdin=sink.file)
        status, out, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 0, out[-500:] + err)
        self.assertEqual(out.count("I/O timeout in wait_thread.\n"), 1)
        order = [out.find("I/O timeout in wait_thread.\n"),
                 out.find("thread [0]: status done.\n"),
                 out.find("\nSummary statistics:\n")]
        self.assertTrue(all(i >= 0 for i in order), out[-800:])
        self.assertEqual(order, sorted(order))
        # Only workers that ended in time are counted: here none.
        self.assertTrue(out.endswith(harness.summary(0, 0)), out[-300:])
        self.assertEqual(sink.text(), notice(15) + "User want to break!\n")
        # The late worker's files go with the process.
        self.assertNoFilesLeft()

    def test_late_worker_with_emergency_cleanup(self):
        sink = self.notice_sink()
        proc = self.start_iochurn("-u", *self.ARGS,
                                  env=self.late_worker_env(), stdin=sink.file)
        status, out, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 1, out[-500:] + err)
        timeout_at = out.find("I/O timeout in wait_thread.\n")
        self.assertGreaterEqual(timeout_at, 0, out[-500:])
        self.assertGreater(out.find("Shadow_close_files.\n"), timeout_at)
        self.assertNotIn("Summary statistics", out)
        self.assertEqual(sink.text(), notice(15))
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
