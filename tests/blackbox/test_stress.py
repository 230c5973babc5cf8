"""Breaks at random moments under load, and a long run of re-run workers.

The random delay between the first progress symbol and the break is the
point of these cases: the break has to be safe whatever each worker is doing
at that moment (allocating, opening, mid-transfer, cleaning up).

IOCHURN_STRESS_ROUNDS sets the number of runs broken under -u (those with
the orderly break are two fifths of it) and IOCHURN_SOAK_SECONDS the length
of the soak.
"""
import os
import random
import re
import signal
import time
import unittest

import harness
from harness import MB

ROUNDS = max(1, int(os.environ.get("IOCHURN_STRESS_ROUNDS", "25")))
SOAK_SECONDS = float(os.environ.get("IOCHURN_SOAK_SECONDS", "20"))
LOAD = ("-l", "-j", "8", "-n", "4", "-f", "2", "-s", "1")


class RandomBreakTests(harness.IochurnCase, harness.WatchedRunMixin):

    def setUp(self):
        super().setUp()
        seed = int(os.environ.get("IOCHURN_STRESS_SEED", time.time_ns()))
        self.random = random.Random(seed)
        self.seed = seed

    def broken_run(self, *args):
        """Starts a loaded run, breaks it with SIGINT 0 to 300 ms after its
        first progress symbol; returns (status, stdout, stderr, delay)."""
        proc = self.start_iochurn(*args, *LOAD)
        seen = self.read_until(proc, b"*")
        delay = self.random.uniform(0, 0.3)
        seen += self.drain(proc, delay)
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=60)
        return status, seen.decode(errors="replace") + rest, err, delay

    def test_emergency_cleanup_at_random_moments(self):
        for round_no in range(ROUNDS):
            # Every other round with separate read and write buffers.
            extra = ("-m",) if round_no % 2 else ()
            status, out, err, delay = self.broken_run("-u", *extra)
            context = "round %d%s, seed %d, delay %.3f s: %s" % (
                round_no, " -m" if extra else "", self.seed, delay,
                (out[-300:] + err)[-600:])
            self.assertEqual(status, 1, context)
            self.assertNotIn("Summary statistics", out, context)
            # A failing close or unlink would mean the clean-up acted on a
            # descriptor or file twice; a read or checksum error, that a
            # worker cut off by the clean-up reported what it saw.
            failed = set(re.findall(r"ERR \[([a-z/]+)\]", err))
            self.assertEqual(failed, set(), context)
            self.assertEqual(harness.dummy_files(self.workdir), [], context)

    def test_orderly_break_at_random_moments(self):
        for round_no in range(max(1, ROUNDS * 2 // 5)):
            status, out, err, delay = self.broken_run()
            context = "round %d, seed %d, delay %.3f s: %s" % (
                round_no, self.seed, delay, (out[-300:] + err)[-600:])
            self.assertEqual(status, 0, context)
            self.assertEqual(err, "", context)
            totals = harness.parse_summary(out)
            self.assertIsNotNone(totals, context)
            read, write, compare, other = totals
            self.assertEqual((compare, other), (0, 0), context)
            self.assertEqual((write % (2 * MB), read % (2 * MB)), (0, 0),
                             context)
            self.assertLessEqual(read, write, context)
            self.assertEqual(harness.dummy_files(self.workdir), [], context)


class SoakTests(harness.IochurnCase, harness.WatchedRunMixin):

    def test_long_run_of_rerun_workers_ends_clean(self):
        proc = self.start_iochurn("-l", "-O", "-R", "-o", "0", "-j", "8",
                                  "-f", "1", "-s", "1")
        seen = self.read_until(proc, b"*")
        seen += self.drain(proc, SOAK_SECONDS)
        self.assertIsNone(proc.poll(), "the run ended on its own")
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=60)
        out = seen.decode(errors="replace") + rest
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "")
        read, write, compare, other = harness.parse_summary(out)
        self.assertEqual((compare, other), (0, 0))
        self.assertEqual(write % MB, 0)
        self.assertEqual(read % MB, 0)
        self.assertLessEqual(read, write)
        # One "w" per file written and one "r" per file read: the totals
        # agree with what the workers announced.
        symbols = harness.progress_symbols(out)
        self.assertEqual(write, symbols["w"] * MB)
        self.assertEqual(read, symbols["r"] * MB)
        self.assertGreater(symbols["w"], 8)
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
