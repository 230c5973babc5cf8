"""Shared helpers for the black-box tests of the iochurn binary.

Every case runs the real program with small sizes in a temporary directory of
its own and checks its output, its exit status and the files it leaves.
"""
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BIN = os.environ.get("IOCHURN_BIN") or os.path.join(ROOT, "build", "iochurn")
FAULT_LIB = os.environ.get("FAULT_INJECT_LIB")
if FAULT_LIB is None:
    # A manual run from the source tree: the library of the default build.
    FAULT_LIB = os.path.join(ROOT, "build", "tests", "fault", "libfault_inject.so")
SANITIZED = bool(os.environ.get("IOCHURN_SANITIZE"))
DEFAULT_TIMEOUT = 120


def summary(read, write, compare=0, other=0):
    """The summary block exactly as the program prints it."""
    return ("\nSummary statistics:\n"
            "Read_Bytes=%d   Write_Bytes=%d\n"
            "Compare_Errors=%d   Other_Errors=%d\n" % (read, write, compare, other))


def parse_summary(stdout):
    """Returns (read, write, compare, other) from the summary, or None."""
    marker = "\nSummary statistics:\n"
    at = stdout.rfind(marker)
    if at < 0:
        return None
    lines = stdout[at + len(marker):].splitlines()
    read = int(lines[0].split()[0].split("=")[1])
    write = int(lines[0].split()[1].split("=")[1])
    compare = int(lines[1].split()[0].split("=")[1])
    other = int(lines[1].split()[1].split("=")[1])
    return read, write, compare, other


def dummy_files(directory):
    return sorted(f for f in os.listdir(directory) if f.endswith(".DUMMY"))


def fast_dir():
    """A memory-backed directory for runs that move many MB, or None."""
    shm = "/dev/shm"
    return shm if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK) else None


def open_dummy_files(pid):
    """{fd: path} of the temporary files process `pid` holds open now."""
    found = {}
    base = "/proc/%d/fd" % pid
    try:
        names = os.listdir(base)
    except OSError:
        return found
    for name in names:
        try:
            target = os.readlink(os.path.join(base, name))
        except OSError:
            continue  # closed while we looked
        if target.endswith(".DUMMY"):
            found[int(name)] = target
    return found


def fd_flags(pid, fd):
    """The open flags of descriptor `fd` of process `pid`, from fdinfo."""
    with open("/proc/%d/fdinfo/%d" % (pid, fd)) as info:
        for line in info:
            if line.startswith("flags:"):
                return int(line.split()[1], 8)
    raise AssertionError("no flags line for fd %d" % fd)


def fault_env(**faults):
    """Environment for a run under the fault-injection library."""
    env = dict(os.environ)
    env["LD_PRELOAD"] = FAULT_LIB
    for key, value in faults.items():
        env["FAULT_" + key.upper()] = str(value)
    return env


needs_fault_lib = unittest.skipUnless(
    FAULT_LIB and os.path.exists(FAULT_LIB) and not SANITIZED,
    "needs the fault-injection library on a normal build")


class IochurnCase(unittest.TestCase):
    """Base class: a fresh working directory per test, checked empty after."""

    # Parent of the per-test directory; None means the system default.
    workdir_parent = None

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="iochurn-bb-", dir=self.workdir_parent)
        self.addCleanup(shutil.rmtree, self.workdir, True)

    def run_iochurn(self, *args, env=None, stdin=subprocess.DEVNULL,
                    timeout=DEFAULT_TIMEOUT, workdir=True, preexec_fn=None):
        argv = [BIN] + (["-t", self.workdir] if workdir else []) + list(args)
        return subprocess.run(argv, stdin=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=env, timeout=timeout,
                              text=True, errors="replace", preexec_fn=preexec_fn)

    def start_iochurn(self, *args, env=None, stdin=subprocess.DEVNULL,
                      workdir=True, preexec_fn=None):
        argv = [BIN] + (["-t", self.workdir] if workdir else []) + list(args)
        proc = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env,
                                preexec_fn=preexec_fn)
        self.addCleanup(self._reap, proc)
        return proc

    @staticmethod
    def _reap(proc):
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        for stream in (proc.stdout, proc.stderr):
            if stream:
                stream.close()

    @staticmethod
    def read_until(proc, needle, timeout=60):
        """Reads stdout until `needle` (bytes) appears; returns what was read."""
        seen = b""
        deadline = time.monotonic() + timeout
        fd = proc.stdout.fileno()
        while needle not in seen:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for %r; got %r" % (needle, seen[-500:]))
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise AssertionError("output ended before %r; got %r" % (needle, seen[-500:]))
                seen += chunk
        return seen

    @staticmethod
    def finish(proc, timeout=60):
        """Waits for the end; returns (status, stdout rest, stderr) as text."""
        out, err = proc.communicate(timeout=timeout)
        return (proc.returncode, out.decode(errors="replace"),
                err.decode(errors="replace"))

    def assertNoFilesLeft(self, directory=None):
        self.assertEqual(dummy_files(directory or self.workdir), [])


# ---------------------------------------------------------------------------
# Runs that are broken, watched or sampled while they go on.

MB = 1 << 20


def progress_symbols(stdout):
    """Counts of the progress symbols w, r, * and . before the summary
    (for runs without -v, whose output is nothing but progress)."""
    at = stdout.find("\nSummary statistics:\n")
    head = stdout if at < 0 else stdout[:at]
    return {sym: head.count(sym) for sym in "wr*."}


def wait_for_file_text(path, text, timeout=30):
    """Polls a file until it contains `text`; returns its content.

    For output of the child that does not go to a pipe: the break notices
    on descriptor 0, or the log of the fault-injection library."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            with open(path, "r", errors="replace") as f:
                content = f.read()
        except FileNotFoundError:
            content = ""
        if text in content:
            return content
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for %r in %s; got %r"
                                 % (text, path, content[-500:]))
        time.sleep(0.01)


class NoticeSink:
    """A regular file opened read-write, handed to the child as descriptor 0
    so that the break notices written there can be read back."""

    def __init__(self):
        fd, self.path = tempfile.mkstemp(prefix="iochurn-fd0-")
        os.close(fd)
        self.file = open(self.path, "r+b")

    def text(self):
        # pread: the child shares the file offset with us.
        size = os.fstat(self.file.fileno()).st_size
        return os.pread(self.file.fileno(), size, 0).decode(errors="replace")

    def wait_for(self, text, timeout=30):
        return wait_for_file_text(self.path, text, timeout)

    def close(self):
        self.file.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass


def notice(signal_number):
    """The break notice as the program writes it to descriptor 0."""
    return "\nsignal() %d\n" % signal_number


def read_stderr_until(proc, needle, timeout=30):
    """Reads the child's stderr until `needle` (text) appears; returns all of it."""
    seen, fd = b"", proc.stderr.fileno()
    deadline = time.monotonic() + timeout
    while needle.encode() not in seen:
        ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
        chunk = os.read(fd, 65536) if ready else b""
        if not chunk:
            raise AssertionError("no %r on stderr: %r" % (needle, seen[-800:]))
        seen += chunk
    return seen.decode(errors="replace")


class WatchedRunMixin:
    """Helpers for IochurnCase subclasses that act on a running child."""

    def notice_sink(self):
        sink = NoticeSink()
        self.addCleanup(sink.close)
        return sink

    @staticmethod
    def read_until_count(proc, needle, count, timeout=60):
        """Reads stdout until `needle` (bytes) has appeared `count` times."""
        seen = b""
        deadline = time.monotonic() + timeout
        fd = proc.stdout.fileno()
        while seen.count(needle) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("timed out waiting for %d x %r; got %r"
                                     % (count, needle, seen[-500:]))
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise AssertionError("output ended before %d x %r; got %r"
                                         % (count, needle, seen[-500:]))
                seen += chunk
        return seen

    @staticmethod
    def drain(proc, seconds, tick=None, interval=0.25):
        """Keeps reading stdout for `seconds` (so the child never blocks on a
        full pipe), calling `tick()` every `interval`; returns what was read.
        Stops early if the output ends."""
        seen = b""
        fd = proc.stdout.fileno()
        end = time.monotonic() + seconds
        next_tick = time.monotonic() + interval
        while True:
            now = time.monotonic()
            if now >= end:
                break
            if tick and now >= next_tick:
                tick()
                next_tick = now + interval
            wait = max(0.0, min(end, next_tick if tick else end) - now)
            ready, _, _ = select.select([fd], [], [], wait)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    break
                seen += chunk
        return seen

    def assertNoticeCount(self, sink, signal_number, count):
        self.assertEqual(sink.text().count(notice(signal_number)), count,
                         "descriptor 0 got %r" % sink.text())
