"""Diagnostics when something goes wrong: the HUNG line that names a stuck
call (--diagnose), the sweep of a killed run's files (--sweep), the watchdog
over open, flush, close and delete (-A --diagnose), the bound on the
clean-ups (always), the pre-flight warnings (--diagnose) and the memory
budget (always).

Stuck calls come from the preload library (a delay in the C library) or
from the FUSE file system stalled in the kernel; FUSE cases are skipped
where it cannot be mounted.
"""
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import MB, notice

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import fusefault  # noqa: E402

LINE = re.compile(r"^Thread (\d+): (HUNG|SLOW) \[(\w+)\]: (\d+) bytes at offset "
                  r"(\d+) of (\S+) for (\d+\.\d) s \(task (\d+) state (\S) "
                  r"wchan (\S+)\)$")
GAVE_UP = "iochurn: clean-up stopped: no answer from the file system for 3 s\n"
# Seconds a bounded clean-up may take at most: a second for a worker's
# lock, three without an answer, and room for a busy machine.
BOUND = 8


def hung_lines(stderr):
    """The HUNG and SLOW lines of `stderr`, each as its regex match."""
    return [m for m in map(LINE.match, stderr.splitlines()) if m]


def read_stderr_until(proc, needle, timeout=30):
    """Reads the child's stderr until `needle` appears; returns the text."""
    seen = b""
    deadline = time.monotonic() + timeout
    fd = proc.stderr.fileno()
    while needle.encode() not in seen:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("no %r on stderr; got %r" % (needle, seen[-800:]))
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError("stderr ended before %r; got %r"
                                     % (needle, seen[-800:]))
            seen += chunk
    return seen.decode(errors="replace")


def is_root():
    return os.geteuid() == 0


class DiagnoseCase(harness.IochurnCase, harness.WatchedRunMixin):

    def run_watched(self, *args, env=None, timeout=60):
        """Runs to the end with a notice sink; returns (status, out, err,
        sink, pid)."""
        sink = self.notice_sink()
        proc = self.start_iochurn(*args, env=env, stdin=sink.file)
        status, out, err = self.finish(proc, timeout=timeout)
        return status, out, err, sink, proc.pid

    def assertNamed(self, match, op, path, offset=0, nbytes=0, thread=0,
                    at_least=1.0):
        self.assertEqual(match.group(2), "HUNG")
        self.assertEqual(int(match.group(1)), thread)
        self.assertEqual(match.group(3), op)
        self.assertEqual(int(match.group(4)), nbytes)
        self.assertEqual(int(match.group(5)), offset)
        self.assertEqual(match.group(6), path)
        self.assertGreaterEqual(float(match.group(7)), at_least)
        self.assertGreater(int(match.group(8)), 0)
        self.assertIn(match.group(9), "RSDT")

    def assertOnlyStackFollows(self, err, thread=0):
        """Every line after the HUNG line is a prefixed kernel frame."""
        lines = err.splitlines()
        for line in lines[1:]:
            self.assertTrue(line.startswith("Thread %d:   " % thread), err)


@harness.needs_fault_lib
class HungTransfers(DiagnoseCase):

    def test_watchdog_names_the_write_it_caught(self):
        # One 2 MB file in two chunks: the second write, at 1 MB, sleeps.
        env = harness.fault_env(op="write", nth=2, count=1, delay_ms=2500)
        args = ("-A", "-a", "1", "-O", "-o", "1", "-f", "2", "-s", "1")
        status, out, err, sink, pid = self.run_watched(*args, "--diagnose",
                                                       env=env)
        self.assertEqual(status, 0, err)
        found = hung_lines(err)
        self.assertEqual(len(found), 1, err)
        self.assertNamed(found[0], "write",
                         "%s/%d_0_0.DUMMY" % (self.workdir, pid),
                         offset=MB, nbytes=MB)
        self.assertTrue(err.startswith(found[0].group(0) + "\n"), err)
        self.assertOnlyStackFollows(err)
        self.assertEqual(sink.text(), notice(15))
        self.assertNoFilesLeft()
        # Without --diagnose: the same run, the same notice, not a word more.
        status, out2, err, sink, pid = self.run_watched(*args, env=env)
        self.assertEqual(status, 0)
        self.assertEqual(err, "")
        self.assertEqual(out2, out)
        self.assertEqual(sink.text(), notice(15))

    def test_wait_timeout_names_the_stuck_worker(self):
        # No watchdog: the wait on the worker (twice -a) runs out first.
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=3500)
        status, out, err, sink, pid = self.run_watched(
            "-a", "1", "-f", "1", "-s", "1", "--diagnose", env=env)
        self.assertEqual(status, 0, err)
        found = hung_lines(err)
        self.assertEqual(len(found), 1, err)
        self.assertNamed(found[0], "write",
                         "%s/%d_0_0.DUMMY" % (self.workdir, pid),
                         nbytes=MB, at_least=1.0)
        self.assertEqual(sink.text(), notice(15))
        self.assertTrue(out.endswith(harness.summary(0, 0)), out)
        self.assertNoFilesLeft()

    def test_diagnose_guards_delete_and_flush_like_transfers(self):
        # A break in the write phase skips that pass's reads.
        for fault, op, extra, read in (("unlink", "unlink", (), MB),
                                       ("fdatasync", "sync", ("-y",), 0)):
            with self.subTest(op=op):
                env = harness.fault_env(op=fault, nth=1, count=1, delay_ms=2500)
                args = ("-A", "-a", "1", "-O", "-o", "1", "-f", "1", "-s",
                        "1") + extra
                status, out, err, sink, pid = self.run_watched(
                    *args, "--diagnose", env=env)
                self.assertEqual(status, 0, err)
                found = hung_lines(err)
                self.assertEqual(len(found), 1, err)
                self.assertNamed(found[0], op,
                                 "%s/%d_0_0.DUMMY" % (self.workdir, pid))
                self.assertEqual(sink.text(), notice(15))
                self.assertTrue(out.endswith(harness.summary(read, MB)), out)
                self.assertNoFilesLeft()
                # Only reads and writes are watched without it.
                status, out, err, sink, pid = self.run_watched(*args, env=env)
                self.assertEqual((status, err, sink.text()), (0, "", ""))
                self.assertNoFilesLeft()


class FuseDiagnoseCase(DiagnoseCase):

    def setUp(self):
        fusefault.require_fuse()
        super().setUp()

    def mount(self, **options):
        m = fusefault.FuseFault(parent=harness.fast_dir(), deadline=120,
                                **options)
        m.mount()
        self.addCleanup(m.unmount)
        return m

    def start_on(self, m, *args, stdin=subprocess.DEVNULL):
        argv = [harness.BIN, "-t", m.mountpoint] + list(args)
        proc = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.addCleanup(self._reap, proc)
        return proc


class StalledFileSystem(FuseDiagnoseCase):

    def test_write_held_in_the_kernel_is_named(self):
        m = self.mount(stall="write", stall_after=1)
        proc = self.start_on(m, "-A", "-a", "1", "-O", "-o", "1", "-f", "1",
                             "-s", "1", "--diagnose")
        err = read_stderr_until(proc, "HUNG")
        err += read_stderr_until(proc, "\n") if not err.endswith("\n") else ""
        m.release()
        status, _, rest = self.finish(proc, timeout=60)
        err += rest
        self.assertEqual(status, 0, err)
        found = hung_lines(err)
        self.assertEqual(len(found), 1, err)
        self.assertNamed(found[0], "write",
                         "%s/%d_0_0.DUMMY" % (m.mountpoint, proc.pid), nbytes=MB)
        if is_root():
            # The frames show where in the kernel it waits.
            self.assertIn("fuse", err[len(found[0].group(0)):], err)
        self.assertNoFilesLeft(m.mountpoint)

    def test_end_of_run_deletion_is_bounded(self):
        # The wait on the worker runs out while its write is held; deleting
        # its file then waits on the same file: the run ends anyway.
        m = self.mount(stall="write", stall_after=1)
        began = time.monotonic()
        proc = self.start_on(m, "-a", "1", "-f", "1", "-s", "1")
        err = read_stderr_until(proc, "iochurn: may remain: ", timeout=30)
        self.assertLess(time.monotonic() - began, 2 + BOUND)
        m.release()  # the kernel holds the status until the write returns
        status, out, rest = self.finish(proc, timeout=60)
        err += rest
        self.assertEqual(status, 0, err)
        self.assertIn(GAVE_UP, err)
        self.assertIn("iochurn: may remain: %s/%d_0_0.DUMMY\n"
                      % (m.mountpoint, proc.pid), err)
        self.assertTrue(out.endswith(harness.summary(0, 0)), out)

    def test_u_ends_while_a_stalled_delete_holds_the_directory(self):
        m = self.mount(stall="unlink", stall_after=1)
        sink = self.notice_sink()
        proc = self.start_on(m, "-u", "-f", "1", "-s", "1", stdin=sink.file)
        m.wait_for_log("stall")
        began = time.monotonic()
        proc.send_signal(signal.SIGINT)
        err = read_stderr_until(proc, "iochurn: may remain: ", timeout=30)
        self.assertLess(time.monotonic() - began, BOUND)
        m.release()
        status, _, rest = self.finish(proc, timeout=60)
        err += rest
        self.assertEqual(status, 1, err)
        self.assertIn(GAVE_UP, err)
        self.assertIn("iochurn: may remain: %s/%d_0_0.DUMMY\n"
                      % (m.mountpoint, proc.pid), err)
        self.assertEqual(sink.text(), notice(2))

    def test_sweep_only_lists_on_a_shared_file_system_unless_forced(self):
        m = self.mount()
        dead = dead_pid()
        name = "%d_0_0.DUMMY" % dead
        open(os.path.join(m.mountpoint, name), "w").close()
        r = subprocess.run([harness.BIN, "--sweep", "-t", m.mountpoint, "-j", "-1"],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        self.assertEqual(r.stderr.splitlines()[0],
                         "iochurn: sweep: would delete %s/%s" % (m.mountpoint, name))
        self.assertIn("on FUSE the processes of other hosts cannot be seen", r.stderr)
        self.assertEqual(harness.dummy_files(m.mountpoint), [name])
        r = subprocess.run([harness.BIN, "--sweep=force", "-t", m.mountpoint, "-j", "-1"],
                           capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0)
        self.assertIn("iochurn: sweep: deleted %s/%s\n" % (m.mountpoint, name), r.stderr)
        self.assertEqual(harness.dummy_files(m.mountpoint), [])


def dead_pid():
    """The id of a process that has certainly ended."""
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


class Sweep(DiagnoseCase):

    @harness.needs_fault_lib
    def test_sweep_after_kill_9_deletes_exactly_the_leftovers(self):
        env = harness.fault_env(op="write", nth=1, count=0, delay_ms=60000)
        proc = self.start_iochurn("-j", "2", "-n", "2", "-f", "1", "-s", "1",
                                  env=env)
        deadline = time.monotonic() + 30
        while len(harness.dummy_files(self.workdir)) < 4:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        proc.kill()
        proc.wait()
        leftovers = harness.dummy_files(self.workdir)
        dead = proc.pid

        live = subprocess.Popen(["sleep", "60"])
        self.addCleanup(live.wait)
        self.addCleanup(live.kill)
        live_name = "%d_0_0.DUMMY" % live.pid
        failed = "%d_0_0.DUMMY.1.failed" % dead
        link = "%d_5_0.DUMMY" % dead
        elsewhere = tempfile.mkdtemp(prefix="iochurn-target-")
        self.addCleanup(shutil.rmtree, elsewhere, True)
        target = os.path.join(elsewhere, "%d_6_0.DUMMY" % dead)
        for path in (live_name, failed, "notes.txt"):
            open(os.path.join(self.workdir, path), "w").close()
        open(target, "w").close()
        os.symlink(target, os.path.join(self.workdir, link))

        r = self.run_iochurn("--sweep", "-j", "-1")
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        lines = r.stderr.splitlines()
        self.assertEqual(sorted(lines[:-1]), sorted(
            ["iochurn: sweep: deleted %s/%s" % (self.workdir, n) for n in leftovers]
            + ["iochurn: sweep: kept %s/%s: process %d is running"
               % (self.workdir, live_name, live.pid)]))
        self.assertEqual(lines[-1], "iochurn: sweep: 4 files deleted, 1 kept in %s"
                         % self.workdir)
        self.assertEqual(sorted(os.listdir(self.workdir)),
                         sorted([live_name, failed, link, "notes.txt"]))
        self.assertTrue(os.path.exists(target))

        # Before a run, the run follows as asked.
        os.unlink(os.path.join(self.workdir, live_name))
        old = "%d_1_0.DUMMY" % dead
        open(os.path.join(self.workdir, old), "w").close()
        r = self.run_iochurn("--sweep", "-f", "1", "-s", "1")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.endswith(harness.summary(MB, MB)), r.stdout)
        self.assertEqual(r.stderr, "iochurn: sweep: deleted %s/%s\n"
                         "iochurn: sweep: 1 files deleted, 0 kept in %s\n"
                         % (self.workdir, old, self.workdir))
        self.assertEqual(harness.dummy_files(self.workdir), [link])


@harness.needs_fault_lib
class EmergencyBound(DiagnoseCase):

    def test_u_ends_within_its_bound_while_deletions_hang(self):
        # Every delete sleeps a minute: the worker's own, in its clean-up
        # step (holding its lock), and the emergency clean-up's.
        log = os.path.join(self.workdir, "faults.log")
        env = harness.fault_env(op="unlink", nth=1, count=0, delay_ms=60000,
                                log=log)
        sink = self.notice_sink()
        proc = self.start_iochurn("-u", "-n", "2", "-f", "1", "-s", "1",
                                  env=env, stdin=sink.file)
        harness.wait_for_file_text(log, "unlink 1")
        began = time.monotonic()
        proc.send_signal(signal.SIGINT)
        status, out, err = self.finish(proc, timeout=60)
        self.assertLess(time.monotonic() - began, BOUND)
        self.assertEqual(status, 1, err)
        self.assertEqual(sink.text(), notice(2))
        names = ["%d_0_%d.DUMMY" % (proc.pid, j) for j in (0, 1)]
        self.assertEqual(err, GAVE_UP + "".join(
            "iochurn: may remain: %s/%s\n" % (self.workdir, n) for n in names))
        self.assertEqual(harness.dummy_files(self.workdir), names)

    def test_u_deletes_by_name_what_a_stuck_worker_holds(self):
        # Only the worker's first delete sleeps: the clean-up gets past the
        # lock it holds and deletes both files in time.
        log = os.path.join(self.workdir, "faults.log")
        env = harness.fault_env(op="unlink", nth=1, count=1, delay_ms=60000,
                                log=log)
        proc = self.start_iochurn("-u", "-n", "2", "-f", "1", "-s", "1", env=env)
        harness.wait_for_file_text(log, "unlink 1")
        began = time.monotonic()
        proc.send_signal(signal.SIGINT)
        status, out, err = self.finish(proc, timeout=60)
        self.assertLess(time.monotonic() - began, BOUND)
        self.assertEqual((status, err), (1, ""))
        self.assertNoFilesLeft()


class Preflight(DiagnoseCase):

    def test_directory_and_pass_log_warnings_only_with_diagnose(self):
        missing = os.path.join(self.workdir, "missing")
        log = os.path.join(self.workdir, "nodir", "pass.log")
        args = ("-t", missing, "-L", log, "-n", "2", "-f", "1", "-s", "1")
        plain = self.run_iochurn(*args, workdir=False)
        told = self.run_iochurn(*args, "--diagnose", workdir=False)
        self.assertEqual((told.returncode, told.stdout),
                         (plain.returncode, plain.stdout))
        warnings = [
            "iochurn: warning: the working directory %s cannot be used (No such "
            "file or directory): every open will fail" % missing,
            "iochurn: warning: the pass log %s cannot be opened for appending "
            "(No such file or directory): no pass will be logged" % log]
        lines = told.stderr.splitlines()
        self.assertEqual(lines[:2], warnings)
        # The rest is what the run says anyway (its process id aside).
        strip = lambda text: re.sub(r"/\d+_", "/PID_", text)
        self.assertEqual(strip("\n".join(lines[2:]) + "\n"), strip(plain.stderr))
        self.assertIn("ERR [open]", plain.stderr)
        self.assertFalse(os.path.exists(os.path.dirname(log)))

    def test_memory_warning_and_the_budget(self):
        r = self.run_iochurn("--diagnose", "--memory-budget=1", "-n", "2",
                             "-f", "1", "-s", "1")
        self.assertEqual(r.stderr,
                         "iochurn: warning: the buffers of this run take 2 MB at "
                         "once (1 workers x 2 files x 1 MB), more than the memory "
                         "budget of 1 MB: allocations past it will fail as "
                         "ERR [malloc]\n"
                         "Thread 0: ERR [malloc]: Cannot allocate memory for buffer 1\n")
        r = self.run_iochurn("--diagnose", "--memory-budget=2", "-n", "2",
                             "-f", "1", "-s", "1")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertTrue(r.stdout.endswith(harness.summary(2 * MB, 2 * MB)))

    @unittest.skipUnless(is_root(), "mounting a small tmpfs needs root")
    def test_space_warning_on_a_small_file_system(self):
        mnt = os.path.join(self.workdir, "small")
        os.mkdir(mnt)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=20m", "tmpfs", mnt],
                           capture_output=True, text=True)
        if r.returncode != 0:
            self.skipTest("cannot mount tmpfs: " + r.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", "-l", mnt])
        r = self.run_iochurn("-t", mnt, "--diagnose", "-j", "2", "-f", "16",
                             "-s", "1", workdir=False)
        self.assertTrue(r.stderr.startswith(
            "iochurn: warning: the first pass writes 32 MB (2 workers x 1 files "
            "x 16 MB), more than the 20 MB free in %s: writes will fail with "
            "\"No space left on device\"\n" % mnt), r.stderr)
        self.assertIn("ERR [write]: No space left on device", r.stderr)
        self.assertNoFilesLeft(mnt)
        r = self.run_iochurn("-t", mnt, "--diagnose", "-f", "16", "-s", "1",
                             workdir=False)
        self.assertEqual((r.returncode, r.stderr), (0, ""))


class MemoryBudget(DiagnoseCase):

    def test_buffers_past_the_budget_fail_as_allocations_do(self):
        r = self.run_iochurn("--memory-budget=2", "-n", "4", "-f", "1", "-s", "1")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr, "".join(
            "Thread 0: ERR [malloc]: Cannot allocate memory for buffer %d\n" % j
            for j in (2, 3)))
        self.assertTrue(r.stdout.endswith(harness.summary(2 * MB, 2 * MB, 0, 2)),
                        r.stdout)
        self.assertNoFilesLeft()

    @unittest.skipUnless(is_root(), "a memory cgroup of its own needs root")
    def test_a_small_cgroup_degrades_instead_of_being_killed(self):
        group = make_memory_cgroup(self, 256 * MB)

        def enter():
            with open(os.path.join(group, "cgroup.procs"), "w") as f:
                f.write("0")

        # 100 buffers of 4 MB cannot all fit in 256 MB.
        args = ("-n", "100", "-f", "1", "-s", "4")
        r = self.run_iochurn(*args, preexec_fn=enter)
        self.assertEqual(r.returncode, 0, r.stderr[-500:])
        failed = r.stderr.count("ERR [malloc]: Cannot allocate memory")
        self.assertGreater(failed, 0)
        self.assertLess(failed, 100)
        self.assertEqual(harness.parse_summary(r.stdout)[3], failed)
        self.assertNoFilesLeft()
        # Without the budget the same run is ended by the kernel instead.
        r = self.run_iochurn(*args, "--memory-budget=0", preexec_fn=enter)
        self.assertEqual(r.returncode, -signal.SIGKILL)


def make_memory_cgroup(case, limit):
    """A memory cgroup (v1 or v2) limited to `limit` bytes, removed at the
    end of the test; skips the test where none can be made."""
    candidates = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            sep = fields.index("-")
            fstype, opts = fields[sep + 1], fields[sep + 3] if len(fields) > sep + 3 else ""
            if fstype == "cgroup" and "memory" in opts.split(","):
                candidates.append((fields[4], "memory.limit_in_bytes"))
            elif fstype == "cgroup2":
                try:
                    with open(os.path.join(fields[4], "cgroup.subtree_control")) as c:
                        if "memory" in c.read().split():
                            candidates.append((fields[4], "memory.max"))
                except OSError:
                    pass
    for root, limit_file in candidates:
        group = os.path.join(root, "iochurn-test-%d" % os.getpid())
        try:
            os.mkdir(group)
        except OSError:
            continue
        case.addCleanup(os.rmdir, group)
        try:
            with open(os.path.join(group, limit_file), "w") as f:
                f.write(str(limit))
        except OSError:
            continue
        return group
    case.skipTest("no memory cgroup can be made here")


if __name__ == "__main__":
    unittest.main()
