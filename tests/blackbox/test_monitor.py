"""Active monitoring and re-runs (-O, -o, -R), the pass log (-L) and the
prime-search load (-P)."""
import calendar
import os
import re
import signal
import time
import unittest

import harness
from harness import MB, notice

STAMP = r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun) " \
        r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) " \
        r"(0[1-9]|[12][0-9]|3[01]) ([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] " \
        r"[0-9]{4}"
LOG_LINE = re.compile(r"^(?P<stamp>%s): Thread (?P<thread>\d+): "
                      r"(?P<what>Started|Finished) pass (?P<pass>\d+)\.$"
                      % STAMP)
SMALL = ("-f", "1", "-s", "1")


def status_field(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError("no %s in /proc/%d/status" % (field, pid))


class MonitorTests(harness.IochurnCase, harness.WatchedRunMixin):

    def test_each_worker_reported_once_then_terminate_and_summary(self):
        for interval in ("1", "0"):
            with self.subTest(interval=interval):
                result = self.run_iochurn("-O", "-o", interval, "-v",
                                          "-j", "3", *SMALL, timeout=60)
                out = result.stdout
                self.assertEqual(result.returncode, 0, result.stderr)
                # Not anchored at the line start: another worker's progress
                # symbols may stand before it on the same line.
                done = re.findall(r"thread \[(\d+)\]: status done\.$", out,
                                  re.M)
                if interval == "1":
                    # The workers end well inside the first interval, so one
                    # sweep sees all three, in index order.
                    self.assertEqual(done, ["0", "1", "2"])
                else:
                    # Sweeps without pause may see them end in any order.
                    self.assertEqual(sorted(done), ["0", "1", "2"])
                for i in range(3):
                    # Seen ended only once it has ended.
                    self.assertLess(
                        out.find("Thread %d: Pass 1 finished.\n" % i),
                        out.find("thread [%d]: status done.\n" % i))
                terminate = out.find("Terminate. No more active threads.\n")
                self.assertGreater(terminate, max(
                    out.find("thread [%d]: status done.\n" % i)
                    for i in range(3)))
                self.assertEqual(out.count("Terminate. No more"), 1)
                self.assertGreater(out.find("\nSummary statistics:\n"),
                                   terminate)
                self.assertTrue(out.endswith(harness.summary(3 * MB, 3 * MB)))
                self.assertNoFilesLeft()

    def test_interval_and_rerun_need_active_monitoring(self):
        for extra in (("-o", "5"), ("-R",), ("-R", "-o", "0")):
            with self.subTest(options=extra):
                result = self.run_iochurn(*extra, "-v", "-j", "3", *SMALL,
                                          timeout=60)
                out = result.stdout
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertNotIn("Terminate. No more active threads.", out)
                self.assertNotIn("create_thread result code =", out)
                self.assertEqual(out.count("Thread 0: (process"), 2,
                                 "worker 0 ran more than once")
                self.assertTrue(out.endswith(harness.summary(3 * MB, 3 * MB)))
                self.assertNoFilesLeft()

    def test_negative_thread_count_ends_with_zero_summary(self):
        result = self.run_iochurn("-O", "-o", "1", "-v", "-j", "-3", *SMALL,
                                  timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Terminate. No more active threads.\n", result.stdout)
        self.assertNotIn("Try to run thread", result.stdout)
        self.assertTrue(result.stdout.endswith(harness.summary(0, 0)))
        self.assertNoFilesLeft()


class RerunTests(harness.IochurnCase, harness.WatchedRunMixin):

    def test_reruns_start_afresh_and_stop_after_break(self):
        log = os.path.join(self.workdir, "passes.log")
        sink = self.notice_sink()
        proc = self.start_iochurn("-O", "-R", "-o", "1", "-v", "-P", "1000",
                                  "-L", log, *SMALL, stdin=sink.file)
        seen = self.read_until(proc, b"*")
        seen += self.read_until_count(proc, b"thread 0: create_thread result "
                                      b"code = 0\n", 2, timeout=60)
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=30)
        out = seen.decode() + rest
        self.assertEqual(status, 0, err)
        self.assertEqual(sink.text(), notice(2) + "User want to break!\n")

        runs = out.count("Thread 0: (process %d) started.\n" % proc.pid)
        reruns = out.count("thread 0: create_thread result code = 0\n")
        self.assertGreaterEqual(runs, 3)
        self.assertEqual(runs, reruns + 1)
        # A re-run is a fresh worker: one pass, numbered 1, each time.
        self.assertEqual(out.count("Thread 0: Pass 1 finished.\n"), runs)
        self.assertNotIn("Pass 2 finished", out)
        # Only the first start is announced; every start searches primes.
        self.assertEqual(out.count("Try to run thread 0.\n"), 1)
        self.assertEqual(out.count("Search for prime numbers upto 1000.\n"),
                         runs)
        # After the break nobody is re-run: the last run ends the monitor.
        tail = out[out.rfind("thread [0]: status done.\n"):]
        self.assertNotIn("create_thread", tail)
        self.assertIn("Terminate. No more active threads.\n", tail)
        # The summary adds up every run.
        writes = out.count("Thread 0: Write file 0: ")
        reads = out.count("Thread 0: Read file 0: ")
        self.assertGreaterEqual(writes, 2)
        self.assertTrue(out.endswith(harness.summary(reads * MB, writes * MB)),
                        out[-300:])
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertTrue(all(LOG_LINE.match(line) for line in lines), lines)
        started = [l for l in lines if "Started pass" in l]
        self.assertTrue(all(l.endswith("Thread 0: Started pass 1.")
                            for l in started), lines)
        self.assertEqual(
            sum(l.endswith("Thread 0: Finished pass 1.") for l in lines), runs)
        self.assertNoFilesLeft()

    def test_endless_reruns_keep_threads_and_memory_bounded(self):
        proc = self.start_iochurn("-O", "-R", "-o", "0", "-j", "2", *SMALL)
        seen = self.read_until(proc, b"*")
        samples = []

        def sample():
            samples.append((status_field(proc.pid, "Threads"),
                            status_field(proc.pid, "VmSize"),
                            len(os.listdir("/proc/%d/fd" % proc.pid))))

        seen += self.drain(proc, 3, tick=sample, interval=0.3)
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 0, err)
        self.assertGreaterEqual(len(samples), 5)
        # Main, signal thread, two workers, and some slack.
        self.assertLessEqual(max(s[0] for s in samples), 8, samples)
        # An ended thread that is never joined keeps its stack mapped.
        vm = [s[1] for s in samples]
        self.assertLess(max(vm) - min(vm), 256 * 1024, samples)
        self.assertLessEqual(max(s[2] for s in samples), 12, samples)
        read, write, compare, other = harness.parse_summary(seen.decode() + rest)
        self.assertGreater(write, 20 * MB, "too few re-runs to tell")
        self.assertEqual((write % MB, read % MB, compare, other), (0, 0, 0, 0))
        self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_failed_rerun_ends_with_status_6(self):
        # pthread_create calls: the pause clock, the signal thread, the
        # file-system type check, worker 0,
        # its re-run.
        env = harness.fault_env(op="pthread_create", nth=5, count=1)
        result = self.run_iochurn("-O", "-R", "-o", "0", "-v", "-j", "1",
                                  *SMALL, env=env, timeout=30)
        out = result.stdout
        self.assertEqual(result.returncode, 6, out[-500:] + result.stderr)
        lines = ["thread [0]: status done.\n",
                 "thread 0: create_thread_error = 11!\n",
                 "thread 0: create_thread result code = 4\n",
                 "thread 0: create_thread_error = 4!\n"]
        at = [out.find(line) for line in lines]
        self.assertTrue(all(i >= 0 for i in at), out[-800:])
        self.assertEqual(at, sorted(at))
        self.assertTrue(out.endswith(lines[-1]), out[-300:])
        self.assertNoFilesLeft()


class PassLogTests(harness.IochurnCase):

    def log_path(self):
        return os.path.join(self.workdir, "passes.log")

    def test_three_passes_give_six_stamped_lines_in_local_time(self):
        log = self.log_path()
        # Five hours east of UTC, no daylight saving: the stamp must be
        # local time, not UTC.
        env = dict(os.environ, TZ="XST-5")
        before = time.time()
        result = self.run_iochurn("-p", "3", "-L", log, *SMALL, env=env,
                                  timeout=60)
        after = time.time()
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(log) as f:
            content = f.read()
        lines = content.splitlines()
        self.assertTrue(content.endswith("\n"))
        expected = ["Thread 0: %s pass %d." % (what, n)
                    for n in (1, 2, 3) for what in ("Started", "Finished")]
        self.assertEqual([l[26:] for l in lines], expected, content)
        for line in lines:
            match = LOG_LINE.match(line)
            self.assertIsNotNone(match, line)
            stamp = calendar.timegm(time.strptime(match.group("stamp"),
                                                  "%a %b %d %H:%M:%S %Y"))
            self.assertGreaterEqual(stamp - 5 * 3600, int(before) - 1, line)
            self.assertLessEqual(stamp - 5 * 3600, int(after) + 1, line)
        self.assertNoFilesLeft()

    def test_existing_log_is_appended_to(self):
        log = self.log_path()
        with open(log, "w") as f:
            f.write("an earlier line\n")
        for _ in range(2):
            result = self.run_iochurn("-L", log, *SMALL, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], "an earlier line")
        self.assertEqual([l[26:] for l in lines[1:]],
                         ["Thread 0: Started pass 1.",
                          "Thread 0: Finished pass 1."] * 2)
        self.assertNoFilesLeft()

    def test_log_in_missing_directory_changes_nothing_else(self):
        missing = os.path.join(self.workdir, "no-such-dir", "passes.log")
        args = ("-p", "2", "-n", "2", *SMALL)
        plain = self.run_iochurn(*args, timeout=60)
        logged = self.run_iochurn("-L", missing, *args, timeout=60)
        self.assertEqual(logged.returncode, 0)
        self.assertEqual((logged.stdout, logged.stderr),
                         (plain.stdout, plain.stderr))
        self.assertTrue(plain.stdout.endswith(harness.summary(4 * MB, 4 * MB)))
        self.assertFalse(os.path.exists(os.path.dirname(missing)))
        self.assertNoFilesLeft()

    def test_many_workers_never_split_a_line(self):
        log = self.log_path()
        result = self.run_iochurn("-j", "8", "-p", "5", "-L", log, *SMALL,
                                  timeout=90)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 80)
        per_thread = {}
        for line in lines:
            match = LOG_LINE.match(line)
            self.assertIsNotNone(match, "split or mixed line: %r" % line)
            per_thread.setdefault(int(match.group("thread")), []).append(
                (match.group("what"), int(match.group("pass"))))
        # Each worker's own lines keep their order.
        expected = [(what, n) for n in range(1, 6)
                    for what in ("Started", "Finished")]
        self.assertEqual(sorted(per_thread), list(range(8)))
        for t, seq in per_thread.items():
            self.assertEqual(seq, expected, "thread %d" % t)
        self.assertNoFilesLeft()


class PrimeSearchTests(harness.IochurnCase):

    def test_search_runs_before_each_worker_start(self):
        result = self.run_iochurn("-j", "3", "-P", "10000", "-v", *SMALL,
                                  timeout=90)
        out = result.stdout
        self.assertEqual(result.returncode, 0, result.stderr)
        search = "Search for prime numbers upto 10000.\n"
        self.assertEqual(out.count(search), 3)
        at = 0
        for i in range(3):
            tried = out.find("Try to run thread %d.\n" % i, at)
            searched = out.find(search, tried)
            created = out.find("thread %d: create_thread result code id = " % i,
                               searched)
            self.assertTrue(0 <= tried < searched < created, out[:1500])
            # The worker starts only after its search.
            self.assertGreater(out.find("Thread %d: (process" % i), searched)
            at = created
        self.assertTrue(out.endswith(harness.summary(3 * MB, 3 * MB)))
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
