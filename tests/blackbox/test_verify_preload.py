"""Block verification against data faults injected by the preload library.

FAULT_CORRUPT makes chosen reads of the work files come back damaged (see
tests/fault/fault_inject.c), each damage logged with file and offset. Unlike
the FUSE file system this reaches every machine, and it alone can make a read
report bytes it never delivered. With --verify=blocks every logged fault must
come back as a report naming its kind, file and offset, and nothing else.

The injection is first proven on its own, with a probe that writes and reads
self-describing blocks the way the program does.
"""
import os
import subprocess
import sys
import unittest

import harness
from harness import IochurnCase

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import verify_faults as vf  # noqa: E402

MB = 1 << 20
KINDS = ["flip", "zero", "undelivered", "swap", "misplace", "stale", "foreign"]
# Two workers x four 4 MB files x three passes, 1 MB buffers.
SHAPE = ["-j", "2", "-n", "4", "-f", "4", "-s", "1", "-p", "3"]
# Twelve faults per run, from the third read that can take one.
FAULTS = dict(nth=3, count=12)


@harness.needs_fault_lib
class PreloadCase(IochurnCase):
    workdir_parent = harness.fast_dir()

    def setUp(self):
        super().setUp()
        # The library logs paths as the kernel names them.
        self.workdir = os.path.realpath(self.workdir)
        self.log = os.path.join(self.workdir, "faults.log")

    def fault_env(self, kind, **faults):
        if os.path.exists(self.log):
            os.remove(self.log)
        return harness.fault_env(corrupt=kind, log=self.log, **dict(FAULTS, **faults))

    def log_lines(self):
        with open(self.log) as f:
            return [line.split() for line in f.read().splitlines()]


class PreloadInjection(PreloadCase):
    """The library damages exactly what it logs."""

    def probe(self, env):
        r = subprocess.run([sys.executable, vf.__file__, "probe", self.workdir,
                            "2", "2", "3", str(4 * MB), str(MB)],
                           capture_output=True, text=True, timeout=120, env=env)
        self.assertEqual(r.returncode, 0, r.stderr[-2000:])
        return vf.parse_probe(r.stdout)

    def test_each_kind_damages_what_it_logs(self):
        for kind in KINDS:
            with self.subTest(kind=kind):
                seen = self.probe(self.fault_env(kind))
                lines = self.log_lines()
                self.assertEqual(len(lines), 12, lines)
                self.assertEqual(vf.match(vf.expected_preload(lines), seen), [])
                self.assertNoFilesLeft()

    def test_only_candidates_count(self):
        # Stale needs a copy from an earlier opening: none in the first
        # pass, so with every candidate faulted only later passes are hit.
        seen = self.probe(self.fault_env("stale", nth=1, count=0))
        lines = self.log_lines()
        # 2 x 2 files, 4 reads of 1 MB each, in passes 2 and 3.
        self.assertEqual(len(lines), 2 * 2 * 4 * 2)
        self.assertEqual(vf.match(vf.expected_preload(lines), seen), [])
        self.assertTrue(all(b.found["pass"] in ("1", "2") for b in seen))

    def test_bad_setting_aborts(self):
        for faults in [dict(corrupt="flipp"), dict(corrupt="flip", block=64)]:
            with self.subTest(**faults):
                r = subprocess.run([sys.executable, "-c", "pass"], capture_output=True,
                                   text=True, env=harness.fault_env(**faults))
                self.assertEqual(r.returncode, 127)
                self.assertIn("fault_inject: bad FAULT_", r.stderr)


class PreloadVerify(PreloadCase, vf.ReportChecks):
    """The program's block verification against every kind of fault."""

    def test_every_fault_is_reported_where_it_was_made(self):
        for kind in KINDS:
            for extra in ([], ["-r"], ["-m"]):
                with self.subTest(kind=kind, options=extra):
                    r = self.run_iochurn("--verify=blocks", *SHAPE, *extra,
                                         env=self.fault_env(kind), timeout=240)
                    lines = self.log_lines()
                    self.assertEqual(len(lines), 12, lines)
                    self.assertReportsMatch(r, vf.expected_preload(lines),
                                            len(vf.faulty_files_preload(lines)))
                    self.assertNoFilesLeft()

    def test_a_read_that_delivers_nothing_is_caught_with_direct_io(self):
        # With O_DIRECT the buffer is the aligned one the kernel fills.
        if not harness.fast_dir():
            self.skipTest("needs a memory-backed directory")
        r = self.run_iochurn("--verify=blocks", "-d", *SHAPE,
                             env=self.fault_env("undelivered"), timeout=240)
        if "Invalid argument" in r.stderr and "ERR [open]" in r.stderr:
            self.skipTest("O_DIRECT is refused here")
        lines = self.log_lines()
        self.assertEqual(len(lines), 12, lines)
        self.assertReportsMatch(r, vf.expected_preload(lines),
                                len(vf.faulty_files_preload(lines)))
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
