"""Whole runs: what the options make the workers do, seen from outside."""
import glob
import os
import re
import signal
import stat
import time
import unittest

import harness
from harness import IochurnCase, summary

MB = 1 << 20


def progress(stdout):
    """The text before the summary block."""
    at = stdout.find("\nSummary statistics:\n")
    return stdout if at < 0 else stdout[:at]


class RunCase(IochurnCase):
    def assertInOrder(self, text, pieces):
        at = 0
        for piece in pieces:
            found = text.find(piece, at)
            self.assertGreaterEqual(found, 0, "%r missing after offset %d in:\n%s"
                                    % (piece, at, text))
            at = found + len(piece)

    def assertClean(self, result, total):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertTrue(result.stdout.endswith(summary(total, total)),
                        result.stdout[-300:])
        self.assertNoFilesLeft()


class DefaultRun(RunCase):
    def test_no_options_is_one_16mb_file_in_tmp(self):
        proc = self.start_iochurn(workdir=False)
        status, out, err = self.finish(proc)
        self.assertEqual(out, "w****r****" + summary(16777216, 16777216))
        self.assertEqual(err, "")
        self.assertEqual(status, 0)
        self.assertEqual(glob.glob("/tmp/%d_*.DUMMY" % proc.pid), [])

    def test_default_directory_and_file_name(self):
        # A run that goes on until interrupted, to catch its file while open.
        proc = self.start_iochurn("-l", "-f", "1", "-s", "1", workdir=False)
        expected = "/tmp/%d_0_0.DUMMY" % proc.pid
        seen = {}
        deadline = time.monotonic() + 30
        while not seen and time.monotonic() < deadline:
            seen = harness.open_dummy_files(proc.pid)
        proc.send_signal(signal.SIGINT)
        status, out, err = self.finish(proc)
        self.assertEqual(list(seen.values()), [expected])
        self.assertEqual(status, 0, err)
        self.assertEqual(harness.parse_summary(out)[2:], (0, 0))
        self.assertEqual(glob.glob("/tmp/%d_*.DUMMY" % proc.pid), [])


class Totals(RunCase):
    def test_workers_files_and_passes_add_up(self):
        workers, files, passes, size = 3, 2, 2, 2
        r = self.run_iochurn("-j", str(workers), "-n", str(files), "-p", str(passes),
                             "-f", str(size), "-s", "1")
        total = workers * files * passes * size * MB
        self.assertClean(r, total)
        symbols = progress(r.stdout)
        transfers = workers * files * passes
        self.assertEqual(symbols.count("w"), transfers)
        self.assertEqual(symbols.count("r"), transfers)
        self.assertEqual(symbols.count("*"), 2 * transfers * size)
        self.assertEqual(set(symbols), {"w", "r", "*"})

    def test_partial_last_chunk(self):
        r = self.run_iochurn("-s", "5", "-f", "16")
        self.assertClean(r, 16 * MB)
        self.assertEqual(r.stdout, "w***.r***." + summary(16 * MB, 16 * MB))

    def test_buffer_larger_than_file_is_one_partial_chunk(self):
        r = self.run_iochurn("-s", "3", "-f", "2", "-n", "2")
        self.assertClean(r, 4 * MB)
        self.assertEqual(r.stdout, "w.w.r.r." + summary(4 * MB, 4 * MB))

    def test_without_statistics_no_summary(self):
        r = self.run_iochurn("-M", "-f", "2", "-s", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "w**r**")
        self.assertEqual(r.stderr, "")
        self.assertNoFilesLeft()

    def test_negative_file_count_gives_no_files(self):
        r = self.run_iochurn("-n", "-2", "-p", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, summary(0, 0))
        self.assertEqual(r.stderr, "")

    def test_negative_thread_count_starts_nobody(self):
        r = self.run_iochurn("-j", "-3", "-v")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, summary(0, 0))
        self.assertEqual(r.stderr, "")


class Verbose(RunCase):
    workdir_parent = harness.fast_dir()

    def test_commentary_of_one_pass_over_three_slots(self):
        proc = self.start_iochurn("-v", "-n", "3")
        status, out, err = self.finish(proc)
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "")
        self.assertTrue(out.endswith(summary(48 * MB, 48 * MB)), out[-300:])
        pid = proc.pid
        sums = [0, 16777216, 33554432]
        self.assertInOrder(out, ["Try to run thread 0.\n"])
        self.assertInOrder(out, (
            ["Thread 0: (process %d) started.\n" % pid,
             "Thread 0: Init structures. 3 buffers, each size 4 MBytes\n",
             "Thread 0: Allocate memory buffers.\n"]
            + ["Thread 0: Init read_write_buffer %d\n" % j for j in range(3)]
            + ["Thread 0: Create files. 3 files, each size = 16 Mbytes\n",
               "Thread 0: Write files from memory buffers.\n"]
            + ["Thread 0: Write file %d: ****\nThread 0: Additive sum %d for file %d\n"
               % (j, sums[j], j) for j in range(3)]
            + ["Thread 0: Read files to memory buffers.\n"]
            + ["Thread 0: Read file %d: ****\nThread 0: Additive sum %d for file %d\n"
               % (j, sums[j], j) for j in range(3)]
            + ["Thread 0: Close and delete files.\n",
               "Thread 0: Free memory buffers.\n",
               "Thread 0: Pass 1 finished.\n",
               "Thread 0: (process %d) terminated.\n" % pid,
               "thread [0]: status done.\n",
               "\nSummary statistics:\n"]))
        self.assertRegex(out, r"thread 0: create_thread result code id = [1-9]\d*\n")
        for absent in ("ERROR on chksum", "Search for prime", "sleep for",
                       "Remain temporary", "user break"):
            self.assertNotIn(absent, out)
        self.assertNoFilesLeft()


class Buffers(RunCase):
    def init_lines(self, *args):
        r = self.run_iochurn("-v", "-n", "3", "-f", "1", "-s", "1", *args)
        self.assertClean(r, 3 * MB)
        return re.findall(r"Thread 0: Init (\w+) (\d+)\n", r.stdout)

    def test_separate_buffers_all_write_then_all_read(self):
        self.assertEqual(self.init_lines("-m"),
                         [("write_buffer", "0"), ("write_buffer", "1"),
                          ("write_buffer", "2"), ("read_buffer", "0"),
                          ("read_buffer", "1"), ("read_buffer", "2")])

    def test_shared_buffer_one_per_slot(self):
        self.assertEqual(self.init_lines(),
                         [("read_write_buffer", "0"), ("read_write_buffer", "1"),
                          ("read_write_buffer", "2")])

    def test_synchronous_writes_run_clean(self):
        r = self.run_iochurn("-y", "-n", "2", "-f", "2", "-s", "1")
        self.assertClean(r, 4 * MB)
        self.assertEqual(r.stdout, "w**w**r**r**" + summary(4 * MB, 4 * MB))


class KeptFiles(RunCase):
    """-z leaves the files: their names, modes and contents can be looked at."""

    def keep(self, *args):
        proc = self.start_iochurn("-z", *args)
        status, out, err = self.finish(proc)
        names = harness.dummy_files(self.workdir)
        for name in names:
            self.addCleanup(os.remove, os.path.join(self.workdir, name))
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "")
        return proc.pid, out, names

    def read_file(self, name):
        with open(os.path.join(self.workdir, name), "rb") as f:
            return f.read()

    def test_files_stay_with_fill_of_their_slot(self):
        pid, out, names = self.keep("-v", "-j", "2", "-n", "2", "-p", "2",
                                    "-f", "1", "-s", "1")
        self.assertTrue(out.endswith(summary(8 * MB, 8 * MB)), out[-300:])
        # Once per kept file and pass: 2 workers x 2 files x 2 passes.
        self.assertEqual(out.count("Remain temporary files. Remove them manually.\n"), 8)
        self.assertEqual(names, sorted("%d_%d_%d.DUMMY" % (pid, t, j)
                                       for t in range(2) for j in range(2)))
        for name in names:
            slot = int(name.split("_")[2].split(".")[0])
            st = os.stat(os.path.join(self.workdir, name))
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o600, name)
            self.assertEqual(self.read_file(name), bytes([slot]) * MB, name)

    def test_random_fill_repeats_its_buffer(self):
        pid, out, names = self.keep("-r", "-n", "2", "-f", "3", "-s", "1")
        self.assertTrue(out.endswith(summary(6 * MB, 6 * MB)), out[-300:])
        self.assertEqual(names, ["%d_0_0.DUMMY" % pid, "%d_0_1.DUMMY" % pid])
        first, second = (self.read_file(n) for n in names)
        for data in (first, second):
            self.assertEqual(len(data), 3 * MB)
            self.assertGreater(len(set(data)), 200)  # not a constant fill
            self.assertEqual(data[:MB], data[MB:2 * MB])
            self.assertEqual(data[:MB], data[2 * MB:])
        # Each slot is seeded on its own.
        self.assertNotEqual(first[:MB], second[:MB])

    def test_random_fill_with_separate_buffers_verifies(self):
        r = self.run_iochurn("-r", "-m", "-n", "3", "-p", "2", "-f", "2", "-s", "1")
        self.assertClean(r, 12 * MB)


class StartupLoad(RunCase):
    def test_prime_search_and_delay_before_each_worker(self):
        started = time.monotonic()
        r = self.run_iochurn("-v", "-j", "2", "-w", "300000", "-P", "1000",
                             "-f", "1", "-s", "1")
        elapsed = time.monotonic() - started
        self.assertClean(r, 2 * MB)
        search = "Search for prime numbers upto 1000.\n"
        self.assertEqual(r.stdout.count(search), 2)
        for i in range(2):
            self.assertInOrder(r.stdout, ["Try to run thread %d.\n" % i, search,
                                          "thread %d: create_thread result code id" % i])
            # The search runs before the worker exists.
            at = r.stdout.find("Try to run thread %d.\n" % i)
            self.assertLess(r.stdout.find(search, at),
                            r.stdout.find("Thread %d: (process" % i))
        # Worker 1 starts only after two delays of 0.3 s.
        self.assertGreaterEqual(elapsed, 0.6)

    def test_random_sleep_early_in_the_pass(self):
        started = time.monotonic()
        r = self.run_iochurn("-S", "-v", "-f", "1", "-s", "1")
        elapsed = time.monotonic() - started
        self.assertClean(r, MB)
        found = re.findall(r"Thread 0: sleep for (\d+) seconds\.\n", r.stdout)
        self.assertEqual(len(found), 1, r.stdout)
        seconds = int(found[0])
        self.assertLessEqual(seconds, 15)
        self.assertGreaterEqual(elapsed, seconds - 0.1)
        self.assertInOrder(r.stdout, ["Thread 0: Init structures.",
                                      "Thread 0: sleep for",
                                      "Thread 0: Allocate memory buffers.\n"])


if __name__ == "__main__":
    unittest.main()
