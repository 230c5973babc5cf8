"""Block verification proven through the kernel.

A FUSE file system (tests/fusefault) passes I/O through to a backing
directory with direct_io, so every read and write reaches it, and damages
chosen blocks of the work files on the way, one kind of fault per mount,
logging each. With --verify=blocks every logged fault must come back as a
report naming its kind, file and offset, and nothing else may be reported.

The injection machinery is first proven on its own: a probe writes and reads
self-describing blocks the way the program does and must see exactly the
damage the log claims. Skipped only where /dev/fuse is missing (or the file
system was not built); IOCHURN_REQUIRE_FUSE=1 makes that a failure.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from harness import IochurnCase

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import fusefault  # noqa: E402
import verify_faults as vf  # noqa: E402

MB = 1 << 20
KINDS = ["flip", "zero-read", "undelivered", "drop-write", "misdirect", "swap",
         "misplace", "stale", "foreign"]
# Two workers x four 4 MB files x three passes, 1 MB buffers.
SHAPE = ["-j", "2", "-n", "4", "-f", "4", "-s", "1", "-p", "3"]
PROBE = [sys.executable, vf.__file__, "probe"]


def faulted_files(kind, files):
    """Every incarnation of every file takes one fault, except that the
    first pass has no earlier one to take a stale block from."""
    return files * 2 // 3 if kind == "stale" else files


class FuseCase(IochurnCase):
    """A test whose working directory is a fresh fusefault mount."""

    def setUp(self):
        fusefault.require_fuse()

    def mount(self, fault="none", deadline=300, **options):
        m = fusefault.FuseFault(fault, parent=harness.fast_dir(),
                                deadline=deadline, **options)
        m.mount()
        self.addCleanup(m.unmount)
        self.workdir = m.mountpoint
        return m

    def assertNothingLeft(self, m):
        self.assertNoFilesLeft(m.mountpoint)
        self.assertEqual(os.listdir(m.backing), [])


class FuseInjection(FuseCase):
    """The file system damages exactly what it logs, and only that."""

    def probe(self, m, threads=2, slots=2, passes=3, size=4 * MB):
        r = subprocess.run(PROBE + [m.mountpoint, str(threads), str(slots),
                                    str(passes), str(size), str(MB)],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        return vf.parse_probe(r.stdout)

    def test_each_kind_damages_what_it_logs(self):
        for kind in KINDS + ["none"]:
            with self.subTest(kind=kind):
                m = self.mount(kind, span=4 * MB)
                seen = self.probe(m)
                lines = m.log_lines()
                want = 0 if kind == "none" else faulted_files(kind, 2 * 2 * 3)
                self.assertEqual(len(lines), want, lines)
                self.assertEqual(vf.match(vf.expected_fuse(lines), seen), [])
                self.assertNothingLeft(m)
                m.unmount()

    def test_stale_blocks_come_only_from_earlier_passes(self):
        # The first incarnation of a name has nothing earlier to give: only
        # the second and third passes take stale blocks, from the pass before.
        m = self.mount("stale", count=2, span=4 * MB)
        seen = self.probe(m)
        lines = m.log_lines()
        self.assertEqual(len(lines), 2 * 2 * 2 * 2)
        self.assertEqual(vf.match(vf.expected_fuse(lines), seen), [])
        self.assertEqual(sorted({b.found["pass"] for b in seen}), ["1", "2"])
        self.assertNothingLeft(m)

    def test_bad_setting_refuses_to_mount(self):
        # A typo must not mount a file system that quietly injects nothing.
        for option in ["--fault=flipp", "--block=64", "--block=3000", "--count=17"]:
            with self.subTest(option=option):
                r = subprocess.run([fusefault.BIN, option, "/nonexistent", "/nonexistent"],
                                   capture_output=True, text=True, timeout=30)
                self.assertEqual(r.returncode, 2)
                self.assertRegex(r.stderr, r"^fusefault: bad --(fault|block|count)")

    def test_count_and_span_place_the_faults(self):
        m = self.mount("drop-write", count=3, span=MB)
        seen = self.probe(m, threads=1, slots=2, passes=2)
        lines = m.log_lines()
        self.assertEqual(len(lines), 3 * 2 * 2)
        self.assertEqual(vf.match(vf.expected_fuse(lines), seen), [])
        by_file = {}
        for fields in lines:
            by_file.setdefault(fields[1], []).append(int(fields[2]))
        segment = MB // 4096 // 3
        for offsets in by_file.values():
            # Never the first block of the span, never past it.
            self.assertTrue(all(4096 <= o < MB - 4096 for o in offsets), offsets)
            # Each incarnation of a name (one pass: its three faults come
            # together in the log) puts one fault in each third of the span;
            # two incarnations may well pick the same blocks.
            for k in range(0, len(offsets), 3):
                thirds = sorted(o // 4096 // segment for o in offsets[k:k + 3])
                self.assertEqual(thirds, [0, 1, 2], offsets)


# One call of each kind on a .DUMMY file, then one line "done".
STALL_CALLER = r"""
import os, sys
path = sys.argv[1]
fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
os.write(fd, b"x" * 65536)
os.fdatasync(fd)
os.lseek(fd, 0, os.SEEK_SET)
os.read(fd, 65536)
os.close(fd)
os.unlink(path)
print("done")
"""


class FuseStall(FuseCase):
    """A stalled call waits for its release; a deadline frees it anyway."""

    def start_caller(self, m):
        path = os.path.join(m.mountpoint, "1_0_0.DUMMY")
        proc = subprocess.Popen([sys.executable, "-c", STALL_CALLER, path],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(self._reap, proc)
        return proc, path

    def test_each_operation_stalls_until_released(self):
        for op in ["open", "write", "fsync", "read", "close", "unlink"]:
            with self.subTest(op=op):
                m = self.mount(stall=op, stall_after=1, deadline=60)
                proc, path = self.start_caller(m)
                offset = "0"
                self.assertEqual(m.wait_for_log("stall"), ["stall", op, path, offset])
                time.sleep(0.3)
                self.assertIsNone(proc.poll(), "the %s call did not wait" % op)
                m.release()
                out, err = proc.communicate(timeout=30)
                self.assertEqual((proc.returncode, out), (0, "done\n"), err)
                self.assertNothingLeft(m)
                m.unmount()

    def test_later_call_is_chosen_and_logged_with_its_offset(self):
        # The program's pattern: the third write of a file, 64 KiB each.
        m = self.mount(stall="write", stall_after=3, deadline=60)
        path = os.path.join(m.mountpoint, "1_0_0.DUMMY")
        code = ("import os,sys\nfd=os.open(sys.argv[1],os.O_WRONLY|os.O_CREAT,0o644)\n"
                "for i in range(4): os.write(fd, b'y'*65536)\nos.close(fd)\n"
                "os.unlink(sys.argv[1])\n")
        proc = subprocess.Popen([sys.executable, "-c", code, path],
                                stderr=subprocess.PIPE, text=True)
        self.addCleanup(self._reap, proc)
        self.assertEqual(m.wait_for_log("stall"), ["stall", "write", path, str(2 * 65536)])
        m.release()
        self.assertEqual(proc.wait(timeout=30), 0)

    def test_deadline_aborts_a_stalled_mount(self):
        # Never released: the deadline must abort the connection, which
        # fails the waiting call, and take the mount and the daemon away.
        m = self.mount(stall="fsync", stall_after=1, deadline=2)
        proc, _ = self.start_caller(m)
        m.wait_for_log("stall")
        out, err = proc.communicate(timeout=60)
        self.assertNotEqual(proc.returncode, 0)
        self.assertIn("Error", err)
        self.assertTrue(m.aborted)
        # The caller is free once the connection is aborted; the unmount and
        # the end of the daemon follow.
        m.daemon.wait(timeout=30)
        self.assertIsNone(fusefault._mount_device(m.mountpoint))

    def test_mounts_go_away_without_the_mount_tools(self):
        # A minimal root has fusermount3 (with libfuse) but no umount: the
        # deadline's abort and the plain unmount must not need it.
        tools = tempfile.mkdtemp(prefix="fusefault-path-")
        self.addCleanup(shutil.rmtree, tools, True)
        found = shutil.which("fusermount3")
        if found:
            os.symlink(found, os.path.join(tools, "fusermount3"))
        saved = os.environ["PATH"]
        self.addCleanup(os.environ.__setitem__, "PATH", saved)
        os.environ["PATH"] = tools
        m = self.mount(stall="fsync", stall_after=1, deadline=2)
        proc, _ = self.start_caller(m)
        m.wait_for_log("stall")
        proc.communicate(timeout=60)
        m.daemon.wait(timeout=30)
        deadline = time.monotonic() + 10
        while fusefault._mount_device(m.mountpoint) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertIsNone(fusefault._mount_device(m.mountpoint))
        m = self.mount()
        m.unmount()
        self.assertIsNone(fusefault._mount_device(m.mountpoint))
        self.assertFalse(os.path.exists(m.root))


class FuseVerify(FuseCase, vf.ReportChecks):
    """The program's block verification against every kind of fault."""

    def test_every_fault_is_reported_where_it_was_made(self):
        for kind in KINDS:
            for extra in ([], ["-r"], ["-m"]):
                with self.subTest(kind=kind, options=extra):
                    m = self.mount(kind, span=4 * MB)
                    r = self.run_iochurn("--verify=blocks", *SHAPE, *extra, timeout=240)
                    lines = m.log_lines()
                    self.assertEqual(len(lines), faulted_files(kind, 2 * 4 * 3), lines)
                    # One fault per damaged file: each is one compare error.
                    self.assertReportsMatch(r, vf.expected_fuse(lines), len(lines))
                    self.assertNothingLeft(m)
                    m.unmount()

    def test_a_read_that_delivers_nothing_is_caught_with_direct_io(self):
        # With O_DIRECT the buffer the kernel fills is the program's aligned
        # one, poisoned before each read.
        m = self.mount("undelivered", span=4 * MB)
        r = self.run_iochurn("--verify=blocks", "-d", *SHAPE, timeout=240)
        if "Invalid argument" in r.stderr and "ERR [open]" in r.stderr:
            self.skipTest("O_DIRECT is refused here")
        lines = m.log_lines()
        self.assertEqual(len(lines), 2 * 4 * 3, lines)
        self.assertReportsMatch(r, vf.expected_fuse(lines), len(lines))
        self.assertNothingLeft(m)

    def test_clean_runs_report_nothing(self):
        runs = [
            # Many workers, tiny files, many passes.
            ["-j", "24", "-n", "6", "-f", "1", "-s", "1", "-p", "4"],
            ["-d"] + SHAPE,
            ["-m", "-r"] + SHAPE,
        ]
        for args in runs:
            with self.subTest(options=args):
                m = self.mount("none")
                r = self.run_iochurn("--verify=blocks", *args, timeout=300)
                self.assertEqual(r.stderr, "")
                self.assertEqual(r.returncode, 0)
                totals = vf.parse_summary_of(r.stdout)
                self.assertIsNotNone(totals, r.stdout[-500:])
                self.assertEqual(totals[2:], (0, 0))
                self.assertEqual(totals[0], totals[1])
                self.assertNothingLeft(m)
                m.unmount()


if __name__ == "__main__":
    unittest.main()
