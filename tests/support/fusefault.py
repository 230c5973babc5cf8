"""Mounting the fault-injecting FUSE file system (tests/fusefault) in a test.

A mount lives in a temporary directory of its own: <root>/backing holds the
files, <root>/mnt is the mount point, <root>/faults.log the injection log.
However a test ends, the mount goes away and the daemon is reaped: a stalled
daemon cannot hang the suite, because a deadline aborts the FUSE connection
(every request waiting in the kernel then fails with ENOTCONN), unmounts
lazily and kills the daemon. As root the unmounts are system calls, so they
work in a chroot or container whose root lacks umount.

Where FUSE cannot be used the tests are skipped with the reason; with
IOCHURN_REQUIRE_FUSE=1 (set by CI) that skip is a failure instead.
"""
import ctypes
import ctypes.util
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BIN = os.environ.get("FUSEFAULT_BIN") or os.path.join(
    ROOT, "build", "tests", "fusefault", "fusefault")
REQUIRED = os.environ.get("IOCHURN_REQUIRE_FUSE") == "1"
CONNECTIONS = "/sys/fs/fuse/connections"

# Seconds a mount may live before it is torn down by force.
DEFAULT_DEADLINE = 600


def unavailable():
    """Why FUSE mounts cannot be made here, or None."""
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse missing"
    if not os.access(BIN, os.X_OK):
        return "fusefault not built at %s (needs libfuse3-dev)" % BIN
    return None


def require_fuse():
    """Skips the calling test (or class, from setUpClass) where FUSE is
    unavailable; fails instead when IOCHURN_REQUIRE_FUSE=1."""
    reason = unavailable()
    if reason is None:
        return
    if REQUIRED:
        raise AssertionError("FUSE tests are required (IOCHURN_REQUIRE_FUSE=1): "
                             + reason)
    raise unittest.SkipTest("skipped: " + reason)


def _mount_device(mountpoint):
    """'major:minor' of the FUSE mount at `mountpoint`, or None.

    Read from /proc/self/mountinfo, which never touches the file system
    itself (a stat() of a stalled mount would hang)."""
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields = line.split()
            sep = fields.index("-")
            if fields[4] == mountpoint and fields[sep + 1].startswith("fuse"):
                return fields[2]
    return None


MNT_DETACH = 2


def _run_tool(argv):
    """Runs a mount tool; False when it is missing or fails. A minimal root
    (a container, a chroot built from the essential packages) has no
    umount, and fusermount3 only where fuse3 is installed."""
    try:
        return subprocess.run(argv, capture_output=True, timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def _libc():
    return ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)


def _detach(mountpoint):
    """Lazily unmounts `mountpoint`: the system call where we may (root),
    so no tool is needed, else fusermount3 -u -z, else umount -l."""
    if os.geteuid() == 0 and _libc().umount2(os.fsencode(mountpoint), MNT_DETACH) == 0:
        return True
    return (_run_tool(["fusermount3", "-u", "-z", mountpoint])
            or _run_tool(["umount", "-l", mountpoint]))


class FuseFault:
    """One mount of fusefault; use as a context manager or call mount() and
    unmount() (unmount is safe to call more than once)."""

    def __init__(self, fault="none", count=None, block=None, span=None,
                 stall=None, stall_after=None, deadline=DEFAULT_DEADLINE,
                 parent=None, volatile=False, lie=False):
        self.root = tempfile.mkdtemp(prefix="fusefault-", dir=parent)
        # The mount point as libfuse names it (it resolves symbolic links),
        # so that logged paths and the program's paths agree.
        self.root = os.path.realpath(self.root)
        self.backing = os.path.join(self.root, "backing")
        self.mountpoint = os.path.join(self.root, "mnt")
        self.log = os.path.join(self.root, "faults.log")
        self.release_file = os.path.join(self.root, "release")
        self.daemon_err = os.path.join(self.root, "daemon.err")
        os.mkdir(self.backing)
        os.mkdir(self.mountpoint)
        self.argv = [BIN, "--fault=" + fault, "--log=" + self.log]
        for name, value in (("count", count), ("block", block), ("span", span),
                            ("stall", stall), ("stall-after", stall_after)):
            if value is not None:
                self.argv.append("--%s=%s" % (name, value))
        if stall:
            self.argv.append("--release=" + self.release_file)
        # The volatile cache: unflushed data is lost on drop(); --lie makes
        # flushes succeed without persisting.
        if volatile or lie:
            self.argv.append("--lie" if lie else "--volatile")
        self.argv += [self.backing, self.mountpoint, "-f"]
        self.deadline = deadline
        self.daemon = None
        self.device = None
        self.aborted = False
        self._timer = None
        self._lock = threading.Lock()

    def __enter__(self):
        self.mount()
        return self

    def __exit__(self, *exc):
        self.unmount()
        return False

    def mount(self, timeout=10):
        with open(self.daemon_err, "w") as err:
            self.daemon = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL,
                                           stdout=err, stderr=err)
        end = time.monotonic() + timeout
        while self.device is None:
            self.device = _mount_device(self.mountpoint)
            if self.device:
                break
            if self.daemon.poll() is not None or time.monotonic() > end:
                self.abort()
                raise AssertionError("fusefault did not mount (status %s): %s"
                                     % (self.daemon.returncode, self.daemon_text()))
            time.sleep(0.02)
        self._timer = threading.Timer(self.deadline, self.abort)
        self._timer.daemon = True
        self._timer.start()

    def daemon_text(self):
        try:
            with open(self.daemon_err, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def abort(self):
        """Tears the mount down by force: whatever waits on it is released."""
        with self._lock:
            self.aborted = True
            if self.device:
                minor = self.device.split(":")[1]
                self._ensure_fusectl()
                try:
                    with open(os.path.join(CONNECTIONS, minor, "abort"), "w") as f:
                        f.write("1")
                except OSError:
                    pass  # killing the daemon below aborts the connection too
            _detach(self.mountpoint)
            if self.daemon and self.daemon.poll() is None:
                self.daemon.kill()
                self.daemon.wait(timeout=30)

    @staticmethod
    def _ensure_fusectl():
        # The control file system is not mounted everywhere; as root it can
        # be (by the system call: a minimal root has no mount command).
        if os.geteuid() == 0 and os.path.isdir(CONNECTIONS) and not os.listdir(CONNECTIONS):
            _libc().mount(b"fusectl", os.fsencode(CONNECTIONS), b"fusectl", 0, None)

    def unmount(self):
        """Unmounts, reaps the daemon and removes the temporary directory."""
        if self._timer:
            self._timer.cancel()
        if self.daemon and self.daemon.poll() is None:
            try:
                if not self._unmount_now():  # busy: something still holds it
                    raise subprocess.TimeoutExpired(self.argv, 0)
                self.daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.abort()
        if _mount_device(self.mountpoint) is not None:
            # The daemon died under the mount: only a lazy unmount clears it.
            self.abort()
        if _mount_device(self.mountpoint) is None:
            shutil.rmtree(self.root, ignore_errors=True)

    def _unmount_now(self):
        """A plain (not lazy) unmount; False while the mount is busy."""
        if os.geteuid() == 0:
            return _libc().umount2(os.fsencode(self.mountpoint), 0) == 0
        return _run_tool(["fusermount3", "-u", self.mountpoint])

    def release(self):
        """Lets a stalled call go on."""
        with open(self.release_file, "w"):
            pass

    def drop_command(self):
        """The shell command that drops every unflushed byte and name."""
        return "%s --drop=%s" % (BIN, self.mountpoint)

    def drop(self):
        """Loses what was not flushed, as a power cut would."""
        subprocess.run([BIN, "--drop=" + self.mountpoint], check=True,
                       timeout=30)

    def log_lines(self):
        """The injection log, one list of fields per line."""
        try:
            with open(self.log) as f:
                return [line.split() for line in f.read().splitlines()]
        except FileNotFoundError:
            return []

    def wait_for_log(self, kind, timeout=30):
        """Polls the log until a line of `kind` appears; returns that line."""
        end = time.monotonic() + timeout
        while True:
            for fields in self.log_lines():
                if fields[0] == kind:
                    return fields
            if time.monotonic() > end:
                raise AssertionError("no %r line in the fault log: %r"
                                     % (kind, self.log_lines()))
            time.sleep(0.01)
