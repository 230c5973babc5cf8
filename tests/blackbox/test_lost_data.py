"""Data that comes back short, shifted or not at all.

Faults are made from outside between the phases: the first read of the run
is held back by the preload library (a delay, no fault of its own) while the
test truncates, corrupts or shifts the file through its path. Short reads
come from the preload library and from the FUSE file system; a full file
system is a small tmpfs.
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

import harness
from harness import IochurnCase, MB

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import fusefault  # noqa: E402
import verify_faults as vf  # noqa: E402

ONE_FILE = ["-n", "1", "-f", "16", "-s", "1"]


@harness.needs_fault_lib
class BetweenThePhases(IochurnCase, harness.WatchedRunMixin):
    """One 16 MB file; `damage(path)` runs while its first read waits."""

    def run_damaged(self, damage, *args):
        report = self.workdir + ".json"
        self.addCleanup(lambda: os.path.exists(report) and os.remove(report))
        env = harness.fault_env(op="read", nth=1, count=1, delay_ms=1500)
        proc = self.start_iochurn(*ONE_FILE, "--report=" + report, *args, env=env)
        seen = self.read_until(proc, b"r*")
        path = os.path.join(self.workdir, "%d_0_0.DUMMY" % proc.pid)
        damage(path)
        status, rest, err = self.finish(proc)
        with open(report) as f:
            doc = json.load(f)
        return status, seen.decode() + rest, err, path, doc

    @staticmethod
    def corrupt_at(path, offset, size=4096):
        with open(path, "r+b") as f:
            f.seek(offset)
            f.write(b"\x6b" * size)

    @staticmethod
    def shift_chunk(path, offset, by):
        """The chunk at `offset` gets the bytes from `by` further on."""
        with open(path, "r+b") as f:
            f.seek(offset + by)
            data = f.read(MB)
            f.seek(offset)
            f.write(data)

    def assertKept(self, path, doc):
        kept = path + ".1.failed"
        self.assertTrue(os.path.exists(kept))
        self.assertEqual(doc["kept_files"], [{"path": kept}])
        self.assertEqual(doc["files_present"], [])
        os.remove(kept)

    def test_corruption_before_a_lost_tail_is_reported_and_kept(self):
        def damage(path):
            self.corrupt_at(path, MB)
            os.truncate(path, 12 * MB)
        status, out, err, path, doc = self.run_damaged(
            damage, "--verify=blocks", "--keep-failed", "--strict")
        reports, more, problems = vf.parse_reports(err)
        self.assertEqual(problems, [])
        self.assertEqual([(b.kind, b.offset) for _, b in reports],
                         [("unrecognised", MB), ("missing", 12 * MB)])
        self.assertIn("missing block at offset %d of %s (found: the data ends here, "
                      "%d bytes missing)" % (12 * MB, path, 4 * MB), err)
        self.assertNotIn("ERR [read]", err)
        self.assertTrue(out.endswith(harness.summary(12 * MB, 16 * MB, 1, 0)), out)
        self.assertEqual(status, 16 + 1)
        self.assertKept(path, doc)
        # Blocks, lines, files.
        self.assertEqual(doc["errors_by_operation"]["verify"], 2)
        self.assertEqual(sum(doc["bad_blocks"].values()), 2)
        self.assertEqual((doc["bad_blocks"]["unrecognised"], doc["bad_blocks"]["missing"]),
                         (1, 1))
        self.assertEqual(doc["errors_by_operation"]["read"], 0)
        entries = [(e["operation"], e["kind"], e["pass"], e["errno"], e["offset_bytes"])
                   for e in doc["errors"]]
        self.assertEqual(entries, [("verify", "unrecognised", 1, None, MB),
                                   ("verify", "missing", 1, None, 12 * MB)])
        self.assertEqual(doc["errors"][1]["bytes_asked"], 4 * MB)

    def test_a_lost_tail_alone_is_data_loss(self):
        status, out, err, path, doc = self.run_damaged(
            lambda path: os.truncate(path, 12 * MB), "--verify=blocks", "--strict")
        self.assertEqual(err, "\nThread 0: ERR [verify]: missing block at offset %d of %s "
                         "(found: the data ends here, %d bytes missing)\n"
                         % (12 * MB, path, 4 * MB))
        self.assertTrue(out.endswith(harness.summary(12 * MB, 16 * MB, 1, 0)), out)
        self.assertEqual(status, 16 + 1)
        self.assertEqual(doc["totals"]["files_different"], 1)
        self.assertNoFilesLeft()

    def test_a_lost_tail_in_sum_mode_keeps_its_counting(self):
        status, out, err, _, doc = self.run_damaged(
            lambda path: os.truncate(path, 12 * MB), "--strict")
        self.assertEqual(err, "\nThread 0: ERR [read]: end of file after 0 of 1048576 "
                         "bytes for buffer 0\n")
        # Slot 0 holds zero bytes: its sum cannot tell, so no compare error.
        self.assertTrue(out.endswith(harness.summary(12 * MB, 16 * MB, 0, 1)), out)
        self.assertEqual(status, 16 + 2)
        self.assertEqual(doc["errors"][0]["error_text"], None)
        self.assertEqual(doc["errors"][0]["bytes_moved"], 0)

    def test_a_chunk_shifted_by_512_bytes_is_named_so(self):
        status, out, err, path, doc = self.run_damaged(
            lambda path: self.shift_chunk(path, 3 * MB, 512), "--verify=blocks")
        reports, more, problems = vf.parse_reports(err)
        self.assertEqual(problems, [])
        self.assertEqual([(b.kind, b.offset) for _, b in reports],
                         [("shifted", 3 * MB + i * 4096) for i in range(8)])
        self.assertEqual(err.count("(found: shifted by 512 bytes)"), 8)
        self.assertEqual(more, ["Thread 0: ERR [verify]: 248 more bad blocks in " + path])
        self.assertEqual(doc["bad_blocks"]["shifted"], 256)
        self.assertEqual(doc["bad_blocks"]["unrecognised"], 0)
        self.assertEqual(doc["errors_by_operation"]["verify"], 256)
        self.assertTrue(out.endswith(harness.summary(16 * MB, 16 * MB, 1, 0)), out)
        self.assertEqual(status, 0)


class FullFileSystem(IochurnCase):
    """A 24 MB tmpfs: the second 16 MB file fills it."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.skipTest("needs root to mount a tmpfs")
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=24m", "tmpfs",
                            self.workdir], capture_output=True, text=True)
        if r.returncode != 0:
            self.skipTest("cannot mount a tmpfs: " + r.stderr)
        self.addCleanup(subprocess.run, ["umount", self.workdir])
        self.report = tempfile.mktemp(suffix=".json")
        self.addCleanup(lambda: os.path.exists(self.report) and os.remove(self.report))

    def test_blocks_count_a_full_disk_once(self):
        r = self.run_iochurn("-n", "2", "-f", "16", "-s", "1", "--verify=blocks",
                             "--report=" + self.report)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "\nThread 0: ERR [write]: No space left on device "
                         "for buffer 1\n")
        with open(self.report) as f:
            doc = json.load(f)
        by_op = doc["errors_by_operation"]
        self.assertEqual((by_op["write"], by_op["read"], by_op["verify"]), (1, 0, 0))
        totals = harness.parse_summary(r.stdout)
        # Read back exactly what was written, and nothing counted twice.
        self.assertEqual(totals[0], totals[1])
        self.assertEqual(totals[2:], (0, 1))
        self.assertNoFilesLeft()


class ShortReadsThroughTheKernel(IochurnCase):
    """A FUSE file system whose every read returns 512 bytes short."""

    def test_short_reads_from_fuse_are_continued(self):
        fusefault.require_fuse()
        m = fusefault.FuseFault("short-read", parent=harness.fast_dir())
        m.mount()
        self.addCleanup(m.unmount)
        self.workdir = m.mountpoint
        for mode in ("sum", "blocks"):
            with self.subTest(mode=mode):
                r = self.run_iochurn("-j", "2", "-n", "2", "-f", "4", "-s", "1",
                                     "--verify=" + mode, timeout=240)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertTrue(r.stdout.endswith(harness.summary(16 * MB, 16 * MB)),
                                r.stdout[-300:])
                self.assertNoFilesLeft(m.mountpoint)
        m.unmount()


if __name__ == "__main__":
    unittest.main()
