"""Install into a scratch prefix and build the Debian package."""
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("IOCHURN_BUILD_DIR", "")
VERSION = os.environ.get("IOCHURN_VERSION", "1.3.1")


@unittest.skipUnless(BUILD and os.path.isdir(BUILD), "needs IOCHURN_BUILD_DIR")
class Packaging(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="iochurn-pkg-")
        self.addCleanup(shutil.rmtree, self.scratch, True)

    def test_install_puts_program_manual_and_completion_in_place(self):
        prefix = os.path.join(self.scratch, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
        program = os.path.join(prefix, "bin", "iochurn")
        self.assertTrue(os.access(program, os.X_OK))
        with open(os.path.join(prefix, "share", "man", "man1", "iochurn.1")) as f:
            self.assertIn(".TH IOCHURN 1", f.read().upper())
        completion = os.path.join(prefix, "share", "bash-completion", "completions", "iochurn")
        with open(completion) as f:
            self.assertIn("complete", f.read())
        # The installed program is the real one: its help names the version.
        r = subprocess.run([program, "-h"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, timeout=30)
        self.assertEqual(r.returncode, 1)
        self.assertIn("version %s\n" % VERSION, r.stderr)

    @unittest.skipUnless(shutil.which("dpkg-deb"), "needs dpkg-deb")
    def test_debian_package_holds_the_three_files(self):
        out = os.path.join(self.scratch, "pkg")
        subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                        "-B", out], check=True, stdout=subprocess.DEVNULL, cwd=self.scratch)
        arch = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE,
                              text=True, check=True).stdout.strip()
        deb = os.path.join(out, "iochurn_%s_%s.deb" % (VERSION, arch))
        self.assertTrue(os.path.exists(deb), os.listdir(out))
        listing = subprocess.run(["dpkg-deb", "-c", deb], stdout=subprocess.PIPE, text=True,
                                 check=True).stdout
        for path in ("/bin/iochurn", "/man1/iochurn.1", "/completions/iochurn"):
            self.assertIn(path, listing)


if __name__ == "__main__":
    unittest.main()
