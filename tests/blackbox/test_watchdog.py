"""The I/O watchdog (-A): a single read or write that outlasts -a seconds
raises break 15; transfers that return in time change nothing.

-a also limits the main thread's passive wait on each whole worker to twice
the limit, so every case below is built so that only the one it is about
can fire: either the delays sit well clear of both limits, or the run is
supervised by active monitoring, which sets no limit of its own.
"""
import signal
import time
import unittest

import harness
from harness import MB, notice

TIMEOUT_LINE = "I/O timeout in wait_thread.\n"


class WatchdogCase(harness.IochurnCase, harness.WatchedRunMixin):

    def run_with_sink(self, *args, env=None, timeout=60):
        sink = self.notice_sink()
        proc = self.start_iochurn(*args, env=env, stdin=sink.file)
        status, out, err = self.finish(proc, timeout=timeout)
        return status, out, err, sink


@harness.needs_fault_lib
class ExpiryTests(WatchdogCase):

    def test_late_write_raises_break_15_and_stops_in_order(self):
        # Watchdog at 2 s, write back at 2.8 s, passive wait at 4 s.
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=2800)
        status, out, err, sink = self.run_with_sink(
            "-A", "-a", "2", "-v", "-f", "1", "-s", "1", env=env)
        self.assertEqual(status, 0, out[-500:] + err)
        self.assertEqual(out.count(TIMEOUT_LINE), 1, out[-800:])
        self.assertEqual(sink.text(), notice(15) + "User want to break!\n")
        # The expiry comes while the write still hangs; the worker finishes
        # that write, skips the read phase and stops.
        order = [out.find("Thread 0: Write file 0: *"), out.find(TIMEOUT_LINE),
                 out.find("Thread 0: Additive sum"),
                 out.find("terminated by user break.\n"),
                 out.find("\nSummary statistics:\n")]
        self.assertTrue(all(i >= 0 for i in order), out[-800:])
        self.assertEqual(order, sorted(order), out[-800:])
        self.assertNotIn("Read files to memory buffers", out)
        self.assertTrue(out.endswith(harness.summary(0, MB)), out[-300:])
        self.assertNoFilesLeft()

    def test_late_write_with_emergency_cleanup(self):
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=8000)
        started = time.monotonic()
        status, out, err, sink = self.run_with_sink(
            "-A", "-a", "1", "-u", "-v", "-n", "2", "-f", "1", "-s", "1",
            env=env)
        # Ended by the watchdog, not by the write coming back.
        self.assertLess(time.monotonic() - started, 6)
        self.assertEqual(status, 1, out[-500:] + err)
        timeout_at = out.find(TIMEOUT_LINE)
        self.assertGreaterEqual(timeout_at, 0, out[-500:])
        self.assertGreater(out.find("Shadow_close_files.\n"), timeout_at)
        self.assertNotIn("Summary statistics", out)
        self.assertEqual(sink.text(), notice(15))
        self.assertNoFilesLeft()

    def test_every_late_transfer_of_the_phase_raises_the_break_again(self):
        # Three files, each write 1.5 s against a 1 s limit. Active
        # monitoring keeps the passive wait out of the way.
        env = harness.fault_env(op="write", nth=1, count=3, delay_ms=1500)
        status, out, err, sink = self.run_with_sink(
            "-A", "-a", "1", "-O", "-o", "1", "-v", "-n", "3", "-f", "1",
            "-s", "1", env=env)
        self.assertEqual(status, 0, out[-500:] + err)
        self.assertEqual(out.count(TIMEOUT_LINE), 3, out[-1500:])
        self.assertNoticeCount(sink, 15, 3)
        # The phase runs over every file after the break; no read follows.
        self.assertTrue(out.endswith(harness.summary(0, 3 * MB)), out[-300:])
        self.assertNoFilesLeft()


class InTimeTests(WatchdogCase):

    def test_guarded_run_matches_unguarded_run(self):
        args = ("-j", "8", "-n", "4", "-p", "3", "-f", "1", "-s", "1")
        files = 8 * 4 * 3
        expected = {"w": files, "r": files, "*": 2 * files, ".": 0}
        for guard in ((), ("-A", "-a", "3")):
            with self.subTest(guard=guard):
                status, out, err, sink = self.run_with_sink(*guard, *args)
                self.assertEqual(status, 0, err)
                self.assertEqual(err, "")
                self.assertTrue(
                    out.endswith(harness.summary(files * MB, files * MB)),
                    out[-300:])
                self.assertEqual(harness.progress_symbols(out), expected)
                self.assertEqual(sink.text(), "")
                self.assertNoFilesLeft()

    def test_long_guarded_runs_outlast_the_limit_without_false_break(self):
        # Four workers arming and disarming side by side for several times
        # the limit: endless passes, and endless re-runs, each of which
        # starts its worker's watchdog afresh.
        for mode in (("-l", "-o", "1"), ("-R", "-o", "0")):
            with self.subTest(mode=mode):
                sink = self.notice_sink()
                proc = self.start_iochurn("-A", "-a", "1", "-O", *mode,
                                          "-j", "4", "-f", "1", "-s", "1",
                                          stdin=sink.file)
                seen = self.read_until(proc, b"*")
                threads = []

                def sample():
                    with open("/proc/%d/status" % proc.pid) as f:
                        threads.extend(int(l.split()[1]) for l in f
                                       if l.startswith("Threads:"))

                seen += self.drain(proc, 4, tick=sample, interval=0.5)
                self.assertEqual(sink.text(), "",
                                 "a break during in-time transfers")
                self.assertIsNone(proc.poll())
                # Main, signal thread, four workers and their watchdogs.
                self.assertLessEqual(max(threads), 12, threads)
                proc.send_signal(signal.SIGINT)
                status, rest, err = self.finish(proc, timeout=30)
                self.assertEqual(status, 0, err)
                self.assertEqual(sink.text(), notice(2))
                read, write, compare, other = harness.parse_summary(
                    seen.decode() + rest)
                self.assertEqual((compare, other), (0, 0))
                self.assertEqual(write % MB, 0)
                self.assertGreater(write, 8 * MB)
                self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_slow_transfers_that_do_not_expire(self):
        # Without -A a write far beyond the limit is not watched at all;
        # with -A one that returns inside the limit is left alone.
        cases = {"unguarded": (("-a", "1"), 1500),
                 "guarded, in time": (("-A", "-a", "2"), 600)}
        for name, (guard, delay) in cases.items():
            with self.subTest(name):
                env = harness.fault_env(op="write", nth=1, count=2,
                                        delay_ms=delay)
                status, out, err, sink = self.run_with_sink(
                    *guard, "-O", "-o", "1", "-v", "-n", "2", "-f", "1",
                    "-s", "1", env=env)
                self.assertEqual(status, 0, err)
                self.assertNotIn(TIMEOUT_LINE, out)
                self.assertNotIn("ERR [alarm]", out)
                self.assertEqual(sink.text(), "")
                self.assertTrue(out.endswith(harness.summary(2 * MB, 2 * MB)),
                                out[-300:])
                self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
