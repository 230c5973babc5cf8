"""What injected data faults should look like to block verification.

Used by the tests that inject data faults through the FUSE file system
(fusefault), the one place where data faults are made:

- expected_fuse(): turns an injection log into the bad blocks a verifying reader
  must report, as Bad(kind, path, offset, found), where `found` holds the
  key=value pairs the report must carry (a value of None: the key must be
  there, any value);
- parse_reports(): the "ERR [verify]" lines of the program's standard error;
- the probe (run as a script): writes and reads back files of self-describing
  4 KiB blocks the way the program does, and prints each block that did not
  come back as written in the same form. It proves the injection machinery
  on its own, whatever the program does.
"""
import collections
import hashlib
import mmap
import os
import re
import struct
import sys

Bad = collections.namedtuple("Bad", "kind path offset found")

NAME = re.compile(r"(\d+)_(\d+)_(\d+)\.DUMMY$")


def name_ids(path):
    """(pid, thread, slot) from a "<pid>_<thread>_<slot>.DUMMY" path."""
    m = NAME.search(path)
    if not m:
        raise AssertionError("not a work file name: %r" % path)
    return tuple(int(x) for x in m.groups())


def detail(fields):
    """The key=value fields of a log line as a dict."""
    return dict(f.split("=", 1) for f in fields if "=" in f)


def foreign_found(other):
    _, thread, slot = name_ids(other)
    return {"thread": str(thread), "slot": str(slot)}


def expected_fuse(lines):
    """Bad blocks for the lines of a fusefault log ("stall" lines excluded)."""
    bad = []
    for fields in lines:
        kind, path, off = fields[0], fields[1], int(fields[2])
        more = detail(fields[3:])
        if kind == "flip":
            bad.append(Bad("corrupt", path, off, {}))
        elif kind in ("zero-read", "drop-write"):
            bad.append(Bad("zeroed", path, off, {}))
        elif kind == "undelivered":
            bad.append(Bad("undelivered", path, off, {}))
        elif kind == "misplace":
            bad.append(Bad("misplaced", path, off, {"offset": more["from"]}))
        elif kind == "misdirect":
            to = int(more["to"])
            bad.append(Bad("misplaced", path, to, {"offset": str(off)}))
            bad.append(Bad("zeroed", path, off, {}))
        elif kind == "swap":
            other = int(more["with"])
            bad.append(Bad("misplaced", path, off, {"offset": str(other)}))
            bad.append(Bad("misplaced", path, other, {"offset": str(off)}))
        elif kind == "stale":
            # Incarnations of a name are the passes of the file.
            bad.append(Bad("stale", path, off, {"pass": more["incarnation"]}))
        elif kind == "foreign":
            bad.append(Bad("foreign", path, off, foreign_found(more["from"])))
        elif kind != "stall":
            raise AssertionError("unknown fusefault log line %r" % fields)
    return bad


REPORT = re.compile(r"Thread (\d+): ERR \[verify\]: (\w+) block at offset (\d+) "
                    r"of (\S+)(?: \(found: ([^)]*)\))?$")
MORE = re.compile(r"Thread (\d+): ERR \[verify\]: (\d+) more bad blocks in (\S+)$")


def parse_reports(stderr):
    """Returns (reports, more, problems): the bad-block lines as
    (thread, Bad), the "more bad blocks" lines, and lines that break the
    form (a report not preceded by an empty line)."""
    reports, more, problems = [], [], []
    lines = stderr.split("\n")
    for i, line in enumerate(lines):
        if "ERR [verify]" not in line:
            continue
        if i == 0 or lines[i - 1] != "":
            problems.append("not preceded by an empty line: %r" % line)
        m = REPORT.fullmatch(line)
        if m:
            found = dict(kv.split("=", 1) for kv in (m.group(5) or "").split()
                         if "=" in kv)
            reports.append((int(m.group(1)),
                            Bad(m.group(2), m.group(4), int(m.group(3)), found)))
            continue
        m = MORE.fullmatch(line)
        if m:
            more.append(line)
            continue
        problems.append("malformed: %r" % line)
    return reports, more, problems


def key(bad):
    return (bad.path, bad.offset, bad.kind)


def match(expected, got):
    """Differences between expected and reported bad blocks, as text lines
    (empty when every injection is reported once, in the right place and
    with the right kind and findings, and nothing else is reported)."""
    problems = []
    want = sorted(expected, key=key)
    have = sorted(got, key=key)
    if [key(b) for b in want] != [key(b) for b in have]:
        missing = collections.Counter(map(key, want)) - collections.Counter(map(key, have))
        extra = collections.Counter(map(key, have)) - collections.Counter(map(key, want))
        problems += ["not reported: %s %s @%d" % (k, p, o) for p, o, k in sorted(missing)]
        problems += ["reported, not injected: %s %s @%d" % (k, p, o)
                     for p, o, k in sorted(extra)]
        return problems
    for w, h in zip(want, have):
        for name, value in w.found.items():
            if name not in h.found or (value is not None and h.found[name] != value):
                problems.append("%s %s @%d: found %s=%s expected, report has %r"
                                % (w.kind, w.path, w.offset, name, value, h.found))
    return problems


# ---------------------------------------------------------------------------
# The probe: files of self-describing blocks, written and read like the
# program's (created with O_TRUNC each pass, written then read back
# sequentially in whole chunks).

BLOCK = 4096
MAGIC = b"PROBEBLK"
HEADER = struct.Struct("<8sIIIQ")   # magic, thread, slot, pass, offset
# What a verifying reader puts in its buffer before a read, so that bytes the
# read reports but does not deliver are found: the program's poison header.
POISON = (b"ICHPOISN" + b"\xa5" * BLOCK)[:BLOCK]


def probe_block(thread, slot, pass_no, offset):
    """The block written at `offset` of file (thread, slot) in pass
    `pass_no`: a header naming it, then a payload unique to it."""
    head = HEADER.pack(MAGIC, thread, slot, pass_no, offset).ljust(64, b"\0")
    seed = hashlib.blake2b(head, digest_size=16).digest()
    return head + (seed * (BLOCK // 16))[:BLOCK - 64]


def probe_classify(block, thread, slot, pass_no, offset):
    """None if `block` is the one written there, else (kind, found)."""
    if block == probe_block(thread, slot, pass_no, offset):
        return None
    if block == POISON:
        return "undelivered", {}
    if block.count(0) == BLOCK:
        return "zeroed", {}
    magic, t, j, p, o = HEADER.unpack_from(block)
    if magic == MAGIC and block == probe_block(t, j, p, o):
        if (t, j) != (thread, slot):
            return "foreign", {"pid": str(os.getpid()), "thread": str(t), "slot": str(j)}
        if p == pass_no:
            return "misplaced", {"offset": str(o)}
        return "stale", {"pass": str(p)}
    if (magic, t, j, p, o) == (MAGIC, thread, slot, pass_no, offset):
        return "corrupt", {}
    return "unrecognised", {}


def probe(directory, threads, slots, passes, size, chunk):
    """Runs the passes and prints one line per bad block:
    "<kind> <path> <offset> [key=value ...]", then "probe done"."""
    pid = os.getpid()
    files = [(t, j, os.path.join(directory, "%d_%d_%d.DUMMY" % (pid, t, j)))
             for t in range(threads) for j in range(slots)]
    # Written from page-aligned memory, as the program's buffers are (a FUSE
    # request then holds whole blocks); read into a bytearray, which is not
    # page-aligned, so a block may also arrive in two requests.
    out = mmap.mmap(-1, chunk)
    buf = bytearray(chunk)
    for pass_no in range(1, passes + 1):
        fds = {}
        for t, j, path in files:
            fds[path] = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
        for t, j, path in files:
            for at in range(0, size, chunk):
                out[:] = b"".join(probe_block(t, j, pass_no, o)
                                  for o in range(at, at + chunk, BLOCK))
                if os.write(fds[path], out) != chunk:
                    raise SystemExit("short write")
        for t, j, path in files:
            os.lseek(fds[path], 0, os.SEEK_SET)
            # readinto() reads into our buffer with one read() call, so a
            # block the call does not deliver keeps the poison.
            reader = open(fds[path], "rb", buffering=0, closefd=False)
            for at in range(0, size, chunk):
                buf[:] = POISON * (chunk // BLOCK)
                if reader.readinto(buf) != chunk:
                    raise SystemExit("short read")
                for o in range(0, chunk, BLOCK):
                    bad = probe_classify(bytes(buf[o:o + BLOCK]), t, j, pass_no, at + o)
                    if bad:
                        print(" ".join([bad[0], path, str(at + o)] +
                                       ["%s=%s" % kv for kv in sorted(bad[1].items())]))
        for t, j, path in files:
            os.close(fds[path])
            os.unlink(path)
    print("probe done")


def parse_probe(stdout):
    """The probe's output as a list of Bad; fails if it did not finish."""
    lines = stdout.splitlines()
    if not lines or lines[-1] != "probe done":
        raise AssertionError("the probe did not finish: %r" % stdout[-500:])
    return [Bad(f[0], f[1], int(f[2]), detail(f[3:]))
            for f in (line.split() for line in lines[:-1])]



class ReportChecks:
    """Assertions for unittest cases that ran the program on injected faults."""

    def assertReportsMatch(self, run, expected, faulty_files):
        """Every expected bad block is reported once, with its kind, file,
        offset and findings, by the thread that owns the file, in the
        program's form; nothing else is reported; each damaged file counts
        one compare error and nothing counts another error."""
        totals = parse_summary_of(run.stdout)
        self.assertIsNotNone(totals, "no summary (status %d): %s"
                             % (run.returncode, run.stderr[-2000:]))
        reports, more, problems = parse_reports(run.stderr)
        self.assertEqual(problems, [])
        self.assertEqual(more, [], "no file has more than 8 damaged blocks here")
        for thread, bad in reports:
            self.assertEqual(thread, name_ids(bad.path)[1], bad)
        self.assertEqual(match(expected, [bad for _, bad in reports]), [])
        # Besides the reports only the additive sum may speak up.
        for line in run.stderr.split("\n"):
            if line and "ERR [verify]" not in line:
                self.assertIn("ERR [chksum]", line)
        self.assertEqual(totals[2:], (faulty_files, 0))
        self.assertGreaterEqual(run.returncode, 0)


def parse_summary_of(stdout):
    """(read, write, compare, other) from the summary block, or None."""
    m = re.search(r"\nSummary statistics:\nRead_Bytes=(\d+)   Write_Bytes=(\d+)\n"
                  r"Compare_Errors=(\d+)   Other_Errors=(\d+)\n", stdout)
    return tuple(int(x) for x in m.groups()) if m else None


if __name__ == "__main__":
    # probe <dir> <threads> <slots> <passes> <size> <chunk>
    if len(sys.argv) != 8 or sys.argv[1] != "probe":
        raise SystemExit("usage: verify_faults.py probe DIR THREADS SLOTS PASSES SIZE CHUNK")
    probe(sys.argv[2], *map(int, sys.argv[3:]))
