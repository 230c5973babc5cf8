#!/usr/bin/env python3
"""What the run over time and the --html page cost, and how fast the page draws.

    python3 bench/page_bench.py [--iochurn build/iochurn] [--dir /tmp] [--rounds 9]

Prints one markdown table:
  - refresh: a 16 MB x 20 pass run (-y) with --status-interval=1, with and
    without --report and --html, alternating rounds, median of the ratios
    (target: at most 1% more wall time); the same for 200 passes;
  - render: the page of a 2,000-sample report (6 series on the throughput
    and latency charts), its weight, the time --from-report takes to build
    it, and the time headless Chromium takes to draw it (the page's own
    measure from its first script line to its last chart; target: under
    1 s), median of the rounds;
  - library: the same 2,000 samples x 6 series drawn by the two charting
    libraries Debian packages (libjs-dygraphs, libjs-chart.js), where both
    are installed: weight and drawing time, the measure the page's library
    was chosen by.
"""
import argparse
import copy
import gzip
import json
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import browser  # noqa: E402

DYGRAPHS = "/usr/share/javascript/dygraphs/dygraph.min.js"
CHARTJS = "/usr/share/javascript/chart.js/chart.min.js"


def timed_cpu(argv):
    """(wall seconds, CPU seconds: user + system) of one run of `argv`."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit("%s failed (%d): %s" % (" ".join(argv), status, err))
    return wall, usage.ru_utime + usage.ru_stime


def timed(argv):
    return timed_cpu(argv)[0]


def refresh_cost(args, passes, out):
    work = tempfile.mkdtemp(prefix="page-bench-", dir=args.dir)
    try:
        base = [args.iochurn, "-t", work, "-f", "16", "-p", str(passes), "-y",
                "--status-interval=1"]
        paged = base + ["--report=" + os.path.join(out, "r.json"),
                        "--html=" + os.path.join(out, "r.html")]
        ratios, cpu_ratios, plain_times = [], [], []
        for _ in range(args.rounds):
            a, a_cpu = timed_cpu(base)
            b, b_cpu = timed_cpu(paged)
            plain_times.append(a)
            ratios.append(b / a)
            cpu_ratios.append(b_cpu / a_cpu)
        return (statistics.median(plain_times), statistics.median(ratios),
                statistics.median(cpu_ratios))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def big_report(args, out):
    """A real report with its timeline grown to 2,000 samples."""
    work = tempfile.mkdtemp(prefix="page-bench-", dir=args.dir)
    report = os.path.join(out, "base.json")
    try:
        timed([args.iochurn, "-t", work, "-j", "8", "-f", "4", "-s", "1", "-p", "2", "-y",
               "--report=" + report])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    with open(report) as f:
        doc = json.load(f)
    sample = doc["timeline"][-1]
    doc["timeline"] = []
    for i in range(2000):
        s = copy.deepcopy(sample)
        wave = 1 + math.sin(i / 40.0)
        s.update({"t_s": float(i + 1), "interval_s": 1.0,
                  "write_MiBps": 400 * wave, "read_MiBps": 600 * wave,
                  "bytes_written": int(400 * wave * 2**20),
                  "write_median_us": 900 * wave + 10, "write_p99_us": 9000 * wave + 10,
                  "write_max_us": 20000 * wave + 10,
                  "errors": 1 if i % 500 == 250 else 0})
        doc["timeline"].append(s)
    path = os.path.join(out, "big.json")
    with open(path, "w") as f:
        json.dump(doc, f)
    return path


def render_ms(page, rounds):
    times = []
    for _ in range(rounds):
        drawn = browser.draw(page)
        m = re.search(r'data-render-ms="(\d+)"', drawn.dom)
        if not m or drawn.console:
            raise SystemExit("the page did not draw: %s" % drawn.console)
        times.append(int(m.group(1)))
    return statistics.median(times)


def library_page(path, library, out):
    """2,000 samples x 6 series drawn by one library, timed by the page."""
    rows = [[i] + [abs(math.sin(i / 50 + k)) * 100 + 1 for k in range(6)] for i in range(2000)]
    with open(path) as f:
        code = f.read()
    if library == "dygraphs":
        draw = ("new Dygraph(document.getElementById('c'), rows, {labels: "
                "['t','a','b','c','d','e','f'], logscale: true});")
        holder = '<div id="c" style="width:900px;height:300px"></div>'
    else:
        draw = ("var ds = []; for (var k = 1; k < 7; k++) ds.push({data: rows.map(function (r) "
                "{ return {x: r[0], y: r[k]}; }), pointRadius: 0, borderWidth: 1});"
                "new Chart(document.getElementById('c'), {type: 'line', data: {datasets: ds},"
                "options: {animation: false, parsing: false, normalized: true,"
                "scales: {x: {type: 'linear'}, y: {type: 'logarithmic'}}}});")
        holder = '<div style="width:900px;height:300px"><canvas id="c"></canvas></div>'
    page = os.path.join(out, library + ".html")
    with open(page, "w") as f:
        f.write("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><script>%s</script>"
                "</head><body>%s<script>var t0 = performance.now(); var rows = %s; %s"
                "document.body.setAttribute('data-render-ms', String(Math.round("
                "performance.now() - t0)));</script></body></html>"
                % (code, holder, json.dumps(rows), draw))
    return page, len(code), len(gzip.compress(code.encode()))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--iochurn", default=os.path.join(ROOT, "build", "iochurn"))
    p.add_argument("--dir", default="/tmp", help="directory of the timed runs")
    p.add_argument("--rounds", type=int, default=9)
    args = p.parse_args()
    if browser.chromium() is None:
        raise SystemExit("needs chromium (scripts/install-deps --tests)")
    out = tempfile.mkdtemp(prefix="page-bench-out-")
    rows = []
    try:
        for passes in (20, 200):
            print("refresh cost, %d passes ..." % passes, file=sys.stderr)
            plain, ratio, cpu = refresh_cost(args, passes, out)
            rows.append(("16 MB x %d passes, -y, 1 s intervals: + report + page" % passes,
                         "%.2f s plain; %+.2f%% wall time, %+.2f%% CPU time"
                         % (plain, (ratio - 1) * 100, (cpu - 1) * 100),
                         "at most +1%"))
        print("page of 2,000 samples ...", file=sys.stderr)
        report = big_report(args, out)
        page = os.path.join(out, "big.html")
        build = statistics.median(timed([args.iochurn, "--html=" + page, "--from-report=" + report])
                                  for _ in range(args.rounds))
        size = os.path.getsize(page)
        with open(page, "rb") as f:
            packed = len(gzip.compress(f.read()))
        rows.append(("page of 2,000 samples: weight", "%d KiB (%d KiB gzipped)"
                     % (size // 1024, packed // 1024), ""))
        rows.append(("page of 2,000 samples: --from-report (read, render, write)",
                     "%.0f ms" % (build * 1000), ""))
        rows.append(("page of 2,000 samples: drawn in headless Chromium",
                     "%d ms" % render_ms(page, args.rounds), "under 1000 ms"))
        for library, path in (("dygraphs", DYGRAPHS), ("chart.js", CHARTJS)):
            if not os.path.exists(path):
                rows.append(("library %s" % library, "not installed", ""))
                continue
            print("library %s ..." % library, file=sys.stderr)
            lib_page, weight, packed = library_page(path, library, out)
            rows.append(("library %s: 2,000 x 6 series" % library,
                         "%d KiB (%d KiB gzipped), %d ms" % (weight // 1024, packed // 1024,
                                                             render_ms(lib_page, args.rounds)),
                         "the lighter and faster is built in"))
    finally:
        shutil.rmtree(out, ignore_errors=True)
    print("| measure | result | target |")
    print("|---|---|---|")
    for row in rows:
        print("| %s | %s | %s |" % row)


if __name__ == "__main__":
    main()
