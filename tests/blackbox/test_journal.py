"""Did the storage keep what it acknowledged? The journal, cut and check.

Runs keep a journal (--journal) outside the directory under test; a cut
throws away whatever the storage had not made durable; the check
(--check-journal) must then find every acknowledged byte intact, and
nothing else. The cuts are made on a fusefault mount in its volatile-cache
mode, which holds unflushed data and names in memory until the drop command
loses them, or (with --lie) never persists anything a flush covered.

The FUSE cases are skipped only where /dev/fuse is missing (or fusefault
was not built); IOCHURN_REQUIRE_FUSE=1 makes that a failure.
"""
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import harness
from harness import MB

sys.path.insert(0, os.path.join(harness.ROOT, "tests", "support"))
import fusefault  # noqa: E402

HEADER_BYTES = 512
RECORD_BYTES = 48
SUMMARY_RE = re.compile(
    r"Journal check: (\d+) files, (\d+) bytes acknowledged\n"
    r"Intact_Bytes=(\d+)   Lost_Bytes=(\d+)   Torn_Bytes=(\d+)\n$")
SCHEMA_PATH = os.path.join(harness.ROOT, "docs", "report.schema.json")

try:
    import jsonschema
except ImportError:
    jsonschema = None


def records(journal_bytes):
    """(kind, thread, slot, generation, pass, sequence, length) of every
    whole record after the header."""
    out = []
    body = journal_bytes[HEADER_BYTES:]
    for at in range(0, len(body) - RECORD_BYTES + 1, RECORD_BYTES):
        (_, kind, thread, slot, gen, pas, seq, length,
         _) = struct.unpack("<IB3xIIIIQQQ", body[at:at + RECORD_BYTES])
        out.append((kind, thread, slot, gen, pas, seq, length))
    return out


# Byte offsets in a block's tag of its generation and pass numbers.
TAG_GENERATION = 24
TAG_PASS = 32


def tear(path, offset, field):
    """Lays the head of a newer write over the block at `offset`: its tag
    names a later generation or pass (`field` one more), and the check value
    no longer fits the rest, which is the acknowledged block."""
    with open(path, "r+b") as f:
        f.seek(offset)
        head = bytearray(f.read(64))
        struct.pack_into("<I", head, field, struct.unpack_from("<I", head, field)[0] + 1)
        f.seek(offset)
        f.write(head)


class JournalCase(harness.IochurnCase):
    """Runs with a journal beside (never inside) the directory under test."""

    def setUp(self):
        super().setUp()
        self.side = tempfile.mkdtemp(prefix="iochurn-journal-",
                                     dir=harness.fast_dir())
        self.addCleanup(shutil.rmtree, self.side, True)
        self.journal = os.path.join(self.side, "run.journal")

    def check(self, *args, journal=None, stdin=subprocess.DEVNULL):
        """Runs the check; returns (status, summary figures, stderr)."""
        r = self.run_iochurn("--check-journal=" + (journal or self.journal),
                             *args, workdir=False, stdin=stdin)
        m = SUMMARY_RE.search(r.stdout)
        self.assertIsNotNone(m, (r.stdout, r.stderr[-2000:]))
        figures = dict(zip(["files", "acked", "intact", "lost", "torn"],
                           map(int, m.groups())))
        # Every acknowledged byte is counted once.
        self.assertEqual(figures["intact"] + figures["lost"] + figures["torn"],
                         figures["acked"])
        return r.returncode, figures, r.stderr

    def assertClean(self, status, figures, err):
        self.assertEqual((status, figures["lost"], figures["torn"]), (0, 0, 0), err)
        self.assertNotIn("ERR [", err)


class FuseJournalCase(JournalCase):

    def setUp(self):
        fusefault.require_fuse()
        super().setUp()

    def mount(self, lie=False):
        m = fusefault.FuseFault(parent=harness.fast_dir(), volatile=True, lie=lie)
        m.mount()
        self.addCleanup(m.unmount)
        self.workdir = m.mountpoint
        return m

    def cut_running(self, m, proc, seconds):
        """A power cut after `seconds`: everything stops at once, the
        unflushed state is lost, the process dies."""
        time.sleep(seconds)
        proc.send_signal(signal.SIGSTOP)
        m.drop()
        proc.kill()
        proc.wait()


class CutsKeepWhatWasAcknowledged(FuseJournalCase):

    def test_random_cuts_with_and_without_flush_per_chunk(self):
        rng = random.Random(22)
        checked = 0
        for sync in (["-y"], []):
            for _ in range(3):
                m = self.mount()
                proc = self.start_iochurn("-l", "-j", "2", "-n", "3", "-f", "4",
                                          "-s", "1", *sync,
                                          "--journal=" + self.journal)
                self.cut_running(m, proc, rng.uniform(0.3, 2.0))
                status, figures, err = self.check()
                self.assertClean(status, figures, err)
                checked += figures["acked"]
                m.unmount()
        # The cuts must have caught acknowledged files to check.
        self.assertGreater(checked, 0)

    def test_process_crash_without_cut_loses_nothing(self):
        self.mount()
        proc = self.start_iochurn("-y", "-n", "2", "-f", "64", "-s", "1",
                                  "--journal=" + self.journal)
        # Into the read phase: every write was acknowledged (and committed
        # within the few milliseconds of four reads).
        self.read_until(proc, b"r****")
        proc.kill()
        proc.wait()
        status, figures, err = self.check()
        self.assertClean(status, figures, err)
        self.assertGreater(figures["acked"], 0)

    def test_rewrites_in_place_cut_mid_pass(self):
        rng = random.Random(7)
        checked = 0
        for _ in range(3):
            m = self.mount()
            proc = self.start_iochurn("-z", "-p", "1000", "-y", "-n", "2", "-f",
                                      "4", "-s", "1",
                                      "--journal=" + self.journal)
            self.cut_running(m, proc, rng.uniform(0.5, 2.0))
            status, figures, err = self.check("-z")
            self.assertClean(status, figures, err)
            checked += figures["acked"]
            m.unmount()
        self.assertGreater(checked, 0)

    def test_cut_after_runs_the_cut_command_and_deletes_nothing(self):
        m = self.mount()
        report = os.path.join(self.side, "run.json")
        marker = os.path.join(self.side, "cut-ran")
        r = self.run_iochurn("-l", "-y", "-n", "2", "-f", "4", "-s", "1",
                             "--strict", "--journal=" + self.journal,
                             "--report=" + report, "--cut-after=1",
                             "--cut-command=%s && touch %s" % (m.drop_command(),
                                                               marker))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(os.path.exists(marker))
        self.assertIn("cut after 1 s; check with --check-journal=%s "
                      "(cut command exit status 0)\n" % self.journal, r.stderr)
        with open(report) as f:
            doc = json.load(f)
        self.assertEqual((doc["ended"], doc["exit_status"]), ("cut", 0))
        status, figures, err = self.check()
        self.assertClean(status, figures, err)
        # What the check found intact it retired and deleted (files created
        # but never acknowledged stay: the journal knows nothing of them);
        # a second check finds nothing left to expect.
        again = self.check()
        self.assertEqual((again[0], again[1]["files"]), (0, 0), again[2])

    def test_cut_after_alone_stops_like_a_crash(self):
        self.mount()
        r = self.run_iochurn("-l", "-n", "2", "-f", "2", "-s", "1",
                             "--journal=" + self.journal, "--cut-after=1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("cut after 1 s; check with --check-journal=%s\n"
                      % self.journal, r.stderr)
        status, figures, err = self.check()
        self.assertClean(status, figures, err)

    def test_lying_flushes_are_named_file_by_file(self):
        m = self.mount(lie=True)
        r = self.run_iochurn("-z", "-j", "2", "-n", "3", "-f", "2", "-s", "1",
                             "--journal=" + self.journal)
        self.assertEqual(r.returncode, 0, r.stderr)
        names = harness.dummy_files(m.mountpoint)
        self.assertEqual(len(names), 6)
        m.drop()
        report = os.path.join(self.side, "check.json")
        status, figures, err = self.check("--report=" + report)
        self.assertEqual(status, 17, err)
        self.assertEqual(figures["lost"], figures["acked"])
        for name in names:
            self.assertIn("ERR [verify]: missing file %s/%s" % (m.mountpoint, name), err)
        with open(report) as f:
            doc = json.load(f)
        jc = doc["journal_check"]
        self.assertEqual((jc["files_checked"], jc["files_missing"]), (6, 6))
        self.assertEqual(jc["blocks_lost"], jc["blocks_acknowledged"])
        self.assertEqual(jc["blocks_by_kind"]["missing"], jc["blocks_acknowledged"])
        self.assertEqual(len(jc["findings"]), 6)
        if jsonschema is not None:
            with open(SCHEMA_PATH) as f:
                jsonschema.validate(doc, json.load(f))


class JournalWithoutCuts(JournalCase):
    """What needs no FUSE: the journal's form, the torn tail, pipes, breaks."""

    def kept_run(self, *extra):
        r = self.run_iochurn("-z", "-n", "2", "-f", "2", "-s", "1", *extra,
                             "--journal=" + self.journal)
        self.assertEqual(r.returncode, 0, r.stderr)
        return harness.dummy_files(self.workdir)

    def test_journal_records_acks_then_retirements(self):
        self.kept_run("-p", "2", "-y")
        with open(self.journal, "rb") as f:
            recs = records(f.read())
        self.assertEqual([r[5] for r in recs], list(range(1, len(recs) + 1)))
        acks = [r for r in recs if r[0] == 1]
        retires = [r for r in recs if r[0] == 2]
        # Two passes of two 2 MB files in 1 MB chunks: one ack per chunk.
        self.assertEqual(len(acks), 8)
        self.assertEqual([r[6] for r in acks[:2]], [MB, 2 * MB])
        # Pass 1 is retired before pass 2 truncates it; pass 2 stays.
        self.assertEqual(sorted((r[2], r[4]) for r in retires), [(0, 1), (1, 1)])
        first_retire = recs.index(retires[0])
        self.assertTrue(all(r[4] == 1 for r in recs[:first_retire]))

    def test_without_flush_per_chunk_one_flush_per_file(self):
        self.kept_run("--report=" + os.path.join(self.side, "r.json"))
        with open(os.path.join(self.side, "r.json")) as f:
            doc = json.load(f)
        self.assertEqual(doc["latency"]["sync"]["count"], 2 + 1)  # files + directory
        with open(self.journal, "rb") as f:
            acks = [r for r in records(f.read()) if r[0] == 1]
        self.assertEqual([r[6] for r in acks], [2 * MB, 2 * MB])

    def test_check_deletes_intact_files_only_after_retiring_them(self):
        names = self.kept_run()
        self.assertEqual(len(names), 2)
        status, figures, err = self.check("-z")
        self.assertClean(status, figures, err)
        self.assertEqual((figures["files"], figures["acked"]), (2, 4 * MB))
        self.assertEqual(len(harness.dummy_files(self.workdir)), 2)
        status, figures, err = self.check()
        self.assertClean(status, figures, err)
        self.assertEqual(harness.dummy_files(self.workdir), [])
        with open(self.journal, "rb") as f:
            self.assertEqual(sum(1 for r in records(f.read()) if r[0] == 2), 2)
        status, figures, err = self.check()
        self.assertEqual((status, figures["files"]), (0, 0), err)

    def test_lost_and_torn_blocks_are_told_apart(self):
        names = self.kept_run("-p", "2")
        path = os.path.join(self.workdir, names[0])
        tear(path, 8192, TAG_PASS)
        with open(path, "r+b") as f:
            # A hole where the acknowledged block at 16 KiB was.
            f.seek(16384)
            f.write(bytes(4096))
        status, figures, err = self.check("-z")
        self.assertEqual(status, 17, err)
        self.assertEqual((figures["torn"], figures["lost"]), (4096, 4096))
        self.assertIn("ERR [verify]: torn block at offset 8192 of %s" % path, err)
        self.assertIn("ERR [verify]: zeroed block at offset 16384 of %s\n" % path, err)
        # Evidence is kept, the intact file goes on as it was.
        self.assertTrue(os.path.exists(path + ".failed"))

    def test_torn_alone_is_no_loss(self):
        names = self.kept_run()
        path = os.path.join(self.workdir, names[1])
        tear(path, 4096, TAG_GENERATION)
        status, figures, err = self.check("-z")
        self.assertEqual((status, figures["lost"], figures["torn"]), (0, 0, 4096), err)
        self.assertIn("torn block at offset 4096", err)

    def test_journal_cut_at_random_bytes_never_gives_a_false_finding(self):
        self.kept_run("-p", "3", "-y", "-j", "2")
        with open(self.journal, "rb") as f:
            whole = f.read()
        rng = random.Random(5)
        cuts = [rng.randrange(HEADER_BYTES, len(whole)) for _ in range(8)]
        for cut in cuts + [HEADER_BYTES + 5, len(whole) - 1]:
            partial = os.path.join(self.side, "partial.journal")
            with open(partial, "wb") as f:
                f.write(whole[:cut])
            status, figures, err = self.check("-z", journal=partial)
            self.assertClean(status, figures, err)
        # Shorter than its header: refused with one line, status 2.
        with open(partial, "wb") as f:
            f.write(whole[:HEADER_BYTES - 1])
        r = self.run_iochurn("--check-journal=" + partial, workdir=False)
        self.assertEqual((r.returncode, r.stdout), (2, ""))
        self.assertEqual(r.stderr, "iochurn: journal %s: no valid journal header\n" % partial)

    def test_damage_before_valid_records_sets_the_read_bit(self):
        self.kept_run("-y")
        with open(self.journal, "r+b") as f:
            f.seek(HEADER_BYTES + RECORD_BYTES + 10)
            f.write(b"\xff")
        status, figures, err = self.check("-z")
        self.assertEqual(status, 18, err)
        self.assertIn("damaged after byte %d" % (HEADER_BYTES + RECORD_BYTES), err)

    def test_journal_through_a_pipe_and_checked_from_standard_input(self):
        read_end, write_end = os.pipe()
        captured = bytearray()

        def drain():
            while True:
                chunk = os.read(read_end, 65536)
                if not chunk:
                    break
                captured.extend(chunk)
        reader = threading.Thread(target=drain)
        reader.start()
        r = subprocess.run([harness.BIN, "-t", self.workdir, "-z", "-n", "2",
                            "-f", "2", "-s", "1", "-y",
                            "--journal=/dev/fd/%d" % write_end],
                           pass_fds=(write_end,), capture_output=True, text=True,
                           timeout=120)
        os.close(write_end)
        reader.join(timeout=60)
        os.close(read_end)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertGreater(len(captured), HEADER_BYTES)
        # Through standard input: the files are checked but never deleted,
        # as nothing can be appended to the journal.
        with tempfile.TemporaryFile() as f:
            f.write(captured)
            f.seek(0)
            status, figures, err = self.check(journal="-", stdin=f)
        self.assertClean(status, figures, err)
        self.assertEqual(figures["files"], 2)
        self.assertEqual(len(harness.dummy_files(self.workdir)), 2)
        # A file gone under a journal that could not be made durable: its
        # retirement may have been lost, so it sets no bit.
        os.unlink(os.path.join(self.workdir, harness.dummy_files(self.workdir)[0]))
        with tempfile.TemporaryFile() as f:
            f.write(captured)
            f.seek(0)
            status, figures, err = self.check(journal="-", stdin=f)
        self.assertEqual((status, figures["files"]), (0, 1), err)
        self.assertIn("missing (retirement unconfirmed) file", err)

    def test_emergency_cleanup_is_recorded(self):
        proc = self.start_iochurn("-u", "-l", "-y", "-n", "2", "-f", "8", "-s",
                                  "1", "--journal=" + self.journal)
        self.read_until(proc, b"w***")
        proc.send_signal(signal.SIGINT)
        status, _, _ = self.finish(proc)
        self.assertEqual(status, 1)
        self.assertNoFilesLeft()
        with open(self.journal, "rb") as f:
            self.assertIn(3, [r[0] for r in records(f.read())])
        status, figures, err = self.check()
        self.assertClean(status, figures, err)

    def test_break_leaves_the_journal_consistent(self):
        proc = self.start_iochurn("-l", "-y", "-n", "2", "-f", "8", "-s", "1",
                                  "--journal=" + self.journal)
        self.read_until(proc, b"w***")
        proc.send_signal(signal.SIGINT)
        self.finish(proc)
        self.assertNoFilesLeft()
        status, figures, err = self.check()
        self.assertEqual((status, figures["files"]), (0, 0), err)

    def test_refusals(self):
        cases = [
            (["--journal=" + self.journal, "--verify=sum"],
             "iochurn: --verify=sum: a journal needs tagged blocks (--verify=blocks)\n"),
            (["--cut-command=true"],
             "iochurn: --cut-command: it needs --cut-after=SECONDS\n"),
            (["--cut-after=1"], "iochurn: --cut-after: it needs --journal=FILE\n"),
            (["--check-journal=" + os.path.join(self.side, "none")],
             "iochurn: journal %s: No such file or directory\n"
             % os.path.join(self.side, "none")),
        ]
        for args, line in cases:
            r = self.run_iochurn(*args)
            self.assertEqual((r.returncode, r.stderr, r.stdout), (2, line, ""), args)
        self.assertNoFilesLeft()

    def test_journal_on_the_tested_file_system_is_warned_about(self):
        inside = os.path.join(self.workdir, "j")
        r = self.run_iochurn("-n", "1", "-f", "1", "-s", "1", "--journal=" + inside)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr, "iochurn: warning: journal %s is on the file "
                         "system under test; its check will trust that device\n"
                         % inside)


if __name__ == "__main__":
    unittest.main()
