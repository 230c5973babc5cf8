"""Runs at the scale of the machine: many workers, many files, exact totals,
and no thread or descriptor that outlives its worker."""
import os
import signal
import time
import unittest

import harness
from harness import IochurnCase, summary

MB = 1 << 20


def threads_of(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no thread count")


def descriptors_of(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def wait_until(predicate, timeout=60, interval=0.05):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


class Scale(IochurnCase):
    workdir_parent = harness.fast_dir()

    def test_five_hundred_workers_total_exactly(self):
        r = self.run_iochurn("-j", "600", "-n", "4", "-f", "1", "-s", "1", timeout=600)
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        self.assertEqual(r.stderr, "")
        total = 500 * 4 * MB  # -j is limited to 500
        self.assertTrue(r.stdout.endswith(summary(total, total)), r.stdout[-300:])
        self.assertEqual(r.stdout.count("w"), 2000)
        self.assertNoFilesLeft()

    def test_hundred_files_per_worker_total_exactly(self):
        # Four workers are enough to share the files' table; the scale here
        # is the files per worker, capped at 100.
        r = self.run_iochurn("-j", "4", "-n", "150", "-f", "1", "-s", "2", "-p", "2",
                             timeout=600)
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        total = 4 * 100 * MB * 2
        self.assertTrue(r.stdout.endswith(summary(total, total)), r.stdout[-300:])
        self.assertEqual(r.stdout.count("."), 2 * 4 * 100 * 2)
        self.assertNoFilesLeft()

    def test_threads_and_descriptors_return_to_start_values(self):
        # The start delay holds worker 0 back long enough to take the start
        # values; the monitor's first look comes long after every worker
        # has ended, so the process is still there to be measured. Each
        # worker's start waits half a second: six of them, each with twenty
        # files, are many enough.
        workers = 6
        p = self.start_iochurn("-v", "-w", "500000", "-O", "-o", "4", "-j", str(workers),
                               "-n", "20", "-f", "1", "-s", "1", "-A")
        self.read_until(p, b"Try to run thread 0.")
        start_threads, start_fds = threads_of(p.pid), descriptors_of(p.pid)
        seen = self.read_until(p, b"thread %d: create_thread result code id" % (workers - 1))
        while seen.count(b"terminated.\n") < workers:
            seen += os.read(p.stdout.fileno(), 65536)
        settled = wait_until(lambda: threads_of(p.pid) == start_threads
                             and descriptors_of(p.pid) == start_fds, timeout=3)
        counts = (threads_of(p.pid), descriptors_of(p.pid))
        status, out, err = self.finish(p)
        self.assertTrue(settled, "threads/descriptors %s, at start %s"
                        % (counts, (start_threads, start_fds)))
        self.assertEqual(status, 0, err)
        self.assertNoFilesLeft()

    def test_reruns_never_grow_threads_or_descriptors(self):
        p = self.start_iochurn("-v", "-O", "-R", "-o", "0", "-j", "4", "-n", "3",
                               "-f", "1", "-s", "1", "-A")
        self.read_until(p, b"create_thread result code = 0")
        peak_threads = peak_fds = 0
        seen = b""
        while seen.count(b"create_thread result code = 0") < 200:
            seen += os.read(p.stdout.fileno(), 65536)
            peak_threads = max(peak_threads, threads_of(p.pid))
            peak_fds = max(peak_fds, descriptors_of(p.pid))
        p.send_signal(signal.SIGINT)
        status, _, err = self.finish(p)
        self.assertEqual(status, 0, err)
        # main + signal thread + pause clock + 4 workers with a watchdog each
        self.assertLessEqual(peak_threads, 3 + 4 * 2)
        # standard three + /dev/null + 4 workers x 3 files
        self.assertLessEqual(peak_fds, 4 + 4 * 3)
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
