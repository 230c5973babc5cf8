"""Time-limited runs (--runtime): the orderly stop at the next phase
boundary once the time is up, with the usual summary and status 0."""
import json
import os
import shutil
import time
import unittest

import harness
from harness import MB


class RuntimeCase(harness.IochurnCase, harness.WatchedRunMixin):

    def setUp(self):
        super().setUp()
        self.out = self.workdir + ".out"
        os.mkdir(self.out)
        self.addCleanup(shutil.rmtree, self.out, True)
        self.report = os.path.join(self.out, "run.json")

    def timed_run(self, *args, env=None):
        """Runs with descriptor 0 on a notice sink; returns (result,
        report, wall seconds, what reached descriptor 0)."""
        sink = self.notice_sink()
        start = time.monotonic()
        r = self.run_iochurn(*args, "--report=" + self.report, env=env,
                             stdin=sink.file)
        seconds = time.monotonic() - start
        with open(self.report) as f:
            return r, json.load(f), seconds, sink.text()

    def assertStoppedInOrder(self, r, doc, fd0):
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIsNotNone(harness.parse_summary(r.stdout), r.stdout[-300:])
        self.assertEqual((doc["ended"], doc["cleanup"], doc["exit_status"],
                          doc["signal"]), ("runtime", "orderly", 0, None))
        self.assertEqual(fd0, "")  # no break notice
        self.assertEqual(doc["files_present"], [])
        self.assertNoFilesLeft()


class Runtime(RuntimeCase):

    def test_forever_run_stops_at_the_first_boundary_after_the_limit(self):
        for extra in ([], ["-u"], ["--strict"], ["-O", "-o", "1", "-R"]):
            with self.subTest(extra):
                r, doc, seconds, fd0 = self.timed_run(
                    "-l", "-j", "2", "-n", "1", "-s", "1", "-f", "4", "--runtime=2s",
                    *extra)
                self.assertStoppedInOrder(r, doc, fd0)
                # Phases of a few milliseconds: the stop comes within the
                # status thread's one-second tick.
                self.assertGreaterEqual(doc["elapsed_s"], 2.0)
                self.assertLess(doc["elapsed_s"], 4.5, seconds)
                self.assertGreater(doc["totals"]["passes_completed"], 2)

    @harness.needs_fault_lib
    def test_a_phase_under_way_is_finished_not_cut(self):
        # Every write held 150 ms: a write phase of 8 chunks lasts 1.2 s,
        # so the stop waits for the phase the limit fell into.
        env = harness.fault_env(op="write", count=0, delay_ms=150)
        r, doc, _, fd0 = self.timed_run("-l", "-n", "1", "-s", "1", "-f", "8",
                                        "--runtime=1", env=env)
        self.assertStoppedInOrder(r, doc, fd0)
        self.assertGreaterEqual(doc["elapsed_s"], 1.0)
        self.assertLess(doc["elapsed_s"], 1.0 + 2 * 8 * 0.15 + 1.5)
        written, read = doc["totals"]["bytes_written"], doc["totals"]["bytes_read"]
        self.assertEqual(written % (8 * MB), 0)  # whole phases only
        self.assertEqual(read % (8 * MB), 0)
        self.assertEqual(doc["totals"]["compare_errors"], 0)

    def test_passes_that_end_first_win(self):
        r, doc, _, fd0 = self.timed_run("-p", "2", "-s", "1", "-f", "2",
                                        "--runtime=1h")
        self.assertEqual((r.returncode, doc["ended"]), (0, "completed"))
        self.assertEqual(doc["settings"]["runtime_s"], 3600)
        self.assertEqual(doc["totals"]["passes_completed"], 2)

    def test_bad_durations_are_refused_with_one_line(self):
        for value in ("0", "0s", "", "5x", "1.5h", "-3", "2dd", "m", "3000000000",
                      "99999999d"):
            with self.subTest(value):
                r = self.run_iochurn("--runtime=" + value, "-p", "1")
                self.assertEqual(r.returncode, 2)
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertIn("--runtime", r.stderr)
                self.assertEqual(r.stdout, "")
        r = self.run_iochurn("--runtime")
        self.assertEqual((r.returncode, len(r.stderr.splitlines())), (2, 1))


if __name__ == "__main__":
    unittest.main()
