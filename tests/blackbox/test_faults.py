"""Storage faults: each failing call is reported, counted, and the run goes on.

The runs use three slots of 2 MB files with 1 MB buffers (two chunks each)
and make a call of slot 1 fail, so that slot 0 before it and slot 2 after it
show that the pass went on. Slot j's buffer holds bytes of value j, so a
whole file of slot 1 sums to 2097152 and one chunk to 1048576.
"""
import os
import time
import unittest

import harness
from harness import IochurnCase, summary

MB = 1 << 20
NO_SUM = 4294967295
SLOTS = ["-n", "3", "-f", "2", "-s", "1"]
CLEAN_PASS = "w**w**w**r**r**r**"


def read_err(text, slot=1):
    return "\nThread 0: ERR [read]: %s for buffer %d\n" % (text, slot)


# The read of a chunk that meets the end of the file before any byte.
AT_END = "end of file after 0 of 1048576 bytes"


def chksum_err(write, read):
    return "\nThread 0: ERR [chksum]: mismatch additive sums, write=%d, read=%d\n" % (write, read)


@harness.needs_fault_lib
class FaultMatrix(IochurnCase):
    def run_faulted(self, *args, passes=2, **faults):
        """Runs with one injected fault; returns (pid, status, stdout, stderr)."""
        log = os.path.join(self.workdir, "faults.log")
        env = harness.fault_env(log=log, **faults)
        proc = self.start_iochurn("-p", str(passes), *(SLOTS + list(args)), env=env)
        status, out, err = self.finish(proc)
        # The fault really happened, once, where it was aimed.
        with open(log) as f:
            self.assertEqual(f.read(), "%s %d\n" % (faults["op"], faults["nth"]))
        os.remove(log)
        return proc.pid, status, out, err

    def check(self, faults, stdout, stderr, totals, args=()):
        """The first pass meets the fault, the second runs clean."""
        read, write, compare, other = totals
        _, status, out, err = self.run_faulted(*args, **faults)
        self.assertEqual(err, stderr)
        self.assertEqual(out, stdout + CLEAN_PASS
                         + summary(read + 6 * MB, write + 6 * MB, compare, other))
        self.assertEqual(status, 0)
        self.assertNoFilesLeft()

    def test_open(self):
        # Injected by hand, since the message names the path.
        pid, status, out, err = self.run_faulted(op="open", errno="EIO", nth=2)
        self.assertEqual(err, "Thread 0: ERR [open]: Input/output error for file %s/%d_0_1.DUMMY\n"
                         % (self.workdir, pid))
        self.assertEqual(out, "w**w**r**r**" + CLEAN_PASS + summary(10 * MB, 10 * MB, 0, 1))
        self.assertEqual(status, 0)
        self.assertNoFilesLeft()

    def test_seek_before_writing(self):
        # The unwritten file is still read: empty, it falls short and its
        # sum is compared against the unset write sum.
        self.check(dict(op="lseek", errno="EIO", nth=2),
                   "w**w**r**r*r**",
                   "Thread 0: ERR [seek/w]: Input/output error for file 1\n"
                   + read_err(AT_END) + chksum_err(NO_SUM, 0),
                   (4 * MB, 4 * MB, 1, 2))

    def test_seek_before_reading(self):
        # Seeks: three before writing, then slot 0 and slot 1 before reading.
        self.check(dict(op="lseek", errno="EIO", nth=5),
                   "w**w**w**r**r**",
                   "Thread 0: ERR [seek/r]: Input/output error for file 1\n",
                   (4 * MB, 6 * MB, 0, 1))

    def test_failed_write(self):
        # Writes: two chunks of slot 0, then the first of slot 1. The write
        # sum includes the chunk that failed.
        self.check(dict(op="write", errno="EIO", nth=3),
                   "w**w*w**r**r*r**",
                   "\nThread 0: ERR [write]: Input/output error for buffer 1\n"
                   + read_err(AT_END) + chksum_err(MB, 0),
                   (4 * MB, 4 * MB, 1, 2))

    def test_short_write_is_continued(self):
        # Half the chunk goes in one call, the rest in the next.
        self.check(dict(op="write", short=1, nth=3), CLEAN_PASS, "",
                   (6 * MB, 6 * MB, 0, 0))

    def test_write_that_moves_nothing_ends_the_file(self):
        self.check(dict(op="write", short_by=MB, nth=3),
                   "w**w*w**r**r*r**",
                   "\nThread 0: ERR [write]: no progress after 0 of 1048576 bytes "
                   "for buffer 1\n" + read_err(AT_END) + chksum_err(MB, 0),
                   (4 * MB, 4 * MB, 1, 2))

    def test_failed_read(self):
        self.check(dict(op="read", errno="EIO", nth=3),
                   "w**w**w**r**r*r**",
                   read_err("Input/output error") + chksum_err(2 * MB, 0),
                   (4 * MB, 6 * MB, 1, 1))

    def test_short_reads_are_continued(self):
        # Half a chunk, and the last read of a file 512 bytes short: the rest
        # arrives on the next call, in both modes of verification.
        for faults in (dict(short=1), dict(short_by=512, nth=4)):
            for mode in ("sum", "blocks"):
                with self.subTest(mode=mode, **faults):
                    self.check(dict(dict(op="read", nth=3), **faults), CLEAN_PASS, "",
                               (6 * MB, 6 * MB, 0, 0), args=["--verify=" + mode])

    def test_failed_flush_leaves_the_file(self):
        # The first chunk of slot 1 was written but not flushed; the file
        # stops there, so the read falls short while the sums agree.
        self.check(dict(op="fdatasync", errno="EIO", nth=3),
                   "w**w*w**r**r**r**",
                   "\nThread 0: ERR [sync]: Input/output error for buffer 1\n"
                   + read_err(AT_END),
                   (5 * MB, 5 * MB, 0, 2), args=["-y"])

    def test_failed_close_is_reported_not_counted(self):
        self.check(dict(op="close", errno="EBADF", nth=2),
                   CLEAN_PASS,
                   "ERR [close]: Bad file descriptor for buffer 1\n",
                   (6 * MB, 6 * MB, 0, 0))

    def test_failed_unlink_is_reported_not_counted(self):
        pid, status, out, err = self.run_faulted(op="unlink", errno="EIO", nth=2,
                                                 passes=1)
        left = harness.dummy_files(self.workdir)
        for name in left:
            self.addCleanup(os.remove, os.path.join(self.workdir, name))
        self.assertEqual(err, "ERR [unlink]: Input/output error for buffer 1\n")
        self.assertEqual(out, CLEAN_PASS + summary(6 * MB, 6 * MB))
        self.assertEqual(status, 0)
        self.assertEqual(left, ["%d_0_1.DUMMY" % pid])
        with open(os.path.join(self.workdir, left[0]), "rb") as f:
            self.assertEqual(f.read(), b"\x01" * (2 * MB))

    def test_file_shrunk_between_phases(self):
        # Slot 1's file loses its second half just before it is read back.
        self.check(dict(op="shrink", nth=5),
                   CLEAN_PASS,
                   read_err(AT_END) + chksum_err(2 * MB, MB),
                   (5 * MB, 6 * MB, 1, 1))

    def test_shrunk_zero_file_counts_no_compare_error(self):
        # Slot 0 holds zero bytes: the missing half sums to nothing.
        self.check(dict(op="shrink", nth=4),
                   CLEAN_PASS,
                   read_err(AT_END, slot=0),
                   (5 * MB, 6 * MB, 0, 1))

    def test_mismatch_in_verbose_mode_also_on_stdout(self):
        _, status, out, err = self.run_faulted("-v", op="read", errno="EIO", nth=3,
                                               passes=1)
        self.assertEqual(err, read_err("Input/output error") + chksum_err(2 * MB, 0))
        self.assertEqual(out.count("ERROR on chksum!!!\n"), 1)
        self.assertIn("Thread 0: Additive sum 0 for file 1\nERROR on chksum!!!\n", out)
        self.assertTrue(out.endswith(summary(4 * MB, 6 * MB, 1, 1)), out[-300:])
        self.assertEqual(status, 0)
        self.assertNoFilesLeft()


@harness.needs_fault_lib
class Flushing(IochurnCase):
    def flushes(self, *args):
        """Counts flushes of temporary files: each is delayed and logged."""
        log = os.path.join(self.workdir, "flush.log")
        env = harness.fault_env(op="fdatasync", nth=1, count=0, delay_ms=1, log=log)
        r = self.run_iochurn(*(SLOTS + list(args)), env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        self.assertEqual(r.stdout, CLEAN_PASS + summary(6 * MB, 6 * MB))
        self.assertNoFilesLeft()
        if not os.path.exists(log):
            return 0
        with open(log) as f:
            lines = f.read().splitlines()
        os.remove(log)
        return len(lines)

    def test_every_written_chunk_is_flushed_with_sync_writes(self):
        self.assertEqual(self.flushes("-y"), 6)

    def test_no_flush_without_sync_writes(self):
        self.assertEqual(self.flushes(), 0)


class SymbolicLinks(IochurnCase):
    def test_link_at_a_file_name_is_not_followed(self):
        outside = self.workdir + ".outside"
        os.mkdir(outside)
        self.addCleanup(os.rmdir, outside)
        target = os.path.join(outside, "precious")
        with open(target, "wb") as f:
            f.write(b"keep me")
        self.addCleanup(os.remove, target)
        absent = os.path.join(outside, "never-created")

        # The worker starts after 2 s, time enough to plant the links.
        started = time.monotonic()
        proc = self.start_iochurn("-w", "2000000", *SLOTS)
        links = {0: target, 2: absent}
        for slot, dest in links.items():
            name = os.path.join(self.workdir, "%d_0_%d.DUMMY" % (proc.pid, slot))
            os.symlink(dest, name)
            self.addCleanup(os.remove, name)
        self.assertLess(time.monotonic() - started, 1.5, "links planted too late")
        status, out, err = self.finish(proc)

        self.assertEqual(err, "".join(
            "Thread 0: ERR [open]: Too many levels of symbolic links for file %s/%d_0_%d.DUMMY\n"
            % (self.workdir, proc.pid, slot) for slot in sorted(links)))
        self.assertEqual(out, "w**r**" + summary(2 * MB, 2 * MB, 0, 2))
        self.assertEqual(status, 0)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"keep me")
        self.assertFalse(os.path.exists(absent))
        # Only the planted links remain; the program's own file is gone.
        self.assertEqual(harness.dummy_files(self.workdir),
                         ["%d_0_0.DUMMY" % proc.pid, "%d_0_2.DUMMY" % proc.pid])
        for slot in links:
            self.assertTrue(os.path.islink(os.path.join(
                self.workdir, "%d_0_%d.DUMMY" % (proc.pid, slot))))


if __name__ == "__main__":
    unittest.main()
