#!/usr/bin/env python3
"""Checks the user documentation: the man page, the README's examples and
the bash completion.

Run directly (python3 tests/docs/docs_test.py); needs only the standard
library, bash, and groff for the rendering check. The examples that run the
program need it in IOCHURN_BIN (CTest sets it) and are skipped without it.
"""

import getopt
import os
import re
import resource
import shlex
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAN_PAGE = os.path.join(ROOT, "docs", "iochurn.1")
README = os.path.join(ROOT, "README.md")
COMPLETION = os.path.join(ROOT, "contrib", "iochurn.bash-completion")
BIN = os.environ.get("IOCHURN_BIN")
MB = 1 << 20

# The option set handed to getopt by the program: a letter followed by a colon
# takes an argument.
OPTION_STRING = "a:Adhf:j:L:lMmn:p:P:Oo:rRs:St:uvw:yz"
# The long options, as getopt_long knows them; "=" marks a required
# argument. Python's getopt has no optional arguments: those options are
# matched by OPTIONAL_LONG and taken out before it reads a command.
LONG_OPTIONS = ["help", "version", "verify=", "verify-block=", "report=",
                "strict", "status-interval=", "diagnose", "memory-budget=",
                "journal=", "check-journal=", "cut-after=", "cut-command=",
                "html=", "from-report=", "runtime=", "max-errors="]
OPTIONAL_LONG = re.compile(r"^--(keep-failed|sweep)(=\S+)?$")
EXIT_STATUSES = {"0", "1", "2", "5", "6", "7", "8", "9", "10"}
SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "OUTPUT",
            "EXIT STATUS", "SIGNALS", "FILES", "EXAMPLES", "SEE ALSO"]


def option_letters():
    """Maps every option letter to whether it takes an argument."""
    letters = {}
    for i, c in enumerate(OPTION_STRING):
        if c != ":":
            letters[c] = OPTION_STRING[i + 1:i + 2] == ":"
    return letters


def plain(text):
    """Turns roff text into plain text: escaped dashes, font changes, \\&."""
    text = text.replace("\\-", "-").replace("\\&", "").replace("\\e", "\\")
    return re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", text)


def macro_args(line):
    """Splits a macro line such as .BI \\-a " secs" into name and arguments."""
    words = shlex.split(line.replace("\\", "\\\\"), posix=True)
    return words[0], [plain(w) for w in words[1:]]


def read_sections():
    """Returns the section names in order and each section's lines."""
    with open(MAN_PAGE, encoding="utf-8") as f:
        lines = f.read().splitlines()
    order, body, current = [], {}, None
    for line in lines:
        if line.startswith(".SH"):
            current = line[3:].strip().strip('"')
            order.append(current)
            body[current] = []
        elif current is not None and not line.startswith('.\\"'):
            body[current].append(line)
    return order, body


def entry_tags(lines):
    """The tag line of every .TP entry, as macro name and arguments."""
    tags = []
    for i, line in enumerate(lines):
        if line.strip() == ".TP" and i + 1 < len(lines):
            tags.append(macro_args(lines[i + 1]))
    return tags


class ManPageTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.order, cls.sections = read_sections()

    def test_sections_present_in_order(self):
        self.assertEqual([s for s in self.order if s in SECTIONS], SECTIONS)

    def test_options_section_has_one_entry_per_option(self):
        entries = {}
        for _, args in entry_tags(self.sections["OPTIONS"]):
            m = re.fullmatch(r"-([A-Za-z])", args[0]) if args else None
            if m is None:
                continue
            letter = m.group(1)
            self.assertNotIn(letter, entries, "-%s documented twice" % letter)
            entries[letter] = " ".join(a for a in args[1:] if a.strip())
        expected = option_letters()
        self.assertEqual(sorted(entries), sorted(expected))
        for letter, takes_arg in expected.items():
            with self.subTest(option=letter):
                if takes_arg:
                    self.assertTrue(entries[letter], "-%s needs its argument" % letter)
                else:
                    self.assertFalse(entries[letter], "-%s takes no argument" % letter)

    @unittest.skipUnless(BIN, "needs IOCHURN_BIN")
    def test_every_long_option_has_an_entry_of_its_own(self):
        run = subprocess.run([BIN, "--help"], capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0)
        listed = {re.split(r"[=\[]", w)[0] for w in run.stdout.split()
                  if w.startswith("--") and len(w) > 2}
        tagged = set()
        for lines in self.sections.values():
            for _, args in entry_tags(lines):
                if args and args[0].startswith("--"):
                    tagged.add(re.split(r"[=\[]", args[0])[0])
        # An entry whose .TP got lost runs into the one before it.
        self.assertEqual(sorted(listed - tagged), [])

    def test_synopsis_shows_every_option(self):
        text = " ".join(" ".join(macro_args(l)[1]) if l.startswith(".") else plain(l)
                        for l in self.sections["SYNOPSIS"])
        text = re.sub(r"\s+", " ", text.replace("[ ", "[").replace(" ]", "]"))
        switches = set("".join(re.findall(r"\[-([A-Za-z]+)\]", text)))
        with_args = set(re.findall(r"\[-([A-Za-z]) \w+\]", text))
        expected = option_letters()
        self.assertEqual(switches, {c for c, a in expected.items() if not a})
        self.assertEqual(with_args, {c for c, a in expected.items() if a})

    def test_exit_status_section_lists_every_status(self):
        statuses = [args[0] for _, args in entry_tags(self.sections["EXIT STATUS"]) if args]
        self.assertEqual(sorted(statuses, key=int), sorted(EXIT_STATUSES, key=int))

    @unittest.skipUnless(shutil.which("groff"), "groff is not installed")
    def test_groff_renders_without_warnings(self):
        run = subprocess.run(["groff", "-man", "-ww", "-z", MAN_PAGE],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout + run.stderr), (0, ""))


# Sources the completion script, finds the function it registered for
# iochurn, calls it the way readline would, and prints COMPREPLY NUL-separated.
HARNESS = r'''
set -u
source "$1" || exit 3
registered=$(complete -p iochurn) || exit 4
func=${registered#*-F }
func=${func%% *}
shift
COMP_WORDS=("$@")
COMP_CWORD=$(( $# - 1 ))
COMP_LINE="$*"
COMP_POINT=${#COMP_LINE}
"$func" iochurn "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
if (( ${#COMPREPLY[@]} )); then printf '%s\0' "${COMPREPLY[@]}"; fi
'''


@unittest.skipUnless(shutil.which("bash"), "bash is not installed")
class CompletionTest(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        for d in ("alpha", "alps", "al space"):
            os.mkdir(os.path.join(self.tmp.name, d))
        for f in ("alpine", "alpha.txt"):
            open(os.path.join(self.tmp.name, f), "w").close()
        os.mkdir(os.path.join(self.tmp.name, "beta"))

    def complete(self, *words):
        """Completes the last word of: iochurn WORDS..."""
        run = subprocess.run(["bash", "--norc", "--noprofile", "-c", HARNESS,
                              "harness", COMPLETION, "iochurn"] + list(words),
                             cwd=self.tmp.name, capture_output=True, text=True,
                             timeout=60)
        self.assertEqual((run.returncode, run.stderr), (0, ""), words)
        return sorted(w.rstrip("/") for w in run.stdout.split("\0") if w)

    @unittest.skipUnless(BIN, "needs IOCHURN_BIN")
    def test_long_options_are_those_the_program_lists(self):
        run = subprocess.run([BIN, "--help"], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(run.returncode, 0)
        listed = set()
        for line in run.stdout.splitlines():
            for word in line.split():
                if word.startswith("--") and len(word) > 2:
                    # "--verify=sum|blocks", "--keep-failed[=N]": the name.
                    listed.add(re.split(r"[=\[]", word)[0])
        offered = {re.split(r"=", w)[0] for w in self.complete("--")}
        self.assertEqual(offered, listed)
        self.assertEqual(self.complete("--verify="),
                         ["--verify=blocks", "--verify=sum"])

    def test_script_is_valid_bash(self):
        run = subprocess.run(["bash", "-n", COMPLETION], capture_output=True,
                             text=True, timeout=60)
        self.assertEqual((run.returncode, run.stderr), (0, ""))

    def test_dash_offers_every_option(self):
        expected = sorted("-" + c for c in option_letters())
        self.assertEqual(self.complete("-"), expected)
        self.assertEqual(self.complete("-s", "4", "-"), expected)
        self.assertEqual(self.complete("-j"), ["-j"])

    def test_workdir_completes_directories_only(self):
        dirs = ["al space", "alpha", "alps"]
        self.assertEqual(self.complete("-t", "al"), dirs)
        self.assertEqual(self.complete("-t", ""), dirs + ["beta"])
        # A grouped switch before -t, and an argument glued to its option.
        self.assertEqual(self.complete("-v", "-zt", "al"), dirs)
        self.assertEqual(self.complete("-j4", "-t", "al"), dirs)
        self.assertEqual(self.complete("-tal"), ["-t" + d for d in dirs])

    def test_logfile_completes_files(self):
        everything = ["al space", "alpha", "alpha.txt", "alpine", "alps"]
        self.assertEqual(self.complete("-L", "al"), everything)
        self.assertEqual(self.complete("-vLalp"),
                         ["-vL" + n for n in everything if n.startswith("alp")])

    def test_numeric_arguments_complete_nothing(self):
        for letter, takes_arg in option_letters().items():
            if takes_arg and letter not in "tL":
                with self.subTest(option=letter):
                    self.assertEqual(self.complete("-" + letter, ""), [])
                    self.assertEqual(self.complete("-" + letter, "al"), [])
        # The word after -j is its argument even when it looks like -t.
        self.assertEqual(self.complete("-j", "-t", "al"), [])
        # Nothing after -- is read as an option.
        self.assertEqual(self.complete("--", "-t", "al"), [])


# ------------------------------------------------------------ the examples

def readme_blocks():
    """The README's fenced code blocks, as lists of lines."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    return [b.splitlines() for b in re.findall(r"^```[a-z]*\n(.*?)^```", text,
                                               re.M | re.S)]


def man_examples():
    """The .EX blocks of the man page, as plain text lines."""
    blocks, current = [], None
    with open(MAN_PAGE, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith(".EX"):
                current = []
            elif line.startswith(".EE"):
                blocks.append(current)
                current = None
            elif current is not None:
                current.append(plain(line).replace("\\(aq", "'"))
    return blocks


def man_example(first_words):
    """The man page's example block whose first line starts with first_words."""
    for block in man_examples():
        if block and block[0].startswith(first_words):
            return block
    raise AssertionError("no man page example starts with " + first_words)


def iochurn_commands(lines):
    """The argument lists of every iochurn command in a block of shell lines:
    comments dropped, continued lines joined, quoted remote commands
    (pdsh ... 'iochurn ...') and iochurn-mpi's under mpirun included."""
    text = "\n".join(re.sub(r"(^|\s)#.*", "", l) for l in lines)
    text = text.replace("\\\n", " ")
    found = []
    for m in re.finditer(r"(?:^|[\s'\"/])iochurn(?:-mpi)?((?:[ \t][^'\"\n]*)?)$|"
                         r"(?:^|[\s'\"/])iochurn(?:-mpi)?([ \t][^'\"\n]*)['\"]",
                         text, re.M):
        args = m.group(1) if m.group(1) is not None else m.group(2)
        found.append(shlex.split(args or ""))
    return found


def run_program(args, cwd, **kwargs):
    return subprocess.run([BIN] + list(args), cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=120, **kwargs)


class ExampleCommandsTest(unittest.TestCase):
    """Every command line the README and the man page show uses real options:
    the program passes over unknown letters, stray words and unit suffixes in
    silence, so a wrong example would run a different job without a word."""

    def test_every_example_uses_known_options_and_plain_numbers(self):
        commands = []
        for block in readme_blocks() + man_examples():
            commands += iochurn_commands(block)
        # The README's opening, storage, many-host and monitoring examples and
        # the man page's four.
        self.assertGreaterEqual(len(commands), 16)
        numeric = {c for c, takes in option_letters().items()
                   if takes and c not in "tL"}
        for args in commands:
            with self.subTest(command=" ".join(args)):
                args = [a for a in args if not OPTIONAL_LONG.match(a)]
                try:
                    options, rest = getopt.getopt(args, OPTION_STRING,
                                                  LONG_OPTIONS)
                except getopt.GetoptError as error:
                    self.fail(str(error))
                self.assertEqual(rest, [], "words the program would ignore")
                for option, value in options:
                    if option.startswith("--"):
                        continue
                    if option[1] in numeric:
                        self.assertRegex(value, r"^-?\d+$",
                                         "%s takes a plain number" % option)


class OpeningCommandsTest(unittest.TestCase):
    """The README's two opening commands, as CI and the fresh-machine check
    read them, and the package sets they install."""

    def script(self, *args):
        run = subprocess.run([os.path.join(ROOT, "scripts", args[0])] + list(args[1:]),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual((run.returncode, run.stderr), (0, ""), args)
        return run.stdout.splitlines()

    def test_two_commands_install_then_build(self):
        build, test = self.script("readme-commands")
        self.assertTrue(build.startswith("scripts/install-deps && cmake -S . -B build"))
        self.assertTrue(build.endswith("&& ./build/iochurn"))
        self.assertTrue(test.startswith("scripts/install-deps --tests && cmake -S . -B build"))
        self.assertTrue(test.endswith("&& ctest --test-dir build -j2 --output-on-failure"))
        self.assertEqual(self.script("readme-commands", "2"), [test])

    def test_package_sets_grow_with_the_flags(self):
        build = self.script("install-deps", "--list")
        tests = self.script("install-deps", "--list", "--tests")
        ci = self.script("install-deps", "--list", "--ci")
        mpi = self.script("install-deps", "--list", "--mpi")
        self.assertLess(set(build), set(tests))
        self.assertLess(set(tests) | set(mpi), set(ci))
        # What the tests' CMake looks for, and what CI's clang builds need.
        self.assertLessEqual({"libgtest-dev", "python3", "pkg-config"}, set(tests))
        self.assertLessEqual({"clang", "libclang-rt-14-dev"}, set(ci))
        self.assertEqual(len(ci), len(set(ci)), "a package named twice")


@unittest.skipUnless(BIN, "needs IOCHURN_BIN")
class DocumentedRunsTest(unittest.TestCase):
    """The examples that fit in a test, run as documented."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="iochurn-docs-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_default_run_prints_the_readme_output(self):
        block = next(b for b in readme_blocks() if b and b[0] == "$ ./build/iochurn")
        run = run_program([], self.tmp)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertEqual(run.stdout, "\n".join(block[1:]) + "\n")
        # The man page shows the same summary.
        self.assertIn("\n".join(block[2:]), "\n".join(sum(man_examples(), [])))

    def test_man_verbose_example_matches_a_default_run(self):
        expected = man_example("Try to run thread 0.")
        run = run_program(["-v"], self.tmp)
        self.assertEqual(run.returncode, 0, run.stderr)
        text = run.stdout[:run.stdout.index("\nSummary statistics:")]
        # The main thread's line may land inside a worker's line of progress
        # (the worker is already running when it is printed): take it out
        # whole, check it once, and compare the rest line by line.
        launch = re.compile(r"thread 0: create_thread result code id = \d+\n")
        self.assertEqual(len(launch.findall(text)), 1, text)
        self.assertLess(text.index("Try to run thread 0."), launch.search(text).start())
        actual = launch.sub("", text).splitlines() + [
            "thread 0: create_thread result code id = 0"]

        def normal(lines):
            return [re.sub(r"(process|id =) \d+", r"\1 N", l) for l in lines if l]
        # Worker and main thread interleave: each keeps its own order.
        for prefix in ("Thread 0:", "thread 0", "thread [0]", "Try to run"):
            with self.subTest(lines=prefix):
                self.assertEqual([l for l in normal(actual) if l.startswith(prefix)],
                                 [l for l in normal(expected) if l.startswith(prefix)])
        self.assertEqual(len(normal(actual)), len(normal(expected)))

    def test_keep_files_example_survives_earlier_runs(self):
        # The man page's -z example with 2 MB files instead of 64 MB, run
        # twice so that a second run's files sit beside the first one's.
        block = man_example("iochurn -z")
        self.assertIn("-f 64", block[0])
        script = "\n".join([block[0]] + block) \
            .replace("/mnt/test", self.tmp).replace("-f 64", "-f 2")
        script = re.sub(r"^iochurn", shlex.quote(BIN), script, flags=re.M)
        run = subprocess.run(["bash", "-e", "-c", script], cwd=self.tmp,
                             stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=120)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        # ls shows six files; the check of slot 1 finds nothing but bytes 1.
        self.assertEqual(run.stdout.count(".DUMMY\n"), 6, run.stdout)
        self.assertEqual(run.stdout.splitlines()[-1].strip(), "0")
        self.assertEqual(os.listdir(self.tmp), [])

    def test_unit_suffixes_end_the_number(self):
        run = run_program(["-v", "-f", "1G", "-s", "64k", "-t", self.tmp], self.tmp)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        self.assertIn("1 buffers, each size 64 MBytes\n", run.stdout)
        self.assertIn("1 files, each size = 1 Mbytes\n", run.stdout)
        self.assertIn("Read_Bytes=%d   Write_Bytes=%d\n" % (MB, MB), run.stdout)

    def test_long_names_of_letter_options_are_refused(self):
        run = run_program(["--threads=4", "-f", "1", "-s", "1", "-t", self.tmp],
                          self.tmp)
        self.assertEqual((run.returncode, run.stdout), (2, ""))
        self.assertIn("--threads=4", run.stderr)
        self.assertEqual(os.listdir(self.tmp), [])

    def test_transfer_errors_follow_an_empty_line_others_do_not(self):
        def small_files(limit):
            return lambda: resource.setrlimit(
                resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        run = run_program(["-f", "2", "-s", "1", "-t", self.tmp], self.tmp,
                          preexec_fn=small_files(MB))
        self.assertEqual(run.returncode, 0)
        # The file ends after 1 MB, so the read of its second chunk falls short.
        self.assertEqual(run.stderr,
                         "\nThread 0: ERR [write]: File too large for buffer 0\n"
                         "\nThread 0: ERR [read]: end of file after 0 of 1048576 bytes for buffer 0\n")
        run = run_program(["-f", "1", "-s", "1", "-t", os.path.join(self.tmp, "none")],
                          self.tmp)
        self.assertRegex(run.stderr, r"^Thread 0: ERR \[open\]: ")


if __name__ == "__main__":
    unittest.main()
