"""Running short of descriptors, memory, file size, output and threads."""
import os
import re
import resource
import signal
import time
import unittest

import harness
from harness import IochurnCase, summary

MB = 1 << 20


def soft_limit(which, value):
    """preexec_fn lowering one soft resource limit of the child."""
    def apply():
        resource.setrlimit(which, (value, resource.getrlimit(which)[1]))
    return apply


# Sanitizer runtimes reserve terabytes of address space up front.
plain_address_space = unittest.skipIf(harness.SANITIZED, "address space limits need a plain build")


def closing(fd):
    """preexec_fn closing one of the child's standard descriptors."""
    return lambda: os.close(fd)


class StandardDescriptorsClosed(IochurnCase):
    """No temporary file may take descriptor 0, 1 or 2 (the notice goes to
    0, progress to 1, errors to 2: they would land inside the file)."""

    FILES = 3

    def run_with_closed(self, fd):
        proc = self.start_iochurn("-z", "-v", "-l", "-n", str(self.FILES),
                                  "-f", "1", "-s", "1", preexec_fn=closing(fd))
        names = ["%d_0_%d.DUMMY" % (proc.pid, j) for j in range(self.FILES)]
        for name in names:
            self.addCleanup(lambda n=name: os.path.exists(os.path.join(self.workdir, n))
                            and os.remove(os.path.join(self.workdir, n)))
        # Watch the descriptors the files get until each slot has been seen.
        seen_fds, seen_paths = set(), set()
        deadline = time.monotonic() + 30
        while len(seen_paths) < self.FILES and time.monotonic() < deadline:
            for number, path in harness.open_dummy_files(proc.pid).items():
                seen_fds.add(number)
                seen_paths.add(os.path.basename(path))
        standard = os.readlink("/proc/%d/fd/%d" % (proc.pid, fd))
        proc.send_signal(signal.SIGINT)
        status, out, err = self.finish(proc)

        self.assertEqual(status, 0, err)
        self.assertEqual(standard, "/dev/null")
        self.assertEqual(seen_paths, set(names))
        self.assertGreaterEqual(min(seen_fds), 3, seen_fds)
        # Kept files hold their slot's fill and nothing else; a break right
        # after the files were opened leaves them empty.
        self.assertEqual(harness.dummy_files(self.workdir), sorted(names))
        for j, name in enumerate(names):
            with open(os.path.join(self.workdir, name), "rb") as f:
                data = f.read()
            self.assertIn(len(data), (0, MB), name)
            self.assertEqual(data, bytes([j]) * len(data), name)
        return out, err

    def test_stdin_closed(self):
        out, err = self.run_with_closed(0)
        self.assertEqual(err, "")
        self.assertNotIn("signal()", out)
        totals = harness.parse_summary(out)
        self.assertIsNotNone(totals, out[-300:])
        self.assertEqual(totals[2:], (0, 0))

    def test_stdout_closed(self):
        out, err = self.run_with_closed(1)
        self.assertEqual((out, err), ("", ""))

    def test_stderr_closed(self):
        out, err = self.run_with_closed(2)
        self.assertEqual(err, "")
        self.assertEqual(harness.parse_summary(out)[2:], (0, 0))


class Limits(IochurnCase):
    workdir_parent = harness.fast_dir()

    def test_too_few_descriptors(self):
        proc = self.start_iochurn("-n", "100", "-f", "1", "-s", "1",
                                  preexec_fn=soft_limit(resource.RLIMIT_NOFILE, 20))
        status, out, err = self.finish(proc)
        self.assertEqual(status, 0, err)
        failed = [int(j) for j in re.findall(
            r"^Thread 0: ERR \[open\]: Too many open files for file %s/%d_0_(\d+)\.DUMMY$"
            % (re.escape(self.workdir), proc.pid), err, re.M)]
        self.assertEqual(len(failed), len(err.splitlines()), err[:500])
        # The first slots got descriptors, the rest did not.
        opened = 100 - len(failed)
        self.assertGreater(opened, 0)
        self.assertEqual(failed, list(range(opened, 100)))
        self.assertTrue(out.endswith(summary(opened * MB, opened * MB, 0, len(failed))),
                        out[-300:])
        self.assertNoFilesLeft()

    def base_address_space(self):
        """Address space of a running one-slot worker with a 1 MB buffer."""
        proc = self.start_iochurn("-l", "-f", "1", "-s", "1")
        self.read_until(proc, b"r")
        with open("/proc/%d/status" % proc.pid) as f:
            size = int(re.search(r"^VmSize:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024
        proc.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(proc)[0], 0)
        return size

    @plain_address_space
    def test_too_little_address_space_for_the_buffers(self):
        buffer_mb = 64
        limit = self.base_address_space() + int(2.5 * buffer_mb * MB)
        proc = self.start_iochurn("-z", "-v", "-n", "4", "-f", "1", "-s", str(buffer_mb),
                                  preexec_fn=soft_limit(resource.RLIMIT_AS, limit))
        status, out, err = self.finish(proc)
        kept = harness.dummy_files(self.workdir)
        for name in kept:
            self.addCleanup(os.remove, os.path.join(self.workdir, name))
        self.assertEqual(status, 0, err)
        failed = [int(j) for j in re.findall(
            r"^Thread 0: ERR \[malloc\]: Cannot allocate memory for buffer (\d+)$", err, re.M)]
        self.assertEqual(len(failed), len(err.splitlines()), err)
        got = [j for j in range(4) if j not in failed]
        self.assertTrue(failed and got, "limit %d gave no mix: %s" % (limit, err))
        # A slot without a buffer gets no file and no transfer.
        self.assertEqual(re.findall(r"Thread 0: Init read_write_buffer (\d+)\n", out),
                         [str(j) for j in got])
        self.assertEqual(kept, ["%d_0_%d.DUMMY" % (proc.pid, j) for j in got])
        self.assertEqual(re.findall(r"Thread 0: Write file (\d+): ", out),
                         [str(j) for j in got])
        self.assertTrue(out.endswith(summary(len(got) * MB, len(got) * MB, 0, len(failed))),
                        out[-300:])

    @plain_address_space
    def test_missing_read_buffer_leaves_the_file_unread(self):
        # Room for three 64 MB buffers: both write buffers and read buffer 0.
        limit = self.base_address_space() + int(3.5 * 64 * MB)
        proc = self.start_iochurn("-m", "-v", "-n", "2", "-f", "1", "-s", "64",
                                  preexec_fn=soft_limit(resource.RLIMIT_AS, limit))
        status, out, err = self.finish(proc)
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "Thread 0: ERR [malloc]: Cannot allocate memory for buffer 1\n")
        self.assertEqual(re.findall(r"Thread 0: Write file (\d+): ", out), ["0", "1"])
        self.assertEqual(re.findall(r"Thread 0: Read file (\d+): ", out), ["0"])
        self.assertTrue(out.endswith(summary(MB, 2 * MB, 0, 1)), out[-300:])
        self.assertNoFilesLeft()

    def test_file_size_limit_fails_the_write(self):
        r = self.run_iochurn("-n", "2", "-f", "4", "-s", "1",
                             preexec_fn=soft_limit(resource.RLIMIT_FSIZE, 2 * MB))
        # Not killed by SIGXFSZ: the third chunk fails, the rest goes on.
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr,
                         "\nThread 0: ERR [write]: File too large for buffer 0\n"
                         "\nThread 0: ERR [write]: File too large for buffer 1\n"
                         "\nThread 0: ERR [read]: end of file after 0 of 1048576 bytes for buffer 0\n"
                         "\nThread 0: ERR [read]: end of file after 0 of 1048576 bytes for buffer 1\n"
                         "\nThread 0: ERR [chksum]: mismatch additive sums, "
                         "write=3145728, read=2097152\n")
        self.assertEqual(r.stdout, "w***w***r***r***" + summary(4 * MB, 4 * MB, 1, 4))
        self.assertNoFilesLeft()

    def test_write_continued_up_to_a_file_size_limit_fails_with_its_own_error(self):
        # The third chunk fits half: the call that goes on with the rest
        # fails with EFBIG. With blocks the file is read as far as written.
        r = self.run_iochurn("-n", "1", "-f", "4", "-s", "1", "--verify=blocks",
                             preexec_fn=soft_limit(resource.RLIMIT_FSIZE, 5 * MB // 2))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "\nThread 0: ERR [write]: File too large for buffer 0\n")
        self.assertEqual(r.stdout, "w***r**." + summary(5 * MB // 2, 5 * MB // 2, 0, 1))
        self.assertNoFilesLeft()


class OutputGone(IochurnCase):
    """A reader that goes away must not kill the run (SIGPIPE)."""

    def stop_after_reader_left(self, proc):
        time.sleep(0.5)  # passes go on writing into the broken pipe
        self.assertIsNone(proc.poll(), "died with %s" % proc.returncode)
        proc.send_signal(signal.SIGINT)
        status = proc.wait(timeout=60)
        self.assertEqual(status, 0)
        self.assertNoFilesLeft()

    def test_stdout_reader_leaves(self):
        proc = self.start_iochurn("-l", "-j", "2", "-f", "1", "-s", "1")
        self.read_until(proc, b"w*")
        proc.stdout.close()
        self.stop_after_reader_left(proc)
        self.assertEqual(proc.stderr.read(), b"")

    def test_stderr_reader_leaves(self):
        # Every pass reports many failed opens on stderr.
        proc = self.start_iochurn("-l", "-n", "30", "-f", "1", "-s", "1",
                                  preexec_fn=soft_limit(resource.RLIMIT_NOFILE, 10))
        self.assertIn(b"Too many open files", proc.stderr.readline())
        proc.stderr.close()
        self.stop_after_reader_left(proc)
        totals = harness.parse_summary(proc.stdout.read().decode())
        self.assertIsNotNone(totals)
        self.assertEqual(totals[2], 0)
        self.assertGreater(totals[3], 0)


@harness.needs_fault_lib
class ThreadsRefused(IochurnCase):
    """Creating a thread fails: the pause clock is the first call (its
    failure only costs the telling of a stopped process from a slow one),
    the signal thread the second, the file-system type check's helper the
    third."""

    def run_refused(self, nth, *args):
        log = os.path.join(self.workdir, "faults.log")
        env = harness.fault_env(op="pthread_create", nth=nth, log=log)
        r = self.run_iochurn(*args, env=env)
        with open(log) as f:
            self.assertEqual(f.read(), "pthread_create %d\n" % nth)
        os.remove(log)
        self.assertEqual(r.stderr, "")
        self.assertNotIn("Summary statistics", r.stdout)
        self.assertNoFilesLeft()
        return r

    def test_second_worker_refused_at_start(self):
        # Worker 0 is busy with its files when the process ends: they go too.
        for _ in range(3):
            r = self.run_refused(5, "-v", "-j", "3", "-f", "8", "-s", "1")
            self.assertEqual(r.returncode, 10)
            self.assertIn("thread 1: create_thread_error = 11!\n", r.stdout)
            self.assertIn("Thread creation failed. Terminate.\n",
                          r.stdout[r.stdout.index("create_thread_error"):])
            self.assertIn("Try to run thread 1.\n", r.stdout)
            self.assertNotIn("Try to run thread 2.\n", r.stdout)

    def test_rerun_refused(self):
        r = self.run_refused(5, "-v", "-O", "-R", "-o", "0", "-f", "1", "-s", "1")
        self.assertEqual(r.returncode, 6)
        self.assertIn("thread [0]: status done.\n", r.stdout)
        self.assertTrue(r.stdout.endswith(
            "thread 0: create_thread_error = 11!\n"
            "thread 0: create_thread result code = 4\n"
            "thread 0: create_thread_error = 4!\n"), r.stdout[-300:])
        self.assertNotIn("Terminate. No more active threads.", r.stdout)


if __name__ == "__main__":
    unittest.main()
