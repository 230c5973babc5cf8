"""When something goes wrong: the HUNG and SLOW lines (--diagnose), the
watchdog over deletes and flushes (-A --diagnose), the bound on -u's
clean-up, the sweep of a killed run's files, the pre-flight warnings and
the memory budget. Stuck calls come from the preload library (a delay in
the C library) or from the FUSE file system stalled in the kernel.
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import MB, notice, read_stderr_until

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import fusefault  # noqa: E402

LINE = re.compile(r"^Thread 0: (HUNG|SLOW) \[(\w+)\]: (?:(\d+) bytes at offset (\d+) "
                  r"of )?(\S+) for (\d+\.\d) s \(task \d+ state ([RSDT]) wchan \S+\)$")
GAVE_UP = "iochurn: clean-up stopped: no answer from the file system for 3 s\n"
BOUND = 8  # s: a second for a worker's lock, 3 without an answer, slack


class DiagnoseCase(harness.IochurnCase, harness.WatchedRunMixin):

    def run_watched(self, *args, env=None):
        """Runs to the end; returns (status, out, err, notices, pid)."""
        sink = self.notice_sink()
        proc = self.start_iochurn(*args, env=env, stdin=sink.file)
        status, out, err = self.finish(proc, timeout=60)
        return status, out, err, sink.text(), proc.pid

    def assertNamed(self, err, kind, op, path, offset=0, nbytes=None):
        """`err` holds one line naming the call, then only kernel frames.
        A call without a byte range (nbytes None) names none."""
        lines = err.splitlines()
        named = [LINE.match(l) for l in lines if LINE.match(l)]
        self.assertEqual(len(named), 1, err)
        byte_range = (None, None) if nbytes is None else (str(nbytes), str(offset))
        self.assertEqual(named[0].group(1, 2, 3, 4, 5), (kind, op) + byte_range + (path,))
        self.assertGreaterEqual(float(named[0].group(6)), 1.0)
        for line in lines[1:]:
            self.assertTrue(line.startswith("Thread 0:   "), err)


@harness.needs_fault_lib
class HungCalls(DiagnoseCase):

    def test_watchdog_names_the_write_it_caught_only_with_diagnose(self):
        # One 2 MB file in two chunks: the second write, at 1 MB, sleeps.
        env = harness.fault_env(op="write", nth=2, count=1, delay_ms=2500)
        args = ("-A", "-a", "1", "-O", "-o", "1", "-f", "2", "-s", "1")
        status, out, err, notices, pid = self.run_watched(*args, "--diagnose", env=env)
        self.assertEqual((status, notices), (0, notice(15)), err)
        self.assertNamed(err, "HUNG", "write", "%s/%d_0_0.DUMMY" % (self.workdir, pid),
                         offset=MB, nbytes=MB)
        self.assertNoFilesLeft()
        # The same run without it: the same output, not a word more.
        self.assertEqual(self.run_watched(*args, env=env)[:4],
                         (0, out, "", notice(15)))

    def test_wait_timeout_names_the_stuck_worker(self):
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=3500)
        status, out, err, notices, pid = self.run_watched(
            "-a", "1", "-f", "1", "-s", "1", "--diagnose", env=env)
        self.assertEqual((status, notices), (0, notice(15)), err)
        partial = ("iochurn: 1 of 1 workers had not ended; the summary counts "
                   "only the others\n")
        self.assertTrue(err.endswith(partial), err)
        self.assertNamed(err[:-len(partial)], "HUNG", "write",
                         "%s/%d_0_0.DUMMY" % (self.workdir, pid), nbytes=MB)
        self.assertNoFilesLeft()

    def test_delete_and_flush_are_guarded_with_diagnose(self):
        # A break in the write phase skips that pass's reads.
        for fault, op, extra, read in (("unlink", "unlink", (), MB),
                                       ("fdatasync", "sync", ("-y",), 0)):
            with self.subTest(op=op):
                env = harness.fault_env(op=fault, nth=1, count=1, delay_ms=2500)
                args = ("-A", "-a", "1", "-O", "-o", "1", "-f", "1", "-s", "1") + extra
                status, out, err, notices, pid = self.run_watched(
                    *args, "--diagnose", env=env)
                self.assertEqual((status, notices), (0, notice(15)), err)
                self.assertNamed(err, "HUNG", op,
                                 "%s/%d_0_0.DUMMY" % (self.workdir, pid))
                self.assertTrue(out.endswith(harness.summary(read, MB)), out)
                # Without it only reads and writes are watched.
                self.assertEqual(self.run_watched(*args, env=env)[2:4], ("", ""))
                self.assertNoFilesLeft()

    def test_slow_call_is_named_once_per_status_interval_run(self):
        env = harness.fault_env(op="write", nth=1, count=1, delay_ms=3500)
        status, out, err, notices, pid = self.run_watched(
            "--status-interval=1", "--diagnose", "-f", "1", "-s", "1", env=env)
        self.assertEqual(status, 0, err)
        err = "\n".join(l for l in err.splitlines() if not l.startswith("status:"))
        self.assertNamed(err, "SLOW", "write", "%s/%d_0_0.DUMMY" % (self.workdir, pid),
                         nbytes=MB)


@harness.needs_fault_lib
class EmergencyBound(DiagnoseCase):

    def test_u_ends_within_its_bound_while_deletes_hang(self):
        # Every delete sleeps a minute: the worker's own, in its clean-up
        # step (holding its lock), and the clean-up's.
        log = os.path.join(self.workdir, "faults.log")
        env = harness.fault_env(op="unlink", count=0, delay_ms=60000, log=log)
        sink = self.notice_sink()
        proc = self.start_iochurn("-u", "-n", "2", "-f", "1", "-s", "1",
                                  env=env, stdin=sink.file)
        harness.wait_for_file_text(log, "unlink 1")
        began = time.monotonic()
        proc.send_signal(signal.SIGINT)
        status, out, err = self.finish(proc, timeout=60)
        self.assertLess(time.monotonic() - began, BOUND)
        self.assertEqual((status, sink.text()), (1, notice(2)))
        names = ["%d_0_%d.DUMMY" % (proc.pid, j) for j in (0, 1)]
        self.assertEqual(err, GAVE_UP + "".join(
            "iochurn: may remain: %s/%s\n" % (self.workdir, n) for n in names))
        self.assertEqual(harness.dummy_files(self.workdir), names)


class StalledFileSystem(DiagnoseCase):

    def setUp(self):
        fusefault.require_fuse()
        super().setUp()

    def start_on_mount(self, *args, stall=None, stdin=subprocess.DEVNULL):
        self.fs = fusefault.FuseFault(stall=stall, stall_after=1 if stall else None,
                                      parent=harness.fast_dir(), deadline=120)
        self.fs.mount()
        self.addCleanup(self.fs.unmount)
        self.workdir = self.fs.mountpoint
        return self.start_iochurn(*args, stdin=stdin) if args else None

    def test_write_held_in_the_kernel_is_named(self):
        proc = self.start_on_mount("-A", "-a", "1", "-O", "-o", "1", "-f", "1",
                                   "-s", "1", "--diagnose", stall="write")
        err = read_stderr_until(proc, "HUNG")
        self.fs.release()
        status, _, rest = self.finish(proc)
        self.assertEqual(status, 0, err + rest)
        self.assertNamed(err + rest, "HUNG", "write",
                         "%s/%d_0_0.DUMMY" % (self.workdir, proc.pid), nbytes=MB)
        if os.geteuid() == 0:  # the frames show where in the kernel it waits
            self.assertIn("fuse", err.split("\n", 1)[1])
        self.assertNoFilesLeft()

    def test_u_ends_while_a_stalled_delete_holds_the_directory(self):
        sink = self.notice_sink()
        proc = self.start_on_mount("-u", "-f", "1", "-s", "1", stall="unlink",
                                   stdin=sink.file)
        self.fs.wait_for_log("stall")
        began = time.monotonic()
        proc.send_signal(signal.SIGINT)
        err = read_stderr_until(proc, "may remain: ")
        self.assertLess(time.monotonic() - began, BOUND)
        self.fs.release()  # the kernel holds the status until the call returns
        status, _, rest = self.finish(proc)
        self.assertEqual((status, sink.text()), (1, notice(2)))
        self.assertEqual(err + rest, GAVE_UP + "iochurn: may remain: %s/%d_0_0.DUMMY\n"
                         % (self.workdir, proc.pid))

    def test_sweep_only_lists_on_a_shared_file_system_unless_forced(self):
        self.start_on_mount()
        name = "%d_0_0.DUMMY" % dead_pid()
        open(os.path.join(self.workdir, name), "w").close()
        r = self.run_iochurn("--sweep", "-j", "-1")
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        self.assertEqual(r.stderr.splitlines()[0],
                         "iochurn: sweep: would delete %s/%s" % (self.workdir, name))
        self.assertIn("on FUSE the processes of other hosts cannot be seen", r.stderr)
        self.assertEqual(harness.dummy_files(self.workdir), [name])
        r = self.run_iochurn("--sweep=force", "-j", "-1")
        self.assertTrue(r.stderr.startswith("iochurn: sweep: deleted "), r.stderr)
        self.assertNoFilesLeft()


def dead_pid():
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


class Sweep(DiagnoseCase):

    @harness.needs_fault_lib
    def test_sweep_after_kill_9_deletes_exactly_the_leftovers(self):
        env = harness.fault_env(op="write", count=0, delay_ms=60000)
        proc = self.start_iochurn("-j", "2", "-n", "2", "-f", "1", "-s", "1", env=env)
        deadline = time.monotonic() + 30
        while len(harness.dummy_files(self.workdir)) < 4:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        proc.kill()
        proc.wait()
        leftovers = harness.dummy_files(self.workdir)
        # Beside them: a live process's file, evidence kept on purpose, an
        # unrelated file, and a link named like a leftover.
        live = subprocess.Popen(["sleep", "60"])
        self.addCleanup(live.wait)
        self.addCleanup(live.kill)
        target = tempfile.NamedTemporaryFile(suffix="_6_0.DUMMY")
        self.addCleanup(target.close)
        keep = ["%d_0_0.DUMMY" % live.pid, "%d_0_0.DUMMY.1.failed" % proc.pid,
                "notes.txt", "%d_5_0.DUMMY" % proc.pid]
        for name in keep[:3]:
            open(os.path.join(self.workdir, name), "w").close()
        os.symlink(target.name, os.path.join(self.workdir, keep[3]))

        r = self.run_iochurn("--sweep", "-j", "-1")
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        said = r.stderr.splitlines()
        self.assertEqual(sorted(said[:-1]), sorted(
            ["iochurn: sweep: deleted %s/%s" % (self.workdir, n) for n in leftovers]
            + ["iochurn: sweep: kept %s/%s: process %d is running"
               % (self.workdir, keep[0], live.pid)]))
        self.assertEqual(said[-1], "iochurn: sweep: 4 files deleted, 1 kept in %s"
                         % self.workdir)
        self.assertEqual(sorted(os.listdir(self.workdir)), sorted(keep))
        self.assertTrue(os.path.exists(target.name))


class Preflight(DiagnoseCase):

    def test_directory_and_pass_log_warnings_only_with_diagnose(self):
        missing = os.path.join(self.workdir, "missing")
        log = os.path.join(missing, "pass.log")
        args = ("-t", missing, "-L", log, "-n", "2", "-f", "1", "-s", "1")
        plain = self.run_iochurn(*args, workdir=False)
        told = self.run_iochurn(*args, "--diagnose", workdir=False)
        self.assertEqual((told.returncode, told.stdout), (plain.returncode, plain.stdout))
        lines = told.stderr.splitlines(True)
        self.assertEqual(lines[:2], [
            "iochurn: warning: the working directory %s cannot be used (No such "
            "file or directory): every open will fail\n" % missing,
            "iochurn: warning: the pass log %s cannot be opened for appending "
            "(No such file or directory): no pass will be logged\n" % log])
        # The rest is what the run says anyway, its process id aside.
        self.assertEqual(re.sub(r"/\d+_", "/", "".join(lines[2:])),
                         re.sub(r"/\d+_", "/", plain.stderr))
        self.assertIn("ERR [open]", plain.stderr)

    def test_memory_warning_and_allocations_past_the_budget(self):
        r = self.run_iochurn("--diagnose", "--memory-budget=2", "-n", "4",
                             "-f", "1", "-s", "1")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr,
                         "iochurn: warning: the buffers of this run take 4 MB at "
                         "once (1 workers x 4 files x 1 MB), more than the memory "
                         "budget of 2 MB: allocations past it will fail as "
                         "ERR [malloc]\n" + "".join(
                             "Thread 0: ERR [malloc]: Cannot allocate memory for "
                             "buffer %d\n" % j for j in (2, 3)))
        self.assertTrue(r.stdout.endswith(harness.summary(2 * MB, 2 * MB, 0, 2)))
        self.assertNoFilesLeft()
        r = self.run_iochurn("--diagnose", "--memory-budget=4", "-n", "4",
                             "-f", "1", "-s", "1")
        self.assertEqual((r.returncode, r.stderr), (0, ""))

    @unittest.skipUnless(os.geteuid() == 0, "mounting a small tmpfs needs root")
    def test_space_warning_on_a_small_file_system(self):
        mnt = os.path.join(self.workdir, "small")
        os.mkdir(mnt)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=20m", "tmpfs", mnt],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", mnt])
        r = self.run_iochurn("-t", mnt, "--diagnose", "-j", "2", "-f", "16", "-s", "1",
                             workdir=False)
        self.assertTrue(r.stderr.startswith(
            "iochurn: warning: the first pass writes 32 MB (2 workers x 1 files "
            "x 16 MB), more than the 20 MB free in %s: writes will fail with "
            "\"No space left on device\"\n" % mnt), r.stderr)
        self.assertIn("ERR [write]: No space left on device", r.stderr)
        r = self.run_iochurn("-t", mnt, "--diagnose", "-f", "16", "-s", "1",
                             workdir=False)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        self.assertNoFilesLeft(mnt)


if __name__ == "__main__":
    unittest.main()
