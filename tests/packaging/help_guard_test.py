#!/usr/bin/env python3
"""Keeps what installs beside quorvex-cli true to the program: every option its --help
(and each command's --help) names must be in the bash and the zsh completion and in the
manual page, and the bash completion, run by bash with bash-completion, completes the
commands and each command's own options.

    help_guard_test.py CLI BASH_COMPLETION ZSH_COMPLETION MANPAGE
"""
import os
import re
import subprocess
import sys
import unittest

CLI, BASH, ZSH, MAN = sys.argv[1:5]


def help_of(*args):
    return subprocess.run([CLI, *args, "--help"], stdout=subprocess.PIPE, check=True,
                          text=True, timeout=30).stdout


def options(text):
    """The option names of a help text's entries: "-p,--port TEXT" gives -p and --port."""
    names = set()
    for line in text.splitlines():
        m = re.match(r"^  (-\S*)", line)
        if m:
            for n in m.group(1).split(","):
                names.add(re.sub(r"\{.*\}$", "", n))
    return names


def commands(text):
    part = text.split("Subcommands:", 1)[1] if "Subcommands:" in text else ""
    return [m.group(1) for m in re.finditer(r"^  (\w+)\s", part, re.M)]


class HelpGuard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        top = help_of()
        cls.commands = commands(top)
        cls.options = {"": options(top)}
        for c in cls.commands:
            cls.options[c] = options(help_of(c))

    def test_help_lists_what_it_should(self):
        self.assertEqual(sorted(self.commands), ["erase", "flash", "info", "monitor", "ports", "read", "verify"])
        self.assertIn("--version", self.options[""])
        self.assertIn("--port", self.options[""])

    def test_every_option_and_command_in_every_file(self):
        texts = {}
        for path in (BASH, ZSH, MAN):
            with open(path, encoding="utf-8") as f:
                texts[path] = f.read()
        # The manual page writes each minus sign as \- and changes fonts with \fB and the like.
        texts[MAN] = re.sub(r"\\f[BIRP]", " ", texts[MAN]).replace("\\-", "-")
        for path, text in texts.items():
            for where, names in self.options.items():
                for name in sorted(names):
                    with self.subTest(file=os.path.basename(path), command=where, option=name):
                        found = re.search(r"(?<![\w-])" + re.escape(name) + r"(?![\w-])", text)
                        self.assertTrue(found, "%s lacks %s" % (path, name))
            for c in self.commands:
                with self.subTest(file=os.path.basename(path), command=c):
                    self.assertTrue(re.search(r"\b%s\b" % c, text), "%s lacks %s" % (path, c))

    def complete(self, line):
        """What bash, with bash-completion and ours loaded, offers for the words of line
        (the last word is the one being completed)."""
        words = line.split(" ")
        script = (
            "source /usr/share/bash-completion/bash_completion\n"
            "source %s\n"
            "COMP_WORDS=(%s); COMP_CWORD=%d; COMP_LINE=%s; COMP_POINT=${#COMP_LINE}\n"
            "_quorvex_cli quorvex-cli\n"
            "printf '%%s\\n' \"${COMPREPLY[@]}\"\n"
            % (BASH, " ".join("'%s'" % w for w in words), len(words) - 1, "'%s'" % line))
        r = subprocess.run(["bash", "--norc", "--noprofile", "-c", script], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, timeout=30,
                           env={"PATH": os.path.dirname(CLI) + ":/usr/bin:/bin", "HOME": "/tmp"})
        self.assertEqual(r.returncode, 0, r.stderr)
        return set(r.stdout.split())

    @unittest.skipUnless(os.path.exists("/usr/share/bash-completion/bash_completion"),
                         "bash-completion is not installed")
    def test_bash_completes_commands_and_their_options(self):
        self.assertEqual(self.complete("quorvex-cli "), set(self.commands))
        self.assertEqual(self.complete("quorvex-cli fl"), {"flash"})
        for command in self.commands:
            want = {o for o in self.options[command] | self.options[""] if o.startswith("--")}
            with self.subTest(command=command):
                got = self.complete("quorvex-cli %s --" % command)
                self.assertEqual(got, want)
        self.assertEqual(self.complete("quorvex-cli flash --no-"), {"--no-stub", "--no-auto-erase"})

    def test_zsh_reads_the_completion(self):
        if subprocess.run(["sh", "-c", "command -v zsh"], stdout=subprocess.DEVNULL).returncode:
            self.skipTest("zsh is not installed")
        r = subprocess.run(["zsh", "-n", ZSH], stderr=subprocess.PIPE, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[5:], verbosity=2)
