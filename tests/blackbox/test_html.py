"""The page of a run (--html, --from-report), drawn in a real browser.

Each page is loaded in headless Chromium with the network off; the DOM
after its scripts ran must hold every chart with its data points, no
network address in any src or href, nothing on the console, and run text
(paths, error texts, host names) as text only.
"""
import copy
import json
import os
import shutil
import subprocess
import sys
import unittest

import harness
from harness import MB

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import browser  # noqa: E402
import fusefault  # noqa: E402

CHARTS = ["chart-throughput", "chart-latency-write", "chart-latency-read",
          "chart-latency-sync", "chart-cliff", "chart-workers"]
HOSTILE = "</script><script>document.title='pwned'</script><!-- \"q' &amp;"


class PageCase(harness.IochurnCase):

    def setUp(self):
        super().setUp()
        browser.require_browser()
        self.out = self.workdir + ".out"
        os.mkdir(self.out)
        self.addCleanup(shutil.rmtree, self.out, True)
        self.report = os.path.join(self.out, "run.json")
        self.page = os.path.join(self.out, "run.html")

    def run_paged(self, *args, env=None):
        r = self.run_iochurn(*args, "--report=" + self.report,
                             "--html=" + self.page, env=env)
        with open(self.report) as f:
            return r, json.load(f)

    def from_report(self, doc, name="again"):
        """Renders `doc` through --from-report; returns the page's path."""
        report = os.path.join(self.out, name + ".json")
        page = os.path.join(self.out, name + ".html")
        with open(report, "w") as f:
            json.dump(doc, f)
        r = self.run_iochurn("--html=" + page, "--from-report=" + report,
                             workdir=False)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        return page

    def assertDrawn(self, page, charts=CHARTS, screenshot=None):
        """Every chart drew its rows; nothing was fetched or logged."""
        drawn = browser.draw(page, screenshot=screenshot)
        self.assertEqual(drawn.console, [])
        points = browser.chart_points(drawn.dom)
        for chart in charts:
            self.assertGreater(points.get(chart, 0), 0, chart)
            self.assertGreater(browser.canvases_in(drawn.dom, chart), 0, chart)
        self.assertEqual(browser.network_references(drawn.dom), [])
        self.assertIn('data-render-ms="', drawn.dom)
        return drawn


class LivePage(PageCase):

    def test_short_run_draws_every_chart_and_matches_its_report(self):
        r, doc = self.run_paged("-j", "3", "-n", "2", "-s", "1", "-f", "8",
                                "-p", "3", "-y")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNoFilesLeft()
        drawn = self.assertDrawn(self.page)
        self.assertIn("NO ERRORS — ended: completed", drawn.dom)
        self.assertIn("verdict ok", drawn.dom)
        # The same renderer fed from the file: the same page, byte for byte.
        with open(self.page, "rb") as f:
            live = f.read()
        with open(self.from_report(doc), "rb") as f:
            self.assertEqual(f.read(), live)

    def test_run_with_bad_blocks_lists_them_and_says_so_first(self):
        fusefault.require_fuse()
        m = fusefault.FuseFault("flip", count=3, span=MB, parent=harness.fast_dir())
        m.mount()
        self.addCleanup(m.unmount)
        self.workdir = m.mountpoint
        r, doc = self.run_paged("-j", "2", "-n", "2", "-s", "1", "-f", "4",
                                "-p", "2", "-y", "--verify=blocks")
        self.assertNotEqual(sum(doc["bad_blocks"].values()), 0, r.stdout)
        drawn = self.assertDrawn(self.page, screenshot=os.path.join(
            os.environ.get("IOCHURN_SCREENSHOT_DIR", self.out), "page-errors.png"))
        self.assertIn("verdict data", drawn.dom)
        self.assertIn("DATA ERRORS", drawn.dom)
        table = drawn.dom[drawn.dom.find('id="errors"'):]
        self.assertIn(doc["errors"][0]["path"], table)
        self.assertIn(">verify<", table)
        self.assertNoFilesLeft()

    def test_page_is_refreshed_with_the_report_and_at_a_break(self):
        proc = self.start_iochurn("-l", "-s", "1", "-f", "4", "-n", "1",
                                  "--status-interval=1", "--report=" + self.report,
                                  "--html=" + self.page)
        harness.wait_for_file_text(self.page, '"t_s"', timeout=60)
        self.assertTrue(os.path.exists(self.page))
        proc.send_signal(2)
        status, _, _ = self.finish(proc)
        self.assertEqual(status, 0)
        with open(self.page) as f:
            self.assertIn("ended: signal (SIGINT)", f.read())
        self.assertNoFilesLeft()

    def test_emergency_cleanup_writes_the_last_page(self):
        proc = self.start_iochurn("-l", "-u", "-y", "-s", "1", "-f", "4", "-n", "2",
                                  "--html=" + self.page)
        self.read_until(proc, b"*")
        proc.send_signal(2)
        status, _, _ = self.finish(proc)
        self.assertEqual(status, 1)
        # Broken in the first write (the symbol comes before its transfer):
        # no call may have been timed yet, but the run's one sample is there.
        drawn = self.assertDrawn(self.page, charts=["chart-throughput", "chart-workers"])
        self.assertIn("ended: signal (SIGINT), emergency clean-up", drawn.dom)
        self.assertFalse(os.path.exists(self.report))  # the page alone
        self.assertNoFilesLeft()


class JobPage(PageCase):
    """The page rank 0 of a multi-host job writes, under mpirun."""

    MPI_BIN = os.environ.get("IOCHURN_MPI_BIN") or os.path.join(
        os.path.dirname(harness.BIN), "iochurn-mpi")

    def test_job_writes_one_page_with_every_rank(self):
        if not (os.access(self.MPI_BIN, os.X_OK) and shutil.which("mpirun")):
            self.skipTest("no iochurn-mpi build or no mpirun")
        if harness.SANITIZED:
            self.skipTest("not under sanitizers")
        argv = ["mpirun", "--oversubscribe", "-np", "3", self.MPI_BIN, "-t", self.workdir,
                "-f", "4", "-s", "1", "-p", "2", "-y", "--report=" + self.report,
                "--html=" + self.page]
        if os.geteuid() == 0:
            argv.insert(1, "--allow-run-as-root")
        r = subprocess.run(argv, capture_output=True, text=True, timeout=300,
                           stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.report) as f:
            doc = json.load(f)
        self.assertEqual([x["rank"] for x in doc["ranks"]], [0, 1, 2])
        drawn = self.assertDrawn(self.page, charts=CHARTS + ["chart-ranks"])
        self.assertEqual(browser.chart_points(drawn.dom)["chart-ranks"], 3 * 6)
        # Whose workers the per-worker bars are.
        self.assertIn("each worker of rank 0", drawn.dom)
        # The bars have their rates: the slowest process is named.
        self.assertRegex(drawn.dom, r"the slowest, rank [012]\b")
        # Only rank 0 writes: no rank's own page overwrote the job's.
        self.assertIn("Per rank", drawn.dom)


class ReportedPage(PageCase):
    """Pages of reports this process never ran: another host's, a job's."""

    @classmethod
    def setUpClass(cls):
        cls.base = None

    def base_report(self):
        if ReportedPage.base is None:
            r, doc = self.run_paged("-j", "2", "-n", "1", "-s", "1", "-f", "4",
                                    "-p", "2", "-y")
            self.assertEqual(r.returncode, 0, r.stderr)
            ReportedPage.base = doc
        return copy.deepcopy(ReportedPage.base)

    def test_hostile_strings_stay_text(self):
        doc = self.base_report()
        doc["host_name"] = HOSTILE
        doc["system"]["workdir"] = "/mnt/" + HOSTILE + "\u2028x"
        doc["system"]["file_system"]["mount_source"] = HOSTILE
        doc["command_line"].append("--comment=" + HOSTILE)
        doc["errors"] = [{"time_s": 1.5, "worker": 0, "operation": "write",
                          "slot": 0, "path": "/tmp/" + HOSTILE, "offset_bytes": 4096,
                          "bytes_asked": 1, "bytes_moved": None, "errno": 5,
                          "error_text": HOSTILE + "\u2029"}]
        doc["errors_recorded"] = 1
        doc["settings"]["workdir"] = HOSTILE
        drawn = self.assertDrawn(self.from_report(doc))
        self.assertNotIn("pwned</title>", drawn.dom)
        self.assertNotIn("<script>document.title", drawn.dom)
        # Shown as written, escaped as text.
        self.assertIn("&lt;/script&gt;&lt;script&gt;document.title='pwned'", drawn.dom)
        self.assertIn("&lt;!-- \"q' &amp;amp;", drawn.dom)

    def test_job_page_shows_every_rank(self):
        doc = self.base_report()
        ranks = []
        for rank in range(4):
            ranks.append({"rank": rank, "host_name": "node%d" % rank, "pid": 100 + rank,
                          "ended": "completed", "exit_status": 0, "elapsed_s": 2.0,
                          "throughput": {"write_MiBps_in_calls": 100.0 + 50 * rank,
                                         "read_MiBps_in_calls": 300.0 - 10 * rank},
                          "totals": {"passes_completed": 4 + rank}})
        ranks[2]["ended"] = "unresponsive"  # any ending is shown
        del ranks[3]["throughput"]  # absent figures are left out
        doc["ranks"] = ranks
        doc["errors"] = [{"time_s": 0.5, "rank": 1, "worker": 0, "operation": "read",
                          "path": "/x", "offset_bytes": 0, "errno": 5,
                          "error_text": "Input/output error"}]
        drawn = self.assertDrawn(self.from_report(doc), charts=CHARTS + ["chart-ranks"])
        self.assertIn("the slowest, rank 0", drawn.dom)
        self.assertIn("<th>rank</th>", drawn.dom)

    def test_old_or_partial_reports_still_render(self):
        doc = self.base_report()
        for key in ("timeline", "workers", "latency", "throughput", "system"):
            del doc[key]
        doc["totals"] = "not an object"
        doc["ended"] = "max-errors"
        page = self.from_report(doc)
        drawn = browser.draw(page)
        self.assertEqual(drawn.console, [])
        self.assertIn("ended: max-errors", drawn.dom)
        self.assertIn("No samples yet.", drawn.dom)

    def test_reports_not_ours_are_refused(self):
        cases = {"missing": None, "not-json": "{nope", "other": '{"program": {"name": "x"}}',
                 "future": json.dumps({"program": {"name": "iochurn"}, "format_version": 99})}
        for name, text in cases.items():
            with self.subTest(name):
                path = os.path.join(self.out, name + ".json")
                if text is not None:
                    with open(path, "w") as f:
                        f.write(text)
                r = self.run_iochurn("--html=" + self.page, "--from-report=" + path,
                                     workdir=False)
                self.assertEqual(r.returncode, 2)
                self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
                self.assertIn("--from-report", r.stderr)
                self.assertFalse(os.path.exists(self.page))
        r = self.run_iochurn("--from-report=" + path, workdir=False)
        self.assertEqual((r.returncode, len(r.stderr.splitlines())), (2, 1))

    def test_two_thousand_samples_draw(self):
        doc = self.base_report()
        sample = doc["timeline"][-1]
        doc["timeline"] = []
        for i in range(2000):
            s = dict(sample)
            s["t_s"] = float(i + 1)
            s["write_MiBps"] = 500.0 + (i % 97)
            s["errors"] = 1 if i == 1500 else 0
            doc["timeline"].append(s)
        drawn = self.assertDrawn(self.from_report(doc))
        self.assertEqual(browser.chart_points(drawn.dom)["chart-throughput"], 2000)


if __name__ == "__main__":
    unittest.main()
