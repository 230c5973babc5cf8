"""The JSON report (--report), the telling exit status (--strict) and the
live status line (--status-interval).

Every report is read back by two real consumers, Python's json and jq, and
validated against docs/report.schema.json, after each way a run can end.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

import harness
from harness import MB

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import fusefault  # noqa: E402

SCHEMA_PATH = os.path.join(harness.ROOT, "docs", "report.schema.json")
# The one format of a status line, every field in its place.
STATUS_RE = re.compile(
    r"^status: time=(?P<time>\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d) "
    r"elapsed_s=(?P<elapsed>\d+\.\d) passes=(?P<passes>\d+) "
    r"written=(?P<written>\d+) read=(?P<read>\d+) "
    r"write_MiBps=(?P<write_rate>\d+\.\d) read_MiBps=(?P<read_rate>\d+\.\d) "
    r"compare_errors=(?P<compare>\d+) other_errors=(?P<other>\d+) "
    r"bad_blocks=(?P<bad>\d+) stalled=(?P<stalled>\d+)$")

try:
    import jsonschema
except ImportError:  # reported by Environment.test_tools_are_there
    jsonschema = None


def status_lines(stderr):
    return [m for m in map(STATUS_RE.match, stderr.splitlines()) if m]


def slow_writes(delay_ms, **faults):
    """Every write (or the ones `faults` pick) held back `delay_ms`."""
    return harness.fault_env(op="write", count=faults.pop("count", 0),
                             delay_ms=delay_ms, **faults)


class ReportCase(harness.IochurnCase, harness.WatchedRunMixin):

    def setUp(self):
        super().setUp()
        # Beside the working directory: that one must end up empty.
        self.report_dir = self.workdir + ".reports"
        os.mkdir(self.report_dir)
        self.addCleanup(shutil.rmtree, self.report_dir, True)
        self.report = os.path.join(self.report_dir, "run.json")

    def load(self):
        """The report as json and jq read it (they must agree), validated."""
        with open(self.report, "rb") as f:
            raw = f.read()
        doc = json.loads(raw)
        jq = subprocess.run(["jq", "-c", "."], input=raw, capture_output=True,
                            timeout=30)
        self.assertEqual(jq.returncode, 0, jq.stderr)
        self.assertEqual(json.loads(jq.stdout), doc)
        if jsonschema is not None:
            with open(SCHEMA_PATH) as f:
                jsonschema.validate(doc, json.load(f))
        return doc

    def run_reported(self, *args, env=None):
        return self.run_iochurn(*args, "--report=" + self.report, env=env)

    def start_reported(self, *args, env=None, symbols=1):
        """Starts a run and returns once `symbols` chunk symbols showed (a
        symbol comes just before its transfer)."""
        proc = self.start_iochurn(*args, "--report=" + self.report, env=env)
        return proc, self.read_until_count(proc, b"*", symbols)

    def assertEnded(self, doc, ended, cleanup, status, signal_name=None):
        self.assertEqual((doc["ended"], doc["cleanup"], doc["exit_status"],
                          doc["signal"]), (ended, cleanup, status, signal_name))
        self.assertIsNotNone(doc["end_time"])
        self.assertEqual(doc["files_present"], [])
        self.assertNoFilesLeft()

    def assertAgreesWithSummary(self, doc, stdout):
        totals = harness.parse_summary(stdout)
        self.assertIsNotNone(totals, stdout[-300:])
        t = doc["totals"]
        keys = ("bytes_read", "bytes_written", "compare_errors", "other_errors")
        self.assertEqual(tuple(t[k] for k in keys), totals)
        self.assertEqual(t["source"], "summary")
        # The workers' own records add up to the same.
        self.assertEqual(tuple(sum(w[k] for w in doc["workers"]) for k in keys),
                         totals)


class NormalEnd(ReportCase):

    def test_completed_run(self):
        r = self.run_reported("-j", "2", "-n", "2", "-f", "2", "-s", "1",
                              "-p", "3", "-y", "--strict")
        self.assertEqual((r.returncode, r.stderr), (0, ""))  # clean, so 0
        doc = self.load()
        self.assertEnded(doc, "completed", "orderly", 0)
        self.assertAgreesWithSummary(doc, r.stdout)
        self.assertEqual(doc["totals"]["bytes_written"], 2 * 2 * 2 * MB * 3)
        self.assertEqual([w["passes_completed"] for w in doc["workers"]], [3, 3])
        self.assertEqual(doc["errors"], [])
        self.assertEqual(doc["settings"]["workdir"], self.workdir)
        # Two chunks per file, two files, two workers, three passes.
        for kind in ("write", "read", "sync"):
            lat = doc["latency"][kind]
            self.assertEqual(lat["count"], 24, kind)
            order = [lat[k] for k in ("min_us", "median_us", "p99_us", "p99_9_us", "max_us")]
            self.assertEqual(order, sorted(order), kind)
        slow = doc["latency"]["write"]["slowest"]
        self.assertEqual(slow["duration_us"], doc["latency"]["write"]["max_us"])
        self.assertRegex(slow["path"], r"^%s/%d_[01]_[01]\.DUMMY$"
                         % (re.escape(self.workdir), doc["pid"]))
        self.assertIn(slow["offset_bytes"], (0, MB))
        # The README's one-liner.
        line = subprocess.run(
            ["jq", "-r", '.latency.write.slowest | "\\(.duration_us) us: \\(.bytes) '
             'bytes at offset \\(.offset_bytes) of \\(.path)"', self.report],
            capture_output=True, text=True, timeout=30).stdout
        self.assertEqual(line, "%s us: %d bytes at offset %d of %s\n" % (
            json.dumps(slow["duration_us"]), MB, slow["offset_bytes"], slow["path"]))

    def test_totals_kept_under_no_summary(self):
        r = self.run_reported("-M", "-n", "2", "-f", "1", "-s", "1", "-p", "2")
        self.assertEqual((r.returncode, r.stdout), (0, "w*w*r*r*w*w*r*r*"))
        t = self.load()["totals"]
        self.assertEqual((t["bytes_written"], t["bytes_read"], t["source"]),
                         (4 * MB, 4 * MB, "summary"))

    def test_unwritable_report_is_said_once(self):
        self.report = os.path.join(self.report_dir, "no", "run.json")
        r = self.run_reported("-f", "1", "-s", "1", "--status-interval=1")
        self.assertEqual((r.returncode, r.stdout), (0, "w*r*" + harness.summary(MB, MB)))
        lines = [l for l in r.stderr.splitlines() if "report" in l]
        self.assertEqual(len(lines), 1, r.stderr)
        self.assertIn(self.report + ": No such file or directory", lines[0])

    def test_unwritable_report_fails_a_strict_run_at_the_end(self):
        # A missing directory, and a directory where the file should be.
        for where in (os.path.join(self.report_dir, "no", "run.json"), self.report_dir):
            with self.subTest(report=where):
                self.report = where
                r = self.run_reported("-f", "1", "-s", "1", "--strict")
                self.assertEqual(r.returncode, 16 + 2, r.stderr)
                lines = r.stderr.splitlines()
                self.assertEqual(len(lines), 2, r.stderr)
                self.assertTrue(lines[0].startswith("iochurn: cannot write the report "))
                self.assertRegex(lines[-1], r"^iochurn: cannot write the final report %s: \w"
                                 % re.escape(where))
                self.assertTrue(r.stdout.endswith(harness.summary(MB, MB)))
                self.assertNoFilesLeft()
        # A clean run whose report is written keeps 0.
        self.report = os.path.join(self.report_dir, "run.json")
        self.assertEqual(self.run_reported("-f", "1", "-s", "1", "--strict").returncode, 0)

    def test_directory_name_not_utf8(self):
        raw = os.fsencode(self.workdir) + b"/d\xff\xfe"
        os.mkdir(raw)
        self.addCleanup(os.rmdir, raw)
        r = self.run_reported("-t", os.fsdecode(raw), "-f", "1", "-s", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = self.load()
        self.assertIn("\ufffd", doc["settings"]["workdir"])
        self.assertEqual(doc["settings"]["workdir_hex"], raw.hex())
        self.assertEqual(doc["command_line_hex"][4], raw.hex())
        self.assertEqual(bytes.fromhex(doc["latency"]["write"]["slowest"]["path_hex"]),
                         raw + b"/%d_0_0.DUMMY" % doc["pid"])
        self.assertEqual(os.listdir(raw), [])


@harness.needs_fault_lib
class EndingEarly(ReportCase):

    def test_running_then_sigint_mid_write(self):
        proc, seen = self.start_reported("-l", "-j", "2", "-f", "2", "-s", "1",
                                         env=slow_writes(100))
        doc = self.load()
        self.assertEqual((doc["ended"], doc["exit_status"], doc["end_time"]),
                         ("running", None, None))
        proc.send_signal(signal.SIGINT)
        status, rest, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 0, err)
        doc = self.load()
        self.assertEnded(doc, "signal", "orderly", 0, "SIGINT")
        self.assertAgreesWithSummary(doc, seen.decode() + rest)

    def test_emergency_cleanup(self):
        proc, _ = self.start_reported("-l", "-u", "-j", "2", "-n", "2", "-f", "2",
                                      "-s", "1", "--strict", env=slow_writes(200),
                                      symbols=3)
        proc.send_signal(signal.SIGTERM)
        status, _, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 1, err)  # -u's status keeps precedence
        doc = self.load()
        self.assertEnded(doc, "signal", "emergency", 1, "SIGTERM")
        # No summary after -u: the workers' own counts.
        self.assertEqual(doc["totals"]["source"], "workers")
        self.assertGreater(doc["totals"]["bytes_written"], 0)

    def test_watchdog_expiry(self):
        # Watchdog at 1 s, the first write back at 1.8 s, passive wait at 2 s.
        r = self.run_reported("-A", "-a", "1", "-f", "1", "-s", "1", "--strict",
                              env=slow_writes(1800, count=1))
        self.assertEqual(r.returncode, 16 + 4, r.stderr)
        doc = self.load()
        self.assertEnded(doc, "watchdog", "orderly", 20)
        self.assertTrue(doc["watchdog_expired"])
        self.assertAgreesWithSummary(doc, r.stdout)
        self.assertGreaterEqual(doc["latency"]["write"]["max_us"], 1.8e6)
        # With -u: at once, and the report still comes.
        started = time.monotonic()
        r = self.run_reported("-A", "-a", "1", "-u", "-f", "1", "-s", "1",
                              env=slow_writes(6000, count=1))
        self.assertLess(time.monotonic() - started, 5.5)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertEnded(self.load(), "watchdog", "emergency", 1)

    def test_passive_wait_time_out(self):
        # The wait gives up after 2 s; the write is back at 3 s; no -A.
        r = self.run_reported("-a", "1", "-f", "1", "-s", "1", "--strict",
                              env=slow_writes(3000, count=1))
        self.assertEqual(r.returncode, 16 + 4, r.stderr)
        doc = self.load()
        self.assertEnded(doc, "wait-timeout", "orderly", 20)
        self.assertEqual((doc["wait_timed_out"], doc["watchdog_expired"]), (True, False))
        # The worker had not ended: the summary leaves it out, the totals are
        # the workers' own (here both still nothing, its write not back).
        self.assertEqual(harness.parse_summary(r.stdout), (0, 0, 0, 0))
        keys = ("bytes_read", "bytes_written", "compare_errors", "other_errors")
        self.assertEqual(tuple(doc["totals"][k] for k in keys), (0, 0, 0, 0))
        self.assertEqual(doc["totals"]["source"], "workers")

    def test_failed_start_and_rerun(self):
        # pthread_create calls: the pause clock, the signal thread, the
        # file-system type check, worker 0,
        # worker 1 (or worker 0's re-run).
        env = harness.fault_env(op="pthread_create", nth=5)
        r = self.run_reported("-j", "3", "-f", "4", "-s", "1", "--strict", env=env)
        self.assertEqual(r.returncode, 10)
        self.assertEnded(self.load(), "start-failed", "orderly", 10)
        # With the workers running, the report's sampling thread is the
        # fifth: worker 0's re-run is the sixth.
        env = harness.fault_env(op="pthread_create", nth=6)
        r = self.run_reported("-O", "-R", "-o", "0", "-f", "1", "-s", "1", env=env)
        self.assertEqual(r.returncode, 6)
        doc = self.load()
        self.assertEnded(doc, "rerun-failed", "orderly", 6)
        self.assertEqual(doc["workers"][0]["passes_completed"], 1)


@harness.needs_fault_lib
class StrictStatus(ReportCase):

    def test_write_errors(self):
        env = harness.fault_env(op="write", nth=1, count=1, errno="EIO")
        r = self.run_reported("-n", "2", "-f", "1", "-s", "1", "--strict", env=env)
        self.assertEqual(r.returncode, 16 + 2, r.stdout + r.stderr)
        doc = self.load()
        self.assertAgreesWithSummary(doc, r.stdout)
        self.assertEqual(doc["totals"]["files_different"], 0)
        # The file left empty also reads back short.
        self.assertEqual([e["operation"] for e in doc["errors"]], ["write", "read"])
        self.assertEqual((doc["errors_by_operation"]["write"],
                          doc["errors_by_operation"]["read"]), (1, 1))
        e = doc["errors"][0]
        self.assertEqual((e["worker"], e["offset_bytes"], e["bytes_asked"],
                          e["bytes_moved"], e["error_text"]),
                         (0, 0, MB, None, "Input/output error"))
        self.assertRegex(e["path"], r"/%d_0_0\.DUMMY$" % doc["pid"])

    def test_data_that_came_back_different(self):
        # One bit of the one file flipped on its way back, by the FUSE file
        # system the run works in.
        fusefault.require_fuse()
        m = fusefault.FuseFault("flip", parent=harness.fast_dir())
        m.mount()
        self.addCleanup(m.unmount)
        self.workdir = m.mountpoint
        r = self.run_reported("-f", "2", "-s", "2", "--strict")
        self.assertEqual(len(m.log_lines()), 1)
        self.assertEqual(r.returncode, 16 + 1, r.stdout + r.stderr)
        t = self.load()["totals"]
        self.assertEqual((t["files_different"], t["compare_errors"], t["other_errors"]),
                         (1, 1, 0))

    def test_a_file_cut_short_is_no_data_error(self):
        # Seeks: two before the writes, then slot 0's and slot 1's before
        # their reads. Slot 1 holds ones: a short read and a sum that differs,
        # but not a file that came back different.
        env = harness.fault_env(op="shrink", nth=4, count=1)
        r = self.run_reported("-n", "2", "-f", "2", "-s", "1", "--strict", env=env)
        self.assertEqual(r.returncode, 16 + 2, r.stdout + r.stderr)
        t = self.load()["totals"]
        self.assertEqual((t["files_different"], t["compare_errors"], t["other_errors"]),
                         (0, 1, 1))

    def test_signal_ends_the_run_early(self):
        proc, _ = self.start_reported("-l", "-f", "2", "-s", "1", "--strict",
                                      env=slow_writes(50))
        proc.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(proc, timeout=30)[0], 16 + 8)


@harness.needs_fault_lib
class WallRates(ReportCase):

    def test_each_phase_over_its_own_wall_time(self):
        # Writes of 1 MB held back 200 ms each, reads at memory speed.
        r = self.run_reported("-n", "2", "-f", "2", "-s", "1", "-p", "2",
                              env=slow_writes(200))
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = self.load()
        rates = doc["throughput"]
        # 8 MB written in at least 1.6 s of write phases.
        self.assertLess(rates["write_MiBps_wall"], 5.1)
        self.assertGreater(rates["write_MiBps_wall"], 1.0)
        # The read phases took a small part of the run.
        self.assertGreater(rates["read_MiBps_wall"], 10 * rates["write_MiBps_wall"])
        self.assertLessEqual(rates["write_MiBps_wall"], rates["write_MiBps_in_calls"] * 1.01)


@harness.needs_fault_lib
class StatusLine(ReportCase):

    def test_lines_at_the_interval_and_the_totals_at_the_end(self):
        # About 3 s of writes of 100 ms each.
        r = self.run_reported("-j", "2", "-f", "2", "-s", "1", "-p", "15",
                              "--status-interval=1", env=slow_writes(100))
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = status_lines(r.stderr)
        self.assertGreaterEqual(len(lines), 3, r.stderr)
        self.assertEqual(len(lines), len(r.stderr.splitlines()), r.stderr)
        elapsed = [float(m["elapsed"]) for m in lines]
        # Strictly later every time, the last line too.
        self.assertEqual(elapsed, sorted(set(elapsed)), r.stderr)
        self.assertTrue(any(float(m["write_rate"]) > 0 for m in lines))
        # The last line came at the end of a read, not in the same instant as
        # the one before: its rates show what moved.
        self.assertGreater(float(lines[-1]["read_rate"]), 0, r.stderr)
        stamps = [time.mktime(time.strptime(m["time"][:19], "%Y-%m-%dT%H:%M:%S"))
                  for m in lines]
        self.assertEqual(stamps, sorted(stamps))
        self.assertLess(abs(stamps[-1] - time.time()), 60)
        totals = harness.parse_summary(r.stdout)
        last = lines[-1]
        self.assertEqual([int(last[k]) for k in ("passes", "read", "written", "compare",
                                                  "other", "bad")],
                         [30, totals[0], totals[1], totals[2], totals[3], 0])
        self.assertEqual(self.load()["ended"], "completed")

    def test_a_long_transfer_shows_as_stalled(self):
        r = self.run_reported("-f", "1", "-s", "1", "--status-interval=1",
                              env=slow_writes(3500, count=1))
        self.assertEqual(r.returncode, 0, r.stderr)
        stalled = [int(m["stalled"]) for m in status_lines(r.stderr)]
        self.assertIn(1, stalled, r.stderr)
        self.assertEqual(stalled[-1], 0, r.stderr)

    def test_report_rewritten_at_the_interval(self):
        proc, _ = self.start_reported("-l", "-f", "2", "-s", "1",
                                      "--status-interval=1", env=slow_writes(150))
        first = self.load()["written_time"]
        deadline = time.monotonic() + 10
        while self.load()["written_time"] == first:
            self.assertLess(time.monotonic(), deadline, "report not rewritten")
            self.drain(proc, 0.2)
        self.assertEqual(self.load()["ended"], "running")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(proc, timeout=30)[0], 0)
        self.assertEqual(self.load()["ended"], "signal")


class Environment(unittest.TestCase):

    def test_tools_are_there(self):
        self.assertIsNotNone(jsonschema, "python3-jsonschema is not installed")
        self.assertIsNotNone(shutil.which("jq"), "jq is not installed")
        with open(SCHEMA_PATH) as f:
            jsonschema.Draft7Validator.check_schema(json.load(f))


if __name__ == "__main__":
    unittest.main()
