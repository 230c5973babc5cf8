"""The command line: help, refusals with their statuses, scanning, -d."""
import os
import signal
import time
import unittest

import harness
from harness import IochurnCase, summary

MB = 1 << 20
O_DIRECT = 0o40000
O_NOFOLLOW = 0o400000
O_CLOEXEC = 0o2000000

with open(os.path.join(harness.HERE, "data", "help.txt")) as f:
    HELP = f.read()

MONITOR_REFUSED = "You must set threads monitoring time interval!\n"
DIR_TOO_LONG = "Working catalog name is too long!\n"


def digits(n):
    return len(str(n))


def pid_max():
    with open("/proc/sys/kernel/pid_max") as f:
        return int(f.read())


def longest_allowed_dir(threads=1, files=1):
    """Length of the longest directory whose longest file name fits 255."""
    # "<dir>/<pid>_<thread>_<slot>.DUMMY" with the largest pid of this host
    fixed = (1 + digits(pid_max() - 1) + 1 + digits(max(threads, 1) - 1)
             + 1 + digits(max(files, 1) - 1) + len(".DUMMY"))
    return 255 - fixed


def missing_dir(length):
    """A path of exactly `length` characters that does not exist."""
    path = "/tmp/iochurn-no-such-dir-"
    return path + "a" * (length - len(path))


class Help(IochurnCase):
    def assertHelp(self, *args):
        r = self.run_iochurn(*args)
        self.assertEqual(r.stderr, HELP)
        self.assertEqual(r.stdout, "")
        self.assertEqual(r.returncode, 1)
        self.assertNoFilesLeft()

    def test_help_text_exactly(self):
        self.assertEqual(HELP.count("\n"), 37)
        self.assertHelp("-h")

    def test_help_shows_built_in_defaults_not_given_values(self):
        self.assertHelp("-n", "7", "-a", "60", "-t", "/x", "-j", "9", "-s", "3",
                        "-f", "5", "-p", "2", "-h")

    def test_direct_and_sync_print_nothing_before_help(self):
        self.assertHelp("-d", "-y", "-h")

    def test_options_after_help_are_not_read(self):
        self.assertHelp("-h", "-j", "5")
        self.assertHelp("-h", "-O")  # would otherwise be refused with 7


class Refusals(IochurnCase):
    def assertRefused(self, status, message, *args):
        r = self.run_iochurn(*args)
        self.assertEqual(r.returncode, status, r.stderr)
        self.assertEqual(r.stderr, message)
        self.assertEqual(r.stdout, "")
        self.assertEqual(os.listdir(self.workdir), [])

    def test_missing_value_names_its_option(self):
        # The next word is another option, not the value it needs.
        self.assertRefused(2, "iochurn: --verify: this option needs a value "
                           "(--option=VALUE)\n", "--verify", "--report=x.json")
        self.assertFalse(os.path.exists("x.json"))

    def test_monitoring_without_interval(self):
        self.assertRefused(7, MONITOR_REFUSED, "-O")
        self.assertRefused(7, MONITOR_REFUSED, "-O", "-o", "-1")
        self.assertRefused(7, MONITOR_REFUSED, "-o", "5", "-O", "-o", "-1", "-v")

    def test_monitoring_with_zero_interval_runs(self):
        r = self.run_iochurn("-O", "-o", "0", "-f", "2", "-s", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "w**r**" + summary(2 * MB, 2 * MB))
        self.assertNoFilesLeft()

    def test_interval_without_monitoring_changes_nothing(self):
        started = time.monotonic()
        r = self.run_iochurn("-o", "60", "-R", "-f", "2", "-s", "1")
        self.assertLess(time.monotonic() - started, 30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, "w**r**" + summary(2 * MB, 2 * MB))

    def test_working_directory_length_boundary(self):
        limit = longest_allowed_dir()
        r = self.run_iochurn("-t", missing_dir(limit + 1), workdir=False)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (8, "", DIR_TOO_LONG))
        # Refused also when no worker would create a file.
        r = self.run_iochurn("-t", missing_dir(limit + 1), "-j", "-3", workdir=False)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (8, "", DIR_TOO_LONG))

        # At the limit the run goes on; the directory is missing, so each
        # slot's open fails on its own.
        path = missing_dir(limit)
        proc = self.start_iochurn("-t", path, "-n", "2", "-f", "1", "-s", "1",
                                  workdir=False)
        status, out, err = self.finish(proc)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, summary(0, 0, 0, 2))
        self.assertEqual(err, "".join(
            "Thread 0: ERR [open]: No such file or directory for file %s/%d_0_%d.DUMMY\n"
            % (path, proc.pid, j) for j in range(2)))

    def test_longest_name_counts_thread_and_slot_digits(self):
        limit = longest_allowed_dir()
        self.assertEqual(longest_allowed_dir(threads=10, files=10), limit)
        path = missing_dir(limit)
        for args in (["-j", "11"], ["-n", "11"], ["-j", "501"]):
            r = self.run_iochurn("-t", path, *args, workdir=False)
            self.assertEqual((r.returncode, r.stdout, r.stderr),
                             (8, "", DIR_TOO_LONG), args)
        r = self.run_iochurn("-t", missing_dir(limit - 1), "-n", "11", "-f", "1",
                             "-s", "1", workdir=False)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, summary(0, 0, 0, 11))

    def test_monitoring_check_comes_before_length_check(self):
        r = self.run_iochurn("-O", "-t", missing_dir(300), workdir=False)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (7, "", MONITOR_REFUSED))


class Scanning(IochurnCase):
    """How words on the line are taken; shown by the totals of small runs."""

    def assertRun(self, expected_stdout, *args, env=None):
        r = self.run_iochurn(*args, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        self.assertEqual(r.stdout, expected_stdout)
        self.assertNoFilesLeft()
        return r

    def test_non_option_words_are_ignored(self):
        self.assertRun("w**r**" + summary(2 * MB, 2 * MB),
                       "foo", "-f", "2", "bar", "-s", "1", "baz")

    def test_double_dash_ends_the_scan(self):
        self.assertRun("w**r**" + summary(2 * MB, 2 * MB),
                       "-f", "2", "-s", "1", "--", "-j", "3", "-h")

    def test_scan_stops_at_first_word_when_posixly_correct(self):
        env = dict(os.environ, POSIXLY_CORRECT="1")
        self.assertRun("w**r**" + summary(2 * MB, 2 * MB),
                       "-f", "2", "-s", "1", "word", "-j", "3", env=env)

    def test_option_needing_argument_last_is_ignored(self):
        self.assertRun("w**r**" + summary(2 * MB, 2 * MB), "-f", "2", "-s", "1", "-j")

    def test_unknown_letters_pass_in_silence(self):
        self.assertRun("w**r**" + summary(2 * MB, 2 * MB), "-x", "-f", "2", "-Q", "-s", "1")

    def test_argument_is_next_word_even_with_dash(self):
        # "-v" is the argument of -j: one worker, no commentary.
        self.assertRun("w*r*" + summary(MB, MB), "-f", "1", "-s", "1", "-j", "-v")

    def test_grouped_letters_and_attached_arguments(self):
        r = self.run_iochurn("-vMj2", "-f1", "-s", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("Try to run thread 1.\n", r.stdout)
        self.assertNotIn("Try to run thread 2.\n", r.stdout)
        self.assertNotIn("Summary statistics", r.stdout)
        self.assertNoFilesLeft()

    def test_last_occurrence_wins_and_trailing_text_is_dropped(self):
        r = self.run_iochurn("-j", "4", "-j", "2abc", "-f", "1", "-s", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.endswith(summary(2 * MB, 2 * MB)), r.stdout)

    def test_zero_and_negative_sizes_become_one(self):
        self.assertRun("w*r*" + summary(MB, MB), "-f", "0", "-s", "0", "-p", "0",
                       "-n", "0", "-j", "0")
        self.assertRun("w**r**" + summary(2 * MB, 2 * MB), "-f", "2", "-s", "-5")
        self.assertRun("w*r*" + summary(MB, MB), "-f", "none", "-s", "x")



class Limits(IochurnCase):
    workdir_parent = harness.fast_dir()

    def test_file_count_is_limited_to_100(self):
        r = self.run_iochurn("-n", "101", "-f", "1", "-s", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.endswith(summary(100 * MB, 100 * MB)), r.stdout[-200:])
        self.assertNoFilesLeft()

    def test_thread_count_is_limited_to_500(self):
        r = self.run_iochurn("-j", "501", "-f", "1", "-s", "1")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        self.assertTrue(r.stdout.endswith(summary(500 * MB, 500 * MB)), r.stdout[-200:])
        self.assertEqual(r.stdout.count("w"), 500)
        self.assertNoFilesLeft()


def takes_direct_io(directory):
    if directory is None:
        return False
    probe = os.path.join(directory, "iochurn-direct-probe-%d" % os.getpid())
    try:
        os.close(os.open(probe, os.O_CREAT | os.O_RDWR | O_DIRECT, 0o600))
    except OSError:
        return False
    os.remove(probe)
    return True


needs_direct_io = unittest.skipUnless(takes_direct_io(harness.fast_dir()),
                                      "/dev/shm refuses O_DIRECT on this kernel")


class DirectIo(IochurnCase):
    """-d adds O_DIRECT; tmpfs takes it on the kernels this runs on."""

    workdir_parent = harness.fast_dir()

    def flags_of_open_file(self, *args):
        proc = self.start_iochurn("-l", "-f", "1", "-s", "1", *args)
        flags = None
        deadline = time.monotonic() + 30
        while flags is None and time.monotonic() < deadline:
            for fd in harness.open_dummy_files(proc.pid):
                try:
                    flags = harness.fd_flags(proc.pid, fd)
                except (OSError, AssertionError):
                    continue  # closed under us; the next pass reopens it
                break
        proc.send_signal(signal.SIGINT)
        status, out, err = self.finish(proc)
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "")
        totals = harness.parse_summary(out)
        self.assertIsNotNone(totals, out)
        read, write, compare, other = totals
        self.assertEqual((compare, other), (0, 0))
        self.assertEqual(write % MB, 0)
        self.assertEqual(read % MB, 0)
        self.assertLessEqual(read, write)
        self.assertNoFilesLeft()
        self.assertIsNotNone(flags, "never saw a temporary file open")
        self.assertEqual(flags & 3, os.O_RDWR)
        self.assertEqual(flags & (O_NOFOLLOW | O_CLOEXEC), O_NOFOLLOW | O_CLOEXEC)
        return flags

    @needs_direct_io
    def test_direct_flag_on_open_files(self):
        self.assertEqual(self.flags_of_open_file("-d") & O_DIRECT, O_DIRECT)
        self.assertEqual(self.flags_of_open_file() & O_DIRECT, 0)

    @needs_direct_io
    def test_direct_run_is_clean(self):
        r = self.run_iochurn("-d", "-r", "-n", "2", "-p", "2", "-f", "3", "-s", "2")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        self.assertEqual(r.stdout, "w*.w*.r*.r*." * 2 + summary(12 * MB, 12 * MB))
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
