"""Multi-pass runs under valgrind: no leaked memory, no leaked descriptor."""
import re
import shutil
import signal
import subprocess
import unittest

import harness
from harness import IochurnCase

VALGRIND = shutil.which("valgrind")


@unittest.skipUnless(VALGRIND and not harness.SANITIZED, "needs valgrind on a normal build")
class Leaks(IochurnCase):
    def run_under_valgrind(self, *args):
        argv = [VALGRIND, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                "--error-exitcode=3", "--track-fds=yes", harness.BIN,
                "-t", self.workdir] + list(args)
        return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=600)

    def assertNoDescriptorLeft(self, report):
        # Only what the parent handed in, the standard three and the one
        # /dev/null descriptor the emergency clean-up keeps, may stay open.
        blocks = re.findall(r"Open file descriptor (\d+):([^\n]*)\n==\d+==\s+(\S[^\n]*)", report)
        self.assertTrue(blocks, report[-2000:])
        for number, target, origin in blocks:
            if "inherited" in origin or int(number) <= 2:
                continue
            self.assertIn("/dev/null", target, "descriptor %s left open: %s %s" % (number, target, origin))
            self.assertIn("prepare_detach", report)

    def test_passes_and_workers_release_everything(self):
        r = self.run_under_valgrind("-p", "3", "-n", "3", "-j", "2", "-f", "2", "-s", "1",
                                    "-m", "-r", "-L", self.workdir + "/pass.log")
        self.assertEqual(r.returncode, 0, r.stderr[-3000:])
        self.assertIn("definitely lost: 0 bytes", r.stderr)
        self.assertNoDescriptorLeft(r.stderr)
        self.assertNoFilesLeft()

    def test_reruns_and_watchdogs_release_everything(self):
        argv = [VALGRIND, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                "--error-exitcode=3", "--track-fds=yes", harness.BIN, "-t", self.workdir,
                "-O", "-o", "0", "-R", "-v", "-j", "2", "-f", "1", "-s", "1", "-A", "-a", "60"]
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.addCleanup(self._reap, p)
        seen = b""
        while seen.count(b"create_thread result code = 0") < 4:
            seen += self.read_until(p, b"create_thread result code = 0", timeout=300)
        p.send_signal(signal.SIGINT)
        status, out, err = self.finish(p, timeout=300)
        self.assertEqual(status, 0, err[-3000:])
        self.assertIn("Terminate. No more active threads.", out)
        self.assertIn("definitely lost: 0 bytes", err)
        self.assertNoDescriptorLeft(err)
        self.assertNoFilesLeft()


if __name__ == "__main__":
    unittest.main()
