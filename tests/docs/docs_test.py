#!/usr/bin/env python3
"""Checks the user documentation: the man page and the bash completion.

Run directly (python3 tests/docs/docs_test.py); needs only the standard
library, bash, and groff for the rendering check.
"""

import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAN_PAGE = os.path.join(ROOT, "docs", "iochurn.1")
COMPLETION = os.path.join(ROOT, "contrib", "iochurn.bash-completion")

# The option set handed to getopt by the program: a letter followed by a colon
# takes an argument.
OPTION_STRING = "a:Adhf:j:L:lMmn:p:P:Oo:rRs:St:uvw:yz"
EXIT_STATUSES = {"0", "1", "5", "6", "7", "8", "10"}
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


if __name__ == "__main__":
    unittest.main()
