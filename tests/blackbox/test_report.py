"""The JSON report (--report), the telling exit status (--strict) and the
live status line (--status-interval).

Every report is read back by two real consumers, Python's json and jq, and
validated against docs/report.schema.json, after each way a run can end.
Signals are sent only after the first progress symbol has been read.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import time
import unittest

import harness
from harness import MB

SCHEMA_PATH = os.path.join(harness.ROOT, "docs", "report.schema.json")
STATUS_RE = re.compile(
    r"^status: elapsed_s=(\d+) passes=(\d+) write_MiBps=(\d+\.\d) "
    r"read_MiBps=(\d+\.\d) compare_errors=(\d+) other_errors=(\d+) "
    r"stalled=(\d+)$")

try:
    import jsonschema
except ImportError:  # checked by test_schema_is_available
    jsonschema = None


def status_lines(stderr):
    return [m for m in (STATUS_RE.match(line) for line in stderr.splitlines()) if m]


class ReportCase(harness.IochurnCase, harness.WatchedRunMixin):

    def setUp(self):
        super().setUp()
        # Beside the working directory, never inside it: the directory must
        # hold nothing but what the run leaves.
        self.report_dir = self.workdir + ".reports"
        os.mkdir(self.report_dir)
        self.addCleanup(shutil.rmtree, self.report_dir, True)
        self.report = os.path.join(self.report_dir, "run.json")

    def load(self, path=None):
        """The report, parsed by json and by jq (they must agree) and
        validated against the schema."""
        path = path or self.report
        with open(path, "rb") as f:
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

    def jq(self, expression, path=None):
        r = subprocess.run(["jq", "-r", expression, path or self.report],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.strip()

    def assertAgreesWithSummary(self, doc, stdout):
        totals = harness.parse_summary(stdout)
        self.assertIsNotNone(totals, stdout[-300:])
        t = doc["totals"]
        self.assertEqual((t["bytes_read"], t["bytes_written"],
                          t["compare_errors"], t["other_errors"]), totals)
        self.assertEqual(t["source"], "summary")
        # The workers' own records add up to the same.
        workers = doc["workers"]
        self.assertEqual(sum(w["bytes_read"] for w in workers), totals[0])
        self.assertEqual(sum(w["bytes_written"] for w in workers), totals[1])
        self.assertEqual(sum(w["compare_errors"] for w in workers), totals[2])
        self.assertEqual(sum(w["other_errors"] for w in workers), totals[3])

    def start_broken(self, *args, env=None):
        proc = self.start_iochurn(*args, env=env)
        seen = self.read_until(proc, b"*")
        return proc, seen


class NormalEnd(ReportCase):

    def test_completed_run_reports_everything_it_did(self):
        r = self.run_iochurn("-j", "2", "-n", "2", "-f", "2", "-s", "1",
                             "-p", "3", "-y", "--report=" + self.report)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        doc = self.load()
        self.assertAgreesWithSummary(doc, r.stdout)
        self.assertEqual(doc["ended"], "completed")
        self.assertIsNone(doc["signal"])
        self.assertEqual(doc["cleanup"], "orderly")
        self.assertEqual(doc["exit_status"], 0)
        self.assertIsNotNone(doc["end_time"])
        self.assertEqual(doc["totals"]["bytes_written"], 2 * 2 * 2 * MB * 3)
        self.assertEqual(doc["totals"]["passes_completed"], 6)
        self.assertEqual([w["passes_completed"] for w in doc["workers"]], [3, 3])
        # Two chunks per file, two files, two workers, three passes.
        for kind in ("write", "read", "sync"):
            lat = doc["latency"][kind]
            self.assertEqual(lat["count"], 24, kind)
            self.assertLessEqual(lat["min_us"], lat["median_us"])
            self.assertLessEqual(lat["median_us"], lat["p99_us"])
            self.assertLessEqual(lat["p99_us"], lat["p99_9_us"])
            self.assertLessEqual(lat["p99_9_us"], lat["max_us"])
            self.assertEqual(lat["slowest"]["duration_us"], lat["max_us"])
        slow = doc["latency"]["write"]["slowest"]
        self.assertRegex(slow["path"], r"^%s/%d_[01]_[01]\.DUMMY$"
                         % (re.escape(self.workdir), doc["pid"]))
        self.assertIn(slow["offset_bytes"], (0, MB))
        self.assertEqual(slow["bytes"], MB)
        self.assertGreater(doc["throughput"]["write_MiBps_in_calls"], 0)
        self.assertEqual(doc["files_present"], [])
        self.assertEqual(doc["errors"], [])
        self.assertEqual(doc["settings"]["workers"], 2)
        self.assertEqual(doc["settings"]["file_size_bytes"], 2 * MB)
        self.assertTrue(doc["settings"]["sync_writes"])
        self.assertEqual(doc["settings"]["workdir"], self.workdir)
        self.assertIn("file_system", doc["system"])
        # The README's one-liner: the slowest write.
        self.assertEqual(self.jq(".latency.write.slowest | \"\\(.duration_us) us \\(.path) @ \\(.offset_bytes)\""),
                         "%s us %s @ %d" % (json.dumps(slow["duration_us"]), slow["path"],
                                            slow["offset_bytes"]))
        self.assertNoFilesLeft()

    def test_totals_are_kept_under_no_summary(self):
        r = self.run_iochurn("-M", "-n", "2", "-f", "1", "-s", "1", "-p", "2",
                             "--report=" + self.report)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn("Summary", r.stdout)
        doc = self.load()
        self.assertEqual(doc["totals"]["bytes_written"], 4 * MB)
        self.assertEqual(doc["totals"]["bytes_read"], 4 * MB)
        self.assertEqual(doc["totals"]["source"], "summary")
        self.assertFalse(doc["settings"]["summary"])

    def test_unwritable_report_is_said_once_and_the_run_goes_on(self):
        missing = os.path.join(self.report_dir, "no", "run.json")
        r = self.run_iochurn("-f", "1", "-s", "1", "--report=" + missing,
                             "--status-interval=1")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "w*r*" + harness.summary(MB, MB))
        lines = [l for l in r.stderr.splitlines() if "report" in l]
        self.assertEqual(len(lines), 1, r.stderr)
        self.assertIn(missing, lines[0])
        self.assertIn("No such file or directory", lines[0])

    def test_invalid_utf8_directory_gives_valid_json(self):
        raw = os.fsencode(self.workdir) + b"/d\xff\xfe"
        os.mkdir(raw)
        argv = [harness.BIN, "-t", os.fsdecode(raw), "-f", "1", "-s", "1",
                "--report=" + self.report]
        r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        doc = self.load()
        self.assertEqual(doc["settings"]["workdir_hex"], raw.hex())
        self.assertEqual(doc["system"]["workdir_hex"], raw.hex())
        self.assertEqual(doc["command_line_hex"][2], raw.hex())
        self.assertIn("\ufffd", doc["settings"]["workdir"])
        slow = doc["latency"]["write"]["slowest"]
        self.assertEqual(bytes.fromhex(slow["path_hex"]),
                         raw + b"/%d_0_0.DUMMY" % doc["pid"])
        self.assertEqual(os.listdir(raw), [])
        os.rmdir(raw)


class EndingEarly(ReportCase):

    @harness.needs_fault_lib
    def test_report_says_running_then_signal(self):
        env = harness.fault_env(op="write", delay_ms=100)
        proc, seen = self.start_broken("-l", "-j", "2", "-f", "2", "-s", "1",
                                       "--report=" + self.report, env=env)
        doc = self.load()
        self.assertEqual(doc["ended"], "running")
        self.assertIsNone(doc["exit_status"])
        self.assertIsNone(doc["end_time"])
        self.assertIsNone(doc["cleanup"])
        proc.send_signal(signal.SIGINT)  # mid-write: every write takes 100 ms
        status, rest, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 0, err)
        doc = self.load()
        self.assertEqual(doc["ended"], "signal")
        self.assertEqual(doc["signal"], "SIGINT")
        self.assertEqual(doc["cleanup"], "orderly")
        self.assertEqual(doc["exit_status"], 0)
        self.assertAgreesWithSummary(doc, seen.decode() + rest)
        self.assertEqual(doc["files_present"], [])
        self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_emergency_cleanup_writes_the_report_within_its_bound(self):
        env = harness.fault_env(op="write", delay_ms=200)
        proc, _ = self.start_broken("-l", "-u", "-j", "2", "-n", "2", "-f", "2",
                                    "-s", "1", "--report=" + self.report,
                                    "--strict", env=env)
        proc.send_signal(signal.SIGTERM)
        status, _, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 1, err)  # -u keeps precedence over --strict
        doc = self.load()
        self.assertEqual(doc["ended"], "signal")
        self.assertEqual(doc["signal"], "SIGTERM")
        self.assertEqual(doc["cleanup"], "emergency")
        self.assertEqual(doc["exit_status"], 1)
        self.assertEqual(doc["totals"]["source"], "workers")
        self.assertGreater(doc["totals"]["bytes_written"], 0)
        self.assertEqual(doc["files_present"], [])
        self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_watchdog_expiry(self):
        # Watchdog at 1 s, the first write back at 1.8 s, passive wait at 2 s.
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=1800)
        r = self.run_iochurn("-A", "-a", "1", "-f", "1", "-s", "1", "--strict",
                             "--report=" + self.report, env=env)
        self.assertEqual(r.returncode, 16 + 4, r.stderr)
        doc = self.load()
        self.assertEqual(doc["ended"], "watchdog")
        self.assertIsNone(doc["signal"])
        self.assertTrue(doc["watchdog_expired"])
        self.assertEqual(doc["cleanup"], "orderly")
        self.assertEqual(doc["exit_status"], 20)
        self.assertAgreesWithSummary(doc, r.stdout)
        self.assertGreaterEqual(doc["latency"]["write"]["max_us"], 1.8e6)

    @harness.needs_fault_lib
    def test_watchdog_expiry_with_emergency_cleanup(self):
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=6000)
        started = time.monotonic()
        r = self.run_iochurn("-A", "-a", "1", "-u", "-f", "1", "-s", "1",
                             "--report=" + self.report, env=env)
        self.assertLess(time.monotonic() - started, 5.5)
        self.assertEqual(r.returncode, 1, r.stderr)
        doc = self.load()
        self.assertEqual(doc["ended"], "watchdog")
        self.assertEqual(doc["cleanup"], "emergency")
        self.assertEqual(doc["exit_status"], 1)
        self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_failed_start(self):
        # pthread_create calls: the signal thread, worker 0, worker 1.
        env = harness.fault_env(op="pthread_create", nth=3)
        r = self.run_iochurn("-j", "3", "-f", "4", "-s", "1", "--strict",
                             "--report=" + self.report, env=env)
        self.assertEqual(r.returncode, 10)
        doc = self.load()
        self.assertEqual(doc["ended"], "start-failed")
        self.assertEqual(doc["exit_status"], 10)
        self.assertEqual(doc["cleanup"], "orderly")
        self.assertEqual(doc["files_present"], [])
        self.assertNoFilesLeft()

    @harness.needs_fault_lib
    def test_failed_rerun(self):
        # pthread_create calls: the signal thread, worker 0, its re-run.
        env = harness.fault_env(op="pthread_create", nth=3)
        r = self.run_iochurn("-O", "-R", "-o", "0", "-f", "1", "-s", "1",
                             "--report=" + self.report, env=env)
        self.assertEqual(r.returncode, 6)
        doc = self.load()
        self.assertEqual(doc["ended"], "rerun-failed")
        self.assertEqual(doc["exit_status"], 6)
        self.assertEqual(doc["workers"][0]["passes_completed"], 1)

    @harness.needs_fault_lib
    def test_passive_wait_time_out(self):
        # -a 1: the wait on the worker gives up after 2 s; the write is back
        # at 3 s; no watchdog without -A.
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=3000)
        r = self.run_iochurn("-a", "1", "-f", "1", "-s", "1", "--strict",
                             "--report=" + self.report, env=env)
        self.assertEqual(r.returncode, 16 + 4, r.stderr)
        doc = self.load()
        self.assertEqual(doc["ended"], "wait-timeout")
        self.assertTrue(doc["wait_timed_out"])
        self.assertFalse(doc["watchdog_expired"])
        self.assertEqual(doc["exit_status"], 20)
        self.assertAgreesWithSummary(doc, r.stdout)


class StrictStatus(ReportCase):

    def test_clean_run_and_default_statuses(self):
        r = self.run_iochurn("-n", "2", "-f", "1", "-s", "1", "--strict")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        # Without --strict the errors below leave the status at 0.
        env = harness.fault_env(op="write", nth=1, count=1, errno="EIO")
        r = self.run_iochurn("-f", "1", "-s", "1", env=env)
        self.assertEqual(r.returncode, 0)

    @harness.needs_fault_lib
    def test_write_errors_are_other_errors(self):
        env = harness.fault_env(op="write", nth=1, count=1, errno="EIO")
        r = self.run_iochurn("-n", "2", "-f", "1", "-s", "1", "--strict",
                             "--report=" + self.report, env=env)
        self.assertEqual(r.returncode, 16 + 2, r.stdout + r.stderr)
        doc = self.load()
        self.assertEqual(doc["totals"]["files_different"], 0)
        self.assertEqual(doc["errors_by_operation"]["write"], 1)
        self.assertEqual(len(doc["errors"]), 1)
        e = doc["errors"][0]
        self.assertEqual(e["operation"], "write")
        self.assertEqual(e["worker"], 0)
        self.assertEqual(e["offset_bytes"], 0)
        self.assertEqual(e["bytes_asked"], MB)
        self.assertIsNone(e["bytes_moved"])
        self.assertEqual(e["error_text"], "Input/output error")
        self.assertRegex(e["path"], r"/%d_0_[01]\.DUMMY$" % doc["pid"])
        self.assertAgreesWithSummary(doc, r.stdout)

    @harness.needs_fault_lib
    def test_data_that_came_back_different(self):
        env = dict(harness.fault_env(), FAULT_CORRUPT="flip", FAULT_NTH="1",
                   FAULT_COUNT="1")
        r = self.run_iochurn("-f", "2", "-s", "2", "--strict",
                             "--report=" + self.report, env=env)
        self.assertEqual(r.returncode, 16 + 1, r.stdout + r.stderr)
        doc = self.load()
        self.assertEqual(doc["totals"]["files_different"], 1)
        self.assertEqual(doc["totals"]["compare_errors"], 1)
        self.assertEqual(doc["totals"]["other_errors"], 0)

    @harness.needs_fault_lib
    def test_a_file_cut_short_is_no_data_error(self):
        # The file shrinks between its write and its read: a short read, an
        # other error; in the default mode also a compare error, but not a
        # file that came back different.
        env = harness.fault_env(op="shrink", nth=1, count=1)
        r = self.run_iochurn("-f", "2", "-s", "1", "--strict",
                             "--report=" + self.report, env=env)
        self.assertEqual(r.returncode, 16 + 2, r.stdout + r.stderr)
        doc = self.load()
        self.assertEqual(doc["totals"]["files_different"], 0)
        self.assertGreater(doc["totals"]["other_errors"], 0)

    @harness.needs_fault_lib
    def test_signal_ends_the_run_early(self):
        proc, _ = self.start_broken("-l", "-f", "2", "-s", "1", "--strict",
                                    env=harness.fault_env(op="write", delay_ms=50))
        proc.send_signal(signal.SIGINT)
        status, _, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 16 + 8, err)


@harness.needs_fault_lib
class StatusLine(ReportCase):

    def test_lines_at_the_interval_carry_the_totals(self):
        # About 3 s of writes of 100 ms each.
        env = harness.fault_env(op="write", delay_ms=100)
        r = self.run_iochurn("-j", "2", "-f", "2", "-s", "1", "-p", "15",
                             "--status-interval=1", "--report=" + self.report,
                             env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = status_lines(r.stderr)
        self.assertGreaterEqual(len(lines), 3, r.stderr)
        self.assertEqual(len(lines), len(r.stderr.splitlines()), r.stderr)
        elapsed = [int(m.group(1)) for m in lines]
        self.assertEqual(elapsed, sorted(elapsed))
        self.assertTrue(any(float(m.group(3)) > 0 for m in lines))
        last = lines[-1]
        totals = harness.parse_summary(r.stdout)
        self.assertEqual(int(last.group(2)), 30)
        self.assertEqual((int(last.group(5)), int(last.group(6))), totals[2:])
        doc = self.load()
        self.assertEqual(doc["ended"], "completed")

    def test_a_long_transfer_shows_as_stalled(self):
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=3500)
        proc = self.start_iochurn("-f", "1", "-s", "1", "--status-interval=1",
                                  "--report=" + self.report, env=env)
        status, out, err = self.finish(proc, timeout=60)
        self.assertEqual(status, 0, err)
        stalled = [int(m.group(7)) for m in status_lines(err)]
        self.assertIn(1, stalled, err)
        self.assertEqual(stalled[-1], 0, err)

    def test_report_is_rewritten_at_the_interval(self):
        env = harness.fault_env(op="write", delay_ms=150)
        proc, _ = self.start_broken("-l", "-f", "2", "-s", "1",
                                    "--status-interval=1",
                                    "--report=" + self.report, env=env)
        first = self.load()["written_time"]
        deadline = time.monotonic() + 10
        while self.load()["written_time"] == first:
            self.assertLess(time.monotonic(), deadline, "report not rewritten")
            self.drain(proc, 0.2)
        self.assertEqual(self.load()["ended"], "running")
        proc.send_signal(signal.SIGINT)
        status, _, err = self.finish(proc, timeout=30)
        self.assertEqual(status, 0, err)
        self.assertEqual(self.load()["ended"], "signal")


class Environment(unittest.TestCase):

    def test_schema_is_available(self):
        self.assertIsNotNone(jsonschema, "python3-jsonschema is not installed")
        with open(SCHEMA_PATH) as f:
            jsonschema.Draft7Validator.check_schema(json.load(f))
        self.assertIsNotNone(shutil.which("jq"), "jq is not installed")


if __name__ == "__main__":
    unittest.main()
