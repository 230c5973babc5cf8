"""A short end-to-end set that also runs under the sanitizer builds."""
import os
import signal
import unittest

import harness
from harness import IochurnCase, summary

MB = 1 << 20


class Smoke(IochurnCase):
    def test_clean_runs_total_exactly(self):
        r = self.run_iochurn("-j", "3", "-n", "2", "-p", "2", "-f", "2", "-s", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        total = 3 * 2 * 2 * 2 * MB
        self.assertTrue(r.stdout.endswith(summary(total, total)), r.stdout[-300:])
        self.assertEqual(r.stdout.count("w"), 12)
        self.assertNoFilesLeft()

    def test_separate_random_buffers_verify(self):
        r = self.run_iochurn("-m", "-r", "-n", "2", "-f", "3", "-s", "2", "-p", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.endswith(summary(12 * MB, 12 * MB)))
        self.assertNoFilesLeft()

    def test_interrupt_stops_in_order(self):
        p = self.start_iochurn("-l", "-j", "2", "-n", "2", "-f", "1", "-s", "1")
        self.read_until(p, b"*")
        p.send_signal(signal.SIGINT)
        status, out, err = self.finish(p)
        self.assertEqual(status, 0, err)
        totals = harness.parse_summary(out)
        self.assertIsNotNone(totals)
        self.assertEqual(totals[1] % MB, 0)
        self.assertEqual(totals[2:], (0, 0))
        self.assertNoFilesLeft()

    def test_emergency_break_removes_every_file(self):
        p = self.start_iochurn("-u", "-v", "-l", "-j", "4", "-n", "3", "-f", "2", "-s", "1")
        self.read_until(p, b"*")
        p.send_signal(signal.SIGTERM)
        status, out, _ = self.finish(p)
        self.assertEqual(status, 1)
        self.assertNotIn("Summary statistics", out)
        self.assertNoFilesLeft()

    def test_monitor_reruns_until_break(self):
        p = self.start_iochurn("-O", "-R", "-o", "0", "-v", "-j", "2", "-f", "1", "-s", "1")
        self.read_until(p, b"create_thread result code = 0")
        p.send_signal(signal.SIGINT)
        status, out, err = self.finish(p)
        self.assertEqual(status, 0, err)
        self.assertIn("Terminate. No more active threads.\n", out)
        self.assertNoFilesLeft()

    def test_watchdog_quiet_when_transfers_return_in_time(self):
        r = self.run_iochurn("-A", "-a", "5", "-j", "4", "-n", "2", "-f", "2", "-s", "1", "-v")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("I/O timeout", r.stdout)
        self.assertTrue(r.stdout.endswith(summary(16 * MB, 16 * MB)))
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
