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
FAULT_LIB = os.environ.get("FAULT_INJECT_LIB", "")
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

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="iochurn-bb-")
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
