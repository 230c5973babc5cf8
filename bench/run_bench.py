#!/usr/bin/env python3
"""Benchmark suite of iochurn: one command, one markdown table.

    python3 bench/run_bench.py [--quick] [--rounds N]

Builds what it needs (iochurn, the bare reference loop bench/bare_loop.c and
the sum kernel benchmark bench/sum_bench.cpp) in build/bench with CMake, then
runs every contender of a case back to back, in an order that changes from
round to round (each contender first, last and after each other one equally
often), for several rounds. Each run is timed around a blocking wait for
the child (os.wait4). A line of the table is the median over the rounds of
the ratio formed inside each round; no single absolute time is ever compared
with another.

The progress goes to standard error, the table to standard output.
"""

import argparse
import atexit
import datetime
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
BENCH = REPO / "bench"

# Targets (medians of same-run ratios).
LIMIT_VS_BARE = 1.05        # iochurn / bare loop allocating once per thread
FIO_CRC_MIN = 2.5           # fio crc32c / iochurn on tmpfs, 16 MB and 1 GB
SUM_MIN = 10.0              # sum kernel / naive byte loop on 4 MB
ALARM_MAX = {4: 1.03, 1: 1.05}   # -A / plain at 4 MB and 1 MB buffers, tmpfs
REPORT_MAX = 1.02           # --report + --status-interval=1 / plain, tmpfs
BLOCKS_MAX = {"tmpfs": 1.15, "disk": 1.05}  # --verify=blocks / --verify=sum
FIO_BLOCKS_MIN = 2.0        # fio crc32c, 4 KiB interval / iochurn --verify=blocks
JOURNAL_MAX = 1.03          # --journal / the same flushes without one
CHECK_MAX = 1.10            # --check-journal / a plain read of the same files
STARTUP_MAX_MS = 10.0       # iochurn -j -1
RSS_SLACK_MB = 16           # peak RSS at most the buffers plus this

CHUNK_MB = 4                # iochurn's default buffer size


def log(message):
    print(message, file=sys.stderr, flush=True)


class RunFailed(Exception):
    pass


class Result:
    def __init__(self, seconds, max_rss_kb, minor_faults, output, errors):
        self.seconds = seconds
        self.max_rss_kb = max_rss_kb   # includes the driver's size: see peak_rss.c
        self.minor_faults = minor_faults
        self.output = output
        self.errors = errors


# Where the contenders' output goes: a file on tmpfs costs the least and
# does not compete with the file system under test.
OUTPUT_DIR = None


def run_timed(cmd, check_summary=False, cwd=None):
    """Runs cmd to completion; wall time around a blocking wait4."""
    with tempfile.TemporaryFile(dir=OUTPUT_DIR) as out, \
            tempfile.TemporaryFile(dir=OUTPUT_DIR) as err:
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=out, stderr=err, cwd=cwd,
                                stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        text = out.read().decode(errors="replace")
        errors = err.read().decode(errors="replace")
        if proc.returncode != 0:
            tail = errors[-600:]
            raise RunFailed(f"{' '.join(map(str, cmd))}: exit "
                            f"{proc.returncode}\n{tail}")
        if check_summary and "Compare_Errors=0   Other_Errors=0" not in text:
            raise RunFailed(f"{' '.join(map(str, cmd))}: errors in summary\n"
                            f"{text[-600:]}")
    return Result(seconds, usage.ru_maxrss, usage.ru_minflt, text, errors)


# --------------------------------------------------------------- building

def build(build_dir):
    root_lists = (REPO / "CMakeLists.txt").read_text()
    from_root = "add_subdirectory(bench)" in root_lists
    if not (build_dir / "CMakeCache.txt").exists():
        if from_root:
            cmd = ["cmake", "-S", str(REPO), "-B", str(build_dir),
                   "-DIOCHURN_BUILD_BENCH=ON", "-DIOCHURN_BUILD_TESTS=OFF"]
        else:
            cmd = ["cmake", "-S", str(BENCH), "-B", str(build_dir)]
        cmd.append("-DCMAKE_BUILD_TYPE=RelWithDebInfo")
        log("configuring: " + " ".join(cmd))
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    log(f"building in {build_dir}")
    subprocess.run(["cmake", "--build", str(build_dir), "-j2"], check=True,
                   stdout=subprocess.DEVNULL)

    def find(name):
        for candidate in (build_dir / name, build_dir / "bench" / name,
                          build_dir / "program" / name):
            if candidate.is_file() and os.access(candidate, os.X_OK):
                return candidate
        return None

    build_type = "?"
    cache = build_dir / "CMakeCache.txt"
    for line in cache.read_text().splitlines():
        if line.startswith("CMAKE_BUILD_TYPE:"):
            build_type = line.split("=", 1)[1] or "(none)"
    return (find("iochurn"), find("bare_loop"), find("peak_rss"),
            find("sum_bench"), build_type)


def ensure_fio(allow_install):
    fio = shutil.which("fio")
    if fio or not allow_install:
        return fio
    log("fio is missing: apt-get install -y fio")
    try:
        subprocess.run(["apt-get", "install", "-y", "fio"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=300)
    except (OSError, subprocess.SubprocessError) as error:
        log(f"could not install fio: {error}")
    return shutil.which("fio")


# --------------------------------------------------------------- the cases

def fs_label(directory):
    try:
        out = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T",
                              directory], capture_output=True, text=True,
                             check=True).stdout.strip()
        return f"{directory} ({out.splitlines()[0]})"
    except (OSError, subprocess.SubprocessError):
        return directory


def balanced_orders(n):
    """Orders of n contenders in which each one comes first, last and right
    after each other one equally often (a Williams design): whatever a run
    leaves behind for the next one is spread evenly over all contenders."""
    first, low, high = [0], 1, n - 1
    while len(first) < n:
        if len(first) % 2:
            first.append(low)
            low += 1
        else:
            first.append(high)
            high -= 1
    orders = [[(x + i) % n for x in first] for i in range(n)]
    if n % 2:
        orders += [list(reversed(order)) for order in orders]
    return orders


class Case:
    """Contenders run back to back each round, and the ratios reported."""

    def __init__(self, section, label, contenders, rows, check=(),
                 warmup=None, repeat=1):
        self.section = section
        self.repeat = repeat                  # ratios formed per round
        self.warmup = warmup                  # untimed command run first
        self.label = label
        self.contenders = contenders          # name -> command
        self.rows = rows                      # (what, numerator, denominator, target)
        self.check = set(check)               # names whose summary is checked
        self.times = {name: [] for name in contenders}
        self.failed = None

    cwd = None   # a scratch directory: nothing a contender leaves lands in the tree

    def run_round(self, rotation):
        if self.failed:
            return
        if self.warmup:
            # The previous case left other state behind (memory the VM may
            # have handed back to the host, a smaller page cache): one
            # untimed run takes that cost so that no contender pays it.
            try:
                run_timed(self.warmup, cwd=self.cwd)
            except RunFailed as error:
                self.failed = str(error)
                log(f"  FAILED: {error}")
                return
        names = list(self.contenders)
        orders = balanced_orders(len(names))
        for sub in range(self.repeat):
            order = orders[(rotation * self.repeat + sub) % len(orders)]
            for name in (names[i] for i in order):
                try:
                    result = run_timed(self.contenders[name],
                                       check_summary=name in self.check,
                                       cwd=self.cwd)
                except RunFailed as error:
                    self.failed = str(error)
                    log(f"  FAILED: {error}")
                    return
                self.times[name].append(result.seconds)

    def ratios(self, numerator, denominator):
        return [n / d for n, d in zip(self.times[numerator],
                                      self.times[denominator])]


def churn_cases(args, tools, fio):
    iochurn, bare = tools
    sizes = [(16, 20)] if args.quick else [(16, 20), (1024, 1)]
    cases = []
    for directory in (args.tmpfs, args.dir):
        on_tmpfs = directory == args.tmpfs
        for sync in (False, True):
            for file_mb, passes in sizes:
                if sync and not on_tmpfs:
                    # Every 4 MB reaches the disk: keep it short.
                    if file_mb != 16:
                        continue
                    passes = 5
                for jobs in (1, 2):
                    io = [str(iochurn), "-t", directory, "-j", str(jobs),
                          "-f", str(file_mb), "-p", str(passes)]
                    bl = [str(bare), "-t", directory, "-j", str(jobs),
                          "-f", str(file_mb), "-s", str(CHUNK_MB),
                          "-p", str(passes)]
                    if sync:
                        io.append("-y")
                        bl.append("--sync")
                    contenders = {"iochurn": io,
                                  "bare_once": bl + ["--alloc-once"],
                                  "bare_every": bl}
                    size = f"{file_mb} MB x {passes}" if file_mb < 1024 \
                        else f"{file_mb // 1024} GB x {passes}"
                    label = (f"{fs_label(directory)}, -j {jobs}, {size}"
                             + (", -y" if sync else ""))
                    rows = [("iochurn / bare loop, alloc once", "iochurn",
                             "bare_once", ("<=", LIMIT_VS_BARE)),
                            ("iochurn / bare loop, alloc every pass",
                             "iochurn", "bare_every", None)]
                    if fio and not sync:
                        base = [fio, "--name=churn", f"--directory={directory}",
                                "--thread", f"--numjobs={jobs}",
                                "--ioengine=sync", "--rw=write",
                                f"--bs={CHUNK_MB}M", f"--size={file_mb}M",
                                f"--loops={passes}", "--unlink=1",
                                "--unlink_each_loop=1", "--do_verify=1",
                                "--fallocate=none", "--invalidate=0",
                                "--verify_state_save=0",
                                "--group_reporting", "--output-format=terse"]
                        contenders["fio_crc"] = base + ["--verify=crc32c"]
                        contenders["fio_plain"] = base + ["--verify=null"]
                        crc_target = (">=", FIO_CRC_MIN) if on_tmpfs else None
                        rows += [("fio crc32c verify / iochurn", "fio_crc",
                                  "iochurn", crc_target),
                                 ("fio crc32c verify / bare loop, alloc once "
                                  "(ceiling)",
                                  "fio_crc", "bare_once", None),
                                 ("fio read back, no verify / iochurn",
                                  "fio_plain", "iochurn", None)]
                    cases.append(Case("churn", label, contenders, rows,
                                      check=["iochurn"],
                                      warmup=bl + ["--alloc-once"],
                                      repeat=args.short_repeat
                                      if file_mb < 1024 else 1))
    return cases


def option_cases(args, iochurn):
    cases = []
    jobs_list = (1,) if args.quick else (1, 2)
    for bufsize in (1, 4):
        for jobs in jobs_list:
            base = [str(iochurn), "-t", args.tmpfs, "-j", str(jobs),
                    "-s", str(bufsize), "-f", "16", "-p", "40"]
            label = (f"{fs_label(args.tmpfs)}, -j {jobs}, -s {bufsize}, "
                     "16 MB x 40")
            cases.append(Case(
                "options", label, {"plain": base, "alarm": base + ["-A"]},
                [(f"-A cost ({bufsize} MB buffers)", "alarm", "plain",
                  ("<=", ALARM_MAX[bufsize]))],
                check=["plain", "alarm"], repeat=args.short_repeat))
    # The report and the status line: a report written at start-up, every
    # second and at the end, and a status line every second. The report
    # goes to the scratch directory the runs start in.
    report_path = "bench-report.json"
    for bufsize in (1, 4):
        for jobs in jobs_list:
            base = [str(iochurn), "-t", args.tmpfs, "-j", str(jobs),
                    "-s", str(bufsize), "-f", "16", "-p", "20"]
            label = (f"{fs_label(args.tmpfs)}, -j {jobs}, -s {bufsize}, "
                     "16 MB x 20")
            reported = base + [f"--report={report_path}", "--status-interval=1"]
            cases.append(Case(
                "options", label, {"plain": base, "report": reported},
                [("--report --status-interval=1 cost", "report", "plain",
                  ("<=", REPORT_MAX))],
                check=["plain", "report"], repeat=args.short_repeat))
    for jobs in jobs_list:
        base = [str(iochurn), "-t", args.tmpfs, "-j", str(jobs), "-f", "16",
                "-p", "20"]
        label = f"{fs_label(args.tmpfs)}, -j {jobs}, 16 MB x 20"
        cases.append(Case(
            "options", label, {"plain": base, "random": base + ["-r"]},
            [("-r cost (random fill)", "random", "plain", None)],
            check=["plain", "random"], repeat=args.short_repeat))
    return cases


def verify_cases(args, iochurn, fio):
    """Block verification against the sum, and against fio checking every
    4 KiB with crc32c: the same files, buffers and passes."""
    cases = []
    for directory in (args.tmpfs, args.dir):
        on_tmpfs = directory == args.tmpfs
        for jobs in (1, 2):
            base = [str(iochurn), "-t", directory, "-j", str(jobs), "-f", "16",
                    "-s", str(CHUNK_MB), "-p", "20"]
            contenders = {"sum": base + ["--verify=sum"],
                          "blocks": base + ["--verify=blocks"]}
            target = BLOCKS_MAX["tmpfs" if on_tmpfs else "disk"]
            rows = [("--verify=blocks / --verify=sum", "blocks", "sum",
                     ("<=", target))]
            if fio:
                contenders["fio_blocks"] = [
                    fio, "--name=churn", f"--directory={directory}", "--thread",
                    f"--numjobs={jobs}", "--ioengine=sync", "--rw=write",
                    f"--bs={CHUNK_MB}M", "--size=16M", "--loops=20",
                    "--unlink=1", "--unlink_each_loop=1", "--do_verify=1",
                    "--fallocate=none", "--invalidate=0",
                    "--verify_state_save=0", "--verify=crc32c",
                    "--verify_interval=4096", "--group_reporting",
                    "--output-format=terse"]
                rows.append(("fio crc32c every 4 KiB / iochurn --verify=blocks",
                             "fio_blocks", "blocks",
                             (">=", FIO_BLOCKS_MIN) if on_tmpfs else None))
            label = f"{fs_label(directory)}, -j {jobs}, 16 MB x 20, blocks"
            cases.append(Case("options", label, contenders, rows,
                              check=["sum", "blocks"],
                              repeat=args.short_repeat))
    return cases


def journal_cases(args, iochurn):
    """The journal's own cost (records, commits, the journal thread) over a
    run with the same flushes and no journal, and the check's read speed
    against a plain read of the same files. The journal lives on the other
    of the two directories, as it would on other storage."""
    cases = []
    for directory, other in ((args.tmpfs, args.dir), (args.dir, args.tmpfs)):
        journal_dir = tempfile.mkdtemp(prefix="iochurn-bench-journal-", dir=other)
        atexit.register(shutil.rmtree, journal_dir, True)
        journal = os.path.join(journal_dir, "bench.journal")
        for jobs in (1, 2):
            base = [str(iochurn), "-t", directory, "-j", str(jobs), "-f", "16",
                    "-s", str(CHUNK_MB), "-p", "20", "-y", "--verify=blocks"]
            label = (f"{fs_label(directory)}, -j {jobs}, 16 MB x 20, -y, "
                     f"journal on {fs_label(other)}")
            cases.append(Case(
                "options", label,
                {"plain": base, "journal": base + ["--journal=" + journal]},
                [("--journal / the same flushes without one", "journal",
                  "plain", ("<=", JOURNAL_MAX))],
                check=["plain", "journal"], repeat=args.short_repeat))
        # The check reads what a kept run left; cat reads the same files.
        files_dir = tempfile.mkdtemp(prefix="iochurn-bench-check-", dir=directory)
        atexit.register(shutil.rmtree, files_dir, True)
        setup = ["sh", "-c",
                 f"rm -f {files_dir}/*.DUMMY && exec {iochurn} -t {files_dir} "
                 f"-z -j 2 -n 4 -f 64 -s {CHUNK_MB} --journal={journal}.check"]
        label = f"{fs_label(directory)}, 8 files of 64 MB, cached, check"
        cases.append(Case(
            "options", label,
            {"check": [str(iochurn), f"--check-journal={journal}.check", "-z"],
             "cat": ["sh", "-c", f"cat {files_dir}/*.DUMMY > /dev/null"]},
            [("--check-journal / cat of the same files", "check", "cat",
              ("<=", CHECK_MAX))],
            warmup=setup, repeat=args.short_repeat))
        if directory == args.tmpfs:
            continue
        # From the device, past the page cache, both ways.
        label = f"{fs_label(directory)}, 8 files of 64 MB, direct, check"
        cases.append(Case(
            "options", label,
            {"check": [str(iochurn), f"--check-journal={journal}.check", "-z",
                       "-d"],
             "dd": ["sh", "-c", f"for f in {files_dir}/*.DUMMY; do dd if=$f "
                    f"of=/dev/null bs={CHUNK_MB}M iflag=direct status=none; done"]},
            [("--check-journal -d / dd iflag=direct of the same files", "check",
              "dd", ("<=", CHECK_MAX))],
            warmup=setup, repeat=args.short_repeat))
    return cases


# ------------------------------------------------------------ measurements

def verdict(value, target):
    if target is None:
        return "—", ""
    op, limit = target
    text = f"{'≤' if op == '<=' else '≥'} {limit:g}"
    if value is None:
        return text, ""
    ok = value <= limit if op == "<=" else value >= limit
    return text, "PASS" if ok else "MISS"


def case_rows(case):
    rows = []
    for what, num, den, target in case.rows:
        if case.failed:
            rows.append((what, case.label, "failed", "",
                         verdict(None, target)[0], "FAIL"))
            continue
        ratios = case.ratios(num, den)
        med = statistics.median(ratios)
        spread = f"{len(ratios)}: {min(ratios):.2f}–{max(ratios):.2f}"
        target_text, result = verdict(med, target)
        rows.append((what, case.label, f"{med:.2f}", spread, target_text,
                     result))
    return rows


def startup(iochurn, runs):
    """Median wall time of iochurn -j -1 and of /bin/true, alternated."""
    true_bin = shutil.which("true") or "/bin/true"
    own, floor = [], []
    for i in range(runs):
        pair = [("own", [str(iochurn), "-j", "-1"]), ("floor", [true_bin])]
        if i % 2:
            pair.reverse()
        for which, cmd in pair:
            r = run_timed(cmd, check_summary=which == "own")
            (own if which == "own" else floor).append(r.seconds * 1000)
    return statistics.median(own), statistics.median(floor)


def peak_memory(peak_rss, iochurn, bare, runs):
    """Max RSS (MB) of a default run and of the bare loop doing the same."""
    def measure(cmd, check):
        r = run_timed([str(peak_rss)] + cmd, check_summary=check)
        for line in reversed(r.errors.splitlines()):
            if line.startswith("peak_rss_kb "):
                return int(line.split()[1])
        raise RunFailed(f"peak_rss gave no figure for {cmd}")

    own = [measure([str(iochurn)], True) for _ in range(runs)]
    ref = [measure([str(bare)], False) for _ in range(runs)]
    return statistics.median(own) / 1024, statistics.median(ref) / 1024


def sum_kernels(sum_bench, quick, rounds):
    cmd = [str(sum_bench), "--benchmark_format=json",
           f"--benchmark_repetitions={max(rounds, 2)}",
           "--benchmark_enable_random_interleaving=true",
           f"--benchmark_min_time={0.05 if quick else 0.2}"]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RunFailed(f"sum_bench: exit {proc.returncode}\n{proc.stderr}")
    data = json.loads(proc.stdout)
    speed = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = b["run_name"]
        speed.setdefault(name, {})[b.get("repetition_index", 0)] = \
            b["bytes_per_second"]
    return speed


def sum_rows(speed):
    def ratio(num, den):
        if num not in speed or den not in speed:
            return None
        common = sorted(set(speed[num]) & set(speed[den]))
        vals = [speed[num][i] / speed[den][i] for i in common]
        return vals

    rows = []
    ratio_rows = [("sum kernel (additive_sum) / naive byte loop", "BM_kernel",
              "BM_naive", (">=", SUM_MIN)),
             ("SSE2 kernel / naive byte loop", "BM_sse2", "BM_naive", None),
             ("AVX2 kernel / naive byte loop", "BM_avx2", "BM_naive", None),
             ("AVX2 kernel / SSE2 kernel", "BM_avx2", "BM_sse2", None),
             ("SSE2 kernel right after an AVX2 call / SSE2 kernel",
              "BM_sse2_after_avx2", "BM_sse2", None),
             ("random fill speed, own generator / process-wide rand(), 1 thread",
              "BM_fill_own/real_time/threads:1", "BM_fill_libc_rand/real_time/threads:1", None),
             ("random fill speed, own generator / process-wide rand(), 2 threads",
              "BM_fill_own/real_time/threads:2", "BM_fill_libc_rand/real_time/threads:2", None)]
    for what, num, den, target in ratio_rows:
        vals = ratio(num, den)
        if not vals:
            rows.append((what, "4 MB buffer", "n/a", "", "—", "skipped"))
            continue
        med = statistics.median(vals)
        target_text, result = verdict(med, target)
        rows.append((what, "4 MB buffer", f"{med:.2f}",
                     f"{len(vals)}: {min(vals):.2f}–{max(vals):.2f}",
                     target_text, result))
    for name in ("BM_naive", "BM_sse2", "BM_avx2", "BM_kernel"):
        if name in speed:
            gbs = statistics.median(speed[name].values()) / 1e9
            rows.append((f"  {name[3:]} speed (for orientation)",
                         "4 MB buffer", f"{gbs:.1f} GB/s", "", "—", ""))
    return rows


# ------------------------------------------------------------------ output

def print_table(rows):
    print("| Measurement | Case | Median | Ratios (n: min–max) | Target | Result |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


def loadavg():
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "?"


def wait_quiet(max_load, patience_s=300):
    """Waits, within reason, for the machine's other work to settle."""
    if max_load is None:
        return
    waited = 0
    while os.getloadavg()[0] > max_load and waited < patience_s:
        if waited == 0:
            log(f"waiting for the load average to fall below {max_load:g}")
        time.sleep(10)
        waited += 10


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="smoke mode: 16 MB cases only, 2 rounds")
    parser.add_argument("--rounds", type=int, default=None,
                        help="rounds per case (default 5, --quick 2)")
    parser.add_argument("--short-repeat", type=int, default=2, metavar="K",
                        help="the cases of well under a second (16 MB, -A, "
                             "-r) form K ratios per round (default 2)")
    parser.add_argument("--build-dir", type=Path,
                        default=REPO / "build" / "bench")
    parser.add_argument("--iochurn", type=Path, default=None,
                        help="program under test (default: the one built "
                             "in the build directory)")
    parser.add_argument("--tmpfs", default="/dev/shm",
                        help="tmpfs directory (default /dev/shm)")
    parser.add_argument("--dir", default="/tmp",
                        help="the program's default directory (default /tmp)")
    parser.add_argument("--no-fio", action="store_true",
                        help="leave fio out")
    parser.add_argument("--no-install", action="store_true",
                        help="do not apt-get install fio when it is missing")
    parser.add_argument("--only", default=None, metavar="TEXT",
                        help="run only the cases whose label contains TEXT "
                             "(e.g. 'GB', '-y', '/dev/shm')")
    parser.add_argument("--raw", type=Path, default=None, metavar="FILE",
                        help="also write every run's time (s) as JSON")
    parser.add_argument("--max-load", type=float, default=None,
                        help="before each round wait (up to 5 minutes) for "
                             "the 1-minute load average to fall below this")
    parser.add_argument("--startup-runs", type=int, default=None,
                        help="runs of iochurn -j -1 (default 40, --quick 10)")
    args = parser.parse_args()
    global OUTPUT_DIR
    if os.access(args.tmpfs, os.W_OK):
        OUTPUT_DIR = args.tmpfs
    rounds = args.rounds or (2 if args.quick else 5)
    startup_runs = args.startup_runs or (10 if args.quick else 40)

    iochurn, bare, peak_rss, sum_bench, build_type = build(
        args.build_dir.resolve())
    if args.iochurn:
        iochurn = args.iochurn.resolve()
    if iochurn is None or bare is None or peak_rss is None:
        sys.exit("run_bench: iochurn, bare_loop or peak_rss did not build")
    fio = None if args.no_fio else ensure_fio(not args.no_install)

    started = time.monotonic()
    load_before = loadavg()
    cases = (churn_cases(args, (iochurn, bare), fio) +
             option_cases(args, iochurn) + verify_cases(args, iochurn, fio) +
             journal_cases(args, iochurn))
    if args.only:
        cases = [c for c in cases if args.only in c.label]
    with tempfile.TemporaryDirectory(prefix="iochurn-bench-") as scratch:
        Case.cwd = scratch
        for r in range(rounds):
            wait_quiet(args.max_load)
            log(f"round {r + 1}/{rounds} (load average {loadavg()})")
            for i, case in enumerate(cases):
                log(f"  {case.label} [{', '.join(case.contenders)}]")
                case.run_round(r + i)

    log("start-up")
    own_ms, floor_ms = startup(iochurn, startup_runs)
    log("peak memory")
    rss_runs = 1 if args.quick else 3
    own_rss, ref_rss = peak_memory(peak_rss, iochurn, bare, rss_runs)
    speed = {}
    if sum_bench:
        log("sum kernels")
        speed = sum_kernels(sum_bench, args.quick, rounds)
    load_after = loadavg()
    if args.raw:
        args.raw.write_text(json.dumps(
            [{"case": c.label, "commands": c.contenders, "seconds": c.times,
              "failed": c.failed} for c in cases], indent=1))
    minutes = (time.monotonic() - started) / 60

    rows = []
    for case in cases:
        if case.section == "churn":
            rows += case_rows(case)
    for case in cases:
        if case.section == "options":
            rows += case_rows(case)
    rows.append(("start-up, iochurn -j -1 (ms)",
                 f"median of {startup_runs} runs; /bin/true "
                 f"{floor_ms:.1f} ms", f"{own_ms:.1f} ms", "",
                 f"< {STARTUP_MAX_MS:g} ms",
                 "PASS" if own_ms < STARTUP_MAX_MS else "MISS"))
    buffers_mb = CHUNK_MB
    target_text, result = verdict(own_rss, ("<=", buffers_mb + RSS_SLACK_MB))
    rows.append(("peak RSS, default run (MB)",
                 f"1 worker, {buffers_mb} MB of buffers; bare loop "
                 f"{ref_rss:.1f} MB", f"{own_rss:.1f} MB", "",
                 target_text + " MB", result))
    if sum_bench:
        rows += sum_rows(speed)
    else:
        rows.append(("sum kernel / naive byte loop", "4 MB buffer", "n/a", "",
                     f"≥ {SUM_MIN:g}", "skipped (no Google Benchmark)"))

    if fio:
        fio_note = subprocess.run([fio, "--version"], capture_output=True,
                                  text=True).stdout.strip()
    else:
        fio_note = "fio left out (missing or --no-fio)"
    print(f"iochurn benchmarks, {datetime.date.today()}, "
          f"{platform.node()}, {os.cpu_count()} CPUs, "
          f"Linux {platform.release()}, build {build_type}, "
          f"{rounds} rounds{' (quick)' if args.quick else ''}, {fio_note}, "
          f"load average {load_before} before / {load_after} after, "
          f"{minutes:.1f} min.")
    print()
    print_table(rows)
    print()
    print("Ratios are time / time (fio lines: fio's time over iochurn's); "
          "the sum lines are speed / speed. -y cases on the default "
          "directory run 16 MB x 5 passes (every 4 MB is flushed to the "
          "disk) and have no 1 GB case. Buffers are 4 MB, one file per "
          "worker.")
    failed = [c for c in cases if c.failed]
    misses = sum(1 for row in rows if row[5] in ("MISS", "FAIL"))
    if failed:
        print(f"\n{len(failed)} case(s) failed to run; see standard error.")
    if misses:
        print(f"\n{misses} line(s) miss their target.")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
